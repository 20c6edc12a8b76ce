"""Time to accuracy of the resolvent jumps, Resolvent1D and KilledDirichlet1D against SciPy.

Rows (each side measured in the same run, best of a few timings, construction included):

- jump 1-D / 2-D / 3-D: e^{tA} g for the ghost-point reflecting Laplacian (the very operator
  the jumps solve) against scipy.sparse.linalg.expm_multiply on the same sparse matrix; the
  error is the largest deviation from scipy.linalg.expm of the dense matrix, reached by the jump
  with the fewest contour nodes that get within 1e-8.
- Resolvent1D: (lambda - d^2)^{-1} cos(pi x) on [0, 1] against the exact cos(pi x)/(lambda + pi^2),
  and scipy.linalg.solve_banded of the three-point resolvent on the same grid.
- KilledDirichlet1D: heat with absorbing ends from sin(pi x) to t = 0.1 against the exact
  e^{-pi^2 t} sin(pi x), and a SciPy Crank-Nicolson (solve_banded per step) with the same steps.

The ratio is quorvane time / SciPy time (below 1: quorvane is faster to the stated error).

Run: PYTHONPATH=<build dir> python bench/bench_bounded.py [--quick]
(--quick: one timing each, without the 1-D jump to t = 1 (SciPy takes seconds there).)
"""

from __future__ import annotations

import math
import time

import numpy as np
import scipy.sparse as sp
from scipy.linalg import expm, solve_banded
from scipy.sparse.linalg import expm_multiply

import quorvane
from harness import options, progress

REPEATS = 3


def best_time(fn):
    best, out = math.inf, None
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def ghost_laplacian(n: int, lo: float, hi: float) -> sp.csr_matrix:
    h = (hi - lo) / (n - 1)
    upper, lower = np.ones(n - 1), np.ones(n - 1)
    upper[0] = lower[-1] = 2.0
    return sp.diags([lower, np.full(n, -2.0), upper], [-1, 0, 1], format="csr") / (h * h)


def jump_rows(quick=False):
    rows = []
    cases = [
        ("jump 1-D n=201, t=0.01", (201,), lambda m: quorvane.ResolventJumpV8(0, 1, 201, m), 0.01),
        ("jump 1-D n=201, t=1", (201,), lambda m: quorvane.ResolventJumpV8(0, 1, 201, m), 1.0),
        ("jump 2-D 31x31, t=0.01", (31, 31), lambda m: quorvane.ResolventJump2DV8(0, 1, 31, 0, 1, 31, m), 0.01),
        ("jump 3-D 8x8x8, t=0.01", (8, 8, 8),
         lambda m: quorvane.ResolventJump3DV8(0, 1, 8, 0, 1, 8, 0, 1, 8, m), 0.01),
    ]
    for name, shape, make, t in cases:
        if quick and t == 1.0:
            continue
        axes = [ghost_laplacian(n, 0.0, 1.0) for n in shape]
        a = axes[0]
        for ax in axes[1:]:
            a = sp.kronsum(a, ax, format="csr")  # later axes vary slowest: Fortran order
        grids = np.meshgrid(*[np.linspace(0, 1, n) for n in shape], indexing="ij")
        g = np.exp(-20.0 * sum((c - 0.4) ** 2 for c in grids))
        flat = g.ravel(order="F")
        ref = expm((t * a).toarray()) @ flat
        target = 1e-8
        chosen = None
        for m in (12, 16, 20, 24, 32, 48):
            j = make(m)
            err = np.max(np.abs(np.asarray(j.jump(t, g)).ravel(order="F") - ref))
            if err <= target:
                chosen = m
                break
        tq, out = best_time(lambda: make(chosen).jump(t, g))
        eq = np.max(np.abs(np.asarray(out).ravel(order="F") - ref))
        ts, outs = best_time(lambda: expm_multiply(t * a, flat))
        es = np.max(np.abs(outs - ref))
        rows.append((name, f"m_nodes={chosen}", tq, eq, "expm_multiply", ts, es))
    return rows


def resolvent_row():
    lam = 50.0
    exact = lambda x: np.cos(np.pi * x) / (lam + np.pi ** 2)
    n = 201
    x = np.linspace(0, 1, n)
    g = np.cos(np.pi * x)
    tq, out = best_time(lambda: quorvane.Resolvent1D(0, 1, n).eval(lam, g))
    eq = np.max(np.abs(out - exact(x)))
    # SciPy: the three-point resolvent on the coarsest grid that reaches the same error.
    for ns in (21, 41, 81, 161, 321, 641, 1281, 2561):
        xs = np.linspace(0, 1, ns)
        h = xs[1] - xs[0]
        ab = np.zeros((3, ns))
        ab[0, 1:] = ab[2, :-1] = -1.0 / h ** 2
        ab[0, 1] = ab[2, -2] = -2.0 / h ** 2
        ab[1, :] = lam + 2.0 / h ** 2
        gs = np.cos(np.pi * xs)
        ts, outs = best_time(lambda: solve_banded((1, 1), ab, gs))
        es = np.max(np.abs(outs - exact(xs)))
        if es <= eq:
            break
    return ("Resolvent1D n=201, lambda=50", "n_chernoff=32", tq, eq, f"solve_banded n={ns}", ts, es)


def killed_row():
    t = 0.1
    n, steps = 201, 40
    x = np.linspace(0, 1, n)
    u0 = np.sin(np.pi * x)
    exact = math.exp(-math.pi ** 2 * t) * u0
    tq, out = best_time(lambda: quorvane.KilledDirichlet1D(0, 1, n, u0, steps).apply(t))
    eq = np.max(np.abs(out - exact))

    def scipy_cn():
        h = x[1] - x[0]
        m = n - 2
        r = (t / steps) / (2.0 * h * h)
        ab = np.zeros((3, m))
        ab[0, 1:] = ab[2, :-1] = -r
        ab[1, :] = 1.0 + 2.0 * r
        lap = sp.diags([np.ones(m - 1), np.full(m, -2.0), np.ones(m - 1)], [-1, 0, 1], format="csr")
        v = u0[1:-1].copy()
        for _ in range(steps):
            v = solve_banded((1, 1), ab, v + r * (lap @ v))
        return np.concatenate([[u0[0]], v, [u0[-1]]])

    ts, outs = best_time(scipy_cn)
    es = np.max(np.abs(outs - exact))
    return ("KilledDirichlet1D n=201, t=0.1", f"{steps} steps", tq, eq, f"SciPy CN {steps} steps", ts, es)


def main():
    global REPEATS
    quick = options(__doc__, full="about 30 s", quick="about 20 s").quick
    if quick:
        REPEATS = 1
    progress("the resolvent jumps against expm_multiply")
    rows = jump_rows(quick)
    progress("Resolvent1D and KilledDirichlet1D")
    rows += [resolvent_row(), killed_row()]
    head = f"{'case':32s} {'quorvane':14s} {'time':>9s} {'error':>9s}   {'reference':22s} {'time':>9s} {'error':>9s} {'ratio':>7s}"
    print(head)
    print("-" * len(head))
    for name, qlabel, tq, eq, slabel, ts, es in rows:
        print(f"{name:32s} {qlabel:14s} {tq * 1e3:8.2f}ms {eq:9.1e}   {slabel:22s} {ts * 1e3:8.2f}ms {es:9.1e} "
              f"{tq / ts:7.3g}")


if __name__ == "__main__":
    main()
