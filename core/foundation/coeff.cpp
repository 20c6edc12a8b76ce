#include "core/foundation/coeff.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "core/foundation/error.hpp"

namespace quorvane {

double coeff_one(double) { return 1.0; }
double coeff_zero(double) { return 0.0; }
double coeff_half(double) { return 0.5; }
float coeff_one_f32(float) { return 1.0f; }
float coeff_zero_f32(float) { return 0.0f; }

namespace {

// The Catmull-Rom read of shared samples, continued by `ends`.
struct SampledCoeff final : CoeffFn {
    std::shared_ptr<const std::vector<double>> samples;
    double x0, h;
    SampleEnds ends;
    // [least, greatest] sample where the read is held to them.
    std::optional<std::pair<double, double>> held;
    SampledCoeff(std::shared_ptr<const std::vector<double>> s, double origin, double spacing, SampleEnds e,
                 bool within = false)
        : samples(std::move(s)), x0(origin), h(spacing), ends(e) {
        if (within && !samples->empty()) {
            const auto [lo, hi] = std::minmax_element(samples->begin(), samples->end());
            held = std::pair{*lo, *hi};
        }
    }
    double operator()(double x) const override {
        const double v = catmull_rom_sample(*samples, x0, h, ends, x);
        // NaN passes (a NaN x or sample).
        return held ? (v < held->first ? held->first : v > held->second ? held->second : v) : v;
    }
    bool fixed() const override { return true; }
    std::optional<std::pair<double, double>> hull(double a, double b) const override {
        if (ends.kind != SampleEnd::Constant && samples->size() >= 2) return std::nullopt;
        std::optional<std::pair<double, double>> r = catmull_rom_hull(*samples, x0, h, a, b);
        if (r && held) {
            r->first = std::clamp(r->first, held->first, held->second);
            r->second = std::clamp(r->second, held->first, held->second);
        }
        return r;
    }
};

}  // namespace

SharedCoeff constant_coeff(double c) {
    struct Constant final : CoeffFn {
        double value;
        explicit Constant(double v) : value(v) {}
        double operator()(double) const override { return value; }
        bool fixed() const override { return true; }
        std::optional<double> constant() const override { return value; }
        std::optional<std::pair<double, double>> hull(double, double) const override {
            return std::pair{value, value};
        }
    };
    return std::make_shared<const Constant>(c);
}

SharedCoeff sampled_coeff(std::shared_ptr<const std::vector<double>> samples, double x0, double h) {
    return std::make_shared<const SampledCoeff>(std::move(samples), x0, h, SampleEnds{});
}

SharedCoeff sampled_coeff(std::vector<double> samples, double x0, double h) {
    return sampled_coeff(std::make_shared<const std::vector<double>>(std::move(samples)), x0, h);
}

SharedCoeff sampled_coeff_within_samples(std::shared_ptr<const std::vector<double>> samples, double x0, double h) {
    return std::make_shared<const SampledCoeff>(std::move(samples), x0, h, SampleEnds{}, true);
}

SharedCoeff sampled_coeff_within_samples(std::vector<double> samples, double x0, double h) {
    return sampled_coeff_within_samples(std::make_shared<const std::vector<double>>(std::move(samples)), x0, h);
}

SharedCoeff sampled_coeff(std::vector<double> samples, double x0, double h, SampleEnds ends) {
    return std::make_shared<const SampledCoeff>(std::make_shared<const std::vector<double>>(std::move(samples)), x0,
                                                h, ends);
}

CoefficientEnds coefficient_ends(BoundaryTag tag, std::span<const double> a, double h,
                                 std::span<const double> a_prime) {
    CoefficientEnds out{};
    out.a_prime.odd = true;
    const std::size_t n = a.size();
    const SampleEnd kind = tag == BoundaryTag::Periodic                ? SampleEnd::Periodic
                           : tag == BoundaryTag::Reflect && n >= 3 ? SampleEnd::Mirror
                                                                     : SampleEnd::Constant;
    for (SampleEnds* e : {&out.a, &out.a_prime, &out.a_double_prime}) e->kind = kind;
    if (kind != SampleEnd::Mirror) return out;
    const bool given = a_prime.size() == n;
    const double left = given ? a_prime[0] : (4.0 * a[1] - 3.0 * a[0] - a[2]) * 0.5 / h;
    const double right = given ? a_prime[n - 1] : (a[n - 3] - 4.0 * a[n - 2] + 3.0 * a[n - 1]) * 0.5 / h;
    // q(s) = left h s + (right - left) h s^2 / (2 last) has the walls'
    // slopes; a - q has none, so its mirror image is smooth, and q plus that
    // image reflects a about each wall with the wall's slope kept. a' - q'
    // is odd about both walls, a'' - q'' = a'' - const even.
    const auto last = static_cast<double>(n - 1);
    out.a.p = {0.0, left * h, (right - left) * h / (2.0 * last)};
    out.a.nonnegative = true;
    out.a_prime.p = {left, (right - left) / last, 0.0};
    return out;
}

bool CoeffSource::fixed() const {
    if (tag != Tag::Shared) return true;
    return sa && sa1 && sa2 && sa->fixed() && sa1->fixed() && sa2->fixed();
}

CoeffSource CoeffSource::plain(PlainFn a, PlainFn a1, PlainFn a2) {
    CoeffSource s;
    s.tag = Tag::Plain;
    s.pa = a;
    s.pa1 = a1;
    s.pa2 = a2;
    return s;
}

CoeffSource CoeffSource::shared(SharedCoeff a, SharedCoeff a1, SharedCoeff a2) {
    CoeffSource s;
    s.tag = Tag::Shared;
    s.sa = std::move(a);
    s.sa1 = std::move(a1);
    s.sa2 = std::move(a2);
    return s;
}

CoeffSource CoeffSource::constant(double c) {
    CoeffSource s;
    s.tag = Tag::Constant;
    s.c = c;
    return s;
}

std::optional<double> CoeffSource::constant_value() const {
    if (tag == Tag::Constant) return c;
    if (tag != Tag::Plain || pa1 != coeff_zero || pa2 != coeff_zero) return std::nullopt;
    if (pa == coeff_one) return 1.0;
    if (pa == coeff_half) return 0.5;
    return std::nullopt;
}

double catmull_rom_sample(std::span<const double> f, double x0, double h, double x) {
    const std::size_t n = f.size();
    if (n == 0) return 0.0;
    if (n == 1) return f[0];
    const double s = (x - x0) / h;
    if (s <= 0.0) return f[0];
    if (s >= static_cast<double>(n - 1)) return f[n - 1];
    if (std::isnan(s)) return s;
    std::size_t i = static_cast<std::size_t>(std::floor(s));
    if (i > n - 2) i = n - 2;
    const double t = s - static_cast<double>(i);
    const double p1 = f[i];
    const double p2 = f[i + 1];
    const double p0 = i > 0 ? f[i - 1] : 2.0 * p1 - p2;
    const double p3 = i + 2 < n ? f[i + 2] : 2.0 * p2 - p1;
    return 0.5 * (t * t * t * (3.0 * p1 - p0 - 3.0 * p2 + p3) +
                  (2.0 * p1 + t * (p2 - p0) + t * t * (4.0 * p2 + (2.0 * p0 - 5.0 * p1) - p3)));
}

std::optional<std::pair<double, double>> catmull_rom_hull(std::span<const double> f, double x0, double h, double a,
                                                         double b) {
    const std::size_t n = f.size();
    if (n < 2) return n == 1 ? std::pair{f[0], f[0]} : std::pair{0.0, 0.0};
    const double sa = (a - x0) / h, sb = (b - x0) / h;
    if (!(std::isfinite(sa) && std::isfinite(sb) && sa <= sb)) return std::nullopt;
    const auto last = static_cast<double>(n - 1);
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    const auto take = [&](double v) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    };
    // Beyond the ends the read holds the end samples.
    if (sa <= 0.0) take(f[0]);
    if (sb >= last) take(f[n - 1]);
    if (sb >= 0.0 && sa <= last) {
        const double first = std::clamp(std::floor(sa), 0.0, last - 1.0);
        const double final = std::clamp(std::floor(sb), 0.0, last - 1.0);
        if (final - first > 3.0) return std::nullopt;
        for (auto i = static_cast<std::size_t>(first); i <= static_cast<std::size_t>(final); ++i) {
            // The cubic of [i, i + 1] in Bernstein form: its end values and
            // the points a third of its end slopes (p2 - p0) / 2 and
            // (p3 - p1) / 2 inward.
            const double p1 = f[i], p2 = f[i + 1];
            const double p0 = i > 0 ? f[i - 1] : 2.0 * p1 - p2;
            const double p3 = i + 2 < n ? f[i + 2] : 2.0 * p2 - p1;
            take(p1);
            take(p1 + (p2 - p0) / 6.0);
            take(p2 - (p3 - p1) / 6.0);
            take(p2);
        }
    }
    return std::pair{lo, hi};
}

namespace {

double polynomial(const std::array<double, 3>& p, double s) { return p[0] + s * (p[1] + s * p[2]); }

// The p a mirrored continuation adds at index s: p(s) within one grid
// length of the samples, held at its value there beyond (an image of f - p
// that far out lies past the other wall, where p grows without bound).
double added_polynomial(const SampleEnds& ends, double s, double last) {
    return polynomial(ends.p, std::clamp(s, -last, 2.0 * last));
}

// Sample j of the mirror image of f - p (any j; n >= 3): the even or odd
// extension of period 2n - 2.
double mirror_image(std::span<const double> f, const SampleEnds& ends, std::int64_t j) {
    const auto last = static_cast<std::int64_t>(f.size()) - 1;
    const std::int64_t period = 2 * last;
    std::int64_t k = ((j % period) + period) % period;
    double sign = 1.0;
    if (k > last) {
        k = period - k;
        sign = ends.odd ? -1.0 : 1.0;
    }
    const double v = f[static_cast<std::size_t>(k)];
    return sign * (v - polynomial(ends.p, static_cast<double>(k)));
}

// Sample j of f continued by `ends`. A constant end gives its Catmull-Rom
// ghost 2 f0 - f1 one sample out (the only place the interpolant reads
// beyond a constant end).
double continued_sample(std::span<const double> f, const SampleEnds& ends, std::int64_t j) {
    const auto n = static_cast<std::int64_t>(f.size());
    const auto at = [&](std::int64_t k) { return f[static_cast<std::size_t>(k)]; };
    if (j >= 0 && j < n) return at(j);
    switch (ends.kind) {
        case SampleEnd::Periodic: return at(((j % n) + n) % n);
        case SampleEnd::Mirror:
            return added_polynomial(ends, static_cast<double>(j), static_cast<double>(n - 1)) +
                   mirror_image(f, ends, j);
        case SampleEnd::Constant: break;
    }
    return j < 0 ? 2.0 * at(0) - at(1) : 2.0 * at(n - 1) - at(n - 2);
}

// The Catmull-Rom interpolant at s of samples sample(j).
template <class Sample>
double catmull_rom_at(double s, const Sample& sample) {
    const auto i = static_cast<std::int64_t>(std::floor(s));
    const double t = s - static_cast<double>(i);
    const double p0 = sample(i - 1), p1 = sample(i), p2 = sample(i + 1), p3 = sample(i + 2);
    return 0.5 * (t * t * t * (3.0 * p1 - p0 - 3.0 * p2 + p3) +
                  (2.0 * p1 + t * (p2 - p0) + t * t * (4.0 * p2 + (2.0 * p0 - 5.0 * p1) - p3)));
}

// Whether node i's five-point stencil reaches beyond a continued end:
// there the central formula replaces the one-sided.
bool central_reach(const SampleEnds& ends, std::size_t i, std::size_t n) {
    return ends.kind != SampleEnd::Constant && (i < 2 || i + 2 >= n);
}

}  // namespace

double catmull_rom_sample(std::span<const double> f, double x0, double h, SampleEnds ends, double x) {
    const std::size_t n = f.size();
    // A mirror needs three samples (its image of a ghost lies two out).
    if (n < 2 || ends.kind == SampleEnd::Constant || (ends.kind == SampleEnd::Mirror && n < 3)) {
        return catmull_rom_sample(f, x0, h, x);
    }
    double s = (x - x0) / h;
    if (std::isnan(s)) return s;
    const auto continued = [&](std::int64_t j) { return continued_sample(f, ends, j); };
    if (ends.kind == SampleEnd::Periodic) {
        // One period of n samples (fmod is exact); the seam cell [n-1, n)
        // reads the first samples after the last.
        const auto period = static_cast<double>(n);
        s = std::isinf(s) ? 0.0 : std::fmod(s, period);
        if (s < 0.0) s += period;
        if (!(s < period)) s = 0.0;  // a tiny negative s rounded up onto the period
        return catmull_rom_at(s, continued);
    }
    const auto last = static_cast<double>(n - 1);
    if (s >= 0.0 && s <= last) return catmull_rom_at(s, continued);
    // Beyond a wall: p plus the image of f - p, whose period 2n - 2 folds s
    // into [0, last] (the second half reflected); a coefficient held at zero
    // where that falls below.
    const double period = 2.0 * last;
    double r = std::isinf(s) ? 0.0 : std::fmod(s, period);
    if (r < 0.0) r += period;
    double sign = 1.0;
    if (r > last) {
        r = period - r;
        sign = ends.odd ? -1.0 : 1.0;
    }
    const double v = added_polynomial(ends, s, last) +
                     sign * catmull_rom_at(r, [&](std::int64_t j) { return mirror_image(f, ends, j); });
    return ends.nonnegative && v < 0.0 ? 0.0 : v;
}

std::vector<double> fd_first_derivative(std::span<const double> f, double h, SampleEnds ends) {
    std::vector<double> d = fd_first_derivative(f, h);
    const std::size_t n = f.size();
    const double r = 1.0 / h;
    const auto at = [&](std::size_t i, std::int64_t k) {
        return continued_sample(f, ends, static_cast<std::int64_t>(i) + k);
    };
    for (std::size_t i = 0; i < n; ++i) {
        if (central_reach(ends, i, n)) d[i] = r * (at(i, -2) + (8.0 * at(i, 1) - at(i, 2) - 8.0 * at(i, -1))) / 12.0;
    }
    return d;
}

std::vector<double> fd_second_derivative(std::span<const double> f, double h, SampleEnds ends) {
    std::vector<double> d = fd_second_derivative(f, h);
    const std::size_t n = f.size();
    const double r = 1.0 / (h * h);
    const auto at = [&](std::size_t i, std::int64_t k) {
        return continued_sample(f, ends, static_cast<std::int64_t>(i) + k);
    };
    for (std::size_t i = 0; i < n; ++i) {
        if (central_reach(ends, i, n)) {
            d[i] = r * ((16.0 * at(i, 1) - at(i, 2) - 30.0 * at(i, 0) + 16.0 * at(i, -1)) - at(i, -2)) / 12.0;
        }
    }
    return d;
}

std::vector<double> fd_first_derivative(std::span<const double> f, double h) {
    const std::size_t n = f.size();
    std::vector<double> d(n, 0.0);
    if (n == 0) return d;
    if (n < 3) internal_fault("fd_first_derivative: needs at least 3 samples");
    const double r = 1.0 / h;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 0) {
            d[i] = r * (4.0 * f[1] - 3.0 * f[0] - f[2]) * 0.5;
        } else if (i == 1) {
            d[i] = r * (f[2] - f[0]) * 0.5;
        } else if (i == n - 1) {
            d[i] = r * (f[n - 3] - 4.0 * f[n - 2] + 3.0 * f[n - 1]) * 0.5;
        } else if (i == n - 2) {
            d[i] = r * (f[n - 1] - f[n - 3]) * 0.5;
        } else {
            d[i] = r * (f[i - 2] + (8.0 * f[i + 1] - f[i + 2] - 8.0 * f[i - 1])) / 12.0;
        }
    }
    return d;
}

std::vector<double> fd_second_derivative(std::span<const double> f, double h) {
    const std::size_t n = f.size();
    std::vector<double> d(n, 0.0);
    if (n == 0) return d;
    if (n < 3) internal_fault("fd_second_derivative: needs at least 3 samples");
    const double r = 1.0 / (h * h);
    for (std::size_t i = 0; i < n; ++i) {
        if (i <= 1) {
            d[i] = r * (f[0] - 2.0 * f[1] + f[2]);
        } else if (i >= n - 2) {
            d[i] = r * (f[n - 3] - 2.0 * f[n - 2] + f[n - 1]);
        } else {
            d[i] = r * ((16.0 * f[i + 1] - f[i + 2] - 30.0 * f[i] + 16.0 * f[i - 1]) - f[i - 2]) / 12.0;
        }
    }
    return d;
}

}  // namespace quorvane
