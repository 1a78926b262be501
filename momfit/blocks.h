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

// How the model curve is put onto the lab data's scale. designed: the
// model's largest value onto the largest lab value and its zero onto the
// first lab value (two single noisy points). fitted: base + factor times
// the curve, base and factor the least-squares solution against every lab
// value at each evaluation (two more parameters of the fit).
enum class Scale { designed, fitted };

// Which E0 the momentum's cross term uses. start: the E0 typed at the start
// (block two's e0), the E0/m2 term the evaluated one. fitted: the evaluated
// E0 in both, so the typed E0 is only where the fit starts.
enum class Cross { start, fitted };

// "designed" or "fitted"; "start" or "fitted": the names the options and
// the results file use.
constexpr const char* name(Scale s) { return s == Scale::designed ? "designed" : "fitted"; }
constexpr const char* name(Cross c) { return c == Cross::start ? "start" : "fitted"; }

// What a run takes as fixed: the instrument-profile file (read from the
// current directory), the two fragment masses of the model in mass units,
// the kilograms of one mass unit, and the model's scale and cross term.
struct FitConfig {
  std::string profile = "newintrin_red";
  float m1 = 69.92425f;
  float m2 = 1.007825f;
  // Kept on purpose: 1.67353e-27 kg (the mass of a hydrogen atom), not the
  // unified atomic mass unit 1.66053907e-27 kg.
  float mass_unit = 1.67353e-27f;
  Scale scale = Scale::designed;
  Cross cross = Cross::start;
};

// All zero at the start, as the blocks of a run begin.
struct FitState {
  FitConfig config;
  BestPoint one;           // kept up to date by the chi-square stage
  LabData two;             // filled by the dialogue and the lab loader
  CountsAndProfile three;  // filled by the loaders
};

}  // namespace momfit
