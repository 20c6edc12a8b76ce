"""What every flow keeps, checked on generated calls across the whole accepted range.

Every exported class and function is found in ``quorvane.__all__`` (as the hostile-call suite
finds them) and looked up in ``property_tables.FLOWS``, a short declarative row per name: how to
build it and read its values, and which invariants its flow keeps to what tolerance (with the
reason). A name with no row fails its case, so a new class is covered from the day it lands.

Each row runs on derandomised draws (numpy default_rng, one seed per class and draw): lengths
and data from 1e-300 to 1e300 (data up to 2^1020 through the scaling), t and tau from 5e-324 to
1.7e308, steps of r = tau a / dx^2 up to past the largest the class takes, coefficients of every
size. For every call that succeeds:

- finite values;
- the bound max|u| <= max|u0| e^{t max c} (1 + the row's stated overshoot), or on the 2-norm;
- mass, sum(w u), where the flow keeps it;
- linearity: u0 -> k u0 (k = 3 or a power of two) gives k times the values;
- constants (times the row's factor, e.g. e^{-kappa t}) where the flow keeps them;
- chained calls (n/2 steps twice) equal one call, bit for bit where the class promises it;
- length scaling: the same call with every length multiplied by 2^j (and t, the coefficients
  and positions by the powers the row states) gives the same values.
- a state rebuilt from values() before each of the chained calls gives the one object's values
  (or, where the object holds more than its values, the range its steps clip to, stays within
  the bound, and each of the first steps of an object rebuilt from one object's values() gives
  that object's bits but where a clip acted, which leaves a value at an extreme of its result);
- references (``property_tables.REFS``): fixed draws at ordinary scales whose values must meet
  the flow's own (an exact solution, or SciPy's exponential of the class's semi-discrete
  operator) within the class's error there.

Each row's checks are also run on calls made wrong on purpose: one that returns its data, one
that evolves t/2, and one that turns the drift (or t, where the class takes negative times).
Each must give findings, or ``test_row_reports_a_mutated_call`` fails: a check that passes a
wrong rate checks nothing. A row with no reference says why in ``property_tables.NO_REF``.

Every refusal must name what passes: a count ("n_steps >= K": K, K+1, 1.1K, 2K and 10K are run
on a fresh object; "n_steps = K runs": K; a count past the row's cap must take steps within the
step bound the refusal names, and the least such count for a t is started and must be admitted,
still working after QUICK seconds, since a refusal comes before any work), a tau or a range
of steps, a longest t or a data scale (each used once on a fresh object), unless the row lists
it as a refusal that names nothing by design; a partner call (the data scaled, the lengths
scaled) may not be refused where the call itself passed without naming what passes.

Faults still open are listed in ``property_tables.KNOWN``, each with the one check that reports
it, a pattern its findings match, the kind of error they carry and the draws that show it (the
first run at every budget): its findings there are reported by a strict xfail case of their own
(which fails once the fault is mended, so that the entry is removed), not by the class's case. A
finding of another check or kind, or at another draw, is the class's.
QUORVANE_PROPERTY_NO_KNOWN=1 ignores the list.

Classes run in groups, each group in a subprocess with a timeout; each call is armed with a
timer, so a hang or a grind fails its case within CALL_LIMIT. QUORVANE_PROPERTY_EXAMPLES sets the
generated draws per class (default 48; the fixed draws always run). Run directly to see one
class's findings with their draws: ``python3 test_properties.py EXAMPLES NAME...``.
"""

import concurrent.futures
import copy
import json
import math
import os
import re
import signal
import subprocess
import sys
import time
import traceback
import types

import numpy as np
import pytest

EXAMPLES = int(os.environ.get("QUORVANE_PROPERTY_EXAMPLES", "48"))
NO_KNOWN = os.environ.get("QUORVANE_PROPERTY_NO_KNOWN", "") not in ("", "0")
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
CALL_LIMIT = 10.0 * (5 if SANITIZED else 1)  # seconds: a call past it is a hang or a grind
# seconds after which a named count past the row's cap, started on a fresh object, counts as
# admitted: a refusal comes before any work
QUICK = 0.2 * (5 if SANITIZED else 1)
CLASS_LIMIT = (60.0 + 3.0 * EXAMPLES) * (5 if SANITIZED else 1)  # seconds a class may take in all
GROUP_SIZE = 3
START = "checking "
TINY = 2.0**-1016  # an absolute floor: below it values are subnormal rounding
BIG = 2.0**1023  # a result this large may leave the doubles: its refusal need name nothing

NUM = r"([0-9][0-9.]*(?:e[-+]?\d+)?)"
# A count argument as a refusal names it (Howland1D takes its n_t - 1 steps through n_t).
COUNT = r"(?:n_(?:steps(?:_per_segment)?|chernoff)|\(n_t - 1\))"
# What a refusal names, and the calls that must then pass: (pattern, trials(match, t, n)).
COUNTS = [  # (t, n_steps) pairs, t the refused call's
    # Every count from K on: K, K + 1, 1.1 K (where windows of refused counts were), 2 K, 10 K.
    (COUNT + r" >= (\d+)", lambda m, t: [(t, k) for k in sorted({
        int(m[1]), int(m[1]) + 1, math.ceil(1.1 * int(m[1])), 2 * int(m[1]), 10 * int(m[1])})]),
    (r"(\d+) <= n_steps <= (\d+)", lambda m, t: [(t, int(m[1])), (t, int(m[2]))]),
    (r"(?<!<= )n_steps <= (\d+)", lambda m, t: [(t, int(m[1]))]),
    (r"n_steps = (\d+) runs", lambda m, t: [(t, int(m[1]))]),
]
STEPS = [  # (t, n_steps) pairs; n is the refused call's count, where the text names none
    (r"(?:largest admissible (?:tau|h)(?: is| =)?|admissible tau <=|tau must be <=|(?<![\w|*] )tau <=|up to tau =)"
     r"\s*" + NUM, lambda m, g, n: [(float(m[1]), 1)]),
    (r"(?:admissible steps|t must) lie in \[" + NUM + ", " + NUM + r"\]",
     lambda m, g, n: [(float(m[1]), 1), (float(m[2]), 1)]),
    # A strict bound printed to four digits: a step 1 % inside it.
    (r"dx² = " + NUM + r", ‖a‖_∞ = " + NUM + r" \(need 2·tau·‖a‖_∞ < dx²\)",
     lambda m, g, n: [(0.99 * float(m[1]) / (2 * float(m[2])), 1)]),
    (r"rho_bar_max = " + NUM + r", tau = .*>= pi/2", lambda m, g, n: [(0.99 * (math.pi / 2) / float(m[1]), 1)]),
    (r"(?:(?<![\w|])t(?:_final)? <=|serves (?:t|tau|\|tau\|) up to) " + NUM + r"(?![\w.+-]| \(" + COUNT + ")",
     lambda m, g, n: [(float(m[1]), n)]),
    (r"one call serves t(?:_final| = n_steps \* (?:tau|h))? <= " + NUM + r" \(" + COUNT + r" = (\d+)\)",
     lambda m, g, n: [(float(m[1]), int(m[2]))]),
    (r"at most (\d+)\).*longest t served in one call is " + NUM, lambda m, g, n: [(float(m[2]), int(m[1]))]),
]
SCALE = r"max\|(?:[uw]0|v)\| <= " + NUM
# The step bound a refusal names and searched its counts against: each count it names takes steps
# within it.
SEARCHED = r"(?:largest admissible tau(?: is| =)|steps of tau <=) " + NUM
# a range of the grid or a coefficient
RANGE = r"must have a finite, normal square (dx|h)\^2|below c = |a grid of \d+ nodes with xmax - xmin >= "


class CallTimeout(BaseException):
    pass


def timed(fn, *args, limit=CALL_LIMIT):
    """('ok', value) or ('refused', text) or ('hung', None); other exceptions propagate."""
    import quorvane as q
    signal.setitimer(signal.ITIMER_REAL, limit)
    try:
        return "ok", fn(*args)
    except q.QuorvaneError as e:
        return "refused", str(e)
    except CallTimeout:
        return "hung", None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)


def norm(v):
    """The 2-norm without overflow or underflow of the squares."""
    top = float(np.max(np.abs(v))) if v.size else 0.0
    return top * float(np.linalg.norm(v / top)) if top > 0 else 0.0


class Checker:
    """Runs one row's draws and records counts, findings and the known faults met."""

    def __init__(self, row, tables, run=None, strict=False):
        self.row, self.tables, self.run, self.strict = row, tables, run or row.run, strict
        self.counts = {"calls": 0, "refused": 0, "checks": 0, "named": 0, "searched": 0, "started": 0, "untried": 0}
        self.findings, self.known = [], {}

    def fail(self, check, g, detail):
        key = None if NO_KNOWN or self.strict else self.tables.known_key(self.row.name, check, detail, g)
        if key is not None:
            self.known.setdefault(key, f"{detail} (draw {self.tables.describe(g)})")
        elif len(self.findings) < 12:
            self.findings.append({"check": check, "draw": self.tables.describe(g), "detail": detail})

    def call(self, g, u0, parts, run=None, limit=CALL_LIMIT):
        """('ok', value), ('refused', text) or ('hung', None) and ('panic', text), both reported;
        ('started', None) for a call still working after a limit below CALL_LIMIT."""
        self.counts["calls"] += 1
        try:
            status, value = timed(run or self.run, g, u0, parts, limit=limit)
        except (TypeError, ValueError, OverflowError, MemoryError) as e:  # the row's own arithmetic
            return "refused", f"{type(e).__name__}: {e}"
        if status == "hung" and limit < CALL_LIMIT:
            return "started", None
        if status == "refused":
            self.counts["refused"] += 1
            if value.startswith("[Panic]"):
                self.fail("panic", g, f"{parts}: {value}")
                return "panic", value
        elif status == "hung":
            self.fail("hang", g, f"{parts}: no answer in {CALL_LIMIT:g} s")
        return status, value

    # --- references ----------------------------------------------------------------------
    def reference(self, index, r):
        """The row's call on a reference draw against the values its flow gives there."""
        g = types.SimpleNamespace(draw=f"reference {index}", **r.pin)
        g.tau = g.t / g.n_steps
        u0 = g.data(g) if callable(getattr(g, "data", None)) else self.tables.cos_data(g, getattr(g, "dim", 1))
        status, v = self.call(g, u0, [(g.t, g.n_steps)])
        if status == "refused":
            self.fail("reference", g, f"the reference call is refused: {v}")
        elif status == "ok":
            want = self.tables.flat(r.want(g, u0))[r.pick]
            got = self.tables.flat(v)[r.pick]
            self.close("reference", g, got, want, r.tol, float(np.max(np.abs(want))), "against its flow: ")

    # --- named numbers -------------------------------------------------------------------
    def named(self, g, u0, t, n, text):
        """Uses what the refusal names on fresh objects; False when it names nothing."""
        trials = [(f"n_steps = {k} for t = {tt!r}", u0, [(tt, k)])
                  for p, f in COUNTS for m in re.finditer(p, text) for tt, k in f(m, t)]
        trials += [(f"t = {tt!r} in {k} steps", u0, [(tt, k)])
                   for p, f in STEPS + self.row.names for m in re.finditer(p, text) for tt, k in f(m, g, n)]
        top = float(np.max(np.abs(self.tables.flat(u0))))
        trials += [(f"u0 scaled to max|u0| = {m[1]}", u0 * (float(m[1]) / top), [(t, n)])
                   for m in re.finditer(SCALE, text) if top > 0]
        if not trials:
            return re.search(RANGE, text) is not None
        costly = any(re.search(p, text) for p in self.row.costly)
        searched, started = [float(m[1]) for m in re.finditer(SEARCHED, text)], set()
        for what, data, parts in trials:
            if costly or not parts[0][0] / parts[0][1] > 0.0:
                self.counts["untried"] += 1
                continue
            if parts[0][1] > self.row.count_cap:
                self.beyond_cap(g, data, *parts[0], what, text, searched, started)
                continue
            self.counts["named"] += 1
            status, value = self.call(g, data, parts)
            if status == "refused" and any(re.search(p, value) for p in self.row.refuses):
                continue  # a t no call serves, by design (the row says which texts)
            if status == "refused" or status == "ok" and not np.isfinite(self.tables.flat(value)).all():
                got = value if status == "refused" else "non-finite values"
                self.fail("named number", g, f"{what}: {got} (the refusal: {text})")
        return True

    def beyond_cap(self, g, u0, t, n, what, text, searched, started):
        """A named count past the row's cap: its steps lie within the step bound the refusal
        names, and the least count named for each t, started on a fresh object, is admitted
        (still working after QUICK seconds, or done with finite values)."""
        if searched:
            self.counts["searched"] += 1
            if not t / n <= min(searched):
                self.fail("named number", g, f"{what}: its steps of {t / n!r} exceed the named step bound "
                                             f"{min(searched)!r} (the refusal: {text})")
        if t in started:
            return
        started.add(t)
        self.counts["started"] += 1
        status, value = self.call(g, u0, [(t, n)], limit=QUICK)
        if status == "refused" and value.startswith("[") and not any(re.search(p, value) for p in self.row.refuses) \
                or status == "ok" and not np.isfinite(self.tables.flat(value)).all():
            got = value if status == "refused" else "non-finite values"
            self.fail("named number", g, f"{what}: {got} (the refusal: {text})")

    # --- invariants ----------------------------------------------------------------------
    def close(self, check, g, got, want, tol, scale, note=""):
        """got == want to tol * scale; tol 0.0 asks for the same bits."""
        self.counts["checks"] += 1
        got, want = self.tables.flat(got), self.tables.flat(want)
        if got.shape != want.shape:
            self.fail(check, g, f"shape {got.shape} against {want.shape}")
            return
        err = float(np.max(np.abs(got - want))) if got.size else 0.0
        ok = np.array_equal(got, want) if tol == 0.0 else np.abs(got - want) <= tol * np.asarray(scale) + TINY
        if not np.all(ok):
            against = "the same bits" if tol == 0.0 else f"{tol:g} x {np.max(scale):.3g}"
            self.fail(check, g, f"{note}max error {err:.3g} against {against}")

    def bounds(self, g, u0, v, t, check="bound"):
        row, flat, growth = self.row, self.tables.flat, self.row.growth(g, t)
        bound, norm2 = row.get("bound", g), row.get("norm2", g)
        for tol, size, what in ((bound, lambda a: float(np.max(np.abs(a))), "max|u|"), (norm2, norm, "|u|_2")):
            if tol is not None:
                self.counts["checks"] += 1
                before, after = size(flat(u0)), size(flat(v))
                if not after <= before * growth * (1.0 + tol) + TINY:
                    self.fail(check, g, f"{what} = {after:.6g} > {before:.6g} x growth {growth:.6g} x (1 + {tol:g})")
        if check != "bound":
            return
        unitary = row.get("unitary", g)
        if unitary is not None:
            self.close("unitary", g, norm(flat(v)), norm(flat(u0)), unitary, norm(flat(u0)))
        mass = row.get("mass", g)
        if mass is not None:
            got, want, scale = row.mass_of(g, u0, v, t)
            if np.isfinite(want).all():  # else the flow's factor leaves the doubles: nothing to check
                self.close("mass", g, got, want, mass, scale, f"values of size {np.max(scale):.1e}: ")

    def steps_beside(self, g, u0):
        """Steps of one object, each beside an object rebuilt from its values(): the same bits but
        where either one's clip acted, which leaves a value at an extreme of its result."""
        try:
            status, pairs = timed(self.row.beside, g, u0, g.tau, min(g.n_steps, 4))
        except (TypeError, ValueError, OverflowError):  # the row's own arithmetic
            return
        if status != "ok":  # a single step refused or hung: the draw's own calls say what
            return
        for j, (one, again) in enumerate(pairs):
            self.counts["checks"] += 1
            clipped = np.isin(one, [one.min(), one.max()]) | np.isin(again, [again.min(), again.max()])
            odd = (one != again) & ~clipped
            if odd.any():
                err = float(np.max(np.abs(one - again)[odd]))
                self.fail("rebuilt state", g, f"step {j + 1} of an object rebuilt from values(): {int(odd.sum())} "
                                              f"of {one.size} values differ from one object's by up to {err:.3g}, "
                                              "not at a clip")
                return

    def partners(self, g, u0, t, n, rng):
        """The calls that must give values tied to the call's: (check, draw, data, parts, k)."""
        row, flat = self.row, self.tables.flat
        out = []
        if row.get("lin", g) is not None:
            e = math.log2(float(np.max(np.abs(flat(u0)))) or 1.0)
            up, down = math.floor(math.log2(row.data_max) - e), math.ceil(math.log2(1e-300) - e)
            k = 3.0 if rng.random() < 0.4 else 2.0 ** int(rng.integers(-60, 61))
            if rng.random() < 0.3:  # to the ends of the range of data
                k = 2.0 ** max(-1020, min(1020, up if rng.random() < 0.5 else down))
            k = min(k, 2.0 ** max(-1020, min(1020, up)))
            k = getattr(g, "k", k)
            out.append(("linearity", g, u0 * k, [(t, n)], k))
        if row.get("const", g) is not None:
            out.append(("constant", g, row.const_data(g, u0), [(t, n)], 1.0))
        if row.get("chain", g) is not None and n % 2 == 0:
            out.append(("chained calls", g, u0, [(t / 2, n // 2)] * 2, 1.0))
            k = getattr(g, "rebuild_k", 2)  # calls, each on an object built from the last values()
            if row.rebuilt is not None and row.rebuilt_tol is not False and self.run is row.run and n % k == 0:
                out.append(("rebuilt state", g, u0, [(t / k, n // k)] * k, 1.0))
        g2 = self.tables.rescale(g, row, rng)
        if g2 is not None:
            out.append(("length scaling", g2, row.rescale_data(g, g2, u0), [(g2.t, n)], 1.0))
        return out

    def run_draw(self, index):
        row, flat = self.row, self.tables.flat
        g, rng = self.tables.draw(row, index)
        u0 = g.data(g) if callable(getattr(g, "data", None)) else row.data(g, rng)
        t, n = g.t, g.n_steps
        status, v = self.call(g, u0, [(t, n)])
        partners = self.partners(g, u0, t, n, rng)
        if status in ("hung", "panic"):  # reported
            return
        top = float(np.max(np.abs(flat(u0))))
        if status == "refused":
            if self.named(g, u0, t, n, v) or top * row.growth(g, t) > BIG:  # or the result leaves the doubles
                return
            if not any(re.search(p, v) for p in row.refuses):
                self.fail("refusal names nothing that passes", g, f"t = {t!r}, n = {n}: {v}")
                return
            for check, gp, data, parts, k in partners:  # by design, so larger data are refused too
                if check == "linearity" and k >= 1.0 and self.call(gp, data, parts)[0] == "ok":
                    self.fail("linearity", g, f"refused where the data times {k:g} passed: t = {t!r}, n = {n}: {v}")
            return
        if not np.isfinite(flat(v)).all():
            self.fail("finite", g, "a successful call returned non-finite values")
            return
        self.bounds(g, u0, v, t)
        mag = max(top, float(np.max(np.abs(flat(v)))) if flat(v).size else 0.0)
        for check, gp, data, parts, k in partners:
            status2, w = self.call(gp, data, parts, row.rebuilt if check == "rebuilt state" else None)
            if status2 in ("hung", "panic"):  # reported
                continue
            if status2 == "refused":
                # The partner's own result: k^p v, or v in the scaled draw's units.
                own = np.float64(abs(k)) ** row.lin_power * flat(v) if check == "linearity" else \
                    flat(v) / flat(row.rescale_result(g, gp, np.ones_like(flat(v)))) if check == "length scaling" else v
                by_design = any(re.search(p, w) for p in row.refuses) and (check == "length scaling" or k > 1.0)
                if not (self.named(gp, data, *parts[0], w) or np.max(np.abs(own), initial=0.0) > BIG or by_design):
                    what = f"data times {k:g}" if check == "linearity" else \
                        f"lengths times {gp.L / g.L:g}" if check == "length scaling" else check
                    self.fail(check, gp, f"{what}: refused where the call itself passed: {w}")
            elif not np.isfinite(flat(w)).all():
                self.fail("finite", gp, f"{check}: a successful call returned non-finite values")
            elif check == "linearity":  # in the scaled call's units, or the unscaled one's past the doubles
                kp = np.float64(k) ** row.lin_power
                note = f"data times {k:g}, values of size {abs(kp) * mag:.1e}: "
                if abs(kp) * mag < BIG:
                    self.close(check, g, w, kp * flat(v), row.get("lin", g), abs(kp) * mag, note)
                else:
                    self.close(check, g, flat(w) / kp, v, row.get("lin", g), mag, note)
            elif check == "constant":  # to the size of the values, or of a result's for a constant's 0
                want = flat(row.const_want(g, t, data))
                if np.isfinite(want).all():  # else the flow's factor leaves the doubles: nothing to check
                    scale = max(float(np.max(np.abs(want))), mag * (abs(g.s) / (top or 1.0)))
                    self.close(check, g, w, want, row.get("const", g), scale, f"values of size {scale:.1e}: ")
            elif check == "chained calls":
                self.close(check, g, w, v, row.get("chain", g), mag)
            elif check == "rebuilt state":
                tol = row.get("chain" if row.rebuilt_tol == "chain" else "rebuilt_tol", g)
                if tol is None:  # the bound, on every state rebuilt from the values
                    self.bounds(g, u0, w, t, "rebuilt state")
                else:
                    self.close(check, g, w, v, tol, mag)
            else:
                subnormal = "a subnormal tau, " if min(g.tau, gp.tau) < 2.0**-1022 else ""
                self.close(check, g, row.rescale_result(g, gp, w), v, row.get("scale_tol", g), mag,
                           f"{subnormal}lengths times {gp.L / g.L:g}, values of size {mag:.1e}: ")
        if row.beside is not None and row.rebuilt_tol is None and row.get("chain", g) == 0.0 and self.run is row.run:
            self.steps_beside(g, u0)


# --- mutants: the row's checks must report a call that is wrong ---------------------------
def mutants(row, tables):
    """(name, run) of the wrong calls a row's checks must report: one that returns its data (or,
    where the values are not the state's, evolves 2^-60 of t), one that evolves t/2, and one
    with the drift turned (or t, where the class takes negative times)."""
    flat, run = tables.flat, row.run
    if row.name in tables.NO_MUTANT:
        return []

    def returns_its_input(g, u0, parts):
        v = run(g, u0, [(t * 2.0**-60, n) for t, n in parts])
        return u0.copy() if flat(v).shape == flat(u0).shape else v

    out = [("returns_its_input", returns_its_input),
           ("evolves_half_the_time", lambda g, u0, parts: run(g, u0, [(t / 2, n) for t, n in parts]))]
    drift = next((r.drift for r in tables.REFS.get(row.name, []) if r.drift), None)
    if drift == "t":
        out.append(("runs_the_flow_backwards", lambda g, u0, parts: run(g, u0, [(-t, n) for t, n in parts])))
    elif drift:
        def turned(g, u0, parts):
            g2 = copy.copy(g)
            if hasattr(g2, drift):
                setattr(g2, drift, -getattr(g2, drift))
            return run(g2, u0, parts)
        out.append(("runs_the_flow_backwards", turned))
    return out


def run_checks(checker, row, tables, indices):
    for i, r in enumerate(tables.REFS.get(row.name, [])):
        try:
            checker.reference(i, r)
        except Exception:  # noqa: BLE001 -- a fault of the row or of the class, reported
            checker.fail("exception", types.SimpleNamespace(draw=f"reference {i}"),
                         traceback.format_exc(limit=3)[-1500:])
    for index in indices:
        try:
            checker.run_draw(index)
        except Exception:  # noqa: BLE001
            checker.fail("exception", types.SimpleNamespace(draw=index), traceback.format_exc(limit=3)[-1500:])


# --- the child process ----------------------------------------------------------------------


def exported():
    import quorvane as q
    return [n for n in q.__all__ if not (isinstance(getattr(q, n), type) and issubclass(getattr(q, n), BaseException))]


def check_rows(names, examples):
    import property_tables as tables

    def on_alarm(signum, frame):
        raise CallTimeout()

    signal.signal(signal.SIGALRM, on_alarm)
    np.seterr(all="ignore")
    for name in names:
        started = time.monotonic()
        print(START + name, flush=True)
        row = tables.FLOWS.get(name)
        if row is None or row.run is None:  # no row, or no flow: the row says why
            print(json.dumps({"missing": True} if row is None else {"noflow": row.reason}), flush=True)
            continue
        checker = Checker(row, tables)
        generated = set(range(max(1, round(examples * row.weight)))) | row.always
        run_checks(checker, row, tables, [-i - 1 for i in range(len(row.pins))] + sorted(generated))
        caught = {}
        for what, run in mutants(row, tables):  # the references and one draw, no known faults
            mutated = Checker(row, tables, run=run, strict=True)
            run_checks(mutated, row, tables, [0])
            caught[what] = [f["check"] for f in mutated.findings]
        checker.counts["seconds"] = round(time.monotonic() - started, 1)
        print(json.dumps({"counts": checker.counts, "findings": checker.findings, "known": checker.known,
                          "mutants": caught}), flush=True)


# --- pytest side ----------------------------------------------------------------------------


def _names():
    try:
        return exported()
    except ImportError:
        return []


NAMES = _names()


# The groups run side by side: the references' NumPy and SciPy calls take one thread each.
ONE_THREAD = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")


def run_group(names):
    """Runs the classes in a subprocess; one that stalls it fails, the rest run again after it."""
    results = {}
    while names:
        try:
            proc = subprocess.run([sys.executable, __file__, str(EXAMPLES), *names], capture_output=True, text=True,
                                  timeout=len(names) * CLASS_LIMIT + 30, env=ONE_THREAD)
            out, err, status = proc.stdout, proc.stderr, proc.returncode
        except subprocess.TimeoutExpired as e:
            out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
            err, status = "", "timeout"
        current = None
        for line in out.splitlines():
            if line.startswith(START):
                current = line[len(START):]
            elif current is not None and line.startswith("{"):
                results[current], current = json.loads(line), None
        if status == 0:
            break
        current = current or names[0]
        results[current] = {"crash": f"{current}: exit status {status}\n{out[-2000:]}\n{err[-2000:]}"}
        names = names[names.index(current) + 1:]
    return results


@pytest.fixture(scope="module")
def results():
    """Every class's outcome, the groups run in parallel subprocesses."""
    workers = max(1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1)
    groups = [NAMES[i:i + GROUP_SIZE] for i in range(0, len(NAMES), GROUP_SIZE)]
    out = {}
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        for part in pool.map(run_group, groups):
            out.update(part)
    return out


@pytest.mark.parametrize("name", NAMES)
def test_flow_keeps_its_invariants(name, results):
    res = results[name]
    assert "crash" not in res, res.get("crash")
    assert "missing" not in res, f"{name} has no row in property_tables.FLOWS: add what its flow keeps"
    if "noflow" not in res:
        assert res["counts"]["calls"] > 0
        assert not res["findings"], f"{name}: " + "\n".join(json.dumps(f) for f in res["findings"])


MUTANTS = ("returns_its_input", "evolves_half_the_time", "runs_the_flow_backwards")


def _mutated():
    try:
        import property_tables as tables
    except ImportError:
        return []
    out = []
    for name in NAMES:
        row = tables.FLOWS.get(name)
        if row is None or row.run is None:
            continue
        has = [m for m, _ in mutants(row, tables)]
        for m in has:
            marks = [pytest.mark.skip(reason="no reference: " + tables.NO_REF[name])] if name in tables.NO_REF else []
            out.append(pytest.param(name, m, marks=marks, id=f"{name}-{m}"))
    return out


@pytest.mark.parametrize("name, mutant", _mutated())
def test_row_reports_a_mutated_call(name, mutant, results):
    """The row's checks, run on a call made wrong on purpose, must report it: else they check nothing."""
    caught = results[name].get("mutants", {})
    assert caught.get(mutant), f"{name}: its checks pass a call that {mutant.replace('_', ' ')}"


def _known():
    try:
        import property_tables as tables
    except ImportError:
        return []
    return [pytest.param(key, marks=pytest.mark.xfail(strict=True, reason=k.cause), id=key)
            for key, k in tables.KNOWN.items()]


@pytest.mark.skipif(NO_KNOWN, reason="QUORVANE_PROPERTY_NO_KNOWN: known faults fail their classes' cases")
@pytest.mark.parametrize("key", _known())
def test_known_fault_still_open(key, results):
    """Fails (expectedly) while the fault shows; passes, and so fails as strict, once mended."""
    import property_tables as tables
    res = results[tables.KNOWN[key].row]
    assert key not in res.get("known", {}), res.get("known", {}).get(key)


if __name__ == "__main__":
    check_rows(sys.argv[2:], int(sys.argv[1]))
