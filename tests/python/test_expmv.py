"""DiffusionExpmv1D: the exponential action of the zero-flux diffusion operator.

The operator is built here from its definition (three-point stencil, the
missing neighbour of an end node is the end node itself) and the class is
checked against scipy.linalg.expm of it, for every boundary option and any
split into steps; then the refusal of steps beyond the application cap (and
of the ranges where the plain selection rule would clip or give up), the
overflow refusal and the spatial order of the zero-flux closure.
"""

import inspect
import math

import numpy as np
import pytest
from scipy.linalg import expm

import quorvane
from quorvane import DiffusionExpmv1D, QuorvaneError

POLICIES = ["reflect", "zero", "periodic", "linear"]
CAP = 10_000_000
TOO_LARGE = ("[OutOfDomain] DiffusionExpmvChernoff: tau * op_norm_bound too large: a step would need "
             "more than 10000000 operator applications (use more steps)")


def zero_flux_operator(n, dx):
    op = np.diag(np.full(n, -2.0)) + np.diag(np.ones(n - 1), 1) + np.diag(np.ones(n - 1), -1)
    op[0, 0] = op[-1, -1] = -1.0  # ghost = end value: (b1 - b0) - (b0 - b0)
    return op / dx**2


def test_members_signatures_and_docstrings():
    cls = DiffusionExpmv1D
    assert {m for m in dir(cls) if not m.startswith("_")} == {"order", "evolve", "values"}
    assert cls.__text_signature__ == '(xmin, xmax, n, u0, *, boundary="reflect")'
    assert str(inspect.signature(cls)) == "(xmin, xmax, n, u0, *, boundary='reflect')"
    assert cls.evolve.__text_signature__ == "($self, t, n_steps=100)"
    assert cls.order.__text_signature__ == "($self)"
    assert cls.values.__text_signature__ == "($self)"
    assert "zero-flux" in cls.__doc__ and "Raises" in cls.__doc__
    assert "10000000" in cls.evolve.__doc__
    obj = cls(0.0, 1.0, 4, [0.0, 1.0, 2.0, 3.0])
    assert obj.order() == 4294967295 == 2**32 - 1
    assert len(obj) == 4
    assert "DiffusionExpmv1D" in quorvane.__all__


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((0.0, 1.0, 3, [0.0] * 3), {}, QuorvaneError, "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
    ((0.0, 1.0, 4, [0.0] * 3), {}, QuorvaneError, "[GridMismatch] values.len() must equal grid.n"),
    ((1.0, 0.0, 4, [0.0] * 4), {}, QuorvaneError, "[GridMismatch] xmin must be < xmax"),
    ((math.nan, 1.0, 4, [0.0] * 4), {}, QuorvaneError, "[NanInf] xmin must be finite: NaN"),
    ((math.nan, 1.0, 4, [0.0, -math.inf, 0.0, 0.0]), {}, QuorvaneError, "[NanInf] u0 contains NaN or Inf: -inf"),
    ((0.0, 1.0, 4, [0.0, "x", 0.0, 0.0]), {}, TypeError,
     "u0 must be a numpy.ndarray[float64] or a sequence of floats"),
    ((0.0, 1.0, 4, [0.0] * 4), {"boundary": "Neumann"}, QuorvaneError,
     '[OutOfDomain] unknown boundary policy "neumann"; valid options are: "reflect", "periodic", "zero", "linear"'),
])
def test_construction_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as e:
        DiffusionExpmv1D(*args, **kwargs)
    assert str(e.value) == message


def test_evolve_argument_checks_and_zero_time():
    u0 = np.array([1e308, -1e308, 1e308, -1e308, 1e308])  # differences overflow in any real step
    obj = DiffusionExpmv1D(0.0, 1.0, 5, u0)
    for t, n_steps, message in [(math.nan, 0, "[OutOfDomain] n_steps must be >= 1"),
                                (-1.0, 5, "[OutOfDomain] t must be finite and >= 0"),
                                (math.inf, 5, "[OutOfDomain] t must be finite and >= 0")]:
        with pytest.raises(QuorvaneError) as e:
            obj.evolve(t, n_steps=n_steps)
        assert str(e.value) == message
    obj.evolve(0.0)
    obj.evolve(-0.0, n_steps=7)
    assert obj.values().tobytes() == u0.tobytes()  # every zero step copies, bit for bit
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] DiffusionExpmvChernoff: step result is not finite: "):
        obj.evolve(1e-3, n_steps=1)
    assert obj.values().tobytes() == u0.tobytes()


@pytest.mark.parametrize("tau_rho", [0.3, 1.0, 10.0, 400.0])
def test_one_step_is_expm_of_the_zero_flux_operator_for_every_policy(tau_rho):
    n = 24
    x = np.linspace(-1.0, 2.0, n)
    dx = x[1] - x[0]
    rng = np.random.default_rng(3)
    u0 = rng.standard_normal(n)
    tau = tau_rho / (4.0 / dx**2)
    expected = expm(tau * zero_flux_operator(n, dx)) @ u0
    results = []
    for policy in POLICIES:
        obj = DiffusionExpmv1D(-1.0, 2.0, n, u0, boundary=policy)
        obj.evolve(tau, n_steps=1)
        results.append(obj.values())
    for r in results[1:]:
        assert r.tobytes() == results[0].tobytes()  # the boundary option is not consulted
    # backward-stable Taylor pieces: rounding only (up to ~100 pieces on O(1) data)
    np.testing.assert_allclose(results[0], expected, rtol=0, atol=1e-12)


@pytest.mark.parametrize("n_steps", [1, 3, 17, 100])
def test_no_time_step_error(n_steps):
    n, t = 33, 0.02
    x = np.linspace(0.0, 1.0, n)
    u0 = np.exp(-30 * (x - 0.4) ** 2)
    expected = expm(t * zero_flux_operator(n, x[1] - x[0])) @ u0
    obj = DiffusionExpmv1D(0.0, 1.0, n, u0)
    obj.evolve(t, n_steps=n_steps)
    # exact to rounding whatever the split: no O(tau^p) term to measure
    np.testing.assert_allclose(obj.values(), expected, rtol=0, atol=1e-13)


def test_large_step_conserves_the_sum():
    x = np.linspace(0.0, 1.0, 64)
    u0 = np.exp(-40 * (x - 0.3) ** 2)
    obj = DiffusionExpmv1D(0.0, 1.0, 64, u0)
    obj.evolve(10.0, n_steps=1)  # tau * rho = 158760: 44848 pieces of degree 30
    v = obj.values()
    assert abs(v.sum() - u0.sum()) < 1e-10 * u0.sum()  # zero column sums; rounding of 1.3e6 applications
    np.testing.assert_allclose(v, u0.mean(), rtol=0, atol=1e-10)  # long past equilibration


def test_application_cap_at_its_exact_threshold():
    # n = 4 on [0, 1]: rho = 4/dx^2 = 36. For large tau*rho degree 30 is the cheapest
    # (30/3.54 per unit), so the cap allows s = 333333 pieces: ceil(tau*rho/3.54) <= 333333.
    dx = 1.0 / 3.0
    rho = 4.0 / (dx * dx)
    s_max = CAP // 30

    def pieces(tau):
        return math.ceil((tau * rho) / 3.54)

    tau = s_max * 3.54 / rho
    while pieces(tau) > s_max:
        tau = np.nextafter(tau, 0.0)
    while pieces(np.nextafter(tau, math.inf)) <= s_max:
        tau = np.nextafter(tau, math.inf)
    u0 = np.array([1.0, 0.0, 0.0, 2.0])
    refused = DiffusionExpmv1D(0.0, 1.0, 4, u0)
    with pytest.raises(QuorvaneError) as e:
        refused.evolve(float(np.nextafter(tau, math.inf)), n_steps=1)
    assert str(e.value) == TOO_LARGE
    np.testing.assert_array_equal(refused.values(), u0)
    accepted = DiffusionExpmv1D(0.0, 1.0, 4, u0)
    accepted.evolve(float(tau), n_steps=1)  # 9999990 applications on 4 nodes
    np.testing.assert_allclose(accepted.values(), u0.mean(), rtol=0, atol=1e-9)


@pytest.mark.parametrize("tau_rho", [1e12, 1e15])
def test_clipped_and_uncovered_ranges_are_refused(tau_rho):
    # By the selection rule alone, tau*rho = 1e12 clips the sub-step count to 2^32 - 1 (degree 7,
    # each piece far outside its Taylor range: overflow after ~3e10 applications), and beyond
    # 3.54e14 no pair fits and one degree-30 polynomial of the whole step returns NaN.
    n = 32
    u0 = np.cos(np.pi * np.linspace(0.0, 1.0, n))
    obj = DiffusionExpmv1D(0.0, 1.0, n, u0)
    with pytest.raises(QuorvaneError) as e:
        obj.evolve(tau_rho / (4.0 * (n - 1) ** 2), n_steps=1)
    assert str(e.value) == TOO_LARGE
    np.testing.assert_array_equal(obj.values(), u0)


def test_more_steps_pass_under_the_cap():
    n = 32
    u0 = np.cos(np.pi * np.linspace(0.0, 1.0, n))
    obj = DiffusionExpmv1D(0.0, 1.0, n, u0)
    t = 2e6 / (4.0 * (n - 1) ** 2)  # one step: ~1.7e7 applications, refused
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] DiffusionExpmvChernoff"):
        obj.evolve(t, n_steps=1)
    obj.evolve(t, n_steps=4)
    np.testing.assert_allclose(obj.values(), 0.0, atol=1e-12)  # mean of cos(pi x) on the nodes is 0


def test_spatial_order_of_the_zero_flux_closure():
    # The ghost "end value" puts the reflecting walls at xmin - dx/2 and xmax + dx/2.
    # Against the heat equation with walls at the end nodes the error is O(dx); against
    # the shifted walls it is O(dx^2).
    t = 0.05
    err_nodes, err_shifted = [], []
    for n in (11, 21, 41, 81):
        x = np.linspace(0.0, 1.0, n)
        dx = x[1] - x[0]
        length = 1.0 + dx
        u_nodes = np.cos(np.pi * x)
        u_shift = np.cos(np.pi * (x + dx / 2) / length)
        a = DiffusionExpmv1D(0.0, 1.0, n, u_nodes)
        a.evolve(t, n_steps=1)
        err_nodes.append(np.max(np.abs(a.values() - np.exp(-np.pi**2 * t) * u_nodes)))
        b = DiffusionExpmv1D(0.0, 1.0, n, u_shift)
        b.evolve(t, n_steps=1)
        err_shifted.append(np.max(np.abs(b.values() - np.exp(-np.pi**2 * t / length**2) * u_shift)))
    o1 = np.log2(np.array(err_nodes[:-1]) / np.array(err_nodes[1:]))
    o2 = np.log2(np.array(err_shifted[:-1]) / np.array(err_shifted[1:]))
    assert np.all(np.abs(o1 - 1.0) < 0.15), (err_nodes, o1)
    # the shifted domain length 1 + dx also moves with dx, so the ratios approach 4 from below
    assert np.all(o2 > 1.75) and o2[-1] > 1.9, (err_shifted, o2)
