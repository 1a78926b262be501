#include "momfit/loaders.h"

#include "recordio/recordio.h"

namespace momfit {

namespace {
// The units of the two files.
enum Unit : int { kLabUnit = 20, kProfileUnit = 25 };
}  // namespace

void load_lab(std::string_view name, FitState& s) {
  BlockTwo& two = s.two;
  recordio::open_old(kLabUnit, name);
  int i = 1;
  for (; i <= kMaxLab; ++i) {
    if (!recordio::read_list_or_end(kLabUnit, {&two.labmom(i), &two.labprob(i)})) break;
    if (two.labprob(i) > two.probmax) two.probmax = two.labprob(i);
  }
  recordio::close(kLabUnit);
  two.probbase = two.labprob(1);
  s.three.nlab = i - 1;
}

void load_profile(std::string_view name, FitState& s) {
  BlockThree& three = s.three;
  recordio::open_old(kProfileUnit, name);
  int k = 1;
  for (; k <= kMaxProfile; ++k) {
    if (!recordio::read_list_or_end(kProfileUnit, {&three.prof(k)})) break;
  }
  recordio::close(kProfileUnit);
  three.nprof = k - 1;
}

}  // namespace momfit
