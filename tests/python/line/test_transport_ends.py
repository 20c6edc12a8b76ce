"""Transport next to the ends of a grid: results stay in the range of the data
and settle as the step count grows; "linear" refuses a drift that enters."""
import numpy as np
import pytest

import quorvane as q
from conftest import periodic_read_range
from quorvane import QuorvaneError

X = np.linspace(-1.0, 1.0, 101)
X01 = np.linspace(0.0, 1.0, 101)
COS, COS01 = np.cos(np.pi * X), np.cos(np.pi * X01)


def _nd(boundary, A, b, n):
    x = np.linspace(-1.0, 1.0, n)
    c = np.cos(np.pi * x)
    d = len(b)
    if d == 2:
        s = q.AnisotropicShiftND2(n, n, -1, 1, -1, 1, np.tile(A * np.eye(2).ravel(), n**2),
                                  b_values=np.tile(b, n**2), boundary=boundary)
        s.set_state(np.outer(c, c).ravel())
    else:
        s = q.AnisotropicShiftND3(n, n, n, -1, 1, -1, 1, -1, 1, np.tile(A * np.eye(3).ravel(), n**3),
                                  b_values=np.tile(b, n**3), boundary=boundary)
        s.set_state(np.einsum("i,j,k->ijk", c, c, c).ravel())
    return s


def _kolmogorov():
    x = np.linspace(-40.0, 40.0, 65)
    return q.HypoellipticChernoffKolmogorov(-40, 40, 65, -40, 40, 65, np.tile(np.exp(-(x / 10) ** 2), 65))


def _run(make, t, n_steps):
    o = make()
    o.evolve(t, n_steps=n_steps)
    return np.asarray(o.values())


# Smooth data of range 1: before, these grew with the step count (1.74, 1.35,
# 1.74, 1.03, 1.36, 1.90 at the larger count) as the ends froze or fed
# odd-even modes into the interior. The Kolmogorov phase space keeps 0.1 %
# next to its x walls.
@pytest.mark.parametrize("make, t, steps, slack", [
    (lambda: q.DriftReaction1D(0.0, 1.0, 101, COS01, b=0.5), 1.5, (100, 3000), 1e-9),
    (lambda: q.DriftReaction1D(-1.0, 1.0, 101, COS, b=0.5, boundary="zero"), 1.5, (100, 3000), 1e-9),
    (lambda: q.Adjoint(0.0, 1.0, 101, COS01, kernel="drift"), 1.5, (100, 3000), 1e-9),
    (lambda: q.Shift1D(0.0, 1.0, 101, COS01, a=0.01, b=0.5), 1.5, (100, 3000), 1e-9),
    (lambda: q.Strang1D(-1.0, 1.0, 101, COS, b=2.0), 1.5, (100, 3000), 1e-9),
    (lambda: _nd("reflect", 0.01, [0.5, -0.5], 21), 1.5, (100, 1000), 1e-9),
    (lambda: _nd("reflect", 0.01, [0.5, -0.5, 0.5], 7), 1.5, (100, 300), 1e-9),
    (_kolmogorov, 1.0, (20, 1000), 2e-3),
], ids=["drift-reflect", "drift-zero", "adjoint-drift", "shift", "strang", "nd2", "nd3", "kolmogorov"])
def test_transport_keeps_the_range_and_settles(make, t, steps, slack):
    few, many = (_run(make, t, n) for n in steps)
    assert max(np.abs(few).max(), np.abs(many).max()) <= 1.0 + slack
    # Settling, not drifting off: more steps move the answer on average by no
    # more than the first-order error of the few-step run.
    assert np.abs(many - few).mean() < 0.01


def test_outflow_and_frozen_inflow_against_the_characteristics():
    # u_t = 0.5 u_x on [0, 1]: u0 leaves through x = 0; "reflect" at the inflow
    # end keeps the value there (-1). The kink at x = 0.25 is smoothed over a
    # few cells.
    exact = np.where(X01 + 0.75 <= 1.0, np.cos(np.pi * (X01 + 0.75)), -1.0)
    for n in (300, 3000):
        u = _run(lambda: q.DriftReaction1D(0.0, 1.0, 101, COS01, b=0.5), 1.5, n)
        assert np.abs(u - exact)[np.abs(X01 - 0.25) > 0.05].max() < 2e-3


@pytest.mark.parametrize("make", [
    lambda: q.DriftReaction1D(-1.0, 1.0, 101, COS, b=0.5, boundary="zero"),
    lambda: q.Adjoint(-1.0, 1.0, 101, COS, kernel="drift", boundary="zero"),
    lambda: q.DriftReaction1D(0.0, 1.0, 101, np.where(X01 < 0.5, 1.0, -1.0), b=-0.7),
], ids=["zero-inflow", "adjoint-zero-inflow", "step-data"])
@pytest.mark.parametrize("n_steps", [3, 10, 40])
def test_a_carried_jump_brings_no_overshoot(make, n_steps):
    # Degree-7 reads across a jump ("zero" meeting u = -1, or step data)
    # overshot by up to 7.5 %; the exact values stay in [-1, 1].
    assert np.abs(_run(make, 1.5, n_steps)).max() <= 1.0 + 1e-12


@pytest.mark.parametrize("call", [
    lambda: q.Shift1D(-1.0, 1.0, 101, COS, a=1.0, b=2.0, boundary="linear").evolve(1.5, n_steps=100),
    lambda: q.Shift1D(-1.0, 1.0, 101, COS, a=1.0, b=-0.5, boundary="linear").evolve_batched(
        1.0, np.stack([COS, COS], axis=1), n_steps=10),
    lambda: q.Shift1D.with_arrays(0.0, 1.0, 101, np.ones(101), X01 - 0.2, np.zeros(101), 0.0, COS01,
                                  boundary="linear").evolve(0.1, n_steps=10),
    lambda: q.Strang1D(-1.0, 1.0, 101, COS, b=2.0, boundary="linear").evolve(1.5, n_steps=100),
    lambda: q.DriftReaction1D(-1.0, 1.0, 101, COS, b=0.5, boundary="linear").evolve(1.5, n_steps=100),
    lambda: q.DriftReaction4th1D(-1.0, 1.0, 101, COS, boundary="linear").evolve(1.5, n_steps=2000),
    lambda: q.Adjoint(-1.0, 1.0, 101, COS, kernel="drift", boundary="linear").evolve(1.0, n_steps=10),
    lambda: q.AdaptivePI(-1.0, 1.0, 101, COS, kernel="drift", boundary="linear").evolve(1.0),
    lambda: _nd("linear", 1.0, [2.0, -2.0], 21).evolve(1.5, n_steps=100),
], ids=["shift", "shift-batched", "shift-arrays", "strang", "drift", "drift4th", "adjoint", "adaptive", "nd2"])
def test_linear_refuses_a_drift_that_enters(call):
    # Before, the end values ran away (Shift1D: -5.29 at the right end).
    with pytest.raises(QuorvaneError, match='boundary "linear" cannot be used where a drift enters') as e:
        call()
    assert e.value.kind == "OutOfDomain"


def test_linear_keeps_outflow_and_pure_diffusion_and_a_refused_call_changes_nothing():
    # A drift pointing into the interval at both ends, or vanishing there,
    # takes nothing in, also when a large step carries interior feet across.
    for b, steps in ((0.5 - X01, 50), (4 * X01 * (1 - X01), 1)):
        s = q.Shift1D.with_arrays(0.0, 1.0, 101, np.ones(101), b, np.zeros(101), 0.0, COS01,
                                  boundary="linear")
        s.evolve(0.1, n_steps=steps)
        assert np.all(np.isfinite(s.values()))
    h = q.Shift1D(0.0, 1.0, 101, 2.0 * X01 - 0.5, a=1.0, boundary="linear")
    h.evolve(0.3, n_steps=30)
    np.testing.assert_allclose(h.values(), 2.0 * X01 - 0.5, atol=1e-13)
    d = q.DriftReaction1D(-1.0, 1.0, 101, COS, b=0.5, boundary="linear")
    with pytest.raises(QuorvaneError):
        d.evolve(1.0, n_steps=10)
    assert np.array_equal(d.values(), COS)


# --- clipped steps on smooth data -------------------------------------------------------
#
# The range the steps are clipped to is that of the read of the initial data, which holds a
# smooth extremum between the nodes, so on resolved data every class is as accurate as the
# plain reads make it and keeps converging in the step count. Clipping those extrema (to the
# node values, or to each read's cell) instead left an error of |u''| dx s / 2 a read (s its
# distance from the node): flat or growing with the step count.

PERIOD = np.arange(41) / 41
TWO = np.cos(2 * np.pi * PERIOD) + 0.5 * np.sin(6 * np.pi * PERIOD)
B_VAR = 0.3 + 0.1 * np.sin(2 * np.pi * PERIOD)


def _spectral(u0, a, b, c, t, n, m=256):
    """u_t = a u'' + b(x) u' + c u on periodic [0, 1) from u0 (a function of x): collocation
    on m points, SciPy's DOP853 to 1e-12, read at the n nodes of the open grid."""
    from scipy.integrate import solve_ivp
    x = np.arange(m) / m
    k = 2 * np.pi * np.fft.fftfreq(m, 1 / m)
    bx = b(x)

    def rhs(_, u):
        uh = np.fft.fft(u)
        return a * np.real(np.fft.ifft(-k * k * uh)) + bx * np.real(np.fft.ifft(1j * k * uh)) + c * u

    end = solve_ivp(rhs, (0, t), u0(x), method="DOP853", rtol=1e-12, atol=1e-13).y[:, -1]
    return np.real(np.exp(1j * np.outer(np.arange(n) / n, k)) @ (np.fft.fft(end) / m))


def _two(y):
    return np.cos(2 * np.pi * y) + 0.5 * np.sin(6 * np.pi * y)


def _fourier(a, b, c, t):
    """The same from the two modes of TWO, read at the 41 nodes."""
    return _spectral(_two, a, b, c, t, 41)


def _shift(b, drift):
    ref = _fourier(0.002, drift, -1.0, 0.3)

    def run(n_steps):
        s = q.Shift1D.with_arrays(0.0, 40 / 41, 41, np.full(41, 0.002), b, np.full(41, -1.0), 1.0, TWO,
                                  boundary="periodic")
        s.evolve(0.3, n_steps)
        return np.abs(s.values() - ref).max()
    return run


def _drift_reaction(n_steps):
    from scipy.integrate import solve_ivp
    feet = solve_ivp(lambda s, y: 0.3 + 0.1 * np.sin(2 * np.pi * y), (0, 1), PERIOD, method="DOP853", rtol=1e-13,
                     atol=1e-14).y[:, -1]
    d = q.DriftReaction1D.with_arrays(0.0, 40 / 41, 41, B_VAR, np.zeros(41), 0.0, TWO, boundary="periodic")
    d.evolve(1.0, n_steps)
    return np.abs(d.values() - (np.cos(2 * np.pi * feet) + 0.5 * np.sin(6 * np.pi * feet))).max()


def _split(cls, n):
    # u_t = u'' + 0.5 u' on periodic [0, 200): both modes damped and carried exactly.
    L, t = 200.0, 100.0
    x = np.arange(n) * L / n
    k1, k3 = 2 * np.pi / L, 6 * np.pi / L
    exact = np.exp(-k1**2 * t) * np.cos(k1 * (x + 0.5 * t)) + 0.5 * np.exp(-k3**2 * t) * np.sin(k3 * (x + 0.5 * t))

    def run(n_steps):
        u0 = np.cos(k1 * x) + 0.5 * np.sin(k3 * x)
        o = q.Strang1D(0, L - L / n, n, u0, b=0.5, boundary="periodic") if cls == "Strang1D" else \
            q.DriftReaction4th1D(0, L - L / n, n, u0, boundary="periodic")
        o.evolve(t, n_steps=n_steps)
        return np.abs(o.values() - exact).max()
    return run


def _adaptive(tol):
    b = np.full(41, 0.3)
    b[0] += 1e-14
    p = q.AdaptivePI.with_arrays(0.0, 40 / 41, 41, np.full(41, 0.002), b, np.full(41, -1.0), 1.0, TWO, tol_abs=tol,
                                 tol_rel=0.0, boundary="periodic")
    return np.abs(p.evolve(0.3) - _fourier(0.002, lambda y: 0.3 + 0 * y, -1.0, 0.3)).max()


def _b_var(y):
    return 0.3 + 0.1 * np.sin(2 * np.pi * y)


# Three modes on 25 nodes (the last at 8.3 nodes a wavelength) under a drift of two.
def _u25(y):
    return 0.9294 * np.cos(2 * np.pi * y + 3.0972) - 0.2573 * np.cos(4 * np.pi * y + 4.0047) + \
        0.2621 * np.cos(6 * np.pi * y + 3.3455)


def _b25(y):
    return 0.35 + 0.0221 * np.sin(2 * np.pi * y + 3.6128) + 0.0518 * np.sin(4 * np.pi * y + 6.1313)


def _shift_long(u0, b, n, a, c, t):
    """A drift that squeezes the data for longer: t = 1 on 41 nodes, or 25 nodes."""
    ref = _spectral(u0, a, b, c, t, n)
    x = np.arange(n) / n

    def run(n_steps):
        s = q.Shift1D.with_arrays(0.0, x[-1], n, np.full(n, a), b(x), np.full(n, c), 1.0, u0(x), boundary="periodic")
        s.evolve(t, n_steps)
        return np.abs(s.values() - ref).max()
    return run


def _adaptive_long(tol):
    x = PERIOD
    p = q.AdaptivePI.with_arrays(0.0, 40 / 41, 41, np.full(41, 0.002), _b_var(x), np.zeros(41), 1.0, TWO, tol_abs=tol,
                                 tol_rel=0.0, boundary="periodic")
    return np.abs(p.evolve(1.0) - _spectral(_two, 0.002, _b_var, 0.0, 1.0, 41)).max()


NEARLY_CONSTANT = np.full(41, 0.3)
NEARLY_CONSTANT[0] += 1e-14


# Bounds: the errors of the plain reads with a margin of 1.3 (first order for Shift1D: a tenth
# per decade of steps; DriftReaction1D settles on its spatial error; the splittings sit at their
# grid's spatial error from 100 steps on; AdaptivePI's step-doubling error shrinks with tol).
# Where the drift squeezes the data for longer (t = 1) or the data have 8 nodes a wavelength
# (25 nodes), reads held to their cells clipped the extrema the drift squeezed: 4.2e-3 at 1e4
# and 3e4 steps at t = 1, 3.3e-3, 5.9e-3, 9.0e-3 growing with the count on 25 nodes, and
# AdaptivePI at tol_abs 3e-7 rejected its steps to the end.
@pytest.mark.parametrize("run, counts, bounds", [
    (_shift(B_VAR, lambda y: 0.3 + 0.1 * np.sin(2 * np.pi * y)), (100, 1000, 10000), (1.06e-2, 1.07e-3, 1.03e-4)),
    (_shift(NEARLY_CONSTANT, lambda y: 0.3 + 0 * y), (100, 1000, 10000), (7.6e-3, 7.6e-4, 7.5e-5)),
    (_drift_reaction, (100, 1000, 10000), (2.8e-3, 1.21e-3, 1.05e-3)),
    (_split("Strang1D", 81), (100, 1000), (2e-7, 8e-8)),
    (_split("DriftReaction4th1D", 81), (100, 1000), (8e-8, 8e-8)),
    (_split("DriftReaction4th1D", 41), (100, 1000), (6e-6, 6e-6)),
    (_adaptive, (1e-5, 1e-7), (1.8e-3, 1.8e-4)),
    (_shift_long(_two, _b_var, 41, 0.002, 0.0, 1.0), (1000, 10000, 30000), (7.6e-3, 6.8e-4, 2.2e-4)),
    (_shift_long(_u25, _b25, 25, 1e-4, -1.0, 0.5), (1000, 10000, 30000), (3.6e-3, 3.5e-3, 3.6e-3)),
    (_adaptive_long, (1e-6, 3e-7, 1e-7), (1.45e-3, 7.5e-4, 4.1e-4)),
], ids=["Shift1D-varying-b", "Shift1D-b-varying-by-1e-14", "DriftReaction1D", "Strang1D", "DriftReaction4th1D",
        "DriftReaction4th1D-41", "AdaptivePI", "Shift1D-t1", "Shift1D-25-nodes", "AdaptivePI-t1"])
def test_clipped_steps_keep_smooth_data_accurate(run, counts, bounds):
    errors = [run(c) for c in counts]
    assert all(e <= b for e, b in zip(errors, bounds)), errors


# The result is continuous in the drift: one b sample moved by 1e-12 moves the result by about
# as much, on smooth data and across a jump alike (the periodic seam of
# cos(pi x) + 0.3 sin 3x, and the zero walls, are jumps).
@pytest.mark.parametrize("boundary", ["reflect", "zero", "periodic"])
def test_result_is_continuous_in_the_drift(boundary):
    x = np.arange(41) / 41 if boundary == "periodic" else np.linspace(0.0, 1.0, 41)
    u0 = np.cos(np.pi * x) + 0.3 * np.sin(3 * x)

    def run(b):
        s = q.Shift1D.with_arrays(0.0, x[-1], 41, np.full(41, 0.01), b, np.full(41, -2.0), 2.0, u0, boundary=boundary)
        s.evolve(0.3, 30)
        return s.values()
    b = np.full(41, 0.3)
    moved = b.copy()
    moved[17] += 1e-12
    assert np.abs(run(moved) - run(b)).max() < 1e-11


# The clip acts only where a step leaves the range the flow keeps: smooth data under a smooth
# drift, one-signed or with zeros, are stepped by the plain reads alone, linearly.
@pytest.mark.parametrize("b", [B_VAR, _b25(np.arange(25) / 25), 0.3 * np.sin(2 * np.pi * PERIOD)],
                         ids=["smooth", "smooth-25-nodes", "zeros"])
def test_smooth_data_are_stepped_linearly(b):
    n = len(b)
    x = np.arange(n) / n
    u, v = np.cos(2 * np.pi * x + 0.4), 0.5 * np.sin(4 * np.pi * x)

    def run(u0):
        s = q.Shift1D.with_arrays(0.0, x[-1], n, np.full(n, 1e-4), b, np.zeros(n), 0.0, u0, boundary="periodic")
        s.evolve(0.3, 300)
        return s.values()
    assert np.abs(run(u + v) - run(u) - run(v)).max() < 1e-13


# A sampled drift that changes sign from node to node, taken in steps of about ten cells: the
# characteristics of neighbouring nodes cross within a step, reads far apart feed each other
# step after step, and a read let past its node values at an extremum lifted them every time
# (DriftReaction1D, "zero" ends: max |u| 1.46, 47, 3.8e4 after 100, 1000, 3000 steps). Where
# the step folds the characteristics the reads keep to their node values.
_SAW_RNG = np.random.default_rng(1004)
_SAW_RNG.uniform(size=202)
SAW = np.where(np.arange(101) % 2 == 0, 1.0, -1.0) * _SAW_RNG.uniform(0.2, 1.0, 101)


# Periodic data without a jump at the seam, whose read would overshoot it.
def _saw_data(bd):
    return np.cos(6 * np.pi * np.arange(101) / 101) if bd == "periodic" else np.cos(5 * np.pi * X01)


@pytest.mark.parametrize("make", [
    lambda bd: q.DriftReaction1D.with_arrays(0.0, 1.0, 101, SAW, np.zeros(101), 0.0, _saw_data(bd), boundary=bd),
    lambda bd: q.Shift1D.with_arrays(0.0, 1.0, 101, np.zeros(101), SAW / 2, np.zeros(101), 0.0, _saw_data(bd),
                                     boundary=bd),
], ids=["DriftReaction1D", "Shift1D"])
@pytest.mark.parametrize("boundary", ["zero", "periodic", "reflect"])
def test_long_steps_that_fold_characteristics_grow_nothing(make, boundary):
    for n_steps in (100, 1000, 3000):
        s = make(boundary)
        s.evolve(0.1 * n_steps, n_steps)
        # 1e-7: the read of the periodic data between their nodes (their peaks at 1/3 and 2/3,
        # 2e-10) and the allowance of 1e-2 |D8 u| = 1.5e-8 for the steps' own error there.
        assert np.abs(s.values()).max() <= 1.0 + 1e-7, n_steps


# A front carried around a periodic grid for a long time is held within the range of its
# nodes, at any time: the box is rough on the grid's scale at its edges, where its read's
# overshoot (0.12 of its height) is the read's, not the data's. Multi-mode data at 8, 10.7 and 16 nodes per wavelength are read as they are: the
# error is the plain degree-7 read's (2.3e-3 to 3.8e-3 here).
def test_carried_front_stays_in_its_read_range_and_waves_are_resolved():
    n = 101
    x = np.arange(n) / n
    box = np.where((x > 0.25) & (x < 0.6), 1.0, 0.0)
    lo, hi = periodic_read_range(box)
    assert (lo, hi) == (0.0, 1.0)
    for t in (1.0, 10.0, 100.0):
        d = q.DriftReaction1D(0.0, 1 - 1 / n, n, box, b=0.3, c=0.0, boundary="periodic")
        d.evolve(t, int(100 * t))
        assert lo - 1e-9 <= d.values().min() and d.values().max() <= hi + 1e-9, t
    m = 64
    y = np.arange(m) / m

    def waves(s):
        return sum(np.cos(2 * np.pi * k * (y + 0.37 * s) + j) for j, k in enumerate((8, 6, 4)))
    for n_steps in (100, 1000):
        d = q.DriftReaction1D(0.0, 1 - 1 / m, m, waves(0.0), b=0.37, c=0.0, boundary="periodic")
        d.evolve(1.0, n_steps)
        assert np.abs(d.values() - waves(1.0)).max() < 5e-3, n_steps
