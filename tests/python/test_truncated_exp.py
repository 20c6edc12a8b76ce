"""TruncatedExp1D and TruncatedExp4th1D.

The steps are checked against an operator built here from its definition
(three- or five-point stencil, ghosts from the boundary policy): one step is
the quartic Taylor polynomial of tau*L, and n steps converge to
scipy.linalg.expm(t L) at fourth order. The stencils' spatial orders are
measured on a cosine mode against the exact heat solution; the CFL limits are
probed at their exact thresholds.
"""

import inspect
import math

import numpy as np
import pytest
from scipy.linalg import expm

import quorvane
from quorvane import QuorvaneError, TruncatedExp1D, TruncatedExp4th1D

CLASSES = [TruncatedExp1D, TruncatedExp4th1D]
POLICIES = ["reflect", "zero", "periodic", "linear"]


def ghost(policy, n, j):
    """Coefficients expressing the value at node index j (any integer) in the n node values."""
    row = np.zeros(n)
    if 0 <= j < n:
        row[j] = 1.0
    elif policy == "reflect":
        period = 2 * n - 2
        m = j % period
        row[m if m < n else period - m] = 1.0
    elif policy == "periodic":
        row[j % n] = 1.0
    elif policy == "linear":
        # second-order one-sided slope, continued linearly k nodes beyond the end
        k = -j if j < 0 else j - (n - 1)
        if j < 0:
            row[[0, 1, 2]] = [1 + 1.5 * k, -2.0 * k, 0.5 * k]
        else:
            row[[n - 1, n - 2, n - 3]] = [1 + 1.5 * k, -2.0 * k, 0.5 * k]
    return row  # "zero": all zeros


def stencil_operator(cls, policy, n, dx):
    weights = {-1: 1.0, 0: -2.0, 1: 1.0} if cls is TruncatedExp1D else \
        {-2: -1 / 12, -1: 16 / 12, 0: -30 / 12, 1: 16 / 12, 2: -1 / 12}
    op = np.zeros((n, n))
    for i in range(n):
        for k, w in weights.items():
            op[i] += w * ghost(policy, n, i + k)
    return op / dx**2


def cfl_limit(cls, dx):
    return dx * dx / 2 if cls is TruncatedExp1D else 3 * dx * dx / 8


# --- members, docstrings, construction errors -------------------------------------------

@pytest.mark.parametrize("cls, summary", [
    (TruncatedExp1D, "1-D diffusion with K=4 truncated-exp Chernoff kernel."),
    (TruncatedExp4th1D, "1-D diffusion with 4th-order truncated-exp Chernoff kernel."),
])
def test_members_signatures_and_docstrings(cls, summary):
    public = {m for m in dir(cls) if not m.startswith("_")}
    assert public == {"order", "evolve", "values"}
    assert cls.__text_signature__ == '(xmin, xmax, n, u0, *, boundary="reflect")'
    assert cls.__doc__.splitlines()[0] == summary
    assert str(inspect.signature(cls)) == "(xmin, xmax, n, u0, *, boundary='reflect')"
    assert cls.evolve.__text_signature__ == "($self, t, n_steps=100)"
    assert cls.order.__text_signature__ == "($self)"
    assert cls.values.__text_signature__ == "($self)"
    for m in (cls.evolve, cls.order, cls.values):
        assert m.__doc__ and "Returns" in m.__doc__
    assert "Raises" in cls.evolve.__doc__
    assert cls.__module__ == "builtins"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = cls(0.0, 1.0, 4, [1.0, 2.0, 3.0, 4.0])
    assert obj.order() == 2 and type(obj.order()) is int
    assert len(obj) == 4
    assert "TruncatedExp1D" in quorvane.__all__ and "TruncatedExp4th1D" in quorvane.__all__


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("args, kwargs, message", [
    ((0.0, 1.0, 4, [0.0, math.nan, 0.0, 0.0]), {}, "[NanInf] u0 contains NaN or Inf: NaN"),
    # u0 is checked before the grid, and the grid before the length
    ((math.inf, 1.0, 3, [math.inf, 0.0]), {}, "[NanInf] u0 contains NaN or Inf: inf"),
    ((math.inf, 1.0, 4, [0.0] * 4), {}, "[NanInf] xmin must be finite: inf"),
    ((0.0, -math.inf, 4, [0.0] * 4), {}, "[NanInf] xmax must be finite: -inf"),
    ((1.0, 1.0, 4, [0.0] * 4), {}, "[GridMismatch] xmin must be < xmax"),
    ((0.0, 1.0, 3, [0.0] * 3), {}, "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
    ((0.0, 1.0, 4, [0.0] * 5), {}, "[GridMismatch] values.len() must equal grid.n"),
    ((0.0, 1.0, 4, [0.0] * 4), {"boundary": "mirror"},
     '[OutOfDomain] unknown boundary policy "mirror"; valid options are: '
     '"reflect", "periodic", "zero", "linear"'),
])
def test_construction_errors(cls, args, kwargs, message):
    with pytest.raises(QuorvaneError) as e:
        cls(*args, **kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize("cls", CLASSES)
def test_u0_conversion(cls):
    with pytest.raises(TypeError, match=r"^u0 must be a numpy.ndarray\[float64\] or a sequence of floats$"):
        cls(0.0, 1.0, 4, [0.0, "a", 0.0, 0.0])
    # the boundary is parsed (case-insensitively) before u0 is read
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] unknown boundary policy"):
        cls(0.0, 1.0, 4, "not floats", boundary="")
    cls(0.0, 1.0, 4, np.arange(4.0), boundary="PeRiOdIc")


@pytest.mark.parametrize("cls", CLASSES)
def test_evolve_argument_checks_leave_state(cls):
    u0 = np.linspace(0.0, 1.0, 11) ** 2
    obj = cls(0.0, 1.0, 11, u0)
    for t, n_steps, message in [
        (-1.0, 0, "[OutOfDomain] n_steps must be >= 1"),  # n_steps first
        (math.nan, 10, "[OutOfDomain] t must be finite and >= 0"),
        (math.inf, 10, "[OutOfDomain] t must be finite and >= 0"),
        (-1e-300, 10, "[OutOfDomain] t must be finite and >= 0"),
    ]:
        with pytest.raises(QuorvaneError) as e:
            obj.evolve(t, n_steps=n_steps)
        assert str(e.value) == message
    with pytest.raises(TypeError, match="t"):
        obj.evolve("1")
    obj.evolve(-0.0)
    # tau = 0 returns u read at its own nodes; the second-order step reads them through the
    # interpolant (node position recomputed), so 100 steps may move them by rounding
    np.testing.assert_allclose(obj.values(), u0, rtol=0, atol=1e-13)
    obj = cls(0.0, 1.0, 11, u0)
    v = obj.values()
    v[:] = 7.0
    np.testing.assert_array_equal(obj.values(), u0)


# --- CFL at the exact thresholds ----------------------------------------------------------

def e3(x):
    """Rust's "{:.3e}": 5.000e-3 (no '+', no zero padding of the exponent)."""
    mant, exp = f"{x:.3e}".split("e")
    return f"{mant}e{int(exp)}"


def cfl_message(tau, dx2):
    return (f"[CflViolated] CFL violated for truncated-exp K=4: tau = {e3(tau)}, dx\u00b2 = {e3(dx2)}, "
            f"\u2016a\u2016_\u221e = 1.000e0 (need 2\u00b7tau\u00b7\u2016a\u2016_\u221e < dx\u00b2)")


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("n", [5, 11, 37])
def test_cfl_threshold_both_sides(cls, n):
    dx = (1.0 - 0.0) / (n - 1)
    dx2 = dx * dx
    # equality fails: 2*tau == dx^2 (resp. 8*tau == 3*dx^2) exactly in floating point
    tau_eq = dx2 / 2.0 if cls is TruncatedExp1D else (dx2 * 3.0) / 8.0
    u0 = np.cos(np.pi * np.linspace(0.0, 1.0, n))
    obj = cls(0.0, 1.0, n, u0)
    with pytest.raises(QuorvaneError) as e:
        obj.evolve(tau_eq, n_steps=1)
    assert str(e.value) == cfl_message(tau_eq, dx2)  # one text for both stencils
    np.testing.assert_array_equal(obj.values(), u0)
    obj.evolve(np.nextafter(tau_eq, 0.0), n_steps=1)
    assert np.all(np.isfinite(obj.values()))
    assert not np.array_equal(obj.values(), u0)


# --- the step against its own discrete operator --------------------------------------------

@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("policy", POLICIES)
def test_steps_are_the_quartic_taylor_polynomial_of_the_operator(cls, policy):
    n = 13
    x = np.linspace(0.0, 1.0, n)
    dx = x[1] - x[0]
    op = stencil_operator(cls, policy, n, dx)
    rng = np.random.default_rng(7)
    u0 = rng.standard_normal(n)  # all modes, up to the checkerboard
    tau = 0.9 * cfl_limit(cls, dx)
    a = tau * op
    step = np.eye(n) + a + a @ a / 2 + a @ a @ a / 6 + a @ a @ a @ a / 24
    obj = cls(0.0, 1.0, n, u0, boundary=policy)
    obj.evolve(5 * tau, n_steps=5)
    expected = np.linalg.matrix_power(step, 5) @ u0
    # rounding of 20 stencil applications (entries up to 16/(3 dx^2) * tau < 2) on O(1) data
    np.testing.assert_allclose(obj.values(), expected, rtol=0, atol=1e-12)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("policy", POLICIES)
def test_temporal_order_four_against_expm(cls, policy):
    n = 21
    x = np.linspace(0.0, 1.0, n)
    dx = x[1] - x[0]
    op = stencil_operator(cls, policy, n, dx)
    u0 = np.cos(np.pi * x) + 0.5 * np.cos(3 * np.pi * x) + 0.2 * x
    t = 0.01
    exact = expm(t * op) @ u0
    errors = []
    for n_steps in (20, 40, 80, 160):  # tau from 0.8 of the 2nd-order limit down
        obj = cls(0.0, 1.0, n, u0, boundary=policy)
        obj.evolve(t, n_steps=n_steps)
        errors.append(np.max(np.abs(obj.values() - exact)))
    orders = np.log2(np.array(errors[:-1]) / np.array(errors[1:]))
    # quartic series: local error O(tau^5), global O(tau^4)
    assert np.all(orders > 3.7) and np.all(orders < 4.3), (errors, orders)


@pytest.mark.parametrize("cls, order", [(TruncatedExp1D, 2), (TruncatedExp4th1D, 4)])
def test_spatial_order_on_cosine_mode(cls, order):
    # exact solution under "reflect": exp(-pi^2 t) cos(pi x); tau well inside the
    # limit, so the O(tau^4) part stays far below the stencil error
    t = 0.05
    errors = []
    grids = (11, 21, 41) if cls is TruncatedExp4th1D else (11, 21, 41, 81)
    for n in grids:
        x = np.linspace(0.0, 1.0, n)
        dx = x[1] - x[0]
        n_steps = math.ceil(t / (0.5 * cfl_limit(cls, dx)))
        obj = cls(0.0, 1.0, n, np.cos(np.pi * x))
        obj.evolve(t, n_steps=n_steps)
        errors.append(np.max(np.abs(obj.values() - np.exp(-np.pi**2 * t) * np.cos(np.pi * x))))
    orders = np.log2(np.array(errors[:-1]) / np.array(errors[1:]))
    assert np.all(np.abs(orders - order) < 0.15), (errors, orders)


@pytest.mark.parametrize("cls", CLASSES)
def test_overflowing_series_is_refused_and_state_kept(cls):
    u0 = np.array([1e300, -1e300] * 5 + [1e300])
    obj = cls(0.0, 1.0, 11, u0)
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] truncated-exp step: result is not finite: "):
        obj.evolve(1e-4, n_steps=2)
    np.testing.assert_array_equal(obj.values(), u0)


def test_fourth_order_tau_zero_is_exact_and_clears_negative_zero():
    u0 = np.array([-0.0, 1.5, -2.0, 0.25, 3.0])
    obj = TruncatedExp4th1D(0.0, 1.0, 5, u0)
    obj.evolve(0.0, n_steps=3)
    v = obj.values()
    np.testing.assert_array_equal(v, u0)
    assert not np.signbit(v[0])
