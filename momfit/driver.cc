#include "momfit/driver.h"

#include <cstdint>
#include <string>

#include "momfit/blocks.h"
#include "momfit/display.h"
#include "momfit/loaders.h"
#include "momfit/model/phi2.h"
#include "momfit/numeric/amoeba.h"
#include "recordio/arrays.h"
#include "recordio/recordio.h"

namespace momfit {
namespace {

constexpr float kWavenumbersPerEv = 8065.54f;
constexpr int kMinLab = 4;  // the chi-square divides by nlab - 3

// Run values; static like the rest of the fit state.
float w1, w2, beta, e0c, w1c, w2c, betac, ftol;
std::int32_t iter;
recordio::Character<99> labinput;
recordio::Character<99> input;
recordio::Matrix1<float, 5, 4> vertix;
recordio::Array1<float, 6> theresult;
recordio::Array1<float, 4> corner;
float w1cm;
recordio::Character<20> charw1, charw2, charbeta, chare0, charchi2, charw1cm;

void say(std::initializer_list<recordio::Item> items) { recordio::write_list(6, items); }
void blank() { say({" "}); }
void ask(const char* prompt, float& value) {
  say({prompt});
  recordio::read_list(5, {&value});
}

// q := (q / 100) v, then q := q + v: a percentage change made a value.
void change(float& q, float v) {
  q = (q / 100.0f) * v;
  q = q + v;
}

void set_rows(float a, float b, float c, float d) {
  for (int i = 1; i <= 5; ++i) {
    vertix(i, 1) = a;
    vertix(i, 2) = b;
    vertix(i, 3) = c;
    vertix(i, 4) = d;
  }
}

// Evaluates the five vertices into theresult, one "Chi^2 is " line each.
void evaluate_vertices() {
  for (int i = 1; i <= 5; ++i) {
    for (int j = 1; j <= 4; ++j) corner(j) = vertix(i, j);
    theresult(i) = phi2(corner.span());
    say({"Chi^2 is ", theresult(i)});
  }
}

void minimise() {
  blank();
  say({"Finished initializing, calling amoeba..."});
  amoeba(vertix.view(), theresult.span(), 5, 4, 4, ftol, phi2, iter);
}

// Refuses inputs the objective cannot work with, before the plot opens.
void check_inputs() {
  if (three.nlab < kMinLab) {
    recordio::fail(std::string(labinput.trimmed()) + ": " + std::to_string(three.nlab) +
                   " lab points read, at least 4 are needed");
  }
  if (three.nprof == 0) {
    recordio::fail(std::string(input.trimmed()) + ": no profile value read");
  }
}

}  // namespace

void fit_main() {
  // 1. Dialogue.
  blank();
  ask("Please enter the E0 value (eV)", two.e0);
  blank();
  ask("Please enter an initial guess at width 1 (eV)", w1);
  blank();
  w2 = 0.0f;
  blank();
  two.weight2 = 0.0f;
  blank();
  ask("Please enter the beta value", beta);
  blank();
  say({"The instrumental profile filename is intrin4"});
  input.assign("newintrin_red");
  blank();
  say({"Please enter the lab data filename"});
  recordio::read_formatted(5, "(a)", labinput.span());
  blank();
  ask("Please enter an initial change in E0 (%)", e0c);
  blank();
  ask("Please enter an initial change in W1 (%)", w1c);
  blank();
  w2c = 0.0f;
  blank();
  ask("Please enter an initial change in beta (%)", betac);
  blank();
  ask("Please enter the tolerance level", ftol);
  blank();
  say({"Thanks."});

  // 2. Input files.
  load_lab(labinput.view());
  load_profile(input.view());
  check_inputs();

  // 3-5. Echo, best chi-square, plot.
  say({"Initial E0 is ", two.e0});
  say({"Initial W1 is ", w1});
  say({"Initial beta is ", beta});
  one.bestchi2 = 1.0E38f;
  display::open_plot();

  // 6-9. Changed values, starting simplex, first minimisation.
  change(w1c, w1);
  change(w2c, w2);
  change(betac, beta);
  change(e0c, two.e0);
  set_rows(w1, w2, beta, two.e0);
  vertix(2, 1) = w1c;
  vertix(3, 2) = w2c;
  vertix(4, 3) = betac;
  vertix(5, 4) = e0c;
  evaluate_vertices();
  minimise();

  // 10-11. Restart simplex around block one, built once; second minimisation.
  set_rows(one.bestw1, one.bestw2, one.bestbeta, one.beste0);
  vertix(2, 1) = w1c - w1c / 10.0f;
  vertix(3, 2) = w2c - w2c / 12.0f;
  vertix(4, 3) = betac - betac / 15.0f;
  vertix(5, 4) = e0c - e0c / 500.0f;
  blank();
  say({"Initializing again"});
  blank();
  evaluate_vertices();
  minimise();

  // 12-13. Results on the terminal and as texts for the plot.
  blank();
  say({"Best W1 is ", one.bestw1});
  say({"Best W1 is ", one.bestw1 * kWavenumbersPerEv});
  say({"Best beta is ", one.bestbeta});
  say({"Best E0 is ", one.beste0});
  blank();
  recordio::write_list(charw1.span(), {one.bestw1});
  recordio::write_list(charw2.span(), {one.bestw2});
  recordio::write_list(charbeta.span(), {one.bestbeta});
  recordio::write_list(chare0.span(), {one.beste0});
  recordio::write_list(charchi2.span(), {one.bestchi2});
  w1cm = one.bestw1 * kWavenumbersPerEv;
  recordio::write_list(charw1cm.span(), {w1cm});

  // 14-16. Final display, PAUSE, close.
  display::show_results(labinput.view(), charw1.view(), charw1cm.view(), charbeta.view(),
                        chare0.view(), charchi2.view());
  recordio::pause("");
  display::close_plot();

  // Block one still holds its start: no evaluation gave a usable chi-square.
  if (!(one.bestchi2 < 1.0E38f)) {
    recordio::fail("no evaluation gave a finite chi-square below 1.0E38; "
                   "the best values printed are not fit results");
  }
}

}  // namespace momfit
