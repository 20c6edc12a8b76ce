"""Resolvent time jumps against expm of the ghost-row Laplacians, their order in h, the caps on
contour size, time range and band size; Resolvent1D against exact and dense resolvents."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest
from scipy.linalg import expm

import quorvane as q
from conftest import raises_exact
from quorvane import QuorvaneError


def ghost_laplacian(n, lo, hi):
    # Three-point Laplacian with ghost-point reflecting ends (end rows 2, -2).
    h = (hi - lo) / (n - 1)
    lap = np.diag(-2.0 * np.ones(n)) + np.diag(np.ones(n - 1), 1) + np.diag(np.ones(n - 1), -1)
    lap[0, 1] = lap[-1, -2] = 2.0
    return lap / h ** 2


def test_1d_jump_matches_expm_and_converges_at_order_2_in_h():
    x = np.linspace(0.0, 1.0, 101)
    g = np.exp(-30.0 * (x - 0.3) ** 2)
    ref = expm(0.01 * ghost_laplacian(101, 0.0, 1.0)) @ g
    assert np.max(np.abs(q.ResolventJumpV8(0.0, 1.0, 101, 32).jump(0.01, g) - ref)) < 1e-12
    errors = []
    for n in [26, 51, 101]:
        x = np.linspace(0.0, 1.0, n)
        r = q.ResolventJumpV8(0.0, 1.0, n, 32).jump(0.1, np.cos(np.pi * x))
        errors.append(np.max(np.abs(r - math.exp(-0.1 * math.pi ** 2) * np.cos(np.pi * x))))
    # Measured 4.8e-4, 1.2e-4, 3.0e-5 (cell-centred end rows gave 9.2e-3 at n = 101, order 1).
    assert [math.log2(errors[k] / errors[k + 1]) for k in range(2)] == pytest.approx([2.0, 2.0], abs=0.05)


def test_2d_and_3d_jumps_match_expm_of_the_kronecker_sums_in_fortran_order():
    nx, ny, nz = 7, 6, 4
    lx, ly, lz = ghost_laplacian(nx, 0, 1), ghost_laplacian(ny, 0, 2), ghost_laplacian(nz, 0, 1)
    a2 = np.kron(np.eye(ny), lx) + np.kron(ly, np.eye(nx))
    g = np.random.default_rng(0).random((nx, ny, nz))
    j2 = q.ResolventJump2DV8(0.0, 1.0, nx, 0.0, 2.0, ny, 32)
    r2 = j2.jump(0.05, g[:, :, 0])
    assert r2.shape == (nx, ny) and r2.flags["F_CONTIGUOUS"]
    assert np.max(np.abs(r2.ravel(order="F") - expm(0.05 * a2) @ g[:, :, 0].ravel(order="F"))) < 1e-13
    assert np.array_equal(r2, j2.jump(0.05, list(g[:, :, 0].ravel(order="F"))))
    a3 = np.kron(np.eye(nz), a2) + np.kron(lz, np.eye(nx * ny))
    r3 = q.ResolventJump3DV8(0.0, 1.0, nx, 0.0, 2.0, ny, 0.0, 1.0, nz, 32).jump(0.02, g)
    assert r3.shape == (nx, ny, nz) and r3.flags["F_CONTIGUOUS"]
    assert np.max(np.abs(r3.ravel(order="F") - expm(0.02 * a3) @ g.ravel(order="F"))) < 1e-13
    # A plain ravel() is not the x-fastest flat array checked above: it swaps the axes.
    assert min(np.max(np.abs(r.ravel() - r.ravel(order="F"))) for r in (r2, r3)) > 0.1


def test_2d_jump_converges_at_order_2_and_keeps_constants():
    errors = []
    for n in [11, 21]:
        x = np.linspace(0.0, 1.0, n)
        u = np.outer(np.cos(np.pi * x), np.cos(np.pi * x))
        j = q.ResolventJump2DV8(0.0, 1.0, n, 0.0, 1.0, n, 32)
        errors.append(np.max(np.abs(j.jump(0.05, u) - math.exp(-0.1 * math.pi ** 2) * u)))
    assert math.log2(errors[0] / errors[1]) == pytest.approx(2.0, abs=0.05)  # measured 2.00
    assert np.max(np.abs(j.jump(0.3, np.ones((n, n))) - 1.0)) < 1e-13


@pytest.mark.parametrize("m_nodes, tol", [(12, 1e-5), (24, 1e-10), (48, 1e-13), (128, 1e-7)])
def test_contour_sizes_up_to_the_cap_stay_accurate(m_nodes, tol):
    # Measured 4.7e-6, 1.3e-11, 2.1e-14, 3.5e-9: quadrature error falls, e^{0.1309 M} rounding rises.
    x = np.linspace(0.0, 1.0, 101)
    g = np.exp(-30.0 * (x - 0.3) ** 2)
    ref = expm(0.01 * ghost_laplacian(101, 0.0, 1.0)) @ g
    assert np.max(np.abs(q.ResolventJumpV8(0.0, 1.0, 101, m_nodes).jump(0.01, g) - ref)) < tol


def test_time_range_ends_are_refused_and_tiny_times_no_longer_vanish():
    x = np.linspace(0.0, 1.0, 101)
    g = np.cos(np.pi * x)
    j = q.ResolventJumpV8(0.0, 1.0, 101, 32)
    # t = 1e-200 used to overflow |z|^2 in the division and return zeros.
    assert np.max(np.abs(j.jump(1e-200, g) - g)) < 1e-14
    # Near the top of the range (t s = 1e9) the constant mode is still right to ~1e-7.
    mean = (g[0] / 2 + g[1:-1].sum() + g[-1] / 2) / 100
    assert np.max(np.abs(j.jump(1e5, g) - mean)) < 1e-6
    text = ("[OutOfDomain] t must lie in [3.200e-289, 1.000e5] for m_nodes = 32 on these spacings: "
            "outside it the rounding exceeds ~1e-6 of max|g|")
    for t in [3e-289, 1.0001e5]:
        raises_exact(QuorvaneError, text, j.jump, t, g)


def jump_of_dimension(d, m_nodes):
    # Unit line of 101 nodes (S = 1e4), unit square of 21 x 21 (S = 800), unit cube of 5^3 (S = 48).
    if d == 1:
        return q.ResolventJumpV8(0.0, 1.0, 101, m_nodes), (101,)
    if d == 2:
        return q.ResolventJump2DV8(0.0, 1.0, 21, 0.0, 1.0, 21, m_nodes), (21, 21)
    return q.ResolventJump3DV8(0.0, 1.0, 5, 0.0, 1.0, 5, 0.0, 1.0, 5, m_nodes), (5, 5, 5)


def neumann_cosine(shape, t):
    # 1 + prod cos(pi x_i): the product is an eigenvector of the ghost-row Laplacian, eigenvalue
    # -sum (4/h^2) sin^2(pi h/2); the constant is kept. Returns g and e^{tA} g.
    axes = np.meshgrid(*[np.linspace(0.0, 1.0, n) for n in shape], indexing="ij")
    mode = np.prod([np.cos(np.pi * x) for x in axes], axis=0)
    lam = sum(4.0 * (n - 1) ** 2 * math.sin(math.pi / (2 * (n - 1))) ** 2 for n in shape)
    return 1.0 + mode, 1.0 + math.exp(-lam * t) * mode


@pytest.mark.parametrize("d, m_nodes, t_min, t_max, tol", [
    # t_max S = min(1e9, 1e-6 M^1.25 / (5 eps e^{0.1309 M})). Before, t S <= 1e9 at every M, where
    # M = 128 lost 1e-3 of max|g|. tol: the quadrature's own error (4e-3 of max|g| at M = 6), else 1e-6.
    (1, 6, "6.000e-290", "1.000e5", 5e-3), (1, 16, "1.600e-289", "1.000e5", 1e-6),
    (1, 32, "3.200e-289", "1.000e5", 1e-6), (1, 48, "4.800e-289", "2.125e4", 1e-6),
    (1, 64, "6.400e-289", "3.749e3", 1e-6), (1, 96, "9.600e-289", "9.439e1", 1e-6),
    (1, 128, "1.280e-288", "2.051e0", 1e-6),
    (2, 6, "6.000e-290", "1.250e6", 5e-3), (2, 16, "1.600e-289", "1.250e6", 1e-6),
    (2, 32, "3.200e-289", "1.250e6", 1e-6), (2, 48, "4.800e-289", "2.656e5", 1e-6),
    (2, 64, "6.400e-289", "4.687e4", 1e-6), (2, 96, "9.600e-289", "1.180e3", 1e-6),
    (2, 128, "1.280e-288", "2.563e1", 1e-6),
    (3, 64, "6.400e-289", "7.811e5", 1e-6), (3, 128, "1.280e-288", "4.272e2", 1e-6),
])
def test_time_range_shrinks_with_m_nodes_and_both_ends_match_the_exact_solution(d, m_nodes, t_min, t_max, tol):
    j, shape = jump_of_dimension(d, m_nodes)
    text = (f"[OutOfDomain] t must lie in [{t_min}, {t_max}] for m_nodes = {m_nodes} on these spacings: "
            "outside it the rounding exceeds ~1e-6 of max|g|")
    for t in (0.999 * float(t_min), 1.001 * float(t_max)):
        raises_exact(QuorvaneError, text, j.jump, t, np.ones(shape))
    for t in (1.001 * float(t_min), 0.999 * float(t_max)):
        g, exact = neumann_cosine(shape, t)
        assert np.max(np.abs(j.jump(t, g) - exact)) <= tol * 2.0
        # Constant data is the worst case of the rounding: only the constant mode survives long times.
        assert np.max(np.abs(j.jump(t, np.ones(shape)) - 1.0)) <= tol


@pytest.mark.parametrize("make, message", [
    (lambda: q.ResolventJumpV8(0.0, 1.0, 4, 5),
     "[OutOfDomain] ResolventJumpChernoff: m_nodes must be >= 6 (geometric regime)"),
    (lambda: q.ResolventJumpV8(0.0, 1.0, 4, 129),
     "[OutOfDomain] ResolventJumpChernoff: m_nodes must be <= 128 (node weights grow like e^{0.1309 m_nodes})"),
    (lambda: q.ResolventJumpV8(0.0, 1.0, 3, 6), "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
    (lambda: q.ResolventJump2DV8(0.0, 1.0, 4, 1.0, 1.0, 4, 6), "[GridMismatch] xmin must be < xmax"),
    (lambda: q.ResolventJump2DV8(0.0, 1.0, 4, 0.0, 1.0, 4, 5),
     "[OutOfDomain] ResolventJumpChernoff2D: m_nodes must be >= 6"),
    (lambda: q.ResolventJump3DV8(0.0, 1.0, 4, 0.0, 1.0, 4, 0.0, 1.0, 3, 6),
     "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
    (lambda: q.ResolventJump3DV8(0.0, 1.0, 4, 0.0, 1.0, 4, 0.0, 1.0, 4, 129),
     "[OutOfDomain] ResolventJumpChernoff3D: m_nodes must be <= 128 (node weights grow like e^{0.1309 m_nodes})"),
])
def test_construction_errors(make, message):
    raises_exact(QuorvaneError, message, make)


def test_jump_argument_errors():
    j = q.ResolventJumpV8(0.0, 1.0, 4, 6)
    raises_exact(QuorvaneError, "[OutOfDomain] t must be finite and > 0", j.jump, 0.0, "not looked at")
    raises_exact(TypeError, "g must be a numpy.ndarray[float64] or a sequence of floats", j.jump, 1.0, None)
    raises_exact(QuorvaneError, "[GridMismatch] len(g) must equal n_grid", j.jump, 1.0, [1.0])
    raises_exact(QuorvaneError, "[NanInf] all values must be finite (no NaN/Inf): NaN", j.jump, 1.0,
                 [1.0, math.nan, 1.0, 1.0])
    assert (j.size(), j.m_nodes()) == (4, 6)
    j2 = q.ResolventJump2DV8(0.0, 1.0, 4, 0.0, 1.0, 5, 6)
    assert j2.shape() == (4, 5)
    raises_exact(QuorvaneError, "[GridMismatch] g flat length does not match grid size", j2.jump, 1.0, [1.0] * 4)
    raises_exact(QuorvaneError, "[GridMismatch] g length does not match grid size after ravel", j2.jump, 1.0,
                 np.ones((4, 4)))
    raises_exact(TypeError, "g must be a numpy.ndarray[float64] or a sequence of floats", j2.jump, 1.0,
                 [[1.0] * 5] * 4)
    g = np.ones((4, 5))
    g[1, 2] = math.inf
    raises_exact(QuorvaneError, "[NanInf] all values must be finite (no NaN/Inf): inf", j2.jump, 1.0, g)


def test_band_caps_refuse_before_allocating_in_a_subprocess():
    # Run under a 2 GiB address-space limit: a missing cap would fail to allocate, not pass.
    code = """
import resource, quorvane as q
resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))
for make in (lambda: q.ResolventJump3DV8(0, 1, 64, 0, 1, 64, 0, 1, 64, 32),
             lambda: q.ResolventJump2DV8(0, 1, 1 << 22, 0, 1, 1 << 22, 32),
             lambda: q.ResolventJump3DV8(0, 1, 1 << 22, 0, 1, 1 << 22, 0, 1, 1 << 22, 32)):
    try:
        make()
    except q.QuorvaneError as e:
        print(e)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    assert out.stdout.splitlines() == [
        "[OutOfDomain] ResolventJump3DV8: the band needs 2147745792 complex values, above the cap of 16777216 "
        "(N*(2k+1), k = nx*ny)",
        "[OutOfDomain] ResolventJump2DV8: the band needs more than 2^64 complex values, above the cap of 16777216 "
        "(N*(2k+1), k = nx)",
        "[OutOfDomain] ResolventJump3DV8: the band needs more than 2^64 complex values, above the cap of 16777216 "
        "(N*(2k+1), k = nx*ny)",
    ], out.stderr


def test_resolvent1d_against_the_exact_mode_and_a_dense_solve():
    n = 101
    x = np.linspace(0.0, 1.0, n)
    r = q.Resolvent1D(0.0, 1.0, n)
    g = np.cos(np.pi * x)
    # Measured 1.2e-6 and 1.3e-9: the mode pi^2 lies inside the window mu <~ 10 lambda.
    assert np.max(np.abs(r.eval(10.0, g) - g / (10.0 + math.pi ** 2))) < 3e-6
    assert np.max(np.abs(r.eval(100.0, g) - g / (100.0 + math.pi ** 2))) < 1e-8
    bump = np.exp(-20.0 * (x - 0.4) ** 2)
    dense = np.linalg.solve(50.0 * np.eye(n) - ghost_laplacian(n, 0.0, 1.0), bump)
    assert np.max(np.abs(r.eval(50.0, bump) - dense)) < 5e-6  # measured 2.0e-6
    assert r.residual(100.0, g) < 2e-5 and len(r) == n


def test_resolvent1d_errors():
    lam_msg = "lambda must be finite and > 0 (real-\u03bb contract; complex \u03bb deferred v4.0)"
    raises_exact(QuorvaneError, "[GridMismatch] LaplaceChernoffResolvent n must be >= 1", q.Resolvent1D,
                 0.0, 1.0, 4, n_chernoff=0)
    r = q.Resolvent1D(0.0, 1.0, 4, n_chernoff=2)
    for method in (r.eval, r.residual):
        raises_exact(QuorvaneError, "[NanInf] u0 contains NaN or Inf: NaN", method, -1.0, [math.nan, 1.0])
        raises_exact(QuorvaneError, "[GridMismatch] values.len() must equal grid.n", method, -1.0, [1.0])
        raises_exact(QuorvaneError, "[OutOfDomain] " + lam_msg, method, 0.0, [1.0] * 4)
        raises_exact(QuorvaneError, "[NanInf] " + lam_msg + ": NaN", method, math.nan, [1.0] * 4)
