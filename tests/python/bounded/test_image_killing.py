"""Image-method walls, killing and the absorbing Crank-Nicolson step against exact
solutions, expm references and their measured orders."""

import math

import numpy as np
import pytest
from scipy.linalg import expm
from scipy.optimize import brentq

import quorvane as q
from conftest import EVOLVE, SELF, U0_ERRORS, check_evolve_contract, check_surface, raises_exact
from quorvane import QuorvaneError

IMAGE = [q.Reflected1D, q.DirichletHeat2nd1D, q.Robin1D]


def gauss(x, t, x0, s=0.05):
    v = s + t
    return np.exp(-((x - x0) ** 2) / (4.0 * v)) / np.sqrt(v)


@pytest.mark.parametrize("cls, sign", [(q.Reflected1D, 1.0), (q.DirichletHeat2nd1D, -1.0)])
def test_half_line_gaussian_against_its_image_solution_at_order_2(cls, sign):
    # Gaussian next to the wall at 0 plus its even/odd image is the exact
    # half-line solution; the far wall at 10 is out of reach.
    x = np.linspace(0.0, 10.0, 1001)
    exact = lambda t: gauss(x, t, 1.0) + sign * gauss(x, t, -1.0)
    errors = []
    for steps in [10, 20, 40]:
        o = cls(0.0, 10.0, 1001, exact(0.0))
        o.evolve(0.2, steps)
        errors.append(np.max(np.abs(o.values() - exact(0.2))))
    # Measured 2.10, 2.04 (Reflected) and 2.13, 2.06 (Dirichlet).
    assert [math.log2(errors[k] / errors[k + 1]) for k in range(2)] == pytest.approx([2.0, 2.0], abs=0.2)


@pytest.mark.parametrize("boundary", ["reflect", "zero", "periodic", "linear"])
def test_reflected_is_heat1d_bit_for_bit_whatever_boundary_and_origin(boundary):
    x = np.linspace(0.0, 1.0, 41)
    u0 = np.cos(3.0 * x) + x
    r = q.Reflected1D(0.0, 1.0, 41, u0, origin=0.3, boundary=boundary)
    robin0 = q.Robin1D(0.0, 1.0, 41, u0, alpha=-0.0, origin=math.nan, boundary=boundary)
    h = q.Heat1D(0.0, 1.0, 41, u0)
    for o in (r, robin0, h):
        o.evolve(0.1, 7)
    assert np.array_equal(r.values(), h.values()) and np.array_equal(robin0.values(), h.values())


def test_dirichlet_refuses_steps_that_read_beyond_the_opposite_wall():
    x = np.linspace(0.0, 1.0, 41)
    d = q.DirichletHeat2nd1D(0.0, 1.0, 41, np.sin(np.pi * x))
    raises_exact(QuorvaneError,
                 "[CflViolated] DirichletHeat2nd1D: tau = t/n_steps = 1.000e-1 exceeds L^2/12 = 8.333e-2 "
                 "(L = xmax - xmin = 1): a longer step reads beyond the opposite wall, where the odd image has "
                 "the wrong sign; use n_steps >= 12 for t = 1", d.evolve, 1.0, 10)
    assert np.array_equal(d.values(), np.sin(np.pi * x))
    d.evolve(1.0, 12)
    # The exact solution is 5.2e-5 sin(pi x); the single-fold sign error gave 2.1e-3 at 10 steps.
    assert np.max(np.abs(d.values() - math.exp(-math.pi ** 2) * np.sin(np.pi * x))) < 3e-5


# On a wide grid the even and the damped image serve every step whose reads
# 2 sqrt(3 tau) are doubles; past DBL_MAX/3 the refusal names counts that run.
@pytest.mark.parametrize("cls", [q.Reflected1D, q.Robin1D])
@pytest.mark.parametrize("t, least", [(6e307, 2), (1.7e308, 3)])
def test_image_steps_beyond_the_formed_reads_name_counts_that_run(cls, t, least):
    x = np.linspace(0.0, 1.0, 41)
    u0 = np.cos(np.pi * x)
    obj = cls(0.0, 1e150, 41, u0)
    raises_exact(QuorvaneError, f"[CflViolated] {cls.__name__}: tau = t/n_steps = {t:.3e}".replace("e+", "e") +
                 " exceeds 5.992e307, the longest step whose reads 2 sqrt(3 tau) from a node are doubles; "
                 f"use n_steps >= {least} for t = {t:g}".replace("e+", "e"), obj.evolve, t, 1)
    assert np.array_equal(obj.values(), u0)
    for n in (least, least + 1, 2 * least, 10 * least):
        fresh = cls(0.0, 1e150, 41, u0)
        fresh.evolve(t, n)
        # Both walls keep max|u| (the Robin image only damps).
        assert np.all(np.isfinite(fresh.values())) and np.abs(fresh.values()).max() <= 1.0 + 1e-12


def test_robin_against_its_exact_mode_at_order_1():
    # alpha u - beta du/dn = 0 (n inward): modes k cos kx + r sin kx with tan kL = 2rk/(k^2 - r^2).
    r = 1.0
    k = brentq(lambda k: math.tan(k) * (k * k - r * r) - 2.0 * r * k, 1.1, 1.5707)
    x = np.linspace(0.0, 1.0, 161)
    mode = k * np.cos(k * x) + r * np.sin(k * x)
    errors = []
    for steps in [100, 200, 400]:
        o = q.Robin1D(0.0, 1.0, 161, mode, alpha=2.0 * r, beta=2.0)
        o.evolve(0.1, steps)
        errors.append(np.max(np.abs(o.values() - math.exp(-k * k * 0.1) * mode)))
    # Measured 1.10, 1.06: the exponential image is a one-sided difference at the wall.
    assert [math.log2(errors[j] / errors[j + 1]) for j in range(2)] == pytest.approx([1.0, 1.0], abs=0.2)
    assert o.order() == 1


def test_killing2nd_is_the_damped_heat_evolution():
    x = np.linspace(0.0, 1.0, 41)
    u0 = np.cos(np.pi * x) + 2.0
    k = q.Killing2nd1D(0.0, 1.0, 41, u0, 1.7)
    h = q.Heat1D(0.0, 1.0, 41, u0)
    k.evolve(0.3, 30)
    h.evolve(0.3, 30)
    # The rate commutes with the heat step: only rounding separates them.
    np.testing.assert_allclose(k.values(), math.exp(-1.7 * 0.3) * h.values(), rtol=1e-14, atol=1e-14)
    assert repr(k) == "Killing2nd1D(n=41, order=2)"


def test_killing1d_converges_to_dirichlet_on_the_killed_box_at_rate_sqrt_tau():
    # Nodes below lo and at or above hi are zeroed: Dirichlet walls at lo - h and hi.
    n = 801
    x = np.linspace(0.0, 4.0, n)
    a, b = 1.0 - (x[1] - x[0]), 3.0
    exact = lambda t: np.where((x >= a) & (x <= b),
                               np.exp(-(math.pi / (b - a)) ** 2 * t) * np.sin(math.pi * (x - a) / (b - a)), 0.0)
    errors = []
    for steps in [10, 40, 160]:
        o = q.Killing1D(0.0, 4.0, n, exact(0.0))
        o.evolve(0.2, steps)
        errors.append(np.max(np.abs(o.values() - exact(0.2))))
    rates = [math.log(errors[j] / errors[j + 1]) / math.log(4.0) for j in range(2)]
    # Measured 0.42, 0.51 (sqrt(tau) = 0.14 ... 0.035 >> dx = 0.005).
    assert all(0.35 < r < 0.65 for r in rates), rates


def test_killed_dirichlet_against_expm_at_order_2_keeping_end_values():
    n = 41
    x = np.linspace(0.0, 1.0, n)
    h = x[1] - x[0]
    u0 = np.sin(np.pi * x) + 0.3 * np.sin(3 * np.pi * x)
    u0[0], u0[-1] = 0.7, -0.2
    m = n - 2
    lap = (np.diag(-2.0 * np.ones(m)) + np.diag(np.ones(m - 1), 1) + np.diag(np.ones(m - 1), -1)) / h ** 2
    ref = expm(0.05 * lap) @ u0[1:-1]
    errors = []
    for nc in [10, 20, 40]:
        o = q.KilledDirichlet1D(0.0, 1.0, n, u0, nc)
        v = o.apply(0.05)
        assert (v[0], v[-1]) == (0.7, -0.2)
        errors.append(np.max(np.abs(v[1:-1] - ref)))
    # Measured 1.99, 2.00.
    assert [math.log2(errors[j] / errors[j + 1]) for j in range(2)] == pytest.approx([2.0, 2.0], abs=0.1)
    assert o.size() == n and np.array_equal(o.apply(0.0), v)
    raises_exact(QuorvaneError, "[OutOfDomain] t must be finite and >= 0", o.apply, -1.0)
    raises_exact(QuorvaneError, "[GridMismatch] Evolver n must be >= 1", q.KilledDirichlet1D, 0.0, 1.0, 4, [1.0], 0)


@pytest.mark.parametrize("cls", IMAGE + [q.Killing1D, q.Killing2nd1D])
@pytest.mark.parametrize("args, kwargs, exc, message", U0_ERRORS)
def test_construction_errors(cls, args, kwargs, exc, message):
    if cls is q.Killing2nd1D and exc is TypeError:
        message = "u0 must be a float64 array"
    raises_exact(exc, message, cls, *args, **kwargs)


@pytest.mark.parametrize("kwargs, message", [
    ({"alpha": math.nan}, "[NanInf] HalfSpaceRobin: alpha and beta must be finite: NaN"),
    ({"beta": math.inf}, "[NanInf] HalfSpaceRobin: alpha and beta must be finite: NaN"),
    ({"alpha": -1e-300}, "[OutOfDomain] HalfSpaceRobin: require alpha \u2265 0 and beta > 0 (well-posed Robin BC)"),
    ({"beta": 0.0}, "[OutOfDomain] HalfSpaceRobin: require alpha \u2265 0 and beta > 0 (well-posed Robin BC)"),
])
def test_robin_parameters_are_checked_before_the_length(kwargs, message):
    raises_exact(QuorvaneError, message, q.Robin1D, 0.0, 1.0, 4, [1.0, 2.0], **kwargs)


def test_box_and_kappa_checks():
    raises_exact(QuorvaneError, "[OutOfDomain] BoxRegion: lo[k] must be < hi[k] for all k", q.Killing1D,
                 0.0, 4.0, 5, [1.0] * 5, lo=2.0, hi=2.0)
    raises_exact(QuorvaneError, "[OutOfDomain] kappa must be finite and >= 0", q.Killing2nd1D,
                 0.0, 1.0, 4, "bad", -1e-300, boundary="mirror")
    # Defaults on [0, 4]: the box [1, 3); the node at 3 is zeroed, the one at 1 kept.
    k = q.Killing1D(0.0, 4.0, 5, [1.0] * 5, lo=math.inf)
    k.evolve(1e-12, 1)
    assert k.values()[3] == 0.0 and k.values()[1] != 0.0 and k.values()[0] == 0.0


@pytest.mark.parametrize("cls", IMAGE + [q.Killing1D, q.Killing2nd1D])
def test_surface_and_evolve_contract(cls):
    init = {q.Reflected1D: '(xmin, xmax, n, u0, *, origin=..., boundary="reflect")',
            q.DirichletHeat2nd1D: '(xmin, xmax, n, u0, *, origin=..., boundary="reflect")',
            q.Robin1D: '(xmin, xmax, n, u0, *, alpha=1.0, beta=1.0, origin=..., boundary="reflect")',
            q.Killing1D: '(xmin, xmax, n, u0, *, lo=..., hi=..., boundary="reflect")',
            q.Killing2nd1D: '(xmin, xmax, n, u0, kappa=0.0, *, boundary="reflect")'}[cls]
    check_surface(cls, init, order=SELF, evolve=EVOLVE, values=SELF)
    x = np.linspace(0.0, 1.0, 9)
    kw = {"lo": -1.0, "hi": 2.0} if cls is q.Killing1D else {}  # a box covering the grid
    check_evolve_contract(cls(0.0, 1.0, 9, np.cos(x), **kw))
