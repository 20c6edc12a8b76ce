"""GraphHeat, GraphHeat4th and GraphHeat6: exact eigen-solutions, orders against
scipy's expm, batched columns, stability refusals and argument checks."""

import math
import os
import re

import numpy as np
import pytest
from scipy.linalg import eigvalsh, expm

from quorvane import Graph, GraphHeat, GraphHeat4th, GraphHeat6, GraphPath, Laplacian, QuorvaneError

CLASSES = [(GraphHeat, 1, 2.0), (GraphHeat4th, 4, 2.7852), (GraphHeat6, 6, 3.5534)]


def taylor(x, k):
    return sum(x**j / math.factorial(j) for j in range(k + 1))


def weighted_graph(n=30, seed=1):
    rng = np.random.default_rng(seed)
    edges = [(i, i + 1, rng.uniform(0.5, 2.0)) for i in range(n - 1)]
    edges += [(i, (i * 7 + 3) % n, rng.uniform(0.5, 2.0)) for i in range(0, n, 3) if (i * 7 + 3) % n not in (i, i + 1, i - 1)]
    seen, unique = set(), []
    for u, v, w in edges:
        key = (min(u, v), max(u, v))
        if key not in seen:
            seen.add(key)
            unique.append((u, v, w))
    return Graph.from_edges(n, np.array(unique))


@pytest.mark.parametrize("cls, k, limit", CLASSES)
def test_path_eigenvector_scales_by_step_polynomial(cls, k, limit):
    n, t, steps, mode = 24, 1.3, 5, 7
    lam = 2 - 2 * math.cos(math.pi * mode / n)
    v = np.cos(math.pi * mode * (np.arange(n) + 0.5) / n)
    out = cls(graph=Graph.path(n), rho_bar=4.0).evolve(t, steps, v)
    assert np.allclose(out, taylor(-t / steps * lam, k) ** steps * v, rtol=0, atol=1e-13)


@pytest.mark.parametrize("cls, k, limit", CLASSES)
def test_one_step_is_the_dense_taylor_polynomial(cls, k, limit):
    g = weighted_graph()
    dense = Laplacian.combinatorial(g).to_dense()
    f0 = np.sin(np.arange(30.0))
    tau = 0.07
    ref = sum(np.linalg.matrix_power(-tau * dense, j) / math.factorial(j) for j in range(k + 1)) @ f0
    assert np.allclose(cls(graph=g, rho_bar=1e3).evolve(tau, 1, f0), ref, rtol=0, atol=1e-13)


@pytest.mark.parametrize("cls, k, limit", CLASSES)
def test_order_against_expm(cls, k, limit):
    g = weighted_graph()
    lap = Laplacian.combinatorial(g)
    f0 = np.cos(np.arange(30.0) * 0.3)
    t = 0.4
    ref = expm(-t * lap.to_dense()) @ f0
    ev = cls(laplacian=lap, rho_bar=lap.spectral_bound)
    errs = [np.abs(ev.evolve(t, n, f0) - ref).max() for n in (8, 16)]
    assert math.log2(errs[0] / errs[1]) == pytest.approx(k, abs=0.35)


@pytest.mark.parametrize("cls, k, limit", CLASSES)
def test_stability_refusal_both_sides(cls, k, limit):
    g = Graph.path(64)
    rho = Laplacian.combinatorial(g).spectral_bound  # 4 (rho_bar larger: min wins)
    ev = cls(graph=g, rho_bar=10.0)
    f0 = np.ones(64)
    n_ok = 200
    t_ok = math.nextafter(n_ok * limit / rho, 0.0)  # at the limit, not an ulp past it
    assert np.allclose(ev.evolve(t_ok, n_ok, f0), 1.0)  # constants are the kernel
    with pytest.raises(QuorvaneError, match=rf"^\[CflViolated\] .*use n_steps >= {n_ok + 1} for t_final") as e:
        ev.evolve(t_ok * 1.001, n_ok, f0)
    with pytest.raises(QuorvaneError, match=rf"n_steps >= {n_ok + 1} "):
        ev.evolve_batched(t_ok * 1.001, n_ok, np.ones((64, 2)))
    assert "[CflViolated]" in str(e.value)


def csr_copy(g):
    lap = Laplacian.combinatorial(g)
    return Laplacian.from_csr(np.array(lap.row_ptr(), np.int64), np.array(lap.col_idx(), np.int32),
                              np.array(lap.vals()), lap.n_nodes)


BELOW_SPECTRUM = r"^\[OutOfDomain\] {}: rho_bar = 1\.000e0 is below the largest eigenvalue of L, which is at least (\S+) "


@pytest.mark.parametrize("cls, k, limit", CLASSES)
@pytest.mark.parametrize("source", ["path", "weighted", "csr"])
@pytest.mark.parametrize("batched", [False, True])
def test_rho_bar_below_the_spectrum(cls, k, limit, source, batched):
    g = Graph.path(64) if source == "path" else weighted_graph()
    op = dict(laplacian=csr_copy(g)) if source == "csr" else dict(graph=g)
    dense = Laplacian.combinatorial(g).to_dense()
    lam = eigvalsh(dense).max()
    f0 = np.cos(np.linspace(0.0, 3.0, g.n_nodes)) + 0.1 * np.sin(np.arange(g.n_nodes))
    run = (lambda ev, t, n: ev.evolve_batched(t, n, f0[:, None])[:, 0]) if batched else (lambda ev, t, n: ev.evolve(t, n, f0))
    # rho_bar = 1 admits tau = limit / 1.05 that the Gershgorin bound (>= 4) refuses:
    # on the path, 200 such order-4 steps grow to 3e26.
    tau = limit / 1.05
    with pytest.raises(QuorvaneError) as e:
        run(cls(**op, rho_bar=1.0), 200 * tau, 200)
    lower = float(re.match(BELOW_SPECTRUM.format(cls.__name__), str(e.value)).group(1))
    assert 0.9 * lam < lower <= lam * (1 + 1e-3)  # a Rayleigh quotient (3 digits shown), near the top
    # The exact largest eigenvalue is never refused, even at the stability edge of
    # the true spectrum: 20 steps of the dense step polynomial, up to rounding.
    tau = limit / lam * (1 - 1e-9)
    out = run(cls(**op, rho_bar=lam), 20 * tau, 20)
    step = sum(np.linalg.matrix_power(-tau * dense, j) / math.factorial(j) for j in range(k + 1))
    assert np.abs(out - np.linalg.matrix_power(step, 20) @ f0).max() < 1e-12


W_TINY = Graph.from_edges(3, np.array([(0, 1, 1e-50), (1, 2, 1.0)]))  # 1e-50 rounds to 0 in single precision
WEIGHT = "[OutOfDomain] Graph::from_edges: weight must be finite and positive"


# The single-precision road: the 32-bit operator, then t rounded to 32 bits, then the step size.
@pytest.mark.parametrize("op, t, msg", [
    (dict(graph=W_TINY), 1e39, WEIGHT),
    (dict(graph=W_TINY), 1.0, WEIGHT),
    (dict(graph=W_TINY), 1e3, WEIGHT),
    (dict(graph=Graph.path(3)), 1e39, "[NanInf] t must be finite and >= 0: inf"),
    (dict(laplacian=Laplacian.from_csr(np.array([0, 2, 4], np.int64), np.array([0, 1, 0, 1], np.int32),
                                       np.array([1e39, -1e39, -1e39, 1e39]), 2)), 1e39,
     "[NanInf] Laplacian: entry is not finite in single precision: inf"),
    (dict(graph=Graph.path(3)), 1e3, "[CflViolated] GraphHeat: tau * rho = 4.000e3 exceeds the stability limit 2"),
])
def test_f32_order_of_failures(op, t, msg):
    with pytest.raises(QuorvaneError) as e:
        GraphHeat(**op, rho_bar=4.0, dtype="f32").evolve(t, 1, [1.0, 0.0, 0.0][:3 if "graph" in op else 2])
    assert str(e.value).startswith(msg)


def test_batched_columns_bit_identical_with_more_columns_than_workers():
    g = weighted_graph()
    cols = 2 * (os.cpu_count() or 1) + 3
    f0 = np.random.default_rng(5).standard_normal((30, cols))
    f0[0, 0] = -0.0
    for ev in (GraphHeat(graph=g, rho_bar=50.0), GraphHeat4th(graph=g, rho_bar=50.0), GraphHeat6(graph=g, rho_bar=50.0)):
        for n_steps in (3, 4):
            out = ev.evolve_batched(0.2, n_steps, np.asfortranarray(f0))
            assert out.shape == (30, cols) and out.flags.c_contiguous
            for c in range(cols):
                assert np.array_equal(out[:, c], ev.evolve(0.2, n_steps, f0[:, c]))


def test_f32_road():
    g = weighted_graph()
    f0 = np.linspace(0, 1, 30)
    ev = GraphHeat(graph=g, rho_bar=100.0, dtype="f32")
    out = ev.evolve(0.3, 20, f0)
    assert out.dtype == np.float32
    assert np.allclose(out, GraphHeat(graph=g, rho_bar=100.0).evolve(0.3, 20, f0), atol=1e-5)
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] t must be finite and >= 0: inf$"):
        ev.evolve(1e39, 1, f0)
    with pytest.raises(QuorvaneError, match='requires dtype="f64"'):
        ev.evolve_batched(math.nan, 0, np.ones((30, 1)))
    # Given only a Laplacian, the single-precision road evolves that operator
    # (a normalized star), not the carrier path.
    star = Graph.from_edges(6, np.array([[0, j, 1.0] for j in range(1, 6)]))
    lap = Laplacian.normalized(star)
    x = np.arange(6.0)
    single = GraphHeat(laplacian=lap, rho_bar=2.0, dtype="f32").evolve(1.0, 10, x)
    assert np.allclose(single, GraphHeat(laplacian=lap, rho_bar=2.0).evolve(1.0, 10, x), atol=1e-5)


@pytest.mark.parametrize("call, kind, msg", [
    (lambda: GraphHeat4th(graph=Graph.path(3), rho_bar=0.0), QuorvaneError, "[OutOfDomain] rho_bar must be finite and > 0"),
    (lambda: GraphHeat6(rho_bar=1.0), QuorvaneError, "[OutOfDomain] provide either laplacian= or graph="),
    (lambda: GraphHeat(rho_bar=1.0), QuorvaneError, "[OutOfDomain] GraphHeat requires graph= or laplacian="),
    (lambda: GraphHeat(graph=3.5, rho_bar=1.0), QuorvaneError, "[OutOfDomain] graph must be a GraphPath, Graph, or Laplacian"),
    (lambda: GraphHeat(graph=Graph.path(3), rho_bar=1.0, dtype="f16"), QuorvaneError,
     "[OutOfDomain] dtype 'f16' is not supported; accepted values: \"f64\" (default), \"f32\". "
     "fp16 is explicitly REJECTED (dep-budget violation)."),
    (lambda: GraphHeat4th(graph=GraphPath(5), rho_bar=4.0), TypeError, None),
    (lambda: GraphHeat(graph=Graph.path(3), rho_bar=0.0, dtype=5), TypeError, None),  # arguments before values
    (lambda: GraphHeat6(laplacian=Laplacian.from_csr(np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0), 0),
                        rho_bar=1.0), QuorvaneError, "[OutOfDomain] laplacian must have at least one node"),
    (lambda: GraphHeat4th(graph=Graph.path(4), rho_bar=4.0).evolve(-1.0, 0, [0.0] * 4), QuorvaneError,
     "[OutOfDomain] t_final must be finite and >= 0"),
    (lambda: GraphHeat4th(graph=Graph.path(4), rho_bar=4.0).evolve(1.0, 0, [0.0] * 4), QuorvaneError,
     "[OutOfDomain] n_steps must be >= 1"),
    (lambda: GraphHeat(graph=Graph.path(4), rho_bar=4.0).evolve(1.0, 4, [0.0] * 3), QuorvaneError,
     "[GridMismatch] f0.len()=3 != graph.n_nodes()=4"),
    (lambda: GraphHeat6(graph=Graph.path(4), rho_bar=4.0).evolve(1.0, 4, [0.0, math.inf, 0, 0]), QuorvaneError,
     "[NanInf] f0 contains NaN or Inf: inf"),
    (lambda: GraphHeat4th(graph=Graph.path(4), rho_bar=4.0).evolve_batched(1.0, 4, np.zeros(4)), QuorvaneError,
     "[GridMismatch] f0 must be 2-D [N, C]"),
    (lambda: GraphHeat6(graph=Graph.path(4), rho_bar=4.0).evolve_batched(1.0, 4, np.zeros(4)), TypeError, None),
    (lambda: GraphHeat6(graph=Graph.path(4), rho_bar=4.0).evolve_batched(1.0, 4, np.zeros((5, 1))), QuorvaneError,
     "[GridMismatch] f0.shape[0]=5 != n_nodes=4"),
    (lambda: GraphHeat(graph=Graph.path(4), rho_bar=4.0).evolve_batched(1.0, 4, np.zeros((4, 0))), QuorvaneError,
     "[OutOfDomain] n_cols must be >= 1"),
])
def test_refusals(call, kind, msg):
    with pytest.raises(kind) as e:
        call()
    if msg is not None:
        assert str(e.value) == msg


def test_resolution_and_getter():
    g, lap = Graph.path(5), Laplacian.combinatorial(Graph.cycle(5))
    f0 = np.arange(5.0)
    assert np.array_equal(GraphHeat(graph=g, laplacian=lap, rho_bar=4.0).evolve(0.5, 4, f0),
                          GraphHeat(laplacian=lap, rho_bar=4.0).evolve(0.5, 4, f0))
    assert np.array_equal(GraphHeat(laplacian=g, rho_bar=4.0).evolve(0.5, 4, f0),
                          GraphHeat(graph=GraphPath(5), rho_bar=4.0).evolve(0.5, 4, f0))
    assert GraphHeat6(laplacian=lap, graph=g, rho_bar=1.0).n_nodes == 5
    assert np.array_equal(GraphHeat4th(graph=g, rho_bar=4.0).evolve(0.0, 3, f0), f0)
