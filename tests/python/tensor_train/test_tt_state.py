"""TtState: construction from separable slices, queries and separable inner products."""

import math

import numpy as np
import pytest

from conftest import check_surface, raises_exact
from quorvane import QuorvaneError, TtState


def test_surface():
    check_surface(TtState, "(slices)", ndim="($self)", n_j="($self, j)", peak_rank="($self)",
                  storage_size="($self)", inner_separable="($self, functionals)")
    assert TtState.inner_separable.__doc__.splitlines()[0] == (
        "Separable inner product `⟨f, u⟩` for a list of per-axis numpy vectors.")
    assert not hasattr(TtState, "__len__")


def test_queries_of_a_separable_state():
    s = TtState([np.array([1.0, 2.0, 3.0]), [1, 2], (0.5,), np.arange(4.0)])
    assert (s.ndim(), s.peak_rank(), s.storage_size()) == (4, 1, 10)
    assert [s.n_j(j) for j in range(4)] == [3, 2, 1, 4]
    f = [[1.0, -1.0, 2.0], [3.0, 1.0], [2.0], [1.0, 1.0, 0.0, -1.0]]
    # The inner product of a separable state is the product of the per-axis dots.
    expected = np.prod([np.dot(fj, sj) for fj, sj in zip(f, [[1, 2, 3], [1, 2], [0.5], np.arange(4.0)])])
    assert s.inner_separable(f) == pytest.approx(expected, rel=1e-15)


class Floatish:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("slices, exc, message", [
    ([], QuorvaneError, "[GridMismatch] TtState: slices list is empty"),
    ([[1.0], []], QuorvaneError, "[GridMismatch] TtState: axis 1 is empty"),
    ([[math.nan]], QuorvaneError, "[NanInf] TtState: NaN/Inf in axis 0"),
    ([[1.0], [2.0, -math.inf]], QuorvaneError, "[NanInf] TtState: NaN/Inf in axis 1"),
    (["abc"], QuorvaneError, "[GridMismatch] TtState: axis 0 is not a float64 array"),
    ([[1.0], np.ones((2, 2))], QuorvaneError, "[GridMismatch] TtState: axis 1 is not a float64 array"),
    ([[1.0], 3.0], QuorvaneError, "[GridMismatch] TtState: axis 1 is not a float64 array"),
    (([1.0],), TypeError, "argument 'slices': 'tuple' object cannot be converted to 'PyList'"),
    (np.ones((2, 2)), TypeError, "argument 'slices': 'ndarray' object cannot be converted to 'PyList'"),
])
def test_construction_errors(slices, exc, message):
    raises_exact(exc, message, TtState, slices)


def test_list_subclass_and_float_convertible_items_are_accepted():
    class L(list):
        pass

    s = TtState(L([[Floatish(), 1]]))
    assert s.inner_separable([[1.0, 1.0]]) == 3.5


@pytest.mark.parametrize("functionals, message", [
    ([], "[GridMismatch] TtState.inner_separable: slices list is empty"),
    ([[1.0]], "[GridMismatch] TtState.inner_separable: functionals length != ndim"),
    ([[1.0, 1.0], [1.0, 1.0]], "[GridMismatch] TtState.inner_separable: axis 0 length mismatch"),
    ([[1.0], [1.0, 1.0, 1.0]], "[GridMismatch] TtState.inner_separable: axis 1 length mismatch"),
    ([[1.0], [1.0, math.nan]], "[NanInf] TtState.inner_separable: NaN/Inf in axis 1"),
    ([[1.0], "ab"], "[GridMismatch] TtState.inner_separable: axis 1 is not a float64 array"),
])
def test_inner_separable_errors(functionals, message):
    raises_exact(QuorvaneError, message, TtState([[2.0], [1.0, 3.0]]).inner_separable, functionals)


def test_n_j_range_and_conversion():
    s = TtState([[1.0, 2.0, 3.0]])
    raises_exact(QuorvaneError, "[OutOfDomain] TtState.n_j: axis out of range", s.n_j, 1)
    with pytest.raises(OverflowError):
        s.n_j(-1)
    with pytest.raises(TypeError, match="argument 'j'"):
        s.n_j(0.5)
