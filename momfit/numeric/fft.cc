#include "momfit/numeric/fft.h"

#include <cmath>
#include <cstddef>
#include <utility>

namespace momfit {
namespace {

// 1-based element i of a float array.
inline float& el(std::span<float> a, int i) { return a[static_cast<std::size_t>(i - 1)]; }
inline float el(std::span<const float> a, int i) { return a[static_cast<std::size_t>(i - 1)]; }

// Complex quotient a / b by Smith's method, in double, the parts rounded to
// float. b is not zero (convlv stops before a zero divisor).
void complex_divide(float ar, float ai, float br, float bi, float& cr, float& ci) {
  const double abr = std::fabs(static_cast<double>(br));
  const double abi = std::fabs(static_cast<double>(bi));
  double qr;
  double qi;
  if (abr <= abi) {
    const double ratio = static_cast<double>(br) / bi;
    const double den = bi * (1.0 + ratio * ratio);
    qr = (ar * ratio + ai) / den;
    qi = (ai * ratio - ar) / den;
  } else {
    const double ratio = static_cast<double>(bi) / br;
    const double den = br * (1.0 + ratio * ratio);
    qr = (ar + ai * ratio) / den;
    qi = (ai - ar * ratio) / den;
  }
  cr = static_cast<float>(qr);
  ci = static_cast<float>(qi);
}

}  // namespace

void four1(std::span<float> data, int nn, int isign) {
  const int n = 2 * nn;
  // Bit reversal.
  int j = 1;
  for (int i = 1; i <= n - 1; i += 2) {
    if (j > i) {
      std::swap(el(data, j), el(data, i));
      std::swap(el(data, j + 1), el(data, i + 1));
    }
    int m = n / 2;
    while (m >= 2 && j > m) {
      j = j - m;
      m = m / 2;
    }
    j = j + m;
  }
  // Danielson-Lanczos butterflies.
  int mmax = 2;
  while (n > mmax) {
    const int istep = 2 * mmax;
    const double theta = 6.28318530717959 / (isign * mmax);
    const double s = std::sin(0.5 * theta);
    const double wpr = -2.0 * s * s;
    const double wpi = std::sin(theta);
    double wr = 1.0;
    double wi = 0.0;
    for (int m = 1; m <= mmax - 1; m += 2) {
      const float wrs = static_cast<float>(wr);
      const float wis = static_cast<float>(wi);
      for (int i = m; i <= n; i += istep) {
        const int jj = i + mmax;
        const float tempr = wrs * el(data, jj) - wis * el(data, jj + 1);
        const float tempi = wrs * el(data, jj + 1) + wis * el(data, jj);
        el(data, jj) = el(data, i) - tempr;
        el(data, jj + 1) = el(data, i + 1) - tempi;
        el(data, i) = el(data, i) + tempr;
        el(data, i + 1) = el(data, i + 1) + tempi;
      }
      const double wtemp = wr;
      wr = wr * wpr - wi * wpi + wr;
      wi = wi * wpr + wtemp * wpi + wi;
    }
    mmax = istep;
  }
}

void realft(std::span<float> data, int n, int isign) {
  // n is a power of 2, so n / 2 is exact.
  double theta = 3.141592653589793 / static_cast<double>(n / 2);  // NOLINT(bugprone-integer-division)
  const float c1 = 0.5f;
  float c2;
  if (isign == 1) {
    c2 = -0.5f;
    four1(data, n / 2, +1);
  } else {
    c2 = 0.5f;
    theta = -theta;
  }
  const double s = std::sin(0.5 * theta);
  const double wpr = -2.0 * s * s;
  const double wpi = std::sin(theta);
  double wr = 1.0 + wpr;
  double wi = wpi;
  const int n2p3 = n + 3;
  for (int i = 2; i <= n / 4; ++i) {
    const int i1 = 2 * i - 1;
    const int i2 = i1 + 1;
    const int i3 = n2p3 - i2;
    const int i4 = i3 + 1;
    const float wrs = static_cast<float>(wr);
    const float wis = static_cast<float>(wi);
    const float h1r = c1 * (el(data, i1) + el(data, i3));
    const float h1i = c1 * (el(data, i2) - el(data, i4));
    const float h2r = -(c2 * (el(data, i2) + el(data, i4)));
    const float h2i = c2 * (el(data, i1) - el(data, i3));
    el(data, i1) = h1r + wrs * h2r - wis * h2i;
    el(data, i2) = h1i + wrs * h2i + wis * h2r;
    el(data, i3) = h1r - wrs * h2r + wis * h2i;
    el(data, i4) = -h1i + wrs * h2i + wis * h2r;
    const double wtemp = wr;
    wr = wr * wpr - wi * wpi + wr;
    wi = wi * wpr + wtemp * wpi + wi;
  }
  if (isign == 1) {
    const float h1r = el(data, 1);
    el(data, 1) = h1r + el(data, 2);
    el(data, 2) = h1r - el(data, 2);
  } else {
    const float h1r = el(data, 1);
    el(data, 1) = c1 * (h1r + el(data, 2));
    el(data, 2) = c1 * (h1r - el(data, 2));
    four1(data, n / 2, -1);
  }
}

void twofft(std::span<const float> data1, std::span<const float> data2, std::span<float> fft1,
            std::span<float> fft2, int n) {
  // Complex element j (1-based) of a complex array: parts at 2j-1 and 2j.
  auto re = [](std::span<float> a, int j) -> float& { return el(a, 2 * j - 1); };
  auto im = [](std::span<float> a, int j) -> float& { return el(a, 2 * j); };
  // c1 = (0.5, 0.0), c2 = (0.0, -0.5).
  const float c1r = 0.5f, c1i = 0.0f;
  const float c2r = 0.0f, c2i = -0.5f;
  for (int j = 1; j <= n; ++j) {
    re(fft1, j) = el(data1, j);
    im(fft1, j) = el(data2, j);
  }
  four1(fft1, n, 1);
  re(fft2, 1) = im(fft1, 1);
  im(fft2, 1) = 0.0f;
  im(fft1, 1) = 0.0f;
  const int n2 = n + 2;
  for (int j = 2; j <= n / 2 + 1; ++j) {
    const int k = n2 - j;
    // conj(fft1(k))
    const float ckr = re(fft1, k);
    const float cki = -im(fft1, k);
    const float ar = re(fft1, j) + ckr;
    const float ai = im(fft1, j) + cki;
    const float br = re(fft1, j) - ckr;
    const float bi = im(fft1, j) - cki;
    const float h1r = c1r * ar - c1i * ai;
    const float h1i = c1r * ai + c1i * ar;
    const float h2r = c2r * br - c2i * bi;
    const float h2i = c2r * bi + c2i * br;
    re(fft1, j) = h1r;
    im(fft1, j) = h1i;
    re(fft1, k) = h1r;
    im(fft1, k) = -h1i;
    re(fft2, j) = h2r;
    im(fft2, j) = h2i;
    re(fft2, k) = h2r;
    im(fft2, k) = -h2i;
  }
}

Outcome convlv(std::span<const float> data, int n, std::span<float> respns, int m, int isign,
               std::span<float> ans, std::span<float> work) {
  const std::span<float> fft = work;
  Outcome outcome = Outcome::ok;
  // Negative lags to the end of the n-long array, then zeros between.
  for (int i = 1; i <= (m - 1) / 2; ++i) el(respns, n + 1 - i) = el(respns, m + 1 - i);
  for (int i = (m + 3) / 2; i <= n - (m - 1) / 2; ++i) el(respns, i) = 0.0f;
  twofft(data, respns, fft, ans, n);
  const int no2 = n / 2;
  const double dno2 = static_cast<double>(no2);
  for (int i = 1; i <= no2 + 1; ++i) {
    float& ar = el(ans, 2 * i - 1);
    float& ai = el(ans, 2 * i);
    const float fr = el(fft, 2 * i - 1);
    const float fi = el(fft, 2 * i);
    if (isign == 1) {
      const float pr = fr * ar - fi * ai;
      const float pi = fr * ai + fi * ar;
      ar = static_cast<float>(pr / dno2);
      ai = static_cast<float>(pi / dno2);
    } else if (isign == -1) {
      if (std::hypot(ar, ai) == 0.0f) return Outcome::response_zero;
      float qr;
      float qi;
      complex_divide(fr, fi, ar, ai, qr, qi);
      ar = static_cast<float>(qr / dno2);
      ai = static_cast<float>(qi / dno2);
    } else {
      outcome = Outcome::bad_isign;  // the frequency stays as it is
    }
  }
  el(ans, 2) = el(ans, 2 * no2 + 1);
  realft(ans, n, -1);
  return outcome;
}

}  // namespace momfit
