"""Heat2D, Heat3D and sample_gridfn2d: Strang composition against the 1-D evolver, exact solutions,
convergence order, the zero-copy buffer contract and the fixed messages."""

import logging
import math
import os
import subprocess
import sys

import numpy as np
import pytest
from scipy.interpolate import RegularGridInterpolator

import quorvane as q
from quorvane import QuorvaneError

from conftest import MIRROR, N_GE4, N_STEPS, XMIN_LT

TAU = "[OutOfDomain] tau must be finite and > 0"


def heat1d_lines(values, shape, axis, lo, hi, t, boundary):
    """One Heat1D step of size t along `axis` of a Fortran-ordered flat array."""
    u = values.reshape(shape, order="F").copy()
    u = np.moveaxis(u, axis, -1)
    out = np.empty_like(u)
    for idx in np.ndindex(u.shape[:-1]):
        h = q.Heat1D(lo, hi, u.shape[-1], u[idx], boundary=boundary)
        h.evolve(t, n_steps=1)
        out[idx] = h.values()
    return np.moveaxis(out, -1, axis).ravel(order="F")


@pytest.mark.parametrize("ny", [31, 33])  # sequential and threaded sweeps
def test_heat2d_step_is_heat1d_row_column_row(ny):
    nx, tau, bc = 9, 3e-3, "periodic"
    u0 = np.sin(np.arange(nx * ny) * 0.37)
    r = q.Heat2D(0.0, 1.0, nx, -1.0, 2.0, ny, boundary=bc).evolve(u0, tau, 1)
    ref = heat1d_lines(u0, (nx, ny), 0, 0.0, 1.0, tau / 2, bc)
    ref = heat1d_lines(ref, (nx, ny), 1, -1.0, 2.0, tau, bc)
    ref = heat1d_lines(ref, (nx, ny), 0, 0.0, 1.0, tau / 2, bc)
    assert np.array_equal(r, ref)


@pytest.mark.parametrize("shape", [(4, 5, 6), (32, 4, 8)])  # sequential and threaded sweeps
def test_heat3d_step_is_five_heat1d_legs(shape):
    tau, bc = 2e-3, "linear"
    bounds = [(0.0, 1.0), (0.0, 2.0), (-1.0, 1.0)]
    u0 = np.cos(np.arange(np.prod(shape)) * 0.21)
    r = q.Heat3D(*bounds[0], shape[0], *bounds[1], shape[1], *bounds[2], shape[2], boundary=bc).evolve(u0, tau, 1)
    ref = u0
    for ax, t in [(0, tau / 2), (1, tau / 2), (2, tau), (1, tau / 2), (0, tau / 2)]:
        ref = heat1d_lines(ref, shape, ax, *bounds[ax], t, bc)
    assert np.array_equal(r, ref)


def test_threaded_sweeps_do_not_depend_on_the_line_threshold():
    code = (
        "import numpy as np, quorvane as q, sys\n"
        "u = np.sin(np.arange(40 * 64) * 0.1)\n"
        "a = q.Heat2D(0, 1, 40, 0, 1, 64).evolve(u, 1e-3, 2)\n"
        "b = q.Heat3D(0, 1, 32, 0, 1, 8, 0, 1, 6).evolve(np.cos(np.arange(32 * 48) * 0.3), 1e-3, 2)\n"
        "sys.stdout.buffer.write(a.tobytes() + b.tobytes())\n"
    )
    outs = []
    for thr in ("64", "1000000"):
        env = dict(os.environ, TAMBRIK_PARALLEL_THRESHOLD=thr)
        outs.append(subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, check=True).stdout)
    assert outs[0] == outs[1]


def cos_mode_2d(nx, ny, t, n):
    # cos(pi x) cos(pi y / 2) satisfies the mirror boundary on [0,1] x [0,2].
    x, y = np.linspace(0, 1, nx), np.linspace(0, 2, ny)
    X, Y = np.meshgrid(x, y, indexing="ij")
    u0 = (np.cos(np.pi * X) * np.cos(np.pi * Y / 2)).ravel(order="F")
    r = q.Heat2D(0, 1, nx, 0, 2, ny).evolve(u0, t / n, n)
    return np.abs(r - u0 * math.exp(-1.25 * np.pi**2 * t)).max()


def test_heat2d_second_order_in_time():
    errs = [cos_mode_2d(41, 40, 0.05, n) for n in (2, 4, 8)]
    orders = [math.log2(errs[k] / errs[k + 1]) for k in range(2)]
    assert all(abs(p - 2.0) < 0.1 for p in orders), orders


def test_heat3d_second_order_in_time():
    n_ax = 24
    x = np.linspace(0, 1, n_ax)
    X, Y, Z = np.meshgrid(x, x, x, indexing="ij")
    u0 = (np.cos(np.pi * X) * np.cos(np.pi * Y) * np.cos(2 * np.pi * Z)).ravel(order="F")
    h = q.Heat3D(0, 1, n_ax, 0, 1, n_ax, 0, 1, n_ax)
    ex = u0 * math.exp(-6 * np.pi**2 * 0.02)
    errs = [np.abs(h.evolve(u0, 0.02 / n, n) - ex).max() for n in (2, 4, 8)]
    orders = [math.log2(errs[k] / errs[k + 1]) for k in range(2)]
    assert all(abs(p - 2.0) < 0.15 for p in orders), orders


@pytest.mark.parametrize("bc", ["reflect", "zero", "periodic", "linear"])
def test_heat2d_gaussian_away_from_the_walls(bc):
    # exp(-r^2 / (4 t0)) spreads to t0/(t0+t) exp(-r^2 / (4 (t0+t))); it is ~1e-20 at the walls.
    n, t0, t = 81, 0.01, 0.01
    x = np.linspace(-2, 2, n)
    X, Y = np.meshgrid(x, x, indexing="ij")
    u0 = np.exp(-(X**2 + Y**2) / (4 * t0)).ravel(order="F")
    ex = (t0 / (t0 + t) * np.exp(-(X**2 + Y**2) / (4 * (t0 + t)))).ravel(order="F")
    r = q.Heat2D(-2, 2, n, -2, 2, n, boundary=bc).evolve(u0, t / 20, 20)
    assert np.abs(r - ex).max() < 2e-4  # degree-7 Hermite at dx = 0.05 and sigma = 0.14


# On a grid 1e100 long the far reads of a giant step are folded back by whole periods in
# cells: the count named for t = 1e231 (379 on 17^2) and the counts above it reach the mean
# as the flow does (2 x 379 steps returned 29.6 max|u0| when the reads were taken many periods out).
@pytest.mark.parametrize("bc", ["reflect", "periodic"])
def test_heat2d_counts_named_on_a_long_grid_decay(bc):
    L, n = 1e100, 17
    x = np.linspace(0.0, L, n)
    X, Y = np.meshgrid(x, x, indexing="ij")
    u0 = (np.cos(2 * np.pi * X / L) * np.cos(2 * np.pi * Y / L)).ravel(order="F")
    h = q.Heat2D(0.0, L, n, 0.0, L, n, boundary=bc)
    with pytest.raises(QuorvaneError, match=r"n_steps >= (\d+)") as info:
        h.evolve(u0, 1e231, 1)
    k = int(info.value.args[0].split("n_steps >= ")[1].split()[0])
    kept = u0.mean() if bc == "periodic" else 0.0  # the mean each keeps (the trapezoidal one for "reflect")
    for count in (k, k + 1, 2 * k, 10 * k):
        v = h.evolve(u0, 1e231 / count, count)
        assert np.abs(v - kept).max() < 1e-6 and (bc != "periodic" or abs(v.mean() - kept) < 1e-14), count


def test_linear_data_is_stationary_under_linear_boundaries():
    x = np.linspace(0, 1, 6)
    X, Y, Z = np.meshgrid(x, x, x, indexing="ij")
    u0 = (1 + X - 2 * Y + 0.5 * Z).ravel(order="F")
    r = q.Heat3D(0, 1, 6, 0, 1, 6, 0, 1, 6, boundary="linear").evolve(u0, 0.01, 3)
    assert np.abs(r - u0).max() < 1e-12


def test_sample_gridfn2d_matches_regular_grid_interpolator():
    nx, ny = 7, 5
    x, y = np.linspace(-1, 2, nx), np.linspace(0, 1, ny)
    U = np.random.default_rng(3).standard_normal((nx, ny))
    interp = RegularGridInterpolator((x, y), U)
    for cx, cy in [(0.3, 0.41), (x[2], y[3]), (2.0, 1.0), (1.9, 0.01)]:
        assert q.sample_gridfn2d(U.ravel(order="F"), -1, 2, nx, 0, 1, ny, cx, cy) == pytest.approx(
            interp([cx, cy])[0], abs=1e-14)
    # Outside the box the nearest edge value continues.
    assert q.sample_gridfn2d(list(U.ravel(order="F")), -1, 2, nx, 0, 1, ny, 5.0, 0.5) == pytest.approx(
        interp([2.0, 0.5])[0], abs=1e-14)
    assert math.isnan(q.sample_gridfn2d(U.ravel(order="F"), -1, 2, nx, 0, 1, ny, math.nan, 0.5))


BIG = 2**32


@pytest.mark.parametrize("args, exc, msg", [
    (("abc", 0, 1, 4, 0, 1, 4, 0, 0), TypeError, "values must be a float64 array"),
    (([0.0] * 8, 0, 1, 4, 0, 1, 4, 0, 0), QuorvaneError, "[GridMismatch] values length 8, expected nx*ny=16"),
    (([], 0, 1, BIG, 0, 1, BIG, 0, 0), QuorvaneError,
     "[GridMismatch] values length 0, expected nx*ny=18446744073709551616"),
    (([0.0] * 9, 0, 1, 3, 0, 1, 3, 0, 0), QuorvaneError, N_GE4),
    (([0.0] * 16, 1, 1, 4, 0, 1, 4, 0, 0), QuorvaneError, XMIN_LT),
    (([0.0] * 16, 0, 1, 4, 0, math.inf, 4, 0, 0), QuorvaneError, "[NanInf] xmax must be finite: inf"),
])
def test_sample_gridfn2d_errors(args, exc, msg):
    with pytest.raises(exc) as e:
        q.sample_gridfn2d(*args)
    assert str(e.value) == msg


@pytest.mark.parametrize("args, kw, msg", [
    ((0.0, 1.0, 3, 0.0, 1.0, 8), {}, N_GE4),
    ((0.0, 1.0, 4, 1.0, 1.0, 8), {}, XMIN_LT),
    ((0.0, 1.0, 4, 0.0, math.inf, 8), {}, "[NanInf] xmax must be finite: inf"),
    ((math.nan, 1.0, 1, 0.0, 1.0, 8), {"boundary": "mirror"}, MIRROR),
    ((0.0, 1.0, 4, 0.0, 1.0, 4, 0.0, 1.0, 3), {}, N_GE4),
    ((0.0, 1.0, 4, math.nan, 1.0, 4, 0.0, 1.0, 4), {}, "[NanInf] xmin must be finite: NaN"),
])
def test_constructor_errors(args, kw, msg):
    cls = q.Heat2D if len(args) == 6 else q.Heat3D
    with pytest.raises(QuorvaneError) as e:
        cls(*args, **kw)
    assert str(e.value) == msg
    cls(*[0.0, 1.0, 4] * (len(args) // 3), boundary="PERIODIC")


@pytest.mark.parametrize("make, n", [(lambda: q.Heat2D(0, 1, 4, 0, 1, 4), 16),
                                     (lambda: q.Heat3D(0, 1, 4, 0, 1, 4, 0, 1, 4), 64)])
def test_evolve_errors(make, n):
    h = make()
    mid = " != nx*ny=" if n == 16 else " != nx*ny*nz="
    cases = [((np.zeros(n), 0.0, 0), N_STEPS), ((np.zeros(n), 0.0, 5), TAU), ((np.zeros(n), -1.0, 3), TAU),
             ((np.zeros(n), math.nan, 3), TAU), ((np.zeros(n + 1), 0.1, 1), f"[GridMismatch] u0 length {n + 1}{mid}{n}")]
    for args, msg in cases:
        with pytest.raises(QuorvaneError) as e:
            h.evolve(*args)
        assert str(e.value) == msg
    bad = np.zeros(n)
    bad[3] = math.nan
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] .*all values must be finite \(no NaN/Inf\): NaN$"):
        h.evolve(bad, 0.1, 1)
    with pytest.raises(TypeError, match=r"^u0 must be a numpy.ndarray\[float64\] or sequence of floats$"):
        h.evolve("abc", 0.1, 1)
    r = h.evolve(list(np.ones(n)), 0.1, 2)
    assert r.shape == (n,) and np.allclose(r, 1.0)


def test_hostile_sizes_never_wrap():
    h = q.Heat2D(0, 1, BIG, 0, 1, BIG)
    with pytest.raises(QuorvaneError) as e:
        h.evolve([], 0.1, 1)
    assert str(e.value) == "[GridMismatch] u0 length 0 != nx*ny=18446744073709551616"


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.WARNING)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def records():
    h = Records()
    log = logging.getLogger("quorvane.zero_copy")
    log.addHandler(h)
    yield h.records
    log.removeHandler(h)


@pytest.mark.parametrize("cls, args, n, name", [
    (q.Heat2D, (0, 1, 5, 0, 1, 6), 30, "Heat2D"),
    (q.Heat3D, (0, 1, 4, 0, 1, 4, 0, 1, 5), 80, "Heat3D"),
])
def test_evolve_into_buffer_contract(cls, args, n, name, records):
    h = cls(*args)
    u0 = np.sin(np.arange(n) * 0.5)
    expect = h.evolve(u0, 0.01, 3)
    buf = u0.copy()
    assert h.evolve_into(buf, 0.01, 3) is None
    assert np.array_equal(buf, expect) and records == []
    # Strided: the copy path computes, then refuses to write back.
    big = np.zeros(2 * n)
    big[::2] = u0
    before = big.copy()
    with pytest.raises(QuorvaneError) as e:
        h.evolve_into(big[::2], 0.01, 3)
    assert str(e.value) == "[OutOfDomain] destination buffer is not contiguous; cannot write back"
    assert np.array_equal(big, before)
    # Wrong length.
    short = u0[:-1].copy()
    with pytest.raises(QuorvaneError) as e:
        h.evolve_into(short, 0.01, 3)
    assert str(e.value).startswith("[GridMismatch] ") and "values.len() must equal" in str(e.value)
    assert np.array_equal(short, u0[:-1])
    # Unaligned but contiguous: copy path, written back.
    raw = np.zeros(8 * n + 1, dtype=np.uint8)
    unaligned = np.frombuffer(raw.data, dtype=np.float64, count=n, offset=1)
    assert not unaligned.flags.aligned
    unaligned[:] = u0
    h.evolve_into(unaligned, 0.01, 3)
    assert np.array_equal(unaligned, expect)
    msgs = [(r.name, r.levelno, r.getMessage(), r.expected_len) for r in records]
    assert msgs == [("quorvane.zero_copy", logging.WARNING, f"{name}::evolve_into falling back to copy mode", n)] * 3
    # A failing step leaves buf unchanged on the zero-copy path too.
    bad = u0.copy()
    bad[1] = math.inf
    with pytest.raises(QuorvaneError, match="NanInf"):
        h.evolve_into(bad, 0.01, 1)
    assert bad[1] == math.inf and bad[0] == u0[0]
    with pytest.raises(TypeError, match="^argument 'buf'"):
        h.evolve_into([0.0] * n, 0.01, 1)


def test_copy_path_is_silent_without_logging_configuration():
    code = ("import numpy as np, quorvane as q\n"
            "b = np.zeros(17)\n"
            "try:\n    q.Heat2D(0, 1, 4, 0, 1, 4).evolve_into(b, 0.1, 1)\nexcept Exception:\n    pass\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert r.stderr == ""
