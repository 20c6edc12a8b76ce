"""Helpers shared by the Python tests: exact messages, the construction and evolve checks of the grid classes."""

import functools
import math

import numpy as np
import pytest

from quorvane import QuorvaneError

U4 = [1.0, 2.0, 3.0, 4.0]
U0_TYPE = "u0 must be a numpy.ndarray[float64] or a sequence of floats"
MIRROR = '[OutOfDomain] unknown boundary policy "mirror"; valid options are: "reflect", "periodic", "zero", "linear"'
N_STEPS = "[OutOfDomain] n_steps must be >= 1"
T_NONNEG = "[OutOfDomain] t must be finite and >= 0"
XMIN_LT = "[GridMismatch] xmin must be < xmax"
N_GE4 = "[GridMismatch] n must be >= 4 (septic Hermite stencil)"
NONFINITE = "[NanInf] all values must be finite (no NaN/Inf): "
EVOLVE = "($self, t, n_steps=100)"
SELF = "($self)"

# Construction of a class (xmin, xmax, n, u0, *, boundary=...): one fault per
# row, and rows with two faults fix which check comes first.
GRID_ERRORS = [
    ((math.inf, 1.0, 4, U4), {}, QuorvaneError, "[NanInf] xmin must be finite: inf"),
    ((math.nan, 1.0, 4, U4), {}, QuorvaneError, "[NanInf] xmin must be finite: NaN"),
    ((0.0, math.nan, 4, U4), {}, QuorvaneError, "[NanInf] xmax must be finite: NaN"),
    ((0.0, -math.inf, 4, U4), {}, QuorvaneError, "[NanInf] xmax must be finite: -inf"),
    ((1.0, 1.0, 4, U4), {}, QuorvaneError, XMIN_LT),
    ((1.0, 0.0, 3, U4[:2]), {}, QuorvaneError, XMIN_LT),
    ((0.0, 1.0, 3, U4[:3]), {}, QuorvaneError, N_GE4),
    ((0.0, 1.0, 4, U4 + [5.0]), {}, QuorvaneError, "[GridMismatch] values.len() must equal grid.n"),
    ((0.0, 1.0, 4, U4), {"boundary": "Mirror"}, QuorvaneError, MIRROR),
]
# The same for classes that read u0 as a float sequence and check it before the grid.
U0_ERRORS = GRID_ERRORS + [
    ((0.0, 1.0, 4, [1.0, math.nan, 3.0, 4.0]), {}, QuorvaneError, "[NanInf] u0 contains NaN or Inf: NaN"),
    ((math.inf, 0.0, 3, [-math.inf, 1.0]), {}, QuorvaneError, "[NanInf] u0 contains NaN or Inf: -inf"),
    ((0.0, 1.0, 4, [1.0, math.inf, 3.0, 4.0]), {}, QuorvaneError, "[NanInf] u0 contains NaN or Inf: inf"),
    ((0.0, 1.0, 4, [0.0, "x", 0.0, 0.0]), {}, TypeError, U0_TYPE),
    ((0.0, 1.0, 4, "abcd"), {"boundary": "mirror"}, QuorvaneError, MIRROR),  # options before u0
]
# with_a_array(xmin, xmax, n, a, u0, **kw) of Heat1D, Heat1D4th, Heat1D6th (n = 6).
A6, Z6 = [1.0] * 6, [0.0] * 6
LEN5 = "[GridMismatch] coefficient array length 5 != n=6"
A_ARRAY_ERRORS = [
    ((0.0, 1.0, 6, "x", Z6), {}, QuorvaneError, "[GridMismatch] a must be numpy.ndarray[float64]"),
    ((0.0, 1.0, 6, A6, Z6), {"a_prime": object()}, QuorvaneError,
     "[GridMismatch] a_prime must be numpy.ndarray[float64]"),
    # Types come before any length.
    ((0.0, 1.0, 6, A6[:5], Z6), {"a_double_prime": "x"}, QuorvaneError,
     "[GridMismatch] a_double_prime must be numpy.ndarray[float64]"),
    ((0.0, 1.0, 6, A6[:5], Z6), {"a_prime": [0.0] * 3}, QuorvaneError, LEN5),
    ((0.0, 1.0, 6, A6[:5], [math.nan] * 6), {}, QuorvaneError, LEN5),
    ((0.0, 1.0, 6, A6 + [1.0, 1.0], Z6), {}, QuorvaneError, "[GridMismatch] coefficient array length 8 != n=6"),
    ((0.0, 1.0, 6, A6, Z6), {"a_prime": A6[:5]}, QuorvaneError, "[GridMismatch] derivative array length 5 != n=6"),
    ((0.0, 1.0, 6, A6, Z6), {"a_double_prime": A6 + [1.0]}, QuorvaneError,
     "[GridMismatch] derivative array length 7 != n=6"),
    ((0.0, 1.0, 6, [1.0, 2.0, math.nan, 4.0, 1.0, 1.0], Z6), {}, QuorvaneError,
     "[NanInf] coefficient array contains NaN or Inf"),
    ((0.0, 1.0, 6, [math.inf] + A6[1:], Z6), {}, QuorvaneError, "[NanInf] coefficient array contains NaN or Inf"),
    # Fewer than three samples cannot be differenced; given both derivatives nothing is derived.
    ((0.0, 1.0, 2, [1.0, 1.0], [0.0, 0.0]), {}, QuorvaneError,
     "[GridMismatch] a must have at least 3 samples to derive its derivatives, got 2"),
    ((0.0, 1.0, 2, [1.0, 1.0], [0.0, 0.0]), {"a_prime": [0.0, 0.0], "a_double_prime": [0.0, 0.0]}, QuorvaneError,
     N_GE4),
    ((0.0, 1.0, 6, [1.0, 1.0], Z6), {"a_prime": Z6, "a_double_prime": Z6}, QuorvaneError,
     "[GridMismatch] coefficient array length 2 != n=6"),
    # u0 comes before the grid.
    ((math.nan, 1.0, 6, A6, [0.0, 0.0, math.nan, 0.0, 0.0, 0.0]), {}, QuorvaneError,
     "[NanInf] u0 contains NaN or Inf: NaN"),
    ((0.0, 1.0, 6, A6, Z6[:5]), {}, QuorvaneError, "[GridMismatch] values.len() must equal grid.n"),
    ((0.0, 1.0, 3, A6[:3], Z6[:3]), {}, QuorvaneError, N_GE4),
    ((1.0, 0.0, 4, A6[:4], Z6[:4]), {}, QuorvaneError, XMIN_LT),
    # The boundary comes first, then u0's type.
    ((0.0, 1.0, 6, "a", "u0"), {"boundary": "mirror"}, QuorvaneError, MIRROR),
    ((0.0, 1.0, 6, "a", "u0"), {}, TypeError, U0_TYPE),
]
# evolve(t, n_steps): n_steps is checked before t.
EVOLVE_ERRORS = [(-1.0, 0, N_STEPS), (math.nan, 0, N_STEPS), (math.nan, 10, T_NONNEG),
                 (math.inf, 10, T_NONNEG), (-1e-300, 10, T_NONNEG)]


def check_kind(e):
    """A raised QuorvaneError carries its kind, the message's bracketed prefix."""
    assert e.kind == str(e)[1:str(e).index("]")], str(e)
    return e


def raises_exact(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    if isinstance(info.value, QuorvaneError):
        check_kind(info.value)
    return info.value


def error_text(fn, *args, **kwargs):
    with pytest.raises(QuorvaneError) as info:
        fn(*args, **kwargs)
    return str(check_kind(info.value))


def check_evolve_contract(obj, errors=EVOLVE_ERRORS, zero_atol=1e-12):
    """Refused evolves keep the values; t = 0 keeps them up to the rounding of
    resampling at the nodes (zero_atol); values() hands out a copy."""
    before = obj.values()
    for t, n_steps, message in errors:
        assert error_text(obj.evolve, t, n_steps=n_steps) == message
    assert np.array_equal(obj.values(), before)
    obj.evolve(-0.0)
    assert np.max(np.abs(obj.values() - before)) <= zero_atol
    out = obj.values()
    out[:] = 7.0
    assert len(obj) == len(before) and not np.array_equal(obj.values(), out)


def check_surface(cls, init, **methods):
    """Text signatures of the constructor and methods; no public member beyond them."""
    assert cls.__text_signature__ == init
    for name, text in methods.items():
        assert getattr(cls, name).__text_signature__ == text, name
    assert {m for m in dir(cls) if not m.startswith("_")} == set(methods)


def periodic_read_range(u0):
    """The range a transport object keeps for periodic data u0 on [0, 1) (the nodes, and the
    degree-7 read between them where the data are smooth): one step of a constant drift moves
    every node to a point of the read, clipped to that range; 64 sub-cell shifts sample it."""
    from quorvane import DriftReaction1D
    n = len(u0)
    reads = []
    for k in range(64):
        d = DriftReaction1D(0.0, 1 - 1 / n, n, u0, b=k / (64 * n), c=0.0, boundary="periodic")
        d.evolve(1.0, 1)
        reads.append(d.values())
    return np.min(reads), np.max(reads)


# The unit diffusion's generator A of the grid classes: the degree-7 second difference read
# beyond the ends as the end kind reads ("reflect" mirrors with period 2n - 2, "periodic" wraps,
# "zero" reads 0, "linear" the end's three-node slope line), in cells (dx = 1).
STENCIL7 = np.array([2, -27, 270, -490, 270, -27, 2]) / 180.0


def end_reads(boundary, n, i):
    """The (node, weight) pairs that node i of the infinite grid is read as."""
    if 0 <= i < n:
        return [(i, 1.0)]
    k, e, s = (-i, 0, 1) if i < 0 else (i - n + 1, n - 1, -1)
    m = i % (2 * n - 2)
    return {"reflect": [(m if m < n else 2 * n - 2 - m, 1.0)], "periodic": [(i % n, 1.0)], "zero": [],
            "linear": [(e, 1 + 1.5 * k), (e + s, -2.0 * k), (e + 2 * s, 0.5 * k)]}[boundary]


@functools.lru_cache(maxsize=None)
def grid_eigen(boundary, n):
    """sigma, V, W of -A: its eigenvalues and right eigenvectors (numpy's eigen-decomposition), the
    kernel's first, and W the kernel's left null vectors with W^T V_kernel = I. The kernel (the
    constants; the lines of "linear" ends) is put in exactly, where numpy's eigenvectors are not
    independent, and its projector is taken from W (two steps of inverse iteration of A^T shifted by
    1e-12): from V^-1 it is off by 7e-11 on 401 "linear" nodes."""
    a = np.zeros((n, n))
    for i in range(n):
        for m, w in zip(range(-3, 4), STENCIL7):
            for j, r in end_reads(boundary, n, i + m):
                a[i, j] -= w * r
    if boundary in ("zero", "periodic"):
        sigma, v = np.linalg.eigh(a)
        return np.where(sigma < 1e-12, 0.0, sigma), v, v[:, :0]
    sigma, v = np.linalg.eig(a)
    kernel = 2 if boundary == "linear" else 1
    keep = np.argsort(np.abs(sigma))[kernel:]
    lines = np.column_stack([np.ones(n), np.arange(n) - (n - 1) / 2])[:, :kernel]
    w = np.random.default_rng(0).standard_normal((n, kernel))
    for _ in range(2):
        w = np.linalg.qr(np.linalg.solve(a.T + 1e-12 * np.eye(n), w))[0]
    w = w @ np.linalg.inv(lines.T @ w)
    return np.concatenate([np.zeros(kernel), sigma[keep].real]), np.column_stack([lines, v[:, keep].real]), w


def law_exponent(law, mu, p):
    """phi(mu) of a subordinator: stable (p = alpha), Gamma or inverse Gaussian (p = c)."""
    with np.errstate(divide="ignore", over="ignore"):
        return {"stable": mu ** p, "gamma": np.log1p(mu / p),
                "inverse_gaussian": 2 * mu / (np.sqrt(p * p + 2 * mu) + p)}[law]


def subordinated_flow(u0, boundary, law, p, t, span=1.0):
    """exp(-t phi(-A)) u0 on len(u0) nodes of [0, span]: the kernel's share kept, the rest's
    coefficients from V."""
    sigma, v, w = grid_eigen(boundary, len(u0))
    kept = v[:, :w.shape[1]] @ (w.T @ u0)
    c = np.linalg.solve(v, u0 - kept)
    c[:w.shape[1]] = 0.0
    return kept + v @ (np.exp(-t * law_exponent(law, sigma * ((len(u0) - 1) / span) ** 2, p)) * c)
