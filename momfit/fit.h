// One whole momentum fit as a library call: the starting simplex, both
// minimisations, the restart around the best point, the best point (block
// one) and the profile intervals. The call writes no unit, no file and no
// window and never ends the program; what a run shows on the way (the
// curve, the vertex values, the iteration limit) goes to an observer, and a
// fault comes back in the result.
//
//   FitInput in;  // answers, lab data, profile, masses
//   ...
//   const FitResult r = fit(in, &observer);
//   if (r.outcome == FitOutcome::refused) complain(r.message);
#pragma once

#include <array>
#include <atomic>
#include <string>
#include <vector>

#include "momfit/blocks.h"
#include "momfit/model/phi2.h"
#include "momfit/profile_scan.h"

namespace momfit {

// What a fit is given: the dialogue's answers, the two files' contents and
// the fixed choices of the run.
struct FitInput {
  float e0 = 0.0f;    // starting E0 (eV)
  float w1 = 0.0f;    // starting W1 (eV)
  float beta = 0.0f;  // starting beta
  // The initial changes in per cent, in the dialogue's order: E0, W1, beta.
  std::array<float, 3> changes{};
  float tolerance = 0.0f;  // the minimiser's relative spread

  // The lab pairs: momenta (kg m/s, increasing) and probabilities; at most
  // kMaxLab, at least 4.
  std::vector<float> momentum, probability;
  // The instrument response, lags in wrap-around order; 1 to kMaxProfile values.
  std::vector<float> profile;

  // The fragment masses, the model's scale and cross term; config.profile
  // names the profile.
  FitConfig config;
  std::string lab_file;  // names the lab data in messages and results ("" for none)
  // W1, beta, E0 held at their start values (in the scan's order).
  std::array<bool, 3> fixed{};
  bool intervals = true;  // scan the profile intervals after the fit
  // A request to stop, read at every evaluation of the fit and of its scan
  // (on every thread): once true, the fit ends within an evaluation with
  // FitOutcome::cancelled and no result. Null: never stopped.
  const std::atomic<bool>* stop = nullptr;
};

// How a fit ended.
enum class FitOutcome {
  converged,        // both minimisations met the tolerance
  not_converged,    // a minimisation ended without meeting it (no way downhill)
  iteration_limit,  // a minimisation stopped at the iteration limit
  no_finite_chi2,   // no evaluation gave a chi-square below 1.0E38: no fit result
  refused,          // the input cannot be fitted; message says why, nothing was evaluated
  cancelled,        // FitInput::stop was set: ended early, no fit result
};

// Which point of a run is its answer.
enum class AnswerPoint {
  best,     // block one: no scan was made
  refined,  // the profile scan's refined point
};

// The answer of a run: the lowest S it found, the refined point when the
// scan ran, block one otherwise.
struct Answer {
  AnswerPoint point = AnswerPoint::best;
  float w1 = 0.0f, beta = 0.0f, e0 = 0.0f;
  float chi2 = 0.0f;  // the chi-square there: S / (nlab - 3)^2
  // The line the model curve is put onto the lab data with there,
  // probability = base + factor curve: the fitted scale's least-squares
  // values; with the designed scale the ones its two targets set (base the
  // first lab value, factor (largest lab value - base) / the curve's largest).
  float base = 0.0f, factor = 0.0f;
};

// "best" or "refined", as the results file names the point.
constexpr const char* name(AnswerPoint p) { return p == AnswerPoint::best ? "best" : "refined"; }

// What a fit found.
struct FitResult {
  FitOutcome outcome = FitOutcome::refused;
  std::string message;  // when refused: why, naming the value at fault
  BestPoint best;       // block one: the lowest chi-square of every evaluation
  ProfileScan scan;     // the intervals and refined point (scan.done false when not made)
  Answer answer;        // what the run answers: see Answer
  long evaluations = 0; // of the fit itself, the scan's not counted
};

// The stages of a fit that a front end marks on the terminal.
enum class FitStage {
  minimise,  // a simplex is evaluated; its minimisation begins
  restart,   // the first minimisation ended; the restart simplex comes next
};

// What a fit hands out besides each evaluation (EvaluationObserver): the
// value at each vertex of the two starting simplexes, the stages, and the
// choice of going on at the iteration limit. Every member has a default
// that shows nothing, so an observer overrides only what it needs.
class FitObserver : public EvaluationObserver {
 public:
  void trouble(std::string_view /*message*/) override {}
  void erase_curve(std::span<const float> /*x*/, std::span<const float> /*y*/) override {}
  void draw_curve(std::span<const float> /*x*/, std::span<const float> /*y*/) override {}
  // The chi-square at one vertex of a starting simplex, as it is evaluated.
  virtual void vertex(float /*chi2*/) {}
  virtual void stage(FitStage /*stage*/) {}
  // A minimisation reached the iteration limit: true resumes it (the limit
  // comes back before each further step), false ends it there.
  virtual bool resume_at_limit() { return false; }

 protected:
  ~FitObserver() = default;
};

// Checks in as fit() does before it evaluates anything: "" when the input
// can be fitted, otherwise why not (fewer than 4 lab pairs, 6 with the
// fitted scale, more than
// kMaxLab, no profile value or more than kMaxProfile, momenta not
// increasing, values not finite, masses not positive).
std::string check(const FitInput& in);

// The fit state a fit of in starts from (s zero before): the lab data, the
// profile, the masses and E0; for an Objective of the caller's own on the
// same data (the model as a cost function). in must pass check().
void fill_state(const FitInput& in, FitState& s);

// Runs one fit of in. observer may be null (nothing shown, the iteration
// limit ends a minimisation, troubles ignored). Reentrant: two threads may
// fit at once, each with its own input and observer.
FitResult fit(const FitInput& in, FitObserver* observer = nullptr);

}  // namespace momfit
