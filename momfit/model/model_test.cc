// Tests of the model stages and the objective: the worked numbers, the
// convolution against a direct circular sum, the best-point bookkeeping and
// its log record on unit 7, and the evaluations that come out +infinity.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "momfit/blocks.h"
#include "momfit/model/phi2.h"
#include "momfit/model/stages.h"
#include "recordio/recordio.h"
#include "momfit/numeric/testing.h"
#include "tests/numbers.h"
#include "tests/process.h"

namespace momfit {
namespace {

using testing_support::direct_convolution;
using testing_support::random_floats;

// Unit 7 rewritten from its start by the next write; no file until then.
void restart_log() {
  recordio::close(7);
  std::filesystem::remove("fort.7");
}

std::vector<std::string> log_lines() {
  recordio::close(7);
  return testing_support::lines_of(testing_support::read_file("fort.7"));
}

// A fit state of its own for every test, and the objective reading it with
// no observer: nothing is drawn.
class ModelRun : public ::testing::Test {
 protected:
  static constexpr float kInf = std::numeric_limits<float>::infinity();

  void reset_best() {
    one = BestPoint{};
    one.bestchi2 = 1.0E38f;
  }
  void set_lab(const std::vector<float>& prob);
  void set_up_run(int nlab = 400);
  Phi2Tables phi2_tables() const { return phi2.tables(); }

  FitState s;
  BestPoint& one = s.one;
  LabData& two = s.two;
  CountsAndProfile& three = s.three;
  Objective phi2{s};
};
// chi2 and the record the driver logs for it.
class Chi2 : public ModelRun {
 protected:
  float logged(std::span<const float> model, std::span<const float> x, bool evaluable = true) {
    const float value = chi2(model, x, s, evaluable);
    log_record(7, value, one);
    return value;
  }
};
class Phi2 : public ModelRun {};

// ---------------------------------------------------------------------------
// rebin

// An ascending table of momenta and a cubic of the momentum (in steps from
// the first entry), taken at the stored float abscissae.
struct Table {
  std::array<float, kTable> x{};
  std::array<float, kTable> v{};
  double start = 0;
  double step = 1;
  double at(float g) const {
    const double t = (static_cast<double>(g) - start) / step;
    return 0.001 * t * t * t - 0.2 * t * t + 3.0 * t + 40.0;
  }
};

Table make_table(double start, double step) {
  Table t;
  t.x[0] = static_cast<float>(start);
  t.start = t.x[0];
  t.step = step;
  for (int i = 0; i < kTable; ++i) {
    t.x[i] = static_cast<float>(start + step * i);
    t.v[i] = static_cast<float>(t.at(t.x[i]));
  }
  return t;
}

TEST(Rebin, CubicInsideZeroOutsideEndsIncluded) {
  const Table t = make_table(7.17e-21, 5e-25);
  std::vector<float> grid{7.16e-21f, t.x[0], 7.1702e-21f, 7.2e-21f, 7.2063e-21f, t.x[kTable - 1],
                          7.27e-21f};
  std::vector<float> out(grid.size(), -1.0f);
  EXPECT_EQ(rebin(t.v, t.x, out, grid, static_cast<int>(grid.size())), 0);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[1], t.v[0]);
  EXPECT_EQ(out[5], t.v[kTable - 1]);
  EXPECT_EQ(out[6], 0.0f);
  for (int k : {2, 3, 4}) EXPECT_NEAR(out[k], t.at(grid[k]), 2e-3) << "k=" << k;

  // Two equal abscissae among the four points of one interpolation: it is
  // counted for the caller's "failure in polint"; the others are not.
  Table twice = t;
  twice.x[101] = twice.x[100];
  const std::vector<float> near_pair{(t.x[100] + t.x[102]) / 2, t.x[10]};
  std::vector<float> got(2, -1.0f);
  EXPECT_EQ(rebin(twice.v, twice.x, got, near_pair, 2), 1);
  EXPECT_EQ(got[1], t.v[10]);
}

TEST(Rebin, DescendingTable) {
  Table t = make_table(7.17e-21, 5e-25);
  std::reverse(t.x.begin(), t.x.end());
  std::reverse(t.v.begin(), t.v.end());
  const std::vector<float> grid{7.1602e-21f, 7.2001e-21f, 7.30e-21f};
  std::vector<float> out(grid.size(), -1.0f);
  EXPECT_EQ(rebin(t.v, t.x, out, grid, 3), 0);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_NEAR(out[1], t.at(grid[1]), 2e-3);
  EXPECT_EQ(out[2], 0.0f);
}

TEST(Rebin, GridBeyondTheIntegerRange) {
  // Momenta in other units: the starting guess cannot be held by an integer,
  // so there is none and the search bisects the whole table.
  const Table t = make_table(4.0e9, 1.0e7);
  const std::vector<float> grid{4.5e9f, 1.0e12f, -3.0e9f, 4.0e9f};
  std::vector<float> out(grid.size(), -1.0f);
  EXPECT_EQ(rebin(t.v, t.x, out, grid, 4), 0);
  EXPECT_NEAR(out[0], t.at(grid[0]), 1e-2);
  EXPECT_EQ(out[1], 0.0f);
  EXPECT_EQ(out[2], 0.0f);
  EXPECT_EQ(out[3], t.v[0]);
}

TEST(Rebin, VectorInterpolationsGiveThePlainLoopsBits) {
  // Tables ascending, descending, with two pairs of equal abscissae, and out
  // of order (searched by hunt); grids in order, reversed, at random, equal
  // to entries, outside the table and NaN. The results and the failure
  // counts of every kernel, bit for bit.
  Table up = make_table(7.17e-21, 5e-25);
  const std::vector<float> values = random_floats(kTable, 3, 0.0f, 1000.0f);
  std::copy(values.begin(), values.end(), up.v.begin());
  Table down = up;
  std::reverse(down.x.begin(), down.x.end());
  Table equal = up;
  equal.x[101] = equal.x[100];
  equal.x[41] = equal.x[40];
  Table unordered = up;
  std::swap(unordered.x[60], unordered.x[70]);
  std::vector<float> grid = random_floats(1000, 4, 7.168e-21f, 7.262e-21f);
  std::sort(grid.begin(), grid.begin() + 400);
  std::sort(grid.begin() + 400, grid.begin() + 800, std::greater<>());
  std::copy(up.x.begin(), up.x.begin() + 100, grid.begin() + 850);
  grid[999] = std::nanf("");
  auto all_rebins = [&] {
    std::vector<float> results;
    for (const Table* t : {&up, &down, &equal, &unordered}) {
      std::vector<float> out(grid.size());
      const int failures = rebin(t->v, t->x, out, grid, static_cast<int>(grid.size()));
      results.insert(results.end(), out.begin(), out.end());
      results.push_back(static_cast<float>(failures));
    }
    return results;
  };
  ASSERT_TRUE(force_kernel_lanes(1));
  const std::vector<float> plain = all_rebins();
  EXPECT_GT(plain[3 * 1001 - 1], 0.0f);  // some interpolations met equal abscissae
  for (int lanes : {4, 8}) {
    if (!force_kernel_lanes(lanes)) continue;  // not in this build or processor
    const std::vector<float> got = all_rebins();
    EXPECT_EQ(std::memcmp(got.data(), plain.data(), plain.size() * sizeof(float)), 0)
        << lanes << " lanes";
  }
  force_kernel_lanes(0);
}

// ---------------------------------------------------------------------------
// profadd, normalise

TEST(Profadd, WeightedSum) {
  const std::array<float, 3> a{1.0f, 2.0f, 3.0f};
  const std::array<float, 3> b{4.0f, -8.0f, 0.5f};
  std::array<float, 4> out{9, 9, 9, 9};
  profadd(out, a, b, 3, 0.25f);
  EXPECT_EQ(out, (std::array<float, 4>{2.0f, 0.0f, 3.125f, 9.0f}));
}

TEST(Normalise, MaxToTopZeroToBase) {
  std::array<float, 3> out{};
  EXPECT_TRUE(normalise(std::array<float, 3>{0, 1, 2}, out, 3, 10.0f, 4.0f));
  EXPECT_EQ(out, (std::array<float, 3>{4.0f, 7.0f, 10.0f}));
}

TEST(Normalise, NoPositiveValueCannotBeScaled) {
  std::array<float, 2> out{1, 1};
  EXPECT_FALSE(normalise(std::array<float, 2>{-1, -2}, out, 2, 10.0f, 4.0f));
  EXPECT_EQ(out, (std::array<float, 2>{4.0f, 4.0f}));
  EXPECT_FALSE(normalise(std::array<float, 2>{0, 0}, out, 2, 10.0f, 3.0f));
  EXPECT_EQ(out, (std::array<float, 2>{3.0f, 3.0f}));
  EXPECT_TRUE(normalise(std::array<float, 2>{0, 0}, out, 0, 10.0f, 3.0f));  // nothing to scale
}

// The fitted scale: the least-squares line through (curve, lab), and a
// curve with no spread refused without a division (mean of lab, factor 0).
TEST(FitScale, LeastSquaresLineOrNoSpread) {
  const std::array<float, 4> lab{5, 9, 11, 17};
  std::array<float, 4> out{};
  Scaling line;
  // lab = 3 + 2 c exactly, with c of a curve's size (the largest near 0.3).
  EXPECT_EQ(fit_scale(std::array<float, 4>{0.1f, 0.3f, 0.4f, 0.7f}, lab, out, 4, line),
            Fitted::ok);
  EXPECT_NEAR(line.base, 3.0, 1e-5);
  EXPECT_NEAR(line.factor, 20.0, 1e-4);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(out[i], lab[i], 1e-4f);
  // Off the line: the residuals sum to zero and are orthogonal to the curve.
  const std::array<float, 4> c{0.0f, 1.0f, 1.0f, 3.0f};
  ASSERT_EQ(fit_scale(c, std::array<float, 4>{1, 2, 4, 7}, out, 4, line), Fitted::ok);
  const std::array<float, 4> y{1, 2, 4, 7};
  double sum = 0.0, moment = 0.0;
  for (std::size_t i = 0; i < 4; ++i) {
    sum += y[i] - out[i];
    moment += (y[i] - out[i]) * c[i];
  }
  EXPECT_NEAR(sum, 0.0, 1e-5);
  EXPECT_NEAR(moment, 0.0, 1e-5);
  EXPECT_EQ(fit_scale(std::array<float, 4>{0, 0, 0, 0}, lab, out, 4, line), Fitted::zero);
  EXPECT_EQ(fit_scale(std::array<float, 4>{0.3f, 0.3f, 0.3f, 0.3f}, lab, out, 4, line),
            Fitted::flat);
  EXPECT_EQ(line.factor, 0.0);
  EXPECT_EQ(out, (std::array<float, 4>{10.5f, 10.5f, 10.5f, 10.5f}));
}

// ---------------------------------------------------------------------------
// convolve

TEST(Convolve, MatchesDirectSumEveryCall) {
  // 1000 points leave the ends apart; 1020 with 15 negative and positive lags
  // carry values round the 1024-point circle. A response far larger or
  // smaller than the profile gives the same result, scaled.
  using Case = std::tuple<int, int, float>;  // points, response values, response scale
  for (const auto& [n, m, scale] :
       std::initializer_list<Case>{{1000, 31, 1.0f}, {1000, 30, 1.0f}, {1020, 31, 1.0f},
                                   {1020, 30, 1.0f}, {1000, 31, 1e-9f}, {1020, 30, 1e10f}}) {
    const std::vector<float> data = random_floats(static_cast<std::size_t>(n), 5u + n + m);
    const std::vector<float> resp = random_floats(static_cast<std::size_t>(m), 9u + m);
    std::vector<float> padded(kFftLength, 0.0f);
    std::copy(data.begin(), data.end(), padded.begin());
    const std::vector<double> ref = direct_convolution(padded, resp, m);
    std::vector<float> room(2000, 0.0f);
    std::transform(resp.begin(), resp.end(), room.begin(), [k = scale](float r) { return r * k; });
    const std::vector<float> loaded = room;
    ConvolveWork work;
    for (int call = 1; call <= 2; ++call) {
      std::vector<float> profile(kFftLength, 9.0f);  // padding must be cleared
      std::copy(data.begin(), data.end(), profile.begin());
      std::vector<float> out(n);
      convolve(profile, out, room, n, m, work);
      double worst = 0;
      for (int j = 0; j < n; ++j) worst = std::max(worst, std::fabs(out[j] / scale - ref[j]));
      EXPECT_LE(worst, 5e-4) << "n=" << n << " m=" << m << " scale=" << scale
                             << " call=" << call;
      EXPECT_TRUE(std::all_of(profile.begin() + n, profile.end(), [](float f) { return f == 0; }));
    }
    EXPECT_EQ(room, loaded);  // the loaded profile stays whole
  }
}

// ---------------------------------------------------------------------------
// chi2 and its log

void ModelRun::set_lab(const std::vector<float>& prob) {
  three.nlab = static_cast<int>(prob.size());
  for (std::size_t i = 0; i < prob.size(); ++i) two.labprob.v[i] = prob[i];
}

TEST_F(Chi2, DividesBeforeSquaringAndLogsEveryEvaluation) {
  reset_best();
  restart_log();
  set_lab({1, 1, 1, 1, 1});
  const std::array<float, 5> zero{};
  EXPECT_EQ(logged(zero, std::array<float, 4>{1.5f, 0.0f, 2.0f, 1400.0f}), 1.25f);
  EXPECT_EQ(one.bestchi2, 1.25f);
  EXPECT_EQ(one.bestw1, 1.5f);
  EXPECT_EQ(one.beste0, 1400.0f);

  // Worse: the best point stays, the record still goes out.
  const std::array<float, 5> far{-1, -1, -1, -1, -1};
  EXPECT_EQ(logged(far, std::array<float, 4>{9.0f, 0.0f, 9.0f, 9.0f}), 5.0f);
  // A tie keeps the earlier point.
  EXPECT_EQ(logged(zero, std::array<float, 4>{7.0f, 0.0f, 7.0f, 7.0f}), 1.25f);
  EXPECT_EQ(one.bestw1, 1.5f);
  // Better, strictly.
  const std::array<float, 5> close{1, 1, 1, 1, 0};
  EXPECT_EQ(logged(close, std::array<float, 4>{0.5f, 0.0f, -1.0f, 1410.0f}), 0.25f);
  EXPECT_EQ(one.bestw1, 0.5f);
  EXPECT_EQ(one.bestbeta, -1.0f);

  const std::vector<std::string> want{
      "  1.5  0.  2.  1400.  1.25  1.25",
      "  1.5  0.  2.  1400.  5.  1.25",
      "  1.5  0.  2.  1400.  1.25  1.25",
      "  0.5  0. -1.  1410.  0.25  0.25",
  };
  EXPECT_EQ(log_lines(), want);
}

TEST_F(Chi2, LongRecordWrapsBeforeColumn80) {
  reset_best();
  restart_log();
  set_lab({0.1f, 0, 0, 0});  // divisor 1: chi-square 0.1 squared in float
  const std::array<float, 4> zero{};
  logged(zero, std::array<float, 4>{7.22e-21f, -7.22e-21f, -0.333333343f, 1400.12341f});
  // 71 columns after five items; the sixth (14) would reach column 85.
  const std::vector<std::string> want{
      "  7.21999993E-21 -7.21999993E-21 -0.333333343  1400.12341  0.0100000007",
      "  0.0100000007",
  };
  EXPECT_EQ(log_lines(), want);
}

TEST_F(Chi2, UnusableEvaluationsAreInfiniteAndNeverBest) {
  reset_best();
  restart_log();
  const std::array<float, 4> x{2.0f, 0.0f, 1.0f, 1405.0f};
  set_lab({1, 2, 3});  // zero divisor
  EXPECT_EQ(logged(std::array<float, 3>{1, 2, 3}, x), kInf);
  set_lab({1, 1, 1, 1, 1});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(logged(std::array<float, 5>{0, nan, 0, 0, 0}, x), kInf);
  EXPECT_EQ(logged(std::array<float, 5>{1, 1, 1, 1, 1}, x, false), kInf);
  EXPECT_EQ(one.bestchi2, 1.0E38f);
  EXPECT_EQ(one.bestw1, 0.0f);
  const std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& l : lines) EXPECT_EQ(l, "  0.  0.  0.  0.  Infinity  9.99999968E+37");
  // Fewer than three points: the negative divisor is squared away.
  set_lab({1, 1});
  EXPECT_EQ(logged(std::array<float, 2>{0, 0}, x), 2.0f);
}

// ---------------------------------------------------------------------------
// phi2

// Lab momenta across the model's range, a skewed instrument profile in
// wrap-around order (lags 0..7, then -1..-7 counted down from the end).
void ModelRun::set_up_run(int nlab) {
  reset_best();
  two.e0 = 1400.0f;
  two.weight2 = 0.0f;
  two.probmax = 1000.0f;
  two.probbase = 50.0f;
  three.nlab = nlab;
  for (int i = 1; i <= nlab; ++i) {
    two.labmom(i) = 7.17e-21f + 8.0e-23f * static_cast<float>(i - 1) / static_cast<float>(nlab);
    two.labprob(i) = 50.0f + 900.0f * std::exp(-std::pow((i - nlab * 0.6f) / (nlab * 0.1f), 2.0f));
  }
  three.prof = {};
  three.nprof = 15;
  for (int l = 0; l <= 7; ++l) three.prof(l + 1) = std::exp(-0.1f * l * l);
  for (int l = 1; l <= 7; ++l) three.prof(16 - l) = 2.0f * std::exp(-0.1f * l * l);
}

TEST_F(Phi2, WorkedTableValues) {
  set_up_run();
  phi2(std::array<float, 4>{1.0f, 0.0f, 0.0f, 1400.0f});
  const Phi2Tables t = phi2_tables();
  auto near4 = [](float got, double want) { EXPECT_NEAR(got, want, 0.0006e-21) << want; };
  near4(t.calcenergy1[0], 7.171e-21);
  near4(t.calcenergy1[89], 7.194e-21);
  near4(t.calcenergy1[179], 7.217e-21);
  for (float p : t.calcprob) EXPECT_EQ(p, 0.15915507f);

  phi2(std::array<float, 4>{1.0f, 0.0f, 2.0f, 1410.0f});
  near4(t.calcenergy1[0], 7.196e-21);
  near4(t.calcenergy1[89], 7.219e-21);
  near4(t.calcenergy1[179], 7.242e-21);
  EXPECT_NEAR(t.calcprob[89], 0.4774652f, 1e-7f);
  EXPECT_LT(std::fabs(t.calcprob[0]), 2e-4f);
  EXPECT_LT(std::fabs(t.calcprob[179]), 2e-4f);
  EXPECT_TRUE(std::is_sorted(t.calcenergy1.begin(), t.calcenergy1.end()));
}

TEST_F(Phi2, CrossTermFollowsTheStartingE0) {
  // Moving only E0 away from e0: the E0/m2 term follows the vertex, the
  // cross term stays with e0. The two readings differ by about 1e-5.
  set_up_run();
  const float w1 = 1.5f, e0now = 1430.0f;
  phi2(std::array<float, 4>{w1, 0.0f, 0.0f, e0now});
  const double m1 = 69.92425f, m2 = 1.007825f, mu = m1 * m2 / (m1 + m2);
  const double scale = 2.0 * 1.6021774e-19f * m1 * 1.67353e-27f * mu;
  for (int iphi : {1, 45, 120, 180}) {
    const double phi = static_cast<float>((iphi - 180) * static_cast<double>(3.14159f) / 180.0f);
    auto p = [&](double cross_e0) {
      return std::sqrt(scale * (w1 / m1 + e0now / m2 +
                                2.0 * std::sqrt(cross_e0 * w1 / (m1 * m2)) * std::cos(phi)));
    };
    const double got = phi2_tables().calcenergy1[static_cast<std::size_t>(iphi - 1)];
    EXPECT_NEAR(got / p(1400.0), 1.0, 2e-7) << "iphi=" << iphi;
    EXPECT_GT(std::fabs(got / p(e0now) - 1.0), 2e-6) << "iphi=" << iphi;
  }
  // Cross::fitted: the E0 evaluated in both terms, the law of cosines.
  s.config.cross = Cross::fitted;
  phi2(std::array<float, 4>{w1, 0.0f, 0.0f, e0now});
  for (int iphi : {1, 45, 120, 180}) {
    const double phi = static_cast<float>((iphi - 180) * static_cast<double>(3.14159f) / 180.0f);
    const double want = std::sqrt(scale * (w1 / m1 + e0now / m2 +
                                           2.0 * std::sqrt(e0now * w1 / (m1 * m2)) * std::cos(phi)));
    EXPECT_NEAR(phi2_tables().calcenergy1[static_cast<std::size_t>(iphi - 1)] / want, 1.0, 2e-7);
  }
}

TEST_F(Phi2, SameVectorSameChiSquareFromTheFirstCall) {
  set_up_run();
  const std::vector<float> loaded(three.prof.v.begin(), three.prof.v.end());
  const std::array<float, 4> x{1.0f, 0.0f, 0.5f, 1405.0f};
  const float first = phi2(x);
  const float second = phi2(x);
  const float third = phi2(x);
  EXPECT_TRUE(std::isfinite(first));
  EXPECT_EQ(first, second);
  EXPECT_EQ(second, third);
  EXPECT_TRUE(std::equal(loaded.begin(), loaded.end(), three.prof.v.begin()));
}

TEST_F(Phi2, DataMadeByTheModelFitsExactly) {
  set_up_run();
  const std::array<float, 4> truth{1.2f, 0.0f, 0.7f, 1406.0f};
  phi2(truth);
  const Phi2Tables t = phi2_tables();
  ASSERT_EQ(t.ncalcprob.size(), 400u);
  EXPECT_NEAR(*std::max_element(t.ncalcprob.begin(), t.ncalcprob.end()), 1000.0f, 1e-3f);
  for (int i = 1; i <= 400; ++i) two.labprob(i) = t.ncalcprob[static_cast<std::size_t>(i - 1)];
  reset_best();
  EXPECT_EQ(phi2(truth), 0.0f);
  EXPECT_EQ(one.bestchi2, 0.0f);
  EXPECT_EQ(one.beste0, 1406.0f);
  for (const auto& off : {std::array<float, 4>{1.3f, 0.0f, 0.7f, 1406.0f},
                          std::array<float, 4>{1.2f, 0.0f, 0.2f, 1406.0f},
                          std::array<float, 4>{1.2f, 0.0f, 0.7f, 1407.0f}}) {
    EXPECT_GT(phi2(off), 0.0f);
  }
  EXPECT_EQ(one.bestw1, 1.2f);

  // The fitted scale finds any base and factor the data were made with,
  // and counts the designed scale's targets for nothing.
  phi2(truth);
  const Scaling designed = phi2.scaling();
  EXPECT_EQ(designed.base, 50.0);
  for (int i = 1; i <= 400; ++i) {
    two.labprob(i) = 20.0f + 0.25f * t.ncalcprob[static_cast<std::size_t>(i - 1)];
  }
  s.config.scale = Scale::fitted;
  EXPECT_LT(phi2(truth), 1e-9f);
  EXPECT_NEAR(phi2.scaling().base, 32.5, 1e-3);
  EXPECT_NEAR(phi2.scaling().factor / designed.factor, 0.25, 1e-6);
  EXPECT_GT(phi2(std::array<float, 4>{1.2f, 0.0f, 0.2f, 1406.0f}), 1e-6f);
}

TEST_F(Phi2, SecondComponentIsARealProfile) {
  set_up_run();
  const float alone = phi2(std::array<float, 4>{1.0f, 0.0f, 0.5f, 1405.0f});
  // Negative zero is zero.
  EXPECT_EQ(phi2(std::array<float, 4>{1.0f, -0.0f, 0.5f, 1405.0f}), alone);
  // W2 = W1: the same momenta, so the same shape after scaling.
  two.weight2 = 1.0f;
  const float doubled = phi2(std::array<float, 4>{1.0f, 1.0f, 0.5f, 1405.0f});
  const Phi2Tables t = phi2_tables();
  EXPECT_TRUE(std::equal(t.calcenergy1.begin(), t.calcenergy1.end(), t.calcenergy2.begin()));
  EXPECT_NEAR(doubled, alone, alone * 1e-4f);
  // A different W2 inside the lab range changes the model; weight 0 does not.
  const float mixed = phi2(std::array<float, 4>{1.0f, 3.0f, 0.5f, 1405.0f});
  EXPECT_GT(std::fabs(mixed - alone), alone * 1e-2f);
  EXPECT_GT(t.calcenergy2[179], t.calcenergy1[179]);
  two.weight2 = 0.0f;
  EXPECT_EQ(phi2(std::array<float, 4>{1.0f, 3.0f, 0.5f, 1405.0f}), alone);
}

TEST_F(Phi2, MomentaThatAreNotRealGiveInfinity) {
  set_up_run();
  restart_log();
  const std::array<std::array<float, 4>, 4> bad{{
      {-1.0f, 0.0f, 0.5f, 1405.0f},  // negative W1
      {1.0f, 0.0f, 0.5f, 1.0f},      // E0 far below e0: the bracket turns negative
      {1.0f, -2.0f, 0.5f, 1405.0f},  // negative W2
      {std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.5f, 1405.0f},
  }};
  for (const auto& x : bad) EXPECT_EQ(phi2(x), kInf) << x[0] << " " << x[1] << " " << x[3];
  EXPECT_TRUE(std::isnan(phi2_tables().calcenergy2[0]));
  two.e0 = -1400.0f;  // a negative e0 under the cross root
  EXPECT_EQ(phi2(std::array<float, 4>{1.0f, 0.0f, 0.5f, 1405.0f}), kInf);
  EXPECT_EQ(one.bestchi2, 1.0E38f);
  EXPECT_TRUE(log_lines().empty());  // the model logs nothing itself
  // The run goes on: a good vector afterwards is evaluated as usual.
  two.e0 = 1400.0f;
  EXPECT_TRUE(std::isfinite(phi2(std::array<float, 4>{1.0f, 0.0f, 0.5f, 1405.0f})));
}

TEST_F(Phi2, ZeroProfileGivesInfinityAndAFlatCurve) {
  set_up_run();
  three.prof = {};
  EXPECT_EQ(phi2(std::array<float, 4>{1.0f, 0.0f, 0.5f, 1405.0f}), kInf);
  for (float v : phi2_tables().ncalcprob) EXPECT_EQ(v, two.probbase);
  EXPECT_EQ(one.bestchi2, 1.0E38f);
}

TEST_F(Phi2, ModelOutsideTheLabRangeIsFlat) {
  // Lab momenta all above the table: every rebinned value is 0.0, nothing
  // scales, and the evaluation is unusable, with either scale.
  set_up_run();
  for (int i = 1; i <= three.nlab; ++i) two.labmom(i) = 7.3e-21f + 1e-24f * static_cast<float>(i);
  EXPECT_EQ(phi2(std::array<float, 4>{1.0f, 0.0f, 0.5f, 1405.0f}), kInf);
  s.config.scale = Scale::fitted;
  EXPECT_EQ(phi2(std::array<float, 4>{1.0f, 0.0f, 0.5f, 1405.0f}), kInf);
  EXPECT_EQ(one.bestchi2, 1.0E38f);
}

// A model that is flat over the lab momenta has no factor to fit: +infinity
// and a trouble saying why, never a division by zero.
TEST_F(Phi2, FlatModelCannotBeFittedByTheScale) {
  set_up_run(40);
  s.config.scale = Scale::fitted;
  // beta 0 and a one-value response: the flat table itself, wherever the
  // lab momenta lie inside the momentum range (7.194e-21 near the middle).
  three.prof = {};
  three.prof(1) = 1.0f;
  three.nprof = 1;
  for (int i = 1; i <= 40; ++i) two.labmom(i) = 7.190e-21f + 1e-25f * static_cast<float>(i);
  struct Said final : EvaluationObserver {
    std::vector<std::string> troubles;
    void trouble(std::string_view m) override { troubles.emplace_back(m); }
    void erase_curve(std::span<const float>, std::span<const float>) override {}
    void draw_curve(std::span<const float>, std::span<const float>) override {}
  } said;
  Objective flat(s, &said);
  EXPECT_EQ(flat(std::array<float, 4>{1.0f, 0.0f, 0.0f, 1400.0f}), kInf);
  ASSERT_EQ(said.troubles.size(), 1u);
  EXPECT_NE(said.troubles[0].find("flat over the lab momenta"), std::string::npos);
}

TEST_F(Phi2, NoLabPointsGivesZeroAsTheBest) {
  set_up_run(0);
  const std::array<float, 4> x{1.0f, 0.0f, 0.5f, 1405.0f};
  EXPECT_EQ(phi2(x), 0.0f);
  EXPECT_EQ(one.bestchi2, 0.0f);
  EXPECT_EQ(one.bestw1, 1.0f);
}

}  // namespace
}  // namespace momfit

// The evaluation log goes to fort.7 in the current directory: run in a
// directory of our own.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const testing_support::TempDir dir;
  std::filesystem::current_path(dir.path());
  const int status = RUN_ALL_TESTS();
  recordio::close(7);
  std::filesystem::current_path("/");
  return status;
}
