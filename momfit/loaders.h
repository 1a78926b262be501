// The two input files of a fit: the lab data (momentum, probability pairs)
// into block two, and the instrument profile into block three.
#pragma once

#include <string_view>

#include "momfit/blocks.h"

namespace momfit {

// Reads up to kMaxLab pairs from the file `name` (trailing blanks dropped)
// on unit 20: labmom, labprob, probmax (a running maximum from its current
// value), probbase = labprob(1), nlab. An incomplete last pair is not
// counted; a missing file or a value that is not a number is the fatal
// I/O error. Fills s.two and s.three.nlab. When the file holds more than
// kMaxLab pairs, one line on standard error says that only the first are
// used.
void load_lab(std::string_view name, FitState& s);

// Reads the first value of each line of the file `name`, up to kMaxProfile
// values, on unit 25 into s.three.prof(1..nprof); sets nprof. A file
// holding more says so on standard error, as load_lab does.
void load_profile(std::string_view name, FitState& s);

}  // namespace momfit
