"""SymmetricOperator and GeneralOperator against dense SciPy exponentials, and their refusals."""

import math
import os
import re
import subprocess
import sys
import threading

import numpy as np
import pytest
import scipy.linalg as sl
import scipy.sparse as sp
from scipy.sparse.csgraph import laplacian as csgraph_laplacian
from scipy.sparse.linalg import expm_multiply

import quorvane as q
from conftest import error_text
from quorvane import QuorvaneError
from sparse_refs import MASS_RATIO, csr_parts, path_laplacian, symmetric

RNG = np.random.default_rng(7)


def fem_stiffness(n):
    """A non-uniform 1-D P1 stiffness with Dirichlet ends: symmetric positive definite."""
    x = np.sort(RNG.uniform(0, 1, n + 2))
    h = np.diff(x)
    main = 1 / h[:-1] + 1 / h[1:]
    off = -1 / h[1:-1]
    return sp.diags([off, main, off], [-1, 0, 1]).tocsr()


@pytest.mark.parametrize("path,tol", [("chebyshev", 1e-9), ("lanczos", 1e-9)])
def test_symmetric_krylov_paths_match_expm(path, tol):
    a = fem_stiffness(40) * 1e-3
    op = symmetric(q, a)
    v = RNG.standard_normal((40, 3))
    ref = sl.expm(-0.4 * a.toarray()) @ v
    assert np.abs(op.evolve_batched(0.4, v, path=path) - ref).max() <= tol * np.abs(v).max()


def test_symmetric_implicit_is_backward_euler():
    a = path_laplacian(25, 3.0)
    op = symmetric(q, a)
    v = RNG.standard_normal((25, 2))
    step = np.linalg.inv(np.eye(25) + (1.0 / 7) * a.toarray())
    ref = np.linalg.matrix_power(step, 7) @ v
    # CG to a relative residual 1e-12 per solve, seven solves.
    assert np.allclose(op.evolve_batched(1.0, v, path="implicit", n_steps=7, tol=1e-12), ref, atol=1e-10)


def test_symmetric_t_zero_and_columns_bit_identical():
    a = path_laplacian(50, 2.0)
    op = symmetric(q, a)
    v = RNG.standard_normal((50, 37))  # more columns than workers
    assert np.allclose(op.evolve_batched(0.0, v), v, rtol=0, atol=1e-15)
    full = op.evolve_batched(0.9, v, path="lanczos")
    for c in (0, 17, 36):
        alone = op.evolve_batched(0.9, v[:, c:c + 1].copy(), path="lanczos")
        assert np.array_equal(full[:, c], alone[:, 0])
    before = threading.active_count()
    op.evolve_batched(0.9, v)
    assert threading.active_count() == before


def test_symmetric_accessors():
    op = symmetric(q, sp.csr_matrix(np.array([[2.0, -1.0], [-1.0, 2.0]])))
    assert (op.n(), op.lambda_max_bound()) == (2, 3.0)
    empty = q.SymmetricOperator.from_csr(np.zeros(4, np.int64), np.zeros(0, np.int32), np.zeros(0), 3)
    assert empty.lambda_max_bound() == 0.0


def sym(indptr, indices, data, n, **kw):
    return q.SymmetricOperator.from_csr(np.array(indptr, np.int64), np.array(indices, np.int32),
                                        np.array(data, np.float64), n, **kw)


PAIR = ([0, 2, 4], [0, 1, 0, 1])
SYM_ERRORS = [
    ((PAIR[0], [0, 5, 0, 1], [1.0, math.nan, 1.0, 1.0], 2), {},
     "[NanInf] SymmetricOperator::from_csr: non-finite entry: NaN"),
    (([0, 1], [0], [1.0], 2), {}, "[OutOfDomain] from_csr_parts: row_ptr.len() must equal n_nodes+1"),
    # An offset start would drop the leading entries silently.
    (([1, 2, 3], [0, 1, 1], [5.0, 1.0, 1.0], 2), {}, "[OutOfDomain] from_csr_parts: row_ptr[0] must be 0"),
    (([0, 1, 1], [-1], [1.0], 2), {}, "[OutOfDomain] from_csr_parts: col_idx entry >= n_nodes"),
    ((PAIR[0], [0, 1, 0, 1], [1.0, 1.0, 1.001, 1.0], 2), {},
     "[OutOfDomain] SymmetricOperator::from_csr: asymmetric entry exceeds sym_tol"),
    # The diagonal sweep runs over the whole matrix before any symmetry test.
    (([0, 2, 4, 5], [0, 1, 0, 1, 2], [1.0, 1.0, 2.0, 1.0, -1.0], 3), {},
     "[OutOfDomain] SymmetricOperator::from_csr: diagonal entry < 0"),
    (([0, 2, 3], [0, 1, 1], [1.0, 0.0, 1.0], 2), {},
     "[OutOfDomain] SymmetricOperator::from_csr: no (j,i) entry for existing (i,j)"),
    ((PAIR[0], PAIR[1], [1.0, 1.0, 1.0, 1.0], 2), {"sym_tol": -1.0},
     "[OutOfDomain] SymmetricOperator::from_csr: asymmetric entry exceeds sym_tol"),
    ((PAIR[0], PAIR[1], [1.0, 1e308, -1e308, 1.0], 2), {},
     "[NanInf] SymmetricOperator::from_csr: asymmetric entry exceeds sym_tol: inf"),
]


@pytest.mark.parametrize("args,kw,msg", SYM_ERRORS)
def test_symmetric_from_csr_refusals(args, kw, msg):
    with pytest.raises(QuorvaneError) as e:
        sym(*args, **kw)
    assert str(e.value) == msg


def test_symmetric_from_csr_tolerance_and_stored_zeros():
    sym(PAIR[0], PAIR[1], [1.0, 1.0, 1.0 + 1e-11, 1.0], 2)
    sym(PAIR[0], PAIR[1], [1.0, 0.0, 0.0, 1.0], 2)
    with pytest.raises(QuorvaneError, match=r"^\[GridMismatch\] data must be contiguous$"):
        q.SymmetricOperator.from_csr(np.array([0, 1, 2], np.int64), np.array([0, 1], np.int32), np.ones(4)[::2], 2)


EVOLVE_ERRORS = [
    ((-1.0, np.ones((3, 1))), {}, "[OutOfDomain] t_final must be finite and >= 0"),
    ((1.0, np.ones((3, 1))), {"path": "Chebyshev"},
     "[Unsupported] path must be 'chebyshev', 'lanczos', or 'implicit', got 'Chebyshev'"),
    ((1.0, np.ones((4, 1))), {}, "[GridMismatch] f0.shape[0]=4 != n_nodes=3"),
    ((1.0, np.ones((3, 0))), {}, "[OutOfDomain] n_cols must be >= 1"),
    ((1.0, np.ones((3, 1))), {"tol": 0.0}, "[OutOfDomain] GraphKrylovChernoff: tol must be finite and positive"),
    ((1.0, np.ones((3, 1))), {"tol": math.nan}, "[NanInf] GraphKrylovChernoff: tol must be finite and positive: NaN"),
]


@pytest.mark.parametrize("args,kw,msg", EVOLVE_ERRORS)
def test_symmetric_evolve_refusals(args, kw, msg):
    op = symmetric(q, path_laplacian(3))
    with pytest.raises(QuorvaneError) as e:
        op.evolve_batched(*args, **kw)
    assert str(e.value) == msg


def advection_diffusion(n, peclet):
    d = path_laplacian(n, 1.0).tolil()
    for i in range(n - 1):
        d[i, i + 1] += peclet
        d[i + 1, i + 1] -= peclet
    return d.tocsr()


def test_general_matches_expm_and_transpose():
    a = advection_diffusion(30, 1.0)  # integer entries: the transpose product is exact
    indptr, indices, data = csr_parts(a)
    op = q.GeneralOperator.from_csr(30, list(indptr), indices, data)
    v = RNG.standard_normal((30, 4))
    ref = sl.expm(-2.5 * a.toarray()) @ v
    assert np.abs(op.evolve_batched(2.5, v) - ref).max() <= 1e-12 * np.abs(v).max()
    assert np.array_equal(op.evolve_batched(0.0, v), v)
    assert op.evolve_batched(1.0, np.zeros((30, 0))).shape == (30, 0)
    ints = RNG.integers(-9, 9, 30).astype(float)
    assert np.array_equal(op.apply_transpose(ints), a.toarray().T @ ints)


def test_general_unsorted_rows_and_scalar_taylor():
    # Columns in any order; the transpose still comes out right.
    op = q.GeneralOperator.from_csr(2, [0, 2, 3], [1, 0, 0], [3.0, 1.0, 2.0])
    assert list(op.apply_transpose([1.0, 1.0])) == [3.0, 3.0]
    one = q.GeneralOperator.from_csr(1, [0, 1], [0], [2.0])
    assert one.evolve_batched(0.7, np.array([[3.0]]))[0, 0] == pytest.approx(3 * math.exp(-1.4), rel=2e-15)


@pytest.mark.parametrize("norm,text", [(12.0, "1.2000e1"), (0.5, "5.0000e-1"), (0.0, "0.0000e0")])
def test_general_repr(norm, text):
    op = q.GeneralOperator.from_csr(2, [0, 1, 1], [1], [norm])
    assert repr(op) == f"GeneralOperator(n=2, norm_inf={text})"
    assert op.norm_inf_bound() == norm


GEN_ERRORS = [
    ((0, [0], [], []), "[OutOfDomain] GeneralOperator::from_csr: row_ptr.len() must be n + 1, n >= 1"),
    ((2**64 - 1, [], [], []), "[OutOfDomain] GeneralOperator::from_csr: row_ptr.len() must be n + 1, n >= 1"),
    ((2, [0, 1, 2], [0, 1], [1.0]), "[OutOfDomain] GeneralOperator::from_csr: col_idx/vals length mismatch with row_ptr[n]"),
    ((2, [1, 2, 3], [0, 1, 1], [5.0, 1.0, 1.0]), "[OutOfDomain] GeneralOperator::from_csr: row_ptr[0] must be 0"),
    ((2, [0, 2, 1], [0, 1], [1.0, 1.0]), "[OutOfDomain] GeneralOperator::from_csr: col_idx/vals length mismatch with row_ptr[n]"),
    ((2, [0, 2, 2], [2, 0], [1.0, math.nan]), "[OutOfDomain] GeneralOperator::from_csr: column index out of range"),
    ((2, [0, 2, 2], [0, 2], [math.nan, 1.0]), "[NanInf] GeneralOperator::from_csr: non-finite entry: NaN"),
    ((3, [0, 2, 1, 2], [0, 1], [1.0, 1.0]), "[OutOfDomain] GeneralOperator::from_csr: row_ptr is not non-decreasing"),
]


@pytest.mark.parametrize("args,msg", GEN_ERRORS)
def test_general_from_csr_refusals(args, msg):
    with pytest.raises(QuorvaneError) as e:
        q.GeneralOperator.from_csr(*args)
    assert str(e.value) == msg


def test_general_evolve_refusals():
    op = q.GeneralOperator.from_csr(2, [0, 1, 2], [0, 1], [1e300, 1e300])
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] t must be finite and >= 0$"):
        op.evolve_batched(math.inf, np.ones((2, 1)))
    with pytest.raises(QuorvaneError, match=r"^\[GridMismatch\] v_nc has shape\[0\]=3, expected n=2$"):
        op.evolve_batched(1.0, np.ones((3, 2)))
    with pytest.raises(QuorvaneError, match=r"^\[GridMismatch\] v has length 3, expected n=2$"):
        op.apply_transpose([1.0, 2.0, 3.0])
    # An action that would need ~1e300 products (or overflow) is refused up front.
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] CsrExpmvChernoff: t \* norm_inf too large"):
        op.evolve_batched(1.0, np.ones((2, 1)))
    with pytest.raises(TypeError):
        q.GeneralOperator.from_csr(2, "012", [0], [1.0])


def test_apply_transpose_lets_non_finite_values_through():
    # The documented exception: a plain product, A^T v with NaN and Inf carried where they enter.
    op = q.GeneralOperator.from_csr(3, [0, 1, 2, 2], [1, 2], [1.0, 0.0])
    assert "propagates" in op.apply_transpose.__doc__
    y = op.apply_transpose([math.nan, math.inf, 2.0])
    assert y[0] == 0.0 and math.isnan(y[1]) and math.isnan(y[2])


OVERFLOW = "[NanInf] GeneralOperator::apply_transpose: A^T v overflows the double range: "


# A finite v whose product leaves the range is refused, naming the first non-finite entry of
# A^T v; a v that is not finite still propagates.
@pytest.mark.parametrize("a, v, result", [
    ([[0, 1], [0, 0]], [1, 2], [0, 1]),
    ([[2, 0], [0, 1]], [1.7e308, 1.0], OVERFLOW + "inf"),
    ([[1, 0], [-1, 1]], [-1.7e308, 1.7e308], OVERFLOW + "-inf"),
    ([[2, 0], [-2, 0]], [1e308, 1e308], OVERFLOW + "NaN"),  # inf + (-inf)
    ([[2, 0], [0, 1]], [1.7e308, math.nan], [math.inf, math.nan]),
])
def test_apply_transpose_refuses_only_the_overflow_of_finite_input(a, v, result):
    indptr, indices, data = csr_parts(np.array(a, dtype=float))
    op = q.GeneralOperator.from_csr(len(a), list(indptr), indices, data)
    if isinstance(result, str):
        assert error_text(op.apply_transpose, v) == result
    else:
        assert np.array_equal(op.apply_transpose(v), result, equal_nan=True)


# The Chebyshev, Lanczos and implicit actions behind four calls: (call on [N, 1] columns, its argument's name).
KRYLOV_CALLS = {
    "SymmetricOperator": (lambda op, v, path: op.evolve_batched(0.5, v, path=path), "v_nc"),
    "MassKOperator": (lambda op, v, path: q.MassKOperator.from_k_and_mass(op, np.eye(op.n()).ravel())
                      .evolve(0.5, v[:, 0].copy(), path=path)[:, None], "v"),
    "mass_lumped_evolve": (lambda op, v, path: q.mass_lumped_evolve(op, np.ones(op.n()), 0.5, v, path=path), "v_nc"),
    "GraphKrylov": (lambda op, v, path: q.GraphKrylov(q.Laplacian.combinatorial(q.Graph.path(op.n())), path=path)
                    .evolve_batched(0.5, v), "features_nc"),
}


KRYLOV_CASES = [(name, path) for name in KRYLOV_CALLS for path in ("chebyshev", "lanczos", "implicit")
                if (name, path) != ("GraphKrylov", "implicit")]  # GraphKrylov has no implicit path


@pytest.mark.parametrize("name,path", KRYLOV_CASES)
def test_user_values_never_reach_the_internal_fault_text(name, path):
    call, arg = KRYLOV_CALLS[name]
    op = symmetric(q, path_laplacian(6))  # the path graph's Laplacian: e^{-tA} keeps constants
    nan = np.ones((6, 1))
    nan[2] = math.nan
    with pytest.raises(QuorvaneError) as e:
        call(op, nan, path)
    assert str(e.value) == f"[NanInf] {arg} contains NaN or Inf: NaN"
    # 1e308 * ones is its own exact image: every path carries such data scaled by a power of two
    # and reaches it (the expansions used to overflow on the way).
    big = np.full((6, 1), 1e308)
    assert np.allclose(call(op, big, path), big, rtol=1e-10, atol=0)


@pytest.mark.parametrize("path", ["chebyshev", "lanczos", "implicit"])
def test_overflow_during_the_work_is_naninf(path):
    # J = ones(3, 3) is positive semi-definite (spectrum 3, 0, 0) but e^{-tJ} grows the max norm:
    # e^{-10 J} (x, -x, -x) = (x, -x, -x) + (1 - e^{-30}) x / 3 (1, 1, 1), beyond the range for x = 1.5e308.
    op = symmetric(q, sp.csr_matrix(np.ones((3, 3))))
    x = 1.5e308
    with pytest.raises(QuorvaneError) as e:
        op.evolve_batched(10.0, np.array([[x], [-x], [-x]]), path=path)
    assert str(e.value).startswith("[NanInf] ") and "quorvane bug" not in str(e.value), str(e.value)
    ok = op.evolve_batched(10.0, np.array([[1.0], [-1.0], [-1.0]]), path=path)
    exact = sl.expm(-10.0 * np.ones((3, 3))) @ np.array([1.0, -1.0, -1.0])
    # Implicit: 100 backward-Euler steps damp the mode of 3 to 1.3^-100 ~ 4e-12 instead of e^-30, and
    # each CG solve stops at the relative residual tol = 1e-10.
    assert np.abs(ok[:, 0] - exact).max() < 1e-8


def test_chebyshev_refuses_a_matrix_outside_its_promise():
    # [[0, 1], [1, 0]] passes the symmetric checks but has the eigenvalue -1: e^{-tA} grows like e^t,
    # which a positive semi-definite operator's expansion never does.
    op = symmetric(q, sp.csr_matrix(np.array([[0.0, 1.0], [1.0, 0.0]])))
    for t in (100.0, 1e4):
        with pytest.raises(QuorvaneError) as e:
            op.evolve_batched(t, np.array([[1.0], [0.0]]))
        assert str(e.value) == ("[OutOfDomain] Chebyshev step: the expansion grew the vector, so the operator's "
                                "spectrum is not within [0, spectral_bound] (is it positive semi-definite?)")


# Every route of the Chebyshev action on the 60-node path Laplacian K (a stiffness and its diagonal or dense
# mass 2 I): (call (t, v_n1, tol) -> [N, 1] result, the generator whose e^{-tG} it applies).
TOL_N = 60


def _tol_routes():
    k = path_laplacian(TOL_N)
    op = symmetric(q, k)
    half = k.toarray() / 2.0
    massk = q.MassKOperator.from_k_and_mass(op, (2.0 * np.eye(TOL_N)).ravel())
    graph = q.Laplacian.combinatorial(q.Graph.path(TOL_N))
    return {
        "SymmetricOperator": (lambda t, v, tol: op.evolve_batched(t, v, tol=tol), k.toarray()),
        "GraphKrylov": (lambda t, v, tol: q.GraphKrylov(graph, tol=tol).evolve_batched(t, v), k.toarray()),
        "mass_lumped_evolve": (lambda t, v, tol: q.mass_lumped_evolve(op, np.full(TOL_N, 2.0), t, v, tol=tol), half),
        "MassKOperator": (lambda t, v, tol: massk.evolve(t, v[:, 0].copy(), tol=tol)[:, None], half),
    }


TOL_ROUTES = _tol_routes()


@pytest.mark.parametrize("t_rho", [1e2, 1e3, 1e4, 1e5])
@pytest.mark.parametrize("route", TOL_ROUTES)
def test_chebyshev_tol_bounds_the_whole_action(route, t_rho):
    call, g = TOL_ROUTES[route]
    t = t_rho / np.abs(g).sum(axis=1).max()
    # Constants are the null space, where every sub-step's truncation error has the same sign: they added
    # up over the t rho / 400 sub-steps to 250-390 tol at t rho = 1e5.
    ones = np.ones((TOL_N, 1))
    for tol in (1e-4, 1e-8, 1e-12):
        assert np.abs(call(t, ones, tol) - 1.0).max() <= tol, tol
    # The bound holds in the 2-norm for any data; a mean of 1 keeps weight on the null space.
    v = RNG.standard_normal((TOL_N, 1)) + 1.0
    ref = sl.expm(-t * g) @ v
    for tol in (1e-4, 1e-8):  # SciPy's own error here is some 1e-13
        assert np.linalg.norm(call(t, v, tol) - ref) <= tol * np.linalg.norm(v), tol


# Every route takes its time as t, and the refusal names t.
@pytest.mark.parametrize("t_rho,tol,floor", [(1e5, 1e-13, "1e-12"), (1.0, 1e-16, "1e-15")])
@pytest.mark.parametrize("route", TOL_ROUTES)
def test_chebyshev_refuses_a_tol_below_its_rounding(route, t_rho, tol, floor):
    call, g = TOL_ROUTES[route]
    t = t_rho / np.abs(g).sum(axis=1).max()
    ones = np.ones((TOL_N, 1))
    assert error_text(call, t, ones, tol) == (
        "[OutOfDomain] Chebyshev action: tol is below what rounding allows over this t * spectral_bound (the "
        f"sub-steps' rounding errors add up); use tol >= {floor}")
    # The tol it names is met.
    assert np.abs(call(t, ones, float(floor)) - 1.0).max() <= float(floor)


# The 80-cell finite-volume diffusion of unit conductivity, whose spectral bound is 4 * 79^2, at t rho = 1.
IMPLICIT_K = path_laplacian(80, 79.0**2)
STIFF_K_DENSE = IMPLICIT_K.toarray()
IMPLICIT_T = 1.0 / (4 * 79.0**2)
IMPLICIT_CALLS = {
    "SymmetricOperator": lambda op, v, n, tol: op.evolve_batched(IMPLICIT_T, v, path="implicit", n_steps=n, tol=tol),
    "mass_lumped_evolve": lambda op, v, n, tol: q.mass_lumped_evolve(op, np.ones(80), IMPLICIT_T, v, path="implicit",
                                                                      n_steps=n, tol=tol),
    "MassKOperator": lambda op, v, n, tol: q.MassKOperator.from_k_and_mass(op, np.eye(80).ravel()).evolve(
        IMPLICIT_T, v[:, 0].copy(), path="implicit", n_steps=n, tol=tol)[:, None],
}


@pytest.mark.parametrize("n_steps,tol", [(100, 1e-4), (10000, 1e-4), (10000, 1e-8)])
@pytest.mark.parametrize("route", IMPLICIT_CALLS)
def test_implicit_solves_move_every_step(route, n_steps, tol):
    op = q.ConservativeDiffusionChernoff.from_k_array(80, 0.0, 1.0, np.ones(80)).to_symmetric_operator()
    v = np.cos(np.pi * np.arange(80) / 79.0)[:, None] + RNG.standard_normal((80, 1))
    out = IMPLICIT_CALLS[route](op, v, n_steps, tol)
    # Short steps: each solve's start already met ||r|| <= tol ||b||, and 10000 steps returned v unchanged.
    w, vec = np.linalg.eigh(IMPLICIT_K.toarray())
    scheme = vec @ ((1.0 + IMPLICIT_T / n_steps * np.maximum(w, 0.0)) ** -float(n_steps) * (vec.T @ v[:, 0]))
    assert np.linalg.norm(out[:, 0] - scheme) <= tol * np.linalg.norm(v)
    # Backward Euler's own error, first order: |(1 + x/n)^-n - e^-x| <= 0.271 / n for every mode x >= 0.
    exact = sl.expm(-IMPLICIT_T * IMPLICIT_K.toarray()) @ v[:, 0]
    assert np.linalg.norm(out[:, 0] - exact) <= (0.271 / n_steps + tol) * np.linalg.norm(v)


# Stiff solves of the 80-cell diffusion (rho = 24964) that run out of conjugate-gradient iterations: the
# cap derived from the bound max(ln(2/tol), 1) sqrt(1 + dt rho) is held to the dimension 80, and CG in
# rounding needs a few more than that. (route, t rho, n_steps, tol, cg_max_iter, data, masses).
STIFF_K = q.ConservativeDiffusionChernoff.from_k_array(80, 0.0, 1.0, np.ones(80)).to_symmetric_operator()
RAMP = np.linspace(1.0, 3.0, 80)
ALTERNATING = ((-1.0) ** np.arange(80))[:, None]
E0 = np.eye(80)[:, [0]]
BOUND = ("Each backward-Euler solve may take up to {} conjugate-gradient iterations here (max(ln(2/tol), 1) * "
         "sqrt(1 + (t/n_steps) * spectral_bound) with (t/n_steps) * spectral_bound = {}), more than the {} allowed")
CHEBYSHEV = "or path=\"chebyshev\", which applies e^{-tA} without solves."
STEPS = "n_steps >= {}, whose shorter steps' solves take at most {} iterations; "
STIFF_SOLVES = [
    ("SymmetricOperator", 1e4, 1, 1e-11, None, E0, None, 80,
     BOUND.format(2603, "1.000e4", 80) + ", the operator's dimension. What passes: cg_max_iter=2603; " +
     STEPS.format(1184, 80) + CHEBYSHEV),
    ("SymmetricOperator", 1e4, 1, 1e-11, 30, E0, None, 30,
     BOUND.format(2603, "1.000e4", 30) + " by cg_max_iter. What passes: cg_max_iter=2603; " +
     STEPS.format(30381, 30) + CHEBYSHEV),
    ("mass_lumped_evolve", 1e5, 1, 1e-8, None, ALTERNATING, RAMP, 80,
     BOUND.format(5970, "9.754e4", 80) + ", the operator's dimension (this call takes no cg_max_iter). What "
     "passes: " + STEPS.format(5906, 80) + CHEBYSHEV),
    ("mass_lumped_evolve", 1e5, 10, 1e-11, None, ALTERNATING, RAMP, 80,
     BOUND.format(2571, "9.754e3", 80) + ", the operator's dimension (this call takes no cg_max_iter). What "
     "passes: " + STEPS.format(11542, 80) + CHEBYSHEV),
    ("MassKOperator", 1e4, 1, 1e-11, None, E0, None, 80,
     BOUND.format(2603, "1.000e4", 80) + ", the operator's dimension (this call takes no cg_max_iter). What "
     "passes: " + STEPS.format(1184, 80) + CHEBYSHEV),
]


def stiff_call(route, t, v, masses, **kw):
    if route == "SymmetricOperator":
        return STIFF_K.evolve_batched(t, v, **kw)
    if route == "mass_lumped_evolve":
        return q.mass_lumped_evolve(STIFF_K, masses, t, v, **kw)
    return q.MassKOperator.from_k_and_mass(STIFF_K, np.eye(80).ravel()).evolve(t, v[:, 0].copy(), **kw)[:, None]


@pytest.mark.parametrize("route,t_rho,n_steps,tol,cap,v,masses,max_iter,note", STIFF_SOLVES)
def test_implicit_solves_out_of_iterations_name_what_passes(route, t_rho, n_steps, tol, cap, v, masses, max_iter,
                                                            note):
    t = t_rho / STIFF_K.lambda_max_bound()
    kw = dict(path="implicit", n_steps=n_steps, tol=tol, **({} if cap is None else {"cg_max_iter": cap}))
    with pytest.raises(QuorvaneError) as e:
        stiff_call(route, t, v, masses, **kw)
    assert re.fullmatch(rf"\[ConvergenceFailed\] convergence failed: last_residual = \S+, max_iter = {max_iter}",
                        str(e.value))
    assert e.value.__notes__ == [note]
    # What it names passes: the bound as the cap, the step count (the scheme it computes is backward Euler of
    # those steps, against a dense reference within tol, in the mass-weighted norm where masses weigh), and
    # the Chebyshev path (e^{-tG} itself, within tol).
    g = STIFF_K_DENSE if masses is None else STIFF_K_DENSE / masses[:, None]
    w = np.ones(80) if masses is None else np.sqrt(masses)
    norm = lambda x: np.linalg.norm(w * x[:, 0])  # noqa: E731
    passing = [{"n_steps": int(re.search(r"n_steps >= (\d+)", note).group(1))}, {"path": "chebyshev"}]
    if "cg_max_iter=" in note:
        passing.append({"cg_max_iter": int(re.search(r"cg_max_iter=(\d+)", note).group(1))})
    for change in passing:
        args = {**kw, **change}
        out = stiff_call(route, t, v, masses, **args)
        if args["path"] == "chebyshev":
            ref = sl.expm(-t * g) @ v
        else:
            ref = np.linalg.matrix_power(np.linalg.inv(np.eye(80) + t / args["n_steps"] * g), args["n_steps"]) @ v
        # The solves' errors add up to about tol ||v|| (0.2 tol at most here); the references' rounding is far below.
        assert norm(out - ref) <= 2 * tol * norm(v), change


TOL_TEXT = "GraphKrylovChernoff: tol must be finite and positive"
NEEDS = ("[OutOfDomain] GraphKrylovChernoff: m_max is too small for the Lanczos path to reach tol within its "
         "work limit; use m_max >= {}")


def weighted_path_graph(n, w):
    return q.Graph.from_edges(n, np.array([[i, i + 1, w[i]] for i in range(n - 1)]))


def lanczos_input_scaled(scale, rtol):
    # Lanczos is linear: a vector of length 1e-301 (or subnormal) is no zero vector.
    lap = q.Laplacian.combinatorial(weighted_path_graph(12, 1.0 + 0.1 * np.arange(11)))
    a = sp.csr_matrix((lap.vals(), lap.col_idx(), lap.row_ptr()), shape=(12, 12))
    f = np.cos(np.arange(12.0))[:, None]
    return lambda: q.GraphKrylov(lap, path="lanczos").evolve_batched(1.0, scale * f), scale * expm_multiply(-a, f), rtol


def lanczos_operator_scaled(scale):
    # (s A, t / s) is the problem (A, t): residual norms of order s must neither vanish nor overflow.
    a = path_laplacian(20)
    v = np.cos(np.arange(20.0))[:, None]
    op = symmetric(q, a * scale)
    return lambda: op.evolve_batched(0.8 / scale, v, path="lanczos"), sl.expm(-0.8 * a.toarray()) @ v, 1e-13


def lanczos_capped(m_max):
    # x = t rho = 4 calls for 18 vectors; tol 1e-8 is out of reach with fewer than 3 in 10^7 products.
    a = path_laplacian(30)
    v = np.sin(np.arange(30.0))[:, None]
    call = lambda: symmetric(q, a).evolve_batched(1.0, v, path="lanczos", tol=1e-8, m_max=m_max)
    return call, NEEDS.format(3) if m_max < 3 else sl.expm(-a.toarray()) @ v, 1e-8


def frechet_capped():
    lap = q.Laplacian.combinatorial(weighted_path_graph(12, np.linspace(0.5, 1.5, 11)))
    u0, dj = np.eye(12)[:, [0]], np.eye(12)[:, [11]]
    call = lambda: q.graph_expmv_frechet(q.GraphKrylov(lap, path="lanczos", m_max=1), u0, dj,
                                         t=2.0 / lap.spectral_bound, params=[(0, 1)])
    return call, NEEDS.format(3), None


def massk_tol(tol, path, text):
    op = q.MassKOperator.from_k_and_mass(symmetric(q, path_laplacian(10)), (np.eye(10) * 2.0).ravel())
    return lambda: op.evolve(1.0, np.ones(10), path=path, tol=tol), text, None


def normalized_scaled(w):
    # D^-1/2 W D^-1/2 does not change when every weight is scaled: the unit-weight graph is the reference.
    w = np.asarray(w, dtype=float)
    lap = q.Laplacian.normalized(weighted_path_graph(len(w) + 1, w))
    unit = w / w[0]
    ref = csgraph_laplacian(np.diag(unit, 1) + np.diag(unit, -1), normed=True)
    bound = np.abs(ref).sum(axis=1).max()
    return lambda: np.append(lap.to_dense(), lap.spectral_bound), np.append(ref, bound), 1e-15


def lumped_prescale_overflow(path):
    # sqrt(m) v reaches 1e350 and 1e450: beyond the doubles, but neither v nor the result is.
    k = path_laplacian(6)
    m = 1e300 * np.linspace(1.0, 3.0, 6)
    v = 1e200 * np.linspace(1.0, 2.0, 6)[:, None]
    ref = sl.expm(-1e300 * np.diag(1.0 / m) @ k.toarray()) @ v
    return lambda: q.mass_lumped_evolve(symmetric(q, k), m, 1e300, v, path=path), ref, 1e-9


def lanczos_tiny_tol(m_max, expected=None):
    # tol = 1e-300 is below what the full 18 vectors reach (x = t rho = 4: some 1e-16); a capped size
    # aims at that instead of being refused in favour of 18.
    a = path_laplacian(30)
    v = np.sin(np.arange(30.0))[:, None]
    call = lambda: symmetric(q, a).evolve_batched(1.0, v, path="lanczos", tol=1e-300, m_max=m_max)
    return call, expected or sl.expm(-a.toarray()) @ v, 1e-14


def graph_krylov_scaled(w, t, f, path="chebyshev"):
    # A path of weights w at time t is the unit path at time w t; data scaled by 1e-300 or 1e8 too.
    lap = q.Laplacian.combinatorial(weighted_path_graph(len(f), np.full(len(f) - 1, w)))
    scale = np.abs(f).max()
    ref = scale * (sl.expm(-w * t * path_laplacian(len(f)).toarray()) @ (f / scale))
    return lambda: q.GraphKrylov(lap, path=path).evolve_batched(t, f), ref, 1e-9


def lumped_mass_ratio(heavy, scale, path, tol=1e-10):
    # Five nodes of mass `heavy`, five of mass 1: under the D^1/2 weights the light nodes' values lie
    # sqrt(heavy) below the heavy ones'. Lanczos and CG returned them with errors of 0.2 to 1.2.
    k = path_laplacian(10)
    m = np.array([heavy] * 5 + [1.0] * 5)
    v = np.cos(np.arange(10.0))[:, None] * scale
    ref = scale * (sl.expm(-np.diag(1.0 / m) @ k.toarray()) @ (v / scale))
    call = lambda: q.mass_lumped_evolve(symmetric(q, k), m, 1.0, v, path=path, tol=tol)
    if path != "chebyshev" and np.sqrt(heavy) * 2.0**-52 > tol:
        return call, MASS_RATIO, None
    if path == "implicit":  # 100 backward-Euler steps
        step = np.linalg.inv(np.eye(10) + 0.01 * np.diag(1.0 / m) @ k.toarray())
        ref = scale * (np.linalg.matrix_power(step, 100) @ (v / scale))
    # Chebyshev keeps each node's scale; the others hold tol in the weighted norm, so within
    # sqrt(heavy) tol in the plain one.
    return call, ref, 1e-9 if path == "chebyshev" else max(1e-9, np.sqrt(heavy) * tol)


EXTREME_CASES = [
    pytest.param(lambda: lanczos_input_scaled(1e-301, 1e-13), id="lanczos-input-1e-301"),
    # Subnormal data keep about 40 bits.
    pytest.param(lambda: lanczos_input_scaled(1e-310, 1e-11), id="lanczos-input-1e-310"),
    pytest.param(lambda: lanczos_operator_scaled(1e-200), id="lanczos-operator-1e-200"),
    pytest.param(lambda: lanczos_operator_scaled(1e200), id="lanczos-operator-1e200"),
    pytest.param(lambda: lanczos_capped(1), id="lanczos-m_max-1"),
    pytest.param(lambda: lanczos_capped(2), id="lanczos-m_max-2"),
    pytest.param(lambda: lanczos_capped(4), id="lanczos-m_max-4"),
    pytest.param(frechet_capped, id="frechet-m_max-1"),
    pytest.param(lambda: massk_tol(math.inf, "implicit", f"[NanInf] {TOL_TEXT}: inf"), id="massk-tol-inf"),
    pytest.param(lambda: massk_tol(0.0, "chebyshev", f"[OutOfDomain] {TOL_TEXT}"), id="massk-tol-0"),
    pytest.param(lambda: massk_tol(math.nan, "lanczos", f"[NanInf] {TOL_TEXT}: NaN"), id="massk-tol-nan"),
    pytest.param(lambda: normalized_scaled([1e-300, 1e-300]), id="normalized-1e-300"),
    pytest.param(lambda: normalized_scaled([1e308, 1e308]), id="normalized-1e308"),
    pytest.param(lambda: normalized_scaled([1e-320, 1e-320]), id="normalized-subnormal"),
    pytest.param(lambda: normalized_scaled(1e305 * np.arange(1.0, 6.0)), id="normalized-1e305-ramp"),
    pytest.param(lambda: normalized_scaled(1e-300 * np.arange(1.0, 6.0)), id="normalized-1e-300-ramp"),
    pytest.param(lambda: lumped_prescale_overflow("chebyshev"), id="lumped-1e300-chebyshev"),
    pytest.param(lambda: lumped_prescale_overflow("lanczos"), id="lumped-1e300-lanczos"),
    pytest.param(lambda: lanczos_tiny_tol(17), id="lanczos-tol-1e-300-m_max-17"),
    pytest.param(lambda: lanczos_tiny_tol(10), id="lanczos-tol-1e-300-m_max-10"),
    pytest.param(lambda: lanczos_tiny_tol(2, NEEDS.format(4)), id="lanczos-tol-1e-300-m_max-2"),
    # The products L u of 1e-100 weights and 1e-300 data underflowed (errors of 0.91 and 1e-5).
    pytest.param(lambda: graph_krylov_scaled(1e-100, 1e100, 1e-300 * np.eye(10)[:, [0]]), id="chebyshev-1e-100"),
    pytest.param(lambda: graph_krylov_scaled(1e-20, 1e20, 1e-300 * np.eye(10)[:, [0]]), id="chebyshev-1e-20"),
    # ... and those of 1e300 weights overflowed, reported as a fault of the library.
    pytest.param(lambda: graph_krylov_scaled(1e300, 1e-300, np.full((10, 1), 1e8)), id="chebyshev-1e300"),
    # Subnormal weights: 4 / rho is infinite.
    pytest.param(lambda: graph_krylov_scaled(1e-310, 1e305, np.eye(10)[:, [0]]), id="chebyshev-subnormal-rho"),
    pytest.param(lambda: (lambda: q.mass_lumped_evolve(symmetric(q, path_laplacian(10)), np.full(10, 1e-300), 1e-300,
                                                        np.full((10, 1), 1e200)), np.full((10, 1), 1e200), 1e-9),
                 id="lumped-chebyshev-1e300-operator"),
    # A Lanczos vector whose norm overflows is lowered, as a subnormal one is lifted.
    pytest.param(lambda: graph_krylov_scaled(1.0, 0.5, 1.7e308 * np.cos(np.arange(64.0))[:, None], "lanczos"),
                 id="lanczos-norm-overflows"),
    pytest.param(lambda: lumped_mass_ratio(1e300, 1e200, "lanczos"), id="lumped-ratio-1e300-lanczos"),
    pytest.param(lambda: lumped_mass_ratio(1e300, 1e200, "implicit"), id="lumped-ratio-1e300-implicit"),
    pytest.param(lambda: lumped_mass_ratio(1e300, 1e200, "chebyshev"), id="lumped-ratio-1e300-chebyshev"),
    pytest.param(lambda: lumped_mass_ratio(1e40, 1.0, "lanczos"), id="lumped-ratio-1e40-lanczos"),
    pytest.param(lambda: lumped_mass_ratio(1e40, 1.0, "chebyshev"), id="lumped-ratio-1e40-chebyshev"),
    # sqrt(1e12) * 2^-52 = 2.2e-10: the edge of the rule on either side of tol; 1e6 passes the default.
    pytest.param(lambda: lumped_mass_ratio(1e12, 1.0, "lanczos", tol=2.3e-10), id="lumped-ratio-1e12-tol-2.3e-10"),
    pytest.param(lambda: lumped_mass_ratio(1e12, 1.0, "implicit", tol=2.2e-10), id="lumped-ratio-1e12-tol-2.2e-10"),
    pytest.param(lambda: lumped_mass_ratio(1e6, 1.0, "lanczos"), id="lumped-ratio-1e6-lanczos"),
    pytest.param(lambda: lumped_mass_ratio(1e4, 1.0, "implicit", tol=1e-12), id="lumped-ratio-1e4-implicit"),
]


@pytest.mark.parametrize("case", EXTREME_CASES)
def test_results_at_extreme_scales_and_capped_krylov_sizes(case):
    call, expected, rtol = case()
    if isinstance(expected, str):
        assert error_text(call) == expected
        return
    got = call()
    # rtol: the action's tol, or rounding; 1e-322 is twenty quanta of a subnormal result.
    assert np.abs(got - expected).max() <= rtol * np.abs(expected).max() + 1e-322


@pytest.mark.parametrize("t", [1.0, 0.0])
def test_massk_lanczos_without_a_basis_vector_is_refused_in_a_subprocess(t):
    # It wrote past an empty basis; at t = 0 an early return hid the missing check.
    code = f"""
import numpy as np, quorvane as q
k = q.SymmetricOperator.from_csr(np.array([0, 2, 4], np.int64), np.array([0, 1, 0, 1], np.int32),
                                 np.array([1.0, -1.0, -1.0, 1.0]), 2)
mk = q.MassKOperator.from_k_and_mass(k, np.eye(2).ravel())
for call in (lambda: mk.evolve({t}, np.ones(2), path="lanczos", m_max=0),
             lambda: k.evolve_batched({t}, np.ones((2, 1)), path="lanczos", m_max=0)):
    try:
        print(call())
    except q.QuorvaneError as e:
        print(e)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    text = "[OutOfDomain] GraphKrylovChernoff: m_max must be >= 1 for the Lanczos path"
    assert (out.returncode, out.stdout.splitlines()) == (0, [text, text]), out.stderr


def test_lumped_overflow_is_reported_as_the_results():
    # K = w w^T, w = (1e10, 1), with M = diag(1e300, 1): v = (1e300, 0) tends to its M-projection on
    # K's null vector (1, -1e10), about (1e300, -1e310). sqrt(m) v = (1e450, 0) overflows first, but
    # the data are finite: what leaves the range is the result.
    k = symmetric(q, sp.csr_matrix(np.array([[1e20, 1e10], [1e10, 1.0]])))
    got = error_text(q.mass_lumped_evolve, k, np.array([1e300, 1.0]), 50.0, np.array([[1e300], [0.0]]))
    assert got == "[NanInf] mass_lumped_evolve: e^{-t M^-1 K} v overflows the double range: -inf"
