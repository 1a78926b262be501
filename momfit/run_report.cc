#include "momfit/run_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "labsuite/version.h"

namespace momfit {
namespace {

constexpr float kWavenumbersPerEv = 8065.54f;

std::string format(const char* pattern, auto... values) {
  char text[160];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
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

// "value -low +high" with the offsets to two significant digits.
std::string with_offsets(double value, double low, double high) {
  const int d = decimals(low, high);
  return format("%.*f %+.*f %+.*f", d + 1, value, d, low, d, high);
}

std::string notes(const ProfileScan& scan, int k) {
  const auto& w = scan.wall[k];
  const auto& iv = scan.interval[k];
  std::string n;
  const auto add = [&](const char* text) { n += n.empty() ? "  " : ", "; n += text; };
  if (w[0] && w[1]) {
    add("both ends at walls");
  } else if (w[0]) {
    add("lower end at a wall");
  } else if (w[1]) {
    add("upper end at a wall");
  }
  if (!std::isfinite(iv[0])) add("no lower end found");
  if (!std::isfinite(iv[1])) add("no upper end found");
  return n;
}

}  // namespace

std::vector<std::string> interval_lines(const ProfileScan& scan, int points) {
  if (!scan.done) return {" Profile intervals: not made, " + scan.why + "."};
  std::vector<std::string> lines;
  lines.push_back(format(" Profile intervals (68 %%, S within s^2 of its minimum; N = %d, "
                         "S = %.4E, %ld evaluations):",
                         points, scan.s_min, scan.evaluations));
  const char* const names[] = {"W1  ", "beta", "E0  "};
  for (int k = 0; k < 3; ++k) {
    const double v = scan.refined[k];
    if (scan.held[k]) {
      lines.push_back(format("   %s = %.7g%s, held at its start: no interval", names[k], v,
                             k == 1 ? "" : " eV"));
      continue;
    }
    const double low = static_cast<double>(scan.interval[k][0]) - v;
    const double high = static_cast<double>(scan.interval[k][1]) - v;
    std::string line = format("   %s = %s", names[k], with_offsets(v, low, high).c_str());
    if (k != 1) line += " eV";
    if (k == 0) {
      const double cm = kWavenumbersPerEv;
      line += "   (" + with_offsets(v * cm, low * cm, high * cm) + " cm-1)";
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
  s.fixed = in.fixed;
  s.scan = &r.scan;
  return s;
}

nlohmann::ordered_json results_object(const RunSummary& r) {
  using json = nlohmann::ordered_json;
  const auto d = [](float v) { return static_cast<double>(v); };
  json j;
  j["program"] = "momfit";
  j["version"] = labsuite::kVersion;
  j["lab_file"] = r.lab_file;
  j["profile_file"] = r.profile_file;
  j["masses"] = {d(r.config.m1), d(r.config.m2)};
  j["points"] = r.points;
  j["evaluations"] = r.evaluations;
  j["converged"] = r.converged;
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
  const ProfileScan* s = r.scan;
  if (s != nullptr && s->done) {
    j["refined"] = {{"W1", d(s->refined[0])},
                    {"beta", d(s->refined[1])},
                    {"E0", d(s->refined[2])},
                    {"S", s->s_min}};
    json interval, wall;
    for (int k = 0; k < 3; ++k) {
      if (s->held[k]) {  // no interval: null, not a pair
        interval[names[k]] = nullptr;
        wall[names[k]] = nullptr;
        continue;
      }
      // An end not found is null (JSON has no infinity).
      json ends = json::array();
      for (float e : s->interval[k]) ends.push_back(std::isfinite(e) ? json(d(e)) : json());
      interval[names[k]] = ends;
      wall[names[k]] = {s->wall[k][0], s->wall[k][1]};
    }
    j["interval"] = interval;
    j["wall"] = wall;
    j["s2"] = s->s2;
    j["scan"] = {{"evaluations", s->evaluations}, {"milliseconds", s->milliseconds}};
  } else {
    j["refined"] = nullptr;
    j["interval"] = nullptr;
    j["wall"] = nullptr;
  }
  return j;
}

void write_results(recordio::ReplaceFile& file, const RunSummary& r) {
  if (std::FILE* f = file.stream()) {
    const std::string text = results_object(r).dump(1) + "\n";
    std::fwrite(text.data(), 1, text.size(), f);
  }
  file.commit_or_report();
}

}  // namespace momfit
