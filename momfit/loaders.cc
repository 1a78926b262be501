#include "momfit/loaders.h"

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

std::string_view trimmed(std::string_view name) {
  const std::size_t end = name.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : name.substr(0, end + 1);
}
}  // namespace

void load_lab(std::string_view name, FitState& s) {
  LabData& two = s.two;
  recordio::open_old(kLabUnit, name);
  int i = 1;
  for (; i <= kMaxLab; ++i) {
    if (!recordio::read_list_or_end(kLabUnit, {&two.labmom(i), &two.labprob(i)})) break;
    if (two.labprob(i) > two.probmax) two.probmax = two.labprob(i);
  }
  if (i > kMaxLab && holds_more(kLabUnit)) {
    recordio::complain(std::string(trimmed(name)) + ": only the first " +
                       std::to_string(kMaxLab) + " pairs are used; the file holds more");
  }
  recordio::close(kLabUnit);
  two.probbase = two.labprob(1);
  s.three.nlab = i - 1;
}

void load_profile(std::string_view name, FitState& s) {
  CountsAndProfile& three = s.three;
  recordio::open_old(kProfileUnit, name);
  int k = 1;
  for (; k <= kMaxProfile; ++k) {
    if (!recordio::read_list_or_end(kProfileUnit, {&three.prof(k)})) break;
  }
  if (k > kMaxProfile && holds_more(kProfileUnit)) {
    recordio::complain(std::string(trimmed(name)) + ": only the first " +
                       std::to_string(kMaxProfile) + " values are used; the file holds more");
  }
  recordio::close(kProfileUnit);
  three.nprof = k - 1;
}

}  // namespace momfit
