"""Error against the exact solution versus step count, for every 1-D class
that solves the heat equation du/dt = d2u/dx2.

The initial value is the Gaussian exp(-x^2) on [-8, 8] (n = 161, dx = 0.1);
at time t the exact solution is exp(-x^2 / (1 + 4 t)) / sqrt(1 + 4 t), which
is below 1e-12 at the ends for t = 0.5, so the boundary rule plays no part.

What to look for in the table:
- the slope: halving the step divides the error by 2^order until the spatial
  error of the grid takes over (the "floor" of each class);
- classes with a step limit refuse large steps with QuorvaneError kind
  "CflViolated" instead of returning noise ("refused" in the table);
- Shift1D is first order, and its diffusion is a (here a = 1, its default is
  0.5); Strang1D with b = 0 is the plain heat step split in halves;
- AdaptivePI chooses its own steps: it is run for a few tolerances instead.

Run: python examples/heat1d_convergence.py [--quick] [--outdir DIR]
"""

import math
import time

import numpy as np

import quorvane
from gallery import options, save_plot

XMIN, XMAX, N, T = -8.0, 8.0, 161, 0.5


def exact(x, t):
    return np.exp(-x * x / (1.0 + 4.0 * t)) / math.sqrt(1.0 + 4.0 * t)


def evolve_into_values(lo, hi, n, u0, t, steps):
    """EvolverHeat1DUnitV3 writes into a buffer the caller owns."""
    evolver = quorvane.EvolverHeat1DUnitV3(lo, hi, n, u0, steps)
    buf = np.empty(n)
    evolver.evolve_into(t, buf)
    return buf


# Seconds spent in evolve and steps taken, per class: what a step costs in this run.
STEP_COST = {}


def plain(cls, **kw):
    def run(u0, t, steps):
        obj = cls(XMIN, XMAX, N, u0, **kw)
        start = time.perf_counter()
        obj.evolve(t, n_steps=steps)
        seconds, total = STEP_COST.get(cls.__name__, (0.0, 0))
        STEP_COST[cls.__name__] = (seconds + time.perf_counter() - start, total + steps)
        return obj.values()

    return run


CLASSES = {
    "Heat1D": plain(quorvane.Heat1D),
    "Heat1D4th": plain(quorvane.Heat1D4th),
    "Heat1D6th": plain(quorvane.Heat1D6th),
    "Heat1DZeta4": plain(quorvane.Heat1DZeta4),
    "Heat1DZeta6": plain(quorvane.Heat1DZeta6),
    "Heat1DZeta8": plain(quorvane.Heat1DZeta8),
    "TruncatedExp1D": plain(quorvane.TruncatedExp1D),
    "TruncatedExp4th1D": plain(quorvane.TruncatedExp4th1D),
    "DiffusionExpmv1D": plain(quorvane.DiffusionExpmv1D),
    "Shift1D (a=1)": plain(quorvane.Shift1D, a=1.0),
    "Strang1D (b=0)": plain(quorvane.Strang1D, b=0.0),
    "Adjoint heat2": lambda u0, t, steps: quorvane.Adjoint(XMIN, XMAX, N, u0, kernel="heat2").evolve(t, n_steps=steps),
    "EvolverHeat1DUnitV3": lambda u0, t, steps: evolve_into_values(XMIN, XMAX, N, u0, t, steps),
}
# Heat1DZeta8 is by far the slowest class per step: keep its counts small.
MAX_STEPS = {"Heat1DZeta8": 32}
QUICK_MAX_STEPS = {"Heat1DZeta8": 8}


def main():
    args = options(__doc__.splitlines()[0])
    x = np.linspace(XMIN, XMAX, N)
    u0, final = exact(x, 0.0), exact(x, T)
    counts = [8, 32] if args.quick else [4, 8, 16, 32, 64, 128, 256, 512]
    max_steps = QUICK_MAX_STEPS if args.quick else MAX_STEPS

    print(f"quorvane {quorvane.version()}: du/dt = u'' on [{XMIN}, {XMAX}], n = {N}, t = {T}")
    print("Each cell is the largest |u - exact| over the nodes after n_steps steps (the column);")
    print('"refused": the class refuses steps that large (kind CflViolated, its step limit);')
    print('"-": not run, to keep the example fast (Heat1DZeta8 is by far the slowest class per step).')
    print(f"{'class':<20}" + "".join(f"{c:>10}" for c in counts))
    curves = {}
    for name, run in CLASSES.items():
        cells, points = [], []
        for steps in counts:
            if steps > max_steps.get(name, math.inf):
                cells.append(f"{'-':>10}")
                continue
            try:
                error = float(np.max(np.abs(run(u0, T, steps) - final)))
            except quorvane.QuorvaneError as err:
                cells.append(f"{'refused':>10}")
                assert err.kind == "CflViolated", err
                continue
            cells.append(f"{error:10.2e}")
            points.append((steps, error))
        curves[name] = points
        print(f"{name:<20}" + "".join(cells))

    per_step = {name: seconds / steps for name, (seconds, steps) in STEP_COST.items()}
    print(f"Heat1DZeta8 took {per_step['Heat1DZeta8'] * 1e3:.2f} ms a step in this run, "
          f"{per_step['Heat1DZeta8'] / per_step['Heat1D']:.0f} times Heat1D's {per_step['Heat1D'] * 1e6:.1f} us "
          f"(n = {N}; its calls of at most {max_steps['Heat1DZeta8']} steps include each call's planning)")

    print("\nAdaptivePI (kernel heat2) chooses its own steps:")
    for tol in (1e-3, 1e-5) if args.quick else (1e-3, 1e-4, 1e-5, 1e-6, 1e-7):
        values = quorvane.AdaptivePI(XMIN, XMAX, N, u0, kernel="heat2", tol_abs=tol, tol_rel=0.0).evolve(T)
        print(f"  tol_abs = {tol:.0e}: error {np.max(np.abs(values - final)):.2e}")

    # Classes whose errors agree to three digits at every step count draw one curve with
    # one label (Heat1D, Heat1D4th, the adjoint and EvolverHeat1DUnitV3 take the same step);
    # the others get distinct markers and line styles, so that near curves stay apart.
    groups = {}
    for name, points in curves.items():
        if points:
            key = tuple((s, float(f"{e:.2e}")) for s, e in points)
            groups.setdefault(key, []).append(name)
    # A class that only runs where another one runs, with the same errors there, joins that
    # curve's label (TruncatedExp1D sits on DiffusionExpmv1D's floor from 128 steps on).
    labels = {key: " = ".join(names) for key, names in groups.items()}
    for key, names in groups.items():
        host = next((k for k in groups if k != key and set(key) < set(k)), None)
        if host is not None:
            labels[host] += f"; {' = '.join(names)} the same from {key[0][0]} steps"
            del labels[key]
    styles = [(m, ls) for ls in ("-", "--", ":") for m in ("o", "s", "^", "v", "D", "x", "+")]

    def draw(plt):
        plt.gcf().set_size_inches(10.0, 5.0)
        for (key, label), (marker, line) in zip(labels.items(), styles):
            steps, errors = zip(*key)
            plt.loglog(steps, errors, marker=marker, linestyle=line, ms=4, label=label)
        plt.xlabel("n_steps")
        plt.ylabel("max |u - exact|")
        plt.title(f"heat equation, Gaussian, t = {T}, n = {N}")
        # Outside the axes, so that it covers no data.
        plt.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0.0)

    save_plot(args, "heat1d_convergence", draw)


if __name__ == "__main__":
    main()
