#include "python/coeff.hpp"

#include "core/foundation/format.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/multid/sizes.hpp"

namespace quorvane::py {

std::vector<double> extract_u0_vec(PyObject* o) {
    auto v = try_float_vector(o);
    if (!v) raise_type_error("u0 must be a numpy.ndarray[float64] or a sequence of floats");
    return std::move(*v);
}

std::vector<double> extract_f0_vec(PyObject* o) {
    auto v = try_float_vector(o);
    if (!v) raise_type_error("f0 must be a numpy.ndarray[float64] or a sequence of floats");
    return std::move(*v);
}

std::vector<double> extract_float_vec(PyObject* o) {
    auto v = try_float_vector(o);
    if (!v) raise_type_error("expected a numpy.ndarray[float64] or list of floats");
    return std::move(*v);
}

std::vector<double> extract_u0_2d(PyObject* o, std::size_t nx, std::size_t ny) {
    auto v = try_float_vector(o);
    if (!v) py_err_with_kind("GridMismatch", "u0 must be numpy.ndarray[float64]");
    // A product beyond 64 bits matches no length (a wrapped one could match an empty list).
    if (!length_matches(v->size(), {nx, ny})) {
        py_err_with_kind("GridMismatch",
                         "u0 length " + std::to_string(v->size()) + " != nx*ny=" + exact_product_text({nx, ny}));
    }
    if (first_non_finite<double>(*v)) py_err_with_kind("NanInf", "u0 contains NaN or Inf");
    return std::move(*v);
}

BoundaryPolicy<double> parse_boundary_policy(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lowered == "reflect") return BoundaryPolicy<double>::of(BoundaryTag::Reflect);
    if (lowered == "zero") return BoundaryPolicy<double>::of(BoundaryTag::Zero);
    if (lowered == "periodic") return BoundaryPolicy<double>::of(BoundaryTag::Periodic);
    if (lowered == "linear") return BoundaryPolicy<double>::of(BoundaryTag::Linear);
    py_err_with_kind("OutOfDomain", "unknown boundary policy " + fmt_debug_str(lowered) +
                                        "; valid options are: \"reflect\", \"periodic\", \"zero\", \"linear\"");
}

Dtype parse_dtype(std::string_view text) {
    if (text == "f64") return Dtype::F64;
    if (text == "f32") return Dtype::F32;
    py_err_with_kind("OutOfDomain", "dtype '" + std::string(text) +
                                        "' is not supported; accepted values: \"f64\" (default), \"f32\". "
                                        "fp16 is explicitly REJECTED (dep-budget violation).");
}

double sample_spacing(std::size_t n, double xmin, double xmax) {
    return n >= 2 ? (xmax - xmin) / static_cast<double>(n - 1) : 1.0;
}

namespace {

std::vector<double> checked_coeff_samples(PyObject* o, std::size_t n) {
    auto v = try_float_vector(o);
    if (!v) py_err_with_kind("GridMismatch", "coefficient array must be numpy.ndarray[float64]");
    if (v->size() != n) {
        py_err_with_kind("GridMismatch",
                         "coefficient array length " + std::to_string(v->size()) + " != n=" + std::to_string(n));
    }
    if (first_non_finite<double>(*v)) py_err_with_kind("NanInf", "coefficient array contains NaN or Inf");
    return std::move(*v);
}

}  // namespace

SharedCoeff extract_coeff_array(PyObject* o, std::size_t n, double xmin, double xmax, SampleEnds ends) {
    return sampled_coeff(checked_coeff_samples(o, n), xmin, sample_spacing(n, xmin, xmax), ends);
}

SharedCoeff extract_reaction_array(PyObject* o, std::size_t n, double xmin, double xmax) {
    return sampled_coeff_within_samples(checked_coeff_samples(o, n), xmin, sample_spacing(n, xmin, xmax));
}

SharedCoeff sampled_coefficient(const std::vector<double>& samples, std::size_t n, double xmin, double xmax,
                                SampleEnds ends) {
    if (samples.size() != n) {
        py_err_with_kind("GridMismatch",
                         "derivative array length " + std::to_string(samples.size()) + " != n=" + std::to_string(n));
    }
    return sampled_coeff(samples, xmin, sample_spacing(n, xmin, xmax), ends);
}

void check_given_samples(const std::vector<double>& samples) {
    if (first_non_finite<double>(samples)) py_err_with_kind("NanInf", "coefficient array contains NaN or Inf");
}

// --- Python callables ---------------------------------------------------------

PyCoeffFn::~PyCoeffFn() {
    if (thread_ending()) {
        // The interpreter is ending this thread: the references are left to it.
        callable_.release();
        first_exception_.release();
        return;
    }
    // The last holder may be a worker thread without the lock.
    PyGILState_STATE st = ensure_gil_state();
    callable_ = Ref();
    first_exception_ = Ref();
    PyGILState_Release(st);
}

double PyCoeffFn::operator()(double x) const {
    return with_callback_lock([&] {
        double value = std::numeric_limits<double>::quiet_NaN();
        Ref arg(PyFloat_FromDouble(x));
        Ref result = arg && callable_ ? Ref(PyObject_CallFunctionObjArgs(callable_.get(), arg.get(), nullptr)) : Ref();
        if (result) {
            const double v = PyFloat_AsDouble(result.get());
            if (!(v == -1.0 && PyErr_Occurred())) value = v;
        }
        if (PyErr_Occurred()) {
            PyObject *type, *val, *tb;
            PyErr_Fetch(&type, &val, &tb);
            PyErr_NormalizeException(&type, &val, &tb);
            if (val && tb) PyException_SetTraceback(val, tb);
            Ref t(type), v(val), b(tb);
            if (!first_exception_ && v) first_exception_ = v;
            SignalStop::stop_current(v.get());
        }
        return value;  // arg and result are released before the lock
    });
}

Ref PyCoeffFn::take_exception() const { return std::exchange(first_exception_, Ref()); }

int PyCoeffFn::visit_refs(visitproc visit, void* arg) const {
    return visit_held(visit, arg, callable_, first_exception_);
}

void PyCoeffFn::clear_refs() const { clear_held(callable_, first_exception_); }

int visit_coeff_refs(const CoeffSource& src, visitproc visit, void* arg) {
    for (const SharedCoeff* f : {&src.sa, &src.sa1, &src.sa2}) {
        if (auto* p = dynamic_cast<const PyCoeffFn*>(f->get())) {
            if (int r = p->visit_refs(visit, arg)) return r;
        }
    }
    return 0;
}

void clear_coeff_refs(const CoeffSource& src) {
    for (const SharedCoeff* f : {&src.sa, &src.sa1, &src.sa2}) {
        if (auto* p = dynamic_cast<const PyCoeffFn*>(f->get())) p->clear_refs();
    }
}

SharedCoeff py_coeff(PyObject* callable) { return std::make_shared<const PyCoeffFn>(Ref::borrowed(callable)); }

Ref take_coeff_exception(const SharedCoeff& f) {
    if (auto* p = dynamic_cast<const PyCoeffFn*>(f.get())) return p->take_exception();
    return {};
}

Ref take_coeff_exception(const CoeffSource& src) {
    Ref first;
    for (const SharedCoeff* f : {&src.sa, &src.sa1, &src.sa2}) {
        Ref e = take_coeff_exception(*f);
        if (e && !first) first = std::move(e);
    }
    return first;
}

}  // namespace quorvane::py
