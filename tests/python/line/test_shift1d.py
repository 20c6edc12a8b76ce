"""Shift1D: the first-order shift evolver, its batched evolution and its time and coefficient schedules."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy.integrate import solve_ivp

from conftest import EVOLVE, N_STEPS, NONFINITE, SELF, T_NONNEG, U0_ERRORS, U0_TYPE, check_evolve_contract, \
    check_surface, error_text, raises_exact
from quorvane import AdaptivePI, DriftReaction1D, QuorvaneError, Shift1D

AX = "[OutOfDomain] a(x) must be finite and >= 0 (Theorem 6: inf a > 0)"


def gaussian_object(n=41, **kwargs):
    x = np.linspace(-2.0, 2.0, n)
    return Shift1D(-2.0, 2.0, n, np.exp(-x * x), **kwargs)


def batch_columns(n, cols):
    x = np.linspace(-2.0, 2.0, n)[:, None]
    k = np.arange(cols)[None, :]
    return np.exp(-(1.0 + 0.3 * k) * (x - 0.1 * k) ** 2)


def test_fourier_mode_converges_to_first_order():
    # Periodic sampling wraps index n onto 0, so the period is n*dx.
    n, a, b, c, t = 256, 0.3, 0.4, -0.2, 0.5
    x = 2.0 * math.pi / n * np.arange(n)
    errors = []
    for m in (100, 200, 400):
        s = Shift1D(0.0, x[-1], n, np.cos(2.0 * x), a=a, b=b, c=c, boundary="periodic")
        s.evolve(t, n_steps=m)
        errors.append(np.max(np.abs(s.values() - np.exp((c - 4.0 * a) * t) * np.cos(2.0 * (x + b * t)))))
    # Order 1: halving the step halves the error (spatial error ~1e-12).
    assert [errors[0] / errors[1], errors[1] / errors[2]] == pytest.approx([2.0, 2.0], abs=0.15)
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


@pytest.mark.parametrize("args, kwargs, exc, message", U0_ERRORS)
def test_constructor_errors(args, kwargs, exc, message):
    raises_exact(exc, message, Shift1D, *args, **kwargs)




# A drift that is not finite puts the feet of the steps off the double range: refused as such
# (the read's own "Grid1D::interp" text no longer reaches the caller).
FOOT = "[NanInf] {}: a step reads u at x + 2 tau b(x) and x +- 2 sqrt(tau a(x)), and b or a is "


@pytest.mark.parametrize("coeffs, message", [
    ({"a": -0.5}, AX), ({"a": math.nan}, AX), ({"b": math.nan}, FOOT + "NaN at a node: both must be finite"),
    ({"b": math.inf}, FOOT + "infinite at a node, so every step reads at an infinite point: both must be finite"),
    ({"c": math.nan}, NONFINITE + "NaN"), ({"c": math.inf}, NONFINITE)])
def test_bad_coefficients_fail_and_keep_values(coeffs, message):
    # Evolve and batched evolve both refuse to report non-finite results.
    s = gaussian_object(**coeffs)
    before = s.values()
    assert error_text(s.evolve, 0.1, n_steps=4).startswith(message.format("Shift1D"))
    assert error_text(s.evolve_batched, 0.1, batch_columns(41, 3),
                      n_steps=4).startswith(message.format("Shift1D.evolve_batched"))
    assert np.array_equal(s.values(), before)


# --- batched evolution -----------------------------------------------------------------

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
    for view in (np.asfortranarray(u0_nc), np.repeat(u0_nc, 2, axis=1)[:, ::2]):  # any strides
        assert np.array_equal(s.evolve_batched(0.3, view, n_steps=9), out)


@pytest.mark.parametrize("shape, t, n_steps, message", [
    ((42, 3), 0.1, 100, "[GridMismatch] u0_nc has shape[0]=42, expected n=41"),
    ((41, 0), 0.1, 100, "[GridMismatch] u0_nc must have at least 1 channel"),
    ((42, 0), 0.1, 100, "[GridMismatch] u0_nc has shape[0]=42, expected n=41"),
    ((41, 2), -1.0, 0, N_STEPS),
    ((41, 2), -1.0, 1, T_NONNEG),
    ((41, 2), 0.1, 1, "[NanInf] u0_nc contains NaN or Inf"),
])
def test_batched_errors(shape, t, n_steps, message):
    u = np.ones(shape)
    u[7, 1:] = math.inf if "NaN" in message else 1.0
    assert error_text(gaussian_object().evolve_batched, t, u, n_steps=n_steps) == message


@pytest.mark.parametrize("bad", [np.ones(41), [[1.0] * 2] * 41, np.ones((41, 2), dtype=np.float32)])
def test_batched_input_must_be_a_2d_float64_array(bad):
    with pytest.raises(TypeError, match="u0_nc"):
        gaussian_object().evolve_batched(0.1, bad)


BATCH_SCRIPT = textwrap.dedent("""
    import hashlib, sys
    import numpy as np
    import quorvane as q
    n, cols = int(sys.argv[1]), int(sys.argv[2])
    x = np.linspace(-3.0, 3.0, n)[:, None]
    k = np.arange(cols)[None, :]
    u0 = np.exp(-(1.0 + 0.05 * k) * (x - 0.01 * k) ** 2)
    out = q.Shift1D(-3.0, 3.0, n, u0[:, 0], a=0.5, b=0.3, c=-0.2).evolve_batched(0.25, u0, n_steps=6)
    for c in sorted({cols - 1} | set(range(0, cols, max(1, cols // 200)))):
        single = q.Shift1D(-3.0, 3.0, n, u0[:, c], a=0.5, b=0.3, c=-0.2)
        single.evolve(0.25, n_steps=6)
        assert np.array_equal(out[:, c], single.values()), c
    print(hashlib.sha256(out.tobytes()).hexdigest())
""")


def run_batch(threshold, n, cols):
    env = dict(os.environ, TAMBRIK_PARALLEL_THRESHOLD=str(threshold))
    done = subprocess.run([sys.executable, "-c", BATCH_SCRIPT, str(n), str(cols)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


@pytest.mark.parametrize("n, cols", [
    (200, 3 * (os.cpu_count() or 1) + 2),  # more columns than workers: spread over threads / node-parallel steps
    (1024, 1),  # one column always runs on the calling thread
    (8, 20000),  # column threads capped at the worker count, each with a contiguous share
])
def test_batched_bit_identical_on_both_paths(n, cols):
    assert run_batch(1000000, n, cols) == run_batch(64, n, cols)


# --- time and coefficient schedules ----------------------------------------------------

def test_one_segment_schedules_equal_plain_evolve_and_time_schedule_keeps_the_kernel():
    plain = gaussian_object(a=0.3, b=0.2, c=-0.4)
    plain.evolve(0.5, n_steps=7)
    timed = gaussian_object(a=0.9, b=5.0, c=5.0)
    timed.evolve_with_time_schedule(0.5, 7, [0.3], b=0.2, c=-0.4)
    coef = gaussian_object()
    coef.evolve_with_coefficient_schedule(0.5, 7, [0.3], b_schedule=[0.2], c_schedule=np.array([-0.4]))
    assert np.array_equal(timed.values(), plain.values()) and np.array_equal(coef.values(), plain.values())
    timed.evolve(0.1, n_steps=5)  # the constructor's coefficients are back
    twin_after = Shift1D(-2.0, 2.0, 41, plain.values(), a=0.9, b=5.0, c=5.0)
    twin_after.evolve(0.1, n_steps=5)
    assert np.array_equal(timed.values(), twin_after.values())


def test_coefficient_schedule_leaves_final_segment_kernel():
    n = 41
    b_arr = 0.1 * np.sin(np.linspace(-2.0, 2.0, n))
    s = gaussian_object()
    s.evolve_with_coefficient_schedule(0.2, 4, [0.125, 0.25], b_schedule=[0.0, b_arr])
    # An object built with the final segment's coefficients continues alike
    # (dyadic a, so the sampled constant equals the constant entry exactly).
    twin = Shift1D.with_arrays(-2.0, 2.0, n, np.full(n, 0.25), b_arr, np.zeros(n), 0.0, s.values())
    s.evolve(0.1, n_steps=5)
    twin.evolve(0.1, n_steps=5)
    assert np.array_equal(s.values(), twin.values())


def test_coefficient_schedule_accepts_2d_array_rows_and_generators():
    # Dyadic samples: the Catmull-Rom interpolant of a constant array is the constant, bit for bit.
    rows = np.vstack([np.full(41, 0.25), np.full(41, 0.5)])
    by_rows, by_list = gaussian_object(), gaussian_object()
    by_rows.evolve_with_coefficient_schedule(0.2, 3, rows)
    by_list.evolve_with_coefficient_schedule(0.2, 3, [list(rows[0]), 0.5], b_schedule=(v for v in [0.0, 0]))
    assert np.array_equal(by_rows.values(), by_list.values())


@pytest.mark.parametrize("method", ["evolve_with_time_schedule", "evolve_with_coefficient_schedule"])
@pytest.mark.parametrize("t_final, steps, schedule, message", [
    (math.nan, 0, [], N_STEPS),  # n_steps before t and the schedule
    (-1.0, 3, [0.5], T_NONNEG),
    (math.inf, 3, "not checked yet", T_NONNEG),
    (1.0, 3, [], "[OutOfDomain] a_schedule must be non-empty"),
    (1.0, 3, np.array([]), "[OutOfDomain] a_schedule must be non-empty"),
])
def test_schedule_errors_common(method, t_final, steps, schedule, message):
    assert error_text(getattr(gaussian_object(), method), t_final, steps, schedule) == message


@pytest.mark.parametrize("a, kwargs, message", [
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
    ([0.7, -0.5], {}, AX),  # the second segment fails in its node step
])
def test_coefficient_schedule_errors_change_nothing(a, kwargs, message):
    s, twin = gaussian_object(a=0.3), gaussian_object(a=0.3)
    assert error_text(s.evolve_with_coefficient_schedule, 0.5, 3, a, **kwargs) == message
    s.evolve(0.1, n_steps=4)  # values and kernel are both kept
    twin.evolve(0.1, n_steps=4)
    assert np.array_equal(s.values(), twin.values())


def test_coefficient_schedule_iteration_error_passes_through():
    def boom():
        raise KeyError("boom")
        yield

    with pytest.raises(KeyError):
        gaussian_object().evolve_with_coefficient_schedule(0.5, 3, [0.1], b_schedule=boom())


SCHEDULE_FOOT = "[NanInf] Grid1D::interp: evaluation point must be finite: "


@pytest.mark.parametrize("a, kwargs, message", [
    ([0.1, math.nan], {}, AX), ([math.inf], {}, AX), ([-0.2], {}, AX),
    ([0.1], {"b": math.nan}, SCHEDULE_FOOT + "NaN"), ([0.1], {"b": -math.inf}, SCHEDULE_FOOT + "-inf"),
    ([0.1], {"c": math.nan}, NONFINITE + "NaN"),
])
def test_time_schedule_non_finite_entries_keep_values(a, kwargs, message):
    s = gaussian_object()
    before = s.values()
    assert error_text(s.evolve_with_time_schedule, 0.5, 3, a, **kwargs).startswith(message)
    assert np.array_equal(s.values(), before)
    raises_exact(TypeError, U0_TYPE, s.evolve_with_time_schedule, 1.0, 3, 0.5)


X101 = np.linspace(0.0, 1.0, 101)


def ones_shift(c):
    return Shift1D(0.0, 1.0, 101, np.ones(101), a=0.5, c=c)


@pytest.mark.parametrize("make, call, method, steps, factor, tau_max, count, needed, c_max", [
    # c = -10 in one step used to return -9 (exact e^-10); c = -100 in 20
    # steps (-4)^20 = 1.1e12.
    (lambda: ones_shift(-10.0), lambda s, m: s.evolve(1.0, m), "evolve", 1, "-9", "0.1", "n_steps", 10, -10.0),
    (lambda: ones_shift(-100.0), lambda s, m: s.evolve(1.0, m), "evolve", 20, "-4", "0.01", "n_steps", 100, -100.0),
    (lambda: ones_shift(-100.0), lambda s, m: s.evolve_batched(1.0, np.ones((101, 2)), m), "evolve_batched", 20,
     "-4", "0.01", "n_steps", 100, -100.0),
    # Sampled c: the node where c = -100 decides.
    (lambda: Shift1D.with_arrays(0.0, 1.0, 101, np.full(101, 0.5), np.zeros(101), -100.0 * X101, 100.0,
                                 np.ones(101)), lambda s, m: s.evolve(1.0, m), "evolve", 20, "-4", "0.01", "n_steps",
     100, 0.0),
    # Schedules: two segments of 0.5, so tau = 0.5/m.
    (lambda: ones_shift(0.0), lambda s, m: s.evolve_with_time_schedule(1.0, m, [0.5, 0.5], c=-100.0),
     "evolve_with_time_schedule", 5, "-9", "0.01", "n_steps_per_segment", 50, -100.0),
    (lambda: ones_shift(0.0), lambda s, m: s.evolve_with_coefficient_schedule(1.0, m, [0.5, 0.5],
                                                                              c_schedule=[0.0, -100.0 * X101]),
     "evolve_with_coefficient_schedule", 5, "-9", "0.01", "n_steps_per_segment", 50, 0.0),
], ids=["c=-10", "c=-100", "batched", "with_arrays", "time_schedule", "coefficient_schedule"])
def test_negative_reaction_factor_refused_naming_the_count_that_passes(make, call, method, steps, factor, tau_max,
                                                                       count, needed, c_max):
    s = make()
    before = s.values()
    raises_exact(QuorvaneError, f"[CflViolated] Shift1D.{method}: reaction factor 1 + tau*c = {factor} < 0 flips the "
                 f"sign every step; tau must be <= {tau_max} ({count} >= {needed})", call, s, steps)
    np.testing.assert_array_equal(s.values(), before)
    with pytest.raises(QuorvaneError, match=r"^\[CflViolated\]"):
        call(s, needed - 1)
    out = call(s, needed)
    out = s.values() if out is None else out
    # The count named passes and stays within the exact bound e^(t max c).
    assert np.abs(out).max() <= np.exp(c_max) + 1e-12


# --- a negative reaction damps ----------------------------------------------------------

NOISE = np.random.default_rng(0).uniform(-1.0, 1.0, 631)
NA, NB, NC, NT = 7.1195e-4, -0.29902, -9.643, 0.79625
C_NODES = NC * (0.5 + np.linspace(0.0, 1.0, 631))  # from -4.8 to -14.5


def grid_mode(n_steps):
    # Shifts of exactly one cell (2 sqrt(tau a) = 2 tau b = dx): every read lands on a node.
    tau, dx = 0.9 / n_steps, 0.01
    s = Shift1D(0.0, 1.0, 101, (-1.0) ** np.arange(101), a=dx * dx / (4 * tau), b=dx / (2 * tau), c=-10.0)
    s.evolve(0.9, n_steps)
    return s.values()


def noise(**kw):
    return Shift1D(0.0, 1.0, 631, NOISE, a=NA, b=NB, **kw)


def after(s, call):
    out = call(s)
    return s.values() if out is None else out


def adaptive_mode():
    n = 101
    p = AdaptivePI.with_arrays(0.0, 1.0, n, np.full(n, 1e-3), np.full(n, 0.01), np.full(n, -10.0), 10.0,
                               (-1.0) ** np.arange(n), tol_abs=1e-2, tol_rel=0.1)
    return p.evolve(0.9)


def named_count(t, n_steps):
    s = Shift1D(0.0, 1.0, 101, NOISE[:101], a=0.5, b=0.3, c=-100.0)
    s.evolve(t, n_steps)
    return s.values()


# (result, t, largest c): the old step added tau c u_i to the mean and grew grid modes
# and noise by 1 + tau |c| per step (613, 5529 and 7783 for the mode; 856 for the noise;
# 3.9e19 and an overflow at the counts the refusal names).
@pytest.mark.parametrize("run, t, c_max", [
    (lambda: grid_mode(10), 0.9, -10.0),
    (lambda: grid_mode(100), 0.9, -10.0),
    (lambda: grid_mode(1000), 0.9, -10.0),
    (lambda: after(noise(c=NC), lambda s: s.evolve(NT, 100)), NT, NC),
    (lambda: noise(c=NC).evolve_batched(NT, np.stack([NOISE, -NOISE], axis=1), 100), NT, NC),
    (lambda: after(Shift1D.with_arrays(0.0, 1.0, 631, np.full(631, NA), np.full(631, NB), C_NODES, 15.0, NOISE),
                   lambda s: s.evolve(NT, 100)), NT, C_NODES.max()),
    (lambda: after(noise(), lambda s: s.evolve_with_time_schedule(NT, 50, [NA, NA], b=NB, c=NC)), NT, NC),
    (lambda: after(noise(), lambda s: s.evolve_with_coefficient_schedule(
        NT, 50, [NA, NA], b_schedule=[NB, NB], c_schedule=[NC, C_NODES])), NT, C_NODES.max()),
    (adaptive_mode, 0.9, -10.0),
    (lambda: named_count(1.0, 100), 1.0, -100.0),
    (lambda: named_count(100.0, 10000), 100.0, -100.0),
], ids=["mode-10", "mode-100", "mode-1000", "noise", "batched", "with_arrays", "time_schedule",
        "coefficient_schedule", "adaptive", "c=-100-named", "c=-100-long"])
def test_negative_reaction_never_grows_data(run, t, c_max):
    out = run()
    # 1.06: the degree-7 read's fixed overshoot on rough data (1.057 after one step on a jump).
    assert np.abs(out).max() <= 1.06 * np.exp(t * c_max)


@pytest.mark.parametrize("a, b, c", [(0.01, 0.3, -2.0), (0.0, 0.0, -2.0), (0.01, 0.3, 1.0)])
def test_reaction_converges_to_first_order(a, b, c):
    n, t = 201, 0.5
    x = np.arange(n) / n  # periodic: period n*dx = 1
    exact = np.exp((c - 4.0 * np.pi ** 2 * a) * t) * np.cos(2.0 * np.pi * (x + b * t))
    errors = []
    for m in (50, 500, 5000):
        s = Shift1D(0.0, x[-1], n, np.cos(2.0 * np.pi * x), a=a, b=b, c=c, boundary="periodic")
        s.evolve(t, m)
        errors.append(np.abs(s.values() - exact).max())
    # Order 1: ten times the steps, a tenth of the error (the spatial error is ~1e-12).
    assert [errors[0] / errors[1], errors[1] / errors[2]] == pytest.approx([10.0, 10.0], rel=0.02)
    assert errors[0] < 0.015


# --- a drift that varies between nodes ---------------------------------------------------

X101 = np.linspace(0.0, 1.0, 101)
COS101 = np.cos(np.pi * X101)
ROUGH_B = np.random.default_rng(0).uniform(-1.0, 1.0, 101)
WAVY_B = np.sin(16.0 * np.pi * X101)
SLOW_B = np.sin(8.0 * np.pi * X101)


def sampled_drift(b, a):
    return Shift1D.with_arrays(0.0, 1.0, 101, np.full(101, a), b, np.zeros(101), 0.0, COS101)


def adaptive_drift(b, a, n_steps):
    # The error control picks the substeps: a tolerance of 1/n_steps asks for about as many.
    return AdaptivePI.with_arrays(0.0, 1.0, 101, np.full(101, a), b, np.zeros(101), 0.0, COS101,
                                  tol_abs=1.0 / n_steps, tol_rel=1.0 / n_steps).evolve(1.0)


def drift_reaction(b, n_steps):
    s = DriftReaction1D.with_arrays(0.0, 1.0, 101, b, np.zeros(101), 0.0, COS101)
    s.evolve(1.0, n_steps)
    return s.values()


# u_t = a u'' + b u' with b sampled with both signs: where characteristics meet, the
# degree-7 reads (central in the limit of small steps) grew grid-scale bumps by their own
# overshoot every step, more the more steps: 533, 1.8e34, 5.9e42 (rough b) and 1.05, 217,
# 1.9e4 (b = sin 16 pi x) at 100, 1000, 10000 steps of evolve; 6.4e38 ... 2.2e43 for
# AdaptivePI, 2.8e4, 9.8e11, 1.7e18 for DriftReaction1D on the rough drift. b = sin 8 pi x is
# smooth on the grid (25 nodes a wavelength), but plain reads next to its zeros grew the data
# too: 1.34 at 10000 steps (and 320, 8.6e12 at t = 3, 10 in steps of 1e-4).
@pytest.mark.parametrize("n_steps", [100, 1000, 10000])
@pytest.mark.parametrize("run", [
    lambda b, a, m: after(sampled_drift(b, a), lambda s: s.evolve(1.0, m)),
    lambda b, a, m: sampled_drift(b, a).evolve_batched(1.0, np.stack([COS101, -COS101], axis=1), m)[:, 1],
    lambda b, a, m: after(Shift1D(0.0, 1.0, 101, COS101), lambda s: s.evolve_with_coefficient_schedule(
        1.0, m // 2, [a, a], b_schedule=[b, b], c_schedule=[0.0, 0.0])),
    lambda b, a, m: adaptive_drift(b, a, m),
    lambda b, a, m: drift_reaction(b, m),
], ids=["evolve", "batched", "coefficient_schedule", "adaptive", "drift_reaction"])
@pytest.mark.parametrize("b, a", [(ROUGH_B, 0.0), (ROUGH_B, 1e-4), (WAVY_B, 0.0), (SLOW_B, 0.0)],
                         ids=["rough", "rough-a", "wavy", "slow-wave"])
def test_sampled_drift_never_grows_data(b, a, run, n_steps):
    # The exact solution stays in the range [-1, 1] of u0; so does every step, clipped to the
    # range of u0's read (max |u| 1 to rounding at every count).
    assert np.abs(run(b, a, n_steps)).max() <= 1.0 + 1e-12


# Steps that carry the data across zeros of the drift: b = 2 sin 10 pi x on 101 periodic nodes
# (zeros 10.1 cells apart), steps of up to 10 cells. Weighed by b next to each node alone, the
# reads of nodes away from a zero stayed plain although their feet lay beyond one: max |u| 1,
# 1, 42, 9.3e28 after 100, 300, 1000, 3000 steps (plain reads: 1, 1.9, 9.2e3, 7.2e26). The
# change of b from the node to its foot holds them.
@pytest.mark.parametrize("n_steps", [100, 1000, 3000])
def test_steps_across_zeros_of_the_drift_grow_nothing(n_steps):
    n = 101
    x = np.arange(n) / n
    tau = 10.0 / (n * 2.0 * 2.0)  # 2 tau max|b| = 10 cells
    s = Shift1D.with_arrays(0.0, x[-1], n, np.zeros(n), 2.0 * np.sin(10.0 * np.pi * x), np.zeros(n), 0.0,
                            np.cos(2.0 * np.pi * x), boundary="periodic")
    s.evolve(tau * n_steps, n_steps)
    # 1e-11: the range allows 1e-2 |D8 u| = 2.3e-12 beyond the read's crest for the steps' own
    # error on smooth data.
    assert np.abs(s.values()).max() <= 1.0 + 1e-11


@pytest.mark.parametrize("drift", [lambda y: 0.3 * np.sin(2.0 * np.pi * y),
                                   lambda y: 0.5 + 0.25 * np.sin(2.0 * np.pi * y)], ids=["meeting", "one-way"])
def test_sampled_drift_converges_to_first_order(drift):
    # u_t = b(x) u' carries u0 along the characteristics: u(x, t) = u0(Y(t)), dY/ds = b(Y),
    # Y(0) = x, integrated by SciPy to 1e-12. b = 0.3 sin 2 pi x makes them meet at x = 1/2.
    n, t = 100, 0.5
    x = np.arange(n) / n  # periodic: period n*dx = 1
    foot = solve_ivp(lambda s, y: drift(y), (0.0, t), x, method="DOP853", rtol=1e-12, atol=1e-13).y[:, -1]
    exact = np.cos(2.0 * np.pi * foot)
    errors = []
    for m in (100, 1000, 10000):
        s = Shift1D.with_arrays(0.0, x[-1], n, np.zeros(n), drift(x), np.zeros(n), 0.0, np.cos(2.0 * np.pi * x),
                                boundary="periodic")
        s.evolve(t, m)
        errors.append(np.abs(s.values() - exact).max())
    # Order 1: ten times the steps, a tenth of the error (9.87, 9.99 and 9.75, 9.97); a
    # read clipped at a smooth extremum would leave an error of order dx^2 u'' (4e-3)
    # that no step count removes.
    assert [errors[0] / errors[1], errors[1] / errors[2]] == pytest.approx([10.0, 10.0], rel=0.03)
    assert errors[0] < 0.03


@pytest.mark.parametrize("b", [0.3, -0.7, 0.1])
@pytest.mark.parametrize("boundary", ["reflect", "periodic", "zero"])
def test_constant_sampled_drift_takes_the_constant_step(b, boundary):
    # Catmull-Rom weights return equal samples of -0.7 or 0.1 only to within ulps at some
    # nodes; such a drift is still the same shift everywhere and reads as the constructor
    # does, bit for bit, also on rough data where a bounded read would differ.
    n = 101
    noise = np.random.default_rng(1).uniform(-1.0, 1.0, n)
    plain = Shift1D(0.0, 1.0, n, noise, a=1e-3, b=b, boundary=boundary)
    arrays = Shift1D.with_arrays(0.0, 1.0, n, np.full(n, 1e-3), np.full(n, b), np.zeros(n), 0.0, noise,
                                 boundary=boundary)
    plain.evolve(1.0, n_steps=500)
    arrays.evolve(1.0, n_steps=500)
    assert np.array_equal(plain.values(), arrays.values())


def test_evolve_contract_and_surface():
    check_evolve_contract(gaussian_object(a=0.3, b=0.2))  # zero steps resample at the nodes: a few ulps of max|u| = 1
    check_surface(Shift1D, '(xmin, xmax, n, u0, *, a=0.5, b=0.0, c=0.0, boundary="reflect")',
                  with_arrays='(xmin, xmax, n, a, b, c, c_norm_bound, u0, *, boundary="reflect")',
                  evolve=EVOLVE, values=SELF, evolve_batched="($self, t, u0_nc, n_steps=100)",
                  evolve_with_time_schedule="($self, t_final, n_steps_per_segment, a_schedule, *, b=0.0, c=0.0)",
                  evolve_with_coefficient_schedule="($self, t_final, n_steps_per_segment, a_schedule, *, "
                                                   "b_schedule=None, c_schedule=None)")
