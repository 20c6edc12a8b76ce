"""Adjoint: the dual evolution of the five 1-D kernels. The reversed drift transports the other
way; on a periodic grid every adjoint step is the transpose of the forward step."""

import math

import numpy as np
import pytest

from conftest import EVOLVE, GRID_ERRORS, N_STEPS, NONFINITE, SELF, U4, XMIN_LT, check_surface, error_text, \
    raises_exact
from quorvane import Adjoint, QuorvaneError

KERNELS = ["heat2", "heat4", "heat6", "drift", "shift"]
POSITIVE_T = "[OutOfDomain] t must be finite and > 0"


@pytest.mark.parametrize("self_adjoint, direction", [(True, 1.0), (False, -1.0)])
def test_drift_follows_or_reverses_the_characteristic(self_adjoint, direction):
    # Forward transport of du/dt = 0.5 du/dx gives u0(x + t/2); its adjoint -0.5 d/dx gives u0(x - t/2).
    x = np.linspace(-10.0, 10.0, 401)
    a = Adjoint(-10.0, 10.0, 401, np.exp(-(x ** 2)), kernel="drift", self_adjoint=self_adjoint, boundary="zero")
    out = a.evolve(2.0, n_steps=20)
    # Constant drift makes the feet exact; the septic interpolation (dx = 0.05) leaves well under 1e-7.
    assert np.max(np.abs(out - np.exp(-((x + direction) ** 2)))) < 1e-7
    assert np.array_equal(out, a.values()) and a.is_self_adjoint() is self_adjoint


def step_matrix(kernel, self_adjoint, n, tau):
    return np.array([Adjoint(0.0, 1.0, n, np.eye(n)[j], kernel=kernel, self_adjoint=self_adjoint,
                             boundary="periodic").evolve(tau, n_steps=1) for j in range(n)]).T


@pytest.mark.parametrize("kernel", KERNELS)
def test_adjoint_step_is_the_transpose_on_a_periodic_grid(kernel):
    # Periodic grid, constant coefficients: each step is a circulant of interpolation
    # weights at the feet; the adjoint mirrors the feet, which for the symmetric
    # interpolant transposes the circulant.
    forward, adjoint = step_matrix(kernel, True, 24, 4e-4), step_matrix(kernel, False, 24, 4e-4)
    assert np.max(np.abs(adjoint - forward.T)) < 1e-13  # feet rounded in x move each weight by about ulp/dx
    u, v = np.random.default_rng(7).standard_normal((2, 24))
    assert (adjoint @ v) @ u == pytest.approx(v @ (forward @ u), abs=1e-12)
    if kernel == "drift":  # the drift step really moves values (it is not its own transpose)
        assert np.max(np.abs(forward - forward.T)) > 1e-3


@pytest.mark.parametrize("kernel", KERNELS)
def test_orders_flags_and_failures_keep_values(kernel):
    u0 = np.linspace(0.0, 1.0, 8)
    a = Adjoint(0.0, 1.0, 8, u0, kernel=kernel)
    assert a.order() == (1 if kernel == "shift" else 2) and len(a) == 8
    assert a.is_self_adjoint() is (kernel != "drift")
    assert Adjoint(0.0, 1.0, 8, u0, kernel=kernel, self_adjoint=True).is_self_adjoint() is True
    for t, n_steps, message in [(0.0, 100, POSITIVE_T), (-0.0, 100, POSITIVE_T), (math.nan, 0, N_STEPS)]:
        assert error_text(a.evolve, t, n_steps=n_steps) == message
    assert np.array_equal(a.values(), u0)
    out = a.evolve(5e-324, n_steps=1)  # a positive subnormal t passes
    out[:] = 3.0
    assert a.values()[0] != 3.0


@pytest.mark.parametrize("args, kwargs, exc, message", GRID_ERRORS + [
    ((0.0, 1.0, 4, "abcd"), {}, QuorvaneError, "[GridMismatch] u0 must be numpy.ndarray[float64]"),
    ((1.0, 0.0, 4, U4), {"kernel": "nope"}, QuorvaneError, XMIN_LT),  # the grid before the kernel
    ((0.0, 1.0, 4, [1.0, math.nan, 1.0, 1.0]), {}, QuorvaneError, NONFINITE + "NaN"),
    ((0.0, 1.0, 4, U4), {"kernel": "Heat2"}, QuorvaneError,
     "[OutOfDomain] unknown kernel 'Heat2'; expected heat2|heat4|heat6|drift|shift"),
])
def test_constructor_errors(args, kwargs, exc, message):
    raises_exact(exc, message, Adjoint, *args, **kwargs)


def test_surface():
    check_surface(Adjoint, '(xmin, xmax, n, u0, *, kernel="heat2", self_adjoint=False, boundary="reflect")',
                  evolve=EVOLVE, order=SELF, is_self_adjoint=SELF, values=SELF)
