// The momfit main program: the terminal dialogue, loading, the two
// minimisations from the starting and the restart simplex, and the results.
#pragma once

namespace momfit {

// One run, one fit; handed to recordio::run by main(). Returns normally after
// the closing PAUSE when some evaluation gave a chi-square; otherwise ends
// the program with status 1 after the designed output.
void fit_main();

}  // namespace momfit
