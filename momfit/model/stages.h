// The processing stages of one model evaluation: rebin a probability table
// onto the lab momenta, add a second profile, convolve with the instrument
// profile, scale onto the lab range, and measure the chi-square.
//
// Arrays are floats with element i (from 1) at position i - 1. The stages
// keep no state of their own and allocate nothing: convolve's scratch and the
// transforms' tables are a ConvolveWork that its caller makes once and owns.
#pragma once

#include <array>
#include <span>

#include "momfit/blocks.h"
#include "momfit/numeric/fft.h"

namespace momfit {

// Length of the angle tables rebin searches, and the FFT length of convolve.
constexpr int kTable = 180;
constexpr int kFftLength = 1024;

// convolve's scratch and plan, kept by its caller across calls (making one
// allocates the plan's tables).
struct ConvolveWork {
  std::array<float, 2200> ans;  // the result (at least 2 x kFftLength values)
  // The response laid out afresh for every convolution: convlv rearranges the
  // array it is given, and the loaded profile must stay whole for the next one.
  std::array<float, kFftLength> response;
  std::array<float, 2 * kFftLength> fft;  // the transform of the profile
  FftPlan plan{kFftLength};               // the transforms' tables
};

// out(i) = the cubic through four table points around grid(i) (abscissa has
// kTable entries, ascending or descending), or 0.0 where grid(i) lies outside
// the table, for i = 1..n. Returns how many of the n interpolations met two
// equal abscissae among their four points (each one a "failure in polint"
// for the caller to report; that out(i) is the value reached so far).
[[nodiscard]] int rebin(std::span<const float> value, std::span<const float> abscissa,
                        std::span<float> out, std::span<const float> grid, int n);

// out(i) = weight * second(i) + first(i), i = 1..n.
void profadd(std::span<float> out, std::span<const float> first, std::span<const float> second,
             int n, float weight);

// out(1..n) = profile(1..n), zero padded to kFftLength points, circularly
// convolved with the m response values (lags 0, 1, .. in positions 1..(m+1)/2,
// lags -1, -2, .. counted down from position m; n, m <= kFftLength).
// profile needs room for kFftLength values: entries n+1.. are set to 0.0.
// The response is only read: every call convolves with all of it. A
// response whose largest magnitude is more than 2^kResponseBand from the
// profile's is first multiplied by the power of two response_shift gives,
// and the result divided by it again, so that the response's scale does not
// change the result beyond rounding.
void convolve(std::span<float> profile, std::span<float> out, std::span<const float> response,
              int n, int m, ConvolveWork& work);

// How far, in powers of two, the largest magnitudes of the response and of
// the profile may lie apart before convolve brings the response to the
// profile's size. Profiles near the model's size (the model is at most
// (1 + |beta|) / (2 pi)) stay at factor 1.
constexpr int kResponseBand = 4;

// The power of two convolve multiplies the response by: 0 when the largest
// magnitudes of profile(1..n) and response(1..m) lie within 2^kResponseBand
// of each other (or either has none, or one not finite), else the difference
// of their binary exponents.
int response_shift(std::span<const float> profile, std::span<const float> response, int n, int m);

// out(i) = (top - base) * in(i) / max + base, i = 1..n, max being the largest
// input value: the maximum maps onto top and zero onto base. Returns false,
// with out(i) = base everywhere, when n > 0 and no input value is positive
// (the model cannot be scaled).
bool normalise(std::span<const float> in, std::span<float> out, int n, float top, float base);

// The line a curve is put onto the lab values with: out = base + factor in.
struct Scaling {
  double base = 0.0;
  double factor = 0.0;
};

// How the least-squares scaling ended.
enum class Fitted {
  ok,
  zero,  // every input value is 0: the model lies outside the lab range
  flat,  // the input has no spread (all values alike): no factor to fit
};

// out(i) = base + factor in(i), i = 1..n, base and factor minimising the sum
// of (lab(i) - out(i))^2: the 2 x 2 normal equations, summed and solved in
// double. When the input has no spread the factor is undetermined: out(i)
// is the mean of lab, line is {that mean, 0}, and the result says why.
Fitted fit_scale(std::span<const float> in, std::span<const float> lab, std::span<float> out,
                 int n, Scaling& line);

// Chi-square of model(1..nlab) against s.two.labprob: the sum of
// ((labprob(i) - model(i)) / (nlab - 3))^2. +infinity instead when the model
// is not evaluable, when nlab = 3 or when the sum is NaN. When the value is
// strictly below bestchi2, block one of s takes it and x (W1, W2, beta, E0).
// Writes nothing: the caller logs the evaluation (log_record).
float chi2(std::span<const float> model, std::span<const float> x, FitState& s,
           bool evaluable = true);

// The evaluation log's record of one evaluation, one list-directed write on
// unit: bestw1, bestw2, bestbeta, beste0 of best, chi2total, bestchi2.
void log_record(int unit, float chi2total, const BestPoint& best);

}  // namespace momfit
