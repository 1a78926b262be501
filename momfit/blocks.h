// The fit state of momfit: the best point (block one), the lab data and
// scalars (block two), the counts and instrument profile (block three), and
// the fixed choices of a run (file name, fragment masses). The driver makes
// one FitState per run and hands it to the loaders, the display and the
// objective; the chi-square stage keeps block one up to date.
#pragma once

#include <cstdint>
#include <string>

#include "recordio/arrays.h"

namespace momfit {

constexpr int kMaxLab = 1000;      // lab pairs read at most
constexpr int kMaxProfile = 500;   // profile values read at most
constexpr int kProfileRoom = 2000; // room of prof; the convolution uses 1024

struct BlockOne {
  float bestw1 = 0.0f;
  float bestw2 = 0.0f;
  float bestbeta = 0.0f;
  float beste0 = 0.0f;
  float bestchi2 = 0.0f;
};

struct BlockTwo {
  recordio::Array1<float, kMaxLab> labprob;
  float e0 = 0.0f;
  recordio::Array1<float, kMaxLab> labmom;
  float probmax = 0.0f;
  float probbase = 0.0f;
  float weight2 = 0.0f;
};

struct BlockThree {
  std::int32_t nlab = 0;
  std::int32_t nprof = 0;
  recordio::Array1<float, kProfileRoom> prof;
};

// What a run takes as fixed: the instrument-profile file (read from the
// current directory) and the two fragment masses of the model (mass units).
struct FitConfig {
  std::string profile = "newintrin_red";
  float m1 = 69.92425f;
  float m2 = 1.007825f;
};

// All zero at the start, as the blocks of a run begin.
struct FitState {
  FitConfig config;
  BlockOne one;
  BlockTwo two;
  BlockThree three;
};

}  // namespace momfit
