#include "bandfit/model.h"

#include <array>
#include <cassert>
#include <string_view>

namespace bandfit {
namespace {

// One of the fifteen transitions: the label, the term (1..9) of the upper
// level and its J offset, and the term of the lower level (taken at J).
struct Transition {
  std::string_view label;
  int upper;
  int offset;
  int lower;
};

// Bands V+0, V+1, V+2 start from lower level 1 (term 1); 2V0 from lower
// level 2 (term 8), 4V2 from lower level 3 (term 9). P and R lines end on the
// plus component of the upper level (terms 2, 4, 6), Q lines on the minus
// component (terms 3, 5, 7).
constexpr std::array<Transition, 15> kTransitions = {{
    {"P V+0 ", 2, -1, 1}, {"Q V+0 ", 3, 0, 1}, {"R V+0 ", 2, 1, 1},
    {"P V+1 ", 4, -1, 1}, {"Q V+1 ", 5, 0, 1}, {"R V+1 ", 4, 1, 1},
    {"P V+2 ", 6, -1, 1}, {"Q V+2 ", 7, 0, 1}, {"R V+2 ", 6, 1, 1},
    {"P 2V0 ", 2, -1, 8}, {"Q 2V0 ", 3, 0, 8}, {"R 2V0 ", 2, 1, 8},
    {"P 4V2 ", 6, -1, 9}, {"Q 4V2 ", 7, 0, 9}, {"R 4V2 ", 6, 1, 9},
}};

const Transition* find_transition(const Label& label) {
  for (const Transition& t : kTransitions) {
    if (label.view() == t.label) return &t;
  }
  return nullptr;
}

}  // namespace

std::optional<int> upper_j_offset(const Label& label) {
  const Transition* t = find_transition(label);
  if (t == nullptr) return std::nullopt;
  return t->offset;
}

void values(const ParamArray& c, LineArray& ycalc, int n, const LineBlock& lines) {
  // Term table: rl(k, J + 1) is term k at J, rebuilt in full by every call.
  recordio::Matrix1<double, 9, kMaxJ + 1> rl;
  for (int j = 0; j <= kMaxJ; ++j) {
    // Powers are exact integers (x at most 506, so x cubed fits 32 bits);
    // each sum runs left to right as the term formulas are written.
    const int xi = j * (j + 1);
    const int ui = xi - 1;
    const double x = xi;
    const double x2 = xi * xi;
    const double x3 = xi * xi * xi;
    const double u = ui;
    const double u2 = ui * ui;
    const double u3 = ui * ui * ui;
    const double split_a = 0.5 * x * (c(7) + c(8) * x);
    const double split_b = 0.5 * x * (c(12) + c(13) * x);
    const double split_c = 0.5 * x * (c(17) + c(18) * x);
    const int col = j + 1;
    rl(1, col) = c(1) * x - c(2) * x2 + c(3) * x3 - c(21);
    rl(2, col) = c(4) * u - c(5) * u2 + c(6) * u3 + split_a;
    rl(3, col) = c(4) * u - c(5) * u2 + c(6) * u3 - split_a;
    rl(4, col) = c(9) * u - c(10) * u2 + c(11) * u3 + c(19) + split_b;
    rl(5, col) = c(9) * u - c(10) * u2 + c(11) * u3 + c(19) - split_b;
    rl(6, col) = c(14) * u - c(15) * u2 + c(16) * u3 + c(20) + split_c;
    rl(7, col) = c(14) * u - c(15) * u2 + c(16) * u3 + c(20) - split_c;
    rl(8, col) = c(22) * x - c(23) * x2 + c(24) * x3 - c(21) - c(25);
    rl(9, col) = c(26) * x - c(27) * x2 + c(28) * x3 - c(21) - c(29);
  }

  for (int i = 1; i <= n; ++i) {
    const Transition* t = find_transition(lines.branch(i));
    if (t == nullptr) continue;  // unknown label: ycalc(i) is left as it was
    const int j = lines.jlow(i);
    const int ju = j + t->offset;
    assert(j >= 0 && j <= kMaxJ && ju >= 0 && ju <= kMaxJ);
    ycalc(i) = rl(t->upper, ju + 1) - rl(t->lower, j + 1);
  }
}

}  // namespace bandfit
