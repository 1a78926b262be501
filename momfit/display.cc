#include "momfit/display.h"

#include <cpgplot.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>
#include <string>

#include "recordio/recordio.h"
#include "run/plot_library.h"

namespace momfit {
namespace {

// The fixed frame in x (kg m/s) and its bottom in y.
constexpr float kLeft = 7.22E-21f;
constexpr float kRight = 7.28E-21f;
constexpr float kBottom = 2.0E-23f;
// The model curve's marker is 901, a small plotting symbol. The plotting
// library has no glyph 901 (it draws a letter about 10 pixels high there),
// so the curve is drawn with the library's own filled dot at a height that
// makes it about 3 pixels across in the window: a line of dots through
// which the lab points still show. The erase uses the same dot.
constexpr int kMarker = 17;
constexpr float kCurveHeight = 0.8f;
constexpr int kCurveColour = 14;
constexpr int kCleanEvery = 8;          // frames between full redraws of the window
constexpr float kFrameHeight = 1.5f;    // characters of the frame and axis labels
constexpr float kResultHeight = 0.75f;  // characters of the result texts

const char* const kXLabel = "Momentum(kgm/s)";
const char* const kYLabel = "Probability";
const char* const kResidualLabel = "lab - model";

// The final picture splits the standard viewport's height: the residuals
// take the lowest part, the fit the rest above a gap wide enough that the
// numbers of the two y axes (drawn along the axis) never meet.
constexpr float kResidualShare = 0.33f;
constexpr float kPanelGap = 0.05f;
constexpr float kResidualDot = 0.6f;           // height of the residuals' filled dots
constexpr float kResidualNumberHeight = 1.1f;  // the residual axis's numbers
constexpr float kResidualLabelHeight = 1.3f;   // and its label
constexpr int kZeroColour = 15;                // light grey

// The box that `text` takes when drawn with its baseline's left end at (x, y)
// at the current character height.
Box box_of(float x, float y, const std::string& text) {
  std::array<float, 4> xb{}, yb{};
  cpgqtxt(x, y, 0.0f, 0.0f, text.c_str(), xb.data(), yb.data());
  return {*std::min_element(xb.begin(), xb.end()), *std::max_element(xb.begin(), xb.end()),
          *std::min_element(yb.begin(), yb.end()), *std::max_element(yb.begin(), yb.end())};
}

std::string without_trailing_blanks(std::string_view text) {
  const std::size_t end = text.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1));
}

}  // namespace

std::string shown_name(std::string_view labinput) {
  std::string name = without_trailing_blanks(labinput);
  if (name.size() <= kNameShown) return name;
  std::size_t cut = kNameShown - 3;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return name.substr(0, cut) + "...";
}

Box frame_for(const FitState& s) {
  const float top = s.two.probmax / 100.0f + s.two.probmax;
  Box f{kLeft, kRight, kBottom, top};
  const int n = s.three.nlab;
  if (n == 0) return f;
  float lo = s.two.labmom(1), hi = lo;
  for (int i = 2; i <= n; ++i) {
    lo = std::min(lo, s.two.labmom(i));
    hi = std::max(hi, s.two.labmom(i));
  }
  if (lo >= kLeft && hi <= kRight) return f;
  // A single momentum still gets a frame of some width around it.
  const float margin = hi > lo ? 0.02f * (hi - lo) : 0.001f * std::abs(lo);
  f.x1 = lo - margin;
  f.x2 = hi + margin;
  return f;
}

std::string literal(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '_' || c == '^' || c == '{' || c == '}') out += '\\';
    out += c;
  }
  return out;
}

void Plot::open(const FitState& s, std::string_view device, const std::string& about) {
  s_ = &s;
  frame_ = frame_for(s);
  if (device.empty()) return;
  if (const std::string why = recordio::plot_library_fault(); !why.empty()) {
    recordio::complain(about + "cannot open the plot window: " + why +
                       "; the fit goes on without it");
    return;
  }
  if (cpgbeg(0, std::string(device).c_str(), 1, 1) != 1) {
    recordio::complain(about + "cannot open the plot window on " + std::string(device) +
                       "; the fit goes on without it");
    return;
  }
  cpgqid(&window_);
  set_up();
}

// The set-up on the device just opened: line width, the frame
// with its coordinate labels and the axis labels in the roman font, then
// the lab points; no "next page" prompt, neither at a new page nor when
// the device closes.
void Plot::set_up() const {
  cpgask(0);
  cpgslw(2);
  cpgsci(1);
  cpgsch(kFrameHeight);
  cpgscf(2);
  cpgenv(frame_.x1, frame_.x2, frame_.y1, frame_.y2, 0, 0);
  cpglab(kXLabel, kYLabel, " ");
  cpgscf(1);
  lab_points();
}

// What pgenv drew at set-up, on the page as it stands: the frame with its
// coordinate labels, the axis labels, then the lab points.
void Plot::background() const {
  cpgsci(1);
  cpgsch(kFrameHeight);
  cpgscf(2);
  cpgbox("BCNST", 0.0f, 0, "BCNST", 0.0f, 0);
  cpglab(kXLabel, kYLabel, " ");
  cpgscf(1);
  lab_points();
}

void Plot::lab_points() const {
  cpgsci(1);
  cpgpt(s_->three.nlab, s_->two.labmom.data(), s_->two.labprob.data(), 1);
}

void Plot::curve() const {
  cpgsci(kCurveColour);
  cpgsch(kCurveHeight);
  cpgpt(n_, cx_.data(), cy_.data(), kMarker);
}

// Evaluations come far faster than a screen can show them (hundreds a
// second), so only those that find a frame due reach the window; the rest
// only replace the kept curve. The driver, and show_results(), flush the
// last one.
void Plot::draw_curve(std::span<const float> x, std::span<const float> y) {
  n_ = static_cast<int>(std::min({x.size(), y.size(), cx_.size()}));
  std::copy_n(x.begin(), n_, cx_.begin());
  std::copy_n(y.begin(), n_, cy_.begin());
  pending_ = true;
  if (window_ == 0) return;
  const auto now = clock_();
  if (frames_ > 0 && now - last_frame_ < kFrameInterval) return;
  last_frame_ = now;
  show_frame();
}

void Plot::now_shown() {
  sn_ = n_;
  std::copy_n(cx_.begin(), n_, sx_.begin());
  std::copy_n(cy_.begin(), n_, sy_.begin());
  pending_ = false;
}

void Plot::flush() {
  if (window_ > 0 && pending_) {
    last_frame_ = clock_();
    show_frame();
  }
}

// Redrawing the shown curve in the background colour (the usual erase)
// leaves the anti-aliased edges of its dots behind, and a hole in each lab
// point it covered. So the lab points are drawn again after every frame,
// and every kCleanEvery-th frame the picture is cleared and drawn again
// instead. Either way the frame is buffered: it appears whole.
void Plot::show_frame() {
  const bool clean = frames_ % kCleanEvery == kCleanEvery - 1;
  cpgbbuf();
  if (clean) {
    cpgeras();
    background();
  } else {
    cpgsci(0);  // the background colour
    cpgsch(kCurveHeight);
    cpgpt(sn_, sx_.data(), sy_.data(), kMarker);
  }
  curve();
  lab_points();
  cpgsci(kCurveColour);
  cpgebuf();
  now_shown();
  ++frames_;
}

// The result texts in the current frame, at the current device's text
// sizes. Designed, the rows stand 100, 200, 400, 500 and 600 below probmax
// while they fit inside the frame, clear of each other (otherwise spread
// over the frame in the same proportions); each value follows the drawn
// length of its label; the left column starts a little inside the frame,
// the cm^-1 pair near the right edge. Where a lab point or the curve would
// cross a caption there, the block moves to the nearest place clear of
// both (see place()). Each caption, label and value, stands on one opaque
// plate of the background colour: the curve under it is hidden, and where
// no clear place exists the lab points are drawn over the plates, so that
// no lab point is lost.
void Plot::texts() {
  const Box& f = frame_;
  const float width = f.x2 - f.x1;
  const float inset = 0.03f * width;  // clear of the ticks inside the frame
  const float left = f.x1 + inset;
  const float right = f.x2 - inset;
  cpgsch(kResultHeight);
  cpgsci(1);

  const float p = s_->two.probmax;
  const float height = box_of(left, 0.0f, "bestW1=").y2 - box_of(left, 0.0f, "bestW1=").y1;
  float step = 100.0f;
  if (p - 6.0f * step - 0.5f * height < f.y1 || p - step + height > f.y2 ||
      step < 1.5f * height) {
    step = (p - f.y1) / 7.0f;
  }
  const auto row = [&](int k) { return p - static_cast<float>(k) * step; };
  const auto after = [](float x, float y, const std::string& label) {
    return box_of(x, y, label).x2;
  };

  const std::array<std::string, 11>& t = texts_;
  // Labels: W1, W1 in cm^-1, beta, E0, chi^2; then the file name; values.
  Layout designed{};
  designed[0] = {left, row(2), t[0], kResultHeight};
  designed[2] = {left, row(4), t[2], kResultHeight};
  designed[3] = {left, row(5), t[3], kResultHeight};
  designed[4] = {left, row(6), t[4], kResultHeight};
  designed[6] = {after(left, row(2), t[0]), row(2), t[6], kResultHeight};
  designed[8] = {after(left, row(4), t[2]), row(4), t[8], kResultHeight};
  designed[9] = {after(left, row(5), t[3]), row(5), t[9], kResultHeight};
  designed[10] = {after(left, row(6), t[4]), row(6), t[10], kResultHeight};

  // The file name, smaller when it would not fit across the frame.
  const float name_w = box_of(left, row(1), t[5]).x2 - left;
  designed[5] = {left, row(1), t[5],
                 name_w > right - left ? kResultHeight * (right - left) / name_w : kResultHeight};

  // The cm^-1 pair: at five sixths of the frame (7.27E-21 in the fixed
  // frame), moved left to end inside it, and down to the free row between
  // W1 and beta should it then meet the W1 pair. The compact block has it
  // there in any case: six rows in one column, which fits where the
  // designed rows, across the frame, cannot.
  const float label_w = box_of(0.0f, row(2), t[1]).x2 - box_of(0.0f, row(2), t[1]).x1;
  const float value_w = box_of(0.0f, row(2), t[7]).x2 - box_of(0.0f, row(2), t[7]).x1;
  float cm_x = std::min(f.x1 + width * 5.0f / 6.0f, right - label_w - value_w);
  float cm_y = row(2);
  const float w1_end = box_of(designed[6].x, row(2), t[6]).x2;
  if (cm_x < w1_end + inset) {
    cm_x = left;
    cm_y = row(3);
  }
  Layout compact = designed;
  designed[1] = {cm_x, cm_y, t[1], kResultHeight};
  designed[7] = {cm_x + label_w, cm_y, t[7], kResultHeight};
  compact[1] = {left, row(3), t[1], kResultHeight};
  compact[7] = {left + label_w, row(3), t[7], kResultHeight};

  cpgsch(kResultHeight);
  float xch = 0.0f, ych = 0.0f;
  cpgqcs(4, &xch, &ych);  // the character height in world units along x and y
  const Layout at = place(designed, compact, xch, ych);

  boxes_.clear();
  for (const Placed& a : at) {
    cpgsch(a.height);
    boxes_.push_back(box_of(a.x, a.y, a.text));
  }
  // Under each caption an opaque plate, a little larger than label and
  // value together, hides the curve, also in the gap between the two; the
  // lab points are drawn over the plates and the texts over everything.
  cpgsch(kResultHeight);
  cpgsfs(1);
  cpgsci(0);
  for (const Box& b : plates(boxes_)) {
    cpgrect(b.x1 - 0.15f * xch, b.x2 + 0.15f * xch, b.y1 - 0.15f * ych, b.y2 + 0.15f * ych);
  }
  lab_points();
  for (const Placed& a : at) {
    cpgsch(a.height);
    cpgtext(a.x, a.y, a.text.c_str());
  }
  cpgsch(kResultHeight);
}

std::array<Box, 6> Plot::plates(const std::vector<Box>& boxes) {
  const auto both = [&](std::size_t label, std::size_t value) {
    const Box& a = boxes[label];
    const Box& b = boxes[value];
    return Box{std::min(a.x1, b.x1), std::max(a.x2, b.x2), std::min(a.y1, b.y1),
               std::max(a.y2, b.y2)};
  };
  return {boxes[5], both(0, 6), both(1, 7), both(2, 8), both(3, 9), both(4, 10)};
}

// The caption block where it crosses the fewest lab points, then the
// fewest curve dots, and among those the nearest to the designed place:
// the designed layout where it is clear, otherwise either layout moved
// over a grid of the frame, every caption kept inside the frame. A dot
// counts as crossing a plate when it comes within half a character of it.
Plot::Layout Plot::place(const Layout& designed, const Layout& compact, float xch,
                         float ych) const {
  const Box& f = frame_;
  // Clear of the frame's ticks: a character's height from each edge.
  const float margin_x = xch, margin_y = ych;
  const int nlab = s_->three.nlab;
  struct Cost {
    long lab = 0, curve = 0;
    float distance = 0.0f;
    bool operator<(const Cost& o) const {
      return lab != o.lab ? lab < o.lab : curve != o.curve ? curve < o.curve
                                                           : distance < o.distance;
    }
  };
  const auto boxes_of = [&](const Layout& l, float dx, float dy) {
    std::vector<Box> b;
    b.reserve(l.size());
    for (const Placed& a : l) {
      cpgsch(a.height);
      b.push_back(box_of(a.x + dx, a.y + dy, a.text));
    }
    cpgsch(kResultHeight);
    return b;
  };
  const auto crossings = [&](std::span<const Box> plate, const float* x, const float* y, int n) {
    long count = 0;
    for (int i = 0; i < n; ++i) {
      for (const Box& b : plate) {
        if (x[i] > b.x1 - 0.5f * xch && x[i] < b.x2 + 0.5f * xch && y[i] > b.y1 - 0.5f * ych &&
            y[i] < b.y2 + 0.5f * ych) {
          ++count;
          break;
        }
      }
    }
    return count;
  };
  // Text boxes move with their texts: measured once, shifted after.
  const std::array<Box, 6> home_d = plates(boxes_of(designed, 0.0f, 0.0f));
  const std::array<Box, 6> home_c = plates(boxes_of(compact, 0.0f, 0.0f));
  // The cost of the plates `which` of home moved by (dx, dy); false where
  // one would leave the frame or meet a plate of `apart`.
  const auto cost = [&](const std::array<Box, 6>& home, std::span<const int> which, float dx,
                        float dy, std::span<const Box> apart, Cost& c) {
    std::array<Box, 6> plate{};
    int n = 0;
    for (const int k : which) {
      const Box& h = home[static_cast<std::size_t>(k)];
      const Box b{h.x1 + dx, h.x2 + dx, h.y1 + dy, h.y2 + dy};
      if (b.x1 < f.x1 + margin_x || b.x2 > f.x2 - margin_x || b.y1 < f.y1 + margin_y ||
          b.y2 > f.y2 - margin_y) {
        return false;
      }
      for (const Box& o : apart) {
        if (b.x1 < o.x2 + xch && o.x1 < b.x2 + xch && b.y1 < o.y2 + ych && o.y1 < b.y2 + ych) {
          return false;
        }
      }
      plate[static_cast<std::size_t>(n++)] = b;
    }
    const std::span<const Box> moved(plate.data(), static_cast<std::size_t>(n));
    c.lab = crossings(moved, s_->two.labmom.data(), s_->two.labprob.data(), nlab);
    c.curve = crossings(moved, cx_.data(), cy_.data(), n_);
    c.distance = std::fabs(dx) / (f.x2 - f.x1) + std::fabs(dy) / (f.y2 - f.y1);
    return true;
  };
  struct Move {
    Cost cost;
    const Layout* layout = nullptr;  // null: no place inside the frame
    float dx = 0.0f, dy = 0.0f;
  };
  // The least costly move of the plates `which`, in either layout, over a
  // grid of the frame.
  const auto search = [&](std::span<const int> which, std::span<const Box> apart,
                          const Layout* only) {
    constexpr int kSteps = 40;  // grid steps across the frame, each way
    const float sx = (f.x2 - f.x1) / kSteps, sy = (f.y2 - f.y1) / kSteps;
    Move best;
    best.cost.lab = std::numeric_limits<long>::max();
    for (const auto& [layout, home] : {std::pair{&designed, &home_d}, std::pair{&compact, &home_c}}) {
      if (only != nullptr && layout != only) continue;
      for (int i = -kSteps; i <= kSteps; ++i) {
        for (int j = -kSteps; j <= kSteps; ++j) {
          Cost c;
          const float dx = static_cast<float>(i) * sx, dy = static_cast<float>(j) * sy;
          if (cost(*home, which, dx, dy, apart, c) && c < best.cost) best = {c, layout, dx, dy};
        }
      }
    }
    return best;
  };
  const auto clear = [](const Cost& c) { return c.lab == 0 && c.curve == 0; };
  // The layout of `rows` with its five values moved as `rows` says and the
  // file name as `name` says.
  const auto moved = [](const Move& rows, const Move& name) {
    Layout out = *rows.layout;
    for (std::size_t k = 0; k < out.size(); ++k) {
      const Move& by = k == 5 ? name : rows;
      out[k].x += by.dx;
      out[k].y += by.dy;
    }
    return out;
  };

  constexpr std::array<int, 6> kAll{0, 1, 2, 3, 4, 5};
  constexpr std::array<int, 5> kValues{1, 2, 3, 4, 5};
  constexpr std::array<int, 1> kName{0};
  Cost here;
  if (cost(home_d, kAll, 0.0f, 0.0f, {}, here) && clear(here)) return designed;
  const Move whole = search(kAll, {}, nullptr);
  if (whole.layout != nullptr && clear(whole.cost)) return moved(whole, whole);
  // No clear place for the whole block (a long name spans the frame): the
  // five values as a block, and the name on its own apart from them.
  const Move values = search(kValues, {}, nullptr);
  if (values.layout != nullptr) {
    const std::array<Box, 6>& home = values.layout == &designed ? home_d : home_c;
    std::array<Box, 5> taken{};
    for (std::size_t k = 0; k < taken.size(); ++k) {
      const Box& h = home[k + 1];
      taken[k] = {h.x1 + values.dx, h.x2 + values.dx, h.y1 + values.dy, h.y2 + values.dy};
    }
    const Move name = search(kName, taken, values.layout);
    // Apart only for fewer crossings: on a tie the block stays whole.
    const Cost apart{values.cost.lab + name.cost.lab, values.cost.curve + name.cost.curve,
                     whole.cost.distance};
    if (name.layout != nullptr && (whole.layout == nullptr || apart < whole.cost)) {
      return moved(values, name);
    }
  }
  if (whole.layout == nullptr) return designed;  // nothing fits inside the frame: as designed
  return moved(whole, whole);
}

// The final picture on the page as it stands (cleared, or just opened):
// the residual panel first, then the fit's, which stays selected.
void Plot::final_picture() {
  cpgsci(1);
  cpgsch(kFrameHeight);
  cpgvstd();  // its margins follow the character height
  float vx1 = 0.0f, vx2 = 0.0f, vy1 = 0.0f, vy2 = 0.0f;
  cpgqvp(0, &vx1, &vx2, &vy1, &vy2);
  const float height = vy2 - vy1;
  const float split = vy1 + kResidualShare * height;
  float page_w = 0.0f, page_h = 0.0f, unused = 0.0f;
  cpgqvsz(3, &unused, &page_w, &unused, &page_h);
  const auto record = [&](Panel& p) {
    cpgqvp(0, &p.viewport.x1, &p.viewport.x2, &p.viewport.y1, &p.viewport.y2);
    cpgqwin(&p.world.x1, &p.world.x2, &p.world.y1, &p.world.y2);
    p.page_width = page_w;
    p.page_height = page_h;
  };

  cpgsvp(vx1, vx2, vy1, split);
  residuals();
  record(panels_[1]);

  // The fit: as set up, but the x numbers and label belong to the panel
  // below.
  cpgsvp(vx1, vx2, split + kPanelGap * height, vy2);
  cpgswin(frame_.x1, frame_.x2, frame_.y1, frame_.y2);
  cpgsci(1);
  cpgsch(kFrameHeight);
  cpgscf(2);
  cpgbox("BCST", 0.0f, 0, "BCNST", 0.0f, 0);
  cpglab("", kYLabel, " ");
  cpgscf(1);
  lab_points();
  curve();
  if (results_) {
    texts();
  } else {
    lab_points();
  }
  record(panels_[0]);
}

// Lab less the kept curve at each lab momentum. Numbers along a short y
// axis soon run into each other, so it has three: -d, 0 and d, d a round
// number at least 0.6 of the largest residual, and the range symmetric
// about zero, from 1.1 of the largest residual and 1.5 d up, below 2 d.
void Plot::residuals() {
  const int n = std::min(n_, s_->three.nlab);
  std::vector<float> x, r;
  x.reserve(static_cast<std::size_t>(n));
  r.reserve(static_cast<std::size_t>(n));
  float most = 0.0f;
  for (int i = 0; i < n; ++i) {
    const float d = s_->two.labprob(i + 1) - cy_[i];
    if (!std::isfinite(d) || !std::isfinite(cx_[i])) continue;
    x.push_back(cx_[i]);
    r.push_back(d);
    most = std::max(most, std::fabs(d));
  }
  if (!(most > 0.0f)) most = frame_.y2 > frame_.y1 ? (frame_.y2 - frame_.y1) / 100.0f : 1.0f;
  int nsub = 0;
  const float tick = cpgrnd(0.6f * most, &nsub);
  const float reach = std::max(1.1f * most, 1.5f * tick);
  cpgswin(frame_.x1, frame_.x2, -reach, reach);
  cpgsci(1);
  cpgsch(kFrameHeight);
  cpgscf(2);
  cpgbox("BCNST", 0.0f, 0, "BC", 0.0f, 0);
  cpglab(kXLabel, "", " ");
  // Smaller y numbers and label: a long number ("-5000") still stands
  // apart from "0", and the whole label within the panel's height.
  cpgsch(kResidualNumberHeight);
  cpgbox("", 0.0f, 0, "BCNST", tick, nsub);
  cpgsch(kResidualLabelHeight);
  cpgmtxt("L", 2.2f * kFrameHeight / kResidualLabelHeight, 0.5f, 0.5f, kResidualLabel);
  cpgscf(1);
  cpgsci(kZeroColour);
  const float zero_x[] = {frame_.x1, frame_.x2}, zero_y[] = {0.0f, 0.0f};
  cpgline(2, zero_x, zero_y);
  cpgsci(1);
  cpgsch(kResidualDot);
  cpgpt(static_cast<int>(x.size()), x.data(), r.data(), kMarker);
  cpgsch(kFrameHeight);
}

void Plot::show_results(std::string_view labinput, std::string_view charw1,
                        std::string_view charw1cm, std::string_view charbeta,
                        std::string_view chare0, std::string_view charchi2, bool refined) {
  // chi^2 and cm^{-1} are drawn with their superscripts; the file name as typed.
  const std::string point = refined ? "refined" : "best";
  texts_ = {point + "W1=",
            point + "W1(cm^{-1})=",
            point + "beta=",
            point + "E0=",
            point + "chi^2=",
            literal(shown_name(labinput)),
            without_trailing_blanks(charw1),
            without_trailing_blanks(charw1cm),
            without_trailing_blanks(charbeta),
            without_trailing_blanks(chare0),
            without_trailing_blanks(charchi2)};
  results_ = true;
  if (window_ == 0) return;
  // A clean picture of the last curve, then the result steps.
  cpgbbuf();
  cpgeras();
  final_picture();
  cpgebuf();
  now_shown();
}

bool Plot::save(std::string_view device) {
  if (s_ == nullptr) return false;
  const int id = cpgopen(std::string(device).c_str());
  if (id <= 0) return false;
  cpgask(0);
  cpgslw(2);
  final_picture();
  cpgclos();
  if (window_ > 0) cpgslct(window_);
  return true;
}

bool Plot::save_profiles(std::string_view device, const ProfileScan& scan) {
  if (!scan.done) return false;
  const int id = cpgopen(std::string(device).c_str());
  if (id <= 0) return false;
  cpgask(0);
  cpgsubp(1, 3);
  cpgslw(2);
  const char* const names[] = {"W1 (eV)", "beta", "E0 (eV)"};
  constexpr float kTop = 4.0f;  // Delta S / s^2 at the top of each panel
  for (int k = 0; k < 3; ++k) {
    // The points within the panel's height (the lowest where a value was
    // searched twice), and the ends, set the x range.
    std::vector<float> x, y;
    for (const ProfilePoint& p : scan.profile[k]) {
      const auto rise = static_cast<float>(p.rise / scan.s2);
      if (!x.empty() && x.back() == p.value) {
        y.back() = std::min(y.back(), rise);
      } else if (rise <= kTop) {
        x.push_back(p.value);
        y.push_back(rise);
      }
    }
    const float c = scan.refined[k];
    float lo = c, hi = c;
    for (float v : x) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    for (float e : scan.interval[k]) {
      if (std::isfinite(e)) {
        lo = std::min(lo, e);
        hi = std::max(hi, e);
      }
    }
    const float pad = hi > lo ? 0.08f * (hi - lo) : 1e-3f * std::max(std::fabs(c), 1.0f);
    // Offsets from the refined value keep the axis labels short.
    const float x0 = lo - pad - c, x1 = hi + pad - c;
    cpgsci(1);
    cpgsch(2.2f);
    cpgscf(2);
    cpgenv(x0, x1, 0.0f, kTop, 0, 0);
    char label[96];
    std::snprintf(label, sizeof label, "%s - %.7g", names[k], static_cast<double>(c));
    // The parameter inside the panel, clear of the panel below.
    cpglab("", "\\gDS / s\\u2\\d", "");
    cpgmtxt("T", -1.5f, 0.5f, 0.5f, label);
    std::vector<float> dx(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) dx[i] = x[i] - c;
    cpgsci(14);
    cpgline(static_cast<int>(dx.size()), dx.data(), y.data());
    cpgsch(1.4f);
    cpgpt(static_cast<int>(dx.size()), dx.data(), y.data(), 4);
    cpgsch(2.2f);
    cpgsci(1);
    cpgsls(2);
    const float level_x[] = {x0, x1}, level_y[] = {1.0f, 1.0f};
    cpgline(2, level_x, level_y);
    cpgsls(4);
    const float zero_x[] = {0.0f, 0.0f}, zero_y[] = {0.0f, kTop};
    cpgline(2, zero_x, zero_y);
    cpgsls(1);
    // (The kinds read here, not ProfileScan::trusted: the display does not
    // link the scan.)
    const auto& kinds = scan.end[k];
    const auto doubtful = [](EndKind e) { return e == EndKind::zero_width || e == EndKind::unsure; };
    if (scan.held[k] || doubtful(kinds[0]) || doubtful(kinds[1])) {
      cpgmtxt("T", 0.5f, 0.5f, 0.5f, scan.held[k] ? "held: no interval" : "no interval");
      continue;
    }
    for (int side = 0; side < 2; ++side) {
      const float e = scan.interval[k][side];
      if (!std::isfinite(e)) continue;
      const EndKind kind = scan.end[k][side];
      cpgsci(kind == EndKind::wall ? 2 : kind == EndKind::limit ? 4 : 3);
      const float ex[] = {e - c, e - c}, ey[] = {0.0f, kTop};
      cpgline(2, ex, ey);
      cpgptxt(e - c, kTop * 0.85f, 0.0f, side == 0 ? -0.1f : 1.1f,
              kind == EndKind::wall ? "wall" : kind == EndKind::limit ? "limit" : "rise");
    }
    cpgsci(1);
  }
  cpgclos();
  if (window_ > 0) cpgslct(window_);
  return true;
}

void Plot::close() {
  if (window_ == 0) return;
  cpgask(0);
  cpgend();
  window_ = 0;
}

}  // namespace momfit
