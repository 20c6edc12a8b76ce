"""Error against step count for every family, on problems with a known solution.

A Chernoff step reads the grid function between nodes through an interpolant, and
that read errs by a small amount on every step. The time error falls as the step
shrinks, but the reading error adds up over the steps, so past some step count
more steps make the result worse. This prints, for each family, the largest
nodal error against the exact solution at a ladder of step counts ("refused" where
the class refuses the step); the README's "Accuracy against step count" quotes it.

Problems (all exact solutions, so every figure is the method's own error):
- 1-D heat: exp(-x^2) on [-8, 8], n = 161, t = 0.5 (the convergence example's);
  Heat1DZeta8 across its admitted steps (0.08 dx^2 <= tau <= 6.5 dx^2) on 161 and 321 nodes.
- Heat2D: cos(pi x) cos(pi y) on [0, 1]^2 with reflecting ends, t = 0.05.
- Manifold2D, sphere: cos(theta) on the unit sphere, chart [0, pi] x [0, 2 pi],
  t = 0.5 (decays like exp(-2 t)); two grids.
- Manifold2D, torus: cos(2 pi x) on the flat torus of period 1, chart [0, 1]^2
  (the seam twice), t = 0.02 (decays like exp(-4 pi^2 t), to 0.454); no curvature, so only
  the reading error is left; up to 1400 steps.
- HypoellipticChernoffEngel: exp(-(x0^2 + x1^2)) on [-3, 3]^4, t = 0.5. On data of x0, x1
  alone the fields act as d/dx0 and d/dx1, so the flow is 2-D heat with a = 1/4:
  exp(-(x0^2 + x1^2)/1.5)/1.5 (maximum 0.667); its 4-linear reads err on every step.
- QuantumGraphHeat: du/dt = u''/2 on a star of 3 unit arms, the Kirchhoff mode
  c_e sin(pi x / 2) (c = 1, -1, 0), t = 0.5; steps are given as tau / h^2.
- Schrodinger1D / SchrodingerComplex1D: the free wave packet of
  bench_schrodinger.py (c t = 1) on [-20, 20], n = 2001.
- Graph heat: GraphHeat4th and MagnusGraphHeat on a path of 64 nodes from a
  point mass, t = 5, against the eigen-decomposition (no grid, no interpolation).
- AnisotropicShiftND2: cos(2 pi x) on the periodic square [0, 1)^2, 41^2 nodes, A = 0.002 I,
  drift b = 0 and b = (0.3, 0), t = 1: exp(-0.002 (2 pi)^2 t) cos(2 pi (x + b_x t)). Its
  cubic reads err on every step, so past a few steps the error grows with the count.
- TtEvolver: cos(x) cos(y) on the periodic square of period 2 pi, 64 nodes per axis,
  t = 0.5 (its step reads the cores by cubic interpolation).
- Etdrk4 (no grid read, but an order that drops on stiff operators): Allen-Cahn
  du/dt = -L u + u - u^3 of bench_etdrk4_stiffness.py (eps = 0.05, t = 10) on n = 50 and
  200 cells (t lambda_max = 250 and 4e3), and the mild case of the tests (n = 64 nodes,
  t = 1, t lambda_max = 40), against Radau at rtol = atol = 1e-13: relative max-norm error
  and the order log2(e(n) / e(2n)) between successive counts.
- Subordinated1D, stable law alpha = 1/2: cos(pi x) on [0, 1], n = 101, decays like
  exp(-t phi(pi^2)) with phi(mu) = mu^(1/2), so like exp(-pi t); t = 0.1 and 0.5. Its
  32-node rule of the Levy measure gives the mode a slightly different rate, to which
  the steps converge: the row "rate" is -log(u(0)) / t at the largest count.

Run: PYTHONPATH=<build dir> python bench/bench_accuracy_steps.py [--quick]
(--quick: 1-D heat, Heat2D, the metric graph and graph heat only.)
"""

from __future__ import annotations

import math

import numpy as np

import quorvane as q
from harness import options, progress


def row(label, counts, errors):
    cells = "".join(f"{e:>10.1e}" if isinstance(e, float) else f"{e:>10}" for e in errors)
    print(f"  {label:<28}{cells}")


def header(title, counts, unit="n_steps"):
    print(f"\n{title}")
    print(f"  {unit:<28}" + "".join(f"{c:>10}" for c in counts))


def attempt(fn):
    try:
        return float(fn())
    except q.QuorvaneError:
        return "refused"  # the step limit (kind CflViolated; the Magnus radius: OutOfDomain)


def heat_1d():
    x = np.linspace(-8.0, 8.0, 161)
    exact = np.exp(-x * x / 3.0) / math.sqrt(3.0)
    counts = [8, 16, 32, 64, 128, 256, 512, 1024]
    header("1-D heat, Gaussian, n = 161 (dx = 0.1), t = 0.5", counts)
    for cls in (q.Heat1D, q.Heat1D6th, q.Heat1DZeta4):
        def err(steps, cls=cls):
            h = cls(-8.0, 8.0, 161, np.exp(-x * x))
            h.evolve(0.5, n_steps=steps)
            return np.max(np.abs(h.values() - exact))
        row(cls.__name__, counts, [attempt(lambda s=s: err(s)) for s in counts])


def heat_zeta8():
    # Its reads resample through 65 Chebyshev points at every inner step; the admitted
    # steps run from the fewest (tau = 6.5 dx^2 and below) to 0.08 dx^2.
    for n in (161, 321):
        x = np.linspace(-8.0, 8.0, n)
        dx2 = (x[1] - x[0]) ** 2
        exact = np.exp(-x * x / 3.0) / math.sqrt(3.0)
        lo, hi = math.ceil(0.5 / (6.5 * dx2)), math.floor(0.5 / (0.08 * dx2))
        counts = [lo, round(1.5 * lo), 2 * lo, 3 * lo, 4 * lo, 8 * lo, 16 * lo, hi // 2, hi, hi + 1]
        header(f"Heat1DZeta8, Gaussian, n = {n} (dx = {16 / (n - 1):g}), t = 0.5, admitted {lo} to {hi} steps",
               counts)

        def err(steps):
            h = q.Heat1DZeta8(-8.0, 8.0, n, np.exp(-x * x))
            h.evolve(0.5, n_steps=steps)
            return np.max(np.abs(h.values() - exact))
        errors = [attempt(lambda s=s: err(s)) for s in counts]
        row("error", counts, errors)
        row("tau / dx^2", counts, [f"{0.5 / (s * dx2):.3f}" for s in counts])
        figures = [e for e in errors if isinstance(e, float)]
        print(f"  {'last / least':<28}{figures[-1] / min(figures):>10.1f}")


def heat_2d():
    counts = [2, 4, 8, 16, 32, 64, 128, 256, 512]
    header("Heat2D, cos(pi x) cos(pi y), reflecting ends, t = 0.05", counts)
    for n in (17, 65):
        g = np.linspace(0.0, 1.0, n)
        X, Y = np.meshgrid(g, g, indexing="ij")
        U = np.cos(np.pi * X) * np.cos(np.pi * Y)
        flat, exact = U.ravel(order="F"), math.exp(-2 * np.pi**2 * 0.05) * U.ravel(order="F")
        h = q.Heat2D(0.0, 1.0, n, 0.0, 1.0, n)
        row(f"{n} x {n}", counts, [attempt(lambda s=s: np.max(np.abs(h.evolve(flat, 0.05 / s, s) - exact)))
                                   for s in counts])


def sphere():
    counts = [5, 10, 20, 40, 80, 160, 320]
    header("Manifold2D sphere2, cos(theta), t = 0.5", counts)
    for nx, ny in ((17, 33), (33, 65), (65, 129)):
        th, ph = np.linspace(0.0, np.pi, nx), np.linspace(0.0, 2 * np.pi, ny)
        T, _ = np.meshgrid(th, ph, indexing="ij")
        U = np.cos(T).ravel(order="F")

        def err(steps):
            m = q.Manifold2D(0.0, np.pi, nx, 0.0, 2 * np.pi, ny, U, manifold="sphere2")
            m.evolve(0.5, n_steps=steps)
            return np.max(np.abs(m.values() - math.exp(-1.0) * U))
        row(f"{nx} x {ny}", counts, [attempt(lambda s=s: err(s)) for s in counts])


def torus():
    counts = [1, 2, 4, 8, 16, 32, 64, 128, 256, 1000, 1400]
    header("Manifold2D torus, cos(2 pi x), t = 0.02", counts)
    for n in (33, 65, 129):
        g = np.linspace(0.0, 1.0, n)
        X, _ = np.meshgrid(g, g, indexing="ij")
        U = np.cos(2 * np.pi * X).ravel(order="F")

        def err(steps):
            m = q.Manifold2D(0.0, 1.0, n, 0.0, 1.0, n, U, manifold="torus")
            m.evolve(0.02, n_steps=steps)
            return np.max(np.abs(m.values() - math.exp(-4 * np.pi**2 * 0.02) * U))
        row(f"{n} x {n}", counts, [attempt(lambda s=s: err(s)) for s in counts])


def engel():
    header("HypoellipticChernoffEngel, exp(-(x0^2 + x1^2)) on [-3, 3]^4, t = 0.5 (exact maximum 0.667)",
           [1, 2, 4, 8, 16, 32, 128])
    for n, counts in ((13, [1, 2, 4, 8, 16, 32, 128]), (25, [1, 2, 4, 16, "-", "-", "-"])):
        g = np.linspace(-3.0, 3.0, n)
        X0, X1, _, _ = np.meshgrid(g, g, g, g, indexing="ij")
        r2 = (X0 * X0 + X1 * X1).ravel(order="F")  # axis 0 fastest
        exact = np.exp(-r2 / 1.5) / 1.5

        def err(steps):
            e = q.HypoellipticChernoffEngel(-3.0, 3.0, n, np.exp(-r2))
            e.evolve(0.5, n_steps=steps)
            return np.max(np.abs(e.values() - exact))
        row(f"{n}^4", counts, [attempt(lambda s=s: err(s)) if s != "-" else "-" for s in counts])


def quantum_graph():
    ratios = [2.0, 1.0, 0.5, 0.25, 0.125, 0.0625]
    header("QuantumGraphHeat, star of 3 unit arms, Kirchhoff mode, t = 0.5", ratios, unit="tau / h^2")
    c = np.array([1.0, -1.0, 0.0])
    for n in (17, 33, 65):
        h = 1.0 / (n - 1)
        x = np.linspace(0.0, 1.0, n)
        mode = np.outer(c, np.sin(0.5 * np.pi * x)).ravel()
        exact = math.exp(-0.5 * (0.5 * np.pi) ** 2 * 0.5) * mode

        def err(r):
            heat = q.QuantumGraphHeat(q.QuantumGraph.star(3, n_grid=n))
            heat.set_state(mode)
            heat.evolve(0.5, n_steps=math.ceil(0.5 / (r * h * h)))
            return np.max(np.abs(heat.values() - exact))
        row(f"n_grid = {n}", ratios, [attempt(lambda r=r: err(r)) for r in ratios])


def packet(x, ct):
    a = 1.0 + 1j * ct
    return np.sqrt(1.0 / a) * np.exp(-((x - 2.0 * ct) ** 2) / (4.0 * a) + 1j * (x - ct))


def schrodinger():
    counts = [25, 50, 100, 200, 400, 800, 1600, 3200]
    header("Schrodinger, free wave packet (c t = 1), [-20, 20], n = 2001", counts)
    n = 2001
    x = np.linspace(-20.0, 20.0, n)
    psi0, exact = packet(x, 0.0), packet(x, 1.0)
    for cls, t in ((q.Schrodinger1D, 1.0), (q.SchrodingerComplex1D, 2.0)):
        def err(steps, cls=cls, t=t):
            s = cls(-20.0, 20.0, n, psi0)
            s.evolve(t, n_steps=steps)
            return np.max(np.abs(s.values() - exact))
        row(cls.__name__, counts, [attempt(lambda s=s: err(s)) for s in counts])


def graph_heat():
    counts = [4, 8, 16, 32, 64, 128, 256, 1024]
    header("graph heat, path of 64 nodes, point mass, t = 5", counts)
    g = q.Graph.path(64)
    lap = q.Laplacian.combinatorial(g)
    w, v = np.linalg.eigh(lap.to_dense())
    f0 = np.eye(64)[0]
    exact = v @ (np.exp(-5.0 * w) * v[0])
    heat4 = q.GraphHeat4th(graph=g, rho_bar=4.0)
    magnus = q.MagnusGraphHeat(graph=g, lap_at_t=lambda t: lap, rho_bar_max=4.0)
    row("GraphHeat4th", counts, [attempt(lambda s=s: np.max(np.abs(heat4.evolve(5.0, s, f0) - exact)))
                                 for s in counts])
    row("MagnusGraphHeat", counts, [attempt(lambda s=s: np.max(np.abs(magnus.evolve(5.0, s, f0) - exact)))
                                    for s in counts])


def anisotropic_shift():
    counts = [1, 3, 10, 30, 100, 1000, 10000]
    header("AnisotropicShiftND2, cos(2 pi x), periodic 41^2, A = 0.002 I, t = 1", counts)
    n = 41
    g = np.arange(n) / n
    X, _ = np.meshgrid(g, g, indexing="ij")
    u0 = np.cos(2 * np.pi * X).ravel(order="F")
    for b in ((0.0, 0.0), (0.3, 0.0)):
        exact = math.exp(-0.002 * (2 * np.pi) ** 2) * np.cos(2 * np.pi * (X + b[0])).ravel(order="F")

        def err(steps, b=b, exact=exact):
            s = q.AnisotropicShiftND2(n, n, 0.0, 1.0 - 1.0 / n, 0.0, 1.0 - 1.0 / n, np.tile([0.002, 0.0, 0.0, 0.002], n * n),
                                      b_values=np.tile(b, n * n), boundary="periodic")
            s.set_state(u0)
            s.evolve(1.0, n_steps=steps)
            return np.max(np.abs(s.values() - exact))
        row(f"b = {b}", counts, [attempt(lambda s=s: err(s)) for s in counts])


def tensor_train():
    counts = [8, 16, 32, 64, 128, 256, 512]
    header("TtEvolver, cos(x) cos(y), period 2 pi, 64 nodes per axis, t = 0.5", counts)
    n = 64
    x = np.arange(n) * (2 * np.pi / n)
    hi = x[-1]                       # the nodes are spaced (hi - lo)/(n - 1), the period is n h
    exact = math.exp(-1.0) * np.outer(np.cos(x), np.cos(x))

    def err(steps):
        state = q.TtState([np.cos(x), np.cos(x)])
        q.TtEvolver([1.0, 1.0], [0.0, 0.0], 0.0, [0.0, 0.0], [hi, hi], 1e-12).evolve(state, 0.5, steps)
        # A rank-1 state stays rank 1: its value is the product of the two axis profiles.
        probes = [np.eye(n)[i] for i in range(n)]
        values = np.array([[state.inner_separable([pi, pj]) for pj in probes] for pi in probes])
        return np.max(np.abs(values - exact))
    row("TtEvolver", counts, [attempt(lambda s=s: err(s)) for s in counts])


def etdrk4_order():
    import scipy.sparse as sp
    from scipy.integrate import solve_ivp
    from bench_etdrk4_stiffness import operator, problem

    counts = [10, 20, 40, 80, 160, 320]
    header("Etdrk4, Allen-Cahn, t = 10 (the tests' case: t = 1), relative error against Radau", counts)
    cases = [(f"n = {n}", *problem(n), 10.0) for n in (50, 200)]
    n = 64  # the tests' mild case: nodes at spacing 1/63, t = 1
    x = np.linspace(0.0, 1.0, n)
    main = 2.0 * np.ones(n)
    main[0] = main[-1] = 1.0
    lap = (sp.diags([-np.ones(n - 1), main, -np.ones(n - 1)], [-1, 0, 1]) * (0.05**2 * (n - 1) ** 2)).tocsr()
    lap.sort_indices()
    cases.append(("n = 64 (tests)", lap, 0.5 * np.cos(3 * np.pi * x) + 0.2 * np.sin(2 * np.pi * x), 1.0))
    for label, lap, u0, t in cases:
        ref = solve_ivp(lambda _, u: -lap @ u + u - u**3, (0, t), u0, method="Radau", rtol=1e-13, atol=1e-13,
                        jac=lambda _, u: (-lap + sp.diags(1 - 3 * u**2)).tocsc()).y[:, -1]
        op = operator(lap)
        lam = op.lambda_max_bound()
        errors = [np.max(np.abs(q.Etdrk4.from_symmetric_op(op, "allen_cahn", t / m).integrate(u0, m) - ref))
                  / np.max(np.abs(ref)) for m in counts]
        row(f"{label}, t*lam = {t * lam:.3g}", counts, errors)
        row("  h * lambda_max", counts, [f"{t * lam / m:.3g}" for m in counts])
        row("  order (log2 of ratios)", counts, ["-"] + [f"{math.log2(a / b):.2f}" for a, b in zip(errors, errors[1:])])


def subordinated():
    counts = [1, 3, 10, 20, 30, 50, 100, 300, 1000]
    header("Subordinated1D, stable alpha = 1/2, cos(pi x), n = 101", counts)
    x = np.linspace(0.0, 1.0, 101)
    u0 = np.cos(np.pi * x)
    for t in (0.1, 0.5):
        exact = math.exp(-np.pi * t) * u0
        rate = []

        def err(steps, t=t, exact=exact, rate=rate):
            s = q.Subordinated1D(0.0, 1.0, 101, u0, subordinator="stable", alpha=0.5)
            s.evolve(t, n_steps=steps)
            rate.append(-math.log(s.values()[0]) / t)
            return np.max(np.abs(s.values() - exact))
        row(f"t = {t}", counts, [attempt(lambda s=s: err(s)) for s in counts])
        print(f"  {'rate (pi = 3.1416)':<28}{rate[-1]:>10.4f}")


def main():
    quick = options(__doc__, full="about 8 min", quick="a few seconds").quick
    print(f"quorvane {q.version()}: largest nodal error against the exact solution")
    families = ([heat_1d, heat_2d, quantum_graph, graph_heat] if quick else
                [heat_1d, heat_zeta8, heat_2d, sphere, torus, engel, quantum_graph, schrodinger, graph_heat,
                 anisotropic_shift, tensor_train, etdrk4_order, subordinated])
    for family in families:
        progress(family.__name__.replace("_", " "))
        family()


if __name__ == "__main__":
    main()
