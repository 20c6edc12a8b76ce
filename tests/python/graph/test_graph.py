"""Graph, GraphPath and Laplacian: construction, validation and read-back."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

from quorvane import Graph, GraphPath, Laplacian, QuorvaneError


def splitmix_pairs(n, p, seed):
    """An independent splitmix64 G(n, p) edge list."""
    mask = (1 << 64) - 1
    state, edges = seed, []
    for i in range(n):
        for j in range(i + 1, n):
            state = (state + 0x9E3779B97F4A7C15) & mask
            z = state
            z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
            z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
            z ^= z >> 31
            if (z >> 11) * 2.0**-53 < p:
                edges.append((i, j))
    return edges


def test_erdos_renyi_matches_independent_stream():
    n, p, seed = 40, 0.15, 7
    edges = splitmix_pairs(n, p, seed)
    a = Laplacian.combinatorial(Graph.erdos_renyi(n, p, seed)).to_dense()
    ref = np.zeros((n, n))
    for i, j in edges:
        ref[i, j] = ref[j, i] = -1.0
    ref -= np.diag(ref.sum(axis=1))
    assert np.array_equal(a, ref)
    assert Graph.erdos_renyi(6, 1.0).n_directed_edges == 30
    assert Graph.erdos_renyi(6, 0.0).n_directed_edges == 0


def test_laplacians_equal_dense_formulas():
    rng = np.random.default_rng(3)
    edges = [(0, 1, 0.5), (1, 2, 2.0), (0, 3, 1.5), (2, 3, 0.25)]
    g = Graph.from_edges(5, np.array(edges))  # node 4 isolated
    w = np.zeros((5, 5))
    for u, v, x in edges:
        w[u, v] = w[v, u] = x
    d = w.sum(axis=1)
    comb = Laplacian.combinatorial(g)
    assert np.array_equal(comb.to_dense(), np.diag(d) - w)
    assert comb.spectral_bound == 2 * d.max() and comb.is_combinatorial and not comb.is_normalized
    inv = np.where(d > 0, 1 / np.sqrt(np.where(d > 0, d, 1)), 0.0)
    ref = np.diag((d > 0).astype(float)) - inv[:, None] * w * inv[None, :]
    assert np.allclose(Laplacian.normalized(g).to_dense(), ref, rtol=1e-15, atol=1e-15)
    assert comb.col_idx().dtype == np.int64 and comb.row_ptr()[-1] == len(comb.vals())
    x = rng.standard_normal(5)
    assert np.allclose(comb.to_dense() @ x, (np.diag(d) - w) @ x)


@pytest.mark.parametrize("edges, kind, msg", [
    ([[0, 1, 2.0], [1, 0, 1.0]], QuorvaneError, "[OutOfDomain] Graph::from_edges: duplicate edge"),
    ([[0, 1e12, 1.0]], QuorvaneError, "[OutOfDomain] Graph::from_edges: node index >= n_nodes"),
    ([[0, 1, math.nan]], QuorvaneError, "[NanInf] Graph::from_edges: weight must be finite and positive: NaN"),
    ([[0, 1, -1.0]], QuorvaneError, "[OutOfDomain] Graph::from_edges: weight must be finite and positive"),
    ([[math.nan, 1, 1.0]], QuorvaneError, "[NanInf] Graph::from_edges: node index must be a number > -1: NaN"),
    ([[-1.0, 1, 1.0]], QuorvaneError, "[OutOfDomain] Graph::from_edges: node index must be a number > -1"),
    ([[0, 1, 1.0, 2.0]], TypeError, "edges array must have shape (M, 3), got (1, 4)"),
])
def test_from_edges_refusals(edges, kind, msg):
    with pytest.raises(kind) as e:
        Graph.from_edges(4, np.array(edges, dtype=float))
    assert str(e.value) == msg


def test_from_edges_forms_and_factories():
    assert Graph.from_edges(3, [1.9, -0.5, 2.0]).degree(0) == 1  # truncation: nodes 1 and 0
    with pytest.raises(TypeError, match="shape \\(M, 3\\) or flat 1-D"):
        Graph.from_edges(3, [[0, 1, 1.0]])
    with pytest.raises(QuorvaneError, match="divisible by 3"):
        Graph.from_edges(3, [0.0, 1.0, 1.0, 2.0, 1.0])
    assert Graph.from_edges(4, np.zeros((0, 3))).n_nodes == 4
    with pytest.raises(TypeError):
        Graph()
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] cycle requires n_nodes >= 3$"):
        Graph.cycle(2)
    with pytest.raises(QuorvaneError, match="node index >= n_nodes"):
        Graph.path(3).degree(3)
    assert GraphPath(5).n_directed_edges() == 8 and GraphPath(1).n_directed_edges() == 0
    with pytest.raises(QuorvaneError, match="n_nodes must be >= 1"):
        GraphPath(0)


I64 = lambda *v: np.array(v, dtype=np.int64)  # noqa: E731
I32 = lambda *v: np.array(v, dtype=np.int32)  # noqa: E731
F64 = lambda *v: np.array(v, dtype=np.float64)  # noqa: E731


@pytest.mark.parametrize("args, msg", [
    ((I64(1, 2, 3), I32(0, 1, 1), F64(1, 1, 1), 2), "[OutOfDomain] from_csr_parts: row_ptr[0] must be 0"),
    ((I64(0, 2, 1), I32(0, 1), F64(1, 1), 2), "[OutOfDomain] from_csr_parts: row_ptr not monotone non-decreasing"),
    ((I64(0, -1, 1), I32(0), F64(1), 2), "[OutOfDomain] from_csr_parts: row_ptr not monotone non-decreasing"),
    ((I64(0, 1, 2), I32(0, -1), F64(1, 1), 2), "[OutOfDomain] from_csr_parts: col_idx entry >= n_nodes"),
    ((I64(0, 2, 4), I32(0, 1, 0, 1), F64(1, math.nan, -1, 1), 2),
     "[NanInf] Laplacian::from_csr: non-finite entry: NaN"),
    ((I64(0, 2, 4), I32(0, 1, 0, 1), F64(1, -1, -1, -2), 2),
     "[OutOfDomain] Laplacian::from_csr: diagonal entry must be >= 0"),
    ((I64(0, 1, 2), I32(0, 1), F64(1, 0, 1, 0)[::2], 2), "[GridMismatch] data must be contiguous"),
])
def test_from_csr_refusals(args, msg):
    with pytest.raises(QuorvaneError) as e:
        Laplacian.from_csr(*args)
    assert str(e.value) == msg


def test_from_csr_accepts_general_symmetric():
    lap = Laplacian.from_csr(I64(0, 2, 4), I32(0, 1, 1, 0), F64(2, 0.5, 1, 0.5), 2)  # positive off-diagonal
    assert not lap.is_combinatorial and not lap.is_normalized and lap.spectral_bound == 2.5
    assert np.array_equal(lap.to_dense(), [[2, 0.5], [0.5, 1]])
    with pytest.raises(TypeError, match="indices"):
        Laplacian.from_csr(I64(0, 1), I64(0), F64(1), 1)
    empty = Laplacian.from_csr(I64(0), I32(), F64(), 0)
    assert empty.to_dense().shape == (0, 0) and empty.spectral_bound == 0.0



PHYSICAL = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
N = 2**32 - 1


def exp3(x):
    mant, exp = f"{x:.3e}".split("e")
    return f"{mant}e{int(exp)}"


# need: the builder's least memory, 32 bytes a node and 28 a stored entry (None: 2^64 or more;
# 0: the graph fits and is built).
@pytest.mark.parametrize("call, n_nodes, need", [
    ("q.Graph.path(N)", N, 32 * N + 8 + 28 * 2 * (N - 1)),
    ("q.GraphPath(N)", N, 32 * N + 8 + 28 * 2 * (N - 1)),
    ("q.Graph.cycle(N)", N, 32 * N + 8 + 28 * 2 * N),
    # Edges are known valid only one at a time: the node lists alone are counted.
    ("q.Graph.from_edges(N, [0, 1, 1.0])", N, 32 * N + 8),
    ("q.Graph.erdos_renyi(N, 0.5)", N, 32 * N + 8),
    # p >= 1 makes the complete graph, whose n(n - 1) entries are known up front.
    ("q.Graph.erdos_renyi(2**17, 1.0)", 2**17, 32 * 2**17 + 8 + 28 * 2**17 * (2**17 - 1)),
    ("q.Graph.erdos_renyi(N, 2.0)", N, None),
    ("q.Graph.path(2**20).n_nodes", 2**20, 0),
])
def test_sizes_beyond_memory_refused_before_allocating_in_a_subprocess(call, n_nodes, need):
    if need and need <= PHYSICAL:
        pytest.skip("this machine could hold the graph")
    # Run under a 2 GiB address-space limit: allocating first would end in a bare MemoryError.
    code = f"""
import resource, quorvane as q
resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))
N = {N}
try:
    print({call})
except Exception as e:
    print(type(e).__name__, e)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    expected = str(n_nodes) if need == 0 else (
        f"QuorvaneError [OutOfDomain] n_nodes = {n_nodes}: the graph needs at least "
        f"{'2^64' if need is None else exp3(need)} bytes, more than this machine's memory ({exp3(PHYSICAL)} bytes)")
    assert out.stdout.strip() == expected, out.stderr
