#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bandfit/deck.h"
#include "bandfit/ortho.h"
#include "bandfit/refine.h"
#include "bandfit/report.h"
#include "bandfit/results.h"
#include "recordio/recordio.h"
#include "run/picture_file.h"
#include "tests/process.h"

namespace {

using namespace bandfit;
using testing_support::count_of;
using testing_support::file_exists;
using testing_support::lines_of;
using testing_support::names_in;
using testing_support::repeat;
using testing_support::TempDir;
using testing_support::read_file;
using testing_support::run_in;

// Runs body in a fresh directory; returns what it left in fort.26 (and in
// fort.8 through list, when given).
std::string report_of(const std::function<void()>& body, std::string* list = nullptr) {
  char old[4096];
  EXPECT_NE(getcwd(old, sizeof old), nullptr);
  const TempDir tmp;
  const std::string& dir = tmp.str();
  EXPECT_EQ(chdir(dir.c_str()), 0);
  body();
  recordio::close(26);
  recordio::close(8);
  EXPECT_EQ(chdir(old), 0);
  if (list != nullptr) *list = read_file(dir + "/fort.8");
  return read_file(dir + "/fort.26");
}

LineBlock line_block(const std::vector<std::pair<std::string, int>>& lines) {
  LineBlock b;
  int i = 0;
  for (const auto& [label, j] : lines) {
    ++i;
    b.branch(i).assign(label);
    b.jlow(i) = j;
  }
  return b;
}

// --- Line model -------------------------------------------------------------

TEST(Values, EachParameterEntersItsOwnTerms) {
  struct Case {
    std::vector<std::pair<int, double>> c;
    const char* label;
    int j;
    double want;
  };
  const Case cases[] = {
      {{{4, 1}, {7, 0.02}}, "Q V+0", 5, 28.7},   // minus component
      {{{4, 1}, {7, 0.02}}, "R V+0", 5, 41.42},  // plus component at J + 1
      {{{4, 1}}, "P V+0", 1, -1},                // u = -1 at J = 0
      {{{6, 1}}, "Q V+0", 22, 128787625},        // 505 cubed, exactly
      {{{1, 1}, {2, 1}, {3, 1}}, "Q V+0", 3, -12 + 144 - 1728},
      {{{5, 1}, {8, 0.001}}, "R V+0", 3, -361 + 0.5 * 20 * 0.02},
      {{{9, 1}, {19, 7}}, "R V+1", 5, 48},
      {{{10, 1}, {11, 1}, {12, 0.02}}, "P V+1", 3, -25 + 125 + 0.06},
      {{{13, 0.001}}, "Q V+1", 3, -0.072},
      {{{14, 1}, {20, 3}}, "R V+2", 0, 4},
      {{{15, 1}, {16, 1}, {17, 0.04}, {18, 0.001}}, "P V+2", 3, -25 + 125 + 0.12 + 0.018},
      {{{22, 1}, {23, 1}, {24, 1}, {25, 5}}, "Q 2V0", 2, -6 + 36 - 216 + 5},
      {{{26, 1}, {27, 1}, {28, 1}, {29, -4}}, "R 4V2", 1, -2 + 4 - 8 - 4},
      {{{14, 1}, {17, 0.04}}, "Q V+2", 3, 11 - 0.24},
      {{{4, 1}, {22, 1}}, "P 2V0", 3, 5 - 12},
      {{{4, 1}, {7, 0.02}, {22, 1}}, "R 2V0", 1, 5.06 - 2},
      {{{14, 1}, {26, 1}}, "P 4V2", 2, 1 - 6},
      {{{14, 1}, {17, 0.04}, {26, 1}}, "Q 4V2", 2, 4.88 - 6},
      {{{30, 99}}, "Q 4V2", 4, 0},  // position 30 has no role
  };
  for (const Case& k : cases) {
    ParamArray c;
    for (auto [pos, v] : k.c) c(pos) = v;
    LineArray y;
    values(c, y, 1, line_block({{k.label, k.j}}));
    EXPECT_NEAR(y(1), k.want, 1e-12) << k.label << " J " << k.j;
  }
  // The common origin reaches every line of every band.
  ParamArray c;
  c(21) = 2000;
  for (const char* label : {"P V+0", "Q V+0", "R V+0", "P V+1", "Q V+1", "R V+1", "P V+2", "Q V+2",
                            "R V+2", "P 2V0", "Q 2V0", "R 2V0", "P 4V2", "Q 4V2", "R 4V2"}) {
    LineArray y;
    values(c, y, 1, line_block({{label, 5}}));
    EXPECT_EQ(y(1), 2000) << label;
  }
}

TEST(Values, LabelsOutsideTheFifteenKeepTheirValue) {
  const LineBlock lines = line_block({{"r V+0", 5}, {" R V+0", 5}, {"R V+3", 5}, {"R V+0", 5}});
  ParamArray c;
  c(21) = 1;
  LineArray y;
  for (int i = 1; i <= 4; ++i) y(i) = -7;
  values(c, y, 4, lines);
  EXPECT_EQ(y(1), -7);
  EXPECT_EQ(y(2), -7);
  EXPECT_EQ(y(3), -7);
  EXPECT_EQ(y(4), 1);
}

// --- Solver -----------------------------------------------------------------

// Independent weighted least squares: normal equations in long double, the
// columns scaled to a unit diagonal before the Cholesky factorisation.
struct Reference {
  std::vector<long double> cof;
  std::vector<std::vector<long double>> inv;  // inverse normal matrix
  long double rss = 0;
};

Reference normal_equations(int n, int m, const std::function<double(int, int)>& z,
                           const LineArray& y, const LineArray& w) {
  const auto mm = static_cast<std::size_t>(m);
  std::vector<std::vector<long double>> a(mm, std::vector<long double>(mm)), l = a;
  std::vector<long double> b(mm), s(mm);
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < m; ++j) {
      for (int k = 1; k <= n; ++k) a[i][j] += (long double)w(k) * z(i + 1, k) * z(j + 1, k);
    }
    for (int k = 1; k <= n; ++k) b[i] += (long double)w(k) * z(i + 1, k) * y(k);
  }
  for (int i = 0; i < m; ++i) s[i] = 1 / std::sqrt(a[i][i]);
  for (int j = 0; j < m; ++j) {
    for (int i = j; i < m; ++i) {
      long double v = a[i][j] * s[i] * s[j];
      for (int k = 0; k < j; ++k) v -= l[i][k] * l[j][k];
      l[i][j] = i == j ? std::sqrt(v) : v / l[j][j];
    }
  }
  auto solve = [&](std::vector<long double> r) {  // (S N S)^-1 r
    for (int i = 0; i < m; ++i) {
      for (int k = 0; k < i; ++k) r[i] -= l[i][k] * r[k];
      r[i] /= l[i][i];
    }
    for (int i = m - 1; i >= 0; --i) {
      for (int k = i + 1; k < m; ++k) r[i] -= l[k][i] * r[k];
      r[i] /= l[i][i];
    }
    return r;
  };
  Reference ref;
  std::vector<long double> sb(mm);
  for (int i = 0; i < m; ++i) sb[i] = b[i] * s[i];
  ref.cof = solve(sb);
  for (int i = 0; i < m; ++i) ref.cof[i] *= s[i];
  ref.inv.assign(mm, std::vector<long double>(mm));
  for (int c = 0; c < m; ++c) {
    std::vector<long double> e(mm);
    e[c] = 1;
    e = solve(e);
    for (int i = 0; i < m; ++i) ref.inv[i][c] = e[i] * s[i] * s[c];
  }
  for (int k = 1; k <= n; ++k) {
    long double r = y(k);
    for (int i = 0; i < m; ++i) r -= ref.cof[i] * z(i + 1, k);
    ref.rss += w(k) * r * r;
  }
  return ref;
}

// A solver and its regressors (about 280 kB): on the heap, off the stack.
struct Solve {
  DerivMatrix z;
  Ortho o;
};

TEST(Ortho, AgreesWithNormalEquationsOnRandomProblems) {
  unsigned seed = 12345;
  auto uniform = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return ((seed >> 8) & 0xffff) / 65536.0;
  };
  const auto t = std::make_unique<Solve>();
  for (auto [n, m] : {std::pair{12, 1}, {40, 5}, {150, 12}, {470, 30}}) {
    LineArray y, w;
    for (int k = 1; k <= n; ++k) {
      for (int i = 1; i <= m; ++i) t->z(i, k) = 2 * uniform() - 1;
      y(k) = 10 * uniform() - 5;
      w(k) = 0.1 + 2 * uniform();
    }
    ASSERT_EQ(t->o.solve(n, m, y, t->z, w), OrthoStatus::done);
    const Ortho& o = t->o;
    const Reference ref = normal_equations(
        n, m, [&](int i, int k) { return t->z(i, k); }, y, w);
    const double ssq = static_cast<double>(ref.rss) / (n - m);
    for (int i = 1; i <= m; ++i) {
      EXPECT_NEAR(o.cof(i), ref.cof[i - 1], 1e-10);
      const double inv_ii = static_cast<double>(ref.inv[i - 1][i - 1]);
      EXPECT_NEAR(o.cs(i), std::sqrt(ssq * inv_ii), 1e-10);
      EXPECT_EQ(o.vcv(m + 1, i), o.cs(i));
      EXPECT_NEAR(o.cv(m + 1, i), std::sqrt(inv_ii), 1e-10);
      EXPECT_EQ(o.cv(i, i), 1.0);
      for (int j = 1; j <= m; ++j) {
        const double inv_ij = static_cast<double>(ref.inv[i - 1][j - 1]);
        EXPECT_NEAR(o.vcv(i, j), ssq * inv_ij, 1e-11);
        EXPECT_NEAR(o.cv(i, j), inv_ij / std::sqrt(inv_ii * ref.inv[j - 1][j - 1]), 1e-10);
      }
    }
  }
}

TEST(Ortho, OneRegressorAndTheZeroWeightDivisor) {
  const auto t = std::make_unique<Solve>();
  Ortho& o = t->o;
  LineArray y, w;
  const double zs[] = {1, 2, 3, 4}, ys[] = {1.5, 1.0, 3.5, 3.0};
  for (int k = 1; k <= 4; ++k) {
    t->z(1, k) = zs[k - 1];
    y(k) = ys[k - 1];
    w(k) = 1;
  }
  EXPECT_EQ(o.solve(4, 1, y, t->z, w), OrthoStatus::done);
  EXPECT_NEAR(o.cof(1), 26.0 / 30, 1e-15);
  EXPECT_EQ(o.cv(1, 1), 1.0);
  EXPECT_NEAR(o.cv(2, 1), 1 / std::sqrt(30.0), 1e-15);
  // An observation of weight 0 changes nothing but the divisor n - m.
  const double cs4 = o.cs(1);
  t->z(1, 5) = 7;
  y(5) = 100;
  w(5) = 0;
  EXPECT_EQ(o.solve(5, 1, y, t->z, w), OrthoStatus::done);
  EXPECT_NEAR(o.cof(1), 26.0 / 30, 1e-15);
  EXPECT_NEAR(o.cs(1), cs4 * std::sqrt(3.0 / 4.0), 1e-15);
}

TEST(Ortho, NearlyParallelRegressorsStayAccurate) {
  // Powers 0 to 9 of x in (0, 1] are close to parallel; one orthogonalisation
  // pass alone loses the coefficients entirely here.
  const auto t = std::make_unique<Solve>();
  LineArray y, w;
  for (int k = 1; k <= 60; ++k) {
    double p = 1;
    y(k) = 0;
    w(k) = 1;
    for (int i = 1; i <= 10; ++i, p *= k / 60.0) {
      t->z(i, k) = p;
      y(k) += p;
    }
  }
  EXPECT_EQ(t->o.solve(60, 10, y, t->z, w), OrthoStatus::done);
  for (int i = 1; i <= 10; ++i) EXPECT_NEAR(t->o.cof(i), 1.0, 1e-8) << i;
}

TEST(Ortho, FailuresLeaveOnlyTheOutputsDoneSoFar) {
  const auto t = std::make_unique<Solve>();
  Ortho& o = t->o;
  DerivMatrix& z = t->z;
  LineArray y, w;
  for (int k = 1; k <= 6; ++k) {
    y(k) = k * k;
    w(k) = k == 6 ? 0 : 1;
  }
  auto untouched = [](const ParamArray& v) { return v(1) == 9 && v(2) == 9 && v(3) == 9; };
  // Fewer observations than regressors.
  o.cof.v.fill(9);
  o.cs.v.fill(9);
  EXPECT_EQ(o.solve(2, 3, y, z, w), OrthoStatus::too_few_data);
  EXPECT_EQ(status_value(OrthoStatus::too_few_data), -1.0);
  EXPECT_TRUE(untouched(o.cof) && untouched(o.cs));
  // A regressor that is zero wherever the weight is not, at every position.
  for (int zero = 1; zero <= 3; ++zero) {
    for (int k = 1; k <= 6; ++k) {
      z(1, k) = 1;
      z(2, k) = k;
      z(3, k) = k * k * k;
      z(zero, k) = k == 6 ? 5 : 0;
    }
    o.vcv(1, 1) = o.cv(1, 1) = 9;
    EXPECT_EQ(o.solve(6, 3, y, z, w), OrthoStatus::zero_norm) << zero;
    EXPECT_TRUE(untouched(o.cof) && untouched(o.cs) && o.vcv(1, 1) == 9 && o.cv(1, 1) == 9);
  }
  // An exact fit with n = m: coefficients written, cv the inverse normal
  // matrix, cs and vcv untouched.
  z(1, 1) = 2, z(2, 1) = 0, z(1, 2) = 0, z(2, 2) = 4;
  y(1) = 6, y(2) = 8;
  EXPECT_EQ(o.solve(2, 2, y, z, w), OrthoStatus::zero_norm);
  EXPECT_EQ(status_value(OrthoStatus::zero_norm), -5.0);
  EXPECT_DOUBLE_EQ(o.cof(1), 3);
  EXPECT_DOUBLE_EQ(o.cof(2), 2);
  EXPECT_DOUBLE_EQ(o.cv(1, 1), 0.25);
  EXPECT_DOUBLE_EQ(o.cv(2, 2), 1.0 / 16);
  EXPECT_TRUE(untouched(o.cs) && o.vcv(1, 1) == 9);
}

// --- Records ----------------------------------------------------------------

TEST(Records, WorkedListingRecords) {
  const std::string report = report_of([] {
    list_start(Name("B0"), 1.9225);
    list_fitted(Name("B0"), 1.9225, 1.923, 0.0005, 0.0001);
    list_held(Name("B0"), 1.9225);
    list_removed(7, Name("B0"));
    list_deviation(120, 12, 0.00123456, 0.0042766);
    // A new value of exactly 0 has no percentage error.
    list_fitted(Name("B0"), 1.9225, 0.0, -1.9225, 0.0001);
  });
  EXPECT_EQ(
      report,
      "                B0            0.1922500E+01\n\n"
      "                B0                   0.1922500E+01   0.1923000E+01   0.5000000E-03  "
      " 0.1000000E-03        0.0052%\n\n"
      "                B0                   0.1922500E+01          PARAMETER HELD CONSTANT\n\n"
      "                         PARAMETER NUMBER    7 (B0   ) REMOVED FROM FIT :- TOO SMALL\n\n"
      "1STANDARD DEVIATION OVER  120 READINGS, FITTING   12 PARAMETERS, IS   0.123456E-02\n"
      " STANDARD DEVIATION OF THE FIT, SQRT(S/(N-M)), IS   0.427660E-02\n"
      "                B0                   0.1922500E+01   0.0000000E+00  -0.1922500E+01  "
      " 0.1000000E-03  ************%\n\n");
}

TEST(Records, WorkedTableRecords) {
  const auto d = std::make_unique<Deck>();
  d->n = 1;
  d->line_block = line_block({{"R V+0", 5}});
  d->w(1) = 1;
  const auto s = std::make_unique<Summary>();
  s->observed(1) = 2150.1234, s->y2(1) = 2150.13;
  std::string list;
  EXPECT_EQ(report_of([&] { write_table(*d, *s); }, &list),
            std::string(9, '\n') +
                "  Branch        J\"      Expt value   Calc value     Diffg         Weight" +
                std::string(30, ' ') + "\n\n\n" +
                "  R V+0          5       2150.1234    2150.1300     0.007     1.0\n" +
                std::string(14, '\n'));
  EXPECT_EQ(list, " R V+0  5  2150.1234\n");
}

TEST(Records, MatrixPrinters) {
  CovMatrix a;
  a(1, 1) = 1.0, a(1, 2) = -0.5, a(1, 3) = 0.123456;
  a(2, 1) = 1.00005, a(2, 2) = 100.0;  // fixed point: too wide, asterisks
  a(3, 1) = -1.5, a(3, 2) = 0.5, a(3, 3) = 12.345678;
  IndexArray idx;
  idx.v.fill(1);
  idx(1) = 2, idx(3) = 3;
  NameArray names;
  names(1) = Name("B0"), names(2) = Name("ALPHA_GROU"), names(3) = Name("D0");
  EXPECT_EQ(report_of([&] { printmat(a, 3, idx, names); }),
            " ALPHA  1.000 -0.500  0.123 \n"
            " B0     1.000 ******  0.000 \n"
            " D0    -.15E+01 0.50E+00 0.12E+02 \n");
  // Beyond 20 values a row goes on in a record of its own, without a name.
  for (int j = 1; j <= 25; ++j) a(1, j) = j / 100.0;
  auto r = lines_of(report_of([&] { printmat(a, 25, idx, names); }));
  ASSERT_EQ(r.size(), 50u);
  std::string row = " ALPHA ", rest;
  for (int j = 1; j <= 25; ++j) {
    char v[16];
    std::snprintf(v, sizeof v, "%6.3f ", j / 100.0);
    (j <= 20 ? row : rest) += v;
  }
  EXPECT_EQ(r[0], row);
  EXPECT_EQ(r[1], rest);
  EXPECT_EQ(r[2].substr(0, 14), " B0     1.000 ");
  // Variances keep their digits; derivatives go column by column.
  a(1, 1) = 1.234567e-9;
  EXPECT_EQ(report_of([&] { printvcv(a, 1, idx, names); }), " ALPHA  0.1234567E-08 \n");
  const auto z = std::make_unique<DerivMatrix>();
  for (int i = 1; i <= 22; ++i) (*z)(i, 1) = -12.345678 * i;
  (*z)(1, 2) = 0.5;
  r = lines_of(report_of([&] {
    zprint(*z, 22, 1);
    zprint(*z, 1, 2);
  }));
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].substr(0, 27), " -.123457E+02 -.246914E+02 ");
  EXPECT_EQ(r[0].size(), 1u + 20 * 13);
  EXPECT_EQ(r[1], "-.259259E+03 -.271605E+03 ");
  EXPECT_EQ(r[2], " -.123457E+02 ");
  EXPECT_EQ(r[3], " 0.500000E+00 ");
}

TEST(Records, MatzClearsTheLeadingElementsOfTheStorage) {
  CovMatrix a;
  a.v.fill(1);
  matz(a.v, 21, 20);
  for (std::size_t k = 0; k < a.v.size(); ++k) EXPECT_EQ(a.v[k], k < 420 ? 0 : 1) << k;
  EXPECT_EQ(a(17, 14), 0);
  EXPECT_EQ(a(18, 14), 1);
}

// --- Refinement -------------------------------------------------------------

// The deck after a refine call, with the summary and what its report wrote
// to fort.26.
struct Refined : Deck {
  std::string report;
  Outcome outcome;
  std::shared_ptr<Summary> s = std::make_shared<Summary>();
};

struct Line {
  std::string label;
  int j;
  double y, w;
};
struct Param {
  const char* name;
  double value;
  int flag;
};

// Refines the given lines and parameters (by position; positions not given
// are held at 0 under the name Cn) in a fresh directory.
Refined run_refine(const std::vector<Line>& lines, const std::map<int, Param>& params, int mu,
                   int ip) {
  Refined r;
  r.n = static_cast<int>(lines.size());
  r.m = params.rbegin()->first;
  r.mu = mu;
  for (int i = 1; i <= r.n; ++i) {
    const Line& l = lines[static_cast<std::size_t>(i - 1)];
    r.line_block.branch(i).assign(l.label);
    r.line_block.jlow(i) = l.j;
    r.y(i) = l.y;
    r.w(i) = l.w;
  }
  for (int i = 1; i <= r.m; ++i) {
    const auto p = params.find(i);
    r.ch(i) = Name(p == params.end() ? "C" + std::to_string(i) : p->second.name);
    if (p != params.end()) r.c(i) = p->second.value, r.ic(i) = p->second.flag;
  }
  r.ip = ip;
  const auto work = std::make_unique<Refinement>();
  const Deck& deck = r;
  std::string before(sizeof deck, '\0');
  std::memcpy(before.data(), &deck, sizeof deck);
  refine(r, *work, *r.s);
  r.outcome = r.s->outcome;
  r.report = report_of([&] { report_refinement(r, *r.s); });
  // Solving reads the deck only.
  EXPECT_EQ(std::memcmp(&deck, before.data(), sizeof deck), 0);
  return r;
}

// name -> old value, new value, correction, standard deviation, from the
// result listing.
std::map<std::string, std::vector<double>> listed(const std::string& report) {
  std::map<std::string, std::vector<double>> out;
  for (const std::string& r : lines_of(report)) {
    if (r.size() < 113 || r[112] != '%') continue;
    std::istringstream in(r.substr(36, 64));
    std::vector<double> v(4);
    in >> v[0] >> v[1] >> v[2] >> v[3];
    std::string name = r.substr(16, 10);
    out[name.substr(0, name.find(' '))] = v;
  }
  return out;
}

// The standard deviations the report gives for the fit: its own, and
// the usual one in the record after it.
double reported_deviation(const std::string& report) {
  const std::size_t at = report.find("1STANDARD DEVIATION OVER");
  return at == std::string::npos ? NAN : std::stod(report.substr(at + 68, 14));
}
double reported_usual_deviation(const std::string& report) {
  const std::string head = "\n STANDARD DEVIATION OF THE FIT, SQRT(S/(N-M)), IS ";
  const std::size_t at = report.find(head);
  return at == std::string::npos ? NAN : std::stod(report.substr(at + head.size(), 14));
}

TEST(Refine, ListsStartingValuesAndStopsWithNothingToFit) {
  // Parameter 2 is flagged but zero: removed before the excited-state heading.
  const Refined r =
      run_refine({{"R V+0", 5, 100, 1}}, {{1, {"B", 1.9, 0}}, {2, {"D", 0.0, 1}}}, 2, 0);
  EXPECT_EQ(
      r.report,
      " INITIAL VALUES OF PARAMETERS\n GROUND STATE:\n\n"
      "                B             0.1900000E+01\n\n"
      "                         PARAMETER NUMBER    2 (D    ) REMOVED FROM FIT :- TOO SMALL\n\n"
      " EXCITED STATE:\n\n"
      "                D             0.0000000E+00\n\n"
      " NO PARAMETERS TO BE FITTED:-EXITING REFINE\n");
  // Flagged but removed: not a prediction run, a fit that could not be made.
  EXPECT_EQ(r.outcome.kind, Outcome::all_removed);
  EXPECT_EQ(why_uncorrected(r.outcome),
            "no parameters to be fitted: every flagged parameter was removed as too small");
  EXPECT_EQ(r.s->removed(2), 1);
  EXPECT_EQ(r.s->y2(1), 0);
  EXPECT_EQ(r.s->y1(1), -1.9 * 30);
  EXPECT_EQ(r.s->cn(1), 1.9);
  EXPECT_EQ(r.s->observed(1), 100);
}

TEST(Refine, EarlyErrorsRestoreTheObservations) {
  // Already fitted: y2 holds the evaluation with the last parameter scaled.
  Refined r =
      run_refine({{"R V+0", 0, 2000, 1}, {"R V+0", 1, 2000, 1}}, {{21, {"ORIGIN", 2000, 1}}}, 1, 0);
  EXPECT_EQ(lines_of(r.report).back(),
            " ERROR:  WEIGHTED OBSERVATIONS ALREADY FIT PERFECTLY-DATA PROBLEM?");
  EXPECT_EQ(r.outcome.kind, Outcome::perfect_fit);
  EXPECT_EQ(why_uncorrected(r.outcome),
            "weighted observations already fit perfectly (data problem?)");
  EXPECT_EQ(r.s->observed(2), 2000);
  EXPECT_EQ(r.s->y2(2), 2000 * 1.00001);
  EXPECT_EQ(r.s->cn(21), 2000);
  // Two parameters, one line of usable weight.
  r = run_refine({{"R V+0", 0, 2001, 1}, {"R V+0", 1, 2003, 5e-5}, {"R V+0", 2, 2009, 0}},
                 {{4, {"B", 1, 1}}, {21, {"ORIGIN", 2000, 1}}}, 1, 0);
  EXPECT_EQ(lines_of(r.report).back(), " ERROR:   INSUFFICIENT DATA FOR NUMBER OF PARAMETERS");
  EXPECT_EQ(r.outcome.kind, Outcome::insufficient_data);
  EXPECT_EQ(why_uncorrected(r.outcome), "insufficient data for number of parameters");
  EXPECT_EQ(r.s->observed(3), 2009);
}

TEST(Refine, SameNumberWarningAndTheCountsOfReadings) {
  // Usable: weights 1 and 0.05; readings: weight 1 only. The line of weight
  // 5e-5 counts in neither but keeps the weighted residual from vanishing.
  const Refined r = run_refine({{"R V+0", 0, 2001, 1},
                                {"R V+0", 1, 2006, 0.05},
                                {"R V+0", 2, 2500, 0},
                                {"R V+0", 3, 2030, 5e-5}},
                               {{4, {"B", 1.1, 1}}, {21, {"ORIGIN", 2000.5, 1}}}, 1, 0);
  EXPECT_NE(r.report.find(" WARNING:SAME NUMBER OF DATA POINTS AS PARAMETERS!!\n"
                          " LEAST SQUARES FITTING COMPLETED\n"),
            std::string::npos);
  EXPECT_NE(r.report.find("1STANDARD DEVIATION OVER    1 READINGS, FITTING    2 PARAMETERS"),
            std::string::npos);
  // The zero-weight line enters the sum times 0; the divisor is nn - mm
  // raised to 1.
  double sum = 0;
  for (int k = 1; k <= 4; ++k) {
    sum += (r.s->y2(k) - r.s->observed(k)) * (r.s->y2(k) - r.s->observed(k)) * r.w(k);
  }
  EXPECT_NEAR(reported_deviation(r.report), std::sqrt(sum), 1e-6 * std::sqrt(sum));
  EXPECT_EQ(r.outcome.kind, Outcome::completed);
  EXPECT_DOUBLE_EQ(r.outcome.deviation, std::sqrt(sum));
  // With N - M taken as 1 the usual figure is the same number.
  EXPECT_NEAR(reported_usual_deviation(r.report), std::sqrt(sum), 1e-6 * std::sqrt(sum));
  EXPECT_DOUBLE_EQ(r.outcome.usual_deviation, std::sqrt(sum));
  EXPECT_EQ(why_uncorrected(r.outcome), "");
  // Every weight, 5e-5 included, enters the solution.
  LineArray resid;
  for (int k = 1; k <= 4; ++k) resid(k) = r.y(k) - r.s->y1(k);
  const Reference ref = normal_equations(
      4, 2, [](int i, int k) { return i == 1 ? k * (k + 1) - 1.0 : 1.0; }, resid, r.w);
  EXPECT_NEAR(r.s->cn(4), 1.1 + static_cast<double>(ref.cof[0]), 1e-7);
  EXPECT_NEAR(r.s->cn(21), 2000.5 + static_cast<double>(ref.cof[1]), 1e-7);
}

TEST(Refine, SolverFailurePrintsEveryMatrixBlock) {
  // Parameter 11 enters no V+0 line: its derivatives vanish. The deviation
  // compares with the positions of the origin's derivative evaluation.
  std::vector<Line> lines;
  for (int j = 0; j < 4; ++j) lines.push_back({"R V+0", j, 2001, 1});
  const Refined r = run_refine(lines, {{11, {"HB", 1e-3, 1}}, {21, {"ORIGIN", 2000, 1}}}, 30, 0);
  std::string tail = r.report.substr(r.report.find("1FAILURE"));
  EXPECT_EQ(tail,
            "1FAILURE IN ORTHO: CHECK= -5.0\n"
            " ZERO DIVIDE IN ORTHO, PROBABLY TRYING TO FIT INVARIATE   ITEM.\n"
            "1STANDARD DEVIATION OVER    4 READINGS, FITTING    2 PARAMETERS, IS   0.980000E+00\n"
            " STANDARD DEVIATION OF THE FIT, SQRT(S/(N-M)), IS   0.138593E+01\n"
            "1VARIANCE-COVARIANCE MATRIX IS:\n\n\n"
            " HB     0.0000000E+00  0.0000000E+00 \n"
            " ORIGI  0.0000000E+00  0.0000000E+00 \n"
            "1JACOBIAN MATRIX OF DERIVATIVES IS :\n\n\n"
            " 0.000000E+00 0.100000E+01 \n 0.000000E+00 0.100000E+01 \n"
            " 0.000000E+00 0.100000E+01 \n 0.000000E+00 0.100000E+01 \n"
            "1CORRELATION MATRIX IS:\n\n\n"
            " HB     0.000  0.000 \n ORIGI  0.000  0.000 \n"
            "1FITTING SUBROUTINE COMPLETED\n1\n");
  EXPECT_EQ(r.outcome.kind, Outcome::solver_failed);
  EXPECT_EQ(r.outcome.status, OrthoStatus::zero_norm);
  EXPECT_NEAR(r.outcome.deviation, 0.98, 1e-9);
  EXPECT_NEAR(r.outcome.usual_deviation, 1.96 / std::sqrt(2.0), 1e-9);
  EXPECT_EQ(why_uncorrected(r.outcome),
            "zero divide in ortho, probably trying to fit an invariant item");
  EXPECT_EQ(r.s->report_level, 3);
  EXPECT_EQ(r.s->cn(11), 1e-3);
  EXPECT_EQ(r.s->y2(4), 2000 * 1.00001);  // the last derivative evaluation
}

TEST(Refine, StrongCorrelationsRaiseTheReportLevel) {
  // Q lines alone barely tell a lower from an upper rotational constant:
  // two such pairs, in bands that share no parameter.
  std::vector<Line> lines;
  for (int j = 10; j <= 22; ++j) {
    lines.push_back({"Q V+0", j, -0.02 * j * (j + 1) - 1.9 + 1e-3 * (j % 3), 1});
    lines.push_back({"Q 4V2", j, -0.03 * j * (j + 1) - 1.8 - 1e-3 * (j % 2), 1});
  }
  const Refined r = run_refine(
      lines,
      {{1, {"B1", 1.92, 1}}, {4, {"BA", 1.9, 1}}, {14, {"BC", 1.8, 1}}, {26, {"B3", 1.83, 1}}}, 4,
      0);
  EXPECT_EQ(count_of(r.report,
                  " WARNING:STRONG CORRELATION BETWEEN SOME PARAMETERS"
                  ":- FULL DIAGNOSTICS FOLLOW.\n\n"),
            2);
  EXPECT_EQ(r.s->report_level, 3);
  const std::string tail = r.report.substr(r.report.find("1VARIANCE-COVARIANCE MATRIX IS:"));
  const auto t = lines_of(tail);
  ASSERT_EQ(t.size(), 3u + 4 + 3 + 26 + 3 + 4 + 2);
  EXPECT_EQ(t[7], "1JACOBIAN MATRIX OF DERIVATIVES IS :");
  EXPECT_EQ(t[36], "1CORRELATION MATRIX IS:");
  EXPECT_EQ(t[39].substr(0, 14), " B1     1.000 ");
  // The variance of B1 is the square of its listed standard deviation.
  const double sd = listed(r.report).at("B1")[3];
  EXPECT_NEAR(std::stod(t[3].substr(7, 14)), sd * sd, 1e-6 * sd * sd);
}

TEST(Refine, ReportLevelsChooseTheBlocks) {
  std::vector<Line> lines;
  for (int j = 1; j <= 5; ++j) {
    lines.push_back({"R V+0", j, 2000 + 3.8 * j + 0.01 * (j % 2), 1});
    lines.push_back({"P V+0", j, 2000 - 3.8 * j - 0.01 * (j % 3), 1});
  }
  const std::map<int, Param> params = {{1, {"B1", 1.9, 1}}, {21, {"ORIGIN", 1999, 1}}};
  const std::size_t plain = lines_of(run_refine(lines, params, 1, 0).report).size();
  for (int ip : {0, 1, 2, 3, -1, 7}) {
    const Refined r = run_refine(lines, params, 1, ip);
    const bool vcv = ip < 0 || ip >= 3, jac = ip < 0 || ip >= 2, cor = ip != 0;
    EXPECT_EQ(count_of(r.report, "1VARIANCE-COVARIANCE MATRIX IS:\n\n\n B1 "), vcv) << ip;
    EXPECT_EQ(
        count_of(r.report, "1JACOBIAN MATRIX OF DERIVATIVES IS :\n\n\n -.200000E+01 0.100000E+01 \n"),
        jac)
        << ip;
    EXPECT_EQ(count_of(r.report, "1CORRELATION MATRIX IS:\n\n\n B1     1.000 "), cor) << ip;
    EXPECT_EQ(r.s->report_level, ip);
    EXPECT_EQ(lines_of(r.report).size(), plain + 5 * vcv + 13 * jac + 5 * cor) << ip;
  }
}

// --- Known constants --------------------------------------------------------

// A line list made from known constants: P, Q and R lines of all five bands at
// every J the term table allows. Parameter 3 is flagged but zero (taken out
// of the fit), the other sextic terms are held; the rest start 0.1 % off.
struct Synthetic {
  int n = 0;
  LineBlock line_block;
  LineArray y, w;
  ParamArray truth, start;
  FlagArray ic;
  NameArray ch;
};

Synthetic synthetic() {
  const Param params[29] = {
      {"B1", 1.922529, 1},     {"D1", 6.12e-6, 1},  {"H1", 0, 1},       {"BA", 1.905012, 1},
      {"DA", 6.21e-6, 1},      {"HA", 2e-11, 0},    {"QA", 1.23e-2, 1}, {"QJA", -3.1e-6, 1},
      {"BB", 1.887104, 1},     {"DB", 6.3e-6, 1},   {"HB", 0, 0},       {"QB", 1.08e-2, 1},
      {"QJB", 2.5e-6, 1},      {"BC", 1.870233, 1}, {"DC", 6.0e-6, 1},  {"HC", 0, 0},
      {"QC", -9.1e-3, 1},      {"QJC", 1.2e-6, 1},  {"GB", -28.73, 1},  {"GC", -52.31, 1},
      {"ORIGIN", 2143.271, 1}, {"B2", 1.9061, 1},   {"D2", 6.15e-6, 1}, {"H2", 0, 0},
      {"G2", -17.5, 1},        {"B3", 1.888, 1},    {"D3", 6.05e-6, 1}, {"H3", 0, 0},
      {"G3", 35.2, 1}};
  Synthetic s;
  for (const char* band : {"V+0", "V+1", "V+2", "2V0", "4V2"}) {
    for (const char* branch : {"P ", "Q ", "R "}) {
      for (int j = branch[0] == 'P'; j <= (branch[0] == 'R' ? 21 : 22); ++j) {
        ++s.n;
        s.line_block.branch(s.n).assign(std::string(branch) + band);
        s.line_block.jlow(s.n) = j;
        s.w(s.n) = s.n % 7 == 0 ? 0.5 : 1.0;
      }
    }
  }
  for (int i = 1; i <= 29; ++i) {
    const Param& p = params[i - 1];
    s.ch(i) = Name(p.name);
    s.truth(i) = p.value;
    s.ic(i) = p.flag;
    s.start(i) = p.flag ? p.value * (i % 2 ? 1.001 : 0.999) : p.value;
  }
  values(s.truth, s.y, s.n, s.line_block);
  return s;
}

std::string deck_text(const Synthetic& s, int mu, int ip) {
  std::string t = std::to_string(s.n) + " 29\n";
  char buf[128];
  for (int k = 1; k <= s.n; ++k) {
    std::snprintf(buf, sizeof buf, "'%s' %d %.17g %.17g\n",
                  std::string(s.line_block.branch(k).trimmed()).c_str(), s.line_block.jlow(k),
                  s.y(k) / kScale, s.w(k));
    t += buf;
  }
  for (int i = 1; i <= 29; ++i) {
    std::snprintf(buf, sizeof buf, "%s %.17g %d\n", std::string(s.ch(i).trimmed()).c_str(),
                  s.start(i), s.ic(i));
    t += buf;
  }
  return t + std::to_string(mu) + " " + std::to_string(ip) + "\n";
}

TEST(KnownConstants, OneCorrectionRecoversThem) {
  const Synthetic s = synthetic();
  const TempDir tmp;
  const std::string& dir = tmp.str();
  const auto out = run_in(dir, BANDFIT_PATH, deck_text(s, 4, 0));
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_EQ(out.out + out.err, "");
  const std::string report = read_file(dir + "/fort.26");
  const auto fitted = listed(report);
  EXPECT_EQ(fitted.size(), 23u);
  for (int i = 1; i <= 29; ++i) {
    const std::string name(s.ch(i).trimmed());
    if (!fitted.count(name)) continue;
    EXPECT_NEAR(fitted.at(name)[1], s.truth(i), 6e-8 * std::fabs(s.truth(i))) << name;
  }
  EXPECT_EQ(count_of(report, "PARAMETER HELD CONSTANT"), 6);
  EXPECT_NE(report.find("PARAMETER NUMBER    3 (H1   ) REMOVED FROM FIT"), std::string::npos);
  // The table: every line calculated where it was observed.
  const auto r = lines_of(report);
  const auto head = std::find(r.begin(), r.end(),
                              "  Branch        J\"      Expt value   Calc value     Diffg       "
                              "  Weight" +
                                  std::string(30, ' '));
  ASSERT_NE(head, r.end());
  ASSERT_EQ(r.end() - head, 3 + s.n + 14);
  EXPECT_TRUE(std::all_of(head - 9, head, [](auto& x) { return x.empty(); }));
  for (int k = 1; k <= s.n; ++k) {
    const std::string& row = head[2 + k];
    EXPECT_EQ(row.substr(50, 7), "  0.000") << row;
    EXPECT_EQ(std::stod(row.substr(24, 10)), std::stod(row.substr(37, 10))) << row;
    EXPECT_EQ(row.substr(2, 6), s.line_block.branch(k).view());
  }
  EXPECT_TRUE(std::all_of(r.end() - 14, r.end(), [](auto& x) { return x.empty(); }));
  const auto list = lines_of(read_file(dir + "/fort.8"));
  ASSERT_EQ(list.size(), static_cast<std::size_t>(s.n));
  EXPECT_EQ(list[0].substr(0, 11), " P V+0  1  ");
  EXPECT_NEAR(std::stod(list[0].substr(11)), s.y(1), 1e-5);
}

// The synthetic lines with up to 0.002 of noise on each position, every
// 13th line of weight 0.05 (counted in the fit, not as a reading).
Synthetic noisy() {
  Synthetic s = synthetic();
  unsigned seed = 99;
  for (int k = 1; k <= s.n; ++k) {
    seed = seed * 1103515245u + 12345u;
    s.y(k) += 0.004 * (((seed >> 8) & 0xffff) / 65536.0 - 0.5);
    if (k % 13 == 0) s.w(k) = 0.05;
  }
  return s;
}

TEST(KnownConstants, NoisyPositionsGiveTheLeastSquaresDeviations) {
  Synthetic s = noisy();
  const LineArray observed = s.y;
  // The model is linear: the unit vector of a parameter gives its derivatives.
  std::vector<int> pos;
  std::vector<LineArray> deriv;
  for (int i = 1; i <= 29; ++i) {
    if (s.ic(i) == 0 || s.start(i) == 0) continue;
    ParamArray e;
    e(i) = 1;
    pos.push_back(i);
    deriv.emplace_back();
    values(e, deriv.back(), s.n, s.line_block);
  }
  const int p = static_cast<int>(pos.size());
  LineArray start_calc, resid;
  values(s.start, start_calc, s.n, s.line_block);
  for (int k = 1; k <= s.n; ++k) resid(k) = observed(k) - start_calc(k);
  const Reference ref = normal_equations(
      s.n, p, [&](int i, int k) { return deriv[static_cast<std::size_t>(i - 1)](k); }, resid, s.w);

  std::vector<Line> lines;
  for (int k = 1; k <= s.n; ++k) {
    lines.push_back(
        {std::string(s.line_block.branch(k).view()), s.line_block.jlow(k), observed(k), s.w(k)});
  }
  std::map<int, Param> params;
  std::vector<std::string> names(30);
  for (int i = 1; i <= 29; ++i) {
    names[i] = std::string(s.ch(i).trimmed());
    params[i] = {names[i].c_str(), s.start(i), s.ic(i)};
  }
  const Refined r = run_refine(lines, params, 4, 0);
  const auto fitted = listed(r.report);
  int readings = 0;
  double sum = 0;
  ParamArray cn = s.start;
  for (int j = 0; j < p; ++j) cn(pos[j]) += static_cast<double>(ref.cof[j]);
  LineArray calc;
  values(cn, calc, s.n, s.line_block);
  for (int k = 1; k <= s.n; ++k) {
    readings += s.w(k) >= 0.1;
    sum += (calc(k) - observed(k)) * (calc(k) - observed(k)) * s.w(k);
  }
  for (int j = 0; j < p; ++j) {
    const double sd = std::sqrt(static_cast<double>(ref.rss / (s.n - p) * ref.inv[j][j]));
    EXPECT_NEAR(r.s->cn(pos[j]), cn(pos[j]), 1e-4 * sd) << names[pos[j]];
    EXPECT_NEAR(fitted.at(names[pos[j]])[3], sd, 1e-6 * sd) << names[pos[j]];
  }
  char want[64];
  std::snprintf(want, sizeof want, "OVER %4d READINGS, FITTING %4d PARAMETERS", readings, p);
  EXPECT_NE(r.report.find(want), std::string::npos);
  const double deviation = std::sqrt(sum) / (readings - p);
  EXPECT_NEAR(reported_deviation(r.report), deviation, 1e-5 * deviation);
  const double usual = std::sqrt(sum / (readings - p));
  EXPECT_NEAR(reported_usual_deviation(r.report), usual, 1e-5 * usual);
  EXPECT_GT(usual / deviation, 15);  // sqrt(N - M): the two figures differ
}

// --- Files for scripts ------------------------------------------------------

using Json = nlohmann::json;

// Runs bandfit on deck in dir with args; the run's outcome.
testing_support::Outcome bandfit_in(const std::string& dir, const std::string& deck,
                                    std::vector<std::string> args) {
  testing_support::Run run;
  run.program = BANDFIT_PATH;
  run.args = std::move(args);
  run.dir = dir;
  run.input = deck;
  return testing_support::run(run);
}

// Whether value rounds to the printed field (fixed or exponent form): it
// lies within half a unit of the field's last digit of the printed value.
::testing::AssertionResult prints_as(double value, const std::string& field) {
  const std::size_t point = field.find('.'), e = field.find('E');
  const int last = e == std::string::npos ? -static_cast<int>(field.size() - point - 1)
                                          : std::stoi(field.substr(e + 1)) -
                                                static_cast<int>(e - point - 1);
  const double printed = std::stod(field);
  if (std::fabs(value - printed) <= 0.5000001 * std::pow(10.0, last)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << value << " does not print as [" << field << "]";
}

// The report's correlation matrix: k rows of k values (continuation records
// included); empty when the report has none.
std::vector<std::vector<double>> printed_correlation(const std::string& report, int k) {
  std::vector<std::vector<double>> rows;
  const auto r = lines_of(report);
  auto at = std::find(r.begin(), r.end(), "1CORRELATION MATRIX IS:");
  if (at == r.end()) return rows;
  at += 3;
  for (int i = 0; i < k; ++i) {
    std::vector<double> row;
    std::istringstream first(at++->substr(7));
    for (double v; first >> v;) row.push_back(v);
    while (static_cast<int>(row.size()) < k) {
      std::istringstream more(*at++);
      for (double v; more >> v;) row.push_back(v);
    }
    rows.push_back(row);
  }
  return rows;
}

// Every value of the results file agrees with the digits the report prints,
// on the golden decks (the capacity deck and report levels 0 to 4, which
// also give the report byte for byte as kept) and on decks that end without
// a correction; only a correction gives the next deck.
TEST(ScriptFiles, ResultsAgreeWithTheReport) {
  const std::string line = "'R V+0' 5 2150.5 1\n", two = line + "'P V+0' 7 2140.25 1\n";
  struct Case {
    std::string golden, deck, outcome;
  };
  const Case cases[] = {
      {"bandfit_capacity", "", "completed"},
      {"bandfit_level0", "", "completed"},
      {"bandfit_level1", "", "completed"},
      {"bandfit_level2", "", "completed"},
      {"bandfit_level3", "", "completed"},
      {"bandfit_level4", "", "completed"},
      {"bandfit_prediction", "", "prediction"},
      {"bandfit_solver_failure", "", "solver_failed"},
      {"", "2 2\n" + line + "'P V+0' 7 2140.25 0\nB 1.9 1\nD 1e-6 1\n1 0\n",
       "insufficient_data"},
      {"", "0 1\nB 1.9 1\n1 0\n", "perfect_fit"},
      {"", "2 2\n" + two + "B 1.9 0\nD 0 1\n1 0\n", "all_removed"},
      {"", "2 1\n'R V+0' 5 2150.5 1e308\n'P V+0' 7 2140.25 1\nB 1.9 1\n1 0\n", "overflow"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.golden + c.outcome);
    const std::string golden = std::string(GOLDEN_DIR) + "/" + c.golden;
    const TempDir tmp;
    const std::string& dir = tmp.str();
    const auto out = bandfit_in(dir, c.golden.empty() ? c.deck : read_file(golden + "/stdin"),
                                {"--results", "r.json", "--deck-out", "next.deck"});
    const std::string report = read_file(dir + "/fort.26");
    if (!c.golden.empty()) {
      EXPECT_EQ(report, read_file(golden + "/expected/fort.26"));
    }
    const bool corrected = c.outcome == "completed";
    EXPECT_EQ(out.exit_status, corrected || c.outcome == "prediction" ? 0 : 1) << out.err;
    EXPECT_EQ(file_exists(dir + "/next.deck"), corrected);
    const Json j = Json::parse(read_file(dir + "/r.json"));
    EXPECT_EQ(j["outcome"], c.outcome);
    EXPECT_EQ(j["program"], "bandfit");
    const auto table = lines_of(report);
    // The listing of a correction, parameter by parameter.
    int fitted = 0;
    for (const Json& p : j["parameters"]) {
      fitted += p["fitted"].get<bool>();
      const std::string name = p["name"];
      // A correction has a value wherever one belongs.
      if (corrected && p["fitted"].get<bool>()) {
        EXPECT_FALSE(p["new"].is_null() || p["correction"].is_null() || p["sd"].is_null())
            << name;
      }
      const auto row = std::find_if(table.begin(), table.end(), [&](const std::string& r) {
        return r.size() >= 113 && r[112] == '%' && r.substr(16, name.size() + 1) == name + " ";
      });
      EXPECT_EQ(row != table.end(), corrected && p["fitted"].get<bool>()) << name;
      if (row == table.end()) continue;
      EXPECT_TRUE(prints_as(p["old"], row->substr(36, 14))) << name;
      EXPECT_TRUE(prints_as(p["new"], row->substr(52, 14))) << name;
      EXPECT_TRUE(prints_as(p["correction"], row->substr(68, 14))) << name;
      EXPECT_TRUE(prints_as(p["sd"], row->substr(84, 14))) << name;
      EXPECT_TRUE(prints_as(p["percentage_error"], row->substr(100, 12))) << name;
    }
    EXPECT_EQ(j["parameters_fitted"], fitted);
    // The standard-deviation records, where the solver was reached.
    const std::size_t sd = report.find("1STANDARD DEVIATION OVER ");
    EXPECT_EQ(sd != std::string::npos, !j["sd_fit"].is_null());
    if (corrected) {
      EXPECT_FALSE(j["sd_fit"].is_null() || j["sd_report"].is_null());
    }
    if (sd != std::string::npos) {
      EXPECT_EQ(std::stoi(report.substr(sd + 25, 4)), j["readings"]);
      EXPECT_TRUE(prints_as(j["sd_report"], report.substr(sd + 68, 14)));
      EXPECT_TRUE(prints_as(j["sd_fit"], report.substr(sd + 134, 14)));
    }
    // The correlation matrix, where the report level asks for it.
    const int k = j["parameters_fitted"];
    const auto printed = printed_correlation(report, k);
    if (corrected && !printed.empty()) {
      EXPECT_EQ(j["correlation"]["names"].size(), static_cast<std::size_t>(k));
      for (int a = 0; a < k; ++a) {
        for (int b = 0; b < k; ++b) {
          EXPECT_NEAR(j["correlation"]["matrix"][a][b].get<double>(), printed[a][b], 5.0001e-4);
        }
      }
    }
    EXPECT_EQ(j["correlation"].is_null(), !corrected);
    // The line table, where a field is not asterisks.
    const auto head = std::find_if(table.begin(), table.end(),
                                   [](const std::string& r) { return r.rfind("  Branch", 0) == 0; });
    ASSERT_NE(head, table.end());
    ASSERT_EQ(j["line_table"].size(), static_cast<std::size_t>(table.end() - head - 17));
    for (std::size_t i = 0; i < j["line_table"].size(); ++i) {
      const Json& l = j["line_table"][i];
      const std::string& row = head[3 + static_cast<std::ptrdiff_t>(i)];
      EXPECT_EQ(row.substr(2, 6).substr(0, l["branch"].get<std::string>().size()), l["branch"]);
      EXPECT_EQ(std::stoi(row.substr(16, 2)), l["J"]);
      const std::pair<const char*, std::string> fields[] = {{"observed", row.substr(24, 10)},
                                                          {"calculated", row.substr(37, 10)},
                                                          {"difference", row.substr(50, 7)},
                                                          {"weight", row.substr(62, 3)}};
      for (const auto& [key, field] : fields) {
        if (field.find('*') == std::string::npos) {
          EXPECT_TRUE(prints_as(l[key], field)) << key;
        }
      }
    }
  }
}

// The next deck on the capacity deck: it reads back to the same lines and
// parameters, its fit corrects by less than a hundredth of a standard
// deviation, and with every flag 0 it predicts the corrected positions.
TEST(ScriptFiles, NextDeckRepeatsTheFit) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  const auto first = bandfit_in(dir, read_file(std::string(GOLDEN_DIR) + "/bandfit_capacity/stdin"),
                                {"--results", "1.json", "--deck-out", "next.deck"});
  ASSERT_EQ(first.exit_status, 0) << first.err;
  const std::string next = read_file(dir + "/next.deck");
  const auto second = bandfit_in(dir, next, {"--results=2.json", "--deck-out=again.deck"});
  ASSERT_EQ(second.exit_status, 0) << second.err;
  const Json j1 = Json::parse(read_file(dir + "/1.json"));
  const Json j2 = Json::parse(read_file(dir + "/2.json"));
  EXPECT_EQ(j2["lines"], 471);
  EXPECT_EQ(j2["report_level"], j1["report_level"]);
  for (std::size_t k = 0; k < j1["line_table"].size(); ++k) {
    for (const char* key : {"branch", "J", "observed", "weight"}) {
      EXPECT_EQ(j2["line_table"][k][key], j1["line_table"][k][key]) << k << key;
    }
  }
  ASSERT_EQ(j2["parameters"].size(), 29u);
  for (std::size_t i = 0; i < 29; ++i) {
    const Json &p1 = j1["parameters"][i], &p2 = j2["parameters"][i];
    EXPECT_EQ(p2["old"], p1["new"]) << i;
    for (const char* key : {"name", "state", "fitted", "removed"}) EXPECT_EQ(p2[key], p1[key]);
    if (p2["fitted"]) {
      EXPECT_LT(std::fabs(p2["correction"].get<double>()), 0.01 * p2["sd"].get<double>())
          << p2["name"];
    }
  }
  // The lines and the closing statement of the next deck are written as read.
  const auto n1 = lines_of(next), n2 = lines_of(read_file(dir + "/again.deck"));
  ASSERT_EQ(n1.size(), 1u + 471 + 29 + 1);
  EXPECT_EQ(std::vector<std::string>(n2.begin(), n2.begin() + 472),
            std::vector<std::string>(n1.begin(), n1.begin() + 472));
  EXPECT_EQ(n2.back(), n1.back());
  // Every flag 0: a prediction run, which makes no next deck.
  std::string prediction;
  for (std::size_t i = 0; i < n1.size(); ++i) {
    std::string r = n1[i];
    if (i > 471 && i < 501) r.back() = '0';
    prediction += r + "\n";
  }
  const auto third = bandfit_in(dir, prediction, {"--results", "3.json", "--deck-out", "3.deck"});
  EXPECT_EQ(third.exit_status, 0) << third.err;
  EXPECT_FALSE(file_exists(dir + "/3.deck"));
  const Json j3 = Json::parse(read_file(dir + "/3.json"));
  EXPECT_EQ(j3["outcome"], "prediction");
  for (std::size_t k = 0; k < j1["line_table"].size(); ++k) {
    EXPECT_EQ(j3["line_table"][k]["predicted"], j1["line_table"][k]["calculated"]) << k;
  }
}

// Names and numbers the deck reader must take back as they were.
TEST(ScriptFiles, NextDeckQuotesWhatWouldNotReadBack) {
  Refined r = run_refine({{"R V+0", 5, 0.1 + 0.2, 1}, {"P V+0", 7, 2140.25, 0.5}},
                         {{1, {"B'1", 1.9, 0}}, {2, {"D 1", 1e-300, 0}}, {3, {"3*H", 5e-324, 0}},
                          {4, {"A,/", 0, 0}}},
                         2, -7);
  r.read_y(1) = 0.1 + 0.2;
  r.read_y(2) = 2140.25;
  EXPECT_EQ(corrected_deck(r, *r.s),
            "2 4\n'R V+0' 5 0.30000000000000004 1\n'P V+0' 7 2140.25 0.5\n"
            "'B''1' 1.9 0\n'D 1' 1e-300 0\n'3*H' 5e-324 0\n'A,/' 0 0\n2 -7\n");
}

// --- The program ------------------------------------------------------------

TEST(Program, TableAndListRecords) {
  // Nothing fitted: the calculated column stays 0.
  const TempDir tmp;
  const std::string& dir = tmp.str();
  const auto out = run_in(dir, BANDFIT_PATH,
                          "3 1\n'R V+0' 5 1000.0 10\n'Q V+0', 3, 50.0, 0.5\n"
                          "\"P 2V0\" 4 2140.25 1 extra words\n B 1.9 0\n2 0\n");
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_EQ(out.out + out.err, "");
  const auto r = lines_of(read_file(dir + "/fort.26"));
  ASSERT_GE(r.size(), 17u);
  EXPECT_EQ(std::vector<std::string>(r.end() - 17, r.end() - 14),
            (std::vector<std::string>{
                "  R V+0          5        999.7923       0.0000   *******     ***",
                "  Q V+0          3         49.9896       0.0000   -49.990     0.5",
                "  P 2V0          4       2139.8055       0.0000   *******     1.0"}));
  EXPECT_EQ(read_file(dir + "/fort.8"),
            " R V+0  5  999.792335\n Q V+0  3  49.9896167\n P 2V0  4  2139.80554\n");
}

TEST(Program, EmptyLineListWritesNoList) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  const auto out = run_in(dir, BANDFIT_PATH, "0 1\nB 1.9 1\n1 0\n");
  EXPECT_EQ(out.exit_status, 1);
  EXPECT_EQ(out.err,
            "bandfit: no correction was made: weighted observations already fit perfectly "
            "(data problem?)\n");
  const std::string report = read_file(dir + "/fort.26");
  // No lines, no residuals: the fit stops as already perfect.
  EXPECT_NE(report.find(" ERROR:  WEIGHTED OBSERVATIONS ALREADY FIT PERFECTLY"), std::string::npos);
  EXPECT_EQ(report.substr(report.size() - 119),
            "  Branch        J\"      Expt value   Calc value     Diffg         Weight" +
                std::string(30, ' ') + "\n\n\n" + std::string(14, '\n'));
  EXPECT_FALSE(file_exists(dir + "/fort.8"));
}

TEST(Program, RefusesDecksItCannotFitBeforeWritingAnything) {
  const std::string ok = "'R V+0' 1 100 1\n";
  const std::string one = "B 1.9 1\n1 0\n";
  const std::pair<std::string, std::string> cases[] = {
      {"2 31\n", "bandfit: deck has 31 parameters; at most 30 can be held\n"},
      {"501 1\n", "bandfit: deck has 501 lines; at most 500 can be fitted\n"},
      {"499 2\n" + repeat(499, ok) + "B 1.9 1\nD 1e-6 1\n1 0\n",
       "bandfit: deck has 499 lines and 2 fitted parameters; together at most 500 can be "
       "fitted\n"},
      {"2 1\n" + ok + "'P V+0' 0 100 1\n" + one,
       "bandfit: line 2: P V+0 at lower J 0 needs the upper term at J -1, outside the term "
       "table (J 0 to 22)\n"},
      {"2 1\n" + ok + "'R 4V2' 22 100 1\n" + one,
       "bandfit: line 2: R 4V2 at lower J 22 needs the upper term at J 23, outside the term "
       "table (J 0 to 22)\n"},
      {"2 1\n" + ok + "'Q V+1' 23 100 1\n" + one,
       "bandfit: line 2: Q V+1 lower J 23 is outside the term table (J 0 to 22)\n"},
      {"2 1\n" + ok + "'Q V+1' -1 100 1\n" + one,
       "bandfit: line 2: Q V+1 lower J -1 is outside the term table (J 0 to 22)\n"},
      {"2 1\n" + ok + "'r V+0' 5 100 1\n" + one,
       "bandfit: line 2: unknown branch label \"r V+0\"\n"},
      {"2 1\n" + ok + "'R V+0' 5 100 -0.5\n" + one, "bandfit: line 2: negative weight -0.5\n"},
  };
  for (const auto& [deck, message] : cases) {
    const TempDir tmp;
    const std::string& dir = tmp.str();
    const auto out = run_in(dir, BANDFIT_PATH, deck);
    EXPECT_EQ(out.exit_status, 1) << message;
    EXPECT_EQ(out.err, message);
    EXPECT_FALSE(file_exists(dir + "/fort.26") || file_exists(dir + "/fort.8")) << message;
  }
  // A flagged parameter of 0 leaves the fit, so it does not count.
  const TempDir tmp;
  const std::string& dir = tmp.str();
  const auto out =
      run_in(dir, BANDFIT_PATH, "499 2\n" + repeat(499, ok) + "B 1.9 1\nD 0 1\n1 0\n");
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_EQ(lines_of(read_file(dir + "/fort.8")).size(), 499u);
}

TEST(Program, MalformedDeckIsFatalBeforeAnyOutput) {
  for (const std::string deck :
       {"1 1\n'R V+0' five 100 1\nB 1.9 1\n1 0\n", "1 1\n'R V+0' 5 100 1\nB 1.9 1\n",
        "1 1\nR V+0 5 100 1\nB 1.9 1\n1 0\n"}) {
    const TempDir tmp;
    const std::string& dir = tmp.str();
    const auto out = run_in(dir, BANDFIT_PATH, deck);
    EXPECT_EQ(out.signal, SIGABRT) << deck;
    EXPECT_NE(out.err.find("apparent state: unit 5"), std::string::npos) << out.err;
    EXPECT_FALSE(file_exists(dir + "/fort.26") || file_exists(dir + "/fort.8")) << deck;
  }
}

// The residual plot of a corrected run, in two formats: a whole file
// exactly at the name given (nothing else left beside it), of the format
// its extension names, with content beyond an empty frame.
TEST(Program, ResidualPlotFiles) {
  const std::string deck = deck_text(noisy(), 4, 0);
  for (const std::string name : {"residuals.png", "Residuals.PDF"}) {
    const TempDir tmp;
    const std::string& dir = tmp.str();
    testing_support::Run run;
    run.program = BANDFIT_PATH;
    run.args = {"--plot", name};
    run.dir = dir;
    run.input = deck;
    const auto out = testing_support::run(run);
    EXPECT_EQ(out.exit_status, 0) << out.err;
    EXPECT_EQ(out.out + out.err, "");
    EXPECT_EQ(names_in(dir), (std::set<std::string>{name, "fort.26", "fort.8"}));
    const std::string file = read_file(dir + "/" + name);
    if (name.ends_with(".png")) {
      ASSERT_GT(file.size(), 24u);
      EXPECT_EQ(file.substr(0, 8), "\x89PNG\r\n\x1a\n");
      EXPECT_EQ(file.substr(12, 4), "IHDR");
      const auto be32 = [&](std::size_t at) {
        return (static_cast<unsigned char>(file[at]) << 24) |
               (static_cast<unsigned char>(file[at + 1]) << 16) |
               (static_cast<unsigned char>(file[at + 2]) << 8) |
               static_cast<unsigned char>(file[at + 3]);
      };
      EXPECT_EQ(be32(16), 800u);  // width
      EXPECT_EQ(be32(20), 600u);  // height
      EXPECT_GT(file.size(), 20000u);  // an empty frame with its labels is about 8 kB
      // Each band's colour is drawn (where ImageMagick is there to look).
      run.program = "/bin/sh";
      run.args = {"-c", "convert " + name + " -unique-colors txt:- 2>/dev/null"};
      run.input.clear();
      const auto colours = testing_support::run(run);
      if (colours.exit_status == 0) {
        for (const char* band : {"#0059CC", "#E67300", "#009940", "#CC1A26", "#8C40B3"}) {
          EXPECT_NE(colours.out.find(band), std::string::npos) << band;
        }
      }
    } else {
      EXPECT_EQ(file.substr(0, 5), "%PDF-");
      EXPECT_NE(file.find("%%EOF", file.size() - 8), std::string::npos);
      EXPECT_GT(file.size(), 10000u);
    }
  }
}

}  // namespace

// The plot lands whole at exactly the name given, however long, or the run
// says why and ends with status 1, an earlier file and no temporary left.
TEST(Program, PlotFileLandsWholeOrNotAtAll) {
  const std::string deck = deck_text(noisy(), 4, 0);
  const TempDir tmp;
  const std::string& dir = tmp.str();
  std::string path = dir;
  while (path.size() + 61 < 411 - 30) path += "/" + std::string(60, 'd');
  std::filesystem::create_directories(path);
  path += "/" + std::string(411 - path.size() - 5, 'r') + ".PNG";
  ASSERT_EQ(path.size(), 411u);
  testing_support::Run run;
  run.program = BANDFIT_PATH;
  run.args = {"--plot", path};
  run.dir = dir;
  run.input = deck;
  const auto landed = testing_support::run(run);
  EXPECT_EQ(landed.exit_status, 0) << landed.err;
  EXPECT_EQ(landed.err, "");
  const std::string png = read_file(path);
  EXPECT_TRUE(recordio::picture_fault("png", png).empty()) << png.size() << " bytes";
  int files = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    files += e.is_regular_file();
  }
  EXPECT_EQ(files, 3);  // the plot, fort.26, fort.8

  // A file-size limit that the plot does not fit under; the limit shows as
  // a failed write said with its reason (EFBIG), not as a signal.
  testing_support::write_file(dir + "/fit.png", "earlier");
  run.program = "/bin/bash";
  run.args = {"-c", "ulimit -f 16; trap '' XFSZ; exec " BANDFIT_PATH " --plot fit.png"};
  const auto cut = testing_support::run(run);
  EXPECT_EQ(cut.exit_status, 1) << cut.err;
  EXPECT_NE(cut.err.find("bandfit: cannot write fit.png: File too large\n"), std::string::npos)
      << cut.err;
  EXPECT_EQ(read_file(dir + "/fit.png"), "earlier");
  std::set<std::string> made;
  for (const auto& e : std::filesystem::directory_iterator(dir)) made.insert(e.path().filename());
  EXPECT_EQ(made, (std::set<std::string>{"fit.png", "fort.26", "fort.8", std::string(60, 'd')}));
}
