"""GraphAdjoint and GraphAdjointPresampled: duality with the forward Magnus evolvers,
order 4 against the continuous adjoint from solve_ivp, presampled = live bit for bit,
callback failures and the fixed messages."""

import gc
import math
import os
import subprocess
import sys
import weakref

import numpy as np
import pytest
from scipy.integrate import solve_ivp

from conftest import raises_exact
from quorvane import (Graph, GraphAdjoint, GraphAdjointPresampled, GraphPath, Laplacian, MagnusGraphHeat,
                      QuorvaneError, VarCoefMagnusGraph)

N = 8
RHO = 4.0  # >= the Gershgorin bound 2 * max weight (1.5)
RNG = np.random.default_rng(7)
LAM = RNG.standard_normal(N)
U0 = RNG.standard_normal(N)
RADIUS = "[OutOfDomain] Magnus convergence radius violated"


def weights(t):
    return [1.0 + 0.5 * math.sin(2.0 * t + i) for i in range(N - 1)]


def moving_graph(t):
    return Graph.from_edges(N, np.array([(i, i + 1, w) for i, w in enumerate(weights(t))]))


def coef(t):
    return 0.6 + 0.3 * np.cos(t + np.arange(N))


def dense_generator(t, varcoef):
    lap = np.zeros((N, N))
    for i, w in enumerate(weights(t)):
        lap[[i, i + 1], [i, i + 1]] += w
        lap[i, i + 1] -= w
        lap[i + 1, i] -= w
    if varcoef:
        s = np.sqrt(coef(t))
        lap = s[:, None] * lap * s[None, :]
    return lap


KERNELS = {False: {}, True: {"a": coef, "kernel": "varcoef_magnus_graph"}}
# tau * rho_bar^3 < pi/2 for the variable-coefficient kernel needs a smaller bound
# there; ||L_a|| <= 0.9 * 3 = 2.7 is still covered by the series' own convergence.
RHO_OF = {False: RHO, True: 1.15}


def live(varcoef, rho=None, **kw):
    return GraphAdjoint(moving_graph(0.0), lap_at_t=moving_graph, rho_bar=rho or RHO_OF[varcoef],
                        **KERNELS[varcoef], **kw)


def presampled(varcoef, n_steps, t, **kw):
    return GraphAdjointPresampled.from_presampled(moving_graph(0.0), moving_graph, RHO_OF[varcoef], n_steps, t,
                                                  **KERNELS[varcoef], **kw)


def forward(varcoef, t, n_steps, u):
    if varcoef:
        return VarCoefMagnusGraph(N, lap_at_t=moving_graph, a_at_t=coef, rho_bar_max=2.0,
                                  a_sup_max=1.0, convergence_check=False).evolve(t, n_steps, u)
    return MagnusGraphHeat(moving_graph(0.0), lap_at_t=moving_graph, rho_bar_max=RHO).evolve(t, n_steps, u)


@pytest.mark.parametrize("varcoef", [False, True])
def test_adjoint_is_the_transpose_of_the_forward_evolution(varcoef):
    lam0 = live(varcoef).evolve_state_adjoint(LAM, 1.3, 9)
    lhs, rhs = lam0 @ U0, LAM @ forward(varcoef, 1.3, 9, U0)
    assert abs(lhs - rhs) <= 1e-14 * max(1.0, abs(rhs))


def continuous_adjoint(varcoef, t):
    # lambda(0) = Phi(t, 0)^T lambda(t): in s = t - time, d lambda/ds = -G(t - s) lambda
    # with the symmetric generator G.
    sol = solve_ivp(lambda s, y: -dense_generator(t - s, varcoef) @ y, (0.0, t), LAM, method="DOP853",
                    rtol=1e-13, atol=1e-15)
    return sol.y[:, -1]


# Fourth order: error ratios per halving near 16 (pre-asymptotic ones a little above).
@pytest.mark.parametrize("varcoef", [False, True])
def test_fourth_order_against_the_continuous_adjoint(varcoef):
    t = 2.0
    ref = continuous_adjoint(varcoef, t)
    obj = live(varcoef)
    errs = [np.max(np.abs(obj.evolve_state_adjoint(LAM, t, n) - ref)) for n in (16, 32, 64)]
    ratios = [errs[0] / errs[1], errs[1] / errs[2]]
    assert all(15.0 < r < 21.0 for r in ratios), (errs, ratios)


@pytest.mark.parametrize("varcoef", [False, True])
def test_presampled_equals_live_and_columns_equal_single_sweeps(varcoef):
    t, n_steps = 1.7, 6
    ref = live(varcoef).evolve_state_adjoint(LAM, t, n_steps)
    pre = presampled(varcoef, n_steps, t)
    assert np.array_equal(pre.evolve_state_adjoint(LAM), ref)
    assert np.array_equal(pre.evolve_state_adjoint(LAM, n_steps=n_steps), ref)
    cols = np.asfortranarray(np.stack([LAM, U0, -2.0 * LAM], axis=1))
    out = pre.evolve_state_adjoint_batched(cols)
    assert out.shape == (N, 3)
    for c in range(3):
        assert np.array_equal(out[:, c], pre.evolve_state_adjoint(cols[:, c]))
    assert (pre.n_nodes(), pre.n_steps()) == (N, n_steps)


def test_zero_horizon_is_the_identity_and_samples_at_zero():
    times = []
    obj = GraphAdjoint(GraphPath(N), lap_at_t=lambda t: times.append(t) or moving_graph(t), rho_bar=RHO)
    assert np.array_equal(obj.evolve_state_adjoint(LAM, -0.0, 3), LAM)
    assert times == [0.0] * 6


class Calls:
    """A callable that records its calls and fails as told at call `at`."""

    def __init__(self, fn, bad, at):
        self.fn, self.bad, self.at, self.n = fn, bad, at, 0

    def __call__(self, t):
        self.n += 1
        return self.bad(t) if self.n == self.at else self.fn(t)


class Boom(Exception):
    pass


BOOM = Boom("lap failed")


def raise_boom(t):
    raise BOOM


CALLBACK_FAULTS = [
    (raise_boom, None),
    (lambda t: "x", "[OutOfDomain] {name}(t) must return {what}, got str"),
    (lambda t: 1.5, "[OutOfDomain] {name}(t) must return {what}, got float"),
]
WHAT = {"lap_at_t": "a Laplacian, Graph or GraphPath", "a": "a float64 array or a sequence of floats"}


def wrong_size(name):
    if name == "lap_at_t":
        return lambda t: GraphPath(N + 1), f"[GridMismatch] lap_at_t(t) returned {N + 1} nodes, expected n_nodes={N}"
    return lambda t: np.ones(N - 2), f"[GridMismatch] a(t) returned {N - 2} values, expected n_nodes={N}"


@pytest.mark.parametrize("name", ["lap_at_t", "a"])
@pytest.mark.parametrize("fault", range(4))
@pytest.mark.parametrize("cls", ["live", "presampled"])
def test_callback_faults_end_the_call_at_once(cls, name, fault):
    if fault < 3:
        bad, message = CALLBACK_FAULTS[fault]
        message = message and message.format(name=name, what=WHAT[name])
    else:
        bad, message = wrong_size(name)
    good = moving_graph if name == "lap_at_t" else coef
    calls = Calls(good, bad, at=3)
    kw = {"lap_at_t": moving_graph, "a": coef, name: calls}
    if cls == "live":
        obj = GraphAdjoint(GraphPath(N), lap_at_t=kw["lap_at_t"], a=kw["a"], rho_bar=1.1,
                           kernel="varcoef_magnus_graph")
        call = lambda: obj.evolve_state_adjoint(LAM, 1.0, 4)  # noqa: E731
    else:
        call = lambda: GraphAdjointPresampled.from_presampled(  # noqa: E731
            GraphPath(N), kw["lap_at_t"], 1.1, 4, 1.0, a=kw["a"], kernel="varcoef_magnus_graph")
    if message is None:
        with pytest.raises(Boom) as info:
            call()
        assert info.value is BOOM
    else:
        raises_exact(QuorvaneError, message, call)
    assert calls.n == 3  # nothing called after the failing call
    if cls == "live":  # the object is unchanged: a good sweep still matches
        calls.at = -1
        ref = live(True).evolve_state_adjoint(LAM, 1.0, 4)
        assert np.array_equal(obj.evolve_state_adjoint(LAM, 1.0, 4), ref)


def test_call_counts_and_kernel_examined_before_sampling():
    calls = Calls(moving_graph, None, at=-1)
    live(False).__class__(GraphPath(N), lap_at_t=calls, rho_bar=RHO).evolve_state_adjoint(LAM, 1.0, 5)
    assert calls.n == 10
    calls.n = 0
    raises_exact(QuorvaneError, "[OutOfDomain] unknown kernel 'other'", GraphAdjointPresampled.from_presampled,
                 GraphPath(N), calls, RHO, 5, 1.0, kernel="other")
    assert calls.n == 0


# from_presampled's refusals, in the order the arguments are examined: every one comes
# before lap_at_t (or a) is called and before anything is stored, so a bad kernel with
# 1000 steps costs nothing, and one with 2^32 - 1 steps is not taken for a store too big.
@pytest.mark.parametrize("rho_bar, n_steps, t, kernel, with_a, message", [
    (0.0, 1000, 1.0, "magnus_graph", True, "rho_bar must be finite and > 0"),
    (math.inf, 1000, 1.0, "bogus", False, "rho_bar must be finite and > 0"),
    (RHO, 0, 1.0, "bogus", False, "n_steps must be >= 1"),
    (RHO, 1000, -1.0, "varcoef_magnus_graph", False, "t_final must be finite and >= 0"),
    (RHO, 1000, 1.0, "bogus", False, "unknown kernel 'bogus'"),
    (RHO, 1000, 1.0, "Magnus_Graph", True, "unknown kernel 'Magnus_Graph'"),
    (RHO, 2**32 - 1, 1.0, "bogus", True, "unknown kernel 'bogus'"),
    (RHO, 1000, 1.0, "varcoef_magnus_graph", False, "varcoef_magnus_graph requires a= callback"),
])
def test_presampled_refusals_come_before_any_sample(rho_bar, n_steps, t, kernel, with_a, message):
    lap_calls, a_calls = Calls(moving_graph, None, at=-1), Calls(coef, None, at=-1)
    kw = {"kernel": kernel, **({"a": a_calls} if with_a else {})}
    from_p = GraphAdjointPresampled.from_presampled
    raises_exact(QuorvaneError, "[OutOfDomain] " + message, from_p, GraphPath(N), lap_calls, rho_bar, n_steps, t,
                 **kw)
    assert (lap_calls.n, a_calls.n) == (0, 0)
    if not message.startswith(("unknown", "n_steps", "t_final")):  # faults the constructor shares, same text
        raises_exact(QuorvaneError, "[OutOfDomain] " + message, GraphAdjoint, GraphPath(N), lap_at_t=lap_calls,
                     rho_bar=rho_bar, **kw)
    # The graph is resolved after the numbers and before the kernel, as GraphAdjoint does.
    numbers_first = not message.startswith(("unknown", "varcoef"))
    raises_exact(QuorvaneError, "[OutOfDomain] " + (message if numbers_first else "graph must be a Graph or GraphPath"),
                 from_p, None, lap_calls, rho_bar, n_steps, t, **kw)
    assert (lap_calls.n, a_calls.n) == (0, 0)


def test_radius_refused_by_both_presampled_sweeps():
    # 10-node path, t = 10, 4 steps: tau * rho_bar = 10 >= pi/2. Beyond the radius the
    # degree-4 series amplifies (~1e8 against the exact ~0.15), so the batched sweep
    # must refuse it as the single one does.
    path = GraphPath(10)
    obj = GraphAdjointPresampled.from_presampled(path, lambda t: path, 4.0, 4, 10.0)
    lam = np.linspace(-1.0, 1.0, 10)
    for call in (lambda: obj.evolve_state_adjoint(lam), lambda: obj.evolve_state_adjoint_batched(lam[:, None])):
        with pytest.raises(QuorvaneError) as info:
            call()
        assert str(info.value).startswith(RADIUS)
    unchecked = GraphAdjointPresampled.from_presampled(path, lambda t: path, 4.0, 4, 10.0, convergence_check=False)
    assert np.array_equal(unchecked.evolve_state_adjoint_batched(lam[:, None])[:, 0],
                          unchecked.evolve_state_adjoint(lam))


def test_live_radius_tests():
    calls = Calls(moving_graph, None, at=-1)
    obj = GraphAdjoint(GraphPath(N), lap_at_t=calls, rho_bar=RHO)
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] Magnus convergence radius violated"):
        obj.evolve_state_adjoint(LAM, 1.0, 2)
    assert calls.n == 0
    # Variable coefficients: tau * rho_bar^3 = 1.6 >= pi/2 although tau * rho_bar = 0.4.
    vc = GraphAdjoint(GraphPath(N), lap_at_t=moving_graph, rho_bar=2.0, a=coef, kernel="varcoef_magnus_graph",
                      convergence_check=False)
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] Magnus convergence radius violated"):
        vc.evolve_state_adjoint(LAM, 1.0, 5)


def test_rho_bar_below_the_spectrum():
    # tau = 1 passes the radius test with rho_bar = 1 but not with the samples' own
    # bound 4: the test then rests on rho_bar, which the first sample (the latest
    # step's first Gauss time) disproves; the steps amplify there, |T4(-3.85)| = 4.2.
    g = Graph.path(N)
    with pytest.raises(QuorvaneError) as info:
        GraphAdjoint(g, lap_at_t=lambda t: g, rho_bar=1.0).evolve_state_adjoint(LAM, 4.0, 4)
    assert str(info.value).startswith("[OutOfDomain] GraphAdjoint: rho_bar = 1.000e0 is below the largest eigenvalue "
                                      "of lap_at_t(t) at t = 3.211324865405187, which is at least ")
    unchecked = GraphAdjoint(g, lap_at_t=lambda t: g, rho_bar=1.0, convergence_check=False)
    assert np.all(np.isfinite(unchecked.evolve_state_adjoint(LAM, 4.0, 4)))
    # The largest eigenvalue itself at the edge of the radius: with a constant L each
    # transposed step is the degree-4 Taylor polynomial of exp(-tau L).
    lam = 2 + 2 * math.cos(math.pi / N)
    tau = math.pi / 2 / lam * (1 - 1e-9)
    path_laplacian = np.diag(np.r_[1.0, [2.0] * (N - 2), 1.0]) - np.eye(N, k=1) - np.eye(N, k=-1)
    m = -tau * path_laplacian
    step = sum(np.linalg.matrix_power(m, j) / math.factorial(j) for j in range(5))
    out = GraphAdjoint(g, lap_at_t=lambda t: g, rho_bar=lam).evolve_state_adjoint(LAM, 4 * tau, 4)
    assert np.abs(out - np.linalg.matrix_power(step, 4) @ LAM).max() < 1e-13


@pytest.mark.parametrize("value, message", [
    (0.0, "[OutOfDomain] VarCoef adjoint: a(t) not positive/finite"),
    (-1.0, "[NanInf] VarCoef adjoint: a(t) not positive/finite: NaN"),
])
def test_nonpositive_coefficients(value, message):
    bad = lambda t: np.where(np.arange(N) == 3, value, 1.0)  # noqa: E731
    obj = GraphAdjoint(GraphPath(N), lap_at_t=moving_graph, rho_bar=1.1, a=bad, kernel="varcoef_magnus_graph")
    raises_exact(QuorvaneError, message, obj.evolve_state_adjoint, LAM, 1.0, 4)
    pre = GraphAdjointPresampled.from_presampled(GraphPath(N), moving_graph, 1.1, 4, 1.0, a=bad,
                                                 kernel="varcoef_magnus_graph")
    raises_exact(QuorvaneError, message, pre.evolve_state_adjoint_batched, LAM[:, None])


KERNEL_TEXT = "unknown kernel 'Magnus_Graph'; expected magnus_graph|varcoef_magnus_graph"


@pytest.mark.parametrize("kwargs, message", [
    ({"graph": GraphPath(N), "rho_bar": 0.0}, "[OutOfDomain] rho_bar must be finite and > 0"),
    ({"graph": GraphPath(N), "rho_bar": math.nan}, "[OutOfDomain] rho_bar must be finite and > 0"),
    ({"rho_bar": 1.0}, "[OutOfDomain] provide either graph= or laplacian="),
    ({"graph": 3, "rho_bar": 1.0}, "[OutOfDomain] graph must be a Graph or GraphPath"),
    ({"graph": GraphPath(N), "rho_bar": 1.0, "kernel": "varcoef_magnus_graph"},
     "[OutOfDomain] varcoef_magnus_graph requires a= callback"),
    ({"graph": GraphPath(N), "rho_bar": 1.0, "kernel": "Magnus_Graph"}, "[OutOfDomain] " + KERNEL_TEXT),
])
def test_construction_messages(kwargs, message):
    raises_exact(QuorvaneError, message, GraphAdjoint, lap_at_t=moving_graph, **kwargs)


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((LAM, math.inf), {}, QuorvaneError, "[OutOfDomain] t_final must be finite and >= 0"),
    ((LAM, 1.0, 0), {}, QuorvaneError, "[OutOfDomain] n_steps must be >= 1"),
    ((np.ones(N + 1), 1.0), {}, QuorvaneError, f"[GridMismatch] f0.len()={N + 1} != graph.n_nodes()={N}"),
    (("abc", 1.0), {}, TypeError, "f0 must be a numpy.ndarray[float64] or a sequence of floats"),
])
def test_evolve_messages(args, kwargs, exc, message):
    raises_exact(exc, message, live(False).evolve_state_adjoint, *args, **kwargs)


def test_presampled_messages():
    from_p = GraphAdjointPresampled.from_presampled
    raises_exact(QuorvaneError, "[OutOfDomain] n_steps must be >= 1", from_p, GraphPath(N), moving_graph, 1.0, 0, 1.0)
    raises_exact(QuorvaneError, "[OutOfDomain] t_final must be finite and >= 0", from_p, GraphPath(N), moving_graph,
                 1.0, 2, -1.0)
    raises_exact(QuorvaneError, "[OutOfDomain] graph must be a Graph or GraphPath", from_p, None, moving_graph,
                 1.0, 2, 1.0)
    pre = from_p(GraphPath(N), moving_graph, RHO, 4, 1.0)
    raises_exact(QuorvaneError, "[OutOfDomain] n_steps=3 != construction n_steps=4", pre.evolve_state_adjoint,
                 LAM, 3)
    raises_exact(QuorvaneError, f"[GridMismatch] f0.shape[0]={N + 1} != n_nodes={N}",
                 pre.evolve_state_adjoint_batched, np.ones((N + 1, 2)))
    raises_exact(QuorvaneError, "[OutOfDomain] n_cols must be >= 1", pre.evolve_state_adjoint_batched,
                 np.ones((N, 0)))
    with pytest.raises(TypeError):
        pre.evolve_state_adjoint_batched(LAM)


def test_held_callables_are_collected_with_a_cycle():
    class Holder:
        def __call__(self, t):
            return moving_graph(t)

    holder = Holder()
    holder.obj = GraphAdjoint(GraphPath(N), lap_at_t=holder, rho_bar=RHO)
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    assert ref() is None


# Six nodes: a path plus one extra edge, whose place may move with t. Every such
# Laplacian stores 18 entries, so only the pattern tells the samples apart.
def path_plus(extra):
    return Graph.from_edges(6, np.array([(i, i + 1, 1.0 + 0.1 * i) for i in range(5)] + [(*extra, 0.5)]))


def reversed_rows(g):
    # The same operator with every row's entries stored in reverse order.
    lap = Laplacian.combinatorial(g)
    ptr, cols, vals = lap.row_ptr(), lap.col_idx(), lap.vals()
    order = np.concatenate([np.arange(ptr[i], ptr[i + 1])[::-1] for i in range(6)])
    return Laplacian.from_csr(np.asarray(ptr, np.int64), np.asarray(cols, np.int32)[order], vals[order], 6)


FIXED = path_plus((0, 3))
# n_steps = 4 over t = 1: the samples run latest step first, 0.8028... the first and
# 0.0528... (c0 tau) the first of the earliest step.
PATTERN_CASES = {
    "moving weights": (lambda t: path_plus((0, 3)) if t == 0.0 else Graph.from_edges(
        6, np.array([(i, i + 1, 1.0 + 0.1 * i + 0.2 * t) for i in range(5)] + [(0, 3, 0.5 - 0.1 * t)])), None),
    "edge moved after t = 0": (lambda t: FIXED if t == 0.0 else path_plus((1, 4)), 0.8028312163512967),
    "edge moved early on": (lambda t: path_plus((1, 4)) if 0.0 < t < 0.3 else FIXED, 0.052831216351296784),
    "rows stored in another order": (lambda t: FIXED if t == 0.0 else reversed_rows(FIXED), 0.8028312163512967),
}


@pytest.mark.parametrize("case", PATTERN_CASES)
def test_presampled_takes_only_samples_on_the_time0_pattern(case):
    # Read on the time-0 pattern, a sample stored elsewhere is another operator (no longer a
    # Laplacian: the sum of lambda, which every transposed step keeps, drifts). It is refused
    # naming its time; samples on the pattern give the live sweep bit for bit.
    lap_at_t, bad_time = PATTERN_CASES[case]
    lam = np.array([1.0, 0.5, 0.0, 0.2, 0.3, 0.5])
    ref = GraphAdjoint(FIXED, lap_at_t=lap_at_t, rho_bar=6.0).evolve_state_adjoint(lam, 1.0, 4)
    assert ref.sum() == pytest.approx(lam.sum(), abs=1e-13)
    build = lambda: GraphAdjointPresampled.from_presampled(FIXED, lap_at_t, 6.0, 4, 1.0)  # noqa: E731
    if bad_time is None:
        assert np.array_equal(build().evolve_state_adjoint(lam), ref)
    else:
        raises_exact(QuorvaneError, f"[GridMismatch] lap_at_t(t) at t = {bad_time!r} has another sparsity pattern "
                     "than lap_at_t(0.0), on which every sample is stored", build)


PHYSICAL = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def exp3(x):
    mant, exp = f"{x:.3e}".split("e")
    return f"{mant}e{int(exp)}"


# (n_steps, kernel arguments, stored values per sample time (the time itself included),
# the lap_at_t calls before the refusal). The times, and the coefficients, alone can be
# refused before lap_at_t is called; the Laplacian values (22 entries of an 8-node path)
# once the time-0 sample shows the pattern.
@pytest.mark.parametrize("n_steps, kwargs, per_time, calls", [
    (2**32 - 1, "", 1, []),
    (2**28, "a=lambda t: [1.0] * 8, kernel='varcoef_magnus_graph'", 1 + 8, []),
    (2**28, "", 1 + 22, [0.0]),
])
def test_presampled_store_beyond_memory_refused_before_allocating_or_sampling(n_steps, kwargs, per_time, calls):
    need = 16 * n_steps * per_time
    if need <= PHYSICAL:
        pytest.skip("this machine could hold the samples")
    # Under a 2 GiB address-space limit: allocating first would end in a bare MemoryError.
    code = f"""
import resource, quorvane as q
resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))
g, calls = q.Graph.path(8), []
try:
    q.GraphAdjointPresampled.from_presampled(g, lambda t: calls.append(t) or g, 4.0, {n_steps}, 1.0, {kwargs})
except Exception as e:
    print(type(e).__name__, e)
print(calls)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    assert out.stdout.splitlines() == [
        f"QuorvaneError [OutOfDomain] n_steps = {n_steps}: the presampled store needs at least {exp3(need)} bytes, "
        f"more than this machine's memory ({exp3(PHYSICAL)} bytes)", str(calls)], out.stderr
