"""The cost of judging a variable-coefficient heat step: a refusal against the call it names.

Problem: Heat1D, Heat1D4th and Heat1D6th from with_a_array on [0, 1], a = 1 + 0.8 sin(3x + 0.3),
u0 = cos(pi x), boundary "zero" and "reflect", n = 1001, 2001 and 10001 nodes. Every call is
made on a fresh object, whose judgement starts from nothing.

For each setting the table gives the bound a refusal names (evolve(0.1, 3), which no class
admits), the time of that refusal, the time of the accepted call the refusal points to
(100 steps of the named tau, judgement included), and their ratio: the refusal scans the
steps from below up to the first that grows, the accepted call scans the same points up
to its own step, the bound, so the ratio stays near one. A last section times a first call of one
small step (tau = 1e-9) on 100,001 nodes against the same call on an object that has
judged that step before (the step alone).

Run: PYTHONPATH=<build dir> python bench/bench_heat_judgement.py [--quick]
(--quick: 1001 and 2001 nodes, one boundary, one timing each.)
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


def main() -> None:
    args = options(__doc__, "about 80 s", "about 3 s")
    sizes = (1001, 2001) if args.quick else (1001, 2001, 10001)
    boundaries = ("zero",) if args.quick else ("zero", "reflect")
    print(f"{'class':<10} {'n':>6} {'ends':<8} {'named tau':>10} {'refusal':>10} {'accepted':>10} {'ratio':>6}")
    for n in sizes:
        repeats = 1 if args.quick else (3 if n < 10001 else 2)
        for boundary in boundaries:
            for cls in CLASSES:
                progress(f"{cls}, n = {n}, {boundary}")
                t_refusal, tau = best_time(lambda: refusal(cls, n, boundary), repeats)
                t_accepted, _ = best_time(lambda: accepted(cls, n, boundary, tau), repeats)
                print(f"{cls:<10} {n:>6} {boundary:<8} {tau:>10.4g} {t_refusal * 1e3:>8.0f} ms {t_accepted * 1e3:>7.0f} ms"
                      f" {t_refusal / t_accepted:>6.2f}")
    if not args.quick:
        print(f"\n{'class':<10} {'n':>6} {'first call':>12} {'judged before':>14} {'ratio':>6}")
        for cls in CLASSES:
            progress(f"{cls}, one step on 100001 nodes")
            first, _ = best_time(lambda: make(cls, 100001, "reflect").evolve(1e-9, 1), 2)
            judged = make(cls, 100001, "reflect")
            judged.evolve(1e-9, 1)
            again, _ = best_time(lambda: judged.evolve(1e-9, 1), 2)
            print(f"{cls:<10} {100001:>6} {first * 1e3:>10.0f} ms {again * 1e3:>11.0f} ms {first / again:>6.1f}")


if __name__ == "__main__":
    main()
