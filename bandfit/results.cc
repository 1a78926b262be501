#include "bandfit/results.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "labsuite/version.h"
#include "run/replace_file.h"

namespace bandfit {
namespace {

// A number, or null where it has no value (a percentage of a new value 0).
Json number(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

std::string trimmed(const Name& name) { return std::string(name.trimmed()); }

// The warnings the report gives, in its order, in lower case.
Json warnings(const Deck& d, const Summary& s) {
  Json w = Json::array();
  for (int i = 1; i <= d.m; ++i) {
    if (s.removed(i) != 0) {
      w.push_back("parameter " + std::to_string(i) + " (" + trimmed(d.ch(i)) +
                  ") removed from fit: too small");
    }
  }
  if (s.same_number) w.push_back("same number of data points as parameters");
  for (int k = 0; k < s.strong_count; ++k) {
    const auto [row, col] = s.strong[static_cast<std::size_t>(k)];
    w.push_back("strong correlation between " + trimmed(d.ch(s.ii(col))) + " and " +
                trimmed(d.ch(s.ii(row))));
  }
  return w;
}

Json parameters(const Deck& d, const Summary& s) {
  const bool corrected = s.outcome.kind == Outcome::completed;
  Json list = Json::array();
  for (int i = 1; i <= d.m; ++i) {
    const bool fitted = s.fitted(d, i);
    const bool has_sd = corrected && fitted;
    // The split point heads the excited state only when it names a parameter.
    const bool excited = d.mu >= 1 && d.mu <= d.m && i >= d.mu;
    Json p;
    p["name"] = trimmed(d.ch(i));
    p["state"] = excited ? "excited" : "ground";
    p["old"] = d.c(i);
    p["new"] = s.cn(i);
    p["correction"] = has_sd ? Json(s.correction(i)) : Json(nullptr);
    p["sd"] = has_sd ? Json(s.sd(i)) : Json(nullptr);
    p["percentage_error"] = has_sd ? number(percentage_error(s.sd(i), s.cn(i))) : Json(nullptr);
    p["fitted"] = fitted;
    p["removed"] = s.removed(i) != 0;
    list.push_back(std::move(p));
  }
  return list;
}

Json correlation(const Deck& d, const Summary& s) {
  if (s.outcome.kind != Outcome::completed) return nullptr;
  Json names = Json::array(), matrix = Json::array();
  for (int i = 1; i <= s.ij; ++i) {
    names.push_back(trimmed(d.ch(s.ii(i))));
    Json row = Json::array();
    for (int j = 1; j <= s.ij; ++j) row.push_back(s.cv(i, j));
    matrix.push_back(std::move(row));
  }
  return {{"names", std::move(names)}, {"matrix", std::move(matrix)}};
}

Json line_table(const Deck& d, const Summary& s) {
  Json table = Json::array();
  for (int k = 1; k <= d.n; ++k) {
    table.push_back({{"branch", std::string(d.line_block.branch(k).trimmed())},
                     {"J", d.line_block.jlow(k)},
                     {"observed", s.observed(k)},
                     {"calculated", s.y2(k)},
                     {"difference", s.y2(k) - s.observed(k)},
                     {"weight", d.w(k)},
                     {"predicted", s.y1(k)}});
  }
  return table;
}

// v in the shortest form that reads back as v.
void put_number(std::string& out, double v) {
  std::array<char, 32> buf;
  const auto end = std::to_chars(buf.data(), buf.data() + buf.size(), v).ptr;
  out.append(buf.data(), end);
}

// A name as the deck reader takes it back: bare when it is a plain word,
// otherwise between apostrophes, an apostrophe in it doubled.
void put_name(std::string& out, std::string_view name) {
  const bool bare = !name.empty() && name.find_first_of(" \t,/'\"*") == std::string_view::npos;
  if (bare) {
    out += name;
    return;
  }
  out += '\'';
  for (const char c : name) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
}

}  // namespace

std::string_view outcome_name(Outcome::Kind kind) {
  switch (kind) {
    case Outcome::completed:
      return "completed";
    case Outcome::nothing_to_fit:
      return "prediction";
    case Outcome::all_removed:
      return "all_removed";
    case Outcome::perfect_fit:
      return "perfect_fit";
    case Outcome::insufficient_data:
      return "insufficient_data";
    case Outcome::solver_failed:
      return "solver_failed";
    case Outcome::overflow:
      return "overflow";
  }
  return {};
}

Json results_object(const Deck& d, const Summary& s) {
  Json j;
  j["program"] = "bandfit";
  j["version"] = labsuite::kVersion;
  j["outcome"] = outcome_name(s.outcome.kind);
  j["lines"] = d.n;
  j["parameters_fitted"] = s.ij;
  j["readings"] = s.solved() ? Json(s.readings) : Json(nullptr);
  j["sd_fit"] = s.solved() ? Json(s.outcome.usual_deviation) : Json(nullptr);
  j["sd_report"] = s.solved() ? Json(s.outcome.deviation) : Json(nullptr);
  j["report_level"] = s.report_level;
  j["warnings"] = warnings(d, s);
  j["parameters"] = parameters(d, s);
  j["correlation"] = correlation(d, s);
  j["line_table"] = line_table(d, s);
  return j;
}

std::string results_json(const Deck& d, const Summary& s) {
  // A name is any bytes: those that are not UTF-8 come out as U+FFFD, so
  // the file stays valid JSON (and writing it cannot fail on a name).
  return results_object(d, s).dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string corrected_deck(const Deck& d, const Summary& s) {
  std::string out = std::to_string(d.n) + " " + std::to_string(d.m) + "\n";
  for (int k = 1; k <= d.n; ++k) {
    out += '\'';
    out += d.line_block.branch(k).trimmed();
    out += "' " + std::to_string(d.line_block.jlow(k)) + " ";
    put_number(out, d.read_y(k));
    out += ' ';
    put_number(out, d.w(k));
    out += '\n';
  }
  const bool corrected = s.outcome.kind == Outcome::completed;
  for (int i = 1; i <= d.m; ++i) {
    put_name(out, d.ch(i).trimmed());
    out += ' ';
    put_number(out, corrected && s.fitted(d, i) ? s.cn(i) : d.c(i));
    out += ' ' + std::to_string(d.ic(i)) + "\n";
  }
  return out + std::to_string(d.mu) + " " + std::to_string(d.ip) + "\n";
}

void replace_file(const std::string& file, std::string_view text) {
  recordio::ReplaceFile f(file);
  if (!f.ok()) {
    recordio::cannot_write(file, f.error());
    return;
  }
  std::fwrite(text.data(), 1, text.size(), f.stream());
  f.commit_or_report();
}

}  // namespace bandfit
