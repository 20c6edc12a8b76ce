"""PointEval: (F(tau)^n u0)(x) for the unit heat Chernoff function, equal to
whole-grid steps followed by interpolation."""

import inspect
import math

import numpy as np
import pytest

import quorvane as q
from quorvane import PointEval, QuorvaneError


def error_text(fn, *args, **kwargs):
    with pytest.raises(QuorvaneError) as info:
        fn(*args, **kwargs)
    return str(info.value)


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
    # At the nodes: the evolved values themselves (reading a node through the
    # interpolant is exact up to a few ulps).
    for i in [0, 17, 30, N - 1]:
        assert p.eval_at(tau, U0, X[i], n_steps=n_steps) == pytest.approx(grid[i], abs=1e-15)
    # Between nodes and beyond the ends (reflecting rule): the interpolant of
    # the evolved grid, read here by a zero step on it (rounding only).
    for x in [0.123, -2.91, 3.4, -3.7]:
        assert p.eval_at(tau, U0, x, n_steps=n_steps) == pytest.approx(p.eval_at(0.0, grid, x), abs=1e-14)


def test_against_the_exact_heat_solution_and_reflection():
    p = PointEval(-8.0, 8.0, 321)
    x = np.linspace(-8.0, 8.0, 321)
    t, steps = 0.5, 50
    got = p.eval_at(t / steps, np.exp(-(x ** 2)), 0.37, n_steps=steps)
    exact = math.exp(-0.37 ** 2 / (1 + 4 * t)) / math.sqrt(1 + 4 * t)
    # Second order in tau = 0.01 with a small constant for this Gaussian.
    assert got == pytest.approx(exact, abs=1e-5)
    # Reflecting ends: points mirrored about xmax give the same value.
    u = np.sin(x)
    assert p.eval_at(0.01, u, 8.3) == pytest.approx(p.eval_at(0.01, u, 7.7), abs=1e-14)


def test_default_step_count_and_sequence_input():
    p = PointEval(-3.0, 3.0, N)
    assert p.eval_at(0.01, list(U0), 0.5) == p.eval_at(0.01, U0, 0.5, n_steps=1)


def test_repr():
    assert repr(PointEval(-1.5, 2.0, 10)) == "PointEval(xmin=-1.5, xmax=2, n=10)"
    assert repr(PointEval(0.0, 1.0, 64)) == "PointEval(xmin=0, xmax=1, n=64)"
    assert repr(PointEval(0.25, 1e22, 4)) == "PointEval(xmin=0.25, xmax=10000000000000000000000, n=4)"


@pytest.mark.parametrize(
    "args, message",
    [
        ((math.nan, 1.0, 10), "[NanInf] xmin must be finite: NaN"),
        ((0.0, math.inf, 10), "[NanInf] xmax must be finite: inf"),
        ((1.0, 1.0, 10), "[GridMismatch] xmin must be < xmax"),
        ((0.0, 1.0, 3), "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
    ],
)
def test_constructor_errors(args, message):
    assert error_text(PointEval, *args) == message


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((-1.0, U0, 0.0), {"n_steps": 0}, "[OutOfDomain] n_steps must be >= 1"),
        ((-1e-300, U0, 0.0), {}, "[OutOfDomain] tau must be finite and >= 0"),
        ((math.inf, U0, 0.0), {}, "[OutOfDomain] tau must be finite and >= 0"),
        # The length is checked before the values.
        (([1.0, math.nan, 2.0],), {}, "[GridMismatch] u0 length 3, expected 61"),
        (([math.nan] * N,), {}, "[NanInf] u0 contains NaN or Inf"),
        # A point without a value is refused by name, never interpolated.
        ((0.01, U0, math.nan), {}, "[NanInf] x must be finite: NaN"),
        ((0.01, U0, -math.inf), {}, "[NanInf] x must be finite: -inf"),
    ],
)
def test_eval_at_errors(args, kwargs, message):
    p = PointEval(-3.0, 3.0, N)
    if len(args) == 1:
        args = (0.01, args[0], 0.0)
    assert error_text(p.eval_at, *args, **kwargs) == message


def test_eval_at_argument_conversions():
    p = PointEval(-3.0, 3.0, N)
    with pytest.raises(TypeError, match=r"^u0 must be a float64 array$"):
        p.eval_at(0.01, "abc", 0.0)
    with pytest.raises(OverflowError):
        p.eval_at(0.01, U0, 0.0, n_steps=2 ** 32)
    with pytest.raises(TypeError, match="x"):
        p.eval_at(0.01, U0, "left")
    assert p.eval_at(-0.0, U0, 0.0) == pytest.approx(U0[30], abs=1e-15)


def test_text_signatures_and_members():
    assert PointEval.__text_signature__ == "(xmin, xmax, n)"
    assert PointEval.eval_at.__text_signature__ == "($self, tau, u0, x, n_steps=1)"
    assert list(inspect.signature(PointEval.eval_at).parameters) == ["self", "tau", "u0", "x", "n_steps"]
    with pytest.raises(TypeError):
        len(PointEval(0.0, 1.0, 4))
