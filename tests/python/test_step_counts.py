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
from scipy.special import roots_genlaguerre

import quorvane as q
from conftest import raises_exact
from quorvane import QuorvaneError

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
    "Subordinated1D-gamma": ("q.Subordinated1D(0, 1, 16, u(16), subordinator='gamma', c=1000.0, boundary='zero')", EVOLVE, U64),
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


# Subordinated1D: the Levy-measure laws split a step into sub-steps of jump weight at most 1, the
# weight of a step of t being t times that of a unit step, so a call costs at least that many
# sub-steps whatever n_steps; past 10000 it is refused before any work. The unit weight from SciPy's
# generalised Laguerre rule: sum_k w_k e^x_k / x_k times alpha / Gamma(1 - alpha) (stable law, rule of
# x^-alpha e^-x), sum_k w_k / y_k times c / (2 sqrt(pi)) (inverse Gaussian, rule of x^-1/2 e^-x).
def unit_weight(law, param):
    x, w = roots_genlaguerre(32, -param if law == "stable" else -0.5)
    if law == "stable":
        return param / math.gamma(1 - param) * np.sum(w * np.exp(x) / x)
    return param / (2 * math.sqrt(math.pi)) * np.sum(w / x)


def exp3(x):
    """x as the messages print "{:.3e}": 1.000e17, 9.986e2."""
    mantissa, exponent = f"{x:.3e}".split("e")
    return f"{mantissa}e{int(exponent)}"


CAP = ("[OutOfDomain] Subordinated1D: t = {} is too long for one call of the {} law ({} = {}, n_nodes = 32): its "
       "jumps over t weigh {}, and the steps are split into sub-steps of jump weight at most 1, more than the 10000 "
       "one call takes at any n_steps; one call serves t <= {} (longer times take several calls)")


@pytest.mark.parametrize("law, key, param", [("stable", "alpha", 0.5), ("stable", "alpha", 0.9),
                                             ("inverse_gaussian", "c", 100.0)])
def test_subordinated_calls_past_the_cap_are_refused_before_any_work(law, key, param):
    # (reflecting ends take the inverse-Gaussian law's exact modes, without sub-steps)
    obj = q.Subordinated1D(0, 1, 16, np.ones(16), subordinator=law, boundary="zero", **{key: param})
    unit = unit_weight(law, param)
    with pytest.raises(QuorvaneError) as info:
        obj.evolve(1e300, 10**19)
    t_max = float(str(info.value).rsplit("t <= ", 1)[1].split()[0])
    assert t_max * unit == pytest.approx(1e4, rel=1e-9)  # the two eigen-solvers agree to ~1e-12
    text = "stable" if law == "stable" else "inverse-Gaussian"
    for t, n_steps in ((1e17, 1), (2.0**63, 1), (1e30, 1), (1e300, 1), (math.nextafter(t_max, math.inf), 100)):
        raises_exact(QuorvaneError, CAP.format(exp3(t), text, key, f"{param:g}", exp3(t * unit), repr(t_max)),
                     obj.evolve, t, n_steps)
    assert np.array_equal(obj.values(), np.ones(16))
    lines = run_interrupting(f"""
import numpy as np, quorvane as q, signal, time
signal.signal(signal.SIGINT, signal.default_int_handler)
obj = q.Subordinated1D(0, 1, 16, np.ones(16), subordinator={law!r}, {key}={param}, boundary="zero")
print("ready", flush=True)
try:
    obj.evolve({t_max!r}, 1)
    print("done")
except KeyboardInterrupt:
    print("interrupted", np.array_equal(obj.values(), np.ones(16)))
""")
    assert lines[1:] in (["done"], ["interrupted True"]), lines


def test_subordinated_gamma_steps_beyond_the_rule_name_the_count():
    # The Gamma law's rule weighs x^(tau - 1) e^-x, of mass Gamma(tau): finite up to tau = 171.62.
    math.gamma(171.6)
    with pytest.raises(OverflowError):
        math.gamma(171.7)
    x = np.linspace(0.0, 1.0, 41)
    obj = q.Subordinated1D(0, 1, 41, np.cos(np.pi * x), subordinator="gamma", c=1000.0, boundary="zero")
    raises_exact(QuorvaneError, "[OutOfDomain] Subordinated1D: tau = t/n_steps = 2.000e2 is too long a step for the "
                 "Gamma law (c = 1000, n_nodes = 32): its rule weighs x^(tau - 1) e^-x, whose mass Gamma(tau) leaves "
                 "the double range; the largest admissible tau is 1.716e2; use n_steps >= 3 for t = 400",
                 obj.evolve, 400.0, 2)
    obj.evolve(400.0, 3)
    # With reflecting ends the mode decays as exp(-t log(1 + pi^2 / c)) at any step; 1e-4: the grid's error.
    obj = q.Subordinated1D(0, 1, 41, np.cos(np.pi * x), subordinator="gamma", c=1000.0)
    obj.evolve(400.0, 2)
    assert obj.values()[0] == pytest.approx(math.exp(-400.0 * math.log1p(math.pi**2 / 1000.0)), rel=1e-4)
