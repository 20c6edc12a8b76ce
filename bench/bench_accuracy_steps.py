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
  exp(-t phi(pi^2)) with phi(mu) = mu^(1/2), so like exp(-pi t); t = 0.1 and 0.5. The call
  applies the exact flow of the grid's operator, so the error is the grid's (its eigenvalue
  for the mode, 1e-12 off pi^2) at every count: the row "rate" is -log(u(0)) / t.

- The family entries (the sections "Entries"): for the classes whose README entry quotes
  its order or what it keeps, the errors against an exact solution (or against many
  steps of the same class, where marked) at doubling counts with their orders, and what
  the class keeps: a constant 0.7, the trapezoidal (or plain, or weighted) sum of noise
  U(-1, 1) as a share of sum|u0|, the mass and moments of a particle measure.

Run: PYTHONPATH=<build dir> python bench/bench_accuracy_steps.py [--quick] [--entries]
(--quick: 1-D heat, Heat2D, the metric graph and graph heat only; --entries: the family
entries only, about a minute.)
"""

from __future__ import annotations

import math

import numpy as np

import quorvane as q
from harness import options, progress

PI = np.pi


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


# --- the family entries: order and what each class keeps ----------------------------------

def trapezoid(u):
    return float(u[1:-1].sum() + 0.5 * (u[0] + u[-1]))


def orders(errors):
    return " ".join(f"{math.log2(a / b):.2f}" for a, b in zip(errors, errors[1:]))


def line(cls, what, errors=None, keeps=""):
    text = f"  {cls:<26} {what}"
    if errors:
        text += ": " + " ".join(f"{e:.1e}" for e in errors) + f" (orders {orders(errors)})"
    print(text + (f"; {keeps}" if keeps else ""))


def entries_line():
    """The 1-D steps on cos(pi x) (101 nodes of [0, 1], "reflect", t = 0.1, 5 to 40 steps unless
    shown); "keeps": a constant 0.7 after 300 steps of t = 0.01 (max|u - 0.7|), and the
    trapezoidal sum of noise U(-1, 1) over the same call, as a share of sum|u0|."""
    n, t = 101, 0.1
    x = np.linspace(0.0, 1.0, n)
    u0, noise = np.cos(PI * x), np.random.default_rng(0).uniform(-1.0, 1.0, n)
    exact = math.exp(-PI * PI * t) * u0
    counts = (5, 10, 20, 40)
    header("Entries, 1-D: errors against the exact solution, orders, and what is kept", counts)
    for name in ("Heat1D4th", "Heat1D6th", "Heat1DZeta4", "Heat1DZeta6", "TruncatedExp1D", "TruncatedExp4th1D",
                 "Reflected1D", "Killing2nd1D", "Strang1D"):
        cls = getattr(q, name)
        kw = {"Strang1D": {"b": 0.0}, "Killing2nd1D": {"kappa": 2.0}}.get(name, {})
        decay = math.exp(-2.0 * 0.01) if kw.get("kappa") else 1.0  # e^{-kappa t}

        def kept(u, cls=cls, kw=kw):
            o = cls(0.0, 1.0, n, u, **kw)
            o.evolve(0.01, 300)
            return o.values()
        line(name, "keeps" + (" (kappa = 2: e^{-kappa t} of them)" if kw.get("kappa") else ""),
             keeps=f"constant {np.abs(kept(np.full(n, 0.7)) - 0.7 * decay).max():.1e}, trapezoidal sum "
             f"{abs(trapezoid(kept(noise)) - decay * trapezoid(noise)) / np.abs(noise).sum():.1e}")
    for name, kw, rate in (("Reflected1D", {}, PI * PI), ("Killing2nd1D", {"kappa": 2.0}, PI * PI + 2.0)):
        errs = []
        for m in counts:
            o = getattr(q, name)(0.0, 1.0, n, u0, **kw)
            o.evolve(t, m)
            errs.append(np.abs(o.values() - math.exp(-rate * t) * u0).max())
        line(name, "cos(pi x)" + (", kappa = 2" if kw else ""), errs)
    # Robin: u' = u at 0, -u' = u at 1 (alpha = beta = 1): the mode k cos kx + sin kx,
    # tan k = 2k/(k^2 - 1).
    from scipy.optimize import brentq
    k = brentq(lambda k: (k * k - 1.0) * math.sin(k) - 2.0 * k * math.cos(k), 0.1, PI)
    mode = k * np.cos(k * x) + np.sin(k * x)
    errs = []
    for m in (10, 20, 40, 80):
        o = q.Robin1D(0.0, 1.0, n, mode)
        o.evolve(t, m)
        errs.append(np.abs(o.values() - math.exp(-k * k * t) * mode).max())
    line("Robin1D", "first Robin mode, 10 to 80 steps", errs)
    box = np.where((x >= 0.25) & (x <= 0.75), np.sin(2 * PI * (x - 0.25)), 0.0)
    errs = []
    for m in (10, 40, 160, 640):
        o = q.Killing1D(0.0, 1.0, n, box)
        o.evolve(0.01, m)
        errs.append(np.abs(o.values() - math.exp(-4 * PI * PI * 0.01) * box).max())
    line("Killing1D", "Dirichlet mode of the box, t = 0.01, 10 to 640 steps (tau / 4 a row)", errs)
    m = 64
    xp = np.arange(m) / m
    errs = []
    for s in (4, 8, 16, 32):
        o = q.Strang1D(0.0, 1.0 - 1.0 / m, m, np.cos(2 * PI * xp), b=0.5, boundary="periodic")
        o.evolve(0.05, s)
        errs.append(np.abs(o.values() - math.exp(-4 * PI * PI * 0.05) * np.cos(2 * PI * (xp + 0.025))).max())
    line("Strang1D", "cos 2 pi x, b = 0.5, 64 periodic nodes, t = 0.05, 4 to 32 steps", errs)
    pe = q.PointEval(0.0, 1.0, n)
    errs = [abs(pe.eval_at(t / s, u0, 0.3, s) - math.exp(-PI * PI * t) * math.cos(0.3 * PI)) for s in counts]
    line("PointEval", "at x = 0.3", errs, f"constant {abs(pe.eval_at(1e-3, np.full(n, 0.7), 0.37, 10) - 0.7):.1e}")
    errs = []
    for s in counts:
        buf = np.empty(n)
        q.EvolverHeat1DUnitV3(0.0, 1.0, n, u0, s).evolve_into(t, buf)
        errs.append(np.abs(buf - exact).max())
    buf, flat = np.empty(n), np.empty(n)
    q.EvolverHeat1DUnitV3(0.0, 1.0, n, noise, 300).evolve_into(0.01, buf)
    q.EvolverHeat1DUnitV3(0.0, 1.0, n, np.full(n, 0.7), 300).evolve_into(0.01, flat)
    line("EvolverHeat1DUnitV3", "n_chernoff", errs, f"constant {np.abs(flat - 0.7).max():.1e}, "
         f"trapezoidal sum {abs(trapezoid(buf) - trapezoid(noise)) / np.abs(noise).sum():.1e}")
    parts = [[], [], []]
    for s in counts:
        value, d1, d2 = q.EvolverHeat1DGreeksV3(0.0, 1.0, n, u0, s, 1.0).greeks(t)
        for part, got, want in zip(parts, (value, d1, d2), (exact, -PI * PI * t * exact, (PI * PI * t) ** 2 * exact)):
            part.append(np.abs(got - want).max())
    value, d1, d2 = q.EvolverHeat1DGreeksV3(0.0, 1.0, n, np.full(n, 0.7), 300, 1.0).greeks(0.01)
    rough = q.EvolverHeat1DGreeksV3(0.0, 1.0, n, noise, 300, 1.0).greeks(0.01)[0]
    for label, part in zip(("value", "du/dtheta", "d2u/dtheta2"), parts):
        line("EvolverHeat1DGreeksV3", f"{label}, theta = 1", part)
    line("EvolverHeat1DGreeksV3", "keeps", keeps=f"constant {np.abs(value - 0.7).max():.1e} with derivatives "
         f"{max(np.abs(d1).max(), np.abs(d2).max()):.1e}, trapezoidal sum "
         f"{abs(trapezoid(rough) - trapezoid(noise)) / np.abs(noise).sum():.1e}")
    errs = []
    for n_t in (6, 11, 21, 41):
        h = q.Howland1D(0.0, 1.0, n, u0, n_t=n_t, t_horizon=t)
        h.evolve()
        errs.append(np.abs(h.values() - exact).max())
    h, flat = (q.Howland1D(0.0, 1.0, n, u, n_t=11, t_horizon=t) for u in (noise, np.full(n, 0.7)))
    h.evolve()
    flat.evolve()
    line("Howland1D", "n_t - 1 = 5 to 40", errs, f"constant {np.abs(flat.values() - 0.7).max():.1e}, "
         f"trapezoidal sum {abs(trapezoid(h.values()) - trapezoid(noise)) / np.abs(noise).sum():.1e}")
    errs = [np.abs(q.KilledDirichlet1D(0.0, 1.0, n, np.sin(PI * x), s).apply(t) - math.exp(-PI * PI * t)
                   * np.sin(PI * x)).max() for s in counts]
    line("KilledDirichlet1D", "sin(pi x), n_chernoff", errs)
    for kernel, rate in (("heat2", PI * PI), ("heat4", PI * PI), ("heat6", PI * PI), ("shift", PI * PI / 2)):
        errs = [np.abs(q.Adjoint(0.0, 1.0, n, u0, kernel=kernel).evolve(t, s) - math.exp(-rate * t) * u0).max()
                for s in counts]
        v = q.Adjoint(0.0, 1.0, n, noise, kernel=kernel).evolve(0.01, 300)
        flat = q.Adjoint(0.0, 1.0, n, np.full(n, 0.7), kernel=kernel).evolve(0.01, 300)
        line("Adjoint", f"kernel {kernel}", errs, f"constant {np.abs(flat - 0.7).max():.1e}, "
             f"trapezoidal sum {abs(trapezoid(v) - trapezoid(noise)) / np.abs(noise).sum():.1e}")
    errs = [np.abs(q.AdaptivePI(0.0, 1.0, n, u0, kernel="heat2", tol_abs=tol, tol_rel=0.0).evolve(t) - exact).max()
            for tol in (1e-4, 1e-6, 1e-8)]
    print(f"  {'AdaptivePI':<26}heat2, tol_abs 1e-4, 1e-6, 1e-8: " + " ".join(f"{e:.1e}" for e in errs))
    r = q.Resolvent1D(0.0, 1.0, n)
    print(f"  {'Resolvent1D':<26}lambda = 20: cos(pi x) {np.abs(r.eval(20.0, u0) - u0 / (20 + PI * PI)).max():.1e}, "
          f"constant 1 {np.abs(r.eval(20.0, np.ones(n)) - 1 / 20).max():.1e}")


def entries_grid():
    """2-D and 3-D: cos(pi x) cos(pi y) (cos(pi z)) on 33 nodes an axis of [0, 1], t = 0.05;
    "keeps": a constant 0.7 and the trapezoidal sum of noise after 20 steps of 1e-3."""
    n, t = 33, 0.05
    x = np.linspace(0.0, 1.0, n)
    w = np.ones(n)
    w[[0, -1]] = 0.5
    c2 = np.multiply.outer(np.cos(PI * x), np.cos(PI * x)).ravel(order="F")
    c3 = np.multiply.outer(c2, np.cos(PI * x)).ravel()
    rng = np.random.default_rng(0)
    counts = (2, 4, 8, 16)
    header("Entries, several dimensions", counts)
    ax = 1.0 + 0.5 * np.sin(PI * x)
    for name, make, u, rate in (
            ("Heat2D", lambda: q.Heat2D(0, 1, n, 0, 1, n), c2, 2 * PI * PI),
            ("Heat3D", lambda: q.Heat3D(0, 1, n, 0, 1, n, 0, 1, n), c3, 3 * PI * PI),
            ("Heat2DVarA", lambda: q.Heat2DVarA(0, 1, n, 0, 1, n, ax, np.full(n, 0.5)), c2, None)):
        if rate is None:  # a varying a_x: against 1024 steps of the same class
            exact = make().evolve(u, t / 1024, 1024)
            what = "a_x = 1 + 0.5 sin(pi x), a_y = 0.5, against 1024 steps"
        else:
            exact, what = math.exp(-rate * t) * u, "cos modes"
        errs = [np.abs(make().evolve(u, t / s, s) - exact).max() for s in counts]
        noise = rng.uniform(-1.0, 1.0, u.size)
        weights = np.kron(w, w) if u.size == n * n else np.kron(w, np.kron(w, w))
        v = make().evolve(noise, 1e-3, 20)
        line(name, what, errs, f"constant {np.abs(make().evolve(np.full(u.size, 0.7), 1e-3, 20) - 0.7).max():.1e}, "
             f"trapezoidal sum {abs(weights @ (v - noise)) / np.abs(noise).sum():.1e}")
    m = 32
    g = np.arange(m) / m
    P = np.meshgrid(g, g, indexing="ij")
    wave = np.cos(2 * PI * (P[0] + P[1])).ravel(order="F")

    def ns(u, s):
        return q.NonSeparable2D(0, 1 - 1 / m, m, 0, 1 - 1 / m, m, u, c=0.5, boundary="periodic").evolve(0.01, s)
    ref = ns(wave, 8192)
    noise = rng.uniform(-1.0, 1.0, m * m)
    line("NonSeparable2D", "cos 2 pi (x + y), c = 0.5, 32^2 periodic, t = 0.01, 32 to 256 steps, against 8192",
         [np.abs(ns(wave, s) - ref).max() for s in (32, 64, 128, 256)],
         f"constant {np.abs(ns(np.full(m * m, 0.7), 64) - 0.7).max():.1e}, "
         f"sum {abs(ns(noise, 64).sum() - noise.sum()) / np.abs(noise).sum():.1e}")
    cells_ = []
    for k in (33, 129, 513):
        y = np.linspace(0.0, 1.0, k)
        u = np.multiply.outer(np.cos(PI * y), np.cos(PI * y)).ravel(order="F")
        cells_.append(np.abs(q.ObstacleNDV8(0, 1, k, 0, 1, k, -10.0).apply(0.01, u)
                             - math.exp(-2 * PI * PI * 0.01) * u).max())
    o = q.ObstacleNDV8(0, 1, n, 0, 1, n, 0.2)
    print(f"  {'ObstacleNDV8':<26}one step of 0.01, level below the data, on 33^2, 129^2, 513^2: "
          + " ".join(f"{e:.1e}" for e in cells_) + f"; level 0.2: min {o.apply(1e-3, c2).min():.3f}, "
          f"constant 0.7 {np.abs(o.apply(1e-3, np.full(n * n, 0.7)) - 0.7).max():.1e}")


def entries_graph():
    """Graphs: a point mass on a path of 64 nodes, t = 5, against the eigen-decomposition;
    "keeps": sum u of noise (the weighted sum u/sqrt(a) where a node coefficient a enters)."""
    n, t = 64, 5.0
    L = q.Laplacian.combinatorial(q.Graph.path(n))
    lam, V = np.linalg.eigh(L.to_dense())
    f0 = np.eye(n)[0]
    exact = V @ (np.exp(-t * lam) * (V.T @ f0))
    noise = np.random.default_rng(0).uniform(-1.0, 1.0, n)
    print("\nEntries, graphs")

    def share(v, u=noise, w=np.ones(n)):
        return f"sum {abs((v - u) @ w) / np.abs(u).sum():.1e}"

    def flat(make, steps):
        return f"constant {np.abs(make().evolve(t, steps, np.full(n, 0.7)) - 0.7).max():.1e}, "
    for name, make, counts in (
            ("GraphHeat", lambda: q.GraphHeat(laplacian=L, rho_bar=4.0), (16, 32, 64, 128)),
            ("GraphHeat4th", lambda: q.GraphHeat4th(laplacian=L, rho_bar=4.0), (16, 32, 64, 128)),
            ("GraphHeat6", lambda: q.GraphHeat6(laplacian=L, rho_bar=4.0), (8, 16, 32, 64)),
            ("StrangGraph", lambda: q.StrangGraph.from_path(q.Graph.path(n)), (8, 16, 32, 64)),
            ("MagnusGraphHeat", lambda: q.MagnusGraphHeat(laplacian=L, lap_at_t=lambda s: L, rho_bar_max=4.0),
             (16, 32, 64, 128)),
            ("MagnusGraphHeat6", lambda: q.MagnusGraphHeat6(laplacian=L, lap_at_t=lambda s: L, rho_bar_max=4.0),
             (16, 32, 64))):
        line(name, f"{counts[0]} to {counts[-1]} steps", [np.abs(make().evolve(t, s, f0) - exact).max() for s in counts],
             flat(make, counts[0]) + share(make().evolve(t, counts[0], noise)))
    a = 1.0 + 0.5 * np.sin(np.arange(n))
    root = np.sqrt(a)
    lam_a, V_a = np.linalg.eigh(root[:, None] * L.to_dense() * root[None, :])
    vm = q.VarCoefMagnusGraph(n, lap_at_t=lambda s: L, a_at_t=lambda s: a, rho_bar_max=4.0, a_sup_max=1.5)
    line("VarCoefMagnusGraph", "a = 1 + 0.5 sin(i), 32 to 256 steps",
         [np.abs(vm.evolve(t, s, f0) - V_a @ (np.exp(-t * lam_a) * (V_a.T @ f0))).max() for s in (32, 64, 128, 256)],
         share(vm.evolve(t, 32, noise), w=1 / root))
    vg = q.VarCoefGraphHeat(q.Graph.path(n), a, rho_bar=4.0)
    line("VarCoefGraphHeat", "keeps", keeps=share(vg.evolve(t, 64, noise), w=1 / root))
    for path in ("chebyshev", "lanczos"):
        v = q.GraphKrylov(L, path=path).evolve_batched(t, np.c_[f0, noise])
        line("GraphKrylov", f"{path}: {np.abs(v[:, 0] - exact).max():.1e}", keeps=share(v[:, 1]))


def entries_other():
    """Sparse operators, tensor trains, geometric and particle classes."""
    from scipy.linalg import expm
    print("\nEntries, sparse, tensor-train, geometric and particle classes")
    n = 64
    L = q.Laplacian.combinatorial(q.Graph.path(n))
    D = L.to_dense()
    indptr, cols = np.asarray(L.row_ptr(), np.int64), np.asarray(L.col_idx())
    rows = np.repeat(np.arange(n), np.diff(indptr))
    order_ = np.lexsort((cols, rows))
    op = q.SymmetricOperator.from_csr(indptr, cols[order_].astype(np.int32), np.asarray(L.vals())[order_], n)
    noise = np.random.default_rng(0).uniform(-1.0, 1.0, n)
    f0 = np.eye(n)[0]
    exact = expm(-5.0 * D) @ f0
    for path in ("chebyshev", "lanczos"):
        v = op.evolve_batched(5.0, np.c_[f0, noise], path=path)
        line("SymmetricOperator", f"{path}, path of 64, t = 5: {np.abs(v[:, 0] - exact).max():.1e}",
             keeps=f"sum {abs(v[:, 1].sum() - noise.sum()) / np.abs(noise).sum():.1e}")
    g = q.GeneralOperator.from_csr(n, indptr, cols, np.asarray(L.vals()))
    v = g.evolve_batched(5.0, np.c_[f0, noise])
    line("GeneralOperator", f"the same: {np.abs(v[:, 0] - exact).max():.1e}",
         keeps=f"sum {abs(v[:, 1].sum() - noise.sum()) / np.abs(noise).sum():.1e}")
    mass = np.diag(np.full(n, 2.0 / 3.0)) + np.diag(np.full(n - 1, 1.0 / 6.0), 1) + np.diag(np.full(n - 1, 1.0 / 6.0), -1)
    mk = q.MassKOperator.from_k_and_mass(op, mass.ravel())
    R = np.linalg.cholesky(mass).T  # M = R'R; A_hat = R^-T K R^-1 has the null vector R 1
    a_hat = np.linalg.solve(R.T, np.linalg.solve(R.T, D.T).T)
    v = mk.evolve(5.0, noise)
    line("MassKOperator", f"e^(-t A_hat), t = 5: {np.abs(v - expm(-5.0 * a_hat) @ noise).max():.1e}",
         keeps=f"<R 1, u> {abs(R.sum(1) @ (v - noise)) / np.abs(noise).sum():.1e}")
    for k in range(4):
        aug = np.zeros((n + k, n + k))  # phi_k(tau A) v from the exponential of the augmented matrix
        aug[:n, :n] = -0.3 * D
        if k:
            aug[:n, n] = noise
            aug[n:n + k - 1, n + 1:n + k] = np.eye(k - 1)
        want = (expm(aug)[:n, -1] if k else expm(aug) @ noise)
        got = q.phi_action(op, k, 0.3, noise)
        line("phi_action", f"k = {k}, tau = 0.3: {np.abs(got - want).max() / np.abs(want).max():.1e} relative",
             keeps=f"constants {np.abs(q.phi_action(op, k, 0.3, np.ones(n)) - 1 / math.factorial(k)).max():.1e}")
    A = q.ConservativeDiffusionChernoff.from_k_array(n, 0.0, 1.0, 1.0 + 0.9 * np.sign(np.sin(7 * np.arange(n))))
    op_k = A.to_symmetric_operator()
    v = op_k.evolve_batched(0.01, noise[:, None])[:, 0]
    line("ConservativeDiffusionChernoff", "k jumping 0.1 to 1.9", keeps=f"sum {abs(v.sum() - noise.sum()) / np.abs(noise).sum():.1e}")
    x = np.linspace(0.0, 1.0, 101)
    rh = q.ReverseHeat1D(1.0, 0.0, 1.0, 101, 40)
    target = 0.5 * np.cos(PI * x)
    J, dJ = rh.value_and_grad(1e-3, np.cos(PI * x), target)
    h = 1e-6
    fd = (q.ReverseHeat1D(1.0 + h, 0.0, 1.0, 101, 40).value_and_grad(1e-3, np.cos(PI * x), target)[0]
          - q.ReverseHeat1D(1.0 - h, 0.0, 1.0, 101, 40).value_and_grad(1e-3, np.cos(PI * x), target)[0]) / (2 * h)
    line("ReverseHeat1D", f"dJ/dtheta against central differences: {abs(dJ - fd) / abs(fd):.1e} relative")
    m = 32
    g1 = np.arange(m) * (2 * PI / m)
    c, one = np.cos(g1), np.ones(m)
    scale = float(c @ c) ** 2
    for name, make, rates in (
            ("TtEvolver", lambda: q.TtEvolver([1.0, 1.0], [0.0, 0.0], 0.0, [0, 0], [g1[-1]] * 2, 1e-12), (2.0, 2.0)),
            ("TtCoupledEvolver", lambda: q.TtCoupledEvolver([1.0, 1.0], [0.0, 0.0], 0.0, ("Tridiagonal", 0.3), [0, 0],
                                                           [g1[-1]] * 2, 1e-12), (2.6, 1.4))):
        errs = []
        for s in (4, 8, 16, 32):
            st = q.TtState([c, c])
            make().evolve(st, 0.5, s)
            errs.append(abs(st.inner_separable([c, c]) / scale - 0.5 * sum(math.exp(-r * 0.5) for r in rates)))
        st, level = q.TtState([noise[:m], noise[m:2 * m]]), q.TtState([np.full(m, 0.7), one])
        make().evolve(st, 0.5, 16)
        make().evolve(level, 0.5, 16)
        before = noise[:m].sum() * noise[m:2 * m].sum()
        line(name, "cos x cos y, 32^2 periodic, t = 0.5, the mode's amplitude", errs,
             f"constant {abs(level.inner_separable([one, one]) / (m * m) - 0.7):.1e} (its mean), sum {abs(st.inner_separable([one, one]) - before) / (np.abs(noise[:m]).sum() * np.abs(noise[m:2 * m]).sum()):.1e}")
    nx = 65
    g = np.linspace(-4.0, 4.0, nx)
    X, V = np.meshgrid(g, g, indexing="ij")
    bump = np.exp(-X ** 2 - V ** 2).ravel(order="F")

    def kolmogorov(u, s):
        k = q.HypoellipticChernoffKolmogorov(-4, 4, nx, -4, 4, nx, u)
        k.evolve(0.5, s)
        return k.values()
    ref = kolmogorov(bump, 512)
    line("HypoellipticChernoffKolmogorov", "exp(-x^2 - v^2), 65^2 on [-4, 4]^2, t = 0.5, 4 to 32 steps, against 512",
         [np.abs(kolmogorov(bump, s) - ref).max() for s in (4, 8, 16, 32)],
         f"constant {np.abs(kolmogorov(np.full(nx * nx, 0.7), 16) - 0.7).max():.1e}, "
         f"range [{kolmogorov(bump, 16).min():.1e}, {kolmogorov(bump, 16).max():.3f}] of [0, 1]")
    e = q.HypoellipticChernoffEngel(-3, 3, 9, np.full(9 ** 4, 0.7))
    e.evolve(0.5, 4)
    line("HypoellipticChernoffEngel", "keeps", keeps=f"constant {np.abs(e.values() - 0.7).max():.1e}")
    sm = q.SmolyakD6V8(0.0, 1.0, 6)
    y = np.linspace(0.0, 1.0, 6)
    c6 = np.cos(PI * y)
    for _ in range(5):
        c6 = np.multiply.outer(c6, np.cos(PI * y))
    c6 = c6.ravel()
    print(f"  {'SmolyakD6V8':<26}cos modes on 6^6, t = 0.004, 4 to 32 steps: " + " ".join(
        f"{np.abs(sm.apply(0.004 / s, c6, s) - math.exp(-6 * PI * PI * 0.004) * c6).max():.1e}" for s in (4, 8, 16, 32))
        + f"; constant {np.abs(sm.apply(1e-3, np.full(c6.size, 0.7), 5) - 0.7).max():.1e}")
    tj = q.ComplexTripleJumpV8(0.0, 1.0, 5)
    line("ComplexTripleJumpV8", "keeps", keeps=f"constant {np.abs(tj.apply_real(0.01, np.full(5 ** 5, 0.7)) - 0.7).max():.1e}")
    qg = q.QuantumGraph.star(3, 1.0, 33)
    h = 1.0 / 32
    state = np.tile(np.cos(PI * np.linspace(0.0, 1.0, 33)), 3)  # the hub value 1 on every arm
    w = np.ones(33)
    w[[0, -1]] = 0.5
    qh = q.QuantumGraphHeat(qg)
    qh.set_state(state)
    qh.evolve(0.5, int(round(2 * 0.5 / h ** 2)))
    line("QuantumGraphHeat", "keeps", keeps=f"trapezoidal mass {abs(np.tile(w, 3) @ (qh.values() - state)) / np.abs(state).sum():.1e}")
    fp = q.AdjointFokkerPlanckV8(0.5, 0.3, 0.0)
    pos, wts = fp.step(0.01, np.zeros(1), np.ones(1), 8)
    print(f"  {'AdjointFokkerPlanckV8':<26}a = 0.5, b = 0.3, 8 steps of 0.01: mass {wts.sum() - 1:.1e}, mean "
          f"{pos @ wts - 0.3 * 0.08:.1e} from b t, variance {pos ** 2 @ wts - (pos @ wts) ** 2 - 0.08:.1e} from 2 a t")


def main():
    args = options(__doc__, full="about 8 min", quick="a few seconds",
                   add=lambda p: p.add_argument("--entries", action="store_true",
                                                help="only the family entries' orders and kept quantities"))
    quick = args.quick
    print(f"quorvane {q.version()}: largest nodal error against the exact solution")
    entries = [entries_line, entries_grid, entries_graph, entries_other]
    families = (entries if args.entries else [heat_1d, heat_2d, quantum_graph, graph_heat] if quick else
                [heat_1d, heat_zeta8, heat_2d, sphere, torus, engel, quantum_graph, schrodinger, graph_heat,
                 anisotropic_shift, tensor_train, etdrk4_order, subordinated] + entries)
    for family in families:
        progress(family.__name__.replace("_", " "))
        family()


if __name__ == "__main__":
    main()
