"""Benchmark of quorvane.Heat1D (and the other heat classes) against fixed references.

Every figure is reported as a ratio against a reference measured in the same run:

0. The machine: how much faster P copies of the stencil loop run than one
   (P the processors this process may run on: its affinity mask, which taskset
   narrows), the parallel speedup this machine can give right now.
1. Throughput: ns per node-step of Heat1D.evolve (a = 1, cos(pi x) on [-1, 1],
   reflecting ends, tau = 2.5 dx^2) for n = 2^10 ... 2^22, on one thread
   (TAMBRIK_PARALLEL_THRESHOLD=1000000) and on every worker the split allows
   (threshold 64), each in its own subprocess, against a fixed 21-tap stencil
   loop (bench/stencil21.cpp) built here with the library's compiler flags.
   Parallel efficiency = serial time / (parallel time * processors used, the
   threads started but at most P: the 1-D steps start one per online
   processor whatever the affinity mask), and
   against the machine's (speedup / the speedup of as many loop copies);
   Heat1D's constant-coefficient steps keep shares of at least 2048 nodes,
   so 2^14 nodes and more run on every processor.
   The same for the other 1-D classes at n = 2^14 and 2^18 (one admissible
   step size each; the sampled-coefficient rows use a = 1 + 0.3 sin(pi x)),
   all against the same loop.
1c. The variable-coefficient path (Heat1D.with_a_array, a = 1 + 0.3 sin(pi x))
   against the constant one (a = 1) at the same tau = 0.5 dx^2 and step
   count, n = 2^14 and 2^18, on one thread and on every worker, both
   against the same loop; and Heat1DZeta8's step at n = 1001 (tau = dx^2,
   calls of 64 steps) against Heat1D's at the same n.
2. Fixed cost: Heat1D.evolve(t, 1) on 16 nodes against ndarray.copy() of 16
   values (and values() against the same copy).
3. Time to a maximum error of 1e-6, 1e-8 and 1e-10 on du/dt = u'' over
   [-12, 12] from u0 = exp(-x^2/(4 t0)), t0 = 0.25, to t = 0.5 (exact solution
   sqrt(t0/(t0+t)) exp(-x^2/(4(t0+t))), below 1e-30 at the ends), for
   Heat1D, Heat1D6th and the best other quorvane class, against SciPy's Radau
   and BDF (solve_ivp with the sparse Jacobian), expm_multiply and
   Crank-Nicolson with splu, each on the 4th- and 8th-order central-difference
   Laplacians with mirrored ends. Every method is tuned over its grid and its
   step count or tolerance; the cheapest configuration that reaches the target
   counts.

Timings are minima over repeats; on a loaded machine they are noisy (the
ratios less so, both sides being measured in the same run).

Run:  python bench/bench_heat1d.py [--quick]
(with PYTHONPATH pointing at a build directory when quorvane is not installed).
"""

from __future__ import annotations

import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import timeit

import numpy as np
import scipy.sparse as sp
from scipy.integrate import solve_ivp
from scipy.sparse.linalg import expm_multiply, splu

import quorvane
from harness import options, processors, progress

HERE = os.path.dirname(os.path.abspath(__file__))
T0, T_END, HALF = 0.25, 0.5, 12.0


def best_of(fn, repeats):
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def online():
    """The online processors: the 1-D steps start up to one thread on each, whatever the
    affinity mask."""
    return os.cpu_count() or 1


def module_env(**extra):
    env = dict(os.environ, **{k: str(v) for k, v in extra.items()})
    module_dir = os.path.dirname(os.path.abspath(quorvane.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    return env


# --------------------------------------------------------------------------
# 1. Throughput against the 21-tap stencil loop
# --------------------------------------------------------------------------


def library_flags():
    """The compile flags of the library, as CMakeLists.txt sets them."""
    text = open(os.path.join(HERE, os.pardir, "CMakeLists.txt")).read()
    match = re.search(r"set\(QUORVANE_CXX_FLAGS ([^)]*)\)", text)
    return match.group(1).split() if match else ["-O3", "-ffp-contract=off", "-fno-fast-math"]


def build_stencil_loop(workdir):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    exe = os.path.join(workdir, "stencil21")
    subprocess.run([compiler, "-std=c++23", *library_flags(), "-o", exe, os.path.join(HERE, "stencil21.cpp")],
                   check=True)
    return exe


def machine_speedup(exe, workers, repeats):
    """The speedup the machine gives `workers` independent copies of the stencil loop.

    One copy alone against `workers` copies started together (each 2^15 nodes,
    the same work): workers * alone / together, best of `repeats`. On a quiet
    machine this is close to `workers`; on a shared one it is what any
    parallel code can reach there, so parallel efficiencies are also given
    against it.
    """
    args = [exe, str(2**15), "2000", "1"]
    alone = together = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        subprocess.run(args, check=True, capture_output=True)
        alone = min(alone, time.perf_counter() - start)
        start = time.perf_counter()
        procs = [subprocess.Popen(args, stdout=subprocess.DEVNULL) for _ in range(workers)]
        for p in procs:
            p.wait()
        together = min(together, time.perf_counter() - start)
    return workers * alone / together


def stencil_ns(exe, n, steps, repeats):
    out = subprocess.run([exe, str(n), str(steps), str(repeats)], check=True, capture_output=True, text=True)
    return float(out.stdout.split()[0])


THROUGHPUT_SCRIPT = """
import json, sys, time
import numpy as np
import quorvane
n, steps, repeats = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
x = np.linspace(-1.0, 1.0, n)
dx = x[1] - x[0]
tau = 2.5 * dx * dx
h = quorvane.Heat1D(-1.0, 1.0, n, np.cos(np.pi * x))
h.evolve(tau, 1)
best = float("inf")
for _ in range(repeats):
    start = time.perf_counter()
    h.evolve(tau * steps, steps)
    best = min(best, time.perf_counter() - start)
print(json.dumps(best / (n * steps)))
"""


CLASS_SCRIPT = """
import json, sys, time
import numpy as np
import quorvane
name, n, steps, repeats, cfl = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
x = np.linspace(-1.0, 1.0, n)
dx = x[1] - x[0]
tau = cfl * dx * dx
u0 = np.cos(np.pi * x)
if name.endswith(".with_a_array"):
    h = getattr(quorvane, name.split(".")[0]).with_a_array(-1.0, 1.0, n, 1.0 + 0.3 * np.sin(np.pi * x), u0)
else:
    h = getattr(quorvane, name)(-1.0, 1.0, n, u0)
h.evolve(tau, 1)
best = float("inf")
for _ in range(repeats):
    start = time.perf_counter()
    h.evolve(tau * steps, steps)
    best = min(best, time.perf_counter() - start)
print(json.dumps(best / (n * steps)))
"""

# Class, step size in units of dx^2 (admissible for each), share of the
# node-steps budget (the slow classes run fewer steps), fewest nodes a worker
# takes (light multi-sweep steps keep their shares large).
OTHER_CLASSES = [
    ("Heat1D4th", 2.5, 1.0, 64),
    ("Heat1D6th", 2.5, 1.0, 64),
    ("Heat1DZeta4", 1.0, 0.25, 64),
    ("Heat1DZeta6", 1.0, 0.125, 64),
    ("TruncatedExp1D", 0.4, 0.25, 8192),
    ("TruncatedExp4th1D", 0.3, 0.25, 8192),
    ("DiffusionExpmv1D", 2.5, 0.125, 32768),
    ("Heat1D.with_a_array", 0.5, 0.125, 64),
    ("Heat1D6th.with_a_array", 0.5, 0.03125, 64),
]


def script_ns(script, threshold, *args, prefix=()):
    """The ns per node-step a timing script prints, run in its own process with the parallel threshold set."""
    out = subprocess.run([*prefix, sys.executable, "-c", script, *map(str, args)],
                         env=module_env(TAMBRIK_PARALLEL_THRESHOLD=threshold), check=True, capture_output=True,
                         text=True)
    return json.loads(out.stdout) * 1e9


def class_ns(name, cfl, threshold, n, steps, repeats):
    return script_ns(CLASS_SCRIPT, threshold, name, n, steps, repeats, cfl)


def other_classes(exe, exponents, node_steps, repeats):
    rows = []
    for k in exponents:
        n = 2**k
        loop = stencil_ns(exe, n, max(4, node_steps // n), repeats)
        for name, cfl, share, fewest in OTHER_CLASSES:
            threads = max(1, min(n // fewest, online()))
            steps = max(2, int(node_steps * share) // n)
            rows.append((name, n, steps, loop, class_ns(name, cfl, 1000000, n, steps, repeats),
                         class_ns(name, cfl, 64, n, steps, repeats), threads))
    return rows


# The fewest nodes a worker of Heat1D's constant-coefficient steps takes.
HEAT1D_SHARE = 2048


def variable_against_constant(exe, exponents, node_steps, repeats):
    """(n, steps, loop, const 1t, var 1t, const par, var par, threads) per size."""
    rows = []
    for k in exponents:
        n = 2**k
        steps = max(64, node_steps // n)  # the variable path plans its reads once a call
        loop = stencil_ns(exe, n, steps, repeats)
        cells = [class_ns(name, 0.5, threshold, n, steps, repeats)
                 for threshold in (1000000, 64) for name in ("Heat1D", "Heat1D.with_a_array")]
        rows.append((n, steps, loop, *cells, min(n // 64, online())))
    return rows


def zeta8_step(repeats):
    """Seconds per step of Heat1DZeta8 and of Heat1D at n = 1001, tau = dx^2, one thread, in
    calls of 64 steps: a Zeta8 call plans its reads first, which would weigh on fewer steps."""
    n = 1001
    zeta8 = class_ns("Heat1DZeta8", 1.0, 1000000, n, 64, repeats) * n * 1e-9
    heat1d = class_ns("Heat1D", 1.0, 1000000, n, 4000, repeats) * n * 1e-9
    return zeta8, heat1d


def heat1d_ns(threshold, n, steps, repeats):
    return script_ns(THROUGHPUT_SCRIPT, threshold, n, steps, repeats)


def throughput(exe, exponents, node_steps, repeats):
    rows = []
    for k in exponents:
        n = 2**k
        steps = max(4, node_steps // n)
        threads = max(1, min(n // HEAT1D_SHARE, online()))
        rows.append((n, steps, stencil_ns(exe, n, steps, repeats), heat1d_ns(1000000, n, steps, repeats),
                     heat1d_ns(64, n, steps, repeats), threads))
    return rows


# --------------------------------------------------------------------------
# 2. Fixed cost
# --------------------------------------------------------------------------


def fixed_cost(number):
    x = np.linspace(0.0, 1.0, 16)
    h = quorvane.Heat1D(0.0, 1.0, 16, np.cos(np.pi * x))
    evolve = min(timeit.repeat(lambda: h.evolve(1e-3, 1), number=number, repeat=7)) / number
    values = min(timeit.repeat(h.values, number=number, repeat=7)) / number
    copy = min(timeit.repeat(x.copy, number=number, repeat=7)) / number
    return evolve, values, copy


# --------------------------------------------------------------------------
# 3. Time to accuracy
# --------------------------------------------------------------------------


def gaussian(x, t):
    return np.sqrt(T0 / (T0 + t)) * np.exp(-x * x / (4.0 * (T0 + t)))


FD4 = [-1 / 12, 4 / 3, -5 / 2, 4 / 3, -1 / 12]
FD8 = [-1 / 560, 8 / 315, -1 / 5, 8 / 5, -205 / 72, 8 / 5, -1 / 5, 8 / 315, -1 / 560]


def mirrored_laplacian(n, dx, weights):
    """Central-difference Laplacian with mirrored ghosts (u[-j] = u[j])."""
    half = len(weights) // 2
    rows, cols, vals = [], [], []
    i = np.arange(n)
    for offset, w in zip(range(-half, half + 1), weights):
        j = i + offset
        j = np.where(j < 0, -j, j)
        j = np.where(j > n - 1, 2 * (n - 1) - j, j)
        rows.append(i)
        cols.append(j)
        vals.append(np.full(n, w))
    a = sp.csr_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))), shape=(n, n))
    return (a / (dx * dx)).tocsc()  # duplicates (mirrored entries) are summed


def problem(n):
    x = np.linspace(-HALF, HALF, n)
    return x, gaussian(x, 0.0), gaussian(x, T_END)


def quorvane_run(cls, n, steps):
    x, u0, _ = problem(n)

    def run():
        h = cls(-HALF, HALF, n, u0)
        h.evolve(T_END, steps)
        return h.values()

    return run


def ivp_run(method, weights, n, rtol):
    x, u0, _ = problem(n)
    lap = mirrored_laplacian(n, x[1] - x[0], weights).tocsr()

    def run():
        sol = solve_ivp(lambda t, u: lap @ u, (0.0, T_END), u0, method=method, jac=lap, rtol=rtol,
                        atol=rtol * 1e-2, t_eval=[T_END])
        return sol.y[:, -1]

    return run


def expm_run(weights, n):
    x, u0, _ = problem(n)
    lap = mirrored_laplacian(n, x[1] - x[0], weights)
    return lambda: expm_multiply(T_END * lap, u0)


def crank_nicolson_run(weights, n, steps):
    x, u0, _ = problem(n)
    lap = mirrored_laplacian(n, x[1] - x[0], weights)
    tau = T_END / steps
    eye = sp.identity(n, format="csc")

    def run():
        lu = splu((eye - 0.5 * tau * lap).tocsc())
        rhs = (eye + 0.5 * tau * lap).tocsr()
        u = u0
        for _ in range(steps):
            u = lu.solve(rhs @ u)
        return u

    return run


def error_of(run, n):
    try:
        return float(np.max(np.abs(run() - problem(n)[2])))
    except quorvane.QuorvaneError:
        return math.inf


def search(make, grids, knobs, targets, repeats, error=error_of, stall=0.9):
    """For each target, (seconds, label, error) of the cheapest (grid, knob) reaching it.

    knobs run from cheap to accurate; along a grid the search stops once the
    error (error(run, n)) falls by less than a factor `stall` (the grid's own
    error is reached) or every target is met.
    """
    reached = []
    for n in grids:
        last = math.inf
        for knob in knobs:
            run = make(n, knob)
            err = error(run, n)
            if err <= max(targets):
                reached.append((best_of(run, repeats), f"n={n}, {knob}", err))
            if err <= min(targets) or err > stall * last:
                break
            last = err
    best = {}
    for target in targets:
        fits = [r for r in reached if r[2] <= target]
        best[target] = min(fits) if fits else None
    return best


def time_to_accuracy(targets, repeats, quick):
    grids = [61, 121, 241, 481] if quick else [61, 121, 241, 481, 961]
    fd4_grids = [241, 481, 961, 1921] if quick else [241, 481, 961, 1921, 3841]
    steps = [f"steps={2**j}" for j in range(1, 16)]
    tols = [f"rtol={10.0**-j:.0e}" for j in range(4, 14)]
    knob = lambda s: float(s.split("=")[1])  # noqa: E731

    def classes(cls):
        return lambda n, s: quorvane_run(cls, n, int(knob(s)))

    results = {
        "Heat1D": search(classes(quorvane.Heat1D), grids, steps, targets, repeats),
        "Heat1D6th": search(classes(quorvane.Heat1D6th), grids, steps, targets, repeats),
    }
    others = {}
    for name in ("Heat1D4th", "Heat1DZeta4", "Heat1DZeta6", "Heat1DZeta8", "TruncatedExp4th1D", "DiffusionExpmv1D"):
        others[name] = search(classes(getattr(quorvane, name)), grids, steps, targets, repeats)
    best_other = {}
    for target in targets:
        fits = [(r[0], name, r) for name, res in others.items() if (r := res[target]) is not None]
        if fits:
            seconds, name, (_, label, err) = min(fits)
            best_other[target] = (seconds, f"{name}: {label}", err)
        else:
            best_other[target] = None
    results["best other class"] = best_other
    for label, weights, g in (("FD4", FD4, fd4_grids), ("FD8", FD8, grids)):
        results[f"Radau {label}"] = search(lambda n, s: ivp_run("Radau", weights, n, knob(s)), g, tols, targets,
                                           repeats)
        results[f"BDF {label}"] = search(lambda n, s: ivp_run("BDF", weights, n, knob(s)), g, tols, targets,
                                         repeats)
        results[f"expm_multiply {label}"] = search(lambda n, s: expm_run(weights, n), g, ["exact"], targets, repeats)
        results[f"CN+splu {label}"] = search(lambda n, s: crank_nicolson_run(weights, n, int(knob(s))), g,
                                             steps[:12], targets, repeats)
    return results


def print_time_to_accuracy(results, targets, width):
    """A line per method and target: the time, the error and the configuration, or that none reached it."""
    for name, per_target in results.items():
        for target in targets:
            best = per_target[target]
            if best is None:
                print(f"{target:8.0e} {name:<{width}} {'-':>10} {'-':>10}  not reached on the searched grids")
            else:
                print(f"{target:8.0e} {name:<{width}} {best[0] * 1e3:10.3f} {best[2]:10.2e}  {best[1]}")


def print_summary(rows):
    """The closing table of (measurement, quorvane, reference, ratio) rows."""
    print("Summary: ratio = quorvane / reference")
    width = max(len(r[0]) for r in rows)
    print(f"{'measurement':<{width}} {'quorvane':>12} {'reference':>12} {'ratio':>8}")
    for name, mine, ref, ratio in rows:
        print(f"{name:<{width}} {mine:>12} {ref:>12} {ratio:8.3g}")


# --------------------------------------------------------------------------


def main():
    quick = options(__doc__, full="about 8 min", quick="about 30 s").quick

    repeats = 3 if quick else 5
    node_steps = 2**22 if quick else 2**24
    exponents = [10, 14] if quick else [10, 12, 14, 16, 18, 20, 22]
    targets = [1e-6] if quick else [1e-6, 1e-8, 1e-10]

    cpus = processors()
    print(f"quorvane {quorvane.version()}  ({cpus} of {online()} online processors available; "
          f"compiler flags {' '.join(library_flags())})")
    print()

    # Sections 0 and 1 measure against one build of the stencil loop.
    with tempfile.TemporaryDirectory() as workdir:
        progress("0. building the stencil loop, the machine's own speedup")
        exe = build_stencil_loop(workdir)
        machine = machine_speedup(exe, cpus, repeats)
        progress("1. Heat1D throughput")
        tput = throughput(exe, exponents, node_steps, repeats)
        progress("1b. the other classes")
        others = other_classes(exe, [14] if quick else [14, 18], node_steps // 4, repeats)
        progress("1c. variable against constant coefficient")
        varc = variable_against_constant(exe, [14] if quick else [14, 18], node_steps // 4 if quick else node_steps,
                                         repeats)
    print(f"0. The machine: {cpus} copies of the stencil loop run {machine:.2f} times as fast as one "
          f"(efficiency {machine / cpus:.2f}; parallel efficiencies below are also given against it)")
    print()

    print("1. Heat1D ns per node-step against a 21-tap stencil loop (same flags)")
    print(f"{'n':>8} {'steps':>6} {'stencil':>8} {'1 thread':>9} {'ratio':>6} {'threads':>8} {'parallel':>9} "
          f"{'efficiency':>10} {'vs machine':>10}")

    def efficiency(serial, parallel, threads):
        """Speedup per processor used: threads beyond the available processors share them."""
        return serial / (parallel * min(threads, cpus))

    def against_machine(serial, parallel, threads):
        """Speedup over what the machine gives as many copies of the loop as processors used."""
        return serial / parallel / max(1.0, machine * min(threads, cpus) / cpus)

    for n, steps, loop, serial, parallel, threads in tput:
        print(f"{n:8d} {steps:6d} {loop:8.2f} {serial:9.2f} {serial / loop:6.2f} {threads:8d} {parallel:9.2f} "
              f"{efficiency(serial, parallel, threads):10.2f} {against_machine(serial, parallel, threads):10.2f}")
    print()

    print("1b. Other classes, ns per node-step against the same loop")
    print(f"{'class':<24} {'n':>8} {'steps':>6} {'stencil':>8} {'1 thread':>9} {'ratio':>7} {'threads':>8} "
          f"{'parallel':>9} {'efficiency':>10}")
    for name, n, steps, loop, serial, parallel, threads in others:
        print(f"{name:<24} {n:8d} {steps:6d} {loop:8.2f} {serial:9.2f} {serial / loop:7.2f} {threads:8d} "
              f"{parallel:9.2f} {efficiency(serial, parallel, threads):10.2f}")
    print()

    print("1c. Variable coefficient against constant, ns per node-step (tau = 0.5 dx^2, same steps)")
    print(f"{'n':>8} {'steps':>6} {'stencil':>8} {'const 1t':>9} {'var 1t':>9} {'var/const':>9} {'threads':>8} "
          f"{'const par':>9} {'var par':>9} {'var/const':>9}")
    for n, steps, loop, c1, v1, cp, vp, threads in varc:
        print(f"{n:8d} {steps:6d} {loop:8.2f} {c1:9.2f} {v1:9.2f} {v1 / c1:9.2f} {threads:8d} {cp:9.2f} {vp:9.2f} "
              f"{vp / cp:9.2f}")
    progress("1c. Heat1DZeta8 against Heat1D")
    zeta8, heat1d_1001 = zeta8_step(3 if quick else 5)
    print(f"   Heat1DZeta8, n = 1001: {zeta8 * 1e3:.2f} ms per step ({zeta8 / heat1d_1001:.0f} x Heat1D's "
          f"{heat1d_1001 * 1e6:.1f} us)")
    print()

    print("2. Fixed cost on 16 nodes against ndarray.copy()")
    progress("2. fixed cost")
    evolve, values, copy = fixed_cost(20000 if quick else 100000)
    print(f"   evolve(t, 1): {evolve * 1e6:.2f} us   values(): {values * 1e9:.0f} ns   "
          f"ndarray.copy(): {copy * 1e9:.0f} ns")
    print()

    print(f"3. Time to accuracy: Gaussian t0={T0} -> t={T_END} on [-{HALF}, {HALF}]")
    print(f"{'target':>8} {'method':<18} {'time [ms]':>10} {'max error':>10}  configuration")
    progress("3. time to accuracy")
    tta = time_to_accuracy(targets, 2 if quick else 3, quick)
    print_time_to_accuracy(tta, targets, 18)
    print()

    rows = []
    for n, _, loop, serial, parallel, threads in tput:
        k = int(math.log2(n))
        rows.append((f"Heat1D 1 thread / stencil loop, n=2^{k} (aim <= 4)", f"{serial:.2f} ns", f"{loop:.2f} ns",
                     serial / loop))
        rows.append((f"parallel efficiency, n=2^{k}, {threads} threads (aim >= 0.6 at 2^18)",
                     f"{parallel:.2f} ns", f"{serial:.2f} ns", efficiency(serial, parallel, threads)))
        rows.append((f"parallel efficiency against the machine's, n=2^{k}, {threads} threads", f"{parallel:.2f} ns",
                     f"{serial:.2f} ns", against_machine(serial, parallel, threads)))
    for name, n, _, loop, serial, parallel, threads in others:
        k = int(math.log2(n))
        rows.append((f"{name} 1 thread / stencil loop, n=2^{k}", f"{serial:.2f} ns", f"{loop:.2f} ns", serial / loop))
        rows.append((f"{name} parallel efficiency, n=2^{k}, {threads} threads", f"{parallel:.2f} ns",
                     f"{serial:.2f} ns", efficiency(serial, parallel, threads)))
    for n, _, loop, c1, v1, cp, vp, threads in varc:
        k = int(math.log2(n))
        rows.append((f"variable / constant coefficient, 1 thread, n=2^{k} (aim <= 3)", f"{v1:.2f} ns", f"{c1:.2f} ns",
                     v1 / c1))
        rows.append((f"variable / constant coefficient, {threads} threads, n=2^{k}", f"{vp:.2f} ns", f"{cp:.2f} ns",
                     vp / cp))
        rows.append((f"variable coefficient 1 thread / stencil loop, n=2^{k}", f"{v1:.2f} ns", f"{loop:.2f} ns",
                     v1 / loop))
    rows.append(("Heat1DZeta8 step / Heat1D step, n=1001", f"{zeta8 * 1e3:.2f} ms", f"{heat1d_1001 * 1e6:.1f} us",
                 zeta8 / heat1d_1001))
    rows.append((f"machine: {cpus} copies of the stencil loop / one", "", "", machine))
    rows.append(("evolve(t, 1) / ndarray.copy(), n=16 (aim: evolve <= 3 us)", f"{evolve * 1e6:.2f} us",
                 f"{copy * 1e9:.0f} ns", evolve / copy))
    rows.append(("values() / ndarray.copy(), n=16", f"{values * 1e9:.0f} ns", f"{copy * 1e9:.0f} ns", values / copy))
    references = [name for name in tta if not name.startswith(("Heat1D", "best other"))]
    for target in targets:
        refs = [(tta[r][target][0], r) for r in references if tta[r][target] is not None]
        fastest = min(refs) if refs else None
        for name in ("Heat1D", "Heat1D6th", "best other class"):
            mine = tta[name][target]
            if mine is None or fastest is None:
                rows.append((f"{name} time to {target:.0e} / fastest SciPy", "-" if mine is None else
                             f"{mine[0] * 1e3:.2f} ms", "-" if fastest is None else f"{fastest[0] * 1e3:.2f} ms",
                             float("nan")))
            else:
                rows.append((f"{name} time to {target:.0e} / fastest SciPy ({fastest[1]})", f"{mine[0] * 1e3:.2f} ms",
                             f"{fastest[0] * 1e3:.2f} ms", mine[0] / fastest[0]))

    print_summary(rows)


if __name__ == "__main__":
    main()
