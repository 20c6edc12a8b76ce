"""The cost of VarCoefTtEvolver's judgements against the steps they judge.

Problem: one periodic axis of n nodes on (0, 1) (d = 1, a rank-1 state), a = 1e-6 with a drift
drawn from (-1, 1) (its three-point operator grows: refused) or b = 1 + 0.5 sin(2 pi x) (a drift
of one sign: admitted); the reference is one evolve step of an axis of the same n (a = 1, b = 0,
a constant residual, so no step judgement), best of a few runs.

First section, the axis operator's judgement when the evolver is built (n = 64, 512, 1024,
4096): construction time of each evolver and its ratio to one step.

Second section, the step judgement of an axis whose coefficients vary (n = 64, 512, 1024:
beyond 1024 such axes are refused): a first one-step call on a fresh evolver (one QR of the
n x n step matrix, then the step), the same call again (the verdict kept), and their ratio to
one step; then a refusal of one step of t = 4 on the noisy drift of the evolver's own table
(a = 1.01 max|b| h/2, every coupling > 0: n = 64 and 600) against the call of the count it
names.

Run: PYTHONPATH=<build dir> python bench/bench_tt_judgement.py [--quick]
(--quick: n = 64 and 512 only, one timing each, no 600-node refusal.)
"""

from __future__ import annotations

import re
import time

import numpy as np

import quorvane
from harness import options, progress


def best(fn, repeats):
    out = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        out.append(time.perf_counter() - start)
    return min(out)


def evolver(n, a, b):
    return quorvane.VarCoefTtEvolver([list(np.broadcast_to(a, (n,)))], [list(b)], [[]], [(0.0, 1.0)], 0.0)


def one_step(n, repeats):
    ev = evolver(n, 1.0, np.zeros(n))
    s = quorvane.TtState([np.ones(n)])
    ev.evolve(s, 1e-9, 1)
    return best(lambda: ev.evolve(s, 1e-9, 1), repeats)


def drifts(n):
    x = np.arange(n) / (n - 1)
    return np.random.default_rng(4).uniform(-1, 1, n), 1 + 0.5 * np.sin(2 * np.pi * x)


def main():
    args = options(__doc__, "about 1 min", "about 5 s")
    repeats = 1 if args.quick else 3
    sizes = (64, 512) if args.quick else (64, 512, 1024, 4096)
    print(f"{'n':>5} {'one step':>10} {'noisy: build':>13} {'ratio':>7} {'one sign: build':>16} {'ratio':>7}")
    steps = {}
    for n in sizes:
        progress(f"axis operators, n = {n}")
        noisy, one_sign = drifts(n)
        steps[n] = one_step(n, repeats)
        t_noisy = best(lambda: evolver(n, 1e-6, noisy), repeats)
        t_one = best(lambda: evolver(n, 1e-6, one_sign), repeats)
        print(f"{n:>5} {steps[n] * 1e3:>7.3f} ms {t_noisy * 1e3:>10.3f} ms {t_noisy / steps[n]:>7.2f}"
              f" {t_one * 1e3:>13.3f} ms {t_one / steps[n]:>7.2f}")
    print()
    print(f"{'n':>5} {'first call':>11} {'ratio':>7} {'again':>10} {'ratio':>7}")
    for n in [m for m in sizes if m <= 1024]:
        progress(f"first step judgement, n = {n}")
        _, one_sign = drifts(n)
        x = np.arange(n) / (n - 1)
        fresh = [evolver(n, 1e-6, one_sign) for _ in range(repeats)]
        calls = iter(fresh)
        t_first = best(lambda: next(calls).evolve(quorvane.TtState([np.cos(2 * np.pi * x)]), 1e-7, 1), repeats)
        s = quorvane.TtState([np.cos(2 * np.pi * x)])
        t_again = best(lambda: fresh[0].evolve(s, 1e-7, 1), repeats)
        print(f"{n:>5} {t_first * 1e3:>8.2f} ms {t_first / steps[n]:>7.0f} {t_again * 1e3:>7.3f} ms"
              f" {t_again / steps[n]:>7.2f}")
    print()
    print(f"{'n':>5} {'named':>7} {'refusal':>10} {'named call':>11} {'ratio':>6}")
    for n in (64,) if args.quick else (64, 600):
        progress(f"refusal, n = {n}")
        b = np.random.default_rng(11 if n == 64 else 4).uniform(-1, 1, n)
        a = 1.01 * np.max(np.abs(b)) / (n - 1) / 2 if n == 64 else 1e-3
        u0 = np.where(np.arange(n) / (n - 1) < 0.5, -1.0, 1.0)
        named = []

        def refusal():
            try:
                evolver(n, a, b).evolve(quorvane.TtState([u0]), 4.0, 1)
            except quorvane.QuorvaneError as e:
                named.append(int(re.search(r"n_steps >= (\d+)", str(e)).group(1)))

        t_refusal = best(refusal, repeats)
        ev = evolver(n, a, b)
        ev.evolve(quorvane.TtState([u0]), 4.0 / named[-1], 1)  # judged once, outside the timing
        t_call = best(lambda: ev.evolve(quorvane.TtState([u0]), 4.0, named[-1]), 1)
        print(f"{n:>5} {named[-1]:>7} {t_refusal * 1e3:>7.1f} ms {t_call * 1e3:>8.1f} ms {t_refusal / t_call:>6.2f}")


if __name__ == "__main__":
    main()
