// The node step heat4 and heat6 share, written once over their rule.
//
// Both take a drift foot x' = x + tau a'(x)/2, a Gaussian rule around it
// (the centre and pairs at +-2 sqrt(c a tau), each foot drifted again), and
// where a' or a'' is non-zero a correction at the node from central
// differences of u. A Rule gives what differs:
//   kSpread             the c of each pair (1, 3 for heat4; 1, 3, 5 for heat6)
//   kWeights            the centre's weight, then each pair's
//   kTaps               the differences' sample count (7 or 9)
//   kCells              the differences' least width in cells (3 or 4)
//   samples(at, x, h, s) their samples, read through `at` into s in offset order
//   kD1, kD2, kD3       their stencils
// Every sum is formed in the order the rule lists its terms, so each kernel
// keeps its own bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/numeric.hpp"
#include "core/line/diffusion.hpp"
#include "core/line/diffusion4_zeta4.hpp"

namespace quorvane {

// The coefficient's part of node i's step.
template <class Rule, class Kernel>
Expected<QuadFeet<Rule::kPoints>> rule_feet(const Kernel& k, std::size_t i, double tau) {
    const Grid1D<double>& grid = k.grid;
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    const double x = grid.xmin + dx * static_cast<double>(i);
    const double theta = 0.5 * tau;

    // Drift foot of the divergence form; the ellipticity check covers every
    // coefficient form, a constant included (then x' = x).
    const double xp = x + theta * k.coef_a_prime(x);
    const double a = k.coef_a(xp);
    if (!finite_nonneg(a)) return domain_error(kEllipticityMessage, xp);
    double y[Rule::kPoints];
    y[0] = xp;
    // A constant coefficient's reads many periods out are folded back (see
    // fold_far_offset); a varying one's are drifted where they land.
    const bool constant = k.constant_value().has_value();
    for (std::size_t p = 0; p < std::size(Rule::kSpread); ++p) {
        const double r = spread_root(Rule::kSpread[p] * a, tau);
        const double h = constant ? fold_far_offset(grid, r + r) : r + r;
        y[2 * p + 1] = xp + h;
        y[2 * p + 2] = xp - h;
    }
    QuadFeet<Rule::kPoints> f;
    for (std::size_t m = 0; m < Rule::kPoints; ++m) f.z[m] = y[m] + theta * k.coef_a_prime(y[m]);
    f.a = k.coef_a(x);
    f.a1 = k.coef_a_prime(x);
    f.a2 = k.coef_a_double_prime(x);
    return f;
}

// The width of the differences in a step of tau on cells of dx: kCells
// cells, or the step's diffusion length sqrt(s tau) where that is longer, s
// the kernel's width scale (a NaN ignored). Both are lengths, so the step
// follows a change of units.
template <class Rule>
double rule_width(double dx, double tau, double s) {
    return max_ignore_nan(Rule::kCells * dx, spread_root(s, tau));
}

// The widths of a step of tau for kernel k: the step's own where the kernel
// has a width scale, else nothing (each node's from its own a).
template <class Rule, class Kernel>
std::optional<DifferenceWidths> rule_widths(const Kernel& k, double tau) {
    if (std::isnan(k.width_scale)) return std::nullopt;
    const double dx = (k.grid.xmax - k.grid.xmin) / static_cast<double>(k.grid.n - 1);
    return DifferenceWidths::of(rule_width<Rule>(dx, tau, k.width_scale));
}

// The rest of the node step at x (grid spacing dx), with u read through
// `at`, with the step's `widths` (none: the node's own).
template <class Rule, class Read>
Expected<double> rule_from_feet(const QuadFeet<Rule::kPoints>& f, const Read& at, double x, double dx, double tau,
                                const std::optional<DifferenceWidths>& widths) {
    double s[Rule::kPoints];
    for (std::size_t m = 0; m < Rule::kPoints; ++m) {
        auto v = at(f.z[m]);
        if (!v) return v;
        s[m] = *v;
    }
    // heat4's order is heat2's, so unit diffusion matches heat2 bit for bit.
    double quad = Rule::kWeights[0] * s[0];
    for (std::size_t p = 1; p < std::size(Rule::kWeights); ++p) {
        quad = quad + Rule::kWeights[p] * (s[2 * p - 1] + s[2 * p]);
    }

    const double A = f.a, A1 = f.a1, A2 = f.a2;
    // Locally constant coefficient: the quadrature is the whole step. (A NaN
    // derivative compares unequal and runs the correction, which carries it.)
    if (A2 == 0.0 && A1 == 0.0) return quad + 0.0;

    const double h = widths ? widths->h : rule_width<Rule>(dx, tau, A);
    // The three differences share their samples.
    double w[Rule::kTaps];
    if (Status st = Rule::samples(at, x, h, w); !st) return fail(st.error());
    const double s1 = undivided_sum(w, Rule::kD1);
    const double s2 = undivided_sum(w, Rule::kD2);
    const double s3 = undivided_sum(w, Rule::kD3);
    return quad + heat_correction(tau, A, A1, A2, h, s1, s2, s3);
}

// Node i's step with u read through `at`.
template <class Rule, class Kernel, class Read>
Expected<double> rule_node(const Kernel& k, const Read& at, std::size_t i, double tau) {
    auto f = rule_feet<Rule>(k, i, tau);
    if (!f) return fail(f.error());
    const Grid1D<double>& grid = k.grid;
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    return rule_from_feet<Rule>(*f, at, grid.xmin + dx * static_cast<double>(i), dx, tau, rule_widths<Rule>(k, tau));
}

// Node i's step from its coefficient's part f, with the step's widths.
template <class Rule, class Kernel, class Read>
Expected<double> rule_feet_step(const Kernel& k, const QuadFeet<Rule::kPoints>& f, const Read& read, std::size_t i,
                                double tau, const std::optional<DifferenceWidths>& widths) {
    const double kdx = (k.grid.xmax - k.grid.xmin) / static_cast<double>(k.grid.n - 1);
    return rule_from_feet<Rule>(f, read, k.grid.xmin + kdx * static_cast<double>(i), kdx, tau, widths);
}

// Nodes [begin, end) of one step from src into out through node samples of
// src, from the coefficient's parts `feet` of those nodes when given.
template <class Rule, class Kernel>
Status rule_step_nodes(const Kernel& k, const GridFn<double>& src, double* out, std::size_t begin, std::size_t end,
                       double tau, SepticSamples& samples, std::span<const QuadFeet<Rule::kPoints>> feet) {
    // The reads reach the outer quadrature points (from the bound of a; the
    // drift is not counted) and half the differences' taps.
    const Grid1D<double>& grid = k.grid;
    const double dx = grid.dx();
    const double outer = Rule::kSpread[std::size(Rule::kSpread) - 1];
    const double scale = max_ignore_nan(k.a_norm_bound, k.width_scale);
    const double reach = max_ignore_nan(2.0 * spread_root(outer * scale, tau),
                                        static_cast<double>(Rule::kTaps / 2) * rule_width<Rule>(dx, tau, scale));
    // The differences' widths are the step's, not the node's: worked out once.
    const std::optional<DifferenceWidths> widths = rule_widths<Rule>(k, tau);
    if (!feet.empty()) {
        return sampled_nodes(samples, src, out, begin, end, margin_cells(reach, dx),
                             [&](std::size_t i, const auto& read) {
                                 return rule_feet_step<Rule>(k, feet[i - begin], read, i, tau, widths);
                             });
    }
    return sampled_nodes(samples, src, out, begin, end, margin_cells(reach, dx),
                         [&](std::size_t i, const auto& read) -> Expected<double> {
                             auto f = rule_feet<Rule>(k, i, tau);
                             if (!f) return fail(f.error());
                             return rule_feet_step<Rule>(k, *f, read, i, tau, widths);
                         });
}

}  // namespace quorvane
