"""Strang1D: advection-diffusion by D(tau/2) R(tau) D(tau/2), against the
exact advected Gaussian, with its argument checks."""

import inspect
import math

import numpy as np
import pytest

import quorvane as q
from quorvane import QuorvaneError, Strang1D


def error_text(fn, *args, **kwargs):
    with pytest.raises(QuorvaneError) as info:
        fn(*args, **kwargs)
    return str(info.value)


def advected_gauss(x, t, b):
    # u_t = u_xx + b u_x from exp(-x^2/2): the spread Gaussian read at x + b t.
    v = 1.0 + 2.0 * t
    return np.exp(-((x + b * t) ** 2) / (2.0 * v)) / np.sqrt(v)


@pytest.mark.parametrize("b", [0.5, -0.8])
def test_second_order_against_the_advected_gaussian(b):
    n, t = 801, 1.0
    x = np.linspace(-20.0, 20.0, n)
    errors = []
    for steps in [4, 8, 16, 32]:
        s = Strang1D(-20.0, 20.0, n, advected_gauss(x, 0.0, 0.0), b=b)
        s.evolve(t, n_steps=steps)
        errors.append(np.max(np.abs(s.values() - advected_gauss(x, t, b))))
    orders = [math.log2(errors[k] / errors[k + 1]) for k in range(3)]
    # Measured 2.3, 2.1, 2.0: the heat rule's tau^3 local error, nothing from
    # the splitting (constant b commutes with diffusion). Interpolation
    # (dx = 0.05) stays near 1e-12, far below these errors.
    assert orders == pytest.approx([2.0, 2.0, 2.0], abs=0.35)
    assert errors[-1] < 5e-6


def test_without_drift_it_is_heat_at_half_steps():
    # b = 0: each Strang step is two heat half steps, so n Strang steps equal
    # 2n Heat1D steps of tau/2 (up to the rounding of resampling at the nodes).
    n = 121
    x = np.linspace(-6.0, 6.0, n)
    u0 = np.exp(-(x ** 2))
    s = Strang1D(-6.0, 6.0, n, u0, b=0.0, boundary="zero")
    h = q.Heat1D(-6.0, 6.0, n, u0, boundary="zero")
    s.evolve(0.4, n_steps=10)
    h.evolve(0.4, n_steps=20)
    assert np.max(np.abs(s.values() - h.values())) < 1e-14


def test_defaults_zero_time_len_and_values_copy():
    n = 41
    x = np.linspace(-4.0, 4.0, n)
    u0 = np.exp(-(x ** 2))
    s = Strang1D(-4.0, 4.0, n, u0)
    ref = Strang1D(-4.0, 4.0, n, u0, b=0.5, boundary="reflect")
    s.evolve(0.3)
    ref.evolve(0.3, n_steps=100)
    assert np.array_equal(s.values(), ref.values())
    z = Strang1D(-4.0, 4.0, n, u0)
    z.evolve(-0.0)
    # 100 zero steps each resample u three times at the nodes: a few ulps each.
    assert np.max(np.abs(z.values() - u0)) < 1e-12
    assert len(s) == n and s.order() == 2
    v = s.values()
    v[:] = 7.0
    assert s.values()[0] != 7.0


@pytest.mark.parametrize("b", [math.nan, math.inf])
def test_non_finite_drift_fails_in_evolve_and_keeps_values(b):
    n = 21
    u0 = np.linspace(0.0, 1.0, n)
    s = Strang1D(0.0, 1.0, n, u0, b=b)  # b itself is not checked
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] "):
        s.evolve(0.1, n_steps=3)
    assert np.array_equal(s.values(), u0)


U4 = [1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1.0, 0.0, 5, [1.0, math.nan]), {}, "[NanInf] u0 contains NaN or Inf: NaN"),
        ((math.nan, 1.0, 4, U4), {}, "[NanInf] xmin must be finite: NaN"),
        ((0.0, -math.inf, 4, U4), {}, "[NanInf] xmax must be finite: -inf"),
        ((1.0, 1.0, 4, U4), {}, "[GridMismatch] xmin must be < xmax"),
        ((0.0, 1.0, 3, U4[:3]), {}, "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
        ((0.0, 1.0, 4, U4 + [5.0]), {}, "[GridMismatch] values.len() must equal grid.n"),
        ((0.0, 1.0, 4, "abcd"), {"boundary": "mirror"},
         '[OutOfDomain] unknown boundary policy "mirror"; valid options are: "reflect", "periodic", "zero", "linear"'),
    ],
)
def test_constructor_errors(args, kwargs, message):
    assert error_text(Strang1D, *args, **kwargs) == message


def test_constructor_u0_type_error_and_n4_accepted():
    with pytest.raises(TypeError, match=r"^u0 must be a numpy.ndarray\[float64\] or a sequence of floats$"):
        Strang1D(0.0, 1.0, 4, "abcd")
    assert len(Strang1D(0.0, 1.0, 4, U4, boundary="PERIODIC")) == 4


@pytest.mark.parametrize(
    "t, n_steps, message",
    [
        (-1.0, 0, "[OutOfDomain] n_steps must be >= 1"),
        (-1.0, 100, "[OutOfDomain] t must be finite and >= 0"),
        (math.inf, 5, "[OutOfDomain] t must be finite and >= 0"),
    ],
)
def test_evolve_argument_errors(t, n_steps, message):
    s = Strang1D(0.0, 1.0, 4, U4)
    assert error_text(s.evolve, t, n_steps=n_steps) == message


def test_text_signatures():
    assert Strang1D.__text_signature__ == '(xmin, xmax, n, u0, *, b=0.5, boundary="reflect")'
    assert list(inspect.signature(Strang1D).parameters) == ["xmin", "xmax", "n", "u0", "b", "boundary"]
    assert Strang1D.evolve.__text_signature__ == "($self, t, n_steps=100)"
    assert Strang1D.order.__text_signature__ == "($self)"
    assert Strang1D.values.__text_signature__ == "($self)"
    assert "Raises" in Strang1D.__doc__ and "order 2" in Strang1D.__doc__
