"""MagnusGraphHeat and MagnusGraphHeat6: orders against solve_ivp on a moving-weight
path, the constant-Laplacian limit, callback times and failures, batched columns."""

import math
import os
import re
import threading

import numpy as np
import pytest
from scipy.integrate import solve_ivp

from quorvane import Graph, GraphHeat4th, GraphHeat6, GraphPath, Laplacian, MagnusGraphHeat, MagnusGraphHeat6, QuorvaneError

N = 10
EDGES = [(i, i + 1) for i in range(N - 1)]
F0 = np.cos(np.arange(N) * 0.7)
GAUSS = {MagnusGraphHeat: [0.21132486540518713, 0.7886751345948129],
         MagnusGraphHeat6: [0.11270166537925831, 0.5, 0.8872983346207417]}
RADIUS = "[OutOfDomain] Magnus convergence radius violated"


def weights(t):
    return [1.0 + 0.5 * math.sin(2.0 * t + i) for i in range(N - 1)]


def moving_graph(t):
    return Graph.from_edges(N, np.array([(i, j, w) for (i, j), w in zip(EDGES, weights(t))]))


def moving_dense(t):
    lap = np.zeros((N, N))
    for (i, j), w in zip(EDGES, weights(t)):
        lap[[i, j], [i, j]] += w
        lap[i, j] -= w
        lap[j, i] -= w
    return lap


def reference(t_final, f0=F0):
    sol = solve_ivp(lambda t, u: -moving_dense(t) @ u, (0.0, t_final), f0, method="DOP853", rtol=1e-13, atol=1e-15)
    return sol.y[:, -1]


class Recorder:
    """lap_at_t that records its times and threads."""

    def __init__(self, fn=moving_graph):
        self.fn, self.times, self.threads = fn, [], set()

    def __call__(self, t):
        self.times.append(t)
        self.threads.add(threading.get_ident())
        return self.fn(t)


# Fourth order: error ratios per halving near 16; sixth order near 64 (the
# pre-asymptotic ratios of this problem run a little above).
@pytest.mark.parametrize("cls, steps, lo, hi", [(MagnusGraphHeat, [8, 16, 32], 15.0, 22.0),
                                                (MagnusGraphHeat6, [8, 16, 32], 60.0, 95.0)])
@pytest.mark.parametrize("batched", [False, True])
def test_order_against_solve_ivp(cls, steps, lo, hi, batched):
    ref = reference(1.0)
    m = cls(graph=Graph.path(N), lap_at_t=moving_graph, rho_bar_max=6.0)
    if batched:
        cols = np.stack([F0, 2.0 * F0], axis=1)
        errs = [np.abs(m.evolve_batched(1.0, s, cols)[:, 1] - 2.0 * ref).max() for s in steps]
    else:
        errs = [np.abs(m.evolve(1.0, s, F0) - ref).max() for s in steps]
    ratios = [a / b for a, b in zip(errs, errs[1:])]
    assert all(lo < r < hi for r in ratios), (errs, ratios)


@pytest.mark.parametrize("cls, fixed", [(MagnusGraphHeat, GraphHeat4th), (MagnusGraphHeat6, GraphHeat6)])
def test_constant_laplacian_is_the_taylor_step(cls, fixed):
    g = moving_graph(0.3)
    lap = Laplacian.combinatorial(g)
    m = cls(graph=g, lap_at_t=lambda t: lap, rho_bar_max=lap.spectral_bound)
    expected = fixed(graph=g, rho_bar=lap.spectral_bound).evolve(0.9, 4, F0)
    assert np.allclose(m.evolve(0.9, 4, F0), expected, rtol=0, atol=1e-14)
    assert np.allclose(m.evolve_batched(0.9, 4, F0[:, None])[:, 0], expected, rtol=0, atol=1e-14)


@pytest.mark.parametrize("cls", [MagnusGraphHeat, MagnusGraphHeat6])
@pytest.mark.parametrize("batched", [False, True])
def test_callback_times_order_and_thread(cls, batched):
    rec = Recorder()
    m = cls(graph=Graph.path(N), lap_at_t=rec, rho_bar_max=6.0)
    t_final, n_steps = 0.7, 5
    if batched:
        m.evolve_batched(t_final, n_steps, np.tile(F0[:, None], (1, 3)))
    else:
        m.evolve(t_final, n_steps, F0)
    tau = t_final / n_steps
    assert rec.times == [tau * k + tau * c for k in range(n_steps) for c in GAUSS[cls]]
    assert rec.threads == {threading.get_ident()}


@pytest.mark.parametrize("cls", [MagnusGraphHeat, MagnusGraphHeat6])
@pytest.mark.parametrize("n_steps", [1, 10, 37])
def test_batched_equals_evolve_bit_for_bit(cls, n_steps):
    cols = 2 * (os.cpu_count() or 1) + 3
    f = np.sin(np.arange(N * cols, dtype=float) * 0.37).reshape(N, cols)
    m = cls(graph=Graph.path(N), lap_at_t=moving_graph, rho_bar_max=6.0)
    out = m.evolve_batched(0.2, n_steps, f)
    for c in range(cols):
        assert np.array_equal(out[:, c], m.evolve(0.2, n_steps, f[:, c]))


@pytest.mark.parametrize("cls", [MagnusGraphHeat, MagnusGraphHeat6])
def test_convergence_radius_edge(cls):
    lap = Laplacian.combinatorial(Graph.from_edges(N, np.array([(i, j, 0.25) for i, j in EDGES])))  # bound 1.0
    below = np.nextafter(math.pi / 2, 0.0)
    m = cls(graph=Graph.path(N), lap_at_t=lambda t: lap, rho_bar_max=1.0)
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] Magnus convergence radius violated"):
        m.evolve(math.pi / 2, 1, F0)
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] Magnus convergence radius violated"):
        m.evolve_batched(math.pi / 2, 1, F0[:, None])
    m.evolve(below, 1, F0)
    unchecked = cls(graph=Graph.path(N), lap_at_t=lambda t: lap, rho_bar_max=1.0, convergence_check=False)
    assert np.all(np.isfinite(unchecked.evolve(3.0, 1, F0)))


BELOW = (r"^\[OutOfDomain\] {}: rho_bar_max = 1\.000e0 is below the largest eigenvalue of lap_at_t\(t\) at t = (\S+), "
         r"which is at least (\S+) ")


@pytest.mark.parametrize("cls, k, how", [(MagnusGraphHeat, 4, "evolve"), (MagnusGraphHeat, 4, "batched"),
                                         (MagnusGraphHeat, 4, "f32"), (MagnusGraphHeat6, 6, "evolve"),
                                         (MagnusGraphHeat6, 6, "batched")])
def test_rho_bar_max_below_the_spectrum(cls, k, how):
    # tau = 0.5 passes the radius test with rho_bar_max = 1 but not with the samples'
    # own bound 4: the test then rests on rho_bar_max, which the first sample
    # disproves (lambda_max = 2 + 2 cos(pi/10) = 3.90; |T4(-0.5 * 3.9)| = 1.4 per step).
    dense = Laplacian.combinatorial(Graph.path(N)).to_dense()
    lam = 2 + 2 * math.cos(math.pi / N)
    extra = dict(dtype="f32") if how == "f32" else {}
    run = (lambda m, t, n: m.evolve_batched(t, n, F0[:, None])[:, 0]) if how == "batched" else (
        lambda m, t, n: m.evolve(t, n, F0))
    g = Graph.path(N)
    with pytest.raises(QuorvaneError) as e:
        run(cls(graph=g, lap_at_t=lambda t: g, rho_bar_max=1.0, **extra), 2.0, 4)
    t, lower = (float(v) for v in re.match(BELOW.format(cls.__name__), str(e.value)).groups())
    assert t == pytest.approx(0.5 * GAUSS[cls][0], rel=1e-7) and 3.8 < lower <= lam * (1 + 1e-3)
    assert np.all(np.isfinite(run(cls(graph=g, lap_at_t=lambda t: g, rho_bar_max=1.0, convergence_check=False, **extra),
                                  2.0, 4)))
    # A valid bound at the edge of the radius runs: with a constant L the step is the
    # degree-k Taylor polynomial of exp(-tau L), applied 4 times.
    tau = math.pi / 2 / lam * (1 - 1e-6)  # inside the radius in single precision too
    step = sum(np.linalg.matrix_power(-tau * dense, j) / math.factorial(j) for j in range(k + 1))
    ref = np.linalg.matrix_power(step, 4) @ F0
    out = run(cls(graph=g, lap_at_t=lambda t: g, rho_bar_max=lam, **extra), 4 * tau, 4)
    assert np.abs(out - ref).max() < (1e-5 if how == "f32" else 1e-13)


class Boom(Exception):
    pass


def failing_after(t0, result):
    """A lap_at_t that is right before t0 and gives `result` (or raises it) from t0 on."""
    calls = []

    def fn(t):
        calls.append(t)
        if t < t0:
            return moving_graph(t)
        if isinstance(result, BaseException):
            raise result
        return result

    return fn, calls


@pytest.mark.parametrize("cls", [MagnusGraphHeat, MagnusGraphHeat6])
@pytest.mark.parametrize("batched", [False, True])
@pytest.mark.parametrize("exc", [FileNotFoundError(2, "missing"), KeyboardInterrupt(), Boom("x")])
def test_callback_exception_is_raised_unchanged(cls, batched, exc):
    fn, calls = failing_after(1.0, exc)
    m = cls(graph=Graph.path(N), lap_at_t=fn, rho_bar_max=6.0)
    with pytest.raises(type(exc)) as info:
        if batched:
            m.evolve_batched(2.0, 10, F0[:, None])
        else:
            m.evolve(2.0, 10, F0)
    assert info.value is exc
    assert info.value.__traceback__.tb_next is not None  # the callback's own frames are kept
    assert calls[-1] >= 1.0 and all(t < 1.0 for t in calls[:-1])  # nothing called after the failure


@pytest.mark.parametrize("cls", [MagnusGraphHeat, MagnusGraphHeat6])
@pytest.mark.parametrize("result, message", [
    (None, "[OutOfDomain] lap_at_t(t) must return a Laplacian, Graph or GraphPath, got NoneType"),
    (1.5, "[OutOfDomain] lap_at_t(t) must return a Laplacian, Graph or GraphPath, got float"),
    (Graph.path(N + 1), f"[GridMismatch] lap_at_t(t) returned {N + 1} nodes, expected n_nodes={N}"),
    (GraphPath(3), f"[GridMismatch] lap_at_t(t) returned 3 nodes, expected n_nodes={N}"),
])
def test_wrong_callback_result(cls, result, message):
    fn, _ = failing_after(1.0, result)
    m = cls(graph=Graph.path(N), lap_at_t=fn, rho_bar_max=6.0)
    for call in (lambda: m.evolve(2.0, 10, F0), lambda: m.evolve_batched(2.0, 10, F0[:, None])):
        with pytest.raises(QuorvaneError) as info:
            call()
        assert str(info.value) == message


def test_non_callable_raises_type_error_at_first_sample():
    m = MagnusGraphHeat(graph=Graph.path(N), lap_at_t=3, rho_bar_max=6.0)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        m.evolve(1.0, 4, F0)


def test_f32_agrees_with_f64_and_rounds_laplacian_results():
    # A normalized Laplacian result is used as it is, rounded once.
    star = Graph.from_edges(N, np.array([(0, j, 1.0 + j) for j in range(1, N)]))
    norm = Laplacian.normalized(star)
    for lap_at_t in (moving_graph, lambda t: norm):
        kw = dict(graph=star, lap_at_t=lap_at_t, rho_bar_max=6.0)
        out32 = MagnusGraphHeat(dtype="f32", **kw).evolve(1.0, 16, F0)
        assert out32.dtype == np.float32
        assert np.allclose(out32, MagnusGraphHeat(**kw).evolve(1.0, 16, F0), rtol=0, atol=2e-6)


def test_f32_refusals():
    big = Laplacian.from_csr(np.array([0, 2, 4]), np.array([0, 1, 0, 1], dtype=np.int32),
                             np.array([1e39, -1e39, -1e39, 1e39]), 2)
    m = MagnusGraphHeat(graph=Graph.path(2), lap_at_t=lambda t: big, rho_bar_max=1.0, dtype="f32", convergence_check=False)
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] Laplacian: entry is not finite in single precision: inf"):
        m.evolve(1.0, 1, [1.0, 0.0])
    m = MagnusGraphHeat(graph=Graph.path(2), lap_at_t=moving_graph, rho_bar_max=1e300, dtype="f32")
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] MagnusGraphHeatChernoff: rho_bar_max must be finite and > 0"):
        m.evolve(1.0, 1, [1.0, 0.0])
    with pytest.raises(QuorvaneError, match=r'requires dtype="f64"; use evolve\(\) per channel for f32'):
        m.evolve_batched(-1.0, 0, np.zeros((2, 1)))


def test_t_final_zero_returns_f0_after_all_samples():
    rec = Recorder()
    assert np.array_equal(MagnusGraphHeat6(graph=Graph.path(N), lap_at_t=rec, rho_bar_max=6.0).evolve(0.0, 4, F0), F0)
    assert len(rec.times) == 12


@pytest.mark.parametrize("cls, args, exc, message", [
    (MagnusGraphHeat, dict(graph=Graph.path(3), rho_bar_max=0.0), QuorvaneError,
     "[OutOfDomain] rho_bar must be finite and > 0"),
    (MagnusGraphHeat6, dict(graph=Graph.path(3), rho_bar_max=math.nan), QuorvaneError,
     "[OutOfDomain] rho_bar must be finite and > 0"),
    (MagnusGraphHeat, dict(rho_bar_max=1.0), QuorvaneError, "[OutOfDomain] provide either graph= or laplacian="),
    (MagnusGraphHeat, dict(graph=3, rho_bar_max=1.0), QuorvaneError, "[OutOfDomain] graph must be a Graph or GraphPath"),
    (MagnusGraphHeat, dict(graph=Graph.path(3), rho_bar_max=1.0, dtype="f16"), QuorvaneError, None),
    (MagnusGraphHeat6, dict(graph=GraphPath(3), rho_bar_max=1.0), TypeError,
     "argument 'graph': 'GraphPath' object cannot be converted to 'Graph'"),
    (MagnusGraphHeat, dict(laplacian=Graph.path(3), rho_bar_max=1.0), TypeError,
     "argument 'laplacian': 'Graph' object cannot be converted to 'Laplacian'"),
])
def test_constructor_errors(cls, args, exc, message):
    with pytest.raises(exc) as info:
        cls(lap_at_t=moving_graph, **args)
    if message:
        assert str(info.value) == message


@pytest.mark.parametrize("cls", [MagnusGraphHeat, MagnusGraphHeat6])
def test_laplacian_alone_gives_its_node_count(cls):
    lap = Laplacian.combinatorial(moving_graph(0.0))
    m = cls(laplacian=lap, lap_at_t=moving_graph, rho_bar_max=6.0)
    assert np.allclose(m.evolve(1.0, 32, F0), reference(1.0), rtol=0, atol=1e-7)
    with pytest.raises(QuorvaneError, match=r"^\[GridMismatch\] f0.len\(\)=3 != graph.n_nodes\(\)=10$"):
        m.evolve(1.0, 2, [1.0, 2.0, 3.0])
    empty = Laplacian.from_csr(np.array([0]), np.array([], dtype=np.int32), np.array([]), 0)
    with pytest.raises(QuorvaneError, match="laplacian must have at least one node"):
        cls(laplacian=empty, lap_at_t=moving_graph, rho_bar_max=6.0)


@pytest.mark.parametrize("f0, message", [
    ([1.0] * (N - 1) + [math.nan], "[NanInf] f0 contains NaN or Inf: NaN"),
])
def test_non_finite_f0(f0, message):
    m = MagnusGraphHeat(graph=Graph.path(N), lap_at_t=moving_graph, rho_bar_max=6.0)
    with pytest.raises(QuorvaneError) as info:
        m.evolve(1.0, 8, f0)
    assert str(info.value) == message
