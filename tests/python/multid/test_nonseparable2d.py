"""NonSeparable2D and NonSeparable2DAniso: exact linear data, rotated Gaussians, the zero coupling
as Heat2D, the refusal of amplifying steps, and the fixed messages."""

import math
import re

import numpy as np
import pytest

import quorvane as q
from quorvane import QuorvaneError

from conftest import MIRROR, N_GE4, N_STEPS, error_text

T_POS = "[OutOfDomain] t must be finite and > 0"


def test_xy_gains_c_t_under_linear_boundaries():
    # u = x y has u_xx = u_yy = 0 and u_xy = 1, so u(t) = x y + c t; every piece is exact for it.
    x = np.linspace(0, 1, 9)
    X, Y = np.meshgrid(x, x, indexing="ij")
    u0 = (X * Y).ravel(order="F")
    r = q.NonSeparable2D(0, 1, 9, 0, 1, 9, u0, c=0.7, boundary="linear").evolve(0.01, 20)
    assert np.abs(r - (u0 + 0.007)).max() < 1e-14
    beta = np.full(81, -0.4)
    r = q.NonSeparable2DAniso(0, 1, 9, 0, 1, 9, beta, u0, boundary="linear").evolve(0.01, 20)
    assert np.abs(r - (u0 - 0.004)).max() < 1e-14


def rotated_gaussian_error(n, cls):
    # u_t = div(A grad u), A = [[1, c/2], [c/2, 1]]: covariance S0 + 2 t A.
    c, s0, t = 0.8, 0.04, 0.02
    x = np.linspace(-2, 2, n)
    X, Y = np.meshgrid(x, x, indexing="ij")

    def gauss(S):
        Si = np.linalg.inv(S)
        q2 = Si[0, 0] * X * X + 2 * Si[0, 1] * X * Y + Si[1, 1] * Y * Y
        return (math.sqrt(s0 * s0 / np.linalg.det(S)) * np.exp(-q2 / 2)).ravel(order="F")

    u0 = gauss(s0 * np.eye(2))
    if cls is q.NonSeparable2D:
        h = q.NonSeparable2D(-2, 2, n, -2, 2, n, u0, c=c)
    else:
        h = cls(-2, 2, n, -2, 2, n, np.full(n * n, c), u0, beta_norm_bound=c)
    r = h.evolve(t, 80)
    return np.abs(r - gauss(s0 * np.eye(2) + 2 * t * np.array([[1, c / 2], [c / 2, 1]]))).max()


@pytest.mark.parametrize("cls", [q.NonSeparable2D, q.NonSeparable2DAniso])
def test_rotated_gaussian_second_order_in_space(cls):
    e41, e81 = rotated_gaussian_error(41, cls), rotated_gaussian_error(81, cls)
    assert e81 < 1.5e-3 and e41 / e81 > 3.3, (e41, e81)  # the cross stencil is O(dx^2)


def test_zero_coupling_is_heat2d_and_never_refused():
    n = 12
    u0 = np.sin(np.arange(n * n) * 0.3)
    ref = q.Heat2D(0, 1, n, 0, 1, n).evolve(u0, 0.5, 2)
    assert np.array_equal(q.NonSeparable2D(0, 1, n, 0, 1, n, u0).evolve(1.0, 2), ref)
    # A bound of 0 makes a non-zero field count as zero.
    z = q.NonSeparable2D.with_beta_array(0, 1, n, 0, 1, n, np.ones(n * n), u0, beta_norm_bound=0.0)
    assert type(z) is q.NonSeparable2D and np.array_equal(z.evolve(1.0, 2), ref)


def test_amplifying_steps_are_refused():
    # 4 tau |c| = 0.9996 dx dy passes the strict bound, yet some modes grow by 1.09 per step.
    m, c = 32, 0.0294
    dx = 1 / 31
    u0 = np.cos(2 * np.pi * (np.arange(m)[:, None] + np.arange(m)[None, :]) / m).ravel(order="F")
    h = q.NonSeparable2D(0, 1, m, 0, 1, m, u0, c=c, boundary="periodic")
    with pytest.raises(QuorvaneError) as e:
        h.evolve(400 * 8.5 * dx * dx, 400)
    msg = str(e.value)
    assert msg.startswith("[CflViolated] NonSeparable2D: tau = t/n_steps = ") and "largest admissible tau is" in msg
    tau_max = float(msg.split("largest admissible tau is ")[1].split(";")[0])
    assert tau_max > 4.5 * dx * dx
    # Admitted: the mode decays (exactly to ~1e-60); only the rounding in the mean remains, where an
    # amplifying step would leave noise of order 1e-2.
    r = h.evolve(400 * 0.99 * tau_max, 400)
    assert np.abs(r).max() < 1e-15
    with pytest.raises(QuorvaneError, match=r"^\[CflViolated\] .*not elliptic"):
        q.NonSeparable2D(0, 1, m, 0, 1, m, u0, c=3.0, boundary="periodic").evolve(1e-6, 10)


@pytest.mark.parametrize("make", [q.NonSeparable2DAniso, q.NonSeparable2D.with_beta_array])
def test_default_bound_sizes_the_step_but_does_not_judge_ellipticity(make):
    # beta = 1.9 is elliptic; its default bound 1.1 * 1.9 = 2.09 is not, and must not make it look so.
    n, c, t = 41, 1.9, 0.02
    x = np.linspace(-2, 2, n)
    X, Y = np.meshgrid(x, x, indexing="ij")
    s0 = 0.04

    def exact(S):
        Si = np.linalg.inv(S)
        q2 = Si[0, 0] * X * X + 2 * Si[0, 1] * X * Y + Si[1, 1] * Y * Y
        return (s0 / math.sqrt(np.linalg.det(S)) * np.exp(-q2 / 2)).ravel(order="F")

    u0 = exact(s0 * np.eye(2))
    beta = np.full(n * n, c)
    for steps in (20, 80):
        r = make(-2, 2, n, -2, 2, n, beta, u0).evolve(t, steps)
        # The bound enters no arithmetic: the same bits as the caller's own bound and the constant c.
        assert np.array_equal(r, make(-2, 2, n, -2, 2, n, beta, u0, beta_norm_bound=c).evolve(t, steps))
        assert np.array_equal(r, q.NonSeparable2D(-2, 2, n, -2, 2, n, u0, c=c).evolve(t, steps))
        # u_t = div(A grad u), A = [[1, c/2], [c/2, 1]]; the cross stencil is O(dx^2), dx = 0.1.
        assert np.abs(r - exact(s0 * np.eye(2) + 2 * t * np.array([[1, c / 2], [c / 2, 1]]))).max() < 0.025
    # The padded bound still sizes the step: 4 tau 2.09 >= dx dy = 0.01 here, while 4 tau 1.9 < 0.01.
    with pytest.raises(QuorvaneError, match=r"^\[CflViolated\] CFL violated"):
        make(-2, 2, n, -2, 2, n, beta, u0).evolve(0.0012, 1)
    make(-2, 2, n, -2, 2, n, beta, u0, beta_norm_bound=c).evolve(0.0012, 1)
    # A field of 2 or more is not elliptic, whatever the bound.
    with pytest.raises(QuorvaneError, match=r"^\[CflViolated\] .*not elliptic"):
        make(-2, 2, n, -2, 2, n, np.full(n * n, 2.5), u0, beta_norm_bound=1.0).evolve(t, 80)


def test_strict_bound_comes_first_and_failed_calls_keep_the_state():
    u0 = np.ones(16)
    h = q.NonSeparable2D(0, 1, 4, 0, 1, 4, u0, c=1.0)
    with pytest.raises(QuorvaneError, match=r"^\[CflViolated\] CFL violated"):
        h.evolve(1.0, 10)  # 4 tau |c| = 0.4 >= dx dy = 1/9
    assert np.array_equal(h.evolve(0.01, 1), np.ones(16)) and len(h) == 16


@pytest.mark.parametrize("tau", [0.1, 1 / 36])  # 4 tau |c| = dx dy exactly is refused too
def test_strict_bound_text_states_its_gate(tau):
    # The shared CFL text says "need 2 tau ||a|| < dx^2"; for the gate 4 tau |c| < dx dy
    # it shows dx dy / 2 as dx^2, and the refused numbers break the stated condition.
    h = q.NonSeparable2D(0, 1, 4, 0, 1, 4, np.ones(16), c=1.0)
    with pytest.raises(QuorvaneError) as e:
        h.evolve(10 * tau, 10)
    t, dx2, a = (float(v) for v in re.findall(r"= (\S+?),? ", str(e.value).split("(need")[0] + " "))
    assert (t, dx2, a) == (float(f"{tau:.3e}"), 5.556e-2, 1.0)
    assert not 2 * t * a < dx2 * (1 - 1e-3)  # three digits shown


GRID = (0.0, 1.0, 4, 0.0, 1.0, 4)
Z16 = [0.0] * 16


@pytest.mark.parametrize("make, msg", [
    (lambda: q.NonSeparable2D(*GRID, Z16, boundary="mirror"), MIRROR),
    (lambda: q.NonSeparable2D(*GRID, Z16[:15]), "[GridMismatch] u0 length 15 != nx*ny=16"),
    (lambda: q.NonSeparable2D(0, 1, 2**32, 0, 1, 2**32, []), "[GridMismatch] u0 length 0 != nx*ny=18446744073709551616"),
    (lambda: q.NonSeparable2D(*GRID, "u0"), "[GridMismatch] u0 must be numpy.ndarray[float64]"),
    (lambda: q.NonSeparable2D(*GRID, [math.nan] * 16), "[NanInf] u0 contains NaN or Inf"),
    (lambda: q.NonSeparable2D(0, 1, 2, 0, 1, 2, [0.0] * 4), N_GE4),
    (lambda: q.NonSeparable2D(*GRID, Z16, c=math.inf), "[NanInf] c_norm_bound: inf"),
    (lambda: q.NonSeparable2D.with_beta_array(*GRID, Z16[:3], Z16), "[GridMismatch] 2D array length 3 != nx*ny=16"),
    (lambda: q.NonSeparable2D.with_beta_array(*GRID, [math.inf] * 16, Z16),
     "[NanInf] 2D coefficient array contains NaN or Inf"),
    (lambda: q.NonSeparable2D.with_beta_array(*GRID, "b", Z16),
     "[GridMismatch] 2D coefficient array must be numpy.ndarray[float64]"),
    (lambda: q.NonSeparable2D.with_beta_array(*GRID, Z16, Z16, beta_norm_bound=-1.0), "[OutOfDomain] beta_norm_bound"),
    (lambda: q.NonSeparable2DAniso(*GRID, Z16, Z16[:15]), "[GridMismatch] u0 length 15 != expected 16"),
    (lambda: q.NonSeparable2DAniso(*GRID, Z16[:15], Z16), "[GridMismatch] beta_values length 15 != nx*ny=16"),
    (lambda: q.NonSeparable2DAniso(*GRID, [math.nan] * 16, Z16), "[NanInf] beta_values contains NaN or Inf"),
    (lambda: q.NonSeparable2DAniso(*GRID, Z16, Z16, beta_norm_bound=math.nan), "[NanInf] beta_norm_bound: NaN"),
])
def test_constructor_errors(make, msg):
    with pytest.raises(QuorvaneError) as e:
        make()
    assert str(e.value) == msg


def test_members_and_evolve_checks():
    a = q.NonSeparable2DAniso(0, 1, 5, 0, 1, 6, [0.0] * 30, [0.0] * 30)
    assert (repr(a), len(a)) == ("NonSeparable2DAniso(nx=5, ny=6)", 30)
    h = q.NonSeparable2D(*GRID, Z16)
    for args, msg in [((0.0,), T_POS), ((1.0, 0), N_STEPS), ((math.nan, 0), N_STEPS), ((-1.0,), T_POS)]:
        with pytest.raises(QuorvaneError) as e:
            h.evolve(*args)
        assert str(e.value) == msg


# The strict bound's refusal keeps the shared CFL text and names a count, like the amplification
# refusal: that count runs and one fewer is refused. 4 x 4 nodes: dx dy = 1/9, so 4 tau |c| < 1/9
# wants 37 steps for t = 1 and |c| = 1 (36 gives equality, refused); |c| = 1.9 amplifies up to
# 69 steps; 5 x 6 nodes, dx dy = 1/20, field 0.5 padded to 0.55: 45 steps.
@pytest.mark.parametrize("make, named", [
    (lambda: q.NonSeparable2D(0, 1, 4, 0, 1, 4, np.ones(16), c=1.0), 37),
    (lambda: q.NonSeparable2D(0, 1, 4, 0, 1, 4, np.ones(16), c=1.9), 69),
    (lambda: q.NonSeparable2DAniso(0, 1, 5, 0, 1, 6, np.full(30, 0.5), np.ones(30)), 45),
    (lambda: q.NonSeparable2D.with_beta_array(0, 1, 5, 0, 1, 6, np.full(30, 0.5), np.ones(30)), 45),
])
def test_strict_bound_refusal_names_a_count_that_runs(make, named):
    with pytest.raises(QuorvaneError) as e:
        make().evolve(1.0, 10)
    msg = str(e.value)
    assert msg.startswith("[CflViolated] CFL violated for truncated-exp K=4: tau = 1.000e-1")
    assert msg.endswith(f"; use n_steps >= {named} for t = 1")
    assert np.allclose(make().evolve(1.0, named), 1.0)  # constants stay constant
    with pytest.raises(QuorvaneError, match=r"^\[CflViolated\]"):
        make().evolve(1.0, named - 1)


def named_tau(msg):
    return float(re.search(r"the largest admissible tau is ([0-9.e-]+);", msg).group(1))


# Cells of 125 and couplings from 3.3e-20 to 1.9: the tau a refusal names
# passes both rules on a fresh object, as does every step below it (sampled
# here), also where long steps bring the legs' symbols back near 1 and
# single steps far above it amplify.
@pytest.mark.parametrize("c, boundary", [(3.3e-20, "zero"), (1e-3, "zero"), (1e-8, "periodic"), (0.3, "reflect"),
                                         (1.9, "periodic")])
def test_named_tau_and_every_step_below_pass(c, boundary):
    def make():
        return q.NonSeparable2D(0, 1000, 9, 0, 1000, 9, np.ones(81), c=c, boundary=boundary)

    with pytest.raises(QuorvaneError) as e:
        make().evolve(1e300, n_steps=7)
    x = named_tau(str(e.value))
    for tau in np.r_[np.geomspace(x * 1e-4, x, 150), x]:
        r = make().evolve(tau, 1)
        # Damping: max|u0| bounds the result, up to the reads' overshoot of the jump at "zero" walls
        # (Heat1D's own step overshoots it by 1.8 % on 9 nodes; four legs here).
        assert np.abs(r).max() <= 1.0 + (0.05 if boundary == "zero" else 1e-12)


def test_long_step_refusal_names_a_tau_that_passes():
    make = lambda: q.NonSeparable2D(0, 1000, 9, 0, 1000, 9, np.ones(81), c=3.3e-20, boundary="zero")  # noqa: E731
    msg = error_text(make().evolve, 1.183e23, 1)
    assert "amplifies grid modes by up to" in msg and "(||beta|| = 3.3e-20, dx = 1.250e2" in msg
    x = named_tau(msg)
    for k in (1, 2, 10):
        assert np.all(np.isfinite(make().evolve(k * x, k)))


# Where the refusal's count is small enough to run: it and the larger counts
# tried run and keep the constant (reflecting and periodic ends).
@pytest.mark.parametrize("c, boundary, t", [(0.3, "reflect", 2e4), (1.9, "periodic", 3e3)])
def test_counts_from_the_named_one_run(c, boundary, t):
    make = lambda: q.NonSeparable2D(0, 1000, 9, 0, 1000, 9, np.ones(81), c=c, boundary=boundary)  # noqa: E731
    least = int(re.search(r"use n_steps >= (\d+) for", error_text(make().evolve, t, 1)).group(1))
    for n in (least, least + 1, 2 * least, 10 * least):
        assert np.abs(make().evolve(t, n) - 1.0).max() < 1e-12  # constants are exact steady states
