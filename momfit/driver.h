// The momfit main program: the command line, the terminal dialogue,
// loading, the two minimisations from the starting and the restart simplex,
// and the results.
#pragma once

#include <string>

#include "momfit/blocks.h"

namespace momfit {

// What the command line chooses: the profile file and the masses, and the
// file the final picture is also written to ("" for none).
struct Options {
  FitConfig config;
  std::string plot;  // the file name as given
};

// Reads the options after argv[0]: --plot FILE (.png, .pdf, .svg or .ps, in
// any case), --profile FILE, --masses M1 M2 (positive numbers). --help and --version
// answer on standard output and exit 0; anything else, a missing value, a
// mass that is not a positive number or a plot file of another extension
// is one usage line on standard error and exit 2, before anything is read
// or created.
Options options(int argc, char** argv);

// One run, one fit; handed to recordio::run by main(). Returns normally after
// the closing PAUSE when some evaluation gave a chi-square; otherwise ends
// the program with status 1 after the usual output.
void fit_main(const Options& options);

}  // namespace momfit
