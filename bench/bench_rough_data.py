"""How far each family's result leaves the range of rough data, and whether that grows
with the step count.

A high-order read between nodes cannot keep the range of a jump or of noise: the
Hermite, Chebyshev or Taylor weights are not all positive, so one step overshoots by
a fixed amount. That is expected; what would be a fault is an overshoot that grows as
the step count grows (a compounding one). For every family this prints
max|u| / max|u0| after n = 1, 10, ..., 10^5 steps (10^4 and 10^5 where cheap) of one fixed
total time t, on two data:

- jump:  -1 for x < 0.5, +1 from x = 0.5 on (a unit jump of mean about 0);
- noise: default_rng(0).uniform(-1, 1) at every node.

Every equation measured here has max|u(t)| <= max|u0| (no reaction, or a damping
one), so a figure above 1 is the scheme's overshoot. "refused" marks a step count
whose step the class refuses (its step limit); "-" one not run (too slow). The last
column is the largest figure of the row and the one after it the figure at the
largest count divided by the largest: below 1 where the overshoot settles or decays.
The grid is [0, 1] with 101 nodes (dx^2 = 1e-4) in 1-D, 41^2 in 2-D, 9^3 in 3-D, a
path of 101 nodes for the graph classes; default boundary ("reflect") unless a row
says otherwise. t is on each row: 0.01 (100 dx^2) for the diffusions, a little under the
step limit for the classes that have one, 0.1 for Shift1D and DriftReaction1D, and near
the limit of one step for the graph classes.

Then one step of tau = k dx^2 for a range of k (where most classes overshoot most),
Heat1DZeta8 at a fixed tau, and the cases the README quotes: DriftReaction1D on
two-node plateaus between jumps and at "zero" ends, one Heat1D step of t = 1e6, and the
"linear" option on (-1)^j, whose ghost nodes continue the alternation.

Run: PYTHONPATH=<build dir> python bench/bench_rough_data.py [--quick]
(--quick: counts up to 100 only, 1000 for DriftReaction1D.)
"""

from __future__ import annotations

import math
import time

import numpy as np

import quorvane as q
from harness import options, progress

N1, N2, N3, NG = 101, 41, 9, 101
DX2 = (1.0 / (N1 - 1)) ** 2
SLOW_SECONDS = 4.0  # past 1000 steps, a count whose predecessor took longer is skipped


def axis(n):
    return np.linspace(0.0, 1.0, n)


def jump(x):
    return np.where(x < 0.5, -1.0, 1.0)


def noise(size):
    return np.random.default_rng(0).uniform(-1.0, 1.0, size)


def data_1d(kind, n=N1):
    return jump(axis(n)) if kind == "jump" else noise(n)


def data_nd(kind, n, dim):
    """Flat, x fastest; the jump runs across x."""
    if kind == "noise":
        return noise(n**dim)
    return np.tile(jump(axis(n)), n ** (dim - 1))


def heat_1d(cls, **kw):
    def run(u0, t, n):
        h = cls(0.0, 1.0, len(u0), u0, **kw)
        h.evolve(t, n)
        return h.values()
    return run


def graph_path():
    return q.Graph.path(NG)


def graph_run(make):
    def run(u0, t, n):
        return make().evolve(t, n, u0)
    return run


def magnus(cls):
    g = graph_path()
    lap = q.Laplacian.combinatorial(g)
    return graph_run(lambda: cls(graph=g, lap_at_t=lambda s: lap, rho_bar_max=4.0))


def box(cls, dim, n, **kw):
    bounds = (0.0, 1.0, n) * dim

    def run(u0, t, steps):
        return cls(*bounds, **kw).evolve(u0, t / steps, steps)
    return run


def box_var(cls, dim, n):
    a = 1.0 + 0.5 * np.sin(2 * np.pi * axis(n))
    bounds = (0.0, 1.0, n) * dim

    def run(u0, t, steps):
        return cls(*bounds, *([a] * dim)).evolve(u0, t / steps, steps)
    return run


def matrix_diffusion(cls, dim, n):
    bounds = (0.0, 1.0, n) * dim

    def run(u0, t, steps):
        pair = np.repeat(u0, 2)  # both components carry the data
        m = cls(*bounds, pair)
        m.evolve(t, steps)
        return m.values()
    return run


def non_separable(aniso):
    n = N2

    def run(u0, t, steps):
        if aniso:
            X, Y = np.meshgrid(axis(n), axis(n), indexing="ij")
            beta = (0.5 + 0.3 * np.sin(2 * np.pi * X) * np.cos(np.pi * Y)).ravel(order="F")
            return q.NonSeparable2DAniso(0.0, 1.0, n, 0.0, 1.0, n, beta, u0).evolve(t, steps)
        return q.NonSeparable2D(0.0, 1.0, n, 0.0, 1.0, n, u0, c=0.5).evolve(t, steps)
    return run


def anisotropic_shift(dim, n):
    tensor = np.array([[1.0, 0.3], [0.3, 0.5]]) if dim == 2 else np.array(
        [[1.0, 0.3, 0.0], [0.3, 0.5, 0.1], [0.0, 0.1, 0.8]])
    a = np.tile(tensor.ravel(), n**dim)
    cls = q.AnisotropicShiftND2 if dim == 2 else q.AnisotropicShiftND3

    def run(u0, t, steps):
        s = cls(*((n,) * dim), *((0.0, 1.0) * dim), a)
        s.set_state(u0)
        s.evolve(t, n_steps=steps)
        return s.values()
    return run


def killed_dirichlet(u0, t, steps):
    # its end nodes keep their values; the interior is the Dirichlet problem
    return q.KilledDirichlet1D(0.0, 1.0, len(u0), u0, steps).apply(t)


def wentzell(u0, t, steps):
    return q.WentzellV8(0.0, 1.0, len(u0), u0, steps, 0.0, np.full(steps, 1e3)).evolve(t)


def manifold_torus(u0, t, steps):
    m = q.Manifold2D(0.0, 1.0, N2, 0.0, 1.0, N2, u0, manifold="torus")
    m.evolve(t, n_steps=steps)
    return m.values()


# (family, label, run(u0, t, n) -> values, dimension and nodes per axis, t[, largest count])
T_HEAT = 0.01
FAMILIES = [
    ("1-D heat", "Heat1D", heat_1d(q.Heat1D), (1, N1), T_HEAT),
    ("1-D heat", "Heat1D4th", heat_1d(q.Heat1D4th), (1, N1), T_HEAT),
    ("1-D heat", "Heat1D6th", heat_1d(q.Heat1D6th), (1, N1), T_HEAT),
    ("1-D heat", "Heat1DZeta4", heat_1d(q.Heat1DZeta4), (1, N1), 1.78 * DX2),
    ("1-D heat", "Heat1DZeta6", heat_1d(q.Heat1DZeta6), (1, N1), 3.5 * DX2),
    ("1-D heat", "Heat1DZeta8", heat_1d(q.Heat1DZeta8), (1, N1), 6.4 * DX2),
    ("1-D heat", "TruncatedExp1D", heat_1d(q.TruncatedExp1D), (1, N1), 0.49 * DX2),
    ("1-D heat", "TruncatedExp4th1D", heat_1d(q.TruncatedExp4th1D), (1, N1), 0.37 * DX2),
    ("1-D heat", "DiffusionExpmv1D", heat_1d(q.DiffusionExpmv1D), (1, N1), T_HEAT),
    ("transport", "Shift1D", heat_1d(q.Shift1D), (1, N1), 0.1),
    ("transport", "Shift1D b = 0.5", heat_1d(q.Shift1D, b=0.5), (1, N1), 0.1),
    ("transport", "DriftReaction1D", heat_1d(q.DriftReaction1D), (1, N1), 0.1),
    ("transport", "Strang1D", heat_1d(q.Strang1D), (1, N1), T_HEAT),
    ("transport", "DriftReaction4th1D", heat_1d(q.DriftReaction4th1D), (1, N1), 3.5 * DX2),
    ("walls", "Reflected1D", heat_1d(q.Reflected1D), (1, N1), T_HEAT),
    ("walls", "DirichletHeat2nd1D", heat_1d(q.DirichletHeat2nd1D), (1, N1), T_HEAT),
    ("walls", "Robin1D", heat_1d(q.Robin1D), (1, N1), T_HEAT),
    ("walls", "Killing1D", heat_1d(q.Killing1D), (1, N1), T_HEAT),
    ("walls", "Killing2nd1D kappa = 1", heat_1d(q.Killing2nd1D, kappa=1.0), (1, N1), T_HEAT),
    ("walls", "KilledDirichlet1D", killed_dirichlet, (1, N1), T_HEAT),
    ("walls", "WentzellV8 gamma = 1e3", wentzell, (1, N1), T_HEAT),
    ("walls", "Subordinated1D stable 1/2", heat_1d(q.Subordinated1D), (1, N1), T_HEAT, 1000),
    ("coupled", "MatrixDiffusion1D", matrix_diffusion(q.MatrixDiffusion1D, 1, N1), (1, N1), T_HEAT),
    ("coupled", "MatrixDiffusion2D", matrix_diffusion(q.MatrixDiffusion2D, 2, N2), (2, N2), T_HEAT),
    ("coupled", "MatrixDiffusion3D", matrix_diffusion(q.MatrixDiffusion3D, 3, N3), (3, N3), T_HEAT),
    ("2-D/3-D", "Heat2D", box(q.Heat2D, 2, N2), (2, N2), T_HEAT),
    ("2-D/3-D", "Heat3D", box(q.Heat3D, 3, N3), (3, N3), T_HEAT),
    ("2-D/3-D", "Heat2DVarA", box_var(q.Heat2DVarA, 2, N2), (2, N2), T_HEAT),
    ("2-D/3-D", "Heat3DVarA", box_var(q.Heat3DVarA, 3, N3), (3, N3), T_HEAT),
    ("2-D/3-D", "NonSeparable2D c = 0.5", non_separable(False), (2, N2), T_HEAT),
    ("2-D/3-D", "NonSeparable2DAniso", non_separable(True), (2, N2), T_HEAT),
    ("2-D/3-D", "AnisotropicShiftND2", anisotropic_shift(2, N2), (2, N2), T_HEAT),
    ("2-D/3-D", "AnisotropicShiftND2 9^2", anisotropic_shift(2, 9), (2, 9), T_HEAT),
    ("2-D/3-D", "AnisotropicShiftND3", anisotropic_shift(3, N3), (3, N3), T_HEAT, 1000),
    ("2-D/3-D", "Manifold2D torus", manifold_torus, (2, N2), T_HEAT),
    ("graph", "GraphHeat", graph_run(lambda: q.GraphHeat(graph=graph_path(), rho_bar=4.0)), (1, NG), 0.45),
    ("graph", "GraphHeat4th", graph_run(lambda: q.GraphHeat4th(graph=graph_path(), rho_bar=4.0)), (1, NG), 0.45),
    ("graph", "GraphHeat6", graph_run(lambda: q.GraphHeat6(graph=graph_path(), rho_bar=4.0)), (1, NG), 0.45),
    ("graph", "VarCoefGraphHeat", graph_run(lambda: q.VarCoefGraphHeat(
        graph_path(), 1.0 + 0.5 * np.sin(2 * np.pi * axis(NG)), rho_bar=6.0)), (1, NG), 0.3),
    ("graph", "StrangGraph", graph_run(lambda: q.StrangGraph.from_path(graph_path())), (1, NG), 0.45),
    ("graph", "MagnusGraphHeat", magnus(q.MagnusGraphHeat), (1, NG), 0.39),
    ("graph", "MagnusGraphHeat6", magnus(q.MagnusGraphHeat6), (1, NG), 0.39),
]


def ratio(run, u0, t, steps):
    try:
        return float(np.max(np.abs(run(u0, t, steps))) / np.max(np.abs(u0)))
    except q.QuorvaneError:
        return "refused"


def cells(values):
    return "".join(f"{v:>10.4f}" if isinstance(v, float) else f"{v:>10}" for v in values)


def ladder(run, u0, t, counts, top=None):
    """The ratio at every count up to `top`; a count past 1000 only when the one before took
    less than SLOW_SECONDS."""
    out, took = [], 0.0
    for steps in counts:
        if (top is not None and steps > top) or (steps > 1000 and took > SLOW_SECONDS):
            out.append("-")
            continue
        start = time.perf_counter()
        out.append(ratio(run, u0, t, steps))
        took = time.perf_counter() - start
    return out


def summary(values):
    figures = [v for v in values if isinstance(v, float)]
    if not figures:
        return ""
    top = max(figures)
    return f"{top:>10.4f}{figures[-1] / top:>10.3f}"


def families(counts):
    print("max|u| / max|u0| after n steps of a fixed t")
    print(f"  {'family':<11}{'class':<27}{'data':<7}{'t':>10}" + "".join(f"{c:>10}" for c in counts)
          + f"{'largest':>10}{'last/lg':>10}")
    for family, label, run, (dim, n), t, *top in FAMILIES:
        progress(label)
        for kind in ("jump", "noise"):
            u0 = data_1d(kind, n) if dim == 1 else data_nd(kind, n, dim)
            values = ladder(run, u0, t, counts, *top)
            print(f"  {family:<11}{label:<27}{kind:<7}{t:>10.3g}{cells(values)}{summary(values)}")


def one_step(multiples):
    """One step of tau = k dx^2 (the row's own dx; 1 on a graph), k over `multiples`."""
    print("\nmax|u| / max|u0| after one step of tau = k dx^2")
    print(f"  {'class':<27}{'data':<7}" + "".join(f"{k:>10g}" for k in multiples) + f"{'largest':>10}")
    for _, label, run, (dim, n), *_ in FAMILIES:
        dx2 = 1.0 if label.startswith(("Graph", "VarCoefGraph", "Strang", "Magnus")) else (1.0 / (n - 1)) ** 2
        for kind in ("jump", "noise"):
            u0 = data_1d(kind, n) if dim == 1 else data_nd(kind, n, dim)
            values = [ratio(run, u0, k * dx2, 1) for k in multiples]
            figures = [v for v in values if isinstance(v, float)]
            top = f"{max(figures):>10.4f}" if figures else ""
            print(f"  {label:<27}{kind:<7}{cells(values)}{top}")


def zeta8_fixed_tau(counts):
    """Heat1DZeta8 admits tau in [0.08, 6.5] dx^2 only, so the fixed-t ladder shows few
    counts: here n steps of one tau instead."""
    print("\nHeat1DZeta8, n steps of a fixed tau")
    print(f"  {'tau':<14}{'data':<7}" + "".join(f"{c:>10}" for c in counts))
    run = heat_1d(q.Heat1DZeta8)
    for k in (0.1, 6.4):
        for kind in ("jump", "noise"):
            u0 = data_1d(kind)
            values = [ratio(run, u0, k * DX2 * steps, steps) for steps in counts]
            print(f"  {f'{k} dx^2':<14}{kind:<7}{cells(values)}")


def drift_cases(counts):
    print("\nDriftReaction1D (b = 0.5): max and min of u after n steps, against the data's range")
    x = axis(N1)
    plateau = np.zeros(N1)
    plateau[50:52] = 1.0  # a two-node plateau between two jumps
    pairs = np.repeat(np.random.default_rng(10).uniform(-1.0, 1.0, N1 // 2 + 1), 2)[:N1]  # two-node plateaus
    cases = [("one plateau, periodic", plateau, "periodic", 0.1),
             ("plateaus, periodic", pairs, "periodic", 1.0),
             ("jump, \"zero\" ends", jump(x), "zero", 0.1),
             ("ones, \"zero\" ends", np.ones(N1), "zero", 0.1)]
    print(f"  {'case':<23}{'t':>5}{'data':>18}" + "".join(f"{c:>18}" for c in counts))
    for label, u0, boundary, t in cases:
        row = []
        for steps in counts:
            d = q.DriftReaction1D(0.0, 1.0, N1, u0, boundary=boundary)
            d.evolve(t, steps)
            v = d.values()
            row.append(f"{v.min():.4f} {v.max():.4f}")
        data = f"{u0.min():.4f} {u0.max():.4f}"
        print(f"  {label:<23}{t:>5g}{data:>18}" + "".join(f"{c:>18}" for c in row))


def long_step():
    print("\nHeat1D, one step of t = 1e6 on the jump (exact: the trapezoidal mean)")
    x = axis(N1)
    h = q.Heat1D(0.0, 1.0, N1, jump(x))
    h.evolve(1e6, 1)
    mean = np.trapezoid(jump(x), x)
    print(f"  max|u| {np.max(np.abs(h.values())):.4f}, mean {mean:.4f}")


def linear_alternation(counts):
    print("\n\"linear\" ends on (-1)^j: max|u| after n steps (\"reflect\" for comparison)")
    print(f"  {'class':<28}{'t':>10}" + "".join(f"{c:>10}" for c in counts))
    alt1 = (-1.0) ** np.arange(N1)
    alt2 = (-1.0) ** np.add.outer(np.arange(N2), np.arange(N2)).ravel(order="F")
    for boundary in ("linear", "reflect"):
        for t in (DX2, T_HEAT):
            run = heat_1d(q.Heat1D, boundary=boundary)
            print(f"  {'Heat1D ' + boundary:<28}{t:>10.3g}{cells(ladder(run, alt1, t, counts))}")
            run = box(q.Heat2D, 2, N2, boundary=boundary)
            print(f"  {'Heat2D ' + boundary + ' 41^2':<28}{t:>10.3g}{cells(ladder(run, alt2, t, counts))}")


def main():
    args = options(__doc__, "about 15 min", "about 1 min")
    counts = [1, 10, 100] if args.quick else [1, 10, 100, 1000, 10000, 100000]
    families(counts)
    one_step([0.01, 0.1, 0.3, 1.0, 3.0, 10.0, 100.0, 1000.0])
    zeta8_fixed_tau([1, 10, 100] if args.quick else [1, 10, 100, 1000])
    drift_cases([1, 100, 1000, 10000, 30000] if not args.quick else [1, 100, 1000])
    long_step()
    linear_alternation(counts)


if __name__ == "__main__":
    main()
