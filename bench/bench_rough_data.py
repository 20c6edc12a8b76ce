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

Rows marked "periodic" (and TtEvolver, whose axes are periodic) run on the open grid of
[0, 1): n nodes, period 1, t = 1 with b = 0.3 (30 cells of travel on 101 nodes).

Then one step of tau = k dx^2 for a range of k (where most classes overshoot most),
Heat1DZeta8 at a fixed tau, and the cases the README quotes: DriftReaction1D on
two-node plateaus between jumps and at "zero" ends, and carrying a jump round a
periodic grid up to t = 100; the constant-coefficient Shift1D step with a = 0 on rough
data: (-1)^j, noise, a jump and the worst data of its plain reads (the signs of a row of
their limit e^{t b D}, whose 1-norm is what those reads would reach), on 51 to 401
periodic nodes, beside the range of each data's read, which every transport step is
clipped to; with c = -1, with a little diffusion, under "reflect" and "zero" ends, and
DriftReaction1D on the same data; AnisotropicShiftND2/ND3 with a constant drift
likewise; TtEvolver (a = 0, constant b) on the jump in chained calls; one
MatrixDiffusion step on smooth data that are not flat at the
walls; one Heat1D step of t = 1e6, and the "linear" option on (-1)^j, whose ghost nodes
continue the alternation. Last, the graph classes on a path with rough weights, where a
rho_bar between the largest eigenvalue and the spectral (row-sum) bound admits steps whose
polynomial leaves [-1, 1] at single nodes, and VarCoefGraphHeat against its exact flow
e^{-t L_a}, L_a = A^1/2 L A^1/2, which keeps no maximum principle.

Run: PYTHONPATH=<build dir> python bench/bench_rough_data.py [--quick]
(--quick: counts up to 100 only, 1000 for DriftReaction1D and the constant drift.)
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


def periodic_1d(cls, **kw):
    """On the open periodic grid of [0, 1): n nodes, period 1."""
    def run(u0, t, n):
        h = cls(0.0, 1.0 - 1.0 / len(u0), len(u0), u0, boundary="periodic", **kw)
        h.evolve(t, n)
        return h.values()
    return run


def tensor_train(a, b):
    """TtEvolver on two periodic axes of [0, 1): the data along x, constant along y (a
    train of rank 1, which the steps keep), read back along x."""
    def run(u0, t, steps):
        n = len(u0)
        state = q.TtState([u0, np.ones(n)])
        q.TtEvolver([a, a], [b, 0.0], 0.0, [0.0, 0.0], [1.0 - 1.0 / n] * 2, 1e-12).evolve(state, t, steps)
        return profile(state, n)
    return run


def profile(state, n):
    unit = np.eye(n)
    return np.array([state.inner_separable([unit[i], unit[0]]) for i in range(n)])


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
    ("transport", "DriftReaction1D b = 0.3 periodic", periodic_1d(q.DriftReaction1D, b=0.3), (1, N1), 1.0),
    ("transport", "Shift1D a = 0, b = 0.3 periodic", periodic_1d(q.Shift1D, a=0.0, b=0.3), (1, N1), 1.0),
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
    ("tensor train", "TtEvolver a = 0, b = 0.3, 16^2", tensor_train(0.0, 0.3), (1, 16), 1.0),
    ("tensor train", "TtEvolver a = 0, b = 0.3, 64^2", tensor_train(0.0, 0.3), (1, 64), 1.0),
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
    print(f"  {'family':<14}{'class':<34}{'data':<7}{'t':>10}" + "".join(f"{c:>10}" for c in counts)
          + f"{'largest':>10}{'last/lg':>10}")
    for family, label, run, (dim, n), t, *top in FAMILIES:
        progress(label)
        for kind in ("jump", "noise"):
            u0 = data_1d(kind, n) if dim == 1 else data_nd(kind, n, dim)
            values = ladder(run, u0, t, counts, *top)
            print(f"  {family:<14}{label:<34}{kind:<7}{t:>10.3g}{cells(values)}{summary(values)}")


def one_step(multiples):
    """One step of tau = k dx^2 (the row's own dx; 1 on a graph), k over `multiples`."""
    print("\nmax|u| / max|u0| after one step of tau = k dx^2")
    print(f"  {'class':<34}{'data':<7}" + "".join(f"{k:>10g}" for k in multiples) + f"{'largest':>10}")
    for _, label, run, (dim, n), *_ in FAMILIES:
        dx2 = 1.0 if label.startswith(("Graph", "VarCoefGraph", "StrangGraph", "Magnus")) else (1.0 / (n - 1)) ** 2
        for kind in ("jump", "noise"):
            u0 = data_1d(kind, n) if dim == 1 else data_nd(kind, n, dim)
            values = [ratio(run, u0, k * dx2, 1) for k in multiples]
            figures = [v for v in values if isinstance(v, float)]
            top = f"{max(figures):>10.4f}" if figures else ""
            print(f"  {label:<34}{kind:<7}{cells(values)}{top}")


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


def carried_jump_over_time(times, tau):
    """DriftReaction1D carries a jump round a periodic grid: chained calls of one step tau,
    max|u| at each time and the largest over every step up to it, with the time it was
    reached (b = 0.3: 30 cells of travel per unit time)."""
    print(f"\nDriftReaction1D, b = 0.3, jump on 101 periodic nodes of [0, 1), steps of {tau:g}: max|u| at t,")
    print(f"  and the largest over every step so far (reached at); the range of the jump's read: "
          f"{read_top(jump(np.arange(N1) / N1)):.6f}")
    print("  " + "".join(f"{t:>10g}" for t in times))
    x = np.arange(N1) / N1
    d = q.DriftReaction1D(0.0, 1.0 - 1.0 / N1, N1, jump(x), b=0.3, boundary="periodic")
    done, row, top, when, tops = 0, [], 0.0, 0.0, []
    for t in times:
        for _ in range(int(round(t / tau)) - done):
            d.evolve(tau, 1)
            done += 1
            m = float(np.max(np.abs(d.values())))
            if m > top:
                top, when = m, done * tau
        row.append(float(np.max(np.abs(d.values()))))
        tops.append(f"{top:.6f} ({when:.3g})")
    print("  " + "".join(f"{v:>10.6f}" for v in row))
    print("  " + "  ".join(tops))


def read_top(u0):
    """max|v| / max|u0| over the degree-7 read v of periodic data u0 on [0, 1), the bound the
    transport steps clip to: one step of a constant drift moves every node to a point of the
    read, 64 sub-cell shifts sample it."""
    n = len(u0)
    top = 0.0
    for k in range(64):
        d = q.DriftReaction1D(0.0, 1.0 - 1.0 / n, n, u0, b=k / (64 * n), c=0.0, boundary="periodic")
        d.evolve(1.0, 1)
        top = max(top, float(np.max(np.abs(d.values()))))
    return top / float(np.max(np.abs(u0)))


def drift_limit(n, bt):
    """e^{bt D} on n periodic nodes of [0, 1), D the eighth-order central first derivative
    (the node derivatives of the degree-7 reads): the plain reads' steps as they shrink."""
    from scipy.linalg import expm

    weights = (4 / 5, -1 / 5, 4 / 105, -1 / 280)
    d = np.zeros((n, n))
    for k, w in enumerate(weights, start=1):
        d += w * n * (np.roll(np.eye(n), k, axis=1) - np.roll(np.eye(n), -k, axis=1))
    return expm(bt * d)


def constant_drift(counts, big):
    """The constant-coefficient Shift1D step with a = 0 on rough data. Its plain reads tend to
    e^{t b D}, which keeps the grid 2-norm on a periodic grid but not max|u|: the worst data
    (the signs of a row) would reach the row's 1-norm. Clipped to the range of the data's
    read, the steps stay within it."""
    print("\nShift1D, a = 0, b = 0.3, t = 1, periodic [0, 1): max|u| / max|u0| after n steps; 'read': the range of"
          " the data's read")
    print(f"  {'data':<36}{'read':>10}" + "".join(f"{c:>10}" for c in counts))
    x = np.arange(N1) / N1
    plain = periodic_1d(q.Shift1D, a=0.0, b=0.3)
    for label, u0 in (("(-1)^j, 101 nodes", (-1.0) ** np.arange(N1)), ("noise, 101 nodes", noise(N1)),
                      ("jump, 101 nodes", jump(x))):
        print(f"  {label:<36}{read_top(u0):>10.4f}{cells([ratio(plain, u0, 1.0, c) for c in counts])}")
    worst = None
    for n in big:
        progress(f"worst data, {n} nodes")
        row = drift_limit(n, 0.3)[0]
        u0 = np.sign(row)
        if n == N1:
            worst = u0
        label = f"worst data, {n} nodes (plain {np.abs(row).sum():.2f})"
        print(f"  {label:<36}{read_top(u0):>10.4f}{cells([ratio(plain, u0, 1.0, c) for c in counts])}")
    if worst is None:
        worst = np.sign(drift_limit(N1, 0.3)[0])
    decay = periodic_1d(q.Shift1D, a=0.0, b=0.3, c=-1.0)
    scaled = [r / math.exp(-1.0) if isinstance(r, float) else r for r in (ratio(decay, worst, 1.0, c) for c in counts)]
    print(f"  {'worst, 101 nodes, c = -1 (/e^-t)':<36}{'':>10}{cells(scaled)}")
    for a in (1e-5, 1e-4, 1e-3):
        print(f"  {f'worst, 101 nodes, a = {a:g}':<36}{'':>10}"
              f"{cells([ratio(periodic_1d(q.Shift1D, a=a, b=0.3), worst, 1.0, c) for c in counts])}")
    progress("reflect and zero ends")
    for boundary in ("reflect", "zero"):
        run_end = heat_1d(q.Shift1D, a=0.0, b=0.3, boundary=boundary)
        print(f"  {f'noise, 101 nodes, {boundary}':<36}{'':>10}"
              f"{cells([ratio(run_end, noise(N1), 1.0, c) for c in counts])}")
    progress("DriftReaction1D on the same data")
    drift = periodic_1d(q.DriftReaction1D, b=0.3)
    print("  DriftReaction1D, b = 0.3, the same grid")
    for label, u0 in (("(-1)^j", (-1.0) ** np.arange(N1)), ("noise", noise(N1)), ("jump", jump(x)),
                      ("Shift1D's worst data", worst)):
        print(f"  {label:<36}{read_top(u0):>10.4f}{cells([ratio(drift, u0, 1.0, c) for c in counts])}")


def anisotropic_constant_drift(counts2, counts3):
    """AnisotropicShiftND2/ND3 with a constant drift, A = 1e-6 I: the plain cubic reads,
    clipped to the range of the data's read."""
    print("\nAnisotropicShiftND2/ND3, b = (1, 0.5[, 0.25]), A = 1e-6 I, t = 1, periodic: max|u| / max|u0|")

    def nd(n, dim, u0, steps):
        hi = 1.0 - 1.0 / n
        eye = 1e-6 * np.eye(dim).ravel()
        b = [1.0, 0.5, 0.25][:dim]
        cls = q.AnisotropicShiftND2 if dim == 2 else q.AnisotropicShiftND3
        s = cls(*((n,) * dim), *((0.0, hi) * dim), np.tile(eye, n**dim), b_values=np.tile(b, n**dim),
                boundary="periodic")
        s.set_state(u0)
        s.evolve(1.0, n_steps=steps)
        return s.values()

    print(f"  {'ND2':<32}" + "".join(f"{c:>10}" for c in counts2))
    for n in (11, 21):
        g = np.arange(n) / n
        progress(f"ND2 {n}^2")
        print(f"  {f'jump, {n}^2':<32}{cells([float(np.abs(nd(n, 2, np.tile(jump(g), n), c)).max()) for c in counts2])}")
        print(f"  {f'noise, {n}^2':<32}{cells([float(np.abs(nd(n, 2, noise(n * n), c)).max()) for c in counts2])}")
    print(f"  {'ND3':<32}" + "".join(f"{c:>10}" for c in counts3))
    progress("ND3 9^3")
    g = np.arange(9) / 9
    print(f"  {'jump, 9^3':<32}{cells([float(np.abs(nd(9, 3, np.tile(jump(g), 81), c)).max()) for c in counts3])}")
    print(f"  {'noise, 9^3':<32}{cells([float(np.abs(nd(9, 3, noise(729), c)).max()) for c in counts3])}")


def tt_chained(calls, steps):
    """TtEvolver (a = 0, b = 0.3) on the jump, in chained calls of t = 0.01: the largest
    max|u| the calls return and when, against the end of the run (t = calls / 100)."""
    print(f"\nTtEvolver, a = 0, b = 0.3, jump: {calls} chained calls of t = 0.01, {steps} steps each")
    for n in (16, 64):
        x = np.arange(n) / n
        state = q.TtState([jump(x), np.ones(n)])
        ev = q.TtEvolver([0.0, 0.0], [0.3, 0.0], 0.0, [0.0, 0.0], [1.0 - 1.0 / n] * 2, 1e-12)
        peaks = []
        for _ in range(calls):
            ev.evolve(state, 0.01, steps)
            peaks.append(float(np.max(np.abs(profile(state, n)))))
        top = int(np.argmax(peaks))
        print(f"  {n}^2: largest {peaks[top]:.4f} at t = {0.01 * (top + 1):.2f}; at t = {0.01 * calls:g}: {peaks[-1]:.4f}")


def smooth_long_step():
    """Crank-Nicolson's factor tends to -1 for the fast modes: one long step on smooth data
    that are not flat at the walls (the mirror-ghost walls want a zero slope there)."""
    print("\nMatrixDiffusion1D/2D/3D, u0 = sin pi x (sin pi y, sin pi z) on both components: max|u| after one step")
    print(f"  {'a_diag * tau':<24}" + "".join(f"{v:>10g}" for v in (0.01, 0.1, 1.0, 10.0, 100.0)))
    for dim, n in ((1, N1), (2, N2), (3, N3)):
        s = np.sin(np.pi * axis(n))
        u0 = s
        for _ in range(dim - 1):
            u0 = np.multiply.outer(u0, s)
        run = matrix_diffusion((q.MatrixDiffusion1D, q.MatrixDiffusion2D, q.MatrixDiffusion3D)[dim - 1], dim, n)
        flat = u0.ravel(order="F")
        print(f"  {f'{dim}-D, {n} nodes an axis':<24}{cells([ratio(run, flat, t, 1) for t in (0.01, 0.1, 1.0, 10.0, 100.0)])}")


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


def rough_weight_graphs():
    print("\nGraph heat on a path of 101 nodes with rough weights (uniform in [lo, hi], default_rng(0)):"
          " max|u|/max|u0| after one step at a fraction of the step limit tau * rho <= limit,"
          " rho = min(rho_bar, spectral_bound)")
    fractions = (0.5, 0.9, 0.99)
    print(f"  {'weights':<12}{'class':<14}{'rho_bar':<16}{'data':<7}" + "".join(f"{f:>10g}" for f in fractions))
    limits = ((q.GraphHeat, 2.0), (q.GraphHeat4th, 2.7852), (q.GraphHeat6, 3.5534))
    alt = (-1.0) ** np.arange(NG)
    for lo, hi in ((0.5, 1.5), (0.1, 1.0)):
        w = np.random.default_rng(0).uniform(lo, hi, NG - 1)
        lap = q.Laplacian.combinatorial(q.Graph.from_edges(NG, np.column_stack([np.arange(NG - 1),
                                                                                np.arange(1, NG), w])))
        lam = float(np.linalg.eigvalsh(lap.to_dense()).max())
        for cls, limit in limits:
            for name, rho_bar in ((f"lam {lam:.3f}", lam), (f"bound {lap.spectral_bound:.3f}", lap.spectral_bound)):
                heat = cls(laplacian=lap, rho_bar=rho_bar)
                tau_max = limit / min(rho_bar, lap.spectral_bound)
                for kind, u0 in (("(-1)^j", alt), ("noise", noise(NG))):
                    values = [ratio(lambda f0, t, n: heat.evolve(t, n, f0), u0, f * tau_max, 1) for f in fractions]
                    print(f"  {f'[{lo}, {hi}]':<12}{cls.__name__:<14}{name:<16}{kind:<7}{cells(values)}")


def varcoef_graph_exact(counts):
    from scipy.linalg import expm

    print("\nVarCoefGraphHeat (path of 101, a = 1 + 0.5 sin 2 pi x, t = 0.3): max|u|/max|u0| of the steps"
          " and of the exact e^{-t L_a} u0")
    print(f"  {'data':<8}{'exact':>10}" + "".join(f"{c:>10}" for c in counts))
    a = 1.0 + 0.5 * np.sin(2 * np.pi * axis(NG))
    lap = q.Laplacian.combinatorial(graph_path()).to_dense()
    l_a = np.sqrt(a)[:, None] * lap * np.sqrt(a)[None, :]
    heat = q.VarCoefGraphHeat(graph_path(), a, rho_bar=6.0)
    for kind in ("jump", "noise"):
        u0 = data_1d(kind, NG)
        exact = float(np.max(np.abs(expm(-0.3 * l_a) @ u0)) / np.max(np.abs(u0)))
        values = [ratio(lambda f0, t, n: heat.evolve(t, n, f0), u0, 0.3, c) for c in counts]
        print(f"  {kind:<8}{exact:>10.4f}{cells(values)}")


def main():
    args = options(__doc__, "about 30 min", "about 2 min")
    counts = [1, 10, 100] if args.quick else [1, 10, 100, 1000, 10000, 100000]
    families(counts)
    one_step([0.01, 0.1, 0.3, 1.0, 3.0, 10.0, 100.0, 1000.0])
    zeta8_fixed_tau([1, 10, 100] if args.quick else [1, 10, 100, 1000])
    drift_cases([1, 100, 1000, 10000, 30000] if not args.quick else [1, 100, 1000])
    carried_jump_over_time([0.5, 1, 3, 10] if args.quick else [0.5, 1, 3, 10, 30, 100], 1e-2 if args.quick else 1e-3)
    constant_drift([10, 100, 1000] if args.quick else [10, 100, 1000, 10000, 100000],
                   [51, 101] if args.quick else [51, 101, 201, 401])
    anisotropic_constant_drift([10, 100] if args.quick else [10, 100, 1000, 3000, 10000],
                               [10, 100] if args.quick else [10, 100, 1000])
    tt_chained(100, 10 if args.quick else 100)
    smooth_long_step()
    long_step()
    linear_alternation(counts)
    rough_weight_graphs()
    varcoef_graph_exact([10, 100] if args.quick else [10, 100, 1000, 10000])


if __name__ == "__main__":
    main()
