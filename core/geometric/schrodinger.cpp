#include "core/geometric/schrodinger.hpp"

#include <cmath>

#include "core/foundation/stop.hpp"

namespace quorvane {

Expected<SchrodingerChernoff> SchrodingerChernoff::make(const Grid1D<double>& grid,
                                                        const std::function<double(double)>& potential) {
    const double dx = grid.dx();
    std::vector<double> v(grid.n);
    for (std::size_t i = 0; i < grid.n; ++i) {
        v[i] = potential(grid.xmin + static_cast<double>(i) * dx);
        if (!std::isfinite(v[i])) {
            return domain_error("SchrodingerChernoff: V(x_i) must be finite at all grid nodes", v[i]);
        }
    }
    return SchrodingerChernoff(grid, std::move(v));
}

SchrodingerChernoff SchrodingerChernoff::free_particle(const Grid1D<double>& grid) {
    return SchrodingerChernoff(grid, std::vector<double>(grid.n, 0.0));
}

SchrodingerState SchrodingerChernoff::apply(const SchrodingerState& state, double tau) const {
    if (work_taken_) internal_fault("SchrodingerChernoff::apply: work area already in use");
    work_taken_ = true;
    struct Release {
        bool& flag;
        ~Release() { flag = false; }
    } release{work_taken_};
    const std::size_t n = v_.size();
    if (state.re.values.size() != n || state.im.values.size() != n) {
        internal_fault("SchrodingerChernoff::apply: state length differs from the grid");
    }
    const std::vector<double>& re = state.re.values;
    const std::vector<double>& im = state.im.values;
    std::vector<double>& c = work_.cos_theta;
    std::vector<double>& s = work_.sin_theta;
    c.resize(n);
    s.resize(n);
    work_.a.resize(n);
    work_.b.resize(n);
    // psi_i * e^{-i theta_i}, theta_i = (tau/2) V_i.
    for (std::size_t i = 0; i < n; ++i) {
        const double theta = (tau * 0.5) * v_[i];
        c[i] = std::cos(theta);
        s[i] = std::sin(theta);
        work_.a[i] = re[i] * c[i] + im[i] * s[i];
        work_.b[i] = im[i] * c[i] - re[i] * s[i];
    }
    const double dx = (grid_.xmax - grid_.xmin) / static_cast<double>(n - 1);
    const double r = -(1.0 * (tau * 0.5)) / (dx * dx);
    schrodinger_kinetic_step(n, work_, r);
    SchrodingerState out{GridFn<double>{state.re.grid, std::vector<double>(n)},
                         GridFn<double>{state.im.grid, std::vector<double>(n)}};
    for (std::size_t i = 0; i < n; ++i) {
        out.re.values[i] = work_.a[i] * c[i] + work_.b[i] * s[i];
        out.im.values[i] = work_.b[i] * c[i] - work_.a[i] * s[i];
    }
    return out;
}

double schrodinger_max_abs_tau(const Grid1D<double>& grid) {
    const double dx = grid.dx();
    return 2.0 * kSchrodingerMaxKineticRatio * (dx * dx);
}

Expected<SchrodingerState> schrodinger_evolve(const SchrodingerChernoff& kernel, const Grid1D<double>& grid,
                                              std::vector<double> re, std::vector<double> im, double t,
                                              std::size_t n_steps) {
    auto fre = GridFn<double>::make(grid, std::move(re));
    if (!fre) return fail(fre.error());
    auto fim = GridFn<double>::make(grid, std::move(im));
    if (!fim) return fail(fim.error());
    SchrodingerState state{std::move(*fre), std::move(*fim)};
    const double tau = t / static_cast<double>(n_steps);
    for (std::size_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        state = kernel.apply(state, tau);
    }
    return state;
}

}  // namespace quorvane
