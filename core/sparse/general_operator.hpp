// A sparse operator that need not be symmetric (drifted Fokker-Planck
// discretisations, ladder generators), its transpose product and the
// exponential action e^{-tA} by a scaled truncated Taylor series.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/line/diffusion_expmv.hpp"

namespace quorvane {

// The (m, s) pair of a truncated-Taylor action for the scaled norm x >= 0:
// the cheapest admissible row of the theta_m table (one table and one rule
// for every Taylor action of the library). Refused, kind OutOfDomain with
// `too_large` and value `reported`, when no row is admissible or the plan
// would exceed kExpmvMaxApplications products: such a plan would clip its
// 32-bit sub-step count (leaving the polynomial's accurate range) or run for
// hours.
Expected<ExpmvPlan> select_taylor_degree(double x, double reported, const char* too_large);

struct GeneralOperator {
    std::shared_ptr<const std::vector<std::uint64_t>> row_ptr;
    std::shared_ptr<const std::vector<std::uint32_t>> col_idx;
    std::shared_ptr<const std::vector<double>> vals;
    std::shared_ptr<const std::vector<std::uint64_t>> t_row_ptr;
    std::shared_ptr<const std::vector<std::uint32_t>> t_col_idx;
    std::shared_ptr<const std::vector<double>> t_vals;
    std::uint64_t n = 0;
    // ||A||_inf, 0 when every row is empty.
    double norm_inf = 0.0;

    // Checks, in order: n >= 1 and row_ptr of n + 1 entries, col_idx and vals
    // of row_ptr[n] entries, row_ptr[0] = 0 (entries before it would belong
    // to no row), row_ptr non-decreasing, then entry by entry its column < n
    // and its value finite. Columns within a row may come in any order.
    static Expected<GeneralOperator> from_csr(std::uint64_t n, std::vector<std::uint64_t> row_ptr,
                                              std::vector<std::uint32_t> col_idx, std::vector<double> vals);

    // y = A x, each row summed in storage order.
    void apply(std::span<const double> x, std::span<double> y) const;
    // y = A^T x over the stored transpose (rows of A^T ascending). A NaN or
    // inf in x is not checked and propagates as in any plain product; a
    // finite x whose product leaves the double range is refused
    // (DomainViolation with the first non-finite entry of y).
    Status apply_transpose(std::span<const double> x, std::span<double> y) const;
};

// e^{-tau A} x by s sub-steps of the degree-m Taylor polynomial, (m, s) from
// select_taylor_degree(tau * norm_inf). Fails for tau not finite or < 0, a
// length other than n, a refused plan and a non-finite result; y is written
// only on success.
struct CsrExpmvChernoff {
    GeneralOperator op;
    Status apply(double tau, std::span<const double> x, std::span<double> y) const;
    // Whether the action of tau gets past its plan (every shorter one does).
    bool fits(double tau) const;
};

inline constexpr const char* kCsrExpmvTooLarge =
    "CsrExpmvChernoff: t * norm_inf too large: the action would need more than 10000000 operator products";

}  // namespace quorvane
