#include "python/graph/graph_callbacks.hpp"

#include <memory>
#include <optional>
#include <vector>

#include "python/array.hpp"
#include "python/graph/graph_args.hpp"

namespace quorvane::py {

namespace {

// A Python callable owned by a provider that may be copied to, and dropped
// on, threads without the interpreter lock.
class HeldCallable {
public:
    explicit HeldCallable(PyObject* callable) : callable_(Ref::borrowed(callable)) {}
    HeldCallable(const HeldCallable&) = delete;
    HeldCallable& operator=(const HeldCallable&) = delete;
    ~HeldCallable() {
        PyGILState_STATE st = PyGILState_Ensure();
        callable_ = Ref();
        PyGILState_Release(st);
    }

    // fn(result) under the lock with the call's result (null when it
    // raised); any Python error left is discarded.
    template <class Fn>
    auto call(double t, Fn&& fn) const {
        PyGILState_STATE st = PyGILState_Ensure();
        Ref arg(PyFloat_FromDouble(t));
        Ref result = arg ? Ref(PyObject_CallFunctionObjArgs(callable_.get(), arg.get(), nullptr)) : Ref();
        PyErr_Clear();
        auto value = fn(result.get());
        PyErr_Clear();
        result = Ref();
        arg = Ref();
        PyGILState_Release(st);
        return value;
    }

private:
    Ref callable_;
};

SharedLaplacian laplacian_at(const HeldCallable& c, double t, const SharedGraph& base) {
    return c.call(t, [&](PyObject* result) {
        return result ? laplacian_from_object(result, base) : combinatorial_of(base);
    });
}

}  // namespace

LaplacianProvider lap_at_t_adaptor(PyObject* callable, SharedGraph base) {
    auto held = std::make_shared<const HeldCallable>(callable);
    return [held, base](double t) { return laplacian_at(*held, t, base); };
}

LaplacianProviderF32 lap_at_t_adaptor_f32(PyObject* callable, SharedGraph base) {
    auto held = std::make_shared<const HeldCallable>(callable);
    return [held, base](float t) { return combinatorial_f32_of(*laplacian_at(*held, static_cast<double>(t), base)); };
}

CoefficientProvider varcoef_a_at_t_adaptor(PyObject* callable, std::uint64_t n_nodes) {
    auto held = std::make_shared<const HeldCallable>(callable);
    return [held, n_nodes](double t) {
        return held->call(t, [&](PyObject* result) {
            std::optional<std::vector<double>> v = result ? try_float_vector(result) : std::nullopt;
            if (!v || v->size() != n_nodes) return std::vector<double>(static_cast<std::size_t>(n_nodes), 1.0);
            return std::move(*v);
        });
    };
}

}  // namespace quorvane::py
