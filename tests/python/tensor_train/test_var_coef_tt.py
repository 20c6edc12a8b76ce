"""VarCoefTtEvolver: second order against scipy's expm of the three-point operator, the exact
spectral heat step for constant coefficients, the refusal of amplifying steps, and every error."""

import math

import numpy as np
import pytest
from scipy.linalg import expm

from conftest import check_surface, raises_exact
from quorvane import QuorvaneError, TtState, VarCoefTtEvolver
from tt_helpers import snapshot

N = 32
H = 2 * np.pi / N
X = np.arange(N) * H
DOM = (0.0, X[-1])  # n nodes spaced h = (hi - lo)/(n - 1), periodic


def three_point(a, b, v, h=H):
    """The conservative periodic discretisation of (a u')' + b u' + v u."""
    n = len(a)
    L = np.zeros((n, n))
    for i in range(n):
        am, ap = (a[i] + a[i - 1]) / 2, (a[i] + a[(i + 1) % n]) / 2
        L[i, i - 1] += am / h**2 - b[i] / (2 * h)
        L[i, i] += -(am + ap) / h**2 + v[i]
        L[i, (i + 1) % n] += ap / h**2 + b[i] / (2 * h)
    return L


def full(s, n):
    eye = np.eye(n)
    return np.array([[s.inner_separable([eye[i], eye[j]]) for j in range(n)] for i in range(n)])


def test_surface():
    check_surface(VarCoefTtEvolver, "(a_axis, b_axis, v_axis, domain, eps_round)", ndim="($self)",
                  evolve="($self, state, t_final, n_steps)")
    assert VarCoefTtEvolver.evolve.__doc__.splitlines()[0] == "Evolve `state` in-place for `t_final` using `n_steps` steps."


def test_second_order_against_expm_of_the_three_point_operator():
    # L is a Kronecker sum, so exp(tL) of a separable u0 is the product of the axis exponentials.
    a, b, v = 1 + 0.5 * np.sin(X), 0.3 * np.cos(X), 0.2 * np.sin(2 * X)
    u0 = [np.exp(np.cos(X)), np.cos(X) + 2]
    t = 0.5
    exact = np.outer(expm(t * three_point(a, b, v)) @ u0[0], expm(t * three_point(a[::-1], -b, 0 * v)) @ u0[1])
    ev = VarCoefTtEvolver([list(a), a[::-1].copy()], [b, -b], [v, []], [DOM, DOM], 1e-14)
    assert ev.ndim() == 2
    errors = []
    for n_steps in (10, 20, 40):
        s = TtState(u0)
        ev.evolve(s, t, n_steps)
        errors.append(np.max(np.abs(full(s, N) - exact)))
    ratios = np.array(errors[:-1]) / np.array(errors[1:])
    assert np.all(np.abs(ratios - 4.0) < 0.1), errors  # second order


def test_constant_coefficients_give_the_exact_spectral_heat_step():
    a = 0.7
    u0 = [np.exp(np.sin(X)), 1.0 + X * (X[-1] - X)]
    ev = VarCoefTtEvolver([[a] * N, [a] * N], [[0.0] * N] * 2, [[], []], [DOM, DOM], 1e-15)
    s = TtState(u0)
    ev.evolve(s, 0.3, 1)
    E = expm(0.3 * three_point(np.full(N, a), np.zeros(N), np.zeros(N)))
    assert np.max(np.abs(full(s, N) - np.outer(E @ u0[0], E @ u0[1]))) < 1e-12


def test_amplifying_steps_are_refused_and_admissible_ones_stay_bounded():
    # Advection-dominated: n = 64 on [0, 1], a = 0.001, b = 1; tau = 0.1 amplifies.
    n, x = 64, np.linspace(0.0, 1.0, 64)
    ev = VarCoefTtEvolver([[0.001] * n], [[1.0] * n], [[]], [(0.0, 1.0)], 0.0)
    u0 = np.cos(2 * np.pi * x) + 0.5 * np.sin(6 * np.pi * x)
    s = TtState([u0])
    with pytest.raises(QuorvaneError) as info:
        ev.evolve(s, 1.0, 10)
    assert str(info.value) == (
        "[CflViolated] VarCoefTtEvolver.evolve: tau = t_final/n_steps = 1.000e-1 exceeds the largest admissible "
        "tau = 3.089e-2: the residual Taylor steps would amplify drift-dominated modes; use n_steps >= 33 for "
        "t_final = 1")
    assert s.inner_separable([np.eye(n)[3]]) == u0[3]
    ev.evolve(s, 1.0, 33)
    assert max(abs(s.inner_separable([e])) for e in np.eye(n)) <= np.max(np.abs(u0))


def test_growth_of_a_positive_reaction_is_allowed():
    s = TtState([np.ones(8)])
    VarCoefTtEvolver([[1.0] * 8], [[0.0] * 8], [[2.0] * 8], [(0.0, 1.0)], 0.0).evolve(s, 1.0, 4)
    # A constant with v = 2: each residual step is the Taylor polynomial of e^{tau}.
    assert s.inner_separable([[1.0 / 8] * 8]) == pytest.approx((1 + 0.25 + 0.25**2 / 2) ** 8, rel=1e-13)


L4, Z4 = [[1.0] * 4], [[0.0] * 4]
OOC = "[OutOfDomain] VarCoefTt out-of-class: "


@pytest.mark.parametrize("args, exc, message", [
    (((1.0,), Z4, [[]], [(0.0, 1.0)], 0.0), TypeError, "argument 'a_axis': 'tuple' object cannot be converted to 'PyList'"),
    ((L4, Z4, [[]], ((0.0, 1.0),), "x"), TypeError, "argument 'domain': 'tuple' object cannot be converted to 'PyList'"),
    ((L4, Z4, [[]], [(0.0, 1.0)], "x"), TypeError, "argument 'eps_round': must be real number, not str"),
    (([], [], [], [], math.nan), QuorvaneError, "[OutOfDomain] a_axis : list is empty (d must be >= 1)"),
    ((L4, [], [[]], [(0.0, 1.0)], 0.0), QuorvaneError, "[OutOfDomain] b_axis : list is empty (d must be >= 1)"),
    ((L4 + ["ab"], Z4, [[]], [(0.0, 1.0)], 0.0), QuorvaneError, "[OutOfDomain] a_axis: axis 1 is not a list[float]"),
    ((L4, [[0.0, math.inf]], [[]], [(0.0, 1.0)], 0.0), QuorvaneError, "[NanInf] b_axis: NaN/Inf in axis 0"),
    ((L4, Z4, [[]], [], 0.0), QuorvaneError, "[OutOfDomain] domain: domain list is empty"),
    ((L4, Z4, [[]], [[0.0, 1.0]], 0.0), QuorvaneError, "[OutOfDomain] domain: domain[0] is not a (float, float) tuple"),
    ((L4, Z4, [[]], [(0.0, 1.0, 2.0)], 0.0), QuorvaneError,
     "[OutOfDomain] domain: domain[0] is not a (float, float) tuple"),
    ((L4, Z4, [[]], [(0.0, "1")], 0.0), QuorvaneError, "[OutOfDomain] domain: domain[0] is not a (float, float) tuple"),
    ((L4, Z4, [[]], [(0.0, math.nan)], 0.0), QuorvaneError, "[NanInf] domain: domain[0] contains NaN/Inf"),
    ((L4, Z4, [[]], [(1.0, 1.0)], 0.0), QuorvaneError, "[OutOfDomain] domain: domain[0].lo >= hi"),
    ((L4, Z4, [[]], [(0.0, 1.0)], math.inf), QuorvaneError, "[NanInf] VarCoefTtEvolver: eps_round is non-finite"),
    ((L4, Z4 * 2, [[]], [(0.0, 1.0)], 0.0), QuorvaneError, OOC + "a_axis, b_axis, v_axis, domain must all have length d"),
    (([[1.0]], [[0.0]], [[]], [(0.0, 1.0)], 0.0), QuorvaneError, OOC + "n_j must be >= 2"),
    ((L4, [[0.0] * 3], [[]], [(0.0, 1.0)], 0.0), QuorvaneError, OOC + "b_axis[j] length must equal a_axis[j] length"),
    (([[1.0, 1.0]], [[0.0, 0.0]], [[0.5]], [(0.0, 1.0)], 0.0), QuorvaneError,
     OOC + "v_axis[j] length must equal a_axis[j] length or be empty"),
    (([[1.0, 0.0]], [[0.0, 0.0]], [[]], [(0.0, 1.0)], 0.0), QuorvaneError,
     OOC + "a_axis[j][i] must be > 0 (parabolicity)"),
])
def test_construction_errors(args, exc, message):
    raises_exact(exc, message, VarCoefTtEvolver, *args)


def test_evolve_errors_leave_the_state_unchanged():
    ev = VarCoefTtEvolver([[1.0, 2.0, 1.5]] * 2, [[0.1, 0.0, -0.1]] * 2, [[], [0.1, 0.2, 0.3]],
                          [(0.0, 1.0), (0.0, 2.0)], 0.0)
    s = TtState([[1.0, 2.0, 3.0], [1.0, -1.0, 0.5]])
    ev.evolve(s, 0.01, 2)
    before = snapshot(s, (3, 3))
    for args, message in [
            ((s, 1.0, 0), "[OutOfDomain] VarCoefTtEvolver.evolve: n_steps must be >= 1"),
            ((s, -1.0, 1), "[OutOfDomain] VarCoefTtEvolver.evolve: t_final must be finite >= 0"),
            ((TtState([[1.0] * 3]), 1.0, 1), "[OutOfDomain] VarCoefTtEvolver.evolve: evolver ndim != state ndim"),
            ((TtState([[1.0] * 3, [1.0] * 4]), 0.1, 1),
             "[OutOfDomain] VarCoefTtEvolver.evolve: state axis 1 has 4 nodes but a_axis[1] has 3 samples"),
            ((TtState([[1.0] * 2, [1.0] * 3]), 0.1, 1),
             "[OutOfDomain] VarCoefTtEvolver.evolve: state axis 0 has 2 nodes but a_axis[0] has 3 samples")]:
        raises_exact(QuorvaneError, message, ev.evolve, *args)
    assert snapshot(s, (3, 3)) == before


# Coefficients that vary from node to node on a coarse periodic grid: n = 8 on (0, 0.5).
I8 = np.arange(8)
ROUGH = dict(a=1 + 0.5 * np.sin(2 * np.pi * I8 / 8) ** 2, b=0.3 * np.cos(2 * np.pi * I8 / 8), v=0.1 * np.sin(I8))
ROUGH_U0 = np.random.default_rng(0).standard_normal(8) + 2
ROUGH_REFUSAL = ("[CflViolated] VarCoefTtEvolver.evolve: tau = t_final/n_steps = {} exceeds the largest admissible "
                 "tau = 4.022e-2: the residual Taylor steps would leave their stability interval (dt/2 times the "
                 "residual's norm bound must not exceed 2); use n_steps >= 498 for t_final = 20")


@pytest.mark.parametrize("n_steps, tau_text, tol", [
    # The symbol of frozen coefficients admits all of these; the real steps grew the values to
    # 7e4, 1e12, 3e7 and 21 where exp(20 L_h) u0 stays below 2.74.
    (1, "2.000e1", None), (5, "4.000e0", None), (20, "1.000e0", None), (50, "4.000e-1", None),
    # The step the refusal names, and tau = 0.01: second order, the error at the edge of the
    # interval (0.064) about a twelfth at four times the steps.
    (498, None, 0.07), (2000, None, 0.006),
])
def test_steps_outside_the_taylor_interval_of_variable_coefficients_are_refused(n_steps, tau_text, tol):
    h = 0.5 / 7
    ev = VarCoefTtEvolver([ROUGH["a"]], [ROUGH["b"]], [ROUGH["v"]], [(0.0, 0.5)], 1e-10)
    s = TtState([ROUGH_U0])
    if tol is None:
        raises_exact(QuorvaneError, ROUGH_REFUSAL.format(tau_text), ev.evolve, s, 20.0, n_steps)
        assert [s.inner_separable([e]) for e in np.eye(8)] == list(ROUGH_U0)
    else:
        ev.evolve(s, 20.0, n_steps)
        exact = expm(20.0 * three_point(ROUGH["a"], ROUGH["b"], ROUGH["v"], h)) @ ROUGH_U0
        assert np.max(np.abs([s.inner_separable([e]) for e in np.eye(8)] - exact)) < tol


SMOOTH_U0 = np.cos(X) + 0.5 * np.sin(3 * X)
SYMBOL_REFUSAL = ("[CflViolated] VarCoefTtEvolver.evolve: tau = t_final/n_steps = {} exceeds the largest admissible "
                  "tau = 1.149e-1: the residual Taylor steps would amplify drift-dominated modes; use n_steps >= 44 "
                  "for t_final = 5")


def bump(n):
    return np.cos(np.linspace(0.0, 6.0, n)) + 2


@pytest.mark.parametrize("u0, dom, a, b, t, n_steps, tau_text", [
    # Constant a = 0.7 (its mean rounds) and drift: half a step times |R| = 5.1 and 51, outside the
    # Taylor interval, but the residual is circulant and the symbol judges it exactly.
    (SMOOTH_U0, DOM, 0.7, 1.0, 2.0, 1, None), (SMOOTH_U0, DOM, 0.7, 1.0, 20.0, 1, None),
    # Half a step times |R| near 100 to 300 on (0, 1): the bound of the residual's deviation from its
    # rounded means grows like the fourth power of that and refused them.
    (bump(16), (0.0, 1.0), 0.7, 3.0, 5.0, 1, None), (bump(32), (0.0, 1.0), 0.1, 1.0, 5.0, 1, None),
    (bump(32), (0.0, 1.0), 0.1, 3.0, 5.0, 1, None),
    # Between them the symbol refuses, for its own reason whatever the n_steps.
    (bump(32), (0.0, 1.0), 0.1, 3.0, 5.0, 2, "2.500e0"), (bump(32), (0.0, 1.0), 0.1, 3.0, 5.0, 43, "1.163e-1"),
    (bump(32), (0.0, 1.0), 0.1, 3.0, 5.0, 44, None),
])
def test_constant_coefficients_keep_every_step_the_symbol_admits(u0, dom, a, b, t, n_steps, tau_text):
    n = len(u0)
    s = TtState([u0])
    ev = VarCoefTtEvolver([[a] * n], [[b] * n], [[]], [dom], 0.0)
    if tau_text is not None:
        raises_exact(QuorvaneError, SYMBOL_REFUSAL.format(tau_text), ev.evolve, s, t, n_steps)
        assert [s.inner_separable([e]) for e in np.eye(n)] == list(u0)
        return
    ev.evolve(s, t, n_steps)
    values = np.array([s.inner_separable([e]) for e in np.eye(n)])
    # Accurate or not at such steps, the symbol keeps them within the maximum principle, and the
    # periodic flux form keeps the mean.
    assert np.max(np.abs(values)) <= np.max(np.abs(u0))
    assert abs(np.mean(values) - np.mean(u0)) < 1e-13



# A rough drift whose sign changes from node to node, on 16 and 32 nodes of (0, 1).
B16, B32 = np.random.default_rng(4).uniform(-1, 1, 16), np.random.default_rng(4).uniform(-1, 1, 32)
I16 = np.arange(16)
GROWS = ("[OutOfDomain] VarCoefTtEvolver.evolve: axis {} has a mode growing like exp({} t) where the exact flow does "
         "not grow (reaction aside): central differences misread the drift, which changes sign at node 3 (x = {}), "
         "under a cell Peclet number |b| h/(2a) = {}; more diffusion there or a finer grid passes "
         "(a >= max|b| h/2 = {} at every node always does)")


@pytest.mark.parametrize("a, b, v, dom, t, n_steps, refusal", [
    # Central differences feed nodes 2 and 3 (b = 0.95, -0.84) each other's values: a mode growing
    # like exp(7.455 t) took the values to 1486 at t = 1 at any step count.
    ([1e-6] * 16, B16, [], (0.0, 1.0), 1.0, 100, ("7.455e0", "2.000e-1", "2.794e4", "3.228e-2")),
    ([1e-6] * 32, B32, [], (0.0, 1.0), 1.0, 1000, ("1.540e1", "9.677e-2", "1.352e4", "1.562e-2")),
    ([0.01] * 16, B16, [], (0.0, 1.0), 4.0, 1000, ("3.212e0", "2.000e-1", "2.794e0", "3.228e-2")),
    # Judged without v: a strong decay does not hide the growing mode (h doubled halves the rate).
    ([1e-6] * 16, B16, [-20.0] * 16, (-1.0, 1.0), 1.0, 100, ("3.727e0", "-6.000e-1", "5.589e4", "6.455e-2")),
    # What the message says always passes: a = max|b| h/2 everywhere makes every coupling >= 0.
    ([np.max(np.abs(B16)) / 30] * 16, B16, [], (0.0, 1.0), 1.0, 800, None),
    # A sign change resolved by the diffusion (cell Peclet numbers below 0.84).
    ([0.04] * 16, B16, [], (0.0, 1.0), 1.0, 800, None),
    # A drift the same at every node, of any size (the step limit asks for the steps).
    ([1e-6] * 16, [40.0] * 16, [], (0.0, 1.0), 0.05, 1800, None),
    ([0.02] * 16, [-3.0] * 16, [], (0.0, 1.0), 1.0, 800, None),
    # One sign, smooth or noisy, with almost no diffusion; a positive reaction is not judged.
    ([1e-6] * 16, 1 + 0.5 * np.sin(2 * np.pi * I16 / 16), [], (0.0, 1.0), 1.0, 800, None),
    ([1e-6] * 16, -0.5 - 0.4 * np.random.default_rng(7).uniform(-1, 1, 16), [0.5] * 16, (0.0, 1.0), 1.0, 800, None),
    # A smooth sign change with its zeros on nodes has no growing mode (a jump still grows
    # linearly there: 2.4 at t = 1, 10.8 at t = 16).
    ([1e-6] * 16, 0.3 * np.sin(2 * np.pi * I16 / 16), [], (0.0, 1.0), 1.0, 800, None),
])
def test_growing_axis_operators_are_refused_and_the_others_run_their_exponential(a, b, v, dom, t, n_steps, refusal):
    n = len(a)
    h = (dom[1] - dom[0]) / (n - 1)
    x = dom[0] + np.arange(n) * h
    u0 = np.where(x < 0.5 * (dom[0] + dom[1]), -1.0, 1.0)
    L0 = three_point(np.asarray(a), np.asarray(b), np.zeros(n), h)
    # The axis first, then second beside a 4-node axis that keeps a constant: the refusal names it.
    for axis in (0, 1):
        flip = slice(None, None, 1 - 2 * axis)
        ev = VarCoefTtEvolver([list(a), [1e-6] * 4][flip], [list(b), [0.0] * 4][flip], [list(v), []][flip],
                              [dom, (0.0, 1.0)][flip], 1e-12)
        s = TtState([u0, np.ones(4)][flip])
        values = lambda: np.array([s.inner_separable([e, np.eye(4)[0]][flip]) for e in np.eye(n)])
        if refusal is not None:
            before = snapshot(s, (n, 4)[flip])
            raises_exact(QuorvaneError, GROWS.format(axis, *refusal), ev.evolve, s, t, n_steps)
            # After the three checks of every call, and before any step.
            raises_exact(QuorvaneError, "[OutOfDomain] VarCoefTtEvolver.evolve: n_steps must be >= 1", ev.evolve,
                         s, t, 0)
            assert snapshot(s, (n, 4)[flip]) == before
            # The growth is real: the rate is the top real part of the dense operator's eigenvalues.
            assert float(refusal[0]) == pytest.approx(np.max(np.linalg.eigvals(L0).real), rel=1e-3)
            continue
        ev.evolve(s, t, n_steps)
        L = L0 + np.diag(v) if v else L0
        # Second order in time: these steps leave errors of at most 2.1e-4 (half as many, four times that).
        assert np.max(np.abs(values() - expm(t * L) @ u0)) < 5e-4
