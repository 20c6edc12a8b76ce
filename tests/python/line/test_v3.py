"""EvolverHeat1DUnitV3 and GrowthV3: unit heat written into a caller's buffer, checked in order; the growth record."""

import math

import numpy as np
import pytest

import quorvane as q
from conftest import SELF, T_NONNEG, U0_TYPE, check_surface, error_text, raises_exact
from quorvane import EvolverHeat1DUnitV3, GrowthV3, QuorvaneError

N = 81
X = np.linspace(-4.0, 4.0, N)
U0 = np.exp(-(X ** 2))
NOT_CONTIGUOUS = "[GridMismatch] buf not contiguous: The given array is not contiguous or is misaligned."


def make(n_chernoff=10):
    return EvolverHeat1DUnitV3(-4.0, 4.0, N, U0, n_chernoff)


def test_evolve_into_writes_the_buffer_and_the_state():
    e, buf, h = make(12), np.full(N, -1.0), q.Heat1D(-4.0, 4.0, N, U0)
    for _ in range(2):  # consecutive calls continue from the state
        assert e.evolve_into(0.3, buf) is None
        h.evolve(0.3, n_steps=12)
        # the same steps as Heat1D with reflecting ends: identical numbers
        assert np.array_equal(buf, e.values()) and np.array_equal(buf, h.values())
    assert e.size() == N and len(e) == N and e.n_chernoff() == 12
    make().evolve_into(0.0, buf)
    assert np.max(np.abs(buf - U0)) < 1e-14  # ten zero steps resample at the nodes: a few ulps each


@pytest.mark.parametrize("buf, message", [
    (np.zeros(2 * N)[::2], NOT_CONTIGUOUS),
    (np.zeros(2 * N + 6)[::2], NOT_CONTIGUOUS),  # contiguity is checked before the length
    (np.zeros(N)[::-1], NOT_CONTIGUOUS),
    (np.zeros(8 * N + 1, dtype=np.uint8)[1:].view(np.float64), NOT_CONTIGUOUS),  # misaligned
    (np.zeros(N - 1), f"[GridMismatch] buf length {N - 1} != n_grid {N}"),
    (np.zeros(0), f"[GridMismatch] buf length 0 != n_grid {N}"),
])
def test_buffer_layout_errors_leave_buffer_and_state(buf, message):
    e, before = make(), buf.copy()
    assert error_text(e.evolve_into, 0.1, buf) == message
    assert np.array_equal(buf, before) and np.array_equal(e.values(), U0)


def test_read_only_and_wrong_type_buffers_are_argument_errors():
    e, ro = make(), np.zeros(N)
    ro.flags.writeable = False
    raises_exact(TypeError, "argument 'buf': The given array is not writeable", e.evolve_into, -1.0, ro)  # before t
    for bad in [np.zeros(N, dtype=np.float32), np.zeros((N, 1)), [0.0] * N, bytearray(8 * N)]:
        with pytest.raises(TypeError, match=r"^argument 'buf': "):
            e.evolve_into(0.1, bad)
    assert error_text(e.evolve_into, -1.0, np.zeros(N)[::2]) == T_NONNEG  # t before the layout
    assert error_text(e.evolve_into, math.nan, np.zeros(N)) == T_NONNEG
    assert np.array_equal(e.values(), U0)


def test_growth_record():
    g = make().growth()
    assert isinstance(g, GrowthV3) and GrowthV3.__module__ == "builtins"
    assert repr(g) == "GrowthV3(multiplier=1, omega=0)"
    assert g.multiplier == 1.0 and isinstance(g.multiplier, float) and g.omega == 0.0
    with pytest.raises(AttributeError):
        g.multiplier = 2.0
    with pytest.raises(TypeError):
        GrowthV3()


@pytest.mark.parametrize("args, exc, message", [
    ((-4.0, 4.0, N, U0, 0), QuorvaneError, "[GridMismatch] Evolver n must be >= 1"),
    # u0 finiteness first, then the grid, then the step count, then the length
    ((4.0, -4.0, 3, [math.nan], 0), QuorvaneError, "[NanInf] u0 contains NaN or Inf: NaN"),
    ((math.nan, 4.0, N, U0, 0), QuorvaneError, "[NanInf] xmin must be finite: NaN"),
    ((4.0, -4.0, N, U0, 0), QuorvaneError, "[GridMismatch] xmin must be < xmax"),
    ((-4.0, 4.0, 3, U0, 0), QuorvaneError, "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
    ((-4.0, 4.0, N + 1, U0, 0), QuorvaneError, "[GridMismatch] Evolver n must be >= 1"),
    ((-4.0, 4.0, N + 1, U0, 5), QuorvaneError, "[GridMismatch] values.len() must equal grid.n"),
    ((0.0, 1.0, 4, "abcd", 1), TypeError, U0_TYPE),
])
def test_constructor_errors(args, exc, message):
    raises_exact(exc, message, EvolverHeat1DUnitV3, *args)


def test_surface():
    check_surface(EvolverHeat1DUnitV3, "(domain_lo, domain_hi, n_grid, u0, n_chernoff)",
                  evolve_into="($self, t, buf)", growth=SELF, size=SELF, n_chernoff=SELF, values=SELF)
