"""Gradients of 1-D heat against forward evolutions and central finite differences,
as ratios measured in one run.

ReverseHeat1D.value_and_grad: J(theta) = sum (u_n - target)^2 and dJ/dtheta for
n_steps steps of du/dt = theta u'' (theta = 0.7, t = 0.04, reflecting ends, a bump at
the left end). The forward reference is one Heat1D.evolve of the same grid and step
count over the time theta * t (the same five-point step for unit diffusion; Heat1D
runs the library's planned, parallel road). Central finite differences over all
parameters (here the one theta) cost two forward evolutions. The last column is the
gradient's relative difference from central differences of J itself (h = 1e-5 theta).

EvolverHeat1DGreeksV3.greeks: value, delta and gamma in one hyper-dual sweep, against
one Heat1D.evolve (value only) and against the three forward evolutions that central
differences need for delta and gamma.

shift1d_coeff_grad: dJ/da_i for all n nodes of J = <dj, u_n> under the 1-D shift kernel
with per-node fields a, b, c (reflecting ends), against one Shift1D.with_arrays evolve
of the same fields and steps, and against the 2n such evolutions that central
differences over all n coefficients need. The last column is the relative difference
from central differences at one node.

Times are the best of REPEATS.

Run: PYTHONPATH=<build dir> python bench/bench_sensitivity_1d.py [--quick]
(--quick: one timing each.)
"""

from __future__ import annotations

import time

import numpy as np

import quorvane
from harness import options, progress

REPEATS = 5
THETA, T = 0.7, 0.04


def best_time(fn):
    best, out = float("inf"), None
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def forward_time(u0, steps, t):
    def run():
        h = quorvane.Heat1D(0.0, 1.0, len(u0), u0)
        h.evolve(t, n_steps=steps)
        return h
    return best_time(run)[0]


def reverse_rows():
    rows = []
    for n in (101, 1001):
        x = np.linspace(0.0, 1.0, n)
        u0, target = np.exp(-200.0 * x * x), np.full(n, 0.1)
        for steps in (100, 400):
            tau = T / steps
            r = quorvane.ReverseHeat1D(THETA, 0.0, 1.0, n, steps)
            t_grad, (_, g) = best_time(lambda: r.value_and_grad(tau, u0, target))
            t_fwd = forward_time(u0, steps, THETA * T)
            h = 1e-5 * THETA
            jp = quorvane.ReverseHeat1D(THETA + h, 0.0, 1.0, n, steps).value_and_grad(tau, u0, target)[0]
            jm = quorvane.ReverseHeat1D(THETA - h, 0.0, 1.0, n, steps).value_and_grad(tau, u0, target)[0]
            fd = (jp - jm) / (2 * h)
            rows.append((n, steps, t_grad, t_grad / t_fwd, t_grad / (2 * t_fwd), abs(g - fd) / abs(fd)))
    return rows


def greeks_rows():
    rows = []
    for n in (101, 1001):
        x = np.linspace(-4.0, 4.0, n)
        u0 = np.exp(-x * x / 2)
        for steps in (16, 64):
            def run():
                return quorvane.EvolverHeat1DGreeksV3(-4.0, 4.0, n, u0, steps, scale_theta=THETA).greeks(0.1)
            t_greeks = best_time(run)[0]
            def fwd():
                h = quorvane.Heat1D(-4.0, 4.0, n, u0)
                h.evolve(THETA * 0.1, n_steps=steps)
            t_fwd = best_time(fwd)[0]
            rows.append((n, steps, t_greeks, t_greeks / t_fwd, t_greeks / (3 * t_fwd)))
    return rows


def shift_rows():
    rows = []
    for n in (64, 256, 1024):
        x = np.linspace(-1.0, 1.0, n)
        a, b, c = 0.3 + 0.1 * np.cos(np.pi * x), 0.2 * x, np.zeros(n)
        u0, dj = np.exp(-8.0 * x * x), np.sin(np.pi * x) + 0.5
        t, steps = 0.05, 50

        def loss(a_field):
            s = quorvane.Shift1D.with_arrays(-1.0, 1.0, n, a_field, b, c, 1.0, u0)
            s.evolve(t, steps)
            return float(np.dot(dj, np.asarray(s.values())))

        t_grad, g = best_time(lambda: quorvane.shift1d_coeff_grad(-1.0, 1.0, n, a, b, c, u0, dj, t, steps, wrt="a"))
        t_fwd = best_time(lambda: loss(a))[0]
        i, h = n // 3, 1e-6
        plus, minus = a.copy(), a.copy()
        plus[i] += h
        minus[i] -= h
        fd = (loss(plus) - loss(minus)) / (2 * h)
        rows.append((n, steps, t_grad, t_grad / t_fwd, t_grad / (2 * n * t_fwd), abs(g[i] - fd) / abs(fd)))
    return rows


def main():
    global REPEATS
    if options(__doc__, full="a few seconds", quick="a few seconds").quick:
        REPEATS = 1
    progress("ReverseHeat1D")
    print("ReverseHeat1D.value_and_grad")
    print(f"{'n_grid':>7} {'steps':>6} {'grad s':>10} {'/forward':>9} {'/central FD':>12} {'rel. diff FD':>13}")
    for n, steps, t, r1, r2, err in reverse_rows():
        print(f"{n:>7} {steps:>6} {t:>10.2e} {r1:>9.1f} {r2:>12.1f} {err:>13.1e}")
    print()
    progress("EvolverHeat1DGreeksV3")
    print("EvolverHeat1DGreeksV3.greeks")
    print(f"{'n_grid':>7} {'steps':>6} {'greeks s':>10} {'/forward':>9} {'/central FD':>12}")
    for n, steps, t, r1, r2 in greeks_rows():
        print(f"{n:>7} {steps:>6} {t:>10.2e} {r1:>9.1f} {r2:>12.1f}")
    print()
    progress("shift1d_coeff_grad")
    print("shift1d_coeff_grad (wrt a, all nodes)")
    print(f"{'n':>7} {'steps':>6} {'grad s':>10} {'/forward':>9} {'/central FD':>12} {'rel. diff FD':>13}")
    for n, steps, t, r1, r2, err in shift_rows():
        print(f"{n:>7} {steps:>6} {t:>10.2e} {r1:>9.1f} {r2:>12.2e} {err:>13.1e}")


if __name__ == "__main__":
    main()
