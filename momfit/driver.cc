#include "momfit/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "momfit/blocks.h"
#include "momfit/display.h"
#include "momfit/fit.h"
#include "momfit/loaders.h"
#include "momfit/numeric/outcome.h"
#include "momfit/run_report.h"
#include "recordio/arrays.h"
#include "recordio/cli.h"
#include "recordio/file_roles.h"
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

// The answers of the dialogue in the order asked (answer k at k - 1), for
// the line that names one the input ended before.
constexpr const char* kAnswers[] = {"E0",
                                    "the initial W1",
                                    "beta",
                                    "the lab data file name",
                                    "the change in E0",
                                    "the change in W1",
                                    "the change in beta",
                                    "the tolerance"};
constexpr int kLabAnswer = 4;

void ended_before(int answer) {
  recordio::complain("input ended before answer " + std::to_string(answer) + " (" +
                     kAnswers[answer - 1] + ")");
}

// Answer number `answer`. Input that ends first is said in plain words; the
// read is then made again, to end in the runtime report as always.
void ask(int answer, const char* prompt, float& value) {
  say({prompt});
  // One answer per line: "1,0e-3" (a decimal comma) is read as 1 and warned of.
  if (!recordio::read_list_or_end(5, {&value}, recordio::Layout::no_extra)) {
    ended_before(answer);
    recordio::read_list(5, {&value}, recordio::Layout::no_extra);
  }
}

// The files the command line names, each with its role, for the check that
// no output is also an input or another output.
std::vector<cli::FileRole> file_roles(const Options& o) {
  std::vector<cli::FileRole> files;
  if (o.log.empty()) {
    files.push_back({"the evaluation log", "the evaluation log", "fort.7", true});
  } else {
    files.push_back({"--log", "the evaluation log", o.log, true});
  }
  if (!o.results.empty()) files.push_back({"--results", "the --results file", o.results, true});
  if (!o.plot.empty()) files.push_back({"--plot", "the --plot picture", o.plot, true});
  files.push_back({"--profile", "the instrument profile", o.config.profile, false});
  return files;
}

// A file the run must read, opened once to look: one that cannot be opened
// is said in plain words, what it is and where its name came from, before
// the loader's own open gives the runtime report it always has.
void say_if_unreadable(const std::string& what, const std::string& name,
                       const std::string& from) {
  std::string why;
  if (name.empty()) {
    why = "the name is blank";
  } else if (std::FILE* f = std::fopen(name.c_str(), "r"); f == nullptr) {
    why = std::strerror(errno);
  } else {
    struct stat info {};
    if (::fstat(::fileno(f), &info) == 0 && S_ISDIR(info.st_mode)) why = std::strerror(EISDIR);
    std::fclose(f);
  }
  if (!why.empty()) {
    recordio::complain("cannot open " + what + " '" + name + "'" +
                       (from.empty() ? "" : " (" + from + ")") + ": " + why);
  }
}

// What the fit shows goes to the terminal and the plot; the kit's troubles
// and the iteration limit PAUSE with their fixed texts, at the moment the
// fit meets them; every evaluation is logged on unit 7 (fort.7, or the
// --log file).
class Shown final : public FitObserver {
 public:
  // wait: the troubles and the iteration limit PAUSE; without it
  // (--no-wait) each is one stderr line and the fit goes on, as a resumed
  // PAUSE would, except that the limit ends that minimisation.
  Shown(Plot& plot, bool wait) : plot_(plot), wait_(wait) {}
  void evaluated(std::span<const float>, float chi2, const BestPoint& best) override {
    log_record(7, chi2, best);
  }
  void trouble(std::string_view message) override {
    if (!wait_) {
      recordio::complain(std::string(message) + "; the fit goes on");
      return;
    }
    plot_.flush();
    recordio::pause(message);
  }
  // The plot erases the curve it shows when it draws its next frame.
  void draw_curve(std::span<const float> x, std::span<const float> y) override {
    plot_.draw_curve(x, y);
  }
  void vertex(float chi2) override { say({"Chi^2 is ", chi2}); }
  void stage(FitStage stage) override {
    blank();
    if (stage == FitStage::minimise) {
      say({"Finished initializing, calling amoeba..."});
    } else {
      say({"Initializing again"});
      blank();
    }
  }
  bool resume_at_limit() override {
    if (!wait_) {
      recordio::complain("the simplex reached the iteration limit without meeting the "
                         "tolerance; the best point so far is kept");
      return false;
    }
    plot_.flush();
    recordio::pause(pause_text(Outcome::iteration_limit));
    return true;
  }

 private:
  Plot& plot_;
  bool wait_;
};

// One run, one fit: the dialogue's answers, the loaded files, the plot, the
// fit, then its results, each phase a member.
class Fit {
 public:
  explicit Fit(const Options& options) : o_(options) { s_.config = options.config; }
  // The status of the run when its outputs went well: 0, or 3 when a
  // minimisation stopped at the iteration limit.
  int run();

 private:
  bool prepare_outputs();
  void dialogue();
  void load();
  void results();
  void intervals();
  void save_plot();

  const Options& o_;
  FitState s_;  // the loaded files, for the plot
  FitInput in_;
  FitResult r_;
  Plot plot_;
  Shown shown_{plot_, !o_.no_wait};
  std::string labinput;  // lab data file name line, whole
  std::unique_ptr<recordio::ReplaceFile> results_;
};

// The dialogue, written and read in its fixed order.
void Fit::dialogue() {
  blank();
  ask(1, "Please enter the E0 value (eV)", in_.e0);
  blank();
  ask(2, "Please enter an initial guess at width 1 (eV)", in_.w1);
  blank();
  blank();
  blank();
  ask(3, "Please enter the beta value", in_.beta);
  blank();
  // Kept on purpose: the text names "intrin4"; the file read is the profile of FitConfig.
  say({"The instrumental profile filename is intrin4"});
  blank();
  say({"Please enter the lab data filename"});
  if (!recordio::read_formatted_or_end(5, "(a)", labinput)) {
    ended_before(kLabAnswer);
    recordio::read_formatted(5, "(a)", labinput);
  }
  blank();
  ask(5, "Please enter an initial change in E0 (%)", in_.changes[0]);
  blank();
  ask(6, "Please enter an initial change in W1 (%)", in_.changes[1]);
  blank();
  blank();
  ask(7, "Please enter an initial change in beta (%)", in_.changes[2]);
  blank();
  ask(8, "Please enter the tolerance level", in_.tolerance);
  blank();
  say({"Thanks."});
}

// Both input files into the plot's state and the fit's input, then a
// refusal of inputs the fit cannot work with, before the plot opens. The
// lab file named in the dialogue is refused first when it is one of the
// outputs.
void Fit::load() {
  std::vector<cli::FileRole> files = file_roles(o_);
  files.push_back({"the lab data file", "the lab data file", file_name(labinput), false});
  if (const std::string same = cli::clash(files); !same.empty()) recordio::fail(same);
  say_if_unreadable("the lab data file", file_name(labinput),
                    "answer " + std::to_string(kLabAnswer));
  load_lab(labinput, s_);
  say_if_unreadable("the instrument profile", s_.config.profile,
                    o_.config.profile == FitConfig{}.profile ? "" : "--profile");
  load_profile(s_.config.profile, s_);
  const int n = s_.three.nlab;
  in_.momentum.assign(s_.two.labmom.span().begin(), s_.two.labmom.span().begin() + n);
  in_.probability.assign(s_.two.labprob.span().begin(), s_.two.labprob.span().begin() + n);
  in_.profile.assign(s_.three.prof.span().begin(), s_.three.prof.span().begin() + s_.three.nprof);
  in_.config = s_.config;
  in_.lab_file = file_name(labinput);
  s_.two.e0 = in_.e0;
  if (const std::string why = check(in_); !why.empty()) recordio::fail(why);
}

// The best point on the terminal, as texts, and on the plot.
void Fit::results() {
  constexpr float kWavenumbersPerEv = 8065.54f;
  const BestPoint& one = r_.best;
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

// The profile intervals' lines after the results; then the results file.
void Fit::intervals() {
  const int n = s_.three.nlab;
  for (const std::string& line : interval_lines(r_.scan, n)) {
    recordio::write_formatted(6, "(a)", {line});
  }
  if (results_ == nullptr || r_.outcome == FitOutcome::no_finite_chi2) return;
  write_results(*results_, run_summary(in_, r_));
}

int Fit::run() {
  if (!prepare_outputs()) return 0;
  dialogue();
  load();

  // Echo, plot, the fit.
  say({"Initial E0 is ", in_.e0});
  say({"Initial W1 is ", in_.w1});
  say({"Initial beta is ", in_.beta});
  plot_.open(s_, o_.no_window ? "" : "/xwindow");
  r_ = fit(in_, &shown_);

  // Results, the intervals, PAUSE, close.
  results();
  intervals();
  save_plot();
  if (!o_.no_wait) recordio::pause("");
  plot_.close();

  if (r_.outcome == FitOutcome::no_finite_chi2) recordio::fail(r_.message);
  return r_.outcome == FitOutcome::iteration_limit ? 3 : 0;
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
  if (const std::string same = cli::clash(file_roles(o)); !same.empty()) {
    cli::usage_error(kProgram, same);
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
