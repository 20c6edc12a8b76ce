"""Every constructor and method of every exported class, called with valid, boundary, wrong-type
and hostile arguments (property-based, derandomized).

Classes, methods and parameters are discovered from ``quorvane.__all__`` and the text signatures,
so a newly registered class is exercised from the day it lands. The classes run in groups, each
group in a subprocess with a timeout: a hang or a crash fails the group's case and names the
class it was in. Inside, every call is
armed with an interval timer whose handler raises ``CallTimeout`` -- a long call must stop on
it the way it stops on Ctrl-C, leaving the object unchanged.

Asserted for every call: only QuorvaneError (never kind Panic), TypeError, ValueError,
OverflowError, MemoryError, the borrow errors, the test's own injected exceptions or the
timer's escape; a failed call leaves ``values()`` unchanged; a successful evolve leaves finite
values.

Run directly (``python3 test_hostile_calls.py EXAMPLES NAME...``) to fuzz the named classes and
print their outcome counts. QUORVANE_FUZZ_EXAMPLES sets the example budget shared by all classes.
"""

import collections
import inspect
import json
import math
import os
import signal
import subprocess
import sys

import numpy as np
import pytest

# Examples over all classes together, so that the run time stays put as classes are added.
TOTAL_EXAMPLES = int(os.environ.get("QUORVANE_FUZZ_EXAMPLES", "6000"))
CALL_LIMIT = 0.4  # seconds before the timer interrupts a call
CLASS_TIMEOUT = 120  # seconds per class of a subprocess
GROUP_SIZE = 12
START = "fuzzing "  # the child's line before each class


class CallTimeout(BaseException):
    pass


class Injected(Exception):
    pass


class InjectedBase(BaseException):
    pass


BORROW = ("Already borrowed", "Already mutably borrowed")

# --- hostile objects ----------------------------------------------------------------------


class RaisingNumber:
    def __float__(self):
        raise Injected("__float__")

    def __index__(self):
        raise Injected("__index__")

    def __len__(self):
        raise Injected("__len__")


class LyingLen:
    """Claims 2**40 items, yields three."""

    def __len__(self):
        return 2**40

    def __getitem__(self, i):
        if i < 3:
            return 1.0
        raise IndexError(i)


class HugeIndex:
    def __index__(self):
        return 2**63 - 1

    def __float__(self):
        return 1e308


class WrongFloat:
    def __float__(self):
        return "x"


def float_cases():
    return [0.0, -0.0, 1e-300, 5e-324, 1e300, 1.7e308, 2.0**63, math.nan, math.inf, -math.inf, -1.0, 0.5, 1.0]


def int_cases():
    return [0, 1, -1, 3, 2**31, 2**63, 2**64, 2**40, True]


# --- argument strategies --------------------------------------------------------------------

FLOAT_NAMES = {"t", "tau", "t_final", "x", "tol_abs", "tol_rel", "a_norm_bound", "xmin", "xmax", "domain_lo",
               "domain_hi"}
COUNT_NAMES = {"n", "n_grid", "n_steps", "n_chernoff", "total_steps", "chunk_steps", "n_steps_per_segment"}
OPTIONS = {
    "boundary": ["reflect", "zero", "periodic", "linear", "Periodic", "mirror", ""],
    "kernel": ["heat2", "heat4", "heat6", "drift", "shift", "bogus"],
    "dtype": ["f64", "f32", "f16"],
}


def is_size(name):
    return name in ("n", "n_grid", "n_nodes", "nx", "ny", "nz")


class Fuzzer:
    def __init__(self, q, st, data, registry, seeding=False):
        self.q, self.st, self.data, self.registry, self.seeding = q, st, data, registry, seeding
        self.length = 16  # the grid size last drawn, for the arrays of later calls

    def draw(self, strategy):
        return self.data.draw(strategy)

    def pick(self, seq):
        return self.draw(self.st.sampled_from(seq))

    def float_array(self, length, clean=False):
        good = ["list", "array", "array", "misaligned", "strided", "readonly"]
        kind = self.pick(good if clean else good + ["nonfinite", "f32", "complex", "int", "2d"])
        base = np.sin(np.linspace(0.0, 3.0, length)) + 1.5
        if kind == "list":
            return [float(v) for v in base]
        if kind == "nonfinite" and length:
            base[self.draw(self.st.integers(0, max(length - 1, 0)))] = self.pick([math.nan, math.inf, 1.7e308])
            return base
        if kind == "f32":
            return base.astype(np.float32)
        if kind == "complex":
            return base.astype(np.complex128)
        if kind == "int":
            return base.astype(np.int64)
        if kind == "2d":
            return np.tile(base, (2, 1))
        if kind == "misaligned":
            raw = np.zeros(8 * length + 1, np.uint8)[1:].view(np.float64)
            raw[:] = base
            return raw
        if kind == "strided":
            return np.repeat(base, 2)[::2]
        if kind == "readonly":
            base.flags.writeable = False
        return base

    def callable_value(self, box):
        kind = self.pick(["const", "linear", "raise", "str", "reenter", "base", "nan"])

        def fn(*args):
            if kind == "const":
                return 1.0
            if kind == "linear":
                return 0.5 + 0.1 * abs(float(args[0])) if args else 1.0
            if kind == "raise":
                raise Injected("callback")
            if kind == "str":
                return "x"
            if kind == "nan":
                return math.nan
            if kind == "base":
                raise InjectedBase("callback")
            for obj in box:  # re-enter the object under call
                for name in ("values", "evolve", "order"):
                    if hasattr(obj, name):
                        getattr(obj, name)(*([0.1] if name == "evolve" else []))
            return 1.0

        return fn

    def instance_of_any(self, name=""):
        """An instance of a registered class, one whose name contains `name` if there is one."""
        if self.seeding:
            return object()
        pool = [o for objs in self.registry.values() for o in objs]
        named = [o for o in pool if name and name.replace("_", "") in type(o).__name__.lower()]
        return self.pick(named or pool) if pool else object()

    def hostile(self, length, box):
        return self.pick([
            lambda: self.pick(float_cases()),
            lambda: self.pick(int_cases()),
            lambda: None,
            lambda: self.pick(["", "x", "reflect", "heat2"]),
            lambda: object(),
            lambda: RaisingNumber(),
            lambda: LyingLen(),
            lambda: HugeIndex(),
            lambda: WrongFloat(),
            lambda: 1 + 2j,
            lambda: self.float_array(self.draw(self.st.integers(0, 2 * length + 2))),
            lambda: [[1.0, 2.0], [3.0]],
            lambda: self.callable_value(box),
            lambda: self.instance_of_any(),
        ])()

    def plausible(self, name, length, box, default=inspect.Parameter.empty):
        if name in OPTIONS:
            return self.pick(OPTIONS[name])
        # A default says what the parameter takes.
        if isinstance(default, bool):
            return self.draw(self.st.booleans())
        if isinstance(default, float):
            return self.draw(self.st.floats(0.0, 2.0 * abs(default) + 1.0))
        if isinstance(default, int):
            return self.draw(self.st.integers(1, 2 * default + 1))
        if isinstance(default, str):
            return default
        if name.endswith(("_bound", "_min", "_max", "_lo", "_hi")) or name.startswith("tol"):
            return self.draw(self.st.floats(0.0, 4.0))
        if name.endswith(("min", "_lo")):
            return self.draw(self.st.floats(-4.0, 0.0))
        if name.endswith(("max", "_hi")):
            return self.draw(self.st.floats(0.5, 4.0))
        if is_size(name):
            return self.draw(self.st.integers(4, 12 if name in ("nx", "ny", "nz") else 40))
        if name in COUNT_NAMES or name.startswith("n_"):
            return self.draw(self.st.integers(1, 60))
        if name in ("node", "j", "k", "seed"):
            return self.draw(self.st.integers(0, 5))
        if name == "edges":
            return [(k, k + 1) for k in range(self.draw(self.st.integers(0, 5)))]
        if name in FLOAT_NAMES:
            return self.draw(self.st.floats(0.0, 1.0))
        if name in ("progress",):
            return self.pick([None, self.callable_value(box)])
        if name.endswith("_nc"):
            return np.tile(np.linspace(0.0, 1.0, length)[:, None], (1, self.draw(self.st.integers(1, 3))))
        if name.endswith("_schedule"):
            segs = self.draw(self.st.integers(1, 3))
            return self.pick([[0.5] * segs, [self.float_array(length, clean=True) for _ in range(segs)]])
        if name == "self_adjoint":
            return self.draw(self.st.booleans())
        if name.startswith("u"):
            return self.float_array(length, clean=True)
        if not self.seeding and any(name.replace("_", "") in c.lower() for c in self.registry):
            return self.instance_of_any(name)  # `graph` takes a Graph
        return self.pick([
            lambda: self.float_array(length, clean=True),
            lambda: self.draw(self.st.floats(0.0, 1.0)),
            lambda: self.draw(self.st.floats(0.0, 1.0)),
            lambda: self.callable_value(box),
            lambda: self.instance_of_any(name),
        ])()

    def args_for(self, params, box):
        length = self.length
        sizes = []
        pos, kw = [], {}
        # Half the calls are clean, so that deep paths are reached; the rest carry hostile values.
        hostile_share = self.pick([0, 0, 1, 3])
        for p in params:
            if p.kind is p.VAR_POSITIONAL or p.kind is p.VAR_KEYWORD:
                continue
            optional = p.default is not p.empty
            if optional and self.draw(self.st.booleans()):
                continue
            hostile = hostile_share and self.draw(self.st.integers(0, 8)) < hostile_share
            value = self.hostile(length, box) if hostile else self.plausible(p.name, length, box, p.default)
            if is_size(p.name) and isinstance(value, int) and 0 < value < 10**6:
                # The state of an nx-by-ny grid has nx*ny values.
                sizes.append(value)
                length = self.length = math.prod(sizes)
            if p.kind is p.KEYWORD_ONLY or (optional and self.draw(self.st.booleans())):
                kw[p.name] = value
            else:
                if kw:  # a positional after a keyword would not bind; pass it by name
                    kw[p.name] = value
                else:
                    pos.append(value)
        return pos, kw


# --- the driver (subprocess) ------------------------------------------------------------------


def signature(fn):
    try:
        return [p for p in inspect.signature(fn).parameters.values() if p.name not in ("self", "cls")]
    except (TypeError, ValueError):
        return None


def entries(cls):
    """(kind, name, callable-or-None, params) of the class's constructor, methods and getters."""
    out = []
    if cls.__text_signature__ is not None:
        out.append(("new", cls.__name__, cls, signature(cls)))
    for name, raw in vars(cls).items():
        if name.startswith("_"):
            continue
        if isinstance(raw, (staticmethod, classmethod)):
            fn = getattr(cls, name)
            out.append(("static", name, fn, signature(fn)))
        elif type(raw).__name__ == "getset_descriptor":
            out.append(("getter", name, None, []))
        elif callable(raw):
            out.append(("method", name, None, signature(raw)))
    return [e for e in out if e[3] is not None]


def snapshot(obj):
    if not hasattr(obj, "values"):
        return None
    try:
        return np.array(obj.values(), copy=True)
    except (RuntimeError,):
        return None


def all_finite(v):
    if isinstance(v, float):
        return math.isfinite(v)
    if isinstance(v, np.ndarray) and v.dtype.kind == "f":
        return bool(np.isfinite(v).all())
    if isinstance(v, tuple):
        return all(all_finite(x) for x in v)
    return True


class Outcomes:
    def __init__(self):
        self.counts = collections.Counter()

    def note(self, label):
        self.counts[label] += 1


def arm():
    signal.setitimer(signal.ITIMER_REAL, CALL_LIMIT)


def disarm():
    signal.setitimer(signal.ITIMER_REAL, 0)


def timed_call(fn, args, kwargs):
    try:
        arm()
        try:
            return "ok", fn(*args, **kwargs)
        finally:
            disarm()
    except CallTimeout:
        return "timeout", None
    except BaseException as e:  # noqa: BLE001 -- classified by the caller
        return "raised", e


def check_raised(q, e, where):
    """The label of an allowed exception; fails on anything else."""
    if isinstance(e, q.QuorvaneError):
        text = str(e)
        assert not text.startswith("[Panic]"), f"{where}: internal fault {text!r}"
        assert text.startswith("["), f"{where}: QuorvaneError without a kind: {text!r}"
        return "QuorvaneError " + text[1:text.index("]")]
    if isinstance(e, RuntimeError):
        assert str(e) in BORROW, f"{where}: RuntimeError {e!r}"
        return "borrow"
    if isinstance(e, (Injected, InjectedBase)):
        return type(e).__name__
    assert isinstance(e, (TypeError, ValueError, OverflowError, MemoryError)), f"{where}: {type(e).__name__}: {e!r}"
    return type(e).__name__


def run_classes(names, examples):
    """Fuzzes each named class in turn after one shared seeding. A line naming the class is
    printed before its examples (so that a crash or hang names it), its outcome counts after."""
    import quorvane as q
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    def on_alarm(signum, frame):
        raise CallTimeout()

    signal.signal(signal.SIGALRM, on_alarm)
    classes = {n: getattr(q, n) for n in q.__all__
               if isinstance(getattr(q, n), type) and not issubclass(getattr(q, n), BaseException)}
    table = {n: entries(c) for n, c in classes.items()}
    registry = collections.defaultdict(list)  # instances of every class, for object-typed arguments
    outcomes = Outcomes()

    def makers(target):
        """The class's own constructor and factories, else every other class's factories."""
        own = [(classes[target], e) for e in table[target] if e[0] in ("new", "static")]
        if own:
            return own
        return [(classes[o], e) for o, es in table.items() if o != target for e in es if e[0] == "static"]

    seeding = [True]  # the pool is fixed once fuzzing starts: draws must not depend on earlier examples

    def harvest(value):
        if seeding[0] and type(value) in classes.values() and len(registry[type(value).__name__]) < 4:
            registry[type(value).__name__].append(value)

    def call_entry(fz, obj, entry, box):
        kind, mname, fn, params = entry
        if kind == "getter":
            return timed_call(getattr, (obj, mname), {})
        target = fn if kind in ("new", "static") else getattr(obj, mname)
        args, kwargs = fz.args_for(params, box)
        return timed_call(target, args, kwargs)

    def make(fz, target, box):
        for cls, entry in fz.draw(st.permutations(makers(target)))[:2]:
            status, value = call_entry(fz, None, entry, box)
            where = f"{cls.__name__}.{entry[1]}"
            if status == "raised":
                outcomes.note("build: " + check_raised(q, value, where))
            elif status == "ok":
                harvest(value)
                if isinstance(value, classes[target]):
                    box.append(value)
                    return value
        return None

    # Instances of every class for object-typed arguments: a few plausible builds each, then
    # whatever their methods return (objects only reachable through another class's method).
    @settings(max_examples=8, derandomize=True, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(st.data())
    def seed(data):
        fz = Fuzzer(q, st, data, registry, seeding=True)
        for n in classes:
            if makers(n):
                obj = make(fz, n, [])
                if obj is not None:
                    for entry in table[n]:
                        if entry[0] == "method" and not entry[3]:
                            status, value = call_entry(fz, obj, entry, [])
                            if status == "ok":
                                harvest(value)

    seed()
    seeding[0] = False

    def fuzz_class(name):
        cls = classes[name]
        outcomes.counts.clear()

        @settings(max_examples=examples, derandomize=True, deadline=None, database=None,
                  suppress_health_check=list(HealthCheck))
        @given(st.data())
        def fuzz(data):
            fz = Fuzzer(q, st, data, registry)
            box = []
            own_makers = any(e[0] in ("new", "static") for e in table[name])
            obj = make(fz, name, box)
            if obj is None:
                # Objects only another class builds come from the seed pool.
                if own_makers or not registry.get(name):
                    return
                obj = fz.pick(registry[name])
            if hasattr(cls, "__len__"):
                fz.length = len(obj)
            calls = [e for e in table[name] if e[0] in ("method", "getter", "static")]
            if not calls:
                return
            for _ in range(fz.draw(st.integers(1, 3))):
                entry = fz.pick(calls)
                where = f"{name}.{entry[1]}"
                before = snapshot(obj)
                status, value = call_entry(fz, obj, entry, box)
                after = snapshot(obj)
                if status == "ok":
                    outcomes.note("ok")
                    harvest(value)
                    if entry[1].startswith(("evolve", "eval", "apply")) or entry[1] == "values":
                        assert all_finite(value), f"{where}: non-finite result {value!r}"
                        assert after is None or bool(np.isfinite(after).all()), f"{where}: non-finite state"
                    continue
                label = "interrupted" if status == "timeout" else check_raised(q, value, where)
                outcomes.note(label)
                if label == "interrupted":
                    # The timer may also fire just after a call returned: only finiteness is certain.
                    assert after is None or bool(np.isfinite(after).all()), f"{where}: non-finite state"
                elif entry[0] != "static" and before is not None and after is not None:
                    assert before.shape == after.shape and np.array_equal(before, after), \
                        f"{where}: failed call ({label}) changed the values"

        fuzz()
        return dict(outcomes.counts)

    for name in names:
        print(START + name, flush=True)
        print(json.dumps(fuzz_class(name)), flush=True)


def exported_classes():
    try:
        import quorvane as q
    except ImportError:
        return []
    return [n for n in q.__all__ if isinstance(getattr(q, n), type) and not issubclass(getattr(q, n), BaseException)]


CLASSES = exported_classes()
# Classes per subprocess: start-up and seeding are paid once per group.
GROUPS = [CLASSES[i:i + GROUP_SIZE] for i in range(0, len(CLASSES), GROUP_SIZE)]


def text_of(out):
    return out.decode(errors="replace") if isinstance(out, bytes) else (out or "")


@pytest.mark.parametrize("names", GROUPS, ids=lambda g: f"{g[0]}..{g[-1]}")
def test_hostile_calls(names):
    pytest.importorskip("hypothesis")
    examples = max(40, TOTAL_EXAMPLES // max(len(CLASSES), 1))
    try:
        proc = subprocess.run([sys.executable, __file__, str(examples), *names], capture_output=True, text=True,
                              timeout=CLASS_TIMEOUT * len(names))
        out, err, status = proc.stdout, proc.stderr, proc.returncode
    except subprocess.TimeoutExpired as e:
        out, err, status = text_of(e.stdout), text_of(e.stderr), "timeout"
    lines = out.splitlines()
    started = [k for k, line in enumerate(lines) if line.startswith(START)]
    current = lines[started[-1]][len(START):] if started else "(seeding)"
    assert status == 0, f"{current}: exit status {status}\n{out[-3000:]}\n{err[-3000:]}"
    assert [lines[k][len(START):] for k in started] == names
    for k in started:
        assert sum(json.loads(lines[k + 1]).values()) > 0, lines[k]


if __name__ == "__main__":
    run_classes(sys.argv[2:], int(sys.argv[1]))
