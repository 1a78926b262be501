#include "bandfit/deck.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "bandfit/refine.h"
#include "bandfit/report.h"
#include "recordio/c_locale.h"
#include "recordio/recordio.h"
#include "recordio/text_input.h"

namespace bandfit {
namespace {

// A printf-style refusal message, whole whatever its length.
template <class... Args>
std::string say(const char* format, Args... args) {
  return recordio::c_format(format, args...);
}

// Label text without its trailing blanks, for messages.
std::string_view shown(const Label& label) { return label.trimmed(); }

}  // namespace

namespace {

// A statement may run on over lines; a number left over on its last line
// is warned of, and refused when the line holds a likely decimal comma
// ("2110,4174" read as 2110 and 4174 would fit the line at weight 4174).
constexpr recordio::Layout kLayout = recordio::Layout::no_extra;
constexpr recordio::Commas kCommas = recordio::Commas::refuse;

// The four statements of the deck into d, each taken by read(targets),
// which returns false when the deck cannot be read on (its reader says why).
// Returns the refusal of a count, made before any line is stored, or empty.
template <class Read>
std::string read_statements(Deck& d, Read&& read) {
  if (!read({&d.n, &d.m})) return {};
  if (d.n < 0) return say("deck has %d lines; the line count cannot be negative", d.n);
  if (d.m < 0) return say("deck has %d parameters; the parameter count cannot be negative", d.m);
  // The per-line and per-parameter arrays are fixed: refuse before storing.
  if (d.n > kMaxLines) return say("deck has %d lines; at most %d can be fitted", d.n, kMaxLines);
  if (d.m > kParamRoom) {
    return say("deck has %d parameters; at most %d can be held", d.m, kParamRoom);
  }
  for (int i = 1; i <= d.n; ++i) {
    if (!read({d.line_block.branch(i).span(), &d.line_block.jlow(i), &d.y(i), &d.w(i)})) return {};
    d.read_y(i) = d.y(i);
    d.y(i) = d.y(i) * kScale;
  }
  for (int i = 1; i <= d.m; ++i) {
    if (!read({d.ch(i).span(), &d.c(i), &d.ic(i)})) return {};
  }
  read({&d.mu, &d.ip});
  return {};
}

}  // namespace

void read_deck(Deck& d) {
  const std::string refusal = read_statements(d, [](std::initializer_list<recordio::Target> t) {
    recordio::read_list(kDeck, t, kLayout, kCommas);
    return true;
  });
  if (!refusal.empty()) recordio::fail(refusal);
}

std::string read_deck(std::string_view text, Deck& d, std::vector<std::string>& warnings) {
  recordio::TextInput in(text, "deck");
  bool whole = true;
  const std::string refusal = read_statements(d, [&](std::initializer_list<recordio::Target> t) {
    whole = in.read(t, kLayout, kCommas) == recordio::TextInput::Read::complete;
    return whole;
  });
  warnings = in.warnings();
  return whole ? refusal : in.message();
}

std::string deck_fault(const Deck& d) {
  // The refinement adds the flags up to count the fitted parameters, so any
  // other value than 0 or 1 would miscount them.
  // A value beyond the range of a double (1e400, say) is read as infinite:
  // the fit would run on it and print every result as asterisks.
  for (int i = 1; i <= d.m; ++i) {
    const std::string_view name = d.ch(i).trimmed();
    if (d.ic(i) != 0 && d.ic(i) != 1) {
      return say("parameter %d (%.*s): fit flag %d is neither 0 (hold) nor 1 (fit)", i,
                 static_cast<int>(name.size()), name.data(), d.ic(i));
    }
    if (!std::isfinite(d.c(i))) {
      return say("parameter %d (%.*s): value %g is not a finite number", i,
                 static_cast<int>(name.size()), name.data(), d.c(i));
    }
  }
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
    const Label& label = d.line_block.branch(i);
    const int j = d.line_block.jlow(i);
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
    if (!std::isfinite(d.y(i))) {
      return say("line %d: %.*s position %g is not a finite number", i, name_len,
                 shown(label).data(), d.y(i));
    }
    if (!std::isfinite(d.w(i))) {
      return say("line %d: %.*s weight %g is not a finite number", i, name_len,
                 shown(label).data(), d.w(i));
    }
    if (d.w(i) < 0.0) return say("line %d: negative weight %g", i, d.w(i));
  }
  return {};
}

void write_table(const Deck& d, const Summary& s) {
  const recordio::Character<100> q(
      "Branch        J\"      Expt value   Calc value     Diffg         Weight");
  recordio::write_formatted(kReport, "(/////////,2x,a100,//)", {q.view()});
  for (int i = 1; i <= d.n; ++i) {
    const std::string_view label = d.line_block.branch(i).view();
    const int j = d.line_block.jlow(i);
    recordio::write_formatted(kReport, "(2x,a6,8x,i2,6x,f10.4,3x,f10.4,3x,f7.3,5x,f3.1)",
                              {label, j, s.observed(i), s.y2(i), s.y2(i) - s.observed(i), d.w(i)});
    recordio::write_list(kList, {label, j, s.observed(i)});
  }
  recordio::write_formatted(kReport, "(/////////////)");
}

}  // namespace bandfit
