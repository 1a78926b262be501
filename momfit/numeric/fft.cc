#include "momfit/numeric/fft.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "momfit/numeric/kernels.h"

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

// Factors exp(i k theta) by a recurrence in double, from w = (wr, wi): four1's
// stage with mmax floats per half starts at w_0 = 1 with theta =
// 2 pi / (isign mmax); the butterflies use them rounded to float.
struct Recurrence {
  explicit Recurrence(double theta) {
    const double s = std::sin(0.5 * theta);
    wpr = -2.0 * s * s;
    wpi = std::sin(theta);
  }
  void next() {
    const double wtemp = wr;
    wr = wr * wpr - wi * wpi + wr;
    wi = wi * wpr + wtemp * wpi + wi;
  }
  double wpr;
  double wpi;
  double wr = 1.0;
  double wi = 0.0;
};

// The recurrence realft steps along, at factor 1.
Recurrence realft_recurrence(double theta) {
  Recurrence w(theta);
  w.wr = 1.0 + w.wpr;
  w.wi = w.wpi;
  return w;
}

// The exchanges of the bit reversal: whole complex values move, 8 bytes
// copied, no arithmetic.
void reverse_bits(float* d, std::span<const std::uint32_t> first,
                  std::span<const std::uint32_t> second) {
  for (std::size_t k = 0; k < first.size(); ++k) {
    float* const p = d + 2 * static_cast<std::size_t>(first[k]);
    float* const q = d + 2 * static_cast<std::size_t>(second[k]);
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, q, 8);
    std::memcpy(p, &b, 8);
    std::memcpy(q, &a, 8);
  }
}

// --- The plain kernels ------------------------------------------------------
//
// The butterflies of one stage touch disjoint values, and so do the
// iterations of twofft's split and of realft's steps with their mirrors: the
// order in which they run does not change any result. The vector kernels
// below do the operations of these loops lane by lane, on the same operands
// with the same factors, several iterations at a time; so every kernel gives
// the bits of the plain one.

// b = a - t, a = a + t with t = w b (complex values as float pairs).
inline void butterfly(float* a, float* b, float wrs, float wis) {
  const float tempr = wrs * b[0] - wis * b[1];
  const float tempi = wrs * b[1] + wis * b[0];
  b[0] = a[0] - tempr;
  b[1] = a[1] - tempi;
  a[0] = a[0] + tempr;
  a[1] = a[1] + tempi;
}

// Every stage one butterfly at a time.
void stages_plain(float* d, int nn, const float* re, const float* im) {
  for (int h = 1; h < nn; h *= 2) {
    const float* const wr = re + 2 * (h - 1);
    const float* const wi = im + 2 * (h - 1);
    for (int g = 0; g < 2 * nn; g += 4 * h) {
      for (int k = 0; k < h; ++k) butterfly(d + g + 2 * k, d + g + 2 * k + 2 * h, wr[2 * k], wi[2 * k]);
    }
  }
}

// twofft's split for complex value j (1-based) of n and its partner n+2-j:
// fft1(j) = h1 = c1 (fft1(j) + conj fft1(k)), fft1(k) = conj h1, and fft2
// likewise with h2 = c2 (fft1(j) - conj fft1(k)); c1 = 0.5, c2 = -0.5 i.
void twofft_step(float* f1, float* f2, int n, int j) {
  const float c1r = 0.5f, c1i = 0.0f;
  const float c2r = 0.0f, c2i = -0.5f;
  float* const pj = f1 + 2 * j - 2;
  float* const pk = f1 + 2 * (n + 2 - j) - 2;
  const float ckr = pk[0];
  const float cki = -pk[1];
  const float ar = pj[0] + ckr;
  const float ai = pj[1] + cki;
  const float br = pj[0] - ckr;
  const float bi = pj[1] - cki;
  const float h1r = c1r * ar - c1i * ai;
  const float h1i = c1r * ai + c1i * ar;
  const float h2r = c2r * br - c2i * bi;
  const float h2i = c2r * bi + c2i * br;
  pj[0] = h1r;
  pj[1] = h1i;
  pk[0] = h1r;
  pk[1] = -h1i;
  float* const qj = f2 + 2 * j - 2;
  float* const qk = f2 + 2 * (n + 2 - j) - 2;
  qj[0] = h2r;
  qj[1] = h2i;
  qk[0] = h2r;
  qk[1] = -h2i;
}

// realft's step i for n real values (complex value i, 1-based, and its
// partner n/2+2-i), with the factor (wrs, wis).
void realft_step(float* d, int n, int i, float c1, float c2, float wrs, float wis) {
  float* const a = d + 2 * i - 2;
  float* const b = d + n + 2 - 2 * i;
  const float h1r = c1 * (a[0] + b[0]);
  const float h1i = c1 * (a[1] - b[1]);
  const float h2r = -(c2 * (a[1] + b[1]));
  const float h2i = c2 * (a[0] - b[0]);
  a[0] = h1r + wrs * h2r - wis * h2i;
  a[1] = h1i + wrs * h2i + wis * h2r;
  b[0] = h1r - wrs * h2r + wis * h2i;
  b[1] = -h1i + wrs * h2i + wis * h2r;
}

// --- The vector kernels -------------------------------------------------------
//
// Written once for W floats (C = W/2 complex values) per vector, in GCC's
// vector extensions. In each lane the operations of the plain loops: a
// complex product c v forms cr vr - ci vi in the real lanes and cr vi + ci vr
// in the imaginary ones, both on all lanes, each lane keeping its own (no
// negated factor stands in for a subtraction, no operation is fused or
// regrouped); conjugates are changes of sign.
#if LABSUITE_VECTOR_KERNELS
template <class T>
constexpr std::size_t kWidth = sizeof(T) / sizeof(float);

template <class T>
[[gnu::always_inline]] inline T load(const float* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
[[gnu::always_inline]] inline void store(float* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Lane k of the result is lane P::lane(k, W) of a and b end to end.
template <class P, class T, std::size_t... k>
[[gnu::always_inline]] inline T mix(T a, T b, std::index_sequence<k...>) {
  return __builtin_shufflevector(a, b, P::lane(k, sizeof...(k))...);
}
template <class P, class T>
[[gnu::always_inline]] inline T mix(T a, T b) {
  return mix<P>(a, b, std::make_index_sequence<kWidth<T>>{});
}

// The lane patterns (k the lane, w the width).
struct ReIm {  // real lanes of a, imaginary lanes of b
  static constexpr std::size_t lane(std::size_t k, std::size_t w) { return k % 2 == 0 ? k : w + k; }
};
struct ImRe {  // the imaginary part of a, then the real part of b
  static constexpr std::size_t lane(std::size_t k, std::size_t w) { return k % 2 == 0 ? k + 1 : w + k - 1; }
};
struct Swap {  // (im, re) of each value of a
  static constexpr std::size_t lane(std::size_t k, std::size_t) { return k ^ 1; }
};
struct Reverse {  // the complex values of a in the other order
  static constexpr std::size_t lane(std::size_t k, std::size_t w) { return w - 2 - k + 2 * (k % 2); }
};
// For a stage with half-length h < C on the 2C complex values of a and b
// end to end: Split takes the values i with i / h even (or, odd = true,
// odd) in order, so that the butterflies' two sides meet lane by lane;
// Merge puts them back, the first C values (or, second = true, the next C).
template <std::size_t h, bool odd>
struct Split {
  static constexpr std::size_t lane(std::size_t k, std::size_t) {
    const std::size_t p = k / 2;
    return 2 * ((p / h) * 2 * h + p % h + (odd ? h : 0)) + k % 2;
  }
};
template <std::size_t h, bool second>
struct Merge {
  static constexpr std::size_t lane(std::size_t k, std::size_t w) {
    const std::size_t i = k / 2 + (second ? w / 2 : 0);
    return ((i / h) % 2 == 1 ? w : 0) + 2 * ((i / (2 * h)) * h + i % h) + k % 2;
  }
};

template <class T>
[[gnu::always_inline]] inline T conj(T v) {
  return mix<ReIm>(v, -v);
}
template <class T>
[[gnu::always_inline]] inline T cmul(T cr, T ci, T v) {
  const T p = cr * v;
  const T q = ci * mix<Swap>(v, v);
  return mix<ReIm>(p - q, p + q);
}
template <class T>
[[gnu::always_inline]] inline void butterfly(T& y, T& x, T wr, T wi) {
  const T t = cmul(wr, wi, x);
  x = y - t;
  y = y + t;
}

// A stage with half-length h < C inside the 2C values of lo and hi.
template <std::size_t h, class T>
[[gnu::always_inline]] inline void inner_stage(T& lo, T& hi, T wr, T wi) {
  T y = mix<Split<h, false>>(lo, hi);
  T x = mix<Split<h, true>>(lo, hi);
  butterfly(y, x, wr, wi);
  lo = mix<Merge<h, false>>(y, x);
  hi = mix<Merge<h, true>>(y, x);
}

// four1's stages (nn >= 2C). Stages are fused so that the values stay in
// registers between them: one pass makes the stages h = 1 .. C on each run
// of 2C complex values, then each further pass makes two stages (h and 2h)
// on the four quarter-groups a0..a3 of 4h values (the last stage alone when
// their number is odd). A butterfly of stage 2h reads only the values that
// stage h's butterflies on the same quarters wrote, so each value goes
// through the same butterflies, with the same factors, in the same order as
// stage by stage.
template <int W>
[[gnu::always_inline]] inline void stages_lanes(float* d, int nn, const float* re,
                                                const float* im) {
  using T = typename Lanes<W>::F;
  constexpr int C = W / 2;
  const int n = 2 * nn;
  auto factors = [&](int h, int k, T& r, T& i) {
    r = load<T>(re + 2 * (h - 1) + 2 * k);
    i = load<T>(im + 2 * (h - 1) + 2 * k);
  };
  // The factors of the stages inside a vector, in the order Split lays out
  // the values: value p meets factor p mod h.
  std::array<T, 3> inner_r{};
  std::array<T, 3> inner_i{};
  for (int s = 0, h = 1; h < C; ++s, h *= 2) {
    for (int k = 0; k < W; ++k) {
      const int at = 2 * (h - 1) + 2 * ((k / 2) % h);
      inner_r[static_cast<std::size_t>(s)][k] = re[at];
      inner_i[static_cast<std::size_t>(s)][k] = im[at];
    }
  }
  T rc;
  T ic;
  factors(C, 0, rc, ic);
  for (int g = 0; g < n; g += 2 * W) {
    T lo = load<T>(d + g);
    T hi = load<T>(d + g + W);
    inner_stage<1>(lo, hi, inner_r[0], inner_i[0]);
    if constexpr (C >= 4) inner_stage<2>(lo, hi, inner_r[1], inner_i[1]);
    if constexpr (C >= 8) inner_stage<4>(lo, hi, inner_r[2], inner_i[2]);
    static_assert(C <= 8);
    butterfly(lo, hi, rc, ic);  // h = C: the halves are lo and hi
    store(d + g, lo);
    store(d + g + W, hi);
  }
  int h = 2 * C;
  for (; 2 * h < nn; h *= 4) {
    for (int g = 0; g < n; g += 8 * h) {
      for (int k = 0; k < h; k += C) {
        float* const p0 = d + g + 2 * k;
        float* const p1 = p0 + 2 * h;
        float* const p2 = p1 + 2 * h;
        float* const p3 = p2 + 2 * h;
        T a0 = load<T>(p0);
        T a1 = load<T>(p1);
        T a2 = load<T>(p2);
        T a3 = load<T>(p3);
        T r;
        T i;
        factors(h, k, r, i);
        butterfly(a0, a1, r, i);
        butterfly(a2, a3, r, i);
        factors(2 * h, k, r, i);
        butterfly(a0, a2, r, i);
        factors(2 * h, k + h, r, i);
        butterfly(a1, a3, r, i);
        store(p0, a0);
        store(p1, a1);
        store(p2, a2);
        store(p3, a3);
      }
    }
  }
  if (h < nn) {  // the last stage alone: one group
    for (int k = 0; k < h; k += C) {
      T y = load<T>(d + 2 * k);
      T x = load<T>(d + 2 * k + 2 * h);
      T r;
      T i;
      factors(h, k, r, i);
      butterfly(y, x, r, i);
      store(d + 2 * k, y);
      store(d + 2 * k + 2 * h, x);
    }
  }
}

// twofft's split for C values j .. j+C-1 at a time while they and their
// partners are disjoint (j + C - 1 <= n/2); the partners are the C complex
// values below the first one's, in the other order. Returns the first j not
// done.
template <int W>
[[gnu::always_inline]] inline int twofft_lanes(float* f1, float* f2, int n, int j) {
  using T = typename Lanes<W>::F;
  constexpr int C = W / 2;
  const T c1r = T{} + 0.5f;
  const T c1i = T{} + 0.0f;
  const T c2r = T{} + 0.0f;
  const T c2i = T{} - 0.5f;
  for (; j + C - 1 <= n / 2; j += C) {
    const int at = 2 * j - 2;
    const int mirror = 2 * n + 4 - 2 * j - 2 * C;  // complex n+3-j-C .. n+2-j
    const T x = load<T>(f1 + at);
    const T ck = conj(mix<Reverse>(load<T>(f1 + mirror), T{}));
    const T h1 = cmul(c1r, c1i, x + ck);
    const T h2 = cmul(c2r, c2i, x - ck);
    store(f1 + at, h1);
    store(f1 + mirror, mix<Reverse>(conj(h1), T{}));
    store(f2 + at, h2);
    store(f2 + mirror, mix<Reverse>(conj(h2), T{}));
  }
  return j;
}

// realft's steps for C values i .. i+C-1 at a time while they and their
// partners are disjoint (i + C - 1 <= n/4), lane by lane the operations of
// realft_step; factor i at re[2(i - 2)], twice. Returns the first i not
// done.
template <int W>
[[gnu::always_inline]] inline int realft_lanes(float* d, int n, int i, float c1, float c2,
                                               const float* re, const float* im) {
  using T = typename Lanes<W>::F;
  constexpr int C = W / 2;
  const T c1v = T{} + c1;
  const T c2v = T{} + c2;
  for (; i + C - 1 <= n / 4; i += C) {
    const T wr = load<T>(re + 2 * (i - 2));
    const T wi = load<T>(im + 2 * (i - 2));
    float* const pj = d + 2 * i - 2;
    float* const pk = d + n + 4 - 2 * i - 2 * C;  // complex n/2+3-i-C .. n/2+2-i
    const T x = load<T>(pj);
    const T y = mix<Reverse>(load<T>(pk), T{});
    const T sum = x + y;
    const T dif = x - y;
    const T h1 = c1v * mix<ReIm>(sum, dif);  // (h1r, h1i)
    const T t = c2v * mix<ImRe>(sum, dif);
    const T h2 = mix<ReIm>(-t, t);  // (h2r, h2i)
    const T p = wr * h2;
    const T q = wi * mix<Swap>(h2, h2);
    // Own values: h1r + wr h2r - wi h2i, h1i + wr h2i + wi h2r.
    const T u = h1 + p;
    store(pj, mix<ReIm>(u - q, u + q));
    // Partners: h1r - wr h2r + wi h2i, -h1i + wr h2i + wi h2r.
    const T h1c = conj(h1);
    const T v = mix<ReIm>(h1c - p, h1c + p);
    store(pk, mix<Reverse>(v + q, T{}));
  }
  return i;
}

// Each kernel for 4 floats, and for 8 compiled for AVX2.
void stages4(float* d, int nn, const float* re, const float* im) { stages_lanes<4>(d, nn, re, im); }
int twofft4(float* f1, float* f2, int n, int j) { return twofft_lanes<4>(f1, f2, n, j); }
int realft4(float* d, int n, int i, float c1, float c2, const float* re, const float* im) {
  return realft_lanes<4>(d, n, i, c1, c2, re, im);
}
#if LABSUITE_AVX2_KERNELS
[[gnu::target("avx2")]] void stages8(float* d, int nn, const float* re, const float* im) {
  stages_lanes<8>(d, nn, re, im);
}
[[gnu::target("avx2")]] int twofft8(float* f1, float* f2, int n, int j) {
  return twofft_lanes<8>(f1, f2, n, j);
}
[[gnu::target("avx2")]] int realft8(float* d, int n, int i, float c1, float c2, const float* re,
                                    const float* im) {
  return realft_lanes<8>(d, n, i, c1, c2, re, im);
}
#endif

#endif  // LABSUITE_VECTOR_KERNELS

}  // namespace

FftPlan::FftPlan(int n) : n_(n) {
  const auto size = static_cast<std::size_t>(n);
  for (int dir = 0; dir < 2; ++dir) {
    const int isign = dir == 0 ? 1 : -1;
    std::vector<float>& re = stage_re_[dir];
    std::vector<float>& im = stage_im_[dir];
    re.resize(2 * size);
    im.resize(2 * size);
    for (int h = 1; h < n; h *= 2) {
      Recurrence w(6.28318530717959 / (isign * 2 * h));
      for (int k = 0; k < h; ++k, w.next()) {
        const auto at = 2 * static_cast<std::size_t>(h - 1 + k);
        re[at] = re[at + 1] = static_cast<float>(w.wr);
        im[at] = im[at + 1] = static_cast<float>(w.wi);
      }
    }
    // realft of m real values, m = 4 .. 2n.
    std::vector<float>& hre = half_re_[dir];
    std::vector<float>& him = half_im_[dir];
    hre.resize(2 * size);
    him.resize(2 * size);
    for (int m = 4; m <= 2 * n; m *= 2) {
      // m is a power of 2, so m / 2 is exact.
      double theta = 3.141592653589793 / static_cast<double>(m / 2);  // NOLINT(bugprone-integer-division)
      if (dir == 1) theta = -theta;
      Recurrence w = realft_recurrence(theta);
      for (int i = 2; i <= m / 4; ++i, w.next()) {
        const auto at = 2 * static_cast<std::size_t>(m / 4 + i - 2);
        hre[at] = hre[at + 1] = static_cast<float>(w.wr);
        him[at] = him[at + 1] = static_cast<float>(w.wi);
      }
    }
  }
  // The reversal loop of the plain transform for each length, noting its
  // exchanges in the order it meets them (the order does not matter: each
  // value moves once).
  first_.resize(size);
  second_.resize(size);
  for (int nn = 1; nn <= n; nn *= 2) {
    const auto at = static_cast<std::size_t>(nn / 2);
    const int m2 = 2 * nn;
    std::size_t c = 0;
    int j = 1;
    for (int i = 1; i <= m2 - 1; i += 2) {
      if (j > i) {
        first_[at + c] = static_cast<std::uint32_t>(i / 2);
        second_[at + c] = static_cast<std::uint32_t>(j / 2);
        ++c;
      }
      int m = m2 / 2;
      while (m >= 2 && j > m) {
        j = j - m;
        m = m / 2;
      }
      j = j + m;
    }
    count_.push_back(static_cast<int>(c));
  }
}

void four1(std::span<float> data, int nn, int isign, const FftPlan& plan) {
  if (nn <= 1) return;  // one value is its own transform
  // first() checks the sizes in checked builds.
  float* const d = data.first(2 * static_cast<std::size_t>(nn)).data();
  const auto pairs = static_cast<std::size_t>(plan.count_[static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(nn)))]);
  const auto at = static_cast<std::size_t>(nn / 2);
  reverse_bits(d, std::span(plan.first_).subspan(at, pairs), std::span(plan.second_).subspan(at, pairs));
  const int dir = isign == 1 ? 0 : 1;
  const float* const re = std::span(plan.stage_re_[dir]).first(2 * static_cast<std::size_t>(nn - 1)).data();
  const float* const im = std::span(plan.stage_im_[dir]).first(2 * static_cast<std::size_t>(nn - 1)).data();
  const int lanes = kernel_lanes();
#if LABSUITE_AVX2_KERNELS
  if (lanes == 8 && nn >= 8) return stages8(d, nn, re, im);
#endif
#if LABSUITE_VECTOR_KERNELS
  if (lanes >= 4 && nn >= 4) return stages4(d, nn, re, im);
#endif
  (void)lanes;
  stages_plain(d, nn, re, im);
}

void realft(std::span<float> data, int n, int isign, const FftPlan& plan) {
  const float c1 = 0.5f;
  float c2;
  if (isign == 1) {
    c2 = -0.5f;
    four1(data, n / 2, +1, plan);
  } else {
    c2 = 0.5f;
  }
  if (n >= 8) {  // steps i = 2 .. n/4
    const int dir = isign == 1 ? 0 : 1;
    const auto at = 2 * static_cast<std::size_t>(n / 4);
    const float* const re = std::span(plan.half_re_[dir]).subspan(at, at - 2).data();
    const float* const im = std::span(plan.half_im_[dir]).subspan(at, at - 2).data();
    float* const d = data.first(static_cast<std::size_t>(n)).data();
    int i = 2;
    const int lanes = kernel_lanes();
#if LABSUITE_AVX2_KERNELS
    if (lanes == 8) i = realft8(d, n, i, c1, c2, re, im);
#endif
#if LABSUITE_VECTOR_KERNELS
    if (lanes >= 4) i = realft4(d, n, i, c1, c2, re, im);
#endif
    (void)lanes;
    for (; i <= n / 4; ++i) realft_step(d, n, i, c1, c2, re[2 * (i - 2)], im[2 * (i - 2)]);
  }
  if (isign == 1) {
    const float h1r = el(data, 1);
    el(data, 1) = h1r + el(data, 2);
    el(data, 2) = h1r - el(data, 2);
  } else {
    const float h1r = el(data, 1);
    el(data, 1) = c1 * (h1r + el(data, 2));
    el(data, 2) = c1 * (h1r - el(data, 2));
    four1(data, n / 2, -1, plan);
  }
}

void twofft(std::span<const float> data1, std::span<const float> data2, std::span<float> fft1,
            std::span<float> fft2, int n, const FftPlan& plan) {
  float* const f1 = fft1.first(2 * static_cast<std::size_t>(n)).data();
  float* const f2 = fft2.first(2 * static_cast<std::size_t>(n)).data();
  for (int j = 1; j <= n; ++j) {
    f1[2 * j - 2] = el(data1, j);
    f1[2 * j - 1] = el(data2, j);
  }
  four1(fft1, n, 1, plan);
  f2[0] = f1[1];
  f2[1] = 0.0f;
  f1[1] = 0.0f;
  // j = 2 .. n/2 + 1; the middle value is its own partner.
  int j = 2;
  const int lanes = kernel_lanes();
#if LABSUITE_AVX2_KERNELS
  if (lanes == 8) j = twofft8(f1, f2, n, j);
#endif
#if LABSUITE_VECTOR_KERNELS
  if (lanes >= 4) j = twofft4(f1, f2, n, j);
#endif
  (void)lanes;
  for (; j <= n / 2 + 1; ++j) twofft_step(f1, f2, n, j);
}

Outcome convlv(std::span<const float> data, int n, std::span<float> respns, int m, int isign,
               std::span<float> ans, std::span<float> work, const FftPlan& plan) {
  const std::span<float> fft = work;
  Outcome outcome = Outcome::ok;
  // Negative lags to the end of the n-long array, then zeros between.
  for (int i = 1; i <= (m - 1) / 2; ++i) el(respns, n + 1 - i) = el(respns, m + 1 - i);
  for (int i = (m + 3) / 2; i <= n - (m - 1) / 2; ++i) el(respns, i) = 0.0f;
  twofft(data, respns, fft, ans, n, plan);
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
  realft(ans, n, -1, plan);
  return outcome;
}

void four1(std::span<float> data, int nn, int isign) { four1(data, nn, isign, FftPlan(nn)); }

void realft(std::span<float> data, int n, int isign) {
  realft(data, n, isign, FftPlan(std::max(n / 2, 1)));
}

void twofft(std::span<const float> data1, std::span<const float> data2, std::span<float> fft1,
            std::span<float> fft2, int n) {
  twofft(data1, data2, fft1, fft2, n, FftPlan(n));
}

Outcome convlv(std::span<const float> data, int n, std::span<float> respns, int m, int isign,
               std::span<float> ans, std::span<float> work) {
  return convlv(data, n, respns, m, isign, ans, work, FftPlan(n));
}

}  // namespace momfit
