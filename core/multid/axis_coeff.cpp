#include "core/multid/axis_coeff.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/numeric.hpp"

namespace quorvane {
namespace {

class LinearSampled final : public CoeffFn {
public:
    LinearSampled(std::shared_ptr<const std::vector<double>> v, double lo, double hi)
        : v_(std::move(v)), lo_(lo), hi_(hi) {}
    double operator()(double x) const override {
        const std::vector<double>& v = *v_;
        const std::size_t n = v.size();
        if (n == 1) return v[0];
        double s = (x - lo_) / (hi_ - lo_) * static_cast<double>(n - 1);
        s = std::clamp(s, 0.0, static_cast<double>(n - 1));
        const std::size_t i = std::min(n - 2, saturating_cast<std::size_t>(std::floor(s)));
        const double t = s - static_cast<double>(i);
        return (1.0 - t) * v[i] + t * v[i + 1];
    }
    bool fixed() const override { return true; }

private:
    std::shared_ptr<const std::vector<double>> v_;
    double lo_, hi_;
};

class Bilinear final : public CoeffFn2D {
public:
    Bilinear(std::shared_ptr<const std::vector<double>> v, double x0, double dx, std::size_t nx, double y0, double dy,
             std::size_t ny)
        : v_(std::move(v)), x0_(x0), dx_(dx), y0_(y0), dy_(dy), nx_(nx), ny_(ny) {}
    double operator()(double x, double y) const override {
        const std::vector<double>& v = *v_;
        if (nx_ == 0 || ny_ == 0) return 0.0;
        if (nx_ == 1 && ny_ == 1) return v[0];
        const double sx = clamp_lo_hi((x - x0_) / dx_, static_cast<double>(nx_ - 1));
        const double sy = clamp_lo_hi((y - y0_) / dy_, static_cast<double>(ny_ - 1));
        const std::size_t i = std::min(nx_ - 1, saturating_cast<std::size_t>(std::floor(sx)));
        const std::size_t j = std::min(ny_ - 1, saturating_cast<std::size_t>(std::floor(sy)));
        const std::size_t i1 = std::min(nx_ - 1, i + 1), j1 = std::min(ny_ - 1, j + 1);
        const double tx = sx - static_cast<double>(i), ty = sy - static_cast<double>(j);
        return (1.0 - ty) * ((1.0 - tx) * v[j * nx_ + i] + tx * v[j * nx_ + i1]) +
               ty * ((1.0 - tx) * v[j1 * nx_ + i] + tx * v[j1 * nx_ + i1]);
    }

private:
    // Lower bound first, then upper (a NaN stays NaN and indexes node 0).
    static double clamp_lo_hi(double s, double hi) {
        if (s < 0.0) s = 0.0;
        if (s > hi) s = hi;
        return s;
    }
    std::shared_ptr<const std::vector<double>> v_;
    double x0_, dx_, y0_, dy_;
    std::size_t nx_, ny_;
};

class Constant2D final : public CoeffFn2D {
public:
    explicit Constant2D(double c) : c_(c) {}
    double operator()(double, double) const override { return c_; }

private:
    double c_;
};

}  // namespace

SharedCoeff linear_sampled_coeff(std::shared_ptr<const std::vector<double>> samples, double lo, double hi) {
    return std::make_shared<const LinearSampled>(std::move(samples), lo, hi);
}

DiffusionChernoff build_axis_diff(std::shared_ptr<const std::vector<double>> samples, const Grid1D<double>& axis) {
    double bound = 0.0;
    for (double v : *samples) bound = max_ignore_nan(bound, v);
    SharedCoeff a = linear_sampled_coeff(std::move(samples), axis.xmin, axis.xmax);
    return DiffusionChernoff{CoeffSource::shared(std::move(a), constant_coeff(0.0), constant_coeff(0.0)), axis, bound};
}

DiffusionChernoff build_axis_diff(std::span<const double> samples, const Grid1D<double>& axis) {
    return build_axis_diff(std::make_shared<const std::vector<double>>(samples.begin(), samples.end()), axis);
}

SharedCoeff2D bilinear_coeff_2d(std::shared_ptr<const std::vector<double>> samples, double x0, double dx,
                                std::size_t nx, double y0, double dy, std::size_t ny) {
    return std::make_shared<const Bilinear>(std::move(samples), x0, dx, nx, y0, dy, ny);
}

SharedCoeff2D constant_coeff_2d(double c) { return std::make_shared<const Constant2D>(c); }

}  // namespace quorvane
