// The fit display: every plotting call of momfit goes through here. When the
// window cannot be opened, one line goes to standard error and every later
// call draws nothing, so the fit and its terminal output are unchanged.
#pragma once

#include <span>
#include <string_view>

#include "momfit/blocks.h"

namespace momfit {

// The one plot window of a run, owned by the driver.
class Plot {
 public:
  // Opens "/xwindow", draws the frame, its labels and the lab points of s
  // (probmax sets the top of the frame).
  void open(const FitState& s);

  // The model curve of an evaluation: the previous one redrawn in the
  // background colour (erased), the new one in colour 14, as marker 901 at
  // (x[i], y[i]); empty spans draw nothing. Colour 14 stays set. Nothing is
  // drawn while no plot is open.
  void erase_curve(std::span<const float> x, std::span<const float> y);
  void draw_curve(std::span<const float> x, std::span<const float> y);

  // The result steps: lab points of s redrawn in colour 1, then the labels
  // and the texts (labinput of 99 characters, the others of 20) at their
  // places below probmax.
  void show_results(const FitState& s, std::string_view labinput, std::string_view charw1,
                    std::string_view charw1cm, std::string_view charbeta,
                    std::string_view chare0, std::string_view charchi2);

  // Closes the window (does nothing when none is open).
  void close();

  // True while a window is open and drawing goes to it.
  bool is_open() const { return open_; }

 private:
  void curve(int colour, std::span<const float> x, std::span<const float> y);

  bool open_ = false;
};

}  // namespace momfit
