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

Fourth section, what the admitted calls keep: random axes (random_axis: 8 to 256 nodes, a
smooth or rough, b and v zero, constant, smooth or noisy, a jump, noise or smooth data), each
called at six random t from 1e-2 to 1e3 with 1 to 10 steps and, below every admitted long
single step, at steps 0.5 to 0.9 of it (the gap where its double passes); every admitted
result against the exact bound max|u0| e^{t max(v, 0)}, and on axes of at most 64 nodes also
against what exp(t L_h) of the three-point operator itself reaches (scipy's expm).

Fifth section, the judgement of the powers a call applies: the first call of K = 1, 1000 and 10^5 steps
of a one-sign drift (n = 64, 512, 1024) on a fresh evolver less the same call again, against one step; with --before PATH the
same calls of the module at PATH (an earlier build, which judges one step and not its powers) are
timed in a child process of this run. Then the rough axes (rough_axis: 8 to 96 nodes, a and b drawn
node by node, four steps from 0.03 to 30 over |L_h|_inf, each called with 1, 10, 100, 1000 and 3000
steps, and the count each refusal names) on a jump and on drawn signs: the largest max|u| / (max|u0|
e^{t max(v, 0)}) returned, and how many calls were admitted, refused, and refused naming no count.

Run: PYTHONPATH=<build dir> python bench/bench_tt_judgement.py [--quick] [--before PATH]
(--quick: n = 64 and 512 only, one timing each, no 600-node refusal, 60 random axes of 600, 200
rough axes of 2400.)
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


def random_axis(rng):
    """a smooth or rough, b zero, constant, smooth or noisy, v likewise, on 8 to 256 nodes; the data a
    jump, noise or two smooth modes."""
    n = int(rng.choice([8, 12, 16, 24, 32, 49, 64, 96, 128, 256]))
    x = np.arange(n) / n
    a = 10 ** rng.uniform(-4, 0) * [np.ones(n), 1 + 0.8 * np.sin(2 * np.pi * x + rng.uniform(0, 6)),
                                    rng.uniform(0.1, 1, n)][rng.integers(3)]
    amp = 10 ** rng.uniform(-2, 1)
    b = [np.zeros(n), np.full(n, amp * rng.choice([-1, 1])),
         amp * np.sin(2 * np.pi * rng.integers(1, 4) * x + rng.uniform(0, 6)), amp * rng.uniform(-1, 1, n)]
    b = b[rng.integers(4)]
    amp = rng.uniform(0, 1)
    v = [np.zeros(n), np.full(n, amp * rng.choice([-1, 1])), amp * np.sin(2 * np.pi * x),
         amp * rng.uniform(-1, 1, n)][rng.integers(4)]
    u0 = [np.where(x < 0.5, 1.0, -0.5), rng.uniform(-1, 1, n),
          np.cos(2 * np.pi * x) + 0.3 * np.sin(6 * np.pi * x)][rng.integers(3)]
    return a, b, v, u0


def rough_axis(rng):
    """A rough axis: a drawn node by node (or smooth), a drift drawn from (-1, 1) times 1e-2 to 10, v zero or
    drawn, on 8 to 96 nodes of (0, 1 - 1/n); with four steps from 0.03 to 30 over |L_h|_inf, each called
    with the counts ROUGH_COUNTS."""
    n = int(rng.choice([8, 12, 16, 24, 32, 47, 64, 96]))
    x = np.arange(n) / n
    a = 10 ** rng.uniform(-4, 0) * [rng.uniform(0.1, 1, n), 1 + 0.8 * np.sin(2 * np.pi * x + rng.uniform(0, 6))][
        rng.integers(2)]
    b = 10 ** rng.uniform(-2, 1) * rng.uniform(-1, 1, n)
    v = [np.zeros(n), rng.uniform(0, 1) * rng.uniform(-1, 1, n)][rng.integers(2)]
    scale = np.max(np.sum(np.abs(three_point(a, b, v, 1.0 / n)), 1))
    return a, b, v, 10 ** rng.uniform(-1.5, 1.5, 4) / scale


ROUGH_COUNTS = (1, 10, 100, 1000, 3000)


def rough_calls(seeds):
    """The rough axes' calls (each step with each count) on a jump and on signs drawn node by node, and the
    calls of the counts their refusals name: the largest max|u| / (max|u0| e^{t max(v, 0)}) returned, the
    axes judged, and how many calls were admitted, refused, and refused naming no count."""
    worst, axes, admitted, refused, none = (0.0, None), 0, 0, 0, 0
    for seed in seeds:
        rng = np.random.default_rng(seed)
        a, b, v, taus = rough_axis(rng)
        n = len(a)
        data = [np.where(np.arange(n) < n // 2, 1.0, -1.0), rng.choice([-1.0, 1.0], n)]
        make = lambda: quorvane.VarCoefTtEvolver([a], [b], [v], [(0.0, 1.0 - 1.0 / n)], 0.0)
        try:
            make().evolve(quorvane.TtState([np.ones(n)]), 0.0, 1)
        except quorvane.QuorvaneError:
            continue  # the axis operator itself grows
        axes += 1
        ev = make()
        for tau in taus:
            for k in ROUGH_COUNTS:
                t = tau * k
                try:
                    ev.evolve(quorvane.TtState([np.ones(n)]), t, k)
                except quorvane.QuorvaneError as e:
                    if str(e).startswith("[NanInf]"):
                        continue  # e^{t max v} itself beyond the doubles
                    if not str(e).startswith("[CflViolated]"):
                        raise
                    refused += 1
                    named = re.search(r"use n_steps >= (\d+) for", str(e))
                    if not named:
                        none += 1
                        continue
                    k = int(named.group(1))
                    if k > 10**5:
                        continue
                else:
                    admitted += 1
                for u0 in data:
                    s = quorvane.TtState([u0])
                    try:
                        ev.evolve(s, t, k)
                    except quorvane.QuorvaneError as e:
                        if str(e).startswith("[NanInf]"):
                            continue  # the result itself beyond the doubles
                        raise
                    u = np.array([s.inner_separable([e]) for e in np.eye(n)])
                    with np.errstate(divide="ignore"):  # in logarithms: e^{t max v} may leave the doubles
                        ratio = np.exp(np.log(np.max(np.abs(u))) - t * max(np.max(v), 0.0))
                    worst = max(worst, (ratio, (seed, n, t, k)), key=lambda w: w[0])
    return worst, axes, admitted, refused, none


def random_calls(rng, make, u0):
    """(t, n_steps, values or None where refused) of the calls described above."""
    n = len(u0)
    calls = [(t, int(rng.choice([1, 1, 2, 3, 5, 10]))) for t in 10 ** rng.uniform(-2, 3, 6)]
    admitted = 0
    while calls:
        t, k = calls.pop(0)
        s = quorvane.TtState([u0])
        try:
            make().evolve(s, t, k)
        except quorvane.QuorvaneError as e:
            if not str(e).startswith("[CflViolated]"):
                raise
            yield t, k, None
            continue
        admitted += 1
        if k == 1 and t > 0.05 and admitted < 30:
            calls += [(t * f, 1) for f in (0.5, 0.6, 0.75, 0.9)] + [(t * rng.uniform(0.3, 1), int(rng.integers(2, 6)))]
        yield t, k, np.array([s.inner_separable([e]) for e in np.eye(n)])


def three_point(a, b, v, h):
    """The conservative periodic three-point discretisation of (a u')' + b u' + v u."""
    n = len(a)
    L = np.zeros((n, n))
    for i in range(n):
        am, ap = (a[i] + a[i - 1]) / 2, (a[i] + a[(i + 1) % n]) / 2
        L[i, i - 1] += am / h**2 - b[i] / (2 * h)
        L[i, i] += -(am + ap) / h**2 + v[i]
        L[i, (i + 1) % n] += ap / h**2 + b[i] / (2 * h)
    return L


def admitted_calls(seeds):
    from scipy.linalg import expm
    axes = calls = admitted = 0
    worst, excess = (0.0, None), (0.0, None)
    for seed in seeds:
        rng = np.random.default_rng(seed)
        a, b, v, u0 = random_axis(rng)
        n = len(a)
        make = lambda: quorvane.VarCoefTtEvolver([a], [b], [v], [(0.0, 1.0 - 1.0 / n)], 0.0)
        try:
            make().evolve(quorvane.TtState([u0]), 0.0, 1)
        except quorvane.QuorvaneError:
            continue  # the axis operator itself grows
        axes += 1
        L = three_point(a, b, v, 1.0 / n) if n <= 64 else None
        for t, k, u in random_calls(rng, make, u0):
            calls += 1
            if u is None:
                continue
            admitted += 1
            bound = np.max(np.abs(u0)) * np.exp(min(t * max(np.max(v), 0.0), 700.0))
            ratio = np.max(np.abs(u)) / bound
            worst = max(worst, (ratio, (seed, n, t, k)), key=lambda w: w[0])
            with np.errstate(all="ignore"):
                flow = np.max(np.abs(expm(t * L) @ u0)) if L is not None else np.nan
            if np.isfinite(flow):
                excess = max(excess, ((np.max(np.abs(u)) - max(bound, flow)) / bound, (seed, n, t, k)),
                             key=lambda w: w[0])
    return axes, calls, admitted, worst, excess


def first_calls(sizes, repeats):
    """{(n, K): seconds} of the judgement of a call of K steps of t = 1e-6 K on a fresh one-sign evolver:
    its first call less the same call again (the verdict kept)."""
    out = {}
    for n in sizes:
        x = np.arange(n) / (n - 1)
        _, one_sign = drifts(n)
        for k in (1, 1000, 100000):
            fresh = [evolver(n, 1e-6, one_sign) for _ in range(repeats)]
            calls = iter(fresh)
            def call(ev):
                try:
                    ev.evolve(quorvane.TtState([np.cos(2 * np.pi * x)]), 1e-6 * k, k)
                except quorvane.QuorvaneError:
                    pass  # refused after the same judgement
            first = best(lambda: call(next(calls)), repeats)
            out[(n, k)] = max(first - best(lambda: call(fresh[0]), 1), 0.0)
    return out


def main():
    args = options(__doc__, "about 5 min", "about 30 s",
                   add=lambda p: p.add_argument("--before", help="build dir of the module to compare against"))
    if args.before == "child":
        print(repr(first_calls(*eval(input()))))
        return
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
    print()
    progress("random axes")
    axes, calls, admitted, worst, excess = admitted_calls(range(60 if args.quick else 600))
    print(f"random axes {axes}, calls {calls}, admitted {admitted}")
    print(f"largest max|u| / (max|u0| e^(t max(v, 0))): {worst[0]:.3f} (seed, n, t, n_steps = {worst[1]})")
    print(f"largest excess over what exp(t L_h) reaches, in units of that bound, n <= 64: {excess[0]:.3f} "
          f"(seed, n, t, n_steps = {excess[1]})")
    print()
    sizes = (64, 512) if args.quick else (64, 512, 1024)
    progress("first calls of K steps")
    after = first_calls(sizes, repeats)
    before = None
    if args.before:
        import os
        import subprocess
        import sys
        env = dict(os.environ, PYTHONPATH=args.before + os.pathsep + str(__import__("pathlib").Path(__file__).parent))
        run = subprocess.run([sys.executable, __file__, "--before", "child"], input=repr((sizes, repeats)),
                             capture_output=True, text=True, env=env, check=True)
        before = eval(run.stdout.strip().splitlines()[-1])
    print(f"{'n':>5} {'K':>8} {'judgement':>11} {'in steps':>9}" + (f" {'before':>11} {'ratio':>6}" if before else ""))
    for (n, k), t in after.items():
        line = f"{n:>5} {k:>8} {t * 1e3:>8.1f} ms {t / steps[n]:>9.0f}"
        if before:
            line += f" {before[(n, k)] * 1e3:>8.1f} ms {t / before[(n, k)]:>6.2f}"
        print(line)
    progress("rough axes")
    worst, axes, admitted, refused, none = rough_calls(range(200 if args.quick else 2400))
    print(f"rough axes {axes}: calls admitted {admitted}, refused {refused} ({none} naming no count)")
    print(f"largest max|u| / (max|u0| e^(t max(v, 0))) of the calls made: {worst[0]:.3f} "
          f"(seed, n, t, n_steps = {worst[1]})")


if __name__ == "__main__":
    main()
