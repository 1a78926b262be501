// The two input files of a fit: the lab data (momentum, probability pairs)
// into block two, and the instrument profile into block three.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "momfit/blocks.h"

namespace momfit {

// The file name a typed line stands for: the line without trailing blanks.
std::string file_name(std::string_view line);

// Reads up to kMaxLab pairs from the file `name` (trailing blanks dropped)
// on unit 20: labmom, labprob, probmax (a running maximum from its current
// value), probbase = labprob(1), nlab. An incomplete last pair is not
// counted; a missing file or a value that is not a number is the fatal
// I/O error. Fills s.two and s.three.nlab. A value beyond the range of a
// REAL, a momentum that is not above the one before, or a line with
// numbers left over beside a likely decimal comma ends the run
// (recordio::fail, naming its line): the model is carried onto the lab
// momenta as onto an ordered table. On standard error, one line each: a
// negative probability (the first line, and how many); the file holds more
// than kMaxLab pairs (only the first are used); a momentum step differs
// from the mean step by more than kStepSpread of it, beyond what REAL
// rounding explains (the instrument profile is sampled at one step).
void load_lab(std::string_view name, FitState& s);

// How far a lab momentum step may stand from the mean step, as a fraction
// of it, before load_lab warns.
constexpr double kStepSpread = 0.05;

// Reads the first value of each line of the file `name`, up to kMaxProfile
// values, on unit 25 into s.three.prof(1..nprof); sets nprof. A file
// holding more says so on standard error, as load_lab does.
void load_profile(std::string_view name, FitState& s);

// The same two readings from a file's text in memory, for a caller that must
// not end the process (the Python module): name stands for the file in
// messages. Each returns the refusal or the read fault ("NAME: line N: list
// read: REASON"), empty when the text was read; warnings receives what the
// loaders above say on standard error. Touches no unit.
std::string read_lab(std::string_view text, const std::string& name, FitState& s,
                     std::vector<std::string>& warnings);
std::string read_profile(std::string_view text, const std::string& name, FitState& s,
                         std::vector<std::string>& warnings);

}  // namespace momfit
