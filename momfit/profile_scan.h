// Profile intervals of the three fitted parameters (W1, beta, E0) and a
// polished best point, from a sum of squared differences S over them.
//
// For each parameter the interval is where S, minimised over the other two,
// stays within s^2 = S_min / (N - 3) of its lowest value: the 68 % profile
// interval with the residual variance as the unit. Each end is bracketed by
// steps out from the refined point whose length follows the profile's own
// curvature, then closed in on by interpolation in the squared distance
// (exact for a parabolic profile), by halving where S jumps. The inner
// two-parameter minimisations are downhill simplex searches started from
// the neighbouring profile points, so a rough or walled S (interpolated
// tables, single precision, a jump where the model leaves the lab range)
// does not mislead them as finite-difference derivatives would; at the two
// points either side of each end a second search from another start checks
// the first, and the lower value is kept. Beyond a jump, searches from the
// centre and, with a fine simplex, from the inside point decide whether it
// is a wall, and further starts follow while they still go lower.
//
// The scan stays inside the model's domain: W1 > 0, beta in [-1, 2], and
// where S is finite (the model gives +infinity where a momentum is not
// real). An end the domain sets is a limit.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "momfit/blocks.h"

namespace momfit {

// W1 (eV), beta, E0 (eV): the fitted parameters in the scan's order.
using Point3 = std::array<float, 3>;

// S at a point: +infinity (or NaN) where it cannot be evaluated.
using SumOfSquares = std::function<double(const Point3&)>;

// What sets an end of an interval.
enum class EndKind {
  rise,        // the profile rises smoothly through s^2
  wall,        // S jumps by more than 4 s^2 across the end's last, narrow bracket (or
               // within one float step of the refined value, on one side only)
  limit,       // the domain: the profile is still below s^2 there
  open,        // no end met within the stepping limit
  zero_width,  // S rises by s^2 within one float step of the refined value, both sides
  unsure,      // the inner searches beyond the end still disagree by more than s^2 after
               // further starts, and S there is not a wall above it: no trustworthy end
};

// How the profile of one parameter looks inside its interval.
enum class Shape {
  parabolic,   // rises as the square of the distance from the middle; the value within 10 % of it
  flat,        // within 0.1 s^2 of the minimum over more than half the interval
  asymmetric,  // neither
  unknown,     // an end that cannot be trusted
};

const char* name(EndKind kind);  // "rise", "wall", "limit", "open", "zero width", "unsure"
const char* name(Shape shape);   // "parabolic", "flat", "asymmetric", "unknown"

// One point of a profile: the parameter's value and S minimised over the
// other two there, less S_min.
struct ProfilePoint {
  float value;
  double rise;
};

struct ProfileScan {
  bool done = false;
  std::string why;   // when not done: why the scan could not be made
  Point3 refined{};  // the point the intervals are scanned around: S is lowest there
  double s_min = 0.0;
  double s2 = 0.0;   // s_min / (points - 3 - inner), plus the held parameters
  std::array<bool, 3> held{};  // kept at the start value: no interval
  double s_start = 0.0;  // S at the start point (the fit's best)
  // The fit stopped short: the scan found S lower than at the start by more
  // than s^2.
  bool moved = false;
  // [low, high] of each parameter: each end lies on its side of refined
  // (equal to it only for a zero width); -inf / +inf for an open end; NaN
  // for a held parameter.
  std::array<std::array<float, 2>, 3> interval{};
  std::array<std::array<EndKind, 2>, 3> end{};
  std::array<std::array<bool, 2>, 3> wall{};  // end == EndKind::wall
  std::array<Shape, 3> shape{};
  // Every profile point the scan met, in increasing value, the refined
  // point among them: what a picture of the profiles draws.
  std::array<std::vector<ProfilePoint>, 3> profile;
  long evaluations = 0;       // calls of S
  double milliseconds = 0.0;  // the scan's wall-clock time
  int threads = 1;            // the ends were searched on this many threads

  // Parameter k was scanned and both its ends are a rise, wall, limit or
  // open end: its interval may be given as one.
  bool trusted(int k) const;
};

struct ScanOptions {
  // Makes an S of its own (its own objective and transform tables) for each
  // further thread; without it the ends are searched one after another.
  std::function<SumOfSquares()> another;
  int threads = 1;  // at most 6 are used, one per end
  // Parameters kept at their value at start in every search, with no
  // interval; s^2 is then S_min / (N - the parameters fitted).
  std::array<bool, 3> held{};
  // Parameters S is minimised over inside each evaluation (the fitted
  // scale's base and factor: 2): counted among those fitted in s^2.
  int inner = 0;
};

// The S of the fit state's data: chi2 of the model times (nlab - 3)^2, from
// an objective of its own on a copy of state, so that the run's block one,
// plot and evaluation log are untouched. state is only read.
SumOfSquares sum_of_squares(const FitState& state);

// Options that search the six ends on up to threads threads (0: one per
// core), each with an S of its own made from a copy of state; held as
// ScanOptions::held; inner 2 with the fitted scale.
ScanOptions scan_options(const FitState& state, const std::array<bool, 3>& held = {},
                         int threads = 0);

// The scan around start for points data values. Not done (why set) when
// points < 4, or start lies outside the domain, or S at start is not finite,
// or is 0 (no residual variance). Calls s (and the S made by options) only;
// keeps no state between calls. What an S throws, on any thread, ends the
// scan and is thrown to the caller once every thread has stopped.
ProfileScan profile_scan(const SumOfSquares& s, const Point3& start, int points,
                         const ScanOptions& options = {});

}  // namespace momfit
