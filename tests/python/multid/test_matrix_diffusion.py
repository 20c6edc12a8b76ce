"""MatrixDiffusion1D/2D/3D against the matrix exponential of the semi-discrete system, the
coupling applied once per step, and the fixed messages."""

import math
import re

import numpy as np
import pytest
from scipy.fft import dctn, idctn
from scipy.linalg import expm

import quorvane as q
from quorvane import QuorvaneError

from conftest import N_STEPS, T_NONNEG, XMIN_LT

C2 = lambda c: np.array([[0.0, c], [c, 0.0]])  # noqa: E731


def mirror_laplacian(n, lo, hi):
    """Second differences with ghosts w[-1] = w[0], w[n] = w[n-1]."""
    lap = np.diag(np.full(n, -2.0)) + np.diag(np.ones(n - 1), 1) + np.diag(np.ones(n - 1), -1)
    lap[0, 0] = lap[-1, -1] = -1.0
    return lap / ((hi - lo) / (n - 1)) ** 2


def system(ns, a, c):
    """a * Laplacian (x fastest) + C at every node, node-major with the two components inner."""
    eye = [np.eye(n) for n in ns]
    lap = 0
    for d, n in enumerate(ns):
        parts = [mirror_laplacian(n, 0.0, 1.0) if e == d else eye[e] for e in range(len(ns))]
        term = parts[-1]
        for p in reversed(parts[:-1]):
            term = np.kron(term, p)
        lap = lap + term
    N = int(np.prod(ns))
    return a * np.kron(lap, np.eye(2)) + np.kron(np.eye(N), C2(c))


def make(ns, u0, length=1.0, **kw):
    args = []
    for n in ns:
        args += [0.0, length, n]
    return {1: q.MatrixDiffusion1D, 2: q.MatrixDiffusion2D, 3: q.MatrixDiffusion3D}[len(ns)](*args, u0, **kw)


@pytest.mark.parametrize("ns", [(11,), (7, 6), (5, 6, 5)])
def test_second_order_against_expm(ns):
    a, c, t = 0.3, 1.7, 0.2
    N = 2 * int(np.prod(ns))
    u0 = np.cos(np.arange(N) * 0.7) + 0.5
    ref = expm(t * system(ns, a, c)) @ u0
    errs = []
    for n in (8, 16, 32):
        m = make(ns, u0, a_diag=a, c_coupling=c)
        m.evolve(t, n_steps=n)
        errs.append(np.abs(m.values() - ref).max())
    orders = [math.log2(errs[k] / errs[k + 1]) for k in range(2)]
    assert all(abs(p - 2.0) < 0.2 for p in orders), errs


@pytest.mark.parametrize("ns", [(5,), (5, 6), (5, 5, 6)])
def test_constant_pair_gets_the_coupling_once_per_step(ns):
    # Diffusion leaves constants alone, so one step is exp(tau C) exactly (up to rounding).
    c, tau, p, qq = 0.8, 0.3, 1.0, -0.5
    N = int(np.prod(ns))
    m = make(ns, np.tile([p, qq], N), c_coupling=c)
    m.evolve(tau, n_steps=1)
    expect = expm(tau * C2(c)) @ [p, qq]
    assert np.allclose(m.values().reshape(N, 2), expect, rtol=1e-13, atol=0)


def test_uncoupled_is_bit_identical_to_zero_coupling_and_tau_zero_is_identity():
    u0 = np.sin(np.arange(2 * 30) * 0.3)
    a, b = make((5, 6), u0), make((5, 6), u0, c_coupling=0.0)
    a.evolve(0.1, n_steps=3)
    b.evolve(0.1, n_steps=3)
    assert np.array_equal(a.values(), b.values())
    z = make((5, 6), u0, c_coupling=2.0)
    z.evolve(0.0)
    assert np.array_equal(z.values(), u0)


@pytest.mark.parametrize("c", [math.nan, 1e200])
def test_non_finite_results_are_refused_and_the_state_kept(c):
    u0 = np.ones(2 * 30)
    m = make((5, 6), u0, c_coupling=c)
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] "):
        m.evolve(1.0, n_steps=1)
    assert np.array_equal(m.values(), u0)


def test_members():
    m = q.MatrixDiffusion1D(0.0, 1.0, 5, [0.0] * 10)
    assert (len(m), repr(m), m.order()) == (5, "MatrixDiffusion1D(n=5, M=2, a_diag=1.000, c_coupling=0.000, order=2)", 2)
    m2 = make((5, 6), [0.0] * 60, a_diag=2.5, c_coupling=-1.0)
    assert repr(m2) == "MatrixDiffusion2D(nx=5, ny=6, M=2, a_diag=2.500, c_coupling=-1.000, order=2)"
    m3 = make((5, 5, 6), [0.0] * 300)
    assert repr(m3) == "MatrixDiffusion3D(nx=5, ny=5, nz=6, M=2, a_diag=1.000, order=2)"
    assert not hasattr(m2, "__len__") and m3.values().shape == (300,)


@pytest.mark.parametrize("cls, splitting", [
    (q.MatrixDiffusion1D, "palindromic Strang composition R(τ/2) ∘ D(τ) ∘ R(τ/2)"),
    (q.MatrixDiffusion2D, "splitting Lx(τ/2) Ly(τ) Lx(τ/2) of the 1-D coupled step R(τ/2) ∘ D(τ) ∘ R(τ/2)"),
    (q.MatrixDiffusion3D, "palindromic 5-leg splitting Lx(τ/2) Ly(τ/2) Lz(τ) Ly(τ/2) Lx(τ/2)"),
])
def test_class_docstring_states_the_splitting(cls, splitting):
    assert splitting in " ".join(cls.__doc__.split())


U10 = [0.0] * 10


@pytest.mark.parametrize("cls, args, kw, exc, msg", [
    (q.MatrixDiffusion1D, (0.0, 1.0, 4, U10[:8]), {}, QuorvaneError, "[OutOfDomain] n must be >= 5 (block-CN stencil)"),
    (q.MatrixDiffusion1D, (0.0, 1.0, 5, U10), {"a_diag": 0.0}, QuorvaneError, "[OutOfDomain] a_diag must be finite and > 0"),
    (q.MatrixDiffusion1D, (0.0, 1.0, 5, U10), {"a_diag": math.nan}, QuorvaneError,
     "[OutOfDomain] a_diag must be finite and > 0"),
    (q.MatrixDiffusion1D, (0.0, 1.0, 5, "ab"), {}, TypeError, "u0 must be a float64 array"),
    (q.MatrixDiffusion1D, (0.0, 1.0, 5, U10[:9]), {}, QuorvaneError, "[GridMismatch] u0 length 9, expected 2*n=10"),
    (q.MatrixDiffusion1D, (1.0, 0.0, 5, [math.inf] * 10), {}, QuorvaneError, "[NanInf] u0 contains NaN or Inf"),
    (q.MatrixDiffusion1D, (1.0, 0.0, 5, U10), {}, QuorvaneError, XMIN_LT),
    (q.MatrixDiffusion2D, (0, 1, 5, 0, 1, 4, []), {}, QuorvaneError, "[OutOfDomain] ny must be >= 5"),
    (q.MatrixDiffusion2D, (0, 1, 5, math.inf, 1, 5, [0.0] * 50), {}, QuorvaneError, "[NanInf] xmin must be finite: inf"),
    (q.MatrixDiffusion2D, (0, 1, 2**32, 0, 1, 2**31, []), {}, QuorvaneError,
     "[GridMismatch] u0 length 0, expected 2*nx*ny=18446744073709551616"),
    (q.MatrixDiffusion3D, (0, 1, 5, 0, 1, 5, 0, 1, 4, []), {"a_diag": -1.0}, QuorvaneError,
     "[OutOfDomain] a_diag must be finite and > 0"),
    (q.MatrixDiffusion3D, (0, 1, 5, 0, 1, 5, 0, 1, 4, []), {}, QuorvaneError, "[OutOfDomain] nz must be >= 5"),
    (q.MatrixDiffusion3D, (0, 1, 5, 0, 1, 5, 0, 1, 5, [0.0] * 249), {}, QuorvaneError,
     "[GridMismatch] u0 length 249, expected 2*nx*ny*nz=250"),
])
def test_constructor_errors(cls, args, kw, exc, msg):
    with pytest.raises(exc) as e:
        cls(*args, **kw)
    assert str(e.value) == msg


def test_evolve_checks():
    m = q.MatrixDiffusion1D(0.0, 1.0, 5, U10)
    for args, kw, msg in [((-1.0,), {"n_steps": 0}, N_STEPS), ((math.inf,), {}, T_NONNEG), ((-1e-300,), {}, T_NONNEG)]:
        with pytest.raises(QuorvaneError) as e:
            m.evolve(*args, **kw)
        assert str(e.value) == msg
    m.evolve(-0.0)


def split_cn(ns, u0, a, c, t, n_steps, length=1.0):
    """The steps in the cosine basis that diagonalises every mirror Laplacian, where the legs'
    Crank-Nicolson factors multiply (the last axis one leg of tau, the others two of tau/2), and the
    coupling, which commutes with them, scales u + v and u - v by e^{+-c t}."""
    tau, D, F = t / n_steps, len(ns), 1.0
    for d, n in enumerate(ns):
        with np.errstate(over="ignore", invalid="ignore"):
            x = 4 * np.sin(np.pi * np.arange(n) / (2 * n)) ** 2 * (tau / 2) * a / (length / (n - 1)) ** 2
            f = np.where(np.isinf(x), -1.0, (1 - x) / (1 + x)) if d == D - 1 else \
                np.where(np.isinf(x / 2), 1.0, ((1 - x / 2) / (1 + x / 2)) ** 2)
        F = F * f.reshape([-1 if e == D - 1 - d else 1 for e in range(D)])
    u = u0.reshape(tuple(reversed(ns)) + (2,))
    s, d = [np.exp(k * c * t) * idctn(F ** n_steps * dctn(w, norm="ortho"), norm="ortho")
            for k, w in ((1, u[..., 0] + u[..., 1]), (-1, u[..., 0] - u[..., 1]))]
    return np.stack([(s + d) / 2, (s - d) / 2], axis=-1).ravel()


# One step of t = 1e3 ... 1.7e308 on [0, 1] (P = tau a / (2 dx^2) up to beyond the range), several
# steps, other lengths, and a = 1e300, where P overflows at t = 1e17.
CASES = [(1.0, 0.5, t, 1) for t in (1e3, 1e12, 1e13, 1e14, 1e16, 1e17, 1e18, 1e20, 1e50, 1e200, 1e300, 1.7e308)] + [
    (1.0, 0.5, 1e-3, 4), (1.0, 0.5, 1e18, 3), (1e-20, 0.99, 6.9e-3, 7), (1e20, 1e-150, 1e200, 2), (1.0, 1e300, 1e17, 1)]


@pytest.mark.parametrize("length, a, t, n_steps", CASES)
@pytest.mark.parametrize("ns", [(41,), (9, 7), (5, 6, 5)])
def test_every_step_is_the_exact_crank_nicolson_step_and_keeps_a_constant(ns, length, a, t, n_steps):
    const = np.full(2 * int(np.prod(ns)), 0.5)
    m = make(ns, const, length, a_diag=a)
    m.evolve(t, n_steps)
    assert np.array_equal(m.values(), const)
    u0 = np.random.default_rng(len(ns)).standard_normal(const.size)
    m = make(ns, u0, length, a_diag=a, c_coupling=0.7 / t)
    m.evolve(t, n_steps)
    # The coupling's factor e^{0.7} bounds the result; the solves average, so rounding stays ~ n eps.
    assert np.abs(m.values() - split_cn(ns, u0, a, 0.7 / t, t, n_steps, length)).max() < 1e-13 * np.abs(u0).max()


@pytest.mark.parametrize("ns, length, scale, a, c, t, named", [
    ((21,), 1e-20, 1e-150, 0.99, 1e5, 1e200, "6.907e-3"),
    ((21,), 1e-20, 1e300, 1e-150, -1e300, 1e200, "1.505e-299"),
    ((5, 5), 1.0, 1e300, 1.0, -1e300, 1e17, None),
    ((5, 5, 5), 1.0, 1.7e308, 1.0, 2.0, 1e4, None),
])
def test_the_coupling_refusal_names_a_t_that_passes_at_any_count(ns, length, scale, a, c, t, named):
    u0 = scale * np.ones(2 * int(np.prod(ns)))
    with pytest.raises(QuorvaneError) as e:
        make(ns, u0, length, a_diag=a, c_coupling=c).evolve(t, n_steps=1)
    text = str(e.value)
    found = re.search(r"t <= (\S+) keeps", text)
    assert text.startswith("[NanInf] MatrixDiffusion") and "e^{|c| t}" in text and "inf" not in text, text
    assert found and float(found.group(1)) > 0 and named in (None, found.group(1)), text
    for n in (1, 1000, 10**6 if len(ns) == 1 else 10):
        m = make(ns, u0 / np.abs(u0).max() if "scaled down" in text else u0, length, a_diag=a, c_coupling=c)
        m.evolve(float(found.group(1)), n)
        assert np.all(np.isfinite(m.values()))


@pytest.mark.parametrize("c", [math.nan, math.inf, -math.inf])
def test_a_coupling_that_is_not_finite_is_refused_as_such(c):
    with pytest.raises(QuorvaneError) as e:
        make((5, 6), np.ones(60), c_coupling=c).evolve(1.0, n_steps=1)
    assert str(e.value).startswith("[NanInf] MatrixDiffusion2D: c_coupling = ") and "t <=" not in str(e.value)
