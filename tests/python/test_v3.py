"""EvolverHeat1DUnitV3 and GrowthV3: unit heat written into a caller's buffer,
with the buffer's checks in order, and the growth record."""

import math

import numpy as np
import pytest

import quorvane as q
from quorvane import EvolverHeat1DUnitV3, GrowthV3, QuorvaneError


def error_text(fn, *args, **kwargs):
    with pytest.raises(QuorvaneError) as info:
        fn(*args, **kwargs)
    return str(info.value)


N = 81
X = np.linspace(-4.0, 4.0, N)
U0 = np.exp(-(X ** 2))


def make(n_chernoff=10):
    return EvolverHeat1DUnitV3(-4.0, 4.0, N, U0, n_chernoff)


def test_evolve_into_writes_the_buffer_and_the_state():
    e = make(12)
    buf = np.full(N, -1.0)
    assert e.evolve_into(0.3, buf) is None
    assert np.array_equal(buf, e.values())
    # The same steps as Heat1D with reflecting ends: identical numbers.
    h = q.Heat1D(-4.0, 4.0, N, U0)
    h.evolve(0.3, n_steps=12)
    assert np.array_equal(buf, h.values())
    # Consecutive calls continue from the state.
    e.evolve_into(0.3, buf)
    h.evolve(0.3, n_steps=12)
    assert np.array_equal(buf, h.values())


def test_zero_time_is_accepted():
    e = make()
    buf = np.zeros(N)
    e.evolve_into(0.0, buf)
    # Ten zero steps resample at the nodes: a few ulps each.
    assert np.max(np.abs(buf - U0)) < 1e-14


NOT_CONTIGUOUS = "[GridMismatch] buf not contiguous: The given array is not contiguous or is misaligned."


def misaligned(n):
    raw = np.zeros(8 * n + 1, dtype=np.uint8)
    return raw[1:].view(np.float64)


@pytest.mark.parametrize(
    "buf, message",
    [
        (np.zeros(2 * N)[::2], NOT_CONTIGUOUS),
        (np.zeros(2 * N + 6)[::2], NOT_CONTIGUOUS),  # contiguity is checked before the length
        (np.zeros(N)[::-1], NOT_CONTIGUOUS),
        (misaligned(N), NOT_CONTIGUOUS),
        (np.zeros(N - 1), f"[GridMismatch] buf length {N - 1} != n_grid {N}"),
        (np.zeros(0), f"[GridMismatch] buf length 0 != n_grid {N}"),  # empty: the length message
    ],
)
def test_buffer_layout_errors_leave_buffer_and_state(buf, message):
    e = make()
    before = buf.copy()
    assert error_text(e.evolve_into, 0.1, buf) == message
    assert np.array_equal(buf, before)
    assert np.array_equal(e.values(), U0)


def test_read_only_and_wrong_type_buffers_are_argument_errors():
    e = make()
    ro = np.zeros(N)
    ro.flags.writeable = False
    with pytest.raises(TypeError) as info:
        e.evolve_into(0.1, ro)
    assert str(info.value) == "argument 'buf': The given array is not writeable"
    for bad in [np.zeros(N, dtype=np.float32), np.zeros((N, 1)), [0.0] * N, bytearray(8 * N)]:
        with pytest.raises(TypeError, match=r"^argument 'buf': "):
            e.evolve_into(0.1, bad)
    # Argument errors come before the check of t.
    with pytest.raises(TypeError):
        e.evolve_into(-1.0, ro)
    assert error_text(e.evolve_into, -1.0, np.zeros(N)[::2]) == "[OutOfDomain] t must be finite and >= 0"
    assert error_text(e.evolve_into, math.nan, np.zeros(N)) == "[OutOfDomain] t must be finite and >= 0"
    assert np.array_equal(e.values(), U0)


def test_growth_record():
    g = make().growth()
    assert isinstance(g, GrowthV3)
    assert repr(g) == "GrowthV3(multiplier=1, omega=0)"
    assert g.multiplier == 1.0 and isinstance(g.multiplier, float) and g.omega == 0.0
    with pytest.raises(AttributeError):
        g.multiplier = 2.0
    with pytest.raises(TypeError):
        GrowthV3()
    assert GrowthV3.multiplier.__doc__ == "M in `\u2016S(\u03c4)\u2016 \u2264 M \u00b7 exp(\u03c9 \u00b7 \u03c4)`."


def test_sizes():
    e = make(7)
    assert e.size() == N and len(e) == N and len(e.values()) == N and e.n_chernoff() == 7


@pytest.mark.parametrize(
    "args, message",
    [
        ((-4.0, 4.0, N, U0, 0), "[GridMismatch] Evolver n must be >= 1"),
        # u0 finiteness first, then the grid, then the step count, then the length.
        ((4.0, -4.0, 3, [math.nan], 0), "[NanInf] u0 contains NaN or Inf: NaN"),
        ((math.nan, 4.0, N, U0, 0), "[NanInf] xmin must be finite: NaN"),
        ((4.0, -4.0, N, U0, 0), "[GridMismatch] xmin must be < xmax"),
        ((-4.0, 4.0, 3, U0, 0), "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
        ((-4.0, 4.0, N + 1, U0, 0), "[GridMismatch] Evolver n must be >= 1"),
        ((-4.0, 4.0, N + 1, U0, 5), "[GridMismatch] values.len() must equal grid.n"),
    ],
)
def test_constructor_errors(args, message):
    assert error_text(EvolverHeat1DUnitV3, *args) == message


def test_u0_type_error_and_signatures():
    with pytest.raises(TypeError, match=r"^u0 must be a numpy.ndarray\[float64\] or a sequence of floats$"):
        EvolverHeat1DUnitV3(0.0, 1.0, 4, "abcd", 1)
    assert EvolverHeat1DUnitV3.__text_signature__ == "(domain_lo, domain_hi, n_grid, u0, n_chernoff)"
    assert EvolverHeat1DUnitV3.evolve_into.__text_signature__ == "($self, t, buf)"
    for name in ["growth", "size", "n_chernoff", "values"]:
        assert getattr(EvolverHeat1DUnitV3, name).__text_signature__ == "($self)"
    assert GrowthV3.__module__ == "builtins"
