"""shift1d_coeff_grad against central differences of Shift1D.with_arrays."""
import re

import numpy as np
import pytest

import quorvane as q
from quorvane import QuorvaneError, Shift1D

X0, X1 = -1.0, 2.0


def setup(n, boundary="reflect"):
    x = np.linspace(X0, X1, n)
    a = 0.4 + 0.2 * np.sin(x)
    # "linear" takes no drift in across an end: there the drift points inwards.
    b = -0.2 * (x - 0.5) if boundary == "linear" else 0.3 * np.cos(2 * x)
    c = -0.5 + 0.2 * x
    u0 = np.exp(-2 * (x - 0.4) ** 2)
    dj = np.cos(1.7 * x) + 0.2
    return [a, b, c], u0, dj


def loss(fields, u0, dj, t, steps, boundary):
    a, b, c = fields
    bound = float(np.max(np.abs(c)))
    s = q.Shift1D.with_arrays(X0, X1, len(u0), a, b, c, bound, u0, boundary=boundary)
    s.evolve(t, steps)
    return float(np.dot(dj, np.asarray(s.values())))


def central_differences(fields, k, u0, dj, t, steps, boundary, h=1e-6):
    """d loss / d fields[k][i] for every node i, by central differences of width 2h."""
    fd = np.empty(len(u0))
    for i in range(len(u0)):
        plus = [f.copy() for f in fields]
        minus = [f.copy() for f in fields]
        plus[k][i] += h
        minus[k][i] -= h
        fd[i] = (loss(plus, u0, dj, t, steps, boundary) - loss(minus, u0, dj, t, steps, boundary)) / (2 * h)
    return fd


@pytest.mark.parametrize("boundary", ["reflect", "zero", "periodic", "linear"])
@pytest.mark.parametrize("wrt", ["a", "b", "c"])
@pytest.mark.parametrize("n", [4, 13])
def test_against_central_differences(boundary, wrt, n):
    fields, u0, dj = setup(n, boundary)
    t, steps = 0.06, 3
    g = q.shift1d_coeff_grad(X0, X1, n, *fields, u0, dj, t, steps, wrt=wrt, boundary=boundary)
    fd = central_differences(fields, "abc".index(wrt), u0, dj, t, steps, boundary)
    assert np.max(np.abs(g - fd)) < 1e-8 * (1 + np.max(np.abs(fd)))


# c = -0.5 + 0.2x on [-1, 2] is negative at every node; shifted by 0.4 it takes both signs.
@pytest.mark.parametrize("shift", [0.0, 0.4])
def test_c_gradient_of_one_step_is_exact(shift):
    (a, b, c), u0, dj = setup(9)
    c = c + shift
    g = q.shift1d_coeff_grad(X0, X1, 9, a, b, c, u0, dj, 0.1, 1, wrt="c")
    # A step is (1 + tau c_i) m_i where c_i < 0 and m_i + tau c_i u_i elsewhere, m_i the
    # three-point mean: the step with c = 0.
    mean = Shift1D.with_arrays(X0, X1, 9, a, b, np.zeros(9), 0.0, u0)
    mean.evolve(0.1, 1)
    np.testing.assert_allclose(g, 0.1 * dj * np.where(c < 0.0, mean.values(), u0), rtol=1e-15, atol=0)


# Both sides of c = 0 (the step's two branches), many steps.
@pytest.mark.parametrize("wrt", ["a", "b", "c"])
def test_mixed_sign_reaction_against_central_differences(wrt):
    n, t, steps = 13, 0.3, 12
    fields, u0, dj = setup(n)
    fields[2] = 2.0 * np.sin(3.0 * np.linspace(X0, X1, n)) + 0.05  # no node within 0.05 of c = 0
    g = q.shift1d_coeff_grad(X0, X1, n, *fields, u0, dj, t, steps, wrt=wrt)
    fd = central_differences(fields, "abc".index(wrt), u0, dj, t, steps, "reflect")
    # Central differences of width 2e-6 carry ~1e-10 of rounding; the a and b derivatives
    # are themselves differences of width 2e-4 dx.
    assert np.max(np.abs(g - fd)) < 1e-8 * (1 + np.max(np.abs(fd)))


# Rough data under a drift that varies: many of the steps' values are clipped to the range of
# u0's read, where a value is the range's end and no longer moves with u, a or b. The gradient
# is that of the map Shift1D computes.
@pytest.mark.parametrize("boundary", ["reflect", "periodic", "zero"])
@pytest.mark.parametrize("wrt", ["a", "b", "c"])
def test_clamped_reads_against_central_differences(boundary, wrt):
    n, t, steps = 13, 0.3, 12
    fields, _, dj = setup(n)
    x = np.linspace(X0, X1, n)
    u0 = np.where(np.arange(n) % 3 == 0, 1.0, -0.5) + 0.1 * np.sin(5.0 * x)
    g = q.shift1d_coeff_grad(X0, X1, n, *fields, u0, dj, t, steps, wrt=wrt, boundary=boundary)
    fd = central_differences(fields, "abc".index(wrt), u0, dj, t, steps, boundary)
    # As above: rounding of the central differences, and the a and b derivatives are
    # themselves differences of width 2e-4 dx.
    assert np.max(np.abs(g - fd)) < 1e-8 * (1 + np.max(np.abs(fd)))


@pytest.mark.parametrize(
    "change, kind, text",
    [
        (dict(wrt="A"), "OutOfDomain", "wrt must be 'a', 'b' or 'c', got 'A'"),
        (dict(wrt="ab"), "OutOfDomain", "wrt must be 'a', 'b' or 'c', got 'ab'"),
        (dict(n_steps=0, t=0.0), "OutOfDomain", "n_steps must be >= 1"),
        (dict(t=float("nan")), "OutOfDomain", "t must be finite and > 0"),
        (dict(a=[0.1] * 9, c=[float("nan")] * 10), "GridMismatch", "a has length 9, expected n=10"),
        (dict(c=[0.0] * 9 + [float("inf")]), "NanInf", "c contains NaN or Inf"),
        (dict(n=3, a=[0.1] * 3, b=[0.0] * 3, c=[0.0] * 3, u0=[1.0] * 3, dj_du_n=[1.0] * 3),
         "GridMismatch", "n must be >= 4 (septic Hermite stencil)"),
        (dict(a=[0.1] * 9 + [0.0]), "OutOfDomain", "shift1d_coeff_gradient: d/da undefined at a_i <= 0"),
        (dict(a=[0.1] * 9 + [-0.1], wrt="b"), "OutOfDomain", "shift1d_coeff_gradient: a_i must be >= 0"),
        # Shift1D's own refusals of the forward steps (they flipped signs and grew without bound).
        (dict(c=[0.0] * 9 + [-30.0]), "CflViolated", "reaction factor 1 + tau*c = -0.5 < 0"),
        (dict(b=[0.5] * 10, boundary="linear"), "OutOfDomain", 'boundary "linear" cannot be used where a drift'),
    ],
)
def test_refusals(change, kind, text):
    args = dict(xmin=0.0, xmax=1.0, n=10, a=[0.1] * 10, b=[0.0] * 10, c=[0.0] * 10, u0=[1.0] * 10,
                dj_du_n=[1.0] * 10, t=0.1, n_steps=2)
    kw = {k: change.pop(k) for k in ("wrt", "boundary") if k in change}
    args.update(change)
    with pytest.raises(QuorvaneError) as e:
        q.shift1d_coeff_grad(*args.values(), **kw)
    assert f"[{kind}]" in str(e.value) and text in str(e.value)


def test_zero_diffusion_allowed_for_drift():
    a = np.full(10, 0.1)
    a[4] = 0.0
    g = q.shift1d_coeff_grad(0.0, 1.0, 10, a, np.zeros(10), np.zeros(10), np.ones(10), np.zeros(10), 0.1, 2, wrt="b")
    assert np.all(g == 0.0)


def evolve_refused(n, a, b, c, u0, t, steps):
    try:
        q.Shift1D.with_arrays(0.0, 1.0, n, a, b, c, float(np.max(np.abs(c))), u0).evolve(t, steps)
    except QuorvaneError as e:
        return str(e).startswith("[NanInf] ")
    return False


@pytest.mark.parametrize("wrt", ["a", "b", "c"])
@pytest.mark.parametrize("n, c, dj, t, text", [
    # The forward evolution grows like (1 + tau c)^n_steps = 5001^100: Shift1D's evolve refuses it too.
    (4, 0.5, 1.0, 1e6, "shift1d_coeff_gradient: the forward state u_k overflows the double range"),
    # A finite forward pass whose cotangent, carried back from 1e308, leaves the range: the
    # gradient is linear in u0, and the refusal names the max|u0| that keeps it within.
    (10, 2.0, 1e308, 1.0, "shift1d_coeff_grad: the gradient lies beyond the double range"),
])
def test_non_finite_gradients_are_refused(wrt, n, c, dj, t, text):
    # Data of both signs: the flow's range then grows at both ends, and the steps' own growth
    # (1 + tau c per step, below e^{tau c}) is never clipped.
    a, b, cs, u0 = np.ones(n), np.full(n, 0.5), np.full(n, c), np.linspace(-1.0, 1.0, n)
    assert evolve_refused(n, a, b, cs, u0, t, 100) == (dj == 1.0)
    if dj != 1.0 and wrt == "c":
        # dJ/dc peaks at 1.44e308, a double: served, dj_du_n times the gradient for dj_du_n = 1.
        g = q.shift1d_coeff_grad(0.0, 1.0, n, a, b, cs, u0, np.full(n, dj), t, 100, wrt=wrt)
        unit = q.shift1d_coeff_grad(0.0, 1.0, n, a, b, cs, u0, np.ones(n), t, 100, wrt=wrt)
        np.testing.assert_allclose(g / dj, unit, rtol=0, atol=1e-14 * np.max(np.abs(unit)))
        return
    with pytest.raises(QuorvaneError) as e:
        q.shift1d_coeff_grad(0.0, 1.0, n, a, b, cs, u0, np.full(n, dj), t, 100, wrt=wrt)
    assert str(e.value).startswith(f"[NanInf] {text}: ")
    named = re.search(r"max\|u0\| <= (\S+) keeps it within$", str(e.value))
    if named:  # the named scale passes, and the gradient scales with it
        u = u0 * float(named.group(1))
        g = q.shift1d_coeff_grad(0.0, 1.0, n, a, b, cs, u, np.full(n, dj), t, 100, wrt=wrt)
        assert np.all(np.isfinite(g))
        half = q.shift1d_coeff_grad(0.0, 1.0, n, a, b, cs, u / 2, np.full(n, dj), t, 100, wrt=wrt)
        np.testing.assert_array_equal(half * 2, g)
    # A hundred times less time stays in range, and so does the gradient.
    assert np.all(np.isfinite(q.shift1d_coeff_grad(0.0, 1.0, n, a, b, cs, u0, np.ones(n), t / 100, 100, wrt=wrt)))


def test_step_counts_whose_checkpoints_cannot_be_held_are_refused():
    # ceil(sqrt(2^63)) checkpoints of 64 values: 3e12 bytes, refused before any allocation.
    f = np.full(64, 0.3)
    with pytest.raises(QuorvaneError) as e:
        q.shift1d_coeff_grad(0.0, 1.0, 64, f, f, f, f, f, 0.1, 2**63)
    assert str(e.value).startswith("[OutOfDomain] n_steps = 9223372036854775808 would keep 3037000500 checkpoints "
                                   "of n = 64 values (3.110e12 bytes), more than this machine's memory (")


# The checkpoint count is ceil(n_steps / ceil(sqrt(n_steps))), also where n_steps plus the
# interval would wrap around 64 bits.
@pytest.mark.parametrize("n_steps, marks", [(2**64 - 1, 2**32), (2**64 - 2**32, 2**32 - 1), (2**62 + 1, 2**31 + 1)])
def test_checkpoint_count_of_the_largest_step_counts(n_steps, marks):
    f = np.full(8, 0.3)
    with pytest.raises(QuorvaneError) as e:
        q.shift1d_coeff_grad(0.0, 1.0, 8, f, f, f, f, f, 0.1, n_steps)
    assert str(e.value).startswith(f"[OutOfDomain] n_steps = {n_steps} would keep {marks} checkpoints of n = 8 values (")


# At a constant b the b-gradient matches central differences, also where the data have a jump
# (the zero walls, the periodic seam); moving one b sample by 1e-12 moves the a- and
# c-gradients by about as much.
@pytest.mark.parametrize("boundary", ["reflect", "zero", "periodic"])
def test_gradients_at_a_constant_drift(boundary):
    n = 41
    x = np.arange(n) / n if boundary == "periodic" else np.linspace(0.0, 1.0, n)
    u0 = np.cos(np.pi * x) + 0.3 * np.sin(3 * x)
    dj = np.cos(2 * x) + 0.1
    a, b, c = np.full(n, 0.01), np.full(n, 0.3), np.full(n, -2.0)
    t, steps = 0.3, 30

    def loss(bb):
        s = Shift1D.with_arrays(0.0, x[-1], n, a, bb, c, 2.0, u0, boundary=boundary)
        s.evolve(t, steps)
        return float(dj @ s.values())

    g = q.shift1d_coeff_grad(0.0, x[-1], n, a, b, c, u0, dj, t, steps, wrt="b", boundary=boundary)
    h = 1e-6
    fd = np.array([(loss(b + h * e) - loss(b - h * e)) / (2 * h) for e in np.eye(n)])
    # Central differences of width 2e-6: 1e-6 of max |fd|.
    assert np.abs(g - fd).max() < 1e-5 * np.abs(fd).max()
    moved = b.copy()
    moved[17] += 1e-12
    for wrt in ("a", "c"):
        g0 = q.shift1d_coeff_grad(0.0, x[-1], n, a, b, c, u0, dj, t, steps, wrt=wrt, boundary=boundary)
        g1 = q.shift1d_coeff_grad(0.0, x[-1], n, a, moved, c, u0, dj, t, steps, wrt=wrt, boundary=boundary)
        assert np.abs(g1 - g0).max() < 1e-9
