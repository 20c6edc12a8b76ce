"""Transport steps read plainly and clip each new value to the range the flow keeps: accurate
where the plain reads converge, bounded where they would grow, continuous in the drift."""
import numpy as np
import pytest
import scipy.linalg as sl

import quorvane as q
from conftest import periodic_read_range

PI = np.pi


def _reference(a, bf, c, u0f, t, m):
    """e^{tL} u0 of the Fourier collocation operator of u_t = a u'' + b(x) u' + c u on 6m points
    of periodic [0, 1) (exact in time; 4m agrees to 4e-14), read at the m nodes."""
    M = 6 * m
    x = np.arange(M) / M
    k = 2 * PI * np.fft.fftfreq(M, 1.0 / M)
    F = np.fft.fft(np.eye(M), axis=0)
    d1 = np.real(np.fft.ifft(1j * k[:, None] * F, axis=0))
    d2 = np.real(np.fft.ifft(-(k ** 2)[:, None] * F, axis=0))
    L = a * d2 + bf(x)[:, None] * d1 + c * np.eye(M)
    return (sl.expm(t * L) @ u0f(x))[::6]


def _shift(m, a, b, c, u0, **kw):
    x = np.arange(m) / m
    return q.Shift1D.with_arrays(0.0, x[-1], m, np.full(m, a), b, np.full(m, c), 1.0, u0, boundary="periodic", **kw)


def _shift_error(m, a, bf, c, u0f, t):
    x = np.arange(m) / m
    ref = _reference(a, bf, c, u0f, t, m)

    def run(n_steps):
        s = _shift(m, a, bf(x), c, u0f(x))
        s.evolve(t, n_steps)
        return np.abs(s.values() - ref).max() / np.abs(ref).max()
    return run


# A drift that changes sign and one that comes near 0, on smooth resolved data: the errors are
# the plain reads' (first order, down to the grid's floor). Reads held near the drift's zeros
# instead gave 0.118, 0.236, 0.310 and 1.7e-2, 3.0e-2, 3.2e-2, rising with the count.
# Bounds: the plain reads' errors times 1.3.
@pytest.mark.parametrize("run, bounds", [
    (_shift_error(58, 0.002, lambda x: -0.2371 + 0.2135 * np.sin(6 * PI * x + 2.511), 0.0,
                  lambda x: -0.5400 * np.sin(12 * PI * x + 4.6415) - 0.4121 * np.sin(10 * PI * x + 4.9930), 0.3),
     (7.1e-2, 8.6e-3, 5.3e-3)),
    (_shift_error(57, 0.002, lambda x: 0.02341 - 0.02579 * np.sin(2 * PI * x + 0.9828) -
                  0.06670 * np.sin(4 * PI * x + 1.8551), -0.5,
                  lambda x: 0.8497 * np.sin(18 * PI * x + 1.9161) + 0.4108 * np.sin(4 * PI * x + 1.3587), 1.0),
     (2.0e-2, 2.0e-3, 2.1e-4)),
    (_shift_error(48, 0.002, lambda x: 0.3 + 0.25 * np.sin(6 * PI * x + 2), -0.5,
                  lambda x: np.cos(2 * PI * x) + 0.5 * np.sin(8 * PI * x + 0.3), 1.0),
     (3.9e-2, 4.1e-3, 1.25e-3)),
], ids=["sign-changing-58", "sign-changing-57", "near-0-48"])
def test_smooth_data_under_drifts_with_zeros_converge(run, bounds):
    errors = [run(n) for n in (100, 1000, 10000)]
    assert all(e <= b for e, b in zip(errors, bounds)), errors


# Random smooth drifts that come near 0 (even seeds) or change sign (odd seeds), on 24 to 96
# periodic nodes with two or three modes at 6 to 20 nodes a wavelength: the seeds of a draw
# where the plain reads converge. The error keeps falling (or settles) with the step count,
# within 1.3 times the plain reads' at 10^4 steps; held reads stalled or rose there (2e-1,
# 6e-3, 3.7e-2, 6e-2, 2.2e-1, 6e-3, 3.5e-1, 4.8e-1).
def _random_case(seed):
    rng = np.random.default_rng(seed)
    m = int(rng.integers(24, 97))
    count = int(rng.integers(2, 4))
    waves = rng.integers(max(1, int(np.ceil(m / 20))), m // 6 + 1, count)
    amp, phase = rng.uniform(0.3, 1.0, count), rng.uniform(0, 2 * PI, count)
    u0f = lambda x: sum(A * np.sin(2 * PI * k * x + p) for A, k, p in zip(amp, waves, phase))
    b1, bp, kb = rng.uniform(0.1, 0.4), rng.uniform(0, 2 * PI), int(rng.integers(1, 4))
    b0 = b1 * rng.uniform(1.0, 1.25) * (1 if rng.uniform() < 0.5 else -1) if seed % 2 == 0 else \
        b1 * rng.uniform(-0.8, 0.8)
    bf = lambda x: b0 + b1 * np.sin(2 * PI * kb * x + bp)
    a, c, t = (float(rng.choice(v)) for v in ([0.0, 1e-4, 2e-3], [0.0, -0.5, -1.0], [0.3, 1.0, 3.0]))
    return m, a, bf, c, u0f, t


@pytest.mark.parametrize("seed, bound", [(1, 3.0e-4), (3, 7.1e-4), (6, 1.1e-3), (9, 4.3e-3), (11, 7.1e-3),
                                         (13, 6.2e-4), (24, 3.7e-3), (35, 4.6e-3)])
def test_random_drifts_with_zeros_keep_converging(seed, bound):
    run = _shift_error(*_random_case(seed))
    e = [run(n) for n in (100, 1000, 10000)]
    assert e[1] <= 1.2 * e[0] and e[2] <= 1.2 * e[1] and e[2] <= bound, e


# AdaptivePI with the shift step reaches t on a drift near 0 at every tolerance (the held reads
# rejected steps until the cap of 100000 substeps); the error is the plain steps'.
@pytest.mark.parametrize("tol", [1e-5, 1e-6, 1e-7])
def test_adaptive_meets_its_tolerance_on_a_drift_near_zero(tol):
    m = 48
    x = np.arange(m) / m
    bf, u0f = lambda y: 0.3 + 0.25 * np.sin(6 * PI * y + 2), lambda y: np.cos(2 * PI * y) + 0.5 * np.sin(8 * PI * y + 0.3)
    p = q.AdaptivePI.with_arrays(0.0, x[-1], m, np.full(m, 0.002), bf(x), np.full(m, -0.5), 1.0, u0f(x),
                                 tol_abs=tol, tol_rel=0.0, boundary="periodic")
    ref = _reference(0.002, bf, -0.5, u0f, 1.0, m)
    assert np.abs(p.evolve(1.0) - ref).max() / np.abs(ref).max() < 2e-3  # the grid's own error, 1.1e-3


X64 = np.arange(64) / 64
ROUGH_DRIFTS = {"noise": np.random.default_rng(3).uniform(-1.0, 1.0, 64), "sin8": np.sin(8 * PI * X64),
                "sin16": np.sin(16 * PI * X64)}


# Drifts rough on the grid's scale or with many zeros: plain reads grew data without bound
# (1e216); clipped, smooth data stay within their range and, with a reaction c, within
# e^{t max c} of it, at every step count.
@pytest.mark.parametrize("drift", ROUGH_DRIFTS, ids=list(ROUGH_DRIFTS))
@pytest.mark.parametrize("a, c", [(0.0, 0.0), (1e-4, 0.0), (1e-4, 0.3)])
def test_rough_drifts_never_grow_data(drift, a, c):
    u0 = np.cos(2 * PI * X64)
    for n_steps in (1000, 10000):
        s = _shift(64, a, ROUGH_DRIFTS[drift], c, u0)
        s.evolve(10.0, n_steps)
        # 1e-9: the read of cos 2 pi x between its 64 nodes.
        assert np.abs(s.values()).max() <= np.exp(10.0 * c) * (1 + 1e-9), n_steps
    d = q.DriftReaction1D.with_arrays(0.0, X64[-1], 64, ROUGH_DRIFTS[drift], np.full(64, c), abs(c), u0,
                                      boundary="periodic")
    d.evolve(10.0, 1000)
    assert np.abs(d.values()).max() <= np.exp(10.0 * c) * (1 + 1e-9)


# Rough data stay within their read's range at every step count and time: noise under a drift
# the same at every node (the plain reads' grid modes grew it to 1.53 and 1.93 at 1e4 and 1e5
# steps), a jump in steps of 0.64 under b = sin 2 pi x up to t = 640.
def test_rough_data_stay_in_their_read_range():
    m = 101
    x = np.arange(m) / m
    noise = np.random.default_rng(0).uniform(-1.0, 1.0, m)
    lo, hi = periodic_read_range(noise)
    for n_steps in (10**4, 10**5):
        s = q.Shift1D(0.0, x[-1], m, noise, a=0.0, b=0.3, boundary="periodic")
        s.evolve(1.0, n_steps)
        assert lo - 1e-9 <= s.values().min() and s.values().max() <= hi + 1e-9, n_steps
    m = 41
    x = np.arange(m) / m
    jump = np.where(x < 0.5, -1.0, 1.0)
    lo, hi = periodic_read_range(jump)
    for t in (0.64, 6.4, 64.0, 640.0):
        s = _shift(m, 0.0, np.sin(2 * PI * x), 0.0, jump)
        s.evolve(t, int(round(t / 0.64)))
        assert lo - 1e-9 <= s.values().min() and s.values().max() <= hi + 1e-9, t


# One object on rough data keeps its nodes' range at every end kind ("linear" with the drift
# flowing out at both ends): a jump, alternating data and noise under a noise drift.
@pytest.mark.parametrize("boundary", ["periodic", "reflect", "zero", "linear"])
@pytest.mark.parametrize("data", ["jump", "alternating", "noise"])
@pytest.mark.parametrize("cls", ["Shift1D", "DriftReaction1D"])
def test_one_object_on_rough_data_keeps_its_nodes_range(boundary, data, cls):
    m = 64
    x = np.arange(m) / m if boundary == "periodic" else np.linspace(0.0, 1.0, m)
    u0 = {"jump": np.where(x < 0.5, -1.0, 1.0), "alternating": (-1.0) ** np.arange(m),
          "noise": np.random.default_rng(0).uniform(-1.0, 1.0, m)}[data]
    b = np.random.default_rng(3).uniform(-1.0, 1.0, m)
    b[0], b[-1] = 0.5, -0.5
    lo, hi = min(u0.min(), 0.0) if boundary == "zero" else u0.min(), max(u0.max(), 0.0)
    for n_steps in (1000, 10000):
        s = (q.Shift1D.with_arrays(0.0, x[-1], m, np.full(m, 1e-4), b, np.zeros(m), 0.0, u0, boundary=boundary)
             if cls == "Shift1D" else
             q.DriftReaction1D.with_arrays(0.0, x[-1], m, b, np.zeros(m), 0.0, u0, boundary=boundary))
        s.evolve(1.0, n_steps)
        assert lo <= s.values().min() and s.values().max() <= hi, n_steps


# Data a rebuilt chain leaves (alternating data under a noise drift, 101 nodes, one step of
# 0.1 dx a call) are rough, and a fresh object built from any of them keeps their nodes' range
# (before: 1.066 and 1.077 under "zero", 1.152 and 1.215 under "reflect", from data of max
# 0.99996 to 1.059, at 31 to 37 calls).
@pytest.mark.parametrize("boundary", ["reflect", "zero"])
@pytest.mark.parametrize("cls", ["Shift1D", "DriftReaction1D"])
def test_a_fresh_object_on_rebuilt_rough_data_keeps_their_nodes_range(boundary, cls):
    make = _line(cls, 101, np.random.default_rng(11).uniform(-1.0, 1.0, 101), boundary)
    u = (-1.0) ** np.arange(101)
    for _ in range(60):
        s = make(u)
        s.evolve(0.001, 1)
        u = s.values()
        fresh = make(u)
        fresh.evolve(0.01, 10)
        lo, hi = min(u.min(), 0.0), max(u.max(), 0.0)
        assert lo <= fresh.values().min() and fresh.values().max() <= hi


# The result is continuous in the drift: a zero drift and one sample of 1e-300 give the same
# values (held reads moved them by 1.3e-3), and one drift-reaction sample moved by 1e-13 moves
# the result by about as much (held reads: 2e-7).
def test_results_are_continuous_in_the_drift():
    m = 101
    x = np.arange(m) / m
    u0 = np.where(x < 0.5, -1.0, 1.0)
    tiny = np.zeros(m)
    tiny[50] = 1e-300
    for n_steps in (50, 1000):
        runs = []
        for b in (np.zeros(m), tiny):
            s = _shift(m, 0.01, b, 0.0, u0)
            s.evolve(0.5, n_steps)
            runs.append(s.values())
        assert np.array_equal(runs[0], runs[1])
    b = 0.3 + 0.1 * np.sin(2 * PI * x)
    moved = b.copy()
    moved[30] += 1e-13
    runs = []
    for drift in (b, moved):
        d = q.DriftReaction1D.with_arrays(0.0, x[-1], m, drift, np.zeros(m), 0.0, u0, boundary="periodic")
        d.evolve(1.0, 200)
        runs.append(d.values())
    assert np.abs(runs[1] - runs[0]).max() < 1e-11


# "linear" ends keep no maximum principle (the free ends take u'' from inside): what they
# continue the data by joins the range step by step, so Shift1D follows Heat1D's 2.3 % below -1;
# under a rough drift that keeps its ends outflowing (no inflow) the data stay within 1.
def test_linear_ends_join_their_continuation_to_the_range():
    x = np.linspace(-1.0, 1.0, 31)
    s = q.Shift1D(-1.0, 1.0, 31, np.cos(PI * x), a=1.0, b=0.0, boundary="linear")
    h = q.Heat1D(-1.0, 1.0, 31, np.cos(PI * x), boundary="linear")
    s.evolve(1.5, 10000)
    h.evolve(1.5, 10000)
    assert s.values().min() < -1.02 and np.abs(s.values() - h.values()).max() < 1e-3  # both first order near the ends
    x = np.linspace(0.0, 1.0, 64)
    b = np.random.default_rng(0).uniform(-1.0, 1.0, 64)
    b[0], b[-1] = 0.5, -0.5
    for make in (lambda: q.Shift1D.with_arrays(0.0, 1.0, 64, np.zeros(64), b, np.zeros(64), 1.0, np.cos(PI * x),
                                               boundary="linear"),
                 lambda: q.DriftReaction1D.with_arrays(0.0, 1.0, 64, b, np.zeros(64), 1.0, np.cos(PI * x),
                                                       boundary="linear")):
        d = make()
        d.evolve(10.0, 1000)  # held reads kept 0.999; unclipped, the reads grew it to 1e110 and more
        assert np.abs(d.values()).max() <= 1.0 + 1e-9


# The reaction grows the flow by e^{t c} along each characteristic, c read between the nodes held to
# the samples' range: where characteristics gather at a peak of c between two nodes, the flow grows
# by the greatest sample, e^{t max c_i}, and the steps converge to that flow. Against the flow of the
# unsampled c (peak 1 half a cell from the nodes) the error is then e^{t (1 - max c_i)} - 1 = 2.3e-4
# relative, no more (the Catmull-Rom read of c left 5e-5, and grew the bound beyond the samples').
def test_reaction_read_between_nodes_keeps_to_the_samples():
    from scipy.integrate import solve_ivp
    m, t = 256, 3.0
    x = np.arange(m) / m
    xs = 0.5 + 0.5 / m
    bf, cf = lambda y: -0.5 * np.sin(2 * PI * (y - xs)), lambda y: np.cos(2 * PI * (y - xs))
    u0f = lambda y: np.cos(2 * PI * (y - xs)) + 2.0
    # The characteristics and the reaction along them, from the nodes.
    sol = solve_ivp(lambda _, z: np.r_[bf(z[:m]), cf(z[:m])], (0, t), np.r_[x, np.zeros(m)], method="DOP853",
                    rtol=1e-12, atol=1e-13).y[:, -1]
    exact = u0f(sol[:m]) * np.exp(sol[m:])
    d = q.DriftReaction1D.with_arrays(0.0, x[-1], m, bf(x), cf(x), 1.0, u0f(x), boundary="periodic")
    d.evolve(t, 3000)
    near = np.abs(x - xs) < 0.2
    held = np.expm1(t * (1.0 - cf(x).max()))
    assert np.abs(d.values() - exact)[near].max() < (held + 1e-4) * exact.max()
    # 3: u0's crest, half a cell from the nodes, which the range of smooth data holds.
    assert d.values().max() <= 3.0 * np.exp(t * cf(x).max()) * (1 + 1e-12)


# A reaction negative at every node decays the data: the read of c between the nodes keeps to the
# samples, so nothing grows beyond max|u0| e^{t max c_i} at any count (the Catmull-Rom read of rough
# or stepped samples rose above 0 between them, and the range grew with it: 1.64 at t = 3.33 and
# 4.41 at t = 10 from data of max 1, 16 nodes, seed 0).
X16 = np.linspace(0.0, 1.0, 16)


def _negative_reaction(seed, stepped):
    rng = np.random.default_rng(seed)
    b, c = rng.uniform(-2.0, 2.0, 16), rng.uniform(-3.0, 0.0, 16)
    return b, np.where(X16 < 0.5, -0.05, -2.5) if stepped else c


@pytest.mark.parametrize("cls", ["Shift1D", "DriftReaction1D", "AdaptivePI"])
@pytest.mark.parametrize("seed, stepped", [(0, False), (1, False), (3, False), (0, True), (2, True)],
                         ids=["rough-0", "rough-1", "rough-3", "stepped-0", "stepped-2"])
@pytest.mark.parametrize("data", ["jump", "cos"])
def test_negative_reaction_samples_never_grow_the_data(cls, seed, stepped, data):
    b, c = _negative_reaction(seed, stepped)
    u0 = np.where(X16 < 0.5, 1.0, -0.5) if data == "jump" else np.cos(PI * X16)
    for t in (3.33, 10.0):
        if cls == "Shift1D":
            s = q.Shift1D.with_arrays(0.0, 1.0, 16, np.zeros(16), b, c, 3.0, u0)
            s.evolve(t, 1000)
            u = s.values()
        elif cls == "DriftReaction1D":
            s = q.DriftReaction1D.with_arrays(0.0, 1.0, 16, b, c, 3.0, u0)
            s.evolve(t, 1000)
            u = s.values()
        else:
            u = q.AdaptivePI.with_arrays(0.0, 1.0, 16, np.zeros(16), b, c, 3.0, u0).evolve(t)
        assert np.abs(u).max() <= np.exp(t * c.max()) * (1 + 1e-12), t


# ObstacleChernoff's projected steps keep no range: its drift reads stay held to their cells, so a
# box it carries keeps to [0, 1] but for the margin its smeared shoulders take (plain reads took it
# to 1.11).
def test_obstacle_drift_keeps_a_carried_box():
    x = np.linspace(0.0, 1.0, 101)
    box = np.where((x > 0.3) & (x < 0.6), 1.0, 0.0)
    u = q.ObstacleChernoff(0.0, 1.0, 101, box, a=1e-7, b=0.3, level=-10.0).evolve(1.0, n_steps=10000)
    assert u.max() <= 1.0 + 1e-5


# The range is the object's and is carried from call to call: chained calls give one call's
# values bit for bit, also where the clip acts and a reaction moves the range.
@pytest.mark.parametrize("make", [
    lambda: _shift(64, 1e-4, ROUGH_DRIFTS["noise"], -0.5, np.where(X64 < 0.5, -1.0, 1.0)),
    lambda: q.DriftReaction1D.with_arrays(0.0, X64[-1], 64, ROUGH_DRIFTS["noise"], np.full(64, 0.4), 0.4,
                                          np.where(X64 < 0.5, -1.0, 1.0), boundary="periodic"),
    lambda: q.Strang1D(0.0, X64[-1], 64, np.where(X64 < 0.5, -1.0, 1.0), b=3.0, boundary="periodic"),
], ids=["Shift1D", "DriftReaction1D", "Strang1D"])
def test_chained_calls_equal_one_call(make):
    one, chained = make(), make()
    one.evolve(1.0, 400)
    for _ in range(4):
        chained.evolve(0.25, 100)
    assert np.array_equal(one.values(), chained.values())


# --- a state rebuilt from values() -------------------------------------------------------------
# K calls of one step, each on a new object built from the last one's values: every object
# reads its range from data that carry the last call's overshoot. Rough data read no wider
# than their nodes, so the chain keeps the first object's bound (before: 244 and 3.0e8 after
# 3000 calls of the smooth drifts, 5.8e30 after 1000 of the noise drift, 6.7e8 for the
# drift-reaction noise chain).
N101 = 101
X101P = np.arange(N101) / N101
NOISE101 = np.random.default_rng(11).uniform(-1.0, 1.0, N101)
NOISE_DATA101 = np.random.default_rng(5).uniform(-1.0, 1.0, N101)
JUMP101 = np.where((X101P > 0.25) & (X101P < 0.75), 1.0, -1.0)


def _rebuilt_chain(make, u0, tau, calls):
    u = u0
    for _ in range(calls):
        s = make(u)
        s.evolve(tau, 1)
        u = s.values()
    return u


def _shift_101(b):
    return lambda u: q.Shift1D.with_arrays(0.0, X101P[-1], N101, np.zeros(N101), b, np.zeros(N101), 0.0, u,
                                           boundary="periodic")


def _drift_reaction_101(b, c):
    return lambda u: q.DriftReaction1D.with_arrays(0.0, X101P[-1], N101, b, np.full(N101, c), abs(c), u,
                                                   boundary="periodic")


@pytest.mark.parametrize("make, u0, calls, c", [
    (_shift_101(0.3 * np.sin(6 * PI * X101P + 1)), np.cos(2 * PI * X101P), 3000, 0.0),
    (_shift_101(np.sin(16 * PI * X101P)), np.cos(2 * PI * X101P), 3000, 0.0),
    (_shift_101(0.5 * np.sin(2 * PI * X101P)), np.cos(2 * PI * X101P), 3000, 0.0),
    (_shift_101(np.sin(16 * PI * X101P)), JUMP101, 1000, 0.0),
    (_shift_101(NOISE101), np.cos(2 * PI * X101P), 1000, 0.0),
    (_shift_101(NOISE101), NOISE_DATA101, 1000, 0.0),
    (_drift_reaction_101(0.3 * np.sin(6 * PI * X101P + 1), 0.0), np.cos(2 * PI * X101P), 1000, 0.0),
    (_drift_reaction_101(10.0 * NOISE101, 3.0), NOISE_DATA101, 100, 3.0),
], ids=["shift-wave3", "shift-wave8", "shift-wave1", "shift-wave8-jump", "shift-noise", "shift-noise-noise",
        "drift-reaction-wave3", "drift-reaction-noise-c3"])
def test_rebuilt_states_keep_the_first_objects_bound(make, u0, calls, c):
    b_max = 10.0 if c else 1.0
    tau = 0.1 / N101 / b_max
    lo, hi = periodic_read_range(u0)  # the first object's range: its nodes, and smooth reads between
    u = _rebuilt_chain(make, u0, tau, calls)
    growth = np.exp(calls * tau * c)
    # 1e-5: where the data stay smooth a new object takes them as they are, the plain read's own
    # error with them (3.6e-6 after 3000 calls under 0.5 sin 2 pi x, once; 3e-7 for the jump).
    assert lo * growth - 1e-5 <= u.min() and u.max() <= hi * growth + 1e-5


# Rebuilt chains next to the ends and on data a drift draws out: the range counts a cell's
# between-node overshoot only where the six nodes around it are smooth, and none in an end cell
# (whose feet are read on the straight line), so the chain keeps within what one object keeps,
# on either side, and stops rising. Before: 1.2509 at 3e4 calls and rising (75 nodes, "zero"),
# 1.147 and 1.145 (60 nodes, "reflect"), 1.1929 (alternating data, "reflect"), 1.0093 from data
# of nodes' max 0.9553 at 4 nodes a wavelength. A "zero" end's diffusion pulls the end node to
# 0 beside a plateau; the cells next to the end, judged by one node alone, took that layer as
# smooth now and then: 1.0170, 1.0074, -0.5027, 1.0104 and -0.5034 from data in [-0.5, 1].
def _line(cls, n, b, boundary, periodic=False, a=0.0):
    xmax = 1.0 - 1.0 / n if periodic else 1.0
    if cls == "Shift1D":
        return lambda u: q.Shift1D.with_arrays(0.0, xmax, n, np.full(n, a), b, np.zeros(n), 0.0, u, boundary=boundary)
    return lambda u: q.DriftReaction1D.with_arrays(0.0, xmax, n, b, np.zeros(n), 0.0, u, boundary=boundary)


X75, X60, X101 = np.linspace(0.0, 1.0, 75), np.linspace(0.0, 1.0, 60), np.linspace(0.0, 1.0, 101)
X64P, X64E = np.arange(64) / 64, np.linspace(0.0, 1.0, 64)
NOISE64 = {seed: np.random.default_rng(seed).uniform(-1.0, 1.0, 64) for seed in (0, 5, 11, 33, 35)}


@pytest.mark.parametrize("make, u0, tau, calls, above", [
    (_line("DriftReaction1D", 75, np.sin(36 * PI * X75), "zero"), np.cos(2 * PI * 74 / 6 * X75 + 0.3),
     0.3 / 74, 30000, 0.0),
    (_line("DriftReaction1D", 60, np.cos(24 * PI * X60), "reflect"), np.cos(10 * PI * X60 + 0.3), 0.1 / 59, 3000, 0.0),
    (_line("Shift1D", 60, np.cos(24 * PI * X60), "reflect"), np.cos(10 * PI * X60 + 0.3), 0.1 / 59, 3000, 0.0),
    (_line("Shift1D", 101, np.random.default_rng(11).uniform(-1.0, 1.0, 101), "reflect"),
     (-1.0) ** np.arange(101), 0.1 / 100, 1000, 0.0),
    # Data at 4 nodes a wavelength (nodes' max cos 0.3) that the drift draws out into a resolved
    # wave: the read of its crest counts, up to 1.5 % above what one object keeps.
    (_line("DriftReaction1D", 64, 0.5 * np.sin(2 * PI * X64P), "periodic", True),
     np.cos(PI * np.arange(64) / 2 + 0.3), 0.2 / 64, 3000, 0.015),
    *[(_line("Shift1D", 64, NOISE64[seed], "zero", a=a), np.where(X64E < 0.37, -0.5, 1.0),
       0.3 / 63 / np.abs(NOISE64[seed]).max(), 200, 0.0)
      for a, seed in ((1e-3, 0), (1e-3, 5), (1e-3, 33), (3e-3, 35), (1e-4, 11))],
], ids=["drift-reaction-zero-75", "drift-reaction-reflect-60", "shift-reflect-60", "shift-alternating-reflect-101",
        "drift-reaction-drawn-out-64", "shift-diffusion-zero-0", "shift-diffusion-zero-5", "shift-diffusion-zero-33",
        "shift-diffusion-zero-35", "shift-diffusion-zero-11"])
def test_rebuilt_chains_keep_below_one_object(make, u0, tau, calls, above):
    one, kept = make(u0), np.zeros(2)  # the largest u and -u
    for _ in range(calls // 100):
        one.evolve(100 * tau, 100)
        kept = np.maximum(kept, [one.values().max(), -one.values().min()])
    u, worst, half = u0, np.zeros(2), np.zeros(2)
    for k in range(calls):
        s = make(u)
        s.evolve(tau, 1)
        u = s.values()
        worst = np.maximum(worst, [u.max(), -u.min()])
        if k + 1 == calls // 2:
            half = worst
    assert (worst <= kept * (1.0 + above) + 1e-12).all() and (worst == half).all(), (worst, half, kept)


# --- smooth data: no clip moves a value ---------------------------------------------------------
# The range of smooth data holds every value their read takes between the nodes (a proven bound,
# not an estimate from samples), so the steps are the plain reads' to the bit on every grid, and
# the error falls with n (before: the range sat 1.7e-8 inside the read's at 64 nodes and the
# error rose with the count, 1.7e-10 to 1.6e-8).
def _bench():
    import importlib.util
    import pathlib
    import sys
    bench = pathlib.Path(__file__).resolve().parents[3] / "bench"
    sys.path.insert(0, str(bench))
    spec = importlib.util.spec_from_file_location("bench_transport_range", bench / "bench_transport_range.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _plain_drift(m, b, u0, t, n_steps):
    """DriftReaction1D's periodic step under a constant drift b without the clip: the degree-7
    read at the foot x + tau b, as the bench's copy of the read takes it."""
    bench = _bench()
    dx = (1.0 - 1.0 / m) / (m - 1)
    tau = t / n_steps
    s = (dx * np.arange(m, dtype=float) + tau * b) / dx
    f = np.floor(s)
    i = f.astype(np.int64) % m
    j = (i + 1) % m
    h0, h1, g0, g1, k0, k1, l0, l1 = bench.hermite7_weights(s - f)
    u = np.array(u0, dtype=float)
    for _ in range(n_steps):
        p = np.concatenate([u[-4:], u, u[:4]])
        d1, d2, d3 = (bench.difference(p, taps, den, m) for taps, den in ((bench.D1, 840.0), (bench.D2, 180.0),
                                                                           (bench.D3, 8.0)))
        u = u[i] * h0 + u[j] * h1 + d1[i] * g0 + d1[j] * g1 + d2[i] * k0 + d2[j] * k1 + d3[i] * l0 + d3[j] * l1
    return u


TWO_MODES = lambda y: np.cos(2 * PI * y) + 0.5 * np.sin(4 * PI * y)  # noqa: E731


@pytest.mark.parametrize("kind", ["shift-constant", "shift-one-signed", "shift-sign-changing", "drift-reaction"])
def test_smooth_data_are_stepped_by_the_plain_read_bit_for_bit(kind):
    bench = _bench()
    bf = {"shift-constant": lambda y: 0.5 + 0 * y, "shift-one-signed": lambda y: 0.5 + 0.3 * np.sin(2 * PI * y + 0.4),
          "shift-sign-changing": lambda y: 0.4 * np.sin(2 * PI * y + 0.4), "drift-reaction": None}[kind]
    for m in (32, 64, 128, 256):
        x = np.arange(m) / m
        for t, n_steps in ((0.02, 16), (0.02, 256), (0.3, 1024)):
            if bf is None:
                s = q.DriftReaction1D(0.0, 1 - 1 / m, m, TWO_MODES(x), b=0.5, boundary="periodic")
                plain = _plain_drift(m, 0.5, TWO_MODES(x), t, n_steps)
            else:
                s = _shift(m, 0.0, bf(x), 0.0, TWO_MODES(x))
                plain = bench.plain(m, 0.0, bf(x), 0.0, TWO_MODES(x), t, n_steps)
            s.evolve(t, n_steps)
            assert np.array_equal(s.values(), plain), (m, t, n_steps)


def test_smooth_extremes_carried_onto_nodes_keep_the_reads_accuracy():
    # DriftReaction1D, constant drift: the error of the plain read, flat in the step count and
    # falling with n.
    # (before: 1.6e-8 at 64 nodes and 2.5e-10 at 256 after 4096 steps; the read's own error at 16
    # steps is 1.7e-10 and 8.6e-14.)
    worst = []
    for m, bound in ((32, 6e-8), (64, 2.5e-10), (128, 2e-12), (256, 3e-12)):
        x = np.arange(m) / m
        errors = []
        for n_steps in (16, 256, 4096):
            d = q.DriftReaction1D(0.0, 1 - 1 / m, m, TWO_MODES(x), b=0.5, boundary="periodic")
            d.evolve(0.02, n_steps)
            errors.append(np.abs(d.values() - TWO_MODES(x + 0.01)).max())
        assert max(errors) < bound, (m, errors)
        worst.append(max(errors[:2]))  # 4096 steps of 256 nodes add 2e-12 of rounding
    assert worst == sorted(worst, reverse=True)
    # One step that carries the minimum onto a node returns the read there (-1.7e-10 off the
    # exact minimum; the range estimate held it 1.7e-8 above).
    m = 64
    x = np.arange(m) / m
    from scipy.optimize import minimize_scalar
    xm = minimize_scalar(TWO_MODES, bounds=(0.3, 0.7), method="bounded", options={"xatol": 1e-15}).x
    j = int(np.floor(xm * m))
    d = q.DriftReaction1D(0.0, 1 - 1 / m, m, TWO_MODES(x), b=0.5, boundary="periodic")
    d.evolve((xm - x[j]) / 0.5, 1)
    assert abs(d.values()[j] - TWO_MODES(xm)) < 5e-10


# --- data and steps at the ends of the double range ---------------------------------------------
# The steps are linear: data near the top of the double range are stepped scaled down by a power of
# two and scaled back (before: "[NanInf] all values must be finite (no NaN/Inf): NaN" from 1e306).
BIG_MAKERS = {
    "Shift1D": lambda u: q.Shift1D(0.0, 1.0, 41, u, a=0.01, b=0.5),
    "Shift1D.with_arrays": lambda u: q.Shift1D.with_arrays(0.0, 1.0, 41, np.full(41, 0.01), np.full(41, 0.5),
                                                           np.zeros(41), 0.0, u),
    "DriftReaction1D": lambda u: q.DriftReaction1D(0.0, 1.0, 41, u, b=0.5, c=-0.5),
    "DriftReaction1D.with_arrays": lambda u: q.DriftReaction1D.with_arrays(0.0, 1.0, 41, np.full(41, 0.5),
                                                                           np.zeros(41), 0.0, u),
    "Strang1D": lambda u: q.Strang1D(0.0, 1.0, 41, u, b=0.5),
}


@pytest.mark.parametrize("name", list(BIG_MAKERS))
def test_data_to_the_top_of_the_double_range_are_served(name):
    u0 = np.cos(PI * np.linspace(0.0, 1.0, 41))
    unit = BIG_MAKERS[name](u0)
    unit.evolve(0.05, 10)
    for e in (1017, 1023):  # 1.4e306 and 9e307 times the unit data: the same bits, scaled
        big = BIG_MAKERS[name](np.ldexp(u0, e))
        big.evolve(0.05, 10)
        assert np.array_equal(big.values(), np.ldexp(unit.values(), e)), e
    top = BIG_MAKERS[name](1.7e308 * u0)
    top.evolve(0.05, 10)
    assert np.allclose(top.values() / 1.7e308, unit.values(), rtol=0, atol=1e-15)


def _unit_cos41():
    return np.cos(PI * np.linspace(0.0, 1.0, 41))


@pytest.mark.parametrize("call", [
    lambda u: q.Shift1D(0.0, 1.0, 41, _unit_cos41(), a=0.01, b=0.5).evolve_batched(0.05, np.stack([u, -u], 1), 10),
    lambda u: _after(q.Shift1D(0.0, 1.0, 41, u, a=0.01, b=0.5), "evolve_with_time_schedule", 0.05, 10, [0.01, 0.02]),
    lambda u: _after(q.Shift1D(0.0, 1.0, 41, u, a=0.01, b=0.5), "evolve_with_coefficient_schedule", 0.05, 10,
                     [0.01, 0.02]),
    lambda u: _after(q.DriftReaction1D(0.0, 1.0, 41, u, b=0.5), "evolve_with_time_schedule", 0.05, 10, [0.5, 0.3]),
], ids=["batched", "time-schedule", "coefficient-schedule", "drift-reaction-schedule"])
def test_batched_and_scheduled_calls_serve_large_data(call):
    assert np.array_equal(call(np.ldexp(_unit_cos41(), 1017)), np.ldexp(call(_unit_cos41()), 1017))


def _after(obj, method, *args):
    getattr(obj, method)(*args)
    return obj.values()


def test_a_result_beyond_the_double_range_names_the_data_that_fit():
    import re
    u0 = 1.7e308 * np.cos(PI * np.linspace(0.0, 1.0, 41))
    d = q.DriftReaction1D(0.0, 1.0, 41, u0, b=0.5, c=2.0)
    with pytest.raises(q.QuorvaneError, match=r"^\[NanInf\] DriftReaction1D: the result lies beyond") as err:
        d.evolve(1.0, 10)
    fits = float(re.search(r"max\|u0\| <= ([0-9.e+-]+) stay", str(err.value)).group(1))
    fresh = q.DriftReaction1D(0.0, 1.0, 41, fits / 1.7e308 * u0, b=0.5, c=2.0)
    fresh.evolve(1.0, 10)
    assert np.isfinite(fresh.values()).all()


# A step whose feet leave the double range (tau times the drift or the diffusion's reach) is
# refused naming the longest step that reads within reach, not with the read's "Grid1D::interp"
# text; that step runs on a fresh object.
@pytest.mark.parametrize("make", [
    lambda: q.Shift1D(0.0, 1.0, 41, np.cos(PI * np.linspace(0, 1, 41)), a=0.0, b=1e300),
    lambda: q.Shift1D(0.0, 1.0, 41, np.cos(PI * np.linspace(0, 1, 41)), a=1e300, b=0.0, boundary="periodic"),
    lambda: q.DriftReaction1D(0.0, 1.0, 41, np.cos(PI * np.linspace(0, 1, 41)), b=1e300),
    lambda: q.Strang1D(0.0, 1.0, 41, np.cos(PI * np.linspace(0, 1, 41)), b=1e300, boundary="zero"),
    lambda: q.DriftReaction1D(0.0, 1.0, 41, np.cos(PI * np.linspace(0, 1, 41)), b=0.5),
], ids=["shift-b", "shift-a", "drift-reaction", "strang", "drift-reaction-long"])
def test_steps_beyond_reach_name_the_longest_that_reads_within_it(make):
    import re
    for t in (1e10, 1e300):
        try:
            make().evolve(t, 1)
            continue  # within reach at this t
        except q.QuorvaneError as e:
            text = str(e)
        assert text.startswith("[OutOfDomain]") and "Grid1D::interp" not in text
        longest = float(re.search(r"steps of tau <= ([0-9.e+-]+) read within", text).group(1))
        for k in (1, 3):
            s = make()
            s.evolve(longest * k, k)
            assert np.isfinite(s.values()).all()
