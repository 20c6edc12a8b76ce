"""How Etdrk4's cost grows with stiffness, against SciPy's stiff integrators.

Problem: Allen-Cahn du/dt = -L u + u - u^3 on the fixed interval [0, 1] with n cells,
L = eps^2 / dx^2 times the Neumann path Laplacian (dx = 1/n, eps = 0.05), to t = 10,
from a smooth u0 with a few sign changes. The largest eigenvalue of L is
lambda_bar ~ 4 eps^2 / dx^2 = 0.01 n^2, so refining the grid makes the problem stiffer:
t * lambda_bar = 4e3, 1e5 and 1e7 at n = 200, 1000 and 10^4.

Etdrk4's step applies phi-functions of h L by exponential actions whose cost grows in
proportion to h * lambda_bar, so a whole run costs in proportion to t * lambda_bar
whatever the step count, while an implicit stiff solver's cost hardly depends on
lambda_bar. The reference is Radau with the sparse Jacobian at rtol = atol = 1e-12.
For each route the table gives the time of the cheapest setting whose relative max-norm
error is below 1e-6 (Etdrk4: step counts 10, 20, 40, ...; solve_ivp BDF with the
sparse Jacobian and LSODA with its banded Jacobian: rtol = atol = 1e-4, 1e-5, ...), best
of a few timings, and the ratio Etdrk4 / best SciPy route. A route that needs more than
BUDGET seconds at one setting is not pursued; for Etdrk4 the time of a run is projected
from probe steps first (cost in proportion to t * lambda_bar), and when it exceeds the
budget the projection is printed with "~" instead of a measured time.

Run: PYTHONPATH=<build dir> python bench/bench_etdrk4_stiffness.py [--quick]
(--quick: n = 200 only.)
"""

from __future__ import annotations

import math
import time

import numpy as np
import scipy.sparse as sp
from scipy.integrate import solve_ivp

import quorvane
from harness import options, progress

T, EPS, TARGET = 10.0, 0.05, 1e-6
SIZES = (200, 1000, 10_000)
BUDGET = 60.0


def problem(n):
    dx = 1.0 / n
    main = 2.0 * np.ones(n)
    main[0] = main[-1] = 1.0
    lap = (sp.diags([-np.ones(n - 1), main, -np.ones(n - 1)], [-1, 0, 1]) * (EPS**2 / dx**2)).tocsr()
    lap.sort_indices()
    x = (np.arange(n) + 0.5) * dx
    u0 = 0.6 * np.cos(3 * np.pi * x) + 0.3 * np.sin(7 * np.pi * x)
    return lap, u0


def operator(lap):
    return quorvane.SymmetricOperator.from_csr(lap.indptr.astype(np.int64), lap.indices.astype(np.int32),
                                               lap.data, lap.shape[0])


def timed(fn, repeats):
    best, out = math.inf, None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
        if best > BUDGET / 4:
            break
    return best, out


def cheapest(run, settings, ref, projected=None):
    """(seconds, setting) of the first setting whose error is below TARGET, or None.
    projected(s), when given, estimates a setting's time first, so that a setting far
    beyond the budget is not run."""
    for s in settings:
        if projected is not None and projected(s) > BUDGET:
            return None
        try:
            secs, u = timed(lambda: run(s), 3)
        except quorvane.QuorvaneError:
            continue
        err = np.abs(u - ref).max() / np.abs(ref).max()
        if err <= TARGET:
            return secs, s
        if secs > BUDGET:
            return None
    return None


def main():
    sizes = SIZES[:1] if options(__doc__, full="about 9 min", quick="about 10 s").quick else SIZES
    print(f"quorvane {quorvane.version()}: Allen-Cahn on [0, 1], eps = {EPS}, t = {T}, relative error {TARGET:.0e}")
    print(f"{'n':>7} {'t*lambda':>9} {'Etdrk4 s':>9} {'steps':>6} {'BDF s':>8} {'LSODA s':>8} {'Etdrk4/best':>12}")
    for n in sizes:
        progress(f"n = {n}: the Radau reference, then Etdrk4, BDF and LSODA")
        lap, u0 = problem(n)
        op = operator(lap)
        lam = op.lambda_max_bound()

        def f(t, u):
            return -(lap @ u) + u - u**3

        def jac(t, u):
            return (-lap + sp.diags(1 - 3 * u**2)).tocsc()

        ref = solve_ivp(f, (0, T), u0, method="Radau", jac=jac, rtol=1e-12, atol=1e-12).y[:, -1]
        # A step's phi actions cost in proportion to h * lambda_bar, so every run costs about
        # T / h_probe probe steps of h_probe, whatever its step count: measured once, this
        # keeps a run far beyond the budget from being started.
        h_probe = min(T / 10, 100.0 / lam)
        probe = quorvane.Etdrk4.from_symmetric_op(op, "allen_cahn", h_probe)
        probe_secs, _ = timed(lambda: probe.step(u0), 3)
        run_estimate = T / h_probe * probe_secs

        etd = cheapest(lambda m: quorvane.Etdrk4.from_symmetric_op(op, "allen_cahn", T / m).integrate(u0, m),
                       [10 * 2**k for k in range(12)], ref, projected=lambda m: run_estimate)
        tols = [10.0**-e for e in range(4, 13)]
        bdf = cheapest(lambda tol: solve_ivp(f, (0, T), u0, method="BDF", jac=jac, rtol=tol, atol=tol).y[:, -1],
                       tols, ref)
        lsoda = cheapest(lambda tol: solve_ivp(f, (0, T), u0, method="LSODA", lband=1, uband=1,
                                               rtol=tol, atol=tol).y[:, -1], tols, ref)
        best = min((r[0] for r in (bdf, lsoda) if r), default=None)
        fmt = lambda r: f"{r[0]:>8.3f}" if r else f"{'-':>8}"  # noqa: E731
        etd_s = f"{etd[0]:>9.3f} {etd[1]:>6}" if etd else f"{'~' + format(run_estimate, '.0f') + ' s':>9} {'-':>6}"
        ratio = f"{etd[0] / best:>12.1f}" if etd and best else f"{'-':>12}"
        print(f"{n:>7} {T * lam:>9.1e} {etd_s} {fmt(bdf)} {fmt(lsoda)} {ratio}")


if __name__ == "__main__":
    main()
