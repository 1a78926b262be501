#include "momfit/loaders.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "recordio/c_locale.h"
#include "recordio/recordio.h"
#include "recordio/text_input.h"

namespace momfit {

namespace {
// The units of the two files.
enum Unit : int { kLabUnit = 20, kProfileUnit = 25 };

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
template <class Reader>
void check_spacing(Reader& in, const std::string& file, const LabData& two, int n,
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
  const std::string percent = recordio::c_format("%.1f", 100.0 * off / mean);
  in.warn(file + ": the momentum step to line " + std::to_string(line[worst]) + ", " +
          shown(static_cast<float>(step_to(worst))) + ", is " + percent + " % off the mean step " +
          shown(static_cast<float>(mean)) + "; the instrument profile assumes one step");
}
// Where the loaders read: a unit of the record library (the program, whose
// read faults and refusals end the run), or text in memory (the library
// calls, which get faults and warnings back as values).
struct UnitReader {
  int unit;
  bool read(std::initializer_list<recordio::Target> t, recordio::Layout layout,
            recordio::Commas commas = recordio::Commas::warn) {
    return recordio::read_list_or_end(unit, t, layout, commas);
  }
  long line() const { return recordio::records_read(unit); }
  void warn(const std::string& text) { recordio::complain(text); }
};

struct TextReader {
  recordio::TextInput& in;
  bool faulted = false;
  bool read(std::initializer_list<recordio::Target> t, recordio::Layout layout,
            recordio::Commas commas = recordio::Commas::warn) {
    const auto r = in.read(t, layout, commas);
    faulted = r == recordio::TextInput::Read::fault;
    return r == recordio::TextInput::Read::complete;
  }
  long line() const { return in.records_read(); }
  void warn(std::string text) { in.warn(std::move(text)); }
};

// Whether anything but blanks follows. The next item is read as a text, so
// that whatever it holds (a word, say) is not a read error.
template <class Reader>
bool holds_more(Reader& in) {
  recordio::Character<1> item;
  return in.read({item.span()}, recordio::Layout::free);
}

// The lab pairs of file, as load_lab describes; returns the refusal of a
// value beyond a REAL or a momentum that does not increase (empty: none).
template <class Reader>
std::string read_pairs(Reader& in, const std::string& file, FitState& s) {
  LabData& two = s.two;
  std::array<long, kMaxLab + 1> line{};  // line(i): where pair i ended
  int negative = 0;                      // pairs of negative probability
  int first_negative = 0;                // the first of them
  int i = 1;
  for (; i <= kMaxLab; ++i) {
    // One pair per line: a pair over two lines or a third number is warned
    // of; numbers left over beside a likely decimal comma are refused.
    if (!in.read({&two.labmom(i), &two.labprob(i)}, recordio::Layout::one_line,
                 recordio::Commas::refuse)) {
      break;
    }
    line[i] = in.line();
    // A number beyond the range of a REAL (1e39, say) is read as infinite.
    for (const auto& [what, v] : {std::pair{"momentum", two.labmom(i)},
                                  std::pair{"probability", two.labprob(i)}}) {
      if (!std::isfinite(v)) {
        return file + ": line " + std::to_string(line[i]) + ": " + what + " " + shown(v) +
               " is not a finite number (a REAL holds at most 3.4028235e38)";
      }
    }
    if (two.labprob(i) < 0.0f && negative++ == 0) first_negative = i;
    // NaN compares false as well: refused.
    if (i > 1 && !(two.labmom(i) > two.labmom(i - 1))) {
      return file + ": line " + std::to_string(line[i]) + ": momentum " + shown(two.labmom(i)) +
             " is not above " + shown(two.labmom(i - 1)) + " of line " +
             std::to_string(line[i - 1]) + "; the lab momenta must increase";
    }
    if (two.labprob(i) > two.probmax) two.probmax = two.labprob(i);
  }
  if (i > kMaxLab && holds_more(in)) {
    in.warn(file + ": only the first " + std::to_string(kMaxLab) +
            " pairs are used; the file holds more");
  }
  if (negative > 0) {
    // An intensity below zero is no count: most likely a sign or a column
    // gone wrong.
    in.warn(file + ": line " + std::to_string(line[first_negative]) + ": probability " +
            shown(two.labprob(first_negative)) + " is negative" +
            (negative > 1 ? " (" + std::to_string(negative) + " lines in all)" : "") +
            "; a probability is an intensity, zero or above");
  }
  two.probbase = two.labprob(1);
  s.three.nlab = i - 1;
  check_spacing(in, file, two, s.three.nlab, line);
  return {};
}

// The profile values of file, as load_profile describes.
template <class Reader>
void read_values(Reader& in, const std::string& file, FitState& s) {
  CountsAndProfile& three = s.three;
  int k = 1;
  for (; k <= kMaxProfile; ++k) {
    if (!in.read({&three.prof(k)}, recordio::Layout::no_extra)) break;
  }
  if (k > kMaxProfile && holds_more(in)) {
    in.warn(file + ": only the first " + std::to_string(kMaxProfile) +
            " values are used; the file holds more");
  }
  three.nprof = k - 1;
}

}  // namespace

std::string file_name(std::string_view line) {
  const std::size_t end = line.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view{} : line.substr(0, end + 1));
}

void load_lab(std::string_view name, FitState& s) {
  const std::string file = file_name(name);
  recordio::open_old(kLabUnit, name);
  UnitReader in{kLabUnit};
  const std::string refusal = read_pairs(in, file, s);
  if (!refusal.empty()) recordio::fail(refusal);
  recordio::close(kLabUnit);
}

void load_profile(std::string_view name, FitState& s) {
  recordio::open_old(kProfileUnit, name);
  UnitReader in{kProfileUnit};
  read_values(in, file_name(name), s);
  recordio::close(kProfileUnit);
}

std::string read_lab(std::string_view text, const std::string& name, FitState& s,
                     std::vector<std::string>& warnings) {
  recordio::TextInput input(text, name);
  TextReader in{input};
  std::string fault = read_pairs(in, name, s);
  if (in.faulted) fault = input.message();
  warnings = input.warnings();
  return fault;
}

std::string read_profile(std::string_view text, const std::string& name, FitState& s,
                         std::vector<std::string>& warnings) {
  recordio::TextInput input(text, name);
  TextReader in{input};
  read_values(in, name, s);
  warnings = input.warnings();
  return in.faulted ? input.message() : std::string();
}

}  // namespace momfit
