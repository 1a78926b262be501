// One weighted least-squares correction of the molecular parameters against
// the observed line positions, with its report blocks on unit 26.
#pragma once

#include "bandfit/model.h"

namespace bandfit {

// Makes one correction step for m parameters (m <= 30) and n lines
// (n + fitted parameters <= 500). Writes the starting values, the result
// listing, the standard deviation, correlation warnings and, by report level
// ip (0 to 3), the matrices to unit 26.
//   y:  observed positions; replaced by residuals during the call and
//       restored on every return that gets that far.
//   c:  parameter values; each fitted one is scaled and scaled back.
//   ic: fit flags; a flagged parameter below 1e-12 in magnitude is cleared.
//   cn: new values (equal to c for anything not corrected).
//   y1: positions from c; y2: positions from cn after a completed fit,
//       otherwise what the last model evaluation left there.
//   ip: raised to 3 by a strong correlation or a zero divide in the solver.
// Reads jlow and branch from line_block.
void refine(int m, int n, const LineArray& w, LineArray& y, ParamArray& c, FlagArray& ic,
            const NameArray& ch, int mu, ParamArray& cn, LineArray& y1, LineArray& y2,
            int& ip);

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
// The standard deviation of the fit over nn readings and mm parameters.
void list_deviation(int nn, int mm, double sd);

}  // namespace bandfit
