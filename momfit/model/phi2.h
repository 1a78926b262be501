// The objective of the momentum fit: one parameter vector in, the chi-square
// of the model against the lab data out, the model curve redrawn on the way.
#pragma once

#include <span>

namespace momfit {

// x holds 4 values: W1 (eV), W2 (eV), beta, E0 (eV). Tabulates the angular
// probability and the momenta over 180 angles, rebins them onto the lab
// momenta of block two, adds the second component when W2 is not 0.0,
// convolves with the instrument profile of block three (which stays as
// loaded), erases the previous curve and draws the scaled new one, and
// returns chi2 of it: +infinity when a momentum is not real or the model has
// no positive value. Updates block one and logs one record on unit 7.
// Not reentrant: the work tables are static.
float phi2(std::span<const float> x);

// The work tables as the last call left them: 180 probabilities and the
// momenta of the two components (calcenergy2 only written when W2 is not
// 0.0), and the scaled curve now on the plot (nlab values, zeros before the
// first call).
struct Phi2Tables {
  std::span<const float> calcprob;
  std::span<const float> calcenergy1;
  std::span<const float> calcenergy2;
  std::span<const float> ncalcprob;
};
Phi2Tables phi2_tables();

}  // namespace momfit
