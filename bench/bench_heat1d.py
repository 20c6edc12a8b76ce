"""Benchmark of quorvane.Heat1D (constant coefficient a = 1).

Four measurements, summarised in one table of ratios at the end:

1. Throughput: time per node-step of Heat1D.evolve for n = 2^10 ... 2^18
   (every run does about the same number of node-steps), in this process
   with its parallel threshold. Ratio: per node-step time against n = 2^10.
2. Time to accuracy on one problem: du/dt = u'' on [-12, 12] from
   u0 = exp(-x^2/(4 t0)), t0 = 0.25, to t = 0.5, exact solution
   sqrt(t0/(t0+t)) exp(-x^2/(4(t0+t))) (below 1e-30 at the ends, so the
   boundary rule plays no part). For each target error, the cheapest
   configuration found on a small search (grid size, step count) of
     - Heat1D (second order in time, interpolation error ~dx^8),
     - SciPy expm_multiply on the 9-point eighth-order finite-difference
       Laplacian (matching spatial accuracy, no time error),
     - SciPy expm_multiply on the 3-point second-order Laplacian,
   all with mirrored ends. Ratio: Heat1D time / SciPy time.
3. Thread scaling: the same evolve in subprocesses with
   TAMBRIK_PARALLEL_THRESHOLD=1000000 (one thread) and =64 (every processor
   that the split allows). Ratio: parallel time / serial time.
4. Per-call overhead of values() for n = 16 against numpy.ndarray.copy() of
   a 16-element float64 array (aim: at most 3x).

Run:  python bench/bench_heat1d.py [--quick]
(with PYTHONPATH pointing at a build directory when quorvane is not installed).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import time
import timeit

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import expm_multiply

import quorvane

T0, T_END, HALF = 0.25, 0.5, 12.0


def best_of(fn, repeats):
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def gaussian(x, t):
    return np.sqrt(T0 / (T0 + t)) * np.exp(-x * x / (4.0 * (T0 + t)))


# --------------------------------------------------------------------------
# 1. Throughput
# --------------------------------------------------------------------------


def throughput(exponents, node_steps, repeats):
    rows = []
    for k in exponents:
        n = 2**k
        steps = max(2, node_steps // n)
        x = np.linspace(-HALF, HALF, n)
        u0 = gaussian(x, 0.0)
        h = quorvane.Heat1D(-HALF, HALF, n, u0)
        h.evolve(1e-3, 1)  # warm caches and the worker configuration
        seconds = best_of(lambda: h.evolve(1e-4, steps), repeats)
        rows.append((n, steps, seconds / (n * steps)))
    return rows


# --------------------------------------------------------------------------
# 2. Time to accuracy
# --------------------------------------------------------------------------


def mirrored_laplacian(n, dx, weights):
    """Central-difference Laplacian with mirrored ghosts (u[-j] = u[j])."""
    half = len(weights) // 2
    rows, cols, vals = [], [], []
    for offset, w in zip(range(-half, half + 1), weights):
        i = np.arange(n)
        j = i + offset
        j = np.where(j < 0, -j, j)
        j = np.where(j > n - 1, 2 * (n - 1) - j, j)
        rows.append(i)
        cols.append(j)
        vals.append(np.full(n, w))
    a = sp.csr_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))), shape=(n, n))
    return a / (dx * dx)  # duplicates (mirrored entries) are summed


FD2 = [1.0, -2.0, 1.0]
FD8 = [-1 / 560, 8 / 315, -1 / 5, 8 / 5, -205 / 72, 8 / 5, -1 / 5, 8 / 315, -1 / 560]


def heat1d_run(n, steps):
    x = np.linspace(-HALF, HALF, n)
    u0, exact = gaussian(x, 0.0), gaussian(x, T_END)

    def run():
        h = quorvane.Heat1D(-HALF, HALF, n, u0)
        h.evolve(T_END, steps)
        return h.values()

    return run, exact


def scipy_run(n, weights):
    x = np.linspace(-HALF, HALF, n)
    u0, exact = gaussian(x, 0.0), gaussian(x, T_END)
    lap = mirrored_laplacian(n, x[1] - x[0], weights)

    def run():
        return expm_multiply(T_END * lap, u0)

    return run, exact


def cheapest(configs, target, repeats):
    """The fastest configuration whose error meets the target: (seconds, label, error)."""
    best = None
    for label, (run, exact) in configs:
        error = float(np.max(np.abs(run() - exact)))
        if error > target:
            continue
        seconds = best_of(run, repeats)
        if best is None or seconds < best[0]:
            best = (seconds, label, error)
    return best


def time_to_accuracy(targets, repeats, quick):
    grids = [61, 121, 241, 481] if quick else [61, 121, 241, 481, 961]
    # The 3-point Laplacian needs n ~ 7700 (15 s) for 1e-6: left out, it
    # would dominate the run.
    fd2_grids = [241, 481, 961, 1921] if quick else [241, 481, 961, 1921, 3841]
    steps_list = [2**j for j in range(2, 12)]
    results = {}
    for target in targets:
        # Heat1D: for each grid the smallest step count that meets the target.
        heat_configs = []
        for n in grids:
            for steps in steps_list:
                run, exact = heat1d_run(n, steps)
                if np.max(np.abs(run() - exact)) <= target:
                    heat_configs.append((f"n={n}, steps={steps}", (run, exact)))
                    break
        results[target] = {
            "Heat1D": cheapest(heat_configs, target, repeats),
            "expm_multiply FD8": cheapest([(f"n={n}", scipy_run(n, FD8)) for n in grids], target, repeats),
            "expm_multiply FD2": cheapest([(f"n={n}", scipy_run(n, FD2)) for n in fd2_grids], target, repeats),
        }
    return results


# --------------------------------------------------------------------------
# 3. Thread scaling
# --------------------------------------------------------------------------

SCALING_SCRIPT = """
import json, sys, time
import numpy as np
import quorvane
n, steps, repeats = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
x = np.linspace(-12.0, 12.0, n)
h = quorvane.Heat1D(-12.0, 12.0, n, np.exp(-x * x))
h.evolve(1e-3, 1)
best = float("inf")
for _ in range(repeats):
    start = time.perf_counter()
    h.evolve(1e-4, steps)
    best = min(best, time.perf_counter() - start)
print(json.dumps(best))
"""


def timed_subprocess(threshold, n, steps, repeats):
    env = dict(os.environ, TAMBRIK_PARALLEL_THRESHOLD=str(threshold))
    module_dir = os.path.dirname(os.path.abspath(quorvane.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    out = subprocess.run([sys.executable, "-c", SCALING_SCRIPT, str(n), str(steps), str(repeats)], env=env,
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def thread_scaling(exponents, node_steps, repeats):
    rows = []
    for k in exponents:
        n = 2**k
        steps = max(2, node_steps // n)
        serial = timed_subprocess(1000000, n, steps, repeats)
        parallel = timed_subprocess(64, n, steps, repeats)
        rows.append((n, steps, serial, parallel))
    return rows


# --------------------------------------------------------------------------
# 4. values() overhead
# --------------------------------------------------------------------------


def values_overhead(number):
    x = np.linspace(0.0, 1.0, 16)
    h = quorvane.Heat1D(0.0, 1.0, 16, x)
    values = min(timeit.repeat(h.values, number=number, repeat=7)) / number
    copy = min(timeit.repeat(x.copy, number=number, repeat=7)) / number
    return values, copy


# --------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes, targets and repeats")
    quick = parser.parse_args().quick

    repeats = 2 if quick else 3
    node_steps = 2**20 if quick else 2**22
    exponents = range(10, 19, 2) if quick else range(10, 19)
    targets = [1e-4, 1e-6] if quick else [1e-4, 1e-6, 1e-8]

    print(f"quorvane {quorvane.version()}  ({os.cpu_count()} processors, "
          f"TAMBRIK_PARALLEL_THRESHOLD={os.environ.get('TAMBRIK_PARALLEL_THRESHOLD', 'unset (2048)')})")
    print()

    print("1. Heat1D throughput (constant a, this process)")
    print(f"{'n':>8} {'steps':>6} {'ns / node-step':>15}")
    tput = throughput(exponents, node_steps, repeats)
    for n, steps, per in tput:
        print(f"{n:8d} {steps:6d} {per * 1e9:15.2f}")
    print()

    print(f"2. Time to accuracy: Gaussian t0={T0} -> t={T_END} on [-{HALF}, {HALF}]")
    print(f"{'target':>8} {'method':<20} {'time [ms]':>10} {'max error':>10}  configuration")
    tta = time_to_accuracy(targets, repeats, quick)
    for target, methods in tta.items():
        for name, best in methods.items():
            if best is None:
                print(f"{target:8.0e} {name:<20} {'—':>10} {'—':>10}  not reached on the searched grids")
            else:
                print(f"{target:8.0e} {name:<20} {best[0] * 1e3:10.3f} {best[2]:10.2e}  {best[1]}")
    print()

    print("3. Thread scaling (subprocesses; threshold 1000000 = serial, 64 = parallel)")
    print(f"{'n':>8} {'steps':>6} {'serial [ms]':>12} {'parallel [ms]':>14}")
    scaling = thread_scaling([14, 16, 18] if not quick else [16, 18], node_steps, repeats)
    for n, steps, serial, parallel in scaling:
        print(f"{n:8d} {steps:6d} {serial * 1e3:12.3f} {parallel * 1e3:14.3f}")
    print()

    print("4. values() for n = 16 against ndarray.copy()")
    values, copy = values_overhead(20000 if quick else 200000)
    print(f"   values(): {values * 1e9:.1f} ns   ndarray.copy(): {copy * 1e9:.1f} ns")
    print()

    rows = []
    base = tput[0][2]
    for n, _, per in tput:
        rows.append((f"node-step time, n=2^{int(math.log2(n))}", f"{per * 1e9:.2f} ns", f"{base * 1e9:.2f} ns (n=2^10)",
                     per / base))
    for target, methods in tta.items():
        mine = methods["Heat1D"]
        for ref in ("expm_multiply FD8", "expm_multiply FD2"):
            other = methods[ref]
            if mine is None or other is None:
                rows.append((f"time to {target:.0e} vs {ref}", "—" if mine is None else f"{mine[0] * 1e3:.2f} ms",
                             "—" if other is None else f"{other[0] * 1e3:.2f} ms", float("nan")))
            else:
                rows.append((f"time to {target:.0e} vs {ref}", f"{mine[0] * 1e3:.2f} ms", f"{other[0] * 1e3:.2f} ms",
                             mine[0] / other[0]))
    for n, _, serial, parallel in scaling:
        rows.append((f"parallel / serial, n=2^{int(math.log2(n))}", f"{parallel * 1e3:.2f} ms",
                     f"{serial * 1e3:.2f} ms", parallel / serial))
    rows.append(("values() / ndarray.copy(), n=16 (aim <= 3)", f"{values * 1e9:.1f} ns", f"{copy * 1e9:.1f} ns",
                 values / copy))

    print("Summary: ratio = quorvane / reference")
    width = max(len(r[0]) for r in rows)
    print(f"{'measurement':<{width}} {'quorvane':>12} {'reference':>22} {'ratio':>8}")
    for name, mine, ref, ratio in rows:
        print(f"{name:<{width}} {mine:>12} {ref:>22} {ratio:8.3g}")


if __name__ == "__main__":
    main()
