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

// What a solve ended with. The value is the status number the report prints.
enum class OrthoStatus : int {
  done = 1,
  too_few_data = -1,  // fewer observations than regressors
  zero_norm = -5,     // a vector whose weighted norm vanished
};

// The status number as the report prints it (f5.1).
inline double status_value(OrthoStatus s) { return static_cast<int>(s); }

// One least-squares solver: its results (cof, cs, vcv, cv, under the names
// the reports use) and its working storage (about 160 kB: keep it off small
// stacks). The results persist between solves; a failed solve leaves those
// it did not reach as they were.
class Ortho {
 public:
  ParamArray cof;  // coefficients
  ParamArray cs;   // standard deviation of each coefficient
  CovMatrix vcv;   // variance-covariance; row m + 1 a copy of cs
  CovMatrix cv;    // correlation; row m + 1 the square roots of the diagonal
                   // of the inverse weighted normal matrix

  // Finds cof(1..m) minimising the sum over k = 1..n of
  // w(k) * (y(k) - sum_i cof(i) z(i, k))^2, with m <= 30 and n + m <= 500.
  // y, z and w are read only. On success (done): cs(i) is the standard
  // deviation of cof(i); vcv(1..m, 1..m) the variance-covariance matrix and
  // vcv(m + 1, i) = cs(i); cv(1..m, 1..m) the correlation matrix (unit
  // diagonal) and cv(m + 1, i) the square root of diagonal element i of the
  // inverse weighted normal matrix. Failures:
  //   too_few_data (n < m): no result touched;
  //   zero_norm, a regressor with vanishing weighted norm after
  //     orthogonalisation: no result touched;
  //   zero_norm, a vanishing weighted residual norm (exact fit): cof
  //     written, cv(1..m, 1..m) holding the inverse normal matrix, cs and
  //     vcv untouched.
  OrthoStatus solve(int n, int m, const LineArray& y, const DerivMatrix& z, const LineArray& w);

 private:
  void weigh(int kv, int n, const LineArray& w);
  void inner_products(int kv);
  void project(int kv);
  double weighted_norm(int kv) const;
  void orthogonalise(int kv, int n, const LineArray& w);

  // x(i, k): component k of vector i. Vectors 1..m are the regressors, m + 1
  // the right-hand side; components n + 1..n + m carry the coefficients that
  // express each vector in terms of the original regressors.
  recordio::Matrix1<double, kParamRoom + 2, kMaxComponents> x;
  // a(i, j): the orthonormal vectors in terms of the regressors (A^T A is
  // the inverse of the weighted normal matrix).
  recordio::Matrix1<double, kParamRoom + 1, kParamRoom + 1> a;
  recordio::Array1<double, kMaxComponents> pk;  // weighted copy of the vector in hand
  recordio::Array1<double, 400> qk;             // inner products, then projection factors
  recordio::Array1<double, kMaxComponents> xp;  // new value of the vector in hand
  int npp = 0;                                  // components of every vector: n + m
};

}  // namespace bandfit
