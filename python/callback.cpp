#include "python/callback.hpp"

namespace quorvane::py {

CoreError CallbackErrors::keep_pending() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return CoreError::callback_failed();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Ref t(type), v(value), b(tb);
    if (!type_) {
        type_ = std::move(t);
        value_ = std::move(v);
        traceback_ = std::move(b);
    }
    return CoreError::callback_failed();
}

CoreError CallbackErrors::keep(const BindError& e) {
    e.restore();
    return keep_pending();
}

void CallbackErrors::reraise() {
    if (!type_) internal_fault("a callback failed without an exception");
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    throw_python_error();
}

}  // namespace quorvane::py
