"""Shift1D: the first-order shift evolver, its batched evolution and its
time and coefficient schedules."""

import inspect
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quorvane
from quorvane import QuorvaneError, Shift1D


def error_text(fn, *args, **kwargs):
    with pytest.raises(QuorvaneError) as info:
        fn(*args, **kwargs)
    return str(info.value)


def periodic_grid(n):
    # Periodic sampling wraps index n onto 0, so the period is n*dx.
    dx = 2.0 * math.pi / n
    return 0.0, dx * (n - 1), dx * np.arange(n)


def gaussian_object(n=41, **kwargs):
    x = np.linspace(-2.0, 2.0, n)
    return Shift1D(-2.0, 2.0, n, np.exp(-x * x), **kwargs)


# --------------------------------------------------------------------------
# Accuracy
# --------------------------------------------------------------------------


def fourier_error(n_steps):
    n = 256
    xmin, xmax, x = periodic_grid(n)
    a, b, c, t = 0.3, 0.4, -0.2, 0.5
    s = Shift1D(xmin, xmax, n, np.cos(2.0 * x), a=a, b=b, c=c, boundary="periodic")
    s.evolve(t, n_steps=n_steps)
    exact = np.exp((c - 4.0 * a) * t) * np.cos(2.0 * (x + b * t))
    return np.max(np.abs(s.values() - exact))


def test_fourier_mode_converges_to_first_order():
    errors = [fourier_error(m) for m in (100, 200, 400)]
    ratios = [errors[k] / errors[k + 1] for k in range(2)]
    # Order 1: halving the step halves the error (spatial error ~1e-12).
    assert ratios == pytest.approx([2.0, 2.0], abs=0.15)
    assert errors[0] < 0.02


def test_with_constant_arrays_equals_constructor():
    # 0.5, 0.25, -0.125 keep the Catmull-Rom weights exact, so the sampled
    # coefficients reproduce the constants bit for bit.
    n = 33
    x = np.linspace(-1.0, 1.0, n)
    u0 = np.exp(-4.0 * x * x)
    plain = Shift1D(-1.0, 1.0, n, u0, a=0.5, b=0.25, c=-0.125, boundary="zero")
    arrays = Shift1D.with_arrays(-1.0, 1.0, n, np.full(n, 0.5), [0.25] * n, np.full(n, -0.125), -7.0, u0,
                                 boundary="ZERO")
    plain.evolve(0.3, n_steps=17)
    arrays.evolve(0.3, n_steps=17)
    assert np.array_equal(plain.values(), arrays.values())


# --------------------------------------------------------------------------
# Errors of construction and evolve
# --------------------------------------------------------------------------

U4 = [1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((0.0, 1.0, 3, [1.0, 2.0, 3.0]), {}, "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
        ((1.0, 0.0, 4, [1.0, math.nan, 3.0, 4.0]), {}, "[NanInf] u0 contains NaN or Inf: NaN"),
        ((0.0, 1.0, 4, [1.0, math.inf, 3.0, 4.0]), {}, "[NanInf] u0 contains NaN or Inf: inf"),
        ((math.inf, 1.0, 4, U4), {}, "[NanInf] xmin must be finite: inf"),
        ((0.0, math.nan, 4, U4), {}, "[NanInf] xmax must be finite: NaN"),
        ((1.0, 1.0, 4, U4), {}, "[GridMismatch] xmin must be < xmax"),
        ((0.0, 1.0, 5, U4), {}, "[GridMismatch] values.len() must equal grid.n"),
        ((0.0, 1.0, 4, U4), {"boundary": "Mirror"},
         '[OutOfDomain] unknown boundary policy "mirror"; valid options are: '
         '"reflect", "periodic", "zero", "linear"'),
    ],
)
def test_constructor_errors(args, kwargs, message):
    assert error_text(Shift1D, *args, **kwargs) == message


def test_constructor_type_errors():
    with pytest.raises(TypeError, match=r"^u0 must be a numpy.ndarray\[float64\] or a sequence of floats$"):
        Shift1D(0.0, 1.0, 4, "abcd")
    with pytest.raises(TypeError, match="xmin"):
        Shift1D("0", 1.0, 4, U4)


@pytest.mark.parametrize(
    "t, n_steps, message",
    [
        (1.0, 0, "[OutOfDomain] n_steps must be >= 1"),
        (math.nan, 0, "[OutOfDomain] n_steps must be >= 1"),
        (-1e-300, 10, "[OutOfDomain] t must be finite and >= 0"),
        (math.nan, 10, "[OutOfDomain] t must be finite and >= 0"),
        (math.inf, 10, "[OutOfDomain] t must be finite and >= 0"),
    ],
)
def test_evolve_argument_errors(t, n_steps, message):
    s = gaussian_object()
    before = s.values()
    assert error_text(s.evolve, t, n_steps=n_steps) == message
    assert np.array_equal(s.values(), before)


AX = "[OutOfDomain] a(x) must be finite and >= 0 (Theorem 6: inf a > 0)"
FOOT = "[NanInf] Grid1D::interp: evaluation point must be finite: "
NONFINITE = "[NanInf] all values must be finite (no NaN/Inf): "


@pytest.mark.parametrize(
    "coeffs, message",
    [
        ({"a": -0.5}, AX),
        ({"a": math.nan}, AX),
        ({"b": math.nan}, FOOT + "NaN"),
        ({"b": math.inf}, FOOT + "inf"),
        ({"c": math.nan}, NONFINITE + "NaN"),
        ({"c": math.inf}, NONFINITE),
    ],
)
def test_bad_coefficients_fail_and_keep_values(coeffs, message):
    # Evolve and batched evolve both refuse to report non-finite results.
    s = gaussian_object(**coeffs)
    before = s.values()
    assert error_text(s.evolve, 0.1, n_steps=4).startswith(message)
    assert error_text(s.evolve_batched, 0.1, batch_columns(41, 3), n_steps=4).startswith(message)
    assert np.array_equal(s.values(), before)
    assert np.all(np.isfinite(s.values()))


# --------------------------------------------------------------------------
# Batched evolution
# --------------------------------------------------------------------------


def batch_columns(n, cols):
    x = np.linspace(-2.0, 2.0, n)[:, None]
    k = np.arange(cols)[None, :]
    return np.exp(-(1.0 + 0.3 * k) * (x - 0.1 * k) ** 2)


def test_batched_columns_equal_single_evolve_and_object_unchanged():
    n, cols = 41, 3
    s = gaussian_object(n, a=0.4, b=0.2, c=-0.1)
    before = s.values()
    u0_nc = batch_columns(n, cols)
    out = s.evolve_batched(0.3, u0_nc, n_steps=9)
    assert out.shape == (n, cols) and out.dtype == np.float64 and out.flags.c_contiguous
    for c in range(cols):
        single = Shift1D(-2.0, 2.0, n, u0_nc[:, c], a=0.4, b=0.2, c=-0.1)
        single.evolve(0.3, n_steps=9)
        assert np.array_equal(out[:, c], single.values())
    assert np.array_equal(s.values(), before)
    # Any strides give the result of the contiguous copy.
    for view in (np.asfortranarray(u0_nc), np.repeat(u0_nc, 2, axis=1)[:, ::2]):
        assert np.array_equal(s.evolve_batched(0.3, view, n_steps=9), out)


@pytest.mark.parametrize(
    "shape, t, n_steps, message",
    [
        ((42, 3), 0.1, 100, "[GridMismatch] u0_nc has shape[0]=42, expected n=41"),
        ((41, 0), 0.1, 100, "[GridMismatch] u0_nc must have at least 1 channel"),
        ((42, 0), 0.1, 100, "[GridMismatch] u0_nc has shape[0]=42, expected n=41"),
        ((41, 2), 0.1, 0, "[OutOfDomain] n_steps must be >= 1"),
        ((41, 2), -1.0, 0, "[OutOfDomain] n_steps must be >= 1"),
        ((41, 2), -1.0, 1, "[OutOfDomain] t must be finite and >= 0"),
    ],
)
def test_batched_errors(shape, t, n_steps, message):
    s = gaussian_object()
    assert error_text(s.evolve_batched, t, np.ones(shape), n_steps=n_steps) == message


def test_batched_input_checks():
    s = gaussian_object()
    u = np.ones((41, 2))
    u[7, 1] = math.inf
    assert error_text(s.evolve_batched, 0.1, u) == "[NanInf] u0_nc contains NaN or Inf"
    for bad in (np.ones(41), [[1.0] * 2] * 41, np.ones((41, 2), dtype=np.float32)):
        with pytest.raises(TypeError, match="u0_nc"):
            s.evolve_batched(0.1, bad)


BATCH_SCRIPT = textwrap.dedent(
    """
    import hashlib, os, sys
    import numpy as np
    import quorvane as q
    n, cols = int(sys.argv[1]), int(sys.argv[2])
    x = np.linspace(-3.0, 3.0, n)[:, None]
    k = np.arange(cols)[None, :]
    u0 = np.exp(-(1.0 + 0.05 * k) * (x - 0.01 * k) ** 2)
    s = q.Shift1D(-3.0, 3.0, n, u0[:, 0], a=0.5, b=0.3, c=-0.2)
    out = s.evolve_batched(0.25, u0, n_steps=6)
    for c in range(cols):
        single = q.Shift1D(-3.0, 3.0, n, u0[:, c], a=0.5, b=0.3, c=-0.2)
        single.evolve(0.25, n_steps=6)
        assert np.array_equal(out[:, c], single.values()), c
    print(hashlib.sha256(out.tobytes()).hexdigest())
    """
)


def run_batch(threshold, n, cols):
    env = dict(os.environ, TAMBRIK_PARALLEL_THRESHOLD=str(threshold))
    done = subprocess.run([sys.executable, "-c", BATCH_SCRIPT, str(n), str(cols)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_batched_bit_identical_on_both_paths():
    cols = 3 * (os.cpu_count() or 1) + 2  # more columns than workers
    # n = 200 with threshold 1000000: columns spread over threads; with
    # threshold 64 the columns run one after another with node-parallel steps.
    assert run_batch(1000000, 200, cols) == run_batch(64, 200, cols)
    # One column always runs on the calling thread (node-parallel at 64).
    assert run_batch(64, 1024, 1) == run_batch(1000000, 1024, 1)


def test_wide_batch_runs_on_capped_threads():
    # 20000 columns on a small grid: the column threads are capped at the
    # worker count, each evolving a contiguous share.
    n, cols = 8, 20000
    x = np.linspace(0.0, 1.0, n)
    u0_nc = np.cos(np.outer(x, np.linspace(0.0, 3.0, cols)))
    s = Shift1D(0.0, 1.0, n, u0_nc[:, 0], a=0.25)
    out = s.evolve_batched(0.01, u0_nc, n_steps=2)
    for c in (0, 1, cols // 2, cols - 1):
        single = Shift1D(0.0, 1.0, n, u0_nc[:, c], a=0.25)
        single.evolve(0.01, n_steps=2)
        assert np.array_equal(out[:, c], single.values())


# --------------------------------------------------------------------------
# Time and coefficient schedules
# --------------------------------------------------------------------------


def test_one_segment_schedules_equal_plain_evolve():
    plain = gaussian_object(a=0.3, b=0.2, c=-0.4)
    plain.evolve(0.5, n_steps=7)
    timed = gaussian_object(a=0.9, b=5.0, c=5.0)
    timed.evolve_with_time_schedule(0.5, 7, [0.3], b=0.2, c=-0.4)
    coef = gaussian_object()
    coef.evolve_with_coefficient_schedule(0.5, 7, [0.3], b_schedule=[0.2], c_schedule=np.array([-0.4]))
    assert np.array_equal(timed.values(), plain.values())
    assert np.array_equal(coef.values(), plain.values())


def test_time_schedule_keeps_the_kernel():
    s = gaussian_object(a=0.1)
    s.evolve_with_time_schedule(0.2, 4, [0.5, 0.7])
    twin = Shift1D(-2.0, 2.0, 41, s.values(), a=0.1)
    s.evolve(0.1, n_steps=5)
    twin.evolve(0.1, n_steps=5)
    assert np.array_equal(s.values(), twin.values())


def test_coefficient_schedule_leaves_final_segment_kernel():
    n = 41
    x = np.linspace(-2.0, 2.0, n)
    b_arr = 0.1 * np.sin(x)
    s = gaussian_object()
    s.evolve_with_coefficient_schedule(0.2, 4, [0.125, 0.25], b_schedule=[0.0, b_arr])
    after_schedule = s.values()
    s.evolve(0.1, n_steps=5)
    # An object built with the final segment's coefficients continues alike
    # (dyadic a, so the sampled constant equals the constant entry exactly).
    twin = Shift1D.with_arrays(-2.0, 2.0, n, np.full(n, 0.25), b_arr, np.zeros(n), 0.0, after_schedule)
    twin.evolve(0.1, n_steps=5)
    assert np.array_equal(s.values(), twin.values())


def test_coefficient_schedule_accepts_2d_array_rows_and_generators():
    # Dyadic samples: the Catmull-Rom interpolant of a constant array is
    # then the constant itself, bit for bit.
    rows = np.vstack([np.full(41, 0.25), np.full(41, 0.5)])
    by_rows, by_list = gaussian_object(), gaussian_object()
    by_rows.evolve_with_coefficient_schedule(0.2, 3, rows)
    by_list.evolve_with_coefficient_schedule(0.2, 3, [list(rows[0]), 0.5], b_schedule=(v for v in [0.0, 0]))
    assert np.array_equal(by_rows.values(), by_list.values())


@pytest.mark.parametrize("method", ["evolve_with_time_schedule", "evolve_with_coefficient_schedule"])
@pytest.mark.parametrize(
    "t_final, steps, schedule, message",
    [
        (1.0, 0, [0.5], "[OutOfDomain] n_steps must be >= 1"),
        (math.nan, 0, [], "[OutOfDomain] n_steps must be >= 1"),
        (-1.0, 3, [0.5], "[OutOfDomain] t must be finite and >= 0"),
        (math.inf, 3, "not checked yet", "[OutOfDomain] t must be finite and >= 0"),
        (1.0, 3, [], "[OutOfDomain] a_schedule must be non-empty"),
        (1.0, 3, np.array([]), "[OutOfDomain] a_schedule must be non-empty"),
    ],
)
def test_schedule_errors_common(method, t_final, steps, schedule, message):
    s = gaussian_object()
    assert error_text(getattr(s, method), t_final, steps, schedule) == message


@pytest.mark.parametrize(
    "a, kwargs, message",
    [
        (3, {}, "[GridMismatch] a_schedule must be a sequence"),
        ([0.1, 0.2], {"b_schedule": [0.0]}, "[GridMismatch] b_schedule has 1 segments, expected 2 (must match a_schedule)"),
        ([0.1], {"c_schedule": 5.0}, "[GridMismatch] c_schedule must be a sequence"),
        ([0.1], {"b_schedule": [0.0, "x"]}, "[GridMismatch] b_schedule has 2 segments, expected 1 (must match a_schedule)"),
        ([math.nan], {}, "[NanInf] a_schedule entry is NaN or Inf"),
        ([0.1], {"c_schedule": [-math.inf]}, "[NanInf] c_schedule entry is NaN or Inf"),
        ([0.1, "abc"], {}, "[GridMismatch] a_schedule entries must be float or numpy.ndarray[float64]"),
        ([0.1, None], {}, "[GridMismatch] a_schedule entries must be float or numpy.ndarray[float64]"),
        ([np.full(40, 0.1)], {}, "[GridMismatch] a_schedule array entry has length 40 != n=41"),
        ([np.r_[np.full(40, 0.1), math.nan]], {}, "[NanInf] a_schedule entry contains NaN or Inf"),
        ([0.1], {"b_schedule": [np.r_[math.inf, np.zeros(39)]]}, "[GridMismatch] b_schedule array entry has length 40 != n=41"),
        ((x for x in [0.1, 0.2]), {}, "[GridMismatch] a_schedule has 0 segments, expected 2 (must match a_schedule)"),
        ((x for x in []), {}, "[OutOfDomain] a_schedule must be non-empty"),
    ],
)
def test_coefficient_schedule_errors(a, kwargs, message):
    s = gaussian_object()
    assert error_text(s.evolve_with_coefficient_schedule, 0.5, 3, a, **kwargs) == message


def test_coefficient_schedule_iteration_error_passes_through():
    class Boom:
        def __iter__(self):
            return self

        def __next__(self):
            raise KeyError("boom")

    s = gaussian_object()
    with pytest.raises(KeyError):
        s.evolve_with_coefficient_schedule(0.5, 3, [0.1], b_schedule=Boom())


def test_time_schedule_conversion_and_non_finite_entries():
    s = gaussian_object()
    before = s.values()
    with pytest.raises(TypeError, match=r"^u0 must be a numpy.ndarray\[float64\] or a sequence of floats$"):
        s.evolve_with_time_schedule(1.0, 3, 0.5)
    for a in ([0.1, math.nan], [math.inf], [-0.2]):
        text = error_text(s.evolve_with_time_schedule, 0.5, 3, a)
        assert text == "[OutOfDomain] a(x) must be finite and >= 0 (Theorem 6: inf a > 0)"
    for kwargs in ({"b": math.nan}, {"b": -math.inf}, {"c": math.nan}):
        assert error_text(s.evolve_with_time_schedule, 0.5, 3, [0.1], **kwargs).startswith("[NanInf] ")
    assert np.array_equal(s.values(), before)


def test_failed_coefficient_schedule_changes_nothing():
    s, twin = gaussian_object(a=0.3), gaussian_object(a=0.3)
    # The second segment fails in its node step; values and kernel stay.
    text = error_text(s.evolve_with_coefficient_schedule, 0.4, 3, [0.7, -0.5])
    assert text == "[OutOfDomain] a(x) must be finite and >= 0 (Theorem 6: inf a > 0)"
    assert np.array_equal(s.values(), twin.values())
    s.evolve(0.1, n_steps=4)
    twin.evolve(0.1, n_steps=4)
    assert np.array_equal(s.values(), twin.values())


# --------------------------------------------------------------------------
# The class surface
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "member, text",
    [
        (Shift1D, "(xmin, xmax, n, u0, *, a=0.5, b=0.0, c=0.0, boundary='reflect')"),
        (Shift1D.with_arrays, "(xmin, xmax, n, a, b, c, c_norm_bound, u0, *, boundary='reflect')"),
        (Shift1D.evolve, "(self, /, t, n_steps=100)"),
        (Shift1D.values, "(self, /)"),
        (Shift1D.evolve_batched, "(self, /, t, u0_nc, n_steps=100)"),
        (Shift1D.evolve_with_time_schedule, "(self, /, t_final, n_steps_per_segment, a_schedule, *, b=0.0, c=0.0)"),
        (Shift1D.evolve_with_coefficient_schedule,
         "(self, /, t_final, n_steps_per_segment, a_schedule, *, b_schedule=None, c_schedule=None)"),
    ],
)
def test_text_signatures(member, text):
    assert str(inspect.signature(member)) == text


def test_members_are_exactly_the_class_table():
    members = {m for m in vars(Shift1D) if not m.startswith("__")}
    assert members == {"with_arrays", "evolve", "values", "evolve_batched", "evolve_with_time_schedule",
                       "evolve_with_coefficient_schedule"}
    assert len(gaussian_object(17)) == 17
    assert "Shift1D" in quorvane.__all__
