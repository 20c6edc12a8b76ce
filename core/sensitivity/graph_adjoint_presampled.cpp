#include "core/sensitivity/graph_adjoint_presampled.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "core/foundation/stop.hpp"
#include "core/graph/magnus_graph.hpp"
#include "core/sensitivity/magnus_graph_adjoint.hpp"

namespace quorvane {

namespace {

// count * width for a store about to be filled: a product beyond size_t can
// never be allocated.
std::size_t store_size(std::size_t count, std::uint64_t width) {
    std::size_t r = 0;
    if (__builtin_mul_overflow(count, width, &r)) throw std::bad_alloc();
    return r;
}

}  // namespace

std::vector<double> presample_times(std::uint64_t n_steps, double tau) {
    std::vector<double> times(store_size(2, n_steps));
    const double c[2] = {kGauss2C1, kGauss2C2};
    for (std::uint64_t s = 0; s < n_steps; ++s) {
        const double start = static_cast<double>(n_steps - 1 - s) * tau;
        for (unsigned g = 0; g < 2; ++g) times[2 * s + g] = c[g] * tau + start;
    }
    return times;
}

std::optional<std::size_t> presampled_store_bytes(std::uint64_t n_steps, std::uint64_t nnz, std::uint64_t n_coef) {
    std::size_t per_time = 0, samples = 0, values = 0, bytes = 0;
    if (__builtin_add_overflow(nnz, n_coef, &per_time) || __builtin_add_overflow(per_time, 1, &per_time) ||
        __builtin_mul_overflow(n_steps, 2, &samples) || __builtin_mul_overflow(samples, per_time, &values) ||
        __builtin_mul_overflow(values, sizeof(double), &bytes)) {
        return std::nullopt;
    }
    return bytes;
}

Expected<PresampledLaplacians> presample_pattern(const LaplacianProvider& lap_at_t, std::uint64_t n_steps) {
    Expected<SharedLaplacian> first = lap_at_t(0.0);
    if (!first) return fail(first.error());
    PresampledLaplacians store;
    store.row_ptr = (*first)->row_ptr;
    store.col_idx = (*first)->col_idx;
    store.kind = (*first)->kind;
    store.n_steps = n_steps;
    return store;
}

Status presample_values(PresampledLaplacians& store, const LaplacianProvider& lap_at_t,
                        std::span<const double> times) {
    const std::size_t nnz = store.nnz();
    store.vals_seq.reserve(store_size(times.size(), nnz));
    for (const double t : times) {
        Expected<SharedLaplacian> lap = lap_at_t(t);
        if (!lap) return fail(lap.error());
        const Laplacian<double>& l = **lap;
        if (l.vals.size() != nnz) {
            return domain_error(
                "presampled Laplacian: sample has a different number of stored entries than the time-0 sample",
                static_cast<double>(l.vals.size()));
        }
        // The values are stored in the time-0 CSR order, so they mean the
        // sample's operator only where its entries sit exactly there.
        if (l.row_ptr != store.row_ptr || l.col_idx != store.col_idx) {
            return domain_error(kPresampledPatternMessage, t);
        }
        store.vals_seq.insert(store.vals_seq.end(), l.vals.begin(), l.vals.end());
    }
    return {};
}

Expected<PresampledLaplacians> presample_laplacians(const LaplacianProvider& lap_at_t,
                                                    std::span<const double> times, std::uint64_t n_steps) {
    Expected<PresampledLaplacians> store = presample_pattern(lap_at_t, n_steps);
    if (!store) return store;
    if (Status st = presample_values(*store, lap_at_t, times); !st) return fail(st.error());
    return store;
}

Expected<Laplacian<double>> presampled_laplacian_at(const PresampledLaplacians& store, std::uint64_t s,
                                                    unsigned g) {
    const std::size_t nnz = store.nnz();
    const std::size_t offset = nnz * (2 * s + g);
    if (offset + nnz > store.vals_seq.size()) internal_fault("presampled_laplacian_at: record beyond the store");
    const auto first = store.vals_seq.begin() + static_cast<std::ptrdiff_t>(offset);
    std::vector<double> vals(first, first + static_cast<std::ptrdiff_t>(nnz));
    return from_csr_parts(store.n_nodes(), store.row_ptr, store.col_idx, std::move(vals), store.kind);
}

Expected<std::vector<double>> presample_coefficients(const CoefficientProvider& a_at_t,
                                                     std::span<const double> times, std::uint64_t n_nodes) {
    std::vector<double> seq;
    seq.reserve(store_size(times.size(), n_nodes));
    for (const double t : times) {
        Expected<std::vector<double>> a = a_at_t(t);
        if (!a) return fail(a.error());
        if (a->size() != n_nodes) {
            return domain_error("presampled coefficient: a(t).len() != n_nodes", static_cast<double>(a->size()));
        }
        seq.insert(seq.end(), a->begin(), a->end());
    }
    return seq;
}

Expected<PresampledGraphAdjoint> PresampledGraphAdjoint::magnus(PresampledLaplacians store, double tau,
                                                                double rho_bar, bool convergence_check) {
    const std::uint64_t n = store.n_nodes();
    if (n == 0) return domain_error("from_presampled: n_nodes must be >= 1", 0.0);
    PresampledGraphAdjoint r;
    r.store_ = std::move(store);
    r.kernel_ = Kernel::Magnus;
    r.n_ = n;
    r.tau_ = tau;
    r.rho_bar_ = rho_bar;
    r.convergence_check_ = convergence_check;
    return r;
}

Expected<PresampledGraphAdjoint> PresampledGraphAdjoint::varcoef(PresampledLaplacians store,
                                                                 std::vector<double> a_seq, double tau) {
    const std::uint64_t n = store.n_nodes();
    if (n == 0) return domain_error("from_presampled(varcoef): n_nodes must be >= 1", 0.0);
    if (a_seq.size() != store_size(store_size(2, store.n_steps), n)) {
        return domain_error("from_presampled(varcoef): a_seq.len() must equal 2*n_steps*n_nodes",
                            static_cast<double>(a_seq.size()));
    }
    PresampledGraphAdjoint r;
    r.store_ = std::move(store);
    r.a_seq_ = std::move(a_seq);
    r.kernel_ = Kernel::VarCoef;
    r.n_ = n;
    r.tau_ = tau;
    r.convergence_check_ = false;
    return r;
}

Status PresampledGraphAdjoint::check_radius() const {
    if (kernel_ == Kernel::Magnus && convergence_check_ && tau_ * rho_bar_ >= kMagnusRadius) {
        return fail(CoreError::out_of_magnus_radius(tau_, rho_bar_));
    }
    return {};
}

Status PresampledGraphAdjoint::sweep(std::vector<double>& cur, std::vector<double>& nxt,
                                     ScratchPool<double>& pool) const {
    const std::size_t n = n_;
    if (cur.size() != n || nxt.size() != n) internal_fault("PresampledGraphAdjoint: costate length != n_nodes");
    for (std::uint64_t s = 0; s < store_.n_steps; ++s) {
        if (Status st = poll_stop(); !st) return st;
        Expected<Laplacian<double>> l1 = presampled_laplacian_at(store_, s, 0);
        if (!l1) return fail(l1.error());
        Expected<Laplacian<double>> l2 = presampled_laplacian_at(store_, s, 1);
        if (!l2) return fail(l2.error());
        if (kernel_ == Kernel::Magnus) {
            magnus4_adjoint_step(*l1, *l2, cur, nxt, pool, tau_);
        } else {
            const std::span<const double> a(a_seq_);
            std::vector<double> r1 = pool.take(n), r2 = pool.take(n);
            Status roots = varcoef_adjoint_roots(a.subspan(n * 2 * s, n), r1);
            if (roots) roots = varcoef_adjoint_roots(a.subspan(n * (2 * s + 1), n), r2);
            if (roots) varcoef_magnus4_adjoint_step(*l1, r1, *l2, r2, cur, nxt, pool, tau_);
            pool.give_back(std::move(r1));
            pool.give_back(std::move(r2));
            if (!roots) return roots;
        }
        std::swap(cur, nxt);
    }
    return {};
}

Expected<std::vector<double>> PresampledGraphAdjoint::evolve_state_adjoint(std::vector<double> lambda) const {
    if (Status st = check_radius(); !st) return fail(st.error());
    std::vector<double> nxt(lambda.size(), 0.0);
    ScratchPool<double> pool;
    if (Status st = sweep(lambda, nxt, pool); !st) return fail(st.error());
    return lambda;
}

Expected<std::vector<double>> PresampledGraphAdjoint::evolve_state_adjoint_batched(std::span<const double> cols,
                                                                                   std::size_t n_cols) const {
    const std::size_t n = n_;
    if (cols.size() != store_size(n_cols, n)) internal_fault("PresampledGraphAdjoint: columns length != C * n_nodes");
    // The same radius test as the single sweep: beyond it the degree-4
    // series amplifies instead of approximating the transposed flow.
    if (Status st = check_radius(); !st) return fail(st.error());
    std::vector<double> out(cols.size(), 0.0);
    std::vector<double> cur(n), nxt(n);
    ScratchPool<double> pool;
    for (std::size_t c = 0; c < n_cols; ++c) {
        const auto first = cols.begin() + static_cast<std::ptrdiff_t>(c * n);
        std::copy(first, first + static_cast<std::ptrdiff_t>(n), cur.begin());
        std::fill(nxt.begin(), nxt.end(), 0.0);
        if (Status st = sweep(cur, nxt, pool); !st) return fail(st.error());
        std::copy(cur.begin(), cur.end(), out.begin() + static_cast<std::ptrdiff_t>(c * n));
    }
    return out;
}

}  // namespace quorvane
