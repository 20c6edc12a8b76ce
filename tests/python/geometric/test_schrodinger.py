"""Schrodinger1D and SchrodingerComplex1D: the free wave packet, second order
against the exact exponential of the discrete Hamiltonian, unitarity,
reversibility, the large-step refusal, conversions and messages."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest
import scipy.linalg

from conftest import N_GE4, N_STEPS, T_NONNEG, XMIN_LT, error_text, raises_exact
from quorvane import QuorvaneError, Schrodinger1D, SchrodingerComplex1D

NOT_COMPLEX = "[GridMismatch] psi0 must be a numpy.ndarray[complex128]"
T_FINITE = "[OutOfDomain] t must be finite (negative t is allowed for backward evolution)"


def packet(x, t, c, k0=1.0):
    """Free Gaussian packet of i psi_t = -c psi_xx from exp(-x^2/4 + i k0 x)."""
    a = 1.0 + 1j * c * t
    return np.sqrt(1.0 / a) * np.exp(-(x - 2 * c * k0 * t) ** 2 / (4 * a) + 1j * k0 * (x - c * k0 * t))


X = np.linspace(-20.0, 20.0, 4001)
PSI0 = packet(X, 0.0, 1.0)


@pytest.mark.parametrize("cls, c, t", [(Schrodinger1D, 1.0, 1.0), (SchrodingerComplex1D, 0.5, 2.0)])
def test_free_wave_packet(cls, c, t):
    # |psi| < 1e-20 at the ends, so the Dirichlet rows play no part; what is
    # left is O(dx^2) dispersion (k0 dx = 0.01) and O(tau^2).
    obj = cls(-20.0, 20.0, 4001, PSI0)
    obj.evolve(t, n_steps=400)
    assert np.max(np.abs(obj.values() - packet(X, t, c))) < 2e-4  # measured 6e-5


def test_complex_class_at_t_is_the_real_pair_at_half_t():
    # -Laplacian/2 over t and -Laplacian over t/2 give the same Cayley map.
    a, b = SchrodingerComplex1D(-20.0, 20.0, 4001, PSI0), Schrodinger1D(-20.0, 20.0, 4001, PSI0)
    a.evolve(2.0, n_steps=50)
    b.evolve(1.0, n_steps=50)
    # The real pair solves I + K^2 (condition ~ r^2, r = 50 here): ~r eps per step.
    assert np.max(np.abs(a.values() - b.values())) < 1e-10  # measured 2e-11


@pytest.mark.parametrize("cls, kinetic", [(Schrodinger1D, 1.0), (SchrodingerComplex1D, 0.5)])
def test_second_order_against_the_discrete_propagator(cls, kinetic):
    n = 201
    x = np.linspace(-5.0, 5.0, n)
    dx = x[1] - x[0]
    v = 0.5 * x * x
    psi0 = np.exp(-((x - 1.0) ** 2)) * (1.0 + 0.5j)
    lap = (np.diag(np.full(n, -2.0)) + np.diag(np.ones(n - 1), 1) + np.diag(np.ones(n - 1), -1)) / dx**2
    exact = scipy.linalg.expm(-1j * (-kinetic * lap + np.diag(v))) @ psi0
    errors = []
    for steps in (20, 40, 80):
        obj = cls.with_potential(-5.0, 5.0, n, v, psi0)
        obj.evolve(1.0, n_steps=steps)
        errors.append(np.max(np.abs(obj.values() - exact)))
    assert np.array(errors[:-1]) / np.array(errors[1:]) == pytest.approx([4.0, 4.0], abs=0.15)  # measured 3.93-4.02


def test_real_pair_is_unitary_and_reversible():
    rng = np.random.default_rng(3)
    n = 64
    psi0 = rng.normal(size=n) + 1j * rng.normal(size=n)
    v = rng.uniform(-3.0, 3.0, size=n)
    obj = Schrodinger1D.with_potential(0.0, 1.0, n, v, psi0)
    norm = obj.norm_squared()
    assert norm == pytest.approx(np.sum(np.abs(psi0) ** 2) / (n - 1), rel=1e-14)
    obj.evolve(0.3, n_steps=7)
    assert obj.norm_squared() == pytest.approx(norm, rel=1e-12)
    obj.evolve(-0.3, n_steps=7)
    assert np.max(np.abs(obj.values() - psi0)) < 1e-11


def test_complex_class_is_unitary_at_any_step():
    # r = tau / (4 dx^2) = 1e14: Cayley stays unitary in complex arithmetic.
    n = 50
    psi0 = np.exp(-np.linspace(-3, 3, n) ** 2) + 0j
    obj = SchrodingerComplex1D(0.0, 1.0, n, psi0)
    before = obj.norm_squared()
    obj.evolve(1e14 * 4 / 49**2, n_steps=1)
    assert obj.norm_squared() == pytest.approx(before, rel=1e-12)


def test_real_pair_refuses_steps_where_the_elimination_stops_being_unitary():
    # |tau| <= 2e6 dx^2 = 8 for dx = 2e-3; both signs, state kept on refusal.
    n = 501
    x = np.linspace(-0.5, 0.5, n)
    psi0 = np.exp(-100 * x * x) + 0j
    obj = Schrodinger1D(-0.5, 0.5, n, psi0)
    for t in (8.01, -8.01):
        msg = error_text(obj.evolve, t, n_steps=1)
        assert msg.startswith("[CflViolated] Schrodinger1D: tau = t/n_steps = 8.010e0 exceeds the largest "
                              "admissible tau = 8.000e0")
        assert msg.endswith("use n_steps >= 2 for t = 8.01")
        assert np.array_equal(obj.values(), psi0)
    norm = obj.norm_squared()
    obj.evolve(8.0, n_steps=1)
    obj.evolve(-16.0, n_steps=2)
    assert obj.norm_squared() == pytest.approx(norm, rel=1e-6)  # measured 7e-8 at r = 1e6


def test_values_and_parts():
    psi0 = np.array([1 + 2j, 3 - 1j, 0.5j, -2.0])
    a = Schrodinger1D(0.0, 1.0, 4, psi0)
    b = Schrodinger1D.from_parts(0.0, 1.0, 4, psi0.real, psi0.imag)
    assert a.values().dtype == np.complex128 and np.array_equal(a.values(), b.values())
    re, im = b.values_parts()
    assert np.array_equal(re, psi0.real) and np.array_equal(im, psi0.imag) and len(a) == 4
    c = SchrodingerComplex1D(0.0, 1.0, 4, psi0)
    assert c.values().dtype == np.complex128 and np.array_equal(c.values(), psi0) and c.order() == 2
    # A float64 array is a complex array with zero imaginary part.
    assert np.array_equal(SchrodingerComplex1D(0.0, 1.0, 4, psi0.real).values(), psi0.real + 0j)


PSI4 = np.zeros(4, dtype=complex)


@pytest.mark.parametrize("cls", [Schrodinger1D, SchrodingerComplex1D])
@pytest.mark.parametrize("args, message", [
    ((0.0, 1.0, 4, [0.0] * 4), NOT_COMPLEX),
    ((0.0, 1.0, 4, 1.5), "[GridMismatch] psi0.real must be extractable as float64"),
    ((0.0, 1.0, 3, np.zeros(3, dtype=complex)), N_GE4),
    ((1.0, 1.0, 4, PSI4), XMIN_LT),
    ((math.inf, 1.0, 4, PSI4), "[NanInf] xmin must be finite: inf"),
    ((0.0, 1.0, 3, np.array([0, 1, math.nan], dtype=complex)), "[NanInf] psi0 contains NaN or Inf: NaN"),
])
def test_construction_errors(cls, args, message):
    assert error_text(cls, *args) == message


def test_class_specific_construction_errors():
    assert error_text(Schrodinger1D, 0.0, 1.0, 5, PSI4) == "[GridMismatch] values.len() must equal grid.n"
    assert error_text(Schrodinger1D, 0.0, 1.0, 4, np.array([0, 0, math.inf, 0], dtype=complex)) == \
        "[NanInf] psi0 contains NaN or Inf: inf"
    assert error_text(Schrodinger1D.from_parts, 0.0, 1.0, 4, [0.0] * 4, "x") == \
        "[GridMismatch] psi_im must be numpy.ndarray[float64]"
    assert error_text(Schrodinger1D.with_potential, 0.0, 1.0, 4, [0.0] * 5, PSI4) == \
        "[GridMismatch] coefficient array length 5 != n=4"
    assert error_text(SchrodingerComplex1D, 0.0, 1.0, 5, PSI4) == \
        "[GridMismatch] GridFnComplex1D: values.len() must equal grid.n"
    assert error_text(SchrodingerComplex1D, 0.0, 1.0, 4, np.array([0, 0, math.inf, 0], dtype=complex)) == \
        "[NanInf] psi0 contains NaN or Inf: NaN"
    # v is checked before the grid.
    assert error_text(SchrodingerComplex1D.with_potential, 1.0, 0.0, 4, [0.0] * 3, PSI4) == \
        "[GridMismatch] len(v) = 3 but n = 4"
    assert error_text(SchrodingerComplex1D.with_potential, 0.0, 1.0, 4, [0.0, math.nan, 0.0, 0.0], PSI4) == \
        "[NanInf] v contains NaN or Inf"
    assert error_text(SchrodingerComplex1D.with_potential, 0.0, 1.0, 4, "v", PSI4) == \
        "[GridMismatch] v must be numpy.ndarray[float64]"
    with pytest.raises(TypeError):
        Schrodinger1D(0.0, 1.0, 4, PSI4, "reflect")  # boundary is keyword-only


def test_lengths_are_compared_before_allocating_n_values_in_a_subprocess():
    # Run under a 2 GiB address-space limit: allocating 2^31 values first would fail, not pass.
    code = """
import resource, numpy as np, quorvane as q
resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))
psi = np.zeros(9, dtype=complex)
for make in (lambda: q.Schrodinger1D(-1.0, 1.0, 2 ** 31, psi),
             lambda: q.Schrodinger1D.from_parts(-1.0, 1.0, 2 ** 31, psi.real, psi.imag),
             lambda: q.SchrodingerComplex1D(-1.0, 1.0, 2 ** 31, psi)):
    try:
        make()
    except Exception as e:
        print(type(e).__name__, e)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    assert out.stdout.splitlines() == ["QuorvaneError [GridMismatch] values.len() must equal grid.n"] * 2 + [
        "QuorvaneError [GridMismatch] GridFnComplex1D: values.len() must equal grid.n"], out.stderr


@pytest.mark.parametrize("cls, errors", [
    (Schrodinger1D, [(math.nan, 0, N_STEPS), (math.inf, 5, T_FINITE), (math.nan, 5, T_FINITE)]),
    (SchrodingerComplex1D, [(-1.0, 0, N_STEPS), (-1.0, 5, T_NONNEG), (math.inf, 5, T_NONNEG)]),
])
def test_evolve_errors_leave_the_state(cls, errors):
    psi0 = np.exp(-np.linspace(-2, 2, 8) ** 2) * (1 + 1j)
    obj = cls(-2.0, 2.0, 8, psi0)
    for t, steps, message in errors:
        assert error_text(obj.evolve, t, n_steps=steps) == message
    obj.evolve(0.0)
    assert np.array_equal(obj.values(), psi0)
