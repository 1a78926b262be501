#include "bandfit/deck.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "bandfit/refine.h"
#include "recordio/recordio.h"

namespace bandfit {
namespace {

constexpr int kDeck = 5;
constexpr int kReport = 26;
constexpr int kList = 8;

// Room for one refusal message.
std::array<char, 160> message;

template <class... Args>
std::string_view say(const char* format, Args... args) {
  const int k = std::snprintf(message.data(), message.size(), format, args...);
  const std::size_t len = k < 0 ? 0 : std::min(static_cast<std::size_t>(k), message.size() - 1);
  return {message.data(), len};
}

// Label text without its trailing blanks, for messages.
std::string_view shown(const Label& label) { return label.trimmed(); }

Deck deck;

}  // namespace

void read_deck(Deck& d) {
  recordio::read_list(kDeck, {&d.n, &d.m});
  // The per-line and per-parameter arrays are fixed: refuse before storing.
  if (d.n > kMaxLines) {
    recordio::fail(say("deck has %d lines; at most %d can be fitted", d.n, kMaxLines));
  }
  if (d.m > kParamRoom) {
    recordio::fail(say("deck has %d parameters; at most %d can be held", d.m, kParamRoom));
  }
  for (int i = 1; i <= d.n; ++i) {
    recordio::read_list(kDeck, {line_block.branch(i).span(), &line_block.jlow(i), &d.y(i),
                                &d.w(i)});
    d.y(i) = d.y(i) * kScale;
  }
  for (int i = 1; i <= d.m; ++i) {
    recordio::read_list(kDeck, {d.ch(i).span(), &d.c(i), &d.ic(i)});
  }
  recordio::read_list(kDeck, {&d.mu, &d.ip});
}

std::string_view deck_fault(const Deck& d) {
  // The refinement takes flagged parameters below 1e-12 out of the fit; the
  // rest share the solver's storage with the lines.
  int fitted = 0;
  for (int i = 1; i <= d.m; ++i) {
    if (d.ic(i) != 0 && std::fabs(d.c(i)) >= 1e-12) ++fitted;
  }
  if (d.n + fitted > kMaxComponents) {
    return say("deck has %d lines and %d fitted parameters; together at most %d can be fitted",
               d.n, fitted, kMaxComponents);
  }
  for (int i = 1; i <= d.n; ++i) {
    const Label& label = line_block.branch(i);
    const int j = line_block.jlow(i);
    const std::optional<int> offset = upper_j_offset(label);
    const int name_len = static_cast<int>(shown(label).size());
    if (!offset) {
      return say("line %d: unknown branch label \"%.*s\"", i, name_len, shown(label).data());
    }
    if (j < 0 || j > kMaxJ) {
      return say("line %d: %.*s lower J %d is outside the term table (J 0 to %d)", i, name_len,
                 shown(label).data(), j, kMaxJ);
    }
    if (j + *offset < 0 || j + *offset > kMaxJ) {
      return say("line %d: %.*s at lower J %d needs the upper term at J %d, outside the term "
                 "table (J 0 to %d)",
                 i, name_len, shown(label).data(), j, j + *offset, kMaxJ);
    }
    if (d.w(i) < 0.0) return say("line %d: negative weight %g", i, d.w(i));
  }
  return {};
}

void write_table(int n, const LineArray& y, const LineArray& y2, const LineArray& w) {
  static const recordio::Character<100> q(
      "Branch        J\"      Expt value   Calc value     Diffg         Weight");
  recordio::write_formatted(kReport, "(/////////,2x,a100,//)", {q.view()});
  for (int i = 1; i <= n; ++i) {
    const std::string_view label = line_block.branch(i).view();
    recordio::write_formatted(kReport, "(2x,a6,8x,i2,6x,f10.4,3x,f10.4,3x,f7.3,5x,f3.1)",
                              {label, line_block.jlow(i), y(i), y2(i), y2(i) - y(i), w(i)});
    recordio::write_list(kList, {label, line_block.jlow(i), y(i)});
  }
  recordio::write_formatted(kReport, "(/////////////)");
}

void bandfit_main() {
  read_deck(deck);
  // Refused before the first write, so a bad deck leaves no report behind.
  if (const std::string_view fault = deck_fault(deck); !fault.empty()) recordio::fail(fault);
  refine(deck.m, deck.n, deck.w, deck.y, deck.c, deck.ic, deck.ch, deck.mu, deck.cn, deck.y1,
         deck.y2, deck.ip);
  write_table(deck.n, deck.y, deck.y2, deck.w);
}

}  // namespace bandfit
