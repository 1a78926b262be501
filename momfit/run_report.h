// What a momfit run reports besides its fixed result lines: the profile
// intervals as lines for the terminal, and the results file, one JSON
// object for scripts.
#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <string>
#include <vector>

#include "momfit/blocks.h"
#include "momfit/fit.h"
#include "momfit/profile_scan.h"
#include "run/replace_file.h"

namespace momfit {

// The lines that follow the fixed result lines (no line ends): a heading and
// one line per parameter, or one line saying why there are no intervals.
// points is nlab; the heading names the model when it is not the designed
// one (config's scale and cross term).
std::vector<std::string> interval_lines(const ProfileScan& scan, int points,
                                        const FitConfig& config = {});

// A run as the results file gives it.
struct RunSummary {
  std::string lab_file, profile_file;
  FitConfig config;
  int points = 0;
  long evaluations = 0;  // of the fit itself, the scan's not counted
  bool converged = false;
  float e0 = 0.0f, w1 = 0.0f, beta = 0.0f;  // the starting values typed
  BestPoint best;
  Answer answer;                // the run's answer: the refined point, or best
  std::array<bool, 3> fixed{};  // W1, beta, E0 held at their start
  const ProfileScan* scan = nullptr;  // its refined point and intervals when done
};

// The summary of the fit of in that gave r (r.scan is referred to).
RunSummary run_summary(const FitInput& in, const FitResult& r);

// The results file's object, keys in the file's order.
nlohmann::ordered_json results_object(const RunSummary& summary);

// Writes summary into file as one JSON object and commits it; a failure is
// said on standard error and raises the run's status to 1.
void write_results(recordio::ReplaceFile& file, const RunSummary& summary);

}  // namespace momfit
