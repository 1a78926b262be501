#include "momfit/model/phi2.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "momfit/numeric/outcome.h"

namespace momfit {

// The angles run from -179 degrees (iphi = 1) to 0 in steps of one degree.
// Everything that depends on the angle alone is worked out here, once, by the
// very expressions an evaluation used to evaluate at every call (the same
// operations on the same operands, so the same bits): phi in float, u =
// cos(1.5708 - phi) and cos(phi) in double, and 3 u u - 1 as (3 u) u - 1.
Objective::Objective(FitState& state, EvaluationObserver* observer)
    : s_(state), observer_(observer) {
  for (int iphi = 1; iphi <= kTable; ++iphi) {
    const auto phi = static_cast<float>(static_cast<double>(iphi - 180) * 3.14159f / 180.0f);
    const double u = std::cos(static_cast<double>(1.5708f) - phi);
    const auto k = static_cast<std::size_t>(iphi - 1);
    legendre_[k] = 3.0 * u * u - 1.0;
    cosphi_[k] = std::cos(static_cast<double>(phi));
  }
}

// sqrt(2 evolt m1 amu mu (w/m1 + E0/m2 + 2 sqrt(e0 w / (m1 m2)) cos(phi))),
// the cross term from the E0 entered at the start (e0, kept on purpose: not
// the vertex's) unless Cross::fitted, the E0/m2 term from the vertex (e0now). Carried in double,
// stored as float. A negative value under either root has no real momentum:
// the entry is NaN and the result false. The parts that do not depend on the angle are formed once per
// table, as the left-to-right evaluation of the whole expression forms them:
// (w/m1 + e0now/m2) + (2 sqrt(cross)) cos(phi), and the factor
// (((2 evolt) m1) amu) mu before the bracket.
bool Objective::momenta(std::span<float> table, double w, double e0now, double mu) const {
  // Kilograms per mass unit (FitConfig::mass_unit, 1.67353e-27 unless
  // chosen), and joules per eV.
  const float amu = s_.config.mass_unit;
  constexpr float kEvolt = 1.6021774e-19f;
  const float m1 = s_.config.m1;
  const float m2 = s_.config.m2;
  const double e0cross = s_.config.cross == Cross::fitted ? e0now : static_cast<double>(s_.two.e0);
  const double cross = e0cross * w / (static_cast<double>(m1) * m2);
  if (!(cross >= 0.0)) {
    std::fill_n(table.begin(), kTable, std::numeric_limits<float>::quiet_NaN());
    return false;
  }
  const double base = w / m1 + e0now / m2;
  const double slope = 2.0 * std::sqrt(cross);
  const double factor = 2.0 * kEvolt * m1 * amu * mu;
  bool real = true;
  for (std::size_t k = 0; k < kTable; ++k) {
    const double square = factor * (base + slope * cosphi_[k]);
    if (square >= 0.0) {
      table[k] = static_cast<float>(std::sqrt(square));
    } else {
      table[k] = std::numeric_limits<float>::quiet_NaN();
      real = false;
    }
  }
  return real;
}

// One "failure in polint" for each interpolation that met equal abscissae.
void Objective::report(int failures) {
  if (observer_ == nullptr) return;
  for (int k = 0; k < failures; ++k) observer_->trouble(pause_text(Outcome::equal_abscissae));
}

float Objective::operator()(std::span<const float> x) {
  const LabData& two = s_.two;
  const CountsAndProfile& three = s_.three;
  const float m1 = s_.config.m1;
  const float m2 = s_.config.m2;
  const int n = three.nlab;
  for (int i = 1; i <= n; ++i) empty_(i) = 0.0f;

  const double w1 = x[0];
  const float w2 = x[1];
  const double beta = x[2];
  const double e0now = x[3];
  // Negative zero counts as zero.
  const bool second = w2 != 0.0f;
  const double mu = static_cast<double>(m1) * m2 / (static_cast<double>(m1) + m2);

  // 1/(2 pi) (1 + beta P2(u)) at each angle, and the momenta. The second
  // component is built like the first from W2, so that a W2 other than 0.0
  // adds a genuine second momentum profile, weighted by weight2, rebinned
  // from the same probability table.
  const double half_beta = 0.5 * beta;
  for (std::size_t k = 0; k < kTable; ++k) {
    calcprob_.v[k] =
        static_cast<float>(static_cast<double>(0.15915507f) * (1.0 + half_beta * legendre_[k]));
  }
  bool real = momenta(calcenergy1_.span(), w1, e0now, mu);
  if (second) real = momenta(calcenergy2_.span(), w2, e0now, mu) && real;

  if (real) {
    report(rebin(calcprob_.span(), calcenergy1_.span(), rcalcprob1_.span(), two.labmom.span(), n));
    if (second) {
      report(
          rebin(calcprob_.span(), calcenergy2_.span(), rcalcprob2_.span(), two.labmom.span(), n));
      profadd(tcalcprob_.span(), rcalcprob1_.span(), rcalcprob2_.span(), n, two.weight2);
    } else {
      profadd(tcalcprob_.span(), rcalcprob1_.span(), empty_.span(), n, 0.0f);
    }
    convolve(tcalcprob_.span(), ccalcprob_.span(), three.prof.span(), n, three.nprof, work_);
  } else {
    // A momentum that does not exist leaves no model: nothing to scale, and
    // the evaluation's chi-square is +infinity.
    for (int i = 1; i <= n; ++i) ccalcprob_(i) = 0.0f;
  }

  const auto points = static_cast<std::size_t>(n);
  const std::span<const float> lab = two.labmom.span().first(points);
  if (observer_ != nullptr) observer_->erase_curve(lab, ncalcprob_.span().first(points));
  bool scaled = true;
  if (s_.config.scale == Scale::designed) {
    scaled = normalise(ccalcprob_.span(), ncalcprob_.span(), n, two.probmax, two.probbase);
  } else {
    const Fitted how =
        fit_scale(ccalcprob_.span(), two.labprob.span(), ncalcprob_.span(), n, line_);
    scaled = how == Fitted::ok;
    // A model wholly outside the lab range is unusable without a word, as
    // with the designed scale; a flat one inside it is said.
    if (how == Fitted::flat && real && observer_ != nullptr) {
      observer_->trouble("the model is flat over the lab momenta, so no base and factor fit it; "
                         "this evaluation counts as infinite");
    }
  }
  if (observer_ != nullptr) observer_->draw_curve(lab, ncalcprob_.span().first(points));
  const float value = chi2(ncalcprob_.span(), x, s_, real && scaled);
  if (observer_ != nullptr) observer_->evaluated(x, value, s_.one);
  return value;
}

Scaling Objective::scaling() const {
  if (s_.config.scale == Scale::fitted) return line_;
  const int n = s_.three.nlab;
  float calcmax = 0.0f;
  for (int i = 1; i <= n; ++i) calcmax = std::max(calcmax, ccalcprob_(i));
  const double base = s_.two.probbase;
  return {base, calcmax > 0.0f ? (s_.two.probmax - base) / calcmax : 0.0};
}

Phi2Tables Objective::tables() const {
  const auto n = static_cast<std::size_t>(s_.three.nlab);
  return {calcprob_.span(), calcenergy1_.span(), calcenergy2_.span(),
          ncalcprob_.span().first(n)};
}

}  // namespace momfit
