// The fit display: every plotting call of momfit goes through here. When the
// window cannot be opened, one line goes to standard error and every later
// call draws nothing on screen, so the fit and its terminal output are
// unchanged; the picture can still be written to a file at the end.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "momfit/blocks.h"
#include "momfit/profile_scan.h"

namespace momfit {

// A rectangle in world coordinates: momentum (kg m/s) along x, probability
// along y; x1 <= x2, y1 <= y2 for the boxes of texts.
struct Box {
  float x1 = 0.0f, x2 = 0.0f, y1 = 0.0f, y2 = 0.0f;
};

// A panel of the final picture: where it stands on the page (from 0 to 1
// across and up from the bottom left), the page's size in pixels, and the
// world coordinates it shows.
struct Panel {
  Box viewport;
  float page_width = 0.0f, page_height = 0.0f;
  Box world;
};

// The frame of the plot for the lab data of s: x from 7.22E-21 to 7.28E-21
// kg m/s when every lab momentum lies inside that window, otherwise the lab
// momenta's range widened by 2 % on each side; y from 2.0E-23 to
// probmax/100 + probmax.
Box frame_for(const FitState& s);

// text with every character that the plot library reads as markup
// (`\`, `_`, `^`, `{`, `}`) escaped, so that it is drawn as typed.
std::string literal(std::string_view text);

// The lab file name as the plot shows it: without trailing blanks, and a
// name longer than kNameShown characters cut to fit with "..." as its last
// three (never inside a UTF-8 character), so that a cut is seen.
constexpr std::size_t kNameShown = 99;
std::string shown_name(std::string_view labinput);

// The one plot window of a run, owned by the driver. It keeps what it needs
// to draw the picture again: the frame, the lab points of the fit state
// given to open() (which must outlive the plot), the last model curve and
// the result texts.
//
// The window follows the fit at the display's pace: a new curve reaches it
// when at least kFrameInterval has passed since the last frame; curves that
// come faster only replace the one kept, and flush() or show_results()
// draws the one kept last.
class Plot {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // About one refresh of a screen.
  static constexpr std::chrono::microseconds kFrameInterval{16000};

  // clock gives the time that paces the frames (a test may give its own).
  explicit Plot(Clock clock = std::chrono::steady_clock::now) : clock_(std::move(clock)) {}

  // Opens `device` (the X window unless a test names another), switches off
  // the library's page prompts, draws the frame, its labels and the lab
  // points of s in the frame of frame_for(s). An empty device opens no
  // window and says nothing; a picture can still be saved. A window that
  // does not open is said on standard error, after about (the lab file and
  // ": " when a batch run names it, so that many runs' lines tell apart).
  void open(const FitState& s, std::string_view device = "/xwindow",
            const std::string& about = "");

  // The model curve of an evaluation: nlab points at (x[i], y[i]), kept for
  // a later picture even while no window is open. When a frame is due the
  // window shows it: the curve shown before is erased (drawn again in the
  // background colour, or, at every 8th frame, by a buffered redraw of the
  // frame and the lab points, which ends the faint traces the first way
  // leaves), the new one drawn as filled dots in colour 14, and the lab
  // points drawn again over it. Colour 14 stays set.
  void draw_curve(std::span<const float> x, std::span<const float> y);
  // Shows the curve kept last, when the window does not show it yet.
  void flush();

  // The result steps on a clean picture, the final picture: two panels on
  // one momentum axis. Above, the fit: the frame (its x numbers left to the
  // panel below), the lab points and the last curve, no trace of an earlier
  // one; then the labels ("bestW1=" ..., or "refinedW1=" ... when refined:
  // the values are the refined point's, not block one's), the lab file name
  // (as shown_name() gives it, drawn as typed) and the values (20
  // characters each, trailing blanks dropped). Each value stands after its
  // label's drawn length; the texts stay inside the frame and apart (see
  // boxes()), in the designed rows where no lab point or curve dot crosses
  // them, otherwise moved as a block to the nearest place clear of both.
  // Each caption stands on an opaque plate that hides the curve; the lab
  // points are redrawn over the plates. Below, the residuals: lab less the
  // last curve at each lab momentum, over the same x range, around a grey
  // zero line, in a y range symmetric about zero that holds them all. The
  // fit's panel stays selected, so that the window's world coordinates are
  // the frame's.
  void show_results(std::string_view labinput, std::string_view charw1,
                    std::string_view charw1cm, std::string_view charbeta,
                    std::string_view chare0, std::string_view charchi2,
                    bool refined = false);

  // Writes the final picture (as show_results() draws it; without the
  // texts before show_results()) to a file device such as "fit.png/png".
  // The window, if any, stays selected afterwards. False when the device
  // could not be opened.
  bool save(std::string_view device);

  // The three profiles of scan, Delta S / s^2 against W1, beta and E0, one
  // panel each, on a file device such as "scan.png/png": the points the
  // scan measured joined by a line, the level Delta S = 1 (dashed), the
  // refined value (dotted), and each end as a vertical line, green for a
  // rise, red for a wall, blue for a domain limit, its kind written above
  // it. A parameter without an interval is drawn without ends. The window,
  // if any, stays selected afterwards. False when the device could not be
  // opened or the scan was not made.
  bool save_profiles(std::string_view device, const ProfileScan& scan);

  // Closes every device without a prompt (does nothing when none is open).
  void close();

  // True while a window is open and drawing goes to it.
  bool is_open() const { return window_ > 0; }
  const Box& frame() const { return frame_; }
  // The boxes of the eleven result texts as last drawn (window or file), in
  // the order of drawing: five labels, file name, five values.
  const std::vector<Box>& boxes() const { return boxes_; }
  // The final picture's fit panel and residual panel as last drawn.
  const std::array<Panel, 2>& panels() const { return panels_; }
  // Frames drawn on the window so far, and the y values of the curve it
  // shows (empty before the first frame).
  int frames() const { return frames_; }
  std::span<const float> shown() const { return {sy_.data(), static_cast<std::size_t>(sn_)}; }

 private:
  // A result text where it is drawn: its baseline's left end, the text
  // and its character height; the eleven in the order of drawing.
  struct Placed {
    float x = 0.0f, y = 0.0f;
    std::string text;
    float height = 0.0f;
  };
  using Layout = std::array<Placed, 11>;
  // The plate under each caption: the file name's box, then the union of
  // each label's box with its value's (W1, cm^-1, beta, E0, chi^2).
  static std::array<Box, 6> plates(const std::vector<Box>& boxes);
  Layout place(const Layout& designed, const Layout& compact, float xch, float ych) const;

  void set_up() const;
  void final_picture();
  void residuals();
  void background() const;
  void curve() const;
  void lab_points() const;
  void show_frame();  // one frame of the fit on the window
  void now_shown();   // the window shows the kept curve
  void texts();

  int window_ = 0;  // the library's id of the open window, 0 when none
  const FitState* s_ = nullptr;
  Box frame_;
  int n_ = 0;  // points of the kept curve
  std::array<float, kMaxLab> cx_{}, cy_{};
  int sn_ = 0;  // points of the curve the window shows
  std::array<float, kMaxLab> sx_{}, sy_{};
  bool pending_ = false;  // the kept curve is not on the window yet
  Clock clock_;
  std::chrono::steady_clock::time_point last_frame_{};
  int frames_ = 0;
  std::array<std::string, 11> texts_;  // in the order of drawing
  bool results_ = false;
  std::vector<Box> boxes_;
  std::array<Panel, 2> panels_{};
};

}  // namespace momfit
