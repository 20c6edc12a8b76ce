"""How far WentzellV8's wall node takes rough data beyond their range, and whether that grows.

The wall update of each step is the Crank-Nicolson (Cayley) step of
u0' = -(c + gamma/h) u0 + (gamma/h) u1 with u1 held: u0 <- ((1 - g) u0 + 2 g_w u1) / (1 + g),
g = (c + gamma/h) tau/2, g_w = (gamma/h) tau/2. It is a mean of u0 and u1 while g <= 1; a
larger g hands the wall node's deviation from u1 back with its sign turned, up to
-u0 + 2 u1 as g -> inf, so one step can carry the wall node to about 3 max|u0|.

Since every step is linear, the worst data of k steps give max|u| / max|u0| = ||M^k||_inf,
M the matrix of one step (built here column by column from unit data). For each gamma
this prints the largest ||M^k||_inf over tau = r dx^2 (r = 0.01 to 1e4) and k = 1 to 10^4
on 17 and 65 nodes (c = 0 and c = 10), the largest over k <= 10 against the largest over
all k (equal: the overshoot does not grow with the step count or the time), and the same
for schedules that switch gamma at random every step. Then noise (default_rng(seed),
seeds 0-4, uniform in [-1, 1]) and a dip at the wall (u0 = -1, u1 = 1, else 0) through
1 to 10^4 steps of one evolve each.

Run: PYTHONPATH=<build dir> python bench/bench_wentzell_wall.py [--quick]
(--quick: 17 nodes, 25 values of r, k up to 10^3.)
"""

from __future__ import annotations

import numpy as np

import quorvane as q
from harness import options, progress

GAMMAS = [1.0, 1e3, 1e10, 1e100, 1e300]


def step_matrix(n, tau, gammas, c=0.0):
    """The matrix of one step of tau with the wall coefficient gammas (one per step)."""
    m = np.empty((n, n))
    for j in range(n):
        e = np.zeros(n)
        e[j] = 1.0
        m[:, j] = q.WentzellV8(0.0, 1.0, n, e, 1, c, gammas).evolve(tau)
    return m


def sup_norms(mats, k_max, early=10):
    """max over k <= early and over k <= k_max of ||M_k ... M_1||_inf."""
    p, sup, sup_early = np.eye(len(mats[0])), 0.0, 0.0
    for k in range(k_max):
        p = mats[k % len(mats)] @ p
        sup = max(sup, float(np.abs(p).sum(axis=1).max()))
        if k < early:
            sup_early = sup
    return sup_early, sup


def data_runs(n, k_max):
    h2 = (1.0 / (n - 1)) ** 2
    rng_data = {f"noise {s}": np.random.default_rng(s).uniform(-1.0, 1.0, n) for s in range(5)}
    dip = np.zeros(n)
    dip[0], dip[1] = -1.0, 1.0
    rng_data["dip at the wall"] = dip
    counts = [k for k in (1, 10, 100, 1000, 10000) if k <= k_max]
    print(f"\nmax|u| / max|u0| after k steps of tau = r dx^2 (largest over r = 0.1, 1, 18, 100), {n} nodes")
    print(f"{'data':<16} {'gamma':>7} " + " ".join(f"{k:>7}" for k in counts))
    for name, u0 in rng_data.items():
        for gamma in (1e3, 1e300):
            row = []
            for k in counts:
                worst = 0.0
                for r in (0.1, 1.0, 18.0, 100.0):
                    w = q.WentzellV8(0.0, 1.0, n, u0, k, 0.0, np.full(k, gamma))
                    worst = max(worst, float(np.max(np.abs(w.evolve(k * r * h2)))) / float(np.max(np.abs(u0))))
                row.append(worst)
            print(f"{name:<16} {gamma:>7.0e} " + " ".join(f"{v:7.3f}" for v in row))


def main():
    args = options(__doc__, "about 3 min", "about 5 s")
    sizes = [17] if args.quick else [17, 65]
    rs = np.geomspace(0.01, 1e4, 25 if args.quick else 60)
    k_max = 1000 if args.quick else 10000
    print("largest ||M^k||_inf (the worst data) over r: over k <= 10, over every k, and the largest")
    print("ratio of the two at one r (1 where no r's overshoot grows after step 10)")
    print(f"{'nodes':>5} {'c':>4} {'gamma':>7} {'k <= 10':>8} {'all k':>8} {'ratio':>7} {'worst r':>8}")
    for n in sizes:
        h2 = (1.0 / (n - 1)) ** 2
        for c in (0.0, 10.0):
            for gamma in GAMMAS:
                early_max, sup_max, ratio, at = 0.0, 0.0, 0.0, 0.0
                for r in rs:
                    early, sup = sup_norms([step_matrix(n, r * h2, [gamma], c)], k_max)
                    ratio = max(ratio, sup / early)
                    early_max = max(early_max, early)
                    if sup > sup_max:
                        sup_max, at = sup, r
                print(f"{n:>5} {c:>4g} {gamma:>7.0e} {early_max:8.4f} {sup_max:8.4f} {ratio:7.4f} {at:8.3g}")
            progress(f"{n} nodes, c = {c:g}")
        rng = np.random.default_rng(1)
        worst = (0.0, 0.0, 0.0)
        for r in (0.1, 1.0, 2.0, 18.0, 100.0, 300.0):
            mats = [step_matrix(n, r * h2, [g]) for g in (0.0, 1.0, 10.0, 1e3, 1e300)]
            for _ in range(3):
                order = [mats[i] for i in rng.integers(0, len(mats), 64)]
                early, sup = sup_norms(order, k_max)
                if sup > worst[1]:
                    worst = (early, sup, r)
        print(f"{n:>5} gamma switched at random every step: k <= 10 {worst[0]:.4f}, all k {worst[1]:.4f}"
              f" (r = {worst[2]:g})")
    data_runs(17, k_max)


if __name__ == "__main__":
    main()
