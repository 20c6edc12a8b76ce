"""graph_expmv_frechet and symmetric_op_expmv_frechet against SciPy's expm_frechet."""

import math

import numpy as np
import pytest
import scipy.sparse as sp
from scipy.linalg import expm_frechet

from conftest import error_text, raises_exact
from quorvane import (Graph, GraphKrylov, Laplacian, QuorvaneError, SymmetricOperator, graph_expmv_frechet,
                      symmetric_op_expmv_frechet)

N = 12
PAIRS = [(i, i + 1) for i in range(N - 1)] + [(0, 5), (7, 3)]  # two pairs that are no edge


def weighted_path(seed=0):
    w = np.random.default_rng(seed).uniform(0.5, 1.5, N - 1)
    return Graph.from_edges(N, np.array([[i, i + 1, w[i]] for i in range(N - 1)]))


def data(c, seed=1):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((N, c)), rng.standard_normal((N, c))


def reference(m, u0, dj, t, directions):
    """sum_c <dj_c, L(-tM, -t E) u0_c> for each derivative direction E of M."""
    return np.array([np.sum(dj * (expm_frechet(-t * m, -t * e)[1] @ u0)) for e in directions])


def edge_direction(i, j):
    e = np.zeros((N, N))
    e[i, i] = e[j, j] = 1.0
    e[i, j] = e[j, i] = -1.0
    return e


def symmetric_of(m):
    a = sp.csr_matrix(m)
    a.sort_indices()
    return SymmetricOperator.from_csr(a.indptr.astype(np.int64), a.indices.astype(np.int32), a.data, N)


# A single 8-point rule over [0, 1] is off by 5e-5 at t rho = 31 and by percents
# at 123; the panelled rule must hold to the actions' accuracy at every size.
@pytest.mark.parametrize("t_rho", [2.0, 31.0, 200.0])
@pytest.mark.parametrize("path", ["chebyshev", "lanczos"])
def test_graph_gradient_against_expm_frechet(t_rho, path):
    lap = Laplacian.combinatorial(weighted_path())
    t = t_rho / lap.spectral_bound
    u0, dj = data(2)
    g = graph_expmv_frechet(GraphKrylov(lap, path=path), u0, dj, t=t, params=PAIRS)
    ref = reference(lap.to_dense(), u0, dj, t, [edge_direction(i, j) for i, j in PAIRS])
    assert np.abs(g - ref).max() <= 1.5e-9 * np.abs(ref).max()  # actions at tol 1e-10


@pytest.mark.parametrize("t_rho", [2.0, 200.0])
def test_symmetric_gradient_against_expm_frechet(t_rho):
    m = Laplacian.combinatorial(weighted_path(3)).to_dense() + np.diag(np.linspace(0.0, 1.0, N))
    op = symmetric_of(m)
    t = t_rho / op.lambda_max_bound()
    u0, dj = data(3, seed=2)
    entries = [(0, 1), (1, 0), (4, 4), (2, 9)]
    dirs = []
    for i, j in entries:
        e = np.zeros((N, N))
        e[i, j] = e[j, i] = 1.0
        dirs.append(e)
    g = symmetric_op_expmv_frechet(op, u0, dj, t=t, entries=entries)
    ref = reference(m, u0, dj, t, dirs)
    assert np.abs(g - ref).max() <= 1e-10 * np.abs(ref).max()  # actions at tol 1e-12
    assert g[0] == g[1]


@pytest.mark.parametrize("fn", ["graph", "symmetric"])
def test_swap_and_channel_sum(fn):
    lap = Laplacian.combinatorial(weighted_path(5))
    if fn == "graph":
        gk = GraphKrylov(lap)
        call = lambda u, d: graph_expmv_frechet(gk, u, d, t=40.0 / lap.spectral_bound, params=PAIRS)
    else:
        op = symmetric_of(lap.to_dense())
        call = lambda u, d: symmetric_op_expmv_frechet(op, u, d, t=40.0 / lap.spectral_bound, entries=PAIRS)
    u0, dj = data(3, seed=4)
    g = call(u0, dj)
    scale = np.abs(g).max()
    # Mirrored nodes carry equal weights and dA/dtheta is symmetric.
    assert np.abs(call(dj, u0) - g).max() <= 1e-10 * scale
    single = sum(call(u0[:, c:c + 1], dj[:, c:c + 1]) for c in range(3))
    assert np.abs(single - g).max() <= 1e-13 * scale


def test_laplacian_kinds():
    g = weighted_path(6)
    comb = Laplacian.combinatorial(g)
    general = Laplacian.from_csr(comb.row_ptr(), comb.col_idx().astype(np.int32), comb.vals(), N)
    u0, dj = data(1)
    a = graph_expmv_frechet(GraphKrylov(comb), u0, dj, t=2.0, params=PAIRS)
    assert np.array_equal(graph_expmv_frechet(GraphKrylov(general), u0, dj, t=2.0, params=PAIRS), a)
    raises_exact(QuorvaneError, "[Unsupported] graph_expmv_frechet: edge-weight gradients of a normalized "
                 "Laplacian are not supported (the derivative used is that of L = D - W)",
                 graph_expmv_frechet, GraphKrylov(Laplacian.normalized(g)), u0, dj, t=2.0, params=PAIRS)
    assert graph_expmv_frechet(GraphKrylov(comb), u0, dj, t=2.0, params=[]).shape == (0,)


ONE = np.ones((N, 1))


@pytest.mark.parametrize("kw, msg", [
    (dict(t=math.nan, params="all_edges"), "[OutOfDomain] graph_expmv_frechet: t must be finite and positive"),
    (dict(t=-0.0, params=PAIRS), "[OutOfDomain] graph_expmv_frechet: t must be finite and positive"),
    (dict(u0=np.ones((N + 1, 1)), params=PAIRS), f"[GridMismatch] f0.shape[0]={N + 1} != n_nodes={N}"),
    (dict(dj=np.ones((N, 0)), params=PAIRS), "[OutOfDomain] n_cols must be >= 1"),
    (dict(dj=np.ones((N, 2)), params=PAIRS),
     f"[OutOfDomain] graph_expmv_frechet: u0 shape [{N},1] != dj shape [{N},2]"),
    (dict(params="all_edges"),
     "[OutOfDomain] graph_expmv_frechet: 'all_edges' not supported \u2014 pass explicit list[(i,j)] pairs"),
    (dict(params=[(0, 1), (2,)]), "[OutOfDomain] graph_expmv_frechet: params must be list[(int, int)]"),
    (dict(params=[(0, -1)]), "[OutOfDomain] graph_expmv_frechet: params must be list[(int, int)]"),
    (dict(params=[(0, 1), (N, 2)]), f"[OutOfDomain] graph_expmv_frechet: edge ({N},2) out of range for n_nodes={N}"),
    (dict(params=[(0, 1), (3, 3)]), "[OutOfDomain] apply_edge_weight_deriv: self-loop (i==j)"),
    (dict(u0=np.full((N, 1), math.inf), params=PAIRS), "[NanInf] u0 contains NaN or Inf: inf"),
])
def test_graph_refusals(kw, msg):
    args = dict(u0=ONE, dj=ONE, t=1.0) | kw
    gk = GraphKrylov(Laplacian.combinatorial(weighted_path()))
    raises_exact(QuorvaneError, msg, lambda: graph_expmv_frechet(gk, args.pop("u0"), args.pop("dj"), **args))


# A finite t whose product with the bound overflows is refused for its work,
# as a long finite t is, never as a non-finite input.
@pytest.mark.parametrize("which", ["graph", "symmetric"])
@pytest.mark.parametrize("t", [1e10, 1.7e308])
def test_long_t_is_refused_for_its_work(which, t):
    lap = Laplacian.combinatorial(weighted_path())
    if which == "graph":
        call, op, bound = graph_expmv_frechet, GraphKrylov(lap), "spectral_bound"
        kw = dict(params=PAIRS)
    else:
        call, op, bound = symmetric_op_expmv_frechet, symmetric_of(lap.to_dense()), "lambda_max_bound"
        kw = dict(entries=PAIRS)
    text = error_text(call, op, ONE, ONE, t=t, **kw)
    assert text.startswith(f"[OutOfDomain] {call.__name__}: t * {bound} too large: the quadrature would need")
    assert text.endswith("t - s - t_k, dj)")


@pytest.mark.parametrize("kw, exc, msg", [
    (dict(t=math.inf), QuorvaneError, "[OutOfDomain] t must be finite and positive"),
    (dict(dj=np.ones((N, 2))), QuorvaneError, "[OutOfDomain] u0 and dj shapes must match"),
    (dict(entries=[(0, N)]), QuorvaneError, f"[OutOfDomain] entry (0,{N}) out of range for n={N}"),
    (dict(entries="ab"), TypeError, "argument 'entries': expected a sequence of (int, int) tuples"),
    (dict(entries=[[0, 1]]), TypeError, "argument 'entries': expected a sequence of (int, int) tuples"),
    (dict(entries=[(0, -1)], t=-1.0), OverflowError, "can't convert negative int to unsigned"),
])
def test_symmetric_refusals(kw, exc, msg):
    args = dict(u0=ONE, dj=ONE, t=1.0, entries=[(0, 1)]) | kw
    op = symmetric_of(Laplacian.combinatorial(weighted_path()).to_dense())
    raises_exact(exc, msg, lambda: symmetric_op_expmv_frechet(op, args.pop("u0"), args.pop("dj"), **args))


WORK = ("{name}: t * {bound} too large: the quadrature would need more than 10000000 operator products per column; "
        "split t into pieces of t_k * {bound} <= 8944 and sum their gradients, the piece over [s, s + t_k] taken "
        "from u0 = {obj}.evolve_batched(s, u0) with dj = {obj}.evolve_batched(t - s - t_k, dj)")


# One heavy edge sets rho ~ 2000 while the rest of the path keeps t lambda_2 of order one,
# so at t rho = 1e4 the gradient does not vanish. The quadrature's work, (t rho)^2 / 8
# products, passes 1e7 at t rho = 8944.3: one call is refused with the function's own name,
# and the split its message names gives the dense gradient.
@pytest.mark.parametrize("fn", ["graph", "symmetric"])
def test_long_t_refusal_names_the_function_and_a_split_that_passes(fn):
    w = np.ones(N - 1)
    w[0] = 1000.0
    lap = Laplacian.combinatorial(Graph.from_edges(N, np.column_stack([np.arange(N - 1), np.arange(1, N), w])))
    t = 1e4 / lap.spectral_bound
    u0, dj = data(1, seed=6)
    if fn == "graph":
        obj, pairs = GraphKrylov(lap), PAIRS
        call = lambda u, d, tt: graph_expmv_frechet(obj, u, d, t=tt, params=pairs)
        text = WORK.format(name="graph_expmv_frechet", bound="spectral_bound", obj="gk")
        dirs = [edge_direction(i, j) for i, j in pairs]
    else:
        obj, pairs = symmetric_of(lap.to_dense()), [(0, 1), (4, 4), (2, 9)]
        call = lambda u, d, tt: symmetric_op_expmv_frechet(obj, u, d, t=tt, entries=pairs)
        text = WORK.format(name="symmetric_op_expmv_frechet", bound="lambda_max_bound", obj="op")
        dirs = [np.zeros((N, N)) for _ in pairs]
        for e, (i, j) in zip(dirs, pairs):
            e[i, j] = e[j, i] = 1.0
    raises_exact(QuorvaneError, f"[OutOfDomain] {text}", call, u0, dj, t)
    split = call(u0, obj.evolve_batched(t / 2, dj), t / 2) + call(obj.evolve_batched(t / 2, u0), dj, t / 2)
    ref = reference(lap.to_dense(), u0, dj, t, dirs)
    # Actions at tol 1e-10 in each piece; measured 8e-11 (graph), 4e-11 (entries).
    assert np.abs(split - ref).max() <= 1e-9 * np.abs(ref).max()
