"""Benchmark of quorvane.Heat2D and quorvane.Heat3D (unit diffusion, mirror boundaries).

Problem: du/dt = Laplace(u) on [0, 1]^d from a Gaussian bump
u0 = exp(-|x - c|^2 / (4 t0)), t0 = 0.004, to t = 0.01, on a 1024^2 (2-D) or
128^3 (3-D) grid with mirrored ends. The reference is the DCT-I spectral
solution on the same grid (the even extension about the end nodes is exactly
the mirror rule of "reflect"); relative error = max|u - ref| / max|ref|.

1. Time to relative error 1e-4 and 1e-6 for
     - quorvane (Heat2D / Heat3D), the cheapest step count on a doubling search;
     - the DCT-I spectral solution itself (scipy.fft.dctn, exact in time);
     - Crank-Nicolson ADI on the 3-point Laplacian with sparse LU factors of the
       1-D systems (Peaceman-Rachford in 2-D, Douglas in 3-D), doubling search.
   A method whose spatial error stays above a target reports "-".
   Ratios: quorvane time / other time.
2. Parallel efficiency of the sweeps: the same evolve in subprocesses pinned to
   one CPU (taskset -c 0) and unpinned; efficiency = T1 / (P * TP).

No timing is asserted anywhere; this script only reports.

Run:  python bench/bench_multid.py [--quick]
(with PYTHONPATH pointing at a build directory when quorvane is not installed).
"""

from __future__ import annotations

import argparse
import math
import os
import shutil
import subprocess
import sys
import time

import numpy as np
import scipy.fft as sfft
import scipy.sparse as sp
from scipy.sparse.linalg import splu

import quorvane

T0, T_END = 0.004, 0.01
TOLS = (1e-4, 1e-6)


def best_of(fn, repeats=2):
    best, out = math.inf, None
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def bump(n, d):
    x = np.linspace(0.0, 1.0, n)
    grids = np.meshgrid(*([x] * d), indexing="ij")
    centre = [0.43, 0.56, 0.5][:d]
    r2 = sum((g - c) ** 2 for g, c in zip(grids, centre))
    return np.exp(-r2 / (4 * T0))


def dct_solution(u0, t):
    n = u0.shape[0]
    k = np.pi * np.arange(n)  # wavenumbers on [0, 1] with mirror ends
    coef = sfft.dctn(u0, type=1)
    decay = 1.0
    for axis in range(u0.ndim):
        shape = [1] * u0.ndim
        shape[axis] = n
        decay = decay * np.exp(-(k**2) * t).reshape(shape)
    return sfft.idctn(coef * decay, type=1)


def lap_1d(n):
    h = 1.0 / (n - 1)
    main = np.full(n, -2.0)
    up, lo = np.ones(n - 1), np.ones(n - 1)
    up[0] = lo[-1] = 2.0  # mirror ghosts u[-1] = u[1], u[n] = u[n-2]
    return sp.diags([lo, main, up], [-1, 0, 1], format="csc") / (h * h)


def apply_axis(mat, u, axis):
    moved = np.moveaxis(u, axis, 0)
    out = mat @ moved.reshape(moved.shape[0], -1)
    return np.moveaxis(out.reshape(moved.shape), 0, axis)


def solve_axis(lu, u, axis):
    moved = np.moveaxis(u, axis, 0)
    out = lu.solve(np.ascontiguousarray(moved.reshape(moved.shape[0], -1)))
    return np.moveaxis(out.reshape(moved.shape), 0, axis)


def adi(u0, t, steps):
    n, d = u0.shape[0], u0.ndim
    tau = t / steps
    a = lap_1d(n)
    eye = sp.identity(n, format="csc")
    lu = splu((eye - 0.5 * tau * a).tocsc())
    u = u0.copy()
    for _ in range(steps):
        if d == 2:  # Peaceman-Rachford
            half = solve_axis(lu, u + 0.5 * tau * apply_axis(a, u, 1), 0)
            u = solve_axis(lu, half + 0.5 * tau * apply_axis(a, half, 0), 1)
        else:  # Douglas (Crank-Nicolson based, second order)
            lap = [apply_axis(a, u, ax) for ax in range(3)]
            v = solve_axis(lu, u + tau * (0.5 * lap[0] + lap[1] + lap[2]), 0)
            v = solve_axis(lu, v - 0.5 * tau * lap[1], 1)
            u = solve_axis(lu, v - 0.5 * tau * lap[2], 2)
    return u


def quorvane_run(u0, t, steps):
    n, d = u0.shape[0], u0.ndim
    flat = u0.ravel(order="F")
    if d == 2:
        h = quorvane.Heat2D(0.0, 1.0, n, 0.0, 1.0, n)
    else:
        h = quorvane.Heat3D(0.0, 1.0, n, 0.0, 1.0, n, 0.0, 1.0, n)
    return h.evolve(flat, t / steps, steps).reshape(u0.shape, order="F")


def time_to_tol(run, ref, tol, max_steps):
    scale = np.abs(ref).max()
    steps, previous = 1, math.inf
    while steps <= max_steps:
        err = np.abs(run(steps) - ref).max() / scale
        if err <= tol:
            secs, _ = best_of(lambda: run(steps), 1)
            return secs, steps, err
        if steps >= 16 and err > 0.7 * previous:  # the spatial error floor: more steps do not help
            break
        previous = err
        steps *= 2
    return math.inf, None, None


def accuracy_table(d, n, max_steps):
    u0 = bump(n, d)
    ref = dct_solution(u0, T_END)
    t_dct, _ = best_of(lambda: dct_solution(u0, T_END), 2)
    rows = []
    for tol in TOLS:
        tq, sq, _ = time_to_tol(lambda s: quorvane_run(u0, T_END, s), ref, tol, max_steps)
        ta, sa, _ = time_to_tol(lambda s: adi(u0, T_END, s), ref, tol, max_steps)
        rows.append((tol, tq, sq, t_dct, ta, sa))
    return rows


SCALING_CODE = """
import sys, time, numpy as np, quorvane as q
d, n, steps = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
u = np.random.default_rng(0).standard_normal(n ** d)
h = q.Heat2D(0, 1, n, 0, 1, n) if d == 2 else q.Heat3D(0, 1, n, 0, 1, n, 0, 1, n)
h.evolve(u, 1e-5, 1)
best = float("inf")
for _ in range(2):
    start = time.perf_counter()
    h.evolve(u, 1e-5, steps)
    best = min(best, time.perf_counter() - start)
print(best)
"""


def scaling(d, n, steps):
    def run(prefix):
        out = subprocess.run(prefix + [sys.executable, "-c", SCALING_CODE, str(d), str(n), str(steps)],
                             capture_output=True, text=True, check=True, env=os.environ.copy())
        return float(out.stdout.strip())

    procs = len(os.sched_getaffinity(0))
    t_all = run([])
    if shutil.which("taskset") is None:
        return t_all, math.nan, procs
    t_one = run(["taskset", "-c", str(min(os.sched_getaffinity(0)))])
    return t_all, t_one, procs


def fmt(x):
    return "-" if not math.isfinite(x) else f"{x:.3g}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="256^2 and 48^3 grids instead of 1024^2 and 128^3")
    args = ap.parse_args()
    n2, n3 = (256, 48) if args.quick else (1024, 128)
    max_steps = 256 if args.quick else 1024

    print(f"time to relative error (t = {T_END}, Gaussian with t0 = {T0}, mirror ends), seconds")
    print(f"{'case':<12}{'tol':>8}{'quorvane':>11}{'steps':>7}{'DCT-I':>10}{'ADI':>10}{'steps':>7}"
          f"{'q/DCT':>9}{'q/ADI':>9}")
    for d, n in ((2, n2), (3, n3)):
        for tol, tq, sq, td, ta, sa in accuracy_table(d, n, max_steps):
            print(f"{f'{d}-D {n}^{d}':<12}{tol:>8.0e}{fmt(tq):>11}{str(sq or '-'):>7}{fmt(td):>10}{fmt(ta):>10}"
                  f"{str(sa or '-'):>7}{fmt(tq / td):>9}{fmt(tq / ta if math.isfinite(ta) else math.inf):>9}")

    print("\nparallel efficiency of the sweeps (evolve, best of 2)")
    print(f"{'case':<12}{'all CPUs':>10}{'one CPU':>10}{'P':>4}{'speed-up':>10}{'efficiency':>12}")
    for d, n, steps in ((2, n2, 4), (3, n3, 2)):
        t_all, t_one, procs = scaling(d, n, steps)
        print(f"{f'{d}-D {n}^{d}':<12}{fmt(t_all):>10}{fmt(t_one):>10}{procs:>4}{fmt(t_one / t_all):>10}"
              f"{fmt(t_one / (procs * t_all)):>12}")


if __name__ == "__main__":
    main()
