"""The cost of judging a variable-coefficient heat step: first calls, refusals and the call they name.

Problem: Heat1D, Heat1D4th and Heat1D6th from with_a_array on [0, 1], a = 1 + 0.8 sin(3x + 0.3),
u0 = cos(pi x). Every "first" call is made on a fresh object, whose judgement starts from
nothing.

First section, the first call's cost ("zero" ends, 1001, 10001 and 100001 nodes): a step
tau well below the bound (a tenth of it on 1001 and 10001 nodes, 1e-9 on 100,001); the
table gives the time of a first one-step call (the coefficient's judgement and the exact
verdict of tau's step, then the step), of the same one-step call repeated on that object
(the verdict kept: the step alone), of one step inside a long call (a call of 100 steps on
that object, divided by 100), and their ratios.

Second section, a refusal against the call it names ("zero" and "reflect", 1001, 2001 and
10001 nodes; and a = 1 but for a[50] = 1 + 1e-5 on 101 nodes, "reflect", evolve(1, 3)): the
bound X a refusal names (evolve(0.1, 3), which no class admits), the time of that refusal
(the verdict of its step, then the search that names the bound), the time of the accepted
call the refusal points to (100 steps of the named tau on a fresh object, judgement
included: one verdict), and their ratio, on every processor the process may use (wall
clock) and held to one (the library then runs one worker; CPU time of the process, which a
busy machine does not stretch). Then how tight X is: the first step above X that a fresh
call refuses, among X (1 + j/1000), j = 1 .. 30, as a percentage over X, and how many of
200 steps spread over [X/4, X] (a geometric sample) are refused (a window below X would
show there; 0 expected).

With --compare PYTHON (repeatable), the one-processor refusal and ratio of the build that
interpreter imports (another build's venv, before a change) are measured in a subprocess
and printed beside, each as X, refusal / named call: e.g.
  --compare /work/venv-705/bin/python --compare /work/venv-base/bin/python

Run: PYTHONPATH=<build dir> python bench/bench_heat_judgement.py [--quick] [--compare PYTHON ...]
(--quick: 1001 and 2001 nodes, one boundary, one timing each, no 100,001-node row.)
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import time

import numpy as np

import quorvane
from harness import best_time, on_one_processor, options, progress

CLASSES = ("Heat1D", "Heat1D4th", "Heat1D6th")


def make(cls: str, n: int, boundary: str, bump: bool = False):
    x = np.linspace(0.0, 1.0, n)
    if bump:
        a = np.ones(n)
        a[n // 2] += 1e-5
    else:
        a = 1.0 + 0.8 * np.sin(3.0 * x + 0.3)
    return getattr(quorvane, cls).with_a_array(0.0, 1.0, n, a, np.cos(np.pi * x), boundary=boundary)


def refusal(cls: str, n: int, boundary: str, bump: bool = False) -> float:
    try:
        make(cls, n, boundary, bump).evolve(1.0 if bump else 0.1, 3)
    except quorvane.QuorvaneError as e:
        # A certified bound (fewer than 256 nodes) or a searched one.
        return float(re.search(r"(?:largest admissible tau|step bound tau) = (\S+) ", str(e)).group(1))
    raise AssertionError("the call was admitted")


def accepted(cls: str, n: int, boundary: str, tau: float, bump: bool = False) -> None:
    t = 100.0 * tau
    while t / 100.0 > tau:  # 100 steps of at most the named tau
        t = np.nextafter(t, 0.0)
    make(cls, n, boundary, bump).evolve(t, 100)


def runs(cls: str, n: int, boundary: str, tau: float, bump: bool) -> bool:
    try:
        make(cls, n, boundary, bump).evolve(tau, 1)
        return True
    except quorvane.QuorvaneError:
        return False


def tightness(cls: str, n: int, boundary: str, tau: float, bump: bool, below: int) -> tuple[str, int]:
    """The first refused step above tau as % over it ('>3 %' if none up to 3 %), and how many
    of `below` steps over [tau/4, tau] are refused."""
    above = ">3 %"
    for j in range(1, 31):
        if not runs(cls, n, boundary, tau * (1.0 + j / 1000.0), bump):
            above = f"+{j / 10:.1f} %"
            break
    refused = sum(not runs(cls, n, boundary, s, bump) for s in np.geomspace(tau / 4.0, tau, below))
    return above, refused


def first_calls(cls: str, n: int, tau: float, repeats: int) -> tuple[float, float, float]:
    first, _ = best_time(lambda: make(cls, n, "zero").evolve(tau, 1), repeats)
    judged = make(cls, n, "zero")
    judged.evolve(tau, 1)
    again, _ = best_time(lambda: judged.evolve(tau, 1), max(repeats, 3))
    long_call, _ = best_time(lambda: judged.evolve(100 * tau, 100), repeats)
    return first, again, long_call / 100.0


def refusal_cases(quick: bool):
    cases = [(cls, n, boundary, False) for n in ((1001, 2001) if quick else (1001, 2001, 10001))
             for boundary in (("zero",) if quick else ("zero", "reflect")) for cls in CLASSES]
    if not quick:
        cases.append(("Heat1D", 101, "reflect", True))
    return cases


def repeats_for(quick: bool, n: int) -> int:
    return 1 if quick or n > 2001 else 3


def one_processor_ratio(cls: str, n: int, boundary: str, bump: bool, repeats: int) -> tuple[float, float, float]:
    """X, and the refusal's and the named call's CPU time held to one processor."""
    t_refusal, tau = on_one_processor(
        lambda: best_time(lambda: refusal(cls, n, boundary, bump), repeats, time.process_time))
    t_accepted, _ = on_one_processor(
        lambda: best_time(lambda: accepted(cls, n, boundary, tau, bump), repeats, time.process_time))
    return tau, t_refusal, t_accepted


def other_build(python: str, quick: bool) -> dict:
    """The one-processor rows of the build `python` imports, from this script in a subprocess."""
    progress(f"the refusals of the build {python} imports")
    env = dict(os.environ, QUORVANE_REFUSAL_ROWS="1")
    env.pop("PYTHONPATH", None)
    out = subprocess.run([python, os.path.abspath(__file__)] + (["--quick"] if quick else []), env=env,
                         capture_output=True, text=True, check=True).stdout
    return {tuple(r[:4]): r[4:] for r in json.loads(out.splitlines()[-1])}


def main() -> None:
    if os.environ.get("QUORVANE_REFUSAL_ROWS"):
        quick = "--quick" in sys.argv
        rows = []
        for cls, n, boundary, bump in refusal_cases(quick):
            tau, t_refusal, t_accepted = one_processor_ratio(cls, n, boundary, bump, repeats_for(quick, n))
            rows.append([cls, n, boundary, bump, tau, t_refusal / t_accepted])
        print(json.dumps(rows))
        return
    args = options(__doc__, "about 2 min (2 to 3 min more a --compare)", "about 10 s (5 to 15 s more a --compare)",
                   lambda p: p.add_argument("--compare", metavar="PYTHON", action="append", default=[]))
    others = [(python, other_build(python, args.quick)) for python in args.compare]
    sizes = (1001, 10001) if args.quick else (1001, 10001, 100001)
    print(f"{'class':<10} {'n':>6} {'tau':>9} {'first call':>11} {'repeated':>9} {'in a call':>10} "
          f"{'first/rep':>9} {'first/step':>10}")
    for n in sizes:
        repeats = 1 if args.quick or n > 10001 else 3
        for cls in CLASSES:
            progress(f"{cls}, first calls on {n} nodes")
            tau = 1e-9 if n > 10001 else 0.1 * refusal(cls, n, "zero")
            first, again, step = first_calls(cls, n, tau, repeats)
            print(f"{cls:<10} {n:>6} {tau:>9.3g} {first * 1e3:>8.2f} ms {again * 1e3:>6.2f} ms {step * 1e3:>7.3f} ms"
                  f" {first / again:>9.1f} {first / step:>10.0f}")
    print()
    head = (f"{'class':<10} {'n':>6} {'ends':<8} {'named X':>10} {'refusal':>10} {'accepted':>10} {'ratio':>6}"
            f" {'1 proc.':>10} {'accepted':>10} {'ratio':>6}  {'first refused':>13} {'refused in [X/4, X]':>19}")
    for k in range(len(others)):
        head += f"  {f'build {k + 1}: X, ratio':>22}"
    print(head)
    for cls, n, boundary, bump in refusal_cases(args.quick):
        repeats = repeats_for(args.quick, n)
        progress(f"{cls}, n = {n}, {boundary}{', a bumped sample' if bump else ''}")
        t_refusal, tau = best_time(lambda: refusal(cls, n, boundary, bump), repeats)
        t_accepted, _ = best_time(lambda: accepted(cls, n, boundary, tau, bump), repeats)
        _, one_refusal, one_accepted = one_processor_ratio(cls, n, boundary, bump, repeats)
        above, refused = tightness(cls, n, boundary, tau, bump, 40 if args.quick or n > 2001 else 200)
        name = cls + (" (bump)" if bump else "")
        line = (f"{name:<10} {n:>6} {boundary:<8} {tau:>10.4g} {t_refusal * 1e3:>8.0f} ms {t_accepted * 1e3:>7.1f} ms"
                f" {t_refusal / t_accepted:>6.1f} {one_refusal * 1e3:>7.0f} ms {one_accepted * 1e3:>7.1f} ms"
                f" {one_refusal / one_accepted:>6.1f}  {above:>13} {refused:>19}")
        for _, rows in others:
            x, ratio = rows[(cls, n, boundary, bump)]
            line += f"  {x:>12.4g}, {ratio:>7.1f}"
        print(line)
    for k, (python, _) in enumerate(others):
        print(f"build {k + 1}: the one that {python} imports (one processor, CPU time)")


if __name__ == "__main__":
    main()
