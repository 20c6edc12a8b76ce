"""The binding frame through Heat1D: registration, QuorvaneError, final types, text signatures,
argument errors, borrows, and the conversions of float vectors and option strings."""

import importlib
import inspect
import pathlib
import pickle
import sys
import threading
import tomllib
import weakref

import numpy as np
import pytest
from packaging.version import Version

import quorvane
from conftest import U0_TYPE, error_text, raises_exact
from quorvane import Heat1D, QuorvaneError

# Every public name in its fixed registration order; a build registers a
# class only once it exists, so __all__ is an order-preserving subsequence.
REGISTRATION_ORDER = """
    Heat1D Heat2D Heat3D Heat1D4th Heat1D6th DriftReaction1D Shift1D Schrodinger1D GraphPath GraphHeat
    MagnusGraphHeat Graph Laplacian GraphHeat4th VarCoefGraphHeat MagnusGraphHeat6 GraphHeat6 VarCoefMagnusGraph
    NonSeparable2D Adjoint GraphAdjoint GraphAdjointPresampled AdaptivePI QuorvaneError version GrowthV3
    EvolverHeat1DUnitV3 HypoellipticChernoffHeisenberg heisenberg_heat_kernel Heat1DZeta4 Heat1DZeta6
    DiffusionExpmv1D DriftReaction4th1D Killing2nd1D MatrixDiffusion2D MatrixDiffusion3D Heat1DZeta8 TruncatedExp1D
    TruncatedExp4th1D Strang1D SchrodingerComplex1D Resolvent1D Killing1D Reflected1D Robin1D DirichletHeat2nd1D
    Howland1D Subordinated1D Manifold2D HypoellipticChernoffKolmogorov HypoellipticChernoffEngel QuantumGraph
    QuantumGraphHeat MatrixDiffusion1D PointEval GraphTraj StrangGraph sample_gridfn2d AnisotropicShiftND2
    AnisotropicShiftND3 NonSeparable2DAniso Heat2DVarA Heat3DVarA edge_weight_grad edge_weight_grad_batched
    ObstacleChernoff EvolverHeat1DGreeksV3 KilledDirichlet1D ResolventJumpV8 ResolventJump2DV8 ResolventJump3DV8
    AdjointFokkerPlanckV8 SmolyakD6V8 ComplexTripleJumpV8 ObstacleGammaV8 ObstacleNDV8 WentzellV8 GammaFamily
    ReverseHeat1D TtState TtEvolver TtCoupledEvolver MeasureState GridlessEvolver VarCoefTtEvolver GraphKrylov
    graph_expmv_frechet ConservativeDiffusionChernoff assemble_conservative_csr_1d MassKOperator mass_lumped_evolve
    Etdrk4 phi_action phi_action_batched SymmetricOperator symmetric_op_expmv_frechet GeneralOperator
    shift1d_coeff_grad""".split()
BOUNDARY_OPTIONS = '; valid options are: "reflect", "periodic", "zero", "linear"'
DTYPE_TAIL = (' is not supported; accepted values: "f64" (default), "f32". '
              'fp16 is explicitly REJECTED (dep-budget violation).')


def heat(n=16, **kwargs):
    x = np.linspace(-2.0, 2.0, n)
    return Heat1D(-2.0, 2.0, n, np.exp(-x * x), **kwargs)


def evolved(h, t=0.3, n_steps=4):
    h.evolve(t, n_steps)
    return h.values()


# --- module, registration, QuorvaneError -----------------------------------------------

def test_all_is_an_ordered_subsequence_of_the_registration_order():
    assert len(set(REGISTRATION_ORDER)) == 98
    names = quorvane.__all__
    assert isinstance(names, list) and len(names) == len(set(names))
    positions = [REGISTRATION_ORDER.index(name) for name in names]  # ValueError for a stray name
    assert positions == sorted(positions)
    assert {"Heat1D", "QuorvaneError", "version"} <= set(names)
    assert all(getattr(quorvane, name) is not None for name in names)


def test_version():
    assert quorvane.version() == "0.13.1-beta"
    assert quorvane.version.__module__ == "quorvane" and str(inspect.signature(quorvane.version)) == "()"
    with pytest.raises(TypeError):
        quorvane.version(1)
    # The docstring promises the release the distribution is built as, in another spelling.
    project = tomllib.loads((pathlib.Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]
    assert Version(quorvane.version()) == Version(project["version"])


def test_reimport_gives_the_same_class_and_exception_objects():
    # Module functions are bound to their module object, so only classes and the exception compare.
    first = {name: getattr(quorvane, name) for name in quorvane.__all__ if isinstance(getattr(quorvane, name), type)}
    saved = sys.modules.pop("quorvane")
    try:
        again = importlib.import_module("quorvane")
        assert again is not saved and again.__all__ == saved.__all__
        for name, obj in first.items():
            assert getattr(again, name) is obj, name
    finally:
        sys.modules["quorvane"] = saved


def test_quorvane_error_type_and_arguments():
    assert issubclass(QuorvaneError, Exception)
    assert (QuorvaneError.__module__, QuorvaneError.__name__) == ("quorvane", "QuorvaneError")
    e = raises_exact(QuorvaneError, "[OutOfDomain] t must be finite and >= 0", heat().evolve, float("nan"))
    assert e.args == (str(e),) and e.kind == "OutOfDomain"
    # A raised error holds its kind as its own attribute, which pickling carries.
    assert e.__reduce__() == (QuorvaneError, (str(e),), {"kind": "OutOfDomain"})
    again = pickle.loads(pickle.dumps(e))
    assert (again.kind, again.args) == ("OutOfDomain", e.args)


KINDS = ["GridMismatch", "NanInf", "OutOfDomain", "BoundaryFailure", "CflViolated", "ConvergenceFailed",
         "Unsupported", "Panic"]


@pytest.mark.parametrize("args, kind", [
    *[((f"[{k}] some text",), k) for k in KINDS],
    (("[NanInf]",), "NanInf"),
    (("x",), None), (("",), None), (("NanInf x",), None), ((" [NanInf] x",), None),
    (("[Foo] x",), None), (("[nanInf] x",), None), (("[NanInf x",), None), (("[] x",), None),
    # The message of these is not a str with a prefix.
    ((), None), (("[NanInf] x", 2), None), ((5,), None),
    ((b"[NanInf] x",), None), ((bytearray(b"[NanInf] x"),), None), ((None,), None),
    # Texts that cannot be encoded (lone surrogates) or are long: only the prefix is read.
    (("\ud800",), None), (("[NanInf]\ud800",), "NanInf"), (("[\udcff] x",), None), (("[Nan\u00efnf] x",), None),
    (("[Panic]" + "x" * 10**6,), "Panic"), (("x" * 10**6,), None),
])
def test_every_instance_carries_the_kind_its_message_names(args, kind):
    e = QuorvaneError(*args)
    assert e.kind == kind
    assert type("Sub", (QuorvaneError,), {})(*args).kind == kind
    # Read from the message, not stored: str, args and pickling stay those of a plain exception.
    assert (str(e), e.args, e.__reduce__()) == (str(Exception(*args)), args, (QuorvaneError, args))
    assert pickle.loads(pickle.dumps(e)).kind == kind
    e.args = ("[Panic] replaced",)
    assert e.kind == "Panic"
    e.kind = "mine"  # an attribute of the instance's own comes first, as on a raised error
    assert e.kind == "mine"


class RaisingStr(str):
    def __str__(self):
        raise RuntimeError("__str__")

    def __len__(self):
        raise RuntimeError("__len__")

    def __getitem__(self, i):
        raise RuntimeError("__getitem__")

    def startswith(self, *a):
        raise RuntimeError("startswith")


class RaisingArgs(QuorvaneError):
    @property
    def args(self):
        raise RuntimeError("args")


class RaisingGetattribute(QuorvaneError):
    def __getattribute__(self, name):
        if name == "args":
            raise RuntimeError("args")
        return super().__getattribute__(name)


@pytest.mark.parametrize("make, kind", [
    # A str subclass is read as the text it holds; none of its methods runs.
    (lambda: QuorvaneError(RaisingStr("[NanInf] x")), "NanInf"),
    (lambda: QuorvaneError(RaisingStr("x")), None),
    # The args the instance holds, not what a subclass makes of them.
    (lambda: RaisingArgs("[CflViolated] x"), "CflViolated"),
    (lambda: RaisingGetattribute("[Unsupported] x"), "Unsupported"),
    (lambda: RaisingArgs("x"), None),
])
def test_kind_calls_no_code_of_the_message_or_the_subclass(make, kind):
    assert make().kind == kind


# --- class objects ---------------------------------------------------------------------

def test_class_is_final_without_instance_attributes_or_weak_references():
    assert (Heat1D.__module__, Heat1D.__qualname__, Heat1D.__bases__) == ("builtins", "Heat1D", (object,))
    assert repr(Heat1D) == "<class 'builtins.Heat1D'>"
    with pytest.raises(TypeError):
        type("Sub", (Heat1D,), {})
    h = heat(n=23)
    for name in ("extra", "evolve"):
        with pytest.raises(AttributeError):
            setattr(h, name, None)
    with pytest.raises(TypeError):
        weakref.ref(h)
    assert not hasattr(h, "__dict__") and len(h) == 23
    assert {name for name in dir(Heat1D) if not name.startswith("_")} == {
        "evolve", "evolve_chunked", "values", "with_a_function", "with_a_array"}
    assert repr(h).startswith("<builtins.Heat1D object at ")  # no __repr__ of its own


@pytest.mark.parametrize("member, text", [
    ("__init__", "(xmin, xmax, n, u0, *, boundary='reflect', dtype='f64')"),
    ("evolve", "(self, /, t, n_steps=100)"),
    ("evolve_chunked", "(self, /, t, total_steps, chunk_steps, progress=None)"),
    ("values", "(self, /)"),
    ("with_a_array",
     "(xmin, xmax, n, a, u0, *, a_prime=None, a_double_prime=None, a_norm_bound=None, boundary='reflect')"),
    ("with_a_function",
     "(xmin, xmax, n, a, a_prime, a_double_prime, a_norm_bound, u0, *, boundary='reflect')"),
])
def test_text_signatures(member, text):
    target = Heat1D if member == "__init__" else getattr(Heat1D, member)
    assert str(inspect.signature(target)) == text


def test_signature_lines_are_split_off_the_docstrings():
    assert Heat1D.__text_signature__ == '(xmin, xmax, n, u0, *, boundary="reflect", dtype="f64")'
    assert Heat1D.evolve.__text_signature__ == "($self, t, n_steps=100)"
    assert not Heat1D.__doc__.startswith("Heat1D(")
    assert str(inspect.signature(heat().evolve)) == "(t, n_steps=100)"  # bound methods drop $self


# --- argument binding ------------------------------------------------------------------

@pytest.mark.parametrize("call, fragment", [
    (lambda: Heat1D(0.0, 1.0, 8), "missing 1 required positional argument: 'u0'"),
    (lambda: Heat1D(0.0, 1.0), "missing 2 required positional arguments: 'n' and 'u0'"),
    (lambda: Heat1D(0.0, 1.0, 8, [0.0] * 8, bogus=1), "got an unexpected keyword argument 'bogus'"),
    (lambda: Heat1D(0.0, 1.0, 8, [0.0] * 8, xmin=0.0), "got multiple values for argument 'xmin'"),
    (lambda: Heat1D(0.0, 1.0, 8, [0.0] * 8, "zero"), "takes 4 positional arguments but 5 were given"),
    (lambda: heat().evolve(), "missing 1 required positional argument: 't'"),
    (lambda: heat().evolve(0.1, n_steps=2, steps=3), "got an unexpected keyword argument 'steps'"),
    (lambda: heat().evolve(0.1, 10, n_steps=10), "got multiple values for argument 'n_steps'"),
    (lambda: heat().evolve(0.1, 10, 3), "takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: heat().values(1), "takes no arguments (1 given)"),
])
def test_binding_errors(call, fragment):
    with pytest.raises(TypeError) as info:
        call()
    assert fragment in str(info.value)


@pytest.mark.parametrize("call, name", [
    (lambda: Heat1D("0", 1.0, 8, [0.0] * 8), "xmin"),
    (lambda: Heat1D(0.0, None, 8, [0.0] * 8), "xmax"),
    (lambda: Heat1D(0.0, 1.0, 8.0, [0.0] * 8), "n"),
    (lambda: Heat1D(0.0, 1.0, 8, [0.0] * 8, boundary=1), "boundary"),
    (lambda: Heat1D(0.0, 1.0, 8, [0.0] * 8, dtype=b"f64"), "dtype"),
    (lambda: Heat1D("a", "b", "c", "d", boundary=2), "xmin"),  # the first bad parameter is named
    (lambda: heat().evolve("0.1"), "t"),
    (lambda: heat().evolve(0.1, n_steps=1.5), "n_steps"),
    (lambda: heat().evolve_chunked(0.1, "10", 3), "total_steps"),
    (lambda: heat().evolve_chunked(0.1, 10, 3.0), "chunk_steps"),
    (lambda: Heat1D.with_a_array(0.0, 1.0, 8, [1.0] * 8, [0.0] * 8, a_norm_bound="x"), "a_norm_bound"),
    (lambda: Heat1D.with_a_function(0.0, 1.0, 8, abs, abs, abs, "x", [0.0] * 8), "a_norm_bound"),
])
def test_conversion_errors_name_the_parameter(call, name):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(f"argument '{name}': ")


P5 = quorvane.GraphPath(5)
L5 = quorvane.Laplacian.combinatorial(quorvane.Graph.path(5))
U32_CALLS = [
    lambda v: quorvane.GraphPath(v),
    lambda v: quorvane.GraphKrylov(L5, m_max=v),
    lambda v: quorvane.GraphHeat(graph=P5, rho_bar=4.0).evolve(0.1, v, [0.0] * 5),
    lambda v: quorvane.MagnusGraphHeat(graph=P5, lap_at_t=None, rho_bar_max=4.0).evolve(0.1, v, [0.0] * 5),
    lambda v: quorvane.edge_weight_grad(P5, u0=[0.0] * 5, dj_du_n=[0.0] * 5, t=0.1, n_steps=v, rho_bar=4.0,
                                      params="all_edges"),
]


@pytest.mark.parametrize("value", [-1, -2 ** 70, 2 ** 32, 2 ** 63, 2 ** 64])
@pytest.mark.parametrize("call", U32_CALLS)
def test_unsigned_32_bit_arguments_refuse_every_value_they_cannot_hold_alike(call, value):
    raises_exact(OverflowError, "out of range integral type conversion attempted", call, value)


# The entries of a sequence of 32-bit indices refuse alike too, naming the argument.
@pytest.mark.parametrize("value", [-1, -2 ** 70, 2 ** 32, 2 ** 64])
def test_unsigned_32_bit_sequence_entries_refuse_every_value_they_cannot_hold_alike(value):
    raises_exact(OverflowError, "argument 'indices': out of range integral type conversion attempted",
                 quorvane.GeneralOperator.from_csr, 2, [0, 1, 2], [0, value], [1.0, 1.0])
    with pytest.raises(quorvane.QuorvaneError, match="column index out of range"):
        quorvane.GeneralOperator.from_csr(2, [0, 1, 2], [0, 2 ** 32 - 1], [1.0, 1.0])


def test_unsigned_32_bit_range_ends_are_accepted():
    for m_max in (0, 2 ** 32 - 1):
        assert quorvane.GraphKrylov(L5, m_max=m_max).n_nodes() == 5


@pytest.mark.parametrize("value, text", [(-1, "can't convert negative int to unsigned"), (2 ** 64, "int too big to convert")])
def test_unsigned_64_bit_arguments_keep_the_interpreters_texts(value, text):
    raises_exact(OverflowError, text, heat().evolve, 0.1, value)


def test_numbers_convert_like_python_floats_and_indexes():
    a = Heat1D(np.float32(-2), 2, np.int64(16), np.exp(-np.linspace(-2, 2, 16) ** 2))
    a.evolve(np.float64(0.1), n_steps=np.uint8(7))
    assert np.array_equal(a.values(), evolved(heat(), 0.1, 7))


# --- self checks and borrows -----------------------------------------------------------

@pytest.mark.parametrize("foreign", [object(), 1.5, None, np.zeros(16)])
@pytest.mark.parametrize("call", [lambda s: Heat1D.values(s), lambda s: Heat1D.evolve(s, 0.1),
                                  lambda s: Heat1D.__len__(s)])
def test_foreign_self_is_a_type_error(foreign, call):
    with pytest.raises(TypeError, match="Heat1D"):
        call(foreign)


def test_progress_callback_reentering_the_object_gets_borrow_errors():
    h, other = heat(n=32), heat()
    before = h.values()
    raised = []

    def capture(done, total):
        try:
            h.values()
        except RuntimeError as e:
            raised.append(e)
            raise

    for progress, message in [(lambda d, t: h.values(), "Already mutably borrowed"),
                              (lambda d, t: h.evolve(0.1), "Already borrowed"),
                              (lambda d, t: len(h), "Already mutably borrowed"),
                              (capture, "Already mutably borrowed")]:
        e = raises_exact(RuntimeError, message, h.evolve_chunked, 0.2, 10, 3, progress)
        assert e.__cause__ is None and np.array_equal(h.values(), before)
    assert e is raised[-1]  # the callback's own exception object reaches the caller
    seen = []  # another object is free inside the callback
    h.evolve_chunked(0.1, 4, 2, lambda done, total: seen.append(other.values().sum()))
    assert len(seen) == 2 and len(h) == 32  # nothing stays borrowed


def test_borrow_is_held_while_the_lock_is_released():
    # A coefficient callable parks the evolving thread (the lock is free while
    # it waits), so the main thread meets the object mid-evolve.
    started, proceed = threading.Event(), threading.Event()

    def a(x):
        started.set()
        proceed.wait(10.0)
        return 1.0

    h = Heat1D.with_a_function(0.0, 1.0, 16, a, lambda x: 0.0, lambda x: 0.0, 1.0, np.zeros(16))
    worker = threading.Thread(target=h.evolve, args=(0.01, 1))
    worker.start()
    try:
        assert started.wait(10.0)
        for call, text in [(h.values, "Already mutably borrowed"), (lambda: len(h), "Already mutably borrowed"),
                           (lambda: h.evolve(0.1), "Already borrowed")]:
            raises_exact(RuntimeError, text, call)
        heat().evolve(0.1, 2)  # a different object is free
    finally:
        proceed.set()
        worker.join(10.0)
    assert not worker.is_alive() and np.array_equal(h.values(), np.zeros(16))


# --- float vectors ---------------------------------------------------------------------

def test_sequence_and_array_inputs_give_identical_results_and_are_copied():
    ints = [0, 1, 2, 3, 5, 8, 13, 8, 5, 3, 2, 1]
    wide = np.zeros(24)
    wide[::2] = ints
    reference = evolved(Heat1D(0.0, 1.0, 12, np.array(ints, dtype=np.float64), boundary="zero"), 0.01, 5)
    for u0 in (ints, tuple(ints), wide[::2], np.array(ints, dtype=np.float32),
               np.array(ints, dtype=np.int64), np.array(ints, dtype=">f8")):
        assert np.array_equal(evolved(Heat1D(0.0, 1.0, 12, u0, boundary="zero"), 0.01, 5), reference)
    u0 = np.linspace(0.0, 1.0, 12)
    h = Heat1D(0.0, 1.0, 12, u0)
    u0[:] = 7.0
    assert np.array_equal(h.values(), np.linspace(0.0, 1.0, 12))


@pytest.mark.parametrize("u0", ["abcdefghijkl", 3.0, None, [1.0, "x"] * 6, np.zeros((12, 1)), {"a": 1}])
def test_non_float_sequences_are_rejected_with_the_fixed_text(u0):
    raises_exact(TypeError, U0_TYPE, Heat1D, 0.0, 1.0, 12, u0)


# An array argument that is neither a float sequence nor has a ravel of its own is no array:
# the argument's TypeError, as for every other array argument, not ravel's AttributeError.
@pytest.mark.parametrize("bad", ["abcdefghijklmnop", 3, None, {"a": 1}, [[1.0] * 4] * 4])
@pytest.mark.parametrize("call, text", [
    (lambda v: quorvane.ObstacleNDV8(0, 1, 4, 0, 1, 4, 0.0).apply(0.1, v), "v must be numpy.ndarray[float64]"),
    (lambda v: quorvane.ResolventJump2DV8(0, 1, 4, 0, 1, 4, 6).jump(1.0, v),
     "g must be a numpy.ndarray[float64] or a sequence of floats"),
    (lambda v: quorvane.ResolventJump3DV8(0, 1, 4, 0, 1, 4, 0, 1, 4, 6).jump(1.0, v),
     "g must be a numpy.ndarray[float64] or a sequence of floats"),
])
def test_raveled_array_arguments_refuse_a_non_array_with_their_type_error(call, text, bad):
    raises_exact(TypeError, text, call, bad)


# --- option strings --------------------------------------------------------------------

@pytest.mark.parametrize("text, policy", [("PERIODIC", "periodic"), ("Periodic", "periodic"), ("ZeRo", "zero"),
                                          ("REFLECT", "reflect"), ("Linear", "linear"), (None, "reflect")])
def test_boundary_is_ascii_case_insensitive_and_none_is_the_default(text, policy):
    assert np.array_equal(evolved(heat(boundary=text)), evolved(heat(boundary=policy)))


def test_boundary_policies_really_differ():
    results = [evolved(Heat1D(0.0, 1.0, 16, np.linspace(1.0, 2.0, 16), boundary=p), 0.01, 5)
               for p in ("reflect", "zero", "periodic", "linear")]
    assert all(not np.allclose(results[i], results[j]) for i in range(4) for j in range(i))


@pytest.mark.parametrize("text, shown", [(" reflect", '" reflect"'), ("", '""'), ("Reflect ", '"reflect "'),
                                         ("ZERO\t", '"zero\\t"'), ('re"flect', '"re\\"flect"'),
                                         ("dirichlet", '"dirichlet"')])
def test_unknown_boundary_message(text, shown):
    assert error_text(heat, boundary=text) == "[OutOfDomain] unknown boundary policy " + shown + BOUNDARY_OPTIONS


@pytest.mark.parametrize("text", ["F64", "F32", "float64", "", " f64", "f16"])
def test_dtype_is_exact(text):
    assert error_text(heat, dtype=text) == "[OutOfDomain] dtype '" + text + "'" + DTYPE_TAIL
