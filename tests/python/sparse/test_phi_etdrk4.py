"""phi-function actions against the exponential of the augmented matrix, and the ETDRK4 driver's order."""

import math
import re

import numpy as np
import pytest
import scipy.linalg as sl
import scipy.sparse as sp
from scipy.integrate import solve_ivp

import quorvane as q
from quorvane import QuorvaneError
from sparse_refs import path_laplacian, symmetric

RNG = np.random.default_rng(3)
N = 30
LAP = path_laplacian(N, 3.0)
V = RNG.standard_normal(N)


def phi_reference(a, k, tau, v):
    """First n entries of expm(B) w0 with B = [[tau A, v e1^T], [0, J]], A = -a."""
    n = len(v)
    b = np.zeros((n + 3, n + 3))
    b[:n, :n] = -tau * a.toarray()
    b[:n, n] = v
    b[n, n + 1] = b[n + 1, n + 2] = 1.0
    w = np.zeros(n + 3)
    if k == 0:
        w[:n] = v
    else:
        w[n + k - 1] = 1.0
    return (sl.expm(b) @ w)[:n]


@pytest.mark.parametrize("tau", [0.5, 2.0, -0.5, -1.0])
@pytest.mark.parametrize("k", [0, 1, 2, 3])
def test_phi_matches_augmented_expm(k, tau):
    # A negative tau used to shrink the Taylor plan to v + tau A v (errors near 1).
    op = symmetric(q, LAP)
    ref = phi_reference(LAP, k, tau, V)
    assert np.abs(q.phi_action(op, k, tau, V) - ref).max() <= 1e-12 * np.abs(ref).max()


def test_phi_batched_rows_and_tau_zero():
    op = symmetric(q, LAP)
    rows = q.phi_action_batched(op, 3, 0.8, V)
    assert rows.shape == (4, N)
    for k in range(4):
        assert np.array_equal(rows[k], q.phi_action(op, k, 0.8, V))
    zero = q.phi_action_batched(op, 3, 0.0, V)
    for k, f in enumerate([1, 1, 2, 6]):
        assert np.allclose(zero[k], V / f, rtol=1e-15, atol=0)
    assert q.phi_action_batched(op, 0, 0.8, V.reshape(5, 6)).shape == (1, N)


def test_phi_large_data_is_scaled_not_costly():
    op = symmetric(q, LAP)
    ref = phi_reference(LAP, 2, 0.3, V)
    assert np.abs(q.phi_action(op, 2, 0.3, 1e6 * V) / 1e6 - ref).max() <= 1e-12 * np.abs(ref).max()


PHI_ERRORS = [
    ((4, 0.1, V), "[OutOfDomain] k = 4 > PHI_MAX = 3"),
    ((0, math.nan, V), "[OutOfDomain] tau must be finite"),
    ((0, 0.1, np.ones(2 * N)[::2]), "[GridMismatch] v must be contiguous"),
    ((0, 0.1, np.ones(N + 1)), f"[GridMismatch] v length {N + 1} != op.n() {N}"),
    # ~1e12 products (and a clipped sub-step count) refused before any work, naming what serves.
    ((1, 1e10, V), "[OutOfDomain] phi_action: |tau| * lambda_max_bound too large: "
                   "the action would need more than 10000000 operator products; it serves tau up to 4.916e4 on "
                   "this operator"),
]


@pytest.mark.parametrize("args,msg", PHI_ERRORS)
def test_phi_refusals(args, msg):
    op = symmetric(q, LAP)
    with pytest.raises(QuorvaneError) as e:
        q.phi_action(op, *args)
    assert str(e.value) == msg
    if args[0] == 4:
        with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] p = 4 > PHI_MAX = 3$"):
            q.phi_action_batched(op, *args)


def allen_cahn_problem(n=64, eps=0.05):
    dx = 1.0 / (n - 1)
    lap = path_laplacian(n, eps**2 / dx**2)
    x = np.linspace(0, 1, n)
    return lap, 0.5 * np.cos(3 * np.pi * x) + 0.2 * np.sin(2 * np.pi * x)


def test_etdrk4_fourth_order_against_radau():
    lap, u0 = allen_cahn_problem()
    ref = solve_ivp(lambda t, u: -lap @ u + u - u**3, (0, 1), u0, method="Radau", rtol=1e-13, atol=1e-13,
                    jac=lambda t, u: (-lap + sp.diags(1 - 3 * u**2)).tocsc()).y[:, -1]
    op = symmetric(q, lap)
    errs = [np.abs(q.Etdrk4.from_symmetric_op(op, "allen_cahn", 1 / m).integrate(u0, m) - ref).max()
            for m in (4, 8, 16, 32)]
    orders = np.log2(np.array(errs[:-1]) / np.array(errs[1:]))
    assert orders.min() >= 3.8, orders  # measured 3.96, 3.97, 3.99


def test_etdrk4_integrate_is_repeated_steps_and_fixed_points():
    lap, u0 = allen_cahn_problem(20)
    e = q.Etdrk4.from_symmetric_op(symmetric(q, lap), "allen_cahn", 0.1)
    u = u0.copy()
    for _ in range(5):
        u = e.step(u)
    assert np.array_equal(e.integrate(u0, 5), u)
    assert np.array_equal(e.integrate(u0, 0), u0) and e.n() == 20
    for c in (1.0, -1.0):
        assert np.abs(e.integrate(np.full(20, c), 10) - c).max() <= 1e-13


ETD_ERRORS = [
    (("Allen_Cahn", 0.0), "[OutOfDomain] unknown nonlinearity 'Allen_Cahn'; valid choices: \"allen_cahn\""),
    (("", 0.1), "[OutOfDomain] unknown nonlinearity ''; valid choices: \"allen_cahn\""),
    (("allen_cahn", -0.0), "[OutOfDomain] h must be finite and positive"),
    (("allen_cahn", math.inf), "[OutOfDomain] h must be finite and positive"),
]


@pytest.mark.parametrize("args,msg", ETD_ERRORS)
def test_etdrk4_refusals(args, msg):
    with pytest.raises(QuorvaneError) as e:
        q.Etdrk4.from_symmetric_op(symmetric(q, LAP), *args)
    assert str(e.value) == msg


@pytest.mark.parametrize("fn, k", [(q.phi_action, 0), (q.phi_action_batched, 3)])
def test_results_beyond_the_range_name_the_data_that_pass(fn, k):
    # The action is linear: a result beyond the doubles is refused naming the max|v| that keeps
    # it within, that v is served, and halving it halves the result bit for bit.
    op = symmetric(q, LAP)
    with pytest.raises(QuorvaneError) as e:
        fn(op, k, -100.0, ALT)
    named = re.fullmatch(rf"\[NanInf\] {fn.__name__}: the result lies beyond the double range: .*, and max\|u0\| = "
                         r"1\.000e300 takes it past .*; the same data scaled down to max\|u0\| <= (\S+) stay within it",
                         str(e.value))
    assert named
    v = ALT * (float(named.group(1)) / 1e300)
    out = fn(op, k, -100.0, v)
    assert np.all(np.isfinite(out))
    np.testing.assert_array_equal(fn(op, k, -100.0, v / 2) * 2, out)


ETD_TOO_LARGE = ("[OutOfDomain] Etdrk4: h * lambda_max_bound too large: a phi action of the step would need more "
                 "than 10000000 operator products (use a smaller h)")


# At h * lambda_bar = 1e6 the full-step actions exceed the cap, but the five half-step actions
# before them do not: those once ran first (~20 min at n = 10^4) and phi_action's refusal came after.
@pytest.mark.parametrize("h_lam", [1e6, 1e10, 1e300])
@pytest.mark.parametrize("call", [lambda e: e.step(V), lambda e: e.integrate(V, 3)])
def test_etdrk4_refuses_a_step_beyond_the_product_cap_up_front(h_lam, call):
    op = symmetric(q, LAP)
    e = q.Etdrk4.from_symmetric_op(op, "allen_cahn", h_lam / op.lambda_max_bound())
    with pytest.raises(QuorvaneError) as err:
        call(e)
    # The h named passes both rules: here the rule on h for these data, far below the cap's.
    assert str(err.value).startswith(ETD_TOO_LARGE + "; the largest admissible h = 8.404e-2 for these data: build "
                                     "the Etdrk4 with h <= 8.404e-2"), str(err.value)


def test_etdrk4_cap_is_per_action_not_per_step():
    # h * lambda_bar = 2e5: each action ~3.4e6 products, the step ~2e7 in all (a 1 x 1 operator keeps it short).
    one = q.SymmetricOperator.from_csr(np.array([0, 1], np.int64), np.array([0], np.int32), np.array([1.0]), 1)
    assert np.isfinite(q.Etdrk4.from_symmetric_op(one, "allen_cahn", 2e5).step(np.array([0.5]))).all()


def test_etdrk4_length_messages_and_empty_operator():
    e = q.Etdrk4.from_symmetric_op(symmetric(q, LAP), "allen_cahn", 0.1)
    with pytest.raises(QuorvaneError, match=rf"^\[GridMismatch\] u length 3 != op.n\(\) {N}$"):
        e.step(np.ones(3))
    with pytest.raises(QuorvaneError, match=r"^\[GridMismatch\] u0 must be contiguous$"):
        e.integrate(np.ones(2 * N)[::2], 1)
    empty = q.SymmetricOperator.from_csr(np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0), 0)
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] Etdrk4::new: op.dim\(\) must be > 0$"):
        q.Etdrk4.from_symmetric_op(empty, "allen_cahn", 0.1)


ALT = 1e300 * (-1.0) ** np.arange(N)  # the top mode of the path: phi_0(-100 A) grows it by e^{1200}
NON_FINITE = [
    (lambda op, e: e.step(np.full(N, 1e300)),
     "[NanInf] Etdrk4: the nonlinearity u - u^3 overflows the double range: -inf"),
    (lambda op, e: e.integrate(np.full(N, 1e300), 3),
     "[NanInf] Etdrk4: the nonlinearity u - u^3 overflows the double range: -inf"),
    # Moderate data whose stages would blow up past the range: the step is refused before any work.
    (lambda op, e: e.integrate(np.full(N, 1e50), 3),
     "[CflViolated] Etdrk4: h = 1.000e-1 exceeds the largest admissible h = 8.999e-101 for \"allen_cahn\": "
     "the solution ranges over |u| <= 1.000e50, where N'(u) = 1 - 3u^2 falls to -3.000e100, and h * 3.000e100 = "
     "3.000e99 > 2.7: the steps stall at spurious values, fall past the solution or blow up; build the Etdrk4 with "
     "h <= 8.999e-101 (no n_steps up to 18446744073709551615 makes the steps of t = n_steps * h = 3.000e-1 short "
     "enough: one call serves t = n_steps * h <= 1.6602069666338594e-81 (n_steps = 18446744073709551615), longer "
     "times take several calls)"),
    (lambda op, e: e.step(np.where(np.arange(N) == 4, math.nan, 0.0)), "[NanInf] u contains NaN or Inf: NaN"),
    (lambda op, e: e.integrate(np.full(N, -math.inf), 3), "[NanInf] u0 contains NaN or Inf: -inf"),
    (lambda op, e: q.phi_action(op, 1, 0.1, np.full(N, math.nan)), "[NanInf] v contains NaN or Inf: NaN"),
    (lambda op, e: q.phi_action_batched(op, 2, 0.1, np.full(N, math.nan)), "[NanInf] v contains NaN or Inf: NaN"),
]


@pytest.mark.parametrize("call,msg", NON_FINITE)
def test_non_finite_inputs_and_results_are_refused(call, msg):
    op = symmetric(q, LAP)
    with pytest.raises(QuorvaneError) as e:
        call(op, q.Etdrk4.from_symmetric_op(op, "allen_cahn", 0.1))
    assert str(e.value) == msg




def rk4_constant(u, h, steps):
    """Cox-Matthews on the constant mode (A 1 = 0) is classical RK4 on u' = u - u^3."""
    f = lambda x: x - x**3  # noqa: E731
    for _ in range(steps):
        k1 = f(u)
        k2 = f(u + h / 2 * k1)
        k3 = f(u + h / 2 * k2)
        u = u + h * (k1 + 2 * (k2 + k3) + f(u + h * k3)) / 6
    return u


RULE = r"^\[CflViolated\] Etdrk4: h = {} exceeds the largest admissible h = {} for \"allen_cahn\": the solution ranges "
FRONT = np.where(np.arange(16) < 8, -1.0, 1.0)
ALLEN_CAHN_STEPS = [
    # One step from 0.5 gave -1.1e4 (exact 0.99993 at t = 5); 200 steps of 1.39 stalled at a spurious 0.9147.
    (4.5, 0.5, None, RULE.format("4.500e0", "1.350e0") + r"over \|u\| <= 1\.000e0, where N'\(u\) = 1 - 3u\^2 falls to "
     r"-2\.000e0, and h \* 2\.000e0 = 9\.000e0 > 2\.7: .* build the Etdrk4 with h <= 1\.350e0$"),
    (10.0, 0.5, 3, RULE.format("1.000e1", "1.350e0") + r".* \(for t = n_steps \* h = 30: n_steps >= 23 steps of "),
    (1.39, 0.5, 200, RULE.format("1.390e0", "1.350e0")),
    # Data beyond 1: one step of 1 from 1.4 gave 0.494 (exact 1.035).
    (1.0, 1.4, 1, RULE.format("1.000e0", "5.532e-1") + r"over \|u\| <= 1\.400e0"),
    # Accepted: the first value, and the largest |u|. At a front the steps are not monotone (max|u| 1.0013
    # after one step of 1.35, 1.00003 after 22, at most 1.0018 up to 60): a fixed overshoot, below the 1.75 %
    # of a stiff operator's limit; h = 1.2 stays within 1.
    (1.0, 0.5, 1, (0.8413228035123448, 1.0)),  # kept (exact 0.8433)
    (1.2, FRONT, 22, (None, 1.0)),
    (1.35, FRONT, None, (None, 1.0175)),
    (1.35, FRONT, 22, (None, 1.0175)),
]


@pytest.mark.parametrize("h,u0,n_steps,expect", ALLEN_CAHN_STEPS)
def test_etdrk4_refuses_steps_and_results_that_leave_allen_cahn(h, u0, n_steps, expect):
    op = q.ConservativeDiffusionChernoff.from_k_array(16, 0.0, 1.0, np.full(16, 1e-3)).to_symmetric_operator()
    u0 = np.broadcast_to(u0, 16).copy()
    kept = u0.copy()
    run = lambda h: q.Etdrk4.from_symmetric_op(op, "allen_cahn", h).integrate(u0, n_steps or 1)  # noqa: E731
    if not isinstance(expect, str):
        first, top = expect
        out = run(h)
        assert np.abs(out).max() <= top and (first is None or out[0] == first)
        return
    with pytest.raises(QuorvaneError) as err:
        q.Etdrk4.from_symmetric_op(op, "allen_cahn", h).step(u0) if n_steps is None else run(h)
    assert re.match(expect, str(err.value)), str(err.value)
    assert np.array_equal(u0, kept)
    named = re.search(r"h <= (\S+?)( |$)", str(err.value))
    if named:  # the named step runs and settles at 1 as RK4 on the constant mode does, where the refused one stalled
        h_named = float(named.group(1))
        ref = rk4_constant(u0[0], h_named, 300)
        out = q.Etdrk4.from_symmetric_op(op, "allen_cahn", h_named).integrate(u0, 300)
        assert np.abs(out - ref).max() <= 1e-12 and abs(ref - 1.0) <= 1e-9


# (u0, h, n_steps, the least count): t / h_max lies just below a whole number, where the count from the printed
# h_max (rounded down to 1.038e-1 for u0 = 3) came out one too many, 964 and 131.
LEAST_COUNTS = [(3.0, 1.0, 100, 963), (3.0, 1.35, 10, 130), (5.0, 1.0, 100, 2741), (1.5 * FRONT, 1.0, 100, 213)]


@pytest.mark.parametrize("u0,h,n_steps,least", LEAST_COUNTS)
def test_etdrk4_names_the_least_count_that_runs(u0, h, n_steps, least):
    op = q.ConservativeDiffusionChernoff.from_k_array(16, 0.0, 1.0, np.full(16, 1e-3)).to_symmetric_operator()
    u0 = np.broadcast_to(u0, 16).copy()
    etd = lambda h: q.Etdrk4.from_symmetric_op(op, "allen_cahn", h)  # noqa: E731
    with pytest.raises(QuorvaneError) as err:
        etd(h).integrate(u0, n_steps)
    t = n_steps * h
    assert f"(for t = n_steps * h = {t:.17g}: n_steps >= {least} steps of h = t / n_steps)" in str(err.value)
    assert np.abs(etd(t / least).integrate(u0, least)).max() <= 1.0175 * np.abs(u0).max()  # the fixed overshoot
    with pytest.raises(QuorvaneError, match=r"^\[CflViolated\] Etdrk4: h = "):
        etd(t / (least - 1)).integrate(u0, least - 1)


def named_bounds(msg):
    return float(re.search(r"h <= (\S+?)( |$)", msg).group(1)), int(float(re.search(r"n_steps >= (\S+) ", msg).group(1)))


# (u0, h): h * (3 max(1, max|u0|)^2 - 1) > 2.7. The verdict used to come after the steps: CflViolated after one
# step of 1.35 from 1.5, NanInf after 10, and h = 2 named h <= 1.35 from |u| <= 1, which was then refused in turn.
JUDGED_UP_FRONT = [(1.5, 1.35), (1.5, 2.0), (1.5, 4 / 3), (-1.5, 1.35), (3.0, 1.0), (10.0, 0.1), (1.0, 2.0),
                   (FRONT, 2.7), (1.5 * FRONT, 1.0)]


@pytest.mark.parametrize("u0,h", JUDGED_UP_FRONT)
def test_etdrk4_judges_h_from_the_data_before_the_first_step(u0, h):
    op = q.ConservativeDiffusionChernoff.from_k_array(16, 0.0, 1.0, np.full(16, 1e-3)).to_symmetric_operator()
    u0 = np.broadcast_to(u0, 16).copy()
    top = max(1.0, np.abs(u0).max())
    etd = lambda h: q.Etdrk4.from_symmetric_op(op, "allen_cahn", h)  # noqa: E731
    # One kind and one named h at every step count; 5000 steps of 1 from 1.5 once ran 2.5 s before the refusal.
    msgs = []
    for call in (lambda e: e.step(u0), *(lambda e, k=k: e.integrate(u0, k) for k in (1, 10, 5000))):
        with pytest.raises(QuorvaneError) as err:
            call(etd(h))
        msgs.append(str(err.value))
    assert all(m.startswith("[CflViolated] Etdrk4: h = ") for m in msgs), msgs
    h_max = float(re.search(r"h <= (\S+)$", msgs[0]).group(1))
    assert h_max <= 2.7 / (3 * top**2 - 1) < h_max * 1.001  # four digits, rounded down
    for n_steps, msg in zip((1, 10), msgs[1:]):
        h_named, count = named_bounds(msg)
        assert h_named == h_max
        t = n_steps * h
        if count > 1:  # the least admissible count: one fewer is refused
            with pytest.raises(QuorvaneError, match=r"^\[CflViolated\]"):
                etd(t / (count - 1)).integrate(u0, count - 1)
        for k in (count, count + 1, 2 * count):  # and every count above it runs
            out = etd(t / k).integrate(u0, k)
            if np.ptp(u0) == 0:  # the constant mode is RK4 on u' = u - u^3, settling at the sign of u0
                assert np.abs(out - rk4_constant(u0[0], t / k, k)).max() <= 1e-12 * top
            assert np.abs(out).max() <= 1.0175 * top  # the steps' fixed overshoot near fronts, at most 1.75 %
        # Steps taken one call at a time are judged on their own data and equal integrate value for value.
        e, u = etd(t / count), u0
        for _ in range(count):
            u = e.step(u)
        assert np.array_equal(u, e.integrate(u0, count))
