"""ObstacleChernoff against a projected implicit reference, ObstacleGammaV8 curvature, and their errors."""

import math

import numpy as np
import pytest
from scipy.linalg import solve_banded

import quorvane as q
from conftest import EVOLVE, SELF, raises_exact
from quorvane import QuorvaneError

N = 101
X = np.linspace(0.0, 1.0, N)
G = 0.3 - 2.0 * (X - 0.5) ** 2
U0 = 0.5 * np.cos(np.pi * X)


def projected_implicit(t, m):
    # Backward Euler with reflecting ends, projected after each step: an independent first-order scheme.
    h = X[1] - X[0]
    r = t / m / h ** 2
    ab = np.zeros((3, N))
    ab[0, 1:], ab[1, :], ab[2, :-1] = -r, 1.0 + 2.0 * r, -r
    ab[0, 1], ab[2, -2] = -2.0 * r, -2.0 * r
    u = U0.copy()
    for _ in range(m):
        u = np.maximum(solve_banded((1, 1), ab, u), G)
    return u


def test_against_a_fine_projected_implicit_scheme_at_order_1():
    ref = projected_implicit(0.1, 20000)
    errors = []
    for steps in [50, 100, 200]:
        o = q.ObstacleChernoff(0.0, 1.0, N, U0, obstacle_array=G)
        v = o.evolve(0.1, steps)
        assert np.all(v >= G) and np.array_equal(v, o.values())
        errors.append(np.max(np.abs(v - ref)))
    # Measured 1.09, 1.04: the projection caps the order at 1.
    assert [math.log2(errors[k] / errors[k + 1]) for k in range(2)] == pytest.approx([1.0, 1.0], abs=0.2)


@pytest.mark.parametrize("b, other", [(0.0, lambda: q.Heat1D(0.0, 1.0, N, U0)),
                                      (-0.0, lambda: q.Heat1D(0.0, 1.0, N, U0)),
                                      (0.5, lambda: q.Strang1D(0.0, 1.0, N, U0, b=0.5))])
def test_a_never_binding_obstacle_is_the_linear_evolution(b, other):
    o = q.ObstacleChernoff(0.0, 1.0, N, U0, b=b, level=-10.0)
    ref = other()
    ref.evolve(0.1, 10)
    assert np.array_equal(o.evolve(0.1, 10), ref.values())


def test_constant_level_binds_and_initial_values_are_not_projected():
    o = q.ObstacleChernoff(0.0, 1.0, N, U0, a=0.5, c=-1.0, level=0.1)
    assert np.array_equal(o.values(), U0)
    assert np.min(o.evolve(0.05, 1)) == 0.1
    assert o.order() == 1 and len(o) == N
    before = o.values()
    for t, n_steps, message in [(math.nan, 0, "[OutOfDomain] n_steps must be >= 1"),
                                (-1.0, 3, "[OutOfDomain] t must be finite and >= 0")]:
        raises_exact(QuorvaneError, message, o.evolve, t, n_steps)
    assert np.array_equal(o.values(), before)


U4 = [1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((0.0, 1.0, 4, "abcd"), {"level": 0.0}, TypeError, "expected numpy.ndarray[float64] or sequence of floats"),
    ((0.0, 1.0, 4, [1.0, math.nan, 0.0, 0.0]), {"a": -1.0}, QuorvaneError, "[NanInf] u0 contains NaN or Inf: NaN"),
    ((0.0, 1.0, 4, U4), {"a": 0.0, "b": math.inf}, QuorvaneError, "[OutOfDomain] a must be finite and > 0"),
    ((0.0, 1.0, 4, U4), {"b": math.nan}, QuorvaneError, "[OutOfDomain] b must be finite"),
    ((0.0, 1.0, 4, U4), {"c": -math.inf}, QuorvaneError, "[OutOfDomain] c must be finite"),
    ((1.0, 0.0, 4, U4), {"c": 1.0}, QuorvaneError, "[GridMismatch] xmin must be < xmax"),
    ((0.0, 1.0, 4, U4[:3]), {}, QuorvaneError, "[GridMismatch] values.len() must equal grid.n"),
    ((0.0, 1.0, 4, U4), {}, QuorvaneError, "[NanInf] ConstantObstacle: level must be finite: NaN"),
    ((0.0, 1.0, 4, U4), {"level": math.nan, "obstacle_array": "ab"}, QuorvaneError,
     "[OutOfDomain] obstacle_array must be a sequence of floats"),
    ((0.0, 1.0, 4, U4), {"obstacle_array": [0.0] * 5}, QuorvaneError,
     "[OutOfDomain] obstacle_array length must equal n"),
    ((0.0, 1.0, 4, U4), {"obstacle_array": [0.0, math.inf, 0.0, 0.0]}, QuorvaneError,
     "[NanInf] ArrayObstacle: obstacle_array contains NaN or Inf: inf"),
])
def test_obstacle_construction_errors(args, kwargs, exc, message):
    raises_exact(exc, message, q.ObstacleChernoff, *args, **kwargs)


def test_active_set_adjoint_validates_then_is_unsupported():
    o = q.ObstacleChernoff(0.0, 1.0, 4, U4, level=0.0)
    unsupported = ("[OutOfDomain] unsupported operation: apply_adjoint_into: no transpose-apply primitive for this "
                   "type; implement AdjointApply<F> or use new_self_adjoint for symmetric inners (ADR-0114)")
    raises_exact(QuorvaneError, "[GridMismatch] w_fwd and lam must have length n",
                 o.evolve_active_set_adjoint, U4, U4[:3], 0.0)
    raises_exact(QuorvaneError, "[OutOfDomain] tau must be finite and > 0", o.evolve_active_set_adjoint, U4, U4, 0.0)
    raises_exact(QuorvaneError, "[NanInf] all values must be finite (no NaN/Inf): NaN",
                 o.evolve_active_set_adjoint, U4, [0.0, 0.0, math.nan, 0.0], 0.1)
    raises_exact(QuorvaneError, unsupported, o.evolve_active_set_adjoint, U4, U4, 0.1)


def test_gamma_is_2_on_x_squared_and_refuses_contact_with_its_guard_band():
    x = np.linspace(-1.0, 1.0, 21)
    v = x ** 2
    gamma, defined, count = q.ObstacleGammaV8(-1.0, 1.0, 21, level=-1.0).inactive_gamma(v)
    assert defined.dtype == bool and count == 19
    np.testing.assert_allclose(gamma[1:-1], 2.0, rtol=1e-11)
    # A per-node obstacle touching v at node 10 refuses 9, 10, 11.
    g = v - 1.0
    g[10] = v[10]
    gamma, defined, count = q.ObstacleGammaV8(-1.0, 1.0, 21, obstacle_array=g).inactive_gamma(list(v))
    assert count == 16 and not defined[9:12].any() and np.all(gamma[9:12] == 0.0)


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((math.nan, 1.0, 4), {"level": 0.0}, QuorvaneError, "[NanInf] domain bounds must be finite"),
    ((1.0, 1.0, 4), {"level": 0.0}, QuorvaneError, "[OutOfDomain] domain_lo must be < domain_hi"),
    ((0.0, 1.0, 3), {"level": 0.0}, QuorvaneError, "[OutOfDomain] n_grid must be >= 4 (Grid1D requirement)"),
    ((0.0, 1.0, 4), {}, QuorvaneError, "[NanInf] level must be finite"),
    ((0.0, 1.0, 4), {"obstacle_array": "x"}, TypeError, "obstacle_array must be float64 array"),
    ((0.0, 1.0, 4), {"obstacle_array": [0.0]}, QuorvaneError,
     "[GridMismatch] obstacle_array length must equal n_grid"),
])
def test_gamma_construction_errors(args, kwargs, exc, message):
    raises_exact(exc, message, q.ObstacleGammaV8, *args, **kwargs)


def test_gamma_call_errors_and_surface():
    o = q.ObstacleGammaV8(0.0, 1.0, 4, level=0.0)
    assert o.size() == 4
    raises_exact(TypeError, "expected numpy.ndarray[float64] or sequence of floats", o.inactive_gamma, None)
    raises_exact(QuorvaneError, "[GridMismatch] v length does not match n_grid", o.inactive_gamma, [1.0])
    raises_exact(QuorvaneError, "[NanInf] all values must be finite (no NaN/Inf): inf", o.inactive_gamma,
                 [1.0, math.inf, 1.0, 1.0])
    assert q.ObstacleChernoff.__text_signature__ == \
        "(xmin, xmax, n, u0, *, a=1.0, b=0.0, c=0.0, level=..., obstacle_array=None)"
    assert q.ObstacleChernoff.evolve.__text_signature__ == EVOLVE
    assert q.ObstacleChernoff.values.__text_signature__ == SELF
