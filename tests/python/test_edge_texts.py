"""What a user reads at the edges of the range: a refusal names the cause the user set and a value that
passes (and that value passes), a constructor refuses what no call can serve, and an input whose answer
is a double gets it."""

import re

import numpy as np
import pytest
import scipy.sparse as sp

import quorvane as q
from conftest import error_text

X41 = np.linspace(0.0, 1.0, 41)
BUMP = np.exp(-((X41 - 0.5) / 0.1) ** 2)
PATH6 = sp.csr_matrix(np.diag([1.0, 2, 2, 2, 2, 1]) - np.eye(6, k=1) - np.eye(6, k=-1))
OP6 = q.SymmetricOperator.from_csr(PATH6.indptr.astype(np.int64), PATH6.indices.astype(np.int32), PATH6.data, 6)
V6 = np.ones((6, 1))
V6[0] = 2.0


def tt(b, t):  # a rank-1 train on two 2-node axes; heat keeps the sum 12 on the periodic axes
    s = q.TtState([[1.0, 2.0], [3.0, 1.0]])
    q.TtEvolver([1.0, 1.0], [b, 0.0], 0.0, [0.0, 0.0], [1.0, 1.0], 0.0).evolve(s, t, 1)
    return s.inner_separable([[1.0, 1.0], [1.0, 1.0]])


def gridless(c, t):
    s = q.MeasureState([0.0], [1.0], 1)
    q.GridlessEvolver(1.0, 0.0, c).evolve(s, t, 1)


def check(call, expected):
    """expected: a fragment of the refusal's text (its kind first where it opens the text), or a
    predicate on the result."""
    if callable(expected):
        assert expected(call())
    else:
        assert expected in error_text(call)


def heat(L):  # 9 x 9 nodes of [0, L]^2, a Gaussian, c = 1, to t = L^2/10 in 40 steps
    d = np.linspace(-0.5, 0.5, 9) ** 2
    u = np.exp(-np.add.outer(d, d) / 0.05).ravel()
    return q.NonSeparable2D(0, L, 9, 0, L, 9, u, c=1.0).evolve(L * L / 10, 40)



@pytest.mark.parametrize("call, expected", [
    (lambda: q.HypoellipticChernoffKolmogorov(-40, 40, 9, -40, 40, 9, np.ones(81)).evolve(1.7e308, 1),
     "[OutOfDomain] a step reads u more than 2^53 cells"),
    (lambda: q.DirichletHeat2nd1D(0.0, 1e155, 41, BUMP).evolve(9e307, 1), "use n_steps >= 2 for t = 9e307"),
    (lambda: q.DirichletHeat2nd1D(0.0, 1e155, 41, BUMP).evolve(9e307, 2), lambda r: r is None),
    (lambda: q.SchrodingerComplex1D(0.0, 1.0, 64, np.ones(64, complex)).evolve(1e200, 1),
     "[OutOfDomain] SchrodingerComplex1D: tau = t/n_steps = 1.000e200 makes r = tau/(4 dx^2) = 9.923e202"),
    (lambda: q.Resolvent1D(0.0, 1.0, 33).eval(1e-310, X41[:33]), "[OutOfDomain] Resolvent1D: lambda = 1e-310 is below"),
    (lambda: q.Resolvent1D(0.0, 1.0, 33).eval(5.29e-28, X41[:33]), lambda r: np.all(np.isfinite(r))),
    (lambda: tt(0.0, 1e300), lambda s: s == pytest.approx(12.0)),  # was 0 from t = 1e38 on, NaN at 1e300
    (lambda: tt(1e308, 10.0), "[CflViolated] TtEvolver.evolve: the drift tau b[0]"),
    # Crank-Nicolson at theta = 5e306: every mode's factor is -1 to rounding, four steps keep u0.
    (lambda: q.KilledDirichlet1D(0.0, 1.0, 41, BUMP, 4).apply(1e307), lambda r: np.allclose(r, BUMP, atol=1e-12)),
    (lambda: q.MatrixDiffusion1D(0.0, 1.0, 21, np.ones(42), c_coupling=1.0).evolve(800.0, 1),
     "[NanInf] MatrixDiffusion1D: the result lies beyond the double range: these steps grow max|u| by a factor"),
    (lambda: q.MatrixDiffusion1D(0.0, 1.0, 21, np.ones(42), c_coupling=1.0).evolve(1e17, 1),
     "at every scale of u0: the coupling grows max|u| like e^{|c| t}, and |c| t = 1.000e17; t <= 6.907e2"),
    (lambda: q.MatrixDiffusion3D(0, 1, 5, 0, 1, 5, 0, 1, 5, np.ones(250), c_coupling=1.0).evolve(1e30, 1),
     "[NanInf] MatrixDiffusion3D: the result lies beyond the double range at every scale"),
    (lambda: gridless(2.0, 1.7e308), "[NanInf] GridlessEvolver.evolve: the result lies beyond the double range"),
    (lambda: q.heisenberg_heat_kernel(5e-324, 0.0, 0.0, 0.0), "from h >= 3.730e-155 on"),
    (lambda: q.HypoellipticChernoffHeisenberg().kernel(3.730e-155, 0.0, y=0.0, tc=0.0), lambda v: v < 1.8e308),
    (lambda: q.GraphKrylov(q.Laplacian.combinatorial(q.Graph.path(6)), path="lanczos").evolve_batched(1.7e308, V6),
     "it serves t up to 4.545e5 on this operator"),
    (lambda: OP6.evolve_batched(1.7e308, V6), "[OutOfDomain] GraphKrylovChernoff: tau * spectral_bound too large"),
    (lambda: q.mass_lumped_evolve(OP6, 2.0 * np.ones(6), 1.7e308, V6, path="lanczos"), "it serves t up to 9.09"),
    (lambda: q.AdaptivePI(-1, 1, 41, np.exp(-np.linspace(-1, 1, 41) ** 2)).evolve(1e30),
     "[OutOfDomain] AdaptivePI: a substep of t = 1e30 reads u more than 2^53 cells"),
])
def test_finite_inputs_get_their_answer_or_a_refusal_naming_what_passes(call, expected):
    check(call, expected)


@pytest.mark.parametrize("call, expected", [
    # Every c is served on every end kind (c = 1e-15 and 1.7e308 were refused with zero ends).
    (lambda: q.Subordinated1D(0.0, 1.0, 41, BUMP, subordinator="inverse_gaussian", c=1e-15, boundary="zero").evolve(
        1.0, 1), lambda r: r is None),
    (lambda: q.Subordinated1D(0.0, 1.0, 41, BUMP, subordinator="inverse_gaussian", c=1.7e308, boundary="linear").evolve(
        1e300, 1), lambda r: r is None),
    (lambda: q.Subordinated1D(0.0, 1.0, 41, BUMP, subordinator="inverse_gaussian", c=1e-15).evolve(1.0, 1),
     lambda r: r is None),
    (lambda: q.NonSeparable2DAniso(0, 1, 9, 0, 1, 9, np.full(81, 0.5), np.ones(81), beta_norm_bound=4.6e307),
     "[OutOfDomain] beta_norm_bound = 4.600e307 leaves no step on this grid"),
    (lambda: q.NonSeparable2D.with_beta_array(0, 1, 9, 0, 1, 9, np.full(81, 0.5), np.ones(81),
                                              beta_norm_bound=1e308), "beta_norm_bound <= 1.755e305 is served"),
    # The same flow on [0, L]^2 to t ~ L^2: NaN from L = 1e79 on.
    (lambda: heat(1e80), lambda r: np.allclose(r, heat(1.0), rtol=0, atol=1e-14)),
    (lambda: heat(2.0 ** -300), lambda r: np.array_equal(r, heat(1.0))),  # a power of two: the same steps
])
def test_constructors_refuse_what_no_call_serves(call, expected):
    check(call, expected)


@pytest.mark.parametrize("t", [1e-323, 5e-324])
def test_tiny_times_return_the_data(t):
    # Steps far below the grid's scale: u0 to rounding; the theta-derivatives are t (Delta u, Delta^2 u)
    # in exact arithmetic, here below 1e-150 (the greeks' rounding noise goes as sqrt(t)).
    assert np.allclose(q.AdaptivePI(0, 1, 41, BUMP).evolve(t), BUMP, rtol=0, atol=1e-14)
    value, delta, gamma = q.EvolverHeat1DGreeksV3(0.0, 1.0, 41, BUMP, 4).greeks(t)
    assert np.allclose(value, BUMP, rtol=0, atol=1e-14) and max(np.abs(delta).max(), np.abs(gamma).max()) < 1e-150


@pytest.mark.parametrize("call, fragment", [
    (lambda: q.DirichletHeat2nd1D(0.0, 1e-150, 41, BUMP).evolve(1.0, 1), "(L = xmax - xmin = 1e-150)"),
    (lambda: q.Heat1D(0.0, 1e140, 41, BUMP).evolve(1.7976931348623157e308, 1),
     "use n_steps >= 5 for t = 1.7976931348623157e308"),
    (lambda: q.NonSeparable2D(0, 1e150, 9, 0, 1e150, 9, np.ones(81), c=1.0).evolve(1e300, 1),
     "use n_steps >= 257 for t = 1e300"),
])
def test_long_numbers_print_in_exponent_form(call, fragment):
    text = error_text(call)
    assert fragment in text and not re.search(r"\d{21}", text), text  # 2^64 - 1 has 20 digits


def md1(c=1.0, scale=1.0):
    return q.MatrixDiffusion1D(0.0, 1.0, 21, scale * np.r_[np.ones(21), np.linspace(0, 1, 21)], c_coupling=c)


# A refusal of the list above, the number its text names, and the same call at that number: it runs.
@pytest.mark.parametrize("refused, pattern, rerun", [
    (lambda: q.DirichletHeat2nd1D(0.0, 1e155, 41, BUMP).evolve(1.7e308, 1), r"n_steps >= (\d+)",
     lambda n: q.DirichletHeat2nd1D(0.0, 1e155, 41, BUMP).evolve(1.7e308, int(n))),
    (lambda: q.SchrodingerComplex1D(0.0, 1.0, 64, np.ones(64, complex)).evolve(1e200, 1), r"served on this grid is (\S+);",
     lambda tau: q.SchrodingerComplex1D(0.0, 1.0, 64, 1e300 * np.ones(64, complex)).evolve(3 * float(tau), 3)),
    (lambda: q.Resolvent1D(0.0, 1.0, 200).eval(1e-300, np.ones(200)), r"is below (\S+),",
     lambda lam: q.Resolvent1D(0.0, 1.0, 200).eval(float(lam), np.ones(200))),
    (lambda: md1(-1.0).evolve(800.0, 100), r"max\|u0\| <= (\S+) stay",
     lambda top: md1(-1.0, float(top)).evolve(800.0, 100)),
    (lambda: md1(3.0).evolve(1e5, 7), r"t <= (\S+) keeps", lambda t: md1(3.0).evolve(float(t), 7)),
    (lambda: gridless(2.0, 1.7e308), r"t_final <= (\S+) keeps", lambda t: gridless(2.0, float(t))),
    (lambda: q.ObstacleGammaV8(0.0, 1.24e-114, 17, level=-1e300).inactive_gamma(5e236 * np.cos(np.arange(17.0))),
     r"max\|v\| <= (\S+) keeps", lambda top: q.ObstacleGammaV8(0.0, 1.24e-114, 17, level=-1e300).inactive_gamma(
         float(top) * np.cos(np.arange(17.0)))[0]),
])
def test_the_value_a_refusal_names_passes(refused, pattern, rerun):
    m = re.search(pattern, error_text(refused))
    assert m, error_text(refused)
    out = rerun(m.group(1))
    assert out is None or np.all(np.isfinite(out))
