"""Benchmark of quorvane.Heat2D and quorvane.Heat3D against fixed references.

Every figure is reported as a ratio against a reference measured in the same run:

1. Throughput: ns per node-step of Heat2D.evolve (256^2, 1024^2) and Heat3D.evolve
   (64^3, 128^3) on cos(pi x) cos(pi y) [cos(pi z)] over the unit square or cube,
   reflecting ends, tau = 2.5 dx^2, and the same per sweep (a Heat2D step is three
   sweeps of its lines, a Heat3D step five), against the 1-D planned node-step
   (Heat1D on 2^18 nodes, the same tau rule) and a 21-tap stencil loop
   (bench/stencil21.cpp, built here with the library's flags). Each is measured in
   its own subprocess, once pinned to one CPU (taskset) and once on every CPU.
   Parallel efficiency = T1 / (W * TW), W the workers the call uses.
2. Small grids: one Heat2D step on 9^2, 17^2 and 33^2, as one step of a 100-step
   call and as a call of one step.
3. The memory floor: a STREAM-like copy (bench/stream_copy.cpp) on one CPU and on
   every CPU. A sweep reads one array and writes the other, 16 bytes a node, so a
   Heat2D step moves at least 48 bytes a node and a Heat3D step 80; bytes / bandwidth
   is the least time a node-step can take.
4. Time to a maximum error of 1e-4 and 1e-6 on that cos mode (t = 0.05 in 2-D, 0.02
   in 3-D; exact solution exp(-d pi^2 t) times the mode): Heat2D / Heat3D against
   SciPy's expm_multiply on the 4th- and 6th-order central-difference Laplacians with
   mirrored ends, solve_ivp's BDF with the sparse Jacobian of those matrices, and the
   DCT-I solution (exact in time and, for this mode, on any grid: the floor). Every
   method is tuned over its grid and its step count or tolerance; the cheapest
   configuration that reaches the target counts (operator matrices are built outside
   the timed region).

Timings are minima over repeats; on a loaded machine they are noisy (the ratios less
so, both sides being measured in the same run). Run on a quiet machine for the
parallel figures.

Run:  python bench/bench_multid.py [--quick]
(with PYTHONPATH pointing at a build directory when quorvane is not installed).
"""

from __future__ import annotations

import argparse
import math
import os
import shutil
import subprocess
import tempfile
import timeit

import numpy as np
import scipy.fft as sfft
import scipy.sparse as sp
from scipy.integrate import solve_ivp
from scipy.sparse.linalg import expm_multiply

import quorvane
from bench_heat1d import (FD4, build_stencil_loop, library_flags, mirrored_laplacian, print_summary,
                          print_time_to_accuracy, script_ns, stencil_ns)
from bench_heat1d import search as heat1d_search

HERE = os.path.dirname(os.path.abspath(__file__))
FD6 = [1 / 90, -3 / 20, 3 / 2, -49 / 18, 3 / 2, -3 / 20, 1 / 90]
T_END = {2: 0.05, 3: 0.02}
SWEEPS = {1: 1, 2: 3, 3: 5}
NODES_PER_WORKER, WORK_PER_WORKER = 1024, 8192  # the library's sweep_worker_count rule


def processors():
    return len(os.sched_getaffinity(0))


def sweep_workers(d, n, steps):
    """Workers the library gives a Heat2D/Heat3D call of `steps` steps on n^d nodes."""
    nodes = n**d
    return max(1, min(processors(), n ** (d - 1), nodes // NODES_PER_WORKER,
                      nodes * SWEEPS[d] * steps // WORK_PER_WORKER))


# --------------------------------------------------------------------------
# 1. Throughput
# --------------------------------------------------------------------------

THROUGHPUT_SCRIPT = """
import json, sys, time
import numpy as np
import quorvane as q
d, n, steps, repeats = (int(a) for a in sys.argv[1:5])
x = np.linspace(0.0, 1.0, n)
dx = x[1] - x[0]
tau = 2.5 * dx * dx
c = np.cos(np.pi * x)
if d == 1:
    h = q.Heat1D(0.0, 1.0, n, c)
    run = lambda k: h.evolve(tau * k, k)
else:
    u = c
    for _ in range(d - 1):
        u = np.multiply.outer(u, c)
    u = u.ravel(order="F")
    h = q.Heat2D(0, 1, n, 0, 1, n) if d == 2 else q.Heat3D(0, 1, n, 0, 1, n, 0, 1, n)
    run = lambda k: h.evolve(u, tau, k)
run(1)
best = float("inf")
for _ in range(repeats):
    start = time.perf_counter()
    run(steps)
    best = min(best, time.perf_counter() - start)
print(json.dumps(best / (n**d * steps)))
"""


def pinned():
    return ["taskset", "-c", str(min(os.sched_getaffinity(0)))] if shutil.which("taskset") else []


def heat_ns(d, n, steps, repeats, one_cpu):
    """ns per node-step, in a subprocess on one CPU (the 1-D driver kept serial too) or on all."""
    return script_ns(THROUGHPUT_SCRIPT, 1000000 if one_cpu else 64, d, n, steps, repeats,
                     prefix=pinned() if one_cpu else ())


def throughput(cases, node_steps, repeats, workdir):
    exe = build_stencil_loop(workdir)
    n1 = 2**18
    steps1 = max(4, node_steps // n1)
    ref = {
        "loop": stencil_ns(exe, n1, steps1, repeats),
        "1d_one": heat_ns(1, n1, steps1, repeats, True),
        "1d_all": heat_ns(1, n1, steps1, repeats, False),
    }
    rows = []
    for d, n in cases:
        steps = max(2, node_steps // n**d)
        rows.append((d, n, steps, heat_ns(d, n, steps, repeats, True), heat_ns(d, n, steps, repeats, False),
                     sweep_workers(d, n, steps)))
    return ref, rows


# --------------------------------------------------------------------------
# 2. Small grids
# --------------------------------------------------------------------------


def small_grids(sizes, number):
    rows = []
    for n in sizes:
        x = np.linspace(0.0, 1.0, n)
        u = np.multiply.outer(np.cos(np.pi * x), np.cos(np.pi * x)).ravel(order="F")
        tau = 2.5 * (x[1] - x[0]) ** 2
        h = quorvane.Heat2D(0, 1, n, 0, 1, n)
        many = min(timeit.repeat(lambda: h.evolve(u, tau, 100), number=max(1, number // 100), repeat=5))
        one = min(timeit.repeat(lambda: h.evolve(u, tau, 1), number=number, repeat=5))
        rows.append((n, many / max(1, number // 100) / 100, one / number))
    return rows


# --------------------------------------------------------------------------
# 3. Bandwidth
# --------------------------------------------------------------------------


def bandwidth(workdir, repeats):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    exe = os.path.join(workdir, "stream_copy")
    subprocess.run([compiler, "-std=c++23", *library_flags(), "-pthread", "-o", exe,
                    os.path.join(HERE, "stream_copy.cpp")], check=True)

    def gbs(prefix, threads):
        out = subprocess.run(prefix + [exe, "256", str(threads), str(repeats)], check=True, capture_output=True,
                             text=True)
        return float(out.stdout.split()[0])

    return gbs(pinned(), 1), gbs([], processors())


# --------------------------------------------------------------------------
# 4. Time to accuracy
# --------------------------------------------------------------------------


def nodes(n):
    return np.linspace(0.0, 1.0, n)


def mode(d, n):
    c = np.cos(np.pi * nodes(n))
    u = c
    for _ in range(d - 1):
        u = np.multiply.outer(u, c)
    return u


def exact(d, n):
    return math.exp(-d * math.pi**2 * T_END[d]) * mode(d, n)


def laplacian(d, n, weights):
    """The mirrored central-difference Laplacian of the n^d grid (x fastest, as ravel order F)."""
    one = mirrored_laplacian(n, 1.0 / (n - 1), weights)
    eye = sp.identity(n, format="csr")
    total = None
    for axis in range(d):
        term = one if axis == 0 else eye
        for other in range(1, d):
            term = sp.kron(one if other == axis else eye, term, format="csr")
        total = term if total is None else total + term
    return total.tocsr()


def quorvane_run(d, n, steps):
    u0 = mode(d, n).ravel(order="F")
    t = T_END[d]

    def run():
        h = quorvane.Heat2D(0, 1, n, 0, 1, n) if d == 2 else quorvane.Heat3D(0, 1, n, 0, 1, n, 0, 1, n)
        return h.evolve(u0, t / steps, steps).reshape((n,) * d, order="F")

    return run


def expm_run(d, n, weights):
    a = laplacian(d, n, weights)
    u0 = mode(d, n).ravel(order="F")
    return lambda: expm_multiply(T_END[d] * a, u0).reshape((n,) * d, order="F")


def bdf_run(d, n, weights, rtol):
    a = laplacian(d, n, weights)
    u0 = mode(d, n).ravel(order="F")

    def run():
        sol = solve_ivp(lambda t, u: a @ u, (0.0, T_END[d]), u0, method="BDF", jac=a, rtol=rtol, atol=rtol * 1e-2,
                        t_eval=[T_END[d]])
        return sol.y[:, -1].reshape((n,) * d, order="F")

    return run


def dct_run(d, n):
    u0 = mode(d, n)
    decay = np.ones((n,) * d)
    k2 = (math.pi * np.arange(n)) ** 2  # cos(pi m x) on [0, 1] with mirror ends
    for axis in range(d):
        shape = [1] * d
        shape[axis] = n
        decay = decay * np.exp(-k2 * T_END[d]).reshape(shape)
    return lambda: sfft.idctn(sfft.dctn(u0, type=1) * decay, type=1)


def search(d, make, grids, knobs, targets, repeats):
    """bench_heat1d's search against the exact d-D solution; a grid ends once its error falls by less than 0.7."""
    return heat1d_search(make, grids, knobs, targets, repeats,
                         error=lambda run, n: float(np.max(np.abs(run() - exact(d, n)))), stall=0.7)


def time_to_accuracy(d, targets, repeats, quick):
    grids = [5, 7, 9, 13, 17, 25, 33] if d == 2 else [5, 7, 9, 13, 17]
    if not quick:
        grids += [49, 65] if d == 2 else [25]
    steps = [f"steps={2**j}" for j in range(0, 13 if d == 2 else 11)]
    tols = [f"rtol={10.0**-j:.0e}" for j in range(3, 13)]
    knob = lambda s: float(s.split("=")[1])  # noqa: E731
    results = {
        "quorvane": search(d, lambda n, s: quorvane_run(d, n, int(knob(s))), grids, steps, targets, repeats),
        "DCT-I": search(d, lambda n, s: dct_run(d, n), [3, 5, 9, 17], ["exact"], targets, repeats),
    }
    for label, weights in (("FD4", FD4), ("FD6", FD6)):
        results[f"expm_multiply {label}"] = search(d, lambda n, s: expm_run(d, n, weights), grids, ["exact"],
                                                   targets, repeats)
        bdf_grids = [g for g in grids if g**d <= 10000]  # a sparse LU of larger 3-D systems takes seconds
        results[f"BDF {label}"] = search(d, lambda n, s: bdf_run(d, n, weights, knob(s)), bdf_grids, tols, targets,
                                         repeats)
    return results


# --------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer node-steps, repeats and grids")
    quick = parser.parse_args().quick
    repeats = 3 if quick else 5
    node_steps = 2**23 if quick else 2**25
    targets = [1e-4, 1e-6]
    cases = [(2, 256), (2, 1024), (3, 64), (3, 128)]

    print(f"quorvane {quorvane.version()}  ({processors()} processors available; "
          f"compiler flags {' '.join(library_flags())})")
    print()
    with tempfile.TemporaryDirectory() as workdir:
        ref, tput = throughput(cases, node_steps, repeats, workdir)
        bw_one, bw_all = bandwidth(workdir, repeats)

    print("1. ns per node-step (and per sweep) against Heat1D's planned node-step (n = 2^18) and the 21-tap loop")
    print(f"   references: 21-tap loop {ref['loop']:.2f} ns (one CPU); Heat1D {ref['1d_one']:.2f} ns on one CPU, "
          f"{ref['1d_all']:.2f} ns on all")
    print(f"{'case':<14} {'steps':>5} {'CPUs':>5} {'node-step':>10} {'per sweep':>10} {'/Heat1D':>8} {'/loop':>7} "
          f"{'workers':>8} {'efficiency':>10}")
    for d, n, steps, one, every, w in tput:
        name = f"Heat{d}D {n}^{d}"
        for label, ns, h1 in (("one", one, ref["1d_one"]), ("all", every, ref["1d_all"])):
            sweep = ns / SWEEPS[d]
            eff = f"{one / (every * w):10.2f}" if label == "all" else f"{'':>10}"
            print(f"{name:<14} {steps:5d} {label:>5} {ns:10.2f} {sweep:10.2f} {sweep / h1:8.2f} "
                  f"{sweep / ref['loop']:7.2f} {w if label == 'all' else 1:8d} {eff}")
    print()

    print("2. Heat2D step on small grids")
    small = small_grids([9, 17, 33], 2000 if quick else 10000)
    for n, many, one in small:
        print(f"   {n}^2: {many * 1e6:.2f} us a step of a 100-step call, {one * 1e6:.2f} us a call of one step")
    print()

    print("3. Memory floor (STREAM-like copy, read + write bytes)")
    print(f"   one CPU {bw_one:.1f} GB/s, all CPUs {bw_all:.1f} GB/s")
    for d, n, _, one, every, _ in tput:
        moved = 16 * SWEEPS[d]
        print(f"   Heat{d}D {n}^{d}: {moved} B a node-step -> floor {moved / bw_one:.2f} ns (one CPU), "
              f"{moved / bw_all:.2f} ns (all); measured {one:.2f} / {every:.2f} ns")
    print()

    tta = {}
    for d in (2, 3):
        print(f"4. Time to max error, {d}-D cos mode to t = {T_END[d]}")
        print(f"{'target':>8} {'method':<20} {'time [ms]':>10} {'max error':>10}  configuration")
        tta[d] = time_to_accuracy(d, targets, 2 if quick else 3, quick)
        print_time_to_accuracy(tta[d], targets, 20)
        print()

    rows = []
    for d, n, _, one, every, w in tput:
        rows.append((f"Heat{d}D {n}^{d} per sweep / Heat1D node-step, one CPU (aim <= 1.5)",
                     f"{one / SWEEPS[d]:.2f} ns", f"{ref['1d_one']:.2f} ns", one / SWEEPS[d] / ref["1d_one"]))
        rows.append((f"Heat{d}D {n}^{d} per sweep / 21-tap loop, one CPU", f"{one / SWEEPS[d]:.2f} ns",
                     f"{ref['loop']:.2f} ns", one / SWEEPS[d] / ref["loop"]))
        rows.append((f"Heat{d}D {n}^{d} per sweep / Heat1D node-step, all CPUs", f"{every / SWEEPS[d]:.2f} ns",
                     f"{ref['1d_all']:.2f} ns", every / SWEEPS[d] / ref["1d_all"]))
        rows.append((f"Heat{d}D {n}^{d} parallel efficiency, {w} workers (aim >= 0.6)", f"{every:.2f} ns",
                     f"{one:.2f} ns", one / (every * w)))
        moved = 16 * SWEEPS[d]
        rows.append((f"Heat{d}D {n}^{d} node-step / memory floor, all CPUs", f"{every:.2f} ns",
                     f"{moved / bw_all:.2f} ns", every / (moved / bw_all)))
    for n, many, one in small:
        rows.append((f"Heat2D {n}^2 step (aim <= 10 us) / one-step call", f"{many * 1e6:.2f} us",
                     f"{one * 1e6:.2f} us", many / one))
    for d in (2, 3):
        for target in targets:
            mine = tta[d]["quorvane"][target]
            for other in ("expm_multiply FD6", "expm_multiply FD4", "BDF FD6", "BDF FD4", "DCT-I"):
                theirs = tta[d][other][target]
                label = f"Heat{d}D time to {target:.0e} / {other}"
                if mine is None or theirs is None:
                    rows.append((label, "-" if mine is None else f"{mine[0] * 1e3:.3f} ms",
                                 "-" if theirs is None else f"{theirs[0] * 1e3:.3f} ms", float("nan")))
                else:
                    rows.append((label, f"{mine[0] * 1e3:.3f} ms", f"{theirs[0] * 1e3:.3f} ms", mine[0] / theirs[0]))

    print_summary(rows)


if __name__ == "__main__":
    main()
