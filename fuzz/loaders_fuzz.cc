// The momfit lab-data and instrument-profile loaders on an arbitrary file.
// The first byte of the input chooses the loader ('p' the profile, anything
// else the lab data); the rest is the file.
#include <cstdint>
#include <string_view>

#include "fuzz/common.h"
#include "momfit/blocks.h"
#include "momfit/loaders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool profile = data[0] == 'p';
  fuzzing::write_file("input.dat",
                      std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  momfit::FitState s;
  fuzzing::run_one([profile, &s] {
    if (profile) {
      momfit::load_profile("input.dat", s);
    } else {
      momfit::load_lab("input.dat", s);
    }
  });
  return 0;
}
