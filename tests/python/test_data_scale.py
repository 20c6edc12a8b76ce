"""Linear flows at every scale of their data: k u0 gives k times the result up to
the top of the double range, and a result beyond it is refused naming a scale that passes."""

import math
import re

import numpy as np
import pytest

import quorvane as q
from quorvane import QuorvaneError

TOP = 2.0**1020  # max|k u0| at the top of the range; the reads' sums reach a few times it


def shape(n):
    x = np.linspace(0.0, 1.0, n)
    u = np.cos(3 * x + 0.2) + 0.5 * np.cos(7 * x) + 0.3
    return u / np.max(np.abs(u))


def rough(n):
    # Neighbours of opposite signs: differences and stencils reach several times max|u|.
    u = np.cos(2.1 * np.arange(n)) * (1.0 + 0.3 * np.sin(np.arange(n)))
    return u / np.max(np.abs(u))


def stepped(obj, t=0.01, n=4):
    obj.evolve(t, n)
    return obj.values()


def qgraph(u, star):
    g = q.QuantumGraph.star(3, edge_length=1.0, n_grid=17) if star else q.QuantumGraph.path(3, 1.0, 17)
    h = q.QuantumGraphHeat(g)
    h.set_state(u)
    return stepped(h, 2.2e-5, 8)


FLOWS = {  # name: (number of values, the call on u0)
    "Killing1D linear": (33, lambda u: stepped(q.Killing1D(0, 1, 33, u, boundary="linear"))),
    "Killing2nd1D": (17, lambda u: stepped(q.Killing2nd1D(0, 1, 17, u, 0.5))),
    "Reflected1D": (17, lambda u: stepped(q.Reflected1D(0, 1, 17, u))),
    "Robin1D": (17, lambda u: stepped(q.Robin1D(0, 1, 17, u))),
    "DirichletHeat2nd1D": (17, lambda u: stepped(q.DirichletHeat2nd1D(0, 1, 17, u))),
    "DiffusionExpmv1D": (17, lambda u: stepped(q.DiffusionExpmv1D(0, 1, 17, u))),
    "Heat3D linear": (64, lambda u: q.Heat3D(0, 1, 4, 0, 1, 4, 0, 1, 4, boundary="linear").evolve(u, 1e-3, 3)),
    "Heat2D zero": (25, lambda u: q.Heat2D(0, 1, 5, 0, 1, 5, boundary="zero").evolve(u, 1e-3, 3)),
    "NonSeparable2DAniso zero": (25, lambda u: q.NonSeparable2DAniso(
        0, 1, 5, 0, 1, 5, 0.9 * np.cos(np.linspace(0, 2, 25)), u, boundary="zero").evolve(1e-3, 3)),
    "NonSeparable2D": (25, lambda u: q.NonSeparable2D(0, 1, 5, 0, 1, 5, u, c=0.5).evolve(1e-3, 3)),
    "PointEval": (17, lambda u: np.array([q.PointEval(-0.5, 0.5, 17).eval_at(1e-3, u, 0.1, 4)])),
    "QuantumGraphHeat path": (51, lambda u: qgraph(u, False)),
    "QuantumGraphHeat star": (51, lambda u: qgraph(u, True)),
    "SchrodingerComplex1D": (17, lambda u: stepped(q.SchrodingerComplex1D(0, 1, 17, u + 0.5j * u[::-1])).view(float)),
}


@pytest.mark.parametrize("name", FLOWS)
def test_linear_flows_are_served_to_the_top_of_the_range(name):
    # Scaling by a power of two is exact: the result of k u0 is k times that of u0 bit for bit
    # where no value is subnormal along the way; 3 TOP u0 rounds the data by an ulp, which the
    # decay of rough data leaves at up to ~1e-15 of the result.
    n, call = FLOWS[name]
    u0 = rough(n)
    ref = call(u0)
    for k in (2.0**-1000, 2.0**600, 2.0**1000, TOP, 3.0 * TOP):
        got = call(k * u0)
        assert np.max(np.abs(got / k - ref)) <= (4e-15 if k == 3.0 * TOP else 1e-15) * np.max(np.abs(ref)), k


STEP = np.array([0.0, 0, 0, 1, 1, 1, 1, 1])  # the read overshoots it by 12 % at x = -0.08
X4 = np.linspace(0.0, 1.0, 4)
U3 = np.add.outer(np.add.outer(np.cos(3 * X4), X4), X4).ravel()
SCALE = r"max\|u0\| <= (\S+) "
BEYOND = {  # name: (call of the data scale, the scale beyond the range, the named number)
    "Killing1D linear": (lambda s: stepped(q.Killing1D(0, 1, 9, s * shape(9), boundary="linear", lo=-1, hi=2), 1e3, 1),
                         1.7e308, SCALE),
    "Heat3D linear": (lambda s: q.Heat3D(0, 1, 4, 0, 1, 4, 0, 1, 4, boundary="linear").evolve(
        U3 / np.max(U3) * s, 1e3, 1), 1.7e308, SCALE),
    "PointEval": (lambda s: np.array([q.PointEval(-2, 2, 8).eval_at(0.0, s * STEP, -0.08)]), 1.7e308, SCALE),
    "SchrodingerComplex1D": (lambda s: stepped(q.SchrodingerComplex1D(
        -0.5, 0.5, 17, (rough(34)[:17] + 1j * rough(34)[17:]) * s), 0.0558, 17).view(float),
        1.7e308, SCALE),  # the parts of psi: its steps keep the norm, not the largest part
}


@pytest.mark.parametrize("name", BEYOND)
def test_results_beyond_the_range_name_a_scale_that_passes(name):
    call, beyond, pattern = BEYOND[name]
    with pytest.raises(QuorvaneError, match=r"^\[NanInf\] ") as info:
        call(beyond)
    # Every call's data have max|u0| (max|w0|) = s: the named one takes the result to within 0.2 %
    # of the largest double (named from the growth, four digits rounded down).
    top = np.max(np.abs(call(float(re.search(pattern, str(info.value)).group(1)))))
    assert 0.998 * 1.7976931348623157e308 <= top < math.inf
