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
   mirrored ends, solve_ivp's BDF with the sparse Jacobian of those matrices, the
   library's own Krylov route on the same matrices (SymmetricOperator, Chebyshev path:
   the matrix made symmetric by the trapezoidal weights, W^1/2 A W^-1/2, and the data
   scaled by W^1/2 and back inside the timed region), and the DCT-I solution (exact in
   time and, for this mode, on any grid: the floor). Every method is tuned over its
   grid and its step count or tolerance; the cheapest configuration that reaches the
   target counts (operator matrices are built outside the timed region).
5. Against Crank-Nicolson ADI (Peaceman-Rachford on the 3-point Laplacian; the 1-D
   systems by LAPACK's tridiagonal LU through SciPy, factored once; the explicit halves
   in NumPy) and the Chebyshev route of section 4 on the 6th-order matrix (up to 256^2),
   on a Gaussian bump exp(-|x - c|^2 / (4 t0)), t0 = 0.004, c = (0.43, 0.56), to
   t = 0.01 on 128^2 to 1024^2 with mirror ends: time to a relative error
   (max |u - ref| / max |ref|, ref the DCT-I solution on the same grid) of 1e-3, 1e-4
   and 1e-5, each method run from its cheapest step count (doubling) or tol (tenfold)
   until it meets the smallest target or its error stops falling, and the least error
   it saw. ADI's floor is the 3-point Laplacian's O(dx^2) error, which is why the
   targets stop at 1e-5. Heat2D on every processor and held to one, ADI and the
   Chebyshev route (one column) on one thread.

Timings are minima over repeats; on a loaded machine they are noisy (the ratios less
so, both sides being measured in the same run). Run on a quiet machine for the
parallel figures.

Run:  python bench/bench_multid.py [--quick] [--sections 1,2,3,4,5]
(with PYTHONPATH pointing at a build directory when quorvane is not installed).
"""

from __future__ import annotations

import itertools
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
from scipy.linalg import lapack
from scipy.sparse.linalg import expm_multiply

import quorvane
from harness import on_one_processor, options, processors, progress
from bench_heat1d import (FD4, build_stencil_loop, library_flags, mirrored_laplacian, print_summary,
                          print_time_to_accuracy, script_ns, stencil_ns)
from bench_heat1d import search as heat1d_search

HERE = os.path.dirname(os.path.abspath(__file__))
FD6 = [1 / 90, -3 / 20, 3 / 2, -49 / 18, 3 / 2, -3 / 20, 1 / 90]
T_END = {2: 0.05, 3: 0.02}
SWEEPS = {1: 1, 2: 3, 3: 5}
NODES_PER_WORKER, WORK_PER_WORKER = 1024, 8192  # the library's sweep_worker_count rule


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


def dct_decay(d, n, t):
    """exp(-|k|^2 t) on the DCT-I coefficients of an n^d grid on [0, 1]^d with mirror ends."""
    decay = np.ones((n,) * d)
    k2 = (math.pi * np.arange(n)) ** 2  # cos(pi m x) on [0, 1] with mirror ends
    for axis in range(d):
        shape = [1] * d
        shape[axis] = n
        decay = decay * np.exp(-k2 * t).reshape(shape)
    return decay


def dct_run(d, n):
    u0 = mode(d, n)
    decay = dct_decay(d, n, T_END[d])
    return lambda: sfft.idctn(sfft.dctn(u0, type=1) * decay, type=1)


def trapezoid_weights(d, n):
    """The trapezoidal weights of the n^d grid (1/2 at each end of each axis), x fastest."""
    w1 = np.ones(n)
    w1[0] = w1[-1] = 0.5
    w = w1
    for _ in range(d - 1):
        w = np.multiply.outer(w, w1)
    return w.ravel(order="F")


def symmetric_fd(d, n, weights):
    """W^1/2 (-L) W^-1/2 as a SymmetricOperator, L the mirrored difference Laplacian, W the trapezoidal weights.

    L is symmetric in the trapezoidal inner product, so S = W^1/2 (-L) W^-1/2 is a
    symmetric positive semidefinite matrix and e^{tL} u0 = W^-1/2 e^{-tS} W^1/2 u0.
    Returns (W^1/2 as a flat array, x fastest; the operator).
    """
    root = np.sqrt(trapezoid_weights(d, n))
    a = sp.diags(root) @ (-laplacian(d, n, weights)) @ sp.diags(1.0 / root)
    a = ((a + a.T) * 0.5).tocsr()  # symmetric to rounding already; exactly so for from_csr
    a.sort_indices()
    op = quorvane.SymmetricOperator.from_csr(a.indptr.astype(np.int64), a.indices.astype(np.int32), a.data,
                                             a.shape[0])
    return root, op


def krylov_run(d, n, weights, tol):
    """e^{tL} u0 by SymmetricOperator's Chebyshev action (symmetric_fd), the scalings inside the timed region."""
    root, op = symmetric_fd(d, n, weights)
    u0 = mode(d, n).ravel(order="F")

    def run():
        v = op.evolve_batched(T_END[d], (root * u0)[:, None], tol=tol)
        return (v[:, 0] / root).reshape((n,) * d, order="F")

    return run


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
    cheb_tols = [f"tol={10.0**-j:.0e}" for j in range(4, 13, 2)]
    knob = lambda s: float(s.split("=")[1])  # noqa: E731
    results = {
        "quorvane": search(d, lambda n, s: quorvane_run(d, n, int(knob(s))), grids, steps, targets, repeats),
        "DCT-I": search(d, lambda n, s: dct_run(d, n), [3, 5, 9, 17], ["exact"], targets, repeats),
    }
    for label, weights in (("FD4", FD4), ("FD6", FD6)):
        results[f"expm_multiply {label}"] = search(d, lambda n, s: expm_run(d, n, weights), grids, ["exact"],
                                                   targets, repeats)
        results[f"Chebyshev {label}"] = search(d, lambda n, s: krylov_run(d, n, weights, knob(s)), grids, cheb_tols,
                                               targets, repeats)
        bdf_grids = [g for g in grids if g**d <= 10000]  # a sparse LU of larger 3-D systems takes seconds
        results[f"BDF {label}"] = search(d, lambda n, s: bdf_run(d, n, weights, knob(s)), bdf_grids, tols, targets,
                                         repeats)
    return results


# --------------------------------------------------------------------------
# 5. Against ADI on a Gaussian bump
# --------------------------------------------------------------------------

BUMP_T0, BUMP_T = 0.004, 0.01


def bump(n):
    x = nodes(n)
    gx, gy = np.meshgrid(x, x, indexing="ij")
    return np.exp(-((gx - 0.43) ** 2 + (gy - 0.56) ** 2) / (4 * BUMP_T0))


def lap_3point(u, axis, h):
    """The 3-point Laplacian along `axis` on [0, 1] with mirror ghosts u[-1] = u[1], u[n] = u[n-2]."""
    u = np.moveaxis(u, axis, 0)
    out = np.empty_like(u)
    out[1:-1] = u[:-2] - 2.0 * u[1:-1] + u[2:]
    out[0] = 2.0 * (u[1] - u[0])
    out[-1] = 2.0 * (u[-2] - u[-1])
    return np.moveaxis(out, 0, axis) / (h * h)


def adi_run(u0, steps):
    """Peaceman-Rachford ADI with Crank-Nicolson half steps; the tridiagonal 1-D system I - tau/2 A is
    factored once by LAPACK (dgttrf) and every half step solves all lines of an axis in one dgttrs call."""
    n = u0.shape[0]
    h, tau = 1.0 / (n - 1), BUMP_T / steps
    r = 0.5 * tau / (h * h)
    lower, upper = np.full(n - 1, -r), np.full(n - 1, -r)
    lower[-1] = upper[0] = -2.0 * r  # the mirror ghosts double the end couplings
    factors = lapack.dgttrf(lower, np.full(n, 1.0 + 2.0 * r), upper)[:5]

    def solve(rhs):  # along axis 0, for every column
        return lapack.dgttrs(*factors, rhs)[0]

    def run():
        u = u0  # u[i, j] = u(x_i, y_j)
        for _ in range(steps):
            half = solve(u + 0.5 * tau * lap_3point(u, 1, h))  # implicit in x, explicit in y
            u = solve((half + 0.5 * tau * lap_3point(half, 0, h)).T).T  # implicit in y, explicit in x
        return u

    return run


def heat2d_bump_run(u0, steps):
    n = u0.shape[0]
    flat = u0.ravel(order="F")

    def run():
        h = quorvane.Heat2D(0.0, 1.0, n, 0.0, 1.0, n)
        return h.evolve(flat, BUMP_T / steps, steps).reshape((n, n), order="F")

    return run


def chebyshev_bump_run(u0, tol):
    """krylov_run's route on the bump: SymmetricOperator's Chebyshev action on the 6th-order matrix."""
    n = u0.shape[0]
    root, op = symmetric_fd(2, n, FD6)
    flat = root * u0.ravel(order="F")

    def run():
        return (op.evolve_batched(BUMP_T, flat[:, None], tol=tol)[:, 0] / root).reshape((n, n), order="F")

    return run


def on_one_cpu(make):
    """make's run with the calling thread held to one CPU: the sweeps read the affinity mask at every call, so the
    call runs on one worker."""

    def pinned_make(u0, knob):
        run = make(u0, knob)
        return lambda: on_one_processor(run)

    return pinned_make


STEP_COUNTS = [2**j for j in range(10)]
CHEB_TOLS = [10.0**-j for j in range(3, 11)]
CHEB_MAX_GRID = 256  # its time grows some 16-fold a doubling of the grid: seconds beyond


def against_adi(sizes, targets, repeats):
    """Per size: {method: ({target: (seconds, knob, error) or None}, least error)}. Each method runs through its knob
    (step count or tol) from cheap to accurate until it meets the smallest target or its error stops falling (the
    grid's floor)."""
    methods = (("Heat2D", heat2d_bump_run, STEP_COUNTS, 4),
               ("Heat2D 1 CPU", on_one_cpu(heat2d_bump_run), STEP_COUNTS, 4),
               ("ADI", adi_run, STEP_COUNTS, 4),
               ("Chebyshev FD6", chebyshev_bump_run, CHEB_TOLS, 1))
    rows = []
    for n in sizes:
        u0 = bump(n)
        ref = sfft.idctn(sfft.dctn(u0, type=1) * dct_decay(2, n, BUMP_T), type=1)
        scale = np.abs(ref).max()
        found = {}
        for name, make, knobs, stall_from in methods:
            if name.startswith("Chebyshev") and n > CHEB_MAX_GRID:
                continue
            reached, last, least = [], math.inf, math.inf
            for k, knob in enumerate(knobs):
                run = make(u0, knob)
                err = float(np.abs(run() - ref).max() / scale)
                least = min(least, err)
                if err <= max(targets):
                    reached.append((min(timeit.repeat(run, number=1, repeat=repeats)), knob, err))
                if err <= min(targets) or (k >= stall_from and err > 0.7 * last):
                    break
                last = err
            found[name] = ({t: min((r for r in reached if r[2] <= t), default=None) for t in targets}, least)
        rows.append((n, found))
    return rows


# --------------------------------------------------------------------------


def main():
    args = options(__doc__, full="about 10 min", quick="about 25 s",
                   add=lambda p: p.add_argument("--sections", default="1,2,3,4,5",
                                                help="which sections to run, e.g. 4,5 (default all)"))
    quick, sections = args.quick, {int(k) for k in args.sections.split(",")}
    repeats = 3 if quick else 5
    node_steps = 2**23 if quick else 2**25
    targets = [1e-4, 1e-6]
    adi_targets = [1e-3, 1e-4, 1e-5]
    cases = [(2, 256), (3, 64)] if quick else [(2, 256), (2, 1024), (3, 64), (3, 128)]

    print(f"quorvane {quorvane.version()}  ({processors()} processors available; "
          f"compiler flags {' '.join(library_flags())})")
    print()
    tput, small, tta, adi = [], [], {}, []
    if sections & {1, 3}:
        with tempfile.TemporaryDirectory() as workdir:
            progress("1. throughput of the sweeps")
            ref, tput = throughput(cases, node_steps, repeats, workdir)
            progress("3. the memory floor")
            bw_one, bw_all = bandwidth(workdir, repeats) if 3 in sections else (math.nan, math.nan)

    if 1 in sections:
        print("1. ns per node-step (and per sweep) against Heat1D's planned node-step (n = 2^18) and the 21-tap loop")
        print(f"   references: 21-tap loop {ref['loop']:.2f} ns (one CPU); Heat1D {ref['1d_one']:.2f} ns on one CPU, "
              f"{ref['1d_all']:.2f} ns on all")
        print(f"{'case':<14} {'steps':>5} {'CPUs':>5} {'node-step':>10} {'per sweep':>10} {'/Heat1D':>8} "
              f"{'/loop':>7} {'workers':>8} {'efficiency':>10}")
        for d, n, steps, one, every, w in tput:
            name = f"Heat{d}D {n}^{d}"
            for label, ns, h1 in (("one", one, ref["1d_one"]), ("all", every, ref["1d_all"])):
                sweep = ns / SWEEPS[d]
                eff = f"{one / (every * w):10.2f}" if label == "all" else f"{'':>10}"
                print(f"{name:<14} {steps:5d} {label:>5} {ns:10.2f} {sweep:10.2f} {sweep / h1:8.2f} "
                      f"{sweep / ref['loop']:7.2f} {w if label == 'all' else 1:8d} {eff}")
        print()

    if 2 in sections:
        print("2. Heat2D step on small grids")
        progress("2. small grids")
        small = small_grids([9, 17, 33], 2000 if quick else 10000)
        for n, many, one in small:
            print(f"   {n}^2: {many * 1e6:.2f} us a step of a 100-step call, {one * 1e6:.2f} us a call of one step")
        print()

    if 3 in sections:
        print("3. Memory floor (STREAM-like copy, read + write bytes)")
        print(f"   one CPU {bw_one:.1f} GB/s, all CPUs {bw_all:.1f} GB/s")
        for d, n, _, one, every, _ in tput:
            moved = 16 * SWEEPS[d]
            print(f"   Heat{d}D {n}^{d}: {moved} B a node-step -> floor {moved / bw_one:.2f} ns (one CPU), "
                  f"{moved / bw_all:.2f} ns (all); measured {one:.2f} / {every:.2f} ns")
        print()

    if 4 in sections:
        for d in (2,) if quick else (2, 3):
            print(f"4. Time to max error, {d}-D cos mode to t = {T_END[d]}")
            print(f"{'target':>8} {'method':<20} {'time [ms]':>10} {'max error':>10}  configuration")
            progress(f"4. time to accuracy in {d}-D")
            tta[d] = time_to_accuracy(d, targets, 2 if quick else 3, quick)
            print_time_to_accuracy(tta[d], targets, 20)
            print()

    if 5 in sections:
        print(f"5. Heat2D ({processors()} processors) against Peaceman-Rachford ADI (LAPACK dgttrs, one thread) and "
              f"the Chebyshev route on the 6th-order matrix (up to {CHEB_MAX_GRID}^2), Gaussian bump to t = 0.01, "
              "relative error")
        progress("5. against ADI and the Chebyshev route")
        adi = against_adi([128] if quick else [128, 256, 512, 1024], adi_targets, 2 if quick else 3)
        print(f"{'grid':>6} {'target':>8} {'Heat2D [ms]':>12} {'1 CPU':>7} {'steps':>6} {'ADI [ms]':>10} {'steps':>6} "
              f"{'/ADI':>6} {'1 CPU/ADI':>9} {'Cheb. [ms]':>10} {'tol':>6} {'/Cheb.':>7} {'1 CPU/Cheb.':>11}")
        for n, found in adi:
            for target in adi_targets:
                mine, single, theirs, cheb = (found[m][0][target] if m in found else None
                                              for m in ("Heat2D", "Heat2D 1 CPU", "ADI", "Chebyshev FD6"))
                cells = [f"{c[0] * 1e3:{w}.1f} {c[1]:{f}}" if c else f"{'-':>{w}} {'-':>6}"
                         for c, w, f in ((theirs, 10, "6d"), (cheb, 10, "6.0e"))]
                ratios = [f"{a[0] / b[0]:{w}.2f}" if a and b else f"{'-':>{w}}"
                          for a, b, w in ((mine, theirs, 6), (single, theirs, 9), (mine, cheb, 7), (single, cheb, 11))]
                head = (f"{mine[0] * 1e3:12.1f} {single[0] * 1e3 if single else math.nan:7.1f} {mine[1]:6d}" if mine
                        else f"{'-':>12} {'-':>7} {'-':>6}")
                print(f"{n:>4}^2 {target:8.0e} {head} {cells[0]} {ratios[0]} {ratios[1]} {cells[1]} {ratios[2]} "
                      f"{ratios[3]}")
            least = ", ".join(f"{m} {found[m][1]:.1e}" for m in found)
            print(f"{n:>4}^2 least error seen: {least}")
        print()

    rows = []
    for d, n, _, one, every, w in tput if 1 in sections else ():
        rows.append((f"Heat{d}D {n}^{d} per sweep / Heat1D node-step, one CPU (aim <= 1.5)",
                     f"{one / SWEEPS[d]:.2f} ns", f"{ref['1d_one']:.2f} ns", one / SWEEPS[d] / ref["1d_one"]))
        rows.append((f"Heat{d}D {n}^{d} per sweep / 21-tap loop, one CPU", f"{one / SWEEPS[d]:.2f} ns",
                     f"{ref['loop']:.2f} ns", one / SWEEPS[d] / ref["loop"]))
        rows.append((f"Heat{d}D {n}^{d} per sweep / Heat1D node-step, all CPUs", f"{every / SWEEPS[d]:.2f} ns",
                     f"{ref['1d_all']:.2f} ns", every / SWEEPS[d] / ref["1d_all"]))
        rows.append((f"Heat{d}D {n}^{d} parallel efficiency, {w} workers (aim >= 0.6)", f"{every:.2f} ns",
                     f"{one:.2f} ns", one / (every * w)))
        if 3 in sections:
            moved = 16 * SWEEPS[d]
            rows.append((f"Heat{d}D {n}^{d} node-step / memory floor, all CPUs", f"{every:.2f} ns",
                         f"{moved / bw_all:.2f} ns", every / (moved / bw_all)))
    for n, many, one in small:
        rows.append((f"Heat2D {n}^2 step (aim <= 10 us) / one-step call", f"{many * 1e6:.2f} us",
                     f"{one * 1e6:.2f} us", many / one))
    for d in tta:
        for target in targets:
            mine = tta[d]["quorvane"][target]
            for other in ("expm_multiply FD6", "expm_multiply FD4", "Chebyshev FD6", "Chebyshev FD4", "BDF FD6",
                          "BDF FD4", "DCT-I"):
                theirs = tta[d][other][target]
                label = f"Heat{d}D time to {target:.0e} / {other}"
                if mine is None or theirs is None:
                    rows.append((label, "-" if mine is None else f"{mine[0] * 1e3:.3f} ms",
                                 "-" if theirs is None else f"{theirs[0] * 1e3:.3f} ms", float("nan")))
                else:
                    rows.append((label, f"{mine[0] * 1e3:.3f} ms", f"{theirs[0] * 1e3:.3f} ms", mine[0] / theirs[0]))
    for n, found in adi:
        for target in adi_targets:
            for me, other in itertools.product(("Heat2D", "Heat2D 1 CPU"), ("ADI", "Chebyshev FD6")):
                if other not in found:
                    continue
                mine, theirs = found[me][0][target], found[other][0][target]
                rows.append((f"{me} {n}^2 bump time to {target:.0e} / {other}",
                             f"{mine[0] * 1e3:.1f} ms" if mine else "-", f"{theirs[0] * 1e3:.1f} ms" if theirs else "-",
                             mine[0] / theirs[0] if mine and theirs else float("nan")))
    if rows:
        print_summary(rows)


if __name__ == "__main__":
    main()
