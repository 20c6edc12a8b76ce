"""QuantumGraph and QuantumGraphHeat: exact Kirchhoff modes, the joined
interval, mass with unequal edges, refusals and messages."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import error_text, raises_exact
from quorvane import QuantumGraph, QuantumGraphHeat, QuorvaneError

QG = QuantumGraph
LEN_MSG = "[OutOfDomain] all edge lengths must be finite and positive"


def nodes(n, length=1.0):
    return np.linspace(0.0, length, n)


def run(graph, u0, t, n_steps):
    heat = QuantumGraphHeat(graph)
    heat.set_state(np.concatenate(u0))
    heat.evolve(t, n_steps=n_steps)
    return heat.values().reshape(graph.n_edges, -1)


def mass(graph_lengths, u):
    # Trapezoidal mass of every edge, the quantity the vertex mean keeps.
    return sum(L / (len(v) - 1) * (v.sum() - 0.5 * (v[0] + v[-1])) for L, v in zip(graph_lengths, u))


@pytest.mark.parametrize("call, text", [
    (lambda: QG.path(0), "[OutOfDomain] path graph requires n_edges >= 1"),
    (lambda: QG.star(0), "[OutOfDomain] star graph requires n_arms >= 1"),
    (lambda: QG.path(2, edge_length=0.0), LEN_MSG),
    (lambda: QG.path(2, edge_length=math.nan), LEN_MSG),
    (lambda: QG.path(2, n_grid=3), "[GridMismatch] edge_n_grid_points must be >= 4 (Catmull-Rom stencil)"),
    (lambda: QG.from_edges([0.0, 1.0, 1.0, 2.0]), "[OutOfDomain] edges array length must be divisible by 3"),
    (lambda: QG.from_edges([]), "[OutOfDomain] graph must have at least 1 edge"),
    (lambda: QG.from_edges([0.0, 1.0, 1.0, 1.0, 2.0, -1.0]), LEN_MSG),
    # An index whose incidence slots cannot all be allocated is refused, not a crash.
    (lambda: QG.from_edges([1e15, 0.0, 1.0]), "[OutOfDomain] vertex index must be < 16777216"),
    (lambda: QG.from_edges([1e300, 0.0, 1.0]), "[OutOfDomain] vertex index must be < 16777216"),
])
def test_factory_errors(call, text):
    assert error_text(call) == text


def test_graph_shape_and_surface():
    g = QG.path(3)
    assert (g.n_vertices, g.n_edges, g.total_arc_length) == (4, 3, 3.0)
    assert repr(g) == "QuantumGraph(n_vertices=4, n_edges=3, total_arc_length=3.0000)"
    assert QG.from_edges([5.0, 6.0, 1.0]).n_vertices == 7
    assert QG.from_edges(np.array([1.9, 0.2, 2.0])).n_vertices == 2
    assert QG.path(2, n_grid=4).n_edges == 2
    raises_exact(TypeError, "edges must be a float64 array of triplets [va, vb, length, ...]", QG.from_edges, 3.0)
    with pytest.raises(TypeError):
        QG()
    with pytest.raises(AttributeError):
        g.n_edges = 5
    heat = QuantumGraphHeat(QG.path(3, n_grid=8))
    assert (len(heat), repr(heat)) == (24, "QuantumGraphHeat(n_edges=3, n_per_edge=8)")
    assert np.array_equal(heat.values(), np.zeros(24))


def test_single_edge_neumann_mode_first_order():
    # cos(pi x) on [0, 1] with reflecting ends decays like exp(-pi^2 t / 2);
    # the Chernoff error is O(tau).
    x = nodes(201)
    exact = math.exp(-0.5 * math.pi**2 * 0.2) * np.cos(math.pi * x)
    errs = [np.max(np.abs(run(QG.path(1, n_grid=201), [np.cos(math.pi * x)], 0.2, n)[0] - exact))
            for n in (10, 20, 40)]
    assert 1.8 < errs[0] / errs[1] < 2.2 and 1.8 < errs[1] / errs[2] < 2.2


def test_path_equals_joined_interval():
    # The chain is stepped as one interval with two half steps per step.
    rng = np.random.default_rng(1)
    u = rng.normal(size=31)
    joined = run(QG.path(1, edge_length=3.0, n_grid=31), [u], 0.3, 40)[0]
    chain = run(QG.path(3, n_grid=11), [u[0:11], u[10:21], u[20:31]], 0.3, 20)
    assert np.max(np.abs(np.concatenate([chain[0], chain[1][1:], chain[2][1:]]) - joined)) < 1e-13


@pytest.mark.parametrize("lengths", [(1.0, 1.0, 1.0), (1.0, 2.0, 3.0)])
def test_star_kirchhoff_mode_and_mass(lengths):
    n, t = 32, 0.5
    g = QG.from_edges(np.ravel([[0.0, k + 1.0, L] for k, L in enumerate(lengths)]))
    if lengths[0] == lengths[1]:
        # c_e sin(pi x / 2) with sum c_e = 0: zero at the hub, inward derivatives cancelling.
        c = (1.0, -1.0, 0.0)
        x = nodes(n)
        u = run(g, [ci * np.sin(0.5 * math.pi * x) for ci in c], t, 1000)
        exact = math.exp(-0.5 * (0.5 * math.pi) ** 2 * t) * np.array([ci * np.sin(0.5 * math.pi * x) for ci in c])
        assert np.max(np.abs(u - exact)) < 2e-3  # first order in tau = 5e-4 plus O(h^2)
    else:
        # Unequal arms: the spacing-weighted vertex mean keeps the mass.
        u0 = [np.exp(-nodes(n, L) ** 2) for L in lengths]
        for t_end in (0.5, 8.0):
            h2 = (lengths[0] / (n - 1)) ** 2
            u = run(g, u0, t_end, math.ceil(t_end / h2))
            assert mass(lengths, u) == pytest.approx(mass(lengths, u0), rel=1e-3)


@pytest.mark.parametrize("chain", [True, False])
@pytest.mark.parametrize("length", [1e-100, 1.0, 2.0**31, 1e100])
def test_trapezoidal_mass_of_continuous_states_is_kept(chain, length):
    # Each edge's pair of reads u(x +- s)/4 on its even extension keeps the edge's trapezoidal
    # sum and the spacing-weighted vertex mean moves none: rounding only, on both roads, where
    # the values agree at every vertex (the arms of the star all start at its hub).
    n = 17
    u = np.random.default_rng(2).uniform(-1.0, 1.0, (3, n))
    if chain:
        u[1:, 0] = u[:-1, -1]
    else:
        u[:, 0] = u[0, 0]
    g = QG.path(3, length, n) if chain else QG.star(3, edge_length=length, n_grid=n)
    h2 = (length / (n - 1)) ** 2
    v = run(g, u, 8 * 0.4 * h2, 8)
    assert mass([length] * 3, v) == pytest.approx(mass([length] * 3, u), abs=1e-13 * mass([length] * 3, abs(u)))


def test_values_that_differ_at_a_vertex():
    # A chain takes the later edge's start value there, dropping h/2 of the earlier end value;
    # a star takes the spacing-weighted mean, which keeps the mass.
    u = [np.full(5, 1.0), np.full(5, 3.0), np.full(5, 3.0)]
    h = 0.25
    assert mass([1.0] * 3, run(QG.path(3, 1.0, 5), u, 0.0, 1)) == pytest.approx(mass([1.0] * 3, u) + h / 2 * 2.0)
    star = run(QG.star(3, edge_length=1.0, n_grid=5), u, 0.0, 1)
    assert star[:, 0] == pytest.approx([7.0 / 3.0] * 3) and mass([1.0] * 3, star) == pytest.approx(mass([1.0] * 3, u))


def test_cycle_fourier_mode():
    # cos(2 pi s / 3) along the arc length s of a cycle of three unit edges.
    n, t = 32, 0.3
    g = QG.from_edges([0.0, 1.0, 1.0, 1.0, 2.0, 1.0, 2.0, 0.0, 1.0])
    s = [e + nodes(n) for e in range(3)]
    # The edges are stepped apart: tau near h^2 / 2 (the vertex coupling is
    # only consistent on that scale; see the class docstring).
    u = run(g, [np.cos(2 * math.pi * si / 3) for si in s], t, math.ceil(2 * t * (n - 1) ** 2))
    exact = math.exp(-0.5 * (2 * math.pi / 3) ** 2 * t) * np.array([np.cos(2 * math.pi * si / 3) for si in s])
    assert np.max(np.abs(u - exact)) < 1e-3


@pytest.mark.parametrize("edges", [[0, 1, 1.0, 1, 2, 1.0, 2, 3, 1.0], [0, 1, 1.0, 0, 2, 2.0, 0, 3, 0.5],
                                   [0, 0, 1.0, 0, 1, 1.0], [2, 1, 1.0, 1, 0, 1.0, 2, 3, 1.0]])
def test_constants_stay(edges):
    g = QG.from_edges(np.array(edges, dtype=float), n_grid=8)
    assert np.max(np.abs(run(g, [np.full(8, 2.5)] * g.n_edges, 0.01, 1000) - 2.5)) < 1e-12


def test_refusals_leave_state():
    heat = QuantumGraphHeat(QG.star(3, n_grid=11))  # h = 0.1
    u0 = np.linspace(0.0, 1.0, 33)
    heat.set_state(u0)
    for args, text in [((-1.0, 0), "[OutOfDomain] n_steps must be >= 1"),
                       ((-1.0, 10), "[OutOfDomain] t must be finite and >= 0"),
                       ((1.0, 99), "[CflViolated] QuantumGraphHeat: tau = 1.010e-2 > h^2 = 1.000e-2 (h the "
                                   "smallest edge spacing): edges stepped apart couple only through their end "
                                   "nodes; use n_steps >= 100")]:
        assert error_text(heat.evolve, args[0], n_steps=args[1]) == text
    heat.evolve(1.0, n_steps=100)  # tau = h^2 is admitted
    after = heat.values()
    for arg, exc, text in [(u0[:32], QuorvaneError, "[GridMismatch] u0 length 32, expected 33"),
                           (np.where(u0 > 0.5, math.nan, u0), QuorvaneError, "[NanInf] u0 contains NaN or Inf"),
                           ("abc", TypeError, "u0 must be a float64 array")]:
        raises_exact(exc, text, heat.set_state, arg)
    assert np.array_equal(heat.values(), after)
    # A single edge and the joined chain take any step.
    QuantumGraphHeat(QG.path(1, n_grid=11)).evolve(1.0, n_steps=1)
    QuantumGraphHeat(QG.path(3, n_grid=11)).evolve(1.0, n_steps=1)


SPACING_MSG = "[OutOfDomain] the grid spacing dx = (xmax - xmin)/(n - 1) must have a finite, normal square dx^2"


@pytest.mark.parametrize("graph, text", [
    # Lengths that overflow when joined: the graph is built, the heat names the joined length.
    (lambda: QG.path(2, edge_length=1e308), "[NanInf] xmax must be finite: inf"),
    (lambda: QG.star(3, edge_length=1e200), SPACING_MSG + " (dx = 3.226e198)"),
    (lambda: QG.path(1, edge_length=1e-200), SPACING_MSG + " (dx = 3.226e-202)"),
])
def test_extreme_lengths_refused_by_the_heat(graph, text):
    assert error_text(QuantumGraphHeat, graph()) == text


def test_state_cap_refuses_before_allocating_in_a_subprocess():
    # Run under a 2 GiB address-space limit: a missing cap would fail to allocate, not pass.
    code = """
import resource, quorvane as q
resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))
for n_edges, n_grid in ((1, 2 ** 62), (8, 2 ** 62), (3, 2 ** 32), (1, 2 ** 25 + 1), (2 ** 10, 2 ** 15)):
    try:
        print(len(q.QuantumGraphHeat(q.QuantumGraph.path(n_edges, n_grid=n_grid))))
    except q.QuorvaneError as e:
        print(e)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    cap = "[OutOfDomain] QuantumGraphHeat: the state needs n_edges*n_grid = {} values, above the cap of 33554432"
    assert out.stdout.splitlines() == [cap.format(2 ** 62), cap.format("more than 2^64"), cap.format(3 * 2 ** 32),
                                       cap.format(2 ** 25 + 1), str(2 ** 25)], out.stderr
