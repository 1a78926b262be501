// Writes synthetic inputs for a momfit demonstration into the current
// directory: "demo_lab.dat", a momentum distribution computed from the
// model's physics at known parameters (convolved with a Gaussian response,
// scaled onto a flat base, with a little deterministic noise), and
// "newintrin_red", that Gaussian response in wrap-around order.
//
// The known parameters are printed on standard output so that a fit can be
// checked against them. With the argument "--no-noise" the data are exact;
// with "--seed N" the noise is another sequence (many files for a benchmark);
// with "--masses M1 M2" the fragment pair has those masses (in the model's
// mass unit, 1.67353e-27 kg, the mass of 1H; not u) instead of
// the model's default ones, and the momenta span the range that pair
// reaches, with a margin on each side, instead of 7.22E-21 to 7.28E-21.
//
// For a study of coverage: "--truth W1 BETA E0" makes the data at other
// parameters, "--points N" gives N points (at most 1000) over the same
// range, and "--sigma S" adds Gaussian noise of standard deviation S to
// every point, the first included, drawn from --seed (in place of the
// demo's small uniform noise). The cross term of the momentum is always
// the law of cosines at the one true E0.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <vector>

namespace {

// The true parameters of the demo (unless --truth) and the layout of its data.
double true_w1 = 1.0;     // eV
double true_beta = 0.5;
double true_e0 = 1422.0;  // eV
constexpr int kPoints = 300;
constexpr int kMostPoints = 1000;  // what momfit reads
constexpr double kFirstMomentum = 7.22e-21;  // kg m/s
constexpr double kLastMomentum = 7.28e-21;
constexpr double kBase = 50.0;   // the flat level left and right of the peak
constexpr double kTop = 1000.0;  // the largest value
constexpr double kNoise = 4.0;   // largest deviation added to a point
constexpr int kHalfWidth = 12;   // response lags -12..12
constexpr double kSigma = 4.0;   // response width, in lab points

// The model's constants: mass unit (kg) and electron-volt; the masses in
// that unit, the default ones unless given.
constexpr double kMassUnit = 1.67353e-27, kEvolt = 1.6021774e-19;
double m1 = 69.92425, m2 = 1.007825;

// The momentum at the cosine c of the emission angle.
double momentum_at(double c) {
  const double mu = m1 * m2 / (m1 + m2);
  const double bracket = true_w1 / m1 + true_e0 / m2 + 2.0 * std::sqrt(true_e0 * true_w1 / (m1 * m2)) * c;
  return std::sqrt(2.0 * kEvolt * m1 * kMassUnit * mu * bracket);
}

// The angular distribution at the momentum p: the angle phi in [-pi, 0] at
// which the two-body momentum equals p, and 1 + beta P2(sin phi) there, over
// 2 pi. Zero where no angle gives p.
double angular_probability(double p) {
  const double mu = m1 * m2 / (m1 + m2);
  const double bracket = p * p / (2.0 * kEvolt * m1 * kMassUnit * mu);
  const double cross = 2.0 * std::sqrt(true_e0 * true_w1 / (m1 * m2));
  const double c = (bracket - true_w1 / m1 - true_e0 / m2) / cross;
  if (c < -1.0 || c > 1.0) return 0.0;
  const double u = std::sin(-std::acos(c));  // cos(pi/2 - phi)
  return (1.0 + true_beta * 0.5 * (3.0 * u * u - 1.0)) / (2.0 * M_PI);
}

// A small deterministic generator, so the demo data are the same every time.
double noise(unsigned& state) {
  state = state * 1664525u + 1013904223u;
  return kNoise * (2.0 * (state >> 8) / double(1u << 24) - 1.0);
}

}  // namespace

int main(int argc, char** argv) {
  bool noisy = true, masses = false;
  unsigned seed = 0;
  int points = kPoints;
  double sigma = 0.0;  // 0: the demo's uniform noise
  double first = kFirstMomentum, last = kLastMomentum;
  for (int a = 1; a < argc; ++a) {
    const std::string_view arg = argv[a];
    if (arg == "--no-noise") {
      noisy = false;
    } else if (arg == "--seed" && a + 1 < argc) {
      seed = static_cast<unsigned>(std::strtoul(argv[++a], nullptr, 10));
    } else if (arg == "--truth" && a + 3 < argc) {
      true_w1 = std::atof(argv[a + 1]);
      true_beta = std::atof(argv[a + 2]);
      true_e0 = std::atof(argv[a + 3]);
      a += 3;
      if (!(true_w1 > 0.0 && true_e0 > 0.0 && true_beta >= -1.0 && true_beta <= 2.0)) {
        std::fprintf(stderr, "make_data: --truth needs W1 > 0, beta in [-1, 2] and E0 > 0\n");
        return 2;
      }
    } else if (arg == "--points" && a + 1 < argc) {
      points = std::atoi(argv[++a]);
      if (points < 2 || points > kMostPoints) {
        std::fprintf(stderr, "make_data: --points needs 2 to %d\n", kMostPoints);
        return 2;
      }
    } else if (arg == "--sigma" && a + 1 < argc) {
      sigma = std::atof(argv[++a]);
      if (!(sigma > 0.0)) {
        std::fprintf(stderr, "make_data: --sigma needs a positive number\n");
        return 2;
      }
    } else if (arg == "--masses" && a + 2 < argc) {
      m1 = std::atof(argv[a + 1]);
      m2 = std::atof(argv[a + 2]);
      a += 2;
      masses = true;
      if (!(m1 > 0.0 && m2 > 0.0)) {
        std::fprintf(stderr, "make_data: --masses needs two positive masses\n");
        return 2;
      }
      // The pair's range, widened by 15 % on each side as the fixed
      // window widens the default pair's.
      const double lo = momentum_at(-1.0), hi = momentum_at(1.0);
      first = lo - 0.15 * (hi - lo);
      last = hi + 0.15 * (hi - lo);
    } else {
      std::fprintf(stderr,
                   "usage: make_data [--no-noise] [--seed N] [--masses M1 M2] "
                   "[--truth W1 BETA E0] [--points N] [--sigma S]\n");
      return 2;
    }
  }
  std::vector<double> momentum(points), model(points), smooth(points, 0.0);
  for (int i = 0; i < points; ++i) {
    momentum[i] = first + (last - first) * i / (points - 1);
    model[i] = angular_probability(momentum[i]);
  }
  std::vector<double> response(2 * kHalfWidth + 1);
  for (int lag = -kHalfWidth; lag <= kHalfWidth; ++lag) {
    response[lag + kHalfWidth] = std::exp(-0.5 * lag * lag / (kSigma * kSigma));
  }
  double largest = 0.0;
  for (int i = 0; i < points; ++i) {
    for (int lag = -kHalfWidth; lag <= kHalfWidth; ++lag) {
      if (i - lag >= 0 && i - lag < points) {
        smooth[i] += response[lag + kHalfWidth] * model[i - lag];
      }
    }
    if (smooth[i] > largest) largest = smooth[i];
  }

  std::FILE* lab = std::fopen("demo_lab.dat", "w");
  std::FILE* prof = std::fopen("newintrin_red", "w");
  if (lab == nullptr || prof == nullptr) {
    std::perror("make_data");
    return 1;
  }
  unsigned state = 12345u + 7919u * seed;  // seed 0: the demo's own sequence
  std::mt19937 gauss_state(seed);
  std::normal_distribution<double> gauss(0.0, sigma > 0.0 ? sigma : 1.0);
  for (int i = 0; i < points; ++i) {
    double value = kBase + (kTop - kBase) * smooth[i] / largest;
    if (noisy && sigma > 0.0) {
      value += gauss(gauss_state);
    } else if (noisy && i > 0) {
      value += noise(state);  // the first value is the base itself
    }
    std::fprintf(lab, "%.6e %.3f\n", momentum[i], value);
  }
  // Lags 0, 1, .., kHalfWidth, then -kHalfWidth, .., -1: the wrap-around order.
  for (int lag = 0; lag <= kHalfWidth; ++lag) {
    std::fprintf(prof, "%.6f\n", response[lag + kHalfWidth]);
  }
  for (int lag = -kHalfWidth; lag <= -1; ++lag) {
    std::fprintf(prof, "%.6f\n", response[lag + kHalfWidth]);
  }
  if (std::fclose(lab) != 0 || std::fclose(prof) != 0) {
    std::perror("make_data");
    return 1;
  }
  std::printf("true values: W1 = %g eV, beta = %g, E0 = %g eV\n", true_w1, true_beta, true_e0);
  if (masses) std::printf("masses: %g, %g (mass unit 1.67353e-27 kg)\n", m1, m2);
  return 0;
}
