#include "core/sensitivity/graph_sensitivity_helpers.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <new>
#include <optional>

#include "core/foundation/parallel1d.hpp"
#include "core/foundation/stop.hpp"
#include "core/sensitivity/checkpoints.hpp"

namespace quorvane {

namespace {

std::span<double> whole(std::vector<double>& v) { return {v.data(), v.size()}; }

// Taylor weights of T4 by degree m = 1 ... 4.
constexpr std::array<double, 4> kT4 = {1.0, 0.5, 0.16666666666666666, 0.041666666666666664};

// The vectors one backward step contracts against every parameter, for
// q = 0 ... 3: v_q = Omega^q u_s and z_q = (Omega^T)^q lambda_{s+1}, each
// with its products by L1 and L2. With
//   dS/dtheta = sum_m (1/m!) sum_{a+b=m-1} Omega^a dOmega Omega^b
// and Omega's transpose taken to the left,
//   <lambda, dS u> = sum_m (1/m!) sum_{a+b=m-1} <z_a, dOmega v_b>,
// and since dA = -(e_i - e_j)(e_i - e_j)^T, every <z, dOmega v> needs only
// the differences (node i minus node j) of these 24 vectors:
//   <z, dOmega v> = -tau dz dv + c (dz (dL1v - dL2v) + dv (dL2z - dL1z)).
// So a parameter costs O(1) per step instead of 23 operator products.
// The values are stored node by node (24 per node) so that one parameter
// reads two contiguous records.
constexpr std::size_t kRecord = 24;

// Pairs contracted between two stop polls: a fraction of a millisecond of
// scattered reads, against a poll's clock read.
constexpr std::uint64_t kPairPollPeriod = std::uint64_t{1} << 14;
enum Slot : std::size_t { V = 0, L1V = 4, L2V = 8, Z = 12, L1Z = 16, L2Z = 20 };

class StepContraction {
public:
    StepContraction(std::size_t n, ScratchPool<double>& pool) : pool_(pool), n_(n) {
        for (auto& v : vecs_) v = pool.take(n);
        for (auto& r : extra_) r = pool.take(n);
        packed_ = pool.take(n * kRecord);
    }
    ~StepContraction() {
        for (auto& v : vecs_) pool_.give_back(std::move(v));
        for (auto& r : extra_) pool_.give_back(std::move(r));
        pool_.give_back(std::move(packed_));
    }
    StepContraction(const StepContraction&) = delete;
    StepContraction& operator=(const StepContraction&) = delete;

    // Fills the records from the step's samples, its state u_s and the
    // costate lambda_{s+1}, and writes lambda_s = T4(Omega^T) lambda_{s+1}
    // from the same powers z_q (the transposed step's arithmetic, in its
    // order). Each power of Omega reuses the products by L1 and L2 the
    // records need: 30 sparse products for the step instead of 56. On a
    // graph of millions of edges those take a good part of a second, so the
    // stop request is asked for between them; lambda_prev is then left
    // half-written, which only a failed call sees.
    Status prepare(const Laplacian<double>& l1, const Laplacian<double>& l2, std::span<const double> u,
                   std::span<const double> lambda, std::span<double> lambda_prev, double tau) {
        std::copy(u.begin(), u.end(), vecs_[V].begin());
        std::copy(lambda.begin(), lambda.end(), vecs_[Z].begin());
        std::vector<double>& z4 = extra_[2];
        for (std::size_t q = 0; q < 4; ++q) {
            for (const Slot base : {V, Z}) {
                if (Status st = poll_stop(); !st) return st;
                l1.spmv(vecs_[base + q], whole(vecs_[base + 4 + q]));
                l2.spmv(vecs_[base + q], whole(vecs_[base + 8 + q]));
                const double sign = base == V ? 1.0 : -1.0;
                if (q < 3) omega(l1, l2, base + q, vecs_[base + q + 1], tau, sign);
                else if (base == Z) omega(l1, l2, base + q, z4, tau, sign);
            }
        }
        for (std::size_t i = 0; i < n_; ++i) lambda_prev[i] = vecs_[Z][i];
        for (std::size_t i = 0; i < n_; ++i) lambda_prev[i] += vecs_[Z + 1][i];
        for (std::size_t m = 1; m < 4; ++m) {
            const std::vector<double>& zm = m < 3 ? vecs_[Z + m + 1] : z4;
            for (std::size_t i = 0; i < n_; ++i) lambda_prev[i] += kT4[m] * zm[i];
        }
        for (std::size_t node = 0; node < n_; ++node) {
            double* rec = packed_.data() + node * kRecord;
            for (std::size_t s = 0; s < kRecord; ++s) rec[s] = vecs_[s][node];
        }
        return {};
    }

    // <lambda_{s+1}, (dS_s/dtheta) u_s> for the weight of the (checked) pair.
    double contract(const EdgePair& p, double tau, double c) const {
        const double* ri = packed_.data() + p.first * kRecord;
        const double* rj = packed_.data() + p.second * kRecord;
        std::array<double, kRecord> d;
        for (std::size_t s = 0; s < kRecord; ++s) d[s] = ri[s] - rj[s];
        std::array<double, 4> dv, cv, dz, cz;
        for (std::size_t q = 0; q < 4; ++q) {
            dv[q] = d[V + q];
            cv[q] = d[L1V + q] - d[L2V + q];
            dz[q] = d[Z + q];
            cz[q] = d[L2Z + q] - d[L1Z + q];
        }
        auto term = [&](std::size_t a, std::size_t b) {
            return c * (dz[a] * cv[b] + dv[b] * cz[a]) - tau * (dz[a] * dv[b]);
        };
        double g = 0.0;
        for (std::size_t m = 0; m < 4; ++m) {
            double sum = 0.0;
            for (std::size_t a = 0; a <= m; ++a) sum += term(a, m - a);
            g += kT4[m] * sum;
        }
        return g;
    }

private:
    // out = Omega x (sign +1) or Omega^T x (sign -1) for x = vecs_[slot],
    // from its stored products L1 x and L2 x: the arithmetic of
    // magnus4_omega_apply, two sparse products instead of four.
    void omega(const Laplacian<double>& l1, const Laplacian<double>& l2, std::size_t slot, std::vector<double>& out,
               double tau, double sign) {
        const std::vector<double>& p1x = vecs_[slot + 4];
        const std::vector<double>& p2x = vecs_[slot + 8];
        std::vector<double>& p2p1x = extra_[0];
        std::vector<double>& p1p2x = extra_[1];
        l2.spmv(p1x, whole(p2p1x));
        const double half = -tau / 2.0;
        for (std::size_t i = 0; i < n_; ++i) out[i] = half * (p1x[i] + p2x[i]);
        l1.spmv(p2x, whole(p1p2x));
        const double c = sign * kMagnus4Weight * tau * tau;
        for (std::size_t i = 0; i < n_; ++i) out[i] += c * (p2p1x[i] - p1p2x[i]);
    }

    ScratchPool<double>& pool_;
    std::size_t n_;
    std::array<std::vector<double>, kRecord> vecs_;
    // The two cross products of omega, and z_4.
    std::array<std::vector<double>, 3> extra_;
    std::vector<double> packed_;
};

Expected<MagnusGraphHeatChernoff> constant_magnus_step(const SharedGraph& graph, double rho_bar) {
    return MagnusGraphHeatChernoff::make(graph, ConstantLaplacianCallback{graph}, true, rho_bar);
}

}  // namespace

Status EdgeWeightSensitivity::apply_param_deriv(std::size_t k, const Laplacian<double>& l1,
                                                const Laplacian<double>& l2, std::span<const double> u,
                                                std::span<double> out, std::span<double> s1, std::span<double> s2,
                                                std::span<double> s3, double tau) const {
    if (k >= pairs_.size()) return domain_error("EdgeWeightSensitivity: k out of range", static_cast<double>(k));
    const auto [i, j] = pairs_[k];
    const std::size_t n = u.size();
    const double c = tau * (tau * kMagnus4Weight);
    auto d_a = [&](std::span<const double> x, std::span<double> y) { return apply_edge_weight_deriv(i, j, x, y); };
    auto neg_spmv = [&](const Laplacian<double>& l, std::span<const double> x, std::span<double> y) {
        l.spmv(x, y);
        for (std::size_t m = 0; m < n; ++m) y[m] = -y[m];
    };
    if (Status st = d_a(u, s1); !st) return st;
    if (Status st = d_a(u, s2); !st) return st;
    for (std::size_t m = 0; m < n; ++m) out[m] = (tau * 0.5) * (s1[m] + s2[m]);
    neg_spmv(l1, u, s3);  // A1 u
    if (Status st = d_a(s3, s1); !st) return st;
    neg_spmv(l1, s2, s3);  // A1 dA u
    for (std::size_t m = 0; m < n; ++m) out[m] += c * (s1[m] - s3[m]);
    if (Status st = d_a(u, s1); !st) return st;
    neg_spmv(l2, s1, s3);  // A2 dA u
    neg_spmv(l2, u, s2);   // A2 u
    if (Status st = d_a(s2, s1); !st) return st;
    for (std::size_t m = 0; m < n; ++m) out[m] += c * (s3[m] - s1[m]);
    return {};
}

Status adjoint_state_gradient(const MagnusGraphHeatChernoff& step, std::span<const double> u0, std::uint64_t n_steps,
                              std::span<const double> dj, const EdgeWeightSensitivity& sensitivity,
                              std::span<double> grad_theta, ScratchPool<double>& pool, double tau) {
    if (grad_theta.size() != sensitivity.n_params()) {
        return domain_error("adjoint_state_gradient: grad_theta.len() != n_params()",
                            static_cast<double>(grad_theta.size()));
    }
    std::fill(grad_theta.begin(), grad_theta.end(), 0.0);
    if (n_steps == 0) return {};
    const std::size_t n = static_cast<std::size_t>(step.graph->n_nodes);
    if (u0.size() < n || dj.size() < n) internal_fault("adjoint_state_gradient: signal shorter than n_nodes");

    std::vector<double> lambda(dj.begin(), dj.begin() + static_cast<std::ptrdiff_t>(n));
    std::vector<double> lambda_prev(n, 0.0);
    StepContraction contraction(n, pool);
    const double c = tau * (tau * kMagnus4Weight);
    const std::span<const EdgePair> pairs = sensitivity.pairs();
    // Each pair reads two scattered records (some 15 ns): a list of tens of
    // millions of pairs takes a good part of a second. One budget across the
    // steps: each step has polled already before its pairs.
    PollBudget pair_poll(kPairPollPeriod);
    auto forward = [&](std::uint64_t s, std::span<const double> prev, std::span<double> next) -> Status {
        if (Status st = poll_stop(); !st) return st;
        return step.apply_into(prev, next, pool, tau * static_cast<double>(s), tau);
    };
    auto backward = [&](std::uint64_t s, std::span<const double> state) -> Status {
        if (Status st = poll_stop(); !st) return st;
        const double ts = tau * static_cast<double>(s);
        if (Status st = step.check_step(tau); !st) return st;
        // One pair of samples serves both the transposed step and the
        // derivative terms (the provider gives the same operator at a time).
        Expected<MagnusGraphHeatChernoff::Samples> samples = step.sample(ts, tau);
        if (!samples) return fail(samples.error());
        if (Status st = contraction.prepare(*samples->l1, *samples->l2, state, lambda, lambda_prev, tau); !st) {
            return st;
        }
        for (std::size_t k = 0; k < pairs.size(); ++k) {
            if (Status st = pair_poll.spend(1); !st) return st;
            if (Status st = check_edge_pair(pairs[k], n); !st) return st;
            grad_theta[k] += contraction.contract(pairs[k], tau, c);
        }
        std::swap(lambda, lambda_prev);
        return {};
    };
    return checkpointed_reverse(u0.first(n), n_steps, forward, backward);
}

Expected<std::vector<double>> compute_edge_weight_grad(const SharedGraph& graph, std::span<const double> u0,
                                                       std::span<const double> dj_du_n,
                                                       std::span<const EdgePair> params, double tau,
                                                       std::uint64_t n_steps, double rho_bar) {
    Expected<MagnusGraphHeatChernoff> step = constant_magnus_step(graph, rho_bar);
    if (!step) return fail(step.error());
    std::vector<double> grad(params.size(), 0.0);
    ScratchPool<double> pool;
    const EdgeWeightSensitivity sensitivity(params);
    if (Status st = adjoint_state_gradient(*step, u0, n_steps, dj_du_n, sensitivity, grad, pool, tau); !st) {
        return fail(st.error());
    }
    return grad;
}

Status adjoint_gradient_column(const MagnusGraphHeatChernoff& step, std::span<const double> u0_col,
                               std::span<const double> dj_col, std::uint64_t n_steps,
                               std::span<const EdgePair> params, std::span<double> acc, ScratchPool<double>& pool,
                               double tau) {
    std::vector<double> local(params.size(), 0.0);
    const EdgeWeightSensitivity sensitivity(params);
    if (Status st = adjoint_state_gradient(step, u0_col, n_steps, dj_col, sensitivity, local, pool, tau); !st) {
        return st;
    }
    for (std::size_t k = 0; k < local.size(); ++k) acc[k] += local[k];
    return {};
}

Expected<std::vector<double>> adjoint_state_gradient_batched(const SharedGraph& graph,
                                                             std::span<const double> u0_cols,
                                                             std::span<const double> dj_cols,
                                                             std::span<const EdgePair> params, double tau,
                                                             std::uint64_t n_steps, double rho_bar) {
    Expected<MagnusGraphHeatChernoff> step = constant_magnus_step(graph, rho_bar);
    if (!step) return fail(step.error());
    std::vector<double> grad(params.size(), 0.0);
    if (u0_cols.size() != dj_cols.size()) {
        return domain_error("adjoint_state_gradient_batched: u0_cols.len() != dj_cols.len()",
                            static_cast<double>(u0_cols.size()));
    }
    const std::size_t n = static_cast<std::size_t>(graph->n_nodes);
    const std::size_t columns = u0_cols.size() / n;
    if (columns * n != u0_cols.size()) {
        return domain_error("adjoint_state_gradient_batched: u0_cols.len() not divisible by n_nodes",
                            static_cast<double>(u0_cols.size()));
    }
    if (n_steps == 0 || columns == 0) return grad;

    // One partial per column (not per thread): the sum over columns is then
    // formed in column order whatever the split, and the threads are capped
    // at the worker count, each holding one trajectory at a time.
    const std::size_t k = params.size();
    std::vector<double> partials(columns * k, 0.0);
    std::mutex slot_mutex;
    std::optional<CoreError> slot;
    run_chunked(columns, std::min(columns, effective_workers()), [&](std::size_t begin, std::size_t end) {
        ScratchPool<double> pool;
        for (std::size_t col = begin; col < end; ++col) {
            Status st = adjoint_gradient_column(*step, u0_cols.subspan(col * n, n), dj_cols.subspan(col * n, n),
                                                n_steps, params, std::span<double>(partials).subspan(col * k, k),
                                                pool, tau);
            if (!st) {
                std::lock_guard<std::mutex> lock(slot_mutex);
                if (!slot) slot = st.error();
                return;  // the later columns of this block would fail alike
            }
        }
    });
    if (slot) return fail(*slot);
    for (std::size_t col = 0; col < columns; ++col) {
        for (std::size_t p = 0; p < k; ++p) grad[p] += partials[col * k + p];
    }
    return grad;
}

}  // namespace quorvane
