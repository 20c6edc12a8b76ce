"""The step counts and times a refusal names, at t up to 1e300: each count lies within the range of the
argument that takes it and passes, and so do the larger ones; where no count fits, the longest time one
call serves is named and served. A search for the count that added one to a double once spun forever
above 2^53 with the interpreter lock held; other refusals named counts of up to 987 bits."""

import math
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import quorvane as q

U64, U32 = 2**64 - 1, 2**32 - 1
EVOLVE = "obj.evolve(t, n)"
GRAPH = "obj.evolve(t, n, np.ones(8))"
# (the object, a call of duration t in n steps, the range of its n_steps)
CASES = {
    "Heat1DZeta4": ("q.Heat1DZeta4(0, 1, 16, u(16))", EVOLVE, U64),
    "Heat1DZeta6": ("q.Heat1DZeta6(0, 1, 16, u(16))", EVOLVE, U64),
    "Heat1DZeta8": ("q.Heat1DZeta8(0, 1, 16, u(16))", EVOLVE, U64),
    "DriftReaction4th1D": ("q.DriftReaction4th1D(-2, 2, 8, u(8))", EVOLVE, U64),
    "Schrodinger1D": ("q.Schrodinger1D(0, 1, 16, u(16) + 0j)", EVOLVE, U64),
    "NonSeparable2D": ("q.NonSeparable2D(-2.0, 2.0, 5, -1.5, 1.5, 6, u0=u(30), c=0.5)", EVOLVE, U64),
    "NonSeparable2D-amplifying": ("q.NonSeparable2D(0, 1, 16, 0, 1, 16, u0=u(256), c=1.9)", EVOLVE, U64),
    "NonSeparable2D.with_beta_array": (
        "q.NonSeparable2D.with_beta_array(-2.0, 2.0, 5, -1.5, 1.5, 6, np.full(30, 0.5), u(30))", EVOLVE, U64),
    "NonSeparable2DAniso": (
        "q.NonSeparable2DAniso(-2.0, 2.0, 5, -1.5, 1.5, 6, np.full(30, 0.5), u(30), beta_norm_bound=1.0)",
        EVOLVE, U64),
    "Manifold2D": ("q.Manifold2D(0, 3, 16, 0, 6, 16, np.ones(256), manifold='sphere2')", EVOLVE, U64),
    "QuantumGraphHeat": ("q.QuantumGraphHeat(q.QuantumGraph.star(3, n_grid=20))", EVOLVE, U64),
    "GraphHeat": ("q.GraphHeat(q.Graph.path(8), rho_bar=4.0)", GRAPH, U32),
    "GraphHeat4th": ("q.GraphHeat4th(graph=q.Graph.path(8), rho_bar=4.0)", GRAPH, U32),
    "GraphHeat6": ("q.GraphHeat6(graph=q.Graph.path(8), rho_bar=4.0)", GRAPH, U32),
    "StrangGraph": ("q.StrangGraph.from_path(q.Graph.path(8))", GRAPH, U32),
    "SmolyakD6V8": ("q.SmolyakD6V8(0.0, 1.0, 4)", "obj.apply(t / n, np.ones(4**6), n)", U64),
    # A reaction of at most 0: the long calls named must not overflow before they are interrupted.
    "VarCoefTtEvolver": ("q.VarCoefTtEvolver([1 + 0.5 * np.sin(np.arange(8)) ** 2], [0.3 * np.cos(np.arange(8))], "
                         "[0.1 * np.sin(np.arange(8)) - 0.1], [(0.0, 0.5)], 1e-10)",
                         "obj.evolve(q.TtState([u(8) + 2]), t, n)", U64),
}

# For each t: the refusal of one step; then, for a count named, one step of the length each of the
# least, the next, twice, ten times and the largest count that passes takes, and the call itself of
# the least count, started and interrupted (a count beyond the argument's range raises OverflowError);
# for a time named, one step of the length the largest count takes over it, and that call started.
CHILD = """
import math, re, signal, sys, time
import numpy as np, quorvane as q
signal.signal(signal.SIGINT, signal.default_int_handler)
u = lambda n: np.sin(np.linspace(0.0, 3.0, n))
make = lambda: {build}
def call(obj, t, n):
    return {call}
COUNT = re.compile(r"use (?:n_steps >= (\\d+)|(\\d+) <= n_steps <= (\\d+)|n_steps <= (\\d+))( for |$)")
SERVES = re.compile(r"one call serves t\\S*(?: = n_steps \\* tau)? <= (\\S+) \\(n_steps = (\\d+)\\)")

def say(*words):
    print(*words, flush=True)

def step(t, n):
    try:
        call(make(), t / n, 1)
        say("step", n, "admitted")
    except Exception as e:
        say("step", n, "refused", str(e))

def run(t, n):
    obj = make()
    say("ready")
    try:
        call(obj, t, n)
        say("run done")
    except KeyboardInterrupt:
        say("run interrupted")
        return
    except Exception as e:
        say("run refused", str(e))
    try:
        time.sleep(30)  # the parent's interrupt lands here
    except KeyboardInterrupt:
        pass

for t in (1e17, 2.0**63, 1e30, 1e300):
    try:
        call(make(), t, 1)
        say("admitted", t)
        continue
    except q.QuorvaneError as e:
        msg = str(e)
    say("refusal", msg)
    count, serves = COUNT.search(msg), SERVES.search(msg)
    if count:
        least = int(count.group(1) or count.group(2) or 1)
        most = int(count.group(3) or count.group(4) or {most})
        for n in sorted({{least, least + 1, 2 * least, 10 * least, most}}):
            if n <= most:
                step(t, n)
        run(t, least)
    elif serves:
        t_max, n = float(serves.group(1)), int(serves.group(2))
        say("serves", n)
        step(t_max, n)
        run(t_max, n)
"""


def run_interrupting(code, deadline=120):
    """Runs code in a fresh interpreter, interrupting (as Ctrl-C does) each call it announces with
    "ready" once it has started; its lines of output. A call that neither returns nor answers the
    interrupt, or a refusal that never returns, ends the process at the deadline."""
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(deadline, proc.kill)
    watchdog.start()
    lines = []
    try:
        for line in proc.stdout:
            lines.append(line.rstrip("\n"))
            if lines[-1] == "ready":
                time.sleep(0.2)
                proc.send_signal(signal.SIGINT)
        err = proc.stderr.read()
        proc.wait()
    finally:
        watchdog.cancel()
        proc.kill()
    assert proc.returncode == 0, err[-2000:]
    return lines


@pytest.mark.parametrize("name", CASES)
def test_named_counts_and_times_pass(name):
    build, call, most = CASES[name]
    lines = run_interrupting(CHILD.format(build=build, call=call, most=most))
    refusals = [line for line in lines if line.startswith("refusal ")]
    assert len(refusals) == 4, lines  # every t is refused at n_steps = 1, each at once
    for line in lines:
        assert not line.startswith(("admitted", "run refused")), line
        if line.startswith("step "):
            assert line.split()[2] == "admitted", line
        if line.startswith("serves "):
            assert int(line.split()[1]) == most, line
    # Each refusal named a count or a time, and that call was started.
    assert lines.count("run interrupted") + lines.count("run done") == 4, lines
    for refusal in refusals:
        assert "use " in refusal or "one call serves" in refusal, refusal


# Subordinated1D's flow is exact, so a call of any t and any count is served at once (one call of the
# stable law served t <= 998.6 at alpha = 1/2 and 46.39 at 0.9; the Gamma law's steps beyond tau = 171.6
# were refused): its result is the flow's limit, what the kernel keeps (nothing on zero ends, the
# trapezoidal mean on reflecting ends, the plain mean on periodic ones, a line on linear ends). A long call
# on many nodes (the stable law's) answers Ctrl-C.
@pytest.mark.parametrize("law, key, param", [("stable", "alpha", 0.5), ("stable", "alpha", 0.9),
                                             ("gamma", "c", 1000.0), ("inverse_gaussian", "c", 100.0)])
@pytest.mark.parametrize("boundary", ["zero", "reflect", "periodic", "linear"])
def test_subordinated_calls_of_any_t_are_served_at_once(law, key, param, boundary):
    u0 = np.sin(np.linspace(0.0, 3.0, 16)) + 0.3
    weights = {"zero": None, "reflect": np.r_[0.5, np.ones(14), 0.5], "periodic": np.ones(16), "linear": None}[boundary]
    for t, n_steps in ((1e17, 1), (2.0**63, 10**19), (1e300, 2**64 - 1), (1e300, 1)):
        obj = q.Subordinated1D(0, 1, 16, u0, subordinator=law, boundary=boundary, **{key: param})
        obj.evolve(t, n_steps)
        v = obj.values()
        if boundary == "zero":
            assert np.array_equal(v, np.zeros(16)) or np.max(np.abs(v)) <= 1e-15
        elif boundary == "linear":
            assert np.max(np.abs(np.diff(v, 2))) <= 1e-14  # a line, kept by a further call
            obj.evolve(1.0, 1)
            assert np.max(np.abs(obj.values() - v)) <= 1e-14
        else:
            assert np.max(np.abs(v - np.dot(weights, u0) / weights.sum())) <= 1e-14
    if (law, param) != ("stable", 0.5):
        return
    lines = run_interrupting(f"""
import numpy as np, quorvane as q, signal, time
signal.signal(signal.SIGINT, signal.default_int_handler)
u0 = np.sin(np.arange(2.0**17))
obj = q.Subordinated1D(0, 1, 2**17, u0, boundary={boundary!r})
print("ready", flush=True)
try:
    for _ in range(1000):
        obj.evolve(1.0, 1)
    print("done")
except KeyboardInterrupt:
    print("interrupted")
""")
    assert lines[1:] in (["done"], ["interrupted"]), lines
