// The Python side of the graph classes: the objects that hold graphs and
// Laplacians, the resolvers of graph=/laplacian= arguments, the column
// conversions of the batched methods and the argument checks every graph
// evolver shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/function_ref.hpp"
#include "core/graph/graph.hpp"
#include "core/graph/graph_batched.hpp"
#include "core/graph/graph_krylov.hpp"
#include "core/graph/laplacian.hpp"
#include "core/graph/norm_guard.hpp"
#include "python/array.hpp"
#include "python/callback.hpp"
#include "python/data_scale.hpp"
#include "python/frame.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {

struct GraphObj {
    SharedGraph graph;
    static ClassDef& class_def();
};

struct GraphPathObj {
    SharedGraph graph;
    static ClassDef& class_def();
};

struct LaplacianObj {
    SharedLaplacian laplacian;
    static ClassDef& class_def();
};

struct GraphKrylovObj {
    GraphKrylovChernoff op;
    // Edgeless graph of the Laplacian's node count; carries the node count.
    SharedGraph carrier;
    static ClassDef& class_def();
};

// --- resolvers -------------------------------------------------------------

// OutOfDomain "{count_name} = N: {what} needs at least B bytes, more than
// this machine's memory (M bytes)" ("2^64" for nullopt) when `bytes`, what
// the count N makes the call allocate, exceed the physical memory.
void refuse_beyond_memory(const char* count_name, std::uint64_t count, const char* what,
                          std::optional<std::size_t> bytes);
// refuse_beyond_memory("n_nodes", ...) with graph_build_bytes(n_nodes, nnz);
// called before anything of the graph is allocated.
void refuse_graph_beyond_memory(std::uint64_t n_nodes, std::uint64_t nnz, const char* what);
// Graph::path(n_nodes), n_nodes >= 1, after that check.
SharedGraph path_graph(std::uint64_t n_nodes, const char* what);

SharedLaplacian combinatorial_of(const SharedGraph& g);
// The path graph over max(n, 1) nodes that carries a bare Laplacian.
SharedGraph carrier_of(const Laplacian<double>& lap);

// A GraphPath or Graph gives its graph and combinatorial Laplacian, a
// Laplacian a carrier and itself; anything else is OutOfDomain "graph must be
// a GraphPath, Graph, or Laplacian".
std::pair<SharedGraph, SharedLaplacian> graph_and_laplacian_from_object(PyObject* o);
// laplacian= (a Laplacian object) wins over graph= (a Graph object); both
// already type-checked. Neither: OutOfDomain "provide either laplacian= or
// graph=".
std::pair<SharedLaplacian, SharedGraph> resolve_laplacian_or_graph(PyObject* laplacian, PyObject* graph);
// graph= (a Graph, else a GraphPath; anything else OutOfDomain "graph must be
// a Graph or GraphPath") wins over laplacian= (a type-checked Laplacian
// object, giving its carrier). Neither: OutOfDomain "provide either graph= or
// laplacian=".
SharedGraph graph_from_graph_or_laplacian(PyObject* graph, PyObject* laplacian);
// The Laplacian a time-dependent callback returned: a Laplacian object's
// own, a Graph's or GraphPath's combinatorial one; nullopt for anything else.
std::optional<SharedLaplacian> laplacian_from_object(PyObject* o);
// The graph of a Graph or GraphPath object, null for anything else.
SharedGraph graph_of_object(PyObject* o);

// --- checks shared by the evolve bodies --------------------------------------

// "t_final must be finite and >= 0", then "n_steps must be >= 1".
void check_t_final_and_steps(double t_final, std::uint64_t n_steps);
// GridMismatch "f0.len()={} != graph.n_nodes()={}".
void check_f0_len(std::size_t len, std::uint64_t n_nodes);
// NanInf "{name} contains NaN or Inf: {value}" for the first non-finite value.
void check_finite_input(std::span<const double> v, const char* name);
// Refuses a zero-node Laplacian, whose one-node carrier graph would disagree
// with it about the signal length.
void refuse_empty_laplacian(const Laplacian<double>& lap);
// CflViolated when steps of t/n_steps exceed the step polynomial's stability
// limit for the bound rho, naming the least admissible step count within
// [1, range_max], the range of the call's n_steps (or the longest time the
// largest count serves).
void refuse_unstable_steps(const char* cls, double t_final, std::uint64_t n_steps, double rho, double limit,
                           const char* bound_text, std::uint64_t range_max);

// The refusal text of a caller's spectral bound `bound` (the argument
// `name` of `cls`) when `lower`, a Rayleigh quotient of an operator with
// Gershgorin bound `spectral_bound`, proves it below the operator's largest
// eigenvalue; else nullopt. `of` names the operator in the text ("L",
// "lap_at_t(t) at t = 0.5").
std::optional<std::string> bound_refutation(const char* cls, const char* name, double bound,
                                            std::optional<double> lower, double spectral_bound,
                                            const std::string& of);
// What an object's fixed Laplacian tells its stability decisions, found on
// the first call that needs it, without the interpreter lock (a second
// caller waits without it too), and kept for the object's life: the largest
// Ritz value of kLanczosMaxIterations Lanczos steps, and L's norm growth
// rate.
class LowerBoundMemo {
public:
    std::optional<double> of(const Laplacian<double>& lap);
    double growth_rate(const Laplacian<double>& lap);

private:
    std::once_flag once_, rate_once_;
    std::optional<double> lower_;
    double rate_ = 0.0;
};
using SharedLowerBoundMemo = std::shared_ptr<LowerBoundMemo>;

// OutOfDomain with that text for L = lap, whose bound `memo` keeps.
void refuse_bound_below_spectrum(const char* cls, const char* name, double bound, const Laplacian<double>& lap,
                                 LowerBoundMemo& memo);
// refuse_unstable_steps for the bound rho = min(rho_bar, lap.spectral_bound).
// When rho_bar admits steps that the Gershgorin bound alone would refuse,
// the decision rests on rho_bar, so a rho_bar proven below the spectrum is
// refused first (a too-small bound would switch the guard off).
void refuse_unstable_steps_trusting(const char* cls, double t_final, std::uint64_t n_steps, double rho_bar,
                                    const Laplacian<double>& lap, LowerBoundMemo& memo, double limit,
                                    std::uint64_t range_max);

// x in the "{:.3e}" form, with more digits where three would print a value
// at `mark` or on its far side from x and the text would contradict itself
// (x equal to mark keeps three).
std::string exp_text_apart_from(double x, double mark);

// Unit roundoff of the 64-bit and of the single-precision road.
inline constexpr double kUnit64 = 0x1p-53;
inline constexpr double kUnit32 = 0x1p-24;

// The backstop after the steps of one call (core/graph/norm_guard.hpp).
struct GrowthGuard {
    const char* cls;
    // Sparse products per step and the unit roundoff of the road.
    int products;
    double unit;
    // "L", "the samples of lap_at_t": the operator whose heat never grows.
    const char* op;
    // Why the steps were unstable and what to do, after "they are unstable".
    std::string cause;
};
// The norm growth rate allowed over t_final and the first column (of n
// values) of `after` that grew beyond it and the rounding of n_steps steps.
std::optional<NormGrowth> grown_column(const GrowthGuard& g, std::span<const double> before,
                                       std::span<const double> after, std::size_t n, std::uint64_t n_steps,
                                       double log_allowance);
// CflViolated "{cls}: the steps grew the 2-norm of f0 (or column c of f0)
// from {a} to {b}, which heat under {op} never does: they are unstable{cause}".
void refuse_grown_norm(const GrowthGuard& g, const std::optional<NormGrowth>& grown, bool batched);
// The cause of a static class whose rho_bar the decision may rest on.
std::string rho_bar_cause(double rho_bar, double spectral_bound);

// --- batched columns ------------------------------------------------------------

// A [N, C] float64 array (any strides) against n nodes: GridMismatch "f0 must
// be 2-D [N, C]", "f0.shape[0]={} != n_nodes={}", OutOfDomain "n_cols must be
// >= 1"; returns C.
std::size_t check_f0_columns(const Buffer& f0, std::uint64_t n);
// out[c*N + i] = a[i, c].
std::vector<double> features_nc_to_cols(const Buffer& a, std::size_t n, std::size_t cols);
// A new C-contiguous [N, C] array with out[i, c] = cols[c*N + i].
Ref cols_to_features_nc(std::span<const double> cols, std::size_t n, std::size_t c);

// The columns of a batched call: f0 checked as [N, C] against n_nodes,
// copied column after column and checked finite (NanInf "{name} contains NaN
// or Inf: {value}") before any work.
struct Columns {
    std::vector<double> data;
    std::size_t n = 0;
    std::size_t c = 0;
};
Columns columns_from_f0(const Buffer& f0, std::uint64_t n_nodes, const char* name);

// An action refused for its work is raised with what serves instead.
// Lanczos, refused at every m_max (kLanczosBeyondWork): the longest t the
// path takes on this operator of n rows (scaled from the refused tau * rho,
// so any scaling of the operator gives the same), and, given the operator's
// bound rho (NaN: not known here), path "chebyshev" where it serves t at
// this tol or at a looser power of ten. Where t times the bound overflowed,
// the longest t comes from the bound of the operator the path ran on,
// `action_bound()` (rho, or that of a congruence). Chebyshev
// (kChebyshevBeyondWork): the longest t its plan takes at this tol on the
// operator it ran on. Returns for every other error.
void refuse_krylov_beyond_work(const CoreError& e, double t, double rho, double tol, std::uint64_t n,
                               FunctionRef<double()> action_bound);

// A guard's finding on data run column by column at unit scale
// (run_linear; the first column was run times 2^-e): the norms at the data's
// scale, as the refusal prints them.
std::optional<NormGrowth> at_data_scale(std::optional<NormGrowth> grown, std::span<const double> data,
                                        std::size_t n, int e);

// `evolve(v, grown)`, the steps (without the interpreter lock) on v: `data`
// in columns of n values, each run at its unit scale (run_linear; heat is
// linear), `grown` set where a column's norm grew (grown_column on v and the
// result). A growth is refused first (refuse_grown_norm: the steps' own
// fault, whatever the size of the result), then a result beyond the double
// range (naming the scale of the data that passes), then the call's error.
// With `errors` the providers call Python, and the steps run once.
template <class Evolve>
std::vector<double> evolve_guarded_linear(const GrowthGuard& guard, std::span<const double> data, std::size_t n,
                                          bool batched, CallbackErrors* errors, Evolve&& evolve) {
    std::optional<NormGrowth> grown;
    int at = 0;
    BeyondRange beyond;
    auto run = [&] {
        return run_evolve([&] {
            return run_linear(
                data, beyond,
                [&](std::vector<double> v, int e) {
                    grown.reset();
                    at = e;
                    return evolve(std::move(v), grown);
                },
                n, errors == nullptr);
        });
    };
    auto r = errors ? run_with_callbacks(*errors, run) : run();
    refuse_grown_norm(guard, at_data_scale(grown, data, n, at), batched);
    refuse_beyond(guard.cls, data, beyond);
    return unwrap(std::move(r));
}

// The steps `evolve(v)` of a single signal f0, run at its unit scale and
// refused when its norm grew beyond e^log_allowance (evolve_guarded_linear).
template <class Evolve>
std::vector<double> evolve_signal_linear(const GrowthGuard& guard, std::span<const double> f0, std::uint64_t n_steps,
                                         double log_allowance, Evolve&& evolve) {
    return evolve_guarded_linear(guard, f0, 0, false, nullptr,
                                 [&](std::vector<double> v, std::optional<NormGrowth>& grown) {
                                     Expected<std::vector<double>> out = evolve(v);
                                     if (out) grown = grown_column(guard, v, *out, v.size(), n_steps, log_allowance);
                                     return out;
                                 });
}

// n_steps steps of `step` on every column by the batched driver without the
// interpreter lock, each column at its unit scale (evolve_guarded_linear);
// the finite result as a new [N, C] array, refused when a column's norm grew
// (refuse_grown_norm).
Ref evolve_columns_py(const Columns& cols, std::uint64_t n_nodes, std::uint64_t n_steps, ColumnStep step,
                      const GrowthGuard& guard, double log_allowance = 0.0);

// The steps `evolve` (f0 -> result, run without the interpreter lock) of a
// single signal as given (the single-precision road, whose range is the
// narrower float one): the finite result, refused when its norm grew.
template <class Evolve>
std::vector<double> evolve_guarded(const GrowthGuard& guard, const std::vector<double>& f0, std::uint64_t n_steps,
                                   double log_allowance, Evolve&& evolve) {
    std::optional<NormGrowth> grown;
    auto r = run_evolve([&]() -> Expected<std::vector<double>> {
        Expected<std::vector<double>> out = evolve();
        if (out) grown = grown_column(guard, f0, *out, f0.size(), n_steps, log_allowance);
        return out;
    });
    std::vector<double> out = unwrap(std::move(r));
    refuse_grown_norm(guard, grown, false);
    return out;
}

}  // namespace quorvane::py
