"""TruncatedExp1D and TruncatedExp4th1D: n steps converge to expm(t L) at fourth order, L the three- or
five-point stencil built here with each boundary policy's ghosts; the CFL limits at their exact thresholds."""

import numpy as np
import pytest
from scipy.linalg import expm

from conftest import EVOLVE, SELF, U0_ERRORS, check_evolve_contract, check_surface, error_text, raises_exact
from quorvane import QuorvaneError, TruncatedExp1D, TruncatedExp4th1D

CLASSES = [TruncatedExp1D, TruncatedExp4th1D]


def ghost(policy, n, j):
    """Coefficients expressing the value at node index j (any integer) in the n node values."""
    row = np.zeros(n)
    if 0 <= j < n:
        row[j] = 1.0
    elif policy == "reflect":
        m = j % (2 * n - 2)
        row[m if m < n else 2 * n - 2 - m] = 1.0
    elif policy == "periodic":
        row[j % n] = 1.0
    elif policy == "linear":  # second-order one-sided slope, continued linearly k nodes beyond the end
        k = -j if j < 0 else j - (n - 1)
        row[[0, 1, 2] if j < 0 else [n - 1, n - 2, n - 3]] = [1 + 1.5 * k, -2.0 * k, 0.5 * k]
    return row  # "zero": all zeros


def stencil_operator(cls, policy, n, dx):
    weights = {-1: 1.0, 0: -2.0, 1: 1.0} if cls is TruncatedExp1D else \
        {-2: -1 / 12, -1: 16 / 12, 0: -30 / 12, 1: 16 / 12, 2: -1 / 12}
    return np.array([sum(w * ghost(policy, n, i + k) for k, w in weights.items()) for i in range(n)]) / dx**2


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("policy", ["reflect", "zero", "periodic", "linear"])
def test_temporal_order_four_against_expm(cls, policy):
    x = np.linspace(0.0, 1.0, 21)
    u0 = np.cos(np.pi * x) + 0.5 * np.cos(3 * np.pi * x) + 0.2 * x
    exact = expm(0.01 * stencil_operator(cls, policy, 21, x[1])) @ u0
    errors = []
    for n_steps in (20, 40, 80, 160):  # tau from 0.8 of the 2nd-order limit down
        obj = cls(0.0, 1.0, 21, u0, boundary=policy)
        obj.evolve(0.01, n_steps=n_steps)
        errors.append(np.max(np.abs(obj.values() - exact)))
    orders = np.log2(np.array(errors[:-1]) / np.array(errors[1:]))
    # quartic series: local error O(tau^5), global O(tau^4)
    assert np.all(orders > 3.7) and np.all(orders < 4.3), (errors, orders)


def e3(x):
    """The "{:.3e}" text: 5.000e-3 (no '+', no zero padding of the exponent)."""
    mant, exp = f"{x:.3e}".split("e")
    return f"{mant}e{int(exp)}"


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("n", [5, 11, 37])
def test_cfl_threshold_both_sides(cls, n):
    dx2 = (1.0 / (n - 1)) ** 2
    # equality fails: 2*tau == dx^2 (resp. 8*tau == 3*dx^2) exactly in floating point
    tau_eq = dx2 / 2.0 if cls is TruncatedExp1D else (dx2 * 3.0) / 8.0
    u0 = np.cos(np.pi * np.linspace(0.0, 1.0, n))
    obj = cls(0.0, 1.0, n, u0)
    text = error_text(obj.evolve, tau_eq, n_steps=1)
    # One fixed text for both stencils, its numbers stating each stencil's own condition (the
    # five-point one shows 3 dx^2 / 4 as dx^2, and says so), then what passes.
    fourth = cls is TruncatedExp4th1D
    assert text.startswith(f"[CflViolated] CFL violated for truncated-exp K=4: tau = {e3(tau_eq)}, dx\u00b2 = "
                           f"{e3(0.75 * dx2 if fourth else dx2)}, \u2016a\u2016_\u221e = 1.000e0 (need "
                           f"2\u00b7tau\u00b7\u2016a\u2016_\u221e < dx\u00b2); "
                           + (f"the dx\u00b2 shown is 3/4 of this grid's, {e3(dx2)}: this five-point stencil needs "
                              f"8\u00b7tau\u00b7\u2016a\u2016_\u221e < 3\u00b7dx\u00b2; " if fourth else "")
                           + f"{cls.__name__}: tau = t/n_steps = "), text
    assert text.endswith(f"; use n_steps >= 2 for t = {tau_eq!r}"), text
    np.testing.assert_array_equal(obj.values(), u0)
    obj.evolve(np.nextafter(tau_eq, 0.0), n_steps=1)
    assert np.all(np.isfinite(obj.values())) and not np.array_equal(obj.values(), u0)


# The series is formed on a grid of unit spacing: a length scale changes no bit for powers of
# two and agrees to rounding otherwise, from spacings near 1e-76 (where (4/dx^2)^4 alone leaves
# the doubles) to 1e45, at the largest step the gate admits; the alternating data decay as on
# the unit grid, and every gate's verdict is the unit grid's.
@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("scale, rtol", [(2.0 ** -250, 0.0), (2.0 ** 134, 0.0), (1e-75, 1e-13), (1e45, 1e-13)])
def test_series_on_a_tiny_or_huge_spacing_is_the_unit_grid_series(cls, scale, rtol):
    u0 = np.array([1e300, -1e300] * 5 + [1e300])
    tau = 0.99 * (0.375 if cls is TruncatedExp4th1D else 0.5) * 0.01  # just inside the gate, dx = 0.1
    ref, obj = cls(0.0, 1.0, 11, u0), cls(0.0, scale, 11, u0)
    for n_steps in (1, 3):
        ref.evolve(tau * n_steps, n_steps=n_steps)
        obj.evolve(tau * n_steps * scale * scale, n_steps=n_steps)
        np.testing.assert_allclose(obj.values(), ref.values(), rtol=rtol, atol=rtol * 1e300)
    assert np.max(np.abs(ref.values())) < 1e300  # the alternation decays
    for o, s in ((cls(0.0, 1.0, 11, u0), 1.0), (cls(0.0, scale, 11, u0), scale)):
        with pytest.raises(QuorvaneError, match=r"^\[CflViolated\]"):
            o.evolve(1.02 * tau * s * s / 0.99, n_steps=1)


# Finite data whose series overflows inside a step (L^4 u = (-400)^4 u here, 2^996 = 6.7e299)
# while the flow keeps max|u| <= max|u0|: the values are stepped again scaled down by a power of
# two, exact for the linear step, so the result is 2^996 times the result of the unit data, bit
# for bit.
@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("tau, n_steps", [(5e-5, 1), (1e-3, 3)])
def test_series_overflowing_inside_gives_the_scaled_result(cls, tau, n_steps):
    unit = np.array([1.0, -1.0] * 5 + [1.0])
    big, ref = cls(0.0, 1.0, 11, np.ldexp(unit, 996)), cls(0.0, 1.0, 11, unit)
    big.evolve(tau * n_steps, n_steps=n_steps)
    ref.evolve(tau * n_steps, n_steps=n_steps)
    np.testing.assert_array_equal(big.values(), np.ldexp(ref.values(), 996))
    assert np.max(np.abs(ref.values())) < 1.0  # the alternation decays


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("args, kwargs, exc, message", U0_ERRORS)
def test_construction_errors(cls, args, kwargs, exc, message):
    raises_exact(exc, message, cls, *args, **kwargs)


@pytest.mark.parametrize("cls", CLASSES)
def test_evolve_contract_and_surface(cls):
    # t = 0 reads u at its own nodes; the second-order step reads them through
    # the interpolant (node position recomputed), so 100 steps may move them by rounding.
    check_evolve_contract(cls(0.0, 1.0, 11, np.linspace(0.0, 1.0, 11) ** 2), zero_atol=1e-13)
    check_surface(cls, '(xmin, xmax, n, u0, *, boundary="reflect")', evolve=EVOLVE, order=SELF, values=SELF)
    order = cls(0.0, 1.0, 4, [1.0, 2.0, 3.0, 4.0]).order()
    assert order == 2 and type(order) is int


def test_fourth_order_tau_zero_is_exact_and_clears_negative_zero():
    u0 = np.array([-0.0, 1.5, -2.0, 0.25, 3.0])
    obj = TruncatedExp4th1D(0.0, 1.0, 5, u0)
    obj.evolve(0.0, n_steps=3)
    np.testing.assert_array_equal(obj.values(), u0)
    assert not np.signbit(obj.values()[0])
