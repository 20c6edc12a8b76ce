"""The Heisenberg heat-kernel oracle, HypoellipticChernoffEngel against the
semigroup of its chain field, HypoellipticChernoffKolmogorov against the
closed-form Gaussian, and their errors."""

import math
import warnings

import numpy as np
import pytest
import scipy.integrate

from conftest import N_GE4, N_STEPS, T_NONNEG, U0_TYPE, XMIN_LT, check_evolve_contract, error_text, raises_exact
from quorvane import (HypoellipticChernoffEngel, HypoellipticChernoffHeisenberg, HypoellipticChernoffKolmogorov,
                      heisenberg_heat_kernel as p)

# --------------------------------------------------------------------------
# Heisenberg oracle: the density of exp(h (X1^2 + X2^2)/2)
# --------------------------------------------------------------------------


def test_oracle_is_a_probability_density_with_value_one_quarter_at_the_origin():
    # Radial symmetry and evenness in tc: mass = 2 int 2 pi r p(1, r, 0, tc)
    # over r <= 8, 0 <= tc <= 12, which hold all but ~1e-12 of it; the kernel
    # widens in tc as r grows, hence 120 points there.
    r, wr = np.polynomial.legendre.leggauss(40)
    tc, wt = np.polynomial.legendre.leggauss(120)
    r, wr = 4.0 * (r + 1.0), 4.0 * wr
    tc, wt = 6.0 * (tc + 1.0), 6.0 * wt
    mass = 2 * sum(wr[i] * wt[j] * 2 * math.pi * r[i] * p(1.0, r[i], 0.0, tc[j])
                   for i in range(40) for j in range(120))
    assert mass == pytest.approx(1.0, abs=1e-6)
    assert p(1.0, 0.0, 0.0, 0.0) == pytest.approx(0.25, abs=1e-8)  # 3.5e-8 of the peak at most


@pytest.mark.parametrize("h", [0.3, 2.5])
def test_oracle_dilation_and_symmetry(h):
    for x, y, t in [(0.4, -0.2, 0.3), (1.1, 0.5, -2.0), (0.0, 0.0, 1.5)]:
        scaled = p(1.0, x / math.sqrt(h), y / math.sqrt(h), t / h) / h**2
        assert p(h, x, y, t) == pytest.approx(scaled, rel=1e-12, abs=1e-15)
        assert p(h, x, y, t) == p(h, -x, y, t) == p(h, x, -y, -t)
        assert p(h, x, y, t) == pytest.approx(p(h, y, x, t), rel=1e-13)


@pytest.mark.parametrize("x, y, t", [(0.3, 0.2, 0.1), (0.7, -0.4, 0.5), (0.0, 0.0, 0.0), (1.2, 0.3, -0.8)])
def test_oracle_solves_the_heat_equation_of_the_sub_laplacian(x, y, t):
    # On functions of (x^2 + y^2, t) the rotation terms of (X1^2 + X2^2)/2
    # cancel, leaving (p_xx + p_yy + (x^2 + y^2)/4 p_tt)/2. Central
    # differences of width 1e-3: O(1e-6) error.
    e, h = 1e-3, 1.0

    def d2(fn):
        return (fn(e) - 2 * fn(0.0) + fn(-e)) / e**2

    lhs = (p(h + e, x, y, t) - p(h - e, x, y, t)) / (2 * e)
    rhs = 0.5 * (d2(lambda s: p(h, x + s, y, t)) + d2(lambda s: p(h, x, y + s, t))
                 + 0.25 * (x * x + y * y) * d2(lambda s: p(h, x, y, t + s)))
    assert lhs == pytest.approx(rhs, abs=1e-5)


def test_oracle_tails_and_degenerate_arguments():
    # The true value stays below 7e-9 beyond tc = 3: the quadrature follows
    # the oscillation of cos(l tc) there.
    for tc in (3.0, 5.0, 8.0, 16.0):
        assert abs(p(1.0, 0.0, 0.0, tc)) < 1e-8
    assert p(1.0, 0.0, 0.0, 1.0) < 0.01 * p(1.0, 0.0, 0.0, 0.0)
    assert p(1.0, 0.0, 0.0, 200.5) == 0.0 and p(0.01, 0.0, 0.0, -2.5) == 0.0
    assert p(0.0, 0.0, 0.0, 0.0) == p(-0.0, 1.0, 0.0, 0.0) == p(-1.0, 0.0, 0.0, 0.0) == 0.0
    for args in [(math.nan, 0, 0, 0), (1, math.nan, 0, 0), (1, 0, 0, math.nan), (math.inf, 0, 0, math.inf)]:
        assert math.isnan(p(*args))
    obj = HypoellipticChernoffHeisenberg()
    assert obj.kernel(0.7, 0.1, y=0.2, tc=0.3) == p(h=0.7, x=0.1, y=0.2, tc=0.3)
    assert repr(obj) == "HypoellipticChernoffHeisenberg(order=2, D=3, M=2)" and obj.order() == 2
    with pytest.raises(TypeError, match="argument 'tc'"):
        p(1.0, 0.0, 0.0, "x")


def log_p_reference(h, x, y, tc):
    """log p_h = log p_1(R, T) - 2 log h, R^2 = (x^2 + y^2)/h, T = tc/h, with the factor
    e^{-R^2/2} of p_1 taken out of SciPy's adaptive quadrature of the Fourier integral."""
    r2, t = (x / math.sqrt(h)) ** 2 + (y / math.sqrt(h)) ** 2, tc / h

    def f(mu):
        if mu == 0.0:
            return 2.0
        sh = math.sinh(mu / 2)
        return mu / sh * math.exp(-r2 * (mu / 4 * math.cosh(mu / 2) / sh - 0.5)) * math.cos(mu * t)
    width = min(60.0, 40.0 / math.sqrt(r2)) if r2 > 0 else 60.0
    q = 2 * scipy.integrate.quad(f, 0.0, width, epsabs=0, epsrel=1e-13, limit=400)[0] / (8 * math.pi ** 2)
    return math.log(q) - r2 / 2 - 2 * math.log(h)


@pytest.mark.parametrize("h, x, y, tc", [
    (1e-200, 4e-99, 0.0, 0.0),            # exp(-r^2/(2h)) = e^-80 underflows nothing, 1/h^2 does
    (1e-160, 2e-79, 1e-79, 3e-160),
    (1e-300, math.sqrt(1.5e-297), 0.0, 5e-300),   # R^2 = 1500: e^-750 alone is below the doubles
    (5e-324, 1.3e-160, 0.0, 0.0),         # the smallest h
    (1.2e-150, 1e-75, 1e-75, 1e-150),     # just above and below the switch to scaled variables
    (0.9e-150, 1e-75, 1e-75, 1e-150),
])
def test_oracle_keeps_representable_values_of_tiny_h(h, x, y, tc):
    # Against an independent adaptive reference; 1e-9 relative: the Gauss-Legendre panels' own
    # error (~1e-10 near the origin, documented below 4e-8 of the peak; 1e-13 out on the bump).
    assert math.log(p(h, x, y, tc)) == pytest.approx(log_p_reference(h, x, y, tc), abs=1e-9)


# p_1 at points of the scaled variables; the last two lie below 1e-8, taken as 0.
with warnings.catch_warnings():
    warnings.simplefilter("ignore", scipy.integrate.IntegrationWarning)  # roundoff at 1e-13 relative
    P1 = {(x, y, t): math.exp(log_p_reference(1.0, x, y, t)) if abs(t) < 4 else 0.0
          for x, y, t in [(0.0, 0.0, 0.0), (0.3, -0.2, 0.5), (1.0, 0.5, -2.0), (0.0, 0.0, 10.0), (2.0, 1.0, 16.0)]}


@pytest.mark.parametrize("h", [1e-150, 1e-3, 1.4e9, 1e50, 1e150])
def test_oracle_keeps_its_scaling_law_and_accuracy_at_every_h(h):
    # p_h(x, y, tc) = p_1(x/sqrt(h), y/sqrt(h), tc/h)/h^2 to rounding, and within the stated 4e-8
    # of the value at the origin of the adaptive reference (|tc| <= 16 h).
    r = math.sqrt(h)
    for (x, y, t), reference in P1.items():
        value = p(h, x * r, y * r, t * h)
        assert value * h * h == pytest.approx(p(1.0, x, y, t), abs=1e-15)
        assert abs(value * h * h - reference) < 4e-8 * 0.25


@pytest.mark.parametrize("args", [(5e-324, 1.0, 0.0, 0.0), (1.797e308, 1.797e308, 0.0, 0.0),
                                  (1e300, 1e160, 1e160, 1.0), (5e-324, 0.0, 1e-150, 0.0),
                                  (1e-160, 1e-80, 0.0, 1.99e-158), (1e-140, 1e-70, 0.0, 1.99e-138),
                                  (1.7e308, 0.0, 0.0, -math.inf), (1e307, 0.0, 0.0, 1.7e308)])
def test_oracle_gives_zero_where_the_value_underflows(args):
    # Bounded by e^{-(x^2 + y^2)/(2h)}/(4 h^2), far below 5e-324, or (the last two, |tc| near
    # 200 h) below the quadrature's resolution, where its sum came out as -6e304 and -6e264; an
    # infinite or huge |tc| beyond 200 h where 200 h itself overflows is the limit 0, not NaN.
    assert p(*args) == 0.0


# --------------------------------------------------------------------------
# Engel: X1 = d/dx0, X2 = d/dx1 + x0 d/dx2 + x2 d/dx3; a step approximates
# exp(tau (X1^2 + X2^2)/4)
# --------------------------------------------------------------------------


def engel_run(f, t, steps, n=11, half=5.0):
    g = np.linspace(-half, half, n)
    x = np.meshgrid(g, g, g, g, indexing="ij")
    obj = HypoellipticChernoffEngel(-half, half, n, f(*x).transpose(3, 2, 1, 0).ravel())
    obj.evolve(t, n_steps=steps)
    inner = np.all([np.abs(c) <= 1.0 for c in x], axis=0)
    return x, obj.values().reshape(n, n, n, n).transpose(3, 2, 1, 0), inner


@pytest.mark.parametrize("u0, exact", [
    # L x3 = x0/4 and L x0 = 0.
    (lambda x0, x1, x2, x3: x3, lambda t, x0, x1, x2, x3: x3 + t * x0 / 4),
    # L(x1 x3) = (2 x2 + x0 x1)/4, L^2 (x1 x3) = 0; X1^2 annihilates both, so
    # the split step is exact on them.
    (lambda x0, x1, x2, x3: x1 * x3, lambda t, x0, x1, x2, x3: x1 * x3 + t * (2 * x2 + x0 * x1) / 4),
])
def test_engel_follows_the_chain_field_semigroup_on_polynomials(u0, exact):
    # Gauss-Hermite averages of polynomial flows are exact and the 4-linear
    # read reproduces multilinear functions; what is left near the centre is
    # the clamping of reads beyond the box (measured 2e-6).
    x, v, inner = engel_run(u0, 0.2, 4)
    assert np.max(np.abs(v - exact(0.2, *x))[inner]) < 1e-5


def test_engel_keeps_constants_and_checks():
    obj = HypoellipticChernoffEngel(0.0, 1.0, 4, [2.5] * 256)
    obj.evolve(0.3, n_steps=3)
    assert np.max(np.abs(obj.values() - 2.5)) < 1e-14
    assert len(obj) == 256 and obj.order() == 2
    assert repr(HypoellipticChernoffEngel(0.0, 1.0, 8, np.zeros(8**4))) == \
        "HypoellipticChernoffEngel(order=2, n=8, D=4, M=2)"
    check_evolve_contract(obj, zero_atol=0.0)


@pytest.mark.parametrize("args, exc, message", [
    ((0.0, 1.0, 4, [0.0] * 255), Exception, "[OutOfDomain] u0 length must equal n**4"),
    ((0.0, 1.0, 4, [math.nan] * 255), Exception, "[NanInf] u0 contains NaN or Inf: NaN"),
    ((math.inf, 1.0, 4, [0.0] * 255), Exception, "[NanInf] xmin must be finite: inf"),
    ((1.0, 1.0, 4, [0.0] * 256), Exception, XMIN_LT),
    ((0.0, 1.0, 3, [0.0] * 81), Exception, N_GE4),
    ((0.0, 1.0, 4, "u0"), TypeError, U0_TYPE),
])
def test_engel_construction_errors(args, exc, message):
    raises_exact(exc, message, HypoellipticChernoffEngel, *args)


# --------------------------------------------------------------------------
# Kolmogorov: dp/dt = -v dp/dx + (1/2) d^2p/dv^2
# --------------------------------------------------------------------------


def gaussian(x, v, mean, cov):
    d = np.stack([x - mean[0], v - mean[1]], -1)
    q = np.einsum("...i,ij,...j->...", d, np.linalg.inv(cov), d)
    return np.exp(-0.5 * q) / (2 * np.pi * math.sqrt(np.linalg.det(cov)))


def test_kolmogorov_transports_a_gaussian_exactly_at_second_order():
    # (X, V) moves by X' = V, dV = dW: mean A m, covariance A S A^T + Q with
    # A = [[1, t], [0, 1]], Q = [[t^3/3, t^2/2], [t^2/2, t]]. The density is
    # below 1e-9 at the edges.
    nx, nv, t = 161, 121, 1.0
    x, v = np.meshgrid(np.linspace(-8, 8, nx), np.linspace(-6, 6, nv))
    m0, s0 = np.array([-1.0, 0.5]), np.array([[0.5, 0.1], [0.1, 0.4]])
    a = np.array([[1.0, t], [0.0, 1.0]])
    q = np.array([[t**3 / 3, t**2 / 2], [t**2 / 2, t]])
    exact = gaussian(x, v, a @ m0, a @ s0 @ a.T + q).ravel()
    errors = []
    for steps in (10, 20, 40):
        obj = HypoellipticChernoffKolmogorov(-8, 8, nx, -6, 6, nv, gaussian(x, v, m0, s0).ravel())
        obj.evolve(t, n_steps=steps)
        errors.append(np.max(np.abs(obj.values() - exact)))
    assert np.array(errors[:-1]) / np.array(errors[1:]) == pytest.approx([4.0, 4.0], abs=0.35)  # measured 4.20, 4.09
    assert errors[-1] < 2e-5


def test_kolmogorov_function_of_v_stays_constant_in_x():
    nx, nv = 12, 30
    v = np.linspace(-3, 3, nv)
    u0 = np.repeat(np.exp(-v * v), nx)  # row j holds exp(-v_j^2) at every x
    obj = HypoellipticChernoffKolmogorov(0.0, 1.0, nx, -3.0, 3.0, nv, u0)
    obj.evolve(0.5, n_steps=5)
    rows = obj.values().reshape(nv, nx)
    assert np.max(np.abs(rows - rows[:, :1])) < 1e-14
    assert len(obj) == nx * nv and repr(obj) == "HypoellipticChernoffKolmogorov(order=2, D=2, M=1)"
    check_evolve_contract(obj, zero_atol=1e-14)  # the heat2 weights sum to 1 up to rounding


@pytest.mark.parametrize("args, message", [
    ((0.0, 1.0, 4, 0.0, 1.0, 4, [0.0] * 15), "[OutOfDomain] u0 length must equal nx * nv"),
    ((0.0, 1.0, 4, 0.0, 1.0, 4, [math.inf] * 15), "[NanInf] u0 contains NaN or Inf: inf"),
    ((0.0, 1.0, 4, 1.0, 1.0, 4, [0.0] * 16), XMIN_LT),
    ((0.0, 1.0, 4, -math.inf, 1.0, 4, [0.0] * 16), "[NanInf] xmin must be finite: -inf"),
    ((0.0, 1.0, 4, 0.0, 1.0, 3, [0.0] * 12), N_GE4),
])
def test_kolmogorov_construction_errors(args, message):
    assert error_text(HypoellipticChernoffKolmogorov, *args) == message
