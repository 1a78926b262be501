// The residual plot of bandfit: every plotting call of the program is in
// this module, the only one that reaches the plotting library (loaded when
// a plot is drawn, not at start: run/plot_library.h).
#pragma once

#include <string>
#include <string_view>

#include "bandfit/deck.h"
#include "bandfit/refine.h"

namespace bandfit {

// Draws the residuals of a corrected run (s.outcome.kind completed):
// y2(i) - observed(i) of s against jlow(i) for lines i = 1..n of d, one
// colour per band, one marker per branch, hollow for a weight below 0.1,
// filled otherwise; a zero line, a legend beside the frame, and the two
// standard deviations of the fit in the title. The picture is written as
// recordio::PictureFile writes one (the device by file's extension in any
// case; whole at exactly that name, or an earlier file left as it was).
// Returns false when it was not written, after "bandfit: cannot write
// FILE: reason" (the run's status is then 1).
bool plot_residuals(const std::string& file, const Deck& d, const Summary& s);

}  // namespace bandfit
