#include "bandfit/refine.h"

#include <cmath>

#include "recordio/recordio.h"

namespace bandfit {
namespace {

void write(std::string_view format, std::initializer_list<recordio::Item> items = {}) {
  recordio::write_formatted(kReport, format, items);
}

// Clears the calculated positions, the results and the matrices. The two
// counts given to matz clear the leading 8000 elements of z and 420 of cv
// and vcv, not their whole storage.
void clear(Deck& d, Refinement& r) {
  for (int k = 1; k <= d.n; ++k) {
    d.y1(k) = 0.0;
    d.y2(k) = 0.0;
  }
  for (int i = 1; i <= d.m; ++i) {
    r.ortho.cs(i) = 0.0;
    r.ortho.cof(i) = 0.0;
    r.ii(i) = 0;
    d.cn(i) = d.c(i);
  }
  matz(r.z.v, 20, 400);
  matz(r.ortho.cv.v, 21, 20);
  matz(r.ortho.vcv.v, 21, 20);
  r.ij = 0;
}

// Lists the starting values and picks the fitted parameters (ii, ij); a
// flagged parameter too small to scale is reported and its flag cleared.
// Returns how many were removed so.
int list_starting_values(Deck& d, Refinement& r) {
  constexpr double kTooSmall = 1e-12;
  int removed = 0;
  write("(' INITIAL VALUES OF PARAMETERS',/,' GROUND STATE:',/)");
  for (int i = 1; i <= d.m; ++i) {
    if (d.ic(i) != 0) {
      if (std::fabs(d.c(i)) < kTooSmall) {
        list_removed(i, d.ch(i));
        d.ic(i) = 0;
        ++removed;
      } else {
        ++r.ij;
        r.ii(r.ij) = i;
      }
    }
    if (i == d.mu) write("(' EXCITED STATE:',/)");
    list_start(d.ch(i), d.c(i));
  }
  return removed;
}

// z = forward differences over a step of 1e-5 times each fitted value; the
// value is divided back rather than restored from a copy. Leaves in y2 the
// positions of the last scaled evaluation.
void take_derivatives(Deck& d, Refinement& r) {
  constexpr double kStep = 1.00001;
  constexpr double kInverseStep = 100000;  // 1 / (kStep - 1)
  for (int i = 1; i <= r.ij; ++i) {
    const int j = r.ii(i);
    d.c(j) = d.c(j) * kStep;
    values(d.c, d.y2, d.n, d.line_block);
    d.c(j) = d.c(j) / kStep;
    for (int k = 1; k <= d.n; ++k) r.z(i, k) = (d.y2(k) - d.y1(k)) * kInverseStep / d.c(j);
  }
}

// Replaces y by the residuals y - y1; returns the sum of their magnitudes
// (unweighted, over every line).
double form_residuals(Deck& d) {
  double sumch = 0.0;
  for (int k = 1; k <= d.n; ++k) {
    d.y(k) = d.y(k) - d.y1(k);
    sumch = sumch + std::fabs(d.y(k));
  }
  return sumch;
}

void restore_observed(Deck& d) {
  for (int k = 1; k <= d.n; ++k) d.y(k) = d.y(k) + d.y1(k);
}

// Lines whose weight is large enough to count as data.
int usable_lines(const Deck& d) {
  constexpr double kUsableWeight = 1e-4;
  int ntt = d.n;
  for (int k = 1; k <= d.n; ++k) {
    if (d.w(k) < kUsableWeight) --ntt;
  }
  return ntt;
}

// After a successful solve: cn = c + corrections, listed with every held
// parameter, and y2 calculated from cn.
void list_new_values(Deck& d, const Refinement& r) {
  write(
      "(' LEAST SQUARES FITTING COMPLETED',/,'1',15x,'PARAMETER',12x,'OLD VALUE',7x,'NEW VALUE',7x,'DIFFERENCE',6x,'STANDARD DEV.',5x,'PERCENTAGE ERROR',/,/,'  GROUND STATE:',/)");
  int j = 0;
  for (int i = 1; i <= d.m; ++i) {
    if (i == d.mu) write("(' EXCITED STATE:',/)");
    if (d.ic(i) != 0) {
      ++j;
      d.cn(i) = d.c(i) + r.ortho.cof(j);
      list_fitted(d.ch(i), d.c(i), d.cn(i), r.ortho.cof(j), r.ortho.cs(j));
    } else {
      list_held(d.ch(i), d.c(i));
    }
  }
  values(d.cn, d.y2, d.n, d.line_block);
}

// The solver's failure; a vanished norm also asks for every diagnostic.
void report_failure(OrthoStatus status, std::int32_t& ip) {
  write("('1FAILURE IN ORTHO: CHECK=',f5.1)", {status_value(status)});
  if (status == OrthoStatus::zero_norm) {
    write("(' ZERO DIVIDE IN ORTHO, PROBABLY TRYING TO FIT INVARIATE   ITEM.')");
    ip = 3;
  }
}

// Restores y, then writes the two standard deviations of the fit and puts
// them in out. S is the weighted sum of squared differences between y2 and
// y; the divisor is the readings (lines of weight at least 0.1) less the
// fitted parameters, at least 1. The designed figure divides the root of S
// by that count itself; the usual one takes the root of S over the count.
void fit_deviation(Deck& d, Outcome& out) {
  constexpr double kReadingWeight = 0.1;
  int nn = d.n;
  double sum = 0.0;
  for (int k = 1; k <= d.n; ++k) {
    if (d.w(k) < kReadingWeight) --nn;
    d.y(k) = d.y(k) + d.y1(k);
    const double diff = d.y2(k) - d.y(k);
    sum = sum + diff * diff * d.w(k);
  }
  int mm = 0;
  for (int i = 1; i <= d.m; ++i) mm += d.ic(i);
  const int nnn = nn - mm > 0 ? nn - mm : 1;
  out.deviation = std::sqrt(sum) / nnn;
  out.usual_deviation = std::sqrt(sum / nnn);
  list_deviation(nn, mm, out.deviation, out.usual_deviation);
}

// One warning per strongly correlated pair; any such pair asks for every
// diagnostic.
void warn_correlations(const Refinement& r, std::int32_t& ip) {
  constexpr double kStrongCorrelation = 0.999;
  for (int jjj = 2; jjj <= r.ij; ++jjj) {
    for (int kkk = 1; kkk < jjj; ++kkk) {
      if (std::fabs(r.ortho.cv(jjj, kkk)) >= kStrongCorrelation) {
        write(
            "(' WARNING:STRONG CORRELATION BETWEEN SOME PARAMETERS',':- FULL DIAGNOSTICS FOLLOW.',/)");
        ip = 3;
      }
    }
  }
}

// The matrices the report level asks for, then the closing line. Each level
// adds its block in front of the ones below it.
void write_matrices(const Deck& d, const Refinement& r) {
  if (d.ip < 0 || d.ip >= 3) {
    write("('1VARIANCE-COVARIANCE MATRIX IS:',/,/)");
    printvcv(r.ortho.vcv, r.ij, r.ii, d.ch);
  }
  if (d.ip < 0 || d.ip >= 2) {
    write("('1JACOBIAN MATRIX OF DERIVATIVES IS :',/,/)");
    zprint(r.z, r.ij, d.n);
  }
  if (d.ip != 0) {
    write("('1CORRELATION MATRIX IS:',/,/)");
    printmat(r.ortho.cv, r.ij, r.ii, d.ch);
  }
  write("('1FITTING SUBROUTINE COMPLETED',/,'1')");
}

}  // namespace

void list_start(const Name& name, double value) {
  write("(' ',15x,1a10,3x,e14.7,/)", {name.view(), value});
}

void list_removed(int i, const Name& name) {
  write("(25x,'PARAMETER NUMBER ',i4,' (',1a5,') REMOVED FROM FIT ',':- TOO SMALL',/)",
        {i, name.view()});
}

void list_fitted(const Name& name, double old_value, double new_value, double correction,
                 double sd) {
  if (new_value == 0.0) {
    // The percentage error would divide by zero: fill its field instead.
    write("(' ',15x,1a10,10x,4(e14.7,2x),'************','%',/)",
          {name.view(), old_value, new_value, correction, sd});
    return;
  }
  const double cper = std::fabs(100 * sd / new_value);
  write("(' ',15x,1a10,10x,4(e14.7,2x),f12.4,'%',/)",
        {name.view(), old_value, new_value, correction, sd, cper});
}

void list_held(const Name& name, double value) {
  write("(' ',15x,1a10,10x,e14.7,10x,'PARAMETER HELD CONSTANT',/)", {name.view(), value});
}

void list_deviation(int readings, int parameters, double sd, double usual) {
  write("('1STANDARD DEVIATION OVER ',i4,' READINGS, ','FITTING ',i4,' PARAMETERS, IS ',e14.6)",
        {readings, parameters, sd});
  write("(' STANDARD DEVIATION OF THE FIT, SQRT(S/(N-M)), IS ',e14.6)", {usual});
}

std::string_view why_uncorrected(const Outcome& out) {
  switch (out.kind) {
    case Outcome::completed:
    case Outcome::nothing_to_fit:
      return {};
    case Outcome::all_removed:
      return "no parameters to be fitted: every flagged parameter was removed as too small";
    case Outcome::perfect_fit:
      return "weighted observations already fit perfectly (data problem?)";
    case Outcome::insufficient_data:
      return "insufficient data for number of parameters";
    case Outcome::solver_failed:
      if (out.status == OrthoStatus::zero_norm) {
        return "zero divide in ortho, probably trying to fit an invariant item";
      }
      return "failure in ortho, fewer lines than parameters";
  }
  return {};
}

Outcome refine(Deck& d, Refinement& r) {
  constexpr double kPerfectFit = 1e-9;
  clear(d, r);
  const int removed = list_starting_values(d, r);
  values(d.c, d.y1, d.n, d.line_block);
  if (r.ij <= 0) {
    write("(' NO PARAMETERS TO BE FITTED:-EXITING REFINE')");
    // Every flag 0 is a prediction run; flagged parameters all removed as
    // too small is a fit that could not be made.
    return {removed > 0 ? Outcome::all_removed : Outcome::nothing_to_fit};
  }

  take_derivatives(d, r);
  if (form_residuals(d) < kPerfectFit) {
    write("(' ERROR:  WEIGHTED OBSERVATIONS ALREADY FIT PERFECTLY-','DATA PROBLEM?')");
    restore_observed(d);
    return {Outcome::perfect_fit};
  }
  const int ntt = usable_lines(d);
  if (r.ij > ntt) {
    write("(' ERROR:   INSUFFICIENT DATA FOR NUMBER OF PARAMETERS')");
    restore_observed(d);
    return {Outcome::insufficient_data};
  }
  if (r.ij == ntt) write("(' WARNING:SAME NUMBER OF DATA POINTS AS PARAMETERS!!')");

  Outcome out;
  out.status = r.ortho.solve(d.n, r.ij, d.y, r.z, d.w);
  if (out.status == OrthoStatus::done) {
    list_new_values(d, r);
  } else {
    out.kind = Outcome::solver_failed;
    report_failure(out.status, d.ip);
  }
  fit_deviation(d, out);
  warn_correlations(r, d.ip);
  write_matrices(d, r);
  return out;
}

}  // namespace bandfit
