#include "momfit/profile_scan.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <span>

#include "momfit/model/phi2.h"
#include "momfit/numeric/amoeba.h"
#include "recordio/arrays.h"

namespace momfit {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kWall = 4.0;      // a jump of more than this many s^2 in one step is a wall
constexpr int kMaxSteps = 24;      // steps out per end, each twice the last
constexpr int kMaxHalvings = 20;   // bisections per end
constexpr double kEndTolerance = 0.01;  // an end to 1 % of its distance from the centre
constexpr double kSettled = 0.01;  // a restart that gains less than this (s^2) is not repeated
constexpr int kPasses = 3;
constexpr int kSearchBudget = 200;
constexpr double kSpread = 0.03;  // calls of S per simplex search         // scans made again around a notably lower point

// The scan's working state: S with its count of calls and the lowest value
// met, the step of each parameter and the tolerance of the inner searches.
class Scanner {
 public:
  // held: the parameters kept at their value throughout (no step, no search).
  Scanner(const SumOfSquares& s, const std::array<bool, 3>& held) : s_(s), held_(held) {}

  // S at p, counted; NaN read as +infinity; the lowest value kept.
  double at(const Point3& p) {
    ++evaluations_;
    double v = s_(p);
    if (!(v < kInf)) v = kInf;
    if (v < low_s_) {
      low_s_ = v;
      low_ = p;
    }
    return v;
  }

  // The step for parameter k around p: where S with the other two held
  // rises by about s2, within a factor of 2. That held rise is never slower
  // than the profile's, so the step falls inside the profile interval.
  float probe(const Point3& p, double s_p, double s2, int k);
  void set_steps(const Point3& p, double s_p, double s2) {
    for (int k = 0; k < 3; ++k) step_[k] = held_[k] ? 0.0f : probe(p, s_p, s2, k);
    // Spread of S the inner searches stop at: a few hundredths of s^2.
    ftol_ = static_cast<float>(std::max(kSpread * s2 / s_p, 1e-6));
  }

  // S minimised over every parameter neither fixed nor held, from p
  // (updated to the lowest vertex found): a simplex search restarted around
  // its result until a restart gains less than kSettled s2. fixed is -1 for
  // none.
  double minimise(Point3& p, int fixed, double s2);

  // One end of parameter k's interval, stepping out from centre in
  // direction dir (+1 or -1).
  struct End {
    float value;
    bool wall;
  };
  End end(int k, int dir, const Point3& centre, double s_min, double s2);

  const Point3& low() const { return low_; }
  double low_s() const { return low_s_; }
  long evaluations() const { return evaluations_; }

 private:
  const SumOfSquares& s_;
  std::array<bool, 3> held_;
  long evaluations_ = 0;
  Point3 low_{};
  double low_s_ = kInf;
  std::array<float, 3> step_{};
  float ftol_ = 1e-6f;
};

float Scanner::probe(const Point3& p, double s_p, double s2, int k) {
  const float magnitude = std::fabs(p[k]);
  // A few units in the last place: the smallest step that moves a float.
  const float least =
      4.0f * (std::nextafter(magnitude, std::numeric_limits<float>::infinity()) - magnitude);
  const auto rise = [&](float h) {
    Point3 q = p;
    q[k] = p[k] + h;
    return at(q) - s_p;
  };
  float h = std::max(1e-4f * std::max(magnitude, 0.1f), least);
  if (rise(h) < s2) {
    for (int i = 0; i < 40 && rise(h * 2.0f) < s2; ++i) h *= 2.0f;
    h *= 2.0f;
  } else {
    for (int i = 0; i < 40 && h / 2.0f >= least && rise(h / 2.0f) >= s2; ++i) h /= 2.0f;
    h = std::max(h / 2.0f, least);
  }
  return h;
}

double Scanner::minimise(Point3& p, int fixed, double s2) {
  std::array<int, 3> free{};
  int dims = 0;
  for (int k = 0; k < 3; ++k) {
    if (k != fixed && !held_[k]) free[dims++] = k;
  }
  if (dims == 0) return at(p);
  const Point3 base = p;
  const auto f = [&](std::span<const float> x) -> float {
    Point3 q = base;
    for (int j = 0; j < dims; ++j) q[free[j]] = x[j];
    return static_cast<float>(at(q));
  };
  recordio::Matrix1<float, 4, 3> table;
  recordio::Array1<float, 4> values;
  recordio::Matrix<float> simplex = table.view();
  double best = kInf;
  for (int pass = 0; pass < 4; ++pass) {
    for (int i = 1; i <= dims + 1; ++i) {
      for (int j = 1; j <= dims; ++j) {
        const int k = free[j - 1];
        simplex(i, j) = p[k] + (i == j + 1 ? step_[k] : 0.0f);
      }
      std::array<float, 3> row{};
      for (int j = 0; j < dims; ++j) row[j] = simplex(i, j + 1);
      values(i) = f(std::span<const float>(row.data(), static_cast<std::size_t>(dims)));
    }
    // A simplex astride a wall or on the float grid may never meet the
    // tolerance: each search has a budget.
    Amoeba search(simplex, values.span().first(static_cast<std::size_t>(dims) + 1), dims, ftol_,
                  kSearchBudget);
    // At the iteration limit, or with no finite value, the best vertex so
    // far is the answer.
    search.run(f);
    int lo = 1;
    for (int i = 2; i <= dims + 1; ++i) {
      if (values(i) < values(lo)) lo = i;
    }
    const double found = values(lo);
    if (found < best) {
      for (int j = 1; j <= dims; ++j) p[free[j - 1]] = simplex(lo, j);
    }
    const bool settled = !(found < best - kSettled * s2);
    best = std::min(best, found);
    if (settled) break;
  }
  return best;
}

Scanner::End Scanner::end(int k, int dir, const Point3& centre, double s_min, double s2) {
  // The last point inside (S within s2 of s_min) with its minimised
  // neighbours, and the first point outside.
  Point3 in_point = centre;
  float inside = centre[k];
  double s_in = s_min;
  float outside = 0.0f;
  double s_out = kInf;
  bool found = false;
  for (int i = 0; i < kMaxSteps && !found; ++i) {
    const float step = std::ldexp(step_[k], i);  // doubling from the first step
    Point3 q = in_point;
    q[k] = centre[k] + static_cast<float>(dir) * step;
    const double s = minimise(q, k, s2);
    if (!(s - s_min < s2)) {
      outside = q[k];
      s_out = s;
      found = true;
    } else {
      inside = q[k];
      in_point = q;
      s_in = s;
    }
  }
  if (!found) return {static_cast<float>(dir) * std::numeric_limits<float>::infinity(), false};
  for (int i = 0; i < kMaxHalvings; ++i) {
    if (std::fabs(outside - inside) <= kEndTolerance * std::fabs(outside - centre[k])) break;
    const float mid = inside + (outside - inside) / 2.0f;
    if (mid == inside || mid == outside) break;  // the floats are exhausted
    Point3 q = in_point;
    q[k] = mid;
    const double s = minimise(q, k, s2);
    if (s - s_min < s2) {
      inside = mid;
      in_point = q;
      s_in = s;
    } else {
      outside = mid;
      s_out = s;
    }
  }
  if (!(s_out - s_in <= kWall * s2)) return {inside, true};
  // A smooth rise: where the straight line between the two crosses s2.
  const double t = (s_min + s2 - s_in) / (s_out - s_in);
  return {static_cast<float>(inside + t * (outside - inside)), false};
}

}  // namespace

SumOfSquares sum_of_squares(const FitState& state) {
  // The copy carries its own block one; the objective has no observer.
  struct Own {
    explicit Own(const FitState& st) : s(st) {}
    FitState s;
    Objective phi2{s};
  };
  auto own = std::make_shared<Own>(state);
  const double n3 = static_cast<double>(state.three.nlab) - 3.0;
  return [own, factor = n3 * n3](const Point3& p) {
    const std::array<float, 4> x{p[0], 0.0f, p[1], p[2]};
    return factor * static_cast<double>(own->phi2(x));
  };
}

namespace {

ProfileScan scan_from(const SumOfSquares& s, const Point3& start, int points,
                      const std::array<bool, 3>& held) {
  ProfileScan r;
  r.held = held;
  if (points < 4) {
    r.why = "fewer than 4 lab points";
    return r;
  }
  // The residual variance's degrees of freedom: the points less the
  // parameters fitted.
  const double dof = points - static_cast<double>(3 - std::count(held.begin(), held.end(), true));
  Scanner scan(s, held);
  const double s_start = scan.at(start);
  r.evaluations = scan.evaluations();
  if (!(s_start < kInf)) {
    r.why = "S is not finite at the best point";
    return r;
  }
  if (!(s_start > 0.0)) {
    r.why = "S is 0 at the best point, so there is no residual variance to scale by";
    return r;
  }
  scan.set_steps(start, s_start, s_start / dof);
  Point3 polished = start;
  scan.minimise(polished, -1, s_start / dof);

  for (int pass = 0; pass < kPasses; ++pass) {
    const Point3 centre = scan.low();
    const double s_min = scan.low_s();
    const double s2 = s_min / dof;
    scan.set_steps(centre, s_min, s2);
    for (int k = 0; k < 3; ++k) {
      if (held[k]) {
        r.interval[k] = {std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::quiet_NaN()};
        continue;
      }
      for (int side = 0; side < 2; ++side) {
        const Scanner::End e = scan.end(k, side == 0 ? -1 : 1, centre, s_min, s2);
        r.interval[k][side] = e.value;
        r.wall[k][side] = e.wall;
      }
    }
    // A point notably lower than the centre moves the intervals: scan again
    // around it.
    if (!(scan.low_s() < s_min - 0.05 * s2)) break;
  }
  r.done = true;
  r.refined = scan.low();
  r.s_min = scan.low_s();
  r.s2 = r.s_min / dof;
  r.evaluations = scan.evaluations();
  return r;
}

}  // namespace

ProfileScan profile_scan(const SumOfSquares& s, const Point3& start, int points,
                         const std::array<bool, 3>& held) {
  const auto began = std::chrono::steady_clock::now();
  ProfileScan r = scan_from(s, start, points, held);
  r.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
  return r;
}

}  // namespace momfit
