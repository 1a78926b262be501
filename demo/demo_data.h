// Synthetic inputs for a momfit demonstration, as values: a lab momentum
// distribution computed from the model's physics at known parameters
// (convolved with a Gaussian response, scaled onto a flat base, with
// noise) and that response as an instrument profile. Nothing here writes a
// file: the program make_demo_data and the Python module write the texts
// where they are asked to.
#ifndef LABSUITE_DEMO_DEMO_DATA_H_
#define LABSUITE_DEMO_DEMO_DATA_H_

#include <string>

namespace demo {

inline constexpr int kMostPoints = 1000;  // what momfit reads

// The noise added to the lab values.
enum class Noise {
  none,      // the exact values
  uniform,   // the demo's own: within +-4 of every value after the first
  gaussian,  // standard deviation sigma on every value, the first included
};

// What a data set is made from. The defaults are the demo's own data.
struct DemoRequest {
  double w1 = 1.0;     // the truth: W1 (eV) > 0,
  double beta = 0.5;   // beta in [-1, 2],
  double e0 = 1422.0;  // E0 (eV) > 0
  int points = 300;    // 2 to kMostPoints lab points
  Noise noise = Noise::uniform;
  double sigma = 0.0;       // > 0 for Noise::gaussian
  unsigned seed = 0;        // the noise's sequence; 0 is the demo's own
  double m1 = 69.92425;     // the fragment pair, in the model's mass unit
  double m2 = 1.007825;     // (1.67353e-27 kg, the mass of 1H; not u), > 0
  bool pair_range = false;  // momenta over the range this pair reaches, with
                            // 15 % on each side, not 7.22E-21..7.28E-21
};

// The texts of the two files: "demo_lab.dat" (one "momentum probability"
// pair a line) and "newintrin_red" (the response, lags in wrap-around
// order). The same request gives the same bytes. The request must hold
// the ranges its comments give (the callers check them).
struct DemoFiles {
  std::string lab;
  std::string profile;
};
DemoFiles make_demo(const DemoRequest& request);

}  // namespace demo

#endif  // LABSUITE_DEMO_DEMO_DATA_H_
