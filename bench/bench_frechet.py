"""Frechet gradients of e^{-tL}: graph_expmv_frechet against dense SciPy, and the
cost of one gradient against one forward action, as ratios measured in one run.

Problem: J = <dj, e^{-tL} u0> with L the combinatorial Laplacian of an r x r grid
graph with weights uniform in [0.5, 1.5], u0 and dj one random normal column each,
t chosen so that t * rho (rho the Laplacian's Gershgorin bound) is 2, 50 or 200.
The parameters are all edges of the grid.

Table 1 (small n): scipy.linalg.expm_frechet(-tL, -tE_k) once per edge k (the dense
reference; a Frechet derivative per direction) against one graph_expmv_frechet call
over all edges (GraphKrylov chebyshev; timed at the default tol 1e-10). err is
max|g - ref| / max|ref| at tol 1e-10 and at tol 1e-12: the gradient decays with
t * rho while the actions' errors scale with |u0| |dj|, so at t * rho = 200 the
relative error is set by the action tolerance, not by the quadrature. ratio is
SciPy's time over ours. Both run on one thread (BLAS threads pinned to 1 below).

Table 2 (large n): the time of one graph_expmv_frechet call over all edges against
one forward action GraphKrylov.evolve_batched(t, u0) at the same tol, and against
central finite differences over all K edges (2K forward actions, estimated as 2K
times the measured forward time).

Table 3 (beyond the work limit): the quadrature's work grows like (t * rho)^2, so one call
with t * rho above 8944 is refused. The gradient over t is the sum over pieces
[s, s + dt] of the gradient over dt from u0 carried to s and dj carried back from t to
s + dt; the table splits t into K equal pieces, carrying u0 and dj from piece to piece
by one action each, on a path of n nodes (weights uniform in [0.5, 1.5]; n chosen so that
t * lambda_2 is about 1 and the gradient does not vanish) for four edges, against
expm_frechet: the relative error and the time of the K pieces, one timing.

Run: PYTHONPATH=<build dir> python bench/bench_frechet.py [--quick]
(--quick: 36 and 100 nodes in table 1, 10^4 in table 2, one timing each; table 3 at
t * rho = 1e4 only.)
"""

from __future__ import annotations

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import time  # noqa: E402

import numpy as np  # noqa: E402
from scipy.linalg import expm_frechet  # noqa: E402

import quorvane as q  # noqa: E402
from harness import options, progress  # noqa: E402

REPEATS = 3
T_RHO = (2.0, 50.0, 200.0)


def grid_graph(r, seed=0):
    rng = np.random.default_rng(seed)
    edges = []
    for i in range(r):
        for j in range(r):
            k = i * r + j
            if j + 1 < r:
                edges.append((k, k + 1))
            if i + 1 < r:
                edges.append((k, k + r))
    w = rng.uniform(0.5, 1.5, len(edges))
    g = q.Graph.from_edges(r * r, np.array([[a, b, x] for (a, b), x in zip(edges, w)]))
    return g, edges


def best_time(fn, repeats=None):
    best, out = float("inf"), None
    for _ in range(repeats or REPEATS):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def dense_reference(lap_dense, u0, dj, t, edges):
    n = lap_dense.shape[0]
    out = np.empty(len(edges))
    for k, (i, j) in enumerate(edges):
        e = np.zeros((n, n))
        e[i, i] = e[j, j] = 1.0
        e[i, j] = e[j, i] = -1.0
        out[k] = dj[:, 0] @ (expm_frechet(-t * lap_dense, -t * e, compute_expm=False) @ u0[:, 0])
    return out


def weighted_path(n, seed=0):
    w = np.random.default_rng(seed).uniform(0.5, 1.5, n - 1)
    return q.Graph.from_edges(n, np.column_stack([np.arange(n - 1), np.arange(1, n), w]))


def split_gradient(gk, u0, dj, t, pieces, params):
    dt = t / pieces
    starts, ends = [u0], [dj]  # u0 carried to k dt; dj carried back over k dt
    for _ in range(pieces - 1):
        starts.append(gk.evolve_batched(dt, starts[-1]))
        ends.append(gk.evolve_batched(dt, ends[-1]))
    return sum(q.graph_expmv_frechet(gk, starts[k], ends[pieces - 1 - k], t=dt, params=params)
               for k in range(pieces))


def split_table(quick):
    print("\nTable 3: t * rho beyond the limit, t split into K pieces (one call refused)")
    print(f"{'n':>6} {'t*rho':>8} {'K':>6} {'err':>9} {'time [s]':>10}")
    rng = np.random.default_rng(2)
    for n, t_rho, counts in ((160, 1e4, (2, 10, 100)),) + (() if quick else ((500, 1e5, (100, 1000)),)):
        progress(f"table 3, {n} nodes, t * rho = {t_rho:g}")
        lap = q.Laplacian.combinatorial(weighted_path(n))
        gk = q.GraphKrylov(lap)
        t = t_rho / lap.spectral_bound
        u0, dj = rng.standard_normal((n, 1)), rng.standard_normal((n, 1))
        params = [(0, 1), (n // 3, n // 3 + 1), (n // 2, n // 2 + 1), (n - 2, n - 1)]
        ref = dense_reference(lap.to_dense(), u0, dj, t, params)
        try:
            q.graph_expmv_frechet(gk, u0, dj, t=t, params=params)
            print(f"{n:>6} {t_rho:>8.0e} {1:>6} accepted")
        except q.QuorvaneError:
            print(f"{n:>6} {t_rho:>8.0e} {1:>6}   refused")
        for pieces in counts:
            secs, grad = best_time(lambda: split_gradient(gk, u0, dj, t, pieces, params), repeats=1)
            print(f"{n:>6} {t_rho:>8.0e} {pieces:>6} {np.abs(grad - ref).max() / np.abs(ref).max():>9.1e} "
                  f"{secs:>10.2f}")


def main():
    global REPEATS
    quick = options(__doc__, full="about 1.5 min", quick="about 10 s").quick
    if quick:
        REPEATS = 1
    rng = np.random.default_rng(1)
    print("Table 1: against dense expm_frechet (one call per edge)")
    print(f"{'n':>6} {'K':>6} {'t*rho':>6} {'scipy [s]':>10} {'ours [s]':>10} {'ratio':>8} {'err':>9} "
          f"{'err@1e-12':>10}")
    for r in (6, 10) if quick else (6, 10, 14):
        progress(f"table 1, {r * r} nodes")
        g, edges = grid_graph(r)
        lap = q.Laplacian.combinatorial(g)
        gk = q.GraphKrylov(lap)
        dense = lap.to_dense()
        u0, dj = rng.standard_normal((r * r, 1)), rng.standard_normal((r * r, 1))
        for t_rho in T_RHO:
            t = t_rho / lap.spectral_bound
            ref_secs, ref = best_time(lambda: dense_reference(dense, u0, dj, t, edges), repeats=1)
            secs, grad = best_time(lambda: q.graph_expmv_frechet(gk, u0, dj, t=t, params=edges))
            tight = q.graph_expmv_frechet(q.GraphKrylov(lap, tol=1e-12), u0, dj, t=t, params=edges)
            err, err_tight = (np.abs(x - ref).max() / np.abs(ref).max() for x in (grad, tight))
            print(f"{r * r:>6} {len(edges):>6} {t_rho:>6.0f} {ref_secs:>10.4f} {secs:>10.5f} "
                  f"{ref_secs / secs:>8.0f} {err:>9.1e} {err_tight:>10.1e}")

    print("\nTable 2: one gradient over all edges against one forward action")
    print(f"{'n':>8} {'K':>8} {'t*rho':>6} {'forward [s]':>12} {'gradient [s]':>13} {'grad/fwd':>9} "
          f"{'2K fwd / grad':>14}")
    for r in (100,) if quick else (100, 200):
        progress(f"table 2, {r * r} nodes")
        g, edges = grid_graph(r)
        lap = q.Laplacian.combinatorial(g)
        gk = q.GraphKrylov(lap)
        u0, dj = rng.standard_normal((r * r, 1)), rng.standard_normal((r * r, 1))
        for t_rho in T_RHO:
            t = t_rho / lap.spectral_bound
            fwd, _ = best_time(lambda: gk.evolve_batched(t, u0))
            secs, _ = best_time(lambda: q.graph_expmv_frechet(gk, u0, dj, t=t, params=edges))
            print(f"{r * r:>8} {len(edges):>8} {t_rho:>6.0f} {fwd:>12.5f} {secs:>13.4f} {secs / fwd:>9.1f} "
                  f"{2 * len(edges) * fwd / secs:>14.0f}")
    split_table(quick)


if __name__ == "__main__":
    main()
