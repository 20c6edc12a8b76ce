// Complete elliptic integrals and Jacobi elliptic functions of a real
// argument, for the conformal maps of contour quadratures.
//
// Both take the modulus k and its complement k' = sqrt(1 - k^2) as given:
// the maps need k within 1e-9 of 1, where forming k' from k (or k from the
// parameter m = k^2) loses every digit that matters.
#pragma once

namespace quorvane {

// K(k) = pi / (2 agm(1, k')), 0 < k' <= 1.
double complete_elliptic_k(double k_complement);

struct JacobiSnCnDn {
    double sn = 0.0, cn = 1.0, dn = 1.0;
};

// sn, cn and dn of u for the modulus with complement k', by the descending
// Landen sequence (the arithmetic-geometric mean): to a few ulps for
// |u| up to several K. dn is formed as sqrt(cn^2 + k'^2 sn^2), which keeps
// its relative accuracy where sn is near 1 and k near 1.
JacobiSnCnDn jacobi_sn_cn_dn(double u, double k_complement);

}  // namespace quorvane
