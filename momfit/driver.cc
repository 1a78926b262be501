#include "momfit/driver.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "momfit/blocks.h"
#include "momfit/display.h"
#include "momfit/loaders.h"
#include "momfit/model/phi2.h"
#include "momfit/numeric/amoeba.h"
#include "momfit/profile_scan.h"
#include "momfit/run_report.h"
#include "recordio/arrays.h"
#include "recordio/cli.h"
#include "recordio/output_lock.h"
#include "recordio/picture_file.h"
#include "recordio/recordio.h"
#include "recordio/replace_file.h"

namespace momfit {
namespace {

const cli::Program kProgram{
    "momfit",
    "[--plot FILE] [--profile FILE] [--masses M1 M2] [--log FILE] [--results FILE] "
    "[--no-wait] [--no-window]",
    "Fits a measured momentum distribution; the dialogue asks on standard input\n"
    "for E0, W1, beta, the lab data file, three changes (%) and a tolerance.\n"
    "  --plot FILE        also write the final picture to FILE (.png, .pdf, .svg, .ps)\n"
    "  --profile FILE     the instrument profile (default newintrin_red)\n"
    "  --masses M1 M2     the two fragment masses in u (default 69.92425 1.007825)\n"
    "  --log FILE         the evaluation log to FILE instead of fort.7\n"
    "  --results FILE     the results, with the profile intervals, to FILE as JSON\n"
    "  --no-wait          no PAUSE: end after the results; at the iteration limit\n"
    "                     stop that minimisation and go on (exit status 3)\n"
    "  --no-window        no plot window, even with DISPLAY set (--plot still works)\n"
    "  --help, --version  this text; the name and release\n"
    "Exit status: 0 fitted; 1 no usable fit or an output not written; 2 usage;\n"
    "3 results printed but a minimisation stopped at the iteration limit.\n"};

// A mass as a positive REAL: a value that is positive as a double but not as
// a float (below its range, or beyond it) is refused as well.
float mass(std::string_view text) {
  const auto m = static_cast<float>(cli::positive(kProgram, "--masses", text));
  if (!(m > 0.0f) || !std::isfinite(m)) {
    cli::usage_error(kProgram, "--masses needs a positive number, not '" + std::string(text) + "'");
  }
  return m;
}

void say(std::initializer_list<recordio::Item> items) { recordio::write_list(6, items); }
void blank() { say({" "}); }
void ask(const char* prompt, float& value) {
  say({prompt});
  // One answer per line: "1,0e-3" (a decimal comma) is read as 1 and warned of.
  recordio::read_list(5, {&value}, recordio::Layout::no_extra);
}

// q := (q / 100) v, then q := q + v: a percentage change made a value.
void change(float& q, float v) {
  q = (q / 100.0f) * v;
  q = q + v;
}

// What an evaluation shows goes to the plot; the kit's troubles PAUSE with
// their fixed text, at the moment the objective meets them; every
// evaluation is logged on unit 7 (fort.7, or the --log file) and counted.
class Shown final : public EvaluationObserver {
 public:
  // wait: the kit's troubles PAUSE; without it (--no-wait) each is one
  // stderr line and the fit goes on, as a resumed PAUSE would.
  Shown(Plot& plot, bool wait) : plot_(plot), wait_(wait) {}
  void evaluated(std::span<const float>, float chi2, const BestPoint& best) override {
    log_record(7, chi2, best);
    ++evaluations_;
  }
  long evaluations() const { return evaluations_; }
  void trouble(std::string_view message) override {
    if (!wait_) {
      recordio::complain(std::string(message) + "; the fit goes on");
      return;
    }
    plot_.flush();
    recordio::pause(message);
  }
  // The plot erases the curve it shows when it draws its next frame.
  void erase_curve(std::span<const float> /*x*/, std::span<const float> /*y*/) override {}
  void draw_curve(std::span<const float> x, std::span<const float> y) override {
    plot_.draw_curve(x, y);
  }

 private:
  Plot& plot_;
  bool wait_;
  long evaluations_ = 0;
};

// One run, one fit: the run values of the dialogue, the fit state, the plot
// and the objective, each phase a member.
class Fit {
 public:
  explicit Fit(const Options& options) : o_(options) { s_.config = options.config; }
  // The status of the run when its outputs went well: 0, or 3 when a
  // minimisation stopped at the iteration limit.
  int run();

 private:
  bool prepare_outputs();
  void intervals();
  void dialogue();
  void load();
  void start_simplex();
  void restart_simplex();
  void set_rows(float a, float b, float c, float d);
  void evaluate_vertices();
  void minimise();
  void results();
  void save_plot();

  const Options& o_;
  FitState s_;
  Plot plot_;
  Shown shown_{plot_, !o_.no_wait};
  Objective phi2_{s_, &shown_};

  // Starting values and changes (each change becomes a changed value).
  float w1 = 0.0f, w2 = 0.0f, beta = 0.0f;                  // starting W1, W2 (0), beta
  float e0c = 0.0f, w1c = 0.0f, w2c = 0.0f, betac = 0.0f;  // % change, then changed value
  float ftol = 0.0f;                                       // tolerance, as typed
  std::string labinput;                                    // lab data file name line, whole
  recordio::Matrix1<float, 5, 4> vertix;  // the simplex: row = vertex, column = W1 W2 beta E0
  recordio::Array1<float, 6> theresult;   // chi-square at each vertex (places 1 to 5)

  bool converged_ = true;  // every minimisation met its tolerance
  bool at_limit_ = false;  // one stopped at the iteration limit (--no-wait)
  std::unique_ptr<recordio::ReplaceFile> results_;
};

// The dialogue, written and read in its fixed order.
void Fit::dialogue() {
  blank();
  ask("Please enter the E0 value (eV)", s_.two.e0);
  blank();
  ask("Please enter an initial guess at width 1 (eV)", w1);
  blank();
  w2 = 0.0f;
  blank();
  s_.two.weight2 = 0.0f;
  blank();
  ask("Please enter the beta value", beta);
  blank();
  // Kept on purpose: the text names "intrin4"; the file read is the profile of FitConfig.
  say({"The instrumental profile filename is intrin4"});
  blank();
  say({"Please enter the lab data filename"});
  recordio::read_formatted(5, "(a)", labinput);
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
}

// Both input files, then a refusal of inputs the objective cannot
// work with, before the plot opens.
void Fit::load() {
  load_lab(labinput, s_);
  load_profile(s_.config.profile, s_);
  constexpr int kMinLab = 4;  // the chi-square divides by nlab - 3
  if (s_.three.nlab < kMinLab) {
    recordio::fail(file_name(labinput) + ": " + std::to_string(s_.three.nlab) +
                   " lab points read, at least 4 are needed");
  }
  if (s_.three.nprof == 0) {
    recordio::fail(s_.config.profile + ": no profile value read");
  }
}

void Fit::set_rows(float a, float b, float c, float d) {
  for (int i = 1; i <= 5; ++i) {
    vertix(i, 1) = a;
    vertix(i, 2) = b;
    vertix(i, 3) = c;
    vertix(i, 4) = d;
  }
}

// The changed values and the starting simplex: vertex k > 1 moves parameter
// k - 1. Kept on purpose: W2's change is 0, so vertex 3 repeats vertex 1.
void Fit::start_simplex() {
  change(w1c, w1);
  change(w2c, w2);
  change(betac, beta);
  change(e0c, s_.two.e0);
  set_rows(w1, w2, beta, s_.two.e0);
  vertix(2, 1) = w1c;
  vertix(3, 2) = w2c;
  vertix(4, 3) = betac;
  vertix(5, 4) = e0c;
}

// The restart simplex around the best point; its diagonal comes from the
// changed values, not from the best point (kept on purpose).
void Fit::restart_simplex() {
  const BestPoint& one = s_.one;
  set_rows(one.bestw1, one.bestw2, one.bestbeta, one.beste0);
  vertix(2, 1) = w1c - w1c / 10.0f;
  vertix(3, 2) = w2c - w2c / 12.0f;
  vertix(4, 3) = betac - betac / 15.0f;
  vertix(5, 4) = e0c - e0c / 500.0f;
}

// Evaluates the five vertices into theresult, one "Chi^2 is " line each.
void Fit::evaluate_vertices() {
  recordio::Array1<float, 4> corner;
  for (int i = 1; i <= 5; ++i) {
    for (int j = 1; j <= 4; ++j) corner(j) = vertix(i, j);
    theresult(i) = phi2_(corner.span());
    say({"Chi^2 is ", theresult(i)});
  }
}

// One minimisation; from the iteration limit on, every further step waits
// for the user first. With --no-wait the limit ends the minimisation.
void Fit::minimise() {
  blank();
  say({"Finished initializing, calling amoeba..."});
  Amoeba search(vertix.view(), theresult.span(), 4, ftol);
  Outcome end;
  while ((end = search.run(phi2_)) == Outcome::iteration_limit) {
    if (o_.no_wait) {
      recordio::complain("the simplex reached the iteration limit without meeting the "
                         "tolerance; the best point so far is kept");
      at_limit_ = true;
      break;
    }
    plot_.flush();
    recordio::pause(pause_text(Outcome::iteration_limit));
  }
  converged_ = converged_ && end == Outcome::converged;
}

// The best point on the terminal, as texts, and on the plot.
void Fit::results() {
  constexpr float kWavenumbersPerEv = 8065.54f;
  const BestPoint& one = s_.one;
  blank();
  say({"Best W1 is ", one.bestw1});
  say({"Best W1 is ", one.bestw1 * kWavenumbersPerEv});  // kept on purpose: in cm^-1, same text
  say({"Best beta is ", one.bestbeta});
  say({"Best E0 is ", one.beste0});
  blank();
  recordio::Character<20> charw1, charw2, charbeta, chare0, charchi2, charw1cm;
  recordio::write_list(charw1.span(), {one.bestw1});
  recordio::write_list(charw2.span(), {one.bestw2});
  recordio::write_list(charbeta.span(), {one.bestbeta});
  recordio::write_list(chare0.span(), {one.beste0});
  recordio::write_list(charchi2.span(), {one.bestchi2});
  const float w1cm = one.bestw1 * kWavenumbersPerEv;
  recordio::write_list(charw1cm.span(), {w1cm});
  plot_.show_results(labinput, charw1.view(), charw1cm.view(), charbeta.view(),
                     chare0.view(), charchi2.view());
}

// The final picture into the --plot file, before the closing PAUSE. A file
// that cannot be written is said on standard error, an earlier one stays as
// it was, and the run goes on to end with status 1.
void Fit::save_plot() {
  if (o_.plot.empty()) return;
  recordio::PictureFile picture(o_.plot);
  if (picture.ok() && !plot_.save(picture.device())) {
    picture.fail("the plotting library could not open it");
  }
  picture.commit_or_report();
}

// The --log and --results files, before the dialogue: a place that cannot
// be written is said at once (status 1) rather than after the fit. The log
// is only named here; its first record creates it, as fort.7's does.
bool Fit::prepare_outputs() {
  if (!o_.log.empty()) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path log(o_.log);
    const fs::file_status st = fs::status(log, ec);
    const fs::path dir = log.has_parent_path() ? log.parent_path() : fs::path(".");
    const char* why = nullptr;
    if (fs::is_directory(st)) {
      why = std::strerror(EISDIR);
    } else if (::access((fs::exists(st) ? log : dir).c_str(), W_OK) != 0) {
      why = std::strerror(errno);
    }
    if (why != nullptr) {
      recordio::cannot_write(o_.log, why);
      return false;
    }
    recordio::name_new(7, o_.log);
  }
  if (!o_.results.empty()) {
    results_ = std::make_unique<recordio::ReplaceFile>(o_.results);
    if (!results_->ok()) {
      recordio::cannot_write(o_.results, results_->error());
      return false;
    }
  }
  return true;
}

// The profile intervals after the fit's results, on an objective of their
// own (block one, the plot and the log are left alone); then the results
// file.
void Fit::intervals() {
  const int n = s_.three.nlab;
  const ProfileScan scan =
      profile_scan(sum_of_squares(s_), {s_.one.bestw1, s_.one.bestbeta, s_.one.beste0}, n);
  for (const std::string& line : interval_lines(scan, n)) {
    recordio::write_formatted(6, "(a)", {line});
  }
  if (results_ == nullptr || !(s_.one.bestchi2 < 1.0E38f)) return;
  RunSummary r;
  r.lab_file = file_name(labinput);
  r.profile_file = s_.config.profile;
  r.config = s_.config;
  r.points = n;
  r.evaluations = shown_.evaluations();
  r.converged = converged_;
  r.e0 = s_.two.e0;
  r.w1 = w1;
  r.beta = beta;
  r.best = s_.one;
  r.scan = &scan;
  write_results(*results_, r);
}

int Fit::run() {
  if (!prepare_outputs()) return 0;
  dialogue();
  load();

  // Echo, best chi-square, plot.
  say({"Initial E0 is ", s_.two.e0});
  say({"Initial W1 is ", w1});
  say({"Initial beta is ", beta});
  s_.one.bestchi2 = 1.0E38f;  // kept on purpose: a start, not infinity (9.99999968E+37)
  plot_.open(s_, o_.no_window ? "" : "/xwindow");

  // Starting simplex, first minimisation.
  start_simplex();
  evaluate_vertices();
  minimise();

  // Restart simplex around the best point, built once; second minimisation.
  restart_simplex();
  blank();
  say({"Initializing again"});
  blank();
  evaluate_vertices();
  minimise();

  // Results, the intervals, PAUSE, close.
  results();
  intervals();
  save_plot();
  if (!o_.no_wait) recordio::pause("");
  plot_.close();

  // Block one still holds its start: no evaluation gave a usable chi-square.
  if (!(s_.one.bestchi2 < 1.0E38f)) {
    recordio::fail("no evaluation gave a finite chi-square below 1.0E38; "
                   "the best values printed are not fit results");
  }
  return at_limit_ ? 3 : 0;
}

}  // namespace

Options options(int argc, char** argv) {
  Options o;
  const std::vector<std::string_view> args = cli::arguments(kProgram, argc, argv);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string option(args[i]);
    // The value after the option; another option in its place is no value.
    const auto value = [&](std::string_view what) -> std::string_view {
      if (++i < args.size() && args[i].rfind("--", 0) != 0) return args[i];
      cli::usage_error(kProgram, option + " needs " + std::string(what));
    };
    if (option == "--plot") {
      o.plot = value("a FILE");
      if (recordio::picture_type(o.plot).empty()) {
        cli::usage_error(kProgram, "--plot FILE must end in .png, .pdf, .svg or .ps, not '" +
                                       o.plot + "'");
      }
    } else if (option == "--profile") {
      o.config.profile = value("a FILE");
    } else if (option == "--log") {
      o.log = value("a FILE");
    } else if (option == "--results") {
      o.results = value("a FILE");
    } else if (option == "--no-wait") {
      o.no_wait = true;
    } else if (option == "--no-window") {
      o.no_window = true;
    } else if (option == "--masses") {
      o.config.m1 = mass(value("two masses"));
      o.config.m2 = mass(value("two masses"));
    } else {
      cli::usage_error(kProgram, (option.rfind('-', 0) == 0 ? "unknown option '"
                                                              : "unexpected argument '") +
                                     option + "'");
    }
  }
  return o;
}

int fit_main(const Options& options) {
  // One run per folder writes the evaluation log (and the results file): a
  // second one with the same outputs is refused before it asks anything.
  std::vector<std::string> outputs = {options.log.empty() ? "fort.7" : options.log};
  if (!options.results.empty()) outputs.push_back(options.results);
  const recordio::OutputLock lock(outputs);
  if (!lock.ok()) recordio::fail(lock.error());
  Fit fit(options);
  return fit.run();
}

}  // namespace momfit
