// The bandfit deck: what it holds, reading it from unit 5, the checks that
// keep it inside the fixed storage and the term table, and the line table
// (unit 26) and line list (unit 8) written after the refinement.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bandfit/model.h"

namespace bandfit {

struct Summary;

// Every observed position is multiplied by this factor as it is read; the
// refinement, the report and the line list see only the scaled value (kept
// on purpose).
constexpr double kScale = 0.9997923346201509;

// Everything the deck holds (about 49 kB). The caller owns it; the line
// block in it is what the model reads. Nothing after read_deck changes it.
struct Deck {
  std::int32_t n = 0;    // lines
  std::int32_t m = 0;    // parameters
  std::int32_t mu = 0;   // position of the first excited-state parameter
  std::int32_t ip = 0;   // report level
  LineBlock line_block;  // jlow and branch of every line
  LineArray y;           // scaled observed positions
  LineArray read_y;      // observed positions as read, before scaling
  LineArray w;           // weights
  ParamArray c;          // parameter values
  FlagArray ic;          // fit flags
  NameArray ch;          // parameter names
};

// Reads the four statements of the deck from unit 5 into d, scaling each
// position. Negative counts and counts beyond the capacities (more than
// kMaxLines lines or kParamRoom parameters) are refused with recordio::fail before any line is
// stored. Malformed input is the fatal input error of recordio.
void read_deck(Deck& d);

// The same from text in memory, for a caller that must not end the process:
// returns the refusal of a count or the read fault ("deck: line N: list
// read: REASON"), empty when the whole deck was read; warnings receives the
// layout warning, if any. Touches no unit.
std::string read_deck(std::string_view text, Deck& d, std::vector<std::string>& warnings);

// The first fault of a deck read into d that the fit cannot take: a fit
// flag other than 0 or 1, a parameter value that is not finite, lines plus
// fitted parameters beyond kMaxComponents, a label none of the fifteen, a
// lower or upper J outside the term table, a position or weight that is not
// finite (a number read beyond the range of a double), a negative weight.
// Empty when there is none.
std::string deck_fault(const Deck& d);

// Writes the observed-versus-calculated table of lines 1..n of d (observed
// and calculated y2 of s, weight w) to unit 26 (the heading block, one
// record per line, fourteen closing empty records) and one list-directed
// record per line (label, J, observed) to unit 8.
void write_table(const Deck& d, const Summary& s);

}  // namespace bandfit
