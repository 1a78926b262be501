// The bandfit driver: the input deck on unit 5, the checks that keep a deck
// inside the fixed storage and the term table, the line table on unit 26 and
// the line list on unit 8.
#pragma once

#include <cstdint>
#include <string_view>

#include "bandfit/model.h"

namespace bandfit {

// Every observed position is multiplied by this factor as it is read.
constexpr double kScale = 0.9997923346201509;

// Everything the deck holds, plus the arrays the refinement fills. The labels
// and lower-state J values go to line_block.
struct Deck {
  std::int32_t n = 0;   // lines
  std::int32_t m = 0;   // parameters
  std::int32_t mu = 0;  // position of the first excited-state parameter
  std::int32_t ip = 0;  // report level
  LineArray y;          // scaled observed positions
  LineArray w;          // weights
  LineArray y1, y2;     // calculated positions (filled by the refinement)
  ParamArray c;         // parameter values
  FlagArray ic;         // fit flags
  NameArray ch;         // parameter names
  ParamArray cn;        // new values (filled by the refinement)
};

// Reads the four statements of the deck from unit 5 into d and line_block,
// scaling each position. Counts beyond the capacities (more than kMaxLines
// lines or kParamRoom parameters) are refused with recordio::fail before any
// line is stored. Malformed input is the fatal input error of recordio.
void read_deck(Deck& d);

// The first fault of a deck read into d and line_block that the fit cannot
// take: lines plus fitted parameters beyond kMaxComponents, a label none of
// the fifteen, a lower or upper J outside the term table, a negative weight.
// Returns the message (valid until the next call), or an empty view.
std::string_view deck_fault(const Deck& d);

// Writes the observed-versus-calculated table of lines 1..n to unit 26 (the
// heading block, one record per line, fourteen closing empty records) and one
// list-directed record per line (label, J, position) to unit 8.
void write_table(int n, const LineArray& y, const LineArray& y2, const LineArray& w);

// The whole program: read, check, refine once, write the table.
void bandfit_main();

}  // namespace bandfit
