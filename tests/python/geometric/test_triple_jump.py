"""ComplexTripleJumpV8 on the filiform group: the increment of a step on
polynomials against the semigroup, identities and errors."""

import math

import numpy as np
import pytest

from conftest import raises_exact
from quorvane import ComplexTripleJumpV8, QuorvaneError

SPACING = "[OutOfDomain] the grid spacing dx = (xmax - xmin)/(n - 1) must have a finite, normal square dx^2"
# A coarse box of 7 nodes an axis whose middle node is (2, 2, 2, 2, 2).
LO, HI, N = -22.0, 26.0, 7
G = np.linspace(LO, HI, N)
X = np.meshgrid(G, G, G, G, G, indexing="ij")
MID = (N // 2,) * 5


def flat(a):
    return a.transpose(4, 3, 2, 1, 0).ravel()  # axis 0 fastest


def unflat(v):
    return v.reshape((N,) * 5).transpose(4, 3, 2, 1, 0)


@pytest.mark.parametrize("tau", [0.04, 0.02, 0.01])
@pytest.mark.parametrize("u0, rate", [
    # L = (X1^2 + X2^2)/4 with X2 = d1 + x0 d2 + x2 d3 + x3 d4 annihilates each L u0,
    # so exp(tau L) u0 = u0 + tau L u0.
    (X[1] * X[2], X[0] / 2),
    (X[0] ** 2, 0.5),
    (X[1] ** 2, 0.5),
    (X[3], X[0] / 4),
    (X[1] * X[3], (2 * X[2] + X[0] * X[1]) / 4),
])
def test_increment_on_polynomials_is_the_semigroups(u0, rate, tau):
    # The reads are exact on these; what is left is the constant extension beyond the box,
    # which reaches the middle node through the nine sub-steps only by the far taps of the
    # reads: measured below 1e-5 of the increment.
    out = unflat(ComplexTripleJumpV8(LO, HI, N).apply_real(tau, flat(u0)))
    assert out[MID] - u0[MID] == pytest.approx(tau * np.broadcast_to(rate, u0.shape)[MID], rel=2e-5)


def gaussian_and_random(n):
    g = np.linspace(-2.0, 2.0, n)
    x = np.meshgrid(g, g, g, g, g, indexing="ij")
    smooth = np.exp(-sum(xd ** 2 for xd in x) / 4).transpose(4, 3, 2, 1, 0).ravel()
    return {"smooth": smooth, "random": np.random.default_rng(7).uniform(-1.0, 1.0, n ** 5)}


@pytest.mark.parametrize("data", ["random", "smooth"])
@pytest.mark.parametrize("n, tau, steps", [
    # Unsplit, these steps grew random data 3.9-fold and 5.0-fold; the steps of the reference
    # are short enough to be taken whole.
    (6, 8.0, 25),
    (7, 5.0, 21),
])
def test_large_steps_do_not_grow_and_agree_with_fine_steps(n, tau, steps, data):
    obj = ComplexTripleJumpV8(-2.0, 2.0, n)
    u0 = gaussian_and_random(n)[data]
    out = obj.apply_real(tau, u0)
    fine = u0
    for _ in range(steps):
        fine = obj.apply_real(tau / steps, fine)
    # A diffusion: the step does not raise the sup norm (it falls to 7-34% here).
    assert np.max(np.abs(out)) <= np.max(np.abs(u0))
    # One step this long errs by its own splitting error and, on grids this coarse, the reads'
    # error per unit time: measured 0.050-0.082 of max|u0| (the unsplit steps: 0.12-5.0).
    assert np.max(np.abs(out - fine)) <= 0.1 * np.max(np.abs(u0))


@pytest.mark.parametrize("args, tau, shown, h, tau_max", [
    ((0.0, 1.0, 4), 1e6, "1.000e6", "3.333e-1", "1.117e2"),
    ((-2.0, 2.0, 8), 200.0, "2.000e2", "5.714e-1", "1.080e2"),
    ((-2.0, 2.0, 12), 1e300, "1.000e300", "3.636e-1", "4.969e1"),
])
def test_steps_needing_too_many_pieces_are_refused(args, tau, shown, h, tau_max):
    obj = ComplexTripleJumpV8(*args)
    n = args[2]
    raises_exact(QuorvaneError,
                 f"[CflViolated] ComplexTripleJumpV8: tau = {shown} puts the complex read points of the field steps "
                 f"so far off the real axis of this grid (h = {h}) that keeping them within 0.7 cells would take "
                 f"more than 1024 field sub-steps; every step up to tau = {tau_max} is admitted",
                 obj.apply_real, tau, np.ones(n ** 5))
    if n == 4:  # the named step is admitted, and does not grow
        u0 = np.random.default_rng(3).uniform(-1.0, 1.0, n ** 5)
        assert np.max(np.abs(obj.apply_real(float(tau_max), u0))) <= np.max(np.abs(u0))


def test_identities():
    obj = ComplexTripleJumpV8(0.0, 1.0, 4)
    u0 = np.random.default_rng(1).normal(size=1024)
    assert np.array_equal(obj.apply_real(0.0, u0), u0) and np.array_equal(obj.apply_real(-0.0, list(u0)), u0)
    assert np.max(np.abs(obj.apply_real(0.7, np.full(1024, 3.0)) - 3.0)) < 1e-13
    with_nan = u0.copy()
    with_nan[5] = math.nan
    assert np.isnan(obj.apply_real(0.1, with_nan)).any()  # accepted and carried
    assert obj.size() == 1024 and ComplexTripleJumpV8(0.0, 1.0, 10**4).size() == 10**20
    assert ComplexTripleJumpV8.verify_gamma_star() is True and obj.verify_gamma_star() is True


@pytest.mark.parametrize("args, message", [
    ((math.nan, 1.0, 2), "[OutOfDomain] domain bounds must be finite"),
    ((0.0, math.inf, 4), "[OutOfDomain] domain bounds must be finite"),
    ((1.0, 1.0, 4), "[GridMismatch] domain_lo must be < domain_hi"),
    ((0.0, 1.0, 3), "[GridMismatch] n_per_axis must be >= 4"),
    # Spacings whose square leaves the normal range would send the read points to inf or NaN.
    ((-1e300, 2.0, 4), SPACING + " (dx = 3.333e299)"),
    ((0.0, 1e-160, 4), SPACING + " (dx = 3.333e-161)"),
])
def test_construction_errors(args, message):
    raises_exact(QuorvaneError, message, ComplexTripleJumpV8, *args)


def test_apply_errors():
    obj = ComplexTripleJumpV8(0.0, 1.0, 4)
    raises_exact(QuorvaneError, "[OutOfDomain] tau must be finite and >= 0", obj.apply_real, -1.0, "not checked")
    raises_exact(QuorvaneError, "[OutOfDomain] tau must be finite and >= 0", obj.apply_real, math.nan, [0.0])
    raises_exact(TypeError, "u0 must be numpy.ndarray[float64] or sequence of floats", obj.apply_real, 0.1, "u0")
    raises_exact(QuorvaneError, "[GridMismatch] len(u0)=1023 != n_per_axis^5=1024", obj.apply_real, 0.1,
                 np.zeros(1023))
