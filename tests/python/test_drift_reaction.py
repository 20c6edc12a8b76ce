"""DriftReaction1D: transport along b with reaction c by the second-order
characteristic step, against exact and SciPy characteristic solutions."""

import inspect
import math

import numpy as np
import pytest
from scipy.integrate import solve_ivp

import quorvane as q
from quorvane import DriftReaction1D, QuorvaneError


def error_text(fn, *args, **kwargs):
    with pytest.raises(QuorvaneError) as info:
        fn(*args, **kwargs)
    return str(info.value)


def gauss(x, centre=0.0):
    return np.exp(-4.0 * (x - centre) ** 2)


def gaussian_object(n=121, **kwargs):
    x = np.linspace(-3.0, 3.0, n)
    return DriftReaction1D(-3.0, 3.0, n, gauss(x), **kwargs)


# --------------------------------------------------------------------------
# Accuracy
# --------------------------------------------------------------------------


@pytest.mark.parametrize("b, c", [(0.5, 0.0), (-0.7, 0.3), (1.1, -0.8)])
def test_constant_coefficients_translate_and_decay_exactly(b, c):
    n, t = 301, 1.0
    x = np.linspace(-3.0, 3.0, n)
    d = DriftReaction1D(-3.0, 3.0, n, gauss(x), b=b, c=c, boundary="zero")
    d.evolve(t, n_steps=20)
    exact = np.exp(c * t) * gauss(x + b * t)
    # The foot and factor are exact for constants; what remains is the
    # septic Hermite interpolation (dx = 0.02) accumulated over 20 steps.
    assert np.max(np.abs(d.values() - exact)) < 1e-7


def characteristic_reference(x, t, b, c, u0):
    # u(x, t) = u0(X(t)) exp(int_0^t c(X(s)) ds) with X' = b(X), X(0) = x.
    def rhs(_, y):
        pos = y[: x.size]
        return np.concatenate([b(pos), c(pos)])

    sol = solve_ivp(rhs, (0.0, t), np.concatenate([x, np.zeros_like(x)]), method="DOP853", rtol=1e-12,
                    atol=1e-13)
    pos, integral = sol.y[: x.size, -1], sol.y[x.size:, -1]
    return u0(pos) * np.exp(integral)


def variable_errors(steps_list):
    n, t = 801, 1.0
    x = np.linspace(-4.0, 4.0, n)

    def b(p):
        return 0.6 * np.sin(p) + 0.2

    def c(p):
        return -0.4 * np.cos(p)

    def u0(p):
        return gauss(p, 0.3)

    ref = characteristic_reference(x, t, b, c, u0)
    errors = []
    for steps in steps_list:
        d = DriftReaction1D.with_arrays(-4.0, 4.0, n, b(x), c(x), 1.0, u0(x), boundary="zero")
        d.evolve(t, n_steps=steps)
        errors.append(np.max(np.abs(d.values() - ref)))
    return errors


def test_variable_drift_against_characteristics_second_order():
    errors = variable_errors([5, 10, 20, 40])
    ratios = [errors[k] / errors[k + 1] for k in range(3)]
    # Order 2: halving the step quarters the error. The sampled b (Catmull-Rom,
    # h = 0.01) and the grid interpolation add ~1e-7, far below these errors.
    assert ratios == pytest.approx([4.0, 4.0, 4.0], abs=0.5)
    assert errors[-1] < 1e-3


def test_time_schedule_one_segment_equals_plain_evolve_and_keeps_kernel():
    plain = gaussian_object(b=-0.3, c=0.2)
    plain.evolve(0.6, n_steps=9)
    timed = gaussian_object(b=0.5, c=5.0)
    timed.evolve_with_time_schedule(0.6, 9, [-0.3], c=0.2)
    assert np.array_equal(timed.values(), plain.values())
    # The next evolve uses the constructor's b and c again.
    twin_after = DriftReaction1D(-3.0, 3.0, 121, timed.values(), b=0.5, c=5.0)
    timed.evolve(0.1, n_steps=3)
    twin_after.evolve(0.1, n_steps=3)
    assert np.array_equal(timed.values(), twin_after.values())


def test_time_schedule_segments_chain():
    # Out by 0.5 with b = 0.5 and back with b = -0.5: the Gaussian returns.
    n = 301
    x = np.linspace(-3.0, 3.0, n)
    d = DriftReaction1D(-3.0, 3.0, n, gauss(x), boundary="zero")
    d.evolve_with_time_schedule(2.0, 10, np.array([0.5, -0.5]))
    # Interpolation error only (dx = 0.02, 20 steps).
    assert np.max(np.abs(d.values() - gauss(x))) < 1e-7


def test_with_constant_arrays_equals_constructor():
    # Dyadic constants keep the Catmull-Rom sample exact; a negative
    # c_norm_bound is stored as given.
    n = 121
    x = np.linspace(-3.0, 3.0, n)
    plain = DriftReaction1D(-3.0, 3.0, n, gauss(x), b=0.25, c=-0.5)
    arrays = DriftReaction1D.with_arrays(-3.0, 3.0, n, np.full(n, 0.25), [-0.5] * n, -3.0, gauss(x))
    plain.evolve(0.4)
    arrays.evolve(0.4)
    assert np.array_equal(plain.values(), arrays.values())


def test_zero_time_and_len_and_values_copy():
    d = gaussian_object()
    before = d.values()
    d.evolve(0.0)
    # 100 zero steps resample u at the nodes through the interpolant: each
    # resampling is exact up to a few ulps of max|u| = 1.
    assert np.max(np.abs(d.values() - before)) < 1e-12
    assert len(d) == 121
    v = d.values()
    v[:] = 3.0
    assert d.values()[60] != 3.0


# --------------------------------------------------------------------------
# Errors
# --------------------------------------------------------------------------

U4 = [1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize(
    "args, message",
    [
        ((1.0, 0.0, 4, [1.0, math.nan, 0.0, 0.0]), "[NanInf] u0 contains NaN or Inf: NaN"),
        ((1.0, 0.0, 4, [1.0, 2.0]), "[GridMismatch] xmin must be < xmax"),
        ((-math.inf, 0.0, 4, U4), "[NanInf] xmin must be finite: -inf"),
        ((0.0, math.inf, 4, U4), "[NanInf] xmax must be finite: inf"),
        ((0.0, 1.0, 3, [1.0, 2.0, 3.0]), "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
        ((0.0, 1.0, 4, [1.0, 2.0, 3.0]), "[GridMismatch] values.len() must equal grid.n"),
    ],
)
def test_constructor_errors(args, message):
    assert error_text(DriftReaction1D, *args) == message


@pytest.mark.parametrize(
    "b, c, u0, message",
    [
        (np.ones(5), np.ones(4), [1.0, math.inf, 0.0, 0.0], "[NanInf] u0 contains NaN or Inf: inf"),
        (np.ones(5), np.ones(4), U4, "[GridMismatch] coefficient array length 5 != n=4"),
        (np.ones(4), "abcd", U4, "[GridMismatch] coefficient array must be numpy.ndarray[float64]"),
        (np.ones(4), [1.0, math.nan, 1.0, 1.0], U4, "[NanInf] coefficient array contains NaN or Inf"),
        (np.ones(4), np.ones(4), [1.0, 2.0], "[GridMismatch] values.len() must equal grid.n"),
    ],
)
def test_with_arrays_errors(b, c, u0, message):
    assert error_text(DriftReaction1D.with_arrays, 0.0, 1.0, 4, b, c, 1.0, u0) == message


@pytest.mark.parametrize(
    "t, n_steps, message",
    [
        (-1.0, 0, "[OutOfDomain] n_steps must be >= 1"),
        (math.nan, 5, "[OutOfDomain] t must be finite and >= 0"),
        (-1e-300, 5, "[OutOfDomain] t must be finite and >= 0"),
    ],
)
def test_evolve_argument_errors(t, n_steps, message):
    d = gaussian_object()
    assert error_text(d.evolve, t, n_steps=n_steps) == message


def test_time_schedule_errors():
    d = gaussian_object()
    assert error_text(d.evolve_with_time_schedule, 1.0, 0, [0.1]) == "[OutOfDomain] n_steps must be >= 1"
    assert error_text(d.evolve_with_time_schedule, math.inf, 2, [0.1]) == "[OutOfDomain] t must be finite and >= 0"
    assert error_text(d.evolve_with_time_schedule, 1.0, 2, np.array([])) == "[OutOfDomain] b_schedule must be non-empty"
    with pytest.raises(TypeError, match=r"^u0 must be a numpy.ndarray\[float64\] or a sequence of floats$"):
        d.evolve_with_time_schedule(1.0, 2, 0.5)


@pytest.mark.parametrize(
    "kwargs",
    [{"b": math.nan}, {"b": math.inf}, {"b": -math.inf}, {"b": 1e308}, {"c": math.nan}, {"c": math.inf},
     {"c": 800.0}],
)
def test_non_finite_coefficients_fail_cleanly_and_keep_values(kwargs):
    d = gaussian_object(**kwargs)
    before = d.values()
    text = error_text(d.evolve, 1.0, n_steps=4)
    # b: the characteristic foot is not finite (or overflows); c: the
    # reaction factor overflows. Either way no NaN/inf is stored.
    assert text.startswith(("[NanInf] ", "[OutOfDomain] "))
    assert np.array_equal(d.values(), before)


@pytest.mark.parametrize("schedule", [[0.1, math.nan], [math.inf], np.array([-math.inf, 0.0])])
def test_non_finite_drift_schedule_fails_cleanly(schedule):
    d = gaussian_object()
    before = d.values()
    assert error_text(d.evolve_with_time_schedule, 1.0, 3, schedule).startswith("[NanInf] ")
    assert np.array_equal(d.values(), before)
    assert error_text(d.evolve_with_time_schedule, 1.0, 3, [0.1], c=math.nan).startswith("[NanInf] ")
    assert np.array_equal(d.values(), before)


# --------------------------------------------------------------------------
# The class surface
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "member, text",
    [
        (DriftReaction1D, "(xmin, xmax, n, u0, *, b=0.5, c=0.0, boundary='reflect')"),
        (DriftReaction1D.with_arrays, "(xmin, xmax, n, b, c, c_norm_bound, u0, *, boundary='reflect')"),
        (DriftReaction1D.evolve, "(self, /, t, n_steps=100)"),
        (DriftReaction1D.evolve_with_time_schedule, "(self, /, t_final, n_steps_per_segment, b_schedule, *, c=0.0)"),
        (DriftReaction1D.values, "(self, /)"),
    ],
)
def test_text_signatures(member, text):
    assert str(inspect.signature(member)) == text


def test_members_are_exactly_the_class_table():
    assert q.__all__.index("DriftReaction1D") + 1 == q.__all__.index("Shift1D")
    members = {m for m in vars(DriftReaction1D) if not m.startswith("__")}
    assert members == {"evolve", "values", "with_arrays", "evolve_with_time_schedule"}
