#include "momfit/model/phi2.h"

#include <cmath>
#include <limits>

#include "momfit/blocks.h"
#include "momfit/display.h"
#include "momfit/model/stages.h"
#include "recordio/arrays.h"

namespace momfit {
namespace {

using recordio::Array1;

constexpr int kMarker = 901;
constexpr int kErase = 0;   // background colour
constexpr int kDraw = 14;

// The objective's work arrays: they exist once and keep their contents from
// one call to the next (ncalcprob is the curve now on the plot, erased by the
// next call).
Array1<float, kTable> calcprob;
Array1<float, kTable> calcenergy1;
Array1<float, kTable> calcenergy2;
Array1<float, kMaxLab> rcalcprob1;
Array1<float, kMaxLab> rcalcprob2;
Array1<float, kMaxLab> empty;
Array1<float, kFftLength> tcalcprob;
Array1<float, kMaxLab> ccalcprob;
Array1<float, kMaxLab> ncalcprob;

int iphi = 0;
float phi = 0.0f;

// Masses (mass units), kilograms per mass unit and joules per eV; set afresh
// on every call.
float m1 = 0.0f;
float m2 = 0.0f;
float amu = 0.0f;
float evolt = 0.0f;

// The momentum (kg m/s) at cos(phi) of a fragment pair released with width
// w: sqrt(2 evolt m1 amu mu (w/m1 + E0/m2 + 2 sqrt(e0 w / (m1 m2)) cos(phi))),
// the cross term from the E0 entered at the start (e0), the E0/m2 term from
// the vertex (e0now). Carried in double, stored as float. A negative value
// under either root has no real momentum: the entry is NaN and the result
// false.
bool momentum(float& entry, double w, double e0now, double cosphi, double mu) {
  const double cross = static_cast<double>(two.e0) * w / (static_cast<double>(m1) * m2);
  if (!(cross >= 0.0)) {
    entry = std::numeric_limits<float>::quiet_NaN();
    return false;
  }
  const double bracket = w / m1 + e0now / m2 + 2.0 * std::sqrt(cross) * cosphi;
  const double square = 2.0 * evolt * m1 * amu * mu * bracket;
  if (!(square >= 0.0)) {
    entry = std::numeric_limits<float>::quiet_NaN();
    return false;
  }
  entry = static_cast<float>(std::sqrt(square));
  return true;
}

}  // namespace

float phi2(std::span<const float> x) {
  m1 = 69.92425f;
  m2 = 1.007825f;
  amu = 1.67353e-27f;
  evolt = 1.6021774e-19f;
  const int n = three.nlab;
  for (int i = 1; i <= n; ++i) empty(i) = 0.0f;

  const double w1 = x[0];
  const float w2 = x[1];
  const double beta = x[2];
  const double e0now = x[3];
  // Negative zero counts as zero.
  const bool second = w2 != 0.0f;
  const double mu = static_cast<double>(m1) * m2 / (static_cast<double>(m1) + m2);

  // Angles from -179 degrees to 0 in steps of one degree.
  bool real = true;
  for (iphi = 1; iphi <= kTable; ++iphi) {
    phi = static_cast<float>(static_cast<double>(iphi - 180) * 3.14159f / 180.0f);
    // 1/(2 pi) (1 + beta P2(u)), u the cosine of the angle from pi/2.
    const double u = std::cos(static_cast<double>(1.5708f) - phi);
    calcprob(iphi) = static_cast<float>(static_cast<double>(0.15915507f) *
                                        (1.0 + (0.5 * beta) * (3.0 * u * u - 1.0)));
    const double cosphi = std::cos(static_cast<double>(phi));
    real = momentum(calcenergy1(iphi), w1, e0now, cosphi, mu) && real;
    // The second component is built like the first from W2, so that a W2
    // other than 0.0 adds a genuine second momentum profile, weighted by
    // weight2, rebinned from the same probability table.
    if (second) real = momentum(calcenergy2(iphi), w2, e0now, cosphi, mu) && real;
  }

  if (real) {
    rebin(calcprob.span(), calcenergy1.span(), rcalcprob1.span(), two.labmom.span(), n);
    if (second) {
      rebin(calcprob.span(), calcenergy2.span(), rcalcprob2.span(), two.labmom.span(), n);
      profadd(tcalcprob.span(), rcalcprob1.span(), rcalcprob2.span(), n, two.weight2);
    } else {
      profadd(tcalcprob.span(), rcalcprob1.span(), empty.span(), n, 0.0f);
    }
    convolve(tcalcprob.span(), ccalcprob.span(), two.labmom.span(), three.prof.span(), n,
             three.nprof);
  } else {
    // A momentum that does not exist leaves no model: nothing to scale, and
    // the evaluation's chi-square is +infinity.
    for (int i = 1; i <= n; ++i) ccalcprob(i) = 0.0f;
  }

  display::plot_points(kErase, n, two.labmom.data(), ncalcprob.data(), kMarker);
  const bool scaled = normalise(ccalcprob.span(), ncalcprob.span(), n, two.probmax, two.probbase);
  display::plot_points(kDraw, n, two.labmom.data(), ncalcprob.data(), kMarker);
  return chi2(ncalcprob.span(), x, real && scaled);
}

Phi2Tables phi2_tables() {
  const int n = three.nlab;
  return {calcprob.span(), calcenergy1.span(), calcenergy2.span(),
          ncalcprob.span().first(static_cast<std::size_t>(n))};
}

}  // namespace momfit
