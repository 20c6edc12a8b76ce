"""Schrodinger1D and SchrodingerComplex1D against a split-step Fourier solver
at equal error on a free wave packet.

Problem: i psi_t = -c psi_xx on [-20, 20] from psi0 = exp(-x^2/4 + i x), to the
time T with c T = 1 (Schrodinger1D: c = 1, T = 1; SchrodingerComplex1D:
c = 1/2, T = 2; the same map). The closed form
  psi(x, t) = (1 + i c t)^(-1/2) exp(-(x - 2 c t)^2 / (4 (1 + i c t)) + i (x - c t))
is below 1e-20 at the ends, so neither the Dirichlet rows of the
Crank-Nicolson classes nor the periodic wrap of the Fourier solver matter.
The error is the largest nodal deviation from it.

For every target error the cheapest configuration that reaches it is taken:
the classes over grids n = 501 ... 16001 and step counts 25 ... 3200
(errors O(dx^2) + O(tau^2)); the reference over n = 64 ... 4096 periodic points
with Strang split-step Fourier steps written with scipy.fft (exact in time
for a free particle, so one step; spectral in space). Times are the best of
a few runs, construction included; the ratio is class time / reference time
in the same run.

Run: PYTHONPATH=<build dir> python bench/bench_schrodinger.py [--quick]
(--quick: one timing each, grids up to 4001 points.)
"""

from __future__ import annotations

import math
import time

import numpy as np
import scipy.fft

import quorvane
from harness import options, progress

HALF = 20.0
TARGETS = (1e-2, 1e-3, 1e-4)
GRIDS = (501, 1001, 2001, 4001, 8001, 16001)
STEPS = (25, 50, 100, 200, 400, 800, 1600, 3200)
FOURIER_GRIDS = (64, 128, 256, 512, 1024, 2048, 4096)
REPEATS = 3


def packet(x: np.ndarray, ct: float) -> np.ndarray:
    a = 1.0 + 1j * ct
    return np.sqrt(1.0 / a) * np.exp(-((x - 2.0 * ct) ** 2) / (4.0 * a) + 1j * (x - ct))


def best_time(fn):
    best, out = math.inf, None
    for _ in range(REPEATS):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
        if best > 1.0:
            break
    return best, out


def split_step_fourier(n: int, c: float, t: float, steps: int) -> tuple[np.ndarray, np.ndarray]:
    """Strang split-step Fourier for i psi_t = (-c d^2/dx^2 + V) psi with V = 0."""
    x = -HALF + 2.0 * HALF * np.arange(n) / n
    k = 2.0 * np.pi * scipy.fft.fftfreq(n, d=2.0 * HALF / n)
    psi = packet(x, 0.0)
    tau = t / steps
    kinetic = np.exp(-1j * c * k * k * tau)
    half_phase = np.ones(n)  # exp(-i V tau/2) with V = 0
    for _ in range(steps):
        psi = half_phase * scipy.fft.ifft(kinetic * scipy.fft.fft(half_phase * psi))
    return x, psi


def cheapest_class(cls, c: float, t: float):
    """(error, n, steps, time) of every configuration of the class."""
    runs = []
    for n in GRIDS:
        x = np.linspace(-HALF, HALF, n)
        psi0 = packet(x, 0.0)
        exact = packet(x, 1.0)
        for steps in STEPS:
            def once():
                obj = cls(-HALF, HALF, n, psi0)
                obj.evolve(t, n_steps=steps)
                return obj.values()
            elapsed, out = best_time(once)
            runs.append((float(np.max(np.abs(out - exact))), n, steps, elapsed))
    return runs


def fourier_runs(c: float, t: float):
    runs = []
    for n in FOURIER_GRIDS:
        elapsed, (x, out) = best_time(lambda: split_step_fourier(n, c, t, 1))
        runs.append((float(np.max(np.abs(out - packet(x, 1.0)))), n, 1, elapsed))
    return runs


def pick(runs, target):
    ok = [r for r in runs if r[0] <= target]
    return min(ok, key=lambda r: r[3]) if ok else None


def main() -> None:
    global REPEATS, GRIDS
    if options(__doc__, full="about 35 s", quick="about 10 s").quick:
        REPEATS, GRIDS = 1, GRIDS[:4]
    cases = [("Schrodinger1D", quorvane.Schrodinger1D, 1.0, 1.0),
             ("SchrodingerComplex1D", quorvane.SchrodingerComplex1D, 0.5, 2.0)]
    print(f"{'class':22s} {'target':>8s} {'n':>6s} {'steps':>6s} {'error':>9s} {'time [s]':>9s} "
          f"{'ref n':>6s} {'ref time':>9s} {'ratio':>7s}")
    for name, cls, c, t in cases:
        progress(f"{name}, then split-step Fourier")
        mine = cheapest_class(cls, c, t)
        ref = fourier_runs(c, t)
        for target in TARGETS:
            a, b = pick(mine, target), pick(ref, target)
            if a is None or b is None:
                print(f"{name:22s} {target:8.0e}   not reached on the tried grids")
                continue
            print(f"{name:22s} {target:8.0e} {a[1]:6d} {a[2]:6d} {a[0]:9.2e} {a[3]:9.2e} "
                  f"{b[1]:6d} {b[3]:9.2e} {a[3] / b[3]:7.0f}")


if __name__ == "__main__":
    main()
