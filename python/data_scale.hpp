// Linear calls served at every scale of their data: the data are scaled by
// powers of two to unit size, the call runs on them and its result is
// scaled back, both exact; a result beyond the double range is refused
// naming the scale of the data that passes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/numeric.hpp"
#include "python/callback.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

// The refusal of a linear call whose result lies beyond the double range
// (run_linear, refuse_beyond), as a docstring's Raises entry says it.
#define QUORVANE_BEYOND_RANGE_DOC                                                                   \
    "    A result beyond the double range is refused (kind NanInf) naming the max|u0| of the same\n"  \
    "    data that keeps it within: the steps are linear, so data of every size whose result is a\n" \
    "    double are served.\n"

// A linear call on finite data that overflowed inside: its result is not
// finite, or a step refused its own non-finite result.
bool overflowed_inside(const Expected<std::vector<double>>& r);

// The power of two below unit size at which a linear call that overflowed
// inside on data of unit size runs once more: max|u| in [2^-960, 2^-959),
// far below the range's top and still 2^62 above its normal bottom, so
// entries under max|u| 2^-62 lose bits only below the steps' own rounding.
inline constexpr int kDeepScaleExtra = 960;
// The exponent e that takes `values` there (values 2^-e).
int retry_exponent(std::span<const double> values);

// The largest |v| of the values (0 for none).
double largest_abs(std::span<const double> values);

// The largest double times top_in / (top_out 2^e) (top_in, top_out > 0 and
// finite): the size to which data of size top_in may be scaled before a
// linear call that takes them to top_out 2^e leaves the range. Formed from
// the mantissas and the exponents apart, so that no partial quotient over-
// or underflows before the whole does.
double largest_scaled_by(double top_in, double top_out, int e = 0);

// The least e in (fails, passing] at which a linear call's data scaled by
// 2^-e reach a finite result (`finite_at(e)`; passing is known to, fails
// not): from `guess` up by galloping, then by bisection, some 2 log2 of the
// span calls at most. Scaling by 2^-e is exact, so every intermediate of
// the call scales with it and the test is monotone in e.
template <class FiniteAt>
int least_passing_exponent(int fails, int passing, int guess, FiniteAt&& finite_at) {
    int e = std::clamp(guess, fails + 1, passing);
    for (int step = 1; e < passing; step *= 2) {
        if (finite_at(e)) {
            passing = e;
            break;
        }
        fails = e;
        e = fails + step;
    }
    while (passing - fails > 1) {
        const int mid = fails + (passing - fails) / 2;
        (finite_at(mid) ? passing : fails) = mid;
    }
    return passing;
}

// "NanInf": the refusal of a linear flow whose result itself lies beyond the
// double range (its steps, run on the values scaled down to max|u| =
// top_in, end at max|u| = top_out); names a max|u0| of the same data that
// stays within: `passes` where the caller found one (steps that grow data
// more inside than at their end), else the largest the result allows.
[[noreturn]] void raise_result_overflow(const char* cls, std::span<const double> values, double top_in,
                                        double top_out, double passes = 0.0);

// How a linear call's result relates to the double range: top_out 0 where
// it lies within it; else, for the column of data that leaves it, its max|u|
// before (top_in) and after (top_out) the call as the call ran, and the
// factor of the data that keeps every column within (factor < 1).
// inside_at != 0: an intermediate overflowed although the data were scaled
// down by 2^-inside_at (then the call's first error stands).
struct BeyondRange {
    double top_in = 0.0;
    double top_out = 0.0;
    double factor = 0.0;
    int inside_at = 0;
};

// "NanInf" naming the scale of `data` that keeps the result within the
// double range, where `beyond` says the result leaves it; returns otherwise.
void refuse_beyond(const char* cls, std::span<const double> data, const BeyondRange& beyond);

// The data of a linear call cut into columns of `len` values each (one
// column where len is 0), each column with its own power of two e_c that
// takes its max|v| into [1, 2). Scaling by a power of two is exact for every
// value above 2^-1022 max|v|, so a column run at that scale and scaled back
// has the bits of the column run as given wherever no intermediate of the
// latter over- or underflows, and its own bits where one does.
class ColumnScales {
public:
    ColumnScales(std::span<const double> data, std::size_t len);
    // The data with column c times 2^-(e_c + extra).
    std::vector<double> down(std::span<const double> data, int extra) const;
    // A result of as many columns (of any one length) back to the data's
    // scale in place: column c times 2^(e_c + extra). A column that then
    // leaves the double range is noted in `beyond`.
    void back(std::vector<double>& out, int extra, BeyondRange& beyond) const;
    // e_c (of the one column, by default).
    int exponent(std::size_t c = 0) const { return e_[c]; }

private:
    std::vector<int> e_;
    std::vector<double> tops_;  // max|v| 2^-e_c of each column, in [1, 2) (0 for a column of zeros)
};

// `run(v)` (or `run(v, e)`, which also learns the power of two: v is the
// data times 2^-e, for what it scales alike, such as an obstacle or a range
// of the values), a call linear in the values v, on `values`, column by
// column as ColumnScales cuts them (`column`, 0 for one column). It runs on
// the data scaled to unit size and its result is scaled back, both exact:
// normal data keep the bits of the plain call, data near either end of the
// range keep the bits their scale would have within it (products with the
// operator neither overflow near the top nor underflow near the bottom), and
// u0 -> 2^k u0 gives 2^k times the result bit for bit. Where an intermediate
// overflowed even at unit size (powers of a stencil, a growth of the result
// beyond the range) and `deep` allows it (no Python callable is called
// again), the call runs once more on the data 2^-960 as small. A result
// beyond the range only when scaled back is noted in `beyond` (and returned,
// not finite); non-finite data are passed as given.
template <class Run>
Expected<std::vector<double>> run_linear(std::span<const double> values, BeyondRange& beyond, Run&& run,
                                         std::size_t column = 0, bool deep = true) {
    auto call = [&](std::vector<double> v, int e) -> Expected<std::vector<double>> {
        if constexpr (std::is_invocable_v<Run&, std::vector<double>, int>) {
            return run(std::move(v), e);
        } else {
            return run(std::move(v));
        }
    };
    if (!all_finite(values)) return call(std::vector<double>(values.begin(), values.end()), 0);
    const ColumnScales scales(values, column);
    Expected<std::vector<double>> out = call(scales.down(values, 0), scales.exponent());
    if (!overflowed_inside(out)) {
        if (out) scales.back(*out, 0, beyond);
        return out;
    }
    if (!deep) return out;
    Expected<std::vector<double>> again =
        call(scales.down(values, kDeepScaleExtra), scales.exponent() + kDeepScaleExtra);
    if (overflowed_inside(again)) {
        beyond.inside_at = scales.exponent() + kDeepScaleExtra;
        return out;
    }
    if (!again) return out;
    scales.back(*again, kDeepScaleExtra, beyond);
    return again;
}

// A call linear in `data` (run_linear, as for `column` and `deep`) without
// the interpreter lock: its finite result, or the refusal of one beyond the
// double range naming the scale that passes (`cls` names the class), or its
// error.
template <class Run>
std::vector<double> evolve_linear(const char* cls, std::span<const double> data, Run&& run, std::size_t column = 0,
                                  bool deep = true) {
    BeyondRange beyond;
    auto r = run_evolve([&] { return run_linear(data, beyond, run, column, deep); });
    refuse_beyond(cls, data, beyond);
    return unwrap(std::move(r));
}

// The same for a call whose providers call Python: run once (no retry
// calls them again), a callable's exception raised as itself.
template <class Run>
std::vector<double> evolve_linear_with_callbacks(CallbackErrors& errors, const char* cls,
                                                 std::span<const double> data, Run&& run, std::size_t column = 0) {
    BeyondRange beyond;
    auto r = run_with_callbacks(errors, [&] {
        return run_evolve([&] { return run_linear(data, beyond, run, column, false); });
    });
    refuse_beyond(cls, data, beyond);
    return unwrap(std::move(r));
}

}  // namespace quorvane::py
