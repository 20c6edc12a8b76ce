"""What the held transport reads keep and what they cost.

The read at the foot of a characteristic is held to the range of its cell's node values
(widened at a smooth extremum) in every transport read of DriftReaction1D,
DriftReaction4th1D, Strang1D and of Adjoint/AdaptivePI with "drift", and in Shift1D (its
with_arrays, AdaptivePI.with_arrays) and AnisotropicShiftND2/ND3 where the sampled drift is
rough on the grid's scale, within a few cells of a zero, or a step carries the data from
where it differs much; a smooth drift away from its zeros takes the plain reads. This prints:

1. Smooth data: the largest nodal error against the exact solution (or the
   characteristics, or a Fourier collocation solved by SciPy's DOP853 to 1e-12) at a
   ladder of step counts, for the problems the test suite guards:
   - Shift1D.with_arrays, 41 periodic nodes of [0, 1), u0 = cos 2 pi x + 0.5 sin 6 pi x,
     a = 0.002, b = 0.3 + 0.1 sin 2 pi x, c = -1, t = 0.3; the same with c = 0 to t = 1;
   - Shift1D.with_arrays, 25 periodic nodes, u0 = 0.9294 cos(2 pi x + 3.0972)
     - 0.2573 cos(4 pi x + 4.0047) + 0.2621 cos(6 pi x + 3.3455), a = 1e-4,
     b = 0.35 + 0.0221 sin(2 pi x + 3.6128) + 0.0518 sin(4 pi x + 6.1313), c = -1, t = 0.5;
   - AdaptivePI.with_arrays on the 41 nodes, c = 0, t = 1, at tol_abs 1e-5 to 1e-7;
   - Shift1D.with_arrays, 61 periodic nodes, u0 = cos 8 pi x + 0.5 cos 2 pi x, a = 0.002,
     b = 0.2 sin 2 pi x (its reads held next to the zeros), c = -1, t = 0.3;
   - DriftReaction1D.with_arrays, the same u0 and b, c = 0, t = 1;
   - Strang1D (b = 0.5) and DriftReaction4th1D (u_t = u'' + 0.5 u') on periodic
     [0, 200), 81 and 41 nodes, cos(2 pi x/200) + 0.5 sin(6 pi x/200), t = 100.
2. DriftReaction1D's order with a sampled drift: with_arrays, b = 0.5 + 0.3 sin 2 pi x,
   u0 = cos 2 pi x + 0.3 sin 4 pi x, t = 1, on 41, 81, 161 and 321 periodic nodes of
   [0, 1) (the drift carries every value across the seam), and on [-4, 4] with "zero"
   ends, b = 0.6 sin x + 0.2, c = -0.4 cos x, u0 = exp(-4 (x - 0.3)^2) (the bump stays
   clear of the ends), against the characteristics; the ratios e(N) / e(2N).
3. Noisy drifts: max|u| / max|u0| of u0 = cos pi x on 101 nodes of [0, 1] ("reflect"),
   t = 1, b = default_rng(0).uniform(-1, 1) at the nodes, at 100, 1000 and 10000 steps:
   Shift1D (a = 0 and a = 1e-4; and b = sin 16 pi x and sin 8 pi x, smooth but with
   zeros), DriftReaction1D.with_arrays, AdaptivePI.with_arrays (a = 0, tol_abs = 1e-6), and
   AnisotropicShiftND2 on 41^2,
   A = 1e-6 I, both drift components noise, u0 = cos pi x cos pi y (100 and 1000 steps).
   The exact solutions stay within max|u0|.
4. A search over rough drifts: max|u| / max|u0| (the exact bound 1: no reaction) at
   10 to 10^4 steps, for Shift1D.with_arrays (a = 0, 1e-4 or 1e-2) and
   DriftReaction1D.with_arrays on 101 nodes of [0, 1] (t = 1 and 10), and
   AnisotropicShiftND2 on 21^2 (A = 1e-6 I, t = 1, to 10^3 steps): drifts of noise in
   [-1, 1], noise plus 0.5, a sawtooth of alternating sign and random size in [0.2, 1],
   and 0.5 sin(6 pi x) + 0.2 (in 2-D sampled along the flat node index, the x component
   noise or noise plus 0.5 and the y component the other two); data noise, a jump and
   cos 3 pi x; "reflect", "zero" and
   "periodic" ends. It prints the largest figure of each class, its case, and the largest
   figure at each step count; then the largest 2-D case at 3 and 10 times the last count.
5. Cost: time per step with the noisy drift of section 3 divided by the time per step
   with a drift the same at every node (whose reads are not held, except DriftReaction1D's,
   which always are), on one thread: Shift1D and DriftReaction1D on 1001 nodes (a = 0.01
   for Shift1D), 400 steps; AnisotropicShiftND2 on 41^2 and 81^2, A = 0.01 I, 20 steps;
   and Shift1D with the smooth drift 0.3 + 0.1 sin 2 pi x (plain reads, each step weighing
   the drift at every node's foot); best of 5.

Run: PYTHONPATH=<build dir> python bench/bench_held_reads.py [--quick]
(--quick: sections 1 to 4 to 1000 steps, the cost once.)
"""

from __future__ import annotations

import math

import numpy as np
from scipy.integrate import solve_ivp

import quorvane as q
from harness import best_time, on_one_processor, options, progress

PERIOD = np.arange(41) / 41
TWO = np.cos(2 * np.pi * PERIOD) + 0.5 * np.sin(6 * np.pi * PERIOD)


def b_var(x):
    return 0.3 + 0.1 * np.sin(2 * np.pi * x)


def cells(values, fmt="{:>10.2e}"):
    return "".join(fmt.format(v) if isinstance(v, float) else f"{v:>10}" for v in values)


def two(x):
    return np.cos(2 * np.pi * x) + 0.5 * np.sin(6 * np.pi * x)


def u25(x):
    return 0.9294 * np.cos(2 * np.pi * x + 3.0972) - 0.2573 * np.cos(4 * np.pi * x + 4.0047) + \
        0.2621 * np.cos(6 * np.pi * x + 3.3455)


def b25(x):
    return 0.35 + 0.0221 * np.sin(2 * np.pi * x + 3.6128) + 0.0518 * np.sin(4 * np.pi * x + 6.1313)


def waves(x):
    return np.cos(8 * np.pi * x) + 0.5 * np.cos(2 * np.pi * x)


def b_zeros(x):
    return 0.2 * np.sin(2 * np.pi * x)


def fourier(a, b, c, t, m=256, u0=two, n=41):
    """u_t = a u'' + b(x) u' + c u on periodic [0, 1) from u0 (TWO's two modes), by collocation
    on m points and DOP853, read at the n nodes (41)."""
    x = np.arange(m) / m
    k = 2 * np.pi * np.fft.fftfreq(m, 1 / m)
    bx = b(x)

    def rhs(_, u):
        uh = np.fft.fft(u)
        return a * np.real(np.fft.ifft(-k * k * uh)) + bx * np.real(np.fft.ifft(1j * k * uh)) + c * u

    end = solve_ivp(rhs, (0, t), u0(x), method="DOP853", rtol=1e-12, atol=1e-13).y[:, -1]
    return np.real(np.exp(1j * np.outer(np.arange(n) / n, k)) @ (np.fft.fft(end) / m))


def feet(b, x, t):
    """Where the characteristic X' = b(X) from each x is at time t."""
    return solve_ivp(lambda _, y: b(y), (0, t), x, method="DOP853", rtol=1e-12, atol=1e-13).y[:, -1]


def smooth(counts):
    print("1. smooth data: largest nodal error against the exact solution")
    print(f"  {'problem':<40}" + "".join(f"{c:>10}" for c in counts))
    ref = fourier(0.002, b_var, -1.0, 0.3)

    def shift(steps):
        s = q.Shift1D.with_arrays(0.0, 40 / 41, 41, np.full(41, 0.002), b_var(PERIOD), np.full(41, -1.0), 1.0, TWO,
                                  boundary="periodic")
        s.evolve(0.3, steps)
        return np.abs(s.values() - ref).max()

    def shift_long(u0, b, n, a, c, t):
        exact = fourier(a, b, c, t, u0=u0, n=n)
        x = np.arange(n) / n

        def run(steps):
            s = q.Shift1D.with_arrays(0.0, x[-1], n, np.full(n, a), b(x), np.full(n, c), 1.0, u0(x),
                                      boundary="periodic")
            s.evolve(t, steps)
            return np.abs(s.values() - exact).max()
        return run

    y = feet(b_var, PERIOD, 1.0)
    drift_ref = np.cos(2 * np.pi * y) + 0.5 * np.sin(6 * np.pi * y)

    def drift(steps):
        d = q.DriftReaction1D.with_arrays(0.0, 40 / 41, 41, b_var(PERIOD), np.zeros(41), 0.0, TWO,
                                          boundary="periodic")
        d.evolve(1.0, steps)
        return np.abs(d.values() - drift_ref).max()

    def split(cls, n):
        L, t = 200.0, 100.0
        x = np.arange(n) * L / n
        k1, k3 = 2 * np.pi / L, 6 * np.pi / L
        exact = np.exp(-k1**2 * t) * np.cos(k1 * (x + 0.5 * t)) + 0.5 * np.exp(-k3**2 * t) * np.sin(k3 * (x + 0.5 * t))
        u0 = np.cos(k1 * x) + 0.5 * np.sin(k3 * x)

        def run(steps):
            o = (q.Strang1D(0, L - L / n, n, u0, b=0.5, boundary="periodic") if cls is q.Strang1D else
                 q.DriftReaction4th1D(0, L - L / n, n, u0, boundary="periodic"))
            o.evolve(t, n_steps=steps)
            return np.abs(o.values() - exact).max()
        return run

    rows = [("Shift1D.with_arrays, 41 nodes", shift, None),
            ("Shift1D.with_arrays, 41 nodes, t = 1", shift_long(two, b_var, 41, 0.002, 0.0, 1.0), None),
            ("Shift1D.with_arrays, 25 nodes", shift_long(u25, b25, 25, 1e-4, -1.0, 0.5), None),
            ("Shift1D.with_arrays, zeros, 61 nodes", shift_long(waves, b_zeros, 61, 0.002, -1.0, 0.3), None),
            ("DriftReaction1D.with_arrays, 41 nodes", drift, None),
            ("Strang1D, 81 nodes", split(q.Strang1D, 81), 10000),
            ("DriftReaction4th1D, 81 nodes", split(q.DriftReaction4th1D, 81), 10000),
            ("DriftReaction4th1D, 41 nodes", split(q.DriftReaction4th1D, 41), 10000)]
    for label, run, top in rows:
        progress(label)
        values = [float(run(c)) if top is None or c <= top else "-" for c in counts]
        print(f"  {label:<40}{cells(values)}")
    progress("AdaptivePI.with_arrays")
    exact = fourier(0.002, b_var, 0.0, 1.0)
    tols = (1e-5, 1e-6, 3e-7, 1e-7)
    errors = []
    for tol in tols:
        p = q.AdaptivePI.with_arrays(0.0, 40 / 41, 41, np.full(41, 0.002), b_var(PERIOD), np.zeros(41), 1.0, TWO,
                                     tol_abs=tol, tol_rel=0.0, boundary="periodic")
        errors.append(float(np.abs(p.evolve(1.0) - exact).max()))
    print(f"  {'AdaptivePI.with_arrays, 41 nodes, t = 1':<40}" + "".join(f"{t:>10g}" for t in tols))
    print(f"  {'  by tol_abs':<40}{cells(errors)}")


def drift_order(counts):
    print("\n2. DriftReaction1D.with_arrays against the characteristics: error, and e(N)/e(2N)")
    print(f"  {'grid':<26}" + "".join(f"{c:>10}" for c in counts))

    def b_a(p):
        return 0.5 + 0.3 * np.sin(2 * np.pi * p)

    def u_a(p):
        return np.cos(2 * np.pi * p) + 0.3 * np.sin(4 * np.pi * p)

    def report(label, errors):
        print(f"  {label:<26}{cells(errors)}")
        print(f"  {'  ratios':<36}" + "".join(f"{errors[i] / errors[i + 1]:>10.2f}" for i in range(len(errors) - 1)))

    for n in (41, 81, 161, 321):
        progress(f"periodic, {n} nodes")
        x = np.arange(n) / n
        exact = u_a(feet(b_a, x, 1.0))
        errors = []
        for steps in counts:
            d = q.DriftReaction1D.with_arrays(0.0, 1 - 1 / n, n, b_a(x), 0 * x, 0.0, u_a(x), boundary="periodic")
            d.evolve(1.0, steps)
            errors.append(float(np.abs(d.values() - exact).max()))
        report(f"periodic, {n} nodes", errors)

    def b_b(p):
        return 0.6 * np.sin(p) + 0.2

    def c_b(p):
        return -0.4 * np.cos(p)

    for n in (201, 801):
        progress(f"zero ends, {n} nodes")
        x = np.linspace(-4.0, 4.0, n)
        sol = solve_ivp(lambda _, y: np.concatenate([b_b(y[:n]), c_b(y[:n])]), (0, 1), np.concatenate([x, 0 * x]),
                        method="DOP853", rtol=1e-12, atol=1e-13)
        exact = np.exp(-4 * (sol.y[:n, -1] - 0.3) ** 2) * np.exp(sol.y[n:, -1])
        errors = []
        for steps in counts:
            d = q.DriftReaction1D.with_arrays(-4.0, 4.0, n, b_b(x), c_b(x), 1.0, np.exp(-4 * (x - 0.3) ** 2),
                                              boundary="zero")
            d.evolve(1.0, steps)
            errors.append(float(np.abs(d.values() - exact).max()))
        report(f"zero ends, {n} nodes", errors)


N1 = 101
X1 = np.linspace(0.0, 1.0, N1)
NOISE = np.random.default_rng(0).uniform(-1.0, 1.0, N1)


def nd2_noise(n, A=1e-6):
    b = np.random.default_rng(0).uniform(-1.0, 1.0, 2 * n * n)
    x = np.linspace(0.0, 1.0, n)
    s = q.AnisotropicShiftND2(n, n, 0.0, 1.0, 0.0, 1.0, np.tile([A, 0.0, 0.0, A], n * n), b_values=b)
    s.set_state(np.outer(np.cos(np.pi * x), np.cos(np.pi * x)).ravel(order="F"))
    return s


def noisy(counts):
    print("\n3. noisy drifts: max|u| / max|u0|, u0 = cos pi x (cos pi y), t = 1")
    print(f"  {'class':<40}" + "".join(f"{c:>10}" for c in counts))
    u0 = np.cos(np.pi * X1)

    def shift(a, b):
        def run(steps):
            s = q.Shift1D.with_arrays(0.0, 1.0, N1, np.full(N1, a), b, np.zeros(N1), 0.0, u0)
            s.evolve(1.0, steps)
            return s.values()
        return run

    def drift(steps):
        d = q.DriftReaction1D.with_arrays(0.0, 1.0, N1, NOISE, np.zeros(N1), 0.0, u0)
        d.evolve(1.0, steps)
        return d.values()

    def adaptive(_):
        return q.AdaptivePI.with_arrays(0.0, 1.0, N1, np.zeros(N1), NOISE, np.zeros(N1), 0.0, u0).evolve(1.0)

    def nd2(steps):
        s = nd2_noise(41)
        s.evolve(1.0, n_steps=steps)
        return s.values()

    rows = [("Shift1D, b noise, a = 0", shift(0.0, NOISE), None),
            ("Shift1D, b noise, a = 1e-4", shift(1e-4, NOISE), None),
            ("Shift1D, b = sin 16 pi x, a = 0", shift(0.0, np.sin(16 * np.pi * X1)), None),
            ("Shift1D, b = sin 8 pi x, a = 0", shift(0.0, np.sin(8 * np.pi * X1)), None),
            ("DriftReaction1D.with_arrays, b noise", drift, None),
            ("AnisotropicShiftND2 41^2, b noise", nd2, 1000)]
    for label, run, top in rows:
        progress(label)
        values = [float(np.abs(run(c)).max()) if top is None or c <= top else "-" for c in counts]
        print(f"  {label:<40}{cells(values, '{:>10.4f}')}")
    progress("AdaptivePI")
    print(f"  {'AdaptivePI.with_arrays, b noise (own steps)':<40}{float(np.abs(adaptive(0)).max()):>10.4f}")


def drifts(n):
    rng = np.random.default_rng(7)
    x = np.linspace(0.0, 1.0, n)
    signs = np.where(np.arange(n) % 2 == 0, 1.0, -1.0)
    return {"noise": rng.uniform(-1.0, 1.0, n), "noise + 0.5": rng.uniform(-1.0, 1.0, n) + 0.5,
            "sawtooth": signs * rng.uniform(0.2, 1.0, n), "wavy": 0.5 * np.sin(6 * np.pi * x) + 0.2}


def rough_data(n):
    x = np.linspace(0.0, 1.0, n)
    return {"noise": np.random.default_rng(3).uniform(-1.0, 1.0, n), "jump": np.where(x < 0.5, -1.0, 1.0),
            "cos 3 pi x": np.cos(3 * np.pi * x)}


def search(counts, counts_nd):
    print("\n4. rough drifts: the largest max|u| / max|u0| of each class, and at each step count")
    ends = ("reflect", "zero", "periodic")
    ones = {}

    def record(label, case, values):
        best = ones.setdefault(label, {"top": 0.0, "case": "", "per_count": [0.0] * len(values)})
        for i, v in enumerate(values):
            best["per_count"][i] = max(best["per_count"][i], v)
        if max(values) > best["top"]:
            best["top"], best["case"] = max(values), case

    progress("1-D search")
    for (bname, b), (uname, u0), boundary, t in ((bb, uu, e, t) for bb in drifts(N1).items()
                                                 for uu in rough_data(N1).items() for e in ends for t in (1.0, 10.0)):
        for a in (0.0, 1e-4, 1e-2):
            values = []
            for steps in counts:
                s = q.Shift1D.with_arrays(0.0, 1.0, N1, np.full(N1, a), b, np.zeros(N1), 0.0, u0, boundary=boundary)
                s.evolve(t, steps)
                values.append(float(np.abs(s.values()).max() / np.abs(u0).max()))
            record("Shift1D.with_arrays", f"b {bname}, u0 {uname}, {boundary}, t = {t:g}, a = {a:g}", values)
        values = []
        for steps in counts:
            d = q.DriftReaction1D.with_arrays(0.0, 1.0, N1, b, np.zeros(N1), 0.0, u0, boundary=boundary)
            d.evolve(t, steps)
            values.append(float(np.abs(d.values()).max() / np.abs(u0).max()))
        record("DriftReaction1D.with_arrays", f"b {bname}, u0 {uname}, {boundary}, t = {t:g}", values)
    progress("AnisotropicShiftND2 search")
    m = 21

    def nd2(bx, by, u0, boundary, steps):
        s = q.AnisotropicShiftND2(m, m, 0.0, 1.0, 0.0, 1.0, np.tile([1e-6, 0.0, 0.0, 1e-6], m * m),
                                  b_values=np.column_stack([bx, by]).ravel(), boundary=boundary)
        s.set_state(u0)
        s.evolve(1.0, n_steps=steps)
        return float(np.abs(s.values()).max() / np.abs(u0).max())

    top_nd = (0.0, None)
    for (bname, bx), (byname, by) in zip(list(drifts(m * m).items())[:2], list(drifts(m * m).items())[2:]):
        for uname, u1 in rough_data(m).items():
            u0 = np.tile(u1, m)
            for boundary in ends:
                values = [nd2(bx, by, u0, boundary, steps) for steps in counts_nd]
                record("AnisotropicShiftND2 21^2", f"b_x {bname}, b_y {byname}, u0 {uname} along x, {boundary}",
                       values)
                if max(values) > top_nd[0]:
                    top_nd = (max(values), (bx, by, u0, boundary))
    for label, best in ones.items():
        steps = counts_nd if label.startswith("Anisotropic") else counts
        print(f"  {label:<30}largest {best['top']:.4f} ({best['case']})")
        print(f"  {'  largest at':<30}" + "".join(f"{c:>8}: {v:.4f}" for c, v in zip(steps, best["per_count"])))
    if len(counts_nd) > 2:
        progress("the largest 2-D case at more steps")
        more = [3 * counts_nd[-1], 10 * counts_nd[-1]]
        print(f"  {'  its case at':<30}" + "".join(f"{c:>8}: {nd2(*top_nd[1], c):.4f}" for c in more))


def cost(repeats):
    print("\n5. time per step with the noisy drift / with a drift the same at every node (one thread)")
    n = 1001
    x = np.linspace(0.0, 1.0, n)
    u0 = np.cos(np.pi * x)
    noise = np.random.default_rng(0).uniform(-1.0, 1.0, n)
    steps = 400

    def shift(b):
        s = q.Shift1D.with_arrays(0.0, 1.0, n, np.full(n, 0.01), b, np.zeros(n), 0.0, u0)
        return lambda: s.evolve(1e-3, steps)

    def drift(b):
        d = q.DriftReaction1D.with_arrays(0.0, 1.0, n, b, np.zeros(n), 0.0, u0)
        return lambda: d.evolve(1e-3, steps)

    def nd2(m, varying):
        xm = np.linspace(0.0, 1.0, m)
        b = np.random.default_rng(0).uniform(-1.0, 1.0, 2 * m * m) if varying else np.tile([0.3, -0.2], m * m)
        s = q.AnisotropicShiftND2(m, m, 0.0, 1.0, 0.0, 1.0, np.tile([0.01, 0.0, 0.0, 0.01], m * m), b_values=b)
        s.set_state(np.outer(np.cos(np.pi * xm), np.cos(np.pi * xm)).ravel(order="F"))
        return lambda: s.evolve(1e-3, n_steps=20)

    pairs = [("Shift1D, 1001 nodes", shift(noise), shift(np.full(n, 0.3))),
             ("Shift1D, 1001 nodes, smooth drift", shift(0.3 + 0.1 * np.sin(2 * np.pi * x)), shift(np.full(n, 0.3))),
             ("DriftReaction1D, 1001 nodes", drift(noise), drift(np.full(n, 0.3))),
             ("AnisotropicShiftND2, 41^2", nd2(41, True), nd2(41, False)),
             ("AnisotropicShiftND2, 81^2", nd2(81, True), nd2(81, False))]
    for label, held, plain in pairs:
        progress(label)
        t_held, _ = on_one_processor(lambda: best_time(held, repeats))
        t_plain, _ = on_one_processor(lambda: best_time(plain, repeats))
        print(f"  {label:<32}{t_held / t_plain:>8.2f}")


def main():
    args = options(__doc__, "about 5 min", "about 1 min")
    ladder = [100, 1000] if args.quick else [100, 1000, 10000, 100000]
    smooth(ladder)
    drift_order([25, 50, 100, 200] if args.quick else [10, 25, 50, 100, 200, 400, 800, 1600, 3200])
    noisy([100, 1000] if args.quick else [100, 1000, 10000])
    search([10, 100, 1000] if args.quick else [10, 100, 1000, 10000], [10, 100] if args.quick else [10, 100, 1000])
    cost(1 if args.quick else 5)


if __name__ == "__main__":
    main()
