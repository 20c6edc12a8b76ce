"""The cost of VarCoefTtEvolver's judgements against the steps they judge.

Problem: one periodic axis of n nodes on (0, 1) (d = 1, a rank-1 state), a = 1e-6 with a drift
drawn from (-1, 1) (its three-point operator grows: refused) or b = 1 + 0.5 sin(2 pi x) (a drift
of one sign: admitted); the reference is one evolve step of an axis of the same n (a = 1, b = 0,
a constant residual, so no step judgement), best of a few runs.

First section, the axis operator's judgement when the evolver is built (n = 64, 512, 1024,
4096): construction time of each evolver and its ratio to one step.

Second section, the step judgement of an axis whose coefficients vary (n = 64, 512, 1024:
beyond 1024 such axes are refused): a first one-step call on a fresh evolver (one QR of the
n x n step matrix, then the step), the same call again (the verdict kept), and their ratio to
one step; then a refusal of one step of t = 4 on the noisy drift of the evolver's own table
(a = 1.01 max|b| h/2, every coupling > 0: n = 64 and 600) against the call of the count it
names.

Fourth section, what the admitted calls keep: random axes (random_axis: 8 to 256 nodes, a
smooth or rough, b and v zero, constant, smooth or noisy, a jump, noise or smooth data), each
called at six random t from 1e-2 to 1e3 with 1 to 10 steps and, below every admitted long
single step, at steps 0.5 to 0.9 of it (the gap where its double passes); every admitted
result against the exact bound max|u0| e^{t max(v, 0)}, and on axes of at most 64 nodes also
against what exp(t L_h) of the three-point operator itself reaches (scipy's expm).

Fifth section, the judgement of the powers a call applies: the first call of K = 1, 100, 10^4 and 10^5 steps
of 1e-6, and of 10^4 steps of t = 0.1 (where exp(t L_h) itself overshoots 10.98 times and is formed), on the
one-sign drift (n = 64, 256, 512, 1024; calls whose steps take more than 15 s, 3 s with --quick, are not timed)
on a fresh evolver less the same call again: in ms, in steps and as a share of the call's own steps; with
--before PATH the same calls of an earlier build (a build directory, or a python interpreter whose
environment holds it), timed in a child process of this run, and the ratio. Then the rough axes (rough_axis:
8 to 96 nodes, a and b drawn node by node, four steps from 0.03 to 30 over |L_h|_inf, each called with 1,
10, 100, 1000 and 3000 steps, and the count each refusal names) on a jump and on drawn signs: the largest
max|u| / (max|u0| e^{t max(v, 0)}) returned, how many calls were admitted, refused, and refused naming no
count; and of the calls whose steps pass, how many the judge of their powers refuses (every axis's
|S^K|_inf within 5 times max(1, |exp(t L_h)|_inf), from numpy's S^K and scipy's expm) and how many the
previous judge would have (the product of the axes' |S^K|_inf within 5), how many verdicts of the library
differ from numpy's, and the largest |S^K|_inf of a call admitted now and refused before.

Sixth section, the judges compared: the 47- and 49-node files' calls (|S^K|_inf, the flow's max(1,
|exp(t L_h)|_inf), both verdicts and the library's); smooth 2- and 3-D calls (smooth_axis: 8 to 256 nodes, cell
Peclet 0.1 to 10) whose axes each run alone: how many are refused now and how many the previous judge would
have refused; and the one-sign axis (512 nodes, a = 1e-6, cell Peclet up to 1468): |exp(t L_h)|_inf, numpy's
|S^K|_inf, and the library's call of 10^4 steps of t = 0.1 on the data where the flow overshoots most.

Run: PYTHONPATH=<build dir> python bench/bench_tt_judgement.py [--quick] [--before PATH]
(--quick: n = 64 and 512 only in the first sections, one timing each, no 600-node refusal, 60 random axes of
600, 200 rough axes of 2000, 100 smooth calls of 400.)
"""

from __future__ import annotations

import re
import time

import numpy as np

import quorvane
from harness import options, progress


def best(fn, repeats):
    out = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        out.append(time.perf_counter() - start)
    return min(out)


def evolver(n, a, b):
    return quorvane.VarCoefTtEvolver([list(np.broadcast_to(a, (n,)))], [list(b)], [[]], [(0.0, 1.0)], 0.0)


def one_step(n, repeats):
    ev = evolver(n, 1.0, np.zeros(n))
    s = quorvane.TtState([np.ones(n)])
    ev.evolve(s, 1e-9, 1)
    return best(lambda: ev.evolve(s, 1e-9, 1), repeats)


def drifts(n):
    x = np.arange(n) / (n - 1)
    return np.random.default_rng(4).uniform(-1, 1, n), 1 + 0.5 * np.sin(2 * np.pi * x)


def random_axis(rng):
    """a smooth or rough, b zero, constant, smooth or noisy, v likewise, on 8 to 256 nodes; the data a
    jump, noise or two smooth modes."""
    n = int(rng.choice([8, 12, 16, 24, 32, 49, 64, 96, 128, 256]))
    x = np.arange(n) / n
    a = 10 ** rng.uniform(-4, 0) * [np.ones(n), 1 + 0.8 * np.sin(2 * np.pi * x + rng.uniform(0, 6)),
                                    rng.uniform(0.1, 1, n)][rng.integers(3)]
    amp = 10 ** rng.uniform(-2, 1)
    b = [np.zeros(n), np.full(n, amp * rng.choice([-1, 1])),
         amp * np.sin(2 * np.pi * rng.integers(1, 4) * x + rng.uniform(0, 6)), amp * rng.uniform(-1, 1, n)]
    b = b[rng.integers(4)]
    amp = rng.uniform(0, 1)
    v = [np.zeros(n), np.full(n, amp * rng.choice([-1, 1])), amp * np.sin(2 * np.pi * x),
         amp * rng.uniform(-1, 1, n)][rng.integers(4)]
    u0 = [np.where(x < 0.5, 1.0, -0.5), rng.uniform(-1, 1, n),
          np.cos(2 * np.pi * x) + 0.3 * np.sin(6 * np.pi * x)][rng.integers(3)]
    return a, b, v, u0


def rough_axis(rng):
    """A rough axis: a drawn node by node (or smooth), a drift drawn from (-1, 1) times 1e-2 to 10, v zero or
    drawn, on 8 to 96 nodes of (0, 1 - 1/n); with four steps from 0.03 to 30 over |L_h|_inf, each called
    with the counts ROUGH_COUNTS."""
    n = int(rng.choice([8, 12, 16, 24, 32, 47, 64, 96]))
    x = np.arange(n) / n
    a = 10 ** rng.uniform(-4, 0) * [rng.uniform(0.1, 1, n), 1 + 0.8 * np.sin(2 * np.pi * x + rng.uniform(0, 6))][
        rng.integers(2)]
    b = 10 ** rng.uniform(-2, 1) * rng.uniform(-1, 1, n)
    v = [np.zeros(n), rng.uniform(0, 1) * rng.uniform(-1, 1, n)][rng.integers(2)]
    scale = np.max(np.sum(np.abs(three_point(a, b, v, 1.0 / n)), 1))
    return a, b, v, 10 ** rng.uniform(-1.5, 1.5, 4) / scale


ROUGH_COUNTS = (1, 10, 100, 1000, 3000)


def step_matrix(a, b, v, h, dt):
    """The map of one axis step S = T E T as the evolver applies it: T the Taylor step of the residual R = L_h -
    mean(a) D2 over dt/2, E the spectral heat step of the mean diffusion over dt."""
    n = len(a)
    abar = np.mean(a)
    r = three_point(a, b, v, h) - abar * three_point(np.ones(n), np.zeros(n), np.zeros(n), h)
    t = np.eye(n) + dt / 2 * r + (dt / 2) ** 2 / 2 * (r @ r)
    lam = (2 * np.cos(2 * np.pi * np.arange(n) / n) - 2) / h**2
    e = np.real(np.fft.ifft(np.exp(dt * abar * lam)[:, None] * np.fft.fft(np.eye(n), axis=0), axis=0))
    return t @ e @ t


def inf_norm(m):
    return np.max(np.sum(np.abs(m), 1))


def axis_judgement(a, b, v, h, t, k, last=True):
    """(|S^k|_inf, max(1, |exp(t L_h)|_inf)) in units of e^{t max(v, 0)}, by numpy and scipy, of an axis's k time
    steps of t/k in a call (S(t/2k)^2 a time step where the axis is not the last)."""
    from scipy.linalg import expm
    vmax, tau = max(np.max(v), 0.0), t / k
    s = step_matrix(a, b, v, h, tau) if last else np.linalg.matrix_power(step_matrix(a, b, v, h, tau / 2), 2)
    power = inf_norm(np.linalg.matrix_power(s * np.exp(-tau * vmax), k))
    return power, max(1.0, inf_norm(expm(t * (three_point(a, b, v, h) - vmax * np.eye(len(a))))))


def verdicts(judged):
    """The present judge's verdict (every axis within 5 of its own flow) and the previous one's (the product of
    the axes' powers within 5), from the axis_judgement of each axis of a call."""
    return (max(p / f for p, f in judged) <= 5.0, np.prod([p for p, _ in judged]) <= 5.0)


def library_verdict(make, u0, t, k):
    """'ok', 'powers' (refused for the powers of steps that pass), 'step' or 'axis' of a call on a fresh evolver."""
    try:
        make().evolve(quorvane.TtState(u0), t, k)
    except quorvane.QuorvaneError as e:
        if "passes step by step" in str(e):
            return "powers"
        return "step" if str(e).startswith("[CflViolated]") else "axis"
    return "ok"


def file_judgements():
    """The 47-node file's calls (steps that pass, powers that grow for thousands of steps) and the 49-node
    file's: (file, t, n_steps, |S^K|_inf, max(1, |exp(t L_h)|_inf), present verdict, previous, the library's)."""
    from pathlib import Path
    data = Path(__file__).resolve().parents[1] / "tests" / "python" / "tensor_train" / "data"
    f47, f49 = np.load(data / "transient_47.npz"), np.load(data / "rough_a_49.npz")
    tau = float(f47["tau"])
    cases = [(f47, 1 / 46, (0.0, 1.0), t, k) for t, k in
             [(9.7533710242838794, 2000), (9.7533710242838794, 2050), (1024 * tau, 1024), (4437 * tau, 4437),
              (19.51, 4000), (9.7533710242838794, 4000), (0.3, 200), (3.066, 1253), (19.51, 8000)]]
    lo, hi = float(f49["lo"]), float(f49["hi"])
    cases += [(f49, (hi - lo) / 48, (lo, hi), t, k) for t, k in [(0.05, 20), (0.5, 100), (2.0, 1000), (10.0, 3000)]]
    out = []
    for f, h, dom, t, k in cases:
        a, b, v = f["a"], f["b"], f["v"]
        n = len(a)
        judged = axis_judgement(a, b, v, h, t, k)
        make = lambda: quorvane.VarCoefTtEvolver([a], [b], [v], [dom], 0.0)
        out.append((n, t, k, *judged, *verdicts([judged]), library_verdict(make, [np.ones(n)], t, k)))
    return out


def smooth_axis(rng, n):
    """A smooth axis of n periodic nodes on (0, 1): a = a0 (1 + 0.5 sin), b of one sign or changing sign with a
    cell Peclet number max|b| h / (2 min a) from 0.1 to 10, no v; the data 1.2 + cos 2 pi x/P."""
    h = 1.0 / (n - 1)
    x = np.arange(n) * h * 2 * np.pi / (n * h)
    a0 = 10 ** rng.uniform(-3, -1)
    a = a0 * (1 + 0.5 * np.sin(x + rng.uniform(0, 6)))
    shape = [np.sin(x + rng.uniform(0, 6)), 1 + 0.5 * np.sin(x + rng.uniform(0, 6))][rng.integers(2)]
    b = shape * rng.choice([-1, 1]) * 10 ** rng.uniform(-1, 1) * 2 * np.min(a) / h / np.max(np.abs(shape))
    return a, b, np.zeros(n), 1.2 + np.cos(x)


def smooth_calls(seeds):
    """Smooth 1-, 2- and 3-D calls (axes of 8 to 256 nodes, cell Peclet 0.1 to 10, t from 0.01 to 1 times the
    period's transit time, 1 to 1000 steps) whose axes each run alone: how many the library refuses, and how
    many the previous judge (the product of the axes' powers within 5) would have, and the largest product over
    the axes of |S_j^K|_inf / max(1, |exp(t L_j)|_inf) of the calls admitted: what the call adds to its flow."""
    counts = {d: [0, 0, 0, 0.0] for d in (2, 3)}  # calls, refused now, by the previous judge, largest excess
    for seed in seeds:
        rng = np.random.default_rng(seed)
        d = int(rng.integers(2, 4))
        n = int(rng.choice([8, 12, 16, 24, 32, 48, 64, 96, 128, 256]))
        axes = [smooth_axis(rng, n) for _ in range(d)]
        t = 10 ** rng.uniform(-2, 0) / np.max(np.abs(axes[0][1]))
        k = int(rng.choice([1, 10, 100] + ([1000] if n <= 64 else [])))
        alone = [library_verdict(lambda ax=ax: quorvane.VarCoefTtEvolver([ax[0]], [ax[1]], [[]], [(0.0, 1.0)], 0.0),
                                 [ax[3]], t, k) for ax in axes]
        if any(r != "ok" for r in alone):
            continue
        make = lambda: quorvane.VarCoefTtEvolver([ax[0] for ax in axes], [ax[1] for ax in axes], [[]] * d,
                                                 [(0.0, 1.0)] * d, 0.0)
        now = library_verdict(make, [ax[3] for ax in axes], t, k)
        judged = [axis_judgement(ax[0], ax[1], ax[2], 1.0 / (n - 1), t, k, j + 1 == d) for j, ax in enumerate(axes)]
        counts[d][0] += 1
        counts[d][1] += now != "ok"
        counts[d][2] += not verdicts(judged)[1]
        if now == "ok":
            counts[d][3] = max(counts[d][3], np.prod([p / f for p, f in judged]))
    return counts


def rough_calls(seeds):
    """The rough axes' calls (each step with each count) on a jump and on signs drawn node by node, and the
    calls of the counts their refusals name: the largest max|u| / (max|u0| e^{t max(v, 0)}) returned, the
    axes judged, and how many calls were admitted, refused, and refused naming no count; and of the calls whose
    steps pass, how many each judge of their powers refuses (numpy's S^K and scipy's exp(t L_h)), how many the
    library refuses where the present judge would not or admits where it would refuse, and the largest
    |S^K|_inf of the calls the present judge admits where the previous refused."""
    worst, axes, admitted, refused, none = (0.0, None), 0, 0, 0, 0
    compared = {"steps pass": 0, "refused now": 0, "refused before": 0, "library differs": 0, "largest newly admitted": 0.0}
    for seed in seeds:
        rng = np.random.default_rng(seed)
        a, b, v, taus = rough_axis(rng)
        n = len(a)
        data = [np.where(np.arange(n) < n // 2, 1.0, -1.0), rng.choice([-1.0, 1.0], n)]
        make = lambda: quorvane.VarCoefTtEvolver([a], [b], [v], [(0.0, 1.0 - 1.0 / n)], 0.0)
        try:
            make().evolve(quorvane.TtState([np.ones(n)]), 0.0, 1)
        except quorvane.QuorvaneError:
            continue  # the axis operator itself grows
        axes += 1
        ev = make()

        def compare(t, k, refused_now):
            # Where the steps pass, the judges of their powers side by side.
            if k > 3000:
                return
            judged = axis_judgement(a, b, v, 1.0 / n, t, k)
            now, before = verdicts([judged])
            compared["steps pass"] += 1
            compared["refused now"] += not now
            compared["refused before"] += not before
            # A verdict within 1e-6 of the bound may turn on rounding either way.
            compared["library differs"] += refused_now == now and abs(judged[0] / judged[1] - 5) > 5e-6
            if now and not before:
                compared["largest newly admitted"] = max(compared["largest newly admitted"], judged[0])

        for tau in taus:
            for k in ROUGH_COUNTS:
                t = tau * k
                try:
                    ev.evolve(quorvane.TtState([np.ones(n)]), t, k)
                    compare(t, k, False)
                except quorvane.QuorvaneError as e:
                    if str(e).startswith("[NanInf]"):
                        continue  # e^{t max v} itself beyond the doubles
                    if not str(e).startswith("[CflViolated]"):
                        raise
                    if "passes step by step" in str(e):
                        compare(t, k, True)
                    refused += 1
                    named = re.search(r"use n_steps >= (\d+) for", str(e))
                    if not named:
                        none += 1
                        continue
                    k = int(named.group(1))
                    if k > 10**5:
                        continue
                else:
                    admitted += 1
                for u0 in data:
                    s = quorvane.TtState([u0])
                    try:
                        ev.evolve(s, t, k)
                    except quorvane.QuorvaneError as e:
                        if str(e).startswith("[NanInf]"):
                            continue  # the result itself beyond the doubles
                        raise
                    u = np.array([s.inner_separable([e]) for e in np.eye(n)])
                    with np.errstate(divide="ignore"):  # in logarithms: e^{t max v} may leave the doubles
                        ratio = np.exp(np.log(np.max(np.abs(u))) - t * max(np.max(v), 0.0))
                    worst = max(worst, (ratio, (seed, n, t, k)), key=lambda w: w[0])
    return worst, axes, admitted, refused, none, compared


def random_calls(rng, make, u0):
    """(t, n_steps, values or None where refused) of the calls described above."""
    n = len(u0)
    calls = [(t, int(rng.choice([1, 1, 2, 3, 5, 10]))) for t in 10 ** rng.uniform(-2, 3, 6)]
    admitted = 0
    while calls:
        t, k = calls.pop(0)
        s = quorvane.TtState([u0])
        try:
            make().evolve(s, t, k)
        except quorvane.QuorvaneError as e:
            if not str(e).startswith("[CflViolated]"):
                raise
            yield t, k, None
            continue
        admitted += 1
        if k == 1 and t > 0.05 and admitted < 30:
            calls += [(t * f, 1) for f in (0.5, 0.6, 0.75, 0.9)] + [(t * rng.uniform(0.3, 1), int(rng.integers(2, 6)))]
        yield t, k, np.array([s.inner_separable([e]) for e in np.eye(n)])


def three_point(a, b, v, h):
    """The conservative periodic three-point discretisation of (a u')' + b u' + v u."""
    n = len(a)
    L = np.zeros((n, n))
    for i in range(n):
        am, ap = (a[i] + a[i - 1]) / 2, (a[i] + a[(i + 1) % n]) / 2
        L[i, i - 1] += am / h**2 - b[i] / (2 * h)
        L[i, i] += -(am + ap) / h**2 + v[i]
        L[i, (i + 1) % n] += ap / h**2 + b[i] / (2 * h)
    return L


def admitted_calls(seeds):
    from scipy.linalg import expm
    axes = calls = admitted = 0
    worst, excess = (0.0, None), (0.0, None)
    for seed in seeds:
        rng = np.random.default_rng(seed)
        a, b, v, u0 = random_axis(rng)
        n = len(a)
        make = lambda: quorvane.VarCoefTtEvolver([a], [b], [v], [(0.0, 1.0 - 1.0 / n)], 0.0)
        try:
            make().evolve(quorvane.TtState([u0]), 0.0, 1)
        except quorvane.QuorvaneError:
            continue  # the axis operator itself grows
        axes += 1
        L = three_point(a, b, v, 1.0 / n) if n <= 64 else None
        for t, k, u in random_calls(rng, make, u0):
            calls += 1
            if u is None:
                continue
            admitted += 1
            bound = np.max(np.abs(u0)) * np.exp(min(t * max(np.max(v), 0.0), 700.0))
            ratio = np.max(np.abs(u)) / bound
            worst = max(worst, (ratio, (seed, n, t, k)), key=lambda w: w[0])
            with np.errstate(all="ignore"):
                flow = np.max(np.abs(expm(t * L) @ u0)) if L is not None else np.nan
            if np.isfinite(flow):
                excess = max(excess, ((np.max(np.abs(u)) - max(bound, flow)) / bound, (seed, n, t, k)),
                             key=lambda w: w[0])
    return axes, calls, admitted, worst, excess


def first_calls(calls, repeats):
    """{(n, K, t): seconds} of the judgement of a call of K steps of t on a fresh one-sign evolver: its first
    call less the same call again (the verdict kept); best of `repeats` where the steps take under a second."""
    out = {}
    for n, k, t in calls:
        x = np.arange(n) / (n - 1)
        _, one_sign = drifts(n)
        r = repeats if k * n * n < 512**2 * 1e5 else 1  # best of `repeats` where the steps take under a second
        fresh = [evolver(n, 1e-6, one_sign) for _ in range(r)]
        made = iter(fresh)

        def call(ev):
            try:
                ev.evolve(quorvane.TtState([np.cos(2 * np.pi * x)]), t, k)
            except quorvane.QuorvaneError:
                pass  # refused after the same judgement

        first = best(lambda: call(next(made)), r)
        out[(n, k, t)] = first - best(lambda: call(fresh[0]), r)
    return out


def one_sign_axis():
    """The one-sign axis (512 nodes, a = 1e-6, b = 1 + 0.5 sin 2 pi x, cell Peclet up to 1468), where the
    three-point flow itself overshoots: |exp(t L_h)|_inf and numpy's |S^K|_inf at t = 0.1, ten calls of
    t = 0.01, and the library's call of 10^4 steps of t = 0.1 on the data where exp(t L_h) overshoots most."""
    from scipy.linalg import expm
    n = 512
    h = 1.0 / (n - 1)
    a, (_, b), v = np.full(n, 1e-6), drifts(n), np.zeros(n)
    flow = expm(0.1 * three_point(a, b, v, h))
    s = step_matrix(a, b, v, h, 1e-6)
    print(f"one-sign axis, cell Peclet up to {np.max(np.abs(b)) * h / 2e-6:.0f}: |exp(0.1 L_h)|_inf "
          f"{inf_norm(flow):.4f}, |exp(0.01 L_h)|_inf {inf_norm(expm(0.01 * three_point(a, b, v, h))):.4f}; "
          f"numpy |S^(10^5)|_inf {inf_norm(np.linalg.matrix_power(s, 10**5)):.4f}, ten calls of S^(10^4) "
          f"{inf_norm(np.linalg.matrix_power(np.linalg.matrix_power(s, 10**4), 10)):.4f}")
    u0 = np.sign(flow[np.argmax(np.sum(np.abs(flow), 1))])
    state = quorvane.TtState([u0])
    evolver(n, 1e-6, b).evolve(state, 0.1, 10**4)
    u = np.array([state.inner_separable([e]) for e in np.eye(n)])
    print(f"the call of 10^4 steps of t = 0.1 on that data: max|u| {np.max(np.abs(u)):.4f} (exp(t L_h): "
          f"{np.max(np.abs(flow @ u0)):.4f}, numpy's S^(10^4): "
          f"{np.max(np.abs(np.linalg.matrix_power(step_matrix(a, b, v, h, 1e-5), 10**4) @ u0)):.4f})")


def main():
    args = options(__doc__, "about 40 min", "about 6 min",
                   add=lambda p: p.add_argument("--before", help="build dir of the module to compare against"))
    if args.before == "child":
        print(repr(first_calls(*eval(input()))))
        return
    repeats = 1 if args.quick else 3
    sizes = (64, 512) if args.quick else (64, 512, 1024, 4096)
    print(f"{'n':>5} {'one step':>10} {'noisy: build':>13} {'ratio':>7} {'one sign: build':>16} {'ratio':>7}")
    steps = {}
    for n in sizes:
        progress(f"axis operators, n = {n}")
        noisy, one_sign = drifts(n)
        steps[n] = one_step(n, repeats)
        t_noisy = best(lambda: evolver(n, 1e-6, noisy), repeats)
        t_one = best(lambda: evolver(n, 1e-6, one_sign), repeats)
        print(f"{n:>5} {steps[n] * 1e3:>7.3f} ms {t_noisy * 1e3:>10.3f} ms {t_noisy / steps[n]:>7.2f}"
              f" {t_one * 1e3:>13.3f} ms {t_one / steps[n]:>7.2f}")
    print()
    print(f"{'n':>5} {'first call':>11} {'ratio':>7} {'again':>10} {'ratio':>7}")
    for n in [m for m in sizes if m <= 1024]:
        progress(f"first step judgement, n = {n}")
        _, one_sign = drifts(n)
        x = np.arange(n) / (n - 1)
        fresh = [evolver(n, 1e-6, one_sign) for _ in range(repeats)]
        calls = iter(fresh)
        t_first = best(lambda: next(calls).evolve(quorvane.TtState([np.cos(2 * np.pi * x)]), 1e-7, 1), repeats)
        s = quorvane.TtState([np.cos(2 * np.pi * x)])
        t_again = best(lambda: fresh[0].evolve(s, 1e-7, 1), repeats)
        print(f"{n:>5} {t_first * 1e3:>8.2f} ms {t_first / steps[n]:>7.0f} {t_again * 1e3:>7.3f} ms"
              f" {t_again / steps[n]:>7.2f}")
    print()
    print(f"{'n':>5} {'named':>7} {'refusal':>10} {'named call':>11} {'ratio':>6}")
    for n in (64,) if args.quick else (64, 600):
        progress(f"refusal, n = {n}")
        b = np.random.default_rng(11 if n == 64 else 4).uniform(-1, 1, n)
        a = 1.01 * np.max(np.abs(b)) / (n - 1) / 2 if n == 64 else 1e-3
        u0 = np.where(np.arange(n) / (n - 1) < 0.5, -1.0, 1.0)
        named = []

        def refusal():
            try:
                evolver(n, a, b).evolve(quorvane.TtState([u0]), 4.0, 1)
            except quorvane.QuorvaneError as e:
                named.append(int(re.search(r"n_steps >= (\d+)", str(e)).group(1)))

        t_refusal = best(refusal, repeats)
        ev = evolver(n, a, b)
        ev.evolve(quorvane.TtState([u0]), 4.0 / named[-1], 1)  # judged once, outside the timing
        t_call = best(lambda: ev.evolve(quorvane.TtState([u0]), 4.0, named[-1]), 1)
        print(f"{n:>5} {named[-1]:>7} {t_refusal * 1e3:>7.1f} ms {t_call * 1e3:>8.1f} ms {t_refusal / t_call:>6.2f}")
    print()
    progress("random axes")
    axes, calls, admitted, worst, excess = admitted_calls(range(60 if args.quick else 600))
    print(f"random axes {axes}, calls {calls}, admitted {admitted}")
    print(f"largest max|u| / (max|u0| e^(t max(v, 0))): {worst[0]:.3f} (seed, n, t, n_steps = {worst[1]})")
    print(f"largest excess over what exp(t L_h) reaches, in units of that bound, n <= 64: {excess[0]:.3f} "
          f"(seed, n, t, n_steps = {excess[1]})")
    print()
    progress("first calls of K steps")
    for n in (64, 256, 512, 1024):
        if n not in steps:
            steps[n] = one_step(n, repeats)
    # Steps of 1e-6 (t = 1e-6 K), and t = 0.1, where the three-point flow overshoots 10.98 times and is formed.
    # The steps of K = 10^5 on 512 and 1024 nodes take minutes: calls whose steps take longer than `cap` are
    # not timed.
    cap = 3.0 if args.quick else 15.0
    calls = [(n, k, t) for n in (64, 256, 512, 1024) for k in (1, 100, 10**4, 10**5)
             for t in ([k / 1e6, 0.1] if k == 10**4 else [k / 1e6]) if k * steps[n] <= cap]
    after = first_calls(calls, repeats)
    before = None
    if args.before:
        import os
        import subprocess
        import sys
        bench_dir = str(__import__("pathlib").Path(__file__).parent)
        # A build directory goes on the path of this interpreter; a file is an interpreter whose own
        # installation (a venv) holds the build.
        if os.path.isfile(args.before):
            command, env = [args.before], dict(os.environ, PYTHONPATH=bench_dir)
        else:
            command, env = [sys.executable], dict(os.environ, PYTHONPATH=args.before + os.pathsep + bench_dir)
        run = subprocess.run(command + [__file__, "--before", "child"], input=repr((calls, repeats)),
                             capture_output=True, text=True, env=env, check=True)
        before = eval(run.stdout.strip().splitlines()[-1])
    print(f"{'n':>5} {'K':>7} {'t':>7} {'judgement':>11} {'in steps':>9} {'of the call':>11}"
          + (f" {'before':>11} {'ratio':>6}" if before else ""))
    for (n, k, t), judged in after.items():
        line = (f"{n:>5} {k:>7} {t:>7.0e} {judged * 1e3:>8.1f} ms {judged / steps[n]:>9.0f}"
                f" {judged / (k * steps[n]):>11.2f}")
        if before:
            was = before[(n, k, t)]
            # A judgement below the timer's resolution (first call less the call again <= 0) has no ratio.
            ratio = f"{judged / was:>6.2f}" if was > 1e-4 and judged > 0 else f"{'-':>6}"
            line += f" {was * 1e3:>8.1f} ms {ratio}"
        print(line)
    progress("rough axes")
    worst, axes, admitted, refused, none, compared = rough_calls(range(200 if args.quick else 2000))
    print(f"rough axes {axes}: calls admitted {admitted}, refused {refused} ({none} naming no count)")
    print(f"largest max|u| / (max|u0| e^(t max(v, 0))) of the calls made: {worst[0]:.3f} "
          f"(seed, n, t, n_steps = {worst[1]})")
    print("calls whose steps pass: " + ", ".join(f"{key} {value:.4g}" for key, value in compared.items()))
    print()
    progress("the judges compared: the files")
    print("the judges of the powers compared: each axis within 5 of max(1, |exp(t L_h)|_inf) (now), the product of "
          "the axes' |S^K|_inf within 5 (before)")
    print(f"{'n':>3} {'t':>10} {'K':>6} {'|S^K|':>10} {'flow':>10} {'now':>6} {'before':>6} {'library':>8}")
    for n, t, k, power, flow, now, was, library in file_judgements():
        print(f"{n:>3} {t:>10.4g} {k:>6} {power:>10.4g} {flow:>10.4g} {str(now):>6} {str(was):>6} {library:>8}")
    progress("the judges compared: smooth axes in several dimensions")
    for d, (calls, now, was, excess) in smooth_calls(range(100 if args.quick else 400)).items():
        print(f"smooth {d}-D calls whose axes each run alone: {calls}, refused now {now}, by the previous judge {was};"
              f" largest |S^K|_inf over |exp(t L)|_inf (each axis's at least 1) of those admitted {excess:.4f}")
    progress("the one-sign axis")
    one_sign_axis()


if __name__ == "__main__":
    main()
