// The step rule and the bound of Etdrk4 from the operator's Gershgorin floor.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/sparse/etdrk4.hpp"

namespace quorvane {
namespace {

Etdrk4 scheme_of(std::uint64_t n, std::vector<std::uint64_t> rp, std::vector<std::uint32_t> ci, std::vector<double> v) {
    const SymmetricOperator op = *SymmetricOperator::from_csr(n, rp, ci, v, 1e-12);
    return *Etdrk4::make(NegLaplacianGenerator(op), Etdrk4Nonlinearity::AllenCahn, 0.1);
}

struct FloorCase {
    const char* name;
    Etdrk4 scheme;
    double floor;  // min_i (L_ii - sum_{j != i} |L_ij|)
    double top;    // max|u0|
    double h_max;  // 2.7 / (3 M^2 - 1), M = max(sqrt(max(0, 1 - floor)), top)
    double bound;  // max(top, sqrt(max(1, 1 - floor)))
};

TEST(Etdrk4Limits, FromTheGershgorinFloorAndTheData) {
    const double inf = std::numeric_limits<double>::infinity();
    const FloorCase cases[] = {
        // Neumann path: zero row sums, the states +-1, N' down to -2 whatever the data below 1.
        {"path", scheme_of(3, {0, 2, 5, 7}, {0, 1, 0, 1, 2, 1, 2}, {1, -1, -1, 2, -1, -1, 1}), 0.0, 0.5, 1.35, 1.0},
        // Data within the steps' 5 % overshoot of the states +-1 are judged as those (a step from an admitted
        // step's result stays admitted); beyond it, by their own bound.
        {"path, overshoot", scheme_of(3, {0, 2, 5, 7}, {0, 1, 0, 1, 2, 1, 2}, {1, -1, -1, 2, -1, -1, 1}), 0.0, 1.05,
         1.35, 1.05},
        {"path, beyond", scheme_of(3, {0, 2, 5, 7}, {0, 1, 0, 1, 2, 1, 2}, {1, -1, -1, 2, -1, -1, 1}), 0.0, 1.06,
         2.7 / (3.0 * 1.06 * 1.06 - 1.0), 1.06},
        // L = I: u' = -u^3 settles at 0; data of 0.5 keep N' >= 0.25, so no limit.
        {"identity", scheme_of(2, {0, 1, 2}, {0, 1}, {1, 1}), 1.0, 0.5, inf, 1.0},
        // Positive off-diagonals: floor 1 - 2 = -1; from (1, -1) the solution rises to 1.12 (SciPy).
        {"[[1, 2], [2, 4]]", scheme_of(2, {0, 2, 4}, {0, 1, 0, 1}, {1, 2, 2, 4}), -1.0, 0.5, 2.7 / 5.0,
         std::sqrt(2.0)},
    };
    for (const FloorCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.scheme.spectrum_floor, c.floor);
        const Etdrk4Limits lim = etdrk4_limits(c.scheme, c.top);
        EXPECT_DOUBLE_EQ(lim.h_max, c.h_max);
        EXPECT_DOUBLE_EQ(etdrk4_bound(c.scheme, c.top), c.bound);
    }
}

}  // namespace
}  // namespace quorvane
