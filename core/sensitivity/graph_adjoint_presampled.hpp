// The backward costate sweep of graph heat with every operator sample taken
// beforehand: the Laplacians (and node coefficients) at the 2 n_steps Gauss
// times of a fixed horizon are stored once, on the sparsity pattern of the
// time-0 Laplacian, and a sweep rebuilds each step's pair from the store, so
// it never calls back into its providers.
//
// Records are kept in sweep order: record s holds backward step
// k = n_steps - 1 - s, and Gauss point g of it is sampled at
//   time[2s + g] = c_g tau + (n_steps - 1 - s) tau,
// the very times at which the live sweep samples, so both sweeps agree bit
// for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/graph/laplacian.hpp"

namespace quorvane {

struct PresampledLaplacians {
    // The pattern of the time-0 sample.
    std::vector<std::uint64_t> row_ptr;
    std::vector<std::uint32_t> col_idx;
    // nnz values per sample, sample j at j * nnz.
    std::vector<double> vals_seq;
    LaplacianKind kind = LaplacianKind::Combinatorial;
    std::uint64_t n_steps = 0;

    std::size_t nnz() const { return col_idx.size(); }
    // row_ptr length - 1, 0 without rows.
    std::uint64_t n_nodes() const { return row_ptr.empty() ? 0 : row_ptr.size() - 1; }
};

// The 2 n_steps sample times of a horizon of n_steps steps of tau, in record
// order.
std::vector<double> presample_times(std::uint64_t n_steps, double tau);

// Bytes of the samples of a horizon of n_steps steps: the 2 n_steps times
// and, at each of them, nnz Laplacian values and n_coef coefficients;
// nullopt when the count does not even fit in size_t.
std::optional<std::size_t> presampled_store_bytes(std::uint64_t n_steps, std::uint64_t nnz, std::uint64_t n_coef);

// The refusal of a sample whose stored entries sit elsewhere than the
// time-0 sample's (value: the sample's time): its values read on the time-0
// pattern would be another operator.
inline constexpr const char* kPresampledPatternMessage =
    "presampled Laplacian: sample has another sparsity pattern than the time-0 sample";

// lap_at_t(0): the store's pattern, its values not yet sampled; a failing
// call ends with its error.
Expected<PresampledLaplacians> presample_pattern(const LaplacianProvider& lap_at_t, std::uint64_t n_steps);

// lap_at_t(times[j]) in order gives the values of sample j, read on the
// store's pattern (times has 2 n_steps entries). The first failing call ends
// the sampling with its error; a sample with another number of stored
// entries than the time-0 one is DomainViolation "presampled Laplacian:
// sample has a different number of stored entries than the time-0 sample"
// (value its count), one with as many entries on another pattern (other
// row pointers or columns, or the same columns in another order) is
// DomainViolation kPresampledPatternMessage (value its time).
Status presample_values(PresampledLaplacians& store, const LaplacianProvider& lap_at_t,
                        std::span<const double> times);

// presample_pattern, then presample_values.
Expected<PresampledLaplacians> presample_laplacians(const LaplacianProvider& lap_at_t,
                                                    std::span<const double> times, std::uint64_t n_steps);

// The Laplacian of record s, Gauss point g (0 or 1), rebuilt on copies of the
// pattern; from_csr_parts' failures are returned.
Expected<Laplacian<double>> presampled_laplacian_at(const PresampledLaplacians& store, std::uint64_t s,
                                                    unsigned g);

// a(times[j]) in order, n_nodes values each, stored at j * n_nodes. The
// first failing call ends the sampling; a sample of another length is
// DomainViolation "presampled coefficient: a(t).len() != n_nodes" (value its
// length).
Expected<std::vector<double>> presample_coefficients(const CoefficientProvider& a_at_t,
                                                     std::span<const double> times, std::uint64_t n_nodes);

// The presampled sweeps of one object.
class PresampledGraphAdjoint {
public:
    // "magnus_graph": the time-0 Laplacian must have nodes
    // ("from_presampled: n_nodes must be >= 1").
    static Expected<PresampledGraphAdjoint> magnus(PresampledLaplacians store, double tau, double rho_bar,
                                                   bool convergence_check);
    // "varcoef_magnus_graph": nodes ("from_presampled(varcoef): n_nodes must
    // be >= 1"), then a_seq of 2 n_steps n values ("from_presampled(varcoef):
    // a_seq.len() must equal 2*n_steps*n_nodes"). The values themselves are
    // examined by the sweeps.
    static Expected<PresampledGraphAdjoint> varcoef(PresampledLaplacians store, std::vector<double> a_seq,
                                                    double tau);

    std::uint64_t n_nodes() const { return n_; }
    std::uint64_t n_steps() const { return store_.n_steps; }
    double tau() const { return tau_; }

    // Magnus with the check on: tau * rho_bar < pi/2, else OutOfMagnusRadius.
    // The variable-coefficient sweep has no radius test.
    Status check_radius() const;

    // lambda_0 of one costate of n_nodes values: the radius test, then the
    // sweep.
    Expected<std::vector<double>> evolve_state_adjoint(std::vector<double> lambda) const;
    // n_cols costates stored column after column: the radius test once, then
    // the columns one after another on the calling thread, each exactly as
    // the single sweep; the first failing column ends the call.
    Expected<std::vector<double>> evolve_state_adjoint_batched(std::span<const double> cols,
                                                               std::size_t n_cols) const;

private:
    enum class Kernel : std::uint8_t { Magnus, VarCoef };

    PresampledGraphAdjoint() = default;
    // The sweep of one column in place (cur, with nxt of the same length).
    Status sweep(std::vector<double>& cur, std::vector<double>& nxt, ScratchPool<double>& pool) const;

    PresampledLaplacians store_;
    std::vector<double> a_seq_;
    Kernel kernel_ = Kernel::Magnus;
    std::uint64_t n_ = 0;
    double tau_ = 0.0;
    double rho_bar_ = 1.0;
    bool convergence_check_ = true;
};

}  // namespace quorvane
