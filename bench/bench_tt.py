"""Tensor-train evolvers against a full-grid NumPy evolution of the same discrete problem.

Problem: d periodic axes of n nodes (spacing h = 2*pi/n, so n*h = 2*pi), a smooth separable
start u0 = prod_j exp(cos(x_j + j)), evolved to t = 0.2.

- TtEvolver (a_j = 0.4 + 0.1 j, b_j = 0.3, c = -0.5): the full grid applies the same per-axis
  Chernoff average (1/2 u(x + 2 tau b) + 1/4 u(x +- 2 sqrt(tau a)), four-point cubic Lagrange
  taps by np.roll) along every axis, then the reaction factor 1 + tau c.
- TtCoupledEvolver (a_j = 0.5, Tridiagonal rho = 0.3, c = 0): every axis is coupled, so the
  step is exp(tau L) of the periodic generator; the full grid takes it by fftn, a multiplication
  by the symbol and ifftn.

Columns: time per step of the train and of the full grid (best of a few runs) and their ratio,
the train's stored values against n^d, its peak rank after the run, and the largest deviation
of the train from the full grid (rounding tolerance eps_round = 1e-8). Sizes are those whose full
grid fits comfortably in memory (at most 2^22 nodes).

Run: PYTHONPATH=<build dir> python bench/bench_tt.py [--quick]
(--quick: d = 3 and 4 only, one timing each.)
"""

from __future__ import annotations

import itertools
import math
import time

import numpy as np

import quorvane
from harness import options, progress

SIZES = ((32, 3), (32, 4), (16, 5), (12, 6))
T, STEPS, EPS = 0.2, 8, 1e-8
REPEATS = 3


def axis_grid(n):
    h = 2 * np.pi / n
    return np.arange(n) * h, h


def slices(n, d):
    x, _ = axis_grid(n)
    return [np.exp(np.cos(x + j)) for j in range(d)]


def full_start(n, d):
    u = np.ones((1,) * 0)
    for s in slices(n, d):
        u = np.multiply.outer(u, s)
    return u


def lagrange_taps(x, scale):
    k = math.floor(x)
    t = x - k
    w = [-(t - 2) * t * (t - 1) / 6, (t - 2) * (t + 1) * (t - 1) / 2, -(t - 2) * t * (t + 1) / 2,
         (t - 1) * t * (t + 1) / 6]
    return [(k + m - 1, scale * w[m]) for m in range(4)]


def full_separable_step(u, tau, a, b, c, h):
    for j in range(u.ndim):
        taps = (lagrange_taps(2 * tau * b[j] / h, 0.5) + lagrange_taps(2 * math.sqrt(tau * a[j]) / h, 0.25)
                + lagrange_taps(-2 * math.sqrt(tau * a[j]) / h, 0.25))
        u = sum(w * np.roll(u, -shift, axis=j) for shift, w in taps)
    return u * (1 + tau * c)


def coupled_symbol(n, d, h, a, rho):
    theta = 2 * np.pi * np.arange(n) / n
    lam, mu = (2 * np.cos(theta) - 2) / h**2, np.sin(theta) / h
    axis = lambda v, j: v.reshape([n if i == j else 1 for i in range(d)])
    L = sum(a[j] * axis(lam, j) for j in range(d))
    for j in range(d - 1):
        L = L - 2 * rho * math.sqrt(a[j] * a[j + 1]) * axis(mu, j) * axis(mu, j + 1)
    return L


def point_values(state, n, d, count=64):
    rng = np.random.default_rng(0)
    eye = np.eye(n)
    pts = [tuple(rng.integers(0, n, d)) for _ in range(count)]
    return pts, np.array([state.inner_separable([eye[i] for i in p]) for p in pts])


def best(fn):
    times = []
    out = None
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def run_separable(n, d):
    _, h = axis_grid(n)
    a, b, c = [0.4 + 0.1 * j for j in range(d)], [0.3] * d, -0.5
    tau = T / STEPS
    ev = quorvane.TtEvolver(a, b, c, [0.0] * d, [2 * np.pi - h] * d, EPS)

    def tt():
        s = quorvane.TtState(slices(n, d))
        ev.evolve(s, T, STEPS)
        return s

    def grid():
        u = full_start(n, d)
        for _ in range(STEPS):
            u = full_separable_step(u, tau, a, b, c, h)
        return u

    return tt, grid


def run_coupled(n, d):
    _, h = axis_grid(n)
    a, rho = [0.5] * d, 0.3
    tau = T / STEPS
    ev = quorvane.TtCoupledEvolver(a, [0.0] * d, 0.0, ("Tridiagonal", rho), [0.0] * d, [2 * np.pi - h] * d, EPS)
    factor = np.exp(tau * coupled_symbol(n, d, h, a, rho))

    def tt():
        s = quorvane.TtState(slices(n, d))
        ev.evolve(s, T, STEPS)
        return s

    def grid():
        u = full_start(n, d)
        for _ in range(STEPS):
            u = np.real(np.fft.ifftn(factor * np.fft.fftn(u)))
        return u

    return tt, grid


def main():
    global REPEATS
    sizes = SIZES
    if options(__doc__, full="about 25 s", quick="a few seconds").quick:
        REPEATS, sizes = 1, SIZES[:2]
    print(f"t = {T}, {STEPS} steps, eps_round = {EPS}; times per step")
    header = (f"{'class':<18}{'n':>4}{'d':>3}{'TT ms':>10}{'grid ms':>10}{'TT/grid':>9}"
              f"{'stored':>10}{'n^d':>11}{'ratio':>9}{'rank':>6}{'max dev':>10}")
    print(header)
    print("-" * len(header))
    for name, make in (("TtEvolver", run_separable), ("TtCoupledEvolver", run_coupled)):
        for n, d in sizes:
            progress(f"{name}, n = {n}, d = {d}")
            tt, grid = make(n, d)
            t_tt, s = best(tt)
            t_grid, u = best(grid)
            pts, vals = point_values(s, n, d)
            dev = max(abs(v - u[p]) for p, v in zip(pts, vals))
            stored = s.storage_size()
            print(f"{name:<18}{n:>4}{d:>3}{1e3 * t_tt / STEPS:>10.3f}{1e3 * t_grid / STEPS:>10.3f}"
                  f"{t_tt / t_grid:>9.3f}{stored:>10}{n**d:>11}{stored / n**d:>9.2e}{s.peak_rank():>6}{dev:>10.1e}")


if __name__ == "__main__":
    main()
