#include "core/sensitivity/graph_frechet.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/sensitivity/graph_sensitivity.hpp"

namespace quorvane {
namespace {

// The 8-point Gauss-Legendre rule mapped to [0, 1]: nodes ascending, weights
// summing to 1, symmetric about 1/2.
constexpr std::array<double, 8> kNodes = {0.01985507175123188, 0.10166676129318665, 0.2372337950418355,
                                          0.4082826787521751,  0.591717321247825,   0.7627662049581645,
                                          0.8983332387068134,  0.9801449282487681};
constexpr std::array<double, 8> kWeights = {0.05061426814518829, 0.11119051722668724, 0.15685332293894363,
                                            0.1813418916891806,  0.1813418916891806,  0.15685332293894363,
                                            0.11119051722668724, 0.05061426814518829};

// Rate t * rho one panel may carry: a decaying or growing exponential
// e^{c s} with |c| <= 4 over a panel is integrated by the 8-point rule to
// ~1e-13 relative (error c^16 (8!)^4 / (17 (16!)^3), the rule being exact to
// degree 15).
constexpr double kPanelRate = 4.0;

constexpr const char* kTMessage = "graph_expmv_frechet: t_final must be finite and positive";
constexpr const char* kU0Message = "graph_expmv_frechet: u0_cols length != n_cols * n_nodes";
constexpr const char* kDjMessage = "graph_expmv_frechet: dj_cols length != n_cols * n_nodes";
constexpr const char* kGradMessage = "graph_expmv_frechet: grad_w.len() != n_params";
// The quadrature's work grows like (t rho)^2 (below), so a long t is refused;
// the gradient over t = t1 + t2 is the gradient over t2 from e^{-t1 M} u0 plus
// the gradient over t1 with dj replaced by e^{-t2 M} dj, which the messages
// offer as the way out: pieces of t rho <= 8944 stay within the limit.
constexpr const char* kGraphWorkMessage =
    "graph_expmv_frechet: t * spectral_bound too large: the quadrature would need more than 10000000 operator "
    "products per column; split t into pieces of t_k * spectral_bound <= 8944 and sum their gradients, the piece "
    "over [s, s + t_k] taken from u0 = gk.evolve_batched(s, u0) with dj = gk.evolve_batched(t - s - t_k, dj)";
constexpr const char* kEntryWorkMessage =
    "symmetric_op_expmv_frechet: t * lambda_max_bound too large: the quadrature would need more than 10000000 "
    "operator products per column; split t into pieces of t_k * lambda_max_bound <= 8944 and sum their "
    "gradients, the piece over [s, s + t_k] taken from u0 = op.evolve_batched(s, u0) with "
    "dj = op.evolve_batched(t - s - t_k, dj)";
constexpr const char* kEntryRangeMessage = "symmetric_op_expmv_frechet: entry index out of range";

enum class Rule { EdgeWeight, Entry };

// P = max(1, ceil(t rho / 4)) panels.
std::uint64_t panel_count(double t_rho) {
    if (!(t_rho > kPanelRate)) return 1;
    return saturating_cast<std::uint64_t>(std::ceil(t_rho / kPanelRate));
}

Status check_call(std::uint64_t n, std::span<const double> u0_cols, std::span<const double> dj_cols,
                  std::size_t n_cols, double t) {
    if (!std::isfinite(t) || !(t > 0.0)) return domain_error(kTMessage, t);
    std::size_t expected_len = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(n), n_cols, &expected_len) ||
        u0_cols.size() != expected_len) {
        return domain_error(kU0Message, static_cast<double>(u0_cols.size()));
    }
    if (dj_cols.size() != u0_cols.size()) return domain_error(kDjMessage, static_cast<double>(dj_cols.size()));
    return {};
}

// <y, (dA/dtheta) x> for one pair. The derivative vector D is zero but at i
// and j, so the inner product over all indices in increasing order reduces
// to its two (or one) nonzero terms taken in the same order.
double pair_term(Rule rule, std::span<const double> y, std::span<const double> x, std::size_t i, std::size_t j) {
    const std::size_t lo = std::min(i, j);
    const std::size_t hi = std::max(i, j);
    double d_lo;
    double d_hi;
    if (rule == Rule::EdgeWeight) {
        // dA/dw_ij = -(e_i - e_j)(e_i - e_j)^T.
        const double d = x[i] - x[j];
        d_lo = lo == i ? -d : d;
        d_hi = -d_lo;
    } else {
        // dA/dM_ij = -(e_i e_j^T + e_j e_i^T); for i = j the one entry -e_i e_i^T.
        if (i == j) return y[i] * -x[i];
        d_lo = -x[hi];
        d_hi = -x[lo];
    }
    return y[lo] * d_lo + y[hi] * d_hi;
}

Status check_pair(Rule rule, const IndexPair& p, std::uint64_t n) {
    if (rule == Rule::EdgeWeight) return check_edge_pair(p, n);
    if (p.first >= n || p.second >= n) {
        return domain_error(kEntryRangeMessage, static_cast<double>(std::max(p.first, p.second)));
    }
    return {};
}

// The panelled quadrature shared by both parameter kinds. Within a panel the
// eight states e^{-(1-s_q) t M} dj are reached from the panel's last node by
// short actions over the node gaps (stored, as the sweep over the nodes then
// runs forward), and e^{-s_q t M} u0 from the panel's first node likewise:
// two long actions per panel instead of sixteen.
Expected<std::vector<double>> frechet_quadrature(const GraphKrylovChernoff& op, Rule rule,
                                                 std::span<const IndexPair> pairs, std::span<const double> u0_cols,
                                                 std::span<const double> dj_cols, std::size_t n_cols, double t) {
    const std::uint64_t n = op.laplacian->n_nodes;
    std::vector<double> grad(pairs.size(), 0.0);
    if (n_cols == 0) return grad;
    const double t_rho = t * op.spectral_bound;
    // Two long actions per panel, of t rho / 2 on average, each about t rho / 4
    // operator products: (t rho)^2 / 8 per column.
    if (!std::isfinite(t_rho) || t_rho * t_rho / 8.0 > static_cast<double>(kKrylovMaxProducts)) {
        // A product beyond the double range is still a finite call's: the
        // value carried is the largest double, not inf, which would read as
        // a non-finite input.
        return domain_error(rule == Rule::EdgeWeight ? kGraphWorkMessage : kEntryWorkMessage,
                            std::isfinite(t_rho) ? t_rho : std::numeric_limits<double>::max());
    }
    const std::uint64_t panels = panel_count(t_rho);
    const double p_count = static_cast<double>(panels);

    ScratchPool<double> pool;
    std::array<std::vector<double>, 8> ys;
    for (auto& y : ys) y = pool.take(n);
    std::vector<double> x = pool.take(n);
    std::vector<double> x_next = pool.take(n);
    auto release = [&] {
        for (auto& y : ys) pool.give_back(std::move(y));
        pool.give_back(std::move(x));
        pool.give_back(std::move(x_next));
    };
    auto run = [&]() -> Status {
        for (std::size_t c = 0; c < n_cols; ++c) {
            const auto u0 = u0_cols.subspan(c * n, n);
            const auto dj = dj_cols.subspan(c * n, n);
            for (std::uint64_t p = 0; p < panels; ++p) {
                const double pd = static_cast<double>(p);
                // 1 - (p + s_7)/P, formed as ((P - p) - s_7)/P: exact in P - p.
                const double tau_last = t * (((p_count - pd) - kNodes[7]) / p_count);
                if (Status st = op.apply_into(tau_last, dj, ys[7], pool); !st) return st;
                for (std::size_t q = 7; q-- > 0;) {
                    const double gap = t * ((kNodes[q + 1] - kNodes[q]) / p_count);
                    if (Status st = op.apply_into(gap, ys[q + 1], ys[q], pool); !st) return st;
                }
                if (Status st = op.apply_into(t * ((pd + kNodes[0]) / p_count), u0, x, pool); !st) return st;
                for (std::size_t q = 0; q < 8; ++q) {
                    if (q > 0) {
                        const double gap = t * ((kNodes[q] - kNodes[q - 1]) / p_count);
                        if (Status st = op.apply_into(gap, x, x_next, pool); !st) return st;
                        std::swap(x, x_next);
                    }
                    const double wq = t * (kWeights[q] / p_count);
                    for (std::size_t k = 0; k < pairs.size(); ++k) {
                        if (Status st = check_pair(rule, pairs[k], n); !st) return st;
                        grad[k] += wq * pair_term(rule, ys[q], x, pairs[k].first, pairs[k].second);
                    }
                }
            }
        }
        return {};
    };
    const Status st = run();
    release();
    if (!st) return fail(st.error());
    return grad;
}

}  // namespace

Expected<std::vector<double>> graph_expmv_frechet(const GraphKrylovChernoff& op, std::span<const IndexPair> params,
                                                  std::span<const double> u0_cols, std::span<const double> dj_cols,
                                                  std::size_t grad_len, std::size_t n_cols, double t) {
    if (Status st = check_call(op.laplacian->n_nodes, u0_cols, dj_cols, n_cols, t); !st) return fail(st.error());
    if (grad_len != params.size()) return domain_error(kGradMessage, static_cast<double>(grad_len));
    if (op.laplacian->kind == LaplacianKind::Normalized) {
        return fail(CoreError::unsupported("graph_expmv_frechet on a normalized Laplacian"));
    }
    return frechet_quadrature(op, Rule::EdgeWeight, params, u0_cols, dj_cols, n_cols, t);
}

Expected<std::vector<double>> symmetric_op_expmv_frechet(const SymmetricOperator& op,
                                                         std::span<const IndexPair> entries,
                                                         std::span<const double> u0_cols,
                                                         std::span<const double> dj_cols, std::size_t n_cols,
                                                         double t) {
    auto krylov = GraphKrylovChernoff::make(KrylovPath::chebyshev(), op.laplacian(), 1e-12);
    if (!krylov) return fail(krylov.error());
    if (Status st = check_call(op.n(), u0_cols, dj_cols, n_cols, t); !st) return fail(st.error());
    return frechet_quadrature(*krylov, Rule::Entry, entries, u0_cols, dj_cols, n_cols, t);
}

}  // namespace quorvane
