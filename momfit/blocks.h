// The shared fit state of momfit: the best point (block one), the lab data
// and scalars (block two), the counts and instrument profile (block three).
// All three are zero at program start; the driver fills two and three, the
// chi-square stage keeps one up to date.
#pragma once

#include <cstdint>

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

inline BlockOne one;
inline BlockTwo two;
inline BlockThree three;

}  // namespace momfit
