"""Linear flows and gradients at every scale of their data: k u0 gives k times the result up to
the top of the double range, and a result beyond it is refused naming a scale that passes."""

import math
import re

import numpy as np
import pytest
import scipy.sparse

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


PATH = q.Graph.path(6)
DJ = np.cos(np.arange(6) * 0.7)
LAP = q.Laplacian.combinatorial(PATH)
CSR = scipy.sparse.csr_matrix(np.diag([1.0, 2, 2, 2, 2, 1]) - np.eye(6, k=1) - np.eye(6, k=-1))  # the path's L
SYM = q.SymmetricOperator.from_csr(CSR.indptr.astype(np.int64), CSR.indices.astype(np.int32), CSR.data, 6)
GRAD = dict(dj_du_n=DJ, t=0.5, n_steps=8, rho_bar=4.0, params="all_edges")
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
    "edge_weight_grad": (6, lambda u: q.edge_weight_grad(PATH, u0=u, **GRAD)),
    "edge_weight_grad_batched": (6, lambda u: q.edge_weight_grad_batched(
        PATH, u0_cols=np.stack([u, u[::-1]], 1), dj_du_n_cols=np.stack([DJ, DJ], 1), t=0.5, n_steps=8,
        rho_bar=4.0, params="all_edges")),
    "graph_expmv_frechet": (6, lambda u: q.graph_expmv_frechet(q.GraphKrylov(LAP), u[:, None], DJ[:, None], t=0.5,
                                                               params=[(0, 1), (2, 3)])),
    "symmetric_op_expmv_frechet": (6, lambda u: q.symmetric_op_expmv_frechet(SYM, u[:, None], DJ[:, None], t=0.5,
                                                                             entries=[(0, 1), (1, 1)])),
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
TINY = q.Graph.from_edges(6, [v for i in range(5) for v in (i, i + 1, 1e-300)])  # rho 4e-300
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
    "edge_weight_grad": (lambda s: q.edge_weight_grad(TINY, u0=s * shape(6), dj_du_n=DJ, t=1e300, n_steps=8,
                                                      rho_bar=4e-300, params="all_edges"), 1e10, SCALE),
    "graph_expmv_frechet": (lambda s: q.graph_expmv_frechet(q.GraphKrylov(q.Laplacian.combinatorial(
        q.Graph.from_edges(3, [0, 1, 1e-96, 1, 2, 1e-96]))), s * shape(3)[:, None], DJ[:3, None], t=1e91,
        params=[(0, 1)]), 1e250, SCALE),
    "AdjointFokkerPlanckV8": (lambda s: np.concatenate(q.AdjointFokkerPlanckV8(1.0, -0.5, 1e3).step(
        1.0, [0.0, 1.0], [s, -0.5 * s], 3)), 1e300, r"max\|w0\| <= (\S+) "),
    "ReverseHeat1D": (lambda s: np.array(q.ReverseHeat1D(1.0, 0, 1, 9, 3).value_and_grad(
        1e-3, s * shape(9), -0.5 * s * shape(9)[::-1])), 1e155, r"max\|u0\| <= (\S+),"),
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


@pytest.mark.parametrize("m", [-900, -400, 300, 590, 1000])
def test_edge_gradients_are_served_at_every_scale_of_the_weights(m):
    # Weights W 2^m with t 2^-m and rho_bar 2^m are the same steps: dJ/dW is 2^-m times the
    # gradient at W. At 2^590 the plain sweep's L^2 x overflows while tau^2 underflows.
    w = 2.0**m
    g = q.Graph.from_edges(4, [0, 1, w, 1, 2, 0.5 * w, 2, 3, 2.0 * w, 0, 2, 0.25 * w])
    ref = q.edge_weight_grad(q.Graph.from_edges(4, [0, 1, 1.0, 1, 2, 0.5, 2, 3, 2.0, 0, 2, 0.25]), u0=shape(4),
                             dj_du_n=DJ[:4], t=0.3, n_steps=6, rho_bar=8.0, params="all_edges")
    got = q.edge_weight_grad(g, u0=shape(4), dj_du_n=DJ[:4], t=0.3 / w, n_steps=6, rho_bar=8.0 * w,
                             params="all_edges")
    assert np.max(np.abs(got * w - ref)) <= 1e-15 * np.max(np.abs(ref))
