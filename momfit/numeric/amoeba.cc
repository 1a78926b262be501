#include "momfit/numeric/amoeba.h"

#include <cmath>
#include <cstddef>
#include <utility>

namespace momfit {

Amoeba::Amoeba(recordio::Matrix<float> simplex, std::span<float> fvals, int dims, float ftol,
               int itmax)
    : p_(simplex), y_(fvals), dims_(dims), ftol_(ftol), itmax_(itmax) {}

// ObjectiveRef is two pointers and a function pointer, made to be passed by
// value like a function reference.
// cppcheck-suppress passedByValue
float Amoeba::amotry(ObjectiveRef func, int ihi, float fac) {
  const recordio::Matrix<float>& p = p_;
  const float fac1 = (1.0f - fac) / static_cast<float>(dims_);
  const float fac2 = fac1 - fac;
  for (int j = 1; j <= dims_; ++j) {
    const float a = psum_[j - 1] * fac1;
    const float b = p(ihi, j) * fac2;
    ptry_[j - 1] = a - b;
  }
  const float ytry = func(std::span<const float>(ptry_.data(), static_cast<std::size_t>(dims_)));
  if (ytry < y_[ihi - 1]) {
    y_[ihi - 1] = ytry;
    for (int j = 1; j <= dims_; ++j) {
      const float s = psum_[j - 1] - p(ihi, j);
      psum_[j - 1] = s + ptry_[j - 1];
      p(ihi, j) = ptry_[j - 1];
    }
  }
  return ytry;
}

// cppcheck-suppress passedByValue ; a small handle, as for amotry
Outcome Amoeba::run(ObjectiveRef func) {
  if (dims_ > kNmax) return Outcome::too_many_coordinates;
  const int dims = dims_;
  const int mpts = dims + 1;
  const recordio::Matrix<float>& p = p_;
  auto y = [&](int i) -> float& { return y_[static_cast<std::size_t>(i - 1)]; };

  for (;;) {
    if (sums_due_) {
      // The coordinate sums, added in order of the rows.
      for (int j = 1; j <= dims; ++j) {
        float sum = 0.0f;
        for (int i = 1; i <= mpts; ++i) sum = sum + p(i, j);
        psum_[j - 1] = sum;
      }
      sums_due_ = false;
    }
    // Ranking: lowest, highest and next-highest vertex. Among equal lowest values the last row wins.
    int ilo = 1;
    int ihi;
    int inhi;
    if (y(1) > y(2)) {
      ihi = 1;
      inhi = 2;
    } else {
      ihi = 2;
      inhi = 1;
    }
    for (int i = 1; i <= mpts; ++i) {
      if (y(i) <= y(ilo)) ilo = i;
      if (y(i) > y(ihi)) {
        inhi = ihi;
        ihi = i;
      } else if (y(i) > y(inhi)) {
        if (i != ihi) inhi = i;
      }
    }
    // Every vertex unevaluable (the objective gives +infinity for a model
    // it cannot compute): there is no downhill direction, and inf - inf
    // would keep the spread test failing for ever.
    if (std::isinf(y(ilo)) && y(ilo) > 0.0f) return Outcome::no_finite_value;
    // Convergence: the relative spread, with no guard term (kept on purpose;
    // 0/0 never passes).
    const float diff = std::fabs(y(ihi) - y(ilo));
    const float num = 2.0f * diff;
    const float den = std::fabs(y(ihi)) + std::fabs(y(ilo));
    const float rtol = num / den;
    if (rtol < ftol_) {
      std::swap(y(1), y(ilo));
      for (int j = 1; j <= dims; ++j) std::swap(p(1, j), p(ilo, j));
      return Outcome::converged;
    }
    // The iteration limit stops the search before every further step; the
    // caller runs it again to take that step. The ranking above depends on
    // the values alone, so it comes out the same when the search goes on.
    if (iter_ >= itmax_ && !limit_passed_) {
      limit_passed_ = true;
      return Outcome::iteration_limit;
    }
    limit_passed_ = false;
    // Reflect the worst vertex through the opposite face.
    iter_ = iter_ + 2;
    float ytry = amotry(func, ihi, -1.0f);
    if (ytry <= y(ilo)) {
      // Better than the best: expand row ihi as it now stands.
      amotry(func, ihi, 2.0f);
      continue;
    }
    if (ytry >= y(inhi)) {
      // No better than the second worst: contract, then a shrink towards the best vertex when
      // the contraction did not improve on the saved worst value.
      const float ysave = y(ihi);
      ytry = amotry(func, ihi, 0.5f);
      if (ytry >= ysave) {
        for (int i = 1; i <= mpts; ++i) {
          if (i == ilo) continue;
          for (int j = 1; j <= dims; ++j) {
            const float s = p(i, j) + p(ilo, j);
            psum_[j - 1] = 0.5f * s;
            p(i, j) = psum_[j - 1];
          }
          y(i) = func(std::span<const float>(psum_.data(), static_cast<std::size_t>(dims)));
        }
        iter_ = iter_ + dims;
        sums_due_ = true;  // psum served as scratch: sum again
      }
      continue;
    }
    // Between: the reflection alone is kept.
    iter_ = iter_ - 1;
  }
}

}  // namespace momfit
