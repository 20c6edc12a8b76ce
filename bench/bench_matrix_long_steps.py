"""MatrixDiffusion1D/2D/3D at long steps: constants, the exact Crank-Nicolson step, coupling refusals.

1. A constant 0.5 (a_diag = 0.5, 41 nodes of [0, 1]; 9 x 9; 5^3) after one step of t = 1e3 to
   1.7e308: the largest deviation, or the refusal.
2. Random data (1 to 3 axes, 5 to 40 nodes per axis, lengths 1e-20 to 1e20, a_diag 1e-300 to
   1e300, one to seven steps of tau = 1e-300 to 1e300, coupling c with |c| t <= 1) against the
   same split Crank-Nicolson steps in the cosine basis that diagonalises every mirror
   Laplacian: the largest error over max|u0|, by the step's P = tau a / (2 dx^2).
3. Against SciPy's expm of the semi-discrete operator (a = 0.3, c = 1.7, t = 0.2): the error by
   step count, where the steps are meant to be accurate.
4. Refusals of the coupling's growth: the text's named t, the same call at that t on a fresh
   object, and the time of the refused call over the time of the call it names (a step whose
   reaction factor is not finite is refused before the steps; a growth beyond the range found
   at the end takes the call and its retry on u0 scaled down to 2^-960).

Run: PYTHONPATH=<build dir> python bench/bench_matrix_long_steps.py [--quick]
(--quick: fewer random calls, smaller grids in 4.)
"""

from __future__ import annotations

import re
import time

import numpy as np
from scipy.fft import dctn, idctn
from scipy.linalg import expm

import quorvane as q
from harness import options, progress

CLS = {1: q.MatrixDiffusion1D, 2: q.MatrixDiffusion2D, 3: q.MatrixDiffusion3D}


def make(ns, u0, length=1.0, **kw):
    args = []
    for n in ns:
        args += [0.0, length, n]
    return CLS[len(ns)](*args, u0, **kw)


def split_cn(ns, u0, a, c, t, n_steps, length):
    """The split steps in the cosine basis: the last axis one leg of tau, the others two of
    tau/2; the coupling scales u + v and u - v by e^{+-c t}."""
    tau, D, F = t / n_steps, len(ns), 1.0
    for d, n in enumerate(ns):
        with np.errstate(over="ignore", invalid="ignore"):
            x = 4 * np.sin(np.pi * np.arange(n) / (2 * n)) ** 2 * (tau / 2) * a / (length / (n - 1)) ** 2
            f = np.where(np.isinf(x), -1.0, (1 - x) / (1 + x)) if d == D - 1 else \
                np.where(np.isinf(x / 2), 1.0, ((1 - x / 2) / (1 + x / 2)) ** 2)
        F = F * f.reshape([-1 if e == D - 1 - d else 1 for e in range(D)])
    u = u0.reshape(tuple(reversed(ns)) + (2,))
    s, m = [np.exp(k * c * t) * idctn(F ** n_steps * dctn(w, norm="ortho"), norm="ortho")
            for k, w in ((1, u[..., 0] + u[..., 1]), (-1, u[..., 0] - u[..., 1]))]
    return np.stack([(s + m) / 2, (s - m) / 2], axis=-1).ravel()


def outcome(fn):
    try:
        return fn()
    except q.QuorvaneError as e:
        return str(e)


def constants():
    print("\n1. constant 0.5 after one step of t: max|u - 0.5| (or the refusal)")
    print(f"{'t':>9} | {'1-D 41':>10} | {'2-D 9x9':>10} | {'3-D 5^3':>10}")
    for t in (1e3, 1e12, 1e13, 1e14, 1e16, 1e17, 1e18, 1e20, 1e50, 1e200, 1e300, 1.7e308):
        row = []
        for ns in ((41,), (9, 9), (5, 5, 5)):
            def run():
                m = make(ns, np.full(2 * int(np.prod(ns)), 0.5), a_diag=0.5)
                m.evolve(t, 1)
                return f"{np.abs(m.values() - 0.5).max():10.2e}"
            r = outcome(run)
            row.append(r if len(r) <= 10 else r.split("]")[0] + "]")
        print(f"{t:9.1e} | " + " | ".join(f"{x:>10}" for x in row))


def random_calls(count):
    print(f"\n2. {count} random calls against the split Crank-Nicolson steps: worst error / max|u0| by P")
    rng = np.random.default_rng(7)
    worst = {}
    for _ in range(count):
        D = int(rng.integers(1, 4))
        ns = tuple(int(rng.integers(5, (40, 12, 7)[D - 1])) for _ in range(D))
        length, a = 10.0 ** rng.uniform(-20, 20), 10.0 ** rng.uniform(-300, 300)
        n_steps = int(rng.integers(1, 8))
        t = 10.0 ** rng.uniform(-300, 300) * n_steps
        c = rng.uniform(-1, 1) / t
        u0 = 10.0 ** rng.uniform(-300, 300) * rng.standard_normal(2 * int(np.prod(ns)))
        m = make(ns, u0, length, a_diag=a, c_coupling=c)
        refused = outcome(lambda: m.evolve(t, n_steps)) is not None
        err = np.abs(m.values() - split_cn(ns, u0, a, c, t, n_steps, length)).max() / np.abs(u0).max()
        with np.errstate(over="ignore"):
            p = t / n_steps / 2 * a / (length / (max(ns) - 1)) ** 2
        band = sum(p >= b for b in (1.0, 1e12, 1e300))
        calls, bad, top = worst.get(band, (0, 0, 0.0))
        worst[band] = calls + 1, bad + refused, top if refused else max(top, err)
    for band, (calls, bad, top) in sorted(worst.items()):
        name = ("P < 1", "1 <= P < 1e12", "1e12 <= P < 1e300", "P >= 1e300")[band]
        print(f"{name:>18}: {calls:5d} calls, {bad:4d} refused, worst error of the served {top:.1e}")


def against_expm():
    print("\n3. against expm of the semi-discrete operator (a = 0.3, c = 1.7, t = 0.2): max error")
    for ns in ((11,), (7, 6), (5, 6, 5)):
        N = int(np.prod(ns))
        lap = 0
        for d, n in enumerate(ns):
            k = np.diag(np.full(n, -2.0)) + np.diag(np.ones(n - 1), 1) + np.diag(np.ones(n - 1), -1)
            k[0, 0] = k[-1, -1] = -1.0
            parts = [k * (n - 1) ** 2 if e == d else np.eye(ns[e]) for e in range(len(ns))]
            term = parts[-1]
            for p in reversed(parts[:-1]):
                term = np.kron(term, p)
            lap = lap + term
        op = 0.3 * np.kron(lap, np.eye(2)) + np.kron(np.eye(N), [[0.0, 1.7], [1.7, 0.0]])
        u0 = np.cos(np.arange(2 * N) * 0.7) + 0.5
        ref = expm(0.2 * op) @ u0
        errs = []
        for n in (8, 16, 32, 64):
            m = make(ns, u0, a_diag=0.3, c_coupling=1.7)
            m.evolve(0.2, n)
            errs.append(f"{n}: {np.abs(m.values() - ref).max():.1e}")
        print(f"{str(ns):>10}: " + ", ".join(errs))


def timed(fn):
    t0 = time.perf_counter()
    r = outcome(fn)
    return time.perf_counter() - t0, r


def refusals(quick):
    print("\n4. coupling refusals: the named t, the call at it, the time of each")
    big = (2000,) if quick else (20000,)
    cases = [
        ((21,), 1e-20, 1e-150, 0.99, 1e5, 1e200, 1),
        ((21,), 1e-20, 1e300, 1e-150, -1e300, 1e200, 1),
        ((5, 5), 1.0, 1e300, 1.0, -1e300, 1e17, 1),
        ((5, 5, 5), 1.0, 1.7e308, 1.0, 2.0, 1e4, 1),
        (big, 1.0, 1.0, 1.0, 1.0, 3000.0, 1000),
        (big, 1.0, 1.0, 1.0, 1.0, 1e200, 1000),
        ((60, 60) if quick else (200, 200), 1.0, 1.0, 1.0, 1.0, 3000.0, 200),
    ]
    for ns, length, scale, a, c, t, n_steps in cases:
        u0 = scale * np.cos(np.arange(2 * int(np.prod(ns))) * 0.1) if len(ns) == 1 and ns[0] > 100 else \
            scale * np.ones(2 * int(np.prod(ns)))
        took, text = timed(lambda: make(ns, u0, length, a_diag=a, c_coupling=c).evolve(t, n_steps))
        found = re.search(r"t <= (\S+) keeps", text)
        if found is None:
            print(f"{str(ns):>11} u0 {scale:.0e} c {c:.0e} t {t:.0e}: {text[:120]}")
            continue
        named = float(found.group(1))
        data = u0 / np.abs(u0).max() if "scaled down" in text else u0
        took_named, r = timed(lambda: make(ns, data, length, a_diag=a, c_coupling=c).evolve(named, n_steps))
        print(f"{str(ns):>11} u0 {scale:.0e} a {a:.0e} c {c:.0e} t {t:.0e} n {n_steps}: names t <= {found.group(1)}"
              f" -> {'runs' if r is None else r[:60]}; refused in {took * 1e3:.2f} ms, the named call"
              f" {took_named * 1e3:.2f} ms")


def main():
    args = options(__doc__, "about 7 s", "about 5 s")
    progress("constants")
    constants()
    progress("random calls")
    random_calls(300 if args.quick else 3000)
    progress("expm")
    against_expm()
    progress("refusals")
    refusals(args.quick)


if __name__ == "__main__":
    main()
