// Bad input through the real programs. Every case must end with a clear
// message (or the fatal I/O report and an abort), the documented exit
// status, no sanitizer report, and must leave alone the output files that a
// refused or malformed input may not create. docs/robustness.md lists the
// cases with their outcomes.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/process.h"

namespace {

using namespace testing_support;  // the test helpers: run_in, read_file, ...

// What a case must end with.
struct Expect {
  int exit_status;                  // -1 when a signal ends the run
  int signal;                       // 0, or the signal that ends it
  std::string message;              // part of standard error (or output)
  std::vector<std::string> absent;  // files that must not exist afterwards
  std::string file = {};            // a file that must exist and hold `holds`
  std::string holds = {};
};

void check(const Outcome& r, const Expect& e, const std::string& dir) {
  EXPECT_EQ(r.exit_status, e.exit_status) << r.err;
  EXPECT_EQ(r.signal, e.signal) << r.err;
  EXPECT_NE((r.err + r.out).find(e.message), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
  for (const std::string& f : e.absent) EXPECT_FALSE(file_exists(dir + "/" + f)) << f;
  if (!e.file.empty()) {
    EXPECT_NE(read_file(dir + "/" + e.file).find(e.holds), std::string::npos) << e.file;
  }
}

// --- momfit -----------------------------------------------------------------

// A directory with the demo data ("lab.dat", "newintrin_red"), made once and
// copied for each case.
TempDir momfit_dir() {
  static const TempDir model = [] {
    TempDir dir;
    const Outcome made = run_in(dir.str(), DEMO_DATA_PATH);
    EXPECT_EQ(made.exit_status, 0) << made.err;
    std::filesystem::rename(dir.path() / "demo_lab.dat", dir.path() / "lab.dat");
    return dir;
  }();
  TempDir dir;
  std::filesystem::copy(model.path(), dir.path(), std::filesystem::copy_options::recursive);
  return dir;
}

const char* const kPrompts[] = {"E0", "W1", "beta", "FileName", "E0Change", "W1Change",
                                "BetaChange", "Tolerance"};
const char* const kAnswerNames[] = {"E0", "the initial W1", "beta", "the lab data file name",
                                    "the change in E0", "the change in W1", "the change in beta",
                                    "the tolerance"};
const std::vector<std::string> kGood = {"1420", "0.8", "0.3", "lab.dat", "0.2", "10", "20", "1e-3"};

// The good answers with answer k replaced, or cut before answer k.
std::string answers(std::vector<std::string> a = kGood) {
  std::string t;
  for (const std::string& s : a) t += s + "\n";
  return t;
}
std::string with(std::size_t k, const std::string& value) {
  std::vector<std::string> a = kGood;
  a[k] = value;
  return answers(a);
}
std::string cut_before(std::size_t k) {
  return answers(std::vector<std::string>(kGood.begin(), kGood.begin() + static_cast<long>(k)));
}

struct MomfitCase {
  std::string name;
  std::string input;
  std::optional<std::string> lab;      // replaces lab.dat
  std::optional<std::string> profile;  // replaces newintrin_red
  Expect expect;
  std::vector<std::string> args = {};  // the command line
  long fsize_limit = 0;                // Run::fsize_limit
  std::string output_file = {};        // Run::output_file
  std::string lab_name = {};           // lab.dat renamed to this
};

std::string abort_report(const std::string& reason, const std::string& state) {
  return reason + "\napparent state: " + state;
}

// The last line of the report: where the read failed.
std::string failed_at(const std::string& line_of) {
  return "lately reading sequential formatted external IO\nat line " + line_of + "\n";
}

// A lab file of n sorted pairs; line `odd` (from 1) written as `as`, where
// %s stands for the momentum.
std::string lab_of(int n, int odd = 0, const std::string& as = "") {
  std::string lab;
  for (int i = 0; i < n; ++i) {
    const double x = i / (n - 1.0);
    char p[32], pair[96];
    std::snprintf(p, sizeof p, "%e", 7.22e-21 + 0.06e-21 * x);
    if (i + 1 == odd) {
      std::snprintf(pair, sizeof pair, (as + "\n").c_str(), p);
    } else {
      std::snprintf(pair, sizeof pair, "%s %f\n", p, 50 + 4000 * x * (1 - x));
    }
    lab += pair;
  }
  return lab;
}

std::vector<MomfitCase> momfit_cases() {
  const std::vector<std::string> no_log = {"fort.7"};
  const std::string done = "Execution resumes after PAUSE.";
  std::vector<MomfitCase> cases;
  for (std::size_t k = 0; k < kGood.size(); ++k) {
    const std::string prompt = kPrompts[k];
    if (k != 3) {  // any text is a file name
      cases.push_back({"LettersAt" + prompt, with(k, "abc"), {}, {},
                       {-1, SIGABRT, abort_report("list read: incomprehensible list input",
                                                  "unit 5 (unnamed)"), no_log}});
    }
    // The missing answer in plain words, then the report as always.
    cases.push_back({"EndOfInputAt" + prompt, cut_before(k), {}, {},
                     {-1, SIGABRT,
                      "momfit: input ended before answer " + std::to_string(k + 1) + " (" +
                          kAnswerNames[k] + ")\n" +
                          (k == 3 ? "formatted read: end of file\napparent state: unit 5 "
                                    "(unnamed)\nlast format: (a)"
                                  : "list read: end of file\napparent state: unit 5 (unnamed)"),
                      no_log}});
  }
  const std::string unit20 = "unit 20 named ";
  // A file that cannot be opened: what it is and where its name came from,
  // then the report as always.
  const std::string lab_answer = "momfit: cannot open the lab data file ";
  cases.push_back({"AllBlankFileName", with(3, "     "), {}, {},
                   {-1, SIGABRT,
                    lab_answer + "'' (answer 4): the name is blank\n" +
                        abort_report("open: null file name", "unit 20"),
                    no_log}});
  cases.push_back({"MissingFile", with(3, "absent.dat"), {}, {},
                   {-1, SIGABRT,
                    lab_answer + "'absent.dat' (answer 4): No such file or directory\n" +
                        abort_report("open: No such file or directory", unit20 + "absent.dat"),
                    no_log}});
  cases.push_back({"DirectoryAsFileName", with(3, "."), {}, {},
                   {-1, SIGABRT,
                    lab_answer + "'.' (answer 4): Is a directory\n" +
                        abort_report("open: Is a directory", unit20 + "."),
                    no_log}});
  cases.push_back({"MissingProfile", answers(), {}, {},
                   {-1, SIGABRT,
                    "momfit: cannot open the instrument profile 'absent' (--profile): No such "
                    "file or directory\n" +
                        abort_report("open: No such file or directory", "unit 25 named absent"),
                    no_log},
                   {"--profile", "absent"}});
  cases.push_back({"BinaryFile", answers(), std::string("\x7f" "ELF\2\1\1\0\0\0\xff\xfe\n\x01", 15),
                   {},
                   {-1, SIGABRT,
                    abort_report("list read: incomprehensible list input", unit20 + "lab.dat"),
                    no_log}});
  cases.push_back({"TextHeader", answers(), "momentum probability\n7.23e-21 1\n", {},
                   {-1, SIGABRT,
                    abort_report("list read: incomprehensible list input", unit20 + "lab.dat"),
                    no_log}});
  const char* const pairs[] = {"", "7.23e-21 1\n", "7.24e-21 2\n", "7.25e-21 3\n"};
  std::string lab;
  for (int n = 0; n <= 3; ++n) {
    lab += pairs[n];
    cases.push_back({std::to_string(n) + "Points", answers(), lab, {},
                     {1, 0,
                      "momfit: lab.dat: " + std::to_string(n) +
                          " lab points read, at least 4 are needed\n",
                      no_log}});
  }
  // The fitted scale fits two values more: s^2 divides by N - 5.
  cases.push_back({"5PointsFittedScale", answers(), lab + "7.26e-21 4\n7.27e-21 5\n", {},
                   {1, 0,
                    "momfit: lab.dat: 5 lab points read, at least 6 are needed with the fitted "
                    "scale\n",
                    no_log},
                   {"--scale", "fitted"}});
  cases.push_back({"ProfileNotNumbers", answers(), {}, "0.5\nhigh\n",
                   {-1, SIGABRT,
                    abort_report("list read: incomprehensible list input",
                                 "unit 25 named newintrin_red"),
                    no_log}});
  // The line a fatal read failed at: a bad value, the end of the answers.
  cases.push_back({"LineOfBadLabValue", answers(), "7.23e-21 1\n7.24e-21 2\n7.25e-21 x\n", {},
                   {-1, SIGABRT, failed_at("3 of lab.dat"), no_log}});
  cases.push_back({"LineOfBadProfileValue", answers(), {}, "0.5\nhigh\n",
                   {-1, SIGABRT, failed_at("2 of newintrin_red"), no_log}});
  cases.push_back({"LineOfEndOfAnswers", cut_before(5), {}, {},
                   {-1, SIGABRT, failed_at("6 of standard input"), no_log}});
  cases.push_back({"EmptyProfile", answers(), {}, "",
                   {1, 0, "momfit: newintrin_red: no profile value read\n", no_log}});
  // Lines 501 to 600 are not read as values, so they may hold anything;
  // that they are there is said, and the run goes on.
  cases.push_back({"ProfileOf600Lines", answers(), {},
                   "1\n0.5\n" + repeat(496, "0\n") + "0.25\n0.5\n" + repeat(100, "junk\n"),
                   {0, 0,
                    "momfit: newintrin_red: only the first 500 values are used; the file holds "
                    "more\n",
                    {}, "fort.7", "\n"}});
  std::string big;
  for (int i = 0; i < 1200; ++i) {
    const double x = i / 1199.0;
    char pair[64];
    std::snprintf(pair, sizeof pair, "%e %f\n", 7.22e-21 + 0.06e-21 * x, 50 + 4000 * x * (1 - x));
    big += pair;
  }
  // A loose tolerance ends each minimisation at once: only the load matters.
  cases.push_back({"LabOf1200Pairs", with(7, "0.5"), big, {},
                   {0, 0, "momfit: lab.dat: only the first 1000 pairs are used; the file holds more\n",
                    {}, "fort.7", "\n"}});
  // Lab momenta must increase; a pair over two lines is named by its last.
  const std::string must = "; the lab momenta must increase\n";
  cases.push_back({"DecreasingMomentum", answers(),
                   "7.23e-21 1\n7.25e-21 2\n7.24e-21 3\n7.26e-21 4\n", {},
                   {1, 0, "momfit: lab.dat: line 3: momentum 7.24e-21 is not above 7.25e-21 of line 2" + must,
                    no_log}});
  cases.push_back({"RepeatedMomentumOverTwoLines", answers(),
                   "7.23e-21 1\n7.24e-21\n2\n7.24e-21 3\n7.26e-21 4\n", {},
                   {1, 0, "momfit: lab.dat: line 4: momentum 7.24e-21 is not above 7.24e-21 of line 3" + must,
                    no_log}});
  // A value beyond the range of a REAL is refused by its line; a negative
  // probability is warned of, with the first line and the count.
  cases.push_back({"MomentumBeyondReal", answers(), lab_of(100, 3, "1e39 2200"), {},
                   {1, 0,
                    "momfit: lab.dat: line 3: momentum inf is not a finite number (a REAL holds "
                    "at most 3.4028235e38)\n",
                    no_log}});
  cases.push_back({"ProbabilityBeyondReal", answers(), lab_of(100, 3, "%s -4e38"), {},
                   {1, 0,
                    "momfit: lab.dat: line 3: probability -inf is not a finite number (a REAL "
                    "holds at most 3.4028235e38)\n",
                    no_log}});
  cases.push_back({"NegativeProbabilities", with(7, "0.5"),
                   lab_of(100, 3, "%s -1e6"), {},
                   {0, 0,
                    "momfit: lab.dat: line 3: probability -1e+06 is negative; a probability "
                    "is an intensity, zero or above\n",
                    {}, "fort.7", "\n"}});
  // One pair left out of 40 at steps of 2^-80 kg m/s (exact in a REAL): a
  // double step, said, and the fit goes on.
  std::string gap;
  for (int i = 0; i < 40; ++i) {
    char pair[64];
    const double x = i / 39.0;
    std::snprintf(pair, sizeof pair, "%.9e %f\n", (8700 + i) * 0x1p-80, 50 + 4000 * x * (1 - x));
    if (i != 20) gap += pair;
  }
  cases.push_back({"UnevenMomentumStep", with(7, "0.5"), gap, {},
                   {0, 0,
                    "momfit: lab.dat: the momentum step to line 21, 1.6543612e-24, is 94.9 % off "
                    "the mean step 8.489485e-25; the instrument profile assumes one step\n",
                    {}, "fort.7", "\n"}});
  // The whole name as typed: its first 99 characters name the folder ".".
  cases.push_back({"FileNameOver99Characters", with(3, repeat(60, "./") + "lab.dat"), {}, {},
                   {0, 0, done, {}, "fort.7", "\n"}});
  // Values the reading rules take but the writer plainly did not mean: a
  // warning naming the first such line, and the run goes on.
  const std::string why = "; is there a decimal comma or a header line?\n";
  const std::string extra = ": the line holds more numbers than were read from it" + why;
  cases.push_back({"DecimalCommaInTolerance", with(7, "1,0e-3"), {}, {},
                   {0, 0, "momfit: standard input: line 8" + extra, {}, "fort.7", "\n"}});
  // ... but numbers left over beside a likely decimal comma in the lab file
  // are refused; a comma that separates stays a separator.
  cases.push_back({"DecimalCommaInLab", with(7, "0.5"), lab_of(100, 3, "%s 2200,5"), {},
                   {1, 0,
                    "momfit: lab.dat: line 3: '2200,5' looks like a decimal comma; write "
                    "2200.5\n",
                    no_log}});
  cases.push_back({"CommasBetweenLabValues", with(7, "0.5"), lab_of(100, 3, "%s,2200.5"), {},
                   {0, 0, done, {}, "fort.7", "\n"}});
  cases.push_back({"PairOverTwoLines", with(7, "0.5"), lab_of(100, 3, "%s\n2200.5"), {},
                   {0, 0,
                    "momfit: lab.dat: line 3: one read took its values from more than one "
                    "line" + why,
                    {}, "fort.7", "\n"}});
  cases.push_back({"DecimalCommaInProfile", with(7, "0.5"), {}, "1\n0,5\n0.25\n0.1\n",
                   {0, 0, "momfit: newintrin_red: line 2" + extra, {}, "fort.7", "\n"}});
  cases.push_back({"LabLineOver1MB", answers(),
                   "7.22e-21 50\n" + std::string((1 << 20) + 1, '7') + "\n", {},
                   {1, 0, "momfit: lab.dat: line 2: longer than 1048576 characters\n", no_log}});
  // Outputs that cannot be written: said once, the fit goes on, status 1.
  MomfitCase limited{"FileSizeLimit", answers(), {}, {},
                     {1, 0, "momfit: cannot write fort.7: File too large (record ", {}, "fort.7",
                      "\n"}};
  limited.fsize_limit = 4096;
  cases.push_back(limited);
  MomfitCase full{"ResultsToAFullDevice", answers(), {}, {},
                  {1, 0, "momfit: cannot write standard output: No space left on device (record 1)\n",
                   {}, "fort.7", "\n"}};
  full.output_file = "/dev/full";
  cases.push_back(full);
  full = {"HelpToAFullDevice", answers(), {}, {},
          {1, 0, "momfit: cannot write standard output: No space left on device\n", no_log},
          {"--help"}};
  full.output_file = "/dev/full";
  cases.push_back(full);
  // The command line: refused with one usage line before anything is read.
  const std::string usage =
      "; usage: momfit [--plot FILE] [--profile FILE] [--masses M1 M2] [--mass-unit KG] "
      "[--log FILE] [--results FILE] [--curve FILE] [--scan-plot FILE] [--no-wait] [--no-window] [--e0 EV] [--w1 EV] [--beta B] [--lab FILE] "
      "[--changes E0%,W1%,BETA%] [--tolerance T] [--fix NAME]... [--quiet] "
      "[--scale designed|fitted] [--cross start|fitted]\n";
  const auto refused = [&](const std::string& name, std::vector<std::string> args,
                           const std::string& message) {
    cases.push_back({name, answers(), {}, {},
                     {2, 0, "momfit: " + message + usage, {"fort.7", "fit.jpg", "fit.png"}},
                     std::move(args)});
  };
  refused("UnknownOption", {"--fast"}, "unknown option '--fast'");
  refused("StrayArgument", {"lab.dat"}, "unexpected argument 'lab.dat'");
  refused("PlotWithoutFile", {"--plot"}, "--plot needs a FILE");
  refused("PlotOfUnknownExtension", {"--plot", "fit.jpg"},
          "--plot FILE must end in .png, .pdf, .svg or .ps, not 'fit.jpg'");
  refused("PlotFollowedByOption", {"--plot", "--masses", "35", "1"}, "--plot needs a FILE");
  refused("ProfileWithoutFile", {"--profile"}, "--profile needs a FILE");
  refused("OneMass", {"--masses", "35"}, "--masses needs two masses");
  refused("ZeroMass", {"--masses", "0", "1.007825"}, "--masses needs a positive number, not '0'");
  refused("NegativeMass", {"--plot", "fit.png", "--masses", "35", "-1"},
          "--masses needs a positive number, not '-1'");
  refused("MassNotANumber", {"--masses", "heavy", "1"},
          "--masses needs a positive number, not 'heavy'");
  refused("MassBeyondReal", {"--masses", "1e39", "1"},
          "--masses needs a positive number, not '1e39': a REAL holds at most 3.4028235e38");
  refused("MassUnitBeyondReal", {"--mass-unit", "1e300"},
          "--mass-unit needs a positive number, not '1e300': a REAL holds at most 3.4028235e38");
  refused("ZeroMassUnit", {"--mass-unit", "0"}, "--mass-unit needs a positive number, not '0'");
  refused("LogWithoutFile", {"--no-wait", "--log"}, "--log needs a FILE");
  // An output that is an input or another output, seen on the command line.
  refused("LogIsTheProfile", {"--log", "newintrin_red"},
          "--log newintrin_red is the instrument profile");
  refused("ResultsIsTheLog", {"--results", "fort.7"}, "--results fort.7 is the evaluation log");
  refused("LogAndResultsTheSame", {"--log", "run.out", "--results", "./run.out"},
          "--results ./run.out is the evaluation log");
  refused("PlotIsTheProfile", {"--profile", "p.png", "--plot", "p.png"},
          "--plot p.png is the instrument profile");
  refused("CurveIsTheLog", {"--curve", "fort.7"}, "--curve fort.7 is the evaluation log");
  refused("PlotIsTheScanPlot", {"--plot", "p.png", "--scan-plot", "./p.png"},
          "--plot p.png is the --scan-plot picture");
  refused("ScanPlotIsTheLabFileGivenByOption", {"--lab", "lab.png", "--scan-plot", "lab.png"},
          "--scan-plot lab.png is the lab data file");
  // ... and seen only when the dialogue names the lab file: refused before
  // it is read, nothing written.
  cases.push_back({"LogIsTheLabFile", answers(), {}, {},
                   {1, 0, "momfit: --log lab.dat is the lab data file\n", {"fort.7"}, "lab.dat",
                    "e-21 "},
                   {"--no-wait", "--log", "lab.dat"}});
  cases.push_back({"ResultsIsTheLabFileByAnotherName", with(3, "./lab.dat"), {}, {},
                   {1, 0, "momfit: --results lab.dat is the lab data file\n", {"fort.7"},
                    "lab.dat", "e-21 "},
                   {"--no-wait", "--results", "lab.dat"}});
  cases.push_back({"CurveIsTheLabFile", answers(), {}, {},
                   {1, 0, "momfit: --curve lab.dat is the lab data file\n", {"fort.7"}, "lab.dat",
                    "e-21 "},
                   {"--no-wait", "--curve", "lab.dat"}});
  refused("E0NotANumber", {"--e0", "high"}, "--e0 needs a number, not 'high'");
  refused("W1BeyondReal", {"--w1=1e39"},
          "--w1 needs a number, not '1e39': a REAL holds at most 3.4028235e38");
  // Option values are read as typed answers are: no C hexadecimal, no
  // value that would silently become 0.
  refused("E0InHexadecimal", {"--e0", "0x10"}, "--e0 needs a number, not '0x10'");
  refused("W1BelowTheSmallestReal", {"--w1", "1e-46"},
          "--w1 needs a number, not '1e-46': the smallest REAL above 0 is 1.4e-45, so it would "
          "be read as 0");
  refused("ToleranceOfTwoValues", {"--tolerance", "1e-3 5"},
          "--tolerance needs a number, not '1e-3 5': it holds more than one value");
  refused("BetaWithoutValue", {"--beta"}, "--beta needs a number");
  refused("LabFollowedByOption", {"--lab", "--quiet"}, "--lab needs a FILE");
  refused("TwoChanges", {"--changes", "0.2,10"},
          "--changes needs three numbers E0%,W1%,BETA%, not '0.2,10'");
  refused("ChangeNotANumber", {"--changes=0.2,ten,20"},
          "--changes needs three numbers E0%,W1%,BETA%, not '0.2,ten,20'");
  refused("ToleranceEmpty", {"--tolerance="}, "--tolerance needs a number");
  refused("FixOfW2", {"--fix", "W2"}, "--fix needs E0, W1 or beta, not 'W2'");
  refused("ScaleOfNoKind", {"--scale", "free"}, "--scale needs designed or fitted, not 'free'");
  refused("CrossOfNoKind", {"--cross=typed"}, "--cross needs start or fitted, not 'typed'");
  refused("QuietWithValue", {"--quiet=yes"}, "--quiet takes no value");
  refused("AmbiguousOption", {"--no"}, "option '--no' is ambiguous");
  refused("LogIsTheLabFileGivenByOption", {"--lab", "lab.dat", "--log", "./lab.dat"},
          "--log ./lab.dat is the lab data file");
  refused("ArgumentAfterTwoMasses", {"lab.dat", "--masses", "35", "1", "--no-wait"},
          "unexpected argument 'lab.dat'");
  // A name that is not UTF-8 (Latin-1 bytes) goes into the results as
  // U+FFFD; the JSON is valid and every output complete.
  MomfitCase latin1{"Latin1LabFileNameInResults", with(3, "donn\xe9""es.dat"), {}, {},
                    {0, 0, done, {}, "r.json", "\"lab_file\": \"donn\xef\xbf\xbd""es.dat\""},
                    {"--results", "r.json"}};
  latin1.lab_name = "donn\xe9""es.dat";
  cases.push_back(latin1);
  // Outputs that cannot be written are said before the dialogue; no log.
  cases.push_back({"ResultsInMissingFolder", answers(), {}, {},
                   {1, 0, "momfit: cannot write absent/r.json: No such file or directory\n",
                    {"fort.7", "absent"}},
                   {"--no-wait", "--no-window", "--results", "absent/r.json"}});
  cases.push_back({"LogIsADirectory", answers(), {}, {},
                   {1, 0, "momfit: cannot write .: Is a directory\n", {"fort.7"}},
                   {"--no-wait", "--no-window", "--log", "."}});
  // Starting values that give no real momentum anywhere: every chi-square is
  // infinite, and the run says so after its closing PAUSE.
  const std::string no_fit = "momfit: no evaluation gave a finite chi-square below 1.0E38";
  cases.push_back({"ZeroE0", with(0, "0"), {}, {}, {1, 0, no_fit, {}}});
  cases.push_back({"NegativeE0", with(0, "-1420"), {}, {}, {1, 0, no_fit, {}}});
  cases.push_back({"ZeroW1", with(1, "0"), {}, {}, {1, 0, no_fit, {}}});
  cases.push_back({"NegativeW1", with(1, "-0.8"), {}, {}, {1, 0, no_fit, {}}});
  // beta = 0 keeps every vertex at beta 0, and is warned of; negative beta
  // is a usable start.
  cases.push_back({"ZeroBeta", with(2, "0"), {}, {},
                   {0, 0,
                    "momfit: beta starts at 0, so a change of 20 % moves it by 0 and beta will "
                    "not be fitted; start it at a small non-zero value\n",
                    {}, "fort.7", "\n"}});
  // A run given its lab file by --lab is one of a batch: its warnings name it.
  cases.push_back({"ZeroBetaOfABatch", "", {}, {},
                   {0, 0,
                    "momfit: lab.dat: beta starts at 0, so a change of 20 % moves it by 0 and "
                    "beta will not be fitted; start it at a small non-zero value\n",
                    {}, "fort.7", "\n"},
                   {"--e0", "1420", "--w1", "0.8", "--beta", "0", "--lab", "lab.dat", "--changes",
                    "0.2,10,20", "--tolerance", "1e-3", "--no-wait", "--no-window"}});
  cases.push_back({"NegativeBeta", with(2, "-0.5"), {}, {}, {0, 0, done, {}, "fort.7", "\n"}});
  cases.push_back({"ZeroChanges", answers({"1420", "0.8", "0.3", "lab.dat", "0", "0", "0", "1e-3"}),
                   {}, {}, {0, 0, done, {}, "fort.7", "\n"}});
  // Answers given as options: only the rest are read, in order (line 1 is
  // beta's), and a file named by --lab fails as a typed one does.
  cases.push_back({"LettersTypedAfterOptions", "abc\n", {}, {},
                   {-1, SIGABRT, failed_at("1 of standard input"), no_log},
                   {"--e0", "1420", "--w1=0.8"}});
  cases.push_back({"MissingLabFileAsOption", cut_before(3), {}, {},
                   {-1, SIGABRT,
                    "momfit: cannot open the lab data file 'absent.dat' (--lab): No such file or "
                    "directory\n",
                    no_log},
                   {"--lab", "absent.dat", "--changes", "0.2,10,20", "--tolerance", "1e-3"}});
  // ... and blanks around a value and a D exponent are taken, as typed.
  cases.push_back({"E0WithBlanksAndADExponent", answers({"0.8", "0.3", "lab.dat", "0.2", "10", "20", "1e-3"}),
                   {}, {}, {0, 0, " Initial E0 is   1420.\n", {}, "fort.7", "\n"},
                   {"--e0", " 1.42D3 "}});
  cases.push_back({"NegativeChanges",
                   answers({"1420", "0.8", "0.3", "lab.dat", "-0.2", "-10", "-20", "1e-3"}), {}, {},
                   {0, 0, done, {}, "fort.7", "\n"}});
  return cases;
}

void PrintTo(const MomfitCase& c, std::ostream* os) { *os << c.name; }

class Momfit : public ::testing::TestWithParam<MomfitCase> {};

TEST_P(Momfit, EndsAsDocumented) {
  const MomfitCase& c = GetParam();
  const TempDir tmp = momfit_dir();
  const std::string& dir = tmp.str();
  if (c.lab) write_file(dir + "/lab.dat", *c.lab);
  if (c.profile) write_file(dir + "/newintrin_red", *c.profile);
  if (!c.lab_name.empty()) std::filesystem::rename(dir + "/lab.dat", dir + "/" + c.lab_name);
  testing_support::Run run;
  run.program = MOMFIT_PATH;
  run.env = {"DISPLAY"};  // the fit goes on without its window
  run.args = c.args;
  run.dir = dir;
  run.input = c.input;
  run.fsize_limit = c.fsize_limit;
  run.output_file = c.output_file;
  const Outcome r = testing_support::run(run);
  check(r, c.expect, dir);
  if (c.fsize_limit > 0) {  // the fit went on to its results
    EXPECT_NE(r.out.find(" Best E0 is "), std::string::npos) << r.out;
    EXPECT_LE(read_file(dir + "/fort.7").size(), static_cast<std::size_t>(c.fsize_limit));
  }
  if (c.expect.exit_status == 2) {  // one line, and no file beside the inputs
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);
  }
}

INSTANTIATE_TEST_SUITE_P(BadInput, Momfit, ::testing::ValuesIn(momfit_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(MomfitFiles, UnreadableLabFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads a file whatever its mode";
  const TempDir tmp = momfit_dir();
  const std::string& dir = tmp.str();
  ASSERT_EQ(chmod((dir + "/lab.dat").c_str(), 0), 0);
  check(run({.program = MOMFIT_PATH, .env = {"DISPLAY"}, .dir = dir, .input = answers()}),
        {-1, SIGABRT, abort_report("open: Permission denied", "unit 20 named lab.dat"),
         {"fort.7"}},
        dir);
}

// A momfit run driven by the test: its PAUSEs are resumed `resumes` times,
// then the next PAUSE gets `end_signal`; or, with `when_logged`, the signal
// goes as soon as fort.7 holds records on disk.
class Driven {
 public:
  Driven(const std::string& input, int resumes, int end_signal, bool when_logged)
      : dir_(momfit_dir()), end_signal_(end_signal), when_logged_(when_logged),
        child_([&] {
          Run r;
          r.program = MOMFIT_PATH;
          r.env = {"DISPLAY"};
          r.dir = dir_.str();
          r.input = input;
          r.at_pause = [this] { at_pause(); };
          r.resumes = resumes;
          r.end_signal = end_signal;
          r.limit = std::chrono::seconds(120);
          return r;
        }()),
        resumes_(resumes) {}

  // Advances the run by one look; true once it has ended.
  bool step() {
    if (child_.step()) return true;
    if (!sent_ && when_logged_ && !log().empty()) {
      count_records();
      child_.signal(end_signal_);
    }
    return false;
  }

  bool exited_with(int status) const { return child_.outcome().exit_status == status; }
  int ended_by() const { return child_.outcome().signal; }
  std::string err() const { return child_.outcome().err; }
  std::string log() const { return read_file(dir_.str() + "/fort.7"); }
  std::size_t records_seen() const { return seen_; }

 private:
  // The PAUSE past the resumes gets the signal: count the records first.
  void at_pause() {
    if (answered_++ == resumes_) count_records();
  }
  void count_records() {
    const std::string now = log();
    seen_ = static_cast<std::size_t>(std::count(now.begin(), now.end(), '\n'));
    sent_ = true;
  }

  TempDir dir_;
  int end_signal_;
  bool when_logged_;
  Child child_;
  int resumes_;
  int answered_ = 0;
  bool sent_ = false;
  std::size_t seen_ = 0;
};

void run_all(std::vector<Driven*> runs) {
  for (bool all = false; !all; usleep(5000)) {
    all = true;
    for (Driven* r : runs) all = r->step() && all;
  }
}

// Whole records only: each line ends with a newline and holds six numbers.
void expect_whole_records(const std::string& log, std::size_t at_least) {
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), '\n');
  std::istringstream in(log);
  std::size_t n = 0;
  for (std::string line; std::getline(in, line); ++n) {
    std::istringstream fields(line);
    int count = 0;
    for (std::string f; fields >> f; ++count) {
      char* end = nullptr;
      std::strtod(f.c_str(), &end);
      EXPECT_EQ(*end, '\0') << "record " << n + 1 << ": " << line;
    }
    EXPECT_EQ(count, 6) << "record " << n + 1 << ": " << line;
  }
  EXPECT_GE(n, at_least);
}

TEST(MomfitRuns, ZeroOrNegativeToleranceNeverConvergesAndPausesAtTheLimit) {
  // Resume the limit's PAUSE twice, then interrupt at the third.
  Driven zero(with(7, "0"), 2, SIGINT, false);
  Driven negative(with(7, "-1"), 2, SIGINT, false);
  run_all({&zero, &negative});
  for (const Driven* r : {&zero, &negative}) {
    const std::string err = r->err();
    EXPECT_TRUE(r->exited_with(1)) << err;
    const std::string pause = "PAUSE  ITMAX exceeded in amoeba statement executed\n";
    std::size_t pauses = 0;
    for (auto at = err.find(pause); at != std::string::npos; at = err.find(pause, at + 1)) ++pauses;
    EXPECT_EQ(pauses, 3u) << err;
    EXPECT_NE(err.find("Execution resumes after PAUSE.\n"), std::string::npos);
    EXPECT_EQ(err.substr(err.size() - 10), "Interrupt\n") << err;
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    expect_whole_records(r->log(), 5000);
  }
}

TEST(MomfitRuns, InterruptOrTerminateDuringTheFitKeepsWholeRecords) {
  // A negative tolerance keeps the fit busy until the signal comes.
  Driven interrupted(with(7, "-1"), 0, SIGINT, true);
  Driven terminated(with(7, "-1"), 0, SIGTERM, true);
  Driven hung_up(with(7, "-1"), 0, SIGHUP, true);  // a closed terminal
  Driven quit(with(7, "-1"), 0, SIGQUIT, true);    // ends in an abort
  run_all({&interrupted, &terminated, &hung_up, &quit});
  for (const auto& [r, message] :
       {std::pair{&interrupted, "Interrupt\n"}, std::pair{&terminated, "Killed\n"},
        std::pair{&hung_up, "Hangup\n"}, std::pair{&quit, "Quit signal\n"}}) {
    const std::string err = r->err();
    EXPECT_TRUE(r == &quit ? r->ended_by() == SIGABRT : r->exited_with(1)) << err;
    EXPECT_EQ(err.find("PAUSE"), std::string::npos) << err;  // the signal came during the fit
    EXPECT_EQ(err.substr(err.size() - std::string(message).size()), message) << err;
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    expect_whole_records(r->log(), r->records_seen());
    EXPECT_GT(r->records_seen(), 0u);
  }
}

// A signal while the dialogue waits for an answer on the terminal ends the
// run at once, also when the parent handed the run that signal blocked.
TEST(MomfitRuns, HangupWhileWaitingForAnAnswer) {
  for (const bool blocked : {false, true}) {
    const TempDir tmp = momfit_dir();
    testing_support::Run r;
    r.program = MOMFIT_PATH;
    r.env = {"DISPLAY"};
    r.dir = tmp.str();
    r.terminal = true;
    r.input = "1420\n";
    r.send_when = "Please enter an initial guess at width 1 (eV)\n";
    r.send = SIGHUP;
    if (blocked) r.blocked = {SIGHUP, SIGTERM, SIGINT};
    r.limit = std::chrono::seconds(20);
    const Outcome o = testing_support::run(r);
    EXPECT_EQ(o.exit_status, 1) << blocked;
    EXPECT_EQ(o.err, "Hangup\n");
  }
}

// Every record made reaches the log at every end. A fault signal at the
// first evaluation's line (" Chi^2 is "), milliseconds after the first
// records, before the records' timer: its handler sends the records made,
// whole. A kill -9 0.3 s after " Best E0 is ", while the picture waits for
// a FIFO nobody opens: the timer has sent every record.
TEST(MomfitRuns, EveryRecordMadeReachesTheLogAtEveryEnd) {
  const std::vector<std::string> args = {"--no-wait", "--no-window", "--log", "run.log"};
  const TempDir whole_run = momfit_dir();
  const Outcome whole = run({.program = MOMFIT_PATH, .args = args, .env = {"DISPLAY"},
                             .dir = whole_run.str(), .input = answers()});
  ASSERT_EQ(whole.exit_status, 0) << whole.err;
  const std::string log = read_file(whole_run.str() + "/run.log");
  struct Case {
    int sig;
    std::string said;  // the end of standard error
    int ended_by;
  };
  for (const Case& c : {Case{SIGABRT, "IOT Trap\n", SIGABRT}, Case{SIGFPE, "Floating Exception\n", SIGABRT},
                        Case{SIGTRAP, "Trace trap\n", SIGABRT},
                        Case{SIGSEGV, "Segmentation fault\n", SIGABRT},
                        Case{SIGBUS, "Bus error\n", SIGABRT},
                        Case{SIGILL, "Illegal instruction\n", SIGABRT}, Case{SIGKILL, "", SIGKILL}}) {
    // The run ends waiting for the picture's FIFO, so that a loaded
    // machine's late signal still finds it running (a whole fit takes
    // tens of milliseconds).
    const TempDir tmp = momfit_dir();
    ASSERT_EQ(mkfifo((tmp.str() + "/wait.png").c_str(), 0600), 0);
    testing_support::Run r{.program = MOMFIT_PATH, .args = args, .env = {"DISPLAY"},
                           .dir = tmp.str(), .input = answers(), .send_when = " Chi^2 is ",
                           .send = c.sig};
    r.args.insert(r.args.end(), {"--plot", "wait.png"});
    if (c.sig == SIGKILL) {
      r.send_when = " Best E0 is ";
      r.send_after = std::chrono::milliseconds(300);
      r.blocked = {SIGALRM};  // the timer is let through all the same
    }
    const Outcome o = run(r);
    EXPECT_EQ(o.signal, c.ended_by) << strsignal(c.sig) << o.err;
    EXPECT_TRUE(o.err.ends_with(c.said)) << o.err;
    const std::string kept = read_file(tmp.str() + "/run.log");
    if (c.sig == SIGKILL) {
      EXPECT_EQ(kept, log);
    } else {  // whole records, from the first on
      EXPECT_TRUE(!kept.empty() && kept.ends_with('\n') && log.starts_with(kept))
          << strsignal(c.sig) << ": " << kept.size() << " bytes";
    }
  }
}

// A signal ends a run whose log waits: on a FIFO nobody opens (the open
// waits; said as the signal, not as a write error), and on a FIFO whose
// reader does not read (a write waits once the pipe is full; the records
// that cannot be sent are said lost).
TEST(MomfitRuns, ASignalEndsAWaitForTheLog) {
  for (const bool reader : {false, true}) {
    const TempDir tmp = momfit_dir();
    const std::string fifo = tmp.str() + "/run.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int opened = reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    testing_support::Run r{.program = MOMFIT_PATH, .args = {"--no-window", "--log", "run.log"},
                           .env = {"DISPLAY"}, .dir = tmp.str(),
                           .input = reader ? with(7, "-1") : answers(),  // busy to the limit
                           .send_when = "Initial beta is", .send = reader ? SIGINT : SIGTERM,
                           .send_after = std::chrono::milliseconds(reader ? 1500 : 300),
                           .limit = std::chrono::seconds(30)};
    const Outcome o = run(r);
    if (opened >= 0) close(opened);
    EXPECT_EQ(o.exit_status, 1) << o.err;
    if (reader) {
      EXPECT_TRUE(o.err.starts_with("Interrupt\nmomfit: cannot write run.log: Resource temporarily "
                                    "unavailable (record "))
          << o.err;
    } else {
      EXPECT_EQ(o.err, "Killed\n");
    }
  }
}

// --- bandfit ----------------------------------------------------------------

struct DeckCase {
  std::string name;
  std::string deck;
  Expect expect;
  std::vector<std::string> args = {};  // the command line after the name
  long fsize_limit = 0;                // Run::fsize_limit
  bool deck_file = false;              // standard input is the file "deck" of the folder
};

std::vector<DeckCase> deck_cases() {
  const std::vector<std::string> none = {"fort.26", "fort.8"};
  const std::string line = "'R V+0' 5 2150.5 1\n";
  const std::string param = "B 1.9 1\n";
  const auto fatal = [&](const std::string& reason) {
    return Expect{-1, SIGABRT, reason + "\napparent state: unit 5 (unnamed)", none};
  };
  const auto refused = [&](const std::string& message) {
    return Expect{1, 0, "bandfit: " + message + "\n", none};
  };
  const std::string synopsis =
      "bandfit [--report FILE] [--list FILE] [--plot FILE] [--results FILE] [--deck-out FILE] "
      "< DECK\n";
  const auto usage = [&](const std::string& message) {
    return Expect{2, 0, "bandfit: " + message + "; usage: " + synopsis, none};
  };
  const std::string fit = "2 1\n" + line + "'P V+0' 7 2140.25 1\n" + param + "1 0\n";
  const std::string eof = "list read: end of file";
  const std::string bad = "list read: incomprehensible list input";
  const std::string not_int = "list read: invalid number";
  const auto fatal_at = [&](const std::string& reason, int line) {
    Expect e = fatal(reason);
    e.message += "\nlately reading sequential formatted external IO\nat line " +
                 std::to_string(line) + " of standard input\n";
    return e;
  };
  return {
      {"EmptyDeck", "", fatal(eof)},
      // The line a fatal read failed at: where the bad item or the end was
      // met, for a statement over several records too.
      {"LineOfEmptyDeck", "", fatal_at(eof, 1)},
      {"LineOfMissingLine", "2 1\n" + line, fatal_at(eof, 3)},
      {"LineOfBadWeightAcrossRecords", "1 1\n'R V+0' 5\n\n2150.5\nw\n" + param + "1 0\n",
       fatal_at(bad, 5)},
      {"CountsCutShort", "2\n", fatal(eof)},
      {"LineCutShort", "1 1\n'R V+0' 5 2150.5\n", fatal(eof)},
      {"FewerLinesThanCounted", "2 1\n" + line, fatal(eof)},
      {"ParameterCutShort", "1 1\n" + line + "B 1.9\n", fatal(eof)},
      {"SplitPointCutShort", "1 1\n" + line + param + "1\n", fatal(eof)},
      {"SplitPointMissing", "1 1\n" + line + param, fatal(eof)},
      {"LetterForLineCount", "x 1\n", fatal(bad)},
      {"FractionalParameterCount", "1 1.5\n", fatal(not_int)},
      {"LetterForJ", "1 1\n'R V+0' five 2150.5 1\n" + param + "1 0\n", fatal(bad)},
      {"FractionalJ", "1 1\n'R V+0' 5.5 2150.5 1\n" + param + "1 0\n", fatal(not_int)},
      {"LetterForPosition", "1 1\n'R V+0' 5 high 1\n" + param + "1 0\n", fatal(bad)},
      {"LetterForWeight", "1 1\n'R V+0' 5 2150.5 w\n" + param + "1 0\n", fatal(bad)},
      {"LetterForValue", "1 1\n" + line + "B big 1\n1 0\n", fatal(bad)},
      {"FractionalFlag", "1 1\n" + line + "B 1.9 1.0\n1 0\n", fatal(not_int)},
      {"LetterForSplitPoint", "1 1\n" + line + param + "mu 0\n", fatal(bad)},
      {"FractionalReportLevel", "1 1\n" + line + param + "1 0.5\n", fatal(not_int)},
      {"UnquotedLabel", "1 1\nR V+0 5 2150.5 1\n" + param + "1 0\n", fatal(bad)},
      {"UnknownLabel", "1 1\n'X V+0' 5 2150.5 1\n" + param + "1 0\n",
       refused("line 1: unknown branch label \"X V+0\"")},
      {"LowerJBelowTable", "1 1\n'Q V+0' -1 2150.5 1\n" + param + "1 0\n",
       refused("line 1: Q V+0 lower J -1 is outside the term table (J 0 to 22)")},
      {"LowerJAboveTable", "1 1\n'Q V+0' 23 2150.5 1\n" + param + "1 0\n",
       refused("line 1: Q V+0 lower J 23 is outside the term table (J 0 to 22)")},
      {"UpperJBelowTable", "1 1\n'P V+0' 0 2150.5 1\n" + param + "1 0\n",
       refused("line 1: P V+0 at lower J 0 needs the upper term at J -1, outside the term table (J 0 to 22)")},
      {"UpperJAboveTable", "1 1\n'R V+0' 22 2150.5 1\n" + param + "1 0\n",
       refused("line 1: R V+0 at lower J 22 needs the upper term at J 23, outside the term table (J 0 to 22)")},
      {"501Lines", "501 1\n", refused("deck has 501 lines; at most 500 can be fitted")},
      {"31Parameters", "1 31\n", refused("deck has 31 parameters; at most 30 can be held")},
      {"500LinesAnd1Fitted", "500 1\n" + repeat(500, line) + param + "1 0\n",
       refused("deck has 500 lines and 1 fitted parameters; together at most 500 can be fitted")},
      {"NegativeWeight", "1 1\n'R V+0' 5 2150.5 -1\n" + param + "1 0\n",
       refused("line 1: negative weight -1")},
      // Beyond the range of a double: read as infinite, refused by line.
      {"PositionBeyondDouble", "1 1\n'R V+0' 5 1e400 1\n" + param + "1 0\n",
       refused("line 1: R V+0 position inf is not a finite number")},
      {"WeightBeyondDouble", "1 1\n'R V+0' 5 2150.5 -1e400\n" + param + "1 0\n",
       refused("line 1: R V+0 weight -inf is not a finite number")},
      {"ValueBeyondDouble", "1 1\n" + line + "B 1e400 1\n1 0\n",
       refused("parameter 1 (B): value inf is not a finite number")},
      {"AllFlagsZero", "2 2\n" + line + "'P V+0' 7 2140.25 1\nB 1.9 0\nD 1e-6 0\n1 0\n",
       {0, 0, "", {}, "fort.26", " NO PARAMETERS TO BE FITTED:-EXITING REFINE"}},
      // The refinement adds the flags up to count the fitted parameters:
      // any flag but 0 and 1 is refused (a 2 was fitted once, counted twice).
      {"FlagOfTwo", "3 2\n" + line + "'P V+0' 7 2140.25 1\n'R V+0' 6 2151.5 1\nB 1.9 1\nD 1e-6 2\n1 0\n",
       refused("parameter 2 (D): fit flag 2 is neither 0 (hold) nor 1 (fit)")},
      {"FlagOfMinusOne", "1 1\n" + line + "B 1.9 -1\n1 0\n",
       refused("parameter 1 (B): fit flag -1 is neither 0 (hold) nor 1 (fit)")},
      {"NegativeLineCount", "-1 1\n",
       refused("deck has -1 lines; the line count cannot be negative")},
      {"NegativeParameterCount", "1 -2\n",
       refused("deck has -2 parameters; the parameter count cannot be negative")},
      // No correction made: report and list as always, the reason on
      // standard error, status 1, and no plot.
      {"InsufficientData", "2 2\n" + line + "'P V+0' 7 2140.25 0\nB 1.9 1\nD 1e-6 1\n1 0\n",
       {1, 0, "bandfit: no correction was made: insufficient data for number of parameters\n",
        {"r.png"}, "fort.26", " ERROR:   INSUFFICIENT DATA FOR NUMBER OF PARAMETERS\n"},
       {"--plot", "r.png"}},
      {"AlreadyFitPerfectly", "0 1\n" + param + "1 0\n",
       {1, 0, "bandfit: no correction was made: weighted observations already fit perfectly (data problem?)\n",
        {"r.png", "fort.8"}, "fort.26", " ERROR:  WEIGHTED OBSERVATIONS ALREADY FIT PERFECTLY-DATA PROBLEM?\n"},
       {"--plot", "r.png"}},
      {"SolverZeroDivide", "2 21\n" + line + "'P V+0' 7 2140.25 1\n" + repeat(10, "C 0 0\n") + "HB 1e-3 1\n" + repeat(9, "C 0 0\n") + "O 2000 1\n1 0\n",
       {1, 0, "bandfit: no correction was made: zero divide in ortho, probably trying to fit an invariant item\n",
        {"r.png"}, "fort.26", " STANDARD DEVIATION OF THE FIT, SQRT(S/(N-M)), IS "},
       {"--plot", "r.png"}},
      // Finite input whose arithmetic overflows: no correction, the input
      // named, the results file saying so, no next deck and no plot.
      {"WeightOverflows", "2 1\n'R V+0' 5 2150.5 1e308\n'P V+0' 7 2140.25 1\n" + param + "2 0\n",
       {1, 0,
        "bandfit: no correction was made: the arithmetic overflowed: the new value of B is not "
        "finite; line 1 (R V+0) with position 2150.5 and weight 1e+308 is beyond the "
        "arithmetic's range\n",
        {"d.deck", "r.png"}, "r.json", "\"outcome\": \"overflow\""},
       {"--results", "r.json", "--deck-out", "d.deck", "--plot", "r.png"}},
      {"PositionOverflows", "2 1\n'R V+0' 5 1e200 1\n'P V+0' 7 2140.25 1\n" + param + "2 0\n",
       {1, 0,
        "bandfit: no correction was made: the arithmetic overflowed: the standard deviation of B "
        "is not finite; line 1 (R V+0) with position 1e+200 and weight 1 is beyond the "
        "arithmetic's range\n",
        {"d.deck"}, "fort.26", " ERROR:  ARITHMETIC OVERFLOW, NOT FINITE: STANDARD DEVIATION OF B\n"},
       {"--deck-out", "d.deck"}},
      {"ValueOverflows", "2 1\n" + line + "'P V+0' 7 2140.25 1\nB 1.7e308 1\n2 0\n",
       {1, 0,
        "bandfit: no correction was made: the arithmetic overflowed: the new value of B is not "
        "finite; parameter 1 (B) with value 1.7e+308 is beyond the arithmetic's range\n",
        {"d.deck"}, "fort.26", " ERROR:  ARITHMETIC OVERFLOW, NOT FINITE: NEW VALUE OF B\n"},
       {"--deck-out", "d.deck"}},
      {"FlaggedParameterRemovedAsTooSmall", "2 2\n" + line + "'P V+0' 7 2140.25 1\nB 1.9 0\nD 0 1\n1 0\n",
       {1, 0,
        "bandfit: no correction was made: no parameters to be fitted: every flagged parameter "
        "was removed as too small\n",
        {"r.png"}, "fort.26", " NO PARAMETERS TO BE FITTED:-EXITING REFINE"},
       {"--plot", "r.png"}},
      {"AllFlagsZeroWithPlot", "2 2\n" + line + "'P V+0' 7 2140.25 1\nB 1.9 0\nD 1e-6 0\n1 0\n",
       {0, 0, "", {"r.png"}, "fort.26", " NO PARAMETERS TO BE FITTED:-EXITING REFINE"},
       {"--plot", "r.png"}},
      // A decimal comma: "2150,5" would be read as 2150 and a weight of 5,
      // the line's last number left over: refused before any file exists.
      // Commas that separate the values stay separators.
      {"DecimalCommaInDeck", "2 1\n'R V+0' 5 2150,5 1\n'P V+0' 7 2140.25 1\n" + param + "2 0\n",
       refused("standard input: line 2: '2150,5' looks like a decimal comma; write 2150.5")},
      {"CommasBetweenDeckValues", "2,1\n'R V+0',5,2150.5,1\n'P V+0' 7 2140.25 1\nB,1.9,1\n1,0\n",
       {0, 0, "", {}, "fort.26", "LEAST SQUARES FITTING COMPLETED"}},
      // A report cut by a file-size limit: said with the record, status 1,
      // and the line list written all the same.
      {"ReportOverAFileSizeLimit", "2 1\n" + line + "'P V+0' 7 2140.25 1\n" + param + "2 0\n",
       {1, 0, "bandfit: cannot write fort.26: File too large (record 13)\n", {}, "fort.8",
        " P V+0  7"},
       {}, 400},
      // Names that are not UTF-8 (Latin-1 bytes; a UTF-8 name cut inside a
      // character at 10 bytes): U+FFFD in the results, valid JSON, status 0.
      {"NamesNotUtf8InResults",
       "2 2\n" + line + "'P V+0' 7 2140.25 1\n'B\xe9ta' 1.9 1\n'qJ_upper_\xce\x94' 0 0\n1 0\n",
       {0, 0, "", {}, "r.json", "\"name\": \"qJ_upper_\xef\xbf\xbd\""},
       {"--results", "r.json", "--deck-out", "d.deck"}},
      // Targets that are devices are written through, never replaced.
      {"ResultsToDevNullDeckToStandardOutput", "2 1\n" + line + "'P V+0' 7 2140.25 1\n" + param + "1 0\n",
       {0, 0, "2 1\n'R V+0' 5 2150.5 1\n'P V+0' 7 2140.25 1\n", {}},
       {"--results", "/dev/null", "--deck-out", "/dev/stdout"}},
      // Names of 255 bytes, the longest a folder takes, for every file written
      // through a temporary.
      {"OutputNamesOf255Bytes", "2 1\n" + line + "'P V+0' 7 2140.25 1\n" + param + "1 0\n",
       {0, 0, "", {}, std::string(250, 'r') + ".json", "\"outcome\": \"completed\""},
       {"--results", std::string(250, 'r') + ".json", "--deck-out", std::string(255, 'd'), "--plot",
        std::string(251, 'p') + ".png"}},
      // The command line: answered or refused before the deck is read.
      {"Help", "", {0, 0, "Usage: " + synopsis, none}, {"--help"}},
      {"HelpShort", "", {0, 0, "Usage: " + synopsis, none}, {"--plto", "-h"}},
      {"Version", "", {0, 0, "bandfit (labsuite) ", none}, {"--plot", "r.png", "--version"}},
      {"VersionShort", "", {0, 0, "bandfit (labsuite) ", none}, {"deck", "-V"}},
      // The report and the list under names of their own, with the same
      // checked writes; the values as "--opt FILE" or "--opt=FILE".
      {"ReportNamed", fit, {0, 0, "", none, "r.txt", "LEAST SQUARES FITTING COMPLETED"},
       {"--report=r.txt", "--list", "l.txt"}},
      {"ListNamed", fit, {0, 0, "", none, "l.txt", " P V+0  7"}, {"--list=l.txt", "--rep", "r.txt"}},
      {"ReportWithoutFile", "", usage("--report needs a file name"), {"--report"}},
      {"ListFollowedByOption", "", usage("--list needs a file name"), {"--list", "--report", "r"}},
      {"AmbiguousOption", "", usage("option '--re' is ambiguous"), {"--re", "r.txt"}},
      {"ValueForAnOptionWithout", "", usage("--version takes no value"), {"--version=2"}},
      {"ReportIntoMissingFolder", fit,
       {1, 0, "bandfit: cannot write no/r.txt: No such file or directory (record 1)\n", none,
        "l.txt", " P V+0  7"},
       {"--report", "no/r.txt", "--list", "l.txt"}},
      {"NamedReportOverAFileSizeLimit", "2 1\n" + line + "'P V+0' 7 2140.25 1\n" + param + "2 0\n",
       {1, 0, "bandfit: cannot write r.txt: File too large (record 13)\n", {"fort.26"}, "fort.8",
        " P V+0  7"},
       {"--report", "r.txt"}, 400},
      {"UnknownOption", "", usage("unknown option '--plto'"), {"--plto", "r.png"}},
      {"PlotWithoutFile", "", usage("--plot needs a file name"), {"--plot"}},
      {"PlotOfUnknownFormat", "", usage("--plot file 'r.gif' must end in .png, .pdf, .svg or .ps"),
       {"--plot", "r.gif"}},
      {"UnexpectedArgument", "", usage("unexpected argument 'deck'"), {"deck"}},
      {"PlotIntoMissingFolder", "2 1\n" + line + "'P V+0' 7 2140.25 1\n" + param + "1 0\n",
       {1, 0, "bandfit: cannot write no/r.png: No such file or directory\n", {},
        "fort.26", "LEAST SQUARES FITTING COMPLETED"},
       {"--plot", "no/r.png"}},
      // The files for scripts: not made from a refused deck; one that cannot
      // be written is said after the report, with status 1.
      {"RefusedDeckMakesNoScriptFiles", "1 1\n'R V+0' 5 2150.5 -1\n" + param + "1 0\n",
       {1, 0, "bandfit: line 1: negative weight -1\n", {"fort.26", "fort.8", "r.json", "d.deck"}},
       {"--results", "r.json", "--deck-out", "d.deck"}},
      {"ResultsWithoutFile", "", usage("--results needs a file name"), {"--results"}},
      // An output that is an input or another output: refused before the
      // deck is read, nothing written.
      {"ResultsIsTheReport", "", usage("--results fort.26 is the report"), {"--results", "fort.26"}},
      {"DeckOutIsTheList", "", usage("--deck-out fort.8 is the line list"), {"--deck-out", "fort.8"}},
      {"ResultsAndDeckOutTheSame", "", usage("--deck-out r is the --results file"),
       {"--results", "r", "--deck-out", "r"}},
      {"ReportIsTheList", "", usage("--list out is the report"),
       {"--list", "out", "--report", "out"}},
      {"ResultsIsTheDeck", "2 1\n" + line + "'P V+0' 7 2140.25 1\n" + param + "1 0\n",
       {2, 0,
        "bandfit: --results deck is the deck on standard input; usage: bandfit [--report FILE] "
        "[--list FILE] [--plot FILE] [--results FILE] [--deck-out FILE] < DECK\n",
        none, "deck", "'P V+0' 7 2140.25 1\n"},
       {"--results", "deck"}, 0, true},
      {"DeckOutWithEmptyName", "", usage("--deck-out needs a file name"), {"--deck-out="}},
      {"ResultsIntoMissingFolder", "2 1\n" + line + "'P V+0' 7 2140.25 1\n" + param + "1 0\n",
       {1, 0, "bandfit: cannot write no/r.json: No such file or directory\n", {},
        "fort.26", "LEAST SQUARES FITTING COMPLETED"},
       {"--results", "no/r.json"}},
      {"DeckOutIntoMissingFolder", "2 1\n" + line + "'P V+0' 7 2140.25 1\n" + param + "1 0\n",
       {1, 0, "bandfit: cannot write no/d.deck: No such file or directory\n", {},
        "r.json", "\"outcome\": \"completed\""},
       {"--deck-out", "no/d.deck", "--results", "r.json"}},
      // A long path is reported whole, with its reason.
      {"PlotIntoMissingFolderOfLongName", "2 1\n" + line + "'P V+0' 7 2140.25 1\n" + param + "1 0\n",
       {1, 0, "bandfit: cannot write /nonexist/" + std::string(180, 'd') + "/r.png: No such file or directory\n", {},
        "fort.26", "LEAST SQUARES FITTING COMPLETED"},
       {"--plot", "/nonexist/" + std::string(180, 'd') + "/r.png"}},
  };
}

void PrintTo(const DeckCase& c, std::ostream* os) { *os << c.name; }

class Bandfit : public ::testing::TestWithParam<DeckCase> {};

TEST_P(Bandfit, EndsAsDocumented) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  testing_support::Run bandfit;
  bandfit.program = BANDFIT_PATH;
  bandfit.args = GetParam().args;
  bandfit.dir = dir;
  bandfit.input = GetParam().deck;
  if (GetParam().deck_file) {
    write_file(dir + "/deck", GetParam().deck);
    bandfit.input_file = dir + "/deck";
  }
  bandfit.fsize_limit = GetParam().fsize_limit;
  const Outcome r = run(bandfit);
  check(r, GetParam().expect, dir);
  if (GetParam().expect.exit_status == 0 && GetParam().expect.message.empty()) {
    EXPECT_EQ(r.out + r.err, "");
  }
  // Every failure says so in one line.
  if (GetParam().expect.exit_status > 0) {
    EXPECT_EQ(r.err, GetParam().expect.message);
  }
}

INSTANTIATE_TEST_SUITE_P(BadInput, Bandfit, ::testing::ValuesIn(deck_cases()),
                         [](const auto& info) { return info.param.name; });

// A deck that is corrected.
const std::string kDeck = "2 1\n'R V+0' 5 2150.5 1\n'P V+0' 7 2140.25 1\nB 1.9 1\n1 0\n";

// A symbolic link as a target: the file it points to is replaced, the link
// kept. A FIFO: written through, to the reader at its other end.
TEST(BandfitOutputs, LinksAndFifosAreWrittenThrough) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  std::filesystem::create_directory(dir + "/kept");
  write_file(dir + "/kept/r.json", "an earlier result\n");
  std::filesystem::create_symlink("kept/r.json", dir + "/r.json");
  ASSERT_EQ(mkfifo((dir + "/next.deck").c_str(), 0600), 0);
  const int reader = open((dir + "/next.deck").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  Child fit({.program = BANDFIT_PATH, .args = {"--results", "r.json", "--deck-out", "next.deck"},
             .dir = dir, .input = kDeck, .limit = std::chrono::seconds(20)});
  std::string deck;
  for (bool ended = false; !ended;) {
    ended = fit.step();
    char block[4096];
    for (ssize_t n; (n = read(reader, block, sizeof block)) > 0;) deck.append(block, static_cast<std::size_t>(n));
    usleep(2000);
  }
  close(reader);
  EXPECT_EQ(fit.outcome().exit_status, 0) << fit.outcome().err;
  EXPECT_TRUE(deck.starts_with("2 1\n'R V+0' 5 2150.5 1\n")) << deck;
  EXPECT_TRUE(std::filesystem::is_symlink(dir + "/r.json"));
  EXPECT_NE(read_file(dir + "/kept/r.json").find("\"outcome\": \"completed\""), std::string::npos);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"fort.26", "fort.8", "kept", "next.deck", "r.json"}));
  EXPECT_EQ(names_in(dir + "/kept"), std::set<std::string>{"r.json"});
}

// --help and --version into a pipe whose reader has gone: one line and
// status 1, from every program (not a death by SIGPIPE).
TEST(AllPrograms, HelpAndVersionIntoAClosedPipe) {
  for (const char* program :
       {MOMFIT_PATH, BANDFIT_PATH, COLMERGE_PATH, CONSTCOL_PATH, DEMO_DATA_PATH}) {
    for (const char* option : {"--help", "--version"}) {
      testing_support::Run r;
      r.body = [&] {
        int ends[2];
        if (pipe(ends) != 0) _exit(127);
        close(ends[0]);
        dup2(ends[1], 1);
        execl(program, program, option, static_cast<char*>(nullptr));
        _exit(127);
      };
      const Outcome o = run(r);
      const std::string name = std::filesystem::path(program).filename();
      EXPECT_EQ(o.exit_status, 1) << name << " " << option;
      EXPECT_EQ(o.err, name + ": cannot write standard output: Broken pipe\n");
    }
  }
}

// --- colmerge ---------------------------------------------------------------

struct MergeCase {
  std::string name;
  std::optional<std::string> cmp, nst;  // no value: the file is missing
  std::string message;
};

std::vector<MergeCase> merge_cases() {
  const std::string cmp = repeat(861, "1700\n");
  const std::string nst = repeat(862, "1.5\t0.25\n");
  return {
      {"OneColumnMissing", {}, nst, "g0m2410d.cmp could not be opened\n"},
      {"TwoColumnMissing", cmp, {}, "g0m2410d.nst could not be opened\n"},
      {"BothMissing", {}, {},
       "g0m2410d.cmp could not be opened\ng0m2410d.nst could not be opened\n"},
      {"OneColumnShort", repeat(860, "1700\n"), nst,
       "colmerge: g0m2410d.cmp ends after 860 values, 861 needed\n"},
      {"TwoColumnShort", cmp, repeat(861, "1.5\t0.25\n") + "1.5\n",
       "colmerge: g0m2410d.nst ends after 1723 values, 1724 needed\n"},
      // A bad value is named by its line and text.
      {"OneColumnText", "1700\nfast\n" + cmp, nst,
       "colmerge: g0m2410d.cmp: line 2: 'fast' is not a number\n"},
      {"TwoColumnText", cmp, repeat(6, "1.5\t0.25\n") + "1.5 x\n" + nst,
       "colmerge: g0m2410d.nst: line 7: 'x' is not a number\n"},
      {"EmptyInputs", "", "", "colmerge: g0m2410d.cmp ends after 0 values, 861 needed\n"},
      // A line holding more than one record would shift every later value.
      {"TwoColumnFileWithAThirdColumn", cmp, repeat(4, "1.5\t0.25\n") + "1.5\t0.25\t9\n" + nst,
       "colmerge: g0m2410d.nst: line 5 has more than 2 columns\n"},
      {"OneColumnFileWithASecondColumn", "\n1700 1800\n" + cmp, nst,
       "colmerge: g0m2410d.cmp: line 2 has more than 1 column\n"},
      // A pair may run on to the next line, but not into another pair.
      {"PairRunOnIntoALineOfThree", cmp, repeat(6, "1.5\t0.25\n") + "1.5\n0.25 1.5 0.25\n" + nst,
       "colmerge: g0m2410d.nst: line 7 holds one value; its pair ran on to line 8, which has more "
       "than 2 columns\n"},
      {"PairRunOnIntoALineOfTwo", cmp, repeat(6, "1.5\t0.25\n") + "1.5\n\n0.25 1.5\n" + nst,
       "colmerge: g0m2410d.nst: line 7 holds one value; its pair ran on to line 9, which holds 2 "
       "values\n"},
  };
}

void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.name; }

class Colmerge : public ::testing::TestWithParam<MergeCase> {};

// A refused merge exits with 1 and writes no line: an earlier sorted.out is
// kept byte for byte, and no temporary file is left beside it.
TEST_P(Colmerge, RefusesWithoutWritingALine) {
  const MergeCase& c = GetParam();
  const TempDir tmp;
  const std::string& dir = tmp.str();
  if (c.cmp) write_file(dir + "/g0m2410d.cmp", *c.cmp);
  if (c.nst) write_file(dir + "/g0m2410d.nst", *c.nst);
  write_file(dir + "/sorted.out", "an earlier merge\n");
  const Outcome r = run_in(dir, COLMERGE_PATH);
  check(r, {1, 0, c.message, {}}, dir);
  EXPECT_EQ(read_file(dir + "/sorted.out"), "an earlier merge\n");
  std::size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) files += e.is_regular_file();
  EXPECT_EQ(files, 1u + c.cmp.has_value() + c.nst.has_value());
}

INSTANTIATE_TEST_SUITE_P(BadInput, Colmerge, ::testing::ValuesIn(merge_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(ColmergeOutput, UnwritableOutputIsReported) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  write_file(dir + "/g0m2410d.cmp", repeat(861, "1700\n"));
  write_file(dir + "/g0m2410d.nst", repeat(862, "1.5\t0.25\n"));
  std::filesystem::create_directory(dir + "/sorted.out");  // not openable for writing
  check(run_in(dir, COLMERGE_PATH), {1, 0, "sorted.out could not be opened\n", {}}, dir);
}

TEST(ColmergeInput, UnreadableInputIsReported) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  std::filesystem::create_directory(dir + "/g0m2410d.cmp");  // opens, but cannot be read
  write_file(dir + "/g0m2410d.nst", repeat(862, "1.5\t0.25\n"));
  check(run_in(dir, COLMERGE_PATH), {1, 0, "colmerge: cannot read g0m2410d.cmp: Is a directory\n", {"sorted.out"}},
        dir);
}

// --- full disk, file-size limit and signals: the column tools ---------------

// The column tools' inputs, and an earlier merge that a failed one keeps.
void merge_inputs(const std::string& dir) {
  write_file(dir + "/g0m2410d.cmp", repeat(861, "1700\n"));
  write_file(dir + "/g0m2410d.nst", repeat(862, "1.5\t0.25\n"));
  write_file(dir + "/sorted.out", "an earlier merge\n");
}

// Temporaries beside sorted.out (or any output).
std::size_t temporaries(const std::string& dir) {
  std::size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    n += e.path().filename().string().rfind(".labsuite.", 0) == 0;
  }
  return n;
}

// An output that cannot be written ends with its one line and status 1: on
// /dev/full, or past a file-size limit (no SIGXFSZ kill, no silent cut).
TEST(ColumnToolsOutput, FailedWritesAreSaidWithStatus1) {
  struct Case {
    const char* program;
    bool full;  // standard output on /dev/full, else a 2000-byte size limit
    std::string message;
  };
  const Case cases[] = {
      {CONSTCOL_PATH, true, "constcol: cannot write standard output: No space left on device\n"},
      {CONSTCOL_PATH, false, "constcol: cannot write standard output: File too large\n"},
      {COLMERGE_PATH, false, "colmerge: cannot write sorted.out: File too large\n"},
  };
  for (const Case& c : cases) {
    const TempDir tmp;
    merge_inputs(tmp.str());
    testing_support::Run r;
    r.dir = tmp.str();
    r.body = [&c] {
      if (c.full) dup2(open("/dev/full", O_WRONLY), 1);
      const rlimit size{2000, 2000};
      if (!c.full) setrlimit(RLIMIT_FSIZE, &size);
      execl(c.program, c.program, static_cast<char*>(nullptr));
      _exit(127);
    };
    const Outcome o = run(r);
    EXPECT_EQ(o.exit_status, 1) << c.program;
    EXPECT_EQ(o.err, c.message);
    EXPECT_EQ(read_file(tmp.str() + "/sorted.out"), "an earlier merge\n");
    EXPECT_EQ(temporaries(tmp.str()), 0u);
  }
}

// A signal while colmerge waits for its two-column file (a FIFO no one
// writes) ends it by that signal, its temporary removed, the earlier merge kept.
TEST(ColumnToolsOutput, EndingSignalsRemoveTheMergesTemporary) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    const TempDir tmp;
    const std::string& dir = tmp.str();
    merge_inputs(dir);
    std::filesystem::remove(dir + "/g0m2410d.nst");
    ASSERT_EQ(mkfifo((dir + "/g0m2410d.nst").c_str(), 0600), 0);
    testing_support::Run r;
    r.program = COLMERGE_PATH;
    r.dir = dir;
    r.limit = std::chrono::seconds(30);
    Child merge(r);
    bool ended = false;
    while (!(ended = merge.step()) && temporaries(dir) == 0) usleep(2000);
    ASSERT_FALSE(ended) << merge.outcome().err;
    merge.signal(sig);
    while (!merge.step()) usleep(2000);
    EXPECT_EQ(merge.outcome().signal, sig);
    EXPECT_EQ(temporaries(dir), 0u) << strsignal(sig);
    EXPECT_EQ(read_file(dir + "/sorted.out"), "an earlier merge\n");
  }
}

// colmerge's output is written as the fitters' outputs are: one that is an
// input, by name or by device and inode, is refused before anything is
// opened (status 2); a link is kept and the file it names written; a device
// is written through, never replaced; /dev/fd/1 (as /dev/stdout) into a
// pipe reaches the pipe. Standard output is a pipe to the file "piped" in
// every case. The device is a node of the folder's own (a copy of
// /dev/full, made as root): a build that replaced it must not cost the
// machine its /dev/full.
TEST(ColmergeOutput, AnInputIsRefusedADeviceOrALinkWrittenThrough) {
  const std::string usage = "; usage: colmerge [--rows N] [CMP NST [OUT]]\n";
  const std::string merged = "1.5\t2.500000e-01\t0.000000e+00\n" +
                             repeat(860, "1.5\t2.500000e-01\t1.700000e+03\n");
  struct Case {
    std::string out;  // OUT
    std::string status, err;
    std::string holds;  // the file that must hold the merge, "" for none
  };
  const Case cases[] = {
      {"a.nst", "2", "colmerge: OUT a.nst is the two-column file" + usage, ""},
      {"hard.cmp", "2", "colmerge: OUT hard.cmp is the one-column file" + usage, ""},
      {"link.out", "0", "", "kept/merged.out"},
      {"full", "1", "colmerge: cannot write full: No space left on device\n", ""},
      {"/dev/fd/1", "0", "", "piped"},
  };
  for (const Case& c : cases) {
    const TempDir tmp;
    const std::string& dir = tmp.str();
    const std::string cmp = repeat(861, "1700\n"), nst = repeat(862, "1.5\t0.25\n");
    write_file(dir + "/a.cmp", cmp);
    write_file(dir + "/a.nst", nst);
    std::filesystem::create_hard_link(dir + "/a.cmp", dir + "/hard.cmp");
    std::filesystem::create_directory(dir + "/kept");
    std::filesystem::create_symlink("kept/merged.out", dir + "/link.out");
    if (mknod((dir + "/full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
      std::filesystem::create_symlink("/dev/full", dir + "/full");  // not root: cannot replace it
    }
    const Outcome o = run({.program = "/bin/sh",
                           .args = {"-c", "{ " + std::string(COLMERGE_PATH) + " a.cmp a.nst " +
                                              c.out + "; echo $? > status; } | cat > piped"},
                           .dir = dir});
    EXPECT_EQ(read_file(dir + "/status"), c.status + "\n") << c.out;
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(read_file(dir + "/a.cmp"), cmp) << c.out;
    EXPECT_EQ(read_file(dir + "/a.nst"), nst) << c.out;
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "/link.out"));
    EXPECT_TRUE(std::filesystem::is_character_file(dir + "/full"));
    EXPECT_EQ(read_file(dir + "/piped"), c.holds == "piped" ? merged : "") << c.out;
    EXPECT_EQ(read_file(dir + "/kept/merged.out"), c.holds == "kept/merged.out" ? merged : "");
    EXPECT_EQ(temporaries(dir), 0u) << c.out;
  }
}

// momfit's outputs at their edges, each run through the shell (momfit on
// its PATH, its answers in answers.txt): an output that is the file on
// standard input, or meets another output through a link to a file not yet
// made, is refused (status 2, nothing written); --results /dev/stdout into a
// pipe reaches the pipe; a replaced results file keeps its mode; a target
// written through with no temporary folder names TMPDIR; a kill -9 during
// the fit leaves no temporary; a picture past a file-size limit is one line
// with the system's reason.
TEST(MomfitOutputs, EndAsDocumented) {
  const std::string usage = "; usage: momfit [--plot FILE]";
  const std::string quiet = "momfit --no-wait --no-window --quiet ";
  struct Case {
    std::string name, command;
    int status;
    std::string err;                    // the start of standard error
    std::function<void(const std::string&)> then = {};  // more checks in the folder
    int kill_at_chi2 = 0;               // a signal sent at the first " Chi^2 is "
    long fsize_limit = 0;
  };
  const std::vector<Case> cases = {
      {"ResultsIsStandardInput", "exec " + quiet + "--results answers.txt < answers.txt", 2,
       "momfit: --results answers.txt is the answers on standard input" + usage,
       [](const std::string& dir) { EXPECT_EQ(read_file(dir + "/answers.txt"), answers()); }},
      {"ResultsThroughALinkToTheLog", "ln -s L lnL; exec " + quiet + "--log L --results lnL < answers.txt",
       2, "momfit: --results lnL is the evaluation log" + usage,
       [](const std::string& dir) { EXPECT_FALSE(file_exists(dir + "/L")); }},
      {"ResultsToStandardOutputInAPipe",
       "{ " + quiet + "--results /dev/stdout < answers.txt; echo $? > status; } | cat > piped", 0, "",
       [](const std::string& dir) {
         EXPECT_EQ(read_file(dir + "/status"), "0\n");
         EXPECT_NE(read_file(dir + "/piped").find("\"program\": \"momfit\""), std::string::npos);
       }},
      {"ResultsKeepTheirMode", "echo old > r.json; chmod 640 r.json; exec " + quiet + "--results r.json < answers.txt",
       0, "",
       [](const std::string& dir) {
         namespace fs = std::filesystem;
         EXPECT_EQ(fs::status(dir + "/r.json").permissions(),
                   fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
         EXPECT_NE(read_file(dir + "/r.json").find("\"program\": \"momfit\""), std::string::npos);
       }},
      {"NoTemporaryFolderForADevice",
       "TMPDIR=/absent exec " + quiet + "--results /dev/null < answers.txt", 1,
       "momfit: cannot write /dev/null: no temporary can be made in /absent/ (TMPDIR): No such "
       "file or directory\n",
       [](const std::string& dir) { EXPECT_FALSE(file_exists(dir + "/fort.7")); }},
      {"KilledDuringTheFit",
       "exec momfit --no-wait --no-window --results r.json --curve c.csv < answers.txt", -1, "",
       [](const std::string& dir) {
         for (const std::string& name : names_in(dir)) EXPECT_FALSE(name.starts_with(".labsuite.")) << name;
         EXPECT_FALSE(file_exists(dir + "/r.json"));
       },
       SIGKILL},
      {"PicturePastAFileSizeLimit", "exec " + quiet + "--log /dev/null --plot fit.png < answers.txt", 1,
       "momfit: cannot write fit.png: File too large\n",
       [](const std::string& dir) { EXPECT_FALSE(file_exists(dir + "/fit.png")); }, 0, 20000},
  };
  const std::string bin = std::filesystem::path(MOMFIT_PATH).parent_path();
  for (const Case& c : cases) {
    const TempDir tmp = momfit_dir();
    const std::string& dir = tmp.str();
    write_file(dir + "/answers.txt", answers());
    testing_support::Run r{.program = "/bin/sh", .args = {"-c", c.command}, .env = {"DISPLAY", "PATH=" + bin + ":/usr/bin:/bin"},
          .dir = dir, .fsize_limit = c.fsize_limit};
    if (c.kill_at_chi2 != 0) {
      r.send_when = " Chi^2 is ";
      r.send = c.kill_at_chi2;
    }
    const Outcome o = run(r);
    EXPECT_EQ(o.exit_status, c.status) << c.name << ": " << o.err;
    EXPECT_TRUE(o.err.starts_with(c.err)) << c.name << ": " << o.err;
    if (c.status > 0) {
      EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << c.name;
    }
    if (c.then) c.then(dir);
  }
}

// --- one run per folder -----------------------------------------------------

// While a momfit run waits at its closing PAUSE, a second momfit in the same
// folder is refused before it asks anything, naming the first run's pid, and
// leaves fort.7 as it was; so is one that logs elsewhere but names one of
// the first run's --curve, --scan-plot or --plot files. Runs with other
// outputs (a bandfit run, a momfit run logging to another file, one whose
// results go to /dev/null as the first run's do) go ahead. Also when the first has written a
// picture into a folder whose path (256 characters) is longer than the
// plotting library takes, which it reaches through a descriptor of its own
// of that folder: closing it does not drop the lock.
TEST(OneRunPerFolder, SecondMomfitIsRefusedWhileTheFirstHoldsFort7) {
  for (const bool long_path : {false, true}) {
    const TempDir tmp = momfit_dir();
    std::string dir = tmp.str();
    std::vector<std::string> args = {"--curve", "c.csv", "--scan-plot", "s.png",
                                     "--plot", "f.png", "--results", "/dev/null"};
    std::set<std::string> outputs = {"fort.7", "fort.26", "fort.8", "other.log",
                                     "c.csv", "s.png", "f.png"};
    if (long_path) {  // only the refusal: the runs beside are as above
      dir += "/" + std::string(255 - dir.size(), 'd');
      ASSERT_EQ(dir.size(), 256u);
      std::filesystem::create_directory(dir);
      for (const char* input : {"lab.dat", "newintrin_red"}) {
        std::filesystem::rename(tmp.str() + "/" + input, dir + "/" + input);
      }
      args = {"--no-window", "--plot", dir + "/fit.png"};
      outputs = {"fort.7", "fit.png"};
    }
    testing_support::Run first;
    first.program = MOMFIT_PATH;
    first.env = {"DISPLAY"};
    first.dir = dir;
    first.input = answers();
    first.args = args;
    testing_support::Run second = first;
    second.args = {};
    testing_support::Run other;
    other.program = BANDFIT_PATH;
    other.dir = dir;
    other.input = kDeck;
    // Momfit runs with a log of their own, and the output of the first's
    // they are refused for ("" to go ahead).
    const std::vector<std::pair<std::vector<std::string>, std::string>> elsewhere = {
        {{"--log", "other.log"}, ""},
        {{"--log", "o.log", "--curve", "c.csv"}, "c.csv"},
        {{"--log", "o.log", "--scan-plot", "./s.png"}, "./s.png"},
        {{"--log", "o.log", "--plot", "f.png"}, "f.png"},
        {{"--log", "/dev/null", "--results", "/dev/null"}, ""},
    };
    Outcome refused, beside;
    std::vector<Outcome> logged;
    std::string log_before, log_after;
    first.at_pause = [&] {
      log_before = read_file(dir + "/fort.7");
      refused = run(second);
      if (!long_path) {
        beside = run(other);
        for (const auto& row : elsewhere) {
          testing_support::Run r = second;
          r.args = row.first;
          logged.push_back(run(r));
        }
      }
      log_after = read_file(dir + "/fort.7");
    };
    Child fit(first);
    while (!fit.step()) usleep(2000);
    EXPECT_EQ(fit.outcome().exit_status, 0) << fit.outcome().err;
    EXPECT_EQ(refused.exit_status, 1) << long_path;
    EXPECT_EQ(refused.err, "momfit: fort.7 is in use by another run (pid " +
                               std::to_string(fit.pid()) + ") in this folder\n");
    EXPECT_EQ(refused.out, "");
    EXPECT_FALSE(log_before.empty());
    EXPECT_EQ(log_after, log_before);
    if (!long_path) {
      EXPECT_EQ(beside.exit_status, 0) << beside.err;
      ASSERT_EQ(logged.size(), elsewhere.size());
      for (std::size_t k = 0; k < logged.size(); ++k) {
        const std::string& held = elsewhere[k].second;
        EXPECT_EQ(logged[k].exit_status, held.empty() ? 0 : 1) << held << logged[k].err;
        if (!held.empty()) {
          const char* here = held.find('/') == std::string::npos ? " in this folder" : "";
          EXPECT_EQ(logged[k].err, "momfit: " + held + " is in use by another run (pid " +
                                       std::to_string(fit.pid()) + ")" + here + "\n");
        }
      }
    }
    // Nothing but the inputs and the runs' outputs: no lock file.
    outputs.insert({"lab.dat", "newintrin_red"});
    EXPECT_EQ(names_in(dir), outputs);
  }
}

// Whether /proc/locks shows a lock on the folder dir (open-file-description
// locks show no pid there, only the locked file's inode).
bool holds_a_lock(const std::string& dir) {
  struct stat folder {};
  if (stat(dir.c_str(), &folder) != 0) return false;
  const std::string inode = ":" + std::to_string(folder.st_ino);
  std::istringstream locks(read_file("/proc/locks"));
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string f;
    for (int k = 0; k < 6 && fields >> f; ++k) {
    }
    if (f.size() > inode.size() && f.compare(f.size() - inode.size(), inode.size(), inode) == 0) {
      return true;
    }
  }
  return false;
}

// While a bandfit run waits for its deck on a terminal, a second one in the
// same folder is refused and creates nothing; once the first has ended, a
// third runs: the lock ended with its process.
TEST(OneRunPerFolder, SecondBandfitIsRefusedUntilTheFirstEnds) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  testing_support::Run waiting;
  waiting.program = BANDFIT_PATH;
  waiting.dir = dir;
  waiting.terminal = true;
  waiting.limit = std::chrono::seconds(20);
  Child first(waiting);
  bool ended = false;
  while (!(ended = first.step()) && !holds_a_lock(dir)) usleep(2000);
  ASSERT_FALSE(ended) << first.outcome().err;
  testing_support::Run deck;
  deck.program = BANDFIT_PATH;
  deck.dir = dir;
  deck.input = kDeck;
  const Outcome refused = run(deck);
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.err, "bandfit: fort.26 is in use by another run (pid " +
                             std::to_string(first.pid()) + ") in this folder\n");
  EXPECT_TRUE(names_in(dir).empty());
  // The files of --list and --report are locked as fort.8 and fort.26 are:
  // a list named fort.26 is refused, a run with files of its own goes ahead.
  deck.args = {"--list", "fort.26", "--report", "r.txt"};
  const Outcome list_refused = run(deck);
  EXPECT_EQ(list_refused.exit_status, 1);
  EXPECT_EQ(list_refused.err, refused.err);
  deck.args = {"--list", "l.txt", "--report", "r.txt"};
  EXPECT_EQ(run(deck).exit_status, 0);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"l.txt", "r.txt"}));
  deck.args = {};
  first.signal(SIGTERM);
  while (!first.step()) usleep(2000);
  const Outcome after = run(deck);
  EXPECT_EQ(after.exit_status, 0) << after.err;
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"fort.26", "fort.8", "l.txt", "r.txt"}));
}

}  // namespace
