"""Manifold2D: the identity at t = 0, Legendre modes on S^2(r), cosh(d/s)
on H^2(s), a torus Fourier mode, constants, orders and messages."""

import math

import numpy as np
import pytest

from conftest import check_surface, error_text, raises_exact
from quorvane import Manifold2D, QuorvaneError

TWO_PI = 2 * math.pi


def sphere(n, r, u, corr=True):
    return Manifold2D(0.0, math.pi, n, 0.0, TWO_PI, n, u, manifold="sphere2", radius=r, curvature_correction=corr)


def chart(n, lo, hi):
    g = np.linspace(lo, hi, n)
    return np.meshgrid(g, g, indexing="xy")  # rows are y: x fastest when raveled


def test_surface_and_repr():
    check_surface(Manifold2D, "(x0min, x0max, nx, x1min, x1max, ny, u0, *, manifold=\"torus\", radius=1.0, "
                  "curvature_correction=True)", order="($self)", evolve="($self, t, n_steps=100)",
                  values="($self)")
    m = Manifold2D(0.0, math.pi, 10, 0.0, TWO_PI, 12, np.zeros(120), manifold="sphere2")
    assert (repr(m), len(m)) == ("Manifold2D(nx=10, ny=12, order=2)", 120)
    orders = [Manifold2D(0, 1, 4, 0, 1, 4, np.zeros(16), manifold=k, curvature_correction=c).order()
              for k in ("torus", "sphere2", "hyperbolic2") for c in (True, False)]
    assert orders == [1, 1, 2, 1, 2, 1]


@pytest.mark.parametrize("kw, u0, n, text", [
    ({"manifold": "Torus"}, 16, 4, "[Unsupported] Unknown manifold 'Torus'. Must be 'torus', 'sphere2', or 'hyperbolic2'."),
    ({"manifold": "sphere2", "radius": 0.0}, 16, 4, "[OutOfDomain] Sphere2: radius must be finite and > 0"),
    ({"manifold": "sphere2", "radius": math.nan}, 16, 4, "[NanInf] Sphere2: radius must be finite and > 0: NaN"),
    ({"manifold": "hyperbolic2", "radius": -1.0}, 16, 4, "[OutOfDomain] Hyperbolic2: scale must be finite and > 0"),
    ({}, [math.inf] * 16, 4, "[NanInf] u0 contains NaN or Inf: inf"),
    ({}, 15, 4, "[OutOfDomain] u0 length must equal nx * ny"),
    ({}, 12, 3, "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
])
def test_constructor_errors(kw, u0, n, text):
    u0 = np.zeros(u0) if isinstance(u0, int) else u0
    assert error_text(Manifold2D, 0.0, 1.0, n, 0.0, 1.0, 4, u0, **kw) == text


def test_torus_ignores_radius_and_u0_type():
    Manifold2D(0, 1, 4, 0, 1, 4, np.zeros(16), radius=-1.0)
    raises_exact(TypeError, "u0 must be a numpy.ndarray[float64] or a sequence of floats",
                 Manifold2D, 0, 1, 4, 0, 1, 4, "u0")


@pytest.mark.parametrize("kind, lo, hi", [("torus", 0.0, 1.0), ("sphere2", 0.0, math.pi), ("hyperbolic2", -0.5, 0.5)])
def test_identity_at_zero_and_constants(kind, lo, hi):
    u = np.random.default_rng(3).normal(size=30 * 30)
    m = Manifold2D(lo, hi, 30, lo, hi, 30, u, manifold=kind, radius=0.7)
    m.evolve(0.0)
    assert np.max(np.abs(m.values() - u)) < 1e-11  # the 25 weights sum to pi to 15 digits
    m = Manifold2D(lo, hi, 30, lo, hi, 30, np.full(900, 3.0), manifold=kind, radius=0.7)
    m.evolve(0.3, n_steps=7)  # the curvature weights keep constants too
    assert np.max(np.abs(m.values() - 3.0)) < 1e-13


@pytest.mark.parametrize("corr, ratio", [(False, (1.7, 2.4)), (True, (3.3, 5.5))])
def test_sphere_legendre_mode_and_order(corr, ratio):
    # cos(theta) on S^2(r) decays like exp(-2 t / r^2); the poles are node rows.
    n, r, t = 201, 1.5, 1.0
    th, _ = chart(n, 0.0, math.pi)
    u0 = np.cos(th).ravel()
    errs = []
    for n_steps in (2, 4):
        m = sphere(n, r, u0, corr)
        m.evolve(t, n_steps=n_steps)
        errs.append(np.max(np.abs(m.values() - u0 * math.exp(-2 * t / r**2))))
    assert ratio[0] < errs[0] / errs[1] < ratio[1]


@pytest.mark.parametrize("corr", [False, True])
def test_hyperbolic_cosh_growth(corr):
    # cosh(d/s) = (1 + |z|^2)/(1 - |z|^2) is an eigenfunction: rate 2/s^2.
    n, s, t = 121, 2.0, 0.2
    x, y = chart(n, -0.6, 0.6)
    f = ((1 + x**2 + y**2) / (1 - x**2 - y**2)).ravel()
    m = Manifold2D(-0.6, 0.6, n, -0.6, 0.6, n, f, manifold="hyperbolic2", radius=s, curvature_correction=corr)
    m.evolve(t, n_steps=4)
    c = (n * n) // 2
    assert math.log(m.values()[c] / f[c]) / t == pytest.approx(2 / s**2, rel=1e-2)


def test_torus_fourier_mode():
    # The Gauss-Hermite mean of a Fourier mode is exp(-|k|^2 tau) up to the
    # rule's error: what remains is the bilinear O(h^2) read per step.
    x, y = chart(201, 0.0, 1.0)
    f = (np.sin(TWO_PI * x) * np.cos(TWO_PI * y)).ravel()
    m = Manifold2D(0.0, 1.0, 201, 0.0, 1.0, 201, f)
    m.evolve(0.01, n_steps=2)
    assert np.max(np.abs(m.values() - f * math.exp(-2 * TWO_PI**2 * 0.01))) < 2e-4


def test_evolve_errors_and_curvature_refusal():
    u = np.random.default_rng(4).normal(size=100)
    m = Manifold2D(0.0, math.pi, 10, 0.0, TWO_PI, 10, u, manifold="sphere2", radius=0.5)  # R = 8
    for t, n_steps, text in [(1.0, 0, "[OutOfDomain] n_steps must be >= 1"),
                             (math.nan, 5, "[OutOfDomain] t must be finite and >= 0"),
                             (1.0, 1, "[CflViolated] Manifold2D: |R| tau = 8.000e0 > 4 makes the "
                                      "curvature-weighted step amplify; use n_steps >= 2")]:
        assert error_text(m.evolve, t, n_steps=n_steps) == text
    assert np.array_equal(m.values(), u)
    m.evolve(1.0, n_steps=2)  # |R| tau = 4 is admitted
    Manifold2D(0.0, math.pi, 10, 0.0, TWO_PI, 10, u, manifold="sphere2", radius=0.5,
               curvature_correction=False).evolve(1.0, n_steps=1)


AMPLIFY = "[CflViolated] Manifold2D: |R| tau = {} > 4 makes the curvature-weighted step amplify; "
NO_FIT = "no n_steps up to 18446744073709551615 makes the steps of t = {} short enough: {}"
PLAIN = " (curvature_correction=False takes any step with sqrt(tau)/radius <= 2.3e153)"
GEODESICS = "[CflViolated] Manifold2D: sqrt(tau)/radius = {} > 2.3e153 makes the step's geodesics leave the doubles; "
SERVES = "one call serves t <= {} (n_steps = 18446744073709551615), longer times take several calls"


@pytest.mark.parametrize("kind, lo, hi", [("sphere2", 0.0, math.pi), ("hyperbolic2", -0.5, 0.5)])
def test_curvature_beyond_any_step_count(kind, lo, hi):
    u = np.random.default_rng(5).normal(size=100)
    tiny = Manifold2D(lo, hi, 10, lo, hi, 10, u, manifold=kind, radius=1e-300)  # |R| = 2/r^2 overflows
    # R tau = 2 tau / r / r: finite where tau ~ r^2 is.
    for t, n_steps, text in [(1.0, 100, AMPLIFY.format("inf") + NO_FIT.format("1.000e0", "no call serves t > 0") + PLAIN),
                             (1e-300, 1, AMPLIFY.format("2.000e300") +
                              NO_FIT.format("1.000e-300", "no call serves t > 0") + PLAIN)]:
        assert error_text(tiny.evolve, t, n_steps=n_steps) == text
    assert np.array_equal(tiny.values(), u)
    tiny.evolve(0.0)  # tau = 0 is no step at all
    assert np.max(np.abs(tiny.values() - u)) < 1e-11  # as at any radius: the weights sum to pi
    small = Manifold2D(lo, hi, 10, lo, hi, 10, u, manifold=kind, radius=1e-150)  # |R| = 2e300
    # 2^64 steps of 4 / |R| = 2e-300 each.
    serves = SERVES.format("3.6893488147419104e-281")
    assert error_text(small.evolve, 1.0, n_steps=10) == (AMPLIFY.format("2.000e299") + NO_FIT.format("1.000e0", serves) +
                                                         PLAIN)
    assert error_text(small.evolve, 8e-281, n_steps=1) == (AMPLIFY.format("1.600e20") +
                                                           NO_FIT.format("8.000e-281", serves) + PLAIN)


@pytest.mark.parametrize("kind, lo, hi, hi1", [("sphere2", 0.0, math.pi, TWO_PI), ("hyperbolic2", -0.6, 0.6, 0.6)])
@pytest.mark.parametrize("corr", [False, True])
@pytest.mark.parametrize("j", [-500, -60, -30, -1, 1, 30, 60, 500])
def test_radius_and_time_scaled_together_take_the_same_steps(kind, lo, hi, hi1, corr, j):
    # The flow depends on t / r^2 alone: r = 2^j with t = 0.3 * 4^j gives the unit radius's values.
    # At 2^-500 the curvature 2 / r^2 itself overflows; at 2^-60 the geodesics are 1e-18 long.
    u = np.random.default_rng(6).normal(size=81)

    def run(r, t):
        m = Manifold2D(lo, hi, 9, lo, hi1, 9, u, manifold=kind, radius=r, curvature_correction=corr)
        m.evolve(t, n_steps=3)
        return m.values()

    unit = run(1.0, 0.3)
    assert np.max(np.abs(unit - u)) > 0.1  # the step moves the data
    assert np.max(np.abs(run(math.ldexp(1.0, j), math.ldexp(0.3, 2 * j)) - unit)) <= 1e-15


def test_uncorrected_step_whose_geodesics_leave_the_doubles():
    u = np.random.default_rng(7).normal(size=100)

    def fresh(r):
        return Manifold2D(0.0, math.pi, 10, 0.0, TWO_PI, 10, u, manifold="sphere2", radius=r,
                          curvature_correction=False)

    m = fresh(1e-160)  # sqrt(1e-12) / 1e-160 = 1e154
    assert error_text(m.evolve, 1e-12, n_steps=1) == GEODESICS.format("1.000e154") + "use n_steps >= 19"
    assert np.array_equal(m.values(), u)
    m = fresh(1e-160)
    m.evolve(1e-12, n_steps=19)
    assert np.all(np.isfinite(m.values()))
    serves = SERVES.format("9.758327614992355e-275")
    assert error_text(fresh(1e-300).evolve, 1.0) == GEODESICS.format("1.000e299") + NO_FIT.format("1.000e0", serves)
