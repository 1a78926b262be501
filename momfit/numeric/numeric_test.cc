// Tests of the numerical kit: transforms against direct sums in double,
// interpolation and search on hand-worked tables, the simplex minimiser on
// traced and classic problems, and the PAUSE paths in a child process.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "momfit/numeric/amoeba.h"
#include "momfit/numeric/fft.h"
#include "momfit/numeric/interp.h"
#include "recordio/arrays.h"
#include "recordio/recordio.h"
#include "momfit/numeric/testing.h"
#include "tests/numbers.h"
#include "tests/process.h"

namespace momfit {
namespace {

// ---------------------------------------------------------------------------
// A child process that runs a body under the program entry of the record I/O
// library with standard input not a terminal, so that every PAUSE asks for
// signal 15; the test runner sends it up to `resumes` times and kills the
// child at any further PAUSE.

using ChildRun = testing_support::Outcome;
using testing_support::direct_convolution;
using testing_support::random_floats;

using testing_support::count_of;

ChildRun run_child(void (*body)(), int resumes) {
  testing_support::Run run;
  run.body = [body] {
    static char name[] = "numeric_test";
    char* argv[] = {name, nullptr};
    recordio::run(1, argv, body);
  };
  run.resumes = resumes;
  run.end_signal = SIGKILL;
  run.limit = std::chrono::seconds(60);
  return testing_support::run(run);
}

std::vector<float> parse_floats(const std::string& text) {
  std::istringstream in(text);
  std::vector<float> v;
  for (float f; in >> f;) v.push_back(f);
  return v;
}

// ---------------------------------------------------------------------------
// Transforms.

using cd = std::complex<double>;
constexpr double kTwoPi = 6.283185307179586476925;

// X_k = sum_j x_j exp(isign 2 pi i j k / N), in double.
std::vector<cd> direct_dft(const std::vector<cd>& x, int isign) {
  const std::size_t n = x.size();
  std::vector<cd> out(n);
  for (std::size_t k = 0; k < n; ++k) {
    cd sum = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const double a = isign * kTwoPi * static_cast<double>((j * k) % n) / static_cast<double>(n);
      sum += x[j] * cd(std::cos(a), std::sin(a));
    }
    out[k] = sum;
  }
  return out;
}

double l2(const std::vector<float>& v) {
  double s = 0;
  for (float f : v) s += static_cast<double>(f) * f;
  return std::sqrt(s);
}

TEST(Four1, MatchesDirectTransformBothSigns) {
  for (int nn : {1, 2, 8, 64, 1024}) {
    for (int isign : {1, -1}) {
      std::vector<float> data = random_floats(2 * static_cast<std::size_t>(nn), 7u + nn);
      std::vector<cd> x(static_cast<std::size_t>(nn));
      for (int k = 0; k < nn; ++k) x[k] = cd(data[2 * k], data[2 * k + 1]);
      const double tol = 4e-7 * std::log2(2.0 * nn) * l2(data);
      four1(data, nn, isign);
      const std::vector<cd> ref = direct_dft(x, isign);
      double worst = 0;
      for (int k = 0; k < nn; ++k) {
        worst = std::max(worst, std::abs(cd(data[2 * k], data[2 * k + 1]) - ref[k]));
      }
      EXPECT_LE(worst, tol) << "nn=" << nn << " isign=" << isign;
    }
  }
}

TEST(Four1, ImpulseAndRoundTrip) {
  constexpr int nn = 16;
  std::vector<float> data(2 * nn, 0.0f);
  data[0] = 1.0f;
  four1(data, nn, 1);
  for (int k = 0; k < nn; ++k) {
    EXPECT_EQ(data[2 * k], 1.0f);
    EXPECT_EQ(data[2 * k + 1], 0.0f);
  }
  // Nothing normalises: forward then inverse gives N times the input.
  const std::vector<float> input = random_floats(2 * 512, 3);
  data = input;
  four1(data, 512, 1);
  four1(data, 512, -1);
  for (std::size_t i = 0; i < input.size(); ++i) EXPECT_NEAR(data[i], 512.0f * input[i], 2e-3f);
}

TEST(Realft, PackedSpectrumMatchesDirectTransform) {
  constexpr int n = 256;
  std::vector<float> data = random_floats(n, 11);
  std::vector<cd> x(data.begin(), data.end());
  const std::vector<cd> ref = direct_dft(x, 1);
  const double tol = 3e-6 * l2(data) * 8;
  realft(data, n, 1);
  EXPECT_NEAR(data[0], ref[0].real(), tol);
  EXPECT_NEAR(data[1], ref[n / 2].real(), tol);
  for (int k = 1; k < n / 2; ++k) {
    EXPECT_NEAR(data[2 * k], ref[k].real(), tol) << "k=" << k;
    EXPECT_NEAR(data[2 * k + 1], ref[k].imag(), tol) << "k=" << k;
  }
}

TEST(Realft, OnesAndRoundTrip) {
  constexpr int n = 64;
  std::vector<float> data(n, 1.0f);
  realft(data, n, 1);
  EXPECT_EQ(data[0], static_cast<float>(n));
  for (int i = 1; i < n; ++i) EXPECT_EQ(data[i], 0.0f) << "i=" << i;
  realft(data, n, -1);
  for (int i = 0; i < n; ++i) EXPECT_EQ(data[i], n / 2.0f) << "i=" << i;

  // Any isign other than 1 is the inverse; the round trip gives n/2 times.
  const std::vector<float> input = random_floats(1024, 5);
  data = input;
  realft(data, 1024, 1);
  realft(data, 1024, 0);
  for (std::size_t i = 0; i < input.size(); ++i) EXPECT_NEAR(data[i], 512.0f * input[i], 1e-3f);
}

TEST(Twofft, BothFullTransforms) {
  constexpr int n = 128;
  const std::vector<float> a = random_floats(n, 21);
  const std::vector<float> b = random_floats(n, 22);
  std::vector<float> fa(2 * n), fb(2 * n);
  twofft(a, b, fa, fb, n);
  const std::vector<cd> ra = direct_dft(std::vector<cd>(a.begin(), a.end()), 1);
  const std::vector<cd> rb = direct_dft(std::vector<cd>(b.begin(), b.end()), 1);
  const double tol = 3e-5 * (l2(a) + l2(b));
  for (int k = 0; k < n; ++k) {
    EXPECT_NEAR(fa[2 * k], ra[k].real(), tol) << "k=" << k;
    EXPECT_NEAR(fa[2 * k + 1], ra[k].imag(), tol) << "k=" << k;
    EXPECT_NEAR(fb[2 * k], rb[k].real(), tol) << "k=" << k;
    EXPECT_NEAR(fb[2 * k + 1], rb[k].imag(), tol) << "k=" << k;
  }
}

TEST(Convlv, MatchesDirectCircularSum) {
  for (int m : {1, 2, 30, 31}) {
    for (int n : {64, 1024}) {
      const std::vector<float> data = random_floats(n, 31u + m);
      std::vector<float> resp = random_floats(n, 41u + m);
      const std::vector<double> ref = direct_convolution(data, resp, m);
      std::vector<float> ans(2 * n), work(2 * n);
      EXPECT_EQ(convlv(data, n, resp, m, 1, ans, work), Outcome::ok);
      double worst = 0;
      for (int j = 0; j < n; ++j) worst = std::max(worst, std::fabs(ans[j] - ref[j]));
      EXPECT_LE(worst, 2e-6 * std::sqrt(m) * std::log2(n) * 4) << "m=" << m << " n=" << n;
    }
  }
}

TEST(Convlv, UnitResponseAndShift) {
  constexpr int n = 32;
  const std::vector<float> data = random_floats(n, 51);
  std::vector<float> ans(2 * n), work(2 * n);
  std::vector<float> one(n, 9.0f);
  one[0] = 1.0f;
  EXPECT_EQ(convlv(data, n, one, 1, 1, ans, work), Outcome::ok);
  for (int j = 0; j < n; ++j) EXPECT_NEAR(ans[j], data[j], 1e-6f);

  std::vector<float> shift(n, 9.0f);
  shift[0] = 0.0f, shift[1] = 1.0f, shift[2] = 0.0f;
  EXPECT_EQ(convlv(data, n, shift, 3, 1, ans, work), Outcome::ok);
  EXPECT_NEAR(ans[0], data[n - 1], 1e-6f);
  for (int j = 1; j < n; ++j) EXPECT_NEAR(ans[j], data[j - 1], 1e-6f);
}

TEST(Convlv, RearrangesResponseAndLosesNegativeLagsOnSecondCall) {
  constexpr int n = 16;
  std::vector<float> data(n, 0.0f);
  data[4] = 1.0f;  // an impulse shows the response as used
  std::vector<float> resp(n, 7.0f);
  resp[0] = 0.5f, resp[1] = 0.25f, resp[2] = 0.125f;
  std::vector<float> ans(2 * n), work(2 * n);

  EXPECT_EQ(convlv(data, n, resp, 3, 1, ans, work), Outcome::ok);
  std::vector<float> after1(n, 0.0f);
  after1[0] = 0.5f, after1[1] = 0.25f, after1[n - 1] = 0.125f;
  EXPECT_EQ(resp, after1);
  EXPECT_NEAR(ans[3], 0.125f, 1e-6f);  // lag -1
  EXPECT_NEAR(ans[4], 0.5f, 1e-6f);
  EXPECT_NEAR(ans[5], 0.25f, 1e-6f);

  EXPECT_EQ(convlv(data, n, resp, 3, 1, ans, work), Outcome::ok);
  std::vector<float> after2(n, 0.0f);
  after2[0] = 0.5f, after2[1] = 0.25f;
  EXPECT_EQ(resp, after2);
  EXPECT_NEAR(ans[3], 0.0f, 1e-6f);  // the negative lag is gone
  EXPECT_NEAR(ans[4], 0.5f, 1e-6f);
  EXPECT_NEAR(ans[5], 0.25f, 1e-6f);
}

TEST(Convlv, DeconvolutionUndoesConvolution) {
  constexpr int n = 256;
  const std::vector<float> data = random_floats(n, 61);
  // Transform 1 + 0.5 cos: never zero.
  std::vector<float> resp(n, 0.0f);
  resp[0] = 1.0f, resp[1] = 0.25f, resp[2] = 0.25f;
  std::vector<float> conv(2 * n), work(2 * n);
  EXPECT_EQ(convlv(data, n, resp, 3, 1, conv, work), Outcome::ok);
  std::vector<float> back(2 * n);
  std::vector<float> resp2(n, 0.0f);
  resp2[0] = 1.0f, resp2[1] = 0.25f, resp2[2] = 0.25f;
  EXPECT_EQ(convlv(std::span<const float>(conv.data(), n), n, resp2, 3, -1, back, work),
            Outcome::ok);
  for (int j = 0; j < n; ++j) EXPECT_NEAR(back[j], data[j], 2e-5f) << "j=" << j;
}

void convlv_without_sign() {
  constexpr int n = 8;
  std::array<float, n> data{1, 2, 3, 4, 5, 6, 7, 8};
  std::array<float, n> resp{1, 2, 3, 0, 0, 0, 0, 0};
  std::array<float, 2 * n> ans{};
  std::array<float, 2 * n> work{};
  // The program's answer to the outcome: one PAUSE per frequency left as it was.
  const Outcome o = convlv(data, n, resp, 3, 0, ans, work);
  if (o == Outcome::bad_isign) {
    for (int k = 0; k <= n / 2; ++k) recordio::pause(pause_text(o));
  }
  // ans holds 2n values; the checker takes its size for 2.
  // cppcheck-suppress containerOutOfBounds
  for (int j = 0; j < n; ++j) std::printf("%.9g\n", ans[j]);
}

TEST(ConvlvPause, UnknownSignPausesOncePerFrequency) {
  const ChildRun r = run_child(convlv_without_sign, 10);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.pauses, 5);  // n/2 + 1 frequencies for n = 8
  EXPECT_EQ(count_of(r.err, "no meaning for isign in convlv statement executed\n"), 5);
  EXPECT_EQ(count_of(r.err, "Execution resumes after PAUSE.\n"), 5);
  // The result is n/2 times the rearranged response (1, 2, 0, .., 0, 3).
  const std::vector<float> got = parse_floats(r.out);
  const std::vector<float> want{4, 8, 0, 0, 0, 0, 0, 12};
  ASSERT_EQ(got.size(), want.size()) << r.out;
  for (std::size_t j = 0; j < want.size(); ++j) EXPECT_NEAR(got[j], want[j], 1e-5f) << j;
}

void deconvolve_by_zero() {
  constexpr int n = 8;
  std::array<float, n> data{1, 2, 3, 4, 5, 6, 7, 8};
  std::array<float, n> resp{};
  std::array<float, 2 * n> ans{};
  std::array<float, 2 * n> work{};
  // The program's answer to the outcome: the PAUSE, then the abnormal end.
  const Outcome o = convlv(data, n, resp, 1, -1, ans, work);
  if (o == Outcome::response_zero) {
    recordio::pause(pause_text(o));
    recordio::abort_run("complex division by zero");
  }
  std::printf("not reached\n");
}

TEST(ConvlvPause, DeconvolvingAtResponseZeroEndsAfterResume) {
  const ChildRun r = run_child(deconvolve_by_zero, 1);
  EXPECT_EQ(r.pauses, 1);
  EXPECT_NE(r.err.find("deconvolving at response zero in convlv statement executed\n"),
            std::string::npos)
      << r.err;
  const std::size_t resumed = r.err.find("Execution resumes after PAUSE.\n");
  const std::size_t ended = r.err.find("complex division by zero\n");
  ASSERT_NE(resumed, std::string::npos) << r.err;
  ASSERT_NE(ended, std::string::npos) << r.err;
  EXPECT_LT(resumed, ended);
  EXPECT_EQ(r.err.find("IOT Trap"), std::string::npos) << r.err;
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.out.find("not reached"), std::string::npos);
}

// Every transform of every power-of-2 length from 1 to 4096 (realft's real
// lengths 2 to 8192), both directions, on values of one scale and on values
// spread over 60 binary orders; each result as one float array.
std::vector<std::vector<float>> all_transforms(const FftPlan& plan) {
  std::vector<std::vector<float>> results;
  for (int n = 1; n <= 4096; n *= 2) {
    const auto size = static_cast<std::size_t>(n);
    for (bool spread : {false, true}) {
      std::vector<float> x = random_floats(4 * size, 81u + n);
      if (spread) {
        for (std::size_t k = 0; k < x.size(); ++k) x[k] = std::ldexp(x[k], static_cast<int>(k % 61) - 30);
      }
      for (int isign : {1, -1}) {
        std::vector<float> a(x.begin(), x.begin() + 2 * n);
        four1(a, n, isign, plan);
        results.push_back(a);
        std::vector<float> b(x.begin(), x.begin() + 2 * n);
        realft(b, 2 * n, isign, plan);
        results.push_back(b);
        // Convolution, and deconvolution with a response whose transform has
        // no zero (1 + 0.5 cos).
        if (n == 1) continue;
        std::vector<float> resp(size, 0.0f);
        resp[0] = isign == 1 ? x[3 * size] : 1.0f;
        if (n >= 4) resp[1] = resp[2] = isign == 1 ? x[3 * size + 1] : 0.25f;
        std::vector<float> ans(2 * size), work(2 * size);
        const Outcome o = convlv(std::span(x).first(size), n, resp, std::min(n, 3), isign, ans,
                                 work, plan);
        ans.push_back(static_cast<float>(o));
        results.push_back(ans);
      }
      std::vector<float> f1(2 * size), f2(2 * size);
      twofft(std::span(x).first(size), std::span(x).subspan(size, size), f1, f2, n, plan);
      f1.insert(f1.end(), f2.begin(), f2.end());
      results.push_back(f1);
    }
  }
  return results;
}

// The same bits, every float: no tolerance.
bool same_bits(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k].size() != b[k].size() ||
        std::memcmp(a[k].data(), b[k].data(), a[k].size() * sizeof(float)) != 0) {
      return false;
    }
  }
  return true;
}

TEST(Kernels, VectorTransformsGiveThePlainLoopsBits) {
  const FftPlan plan(4096);
  ASSERT_TRUE(force_kernel_lanes(1));
  const auto plain = all_transforms(plan);
  for (int lanes : {4, 8}) {
    if (!force_kernel_lanes(lanes)) continue;  // not in this build or processor
    EXPECT_TRUE(same_bits(all_transforms(plan), plain)) << lanes << " lanes";
  }
  force_kernel_lanes(0);
}

TEST(FftPlan, TwoThreadsTwoPlansAtOnce) {
  // Each thread makes its own plan and transforms while the other does; the
  // results are those of one thread alone.
  const FftPlan alone(4096);
  const auto want = all_transforms(alone);
  std::vector<std::vector<float>> got[2];
  std::thread other([&] { got[1] = all_transforms(FftPlan(4096)); });
  got[0] = all_transforms(FftPlan(4096));
  other.join();
  EXPECT_TRUE(same_bits(got[0], want));
  EXPECT_TRUE(same_bits(got[1], want));
}

// ---------------------------------------------------------------------------
// Interpolation and search.

TEST(Polint, ExactOnPolynomials) {
  const std::array<float, 4> xa{1, 2, 3, 4};
  float y = 0, dy = 0;
  EXPECT_EQ(polint(xa, std::array<float, 4>{1, 4, 9, 16}, 4, 2.5f, y, dy), Outcome::ok);
  EXPECT_EQ(y, 6.25f);
  EXPECT_EQ(dy, 0.0f);  // a quadratic needs no cubic correction
  EXPECT_EQ(polint(xa, std::array<float, 4>{1, 8, 27, 64}, 4, 2.5f, y, dy), Outcome::ok);
  EXPECT_EQ(y, 15.625f);
  EXPECT_NE(dy, 0.0f);
  // Outside the points too (extrapolation of the cubic).
  EXPECT_EQ(polint(xa, std::array<float, 4>{1, 8, 27, 64}, 4, 5.0f, y, dy), Outcome::ok);
  EXPECT_EQ(y, 125.0f);
}

TEST(Polint, AtAnAbscissaAndSinglePoint) {
  const std::array<float, 4> xa{0.1f, 0.7f, 1.3f, 2.9f};
  const std::array<float, 4> ya{3.5f, -1.25f, 8.0f, 0.375f};
  for (int i = 0; i < 4; ++i) {
    float y = 0, dy = 0;
    EXPECT_EQ(polint(xa, ya, 4, xa[i], y, dy), Outcome::ok);
    EXPECT_EQ(y, ya[i]) << "i=" << i;
  }
  float y = 0, dy = -42.0f;
  EXPECT_EQ(polint(xa, ya, 1, 2.0f, y, dy), Outcome::ok);
  EXPECT_EQ(y, 3.5f);
  EXPECT_EQ(dy, -42.0f);  // n = 1 makes no correction
}

void polint_on_equal_abscissae() {
  const std::array<float, 4> xa{1, 2, 2, 4};
  const std::array<float, 4> ya{10, 20, 30, 40};
  float y = -1, dy = -1;
  // The program's answer to the outcome: the PAUSE, then on with the value.
  const Outcome o = polint(xa, ya, 4, 1.5f, y, dy);
  if (o == Outcome::equal_abscissae) recordio::pause(pause_text(o));
  std::printf("%.9g %.9g\n", y, dy);
}

TEST(PolintPause, EqualAbscissaeEndTheInterpolationWithoutDividing) {
  const ChildRun r = run_child(polint_on_equal_abscissae, 1);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.pauses, 1);
  EXPECT_NE(r.err.find("failure in polint statement executed\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Execution resumes after PAUSE.\n"), std::string::npos) << r.err;
  // x = 1.5 is equally near 1 and 2: the first wins, and the first tableau
  // column meets the equal pair before any correction is added.
  const std::vector<float> got = parse_floats(r.out);
  ASSERT_EQ(got.size(), 2u) << r.out;
  EXPECT_EQ(got[0], 10.0f);
  EXPECT_EQ(got[1], -1.0f);
}

TEST(Hunt, AscendingTableAnyGuess) {
  const std::array<float, 5> xx{1, 2, 3, 4, 5};
  const std::vector<std::pair<float, int>> cases{
      {0.5f, 0}, {1.0f, 1}, {1.5f, 1}, {2.0f, 2}, {2.5f, 2}, {4.99f, 4}, {5.0f, 4}, {6.0f, 5}};
  for (auto [x, want] : cases) {
    for (int guess = -3; guess <= 8; ++guess) {
      int j = guess;
      hunt(xx, 5, x, j);
      EXPECT_EQ(j, want) << "x=" << x << " guess=" << guess;
    }
  }
}

TEST(Hunt, DescendingTableAnyGuess) {
  // The comparisons x >= xx(j) put an inner entry equal to x at the lower end
  // of its interval: xx(j) > x >= xx(j+1) (4 gives 1, 2 gives 3); the end
  // point rules still give 1 for 5 and n - 1 for 1.
  const std::array<float, 5> xx{5, 4, 3, 2, 1};
  const std::vector<std::pair<float, int>> cases{
      {6.0f, 0}, {5.0f, 1}, {4.5f, 1}, {4.0f, 1}, {2.5f, 3}, {2.0f, 3}, {1.0f, 4}, {0.5f, 5}};
  for (auto [x, want] : cases) {
    for (int guess = -3; guess <= 8; ++guess) {
      int j = guess;
      hunt(xx, 5, x, j);
      EXPECT_EQ(j, want) << "x=" << x << " guess=" << guess;
    }
  }
}

TEST(Hunt, LongTableMatchesOrderedSearch) {
  // 180 increasing entries as rebin searches them, random points and guesses.
  std::vector<float> xx(180);
  std::mt19937 gen(71);
  std::uniform_real_distribution<float> step(0.01f, 1.0f);
  xx[0] = -3.0f;
  for (std::size_t i = 1; i < xx.size(); ++i) xx[i] = xx[i - 1] + step(gen);
  std::uniform_real_distribution<float> where(xx.front() - 5.0f, xx.back() + 5.0f);
  std::uniform_int_distribution<int> guess(-2, 182);
  for (int t = 0; t < 2000; ++t) {
    const float x = t % 50 == 0 ? xx[static_cast<std::size_t>(t / 50 * 4)] : where(gen);
    // The number of entries <= x, with x equal to the last entry counted as
    // inside the last interval.
    int want = static_cast<int>(std::upper_bound(xx.begin(), xx.end(), x) - xx.begin());
    if (x == xx.back()) want = 179;
    int j = guess(gen);
    hunt(xx, 180, x, j);
    EXPECT_EQ(j, want) << "x=" << x;
  }
}

TEST(Bracket, GivesHuntsAnswers) {
  // Monotone tables: ascending, descending, with runs of equal entries,
  // constant, of 1 to 180 entries; values in order, in reverse, at random,
  // equal to entries, outside the table, infinite and NaN, one Bracket per
  // table in that sequence.
  std::mt19937 gen(91);
  std::uniform_real_distribution<float> step(0.0f, 1.0f);
  auto table = [&](int n, float direction, bool runs) {
    std::vector<float> t(static_cast<std::size_t>(n), 2.0f);
    for (std::size_t k = 1; k < t.size(); ++k) {
      t[k] = t[k - 1] + direction * (runs && k % 3 != 0 ? 0.0f : step(gen));
    }
    return t;
  };
  const std::vector<std::vector<float>> tables{
      table(180, 1, false), table(180, -1, false), table(180, 1, true), table(180, -1, true),
      table(180, 0, false), table(5, 1, false),    table(2, -1, false), table(1, 1, false)};
  constexpr float kInf = std::numeric_limits<float>::infinity();
  for (const std::vector<float>& t : tables) {
    const int n = static_cast<int>(t.size());
    const auto [low, high] = std::minmax_element(t.begin(), t.end());
    std::vector<float> xs;
    for (float e : t) xs.insert(xs.end(), {e, e + 0.25f});
    xs.insert(xs.end(), xs.rbegin(), xs.rend());
    std::uniform_real_distribution<float> where(*low - 1.0f, *high + 1.0f);
    for (int k = 0; k < 300; ++k) xs.push_back(where(gen));
    xs.insert(xs.end(), {kInf, -kInf, std::nanf(""), *low, *high});
    Bracket bracket(t, n);
    ASSERT_TRUE(bracket.monotone()) << "n=" << n;
    for (float x : xs) {
      int j = 0;
      hunt(t, n, x, j);
      EXPECT_EQ(bracket(x), j) << "n=" << n << " x=" << x;
    }
  }
  std::vector<float> bent = tables[0];
  bent[90] = bent[89] - 0.5f;
  EXPECT_FALSE(Bracket(bent, 180).monotone());
  std::vector<float> with_nan = tables[1];
  with_nan[7] = std::nanf("");
  EXPECT_FALSE(Bracket(with_nan, 180).monotone());
}

// ---------------------------------------------------------------------------
// Simplex minimiser.

struct StopSearch {};

// One search from the simplex as the tests drive it: run once, iter taken
// from the search also when the objective throws.
Outcome run_amoeba(recordio::Matrix<float> p, std::span<float> y, int dims, float ftol,
                   const ObjectiveRef& f, int& iter) {
  Amoeba search(p, y, dims, ftol);
  try {
    const Outcome o = search.run(f);
    iter = search.iter();
    return o;
  } catch (const StopSearch&) {
    iter = search.iter();
    throw;
  }
}

// A 1-D trace worked out by hand: reflection through the best vertex, then the
// expansion of the row as it now stands (twice as far as the reflected point).
TEST(Amoeba, ExpansionActsOnTheReflectedRow) {
  recordio::Matrix1<float, 2, 1> p;
  p(1, 1) = 0.0f;
  p(2, 1) = 1.0f;
  std::array<float, 2> y{1.0f, 2.0f};
  std::vector<float> seen;
  auto f = [&](std::span<const float> x) -> float {
    seen.push_back(x[0]);
    if (x[0] == -1.0f) return 0.0f;
    if (x[0] == -2.0f) return -1.0f;
    throw StopSearch{};
  };
  int iter = -1;
  EXPECT_THROW(run_amoeba(p.view(), y, 1, 1e-3f, f, iter), StopSearch);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], -1.0f);
  EXPECT_EQ(seen[1], -2.0f);
  EXPECT_EQ(p(2, 1), -2.0f);
  EXPECT_EQ(y[1], -1.0f);
}

// Reflection fails, the contraction to the midpoint is no better than the
// worst value, so the simplex shrinks towards the best vertex: dims more calls.
TEST(Amoeba, ShrinkWhenContractionFails) {
  recordio::Matrix1<float, 2, 1> p;
  p(1, 1) = 0.0f;
  p(2, 1) = 1.0f;
  std::array<float, 2> y{0.0f, 1.0f};
  std::vector<float> seen;
  int iter = -1;
  auto f = [&](std::span<const float> x) -> float {
    seen.push_back(x[0]);
    if (x[0] == -1.0f) return 5.0f;
    if (x[0] == 0.5f) return 2.0f;
    throw StopSearch{};
  };
  EXPECT_THROW(run_amoeba(p.view(), y, 1, 1e-3f, f, iter), StopSearch);
  const std::vector<float> want{-1.0f, 0.5f, 0.5f, -0.5f};
  EXPECT_EQ(seen, want);
  EXPECT_EQ(p(2, 1), 0.5f);
  EXPECT_EQ(y[1], 2.0f);
  EXPECT_EQ(iter, 5);  // 3 calls counted, plus 2 for the step under way
}

TEST(Amoeba, ConvergedSimplexReturnsAtOnceWithLastLowestRowFirst) {
  // Rows 2 and 4 share the lowest value: the last of them goes to row 1.
  recordio::Matrix1<float, 5, 4> p;
  for (int i = 1; i <= 5; ++i)
    for (int j = 1; j <= 4; ++j) p(i, j) = static_cast<float>(10 * i + j);
  std::array<float, 5> y{3.0f, 2.0f, 3.0f, 2.0f, 3.0f};
  int calls = 0;
  auto f = [&](std::span<const float>) {
    ++calls;
    return 0.0f;
  };
  int iter = -1;
  EXPECT_EQ(run_amoeba(p.view(), y, 4, 0.5f, f, iter), Outcome::converged);  // spread 2/5 < 0.5
  EXPECT_EQ(iter, 0);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(y, (std::array<float, 5>{2.0f, 2.0f, 3.0f, 3.0f, 3.0f}));
  for (int j = 1; j <= 4; ++j) {
    EXPECT_EQ(p(1, j), 40.0f + j);
    EXPECT_EQ(p(4, j), 10.0f + j);
  }

  // All values equal and not zero: spread 0, any positive tolerance ends it,
  // and the last row is the best.
  std::array<float, 5> flat{7.0f, 7.0f, 7.0f, 7.0f, 7.0f};
  EXPECT_EQ(run_amoeba(p.view(), flat, 4, 1e-30f, f, iter), Outcome::converged);
  EXPECT_EQ(iter, 0);
  EXPECT_EQ(p(1, 1), 51.0f);
  EXPECT_EQ(p(5, 1), 41.0f);
}

TEST(Amoeba, EveryVertexUnevaluableReturnsAtOnce) {
  // +infinity everywhere: no direction to go, and the spread is NaN.
  recordio::Matrix1<float, 5, 4> p;
  const float inf = std::numeric_limits<float>::infinity();
  std::array<float, 5> y{inf, inf, inf, inf, inf};
  int calls = 0;
  auto f = [&](std::span<const float>) {
    ++calls;
    return inf;
  };
  int iter = -1;
  EXPECT_EQ(run_amoeba(p.view(), y, 4, 1e-3f, f, iter), Outcome::no_finite_value);
  EXPECT_EQ(iter, 0);
  EXPECT_EQ(calls, 0);
  // More coordinates than the working storage holds: nothing is done.
  EXPECT_EQ(run_amoeba(p.view(), y, Amoeba::kNmax + 1, 1e-3f, f, iter),
            Outcome::too_many_coordinates);
  EXPECT_EQ(calls, 0);
  // One finite vertex is enough to search from.
  auto flat = [&](std::span<const float>) {
    ++calls;
    return 1.0f;
  };
  y = {inf, inf, 1.0f, inf, inf};
  run_amoeba(p.view(), y, 4, 1e-3f, flat, iter);
  EXPECT_GT(calls, 0);
  EXPECT_EQ(y[0], 1.0f);
}

// The driver's use: a 5 x 4 table, one coordinate held at zero by the objective.
struct Counted {
  int calls = 0;
  template <class F>
  float operator()(F f, std::span<const float> x) {
    if (++calls > 4990) throw StopSearch{};  // never reach the pausing limit here
    return f(x);
  }
};

TEST(Amoeba, QuadraticBowlCountsEveryCall) {
  recordio::Matrix1<float, 5, 4> p;
  const std::array<float, 4> start{1.0f, 0.0f, 2.0f, 1400.0f};
  const std::array<float, 4> centre{0.3f, 0.0f, -0.7f, 1410.0f};
  const std::array<float, 4> change{0.1f, 0.0f, 0.5f, 5.0f};
  for (int i = 1; i <= 5; ++i)
    for (int j = 1; j <= 4; ++j) p(i, j) = start[j - 1] + (i == j + 1 ? change[j - 1] : 0.0f);
  p(3, 2) = 0.01f;  // the second coordinate varies in one vertex only
  Counted counter;
  auto bowl = [&](std::span<const float> x) {
    return counter(
        [&](std::span<const float> v) {
          float s = 1.0f;
          for (int j = 0; j < 4; ++j) {
            const float d = (v[j] - centre[j]) / (j == 3 ? 10.0f : 1.0f);
            s += d * d;
          }
          return s;
        },
        x);
  };
  std::array<float, 5> y{};
  for (int i = 1; i <= 5; ++i) {
    std::array<float, 4> v{p(i, 1), p(i, 2), p(i, 3), p(i, 4)};
    y[i - 1] = bowl(v);
  }
  counter.calls = 0;
  int iter = -1;
  run_amoeba(p.view(), y, 4, 1e-6f, bowl, iter);
  EXPECT_EQ(iter, counter.calls);
  EXPECT_GT(iter, 20);
  EXPECT_NEAR(p(1, 1), centre[0], 5e-3f);
  EXPECT_NEAR(p(1, 3), centre[2], 5e-3f);
  EXPECT_NEAR(p(1, 4), centre[3], 5e-2f);
  for (int i = 2; i <= 5; ++i) EXPECT_GE(y[i - 1], y[0]);
}

TEST(Amoeba, RosenbrockCountsEveryCall) {
  recordio::Matrix1<float, 3, 2> p;
  p(1, 1) = -1.2f, p(1, 2) = 1.0f;
  p(2, 1) = -1.0f, p(2, 2) = 1.0f;
  p(3, 1) = -1.2f, p(3, 2) = 1.2f;
  Counted counter;
  // Lifted by 1 so that the relative spread can fall below the tolerance.
  auto rosen = [&](std::span<const float> x) {
    return counter(
        [](std::span<const float> v) {
          const float a = 1.0f - v[0];
          const float b = v[1] - v[0] * v[0];
          return 1.0f + a * a + 100.0f * b * b;
        },
        x);
  };
  std::array<float, 3> y{};
  for (int i = 1; i <= 3; ++i) y[i - 1] = rosen(std::array<float, 2>{p(i, 1), p(i, 2)});
  counter.calls = 0;
  int iter = -1;
  run_amoeba(p.view(), y, 2, 1e-7f, rosen, iter);
  EXPECT_EQ(iter, counter.calls);
  EXPECT_NEAR(p(1, 1), 1.0f, 2e-2f);
  EXPECT_NEAR(p(1, 2), 1.0f, 4e-2f);
}

void amoeba_on_zero() {
  // Highest and lowest values 0: the spread is 0/0 and never passes.
  static int calls = 0;
  recordio::Matrix1<float, 3, 2> p;
  p(2, 1) = 1.0f;
  p(3, 2) = 1.0f;
  std::array<float, 3> y{};
  auto f = [](std::span<const float>) {
    ++calls;
    if (calls >= 4999) {
      const std::string line = "call " + std::to_string(calls) + "\n";
      ssize_t ignored = write(2, line.data(), line.size());
      (void)ignored;
    }
    if (calls == 5005) _exit(0);
    return 0.0f;
  };
  // The driver's answer to the limit: a PAUSE, then the search goes on.
  Amoeba search(p.view(), y, 2, 1e-3f);
  while (search.run(f) == Outcome::iteration_limit) {
    recordio::pause(pause_text(Outcome::iteration_limit));
  }
}

TEST(AmoebaPause, LimitPausesBeforeEveryFurtherStep) {
  const ChildRun r = run_child(amoeba_on_zero, 3);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.pauses, 3);
  const std::string pause =
      "ITMAX exceeded in amoeba statement executed\n"
      "To resume execution, execute a   kill -15 ";
  const std::string resumes = "Execution resumes after PAUSE.\n";
  // Every step of two calls (reflection and expansion of equal values) is
  // preceded by a PAUSE once 5000 calls are reached.
  const std::vector<std::string> order{"call 4999\n", "call 5000\n", pause, resumes,
                                       "call 5001\n", "call 5002\n", pause, resumes,
                                       "call 5003\n", "call 5004\n", pause, resumes,
                                       "call 5005\n"};
  std::size_t at = 0;
  for (const std::string& s : order) {
    const std::size_t found = r.err.find(s, at);
    ASSERT_NE(found, std::string::npos) << "missing in order: " << s << "\n" << r.err;
    at = found + s.size();
  }
  EXPECT_EQ(count_of(r.err, "ITMAX exceeded in amoeba"), 3);
}

}  // namespace
}  // namespace momfit
