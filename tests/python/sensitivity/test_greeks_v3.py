"""EvolverHeat1DGreeksV3: value, delta and gamma against the exact Gaussian
(order 2 in the step) and against differences in scale_theta; t = 0 and
theta = 0; messages, and failed calls keep the state."""
import math

import numpy as np
import pytest

import quorvane as q
from conftest import U0_TYPE, check_surface, error_text, raises_exact
from quorvane import QuorvaneError

S, L = 1.0, 8.0  # initial width, far inside [-L, L]


def gaussian_greeks(x, theta, t):
    # u = S/sqrt(v) exp(-x^2/(2v)), v = S^2 + 2 theta t; dv/dtheta = 2t.
    v = S * S + 2 * theta * t
    u = S / np.sqrt(v) * np.exp(-x * x / (2 * v))
    a = -1 / (2 * v) + x * x / (2 * v * v)
    return u, 2 * t * u * a, 4 * t * t * u * (a * a + 1 / (2 * v * v) - x * x / v ** 3)


def make(n_chernoff, theta=0.5, n=401):
    x = np.linspace(-L, L, n)
    return x, q.EvolverHeat1DGreeksV3(-L, L, n, np.exp(-x * x / (2 * S * S)), n_chernoff, scale_theta=theta)


def test_surface():
    check_surface(q.EvolverHeat1DGreeksV3, "(domain_lo, domain_hi, n_grid, u0, n_chernoff, scale_theta=0.5)",
                  greeks="($self, t)", size="($self)", n_chernoff="($self)")


def test_second_order_against_exact_gaussian():
    theta, t = 0.7, 0.1
    errs = []
    for m in (4, 8, 16):
        x, g = make(m, theta)
        exact = gaussian_greeks(x, theta, t)
        errs.append([np.max(np.abs(a - b)) for a, b in zip(g.greeks(t), exact)])
    errs = np.array(errs)
    ratios = errs[:-1] / errs[1:]
    # Halving the step divides each error by about 4.
    assert np.all((ratios > 3.9) & (ratios < 4.4)), ratios
    assert np.all(errs[-1] < [5e-7, 2e-6, 4e-6]), errs[-1]


def test_delta_and_gamma_match_differences_in_theta():
    theta, t, h = 0.7, 0.05, 1e-4
    _, g = make(5, theta, n=201)
    value, delta, gamma = g.greeks(t)
    vp, dp, _ = make(5, theta + h, n=201)[1].greeks(t)
    vm, dm, _ = make(5, theta - h, n=201)[1].greeks(t)
    # Central differences: truncation ~h^2 |d3u/dtheta3| ~ 1e-8.
    assert np.max(np.abs(delta - (vp - vm) / (2 * h))) < 1e-7 * np.max(np.abs(delta))
    assert np.max(np.abs(gamma - (dp - dm) / (2 * h))) < 1e-7 * np.max(np.abs(gamma))
    # The state moved on to the value; the next call starts there.
    v2, _, _ = g.greeks(t)
    # (two calls of 5 steps of t/5 are 10 steps of 2t/10)
    assert np.allclose(make(10, theta, n=201)[1].greeks(2 * t)[0], v2, rtol=0, atol=1e-14)


def test_zero_time_and_zero_theta():
    x, g = make(3, 0.0, n=21)
    u0 = np.exp(-x * x / (2 * S * S))
    value, delta, gamma = g.greeks(0.0)
    assert np.array_equal(value, u0) and not delta.any() and not gamma.any()
    g.greeks(-0.0)
    message = error_text(g.greeks, 0.1)
    assert message.startswith("[OutOfDomain] scale_theta must be > 0 for t > 0")
    assert np.array_equal(g.greeks(0.0)[0], u0)  # the refused call kept the state
    _, g = make(3, 0.4, n=21)
    value, delta, gamma = g.greeks(0.0)
    assert np.array_equal(value, u0) and not delta.any() and not gamma.any()


ELLIPTIC = "[OutOfDomain] a(x) must be finite and >= 0 (strict ellipticity required for sqrt)"


@pytest.mark.parametrize("t", [-1.0, math.nan, math.inf])
def test_failed_greeks_keep_the_state(t):
    _, g = make(3, n=21)
    g.greeks(0.01)
    before = g.greeks(0.0)[0]
    raises_exact(QuorvaneError, "[OutOfDomain] t must be finite and >= 0", g.greeks, t)
    assert np.array_equal(g.greeks(0.0)[0], before)


def test_negative_theta_refused_at_every_call():
    _, g = make(3, -0.1, n=21)
    for t in (0.1, 0.0):
        raises_exact(QuorvaneError, ELLIPTIC, g.greeks, t)


def test_length_checked_by_greeks():
    g = q.EvolverHeat1DGreeksV3(0.0, 1.0, 4, [1.0] * 5, 2)
    assert (g.size(), g.n_chernoff()) == (5, 2)
    raises_exact(QuorvaneError, "[GridMismatch] values.len() must equal grid.n", g.greeks, 0.1)


@pytest.mark.parametrize("args, exc, message", [
    ((0.0, 1.0, 4, [1.0, math.nan, 0.0, 0.0], 2), QuorvaneError, "[NanInf] u0 contains NaN or Inf: NaN"),
    ((0.0, 1.0, 4, [1.0] * 4, 2, math.nan), QuorvaneError, "[NanInf] scale_theta must be finite: NaN"),
    ((0.0, 1.0, 4, [1.0] * 4, 0), QuorvaneError, "[OutOfDomain] n_chernoff must be >= 1"),
    ((0.0, 1.0, 3, [1.0] * 3, 0, math.nan), QuorvaneError, "[NanInf] scale_theta must be finite: NaN"),
    ((0.0, 1.0, 3, [1.0] * 3, 1), QuorvaneError, "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
    ((1.0, 1.0, 4, [1.0] * 4, 1), QuorvaneError, "[GridMismatch] xmin must be < xmax"),
    ((0.0, 1.0, 4, "abcd", 1), TypeError, U0_TYPE),
])
def test_construction_errors(args, exc, message):
    raises_exact(exc, message, q.EvolverHeat1DGreeksV3, *args)
