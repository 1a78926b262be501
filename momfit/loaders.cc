#include "momfit/loaders.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "recordio/recordio.h"

namespace momfit {

namespace {
// The units of the two files.
enum Unit : int { kLabUnit = 20, kProfileUnit = 25 };

// Whether anything but blanks follows on the unit. The next item is read as
// a text, so that whatever it holds (a word, say) is not a read error.
bool holds_more(int unit) {
  recordio::Character<1> item;
  return recordio::read_list_or_end(unit, {item.span()});
}

// The shortest text that reads back as v.
std::string shown(float v) {
  std::array<char, 32> text;
  const auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), v);
  return ec == std::errc() ? std::string(text.data(), end) : std::string("?");
}

// One spacing of the lab momenta is what the profile's lags are counted in:
// says so when a step between the n pairs of two differs from the mean step
// by more than kStepSpread of it, beyond the two REAL roundings a step
// carries. The worst step is named by the line of the pair it leads to.
void check_spacing(const std::string& file, const LabData& two, int n,
                   const std::array<long, kMaxLab + 1>& line) {
  if (n < 3) return;
  const auto step_to = [&](int i) {
    return static_cast<double>(two.labmom(i)) - static_cast<double>(two.labmom(i - 1));
  };
  const double mean = (static_cast<double>(two.labmom(n)) - two.labmom(1)) / (n - 1);
  int worst = 2;
  for (int i = 3; i <= n; ++i) {
    if (std::fabs(step_to(i) - mean) > std::fabs(step_to(worst) - mean)) worst = i;
  }
  const float far = std::max(std::fabs(two.labmom(1)), std::fabs(two.labmom(n)));
  const double ulp = std::nextafter(far, std::numeric_limits<float>::infinity()) - far;
  const double off = std::fabs(step_to(worst) - mean);
  if (!(off > kStepSpread * mean + 2.0 * ulp)) return;
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.1f", 100.0 * off / mean);
  recordio::complain(file + ": the momentum step to line " + std::to_string(line[worst]) + ", " +
                     shown(static_cast<float>(step_to(worst))) + ", is " + percent +
                     " % off the mean step " + shown(static_cast<float>(mean)) +
                     "; the instrument profile assumes one step");
}
}  // namespace

std::string file_name(std::string_view line) {
  const std::size_t end = line.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view{} : line.substr(0, end + 1));
}

void load_lab(std::string_view name, FitState& s) {
  LabData& two = s.two;
  const std::string file = file_name(name);
  recordio::open_old(kLabUnit, name);
  std::array<long, kMaxLab + 1> line{};  // line(i): where pair i ended
  int i = 1;
  for (; i <= kMaxLab; ++i) {
    // One pair per line: a pair over two lines or a third number is warned
    // of; numbers left over beside a likely decimal comma are refused.
    if (!recordio::read_list_or_end(kLabUnit, {&two.labmom(i), &two.labprob(i)},
                                    recordio::Layout::one_line, recordio::Commas::refuse)) {
      break;
    }
    line[i] = recordio::records_read(kLabUnit);
    // NaN compares false as well: refused.
    if (i > 1 && !(two.labmom(i) > two.labmom(i - 1))) {
      recordio::fail(file + ": line " + std::to_string(line[i]) + ": momentum " +
                     shown(two.labmom(i)) + " is not above " + shown(two.labmom(i - 1)) +
                     " of line " + std::to_string(line[i - 1]) +
                     "; the lab momenta must increase");
    }
    if (two.labprob(i) > two.probmax) two.probmax = two.labprob(i);
  }
  if (i > kMaxLab && holds_more(kLabUnit)) {
    recordio::complain(file + ": only the first " + std::to_string(kMaxLab) +
                       " pairs are used; the file holds more");
  }
  recordio::close(kLabUnit);
  two.probbase = two.labprob(1);
  s.three.nlab = i - 1;
  check_spacing(file, two, s.three.nlab, line);
}

void load_profile(std::string_view name, FitState& s) {
  CountsAndProfile& three = s.three;
  recordio::open_old(kProfileUnit, name);
  int k = 1;
  for (; k <= kMaxProfile; ++k) {
    if (!recordio::read_list_or_end(kProfileUnit, {&three.prof(k)}, recordio::Layout::no_extra)) {
      break;
    }
  }
  if (k > kMaxProfile && holds_more(kProfileUnit)) {
    recordio::complain(file_name(name) + ": only the first " + std::to_string(kMaxProfile) +
                       " values are used; the file holds more");
  }
  recordio::close(kProfileUnit);
  three.nprof = k - 1;
}

}  // namespace momfit
