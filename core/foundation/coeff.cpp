#include "core/foundation/coeff.hpp"

#include <cmath>
#include <cstdint>
#include <utility>

#include "core/foundation/error.hpp"

namespace quorvane {

double coeff_one(double) { return 1.0; }
double coeff_zero(double) { return 0.0; }
double coeff_half(double) { return 0.5; }
float coeff_one_f32(float) { return 1.0f; }
float coeff_zero_f32(float) { return 0.0f; }

namespace {

// A closure of the library's own, fixed in x.
template <class Fn>
SharedCoeff make_fixed_coeff(Fn fn) {
    struct Impl final : CoeffFn {
        Fn f;
        explicit Impl(Fn g) : f(std::move(g)) {}
        double operator()(double x) const override { return f(x); }
        bool fixed() const override { return true; }
    };
    return std::make_shared<const Impl>(std::move(fn));
}

}  // namespace

SharedCoeff constant_coeff(double c) {
    return make_fixed_coeff([c](double) { return c; });
}

SharedCoeff sampled_coeff(std::shared_ptr<const std::vector<double>> samples, double x0, double h) {
    return make_fixed_coeff([s = std::move(samples), x0, h](double x) {
        return catmull_rom_sample(*s, x0, h, x);
    });
}

SharedCoeff sampled_coeff(std::vector<double> samples, double x0, double h) {
    return sampled_coeff(std::make_shared<const std::vector<double>>(std::move(samples)), x0, h);
}

SharedCoeff sampled_coeff(std::vector<double> samples, double x0, double h, SampleEnds ends) {
    auto shared = std::make_shared<const std::vector<double>>(std::move(samples));
    return make_fixed_coeff(
        [s = std::move(shared), x0, h, ends](double x) { return catmull_rom_sample(*s, x0, h, ends, x); });
}

CoefficientEnds coefficient_ends(BoundaryTag tag, std::span<const double> a, double h) {
    CoefficientEnds out{};
    out.a_prime.odd = true;
    const std::size_t n = a.size();
    if (tag == BoundaryTag::Periodic) {
        for (SampleEnds* e : {&out.a, &out.a_prime, &out.a_double_prime}) e->left = e->right = SampleEnd::Periodic;
        return out;
    }
    if (tag != BoundaryTag::Reflect || n < 3) return out;
    // The slope at each wall by the one-sided three-point difference, and
    // the largest curvature of the samples: a mirror whose kink bends a
    // (by 2 a'_wall over about a spacing) no more than a bends inside.
    const std::vector<double> d2 = fd_second_derivative(a, h);
    double curvature = 0.0;
    for (double v : d2) curvature = std::fmax(curvature, std::fabs(v));
    const double reach = h * curvature;
    const double left = (4.0 * a[1] - 3.0 * a[0] - a[2]) * 0.5 / h;
    const double right = (a[n - 3] - 4.0 * a[n - 2] + 3.0 * a[n - 1]) * 0.5 / h;
    const SampleEnd l = std::fabs(left) <= reach ? SampleEnd::Mirror : SampleEnd::Constant;
    const SampleEnd r = std::fabs(right) <= reach ? SampleEnd::Mirror : SampleEnd::Constant;
    for (SampleEnds* e : {&out.a, &out.a_prime, &out.a_double_prime}) {
        e->left = l;
        e->right = r;
    }
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

namespace {

bool periodic(SampleEnds e) { return e.left == SampleEnd::Periodic || e.right == SampleEnd::Periodic; }

// Sample j of f continued by `ends`, for j at most n - 1 beyond either end
// (n >= 3 where an end mirrors). A constant end gives its Catmull-Rom ghost
// 2 f0 - f1 one sample out (the only place the interpolant reads beyond a
// constant end).
double continued_sample(std::span<const double> f, SampleEnds ends, std::int64_t j) {
    const auto n = static_cast<std::int64_t>(f.size());
    const auto at = [&](std::int64_t k) { return f[static_cast<std::size_t>(k)]; };
    if (j >= 0 && j < n) return at(j);
    if (periodic(ends)) return at(((j % n) + n) % n);
    const double sign = ends.odd ? -1.0 : 1.0;
    if (j < 0) return ends.left == SampleEnd::Mirror ? sign * at(-j) : 2.0 * at(0) - at(1);
    return ends.right == SampleEnd::Mirror ? sign * at(2 * (n - 1) - j) : 2.0 * at(n - 1) - at(n - 2);
}

// Whether node i's five-point stencil reaches beyond an end, and only
// beyond continued ones: there the central formula replaces the one-sided.
bool central_reach(SampleEnds ends, std::size_t i, std::size_t n) {
    const bool left = i < 2, right = i + 2 >= n;
    return (left || right) && (!left || ends.left != SampleEnd::Constant) &&
           (!right || ends.right != SampleEnd::Constant);
}

}  // namespace

double catmull_rom_sample(std::span<const double> f, double x0, double h, SampleEnds ends, double x) {
    const std::size_t n = f.size();
    const bool wraps = periodic(ends);
    // A mirror needs three samples (its image of a ghost lies two out).
    if (n < 2 || (!wraps && (n < 3 || (ends.left == SampleEnd::Constant && ends.right == SampleEnd::Constant)))) {
        return catmull_rom_sample(f, x0, h, x);
    }
    double s = (x - x0) / h;
    if (std::isnan(s)) return s;
    const double last = static_cast<double>(n - 1);
    double sign = 1.0;
    const double flip = ends.odd ? -1.0 : 1.0;
    if (wraps) {
        // One period of n samples (fmod is exact); the seam cell [n-1, n)
        // reads the first samples after the last.
        const double period = static_cast<double>(n);
        s = std::isinf(s) ? 0.0 : std::fmod(s, period);
        if (s < 0.0) s += period;
        if (!(s < period)) s = 0.0;  // a tiny negative s rounded up onto the period
    } else if (ends.left == SampleEnd::Mirror && ends.right == SampleEnd::Mirror) {
        // Mirrored at both ends: period 2n - 2, the second half reflected.
        const double period = 2.0 * last;
        s = std::isinf(s) ? 0.0 : std::fmod(s, period);
        if (s < 0.0) s += period;
        if (s > last) {
            s = period - s;
            sign = flip;
        }
    } else if (s < 0.0 && ends.left == SampleEnd::Mirror) {
        s = -s;
        sign = flip;
    } else if (s > last && ends.right == SampleEnd::Mirror) {
        s = 2.0 * last - s;
        sign = flip;
    }
    if (!wraps) {
        // Beyond a constant end (also after a mirror across the other end).
        if (!(s > 0.0)) return sign * f[0];
        if (!(s < last)) return sign * f[n - 1];
    }
    const auto i = static_cast<std::int64_t>(std::floor(s));
    const double t = s - static_cast<double>(i);
    const double p0 = continued_sample(f, ends, i - 1);
    const double p1 = continued_sample(f, ends, i);
    const double p2 = continued_sample(f, ends, i + 1);
    const double p3 = continued_sample(f, ends, i + 2);
    return sign * (0.5 * (t * t * t * (3.0 * p1 - p0 - 3.0 * p2 + p3) +
                          (2.0 * p1 + t * (p2 - p0) + t * t * (4.0 * p2 + (2.0 * p0 - 5.0 * p1) - p3))));
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
