"""Stability of the explicit graph steps: a rho_bar below the spectrum is refused
however close (the Lanczos bound), caller arrays off symmetric by rounding are
probed, the order-4 limit lies inside the stability interval, a valid bound is
never refused, and a result whose 2-norm grew is refused with nothing written."""

import math
import re

import numpy as np
import pytest
from scipy.linalg import eigvalsh

from quorvane import (Graph, GraphAdjoint, GraphHeat, GraphHeat4th, GraphHeat6, Laplacian, MagnusGraphHeat,
                      MagnusGraphHeat6, QuorvaneError, VarCoefGraphHeat, VarCoefMagnusGraph)

LIMITS = {GraphHeat: (1, 2.0), GraphHeat4th: (4, 2.7852), GraphHeat6: (6, 3.5534)}
BELOW = r"^\[OutOfDomain\] {}: {} = \S+ is below the largest eigenvalue of {}, which is at least (\S+) "


def grid(side):
    idx = np.arange(side * side).reshape(side, side)
    edges = [(idx[i, j], idx[i, j + 1], 1.0) for i in range(side) for j in range(side - 1)]
    edges += [(idx[i, j], idx[i + 1, j], 1.0) for i in range(side - 1) for j in range(side)]
    return Graph.from_edges(side * side, np.array(edges, float))


def weighted_path(n=40):
    w = np.random.default_rng(3).uniform(0.1, 3.0, n - 1)
    return Graph.from_edges(n, np.array([(i, i + 1, x) for i, x in enumerate(w)]))


def csr_parts(lap):
    return np.array(lap.row_ptr(), np.int64), np.array(lap.col_idx(), np.int32), np.array(lap.vals())


def lam_max(lap):
    return eigvalsh(lap.to_dense()).max()


# The power probe fell short of lambda_max by 1.7 % (64-path) to 3.1 %: bounds 1 %
# low were taken on their word and the steps blew up (1e16 .. 1e75 off expm).
def path_lam(n):
    return 2 + 2 * math.cos(math.pi / n)


@pytest.mark.parametrize("graph, lam, cls", [
    (Graph.path(64), path_lam(64), GraphHeat4th), (grid(30), 2 * path_lam(30), GraphHeat),
    (grid(30), 2 * path_lam(30), GraphHeat4th), (Graph.path(1000), path_lam(1000), GraphHeat6),
    (weighted_path(), lam_max(Laplacian.combinatorial(weighted_path())), GraphHeat4th)])
@pytest.mark.parametrize("batched", [False, True])
def test_rho_bar_just_below_the_spectrum_is_refused(graph, lam, cls, batched):
    rho_bar = 0.99 * lam
    tau = LIMITS[cls][1] / rho_bar  # admitted by rho_bar, refused by the Gershgorin bound
    f = np.random.default_rng(0).standard_normal(graph.n_nodes)
    ev = cls(graph=graph, rho_bar=rho_bar)
    with pytest.raises(QuorvaneError) as e:
        if batched:
            ev.evolve_batched(1000 * tau, 1000, f[:, None])
        else:
            ev.evolve(1000 * tau, 1000, f)
    lower = float(re.match(BELOW.format(cls.__name__, "rho_bar", "L"), str(e.value)).group(1))
    assert rho_bar < lower <= lam * (1 + 5e-4)  # a Ritz value, 3 digits shown


def test_the_issue_reproducer_on_the_64_path():
    f = np.random.default_rng(1).standard_normal(64)
    ev = GraphHeat4th(graph=Graph.path(64), rho_bar=3.96)  # lambda_max = 3.99759
    # Too long even for rho_bar: the count a refusal would name (1001) rests on rho_bar too
    # (tau * spectral_bound = 2.81 there), so rho_bar is judged, and refuted, first.
    with pytest.raises(QuorvaneError, match=BELOW.format("GraphHeat4th", "rho_bar", "L").replace(r"(\S+)", "3.998e0")):
        ev.evolve(1000 * 2.7853 / 3.96, 1000, f)
    with pytest.raises(QuorvaneError, match=BELOW.format("GraphHeat4th", "rho_bar", "L").replace(r"(\S+)", "3.998e0")):
        ev.evolve(1000 * 2.7852 / 3.96, 1000, f)


def ulp_off_copy(graph):
    """The CSR copy of the combinatorial Laplacian with entry (0, 1) one ulp off."""
    rp, ci, v = csr_parts(Laplacian.combinatorial(graph))
    v[1] = np.nextafter(v[1], 0.0)
    return Laplacian.from_csr(rp, ci, v, graph.n_nodes)


def zero_in_one_triangle(graph):
    """The CSR copy with a stored 0.0 at (0, 5) and no (5, 0) entry."""
    rp, ci, v = csr_parts(Laplacian.combinatorial(graph))
    rows = [(i, c, x) for i in range(graph.n_nodes) for c, x in zip(ci[rp[i]:rp[i + 1]], v[rp[i]:rp[i + 1]])]
    rows = sorted(rows + [(0, 5, 0.0)])
    counts = np.bincount([r for r, _, _ in rows], minlength=graph.n_nodes)
    return Laplacian.from_csr(np.concatenate([[0], np.cumsum(counts)]).astype(np.int64),
                              np.array([c for _, c, _ in rows], np.int32), np.array([x for _, _, x in rows]),
                              graph.n_nodes)


@pytest.mark.parametrize("make", [ulp_off_copy, zero_in_one_triangle])
@pytest.mark.parametrize("run, name, of", [
    (lambda lap, f: GraphHeat4th(laplacian=lap, rho_bar=1.0).evolve(150.0, 200, f), "GraphHeat4th", "rho_bar"),
    (lambda lap, f: GraphHeat(laplacian=lap, rho_bar=1.0).evolve(150.0, 200, f), "GraphHeat", "rho_bar"),
    (lambda lap, f: MagnusGraphHeat(laplacian=lap, lap_at_t=lambda t: lap, rho_bar_max=0.5).evolve(15.0, 10, f),
     "MagnusGraphHeat", "rho_bar_max"),
    (lambda lap, f: MagnusGraphHeat6(laplacian=lap, lap_at_t=lambda t: lap, rho_bar_max=0.5).evolve(15.0, 10, f),
     "MagnusGraphHeat6", "rho_bar_max"),
    (lambda lap, f: VarCoefMagnusGraph(64, lap_at_t=lambda t: lap, a_at_t=lambda t: np.ones(64), rho_bar_max=0.5,
                                       a_sup_max=1.0).evolve(15.0, 10, f), "VarCoefMagnusGraph", "rho_bar_max"),
])
def test_caller_arrays_off_symmetric_by_rounding_are_probed(make, run, name, of):
    lap = make(Graph.path(64))
    with pytest.raises(QuorvaneError) as e:
        run(lap, np.random.default_rng(2).standard_normal(64))
    operator = "L" if of == "rho_bar" else r"lap_at_t\(t\) at t = \S+"
    lower = float(re.match(BELOW.format(name, of, operator), str(e.value)).group(1))
    assert 3.9 < lower <= 4.0


def test_grossly_asymmetric_arrays_are_not_taken_for_a_spectrum():
    # [[0, 10], [0, 0]] has spectral radius 0: its quotients (up to 5) bound nothing,
    # so rho_bar is not refused for them.
    lap = Laplacian.from_csr(np.array([0, 2, 3], np.int64), np.array([0, 1, 1], np.int32), np.array([0.0, 10.0, 0.0]), 2)
    out = GraphHeat(laplacian=lap, rho_bar=1.0).evolve(0.3, 1, [1.0, 1.0])
    assert np.array_equal(out, [1.0 - 0.3 * 10.0, 1.0])


def test_order4_limit_lies_inside_the_stability_interval():
    # |p4(-2.7853)| = 1 + 9.7e-6: the top mode of the 64-cycle grew to 5060 in the
    # 1005278 steps the refusal of the old limit suggested.
    top = np.cos(math.pi * np.arange(64)) / 8.0
    ev = GraphHeat4th(graph=Graph.cycle(64), rho_bar=4.0)
    with pytest.raises(QuorvaneError) as e:
        ev.evolve(700000.0, 1005278, top)
    assert str(e.value) == ("[CflViolated] GraphHeat4th: tau * rho = 2.7853e0 exceeds the stability limit 2.7852 of the "
                            "step (rho = min(rho_bar, spectral_bound) = 4.000e0); use n_steps >= 1005314 for "
                            "t_final = 700000")
    assert np.abs(ev.evolve(700000.0, 1005314, top)).max() < 1e-60  # p4(-2.7852)^n ~ e^-9 per 1e6 steps: decays


@pytest.mark.parametrize("cls, t, shown", [
    (GraphHeat6, 1000 * 3.5534 / 4.0 * (1 + 1e-9), "3.553400004e0"),
    (GraphHeat4th, 1000 * 2.7852 / 4.0 * (1 + 1e-12), "2.785200000003e0"),
])
def test_refusal_shows_the_digits_that_exceed_the_limit(cls, t, shown):
    with pytest.raises(QuorvaneError, match=rf"tau \* rho = {shown} exceeds .* use n_steps >= 1001 for t_final"):
        cls(graph=Graph.path(8), rho_bar=4.0).evolve(t, 1000, np.ones(8))


def family():
    star = Graph.from_edges(20, np.array([(0, j, 1.0) for j in range(1, 20)], float))
    complete = Graph.from_edges(15, np.array([(i, j, 1.0) for i in range(15) for j in range(i + 1, 15)], float))
    split = Graph.from_edges(10, np.array([(0, 1, 2.0), (1, 2, 1.0), (5, 6, 0.5), (7, 8, 3.0)]))
    return {"path": Graph.path(64), "weighted": weighted_path(), "grid": grid(8), "star": star, "complete": complete,
            "disconnected": split, "two": Graph.from_edges(2, np.array([(0, 1, 1.5)]))}


FAMILY = family()


# At the stability edge of the true spectrum: 30 steps of the dense step polynomial.
@pytest.mark.parametrize("name", sorted(FAMILY))
@pytest.mark.parametrize("cls", [GraphHeat, GraphHeat4th, GraphHeat6])
@pytest.mark.parametrize("kind", ["combinatorial", "csr", "normalized"])
@pytest.mark.parametrize("margin", [0.0, 1e-12])
def test_a_bound_at_or_above_the_spectrum_is_never_refused(name, cls, kind, margin):
    g = FAMILY[name]
    lap = Laplacian.normalized(g) if kind == "normalized" else Laplacian.combinatorial(g)
    if kind == "csr":
        lap = Laplacian.from_csr(*csr_parts(lap), g.n_nodes)
    lam = lam_max(lap)
    k, limit = LIMITS[cls]
    tau = limit / (lam * (1 + margin)) * (1 - 1e-14)  # t_final / n_steps * rho rounds to the limit, not past it
    f = np.random.default_rng(4).standard_normal(g.n_nodes)
    ev = cls(laplacian=lap, rho_bar=lam * (1 + margin))
    dense = lap.to_dense()
    step = sum(np.linalg.matrix_power(-tau * dense, j) / math.factorial(j) for j in range(k + 1))
    ref = np.linalg.matrix_power(step, 30) @ f
    assert np.abs(ev.evolve(30 * tau, 30, f) - ref).max() < 1e-11 * np.abs(f).max()
    assert np.abs(ev.evolve_batched(30 * tau, 30, np.stack([f, -f], 1))[:, 1] + ref).max() < 1e-11 * np.abs(f).max()


@pytest.mark.parametrize("graph", [Graph.from_edges(1, np.zeros((0, 3))), Graph.from_edges(4, np.zeros((0, 3)))])
def test_zero_laplacian_takes_any_bound(graph):
    f = np.arange(1.0, graph.n_nodes + 1)
    for cls in LIMITS:
        assert np.array_equal(cls(graph=graph, rho_bar=1e-300).evolve(1e6, 1, f), f)


@pytest.mark.parametrize("name", ["path", "star", "disconnected"])
@pytest.mark.parametrize("cls", [MagnusGraphHeat, MagnusGraphHeat6])
def test_magnus_bound_at_the_spectrum_is_never_refused(name, cls):
    g = FAMILY[name]
    lap = Laplacian.combinatorial(g)
    rho = lam_max(lap) * (1 + 1e-12)
    tau = math.pi / 2 / rho * (1 - 1e-12)
    f = np.random.default_rng(5).standard_normal(g.n_nodes)
    out = cls(graph=g, lap_at_t=lambda t: lap, rho_bar_max=rho).evolve(10 * tau, 10, f)
    assert np.linalg.norm(out) <= np.linalg.norm(f)


def cos_mode(n, k):
    return np.cos(math.pi * k * (np.arange(n) + 0.5) / n)


# rho_bar 1e-4 below lambda_max of the 1000-path lies above the bound of 64 Lanczos
# steps (1.6e-4 short): the steps are taken and |1 - 2 (1 + 1e-4)|^200000 = e^40 grows
# the top mode. The backstop refuses the result; the object is unchanged.
@pytest.mark.parametrize("batched", [False, True])
def test_backstop_refuses_a_grown_result_and_keeps_the_object(batched):
    n = 1000
    lam = 2 + 2 * math.cos(math.pi / n)
    rho_bar = lam * (1 - 1e-4)
    f = cos_mode(n, n - 1) + 0.3 * cos_mode(n, 3)
    ev = GraphHeat(graph=Graph.path(n), rho_bar=rho_bar)
    where = "column 0 of f0" if batched else "f0"
    with pytest.raises(QuorvaneError, match=rf"^\[CflViolated\] GraphHeat: the steps grew the 2-norm of {where} from "
                                            r"2\.335e1 to \S+, which heat under a positive semi-definite L never "
                                            r"does: they are unstable, and rho_bar = 3\.9996e0 is below the largest "
                                            r"eigenvalue of L; pass a bound .* spectral_bound 4\.000e0$"):
        if batched:
            ev.evolve_batched(200000 * 2 / rho_bar, 200000, np.stack([f, cos_mode(n, 3)], 1))
        else:
            ev.evolve(200000 * 2 / rho_bar, 200000, f)
    fresh = GraphHeat(graph=Graph.path(n), rho_bar=rho_bar)
    assert np.array_equal(ev.evolve(10.0, 20, f), fresh.evolve(10.0, 20, f))


def strip(n):
    """The path with edges i ~ i+1 and i ~ i+2: lambda_max 6.24996, Gershgorin bound 8."""
    return Graph.from_edges(n, np.array([(i, i + 1, 1.0) for i in range(n - 1)] + [(i, i + 2, 1.0) for i in range(n - 2)]))


GROWN = ("[CflViolated] {cls}: the steps grew the 2-norm of {what} from {before} to {after}, which heat under a positive "
         "semi-definite L never does: they are unstable, and rho_bar = {shown} is below the largest eigenvalue of L; pass "
         "a bound of the spectral radius, such as the spectral_bound {bound}")


# rho_bar short of lambda_max by less than the Lanczos bound misses: the backstop names
# rho_bar in as many digits as tell it from the spectral_bound beside it (3.9996 and 4
# both print 4.000e0 in three); where three already differ the text keeps three.
@pytest.mark.parametrize("cls, graph, lam, short, f, shown, bound, before, after", [
    (GraphHeat4th, "path", path_lam(1000), 1e-4, "cos", "3.9996e0", "4.000e0", "2.335e1", "5.915e3"),
    (GraphHeat6, "path", path_lam(1000), 3e-5, "cos", "3.9999e0", "4.000e0", "2.335e1", "2.339e2"),
    (GraphHeat, "path", path_lam(1000), 1e-5, "cos", "3.99995e0", "4.000e0", "2.335e1", "3.347e1"),
    (GraphHeat4th, "strip", 6.249962990485821, 1e-4, "wave", "6.249e0", "8.000e0", "3.876e1", "5.325e3"),
])
@pytest.mark.parametrize("batched", [False, True])
def test_backstop_shows_rho_bar_apart_from_the_spectral_bound(cls, graph, lam, short, f, shown, bound, before, after,
                                                               batched):
    n, steps = 1000, 20000
    g = Graph.path(n) if graph == "path" else strip(n)
    f0 = cos_mode(n, n - 1) + 0.3 * cos_mode(n, 3) if f == "cos" else np.cos(1.8234765819369751 * np.arange(n)) + 1.0
    rho_bar = lam * (1 - short)
    limit = LIMITS[cls][1]
    t = steps * (limit / rho_bar)
    while (t / steps) * rho_bar > limit:  # the largest step rho_bar admits
        t = np.nextafter(t, 0.0)
    with pytest.raises(QuorvaneError) as e:
        if batched:
            cls(graph=g, rho_bar=rho_bar).evolve_batched(t, steps, f0[:, None])
        else:
            cls(graph=g, rho_bar=rho_bar).evolve(t, steps, f0)
    assert str(e.value) == GROWN.format(cls=cls.__name__, what="column 0 of f0" if batched else "f0", before=before,
                                        after=after, shown=shown, bound=bound)


def zero_csr(n, stored):
    """An all-zero Laplacian from CSR arrays: stored zeros on the diagonal, or no entries."""
    if stored:
        return Laplacian.from_csr(np.arange(n + 1, dtype=np.int64), np.arange(n, dtype=np.int32), np.zeros(n), n)
    return Laplacian.from_csr(np.zeros(n + 1, np.int64), np.zeros(0, np.int32), np.zeros(0), n)


def zero_lap_at_t(n):
    lap = Laplacian.combinatorial(Graph.from_edges(n, np.zeros((0, 3))))
    return lambda t: lap


EDGELESS = Graph.from_edges(3, np.zeros((0, 3)))
F3 = np.array([2.0, -0.5, 3.0])
F3_COLS = np.stack([F3, -F3], 1)


# Where L acts as 0 the steps leave f unchanged at any t: L = 0 leaves every bound and
# radius unbounded, and tau^k of the step polynomials overflowed (inf * 0 = NaN).
@pytest.mark.parametrize("run, expected", [
    (lambda: GraphHeat4th(graph=Graph.path(1), rho_bar=1.0).evolve(1e78, 1, [2.0]), [2.0]),
    (lambda: GraphHeat6(graph=Graph.path(1), rho_bar=1.0).evolve(1e77, 1, [2.0]), [2.0]),
    (lambda: GraphHeat6(graph=EDGELESS, rho_bar=1e-300).evolve(1e300, 7, F3), F3),
    # isolated nodes beside an edge whose tau * w = 1e-222 is lost in rounding
    (lambda: GraphHeat4th(graph=Graph.from_edges(4, np.array([(1, 2, 1e-300)])), rho_bar=1.0).evolve(
        1e78, 1, [1.0, 2.0, 3.0, 4.0]), [1.0, 2.0, 3.0, 4.0]),
    (lambda: GraphHeat4th(laplacian=zero_csr(3, True), rho_bar=1.0).evolve(1e300, 2, F3), F3),
    (lambda: GraphHeat6(laplacian=zero_csr(3, False), rho_bar=1.0).evolve(1e300, 2, F3), F3),
    (lambda: GraphHeat4th(graph=Graph.path(1), rho_bar=1.0).evolve_batched(1e78, 3, np.array([[2.0, -3.0]])),
     [[2.0, -3.0]]),
    (lambda: GraphHeat6(laplacian=zero_csr(3, True), rho_bar=1.0).evolve_batched(1e60, 2, F3_COLS), F3_COLS),
    (lambda: VarCoefGraphHeat(EDGELESS, [1.0, 2.0, 0.5], rho_bar=1e-300).evolve(1e200, 2, F3), F3),
    (lambda: VarCoefGraphHeat(EDGELESS, [1.0, 2.0, 0.5], rho_bar=1e-300).evolve_batched(1e200, 2, F3_COLS), F3_COLS),
    (lambda: VarCoefGraphHeat(EDGELESS, [1.0, 2.0, 0.5], rho_bar=1e-30, dtype="f32").evolve(1e25, 2, F3), F3),
    (lambda: MagnusGraphHeat(graph=EDGELESS, lap_at_t=zero_lap_at_t(3), rho_bar_max=1e-300).evolve(1e200, 2, F3), F3),
    (lambda: MagnusGraphHeat(graph=EDGELESS, lap_at_t=zero_lap_at_t(3), rho_bar_max=1.0,
                             convergence_check=False).evolve_batched(1e200, 2, F3_COLS), F3_COLS),
    (lambda: MagnusGraphHeat(graph=EDGELESS, lap_at_t=zero_lap_at_t(3), rho_bar_max=1e-30,
                             dtype="f32").evolve(1e25, 2, F3), F3),
    (lambda: VarCoefMagnusGraph(3, lap_at_t=zero_lap_at_t(3), a_at_t=lambda t: [1.0, 2.0, 0.5], rho_bar_max=1e-300,
                                a_sup_max=1.5).evolve(1e200, 2, F3), F3),
    (lambda: VarCoefMagnusGraph(3, lap_at_t=zero_lap_at_t(3), a_at_t=lambda t: [1.0, 2.0, 0.5], rho_bar_max=1e-300,
                                a_sup_max=1.5).evolve_batched(1e200, 2, F3_COLS), F3_COLS),
], ids=["4th-one-node", "6-one-node", "6-edgeless", "4th-isolated-beside-edge", "4th-csr-stored-zeros",
        "6-csr-no-entries", "4th-batched", "6-batched-csr", "varcoef", "varcoef-batched", "varcoef-f32", "magnus",
        "magnus-unchecked-batched", "magnus-f32", "varcoef-magnus", "varcoef-magnus-batched"])
def test_zero_operator_leaves_f_unchanged_at_any_time(run, expected):
    assert np.array_equal(run(), expected)


# A tiny nonzero L admits steps whose tau^k overflows too: they follow the step
# polynomial p(-tau L) of the dense operator (tau w <= 1 here; rounding only).
@pytest.mark.parametrize("run, degree, tau", [
    (lambda g, lap, f, tau: GraphHeat4th(graph=g, rho_bar=1.0).evolve(tau, 1, f), 4, 1e300),
    (lambda g, lap, f, tau: GraphHeat6(graph=g, rho_bar=1.0).evolve(tau, 1, f), 6, 1e300),
    (lambda g, lap, f, tau: VarCoefGraphHeat(g, np.ones(3), rho_bar=2e-300).evolve(tau, 1, f), 2, 2.5e299),
    (lambda g, lap, f, tau: MagnusGraphHeat(graph=g, lap_at_t=lambda t: lap, rho_bar_max=2e-300).evolve(tau, 1, f), 4,
     7e299),
], ids=["4th", "6", "varcoef", "magnus"])
def test_steps_whose_powers_of_tau_overflow_follow_the_step_polynomial(run, degree, tau):
    g = Graph.from_edges(3, np.array([(0, 1, 1e-300)]))
    lap = Laplacian.combinatorial(g)
    f = np.array([1.0, 2.0, 3.0])
    m = -tau * lap.to_dense()
    ref = sum(np.linalg.matrix_power(m, j) / math.factorial(j) for j in range(degree + 1)) @ f
    assert np.allclose(run(g, lap, f, tau), ref, rtol=1e-14, atol=0)


def test_an_operator_with_negative_spectrum_may_grow_as_its_heat_does():
    # [[1, 2], [2, 1]] has eigenvalues 3 and -1: exp(-tL) grows the norm, and the
    # allowance exp(t mu) (mu = 1 by Gershgorin) lets the steps follow it.
    lap = Laplacian.from_csr(np.array([0, 2, 4], np.int64), np.array([0, 1, 0, 1], np.int32),
                             np.array([1.0, 2.0, 2.0, 1.0]), 2)
    f = np.array([1.0, -1.0])  # the eigenvector of -1
    out = GraphHeat4th(laplacian=lap, rho_bar=3.0).evolve(1.0, 40, f)
    assert np.allclose(out, math.e * f, rtol=1e-6)


def grid_fast(side):
    idx = np.arange(side * side).reshape(side, side)
    edges = np.concatenate([np.stack([idx[:, :-1].ravel(), idx[:, 1:].ravel()], 1),
                            np.stack([idx[:-1, :].ravel(), idx[1:, :].ravel()], 1)])
    return Graph.from_edges(side * side, np.column_stack([edges, np.ones(len(edges))]).astype(float))


# The graphs whose Lanczos Ritz values come slowly (1000-path, 300 x 300 grid), or
# close their Krylov space (weighted path), with their largest eigenvalue.
SLOW = {"path": lambda: (Graph.path(1000), path_lam(1000)), "grid": lambda: (grid_fast(300), 2 * path_lam(300)),
        "weighted": lambda: (weighted_path(), lam_max(Laplacian.combinatorial(weighted_path())))}
SLOW_CACHE = {}


def slow_graph(name):
    if name not in SLOW_CACHE:
        g, lam = SLOW[name]()
        SLOW_CACHE[name] = (g, Laplacian.combinatorial(g), lam)
    return SLOW_CACHE[name]


def magnus(cls, g, lap, rho, check=True):
    if cls is VarCoefMagnusGraph:
        return cls(g.n_nodes, lap_at_t=lambda t: lap, a_at_t=lambda t: np.ones(g.n_nodes), rho_bar_max=rho,
                   a_sup_max=1.0, convergence_check=check)
    return cls(graph=g, lap_at_t=lambda t: lap, rho_bar_max=rho, convergence_check=check)


MAGNUS = [MagnusGraphHeat, MagnusGraphHeat6, VarCoefMagnusGraph]


# A bound a power iteration gives (1 to 3 % low) or one just below the top lies within
# reach of the first probe's 8 Lanczos steps (1e-2 to 3e-2 short here): the probe
# takes more steps until its Ritz value passes the bound, and the refusal shows the
# digits that tell the two apart.
@pytest.mark.parametrize("name", sorted(SLOW))
@pytest.mark.parametrize("cls", MAGNUS)
@pytest.mark.parametrize("short", [2e-3, 1e-4])
def test_magnus_bound_just_below_the_top_is_refused_by_the_probe(name, cls, short):
    g, lap, lam = slow_graph(name)
    rho = lam * (1 - short)
    tau = math.pi / 2 / rho * (1 - 1e-9)  # admitted by rho, refused by the spectral_bound
    with pytest.raises(QuorvaneError) as e:
        magnus(cls, g, lap, rho).evolve(2 * tau, 2, np.random.default_rng(6).standard_normal(g.n_nodes))
    m = re.match(BELOW.format(cls.__name__, "rho_bar_max", r"lap_at_t\(t\) at t = \S+").replace(
        r"= \S+ is below", r"= (\S+) is below"), str(e.value))
    shown, lower = float(m.group(1)), float(m.group(2))
    assert shown < lower and abs(shown - rho) <= 5e-4 * rho  # the bound, in as many digits as tell it apart
    assert rho < lower <= lam * (1 + 5e-4)


# A bound at the top itself leaves the probe in doubt to the end of its steps, and
# stands: the steps are those of the unchecked object, bit for bit.
@pytest.mark.parametrize("name", sorted(SLOW))
@pytest.mark.parametrize("cls", MAGNUS)
def test_magnus_bound_at_the_top_stands_after_the_extra_steps(name, cls):
    g, lap, lam = slow_graph(name)
    rho = lam * (1 + 1e-12)
    tau = math.pi / 2 / rho * (1 - 1e-9)
    f = np.random.default_rng(7).standard_normal(g.n_nodes)
    out = magnus(cls, g, lap, rho).evolve(2 * tau, 2, f)
    assert np.array_equal(out, magnus(cls, g, lap, rho, check=False).evolve(2 * tau, 2, f))


def test_fresh_samples_are_probed_as_the_spectrum_grows():
    # lap_at_t builds a new Laplacian at every sample, a weighted path's weights
    # scaled by 1 + 0.08 t: its top passes rho_bar_max = 1.05 times the top at t = 0
    # at t = 0.625, while every sample's spectral_bound (1.21 times the top) fails the
    # radius. Each sample takes one product from the last probe's vector, and more
    # steps once the bound lies within reach: the first sample past 0.625 is refused.
    w = np.random.default_rng(3).uniform(0.1, 3.0, 999)
    edges = np.array([(i, i + 1, x) for i, x in enumerate(w)])
    lam = lam_max(Laplacian.combinatorial(Graph.from_edges(1000, edges)))

    def lap_at_t(t):
        return Laplacian.combinatorial(Graph.from_edges(1000, edges * [1, 1, 1 + 0.08 * t]))

    rho = 1.05 * lam
    tau = math.pi / 2 / rho * (1 - 1e-9)
    m = MagnusGraphHeat(graph=Graph.path(1000), lap_at_t=lap_at_t, rho_bar_max=rho)
    with pytest.raises(QuorvaneError) as e:
        m.evolve(40 * tau, 40, np.ones(1000))
    t = float(re.match(BELOW.format("MagnusGraphHeat", "rho_bar_max", r"lap_at_t\(t\) at t = (\S+)"),
                       str(e.value)).group(1))
    assert t == pytest.approx(4.21132486540518713 * tau)  # the first Gauss point of step 4, the first past 0.625


# A 20-node star and a 40-node path in one graph; lap_at_t gives the path weights w
# during the second of 8 steps of tau = 0.05 only. rho_bar_max = 30 bounds the star
# (20) and the unit path, not the path at w = 30 or 100 (lambda_max 119.8, 399.4).
# The first probe sees the star only, and the single products that follow lean on
# it; the star's top mode decays meanwhile and hides the path's growth from the norm
# backstop (w = 30: the path came back 7.9 times its exact values). Rows whose
# Gershgorin end reaches 1.01 rho_bar_max that no wide probe has seen take one.
# w = 7.4 (lambda_max 29.55) is a valid bound and runs as without the check.
def star_and_path(w):
    edges = [(0, i, 1.0) for i in range(1, 20)] + [(20 + i, 21 + i, w) for i in range(39)]
    return Graph.from_edges(60, np.array(edges))


STAR_F0 = np.concatenate([[19.0], -np.ones(19), np.random.default_rng(0).standard_normal(40)])


@pytest.mark.parametrize("w", [7.4, 30.0, 100.0])
@pytest.mark.parametrize("csr", [False, True])
@pytest.mark.parametrize("name, how", [("MagnusGraphHeat", "evolve"), ("MagnusGraphHeat", "batched"),
                                       ("MagnusGraphHeat", "f32"), ("MagnusGraphHeat6", "evolve"),
                                       ("MagnusGraphHeat6", "batched"), ("VarCoefMagnusGraph", "evolve"),
                                       ("VarCoefMagnusGraph", "batched"), ("GraphAdjoint", "evolve")])
def test_a_path_that_jumps_beside_a_star_is_probed(w, csr, name, how):
    laps = [Laplacian.combinatorial(star_and_path(v)) for v in (1.0, w)]
    if csr:
        laps = [Laplacian.from_csr(*csr_parts(lap), 60) for lap in laps]

    def lap_at_t(t):
        return laps[int(t / 0.05) == 1]

    def make(check):
        if name == "GraphAdjoint":
            return GraphAdjoint(star_and_path(1.0), lap_at_t=lap_at_t, rho_bar=30.0, convergence_check=check)
        if name == "VarCoefMagnusGraph":
            return VarCoefMagnusGraph(60, lap_at_t=lap_at_t, a_at_t=lambda t: np.ones(60), rho_bar_max=30.0,
                                      a_sup_max=1.0, convergence_check=check)
        extra = dict(dtype="f32") if how == "f32" else {}
        cls = MagnusGraphHeat if name == "MagnusGraphHeat" else MagnusGraphHeat6
        return cls(graph=star_and_path(1.0), lap_at_t=lap_at_t, rho_bar_max=30.0, convergence_check=check, **extra)

    def run(m):
        if name == "GraphAdjoint":
            return m.evolve_state_adjoint(STAR_F0, 0.4, 8)
        return m.evolve_batched(0.4, 8, STAR_F0[:, None])[:, 0] if how == "batched" else m.evolve(0.4, 8, STAR_F0)

    if w < 10:
        assert np.array_equal(run(make(True)), run(make(False)))
        return
    with pytest.raises(QuorvaneError) as e:
        run(make(True))
    bound = "rho_bar" if name == "GraphAdjoint" else "rho_bar_max"
    t, lower = (float(v) for v in re.match(BELOW.format(name, bound, r"lap_at_t\(t\) at t = (\S+)"),
                                           str(e.value)).groups())
    lam = lam_max(laps[1])
    assert 0.05 < t < 0.1 and 30.0 < lower <= lam * (1 + 1e-6) and lower > 0.99 * lam


# Weights scaled by 2^996 = 6.7e299 over the time scaled by 2^-996 are the same flow: the steps'
# powers L^k f (up to rho^6 = 1e1800) overflowed although every step is bounded by max|f|. The
# results agree with the unit-weight run to a few roundings (nested form against power sum), and
# data of 1e307 on a graph of rho = 78 (L^2 f up to 6e310) with SciPy's expm_multiply.
BIG = 2.0 ** 996
HEAVY_PATH = Graph.from_edges(20, np.array([(i, i + 1, BIG) for i in range(19)]))
DENSE = Graph.erdos_renyi(60, 0.5)


# Tolerances: 400 steps of t = 1 (tau rho = 0.2) leave a time error of about 1e-14 of max|f| for
# the fourth-order steps and 8e-8 for the second-order VarCoefGraphHeat.
@pytest.mark.parametrize("make, a, tol", [
    (lambda g, rho: GraphHeat4th(graph=g, rho_bar=rho).evolve, 1.0, 1e-9),
    (lambda g, rho: GraphHeat6(graph=g, rho_bar=rho).evolve, 1.0, 1e-9),
    (lambda g, rho: lambda t, n, f: GraphHeat6(graph=g, rho_bar=rho).evolve_batched(t, n, f[:, None])[:, 0], 1.0,
     1e-9),
    (lambda g, rho: MagnusGraphHeat(graph=g, lap_at_t=lambda t: g, rho_bar_max=rho).evolve, 1.0, 1e-9),
    (lambda g, rho: VarCoefGraphHeat(g, np.full(g.n_nodes, 0.5), rho_bar=rho).evolve, 0.5, 1e-6),
], ids=["4th", "6", "6-batched", "magnus", "varcoef"])
def test_large_weights_and_data_overflowing_inside_the_step_give_the_flow(make, a, tol):
    from scipy.sparse.linalg import expm_multiply
    f = np.cos(np.arange(20.0))
    heavy = make(HEAVY_PATH, 4.0 * BIG)(1.0 / BIG, 12, f)
    unit = make(Graph.path(20), 4.0)(1.0, 12, f)
    assert np.max(np.abs(heavy - unit)) < 1e-14  # a few roundings of values below 1
    lap = Laplacian.combinatorial(DENSE)
    f = np.random.default_rng(4).uniform(-1.0, 1.0, 60)
    got = make(DENSE, lap.spectral_bound)(1.0, 400, 1e307 * f)
    exact = expm_multiply(-a * lap.to_dense(), f)  # of the unit data: SciPy's own sums overflow on 1e307
    assert np.max(np.abs(got / 1e307 - exact)) < tol


# A star of 30 nodes: lambda_max = 30, the Gershgorin bound 58. A call too long for rho_bar
# itself is judged on rho_bar first: 0.99 lambda_max is refuted (a refusal naming a count would
# name one that this refutation then refuses), 1.01 lambda_max names a count that runs.
STAR = Graph.from_edges(30, np.array([(0, i, 1.0) for i in range(1, 30)]))


@pytest.mark.parametrize("cls", [GraphHeat, GraphHeat4th, GraphHeat6])
@pytest.mark.parametrize("batched", [False, True])
def test_a_too_long_step_on_a_refuted_rho_bar_names_no_count(cls, batched):
    f = np.random.default_rng(5).standard_normal(30)

    def run(rho_bar, n_steps):
        ev = cls(graph=STAR, rho_bar=rho_bar)
        return ev.evolve_batched(1.0, n_steps, f[:, None])[:, 0] if batched else ev.evolve(1.0, n_steps, f)

    with pytest.raises(QuorvaneError) as e:
        run(0.99 * 30.0, 1)
    assert 29.7 < float(re.match(BELOW.format(cls.__name__, "rho_bar", "L"), str(e.value)).group(1)) <= 30.0
    with pytest.raises(QuorvaneError, match=r"^\[CflViolated\]") as e:
        run(1.01 * 30.0, 1)
    named = int(re.search(r"use n_steps >= (\d+) for t_final = 1$", str(e.value)).group(1))
    assert named == math.ceil(1.01 * 30.0 / LIMITS[cls][1])
    assert np.all(np.isfinite(run(1.01 * 30.0, named)))
