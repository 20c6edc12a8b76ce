"""Sparse operators: phi-function actions against SciPy's expm_multiply, and ETDRK4
against SciPy's stiff integrators on Allen-Cahn, as ratios measured in one run.

phi_action: phi_k(tau A) v (A = -L, L the Neumann path Laplacian scaled so that
tau * lambda_bar = 20) for k = 0 and 3, against
scipy.sparse.linalg.expm_multiply on the (n + 3)-dimensional augmented matrix
[[tau A, v e1^T], [0, J]] (the same identity the library uses); best of REPEATS.
The error column is the largest difference between the two results relative to
the largest entry.

Etdrk4: du/dt = -L u + u - u^3 with L = eps^2 / dx^2 times the Neumann path
Laplacian, dx = 0.01 and eps = 0.05 (lambda_bar = 100 whatever n: the domain
grows with n), t in [0, 1]. The reference is ETDRK4 itself with 1024 steps (its
error is four orders below the finest target at that step). Time to accuracy:
for ETDRK4 the step counts 1, 2, 4, ... ; for solve_ivp (Radau and BDF with the
sparse Jacobian, LSODA with its banded finite-difference Jacobian) the tolerances rtol = atol = 1e-3, 1e-4, ...; each route's
time is that of the cheapest setting whose relative max-norm error is below the
target. The ratio is the best solve_ivp route's time over ETDRK4's.

Implicit action: SymmetricOperator.evolve_batched(path="implicit") on the Neumann path
Laplacian (t = 0.5, n_steps = 4, tol = 1e-10, one column) against SciPy's backward Euler
with the same steps (splu of I + (t/n_steps) L, factor time included); best of REPEATS.

Run: PYTHONPATH=<build dir> python bench/bench_sparse.py [--quick]
(--quick: the smaller sizes, one timing each.)
"""

from __future__ import annotations

import time

import numpy as np
import scipy.sparse as sp
from scipy.integrate import solve_ivp
from scipy.sparse.linalg import expm_multiply, splu

import quorvane
from harness import options, progress

REPEATS = 3
PHI_SIZES, IMPLICIT_SIZES, ETD_SIZES = (1_000, 10_000, 100_000), (20_000, 100_000), (1_000, 10_000, 100_000)
TARGETS = (1e-6, 1e-9)
ROUTE_BUDGET = 120.0  # seconds; a route slower than this at one setting is not pursued


def neumann_laplacian(n, scale):
    main = 2.0 * np.ones(n)
    main[0] = main[-1] = 1.0
    lap = sp.diags([-np.ones(n - 1), main, -np.ones(n - 1)], [-1, 0, 1]).tocsr() * scale
    lap.sort_indices()
    return lap


def symmetric(lap):
    return quorvane.SymmetricOperator.from_csr(lap.indptr.astype(np.int64), lap.indices.astype(np.int32),
                                               lap.data, lap.shape[0])


def best_time(fn):
    best, out = float("inf"), None
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def augmented(lap, tau, v):
    n = lap.shape[0]
    top = sp.hstack([-tau * lap, sp.csr_matrix((v, (np.arange(n), np.zeros(n, int))), shape=(n, 3))])
    j = sp.csr_matrix(([1.0, 1.0], ([0, 1], [1, 2])), shape=(3, 3))
    bottom = sp.hstack([sp.csr_matrix((3, n)), j])
    return sp.vstack([top, bottom]).tocsr()


def bench_phi():
    print("phi_action vs expm_multiply on the augmented matrix (tau * lambda_bar = 20)")
    print(f"{'n':>8} {'k':>2} {'quorvane s':>11} {'scipy s':>10} {'ratio':>7} {'rel diff':>9}")
    rng = np.random.default_rng(0)
    for n in PHI_SIZES:
        progress(f"phi_action, n = {n}")
        lap = neumann_laplacian(n, 1.0)
        op = symmetric(lap)
        tau = 20.0 / op.lambda_max_bound()
        v = rng.standard_normal(n)
        b = augmented(lap, tau, v)
        for k in (0, 3):
            w0 = np.zeros(n + 3)
            if k == 0:
                w0[:n] = v
            else:
                w0[n + k - 1] = 1.0
            tq, got = best_time(lambda: quorvane.phi_action(op, k, tau, v))
            ts, ref = best_time(lambda: expm_multiply(b, w0)[:n])
            diff = np.abs(got - ref).max() / np.abs(ref).max()
            print(f"{n:>8} {k:>2} {tq:>11.4f} {ts:>10.4f} {ts / tq:>7.2f} {diff:>9.1e}")


def allen_cahn(n):
    dx, eps = 0.01, 0.05
    lap = neumann_laplacian(n, eps**2 / dx**2)
    x = dx * np.arange(n)
    u0 = 0.5 * np.cos(2 * np.pi * x / 2.5) + 0.2 * np.sin(2 * np.pi * x / 1.7)
    return lap, u0


def time_to_accuracy(run, settings, ref):
    """{target: (seconds, setting)} for the cheapest setting of `run` under each target."""
    found = {}
    for s in settings:
        t0 = time.perf_counter()
        u = run(s)
        dt = time.perf_counter() - t0
        err = np.abs(u - ref).max() / np.abs(ref).max()
        for target in TARGETS:
            if target not in found and err <= target:
                found[target] = (dt, s)
        if len(found) == len(TARGETS) or dt > ROUTE_BUDGET:
            break
    return found


def bench_etdrk4():
    print("\nEtdrk4 vs solve_ivp on Allen-Cahn (lambda_bar = 100, t = 1): seconds to reach the relative error")
    print(f"{'n':>8} {'target':>7} {'Etdrk4 s':>9} {'steps':>6} {'best ivp':>9} {'route':>16} {'ratio':>7}")
    for n in ETD_SIZES:
        progress(f"Etdrk4 and solve_ivp, n = {n}")
        lap, u0 = allen_cahn(n)
        scheme = lambda steps: quorvane.Etdrk4.from_symmetric_op(symmetric(lap), "allen_cahn", 1.0 / steps)
        ref = scheme(1024).integrate(u0, 1024)
        etd = time_to_accuracy(lambda m: scheme(m).integrate(u0, m), [2**i for i in range(0, 10)], ref)

        def f(t, u):
            return -(lap @ u) + u - u**3

        def jac(t, u):
            return (-lap + sp.diags(1 - 3 * u**2)).tocsc()

        routes = {}
        for method in ("Radau", "BDF", "LSODA"):
            kw = {"jac": jac} if method != "LSODA" else {"lband": 1, "uband": 1}
            run = lambda tol, m=method, kw=kw: solve_ivp(f, (0, 1), u0, method=m, rtol=tol, atol=tol, **kw).y[:, -1]
            routes[method] = time_to_accuracy(run, [10.0**-e for e in range(3, 14)], ref)
        for target in TARGETS:
            te = etd.get(target)
            best = min(((r[target][0], name, r[target][1]) for name, r in routes.items() if target in r),
                       default=None)
            te_s = f"{te[0]:>9.3f} {te[1]:>6}" if te else f"{'-':>9} {'-':>6}"
            if best:
                ratio = f"{best[0] / te[0]:>7.2f}" if te else f"{'-':>7}"
                print(f"{n:>8} {target:>7.0e} {te_s} {best[0]:>9.3f} {best[1] + ' ' + format(best[2], '.0e'):>16} {ratio}")
            else:
                print(f"{n:>8} {target:>7.0e} {te_s} {'-':>9} {'none in budget':>16} {'-':>7}")


def bench_implicit():
    print("implicit backward-Euler action vs scipy splu backward Euler (t = 0.5, 4 steps)")
    print(f"{'n':>8} {'quorvane s':>11} {'scipy s':>10} {'ratio':>7} {'rel diff':>9}")
    t, steps = 0.5, 4
    for n in IMPLICIT_SIZES:
        progress(f"implicit action, n = {n}")
        lap = neumann_laplacian(n, 1.0)
        op = symmetric(lap)
        v = np.sin(np.linspace(0.0, 3.0, n))

        def scipy_be():
            lu = splu((sp.identity(n, format="csc") + (t / steps) * lap).tocsc())
            y = v
            for _ in range(steps):
                y = lu.solve(y)
            return y

        tq, yq = best_time(lambda: op.evolve_batched(t, v[:, None], path="implicit", n_steps=steps, tol=1e-10)[:, 0])
        ts, ys = best_time(scipy_be)
        diff = np.max(np.abs(yq - ys)) / np.max(np.abs(ys))
        print(f"{n:>8} {tq:>11.4f} {ts:>10.4f} {ts / tq:>7.2f} {diff:>9.1e}")


def main():
    global REPEATS, PHI_SIZES, IMPLICIT_SIZES, ETD_SIZES
    if options(__doc__, full="about 6 min", quick="about 20 s").quick:
        REPEATS, PHI_SIZES, IMPLICIT_SIZES, ETD_SIZES = 1, PHI_SIZES[:2], IMPLICIT_SIZES[:1], ETD_SIZES[:1]
    bench_phi()
    bench_implicit()
    bench_etdrk4()


if __name__ == "__main__":
    main()
