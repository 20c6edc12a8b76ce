"""MeasureState, GridlessEvolver and AdjointFokkerPlanckV8: the dual identity,
moments of the Fokker-Planck flow, binning, refusals and exact messages."""

import math
import re
from fractions import Fraction

import numpy as np
import pytest

from conftest import check_surface, error_text, raises_exact
from quorvane import AdjointFokkerPlanckV8, GridlessEvolver, MeasureState

PW_TYPE = "positions/weights must be numpy.ndarray[float64] or sequence of floats"
LIMIT = "atoms, above the limit of 67108864 (2^26) atoms"


def atoms(state):
    x, w = state.marginal(0)
    return [(float(a), float(b)) for a, b in zip(x, w)]


def moments(x, w):
    m0 = w.sum()
    mean = (x * w).sum() / m0
    return m0, mean, (w * (x - mean) ** 2).sum() / m0


def test_surface():
    check_surface(MeasureState, "(positions, weights, dim)", n_diracs="($self)", marginal="($self, axis)",
                  second_moment="($self)", total_variation="($self)")
    check_surface(GridlessEvolver, "(a, b, c, voronoi_cap=64, gaussian_background=False)",
                  apply="($self, tau, src, dst)", evolve="($self, state, t_final, n_steps)")
    check_surface(AdjointFokkerPlanckV8, "(a, b, c)", step="($self, tau, positions, weights, n_steps=1)",
                  second_moment="($self, positions, weights)", total_variation="($self, positions, weights)")
    for cls in (MeasureState, GridlessEvolver, AdjointFokkerPlanckV8):
        assert not hasattr(cls, "__len__")


@pytest.mark.parametrize("args, text", [
    (([], [], 2), "[Unsupported] MeasureState: dim must be 1 (compiled D)"),
    (([0.0], [], 1), "[GridMismatch] MeasureState: positions/weights must be non-empty"),
    (([0.0, 1.0], [1.0], 1), "[GridMismatch] MeasureState: positions and weights lengths differ"),
    (([0.0, math.inf], [1.0, 1.0], 1), "[NanInf] MeasureState: NaN/Inf in positions or weights"),
    (([0.0], [math.nan], 1), "[NanInf] MeasureState: NaN/Inf in positions or weights"),
])
def test_measure_state_refusals(args, text):
    assert error_text(MeasureState, *args) == text


def test_measure_state_queries():
    s = MeasureState(np.array([1.0, -3.0]), (2, 0.5), 1)
    assert (s.n_diracs(), s.second_moment(), s.total_variation()) == (2, 6.5, 2.5)
    assert atoms(s) == [(1.0, 2.0), (-3.0, 0.5)]
    signed = MeasureState([0.0, 2.0], [-1.0, 1.0], 1)
    assert (signed.total_variation(), signed.second_moment()) == (2.0, 4.0)
    assert error_text(s.marginal, 1) == "[OutOfDomain] MeasureState.marginal: axis >= 1 (COMPILED_D)"
    with pytest.raises(OverflowError):
        s.marginal(-1)
    with pytest.raises(TypeError, match="argument 'positions'"):
        MeasureState("ab", [1.0, 1.0], 1)


@pytest.mark.parametrize("args, kw, text", [
    ((-1.0, 0.0, 0.0), {}, "[NanInf] GridlessEvolver: a must be finite >= 0"),
    ((math.nan, 0.0, 0.0), {}, "[NanInf] GridlessEvolver: a must be finite >= 0"),
    ((1.0, math.inf, 0.0), {}, "[NanInf] GridlessEvolver: b is non-finite"),
    ((1.0, 0.0, math.nan), {}, "[NanInf] GridlessEvolver: c is non-finite"),
    ((1.0, 0.0, 0.0), {"voronoi_cap": 0}, "[OutOfDomain] GridlessEvolver: voronoi_cap must be >= 1"),
])
def test_gridless_construction_refusals(args, kw, text):
    assert error_text(GridlessEvolver, *args, **kw) == text


def test_gridless_apply_children_and_borrows():
    ev = GridlessEvolver(1.0, 0.0, 0.0)
    src, dst = MeasureState([0.5], [2.0], 1), MeasureState([9.0, 9.0], [1.0, 1.0], 1)
    ev.apply(1.0, src, dst)
    assert atoms(dst) == [(2.5, 0.5), (-1.5, 0.5), (0.5, 1.0)]
    assert atoms(src) == [(0.5, 2.0)]
    raises_exact(RuntimeError, "argument 'dst': Already borrowed", ev.apply, 0.0, src, src)
    before = atoms(dst)
    assert error_text(ev.apply, -1.0, src, dst) == "[OutOfDomain] GridlessEvolver.apply: tau must be finite >= 0"
    assert error_text(GridlessEvolver(1.0, 0.0, -4.0).apply, 0.5, src, dst) == (
        "[CflViolated] GridlessEvolver.apply: reaction factor 1 + tau*c = -1 < 0 flips the sign every step; "
        "tau must be <= 0.25")
    assert atoms(dst) == before
    # c = 1, tau = 0.5: every weight times 1.5 after branching.
    GridlessEvolver(0.0, 1.0, 1.0, voronoi_cap=100).apply(0.5, src, dst)
    assert [w for _, w in atoms(dst)] == [0.75, 0.75, 1.5]


# One object as both source and destination cannot be borrowed twice: the call is
# refused before any work and the measure keeps its atoms; evolve(state, tau, 1), the way
# the docstring names, takes that step in place, bit for bit as apply into another object.
@pytest.mark.parametrize("a, b, c, cap", [(1.0, 0.0, 0.0, 64), (0.3, -0.7, -0.5, 64), (0.5, 0.2, 0.3, 4)])
def test_apply_needs_two_objects_and_evolve_steps_in_place(a, b, c, cap):
    ev = GridlessEvolver(a, b, c, voronoi_cap=cap)
    x, w = [0.0, 0.25, 1.5], [1.0, -0.5, 2.0]
    state, src, dst = MeasureState(x, w, 1), MeasureState(x, w, 1), MeasureState([0.0], [1.0], 1)
    raises_exact(RuntimeError, "argument 'dst': Already borrowed", ev.apply, 0.1, state, state)
    assert atoms(state) == list(zip(x, w))
    ev.apply(0.1, src, dst)
    ev.evolve(state, 0.1, 1)
    assert atoms(state) == atoms(dst) and atoms(src) == list(zip(x, w))


def test_gridless_evolve_refusals_keep_the_state():
    s = MeasureState([0.0, 1.0], [1.0, 2.0], 1)
    before = atoms(s)
    bg = GridlessEvolver(1.0, 0.0, 0.0, voronoi_cap=0, gaussian_background=True)
    for call, text in [
        (lambda: bg.evolve(s, -1.0, 0), "[OutOfDomain] GridlessEvolver.evolve: n_steps must be >= 1"),
        (lambda: bg.evolve(s, math.inf, 3), "[OutOfDomain] GridlessEvolver.evolve: t_final must be finite >= 0"),
        (lambda: GridlessEvolver(1.0, 0.0, -3.0).evolve(s, 1.0, 2),
         "[CflViolated] GridlessEvolver.evolve: reaction factor 1 + tau*c = -0.5 < 0 flips the sign every step; "
         "tau must be <= 0.3333333333333333 (n_steps >= 3)"),
        # Unreduced: 2 * 3^16 atoms; refused before anything is allocated.
        (lambda: bg.evolve(s, 1.0, 16), f"[OutOfDomain] GridlessEvolver.evolve: the measure would hold 86093442 {LIMIT}"),
        (lambda: bg.evolve(s, 1.0, 2 ** 63), "[OutOfDomain] GridlessEvolver.evolve: the measure would hold more "
                                             f"than 18446744073709551615 {LIMIT}"),
        # Weights (1 + 1e300)^2 overflow: never stored as a result.
        (lambda: GridlessEvolver(1.0, 0.0, 1e300).evolve(s, 2.0, 2),
         "[NanInf] GridlessEvolver.evolve: the result lies beyond the double range at every scale of the weights: "
         "each step multiplies them by 1 + tau c, and (1 + tau c)^n_steps max|w0| = 2.000e0 leaves the range; "
         "t_final <= 1.414e-150 keeps it within the range"),
    ]:
        assert error_text(call) == text
        assert atoms(s) == before
    bg.evolve(s, 1.0, 3)
    assert s.n_diracs() == 54  # never reduced
    capped = GridlessEvolver(1.0, 0.0, 0.0, voronoi_cap=10 ** 12)
    assert error_text(capped.evolve, s, 1.0, 20) == (
        f"[OutOfDomain] GridlessEvolver.evolve: the measure would hold 188286357654 {LIMIT}")


def test_gridless_binning_keeps_mass_and_mean():
    ev = GridlessEvolver(1.0, 0.3, 0.0)
    s = MeasureState([0.25], [1.5], 1)
    ev.evolve(s, 0.75, 3)
    assert s.n_diracs() == 27
    x, w = s.marginal(0)
    # The 81 atoms before binning, by an unreduced step of the same size.
    raw = MeasureState(x, w, 1)
    GridlessEvolver(1.0, 0.3, 0.0, gaussian_background=True).apply(0.25, MeasureState(x, w, 1), raw)
    ev.evolve(s, 0.25, 1)
    assert s.n_diracs() <= 64
    m_raw, m_bin = moments(*raw.marginal(0)), moments(*s.marginal(0))
    assert m_bin[0] == pytest.approx(m_raw[0], rel=1e-15, abs=0)
    assert m_bin[1] == pytest.approx(m_raw[1], rel=1e-14, abs=0)
    # t = 0: positions stay; the 81 children of step 4 coincide and merge into
    # one atom, which step 5 splits again.
    z = MeasureState([1.0], [2.0], 1)
    ev.evolve(z, 0.0, 5)
    assert atoms(z) == [(1.0, 0.5), (1.0, 0.5), (1.0, 1.0)]


def test_gridless_dual_identity_and_first_order():
    # Unreduced, the step is the dual of F(tau): the mode cos(k x) is mapped
    # through lambda = (1 + tau c)(cos(k h)/2 + e^{i k kk}/2).
    a, b, c, t, n, k = 0.5, -0.4, 0.7, 0.6, 5, 1.9
    x0, w0 = np.array([0.3, -1.0]), np.array([1.5, -0.25])
    s = MeasureState(x0, w0, 1)
    GridlessEvolver(a, b, c, gaussian_background=True).evolve(s, t, n)
    tau = t / n
    lam = (1 + tau * c) * (0.5 * math.cos(k * 2 * math.sqrt(a * tau)) + 0.5 * np.exp(2j * k * b * tau))
    x, w = s.marginal(0)
    assert np.sum(w * np.cos(k * x)) == pytest.approx((lam ** n * np.sum(w0 * np.exp(1j * k * x0))).real, abs=1e-13)
    # Against the flow: mass e^{ct}, mean b t, variance 2 a t; errors halve with tau.
    errs = []
    for n in (2, 4, 8):
        s = MeasureState([0.0], [1.0], 1)
        GridlessEvolver(a, b, c, gaussian_background=True).evolve(s, t, n)
        m0, mean, var = moments(*s.marginal(0))
        assert mean == pytest.approx(b * t, abs=1e-13)
        errs.append((abs(m0 - math.exp(c * t)), abs(var - 2 * a * t)))
    ratios = np.array(errs[:-1]) / np.array(errs[1:])
    assert np.all(np.abs(ratios - 2.0) < 0.25), ratios


def test_adjoint_step_layout_and_refusals():
    fp = AdjointFokkerPlanckV8(2.0, 1.0, 0.0)
    x, w = fp.step(0.5, [0.0], [1.0])
    assert x.tolist() == [2.0, -2.0, 1.0, 0.0] and w.tolist() == [0.25, 0.25, 0.5, 0.0]
    x, w = AdjointFokkerPlanckV8(1.0, 0.0, 1.0).step(0.1, np.array([0.0, 1.0, 2.0]), [1.0, 2.0, 3.0], n_steps=2)
    assert len(x) == 48 and w.sum() == pytest.approx(6.0 * 1.1 ** 2, rel=1e-15)
    assert w[3] == pytest.approx(0.1 * 0.25, rel=1e-15)  # the fourth child carries tau c w
    for call, text in [
        (lambda: fp.step(0.0, [0.0], [1.0]), "[OutOfDomain] tau must be finite and > 0"),
        (lambda: fp.step(0.0, [0.0], [1.0], n_steps=0), "[OutOfDomain] tau must be finite and > 0"),
        (lambda: fp.step(1.0, [0.0], [1.0], n_steps=0), "[OutOfDomain] n_steps must be >= 1"),
        (lambda: fp.step(1.0, [0.0, 1.0], [1.0, 2.0, 3.0]), "[GridMismatch] len(positions) must equal len(weights)"),
        (lambda: fp.second_moment([0.0, 1.0], [1.0, 2.0, 3.0]), "[GridMismatch] len(positions) != len(weights)"),
        (lambda: fp.total_variation([0.0, 1.0], [1.0, 2.0, 3.0]), "[GridMismatch] len(positions) != len(weights)"),
        (lambda: AdjointFokkerPlanckV8(1.0, 0.0, -5.0).step(0.5, [0.0], [1.0]),
         "[CflViolated] AdjointFokkerPlanckV8.step: reaction factor 1 + tau*c = -1.5 < 0 flips the sign every step; "
         "tau must be <= 0.2"),
        # One atom and 20 steps asks for 4^20 atoms: refused before allocating.
        (lambda: fp.step(0.1, [0.0], [1.0], n_steps=20),
         f"[OutOfDomain] AdjointFokkerPlanckV8.step: the measure would hold 1099511627776 {LIMIT}"),
        (lambda: AdjointFokkerPlanckV8(math.nan, 0.0, 0.0), "[NanInf] adjoint_fp: a, b, c must be finite: NaN"),
        (lambda: AdjointFokkerPlanckV8(-math.inf, 0.0, 0.0), "[NanInf] adjoint_fp: a, b, c must be finite: -inf"),
        (lambda: AdjointFokkerPlanckV8(1.0, 0.0, math.inf), "[OutOfDomain] adjoint_fp: a, b, c must be finite"),
        (lambda: AdjointFokkerPlanckV8(-1.0, 0.0, 0.0),
         "[OutOfDomain] adjoint_fp: a must be >= 0 (diffusion coefficient)"),
    ]:
        assert error_text(call) == text
    raises_exact(TypeError, PW_TYPE, fp.step, 1.0, "ab", [1.0])
    raises_exact(TypeError, PW_TYPE, fp.total_variation, [1.0], None)
    assert fp.second_moment([1.0, -3.0], [2.0, 0.5]) == 6.5
    assert fp.total_variation([1.0, -3.0], [2.0, 0.5]) == 2.5
    x, w = fp.step(1.0, [math.nan], [1.0])  # not refused: propagates
    assert np.isnan(x).all()


@pytest.mark.parametrize("f", [lambda x: x ** 2, lambda x: x ** 3 - 2 * x, lambda x: np.cos(1.3 * x)])
def test_adjoint_identity(f):
    # integral S(tau) f dmu = integral f d(S*(tau) mu), S(tau) f(x) =
    # f(x + h)/4 + f(x - h)/4 + f(x + k)/2 + tau c f(x).
    a, b, c, tau = 0.8, -0.6, 1.4, 0.15
    x0, w0 = np.array([0.3, -1.0, 2.0]), np.array([1.5, -0.25, 0.75])
    h, k = 2 * math.sqrt(a * tau), 2 * b * tau
    s_f = f(x0 + h) / 4 + f(x0 - h) / 4 + f(x0 + k) / 2 + tau * c * f(x0)
    x, w = AdjointFokkerPlanckV8(a, b, c).step(tau, x0, w0)
    assert np.sum(w * f(x)) == pytest.approx(np.sum(w0 * s_f), abs=1e-14)


@pytest.mark.parametrize("call, exact", [
    # 2 b tau with b + b beyond the double range: the third child at x + k.
    (lambda: AdjointFokkerPlanckV8(0.0, -1.7e308, 0.0).step(1e-3, [0.0], [1.0])[0][2], -3.4e305),
    # 2 sqrt(a tau) with a tau beyond the range, and with a tau below the normal range.
    (lambda: AdjointFokkerPlanckV8(1.7e308, 0.0, 0.0).step(10.0, [0.0], [1.0])[0][0], 2 * math.sqrt(1.7e308) * math.sqrt(10.0)),
    (lambda: AdjointFokkerPlanckV8(1e-300, 0.0, 0.0).step(1e-300, [0.0], [1.0])[0][0], 2e-300),
    # x^2 w with x^2 beyond the range; signed sums whose partial sums leave it.
    (lambda: AdjointFokkerPlanckV8(1.0, 0.0, 0.0).second_moment([1e200, 1.0], [1e-300, 1.0]), 1e100 + 1.0),
    (lambda: AdjointFokkerPlanckV8(1.0, 0.0, 0.0).second_moment([1.0] * 3, [1e308, 1e308, -1.5e308]), 5e307),
    (lambda: MeasureState([1.0] * 3, [1e308, 1e308, -1.5e308], 1).second_moment(), 5e307),
])
def test_finite_results_of_extreme_finite_input_are_the_exact_ones(call, exact):
    assert call() == pytest.approx(exact, rel=4e-16)  # one or two roundings of the exact value


# Signed weights cancel in a bin of the second step: in exact arithmetic exactly, in doubles
# to the rounding of the weights, which for some scales (3, 1e-10, 1e+-100, 1e+-200) left a
# sum of 7e-17 of the bin's weights whose mean put an atom at 1.4e15, and the next bins
# squeezed every other atom into one. The flow is linear: the scale changes nothing.
def signed_pair(s, lam=1.0):
    m = MeasureState([0.0, lam], [s, -0.5 * s], 1)
    GridlessEvolver(2.0 * lam * lam, -3.0 * lam, 0.1, voronoi_cap=8).evolve(m, 1.0, 40)
    return m.marginal(0)


@pytest.mark.parametrize("s", [3.0, 0.3, 1e10, 1e-10, 1e100, 1e-100, 1e200, 1e-200, 1e300, 1e-300, 2.0 ** -1000])
def test_signed_weights_take_the_same_steps_at_every_scale(s):
    x1, w1 = signed_pair(1.0)
    x, w = signed_pair(s)
    np.testing.assert_allclose(x, x1, rtol=0, atol=1e-13 * np.abs(x1).max())  # the rounding of the weights
    np.testing.assert_allclose(w / s, w1, rtol=1e-13)
    # The same binning replayed with 60 digits: 8 atoms, mass, mean, variance.
    assert len(x) == 8
    assert moments(x, w / s) == pytest.approx((0.552516505064535, -3.97360679774998, 0.245985057312154), rel=1e-13)
    # Positions scaled by a power of two L (a L^2, b L) come out scaled by L, bit for bit.
    xl, wl = signed_pair(s, lam=2.0 ** -500)
    assert np.array_equal(xl, x * 2.0 ** -500) and np.array_equal(wl, w)


@pytest.mark.parametrize("seed", range(4))
def test_random_signed_measures_keep_mass_and_first_moment_at_every_scale(seed):
    # Generic signed data cancel in no bin: the binning keeps sum w and sum x w, and a step
    # multiplies the mass by f = 1 + tau c and moves the first moment by b tau times the mass.
    rng = np.random.default_rng(seed)
    x0, w0 = 1.0 + rng.random(4), rng.normal(size=4)  # all on one side of 0, as far out as scaled
    a, b, c, cap, t, n = rng.random() * 2, rng.normal(), rng.normal(), int(rng.choice([2, 5, 16])), 1.3, 37
    f = (t / n * c + 1.0) ** n
    for s, lam in ((1.0, 1.0), (3.0, 1.0), (1e-300, 1.0), (1e300, 1.0), (2.0 ** -1020, 2.0 ** 400)):
        m = MeasureState(x0 * lam, w0 * s, 1)  # beyond 1e38 the range was taken from 1e38
        GridlessEvolver(a * lam * lam, b * lam, c, voronoi_cap=cap).evolve(m, t, n)
        x, w = m.marginal(0)
        x, w = x / lam, w / s
        scale = np.abs(w0).sum() * f * (1.0 + np.abs(x0).max() + abs(b) * t)
        assert abs(w.sum() - f * w0.sum()) < 1e-13 * scale
        assert abs(np.dot(x, w) - f * (np.dot(x0, w0) + b * t * w0.sum())) < 1e-12 * scale
        ref = ref if s != 1.0 else (x, w)
        np.testing.assert_allclose(x, ref[0], rtol=0, atol=1e-12 * np.abs(ref[0]).max())
        np.testing.assert_allclose(w, ref[1], rtol=1e-12, atol=1e-14 * np.abs(ref[1]).sum())


@pytest.mark.parametrize("x, w", [
    ([1e160, 1e160], [1.0, -1.0]),  # each x^2 w beyond the range, the sum 0
    ([1e155, 1e155, 1e100], [1e300, -1e300, 1.0]),
    ([1e-300], [1e300]),  # x^2 below the range, x^2 w not
    ([1e-200, 3.0], [1e250, 1e-300]),
    ([1e160, 1.0000001e160], [1.0, -1.0]),  # beyond the range: refused with its sign
])
def test_second_moment_of_extreme_finite_atoms_is_the_exact_sum(x, w):
    exact = sum(Fraction(p) ** 2 * Fraction(q) for p, q in zip(x, w))
    state = MeasureState(x, w, 1)
    if abs(exact) > Fraction(np.finfo(float).max):
        assert error_text(state.second_moment) == "[NanInf] all values must be finite (no NaN/Inf): -inf"
    else:
        assert state.second_moment() == pytest.approx(float(exact), rel=4e-16, abs=0)


# a tau or b + b beyond the range while the positions are not: served. The reaction refusal of
# tau = 1.7e301 names 17 steps of the tau of the first case.
@pytest.mark.parametrize("a, b, c, t, top", [
    (1e300, -3.3e-300, -1e-300, 9.999999999999999e299, 2.0 * 9.999999999999999e299),
    (1e300, 0.0, 0.0, 1e10, 2e155),
    (1e-300, 0.0, 0.0, 1e-300, 2e-300),
    (0.0, 1.7e308, 0.0, 1e-3, 3.4e305),
])
def test_steps_whose_products_overflow_keep_the_positions(a, b, c, t, top):
    def call(time, n):
        m = MeasureState([0.0], [1.0], 1)
        GridlessEvolver(a, b, c).evolve(m, time, n)
        return np.max(np.abs(m.marginal(0)[0]))
    assert call(t, 1) == pytest.approx(top, rel=1e-15, abs=0)
    if c < 0.0:
        assert error_text(call, 17 * t, 1).endswith("(n_steps >= 17)")
        for n in (17, 18, 34, 170):
            call(17 * t, n)


@pytest.mark.parametrize("a, b, x0, t, n", [
    (1.7e308, 0.0, 0.0, 1.7e308, 1),
    (1.7e308, 0.0, 0.0, 1.7e308, 1000),
    (0.0, 1e308, 0.0, 10.0, 1),
    (0.0, 1e308, 1e308, 1.0, 1),
])
def test_positions_beyond_the_range_name_a_time_that_passes(a, b, x0, t, n):
    def call(time):
        m = MeasureState([x0, 1.0], [1.0, 1.0], 1)
        GridlessEvolver(a, b, 0.0).evolve(m, time, n)
        return m.marginal(0)[0]
    text = error_text(call, t)
    assert text.startswith("[NanInf] GridlessEvolver.evolve: the atoms' positions leave the double range"), text
    assert np.all(np.isfinite(call(float(re.search(r"t_final <= (\S+) keeps", text).group(1)))))
