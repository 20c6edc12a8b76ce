"""The binding frame as Python sees it: module registration, QuorvaneError,
final class types, text signatures, argument errors, borrows, and the shared
conversions of float vectors and option strings (exercised through Heat1D)."""

import importlib
import inspect
import sys
import threading
import weakref

import numpy as np
import pytest

import quorvane
from quorvane import Heat1D, QuorvaneError

# Every public name of the module in its fixed registration order. A build
# registers a class only once it really exists, so __all__ is an
# order-preserving subsequence of this list.
REGISTRATION_ORDER = [
    "Heat1D", "Heat2D", "Heat3D", "Heat1D4th", "Heat1D6th", "DriftReaction1D",
    "Shift1D", "Schrodinger1D", "GraphPath", "GraphHeat", "MagnusGraphHeat", "Graph", "Laplacian",
    "GraphHeat4th", "VarCoefGraphHeat", "MagnusGraphHeat6", "GraphHeat6", "VarCoefMagnusGraph",
    "NonSeparable2D", "Adjoint", "GraphAdjoint", "GraphAdjointPresampled", "AdaptivePI",
    "QuorvaneError",
    "version",
    "GrowthV3", "EvolverHeat1DUnitV3", "HypoellipticChernoffHeisenberg", "heisenberg_heat_kernel",
    "Heat1DZeta4", "Heat1DZeta6", "DiffusionExpmv1D", "DriftReaction4th1D", "Killing2nd1D",
    "MatrixDiffusion2D", "MatrixDiffusion3D",
    "Heat1DZeta8", "TruncatedExp1D", "TruncatedExp4th1D", "Strang1D", "SchrodingerComplex1D",
    "Resolvent1D", "Killing1D", "Reflected1D", "Robin1D", "DirichletHeat2nd1D", "Howland1D",
    "Subordinated1D", "Manifold2D", "HypoellipticChernoffKolmogorov", "HypoellipticChernoffEngel",
    "QuantumGraph", "QuantumGraphHeat", "MatrixDiffusion1D", "PointEval", "GraphTraj", "StrangGraph",
    "sample_gridfn2d", "AnisotropicShiftND2", "AnisotropicShiftND3", "NonSeparable2DAniso",
    "Heat2DVarA", "Heat3DVarA", "edge_weight_grad", "edge_weight_grad_batched",
    "ObstacleChernoff", "EvolverHeat1DGreeksV3", "KilledDirichlet1D", "ResolventJumpV8",
    "ResolventJump2DV8", "ResolventJump3DV8", "AdjointFokkerPlanckV8",
    "SmolyakD6V8", "ComplexTripleJumpV8", "ObstacleGammaV8", "ObstacleNDV8", "WentzellV8",
    "GammaFamily", "ReverseHeat1D", "TtState", "TtEvolver", "TtCoupledEvolver", "MeasureState",
    "GridlessEvolver", "VarCoefTtEvolver", "GraphKrylov", "graph_expmv_frechet",
    "ConservativeDiffusionChernoff", "assemble_conservative_csr_1d", "MassKOperator",
    "mass_lumped_evolve", "Etdrk4", "phi_action", "phi_action_batched", "SymmetricOperator",
    "symmetric_op_expmv_frechet", "GeneralOperator", "shift1d_coeff_grad",
]

U0_TYPE_ERROR = "u0 must be a numpy.ndarray[float64] or a sequence of floats"
BOUNDARY_OPTIONS = '; valid options are: "reflect", "periodic", "zero", "linear"'
DTYPE_TAIL = ' is not supported; accepted values: "f64" (default), "f32". fp16 is explicitly REJECTED (dep-budget violation).'


def heat(n=16, **kwargs):
    x = np.linspace(-2.0, 2.0, n)
    return Heat1D(-2.0, 2.0, n, np.exp(-x * x), **kwargs)


def quorvane_message(fn, *args, **kwargs):
    with pytest.raises(QuorvaneError) as info:
        fn(*args, **kwargs)
    return str(info.value)


# --------------------------------------------------------------------------
# Module and registration
# --------------------------------------------------------------------------


def test_registration_list_has_98_distinct_names():
    assert len(REGISTRATION_ORDER) == 98
    assert len(set(REGISTRATION_ORDER)) == 98


def test_all_is_an_ordered_subsequence_of_the_registration_order():
    names = quorvane.__all__
    assert isinstance(names, list)
    assert len(names) == len(set(names))
    positions = [REGISTRATION_ORDER.index(name) for name in names]  # ValueError for a stray name
    assert positions == sorted(positions)
    assert names.index("Heat1D") < names.index("QuorvaneError") < names.index("version")
    for name in names:
        assert getattr(quorvane, name) is not None


def test_version():
    assert quorvane.version() == "0.13.1-beta"
    with pytest.raises(TypeError):
        quorvane.version(1)
    assert quorvane.version.__module__ == "quorvane"
    assert str(inspect.signature(quorvane.version)) == "()"


def test_module_docstring_first_line():
    assert quorvane.__doc__.splitlines()[0] == "`PyO3` module definition for `quorvane`."


def test_reimport_gives_the_same_class_and_exception_objects():
    first = {name: getattr(quorvane, name) for name in quorvane.__all__ if name != "version"}
    saved = sys.modules.pop("quorvane")
    try:
        again = importlib.import_module("quorvane")
        assert again is not saved
        assert again.__all__ == saved.__all__
        for name, obj in first.items():
            assert getattr(again, name) is obj, name
    finally:
        sys.modules["quorvane"] = saved


# --------------------------------------------------------------------------
# QuorvaneError
# --------------------------------------------------------------------------


def test_quorvane_error_type():
    assert issubclass(QuorvaneError, Exception)
    assert QuorvaneError.__module__ == "quorvane"
    assert QuorvaneError.__name__ == "QuorvaneError"
    assert QuorvaneError.__doc__ == (
        "Exception raised by quorvane-py operations.\n"
        "\n"
        "Attributes\n"
        "----------\n"
        "kind : str\n"
        "    Discriminator string matching the C-ABI `QuorvaneStatus` names:\n"
        "    ``GridMismatch``, ``NanInf``, ``OutOfDomain``, ``BoundaryFailure``,\n"
        "    ``CflViolated``, ``ConvergenceFailed``, ``Unsupported``, ``Panic``.\n"
    )


def test_raised_error_has_one_argument_equal_to_its_str():
    with pytest.raises(QuorvaneError) as info:
        heat().evolve(float("nan"))
    e = info.value
    assert len(e.args) == 1
    assert str(e) == e.args[0] == "[OutOfDomain] t must be finite and >= 0"


# --------------------------------------------------------------------------
# Class objects
# --------------------------------------------------------------------------


def test_class_is_a_final_builtins_type():
    assert Heat1D.__module__ == "builtins"
    assert Heat1D.__qualname__ == "Heat1D"
    assert Heat1D.__name__ == "Heat1D"
    assert repr(Heat1D) == "<class 'builtins.Heat1D'>"
    assert Heat1D.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (Heat1D,), {})


def test_instances_take_no_attributes_and_no_weak_references():
    h = heat()
    with pytest.raises(AttributeError):
        h.extra = 1
    with pytest.raises(AttributeError):
        h.evolve = None
    with pytest.raises(TypeError):
        weakref.ref(h)
    assert not hasattr(h, "__dict__")


def test_exactly_the_listed_members():
    public = {name for name in dir(Heat1D) if not name.startswith("_")}
    assert public == {"evolve", "evolve_chunked", "values", "with_a_function", "with_a_array"}
    assert len(heat(n=23)) == 23
    # No __repr__ of its own: the default object repr.
    assert repr(heat()).startswith("<builtins.Heat1D object at ")


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
    # The interpreter keeps the "name(...)\n--\n\n" line as __text_signature__
    # and shows the rest as __doc__.
    assert Heat1D.__text_signature__ == '(xmin, xmax, n, u0, *, boundary="reflect", dtype="f64")'
    assert Heat1D.evolve.__text_signature__ == "($self, t, n_steps=100)"
    assert Heat1D.with_a_array.__text_signature__.startswith("(xmin, xmax, n, a, u0, *, a_prime=None")
    assert not Heat1D.__doc__.startswith("Heat1D(")
    assert "Parameters" in Heat1D.evolve.__doc__ and "Raises" in Heat1D.evolve.__doc__
    # Bound methods drop $self.
    assert str(inspect.signature(heat().evolve)) == "(t, n_steps=100)"


# --------------------------------------------------------------------------
# Argument binding
# --------------------------------------------------------------------------


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
    # Conversion runs in parameter order: the first bad one is named.
    (lambda: Heat1D("a", "b", "c", "d", boundary=2), "xmin"),
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


def test_numbers_convert_like_python_floats_and_indexes():
    # ints and numpy scalars for floats, numpy integers for sizes.
    a = Heat1D(np.float32(-2), 2, np.int64(16), np.exp(-np.linspace(-2, 2, 16) ** 2))
    b = heat()
    a.evolve(np.float64(0.1), n_steps=np.uint8(7))
    b.evolve(0.1, 7)
    assert np.array_equal(a.values(), b.values())


# --------------------------------------------------------------------------
# self checks and borrows
# --------------------------------------------------------------------------


@pytest.mark.parametrize("foreign", [object(), 1.5, None, np.zeros(16)])
def test_foreign_self_is_a_type_error(foreign):
    for call in (lambda: Heat1D.values(foreign), lambda: Heat1D.evolve(foreign, 0.1),
                 lambda: Heat1D.__len__(foreign)):
        with pytest.raises(TypeError) as info:
            call()
        assert "Heat1D" in str(info.value)


def test_progress_callback_reentering_the_object_gets_borrow_errors():
    h = heat(n=32)
    before = h.values()
    raised = []

    def read_back(done, total):
        h.values()

    def evolve_again(done, total):
        h.evolve(0.1)

    def length(done, total):
        len(h)

    def capture(done, total):
        try:
            h.values()
        except RuntimeError as e:
            raised.append(e)
            raise

    for progress, message in [(read_back, "Already mutably borrowed"), (evolve_again, "Already borrowed"),
                              (length, "Already mutably borrowed"), (capture, "Already mutably borrowed")]:
        with pytest.raises(RuntimeError) as info:
            h.evolve_chunked(0.2, 10, 3, progress)
        assert str(info.value) == message
        assert info.value.__cause__ is None
        assert np.array_equal(h.values(), before)
    # The callback's own exception object reaches the caller unchanged.
    with pytest.raises(RuntimeError) as info:
        h.evolve_chunked(0.2, 10, 3, capture)
    assert info.value is raised[-1]
    # Nothing stays borrowed after the failed calls.
    h.evolve(0.2, 10)
    assert len(h) == 32


def test_borrow_is_held_while_the_lock_is_released():
    # A coefficient callable parks the evolving thread (the lock is free
    # while it waits), so the main thread meets the object mid-evolve.
    started, proceed = threading.Event(), threading.Event()

    def a(x):
        started.set()
        proceed.wait(10.0)
        return 1.0

    h = Heat1D.with_a_function(0.0, 1.0, 16, a, lambda x: 0.0, lambda x: 0.0, 1.0, np.zeros(16))
    other = heat()
    worker = threading.Thread(target=h.evolve, args=(0.01, 1))
    worker.start()
    try:
        assert started.wait(10.0)
        for call, text in [(h.values, "Already mutably borrowed"), (lambda: len(h), "Already mutably borrowed"),
                           (lambda: h.evolve(0.1), "Already borrowed")]:
            with pytest.raises(RuntimeError) as info:
                call()
            assert str(info.value) == text
        other.evolve(0.1, 2)  # a different object is free
    finally:
        proceed.set()
        worker.join(10.0)
    assert not worker.is_alive()
    assert np.array_equal(h.values(), np.zeros(16))


def test_another_object_may_be_used_inside_the_callback():
    h, other = heat(), heat()
    seen = []
    h.evolve_chunked(0.1, 4, 2, lambda done, total: seen.append(other.values().sum()))
    assert len(seen) == 2


# --------------------------------------------------------------------------
# Float vectors
# --------------------------------------------------------------------------


def evolved(u0):
    h = Heat1D(0.0, 1.0, 12, u0, boundary="zero")
    h.evolve(0.01, 5)
    return h.values()


def test_sequence_and_array_inputs_give_identical_results():
    ints = [0, 1, 2, 3, 5, 8, 13, 8, 5, 3, 2, 1]
    wide = np.zeros(24)
    wide[::2] = ints
    reference = evolved(np.array(ints, dtype=np.float64))
    for u0 in (ints, tuple(ints), wide[::2], np.array(ints, dtype=np.float32),
               np.array(ints, dtype=np.int64), np.array(ints, dtype=">f8")):
        assert np.array_equal(evolved(u0), reference)
    assert not wide[::2].flags["C_CONTIGUOUS"]


@pytest.mark.parametrize("u0", ["abcdefghijkl", 3.0, None, [1.0, "x"] * 6,
                                np.zeros((12, 1)), {"a": 1}])
def test_non_float_sequences_are_rejected_with_the_fixed_text(u0):
    with pytest.raises(TypeError) as info:
        Heat1D(0.0, 1.0, 12, u0)
    assert str(info.value) == U0_TYPE_ERROR


def test_input_array_is_copied_in():
    u0 = np.linspace(0.0, 1.0, 12)
    h = Heat1D(0.0, 1.0, 12, u0)
    u0[:] = 7.0
    assert np.array_equal(h.values(), np.linspace(0.0, 1.0, 12))


# --------------------------------------------------------------------------
# Option strings
# --------------------------------------------------------------------------


@pytest.mark.parametrize("text, policy", [("PERIODIC", "periodic"), ("Periodic", "periodic"),
                                          ("ZeRo", "zero"), ("REFLECT", "reflect"), ("Linear", "linear")])
def test_boundary_is_ascii_case_insensitive(text, policy):
    a, b = heat(boundary=text), heat(boundary=policy)
    a.evolve(0.5, 5)
    b.evolve(0.5, 5)
    assert np.array_equal(a.values(), b.values())


def test_boundary_policies_really_differ():
    results = []
    for policy in ("reflect", "zero", "periodic", "linear"):
        h = Heat1D(0.0, 1.0, 16, np.linspace(1.0, 2.0, 16), boundary=policy)
        h.evolve(0.01, 5)
        results.append(h.values())
    for i in range(4):
        for j in range(i):
            assert not np.allclose(results[i], results[j])


@pytest.mark.parametrize("text, shown", [
    (" reflect", '" reflect"'),
    ("", '""'),
    ("Reflect ", '"reflect "'),
    ("ZERO\t", '"zero\\t"'),
    ('re"flect', '"re\\"flect"'),
    ("dirichlet", '"dirichlet"'),
])
def test_unknown_boundary_message(text, shown):
    message = quorvane_message(heat, boundary=text)
    assert message == "[OutOfDomain] unknown boundary policy " + shown + BOUNDARY_OPTIONS


@pytest.mark.parametrize("text", ["F64", "F32", "float64", "", " f64", "f16"])
def test_dtype_is_exact(text):
    assert quorvane_message(heat, dtype=text) == "[OutOfDomain] dtype '" + text + "'" + DTYPE_TAIL


def test_none_boundary_takes_the_default():
    a, b = heat(boundary=None), heat()
    a.evolve(0.3, 4)
    b.evolve(0.3, 4)
    assert np.array_equal(a.values(), b.values())
