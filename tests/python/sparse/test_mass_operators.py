"""MassKOperator and mass_lumped_evolve against dense exponentials of the mass-weighted generators."""

import functools
import math
import sys

import numpy as np
import pytest
import scipy.linalg as sl
import scipy.sparse as sp

import quorvane as q
from quorvane import QuorvaneError
from conftest import error_text
from sparse_refs import MASS_RATIO, path_laplacian, symmetric

RNG = np.random.default_rng(11)


def p1_dirichlet(n):
    """Stiffness and consistent mass of P1 elements on (0, 1) with Dirichlet ends, n interior nodes."""
    h = 1.0 / (n + 1)
    k = sp.diags([-np.ones(n - 1), 2 * np.ones(n), -np.ones(n - 1)], [-1, 0, 1]).tocsr() / h
    m = (np.diag(4 * np.ones(n)) + np.diag(np.ones(n - 1), 1) + np.diag(np.ones(n - 1), -1)) * h / 6
    return k, m


def mass_generator(k, m):
    r = np.linalg.cholesky(m).T  # M = R^T R
    ri = np.linalg.inv(r)
    return ri.T @ k.toarray() @ ri


@pytest.mark.parametrize("n,t", [(11, 0.02), (41, 0.01), (161, 1e-3)])
@pytest.mark.parametrize("path", ["chebyshev", "lanczos"])
def test_massk_matches_expm(n, t, path):
    k, m = p1_dirichlet(n)
    op = q.MassKOperator.from_k_and_mass(symmetric(q, k), m.ravel())
    v = np.sin(np.pi * np.arange(1, n + 1) / (n + 1)) + 0.1 * RNG.standard_normal(n)
    ref = sl.expm(-t * mass_generator(k, m)) @ v
    # The row-sum bound covers the whole spectrum: a bound below it gave errors of 1e20.
    assert np.abs(op.evolve(t, v, path=path) - ref).max() <= 1e-9 * np.abs(v).max()


def test_massk_implicit_is_backward_euler():
    k, m = p1_dirichlet(15)
    op = q.MassKOperator.from_k_and_mass(symmetric(q, k), m.ravel())
    v = RNG.standard_normal(15)
    a = mass_generator(k, m)
    ref = np.linalg.matrix_power(np.linalg.inv(np.eye(15) + (0.05 / 10) * a), 10) @ v
    assert np.allclose(op.evolve(0.05, v, path="implicit", n_steps=10, tol=1e-12), ref, rtol=0, atol=1e-9)


@pytest.mark.parametrize("n", [20, 300])  # one panel of the factor; several, shared by the workers
@pytest.mark.parametrize("path", ["chebyshev", "lanczos"])
def test_massk_identity_mass_equals_symmetric(path, n):
    a = path_laplacian(n, 4.0)
    s = symmetric(q, a)
    op = q.MassKOperator.from_k_and_mass(s, np.eye(n).ravel())
    v = RNG.standard_normal(n)
    assert np.array_equal(op.evolve(0.3, v, path=path), s.evolve_batched(0.3, v[:, None], path=path)[:, 0])
    assert np.array_equal(op.evolve(0.0, v), v)


def kms(n, rho):
    """The Kac-Murdock-Szego matrix rho^|i-j|: SPD, dense, and so is its factor; its pivots
    (the squares of R's diagonal) are 1, then 1 - rho^2."""
    return sl.toeplitz(rho ** np.arange(n))


@functools.lru_cache(maxsize=None)
def dense_pencil(n):
    """K, M = P1 mass + h/10 KMS(0.9), and A_hat = R^-T K R^-1 from LAPACK's factor as Q diag(lam) Q^T."""
    k, m = p1_dirichlet(n)
    m = m + kms(n, 0.9) / (10 * (n + 1))
    r = sl.cholesky(m)  # LAPACK: M = R^T R
    a = sl.solve_triangular(r, sl.solve_triangular(r, k.toarray(), trans="T").T, trans="T")  # symmetric
    lam, qv = np.linalg.eigh(a)
    return k, m, lam, qv


# Below one 64-row panel of the factor, and several panels (shared by the workers) of a size
# that is not a multiple of it.
@pytest.mark.parametrize("n", [40, 300])
@pytest.mark.parametrize("path", ["chebyshev", "lanczos", "implicit"])
def test_massk_dense_mass_matches_scipy(n, path):
    k, m, lam, qv = dense_pencil(n)
    t = 3.0 / lam[-1]  # t * rho(A_hat) = 3: every mode matters
    v = RNG.standard_normal(n)
    # Junk below the diagonal: only the upper triangle is read.
    junk = np.tril(RNG.standard_normal((n, n)), -1)
    op = q.MassKOperator.from_k_and_mass(symmetric(q, k), (np.triu(m) + junk).ravel())
    if path == "implicit":
        ref = qv @ ((1.0 + (t / 8) * lam) ** -8 * (qv.T @ v))
        got = op.evolve(t, v, path=path, n_steps=8, tol=1e-13)
    else:
        ref = qv @ (np.exp(-t * lam) * (qv.T @ v))
        got = op.evolve(t, v, path=path)
    # Through our R and through LAPACK's the operator differs by a few ulps times cond(M) (~20).
    assert np.abs(got - ref).max() <= 1e-9 * np.abs(v).max()


def test_massk_reads_only_the_upper_triangle():
    s = symmetric(q, path_laplacian(2, 1.0))
    v = np.array([1.0, -0.5])
    upper = q.MassKOperator.from_k_and_mass(s, np.array([2.0, 1.0, 5.0, 2.0]))
    sym = q.MassKOperator.from_k_and_mass(s, np.array([2.0, 1.0, 1.0, 2.0]))
    assert np.array_equal(upper.evolve(0.7, v), sym.evolve(0.7, v))
    # A NaN below the diagonal is never read either.
    q.MassKOperator.from_k_and_mass(s, np.array([2.0, 1.0, math.nan, 2.0]))
    assert upper.n() == 2


MASS_ERRORS = [
    (np.array([1.0, 2.0, 2.0, 1.0]), "[OutOfDomain] TriangularFactor: mass matrix is not positive-definite (pivot ≤ 0)"),
    (np.ones(3), "[GridMismatch] m_dense length 3 != n*n = 2*2 = 4"),
    (np.ones(8)[::2], "[GridMismatch] m_dense must be contiguous"),
    # Refused before the factor: a NaN passes the pivot test and builds a NaN factor.
    (np.array([1.0, math.nan, 0.0, 1.0]), "[NanInf] TriangularFactor: mass matrix has a non-finite entry: NaN"),
    (np.array([math.inf, 0.0, 0.0, 1.0]), "[NanInf] TriangularFactor: mass matrix has a non-finite entry: inf"),
]


# The failing pivot deep inside the factor: in a later panel, in the last row. KMS(0.9) with
# M[j][j] lowered by 1.5 (1 - 0.9^2) has the pivots 1, 0.19, ..., then -0.095 at j.
@pytest.mark.parametrize("j", [200, 299])
def test_massk_indefinite_mass_refused_deep_in_the_factor(j):
    m = kms(300, 0.9)
    m[j, j] -= 1.5 * (1 - 0.9**2)
    with pytest.raises(QuorvaneError) as e:
        q.MassKOperator.from_k_and_mass(symmetric(q, path_laplacian(300)), m.ravel())
    assert str(e.value) == MASS_ERRORS[0][1]


@pytest.mark.parametrize("m,msg", MASS_ERRORS)
def test_massk_construction_refusals(m, msg):
    with pytest.raises(QuorvaneError) as e:
        q.MassKOperator.from_k_and_mass(symmetric(q, path_laplacian(2)), m)
    assert str(e.value) == msg


NOT_PD = "[NanInf] TriangularFactor: mass matrix is not positive-definite "
BOUND = "[NanInf] MassKOperator: spectral bound (largest absolute row sum of R^-T K R^-1) overflows the double range: "


# Finite masses whose factor or operator leaves the double range. The first two used to be built
# (a NaN pivot passed the test d <= 0; a NaN row sum was skipped by the bound's maximum) and evolved
# v into v; the third was built with an infinite bound.
@pytest.mark.parametrize("k,m,msg", [
    # R[0][3] = 1e200 / 1e-150 = inf, R[1][3] = -inf, R[2][3] = inf - inf: the last pivot is NaN.
    (path_laplacian(4), [[1e-300, 1e-150, 1e-150, 1e200], [0, 2, 2, 0], [0, 0, 3, 0], [0, 0, 0, 1]],
     NOT_PD + "(pivot overflows the double range): NaN"),
    # R^-1 (1, 1) / 1e-10 times K = 1e300 [[1, 1], [1, 1]]: inf - inf in K w.
    (sp.csr_matrix(np.full((2, 2), 1e300)), 1e-20 * np.array([[1.0, 0.5], [0.5, 1.0]]), BOUND + "NaN"),
    # A_hat = K / 1e-310.
    (path_laplacian(3), 1e-310 * np.eye(3), BOUND + "inf"),
    # An overflowed entry R[0][1] = 1e308 / 1e-150, a square (1e200)^2: the next pivot is -inf.
    (path_laplacian(2), [[1e-300, 1e308], [0, 1e308]], NOT_PD + "(pivot \u2264 0): -inf"),
    (path_laplacian(2), [[1.0, 1e200], [0, 1e300]], NOT_PD + "(pivot \u2264 0): -inf"),
])
def test_massk_overflow_of_finite_mass_refused(k, m, msg):
    k_op, flat = symmetric(q, k), np.ravel(np.asarray(m, dtype=np.float64))
    refs = sys.getrefcount(k_op), sys.getrefcount(flat)
    with pytest.raises(QuorvaneError) as e:
        q.MassKOperator.from_k_and_mass(k_op, flat)
    assert (str(e.value), e.value.kind) == (msg, "NanInf")
    # No operator was made: nothing keeps the arguments.
    del e
    assert (sys.getrefcount(k_op), sys.getrefcount(flat)) == refs


@pytest.mark.parametrize("args,kw,msg", [
    ((-1.0, np.ones(2)), {}, "[OutOfDomain] t_final must be finite and >= 0"),
    ((1.0, np.ones(2)), {"path": "krylov"},
     "[Unsupported] path must be 'chebyshev', 'lanczos', or 'implicit', got 'krylov'"),
    ((1.0, np.ones(6)[::2]), {}, "[GridMismatch] v must be contiguous"),
    ((1.0, np.ones(3)), {}, "[GridMismatch] v length 3 != op.n() 2"),
])
def test_massk_evolve_refusals(args, kw, msg):
    op = q.MassKOperator.from_k_and_mass(symmetric(q, path_laplacian(2)), np.eye(2).ravel())
    with pytest.raises(QuorvaneError) as e:
        op.evolve(*args, **kw)
    assert str(e.value) == msg


@pytest.mark.parametrize("path", ["chebyshev", "lanczos"])
def test_lumped_matches_expm_and_unit_mass_is_symmetric(path):
    k, _ = p1_dirichlet(30)
    s = symmetric(q, k)
    m = RNG.uniform(0.01, 0.05, 30)
    v = RNG.standard_normal((30, 3))
    ref = sl.expm(-0.002 * np.diag(1 / m) @ k.toarray()) @ v
    got = q.mass_lumped_evolve(s, m, 0.002, v, path=path)
    assert np.abs(got - ref).max() <= 1e-9 * np.abs(v).max()
    ones = q.mass_lumped_evolve(s, np.ones(30), 0.002, v, path=path)
    assert np.array_equal(ones, s.evolve_batched(0.002, v, path=path))


def test_lumped_implicit_and_constant_mass():
    a = path_laplacian(12, 2.0)
    s = symmetric(q, a)
    v = RNG.standard_normal((12, 2))
    ref = np.linalg.matrix_power(np.linalg.inv(np.eye(12) + 0.1 * a.toarray() / 3.0), 5) @ v
    got = q.mass_lumped_evolve(s, 3.0 * np.ones(12), 0.5, v, path="implicit", n_steps=5, tol=1e-12)
    assert np.allclose(got, ref, rtol=0, atol=1e-9)


LUMPED_ERRORS = [
    ((np.ones(3), -0.0 - 1.0, np.ones((3, 1))), {}, "[OutOfDomain] t_final must be finite and >= 0"),
    ((np.ones(3), 1.0, np.ones((3, 1))), {"path": "Lanczos"},
     "[Unsupported] path must be 'chebyshev', 'lanczos', or 'implicit', got 'Lanczos'"),
    ((np.ones(3), 1.0, np.ones((2, 1))), {}, "[GridMismatch] f0.shape[0]=2 != n_nodes=3"),
    ((np.ones(6)[::2], 1.0, np.ones((3, 1))), {}, "[GridMismatch] m_diag must be contiguous"),
    ((np.ones(4), 1.0, np.ones((3, 1))), {}, "[GridMismatch] m_diag length 4 != k_op.n() 3"),
    ((np.array([1.0, 0.0, 1.0]), 1.0, np.ones((3, 1))), {}, "[OutOfDomain] m_diag[1] = 0 is not finite-positive"),
    ((np.array([1.0, 1.0, math.nan]), 1.0, np.ones((3, 1))), {}, "[OutOfDomain] m_diag[2] = NaN is not finite-positive"),
    ((np.ones(3), 1.0, np.ones((3, 1))), {"tol": 0.0},
     "[OutOfDomain] GraphKrylovChernoff: tol must be finite and positive"),
    # v_nc of any other dimension count is refused in its place among the checks, not at conversion.
    ((np.ones(3), 1.0, np.ones(3)), {}, "[GridMismatch] f0 must be 2-D [N, C]"),
    ((np.ones(3), 1.0, np.ones((3, 1, 1))), {}, "[GridMismatch] f0 must be 2-D [N, C]"),
    ((np.ones(3), -1.0, np.ones(3)), {}, "[OutOfDomain] t_final must be finite and >= 0"),
]


@pytest.mark.parametrize("args,kw,msg", LUMPED_ERRORS)
def test_lumped_refusals(args, kw, msg):
    with pytest.raises(QuorvaneError) as e:
        q.mass_lumped_evolve(symmetric(q, path_laplacian(3)), *args, **kw)
    assert str(e.value) == msg


BEYOND_DOUBLES = ("[OutOfDomain] mass_lumped_evolve: the mass ratio max(m_diag)/min(m_diag) is too large for the double "
                  "range: D^1/2 v (with the spread of v_nc) or D^-1/2 K D^-1/2 spans more than the doubles hold, and "
                  "entries that matter would be lost")


def two_masses(heavy, light, rest=1.0):
    m = np.full(12, rest)
    m[0], m[1] = heavy, light
    return m


def led_by(*head):
    """A column of ones whose first entries are head."""
    v = np.ones(12)
    v[:len(head)] = head
    return v[:, None]


COS = (np.cos(np.arange(12.0)) + 2.0)[:, None]


def lumped(m, t, path, v, refusal=None, own=False, id=None):
    return pytest.param(m, t, path, v, refusal, own, id=id)


# Node 1, light, next to node 0, heavy: t/m_1 is of order 1 while t/m_0 underflows. D^1/2 v then spans
# sqrt(heavy / light), up to 2^1049; its light entries came back as 0 after the action's own scaling, and
# the congruence's entries overflowed for masses below 1e-308 (t = 0 included).
LUMPED_EXTREME = [
    lumped(two_masses(1e308, 1e-308), 0.0, "chebyshev", COS, id="t0-chebyshev"),
    lumped(two_masses(1e308, 1e-308), 0.0, "lanczos", COS, id="t0-lanczos"),
    lumped(two_masses(1e308, 5e-324), -0.0, "implicit", COS, id="t0-implicit-subnormal"),
    lumped(two_masses(1e300, 1e-300), 1e-300, "chebyshev", COS, id="1e300-1e-300-t1e-300"),
    lumped(two_masses(1e300, 1e-300), 1e-320, "chebyshev", COS, id="1e300-1e-300-t1e-320"),
    lumped(two_masses(1e308, 1e-308), 1e-308, "chebyshev", COS, id="1e308-1e-308"),
    lumped(two_masses(1.7e308, 5e-324), 1e-323, "chebyshev", COS, id="max-subnormal"),
    # Columns of data 1e300 apart: each is scaled by its own largest entry.
    lumped(two_masses(1e300, 1e-300), 1e-300, "chebyshev", COS * np.array([[1e150, 1e-150]]), id="columns"),
    # The same scale everywhere, subnormal: k / m overflowed and sqrt(m) v underflowed.
    lumped(np.full(12, 1e-320), 1e-320, "chebyshev", COS * 1e-200, id="subnormal-chebyshev"),
    lumped(np.full(12, 1e-320), 1e-320, "lanczos", COS * 1e-200, id="subnormal-lanczos"),
    lumped(two_masses(1e300, 1e-300), 1e-300, "lanczos", COS, MASS_RATIO, id="1e300-1e-300-lanczos"),
    lumped(two_masses(1e300, 1e-300), 1e-300, "implicit", COS, MASS_RATIO, id="1e300-1e-300-implicit"),
    # sqrt(m_1) v_1 with v_1 = 1e-100 lies 2^1381 below sqrt(m_0) v_0: no double holds both.
    lumped(two_masses(1.7e308, 5e-324), 1e-323, "chebyshev", COS * led_by(1.0, 1e-100), BEYOND_DOUBLES,
           id="beyond-doubles"),
    # A subnormal entry 2^2097 below a huge one with masses that need no scaling: it was refused as a mass
    # ratio of 1. It is the data's own spread, and goes as the plain route lets it go.
    lumped(np.ones(12), 1e-3, "chebyshev", led_by(1e308, 5e-324), id="unit-masses-subnormal-chebyshev"),
    lumped(np.ones(12), 1e-3, "lanczos", led_by(1e308, 5e-324), id="unit-masses-subnormal-lanczos"),
    lumped(np.ones(12), 0.5, "chebyshev", led_by(-1e308, 5e-324, 1e308, -5e-324), id="subnormals-between-huge"),
    # D^1/2 v overflows (2e308) and the subnormal entry falls below it; masses below 1 push it out as well.
    lumped(np.full(12, 4.0), 1e-3, "chebyshev", led_by(1e308, 5e-324), id="masses-4-overflow"),
    lumped(np.full(12, 0.5), 1e-3, "lanczos", led_by(1e308, 5e-324), id="masses-0.5-subnormal"),
    # Masses that need the placed route, and an entry 2^2071 below the column's top at a node of mass 1:
    # beyond any double on its own, so it is let go, not refused.
    lumped(two_masses(1e300, 1e-300), 1e-300, "chebyshev", led_by(1.0, 1e150, 1e300, 5e-324),
           id="placed-data-spread"),
    # Roots 2^498 apart (node 0) need the placed route, whose bound near 2^100 made the time t 2^-98: for
    # t = 1e-300 that was 0, and nodes 3 and 5, which take 1 from node 4 over t, came back 1, not 2.
    lumped(two_masses(1e300, 1.0), 1e-300, "chebyshev", led_by(1.0, 1.0, 1.0, 1.0, 1e300), own=True,
           id="placed-tiny-t"),
    lumped(two_masses(1e300, 1.0), 1e-290, "chebyshev", COS * led_by(1.0, 1.0, 1.0, 1.0, 1e300), own=True,
           id="placed-subnormal-t"),
]


@pytest.mark.parametrize("m,t,path,v,refusal,own", LUMPED_EXTREME)
def test_lumped_masses_at_the_ends_of_the_doubles(m, t, path, v, refusal, own):
    a = path_laplacian(12)
    s = symmetric(q, a)
    call = lambda: q.mass_lumped_evolve(s, m, t, v, path=path)
    if refusal is not None:
        assert error_text(call) == refusal
        return
    got = call()
    if t == 0.0:
        assert np.array_equal(got, v)
        return
    # t / m formed directly: rows of negligible rate underflow to 0, as they should.
    ref = sl.expm(-(t / m)[:, None] * a.toarray()) @ v
    # The action's tol, 1e-10, against each column's largest value.
    assert (np.abs(got - ref).max(axis=0) <= 1e-9 * np.abs(ref).max(axis=0)).all()
    if own:
        # Each node against its own value: the flow into the small values of a column counts too.
        assert (np.abs(got - ref) <= 1e-9 * np.abs(ref)).all()
    if (m == 1.0).all():
        # Unit masses need no scaling: the operator's own action, bit for bit.
        assert np.array_equal(got, s.evolve_batched(t, v, path=path))
