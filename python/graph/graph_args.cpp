#include "python/graph/graph_args.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/foundation/format.hpp"
#include "core/foundation/memory.hpp"
#include "core/foundation/numeric.hpp"
#include "core/graph/graph_signal.hpp"
#include "core/graph/rayleigh.hpp"
#include "python/coeff.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {

void refuse_beyond_memory(const char* count_name, std::uint64_t count, const char* what,
                          std::optional<std::size_t> bytes) {
    if (fits_in_memory(bytes)) return;
    py_err_with_kind("OutOfDomain", std::string(count_name) + " = " + std::to_string(count) + ": " + what +
                                        " needs at least " +
                                        (bytes ? fmt_exp3(static_cast<double>(*bytes)) : std::string("2^64")) +
                                        " bytes, more than " + machine_memory_text());
}

void refuse_graph_beyond_memory(std::uint64_t n_nodes, std::uint64_t nnz, const char* what) {
    refuse_beyond_memory("n_nodes", n_nodes, what, graph_build_bytes(n_nodes, nnz));
}

SharedGraph path_graph(std::uint64_t n_nodes, const char* what) {
    refuse_graph_beyond_memory(n_nodes, 2 * (n_nodes - 1), what);
    return std::make_shared<const Graph<double>>(Graph<double>::path(n_nodes));
}

SharedLaplacian combinatorial_of(const SharedGraph& g) {
    return std::make_shared<const Laplacian<double>>(Laplacian<double>::from_graph(*g, LaplacianKind::Combinatorial));
}

SharedGraph carrier_of(const Laplacian<double>& lap) {
    return path_graph(std::max<std::uint64_t>(lap.n_nodes, 1), "the path graph that carries the Laplacian");
}

namespace {

template <class T>
auto shared_value(PyObject* o) {
    Instance<T>* inst = reinterpret_cast<Instance<T>*>(o);
    BorrowGuard g(inst->borrow, Borrow::Shared);
    if constexpr (std::is_same_v<T, LaplacianObj>) return inst->value().laplacian;
    else return inst->value().graph;
}

}  // namespace

std::pair<SharedGraph, SharedLaplacian> graph_and_laplacian_from_object(PyObject* o) {
    if (is_instance<GraphPathObj>(o)) {
        SharedGraph g = shared_value<GraphPathObj>(o);
        return {g, combinatorial_of(g)};
    }
    if (is_instance<GraphObj>(o)) {
        SharedGraph g = shared_value<GraphObj>(o);
        return {g, combinatorial_of(g)};
    }
    if (is_instance<LaplacianObj>(o)) {
        SharedLaplacian l = shared_value<LaplacianObj>(o);
        return {carrier_of(*l), l};
    }
    py_err_with_kind("OutOfDomain", "graph must be a GraphPath, Graph, or Laplacian");
}

std::pair<SharedLaplacian, SharedGraph> resolve_laplacian_or_graph(PyObject* laplacian, PyObject* graph) {
    if (laplacian) {
        SharedLaplacian l = shared_value<LaplacianObj>(laplacian);
        return {l, carrier_of(*l)};
    }
    if (graph) {
        SharedGraph g = shared_value<GraphObj>(graph);
        return {combinatorial_of(g), g};
    }
    py_err_with_kind("OutOfDomain", "provide either laplacian= or graph=");
}

SharedGraph graph_from_graph_or_laplacian(PyObject* graph, PyObject* laplacian) {
    if (graph) {
        if (is_instance<GraphObj>(graph)) return shared_value<GraphObj>(graph);
        if (is_instance<GraphPathObj>(graph)) return shared_value<GraphPathObj>(graph);
        py_err_with_kind("OutOfDomain", "graph must be a Graph or GraphPath");
    }
    if (laplacian) return carrier_of(*shared_value<LaplacianObj>(laplacian));
    py_err_with_kind("OutOfDomain", "provide either graph= or laplacian=");
}

std::optional<SharedLaplacian> laplacian_from_object(PyObject* o) {
    if (is_instance<LaplacianObj>(o)) return shared_value<LaplacianObj>(o);
    if (SharedGraph g = graph_of_object(o)) return combinatorial_of(g);
    return std::nullopt;
}

SharedGraph graph_of_object(PyObject* o) {
    if (is_instance<GraphObj>(o)) return shared_value<GraphObj>(o);
    if (is_instance<GraphPathObj>(o)) return shared_value<GraphPathObj>(o);
    return nullptr;
}

void check_t_final_and_steps(double t_final, std::uint64_t n_steps) {
    if (!finite_nonneg(t_final)) py_err_with_kind("OutOfDomain", "t_final must be finite and >= 0");
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
}

void check_f0_len(std::size_t len, std::uint64_t n_nodes) {
    if (len != n_nodes) {
        py_err_with_kind("GridMismatch",
                         "f0.len()=" + std::to_string(len) + " != graph.n_nodes()=" + std::to_string(n_nodes));
    }
}

void check_finite_input(std::span<const double> v, const char* name) {
    for (const double x : v) {
        if (!std::isfinite(x)) py_err_with_kind("NanInf", std::string(name) + " contains NaN or Inf: " + fmt_shortest(x));
    }
}

void refuse_empty_laplacian(const Laplacian<double>& lap) {
    if (lap.n_nodes == 0) py_err_with_kind("OutOfDomain", "laplacian must have at least one node");
}

std::string exp_text_apart_from(double x, double mark) {
    for (int digits = 3; digits <= 17; ++digits) {
        std::string text = fmt_exp(x, digits);
        const double shown = std::strtod(text.c_str(), nullptr);
        if (x > mark ? shown > mark : x < mark ? shown < mark : true) return text;
    }
    return fmt_shortest(x);
}

namespace {

// lo < hi in the "{:.3e}" form, with more digits where three would print
// them equal and the refusal would contradict itself.
std::pair<std::string, std::string> exp_texts_apart(double lo, double hi) {
    for (int digits = 3; digits <= 17; ++digits) {
        std::string a = fmt_exp(lo, digits), b = fmt_exp(hi, digits);
        if (std::strtod(a.c_str(), nullptr) < std::strtod(b.c_str(), nullptr)) return {std::move(a), std::move(b)};
    }
    return {fmt_shortest(lo), fmt_shortest(hi)};
}

}  // namespace

void refuse_unstable_steps(const char* cls, double t_final, std::uint64_t n_steps, double rho, double limit,
                           const char* bound_text, std::uint64_t range_max) {
    const std::optional<StepCounts> counts = stable_step_counts(t_final, n_steps, rho, limit, range_max);
    if (!counts) return;
    const double tau = t_final / static_cast<double>(n_steps);
    py_err_with_kind("CflViolated", std::string(cls) + ": tau * rho = " + exp_text_apart_from(tau * rho, limit) +
                                        " exceeds the stability limit " + fmt_shortest(limit) + " of the step (" +
                                        bound_text + " = " + fmt_exp3(rho) + "); " +
                                        count_advice(*counts, "n_steps", range_max, {"t_final", t_final}));
}

std::optional<std::string> bound_refutation(const char* cls, const char* name, double bound,
                                            std::optional<double> lower, double spectral_bound,
                                            const std::string& of) {
    if (!lower || !bound_below_lower(bound, *lower)) return std::nullopt;
    const auto [bound_text, lower_text] = exp_texts_apart(bound, *lower);
    return std::string(cls) + ": " + name + " = " + bound_text + " is below the largest eigenvalue of " + of +
           ", which is at least " + lower_text + " (a Rayleigh quotient); the step's stability cannot rest on " +
           "it: pass a bound of the spectral radius, such as the spectral_bound " + fmt_exp3(spectral_bound);
}

std::optional<double> LowerBoundMemo::of(const Laplacian<double>& lap) {
    return without_gil([&] {
        std::call_once(once_, [&] {
            const std::optional<RitzEstimate> e = largest_ritz_value(lap, kLanczosMaxIterations);
            if (e) lower_ = e->value;
        });
        return lower_;
    });
}

double LowerBoundMemo::growth_rate(const Laplacian<double>& lap) {
    return without_gil([&] {
        std::call_once(rate_once_, [&] { rate_ = norm_growth_rate(lap); });
        return rate_;
    });
}

void refuse_bound_below_spectrum(const char* cls, const char* name, double bound, const Laplacian<double>& lap,
                                 LowerBoundMemo& memo) {
    const std::optional<std::string> text =
        bound_refutation(cls, name, bound, memo.of(lap), lap.spectral_bound, "L");
    if (text) py_err_with_kind("OutOfDomain", *text);
}

void refuse_unstable_steps_trusting(const char* cls, double t_final, std::uint64_t n_steps, double rho_bar,
                                    const Laplacian<double>& lap, LowerBoundMemo& memo, double limit,
                                    std::uint64_t range_max) {
    const double rho = std::min(rho_bar, lap.spectral_bound);
    // The call that runs: the call's own, or the one its refusal would name
    // (the least count, or the largest count over the longest time it
    // serves). Where the spectral bound alone would refuse that call, it
    // rests on rho_bar, which is judged first: a refusal never names a count
    // or a time that the refutation of rho_bar then refuses.
    double t = t_final;
    std::uint64_t count = n_steps;
    if (const std::optional<StepCounts> c = stable_step_counts(t_final, n_steps, rho, limit, range_max)) {
        if (c->outcome == StepCounts::Outcome::Fits) {
            count = c->least;
        } else {
            count = range_max;
            t = c->longest_t;
        }
    }
    if (stable_step_counts(t, count, lap.spectral_bound, limit, range_max)) {
        refuse_bound_below_spectrum(cls, "rho_bar", rho_bar, lap, memo);
    }
    refuse_unstable_steps(cls, t_final, n_steps, rho, limit, "rho = min(rho_bar, spectral_bound)", range_max);
}

std::optional<NormGrowth> grown_column(const GrowthGuard& g, std::span<const double> before,
                                       std::span<const double> after, std::size_t n, std::uint64_t n_steps,
                                       double log_allowance) {
    return first_grown_column(before, after, n, log_allowance, rounding_growth(n_steps, g.products, g.unit));
}

void refuse_grown_norm(const GrowthGuard& g, const std::optional<NormGrowth>& grown, bool batched) {
    if (!grown) return;
    const std::string what = batched ? "column " + std::to_string(grown->column) + " of f0" : std::string("f0");
    py_err_with_kind("CflViolated", std::string(g.cls) + ": the steps grew the 2-norm of " + what + " from " +
                                        fmt_exp3(grown->before) + " to " + fmt_exp3(grown->after) +
                                        ", which heat under " + g.op + " never does: they are unstable" + g.cause);
}

std::string rho_bar_cause(double rho_bar, double spectral_bound) {
    // rho_bar in the digits that tell it from the bound shown beside it.
    const std::string bound_text = fmt_exp3(spectral_bound);
    return ", and rho_bar = " + exp_text_apart_from(rho_bar, std::strtod(bound_text.c_str(), nullptr)) +
           " is below the largest eigenvalue of L; pass a bound of the spectral radius, such as the spectral_bound " +
           bound_text;
}

std::size_t check_f0_columns(const Buffer& f0, std::uint64_t n) {
    if (f0.ndim() != 2) py_err_with_kind("GridMismatch", "f0 must be 2-D [N, C]");
    const auto rows = static_cast<std::uint64_t>(f0.shape(0));
    if (rows != n) {
        py_err_with_kind("GridMismatch", "f0.shape[0]=" + std::to_string(rows) + " != n_nodes=" + std::to_string(n));
    }
    if (f0.shape(1) == 0) py_err_with_kind("OutOfDomain", "n_cols must be >= 1");
    return static_cast<std::size_t>(f0.shape(1));
}

std::vector<double> features_nc_to_cols(const Buffer& a, std::size_t n, std::size_t cols) {
    std::size_t total = 0;
    if (__builtin_mul_overflow(n, cols, &total)) internal_fault("features_nc_to_cols: N * C overflows");
    std::vector<double> out(total);
    for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t i = 0; i < n; ++i)
            out[c * n + i] = a.at(static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(c));
    return out;
}

Ref cols_to_features_nc(std::span<const double> cols, std::size_t n, std::size_t c) {
    std::vector<double> row_major(n * c);
    for (std::size_t k = 0; k < c; ++k)
        for (std::size_t i = 0; i < n; ++i) row_major[i * c + k] = cols[k * n + i];
    return new_array_f64_2d(n, c, row_major);
}

Columns columns_from_f0(const Buffer& f0, std::uint64_t n_nodes, const char* name) {
    const std::size_t c = check_f0_columns(f0, n_nodes);
    const auto n = static_cast<std::size_t>(n_nodes);
    Columns cols{features_nc_to_cols(f0, n, c), n, c};
    check_finite_input(cols.data, name);
    return cols;
}

void refuse_krylov_beyond_work(const CoreError& e, double t, double rho, double tol, std::uint64_t n,
                               FunctionRef<double()> action_bound) {
    if (e.variant() != CoreError::Variant::DomainViolation) return;
    if (std::string_view(e.text()) == kChebyshevBeyondWork) {
        const double bound = action_bound();
        py_err_with_kind("OutOfDomain", kChebyshevBeyondWork + served_up_to("t", t, [&](double s) {
                                            return chebyshev_plan_fits(s, bound, tol);
                                        }));
    }
    if (std::string_view(e.text()) != kLanczosBeyondWork) return;
    std::string msg = kLanczosBeyondWork;
    // Taken from inside: the t named is served although its product with
    // the bound rounds.
    const double x = e.f0();
    const double largest = lanczos_largest_argument(n);
    const double longest = floor_4_digits_inside(std::isfinite(x) ? t * (largest / x) : largest / action_bound());
    if (longest > 0.0 && std::isfinite(longest)) {
        msg += "; it serves t up to " + fmt_exp3(longest) + " on this operator";
    }
    if (std::isfinite(rho)) {
        if (chebyshev_plan_fits(t, rho, tol)) {
            msg += "; path \"chebyshev\" serves this t";
        } else {
            for (int e10 = -15; e10 <= -6; ++e10) {
                const double looser = std::stod("1e" + std::to_string(e10));
                if (looser > tol && chebyshev_plan_fits(t, rho, looser)) {
                    msg += "; path \"chebyshev\" serves this t with tol >= 1e" + std::to_string(e10);
                    break;
                }
            }
        }
    }
    py_err_with_kind("OutOfDomain", msg);
}

std::optional<NormGrowth> at_data_scale(std::optional<NormGrowth> grown, std::span<const double> data,
                                        std::size_t n, int e) {
    if (!grown) return grown;
    const ColumnScales scales(data, n);
    const int k = scales.exponent(grown->column) + e - scales.exponent();
    grown->before = std::ldexp(grown->before, k);
    grown->after = std::ldexp(grown->after, k);
    return grown;
}

Ref evolve_columns_py(const Columns& cols, std::uint64_t n_nodes, std::uint64_t n_steps, ColumnStep step,
                      const GrowthGuard& guard, double log_allowance) {
    const std::vector<double> out = evolve_guarded_linear(
        guard, cols.data, cols.n, true, nullptr,
        [&](std::vector<double> v, std::optional<NormGrowth>& grown) -> Expected<std::vector<double>> {
            std::vector<double> dst(v.size(), 0.0);
            if (Status st = evolve_columns(n_nodes, n_steps, v, dst, step); !st) return fail(st.error());
            grown = grown_column(guard, v, dst, cols.n, n_steps, log_allowance);
            return dst;
        });
    return cols_to_features_nc(out, cols.n, cols.c);
}

}  // namespace quorvane::py
