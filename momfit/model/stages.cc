#include "momfit/model/stages.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "momfit/numeric/fft.h"
#include "momfit/numeric/interp.h"
#include "recordio/recordio.h"

namespace momfit {
namespace {

inline float& el(std::span<float> a, int i) { return a[static_cast<std::size_t>(i - 1)]; }
inline float el(std::span<const float> a, int i) { return a[static_cast<std::size_t>(i - 1)]; }

// The starting guess of the table search: the grid value less 4.0277777e-23,
// truncated toward zero. A value the integer range cannot hold (or NaN)
// gives 0, the guess that means "none".
int starting_guess(float g) {
  const float t = g - 4.0277777e-23f;
  if (!(t >= -2147483648.0f && t < 2147483648.0f)) return 0;
  return static_cast<int>(t);
}

}  // namespace

int rebin(std::span<const float> value, std::span<const float> abscissa, std::span<float> out,
          std::span<const float> grid, int n) {
  constexpr int kPoints = 4;  // interpolation order: a cubic
  int failures = 0;
  for (int i = 1; i <= n; ++i) {
    const float g = el(grid, i);
    int j = starting_guess(g);
    hunt(abscissa, kTable, g, j);
    if (j == 0 || j == kTable) {
      el(out, i) = 0.0f;  // the model is zero outside the table
      continue;
    }
    // Four points with the bracketing pair in the middle, moved inwards at
    // the ends of the table.
    const int k = std::min(std::max(j - 1, 1), kTable - kPoints + 1);
    const auto first = static_cast<std::size_t>(k - 1);
    float dy = 0.0f;  // error estimate, not used
    if (polint(abscissa.subspan(first, kPoints), value.subspan(first, kPoints), kPoints, g,
               el(out, i), dy) != Outcome::ok) {
      ++failures;
    }
  }
  return failures;
}

void profadd(std::span<float> out, std::span<const float> first, std::span<const float> second,
             int n, float weight) {
  for (int i = 1; i <= n; ++i) el(out, i) = weight * el(second, i) + el(first, i);
}

void convolve(std::span<float> profile, std::span<float> out, std::span<const float> response,
              int n, int m, ConvolveWork& work) {
  for (int i = n + 1; i <= kFftLength; ++i) el(profile, i) = 0.0f;
  // convlv lays the negative lags out at the end of the array it is given and
  // clears the middle; a fresh copy keeps every lag for every evaluation.
  m = std::min(m, kFftLength);
  std::copy_n(response.begin(), m, work.response.begin());
  std::fill(work.response.begin() + m, work.response.end(), 0.0f);
  // A forward convolution (isign = +1) has no outcome but ok.
  (void)convlv(profile.first(kFftLength), kFftLength, work.response, m, 1, work.ans, work.fft);
  for (int j = 1; j <= n; ++j) el(out, j) = work.ans[static_cast<std::size_t>(j - 1)];
}

bool normalise(std::span<const float> in, std::span<float> out, int n, float top, float base) {
  float calcmax = 0.0f;
  for (int i = 1; i <= n; ++i) {
    if (calcmax < el(in, i)) calcmax = el(in, i);
  }
  if (n > 0 && !(calcmax > 0.0f)) {
    // No positive value: the division would give infinities and NaN. The
    // curve is flat at base and the caller marks the evaluation unusable.
    for (int i = 1; i <= n; ++i) el(out, i) = base;
    return false;
  }
  for (int i = 1; i <= n; ++i) el(out, i) = (top - base) * el(in, i) / calcmax + base;
  return true;
}

float chi2(std::span<const float> model, std::span<const float> x, FitState& s, bool evaluable) {
  const int n = s.three.nlab;
  BlockOne& one = s.one;
  float chi2total = 0.0f;
  if (!evaluable || n == 3) {
    // Nothing to compare, or a zero divisor: this point can never be best.
    chi2total = std::numeric_limits<float>::infinity();
  } else {
    // Each difference is divided by n - 3 before squaring.
    const auto divisor = static_cast<float>(n - 3);
    for (int i = 1; i <= n; ++i) {
      float inside = (s.two.labprob(i) - el(model, i)) / divisor;
      inside = inside * inside;
      chi2total = chi2total + inside;
    }
    if (std::isnan(chi2total)) chi2total = std::numeric_limits<float>::infinity();
  }
  if (chi2total < one.bestchi2) {
    one.bestchi2 = chi2total;
    one.bestw1 = el(x, 1);
    one.bestw2 = el(x, 2);
    one.bestbeta = el(x, 3);
    one.beste0 = el(x, 4);
  }
  recordio::write_list(7, {one.bestw1, one.bestw2, one.bestbeta, one.beste0, chi2total,
                           one.bestchi2});
  return chi2total;
}

}  // namespace momfit
