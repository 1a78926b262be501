// The objective of the momentum fit: one parameter vector in, the chi-square
// of the model against the lab data out. What an evaluation has to show (the
// model curve, the troubles of the numerical kit) goes to an observer that
// the caller connects; the model itself draws and waits for nothing.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "momfit/blocks.h"
#include "momfit/model/stages.h"
#include "recordio/arrays.h"

namespace momfit {

// What one evaluation hands out, in this order within the call: each
// trouble of the interpolation as it comes back from rebin, then the curve
// of the previous evaluation to erase and the new curve to draw (both nlab
// points, x the lab momenta), and last the evaluation itself. Every call of
// Objective makes exactly one erase_curve, one draw_curve and one evaluated
// call; the new curve's values are only valid during the call.
class EvaluationObserver {
 public:
  virtual void trouble(std::string_view message) = 0;
  virtual void erase_curve(std::span<const float> x, std::span<const float> y) = 0;
  virtual void draw_curve(std::span<const float> x, std::span<const float> y) = 0;
  // x (4 values), its chi-square, and block one as this evaluation left it
  // (the best so far): what the evaluation log records.
  virtual void evaluated(std::span<const float> /*x*/, float /*chi2*/,
                         const BestPoint& /*best*/) {}

 protected:
  ~EvaluationObserver() = default;
};

// The work tables as the last call left them: 180 probabilities and the
// momenta of the two components (calcenergy2 only written when W2 is not
// 0.0), and the scaled curve now on the plot (nlab values, zeros before the
// first call).
struct Phi2Tables {
  std::span<const float> calcprob;     // probability at each of the 180 angles
  std::span<const float> calcenergy1;  // first component's momentum at each angle
  std::span<const float> calcenergy2;  // second component's (written only when W2 != 0)
  std::span<const float> ncalcprob;    // the scaled curve now on the plot
};

// phi2 as an object: it reads the lab data, the profile and the masses of
// the fit state it is given, keeps block one of that state up to date, and
// owns its work tables, which live from one call to the next (the curve now
// on the plot is erased by the next call). Made once per run; not reentrant.
class Objective {
 public:
  // state must outlive the objective; observer may be null (nothing shown,
  // troubles ignored). The model's scale and cross term are those of
  // state.config at each call.
  explicit Objective(FitState& state, EvaluationObserver* observer = nullptr);

  // x holds 4 values: W1 (eV), W2 (eV), beta, E0 (eV). Tabulates the angular
  // probability and the momenta over 180 angles, rebins them onto the lab
  // momenta of block two, adds the second component when W2 is not 0.0,
  // convolves with the instrument profile of block three (which stays as
  // loaded), scales the result, and returns chi2 of it: +infinity when a
  // momentum is not real or the model has no positive value (the fitted
  // scale: no spread, a trouble when the curve is not all zero). Updates
  // block one and hands the evaluation to the observer; writes nothing.
  float operator()(std::span<const float> x);

  Phi2Tables tables() const;

  // The line the last call put its curve onto the lab data with: the fitted
  // scale's least-squares base and factor; with the designed scale the
  // same line read from its targets (base probbase, factor (probmax -
  // probbase) / the curve's largest value; factor 0 when it had none).
  Scaling scaling() const;

 private:
  // The momenta (kg m/s) at the 180 angles of a fragment pair released with
  // width w; false, with NaN entries where it is not real.
  bool momenta(std::span<float> table, double w, double e0now, double mu) const;
  void report(int failures);

  FitState& s_;
  EvaluationObserver* observer_;
  Scaling line_;  // the fitted scale's, from the last call

  // What the angle tables need of each angle and nothing else: 3 u^2 - 1
  // (u the cosine of the angle from pi/2) and cos(phi). Made once.
  std::array<double, kTable> legendre_;
  std::array<double, kTable> cosphi_;

  // The work tables, one per stage, named by the stage that fills them
  // (r rebinned, t summed, c convolved, n normalised):
  recordio::Array1<float, kTable> calcprob_;       // probability at each angle
  recordio::Array1<float, kTable> calcenergy1_;    // first component's momentum at each angle
  recordio::Array1<float, kTable> calcenergy2_;    // second component's; only when W2 != 0
  recordio::Array1<float, kMaxLab> rcalcprob1_;    // calcprob on the lab momenta via calcenergy1
  recordio::Array1<float, kMaxLab> rcalcprob2_;    // the same via calcenergy2; only when W2 != 0
  recordio::Array1<float, kMaxLab> empty_;         // zeros: the second profile when W2 = 0
  recordio::Array1<float, kFftLength> tcalcprob_;  // summed profile, zero padded to the FFT length
  recordio::Array1<float, kMaxLab> ccalcprob_;     // convolved with the instrument profile
  recordio::Array1<float, kMaxLab> ncalcprob_;     // scaled onto the lab range: the curve shown
  ConvolveWork work_;                              // convolve's scratch
};

}  // namespace momfit
