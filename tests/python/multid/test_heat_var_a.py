"""Heat2DVarA and Heat3DVarA: temporal order against a SciPy reference of u_t = a_x u_xx + a_y u_yy
(+ a_z u_zz), second order for constant coefficients, the two 2-D forms, and the fixed messages."""

import math

import numpy as np
import pytest
from scipy.sparse import diags
from scipy.sparse.linalg import expm_multiply

import quorvane as q
from quorvane import QuorvaneError

from conftest import N_GE4, N_STEPS, XMIN_LT

TAU = "[OutOfDomain] tau must be finite and > 0"


def reference_1d(a, f, t, n=401):
    """u_t = a(x) u_xx on [0, 1] with mirror ends: finite differences, exact in time (expm_multiply)."""
    x = np.linspace(0, 1, n)
    d = np.full(n - 1, 1.0)
    up, lo = d.copy(), d.copy()
    up[0] = lo[-1] = 2.0  # the ghost nodes u[-1] = u[1], u[n] = u[n-2]
    lap = diags([lo, np.full(n, -2.0), up], [-1, 0, 1]) / (x[1] - x[0]) ** 2
    return x, expm_multiply(t * (diags(a(x)) @ lap).tocsc(), f(x))


AX = lambda x: 1 + 0.5 * np.sin(3 * x)  # noqa: E731
AY = lambda y: 0.7 + 0.3 * y * y  # noqa: E731
AZ = lambda z: 1.2 - 0.4 * z  # noqa: E731
FX = lambda x: np.cos(np.pi * x)  # noqa: E731
GY = lambda y: np.cos(2 * np.pi * y)  # noqa: E731


def orders(errs):
    return [math.log2(errs[k] / errs[k + 1]) for k in range(len(errs) - 1)]


def test_heat2d_var_a_first_order_against_scipy():
    # A product f(x) g(y) evolves as the product of the two 1-D solutions.
    t, nx, ny = 0.02, 41, 33
    x, y = np.linspace(0, 1, nx), np.linspace(0, 1, ny)
    xr, fr = reference_1d(AX, FX, t)
    yr, gr = reference_1d(AY, GY, t)
    ref = np.outer(np.interp(x, xr, fr), np.interp(y, yr, gr)).ravel(order="F")
    u0 = np.outer(FX(x), GY(y)).ravel(order="F")
    per_axis = q.Heat2DVarA(0, 1, nx, 0, 1, ny, AX(x), list(AY(y)))
    full = q.Heat2DVarA.with_grid_arrays(0, 1, nx, 0, 1, ny, np.tile(AX(x), ny), np.repeat(AY(y), nx))
    errs = []
    for n in (4, 8, 16):
        r = per_axis.evolve(u0, t / n, n)
        assert np.array_equal(r, full.evolve(u0, t / n, n))  # the same lines, the same kernels
        errs.append(np.abs(r - ref).max())
    assert all(0.9 < p < 1.3 for p in orders(errs)), errs


def test_heat3d_var_a_first_order_against_scipy():
    t, n_ax = 0.02, 33
    x = np.linspace(0, 1, n_ax)
    parts = [np.interp(x, *reference_1d(a, f, t)) for a, f in ((AX, FX), (AY, GY), (AZ, FX))]
    ref = np.einsum("i,j,k->ijk", *parts).ravel(order="F")
    u0 = np.einsum("i,j,k->ijk", FX(x), GY(x), FX(x)).ravel(order="F")
    h = q.Heat3DVarA(0, 1, n_ax, 0, 1, n_ax, 0, 1, n_ax, AX(x), AY(x), AZ(x))
    errs = [np.abs(h.evolve(u0, t / n, n) - ref).max() for n in (4, 8, 16)]
    assert all(0.9 < p < 1.3 for p in orders(errs)), errs


def test_constant_coefficients_reach_second_order():
    nx, ny, t = 41, 33, 0.02
    x, y = np.linspace(0, 1, nx), np.linspace(0, 1, ny)
    u0 = np.outer(FX(x), GY(y)).ravel(order="F")
    ex = u0 * math.exp(-(2.0 * np.pi**2 + 0.5 * 4 * np.pi**2) * t)
    h = q.Heat2DVarA(0, 1, nx, 0, 1, ny, [2.0] * nx, [0.5] * ny)
    errs = [np.abs(h.evolve(u0, t / n, n) - ex).max() for n in (2, 4, 8)]
    assert all(abs(p - 2) < 0.15 for p in orders(errs)), errs
    # ny >= 32 takes the threaded sweeps; two calls give the same values (no state).
    assert np.array_equal(h.evolve(u0, 1e-3, 2), h.evolve(u0, 1e-3, 2))


def test_members():
    h = q.Heat2DVarA(0, 1, 64, 0, 1, 32, [1.0] * 64, [1.0] * 32)
    assert (repr(h), len(h), h.order(), h.nx, h.ny) == ("Heat2DVarA(nx=64, ny=32, order=1)", 2048, 1, 64, 32)
    g = q.Heat3DVarA(0, 1, 4, 0, 1, 5, 0, 1, 6, [1.0] * 4, [1.0] * 5, [1.0] * 6)
    assert (repr(g), len(g), g.order()) == ("Heat3DVarA(nx=4, ny=5, nz=6, order=1)", 120, 1)
    assert q.Heat2DVarA.__text_signature__ == '(xmin, xmax, nx, ymin, ymax, ny, a_x, a_y, *, boundary="reflect")'


A4 = [1.0] * 4


@pytest.mark.parametrize("args, kw, msg", [
    ((0, 1, 3, 0, 1, 4, [1.0] * 3, A4), {}, N_GE4),
    ((0, 1, 3, 0, 1, 4, [1.0] * 2, A4), {}, "[GridMismatch] a_x length 2 != expected 3"),
    ((0, 1, 4, 1, 1, 4, A4, A4), {}, XMIN_LT),
    ((0, 1, 4, 0, math.inf, 4, A4, A4), {}, "[NanInf] xmax must be finite: inf"),
    ((0, 1, 6, 0, 1, 4, [-1.0, 1, 1, 1, 1, math.nan], A4), {}, "[NanInf] a_x contains NaN or Inf"),
    ((0, 1, 4, 0, 1, 4, A4, [1.0, 0.0, 1.0, 1.0]), {}, "[OutOfDomain] a_y must be > 0 everywhere"),
    ((0, 1, 4, 0, 1, 4, "abc", A4), {}, "[GridMismatch] a_x must be numpy.ndarray[float64]"),
    ((0, 1, 4, 0, 1, 4, A4, A4), {"boundary": "mirror"}, None),
])
def test_heat2d_var_a_constructor_errors(args, kw, msg):
    with pytest.raises(QuorvaneError) as e:
        q.Heat2DVarA(*args, **kw)
    assert msg is None or str(e.value) == msg


@pytest.mark.parametrize("ax, exc, msg", [
    ([1.0] * 15, QuorvaneError, "[GridMismatch] a_x has length 15, expected nx*ny=16"),
    ([-1.0] + [1.0] * 4 + [math.nan] + [1.0] * 10, QuorvaneError, "[OutOfDomain] a_x must be > 0 everywhere"),
    ([1.0] * 5 + [math.inf] + [0.0] * 10, QuorvaneError, "[NanInf] a_x contains NaN or Inf"),
    ("abc", TypeError, "argument 'a_x': "),
])
def test_with_grid_arrays_errors(ax, exc, msg):
    with pytest.raises(exc) as e:
        q.Heat2DVarA.with_grid_arrays(0, 1, 4, 0, 1, 4, ax, [1.0] * 16)
    assert str(e.value).startswith(msg)


def test_hostile_grid_array_size():
    with pytest.raises(QuorvaneError) as e:
        q.Heat2DVarA.with_grid_arrays(0, 1, 2**32, 0, 1, 2**32, [], [])
    assert str(e.value) == "[GridMismatch] a_x has length 0, expected nx*ny=18446744073709551616"


@pytest.mark.parametrize("make, n, mid", [
    (lambda: q.Heat2DVarA(0, 1, 4, 0, 1, 4, A4, A4), 16, "nx*ny"),
    (lambda: q.Heat3DVarA(0, 1, 4, 0, 1, 4, 0, 1, 4, A4, A4, A4), 64, "nx*ny*nz"),
])
def test_evolve_errors(make, n, mid):
    h = make()
    for args, msg in [((np.zeros(n), -1.0, 0), N_STEPS), ((np.zeros(n), 0.0, 1), TAU),
                      ((np.zeros(n - 1), 0.1, 1), f"[GridMismatch] u0 length {n - 1} != {mid}={n}"),
                      (([math.nan] * n, 0.1, 1), "[NanInf] u0 contains NaN or Inf")]:
        with pytest.raises(QuorvaneError) as e:
            h.evolve(*args)
        assert str(e.value) == msg
    with pytest.raises(TypeError, match=r"^u0 must be numpy.ndarray\[float64\]$"):
        h.evolve(np.zeros((2, n // 2)), 0.1, 1)


def test_heat3d_var_a_checks_a_z_after_the_others():
    with pytest.raises(QuorvaneError) as e:
        q.Heat3DVarA(0, 1, 4, 0, 1, 4, 0, 1, 3, A4, A4, [1.0, 1.0, 1.0])
    assert str(e.value) == N_GE4
    with pytest.raises(QuorvaneError) as e:
        q.Heat3DVarA(0, 1, 4, 0, 1, 4, 0, 1, 4, A4, A4, [1.0, 0.0, 1.0, 1.0])
    assert str(e.value) == "[OutOfDomain] a_z must be > 0 everywhere"
