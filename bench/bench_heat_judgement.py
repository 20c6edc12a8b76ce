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
10001 nodes): the bound a refusal names (evolve(0.1, 3), which no class admits), the time
of that refusal (the exact verdict of its step, then the scan from below that names the
bound), the time of the accepted call the refusal points to (100 steps of the named tau on
a fresh object, judgement included: one verdict), and their ratio.

Run: PYTHONPATH=<build dir> python bench/bench_heat_judgement.py [--quick]
(--quick: 1001 and 2001 nodes, one boundary, one timing each, no 100,001-node row.)
"""

from __future__ import annotations

import re

import numpy as np

import quorvane
from harness import best_time, options, progress

CLASSES = ("Heat1D", "Heat1D4th", "Heat1D6th")


def make(cls: str, n: int, boundary: str):
    x = np.linspace(0.0, 1.0, n)
    return getattr(quorvane, cls).with_a_array(0.0, 1.0, n, 1.0 + 0.8 * np.sin(3.0 * x + 0.3), np.cos(np.pi * x),
                                               boundary=boundary)


def refusal(cls: str, n: int, boundary: str) -> float:
    try:
        make(cls, n, boundary).evolve(0.1, 3)
    except quorvane.QuorvaneError as e:
        return float(re.search(r"largest admissible tau = (\S+) ", str(e)).group(1))
    raise AssertionError("evolve(0.1, 3) admitted")


def accepted(cls: str, n: int, boundary: str, tau: float) -> None:
    t = 100.0 * tau
    while t / 100.0 > tau:  # 100 steps of at most the named tau
        t = np.nextafter(t, 0.0)
    make(cls, n, boundary).evolve(t, 100)


def first_calls(cls: str, n: int, tau: float, repeats: int) -> tuple[float, float, float]:
    first, _ = best_time(lambda: make(cls, n, "zero").evolve(tau, 1), repeats)
    judged = make(cls, n, "zero")
    judged.evolve(tau, 1)
    again, _ = best_time(lambda: judged.evolve(tau, 1), max(repeats, 3))
    long_call, _ = best_time(lambda: judged.evolve(100 * tau, 100), repeats)
    return first, again, long_call / 100.0


def main() -> None:
    args = options(__doc__, "about 3 min", "about 20 s")
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
    sizes = (1001, 2001) if args.quick else (1001, 2001, 10001)
    boundaries = ("zero",) if args.quick else ("zero", "reflect")
    print(f"{'class':<10} {'n':>6} {'ends':<8} {'named tau':>10} {'refusal':>10} {'accepted':>10} {'ratio':>6}")
    for n in sizes:
        repeats = 1 if args.quick or n > 2001 else 2
        for boundary in boundaries:
            for cls in CLASSES:
                progress(f"{cls}, n = {n}, {boundary}")
                t_refusal, tau = best_time(lambda: refusal(cls, n, boundary), repeats)
                t_accepted, _ = best_time(lambda: accepted(cls, n, boundary, tau), repeats)
                print(f"{cls:<10} {n:>6} {boundary:<8} {tau:>10.4g} {t_refusal * 1e3:>8.0f} ms {t_accepted * 1e3:>7.0f} ms"
                      f" {t_refusal / t_accepted:>6.1f}")


if __name__ == "__main__":
    main()
