#include "momfit/run_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "labsuite/version.h"
#include "recordio/c_locale.h"

namespace momfit {
namespace {

constexpr float kWavenumbersPerEv = 8065.54f;

std::string format(const char* pattern, auto... values) {
  return recordio::c_format(pattern, values...);
}

// Decimals that give the smaller of two offsets two significant digits.
int decimals(double a, double b) {
  double m = std::min(std::fabs(a), std::fabs(b));
  // An end at the value itself (a wall there), or not found: the other one.
  if (!(m > 0.0) || !std::isfinite(m)) {
    m = std::isfinite(a) && std::fabs(a) > 0.0 ? std::fabs(a) : std::fabs(b);
  }
  if (!(m > 0.0) || !std::isfinite(m)) return 4;
  return std::clamp(1 - static_cast<int>(std::floor(std::log10(m))), 0, 9);
}

// "value in [low, high]" with the ends to the decimals of the nearer one,
// plus one; an open end is "-inf" or "+inf".
std::string with_ends(double value, double low, double high, double scale) {
  const int d = decimals((low - value) * scale, (high - value) * scale) + 1;
  const auto end = [&](double e) {
    return std::isfinite(e) ? format("%.*f", d, e * scale) : std::string(e < 0 ? "-inf" : "+inf");
  };
  return format("%.*f in [%s, %s]", d, value * scale, end(low).c_str(), end(high).c_str());
}

// "value +- half" to two significant digits of half.
std::string with_half(double value, double half) {
  const int d = decimals(half, half);
  return format("%.*f +- %.*f", d, value, d, half);
}

// What the ends and the shape of parameter k say, each after ", ".
std::string notes(const ProfileScan& scan, int k) {
  std::string n;
  const auto add = [&](const std::string& text) { n += ", " + text; };
  const Shape shape = scan.shape[k];
  if (shape == Shape::flat) add("flat floor");
  if (shape == Shape::parabolic) add("parabolic");
  if (shape == Shape::asymmetric) add("asymmetric");
  const auto& e = scan.end[k];
  struct Said {
    EndKind kind;
    const char *one, *both;
  };
  for (const Said& said : {Said{EndKind::wall, "end at a wall", "both ends at walls"},
                           Said{EndKind::limit, "end at the domain's limit",
                                "both ends at the domain's limits"},
                           Said{EndKind::open, "end not met within the stepping limit",
                                "neither end met within the stepping limit"}}) {
    if (e[0] == said.kind && e[1] == said.kind) {
      add(said.both);
    } else if (e[0] == said.kind) {
      add(std::string("lower ") + said.one);
    } else if (e[1] == said.kind) {
      add(std::string("upper ") + said.one);
    }
  }
  return n;
}

// Why parameter k has no interval to give.
std::string distrust(const ProfileScan& scan, int k) {
  if (scan.end[k][0] == EndKind::zero_width) {
    return ": no interval, S rises by s^2 within one float step on both sides";
  }
  for (int i = 0; i < 2; ++i) {
    if (scan.end[k][i] == EndKind::unsure) {
      return std::string(": no interval, the inner searches could not settle the ") +
             (i == 0 ? "lower" : "upper") + " end";
    }
  }
  return "";
}

}  // namespace

std::vector<std::string> interval_lines(const ProfileScan& scan, int points,
                                        const FitConfig& config) {
  if (!scan.done) return {" Profile intervals: not made, " + scan.why + "."};
  std::vector<std::string> lines;
  // The designed model's heading stays as it was; another one is named.
  std::string model;
  if (config.scale != Scale::designed || config.cross != Cross::start) {
    model = std::string("scale ") + name(config.scale) + ", cross term " + name(config.cross) +
            "; ";
  }
  lines.push_back(format(" Profile intervals (68 %%, S within s^2 of its minimum; %sN = %d, "
                         "S = %.4E, %ld evaluations):",
                         model.c_str(), points, scan.s_min, scan.evaluations));
  if (scan.moved) {
    lines.push_back(format(" The fit stopped short of the minimum: the scan found S lower by "
                           "%.1f s^2 (%.4E at the fit's best), and scanned around that point.",
                           (scan.s_start - scan.s_min) / scan.s2, scan.s_start));
  }
  const char* const names[] = {"W1  ", "beta", "E0  "};
  const char* const units[] = {" eV", "", " eV"};
  for (int k = 0; k < 3; ++k) {
    const double v = scan.refined[k];
    const double low = scan.interval[k][0], high = scan.interval[k][1];
    std::string line = format(" %s = ", names[k]);
    if (scan.held[k]) {
      lines.push_back(line + format("%.7g%s, held at its start: no interval", v, units[k]));
      continue;
    }
    if (!scan.trusted(k)) {
      line += format("%.6g%s", v, units[k]);
      if (k == 0) line += format(" (%.6g cm-1)", v * kWavenumbersPerEv);
      lines.push_back(line + distrust(scan, k));
      continue;
    }
    if (scan.shape[k] == Shape::parabolic) {
      const double half = (high - low) / 2.0;
      line += with_half(v, half) + units[k];
      if (k == 0) {
        line += " (" + with_half(v * kWavenumbersPerEv, half * kWavenumbersPerEv) + " cm-1)";
      }
    } else {
      line += with_ends(v, low, high, 1.0) + units[k];
      if (k == 0) line += " (" + with_ends(v, low, high, kWavenumbersPerEv) + " cm-1)";
    }
    lines.push_back(line + notes(scan, k));
  }
  return lines;
}

RunSummary run_summary(const FitInput& in, const FitResult& r) {
  RunSummary s;
  s.lab_file = in.lab_file;
  s.profile_file = in.config.profile;
  s.config = in.config;
  s.points = static_cast<int>(in.momentum.size());
  s.evaluations = r.evaluations;
  s.converged = r.outcome == FitOutcome::converged;
  s.e0 = in.e0;
  s.w1 = in.w1;
  s.beta = in.beta;
  s.best = r.best;
  s.answer = r.answer;
  s.fixed = in.fixed;
  s.scan = &r.scan;
  return s;
}

// Every key of the results file, in one place.
nlohmann::ordered_json results_object(const RunSummary& r) {
  using json = nlohmann::ordered_json;
  const auto d = [](float v) { return static_cast<double>(v); };
  // The points less the parameters fitted (with the fitted scale, base and
  // factor among them).
  const bool fitted_scale = r.config.scale == Scale::fitted;
  const int dof = r.points - 3 + static_cast<int>(std::count(r.fixed.begin(), r.fixed.end(), true)) -
                  (fitted_scale ? 2 : 0);
  json j;
  j["program"] = "momfit";
  j["version"] = labsuite::kVersion;
  j["lab_file"] = r.lab_file;
  j["profile_file"] = r.profile_file;
  j["masses"] = {d(r.config.m1), d(r.config.m2)};
  j["mass_unit_kg"] = d(r.config.mass_unit);
  j["model"] = {{"scale", name(r.config.scale)}, {"cross", name(r.config.cross)}};
  if (fitted_scale) {
    j["model"]["base"] = d(r.answer.base);
    j["model"]["factor"] = d(r.answer.factor);
  }
  j["points"] = r.points;
  j["dof"] = dof;
  j["evaluations"] = r.evaluations;
  j["converged"] = r.converged;
  j["units"] = {{"W1", "eV"}, {"W1_cm", "cm-1"}, {"beta", "1"}, {"E0", "eV"},
                {"momentum", "kg m/s"}, {"masses", "mass units of mass_unit_kg"}};
  j["start"] = {{"E0", d(r.e0)}, {"W1", d(r.w1)}, {"beta", d(r.beta)}};
  const char* const names[] = {"W1", "beta", "E0"};
  json fixed = json::array();
  for (int k = 0; k < 3; ++k) {
    if (r.fixed[k]) fixed.push_back(names[k]);
  }
  j["fixed"] = fixed;
  j["best"] = {{"W1", d(r.best.bestw1)},
               {"W1_cm", d(r.best.bestw1 * kWavenumbersPerEv)},
               {"beta", d(r.best.bestbeta)},
               {"E0", d(r.best.beste0)},
               {"chi2", d(r.best.bestchi2)}};
  // The answer: the lowest S the run found. S = chi2 (nlab - 3)^2, in
  // double as the scan forms it.
  const double n3 = r.points - 3.0;
  j["answer"] = {{"W1", d(r.answer.w1)},
                 {"beta", d(r.answer.beta)},
                 {"E0", d(r.answer.e0)},
                 {"S", n3 * n3 * d(r.answer.chi2)},
                 {"point", name(r.answer.point)}};
  j["confidence"] = 0.68;
  const ProfileScan* s = r.scan;
  if (s != nullptr && s->done) {
    j["refined"] = {{"W1", d(s->refined[0])},
                    {"beta", d(s->refined[1])},
                    {"E0", d(s->refined[2])},
                    {"S", s->s_min}};
    json interval, wall, end, shape;
    for (int k = 0; k < 3; ++k) {
      if (s->held[k]) {  // no interval: null, not a pair
        interval[names[k]] = nullptr;
        wall[names[k]] = nullptr;
        end[names[k]] = nullptr;
        shape[names[k]] = nullptr;
        continue;
      }
      // An end not found, or not to be trusted, is null (JSON has no infinity).
      json ends = json::array();
      for (float e : s->interval[k]) {
        ends.push_back(std::isfinite(e) && s->trusted(k) ? json(d(e)) : json());
      }
      interval[names[k]] = ends;
      wall[names[k]] = {s->wall[k][0], s->wall[k][1]};
      end[names[k]] = {name(s->end[k][0]), name(s->end[k][1])};
      shape[names[k]] = name(s->shape[k]);
    }
    j["interval"] = interval;
    j["wall"] = wall;
    j["end"] = end;
    j["shape"] = shape;
    j["s2"] = s->s2;
    j["rms"] = std::sqrt(s->s2);
    j["scan"] = {{"evaluations", s->evaluations},
                 {"milliseconds", s->milliseconds},
                 {"threads", s->threads},
                 {"moved", s->moved},
                 {"S_start", s->s_start}};
  } else {
    j["refined"] = nullptr;
    j["interval"] = nullptr;
    j["wall"] = nullptr;
    j["end"] = nullptr;
    j["shape"] = nullptr;
    // Without a scan, the rms from the best chi-square: chi2 = S / (N - 3)^2.
    j["rms"] = dof > 0 ? std::sqrt(static_cast<double>(r.best.bestchi2) * n3 * n3 / dof) : 0.0;
  }
  return j;
}

void write_results(recordio::ReplaceFile& file, const RunSummary& r) {
  if (std::FILE* f = file.stream()) {
    // File names are any bytes: those that are not UTF-8 come out as
    // U+FFFD, so the file stays valid JSON (and writing it cannot fail on
    // a name).
    const std::string text =
        results_object(r).dump(1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), f);
  }
  file.commit_or_report();
}

}  // namespace momfit
