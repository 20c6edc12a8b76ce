"""Which exponential route for graph heat: GraphKrylov's Chebyshev and Lanczos paths
against SciPy's expm_multiply, as the time t (so t * rho, rho the spectral bound) grows.

Problem: u(t) = exp(-t L) f0 for the combinatorial Laplacian L of a path, a square grid
and a random geometric graph (the graphs of bench_graph.py) with 10^4 nodes, f0 a fixed
random vector, t = 1, 10, 100, 1000. Every route runs at its default settings (Chebyshev
and Lanczos tol = 1e-10, Lanczos m_max = 18); the error is max|u - ref| / max|ref| against
expm_multiply. Times are the best of a few runs; the ratios are route time over
expm_multiply's time and Lanczos time over Chebyshev's.

Run: PYTHONPATH=<build dir> python bench/bench_graph_routes.py [--quick]
(--quick: 2000 nodes, t = 1 and 10, one timing each.)
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import expm_multiply

import quorvane as q
from bench_graph import best_time, geometric_graph, grid_graph, path_graph, rel_err
from harness import options, progress

N = 10_000
TIMES = (1.0, 10.0, 100.0, 1000.0)


def scipy_laplacian(lap):
    n = lap.n_nodes
    return sp.csr_matrix((lap.vals(), lap.col_idx(), lap.row_ptr()), shape=(n, n))


def main():
    quick = options(__doc__, full="about 5 min on eight processors, 13 on two busy ones", quick="a few seconds").quick
    n, times, repeats = (2_000, TIMES[:2], 1) if quick else (N, TIMES, 3)
    print(f"quorvane {q.version()}: exp(-t L) f0 on graphs of {n} nodes, default tolerances")
    print(f"{'graph':>9} {'t*rho':>8} {'expm_mult s':>11} {'cheb s':>8} {'ratio':>6} {'err':>8}"
          f" {'lanczos s':>9} {'ratio':>6} {'err':>8} {'lanc/cheb':>9}")
    rng = np.random.default_rng(1)
    for name, make in (("path", path_graph), ("grid", grid_graph), ("geometric", geometric_graph)):
        g = make(n)
        lap = q.Laplacian.combinatorial(g)
        a = scipy_laplacian(lap)
        f = rng.standard_normal((lap.n_nodes, 1))
        for t in times:
            progress(f"{name}, t = {t:g}: expm_multiply, Chebyshev, Lanczos")
            ts, ref = best_time(lambda: expm_multiply(-t * a, f[:, 0]), repeats)
            cheb = q.GraphKrylov(lap, path="chebyshev")
            lanc = q.GraphKrylov(lap, path="lanczos")
            tc, uc = best_time(lambda: cheb.evolve_batched(t, f)[:, 0], repeats)
            tl, ul = best_time(lambda: lanc.evolve_batched(t, f)[:, 0], repeats)
            print(f"{name:>9} {t * lap.spectral_bound:>8.0f} {ts:>11.4f} {tc:>8.4f} {tc / ts:>6.2f}"
                  f" {rel_err(uc, ref):>8.1e} {tl:>9.4f} {tl / ts:>6.2f} {rel_err(ul, ref):>8.1e} {tl / tc:>9.1f}")


if __name__ == "__main__":
    main()
