"""Error versus run time of the 1-D heat evolvers on one smooth problem.

Problem: du/dt = d2u/dx2 on [-10, 10] (n = 201, dx = 0.1, boundary "reflect")
from the Gaussian u0 = exp(-x^2 / (4 t0)), t0 = 0.5, to t = 0.5. The exact
solution sqrt(t0 / (t0 + t)) exp(-x^2 / (4 (t0 + t))) is below 1e-11 at the
ends, so the boundary rule plays no part and every class solves the same
problem. The error is the largest nodal deviation from it.

Each class runs at several step counts; the table gives the best of a few
timings (construction included, the same for every class), the error, and ratios (time and error) to Heat1D at the same step
count and to SciPy's expm_multiply applied to the matching second-order
finite-difference Laplacian (three-point stencil, mirrored ends) on the same
grid. A refused call (for instance a step beyond a class's stability limit)
is listed with its error kind; a class that this build does not provide is
skipped with a note.

Run: PYTHONPATH=<build dir> python bench/bench_heat1d_classes.py [--quick]
(--quick: one timing each.)
"""

from __future__ import annotations

import math
import time

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import expm_multiply

import quorvane
from harness import options, progress

XMIN, XMAX, N = -10.0, 10.0, 201
T0, T = 0.5, 0.5
STEP_COUNTS = (25, 100, 400)
REPEATS = 3
SLOW = 0.5
CLASSES = (
    "Heat1D",
    "Heat1D4th",
    "Heat1D6th",
    "Heat1DZeta4",
    "Heat1DZeta6",
    "Heat1DZeta8",
    "TruncatedExp1D",
    "TruncatedExp4th1D",
    "DiffusionExpmv1D",
)


def gaussian(x: np.ndarray, t: float) -> np.ndarray:
    return math.sqrt(T0 / (T0 + t)) * np.exp(-(x**2) / (4.0 * (T0 + t)))


def fd_laplacian(n: int, dx: float) -> sp.csr_matrix:
    """Three-point Laplacian with mirrored ghosts (u[-1] = u[1], u[n] = u[n-2])."""
    main = np.full(n, -2.0)
    upper = np.ones(n - 1)
    lower = np.ones(n - 1)
    upper[0] = 2.0
    lower[-1] = 2.0
    return sp.diags([lower, main, upper], [-1, 0, 1], format="csr") / (dx * dx)


def best_time(fn) -> tuple[float, object]:
    """Best of REPEATS runs; a run slower than SLOW seconds is not repeated."""
    best, out = math.inf, None
    for _ in range(REPEATS):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
        if best > SLOW:
            break
    return best, out


def run_class(cls, x: np.ndarray, u0: np.ndarray, exact: np.ndarray, n_steps: int):
    def once():
        obj = cls(XMIN, XMAX, N, u0, boundary="reflect")
        obj.evolve(T, n_steps=n_steps)
        return obj.values()

    try:
        seconds, values = best_time(once)
    except quorvane.QuorvaneError as err:
        return None, str(err).split("]")[0].lstrip("[")
    return (seconds, float(np.max(np.abs(values - exact)))), None


def main() -> None:
    global REPEATS
    if options(__doc__, full="a few seconds", quick="a few seconds").quick:
        REPEATS = 1
    x = np.linspace(XMIN, XMAX, N)
    u0 = gaussian(x, 0.0)
    exact = gaussian(x, T)
    dx = (XMAX - XMIN) / (N - 1)

    lap = fd_laplacian(N, dx)
    ref_time, ref_values = best_time(lambda: expm_multiply(T * lap, u0))
    ref_err = float(np.max(np.abs(ref_values - exact)))

    results: dict[tuple[str, int], tuple[float, float] | str] = {}
    notes = []
    for name in CLASSES:
        cls = getattr(quorvane, name, None)
        if cls is None:
            notes.append(f"{name}: not built in this module, skipped")
            continue
        progress(name)
        for n_steps in STEP_COUNTS:
            res, kind = run_class(cls, x, u0, exact, n_steps)
            results[(name, n_steps)] = res if res is not None else kind

    print(f"1-D heat, Gaussian t0={T0} to t={T} on [{XMIN}, {XMAX}], n={N} (dx={dx}), reflect")
    print(f"reference: scipy expm_multiply on the 3-point FD Laplacian: "
          f"time {ref_time * 1e3:.3f} ms, max error {ref_err:.3e}")
    head = (f"{'class':<18} {'steps':>5} {'time [ms]':>10} {'max error':>10} "
            f"{'t/Heat1D':>9} {'e/Heat1D':>9} {'t/scipy':>9} {'e/scipy':>9}")
    print(head)
    print("-" * len(head))
    for name in CLASSES:
        for n_steps in STEP_COUNTS:
            res = results.get((name, n_steps))
            if res is None:
                continue
            if isinstance(res, str):
                print(f"{name:<18} {n_steps:>5} {'refused: ' + res:>21}")
                continue
            seconds, err = res
            base = results.get(("Heat1D", n_steps))
            if isinstance(base, tuple):
                tr, er = f"{seconds / base[0]:9.2f}", f"{err / base[1]:9.2e}"
            else:
                tr, er = f"{'-':>9}", f"{'-':>9}"
            print(f"{name:<18} {n_steps:>5} {seconds * 1e3:10.3f} {err:10.3e} {tr} {er} "
                  f"{seconds / ref_time:9.2f} {err / ref_err:9.2e}")
    for note in notes:
        print("note:", note)


if __name__ == "__main__":
    main()
