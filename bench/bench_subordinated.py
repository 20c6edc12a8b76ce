"""Subordinated1D: what a call costs on each end kind, and how far it is from the exact flow.

Sections (each measured in one run; --before runs the same calls on another build in a child
process, side by side):

1. Cost, n = 41 to 10^4, every end kind, the stable (alpha = 1/2), Gamma and inverse-Gaussian
   (c = 1) laws: construction, the first call evolve(0.1) (100 steps) and a second call, each in
   seconds (best of 3) and as a ratio to Heat1D's evolve(0.1, 100) on the same grid; with
   --before, the earlier build's times ("refused" where it refused the object or the call).
2. Accuracy: the largest error against exp(-t phi(-A)) u0 (A the grid's own degree-7 operator,
   numpy's eigen-decomposition) on rough data, n = 32 to 2000, every law and end kind, t such
   that the lowest mode decays by e^-1, in 1 and 100 steps.
3. The defaults' cases of the earlier rules: 32 reflecting nodes and rough data at t = 0.01 and
   0.1; the lowest cosine at the defaults on spans 1e-3, 0.1, 1 and 100 with t chosen so that the
   exact factor is e^-1; alpha = 1/2, 41 nodes, rough data, t = 0.1 in 1, 10, 100 steps.
4. What the flow does to rough data, 64 nodes, t = 1e-6 to 1e6: max|u|/max|u0| of a unit jump,
   and the worst data's, |exp(-t phi(-A))|_inf (from the eigen-decomposition), for each law and
   end kind.

Run: PYTHONPATH=<build dir> python bench/bench_subordinated.py [--quick] [--before PATH]
(PATH: a build directory, or a python interpreter whose quorvane is the earlier build.)
"""

from __future__ import annotations

import os
import subprocess
import sys
import time

import numpy as np

from harness import best_time, options, progress

ENDS = ("reflect", "periodic", "zero", "linear")
LAWS = (("stable", {"alpha": 0.5}), ("gamma", {"c": 1.0}), ("inverse_gaussian", {"c": 1.0}))


def cost_cases(quick):
    sizes = (41, 401, 2000) if quick else (41, 401, 2000, 10000)
    return [(end, n, law, kw) for end in ENDS for n in sizes for law, kw in LAWS]


def measure_costs(cases, repeats):
    """{case: (build, first call, second call, heat call)} in seconds, or a refusal's kind."""
    import quorvane as q
    out = {}
    for end, n, law, kw in cases:
        u0 = np.sin(7.0 * np.linspace(0.0, 1.0, n)) + 0.3
        key = (end, n, law)
        try:
            build, s = best_time(lambda: q.Subordinated1D(0.0, 1.0, n, u0, subordinator=law, boundary=end, **kw),
                                 repeats)
            first = second = float("inf")
            for _ in range(repeats):
                s = q.Subordinated1D(0.0, 1.0, n, u0, subordinator=law, boundary=end, **kw)
                t0 = time.perf_counter()
                s.evolve(0.1)
                t1 = time.perf_counter()
                s.evolve(0.1)
                t2 = time.perf_counter()
                first, second = min(first, t1 - t0), min(second, t2 - t1)
        except Exception as e:  # the earlier build refused some laws and ends
            out[key] = f"refused ({type(e).__name__})"
            continue
        heat, _ = best_time(lambda: q.Heat1D(0.0, 1.0, n, u0, boundary=end).evolve(0.1, 100), repeats)
        out[key] = (build, first, second, heat)
    return out


def grid_flow(u0, end, law, p, t, span=1.0):
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
    from conftest import subordinated_flow
    return subordinated_flow(u0, end, law, p, t, span)


def accuracy_rows(quick):
    import quorvane as q
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
    from conftest import grid_eigen, law_exponent
    rng = np.random.default_rng(0)
    print("\n2. max|u - exp(-t phi(-A)) u0| / max|u0| on rough data (t: the lowest mode decays by e^-1); on linear"
          "\n   ends past a few hundred nodes the figure is numpy's own: its eigenvectors of the low modes are off")
    print(f"{'end':>9} {'n':>5} {'stable 0.1':>11} {'stable 0.9':>11} {'gamma 1e-3':>11} {'gamma 1e3':>11} "
          f"{'IG 1e-3':>11} {'IG 1e3':>11}")
    laws = (("stable", 0.1), ("stable", 0.9), ("gamma", 1e-3), ("gamma", 1e3), ("inverse_gaussian", 1e-3),
            ("inverse_gaussian", 1e3))
    for end in ENDS:
        for n in ((32, 401) if quick else (32, 401, 2000)):
            u0 = rng.uniform(-1.0, 1.0, n)
            sigma = sorted(grid_eigen(end, n)[0])
            mu1 = sigma[2 if end == "linear" else 1 if end in ("reflect", "periodic") else 0] * (n - 1) ** 2
            cells = []
            for law, p in laws:
                t = 1.0 / law_exponent(law, mu1, p)
                worst = 0.0
                for steps in (1, 100):
                    s = q.Subordinated1D(0.0, 1.0, n, u0, subordinator=law, boundary=end,
                                         **({"alpha": p} if law == "stable" else {"c": p}))
                    s.evolve(t, steps)
                    worst = max(worst, np.max(np.abs(s.values() - grid_flow(u0, end, law, p, t))))
                cells.append(f"{worst:11.1e}")
            print(f"{end:>9} {n:>5} " + " ".join(cells))
            progress(f"accuracy {end} {n}")


def defaults_cases():
    """The cases the earlier rules got wrong: (what, case, u0, span, t, steps, exact or None)."""
    rng = np.random.default_rng(1)
    cases = []
    u = rng.uniform(-1.0, 1.0, 32)
    for t in (0.01, 0.1):
        cases.append(("defaults, 32 reflecting nodes, rough data", f"t = {t}", u, 1.0, t, 100))
    for span in (1e-3, 0.1, 1.0, 100.0):
        n = 41
        th = np.pi / (n - 1)
        mu = (1080 * np.sin(th / 2) ** 2 - 108 * np.sin(th) ** 2 + 8 * np.sin(1.5 * th) ** 2) / 180 / (span / (n - 1)) ** 2
        cases.append(("lowest cosine at the defaults, factor e^-1", f"span {span:g}",
                      np.cos(np.pi * np.linspace(0.0, 1.0, n)), span, 1.0 / np.sqrt(mu), 100))
    u = rng.uniform(-1.0, 1.0, 41)
    for steps in (1, 10, 100):
        cases.append(("alpha = 1/2, 41 nodes, rough data, t = 0.1", f"{steps} steps", u, 1.0, 0.1, steps))
    return cases


def defaults_values(cases):
    import quorvane as q
    out = []
    for _, _, u0, span, t, steps in cases:
        s = q.Subordinated1D(0.0, span, len(u0), u0)
        s.evolve(t, steps)
        out.append(s.values())
    return out


def defaults_errors(cases, values):
    """max|u - exact| / max|u0|, and the lowest cosine's value over e^-1."""
    rows = []
    for (what, case, u0, span, t, _), got in zip(cases, values):
        if what.startswith("lowest"):
            rows.append((what, case, abs(got[0] / np.exp(-1.0) - 1.0), got[0]))
        else:
            want = grid_flow(u0, "reflect", "stable", 0.5, t, span)
            rows.append((what, case, float(np.max(np.abs(got - want)) / np.max(np.abs(u0))), got[0]))
    return rows


def overshoot_rows():
    import quorvane as q
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
    from conftest import grid_eigen, law_exponent
    n = 64
    x = np.linspace(0.0, 1.0, n)
    jump = np.where(x < 0.5, -1.0, 1.0)
    print("\n4. max|u|/max|u0| over t = 1e-6 .. 1e6, 64 nodes: a unit jump / the worst data")
    laws = (("stable", 0.5), ("stable", 0.9), ("gamma", 1.0), ("gamma", 1e3), ("inverse_gaussian", 1e3))
    print(f"{'end':>9} " + " ".join(f"{law[:5] + ' ' + format(p, 'g'):>17}" for law, p in laws))
    for end in ENDS:
        sigma, v, w = grid_eigen(end, n)
        kernel = w.shape[1]
        inv = np.linalg.inv(v)
        if kernel:  # the kernel's rows from W, as the reference takes them
            inv[:kernel] = w.T
        cells = []
        for law, p in laws:
            worst_jump = worst = 0.0
            for t in np.geomspace(1e-6, 1e6, 241):
                flow = (v * np.exp(-t * law_exponent(law, sigma * (n - 1) ** 2, p))) @ inv
                worst = max(worst, np.max(np.sum(np.abs(flow), axis=1)))
                s = q.Subordinated1D(0.0, 1.0, n, jump, subordinator=law, boundary=end,
                                     **({"alpha": p} if law == "stable" else {"c": p}))
                s.evolve(t, 1)
                worst_jump = max(worst_jump, np.max(np.abs(s.values())))
            cells.append(f"{worst_jump:8.4f} /{worst:7.4f}")
        print(f"{end:>9} " + " ".join(f"{c:>17}" for c in cells))


def child(kind):
    """Runs in the earlier build's interpreter: reads its task, prints a repr."""
    task = eval(sys.stdin.read())
    if kind == "costs":
        print(repr(measure_costs(*task)))
    else:
        print(repr([v.tolist() for v in defaults_values(defaults_cases())]))


def before_run(path, kind, task):
    bench_dir = os.path.dirname(os.path.abspath(__file__))
    if os.path.isfile(path):
        command, env = [path], dict(os.environ, PYTHONPATH=bench_dir)
    else:
        command, env = [sys.executable], dict(os.environ, PYTHONPATH=path + os.pathsep + bench_dir)
    run = subprocess.run(command + [__file__, "--child", kind], input=repr(task), capture_output=True, text=True,
                         env=env, check=True)
    return eval(run.stdout.strip().splitlines()[-1])


def main():
    if "--child" in sys.argv:
        child(sys.argv[sys.argv.index("--child") + 1])
        return
    args = options(__doc__, "about 4 min", "about 40 s",
                   add=lambda p: p.add_argument("--before", help="build dir or python of the module to compare"))
    repeats = 1 if args.quick else 3
    cases = cost_cases(args.quick)
    now = measure_costs(cases, repeats)
    before = before_run(args.before, "costs", (cases, 1)) if args.before else None  # its stable law takes seconds
    print("1. Seconds (best of %d); x: the call's time / Heat1D's evolve(0.1, 100) on the grid" % repeats)
    head = f"{'end':>9} {'n':>6} {'law':>16} {'build':>9} {'first':>9} {'(x)':>7} {'second':>9} {'(x)':>7}"
    print(head + (f" {'before: first':>15} {'second':>9} {'new/old':>8}" if before else ""))
    for end, n, law, _ in cases:
        row = now[(end, n, law)]
        build, first, second, heat = row
        line = (f"{end:>9} {n:>6} {law:>16} {build:9.2e} {first:9.2e} {first / heat:7.2f} {second:9.2e} "
                f"{second / heat:7.2f}")
        if before:
            was = before[(end, n, law)]
            line += (f" {was[1]:15.2e} {was[2]:9.2e} {first / was[1]:8.2g}" if isinstance(was, tuple)
                     else f" {was:>34}")
        print(line)
    progress("costs done")
    accuracy_rows(args.quick)
    print("\n3. The defaults' cases (error: max|u - exact| over max|u0|; the lowest cosine: u[0]/e^-1 - 1)")
    cases = defaults_cases()
    rows = defaults_errors(cases, defaults_values(cases))
    was = defaults_errors(cases, [np.array(v) for v in before_run(args.before, "defaults", ())]) if args.before else None
    for i, (what, case, err, value) in enumerate(rows):
        line = f"{what:>46}  {case:>12}  error {err:9.2e}  u[0] {value: .6f}"
        if was:
            line += f"   before: error {was[i][2]:9.2e}  u[0] {was[i][3]: .6f}"
        print(line)
    overshoot_rows()


if __name__ == "__main__":
    main()
