#include "momfit/display.h"

#include <cpgplot.h>

#include <string>

#include "recordio/recordio.h"

namespace momfit {
namespace {

// cpgtext takes a C string; the texts are fixed-length CHARACTER values.
void text_at(float x, float y, std::string_view text) {
  cpgtext(x, y, std::string(text).c_str());
}

}  // namespace

void Plot::open(const FitState& s) {
  if (cpgbeg(0, "/xwindow", 1, 1) != 1) {
    recordio::complain("cannot open the plot window on /xwindow; the fit goes on without it");
    return;
  }
  open_ = true;
  cpgslw(2);
  cpgsci(1);
  cpgsch(1.5f);
  cpgscf(2);
  const float top = s.two.probmax / 100.0f + s.two.probmax;
  cpgenv(7.22E-21f, 7.28E-21f, 2.0E-23f, top, 0, 0);
  cpglab("Momentum(kgm/s)", "Probability", " ");
  cpgscf(1);
  cpgsci(1);
  cpgpt(s.three.nlab, s.two.labmom.data(), s.two.labprob.data(), 1);
}

void Plot::curve(int colour, std::span<const float> x, std::span<const float> y) {
  if (!open_) return;
  constexpr int kMarker = 901;
  cpgsci(colour);
  cpgpt(static_cast<int>(x.size()), x.data(), y.data(), kMarker);
}

void Plot::erase_curve(std::span<const float> x, std::span<const float> y) {
  curve(0, x, y);  // the background colour
}

void Plot::draw_curve(std::span<const float> x, std::span<const float> y) { curve(14, x, y); }

void Plot::show_results(const FitState& s, std::string_view labinput, std::string_view charw1,
                        std::string_view charw1cm, std::string_view charbeta,
                        std::string_view chare0, std::string_view charchi2) {
  if (!open_) return;
  // The left ends of the result texts (kg m/s).
  constexpr float kLeftX = 7.22E-21f;
  constexpr float kValueX = 7.225E-21f;
  constexpr float kCmLabelX = 7.27E-21f;
  constexpr float kCmValueX = 7.275E-21f;
  cpgsci(1);
  cpgpt(s.three.nlab, s.two.labmom.data(), s.two.labprob.data(), 1);
  cpgsch(0.75f);
  const float p = s.two.probmax;
  const float y100 = p - 100.0f, y200 = p - 200.0f, y400 = p - 400.0f,
              y500 = p - 500.0f, y600 = p - 600.0f;
  text_at(kLeftX, y200, "bestW1=");
  text_at(kCmLabelX, y200, "bestW1(cm^-1)=");
  text_at(kLeftX, y400, "bestbeta=");
  text_at(kLeftX, y500, "bestE0=");
  text_at(kLeftX, y600, "bestchi^2=");
  text_at(kLeftX, y100, labinput);
  text_at(kValueX, y200, charw1);
  text_at(kCmValueX, y200, charw1cm);
  text_at(kValueX, y400, charbeta);
  text_at(kValueX, y500, chare0);
  text_at(kValueX, y600, charchi2);
}

void Plot::close() {
  if (!open_) return;
  cpgend();
  open_ = false;
}

}  // namespace momfit
