// The subordinated flows on every end kind: t = 0 and lines (linear ends)
// and constants (reflecting, periodic) kept, a step of tau twice = one of 2 tau.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/bounded/subordinated.hpp"

namespace quorvane {
namespace {

struct Case {
    BoundaryTag ends;
    Subordinator law;
};

class SubordinatedFlowCase : public ::testing::TestWithParam<Case> {};

INSTANTIATE_TEST_SUITE_P(
    EndsAndLaws, SubordinatedFlowCase,
    ::testing::Values(Case{BoundaryTag::Zero, {Subordinator::Tag::Stable, 0.3}},
                      Case{BoundaryTag::Linear, {Subordinator::Tag::Stable, 0.9}},
                      Case{BoundaryTag::Linear, {Subordinator::Tag::Gamma, 1e-3}},
                      Case{BoundaryTag::Zero, {Subordinator::Tag::InverseGaussian, 1e3}},
                      Case{BoundaryTag::Reflect, {Subordinator::Tag::Stable, 0.5}},
                      Case{BoundaryTag::Periodic, {Subordinator::Tag::Gamma, 2.0}}));

TEST_P(SubordinatedFlowCase, KeepsWhatTheFlowKeepsAndComposes) {
    const Case c = GetParam();
    for (std::size_t n : {4u, 9u, 64u}) {
        const auto grid = *Grid1D<double>::make(BoundaryPolicy<double>::of(c.ends), InterpKind::septic(), -2.0, 3.0, n);
        const SubordinatedChernoff k = *SubordinatedChernoff::make(grid, c.law, 32);
        std::vector<double> u(n), line(n);
        for (std::size_t i = 0; i < n; ++i) {
            u[i] = std::sin(1.0 + 2.3 * i) + 0.5;
            line[i] = c.ends == BoundaryTag::Linear ? 0.7 - 0.3 * grid.node(i) : 0.7;
        }
        EXPECT_EQ(*k.evolve(u, 0.0), u);
        if (c.ends != BoundaryTag::Zero) {
            const std::vector<double> kept = *k.evolve(line, 5.0);
            for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(kept[i], line[i], 1e-13) << n << " " << i;
        }
        const std::vector<double> once = *k.evolve(u, 0.6);
        const std::vector<double> twice = *k.evolve(*k.evolve(u, 0.3), 0.3);
        for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(once[i], twice[i], 1e-12) << n << " " << i;
    }
}

}  // namespace
}  // namespace quorvane
