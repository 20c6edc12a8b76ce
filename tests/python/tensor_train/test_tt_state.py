"""TtState: construction from separable slices, queries and separable inner products."""

import functools
import itertools
import math
from fractions import Fraction

import numpy as np
import pytest

from conftest import check_surface, raises_exact
from quorvane import QuorvaneError, TtCoupledEvolver, TtEvolver, TtState, VarCoefTtEvolver
from tt_helpers import point_values, snapshot


def test_surface():
    check_surface(TtState, "(slices)", ndim="($self)", n_j="($self, j)", peak_rank="($self)",
                  storage_size="($self)", inner_separable="($self, functionals)")
    assert TtState.inner_separable.__doc__.splitlines()[0] == (
        "Separable inner product `⟨f, u⟩` for a list of per-axis numpy vectors.")
    assert not hasattr(TtState, "__len__")


def test_queries_of_a_separable_state():
    s = TtState([np.array([1.0, 2.0, 3.0]), [1, 2], (0.5,), np.arange(4.0)])
    assert (s.ndim(), s.peak_rank(), s.storage_size()) == (4, 1, 10)
    assert [s.n_j(j) for j in range(4)] == [3, 2, 1, 4]
    f = [[1.0, -1.0, 2.0], [3.0, 1.0], [2.0], [1.0, 1.0, 0.0, -1.0]]
    # The inner product of a separable state is the product of the per-axis dots.
    expected = np.prod([np.dot(fj, sj) for fj, sj in zip(f, [[1, 2, 3], [1, 2], [0.5], np.arange(4.0)])])
    assert s.inner_separable(f) == pytest.approx(expected, rel=1e-15)


class Floatish:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("slices, exc, message", [
    ([], QuorvaneError, "[GridMismatch] TtState: slices list is empty"),
    ([[1.0], []], QuorvaneError, "[GridMismatch] TtState: axis 1 is empty"),
    ([[math.nan]], QuorvaneError, "[NanInf] TtState: NaN/Inf in axis 0"),
    ([[1.0], [2.0, -math.inf]], QuorvaneError, "[NanInf] TtState: NaN/Inf in axis 1"),
    (["abc"], QuorvaneError, "[GridMismatch] TtState: axis 0 is not a float64 array"),
    ([[1.0], np.ones((2, 2))], QuorvaneError, "[GridMismatch] TtState: axis 1 is not a float64 array"),
    ([[1.0], 3.0], QuorvaneError, "[GridMismatch] TtState: axis 1 is not a float64 array"),
    (([1.0],), TypeError, "argument 'slices': 'tuple' object cannot be converted to 'PyList'"),
    (np.ones((2, 2)), TypeError, "argument 'slices': 'ndarray' object cannot be converted to 'PyList'"),
])
def test_construction_errors(slices, exc, message):
    raises_exact(exc, message, TtState, slices)


def test_list_subclass_and_float_convertible_items_are_accepted():
    class L(list):
        pass

    s = TtState(L([[Floatish(), 1]]))
    assert s.inner_separable([[1.0, 1.0]]) == 3.5


@pytest.mark.parametrize("functionals, message", [
    ([], "[GridMismatch] TtState.inner_separable: slices list is empty"),
    ([[1.0]], "[GridMismatch] TtState.inner_separable: functionals length != ndim"),
    ([[1.0, 1.0], [1.0, 1.0]], "[GridMismatch] TtState.inner_separable: axis 0 length mismatch"),
    ([[1.0], [1.0, 1.0, 1.0]], "[GridMismatch] TtState.inner_separable: axis 1 length mismatch"),
    ([[1.0], [1.0, math.nan]], "[NanInf] TtState.inner_separable: NaN/Inf in axis 1"),
    ([[1.0], "ab"], "[GridMismatch] TtState.inner_separable: axis 1 is not a float64 array"),
])
def test_inner_separable_errors(functionals, message):
    raises_exact(QuorvaneError, message, TtState([[2.0], [1.0, 3.0]]).inner_separable, functionals)


def test_n_j_range_and_conversion():
    s = TtState([[1.0, 2.0, 3.0]])
    raises_exact(QuorvaneError, "[OutOfDomain] TtState.n_j: axis out of range", s.n_j, 1)
    with pytest.raises(OverflowError):
        s.n_j(-1)
    with pytest.raises(TypeError, match="argument 'j'"):
        s.n_j(0.5)


# --- non-finite intermediates and extreme scales, through every evolver -----------------------

S3 = [[1.0, 2.0, 3.0], [1.0, -1.0, 2.0, 0.5], [2.0, 1.0]]
NON_FINITE = "[NanInf] all values must be finite (no NaN/Inf)"


def at(j, value, default, d=3):
    return [value if i == j else default for i in range(d)]


def var_coef_tiny_domain(j):
    n = [len(x) for x in S3]
    return VarCoefTtEvolver([[1.0] * m for m in n], [[0.0] * m for m in n], [[]] * 3,
                            at(j, (0.0, 1e-300), (0.0, 1.0)), 0.0)


def separable(slices):
    return functools.reduce(np.multiply.outer, [np.asarray(x, dtype=float) for x in slices])


def scaled(slices, exponents):
    return [np.ldexp(np.asarray(x, dtype=float), e) for x, e in zip(slices, exponents)]


IDENTITY = lambda: TtEvolver([0.0] * 3, [0.0] * 3, 0.0, [0.0] * 3, [1.0] * 3, 0.0)
PAIR_AT_T0 = lambda: TtCoupledEvolver([0.5] * 3, [0.0] * 3, 0.0, ("Tridiagonal", 0.2), [0.0] * 3, [1.0] * 3, 0.0)
G = [[1.0, 2.0, 3.0], [1.0, 2.0, 3.0]]


# (A separable step's a or b of 1e308 no longer makes a NaN: its reads are taken modulo the
# axis' period; test_edge_texts covers those.)
# An axis of spacing 1e-300 has no three-point operator in doubles: refused before any step.
TINY_SPACING = ("[OutOfDomain] VarCoefTtEvolver.evolve: axis {}: its three-point operator, a/h^2, is no double at "
                "the spacing h = {}: the grid spacing h = (hi - lo)/(n - 1) must have a finite, normal square h^2")
REFUSING = {
    "VarCoefTtEvolver domain": (var_coef_tiny_domain,
                                lambda j: TINY_SPACING.format(j, ["5.000e-301", "3.333e-301", "1.000e-300"][j])),
}


@pytest.mark.parametrize("make, slices, t, expected", [
    # A NaN or an infinity made on any axis, first, middle or last, is refused: the rounding
    # must not read it as a zero singular value and wipe the train.
    *[pytest.param(lambda f=f, j=j: f(j), S3, 1.0, text(j), id=f"{name} axis {j}")
      for name, (f, text) in REFUSING.items() for j in range(3)],
    pytest.param(lambda: TtEvolver([0.1] * 3, [0.0] * 3, 1e308, [0.0] * 3, [1.0] * 3, 0.0), S3, 1.0, None,
                 id="reaction 1 + tau c overflows"),
    # Spacings of 1e-160 (h^2 underflows): the pair factor kills every mode but the mean,
    # so each value becomes the mean 4 of [1, 2, 3] x [1, 2, 3] (sum 36).
    pytest.param(lambda: TtCoupledEvolver([1.0, 1.0], [0.0, 0.0], 0.0, ("Tridiagonal", 0.3), [0.0, 0.0],
                                          [2e-160, 2e-160], 0.0), G, 1.0, np.full((3, 3), 4.0),
                 id="pair factor at spacings 1e-160"),
    # Cores far from unit size round and re-split to the same tensor (identity steps).
    pytest.param(IDENTITY, scaled(S3, [600, 0, -600]), 1.0, separable(S3), id="rounding 2^600 2^0 2^-600"),
    pytest.param(IDENTITY, scaled(S3, [-600, 600, 0]), 1.0, separable(S3), id="rounding 2^-600 2^600 2^0"),
    pytest.param(PAIR_AT_T0, scaled(S3, [500, 500, -1000]), 0.0, separable(S3), id="pair split 2^1000"),
    pytest.param(PAIR_AT_T0, scaled(S3, [-500, -500, 1000]), 0.0, separable(S3), id="pair split 2^-1000"),
])
def test_a_non_finite_step_is_refused_never_rounded_to_zero(make, slices, t, expected):
    s = TtState(slices)
    n = [len(x) for x in slices]
    points = list(itertools.product(*[range(m) for m in n]))
    if expected is None or isinstance(expected, str):
        before, values = snapshot(s, n), point_values(s, points, n)
        raises_exact(QuorvaneError, expected or NON_FINITE, make().evolve, s, t, 1)
        assert snapshot(s, n) == before
        assert np.array_equal(point_values(s, points, n), values)
    else:
        make().evolve(s, t, 1)
        # A few roundings of a rank-1 (or re-split rank-2) train: ulps, not truncation.
        assert point_values(s, points, n) == pytest.approx(expected.ravel(), rel=1e-13, abs=1e-13)


# --- partial products beyond the double range: the true value, or a refusal ----------------------

def exact_inner(slices, functionals):
    """The inner product of a separable state in exact rational arithmetic, rounded once."""
    return float(math.prod(sum(Fraction(f) * Fraction(s) for f, s in zip(fj, sj))
                           for fj, sj in zip(functionals, slices)))


def inner(slices, functionals):
    return lambda: TtState(slices).inner_separable(functionals), exact_inner(slices, functionals)


def pair_evolved(a, rho, t):
    """Two coupled periodic axes of 4 nodes, spacing 1, t*a of order one: the evolved values,
    and the exact pair factor by FFT with its exponent formed from t*a (a*lambda overflows)."""
    u0 = [[1.0, 2.0, 0.5, 3.0], [2.0, -1.0, 1.0, 0.5]]
    theta = 2 * np.pi * np.arange(4) / 4
    lam, mu = 2 * np.cos(theta) - 2, np.sin(theta)
    ta = [t * x for x in a]
    exponent = (ta[0] * lam[:, None] + ta[1] * lam[None, :]
                - 2 * rho * (t * math.sqrt(a[0]) * math.sqrt(a[1])) * np.outer(mu, mu))
    want = np.real(np.fft.ifft2(np.exp(exponent) * np.fft.fft2(separable(u0))))

    def run():
        s = TtState(u0)
        TtCoupledEvolver(a, [0.0, 0.0], 0.0, ("Tridiagonal", rho), [0.0, 0.0], [3.0, 3.0], 0.0).evolve(s, t, 1)
        return point_values(s, list(itertools.product(range(4), range(4))), [4, 4]).reshape(4, 4)
    return run, want


NOT_SPD = "[OutOfDomain] TtCoupledEvolver: pair (0,1) block is not SPD (det={})"


def not_spd(a, rho, det):
    return (lambda: TtCoupledEvolver(a, [0.0] * 2, 0.0, ("Tridiagonal", rho), [0.0] * 2, [3.0] * 2, 0.0),
            NOT_SPD.format(det))
INNER_OVERFLOW = "[NanInf] TtState.inner_separable: the inner product overflows (not representable as a float)"


@pytest.mark.parametrize("case", [
    # Axis 0 alone contracts to -1e400 (unscaled: inf - inf = NaN); the whole product is 8e290.
    pytest.param(inner([[1e300, -3e300, 2e300], [4e-300], [1e250, 1e250]],
                       [[1e100, 1e100, 0.5e100], [1e200], [1e-260, -3e-260]]), id="inner: partial -1e400"),
    # 1e-200 * 1e-200 underflows to 0 before the 1e300 brings it back to 2e-100.
    pytest.param(inner([[1e-200], [1e-200, 1e-200], [1e300]], [[1.0], [1.0, 1.0], [1.0]]), id="inner: partial 1e-400"),
    pytest.param((lambda: TtState([[1e200], [1e200, 3.0]]).inner_separable([[1.0], [1.0, 0.0]]), INNER_OVERFLOW),
                 id="inner: the true value 1e400"),
    pytest.param((lambda: TtState([[-1e300], [1e300]]).inner_separable([[1e300], [1e-300]]), INNER_OVERFLOW),
                 id="inner: the true value -1e300^2"),
    # a_j a_k = 2.25e616: sqrt(a_j a_k) was inf and c_j + c_k overflowed in the definiteness test (NaN,
    # accepted); the pair symbol's terms c*lambda overflow before t = 2.5e-308 brings them back.
    pytest.param(pair_evolved([1.5e308, 1.5e308], 0.3, 2.5e-308), id="pair: a_j a_k = 2e616"),
    pytest.param(pair_evolved([1.5e308, 1.5e308], 0.0, 2.5e-308), id="pair: a_j a_k = 2e616, rho 0"),
    # rho' = 0.3e200 squares to inf: det was inf - inf, the block refused as not SPD (det=NaN).
    pytest.param(pair_evolved([1e200, 1e200], 0.3, 5e-201), id="pair: a_j a_k = 1e400"),
    # a_j a_k = 1e-400 underflowed: rho' became 0 and the coupling vanished from the factor.
    pytest.param(pair_evolved([1e-200, 1e-200], 0.3, 5e199), id="pair: a_j a_k = 1e-400"),
    # Not positive definite at any scale (|rho| >= 1): the singular block 1e-200 * [[1, 1], [1, 1]]
    # passed while rho'^2 underflowed, and the one with rho' = inf passed on a NaN eigenvalue.
    pytest.param((lambda: TtCoupledEvolver([1e-200] * 2, [0.0] * 2, 0.0, ("Tridiagonal", 1.0), [0.0] * 2,
                                           [3.0] * 2, 0.0), NOT_SPD.format("0.000e0")), id="pair: singular 1e-200"),
    pytest.param((lambda: TtCoupledEvolver([1e308] * 2, [0.0] * 2, 0.0, ("Tridiagonal", 2.0), [0.0] * 2,
                                           [3.0] * 2, 0.0), NOT_SPD.format("-inf")), id="pair: rho' = inf"),
    # Positive definite blocks whose eigenvalues lie far apart: (c_j + c_k)/2 - sqrt(...) cancelled to
    # 0 and refused them; det / lambda_max does not cancel.
    pytest.param(pair_evolved([1e-20, 1.0], 0.0, 1.0), id="pair: eigenvalues 1e-20 and 1"),
    # det = 1.9e-17; rho' = 0.9e-8 moves the values by ~1e-9, far above the tolerance.
    pytest.param(pair_evolved([1e-16, 1.0], 0.9, 1.0), id="pair: det 1.9e-17, coupled"),
    pytest.param(pair_evolved([1e-160, 1e160], 0.3, 1e-160), id="pair: 1e-160 against 1e160"),
    pytest.param(pair_evolved([1e160, 1e300], 0.0, 1e-300), id="pair: 1e160 against 1e300, rho 0"),
    pytest.param(pair_evolved([1e160, 1e300], 0.9, 1e-300), id="pair: 1e160 against 1e300"),
    # rho' = sqrt(6) rounded below the root: c_j c_k - rho'^2 = 1.06e-15 exactly, positive definite.
    pytest.param(pair_evolved([2.0, 3.0], 1.0, 0.1), id="pair: rho 1, det 1e-15 exactly"),
    # Here rho'^2 = 0.1 * 1.6 exactly: singular, though the cancelling form gave a positive eigenvalue;
    # with 1.3 the exact det is -8.2e-18 (the text shows the plain difference).
    pytest.param(not_spd([0.1, 1.6], 1.0, "0.000e0"), id="pair: rho 1, singular exactly"),
    pytest.param(not_spd([0.1, 1.3], 1.0, "-2.776e-17"), id="pair: rho 1, det -8e-18 exactly"),
    # The det shown is c_j c_k - rho'^2 as plainly computed wherever that stays in the double range
    # (scaling 1e-160 by 2^-532 made it subnormal: -9.043e-1, or 0 for 1e-300 by 2^-333) ...
    pytest.param(not_spd([1e-160, 1e160], 1.38, "-9.044e-1"), id="pair: det text -0.9044"),
    pytest.param(not_spd([1e-300, 1e100], 1.5, "-1.250e-200"), id="pair: det text -1.25e-200"),
    # ... and formed without leaving it otherwise: -1.25e460 overflows only at the end, -1.25e-320
    # is subnormal, -1.25e-340 rounds to -0.
    pytest.param(not_spd([1e160, 1e300], 1.5, "-inf"), id="pair: det -1.25e460"),
    pytest.param(not_spd([1e-160, 1e-160], 1.5, "-1.250e-320"), id="pair: det -1.25e-320"),
    pytest.param(not_spd([1e-170, 1e-170], 1.5, "-0.000e0"), id="pair: det -1.25e-340"),
])
def test_out_of_range_intermediates_give_the_true_value_or_a_refusal(case):
    call, expected = case
    if isinstance(expected, str):
        raises_exact(QuorvaneError, expected, call)
    else:
        got = call()
        # Inner products: a few roundings per axis; pair factors: sums of 16 terms in and out of
        # the Fourier basis and a re-split, some ulps of the largest value.
        assert np.all(np.isfinite(got))
        assert got == pytest.approx(expected, rel=1e-13, abs=1e-13 * np.max(np.abs(expected)))


# --- trains whose cores lie far apart in size: the rounding keeps the values -------------------

X8 = np.arange(8.0)
FAR_APART = [np.cos(X8) + 2, np.sin(X8) + 2, np.ones(8)]
A8 = [1.0 + 0.1 * np.sin(X8)]
EVOLVERS = {
    "TtEvolver": lambda: TtEvolver([1.0] * 3, [0.0] * 3, 0.0, [0.0] * 3, [1.0] * 3, 1e-10),
    "TtCoupledEvolver": lambda: TtCoupledEvolver([1.0] * 3, [0.0] * 3, 0.0, ("Tridiagonal", 0.3), [0.0] * 3,
                                                 [1.0] * 3, 1e-10),
    "VarCoefTtEvolver": lambda: VarCoefTtEvolver(A8 * 3, [np.zeros(8)] * 3, [[]] * 3, [(0.0, 1.0)] * 3, 1e-10),
}


def far_slices(factors):
    return [f * s for f, s in zip(factors, FAR_APART)]


@pytest.mark.parametrize("name", EVOLVERS)
@pytest.mark.parametrize("factors, exponents", [
    # Values near 2e-297: the first bond pushed 1e-300 * 1e-300 and the train became 0.
    ([1e-300, 1e-300, 1e300], [996, 996, -996]),
    # Values near 1e300: 1e300 * 1e300 overflowed.
    ([1e300, 1e300, 1e-300], [-996, -996, 996]),
    # Values near 1e307: their norm (the last core's size after the pass) exceeds the double range.
    ([2.0 ** 340] * 3, [-340] * 3),
    # The first two cores multiply to 2^1200: so does a merged pair, whose halves share the scale.
    ([2.0 ** 600, 2.0 ** 600, 2.0 ** -700], [-600, -600, 700]),
])
def test_rounding_keeps_trains_whose_cores_lie_far_apart(name, factors, exponents):
    far = TtState(far_slices(factors))
    # The same tensor with every core near unit size (the exponents sum to zero or scale exactly).
    near = TtState([np.ldexp(f * s, e) for f, s, e in zip(factors, FAR_APART, exponents)])
    for s in (far, near):
        EVOLVERS[name]().evolve(s, 0.01, 3)
    points = list(itertools.product(range(8), repeat=3))
    want = np.ldexp(point_values(near, points, [8] * 3), -sum(exponents))
    got = point_values(far, points, [8] * 3)
    # Both runs take the same operations up to powers of two: a few ulps at most.
    assert got == pytest.approx(want, rel=1e-13)
    # Diffusion on periodic axes keeps the sum (weighted by 2^e per axis to stay representable).
    weights = [np.ldexp(np.ones(8), e) for e in exponents]
    assert far.inner_separable(weights) == pytest.approx(exact_inner(far_slices(factors), weights), rel=1e-12)
