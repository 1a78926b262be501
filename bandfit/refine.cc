#include "bandfit/refine.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "recordio/c_locale.h"
#include "recordio/recordio.h"

namespace bandfit {
namespace {

void write(std::string_view format, std::initializer_list<recordio::Item> items = {}) {
  recordio::write_formatted(kReport, format, items);
}

// Clears the calculated positions, the results and the matrices. Kept on
// purpose: the counts given to matz clear only the leading 8000 elements of
// z and 420 of cv and vcv, not their whole storage.
void clear(const Deck& d, Refinement& r, Summary& s) {
  s.outcome = {};
  s.ij = 0;
  s.same_number = false;
  s.readings = 0;
  s.flags = 0;
  s.strong_count = 0;
  s.report_level = d.ip;
  for (int k = 1; k <= d.n; ++k) {
    s.y1(k) = 0.0;
    s.y2(k) = 0.0;
    s.observed(k) = d.y(k);
  }
  for (int i = 1; i <= d.m; ++i) {
    r.ortho.cs(i) = 0.0;
    r.ortho.cof(i) = 0.0;
    s.removed(i) = 0;
    s.ii(i) = 0;
    s.cn(i) = d.c(i);
    s.correction(i) = 0.0;
    s.sd(i) = 0.0;
    r.cw(i) = d.c(i);
  }
  matz(s.z.v, 20, 400);
  matz(r.ortho.cv.v, 21, 20);
  matz(r.ortho.vcv.v, 21, 20);
}

// Picks the fitted parameters (ii, ij); a flagged parameter too small to
// scale is marked removed. Returns how many were removed so.
int pick_fitted(const Deck& d, Summary& s) {
  constexpr double kTooSmall = 1e-12;
  int removed = 0;
  for (int i = 1; i <= d.m; ++i) {
    if (d.ic(i) == 0) continue;
    if (std::fabs(d.c(i)) < kTooSmall) {
      s.removed(i) = 1;
      ++removed;
    } else {
      ++s.ij;
      s.ii(s.ij) = i;
    }
  }
  return removed;
}

// z = forward differences over a step of 1e-5 times each fitted value. Kept
// on purpose: the working value is divided back rather than restored from a
// copy (its last bit may differ). Leaves in y2 the positions of the last
// scaled evaluation.
void take_derivatives(const Deck& d, Refinement& r, Summary& s) {
  constexpr double kStep = 1.00001;
  constexpr double kInverseStep = 100000;  // 1 / (kStep - 1)
  for (int i = 1; i <= s.ij; ++i) {
    const int j = s.ii(i);
    r.cw(j) = r.cw(j) * kStep;
    values(r.cw, s.y2, d.n, d.line_block);
    r.cw(j) = r.cw(j) / kStep;
    for (int k = 1; k <= d.n; ++k) s.z(i, k) = (s.y2(k) - s.y1(k)) * kInverseStep / r.cw(j);
  }
}

// dy = y - y1; returns the sum of their magnitudes (unweighted, over every
// line).
double form_residuals(const Deck& d, Refinement& r, const Summary& s) {
  double sumch = 0.0;
  for (int k = 1; k <= d.n; ++k) {
    r.dy(k) = d.y(k) - s.y1(k);
    sumch = sumch + std::fabs(r.dy(k));
  }
  return sumch;
}

// The observed positions taken back from the residuals.
void restore_observed(const Deck& d, const Refinement& r, Summary& s) {
  for (int k = 1; k <= d.n; ++k) s.observed(k) = r.dy(k) + s.y1(k);
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

// After a successful solve: cn = c + corrections, and y2 calculated from cn.
void take_new_values(const Deck& d, const Refinement& r, Summary& s) {
  for (int j = 1; j <= s.ij; ++j) {
    const int i = s.ii(j);
    s.cn(i) = r.cw(i) + r.ortho.cof(j);
    s.correction(i) = r.ortho.cof(j);
    s.sd(i) = r.ortho.cs(j);
  }
  values(s.cn, s.y2, d.n, d.line_block);
}

// The two standard deviations of the fit. S is the weighted sum of squared
// differences between y2 and the observed positions; the divisor is the
// readings (lines of weight at least 0.1) less the fitted parameters, at
// least 1. Kept on purpose: the report's own figure divides the root of S
// by that count itself; the usual one, sqrt(S/(N-M)), takes the root of S
// over the count.
void fit_deviation(const Deck& d, Summary& s) {
  constexpr double kReadingWeight = 0.1;
  int nn = d.n;
  double sum = 0.0;
  for (int k = 1; k <= d.n; ++k) {
    if (d.w(k) < kReadingWeight) --nn;  // kept on purpose: usable data need only 1e-4
    const double diff = s.y2(k) - s.observed(k);
    sum = sum + diff * diff * d.w(k);
  }
  int mm = 0;
  for (int i = 1; i <= d.m; ++i) mm += s.removed(i) != 0 ? 0 : d.ic(i);
  const int nnn = nn - mm > 0 ? nn - mm : 1;
  s.readings = nn;
  s.flags = mm;
  s.outcome.deviation = std::sqrt(sum) / nnn;
  s.outcome.usual_deviation = std::sqrt(sum / nnn);
}

// Every strongly correlated pair; any such pair asks for every diagnostic.
void find_correlations(Summary& s) {
  constexpr double kStrongCorrelation = 0.999;
  for (int jjj = 2; jjj <= s.ij; ++jjj) {
    for (int kkk = 1; kkk < jjj; ++kkk) {
      if (std::fabs(s.cv(jjj, kkk)) >= kStrongCorrelation) {
        s.strong[static_cast<std::size_t>(s.strong_count++)] = {static_cast<std::int16_t>(jjj),
                                                                static_cast<std::int16_t>(kkk)};
        s.report_level = 3;
      }
    }
  }
}

// The input the arithmetic could not take, into the outcome: a parameter
// whose value or derivative step leaves the model no finite position, else
// the first line whose weighted squared residual or derivatives are beyond
// the range of a double.
void find_overflowing_input(const Deck& d, const Refinement& r, Summary& s) {
  Outcome& out = s.outcome;
  bool model = true;
  for (int k = 1; k <= d.n; ++k) model = model && std::isfinite(s.y1(k));
  if (!model) {
    // The positions from the values as read: the largest value is the one.
    int largest = 0;
    for (int i = 1; i <= d.m; ++i) {
      if (largest == 0 || std::fabs(d.c(i)) > std::fabs(d.c(largest))) largest = i;
    }
    out.input_parameter = largest;
    return;
  }
  for (int j = 1; j <= s.ij; ++j) {
    for (int k = 1; k <= d.n; ++k) {
      if (!std::isfinite(s.z(j, k))) {
        out.input_parameter = s.ii(j);
        return;
      }
    }
  }
  for (int k = 1; k <= d.n; ++k) {
    bool finite = std::isfinite(d.w(k) * r.dy(k) * r.dy(k));
    for (int j = 1; j <= s.ij && finite; ++j) finite = std::isfinite(d.w(k) * s.z(j, k) * s.z(j, k));
    if (!finite) {
      out.input_line = k;
      return;
    }
  }
}

// After a solve: a new value, a deviation or the fit's standard deviation
// that is not finite makes the outcome an overflow, and no correction stands
// (cn = c, y2 = y1). Returns whether it did.
bool check_overflow(const Deck& d, const Refinement& r, Summary& s) {
  Outcome& out = s.outcome;
  for (int j = 1; j <= s.ij && out.overflowed == 0; ++j) {
    const int i = s.ii(j);
    if (!std::isfinite(s.cn(i)) || !std::isfinite(s.correction(i))) {
      out.overflowed = i;
      out.new_value = true;
    } else if (!std::isfinite(s.sd(i))) {
      out.overflowed = i;
    }
  }
  if (out.overflowed == 0 && std::isfinite(out.deviation) &&
      std::isfinite(out.usual_deviation)) {
    return false;
  }
  out.kind = Outcome::overflow;
  find_overflowing_input(d, r, s);
  for (int i = 1; i <= d.m; ++i) {
    s.cn(i) = d.c(i);
    s.correction(i) = 0.0;
    s.sd(i) = 0.0;
  }
  for (int k = 1; k <= d.n; ++k) s.y2(k) = s.y1(k);
  return true;
}

// The report's writes, all on unit 26.

// Starting values, with the removals in their place.
void write_starting_values(const Deck& d, const Summary& s) {
  write("(' INITIAL VALUES OF PARAMETERS',/,' GROUND STATE:',/)");
  for (int i = 1; i <= d.m; ++i) {
    if (s.removed(i) != 0) list_removed(i, d.ch(i));
    if (i == d.mu) write("(' EXCITED STATE:',/)");
    list_start(d.ch(i), d.c(i));
  }
}

// The result listing of a completed fit: every parameter, fitted or held.
void write_new_values(const Deck& d, const Summary& s) {
  write(
      "(' LEAST SQUARES FITTING COMPLETED',/,'1',15x,'PARAMETER',12x,'OLD VALUE',7x,'NEW VALUE',7x,'DIFFERENCE',6x,'STANDARD DEV.',5x,'PERCENTAGE ERROR',/,/,'  GROUND STATE:',/)");
  for (int i = 1; i <= d.m; ++i) {
    if (i == d.mu) write("(' EXCITED STATE:',/)");
    if (s.fitted(d, i)) {
      list_fitted(d.ch(i), d.c(i), s.cn(i), s.correction(i), s.sd(i));
    } else {
      list_held(d.ch(i), d.c(i));
    }
  }
}

// The solver's failure; a vanished norm also asks for every diagnostic.
void write_failure(OrthoStatus status) {
  write("('1FAILURE IN ORTHO: CHECK=',f5.1)", {status_value(status)});
  if (status == OrthoStatus::zero_norm) {
    write("(' ZERO DIVIDE IN ORTHO, PROBABLY TRYING TO FIT INVARIATE   ITEM.')");
  }
}

// The overflow stop: what came out not finite, in the report's words.
void write_overflow(const Deck& d, const Outcome& out) {
  std::string what = "STANDARD DEVIATION OF THE FIT";
  if (out.overflowed > 0) {
    what = std::string(out.new_value ? "NEW VALUE OF " : "STANDARD DEVIATION OF ") +
           std::string(d.ch(out.overflowed).trimmed());
  }
  write("(' ERROR:  ARITHMETIC OVERFLOW, NOT FINITE: ',a)", {std::string_view(what)});
}

// The matrices the report level asks for, then the closing line. Each level
// adds its block in front of the ones below it.
void write_matrices(const Deck& d, const Summary& s) {
  const int ip = s.report_level;
  if (ip < 0 || ip >= 3) {
    write("('1VARIANCE-COVARIANCE MATRIX IS:',/,/)");
    printvcv(s.vcv, s.ij, s.ii, d.ch);
  }
  if (ip < 0 || ip >= 2) {
    write("('1JACOBIAN MATRIX OF DERIVATIVES IS :',/,/)");
    zprint(s.z, s.ij, d.n);
  }
  if (ip != 0) {
    write("('1CORRELATION MATRIX IS:',/,/)");
    printmat(s.cv, s.ij, s.ii, d.ch);
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
  const double cper = percentage_error(sd, new_value);
  write("(' ',15x,1a10,10x,4(e14.7,2x),f12.4,'%',/)",
        {name.view(), old_value, new_value, correction, sd, cper});
}

double percentage_error(double sd, double new_value) {
  return new_value == 0.0 ? NAN : std::fabs(100 * sd / new_value);
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
    case Outcome::overflow:
      return "the arithmetic overflowed";
  }
  return {};
}

std::string overflow_text(const Deck& d, const Summary& s) {
  const Outcome& out = s.outcome;
  // A number in the shortest form printf's %g gives it.
  const auto number = [](double v) { return recordio::c_format("%g", v); };
  std::string text = "the arithmetic overflowed: the ";
  if (out.overflowed == 0) {
    text += "standard deviation of the fit";
  } else {
    text += out.new_value ? "new value of " : "standard deviation of ";
    text += d.ch(out.overflowed).trimmed();
  }
  text += " is not finite";
  if (out.input_line > 0) {
    const int k = out.input_line;
    text += "; line " + std::to_string(k) + " (" +
            std::string(d.line_block.branch(k).trimmed()) + ") with position " +
            number(d.read_y(k)) + " and weight " + number(d.w(k));
  } else if (out.input_parameter > 0) {
    const int i = out.input_parameter;
    text += "; parameter " + std::to_string(i) + " (" + std::string(d.ch(i).trimmed()) +
            ") with value " + number(d.c(i));
  } else {
    return text;
  }
  return text + " is beyond the arithmetic's range";
}

void refine(const Deck& d, Refinement& r, Summary& s) {
  constexpr double kPerfectFit = 1e-9;
  clear(d, r, s);
  const int removed = pick_fitted(d, s);
  values(d.c, s.y1, d.n, d.line_block);
  if (s.ij <= 0) {
    // Every flag 0 is a prediction run; flagged parameters all removed as
    // too small is a fit that could not be made.
    s.outcome.kind = removed > 0 ? Outcome::all_removed : Outcome::nothing_to_fit;
    return;
  }

  take_derivatives(d, r, s);
  const double sumch = form_residuals(d, r, s);
  restore_observed(d, r, s);
  if (sumch < kPerfectFit) {
    s.outcome.kind = Outcome::perfect_fit;
    return;
  }
  const int ntt = usable_lines(d);
  if (s.ij > ntt) {
    s.outcome.kind = Outcome::insufficient_data;
    return;
  }
  s.same_number = s.ij == ntt;

  s.outcome.status = r.ortho.solve(d.n, s.ij, r.dy, s.z, d.w);
  if (s.outcome.status == OrthoStatus::done) {
    take_new_values(d, r, s);
  } else {
    s.outcome.kind = Outcome::solver_failed;
    if (s.outcome.status == OrthoStatus::zero_norm) s.report_level = 3;
  }
  s.vcv = r.ortho.vcv;
  s.cv = r.ortho.cv;
  fit_deviation(d, s);
  if (s.outcome.kind == Outcome::completed && check_overflow(d, r, s)) return;
  find_correlations(s);
}

void report_refinement(const Deck& d, const Summary& s) {
  write_starting_values(d, s);
  switch (s.outcome.kind) {
    case Outcome::nothing_to_fit:
    case Outcome::all_removed:
      write("(' NO PARAMETERS TO BE FITTED:-EXITING REFINE')");
      return;
    case Outcome::perfect_fit:
      write("(' ERROR:  WEIGHTED OBSERVATIONS ALREADY FIT PERFECTLY-','DATA PROBLEM?')");
      return;
    case Outcome::insufficient_data:
      write("(' ERROR:   INSUFFICIENT DATA FOR NUMBER OF PARAMETERS')");
      return;
    case Outcome::overflow:
      write_overflow(d, s.outcome);
      return;
    case Outcome::completed:
    case Outcome::solver_failed:
      break;
  }
  if (s.same_number) write("(' WARNING:SAME NUMBER OF DATA POINTS AS PARAMETERS!!')");
  if (s.outcome.kind == Outcome::completed) {
    write_new_values(d, s);
  } else {
    write_failure(s.outcome.status);
  }
  list_deviation(s.readings, s.flags, s.outcome.deviation, s.outcome.usual_deviation);
  for (int k = 0; k < s.strong_count; ++k) {
    write(
        "(' WARNING:STRONG CORRELATION BETWEEN SOME PARAMETERS',':- FULL DIAGNOSTICS FOLLOW.',/)");
  }
  write_matrices(d, s);
}

}  // namespace bandfit
