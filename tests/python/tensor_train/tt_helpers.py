"""Shared by the tensor-train tests: point values of a state and a snapshot of what a failed call must keep."""

import numpy as np


def point_values(state, points, n):
    """u at the given multi-indices, read through unit functionals."""
    eye = [np.eye(nj) for nj in n]
    return np.array([state.inner_separable([eye[j][i] for j, i in enumerate(p)]) for p in points])


def snapshot(state, n):
    rng = np.random.default_rng(5)
    f = [rng.standard_normal(nj) for nj in n]
    return state.peak_rank(), state.storage_size(), state.inner_separable(f)
