// Polynomial interpolation and ordered-table search, in float. Neither keeps
// state between calls; both are reentrant.
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

}  // namespace momfit
