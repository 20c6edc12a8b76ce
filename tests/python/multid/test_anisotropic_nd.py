"""AnisotropicShiftND2/ND3 and ObstacleNDV8: translated rotated Gaussians, the lower triangle of the
tensor, the reaction factor, the projected unit step, and the fixed messages."""

import math

import numpy as np
import pytest

import quorvane as q
from quorvane import QuorvaneError

from conftest import N_GE4, N_STEPS, T_NONNEG, XMIN_LT

FIVE_D = "[GridMismatch] AnisotropicShiftChernoffND: grid.len() must be >= 5^D"


def gaussian(points, mean, cov):
    d = points - mean
    return np.exp(-0.5 * np.einsum("...i,ij,...j->...", d, np.linalg.inv(cov), d))


def test_nd2_translated_rotated_gaussian():
    # u_t = A:grad^2 u + b.grad u moves the centre by -b t and adds 2 t A to the covariance.
    n, t = 61, 0.05
    A = np.array([[0.6, 0.25], [0.25, 0.3]])
    b = np.array([0.8, -0.4])
    x = np.linspace(-2, 2, n)
    P = np.stack(np.meshgrid(x, x, indexing="ij"), -1)
    S0 = 0.05 * np.eye(2)
    u0 = gaussian(P, 0, S0)
    St = S0 + 2 * t * A
    exact = math.sqrt(np.linalg.det(S0) / np.linalg.det(St)) * gaussian(P, -b * t, St)
    # The upper entry is ignored: 5.0 instead of 0.25 gives the same values.
    a_vals = np.tile([A[0, 0], 5.0, A[1, 0], A[1, 1]], n * n)
    h = q.AnisotropicShiftND2(n, n, -2, 2, -2, 2, a_vals, b_values=np.tile(b, n * n))
    h.set_state(u0)
    h.evolve(t, n_steps=10)
    err = np.abs(h.values_2d() - exact).max()
    # Cubic interpolation at dx = 0.067 against sigma = 0.22; without the drift the error would be 3e-2.
    assert err < 2e-3, err


def test_nd2_reads_only_the_lower_triangle_and_c_scales():
    n = 6
    u0 = np.cos(np.arange(n * n) * 0.4)
    outs = []
    for a12, c in [(0.5, 0.0), (-7.0, 0.0), (0.5, 0.3)]:
        h = q.AnisotropicShiftND2(n, n, 0, 1, 0, 1, np.tile([1.0, a12, 0.2, 1.0], n * n),
                                  c_values=np.full(n * n, c), boundary="periodic")
        h.set_state(u0)
        h.evolve(0.01, n_steps=1)
        outs.append(h.values())
    assert np.array_equal(outs[0], outs[1])
    assert np.allclose(outs[2], math.exp(0.003) * outs[0], rtol=1e-14, atol=0)


def test_nd3_translated_gaussian():
    n, t = 21, 0.02
    A = np.array([[0.5, 0.1, 0.0], [0.1, 0.4, 0.05], [0.0, 0.05, 0.3]])
    b = np.array([0.5, 0.0, -0.5])
    x = np.linspace(-1.0, 1.0, n)
    P = np.stack(np.meshgrid(x, x, x, indexing="ij"), -1)
    S0 = 0.06 * np.eye(3)
    St = S0 + 2 * t * A
    exact = math.sqrt(np.linalg.det(S0) / np.linalg.det(St)) * gaussian(P, -b * t, St)
    h = q.AnisotropicShiftND3(n, n, n, -1, 1, -1, 1, -1, 1, np.tile(A.ravel(), n**3), b_values=np.tile(b, n**3))
    h.set_state(gaussian(P, 0, S0).ravel(order="F"))
    h.evolve(t, n_steps=3)
    # dx = 0.1 against sigma = 0.25; without the drift the error would be 2e-2.
    assert np.abs(h.values() - exact.ravel(order="F")).max() < 6e-3


def test_obstacle_is_the_projected_unit_step():
    nx, ny, level, tau = 7, 9, 0.1, 0.003
    v = np.sin(np.arange(nx * ny) * 0.7)
    free = q.AnisotropicShiftND2(nx, ny, 0, 1, 0, 2, np.tile([1.0, 0.0, 0.0, 1.0], nx * ny))
    free.set_state(v)
    free.evolve(tau, n_steps=1)
    ob = q.ObstacleNDV8(0, 1, nx, 0, 2, ny, level)
    r = ob.apply(tau, v)
    assert np.array_equal(r, np.maximum(free.values(), level))
    assert np.array_equal(ob.apply(tau, v.reshape((nx, ny), order="F")), r)
    # The rule's weights sum to sqrt(pi) up to one rounding.
    assert np.allclose(ob.apply(tau, np.full(nx * ny, 3.0)), 3.0, rtol=1e-14, atol=0)
    assert np.array_equal(ob.apply(tau, np.full(nx * ny, level - 1)), np.full(nx * ny, level))
    assert ob.shape() == (nx, ny)


@pytest.mark.parametrize("make, msg", [
    (lambda: q.AnisotropicShiftND2(4, 4, 0, 1, 0, 1, [1.0, 0, 0, 1] * 16), FIVE_D),
    (lambda: q.AnisotropicShiftND3(4, 4, 4, 0, 1, 0, 1, 0, 1, [1.0, 0, 0, 0, 1, 0, 0, 0, 1] * 64), FIVE_D),
    (lambda: q.AnisotropicShiftND2(5, 5, 0, 1, 0, 1, [1.0] * 99), "[GridMismatch] a_values length 99 != expected 100"),
    (lambda: q.AnisotropicShiftND2(5, 5, math.nan, 1, 0, 1, [math.nan] * 100), "[NanInf] a_values contains NaN or Inf"),
    (lambda: q.AnisotropicShiftND2(5, 5, 0, 1, 0, 1, [1.0, 0, 0, 1] * 25, b_values=[0.0] * 49),
     "[GridMismatch] b_values length 49 != expected 50"),
    (lambda: q.AnisotropicShiftND2(5, 5, 0, 1, 1, 1, [1.0, 0, 0, 1] * 25), XMIN_LT),
    (lambda: q.AnisotropicShiftND2(5, 3, 0, 1, 0, 1, [1.0, 0, 0, 1] * 15), N_GE4),
    (lambda: q.AnisotropicShiftND2(5, 5, 0, 1, 0, 1, [1.0, 0, 2, 3] * 25),
     "[GridMismatch] AnisotropicShiftChernoffND: diffusion tensor not SPD at grid point"),
    (lambda: q.AnisotropicShiftND2(2**31, 2**31, 0, 1, 0, 1, []),
     "[GridMismatch] a_values length 0 != expected 18446744073709551616"),
    (lambda: q.ObstacleNDV8(0, 1, 5, 0, math.inf, 5, 0.0), "[NanInf] domain bounds must be finite"),
    (lambda: q.ObstacleNDV8(1, 1, 5, 0, 1, 5, 0.0), "[OutOfDomain] domain_lo must be < domain_hi"),
    (lambda: q.ObstacleNDV8(0, 1, 5, 0, 1, 5, math.nan), "[NanInf] level must be finite"),
    (lambda: q.ObstacleNDV8(0, 1, 5, 0, 1, 3, 0.0), N_GE4),
    (lambda: q.ObstacleNDV8(0, 1, 4, 0, 1, 4, 0.0).apply(0.1, [0.0] * 16), FIVE_D),
    (lambda: q.ObstacleNDV8(0, 1, 4, 0, 1, 7, 0.0).apply(0.0, [0.0] * 28), "[OutOfDomain] tau must be finite and > 0"),
    (lambda: q.ObstacleNDV8(0, 1, 4, 0, 1, 7, 0.0).apply(0.1, [0.0] * 29),
     "[GridMismatch] v flat length does not match grid size"),
    (lambda: q.ObstacleNDV8(0, 1, 4, 0, 1, 7, 0.0).apply(0.1, np.zeros((4, 8))),
     "[GridMismatch] v length mismatch after ravel"),
])
def test_errors(make, msg):
    with pytest.raises(QuorvaneError) as e:
        make()
    assert str(e.value) == msg


def test_state_members_and_evolve_checks():
    h = q.AnisotropicShiftND2(6, 7, 0, 1, 0, 1, [1.0, 5.0, 0.0, 1.0] * 42, boundary="PERIODIC")
    assert (len(h), repr(h), h.order()) == (42, "AnisotropicShiftND2(nx=6, ny=7, order=1)", 1)
    U = np.arange(42.0).reshape(6, 7)
    h.set_state(U)
    assert np.array_equal(h.values_2d(), U) and np.array_equal(h.values(), U.ravel(order="F"))
    with pytest.raises(QuorvaneError) as e:
        h.set_state(U.T.copy())
    assert str(e.value) == "[GridMismatch] u0 has shape (7, 6), expected (6, 7)"
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] u0 contains NaN or Inf$"):
        h.set_state([math.nan] * 42)
    for args, kw, msg in [((math.nan,), {"n_steps": 0}, N_STEPS), ((-1.0,), {}, T_NONNEG)]:
        with pytest.raises(QuorvaneError) as e:
            h.evolve(*args, **kw)
        assert str(e.value) == msg
    h.evolve(0.0)
    assert np.allclose(h.values_2d(), U, atol=1e-12)
    g = q.AnisotropicShiftND3(5, 5, 6, 0, 1, 0, 1, 0, 1, np.tile(np.eye(3).ravel(), 150))
    assert (len(g), repr(g)) == (150, "AnisotropicShiftND3(nx=5, ny=5, nz=6, order=1)")
    ob = q.ObstacleNDV8(0, 1, 5, 0, 1, 5, 0.0)
    with pytest.raises(TypeError, match=r"^v must be numpy.ndarray\[float64\]$"):
        ob.apply(0.1, np.array([["a", "b"]]))
    with pytest.raises(TypeError, match=r"^v must be numpy.ndarray\[float64\]$"):  # no array, no ravel
        ob.apply(0.1, "abc")


def test_overflowing_reaction_is_refused_and_the_state_kept():
    h = q.AnisotropicShiftND2(5, 5, 0, 1, 0, 1, [1.0, 0, 0, 1] * 25, c_values=[800.0] * 25)
    h.set_state(np.ones(25))
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] "):
        h.evolve(1.0, n_steps=1)
    assert np.array_equal(h.values(), np.ones(25))


# t = 0 is the identity: the state comes back bit for bit (the steps of tau = 0 reread every
# node through the 5^D-point rule and the "linear" end reads, which moved values by 1e-14).
@pytest.mark.parametrize("make, n", [
    (lambda n: q.AnisotropicShiftND2(n, n, 0, 1, 0, 1, np.tile([1.0, 0.3, 0.3, 0.5], n * n),
                                     b_values=np.tile([0.2, -0.1], n * n), c_values=np.full(n * n, -1.0),
                                     boundary="linear"), 2),
    (lambda n: q.AnisotropicShiftND3(n, n, n, 0, 1, 0, 1, 0, 1, np.tile(np.eye(3).ravel(), n**3),
                                     boundary="linear"), 3),
])
@pytest.mark.parametrize("t", [0.0, -0.0])
def test_evolve_over_no_time_returns_the_state(make, n, t):
    h = make(6)
    u0 = np.random.default_rng(7).standard_normal(6**n)
    h.set_state(u0)
    h.evolve(t, n_steps=100)
    assert np.array_equal(h.values(), u0)


# A drift sampled with both signs makes neighbouring characteristics meet; the cubic reads'
# overshoot then piled up step after step (cos data on 21^2 nodes: max |u| 365 and 2.8e4 at 100
# and 400 steps under "reflect"; 6.5 and 35 on 7^3). Clipped to the range of the data's read,
# the steps keep it at every step count.
@pytest.mark.parametrize("dim, boundary, counts", [
    (2, "reflect", (10, 100, 300)),
    (2, "zero", (10, 100, 300)),
    (2, "periodic", (10, 100, 300)),
    (3, "reflect", (10, 60)),
    (3, "periodic", (10, 60)),
])
def test_noisy_sampled_drift_never_grows_data(dim, boundary, counts):
    n = 21 if dim == 2 else 6
    nodes = n**dim
    rng = np.random.default_rng(0)
    b = rng.uniform(-1.0, 1.0, dim * nodes)
    a = np.tile((1e-6 * np.eye(dim)).ravel(), nodes)
    # Periodic data without a jump at the seam, whose read would overshoot it.
    x = np.arange(n) / n if boundary == "periodic" else np.linspace(0.0, 1.0, n)
    c = np.cos(2 * np.pi * x) if boundary == "periodic" else np.cos(np.pi * x)
    u0 = np.outer(c, c).ravel() if dim == 2 else np.einsum("i,j,k->ijk", c, c, c).ravel()
    for count in counts:
        if dim == 2:
            h = q.AnisotropicShiftND2(n, n, 0, 1, 0, 1, a, b_values=b, boundary=boundary)
        else:
            h = q.AnisotropicShiftND3(n, n, n, 0, 1, 0, 1, 0, 1, a, b_values=b, boundary=boundary)
        h.set_state(u0)
        h.evolve(1.0, n_steps=count)
        assert np.abs(h.values()).max() <= np.abs(u0).max() * (1 + 1e-12), count


# A state rebuilt from values() for every call reads its range from data already within the last
# one's, so K such calls stay where one object stays: within the exact flow's [-1, 1] (no reaction;
# the data's extremes lie on nodes). Before, every rebuilt state read a range wider than its data
# and the chain grew: the noise drift to 2.7e17 (9^2, "reflect", K = 1000) and 25 (9x5x5, periodic,
# K = 100), the smooth one to 1.05 ... 1.10 on 9^2 and 1.05 on 9x5x5 ("reflect", "zero").
@pytest.mark.parametrize("shape, calls", [((9, 9), 1000), ((9, 5, 5), 40)], ids=["nd2", "nd3"])
@pytest.mark.parametrize("drift", ["noise", "smooth"])
@pytest.mark.parametrize("boundary", ["reflect", "zero", "periodic", "linear"])
def test_rebuilt_states_keep_the_flow_range(shape, calls, drift, boundary):
    dim, periodic = len(shape), boundary == "periodic"
    axes = [np.arange(n) / n if periodic else np.linspace(0.0, 1.0, n) for n in shape]
    P = np.meshgrid(*axes, indexing="ij")
    u = np.prod([np.cos(2 * np.pi * p) if periodic else np.sin(np.pi * p) for p in P], 0).ravel(order="F")
    if drift == "noise":
        b = _outflow_drift(shape, dim) if boundary == "linear" else np.random.default_rng(dim).uniform(
            -0.5, 0.5, dim * u.size)
    else:
        comps = [0.5 * np.sin(2 * np.pi * P[1]), 0.5 * np.cos(2 * np.pi * P[0]), 0.5 * np.sin(2 * np.pi * P[0] + 1)]
        if boundary == "linear":  # flowing out at every face: a "linear" face refuses an inflow
            for a, c in enumerate(comps[:dim]):
                c[(slice(None),) * a + (0,)], c[(slice(None),) * a + (-1,)] = 0.5, -0.5
        b = np.stack([c.ravel(order="F") for c in comps[:dim]], -1).ravel()
    cls = q.AnisotropicShiftND2 if dim == 2 else q.AnisotropicShiftND3
    box = [v for g in axes for v in (0.0, g[-1])]
    a = np.tile(1e-4 * np.eye(dim).ravel(), u.size)
    worst = 0.0
    for _ in range(calls):
        s = cls(*shape, *box, a, b_values=b, boundary=boundary)
        s.set_state(u)
        s.evolve(0.02, 1)
        u = s.values()
        worst = max(worst, np.abs(u).max())
    assert worst <= 1 + 1e-12, worst


def test_varying_drift_converges_on_smooth_data():
    # b = -x: u(x, t) is u0 read at x e^{-t} and smoothed by Sigma = A (1 - e^{-2t}); a smooth
    # Gaussian keeps its peak: the clip acts only where a step leaves the flow's range.
    n, t = 81, 0.3
    A = np.array([[0.03, 0.01], [0.01, 0.02]])
    x = np.linspace(-2, 2, n)
    P = np.stack(np.meshgrid(x, x, indexing="ij"), -1)
    S0 = 0.03 * np.eye(2)
    sigma = A * (1 - math.exp(-2 * t))
    exact = math.sqrt(np.linalg.det(S0) / np.linalg.det(S0 + sigma)) * gaussian(P * math.exp(-t), 0, S0 + sigma)
    b = (-P).transpose(1, 0, 2).reshape(-1)
    errors = []
    for count in (10, 40):
        h = q.AnisotropicShiftND2(n, n, -2, 2, -2, 2, np.tile([A[0, 0], 0.0, A[1, 0], A[1, 1]], n * n), b_values=b)
        h.set_state(gaussian(P, 0, S0).ravel(order="F"))
        h.evolve(t, n_steps=count)
        errors.append(np.abs(h.values_2d() - exact).max())
    assert errors[1] < 7e-3 and errors[1] <= errors[0], errors


def _nd2_varying(m, u0, b, boundary="periodic", t=0.3, n_steps=30):
    xm = 1 - 1 / m
    s = q.AnisotropicShiftND2(m, m, 0.0, xm, 0.0, xm, np.tile([0.002, 0.0, 0.0, 0.002], m * m), b_values=b,
                              c_values=np.zeros(m * m), boundary=boundary)
    s.set_state(u0)
    s.evolve(t, n_steps)
    return s.values()


def test_varying_drift_on_smooth_data_converges_and_the_step_is_continuous():
    m = 21
    g = np.linspace(0, 1 - 1 / m, m)
    X, Y = np.meshgrid(g, g, indexing="xy")
    u0 = (np.sin(4 * np.pi * X) * np.cos(2 * np.pi * Y)).ravel()
    b = np.stack([0.3 + 0.1 * np.sin(2 * np.pi * X.ravel()), np.full(m * m, 0.2)], 1).ravel()
    # First order: the change from 100 to 400 steps is about twice that from 400 to 1600
    # (1.11e-2, 5.6e-3). Clipping the data's smooth extrema made the second change the larger.
    runs = [_nd2_varying(m, u0, b, n_steps=n) for n in (100, 400, 1600)]
    first, second = np.abs(runs[1] - runs[0]).max(), np.abs(runs[2] - runs[1]).max()
    assert second < 0.6 * first, (first, second)
    # One drift sample moved by 1e-14 beside a constant drift: data with a jump (x > 1/2) are
    # moved by about as much.
    rough = u0 + (X.ravel() > 0.5)
    flat = np.tile([0.3, 0.2], m * m)
    moved = flat.copy()
    moved[100] += 1e-14
    assert np.abs(_nd2_varying(m, rough, moved) - _nd2_varying(m, rough, flat)).max() < 1e-13


# The clip acts only where a step leaves the range the flow keeps: smooth data under a smooth
# drift, one-signed or with zeros along its axis, are stepped by the plain reads alone, linearly.
@pytest.mark.parametrize("bx", [
    lambda X: 0.3 + 0.1 * np.sin(2 * np.pi * X),
    lambda X: 0.3 * np.sin(2 * np.pi * X),
], ids=["smooth", "zeros"])
def test_smooth_data_are_stepped_linearly(bx):
    m = 21
    g = np.linspace(0, 1 - 1 / m, m)
    X, Y = np.meshgrid(g, g, indexing="xy")
    b = np.stack([bx(X).ravel(), np.full(m * m, 0.2)], 1).ravel()
    u, v = (np.cos(2 * np.pi * X) * np.sin(2 * np.pi * Y)).ravel(), (0.5 * np.cos(2 * np.pi * (X + Y))).ravel()
    gap = np.abs(_nd2_varying(m, u + v, b) - _nd2_varying(m, u, b) - _nd2_varying(m, v, b)).max()
    assert gap < 1e-13, gap


# "linear" faces under a drift rough on the grid's scale that flows out at every face, A = 1e-6 I:
# the exact flow brings nothing in through an outflow face, and diffusion only what the data's
# smooth curvature carries, so a plane stays in [0, 3] (x + y + z) or [0, 2] and a product of
# cosines in [-1, 1] up to its read's own overshoot at the corners (6e-5 here). Before, the faces
# continued the data the steps had roughened: x + y gave 4.9 and -0.62 after 10^4 steps (41^2:
# 4.15, 55.2, 4.8e4 at 10^2, 10^3, 10^4), x + y + z 3.09 after 10^2.
def _outflow_drift(shape, seed):
    rng = np.random.default_rng(seed)
    b = rng.uniform(-1.0, 1.0, (len(shape),) + shape)
    for a in range(len(shape)):
        first, last = [slice(None)] * len(shape), [slice(None)] * len(shape)
        first[a], last[a] = 0, -1
        b[a][tuple(first)], b[a][tuple(last)] = 0.5, -0.5
    return np.stack([c.ravel(order="F") for c in b], -1).ravel()


@pytest.mark.parametrize("dims, u0f, lo, hi, counts", [
    (2, lambda *p: sum(p), 0.0, 2.0, (100, 1000, 10000)),
    (2, lambda x, y: np.cos(math.pi * x) * np.cos(math.pi * y), -1.0 - 1e-4, 1.0 + 1e-4, (100, 1000)),
    (3, lambda *p: sum(p), 0.0, 3.0, (100,)),
], ids=["plane-2d", "cosines-2d", "plane-3d"])
def test_linear_faces_bring_in_only_what_the_flow_carries(dims, u0f, lo, hi, counts):
    m = 13 if dims == 2 else 7
    g = np.linspace(0.0, 1.0, m)
    points = np.meshgrid(*([g] * dims), indexing="ij")
    b = _outflow_drift((m,) * dims, dims)
    eye = np.eye(dims).ravel() * 1e-6
    for n_steps in counts:
        if dims == 2:
            s = q.AnisotropicShiftND2(m, m, 0, 1, 0, 1, np.tile(eye, m ** 2), b_values=b, boundary="linear")
        else:
            s = q.AnisotropicShiftND3(m, m, m, 0, 1, 0, 1, 0, 1, np.tile(eye, m ** 3), b_values=b, boundary="linear")
        s.set_state(u0f(*points).ravel(order="F"))
        s.evolve(1.0, n_steps)
        assert lo - 1e-12 <= s.values().min() and s.values().max() <= hi + 1e-12, n_steps
