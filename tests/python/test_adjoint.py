"""Adjoint: the dual evolution of the five 1-D kernels. The reversed drift
transports the other way; on a periodic grid every adjoint step is the
transpose of the forward step, so <F* v, u> = <v, F u>."""

import math

import numpy as np
import pytest

from quorvane import Adjoint, QuorvaneError

KERNELS = ["heat2", "heat4", "heat6", "drift", "shift"]


def error_text(fn, *args, **kwargs):
    with pytest.raises(QuorvaneError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("self_adjoint, direction", [(True, 1.0), (False, -1.0)])
def test_drift_follows_or_reverses_the_characteristic(self_adjoint, direction):
    # Forward transport of du/dt = 0.5 du/dx gives u0(x + t/2); its adjoint
    # -0.5 d/dx gives u0(x - t/2).
    n, t = 401, 2.0
    x = np.linspace(-10.0, 10.0, n)
    a = Adjoint(-10.0, 10.0, n, np.exp(-(x ** 2)), kernel="drift", self_adjoint=self_adjoint, boundary="zero")
    out = a.evolve(t, n_steps=20)
    # Constant drift makes the feet exact; the septic interpolation (dx = 0.05)
    # leaves well under 1e-7.
    assert np.max(np.abs(out - np.exp(-((x + direction * 0.5 * t) ** 2)))) < 1e-7
    assert np.array_equal(out, a.values())
    assert a.is_self_adjoint() is self_adjoint


def step_matrix(kernel, self_adjoint, n, tau):
    cols = []
    for j in range(n):
        e = np.zeros(n)
        e[j] = 1.0
        a = Adjoint(0.0, 1.0, n, e, kernel=kernel, self_adjoint=self_adjoint, boundary="periodic")
        cols.append(a.evolve(tau, n_steps=1))
    return np.array(cols).T


@pytest.mark.parametrize("kernel", KERNELS)
def test_adjoint_step_is_the_transpose_on_a_periodic_grid(kernel):
    # Periodic grid, constant coefficients: each step is a circulant of
    # interpolation weights at the feet; the adjoint mirrors the feet, which
    # for the symmetric interpolant transposes the circulant.
    n, tau = 24, 4e-4
    forward = step_matrix(kernel, True, n, tau)
    adjoint = step_matrix(kernel, False, n, tau)
    # Feet rounded in x move each weight by about ulp/dx.
    assert np.max(np.abs(adjoint - forward.T)) < 1e-13
    rng = np.random.default_rng(7)
    u, v = rng.standard_normal(n), rng.standard_normal(n)
    assert (adjoint @ v) @ u == pytest.approx(v @ (forward @ u), abs=1e-12)
    # The drift step really moves values (it is not its own transpose).
    if kernel == "drift":
        assert np.max(np.abs(forward - forward.T)) > 1e-3


def test_orders_and_flags():
    u0 = np.linspace(0.0, 1.0, 8)
    for kernel in KERNELS:
        a = Adjoint(0.0, 1.0, 8, u0, kernel=kernel)
        assert a.order() == (1 if kernel == "shift" else 2)
        assert a.is_self_adjoint() is (kernel != "drift")
        assert len(a) == 8
    assert Adjoint(0.0, 1.0, 8, u0, kernel="shift", self_adjoint=False).is_self_adjoint() is True


def test_evolve_returns_a_copy_and_failures_keep_values():
    u0 = np.linspace(0.0, 1.0, 8)
    a = Adjoint(0.0, 1.0, 8, u0)
    assert error_text(a.evolve, 0.0) == "[OutOfDomain] t must be finite and > 0"
    assert error_text(a.evolve, -0.0) == "[OutOfDomain] t must be finite and > 0"
    assert error_text(a.evolve, math.nan, n_steps=0) == "[OutOfDomain] n_steps must be >= 1"
    assert np.array_equal(a.values(), u0)
    out = a.evolve(5e-324, n_steps=1)  # a positive subnormal t passes
    out[:] = 3.0
    assert a.values()[0] != 3.0


U4 = [1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((0.0, 1.0, 4, "abcd"), {}, "[GridMismatch] u0 must be numpy.ndarray[float64]"),
        ((math.inf, 1.0, 4, U4), {}, "[NanInf] xmin must be finite: inf"),
        # The grid is checked before the kernel name.
        ((1.0, 0.0, 4, U4), {"kernel": "nope"}, "[GridMismatch] xmin must be < xmax"),
        ((0.0, 1.0, 4, U4[:3]), {}, "[GridMismatch] values.len() must equal grid.n"),
        ((0.0, 1.0, 4, [1.0, math.nan, 1.0, 1.0]), {}, "[NanInf] all values must be finite (no NaN/Inf): NaN"),
        ((0.0, 1.0, 4, U4), {"kernel": "Heat2"},
         "[OutOfDomain] unknown kernel 'Heat2'; expected heat2|heat4|heat6|drift|shift"),
        ((0.0, 1.0, 4, U4), {"boundary": "Mirror"},
         '[OutOfDomain] unknown boundary policy "mirror"; valid options are: "reflect", "periodic", "zero", "linear"'),
    ],
)
def test_constructor_errors(args, kwargs, message):
    assert error_text(Adjoint, *args, **kwargs) == message


def test_text_signatures():
    assert Adjoint.__text_signature__ == (
        '(xmin, xmax, n, u0, *, kernel="heat2", self_adjoint=False, boundary="reflect")'
    )
    assert Adjoint.evolve.__text_signature__ == "($self, t, n_steps=100)"
    for name in ["order", "is_self_adjoint", "values"]:
        assert getattr(Adjoint, name).__text_signature__ == "($self)"
