"""No hang, no abort, no internal fault: reproducers of faults once found, each run where a
hang or an abort shows (a subprocess with a timeout, its exit status)."""

import ctypes
import gc
import re
import signal
import subprocess
import sys
import textwrap
import time
import weakref

import numpy as np
import pytest

import quorvane as q
from conftest import raises_exact
from quorvane import QuorvaneError

PRELUDE = "import numpy as np, quorvane as q\nu = lambda n: np.sin(np.linspace(0.0, 3.0, n))\n"


def run_py(code, timeout=30):
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


def kind_of(call):
    try:
        call()
    except QuorvaneError as e:
        return str(e)[1:str(e).index("]")]
    return None


def u(n):
    return np.sin(np.linspace(0.0, 3.0, n))


# Step counts near 2**63 once sent the search for the least admissible count into an endless
# loop with the interpreter lock held.
@pytest.mark.parametrize("call", [
    "q.Heat1DZeta4(-6, 6, 130, u(130)).evolve(1e15)",
    "q.Heat1DZeta6(0, 1, 5, u(5)).evolve(2.0**63)",
    "q.Heat1DZeta8(-4, 4, 64, u(64)).evolve(2.0**63)",
    "q.DirichletHeat2nd1D(-1.2, 0.5, 24, u(24)).evolve(1e308, 8)",
    "q.DriftReaction4th1D(-2, 2, 8, u(8)).evolve(1e17, 1)",
    # Its field steps would be split into ~1e150 pieces.
    "q.ComplexTripleJumpV8(-2.0, 2.0, 12).apply_real(1e300, np.ones(12**5))",
])
def test_huge_steps_fail_at_once(call):
    proc = run_py(f"""
        try:
            {call}
        except q.QuorvaneError as e:
            print(str(e)[:13])
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[CflViolated]"


# Calls that would run for minutes: serial steps, column batches on worker threads, step
# schedules, an adaptive search, a call that keeps the interpreter lock.
@pytest.mark.parametrize("build, call", [
    ("q.Heat1D(0, 1, 64, u(64))", "obj.evolve(0.1, 10**9)"),
    ("q.Heat1D(0, 1, 64, u(64), dtype='f32')", "obj.evolve(0.1, 10**9)"),
    ("q.Heat2D(0, 1, 64, 0, 1, 48)", "obj.evolve(u(64 * 48), 1e-5, 10**9)"),
    ("q.Heat3D(0, 1, 12, 0, 1, 10, 0, 1, 8)", "obj.evolve(u(960), 1e-5, 10**9)"),
    ("q.NonSeparable2D(0, 1, 64, 0, 1, 64, u(4096), c=0.3)", "obj.evolve(1.0, 10**8)"),
    ("q.MatrixDiffusion2D(0, 1, 40, 0, 1, 40, u(3200))", "obj.evolve(1.0, 10**9)"),
    ("q.Howland1D(0, 1, 500, u(500), n_t=4000)", "obj.evolve()"),
    ("q.Shift1D(0, 1, 64, u(64))", "obj.evolve_batched(0.1, np.ones((64, 2000)), 10**8)"),
    ("q.DriftReaction1D(0, 1, 64, u(64))", "obj.evolve_with_time_schedule(0.1, 10**9, [0.5, 0.5])"),
    ("q.AdaptivePI(0, 1, 2000, u(2000), tol_abs=1e-14, tol_rel=1e-14)", "obj.evolve(1e6)"),
    ("q.GraphHeat(q.Graph.path(64), rho_bar=4.0)", "obj.evolve_batched(0.1, 4 * 10**9, np.ones((64, 8)))"),
    ("q.TtEvolver([1.0] * 3, [0.0] * 3, 0.0, [-1.0] * 3, [1.0] * 3, 1e-10)",
     "obj.evolve(q.TtState([np.ones(16)] * 3), 0.1, 10**9)"),
    # Reverse sweeps keep only checkpoints: no n_steps-sized trajectory before the first poll.
    ("None", "q.shift1d_coeff_grad(0, 1, 64, *[np.full(64, 0.3)] * 3, u(64), u(64), 0.1, 10**9)"),
    ("None", "q.edge_weight_grad(q.Graph.path(64), u0=u(64), dj_du_n=u(64), t=0.1, n_steps=10**9, rho_bar=4.0,"
             " params='all_edges')"),
    # One stiff backward-Euler step: a single CG solve of 10**5 iterations (~30 s), polled inside.
    ("q.SymmetricOperator.from_csr(np.r_[0, np.arange(2, 299997, 3), 299998],"
     " (np.arange(100000)[:, None] + np.arange(-1, 2)).ravel()[1:-1].astype(np.int32),"
     " np.tile([-1.0, 2.0, -1.0], 100000)[1:-1], 100000)",
     "obj.evolve_batched(1e9, np.ones((100000, 1)), path='implicit', n_steps=1)"),
    # A dense O(n^3) factorisation and bound that keeps the interpreter lock, held to one
    # processor so that it lasts seconds on any machine (on all of them it may end before
    # the signal comes).
    ("(__import__('os').sched_setaffinity(0, {min(__import__('os').sched_getaffinity(0))}),"
     " q.SymmetricOperator.from_csr(np.arange(3001), np.arange(3000, dtype=np.int32), np.ones(3000), 3000),"
     " 4.0 * np.eye(3000).ravel())", "q.MassKOperator.from_k_and_mass(*obj[1:])"),
    # One ETDRK4 step of h * lambda_bar = 1e5 (~1e7 sparse products, minutes): polled inside its phi actions.
    ("q.Etdrk4.from_symmetric_op(q.ConservativeDiffusionChernoff.from_k_array(10**4, 0.0, 1.0, np.ones(10**4))"
     ".to_symmetric_operator(), 'allen_cahn', 2.5e-4)", "obj.step(u(10**4))"),
    # Steps of seconds each (for the resolvent jumps, single contour nodes), polled inside: per
    # block of values, row or elimination column. The quicker sweeps run several steps, so that
    # the signal always lands inside the call.
    ("q.HypoellipticChernoffEngel(-1, 1, 40, np.ones(40**4))", "obj.evolve(0.1, 1)"),
    ("q.Manifold2D(0, 3, 2048, 0, 6, 2048, np.ones(2048**2), manifold='sphere2')", "obj.evolve(0.01, 1)"),
    ("q.AnisotropicShiftND2(1536, 1536, 0, 1, 0, 1, np.tile([1.0, 0.0, 0.0, 1.0], 1536**2))", "obj.evolve(1e-20, 1)"),
    ("q.NonSeparable2D(0, 1, 3072, 0, 1, 3072, np.ones(3072**2), c=0.5)", "obj.evolve(1e-20, 12)"),
    ("(q.ObstacleNDV8(0, 1, 3072, 0, 1, 3072, 0.0), np.ones(3072**2))",
     "[obj[0].apply(0.1, obj[1]) for _ in range(12)]"),
    ("(q.SmolyakD6V8(0.0, 1.0, 8), np.ones(8**6))", "obj[0].apply(1e-9, obj[1])"),
    ("(q.ComplexTripleJumpV8(-2.0, 2.0, 12), np.ones(12**5))", "[obj[0].apply_real(0.01, obj[1]) for _ in range(8)]"),
    # One step of about 800 field sub-steps (minutes), polled inside each.
    ("(q.ComplexTripleJumpV8(-2.0, 2.0, 12), np.ones(12**5))", "obj[0].apply_real(40.0, obj[1])"),
    ("(q.ResolventJump2DV8(0, 1, 1400, 0, 1, 4, 32), np.ones(5600))", "obj[0].jump(1e-3, obj[1])"),
    ("(q.ResolventJump3DV8(0, 1, 32, 0, 1, 32, 0, 1, 7, 32), np.ones(7168))", "obj[0].jump(1e-3, obj[1])"),
    # One lifted step of 10**5 slices takes seconds: polled between the slices.
    ("q.Howland1D(0, 1, 64, u(64), n_t=10**5, t_horizon=0.1)", "obj.evolve()"),
    # Calls that keep the lock: one coupled tensor-train step of ~10 s (the Jacobi sweeps of its
    # pair splits), and the n^2 stability symbols and spectral steps of 10**5 nodes an axis.
    ("(q.TtCoupledEvolver([1.0] * 4, [0.0] * 4, 0.0, ('Tridiagonal', 0.3), [0.0] * 4, [1.0] * 4, 0.0),"
     " q.TtState([np.random.default_rng(0).standard_normal(64) for _ in range(4)]))", "obj[0].evolve(obj[1], 1e-2, 1)"),
    ("(q.VarCoefTtEvolver([np.ones(10**5)] * 2, [np.zeros(10**5)] * 2, [[]] * 2, [(0.0, 1.0)] * 2, 1e-10),"
     " q.TtState([np.ones(10**5)] * 2))", "obj[0].evolve(obj[1], 1e-9, 1)"),
    # Chunks of 5 steps, each far shorter than the stop poll's interval: answered between them.
    ("q.Heat1D(-6, 6, 130, u(130))", "obj.evolve_chunked(0.5, 2**63 - 1, 5)"),
    # Factories that keep the lock: 5 * 10**9 pair draws (~10 s), and duplicate scans of
    # O(M * max degree) on a star (~15 s) and in the sub-graphs of a complete graph (~8 s).
    ("None", "q.Graph.erdos_renyi(10**5, 0.001)"),
    ("np.c_[np.zeros(3 * 10**5), np.arange(1, 3 * 10**5 + 1), np.ones(3 * 10**5)]",
     "q.Graph.from_edges(3 * 10**5 + 1, obj)"),
    ("q.Graph.erdos_renyi(5000, 1.0)", "q.StrangGraph.from_path(obj)"),
    # The same scans rebuild the graph in single precision (~13 s), without the lock.
    ("q.GraphHeat(graph=q.Graph.erdos_renyi(5000, 1.0), rho_bar=1e4, dtype='f32')", "obj.evolve(1e-9, 1, np.ones(5000))"),
])
def test_ctrl_c_stops_a_long_call_and_keeps_the_values(build, call):
    # A parent that ignores SIGINT (a background job of a script) passes the ignore on, and
    # Python then installs no handler of its own: put back the one that raises KeyboardInterrupt.
    code = PRELUDE + textwrap.dedent(f"""
        import signal, time
        signal.signal(signal.SIGINT, signal.default_int_handler)
        obj = {build}
        before = obj.values() if hasattr(obj, "values") else None
        print("ready", flush=True)
        start = time.monotonic()
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start < 5.0, before is None or np.array_equal(obj.values(), before))
    """)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)  # as Ctrl-C does, from outside: also reaches a call that keeps the lock
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert out.split() == ["interrupted", "True", "True"], err


# Raised once, early in a call of 10**9 steps, by a_prime, whose NaN alone would not end the
# loop: the call ends with that exception at once.
@pytest.mark.parametrize("exc", ["KeyboardInterrupt", "SystemExit"])
def test_callback_base_exceptions_end_the_call_as_themselves(exc):
    proc = run_py(f"""
        calls = [0]
        def a_prime(x):
            calls[0] += 1
            if calls[0] == 1000:
                raise {exc}("from a_prime")
            return 0.0
        h = q.Heat1D.with_a_function(0.0, 1.0, 8, lambda x: 1.0, a_prime, lambda x: 0.0, 1.0, u(8))
        before = h.values()
        try:
            h.evolve(0.01, 10**9)
        except {exc} as e:
            print(type(e).__name__, e, np.array_equal(h.values(), before))
    """)
    assert proc.stdout.split() == [exc, "from", "a_prime", "True"], proc.stderr


def test_graph_rounded_inside_a_callback_does_not_wait_for_the_lock():
    # lap_at_t's graph is rebuilt in single precision with the lock taken back from the call
    # that released it; a stop poll there asked that call's hook, which takes the lock again.
    proc = run_py("""
        m = 30000
        g = q.Graph.from_edges(m + 1, np.c_[np.zeros(m), np.arange(1, m + 1), np.ones(m)])
        h = q.MagnusGraphHeat(graph=g, lap_at_t=lambda t: g, rho_bar_max=2.0 * (m + 1), dtype="f32")
        print(h.evolve(1e-6, 2, np.ones(m + 1)).sum())
    """)
    assert proc.returncode == 0, proc.stderr
    assert float(proc.stdout) == 30001.0


def test_daemon_thread_inside_evolve_at_exit():
    # The interpreter ends such a thread by a forced unwind when it asks for the lock again: at
    # the end of a call, for a Python callback, or inside the callback's own code, after which
    # the thread holds no lock to release. Processes side by side on a busy machine put the exit
    # at every point of the calls.
    code = PRELUDE + textwrap.dedent("""
        import threading, time
        def loop(call):
            threading.Thread(target=lambda: [call() for _ in iter(int, 1)], daemon=True).start()
        g = q.Graph.path(16)
        h = q.Heat1D(0, 1, 64, u(64))
        ha = q.Heat1D.with_a_function(0, 1, 64, lambda x: 1.0, lambda x: 0.0, lambda x: 0.0, 1.0, u(64))
        mg = q.MagnusGraphHeat(graph=g, lap_at_t=lambda t: g, rho_bar_max=6.0)
        vm = q.VarCoefMagnusGraph(16, lap_at_t=lambda t: g, a_at_t=lambda t: np.ones(16), rho_bar_max=6.0,
                                  a_sup_max=1.1)
        loop(lambda: h.evolve(0.1, 10**8))
        loop(lambda: ha.evolve(1e-3, 1000))
        loop(lambda: mg.evolve(0.1, 1000, np.ones(16)))
        loop(lambda: vm.evolve(0.1, 1000, np.ones(16)))
        time.sleep(0.05)
    """)
    failures = []
    for _ in range(3):
        procs = [subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                  text=True) for _ in range(8)]
        try:
            for proc in procs:
                err = proc.communicate(timeout=60)[1]
                if proc.returncode != 0 or "Fatal Python error" in err:
                    failures.append((proc.returncode, err[-500:]))
        finally:
            for proc in procs:
                proc.kill()
    assert failures == []


@pytest.mark.parametrize("xmin,xmax", [(-1.7e308, 1.7e308), (0.0, 5e-324), (-2.0, 1e300)])
def test_grids_whose_spacing_leaves_the_range_are_refused(xmin, xmax):
    with pytest.raises(QuorvaneError, match=r"^\[OutOfDomain\] the grid spacing dx = \(xmax - xmin\)/\(n - 1\)"):
        q.Heat1DZeta4(xmin, xmax, 8, u(8))


def test_lying_length_and_complex_arrays():
    class Lying:
        def __len__(self):
            return 2**40

        def __getitem__(self, i):
            if i < 3:
                return 1.0
            raise IndexError(i)

    assert kind_of(lambda: q.Heat1D(0.0, 1.0, 8, Lying())) == "GridMismatch"
    with pytest.raises(TypeError, match="u0 must be"):
        q.Heat1D(0.0, 1.0, 8, u(8).astype(np.complex128))


def test_unaligned_and_aligned_inputs_agree():
    raw = np.zeros(8 * 16 + 1, np.uint8)[1:].view(np.float64)
    raw[:] = u(16)
    a, b = q.Heat1D(0.0, 1.0, 16, raw), q.Heat1D(0.0, 1.0, 16, u(16))
    a.evolve(0.01, 4)
    b.evolve(0.01, 4)
    assert np.array_equal(a.values(), b.values())


def test_point_value_overflow_is_naninf():
    # Data at the top of the range whose value is a double are served (the read's sums are
    # formed on the data scaled down); a value beyond the range is refused with the scale that
    # keeps it within: the read overshoots a step by 12 % at x = -0.08.
    assert q.PointEval(-2, 2, 8).eval_at(0.0, np.full(8, 1.7e308), 0.3) == 1.7e308
    step = np.array([0.0, 0, 0, 1, 1, 1, 1, 1])
    assert kind_of(lambda: q.PointEval(-2, 2, 8).eval_at(0.0, 1.7e308 * step, -0.08)) == "NanInf"
    assert q.PointEval(-2, 2, 8).eval_at(0.0, 1.603e308 * step, -0.08) < 1.8e308


def test_carnot_step_serves_data_at_the_top_of_the_range():
    # The step is linear and runs at the data's unit scale: a constant at 1.7e308 (once refused
    # as NaN, an intermediate leaving the doubles) is kept to rounding, with the bits of the same
    # data 2^-600 as small scaled back.
    obj = q.ComplexTripleJumpV8(0.0, 1.0, 4)
    top = obj.apply_real(1e-3, np.full(4**5, 1.7e308))
    np.testing.assert_allclose(top, 1.7e308, rtol=1e-14)
    np.testing.assert_array_equal(obj.apply_real(1e-3, np.full(4**5, 1.7e308 * 2.0**-600)) * 2.0**600, top)


# Finite input whose result leaves the double range: refused with the text every
# evolver gives a non-finite result, never returned (NaN or inf given is still carried);
# SmolyakD6V8 says instead that its result overflowed and what scale passes.
FP = q.AdjointFokkerPlanckV8(1.0, 0.0, 0.0)
MEASURE = q.MeasureState([1.0, 2.0], [1.7e308, 1.7e308], 1)


def smolyak_corner_overflow():
    # At 2 sqrt(tau)/h = 0.5 no mode grows, yet the corner's reads weigh 1.366 in absolute
    # sum: data of their signs at 1.348e308 give 1.84e308 there.
    obj = q.SmolyakD6V8(0.0, 1.0, 4)
    corner = np.zeros(4**6)
    corner[0] = 1.0
    return obj.apply(1.0 / 144.0, np.sign(obj.apply(1.0 / 144.0, corner)) * 1.5 * 2.0**1023)


@pytest.mark.parametrize("call, shown", [
    (smolyak_corner_overflow, re.compile(r"\[NanInf\] SmolyakD6V8: the result \(tau = 6\.944e-3, n_steps = 1\) "
                                         r"overflows the double range: .* gives a result in range")),
    (lambda: FP.second_moment([1.0, 2.0], [1.7e308, 1.7e308]), "inf"),
    (lambda: FP.total_variation([1.0, 2.0], [1.7e308, 1.7e308]), "inf"),
    (lambda: FP.second_moment([1e200], [1.0]), "inf"),
    (lambda: MEASURE.second_moment(), "inf"),
    (lambda: MEASURE.total_variation(), "inf"),
    # A weight (tau c)^2 w, and a position x + 2 b tau: each refusal names what keeps it within.
    (lambda: q.AdjointFokkerPlanckV8(1.0, -0.5, 1e300).step(1e-3, [0.0], [1.0], 2),
     re.compile(r"\[NanInf\] AdjointFokkerPlanckV8\.step: the result lies beyond .* max\|w0\| <= 1\.797e-286 .*")),
    (lambda: q.AdjointFokkerPlanckV8(0.0, 1e308, 0.0).step(0.5, [1.7e308], [1.0]),
     re.compile(r"\[NanInf\] AdjointFokkerPlanckV8\.step: the atoms' positions leave .*; tau <= \S+ keeps them "
                r"within it")),
    # 1/(4 h^2) at the origin: the refusal names the times from which every density is a double.
    (lambda: q.heisenberg_heat_kernel(5e-324, 0.0, 0.0, 0.0), re.compile(r"\[NanInf\] heisenberg_heat_kernel: .* h >= 3\.730e-155 .*")),
    (lambda: q.heisenberg_heat_kernel(1e-160, 1e-80, 0.0, 0.0), re.compile(r"\[NanInf\] heisenberg_heat_kernel: .* h >= 3\.730e-155 .*")),
    # V'' ~ 5e236/h^2 with h = 7.75e-116 (was returned as -inf).
    (lambda: q.ObstacleGammaV8(0.0, 1.24e-114, 17, level=-1e300).inactive_gamma(5e236 * np.cos(np.arange(17.0))),
     re.compile(r"\[NanInf\] ObstacleGammaV8\.inactive_gamma: V'' at node 1 lies beyond the double range "
                r"\(h = 7\.750e-116, max\|v\| = 5\.000e236\); max\|v\| <= \S+ keeps every V'' within it")),
])
def test_finite_input_giving_non_finite_results_is_refused(call, shown):
    with pytest.raises(QuorvaneError) as info:
        call()
    if isinstance(shown, re.Pattern):
        assert shown.fullmatch(str(info.value))
    else:
        assert str(info.value) == f"[NanInf] all values must be finite (no NaN/Inf): {shown}"


# The classes that keep a Python callable: a build around `fn`, a value `fn` may return, and a
# call that reaches it.
HOLDERS = {
    "Heat1D": (lambda fn: q.Heat1D.with_a_function(0.0, 1.0, 8, fn, lambda x: 0.0, lambda x: 0.0, 1.0, np.ones(8)),
               1.0, lambda h: h.evolve(0.01, 2)),
    "MagnusGraphHeat": (lambda fn: q.MagnusGraphHeat(q.Graph.path(4), lap_at_t=fn, rho_bar_max=4.0),
                        q.Graph.path(4), lambda m: m.evolve(0.1, 2, np.ones(4))),
    "MagnusGraphHeat6": (lambda fn: q.MagnusGraphHeat6(q.Graph.path(4), lap_at_t=fn, rho_bar_max=4.0),
                         q.Graph.path(4), lambda m: m.evolve_batched(0.1, 2, np.ones((4, 2)))),
    "VarCoefMagnusGraph": (lambda fn: q.VarCoefMagnusGraph(4, lap_at_t=lambda t: q.Graph.path(4), a_at_t=fn,
                                                           rho_bar_max=4.0, a_sup_max=1.0),
                           np.ones(4), lambda m: m.evolve(0.1, 2, np.ones(4))),
    "GraphAdjoint": (lambda fn: q.GraphAdjoint(q.Graph.path(4), lap_at_t=fn, rho_bar=4.0),
                     q.Graph.path(4), lambda m: m.evolve_state_adjoint(np.ones(4), 0.1, 2)),
}


def clear_slot(obj):
    """Runs the type's tp_clear on obj, as the collector does when it breaks a cycle."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(obj), 51))  # Py_tp_clear
    assert clear(obj) == 0


@pytest.mark.parametrize("name", HOLDERS)
def test_cycles_through_held_callables_are_collected(name):
    make, result, call = HOLDERS[name]

    class Box:
        pass

    alive = []
    for _ in range(1000):
        box = Box()
        box.obj = make(lambda x, box=box: result)
        alive.append(weakref.ref(box))
    call(box.obj)
    del box
    gc.collect()
    assert sum(r() is not None for r in alive) == 0

    # An object cleared while a cycle is broken refuses later calls and keeps its values.
    obj = make(lambda x: result)
    before = obj.values() if hasattr(obj, "values") else None
    clear_slot(obj)
    with pytest.raises(QuorvaneError, match=r"^\[(NanInf|OutOfDomain)\]"):
        call(obj)
    if before is not None:
        assert np.array_equal(obj.values(), before)


# Sums whose terms are in range but whose plain accumulation is not: the squared norm of a
# psi of 1e200 on a grid of dx = 1e-102 is 1.01e300 (its squares, 1e400, are formed scaled by a
# power of two); where the value itself lies beyond the range the getter refuses and says what
# passes (a psi whose squared norm is at the range's top: 1.333e154 here).
PSI = np.exp(1j * np.linspace(0.0, 3.0, 101))
BEYOND_NORM = ("[NanInf] norm_squared: sum |psi_i|^2 dx exceeds the double range (largest part |Re psi_i| or "
               "|Im psi_i| = {}, dx = 1.000e-2); psi scaled to parts below 1.333e154 passes")


@pytest.mark.parametrize("read, expected", [
    (lambda: q.Schrodinger1D(0.0, 1e-100, 101, 1e200 * PSI).norm_squared(), 1.01e300),
    (lambda: q.SchrodingerComplex1D(0.0, 1e-100, 101, 1e200 * PSI).norm_squared(), 1.01e300),
    (lambda: q.Schrodinger1D(0.0, 1.0, 101, 1.3e154 * PSI).norm_squared(), 1.3e154**2 * 1.01),
    (lambda: q.Schrodinger1D(0.0, 1.0, 101, 1e200 * PSI).norm_squared(), BEYOND_NORM.format("1.000e200")),
    (lambda: q.SchrodingerComplex1D(0.0, 1.0, 101, 1e300 * PSI).norm_squared(), BEYOND_NORM.format("1.000e300")),
    (lambda: q.QuantumGraph.from_edges([0.0, 1.0, 6e307, 1.0, 2.0, 6e307, 2.0, 3.0, 5e307]).total_arc_length, 1.7e308),
    (lambda: q.QuantumGraph.from_edges([0.0, 1.0, 1e308, 1.0, 2.0, 1e308]).total_arc_length,
     "[NanInf] total_arc_length: the sum of the 2 edge lengths exceeds the double range (longest edge 1.000e308)"),
])
def test_getters_of_huge_data_return_the_value_or_refuse(read, expected):
    if isinstance(expected, str):
        raises_exact(QuorvaneError, expected, read)
    else:
        assert read() == pytest.approx(expected, rel=1e-14)  # sums of 101 squares
