#include "bandfit/plot.h"

#include <cpgplot.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "run/picture_file.h"
#include "run/plot_library.h"

namespace bandfit {
namespace {

constexpr std::array<std::string_view, 5> kBands = {"V+0", "V+1", "V+2", "2V0", "4V2"};
constexpr std::array<char, 3> kBranches = {'P', 'Q', 'R'};
// Markers by branch, filled and hollow: circle, square, triangle. Each
// with its own height, so that the six come out about the same size.
struct Marker {
  int symbol;
  float height;
};
constexpr std::array<Marker, 3> kFilled = {{{-8, 0.6f}, {16, 1.3f}, {-3, 0.7f}}};
constexpr std::array<Marker, 3> kHollow = {{{22, 1.2f}, {6, 0.9f}, {7, 0.9f}}};

void mark(float x, float y, Marker m) {
  cpgsch(m.height);
  cpgpt1(x, y, m.symbol);
}
constexpr double kHollowWeight = 0.1;  // lines below it do not count as readings
constexpr int kFirstBandColour = 16;   // colour indices 16..20, set below
constexpr int kGrey = 21;

// Band and branch of a label the deck has accepted, e.g. "R V+0 " -> 0, 2.
int band_of(const Label& label) {
  const std::string_view band = label.view().substr(2, 3);
  return static_cast<int>(std::find(kBands.begin(), kBands.end(), band) - kBands.begin());
}
int branch_of(const Label& label) {
  return static_cast<int>(std::find(kBranches.begin(), kBranches.end(), label.view()[0]) -
                          kBranches.begin());
}

// Black on white in every format, and five colours that stay apart for
// most readers and on paper.
void set_colours() {
  cpgscr(0, 1.0f, 1.0f, 1.0f);
  cpgscr(1, 0.0f, 0.0f, 0.0f);
  constexpr std::array<std::array<float, 3>, 5> rgb = {{{0.00f, 0.35f, 0.80f},
                                                        {0.90f, 0.45f, 0.00f},
                                                        {0.00f, 0.60f, 0.25f},
                                                        {0.80f, 0.10f, 0.15f},
                                                        {0.55f, 0.25f, 0.70f}}};
  for (std::size_t b = 0; b < rgb.size(); ++b) {
    cpgscr(kFirstBandColour + static_cast<int>(b), rgb[b][0], rgb[b][1], rgb[b][2]);
  }
  cpgscr(kGrey, 0.55f, 0.55f, 0.55f);
}

// Half the height of the frame: the largest residual in size and a tenth
// more, so that no marker sits on the frame.
float half_height(const Deck& d, const Summary& s) {
  double top = 0.0;
  for (int i = 1; i <= d.n; ++i) {
    const double r = s.y2(i) - s.observed(i);
    if (std::isfinite(r)) top = std::max(top, std::fabs(r));
  }
  return top > 0.0 ? static_cast<float>(1.1 * top) : 1.0f;
}

void draw_frame(const Deck& d, const Summary& s) {
  const float h = half_height(d, s);
  cpgsvp(0.10f, 0.78f, 0.11f, 0.85f);
  cpgswin(-1.0f, 23.0f, -h, h);
  cpgsci(1);
  cpgsch(1.0f);
  cpgbox("BCNST", 0.0f, 0, "BCNSTV", 0.0f, 0);
  cpglab("lower-state J", "calculated - observed (cm\\u-1\\d)", "");
  // The title: the usual standard deviation first, the report's own one after.
  std::array<char, 160> title;
  std::snprintf(title.data(), title.size(), "bandfit residuals of %d lines", d.n);
  cpgmtxt("T", 2.6f, 0.5f, 0.5f, title.data());
  std::snprintf(title.data(), title.size(),
                "standard deviation sqrt(S/(N-M)) = %.4e cm\\u-1\\d,  sqrt(S)/(N-M) = %.4e",
                s.outcome.usual_deviation, s.outcome.deviation);
  cpgsch(0.8f);
  cpgmtxt("T", 1.2f, 0.5f, 0.5f, title.data());
  cpgsch(1.0f);
  // The zero line, dashed, under the points.
  cpgsci(kGrey);
  cpgsls(2);
  const std::array<float, 2> x = {-1.0f, 23.0f}, y = {0.0f, 0.0f};
  cpgline(2, x.data(), y.data());
  cpgsls(1);
}

// Hollow lines first, so that a filled marker on the same spot stays seen.
void draw_points(const Deck& d, const Summary& s) {
  cpgslw(2);
  for (const bool hollow : {true, false}) {
    for (int i = 1; i <= d.n; ++i) {
      if ((d.w(i) < kHollowWeight) != hollow) continue;
      const double r = s.y2(i) - s.observed(i);
      if (!std::isfinite(r)) continue;
      const int branch = branch_of(d.line_block.branch(i));
      cpgsci(kFirstBandColour + band_of(d.line_block.branch(i)));
      mark(static_cast<float>(d.line_block.jlow(i)), static_cast<float>(r),
           hollow ? kHollow[branch] : kFilled[branch]);
    }
  }
  cpgslw(1);
}

// The key, in its own viewport right of the frame: the bands present by
// colour, the branches by marker, and what a hollow marker means.
void draw_legend(const Deck& d) {
  std::array<bool, kBands.size()> present{};
  for (int i = 1; i <= d.n; ++i) present[band_of(d.line_block.branch(i))] = true;
  cpgsvp(0.80f, 0.99f, 0.11f, 0.87f);
  cpgswin(0.0f, 1.0f, 0.0f, 1.0f);
  float y = 0.97f;
  constexpr float kStep = 0.06f;
  const auto entry = [&](int colour, Marker marker, const char* text) {
    cpgsci(colour);
    cpgslw(2);
    mark(0.08f, y, marker);
    cpgslw(1);
    cpgsci(1);
    cpgsch(0.85f);
    cpgptxt(0.2f, y - 0.012f, 0.0f, 0.0f, text);
    y -= kStep;
  };
  const auto heading = [&](const char* text) {
    cpgsci(1);
    cpgsch(0.85f);
    cpgptxt(0.0f, y - 0.012f, 0.0f, 0.0f, text);
    y -= kStep;
  };
  heading("band");
  for (std::size_t b = 0; b < kBands.size(); ++b) {
    if (!present[b]) continue;
    const std::string text(kBands[b]);
    entry(kFirstBandColour + static_cast<int>(b), kFilled[0], text.c_str());
  }
  y -= kStep / 2;
  heading("branch");
  for (std::size_t k = 0; k < kBranches.size(); ++k) {
    const char text[2] = {kBranches[k], '\0'};
    entry(1, kFilled[k], text);
  }
  y -= kStep / 2;
  entry(1, kFilled[0], "weight >= 0.1");
  entry(1, kHollow[0], "weight < 0.1");
}

}  // namespace

bool plot_residuals(const std::string& file, const Deck& d, const Summary& s) {
  recordio::PictureFile picture(file);
  if (const std::string why = recordio::plot_library_fault(); !why.empty()) {
    picture.fail(why);
  } else if (picture.ok()) {
    if (cpgopen(picture.device().c_str()) <= 0) {
      picture.fail("the plotting library could not open it");
    } else {
      cpgask(0);
      cpgbbuf();
      set_colours();
      cpgpage();
      draw_frame(d, s);
      draw_points(d, s);
      draw_legend(d);
      cpgebuf();
      cpgclos();
    }
  }
  return picture.commit_or_report();
}

}  // namespace bandfit
