// The fit display: every plotting call of momfit goes through here. When the
// window cannot be opened, one line goes to standard error and every later
// call draws nothing, so the fit and its terminal output are unchanged.
#pragma once

#include <string_view>

namespace momfit::display {

// Opens "/xwindow", draws the frame, its labels and the lab points of blocks
// two and three (probmax sets the top of the frame).
void open_plot();

// Sets colour index `colour` and draws one `marker` at each of the first n
// points (x[i], y[i]); n = 0 draws nothing. Does nothing while no plot is open.
void plot_points(int colour, int n, const float* x, const float* y, int marker);

// The result steps: lab points redrawn in colour 1, then the labels and the
// texts (labinput of 99 characters, the others of 20) at their places.
void show_results(std::string_view labinput, std::string_view charw1,
                  std::string_view charw1cm, std::string_view charbeta,
                  std::string_view chare0, std::string_view charchi2);

// Closes the window (does nothing when none is open).
void close_plot();

// True while a window is open and drawing goes to it.
bool is_open();

}  // namespace momfit::display
