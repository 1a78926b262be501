#include "momfit/numeric/amoeba.h"

#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

#include "recordio/recordio.h"

namespace momfit {
namespace {

constexpr int kNmax = 20;     // capacity of psum and ptry
constexpr int kItmax = 5000;  // evaluations before every step pauses

// Static working storage; every call sets it afresh.
float psum_store[kNmax];
float ptry[kNmax];

}  // namespace

// ObjectiveRef is two pointers and a function pointer, made to be passed by
// value like a function reference.
float amotry(recordio::Matrix<float> simplex, std::span<float> fvals, std::span<float> psum,
             // cppcheck-suppress passedByValue
             int rowcap, int /*colcap*/, int dims, ObjectiveRef func, int ihi, float fac) {
  // The caller's row capacity is the leading dimension of the vertex table.
  const recordio::Matrix<float> p(simplex.storage(), rowcap);
  const float fac1 = (1.0f - fac) / static_cast<float>(dims);
  const float fac2 = fac1 - fac;
  for (int j = 1; j <= dims; ++j) {
    const float a = psum[j - 1] * fac1;
    const float b = p(ihi, j) * fac2;
    ptry[j - 1] = a - b;
  }
  const float ytry = func(std::span<const float>(ptry, static_cast<std::size_t>(dims)));
  if (ytry < fvals[ihi - 1]) {
    fvals[ihi - 1] = ytry;
    for (int j = 1; j <= dims; ++j) {
      const float s = psum[j - 1] - p(ihi, j);
      psum[j - 1] = s + ptry[j - 1];
      p(ihi, j) = ptry[j - 1];
    }
  }
  return ytry;
}

void amoeba(recordio::Matrix<float> simplex, std::span<float> fvals, int rowcap, int colcap,
            // cppcheck-suppress passedByValue ; a small handle, as for amotry
            int dims, float ftol, ObjectiveRef func, int& iter) {
  if (dims > kNmax) {
    // The working arrays hold 20 coordinates: refuse rather than write past
    // them.
    recordio::fail("amoeba: " + std::to_string(dims) + " coordinates, at most 20 can be minimised");
  }
  const int mpts = dims + 1;
  const std::span<float> psum(psum_store, kNmax);
  const recordio::Matrix<float> p(simplex.storage(), rowcap);
  auto y = [&](int i) -> float& { return fvals[static_cast<std::size_t>(i - 1)]; };

  iter = 0;
  for (;;) {
    // Step 2: the coordinate sums, added in order of the rows.
    for (int j = 1; j <= dims; ++j) {
      float sum = 0.0f;
      for (int i = 1; i <= mpts; ++i) sum = sum + p(i, j);
      psum[j - 1] = sum;
    }
    for (;;) {
      // Step 3: ranking. Among equal lowest values the last row wins.
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
      if (std::isinf(y(ilo)) && y(ilo) > 0.0f) return;
      // Step 4: the relative spread, with no guard term (0/0 never passes).
      const float diff = std::fabs(y(ihi) - y(ilo));
      const float num = 2.0f * diff;
      const float den = std::fabs(y(ihi)) + std::fabs(y(ilo));
      const float rtol = num / den;
      if (rtol < ftol) {
        std::swap(y(1), y(ilo));
        for (int j = 1; j <= dims; ++j) std::swap(p(1, j), p(ilo, j));
        return;
      }
      // Step 5: the limit pauses and lets the search go on.
      if (iter >= kItmax) recordio::pause("ITMAX exceeded in amoeba");
      // Step 6: reflection.
      iter = iter + 2;
      float ytry = amotry(simplex, fvals, psum, rowcap, colcap, dims, func, ihi, -1.0f);
      if (ytry <= y(ilo)) {
        // Step 7: expansion of row ihi as it now stands.
        amotry(simplex, fvals, psum, rowcap, colcap, dims, func, ihi, 2.0f);
        continue;
      }
      if (ytry >= y(inhi)) {
        // Step 8: contraction, then a shrink towards the best vertex when
        // the contraction did not improve on the saved worst value.
        const float ysave = y(ihi);
        ytry = amotry(simplex, fvals, psum, rowcap, colcap, dims, func, ihi, 0.5f);
        if (ytry >= ysave) {
          for (int i = 1; i <= mpts; ++i) {
            if (i == ilo) continue;
            for (int j = 1; j <= dims; ++j) {
              const float s = p(i, j) + p(ilo, j);
              psum[j - 1] = 0.5f * s;
              p(i, j) = psum[j - 1];
            }
            y(i) = func(std::span<const float>(psum.data(), static_cast<std::size_t>(dims)));
          }
          iter = iter + dims;
          break;  // back to step 2: the sums are rebuilt
        }
        continue;
      }
      // Step 9: the reflection alone.
      iter = iter - 1;
    }
  }
}

}  // namespace momfit
