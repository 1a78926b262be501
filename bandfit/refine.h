// One weighted least-squares correction of the molecular parameters against
// the observed line positions, with its report blocks on unit 26.
#pragma once

#include <string_view>

#include "bandfit/deck.h"
#include "bandfit/model.h"
#include "bandfit/ortho.h"
#include "bandfit/report.h"

namespace bandfit {

// The working storage of a refinement (about 280 kB, keep it off small
// stacks): the derivative matrix, which parameters are fitted, and the
// solver with its results. After refine it holds what the report showed.
struct Refinement {
  DerivMatrix z;   // z(i, k): derivative of line k's position by fitted parameter i
  IndexArray ii;   // ii(i): position in c of the i-th fitted parameter
  int ij = 0;      // number of fitted parameters
  Ortho ortho;     // corrections cof, their deviations cs, matrices vcv and cv
};

// What a refinement did. The report has already said it.
struct Outcome {
  enum Kind {
    completed,          // parameters corrected: cn and y2 hold the new values
    nothing_to_fit,     // no parameter flagged: a prediction run
    all_removed,        // every flagged parameter removed as too small
    perfect_fit,        // the residuals already vanish
    insufficient_data,  // more fitted parameters than lines of usable weight
    solver_failed,      // the solver ended with status (cn = c)
  };
  Kind kind = completed;
  OrthoStatus status = OrthoStatus::done;  // the solver's status, when it was called
  // The two standard deviations of the fit the report gives (completed,
  // solver_failed): sqrt(S) / (N - M) and the usual sqrt(S / (N - M)), with
  // S the weighted sum of squared differences, N the readings, M the fit
  // flags added up, and N - M taken as 1 when it is not above 0.
  double deviation = 0.0;
  double usual_deviation = 0.0;
};

// Why no correction was made, in lower-case words from the report's own
// reason (e.g. "zero divide in ortho, probably trying to fit an invariant
// item"); empty for a completed fit and for a run with nothing to fit.
std::string_view why_uncorrected(const Outcome& out);

// Makes one correction step on deck d (m <= 30 parameters, n lines,
// n + fitted parameters <= 500), using r for its working storage. Writes
// the starting values, the result listing, the standard deviation,
// correlation warnings and, by report level ip (0 to 3), the matrices to
// unit 26. In d:
//   y:  observed positions; replaced by residuals during the call and
//       restored on every return that gets that far.
//   c:  parameter values; each fitted one is scaled and scaled back.
//   ic: fit flags; a flagged parameter below 1e-12 in magnitude is cleared.
//   cn: new values (equal to c for anything not corrected).
//   y1: positions from c; y2: positions from cn after a completed fit,
//       otherwise what the last model evaluation left there.
//   ip: raised to 3 by a strong correlation or a zero divide in the solver.
Outcome refine(Deck& d, Refinement& r);

// The listing records refine writes, one statement each (each ends with an
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
// A parameter held constant at value.
void list_held(const Name& name, double value);
// The standard deviation of the fit over nn readings and mm parameters as
// designed (sd = sqrt(S) / (nn - mm)), then the record of the usual figure
// (usual = sqrt(S / (nn - mm))); two records, no empty one.
void list_deviation(int nn, int mm, double sd, double usual);

}  // namespace bandfit
