// What a routine of the numerical kit reports besides its results. The kit
// never stops or waits itself: the caller decides what the user sees (the
// program shows pause_text() and waits, at the moment the outcome comes back).
#pragma once

#include <string_view>

namespace momfit {

enum class Outcome {
  ok,                    // the work is done as asked
  converged,             // amoeba: the spread fell below the tolerance
  iteration_limit,       // amoeba: 5000 calls reached before the next step
  no_finite_value,       // amoeba: every vertex is +infinity, no way downhill
  too_many_coordinates,  // amoeba: more coordinates than the working storage holds
  equal_abscissae,       // polint: two equal abscissae among the points
  response_zero,         // convlv: deconvolution at a zero of the response's transform
  bad_isign,             // convlv: an isign other than +1 or -1
};

// The program's PAUSE text for an outcome that needs the user's attention
// ("ITMAX exceeded in amoeba", "failure in polint", ...); empty for the rest.
constexpr std::string_view pause_text(Outcome o) {
  switch (o) {
    case Outcome::iteration_limit: return "ITMAX exceeded in amoeba";
    case Outcome::equal_abscissae: return "failure in polint";
    case Outcome::response_zero: return "deconvolving at response zero in convlv";
    case Outcome::bad_isign: return "no meaning for isign in convlv";
    default: return {};
  }
}

}  // namespace momfit
