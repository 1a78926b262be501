// The residual plot of bandfit: every plotting call of the program is in
// this module, the only one that reaches the plotting library (loaded when
// a plot is drawn, not at start).
#pragma once

#include <string>
#include <string_view>

#include "bandfit/deck.h"
#include "bandfit/refine.h"

namespace bandfit {

// The plotting device that file's extension names: "png", "pdf", "svg" or
// "ps" for .png, .pdf, .svg, .ps (in any case); empty for any other name.
std::string_view plot_device(std::string_view file);

// Draws the residuals of a corrected run (s.outcome.kind completed):
// y2(i) - observed(i) of s against jlow(i) for lines i = 1..n of d, one colour per band, one marker
// per branch, hollow for a weight below 0.1, filled otherwise; a zero line,
// a legend beside the frame, and the two standard deviations of the fit of the fit
// in the title. The picture goes to a temporary file beside `file` (whose
// device plot_device names) and is renamed onto it when complete, so file
// ends up exactly at that name, or, on a fault, as it was. Returns the fault
// (naming file), empty when the plot was written.
std::string plot_residuals(const std::string& file, const Deck& d, const Summary& s);

// Loads the plotting library, which bandfit does only when it draws (see
// plot_library.cc); empty when it is there, otherwise why it is not.
std::string plot_library_fault();

}  // namespace bandfit
