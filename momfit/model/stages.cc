#include "momfit/model/stages.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "momfit/numeric/fft.h"
#include "momfit/numeric/interp.h"
#include "momfit/numeric/kernels.h"
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

// The grid points of one block that lie inside the table, waiting for their
// interpolation: grid index, first of the four table points (both from 1)
// and grid value. Room for a block and the padding of its last group.
constexpr int kBlock = 256;
constexpr int kMaxLanes = 8;
struct Pending {
  int count = 0;
  std::array<int, kBlock + kMaxLanes> point;
  std::array<int, kBlock + kMaxLanes> first;
  std::array<float, kBlock + kMaxLanes> x;
};

// polint for n = 4 at each pending point, one at a time; returns how many
// it refused.
int polint_plain(std::span<const float> value, std::span<const float> abscissa, const Pending& p,
                 std::span<float> out) {
  int refused = 0;
  for (int q = 0; q < p.count; ++q) {
    const auto first = static_cast<std::size_t>(p.first[q] - 1);
    float dy = 0.0f;  // error estimate, not used
    if (polint(abscissa.subspan(first, 4), value.subspan(first, 4), 4, p.x[q], el(out, p.point[q]),
               dy) != Outcome::ok) {
      ++refused;
    }
  }
  return refused;
}

// Four-point interpolations side by side in vector registers (GCC's vector
// extensions; see kernels.h for when they exist). Each lane does polint's
// operations for n = 4 on its own points in polint's order: the same
// subtractions, divisions and products of the tableau, with the nearest
// point and each correction picked lane by lane by selects rather than
// branches. A lane that meets two equal abscissae is done again by polint
// itself, which stops where it should and says so.
#if LABSUITE_VECTOR_KERNELS

using V4 = Lanes<4>::F;
using I4 = Lanes<4>::I;

// r = a[index] lane by lane, index from 1 to count.
template <class VF, class VI>
[[gnu::always_inline]] inline void pick(VF& r, const std::array<VF, 5>& a, VI index, int count) {
  r = a[1];
  for (int j = 2; j <= count; ++j) r = index == j ? a[j] : r;
}

// col[1..4]: lane q holds table(first[q] + 0..3). Each lane's four entries
// are one 16-byte load, turned into columns by shuffles (a 4 x 4 transpose,
// in each 16-byte half for eight lanes).
template <class VF, int W>
[[gnu::always_inline]] inline void columns(std::span<const float> table, const int* first,
                                           std::array<VF, 5>& col) {
  std::array<V4, W> row;
  for (int q = 0; q < W; ++q) {
    // first <= kTable - 3: the four entries lie inside the table.
    std::memcpy(&row[q], &table[static_cast<std::size_t>(first[q] - 1)], sizeof(V4));
  }
  if constexpr (W == 4) {
    const V4 t0 = __builtin_shuffle(row[0], row[1], I4{0, 4, 1, 5});
    const V4 t1 = __builtin_shuffle(row[0], row[1], I4{2, 6, 3, 7});
    const V4 t2 = __builtin_shuffle(row[2], row[3], I4{0, 4, 1, 5});
    const V4 t3 = __builtin_shuffle(row[2], row[3], I4{2, 6, 3, 7});
    col[1] = __builtin_shuffle(t0, t2, I4{0, 1, 4, 5});
    col[2] = __builtin_shuffle(t0, t2, I4{2, 3, 6, 7});
    col[3] = __builtin_shuffle(t1, t3, I4{0, 1, 4, 5});
    col[4] = __builtin_shuffle(t1, t3, I4{2, 3, 6, 7});
  } else {
    static_assert(W == 8);
    using I = Lanes<8>::I;
    // Rows q and q + 4 side by side, then the same transpose in each half.
    std::array<VF, 4> r;
    for (int q = 0; q < 4; ++q) {
      r[q] = __builtin_shufflevector(row[q], row[q + 4], 0, 1, 2, 3, 4, 5, 6, 7);
    }
    const VF t0 = __builtin_shuffle(r[0], r[1], I{0, 8, 1, 9, 4, 12, 5, 13});
    const VF t1 = __builtin_shuffle(r[0], r[1], I{2, 10, 3, 11, 6, 14, 7, 15});
    const VF t2 = __builtin_shuffle(r[2], r[3], I{0, 8, 1, 9, 4, 12, 5, 13});
    const VF t3 = __builtin_shuffle(r[2], r[3], I{2, 10, 3, 11, 6, 14, 7, 15});
    // Lanes 0..3 from rows 0..3, lanes 4..7 from rows 4..7.
    const VF c1 = __builtin_shuffle(t0, t2, I{0, 1, 8, 9, 4, 5, 12, 13});
    const VF c2 = __builtin_shuffle(t0, t2, I{2, 3, 10, 11, 6, 7, 14, 15});
    const VF c3 = __builtin_shuffle(t1, t3, I{0, 1, 8, 9, 4, 5, 12, 13});
    const VF c4 = __builtin_shuffle(t1, t3, I{2, 3, 10, 11, 6, 7, 14, 15});
    col[1] = c1;
    col[2] = c2;
    col[3] = c3;
    col[4] = c4;
  }
}

// The pending points W at a time (the last group padded with copies of the
// last point, whose results are not stored); returns how many polint
// refused. Inlined into a kernel per vector width.
template <class VF, class VI, int W>
[[gnu::always_inline]] inline int polint_lanes(std::span<const float> value,
                                               std::span<const float> abscissa, Pending& p,
                                               std::span<float> out) {
  constexpr int n = 4;
  for (int q = p.count; q % W != 0; ++q) {
    p.first[q] = p.first[p.count - 1];
    p.x[q] = p.x[p.count - 1];
  }
  int refused = 0;
  for (int g = 0; g < p.count; g += W) {
    std::array<VF, 5> xa;
    std::array<VF, 5> c;
    std::array<VF, 5> d;
    VF x;
    std::memcpy(&x, &p.x[static_cast<std::size_t>(g)], sizeof x);
    columns<VF, W>(abscissa, &p.first[static_cast<std::size_t>(g)], xa);
    columns<VF, W>(value, &p.first[static_cast<std::size_t>(g)], c);
    for (int i = 1; i <= n; ++i) d[i] = c[i];
    // fabs as polint takes it: the sign bit cleared.
    constexpr std::int32_t kMagnitude = std::numeric_limits<std::int32_t>::max();
    VI ns = VI{} + 1;
    VF dif = reinterpret_cast<VF>(reinterpret_cast<VI>(x - xa[1]) & kMagnitude);
    for (int i = 2; i <= n; ++i) {
      const VF dift = reinterpret_cast<VF>(reinterpret_cast<VI>(x - xa[i]) & kMagnitude);
      const VI nearer = dift < dif;
      ns = nearer ? i : ns;
      dif = nearer ? dift : dif;
    }
    VF y;
    pick(y, c, ns, n);
    ns = ns - 1;
    VI equal = VI{};
    for (int m = 1; m <= n - 1; ++m) {
      for (int i = 1; i <= n - m; ++i) {
        const VF ho = xa[i] - x;
        const VF hp = xa[i + m] - x;
        const VF w = c[i + 1] - d[i];
        VF den = ho - hp;
        equal |= den == 0.0f;
        den = w / den;
        d[i] = hp * den;
        c[i] = ho * den;
      }
      const VI from_c = 2 * ns < n - m;
      VF dc;
      VF dd;
      pick(dc, c, ns + 1, n - m);
      pick(dd, d, ns, n - m);
      const VF dy = from_c ? dc : dd;
      ns = from_c ? ns : ns - 1;
      y = y + dy;
    }
    for (int q = 0; q < W && g + q < p.count; ++q) {
      float& o = el(out, p.point[g + q]);
      if (equal[q] == 0) {
        o = y[q];
        continue;
      }
      const auto first = static_cast<std::size_t>(p.first[g + q] - 1);
      float dy = 0.0f;
      if (polint(abscissa.subspan(first, n), value.subspan(first, n), n, p.x[g + q], o, dy) !=
          Outcome::ok) {
        ++refused;
      }
    }
  }
  return refused;
}

// The kernel for 4 floats, and for 8 compiled for AVX2.
int polint4(std::span<const float> value, std::span<const float> abscissa, Pending& p,
            std::span<float> out) {
  return polint_lanes<Lanes<4>::F, Lanes<4>::I, 4>(value, abscissa, p, out);
}
#if LABSUITE_AVX2_KERNELS
[[gnu::target("avx2")]] int polint8(std::span<const float> value,
                                     std::span<const float> abscissa, Pending& p,
                                     std::span<float> out) {
  return polint_lanes<Lanes<8>::F, Lanes<8>::I, 8>(value, abscissa, p, out);
}
#endif
#endif  // LABSUITE_VECTOR_KERNELS

// The interpolations of one block, by the kernels kernel_lanes() picks.
int interpolate(std::span<const float> value, std::span<const float> abscissa, Pending& p,
                std::span<float> out) {
  if (p.count == 0) return 0;
  [[maybe_unused]] const int lanes = kernel_lanes();
#if LABSUITE_AVX2_KERNELS
  if (lanes == 8) return polint8(value, abscissa, p, out);
#endif
#if LABSUITE_VECTOR_KERNELS
  if (lanes == 4) return polint4(value, abscissa, p, out);
#endif
  return polint_plain(value, abscissa, p, out);
}

}  // namespace

// Block by block: first the table search for every grid point (zero outside
// the table), then the interpolations of those inside, side by side.
int rebin(std::span<const float> value, std::span<const float> abscissa, std::span<float> out,
          std::span<const float> grid, int n) {
  constexpr int kPoints = 4;  // interpolation order: a cubic
  int failures = 0;
  Bracket bracket(abscissa, kTable);
  Pending pending;
  for (int start = 1; start <= n; start += kBlock) {
    pending.count = 0;
    const int end = std::min(n, start + kBlock - 1);
    for (int i = start; i <= end; ++i) {
      const float g = el(grid, i);
      int j;
      if (bracket.monotone()) {
        j = bracket(g);
      } else {
        j = starting_guess(g);
        hunt(abscissa, kTable, g, j);
      }
      if (j == 0 || j == kTable) {
        el(out, i) = 0.0f;  // the model is zero outside the table
        continue;
      }
      // Four points with the bracketing pair in the middle, moved inwards at
      // the ends of the table.
      const auto q = static_cast<std::size_t>(pending.count++);
      pending.point[q] = i;
      pending.first[q] = std::min(std::max(j - 1, 1), kTable - kPoints + 1);
      pending.x[q] = g;
    }
    failures += interpolate(value, abscissa, pending, out);
  }
  return failures;
}

void profadd(std::span<float> out, std::span<const float> first, std::span<const float> second,
             int n, float weight) {
  for (int i = 1; i <= n; ++i) el(out, i) = weight * el(second, i) + el(first, i);
}

int response_shift(std::span<const float> profile, std::span<const float> response, int n,
                   int m) {
  // The exponents of the largest magnitudes (frexp's: v = f 2^e, 0.5 <= f < 1).
  const auto exponent = [](std::span<const float> a, int count, int& e) {
    float largest = 0.0f;
    for (int i = 1; i <= count; ++i) largest = std::max(largest, std::fabs(el(a, i)));
    if (!(largest > 0.0f) || !std::isfinite(largest)) return false;
    (void)std::frexp(largest, &e);
    return true;
  };
  int model = 0;
  int given = 0;
  if (!exponent(profile, n, model) || !exponent(response, m, given)) return 0;
  const int shift = model - given;
  return std::abs(shift) <= kResponseBand ? 0 : shift;
}

void convolve(std::span<float> profile, std::span<float> out, std::span<const float> response,
              int n, int m, ConvolveWork& work) {
  for (int i = n + 1; i <= kFftLength; ++i) el(profile, i) = 0.0f;
  // convlv lays the negative lags out at the end of the array it is given and
  // clears the middle; a fresh copy keeps every lag for every evaluation.
  m = std::min(m, kFftLength);
  // The two real arrays share one complex transform, where the smaller of
  // them keeps only the digits the larger leaves it: a response far from the
  // model's size is brought to it by a power of two, exact both ways, so
  // that the response's scale does not change the result.
  const int shift = response_shift(profile, response, n, m);
  if (shift == 0) {
    std::copy_n(response.begin(), m, work.response.begin());
  } else {
    for (int i = 0; i < m; ++i) {
      const auto k = static_cast<std::size_t>(i);
      work.response[k] = std::ldexp(response[k], shift);
    }
  }
  std::fill(work.response.begin() + m, work.response.end(), 0.0f);
  // A forward convolution (isign = +1) has no outcome but ok.
  (void)convlv(profile.first(kFftLength), kFftLength, work.response, m, 1, work.ans, work.fft,
               work.plan);
  for (int j = 1; j <= n; ++j) {
    const float v = work.ans[static_cast<std::size_t>(j - 1)];
    el(out, j) = shift == 0 ? v : std::ldexp(v, -shift);
  }
}

bool normalise(std::span<const float> in, std::span<float> out, int n, float top, float base) {
  // calcmax is the largest input value when one is positive, else 0.0: a
  // NaN never passes the test, and equal values greater than zero have the
  // same bits. So the order in which the values are met does not matter,
  // and four running maxima side by side, each kept the same way and then
  // met in turn, give the same calcmax as the one running maximum.
  float calcmax = 0.0f;
  int i = 1;
#if LABSUITE_VECTOR_KERNELS
  if (kernel_lanes() != 1) {
    V4 lanes{};
    for (; i + 3 <= n; i += 4) {
      V4 v;
      std::memcpy(&v, &in[static_cast<std::size_t>(i - 1)], sizeof v);
      lanes = lanes < v ? v : lanes;
    }
    for (int q = 0; q < 4; ++q) {
      if (calcmax < lanes[q]) calcmax = lanes[q];
    }
  }
#endif
  for (; i <= n; ++i) {
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

Fitted fit_scale(std::span<const float> in, std::span<const float> lab, std::span<float> out,
                 int n, Scaling& line) {
  // Four partial sums of each, side by side: four chains of additions the
  // processor runs at once instead of one it waits on.
  constexpr int kLanes = 4;
  std::array<double, kLanes> pc{}, pcc{}, py{}, pcy{};
  int i = 1;
  for (; i + kLanes - 1 <= n; i += kLanes) {
    for (int q = 0; q < kLanes; ++q) {
      const double c = el(in, i + q), y = el(lab, i + q);
      pc[q] += c;
      pcc[q] += c * c;
      py[q] += y;
      pcy[q] += c * y;
    }
  }
  for (; i <= n; ++i) {
    const double c = el(in, i), y = el(lab, i);
    pc[0] += c;
    pcc[0] += c * c;
    py[0] += y;
    pcy[0] += c * y;
  }
  const auto total = [](const std::array<double, kLanes>& p) {
    return (p[0] + p[1]) + (p[2] + p[3]);
  };
  const double sc = total(pc), scc = total(pcc), sy = total(py), scy = total(pcy);
  // A float's square is never 0 in double unless the float is.
  const bool zero = scc == 0.0;
  // n scc - sc^2 is n^2 times the variance of the curve; rounding leaves a
  // curve with no spread a remainder of about 1e-16 of n scc, far below
  // any real shape's (a peak over a tenth of the points gives 0.1 or more).
  const double det = n * scc - sc * sc;
  Fitted how = Fitted::ok;
  if (zero) {
    how = Fitted::zero;
  } else if (!(det > 1e-9 * n * scc)) {
    how = Fitted::flat;
  }
  if (how != Fitted::ok) {
    line = {n > 0 ? sy / n : 0.0, 0.0};
  } else {
    line.factor = (n * scy - sc * sy) / det;
    line.base = (sy - line.factor * sc) / n;
  }
  // The curve itself in float, as normalise forms its own: the line's two
  // values rounded once, each point then as wide as the vector unit allows.
  const auto base = static_cast<float>(line.base), factor = static_cast<float>(line.factor);
  for (int j = 1; j <= n; ++j) el(out, j) = base + factor * el(in, j);
  return how;
}

float chi2(std::span<const float> model, std::span<const float> x, FitState& s, bool evaluable) {
  const int n = s.three.nlab;
  BestPoint& one = s.one;
  float chi2total = 0.0f;
  if (!evaluable || n == 3) {
    // Nothing to compare, or a zero divisor: this point can never be best.
    chi2total = std::numeric_limits<float>::infinity();
  } else {
    // Kept on purpose: each difference is divided by n - 3 before squaring,
    // so the sum is over (n - 3)^2.
    const auto divisor = static_cast<float>(n - 3);
    // The squared terms do not depend on each other: they are formed a
    // block at a time (side by side where the compiler can), and then added
    // to the total one by one in index order, the same chain of additions as
    // term by term. The total stays in a register through the block.
    constexpr int kTerms = 16;
    int i = 1;
    for (; i + kTerms - 1 <= n; i += kTerms) {
      std::array<float, kTerms> term;
      for (int q = 0; q < kTerms; ++q) {
        const float inside = (s.two.labprob(i + q) - el(model, i + q)) / divisor;
        term[static_cast<std::size_t>(q)] = inside * inside;
      }
      for (const float t : term) chi2total = chi2total + t;
    }
    for (; i <= n; ++i) {
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
  return chi2total;
}

void log_record(int unit, float chi2total, const BestPoint& best) {
  recordio::write_list(unit, {best.bestw1, best.bestw2, best.bestbeta, best.beste0, chi2total,
                              best.bestchi2});
}

}  // namespace momfit
