#include "python/sensitivity/edge_params.hpp"

#include <string>

#include "python/error.hpp"

namespace quorvane::py {

namespace {

std::optional<std::uint64_t> try_index(PyObject* o) {
    Ref idx(PyNumber_Index(o));
    if (!idx) {
        PyErr_Clear();
        return std::nullopt;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(v);
}

}  // namespace

std::optional<std::vector<EdgePair>> try_index_pairs(PyObject* o) {
    if (o == nullptr || PyUnicode_Check(o) || !PySequence_Check(o)) return std::nullopt;
    Ref it(PyObject_GetIter(o));
    if (!it) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::vector<EdgePair> pairs;
    while (Ref item{PyIter_Next(it.get())}) {
        if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 2) return std::nullopt;
        const std::optional<std::uint64_t> i = try_index(PyTuple_GetItem(item.get(), 0));
        if (!i) return std::nullopt;
        const std::optional<std::uint64_t> j = try_index(PyTuple_GetItem(item.get(), 1));
        if (!j) return std::nullopt;
        pairs.emplace_back(*i, *j);
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return pairs;
}

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
    std::optional<std::vector<EdgePair>> pairs = try_index_pairs(params);
    if (!pairs) py_err_with_kind("OutOfDomain", "params must be list[(int,int)] or \"all_edges\"");
    return std::move(*pairs);
}

}  // namespace quorvane::py
