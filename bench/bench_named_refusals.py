"""What a refusal of a step too long or an action too costly costs, beside the call it names.

1. Steps whose reads lie beyond 2^53 cells (the 1-D, 2-D and 3-D heat steps, the bounded and
   obstacle classes, the Greeks and reverse sweeps, the Kolmogorov shears): the refused call
   (t = 5.5 X in one step, X the largest admissible tau) against the call it names (6 steps of
   t / 6 on a fresh object). A refusal judges some 65 steps' reads (a bisection over the
   doubles); an accepted call judges its own step's once.
2. Calls beyond the 1e7-product cap (DiffusionExpmv1D, GeneralOperator, SymmetricOperator,
   MassKOperator, phi_action, Etdrk4): the refused call (t = 1e300) against the call it names
   (the count from which every count passes, or the longest t, tau or h served), which does
   about 1e7 products a step or an action.
3. The truncated-exponential CFL refusal: refused (t = 0.9 dx^2 in one step) against the named
   count.

Times are the best of `repeats` calls on one processor (the refusals are judged on the calling
thread). Run: PYTHONPATH=<build dir> python bench/bench_named_refusals.py [--quick]
"""

from __future__ import annotations

import re

import numpy as np
import scipy.sparse

import quorvane as q
from harness import best_time, on_one_processor, options, progress

TAU = re.compile(r"largest admissible (?:tau|h) =? ?([0-9.e+-]+[0-9])")
SERVES = re.compile(r"(?:up to|h <=) ([0-9.e+-]+[0-9])")
COUNT = re.compile(r"n_(?:steps|chernoff) >= (\d+)")


def refused(fn):
    try:
        fn()
    except q.QuorvaneError as e:
        return str(e)
    raise AssertionError("not refused")


def timed(fn, repeats):
    return best_time(fn, repeats)[0]


def far_reads(quick):
    n1, n2, n3 = (201, 41, 9) if quick else (1001, 201, 41)
    x = np.linspace(0.0, 1.0, n1)
    u1 = np.cos(np.pi * x)
    u2 = np.cos(np.linspace(0.0, 3.0, n2 * n2))
    a2 = 1.0 + 0.5 * np.cos(np.linspace(0.0, 3.0, n2))

    def fresh(make):
        def call(t, n):
            o = make()
            out = o.evolve(t, n)
            return o.values() if out is None else out
        return call

    def given_tau(make, u):
        return lambda t, n: make().evolve(u, t / n, n)

    def kolmogorov(t, n):
        k = q.HypoellipticChernoffKolmogorov(0.0, 2.0, n2, -1.0, 1.0, n2, u2)
        k.evolve(t, n)
        return k.values()

    return {
        "Killing1D": fresh(lambda: q.Killing1D(0.0, 1.0, n1, u1)),
        "Reflected1D": fresh(lambda: q.Reflected1D(0.0, 1.0, n1, u1)),
        "Robin1D": fresh(lambda: q.Robin1D(0.0, 1.0, n1, u1, alpha=0.7)),
        "Killing2nd1D": fresh(lambda: q.Killing2nd1D(0.0, 1.0, n1, u1, 0.3)),
        "ObstacleChernoff (b = 0.3)": fresh(lambda: q.ObstacleChernoff(0.0, 1.0, n1, u1, a=1e-6, b=0.3, level=-0.5)),
        "WentzellV8": lambda t, n: q.WentzellV8(0.0, 1.0, n1, u1, n, 0.3, np.full(n, 0.5)).evolve(t),
        "EvolverHeat1DGreeksV3": lambda t, n: q.EvolverHeat1DGreeksV3(0.0, 1.0, n1, u1, n, 2.0).greeks(t),
        "ReverseHeat1D": lambda t, n: q.ReverseHeat1D(1.5, 0.0, 1.0, n1, 6).value_and_grad(t / n, u1, 0 * u1),
        "Heat2D": given_tau(lambda: q.Heat2D(0.0, 1.0, n2, 0.0, 2.0, n2), u2),
        "Heat2DVarA.with_grid_arrays": given_tau(lambda: q.Heat2DVarA.with_grid_arrays(
            0.0, 1.0, n2, 0.0, 1.0, n2, 1.0 + 0.5 * u2, 1.5 - 0.5 * u2), u2),
        "Heat2DVarA": given_tau(lambda: q.Heat2DVarA(0.0, 1.0, n2, 0.0, 1.0, n2, a2, a2[::-1].copy()), u2),
        "Heat3D": given_tau(lambda: q.Heat3D(0.0, 1.0, n3, 0.0, 1.0, n3, 0.0, 3.0, n3), np.ones(n3 ** 3)),
        "HypoellipticChernoffKolmogorov": kolmogorov,
    }


def capped(quick):
    n = 16 if quick else 64
    lap = scipy.sparse.diags([-np.ones(n - 1), 2.0 * np.ones(n), -np.ones(n - 1)], [-1, 0, 1]).tocsr()
    lap[0, 0] = lap[n - 1, n - 1] = 1.0
    lap.sort_indices()
    sym = q.SymmetricOperator.from_csr(lap.indptr.astype(np.int64), lap.indices.astype(np.int32), lap.data, n)
    gen = q.GeneralOperator.from_csr(n, lap.indptr.astype(np.int64), lap.indices.astype(np.int64), lap.data)
    v = np.cos(np.linspace(0.0, 3.0, n))
    mass = np.diag(np.linspace(1.0, 2.0, n)).ravel()

    def expmv(t, k):
        o = q.DiffusionExpmv1D(0.0, 1.0, 33, np.cos(np.linspace(0.0, 3.0, 33)))
        o.evolve(t, k)
        return o.values()

    return {
        "DiffusionExpmv1D": (expmv, True),
        "GeneralOperator": (lambda t, k: gen.evolve_batched(t, v[:, None]), False),
        "SymmetricOperator": (lambda t, k: sym.evolve_batched(t, v[:, None]), False),
        "MassKOperator": (lambda t, k: q.MassKOperator.from_k_and_mass(sym, mass).evolve(t, v), False),
        "phi_action": (lambda t, k: q.phi_action(sym, 1, t, v), False),
        "Etdrk4": (lambda h, k: q.Etdrk4.from_symmetric_op(sym, "allen_cahn", h).integrate(v, 1), False),
    }


def main():
    args = options(__doc__, "about 1 min", "about 15 s")
    repeats = 1 if args.quick else 3
    print("| class | refused call | the call it names | refusal / named call | X named |")
    print("|---|---|---|---|---|")
    for name, call in far_reads(args.quick).items():
        progress(f"reads beyond the grid: {name}")
        text = refused(lambda: call(1e300, 1))
        x = float(TAU.search(text).group(1))
        t = 5.5 * x
        if name == "ReverseHeat1D":
            r = on_one_processor(lambda: timed(lambda: refused(lambda: call(t, 1)), repeats))
            named = on_one_processor(lambda: timed(lambda: call(x, 1), repeats))
            what = "tau = X"
        else:
            k = int(COUNT.search(refused(lambda: call(t, 1))).group(1))
            r = on_one_processor(lambda: timed(lambda: refused(lambda: call(t, 1)), repeats))
            named = on_one_processor(lambda: timed(lambda: call(t, k), repeats))
            what = f"{k} steps"
        print(f"| {name} | {r * 1e3:.3g} ms | {what}: {named * 1e3:.3g} ms | {r / named:.2g} | "
              f"X = {x:.4g} |")
    for name, (call, counted) in capped(args.quick).items():
        progress(f"product cap: {name}")
        text = refused(lambda: call(1e300, 1))
        r = on_one_processor(lambda: timed(lambda: refused(lambda: call(1e300, 1)), repeats))
        if counted:
            x = float(TAU.search(text).group(1))
            k = int(COUNT.search(refused(lambda: call(1.5 * x, 1))).group(1))
            named = on_one_processor(lambda: timed(lambda: call(1.5 * x, k), 1))
            what = f"{k} steps of t = 1.5 X"
        else:
            x = float(SERVES.search(text).group(1))
            named = on_one_processor(lambda: timed(lambda: call(x, 1), 1))
            what = f"the named {x:.4g}"
        print(f"| {name} | {r * 1e3:.3g} ms | {what}: {named * 1e3:.4g} ms | {r / named:.2g} | {x:.4g} |")
    for cls in (q.TruncatedExp1D, q.TruncatedExp4th1D):
        progress(f"CFL: {cls.__name__}")
        n = 1001
        u = np.cos(np.pi * np.linspace(0.0, 1.0, n))
        t = 0.9 / (n - 1) ** 2

        def call(k, cls=cls, u=u, t=t):
            o = cls(0.0, 1.0, n, u)
            o.evolve(t, k)
        k = int(COUNT.search(refused(lambda: call(1))).group(1))
        r = on_one_processor(lambda: timed(lambda: refused(lambda: call(1)), repeats))
        named = on_one_processor(lambda: timed(lambda: call(k), repeats))
        print(f"| {cls.__name__} | {r * 1e3:.3g} ms | {k} steps: {named * 1e3:.3g} ms | {r / named:.2g} | "
              f"{k} steps |")


if __name__ == "__main__":
    main()
