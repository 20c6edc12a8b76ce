#include "core/foundation/csr_transpose.hpp"

namespace quorvane {

template <class F>
CsrRows<F> csr_transpose(std::uint64_t n, const std::vector<std::uint64_t>& ptr, const std::vector<std::uint32_t>& col,
                         const std::vector<F>& val) {
    CsrRows<F> t{std::vector<std::uint64_t>(n + 1, 0), std::vector<std::uint32_t>(col.size()),
                 std::vector<F>(val.size())};
    for (const std::uint32_t j : col) ++t.ptr[j + 1];
    for (std::uint64_t i = 0; i < n; ++i) t.ptr[i + 1] += t.ptr[i];
    std::vector<std::uint64_t> fill(t.ptr.begin(), t.ptr.end() - 1);
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t k = ptr[i]; k < ptr[i + 1]; ++k) {
            const std::uint64_t at = fill[col[k]]++;
            t.col[at] = static_cast<std::uint32_t>(i);
            t.val[at] = val[k];
        }
    }
    return t;
}

template CsrRows<double> csr_transpose<double>(std::uint64_t, const std::vector<std::uint64_t>&,
                                               const std::vector<std::uint32_t>&, const std::vector<double>&);
template CsrRows<float> csr_transpose<float>(std::uint64_t, const std::vector<std::uint64_t>&,
                                             const std::vector<std::uint32_t>&, const std::vector<float>&);

}  // namespace quorvane
