"""Heat1D: the second-order Chernoff heat evolver, its variable-coefficient
factories, chunked evolution, the single-precision path and its errors."""

import gc
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import scipy.linalg

import quorvane
from quorvane import Heat1D, QuorvaneError

T_MESSAGE = "[OutOfDomain] t must be finite and >= 0"
STEPS_MESSAGE = "[OutOfDomain] n_steps must be >= 1"
ELLIPTICITY = "[OutOfDomain] a(x) must be finite and >= 0 (strict ellipticity required for sqrt)"


def message(fn, *args, **kwargs):
    with pytest.raises(QuorvaneError) as info:
        fn(*args, **kwargs)
    return str(info.value)


def bump(n=16, lo=-2.0, hi=2.0):
    x = np.linspace(lo, hi, n)
    return x, np.exp(-x * x) * (1.0 + 0.3 * x)


# --------------------------------------------------------------------------
# Exact solutions and orders
# --------------------------------------------------------------------------


def gaussian_errors(steps_list, n=961, half_width=12.0):
    # u0 = exp(-x^2/(4 t0)) is the heat kernel at time t0 up to a factor, so
    # u(t) = sqrt(t0/(t0+t)) exp(-x^2/(4(t0+t))); at |x| = 12 it is ~1e-30,
    # so the boundary rule plays no part.
    t0, t = 0.25, 0.5
    x = np.linspace(-half_width, half_width, n)
    exact = np.sqrt(t0 / (t0 + t)) * np.exp(-x * x / (4.0 * (t0 + t)))
    errors = []
    for steps in steps_list:
        h = Heat1D(-half_width, half_width, n, np.exp(-x * x / (4.0 * t0)))
        h.evolve(t, n_steps=steps)
        errors.append(np.max(np.abs(h.values() - exact)))
    return np.array(errors)


def test_gaussian_second_order_in_time():
    # dx = 0.025: the degree-7 Hermite interpolation error (~dx^8 per step) is
    # far below 1e-9 (the errors do not change when dx is halved or doubled),
    # so what is left is the O(tau^2) Chernoff error, ratio 4 per doubling.
    errors = gaussian_errors([10, 20, 40, 80])
    ratios = errors[:-1] / errors[1:]
    assert ratios == pytest.approx([4.0, 4.0, 4.0], abs=0.3)
    assert errors[-1] < 2e-6


def cos_mode(k, n, xmin=-1.0, xmax=2.0):
    w = k * np.pi / (xmax - xmin)
    x = np.linspace(xmin, xmax, n)
    return w, np.cos(w * (x - xmin))


@pytest.mark.parametrize("k", [1, 3, 6])
def test_cosine_mode_reflect_second_order(k):
    # Under "reflect" cos(k pi (x - xmin)/L) is an eigenfunction of d2/dx2
    # with eigenvalue -(k pi/L)^2; 121 nodes keep the spatial error < 1e-10.
    w, u0 = cos_mode(k, 121)
    t = 0.05
    errors = []
    for steps in (10, 20, 40, 80):
        h = Heat1D(-1.0, 2.0, 121, u0, boundary="reflect")
        h.evolve(t, steps)
        errors.append(np.max(np.abs(h.values() - np.exp(-w * w * t) * u0)))
    ratios = np.array(errors[:-1]) / np.array(errors[1:])
    assert ratios == pytest.approx([4.0, 4.0, 4.0], abs=0.25)


def quadrature_symbol(w, tau):
    # One step multiplies a cosine mode by the five-point rule's symbol:
    # 7/12 + 2*3/16 cos(w 2 sqrt(tau)) + 2*1/48 cos(w 2 sqrt(3 tau)).
    return 7 / 12 + 0.375 * np.cos(2 * w * np.sqrt(tau)) + (1 / 24) * np.cos(2 * w * np.sqrt(3 * tau))


def test_cosine_mode_follows_the_quadrature_symbol_up_to_interpolation():
    # The discrete answer is symbol^m * u0 up to interpolation error alone;
    # that error falls like dx^8 (degree-7 Hermite with derived slopes).
    t, steps, k = 0.05, 40, 6
    deviations = []
    for n in (61, 121):
        w, u0 = cos_mode(k, n)
        h = Heat1D(-1.0, 2.0, n, u0)
        h.evolve(t, steps)
        deviations.append(np.max(np.abs(h.values() - quadrature_symbol(w, t / steps) ** steps * u0)))
    # 5e-11 at dx = 0.025: rounding (~1e-14 per step) is still far below it.
    assert deviations[1] < 1e-10
    assert deviations[0] / deviations[1] > 150  # 2^8 = 256 for order 8; > 2^7


def test_successive_evolves_continue_from_the_last_result():
    # 0.25/4 = 0.375/6 = 0.625/10 = 0.0625 exactly, so the three calls run
    # the same step the same number of times.
    _, u0 = bump(32)
    a, b = Heat1D(-2.0, 2.0, 32, u0), Heat1D(-2.0, 2.0, 32, u0)
    a.evolve(0.25, 4)
    a.evolve(0.375, 6)
    b.evolve(0.625, 10)
    assert np.array_equal(a.values(), b.values())


def test_zero_time_keeps_the_values():
    _, u0 = bump(32)
    h = Heat1D(-2.0, 2.0, 32, u0)
    h.evolve(-0.0, 3)  # -0.0 passes the "finite and >= 0" check
    # The weights sum to 1 and every point coincides with the node: only
    # rounding of the weighted sum remains.
    assert np.max(np.abs(h.values() - u0)) < 4e-16


# --------------------------------------------------------------------------
# Variable coefficients
# --------------------------------------------------------------------------

# a(x) = 1 + 0.5 sin(pi x / 4) is 16-periodic, so on [-8, 8) a Fourier
# discretisation of d/dx(a du/dx) is spectrally exact; u(t) from
# u0 = exp(-2 x^2) stays below 1e-15 near +-8 for t <= 0.2.
HALF = 8.0
OMEGA = np.pi / 4


def coef_a(x):
    return 1.0 + 0.5 * np.sin(OMEGA * x)


def coef_a1(x):
    return 0.5 * OMEGA * np.cos(OMEGA * x)


def coef_a2(x):
    return -0.5 * OMEGA * OMEGA * np.sin(OMEGA * x)


def spectral_reference(t, x_out, divergence_form=True, m=256):
    xs = -HALF + 2 * HALF * np.arange(m) / m
    k = 2 * np.pi * np.fft.fftfreq(m, d=2 * HALF / m)
    fourier = np.fft.fft(np.eye(m), axis=0)
    d = np.real(np.linalg.solve(fourier, np.diag(1j * k) @ fourier))
    if divergence_form:
        generator = d @ np.diag(coef_a(xs)) @ d
    else:
        generator = np.diag(coef_a(xs)) @ d @ d
    u = scipy.linalg.expm(t * generator) @ np.exp(-2 * xs * xs)
    coefficients = np.fft.fft(u) / m
    return np.real(np.exp(1j * np.outer(x_out + HALF, k)) @ coefficients)


@pytest.fixture(scope="module")
def variable_reference():
    x = np.linspace(-HALF, HALF, 801)
    return x, spectral_reference(0.2, x), spectral_reference(0.2, x, divergence_form=False)


def test_reference_tells_the_two_forms_apart(variable_reference):
    _, divergence, plain = variable_reference
    # a u'' and (a u')' differ by a' u'; the tests below need 1e-4 or better.
    assert np.max(np.abs(divergence - plain)) > 0.03


@pytest.mark.parametrize("build", ["array", "array_with_derivatives", "function"])
def test_variable_coefficient_approximates_divergence_form(variable_reference, build):
    x, reference, _ = variable_reference
    n = x.size
    u0 = np.exp(-2 * x * x)
    errors = []
    for steps in (20, 40, 80):
        if build == "array":
            h = Heat1D.with_a_array(-HALF, HALF, n, coef_a(x), u0)
        elif build == "array_with_derivatives":
            h = Heat1D.with_a_array(-HALF, HALF, n, coef_a(x), u0, a_prime=coef_a1(x),
                                    a_double_prime=coef_a2(x), a_norm_bound=1.5)
        else:
            if steps > 40:
                break  # one Python call per coefficient evaluation: keep it short
            h = Heat1D.with_a_function(-HALF, HALF, n, lambda p: float(coef_a(p)), lambda p: float(coef_a1(p)),
                                       lambda p: float(coef_a2(p)), 1.5, u0)
        h.evolve(0.2, steps)
        errors.append(np.max(np.abs(h.values() - reference)))
    errors = np.array(errors)
    # Second order in time against the divergence form; at dx = 0.02 the
    # sampled coefficient and its difference derivatives add < 1e-7.
    assert errors[:-1] / errors[1:] == pytest.approx([4.0] * (errors.size - 1), abs=0.35)
    assert errors[1] < 2e-5


@pytest.mark.parametrize("c", [1.0, 2.0])
def test_constant_array_and_function_equal_the_constructor(c):
    # Catmull-Rom of equal samples returns the sample exactly and the
    # difference derivatives vanish exactly, so the sampled kernel runs the
    # constructor's arithmetic: a*tau = c*(t/m) equals 1*((c t)/m) exactly
    # for c = 1 and 2 (a power of two only shifts the exponent).
    _, u0 = bump(64, -4.0, 4.0)
    plain = Heat1D(-4.0, 4.0, 64, u0)
    plain.evolve(0.3 * c, 37)
    sampled = Heat1D.with_a_array(-4.0, 4.0, 64, np.full(64, c), u0)
    sampled.evolve(0.3, 37)
    called = Heat1D.with_a_function(-4.0, 4.0, 64, lambda p: c, lambda p: 0, lambda p: 0.0, c, u0)
    called.evolve(0.3, 37)
    assert np.array_equal(sampled.values(), plain.values())
    assert np.array_equal(called.values(), plain.values())


def test_constant_array_with_time_rescaling_is_equal_to_rounding():
    # a = 0.7: a*tau = 0.7*(t/m) and (0.7 t)/m may differ in the last bit,
    # which moves every quadrature point by ~1e-16 relative.
    _, u0 = bump(64, -4.0, 4.0)
    plain = Heat1D(-4.0, 4.0, 64, u0)
    plain.evolve(0.3 * 0.7, 37)
    sampled = Heat1D.with_a_array(-4.0, 4.0, 64, np.full(64, 0.7), u0)
    sampled.evolve(0.3, 37)
    assert np.max(np.abs(sampled.values() - plain.values())) < 1e-14


# --------------------------------------------------------------------------
# Chunked evolution, threads
# --------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", ["f64", "f32"])
def test_evolve_chunked_is_bit_identical_to_evolve(dtype):
    _, u0 = bump(40)
    chunked = Heat1D(-2.0, 2.0, 40, u0, dtype=dtype)
    plain = Heat1D(-2.0, 2.0, 40, u0)  # chunks always run in double precision
    calls = []
    assert chunked.evolve_chunked(0.3, 10, 3, lambda done, total: calls.append((done, total))) is None
    plain.evolve(0.3, 10)
    assert calls == [(3, 10), (6, 10), (9, 10), (10, 10)]
    assert all(type(v) is int for call in calls for v in call)
    assert np.array_equal(chunked.values(), plain.values())


def test_evolve_chunked_single_chunk_and_variable_coefficient():
    x, u0 = bump(40)
    a = 1.0 + 0.5 * np.cos(x)
    chunked = Heat1D.with_a_array(-2.0, 2.0, 40, a, u0)
    plain = Heat1D.with_a_array(-2.0, 2.0, 40, a, u0)
    calls = []
    chunked.evolve_chunked(0.3, 7, 50, progress=lambda *args: calls.append(args))
    plain.evolve(0.3, 7)
    assert calls == [(7, 7)]
    assert np.array_equal(chunked.values(), plain.values())
    chunked.evolve_chunked(0.1, 5, 2)  # no progress
    plain.evolve(0.1, 5)
    assert np.array_equal(chunked.values(), plain.values())


def test_variable_coefficient_amplifying_steps_refused():
    # a = 1 + 0.5 sin(2 pi x) on n = 201: the real step of tau = 5e-3 has
    # spectral radius 1.15, so 100 such steps would amplify rounding noise
    # about 1e6-fold. evolve and evolve_chunked refuse the call alike and keep
    # the values; the step count they suggest evolves noise without growth.
    x = np.linspace(-0.5, 0.5, 201)
    a = 1.0 + 0.5 * np.sin(2.0 * np.pi * x)
    u0 = np.exp(-20.0 * x * x)
    h = Heat1D.with_a_array(-0.5, 0.5, 201, a, u0)
    text = message(h.evolve, 0.5, 100)
    m = re.fullmatch(
        r"\[CflViolated\] Heat1D: tau = t/n_steps = 5\.000e-3 exceeds the largest admissible tau = (\S+) on this "
        r"grid \(dx = 5\.000e-3\): the derivative correction .*; use n_steps >= (\d+) for t = 0\.5",
        text,
    )
    assert m, text
    assert message(h.evolve_chunked, 0.5, 100, 10) == text
    assert np.array_equal(h.values(), u0)
    steps = int(m.group(2))
    assert 0.5 / steps <= float(m.group(1))
    noise = np.random.default_rng(4).standard_normal(201)
    h = Heat1D.with_a_array(-0.5, 0.5, 201, a, noise)
    h.evolve(0.5, steps)
    assert np.abs(h.values()).max() < np.abs(noise).max()


def test_f32_chunked_differs_from_its_own_evolve():
    _, u0 = bump(40)
    single, chunked = Heat1D(-2.0, 2.0, 40, u0, dtype="f32"), Heat1D(-2.0, 2.0, 40, u0, dtype="f32")
    single.evolve(0.3, 10)
    chunked.evolve_chunked(0.3, 10, 4)
    difference = np.max(np.abs(single.values() - chunked.values()))
    # Single-precision rounding, accumulated over ten steps.
    assert 0 < difference < 1e-5


def test_progress_exception_propagates_and_keeps_values():
    _, u0 = bump(40)
    h = Heat1D(-2.0, 2.0, 40, u0)
    before = h.values()

    class Stop(Exception):
        pass

    stop = Stop("enough")

    def progress(done, total):
        if done >= 4:
            raise stop

    with pytest.raises(Stop) as info:
        h.evolve_chunked(0.3, 10, 4, progress)
    assert info.value is stop
    assert np.array_equal(h.values(), before)
    with pytest.raises(TypeError):
        h.evolve_chunked(0.3, 10, 4, progress=5)  # not callable
    assert np.array_equal(h.values(), before)


PARALLEL_SCRIPT = textwrap.dedent("""
    import sys
    import numpy as np
    import quorvane
    n = 8192
    x = np.linspace(-6.0, 6.0, n)
    u0 = np.exp(-x * x) * (1.0 + 0.2 * np.sin(3.0 * x))
    plain = quorvane.Heat1D(-6.0, 6.0, n, u0, boundary="zero")
    plain.evolve(0.4, 7)
    varying = quorvane.Heat1D.with_a_array(-6.0, 6.0, n, 1.0 + 0.5 * np.tanh(x), u0)
    varying.evolve_chunked(0.4, 7, 3)
    sys.stdout.write(plain.values().tobytes().hex() + "\\n" + varying.values().tobytes().hex())
""")


def run_with_threshold(threshold):
    env = dict(os.environ, TAMBRIK_PARALLEL_THRESHOLD=str(threshold))
    module_dir = os.path.dirname(os.path.abspath(quorvane.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    done = subprocess.run([sys.executable, "-c", PARALLEL_SCRIPT], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_serial_and_parallel_runs_are_bit_identical():
    # Threshold 64 splits 8192 nodes over every processor; 1000000 keeps one
    # thread. Each node's value depends only on the input, never on the split.
    parallel, serial = run_with_threshold(64), run_with_threshold(1000000)
    assert len(serial) > 8192 * 16
    assert parallel == serial


# --------------------------------------------------------------------------
# Single precision
# --------------------------------------------------------------------------


@pytest.mark.parametrize("boundary", ["reflect", "zero", "periodic", "linear"])
def test_f32_honours_the_boundary_policy(boundary):
    x = np.linspace(-5.0, 5.0, 201)
    u0 = np.exp(-x * x) + 0.5
    single, double = (Heat1D(-5.0, 5.0, 201, u0, boundary=boundary, dtype=d) for d in ("f32", "f64"))
    single.evolve(0.5, 50)
    double.evolve(0.5, 50)
    # ~6e-8 rounding per operation over 50 steps; the policies themselves
    # differ at the ends by 0.4 ("zero" against "reflect").
    assert np.max(np.abs(single.values() - double.values())) < 1e-5


def test_f32_zero_and_reflect_differ_near_the_ends():
    x = np.linspace(-5.0, 5.0, 201)
    ends = {}
    for boundary in ("zero", "reflect"):
        h = Heat1D(-5.0, 5.0, 201, np.exp(-x * x) + 0.5, boundary=boundary, dtype="f32")
        h.evolve(0.5, 50)
        ends[boundary] = h.values()[[0, -1]]
    assert np.all(ends["zero"] < 0.1)
    assert np.all(np.abs(ends["reflect"] - 0.5) < 1e-3)


@pytest.mark.parametrize("xmin, u0, text", [
    (-1e39, np.zeros(10), "[NanInf] xmin must be finite: -inf"),
    (0.0, np.full(10, 1e39), "[NanInf] all values must be finite (no NaN/Inf): inf"),
])
def test_f32_range_failures_surface_at_evolve(xmin, u0, text):
    h = Heat1D(xmin, 1.0, 10, u0, dtype="f32")  # fine in double precision
    before = h.values()
    assert message(h.evolve, 0.1) == text
    assert np.array_equal(h.values(), before)


# --------------------------------------------------------------------------
# Errors
# --------------------------------------------------------------------------

GOOD = dict(xmin=0.0, xmax=1.0, n=8, u0=[0.0] * 8)


@pytest.mark.parametrize("changes, text", [
    # Each row also carries the faults of later rows: the first one wins.
    (dict(boundary="sideways", dtype="F32", u0="x", xmin=float("nan")),
     '[OutOfDomain] unknown boundary policy "sideways"; valid options are: "reflect", "periodic", "zero", "linear"'),
    (dict(dtype="F32", u0="x", xmin=float("nan")),
     "[OutOfDomain] dtype 'F32' is not supported; accepted values: \"f64\" (default), \"f32\". "
     "fp16 is explicitly REJECTED (dep-budget violation)."),
    (dict(u0=[0.0] * 7 + [float("nan")], xmin=2.0, n=3), "[NanInf] u0 contains NaN or Inf: NaN"),
    (dict(u0=[float("-inf")] + [0.0] * 7), "[NanInf] u0 contains NaN or Inf: -inf"),
    (dict(xmin=float("inf"), xmax=float("nan"), n=3), "[NanInf] xmin must be finite: inf"),
    (dict(xmax=float("nan"), n=3), "[NanInf] xmax must be finite: NaN"),
    (dict(xmin=1.0, n=3), "[GridMismatch] xmin must be < xmax"),
    (dict(xmin=2.0), "[GridMismatch] xmin must be < xmax"),
    (dict(n=3, u0=[0.0] * 3), "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
    (dict(n=0, u0=[]), "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
    (dict(n=4, u0=[0.0] * 5), "[GridMismatch] values.len() must equal grid.n"),
])
def test_constructor_errors_in_order(changes, text):
    kwargs = dict(GOOD, **changes)
    u0 = kwargs.pop("u0")
    assert message(Heat1D, kwargs.pop("xmin"), kwargs.pop("xmax"), kwargs.pop("n"), u0, **kwargs) == text


def test_constructor_u0_type_error_comes_after_the_options():
    with pytest.raises(TypeError) as info:
        Heat1D(float("nan"), 1.0, 3, "x", boundary="ZERO", dtype="f32")
    assert str(info.value) == "u0 must be a numpy.ndarray[float64] or a sequence of floats"


@pytest.mark.parametrize("t, steps, text", [
    (-1.0, 0, STEPS_MESSAGE),
    (float("nan"), 0, STEPS_MESSAGE),
    (float("nan"), 10, T_MESSAGE),
    (float("inf"), 10, T_MESSAGE),
    (float("-inf"), 10, T_MESSAGE),
    (-1e-300, 10, T_MESSAGE),
    (-1.0, 10, T_MESSAGE),
])
@pytest.mark.parametrize("dtype", ["f64", "f32"])
def test_evolve_argument_errors_keep_values(t, steps, text, dtype):
    _, u0 = bump()
    h = Heat1D(-2.0, 2.0, 16, u0, dtype=dtype)
    h.evolve(0.1, 3)
    before = h.values()
    assert message(h.evolve, t, n_steps=steps) == text
    assert np.array_equal(h.values(), before)


@pytest.mark.parametrize("args, text", [
    ((-1.0, 0, 0), STEPS_MESSAGE),
    ((float("inf"), 10, 0), T_MESSAGE),
    ((0.1, 10, 0), "[OutOfDomain] chunk_steps must be >= 1"),
])
def test_evolve_chunked_argument_errors(args, text):
    _, u0 = bump()
    h = Heat1D(-2.0, 2.0, 16, u0)
    calls = []
    assert message(h.evolve_chunked, *args, lambda *a: calls.append(a)) == text
    assert calls == []
    assert np.array_equal(h.values(), u0)


N = 16
A_ONES = np.ones(N)
U0 = np.linspace(0.0, 1.0, N)


@pytest.mark.parametrize("args, kwargs, text", [
    ((A_ONES, U0), dict(boundary="up"),
     '[OutOfDomain] unknown boundary policy "up"; valid options are: "reflect", "periodic", "zero", "linear"'),
    (("ones", U0), {}, "[GridMismatch] a must be numpy.ndarray[float64]"),
    ((A_ONES, U0), dict(a_prime="x"), "[GridMismatch] a_prime must be numpy.ndarray[float64]"),
    ((A_ONES, U0), dict(a_double_prime=object()), "[GridMismatch] a_double_prime must be numpy.ndarray[float64]"),
    # a is checked against n only after its derivatives were formed, and
    # before the derivative arrays.
    ((np.ones(N - 1), U0), dict(a_prime=np.ones(3)), f"[GridMismatch] coefficient array length {N - 1} != n={N}"),
    ((np.ones(N + 2), U0), {}, f"[GridMismatch] coefficient array length {N + 2} != n={N}"),
    ((np.r_[A_ONES[:-1], np.nan], U0), {}, "[NanInf] coefficient array contains NaN or Inf"),
    ((np.r_[np.inf, A_ONES[1:]], U0), {}, "[NanInf] coefficient array contains NaN or Inf"),
    ((A_ONES, U0), dict(a_prime=np.ones(N - 1)), f"[GridMismatch] derivative array length {N - 1} != n={N}"),
    ((A_ONES, U0), dict(a_double_prime=np.ones(N + 1)), f"[GridMismatch] derivative array length {N + 1} != n={N}"),
    ((A_ONES, np.r_[U0[:-1], np.nan]), {}, "[NanInf] u0 contains NaN or Inf: NaN"),
    ((A_ONES, U0[:-1]), {}, "[GridMismatch] values.len() must equal grid.n"),
])
def test_with_a_array_errors(args, kwargs, text):
    assert message(Heat1D.with_a_array, 0.0, 1.0, N, *args, **kwargs) == text


def test_with_a_array_small_grids():
    assert message(Heat1D.with_a_array, 0.0, 1.0, 3, [1.0] * 3, [0.0] * 3) == \
        "[GridMismatch] n must be >= 4 (septic Hermite stencil)"
    assert message(Heat1D.with_a_array, 1.0, 0.0, 4, [1.0] * 4, [0.0] * 4) == "[GridMismatch] xmin must be < xmax"
    with pytest.raises(TypeError) as info:
        Heat1D.with_a_array(0.0, 1.0, N, "a", "u0")  # u0 is converted before a
    assert str(info.value) == "u0 must be a numpy.ndarray[float64] or a sequence of floats"


@pytest.mark.parametrize("a, kwargs", [
    ([], {}),
    ([1.0], {}),
    ([1.0, 1.0], {}),
    ([1.0, 1.0], dict(a_prime=[0.0, 0.0])),
    ([1.0, 1.0], dict(a_double_prime=[0.0, 0.0])),
])
@pytest.mark.parametrize("n", [2, N])
def test_too_few_samples_to_derive_are_refused(a, kwargs, n):
    # The difference derivatives need three samples; fewer must be refused
    # before they are formed, whatever n is.
    text = message(Heat1D.with_a_array, 0.0, 1.0, n, a, [0.0] * n, **kwargs)
    assert text.startswith("[GridMismatch] ")


def test_two_samples_with_both_derivatives_given_reach_the_length_check():
    text = message(Heat1D.with_a_array, 0.0, 1.0, N, [1.0, 1.0], U0, a_prime=[0.0] * N, a_double_prime=[0.0] * N)
    assert text == f"[GridMismatch] coefficient array length 2 != n={N}"


def test_with_a_function_errors():
    one = lambda p: 1.0
    assert message(Heat1D.with_a_function, 0.0, 1.0, 3, one, one, one, 1.0, [0.0] * 3) == \
        "[GridMismatch] n must be >= 4 (septic Hermite stencil)"
    assert message(Heat1D.with_a_function, float("nan"), 1.0, N, one, one, one, 1.0, [np.inf] * N) == \
        "[NanInf] u0 contains NaN or Inf: inf"
    assert message(Heat1D.with_a_function, 0.0, 1.0, N, one, one, one, 1.0, U0, boundary="") == \
        '[OutOfDomain] unknown boundary policy ""; valid options are: "reflect", "periodic", "zero", "linear"'
    with pytest.raises(TypeError) as info:
        Heat1D.with_a_function(0.0, 1.0, N, one, one, one, 1.0, "u0")
    assert str(info.value) == "u0 must be a numpy.ndarray[float64] or a sequence of floats"


class CoefficientFailure(Exception):
    pass


def test_raising_callable_is_the_cause_of_the_evolve_error():
    raised = []

    def a(x):
        if x > 0.5:
            raised.append(CoefficientFailure(f"no coefficient at {x}"))
            raise raised[-1]
        return 1.0

    h = Heat1D.with_a_function(0.0, 1.0, N, a, lambda x: 0.0, lambda x: 0.0, 1.0, U0)
    for evolve in (lambda: h.evolve(0.01, 4), lambda: h.evolve_chunked(0.01, 4, 2)):
        raised.clear()
        with pytest.raises(QuorvaneError) as info:
            evolve()
        # The step reads a NaN a at a finite point; the callable's own
        # exception is kept as the cause.
        assert str(info.value) == ELLIPTICITY
        assert info.value.__cause__ is raised[0]
        assert np.array_equal(h.values(), U0)


def zero(x):
    return 0.0


@pytest.mark.parametrize("a, a1, a2, text, cause", [
    (1.0, zero, zero, ELLIPTICITY, TypeError),  # not callable: every a(x) is NaN
    (lambda x: "1", zero, zero, ELLIPTICITY, TypeError),
    (lambda x: -1.0, zero, zero, ELLIPTICITY, None),
    # a'' enters only the correction term: the NaN reaches the result.
    (lambda x: 1.0, zero, lambda x: float("nan"), "[NanInf] all values must be finite (no NaN/Inf): NaN", None),
    (lambda x: 1.0, zero, lambda x: 1 / 0, "[NanInf] all values must be finite (no NaN/Inf): NaN",
     ZeroDivisionError),
    # An infinite drift moves the sample points off to infinity.
    (lambda x: 1.0, lambda x: float("inf"), zero, None, None),
])
def test_bad_coefficients_never_store_non_finite_values(a, a1, a2, text, cause):
    h = Heat1D.with_a_function(0.0, 1.0, N, a, a1, a2, 1.0, U0)
    with pytest.raises(QuorvaneError) as info:
        h.evolve(0.01, 3)
    if text is not None:
        assert str(info.value) == text
    else:
        assert str(info.value).startswith("[NanInf] ")
    if cause is None:
        assert info.value.__cause__ is None
    else:
        assert isinstance(info.value.__cause__, cause)
    assert np.array_equal(h.values(), U0)


@pytest.mark.parametrize("kwargs, kind", [
    (dict(a_double_prime=np.r_[np.zeros(N - 1), np.nan]), "[NanInf] "),
    (dict(a_prime=np.r_[np.nan, np.zeros(N - 1)]), "[NanInf] "),
])
def test_non_finite_derivative_samples_are_accepted_but_evolve_fails(kwargs, kind):
    h = Heat1D.with_a_array(0.0, 1.0, N, A_ONES, U0, **kwargs)
    assert message(h.evolve, 0.01, 3).startswith(kind)
    assert np.array_equal(h.values(), U0)


def test_negative_sampled_coefficient_fails_at_evolve():
    h = Heat1D.with_a_array(0.0, 1.0, N, np.linspace(1.0, -1.0, N), U0)
    assert message(h.evolve, 0.01, 3) == ELLIPTICITY
    assert np.array_equal(h.values(), U0)


def test_callables_are_released_with_the_object():
    def a(x):
        return 1.0

    def zero(x):
        return 0.0

    before = sys.getrefcount(a), sys.getrefcount(zero)
    h = Heat1D.with_a_function(0.0, 1.0, N, a, zero, zero, 1.0, U0)
    h.evolve(0.01, 3)
    h.evolve_chunked(0.01, 3, 1)
    del h
    gc.collect()
    assert (sys.getrefcount(a), sys.getrefcount(zero)) == before


# --------------------------------------------------------------------------
# values() and __len__
# --------------------------------------------------------------------------


def test_values_returns_a_fresh_float64_copy():
    h = Heat1D(0.0, 1.0, N, U0)
    first, second = h.values(), h.values()
    assert first is not second
    assert first.dtype == np.float64 and first.shape == (N,)
    assert first.flags["C_CONTIGUOUS"] and first.flags["WRITEABLE"]
    first[:] = -1.0
    assert np.array_equal(h.values(), U0)
    assert np.array_equal(second, U0)
    assert len(h) == N
