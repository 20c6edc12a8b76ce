"""Evolve a Gaussian with quorvane.Heat1D and compare with the exact solution.

du/dt = d2u/dx2 on [-10, 10] with u0(x) = exp(-x^2) (the heat kernel at time
1/4, up to a factor). At time t the exact solution is

    u(t, x) = exp(-x^2 / (1 + 4 t)) / sqrt(1 + 4 t),

which is below 1e-8 at the ends for t = 1, so the boundary rule does not
matter. Heat1D takes n_steps Chernoff steps of size t/n_steps; its error is
second order in the step (doubling n_steps divides it by about 4).

Run: python examples/heat1d_quickstart.py [--quick] [--outdir DIR]
"""

import time

import numpy as np

import quorvane
from gallery import options, save_plot


def main():
    args = options(__doc__.splitlines()[0])
    xmin, xmax, n, t = -10.0, 10.0, 401, 1.0
    x = np.linspace(xmin, xmax, n)
    exact = np.exp(-x * x / (1.0 + 4.0 * t)) / np.sqrt(1.0 + 4.0 * t)

    print(f"quorvane {quorvane.version()}: du/dt = u'' on [{xmin}, {xmax}], n = {n}, t = {t}")
    print("max error: largest |u - exact| over the nodes; ratio: the previous row's error over this")
    print("row's (about 4 = 2^2 for a second-order method, since each row doubles n_steps)")
    print(f"{'n_steps':>8} {'max error':>12} {'ratio':>7} {'wall time':>11}")
    previous = None
    for n_steps in (25, 50) if args.quick else (25, 50, 100, 200):
        h = quorvane.Heat1D(xmin, xmax, n, np.exp(-x * x), boundary="reflect")
        start = time.perf_counter()
        h.evolve(t, n_steps=n_steps)
        elapsed = time.perf_counter() - start
        error = np.max(np.abs(h.values() - exact))
        ratio = f"{previous / error:7.2f}" if previous else " " * 7
        print(f"{n_steps:8d} {error:12.3e} {ratio} {elapsed * 1e3:8.2f} ms")
        previous = error

    def draw(plt):
        plt.plot(x, np.exp(-x * x), "k:", label="u0")
        plt.plot(x, h.values(), label=f"Heat1D, t = {t}")
        plt.plot(x, exact, "--", label="exact")
        plt.xlim(-6.0, 6.0)
        plt.xlabel("x")
        plt.legend()

    save_plot(args, "heat1d_quickstart", draw)


if __name__ == "__main__":
    main()
