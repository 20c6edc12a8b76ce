#include "python/sensitivity/edge_params.hpp"

#include <string>

#include "python/array.hpp"
#include "python/error.hpp"

namespace quorvane::py {

std::vector<EdgePair> parse_edge_params(PyObject* params, const Graph<double>& graph) {
    if (params != nullptr && PyUnicode_Check(params)) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(params, &len);
        if (s == nullptr) PyErr_Clear();
        if (s == nullptr || std::string(s, static_cast<std::size_t>(len)) != "all_edges") {
            py_err_with_kind("OutOfDomain", "params string must be \"all_edges\"");
        }
        return all_edge_pairs(graph);
    }
    return edge_pair_list(params, "params must be list[(int,int)] or \"all_edges\"");
}

std::vector<EdgePair> edge_pair_list(PyObject* params, const char* message) {
    try {
        return index_pairs_arg(params, "params");
    } catch (const BindError&) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        py_err_with_kind("OutOfDomain", message);
    }
}

}  // namespace quorvane::py
