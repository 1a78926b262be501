// The momfit main program, a front end of fit(): the command line, the
// terminal dialogue, loading, the fit with an observer that logs and draws,
// and the results.
#pragma once

#include <array>
#include <string>

#include "momfit/blocks.h"

namespace momfit {

// The dialogue's eight answers in the order of its prompts: E0, W1, beta,
// the lab data file, the changes of E0, W1 and beta, the tolerance.
enum Prompt : int { kE0, kW1, kBeta, kLab, kE0Change, kW1Change, kBetaChange, kTolerance };
constexpr int kAnswers = 8;

// What the command line chooses: the answers given as options, the profile
// file and the masses, the output files and how the run shows itself.
struct Options {
  // An answer given by an option, as its text ("" for one to be asked):
  // the number as written, or the lab file name.
  std::array<std::string, kAnswers> answers;
  std::array<float, kAnswers> values{};  // a number answer's value, read as a typed one is
  std::array<bool, kAnswers> given{};
  std::array<bool, 3> fixed{};  // W1, beta, E0 held at their start (--fix)
  FitConfig config;
  std::string plot;         // the file name as given
  std::string log;          // the evaluation log instead of fort.7 ("" for fort.7)
  std::string results;      // the results file (JSON), "" for none
  std::string curve;        // the model at the answer (CSV), "" for none
  std::string scan_plot;    // the picture of the scan's profiles, "" for none
  bool no_wait = false;     // no PAUSE at the end or at the iteration limit
  bool no_window = false;   // no X window, whatever DISPLAY says
  bool quiet = false;       // only the results block and the interval lines
};

// Reads the options after argv[0] with cli::CommandLine: the answers --e0,
// --w1, --beta (numbers a REAL holds, read by the rules of a typed answer),
// --lab FILE, --changes E0%,W1%,BETA% (three such numbers), --tolerance (one); --fix E0|W1|beta (any
// case, repeatable), --quiet; --plot FILE (.png, .pdf, .svg or .ps, in any
// case), --profile FILE, --masses M1 M2 (positive numbers), --log FILE,
// --results FILE, --no-wait, --no-window. --help and --version answer on
// standard output and exit 0; anything else, a missing value, a value that
// is not allowed is one usage line on standard error and exit 2, before
// anything is read or created.
Options options(int argc, char** argv);

// One run, one fit; handed to recordio::run by main(). Returns normally after
// the closing PAUSE (none with --no-wait) when some evaluation gave a
// chi-square; otherwise ends the program with status 1 after the usual
// output. The value is the status of a run whose outputs all went well:
// 0, or 3 when a minimisation stopped at the iteration limit (--no-wait).
// A log or results file that cannot be written is said before the dialogue;
// the value is then 0 and the run's status 1.
int fit_main(const Options& options);

}  // namespace momfit
