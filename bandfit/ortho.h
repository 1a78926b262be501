// Weighted linear least squares by Gram-Schmidt orthonormalisation, for the
// refinement's one correction step.
#pragma once

#include "bandfit/model.h"

namespace bandfit {

// Derivative matrix: z(i, k) is the derivative of line k's position with
// respect to the i-th fitted parameter (leading dimension 30, 500 lines).
using DerivMatrix = recordio::Matrix1<double, kParamRoom, kMaxLines>;
// Variance-covariance and correlation matrices: 31 rows so that row m + 1
// can carry a copy of a per-parameter vector beside the m x m block.
using CovMatrix = recordio::Matrix1<double, kParamRoom + 1, kParamRoom>;

// Solver status values.
constexpr double kOrthoDone = 1.0;
constexpr double kOrthoTooFewData = -1.0;
constexpr double kOrthoZeroNorm = -5.0;

// Finds cof(1..m) minimising the sum over k = 1..n of
// w(k) * (y(k) - sum_i cof(i) z(i, k))^2, with m <= 30 and n + m <= 500.
// y, z and w are read only. On success (check = 1.0): cs(i) is the standard
// deviation of cof(i); vcv(1..m, 1..m) the variance-covariance matrix and
// vcv(m + 1, i) = cs(i); cv(1..m, 1..m) the correlation matrix (unit
// diagonal) and cv(m + 1, i) the square root of diagonal element i of the
// inverse weighted normal matrix. Failures:
//   n < m: check = -1.0, no output touched;
//   a regressor with vanishing weighted norm after orthogonalisation:
//     check = -5.0, no output touched;
//   a vanishing weighted residual norm (exact fit): check = -5.0, cof
//     written, cv(1..m, 1..m) holding the inverse normal matrix, cs and vcv
//     untouched.
// Uses static working storage: not reentrant.
void ortho(int n, int m, const LineArray& y, const DerivMatrix& z, const LineArray& w,
           ParamArray& cof, ParamArray& cs, CovMatrix& vcv, CovMatrix& cv, double& check);

}  // namespace bandfit
