"""Shared operators of the sparse tests: CSR arrays in the dtypes the bindings take."""

import numpy as np
import scipy.sparse as sp

# The refusal of the lanczos and implicit paths of mass_lumped_evolve for a mass ratio tol cannot hold.
MASS_RATIO = ("[OutOfDomain] mass_lumped_evolve: the mass ratio max(m_diag)/min(m_diag) is too large for tol on the "
              "lanczos and implicit paths: they hold tol in the mass-weighted norm, where the lightest node is "
              "resolved only to sqrt(max/min) * 2.2e-16 of its own size; path=\"chebyshev\" keeps each node's own "
              "scale")


def csr_parts(a):
    a = sp.csr_matrix(a)
    a.sort_indices()
    return a.indptr.astype(np.int64), a.indices.astype(np.int32), a.data.astype(np.float64)


def path_laplacian(n, scale=1.0):
    """scale * tridiag(-1, 2, -1) with the Neumann ends (1, -1)."""
    main = 2.0 * np.ones(n)
    main[0] = main[-1] = 1.0
    return sp.diags([-np.ones(n - 1), main, -np.ones(n - 1)], [-1, 0, 1]).tocsr() * scale


def symmetric(q, a, **kw):
    indptr, indices, data = csr_parts(a)
    return q.SymmetricOperator.from_csr(indptr, indices, data, a.shape[0], **kw)
