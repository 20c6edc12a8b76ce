"""The variable-coefficient heat step in other units: results and verdicts against s and lam.

For Heat1D, Heat1D4th and Heat1D6th (`with_a_array`, 41 nodes of [0, 1], u0 = cos(pi x) + 0.2)
each row changes the units of one flow: a -> s a with t -> t / s, or x -> lam x with
a -> lam^2 a. It prints, over three coefficient profiles and four (t, n_steps) calls, the
largest relative difference of the results from the unit call's (0 is bit for bit) and
how many verdicts differ (a refusal where the unit call runs, or the reverse, or another
named count). With --compare BUILD_DIR the same table of that build (a subprocess) is
printed beside it: before and after a change. Errors only, no timing.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys

import numpy as np

import harness

N = 41
PROFILES = {"constant": lambda x: np.ones_like(x), "1+x/2": lambda x: 1.0 + 0.5 * x,
            "0.3(1+0.5cos)": lambda x: 0.3 * (1.0 + 0.5 * np.cos(2.0 * np.pi * x))}
CALLS = [(0.01, 20), (0.1, 16), (0.05, 3), (2.0, 1)]
SCALES = [("s", s) for s in (2.0 ** -40, 2.0 ** -20, 1e-3, 1e-6, 1e-9, 1e-11, 1e-12, 1e3, 1e6, 2.0 ** 40)] + \
    [("lam", lam) for lam in (1e-3, 0.1, 0.125, 3.0, 8.0, 1e3, 1e8, 1e15)]


def call(q, cls, profile, kind, f, t, count):
    s, lam = (f, 1.0) if kind == "s" else (1.0, f)
    x = np.linspace(0.0, 1.0, N)
    obj = getattr(q, cls).with_a_array(0.0, lam, N, s * lam * lam * PROFILES[profile](x), np.cos(np.pi * x) + 0.2)
    try:
        obj.evolve(t / s, count)
    except q.QuorvaneError as e:
        m = re.search(r"n_steps >= (\d+)|n_steps = (\d+) runs", str(e))
        return ("refused", int(m.group(1) or m.group(2)) if m else str(e).split("]")[0] + "]")
    return obj.values()


def table(quick):
    import quorvane as q
    rows = []
    scales = SCALES[::3] if quick else SCALES
    for cls in ("Heat1D", "Heat1D4th", "Heat1D6th"):
        units = {(p, c): call(q, cls, p, "s", 1.0, *c) for p in PROFILES for c in CALLS}
        for kind, f in scales:
            worst, differ = 0.0, 0
            for p in PROFILES:
                for c in CALLS:
                    u, v = units[(p, c)], call(q, cls, p, kind, f, *c)
                    if isinstance(u, tuple) or isinstance(v, tuple):
                        differ += not (isinstance(u, tuple) and isinstance(v, tuple) and u == v)
                    else:
                        worst = max(worst, float(np.abs(v - u).max() / np.abs(u).max()))
            rows.append((cls, kind, f, worst, differ))
    return rows


def main():
    args = harness.options(__doc__, "about 15 s (30 s with --compare)", "about 6 s",
                           lambda p: p.add_argument("--compare", metavar="BUILD_DIR"))
    if os.environ.get("QUORVANE_UNITS_TABLE"):
        print(json.dumps(table(args.quick)))
        return
    other = None
    if args.compare:
        harness.progress(f"the table of {args.compare}")
        env = dict(os.environ, PYTHONPATH=args.compare, QUORVANE_UNITS_TABLE="1")
        out = subprocess.run([sys.executable, __file__] + (["--quick"] if args.quick else []), env=env,
                             capture_output=True, text=True, check=True).stdout
        other = {(r[0], r[1], r[2]): r for r in json.loads(out.splitlines()[-1])}
    harness.progress("this build's table")
    head = "| class | unit change | max rel. difference | verdicts differing (of 12) |"
    if other:
        head += " other build: difference | other build: verdicts |"
    print(head)
    print("|" + "---|" * (head.count("|") - 1))
    for cls, kind, f, worst, differ in table(args.quick):
        line = f"| {cls} | {kind} = {f:.6g} | {worst:.2e} | {differ} |"
        if other:
            o = other[(cls, kind, f)]
            line += f" {o[3]:.2e} | {o[4]} |"
        print(line)


if __name__ == "__main__":
    main()
