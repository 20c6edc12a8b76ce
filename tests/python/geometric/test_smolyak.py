"""SmolyakD6V8: exactness on quadratics, identities, the refusal of
amplifying steps and the messages."""

import math
import re

import numpy as np
import pytest

from conftest import raises_exact
from quorvane import QuorvaneError, SmolyakD6V8

N = 5
G = np.linspace(-2.0, 2.0, N)  # h = 1
X = np.meshgrid(*([G] * 6), indexing="ij")
CENTRE = (N**6 - 1) // 2


def flat(a):
    return a.transpose(5, 4, 3, 2, 1, 0).ravel()  # axis 0 fastest


def test_exact_on_quadratics():
    # F(tau) u = E u(x + Z), Z ~ N(0, 2 tau I): u + tau Laplacian(u) for a
    # quadratic, which the sparse rule (exact to degree 3 on each axis) and
    # the cubic read reproduce. At the centre every tap stays inside the box.
    u = X[0] ** 2 + 0.5 * X[1] * X[2] - X[3] ** 2 + 0.3 * X[4] + 2 * X[5] ** 2 + 1.0
    obj = SmolyakD6V8(-2.0, 2.0, N)
    for tau in (0.005, 0.02):  # 2 sqrt(tau) * 3.19 < 1 cell: no reflected tap
        assert obj.apply(tau, flat(u))[CENTRE] == pytest.approx(1.0 + tau * (2 - 2 + 4), abs=1e-12)


def test_identities():
    obj = SmolyakD6V8(0.0, 1.0, 4)
    u0 = np.random.default_rng(2).normal(size=4096)
    assert np.max(np.abs(obj.apply(0.0, u0) - u0)) < 1e-12  # weights sum to pi^3 within 1e-15
    assert np.max(np.abs(obj.apply(0.004, np.full(4096, 2.0)) - 2.0)) < 1e-12
    twice = obj.apply(0.004, obj.apply(0.004, u0))
    assert np.max(np.abs(obj.apply(0.004, list(u0), n_steps=2) - twice)) < 1e-14
    assert not np.allclose(obj.apply(0.008, u0), twice, atol=1e-6)  # steps of tau, not tau/n_steps
    assert obj.n_nodes() == 533 and obj.level() == 9 and obj.size() == 4096
    assert SmolyakD6V8(0.0, 1.0, 10**4).size() == 10**24
    with_nan = u0.copy()
    with_nan[0] = math.nan
    assert np.isnan(obj.apply(0.004, with_nan)).any()  # accepted, carried by the stencils


def test_refuses_steps_that_amplify():
    # h = 1: the step's spectral radius is 1.978 at 2 sqrt(tau)/h = 1; every step with
    # 2 sqrt(tau)/h <= 0.6586 is a contraction.
    obj = SmolyakD6V8(-2.0, 2.0, N)
    u0 = flat(np.exp(-(X[0] ** 2 + X[1] ** 2)))
    with pytest.raises(QuorvaneError) as info:
        obj.apply(0.25, u0, n_steps=4)
    msg = str(info.value)
    assert msg.startswith("[CflViolated] SmolyakD6V8: tau = 2.500e-1 makes the sparse-grid step amplify")
    assert "spectral radius 1.978e0 > 1" in msg
    tau_max = float(re.search(r"the largest admissible tau is (\S+);", msg).group(1))
    assert tau_max == pytest.approx(0.6586**2 / 4, rel=2e-3)
    out = obj.apply(tau_max, u0)
    assert np.max(np.abs(out)) <= np.max(np.abs(u0)) + 1e-12
    with pytest.raises(QuorvaneError, match=r"^\[CflViolated\]"):
        obj.apply(tau_max * 1.05, u0, n_steps=200)  # radius about 1.03 there


REFUSAL = re.compile(r"\[CflViolated\] SmolyakD6V8: tau = \S+ (?:makes the sparse-grid step amplify some modes of "
                     r"this grid \(spectral radius \S+ > 1, |lies beyond steps that amplify some modes of this grid, in "
                     r"a window where they amplify none \(spectral radius \S+, )"
                     r"h = \S+, 2 sqrt\(tau\)/h = \S+\), at any n_steps; the largest "
                     r"admissible tau is (\S+)(?:; use n_steps >= (\d+) for t = n_steps \* tau = (\S+)|; no n_steps up "
                     r"to 18446744073709551615 makes the steps of t = n_steps \* tau = \S+ short enough: one call serves "
                     r"t = n_steps \* tau <= \S+ \(n_steps = 18446744073709551615\), longer times take several calls)")


def checkerboard(n):
    return ((-1.0) ** np.indices((n,) * 6).sum(axis=0)).ravel()


# c = 2 sqrt(tau)/h. The checkerboard is the cosine mode whose eigenvalue first leaves
# [-1, 1], at c = 0.6586 on every grid; its modulus is 1.059 at c = 0.7, 1.978 at 1, 2.81 at
# 2 and 1.31 at 5. A rule that judged a call's growth instead of the step let twelve one-step
# calls grow it to 2.0, 3588, 2.4e5 and 25 there. Admitted: c up to 0.658586 (the edge lies
# at 0.6585868, so 0.6586 itself is refused). The windows
# beyond it whose steps amplify nothing ((0.743, 0.926), and with 4 nodes per axis (14.61,
# 14.84)) are refused too, so that the counts a call admits are every count from one on.
@pytest.mark.parametrize("n, cells, admitted", [
    (4, 0.3, True), (4, 0.6585, True), (5, 0.6585, True), (4, 0.658586, True), (4, 0.6586, False),
    (4, 0.8, False), (4, 14.7, False),
    (4, 0.7, False), (4, 1.0, False), (4, 2.0, False), (4, 5.0, False), (5, 0.7, False),
])
def test_chained_single_step_calls_stay_within_max_u0(n, cells, admitted):
    obj = SmolyakD6V8(0.0, 1.0, n)
    tau = (cells / (2.0 * (n - 1))) ** 2
    u = checkerboard(n)
    if admitted:
        for _ in range(12):
            u = obj.apply(tau, u)
            assert np.max(np.abs(u)) <= 1.0 + 1e-12  # an eigenvalue in [-1, 1], up to the sums' rounding
        return
    for n_steps in (40, 2, 1):
        with pytest.raises(QuorvaneError) as info:
            obj.apply(tau, u, n_steps=n_steps)
        tau_max, need, t = REFUSAL.fullmatch(str(info.value)).groups()
        tau_max, need, t = float(tau_max), int(need), float(t)
        assert tau_max == pytest.approx((0.6586 / (2.0 * (n - 1))) ** 2, rel=1e-3)  # four digits shown
        assert t == n_steps * tau and need == math.ceil(t / tau_max)
    # A fresh call of the count named for one step, and of larger counts, is judged by its
    # step t/count alone.
    if need <= 3:
        assert np.max(np.abs(obj.apply(t / need, u, n_steps=need))) <= 1.0 + 1e-12
    for count in (need, need + 1, 7 * need):
        assert np.max(np.abs(obj.apply(t / count, u))) <= 1.0 + 1e-12


def beyond(tau, h, cells, t, tau_max="1.204e-2", serves="2.22098798647463e17"):
    # With the advice of the amplifying steps: 2^64 - 1 steps of tau_max serve (2^64 - 1) tau_max.
    return (f"[OutOfDomain] SmolyakD6V8: tau = {tau} puts sparse-grid nodes 2^53 or more cells from this grid's "
            f"first node (h = {h}, 2 sqrt(tau)/h = {cells}), where neighbouring cells are no longer distinct doubles; "
            f"the largest admissible tau is {tau_max}; no n_steps up to 18446744073709551615 makes the steps of "
            f"t = n_steps * tau = {t} short enough: one call serves t = n_steps * tau <= {serves} "
            f"(n_steps = 18446744073709551615), longer times take several calls")


# h = 1/3 (4 nodes on [0, 1]), c = 2 sqrt(tau)/h. The step's spectral radius: 1.0595 at
# c = 0.703 (in the window 0.6586-0.743), 1 at c = 0.82, 1.978 at c = 1, 4.00 at c = 3, 14.8
# at c = 4. A step beyond the first that amplifies a mode is refused at every n_steps (also
# c = 0.82, where the step itself amplifies nothing: the admitted steps end at 0.6586). The nodes reach 2.652 c
# cells out (the 7-point rule's outer node), which the grid's arithmetic resolves only below
# 2^53 = 9.007e15 cells, c < 3.3965e15: beyond, the call is refused whatever the radius (on
# a grid 1e-150 wide as on [0, 1]).
@pytest.mark.parametrize("width, cells, n_steps, refused", [
    (1.0, 0.703, 1, True), (1.0, 0.703, 40, True), (1.0, 0.82, 1, True), (1.0, 0.6, 1, False),
    (1.0, 0.6, 3, False),
    (1.0, 1.0, 3, True), (1.0, 1.0, 4, True), (1.0, 3.0, 1, True), (1.0, 4.0, 1, True),
    # Beyond 0.927 the radius stays above 1 but swings: 3.75 at c = 5, 10.7 at 6, 14.7 at 12,
    # 1.92 at 15, 4.6 at 6e10.
    (1.0, 5.0, 1, True), (1.0, 5.0, 2, True), (1.0, 6.0, 1, True), (1.0, 12.0, 1, True),
    (1.0, 15.0, 1, True), (1.0, 6e10, 1, True), (1.0, 3.39e15, 1, True),
    (1.0, 3.40e15, 1, beyond("3.211e29", "3.333e-1", "3.400e15", "3.211e29")),
    (1.0, 6e50, 1, beyond("1.000e100", "3.333e-1", "6.000e50", "1.000e100")),
    (1.0, 6e50, 7, beyond("1.000e100", "3.333e-1", "6.000e50", "7.000e100")),
    (1e-150, 6e25, 1, beyond("1.000e-250", "3.333e-151", "6.000e25", "1.000e-250", "1.204e-302",
                             "2.22098798647463e-283")),
])
def test_refused_where_a_step_amplifies_some_mode(width, cells, n_steps, refused):
    obj = SmolyakD6V8(0.0, width, 4)
    tau = (cells * width / 6.0) ** 2
    u0 = np.random.default_rng(3).normal(size=4096)
    if isinstance(refused, str):
        raises_exact(QuorvaneError, refused, obj.apply, tau, u0, n_steps=n_steps)
        return
    if refused:
        with pytest.raises(QuorvaneError) as info:
            obj.apply(tau, u0, n_steps=n_steps)
        assert REFUSAL.fullmatch(str(info.value)).group(1) == "1.204e-2"
        return
    out = obj.apply(tau, u0, n_steps=n_steps)
    # In the trapezoid-weighted 2-norm the cosine modes, the step's eigenvectors, are
    # orthogonal: an admitted step grows no data there (1e-12: the sums' rounding).
    w = np.array([0.5, 1.0, 1.0, 0.5])
    weight = flat(np.prod(np.meshgrid(*([w] * 6), indexing="ij"), axis=0))
    assert np.sum(weight * out**2) <= (1.0 + 1e-12) * np.sum(weight * u0**2)
    assert np.max(np.abs(obj.apply(tau, np.full(4096, 2.0), n_steps=n_steps) - 2.0)) < 1e-12


@pytest.mark.parametrize("args, message", [
    ((0.0, 1.0, 3), "[GridMismatch] n_per_axis must be >= 4"),
    ((1.0, 1.0, 4), "[GridMismatch] domain_lo must be < domain_hi"),
    ((0.0, math.inf, 4), "[OutOfDomain] domain bounds must be finite"),
    ((math.nan, 0.0, 2), "[OutOfDomain] domain bounds must be finite"),
])
def test_construction_errors(args, message):
    raises_exact(QuorvaneError, message, SmolyakD6V8, *args)


def test_apply_errors():
    obj = SmolyakD6V8(0.0, 1.0, 4)
    raises_exact(QuorvaneError, "[OutOfDomain] tau must be finite and >= 0", obj.apply, -1.0, "u0 not read", 0)
    raises_exact(QuorvaneError, "[OutOfDomain] n_steps must be >= 1", obj.apply, 0.1, "u0 not read", n_steps=0)
    raises_exact(TypeError, "u0 must be numpy.ndarray[float64] or sequence of floats", obj.apply, 0.1, 5.0)
    raises_exact(QuorvaneError, "[GridMismatch] len(u0)=4095 != n_per_axis^6=4096", obj.apply, 0.1, np.zeros(4095))


# h = 1/3. The step maps a constant to itself and is linear; its sums reach about 2.1e3
# max|u|, so data near the top of the double range are stepped scaled by a power of two.
# Random data: the scaled result is the scale times the unit result to rounding (the step
# of 1e307 u and of u see the same power-of-two multiples).
@pytest.mark.parametrize("scale, n_steps", [(5e306, 1), (1e307, 1), (1e307, 3), (1.7e308, 1), (1e-300, 2)])
def test_data_near_the_double_range_give_their_finite_result(scale, n_steps):
    obj = SmolyakD6V8(0.0, 1.0, 4)
    constant = obj.apply(1e-3, np.full(4096, scale), n_steps=n_steps)
    assert np.max(np.abs(constant / scale - 1.0)) < 1e-14  # weights sum to pi^3 within 1e-15
    u0 = np.random.default_rng(5).normal(size=4096) / 8.0  # |u0| < 1: in range at every scale
    unit = obj.apply(0.01, u0, n_steps=n_steps)
    assert np.max(np.abs(obj.apply(0.01, u0 * scale, n_steps=n_steps) / scale - unit)) < 1e-14 * np.max(np.abs(unit))


def corner_signs(obj, tau):
    # The signs of the corner's row of the step (the step is symmetric in the trapezoid
    # weights, so its column has them): data of these signs reach the row's absolute sum there.
    e0 = np.zeros(4096)
    e0[0] = 1.0
    return np.sign(obj.apply(tau, e0))


OVERFLOW = re.compile(r"\[NanInf\] SmolyakD6V8: the result \(tau = 6\.944e-3, n_steps = 1\) overflows the double "
                      r"range: max\|u\| would be (\S+) max\|u0\|, max\|u0\| = 1\.348e308; u0 scaled to "
                      r"max\|u0\| <= (\S+) gives a result in range")


def test_a_result_beyond_the_double_range_is_refused():
    # At 2 sqrt(tau)/h = 0.5 the step amplifies no mode, yet the corner's reads weigh 1.3664 in
    # absolute sum (the cubic reads' negative weights; a dense NumPy build of the step): data
    # of its signs at 1.5 * 2^1023 = 1.348e308 give 1.84e308 there.
    obj = SmolyakD6V8(0.0, 1.0, 4)
    tau = 1.0 / 144.0
    signs = corner_signs(obj, tau)
    growth = obj.apply(tau, signs)[0]
    assert growth == pytest.approx(1.3664, abs=1e-4)
    with pytest.raises(QuorvaneError) as info:
        obj.apply(tau, signs * 1.5 * 2.0**1023)
    shown_growth, passes = map(float, OVERFLOW.fullmatch(str(info.value)).groups())
    assert shown_growth == pytest.approx(growth, rel=1e-12)  # the same sums on data scaled by 1.5 2^k
    top = np.finfo(float).max
    assert 0.999 * top / growth <= passes <= top / growth  # four digits, rounded down
    out = obj.apply(tau, signs * passes)
    assert np.max(np.abs(out)) == pytest.approx(growth * passes, rel=1e-12)
    # Over 40 steps the same data decay back into range: an intermediate beyond it is no refusal.
    out = obj.apply(tau, signs * 1.5 * 2.0**1023, n_steps=40)
    unit = obj.apply(tau, signs, n_steps=40)
    assert np.max(np.abs(out / (1.5 * 2.0**1023) - unit)) < 1e-13 * np.max(np.abs(unit))
