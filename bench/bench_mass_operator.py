"""MassKOperator.from_k_and_mass against SciPy (LAPACK) on the same matrices, as ratios.

The pencil is that of P1 elements on (0, 1) with Dirichlet ends plus a dense
symmetric positive-definite perturbation of the mass, so that the factor has no
zeros to exploit: M = M_P1 + 0.1 h G G^T / n with G standard normal (n x n), K the
P1 stiffness tridiag(-1, 2, -1) / h.

Construction does two O(n^3) things: the Cholesky factor M = R^T R and the bound
max_i sum_j |A_hat_ij| from every column of A_hat = R^-T K R^-1 (about 5 n^3 / 6
multiply-adds in all, the bound 4/5 of them). Columns:
- all s: from_k_and_mass on every processor of the process (its workers), best of
  REPEATS;
- one s: the same held to one processor (sched_setaffinity), the single-thread time;
- chol s: scipy.linalg.cholesky(M) (LAPACK potrf), and the ratio one / chol;
- full s: SciPy doing the whole construction: cholesky, R^-1 by solve_triangular
  of the identity, K R^-1 (sparse), R^-T of that by solve_triangular, the largest
  absolute row sum; and the ratios one / full and all / full.
SciPy runs on one thread: the BLAS is held to one (OPENBLAS_NUM_THREADS and
OMP_NUM_THREADS set before NumPy loads, unless already set), since a threaded BLAS
on a shared machine measures the other processes.

A second table times one product A_hat x (a back substitution, K, a forward
substitution: two triangles of the dense factor read once each) against NumPy's
dense matvec M @ x of the same n (one full square read once, one thread):
- product s: evolve on the chebyshev path at t rho = 2e-3 with rho the largest
  absolute row sum of A_hat (from the SciPy construction above), where the
  expansion has its smallest degree, 3 products; a third of the best time;
- matvec s: the best M @ x; and the ratio product / matvec.

Run:  PYTHONPATH=<build dir> python bench/bench_mass_operator.py [--quick]
(--quick: n = 1000 and 3000, best of two, under a minute.)
"""

from __future__ import annotations

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402
import scipy.linalg as sl  # noqa: E402
import scipy.sparse as sp  # noqa: E402

import quorvane  # noqa: E402
from harness import best_time, on_one_processor, options, progress  # noqa: E402


def pencil(n, seed=0):
    h = 1.0 / (n + 1)
    k = sp.diags([-np.ones(n - 1), 2 * np.ones(n), -np.ones(n - 1)], [-1, 0, 1]).tocsr() / h
    k.sort_indices()
    g = np.random.default_rng(seed).standard_normal((n, n))
    m = (np.diag(4 * np.ones(n)) + np.diag(np.ones(n - 1), 1) + np.diag(np.ones(n - 1), -1)) * h / 6
    m += 0.1 * h * (g @ g.T) / n
    return k, m


def scipy_construction(k, m):
    r = sl.cholesky(m)  # upper: M = R^T R
    ri = sl.solve_triangular(r, np.eye(m.shape[0]))
    a_hat = sl.solve_triangular(r, k @ ri, trans="T")
    return np.abs(a_hat).sum(axis=1).max()


def main():
    quick = options(__doc__, full="about 1 min", quick="about 30 s").quick
    sizes = (1000, 3000) if quick else (1000, 2000, 3000)
    repeats = 2 if quick else 3
    print(f"processors: {len(os.sched_getaffinity(0))}, OPENBLAS_NUM_THREADS={os.environ['OPENBLAS_NUM_THREADS']}")
    print(f"{'n':>6} {'all s':>8} {'one s':>8} {'chol s':>8} {'one/chol':>9} {'full s':>8} {'one/full':>9}"
          f" {'all/full':>9}")
    products = []
    for n in sizes:
        progress(f"n = {n}: construction, LAPACK's factor, SciPy's construction, one product")
        k, m = pencil(n)
        kop = quorvane.SymmetricOperator.from_csr(k.indptr.astype(np.int64), k.indices.astype(np.int32), k.data, n)
        flat = np.ascontiguousarray(m.ravel())
        build = lambda: quorvane.MassKOperator.from_k_and_mass(kop, flat)  # noqa: E731
        t_all, op = best_time(build, repeats)
        t_one, _ = on_one_processor(lambda: best_time(build, repeats))
        t_c, _ = best_time(lambda: sl.cholesky(m), repeats)
        t_f, rho = best_time(lambda: scipy_construction(k, m), repeats)
        assert op.n() == n
        print(f"{n:>6} {t_all:>8.3f} {t_one:>8.3f} {t_c:>8.3f} {t_one / t_c:>9.1f} {t_f:>8.3f} {t_one / t_f:>9.2f}"
              f" {t_all / t_f:>9.2f}")
        x = np.random.default_rng(1).standard_normal(n)
        t_p, _ = best_time(lambda: op.evolve(2e-3 / rho, x), 5 * repeats)
        t_mv, _ = best_time(lambda: m @ x, 5 * repeats)
        products.append((n, t_p / 3, t_mv))
    print(f"\n{'n':>6} {'product s':>10} {'matvec s':>10} {'product/matvec':>15}")
    for n, t_p, t_mv in products:
        print(f"{n:>6} {t_p:>10.5f} {t_mv:>10.5f} {t_p / t_mv:>15.2f}")


if __name__ == "__main__":
    main()
