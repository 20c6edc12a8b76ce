// The full tensor of a train, for comparisons in the tensor-train tests.
#pragma once

#include <cstddef>
#include <vector>

#include "core/tensor_train/tt_core.hpp"

namespace quorvane {

// Row-major over (i_1, ..., i_d), the last index fastest.
inline std::vector<double> full_tensor(const std::vector<TtCore>& cores) {
    std::vector<double> cur{1.0};  // (prefix index, rank) matrix
    std::size_t rows = 1;
    for (const TtCore& c : cores) {
        std::vector<double> next(rows * c.n * c.r_right, 0.0);
        for (std::size_t p = 0; p < rows; ++p)
            for (std::size_t a = 0; a < c.r_left; ++a)
                for (std::size_t i = 0; i < c.n; ++i)
                    for (std::size_t b = 0; b < c.r_right; ++b)
                        next[(p * c.n + i) * c.r_right + b] += cur[p * c.r_left + a] * c.at(a, i, b);
        cur = std::move(next);
        rows *= c.n;
    }
    return cur;
}

inline double max_abs_diff(const std::vector<double>& x, const std::vector<double>& y) {
    double m = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) m = std::max(m, std::abs(x[k] - y[k]));
    return m;
}

}  // namespace quorvane
