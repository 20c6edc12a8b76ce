"""Flows under a change of length unit: the same call with every length times 2^j, t times
2^2j and each coefficient by the power of 2^j its units carry, returns the same values (to
the class's stated tolerance). Powers of two scale exactly, so a difference is a threshold,
tolerance or product of the code that does not scale with the lengths."""

import numpy as np
import pytest

import quorvane as q

N17 = np.cos(3.0 * np.linspace(0.0, 1.0, 17))


def unit_heat(name, L, r, n_steps=4):
    """name(-L/2, L/2, 17, N17) evolved by n_steps steps of r dx^2."""
    def call(s):
        obj = getattr(q, name)(-L / 2 * s, L / 2 * s, 17, N17)
        obj.evolve(n_steps * r * float(np.float64(L * s / 16) ** 2), n_steps)
        return obj.values()
    return call


# Grids whose dx^2 lies near the top of the doubles: steps of a few dx^2 once overflowed in the
# products of the quadrature's offsets and of the zeta rungs' stability symbol (an internal fault).
@pytest.mark.parametrize("name, L, r, n_steps", [
    ("Heat1DZeta4", 8e154, 1.7, 4), ("Heat1DZeta6", 8e154, 3.4, 2), ("Heat1DZeta6", 1.2e155, 3.0, 1),
    ("Heat1DZeta8", 8e154, 6.4, 1), ("Heat1DZeta8", 1.2e155, 0.1, 8), ("Heat1D", 1.2e155, 3.0, 1),
    ("Heat1D4th", 8e154, 3.0, 2), ("Heat1D6th", 1.2e155, 3.0, 1)])
def test_heat_on_the_longest_grids_is_the_unit_grid_flow(name, L, r, n_steps):
    call = unit_heat(name, L, r, n_steps)
    # The offsets' roots are formed as two roots there: an ulp apart.
    assert np.allclose(call(1.0), call(2.0**-600), rtol=0.0, atol=1e-15)


def gamma(s):  # V'' of data s^2 1.7e308 on [0, 1e10 s]: the same V'' (at s = 1 the differences overflow)
    v = 1.7e308 * np.cos(30.0 * np.linspace(0.0, 1.0, 17))
    return q.ObstacleGammaV8(0.0, 1e10 * s, 17, level=-1.79e308 * s * s).inactive_gamma(v * s * s)[0]


def test_curvature_of_data_at_the_top_of_the_range_is_the_scaled_one():
    # V'' ~ 1e290 is a double; the second differences of v are not (were returned as inf).
    got, want = gamma(1.0), gamma(2.0**-200)
    assert np.all(np.isfinite(got)) and np.allclose(got, want, rtol=1e-15, atol=0.0)


def killed(box, n_steps):
    """Killing1D on [-s/2, s/2] (17 nodes: the box ends on nodes) for n_steps steps of 0.004 s^2."""
    def call(s):
        ends = {} if box is None else {"lo": box[0] * s, "hi": box[1] * s}
        obj = q.Killing1D(-0.5 * s, 0.5 * s, 17, N17, boundary="zero", **ends)
        obj.evolve(n_steps * 0.004 * s * s, n_steps)
        return obj.values()
    return call


# Decimal units: lengths times s round, so a position is met to rounding only; a rule that
# compares positions (a node on the end of a box) must decide it the same way in every unit.
DECIMAL = {"Killing1D default box": killed(None, 1), "Killing1D box on nodes": killed((-0.125, 0.3125), 4),
           "Killing1D box between nodes": killed((-0.2, 0.3), 16)}


@pytest.mark.parametrize("s", [0.3, 0.7, 0.1, 1e-6, 1e3, 1e12])
@pytest.mark.parametrize("name", DECIMAL)
def test_flows_in_decimal_units_are_the_unit_flow(name, s):
    ref, got = DECIMAL[name](1.0), DECIMAL[name](s)
    assert np.max(np.abs(got - ref)) <= 1e-13 * np.max(np.abs(ref))
