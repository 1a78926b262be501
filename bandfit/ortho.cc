#include "bandfit/ortho.h"

#include <cmath>

namespace bandfit {
namespace {

constexpr int kComponents = kMaxComponents;  // observation plus coefficient components
constexpr double kTinyNorm = 1e-25;

// x(i, k): component k of vector i. Vectors 1..m are the regressors, m + 1
// the right-hand side; components n + 1..n + m carry the coefficients that
// express each vector in terms of the original regressors.
recordio::Matrix1<double, kParamRoom + 2, kComponents> x;
recordio::Matrix1<double, kParamRoom + 1, kParamRoom + 1> a;
recordio::Array1<double, kComponents> pk;  // weighted copy of the vector in hand
recordio::Array1<double, 400> qk;          // inner products, then projection factors
recordio::Array1<double, kComponents> xp;  // new value of the vector in hand
int npp;
double denom, dk, ss, ssq;

// pk = the weighted observation components of vector kv; zero beyond n.
void weigh(int kv, int n, const LineArray& w) {
  for (int k = 1; k <= n; ++k) pk(k) = x(kv, k) * w(k);
  for (int k = n + 1; k <= npp; ++k) pk(k) = 0.0;
}

// qk(i) = weighted inner product of vector i with the vector in hand, i = 1..kv.
void inner_products(int kv) {
  for (int i = 1; i <= kv; ++i) {
    double s = 0.0;
    for (int k = 1; k <= npp; ++k) s += pk(k) * x(i, k);
    qk(i) = s;
  }
}

// xp = vector kv minus its projections on vectors 1..kv-1 (all components).
void project(int kv) {
  for (int i = 1; i < kv; ++i) qk(i) = -qk(i);
  qk(kv) = 1.0;
  for (int k = 1; k <= npp; ++k) {
    double s = 0.0;
    for (int j = 1; j <= kv; ++j) s += x(j, k) * qk(j);
    xp(k) = s;
  }
}

// Square root of the weighted squared norm of vector kv, pk already formed.
double weighted_norm(int kv) {
  double s = 0.0;
  for (int k = 1; k <= npp; ++k) s += pk(k) * x(kv, k);
  return std::sqrt(s);
}

// One orthogonalisation of vector kv against vectors 1..kv-1, in place.
void orthogonalise(int kv, int n, const LineArray& w) {
  weigh(kv, n, w);
  inner_products(kv);
  project(kv);
  for (int k = 1; k <= npp; ++k) x(kv, k) = xp(k);
}

}  // namespace

void ortho(int n, int m, const LineArray& y, const DerivMatrix& z, const LineArray& w,
           ParamArray& cof, ParamArray& cs, CovMatrix& vcv, CovMatrix& cv, double& check) {
  if (n < m) {
    check = kOrthoTooFewData;
    return;
  }
  denom = n == m ? 1.0 : std::sqrt(static_cast<double>(n) - static_cast<double>(m));
  npp = n + m;

  for (int i = 1; i <= m; ++i) {
    for (int k = 1; k <= n; ++k) x(i, k) = z(i, k);
  }
  for (int i = 1; i <= m; ++i) {
    for (int j = 1; j <= m; ++j) x(i, n + j) = 0.0;
    x(i, n + i) = 1.0;
  }

  for (int kv = 1; kv <= m; ++kv) {
    orthogonalise(kv, n, w);
    weigh(kv, n, w);
    dk = weighted_norm(kv);
    if (std::fabs(dk) < kTinyNorm) {
      check = kOrthoZeroNorm;
      return;
    }
    for (int k = 1; k <= npp; ++k) x(kv, k) /= dk;
    // Gram-Schmidt loses orthogonality when regressors are nearly parallel:
    // a second pass removes what the first left behind.
    orthogonalise(kv, n, w);
  }

  // The coefficient block A expresses the orthonormal vectors in terms of the
  // regressors, so A^T A is the inverse of the weighted normal matrix.
  for (int i = 1; i <= m; ++i) {
    for (int j = 1; j <= m; ++j) a(i, j) = x(i, n + j);
  }
  for (int i = 1; i <= m; ++i) {
    for (int j = 1; j <= m; ++j) {
      double s = 0.0;
      for (int l = 1; l <= m; ++l) s += a(l, i) * a(l, j);
      cv(i, j) = s;
      cv(j, i) = s;
    }
  }
  for (int i = 1; i <= m; ++i) cv(m + 1, i) = std::sqrt(cv(i, i));

  // The right-hand side: its projection factors, carried through the
  // coefficient components, are minus the least-squares coefficients.
  const int rhs = m + 1;
  for (int k = 1; k <= n; ++k) x(rhs, k) = y(k);
  for (int k = n + 1; k <= npp; ++k) x(rhs, k) = 0.0;
  weigh(rhs, n, w);
  inner_products(rhs);
  project(rhs);
  for (int i = 1; i <= m; ++i) cof(i) = -xp(n + i);
  for (int k = 1; k <= npp; ++k) x(rhs, k) = xp(k);
  weigh(rhs, n, w);
  dk = weighted_norm(rhs);
  if (std::fabs(dk) < kTinyNorm) {
    check = kOrthoZeroNorm;
    return;
  }

  ss = dk / denom;
  ssq = ss * ss;
  for (int i = 1; i <= m; ++i) {
    for (int j = i; j <= m; ++j) {
      vcv(i, j) = ssq * cv(i, j);
      vcv(j, i) = vcv(i, j);
    }
  }
  for (int i = 1; i <= m; ++i) {
    vcv(m + 1, i) = ss * cv(m + 1, i);
    cs(i) = vcv(m + 1, i);
  }

  check = kOrthoDone;
  for (int i = 1; i <= m; ++i) {
    for (int j = i; j <= m; ++j) {
      cv(i, j) = vcv(i, j) / std::sqrt(vcv(i, i) * vcv(j, j));
      cv(j, i) = cv(i, j);
    }
  }
}

}  // namespace bandfit
