"""Conservative finite-volume diffusion: exact cell-centred modes, series conductances, conservation, refusals."""

import math

import numpy as np
import pytest
import scipy.linalg as sl

import quorvane as q
from quorvane import QuorvaneError

RNG = np.random.default_rng(5)


@pytest.mark.parametrize("mode", [1, 3])
def test_cell_centred_cosines_decay_exactly(mode):
    n, x_lo, x_hi, kappa = 40, -1.0, 2.0, 0.7
    dx = (x_hi - x_lo) / (n - 1)
    op = q.assemble_conservative_csr_1d(n, x_lo, x_hi, np.full(n, kappa))
    x = x_lo + dx * np.arange(n)
    # Outer faces at x_lo - dx/2 and x_hi + dx/2: cosines of the extended interval are exact eigenvectors.
    v = np.cos(mode * np.pi * (x - x_lo + dx / 2) / (n * dx))
    rate = kappa * (2 - 2 * np.cos(mode * np.pi / n)) / dx**2
    got = op.evolve_batched(0.3, v[:, None], path="lanczos")[:, 0]
    assert np.abs(got - math.exp(-0.3 * rate) * v).max() <= 1e-12


def series_reference(k, r, dx):
    """A = -L_k from the series resistance of two half cells and the contact resistance of each face."""
    n = len(k)
    a = np.zeros((n, n))
    for i in range(n - 1):
        if k[i] == 0 or k[i + 1] == 0:
            continue
        g = 1.0 / ((dx / 2) / k[i] + (dx / 2) / k[i + 1] + r[i]) / dx
        a[i, i] += g
        a[i + 1, i + 1] += g
        a[i, i + 1] -= g
        a[i + 1, i] -= g
    return a


def test_variable_k_with_contact_resistance_against_series_conductances():
    n = 25
    k = RNG.uniform(0.2, 3.0, n)
    r = RNG.uniform(0.0, 0.5, n - 1)
    dx = 1.0 / (n - 1)
    op = q.assemble_conservative_csr_1d(n, 0.0, 1.0, k, r)
    cls = q.ConservativeDiffusionChernoff.from_k_array(n, 0.0, 1.0, k, r_contact=r).to_symmetric_operator()
    v = RNG.standard_normal((n, 2))
    ref = sl.expm(-0.01 * series_reference(k, r, dx)) @ v
    for o in (op, cls):
        assert np.abs(o.evolve_batched(0.01, v, path="lanczos") - ref).max() <= 1e-11


def test_mass_conserved_and_zero_k_splits_blocks():
    n = 30
    k = RNG.uniform(0.5, 2.0, n)
    k[12] = 0.0
    op = q.assemble_conservative_csr_1d(n, 0.0, 3.0, k)
    v = np.zeros((n, 1))
    v[:12, 0] = RNG.uniform(0, 1, 12)
    out = op.evolve_batched(0.5, v, path="lanczos")
    assert out[:, 0].sum() == pytest.approx(v.sum(), rel=1e-13)
    assert np.abs(out[12:, 0]).max() <= 1e-14  # nothing crosses the insulating node
    assert q.assemble_conservative_csr_1d(n, 0.0, 3.0, np.ones(n)).lambda_max_bound() == pytest.approx(4 * (29 / 3) ** 2)


def test_class_accessors_and_boundary_words():
    c = q.ConservativeDiffusionChernoff.from_k_array(5, 0.0, 2.0, np.ones(5), boundary="DIRICHLET:1.5")
    assert (c.n(), c.dx()) == (5, 0.5)
    for word in ("Neumann", "dirichlet:-inf", "dirichlet:+2e3"):
        q.ConservativeDiffusionChernoff.from_k_array(5, 0.0, 2.0, np.ones(5), boundary=word)


CONS_ERRORS = [
    ((1, 0.0, 1.0, np.ones(1)), {}, "[GridMismatch] n must be >= 2"),
    ((4, 1.0, 1.0, np.ones(4)), {}, "[OutOfDomain] need finite x_lo < x_hi"),
    ((4, 0.0, math.inf, np.ones(4)), {}, "[OutOfDomain] need finite x_lo < x_hi"),
    ((3, 0.0, 1.0, np.ones(3)), {}, "[GridMismatch] n must be >= 4 (septic Hermite stencil)"),
    ((4, 0.0, 1.0, np.ones(8)[::2]), {}, "[GridMismatch] k_nodes must be contiguous"),
    ((4, 0.0, 1.0, np.ones(4)), {"r_contact": np.ones(6)[::2]}, "[GridMismatch] r_contact must be contiguous"),
    ((4, 0.0, 1.0, np.ones(4)), {"boundary": "dirichlet:"}, "[OutOfDomain] invalid Dirichlet value in 'dirichlet:'"),
    ((4, 0.0, 1.0, np.ones(4)), {"boundary": "Dirichlet:abc"},
     "[OutOfDomain] invalid Dirichlet value in 'Dirichlet:abc'"),
    ((4, 0.0, 1.0, np.ones(4)), {"boundary": "Robin"},
     "[OutOfDomain] unknown conservative boundary 'Robin'; valid: \"neumann\", \"dirichlet:<value>\""),
    ((4, 0.0, 1.0, np.ones(5)), {},
     "[GridMismatch] ConservativeDiffusionChernoff: k_nodes.len() != grid.n"),
    ((4, 0.0, 1.0, np.array([1.0, math.nan, 1.0, 1.0])), {},
     "[NanInf] conservative: k_nodes must be non-negative and finite: NaN"),
    ((4, 0.0, 1.0, np.array([1.0, -1.0, 1.0, 1.0])), {},
     "[OutOfDomain] conservative: k_nodes must be non-negative and finite"),
    ((4, 0.0, 1.0, np.ones(4)), {"r_contact": np.ones(4)},
     "[OutOfDomain] conservative: r_contact.len() must equal k_nodes.len() - 1"),
    ((4, 0.0, 1.0, np.ones(4)), {"r_contact": np.array([0.0, -1.0, 0.0])},
     "[OutOfDomain] conservative: r_contact entries must be finite and >= 0"),
]


@pytest.mark.parametrize("args,kw,msg", CONS_ERRORS)
def test_from_k_array_refusals(args, kw, msg):
    with pytest.raises(QuorvaneError) as e:
        q.ConservativeDiffusionChernoff.from_k_array(*args, **kw)
    assert str(e.value) == msg


def test_assemble_count_message():
    with pytest.raises(QuorvaneError) as e:
        q.assemble_conservative_csr_1d(4, 0.0, 1.0, np.ones(3))
    assert str(e.value) == "[GridMismatch] assemble_conservative_csr_1d: k_nodes.len() != grid.n"
