"""AdaptivePI: the tolerance met on an exact cosine mode, exact steps at full size, non-finite steps refused."""

import math
import re
import time

import numpy as np
import pytest

from conftest import GRID_ERRORS, N_GE4, NONFINITE, U4, check_surface, error_text, raises_exact
from quorvane import AdaptivePI, QuorvaneError

N = 101
COS = np.cos(np.pi * np.linspace(0.0, 1.0, N))
REJECTED = "[ConvergenceFailed] adaptive PI: step rejected after "


@pytest.mark.parametrize("kernel, diffusion", [("heat2", 1.0), ("heat4", 1.0), ("heat6", 1.0), ("shift", 0.5)])
def test_cosine_mode_meets_the_tolerance(kernel, diffusion):
    exact = math.exp(-math.pi ** 2 * diffusion * 0.05) * COS  # a reflecting cosine mode decays as exp(-pi^2 D t)
    errors = []
    for tol in [1e-4, 1e-6, 1e-8]:
        errors.append(np.max(np.abs(AdaptivePI(0.0, 1.0, N, COS, kernel=kernel, tol_abs=tol, tol_rel=0.0)
                                    .evolve(0.05) - exact)))
        # Each substep's local error is held below tol; the global error sums them over a
        # few dozen substeps (second-order kernels; the first-order shift takes many more).
        assert kernel == "shift" or errors[-1] < 50 * tol
    assert errors[0] / errors[1] > 5 and errors[1] / errors[2] > 5  # the tolerance is obeyed at all
    # defaults tol_abs 1e-6, tol_rel 1e-4: the error stays at the relative tolerance's level
    assert np.max(np.abs(AdaptivePI(0.0, 1.0, N, COS).evolve(0.02) - math.exp(-math.pi ** 2 * 0.02) * COS)) < 1e-4


@pytest.mark.parametrize("level", [0.0, 3.0])
@pytest.mark.parametrize("tol_abs", [1e-6, 0.0])
def test_constant_states_are_accepted_at_full_size(level, tol_abs):
    # The step-doubling difference of a constant state is exactly 0: the stored
    # error is floored, so steps grow (5x each) instead of shrinking to 0.2 tau
    # until the 100000-substep limit.
    a = AdaptivePI(0.0, 1.0, 4001, np.full(4001, level), tol_abs=tol_abs)
    start = time.perf_counter()
    out = a.evolve(100.0)
    assert time.perf_counter() - start < 1.0  # a handful of substeps take milliseconds; the limit, seconds
    assert np.max(np.abs(out - level)) < 1e-12


def test_non_finite_steps_are_rejected_not_returned():
    # c = 1e308 overflows every step at first; such steps are rejected and shrink
    # the step until it underflows, which ends the call quickly.
    n, u0 = 41, np.cos(np.pi * np.linspace(0.0, 1.0, 41))
    a = AdaptivePI.with_arrays(0.0, 1.0, n, np.full(n, 0.5), np.zeros(n), np.full(n, 1e308), 1e308, u0)
    start = time.perf_counter()
    text = error_text(a.evolve, 1.0)
    assert time.perf_counter() - start < 2.0
    assert text.startswith(REJECTED) and text.endswith("(increase tol_rel/tol_abs or reduce t)")
    # The substep limit ends the same way.
    assert error_text(AdaptivePI(0.0, 1.0, n, u0, tol_abs=-1.0, tol_rel=0.0).evolve, 0.1).startswith(REJECTED)


def test_with_constant_arrays_matches_the_shift_kernel():
    u0 = np.cos(np.pi * np.linspace(0.0, 1.0, 41))
    arrays = AdaptivePI.with_arrays(0.0, 1.0, 41, [0.5] * 41, np.zeros(41), np.zeros(41), 0.0, u0)
    named = AdaptivePI(0.0, 1.0, 41, u0, kernel="shift")
    # Catmull-Rom of constant samples reproduces the constant up to rounding.
    assert np.max(np.abs(arrays.evolve(0.05) - named.evolve(0.05))) < 1e-12


def test_drift_kernel_transports():
    x = np.linspace(-10.0, 10.0, 401)
    a = AdaptivePI(-10.0, 10.0, 401, np.exp(-(x ** 2)), kernel="drift", boundary="zero")
    # Exact transport u0(x + t/2); the controller sees only interpolation error.
    assert np.max(np.abs(a.evolve(1.0) - np.exp(-((x + 0.5) ** 2)))) < 1e-6


def test_evolve_returns_a_copy_and_checks_t():
    a = AdaptivePI(0.0, 1.0, N, COS)
    for t in [0.0, -0.0, -1.0, math.nan, math.inf]:
        assert error_text(a.evolve, t) == "[OutOfDomain] t must be finite and > 0"
    out = a.evolve(0.01)
    out[:] = 5.0
    assert a.evolve(0.01)[0] != 5.0 and len(a) == N
    options = 'tol_abs=1e-6, tol_rel=1e-4, boundary="reflect")'
    check_surface(AdaptivePI, '(xmin, xmax, n, u0, *, kernel="heat2", ' + options, evolve="($self, t)",
                  with_arrays="(xmin, xmax, n, a, b, c, c_norm_bound, u0, *, " + options)


@pytest.mark.parametrize("args, kwargs, exc, message", GRID_ERRORS + [
    ((0.0, 1.0, 4, U4), {"boundary": "x", "kernel": "bad"}, QuorvaneError,
     '[OutOfDomain] unknown boundary policy "x"; valid options are: "reflect", "periodic", "zero", "linear"'),
    ((0.0, 1.0, 4, 3.0), {}, QuorvaneError, "[GridMismatch] u0 must be numpy.ndarray[float64]"),
    ((0.0, 1.0, 3, U4[:3]), {"kernel": "bad"}, QuorvaneError, N_GE4),  # the grid before the kernel
    ((0.0, 1.0, 4, [1.0, 1.0, math.inf, 1.0]), {}, QuorvaneError, NONFINITE + "inf"),
    ((0.0, 1.0, 4, U4), {"kernel": "Heat2"}, QuorvaneError,
     "[OutOfDomain] unknown kernel 'Heat2'; expected heat2|heat4|heat6|drift|shift"),
])
def test_constructor_errors(args, kwargs, exc, message):
    raises_exact(exc, message, AdaptivePI, *args, **kwargs)


@pytest.mark.parametrize("a, u0, message", [
    (np.ones(4), [1.0, 2.0], "[GridMismatch] values.len() must equal grid.n"),
    (np.ones(5), U4, "[GridMismatch] coefficient array length 5 != n=4"),
    ([1.0, math.nan, 1.0, 1.0], U4, "[NanInf] coefficient array contains NaN or Inf"),
])
def test_with_arrays_errors(a, u0, message):
    assert error_text(AdaptivePI.with_arrays, 0.0, 1.0, 4, a, np.ones(4), np.ones(4), 1.0, u0) == message


def _gauss41(scale=1.0):
    x = np.linspace(-1.0, 1.0, 41)
    return np.exp(-x ** 2 / 0.2 ** 2) * scale


# Once the state has settled, its steps are exact to rounding and must grow as
# fast as allowed: errors of 0 and 1e-17 are the same to the controller (they
# swung the step between x5 and x0.2, and 3e26 ended after 100000 substeps).
@pytest.mark.parametrize("kernel", ["heat2", "heat4", "heat6"])
@pytest.mark.parametrize("t", [3e26, 1e27, 1.69e28])
@pytest.mark.parametrize("scale", [1.0, 1.0 + 1.1e-16, 1.0 + 2.2e-16])
def test_long_times_reach_the_settled_state(kernel, t, scale):
    u0 = _gauss41(scale)
    r = AdaptivePI(-1.0, 1.0, 41, u0, kernel=kernel).evolve(t)
    mean = (u0.sum() - 0.5 * (u0[0] + u0[-1])) / 40.0  # zero-flux ends keep the trapezoid mean
    assert np.ptp(r) <= 1e-12 and abs(r[0] - mean) <= 1e-5  # within the per-substep tolerance


# With tol_abs = 0 the tolerance scales with the data, so tiny data take the substeps of the same
# data at unit size: a fixed error floor of 1e-300 above their tolerance shrank every accepted
# step, and 1.5e-300 u0 was refused after 100000 substeps (7 s) where u0 passes.
@pytest.mark.parametrize("kernel", ["heat2", "drift"])
@pytest.mark.parametrize("scale", [1.5e-300, 2.0**-990])
def test_tiny_data_take_the_substeps_of_unit_data(kernel, scale):
    unit = AdaptivePI(-1.0, 1.0, 41, _gauss41(), kernel=kernel, tol_abs=0.0).evolve(0.05)
    tiny = AdaptivePI(-1.0, 1.0, 41, _gauss41(scale), kernel=kernel, tol_abs=0.0).evolve(0.05)
    assert np.max(np.abs(tiny / scale - unit)) <= 1e-12  # subnormal values keep fewer bits


# A t too long for the reads names a t that is served, at once, on a fresh
# object, whatever the last bits of u0.
@pytest.mark.parametrize("kernel", ["heat2", "heat6", "drift", "shift"])
@pytest.mark.parametrize("t", [1e30, 1.7e308])
@pytest.mark.parametrize("scale", [1.0, 1.0 + 1.1e-16])
def test_named_far_time_is_served(kernel, t, scale):
    u0 = _gauss41(scale)
    msg = error_text(AdaptivePI(-1.0, 1.0, 41, u0, kernel=kernel).evolve, t)
    named = float(re.search(r"no substep of a t <= ([0-9.e-]+) reads that far", msg).group(1))
    for s in (named, named / 7.0):
        assert np.all(np.isfinite(AdaptivePI(-1.0, 1.0, 41, u0, kernel=kernel).evolve(s)))
