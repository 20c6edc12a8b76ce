"""TtEvolver: the exact periodic product solution at first order, transport by the drift,
the reaction factor, construction and evolve errors, borrows and Ctrl-C."""

import math
import re
import signal

import numpy as np
import pytest

from conftest import check_surface, raises_exact
from quorvane import QuorvaneError, TtEvolver, TtState
from tt_helpers import point_values, snapshot

N = 512
X = np.arange(N) * 2 * np.pi / N  # periodic axis: N nodes spaced h, period N*h = 2*pi
HI = X[-1]


def test_surface():
    check_surface(TtEvolver, "(a, b, c, dom_min, dom_max, eps_round)", ndim="($self)",
                  evolve="($self, state, t_final, n_steps)")
    assert TtEvolver.evolve.__doc__.splitlines()[0] == (
        "Evolve `state` in-place for time `t_final` using `n_steps` Chernoff steps.")
    assert not hasattr(TtEvolver, "__len__")


def test_first_order_against_the_exact_product_solution():
    # u = e^{ct} prod_j e^{-a_j k_j^2 t} cos(k_j (x_j + b_j t)) solves
    # u_t = sum_j (a_j u_jj + b_j u_j) + c u; a fine grid keeps the
    # interpolation error well below the time error.
    a, b, c, k, t = [0.3, 0.2], [0.5, -0.7], -0.4, [1, 2], 0.5
    pts = np.random.default_rng(0).integers(0, N, size=(12, 2))
    exact = [math.exp(c * t) * np.prod([math.exp(-a[j] * k[j] ** 2 * t) * math.cos(k[j] * (X[p[j]] + b[j] * t))
                                        for j in range(2)]) for p in pts]
    errors = []
    for n_steps in (20, 40, 80):
        s = TtState([np.cos(k[0] * X), np.cos(k[1] * X)])
        TtEvolver(a, b, c, [0.0, 0.0], [HI, HI], 1e-12).evolve(s, t, n_steps)
        errors.append(np.max(np.abs(point_values(s, pts, (N, N)) - exact)))
        assert s.peak_rank() == 1  # separable steps keep rank 1
    ratios = np.array(errors[:-1]) / np.array(errors[1:])
    assert np.all(np.abs(ratios - 2.0) < 0.05), errors  # first order: halving tau halves the error


def test_drift_transports_the_profile_left():
    # a = 0, b = 1: u(x, t) = u0(x + t); the step must not drop the drift.
    s = TtState([np.sin(X)])
    TtEvolver([0.0], [1.0], 0.0, [0.0], [HI], 0.0).evolve(s, 1.0, 400)
    got = point_values(s, [(i,) for i in range(0, N, 37)], (N,))
    assert np.max(np.abs(got - np.sin(X[::37] + 1.0))) < 5e-3  # first order, tau = 1/400


@pytest.mark.parametrize("c, n_steps, ok", [(-50.0, 10, False), (-2.0, 1, False), (-2.0, 2, True), (-50.0, 50, True)])
def test_negative_reaction_factor_is_refused(c, n_steps, ok):
    s = TtState([[1.0, 2.0], [3.0]])
    ev = TtEvolver([0.0, 0.0], [0.0, 0.0], c, [0.0, 0.0], [1.0, 1.0], 0.0)
    if ok:  # tau c = -1: factor 0, every value becomes 0
        ev.evolve(s, 1.0, n_steps)
        assert s.inner_separable([[1.0, 1.0], [1.0]]) == 0.0
        return
    tau = 1.0 / n_steps
    with pytest.raises(QuorvaneError) as info:
        ev.evolve(s, 1.0, n_steps)
    assert str(info.value).startswith(f"[CflViolated] TtEvolver.evolve: reaction factor 1 + tau*c = {tau * c + 1:g}")
    assert f"tau must be <= {-1 / c:g} (n_steps >= {math.ceil(-c):d})" in str(info.value)
    assert s.inner_separable([[1.0, 1.0], [1.0]]) == 9.0


def test_single_node_axis_and_zero_coefficients():
    s = TtState([[2.0], [1.0, 5.0, 3.0]])
    TtEvolver([1.0, 0.0], [0.0, 0.0], 0.0, [0.0, 0.0], [1.0, 1.0], 0.0).evolve(s, 0.7, 3)
    # n = 1: all taps wrap to node 0 and the weights sum to 1; a = b = 0 leaves an axis alone.
    assert point_values(s, [(0, 0), (0, 1), (0, 2)], (1, 3)) == pytest.approx([2.0, 10.0, 6.0], rel=1e-14)


OK = ([1.0], [0.0], 0.0, [0.0], [1.0], 1e-8)


@pytest.mark.parametrize("args, message", [
    (([], [], 0.0, [], [], 0.0), "[GridMismatch] TtEvolver: axis list is empty"),
    (([1.0], [0.0], math.nan, [0.0], [1.0], 0.0), "[NanInf] TtEvolver: c or eps_round is non-finite"),
    (([1.0], [0.0], 0.0, [0.0], [1.0], math.inf), "[NanInf] TtEvolver: c or eps_round is non-finite"),
    (([1.0, -1e-300], [0.0], 0.0, [0.0], [1.0], 0.0), "[NanInf] TtEvolver: a[1] must be finite >= 0"),
    (([math.nan], [math.nan], 0.0, [0.0], [1.0], 0.0), "[NanInf] TtEvolver: a[0] must be finite >= 0"),
    (([1.0], [0.0, math.inf], 0.0, [0.0], [1.0], 0.0), "[NanInf] TtEvolver: b[1] is non-finite"),
    (([1.0], [0.0], 0.0, [1.0], [1.0], 0.0), "[NanInf] TtEvolver: domain[0] invalid"),
    (([1.0], [0.0], 0.0, [0.0, math.nan], [1.0, 2.0], 0.0), "[NanInf] TtEvolver: domain[1] invalid"),
    (([1.0, 1.0], [0.0], 0.0, [0.0, 0.0], [1.0, 1.0], 0.0),
     "[GridMismatch] TtEvolver: b has 1 entries, expected one per axis (d = 2)"),
    (([1.0, 1.0], [0.0, 0.0], 0.0, [0.0, 0.0], [1.0], 0.0),
     "[GridMismatch] TtEvolver: dom_min and dom_max give 1 domain pairs, expected one per axis (d = 2)"),
])
def test_construction_errors(args, message):
    raises_exact(QuorvaneError, message, TtEvolver, *args)


def test_construction_accepts_surplus_bounds_negative_zero_and_sequences():
    TtEvolver([-0.0], (0,), 1, np.array([0.0, 5.0]), [1.0], -1.0)
    with pytest.raises(TypeError, match="argument 'dom_max'"):
        TtEvolver([1.0], [0.0], 0.0, [0.0], "1", 0.0)


def test_evolve_errors_leave_the_state_unchanged():
    ev = TtEvolver([0.1, 0.2], [0.3, 0.0], 0.5, [0.0, 0.0], [1.0, 2.0], 1e-10)
    s = TtState([np.linspace(0, 1, 6), np.cos(np.arange(5.0))])
    ev.evolve(s, 0.1, 2)
    before = snapshot(s, (6, 5))
    for args, message in [((s, 1.0, 0), "[OutOfDomain] TtEvolver.evolve: n_steps must be >= 1"),
                          ((s, -1e-300, 1), "[OutOfDomain] TtEvolver.evolve: t_final must be finite >= 0"),
                          ((s, math.nan, 1), "[OutOfDomain] TtEvolver.evolve: t_final must be finite >= 0"),
                          ((TtState([[1.0]]), 1.0, 1), "[OutOfDomain] TtEvolver.evolve: evolver ndim != state ndim")]:
        raises_exact(QuorvaneError, message, ev.evolve, *args)
    raises_exact(TypeError, "argument 'state': 'list' object is not an instance of 'TtState'", ev.evolve, [1.0], 1.0, 1)
    assert snapshot(s, (6, 5)) == before
    ev.evolve(s, -0.0, 1)


def test_state_is_borrowed_exclusively_for_the_call():
    ev = TtEvolver(*OK)
    s = TtState([[1.0, 2.0, 3.0]])

    class Reenter:
        def __init__(self, call):
            self.call = call

        def __float__(self):
            self.call()
            return 0.1

    raises_exact(RuntimeError, "argument 'state': Already borrowed", ev.evolve, s, Reenter(lambda: ev.evolve(s, 0.1, 1)), 1)
    raises_exact(RuntimeError, "Already mutably borrowed", ev.evolve, s, Reenter(s.ndim), 1)
    ev.evolve(s, Reenter(lambda: TtState([[1.0]]).ndim()), 1)  # other objects are free; the borrow ends with the call
    assert s.ndim() == 1


def test_ctrl_c_stops_a_long_evolve_and_keeps_the_state():
    s = TtState([[1.0, 2.0, 3.0, 4.0]])

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        with pytest.raises(KeyboardInterrupt):
            TtEvolver([0.5], [0.1], 0.0, [0.0], [1.0], 0.0).evolve(s, 1.0, 10**8)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert s.inner_separable([[1.0, 0.0, 0.0, 0.0]]) == 1.0


# --- reads far beyond the period, drifts at the top of the double range -------------------------

def cubic_read(u, cells):
    """u read `cells` cells to the right on a periodic axis, by the four-point Lagrange cubic."""
    n = len(u)
    k = math.floor(cells)
    t = cells - k
    w = [-(t - 2) * t * (t - 1) / 6, (t - 2) * (t + 1) * (t - 1) / 2, -(t - 2) * t * (t + 1) / 2,
         (t - 1) * t * (t + 1) / 6]
    return sum(wm * np.roll(u, -(k + m - 1)) for m, wm in enumerate(w))


@pytest.mark.parametrize("t", [1e17, 1e36, 1e100, 1e200, 1e300])
def test_a_drift_beyond_2_53_cells_reads_the_displacement_modulo_the_period(t):
    # h = 0.1 is no power of two: the displacement 2 t b counted in cells has lost its fraction,
    # but modulo the period n h (fmod is exact) it still moves the profile.
    n, h = 16, 0.1
    x = np.arange(n) * h
    u0 = np.cos(2 * np.pi * x / 1.6) + 0.3 * np.sin(4 * np.pi * x / 1.6)
    s = TtState([u0, [1.0]])
    TtEvolver([0.0, 0.0], [1.0, 0.0], 0.0, [0.0, 0.0], [1.5, 1.0], 1e-14).evolve(s, t, 1)
    got = point_values(s, [(i, 0) for i in range(n)], (n, 1))
    # Half the step reads at the drift, half at the node itself (a = 0).
    expected = 0.5 * cubic_read(u0, math.fmod(2 * t, n * h) / h) + 0.5 * u0
    assert np.max(np.abs(got - expected)) < 1e-14
    assert np.max(np.abs(got - u0)) > 0.1


@pytest.mark.parametrize("a, b, t, least", [
    (0.0, 1e300, 1e10, None), (0.0, 1e308, 10.0, None), (0.0, 1.7e308, 1.5, None),
    # One step's spread 2 sqrt(tau a) overflows where 4 steps run: refused before as a NaN in the
    # result, naming nothing (2 steps too).
    (1.7e308, 0.0, 1.7e308, 4), (1e308, 1.0, 1.7e308, 3)])
def test_every_count_from_the_one_a_drift_refusal_names_runs(a, b, t, least):
    u0 = np.cos(2 * np.pi * np.arange(16) / 16)
    with pytest.raises(QuorvaneError, match=r"lies beyond the double range") as info:
        TtEvolver([a], [b], 0.0, [0.0], [1.5], 0.0).evolve(TtState([u0]), t, 1)
    named = int(re.search(r"use n_steps >= (\d+)", str(info.value)).group(1))
    assert least is None or named == least
    for count in (named, named + 1, 2 * named, 10 * named, 1000 * named):
        s = TtState([u0])
        TtEvolver([a], [b], 0.0, [0.0], [1.5], 0.0).evolve(s, t, count)
        # Each step averages u with a cubic read of it, whose symbol keeps |.| <= 1: the l2 norm
        # never grows, so max|u| stays within sqrt(16) max|u0|.
        assert np.max(np.abs(point_values(s, [(i,) for i in range(16)], (16,)))) <= 4.0


def test_a_reaction_bound_in_the_subnormal_range_names_a_step_served():
    # c = -1.7e308 admits steps up to 5.9e-309: one such step is served, so the refusal of a
    # longer t must name it, not "no call serves t > 0"; the 2^64 - 1 steps t = 1 takes no call
    # finishes (before, that count was named with the t it serves).
    u0 = np.ones(4)
    with pytest.raises(QuorvaneError) as info:
        TtEvolver([0.0], [0.0], -1.7e308, [0.0], [1.0], 0.0).evolve(TtState([u0]), 1.0, 1)
    longest = float(re.search(r"steps of at most tau = (\S+) pass", str(info.value)).group(1))
    assert longest == pytest.approx(1 / 1.7e308, rel=1e-12)
    assert str(info.value).endswith(": no call that finishes serves it; several calls of shorter t_final do")
    s = TtState([u0])
    TtEvolver([0.0], [0.0], -1.7e308, [0.0], [1.0], 0.0).evolve(s, 5e-309, 1)
    assert point_values(s, [(0,)], (4,))[0] == 1.0 + 5e-309 * -1.7e308


# A factor far from 1 prints its shortest digits with an exponent, not
# hundreds of positional ones.
@pytest.mark.parametrize("c, shown", [(-1e300, "-1e300"), (-3e17, "-3e17"), (-5.0, "-4")])
def test_reaction_factor_text_is_compact(c, shown):
    ev = TtEvolver([0.0, 0.0], [0.0, 0.0], c, [0.0, 0.0], [1.0, 1.0], 0.0)
    with pytest.raises(QuorvaneError) as info:
        ev.evolve(TtState([[1.0, 2.0], [3.0]]), 1.0, 1)
    assert str(info.value).startswith(f"[CflViolated] TtEvolver.evolve: reaction factor 1 + tau*c = {shown} < 0 ")


def test_a_reaction_refusal_names_a_step_the_drift_rule_passes_too():
    # -1/c = 6.1e37 would take tau b beyond the double range: the tau and the count named must
    # pass both rules.
    b, c, t = -1.424e275, -1.648e-38, 6.1e37
    u0 = np.cos(2 * np.pi * np.arange(16) / 16)
    with pytest.raises(QuorvaneError, match=r"reaction factor") as info:
        TtEvolver([0.0], [b], c, [0.0], [1.5], 0.0).evolve(TtState([u0]), t, 1)
    text = str(info.value)
    tau = float(re.search(r"tau must be <= (\S+?)[;( ]", text).group(1))
    assert tau < -1.0 / c and math.isfinite(tau * b)
    TtEvolver([0.0], [b], c, [0.0], [1.5], 0.0).evolve(TtState([u0]), tau, 1)
    least = int(re.search(r"n_steps >= (\d+)", text).group(1))
    for count in (least, least + 1, 2 * least):
        TtEvolver([0.0], [b], c, [0.0], [1.5], 0.0).evolve(TtState([u0]), t, count)
