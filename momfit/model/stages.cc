#include "momfit/model/stages.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "momfit/blocks.h"
#include "momfit/numeric/fft.h"
#include "momfit/numeric/interp.h"
#include "recordio/recordio.h"

namespace momfit {
namespace {

constexpr int kPoints = 4;  // interpolation order of rebin: a cubic

// convolve's result work array (at least 2 x kFftLength values).
std::array<float, 2200> ans;
// The response laid out afresh for every convolution: convlv rearranges the
// array it is given, and the loaded profile must stay whole for the next one.
std::array<float, kFftLength> response_copy;

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

void rebin(std::span<const float> value, std::span<const float> abscissa, std::span<float> out,
           std::span<const float> grid, int n) {
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
    polint(abscissa.subspan(first, kPoints), value.subspan(first, kPoints), kPoints, g,
           el(out, i), dy);
  }
}

void profadd(std::span<float> out, std::span<const float> first, std::span<const float> second,
             int n, float weight) {
  for (int i = 1; i <= n; ++i) el(out, i) = weight * el(second, i) + el(first, i);
}

void convolve(std::span<float> profile, std::span<float> out, std::span<const float> /*grid*/,
              std::span<const float> response, int n, int m) {
  for (int i = n + 1; i <= kFftLength; ++i) el(profile, i) = 0.0f;
  // convlv lays the negative lags out at the end of the array it is given and
  // clears the middle; a fresh copy keeps every lag for every evaluation.
  m = std::min(m, kFftLength);
  std::copy_n(response.begin(), m, response_copy.begin());
  std::fill(response_copy.begin() + m, response_copy.end(), 0.0f);
  convlv(profile.first(kFftLength), kFftLength, response_copy, m, 1, ans);
  for (int j = 1; j <= n; ++j) el(out, j) = ans[static_cast<std::size_t>(j - 1)];
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

float chi2(std::span<const float> model, std::span<const float> x, bool evaluable) {
  const int n = three.nlab;
  float chi2total = 0.0f;
  if (!evaluable || n == 3) {
    // Nothing to compare, or a zero divisor: this point can never be best.
    chi2total = std::numeric_limits<float>::infinity();
  } else {
    // Each difference is divided by n - 3 before squaring.
    const auto divisor = static_cast<float>(n - 3);
    for (int i = 1; i <= n; ++i) {
      float inside = (two.labprob(i) - el(model, i)) / divisor;
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
