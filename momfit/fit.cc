#include "momfit/fit.h"

#include <atomic>
#include <cmath>
#include <memory>
#include <span>

#include "momfit/numeric/amoeba.h"
#include "recordio/arrays.h"

namespace momfit {
namespace {

// Thrown by an evaluation once the caller asks the fit to stop; fit()
// catches it, so it never leaves the library.
struct Stopped {};

void stop_if_asked(const std::atomic<bool>* stop) {
  if (stop != nullptr && stop->load(std::memory_order_relaxed)) throw Stopped{};
}

// S that ends the scan (on whichever thread calls it) once a stop is asked.
SumOfSquares stoppable(SumOfSquares s, const std::atomic<bool>* stop) {
  if (stop == nullptr) return s;
  return [s = std::move(s), stop](const Point3& p) {
    stop_if_asked(stop);
    return s(p);
  };
}

// q := (q / 100) v, then q := q + v: a percentage change made a value.
void change(float& q, float v) {
  q = (q / 100.0f) * v;
  q = q + v;
}

// The fit's working values: the state and objective of the run, the
// simplex and its values, and how the minimisations ended.
class Run {
 public:
  Run(const FitInput& in, FitObserver* observer) : in_(in), observer_(observer) {
    fill_state(in, s_);
  }

  FitResult run();

 private:
  // phi2 at x, counted; a held parameter keeps its start value exactly,
  // whatever the simplex arithmetic made of it.
  float objective(std::span<const float> x) {
    ++evaluations_;
    stop_if_asked(in_.stop);
    if (!held_) return phi2_(x);
    std::array<float, 4> y{x[0], x[1], x[2], x[3]};
    if (in_.fixed[0]) y[0] = w1_;
    if (in_.fixed[1]) y[2] = beta_;
    if (in_.fixed[2]) y[3] = s_.two.e0;
    return phi2_(y);
  }
  void set_rows(float a, float b, float c, float d);
  void start_simplex();
  void restart_simplex();
  void evaluate_vertices();
  void minimise();
  Answer answer(const FitResult& r) const;

  const FitInput& in_;
  FitObserver* observer_;
  FitState s_;
  Objective phi2_{s_, observer_};
  bool held_ = in_.fixed[0] || in_.fixed[1] || in_.fixed[2];
  long evaluations_ = 0;

  // Starting values and changes (each change becomes a changed value).
  float w1_ = in_.w1, w2_ = 0.0f, beta_ = in_.beta;                      // starting W1, W2, beta
  float e0c_ = in_.changes[0], w1c_ = in_.changes[1], w2c_ = 0.0f,
        betac_ = in_.changes[2];                                         // % change, then value
  recordio::Matrix1<float, 5, 4> vertix;  // the simplex: row = vertex, column = W1 W2 beta E0
  recordio::Array1<float, 6> theresult;   // chi-square at each vertex (places 1 to 5)

  bool converged_ = true;  // every minimisation met its tolerance
  bool at_limit_ = false;  // one stopped at the iteration limit
};

void Run::set_rows(float a, float b, float c, float d) {
  for (int i = 1; i <= 5; ++i) {
    vertix(i, 1) = a;
    vertix(i, 2) = b;
    vertix(i, 3) = c;
    vertix(i, 4) = d;
  }
}

// The changed values and the starting simplex: vertex k > 1 moves parameter
// k - 1. Kept on purpose: W2's change is 0, so vertex 3 repeats vertex 1;
// so does the vertex of a held parameter.
void Run::start_simplex() {
  change(w1c_, w1_);
  change(w2c_, w2_);
  change(betac_, beta_);
  change(e0c_, s_.two.e0);
  if (in_.fixed[0]) w1c_ = w1_;
  if (in_.fixed[1]) betac_ = beta_;
  if (in_.fixed[2]) e0c_ = s_.two.e0;
  set_rows(w1_, w2_, beta_, s_.two.e0);
  vertix(2, 1) = w1c_;
  vertix(3, 2) = w2c_;
  vertix(4, 3) = betac_;
  vertix(5, 4) = e0c_;
}

// The restart simplex around the best point; its diagonal comes from the
// changed values, not from the best point (kept on purpose). A held
// parameter's vertex repeats the best point.
void Run::restart_simplex() {
  const BestPoint& one = s_.one;
  set_rows(one.bestw1, one.bestw2, one.bestbeta, one.beste0);
  vertix(2, 1) = in_.fixed[0] ? one.bestw1 : w1c_ - w1c_ / 10.0f;
  vertix(3, 2) = w2c_ - w2c_ / 12.0f;
  vertix(4, 3) = in_.fixed[1] ? one.bestbeta : betac_ - betac_ / 15.0f;
  vertix(5, 4) = in_.fixed[2] ? one.beste0 : e0c_ - e0c_ / 500.0f;
}

void Run::evaluate_vertices() {
  recordio::Array1<float, 4> corner;
  for (int i = 1; i <= 5; ++i) {
    for (int j = 1; j <= 4; ++j) corner(j) = vertix(i, j);
    theresult(i) = objective(corner.span());
    if (observer_ != nullptr) observer_->vertex(theresult(i));
  }
}

// One minimisation; at the iteration limit the observer chooses between
// going on and ending it with the best point so far.
void Run::minimise() {
  if (observer_ != nullptr) observer_->stage(FitStage::minimise);
  Amoeba search(vertix.view(), theresult.span(), 4, in_.tolerance);
  const auto f = [this](std::span<const float> x) { return objective(x); };
  Outcome end;
  while ((end = search.run(f)) == Outcome::iteration_limit) {
    if (observer_ == nullptr || !observer_->resume_at_limit()) {
      at_limit_ = true;
      break;
    }
  }
  converged_ = converged_ && end == Outcome::converged;
}

FitResult Run::run() {
  s_.one.bestchi2 = 1.0E38f;  // kept on purpose: a start, not infinity (9.99999968E+37)

  start_simplex();
  evaluate_vertices();
  minimise();

  // The restart simplex around the best point, built once.
  restart_simplex();
  if (observer_ != nullptr) observer_->stage(FitStage::restart);
  evaluate_vertices();
  minimise();

  FitResult r;
  r.best = s_.one;
  r.evaluations = evaluations_;
  if (!(s_.one.bestchi2 < 1.0E38f)) {
    r.outcome = FitOutcome::no_finite_chi2;
    r.message = "no evaluation gave a finite chi-square below 1.0E38; "
                "the best values printed are not fit results";
  } else if (at_limit_) {
    r.outcome = FitOutcome::iteration_limit;
  } else {
    r.outcome = converged_ ? FitOutcome::converged : FitOutcome::not_converged;
  }
  if (in_.intervals) {
    // The six ends on threads, each with an objective of its own.
    ScanOptions options = scan_options(s_, in_.fixed);
    options.another = [more = std::move(options.another), stop = in_.stop] {
      return stoppable(more(), stop);
    };
    r.scan = profile_scan(stoppable(sum_of_squares(s_), in_.stop),
                          {s_.one.bestw1, s_.one.bestbeta, s_.one.beste0}, s_.three.nlab, options);
  }
  r.answer = answer(r);
  return r;
}

// The answer's point, and its chi-square and line from an objective of its
// own on a copy of the state: no evaluation of the fit (nothing counted or
// shown, block one untouched).
Answer Run::answer(const FitResult& r) const {
  Answer a;
  a.point = r.scan.done ? AnswerPoint::refined : AnswerPoint::best;
  if (r.scan.done) {
    a.w1 = r.scan.refined[0];
    a.beta = r.scan.refined[1];
    a.e0 = r.scan.refined[2];
  } else {
    a.w1 = r.best.bestw1;
    a.beta = r.best.bestbeta;
    a.e0 = r.best.beste0;
  }
  a.chi2 = r.best.bestchi2;
  if (!(r.best.bestchi2 < 1.0E38f)) return a;  // nothing was evaluable
  const auto copy = std::make_unique<FitState>(s_);
  copy->one.bestchi2 = 1.0E38f;
  Objective phi2(*copy);
  a.chi2 = phi2(std::array<float, 4>{a.w1, 0.0f, a.beta, a.e0});
  const Scaling line = phi2.scaling();
  a.base = static_cast<float>(line.base);
  a.factor = static_cast<float>(line.factor);
  return a;
}

}  // namespace

void fill_state(const FitInput& in, FitState& s) {
  s.config = in.config;
  LabData& two = s.two;
  const int n = static_cast<int>(in.momentum.size());
  for (int i = 1; i <= n; ++i) {
    two.labmom(i) = in.momentum[i - 1];
    two.labprob(i) = in.probability[i - 1];
    // A running maximum from 0, as the lab file is read.
    if (two.labprob(i) > two.probmax) two.probmax = two.labprob(i);
  }
  two.probbase = two.labprob(1);
  two.e0 = in.e0;
  two.weight2 = 0.0f;
  s.three.nlab = n;
  const int m = static_cast<int>(in.profile.size());
  for (int k = 1; k <= m; ++k) s.three.prof(k) = in.profile[k - 1];
  s.three.nprof = m;
}

std::string check(const FitInput& in) {
  const std::string lab = in.lab_file.empty() ? "the lab data" : in.lab_file;
  const std::size_t n = in.momentum.size();
  constexpr int kMinLab = 4;  // the chi-square divides by nlab - 3
  if (in.probability.size() != n) {
    return lab + ": " + std::to_string(n) + " momenta but " +
           std::to_string(in.probability.size()) + " probabilities";
  }
  if (n < kMinLab) {
    return lab + ": " + std::to_string(n) + " lab points read, at least 4 are needed";
  }
  // The fitted scale fits two more values: s^2 divides by nlab - 5.
  if (in.config.scale == Scale::fitted && n < kMinLab + 2) {
    return lab + ": " + std::to_string(n) +
           " lab points read, at least 6 are needed with the fitted scale";
  }
  if (n > static_cast<std::size_t>(kMaxLab)) {
    return lab + ": " + std::to_string(n) + " lab points, at most " + std::to_string(kMaxLab) +
           " are fitted";
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(in.momentum[i]) || !std::isfinite(in.probability[i])) {
      return lab + ": pair " + std::to_string(i + 1) + " is not a pair of finite numbers";
    }
    if (i > 0 && !(in.momentum[i] > in.momentum[i - 1])) {
      return lab + ": momentum " + std::to_string(i + 1) +
             " is not above the one before; the lab momenta must increase";
    }
  }
  if (in.profile.empty()) return in.config.profile + ": no profile value read";
  if (in.profile.size() > static_cast<std::size_t>(kMaxProfile)) {
    return in.config.profile + ": " + std::to_string(in.profile.size()) +
           " profile values, at most " + std::to_string(kMaxProfile) + " are used";
  }
  if (!(in.config.m1 > 0.0f) || !(in.config.m2 > 0.0f) || !std::isfinite(in.config.m1) ||
      !std::isfinite(in.config.m2)) {
    return "the masses must be positive numbers";
  }
  return {};
}

FitResult fit(const FitInput& in, FitObserver* observer) {
  if (std::string why = check(in); !why.empty()) {
    FitResult r;
    r.message = std::move(why);
    return r;
  }
  // The state and work tables are large: on the heap, not a thread's stack.
  const auto run = std::make_unique<Run>(in, observer);
  try {
    return run->run();
  } catch (const Stopped&) {
    FitResult r;
    r.outcome = FitOutcome::cancelled;
    r.message = "the fit was stopped";
    return r;
  }
}

}  // namespace momfit
