// Polynomial interpolation and ordered-table search, in float. polint and
// hunt keep no state between calls; a Bracket keeps its last answer.
#pragma once

#include <span>

#include "momfit/numeric/outcome.h"

namespace momfit {

// Neville's algorithm: y = the value at x of the polynomial of degree n - 1
// through (xa(i), ya(i)), i = 1..n (n from 1 to 10); dy = the last correction
// added to y (unchanged when n = 1). The chain of corrections starts at the
// nearest abscissa (the first of equally near ones) and stays centred on it.
// Returns ok, or equal_abscissae when two abscissae are equal: the
// interpolation ends there, y being the value reached so far (no division by
// the zero difference).
[[nodiscard]] Outcome polint(std::span<const float> xa, std::span<const float> ya, int n, float x,
                             float& y, float& dy);

// Search of the monotonic table xx(1..n) (ascending or descending) from the
// guess jlo: on return x lies between xx(jlo) and xx(jlo + 1); 0 below the
// first entry and n beyond the last, in the table's direction; n - 1 when x
// equals xx(n) and 1 when it equals xx(1). A guess in 1..n is widened by
// doubling steps before the bisection; any other guess bisects the table.
void hunt(std::span<const float> xx, int n, float x, int& jlo);

// hunt's answers for a run of values in one table, each found from the
// previous answer when that still brackets the value (values that come in
// order, such as lab momenta, rarely need a search).
//
// hunt compares x with table entries through one predicate, up(j) =
// ((x >= xx(j)) == ascending), and keeps up(jlo) true (or jlo = 0) and
// up(jhi) false (or jhi = n + 1) while it widens and bisects; then it moves
// an x equal to xx(n) to n - 1 and one equal to xx(1) to 1. (Its downward
// hunt tests x < xx(j) instead, the same test for any x but NaN.) When the
// table ascends without a step down, or descends without a step up, and
// holds no NaN, up(j) is true for j = 1..J and false after, for every x
// including NaN and values equal to entries or outside the table: then any
// search that keeps those two ends finds the same J, whatever its guess.
class Bracket {
 public:
  // The table xx(1..n), n >= 1; it must outlive the Bracket.
  Bracket(std::span<const float> xx, int n);

  // Whether the table is monotone as above; only then may operator() be used.
  bool monotone() const { return monotone_; }

  // hunt's answer for x: with any guess, and with the guess 0 when x is NaN.
  int operator()(float x);

 private:
  bool up(float x, int j) const {
    return (x >= xx_[static_cast<std::size_t>(j - 1)]) == ascending_;
  }
  int bisect(float x) const;

  std::span<const float> xx_;
  int n_;
  bool ascending_;
  bool monotone_ = false;
  int last_ = 0;
};

}  // namespace momfit
