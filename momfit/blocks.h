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

// Block one: the best point of the run so far, the parameter vector with the
// lowest chi-square of every evaluation; the driver's answer.
struct BestPoint {
  float bestw1 = 0.0f;    // W1 (eV) of the best evaluation
  float bestw2 = 0.0f;    // W2 (eV); always 0, the simplex never moves it
  float bestbeta = 0.0f;  // anisotropy beta
  float beste0 = 0.0f;    // E0 (eV)
  float bestchi2 = 0.0f;  // its chi-square; the driver starts it at 1.0E38
};

// Block two: the lab data and the scalars typed in the dialogue.
struct LabData {
  recordio::Array1<float, kMaxLab> labprob;  // probabilities, second value of each lab pair
  float e0 = 0.0f;                           // E0 (eV) as typed; never changed afterwards
  recordio::Array1<float, kMaxLab> labmom;   // momenta (kg m/s), first value of each pair
  float probmax = 0.0f;                      // largest lab probability read
  float probbase = 0.0f;                     // the first lab probability, labprob(1)
  float weight2 = 0.0f;                      // weight of the second model component; 0
};

// Block three: how much was read, and the instrument profile.
struct CountsAndProfile {
  std::int32_t nlab = 0;                        // lab pairs read, 0 to kMaxLab
  std::int32_t nprof = 0;                       // profile values read, 0 to kMaxProfile
  recordio::Array1<float, kProfileRoom> prof;  // profile; past nprof 0, convolved in place
};

// What a run takes as fixed: the instrument-profile file (read from the
// current directory), the two fragment masses of the model in mass units,
// and the kilograms of one mass unit.
struct FitConfig {
  std::string profile = "newintrin_red";
  float m1 = 69.92425f;
  float m2 = 1.007825f;
  // Kept on purpose: 1.67353e-27 kg (the mass of a hydrogen atom), not the
  // unified atomic mass unit 1.66053907e-27 kg.
  float mass_unit = 1.67353e-27f;
};

// All zero at the start, as the blocks of a run begin.
struct FitState {
  FitConfig config;
  BestPoint one;           // kept up to date by the chi-square stage
  LabData two;             // filled by the dialogue and the lab loader
  CountsAndProfile three;  // filled by the loaders
};

}  // namespace momfit
