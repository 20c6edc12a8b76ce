"""Cost of the graph state adjoints against one forward Magnus evolution.

Problem: the moving-weight grid graph of bench_magnus_graph.py (about N nodes, edge
weights 1 + 0.5 sin(2t + phi_e), lap_at_t building Laplacian.from_csr with NumPy), t in
[0, 1], n_steps Magnus steps; for the variable-coefficient kernel a(t) = 0.75 + 0.25
sin(t + x_i) per node. The reference is one forward evolution of the same step count:
MagnusGraphHeat.evolve ("magnus_graph") or VarCoefMagnusGraph.evolve
("varcoef_magnus_graph"), both calling the same Python callables at the same times.

Rows (best of a few timings; ratio = seconds / forward seconds):
- GraphAdjoint.evolve_state_adjoint: the live sweep, callables called during the sweep;
- GraphAdjointPresampled.from_presampled: the sampling, paid once per horizon;
- GraphAdjointPresampled.evolve_state_adjoint: one sweep over the stored samples;
- evolve_state_adjoint_batched, 8 columns: per column;
- central differences of J = <lambda, u_n> over all N initial values: 2N forward
  evolutions (estimated as 2N times the forward time; the adjoint gives the same N
  derivatives in one sweep).

Run: PYTHONPATH=<build dir> python bench/bench_graph_adjoint.py [--quick]
(--quick: 10^3 nodes only.)
"""

from __future__ import annotations

import math

import numpy as np

import quorvane as q
from harness import options, progress
from bench_magnus_graph import MovingGrid, best_time

T = 1.0
N_STEPS = 32
COLS = 8


def rows_for(grid, kernel):
    x = np.arange(grid.n) * 0.01
    coef = (lambda t: 0.75 + 0.25 * np.sin(t + x)) if kernel == "varcoef_magnus_graph" else None
    # Spectral bounds: ||L(t)|| <= 12 on the grid; the variable-coefficient radius test
    # reads tau * rho_bar^3, so its bound is taken as 12^(1/3) * 1.0 (a <= 1).
    rho = 12.0 if coef is None else 12.0 ** (1.0 / 3.0)
    graph = q.Graph.path(grid.n)
    rng = np.random.default_rng(3)
    lam = rng.standard_normal(grid.n)
    cols = rng.standard_normal((grid.n, COLS))
    if coef is None:
        fwd = q.MagnusGraphHeat(graph=graph, lap_at_t=grid.laplacian, rho_bar_max=rho)
        extra = {}
    else:
        fwd = q.VarCoefMagnusGraph(grid.n, lap_at_t=grid.laplacian, a_at_t=coef, rho_bar_max=12.0, a_sup_max=1.0)
        extra = {"a": coef, "kernel": kernel}
    base, _ = best_time(lambda: fwd.evolve(T, N_STEPS, lam), 3)
    live = q.GraphAdjoint(graph, lap_at_t=grid.laplacian, rho_bar=rho, **extra)
    live_s, _ = best_time(lambda: live.evolve_state_adjoint(lam, T, N_STEPS), 3)
    build_s, pre = best_time(lambda: q.GraphAdjointPresampled.from_presampled(
        graph, grid.laplacian, rho, N_STEPS, T, **extra), 2)
    sweep_s, _ = best_time(lambda: pre.evolve_state_adjoint(lam), 3)
    batch_s, _ = best_time(lambda: pre.evolve_state_adjoint_batched(cols), 2)
    return base, [("forward evolve", base), ("GraphAdjoint (live)", live_s), ("from_presampled", build_s),
                  ("presampled sweep", sweep_s), (f"batched, per column ({COLS})", batch_s / COLS),
                  ("central FD, all N (est.)", 2 * grid.n * base)]


def main():
    quick = options(__doc__, full="a few seconds", quick="a few seconds").quick
    print(f"{'N':>6} {'kernel':<21} {'what':<27} {'seconds':>10} {'ratio':>9}")
    for n in (1_000,) if quick else (1_000, 10_000):
        grid = MovingGrid(n)
        for kernel in ("magnus_graph", "varcoef_magnus_graph"):
            progress(f"{grid.n} nodes, kernel {kernel}")
            base, rows = rows_for(grid, kernel)
            for what, secs in rows:
                print(f"{grid.n:>6} {kernel:<21} {what:<27} {secs:10.4f} {secs / base:9.2f}", flush=True)


if __name__ == "__main__":
    main()
