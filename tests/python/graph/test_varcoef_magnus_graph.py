"""VarCoefMagnusGraph (order against solve_ivp, t_start, coefficient checks and
callback failures, compute_rho_bar) and GraphTraj."""

import math
import os
import threading

import numpy as np
import pytest
from scipy.integrate import solve_ivp

from quorvane import Graph, GraphTraj, Laplacian, MagnusGraphHeat, QuorvaneError, VarCoefMagnusGraph
from test_magnus_graph import F0, N, Recorder, moving_dense, moving_graph

C1, C2 = 0.21132486540518713, 0.7886751345948129


def coef(t):
    return 1.0 + 0.4 * np.cos(1.5 * t + np.arange(N))


def reference(t_start, t_final):
    def rhs(t, u):
        s = np.sqrt(coef(t))
        return -(s * (moving_dense(t) @ (s * u)))

    return solve_ivp(rhs, (t_start, t_start + t_final), F0, method="DOP853", rtol=1e-13, atol=1e-15).y[:, -1]


def make(lap_at_t=moving_graph, a_at_t=coef, **kw):
    return VarCoefMagnusGraph(N, lap_at_t=lap_at_t, a_at_t=a_at_t, rho_bar_max=6.0, a_sup_max=1.19, **kw)


# Fourth order: error ratios per halving near 16 (17-21 before the asymptote).
@pytest.mark.parametrize("t_start, batched", [(0.0, False), (0.4, False), (0.0, True)])
def test_order_against_solve_ivp(t_start, batched):
    ref = reference(t_start, 1.0)
    m = make()
    if batched:
        errs = [np.abs(m.evolve_batched(1.0, s, np.stack([F0, F0], 1))[:, 1] - ref).max() for s in (8, 16, 32)]
    else:
        errs = [np.abs(m.evolve(1.0, s, F0, t_start=t_start) - ref).max() for s in (8, 16, 32)]
    ratios = [a / b for a, b in zip(errs, errs[1:])]
    assert all(15.0 < r < 23.0 for r in ratios), (errs, ratios)


def test_times_shifted_by_t_start_and_order_of_calls():
    calls = []
    lap = Recorder()
    a = Recorder(coef)
    for rec, kind in ((lap, "L"), (a, "a")):
        fn = rec.fn
        rec.fn = lambda t, fn=fn, kind=kind: (calls.append(kind), fn(t))[1]
    make(lap_at_t=lap, a_at_t=a).evolve(0.3, 3, F0, t_start=2.5)
    tau = 0.3 / 3
    times = [tau * c + (2.5 + tau * k) for k in range(3) for c in (C1, C2)]
    assert lap.times == times and a.times == times
    assert calls == ["L", "L", "a", "a"] * 3
    assert lap.threads == a.threads == {threading.get_ident()}


def test_constant_unit_coefficient_is_the_plain_magnus_step():
    lap = Laplacian.combinatorial(moving_graph(0.2))
    plain = MagnusGraphHeat(graph=Graph.path(N), lap_at_t=lambda t: lap, rho_bar_max=6.0).evolve(1.0, 8, F0)
    ones = make(lap_at_t=lambda t: lap, a_at_t=lambda t: [1.0] * N).evolve(1.0, 8, F0)
    assert np.allclose(ones, plain, rtol=0, atol=1e-15)  # commutator weights differ by one ulp


@pytest.mark.parametrize("n_steps", [1, 10, 37])
def test_batched_equals_evolve_bit_for_bit_and_samples_once_per_time(n_steps):
    cols = 2 * (os.cpu_count() or 1) + 3
    f = np.sin(np.arange(N * cols, dtype=float) * 0.37).reshape(N, cols)
    lap, a = Recorder(), Recorder(coef)
    out = make(lap_at_t=lap, a_at_t=a).evolve_batched(0.15, n_steps, f)
    assert len(lap.times) == len(a.times) == 2 * n_steps
    m = make()
    for c in range(cols):
        assert np.array_equal(out[:, c], m.evolve(0.15, n_steps, f[:, c]))


def bad_from(t0, value):
    def a(t):
        v = coef(t)
        if t >= t0:
            v[3] = value
        return v

    return a


@pytest.mark.parametrize("value, message", [
    (0.0, "[OutOfDomain] VarCoefMagnusGraphHeatChernoff: a_at_t(t) must be strictly positive and finite"),
    (-1.0, "[OutOfDomain] VarCoefMagnusGraphHeatChernoff: a_at_t(t) must be strictly positive and finite"),
    (math.nan, "[NanInf] VarCoefMagnusGraphHeatChernoff: a_at_t(t) must be strictly positive and finite: NaN"),
])
@pytest.mark.parametrize("batched", [False, True])
def test_coefficients_checked_at_every_step(value, message, batched):
    # The bad value appears only from t = 0.5 on, long after the first step.
    m = make(a_at_t=bad_from(0.5, value))
    with pytest.raises(QuorvaneError) as info:
        if batched:
            m.evolve_batched(1.0, 10, F0[:, None])
        else:
            m.evolve(1.0, 10, F0)
    assert str(info.value) == message


class Boom(Exception):
    pass


@pytest.mark.parametrize("result, exc, message", [
    ([1.0] * (N - 1), QuorvaneError, f"[GridMismatch] a_at_t(t) returned {N - 1} values, expected n_nodes={N}"),
    ("abc", QuorvaneError, "[OutOfDomain] a_at_t(t) must return a float64 array or a sequence of floats, got str"),
    (None, QuorvaneError, "[OutOfDomain] a_at_t(t) must return a float64 array or a sequence of floats, got NoneType"),
    ([1.0] * (N - 1) + ["x"], TypeError, None),  # float("x") inside the conversion: the callable's own error
    (Boom("late"), Boom, "late"),
])
@pytest.mark.parametrize("batched", [False, True])
def test_coefficient_callback_failures(result, exc, message, batched):
    calls = []

    def a(t):
        calls.append(t)
        if t < 0.5:
            return coef(t)
        if isinstance(result, BaseException):
            raise result
        return result

    m = make(a_at_t=a)
    with pytest.raises(exc) as info:
        if batched:
            m.evolve_batched(1.0, 10, F0[:, None])
        else:
            m.evolve(1.0, 10, F0)
    if isinstance(result, BaseException):
        assert info.value is result
    elif message:
        assert str(info.value) == message
    assert calls[-1] >= 0.5 and all(t < 0.5 for t in calls[:-1])


def test_radius_uses_the_coefficient_bound():
    lap = Laplacian.combinatorial(Graph.from_edges(N, np.array([(i, i + 1, 0.125) for i in range(N - 1)])))  # bound 0.5
    m = VarCoefMagnusGraph(N, lap_at_t=lambda t: lap, a_at_t=coef, rho_bar_max=0.5, a_sup_max=2.0)
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] Magnus convergence radius violated: rho_bar_max = 2.000e0"):
        m.evolve(math.pi / 2, 1, F0)  # tau * 0.5 * 2^2 = pi
    m.evolve(np.nextafter(math.pi / 4, 0.0), 1, F0)
    with pytest.raises(QuorvaneError, match="Magnus convergence radius"):
        m.evolve(math.pi / 4, 1, F0)
    unchecked = VarCoefMagnusGraph(N, lap_at_t=lambda t: lap, a_at_t=coef, rho_bar_max=0.5, a_sup_max=2.0,
                                   convergence_check=False)
    assert np.all(np.isfinite(unchecked.evolve(2.0, 1, F0)))


@pytest.mark.parametrize("batched", [False, True])
@pytest.mark.parametrize("a_value, rho_bar_max, a_sup_max, message", [
    # tau = 0.5 passes the radius test on rho_eff = 1 but not on 4 in place of
    # rho_bar_max (the path's spectral_bound), nor on max(a) = 4 in place of a_sup_max^2.
    (1.0, 1.0, 1.0, "rho_bar_max = 1.000e0 is below the largest eigenvalue of lap_at_t(t) at t = 0.10566243270259357, "
                    "which is at least "),
    (4.0, 4.0, 0.5, "a_sup_max = 5.000e-1 is below sqrt(max a_at_t(t)) = 2.000e0 at t = 0.10566243270259357; "),
])
def test_bounds_below_the_samples(batched, a_value, rho_bar_max, a_sup_max, message):
    g = Graph.path(N)
    kw = dict(lap_at_t=lambda t: g, a_at_t=lambda t: np.full(N, a_value))
    run = (lambda m, t, n: m.evolve_batched(t, n, F0[:, None])[:, 0]) if batched else (
        lambda m, t, n: m.evolve(t, n, F0))
    with pytest.raises(QuorvaneError) as info:
        run(VarCoefMagnusGraph(N, **kw, rho_bar_max=rho_bar_max, a_sup_max=a_sup_max), 2.0, 4)
    assert str(info.value).startswith("[OutOfDomain] VarCoefMagnusGraph: " + message)
    assert np.all(np.isfinite(run(VarCoefMagnusGraph(N, **kw, rho_bar_max=rho_bar_max, a_sup_max=a_sup_max,
                                                     convergence_check=False), 2.0, 4)))
    # Valid bounds at the edge of the radius run: with constant L and a, each step is
    # the degree-4 Taylor polynomial of exp(-tau a L).
    lam = 2 + 2 * math.cos(math.pi / N)
    tau = math.pi / 2 / (a_value * lam) * (1 - 1e-6)
    la = a_value * Laplacian.combinatorial(g).to_dense()
    step = sum(np.linalg.matrix_power(-tau * la, j) / math.factorial(j) for j in range(5))
    out = run(VarCoefMagnusGraph(N, **kw, rho_bar_max=lam, a_sup_max=math.sqrt(a_value)), 4 * tau, 4)
    assert np.abs(out - np.linalg.matrix_power(step, 4) @ F0).max() < 1e-13


def test_compute_rho_bar_returns_the_sampled_maxima():
    t0, t1, k = 0.3, 2.1, 7
    times = [t0 + (t1 - t0) * (i / k) for i in range(k)]
    rho, a_sup = VarCoefMagnusGraph.compute_rho_bar(moving_graph, coef, t0, t1, N, n_samples=k)
    assert rho == max(Laplacian.combinatorial(moving_graph(t)).spectral_bound for t in times)
    assert a_sup == math.sqrt(max(coef(t).max() for t in times))
    assert VarCoefMagnusGraph.compute_rho_bar(moving_graph, coef, 1.0, 1.0, N, n_samples=1) == (
        Laplacian.combinatorial(moving_graph(1.0)).spectral_bound, math.sqrt(coef(1.0).max()))
    with pytest.raises(Boom):
        VarCoefMagnusGraph.compute_rho_bar(moving_graph, lambda t: (_ for _ in ()).throw(Boom()), 0.0, 1.0, N)


A_POSITIVE = "VarCoefMagnusGraphHeatChernoff: a_at_t(t) must be strictly positive and finite"
HUGE = Graph.from_edges(3, np.array([(0, 1, 1e308), (1, 2, 1e308)]))  # node 1's degree overflows


# Bounds estimated from what the evolution refuses are refused too, never returned
# as NaN, inf or 0.
@pytest.mark.parametrize("lap_at_t, a_at_t, t0, t1, message", [
    (moving_graph, lambda t: np.where(np.arange(N) == 3, math.nan, 1.0), 0.0, 1.0, f"[NanInf] {A_POSITIVE}: NaN"),
    (moving_graph, lambda t: np.full(N, math.inf), 0.0, 1.0, f"[NanInf] {A_POSITIVE}: inf"),
    (moving_graph, lambda t: np.full(N, -1.0), 0.0, 1.0, f"[OutOfDomain] {A_POSITIVE}"),
    (moving_graph, lambda t: np.zeros(N), 0.0, 1.0, f"[OutOfDomain] {A_POSITIVE}"),
    (moving_graph, coef, math.nan, 1.0, "[NanInf] compute_rho_bar: sample time must be finite: NaN"),
    (moving_graph, coef, 0.0, math.inf, "[NanInf] compute_rho_bar: sample time must be finite: NaN"),
    (lambda t: HUGE, lambda t: np.ones(3), 0.0, 1.0,
     "[NanInf] compute_rho_bar: spectral_bound of lap_at_t(t) must be finite: inf"),
])
def test_compute_rho_bar_refuses_non_finite_and_non_positive_samples(lap_at_t, a_at_t, t0, t1, message):
    n = 3 if lap_at_t(0.0) is HUGE else N
    with pytest.raises(QuorvaneError) as info:
        VarCoefMagnusGraph.compute_rho_bar(lap_at_t, a_at_t, t0, t1, n)
    assert str(info.value) == message


@pytest.mark.parametrize("args, kwargs, message", [
    ((0,), {}, "[OutOfDomain] n_nodes must be >= 1"),
    ((N,), {"rho_bar_max": -0.0}, "[OutOfDomain] rho_bar must be finite and > 0"),
    ((N,), {"a_sup_max": math.inf}, "[OutOfDomain] a_sup_max must be > 0 and finite"),
])
def test_constructor_errors(args, kwargs, message):
    kw = dict(lap_at_t=moving_graph, a_at_t=coef, rho_bar_max=6.0, a_sup_max=1.2) | kwargs
    with pytest.raises(QuorvaneError) as info:
        VarCoefMagnusGraph(*args, **kw)
    assert str(info.value) == message


def test_evolve_argument_errors_and_getter():
    m = make()
    assert m.n_nodes == N
    for call, message in [
        (lambda: m.evolve(1.0, 0, F0, t_start=math.nan), "[OutOfDomain] n_steps must be >= 1"),
        (lambda: m.evolve(1.0, 2, F0, t_start=math.inf), "[OutOfDomain] t_start must be finite"),
        (lambda: VarCoefMagnusGraph.compute_rho_bar(coef, coef, 0.0, 1.0, N, n_samples=0),
         "[OutOfDomain] n_samples must be >= 1"),
    ]:
        with pytest.raises(QuorvaneError) as info:
            call()
        assert str(info.value) == message


# --- GraphTraj ------------------------------------------------------------------------


def test_graph_traj_getters_and_repr():
    traj = GraphTraj(Graph.path(5), 1.0)
    assert repr(traj) == "GraphTraj(n_nodes=5, t_horizon=1.0000, n_segments=1)"
    assert (traj.n_nodes, traj.t_horizon, traj.n_segments) == (5, 1.0, 1)
    assert repr(GraphTraj(graph=Graph.path(2), t_horizon=5e-324)) == "GraphTraj(n_nodes=2, t_horizon=0.0000, n_segments=1)"
    assert GraphTraj(Graph.path(2), 2).t_horizon == 2.0


@pytest.mark.parametrize("graph, horizon, exc, message", [
    (Graph.path(3), 0.0, QuorvaneError, "[OutOfDomain] t_horizon must be finite and > 0"),
    (Graph.path(3), -0.0, QuorvaneError, "[OutOfDomain] t_horizon must be finite and > 0"),
    (Graph.path(3), math.nan, QuorvaneError, "[OutOfDomain] t_horizon must be finite and > 0"),
    (Graph.path(3), math.inf, QuorvaneError, "[OutOfDomain] t_horizon must be finite and > 0"),
    (Laplacian.combinatorial(Graph.path(3)), 1.0, TypeError,
     "argument 'graph': 'Laplacian' object cannot be converted to 'Graph'"),
    (Graph.path(3), "1", TypeError, None),
])
def test_graph_traj_errors(graph, horizon, exc, message):
    with pytest.raises(exc) as info:
        GraphTraj(graph, horizon)
    if message:
        assert str(info.value) == message
    else:
        assert "t_horizon" in str(info.value)
