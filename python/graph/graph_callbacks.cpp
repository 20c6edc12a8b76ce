#include "python/graph/graph_callbacks.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/array.hpp"
#include "python/graph/graph_args.hpp"

namespace quorvane::py {

namespace {

// A Python callable owned by a provider that may be copied to, and dropped
// on, a thread without the interpreter lock.
class HeldCallable {
public:
    HeldCallable(PyObject* callable, CallbackErrors& errors) : callable_(Ref::borrowed(callable)), errors_(&errors) {}
    HeldCallable(const HeldCallable&) = delete;
    HeldCallable& operator=(const HeldCallable&) = delete;
    ~HeldCallable() {
        if (thread_ending()) {  // the interpreter is ending this thread: leave the reference
            callable_.release();
            return;
        }
        PyGILState_STATE st = ensure_gil_state();
        callable_ = Ref();
        PyGILState_Release(st);
    }

    // convert(result) under the lock with the callable's result at t. A
    // raising call, a conversion that raises or a frame error about the
    // result is kept in the slot and fails the call.
    template <class T, class Convert>
    Expected<T> call(double t, Convert&& convert) const {
        struct Lock {
            PyGILState_STATE st = ensure_gil_state();
            ~Lock() { PyGILState_Release(st); }
        } lock;
        Ref arg(PyFloat_FromDouble(t));
        if (!arg) return fail(errors_->keep_pending());
        Ref result(PyObject_CallFunctionObjArgs(callable_.get(), arg.get(), nullptr));
        if (!result) return fail(errors_->keep_pending());
        try {
            return convert(result.get());
        } catch (const BindError& e) {
            if (e.kind() == BindError::Kind::AlreadySet) return fail(errors_->keep_pending());
            return fail(errors_->keep(e));
        }
    }

private:
    Ref callable_;
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

}  // namespace

LaplacianProvider lap_at_t_adaptor(PyObject* callable, std::uint64_t n_nodes, CallbackErrors& errors) {
    auto held = std::make_shared<const HeldCallable>(callable, errors);
    return [held, n_nodes](double t) {
        return held->call<SharedLaplacian>(t, [&](PyObject* result) -> Expected<SharedLaplacian> {
            std::optional<SharedLaplacian> lap = laplacian_from_object(result);
            if (!lap) refuse_operator(result);
            check_nodes((*lap)->n_nodes, n_nodes);
            return std::move(*lap);
        });
    };
}

LaplacianProviderF32 lap_at_t_adaptor_f32(PyObject* callable, std::uint64_t n_nodes, CallbackErrors& errors) {
    using Lap32 = std::shared_ptr<const Laplacian<float>>;
    auto held = std::make_shared<const HeldCallable>(callable, errors);
    return [held, n_nodes](float t) {
        return held->call<Lap32>(static_cast<double>(t), [&](PyObject* result) -> Expected<Lap32> {
            if (SharedGraph g = graph_of_object(result)) {
                check_nodes(g->n_nodes, n_nodes);
                Expected<Graph<float>> g32 = graph_to_f32(*g);
                if (!g32) return fail(g32.error());
                return std::make_shared<const Laplacian<float>>(
                    Laplacian<float>::from_graph(*g32, LaplacianKind::Combinatorial));
            }
            std::optional<SharedLaplacian> lap = laplacian_from_object(result);
            if (!lap) refuse_operator(result);
            check_nodes((*lap)->n_nodes, n_nodes);
            Expected<Laplacian<float>> l32 = laplacian_to_f32(**lap);
            if (!l32) return fail(l32.error());
            return std::make_shared<const Laplacian<float>>(std::move(*l32));
        });
    };
}

CoefficientProvider varcoef_a_at_t_adaptor(PyObject* callable, std::uint64_t n_nodes, CallbackErrors& errors,
                                           const char* name) {
    auto held = std::make_shared<const HeldCallable>(callable, errors);
    return [held, n_nodes, name](double t) {
        return held->call<std::vector<double>>(t, [&](PyObject* result) -> Expected<std::vector<double>> {
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
