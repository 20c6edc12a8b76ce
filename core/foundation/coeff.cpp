#include "core/foundation/coeff.hpp"

#include <cmath>
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
