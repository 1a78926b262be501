#include <cpgplot.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <span>
#include <stdexcept>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "momfit/blocks.h"
#include "momfit/display.h"
#include "momfit/driver.h"
#include "momfit/fit.h"
#include "momfit/loaders.h"
#include "momfit/model/phi2.h"
#include "momfit/numeric/amoeba.h"
#include "momfit/profile_scan.h"
#include "recordio/recordio.h"
#include "recordio/testing.h"
#include "run/picture_file.h"
#include "tests/process.h"

namespace {

using namespace testing_support;  // the test helpers: run_in, read_file, ...

// The answers to the dialogue, one per line, in the order of the prompts.
std::string answers(const std::string& e0, const std::string& w1, const std::string& beta,
                    const std::string& file, const std::string& e0c, const std::string& w1c,
                    const std::string& betac, const std::string& tol) {
  return e0 + "\n" + w1 + "\n" + beta + "\n" + file + "\n" + e0c + "\n" + w1c + "\n" + betac +
         "\n" + tol + "\n";
}

// A directory holding the demo data: demo_lab.dat and newintrin_red, made
// at W1 = 1 eV, beta = 0.5, E0 = 1422 eV, with noise or without.
TempDir demo_dir(bool noisy = true) {
  TempDir dir;
  testing_support::Run run;
  run.program = DEMO_DATA_PATH;
  if (!noisy) run.args = {"--no-noise"};
  run.dir = dir.str();
  Outcome made = testing_support::run(run);
  EXPECT_EQ(made.exit_status, 0) << made.err;
  return dir;
}

// Runs momfit without an X display: the fit goes on without its window.
Outcome momfit_in(const std::string& dir, const std::string& input) {
  return testing_support::run(
      {.program = MOMFIT_PATH, .env = {"DISPLAY"}, .dir = dir, .input = input});
}

// The number after `label` on the last line of `out` that begins with it.
double last_value(const std::string& out, const std::string& label) {
  double v = 0;
  for (const std::string& line : lines_of(out)) {
    if (line.rfind(label, 0) == 0) v = std::stod(line.substr(label.size()));
  }
  return v;
}

// The number after `label` on the first line of `out` that begins with it.
double first_value(const std::string& out, const std::string& label) {
  for (const std::string& line : lines_of(out)) {
    if (line.rfind(label, 0) == 0) return std::stod(line.substr(label.size()));
  }
  return std::nan("");
}

class Loaders : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  const TempDir tmp_;
  const std::string dir_ = tmp_.str();
  momfit::FitState s_;
};

TEST_F(Loaders, LabPairsAreReadListDirected) {
  // An empty line is passed over, a comma separates like a blank, a third
  // number is skipped, and a last line with one number is no pair.
  write_file("lab", "1.0 -5\n\n2.0,-3\n3.0 -4 99\n4.0\n-2\n5.0\n");
  momfit::load_lab("lab    ", s_);
  EXPECT_EQ(s_.three.nlab, 4);
  EXPECT_EQ(s_.two.labmom(2), 2.0f);
  EXPECT_EQ(s_.two.labprob(2), -3.0f);
  EXPECT_EQ(s_.two.labmom(3), 3.0f);
  EXPECT_EQ(s_.two.labmom(4), 4.0f);  // completed from the next line
  EXPECT_EQ(s_.two.labprob(4), -2.0f);
  EXPECT_EQ(s_.two.probbase, -5.0f);
  EXPECT_EQ(s_.two.probmax, 0.0f);  // all negative: the start value stays
}

TEST_F(Loaders, CapacitiesStopTheReading) {
  std::string lab, prof;
  for (int i = 1; i <= 1200; ++i) lab += std::to_string(i) + " " + std::to_string(i % 7) + "\n";
  for (int k = 1; k <= 600; ++k) prof += std::to_string(k) + " 0.2 0.3\n";
  write_file("lab", lab);
  write_file("newintrin_red", prof);
  ::testing::internal::CaptureStderr();
  momfit::load_lab("lab  ", s_);
  momfit::load_profile("newintrin_red", s_);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "program: lab: only the first 1000 pairs are used; the file holds more\n"
            "program: newintrin_red: line 1: the line holds more numbers than were read from "
            "it; is there a decimal comma or a header line?\n"
            "program: newintrin_red: only the first 500 values are used; the file holds more\n");
  EXPECT_EQ(s_.three.nlab, 1000);
  EXPECT_EQ(s_.two.labmom(1000), 1000.0f);
  EXPECT_EQ(s_.two.probmax, 6.0f);
  EXPECT_EQ(s_.three.nprof, 500);
  EXPECT_EQ(s_.three.prof(2), 2.0f);  // first value of each line only
  EXPECT_EQ(s_.three.prof(501), 0.0f);

  // Exactly full, then only blank lines: nothing was left out, nothing said.
  lab.resize(lab.find("1001 "));
  write_file("lab", lab + "\n  \n");
  momfit::FitState full;
  ::testing::internal::CaptureStderr();
  momfit::load_lab("lab", full);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(full.three.nlab, 1000);
}

// Lab data of n points between the momenta x1 and x2 (kg m/s), a peak of
// height top on a base of top/20.
momfit::FitState lab_state(int n, float x1, float x2, float top) {
  momfit::FitState s;
  s.three.nlab = n;
  for (int i = 1; i <= n; ++i) {
    const double t = static_cast<double>(i - 1) / (n - 1);
    s.two.labmom(i) = static_cast<float>(x1 + (x2 - x1) * t);
    s.two.labprob(i) = static_cast<float>(top * (0.05 + 0.95 * std::sin(3.14159265 * t)));
    s.two.probmax = std::max(s.two.probmax, s.two.labprob(i));
  }
  s.two.probbase = s.two.labprob(1);
  return s;
}

// A picture as 8-bit RGB rows, from the PPM that `command` prints.
struct Picture {
  int w = 0, h = 0;
  std::vector<unsigned char> rgb;
};

Picture picture_from(const std::string& command) {
  Picture p;
  FILE* in = popen(command.c_str(), "r");
  if (in == nullptr) return p;
  char line[256];
  int fields[3] = {0, 0, 0};
  int got = 0;
  // "P6", then width, height and maximum, with comment lines in between.
  if (fgets(line, sizeof line, in) != nullptr && std::string(line, 2) == "P6") {
    while (got < 3 && fgets(line, sizeof line, in) != nullptr) {
      if (line[0] == '#') continue;
      std::istringstream numbers(line);
      while (got < 3 && numbers >> fields[got]) ++got;
    }
  }
  if (got == 3 && fields[2] == 255) {
    p.w = fields[0];
    p.h = fields[1];
    p.rgb.resize(static_cast<std::size_t>(3) * p.w * p.h);
    if (fread(p.rgb.data(), 1, p.rgb.size(), in) != p.rgb.size()) p = {};
  }
  pclose(in);
  return p;
}

// The pixels of the model curve's colour 14 (#FF0080): `full` ones, more
// than a third of that colour blended with black or white (the curve as
// drawn: its dots are too small to cover every pixel they touch wholly),
// and `stray` ones, of that colour or such a blend, farther than `reach`
// pixels from any full one: the trace an erased curve leaves, whose
// anti-aliased edges, redrawn in white, keep at most a quarter of it.
struct CurvePixels {
  long full = 0, stray = 0;
};

CurvePixels curve_pixels(const Picture& p, int reach) {
  const std::size_t n = static_cast<std::size_t>(p.w) * p.h;
  std::vector<char> full(n), tinted(n), near(n), across(n);
  CurvePixels c;
  for (std::size_t i = 0; i < n; ++i) {
    const int r = p.rgb[3 * i], g = p.rgb[3 * i + 1], b = p.rgb[3 * i + 2];
    // A blend of #FF0080 with grey keeps blue - green at half red - green.
    tinted[i] = r - g >= 24 && std::abs(2 * (b - g) - (r - g)) <= (r - g) / 4 + 8;
    full[i] = tinted[i] && r - g > 85;
    c.full += full[i];
  }
  // Within `reach` of a full pixel: a square neighbourhood, row then column.
  const auto spread = [&](const std::vector<char>& from, std::vector<char>& to, int count,
                          int length, std::size_t step, std::size_t stride) {
    for (int k = 0; k < count; ++k) {
      int last = -1000000;
      for (int t = 0; t < length; ++t) {
        if (from[k * stride + t * step]) last = t;
        to[k * stride + t * step] = t - last <= reach;
      }
      last = 1000000;
      for (int t = length - 1; t >= 0; --t) {
        if (from[k * stride + t * step]) last = t;
        if (last - t <= reach) to[k * stride + t * step] = 1;
      }
    }
  };
  spread(full, across, p.h, p.w, 1, static_cast<std::size_t>(p.w));
  spread(across, near, p.w, p.h, static_cast<std::size_t>(p.w), 1);
  for (std::size_t i = 0; i < n; ++i) c.stray += tinted[i] && !near[i];
  return c;
}

// About the size of a marker of the curve, in pixels.
constexpr int kMarkerReach = 12;

bool curve_colour(const Picture& p, int x, int y) {
  const unsigned char* c = &p.rgb[3 * (static_cast<std::size_t>(y) * p.w + x)];
  return c[0] - c[1] >= 24 && std::abs(2 * (c[2] - c[1]) - (c[0] - c[1])) <= (c[0] - c[1]) / 4 + 8;
}

// World coordinates to pixels (y downwards) of the picture that the current
// device draws, read from the library while the device is open: the
// viewport as fractions of the page (the library's pixel units count y
// from the top on one device and from the bottom on another).
struct PixelMap {
  float vx1 = 0, vx2 = 0, vy1 = 0, vy2 = 0, wx1 = 0, wx2 = 0, wy1 = 0, wy2 = 0, width = 0,
        height = 0;
  PixelMap() {
    cpgqvp(0, &vx1, &vx2, &vy1, &vy2);
    cpgqwin(&wx1, &wx2, &wy1, &wy2);
    float sx1 = 0, sy1 = 0;
    cpgqvsz(3, &sx1, &width, &sy1, &height);
  }
  // A panel of the final picture as the plot recorded it.
  explicit PixelMap(const momfit::Panel& p)
      : vx1(p.viewport.x1), vx2(p.viewport.x2), vy1(p.viewport.y1), vy2(p.viewport.y2),
        wx1(p.world.x1), wx2(p.world.x2), wy1(p.world.y1), wy2(p.world.y2),
        width(p.page_width), height(p.page_height) {}
  int dx = 0, dy = 0;  // where the picture stands in a larger one (a screen)
  int x(float w) const {
    return dx + static_cast<int>(width * (vx1 + (w - wx1) / (wx2 - wx1) * (vx2 - vx1)));
  }
  int y(float w) const {
    return dy + static_cast<int>(height * (1 - (vy1 + (w - wy1) / (wy2 - wy1) * (vy2 - vy1))));
  }
};

// The pixels of the curve's colour inside the boxes.
long curve_in_boxes(const Picture& p, const PixelMap& m, const std::vector<momfit::Box>& boxes) {
  long under = 0;
  for (const momfit::Box& b : boxes) {
    for (int v = m.y(b.y2); v <= m.y(b.y1); ++v) {
      for (int u = m.x(b.x1); u <= m.x(b.x2); ++u) under += curve_colour(p, u, v);
    }
  }
  return under;
}

// What each caption covers, label and value and the gap between them: the
// file name's box, then W1, cm^-1, beta, E0 and chi^2, each pair joined.
std::vector<momfit::Box> captions(const std::vector<momfit::Box>& b) {
  std::vector<momfit::Box> out{b[5]};
  for (std::size_t i = 0; i < 5; ++i) {
    out.push_back({std::min(b[i].x1, b[i + 6].x1), std::max(b[i].x2, b[i + 6].x2),
                   std::min(b[i].y1, b[i + 6].y1), std::max(b[i].y2, b[i + 6].y2)});
  }
  return out;
}

// The points (x[i], y[i]) that show as a black pixel on p.
int points_seen(const Picture& p, const PixelMap& m, std::span<const float> xs,
                std::span<const float> ys) {
  int seen = 0;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    const int x = m.x(xs[i]), y = m.y(ys[i]);
    bool black = false;
    for (int v = std::max(y - 1, 0); v <= std::min(y + 1, p.h - 1); ++v) {
      for (int u = std::max(x - 1, 0); u <= std::min(x + 1, p.w - 1); ++u) {
        const unsigned char* c = &p.rgb[3 * (static_cast<std::size_t>(v) * p.w + u)];
        black = black || (c[0] < 100 && c[1] < 100 && c[2] < 100);
      }
    }
    seen += black;
  }
  return seen;
}

// The lab points of s inside the frame that show as a black pixel on p.
int lab_points_seen(const Picture& p, const PixelMap& m, const momfit::FitState& s) {
  const auto n = static_cast<std::size_t>(s.three.nlab);
  return points_seen(p, m, s.two.labmom.span().first(n), s.two.labprob.span().first(n));
}

bool inside(const momfit::Box& b, const momfit::Box& f) {
  return b.x1 >= f.x1 && b.x2 <= f.x2 && b.y1 >= f.y1 && b.y2 <= f.y2;
}
bool meet(const momfit::Box& a, const momfit::Box& b) {
  return a.x1 < b.x2 && b.x1 < a.x2 && a.y1 < b.y2 && b.y1 < a.y2;
}

struct Layout {
  std::string name;
  float x1, x2;  // lab momenta
  float top;     // largest probability
  std::string labinput;
};

void PrintTo(const Layout& c, std::ostream* os) { *os << c.name; }

class ResultTexts : public ::testing::TestWithParam<Layout> {};

// The frame follows the lab momenta only when they leave the fixed
// window; the result texts stand inside it and apart, whatever the data's
// range, height or file name, and on boxes that hide the curve. The lab
// points show through a curve drawn over them, during the fit and at the
// end. Drawn on PNG files, whose text sizes the layout measures as it would
// the window's.
TEST_P(ResultTexts, StayInsideTheFrameAndApart) {
  const Layout& c = GetParam();
  const TempDir tmp;
  const momfit::FitState s = lab_state(300, c.x1, c.x2, c.top);
  const std::span<const float> x = s.two.labmom.span().first(300);
  // The lab points seen with no curve, and under a curve that passes
  // through every one of them (a frame of the fit).
  const auto seen = [&](const std::string& name, std::span<const float> y) {
    momfit::Plot plot;
    plot.open(s, tmp.str() + "/" + name + "/png");
    if (!y.empty()) plot.draw_curve(x, y);
    const PixelMap map;
    plot.close();
    return lab_points_seen(picture_from("convert " + tmp.str() + "/" + name + " ppm:-"), map, s);
  };
  const int bare = seen("bare.png", {});
  EXPECT_GE(bare, 290);
  EXPECT_EQ(seen("live.png", s.two.labprob.span().first(300)), bare);

  // A curve with a dot at every height, across the texts.
  momfit::Plot plot;
  plot.open(s, tmp.str() + "/layout.png/png");
  ASSERT_TRUE(plot.is_open());
  std::vector<float> curve(300);
  for (int i = 0; i < 300; ++i) curve[i] = 1.01f * c.top * static_cast<float>(i * 37 % 100) / 100.0f;
  plot.draw_curve(x, curve);
  recordio::Character<99> labinput(c.labinput);
  recordio::Character<20> w1(" 1.00354123"), cm(" 8094.10205"), beta(" -0.506073594"),
      e0(" 1421.99207"), chi(" 9.99999968E+37");
  plot.show_results(labinput.view(), w1.view(), cm.view(), beta.view(), e0.view(), chi.view());
  const PixelMap map;

  const momfit::Box f = plot.frame();
  const float top = s.two.probmax / 100.0f + s.two.probmax;
  if (c.x1 >= 7.22E-21f && c.x2 <= 7.28E-21f) {
    EXPECT_EQ(f.x1, 7.22E-21f);
    EXPECT_EQ(f.x2, 7.28E-21f);
  } else {
    EXPECT_LT(f.x1, c.x1);
    EXPECT_GT(f.x2, c.x2);
    EXPECT_LT(f.x2 - f.x1, 1.1f * (c.x2 - c.x1));
  }
  EXPECT_EQ(f.y1, 2.0E-23f);
  EXPECT_FLOAT_EQ(f.y2, top);
  const std::vector<momfit::Box>& boxes = plot.boxes();
  ASSERT_EQ(boxes.size(), 11u);
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    EXPECT_TRUE(inside(boxes[i], f)) << "text " << i + 1;
    for (std::size_t j = i + 1; j < boxes.size(); ++j) {
      EXPECT_FALSE(meet(boxes[i], boxes[j])) << "texts " << i + 1 << " and " << j + 1;
    }
  }
  plot.close();
  const Picture final = picture_from("convert " + tmp.str() + "/layout.png ppm:-");
  ASSERT_GT(final.w, 0);
  EXPECT_GT(curve_pixels(final, kMarkerReach).full, 1000);
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    EXPECT_EQ(curve_in_boxes(final, map, {boxes[i]}), 0) << "text " << i + 1;
  }
  EXPECT_EQ(lab_points_seen(final, map, s), bare);

  // A curve through the lab points, as a fit draws it: the captions move
  // off both, as a block, and stand on plates with no curve in the gaps.
  {
    momfit::Plot fitted;
    fitted.open(s, tmp.str() + "/fitted.png/png");
    fitted.draw_curve(x, s.two.labprob.span().first(300));
    fitted.show_results(labinput.view(), w1.view(), cm.view(), beta.view(), e0.view(), chi.view(),
                        true);
    const PixelMap at;
    fitted.close();
    const std::vector<momfit::Box> plates = captions(fitted.boxes());
    for (std::size_t k = 0; k < plates.size(); ++k) {
      EXPECT_TRUE(inside(plates[k], f)) << "caption " << k;
      for (int i = 1; i <= 300; ++i) {
        EXPECT_FALSE(inside({s.two.labmom(i), s.two.labmom(i), s.two.labprob(i), s.two.labprob(i)},
                            plates[k]))
            << "caption " << k << " crosses point " << i;
      }
    }
    EXPECT_EQ(curve_in_boxes(picture_from("convert " + tmp.str() + "/fitted.png ppm:-"), at,
                             plates),
              0);
  }

  // Under the fit, the residual panel: the same momenta across, and each
  // residual (lab less the curve) a dot where it belongs; drawn with the
  // wrong sign they would mostly not be there.
  const momfit::Panel& above = plot.panels()[0];
  const momfit::Panel& below = plot.panels()[1];
  EXPECT_EQ(below.world.x1, f.x1);
  EXPECT_EQ(below.world.x2, f.x2);
  EXPECT_EQ(below.viewport.x1, above.viewport.x1);
  EXPECT_EQ(below.viewport.x2, above.viewport.x2);
  EXPECT_LT(below.viewport.y2, above.viewport.y1);
  std::vector<float> lab_less(300), curve_less(300);
  for (int i = 0; i < 300; ++i) {
    lab_less[i] = s.two.labprob(i + 1) - curve[i];
    curve_less[i] = -lab_less[i];
  }
  EXPECT_EQ(points_seen(final, PixelMap(below), x, lab_less), 300);
  EXPECT_LT(points_seen(final, PixelMap(below), x, curve_less), 100);
}

INSTANTIATE_TEST_SUITE_P(
    Display, ResultTexts,
    ::testing::Values(Layout{"FixedWindow", 7.22E-21f, 7.28E-21f, 1000.0f, "demo_lab.dat"},
                      Layout{"Shifted2Percent", 7.3644E-21f, 7.4256E-21f, 1000.0f, "up.dat"},
                      Layout{"BelowTheWindow", 5.0E-21f, 5.1E-21f, 1000.0f, "low.dat"},
                      Layout{"LowPeak", 7.22E-21f, 7.28E-21f, 300.0f, "low_peak.dat"},
                      Layout{"HighPeak", 7.22E-21f, 7.28E-21f, 1.0E6f, "high_peak.dat"},
                      Layout{"LongName", 7.22E-21f, 7.28E-21f, 1000.0f,
                             "/data/lab_2024/run^{7}/" + std::string(60, 'x') + "_final.dat"}),
    [](const auto& info) { return info.param.name; });

TEST(Display, NamesAndDevices) {
  // The plot library's markup characters, escaped to be drawn as typed.
  EXPECT_EQ(momfit::literal("demo_lab^2{x}\\y.dat"), "demo\\_lab\\^2\\{x\\}\\\\y.dat");
  EXPECT_EQ(recordio::picture_type("out dir/fit.png"), "png");
  EXPECT_EQ(recordio::picture_type("fit.pdf"), "pdf");
  EXPECT_EQ(recordio::picture_type("fit.Svg"), "svg");
  EXPECT_EQ(recordio::picture_type("dir.png/fit.ps"), "ps");
  EXPECT_EQ(recordio::picture_type("fit.jpg"), "");
  EXPECT_EQ(recordio::picture_type("fit.PNG"), "png");
  EXPECT_EQ(recordio::picture_type("fitpng"), "");
  // The lab file name on the plot: whole up to 99 characters, else cut with
  // a mark, never inside a UTF-8 character (the two bytes of "é").
  const std::string a95(95, 'a');
  EXPECT_EQ(momfit::shown_name(a95 + "bcde  "), a95 + "bcde");
  EXPECT_EQ(momfit::shown_name(a95 + "bcdef"), a95 + "b...");
  EXPECT_EQ(momfit::shown_name(a95 + "\xc3\xa9xyz"), a95 + "...");
}

// Evaluations 1 ms apart reach the window once per frame interval (16 ms):
// at 0, 16, ..., 96 ms of 100 evaluations. The last curve is drawn before
// a PAUSE and the results all the same. Evaluations slower than the interval are each
// drawn.
TEST(Display, FramesFollowTheDisplaysPace) {
  const momfit::FitState s = lab_state(50, 7.22E-21f, 7.28E-21f, 1000.0f);
  const std::span<const float> x = s.two.labmom.span().first(50);
  for (const auto& [apart, frames] : {std::pair{1, 7}, std::pair{20, 100}}) {
    std::chrono::steady_clock::time_point now{};
    momfit::Plot plot([&now] { return now; });
    plot.open(s, "/null");
    ASSERT_TRUE(plot.is_open());
    std::vector<float> y(50);
    for (int k = 1; k <= 100; ++k) {
      std::fill(y.begin(), y.end(), static_cast<float>(k));
      plot.draw_curve(x, y);
      now += std::chrono::milliseconds(apart);
    }
    EXPECT_EQ(plot.frames(), frames) << apart << " ms apart";
    EXPECT_EQ(plot.shown()[0] == 100.0f, frames == 100);
    plot.flush();  // as before a PAUSE
    EXPECT_EQ(plot.shown()[0], 100.0f);
    plot.show_results("lab.dat", " 1.", " 8065.54004", " 0.5", " 1422.", " 0.0261163097");
    ASSERT_EQ(plot.shown().size(), 50u);
    EXPECT_EQ(plot.shown()[49], 100.0f);
    plot.close();
  }
}

// ---------------------------------------------------------------------------
// The profile scan on S functions of known shape, with s^2 = 1 (S_min = 100
// over 103 points).

// S = 100 + u'Mu, u_k = (p_k - c_k) / w_k, M correlated: the profile of
// parameter k rises as u_k^2 / (M^-1)_kk, so its interval is c_k plus or
// minus w_k sqrt((M^-1)_kk), the same on both sides.
TEST(ProfileScan, ParabolaGivesItsMinimumAndSymmetricIntervals) {
  const momfit::Point3 c{1.0f, 0.5f, 1422.0f};
  const double w[3] = {0.003, 0.005, 0.004};
  const double m[3][3] = {{1.0, 0.6, 0.0}, {0.6, 1.0, 0.3}, {0.0, 0.3, 1.0}};
  const auto s = [&](const momfit::Point3& p) {
    double u[3], q = 0.0;
    for (int k = 0; k < 3; ++k) u[k] = (static_cast<double>(p[k]) - c[k]) / w[k];
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) q += u[i] * m[i][j] * u[j];
    }
    return 100.0 + q;
  };
  // The diagonal of M^-1 by cofactors.
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  const double inv[3] = {(m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det,
                         (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det,
                         (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det};
  // Started half a width away, as a loosely converged fit leaves it.
  const momfit::Point3 start{1.0015f, 0.4975f, 1422.002f};
  const momfit::ProfileScan r = momfit::profile_scan(s, start, 103);
  ASSERT_TRUE(r.done) << r.why;
  EXPECT_NEAR(r.s_min, 100.0, 0.02);
  EXPECT_NEAR(r.s2, 1.0, 0.001);
  for (int k = 0; k < 3; ++k) {
    const double half = w[k] * std::sqrt(inv[k]);
    // Within a float step of E0 near 1422 (1.2e-4), and 3 % of the width.
    const double tol = 0.03 * half + 2.5e-4 * (k == 2);
    EXPECT_NEAR(r.refined[k], c[k], 0.1 * half + 1.3e-4 * (k == 2)) << k;
    EXPECT_NEAR(r.interval[k][0], c[k] - half, tol) << k;
    EXPECT_NEAR(r.interval[k][1], c[k] + half, tol) << k;
    EXPECT_EQ(r.end[k][0], momfit::EndKind::rise) << k;
    EXPECT_EQ(r.end[k][1], momfit::EndKind::rise) << k;
    EXPECT_EQ(r.shape[k], momfit::Shape::parabolic) << k;
  }
  EXPECT_GT(r.evaluations, 0);
  // The same ends on six threads, each with an S of its own.
  momfit::ScanOptions six;
  six.threads = 6;
  six.another = [&] { return momfit::SumOfSquares(s); };
  const momfit::ProfileScan threaded = momfit::profile_scan(s, start, 103, six);
  EXPECT_EQ(threaded.threads, 6);
  EXPECT_EQ(threaded.interval, r.interval);
  EXPECT_EQ(threaded.evaluations, r.evaluations);
  // What a helper thread's S throws reaches the caller, after the join (the
  // caller's S is slow once the helpers' are made, until one has thrown,
  // so that the helpers take ends of their own).
  std::atomic<bool> made{false}, thrown{false};
  six.another = [&] {
    made = true;
    return momfit::SumOfSquares([&](const momfit::Point3&) -> double {
      thrown = true;
      throw std::range_error("");
    });
  };
  const auto waiting = [&](const momfit::Point3& p) {
    if (made && !thrown) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return s(p);
  };
  EXPECT_THROW(momfit::profile_scan(waiting, start, 103, six), std::range_error);
}

// S of known shape around (1, 0.5, 1422), s^2 = 1: every end found where
// it is, of the kind it is (walls only where S jumps, limits only at the
// domain), the shape named, and the refined value inside its interval. u, v
// and w are the distances from the centre in units of 0.01 (W1, beta) and
// 0.004 (E0).
TEST(ProfileScan, EndsAndShapesOfKnownProfiles) {
  using momfit::EndKind;
  using momfit::Shape;
  struct Case {
    const char* what;
    momfit::SumOfSquares s;
    int k;                        // the parameter whose ends are known
    std::array<double, 2> ends;   // where they are
    double tolerance;             // how closely they are found
    std::array<EndKind, 2> kinds;
    Shape shape;
  };
  const auto u = [](const momfit::Point3& p) { return (p[0] - 1.0) / 0.01; };
  const auto v = [](const momfit::Point3& p) { return (p[1] - 0.5) / 0.01; };
  const auto w = [](const momfit::Point3& p) { return (p[2] - 1422.0) / 0.004; };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"flat floor in W1 between 0.998 and 1.002, walls of 1000 s^2",
       [&](const momfit::Point3& p) {
         return 100.0 + v(p) * v(p) + w(p) * w(p) + (std::fabs(p[0] - 1.0) < 0.002 ? 0.0 : 1000.0);
       },
       0, {0.998, 1.002}, 1e-4, {EndKind::wall, EndKind::wall}, Shape::flat},
      {"a floor over 70 % of W1's interval, rising smoothly to each end",
       [&](const momfit::Point3& p) {
         const double out = std::max(std::fabs(u(p)) - 0.6, 0.0) / 0.4;
         return 100.0 + v(p) * v(p) + w(p) * w(p) + out * out;
       },
       0, {0.99, 1.01}, 3e-4, {EndKind::rise, EndKind::rise}, Shape::flat},
      {"a jump of 6 s^2 beside a flat floor above, a parabola below",
       [&](const momfit::Point3& p) {
         const double below = p[0] < 0.999 ? 1e6 * (0.999 - p[0]) * (0.999 - p[0]) : 0.0;
         return 100.0 + v(p) * v(p) + w(p) * w(p) + below + (p[0] > 1.002 ? 6.0 : 0.0);
       },
       0, {0.998, 1.002}, 1e-4, {EndKind::rise, EndKind::wall}, Shape::flat},
      {"a jump of 2 s^2 and a steep rise are not walls",
       [&](const momfit::Point3& p) {
         return 100.0 + u(p) * u(p) + w(p) * w(p) + (p[1] > 0.51 ? 2.0 : 0.0) +
                (p[1] < 0.5 ? 1e4 * v(p) * v(p) : 0.0);
       },
       1, {0.4999, 0.51}, 4e-4, {EndKind::rise, EndKind::rise}, Shape::flat},
      {"beta's profile below s^2 over its whole domain",
       [&](const momfit::Point3& p) { return 100.0 + u(p) * u(p) + 1e-6 * v(p) * v(p) + w(p) * w(p); },
       1, {-1.0, 2.0}, 0.0, {EndKind::limit, EndKind::limit}, Shape::flat},
      {"no real momentum below E0 = 1421.996 (S infinite there)",
       [&](const momfit::Point3& p) {
         return p[2] < 1421.996f ? inf : 100.0 + u(p) * u(p) + v(p) * v(p) + 0.01 * w(p) * w(p);
       },
       2, {1421.996, 1422.04}, 2e-4, {EndKind::limit, EndKind::rise}, Shape::asymmetric},
      {"S rises by 1000 s^2 one float above the minimum: a wall at the value",
       [&](const momfit::Point3& p) {
         return 100.0 + u(p) * u(p) + v(p) * v(p) + w(p) * w(p) + (p[2] > 1422.0f ? 1000.0 : 0.0);
       },
       2, {1421.996, 1422.0}, 2e-4, {EndKind::rise, EndKind::wall}, Shape::asymmetric},
      {"... and one float below it too: a zero width, no interval",
       [&](const momfit::Point3& p) {
         return 100.0 + u(p) * u(p) + v(p) * v(p) + (p[2] != 1422.0f ? 1000.0 : 0.0);
       },
       2, {1422.0, 1422.0}, 0.0, {EndKind::zero_width, EndKind::zero_width}, Shape::unknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const momfit::ProfileScan r = momfit::profile_scan(c.s, {1.0005f, 0.5f, 1422.0f}, 103);
    ASSERT_TRUE(r.done) << r.why;
    for (int k = 0; k < 3; ++k) {
      EXPECT_LE(r.interval[k][0], r.refined[k]) << k;
      EXPECT_GE(r.interval[k][1], r.refined[k]) << k;
      const bool known = k == c.k;
      for (int side = 0; side < 2; ++side) {
        // The other two parameters rise smoothly: no wall, limit or doubt.
        if (!known) {
          EXPECT_EQ(r.end[k][side], EndKind::rise) << k << side;
        }
      }
    }
    EXPECT_EQ(r.end[c.k][0], c.kinds[0]);
    EXPECT_EQ(r.end[c.k][1], c.kinds[1]);
    EXPECT_EQ(r.shape[c.k], c.shape);
    EXPECT_EQ(r.trusted(c.k), c.shape != Shape::unknown);
    EXPECT_NEAR(r.interval[c.k][0], c.ends[0], c.tolerance);
    EXPECT_NEAR(r.interval[c.k][1], c.ends[1], c.tolerance);
    // A wall's end lies inside it.
    if (c.kinds[1] == EndKind::wall) {
      EXPECT_LE(r.interval[c.k][1], c.ends[1]);
    }
    if (c.kinds[0] == EndKind::wall) {
      EXPECT_GE(r.interval[c.k][0], c.ends[0]);
    }
    EXPECT_FALSE(r.moved);
  }

  // A start far from the minimum: the scan says it moved.
  const momfit::ProfileScan moved = momfit::profile_scan(
      cases[0].s, {1.0005f, 0.53f, 1422.0f}, 103);
  ASSERT_TRUE(moved.done);
  EXPECT_TRUE(moved.moved);
  EXPECT_NEAR(moved.refined[1], 0.5, 0.001);
  // S that cannot be evaluated, a start outside the domain, or too few
  // points give no scan.
  const auto nowhere = [](const momfit::Point3&) { return std::nan(""); };
  const momfit::ProfileScan none = momfit::profile_scan(nowhere, {1.0f, 0.5f, 1422.0f}, 103);
  EXPECT_FALSE(none.done);
  EXPECT_NE(none.why.find("not finite"), std::string::npos);
  EXPECT_NE(momfit::profile_scan(cases[0].s, {1.0f, 2.5f, 1422.0f}, 103).why.find("domain"),
            std::string::npos);
  EXPECT_FALSE(momfit::profile_scan(cases[0].s, {1.0f, 0.5f, 1422.0f}, 3).done);
}

// Data sets made by the model itself at W1 = 1 eV, beta = 0.5, E0 = 1422 eV
// (e0 = 1421.99 eV typed), 300 points scaled onto 50..1000, a Gaussian
// response; noise of sigma 8 on every point but the first and the largest,
// which the scaling takes as its fixed anchors.
class ModelData {
 public:
  ModelData() {
    s_.two.e0 = 1421.99f;
    s_.two.probmax = 1000.0f;
    s_.two.probbase = 50.0f;
    s_.three.nlab = kPoints;
    for (int i = 1; i <= kPoints; ++i) {
      s_.two.labmom(i) = static_cast<float>(7.22e-21 + 0.06e-21 * (i - 1) / (kPoints - 1));
    }
    // Lags 0..12, then -12..-1: the wrap-around order of the profile file.
    for (int l = 0; l <= 12; ++l) response_ += std::to_string(std::exp(-l * l / 32.0)) + "\n";
    for (int l = -12; l <= -1; ++l) response_ += std::to_string(std::exp(-l * l / 32.0)) + "\n";
    std::istringstream in(response_);
    for (int k = 1; in >> s_.three.prof(k); ++k) s_.three.nprof = k;
    momfit::Objective phi2(s_);
    phi2(std::array<float, 4>{1.0f, 0.0f, 0.5f, 1422.0f});
    const auto curve = phi2.tables().ncalcprob;
    curve_.assign(curve.begin(), curve.end());
  }

  // Writes lab.dat and newintrin_red into dir, the noise drawn from seed.
  void write(const std::string& dir, unsigned seed) const {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 8.0);
    const auto top = std::max_element(curve_.begin(), curve_.end()) - curve_.begin();
    std::string lab;
    for (int i = 0; i < kPoints; ++i) {
      double v = curve_[static_cast<std::size_t>(i)];
      if (i != 0 && i != top) {
        do v = curve_[static_cast<std::size_t>(i)] + noise(random); while (v >= 1000.0);
      }
      char line[64];
      std::snprintf(line, sizeof line, "%.9e %.6f\n", static_cast<double>(s_.two.labmom(i + 1)), v);
      lab += line;
    }
    write_file(dir + "/lab.dat", lab);
    write_file(dir + "/newintrin_red", response_);
  }

  static constexpr int kPoints = 300;
  const std::vector<float>& curve() const { return curve_; }

 private:
  momfit::FitState s_;
  std::string response_;
  std::vector<float> curve_;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// The profile at t by brute force: S minimised over the other two
// parameters from several starts (the refined point, and its other two
// moved a half-width either way along each), each search restarted until it
// gains nothing, tolerance 1e-7.
double brute_profile(const momfit::SumOfSquares& s, const momfit::ProfileScan& r, int k, float t) {
  const int a = k == 0 ? 1 : 0, b = k == 2 ? 1 : 2;
  const auto half = [&](int i) { return 0.5f * (r.interval[i][1] - r.interval[i][0]); };
  double best = std::numeric_limits<double>::infinity();
  for (const auto& [da, db] : {std::pair{0, 0}, {1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
    momfit::Point3 p = r.refined;
    p[k] = t;
    p[a] += static_cast<float>(da) * half(a);
    p[b] += static_cast<float>(db) * half(b);
    const auto f = [&](std::span<const float> x) {
      momfit::Point3 q = p;
      q[a] = x[0];
      q[b] = x[1];
      return static_cast<float>(s(q));
    };
    for (double last = std::numeric_limits<double>::infinity();;) {
      recordio::Matrix1<float, 3, 2> simplex;
      recordio::Array1<float, 3> values;
      for (int i = 1; i <= 3; ++i) {
        simplex(i, 1) = p[a] + (i == 2 ? 0.2f * half(a) : 0.0f);
        simplex(i, 2) = p[b] + (i == 3 ? 0.2f * half(b) : 0.0f);
        const std::array<float, 2> x{simplex(i, 1), simplex(i, 2)};
        values(i) = f(x);
      }
      momfit::Amoeba search(simplex.view(), values.span().first(3), 2, 1e-7f, 2000);
      search.run(f);
      const int lo = static_cast<int>(std::min_element(values.span().begin(),
                                                       values.span().begin() + 3) -
                                      values.span().begin()) + 1;
      p[a] = simplex(lo, 1);
      p[b] = simplex(lo, 2);
      if (!(values(lo) < last - 1e-3)) break;
      last = values(lo);
    }
    best = std::min(best, static_cast<double>(f(std::array<float, 2>{p[a], p[b]})));
  }
  return best;
}

// Every end against the brute-force profile on noisy data sets: the
// brute-force S is below the crossing level just inside each end and not
// below it just outside, at 5 % of the half-width (a limit: inside only), a
// wall's more than 4 s^2 above it there, and no interval is given up. Seed
// 2006 has a wall at E0's upper end that a search started beside it alone
// placed 5 to 10 % short; at seed 2098's the first looks put the end far
// short, round after round. The sanitizers' build (Debug, about 50 times
// slower here) takes seed 2006 alone: it is there for the memory, and the
// Release build checks the numbers.
TEST(ProfileScan, EndsAgreeWithABruteForceProfile) {
  const ModelData data;
#ifdef __SANITIZE_ADDRESS__
  constexpr std::array kSeeds{2006u};
#else
  constexpr std::array kSeeds{2001u, 2002u, 2003u, 2006u, 2098u};
#endif
  int ends = 0, within = 0;
  for (unsigned seed : kSeeds) {
    const TempDir dir;
    data.write(dir.str(), seed);
    momfit::FitState state;
    state.two.e0 = 1421.99f;
    momfit::load_lab(dir.str() + "/lab.dat", state);
    momfit::load_profile(dir.str() + "/newintrin_red", state);
    const momfit::SumOfSquares s = momfit::sum_of_squares(state);
    const momfit::ProfileScan r = momfit::profile_scan(s, {1.0f, 0.5f, 1422.0f}, state.three.nlab);
    ASSERT_TRUE(r.done) << r.why;
    const double level = r.s_min + r.s2;
    for (int k = 0; k < 3; ++k) {
      EXPECT_TRUE(r.trusted(k)) << "seed " << seed << ", parameter " << k;
      if (!r.trusted(k)) continue;
      const double half = 0.5 * (r.interval[k][1] - r.interval[k][0]);
      for (int side = 0; side < 2; ++side) {
        const float e = r.interval[k][side];
        if (!std::isfinite(e)) continue;
        const double dir = side == 0 ? -1.0 : 1.0;
        const double f = 0.05 * half;
        const double inside = brute_profile(s, r, k, static_cast<float>(e - dir * f));
        const double beyond = brute_profile(s, r, k, static_cast<float>(e + dir * f));
        const bool in = inside < level;
        const bool out = r.end[k][side] == momfit::EndKind::limit ||
                         (!(beyond < level) && (r.end[k][side] != momfit::EndKind::wall ||
                                                beyond > level + 4.0 * r.s2));
        ++ends;
        within += in && out;
        if (!(in && out)) {
          std::printf("seed %u %s end %d (%s): the brute-force profile is %+.2f s^2 from the "
                      "level 5 %% of a half-width inside, %+.2f outside\n",
                      seed, k == 0 ? "W1" : k == 1 ? "beta" : "E0", side,
                      momfit::name(r.end[k][side]), (inside - level) / r.s2,
                      (beyond - level) / r.s2);
        }
      }
    }
  }
  std::printf("%d of %d ends within 5 %% of a half-width of the brute-force crossing\n", within,
              ends);
  EXPECT_GE(ends, 15 * static_cast<int>(kSeeds.size()) / 4);
  EXPECT_EQ(within, ends);

  // Demo seed 4242 fitted with the batch answers of the README: the searches
  // beyond W1's lower wall disagreed, and its interval was given up.
  const TempDir demo;
  testing_support::Run make{.program = DEMO_DATA_PATH, .args = {"--seed", "4242"},
                            .dir = demo.str()};
  ASSERT_EQ(testing_support::run(make).exit_status, 0);
  momfit::FitState state;
  momfit::load_lab(demo.str() + "/demo_lab.dat", state);
  momfit::load_profile(demo.str() + "/newintrin_red", state);
  momfit::FitInput in;
  in.e0 = 1420.0f;
  in.w1 = 0.8f;
  in.beta = 0.3f;
  in.changes = {0.2f, 10.0f, 20.0f};
  in.tolerance = 1e-4f;
  in.momentum.assign(state.two.labmom.span().begin(),
                     state.two.labmom.span().begin() + state.three.nlab);
  in.probability.assign(state.two.labprob.span().begin(),
                        state.two.labprob.span().begin() + state.three.nlab);
  in.profile.assign(state.three.prof.span().begin(),
                    state.three.prof.span().begin() + state.three.nprof);
  const momfit::ProfileScan fitted = momfit::fit(in).scan;
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(fitted.trusted(k)) << k << ": " << momfit::name(fitted.end[k][0]) << ", "
                                   << momfit::name(fitted.end[k][1]);
  }
}

// A data set of known truth (W1 = 1 eV, beta = 0.5, E0 = 1422 eV) made by
// make_demo_data: 600 points, Gaussian noise of sd sigma, the momentum's
// cross term at the true E0. As the input of a fit with the sound model
// (--scale fitted --cross fitted), E0 typed e0, the batch recipe's answers.
momfit::FitInput known_truth(double sigma, unsigned seed, float e0) {
  const TempDir dir;
  const Outcome made = testing_support::run(
      {.program = DEMO_DATA_PATH,
       .args = {"--points", "600", "--sigma", std::to_string(sigma), "--seed",
                std::to_string(seed)},
       .dir = dir.str()});
  EXPECT_EQ(made.exit_status, 0) << made.err;
  const auto s = std::make_unique<momfit::FitState>();
  momfit::load_lab(dir.str() + "/demo_lab.dat", *s);
  momfit::load_profile(dir.str() + "/newintrin_red", *s);
  momfit::FitInput in;
  in.e0 = e0;
  in.w1 = 0.8f;
  in.beta = 0.3f;
  in.changes = {0.2f, 10, 20};
  in.tolerance = 2e-3f;
  const auto n = static_cast<std::size_t>(s->three.nlab);
  in.momentum.assign(s->two.labmom.v.begin(), s->two.labmom.v.begin() + n);
  in.probability.assign(s->two.labprob.v.begin(), s->two.labprob.v.begin() + n);
  in.profile.assign(s->three.prof.v.begin(), s->three.prof.v.begin() + s->three.nprof);
  in.config.scale = momfit::Scale::fitted;
  in.config.cross = momfit::Cross::fitted;
  return in;
}

// The sound model against the truth, on 36 sets at sigma 10 (bench/coverage.py
// makes the published table with 100 sets at each of three noise levels):
// each parameter's mean pull (answer - truth over the half-width on the
// truth's side) within 0.5, beta's interval holding the truth in 55 to 97 %
// of the sets, s^2 the noise variance. The designed scale misses beta in
// nearly every set (pull +6 to +10) and makes s^2 2.4 to 3 times it. The
// sanitizers' build (about 30 times slower) fits 4 sets for the memory and
// leaves the figures to the Release build.
TEST(SoundModel, IntervalsCoverTheTruth) {
#ifdef __SANITIZE_ADDRESS__
  constexpr int kSets = 4;
  constexpr bool kFigures = false;
#else
  constexpr int kSets = 36;
  constexpr bool kFigures = true;
#endif
  constexpr double kSigma = 10.0;
  std::vector<momfit::FitInput> inputs;
  for (int k = 0; k < kSets; ++k) inputs.push_back(known_truth(kSigma, 7000u + k, 1421.0f));
  std::vector<momfit::FitResult> results(kSets);
  std::vector<std::thread> two;
  for (int t = 0; t < 2; ++t) {
    two.emplace_back([&, t] {
      for (int k = t; k < kSets; k += 2) results[k] = momfit::fit(inputs[k]);
    });
  }
  for (std::thread& t : two) t.join();
  const char* const names[] = {"W1", "beta", "E0"};
  const double truth[] = {1.0, 0.5, 1422.0};
  double s2 = 0.0;
  for (const momfit::FitResult& r : results) s2 += r.scan.s2 / kSets;
  if (kFigures) {
    EXPECT_NEAR(s2 / (kSigma * kSigma), 1.0, 0.1);
  }
  for (int p = 0; p < 3; ++p) {
    int covered = 0, given = 0;
    double sum = 0.0;
    for (const momfit::FitResult& r : results) {
      ASSERT_EQ(r.answer.point, momfit::AnswerPoint::refined);
      if (!r.scan.trusted(p)) continue;
      const double v = std::array{r.answer.w1, r.answer.beta, r.answer.e0}[p];
      const double low = r.scan.interval[p][0], high = r.scan.interval[p][1];
      ++given;
      covered += low <= truth[p] && truth[p] <= high;
      sum += (v - truth[p]) / (truth[p] < v ? v - low : high - v);
    }
    const double pull = sum / given;
    std::printf("%-4s covered %d of %d given, mean pull %+.2f\n", names[p], covered, given, pull);
    if (!kFigures) continue;
    EXPECT_GE(given, kSets - 2) << names[p];
    EXPECT_NEAR(pull, 0.0, 0.5) << names[p];
    if (p == 1) {
      EXPECT_GE(covered, 0.55 * given);
      EXPECT_LE(covered, 0.97 * given);
    }
  }
}

// With the cross term at the evaluated E0 the typed E0 is only a start: 1
// eV above or below the truth, the ends of the intervals move by less than
// 0.2 of a half-width and S by less than 0.5 s^2. (With the cross term at
// the typed E0 the objective itself moves: W1's ends by 0.4 to 0.6 of a
// half-width on these sets, S hardly at all.) A guard of the objective on
// two sets where every end holds: on others a scan started elsewhere can
// still set an end a little apart (7 of 144 ends on 24 sets).
TEST(SoundModel, TypedE0IsOnlyAStart) {
#ifdef __SANITIZE_ADDRESS__
  constexpr std::array kSeeds{2u};
#else
  constexpr std::array kSeeds{2u, 5u};
#endif
  for (unsigned seed : kSeeds) {
    const momfit::FitResult at = momfit::fit(known_truth(2.0, seed, 1422.0f));
    ASSERT_TRUE(at.scan.done);
    for (float e0 : {1421.0f, 1423.0f}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", E0 typed " + std::to_string(e0));
      const momfit::FitResult off = momfit::fit(known_truth(2.0, seed, e0));
      ASSERT_TRUE(off.scan.done);
      EXPECT_LT(std::fabs(off.scan.s_min - at.scan.s_min), 0.5 * at.scan.s2);
      for (int p = 0; p < 3; ++p) {
        ASSERT_TRUE(at.scan.trusted(p) && off.scan.trusted(p)) << p;
        const double half = 0.5 * (at.scan.interval[p][1] - at.scan.interval[p][0]);
        for (int side = 0; side < 2; ++side) {
          EXPECT_LT(std::fabs(off.scan.interval[p][side] - at.scan.interval[p][side]), 0.2 * half)
              << p << " " << side;
        }
      }
    }
  }
}

// Twenty noisy data sets fitted as a script would (no waiting, no window
// even with DISPLAY set, log and results under names of their own): the
// intervals describe the spread of the refined values, contain the truth,
// and the refined point is never worse than the fit's best point.
TEST(ProfileScan, IntervalsDescribeTheSpreadOverNoisyDataSets) {
  const ModelData data;
  ASSERT_NEAR(data.curve().front(), 50.0f, 0.01f);  // the first point is the base
  constexpr int kSets = 20;
  const char* const names[] = {"W1", "beta", "E0"};
  std::vector<double> refined[3], low[3], high[3];
  std::vector<TempDir> dirs(kSets);
  std::vector<std::unique_ptr<Child>> running;
  const auto collect = [&](std::size_t k, const Outcome& r) {
    // A rough valley can hold a minimisation to its limit (status 3, one
    // line); the results stand all the same.
    ASSERT_TRUE(r.exit_status == 0 || r.exit_status == 3) << r.err;
    if (r.exit_status == 0) {
      EXPECT_EQ(r.err, "");  // no window, no message about it, no PAUSE
    }
    const std::string dir = dirs[k].str();
    EXPECT_FALSE(file_exists(dir + "/fort.7"));
    EXPECT_GT(lines_of(read_file(dir + "/fit.log")).size(), 100u);
    const nlohmann::json j = nlohmann::json::parse(read_file(dir + "/fit.json"));
    EXPECT_EQ(j["points"], ModelData::kPoints);
    EXPECT_EQ(j["lab_file"], "lab.dat");
    EXPECT_EQ(j["converged"].get<bool>(), r.exit_status == 0);
    EXPECT_EQ(j["mass_unit_kg"].get<double>(), static_cast<double>(1.67353e-27f));
    EXPECT_EQ(read_file(dir + "/scan.png").substr(0, 4), "\x89PNG");
    // The --curve file is the model at the refined point: its residuals'
    // squares sum to the refined S.
    const std::vector<std::string> csv = lines_of(read_file(dir + "/fit.csv"));
    ASSERT_EQ(csv.size(), ModelData::kPoints + 1u);
    EXPECT_EQ(csv[0], "momentum,probability,model,residual");
    double sum = 0.0;
    for (std::size_t i = 1; i < csv.size(); ++i) {
      double x, y, m, res;
      ASSERT_EQ(std::sscanf(csv[i].c_str(), "%lf,%lf,%lf,%lf", &x, &y, &m, &res), 4) << csv[i];
      EXPECT_FLOAT_EQ(static_cast<float>(res), static_cast<float>(y) - static_cast<float>(m));
      sum += res * res;
    }
    EXPECT_NEAR(sum, j["refined"]["S"].get<double>(), 1e-4 * sum);
    EXPECT_EQ(j["dof"], ModelData::kPoints - 3);
    EXPECT_EQ(j["confidence"], 0.68);
    EXPECT_NEAR(j["rms"].get<double>(), std::sqrt(j["s2"].get<double>()), 1e-12);
    EXPECT_EQ(j["end"]["E0"].size(), 2u);
    EXPECT_TRUE(j["shape"]["W1"].is_string());
    ASSERT_TRUE(j["refined"].is_object()) << j.dump();
    // S at the refined point never above S at the fit's best point.
    const double dof = ModelData::kPoints - 3.0;
    EXPECT_LE(j["refined"]["S"].get<double>(), j["best"]["chi2"].get<double>() * dof * dof);
    for (int p = 0; p < 3; ++p) {
      refined[p].push_back(j["refined"][names[p]].get<double>());
      // An interval not to be trusted (a zero width, say) is two nulls; a
      // given one holds the refined value.
      const nlohmann::json& ends = j["interval"][names[p]];
      const double nan = std::nan("");
      low[p].push_back(ends[0].is_null() ? nan : ends[0].get<double>());
      high[p].push_back(ends[1].is_null() ? nan : ends[1].get<double>());
      if (!ends[0].is_null()) {
        EXPECT_LE(low[p].back(), refined[p].back()) << names[p];
      }
      if (!ends[1].is_null()) {
        EXPECT_GE(high[p].back(), refined[p].back()) << names[p];
      }
    }
  };
  // Two fits at a time.
  std::size_t next = 0, done = 0;
  std::vector<std::size_t> which;
  while (done < static_cast<std::size_t>(kSets)) {
    while (running.size() < 2 && next < static_cast<std::size_t>(kSets)) {
      data.write(dirs[next].str(), 1000u + static_cast<unsigned>(next));
      testing_support::Run fit;
      fit.program = MOMFIT_PATH;
      fit.args = {"--no-wait", "--no-window", "--log",   "fit.log",
                  "--results", "fit.json",   "--curve", "fit.csv",
                  "--scan-plot", "scan.png"};
      fit.env = {"DISPLAY=:4242"};
      fit.dir = dirs[next].str();
      fit.input = answers("1421.99", "0.8", "0.3", "lab.dat", "0.2", "10", "20", "1e-4");
      fit.limit = std::chrono::seconds(120);
      running.push_back(std::make_unique<Child>(fit));
      which.push_back(next++);
    }
    for (std::size_t c = 0; c < running.size(); ++c) {
      if (!running[c]->step()) continue;
      collect(which[c], running[c]->outcome());
      running.erase(running.begin() + static_cast<long>(c));
      which.erase(which.begin() + static_cast<long>(c));
      ++done;
      break;
    }
    usleep(2000);
  }
  ASSERT_EQ(refined[2].size(), static_cast<std::size_t>(kSets));

  const double truth[3] = {1.0, 0.5, 1422.0};
  for (int p = 0; p < 3; ++p) {
    const double centre = median(refined[p]);
    int covering = 0, given = 0;
    std::vector<double> half;
    for (int k = 0; k < kSets; ++k) {
      if (!std::isfinite(high[p][k] - low[p][k])) continue;
      ++given;
      covering += low[p][k] <= centre && centre <= high[p][k];
      half.push_back(0.5 * (high[p][k] - low[p][k]));
    }
    EXPECT_GE(given, kSets * 3 / 4) << names[p];
    EXPECT_GE(covering, given * 6 / 10) << names[p];
    // The known minimum: the median refined value within two half-widths.
    EXPECT_NEAR(centre, truth[p], 2.0 * median(half)) << names[p];
    double var = 0.0;
    for (double v : refined[p]) var += (v - centre) * (v - centre);
    const double spread = std::sqrt(var / (kSets - 1));
    std::printf("%-4s median %.6f, spread %.3g, median half-width %.3g, %d of %d given cover\n",
                names[p], centre, spread, median(half), covering, given);
    if (p == 2) {
      EXPECT_LT(median(half), 1.5 * spread);
      EXPECT_GT(median(half), spread / 1.5);
    }
  }
}

// A tolerance of 0 is never met: with --no-wait each minimisation ends at
// the iteration limit with one line, and the run ends after its results.
TEST(Momfit, NoWaitEndsAtTheIterationLimitWithStatus3) {
  const TempDir demo = demo_dir();
  testing_support::Run fit;
  fit.program = MOMFIT_PATH;
  fit.args = {"--no-wait", "--no-window", "--log", "it.log"};
  fit.dir = demo.str();
  fit.input = answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20", "0");
  fit.limit = std::chrono::seconds(180);  // 0.5 s in a release build, 30 s with sanitizers
  const Outcome r = testing_support::run(fit);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 3) << r.err;
  const std::string line =
      "momfit: the simplex reached the iteration limit without meeting the tolerance; "
      "the best point so far is kept\n";
  EXPECT_EQ(r.err, line + line);
  EXPECT_NE(r.out.find(" Best E0 is "), std::string::npos);
  EXPECT_NE(r.out.find(" Profile intervals (68 %"), std::string::npos);
  EXPECT_FALSE(file_exists(demo.str() + "/fort.7"));
  EXPECT_GT(lines_of(read_file(demo.str() + "/it.log")).size(), 10000u);
}

TEST(Momfit, DemoFitRecoversTheKnownParameters) {
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  Outcome r = momfit_in(dir, answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20",
                                     "1.0e-3"));
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const std::string dialogue =
      "  \n Please enter the E0 value (eV)\n  \n"
      " Please enter an initial guess at width 1 (eV)\n  \n  \n  \n"
      " Please enter the beta value\n  \n"
      " The instrumental profile filename is intrin4\n  \n"
      " Please enter the lab data filename\n  \n"
      " Please enter an initial change in E0 (%)\n  \n"
      " Please enter an initial change in W1 (%)\n  \n  \n"
      " Please enter an initial change in beta (%)\n  \n"
      " Please enter the tolerance level\n  \n"
      " Thanks.\n"
      " Initial E0 is   1420.\n"
      " Initial W1 is   0.800000012\n"
      " Initial beta is   0.300000012\n";
  ASSERT_EQ(r.out.substr(0, dialogue.size()), dialogue);
  const std::vector<std::string> rest = lines_of(r.out.substr(dialogue.size()));
  // Five evaluations, the first minimisation, the restart and five more.
  ASSERT_GE(rest.size(), 21u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(rest[i].rfind(" Chi^2 is ", 0), 0u) << rest[i];
  EXPECT_EQ(rest[5], "  ");
  EXPECT_EQ(rest[6], " Finished initializing, calling amoeba...");
  EXPECT_EQ(rest[7], "  ");
  EXPECT_EQ(rest[8], " Initializing again");
  EXPECT_EQ(rest[9], "  ");
  for (int i = 10; i < 15; ++i) EXPECT_EQ(rest[i].rfind(" Chi^2 is ", 0), 0u) << rest[i];
  EXPECT_EQ(rest[15], "  ");
  EXPECT_EQ(rest[16], " Finished initializing, calling amoeba...");
  EXPECT_EQ(rest[17], "  ");
  // The interval lines, with one more when the scan moved the point.
  ASSERT_TRUE(rest.size() == 27u || rest.size() == 28u) << rest.size();
  EXPECT_EQ(rest[18].rfind(" Best W1 is ", 0), 0u);
  EXPECT_EQ(rest[19].rfind(" Best W1 is ", 0), 0u);
  EXPECT_EQ(rest[20].rfind(" Best beta is ", 0), 0u);
  EXPECT_EQ(rest[21].rfind(" Best E0 is ", 0), 0u);
  EXPECT_EQ(rest[22], "  ");
  // The profile intervals after the fixed result block, one line each.
  EXPECT_EQ(rest[23].rfind(" Profile intervals (68 %", 0), 0u) << rest[23];
  const std::size_t w1_line = rest.size() - 3;
  if (w1_line == 24) {
    EXPECT_EQ(rest[24].rfind(" The fit stopped short of the minimum: ", 0), 0u) << rest[24];
  }
  EXPECT_EQ(rest[w1_line].rfind(" W1   = ", 0), 0u) << rest[w1_line];
  EXPECT_EQ(rest[w1_line + 1].rfind(" beta = ", 0), 0u) << rest[w1_line + 1];
  EXPECT_EQ(rest[w1_line + 2].rfind(" E0   = ", 0), 0u) << rest[w1_line + 2];

  const double w1 = std::stod(rest[18].substr(12));
  EXPECT_NEAR(w1, 1.0, 0.05);
  EXPECT_NEAR(std::stod(rest[19].substr(12)), w1 * 8065.54, 0.01 * w1 * 8065.54);
  EXPECT_NEAR(last_value(r.out, " Best beta is "), 0.5, 0.05);
  EXPECT_NEAR(last_value(r.out, " Best E0 is "), 1422.0, 0.2);

  // One log record per evaluation; the last one holds the best point printed.
  const std::vector<std::string> log = lines_of(read_file(dir + "/fort.7"));
  ASSERT_GT(log.size(), 10u);
  std::istringstream last(log.back());
  float bw1, bw2, bbeta, be0, chi, best;
  last >> bw1 >> bw2 >> bbeta >> be0 >> chi >> best;
  EXPECT_FLOAT_EQ(bw1, static_cast<float>(w1));
  EXPECT_EQ(bw2, 0.0f);
  EXPECT_LE(best, chi);
  // The best chi-square never rises from one evaluation to the next.
  float previous = 1.0E38f;
  for (const std::string& record : log) {
    std::istringstream fields(record);
    float f[6];
    for (float& v : f) fields >> v;
    ASSERT_TRUE(fields) << record;
    EXPECT_LE(f[5], previous) << record;
    EXPECT_LE(f[5], f[4]) << record;
    previous = f[5];
  }
  // The closing PAUSE with its resume request, and nothing else of ours.
  EXPECT_NE(r.err.find("PAUSE  statement executed\n"), std::string::npos);
  EXPECT_NE(r.err.find("Execution resumes after PAUSE.\n"), std::string::npos);
}

TEST(Momfit, ExactDataGiveTheParametersBack) {
  const TempDir demo = demo_dir(false);
  const std::string& dir = demo.str();
  Outcome r = momfit_in(dir, answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20",
                                     "1.0e-3"));
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NEAR(first_value(r.out, " Best W1 is "), 1.0, 0.001);
  EXPECT_NEAR(last_value(r.out, " Best beta is "), 0.5, 0.005);
  EXPECT_NEAR(last_value(r.out, " Best E0 is "), 1422.0, 0.01);
}

// The answers as options: each stands in the transcript where it would have
// been typed; a mix with typed answers reads only the rest, in order; with
// all eight given nothing is read (the input is empty), and --quiet prints
// only the results block and the interval lines, the designed run's last.
TEST(Momfit, AnswersAsOptions) {
  const TempDir demo = demo_dir();
  testing_support::Run fit;
  fit.program = MOMFIT_PATH;
  fit.dir = demo.str();
  fit.args = {"--no-wait", "--no-window"};
  fit.input = answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20", "1.0e-3");
  const Outcome designed = testing_support::run(fit);
  ASSERT_EQ(designed.exit_status, 0) << designed.err;

  std::string shown = designed.out;  // with the option-given answers where typed
  const auto after = [&shown](const std::string& prompt, const std::string& answer) {
    const std::size_t at = shown.find(prompt + "\n");
    ASSERT_NE(at, std::string::npos) << prompt;
    shown.insert(at + prompt.size() + 1, answer + "\n");
  };
  after(" Please enter an initial guess at width 1 (eV)", "0.8");
  after(" Please enter the lab data filename", "demo_lab.dat");
  after(" Please enter an initial change in E0 (%)", "0.2");
  after(" Please enter an initial change in W1 (%)", "10");
  after(" Please enter an initial change in beta (%)", "20");
  fit.args = {"--no-wait", "--w1", "0.8", "--no-window", "--lab=demo_lab.dat",
              "--changes", "0.2,10,20"};
  fit.input = "1420\n0.3\n1.0e-3\n";
  const Outcome mixed = testing_support::run(fit);
  EXPECT_EQ(mixed.exit_status, 0) << mixed.err;
  EXPECT_EQ(mixed.out, shown);

  fit.args = {"--e0=1420", "--w1", "0.8", "--beta", "0.3", "--lab", "demo_lab.dat", "--changes",
              "0.2,10,20", "--tolerance", "1.0e-3", "--quiet", "--no-wait", "--no-window"};
  fit.input = "";
  const Outcome quiet = testing_support::run(fit);
  EXPECT_EQ(quiet.exit_status, 0) << quiet.err;
  const std::size_t results = designed.out.find("  \n Best W1 is ");
  ASSERT_NE(results, std::string::npos);
  EXPECT_EQ(quiet.out, designed.out.substr(results));
  EXPECT_EQ(quiet.err, designed.err);
}

// --fix holds a parameter at its start, here its true value in exact data:
// every evaluation's best point keeps it, the others are fitted back, and
// the results give it no interval ("fixed" names it, its interval is null).
TEST(Momfit, FixHoldsAParameterAtItsStart) {
  const TempDir demo = demo_dir(false);
  const std::string& dir = demo.str();
  struct Case {
    std::string name;  // as --fix takes it and the results file names it
    std::vector<std::string> start;
    int column;        // of the held value in a log record
  };
  const Case cases[] = {
      {"W1", {"--w1", "1", "--beta", "0.3", "--e0", "1420"}, 0},
      {"beta", {"--w1", "0.8", "--beta", "0.5", "--e0", "1420"}, 2},
      {"E0", {"--w1", "0.8", "--beta", "0.3", "--e0", "1422"}, 3},
  };
  const std::map<std::string, double> truth = {{"W1", 1.0}, {"beta", 0.5}, {"E0", 1422.0}};
  const std::map<std::string, double> near = {{"W1", 0.002}, {"beta", 0.002}, {"E0", 0.01}};
  for (const Case& c : cases) {
    testing_support::Run fit;
    fit.program = MOMFIT_PATH;
    fit.dir = dir;
    fit.args = {"--fix", c.name, "--lab", "demo_lab.dat", "--changes", "0.2,10,20",
                "--tolerance", "1e-3", "--no-wait", "--no-window", "--quiet",
                "--results", "r.json", "--log", "fix.log"};
    fit.args.insert(fit.args.end(), c.start.begin(), c.start.end());
    const Outcome r = testing_support::run(fit);
    ASSERT_EQ(r.exit_status, 0) << c.name << r.err;
    const nlohmann::json j = nlohmann::json::parse(read_file(dir + "/r.json"));
    EXPECT_EQ(j["fixed"], nlohmann::json::array({c.name}));
    for (const auto& [name, value] : truth) {
      const double best = j["best"][name];
      if (name == c.name) {
        EXPECT_EQ(best, static_cast<double>(static_cast<float>(value))) << c.name;
        EXPECT_EQ(j["refined"][name], j["best"][name]) << c.name;
        EXPECT_TRUE(j["interval"][name].is_null()) << c.name;
        EXPECT_TRUE(j["wall"][name].is_null()) << c.name;
      } else {
        EXPECT_NEAR(best, value, near.at(name)) << c.name << " " << name;
        EXPECT_TRUE(j["interval"][name].is_array()) << c.name << " " << name;
      }
    }
    EXPECT_NE(r.out.find(c.name + (c.name == "beta" ? " =" : "   =")), std::string::npos);
    EXPECT_NE(r.out.find(", held at its start: no interval\n"), std::string::npos) << r.out;
    const std::vector<std::string> log = lines_of(read_file(dir + "/fix.log"));
    ASSERT_GT(log.size(), 10u);
    for (const std::string& record : log) {
      std::istringstream fields(record);
      float f[4];
      for (float& v : f) fields >> v;
      ASSERT_EQ(f[c.column], static_cast<float>(truth.at(c.name))) << c.name << ": " << record;
    }
  }
}

// The fit as a library call gives the program's answer, evaluation for
// evaluation, on two threads at once as on one; it refuses what it cannot
// fit without evaluating anything.
TEST(FitCall, GivesTheProgramsAnswerOnAnyThread) {
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  Outcome program = momfit_in(dir, answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10",
                                           "20", "1.0e-3"));
  ASSERT_EQ(program.exit_status, 0) << program.err;
  momfit::FitInput in;
  in.e0 = 1420;
  in.w1 = 0.8f;
  in.beta = 0.3f;
  in.changes = {0.2f, 10, 20};
  in.tolerance = 1.0e-3f;
  std::istringstream lab(read_file(dir + "/demo_lab.dat")), prof(read_file(dir + "/newintrin_red"));
  for (float p, q; lab >> p >> q;) {
    in.momentum.push_back(p);
    in.probability.push_back(q);
  }
  for (float v; prof >> v;) in.profile.push_back(v);

  struct Counted final : momfit::FitObserver {
    long n = 0;
    void evaluated(std::span<const float>, float, const momfit::BestPoint&) override { ++n; }
  } counted;
  const momfit::FitResult one = momfit::fit(in, &counted);
  ASSERT_EQ(one.outcome, momfit::FitOutcome::converged) << one.message;
  EXPECT_EQ(one.evaluations, counted.n);
  EXPECT_EQ(static_cast<long>(lines_of(read_file(dir + "/fort.7")).size()), one.evaluations);
  EXPECT_EQ(static_cast<float>(last_value(program.out, " Best beta is ")), one.best.bestbeta);
  EXPECT_EQ(static_cast<float>(last_value(program.out, " Best E0 is ")), one.best.beste0);
  EXPECT_TRUE(one.scan.done);

  std::vector<momfit::FitResult> both(2);
  std::thread a([&] { both[0] = momfit::fit(in); }), b([&] { both[1] = momfit::fit(in); });
  a.join();
  b.join();
  for (const momfit::FitResult& r : both) {
    EXPECT_EQ(std::memcmp(&r.best, &one.best, sizeof one.best), 0);
    EXPECT_EQ(r.scan.refined, one.scan.refined);
    EXPECT_EQ(r.evaluations, one.evaluations);
  }

  // A stop request ends the fit at the next evaluation, of a minimisation
  // or of the scan (the fit's last evaluation is followed by the scan's).
  for (const long at : {10L, one.evaluations}) {
    struct Stopping final : momfit::FitObserver {
      long n = 0, at = 0;
      std::atomic<bool> stop{false};
      void evaluated(std::span<const float>, float, const momfit::BestPoint&) override {
        if (++n == at) stop = true;
      }
    } stopping;
    stopping.at = at;
    momfit::FitInput stopped = in;
    stopped.stop = &stopping.stop;
    EXPECT_EQ(momfit::fit(stopped, &stopping).outcome, momfit::FitOutcome::cancelled) << at;
    EXPECT_EQ(stopping.n, at);
  }

  const auto refused = [&](auto change, const std::string& why) {
    momfit::FitInput bad = in;
    bad.lab_file = "lab.dat";
    change(bad);
    const momfit::FitResult r = momfit::fit(bad);
    EXPECT_EQ(r.outcome, momfit::FitOutcome::refused) << why;
    EXPECT_EQ(r.message, why);
    EXPECT_EQ(r.evaluations, 0);
  };
  refused([](auto& f) { f.momentum.resize(3), f.probability.resize(3); },
          "lab.dat: 3 lab points read, at least 4 are needed");
  refused([](auto& f) { f.probability.pop_back(); }, "lab.dat: 300 momenta but 299 probabilities");
  refused([](auto& f) { std::swap(f.momentum[4], f.momentum[5]); },
          "lab.dat: momentum 6 is not above the one before; the lab momenta must increase");
  refused([](auto& f) { f.probability[2] = NAN; },
          "lab.dat: pair 3 is not a pair of finite numbers");
  refused([](auto& f) { f.profile.clear(); }, "newintrin_red: no profile value read");
  refused([](auto& f) { f.config.m2 = 0; }, "the masses must be positive numbers");
}

TEST(Momfit, RefusesInputsTheFitCannotUse) {
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  write_file(dir + "/three.dat", "7.23e-21 1\n7.24e-21 2\n7.25e-21 3\n");
  Outcome few = momfit_in(dir, answers("1420", "1", "0", "three.dat", "1", "1", "1", "1e-4"));
  EXPECT_EQ(few.exit_status, 1);
  EXPECT_NE(few.err.find("momfit: three.dat: 3 lab points read, at least 4 are needed\n"),
            std::string::npos)
      << few.err;
  EXPECT_EQ(few.out.find("Initial E0"), std::string::npos);  // before any evaluation
  EXPECT_FALSE(file_exists(dir + "/fort.7"));

  write_file(dir + "/newintrin_red", "\n\n");
  Outcome empty = momfit_in(dir, answers("1420", "1", "0", "demo_lab.dat", "1", "1", "1", "1"));
  EXPECT_EQ(empty.exit_status, 1);
  EXPECT_NE(empty.err.find("momfit: newintrin_red: no profile value read\n"), std::string::npos);
  EXPECT_FALSE(file_exists(dir + "/fort.7"));
}

TEST(Momfit, MissingOrBadInputIsTheFatalIoError) {
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  // Leading blanks are part of the name, so the file is not found.
  Outcome missing = momfit_in(dir, answers("1420", "1", "0", "  demo_lab.dat", "1", "1", "1", "1"));
  EXPECT_EQ(missing.signal, SIGABRT);
  // The file and the answer in plain words first, then the report.
  EXPECT_EQ(missing.err,
            "momfit: cannot open the lab data file '  demo_lab.dat' (answer 4): No such file "
            "or directory\n"
            "open: No such file or directory\n"
            "apparent state: unit 20 named   demo_lab.dat\n"
            "lately writing sequential formatted external IO\n");  // after "Thanks."
  Outcome blank = momfit_in(dir, answers("1420", "1", "0", "   ", "1", "1", "1", "1"));
  EXPECT_EQ(blank.signal, SIGABRT);
  EXPECT_EQ(lines_of(blank.err).at(1), "open: null file name");
  Outcome letter = momfit_in(dir, "1420\nwide\n");
  EXPECT_EQ(letter.signal, SIGABRT);
  EXPECT_EQ(letter.err.substr(0, letter.err.find('\n')), "list read: incomprehensible list input");
  Outcome ended = momfit_in(dir, "1420\n");
  EXPECT_EQ(ended.signal, SIGABRT);
  EXPECT_EQ(lines_of(ended.err).at(0), "momfit: input ended before answer 2 (the initial W1)");
  EXPECT_EQ(lines_of(ended.err).at(1), "list read: end of file");
  // A read error part way through either file (injected after 100 bytes)
  // is the fatal report with its reason, never an early end of the file.
  for (const std::string file : {"demo_lab.dat", "newintrin_red"}) {
    testing_support::Run failing;
    failing.env = {"DISPLAY"};
    failing.dir = dir;
    failing.input = answers("1420", "1", "0", "demo_lab.dat", "1", "1", "1", "1");
    failing.body = [&file] {
      recordio::fail_reads(file, 100, EIO);
      char name[] = "momfit";
      char* argv[] = {name, nullptr};
      const momfit::Options chosen = momfit::options(1, argv);
      std::exit(recordio::run(1, argv, [&] { momfit::fit_main(chosen); }));
    };
    const Outcome r = testing_support::run(failing);
    EXPECT_EQ(r.signal, SIGABRT) << file;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "list read: Input/output error") << r.err;
    EXPECT_NE(r.err.find(" named " + file + "\n"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir + "/fort.7"));
  }
}

TEST(Momfit, NoUsableEvaluationIsReportedAsAFailure) {
  // A negative W1 gives no real momentum anywhere: every chi-square is
  // infinite and block one keeps its start.
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  Outcome r = momfit_in(dir, answers("1420", "-1", "0.3", "demo_lab.dat", "1", "10", "10", "1e-4"));
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.out.find(" Chi^2 is   Infinity\n"), std::string::npos);
  EXPECT_NE(r.out.find(" Best W1 is   0.\n Best W1 is   0.\n Best beta is   0.\n Best E0 is   0.\n"),
            std::string::npos);
  EXPECT_NE(r.err.find("momfit: no evaluation gave a finite chi-square below 1.0E38; "
                       "the best values printed are not fit results\n"),
            std::string::npos);
}

// Starts an X server on a free display for the test; skipped without Xvfb.
class XServer {
 public:
  XServer() {
    if (system("command -v Xvfb >/dev/null 2>&1") != 0) return;
    for (int n = 90; n < 110 && pid_ == 0; ++n) {
      if (file_exists("/tmp/.X11-unix/X" + std::to_string(n))) continue;
      display_ = ":" + std::to_string(n);
      pid_ = fork();
      if (pid_ == 0) {
        // Quiets the server; should this fail, its messages only reach the test log.
        // cppcheck-suppress ignoredReturnValue
        freopen("/dev/null", "w", stderr);
        execlp("Xvfb", "Xvfb", display_.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
               "tcp", static_cast<char*>(nullptr));
        _exit(127);
      }
      for (int wait = 0; wait < 100 && !file_exists("/tmp/.X11-unix/X" + std::to_string(n));
           ++wait) {
        usleep(50000);
      }
    }
  }
  ~XServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool running() const { return pid_ > 0; }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = 0;
  std::string display_;
};

TEST(Momfit, DrawsTheFitInAnXWindow) {
  XServer x;
  if (!x.running()) GTEST_SKIP() << "Xvfb is not installed";
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  const std::string input = answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20", "1e-3");
  // At the closing PAUSE: the screen, and the --plot file already written.
  Picture screen;
  bool written = false;
  testing_support::Run run;
  run.program = MOMFIT_PATH;
  run.args = {"--plot", "fit.png", "--curve", "curve.csv", "--results", "r.json"};
  run.env = {"DISPLAY=" + x.display()};
  run.dir = dir;
  run.input = input;
  run.at_pause = [&] {
    screen = picture_from("xwd -root -silent -display " + x.display() + " | convert xwd:- ppm:-");
    written = file_exists(dir + "/fit.png");
  };
  const Outcome r = testing_support::run(run);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err.find("momfit:"), std::string::npos) << r.err;  // the window opened
  // Closing the window asks nothing and meets no end of input.
  EXPECT_EQ(r.out.find("RETURN"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("giza"), std::string::npos) << r.err;

  // Only the last curve shows: every trace of the curve's colour lies
  // within a marker's size of it. Lab points and texts are black.
  ASSERT_GT(screen.w, 0);
  const CurvePixels window = curve_pixels(screen, kMarkerReach);
  EXPECT_GT(window.full, 1000);
  EXPECT_EQ(window.stray, 0);
  EXPECT_TRUE(written);
  const Picture file = picture_from("convert '" + dir + "/fit.png' ppm:-");
  const CurvePixels saved = curve_pixels(file, kMarkerReach);
  EXPECT_GT(saved.full, 1000);
  EXPECT_EQ(saved.stray, 0);

  // The layout drawn here from the fit's lab data, the answer's curve (the
  // --curve file) and the values the picture writes (the refined point's
  // where the scan moved, its chi-square from the residuals) gives the
  // captions' places and the lab points' in the file and, shifted to where
  // the window stands on the screen, in the window: no curve pixel lies on
  // a caption, gaps included, and every lab point seen without the curve
  // is seen under it.
  momfit::FitState s;
  momfit::load_lab(dir + "/demo_lab.dat", s);
  const auto text = [&](float v) {
    recordio::Character<20> c;
    recordio::write_list(c.span(), {v});
    return c;
  };
  std::vector<float> model, residual;
  float sum = 0.0f;
  for (const std::string& line : lines_of(read_file(dir + "/curve.csv"))) {
    float xi = 0, yi = 0, mi = 0, ri = 0;
    if (std::sscanf(line.c_str(), "%f,%f,%f,%f", &xi, &yi, &mi, &ri) != 4) continue;
    model.push_back(mi);
    residual.push_back(ri);
    sum += (ri / 297.0f) * (ri / 297.0f);
  }
  const nlohmann::json results = nlohmann::json::parse(read_file(dir + "/r.json"));
  const nlohmann::json& best = results["best"];
  const nlohmann::json& answer = results["answer"];
  const bool moved = answer["point"] == "refined" &&
                     (answer["W1"] != best["W1"] || answer["beta"] != best["beta"] ||
                      answer["E0"] != best["E0"]);
  const nlohmann::json& point = moved ? answer : best;
  const float w1 = point["W1"];
  const std::span<const float> momenta = s.two.labmom.span().first(model.size());
  ASSERT_EQ(model.size(), static_cast<std::size_t>(s.three.nlab));
  momfit::Plot bare;
  bare.open(s, dir + "/bare.png/png");
  const PixelMap bare_map;
  bare.close();
  const int seen = lab_points_seen(picture_from("convert " + dir + "/bare.png ppm:-"), bare_map, s);
  momfit::Plot layout;
  layout.open(s, dir + "/layout.png/png");
  layout.draw_curve(momenta, model);
  layout.show_results("demo_lab.dat", text(w1).view(), text(w1 * 8065.54f).view(),
                      text(point["beta"]).view(), text(point["E0"]).view(),
                      text(moved ? sum : static_cast<float>(point["chi2"])).view(), moved);
  PixelMap map;
  layout.close();
  const std::vector<momfit::Box> plates = captions(layout.boxes());
  EXPECT_GE(seen, 290);
  EXPECT_EQ(curve_in_boxes(file, map, plates), 0);
  EXPECT_EQ(lab_points_seen(file, map, s), seen);
  // The page as big as the file's, in the middle of the window's white.
  int x1 = screen.w, x2 = 0, y1 = screen.h, y2 = 0;
  for (int i = 0; i < screen.w * screen.h; ++i) {
    if (screen.rgb[3 * i] == 255 && screen.rgb[3 * i + 1] == 255 && screen.rgb[3 * i + 2] == 255) {
      x1 = std::min(x1, i % screen.w), x2 = std::max(x2, i % screen.w);
      y1 = std::min(y1, i / screen.w), y2 = std::max(y2, i / screen.w);
    }
  }
  map.dx = x1 + (x2 + 1 - x1 - file.w) / 2;
  map.dy = y1 + (y2 + 1 - y1 - file.h) / 2;
  EXPECT_EQ(curve_in_boxes(screen, map, plates), 0);
  EXPECT_EQ(lab_points_seen(screen, map, s), seen);
  // Under the fit, in the file and in the window, the answer's residuals
  // (those of --curve), where the layout puts them.
  ASSERT_TRUE(layout.save(dir + "/answer.png/png"));
  PixelMap below(layout.panels()[1]);
  const int n = s.three.nlab;
  EXPECT_EQ(points_seen(file, below, momenta, residual), n);
  below.dx = map.dx;
  below.dy = map.dy;
  EXPECT_EQ(points_seen(screen, below, momenta, residual), n);

  // A terminal user types go at the PAUSE, and nothing more is asked.
  testing_support::Run typed = run;
  typed.args = {};
  typed.terminal = true;
  typed.input = input + "go\n";
  typed.at_pause = {};
  typed.limit = std::chrono::seconds(60);
  const Outcome t = testing_support::run(typed);
  EXPECT_EQ(t.exit_status, 0) << t.err;
  EXPECT_FALSE(t.timed_out);
  EXPECT_EQ((t.out + t.err).find("RETURN"), std::string::npos) << t.out;
}

TEST(Momfit, OtherMassesAndProfileAreFittedBack) {
  // The demo's data (W1 = 1 eV, beta = 0.5, E0 = 1422 eV, with noise) for
  // a fragment pair of other masses, whose momenta lie far below the
  // fixed plot window.
  const TempDir tmp;
  const std::string& dir = tmp.str();
  testing_support::Run make;
  make.program = DEMO_DATA_PATH;
  make.args = {"--masses", "34.96885", "1.007825"};
  make.dir = dir;
  ASSERT_EQ(testing_support::run(make).exit_status, 0);
  std::filesystem::rename(dir + "/newintrin_red", dir + "/response.dat");
  testing_support::Run fit;
  fit.program = MOMFIT_PATH;
  fit.args = {"--masses", "34.96885", "1.007825", "--profile", "response.dat", "--plot", "fit.png"};
  fit.env = {"DISPLAY"};  // no X display at all
  fit.dir = dir;
  fit.input = answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20", "1.0e-3");
  const Outcome r = testing_support::run(fit);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NEAR(first_value(r.out, " Best W1 is "), 1.0, 0.05);
  EXPECT_NEAR(last_value(r.out, " Best beta is "), 0.5, 0.05);
  EXPECT_NEAR(last_value(r.out, " Best E0 is "), 1422.0, 0.2);
  // With the default masses the same answers find no fit near the truth.
  fit.args = {"--profile", "response.dat"};
  const Outcome default_masses = testing_support::run(fit);
  EXPECT_GT(std::abs(last_value(default_masses.out, " Best E0 is ") - 1422.0), 100.0);
  // The picture frames the data: the curve shows.
  const CurvePixels drawn = curve_pixels(picture_from("convert '" + dir + "/fit.png' ppm:-"), kMarkerReach);
  EXPECT_GT(drawn.full, 1000);
  EXPECT_EQ(drawn.stray, 0);
}

// The profile is applied as it is and the model scaled afterwards, so its
// scale must not matter: the first chi-square (the same point) and the best
// values of a profile times 1e-9 or 1e10 agree with the profile as made,
// within the spread that rounding alone gives (measured over profiles
// scaled by 0.3 to 7.1: W1 0.002 eV, beta 0.0014, E0 0.004 eV).
TEST(Momfit, ProfileScaleDoesNotChangeTheFit) {
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  std::vector<double> profile;
  std::istringstream made(read_file(dir + "/newintrin_red"));
  for (double v; made >> v;) profile.push_back(v);
  ASSERT_GT(profile.size(), 10u);
  testing_support::Run fit;
  fit.program = MOMFIT_PATH;
  fit.env = {"DISPLAY"};
  fit.dir = dir;
  fit.input = answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20", "1.0e-3");
  std::vector<Outcome> runs;
  for (const double scale : {1.0, 1e-9, 1e10}) {
    std::string scaled;
    for (const double v : profile) scaled += std::to_string(v * scale) + "\n";
    if (scale < 1) {  // to_string's six decimals would lose it
      scaled.clear();
      for (const double v : profile) scaled += std::to_string(v) + "e-9\n";
    }
    write_file(dir + "/scaled.dat", scaled);
    fit.args = {"--no-wait", "--no-window", "--profile", "scaled.dat"};
    runs.push_back(testing_support::run(fit));
    ASSERT_EQ(runs.back().exit_status, 0) << scale << "\n" << runs.back().err;
  }
  const Outcome& as_made = runs[0];
  for (std::size_t k = 1; k < runs.size(); ++k) {
    const Outcome& r = runs[k];
    const double chi = first_value(as_made.out, " Chi^2 is ");
    EXPECT_NEAR(first_value(r.out, " Chi^2 is "), chi, 2e-6 * chi) << k;
    EXPECT_NEAR(first_value(r.out, " Best W1 is "), first_value(as_made.out, " Best W1 is "),
                0.004) << k;
    EXPECT_NEAR(last_value(r.out, " Best beta is "), last_value(as_made.out, " Best beta is "),
                0.003) << k;
    EXPECT_NEAR(last_value(r.out, " Best E0 is "), last_value(as_made.out, " Best E0 is "),
                0.008) << k;
  }
}

// The picture lands whole at the name given, its extension in any case;
// one that cannot be written is said, the fit still ends with its results
// and the closing PAUSE, and the status is 1.
TEST(Momfit, PlotFileIsWholeOrTheRunSaysSo) {
  const TempDir demo = demo_dir();
  testing_support::Run run;
  run.program = MOMFIT_PATH;
  run.env = {"DISPLAY"};
  run.dir = demo.str();
  run.input = answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20", "1.0e-3");
  run.args = {"--plot", "Fit.PDF"};
  const Outcome upper = testing_support::run(run);
  EXPECT_EQ(upper.exit_status, 0) << upper.err;
  EXPECT_TRUE(recordio::picture_fault("pdf", read_file(demo.str() + "/Fit.PDF")).empty());
  run.args = {"--plot", "missing/fit.png"};
  const Outcome missing = testing_support::run(run);
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_NE(missing.err.find("momfit: cannot write missing/fit.png: No such file or directory\n"),
            std::string::npos)
      << missing.err;
  EXPECT_EQ(missing.out, upper.out);
  EXPECT_EQ(missing.pauses, 1);
}

TEST(Momfit, AnswersHelpAndVersion) {
  const TempDir tmp;
  testing_support::Run help;
  help.dir = tmp.str();
  help.program = MOMFIT_PATH;
  help.args = {"--help"};
  const Outcome h = testing_support::run(help);
  EXPECT_EQ(h.exit_status, 0);
  EXPECT_EQ(h.out.rfind("Usage: momfit [--plot FILE] [--profile FILE] [--masses M1 M2] "
                        "[--mass-unit KG] [--log FILE] [--results FILE] [--curve FILE] [--scan-plot FILE] ", 0), 0u)
      << h.out;
  EXPECT_NE(h.out.find("134"), std::string::npos) << "every exit status is listed";
  EXPECT_EQ(h.err, "");
  help.args = {"--e0", "x", "-h"};  // answered before the other options are judged
  EXPECT_EQ(testing_support::run(help).out, h.out);
  for (const char* version : {"--version", "-V", "--vers"}) {
    help.args = {"--plot=fit.png", version};
    const Outcome v = testing_support::run(help);
    EXPECT_EQ(v.exit_status, 0);
    EXPECT_EQ(v.out.rfind("momfit (labsuite) ", 0), 0u) << v.out;
  }
}

}  // namespace
