// Profile intervals of the three fitted parameters (W1, beta, E0) and a
// polished best point, from a sum of squared differences S over them.
//
// For each parameter the interval is where S, minimised over the other two,
// stays within s^2 = S_min / (N - 3) of its lowest value: the 68 % profile
// interval with the residual variance as the unit. Each end is found by
// stepping out from the best point and bisecting; the inner two-parameter
// minimisations are downhill simplex searches started from the neighbouring
// profile point, so a rough or walled S (interpolated tables, single
// precision, a jump where the model leaves the lab range) does not mislead
// them as finite-difference derivatives would.
#pragma once

#include <array>
#include <functional>
#include <string>

#include "momfit/blocks.h"

namespace momfit {

// W1 (eV), beta, E0 (eV): the fitted parameters in the scan's order.
using Point3 = std::array<float, 3>;

// S at a point: +infinity (or NaN) where it cannot be evaluated.
using SumOfSquares = std::function<double(const Point3&)>;

struct ProfileScan {
  bool done = false;
  std::string why;   // when not done: why the scan could not be made
  Point3 refined{};  // the lowest S met anywhere in the scan
  double s_min = 0.0;
  double s2 = 0.0;   // s_min / (points - 3), or less the held parameters
  std::array<bool, 3> held{};  // kept at the start value: no interval
  // [low, high] of each parameter; -inf / +inf when no end was met within
  // the stepping limit; NaN for a held parameter.
  std::array<std::array<float, 2>, 3> interval{};
  // Which ends a wall sets: S jumped by more than kWall s^2 across the last
  // bisection step, rather than rising smoothly through s^2.
  std::array<std::array<bool, 2>, 3> wall{};
  long evaluations = 0;  // calls of S
  double milliseconds = 0.0;  // the scan's wall-clock time
};

// The S of the fit state's data: chi2 of the model times (nlab - 3)^2, from
// an objective of its own on a copy of state, so that the run's block one,
// plot and evaluation log are untouched. state is only read, now.
SumOfSquares sum_of_squares(const FitState& state);

// The scan around start for points data values. Not done (why set) when
// points < 4, or S at start is not finite, or is 0 (no residual variance).
// A held parameter keeps its value at start in every search and gets no
// interval; s^2 is then S_min / (N - the parameters fitted). Calls s only;
// keeps no state between calls.
ProfileScan profile_scan(const SumOfSquares& s, const Point3& start, int points,
                         const std::array<bool, 3>& held = {});

}  // namespace momfit
