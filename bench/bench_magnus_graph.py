"""Time to a relative error of the Magnus graph heat evolvers against SciPy's solve_ivp.

Problem: du/dt = -L(t) u on a square 2-D grid graph of about N nodes whose edge weights
move in time, w_e(t) = 1 + 0.5 sin(2t + phi_e) with fixed phases phi_e, t in [0, 1], f0 a
fixed random normal vector. lap_at_t(t) builds the Laplacian's CSR values with NumPy and
returns Laplacian.from_csr (its cost is part of every method's time: solve_ivp calls
the same assembly for its right-hand side and Jacobian).

Reference: solve_ivp DOP853 at rtol 1e-13 (the spectrum of L(t) lies in [0, 12], so the
explicit method is not stiff here and cheap to run tightly). The relative error is
max|u - ref| / max|ref|.

For each target error (1e-6 and 1e-9) each method runs at its cheapest setting that
reaches the target: MagnusGraphHeat (order 4) and MagnusGraphHeat6 (order 6) at the
smallest step count (doubling from the convergence-radius minimum); solve_ivp "BDF" (an
implicit method; sparse LU of its iteration matrix) with the exact sparse Jacobian -L(t)
at the loosest rtol of a decade sweep (atol = 1e-3 rtol). The table gives the best of a
few timings and the ratio to the solve_ivp time (lower is faster). ("Radau" with the same
sparse Jacobian took 280 s on 1e4 nodes at rtol 1e-4 and is left out.)

Run: PYTHONPATH=<build dir> python bench/bench_magnus_graph.py [--full | --quick]
(--full adds 1e5 nodes; --quick runs 2500 nodes, one timing each.)

Cost of the convergence check (--check-cost): MagnusGraphHeat, MagnusGraphHeat6 and
VarCoefMagnusGraph on a 450 x 450 grid (202,500 nodes), 20 steps, lap_at_t alternating
between two Laplacian objects of random weights in [0.5, 1.5] (one at each Gauss point),
rho_bar_max = 0.98 of the larger spectral_bound and tau just inside the radius with it:
every sample's own bound fails the radius test, so the test rests on rho_bar_max and the
samples are probed. "fresh" builds a new Laplacian object at every sample (as a lap_at_t
that assembles L(t) does), so every sample is new to the check. The "csr" rows give the
same two Laplacians as samples built by Laplacian.from_csr from their CSR arrays (caller
arrays, probed through their symmetric part, which the graph-built kinds need not be):
"alternating csr" two such objects, "fresh csr" a new one at every sample. Timings with
convergence_check=True and False are taken in turn (nine of each, two for MagnusGraphHeat6),
in the process's CPU seconds (a call runs on the calling thread; CPU time is disturbed less
than the wall clock by other work on a busy machine); the table gives the minimum and the
median of each and their ratios (the goal is <= 1.10).
The whole check takes about 4 min of CPU time (6.5 min of wall time on a busy machine, 8 on
two busy cores); with --quick only MagnusGraphHeat and VarCoefMagnusGraph, three of each:
about 35 s.

Run: PYTHONPATH=<build dir> python bench/bench_magnus_graph.py --check-cost [--quick]
"""

from __future__ import annotations

import math
import statistics
import sys
import time

import numpy as np
import scipy.sparse as sp
from scipy.integrate import solve_ivp

import quorvane as q
from harness import best_time, options, progress

T = 1.0
TARGETS = (1e-6, 1e-9)


class MovingGrid:
    """A side x side grid graph with moving weights, as CSR Laplacians."""

    def __init__(self, n):
        side = int(round(math.sqrt(n)))
        self.n = side * side
        idx = np.arange(self.n).reshape(side, side)
        right = np.stack([idx[:, :-1].ravel(), idx[:, 1:].ravel()], axis=1)
        down = np.stack([idx[:-1, :].ravel(), idx[1:, :].ravel()], axis=1)
        edges = np.concatenate([right, down])
        self.phase = np.random.default_rng(7).uniform(0.0, 2.0 * math.pi, len(edges))
        # Off-diagonal entries of both directions, then one diagonal entry per row.
        rows = np.concatenate([edges[:, 0], edges[:, 1], np.arange(self.n)])
        cols = np.concatenate([edges[:, 1], edges[:, 0], np.arange(self.n)])
        slot = np.concatenate([np.arange(len(edges)), np.arange(len(edges)), -np.ones(self.n, dtype=int)])
        order = np.lexsort((cols, rows))
        self.indices = cols[order].astype(np.int32)
        self.indptr = np.concatenate([[0], np.cumsum(np.bincount(rows, minlength=self.n))]).astype(np.int64)
        self.slot = slot[order]
        self.off = self.slot >= 0
        self.edges = edges

    def data(self, t):
        w = 1.0 + 0.5 * np.sin(2.0 * t + self.phase)
        deg = np.bincount(self.edges[:, 0], w, self.n) + np.bincount(self.edges[:, 1], w, self.n)
        vals = np.empty(len(self.slot))
        vals[self.off] = -w[self.slot[self.off]]
        vals[~self.off] = deg
        return vals

    def laplacian(self, t):
        return q.Laplacian.from_csr(self.indptr, self.indices, self.data(t), self.n)

    def scipy(self, t):
        return sp.csr_matrix((self.data(t), self.indices, self.indptr), shape=(self.n, self.n))


def rel_err(u, ref):
    return float(np.abs(u - ref).max() / np.abs(ref).max())


def magnus_at(cls, grid, f0, ref, target, repeats):
    rho = 12.0
    m = cls(graph=q.Graph.path(grid.n), lap_at_t=grid.laplacian, rho_bar_max=rho)
    steps = math.floor(T * rho / (math.pi / 2)) + 1
    while steps <= 4096:
        if rel_err(m.evolve(T, steps, f0), ref) <= target:
            secs, _ = best_time(lambda: m.evolve(T, steps, f0), repeats)
            return secs, f"n_steps={steps}"
        steps *= 2
    return None, "not reached"


def solve_ivp_at(method, grid, f0, ref, target, repeats):
    def rhs(t, u):
        return -(grid.scipy(t) @ u)

    def jac(t, u):
        return -grid.scipy(t)

    for rtol in (10.0**-k for k in range(4, 14)):
        def run():
            return solve_ivp(rhs, (0.0, T), f0, method=method, jac=jac, rtol=rtol, atol=1e-3 * rtol).y[:, -1]

        if rel_err(run(), ref) <= target:
            secs, _ = best_time(run, repeats)
            return secs, f"rtol={rtol:.0e}"
    return None, "not reached"


def random_grid_graph(side, seed):
    idx = np.arange(side * side).reshape(side, side)
    edges = np.concatenate([np.stack([idx[:, :-1].ravel(), idx[:, 1:].ravel()], 1),
                            np.stack([idx[:-1, :].ravel(), idx[1:, :].ravel()], 1)])
    w = np.random.default_rng(seed).uniform(0.5, 1.5, len(edges))
    return q.Graph.from_edges(side * side, np.column_stack([edges, w]).astype(float))


def check_cost(quick):
    side, steps = 450, 20
    ga, gb = random_grid_graph(side, 1), random_grid_graph(side, 2)
    la, lb = q.Laplacian.combinatorial(ga), q.Laplacian.combinatorial(gb)
    rho = 0.98 * max(la.spectral_bound, lb.spectral_bound)
    tau = (math.pi / 2) / rho * 0.999
    f0 = np.random.default_rng(3).standard_normal(side * side)
    ones = np.ones(side * side)

    def alternating(t):
        return la if int(t / tau * 2) % 2 else lb

    def fresh(t):
        return q.Laplacian.combinatorial(ga if int(t / tau * 2) % 2 else gb)

    def csr(lap):
        return (np.array(lap.row_ptr(), np.int64), np.array(lap.col_idx(), np.int32), np.array(lap.vals()))

    csr_a, csr_b = csr(la), csr(lb)
    ca, cb = (q.Laplacian.from_csr(*parts, side * side) for parts in (csr_a, csr_b))

    def alternating_csr(t):
        return ca if int(t / tau * 2) % 2 else cb

    def fresh_csr(t):
        return q.Laplacian.from_csr(*(csr_a if int(t / tau * 2) % 2 else csr_b), side * side)

    modes = (("alternating", alternating), ("fresh", fresh), ("alternating csr", alternating_csr),
             ("fresh csr", fresh_csr))
    classes = ["MagnusGraphHeat", "VarCoefMagnusGraph"] + ([] if quick else ["MagnusGraphHeat6"])
    cases = [(name, mode, fn) for name in classes for mode, fn in modes]
    print(f"{'class':<20} {'lap_at_t':<16} {'off min':>8} {'on min':>8} {'ratio':>6}   "
          f"{'off med':>8} {'on med':>8} {'ratio':>6}")
    for name, mode, lap_at_t in cases:
        def make(check):
            if name == "VarCoefMagnusGraph":
                return q.VarCoefMagnusGraph(side * side, lap_at_t=lap_at_t, a_at_t=lambda t: ones, rho_bar_max=rho,
                                            a_sup_max=1.0, convergence_check=check)
            return getattr(q, name)(graph=ga, lap_at_t=lap_at_t, rho_bar_max=rho, convergence_check=check)

        # Timings with and without the check taken in turn, so that a busy
        # machine weighs on both alike.
        secs = {False: [], True: []}
        models = {check: make(check) for check in secs}
        for _ in range(3 if quick else 9 if name != "MagnusGraphHeat6" else 2):
            for check, m in models.items():
                t, _ = best_time(lambda: m.evolve(steps * tau, steps, f0), 1, clock=time.process_time)
                secs[check].append(t)
        lo = {check: min(v) for check, v in secs.items()}
        med = {check: statistics.median(v) for check, v in secs.items()}
        print(f"{name:<20} {mode:<16} {lo[False]:8.4f} {lo[True]:8.4f} {lo[True] / lo[False]:6.3f}   "
              f"{med[False]:8.4f} {med[True]:8.4f} {med[True] / med[False]:6.3f}", flush=True)


def main():
    def add(p):
        p.add_argument("--full", action="store_true", help="add a grid of 1e5 nodes")
        p.add_argument("--check-cost", action="store_true",
                       help="the cost of the convergence check instead (with --quick: under a minute)")
    # The check's cost is timed on 202,500 nodes, nine runs of each setting: far longer than the
    # comparison with solve_ivp (4 min of CPU time, 6.5 min on a busy machine; --quick 35 s).
    if "--check-cost" in sys.argv[1:]:
        lengths = {"full": "about 4 min (up to 8 min on a busy machine)", "quick": "about 35 s"}
    else:
        lengths = {"full": "about 45 s (--full: several times longer)", "quick": "about 15 s"}
    args = options(__doc__, add=add, **lengths)
    if args.check_cost:
        check_cost(args.quick)
        return
    sizes = [2_500] if args.quick else [10_000] + ([100_000] if args.full else [])
    print(f"{'N':>7} {'target':>7} {'method':<18} {'setting':<12} {'seconds':>9} {'ratio':>7}")
    for n in sizes:
        progress(f"{n} nodes: the reference (DOP853 at rtol 1e-13)")
        grid = MovingGrid(n)
        f0 = np.random.default_rng(1).standard_normal(grid.n)
        ref = solve_ivp(lambda t, u: -(grid.scipy(t) @ u), (0.0, T), f0, method="DOP853", rtol=1e-13,
                        atol=1e-15).y[:, -1]
        repeats = 1 if args.quick or n > 10_000 else 3
        for target in TARGETS:
            progress(f"{grid.n} nodes, target {target:.0e}: solve_ivp BDF, then the Magnus classes")
            rows = [("solve_ivp BDF", *solve_ivp_at("BDF", grid, f0, ref, target, repeats))]
            base = min((s for _, s, _ in rows if s is not None), default=None)
            rows += [(name, *magnus_at(cls, grid, f0, ref, target, repeats))
                     for name, cls in (("MagnusGraphHeat", q.MagnusGraphHeat), ("MagnusGraphHeat6", q.MagnusGraphHeat6))]
            for name, secs, setting in rows:
                ratio = f"{secs / base:7.3f}" if secs is not None and base else "   -   "
                shown = f"{secs:9.4f}" if secs is not None else "        -"
                print(f"{grid.n:>7} {target:>7.0e} {name:<18} {setting:<12} {shown} {ratio}", flush=True)


if __name__ == "__main__":
    main()
