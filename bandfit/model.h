// The line-position model of bandfit: the capacities and array types the
// fitter shares, the line block that the model reads, and values(), which
// turns a parameter vector into a calculated position for every line.
#pragma once

#include <cstdint>
#include <optional>

#include "recordio/arrays.h"
#include "recordio/recordio.h"

namespace bandfit {

constexpr int kLineRoom = 1100;   // storage of every per-line array
constexpr int kParamRoom = 30;    // storage of every per-parameter array
constexpr int kMaxLines = 500;    // lines the refinement can take (columns of z)
constexpr int kMaxComponents = 500;  // lines plus fitted parameters (solver storage)
constexpr int kMaxJ = 22;         // the term table holds J = 0 to kMaxJ

using Label = recordio::Character<6>;
using Name = recordio::Character<10>;
using LineArray = recordio::Array1<double, kLineRoom>;
using ParamArray = recordio::Array1<double, kParamRoom>;
using FlagArray = recordio::Array1<std::int32_t, kParamRoom>;
using NameArray = recordio::Array1<Name, kParamRoom>;

// What the model knows of each line: lower-state J and branch label. The
// deck owns one (filled as the deck is read) and hands it to the model.
struct LineBlock {
  recordio::Array1<std::int32_t, kLineRoom> jlow;  // lower-state J of each line
  recordio::Array1<Label, kLineRoom> branch;       // branch label, e.g. "R V+0 "
};

// Sets ycalc(i), i = 1..n, to the position of line i of lines calculated
// from the parameters c(1..29). A line whose label is none of the fifteen
// keeps its ycalc value. Every known line must have its lower and upper J
// inside 0..kMaxJ (the deck is checked for it). Keeps nothing between calls.
void values(const ParamArray& c, LineArray& ycalc, int n, const LineBlock& lines);

// The J offset of the upper state for a label the model knows: -1 for a P
// line, 0 for Q, +1 for R; nullopt for a label that is none of the fifteen.
std::optional<int> upper_j_offset(const Label& label);

}  // namespace bandfit
