// The momfit main program, a front end of fit(): the command line, the
// terminal dialogue, loading, the fit with an observer that logs and draws,
// and the results.
#pragma once

#include <string>

#include "momfit/blocks.h"

namespace momfit {

// What the command line chooses: the profile file and the masses, and the
// file the final picture is also written to ("" for none).
struct Options {
  FitConfig config;
  std::string plot;         // the file name as given
  std::string log;          // the evaluation log instead of fort.7 ("" for fort.7)
  std::string results;      // the results file (JSON), "" for none
  bool no_wait = false;     // no PAUSE at the end or at the iteration limit
  bool no_window = false;   // no X window, whatever DISPLAY says
};

// Reads the options after argv[0]: --plot FILE (.png, .pdf, .svg or .ps, in
// any case), --profile FILE, --masses M1 M2 (positive numbers), --log FILE,
// --results FILE, --no-wait, --no-window. --help and --version
// answer on standard output and exit 0; anything else, a missing value, a
// mass that is not a positive number or a plot file of another extension
// is one usage line on standard error and exit 2, before anything is read
// or created.
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
