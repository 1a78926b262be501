#include "momfit/numeric/interp.h"

#include <array>
#include <cmath>
#include <cstddef>

namespace momfit {
namespace {

inline float el(std::span<const float> a, int i) { return a[static_cast<std::size_t>(i - 1)]; }

}  // namespace

Outcome polint(std::span<const float> xa, std::span<const float> ya, int n, float x, float& y,
               float& dy) {
  // The tableau, for at most 10 points; index 0 unused (1-based).
  std::array<float, 11> c;
  std::array<float, 11> d;
  int ns = 1;
  float dif = std::fabs(x - el(xa, 1));
  for (int i = 1; i <= n; ++i) {
    const float dift = std::fabs(x - el(xa, i));
    if (dift < dif) {
      ns = i;
      dif = dift;
    }
    c[i] = el(ya, i);
    d[i] = el(ya, i);
  }
  y = el(ya, ns);
  ns = ns - 1;
  for (int m = 1; m <= n - 1; ++m) {
    for (int i = 1; i <= n - m; ++i) {
      const float ho = el(xa, i) - x;
      const float hp = el(xa, i + m) - x;
      const float w = c[i + 1] - d[i];
      float den = ho - hp;
      if (den == 0.0f) {
        // Two equal abscissae leave no polynomial of this degree; y keeps
        // the value reached with the corrections made so far.
        return Outcome::equal_abscissae;
      }
      den = w / den;
      d[i] = hp * den;
      c[i] = ho * den;
    }
    if (2 * ns < n - m) {
      dy = c[ns + 1];
    } else {
      dy = d[ns];
      ns = ns - 1;
    }
    y = y + dy;
  }
  return Outcome::ok;
}

// Kept out of line: inlined into rebin's loop by link-time optimisation,
// the search compiles to slower code and rebin takes more than twice as long.
[[gnu::noinline]] void hunt(std::span<const float> xx, int n, float x, int& jlo) {
  const bool ascnd = el(xx, n) >= el(xx, 1);
  int jhi;
  if (jlo <= 0 || jlo > n) {
    // No usable guess: bisect the whole table.
    jlo = 0;
    jhi = n + 1;
  } else {
    int inc = 1;
    if ((x >= el(xx, jlo)) == ascnd) {
      // Hunt up.
      for (;;) {
        jhi = jlo + inc;
        if (jhi > n) {
          jhi = n + 1;
          break;
        }
        if ((x >= el(xx, jhi)) != ascnd) break;
        jlo = jhi;
        inc = inc + inc;
      }
    } else {
      // Hunt down.
      jhi = jlo;
      for (;;) {
        jlo = jhi - inc;
        if (jlo < 1) {
          jlo = 0;
          break;
        }
        if ((x < el(xx, jlo)) != ascnd) break;
        jhi = jlo;
        inc = inc + inc;
      }
    }
  }
  // Bisection; the comparison picks the half without a branch. Both ends are
  // at least 0 here, so the halving can be done unsigned (a shorter chain).
  while (jhi - jlo != 1) {
    const int jm = static_cast<int>(static_cast<unsigned>(jhi + jlo) / 2u);
    const bool up = (x >= el(xx, jm)) == ascnd;
    jlo = up ? jm : jlo;
    jhi = up ? jhi : jm;
  }
  if (x == el(xx, n)) jlo = n - 1;
  if (x == el(xx, 1)) jlo = 1;
}

}  // namespace momfit
