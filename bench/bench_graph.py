"""Time to a relative error of the graph heat evolvers against SciPy's expm_multiply.

Problem: u(t) = exp(-t L) f0 with L the combinatorial Laplacian of
  - a path of N nodes,
  - a square 2-D grid of about N nodes (unit weights),
  - a random geometric graph of N points in the unit square (radius for mean degree 8),
t = 1 and f0 a fixed random normal vector. The reference is
scipy.sparse.linalg.expm_multiply (double-precision accuracy); the relative error is
max|u - ref| / max|ref|.

For each target error (1e-6 and 1e-10) every method runs at its cheapest setting that
reaches the target: GraphKrylov "chebyshev" at the largest tol in a decade sweep,
GraphKrylov "lanczos" at its default, GraphHeat4th and GraphHeat6 at the smallest step
count (doubling from the stable minimum). The table gives the best of a few timings of
that setting and its ratio to the time of expm_multiply on the same vector (lower is
faster; the goal is <= 0.5 at 1e-10 on 1e5 nodes).

Run: PYTHONPATH=<build dir> python bench/bench_graph.py [--full | --quick]
(--full adds 1e6 nodes; --quick runs 1e4 nodes only, one timing each.)
"""

from __future__ import annotations

import math

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import expm_multiply

import quorvane as q
from harness import best_time, options, progress

T = 1.0
TARGETS = (1e-6, 1e-10)


def path_graph(n):
    return q.Graph.path(n)


def grid_graph(n):
    side = int(round(math.sqrt(n)))
    idx = np.arange(side * side).reshape(side, side)
    right = np.stack([idx[:, :-1].ravel(), idx[:, 1:].ravel()], axis=1)
    down = np.stack([idx[:-1, :].ravel(), idx[1:, :].ravel()], axis=1)
    pairs = np.concatenate([right, down]).astype(float)
    return q.Graph.from_edges(side * side, np.column_stack([pairs, np.ones(len(pairs))]))


def geometric_graph(n, seed=3):
    from scipy.spatial import cKDTree

    pts = np.random.default_rng(seed).random((n, 2))
    r = math.sqrt(8.0 / (math.pi * n))
    pairs = cKDTree(pts).query_pairs(r, output_type="ndarray").astype(float)
    return q.Graph.from_edges(n, np.column_stack([pairs, np.ones(len(pairs))]))


def rel_err(u, ref):
    return float(np.abs(u - ref).max() / np.abs(ref).max())


def chebyshev_at(lap, f, target, repeats):
    for tol in (10.0**-k for k in range(4, 16)):
        gk = q.GraphKrylov(lap, path="chebyshev", tol=tol)
        u = gk.evolve_batched(T, f)[:, 0]
        if rel_err(u, REF) <= target:
            secs, _ = best_time(lambda: gk.evolve_batched(T, f), repeats)
            return secs, f"tol={tol:.0e}"
    return None, "not reached"


def lanczos_at(lap, f, target, repeats):
    gk = q.GraphKrylov(lap, path="lanczos")
    u = gk.evolve_batched(T, f)[:, 0]
    if rel_err(u, REF) > target:
        return None, f"err {rel_err(u, REF):.1e}"
    secs, _ = best_time(lambda: gk.evolve_batched(T, f), repeats)
    return secs, "m_max=18"


def taylor_at(cls, limit, lap, f0, target, repeats):
    rho = lap.spectral_bound
    n = max(1, math.ceil(T * rho / limit))
    ev = cls(laplacian=lap, rho_bar=rho)
    while n <= 1 << 15:
        u = ev.evolve(T, n, f0)
        if rel_err(u, REF) <= target:
            secs, _ = best_time(lambda: ev.evolve(T, n, f0), repeats)
            return secs, f"n_steps={n}"
        n *= 2
    return None, "not reached"


def main():
    global REF
    args = options(__doc__, full="about 40 s (--full: much longer)", quick="a few seconds",
                   add=lambda p: p.add_argument("--full", action="store_true", help="add graphs of 1e6 nodes"))
    sizes = [10_000] if args.quick else [10_000, 100_000] + ([1_000_000] if args.full else [])
    print(f"{'graph':>9} {'N':>8} {'target':>7} {'method':>13} {'setting':>13} {'time [s]':>9} {'ratio':>6}")
    for name, make in (("path", path_graph), ("grid", grid_graph), ("geometric", geometric_graph)):
        for n in sizes:
            g = make(n)
            lap = q.Laplacian.combinatorial(g)
            a = sp.csr_matrix((lap.vals(), lap.col_idx(), lap.row_ptr()), shape=(g.n_nodes, g.n_nodes))
            f0 = np.random.default_rng(1).standard_normal(g.n_nodes)
            f = f0[:, None].copy()
            repeats = 1 if args.quick or n > 100_000 else 3
            progress(f"{name}, {g.n_nodes} nodes")
            ref_secs, REF = best_time(lambda: expm_multiply(-T * a, f0), repeats)
            for target in TARGETS:
                rows = [
                    ("chebyshev", *chebyshev_at(lap, f, target, repeats)),
                    ("lanczos", *lanczos_at(lap, f, target, repeats)),
                    ("GraphHeat4th", *taylor_at(q.GraphHeat4th, 2.7852, lap, f0, target, repeats)),
                    ("GraphHeat6", *taylor_at(q.GraphHeat6, 3.5534, lap, f0, target, repeats)),
                ]
                print(f"{name:>9} {g.n_nodes:>8} {target:>7.0e} {'expm_multiply':>13} {'':>13} {ref_secs:>9.4f} {1.0:>6.2f}")
                for method, secs, setting in rows:
                    if secs is None:
                        print(f"{'':>9} {'':>8} {'':>7} {method:>13} {setting:>13} {'-':>9} {'-':>6}")
                    else:
                        print(f"{'':>9} {'':>8} {'':>7} {method:>13} {setting:>13} {secs:>9.4f} {secs / ref_secs:>6.2f}")


REF = None

if __name__ == "__main__":
    main()
