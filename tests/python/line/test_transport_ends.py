"""Transport next to the ends of a grid: results stay in the range of the data
and settle as the step count grows; "linear" refuses a drift that enters."""
import numpy as np
import pytest

import quorvane as q
from quorvane import QuorvaneError

X = np.linspace(-1.0, 1.0, 101)
X01 = np.linspace(0.0, 1.0, 101)
COS = np.cos(np.pi * X)
COS01 = np.cos(np.pi * X01)


def _nd2(boundary, A, b, n=21):
    x = np.linspace(-1.0, 1.0, n)
    u0 = np.outer(np.cos(np.pi * x), np.cos(np.pi * x)).ravel()
    s = q.AnisotropicShiftND2(n, n, -1.0, 1.0, -1.0, 1.0, np.tile([A, 0.0, 0.0, A], n * n),
                              b_values=np.tile(b, n * n), boundary=boundary)
    s.set_state(u0)
    return s


def _nd3(n=7):
    x = np.linspace(-1.0, 1.0, n)
    c = np.cos(np.pi * x)
    u0 = np.einsum("i,j,k->kji", c, c, c).ravel()
    s = q.AnisotropicShiftND3(n, n, n, -1.0, 1.0, -1.0, 1.0, -1.0, 1.0,
                              np.tile([0.01, 0, 0, 0, 0.01, 0, 0, 0, 0.01], n**3),
                              b_values=np.tile([0.5, -0.5, 0.5], n**3))
    s.set_state(u0)
    return s


def _kolmogorov():
    x = np.linspace(-40.0, 40.0, 65)
    return q.HypoellipticChernoffKolmogorov(-40.0, 40.0, 65, -40.0, 40.0, 65,
                                            np.tile(np.exp(-(x / 10.0) ** 2), 65))


def _run(make, t, n_steps):
    o = make()
    o.evolve(t, n_steps=n_steps)
    return np.asarray(o.values())


# Smooth data of range [-1, 1] (the Kolmogorov density [0, 1]): before, these
# grew with the step count (1.74, 1.35, 1.74, 1.03, 1.36, 1.90 at the larger
# count) as the ends froze or fed odd-even modes into the interior. The
# allowance is what the degree-7 and cubic reads may overshoot on smooth data;
# the Kolmogorov phase space keeps 0.1 % next to its x walls.
@pytest.mark.parametrize("make, t, steps, slack", [
    (lambda: q.DriftReaction1D(0.0, 1.0, 101, COS01, b=0.5), 1.5, (100, 3000), 1e-9),
    (lambda: q.DriftReaction1D(-1.0, 1.0, 101, COS, b=0.5, boundary="zero"), 1.5, (100, 3000), 1e-9),
    (lambda: q.Adjoint(0.0, 1.0, 101, COS01, kernel="drift"), 1.5, (100, 3000), 1e-9),
    (lambda: q.Shift1D(0.0, 1.0, 101, COS01, a=0.01, b=0.5), 1.5, (100, 3000), 1e-9),
    (lambda: q.Strang1D(-1.0, 1.0, 101, COS, b=2.0), 1.5, (100, 3000), 1e-9),
    (lambda: _nd2("reflect", 0.01, [0.5, -0.5]), 1.5, (100, 1000), 1e-9),
    (lambda: _nd3(), 1.5, (100, 300), 1e-9),
    (_kolmogorov, 1.0, (20, 1000), 2e-3),
], ids=["drift-reflect", "drift-zero", "adjoint-drift", "shift", "strang", "nd2", "nd3", "kolmogorov"])
def test_transport_keeps_the_range_and_settles(make, t, steps, slack):
    few, many = (_run(make, t, n) for n in steps)
    assert np.abs(few).max() <= 1.0 + slack
    assert np.abs(many).max() <= 1.0 + slack
    # Converging, not drifting off: ten or more times the steps moves the
    # answer on average by no more than the first-order error of the few-step
    # run (the jump that "zero" lets in is smeared differently, hence the mean).
    assert np.abs(many - few).mean() < 0.01


def test_outflow_and_frozen_inflow_against_the_characteristics():
    # u_t = 0.5 u_x on [0, 1]: u0 leaves through x = 0; "reflect" at the
    # inflow end x = 1 keeps the value that sits there (-1).
    exact = np.where(X01 + 0.75 <= 1.0, np.cos(np.pi * (X01 + 0.75)), -1.0)
    for n in (300, 3000):
        u = _run(lambda: q.DriftReaction1D(0.0, 1.0, 101, COS01, b=0.5), 1.5, n)
        # the kink of the exact solution at x = 0.25 is smoothed over a few cells
        assert np.abs(u - exact)[np.abs(X01 - 0.25) > 0.05].max() < 2e-3


@pytest.mark.parametrize("make", [
    lambda: q.DriftReaction1D(-1.0, 1.0, 101, COS, b=0.5, boundary="zero"),
    lambda: q.Adjoint(-1.0, 1.0, 101, COS, kernel="drift", boundary="zero"),
    lambda: q.DriftReaction1D(0.0, 1.0, 101, np.where(X01 < 0.5, 1.0, -1.0), b=-0.7),
], ids=["zero-inflow", "adjoint-zero-inflow", "step-data"])
@pytest.mark.parametrize("n_steps", [3, 10, 40])
def test_a_carried_jump_brings_no_overshoot(make, n_steps):
    # "zero" lets a jump in at the inflow end (u = -1 meets 0) and the step
    # data carry one from the start: degree-7 reads across it overshot by up to
    # 7.5 % (10 steps); the exact values stay in [-1, 1].
    assert np.abs(_run(make, 1.5, n_steps)).max() <= 1.0 + 1e-12


LINEAR_INFLOW = 'boundary "linear" cannot be used where a drift enters across an end'


@pytest.mark.parametrize("call", [
    lambda: q.Shift1D(-1.0, 1.0, 101, COS, a=1.0, b=2.0, boundary="linear").evolve(1.5, n_steps=100),
    lambda: q.Shift1D(-1.0, 1.0, 101, COS, a=1.0, b=-0.5, boundary="linear").evolve_batched(
        1.0, np.stack([COS, COS], axis=1), n_steps=10),
    lambda: q.Shift1D.with_arrays(0.0, 1.0, 101, np.ones(101), X01 - 0.2, np.zeros(101), 0.0, COS01,
                                  boundary="linear").evolve(0.1, n_steps=10),
    lambda: q.Strang1D(-1.0, 1.0, 101, COS, b=2.0, boundary="linear").evolve(1.5, n_steps=100),
    lambda: q.DriftReaction1D(-1.0, 1.0, 101, COS, b=0.5, boundary="linear").evolve(1.5, n_steps=100),
    lambda: q.DriftReaction4th1D(-1.0, 1.0, 101, COS, boundary="linear").evolve(1.5, n_steps=2000),
    lambda: q.Adjoint(-1.0, 1.0, 101, COS, kernel="drift", boundary="linear").evolve(1.0, n_steps=10),
    lambda: q.AdaptivePI(-1.0, 1.0, 101, COS, kernel="drift", boundary="linear").evolve(1.0),
    lambda: _nd2("linear", 1.0, [2.0, -2.0]).evolve(1.5, n_steps=100),
], ids=["shift", "shift-batched", "shift-arrays", "strang", "drift", "drift4th", "adjoint", "adaptive", "nd2"])
def test_linear_refuses_a_drift_that_enters(call):
    # Before, the end values ran away (Shift1D: -5.29 at the right end).
    with pytest.raises(QuorvaneError, match=LINEAR_INFLOW) as e:
        call()
    assert e.value.kind == "OutOfDomain"


def test_linear_keeps_outflow_and_pure_diffusion_and_a_refused_call_changes_nothing():
    # A drift pointing into the interval at both ends takes nothing in.
    s = q.Shift1D.with_arrays(0.0, 1.0, 101, np.ones(101), 0.5 - X01, np.zeros(101), 0.0, COS01,
                              boundary="linear")
    s.evolve(0.1, n_steps=50)
    assert np.abs(s.values()).max() <= 1.0
    # A straight line is kept exactly by diffusion with "linear" ends.
    h = q.Shift1D(0.0, 1.0, 101, 2.0 * X01 - 0.5, a=1.0, boundary="linear")
    h.evolve(0.3, n_steps=30)
    np.testing.assert_allclose(h.values(), 2.0 * X01 - 0.5, atol=1e-13)
    d = q.DriftReaction1D(-1.0, 1.0, 101, COS, b=0.5, boundary="linear")
    with pytest.raises(QuorvaneError):
        d.evolve(1.0, n_steps=10)
    assert np.array_equal(d.values(), COS)
