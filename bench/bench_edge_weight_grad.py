"""Cost of edge_weight_grad with params="all_edges" against the forward evolution it
differentiates and against central finite differences over all edges, as ratios
measured in one run.

Problem: graph heat du/dt = -L u on a square 2-D grid graph of about N nodes (N = 1e3,
3e3, 1e4; K = 2 side (side - 1) edges) with random weights in [0.5, 1.5], t = 1,
n_steps = 16 (tau * spectral_bound < pi/2), u0 and dj random normal vectors.

- forward: one evolution of the same scheme, MagnusGraphHeat.evolve with a constant
  lap_at_t returning the graph (the same fourth-order Magnus steps).
- grad: edge_weight_grad(..., params="all_edges"): all K derivatives at once.
- grad / forward: the cost of the whole gradient in forward evolutions.
- FD / grad: central differences over all edges need 2K forward evolutions; that column
  is 2K * forward / grad (estimated from the measured forward time, not run: 2K runs
  are 4e3 to 4e4 evolutions).
- check: the gradient of two edges against their measured central differences (h = 1e-6;
  agreement to about 1e-8 shows the timed call computes the right thing).
- batched: edge_weight_grad_batched with 8 channels, time per channel relative to one
  single-channel gradient (the channels share the worker threads).

Run: PYTHONPATH=<build dir> python bench/bench_edge_weight_grad.py [--quick]
(--quick: 10^3 and 3*10^3 nodes, two timings each.)
"""

from __future__ import annotations

import math
import time

import numpy as np

import quorvane as q
from harness import options, progress

T = 1.0
N_STEPS = 16
REPEATS = 7


def grid_edges(n, rng):
    side = int(round(math.sqrt(n)))
    idx = np.arange(side * side).reshape(side, side)
    right = np.stack([idx[:, :-1].ravel(), idx[:, 1:].ravel()], axis=1)
    down = np.stack([idx[:-1, :].ravel(), idx[1:, :].ravel()], axis=1)
    e = np.concatenate([right, down])
    w = rng.uniform(0.5, 1.5, len(e))
    return side * side, np.column_stack([e, w]).astype(float)


def best_time(fn):
    best, out = float("inf"), None
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def forward_loss(n, edges, u0, dj, rho):
    g = q.Graph.from_edges(n, edges)
    m = q.MagnusGraphHeat(g, lap_at_t=lambda t: g, rho_bar_max=rho)
    return float(dj @ m.evolve(T, N_STEPS, u0))


def main():
    global REPEATS
    quick = options(__doc__, full="a few seconds", quick="a few seconds").quick
    if quick:
        REPEATS = 2
    rng = np.random.default_rng(0)
    print(f"edge_weight_grad, params=\"all_edges\", t = {T}, n_steps = {N_STEPS}")
    print(f"{'N':>6} {'K':>6} {'forward s':>10} {'grad s':>9} {'grad/fwd':>9} {'FD/grad':>9} "
          f"{'check':>8} {'batched/ch':>11}")
    for n_target in (1_000, 3_000) if quick else (1_000, 3_000, 10_000):
        progress(f"about {n_target} nodes")
        n, edges = grid_edges(n_target, rng)
        g = q.Graph.from_edges(n, edges)
        rho = q.Laplacian.combinatorial(g).spectral_bound
        u0, dj = rng.standard_normal(n), rng.standard_normal(n)
        m = q.MagnusGraphHeat(g, lap_at_t=lambda t: g, rho_bar_max=rho)
        t_fwd, _ = best_time(lambda: m.evolve(T, N_STEPS, u0))
        kw = dict(t=T, n_steps=N_STEPS, rho_bar=rho, params="all_edges")
        t_grad, grad = best_time(lambda: q.edge_weight_grad(g, u0=u0, dj_du_n=dj, **kw))
        k = len(grad)
        # Central differences of two edges (the bound grows by at most 4h).
        # "all_edges" lists the edges by ascending (i, j); here i < j on every row.
        rank = np.empty(k, dtype=int)
        rank[np.lexsort((edges[:, 1], edges[:, 0]))] = np.arange(k)
        h, err = 1e-6, 0.0
        for e in (0, k // 2):
            plus, minus = edges.copy(), edges.copy()
            plus[e, 2] += h
            minus[e, 2] -= h
            fd = (forward_loss(n, plus, u0, dj, rho + 4 * h) - forward_loss(n, minus, u0, dj, rho + 4 * h)) / (2 * h)
            err = max(err, abs(fd - grad[rank[e]]))
        u0c, djc = rng.standard_normal((n, 8)), rng.standard_normal((n, 8))
        t_b, _ = best_time(lambda: q.edge_weight_grad_batched(g, u0_cols=u0c, dj_du_n_cols=djc, **kw))
        print(f"{n:>6} {k:>6} {t_fwd:>10.4f} {t_grad:>9.4f} {t_grad / t_fwd:>9.2f} {2 * k * t_fwd / t_grad:>9.0f} "
              f"{err:>8.1e} {t_b / 8 / t_grad:>11.2f}")


if __name__ == "__main__":
    main()
