"""WentzellV8 and GammaFamily, Subordinated1D decay rates and stability, Howland1D against
fixed heat steps and solve_ivp."""

import math
import re
import os
import subprocess
import sys

import numpy as np
import pytest
from scipy.integrate import solve_ivp

import quorvane as q
from conftest import EVOLVE, SELF, error_text, raises_exact
from quorvane import GammaFamily, QuorvaneError, WentzellV8

N = 41
X = np.linspace(0.0, 1.0, N)


@pytest.mark.parametrize("source", [
    lambda u: WentzellV8(0.0, 1.0, N, u, 5, 0.0, [0.0, 1.0, 2.0, 5.0, 100.0]),
    lambda u: WentzellV8.from_family(0.0, 1.0, N, u, 20, 0.0, GammaFamily.constant(2.0)),
    lambda u: WentzellV8.from_family(0.0, 1.0, N, u, 20, 0.0, GammaFamily.linear(1.0, 3.0)),
    lambda u: WentzellV8.from_family(0.0, 1.0, N, u, 20, 0.0, GammaFamily.exponential(2.0)),
])
def test_wentzell_keeps_constants_for_every_gamma_source(source):
    # The old wall block drained a constant to u1 = -0.12.
    assert np.max(np.abs(source(np.full(N, 1.5)).evolve(0.1) - 1.5)) < 1e-15


def test_wentzell_without_wall_terms_is_heat1d_and_families_equal_schedules():
    u0 = np.cos(np.pi * X) + 0.3
    h = q.Heat1D(0.0, 1.0, N, u0)
    h.evolve(0.1, 20)
    assert np.array_equal(WentzellV8(0.0, 1.0, N, u0, 20, 0.0, [0.0] * 20).evolve(0.1), h.values())
    fam = WentzellV8.from_family(0.0, 1.0, N, u0, 4, 0.5, GammaFamily.linear(1.0, 3.0))
    sched = WentzellV8(0.0, 1.0, N, u0, 4, 0.5, [1.0 + 3.0 * (0.3 + 0.025 * k) for k in range(4)])
    assert np.array_equal(fam.evolve(0.1, t_offset=0.3), sched.evolve(0.1))
    # Reaction alone at the wall only removes mass there.
    w = WentzellV8(0.0, 1.0, N, np.ones(N), 10, 1.0, [0.0] * 10).evolve(0.1)
    assert w[0] < 0.97 and np.mean(w) < 1.0


def test_wentzell_non_finite_result_fails_and_keeps_the_state():
    u0 = np.cos(np.pi * X)
    w = WentzellV8.from_family(0.0, 1.0, N, u0, 10, 0.0, GammaFamily.exponential(800.0))
    raises_exact(QuorvaneError, "[NanInf] all values must be finite (no NaN/Inf): NaN", w.evolve, 1.0)
    w2 = WentzellV8(0.0, 1.0, N, u0, 0, 0.0, [])
    assert np.array_equal(w2.evolve(1.0), u0) and (w2.size(), w2.n_steps()) == (N, 0)
    raises_exact(QuorvaneError, "[OutOfDomain] t must be finite and > 0", w2.evolve, 0.0)


def wall_step_matrix(n, tau, gamma, c=0.0):
    """One step as a matrix, column j the step of the j-th unit vector."""
    return np.column_stack([WentzellV8(0.0, 1.0, n, np.eye(n)[j], 1, c, [gamma]).evolve(tau) for j in range(n)])


@pytest.mark.parametrize("gamma, c", [(0.5, 0.0), (40.0, 3.0), (1e3, 0.0), (1e300, 7.0)])
def test_wentzell_wall_node_is_the_cayley_step_after_the_heat_step(gamma, c):
    u0 = np.random.default_rng(8).uniform(-1.0, 1.0, 17)
    h, tau = 1.0 / 16, 0.02
    heat = WentzellV8(0.0, 1.0, 17, u0, 1, 0.0, [0.0]).evolve(tau)
    g, gw = (c + gamma / h) * tau / 2, (gamma / h) * tau / 2
    want = heat.copy()
    want[0] = ((1 - g) * heat[0] + 2 * gw * heat[1]) / (1 + g)
    np.testing.assert_allclose(WentzellV8(0.0, 1.0, 17, u0, 1, c, [gamma]).evolve(tau), want, rtol=0, atol=1e-14)


@pytest.mark.parametrize("gamma", [1.0, 1e3, 1e100, 1e300])
@pytest.mark.parametrize("r", [2.0, 18.0, 3920.0])
def test_wentzell_wall_overshoot_is_fixed_over_steps_and_gamma(gamma, r):
    # ||M^k||_inf is max|u| / max|u0| for the worst data after k steps: at most 3.09 (stated),
    # reached within the first steps and never exceeded later up to 10^4 steps.
    m = wall_step_matrix(17, r / 256, gamma)
    p, norms = np.eye(17), []
    for _ in range(10000):
        p = m @ p
        norms.append(np.abs(p).sum(axis=1).max())
    assert max(norms) <= 3.09
    assert max(norms[10:]) <= max(norms[:10]) * (1 + 1e-3)
    g = gamma * 16 * (r / 256) / 2
    if g > 100:  # the wall hands its deviation back: -u0 + 2 u1 on a dip at the wall
        assert norms[0] > 2.5


U4 = [1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize("args, message", [
    ((0.0, 1.0, 4, [math.nan] * 4, 1, -1.0, [1.0]), "[NanInf] u0 contains NaN or Inf: NaN"),
    ((0.0, 1.0, 4, U4, 1, -1.0, [1.0]), "[GridMismatch] c_reaction must be finite and >= 0"),
    ((0.0, 1.0, 4, U4, 1, math.inf, [1.0]), "[NanInf] c_reaction must be finite and >= 0: inf"),
    ((0.0, 1.0, 4, U4, 2, 0.0, [1.0]), "[OutOfDomain] gamma_schedule length must equal n_steps"),
    ((0.0, 1.0, 4, U4, 2, 0.0, [-1.0, math.nan]), "[OutOfDomain] gamma_schedule values must be >= 0"),
    ((0.0, 1.0, 4, U4, 1, 0.0, [math.inf]), "[NanInf] gamma_schedule contains NaN or Inf: inf"),
    ((1.0, 1.0, 4, U4, 1, 0.0, [1.0]), "[GridMismatch] xmin must be < xmax"),
    ((0.0, 1.0, 5, U4, 1, 0.0, [1.0]), "[GridMismatch] u0 length must equal n_grid"),
])
def test_wentzell_construction_errors(args, message):
    raises_exact(QuorvaneError, message, WentzellV8, *args)


def test_gamma_family_checks_and_from_family_errors():
    for make, message in [(lambda: GammaFamily.constant(math.nan), "GammaFamily.constant: c must be finite and >= 0"),
                          (lambda: GammaFamily.linear(-1.0, 0.0), "GammaFamily.linear: a must be finite and >= 0; b finite"),
                          (lambda: GammaFamily.exponential(math.inf), "GammaFamily.exponential: rate must be finite")]:
        raises_exact(QuorvaneError, "[OutOfDomain] " + message, make)
    raises_exact(QuorvaneError, "[OutOfDomain] n_steps must be >= 1", WentzellV8.from_family,
                 0.0, 1.0, 4, U4, 0, 0.0, GammaFamily.linear(0.0, -1.0))
    with pytest.raises(TypeError):
        GammaFamily()
    with pytest.raises(TypeError):
        WentzellV8.from_family(0.0, 1.0, 4, U4, 1, 0.0, 1.0)


def phi(law, lam, alpha=0.5, c=1.0):
    return {"stable": lam ** alpha, "gamma": math.log(1.0 + lam / c),
            "inverse_gaussian": math.sqrt(c * c + 2.0 * lam) - c}[law]


@pytest.mark.parametrize("law, tol", [("stable", 0.01), ("gamma", 0.001), ("inverse_gaussian", 0.03)])
def test_cosine_mode_decays_at_the_laplace_exponent(law, tol):
    # mu = pi^2 sits inside the window of the 32-node rules; measured ratios 0.999, 1.000, 1.018.
    x = np.linspace(0.0, 1.0, 201)
    u = np.cos(np.pi * x)
    s = q.Subordinated1D(0.0, 1.0, 201, u, subordinator=law)
    s.evolve(0.5, 50)
    rate = -math.log(np.dot(s.values(), u) / np.dot(u, u)) / 0.5
    assert rate / phi(law, math.pi ** 2) == pytest.approx(1.0, abs=tol)


@pytest.mark.parametrize("law", ["stable", "inverse_gaussian"])
def test_large_levy_steps_never_grow_the_l2_norm(law):
    # Steps of 0.5 (evolve(50) at 100 steps) gave a negative first weight and grew modes by 2.7e45.
    u = np.random.default_rng(1).standard_normal(101)
    s = q.Subordinated1D(0.0, 1.0, 101, u, subordinator=law)
    for t in [0.5, 5.0]:
        before = np.linalg.norm(s.values())
        s.evolve(t, 1)
        assert np.linalg.norm(s.values()) <= before * (1.0 + 1e-12)


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"subordinator": "Stable", "boundary": "zero"}, QuorvaneError,
     "[Unsupported] Unknown subordinator 'Stable'. Must be 'stable', 'gamma', or 'inverse_gaussian'."),
    ({"alpha": 1.0}, QuorvaneError, "[OutOfDomain] StableSubordinator::new: alpha must be in (0, 1) strict"),
    ({"alpha": math.nan}, QuorvaneError, "[NanInf] StableSubordinator::new: alpha must be in (0, 1) strict: NaN"),
    ({"subordinator": "gamma", "alpha": 5.0, "c": 0.0}, QuorvaneError,
     "[OutOfDomain] GammaSubordinator::new: c must be > 0 and finite"),
    ({"subordinator": "inverse_gaussian", "c": math.inf}, QuorvaneError,
     "[NanInf] InverseGaussianSubordinator::new: c must be > 0 and finite: inf"),
    ({"n_nodes": 33}, QuorvaneError, "[OutOfDomain] SubordinatedChernoff::with_n_nodes: n_nodes must be in [1, 32]"),
    ({"boundary": "mirror", "subordinator": "x"}, QuorvaneError,
     '[OutOfDomain] unknown boundary policy "mirror"; valid options are: "reflect", "periodic", "zero", "linear"'),
])
def test_subordinated_construction_errors(kwargs, exc, message):
    # The subordinator is judged before u0 (here NaN) and the grid (here xmin >= xmax).
    if "n_nodes" in kwargs:
        raises_exact(exc, message, q.Subordinated1D, 0.0, 1.0, 4, U4, **kwargs)
    else:
        raises_exact(exc, message, q.Subordinated1D, 1.0, 0.0, 4, [math.nan] * 4, **kwargs)


def test_subordinated_surface_and_evolve_errors():
    s = q.Subordinated1D(0.0, 1.0, 4, U4, n_nodes=1)
    assert s.order() == 1 and len(s) == 4
    raises_exact(QuorvaneError, "[OutOfDomain] n_steps must be >= 1", s.evolve, math.nan, 0)
    s.evolve(0.0)  # the stable law puts all weight on the zero node
    assert np.array_equal(s.values(), U4)
    assert q.Subordinated1D.evolve.__text_signature__ == EVOLVE


def test_howland_is_heat1d_bit_for_bit_and_matches_solve_ivp():
    n = 101
    x = np.linspace(0.0, 1.0, n)
    u0 = np.cos(np.pi * x) + 0.5 * np.cos(2 * np.pi * x)
    hw = q.Howland1D(0.0, 1.0, n, u0, n_t=101, t_horizon=0.1)
    heat = q.Heat1D(0.0, 1.0, n, u0)
    assert np.array_equal(hw.values(), u0)
    hw.evolve()
    heat.evolve(0.1, 100)
    assert np.array_equal(hw.values(), heat.values())
    h = x[1] - x[0]
    lap = (np.diag(-2.0 * np.ones(n)) + np.diag(np.ones(n - 1), 1) + np.diag(np.ones(n - 1), -1)) / h ** 2
    lap[0, 1] = lap[-1, -2] = 2.0 / h ** 2
    ref = solve_ivp(lambda t, y: lap @ y, (0.0, 0.1), u0, method="BDF", rtol=1e-10, atol=1e-12).y[:, -1]
    # Measured 4.0e-5: the O(h^2) error of the three-point reference at h = 0.01.
    assert np.max(np.abs(hw.values() - ref)) < 6e-5
    hw.evolve()
    assert not hw.values().any()
    assert (hw.n_t(), hw.delta_s(), hw.t_horizon(), hw.order(), len(hw)) == (101, 0.001, 0.1, 1, n)


@pytest.mark.parametrize("kwargs, message", [
    ({"n_t": 1}, "[OutOfDomain] HowlandLift: n_t must be >= 2"),
    ({"t_horizon": 0.0}, "[GridMismatch] HowlandLift: t_horizon must be finite and > 0"),
    ({"t_horizon": math.inf}, "[NanInf] HowlandLift: t_horizon must be finite and > 0: inf"),
])
def test_howland_construction_errors(kwargs, message):
    raises_exact(QuorvaneError, message, q.Howland1D, 0.0, 1.0, 4, U4[:3], **kwargs)


def test_howland_stack_cap_refuses_before_allocating_in_a_subprocess():
    code = """
import resource, quorvane as q
resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))
for n_t in (10**12, 2**62):
    try:
        q.Howland1D(0.0, 1.0, 8, [0.0] * 8, n_t=n_t)
    except q.QuorvaneError as e:
        print(e)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    assert out.stdout.splitlines() == [
        "[OutOfDomain] Howland1D: the stack needs n_t*n = 8000000000000 values, above the cap of 33554432",
        "[OutOfDomain] Howland1D: the stack needs n_t*n = more than 2^64 values, above the cap of 33554432",
    ], out.stderr


# The Gamma law's diffusion times are x/c: on [0, L] with c/L^2 a step reads the same cells as
# on [0, 1] with c, so for L a power of two every value is the same. c below 1e-15 (k >= 25)
# was taken as 1e-15.
@pytest.mark.parametrize("k", [10, 30, 200])
def test_gamma_law_on_a_grid_scaled_with_c_is_the_same_flow(k):
    u = np.cos(np.pi * X)
    ref = q.Subordinated1D(0.0, 1.0, N, u, subordinator="gamma", c=1.0)
    ref.evolve(0.3, 5)
    s = q.Subordinated1D(0.0, 2.0 ** k, N, u, subordinator="gamma", c=2.0 ** (-2 * k))
    s.evolve(0.3, 5)
    assert np.array_equal(s.values(), ref.values())


# Short Gamma steps: a mode decays at t phi however t is split. Steps below 1e-15 were taken
# as 1e-15 (t = 1e-14 in 100 steps decayed 10 times too fast, t = 0 and 1e-300 by 1e-15 phi).
@pytest.mark.parametrize("t, n, tol", [
    (1e-14, 100, 0.5),  # each step changes u by 2.4e-16, rounded to the 1.1e-16 spacing near 1
    (1e-8, 10, 2e-5), (1e-8, 11, 2e-5),  # steps either side of 2^-30; the rules agree to ~5e-6
    (0.0, 1, 0.0), (1e-300, 1, 0.0),
])
def test_short_gamma_steps_decay_at_the_laplace_exponent(t, n, tol):
    u = np.cos(np.pi * X)
    s = q.Subordinated1D(0.0, 1.0, N, u, subordinator="gamma", c=1.0)
    s.evolve(t, n)
    if tol == 0.0:
        assert np.max(np.abs(s.values() - u)) <= 4e-16
    else:
        rate = -math.log(np.dot(s.values(), u) / np.dot(u, u)) / t
        assert rate / phi("gamma", math.pi ** 2) == pytest.approx(1.0, abs=tol)


# A grid on which a law's diffusion times read beyond 2^53 cells serves no call: refused when
# built (every t down to 1e-300 was refused when used, after texts that named t <= 998.59 and
# tau <= 171.6), naming the span, and the c, that pass on a fresh object.
# (The Gamma and inverse-Gaussian laws on such grids: served exactly with reflecting ends, below.)
@pytest.mark.parametrize("law, kw, c_text", [
    ("stable", {}, None),
    ("stable", {"alpha": 0.9, "n_nodes": 3}, None),
])
@pytest.mark.parametrize("span, n", [(1e-20, 32), (1e-30, 17)])
def test_a_grid_no_call_serves_is_refused_when_built(law, kw, c_text, span, n):
    def fresh(span, **more):
        return q.Subordinated1D(0.0, span, n, np.ones(n), subordinator=law, **{**kw, **more})
    text = error_text(fresh, span)
    assert text.startswith("[OutOfDomain] Subordinated1D: no call serves the "), text
    assert "reads lie more than 2^53 cells beyond the end nodes" in text
    wider = re.search(rf"a grid of {n} nodes with xmax - xmin >= (\S+) serves it", text)
    assert (wider is None) == (kw.get("c") == 5e-324)
    for t in (1e-300, 1.0) if wider else ():
        fresh(float(wider.group(1))).evolve(t, 1)
    for t in (1e-300, 1e-20) if c_text else ():
        fresh(span, c=float(re.search(c_text, text).group(1))).evolve(t, 1)
    if law == "gamma" and wider:
        # Its times grow with tau: on that grid a long step is refused before any work,
        # naming a count from which every count runs.
        longer = error_text(fresh(float(wider.group(1))).evolve, 10.0, 1)
        assert "its diffusion times x/c, up to 1.283e2, take heat steps whose reads lie" in longer
        assert longer.endswith("; use n_steps >= 10 for t = 10")
        for count in (10, 11, 20, 100):
            fresh(float(wider.group(1))).evolve(10.0, count)


# The Gamma and inverse-Gaussian laws with reflecting or periodic ends: every mode takes its exact
# factor e^{-t phi(mu)}, mu an eigenvalue of the heat step's generator (the degree-7 second
# difference read through the ends), here from numpy's eigen-decomposition of that matrix. At
# small c the rules' diffusion times far exceed dx^2: c = 1e-2 gave 0.715 for the exact 0.933,
# c = 1e-5 4.7e-33 in 10 steps for 0.871.
D2 = np.array([2, -27, 270, -490, 270, -27, 2]) / 180.0


def eigen_flow(u0, boundary, law, c, t):
    n = len(u0)
    fold = {"reflect": lambda i: abs(i) if i < n else 2 * n - 2 - i, "periodic": lambda i: i % n}[boundary]
    a = np.zeros((n, n))
    for i in range(n):
        for m, w in zip(range(-3, 4), D2):
            a[i, fold(i + m)] -= w * (n - 1) ** 2
    mu, v = np.linalg.eig(a)
    mu = np.where(np.abs(mu.real) < 1e-9 * np.abs(mu).max(), 0.0, mu.real)  # the constants, kept
    rate = np.log1p(mu / c) if law == "gamma" else 2 * mu / (np.sqrt(c * c + 2 * mu) + c)
    return np.real(v @ (np.exp(-t * rate) * np.linalg.solve(v, u0)))


@pytest.mark.parametrize("law", ["gamma", "inverse_gaussian"])
@pytest.mark.parametrize("c", [1e-2, 1e-3, 1e-5, 1e-10, 1e-12, 1.0, 1e3])
@pytest.mark.parametrize("boundary, n", [("reflect", 41), ("periodic", 41), ("reflect", 17), ("periodic", 64)])
def test_small_c_takes_each_modes_exact_factor_at_any_step_count(law, c, boundary, n):
    u0 = np.random.default_rng(n).uniform(-1.0, 1.0, n)
    exact = eigen_flow(u0, boundary, law, c, 0.01)
    results = []
    for steps in (1, 10, 1000):
        s = q.Subordinated1D(0.0, 1.0, n, u0, subordinator=law, c=c, boundary=boundary)
        s.evolve(0.01, steps)
        results.append(s.values())
        # measured <= 1.5e-13 against the eigen-decomposition (its own rounding included)
        assert np.max(np.abs(s.values() - exact)) <= 1e-12, steps
    # A neighbouring c moves the result by about what the exact flow moves.
    near = q.Subordinated1D(0.0, 1.0, n, u0, subordinator=law, c=c * 1.001, boundary=boundary)
    near.evolve(0.01, 1)
    assert np.max(np.abs(near.values() - results[0])) <= 2 * np.max(np.abs(eigen_flow(u0, boundary, law, c * 1.001,
                                                                                       0.01) - exact)) + 1e-12


# Grids of 1e-20 and 1e-30 and c = 5e-324, where the rules' heat steps read beyond any cell, are
# served exactly with reflecting ends (they were refused): the constants are kept, a mode decays.
@pytest.mark.parametrize("law, c", [("gamma", 1.0), ("gamma", 5e-324), ("inverse_gaussian", 1.0)])
@pytest.mark.parametrize("span, n", [(1e-20, 32), (1e-30, 17)])
def test_tiny_grids_and_c_are_served_with_reflecting_ends(law, c, span, n):
    s = q.Subordinated1D(0.0, span, n, np.ones(n), subordinator=law, c=c)
    s.evolve(1.0, 3)
    assert np.max(np.abs(s.values() - 1.0)) <= 1e-14
    x = np.arange(n) / (n - 1)
    s = q.Subordinated1D(0.0, span, n, np.cos(np.pi * x), subordinator=law, c=c)
    s.evolve(1e-3, 1)
    # x -> span x: the same flow on [0, 1] with c span^2 (Gamma), or c span and t/span.
    unit = (c * span ** 2, 1e-3) if law == "gamma" else (c * span, 1e-3 / span)
    if unit[0] > 0.0:
        assert np.allclose(s.values(), eigen_flow(np.cos(np.pi * x), "reflect", law, *unit), rtol=0, atol=1e-12)
    assert np.max(np.abs(s.values())) <= 1.0


# Zero and linear ends keep the rules, accurate (rates within 5 %) only for mu/c <= 30 (Gamma) and
# mu/c^2 <= 1/3 (inverse Gaussian) over the grid's modes, mu_max = 6.044/dx^2: a smaller c is
# refused, naming the least c served, which runs; just below it is refused.
@pytest.mark.parametrize("law, c_min, what", [("gamma", "3.224e2", "mu_max/30"),
                                              ("inverse_gaussian", "1.704e2", "sqrt(3 mu_max)")])
@pytest.mark.parametrize("boundary", ["zero", "linear"])
@pytest.mark.parametrize("c, c_text", [(1e-12, "1e-12"), (1e-5, "1e-5"), (1e-2, "0.01"), (1.0, "1")])
def test_zero_and_linear_ends_refuse_the_c_their_rules_cannot_serve(law, c_min, what, boundary, c, c_text):
    name = {"gamma": "Gamma", "inverse_gaussian": "inverse-Gaussian"}[law]
    raises_exact(QuorvaneError, f"[OutOfDomain] Subordinated1D: no call serves the {name} law (c = {c_text}, n_nodes = 32) "
                 f"accurately on this grid: below c = {c_min} ({what}, mu_max = 6.044/dx^2 the grid's largest mode "
                 "of -d^2/dx^2) its rule's diffusion times far exceed dx^2 and its decay rates are wrong beyond 5 %; "
                 f"c >= {c_min} is served, and with reflecting or periodic ends every c (each mode's exact factor)",
                 q.Subordinated1D, 0.0, 1.0, N, np.ones(N), subordinator=law, c=c, boundary=boundary)
    with pytest.raises(QuorvaneError):
        q.Subordinated1D(0.0, 1.0, N, np.ones(N), subordinator=law, c=float(c_min) * 0.999, boundary=boundary)
    s = q.Subordinated1D(0.0, 1.0, N, np.ones(N), subordinator=law, c=float(c_min), boundary=boundary)
    s.evolve(0.01, 2)
