"""ReverseHeat1D: the gradient against central differences of its own J and
against the exact Gaussian; messages, kinds and the order of the checks."""
import math

import numpy as np
import pytest

import quorvane as q
from conftest import check_surface, error_text, raises_exact
from quorvane import QuorvaneError

N = 41


def bump(c, n=N):
    x = np.linspace(0.0, 1.0, n)
    return np.exp(-200.0 * (x - c) ** 2)


def test_surface():
    check_surface(q.ReverseHeat1D, "(theta, xmin, xmax, n_grid, n_steps)",
                  value_and_grad="($self, tau, u0, target)",
                  value_and_grad_kvec="($self, tau, theta_vec, u0, target)",
                  theta="($self)", n_steps="($self)", n_grid="($self)")
    r = q.ReverseHeat1D(0.7, 0.0, 1.0, N, 16)
    assert (r.theta(), r.n_grid(), r.n_steps()) == (0.7, N, 16)


# A bump at a reflecting end is where a step treated as its own transpose
# was off by 11-20%; with the exact transpose central differences (h = 1e-5
# theta) agree to 1e-9..2e-8 relative, the cubic interpolant's second
# derivative jumping where a read point crosses a node.
@pytest.mark.parametrize("centre", [0.0, 0.04, 0.5, 1.0])
@pytest.mark.parametrize("steps", [1, 10, 100])
def test_gradient_matches_central_differences(centre, steps):
    theta, tau, h = 0.7, 0.04 / steps, 1e-5 * 0.7
    u0, target = bump(centre), np.full(N, 0.1)
    j, g = q.ReverseHeat1D(theta, 0.0, 1.0, N, steps).value_and_grad(tau, u0, target)
    jp, _ = q.ReverseHeat1D(theta + h, 0.0, 1.0, N, steps).value_and_grad(tau, u0, target)
    jm, _ = q.ReverseHeat1D(theta - h, 0.0, 1.0, N, steps).value_and_grad(tau, u0, target)
    assert g == pytest.approx((jp - jm) / (2 * h), rel=5e-8)


def test_against_exact_gaussian():
    # u(t) = s/sqrt(v) exp(-x^2/(2v)), v = s^2 + 2 theta t, far from the ends;
    # du/dtheta = t u''. J = sum u^2 and dJ/dtheta = 2 sum u du/dtheta up to
    # the O(tau) + O(dx^2) error of the scheme.
    n, theta, t, steps, s = 201, 0.5, 0.02, 50, 0.1
    x = np.linspace(-1.0, 1.0, n)
    v = s * s + 2 * theta * t
    u = s / np.sqrt(v) * np.exp(-x * x / (2 * v))
    du = t * u * (x * x / v - 1.0) / v
    u0 = np.exp(-x * x / (2 * s * s))
    j, g = q.ReverseHeat1D(theta, -1.0, 1.0, n, steps).value_and_grad(t / steps, u0, np.zeros(n))
    assert j == pytest.approx(float(np.sum(u * u)), rel=2e-3)
    assert g == pytest.approx(float(2 * np.sum(u * du)), rel=2e-2)


def test_kvec_is_the_one_region_path():
    r = q.ReverseHeat1D(0.7, 0.0, 1.0, N, 10)
    u0, target = bump(0.2), bump(0.3)
    j, g = r.value_and_grad(0.004, u0, target)
    assert r.value_and_grad_kvec(0.004, [5.0], list(u0), target) == (j, [g])
    region = ("[OutOfDomain] unsupported operation: value_and_grad: theta.len() must equal "
              "region_map.region_count() (ADR-0177); use with_region_map to set K regions, or value_and_grad_k1 "
              "for the scalar K=1 path")
    raises_exact(QuorvaneError, region, r.value_and_grad_kvec, 0.004, [1.0, 2.0], u0, target)
    kv = "ReverseHeat1D.value_and_grad_kvec"
    raises_exact(QuorvaneError, f"[OutOfDomain] {kv}: theta_vec must be non-empty", r.value_and_grad_kvec, 0.004,
                 [], u0, target)
    raises_exact(QuorvaneError, "[NanInf] ReverseHeat1D: theta_vec contains NaN or Inf (-inf)",
                 r.value_and_grad_kvec, 0.004, [-math.inf], u0, target)
    raises_exact(QuorvaneError, f"[OutOfDomain] {kv}: tau must be finite and > 0", r.value_and_grad_kvec, 0.0,
                 "not read", u0, target)


VG = "ReverseHeat1D.value_and_grad"
U = list(bump(0.5))


@pytest.mark.parametrize("args, exc, message", [
    ((0.0, U, U), QuorvaneError, f"[OutOfDomain] {VG}: tau must be finite and > 0"),
    ((-1.0, "x", U), QuorvaneError, f"[OutOfDomain] {VG}: tau must be finite and > 0"),
    ((math.nan, U, U), QuorvaneError, f"[OutOfDomain] {VG}: tau must be finite and > 0"),
    ((math.inf, U, U), QuorvaneError, f"[OutOfDomain] {VG}: tau must be finite and > 0"),
    ((0.01, U[:-1], U), QuorvaneError, f"[GridMismatch] {VG}: u0 length must equal n_grid"),
    ((0.01, U, U + [0.0]), QuorvaneError, f"[GridMismatch] {VG}: target length must equal n_grid"),
    ((0.01, U[:3] + [math.nan] + U[4:], U), QuorvaneError, "[NanInf] ReverseHeat1D: u0 contains NaN or Inf (NaN)"),
    ((0.01, U, [math.inf] + U[1:]), QuorvaneError, "[NanInf] ReverseHeat1D: target contains NaN or Inf (inf)"),
    ((0.01, {"a": 1}, U), TypeError, "expected a numpy.ndarray[float64] or list of floats"),
])
def test_call_errors(args, exc, message):
    raises_exact(exc, message, q.ReverseHeat1D(0.7, 0.0, 1.0, N, 10).value_and_grad, *args)


@pytest.mark.parametrize("args, message", [
    ((0.0, 0.0, 1.0, 3, 10), "[OutOfDomain] ReverseHeat1D: theta must be finite and > 0"),
    ((math.nan, 0.0, 1.0, 10, 10), "[OutOfDomain] ReverseHeat1D: theta must be finite and > 0"),
    ((1.0, 0.0, 1.0, 3, 0), "[OutOfDomain] ReverseHeat1D: n_steps must be >= 1"),
    ((1.0, 0.0, 1.0, 3, 10), "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
    ((1.0, math.inf, 1.0, 4, 10), "[NanInf] xmin must be finite: inf"),
    ((1.0, 1.0, 0.0, 4, 10), "[GridMismatch] xmin must be < xmax"),
])
def test_construction_errors(args, message):
    assert error_text(q.ReverseHeat1D, *args) == message


@pytest.mark.parametrize("theta, xmax, tau, u0, message, near", [
    # theta * tau / dx^2 underflows to 0: the shift 2 sqrt(theta tau) has an infinite derivative
    # there (tau 1e-60: theta tau / dx^2 is 1e-298, and the derivative is finite).
    (0.4, 2.0**400, 5e-324, U, "[NanInf] value_and_grad: the gradient dJ/dtheta is not finite: NaN", (1e-60, U)),
    # Finite data whose squared misfit leaves the range: the scale that keeps it within is named
    # ({} the method).
    (0.7, 1.0, 0.004, [1e300] * N,
     "[NanInf] ReverseHeat1D.{}: J = sum (u_n - target)^2 or dJ/dtheta lies beyond the "
     "double range: both are quadratic in u0 and target together, and with max|u0| = "
     "1.000e300, max|target| = 0.000e0 they pass the largest double; u0 and target "
     "multiplied by one factor of at most 2.093e-147 (max|u0| <= 2.093e153, max|target| "
     "<= 0.000e0) keep them within it", (0.004, [1e150] * N)),
])
def test_non_finite_results_are_refused(theta, xmax, tau, u0, message, near):
    r = q.ReverseHeat1D(theta, 0.0, xmax, N, 10)
    raises_exact(QuorvaneError, message.format("value_and_grad"), r.value_and_grad, tau, u0, [0.0] * N)
    raises_exact(QuorvaneError, message.format("value_and_grad_kvec"), r.value_and_grad_kvec, tau, [theta], u0,
                 [0.0] * N)
    j, g = r.value_and_grad(near[0], near[1], [0.0] * N)
    assert math.isfinite(j) and math.isfinite(g)
