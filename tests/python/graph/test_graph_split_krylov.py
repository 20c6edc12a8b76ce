"""VarCoefGraphHeat, StrangGraph and GraphKrylov: orders and references from scipy,
the step gates and the Krylov refusals."""

import math
import os

import numpy as np
import pytest
from scipy.linalg import eigvalsh, expm
from scipy.sparse import csr_matrix
from scipy.sparse.linalg import expm_multiply

from quorvane import Graph, GraphHeat, GraphKrylov, GraphPath, Laplacian, QuorvaneError, StrangGraph, VarCoefGraphHeat
from conftest import raises_exact


def grid_graph(nx, ny, seed=0, scale=1.0):
    rng = np.random.default_rng(seed)
    edges = []
    for j in range(ny):
        for i in range(nx):
            k = j * nx + i
            if i + 1 < nx:
                edges.append((k, k + 1, scale * rng.uniform(0.5, 2.0)))
            if j + 1 < ny:
                edges.append((k, k + nx, scale * rng.uniform(0.5, 2.0)))
    return Graph.from_edges(nx * ny, np.array(edges))


def order_of(evolve, ref, t):
    errs = [np.abs(evolve(t, n) - ref).max() for n in (16, 32)]
    return math.log2(errs[0] / errs[1])


def test_var_coef_order_two_and_unit_coefficient():
    g = grid_graph(4, 5)
    dense = Laplacian.combinatorial(g).to_dense()
    a = np.linspace(0.5, 1.5, 20)
    f0 = np.sin(np.arange(20.0))
    s = np.sqrt(a)
    ref = expm(-0.3 * (s[:, None] * dense * s[None, :])) @ f0
    ev = VarCoefGraphHeat(g, a, rho_bar=16.0)
    assert order_of(lambda t, n: ev.evolve(t, n, f0), ref, 0.3) == pytest.approx(2, abs=0.1)
    tau = 0.02
    step = f0 - tau * dense @ f0 + tau**2 / 2 * dense @ dense @ f0
    assert np.allclose(VarCoefGraphHeat(g, np.ones(20), rho_bar=16.0).evolve(tau, 1, f0), step, atol=1e-14)
    out32 = VarCoefGraphHeat(g, a, rho_bar=16.0, dtype="f32").evolve(0.3, 32, f0)
    assert out32.dtype == np.float64 and np.array_equal(out32, out32.astype(np.float32))
    assert np.allclose(out32, ev.evolve(0.3, 32, f0), atol=1e-5)


@pytest.mark.parametrize("a_value, tau, ok", [
    (8.0, 1 / 64, True),    # 8 * (1/64) * 4 = 0.5: stable, admitted (max(a) squared refused it)
    (8.0, 1.01 / 64, False),
    (0.125, 1.0, True),     # 0.125 * 1 * 4 = 0.5
    (0.125, 1.25, False),   # max(a) squared let this through
])
def test_var_coef_gate_uses_max_a_once(a_value, tau, ok):
    ev = VarCoefGraphHeat(Graph.path(8), [a_value] * 8, rho_bar=4.0)
    f0 = np.arange(8.0)
    if ok:
        out = ev.evolve(3 * tau, 3, f0)
        assert abs(out.sum() - f0.sum()) < 1e-11
    else:
        with pytest.raises(QuorvaneError, match=r"^\[CflViolated\] CFL violated"):
            ev.evolve(3 * tau, 3, f0)


CFL_TEXT = ("[CflViolated] CFL violated for truncated-exp K=4: tau = {}, dx\u00b2 = {}, \u2016a\u2016_\u221e = {} "
            "(need 2\u00b7tau\u00b7\u2016a\u2016_\u221e < dx\u00b2); the largest admissible tau is {}; "
            "use n_steps >= {} for t_final = {}")


# The shared CFL text must state the gate max(a) tau rho_bar <= 0.5 that refused
# the call: dx^2 shows 1/rho_bar and ||a|| shows max(a), and the refused numbers
# break the stated condition 2 tau ||a|| < dx^2. The least count named runs, on
# every road, and one fewer is refused.
@pytest.mark.parametrize("how", ["f64", "f32", "batched"])
@pytest.mark.parametrize("a_value, rho_bar, t, shown, count", [
    (1.0, 8.0, 0.065, ("6.500e-2", "1.250e-1", "1.000e0", "6.250e-2"), 2),  # 1 * 0.065 * 8 = 0.52
    (2.0, 4.0, 0.07, ("7.000e-2", "2.500e-1", "2.000e0", "6.250e-2"), 2),   # 2 * 0.07 * 4 = 0.56
    (2.0, 4.0, 10.0, ("1.000e1", "2.500e-1", "2.000e0", "6.250e-2"), 160),  # steps of the bound itself pass
    (0.3, 7.0, 1.0, ("1.000e0", "1.429e-1", "3.000e-1", "2.380e-1"), 5),    # 0.5 / 2.1 = 0.2381, shown 0.2380
])
def test_var_coef_cfl_text_states_the_gate(how, a_value, rho_bar, t, shown, count):
    ev = VarCoefGraphHeat(Graph.path(8), [a_value] * 8, rho_bar=rho_bar, dtype="f32" if how == "f32" else "f64")
    f0 = np.cos(np.arange(8.0))
    run = (lambda n: ev.evolve_batched(t, n, f0[:, None])) if how == "batched" else (lambda n: ev.evolve(t, n, f0))
    raises_exact(QuorvaneError, CFL_TEXT.format(*shown, count, f"{t:g}"), run, 1)
    tau, dx2, a, largest = map(float, shown)
    assert not 2 * tau * a < dx2 and t / count <= largest < t / (count - 1 or 0.5)
    assert np.isfinite(run(count)).all()
    if count > 1:
        with pytest.raises(QuorvaneError, match=r"^\[CflViolated\] CFL violated"):
            run(count - 1)


@pytest.mark.parametrize("how", ["f64", "f32", "batched"])
def test_var_coef_rho_bar_below_the_spectrum(how):
    g = grid_graph(4, 5)
    dense = Laplacian.combinatorial(g).to_dense()
    lam = eigvalsh(dense).max()
    a = np.linspace(0.5, 1.5, 20)
    f0 = np.sin(np.arange(20.0))
    dtype = "f32" if how == "f32" else "f64"
    run = (lambda ev, t, n: ev.evolve_batched(t, n, f0[:, None])[:, 0]) if how == "batched" else (
        lambda ev, t, n: ev.evolve(t, n, f0))
    # 1.5 * tau * 1.0 = 0.48 passes the gate, while the Gershgorin bound (>= lam) closes it.
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] VarCoefGraphHeat: rho_bar = 1\.000e0 is below the "
                                            r"largest eigenvalue of L, which is at least "):
        run(VarCoefGraphHeat(g, a, rho_bar=1.0, dtype=dtype), 1.6, 5)
    # The exact largest eigenvalue passes at the gate's edge: five dense steps.
    tau = 0.5 / (1.5 * lam) * (1 - 1e-9)
    s = np.sqrt(a)
    la = s[:, None] * dense * s[None, :]
    step = np.eye(20) - tau * la + tau**2 / 2 * la @ la
    ref = np.linalg.matrix_power(step, 5) @ f0
    out = run(VarCoefGraphHeat(g, a, rho_bar=lam, dtype=dtype), 5 * tau, 5)
    assert np.abs(out - ref).max() < (1e-5 if dtype == "f32" else 1e-13)


@pytest.mark.parametrize("args, kw, msg", [
    ((Graph.path(2), [1.0, 1e-13]), {}, "[OutOfDomain] VarCoefGraphHeatChernoff: a[i] must be finite and >= 1e-12 * max(a)"),
    ((Graph.path(2), [1.0, 0.0]), {}, "[OutOfDomain] a must contain finite positive values"),
    ((Graph.path(3), [1.0, 1.0]), {}, "[OutOfDomain] VarCoefGraphHeatChernoff: a.len() != graph.n_nodes()"),
    ((Graph.path(2), [1.0, 1.0]), {"rho_bar": -0.0}, "[OutOfDomain] rho_bar must be finite and > 0"),
])
def test_var_coef_construction_refusals(args, kw, msg):
    kw = {"rho_bar": 4.0, **kw}
    with pytest.raises(QuorvaneError) as e:
        VarCoefGraphHeat(*args, **kw)
    assert str(e.value) == msg
    VarCoefGraphHeat(Graph.path(2), [1.0, 1e-12], rho_bar=1.0)
    with pytest.raises(TypeError):
        VarCoefGraphHeat(GraphPath(2), [1.0, 1.0], rho_bar=1.0)


def test_strang_order_split_and_weights():
    g = Graph.path(12)
    f0 = np.cos(np.arange(12.0))
    ref = expm(-0.8 * Laplacian.combinatorial(g).to_dense()) @ f0
    s = StrangGraph.from_path(g)
    assert order_of(lambda t, n: s.evolve(t, n, f0), ref, 0.8) == pytest.approx(2, abs=0.1)
    heavy = Graph.from_edges(12, np.array([[i, i + 1, 3.0 + i] for i in range(11)]))
    assert np.array_equal(StrangGraph.from_path(heavy).evolve(0.8, 16, f0), s.evolve(0.8, 16, f0))
    # Path 0-1-2-3: A = {(0,1), (2,3)}, B = {(1,2)}; with tau -> 0 a step on e_1 moves mass as L.
    e1 = np.array([0.0, 1.0, 0.0, 0.0])
    out = StrangGraph.from_path(Graph.path(4)).evolve(1e-6, 1, e1)
    assert np.allclose((out - e1) / 1e-6, [1.0, -2.0, 1.0, 0.0], atol=1e-5)
    assert repr(StrangGraph.from_cycle(Graph.cycle(4))) == "StrangGraph(n_nodes=4, order=2)"


def test_strang_stability_gate_both_sides():
    # The parity classes of a path are matchings: rho_A = rho_B = 2, so tau <= 1.
    s = StrangGraph.from_path(Graph.path(64))
    f0 = np.ones(64)
    assert np.allclose(s.evolve(100.0, 100, f0), 1.0)
    with pytest.raises(QuorvaneError, match=r"^\[CflViolated\] StrangGraph: .*use n_steps >= 101 for t_final = 100.5$"):
        s.evolve(100.5, 100, f0)


@pytest.mark.parametrize("call, msg", [
    (lambda: StrangGraph.from_path(Graph.path(1)), "[OutOfDomain] StrangSplitGraph::new_bipartite_path: n_nodes >= 2 required"),
    (lambda: StrangGraph.from_cycle(Graph.cycle(3)), "[OutOfDomain] StrangSplitGraph::new_bipartite_cycle: n_nodes >= 4 required"),
    (lambda: StrangGraph.from_cycle(Graph.cycle(5)),
     "[OutOfDomain] StrangSplitGraph::new_bipartite_cycle: n_nodes must be even (odd cycles not bipartite)"),
    (lambda: StrangGraph.from_path(Graph.path(4)).evolve(1.0, 4, [0.0] * 3), "[GridMismatch] f0 length 3, expected 4"),
    (lambda: StrangGraph.from_path(Graph.path(4)).evolve(1.0, 0, [0.0] * 3), "[OutOfDomain] n_steps must be >= 1"),
])
def test_strang_refusals(call, msg):
    with pytest.raises(QuorvaneError) as e:
        call()
    assert str(e.value) == msg


@pytest.mark.parametrize("path, tol", [("chebyshev", 1e-12), ("lanczos", 1e-10)])
@pytest.mark.parametrize("t", [0.05, 1.0, 20.0])
def test_krylov_against_expm_multiply_on_weighted_grid(path, tol, t):
    g = grid_graph(20, 25, seed=4)
    lap = Laplacian.combinatorial(g)
    a = csr_matrix((lap.vals(), lap.col_idx(), lap.row_ptr()), shape=(500, 500))
    f0 = np.random.default_rng(1).standard_normal((500, 3))
    ref = expm_multiply(-t * a, f0)
    out = GraphKrylov(lap, path=path, tol=tol).evolve_batched(t, f0)
    assert np.abs(out - ref).max() <= 1e-9 * max(1.0, np.abs(f0).max())


def test_krylov_columns_bit_identical_and_identities():
    lap = Laplacian.combinatorial(grid_graph(6, 7))
    cols = 2 * (os.cpu_count() or 1) + 1
    f0 = np.random.default_rng(2).standard_normal((42, cols))
    for path in ("chebyshev", "lanczos"):
        gk = GraphKrylov(lap, path=path)
        out = gk.evolve_batched(0.7, f0)
        for c in range(cols):
            assert np.array_equal(out[:, c], gk.evolve_batched(0.7, f0[:, c:c + 1])[:, 0])
    assert np.array_equal(GraphKrylov(lap).evolve_batched(-0.0, f0), f0)
    edgeless = Laplacian.combinatorial(Graph.from_edges(5, np.zeros((0, 3))))
    x = np.arange(10.0).reshape(5, 2)
    for path in ("chebyshev", "lanczos"):
        assert np.array_equal(GraphKrylov(edgeless, path=path).evolve_batched(3.0, x), x)
    assert GraphKrylov(lap).n_nodes() == 42


def test_lanczos_breakdown_is_relative_to_the_bound():
    # Weights 1e-15 at t = 1e15 are the unit-weight problem at t = 1.
    n = 30
    unit = Graph.from_edges(n, np.array([[i, i + 1, 1.0] for i in range(n - 1)]))
    tiny = Graph.from_edges(n, np.array([[i, i + 1, 1e-15] for i in range(n - 1)]))
    f0 = np.zeros((n, 1))
    f0[3] = 1.0
    ref = GraphKrylov(Laplacian.combinatorial(unit), path="lanczos").evolve_batched(1.0, f0)
    out = GraphKrylov(Laplacian.combinatorial(tiny), path="lanczos").evolve_batched(1e15, f0)
    assert np.allclose(out, ref, atol=1e-12)


@pytest.mark.parametrize("kw, msg", [
    ({"path": "implicit", "tol": -1.0},
     "[Unsupported] path='implicit' is not available on GraphKrylov; use SymmetricOperator.evolve_batched(path='implicit') instead"),
    ({"path": "Chebyshev"}, "[Unsupported] path must be 'chebyshev' or 'lanczos', got 'Chebyshev'"),
    ({"tol": 0.0}, "[OutOfDomain] GraphKrylovChernoff: tol must be finite and positive"),
    ({"tol": math.nan}, "[NanInf] GraphKrylovChernoff: tol must be finite and positive: NaN"),
    ({"path": "lanczos", "m_max": 0}, "[OutOfDomain] GraphKrylovChernoff: m_max must be >= 1 for the Lanczos path"),
])
def test_krylov_construction_refusals(kw, msg):
    with pytest.raises(QuorvaneError) as e:
        GraphKrylov(Laplacian.combinatorial(Graph.path(4)), **kw)
    assert str(e.value) == msg


@pytest.mark.parametrize("path", ["chebyshev", "lanczos"])
def test_krylov_call_refusals(path):
    gk = GraphKrylov(Laplacian.combinatorial(Graph.path(4)), path=path)
    x = np.ones((4, 1))
    for t, f, msg in [
        (-1e-300, x, "[OutOfDomain] t_final must be finite and >= 0"),
        (1.0, np.ones((5, 1)), "[GridMismatch] f0.shape[0]=5 != n_nodes=4"),
        (1.0, np.ones((4, 0)), "[OutOfDomain] n_cols must be >= 1"),
        (1.0, np.array([[1.0], [math.nan], [0.0], [0.0]]), "[NanInf] features_nc contains NaN or Inf: NaN"),
        (1e10, x, "[OutOfDomain] GraphKrylovChernoff: tau * spectral_bound too large: the action would need more "
                  "than 10000000 operator products; it serves t up to 5.504e6 on this operator" if path == "chebyshev"
                  else
                  "[OutOfDomain] GraphKrylovChernoff: tau * spectral_bound too large for the Lanczos path: at any "
                  "m_max the action would need more than 10000000 operator products; it serves t up to 6.818e5 on "
                  "this operator"),
    ]:
        with pytest.raises(QuorvaneError) as e:
            gk.evolve_batched(t, f)
        assert str(e.value) == msg
    # 1e308 * ones, its own image: a Lanczos norm that overflows is lowered, neither refused nor
    # returned as zeros; Chebyshev carries the vector scaled.
    big = np.full((4, 1), 1e308)
    assert np.allclose(gk.evolve_batched(1.0, big), big, rtol=1e-10, atol=0)
    empty = Laplacian.from_csr(np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0), 0)
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] evolve_batched: n_nodes == 0$"):
        GraphKrylov(empty, path=path).evolve_batched(1.0, np.zeros((0, 1)))


@pytest.mark.parametrize("a, b", [(-700, -400), (700, 400), (-1000, 200), (1000, -900), (0, 900)])
def test_chebyshev_bits_do_not_depend_on_the_scale(a, b):
    # e^{-(t 2^-a)(2^a L)} (2^b f) = 2^b e^{-tL} f, and powers of two commute with every rounding as
    # long as nothing underflows or overflows: the vector carried scaled, the bits must agree.
    rng = np.random.default_rng(6)
    w = rng.uniform(0.5, 2.0, 24)
    edges = lambda scale: np.array([[i, (i + 1) % 25, scale * w[i]] for i in range(24)])
    f = rng.standard_normal((25, 2))
    unit = GraphKrylov(Laplacian.combinatorial(Graph.from_edges(25, edges(1.0)))).evolve_batched(0.8, f)
    scaled = GraphKrylov(Laplacian.combinatorial(Graph.from_edges(25, edges(2.0**a))))
    assert np.array_equal(scaled.evolve_batched(0.8 * 2.0**-a, f * 2.0**b), unit * 2.0**b)
