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

Bracket::Bracket(std::span<const float> xx, int n)
    : xx_(xx.first(static_cast<std::size_t>(n))), n_(n), ascending_(xx_[xx_.size() - 1] >= xx_[0]) {
  bool ordered = true;
  for (std::size_t k = 0; k + 1 < xx_.size(); ++k) {
    ordered &= ascending_ ? xx_[k] <= xx_[k + 1] : xx_[k] >= xx_[k + 1];
  }
  monotone_ = ordered;
}

// J from the previous answer when up(J) and not up(J + 1) confirm it, from
// the next interval likewise, and otherwise from a bisection of the table.
int Bracket::operator()(float x) {
  int j = last_;
  if (!((j == 0 || up(x, j)) && (j == n_ || !up(x, j + 1)))) {
    if (j < n_ && up(x, j + 1) && (j + 1 == n_ || !up(x, j + 2))) {
      j = j + 1;
    } else {
      j = bisect(x);
    }
  }
  last_ = j;
  if (x == xx_[static_cast<std::size_t>(n_ - 1)]) j = n_ - 1;
  if (x == xx_[0]) j = 1;
  return j;
}

int Bracket::bisect(float x) const {
  int jlo = 0;
  int jhi = n_ + 1;
  while (jhi - jlo != 1) {
    const int jm = (jhi + jlo) / 2;
    const bool u = up(x, jm);
    jlo = u ? jm : jlo;
    jhi = u ? jhi : jm;
  }
  return jlo;
}

}  // namespace momfit
