"""Strang1D: advection-diffusion by D(tau/2) R(tau) D(tau/2) against the exact advected Gaussian."""

import math

import numpy as np
import pytest

import quorvane as q
from conftest import EVOLVE, SELF, U0_ERRORS, check_evolve_contract, check_surface, raises_exact
from quorvane import QuorvaneError, Strang1D


def advected_gauss(x, t, b):
    # u_t = u_xx + b u_x from exp(-x^2/2): the spread Gaussian read at x + b t.
    v = 1.0 + 2.0 * t
    return np.exp(-((x + b * t) ** 2) / (2.0 * v)) / np.sqrt(v)


@pytest.mark.parametrize("b", [0.5, -0.8])
def test_second_order_against_the_advected_gaussian(b):
    x = np.linspace(-20.0, 20.0, 801)
    errors = []
    for steps in [4, 8, 16, 32]:
        s = Strang1D(-20.0, 20.0, 801, advected_gauss(x, 0.0, 0.0), b=b)
        s.evolve(1.0, n_steps=steps)
        errors.append(np.max(np.abs(s.values() - advected_gauss(x, 1.0, b))))
    # Measured 2.3, 2.1, 2.0: the heat rule's tau^3 local error, nothing from the splitting
    # (constant b commutes with diffusion); interpolation (dx = 0.05) stays near 1e-12.
    assert [math.log2(errors[k] / errors[k + 1]) for k in range(3)] == pytest.approx([2.0] * 3, abs=0.35)
    assert errors[-1] < 5e-6


def test_without_drift_it_is_heat_at_half_steps_and_defaults():
    # b = 0: each Strang step is two heat half steps, so n Strang steps equal
    # 2n Heat1D steps of tau/2 (up to the rounding of resampling at the nodes).
    x = np.linspace(-6.0, 6.0, 121)
    s = Strang1D(-6.0, 6.0, 121, np.exp(-(x ** 2)), b=0.0, boundary="zero")
    h = q.Heat1D(-6.0, 6.0, 121, np.exp(-(x ** 2)), boundary="zero")
    s.evolve(0.4, n_steps=10)
    h.evolve(0.4, n_steps=20)
    assert np.max(np.abs(s.values() - h.values())) < 1e-14
    s, ref = Strang1D(-6.0, 6.0, 121, h.values()), Strang1D(-6.0, 6.0, 121, h.values(), b=0.5, boundary="reflect")
    s.evolve(0.3)
    ref.evolve(0.3, n_steps=100)
    assert np.array_equal(s.values(), ref.values()) and s.order() == 2


@pytest.mark.parametrize("b", [math.nan, math.inf])
def test_non_finite_drift_fails_in_evolve_and_keeps_values(b):
    u0 = np.linspace(0.0, 1.0, 21)
    s = Strang1D(0.0, 1.0, 21, u0, b=b)  # b itself is not checked
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] "):
        s.evolve(0.1, n_steps=3)
    assert np.array_equal(s.values(), u0)


@pytest.mark.parametrize("args, kwargs, exc, message", U0_ERRORS)
def test_constructor_errors(args, kwargs, exc, message):
    raises_exact(exc, message, Strang1D, *args, **kwargs)


def test_evolve_contract_and_surface():
    # 100 zero steps each resample u three times at the nodes: a few ulps each.
    check_evolve_contract(Strang1D(-4.0, 4.0, 41, np.exp(-np.linspace(-4.0, 4.0, 41) ** 2)))
    check_surface(Strang1D, '(xmin, xmax, n, u0, *, b=0.5, boundary="reflect")', evolve=EVOLVE, order=SELF,
                  values=SELF)
