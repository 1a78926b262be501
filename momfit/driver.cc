#include "momfit/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "momfit/blocks.h"
#include "momfit/display.h"
#include "momfit/fit.h"
#include "momfit/loaders.h"
#include "momfit/numeric/outcome.h"
#include "momfit/run_report.h"
#include "recordio/arrays.h"
#include "recordio/recordio.h"
#include "recordio/text_input.h"
#include "run/cli.h"
#include "run/file_roles.h"
#include "run/output_lock.h"
#include "run/picture_file.h"
#include "run/plot_library.h"
#include "run/replace_file.h"

namespace momfit {
namespace {

const cli::Program kProgram{
    "momfit",
    "[--plot FILE] [--profile FILE] [--masses M1 M2] [--mass-unit KG] [--log FILE] "
    "[--results FILE] [--curve FILE] [--scan-plot FILE] "
    "[--no-wait] [--no-window] [--e0 EV] [--w1 EV] [--beta B] [--lab FILE] "
    "[--changes E0%,W1%,BETA%] [--tolerance T] [--fix NAME]... [--quiet] "
    "[--scale designed|fitted] [--cross start|fitted]",
    "Fits E0, W1 and beta to a measured momentum distribution. The dialogue asks on\n"
    "standard input for E0, W1, beta, the lab data file, three changes (%) and a\n"
    "tolerance; an option gives an answer instead, and with all eight given\n"
    "nothing is read.\n"
    "  --e0 EV, --w1 EV, --beta B   the starting E0 (eV), W1 (eV) and beta\n"
    "  --lab FILE         the lab data file\n"
    "  --changes E0%,W1%,BETA%  the changes that shape the starting simplex\n"
    "  --tolerance T      the minimiser's tolerance\n"
    "  --fix NAME         hold E0, W1 or beta at its start (repeatable); no interval\n"
    "  --quiet            print only the results block and the interval lines\n"
    "  --scale designed|fitted  designed (default): the model's largest value onto\n"
    "                     the largest lab value, its zero onto the first; fitted:\n"
    "                     base + factor x model, both by least squares at every\n"
    "                     evaluation (s^2 = S / (N - 5))\n"
    "  --cross start|fitted  the E0 of the momentum's cross term: the typed start\n"
    "                     (default) or the E0 evaluated, the start then only a start\n"
    "  --plot FILE        also write the final picture, the residuals under the fit,\n"
    "                     to FILE (.png, .pdf, .svg, .ps)\n"
    "  --profile FILE     the instrument profile (default newintrin_red)\n"
    "  --masses M1 M2     the two fragment masses in mass units (default 69.92425\n"
    "                     1.007825)\n"
    "  --mass-unit KG     the kilograms of the mass unit (default 1.67353e-27, the\n"
    "                     mass of 1H; 1.66053907e-27 gives unified atomic mass units)\n"
    "  --log FILE         the evaluation log to FILE instead of fort.7\n"
    "  --results FILE     the results, with the profile intervals, to FILE as JSON\n"
    "  --curve FILE       the model at the answer beside the lab data, to FILE as CSV\n"
    "  --scan-plot FILE   the three profiles of the interval scan as a picture\n"
    "  --no-wait          no PAUSE: end after the results; at the iteration limit\n"
    "                     stop that minimisation and go on (exit status 3)\n"
    "  --no-window        no plot window, even with DISPLAY set (--plot still works)\n"
    "  -h, --help         print this text and exit\n"
    "  -V, --version      print the name and release and exit\n"
    "Exit status: 0 fitted; 1 no usable fit, an input refused, another run\n"
    "writing the same outputs in this folder, an output not written, or SIGINT,\n"
    "SIGHUP or SIGTERM (outside a PAUSE) ended the run;\n"
    "2 usage; 3 results printed but a minimisation stopped at the iteration\n"
    "limit; 134 a missing file or a malformed answer or value (the run-time\n"
    "report on standard error, then an abort), or SIGQUIT.\n"};

// An option's number as a REAL, read by the rules of a typed answer, or a
// usage error that says what is wrong with it; with positive, above 0 as well.
float real_value(std::string_view option, std::string_view text, bool positive = false) {
  return cli::number<float>(kProgram, "--" + std::string(option), text, positive);
}

void say(std::initializer_list<recordio::Item> items) { recordio::write_list(6, items); }
void blank() { say({" "}); }

// The answers of the dialogue in the order asked (answer k at k - 1), for
// the line that names one the input ended before.
constexpr const char* kAnswerNames[] = {"E0",
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
                     kAnswerNames[answer - 1] + ")");
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
  if (!o.curve.empty()) files.push_back({"--curve", "the --curve file", o.curve, true});
  if (!o.scan_plot.empty()) {
    files.push_back({"--scan-plot", "the --scan-plot picture", o.scan_plot, true});
  }
  if (!o.plot.empty()) files.push_back({"--plot", "the --plot picture", o.plot, true});
  files.push_back({"--profile", "the instrument profile", o.config.profile, false});
  if (o.given[kLab]) {
    files.push_back({"--lab", "the lab data file", file_name(o.answers[kLab]), false});
  }
  // Written into, a file of answers would be lost to the next run.
  files.push_back({"standard input", "the answers on standard input", "", false, 0});
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
// The terminal of a run: what it shows, all of it or (--quiet) only the
// results.
class Terminal {
 public:
  explicit Terminal(bool quiet) : quiet_(quiet) {}
  bool quiet() const { return quiet_; }
  // A line of the dialogue or the fit's progress; left out when quiet.
  void say(std::initializer_list<recordio::Item> items) const {
    if (!quiet_) momfit::say(items);
  }
  void blank() const { say({" "}); }
  // A prompt, then its answer: given by an option, the option's text stands
  // on the line where it would have been typed; otherwise one answer read.
  void ask(const char* prompt, const Options& o, Prompt k, float& value) const {
    say({prompt});
    if (!o.given[k]) {
      // One answer per line: "1,0e-3" (a decimal comma) is read as 1 and warned of.
      // Input that ends first is said in plain words; the read is then made
      // again, to end in the runtime report as always.
      if (!recordio::read_list_or_end(5, {&value}, recordio::Layout::no_extra)) {
        ended_before(k + 1);
        recordio::read_list(5, {&value}, recordio::Layout::no_extra);
      }
      return;
    }
    if (!quiet_) recordio::write_formatted(6, "(a)", {o.answers[k]});
    value = o.values[k];
  }

 private:
  bool quiet_;
};

// What the fit shows goes to the terminal and the plot; the kit's troubles
// and the iteration limit PAUSE with their fixed texts, at the moment the
// fit meets them; every evaluation is logged on unit 7 (fort.7, or the
// --log file).
class Shown final : public FitObserver {
 public:
  // wait: the troubles and the iteration limit PAUSE; without it
  // (--no-wait) each is one stderr line and the fit goes on, as a resumed
  // PAUSE would, except that the limit ends that minimisation.
  // about: what begins each stderr line (the lab file and ": " with --lab).
  Shown(Plot& plot, bool wait, const Terminal& terminal, const std::string& about)
      : plot_(plot), wait_(wait), terminal_(terminal), about_(about) {}
  void evaluated(std::span<const float>, float chi2, const BestPoint& best) override {
    log_record(7, chi2, best);
  }
  void trouble(std::string_view message) override {
    if (!wait_) {
      recordio::complain(about_ + std::string(message) + "; the fit goes on");
      return;
    }
    plot_.flush();
    recordio::pause(message);
  }
  // The plot erases the curve it shows when it draws its next frame.
  void draw_curve(std::span<const float> x, std::span<const float> y) override {
    plot_.draw_curve(x, y);
  }
  void vertex(float chi2) override { terminal_.say({"Chi^2 is ", chi2}); }
  void stage(FitStage stage) override {
    terminal_.blank();
    if (stage == FitStage::minimise) {
      terminal_.say({"Finished initializing, calling amoeba..."});
    } else {
      terminal_.say({"Initializing again"});
      terminal_.blank();
    }
  }
  bool resume_at_limit() override {
    if (!wait_) {
      recordio::complain(about_ +
                         "the simplex reached the iteration limit without meeting the "
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
  const Terminal& terminal_;
  const std::string& about_;
};

// One run, one fit: the dialogue's answers, the loaded files, the plot, the
// fit, then its results, each phase a member.
class Fit {
 public:
  explicit Fit(const Options& options) : o_(options) {
    s_.config = options.config;
    in_.fixed = options.fixed;
  }
  // The status of the run when its outputs went well: 0, or 3 when a
  // minimisation stopped at the iteration limit.
  int run();

 private:
  bool prepare_outputs();
  void dialogue();
  void load();
  void warn_of_zero_starts() const;
  void show_answer();
  void save_curve();
  void save_scan_plot();
  void results();
  void intervals();
  void save_plot();

  const Options& o_;
  FitState s_;  // the loaded files, for the plot
  FitInput in_;
  FitResult r_;
  Plot plot_;
  Terminal t_{o_.quiet};
  // A run given its lab file by --lab is one of a batch: its warnings name
  // the file, so that many runs' lines on one terminal tell apart.
  const std::string about_ = o_.given[kLab] ? file_name(o_.answers[kLab]) + ": " : "";
  Shown shown_{plot_, !o_.no_wait, t_, about_};
  std::string labinput;  // lab data file name line, whole
  std::vector<float> answer_;  // the model at the answer (nlab values; empty for none)
  float answer_chi2_ = 0.0f;   // its chi-square, as the log would give it
};

// The dialogue, written and read in its fixed order; an answer given by an
// option is written where it would have been typed.
void Fit::dialogue() {
  t_.blank();
  t_.ask("Please enter the E0 value (eV)", o_, kE0, in_.e0);
  t_.blank();
  t_.ask("Please enter an initial guess at width 1 (eV)", o_, kW1, in_.w1);
  t_.blank();
  t_.blank();
  t_.blank();
  t_.ask("Please enter the beta value", o_, kBeta, in_.beta);
  t_.blank();
  // Kept on purpose: the text names "intrin4"; the file read is the profile of FitConfig.
  t_.say({"The instrumental profile filename is intrin4"});
  t_.blank();
  t_.say({"Please enter the lab data filename"});
  if (o_.given[kLab]) {
    labinput = o_.answers[kLab];
    if (!t_.quiet()) recordio::write_formatted(6, "(a)", {labinput});
  } else if (!recordio::read_formatted_or_end(5, "(a)", labinput)) {
    ended_before(kLabAnswer);
    recordio::read_formatted(5, "(a)", labinput);
  }
  t_.blank();
  t_.ask("Please enter an initial change in E0 (%)", o_, kE0Change, in_.changes[0]);
  t_.blank();
  t_.ask("Please enter an initial change in W1 (%)", o_, kW1Change, in_.changes[1]);
  t_.blank();
  t_.blank();
  t_.ask("Please enter an initial change in beta (%)", o_, kBetaChange, in_.changes[2]);
  t_.blank();
  t_.ask("Please enter the tolerance level", o_, kTolerance, in_.tolerance);
  t_.blank();
  t_.say({"Thanks."});
}

// Both input files into the plot's state and the fit's input, then a
// refusal of inputs the fit cannot work with, before the plot opens. The
// lab file named in the dialogue is refused first when it is one of the
// outputs.
void Fit::load() {
  std::vector<cli::FileRole> files = file_roles(o_);
  if (!o_.given[kLab]) {  // given by --lab, it was checked with the options
    files.push_back({"the lab data file", "the lab data file", file_name(labinput), false});
  }
  if (const std::string same = cli::clash(files); !same.empty()) recordio::fail(same);
  say_if_unreadable("the lab data file", file_name(labinput),
                    o_.given[kLab] ? "--lab" : "answer " + std::to_string(kLabAnswer));
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
  warn_of_zero_starts();
}

// A start of 0 with a change: the steps are per cent of the start, so the
// parameter never moves. Said once each; the run goes on.
void Fit::warn_of_zero_starts() const {
  const struct {
    const char* name;
    float start, change;
    bool held;
  } starts[] = {{"E0", in_.e0, in_.changes[0], in_.fixed[2]},
                {"W1", in_.w1, in_.changes[1], in_.fixed[0]},
                {"beta", in_.beta, in_.changes[2], in_.fixed[1]}};
  for (const auto& p : starts) {
    if (p.start != 0.0f || p.change == 0.0f || p.held) continue;
    char change[32];
    std::snprintf(change, sizeof change, "%g", static_cast<double>(p.change));
    recordio::complain(about_ + p.name + " starts at 0, so a change of " + change +
                       " % moves it by 0 and " + p.name +
                       " will not be fitted; start it at a small non-zero value");
  }
}

// The final picture shows the curve of the answer, the refined point (the
// best point without a scan), not the last evaluation's: that one is
// erased. Computed by an objective of its own on a copy of the state, so it
// is no evaluation of the fit (nothing logged, printed or counted).
void Fit::show_answer() {
  if (!(r_.best.bestchi2 < 1.0E38f)) return;  // no answer to draw
  const Answer& a = r_.answer;
  const std::array<float, 4> x{a.w1, 0.0f, a.beta, a.e0};
  const auto copy = std::make_unique<FitState>(s_);
  Objective phi2(*copy);
  answer_chi2_ = phi2(x);
  if (!(answer_chi2_ < 1.0E38f)) return;
  const auto n = static_cast<std::size_t>(copy->three.nlab);
  const std::span<const float> model = phi2.tables().ncalcprob.first(n);
  answer_.assign(model.begin(), model.end());
  plot_.draw_curve(s_.two.labmom.span().first(n), model);
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
  // The picture writes the values of the curve it draws: block one's, or
  // the answer's where it is the refined point and not block one, captioned
  // as such.
  const Answer& a = r_.answer;
  const bool refined = a.point == AnswerPoint::refined && !answer_.empty() &&
                       (a.w1 != one.bestw1 || a.beta != one.bestbeta || a.e0 != one.beste0);
  const float w1 = refined ? a.w1 : one.bestw1;
  const float beta = refined ? a.beta : one.bestbeta;
  const float e0 = refined ? a.e0 : one.beste0;
  const float chi2 = refined ? answer_chi2_ : one.bestchi2;
  recordio::Character<20> charw1, charbeta, chare0, charchi2, charw1cm;
  recordio::write_list(charw1.span(), {w1});
  recordio::write_list(charbeta.span(), {beta});
  recordio::write_list(chare0.span(), {e0});
  recordio::write_list(charchi2.span(), {chi2});
  const float w1cm = w1 * kWavenumbersPerEv;
  recordio::write_list(charw1cm.span(), {w1cm});
  plot_.show_results(labinput, charw1.view(), charw1cm.view(), charbeta.view(),
                     chare0.view(), charchi2.view(), refined);
}

// A picture drawn by draw(device) into file, which appears whole or not at
// all; one that cannot be drawn (no plotting library, a device that does not
// open) is said on standard error with the reason.
template <class Draw>
void draw_picture(const std::string& file, Draw draw) {
  recordio::PictureFile picture(file);
  if (picture.ok()) {
    if (const std::string why = recordio::plot_library_fault(); !why.empty()) {
      picture.fail(why);
    } else if (!draw(picture.device())) {
      picture.fail("the plotting library could not open it");
    }
  }
  picture.commit_or_report();
}

// The final picture into the --plot file, before the closing PAUSE. A file
// that cannot be written is said on standard error, an earlier one stays as
// it was, and the run goes on to end with status 1.
void Fit::save_plot() {
  if (o_.plot.empty()) return;
  draw_picture(o_.plot, [&](const std::string& device) { return plot_.save(device); });
}

// The --log, --results and --curve files, before the dialogue: a place that cannot
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
  // Only looked at: each temporary is made when its file is written, so
  // that a run killed before then leaves none behind.
  for (const std::string* file : {&o_.results, &o_.curve}) {
    if (file->empty()) continue;
    if (const std::string why = recordio::ReplaceFile::check(*file); !why.empty()) {
      recordio::cannot_write(*file, why);
      return false;
    }
  }
  return true;
}

// The --scan-plot picture, when a scan was made; a file that cannot be
// written is said as for --plot.
void Fit::save_scan_plot() {
  if (o_.scan_plot.empty() || !r_.scan.done) return;
  draw_picture(o_.scan_plot,
               [&](const std::string& device) { return plot_.save_profiles(device, r_.scan); });
}

// The --curve file: a header line, then each lab point's momentum (kg
// m/s), probability, the model at the answer and the residual (lab less
// model), comma-separated, numbers that read back as the same floats. No
// file without an answer.
void Fit::save_curve() {
  if (o_.curve.empty() || answer_.empty()) return;
  recordio::ReplaceFile curve(o_.curve);
  if (std::FILE* f = curve.stream()) {
    std::fputs("momentum,probability,model,residual\n", f);
    for (std::size_t i = 0; i < answer_.size(); ++i) {
      const float x = s_.two.labmom(static_cast<int>(i) + 1);
      const float y = s_.two.labprob(static_cast<int>(i) + 1);
      std::fprintf(f, "%.9g,%.9g,%.9g,%.9g\n", static_cast<double>(x), static_cast<double>(y),
                   static_cast<double>(answer_[i]), static_cast<double>(y - answer_[i]));
    }
  }
  curve.commit_or_report();
}

// The profile intervals' lines after the results; then the results file.
void Fit::intervals() {
  const int n = s_.three.nlab;
  for (const std::string& line : interval_lines(r_.scan, n, in_.config)) {
    recordio::write_formatted(6, "(a)", {line});
  }
  if (o_.results.empty() || r_.outcome == FitOutcome::no_finite_chi2) return;
  recordio::ReplaceFile results(o_.results);
  write_results(results, run_summary(in_, r_));
}

int Fit::run() {
  if (!prepare_outputs()) return 0;
  dialogue();
  load();

  // Echo, plot, the fit.
  t_.say({"Initial E0 is ", in_.e0});
  t_.say({"Initial W1 is ", in_.w1});
  t_.say({"Initial beta is ", in_.beta});
  plot_.open(s_, o_.no_window ? "" : "/xwindow", about_);
  r_ = fit(in_, &shown_);

  // The answer's curve, the results, the intervals, PAUSE, close.
  show_answer();
  results();
  intervals();
  save_curve();
  save_scan_plot();
  save_plot();
  if (!o_.no_wait) recordio::pause("");
  plot_.close();

  if (r_.outcome == FitOutcome::no_finite_chi2) recordio::fail(r_.message);
  return r_.outcome == FitOutcome::iteration_limit ? 3 : 0;
}

}  // namespace

Options options(int argc, char** argv) {
  static constexpr cli::Option kOptions[] = {
      {"plot", "a FILE"},         {"profile", "a FILE"},
      {"masses", "two masses"},   {"mass-unit", "a number of kilograms"},
      {"curve", "a FILE"},        {"scan-plot", "a FILE"},
      {"log", "a FILE"},
      {"results", "a FILE"},      {"no-wait"},
      {"no-window"},              {"e0", "a number"},
      {"w1", "a number"},         {"beta", "a number"},
      {"lab", "a FILE"},          {"changes", "three numbers E0%,W1%,BETA%"},
      {"tolerance", "a number"},  {"fix", "E0, W1 or beta"},
      {"quiet"},                  {"scale", "designed or fitted"},
      {"cross", "start or fitted"},
  };
  Options o;
  cli::CommandLine line(kProgram, kOptions, argc, argv);
  const auto answer = [&o](Prompt k, std::string text) {
    o.answers[k] = std::move(text);
    o.given[k] = true;
  };
  // A number answer: its text as given, for the dialogue, and its value.
  const auto number = [&](Prompt k, std::string_view option, std::string text) {
    o.values[k] = real_value(option, text);
    answer(k, std::move(text));
  };
  while (const auto given = line.next()) {
    const std::string_view name = given->name;
    const std::string value(given->value);
    if (name == "plot") {
      o.plot = value;
      if (recordio::picture_type(o.plot).empty()) {
        cli::usage_error(kProgram, "--plot FILE must end in .png, .pdf, .svg or .ps, not '" +
                                       o.plot + "'");
      }
    } else if (name == "profile") {
      o.config.profile = value;
    } else if (name == "log") {
      o.log = value;
    } else if (name == "results") {
      o.results = value;
    } else if (name == "curve") {
      o.curve = value;
    } else if (name == "scan-plot") {
      o.scan_plot = value;
      if (recordio::picture_type(o.scan_plot).empty()) {
        cli::usage_error(kProgram, "--scan-plot FILE must end in .png, .pdf, .svg or .ps, not '" +
                                       o.scan_plot + "'");
      }
    } else if (name == "no-wait") {
      o.no_wait = true;
    } else if (name == "no-window") {
      o.no_window = true;
    } else if (name == "masses") {
      o.config.m1 = real_value("masses", value, true);
      o.config.m2 = real_value("masses", line.another("masses"), true);
    } else if (name == "mass-unit") {
      o.config.mass_unit = real_value("mass-unit", value, true);
    } else if (name == "e0") {
      number(kE0, name, value);
    } else if (name == "w1") {
      number(kW1, name, value);
    } else if (name == "beta") {
      number(kBeta, name, value);
    } else if (name == "lab") {
      answer(kLab, value);
    } else if (name == "tolerance") {
      number(kTolerance, name, value);
    } else if (name == "changes") {
      // Three numbers between commas, in the dialogue's order.
      const std::size_t a = value.find(',');
      const std::size_t b = a == std::string::npos ? a : value.find(',', a + 1);
      const std::string parts[] = {value.substr(0, a), value.substr(a + 1, b - a - 1),
                                   b == std::string::npos ? "" : value.substr(b + 1)};
      std::optional<std::string> why;
      for (int k = 0; k < 3 && !why; ++k) {
        why = recordio::read_real(parts[k], o.values[kE0Change + k]);
        if (!why) answer(static_cast<Prompt>(kE0Change + k), parts[k]);
      }
      if (b == std::string::npos || value.find(',', b + 1) != std::string::npos || why) {
        cli::usage_error(kProgram, "--changes needs three numbers E0%,W1%,BETA%, not " +
                                       cli::quoted(value) +
                                       (why && !why->empty() ? ": " + *why : ""));
      }
    } else if (name == "fix") {
      std::string which = value;
      for (char& c : which) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (which == "w1") {
        o.fixed[0] = true;
      } else if (which == "beta") {
        o.fixed[1] = true;
      } else if (which == "e0") {
        o.fixed[2] = true;
      } else {
        cli::usage_error(kProgram, "--fix needs E0, W1 or beta, not '" + value + "'");
      }
    } else if (name == "quiet") {
      o.quiet = true;
    } else if (name == "scale") {
      if (value != "designed" && value != "fitted") {
        cli::usage_error(kProgram, "--scale needs designed or fitted, not '" + value + "'");
      }
      o.config.scale = value == "fitted" ? Scale::fitted : Scale::designed;
    } else if (name == "cross") {
      if (value != "start" && value != "fitted") {
        cli::usage_error(kProgram, "--cross needs start or fitted, not '" + value + "'");
      }
      o.config.cross = value == "fitted" ? Cross::fitted : Cross::start;
    }
  }
  line.no_operands();
  if (const std::string same = cli::clash(file_roles(o)); !same.empty()) {
    cli::usage_error(kProgram, same);
  }
  return o;
}

int fit_main(const Options& options) {
  // One run per folder writes each output (the evaluation log, the results,
  // the curve and the pictures): a second one with any of the same outputs
  // is refused before it asks anything.
  std::vector<std::string> outputs = {options.log.empty() ? "fort.7" : options.log};
  for (const std::string* named :
       {&options.results, &options.curve, &options.scan_plot, &options.plot}) {
    if (!named->empty()) outputs.push_back(*named);
  }
  const recordio::OutputLock lock(outputs);
  if (!lock.ok()) recordio::fail(lock.error());
  Fit fit(options);
  return fit.run();
}

}  // namespace momfit
