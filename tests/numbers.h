// Sample data and reference answers the tests and benchmarks of the
// numerical code share: reproducible random floats, and a circular
// convolution summed directly in double.
#pragma once

#include <cstddef>
#include <random>
#include <utility>
#include <vector>

namespace testing_support {

// n floats drawn uniformly from [lo, hi), the same for the same seed.
inline std::vector<float> random_floats(std::size_t n, unsigned seed, float lo = -1.0f,
                                        float hi = 1.0f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (float& f : v) f = u(gen);
  return v;
}

// out(j) = the sum over the lags L held in the first m response values of
// r(L) data(j - L), indices modulo n = data.size(). Positions 1..(m+1)/2
// hold lags 0, 1, ..; positions m, m-1, .. hold lags -1, -2, .. ((m-1)/2 of
// them); for an even m the position m/2 + 1 belongs to neither.
inline std::vector<double> direct_convolution(const std::vector<float>& data,
                                              const std::vector<float>& r, int m) {
  const int n = static_cast<int>(data.size());
  std::vector<std::pair<int, double>> lags;
  for (int p = 1; p <= (m + 1) / 2; ++p) lags.emplace_back(p - 1, r[static_cast<std::size_t>(p - 1)]);
  for (int l = 1; l <= (m - 1) / 2; ++l) lags.emplace_back(-l, r[static_cast<std::size_t>(m - l)]);
  std::vector<double> out(static_cast<std::size_t>(n), 0.0);
  for (int j = 0; j < n; ++j) {
    for (auto [lag, v] : lags) {
      out[static_cast<std::size_t>(j)] += v * data[static_cast<std::size_t>(((j - lag) % n + n) % n)];
    }
  }
  return out;
}

}  // namespace testing_support
