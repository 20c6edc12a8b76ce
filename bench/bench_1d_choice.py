"""The figures of the README's class-choice table: for every 1-D evolver, its
measured temporal order, the largest step it accepts and its cost per step
relative to Heat1D.

Order: log2(e(N) / e(2N)) for the class's problem and step counts below, e the
largest nodal distance from the exact solution: a cosine mode cos(k pi x) on
[0, 1] under "reflect" (an eigenvector of the steps; exact factor exp(lambda t)
with lambda = -(k pi)^2, or the eigenvalue of the class's own three- or
five-point stencil for the truncated-exponential classes, so that only the time
error is measured), or for the drift classes the Gaussian of variance parameter
s0 on a wide interval, shifted by b t, widened by a t and scaled by exp(c t).
"exact" means that the error does not change with the step count or stays at
rounding level: the scheme makes no time error on that problem. The error column is e(2N).

Step limit: the range of tau / dx^2 a constant-coefficient evolve accepts on
n = 101 (bisection on its CflViolated refusal, one step per call), the upper
end rounded down to four digits like the README's table, or "none" when it
accepts every step from 1e-3 dx^2 up to LIMIT_MAX dx^2.

Cost: time per step at n = COST_N (below the parallel threshold, so every
class runs on one thread), tau = 0.3 dx^2 (inside every class's stable range),
in calls of at least MIN_STEPS steps and COST_SECONDS seconds, so that what a
call spends before its first step (planning its reads) hardly counts; best of
a few runs, divided by Heat1D's time per step in the same run. The last column
is the time of a call of one step, which that planning is part of.

Run: PYTHONPATH=<build dir> python bench/bench_1d_choice.py [--quick]
(--quick: one timing of at least 0.02 s per class.)
"""

from __future__ import annotations

import math
import time

import numpy as np

import quorvane
from harness import options, progress

COST_N, COST_SECONDS, MIN_STEPS, REPEATS, COST_RATIO = 1001, 0.05, 64, 3, 0.3
LIMIT_N, LIMIT_MAX = 101, 1e4
ROUNDING = 1e-11


def cos_mode(n, k, t, steps, eigen="heat"):
    return ("cos", n, k, t, steps, eigen)


def gauss(xmax, n, s0, t, steps, a, b, c):
    return ("gauss", xmax, n, s0, t, steps, a, b, c)


# The zeta rungs at 16 and 32 steps just inside their step limits (n = 21:
# tau = 16 * 0.999 * limit * dx^2 / 16); the explicit classes at 0.8 of theirs.
ZETA_T = {"Heat1DZeta4": 1.78892, "Heat1DZeta6": 3.503148, "Heat1DZeta8": 6.5}
# name: (constructor keywords, order problem)
CLASSES = {
    "Heat1D": ({}, cos_mode(41, 2, 0.01, 4)),
    "Heat1D4th": ({}, cos_mode(41, 2, 0.01, 4)),
    "Heat1D6th": ({}, cos_mode(41, 2, 0.01, 4)),
    **{name: ({}, cos_mode(21, 1, 16 * 0.999 * mu / 400, 16)) for name, mu in ZETA_T.items()},
    "TruncatedExp1D": ({}, cos_mode(41, 8, 20 * 0.8 * 0.5 / 1600, 20, "3pt")),
    "TruncatedExp4th1D": ({}, cos_mode(41, 8, 20 * 0.8 * 0.375 / 1600, 20, "5pt")),
    "DiffusionExpmv1D": ({}, gauss(10.0, 401, 0.5, 0.2, 10, 1.0, 0.0, 0.0)),
    "Shift1D": ({"a": 0.5, "b": 0.3, "c": -0.2}, gauss(10.0, 401, 0.5, 0.2, 100, 0.5, 0.3, -0.2)),
    "DriftReaction1D": ({"b": 0.5, "c": -0.2}, gauss(10.0, 401, 0.5, 0.2, 10, 0.0, 0.5, -0.2)),
    "Strang1D": ({"b": 0.5}, gauss(10.0, 401, 0.5, 0.2, 10, 1.0, 0.5, 0.0)),
    "DriftReaction4th1D": ({}, gauss(16.0, 321, 0.5, 0.5, 8, 1.0, 0.5, 0.0)),
}


def problem(spec):
    """Nodes, initial values, exact values at the final time, and the final time."""
    if spec[0] == "cos":
        _, n, k, t, _, eigen = spec
        x = np.linspace(0.0, 1.0, n)
        theta = k * math.pi / (n - 1)
        lam = {"heat": -(k * math.pi) ** 2,
               "3pt": (2.0 * math.cos(theta) - 2.0) * (n - 1) ** 2,
               "5pt": (-2.0 * math.cos(2 * theta) + 32.0 * math.cos(theta) - 30.0) * (n - 1) ** 2 / 12.0}[eigen]
        u0 = np.cos(k * math.pi * x)
        return x, u0, math.exp(lam * t) * u0, t
    _, xmax, n, s0, t, _, a, b, c = spec
    x = np.linspace(-xmax, xmax, n)

    def at(time):
        s = s0 + a * time
        return math.sqrt(s0 / s) * np.exp(-((x + b * time) ** 2) / (4.0 * s) + c * time)

    return x, at(0.0), at(t), t


def measured_order(cls, kw, spec) -> tuple[str, str]:
    x, u0, final, t = problem(spec)
    steps = spec[4] if spec[0] == "cos" else spec[5]
    errors = []
    for s in (steps, 2 * steps):
        obj = cls(x[0], x[-1], len(x), u0, **kw)
        try:
            obj.evolve(t, n_steps=s)
        except quorvane.QuorvaneError as err:
            return f"refused ({err.kind})", ""
        errors.append(float(np.max(np.abs(obj.values() - final))))
    ratio = errors[0] / errors[1]
    order = "exact" if abs(ratio - 1.0) < 1e-3 or errors[0] < ROUNDING else f"{math.log2(ratio):.2f}"
    return order, f"{errors[1]:.1e}"


def accepts(cls, kw, ratio: float) -> bool:
    dx = 1.0 / (LIMIT_N - 1)
    obj = cls(0.0, 1.0, LIMIT_N, np.cos(np.pi * np.linspace(0.0, 1.0, LIMIT_N)), **kw)
    try:
        obj.evolve(ratio * dx * dx, n_steps=1)
    except quorvane.QuorvaneError as err:
        if err.kind != "CflViolated":
            raise
        return False
    return True


def boundary_of(cls, kw, good: float, bad: float) -> float:
    """The accepted/refused boundary of tau/dx^2 between an accepted and a refused ratio."""
    for _ in range(50):
        mid = math.sqrt(good * bad)
        good, bad = (mid, bad) if accepts(cls, kw, mid) else (good, mid)
    return good


def floor_4_digits(x: float) -> float:
    """x rounded down to four significant digits, as the README and the refusals show limits (so
    that a shown limit is admitted); a relative 1e-9 absorbs the bisection stopping just below a
    round bound such as 6.5."""
    scale = 10.0 ** (math.floor(math.log10(x)) - 3)
    return math.floor(x * (1 + 1e-9) / scale) * scale


def step_limit(cls, kw) -> str:
    low, high = 1e-3, COST_RATIO  # every class accepts the cost run's step
    upper = "" if accepts(cls, kw, LIMIT_MAX) else f"{floor_4_digits(boundary_of(cls, kw, high, LIMIT_MAX)):.4g}"
    if accepts(cls, kw, low):
        return f"<= {upper} dx^2" if upper else "none"
    return f"{boundary_of(cls, kw, high, low):.2g}..{upper} dx^2"


def call_seconds(cls, kw, steps) -> float:
    """The best of REPEATS calls of `steps` steps of tau = COST_RATIO dx^2, each on a new object."""
    dx = 1.0 / (COST_N - 1)
    u0 = np.cos(np.pi * np.linspace(0.0, 1.0, COST_N))
    best = math.inf
    for _ in range(REPEATS):
        obj = cls(0.0, 1.0, COST_N, u0, **kw)
        start = time.perf_counter()
        obj.evolve(COST_RATIO * dx * dx * steps, n_steps=steps)
        best = min(best, time.perf_counter() - start)
    return best


def seconds_per_step(cls, kw) -> tuple[float, float]:
    """Seconds per step in a long call, and seconds of a call of one step."""
    steps = MIN_STEPS
    while (seconds := call_seconds(cls, kw, steps)) < COST_SECONDS:
        steps *= 2
    return seconds / steps, call_seconds(cls, kw, 1)


def main() -> None:
    global REPEATS, COST_SECONDS
    if options(__doc__, full="about 10 s", quick="about 5 s").quick:
        REPEATS, COST_SECONDS = 1, 0.02
    rows, base = [], None
    for name, (kw, spec) in CLASSES.items():
        cls = getattr(quorvane, name, None)
        if cls is None:
            print(f"note: {name} is not built in this module, skipped")
            continue
        progress(name)
        cost, one_step = seconds_per_step(cls, kw)
        if name == "Heat1D":
            base = cost
        rows.append((name, *measured_order(cls, kw, spec), step_limit(cls, kw), cost, one_step))
    print(f"cost per step: n={COST_N}, tau=0.3 dx^2, one thread, calls of {MIN_STEPS} steps or more; "
          f"step limit on n={LIMIT_N}")
    head = (f"{'class':<20} {'order':>6} {'error':>8}  {'step limit':<15} {'us/step':>9} {'x Heat1D':>9} "
            f"{'1-step call us':>15}")
    print(head)
    print("-" * len(head))
    for name, order, error, limit, cost, one_step in rows:
        print(f"{name:<20} {order:>6} {error:>8}  {limit:<15} {cost * 1e6:9.1f} {cost / base:9.2f} "
              f"{one_step * 1e6:15.1f}")


if __name__ == "__main__":
    main()
