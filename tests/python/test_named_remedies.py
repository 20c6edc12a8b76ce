"""What a refusal names passes: a step bound X reused as t = k X in k steps, and the remedy a refusal
names where another rule of the same call could refuse it."""

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


@pytest.mark.parametrize("call", [
    lambda t: q.DriftReaction1D(-1.0, 1.0, 41, np.ones(41), b=0.3).evolve(t, 1),
    lambda t: q.Strang1D(-1.0, 1.0, 41, np.ones(41), b=0.3).evolve(t, 1),
], ids=["DriftReaction1D", "Strang1D"])
def test_a_read_beyond_what_the_grid_resolves_is_named_as_the_step(call):
    # Reads beyond 2^53 cells used to be refused under an internal function's name; the refusal
    # names the longest step that reads within reach, and that step runs.
    text = error_text(call, 1e300)
    assert text.startswith("[OutOfDomain] ") and ": a step of tau = t/n_steps = 1.000e300 reads u at x + 2 tau b(x)" \
        in text and "more than 2^53 cells beyond the end nodes" in text, text
    longest = float(text.split("steps of tau <= ")[1].split(" ")[0])
    call(longest)
