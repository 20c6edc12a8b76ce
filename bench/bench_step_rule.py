"""How far a step count may be trusted: Heat1D's time error on one Fourier mode against the
estimate (a k^2 t) (a k^2 tau)^2 / 30 that the README's rule of thumb uses.

One step of Heat1D multiplies the mode cos(k x) by 7/12 + 3/8 cos(2 k sqrt(tau)) +
1/24 cos(2 k sqrt(3 tau)), whose Taylor series in z = k^2 tau is 1 - z + z^2/2 - 2 z^3/15:
it agrees with e^{-z} up to the second power and errs by z^3 / 30 at the third, and n = t/tau
steps add that up to (k^2 t) (k^2 tau)^2 / 30, relatively. The ratio measured / estimate shows where that
estimate holds: it tends to 1 as k^2 tau shrinks and grows once k^2 tau nears 1, where
the step no longer resolves the mode at all.

Setting: u0 = cos(k x) on 256 periodic nodes of [0, 2 pi) (the interpolation's own error
is below 1e-12 there), a = 1, t = 0.5, k = 1, 2, 4; the amplitude of the result by its
projection on the mode, against e^{-k^2 t}. Errors only, no timing.

Run: PYTHONPATH=<build dir> python bench/bench_step_rule.py [--quick]
(--quick: k = 2 only.)
"""

from __future__ import annotations

import math

import numpy as np

import quorvane
from harness import options, progress

N, T = 256, 0.5
TARGETS = (0.01, 0.05, 0.1, 0.15, 0.3, 0.5, 1.0)


def relative_error(k: int, n_steps: int) -> float:
    x = np.arange(N) * (2.0 * math.pi / N)
    h = quorvane.Heat1D(0.0, x[-1], N, np.cos(k * x), boundary="periodic")
    h.evolve(T, n_steps)
    amplitude = float(h.values() @ np.cos(k * x)) / (N / 2)
    exact = math.exp(-k * k * T)
    return abs(amplitude - exact) / exact


def main() -> None:
    args = options(__doc__, "about 1 s", "about 1 s")
    print(f"{'k':>3} {'k^2 tau':>8} {'n_steps':>8} {'measured':>10} {'estimate':>10} {'ratio':>6}")
    for k in (2,) if args.quick else (1, 2, 4):
        progress(f"k = {k}")
        for target in TARGETS:
            n_steps = max(1, round(T * k * k / target))
            r = k * k * T / n_steps
            measured, estimate = relative_error(k, n_steps), (k * k * T) * r * r / 30.0
            print(f"{k:>3} {r:>8.3f} {n_steps:>8} {measured:>10.3e} {estimate:>10.3e} {measured / estimate:>6.3f}")


if __name__ == "__main__":
    main()
