// The demonstration data: the model's angular distribution at the true
// parameters on the lab momenta, convolved with a Gaussian response of
// 25 lags, scaled from the base (50) to the top (1000), then the noise.
#include "demo/demo_data.h"

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace demo {
namespace {

constexpr double kFirstMomentum = 7.22e-21;  // kg m/s
constexpr double kLastMomentum = 7.28e-21;
constexpr double kBase = 50.0;   // the flat level left and right of the peak
constexpr double kTop = 1000.0;  // the largest value
constexpr double kNoise = 4.0;   // largest deviation the uniform noise adds
constexpr int kHalfWidth = 12;   // response lags -12..12
constexpr double kSigma = 4.0;   // response width, in lab points

// The model's constants: mass unit (kg) and electron-volt.
constexpr double kMassUnit = 1.67353e-27, kEvolt = 1.6021774e-19;

// The momentum at the cosine c of the emission angle.
double momentum_at(const DemoRequest& r, double c) {
  const double mu = r.m1 * r.m2 / (r.m1 + r.m2);
  const double bracket =
      r.w1 / r.m1 + r.e0 / r.m2 + 2.0 * std::sqrt(r.e0 * r.w1 / (r.m1 * r.m2)) * c;
  return std::sqrt(2.0 * kEvolt * r.m1 * kMassUnit * mu * bracket);
}

// The angular distribution at the momentum p: the angle phi in [-pi, 0] at
// which the two-body momentum equals p, and 1 + beta P2(sin phi) there, over
// 2 pi. Zero where no angle gives p. The cross term is the law of cosines
// at the one true E0.
double angular_probability(const DemoRequest& r, double p) {
  const double mu = r.m1 * r.m2 / (r.m1 + r.m2);
  const double bracket = p * p / (2.0 * kEvolt * r.m1 * kMassUnit * mu);
  const double cross = 2.0 * std::sqrt(r.e0 * r.w1 / (r.m1 * r.m2));
  const double c = (bracket - r.w1 / r.m1 - r.e0 / r.m2) / cross;
  if (c < -1.0 || c > 1.0) return 0.0;
  const double u = std::sin(-std::acos(c));  // cos(pi/2 - phi)
  return (1.0 + r.beta * 0.5 * (3.0 * u * u - 1.0)) / (2.0 * M_PI);
}

// A small deterministic generator, so the demo data are the same every time.
double uniform_noise(unsigned& state) {
  state = state * 1664525u + 1013904223u;
  return kNoise * (2.0 * (state >> 8) / double(1u << 24) - 1.0);
}

// One line of each file, as the program has always written them, however
// long a value prints (a noise of sigma 1e300 prints 300 digits).
void append_pair(std::string& text, double momentum, double value) {
  const auto at = text.size();
  const int n = std::snprintf(nullptr, 0, "%.6e %.3f\n", momentum, value);
  text.resize(at + static_cast<std::size_t>(n) + 1);
  std::snprintf(text.data() + at, static_cast<std::size_t>(n) + 1, "%.6e %.3f\n", momentum, value);
  text.resize(at + static_cast<std::size_t>(n));
}
void append_value(std::string& text, double value) {
  const auto at = text.size();
  const int n = std::snprintf(nullptr, 0, "%.6f\n", value);
  text.resize(at + static_cast<std::size_t>(n) + 1);
  std::snprintf(text.data() + at, static_cast<std::size_t>(n) + 1, "%.6f\n", value);
  text.resize(at + static_cast<std::size_t>(n));
}

}  // namespace

DemoFiles make_demo(const DemoRequest& r) {
  double first = kFirstMomentum, last = kLastMomentum;
  if (r.pair_range) {
    const double lo = momentum_at(r, -1.0), hi = momentum_at(r, 1.0);
    first = lo - 0.15 * (hi - lo);
    last = hi + 0.15 * (hi - lo);
  }
  const int n = r.points;
  std::vector<double> momentum(n), model(n), smooth(n, 0.0);
  for (int i = 0; i < n; ++i) {
    momentum[i] = first + (last - first) * i / (n - 1);
    model[i] = angular_probability(r, momentum[i]);
  }
  std::vector<double> response(2 * kHalfWidth + 1);
  for (int lag = -kHalfWidth; lag <= kHalfWidth; ++lag) {
    response[lag + kHalfWidth] = std::exp(-0.5 * lag * lag / (kSigma * kSigma));
  }
  double largest = 0.0;
  for (int i = 0; i < n; ++i) {
    for (int lag = -kHalfWidth; lag <= kHalfWidth; ++lag) {
      if (i - lag >= 0 && i - lag < n) smooth[i] += response[lag + kHalfWidth] * model[i - lag];
    }
    if (smooth[i] > largest) largest = smooth[i];
  }

  DemoFiles files;
  unsigned state = 12345u + 7919u * r.seed;  // seed 0: the demo's own sequence
  std::mt19937 gauss_state(r.seed);
  std::normal_distribution<double> gauss(0.0, r.noise == Noise::gaussian ? r.sigma : 1.0);
  for (int i = 0; i < n; ++i) {
    double value = kBase + (kTop - kBase) * smooth[i] / largest;
    if (r.noise == Noise::gaussian) {
      value += gauss(gauss_state);
    } else if (r.noise == Noise::uniform && i > 0) {
      value += uniform_noise(state);  // the first value is the base itself
    }
    append_pair(files.lab, momentum[i], value);
  }
  // Lags 0, 1, .., kHalfWidth, then -kHalfWidth, .., -1: the wrap-around order.
  for (int lag = 0; lag <= kHalfWidth; ++lag) {
    append_value(files.profile, response[lag + kHalfWidth]);
  }
  for (int lag = -kHalfWidth; lag <= -1; ++lag) {
    append_value(files.profile, response[lag + kHalfWidth]);
  }
  return files;
}

}  // namespace demo
