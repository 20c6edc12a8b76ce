"""The transport steps' range safeguard: accuracy beside the plain read, boundedness, cost.

Every step that reads u at the foot of a drift (Shift1D, DriftReaction1D, AdaptivePI's
shift and drift steps, Strang1D, DriftReaction4th1D, AnisotropicShiftND2/ND3) reads
plainly (degree 7; cubic in N-D) and clips each new node value to a range [L, U] the
object keeps: read from the data when they were set (the nodes, and the read's proven
extremes between them as far as the data there are smooth), its ends moved every step by
the step's reaction factors and carried from call to call. "plain" below is a
NumPy copy of Shift1D's periodic step without the clip (the degree-7 Hermite read of
core/foundation/boundary.cpp, the coefficients at the nodes by the library's Catmull-Rom
rule, the same operations in the same order): it gives the library's bits wherever the
clip does not fire. Errors are relative max errors, max|u - ref| / max|ref|, against
e^{tL} u0 of the Fourier collocation operator L of u_t = a u'' + b(x) u' + c u on 6m
points of periodic [0, 1) (exact in time), read at the m nodes. This prints:

1. Accuracy.
   a. The two smooth cases of drifts with zeros that held reads lost (m = 58, a = 0.002,
      c = 0, t = 0.3, b = -0.2371 + 0.2135 sin(6 pi x + 2.511), u0 = -0.5400 sin(12 pi x +
      4.6415) - 0.4121 sin(10 pi x + 4.9930); m = 57, a = 0.002, c = -0.5, t = 1,
      b = 0.02341 - 0.02579 sin(2 pi x + 0.9828) - 0.06670 sin(4 pi x + 1.8551),
      u0 = 0.8497 sin(18 pi x + 1.9161) + 0.4108 sin(4 pi x + 1.3587)), and the old smooth
      cases (41 periodic nodes, u0 = cos 2 pi x + 0.5 sin 6 pi x, a = 0.002,
      b = 0.3 + 0.1 sin 2 pi x, c = -1, t = 0.3 and c = 0, t = 1; 25 nodes, three modes,
      a = 1e-4, c = -1, t = 0.5): Shift1D.with_arrays and plain at 10^2 to 10^5 steps.
   b. Random smooth cases: 24 to 96 periodic nodes, u0 of 2 or 3 modes at 6 to 20 nodes a
      wavelength, a in {0, 1e-4, 2e-3}, c in {0, -0.5, -1}, t in {0.3, 1, 3}, 30 drifts of
      each class b0 + one or two modes of wave number 1 to 3: constant, one-signed with
      min|b| / max|b| >= 0.2, one-signed with that ratio below 0.2 (near 0), changing sign
      (the class taken on 4096 points), at 10^2, 10^3, 10^4 steps. Per class: the cases
      where the plain read converges (its error below 0.05 at the last count and never
      above 1.1 times the one before), the largest library/plain error ratio there (every
      count), the cases whose library result equals plain to 1e-12 relative at every count
      (the clip never fired) and to the bit, and the cases whose library error rises with
      the count (by more than 1.1 times; where plain converges, and over all cases) beside
      those whose plain error does.
   c. AdaptivePI.with_arrays on 48 nodes, b = 0.3 + 0.25 sin(6 pi x + 2), u0 = cos 2 pi x
      + 0.5 sin(8 pi x + 0.3), a = 0.002, c = -0.5, t = 1: the error by tol_abs
      (tol_rel = 0), with Shift1D.with_arrays at 10^4 steps beside it.
   d. Strang1D (b = 0.5) and DriftReaction4th1D (u_t = u'' + 0.5 u') on periodic
      [0, 200), cos(2 pi x/200) + 0.5 sin(6 pi x/200), t = 100: max error against the
      exact solution.
   e. DriftReaction1D.with_arrays's order with a sampled drift: b = 0.5 + 0.3 sin 2 pi x,
      u0 = cos 2 pi x + 0.3 sin 4 pi x, t = 1, on 41, 81, 161 and 321 periodic nodes of
      [0, 1) (the drift carries every value across the seam), and on [-4, 4] with "zero"
      ends, b = 0.6 sin x + 0.2, c = -0.4 cos x, u0 = exp(-4 (x - 0.3)^2) (the bump stays
      clear of the ends), against the characteristics integrated by SciPy to 1e-12; the
      ratios e(N) / e(2N).
2. Boundedness (max|u| of the final state at each count; no reaction, so the exact
   solutions stay within max|u0|, and a clipped result within the range the library reads
   from the data, measured here by 64 one-step DriftReaction1D translations by k/64 of a
   cell: for rough data their nodes' range, for smooth data the read's extremes between
   the nodes).
   a. Shift1D.with_arrays on 32 and 64 periodic nodes under drifts rough on the grid's
      scale or with many zeros (noise U(-1, 1), sin 8 pi x, sin 16 pi x), a in {0, 1e-4},
      t in {1, 10} (the largest over both), 10^2 to 10^4 steps, data cos 2 pi x, a jump
      and noise U(-1, 1); the largest figure of plain over all of them.
   b. DriftReaction1D.with_arrays and AdaptivePI.with_arrays (its own steps, tol_abs 1e-6)
      on the noise drift, the same grids and data.
   c. Shift1D.with_arrays, a = 0, b = sin 2 pi x, 41 periodic nodes, jump data, steps of
      0.64 up to t = 640.
   d. AnisotropicShiftND2 on 41^2 nodes of [0, 1]^2 ("reflect"), A = 1e-6 I, both drift
      components noise U(-1, 1), u0 = cos pi x cos pi y, t = 1, 10^2 and 10^3 steps.
   e. Shift1D, a = 0, b = 0.3, t = 1, 101 periodic nodes, a jump and noise, 10^3 to 10^5
      steps (the constant-drift steps, whose plain reads grow rough data with the count).
   f. A state rebuilt from values(): 101 periodic nodes on [0, 1 - dx], K calls of one step
      of tau = 0.1 dx / max|b|, each on a new object built from the last one's values
      (Shift1D.with_arrays, a = c = 0, u0 = cos 2 pi x: b = 0.3 sin(6 pi x + 1), sin 16 pi x,
      0.5 sin 2 pi x, noise U(-1, 1) of seed 11; DriftReaction1D.with_arrays, b = 10 x that
      noise, c = 3, data noise U(-1, 1) of seed 5, max|u| / e^{3t}), beside one object
      stepped K times; the exact flow keeps max|u0| = 1 (0.998 for the noise data).
   g. "linear" faces: AnisotropicShiftND2, 41^2 nodes of [0, 1]^2, A = 1e-6 I, both drift
      components noise U(-1, 1) of seed 1 set to flow out at every face (0.5 on the lower
      faces, -0.5 on the upper), set_state(x + y) and cos pi x cos pi y, t = 1, 10^2 to 10^4
      steps (10^2, 10^3 with --quick); AnisotropicShiftND3 on 9^3, x + y + z, seed 2, 10^2
      steps: min u and max u (the exact flow keeps [0, 2], [-1, 1] and [0, 3]).
   h. Rebuilt chains next to the ends and on data a drift draws out (one step a call, max|u|
      over the calls): DriftReaction1D.with_arrays on 75 nodes of [0, 1], "zero", b = sin 36 pi x,
      u0 = cos(2 pi 74/6 x + 0.3), tau = 0.3 dx; both classes on 60 nodes, "reflect",
      b = cos 24 pi x, u0 = cos(10 pi x + 0.3), tau = 0.1 dx; Shift1D on 101 nodes, "reflect",
      b noise U(-1, 1) of seed 11, alternating data, tau = 0.1 dx; DriftReaction1D on 64
      periodic nodes, b = 0.5 sin 2 pi x, u0 = cos(pi i / 2 + 0.3) (4 nodes a wavelength, nodes'
      max 0.9553), tau = 0.2 dx; Shift1D.with_arrays on 64 nodes of [0, 1], "zero", with
      diffusion a, b noise U(-1, 1) of default_rng(seed), u0 = -0.5 below x = 0.37 and 1
      above, tau = 0.3 dx / max|b|: a = 1e-3, seeds 0 and 5, and the worst excess beyond
      [-0.5, 1] over a = 1e-4, 3e-4, 1e-3, 3e-3, 1e-2 and seeds 0-19 (0-7 with --quick);
      beside one object stepped as often.
   i. A 2-D or 3-D state rebuilt from values(): AnisotropicShiftND2 on 21^2 nodes of the unit
      box (periodic: [0, 20/21]^2), A = 1e-3 I, c = 0, u0 = cos pi x cos pi y (cos 2 pi x
      cos 2 pi y periodic), K calls of one step of tau = 0.02, each on a new object given
      the last one's values() by set_state, beside one object stepped K times: a noise drift
      U(-0.5, 0.5) of seed 0 ("reflect", periodic) and the smooth drift (0.5 sin 2 pi y,
      0.5 cos 2 pi x) under every end kind ("linear": both drifts set to flow out at every
      face, 0.5 on the lower faces and -0.5 on the upper); AnisotropicShiftND3 on 9^3, the
      noise drift, "reflect" and periodic. max|u| / max|u0|; the exact flow keeps 1.
   With --compare BUILD_DIR, 2f, 2g, 2h and 2i are also measured on that build (a
   subprocess), the rows "before".
3. Continuity in the drift: Shift1D.with_arrays with b = 0 against one sample b[50] =
   1e-300 (a = 0.01, t = 0.5, 101 periodic nodes, jump data, 50 and 1000 steps), and
   DriftReaction1D.with_arrays and Shift1D.with_arrays (a = 0.01) with b = 0.3 +
   0.1 sin 2 pi x (jump data, 101 periodic nodes, t = 1, 200 steps) with each drift sample
   moved in turn by d = 1e-13 and 1e-9: the largest max|change| / d.
5. Sampled reactions (with --compare BUILD_DIR, that build's figures beside, "before"):
   a. A reaction negative at every node: 16 nodes of [0, 1], "reflect", b = U(-2, 2) and
      c = U(-3, 0) of default_rng(seed) (seed 0, 1, 3), or c = -0.05 left of 0.5 and -2.5
      right of it (stepped, b of seed 0), jump data (1 left of 0.5, -0.5 right) or cos pi x,
      t = 3.33 and 10, 1000 steps (AdaptivePI its own): the worst max|u| / (max|u0|
      e^{t max c_i}) over the data, per class; at most 1 holds the bound of the samples.
   b. Smooth c: max error against Fourier collocation and DOP853 (Shift1D.with_arrays and
      AdaptivePI.with_arrays, periodic [0, 1), a = 0.002, b = 0.3 + 0.1 sin 2 pi x,
      u0 = cos 2 pi x + 0.5 sin 6 pi x, t = 0.5, 100 to 10^4 steps, tol_abs 1e-5 to 1e-7) and
      against the characteristics integrated by SciPy (DriftReaction1D.with_arrays, the same b
      and u0, t = 1, 41, 81, 161 nodes), c = -1 + 0.5 cos(2 pi x + 0.3) and 0.4 sin(4 pi x + 0.7);
      and in SI units against the closed-form solution: DriftReaction1D.with_arrays on 200
      periodic nodes of [0, 1000 m), b = 0.5 m/s, c = -1e-4 (1 + 0.5 cos(16 pi x / L + phi)) 1/s
      (25 nodes a period), u0 = cos(2 pi x / L) + 0.5 sin(6 pi x / L), t = 1000 s, 100 to 10^4
      steps, phi at eight points across one cell (where c's peaks fall between the nodes).
4. Cost: time per step on one processor, best of 5 calls, of Shift1D.with_arrays (noise
   and smooth drift, a = 0.01, 1001 nodes of [0, 1], 400 steps), DriftReaction1D.with_arrays
   (the same drifts) and AnisotropicShiftND2 (41^2, A = 0.01 I, noise drift, 40 steps),
   against Heat1D's step on the same 1001 nodes (tau = 0.3 dx^2) and Heat2D's on the same
   41^2. With --compare BUILD_DIR the same timings of that build (in a subprocess with
   PYTHONPATH=BUILD_DIR, in turn with this one's, the best of two rounds) and the ratios
   new/old, of the times and of the times over the heat step's.

6. The cost of reading the 2-D and 3-D range: set_state of AnisotropicShiftND3 on 32^3 and
   80^3 nodes and of AnisotropicShiftND2 on 200^2 and 1000^2 (the unit box, "reflect", A =
   1e-3 I, a noise drift U(-0.5, 0.5) of seed 0), best of up to 5 calls (fewer past 1.5 s)
   on one processor, with data noise U(-1, 1) of seed 1, cos(1e-3 k) of the flat index k
   (axis 0 fastest), a product of cosines cos(2 pi x + 0.3) cos(2 pi y + 0.7) (cos(2 pi z +
   1.1)), a Gaussian exp(-|p - 0.4|^2 / 0.05) and tanh(10 (z - 0.5)) along the last axis;
   one step, evolve(1e-3, 1), after the noise and the cos(1e-3 k) data on 32^3 and 200^2
   (a step reads no range: it costs the same on any data). Times, and their
   ratio to noise's in the same build; with --compare BUILD_DIR and --against PYTHON (the
   module that interpreter imports, e.g. a venv of another build; repeatable) the same
   rows of those builds, in turn, and this build's time over each of theirs. --set-state
   runs this section alone.

Run: PYTHONPATH=<build dir> python bench/bench_transport_range.py [--quick]
[--compare OTHER_BUILD_DIR] [--against PYTHON ...] [--set-state]
The full run takes about 12 min (with --compare; a one-minute load average of 5 to 9 on
the machine of bench/README.md), --quick about 2 min: 8 random cases a class, counts to
10^3 (10^4 in 1a and 2e), t to 64 in 2c, the cost once.
"""

from __future__ import annotations

import os

# The references' dense expm on one BLAS thread: on a busy machine OpenBLAS's threaded
# LAPACK calls take a hundred times longer.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import json  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402

import numpy as np  # noqa: E402
import scipy.linalg as sl  # noqa: E402

import quorvane as q  # noqa: E402
from harness import best_time, on_one_processor, options, progress  # noqa: E402

PI = np.pi

# The degree-7 read's undivided differences over node offsets -4..4 and -3..3.
D1 = (3.0, -32.0, 168.0, -672.0, 0.0, 672.0, -168.0, 32.0, -3.0)
D2 = (2.0, -27.0, 270.0, -490.0, 270.0, -27.0, 2.0)
D3 = (1.0, -8.0, 13.0, 0.0, -13.0, 8.0, -1.0)


def difference(padded, taps, denom, n):
    """sum_j taps[j] u_{i+j} / denom at every node i (taps in the library's order, zero
    taps skipped), `padded` holding u with 4 periodic ghosts a side."""
    half = len(taps) // 2
    total = None
    for j, cj in zip(range(-half, half + 1), taps):
        if cj != 0.0:
            term = cj * padded[4 + j:4 + j + n]
            total = term if total is None else total + term
    return total / denom


def hermite7_weights(t):
    t2, t3, t4 = t * t, t * t * t, (t * t) * (t * t)
    om = 1.0 - t
    om3 = om * om * om
    return (1.0 + t4 * (-35.0 + t * (84.0 + t * (-70.0 + 20.0 * t))),
            t4 * (35.0 + t * (-84.0 + t * (70.0 - 20.0 * t))),
            t + t4 * (-20.0 + t * (45.0 + t * (-36.0 + 10.0 * t))),
            t4 * (-15.0 + t * (39.0 + t * (-34.0 + 10.0 * t))),
            t2 / 2.0 + t4 * (-5.0 + t * (10.0 + t * (-7.5 + 2.0 * t))),
            t4 * (2.5 + t * (-7.0 + t * (6.5 - 2.0 * t))),
            t3 * (om3 * om) / 6.0,
            -(t4 * om3) / 6.0)


def catmull_rom(f, x0, h, x):
    """The library's reading of coefficient samples f between nodes."""
    n = len(f)
    s = (x - x0) / h
    i = np.clip(np.floor(s), 0, n - 2).astype(np.int64)
    t = s - i
    p1, p2 = f[i], f[i + 1]
    p0 = np.where(i > 0, f[np.maximum(i - 1, 0)], 2.0 * p1 - p2)
    p3 = np.where(i + 2 < n, f[np.minimum(i + 2, n - 1)], 2.0 * p2 - p1)
    v = 0.5 * (t * t * t * (3.0 * p1 - p0 - 3.0 * p2 + p3) +
               (2.0 * p1 + t * (p2 - p0) + t * t * (4.0 * p2 + (2.0 * p0 - 5.0 * p1) - p3)))
    return np.where(s <= 0.0, f[0], np.where(s >= n - 1, f[-1], v))


class PlainShift:
    """Shift1D.with_arrays's step on the periodic grid of n nodes from xmin to xmax, without
    the clip: the mean 0.25 R(x + h) + 0.25 R(x - h) + 0.5 R(x + 2 tau b), h = 2 sqrt(tau a),
    R the degree-7 read, then (1 + tau c) times the mean where c < 0, else the mean plus
    tau c u. The three read points of every node are fixed, so their cells and weights are
    found once."""

    def __init__(self, xmin, xmax, a, b, c, tau):
        n = len(a)
        dx = (xmax - xmin) / (n - 1)
        x = xmin + dx * np.arange(n, dtype=float)
        A, B, self.C = (catmull_rom(np.asarray(v, float), xmin, dx, x) for v in (a, b, c))
        r = np.sqrt(tau * A)
        h = r + r
        s = (np.concatenate([x + h, x - h, x + tau * (B + B)]) - xmin) / dx
        f = np.floor(s)
        self.i = f.astype(np.int64) % n
        self.j = (self.i + 1) % n
        self.w = hermite7_weights(s - f)
        self.n, self.tau = n, tau
        self.scale = 1.0 + tau * self.C
        # a factor a few ulps below 0 at the admitted limit counts as 0, as in the library
        self.scale[(self.scale < 0.0) & (self.scale >= -8 * np.finfo(float).eps)] = 0.0
        self.decay = self.C < 0.0

    def steps(self, u, count):
        n, i, j = self.n, self.i, self.j
        h0, h1, g0, g1, k0, k1, l0, l1 = self.w
        u = np.array(u, dtype=float)
        with np.errstate(all="ignore"):
            for _ in range(count):
                p = np.concatenate([u[-4:], u, u[:4]])
                d1, d2, d3 = difference(p, D1, 840.0, n), difference(p, D2, 180.0, n), difference(p, D3, 8.0, n)
                r = (u[i] * h0 + u[j] * h1 + d1[i] * g0 + d1[j] * g1 + d2[i] * k0 + d2[j] * k1 + d3[i] * l0 +
                     d3[j] * l1)
                mean = (0.25 * r[:n] + 0.25 * r[n:2 * n]) + 0.5 * r[2 * n:]
                u = np.where(self.decay, self.scale * mean, mean + (self.tau * self.C) * u)
        return u


def nodes(m):
    return np.arange(m) / m


def plain(m, a, b, c, u0, t, steps):
    x = nodes(m)
    return PlainShift(0.0, x[-1], np.broadcast_to(a, m), b, np.broadcast_to(c, m), t / steps).steps(u0, steps)


def library(m, a, b, c, u0, t, steps):
    x = nodes(m)
    s = q.Shift1D.with_arrays(0.0, x[-1], m, np.full(m, a), b, np.full(m, c), 1.0, u0, boundary="periodic")
    s.evolve(t, steps)
    return s.values()


def reference(a, bf, c, u0f, t, m):
    """e^{tL} u0 of the Fourier collocation operator on 6m points of periodic [0, 1), at the
    m nodes (4m agrees to 4e-14)."""
    M = 6 * m
    x = np.arange(M) / M
    k = 2 * PI * np.fft.fftfreq(M, 1.0 / M)
    F = np.fft.fft(np.eye(M), axis=0)
    d1 = np.real(np.fft.ifft(1j * k[:, None] * F, axis=0))
    d2 = np.real(np.fft.ifft(-(k ** 2)[:, None] * F, axis=0))
    L = a * d2 + bf(x)[:, None] * d1 + c * np.eye(M)
    return (sl.expm(t * L) @ u0f(x))[::6]


def relative(u, ref):
    return float(np.abs(u - ref).max() / np.abs(ref).max())


def largest(u):
    """max|u|, inf for a result that overflowed."""
    v = np.abs(np.asarray(u, float))
    return float(v.max()) if np.all(np.isfinite(v)) else float("inf")


def cells(values, fmt="{:>10.2e}"):
    return "".join(fmt.format(v) if isinstance(v, float) else f"{v:>10}" for v in values)


def modes(amp, waves, phase):
    return lambda x: sum(A * np.sin(2 * PI * k * x + p) for A, k, p in zip(amp, waves, phase))


# ---------------------------------------------------------------------------------------
# 1. accuracy

CASES = [
    ("m = 58, a = 0.002, c = 0, t = 0.3", 58, 0.002, lambda x: -0.2371 + 0.2135 * np.sin(6 * PI * x + 2.511), 0.0,
     lambda x: -0.5400 * np.sin(12 * PI * x + 4.6415) - 0.4121 * np.sin(10 * PI * x + 4.9930), 0.3),
    ("m = 57, a = 0.002, c = -0.5, t = 1", 57, 0.002,
     lambda x: 0.02341 - 0.02579 * np.sin(2 * PI * x + 0.9828) - 0.06670 * np.sin(4 * PI * x + 1.8551), -0.5,
     lambda x: 0.8497 * np.sin(18 * PI * x + 1.9161) + 0.4108 * np.sin(4 * PI * x + 1.3587), 1.0),
    ("41 nodes, c = -1, t = 0.3", 41, 0.002, lambda x: 0.3 + 0.1 * np.sin(2 * PI * x), -1.0,
     lambda x: np.cos(2 * PI * x) + 0.5 * np.sin(6 * PI * x), 0.3),
    ("41 nodes, c = 0, t = 1", 41, 0.002, lambda x: 0.3 + 0.1 * np.sin(2 * PI * x), 0.0,
     lambda x: np.cos(2 * PI * x) + 0.5 * np.sin(6 * PI * x), 1.0),
    ("25 nodes, c = -1, t = 0.5", 25, 1e-4,
     lambda x: 0.35 + 0.0221 * np.sin(2 * PI * x + 3.6128) + 0.0518 * np.sin(4 * PI * x + 6.1313), -1.0,
     lambda x: 0.9294 * np.cos(2 * PI * x + 3.0972) - 0.2573 * np.cos(4 * PI * x + 4.0047) +
     0.2621 * np.cos(6 * PI * x + 3.3455), 0.5),
]


def named_cases(counts):
    print("1a. Shift1D.with_arrays on smooth data: relative max error, library and plain read")
    print(f"  {'case':<36}{'read':<9}" + "".join(f"{c:>10}" for c in counts))
    for label, m, a, bf, c, u0f, t in CASES:
        progress(label)
        x = nodes(m)
        ref = reference(a, bf, c, u0f, t, m)
        lib = [library(m, a, bf(x), c, u0f(x), t, n) for n in counts]
        pl = [plain(m, a, bf(x), c, u0f(x), t, n) for n in counts]
        print(f"  {label:<36}{'library':<9}{cells([relative(u, ref) for u in lib])}")
        same = "".join(f"{'same bits' if np.array_equal(u, p) else 'differs':>10}" for u, p in zip(lib, pl))
        print(f"  {'':<36}{'plain':<9}{cells([relative(u, ref) for u in pl])}")
        print(f"  {'':<36}{'bits':<9}{same}")


DRIFT_CLASSES = ("constant", "one-signed, min/max >= 0.2", "one-signed, min/max < 0.2", "sign-changing")


def random_case(rng, kind):
    """A smooth periodic case of the given drift class (an index into DRIFT_CLASSES)."""
    m = int(rng.integers(24, 97))
    count = int(rng.integers(2, 4))
    waves = rng.integers(int(np.ceil(m / 20)), m // 6 + 1, count)
    u0f = modes(rng.uniform(0.3, 1.0, count), waves, rng.uniform(0, 2 * PI, count))
    a, c, t = (float(rng.choice(v)) for v in ([0.0, 1e-4, 2e-3], [0.0, -0.5, -1.0], [0.3, 1.0, 3.0]))
    fine = np.arange(4096) / 4096
    if kind == 0:
        b0 = rng.uniform(0.02, 0.4) * rng.choice([-1.0, 1.0])
        return m, a, (lambda x, b0=b0: b0 + 0 * x), c, u0f, t
    terms = int(rng.integers(1, 3))
    wave = modes(rng.uniform(0.02, 0.25, terms), rng.choice([1, 2, 3], terms, replace=False),
                 rng.uniform(0, 2 * PI, terms))
    lo, hi = wave(fine).min(), wave(fine).max()
    if kind == 3:
        b0 = -(lo + rng.uniform(0.1, 0.9) * (hi - lo))
    else:
        ratio = rng.uniform(0.2, 0.6) if kind == 1 else rng.uniform(0.003, 0.2)
        b0 = -lo + ratio * (hi - lo) / (1.0 - ratio)  # min = ratio * max
    sign = rng.choice([-1.0, 1.0])
    return m, a, (lambda x: sign * (b0 + wave(x))), c, u0f, t


def rises(errors):
    return any(e1 > 1.1 * e0 for e0, e1 in zip(errors, errors[1:]))


def random_comparison(per_class, counts):
    print(f"\n1b. random smooth cases, {per_class} a drift class, at {', '.join(map(str, counts))} steps:"
          " library against plain")
    print(f"  {'':<28}{'plain':>12}{'worst':>16}{'lib = plain':>14}{'':>10}{'error rises with n':>27}")
    print(f"  {'drift':<28}{'converges':>12}{'lib/plain':>16}{'to 1e-12':>14}{'same bits':>10}"
          f"{'lib (conv.)':>12}{'lib':>6}{'plain':>9}")
    rng = np.random.default_rng(50)
    for kind, name in enumerate(DRIFT_CLASSES):
        progress(f"random cases, {name}")
        conv = equal = bits = lib_up = lib_up_all = plain_up = 0
        worst, worst_case = 0.0, ""
        for _ in range(per_class):
            m, a, bf, c, u0f, t = random_case(rng, kind)
            x = nodes(m)
            ref = reference(a, bf, c, u0f, t, m)
            lib = [library(m, a, bf(x), c, u0f(x), t, n) for n in counts]
            pl = [plain(m, a, bf(x), c, u0f(x), t, n) for n in counts]
            e_lib = [relative(u, ref) for u in lib]
            e_pl = [relative(u, ref) for u in pl]
            equal += all(np.abs(u - p).max() <= 1e-12 * np.abs(p).max() for u, p in zip(lib, pl))
            bits += all(np.array_equal(u, p) for u, p in zip(lib, pl))
            lib_up_all += rises(e_lib)
            plain_up += rises(e_pl)
            if e_pl[-1] < 0.05 and not rises(e_pl):
                conv += 1
                lib_up += rises(e_lib)
                ratio = max(el / ep for el, ep in zip(e_lib, e_pl))
                if ratio > worst:
                    worst, worst_case = ratio, f"m = {m}, a = {a:g}, c = {c:g}, t = {t:g}: " + \
                        ", ".join(f"{el:.3g}/{ep:.3g}" for el, ep in zip(e_lib, e_pl))
        print(f"  {name:<28}{f'{conv}/{per_class}':>12}{worst:>16.3f}{equal:>14}{bits:>10}{lib_up:>12}"
              f"{lib_up_all:>6}{plain_up:>9}")
        if worst_case:
            print(f"  {'':<4}worst: {worst_case}")


def adaptive(tols):
    print("\n1c. AdaptivePI.with_arrays, 48 nodes, b = 0.3 + 0.25 sin(6 pi x + 2), c = -0.5, t = 1:"
          " relative error by tol_abs")
    progress("AdaptivePI.with_arrays")
    m = 48
    x = nodes(m)
    bf = lambda y: 0.3 + 0.25 * np.sin(6 * PI * y + 2)  # noqa: E731
    u0f = lambda y: np.cos(2 * PI * y) + 0.5 * np.sin(8 * PI * y + 0.3)  # noqa: E731
    ref = reference(0.002, bf, -0.5, u0f, 1.0, m)
    row = []
    for tol in tols:
        p = q.AdaptivePI.with_arrays(0.0, x[-1], m, np.full(m, 0.002), bf(x), np.full(m, -0.5), 1.0, u0f(x),
                                     tol_abs=tol, tol_rel=0.0, boundary="periodic")
        try:
            row.append(relative(p.evolve(1.0), ref))
        except q.QuorvaneError as e:
            row.append(f"{e.kind}")
    print(f"  {'tol_abs':<36}" + "".join(f"{t:>10g}" for t in tols))
    print(f"  {'AdaptivePI.with_arrays':<36}{cells(row)}")
    e = relative(library(m, 0.002, bf(x), -0.5, u0f(x), 1.0, 10000), ref)
    print(f"  {'Shift1D.with_arrays, 10^4 steps':<36}{e:>10.2e}")


def split_classes(counts):
    print("\n1d. periodic [0, 200), t = 100: max error against the exact solution")
    print(f"  {'class':<36}" + "".join(f"{c:>10}" for c in counts))
    L, t = 200.0, 100.0
    for label, n in (("Strang1D, b = 0.5", 81), ("DriftReaction4th1D", 81), ("DriftReaction4th1D", 41)):
        progress(f"{label}, {n} nodes")
        x = np.arange(n) * L / n
        k1, k3 = 2 * PI / L, 6 * PI / L
        exact = np.exp(-k1**2 * t) * np.cos(k1 * (x + 0.5 * t)) + 0.5 * np.exp(-k3**2 * t) * np.sin(k3 * (x + 0.5 * t))
        u0 = np.cos(k1 * x) + 0.5 * np.sin(k3 * x)
        row = []
        for steps in counts:
            o = (q.Strang1D(0, L - L / n, n, u0, b=0.5, boundary="periodic") if label.startswith("Strang") else
                 q.DriftReaction4th1D(0, L - L / n, n, u0, boundary="periodic"))
            o.evolve(t, n_steps=steps)
            row.append(float(np.abs(o.values() - exact).max()))
        print(f"  {f'{label}, {n} nodes':<36}{cells(row)}")


# ---------------------------------------------------------------------------------------
# 2. boundedness

def feet(b, x, t):
    """Where the characteristic X' = b(X) from each x is at time t."""
    from scipy.integrate import solve_ivp
    return solve_ivp(lambda _, y: b(y), (0, t), x, method="DOP853", rtol=1e-12, atol=1e-13).y[:, -1]


def drift_order(counts):
    print("\n1e. DriftReaction1D.with_arrays against the characteristics: max error, and e(N)/e(2N)")
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
        from scipy.integrate import solve_ivp
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


def read_range(u0):
    """The range of the degree-7 read of periodic data: one step of a constant drift moves
    every node to a point of the read; 64 sub-cell shifts sample it."""
    n = len(u0)
    reads = []
    for k in range(64):
        d = q.DriftReaction1D(0.0, 1 - 1 / n, n, u0, b=k / (64 * n), c=0.0, boundary="periodic")
        d.evolve(1.0, 1)
        reads.append(d.values())
    return float(np.min(reads)), float(np.max(reads))


def rough_drifts(m):
    x = nodes(m)
    return {"noise": np.random.default_rng(3).uniform(-1.0, 1.0, m), "sin 8 pi x": np.sin(8 * PI * x),
            "sin 16 pi x": np.sin(16 * PI * x)}


def data(m):
    x = nodes(m)
    return {"cos 2 pi x": np.cos(2 * PI * x), "jump": np.where(x < 0.5, -1.0, 1.0),
            "noise": np.random.default_rng(0).uniform(-1.0, 1.0, m)}


def span(lo_hi):
    return f"[{lo_hi[0]:.4f}, {lo_hi[1]:.4f}]"


def rough_drift_rows(counts):
    print("\n2a. Shift1D.with_arrays under rough drifts, periodic: the largest max|u| over a in {0, 1e-4}"
          " and t in {1, 10}")
    print(f"  {'drift':<13}{'nodes':>6}  {'data':<12}{'read range':<20}" + "".join(f"{c:>9}" for c in counts) +
          f"{'plain':>11}")
    for m in (32, 64):
        ranges = {name: read_range(u0) for name, u0 in data(m).items()}
        for bname, b in rough_drifts(m).items():
            progress(f"Shift1D, b {bname}, {m} nodes")
            for uname, u0 in data(m).items():
                lib, top = [], 0.0
                for steps in counts:
                    figure = 0.0
                    for a in (0.0, 1e-4):
                        for t in (1.0, 10.0):
                            figure = max(figure, largest(library(m, a, b, 0.0, u0, t, steps)))
                            top = max(top, largest(plain(m, a, b, 0.0, u0, t, steps)))
                    lib.append(figure)
                print(f"  {bname:<13}{m:>6}  {uname:<12}{span(ranges[uname]):<20}{cells(lib, '{:>9.4f}')}"
                      f"{top:>11.3g}")


def noise_drift_classes(counts):
    print("\n2b. the noise drift, periodic: DriftReaction1D.with_arrays, the largest max|u| over t in {1, 10};"
          " AdaptivePI.with_arrays (tol_abs 1e-6), max|u| by a and t")
    cases = [(a, t) for a in (0.0, 1e-4) for t in (1.0, 10.0)]
    print(f"  {'nodes':>5}  {'data':<12}{'read range':<20}" + "".join(f"{c:>9}" for c in counts) +
          "".join(f"{f'a={a:g},t={t:g}':>15}" for a, t in cases))
    for m in (32, 64):
        b = rough_drifts(m)["noise"]
        x = nodes(m)
        progress(f"DriftReaction1D and AdaptivePI, {m} nodes")
        for uname, u0 in data(m).items():
            drift = []
            for steps in counts:
                figure = 0.0
                for t in (1.0, 10.0):
                    d = q.DriftReaction1D.with_arrays(0.0, x[-1], m, b, np.zeros(m), 0.0, u0, boundary="periodic")
                    d.evolve(t, steps)
                    figure = max(figure, largest(d.values()))
                drift.append(figure)
            own = []
            for a, t in cases:
                p = q.AdaptivePI.with_arrays(0.0, x[-1], m, np.full(m, a), b, np.zeros(m), 0.0, u0,
                                             tol_abs=1e-6, boundary="periodic")
                try:
                    own.append(f"{largest(p.evolve(t)):>15.4f}")
                except q.QuorvaneError as e:
                    own.append(f"{e.kind:>15}")
            print(f"  {m:>5}  {uname:<12}{span(read_range(u0)):<20}{cells(drift, '{:>9.4f}')}{''.join(own)}")


def long_jump(times):
    print("\n2c. Shift1D.with_arrays, 41 periodic nodes, b = sin 2 pi x, a = 0, jump data, steps of 0.64:"
          " max|u|")
    progress("the jump in steps of 0.64")
    m = 41
    x = nodes(m)
    u0 = np.where(x < 0.5, -1.0, 1.0)
    b = np.sin(2 * PI * x)
    counts = [int(round(t / 0.64)) for t in times]
    print(f"  {'t':<36}" + "".join(f"{t:>10g}" for t in times))
    for label, run in (("library", library), ("plain", plain)):
        row = [largest(run(m, 0.0, b, 0.0, u0, t, n)) for t, n in zip(times, counts)]
        print(f"  {label:<36}{cells(row, '{:>10.4f}')}")
    print(f"  {'read range of the data':<36}{span(read_range(u0))}")


def nd2(counts):
    print("\n2d. AnisotropicShiftND2, 41^2, A = 1e-6 I, noise drift, u0 = cos pi x cos pi y, t = 1: max|u|")
    progress("AnisotropicShiftND2")
    n = 41
    x = np.linspace(0.0, 1.0, n)
    b = np.random.default_rng(0).uniform(-1.0, 1.0, 2 * n * n)
    row = []
    for steps in counts:
        s = q.AnisotropicShiftND2(n, n, 0.0, 1.0, 0.0, 1.0, np.tile([1e-6, 0.0, 0.0, 1e-6], n * n), b_values=b)
        s.set_state(np.outer(np.cos(PI * x), np.cos(PI * x)).ravel(order="F"))
        s.evolve(1.0, n_steps=steps)
        row.append(largest(s.values()))
    print(f"  {'steps':<36}" + "".join(f"{c:>10}" for c in counts))
    print(f"  {'max|u|':<36}{cells(row, '{:>10.4f}')}")


def rebuilt_chain(make, u0, tau, counts):
    """max|u| after each count of calls of one step, a new object each call."""
    u, out = u0, []
    for k in range(1, max(counts) + 1):
        s = make(u)
        s.evolve(tau, 1)
        u = s.values()
        if k in counts:
            out.append(largest(u))
    return out


def kept_rows(quick):
    """The rows of 2f and 2g as {label: [figures]}, for this build."""
    n = 101
    x = np.arange(n) / n
    noise_b = np.random.default_rng(11).uniform(-1.0, 1.0, n)
    noise_u = np.random.default_rng(5).uniform(-1.0, 1.0, n)
    cos = np.cos(2 * PI * x)

    def shift(b):
        return lambda u: q.Shift1D.with_arrays(0.0, x[-1], n, np.zeros(n), b, np.zeros(n), 0.0, u,
                                               boundary="periodic")

    def drift(b, c):
        return lambda u: q.DriftReaction1D.with_arrays(0.0, x[-1], n, b, np.full(n, c), abs(c), u,
                                                       boundary="periodic")
    long = [300, 1000] if quick else [300, 1000, 3000]
    rows = {}
    for label, make, u0, counts, c, bmax in [
            ("Shift1D, 0.3 sin(6 pi x + 1)", shift(0.3 * np.sin(6 * PI * x + 1)), cos, long, 0.0, 0.3),
            ("Shift1D, sin 16 pi x", shift(np.sin(16 * PI * x)), cos, long, 0.0, 1.0),
            ("Shift1D, 0.5 sin 2 pi x", shift(0.5 * np.sin(2 * PI * x)), cos, long, 0.0, 0.5),
            ("Shift1D, noise", shift(noise_b), cos, [10, 100, 1000], 0.0, 1.0),
            ("DriftReaction1D, 10 noise, c = 3", drift(10 * noise_b, 3.0), noise_u, [10, 100], 3.0, 10.0)]:
        progress(f"rebuilt chain, {label}")
        tau = 0.1 / n / bmax
        rebuilt = rebuilt_chain(make, u0, tau, counts)
        one = []
        for k in counts:
            s = make(u0)
            s.evolve(tau * k, k)
            one.append(largest(s.values()))
        scale = [np.exp(c * tau * k) for k in counts]
        rows["2f " + label] = (counts, [v / g for v, g in zip(rebuilt, scale)], [v / g for v, g in zip(one, scale)])
    m = 41
    g = np.linspace(0.0, 1.0, m)
    X, Y = np.meshgrid(g, g, indexing="ij")
    rng = np.random.default_rng(1)
    bx, by = rng.uniform(-1.0, 1.0, (m, m)), rng.uniform(-1.0, 1.0, (m, m))
    bx[0, :], bx[-1, :], by[:, 0], by[:, -1] = 0.5, -0.5, 0.5, -0.5
    b2 = np.stack([bx.ravel(order="F"), by.ravel(order="F")], -1).ravel()
    counts = [100, 1000] if quick else [100, 1000, 10000]
    for label, u0 in [("ND2 41^2, x + y", X + Y), ("ND2 41^2, cos pi x cos pi y", np.cos(PI * X) * np.cos(PI * Y))]:
        row = []
        for k in counts:
            progress(f"linear faces, {label}, {k} steps")
            s = q.AnisotropicShiftND2(m, m, 0.0, 1.0, 0.0, 1.0, np.tile([1e-6, 0.0, 0.0, 1e-6], m * m), b_values=b2,
                                      boundary="linear")
            s.set_state(u0.ravel(order="F"))
            s.evolve(1.0, k)
            row.append((float(s.values().min()), float(s.values().max())))
        rows["2g " + label] = (counts, row, None)
    m = 9
    g = np.linspace(0.0, 1.0, m)
    P = np.meshgrid(g, g, g, indexing="ij")
    b3 = np.random.default_rng(2).uniform(-1.0, 1.0, (3, m, m, m))
    for a in range(3):
        first, last = [slice(None)] * 3, [slice(None)] * 3
        first[a], last[a] = 0, -1
        b3[a][tuple(first)], b3[a][tuple(last)] = 0.5, -0.5
    progress("linear faces, ND3")
    s = q.AnisotropicShiftND3(m, m, m, 0.0, 1.0, 0.0, 1.0, 0.0, 1.0, np.tile(np.eye(3).ravel() * 1e-6, m ** 3),
                              b_values=np.stack([c.ravel(order="F") for c in b3], -1).ravel(), boundary="linear")
    s.set_state(sum(P).ravel(order="F"))
    s.evolve(1.0, 100)
    rows["2g ND3 9^3, x + y + z"] = ([100], [(float(s.values().min()), float(s.values().max()))], None)
    rows.update(chain_rows(quick))
    return rows


def other_kept_rows(build, quick):
    env = dict(os.environ, PYTHONPATH=build)
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--kept"] + (["--quick"] if quick else []),
                         env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def kept(quick, compare):
    print("\n2f. state rebuilt from values() every call: max|u| (/ e^{3t} with c = 3); 2g. \"linear\" faces:"
          " [min u, max u]; 2h. rebuilt chains next to the ends and on drawn-out data: max|u| over the calls")
    new = kept_rows(quick)
    old = other_kept_rows(compare, quick) if compare else None

    def fmt(v):
        return f"[{v[0]:.4g}, {v[1]:.4g}]" if isinstance(v, (list, tuple)) else f"{v:.4g}"
    for label, (counts, rebuilt, one) in new.items():
        print(f"  {label}: at {', '.join(map(str, counts))}")
        print(f"    {'rebuilt' if one else 'after':<12}" + "  ".join(fmt(v) for v in rebuilt))
        if one:
            print(f"    {'one object':<12}" + "  ".join(fmt(v) for v in one))
        if old:
            print(f"    {'before':<12}" + "  ".join(fmt(v) for v in old[label][1]))


def chain_and_one(make, u0, tau, counts, measure=largest):
    """The largest measure(u) up to each count of calls of one step, a new object each call,
    and the same of one object stepped as often."""
    u, worst, rebuilt = u0, 0.0, []
    for k in range(1, max(counts) + 1):
        s = make(u)
        s.evolve(tau, 1)
        u = s.values()
        worst = max(worst, measure(u))
        if k in counts:
            rebuilt.append(worst)
    one, kept, kept_at = make(u0), 0.0, []
    for k in range(1, max(counts) + 1):
        one.evolve(tau, 1)
        kept = max(kept, measure(one.values()))
        if k in counts:
            kept_at.append(kept)
    return rebuilt, kept_at


def chain_rows(quick):
    """The rows of 2h as {label: (counts, rebuilt, one object)}."""
    def line(cls, n, b, boundary, periodic=False, a=0.0):
        xmax = 1.0 - 1.0 / n if periodic else 1.0
        if cls == "Shift1D":
            return lambda u: q.Shift1D.with_arrays(0.0, xmax, n, np.full(n, a), b, np.zeros(n), 0.0, u,
                                                   boundary=boundary)
        return lambda u: q.DriftReaction1D.with_arrays(0.0, xmax, n, b, np.zeros(n), 0.0, u, boundary=boundary)
    x75, x60, x64 = np.linspace(0.0, 1.0, 75), np.linspace(0.0, 1.0, 60), np.arange(64) / 64
    long = [1000, 3000] if quick else [1000, 3000, 10000, 30000]
    rows = {}
    for label, make, u0, tau, counts in [
            ("DriftReaction1D, 75 zero, b = sin 36 pi x", line("DriftReaction1D", 75, np.sin(36 * PI * x75), "zero"),
             np.cos(2 * PI * 74 / 6 * x75 + 0.3), 0.3 / 74, long),
            ("DriftReaction1D, 60 reflect", line("DriftReaction1D", 60, np.cos(24 * PI * x60), "reflect"),
             np.cos(10 * PI * x60 + 0.3), 0.1 / 59, long[:2]),
            ("Shift1D, 60 reflect", line("Shift1D", 60, np.cos(24 * PI * x60), "reflect"),
             np.cos(10 * PI * x60 + 0.3), 0.1 / 59, long[:2]),
            ("Shift1D, 101 reflect, alternating", line("Shift1D", 101, np.random.default_rng(11).uniform(-1, 1, 101),
                                                       "reflect"), (-1.0) ** np.arange(101), 0.1 / 100, long[:2]),
            ("DriftReaction1D, 64 periodic, 4 a wavelength",
             line("DriftReaction1D", 64, 0.5 * np.sin(2 * PI * x64), "periodic", True),
             np.cos(PI * np.arange(64) / 2 + 0.3), 0.2 / 64, long[:2])]:
        progress(f"rebuilt chain, {label}")
        rows["2h " + label] = (counts, *chain_and_one(make, u0, tau, counts))
    # Diffusion under "zero" ends: a noise drift U(-1, 1) of a seed on 64 nodes, jump data in
    # [-0.5, 1], tau = 0.3 dx / max|b|.
    x64e = np.linspace(0.0, 1.0, 64)
    jump = np.where(x64e < 0.37, -0.5, 1.0)

    def zero_ends(seed, a):
        b = np.random.default_rng(seed).uniform(-1.0, 1.0, 64)
        return line("Shift1D", 64, b, "zero", a=a), 0.3 / 63 / np.abs(b).max()
    for seed in (0, 5):
        progress(f"rebuilt chain, zero ends with diffusion, seed {seed}")
        make, tau = zero_ends(seed, 1e-3)
        rows[f"2h Shift1D, 64 zero, a = 1e-3, noise b of seed {seed}"] = \
            ([100] + long[:3], *chain_and_one(make, jump, tau, [100] + long[:3]))
    counts, seeds = ([100, 1000], range(8)) if quick else ([100, 300, 1000], range(20))
    rebuilt, one = [0.0] * len(counts), [0.0] * len(counts)
    for a in (1e-4, 3e-4, 1e-3, 3e-3, 1e-2):
        progress(f"rebuilt chains, zero ends with diffusion, a = {a:g}")
        for seed in seeds:
            make, tau = zero_ends(seed, a)
            r, o = chain_and_one(make, jump, tau, counts, lambda u: max(u.max() - 1.0, -0.5 - u.min(), 0.0))
            rebuilt, one = list(map(max, rebuilt, r)), list(map(max, one, o))
    rows[f"2h Shift1D, 64 zero, a = 1e-4 to 1e-2, seeds 0-{seeds[-1]}: beyond [-0.5, 1]"] = (counts, rebuilt, one)
    return rows


def negative_reaction_rows():
    """5a: {class: [worst ratio to the samples' bound at t = 3.33, at t = 10]}."""
    x = np.linspace(0.0, 1.0, 16)
    out = {}
    for cls in ("Shift1D", "DriftReaction1D", "AdaptivePI"):
        worst = [0.0, 0.0]
        for seed, stepped in ((0, False), (1, False), (3, False), (0, True)):
            rng = np.random.default_rng(seed)
            b, c = rng.uniform(-2.0, 2.0, 16), rng.uniform(-3.0, 0.0, 16)
            if stepped:
                c = np.where(x < 0.5, -0.05, -2.5)
            for u0 in (np.where(x < 0.5, 1.0, -0.5), np.cos(PI * x)):
                for j, t in enumerate((3.33, 10.0)):
                    if cls == "AdaptivePI":
                        u = q.AdaptivePI.with_arrays(0.0, 1.0, 16, np.zeros(16), b, c, 3.0, u0).evolve(t)
                    else:
                        s = (q.Shift1D.with_arrays(0.0, 1.0, 16, np.zeros(16), b, c, 3.0, u0) if cls == "Shift1D"
                             else q.DriftReaction1D.with_arrays(0.0, 1.0, 16, b, c, 3.0, u0))
                        s.evolve(t, 1000)
                        u = s.values()
                    worst[j] = max(worst[j], largest(u) / (largest(u0) * np.exp(t * c.max())))
        out[cls] = worst
    return out


def smooth_reaction_rows():
    """5b: {label: [errors]}."""
    from scipy.integrate import solve_ivp
    two = lambda y: np.cos(2 * PI * y) + 0.5 * np.sin(6 * PI * y)  # noqa: E731
    bvar = lambda y: 0.3 + 0.1 * np.sin(2 * PI * y)  # noqa: E731
    out = {}
    for cname, cf in (("-1 + 0.5 cos(2 pi x + 0.3)", lambda y: -1.0 + 0.5 * np.cos(2 * PI * y + 0.3)),
                      ("0.4 sin(4 pi x + 0.7)", lambda y: 0.4 * np.sin(4 * PI * y + 0.7))):
        n = 41
        x = nodes(n)
        M = 256
        xf = np.arange(M) / M
        k = 2 * PI * np.fft.fftfreq(M, 1 / M)

        def rhs(_, u):
            uh = np.fft.fft(u)
            return 0.002 * np.real(np.fft.ifft(-k * k * uh)) + bvar(xf) * np.real(np.fft.ifft(1j * k * uh)) + \
                cf(xf) * u
        end = solve_ivp(rhs, (0, 0.5), two(xf), method="DOP853", rtol=1e-12, atol=1e-13).y[:, -1]
        ref = np.real(np.exp(1j * np.outer(x, k)) @ (np.fft.fft(end) / M))
        errs = []
        for N in (100, 1000, 10000):
            s = q.Shift1D.with_arrays(0.0, x[-1], n, np.full(n, 0.002), bvar(x), cf(x), 1.0, two(x),
                                      boundary="periodic")
            s.evolve(0.5, N)
            errs.append(float(np.abs(s.values() - ref).max()))
        out[f"Shift1D, 41 nodes, c = {cname}"] = errs
        errs = []
        for tol in (1e-5, 1e-6, 1e-7):
            p = q.AdaptivePI.with_arrays(0.0, x[-1], n, np.full(n, 0.002), bvar(x), cf(x), 1.0, two(x), tol_abs=tol,
                                         tol_rel=0.0, boundary="periodic")
            errs.append(float(np.abs(p.evolve(0.5) - ref).max()))
        out[f"AdaptivePI, 41 nodes, c = {cname}"] = errs
        for n in (41, 81, 161):
            x = nodes(n)
            sol = solve_ivp(lambda _, z: np.r_[bvar(z[:n]), cf(z[:n])], (0, 1.0), np.r_[x, np.zeros(n)],
                            method="DOP853", rtol=1e-13, atol=1e-14).y[:, -1]
            exact = two(sol[:n]) * np.exp(sol[n:])
            errs = []
            for N in (100, 1000, 10000):
                d = q.DriftReaction1D.with_arrays(0.0, x[-1], n, bvar(x), cf(x), 1.0, two(x), boundary="periodic")
                d.evolve(1.0, N)
                errs.append(float(np.abs(d.values() - exact).max()))
            out[f"DriftReaction1D, {n} nodes, c = {cname}"] = errs
    # SI units and a reaction whose peaks fall between the nodes: the held read moves them to
    # the greatest sample, so the error depends on where the peaks lie; the phase sweeps one cell.
    L, n, t = 1000.0, 200, 1000.0
    x = np.arange(n) * (L / n)
    k = 16 * PI / L
    data = lambda y: np.cos(2 * PI * y / L) + 0.5 * np.sin(6 * PI * y / L)  # noqa: E731
    for j in range(8):
        phi = j * k * (L / n) / 8
        c = -1e-4 * (1.0 + 0.5 * np.cos(k * x + phi))
        exact = data(x + 0.5 * t) * np.exp(-1e-4 * (t + 0.5 * (np.sin(k * (x + 0.5 * t) + phi) - np.sin(k * x + phi))
                                                   / (0.5 * k)))
        errs = []
        for N in (100, 1000, 10000):
            d = q.DriftReaction1D.with_arrays(0.0, L - L / n, n, np.full(n, 0.5), c, 1.0, data(x), boundary="periodic")
            d.evolve(t, N)
            errs.append(float(np.abs(d.values() - exact).max()))
        out[f"DriftReaction1D, 200 nodes of [0, 1000 m), c = -1e-4(1 + 0.5 cos(16 pi x/L + {phi:.4f}))"] = errs
    return out


def reaction_data():
    return {"negative": negative_reaction_rows(), "smooth": smooth_reaction_rows()}


def other_reaction_rows(build):
    env = dict(os.environ, PYTHONPATH=build)
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--reaction"], env=env, check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def reactions(compare):
    progress("sampled reactions")
    new = reaction_data()
    old = other_reaction_rows(compare) if compare else None
    print("\n5a. a reaction negative at every node: the worst max|u| / (max|u0| e^{t max c_i})")
    print(f"  {'class':<20}{'t = 3.33':>10}{'t = 10':>10}" + (f"{'before':>12}{'':>10}" if old else ""))
    for cls, row in new["negative"].items():
        line = f"  {cls:<20}{row[0]:>10.4f}{row[1]:>10.4f}"
        if old:
            line += f"{old['negative'][cls][0]:>12.4f}{old['negative'][cls][1]:>10.4f}"
        print(line)
    print("\n5b. smooth c: max error (Shift1D at 100, 1000, 10^4 steps; AdaptivePI at tol_abs 1e-5 .. 1e-7;"
          " DriftReaction1D at 100, 1000, 10^4 steps)")
    for label, row in new["smooth"].items():
        line = f"  {label:<60}{cells(row)}"
        if old:
            line += "  before" + cells(old["smooth"][label]) + "  ratio " + \
                " ".join(f"{a / b:.3f}" for a, b in zip(row, old["smooth"][label]))
        print(line)


def nd_rebuilt_rows(quick):
    """The rows of 2i as {label: (counts, rebuilt, one object)}, for this build."""
    rows = {}
    for dim, n, drift, boundary in [(2, 21, "noise", "reflect"), (2, 21, "noise", "periodic"),
                                    (2, 21, "smooth", "reflect"), (2, 21, "smooth", "zero"),
                                    (2, 21, "smooth", "periodic"), (2, 21, "smooth", "linear"),
                                    (3, 9, "noise", "reflect"), (3, 9, "noise", "periodic")]:
        periodic = boundary == "periodic"
        g = np.arange(n) / n if periodic else np.linspace(0.0, 1.0, n)
        P = np.meshgrid(*([g] * dim), indexing="ij")
        u0 = np.prod([np.cos((2 if periodic else 1) * PI * p) for p in P], 0).ravel(order="F")
        if drift == "noise":
            b = np.random.default_rng(0).uniform(-0.5, 0.5, (dim,) + P[0].shape)
        else:
            b = np.stack([0.5 * np.sin(2 * PI * P[1]), 0.5 * np.cos(2 * PI * P[0])])
        if boundary == "linear":
            for a in range(dim):
                b[a][(slice(None),) * a + (0,)], b[a][(slice(None),) * a + (-1,)] = 0.5, -0.5
        b = np.stack([c.ravel(order="F") for c in b], -1).ravel()
        a = np.tile(1e-3 * np.eye(dim).ravel(), n ** dim)
        cls = q.AnisotropicShiftND2 if dim == 2 else q.AnisotropicShiftND3

        def make(u):
            s = cls(*([n] * dim), *([0.0, g[-1]] * dim), a, b_values=b, boundary=boundary)
            s.set_state(u)
            return s
        counts = ([30, 100] if quick else [30, 100, 300]) if dim == 2 else ([30] if quick else [30, 100])
        label = f"2i ND{dim} {n}^{dim}, {drift} drift, {boundary}"
        progress(f"rebuilt chain, {label}")
        rebuilt = rebuilt_chain(make, u0, 0.02, counts)
        s, one = make(u0), []
        for k in range(1, max(counts) + 1):
            s.evolve(0.02, 1)
            if k in counts:
                one.append(largest(s.values()))
        rows[label] = (counts, rebuilt, one)
    return rows


def nd_rebuilt(quick, compare):
    print("\n2i. 2-D and 3-D states rebuilt from values() every call: max|u| / max|u0|")
    new = nd_rebuilt_rows(quick)
    old = None
    if compare:
        env = dict(os.environ, PYTHONPATH=compare)
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--nd-rebuilt"] +
                             (["--quick"] if quick else []), env=env, check=True, capture_output=True, text=True)
        old = json.loads(out.stdout.strip().splitlines()[-1])
    for label, (counts, rebuilt, one) in new.items():
        print(f"  {label}: at K = {', '.join(map(str, counts))}")
        print(f"    {'rebuilt':<12}" + "  ".join(f"{v:.4g}" for v in rebuilt))
        print(f"    {'one object':<12}" + "  ".join(f"{v:.4g}" for v in one))
        if old:
            print(f"    {'before':<12}" + "  ".join(f"{v:.4g}" for v in old[label][1]))


def constant_drift(counts):
    print("\n2e. Shift1D, a = 0, b = 0.3, t = 1, 101 periodic nodes: max|u|")
    m = 101
    x = nodes(m)
    print(f"  {'data':<12}{'read range':<24}{'read':<9}" + "".join(f"{c:>10}" for c in counts))
    for uname, u0 in list(data(m).items())[1:]:
        progress(f"constant drift, {uname}")
        lib = []
        for steps in counts:
            s = q.Shift1D(0.0, x[-1], m, u0, a=0.0, b=0.3, c=0.0, boundary="periodic")
            s.evolve(1.0, steps)
            lib.append(largest(s.values()))
        pl = [largest(plain(m, 0.0, np.full(m, 0.3), 0.0, u0, 1.0, steps)) for steps in counts]
        print(f"  {uname:<12}{span(read_range(u0)):<24}{'library':<9}{cells(lib, '{:>10.4f}')}")
        print(f"  {'':<36}{'plain':<9}{cells(pl, '{:>10.4f}')}")


# ---------------------------------------------------------------------------------------
# 3. continuity

def continuity():
    print("\n3. continuity in the drift")
    m = 101
    x = nodes(m)
    u0 = np.where(x < 0.5, -1.0, 1.0)
    progress("b = 0 against one sample 1e-300")
    tiny = np.zeros(m)
    tiny[50] = 1e-300
    for steps in (50, 1000):
        moved = [float(np.abs(run(m, 0.01, tiny, 0.0, u0, 0.5, steps) - run(m, 0.01, np.zeros(m), 0.0, u0, 0.5,
                                                                            steps)).max())
                 for run in (library, plain)]
        print(f"  b = 0 against b[50] = 1e-300, {steps:>4} steps: max|change| {moved[0]:.3g} (plain {moved[1]:.3g})")
    progress("one drift sample moved")
    b = 0.3 + 0.1 * np.sin(2 * PI * x)

    def drift(bs):
        d = q.DriftReaction1D.with_arrays(0.0, x[-1], m, bs, np.zeros(m), 0.0, u0, boundary="periodic")
        d.evolve(1.0, 200)
        return d.values()

    runs = {"DriftReaction1D.with_arrays": drift,
            "Shift1D.with_arrays, a = 0.01": lambda bs: library(m, 0.01, bs, 0.0, u0, 1.0, 200),
            "plain, a = 0.01": lambda bs: plain(m, 0.01, bs, 0.0, u0, 1.0, 200)}
    for label, run in runs.items():
        base = run(b)
        row = []
        for d in (1e-13, 1e-9):
            worst = 0.0
            for k in range(m):
                moved = b.copy()
                moved[k] += d
                worst = max(worst, float(np.abs(run(moved) - base).max()) / d)
            row.append(worst)
        print(f"  {label:<32}one sample moved by d: max|change| / d = {row[0]:.3g} (d = 1e-13), "
              f"{row[1]:.3g} (d = 1e-9)")


# ---------------------------------------------------------------------------------------
# 4. cost

def timings(repeats):
    """Seconds per step, on one processor, of each transport row and of its heat step."""
    n = 1001
    x = np.linspace(0.0, 1.0, n)
    u0 = np.cos(PI * x)
    noise = np.random.default_rng(0).uniform(-1.0, 1.0, n)
    smooth = 0.3 + 0.1 * np.sin(2 * PI * x)
    steps = 400

    def shift(b):
        s = q.Shift1D.with_arrays(0.0, 1.0, n, np.full(n, 0.01), b, np.zeros(n), 0.0, u0)
        return lambda: s.evolve(0.04, steps), steps

    def drift(b):
        d = q.DriftReaction1D.with_arrays(0.0, 1.0, n, b, np.zeros(n), 0.0, u0)
        return lambda: d.evolve(0.04, steps), steps

    def heat1d():
        h = q.Heat1D(0.0, 1.0, n, u0)
        return lambda: h.evolve(steps * 0.3e-6, steps), steps

    m = 41
    xm = np.linspace(0.0, 1.0, m)
    um = np.outer(np.cos(PI * xm), np.cos(PI * xm)).ravel(order="F")

    def nd2():
        s = q.AnisotropicShiftND2(m, m, 0.0, 1.0, 0.0, 1.0, np.tile([0.01, 0.0, 0.0, 0.01], m * m),
                                  b_values=np.random.default_rng(0).uniform(-1.0, 1.0, 2 * m * m))
        s.set_state(um)
        return lambda: s.evolve(4e-3, n_steps=40), 40

    def heat2d():
        h = q.Heat2D(0.0, 1.0, m, 0.0, 1.0, m)
        return lambda: h.evolve(um, 0.3 / (m - 1) ** 2, 40), 40

    rows = {"Shift1D, noise drift": (shift(noise), "heat1d"), "Shift1D, smooth drift": (shift(smooth), "heat1d"),
            "DriftReaction1D, noise drift": (drift(noise), "heat1d"),
            "DriftReaction1D, smooth drift": (drift(smooth), "heat1d"),
            "AnisotropicShiftND2, 41^2": (nd2(), "heat2d")}
    heat = {"heat1d": heat1d(), "heat2d": heat2d()}

    def per_step(fn_steps):
        fn, count = fn_steps
        return on_one_processor(lambda: best_time(fn, repeats))[0] / count

    heat_times = {k: per_step(v) for k, v in heat.items()}
    return {"module": q.__file__,
            "rows": {label: (per_step(run), heat_times[ref]) for label, (run, ref) in rows.items()}}


def other_timings(build, repeats):
    env = dict(os.environ, PYTHONPATH=build)
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--timings", str(repeats)], env=env,
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def cost(repeats, compare):
    print("\n4. time per step, one processor, best of", repeats, "(heat: Heat1D on the same 1001 nodes,"
          " Heat2D on 41^2)")
    rounds = 2 if compare else 1
    new, old, old_module = None, None, None
    for r in range(rounds):
        progress(f"timings, round {r + 1}")
        this = timings(repeats)["rows"]
        new = this if new is None else {k: tuple(map(min, new[k], this[k])) for k in new}
        if compare:
            progress(f"timings of {compare}, round {r + 1}")
            that = other_timings(compare, repeats)
            old_module, that = that["module"], that["rows"]
            old = that if old is None else {k: tuple(map(min, old[k], that[k])) for k in old}
    head = f"  {'step':<32}{'us/step':>10}{'/ heat':>9}"
    if compare:
        head += f"{'old us':>10}{'old / heat':>12}{'new/old':>9}{'over heat':>11}"
    print(head)
    for label, (t, h) in new.items():
        line = f"  {label:<32}{t * 1e6:>10.2f}{t / h:>9.2f}"
        if compare:
            to, ho = old[label]
            line += f"{to * 1e6:>10.2f}{to / ho:>12.2f}{t / to:>9.2f}{(t / h) / (to / ho):>11.2f}"
        print(line)
    if compare:
        print(f"  new: {q.__file__}\n  old: {old_module}")


# ---------------------------------------------------------------------------------------
# 6. the cost of reading the 2-D and 3-D range

def set_state_grids(quick):
    return [(3, 32), (2, 200)] if quick else [(3, 32), (3, 80), (2, 200), (2, 1000)]


def set_state_data(dim, n):
    g = np.linspace(0.0, 1.0, n)
    P = [p.ravel(order="F") for p in np.meshgrid(*([g] * dim), indexing="ij")]
    size = n ** dim
    return {"noise": np.random.default_rng(1).uniform(-1.0, 1.0, size),
            "cos(1e-3 k)": np.cos(1e-3 * np.arange(size)),
            "cosines": np.prod([np.cos(2 * PI * p + ph) for p, ph in zip(P, (0.3, 0.7, 1.1))], 0),
            "Gaussian": np.exp(-sum((p - 0.4) ** 2 for p in P) / 0.05),
            "tanh z": np.tanh(10.0 * (P[-1] - 0.5))}


def set_state_rows(quick):
    """{label: seconds} of set_state and of one step, this build."""
    def best(fn):
        times = []
        while len(times) < 5 and sum(times) < 1.5:
            times.append(on_one_processor(lambda: best_time(fn, 1))[0])
        return min(times)

    out = {}
    for dim, n in set_state_grids(quick):
        size = n ** dim
        cls = q.AnisotropicShiftND3 if dim == 3 else q.AnisotropicShiftND2
        s = cls(*([n] * dim), *([0.0, 1.0] * dim), np.tile(1e-3 * np.eye(dim).ravel(), size),
                b_values=np.random.default_rng(0).uniform(-0.5, 0.5, dim * size))
        grid = f"{n}^{dim}"
        for name, u in set_state_data(dim, n).items():
            progress(f"set_state, {grid}, {name}")
            out[f"{grid} set_state {name}"] = best(lambda: s.set_state(u))
            if name in ("noise", "cos(1e-3 k)") and size <= 40000:
                s.set_state(u)
                out[f"{grid} step {name}"] = best(lambda: s.evolve(1e-3, 1))
    return out


def other_set_state_rows(python, build, quick):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if build:
        env["PYTHONPATH"] = build
    out = subprocess.run([python, os.path.abspath(__file__), "--set-state-json"] + (["--quick"] if quick else []),
                         env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def set_state_cost(quick, compare, against):
    print("\n6. set_state and one step of the 2-D and 3-D shifts, one processor: seconds, and / noise's")
    others = [(f"--compare {compare}", sys.executable, compare)] if compare else []
    others += [(python, python, None) for python in against or []]
    new = set_state_rows(quick)
    old = []
    for label, python, build in others:
        progress(f"set_state of {label}")
        old.append(other_set_state_rows(python, build, quick))
    head = f"  {'':<30}{'s':>9}{'/ noise':>9}"
    for k in range(len(others)):
        head += f"{f'[{k + 1}] s':>10}{'/ noise':>9}{'new/old':>9}"
    print(head)
    for label, t in new.items():
        grid, what, _ = label.split(" ", 2)
        noise = new[f"{grid} {what} noise"]
        line = f"  {label:<30}{t:>9.4f}{t / noise:>9.2f}"
        for rows in old:
            to = rows[label]
            line += f"{to:>10.4f}{to / rows[f'{grid} {what} noise']:>9.2f}{t / to:>9.3f}"
        print(line)
    print(f"  new: {q.__file__}")
    for k, (label, _, _) in enumerate(others):
        print(f"  [{k + 1}]: {label}")


def main():
    def add(p):
        p.add_argument("--compare", metavar="BUILD_DIR", help="time the same steps of the module in BUILD_DIR")
        p.add_argument("--timings", type=int, help=argparse.SUPPRESS)
        p.add_argument("--kept", action="store_true", help=argparse.SUPPRESS)
        p.add_argument("--reaction", action="store_true", help=argparse.SUPPRESS)
        p.add_argument("--nd-rebuilt", action="store_true", help=argparse.SUPPRESS)
        p.add_argument("--against", metavar="PYTHON", action="append",
                       help="time section 6 also with the module this interpreter imports (repeatable)")
        p.add_argument("--set-state", action="store_true", help="run section 6 alone")
        p.add_argument("--set-state-json", action="store_true", help=argparse.SUPPRESS)

    args = options(__doc__, "about 12 min", "about 2 min", add=add)
    if args.timings:
        print(json.dumps(timings(args.timings)))
        return
    if args.kept:
        print(json.dumps(kept_rows(args.quick)))
        return
    if args.reaction:
        print(json.dumps(reaction_data()))
        return
    if args.nd_rebuilt:
        print(json.dumps(nd_rebuilt_rows(args.quick)))
        return
    if args.set_state_json:
        print(json.dumps(set_state_rows(args.quick)))
        return
    if args.set_state:
        set_state_cost(args.quick, args.compare, args.against)
        return
    quick = args.quick
    named_cases([100, 1000, 10000] if quick else [100, 1000, 10000, 100000])
    random_comparison(8 if quick else 30, [100, 1000] if quick else [100, 1000, 10000])
    adaptive((1e-5, 1e-6, 1e-7))
    split_classes([100, 1000] if quick else [100, 1000, 10000])
    drift_order([25, 50, 100] if quick else [25, 50, 100, 200, 400, 800])
    counts = [100, 1000] if quick else [100, 1000, 10000]
    rough_drift_rows(counts)
    noise_drift_classes(counts)
    long_jump([0.64, 6.4, 64.0] if quick else [0.64, 6.4, 64.0, 640.0])
    nd2([100] if quick else [100, 1000])
    constant_drift([1000, 10000] if quick else [1000, 10000, 100000])
    kept(quick, args.compare)
    nd_rebuilt(quick, args.compare)
    continuity()
    reactions(args.compare)
    cost(1 if quick else 5, args.compare)
    set_state_cost(quick, args.compare, args.against)


if __name__ == "__main__":
    main()
