"""What a refusal names passes: a step bound X reused as t = k X in k steps, and the remedy a refusal
names where another rule of the same call could refuse it."""

import math
import re

import numpy as np
import pytest
import scipy.sparse

import quorvane as q
from conftest import error_text, raises_exact
from quorvane import QuorvaneError

X101, ONES = np.linspace(0.0, 1.0, 101), np.ones(101)
I8 = np.arange(8)


def shift(run, c=0.0):
    def call(t, n):
        s = q.Shift1D(0.0, 1.0, 101, ONES, a=0.5, c=c)
        out = run(s, t, n)
        return s.values() if out is None else out
    return call


def tt(c, evolver=q.TtEvolver, pairs=(), a=(0.0, 0.0)):
    def call(t, n):
        s = q.TtState([[1.0, 2.0], [3.0, 1.0]])
        evolver(list(a), [0.0, 0.0], c, *pairs, [0.0, 0.0], [1.0, 1.0], 0.0).evolve(s, t, n)
        return [s.inner_separable([[1.0, 1.0], [1.0, 1.0]])]  # a = 0: 12 (1 + tau c)^n
    return call


def measure(t, n):
    s = q.MeasureState([0.0], [1e300], 1)  # n factors of a few ulps stay normal
    q.GridlessEvolver(1.0, 0.0, -71.5).evolve(s, t, n)
    return s.marginal(0)[1]


def measure_step(t, n):
    dst = q.MeasureState([0.0], [1.0], 1)
    q.GridlessEvolver(1.0, 0.0, -10.0).apply(t / n, q.MeasureState([0.0], [1.0], 1), dst)
    return list(dst.marginal(0)[1]) + list(q.AdjointFokkerPlanckV8(1.0, 0.0, -10.0).step(t / n, [0.0], [1.0])[1])


def evolved(obj, *args, **kw):
    def call(t, n):
        o = obj()
        out = o.evolve(*args, t, n, **kw)
        return np.abs(o.values() if out is None else out)
    return call


def var_coef_tt(t, n):
    s = q.TtState([2.0 + np.cos(I8)])
    q.VarCoefTtEvolver([1 + 0.5 * np.sin(np.pi * I8 / 4) ** 2], [0.3 * np.cos(np.pi * I8 / 4)], [0.1 * np.sin(I8)],
                       [(0.0, 0.5)], 1e-10).evolve(s, t, n)
    return [s.inner_separable([e]) for e in np.eye(8)]


BOUND = re.compile(r"(?:tau must be <=|L\^2/12 =|admissible tau (?:is|=|<=)) ([0-9.e+-]+[0-9])")
X41 = np.linspace(0.0, 1.0, 41)
X126 = np.linspace(0.0, 0.7, 126)


# (call(t, n), a refused (t, n), whether the values must keep their sign). c = -10 and -71.5 put
# k (-1/c) / k an ulp above -1/c for k = 3, 6, 12 and 5, 9, 10, 17 to 20; c = -0.3 for k = 11.
@pytest.mark.parametrize("call, refused, signed", [
    (shift(lambda s, t, n: s.evolve(t, n), -10.0), (1.0, 1), True),
    (shift(lambda s, t, n: s.evolve(t, n), -71.5), (1.0, 1), True),
    (shift(lambda s, t, n: s.evolve(t, n), -0.3), (10.0, 1), True),
    (shift(lambda s, t, n: s.evolve_batched(t, np.ones((101, 2)), n), -10.0), (1.0, 1), True),
    (shift(lambda s, t, n: q.Shift1D.with_arrays(0.0, 1.0, 101, np.full(101, 0.5), np.zeros(101), -71.5 * X101,
                                                 71.5, ONES).evolve(t, n)), (1.0, 1), False),
    (shift(lambda s, t, n: s.evolve_with_time_schedule(t, n, [0.5], c=-71.5)), (1.0, 1), True),
    (shift(lambda s, t, n: s.evolve_with_coefficient_schedule(t, n, [0.5], c_schedule=[-10.0])), (1.0, 1), True),
    (lambda t, n: q.shift1d_coeff_grad(0.0, 1.0, 9, np.full(9, 0.3), np.zeros(9), np.full(9, -71.5), np.ones(9),
                                       np.ones(9), t, n, wrt="c"), (1.0, 1), False),
    (tt(-10.0), (1.0, 1), True),
    (tt(-71.5), (1.0, 1), True),
    (tt(-71.5, q.TtCoupledEvolver, [("Pairs", [(0, 1, 0.2)])], (0.5, 0.3)), (1.0, 1), False),
    (measure, (1.0, 1), True),
    (measure_step, (1.0, 1), False),
    (evolved(lambda: q.DirichletHeat2nd1D(0.0, 0.6, 21, np.sin(np.linspace(0.0, np.pi, 21)))), (1.0, 1), False),
    # dx dy / (4 |c|) = 0.1 is the edge of a strict test: itself refused.
    (evolved(lambda: q.NonSeparable2D(0, 1, 6, 0, 1, 6, 1.0 + 0.5 * np.cos(np.arange(36.0)), c=0.1)), (10.0, 1),
     False),
    (var_coef_tt, (20.0, 1), False),
    # 2e6 dx^2 = 62.72 on 126 nodes of [0, 0.7], itself a four-digit decimal.
    (evolved(lambda: q.Schrodinger1D(0.0, 0.7, 126, np.exp(-100 * (X126 - 0.35) ** 2) + 0j)), (1e4, 1), False),
    (evolved(lambda: q.DriftReaction4th1D(0.0, 1.0, 41, np.exp(-50 * (X41 - 0.5) ** 2))), (1.0, 1), False),
], ids=["Shift1D-10", "Shift1D-71.5", "Shift1D-0.3", "evolve_batched", "with_arrays", "time_schedule",
        "coefficient_schedule", "shift1d_coeff_grad", "TtEvolver-10", "TtEvolver-71.5", "TtCoupledEvolver",
        "GridlessEvolver.evolve", "tau_steps", "DirichletHeat2nd1D", "NonSeparable2D", "VarCoefTtEvolver",
        "Schrodinger1D", "DriftReaction4th1D"])
def test_a_named_step_bound_is_admitted_as_k_steps_of_it(call, refused, signed):
    bound = float(BOUND.search(error_text(call, *refused)).group(1))
    for k in range(1, 21):
        out = np.asarray(call(k * bound, k), dtype=float)
        assert np.all(np.isfinite(out)), k
        # A factor 1 + tau c a few ulps below 0 is taken as 0: it flips no sign.
        assert not signed or (out >= 0.0).all(), k


LINEAR_INFLOW = ('[OutOfDomain] boundary "linear" cannot be used where a drift enters across an end: its '
                 'straight-line continuation is no inflow condition, and what it carries in grows without bound; '
                 'use "reflect", "zero" or "periodic"')


def shift_linear(run):
    def call(t, n):
        s = q.Shift1D(-1.0, 1.0, 41, np.sin(np.linspace(0.0, 3.0, 41)) + 1.5, a=0.5, b=0.2, c=-0.3,
                      boundary="linear")
        run(s, t, n)
        return s
    return call


@pytest.mark.parametrize("call", [
    shift_linear(lambda s, t, n: s.evolve(t, n)),
    shift_linear(lambda s, t, n: s.evolve_batched(t, np.ones((41, 2)), n)),
    shift_linear(lambda s, t, n: s.evolve_with_time_schedule(t, n, [0.5], b=0.2, c=-0.3)),
    shift_linear(lambda s, t, n: s.evolve_with_coefficient_schedule(t, n, [0.5], b_schedule=[0.2],
                                                                    c_schedule=[-0.3])),
], ids=["evolve", "evolve_batched", "time_schedule", "coefficient_schedule"])
def test_shift_drift_entering_a_linear_end_is_refused_before_the_reaction_factor(call):
    # b = 0.2 enters across the right end, which no count cures; the reaction factor's count
    # (3.3e16 steps at t = 1e17) used to be named, and this refusal met it and every count.
    for t, n in ((1e17, 1), (1e300, 1), (1.0, 1), (1.0, 10 ** 6)):
        raises_exact(QuorvaneError, LINEAR_INFLOW, call, t, n)


def test_a_drift_entering_a_linear_end_is_refused_before_the_step_size():
    # b = 1/2 enters across the right end. The step size used to be judged first, naming 454 steps,
    # which this refusal then met at every count.
    x = np.linspace(0.0, 1.0, 41)
    u0 = np.exp(-50 * (x - 0.5) ** 2)
    d = q.DriftReaction4th1D(0.0, 1.0, 41, u0, boundary="linear")
    for n in (100, 454, 10 ** 6):
        raises_exact(QuorvaneError, LINEAR_INFLOW, d.evolve, 1.0, n)
    assert np.array_equal(d.values(), u0)
    for boundary in ("reflect", "zero", "periodic"):  # what the refusal names
        e = q.DriftReaction4th1D(0.0, 1.0, 41, u0, boundary=boundary)
        need = int(re.search(r"; use n_steps >= (\d+) for t = 1$", error_text(e.evolve, 1.0, 100)).group(1))
        assert need == 454
        e.evolve(1.0, need)
        # Heat and drift keep max|u| <= max|u0| = 1; the read's margin allows no more than rounding.
        assert np.all(np.isfinite(e.values())) and np.abs(e.values()).max() <= 1.0 + 1e-12


DIRICHLET_WHY = ("a longer step reads beyond the opposite wall, where the odd image has the wrong sign")


@pytest.mark.parametrize("t, n_steps, tau", [(2.0 ** 63, 1, "9.223e18"), (2.0 ** 63, 2 ** 64 - 1, "5.000e-1"),
                                             (1e300, 7, "1.429e299")])
def test_dirichlet_heat_names_no_count_beyond_the_argument_but_the_longest_t(t, n_steps, tau):
    # L^2/12 = 1/12: t = 2^63 asks for 1.1e20 steps, beyond the 2^64 - 1 the argument takes; the
    # largest count used to be named and refused.
    u0 = np.sin(np.pi * np.linspace(0.0, 1.0, 21))
    d = q.DirichletHeat2nd1D(0.0, 1.0, 21, u0)
    raises_exact(QuorvaneError, f"[CflViolated] DirichletHeat2nd1D: tau = t/n_steps = {tau} exceeds L^2/12 = 8.333e-2 "
                 f"(L = xmax - xmin = 1): {DIRICHLET_WHY}; no n_steps (at most 18446744073709551615) makes the "
                 f"steps of t = {t:.3e}".replace("e+", "e") + " short enough: the longest t served in one call is "
                 "1.537e18, so split the evolution into calls of at most that", d.evolve, t, n_steps)
    assert np.array_equal(d.values(), u0)
    # At the longest t a count within the argument is named, and its steps pass the rule; not
    # above it.
    text = error_text(d.evolve, 1.537e18, 1)
    need = int(re.search(r"use n_steps >= (\d+) for t = ", text).group(1))
    assert need <= 2 ** 64 - 1 and 1.537e18 / float(need) <= (1.0 / 12.0) * (1 + 4e-15)  # the bound's ulps
    assert "no n_steps" in error_text(d.evolve, 1.538e18, 2 ** 64 - 1)
    # A count it names is run (t = 10: 120 steps).
    need = int(re.search(r"use n_steps >= (\d+) for t = 10$", error_text(d.evolve, 10.0, 1)).group(1))
    d.evolve(10.0, need)
    # The slowest mode decays to e^{-10 pi^2} = 1e-43: what is left is the steps' rounding.
    assert np.abs(d.values()).max() < 1e-15


def lanczos_graph(t, f, m_max, path="lanczos", tol=1e-10):
    return q.GraphKrylov(q.Laplacian.combinatorial(q.Graph.path(20)), path=path, m_max=m_max,
                         tol=tol).evolve_batched(t, f)


def lanczos_sym(t, f, m_max, path="lanczos", tol=1e-10):
    a = scipy.sparse.csr_matrix(q.Laplacian.combinatorial(q.Graph.path(20)).to_dense())
    a.sort_indices()
    op = q.SymmetricOperator.from_csr(a.indptr.astype(np.int64), a.indices.astype(np.int32), a.data, 20)
    return op.evolve_batched(t, f, path=path, m_max=m_max, tol=tol)


BEYOND_WORK = ("[OutOfDomain] GraphKrylovChernoff: tau * spectral_bound too large for the Lanczos path: at any m_max "
               "the action would need more than 10000000 operator products; it serves t up to 1.515e5 on this "
               "operator")


@pytest.mark.parametrize("call", [lanczos_graph, lanczos_sym], ids=["GraphKrylov", "SymmetricOperator"])
@pytest.mark.parametrize("t_rho", [6.1e5, 1e6])
@pytest.mark.parametrize("m_max", [10, 18])
def test_lanczos_beyond_its_work_names_no_m_max_but_what_serves(call, t_rho, m_max):
    # rho = 4 on the path: ceil(t rho / 1.091) sub-steps of 18 products exceed 1e7 beyond
    # t rho = 6.06e5, at any m_max. "use m_max >= 18" used to be named, and refused so.
    lap = q.Laplacian.combinatorial(q.Graph.path(20))
    f = np.cos(np.arange(20.0))[:, None] + 1.0
    t = t_rho / lap.spectral_bound
    raises_exact(QuorvaneError, BEYOND_WORK + '; path "chebyshev" serves this t', call, t, f, m_max)
    # Only the constant mode is left. The Chebyshev path's own error at t rho near 1e6 is some
    # 2e-10 of the data (its sub-steps' rounding on that mode).
    exact = np.full_like(f, f.mean())
    assert np.abs(call(t, f, m_max, path="chebyshev") - exact).max() < 1e-9
    # Where the Chebyshev rounding needs a looser tol, that tol is named.
    text = error_text(call, t, f, m_max, tol=1e-14)
    assert text == BEYOND_WORK + '; path "chebyshev" serves this t with tol >= 1e-11'
    assert np.abs(call(t, f, m_max, path="chebyshev", tol=1e-11) - exact).max() < 1e-9
    # The longest t named plans within the cap: there only a capped size is refused (m_max = 1
    # never reaches tol); a little beyond it nothing is served.
    assert "use m_max >= " in error_text(call, 1.515e5, f, 1)
    assert error_text(call, 1.516e5, f, 1).startswith(BEYOND_WORK)


def test_lanczos_serves_the_longest_t_it_names():
    # 555555 sub-steps of 18 products, the most within the cap.
    f = np.cos(np.arange(20.0))[:, None] + 1.0
    out = lanczos_graph(1.515e5, f, 18)
    assert np.abs(out - f.mean()).max() < 1e-9  # only the constant mode is left


def coeff_grad(t, n):
    return q.shift1d_coeff_grad(0.0, 1.0, 9, np.full(9, 0.3), np.zeros(9), np.full(9, -1.5), np.ones(9), np.ones(9),
                                t, n)


@pytest.mark.parametrize("t", [1e17, 2.0 ** 63, 1e30])
def test_coefficient_gradient_names_counts_its_checkpoints_can_keep(t):
    # The reaction factor named n_steps >= 1.5e17 at t = 1e17, a count whose checkpoints need more
    # than any machine's memory. The largest count that fits bounds what is named: here none does,
    # and the longest t is named with that count; one step of it passes the reaction rule.
    text = error_text(coeff_grad, t, 1)
    m = re.search(r"no n_steps up to (\d+) makes the steps of t = \S+ short enough: one call serves t <= (\S+) "
                  r"\(n_steps = (\d+)\), longer times take several calls$", text)
    assert m and m.group(1) == m.group(3), text
    most, longest = int(m.group(1)), float(m.group(2))
    assert most < 2 ** 64 - 1 and longest * 1.5 / most <= 1.0 + 1e-14  # 1 + tau c a few ulps below 0 at most
    assert "checkpoints" in error_text(coeff_grad, 1.0, most + 1)
    assert np.all(np.isfinite(coeff_grad(longest / most, 1)))


MIDPOINT_FOOT = "x + tau b(x + tau b(x)/2)"


@pytest.mark.parametrize("call, foot, span", [
    (lambda t: q.DriftReaction1D(-1.0, 1.0, 41, np.ones(41), b=0.3).evolve(t, 1), MIDPOINT_FOOT, 1.0),
    (lambda t: q.Strang1D(-1.0, 1.0, 41, np.ones(41), b=0.3).evolve(t, 1),
     MIDPOINT_FOOT + " and x +- 2 sqrt(tau a(x))", 1.0),  # the unit diffusion's reads stay far nearer
    (lambda t: q.Shift1D(-1.0, 1.0, 41, np.ones(41), a=0.0, b=0.3).evolve(t, 1), "x + 2 tau b(x)", 2.0),
], ids=["DriftReaction1D", "Strang1D", "Shift1D"])
def test_a_read_beyond_what_the_grid_resolves_is_named_as_the_step(call, foot, span):
    # Reads beyond 2^53 cells used to be refused under an internal function's name; the refusal
    # names the foot the step reads and the longest step that reads within reach, and that step runs.
    text = error_text(call, 1e300)
    assert text.startswith("[OutOfDomain] ") and f": a step of tau = t/n_steps = 1.000e300 reads u at {foot} more " \
        "than 2^53 cells beyond the end nodes" in text, text
    longest = float(text.split("steps of tau <= ")[1].split(" ")[0])
    call(longest)
    # The rule judges that foot, span * tau * |b| from the node (dx = 0.05): 10 % inside 2^53 cells runs,
    # 10 % beyond is refused.
    call(0.9 * 2.0**53 * 0.05 / (span * 0.3))
    assert f"reads u at {foot} more than 2^53 cells" in error_text(call, 1.1 * 2.0**53 * 0.05 / (span * 0.3))


# --- steps whose reads lie beyond 2^53 cells, step caps, the truncated-exponential CFL limit -------------
READ_TOO_FAR = ("a step reads u more than 2^53 cells beyond the end nodes, where no cell can be told apart from its "
                "neighbour: the step is too long for this spacing (more, shorter steps read nearer); ")
NAMED_TAU = re.compile(r"exceeds the largest admissible tau = ([0-9.e+-]+[0-9]) on this grid")
NAMED_COUNT = re.compile(r"(?:n_(?:steps|chernoff)|\(n_t - 1\)) >= (\d+)")
X17 = np.linspace(0.0, 1.0, 17)
COS17 = np.cos(np.pi * X17)
U81 = np.cos(np.linspace(0.0, 3.0, 81))
A9 = 1.0 + 0.5 * np.cos(np.linspace(0.0, 3.0, 9))


def fresh(make, read=lambda o, out: o.values()):
    """A call of duration t in n steps on a fresh object."""
    def call(t, n):
        o = make()
        return read(o, o.evolve(t, n))
    return call


def given_tau(make, u):  # evolve(u0, tau, n_steps): the call's time is n * tau
    return lambda t, n: make().evolve(u, t / n, n)


def kolmogorov(t, n):
    k = q.HypoellipticChernoffKolmogorov(0.0, 2.0, 9, -1.0, 1.0, 9, U81)
    k.evolve(t, n)
    return k.values()


def far_evolve(make, **kw):
    def call(t, n):
        o = make()
        out = o.evolve(t, n, **kw)
        return o.values() if out is None else out
    return call


def unit_v3(t, n):
    buf = np.empty(17)
    q.EvolverHeat1DUnitV3(0.0, 1.0, 17, COS17, n).evolve_into(t, buf)
    return buf


def howland(t, n):
    h = q.Howland1D(0.0, 1.0, 17, COS17, n_t=n + 1, t_horizon=t)
    h.evolve()
    return h.values()


def graph_heat(t, n):
    h = q.QuantumGraphHeat(q.QuantumGraph.path(3, 1.0, 11))  # one joined interval: long steps are admitted
    h.set_state(np.tile(np.linspace(1.0, 2.0, 11), 3))
    h.evolve(t, n)
    return h.values()


def aniso2(t, n):
    s = q.AnisotropicShiftND2(5, 5, 0.0, 1.0, 0.0, 1.0, np.tile([1.0, 0.0, 0.0, 1.0], 25))
    s.set_state(1.0 + 0.5 * np.cos(np.arange(25.0)))
    s.evolve(t, n)
    return s.values()


def coeff_grad_far(t, n):
    return q.shift1d_coeff_grad(0.0, 1.0, 17, np.full(17, 0.5), np.full(17, 0.2), np.zeros(17), COS17, np.ones(17),
                                t, n, wrt="b")


# A call(t, n) of each class whose steps read beyond 2^53 cells at long steps, and whether its
# refusal names a count (ReverseHeat1D takes its step itself and names only tau).
FAR = {
    "Killing1D": fresh(lambda: q.Killing1D(0.0, 1.0, 17, COS17)),
    "Killing2nd1D": fresh(lambda: q.Killing2nd1D(0.0, 1.0, 17, COS17, 0.3)),
    "Reflected1D": fresh(lambda: q.Reflected1D(0.0, 1.0, 17, COS17)),
    "Robin1D": fresh(lambda: q.Robin1D(0.0, 1.0, 17, COS17, alpha=0.7)),
    "ObstacleChernoff": fresh(lambda: q.ObstacleChernoff(0.0, 1.0, 17, COS17, level=-0.5), lambda o, out: out),
    "ObstacleChernoff-drift": fresh(lambda: q.ObstacleChernoff(0.0, 1.0, 17, COS17, a=1e-6, b=0.3, level=-0.5),
                                    lambda o, out: out),
    "WentzellV8": lambda t, n: q.WentzellV8(0.0, 1.0, 17, COS17, n, 0.3, np.full(n, 0.5)).evolve(t),
    "EvolverHeat1DGreeksV3": lambda t, n: np.concatenate(q.EvolverHeat1DGreeksV3(0.0, 1.0, 17, COS17, n, 2.0)
                                                         .greeks(t)),
    "ReverseHeat1D": lambda t, n: q.ReverseHeat1D(1.5, 0.0, 1.0, 17, 2).value_and_grad(t / n, COS17, 0 * COS17),
    "Heat2D": given_tau(lambda: q.Heat2D(0.0, 1.0, 9, 0.0, 2.0, 9), U81),
    "Heat3D": given_tau(lambda: q.Heat3D(0.0, 1.0, 4, 0.0, 1.0, 4, 0.0, 3.0, 4), np.ones(64)),
    "Heat2DVarA": given_tau(lambda: q.Heat2DVarA(0.0, 1.0, 9, 0.0, 1.0, 9, A9, A9[::-1].copy()), U81),
    "Heat2DVarA.with_grid_arrays": given_tau(lambda: q.Heat2DVarA.with_grid_arrays(
        0.0, 1.0, 9, 0.0, 1.0, 9, 1.0 + 0.5 * U81, 1.5 - 0.5 * U81), U81),
    "Heat3DVarA": given_tau(lambda: q.Heat3DVarA(0.0, 1.0, 4, 0.0, 1.0, 4, 0.0, 1.0, 4, A9[:4], A9[:4], A9[4:8]),
                            np.ones(64)),
    "HypoellipticChernoffKolmogorov": kolmogorov,
    "PointEval": lambda t, n: [q.PointEval(0.0, 1.0, 17).eval_at(t / n, COS17, 0.3, n)],
    "Adjoint": far_evolve(lambda: q.Adjoint(0.0, 1.0, 17, COS17)),
    "Adjoint-heat6": far_evolve(lambda: q.Adjoint(0.0, 1.0, 17, COS17, kernel="heat6")),
    "Adjoint-drift": far_evolve(lambda: q.Adjoint(0.0, 1.0, 17, COS17, kernel="drift", boundary="periodic")),
    "Adjoint-shift": far_evolve(lambda: q.Adjoint(0.0, 1.0, 17, COS17, kernel="shift")),
    "EvolverHeat1DUnitV3": unit_v3,
    "Howland1D": howland,
    "QuantumGraphHeat": graph_heat,
    "NonSeparable2D": far_evolve(lambda: q.NonSeparable2D(0.0, 1.0, 9, 0.0, 1.0, 9, U81, c=0.0)),
    "AnisotropicShiftND2": aniso2,
    "shift1d_coeff_grad": coeff_grad_far,
}


@pytest.mark.parametrize("name", FAR)
def test_steps_reading_beyond_the_grid_name_the_longest_tau_and_counts_that_run(name):
    # These refusals used to end with "(more, shorter steps read nearer)" and name nothing.
    call = FAR[name]
    text = error_text(call, 1e300, 7)
    assert text.startswith("[OutOfDomain] " + READ_TOO_FAR + name.split("-")[0].split(".")[0]), text
    tau = float(NAMED_TAU.search(text).group(1))
    assert np.all(np.isfinite(call(tau, 1)))  # one step of it, on a fresh object
    assert NAMED_TAU.search(error_text(call, 1.01 * tau, 1))  # four digits down: 1 % above is refused
    if name == "ReverseHeat1D":
        assert text.endswith(f"use tau <= {text.split('admissible tau = ')[1].split()[0]}"), text
        return
    # 5.5 steps of it: the least count is 6, and every count from it runs.
    t = 5.5 * tau
    assert int(NAMED_COUNT.search(error_text(call, t, 1)).group(1)) == 6
    for n in (6, 7, 12, 60):
        assert np.all(np.isfinite(call(t, n))), n
    assert NAMED_TAU.search(error_text(call, t, 5))


def test_an_object_whose_count_is_fixed_names_the_longest_t_it_serves():
    text = error_text(FAR["WentzellV8"], 1e35, 3)
    served = float(re.search(r"with its n_steps = 3 this object serves t <= (\S+); use n_steps >= (\d+)", text)
                   .group(1))
    assert np.all(np.isfinite(FAR["WentzellV8"](served, 3)))
    assert "this object serves" in error_text(FAR["WentzellV8"], served * 1.01, 3)  # the bound's four digits


def expmv(t, n):
    o = q.DiffusionExpmv1D(0.0, 1.0, 4, np.array([1.0, 0.0, 0.0, 2.0]))
    o.evolve(t, n)
    return o.values()


TWO = scipy.sparse.csr_matrix(np.array([[1.0, -0.3], [0.0, 2.0]]))
SYM2 = q.SymmetricOperator.from_csr(np.array([0, 2, 4], np.int64), np.array([0, 1, 0, 1], np.int32),
                                    np.array([1.0, -1.0, -1.0, 1.0]), 2)
V2 = np.array([1.0, -0.5])
# A call of x (a time, a step, a tau of either sign) whose plan would take more than 1e7 operator products,
# the refusal's own text, and how it names the x that passes.
CAPPED = {
    "GeneralOperator": (lambda x: q.GeneralOperator.from_csr(2, TWO.indptr.astype(np.int64),
                                                             TWO.indices.astype(np.int64), TWO.data)
                        .evolve_batched(x, np.ones((2, 3))), "CsrExpmvChernoff: t * norm_inf too large", "t up to"),
    "SymmetricOperator": (lambda x: SYM2.evolve_batched(x, V2[:, None]), "GraphKrylovChernoff: tau * spectral_bound",
                          "t up to"),
    "GraphKrylov": (lambda x: q.GraphKrylov(q.Laplacian.combinatorial(q.Graph.path(2))).evolve_batched(x, V2[:, None]),
                    "GraphKrylovChernoff: tau * spectral_bound", "t up to"),
    "MassKOperator": (lambda x: q.MassKOperator.from_k_and_mass(SYM2, np.array([2.0, 0.5, 0.5, 1.0])).evolve(x, V2),
                      "GraphKrylovChernoff: tau * spectral_bound", "t up to"),
    "phi_action": (lambda x: q.phi_action(SYM2, 2, x, V2), "phi_action: |tau| * lambda_max_bound", "tau up to"),
    "phi_action-negative": (lambda x: q.phi_action(SYM2, 1, -x, V2), "phi_action: |tau| * lambda_max_bound",
                            "|tau| up to"),
    "Etdrk4": (lambda h: q.Etdrk4.from_symmetric_op(SYM2, "allen_cahn", h).integrate(V2, 2),
               "Etdrk4: h * lambda_max_bound", "build the Etdrk4 with h <="),
}


@pytest.mark.parametrize("name", CAPPED)
def test_calls_beyond_the_product_cap_name_what_passes(name):
    # These refusals named nothing, or said only "use more steps" / "use a smaller h".
    call, cause, names = CAPPED[name]
    text = error_text(call, 1e300)
    assert text.startswith("[OutOfDomain] " + cause), text
    x = float(re.search(re.escape(names) + r" (\S+[0-9])", text).group(1))
    out = np.asarray(call(x), dtype=float)
    assert out.size and np.all(np.isfinite(out))
    if name != "phi_action-negative":  # that |tau| also keeps e^{|tau| L} v in range: no cap is near
        error_text(call, 1.01 * x)  # four digits down: by the cap, or by the rule it was taken with (tol, h)


def test_exponential_action_steps_beyond_the_cap_name_the_least_count():
    text = error_text(expmv, 1e300, 7)
    tau = float(NAMED_TAU.search(text).group(1))
    assert "DiffusionExpmv1D: tau = t/n_steps = 1.429e299" in text and "operator applications" in text
    # 1.5 steps of the named tau: two run, and so does every larger count (each step's plan is cheaper).
    assert int(NAMED_COUNT.search(error_text(expmv, 1.5 * tau, 1)).group(1)) == 2
    for n in (2, 20):
        np.testing.assert_allclose(expmv(1.5 * tau, n), 0.75, rtol=0, atol=1e-8)  # long past equilibrium: the mean


@pytest.mark.parametrize("cls, limit", [(q.TruncatedExp1D, 0.5), (q.TruncatedExp4th1D, 0.375)])
@pytest.mark.parametrize("n", [5, 11, 101])
def test_truncated_exponential_cfl_refusal_names_its_own_limit_and_counts(cls, limit, n):
    # TruncatedExp4th1D's refusal stated only the second-order condition with this grid's dx^2
    # (2 tau < dx^2), which steps of 0.375 dx^2 to 0.5 dx^2 meet, and neither class named a count.
    dx2 = (1.0 / (n - 1)) ** 2
    t = 0.9 * dx2  # the step 0.9 dx^2 is refused by both
    text = error_text(lambda: cls(0.0, 1.0, n, np.cos(np.pi * np.linspace(0.0, 1.0, n))).evolve(t, 1))
    assert text.startswith("[CflViolated] CFL violated for truncated-exp K=4: ") and "(need 2\u00b7tau" in text
    assert ("needs 8\u00b7tau\u00b7\u2016a\u2016_\u221e < 3\u00b7dx\u00b2;" in text) == (limit == 0.375)
    # The condition the fixed text states, with the numbers it shows, is the class's own.
    shown = float(re.search(r"dx\u00b2 = (\S+),", text).group(1))
    assert shown == float(f"{limit * 2 * dx2:.3e}")
    tau = float(NAMED_TAU.search(text).group(1))
    assert limit * dx2 * (1 - 1e-3) <= tau < limit * dx2
    k = int(NAMED_COUNT.search(text).group(1))
    assert k == math.ceil(0.9 / limit + 1e-12)
    for steps in (k, k + 1, 10 * k):
        obj = cls(0.0, 1.0, n, np.cos(np.pi * np.linspace(0.0, 1.0, n)))
        obj.evolve(t, steps)
        assert np.all(np.isfinite(obj.values())) and np.abs(obj.values()).max() <= 1.0
    assert "CFL violated" in error_text(lambda: cls(0.0, 1.0, n, np.ones(n)).evolve(t, k - 1))


def test_a_far_reading_step_with_a_fixed_count_names_the_t_it_serves():
    # Howland1D and EvolverHeat1DUnitV3 fix their count at construction: the refusal names the
    # longest t that count serves as well, and that t runs on a fresh object.
    for call, served in ((unit_v3, r"with its n_chernoff = 3 this object serves t <= (\S+);"),
                         (howland, r"with its \(n_t - 1\) = 3 this object serves t <= (\S+);")):
        text = error_text(call, 1e40, 3)
        t = float(re.search(served, text).group(1))
        assert np.all(np.isfinite(call(t, 3)))
        assert error_text(call, 1.01 * t, 3).startswith("[OutOfDomain] " + READ_TOO_FAR)


def test_point_eval_names_counts_within_its_argument():
    # n_steps is a 32-bit argument: where no such count fits the time, the longest t one call
    # serves is named instead of a count it would refuse.
    text = error_text(q.PointEval(0.0, 1.0, 17).eval_at, 1e40, COS17, 0.5, 2 ** 32 - 1)
    m = re.search(r"one call serves t = n_steps \* tau <= (\S+) \(n_steps = 4294967295\)", text)
    assert m and "use tau <= 2.640e28" in text


def test_obstacle_step_beyond_the_grid_names_the_step_that_runs():
    o = q.ObstacleNDV8(0.0, 1.0, 9, 0.0, 1.0, 9, 0.0)
    v = 1.0 + 0.5 * np.cos(np.arange(81.0))
    text = error_text(o.apply, 1e40, v)
    assert text.startswith("[OutOfDomain] " + READ_TOO_FAR + "ObstacleNDV8: tau = 1.000e40 exceeds")
    tau = float(re.search(r"use tau <= (\S+)$", text).group(1))
    for step in (tau, tau / 3):
        out = o.apply(step, v)
        assert np.all(np.isfinite(out)) and out.min() >= 0.0


def test_no_step_reads_within_reach_on_a_grid_too_fine_for_the_coefficient():
    # a = 3e214 on cells of 4e-77: even the least double step reads 1e22 cells out; the refusal
    # says no count helps instead of naming a tau of 0.
    s = q.AnisotropicShiftND2(5, 5, 0.0, 1.6e-76, 0.0, 1.6e-76, np.tile([3e214, 0.0, 0.0, 3e214], 25))
    u0 = 1.0 + 0.5 * np.cos(np.arange(25.0))
    s.set_state(u0)
    for t in (5e-324, 1.0, 1e300):
        text = error_text(s.evolve, t, 1)
        assert text.startswith("[OutOfDomain] " + READ_TOO_FAR + "AnisotropicShiftND2: tau = t/n_steps = ")
        assert text.endswith(" is refused, and so is every step down to the least double, 4.941e-324, on this grid "
                             "(dx = 4.000e-77, dy = 4.000e-77): no call serves t > 0 on it; a coarser grid or a "
                             "smaller coefficient does")
    assert np.array_equal(s.values(), u0)
    # A grid 1e25 times coarser serves it: the step named runs.
    s = q.AnisotropicShiftND2(5, 5, 0.0, 1.6e-51, 0.0, 1.6e-51, np.tile([3e214, 0.0, 0.0, 3e214], 25))
    s.set_state(u0)
    tau = float(NAMED_TAU.search(error_text(s.evolve, 1.0, 1)).group(1))
    s.evolve(tau, 1)
    assert np.all(np.isfinite(s.values())) and u0.min() <= s.values().min() and s.values().max() <= u0.max()
