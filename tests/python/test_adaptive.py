"""AdaptivePI: controlled substeps meet the tolerance on an exact cosine mode,
exact steps run at full size, non-finite steps are never accepted."""

import math
import time

import numpy as np
import pytest

from quorvane import AdaptivePI, QuorvaneError


def error_text(fn, *args, **kwargs):
    with pytest.raises(QuorvaneError) as info:
        fn(*args, **kwargs)
    return str(info.value)


N = 101
X = np.linspace(0.0, 1.0, N)
COS = np.cos(np.pi * X)


@pytest.mark.parametrize("kernel, diffusion", [("heat2", 1.0), ("heat4", 1.0), ("heat6", 1.0), ("shift", 0.5)])
def test_cosine_mode_meets_the_tolerance(kernel, diffusion):
    # A reflecting cosine mode decays as exp(-pi^2 D t).
    t = 0.05
    exact = math.exp(-math.pi ** 2 * diffusion * t) * COS
    errors = []
    for tol in [1e-4, 1e-6, 1e-8]:
        a = AdaptivePI(0.0, 1.0, N, COS, kernel=kernel, tol_abs=tol, tol_rel=0.0)
        errors.append(np.max(np.abs(a.evolve(t) - exact)))
        # Each substep's local error is held below tol; the global error sums
        # them over a few dozen substeps (second-order kernels; the first-order
        # shift kernel takes many more).
        if kernel != "shift":
            assert errors[-1] < 50 * tol
    # A controller that ignored the tolerance would not improve at all.
    assert errors[0] / errors[1] > 5 and errors[1] / errors[2] > 5


def test_tolerance_met_with_the_default_relative_tolerance():
    a = AdaptivePI(0.0, 1.0, N, COS)  # tol_abs 1e-6, tol_rel 1e-4
    out = a.evolve(0.02)
    assert np.max(np.abs(out - math.exp(-math.pi ** 2 * 0.02) * COS)) < 1e-4


@pytest.mark.parametrize("level", [0.0, 3.0])
@pytest.mark.parametrize("tol_abs", [1e-6, 0.0])
def test_constant_states_are_accepted_at_full_size(level, tol_abs):
    # The step-doubling difference of a zero state is exactly 0: the stored
    # error is floored, so steps grow (5x each) instead of shrinking to
    # 0.2 tau until the 100000-substep limit.
    u0 = np.full(4001, level)
    a = AdaptivePI(0.0, 1.0, 4001, u0, tol_abs=tol_abs)
    start = time.perf_counter()
    out = a.evolve(100.0)
    # A handful of substeps on 4001 nodes take milliseconds; the limit, seconds.
    assert time.perf_counter() - start < 1.0
    assert np.max(np.abs(out - level)) < 1e-12


def test_non_finite_steps_are_rejected_not_returned():
    # c = 1e308 overflows every step at first; such steps are rejected and
    # shrink the step until it underflows, which ends the call quickly.
    n = 41
    u0 = np.cos(np.pi * np.linspace(0.0, 1.0, n))
    a = AdaptivePI.with_arrays(0.0, 1.0, n, np.full(n, 0.5), np.zeros(n), np.full(n, 1e308), 1e308, u0)
    start = time.perf_counter()
    text = error_text(a.evolve, 1.0)
    assert time.perf_counter() - start < 2.0
    assert text.startswith("[ConvergenceFailed] adaptive PI: step rejected after ")
    assert text.endswith("(increase tol_rel/tol_abs or reduce t)")
    # The state is unchanged and the object still works.
    b = AdaptivePI.with_arrays(0.0, 1.0, n, np.full(n, 0.5), np.zeros(n), np.zeros(n), 0.0, u0)
    assert np.max(np.abs(b.evolve(0.01) - math.exp(-math.pi ** 2 * 0.5 * 0.01) * u0)) < 1e-3
    assert len(a) == n


def test_substep_limit_reports_convergence_failed():
    a = AdaptivePI(0.0, 1.0, 11, np.cos(np.pi * np.linspace(0.0, 1.0, 11)), tol_abs=-1.0, tol_rel=0.0)
    assert error_text(a.evolve, 0.1).startswith("[ConvergenceFailed] adaptive PI: step rejected after ")


def test_with_constant_arrays_matches_the_shift_kernel():
    n = 41
    u0 = np.cos(np.pi * np.linspace(0.0, 1.0, n))
    arrays = AdaptivePI.with_arrays(0.0, 1.0, n, [0.5] * n, np.zeros(n), np.zeros(n), 0.0, u0)
    named = AdaptivePI(0.0, 1.0, n, u0, kernel="shift")
    # Catmull-Rom of constant samples reproduces the constant up to rounding.
    assert np.max(np.abs(arrays.evolve(0.05) - named.evolve(0.05))) < 1e-12


def test_drift_kernel_transports():
    n = 401
    x = np.linspace(-10.0, 10.0, n)
    a = AdaptivePI(-10.0, 10.0, n, np.exp(-(x ** 2)), kernel="drift", boundary="zero")
    # Exact transport u0(x + t/2); the controller sees only interpolation error.
    assert np.max(np.abs(a.evolve(1.0) - np.exp(-((x + 0.5) ** 2)))) < 1e-6


def test_evolve_returns_a_copy_and_checks_t():
    a = AdaptivePI(0.0, 1.0, N, COS)
    for t in [0.0, -0.0, -1.0, math.nan, math.inf]:
        assert error_text(a.evolve, t) == "[OutOfDomain] t must be finite and > 0"
    out = a.evolve(0.01)
    out[:] = 5.0
    again = a.evolve(0.01)
    assert again[0] != 5.0 and len(a) == N


U4 = [1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((0.0, 1.0, 4, U4), {"boundary": "x", "kernel": "bad"},
         '[OutOfDomain] unknown boundary policy "x"; valid options are: "reflect", "periodic", "zero", "linear"'),
        ((0.0, 1.0, 4, 3.0), {}, "[GridMismatch] u0 must be numpy.ndarray[float64]"),
        ((0.0, math.inf, 4, U4), {}, "[NanInf] xmax must be finite: inf"),
        ((0.0, 1.0, 3, U4[:3]), {"kernel": "bad"}, "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
        ((0.0, 1.0, 4, U4 + [1.0]), {}, "[GridMismatch] values.len() must equal grid.n"),
        ((0.0, 1.0, 4, [1.0, 1.0, math.inf, 1.0]), {}, "[NanInf] all values must be finite (no NaN/Inf): inf"),
        ((0.0, 1.0, 4, U4), {"kernel": "Heat2"},
         "[OutOfDomain] unknown kernel 'Heat2'; expected heat2|heat4|heat6|drift|shift"),
    ],
)
def test_constructor_errors(args, kwargs, message):
    assert error_text(AdaptivePI, *args, **kwargs) == message


@pytest.mark.parametrize(
    "a, u0, message",
    [
        (np.ones(4), [1.0, 2.0], "[GridMismatch] values.len() must equal grid.n"),
        (np.ones(5), U4, "[GridMismatch] coefficient array length 5 != n=4"),
        ([1.0, math.nan, 1.0, 1.0], U4, "[NanInf] coefficient array contains NaN or Inf"),
    ],
)
def test_with_arrays_errors(a, u0, message):
    assert error_text(AdaptivePI.with_arrays, 0.0, 1.0, 4, a, np.ones(4), np.ones(4), 1.0, u0) == message


def test_text_signatures():
    assert AdaptivePI.__text_signature__ == (
        '(xmin, xmax, n, u0, *, kernel="heat2", tol_abs=1e-6, tol_rel=1e-4, boundary="reflect")'
    )
    assert AdaptivePI.evolve.__text_signature__ == "($self, t)"
    assert AdaptivePI.with_arrays.__text_signature__ == (
        '(xmin, xmax, n, a, b, c, c_norm_bound, u0, *, tol_abs=1e-6, tol_rel=1e-4, boundary="reflect")'
    )
    assert not hasattr(AdaptivePI, "values") and not hasattr(AdaptivePI, "order")
