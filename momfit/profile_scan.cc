#include "momfit/profile_scan.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <thread>

#include "momfit/model/phi2.h"
#include "momfit/numeric/amoeba.h"
#include "recordio/arrays.h"

namespace momfit {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kWall = 4.0;           // a jump of more than this many s^2 across a narrow bracket is a wall
constexpr int kMaxSteps = 30;           // steps out per end, each at most three times the last
constexpr int kMaxRefine = 14;          // interpolations or halvings per bracket
constexpr int kRounds = 6;              // brackets per end: a check can move the end outwards
constexpr double kEndTolerance = 0.04;  // a bracket closed to 4 % of its distance from the centre
constexpr double kNear = 0.1;           // an inside point this near the level is checked
constexpr double kShort = 0.1;          // a check this many s^2 below the level moves the end out
constexpr double kSettled = 0.01;       // a restart that gains less than this (s^2) is not repeated
constexpr double kRecheck = 0.15;       // a check this many s^2 lower is searched once more
constexpr int kPasses = 3;              // scans made again around a notably lower point
constexpr double kLower = 0.05;         // ... lower than the centre by this many s^2
constexpr double kRelevel = 0.5;        // ... up to this many found again from the profile measured
constexpr int kSearchBudget = 120;      // calls of S per simplex search
constexpr double kSpread = 0.05;        // the inner searches stop at a spread of S of this many s^2
constexpr double kOnLevel = 0.25;       // a look this near the level ends the closing in
constexpr int kFloorLooks = 3;          // searches inside an interval to settle its floor
constexpr double kFloor = 0.1;          // within this many s^2 of the minimum is the floor

// The model's domain in the scan's order: W1 > 0, beta in [-1, 2], E0 free
// (where its momenta are not real S is +infinity, met as it comes).
constexpr std::array<float, 3> kLowest{std::numeric_limits<float>::min(), -1.0f,
                                       -std::numeric_limits<float>::infinity()};
constexpr std::array<float, 3> kHighest{std::numeric_limits<float>::infinity(), 2.0f,
                                        std::numeric_limits<float>::infinity()};

bool in_box(const Point3& p) {
  for (int k = 0; k < 3; ++k) {
    if (!(p[k] >= kLowest[k] && p[k] <= kHighest[k])) return false;
  }
  return true;
}

Point3 clamped(Point3 p) {
  for (int k = 0; k < 3; ++k) p[k] = std::clamp(p[k], kLowest[k], kHighest[k]);
  return p;
}

// The point with parameter k at t on the line through base (k at tb) and
// other (k at to), extrapolated beyond them; base, k at t, where tb == to.
Point3 on_line(const Point3& base, float tb, const Point3& other, float to, float t, int k) {
  Point3 q = base;
  const double span = static_cast<double>(to) - tb;
  if (span != 0.0) {
    const double f = (static_cast<double>(t) - tb) / span;
    for (int j = 0; j < 3; ++j) {
      if (j != k) q[j] = static_cast<float>(base[j] + f * (static_cast<double>(other[j]) - base[j]));
    }
  }
  q[k] = t;
  return q;
}

// What every end search of one pass shares, read only.
struct Level {
  Point3 centre;
  double s_min;
  double s2;
  std::array<float, 3> step;  // each parameter's step: S held rises by about s2
  // The ends of the pass before (NaN in the first): where each search
  // steps first.
  std::array<std::array<float, 2>, 3> hint;
  float ftol;                 // relative spread the inner searches stop at
  std::array<bool, 3> held;   // parameters never moved
  // With W1 held, how beta and E0 trade off in units of their steps: +1
  // where S rises less with both stepped the same way, -1 where less with
  // them stepped opposite ways, 0 when not known.
  float diagonal = 0.0f;
};

// How a minimisation goes: its first simplex (the level's steps times
// scale), the restarts, the calls of S each, the gain that ends the
// restarts (s^2), and the spread it stops at (times the level's).
struct Search {
  float scale = 1.0f;
  int passes = 1;
  int budget = kSearchBudget;
  double settled = kSettled;
  float spread = 1.0f;
};

// The first look at a profile point: rough, since only the checks beside the end decide.
constexpr Search kFirstLook{1.0f, 1, 60, kSettled, 2.0f};
// The check of a point beside an end, from another start; searched once
// more around its result where it went lower by more than kRecheck s^2.
constexpr Search kCheck{2.0f, 1, 100, kSettled, 0.5f};
// A point of E0's profile far above the level met while stepping out, from the
// last point inside.
constexpr Search kRetry{4.0f, 1, kSearchBudget, kSettled, 1.0f};
// The third search at a wall, from the centre.
constexpr Search kThird{4.0f, 3, kSearchBudget, kSettled, 1.0f};
// The fine search at a wall, from the inside point.
constexpr Search kFine{0.2f, 3, kSearchBudget, kSettled, 1.0f};
// Further searches beyond a wall where the third and fine ones went lower
// by more than s^2: from the lowest point found, from the inside point and
// from the centre, each simplex wider.
constexpr int kFurther = 3;
constexpr std::array<Search, kFurther> kFurtherStarts{
    Search{4.0f, 3, kSearchBudget, kSettled, 1.0f}, Search{8.0f, 3, kSearchBudget, kSettled, 1.0f},
    Search{16.0f, 3, kSearchBudget, kSettled, 1.0f}};
// A search inside an interval that settles the extent of its floor.
constexpr Search kFloorLook{1.0f, 1, 80, kSettled, 0.5f};
// The polish of the refined point: short restarts, enough of them to
// finish a fit stopped short (a long search crawls along the valley).
constexpr Search kPolish{1.0f, 8, 80, 0.05, 0.5f};

// S with its count of calls and the lowest value met. One per thread.
class Scanner {
 public:
  explicit Scanner(const SumOfSquares& s) : s_(s) {}

  // S at p, counted; NaN read as +infinity; outside the box +infinity
  // without a call. The lowest value kept.
  double at(const Point3& p) {
    if (!in_box(p)) return kInf;
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
  // than the profile's, so the step is at most the profile interval's.
  float probe(const Point3& p, double s_p, double s2, int k);

  // S minimised over every parameter but fixed (-1: none), from p (updated
  // to the lowest vertex found): a simplex of the level's steps times scale,
  // restarted around its result until a restart gains less than settled
  // s2, at most passes times, each with a budget of calls.
  double minimise(Point3& p, int fixed, const Level& c, const Search& how);

  const Point3& low() const { return low_; }
  double low_s() const { return low_s_; }
  long evaluations() const { return evaluations_; }

 private:
  const SumOfSquares& s_;
  long evaluations_ = 0;
  Point3 low_{};
  double low_s_ = kInf;
};

float Scanner::probe(const Point3& p, double s_p, double s2, int k) {
  const float magnitude = std::fabs(p[k]);
  // A few units in the last place: the smallest step that moves a float.
  const float least =
      4.0f * (std::nextafter(magnitude, std::numeric_limits<float>::infinity()) - magnitude);
  // Each way in turn (S may jump on one side of p): the longer step.
  float longest = least;
  for (const float dir : {1.0f, -1.0f}) {
    const auto rise = [&](float h) {
      Point3 q = p;
      q[k] = p[k] + dir * h;
      return at(q) - s_p;
    };
    Point3 first = p;
    first[k] = p[k] + dir * least;
    if (!in_box(first)) continue;
    float h = std::max(1e-4f * std::max(magnitude, 0.1f), least);
    if (rise(h) < s2) {
      for (int i = 0; i < 40 && rise(h * 2.0f) < s2; ++i) h *= 2.0f;
      h *= 2.0f;
    } else {
      for (int i = 0; i < 40 && h / 2.0f >= least && rise(h / 2.0f) >= s2; ++i) h /= 2.0f;
      h = std::max(h / 2.0f, least);
    }
    longest = std::max(longest, h);
  }
  return longest;
}

double Scanner::minimise(Point3& p, int fixed, const Level& c, const Search& how) {
  std::array<int, 3> free{};
  int dims = 0;
  for (int k = 0; k < 3; ++k) {
    if (k != fixed && !c.held[k]) free[dims++] = k;
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
  // The first simplex's edges from its first vertex: each free parameter's
  // step. W1's profile: one edge along the diagonal of the steps on which
  // beta and E0 trade off, the other across it, shorter; an axis-aligned
  // simplex crawls along that valley. (Laid along W1 and beta's valley for
  // the other profiles, it put ends out of place against a brute-force
  // profile.)
  std::array<Point3, 3> edge{};
  if (fixed == 0 && dims == 2 && c.diagonal != 0.0f) {
    for (int m = 0; m < 2; ++m) {
      const float f = m == 0 ? how.scale : -0.3f * how.scale;
      edge[m][free[0]] = std::fabs(f) * c.step[free[0]];
      edge[m][free[1]] = f * c.diagonal * c.step[free[1]];
    }
  } else {
    for (int m = 0; m < dims; ++m) edge[m][free[m]] = how.scale * c.step[free[m]];
  }
  for (int pass = 0; pass < how.passes; ++pass) {
    for (int i = 1; i <= dims + 1; ++i) {
      // The other way where the edge leaves the domain.
      float sign = 0.0f;
      if (i > 1) {
        Point3 q = p;
        for (int j = 0; j < dims; ++j) q[free[j]] = p[free[j]] + edge[i - 2][free[j]];
        sign = in_box(q) ? 1.0f : -1.0f;
      }
      for (int j = 1; j <= dims; ++j) {
        const int k = free[j - 1];
        simplex(i, j) = i > 1 ? p[k] + sign * edge[i - 2][k] : p[k];
      }
      std::array<float, 3> row{};
      for (int j = 0; j < dims; ++j) row[j] = simplex(i, j + 1);
      values(i) = f(std::span<const float>(row.data(), static_cast<std::size_t>(dims)));
    }
    // A simplex astride a wall or on the float grid may never meet the
    // tolerance: each search has a budget. At the limit, or with no finite
    // value, the best vertex so far is the answer.
    Amoeba search(simplex, values.span().first(static_cast<std::size_t>(dims) + 1), dims,
                  how.spread * c.ftol, how.budget);
    search.run(f);
    int lo = 1;
    for (int i = 2; i <= dims + 1; ++i) {
      if (values(i) < values(lo)) lo = i;
    }
    const double found = values(lo);
    if (found < best) {
      for (int j = 1; j <= dims; ++j) p[free[j - 1]] = simplex(lo, j);
    }
    const bool settled = !(found < best - how.settled * c.s2);
    best = std::min(best, found);
    if (settled) break;
  }
  return best;
}

// A profile point with the inner parameters where S was lowest; g is S less
// the crossing level S_min + s^2 (negative inside the interval).
struct Sample {
  float t;
  double g;
  Point3 p;
};

// What one end search found.
struct EndFound {
  float value = 0.0f;
  EndKind kind = EndKind::open;
  std::vector<ProfilePoint> points;
  Point3 low{};
  double low_s = kInf;
  long evaluations = 0;
  // The farthest point met inside the interval (the centre when none):
  // with the centre, the line the inner parameters follow.
  Sample inside{};
};

// One end of parameter k's interval, on side dir (-1 or +1) of the centre.
class EndSearch {
 public:
  EndSearch(Scanner& scanner, const Level& c, int k, int dir)
      : sc_(scanner), c_(c), k_(k), dir_(dir), centre_(c.centre[k]) {}

  EndFound run();

 private:
  // S minimised over the other two with parameter k at t, from start.
  Sample measure(float t, Point3 start, const Search& how, const Sample* other = nullptr) {
    Sample m = measure_from(t, start, how);
    // S far above the level may be a search stuck behind a wall it could
    // have gone round: once more from the other start, the lower kept. In
    // E0's profile only: in W1's and beta's, the closing in (from the
    // inside point) and the checks settle such a point at less cost, and
    // placed two W1 ends in 200 sets further out, past a wall the second
    // search had let stand; in E0's, two walls in 100 were left unsure
    // without it.
    if (other != nullptr && k_ == 2 && m.g > kWall * c_.s2) {
      const Sample again = measure_from(t, other->p, kRetry);
      if (again.g < m.g) m = again;
    }
    return m;
  }
  // The point m searched again from another start, and once more around
  // the result where that went notably lower: the lowest.
  Sample check(const Sample& m, const Point3& from) {
    Sample c = measure_from(m.t, from, kCheck);
    if (!(c.g < m.g - kRecheck * c_.s2)) return c.g < m.g ? c : m;
    const Sample again = measure_from(m.t, c.p, kCheck);
    return again.g < c.g ? again : c;
  }
  Sample measure_from(float t, Point3 start, const Search& how) {
    start = clamped(start);
    start[k_] = t;
    const double s = sc_.minimise(start, k_, c_, how);
    if (s < kInf) points_.push_back({t, s - c_.s_min});
    lower_ = lower_ || s < c_.s_min - kRelevel * c_.s2;
    const Sample m{t, s - (c_.s_min + c_.s2), start};
    if (m.g < 0.0 && distance(t) > distance(inside_.t)) inside_ = m;
    return m;
  }
  // The inner parameters at t on the line through a and b (extrapolated
  // beyond them when t lies outside).
  Point3 along(const Sample& a, const Sample& b, float t) const {
    return on_line(b.p, b.t, a.p, a.t, t, k_);
  }
  // Where S stops being finite between inside and t, the inner parameters
  // held at q: the last finite value, found by halving.
  float edge(float inside, float t, Point3 q) {
    float lo = inside, hi = t;
    for (int i = 0; i < 40; ++i) {
      const float mid = lo + (hi - lo) / 2.0f;
      if (mid == lo || mid == hi) break;
      q[k_] = mid;
      if (sc_.at(q) < kInf) {
        lo = mid;
      } else {
        hi = mid;
      }
    }
    return lo;
  }
  double distance(float t) const { return std::fabs(static_cast<double>(t) - centre_); }
  EndFound found(float value, EndKind kind) {
    EndFound e;
    e.value = value;
    e.kind = kind;
    e.points = std::move(points_);
    e.low = sc_.low();
    e.low_s = sc_.low_s();
    e.evaluations = sc_.evaluations();
    e.inside = inside_;
    return e;
  }
  bool close(const Sample& a0, const Sample& b0, Sample& a, Sample& b);

  Scanner& sc_;
  const Level& c_;
  const int k_, dir_;
  const float centre_;
  std::vector<ProfilePoint> points_;
  // A point met so far below the centre that the pass is made again
  // around it: what this search would find is discarded.
  bool lower_ = false;
  Sample inside_{centre_, -c_.s2, c_.centre};
};

// Narrows [a inside, b outside] to the end; true when it met a zero width
// (S above the level one float step from the centre).
bool EndSearch::close(const Sample& a0, const Sample& b0, Sample& a, Sample& b) {
  a = a0;
  b = b0;
  const double s2 = c_.s2;
  for (int i = 0; i < kMaxRefine; ++i) {
    const double w = std::fabs(static_cast<double>(b.t) - a.t);
    if (w <= kEndTolerance * distance(b.t)) break;
    float t;
    if (a.t == centre_ && i >= 3 && b.g > kWall * s2) {
      // Still a jump right beside the centre: try the next float.
      t = std::nextafter(centre_, dir_ * std::numeric_limits<float>::infinity());
    } else if (b.g > kWall * s2) {
      t = a.t + (b.t - a.t) / 2.0f;  // perhaps a wall: halve
    } else {
      // g is close to linear in the squared distance near a parabolic end.
      const double ua = distance(a.t) * distance(a.t), ub = distance(b.t) * distance(b.t);
      const double u = ua + (ub - ua) * (-a.g) / (b.g - a.g);
      double d = std::sqrt(std::max(u, 0.0));
      d = std::clamp(d, distance(a.t) + 0.05 * w, distance(b.t) - 0.05 * w);
      t = static_cast<float>(centre_ + dir_ * d);
    }
    if (t == a.t || t == b.t) break;  // the floats are exhausted
    // From the inner parameters of the point inside: the one known to lie
    // on the low side of any wall.
    const Sample m = measure(t, a.p, kFirstLook);
    if (lower_) break;
    if (m.g < 0.0) {
      a = m;
    } else {
      b = m;
      if (a.t == centre_ && t == std::nextafter(centre_, dir_ * std::numeric_limits<float>::infinity())) {
        return true;
      }
    }
    // Close enough to the level: by the bracket's slope, the crossing lies
    // within the tolerance of m. Only in a bracket already narrow: across a
    // wide one the profile is seldom straight (a W1 end was placed 10 % of
    // its half-width short that way).
    const double slope = (b.g - a.g) / std::fabs(static_cast<double>(b.t) - a.t);
    if (b.g <= kWall * s2 && std::fabs(m.g) <= slope * kEndTolerance * distance(m.t) &&
        std::fabs(static_cast<double>(b.t) - a.t) <= 3.0 * kEndTolerance * distance(b.t)) {
      break;
    }
    if (b.g <= kWall * s2 && std::fabs(m.g) <= kOnLevel * s2) break;
  }
  return false;
}

EndFound EndSearch::run() {
  const double s2 = c_.s2;
  const float bound = dir_ < 0 ? kLowest[k_] : kHighest[k_];
  Sample in{centre_, -s2, c_.centre};
  Sample before = in;
  // Distance of the next step from the centre: the end of the pass before,
  // or the step of the held rise.
  const float hint = c_.hint[k_][dir_ < 0 ? 0 : 1];
  double h = std::isfinite(hint) && dir_ * (hint - centre_) > 0.0f ? 0.98 * distance(hint)
                                                                  : c_.step[k_];
  for (int round = 0; round < kRounds; ++round) {
    // Out until a point lies above the level.
    bool outside = false;
    Sample out{};
    for (int i = 0; i < kMaxSteps && !outside; ++i) {
      float t = static_cast<float>(centre_ + dir_ * h);
      bool at_edge = false;
      if (!(dir_ * (t - bound) < 0.0f)) {
        t = bound;
        at_edge = true;
      }
      if (t == in.t) {
        if (at_edge) return found(in.t, EndKind::limit);
        t = std::nextafter(in.t, dir_ * std::numeric_limits<float>::infinity());  // the float grid
      }
      Point3 q = clamped(along(before, in, t));
      Sample m = measure(t, q, kFirstLook, &in);
      if (lower_) return found(in.t, EndKind::unsure);
      if (!(m.g < kInf)) {
        // No finite S there: the domain ends between in and t.
        t = edge(in.t, t, clamped(q));
        if (t == in.t) return found(in.t, EndKind::limit);
        m = measure(t, q, kFirstLook);
        at_edge = true;
      }
      if (m.g < 0.0) {
        before = in;
        in = m;
        if (at_edge) return found(t, EndKind::limit);
        // The next step where a parabola through the centre and this point
        // reaches the level, a little beyond: 1.25 to 3 times as far.
        const double rise = m.g + s2;
        const double grow = rise > 0.0 ? 1.05 * std::sqrt(s2 / rise) : 4.0;
        h = distance(t) * std::clamp(grow, 1.25, 3.0);
      } else {
        out = m;
        outside = true;
      }
    }
    if (!outside) return found(static_cast<float>(dir_) * std::numeric_limits<float>::infinity(),
                               EndKind::open);

    Sample a{}, b{};
    if (close(in, out, a, b)) return found(centre_, EndKind::zero_width);
    if (lower_) return found(in.t, EndKind::unsure);

    // The points either side of the end again, each from the other's inner
    // parameters, and the lower value of each kept. A lower value can only
    // confirm the inside point, so it is searched again only where it sets
    // where the level is crossed: within kNear s^2 of it.
    if (a.t != centre_ && a.g > -kNear * s2) {
      Point3 q = b.p;
      a = check(a, q);
    }
    {
      Point3 q = a.p;
      b = check(b, q);
    }
    if (b.g < -kShort * s2) {
      // The first search at b fell short: the end lies further out, as far
      // as a parabola through the centre and b says (the first searches can
      // miss the valley by far).
      before = a;
      in = b;
      h = distance(b.t) * std::clamp(1.05 * std::sqrt(s2 / std::max(b.g + s2, 1e-9 * s2)),
                                     1.0 + 2.0 * kEndTolerance, 3.0);
      continue;
    }
    if (b.g < 0.0) return found(b.t, EndKind::rise);  // on the level within the searches' spread
    const bool jump = b.g - a.g > kWall * s2;
    if (jump) {
      // A jump: a third search, from the centre's inner parameters, and a
      // fine one from the inside point's decide whether S truly jumps. The
      // first two start beside the end with wide simplexes, which can stay
      // on the wall's high side or step over a low side that lies close to
      // the inside point's inner parameters.
      double checked = b.g;
      for (const auto& [from, how] : {std::pair{c_.centre, kThird}, std::pair{a.p, kFine}}) {
        const Sample m = measure(b.t, from, how);
        if (m.g < b.g) b = m;
      }
      // Where these went lower by more than s^2 the searches disagree:
      // further starts (the lowest point's own, the inside point's with a
      // wider simplex, the centre's wider still) until one gains less.
      for (int more = 0; more < kFurther && checked - b.g > s2 && !(b.g < 0.0); ++more) {
        checked = b.g;
        const Point3 from = more == 0 ? b.p : more == 1 ? a.p : c_.centre;
        const Sample again = measure(b.t, from, kFurtherStarts[more]);
        if (again.g < b.g) b = again;
      }
      if (b.g < 0.0) {
        before = a;
        in = b;
        h = distance(b.t) * 1.25;
        continue;
      }
      // Still going lower at the last start: S jumping by more than kWall
      // s^2 even so is the wall; a smaller step is not settled.
      if (checked - b.g > s2 && !(b.g - a.g > kWall * s2)) return found(a.t, EndKind::unsure);
    }
    if (b.g - a.g > kWall * s2) {
      return found(a.t == centre_ ? centre_ : a.t, a.t == centre_ ? EndKind::zero_width
                                                                  : EndKind::wall);
    }
    const double ua = distance(a.t) * distance(a.t), ub = distance(b.t) * distance(b.t);
    const double u = ua + (ub - ua) * (-a.g) / (b.g - a.g);
    const double d = std::clamp(std::sqrt(std::max(u, 0.0)), distance(a.t), distance(b.t));
    return found(static_cast<float>(centre_ + dir_ * d), EndKind::rise);
  }
  return found(in.t, EndKind::unsure);
}

// The fraction of [lo, hi] where the profile, drawn straight between its
// points, lies within kFloor s^2 of the minimum.
double floor_fraction(const std::vector<ProfilePoint>& points, float lo, float hi, double s2) {
  std::vector<ProfilePoint> in;
  for (const ProfilePoint& p : points) {
    if (p.value >= lo && p.value <= hi) in.push_back(p);
  }
  if (in.size() < 2 || !(hi > lo)) return 0.0;
  const double level = kFloor * s2;
  double flat = 0.0;
  for (std::size_t i = 1; i < in.size(); ++i) {
    const double x0 = in[i - 1].value, x1 = in[i].value;
    const double y0 = in[i - 1].rise, y1 = in[i].rise;
    if (y0 <= level && y1 <= level) {
      flat += x1 - x0;
    } else if (y0 <= level || y1 <= level) {
      const double f = (level - std::min(y0, y1)) / std::fabs(y1 - y0);
      flat += f * (x1 - x0);
    }
  }
  return flat / (static_cast<double>(hi) - lo);
}

// Where to look next when the points (in any order) leave open whether
// more than half of [lo, hi] lies on the floor: the straight lines between
// them put at most half there, while the stretches next to a point on the
// floor, counted whole, are more than half. The middle of the widest such
// stretch; NaN when there is no doubt.
float floor_doubt(std::vector<ProfilePoint> points, float lo, float hi, double s2) {
  constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
  std::sort(points.begin(), points.end(),
            [](const ProfilePoint& a, const ProfilePoint& b) { return a.value < b.value; });
  if (!(hi > lo) || floor_fraction(points, lo, hi, s2) > 0.5) return kNone;
  std::vector<float> x{lo};
  std::vector<bool> on{false};
  for (const ProfilePoint& p : points) {
    if (p.value > lo && p.value < hi) {
      x.push_back(p.value);
      on.push_back(p.rise <= kFloor * s2);
    }
  }
  x.push_back(hi);
  on.push_back(false);
  double most = 0.0, widest = 0.0;
  float middle = kNone;
  for (std::size_t i = 1; i < x.size(); ++i) {
    if (!on[i - 1] && !on[i]) continue;
    const double w = static_cast<double>(x[i]) - x[i - 1];
    most += w;
    if (on[i - 1] != on[i] && w > widest) {
      widest = w;
      middle = x[i - 1] + (x[i] - x[i - 1]) / 2.0f;
    }
  }
  return most > 0.5 * (static_cast<double>(hi) - lo) ? middle : kNone;
}

Shape shape_of(const ProfileScan& r, int k) {
  if (!r.trusted(k)) return Shape::unknown;
  const float lo = r.interval[k][0], hi = r.interval[k][1];
  if (!std::isfinite(lo) || !std::isfinite(hi)) return Shape::asymmetric;
  if (floor_fraction(r.profile[k], lo, hi, r.s2) > 0.5) return Shape::flat;
  if (r.end[k][0] != EndKind::rise || r.end[k][1] != EndKind::rise) return Shape::asymmetric;
  // The refined value within a tenth of the half-width of the middle.
  const double c = r.refined[k];
  const double below = c - lo, above = hi - c;
  if (std::fabs(above - below) > 0.1 * (above + below)) return Shape::asymmetric;
  // Every point well inside rises as the square of its distance from the
  // middle of the interval (the first looks lie a little high).
  const double middle = 0.5 * (static_cast<double>(lo) + hi), half = middle - lo;
  for (const ProfilePoint& p : r.profile[k]) {
    const double d = (p.value - middle) / half;
    if (std::fabs(d) < 0.3 || std::fabs(d) > 1.0) continue;
    if (std::fabs(p.rise / r.s2 - d * d) > 0.2) return Shape::asymmetric;
  }
  return Shape::parabolic;
}

// The ends again for a lower point met on the way: from the profile points
// already measured, at the level of the lower S. False when the points do
// not pin an end as closely as a search would, or an end is not one to
// move this way, or the point lies outside an interval.
bool relevel(ProfileScan& r, const Point3& low, double low_s, double dof) {
  const double drop = r.s_min - low_s;
  const double s2 = low_s / dof;
  const double target = s2 - drop;  // the new level in the old rise
  ProfileScan n = r;
  for (int k = 0; k < 3; ++k) {
    if (r.held[k]) continue;
    if (!(low[k] >= r.interval[k][0] && low[k] <= r.interval[k][1])) return false;
    for (int side = 0; side < 2; ++side) {
      const double dir = side == 0 ? -1.0 : 1.0;
      const double c = low[k];
      const auto dist = [&](float t) { return dir * (static_cast<double>(t) - c); };
      const EndKind kind = r.end[k][side];
      if (kind == EndKind::open) continue;
      if (kind == EndKind::zero_width || kind == EndKind::unsure) return false;
      if (kind == EndKind::wall || kind == EndKind::limit) {
        // The point inside the end stays inside.
        for (const ProfilePoint& p : r.profile[k]) {
          if (p.value == r.interval[k][side] && !(p.rise < target)) return false;
        }
        continue;
      }
      const ProfilePoint* b = nullptr;
      for (const ProfilePoint& p : r.profile[k]) {
        if (dist(p.value) > 0.0 && p.rise >= target && (b == nullptr || dist(p.value) < dist(b->value))) {
          b = &p;
        }
      }
      if (b == nullptr) return false;
      ProfilePoint a{low[k], -drop};
      for (const ProfilePoint& p : r.profile[k]) {
        if (dist(p.value) > dist(a.value) && dist(p.value) < dist(b->value) && p.rise < target) a = p;
      }
      if (dist(b->value) - dist(a.value) > 2.0 * kEndTolerance * dist(b->value)) return false;
      const double ua = dist(a.value) * dist(a.value), ub = dist(b->value) * dist(b->value);
      const double u = ua + (ub - ua) * (target - a.rise) / (b->rise - a.rise);
      const double d = std::clamp(std::sqrt(std::max(u, 0.0)), dist(a.value), dist(b->value));
      n.interval[k][side] = static_cast<float>(c + dir * d);
    }
    for (ProfilePoint& p : n.profile[k]) p.rise += drop;
  }
  n.refined = low;
  n.s_min = low_s;
  n.s2 = s2;
  r = std::move(n);
  return true;
}

ProfileScan scan_from(const SumOfSquares& s, const Point3& start, int points,
                      const ScanOptions& options) {
  ProfileScan r;
  if (points < 4) {
    r.why = "fewer than 4 lab points";
    return r;
  }
  if (!in_box(start)) {
    r.why = "the best point lies outside the model's domain (W1 > 0, beta in [-1, 2])";
    return r;
  }
  // The residual variance's degrees of freedom: the points less the
  // parameters fitted.
  r.held = options.held;
  const double dof =
      points - static_cast<double>(3 - std::count(r.held.begin(), r.held.end(), true)) -
      options.inner;
  Scanner scan(s);
  const double s_start = scan.at(start);
  r.s_start = s_start;
  r.evaluations = scan.evaluations();
  if (!(s_start < kInf)) {
    r.why = "S is not finite at the best point";
    return r;
  }
  if (!(s_start > 0.0)) {
    r.why = "S is 0 at the best point, so there is no residual variance to scale by";
    return r;
  }
  const auto level_at = [&](const Point3& p, double s_p) {
    constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
    Level c{p, s_p, s_p / dof, {}, {{{kNone, kNone}, {kNone, kNone}, {kNone, kNone}}},
            0.0f, options.held};
    for (int k = 0; k < 3; ++k) c.step[k] = c.held[k] ? 0.0f : scan.probe(p, s_p, c.s2, k);
    if (!c.held[0] && !c.held[1] && !c.held[2]) {
      Point3 same = p, apart = p;
      same[1] += c.step[1];
      same[2] += c.step[2];
      apart[1] += c.step[1];
      apart[2] -= c.step[2];
      const double a = scan.at(same), b = scan.at(apart);
      if (a < kInf || b < kInf) c.diagonal = a <= b ? 1.0f : -1.0f;
    }
    // Spread of S the inner searches stop at: a few hundredths of s^2.
    c.ftol = static_cast<float>(std::max(kSpread * c.s2 / s_p, 1e-6));
    return c;
  };
  {
    Point3 polished = start;
    // A fit stopped short is finished here first: restarts until one gains
    // less than a twentieth of s^2.
    scan.minimise(polished, -1, level_at(start, s_start), kPolish);
  }

  // An S of its own for each further thread.
  const int threads =
      options.another ? std::clamp(options.threads, 1, 6) : 1;
  std::vector<SumOfSquares> own;
  for (int i = 1; i < threads; ++i) own.push_back(options.another());
  r.threads = threads;

  long ends_evaluations = 0;
  std::optional<Level> last;
  std::array<Sample, 6> inside{};
  Point3 low = scan.low();
  double low_s = scan.low_s();
  for (int pass = 0; pass < kPasses; ++pass) {
    if (pass > 0) {
      // The lower point met is seldom the lowest near it: polished first.
      scan.minimise(low, -1, level_at(low, low_s), kPolish);
      if (scan.low_s() < low_s) {
        low = scan.low();
        low_s = scan.low_s();
      }
    }
    Level c = level_at(low, low_s);
    last = c;
    if (pass > 0) c.hint = r.interval;
    std::array<EndFound, 6> ends;
    std::atomic<int> next{0};
    const auto work = [&](const SumOfSquares& mine) {
      for (int task; (task = next.fetch_add(1)) < 6;) {
        if (c.held[task / 2]) continue;
        Scanner scanner(mine);
        ends[static_cast<std::size_t>(task)] =
            EndSearch(scanner, c, task / 2, task % 2 == 0 ? -1 : 1).run();
      }
    };
    {
      // What S throws on a helper thread is thrown again here, after the join.
      std::vector<std::exception_ptr> thrown(own.size());
      {
        std::vector<std::jthread> helpers;
        helpers.reserve(own.size());
        for (std::size_t h = 0; h < own.size(); ++h) {
          helpers.emplace_back([&, h] {
            try {
              work(own[h]);
            } catch (...) {
              thrown[h] = std::current_exception();
            }
          });
        }
        work(s);
      }
      for (const std::exception_ptr& e : thrown) {
        if (e) std::rethrow_exception(e);
      }
    }
    r.refined = c.centre;
    r.s_min = c.s_min;
    r.s2 = c.s2;
    for (int task = 0; task < 6; ++task) {
      const EndFound& e = ends[static_cast<std::size_t>(task)];
      const int k = task / 2, side = task % 2;
      if (r.held[k]) {
        r.interval[k][side] = std::numeric_limits<float>::quiet_NaN();
        continue;
      }
      r.interval[k][side] = e.value;
      r.end[k][side] = e.kind;
      r.wall[k][side] = e.kind == EndKind::wall;
      if (side == 0) r.profile[k].clear();
      r.profile[k].insert(r.profile[k].end(), e.points.begin(), e.points.end());
      ends_evaluations += e.evaluations;
      inside[static_cast<std::size_t>(task)] = e.inside;
      if (e.low_s < low_s) {
        low_s = e.low_s;
        low = e.low;
      }
    }
    // A point notably lower than the centre moves the intervals: a little
    // lower, the ends are found again from the profile already measured;
    // else the scan is made again around it.
    if (!(low_s < c.s_min - kLower * c.s2)) break;
    if (low_s >= c.s_min - kRelevel * c.s2 && relevel(r, low, low_s, dof)) break;
    if (pass == kPasses - 1) {
      for (int k = 0; k < 3; ++k) r.end[k] = {EndKind::unsure, EndKind::unsure};
    }
  }
  // The end searches leave few points well inside an interval, often none
  // between the refined value and a point near an end, so a floor and a
  // parabola can look alike there. While the points leave the floor's
  // extent in doubt, the profile is searched in the middle of the widest
  // stretch from a point on the floor to one above it (at most kFloorLooks
  // times), from the inner parameters on the line from the centre to the
  // farthest point met inside on that side.
  for (int k = 0; k < 3 && last; ++k) {
    const auto settled = [](EndKind e) {
      return e == EndKind::rise || e == EndKind::wall || e == EndKind::limit;
    };
    if (r.held[k] || !settled(r.end[k][0]) || !settled(r.end[k][1])) continue;
    const float lo = r.interval[k][0], hi = r.interval[k][1];
    for (int look = 0; look < kFloorLooks; ++look) {
      std::vector<ProfilePoint> points = r.profile[k];
      points.push_back({r.refined[k], 0.0});
      const float t = floor_doubt(points, lo, hi, r.s2);
      if (std::isnan(t) || t == r.refined[k]) break;
      const std::size_t task = static_cast<std::size_t>(2 * k) + (t < r.refined[k] ? 0U : 1U);
      const Sample& far = inside[task];
      Point3 q = clamped(on_line(r.refined, r.refined[k], far.p, far.t, t, k));
      q[k] = t;
      const double v = scan.minimise(q, k, *last, kFloorLook);
      if (!(v < kInf)) break;
      r.profile[k].push_back({t, v - r.s_min});
    }
  }
  for (int k = 0; k < 3; ++k) {
    r.profile[k].push_back({r.refined[k], 0.0});
    std::sort(r.profile[k].begin(), r.profile[k].end(),
              [](const ProfilePoint& a, const ProfilePoint& b) { return a.value < b.value; });
  }
  r.done = true;
  for (int k = 0; k < 3; ++k) {
    // S rising by s^2 within one float step on one side only is a wall at
    // the refined value (the minimum lies against it); on both sides the
    // interval has no width to give.
    auto& e = r.end[k];
    if ((e[0] == EndKind::zero_width) != (e[1] == EndKind::zero_width)) {
      for (EndKind& kind : e) {
        if (kind == EndKind::zero_width) kind = EndKind::wall;
      }
    }
    r.wall[k] = {e[0] == EndKind::wall, e[1] == EndKind::wall};
    r.shape[k] = shape_of(r, k);
  }
  r.moved = s_start - r.s_min > r.s2;
  r.evaluations = scan.evaluations() + ends_evaluations;
  return r;
}

}  // namespace

const char* name(EndKind kind) {
  switch (kind) {
    case EndKind::rise: return "rise";
    case EndKind::wall: return "wall";
    case EndKind::limit: return "limit";
    case EndKind::open: return "open";
    case EndKind::zero_width: return "zero width";
    case EndKind::unsure: return "unsure";
  }
  return "";
}

const char* name(Shape shape) {
  switch (shape) {
    case Shape::parabolic: return "parabolic";
    case Shape::flat: return "flat";
    case Shape::asymmetric: return "asymmetric";
    case Shape::unknown: return "unknown";
  }
  return "";
}

bool ProfileScan::trusted(int k) const {
  if (!done || held[k]) return false;
  for (EndKind e : end[k]) {
    if (e == EndKind::zero_width || e == EndKind::unsure) return false;
  }
  return true;
}

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

ScanOptions scan_options(const FitState& state, const std::array<bool, 3>& held, int threads) {
  ScanOptions o;
  o.held = held;
  o.inner = state.config.scale == Scale::fitted ? 2 : 0;
  auto copy = std::make_shared<const FitState>(state);
  o.another = [copy] { return sum_of_squares(*copy); };
  o.threads = threads > 0 ? threads : static_cast<int>(std::thread::hardware_concurrency());
  return o;
}

ProfileScan profile_scan(const SumOfSquares& s, const Point3& start, int points,
                         const ScanOptions& options) {
  const auto began = std::chrono::steady_clock::now();
  ProfileScan r = scan_from(s, start, points, options);
  r.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
  return r;
}

}  // namespace momfit
