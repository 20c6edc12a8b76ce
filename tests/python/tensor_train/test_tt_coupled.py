"""TtCoupledEvolver: exact against the FFT of the discrete generator when every axis is coupled,
one pair beside a free axis, the separable case bit for bit, rank bounds, the positive-definiteness
check at construction, and every message."""

import itertools
import math

import numpy as np
import pytest

from conftest import check_surface, raises_exact
from quorvane import QuorvaneError, TtCoupledEvolver, TtEvolver, TtState
from tt_helpers import snapshot


def periodic(n):
    h = 2 * np.pi / n
    return np.arange(n) * h, h


def full(s, shape):
    eye = [np.eye(n) for n in shape]
    out = np.empty(shape)
    for idx in itertools.product(*[range(n) for n in shape]):
        out[idx] = s.inner_separable([eye[j][i] for j, i in enumerate(idx)])
    return out


def generator_symbol(n, h, a, pairs):
    """Symbol of sum_j a_j D2_j + sum_pairs 2 rho sqrt(a_j a_k) D1_j D1_k on the periodic grid."""
    d = len(a)
    theta = 2 * np.pi * np.arange(n) / n
    lam, mu = (2 * np.cos(theta) - 2) / h**2, np.sin(theta) / h
    axis = lambda v, j: v.reshape([n if i == j else 1 for i in range(d)])
    L = sum(a[j] * axis(lam, j) for j in range(d))
    for j, k, rho in pairs:
        L = L - 2 * rho * math.sqrt(a[j] * a[k]) * axis(mu, j) * axis(mu, k)
    return L


def exact(u0, t, L, c=0.0):
    U0 = u0[0]
    for v in u0[1:]:
        U0 = np.multiply.outer(U0, v)
    return np.real(np.fft.ifftn(np.exp(t * L) * np.fft.fftn(U0))) * math.exp(c * t)


def test_surface():
    check_surface(TtCoupledEvolver, "(a, b, c, coupling, dom_min, dom_max, eps_round)", ndim="($self)",
                  evolve="($self, state, t_final, n_steps)")


@pytest.mark.parametrize("a, coupling, pairs", [
    ([0.5, 0.8, 0.6], ("Tridiagonal", 0.3), [(0, 1, 0.3), (1, 2, 0.3)]),
    ([0.7, 0.4], ("Pairs", [(1, 0, -0.45)]), [(0, 1, -0.45)]),
    ([0.5, 0.5], ("Pairs", [(0, 1, 0.6)]), [(0, 1, 0.6)]),  # well-posed although a0*a1 < rho^2
    ([0.9, 0.5, 0.6], ("Pairs", [(1, 2, 0.2), (0, 1, 0.1), (1, 2, 0.2)]), [(0, 1, 0.1), (1, 2, 0.4)]),
])
def test_every_axis_coupled_is_exact(a, coupling, pairs):
    # Pair factors are Fourier multipliers of the periodic grid, so they
    # commute and the product is exp(t L) up to rounding. A pair listed twice
    # takes half of each axis's diffusion each time: the same generator as
    # once with twice its rho.
    n, d = 10, len(a)
    x, h = periodic(n)
    u0 = [np.exp(np.cos(x + j)) for j in range(d)]
    s = TtState(u0)
    TtCoupledEvolver(a, [0.0] * d, 0.0, coupling, [0.0] * d, [x[-1]] * d, 0.0).evolve(s, 0.4, 3)
    want = exact(u0, 0.4, generator_symbol(n, h, a, pairs))
    assert np.max(np.abs(full(s, (n,) * d) - want)) < 1e-12


def test_one_pair_beside_a_free_axis_is_the_pair_times_the_separable_step():
    n = 8
    x, h = periodic(n)
    a, c, t, steps = [0.6, 0.3, 0.8], -0.3, 0.5, 4
    u0 = [np.exp(np.sin(x)), 1 + np.cos(2 * x) ** 2, np.exp(np.cos(x))]
    s = TtState(u0)
    TtCoupledEvolver(a, [0.0] * 3, c, ("Pairs", [(0, 1, 0.35)]), [0.0] * 3, [x[-1]] * 3, 0.0).evolve(s, t, steps)
    free = TtState([u0[2]])  # carries the reaction factor of every step
    TtEvolver([a[2]], [0.0], c, [0.0], [x[-1]], 0.0).evolve(free, t, steps)
    pair = exact(u0[:2], t, generator_symbol(n, h, a[:2], [(0, 1, 0.35)]))
    want = np.multiply.outer(pair, full(free, (n,)))
    assert np.max(np.abs(full(s, (n,) * 3) - want)) < 1e-12


@pytest.mark.parametrize("a, coupling", [([0.3, 0.5, 0.2], ("None",)), ([0.3, 0.5], ("Pairs", [])),
                                         ([0.4], ("Tridiagonal", 0.3)), ([0.4, 0.1], ("None", 3.0))])
def test_no_pairs_is_the_separable_evolver_bit_for_bit(a, coupling):
    d = len(a)
    rng = np.random.default_rng(1)
    slices = [rng.standard_normal(7 + j) for j in range(d)]
    args = ([0.0, -0.0, 0.0][:d], 0.7, [0.0] * d, [1.0 + j for j in range(d)], 1e-9)
    s1, s2 = TtState(slices), TtState(slices)
    TtEvolver(a, *args).evolve(s1, 0.3, 5)
    TtCoupledEvolver(a, args[0], args[1], coupling, *args[2:]).evolve(s2, 0.3, 5)
    f = [rng.standard_normal(7 + j) for j in range(d)]
    assert s1.inner_separable(f) == s2.inner_separable(f)
    assert snapshot(s1, [7 + j for j in range(d)]) == snapshot(s2, [7 + j for j in range(d)])


def test_ranks_and_storage_stay_within_the_true_bounds_at_eps_zero():
    n, d = 5, 4
    s = TtState([np.cos(np.arange(n) * k + 0.3) + 2 for k in range(d)])
    ev = TtCoupledEvolver([1.0] * d, [0.0] * d, 0.0, ("Tridiagonal", 0.4), [0.0] * d, [1.0] * d, 0.0)
    for _ in range(3):
        ev.evolve(s, 0.1, 2)
        # Bond ranks are at most (5, 25, 5): storage 5*5 + 5*5*25 + 25*5*5 + 5*5.
        assert s.peak_rank() <= n * n and s.storage_size() <= 1300


def test_every_accepted_evolver_evolves():
    # Seeded property: construction refuses exactly what evolve could not
    # run, so nothing accepted ends in Panic.
    rng = np.random.default_rng(42)
    accepted = 0
    for _ in range(150):
        d = int(rng.integers(1, 5))
        a = list(np.where(rng.random(d) < 0.2, 0.0, rng.uniform(0.0, 2.0, d)))
        rho = float(rng.uniform(-1.5, 1.5))
        if rng.random() < 0.5:
            coupling = ("Tridiagonal", rho)
        else:
            coupling = ("Pairs", [(int(j), int(j) + 1, float(rng.uniform(-1, 1))) for j in
                                  rng.integers(0, max(d - 1, 1), size=int(rng.integers(0, 4))) if j + 1 < d])
        try:
            ev = TtCoupledEvolver(a, [0.0] * d, 0.0, coupling, [0.0] * d, [1.0] * d, 1e-10)
        except QuorvaneError as e:
            assert str(e).startswith("[OutOfDomain] TtCoupledEvolver: pair (") and "block is not SPD" in str(e)
            continue
        accepted += 1
        s = TtState([rng.standard_normal(4) for _ in range(d)])
        ev.evolve(s, 0.05, 2)
    assert accepted > 30


def test_positive_definiteness_is_checked_at_construction():
    mk = lambda a, coupling: TtCoupledEvolver(a, [0.0] * len(a), 0.0, coupling, [0.0] * len(a), [1.0] * len(a), 0.0)
    # Interior axes of a tridiagonal chain carry half their diffusion per pair:
    # c = 0.5 each, and 0.5 - 0.6 < 0 although a_j a_k - rho^2 > 0; a pair listed
    # twice halves both shares.
    raises_exact(QuorvaneError, "[OutOfDomain] TtCoupledEvolver: pair (1,2) block is not SPD (det=-1.100e-1)",
                 mk, [1.0] * 4, ("Tridiagonal", 0.6))
    raises_exact(QuorvaneError, "[OutOfDomain] TtCoupledEvolver: pair (0,1) block is not SPD (det=-5.000e0)",
                 mk, [2.0, 2.0], ("Pairs", [(0, 1, 1.5)]))
    raises_exact(QuorvaneError, "[OutOfDomain] TtCoupledEvolver: pair (0,1) block is not SPD (det=0.000e0)",
                 mk, [0.0, 1.0], ("Pairs", [(0, 1, 0.0)]))
    s = TtState([[1.0, 2.0, 1.5]] * 4)
    mk([1.0] * 4, ("Tridiagonal", 0.4)).evolve(s, 0.1, 2)
    raises_exact(QuorvaneError, "[OutOfDomain] TtCoupledEvolver: pair (0,1) block is not SPD (det=-2.750e-2)",
                 mk, [0.5, 0.5], ("Pairs", [(0, 1, 0.6), (0, 1, 0.6)]))


D2 = ([1.0, 1.0], [0.0, 0.0], 0.0)
DOM2 = ([0.0, 0.0], [1.0, 1.0], 0.0)
CTX = "TtCoupledEvolver: "


@pytest.mark.parametrize("coupling, exc, message", [
    ((), IndexError, "tuple index out of range"),
    (("Tridiagonal",), IndexError, "tuple index out of range"),
    ((5,), TypeError, "'int' object cannot be converted to 'PyString'"),
    (["None"], TypeError, "argument 'coupling': 'list' object cannot be converted to 'PyTuple'"),
    (("tridiagonal", 0.1), QuorvaneError,
     "[OutOfDomain] " + CTX + "unknown coupling tag 'tridiagonal'; expected None/Tridiagonal/Pairs"),
    (("Tridiagonal", "x"), QuorvaneError, "[NanInf] " + CTX + "Tridiagonal rho must be float"),
    (("Tridiagonal", math.inf), QuorvaneError, "[NanInf] " + CTX + "Tridiagonal rho is non-finite"),
    (("Pairs", [[0, 1, 0.1]]), QuorvaneError, "[GridMismatch] " + CTX + "Pairs expects list of (j, k, rho) tuples"),
    (("Pairs", [(0, 1)]), QuorvaneError, "[GridMismatch] " + CTX + "Pairs expects list of (j, k, rho) tuples"),
    (("Pairs", [(0, -1, 0.1)]), QuorvaneError, "[GridMismatch] " + CTX + "Pairs expects list of (j, k, rho) tuples"),
    (("Pairs", [(0, 1.0, 0.1)]), QuorvaneError, "[GridMismatch] " + CTX + "Pairs expects list of (j, k, rho) tuples"),
    (("Pairs", "ab"), QuorvaneError, "[GridMismatch] " + CTX + "Pairs expects list of (j, k, rho) tuples"),
    (("Pairs", [(0, 2, 0.1)]), QuorvaneError, "[GridMismatch] " + CTX + "pair axis index out of range"),
    (("Pairs", [(0, 1, math.nan)]), QuorvaneError, "[NanInf] " + CTX + "pair rho is non-finite"),
    (("Pairs", [(1, 1, 0.2)]), QuorvaneError, "[OutOfDomain] " + CTX + "pair (1,1) is not adjacent"),
])
def test_coupling_errors(coupling, exc, message):
    raises_exact(exc, message, TtCoupledEvolver, *D2, coupling, *DOM2)


def test_not_adjacent_names_the_pair_as_given():
    raises_exact(QuorvaneError, "[OutOfDomain] " + CTX + "pair (2,0) is not adjacent",
                 TtCoupledEvolver, [1.0] * 3, [0.0] * 3, 0.0, ("Pairs", [(2, 0, 0.2)]), [0.0] * 3, [1.0] * 3, 0.0)


@pytest.mark.parametrize("args, message", [
    (([], [], 0.0, ("None",), [], [], 0.0), "[GridMismatch] " + CTX + "axis list is empty"),
    (([1.0], [0.0], 0.0, ("None",), [0.0], [1.0], math.nan), "[NanInf] " + CTX + "c or eps_round is non-finite"),
    (([-1.0], [0.0], 0.0, ("None",), [0.0], [1.0], 0.0), "[NanInf] " + CTX + "a[0] must be finite >= 0"),
    (([1.0], [0.0, math.nan], 0.0, ("None",), [0.0], [1.0], 0.0), "[NanInf] " + CTX + "b[1] is non-finite"),
    (([1.0], [0.0], 0.0, ("bad",), [2.0], [1.0], 0.0), "[NanInf] " + CTX + "domain[0] invalid"),
    (([1.0, 1.0], [0.0, 1e-300], 0.0, ("None",), [0.0] * 2, [1.0] * 2, 0.0),
     "[OutOfDomain] " + CTX + "b[1] != 0 (drift deferred to v9.2.0)"),
    (([1.0, 1.0], [0.0], 0.0, ("None",), [0.0] * 2, [1.0] * 2, 0.0),
     "[GridMismatch] " + CTX + "b has 1 entries, expected one per axis (d = 2)"),
    (([1.0, 1.0], [0.0] * 2, 0.0, ("None",), [0.0] * 3, [1.0], 0.0),
     "[GridMismatch] " + CTX + "dom_min and dom_max give 1 domain pairs, expected one per axis (d = 2)"),
])
def test_construction_errors(args, message):
    raises_exact(QuorvaneError, message, TtCoupledEvolver, *args)


def test_evolve_errors_and_refusals_leave_the_state_unchanged():
    ev = TtCoupledEvolver([0.5, 0.5, 0.3], [0.0] * 3, -50.0, ("Pairs", [(0, 1, 0.2)]), [0.0] * 3, [1.0] * 3, 1e-12)
    s = TtState([[1.0, 2.0, 0.5], [3.0, 1.0, 1.0, 2.0], [1.0, -1.0]])
    before = snapshot(s, (3, 4, 2))
    for args, message in [((s, 1.0, 0), "[OutOfDomain] TtCoupledEvolver.evolve: n_steps must be >= 1"),
                          ((s, math.inf, 1), "[OutOfDomain] TtCoupledEvolver.evolve: t_final must be finite >= 0"),
                          ((TtState([[1.0]]), 1.0, 1), "[OutOfDomain] TtCoupledEvolver.evolve: evolver ndim != state ndim"),
                          ((s, 1.0, 10), "[CflViolated] TtCoupledEvolver.evolve: reaction factor 1 + tau*c = -4 < 0 "
                                         "flips the sign every step; tau must be <= 0.02 (n_steps >= 50)")]:
        raises_exact(QuorvaneError, message, ev.evolve, *args)
    assert snapshot(s, (3, 4, 2)) == before
    ev.evolve(s, -0.0, 1)  # t = 0 re-splits the pair: the same function, maybe other ranks
    assert s.inner_separable([[1.0] * 3, [1.0] * 4, [1.0, 0.0]]) == pytest.approx(3.5 * 7.0, rel=1e-13)


@pytest.mark.parametrize("scale", [1e-20, 1e20])
def test_rounding_does_not_depend_on_the_scale_of_the_values(scale):
    # A train of values near 1e-60 must not be rounded to zero, nor one near
    # 1e60 kept at higher ranks: every tolerance is relative.
    g = np.exp(-np.linspace(-3, 3, 16) ** 2)
    ev = TtCoupledEvolver([0.5] * 3, [0.0] * 3, 0.0, ("Tridiagonal", 0.3), [0.0] * 3, [1.0] * 3, 1e-6)
    unit, scaled = TtState([g] * 3), TtState([g * scale] * 3)
    ev.evolve(unit, 0.01, 5)
    ev.evolve(scaled, 0.01, 5)
    f = [np.ones(16)] * 3
    assert scaled.inner_separable(f) / scale**3 == pytest.approx(unit.inner_separable(f), rel=1e-12)
    assert scaled.peak_rank() == unit.peak_rank()
