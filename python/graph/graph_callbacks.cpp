#include "python/graph/graph_callbacks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/graph/magnus_graph.hpp"
#include "core/graph/rayleigh.hpp"
#include "python/array.hpp"
#include "python/graph/graph_args.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {

namespace {

// A Python callable used by the providers of one call. It is borrowed: the
// object or argument it comes from keeps it for the whole call, which the
// providers never outlive (they write to the call's error slot). So copying
// or dropping a provider, without the lock on any thread, touches no Python
// object; a drop that took the lock could meet the interpreter ending the
// thread, by a forced unwind through a noexcept destructor.
class BorrowedCallable {
public:
    BorrowedCallable(PyObject* callable, CallbackErrors& errors) : callable_(callable), errors_(&errors) {}

    // convert(result) under the lock with the callable's result at t. A
    // raising call, a conversion that raises or a frame error about the
    // result is kept in the slot and fails the call.
    template <class T, class Convert>
    Expected<T> call(double t, Convert&& convert) const {
        // convert runs core code (a graph rounded to single precision, whose
        // rebuild polls) under the lock.
        return with_callback_lock([&]() -> Expected<T> {
            Ref arg(PyFloat_FromDouble(t));
            if (!arg) return fail(errors_->keep_pending());
            Ref result(PyObject_CallFunctionObjArgs(callable_, arg.get(), nullptr));
            if (!result) return fail(errors_->keep_pending());
            try {
                return convert(result.get());
            } catch (const BindError& e) {
                if (e.kind() == BindError::Kind::AlreadySet) return fail(errors_->keep_pending());
                return fail(errors_->keep(e));
            }
        });
    }

private:
    PyObject* callable_;
    CallbackErrors* errors_;
};

[[noreturn]] void refuse_operator(PyObject* result) {
    py_err_with_kind("OutOfDomain", "lap_at_t(t) must return a Laplacian, Graph or GraphPath, got " + type_name_of(result));
}

void check_nodes(std::uint64_t m, std::uint64_t n) {
    if (m != n) {
        py_err_with_kind("GridMismatch", "lap_at_t(t) returned " + std::to_string(m) + " nodes, expected n_nodes=" +
                                             std::to_string(n));
    }
}

// Fails the call with "[OutOfDomain] {text}", kept in the error slot.
CoreError keep_refusal(CallbackErrors& errors, const std::string& text) {
    return with_callback_lock(
        [&] { return errors.keep(BindError(BindError::Kind::Quorvane, "[OutOfDomain] " + text)); });
}

// Lanczos steps of the first probe of a call; each later sample takes one
// product from the vector the probe before it left (consecutive samples
// differ little). Few: the probe only guards the radius test,
// tau * rho < pi/2, which leaves the steps stable up to 1.77 times the
// radius (2.7852), and the norm backstop catches what would grow; a probe
// of 8 steps costs about a step's sparse products.
constexpr int kColdIterations = 8;
// Lanczos steps a call may add where a probe leaves its decision in doubt:
// the bound lies above the probe's lower bound but within reach of it
// (SpectrumEstimate::reach, and at least a relative 5e-2: the 8 steps of the
// first probe fell 1 to 9 % short of the top on paths, grids and
// random-weight grids, the single products on samples that change 4 %),
// where a bound from a few power iterations (1 to 3 % low) lies. 256 steps
// take the Ritz value of the 1000-path or of a 300 x 300 grid within 1e-4
// of the top eigenvalue. Bounds well above the spectrum, such as
// Gershgorin's, never start them.
constexpr int kRefineIterations = 256;
constexpr double kNearRelative = 5e-2;
// A probe that leaves the bound clear by this factor beyond the reach of
// its estimate lets the next new sample through unprobed, the norm backstop
// standing alone there: its top would have to rise that far within a
// sample. The sample after it is probed again. This halves the probes of a
// lap_at_t that builds a new Laplacian at every sample, under bounds well
// above the spectrum, and leaves every sample near a doubt probed.
constexpr double kClearMargin = 1.1;
// What the probe is built to see wherever in the graph it lies: an
// eigenvalue of a sample at or above this factor times the bound (or, where
// only a step past the radius refutes, times the eigenvalue that puts it
// there). A sample whose rows could hold one where no probe of the call has
// looked (SpectrumProbe's hot rows) is probed from a start with weight on
// every node, never spared. The single products watch the top they started
// from; eigenvalues just above the bound elsewhere may pass, and with the
// check on the norm backstop still stands behind them.
constexpr double kSeenFactor = 1.01;

// The last few sample objects a call has settled: a callable that returns
// one Laplacian object for every t, or alternates between a few, is worked
// on once per object. Weak references: a dropped sample is freed as usual,
// and a new object at its address does not match.
template <class T>
class RecentObjects {
public:
    const T* find(const void* p) const {
        for (const Entry& e : entries_) {
            if (e.address == p && !e.ref.expired()) return &e.value;
        }
        return nullptr;
    }
    void add(const std::shared_ptr<const void>& p, T value) {
        entries_[next_] = Entry{p.get(), p, std::move(value)};
        next_ = (next_ + 1) % entries_.size();
    }

private:
    struct Entry {
        const void* address = nullptr;
        std::weak_ptr<const void> ref;
        T value{};
    };
    std::array<Entry, 4> entries_{};
    std::size_t next_ = 0;
};

template <class Provider>
Provider checking_bound_of(Provider lap_at_t, TrustedBound b, CallbackErrors& errors) {
    using Result = typename Provider::result_type;
    struct State {
        RecentObjects<bool> passed;
        SpectrumProbe probe{kColdIterations, kRefineIterations};
        bool skip_next = false;
    };
    auto state = std::make_shared<State>();
    // A lower bound of the top eigenvalue that fails the call.
    auto refutes = [b](double lower) {
        return bound_below_lower(b.bound, lower) && (!b.past_radius_only || b.tau * (b.scale * lower) >= kMagnusRadius);
    };
    const double watch =
        kSeenFactor * (b.past_radius_only ? std::max(b.bound, kMagnusRadius / (b.tau * b.scale)) : b.bound);
    return [lap_at_t = std::move(lap_at_t), b, &errors, state, refutes, watch](auto t) -> Result {
        Result lap = lap_at_t(t);
        if (!lap || state->passed.find(lap->get())) return lap;
        const double own = static_cast<double>((*lap)->spectral_bound);
        if (!(b.tau * (b.scale * own) >= kMagnusRadius)) return lap;
        if (state->skip_next) {
            state->skip_next = false;
            if (!state->probe.has_unseen_hot_rows(**lap, watch)) return lap;
        }
        // In doubt where the top eigenvalue, within reach of the estimate (or
        // a relative 5e-2 of it), could refute the bound: more steps then
        // decide, until the Ritz value refutes the bound or the reach of
        // the estimate falls short of it.
        auto reach = [](const SpectrumEstimate& s) { return s.lower + std::max(s.reach, kNearRelative * s.lower); };
        std::optional<SpectrumEstimate> e = state->probe.probe(**lap, watch);
        if (e && !refutes(e->lower) && refutes(reach(*e))) {
            e = state->probe.refine(**lap, kColdIterations, [&](const SpectrumEstimate& s) {
                return refutes(s.lower) || !refutes(s.lower + s.reach);
            });
        }
        const std::optional<double> lower = e ? std::optional<double>(e->lower) : std::nullopt;
        if (b.past_radius_only && !(lower && b.tau * (b.scale * *lower) >= kMagnusRadius)) {
            state->passed.add(*lap, true);
            return lap;
        }
        const std::optional<std::string> text =
            bound_refutation(b.cls, b.name, b.bound, lower, own, "lap_at_t(t) at t = " + exact_time(t));
        if (text) return fail(keep_refusal(errors, *text));
        state->passed.add(*lap, true);
        state->skip_next = e && !refutes(kClearMargin * reach(*e));
        return lap;
    };
}

template <class Provider>
Provider recording_growth_of(Provider lap_at_t, const SharedSampleGrowth& growth) {
    using Result = typename Provider::result_type;
    auto seen = std::make_shared<RecentObjects<double>>();
    return [lap_at_t = std::move(lap_at_t), growth, seen](auto t) -> Result {
        Result lap = lap_at_t(t);
        if (!lap) return lap;
        const double* known = seen->find(lap->get());
        const double rate = known ? *known : norm_growth_rate(**lap);
        if (!known) seen->add(*lap, rate);
        growth->rate = std::max(growth->rate, rate);
        return lap;
    };
}

}  // namespace

LaplacianProvider checking_bound(LaplacianProvider lap_at_t, TrustedBound b, CallbackErrors& errors) {
    return checking_bound_of(std::move(lap_at_t), b, errors);
}

LaplacianProviderF32 checking_bound(LaplacianProviderF32 lap_at_t, TrustedBound b, CallbackErrors& errors) {
    return checking_bound_of(std::move(lap_at_t), b, errors);
}

LaplacianProvider recording_growth(LaplacianProvider lap_at_t, const SharedSampleGrowth& growth) {
    return recording_growth_of(std::move(lap_at_t), growth);
}

LaplacianProviderF32 recording_growth(LaplacianProviderF32 lap_at_t, const SharedSampleGrowth& growth) {
    return recording_growth_of(std::move(lap_at_t), growth);
}

CoefficientProvider checking_a_sup(CoefficientProvider a_at_t, const char* cls, double a_sup_max, double rho_bar_max,
                                   double tau, CallbackErrors& errors, const SharedSampleGrowth& growth) {
    return [a_at_t = std::move(a_at_t), cls, a_sup_max, rho_bar_max, tau, &errors, growth](double t)
               -> Expected<std::vector<double>> {
        Expected<std::vector<double>> a = a_at_t(t);
        if (!a) return a;
        // One sweep for the backstop's largest coefficient and for the test.
        double a_max = 0.0;
        bool finite = true;
        for (const double v : *a) {
            finite = finite && std::isfinite(v);
            a_max = std::max(a_max, v);
        }
        growth->a_max = std::max(growth->a_max, a_max);
        if (!finite) return a;  // the step's own check names it
        if (!(tau * (a_max * rho_bar_max) >= kMagnusRadius)) return a;
        const double root = std::sqrt(a_max);
        if (!(a_sup_max < root)) return a;
        return fail(keep_refusal(errors, std::string(cls) + ": a_sup_max = " + fmt_exp3(a_sup_max) +
                                             " is below sqrt(max a_at_t(t)) = " + fmt_exp3(root) + " at t = " +
                                             exact_time(t) + "; the step's stability cannot rest on it"));
    };
}

LaplacianProvider lap_at_t_adaptor(PyObject* callable, std::uint64_t n_nodes, CallbackErrors& errors) {
    return [held = BorrowedCallable(callable, errors), n_nodes](double t) {
        return held.call<SharedLaplacian>(t, [&](PyObject* result) -> Expected<SharedLaplacian> {
            std::optional<SharedLaplacian> lap = laplacian_from_object(result);
            if (!lap) refuse_operator(result);
            check_nodes((*lap)->n_nodes, n_nodes);
            return std::move(*lap);
        });
    };
}

LaplacianProviderF32 lap_at_t_adaptor_f32(PyObject* callable, std::uint64_t n_nodes, CallbackErrors& errors) {
    using Lap32 = std::shared_ptr<const Laplacian<float>>;
    // A callable that returns one (immutable) graph or Laplacian object for
    // every t is converted once, and hands the bound check one object to pass.
    struct Last {
        std::shared_ptr<const void> source;  // kept alive, so its address is not reused
        Lap32 converted;
    };
    auto last = std::make_shared<Last>();
    return [held = BorrowedCallable(callable, errors), n_nodes, last](float t) {
        return held.call<Lap32>(static_cast<double>(t), [&](PyObject* result) -> Expected<Lap32> {
            auto convert = [&](std::shared_ptr<const void> source, auto make) -> Expected<Lap32> {
                if (last->source && source.get() == last->source.get()) return last->converted;
                Expected<Lap32> lap = make();
                if (lap) *last = Last{std::move(source), *lap};
                return lap;
            };
            if (SharedGraph g = graph_of_object(result)) {
                check_nodes(g->n_nodes, n_nodes);
                return convert(g, [&]() -> Expected<Lap32> {
                    Expected<Graph<float>> g32 = graph_to_f32(*g);
                    if (!g32) return fail(g32.error());
                    return std::make_shared<const Laplacian<float>>(
                        Laplacian<float>::from_graph(*g32, LaplacianKind::Combinatorial));
                });
            }
            std::optional<SharedLaplacian> lap = laplacian_from_object(result);
            if (!lap) refuse_operator(result);
            check_nodes((*lap)->n_nodes, n_nodes);
            return convert(*lap, [&]() -> Expected<Lap32> {
                Expected<Laplacian<float>> l32 = laplacian_to_f32(**lap);
                if (!l32) return fail(l32.error());
                return std::make_shared<const Laplacian<float>>(std::move(*l32));
            });
        });
    };
}

CoefficientProvider varcoef_a_at_t_adaptor(PyObject* callable, std::uint64_t n_nodes, CallbackErrors& errors,
                                           const char* name) {
    return [held = BorrowedCallable(callable, errors), n_nodes, name](double t) {
        return held.call<std::vector<double>>(t, [&](PyObject* result) -> Expected<std::vector<double>> {
            std::optional<std::vector<double>> v = float_vector_keeping_error(result);
            if (!v) {
                if (PyErr_Occurred()) throw_python_error();
                py_err_with_kind("OutOfDomain", std::string(name) +
                                                    "(t) must return a float64 array or a sequence of floats, got " +
                                                    type_name_of(result));
            }
            if (v->size() != n_nodes) {
                py_err_with_kind("GridMismatch", std::string(name) + "(t) returned " + std::to_string(v->size()) +
                                                     " values, expected n_nodes=" + std::to_string(n_nodes));
            }
            return std::move(*v);
        });
    };
}

}  // namespace quorvane::py
