"""What every flow keeps, checked on generated calls across the whole accepted range.

Every exported class and function is found in ``quorvane.__all__`` (as the hostile-call suite
finds them) and looked up in ``property_tables.FLOWS``, a short declarative row per name: how to
build it and read its values, and which invariants its flow keeps to what tolerance (with the
reason). A name with no row fails its case, so a new class is covered from the day it lands.

Each row is exercised on derandomised draws (numpy default_rng, one seed per class and draw):
lengths and data from 1e-300 to 1e300 (data up to 2^1020 through the scaling), t and tau from
5e-324 to 1.7e308, steps of r = tau a / dx^2 up to past the largest the class takes,
coefficients of every size. For every call that succeeds:

- finite values;
- linearity: u0 -> k u0 (k = 3 or a power of two) gives k times the values;
- constants (times the row's factor, e.g. e^{-kappa t}) where the flow keeps them;
- the bound max|u| <= max|u0| e^{t max c} (1 + the row's stated overshoot);
- mass, sum(w u), where the flow keeps it;
- chained calls (n/2 steps twice) equal one call, bit for bit where the class promises it;
- length scaling: the same call with every length multiplied by 2^j (and t, the coefficients
  and positions by the powers the row states) gives the same values.

Every refusal must name what passes: a count "n_steps >= K" (K, K+1, 2K and 10K are run on a
fresh object, as far as the row's count cap allows), a tau, a longest t or a data scale (each
used once on a fresh object), unless the row lists it as a refusal that names nothing by design.
A call whose partner (the same call scaled, or chained) passes may not be refused without a
named number.

Classes run in groups, each group in a subprocess with a timeout; each call is armed with a
timer, so a hang or a grind fails its case. QUORVANE_PROPERTY_EXAMPLES sets the draws per
class (default 6). Run directly to see one class's findings with their reproducers:
``python3 test_properties.py EXAMPLES NAME...``.
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
import traceback
import types

import numpy as np
import pytest

EXAMPLES = int(os.environ.get("QUORVANE_PROPERTY_EXAMPLES", "6"))
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
CALL_LIMIT = 20.0 * (5 if SANITIZED else 1)  # seconds: a call past it is a hang or a grind
GROUP_SIZE = 8
START = "checking "
TINY = 2.0**-1016  # below this, values are subnormal-ish rounding; an absolute floor

# A refusal names what passes with one of these.
COUNT = re.compile(r"n_steps(?:_per_segment)? >= (\d+)")
TAU = re.compile(r"(?:largest admissible (?:tau|h)(?: is| =)?|admissible tau <=|tau must be <=|tau <=)\s*"
                 r"([0-9][0-9.]*(?:e[-+]?\d+)?)")
T_MAX = re.compile(r"(?:(?<![\w|])t(?:_final)? <=|longest t served in one call is) ([0-9][0-9.]*(?:e[-+]?\d+)?)"
                   r"(?: \(n_steps = (\d+)\))?")
# A range of the grid or the data that the text states; nothing to run, but named.
RANGE = re.compile(r"must have a finite, normal square dx\^2")
SCALE = re.compile(r"max\|u0\| <= ([0-9][0-9.]*(?:e[-+]?\d+)?)")
NUMBER = re.compile(r"\d")


class CallTimeout(BaseException):
    pass


def number(text):
    return float(text.rstrip(".,;"))


def timed(fn, *args):
    """('ok', value) or ('refused', text) or ('hung', None); other exceptions propagate."""
    import quorvane as q
    signal.setitimer(signal.ITIMER_REAL, CALL_LIMIT)
    try:
        return "ok", fn(*args)
    except q.QuorvaneError as e:
        return "refused", str(e)
    except CallTimeout:
        return "hung", None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)


def flat(v):
    """The values of a result as one float array (complex parts and tuples joined)."""
    if isinstance(v, tuple):
        return np.concatenate([flat(x) for x in v])
    a = np.asarray(v)
    if a.dtype.kind == "c":
        return np.concatenate([a.real.ravel(), a.imag.ravel()])
    return a.astype(np.float64).ravel()


class Checker:
    """Runs one row's draws and records counts and findings."""

    def __init__(self, row, q):
        self.row, self.q = row, q
        self.counts = {"calls": 0, "refused": 0, "checks": 0, "named": 0, "untried": 0}
        self.findings = []

    # --- bookkeeping ---------------------------------------------------------------------
    def fail(self, check, g, detail):
        if len(self.findings) < 12:
            self.findings.append({"check": check, "draw": describe(g), "detail": detail})

    def call(self, g, u0, parts):
        self.counts["calls"] += 1
        try:
            status, value = timed(self.row.run, g, u0, parts)
        except (TypeError, ValueError, OverflowError) as e:
            return "refused", f"{type(e).__name__}: {e}"
        if status == "refused":
            self.counts["refused"] += 1
            assert not value.startswith("[Panic]"), value
        return status, value

    # --- named numbers -------------------------------------------------------------------
    def named(self, g, u0, t, n, text):
        """Checks what the refusal names; returns True when it names anything."""
        row, found = self.row, False
        for m in COUNT.finditer(text):
            found = True
            k = int(m.group(1))
            for count in sorted({k, k + 1, math.ceil(1.03 * k), math.ceil(1.08 * k), math.ceil(1.15 * k),
                                 math.ceil(1.3 * k), 2 * k, 10 * k}):
                if count <= row.count_cap and t / count > 0.0:
                    self.use(g, u0, [(t, count)], f"n_steps = {count} (named {k!r}) for t = {t!r}", text)
                else:
                    self.counts["untried"] += 1
        for m in TAU.finditer(text):
            found = True
            tau = number(m.group(1))
            self.use(g, u0, [(tau, 1)], f"one step of the named tau = {tau!r}", text)
        for m in T_MAX.finditer(text):
            found = True
            # A text that names no count for its t speaks of the largest count there is.
            t_max = number(m.group(1))
            count = int(m.group(2) or (2**64 - 1 if "18446744073709551615" in text else n))
            if t_max > 0.0 and count <= row.count_cap:
                self.use(g, u0, [(t_max, count)], f"the named t = {t_max!r} in {count} steps", text)
            else:
                self.counts["untried"] += 1
        if RANGE.search(text):
            found = True
            self.counts["untried"] += 1
        for m in SCALE.finditer(text):
            found = True
            scale = number(m.group(1))
            top = float(np.max(np.abs(flat(u0))))
            if top > 0:
                self.use(g, u0 * (scale / top), [(t, n)], f"u0 scaled to the named max|u0| = {scale!r}", text)
        return found

    def use(self, g, u0, parts, what, text):
        self.counts["named"] += 1
        status, value = self.call(g, u0, parts)
        if status == "ok" and np.isfinite(flat(value)).all():
            return
        got = value if status == "refused" else ("non-finite values" if status == "ok" else "no answer")
        self.fail("named number", g, f"{what}: {got} (the refusal: {text})")

    def refused(self, g, u0, t, n, text, partner_passed):
        if self.named(g, u0, t, n, text):
            return
        if any(re.search(p, text) for p in self.row.refuses):
            if partner_passed:
                self.fail("refusal of a linear partner", g, f"t = {t!r}, n = {n}: {text}")
            return
        self.fail("refusal names nothing that passes", g, f"t = {t!r}, n = {n}: {text}")

    # --- invariants ----------------------------------------------------------------------
    def close(self, check, g, got, want, tol, scale, bits=False):
        self.counts["checks"] += 1
        got, want = flat(got), flat(want)
        if got.shape != want.shape:
            self.fail(check, g, f"shape {got.shape} against {want.shape}")
            return
        if bits:
            ok = np.array_equal(got, want)
            err = float(np.max(np.abs(got - want))) if got.size else 0.0
        else:
            err = float(np.max(np.abs(got - want))) if got.size else 0.0
            ok = err <= tol * scale + TINY
        if not ok:
            self.fail(check, g, f"max error {err:.3g} against {'bits' if bits else f'{tol:g} x {scale:.3g}'}")

    def draw(self, index):
        rng = np.random.default_rng([index, *map(ord, self.row.name)])
        g = draw_common(rng, self.row)
        self.row.draw(g, rng)
        pins = self.row.pins
        if index < len(pins):  # the row's fixed draws come first
            vars(g).update(pins[index])
            g.tau = g.t / g.n_steps
        return g, rng

    def run_draw(self, index):
        row = self.row
        g, rng = self.draw(index)
        u0 = g.data(g) if callable(getattr(g, "data", None)) else row.data(g, rng)
        t, n = g.t, g.n_steps
        lin, const, bound, mass, chain, norm2, unitary = (
            per_draw(getattr(row, f), g) for f in ("lin", "const", "bound", "mass", "chain", "norm2", "unitary"))
        status, v = self.call(g, u0, [(t, n)])
        if status == "hung":
            self.fail("hang", g, f"no answer in {CALL_LIMIT:g} s")
            return
        # The partner calls: the data scaled, the constant, the chained call, the scaled lengths.
        k = 3.0 if rng.random() < 0.4 else 2.0 ** int(rng.integers(-60, 61))
        top = float(np.max(np.abs(flat(u0)))) or 1.0
        if hasattr(g, "k"):
            k = g.k
        elif rng.random() < 0.3:  # to the ends of the double range
            k = 2.0 ** max(-1020, min(1020, math.floor(1020 - math.log2(top)) if rng.random() < 0.5 else
                                      math.ceil(math.log2(1e-300) - math.log2(top))))
        partners = []
        if lin is not None:
            partners.append(("linearity", u0 * k, [(t, n)], g, k))
        if const is not None:
            partners.append(("constant", row.const_data(g, u0), [(t, n)], g, 1.0))
        if chain is not None and n >= 2 and n % 2 == 0:
            partners.append(("chained calls", u0, [(t / 2, n // 2), (t / 2, n // 2)], g, 1.0))
        dims = per_draw(row.dims, g)
        if dims is not None:
            j = int(rng.integers(-40, 41)) if rng.random() < 0.7 else int(rng.integers(-900, 901))
            g2 = rescale(g, dims, 2.0**j)
            if g2 is not None:
                partners.append(("length scaling", row.rescale_data(g, g2, u0), [(g2.t, n)], g2, 1.0))
        if status == "refused":
            outcomes = [(p, self.call(p[3], p[1], p[2])) for p in partners]
            passed = any(p[0] in ("linearity", "length scaling") and o[0] == "ok" for p, o in outcomes)
            self.refused(g, u0, t, n, v, passed)
            return
        v = np.asarray(v) if not isinstance(v, tuple) else v
        if not np.isfinite(flat(v)).all():
            self.fail("finite", g, "a successful call returned non-finite values")
            return
        mag = max(top, float(np.max(np.abs(flat(v)))) if flat(v).size else 0.0)
        if bound is not None:
            self.counts["checks"] += 1
            limit = top * row.growth(g, t) * (1.0 + bound) + TINY
            got = float(np.max(np.abs(flat(v))))
            if not got <= limit:
                self.fail("bound", g, f"max|u| = {got:.6g} > {limit:.6g} (max|u0| {top:.6g}, "
                          f"growth {row.growth(g, t):.6g}, overshoot {bound:g})")
        if mass is not None:
            w = row.mass_weights(g)
            m0, m1 = float(np.sum(w * flat(u0))), float(np.sum(w * flat(v)))
            self.close("mass", g, m1, m0 * row.mass_factor(g, t), mass,
                       float(np.sum(np.abs(w * flat(u0)))) * max(1.0, row.mass_factor(g, t)))
        if norm2 is not None or unitary is not None:
            self.counts["checks"] += 1
            n0, n1 = float(np.linalg.norm(flat(u0))), float(np.linalg.norm(flat(v)))
            if norm2 is not None and not n1 <= n0 * row.growth(g, t) * (1.0 + norm2) + TINY:
                self.fail("2-norm bound", g, f"|u|_2 = {n1:.6g} > {n0:.6g} x growth {row.growth(g, t):.6g}")
            if unitary is not None and not abs(n1 - n0) <= unitary * n0 + TINY:
                self.fail("unitary", g, f"|u|_2 = {n1!r} against |u0|_2 = {n0!r}")
        for check, data, parts, gp, kk in partners:
            status2, w2 = self.call(gp, data, parts)
            if status2 == "hung":
                self.fail("hang", gp, f"{check}: no answer in {CALL_LIMIT:g} s")
                continue
            if status2 == "refused":
                if not self.named(gp, data, parts[0][0] if len(parts) == 1 else t, n, w2):
                    self.fail(check, gp, f"refused where the unscaled call passed: {w2}")
                continue
            if check == "linearity":
                kp = kk ** per_draw(row.lin_power, g)
                self.close(check, g, w2, kp * flat(v), lin, abs(kp) * mag)
            elif check == "constant":
                want = row.const_want(g, t, data)
                self.close(check, g, w2, want, const, float(np.max(np.abs(flat(want)))) or abs(g.s))
            elif check == "chained calls":
                self.close(check, g, w2, v, chain, mag, bits=chain == 0.0)
            else:
                self.close(check, gp, row.rescale_result(g, gp, w2), v, row.scale_tol, mag)


def per_draw(value, g):
    """A row's field: a value, or a function of the draw."""
    return value(g) if callable(value) else value


def describe(g):
    return {k: (v if isinstance(v, (int, str, bool)) or v is None else
                float(v) if isinstance(v, (float, np.floating)) else repr(v))
            for k, v in vars(g).items() if not k.startswith("_")}


# --- draws ----------------------------------------------------------------------------------


def log_uniform(rng, lo, hi):
    return float(10.0 ** rng.uniform(math.log10(lo), math.log10(hi)))


def draw_common(rng, row):
    """The generic draw: a grid, a length, a data scale, a step and a count."""
    g = types.SimpleNamespace()
    g.n = int(rng.choice(row.sizes))
    mode = rng.random()
    g.L = 1.0 if mode < 0.4 else (2.0 ** int(rng.integers(-60, 61)) if mode < 0.7 else log_uniform(rng, 1e-300, 1e300))
    g.lo = -g.L / 2 if rng.random() < 0.5 else 0.0
    g.s = 1.0 if rng.random() < 0.5 else log_uniform(rng, 1e-300, 1e300)
    g.rough = bool(rng.random() < 0.3)
    g.boundary = str(rng.choice(row.boundaries))
    g.n_steps = int(rng.choice([1, 2, 4, 8, 16, 64, 3, 7]) if rng.random() < 0.85 else rng.integers(1, 400))
    g.mode = "r" if rng.random() < 0.6 else "t"
    if g.mode == "r":
        g.r = log_uniform(rng, 1e-4, 4.0 * row.r_max)
        g.tau = None  # set from dx and the diffusion once the row's draw has fixed them
    else:
        g.t = min(log_uniform(rng, 5e-324, 1.7e308), 1.7e308) if rng.random() < 0.8 else \
            float(rng.choice([5e-324, 1e-300, 1e300, 1.7e308]))
    return g


def finish_time(g, dx2_over_a):
    """Sets t from r = tau a/dx^2 when the draw chose r, else tau from t."""
    if g.mode == "r":
        tau = g.r * dx2_over_a if math.isfinite(dx2_over_a) else 1.7e308
        g.t = tau * g.n_steps
        if not math.isfinite(g.t) or g.t > 1.7e308 or g.t <= 0.0:
            g.t = min(max(g.t, 5e-324), 1.7e308) if math.isfinite(g.t) else 1.7e308
    g.tau = g.t / g.n_steps


def rescale(g, dims, lam):
    """The draw with every length times lam and each named quantity times lam^power."""
    g2 = copy.copy(g)
    g2.L, g2.lo = g.L * lam, g.lo * lam
    for name, power in dims.items():
        power = per_draw(power, g)
        try:
            value = getattr(g, name) * lam**power
        except OverflowError:
            return None
        if not (math.isfinite(value) and (value == 0.0 or 1e-300 <= abs(value) <= 1e300 or name == "t")):
            return None
        setattr(g2, name, value)
    if not (1e-300 <= g2.L <= 1e300) or not (0.0 < g2.t <= 1.7e308):
        return None
    g2.tau = g2.t / g.n_steps
    return g2


# --- the child process ----------------------------------------------------------------------


def exported():
    import quorvane as q
    return [n for n in q.__all__ if not (isinstance(getattr(q, n), type) and issubclass(getattr(q, n), BaseException))]


def check_rows(names, examples):
    import quorvane as q
    import property_tables as tables

    def on_alarm(signum, frame):
        raise CallTimeout()

    signal.signal(signal.SIGALRM, on_alarm)
    np.seterr(all="ignore")
    for name in names:
        print(START + name, flush=True)
        row = tables.FLOWS.get(name)
        if row is None:
            print(json.dumps({"missing": True}), flush=True)
            continue
        if row.run is None:  # no flow: the row says why
            print(json.dumps({"noflow": row.reason}), flush=True)
            continue
        checker = Checker(row, q)
        for index in range(len(row.pins) + max(1, round(examples * row.weight))):
            try:
                checker.run_draw(index)
            except Exception:  # noqa: BLE001 -- a fault of the row or of the class, reported
                g, _ = checker.draw(index)
                checker.fail("exception", g, traceback.format_exc(limit=3)[-1500:])
        print(json.dumps({"counts": checker.counts, "findings": checker.findings}), flush=True)


# --- pytest side ----------------------------------------------------------------------------


def _names():
    try:
        return exported()
    except ImportError:
        return []


NAMES = _names()
GROUPS = [NAMES[i:i + GROUP_SIZE] for i in range(0, len(NAMES), GROUP_SIZE)]


def run_group(names):
    try:
        proc = subprocess.run([sys.executable, __file__, str(EXAMPLES), *names], capture_output=True, text=True,
                              timeout=CALL_LIMIT * 6 * len(names) + 60)
        out, err, status = proc.stdout, proc.stderr, proc.returncode
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        err, status = "", "timeout"
    results, current = {}, None
    for line in out.splitlines():
        if line.startswith(START):
            current = line[len(START):]
        elif current is not None and line.startswith("{"):
            results[current] = json.loads(line)
            current = None
    if current is not None or status != 0:
        for name in names:
            results.setdefault(name, {"crash": f"{current}: exit status {status}\n{out[-2000:]}\n{err[-2000:]}"})
    return results


@pytest.fixture(scope="module")
def results():
    """Every group's outcome, the groups run in parallel subprocesses."""
    workers = max(1, min(4, (os.cpu_count() or 2) // 2))
    out = {}
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        for part in pool.map(run_group, GROUPS):
            out.update(part)
    return out


@pytest.mark.parametrize("name", NAMES)
def test_flow_keeps_its_invariants(name, results):
    res = results[name]
    assert "crash" not in res, res.get("crash")
    assert "missing" not in res, f"{name} has no row in property_tables.FLOWS: add what its flow keeps"
    if "noflow" in res:
        return
    counts, findings = res["counts"], res["findings"]
    assert counts["calls"] > 0
    assert not findings, f"{name}: " + "\n".join(json.dumps(f) for f in findings)


if __name__ == "__main__":
    check_rows(sys.argv[2:], int(sys.argv[1]))
