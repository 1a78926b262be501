#include "momfit/numeric/fft.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// --- four1's kernels ----------------------------------------------------------
//
// The butterflies of one stage touch disjoint values, so the order in which
// they run does not change any result; each one is always the same six float
// operations on the same operands (butterfly() below), with the factors
// rounded from the same double recurrence. So every variant here gives the
// bits of the plain loop that does one butterfly at a time and makes the
// factors as it goes (which stays as the fallback).

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

// b = a - t, a = a + t with t = w b (complex values as float pairs).
inline void butterfly(float* a, float* b, float wrs, float wis) {
  const float tempr = wrs * b[0] - wis * b[1];
  const float tempi = wrs * b[1] + wis * b[0];
  b[0] = a[0] - tempr;
  b[1] = a[1] - tempi;
  a[0] = a[0] + tempr;
  a[1] = a[1] + tempi;
}

// Transforms up to this many complex values use the kept tables below.
constexpr int kTableMax = 4096;

// The factors depend only on the stage and the direction: they are made once
// per direction and kept. Factor k of the stage with half-length h (complex
// values) sits at float 2(h - 1 + k) and the next, duplicated, so that a
// vector of interleaved (re, im) values meets its factor in both lanes.
struct Twiddles {
  int made = 0;  // stages with h <= made are filled in
  std::array<float, 2 * (kTableMax - 1)> re;
  std::array<float, 2 * (kTableMax - 1)> im;
};
// Kept for the process: the tables depend on nothing but length and direction.
Twiddles twiddle_store[2];  // isign +1, -1

const Twiddles& twiddles(int nn, int isign) {
  Twiddles& t = twiddle_store[isign == 1 ? 0 : 1];
  for (int h = t.made == 0 ? 1 : 2 * t.made; h < nn; h *= 2) {
    Recurrence w(6.28318530717959 / (isign * 2 * h));
    for (int k = 0; k < h; ++k, w.next()) {
      const std::size_t at = 2 * static_cast<std::size_t>(h - 1 + k);
      t.re[at] = t.re[at + 1] = static_cast<float>(w.wr);
      t.im[at] = t.im[at + 1] = static_cast<float>(w.wi);
    }
    t.made = h;
  }
  return t;
}

// The exchanges of the bit reversal for nn complex values: pairs (i, j) of
// complex indices, i < j, in the order the reversal loop meets them (the
// order does not matter: each value moves once). Made once per length; the
// pairs of length nn at [nn / 2, nn / 2 + count).
struct Reversal {
  std::array<std::uint16_t, kTableMax> first{};
  std::array<std::uint16_t, kTableMax> second{};
  std::array<int, 13> count{};  // by log2(nn); -1 until made
  Reversal() { count.fill(-1); }
};
// Kept for the process, like the factors: a function of the length only.
Reversal reversal_store;
static_assert(kTableMax == 1 << 12, "Reversal::count covers nn = 1 .. 4096");

void reverse_bits(float* d, int nn) {
  int lg = 0;
  while ((1 << lg) < nn) ++lg;
  Reversal& r = reversal_store;
  const auto at = static_cast<std::size_t>(nn / 2);
  if (r.count[static_cast<std::size_t>(lg)] < 0) {
    // The reversal loop of the plain transform, noting its exchanges.
    const int n = 2 * nn;
    int c = 0;
    int j = 1;
    for (int i = 1; i <= n - 1; i += 2) {
      if (j > i) {
        r.first[at + static_cast<std::size_t>(c)] = static_cast<std::uint16_t>(i / 2);
        r.second[at + static_cast<std::size_t>(c)] = static_cast<std::uint16_t>(j / 2);
        ++c;
      }
      int m = n / 2;
      while (m >= 2 && j > m) {
        j = j - m;
        m = m / 2;
      }
      j = j + m;
    }
    r.count[static_cast<std::size_t>(lg)] = c;
  }
  // Whole complex values move: 8 bytes copied, no arithmetic.
  const int c = r.count[static_cast<std::size_t>(lg)];
  for (std::size_t k = at; k < at + static_cast<std::size_t>(c); ++k) {
    float* const p = d + 2 * r.first[k];
    float* const q = d + 2 * r.second[k];
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, q, 8);
    std::memcpy(p, &b, 8);
    std::memcpy(q, &a, 8);
  }
}

// Every stage one butterfly at a time, the factors from the tables.
void stages_plain(float* d, int nn, const Twiddles& t) {
  for (int h = 1; h < nn; h *= 2) {
    const float* const wr = t.re.data() + 2 * (h - 1);
    const float* const wi = t.im.data() + 2 * (h - 1);
    for (int g = 0; g < 2 * nn; g += 4 * h) {
      for (int k = 0; k < h; ++k) butterfly(d + g + 2 * k, d + g + 2 * k + 2 * h, wr[2 * k], wi[2 * k]);
    }
  }
}

// realft's factors for n real values: w_1 = 1 + wpr + i wpi for theta =
// pi / (n/2) (forward) or its negative, then the recurrence; like four1's
// they are made once per length and direction and kept, rounded to float:
// factor i (i = 2 .. n/4) at [n/4 + i - 2], for n up to 2 kTableMax.
struct HalfTwiddles {
  std::array<float, kTableMax> re{};
  std::array<float, kTableMax> im{};
  std::array<bool, 14> made{};  // by log2(n)
};
// Kept for the process, like four1's factors.
HalfTwiddles half_store[2];  // isign 1, any other
static_assert(2 * kTableMax == 1 << 13, "HalfTwiddles::made covers n = 1 .. 8192");

// The recurrence realft steps along, at factor 1.
Recurrence realft_recurrence(double theta) {
  Recurrence w(theta);
  w.wr = 1.0 + w.wpr;
  w.wi = w.wpi;
  return w;
}

// Butterflies side by side in vector registers (GCC's vector extensions and
// __builtin_shuffle; LABSUITE_FFT_SCALAR or another compiler, Clang
// included, keeps the plain loop).
// In each lane the operations of butterfly(): the real lanes take
// wr xr - wi xi, the imaginary lanes wr xi + wi xr; both are formed on all
// lanes and each lane keeps its own (no negated factor stands in for a
// subtraction, no operation is fused or regrouped).
#if defined(__GNUC__) && !defined(__clang__) && !defined(LABSUITE_FFT_SCALAR)
#define LABSUITE_FFT_VECTORS 1

// Four floats: two complex values, or their two factors duplicated.
using V4 = float __attribute__((vector_size(16)));
using I4 = int __attribute__((vector_size(16)));

inline V4 load4(const float* p) {
  V4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store4(float* p, V4 v) { std::memcpy(p, &v, sizeof v); }

inline void butterfly_v4(V4& y, V4& x, V4 wr, V4 wi) {
  const V4 p = wr * x;
  const V4 q = wi * __builtin_shuffle(x, I4{1, 0, 3, 2});
  const V4 t = __builtin_shuffle(p - q, p + q, I4{0, 5, 2, 7});
  x = y - t;
  y = y + t;
}

// Two butterflies at a time: in the first stage those of two groups (y x),
// later two of one group.
void stages_v4(float* d, int nn, const Twiddles& t) {
  const int n = 2 * nn;
  for (int h = 1; h < nn; h *= 2) {
    const float* const wr = t.re.data() + 2 * (h - 1);
    const float* const wi = t.im.data() + 2 * (h - 1);
    if (h == 1) {
      const V4 r{wr[0], wr[1], wr[0], wr[1]};
      const V4 i{wi[0], wi[1], wi[0], wi[1]};
      for (int g = 0; g < n; g += 8) {
        const V4 lo = load4(d + g);
        const V4 hi = load4(d + g + 4);
        V4 y = __builtin_shuffle(lo, hi, I4{0, 1, 4, 5});
        V4 x = __builtin_shuffle(lo, hi, I4{2, 3, 6, 7});
        butterfly_v4(y, x, r, i);
        store4(d + g, __builtin_shuffle(y, x, I4{0, 1, 4, 5}));
        store4(d + g + 4, __builtin_shuffle(y, x, I4{2, 3, 6, 7}));
      }
      continue;
    }
    for (int g = 0; g < n; g += 4 * h) {
      for (int k = 0; k < h; k += 2) {
        float* const a = d + g + 2 * k;
        float* const b = a + 2 * h;
        V4 y = load4(a);
        V4 x = load4(b);
        butterfly_v4(y, x, load4(wr + 2 * k), load4(wi + 2 * k));
        store4(a, y);
        store4(b, x);
      }
    }
  }
}

// (re, -im) of both complex values: a change of sign, as the scalar code's.
inline V4 conj4(V4 v) { return __builtin_shuffle(v, -v, I4{0, 5, 2, 7}); }
// The two complex values in the other order.
inline V4 swap_pairs(V4 v) { return __builtin_shuffle(v, I4{2, 3, 0, 1}); }
// c v for c = (cr, ci) as the scalar code forms it: (cr vr - ci vi, cr vi + ci vr).
inline V4 cmul4(V4 cr, V4 ci, V4 v) {
  const V4 p = cr * v;
  const V4 q = ci * __builtin_shuffle(v, I4{1, 0, 3, 2});
  return __builtin_shuffle(p - q, p + q, I4{0, 5, 2, 7});
}

// twofft's split for complex values j, j+1 (1-based) and their partners
// n+2-j, n+1-j (two iterations of its loop, which touch disjoint values).
inline void twofft_pair(float* f1, float* f2, int n, int j, V4 c1r, V4 c1i, V4 c2r, V4 c2i) {
  float* const pj = f1 + 2 * j - 2;
  float* const pk = f1 + 2 * n - 2 * j;  // complex n+1-j, n+2-j
  const V4 x = load4(pj);
  const V4 ck = conj4(swap_pairs(load4(pk)));
  const V4 h1 = cmul4(c1r, c1i, x + ck);
  const V4 h2 = cmul4(c2r, c2i, x - ck);
  store4(pj, h1);
  store4(pk, swap_pairs(conj4(h1)));
  store4(f2 + 2 * j - 2, h2);
  store4(f2 + 2 * n - 2 * j, swap_pairs(conj4(h2)));
}

// realft's step for complex values i, i+1 (1-based) of n floats and their
// partners n/2+2-i, n/2+1-i (two iterations of its loop, disjoint values),
// lane by lane the operations of the scalar step.
inline void realft_pair(float* d, int n, int i, V4 c1, V4 c2, V4 wr, V4 wi) {
  float* const pj = d + 2 * i - 2;
  float* const pk = d + n - 2 * i;  // complex n/2+1-i, n/2+2-i
  const V4 x = load4(pj);
  const V4 y = swap_pairs(load4(pk));
  const V4 sum = x + y;
  const V4 dif = x - y;
  const V4 h1 = c1 * __builtin_shuffle(sum, dif, I4{0, 5, 2, 7});  // (h1r, h1i)
  const V4 t = c2 * __builtin_shuffle(sum, dif, I4{1, 4, 3, 6});
  const V4 h2 = __builtin_shuffle(-t, t, I4{0, 5, 2, 7});  // (h2r, h2i)
  const V4 p = wr * h2;
  const V4 q = wi * __builtin_shuffle(h2, I4{1, 0, 3, 2});
  // Own values: h1r + wr h2r - wi h2i, h1i + wr h2i + wi h2r.
  const V4 u = h1 + p;
  store4(pj, __builtin_shuffle(u - q, u + q, I4{0, 5, 2, 7}));
  // Partners: h1r - wr h2r + wi h2i, -h1i + wr h2i + wi h2r.
  const V4 h1c = conj4(h1);
  const V4 v = __builtin_shuffle(h1c - p, h1c + p, I4{0, 5, 2, 7});
  store4(pk, swap_pairs(v + q));
}

#if defined(__x86_64__) || defined(__i386__)
// The same with eight floats (four complex values) per vector, compiled for
// AVX2 (and used only where the processor has it); FMA stays disabled, so
// every product is rounded before its sum as in the plain loop.
#define LABSUITE_FFT_AVX2 1
#pragma GCC push_options
#pragma GCC target("avx2")

using V8 = float __attribute__((vector_size(32)));
using I8 = int __attribute__((vector_size(32)));

inline V8 load8(const float* p) {
  V8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store8(float* p, V8 v) { std::memcpy(p, &v, sizeof v); }

inline void butterfly_v8(V8& y, V8& x, V8 wr, V8 wi) {
  const V8 p = wr * x;
  const V8 q = wi * __builtin_shuffle(x, I8{1, 0, 3, 2, 5, 4, 7, 6});
  const V8 t = __builtin_shuffle(p - q, p + q, I8{0, 9, 2, 11, 4, 13, 6, 15});
  x = y - t;
  y = y + t;
}

// Four butterflies at a time, with stages fused so that the values stay in
// registers between them: one pass makes the first three stages (h = 1, 2, 4)
// on each run of eight complex values, then each further pass makes two
// stages (h and 2h) on the four quarter-groups a0..a3 of 4h values (the last
// stage alone when their number is odd). A butterfly of stage 2h reads only
// the values that stage h's butterflies on the same quarters wrote, so each
// value goes through the same butterflies, with the same factors, in the same
// order as stage by stage.
void stages_v8(float* d, int nn, const Twiddles& t) {
  const int n = 2 * nn;
  auto factors = [&](int h, int k, V8& r, V8& i) {
    r = load8(t.re.data() + 2 * (h - 1) + 2 * k);
    i = load8(t.im.data() + 2 * (h - 1) + 2 * k);
  };
  // h = 1 and 2: lanes of y and x from the two halves of 16 floats and back
  // (the inverse arrangement); the factors of both are four-lane patterns.
  const I8 ys1{0, 1, 4, 5, 8, 9, 12, 13};
  const I8 xs1{2, 3, 6, 7, 10, 11, 14, 15};
  const I8 lo1{0, 1, 8, 9, 2, 3, 10, 11};
  const I8 hi1{4, 5, 12, 13, 6, 7, 14, 15};
  const I8 ys2{0, 1, 2, 3, 8, 9, 10, 11};
  const I8 xs2{4, 5, 6, 7, 12, 13, 14, 15};
  const float* const w1r = t.re.data();
  const float* const w1i = t.im.data();
  const float* const w2r = t.re.data() + 2;
  const float* const w2i = t.im.data() + 2;
  const V8 r1{w1r[0], w1r[1], w1r[0], w1r[1], w1r[0], w1r[1], w1r[0], w1r[1]};
  const V8 i1{w1i[0], w1i[1], w1i[0], w1i[1], w1i[0], w1i[1], w1i[0], w1i[1]};
  const V8 r2{w2r[0], w2r[1], w2r[2], w2r[3], w2r[0], w2r[1], w2r[2], w2r[3]};
  const V8 i2{w2i[0], w2i[1], w2i[2], w2i[3], w2i[0], w2i[1], w2i[2], w2i[3]};
  V8 r4;
  V8 i4;
  factors(4, 0, r4, i4);
  for (int g = 0; g < n; g += 16) {
    V8 lo = load8(d + g);
    V8 hi = load8(d + g + 8);
    V8 y = __builtin_shuffle(lo, hi, ys1);
    V8 x = __builtin_shuffle(lo, hi, xs1);
    butterfly_v8(y, x, r1, i1);
    lo = __builtin_shuffle(y, x, lo1);
    hi = __builtin_shuffle(y, x, hi1);
    y = __builtin_shuffle(lo, hi, ys2);
    x = __builtin_shuffle(lo, hi, xs2);
    butterfly_v8(y, x, r2, i2);
    lo = __builtin_shuffle(y, x, ys2);  // the arrangement is its own inverse
    hi = __builtin_shuffle(y, x, xs2);
    butterfly_v8(lo, hi, r4, i4);  // h = 4: the halves are y and x
    store8(d + g, lo);
    store8(d + g + 8, hi);
  }
  int h = 8;
  for (; 2 * h < nn; h *= 4) {
    for (int g = 0; g < n; g += 8 * h) {
      for (int k = 0; k < h; k += 4) {
        float* const p0 = d + g + 2 * k;
        float* const p1 = p0 + 2 * h;
        float* const p2 = p1 + 2 * h;
        float* const p3 = p2 + 2 * h;
        V8 a0 = load8(p0);
        V8 a1 = load8(p1);
        V8 a2 = load8(p2);
        V8 a3 = load8(p3);
        V8 r;
        V8 i;
        factors(h, k, r, i);
        butterfly_v8(a0, a1, r, i);
        butterfly_v8(a2, a3, r, i);
        factors(2 * h, k, r, i);
        butterfly_v8(a0, a2, r, i);
        factors(2 * h, k + h, r, i);
        butterfly_v8(a1, a3, r, i);
        store8(p0, a0);
        store8(p1, a1);
        store8(p2, a2);
        store8(p3, a3);
      }
    }
  }
  if (h < nn) {
    for (int k = 0; k < h; k += 4) {
      float* const a = d + 2 * k;
      float* const b = a + 2 * h;
      V8 y = load8(a);
      V8 x = load8(b);
      V8 r;
      V8 i;
      factors(h, k, r, i);
      butterfly_v8(y, x, r, i);
      store8(a, y);
      store8(b, x);
    }
  }
}

// twofft's split and realft's steps four iterations at a time: twofft_pair
// and realft_pair with eight lanes, the same operations lane by lane. The
// four values j .. j+3 and their partners are disjoint while j + 3 <= n / 2
// (twofft) or i + 3 <= n / 4 (realft). The partners are the four complex
// values below the first one's, in the other order.
inline V8 conj8(V8 v) { return __builtin_shuffle(v, -v, I8{0, 9, 2, 11, 4, 13, 6, 15}); }
inline V8 reverse4(V8 v) { return __builtin_shuffle(v, I8{6, 7, 4, 5, 2, 3, 0, 1}); }
inline V8 cmul8(V8 cr, V8 ci, V8 v) {
  const V8 p = cr * v;
  const V8 q = ci * __builtin_shuffle(v, I8{1, 0, 3, 2, 5, 4, 7, 6});
  return __builtin_shuffle(p - q, p + q, I8{0, 9, 2, 11, 4, 13, 6, 15});
}

// Returns the first j not done.
int twofft_quads(float* f1, float* f2, int n, int j, float c1r, float c1i, float c2r, float c2i) {
  const V8 r1 = V8{} + c1r;
  const V8 i1 = V8{} + c1i;
  const V8 r2 = V8{} + c2r;
  const V8 i2 = V8{} + c2i;
  for (; j + 3 <= n / 2; j += 4) {
    float* const pj = f1 + 2 * j - 2;
    float* const pk = f1 + 2 * n - 2 * j - 4;  // complex n-1-j .. n+2-j
    const V8 x = load8(pj);
    const V8 ck = conj8(reverse4(load8(pk)));
    const V8 h1 = cmul8(r1, i1, x + ck);
    const V8 h2 = cmul8(r2, i2, x - ck);
    store8(pj, h1);
    store8(pk, reverse4(conj8(h1)));
    store8(f2 + 2 * j - 2, h2);
    store8(f2 + 2 * n - 2 * j - 4, reverse4(conj8(h2)));
  }
  return j;
}

// Returns the first i not done; factor of step i at re[at + i - 2].
int realft_quads(float* d, int n, int i, float c1, float c2, const float* re, const float* im) {
  const V8 c1v = V8{} + c1;
  const V8 c2v = V8{} + c2;
  for (; i + 3 <= n / 4; i += 4) {
    const float* const r = re + (i - 2);
    const float* const m = im + (i - 2);
    const V8 wr{r[0], r[0], r[1], r[1], r[2], r[2], r[3], r[3]};
    const V8 wi{m[0], m[0], m[1], m[1], m[2], m[2], m[3], m[3]};
    float* const pj = d + 2 * i - 2;
    float* const pk = d + n - 2 * i - 4;  // complex n/2-1-i .. n/2+2-i
    const V8 x = load8(pj);
    const V8 y = reverse4(load8(pk));
    const V8 sum = x + y;
    const V8 dif = x - y;
    const I8 even_odd{0, 9, 2, 11, 4, 13, 6, 15};
    const V8 h1 = c1v * __builtin_shuffle(sum, dif, even_odd);  // (h1r, h1i)
    const V8 t = c2v * __builtin_shuffle(sum, dif, I8{1, 8, 3, 10, 5, 12, 7, 14});
    const V8 h2 = __builtin_shuffle(-t, t, even_odd);  // (h2r, h2i)
    const V8 p = wr * h2;
    const V8 q = wi * __builtin_shuffle(h2, I8{1, 0, 3, 2, 5, 4, 7, 6});
    const V8 u = h1 + p;
    store8(pj, __builtin_shuffle(u - q, u + q, even_odd));
    const V8 h1c = conj8(h1);
    const V8 v = __builtin_shuffle(h1c - p, h1c + p, even_odd);
    store8(pk, reverse4(v + q));
  }
  return i;
}

#pragma GCC pop_options
#endif  // x86
#endif  // vector extensions

}  // namespace

void four1(std::span<float> data, int nn, int isign) {
  const int n = 2 * nn;
  // A power-of-2 length within the tables, either direction: the kept
  // exchanges and factors, the butterflies side by side where the kernels
  // allow (the same bits as the loops below, see above).
  if (nn >= 1 && nn <= kTableMax && (nn & (nn - 1)) == 0 && (isign == 1 || isign == -1)) {
    // first() checks the size in checked builds.
    float* const d = data.first(static_cast<std::size_t>(n)).data();
    reverse_bits(d, nn);
    const Twiddles& t = twiddles(nn, isign);
#if LABSUITE_FFT_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && nn >= 8) return stages_v8(d, nn, t);
#endif
#if LABSUITE_FFT_VECTORS
    if (nn >= 4) return stages_v4(d, nn, t);
#endif
    return stages_plain(d, nn, t);
  }
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
    Recurrence w(6.28318530717959 / (isign * mmax));
    for (int m = 1; m <= mmax - 1; m += 2) {
      const float wrs = static_cast<float>(w.wr);
      const float wis = static_cast<float>(w.wi);
      for (int i = m; i <= n; i += istep) {
        const int jj = i + mmax;
        const float tempr = wrs * el(data, jj) - wis * el(data, jj + 1);
        const float tempi = wrs * el(data, jj + 1) + wis * el(data, jj);
        el(data, jj) = el(data, i) - tempr;
        el(data, jj + 1) = el(data, i + 1) - tempi;
        el(data, i) = el(data, i) + tempr;
        el(data, i + 1) = el(data, i + 1) + tempi;
      }
      w.next();
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
  const int n2p3 = n + 3;
  auto step = [&](int i, float wrs, float wis) {
    const int i1 = 2 * i - 1;
    const int i2 = i1 + 1;
    const int i3 = n2p3 - i2;
    const int i4 = i3 + 1;
    const float h1r = c1 * (el(data, i1) + el(data, i3));
    const float h1i = c1 * (el(data, i2) - el(data, i4));
    const float h2r = -(c2 * (el(data, i2) + el(data, i4)));
    const float h2i = c2 * (el(data, i1) - el(data, i3));
    el(data, i1) = h1r + wrs * h2r - wis * h2i;
    el(data, i2) = h1i + wrs * h2i + wis * h2r;
    el(data, i3) = h1r - wrs * h2r + wis * h2i;
    el(data, i4) = -h1i + wrs * h2i + wis * h2r;
  };
  if (n >= 4 && n <= 2 * kTableMax && (n & (n - 1)) == 0) {
    // The kept factors: the same recurrence ran once for this length and
    // direction, so the same floats.
    HalfTwiddles& t = half_store[isign == 1 ? 0 : 1];
    int lg = 0;
    while ((1 << lg) < n) ++lg;
    const auto at = static_cast<std::size_t>(n / 4);
    if (!t.made[static_cast<std::size_t>(lg)]) {
      Recurrence w = realft_recurrence(theta);
      for (std::size_t k = 0; k + 2 <= at; ++k, w.next()) {
        t.re[at + k] = static_cast<float>(w.wr);
        t.im[at + k] = static_cast<float>(w.wi);
      }
      t.made[static_cast<std::size_t>(lg)] = true;
    }
    int i = 2;
#if LABSUITE_FFT_VECTORS
    // Four or two steps at a time: their values are disjoint (see
    // realft_pair).
    float* const d = data.first(static_cast<std::size_t>(n)).data();
#if LABSUITE_FFT_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) i = realft_quads(d, n, i, c1, c2, t.re.data() + at, t.im.data() + at);
#endif
    const V4 c1v{c1, c1, c1, c1};
    const V4 c2v{c2, c2, c2, c2};
    for (; i + 1 <= n / 4; i += 2) {
      const auto k = at + static_cast<std::size_t>(i - 2);
      realft_pair(d, n, i, c1v, c2v, V4{t.re[k], t.re[k], t.re[k + 1], t.re[k + 1]},
                  V4{t.im[k], t.im[k], t.im[k + 1], t.im[k + 1]});
    }
#endif
    for (; i <= n / 4; ++i) {
      const auto k = at + static_cast<std::size_t>(i - 2);
      step(i, t.re[k], t.im[k]);
    }
  } else {
    Recurrence w = realft_recurrence(theta);
    for (int i = 2; i <= n / 4; ++i, w.next()) {
      step(i, static_cast<float>(w.wr), static_cast<float>(w.wi));
    }
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
  int j = 2;
#if LABSUITE_FFT_VECTORS
  // Two iterations at a time while they and their partners are disjoint
  // (see twofft_pair); the middle value, its own partner, stays scalar.
  if (n >= 4) {
    float* const f1 = fft1.first(static_cast<std::size_t>(2 * n)).data();
    float* const f2 = fft2.first(static_cast<std::size_t>(2 * n)).data();
#if LABSUITE_FFT_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) j = twofft_quads(f1, f2, n, j, c1r, c1i, c2r, c2i);
#endif
    for (; j + 1 <= n / 2; j += 2) {
      twofft_pair(f1, f2, n, j, V4{c1r, c1r, c1r, c1r}, V4{c1i, c1i, c1i, c1i},
                  V4{c2r, c2r, c2r, c2r}, V4{c2i, c2i, c2i, c2i});
    }
  }
#endif
  for (; j <= n / 2 + 1; ++j) {
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
