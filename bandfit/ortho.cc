#include "bandfit/ortho.h"

#include <array>
#include <cmath>
#include <cstddef>

namespace bandfit {
// pk = the weighted observation components of vector kv; zero beyond n.
void Ortho::weigh(int kv, int n, const LineArray& w) {
  for (int k = 1; k <= n; ++k) pk(k) = x(kv, k) * w(k);
  for (int k = n + 1; k <= npp; ++k) pk(k) = 0.0;
}

// qk(i) = weighted inner product of vector i with the vector in hand, i = 1..kv.
void Ortho::inner_products(int kv) {
  // Summed into a local first: stores into a member could, for all the
  // compiler knows, change x or pk, which keeps it from forming two sums
  // at a time.
  std::array<double, kParamRoom + 2> q;
  for (int i = 1; i <= kv; ++i) {
    double s = 0.0;
    for (int k = 1; k <= npp; ++k) s += pk(k) * x(i, k);
    q[static_cast<std::size_t>(i - 1)] = s;
  }
  for (int i = 1; i <= kv; ++i) qk(i) = q[static_cast<std::size_t>(i - 1)];
}

// xp = vector kv minus its projections on vectors 1..kv-1 (all components).
void Ortho::project(int kv) {
  for (int i = 1; i < kv; ++i) qk(i) = -qk(i);
  qk(kv) = 1.0;
  // The factors are read from a local copy, which the stores into xp
  // cannot change: the compiler need not reload them for every component.
  std::array<double, kParamRoom + 2> q;
  for (int j = 1; j <= kv; ++j) q[static_cast<std::size_t>(j - 1)] = qk(j);
  for (int k = 1; k <= npp; ++k) {
    double s = 0.0;
    for (int j = 1; j <= kv; ++j) s += x(j, k) * q[static_cast<std::size_t>(j - 1)];
    xp(k) = s;
  }
}

// Square root of the weighted squared norm of vector kv, pk already formed.
double Ortho::weighted_norm(int kv) const {
  double s = 0.0;
  for (int k = 1; k <= npp; ++k) s += pk(k) * x(kv, k);
  return std::sqrt(s);
}

// One orthogonalisation of vector kv against vectors 1..kv-1, in place.
void Ortho::orthogonalise(int kv, int n, const LineArray& w) {
  weigh(kv, n, w);
  inner_products(kv);
  project(kv);
  for (int k = 1; k <= npp; ++k) x(kv, k) = xp(k);
}

OrthoStatus Ortho::solve(int n, int m, const LineArray& y, const DerivMatrix& z,
                         const LineArray& w) {
  // A weighted norm below this (the norm, not its square) ends the solve.
  constexpr double kTinyNorm = 1e-25;
  if (n < m) return OrthoStatus::too_few_data;
  const double denom = n == m ? 1.0 : std::sqrt(static_cast<double>(n) - static_cast<double>(m));
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
    const double dk = weighted_norm(kv);
    if (std::fabs(dk) < kTinyNorm) return OrthoStatus::zero_norm;
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
  const double dk = weighted_norm(rhs);
  if (std::fabs(dk) < kTinyNorm) return OrthoStatus::zero_norm;

  const double ss = dk / denom;
  const double ssq = ss * ss;
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

  for (int i = 1; i <= m; ++i) {
    for (int j = i; j <= m; ++j) {
      cv(i, j) = vcv(i, j) / std::sqrt(vcv(i, i) * vcv(j, j));
      cv(j, i) = cv(i, j);
    }
  }
  return OrthoStatus::done;
}

}  // namespace bandfit
