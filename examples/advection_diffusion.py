"""A Gaussian carried by a drift while it spreads and decays, with Shift1D,
DriftReaction1D, Strang1D and DriftReaction4th1D against the exact solution.

The equation is du/dt = a u'' + b u' + c u with constant a, b, c. From
u0 = exp(-x^2 / (4 s0)) its exact solution is

    u(t, x) = sqrt(s0 / (s0 + a t)) exp(-(x + b t)^2 / (4 (s0 + a t)) + c t):

note the sign, a positive b moves the profile towards smaller x. Each class
covers part of the family:

    Shift1D             a, b, c        first order in time
    DriftReaction1D     a = 0; b, c    no time error for constant b and c
    Strang1D            a = 1; b       second order
    DriftReaction4th1D  a = 1, b = 0.5 (fixed), c = 0: fourth order, with a
                        step limit (it refuses steps above about 3.5 dx^2)

Run: python examples/advection_diffusion.py [--quick] [--outdir DIR]
"""

import math

import numpy as np

import quorvane
from gallery import options, save_plot

XMIN, XMAX, N, S0, T = -15.0, 15.0, 601, 0.5, 1.0

# name: (a, b, c, constructor)
CASES = {
    "Shift1D": (0.5, 1.0, -0.3, lambda u0: quorvane.Shift1D(XMIN, XMAX, N, u0, a=0.5, b=1.0, c=-0.3)),
    "DriftReaction1D": (0.0, 1.0, -0.3, lambda u0: quorvane.DriftReaction1D(XMIN, XMAX, N, u0, b=1.0, c=-0.3)),
    "Strang1D": (1.0, 1.0, 0.0, lambda u0: quorvane.Strang1D(XMIN, XMAX, N, u0, b=1.0)),
    "DriftReaction4th1D": (1.0, 0.5, 0.0, lambda u0: quorvane.DriftReaction4th1D(XMIN, XMAX, N, u0)),
}


def exact(x, t, a, b, c):
    s = S0 + a * t
    return math.sqrt(S0 / s) * np.exp(-((x + b * t) ** 2) / (4.0 * s) + c * t)


def main():
    args = options(__doc__.splitlines()[0])
    x = np.linspace(XMIN, XMAX, N)
    u0 = exact(x, 0.0, 0.0, 0.0, 0.0)
    counts = [100, 200] if args.quick else [25, 50, 100, 200, 400, 800, 1600]

    print(f"du/dt = a u'' + b u' + c u on [{XMIN}, {XMAX}], n = {N}, s0 = {S0}, t = {T}")
    print("Columns: the coefficients, then the largest |u - exact| over the nodes after n_steps steps")
    print('(the column heads); "refused": steps beyond the class\'s limit (kind CflViolated); order:')
    print("log2 of the ratio of the first two errors (the order in time), unless the errors are at")
    print("rounding level, where the scheme is exact in time for these coefficients.")
    print(f"{'class':<20}{'a':>5}{'b':>5}{'c':>6}" + "".join(f"{c:>10}" for c in counts) + "   order")
    finals = {}
    for name, (a, b, c, make) in CASES.items():
        final = exact(x, T, a, b, c)
        cells, errors = [], []
        for steps in counts:
            obj = make(u0)
            try:
                obj.evolve(T, n_steps=steps)
            except quorvane.QuorvaneError as err:
                assert err.kind == "CflViolated", err
                cells.append(f"{'refused':>10}")
                continue
            errors.append(float(np.max(np.abs(obj.values() - final))))
            cells.append(f"{errors[-1]:10.2e}")
            finals[name] = obj.values()
        # The first halving of the step: later ones may reach the spatial floor.
        if len(errors) < 2:
            order = ""
        elif max(errors) < 1e-9:
            order = "  (at rounding level)"
        else:
            order = f"{math.log2(errors[0] / errors[1]):7.2f}"
        print(f"{name:<20}{a:5.1f}{b:5.1f}{c:6.1f}" + "".join(cells) + order)

    def draw(plt):
        plt.plot(x, u0, "k:", label="u0")
        for name, values in finals.items():
            plt.plot(x, values, label=f"{name} (t = {T})")
        plt.xlim(-8.0, 4.0)
        plt.xlabel("x")
        plt.ylabel("u")
        plt.title("drift moves the profile to smaller x for b > 0")
        plt.legend(fontsize=8)

    save_plot(args, "advection_diffusion", draw)


if __name__ == "__main__":
    main()
