"""Time to an error of QuantumGraphHeat against SciPy's expm_multiply on a star.

Problem: du/dt = (1/2) u'' on a star of K unit arms (hub 0, free reflecting ends),
Kirchhoff at the hub, t = 0.5, from the exact mode u_e(x) = c_e sin(pi x / 2) with
sum c_e = 0 (c = +1, -1 alternating, 0 on a last odd arm): it stays a mode and decays
like exp(-(pi/2)^2 t / 2). The error is max |u - exact| over all nodes.

Reference: the finite-volume Kirchhoff Laplacian of the same graph on the same nodes
(hub shared by the arms, control volumes h inside, h/2 at a free end, K h/2 at the hub,
fluxes (u_j - u_i)/h), M du/dt = -(1/2) K u, evolved by
scipy.sparse.linalg.expm_multiply of -(t/2) M^{-1} K (second order in h, exact in t).

For each target error every method runs at the coarsest grid (n_grid doubling from 9)
that reaches it; QuantumGraphHeat takes n_steps = ceil(2 t / h^2) there (tau ~ h^2 / 2,
its most accurate step, below the refused tau > h^2). The table gives the best of a few
timings of that setting and the ratio quorvane / scipy (lower is faster).

Run: PYTHONPATH=<build dir> python bench/bench_quantum_graph.py [--quick]
(--quick: the star of 3 arms only.)
"""

from __future__ import annotations

import math
import time

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import expm_multiply

import quorvane as q
from harness import options, progress

T = 0.5
TARGETS = (1e-3, 1e-4, 1e-5)
ARMS = (3, 64)
GRIDS = (9, 17, 33, 65, 129, 257, 513)


def coefficients(k):
    c = np.array([(-1.0) ** e for e in range(k)])
    if k % 2:
        c[-1] = 0.0
    return c


def mode(k, n):
    x = np.linspace(0.0, 1.0, n)
    return np.outer(coefficients(k), np.sin(0.5 * math.pi * x))  # [arm, node], node 0 at the hub


def exact(k, n):
    return math.exp(-0.5 * (0.5 * math.pi) ** 2 * T) * mode(k, n)


def best_time(fn, repeats=3):
    best, out = math.inf, None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def run_quorvane(k, n):
    graph = q.QuantumGraph.star(k, n_grid=n)
    h = 1.0 / (n - 1)
    n_steps = math.ceil(2.0 * T / h**2)
    u0 = mode(k, n).ravel()

    def go():
        heat = q.QuantumGraphHeat(graph)
        heat.set_state(u0)
        heat.evolve(T, n_steps=n_steps)
        return heat.values().reshape(k, n)

    return go, f"n_steps={n_steps}"


def fv_operator(k, n):
    # Unknowns: the hub, then nodes 1 .. n-1 of every arm.
    h = 1.0 / (n - 1)
    size = 1 + k * (n - 1)
    arm = lambda e, i: 0 if i == 0 else 1 + e * (n - 1) + (i - 1)  # noqa: E731
    rows, cols = [], []
    for e in range(k):
        for i in range(n - 1):
            rows.append(arm(e, i))
            cols.append(arm(e, i + 1))
    rows, cols = np.array(rows), np.array(cols)
    w = np.full(len(rows), 1.0 / h)
    adj = sp.coo_matrix((np.concatenate([w, w]), (np.concatenate([rows, cols]), np.concatenate([cols, rows]))),
                        shape=(size, size)).tocsr()
    lap = sp.diags(np.asarray(adj.sum(axis=1)).ravel()) - adj
    vol = np.full(size, h)
    vol[0] = k * h / 2
    vol[[arm(e, n - 1) for e in range(k)]] = h / 2
    return (-0.5 * T) * (sp.diags(1.0 / vol) @ lap).tocsr(), arm


def run_scipy(k, n):
    a, arm = fv_operator(k, n)
    u = mode(k, n)
    v0 = np.empty(a.shape[0])
    v0[0] = 0.0
    for e in range(k):
        v0[[arm(e, i) for i in range(1, n)]] = u[e, 1:]

    def go():
        v = expm_multiply(a, v0)
        out = np.empty((k, n))
        out[:, 0] = v[0]
        for e in range(k):
            out[e, 1:] = v[1 + e * (n - 1): 1 + (e + 1) * (n - 1)]
        return out

    return go, ""


def cheapest(runner, k, target):
    for n in GRIDS:
        go, note = runner(k, n)
        err = float(np.abs(go() - exact(k, n)).max())
        if err <= target:
            secs, _ = best_time(go)
            return secs, n, err, note
    return None, None, None, "not reached"


def main():
    arms = ARMS[:1] if options(__doc__, full="about 25 s", quick="about 10 s").quick else ARMS
    print(f"QuantumGraphHeat vs expm_multiply (finite-volume Kirchhoff Laplacian), star of K unit arms, t = {T}")
    print(f"{'K':>4} {'target':>7} | {'quorvane s':>10} {'n_grid':>6} {'error':>8} {'setting':>14} | "
          f"{'scipy s':>9} {'n_grid':>6} {'error':>8} | {'ratio':>6}")
    for k in arms:
        for target in TARGETS:
            progress(f"{k} arms, target {target:.0e}")
            tq, nq, eq, note = cheapest(run_quorvane, k, target)
            ts, ns, es, _ = cheapest(run_scipy, k, target)
            ratio = f"{tq / ts:6.2f}" if tq and ts else "   -  "
            fq = f"{tq:10.4f} {nq:6d} {eq:8.1e} {note:>14}" if tq else f"{'-':>10} {'-':>6} {'-':>8} {note:>14}"
            fs = f"{ts:9.4f} {ns:6d} {es:8.1e}" if ts else f"{'-':>9} {'-':>6} {'-':>8}"
            print(f"{k:4d} {target:7.0e} | {fq} | {fs} | {ratio}")


if __name__ == "__main__":
    main()
