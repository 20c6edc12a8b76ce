"""PointEval: (F(tau)^n u0)(x) for unit heat, equal to whole-grid steps followed by interpolation."""

import math

import numpy as np
import pytest

import quorvane as q
from conftest import GRID_ERRORS, N_STEPS, check_surface, error_text, raises_exact
from quorvane import PointEval, QuorvaneError

N = 61
X = np.linspace(-3.0, 3.0, N)
U0 = np.exp(-(X ** 2)) + 0.1 * X


@pytest.mark.parametrize("n_steps", [1, 4, 7])
def test_equals_whole_grid_steps_then_interpolation(n_steps):
    tau = 2.0 ** -8  # n_steps * tau / n_steps == tau exactly, as Heat1D computes it
    p = PointEval(-3.0, 3.0, N)
    h = q.Heat1D(-3.0, 3.0, N, U0)
    h.evolve(n_steps * tau, n_steps=n_steps)
    grid = h.values()
    # At the nodes: the evolved values (reading a node through the interpolant is exact up to a few ulps).
    for i in [0, 17, 30, N - 1]:
        assert p.eval_at(tau, U0, X[i], n_steps=n_steps) == pytest.approx(grid[i], abs=1e-15)
    # Between nodes and beyond the ends (reflecting rule): the interpolant of the
    # evolved grid, read here by a zero step on it (rounding only).
    for x in [0.123, -2.91, 3.4, -3.7]:
        assert p.eval_at(tau, U0, x, n_steps=n_steps) == pytest.approx(p.eval_at(0.0, grid, x), abs=1e-14)
    assert p.eval_at(0.01, list(U0), 0.5) == p.eval_at(0.01, U0, 0.5, n_steps=1)  # default: one step


def test_against_the_exact_heat_solution_and_reflection():
    x = np.linspace(-8.0, 8.0, 321)
    p = PointEval(-8.0, 8.0, 321)
    exact = math.exp(-0.37 ** 2 / 3.0) / math.sqrt(3.0)  # t = 0.5 from exp(-x^2)
    # Second order in tau = 0.01 with a small constant for this Gaussian.
    assert p.eval_at(0.01, np.exp(-(x ** 2)), 0.37, n_steps=50) == pytest.approx(exact, abs=1e-5)
    # Reflecting ends: points mirrored about xmax give the same value (rounding only).
    assert p.eval_at(0.01, np.sin(x), 8.3) == pytest.approx(p.eval_at(0.01, np.sin(x), 7.7), abs=1e-14)


@pytest.mark.parametrize("args, text", [((-1.5, 2.0, 10), "PointEval(xmin=-1.5, xmax=2, n=10)"),
                                        ((0.0, 1.0, 64), "PointEval(xmin=0, xmax=1, n=64)"),
                                        ((0.25, 1e22, 4), "PointEval(xmin=0.25, xmax=10000000000000000000000, n=4)")])
def test_repr(args, text):
    assert repr(PointEval(*args)) == text


@pytest.mark.parametrize("args, message", [(args[:3], message) for args, kw, _, message in GRID_ERRORS
                                           if not kw and len(args[3]) == args[2]])
def test_constructor_errors(args, message):
    raises_exact(QuorvaneError, message, PointEval, *args)


@pytest.mark.parametrize("args, kwargs, message", [
    ((-1.0, U0, 0.0), {"n_steps": 0}, N_STEPS),
    ((-1e-300, U0, 0.0), {}, "[OutOfDomain] tau must be finite and >= 0"),
    ((math.inf, U0, 0.0), {}, "[OutOfDomain] tau must be finite and >= 0"),
    ((0.01, [1.0, math.nan, 2.0], 0.0), {}, "[GridMismatch] u0 length 3, expected 61"),  # length before values
    ((0.01, [math.nan] * N, 0.0), {}, "[NanInf] u0 contains NaN or Inf"),
    # A point without a value is refused by name, never interpolated.
    ((0.01, U0, math.nan), {}, "[NanInf] x must be finite: NaN"),
    ((0.01, U0, -math.inf), {}, "[NanInf] x must be finite: -inf"),
])
def test_eval_at_errors(args, kwargs, message):
    assert error_text(PointEval(-3.0, 3.0, N).eval_at, *args, **kwargs) == message


def test_eval_at_argument_conversions_and_surface():
    p = PointEval(-3.0, 3.0, N)
    raises_exact(TypeError, "u0 must be a float64 array", p.eval_at, 0.01, "abc", 0.0)
    with pytest.raises(OverflowError):
        p.eval_at(0.01, U0, 0.0, n_steps=2 ** 32)
    with pytest.raises(TypeError, match="x"):
        p.eval_at(0.01, U0, "left")
    assert p.eval_at(-0.0, U0, 0.0) == pytest.approx(U0[30], abs=1e-15)  # a node read through the interpolant
    check_surface(PointEval, "(xmin, xmax, n)", eval_at="($self, tau, u0, x, n_steps=1)")
    with pytest.raises(TypeError):
        len(p)
