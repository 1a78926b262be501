// One weighted least-squares correction of the molecular parameters against
// the observed line positions, its summary, and its report blocks on unit 26.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "bandfit/deck.h"
#include "bandfit/model.h"
#include "bandfit/ortho.h"
#include "bandfit/report.h"

namespace bandfit {

// The working storage of a refinement (about 150 kB, keep it off small
// stacks): the parameters as the derivative steps leave them, the residuals
// and the solver.
struct Refinement {
  ParamArray cw;  // parameter values, each fitted one scaled and divided back
  LineArray dy;   // observed minus calculated positions
  Ortho ortho;    // corrections cof, their deviations cs, matrices vcv and cv
};

// How a refinement ended.
struct Outcome {
  enum Kind {
    completed,          // parameters corrected: cn and y2 hold the new values
    nothing_to_fit,     // no parameter flagged: a prediction run
    all_removed,        // every flagged parameter removed as too small
    perfect_fit,        // the residuals already vanish
    insufficient_data,  // more fitted parameters than lines of usable weight
    solver_failed,      // the solver ended with status (cn = c)
    overflow,           // a new value, a deviation or the fit's standard
                        // deviation came out not finite (cn = c, y2 = y1)
  };
  Kind kind = completed;
  OrthoStatus status = OrthoStatus::done;  // the solver's status, when it was called
  // The two standard deviations of the fit the report gives (completed,
  // solver_failed): sqrt(S) / (N - M) and the usual sqrt(S / (N - M)), with
  // S the weighted sum of squared differences, N the readings, M the fit
  // flags added up, and N - M taken as 1 when it is not above 0.
  double deviation = 0.0;
  double usual_deviation = 0.0;
  // What overflowed (overflow): the position of the first fitted parameter
  // whose new value (new_value) or else standard deviation is not finite,
  // 0 when only the fit's standard deviation is. And the input the
  // arithmetic could not take, when that can be told: a line whose weighted
  // residual or derivatives square beyond the range of a double, or a
  // parameter whose value (or its derivative step) takes the model there;
  // 0 for none.
  int overflowed = 0;
  bool new_value = false;
  int input_line = 0;
  int input_parameter = 0;
};

// Everything a refinement found, from which every report is written (about
// 170 kB: keep it off small stacks). Filled by refine; what it holds past
// the deck's n lines and m parameters is left over.
struct Summary {
  Outcome outcome;
  // The starting-value stage, always reached.
  FlagArray removed;  // 1 for a flagged parameter taken out as too small
  IndexArray ii;      // ii(i): position in c of the i-th fitted parameter
  ParamArray cn;      // new values (equal to the deck's for anything not corrected)
  int ij = 0;         // number of fitted parameters
  LineArray y1;       // positions calculated from the deck's values
  LineArray y2;       // positions from cn (completed), 0 when nothing was fitted,
                      // y1 after an overflow, else those of the last
                      // derivative step
  // The scaled observed positions as the arithmetic hands them back: taken
  // less y1 for the solver and y1 added again, which may move the last bit.
  LineArray observed;
  // Past the derivatives (every outcome but nothing_to_fit, all_removed).
  DerivMatrix z;             // z(i, k): derivative of line k's position by parameter ii(i)
  bool same_number = false;  // as many fitted parameters as usable lines
  // Past the solver (completed, solver_failed).
  ParamArray correction, sd;  // by parameter position; 0 where not corrected
  int readings = 0;           // lines of weight 0.1 or more (N of the deviation)
  int flags = 0;              // fit flags left after the removals, added up (M)
  CovMatrix vcv, cv;          // the solver's variance-covariance and correlation
  // Pairs (row, column) of the correlation matrix at 0.999 or more in size,
  // in the order of the test; each raises the report level to 3.
  static constexpr std::size_t kPairRoom = kParamRoom * (kParamRoom - 1) / 2;
  std::array<std::array<std::int16_t, 2>, kPairRoom> strong{};
  int strong_count = 0;
  int report_level = 0;  // the deck's, or 3 when raised

  // Whether parameter i took part in the fit (flagged and not removed).
  bool fitted(const Deck& d, int i) const { return d.ic(i) != 0 && removed(i) == 0; }
  // Whether the solver's results stand (solver reached: deviations, matrices).
  bool solved() const {
    return outcome.kind == Outcome::completed || outcome.kind == Outcome::solver_failed;
  }
};

// Why no correction was made, in lower-case words from the report's own
// reason (e.g. "zero divide in ortho, probably trying to fit an invariant
// item"); empty for a completed fit and for a run with nothing to fit.
std::string_view why_uncorrected(const Outcome& out);

// What overflowed and the input that made it, when known, in words: "the
// arithmetic overflowed: the new value of B is not finite; line 1 (R V+0)
// with position 2150.5 and weight 1e+308 is beyond the arithmetic's range".
// For the overflow outcome.
std::string overflow_text(const Deck& d, const Summary& s);

// Makes one correction step on deck d (m <= 30 parameters, n lines,
// n + fitted parameters <= 500), using r for its working storage, and puts
// everything it found in s. Reads d only and writes to no unit.
void refine(const Deck& d, Refinement& r, Summary& s);

// Writes the refinement's blocks of the report to unit 26 from s: the
// starting values, the stop or the result listing, the standard deviation,
// correlation warnings and, by the report level, the matrices.
void report_refinement(const Deck& d, const Summary& s);

// The listing records of the report, one statement each (each ends with an
// empty record except the standard-deviation record).
// Starting value of one parameter.
void list_start(const Name& name, double value);
// A flagged parameter number i taken out of the fit for being too small.
void list_removed(int i, const Name& name);
// A fitted parameter: old and new value, correction and its standard
// deviation, and the percentage error |100 sd / new| (asterisks when the new
// value is exactly 0, where the percentage has no value).
void list_fitted(const Name& name, double old_value, double new_value, double correction,
                 double sd);
// |100 sd / new_value|; NaN when new_value is exactly 0.
double percentage_error(double sd, double new_value);
// A parameter held constant at value.
void list_held(const Name& name, double value);
// The standard deviation of the fit over nn readings and mm parameters as
// the report has always given it (sd = sqrt(S) / (nn - mm)), then the record
// of the usual figure (usual = sqrt(S / (nn - mm))); two records, no empty
// one.
void list_deviation(int nn, int mm, double sd, double usual);

}  // namespace bandfit
