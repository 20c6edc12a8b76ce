"""DiffusionExpmv1D: the exponential action of the zero-flux diffusion operator against scipy.linalg.expm,
the refusal of steps beyond the application cap, the overflow refusal and the closure's spatial order."""

import math
import re

import numpy as np
import pytest
from scipy.linalg import expm

from conftest import EVOLVE, SELF, U0_ERRORS, check_evolve_contract, check_surface, error_text, raises_exact
from quorvane import DiffusionExpmv1D, QuorvaneError

TOO_LARGE = ("[OutOfDomain] DiffusionExpmvChernoff: tau * op_norm_bound too large: a step would need "
             "more than 10000000 operator applications (use more steps)")


def zero_flux_operator(n, dx):
    op = np.diag(np.full(n, -2.0)) + np.diag(np.ones(n - 1), 1) + np.diag(np.ones(n - 1), -1)
    op[0, 0] = op[-1, -1] = -1.0  # ghost = end value: (b1 - b0) - (b0 - b0)
    return op / dx**2


@pytest.mark.parametrize("tau_rho, n_steps", [(0.3, 1), (10.0, 1), (400.0, 1), (400.0, 17), (40.0, 100)])
def test_evolve_is_expm_of_the_zero_flux_operator_for_every_policy_and_split(tau_rho, n_steps):
    x = np.linspace(-1.0, 2.0, 24)
    u0 = np.random.default_rng(3).standard_normal(24)
    t = n_steps * tau_rho / (4.0 / (x[1] - x[0]) ** 2)
    expected = expm(t * zero_flux_operator(24, x[1] - x[0])) @ u0
    results = []
    for policy in ["reflect", "zero", "periodic", "linear"]:
        obj = DiffusionExpmv1D(-1.0, 2.0, 24, u0, boundary=policy)
        obj.evolve(t, n_steps=n_steps)
        results.append(obj.values().tobytes())
    assert len(set(results)) == 1  # the boundary option is not consulted
    # backward-stable Taylor pieces, no O(tau^p) term: rounding only (up to ~100 pieces per step on O(1) data)
    np.testing.assert_allclose(np.frombuffer(results[0]), expected, rtol=0, atol=1e-12)


def test_spatial_order_of_the_zero_flux_closure():
    # The ghost "end value" puts the reflecting walls at xmin - dx/2 and
    # xmax + dx/2: against those walls the error is O(dx^2).
    t, errors = 0.05, []
    for n in (11, 21, 41, 81):
        dx = 1.0 / (n - 1)
        length = 1.0 + dx
        u0 = np.cos(np.pi * (np.linspace(0.0, 1.0, n) + dx / 2) / length)
        obj = DiffusionExpmv1D(0.0, 1.0, n, u0)
        obj.evolve(t, n_steps=1)
        errors.append(np.max(np.abs(obj.values() - np.exp(-np.pi**2 * t / length**2) * u0)))
    orders = np.log2(np.array(errors[:-1]) / np.array(errors[1:]))
    # the domain length 1 + dx also moves with dx, so the ratios approach 4 from below
    assert np.all(orders > 1.75) and orders[-1] > 1.9, (errors, orders)


def test_application_cap_at_its_exact_threshold():
    # n = 4 on [0, 1]: rho = 4/dx^2 = 36. For large tau*rho degree 30 is the cheapest
    # (30/3.54 per unit), so the cap allows s = 333333 pieces: ceil(tau*rho/3.54) <= 333333.
    rho, s_max = 36.0, 10_000_000 // 30
    tau = s_max * 3.54 / rho
    while math.ceil((tau * rho) / 3.54) > s_max:
        tau = np.nextafter(tau, 0.0)
    while math.ceil((np.nextafter(tau, math.inf) * rho) / 3.54) <= s_max:
        tau = np.nextafter(tau, math.inf)
    u0 = np.array([1.0, 0.0, 0.0, 2.0])
    refused = DiffusionExpmv1D(0.0, 1.0, 4, u0)
    above = float(np.nextafter(tau, math.inf))
    text = error_text(refused.evolve, above, n_steps=1)
    # The bound named is the threshold to four digits down; two steps of the refused one pass.
    named = re.fullmatch(re.escape(TOO_LARGE) + r"; DiffusionExpmv1D: tau = t/n_steps = \S+ exceeds the largest "
                         r"admissible tau = (\S+) on this grid \(dx = 3.333e-1\); use n_steps >= 2 for t = (\S+)", text)
    assert named and tau * (1 - 1e-3) <= float(named.group(1)) <= tau and float(named.group(2)) == above, text
    np.testing.assert_array_equal(refused.values(), u0)
    accepted = DiffusionExpmv1D(0.0, 1.0, 4, u0)
    accepted.evolve(float(tau), n_steps=1)  # 9999990 applications on 4 nodes
    # long past equilibration: the mean, up to the rounding of 1e7 applications
    np.testing.assert_allclose(accepted.values(), u0.mean(), rtol=0, atol=1e-9)


@pytest.mark.parametrize("tau_rho", [2e6, 1e12, 1e15])
def test_steps_beyond_the_cap_are_refused(tau_rho):
    # 2e6: ~1.7e7 applications. By the selection rule alone 1e12 would clip the
    # sub-step count to 2^32 - 1 (degree 7, pieces far outside their Taylor range:
    # overflow), and beyond 3.54e14 no pair fits (one degree-30 polynomial: NaN).
    u0 = np.cos(np.pi * np.linspace(0.0, 1.0, 32))
    obj = DiffusionExpmv1D(0.0, 1.0, 32, u0)
    t = tau_rho / (4.0 * 31**2)
    assert error_text(obj.evolve, t, n_steps=1).startswith(f"{TOO_LARGE}; DiffusionExpmv1D: tau = t/n_steps = ")
    np.testing.assert_array_equal(obj.values(), u0)
    if tau_rho < 1e7:
        obj.evolve(t, n_steps=4)  # more steps pass under the cap
        np.testing.assert_allclose(obj.values(), 0.0, atol=1e-12)  # mean of cos(pi x) on the nodes is 0


def test_evolve_contract_overflow_and_surface():
    u0 = np.array([1e308, -1e308, 1e308, -1e308, 1e308])  # differences overflow in any real step
    obj = DiffusionExpmv1D(0.0, 1.0, 5, u0)
    check_evolve_contract(obj, zero_atol=0.0)  # every zero step copies, bit for bit
    # The step is linear and its result a double: it is served as the step of u0 2^-900 scaled back.
    obj.evolve(1e-3, n_steps=1)
    small = DiffusionExpmv1D(0.0, 1.0, 5, u0 * 2.0**-900)
    small.evolve(1e-3, n_steps=1)
    assert obj.values().tobytes() == (small.values() * 2.0**900).tobytes()
    check_surface(DiffusionExpmv1D, '(xmin, xmax, n, u0, *, boundary="reflect")', evolve=EVOLVE, order=SELF,
                  values=SELF)
    assert obj.order() == 2**32 - 1


@pytest.mark.parametrize("args, kwargs, exc, message", U0_ERRORS)
def test_construction_errors(args, kwargs, exc, message):
    raises_exact(exc, message, DiffusionExpmv1D, *args, **kwargs)
