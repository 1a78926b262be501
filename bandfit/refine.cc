#include "bandfit/refine.h"

#include <cmath>

#include "bandfit/ortho.h"
#include "bandfit/report.h"
#include "recordio/recordio.h"

namespace bandfit {
namespace {

constexpr int kReport = 26;
constexpr double kStep = 1.00001;        // relative step of the forward differences
constexpr double kInverseStep = 100000;  // 1 / (kStep - 1)
constexpr double kTooSmall = 1e-12;
constexpr double kPerfectFit = 1e-9;
constexpr double kUsableWeight = 1e-4;
constexpr double kReadingWeight = 0.1;
constexpr double kStrongCorrelation = 0.999;

// Working storage, static as the solver's.
DerivMatrix z;
IndexArray ii;  // ii(i): position in c of the i-th fitted parameter
int ij;         // number of fitted parameters
ParamArray cof, cs;
CovMatrix vcv, cv;
double check, sumch, sum, sfac, cper;
int ntt, nn, mm, nnn;

void write(std::string_view format, std::initializer_list<recordio::Item> items = {}) {
  recordio::write_formatted(kReport, format, items);
}

void restore_observed(int n, LineArray& y, const LineArray& y1) {
  for (int k = 1; k <= n; ++k) y(k) = y(k) + y1(k);
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
  cper = std::fabs(100 * sd / new_value);
  write("(' ',15x,1a10,10x,4(e14.7,2x),f12.4,'%',/)",
        {name.view(), old_value, new_value, correction, sd, cper});
}

void list_held(const Name& name, double value) {
  write("(' ',15x,1a10,10x,e14.7,10x,'PARAMETER HELD CONSTANT',/)", {name.view(), value});
}

void list_deviation(int readings, int parameters, double sd) {
  write("('1STANDARD DEVIATION OVER ',i4,' READINGS, ','FITTING ',i4,' PARAMETERS, IS ',e14.6)",
        {readings, parameters, sd});
}

void refine(int m, int n, const LineArray& w, LineArray& y, ParamArray& c, FlagArray& ic,
            const NameArray& ch, int mu, ParamArray& cn, LineArray& y1, LineArray& y2,
            int& ip) {
  sum = 0.0;
  sfac = 1.0;
  nn = n;
  for (int k = 1; k <= n; ++k) {
    y1(k) = 0.0;
    y2(k) = 0.0;
  }
  for (int i = 1; i <= m; ++i) {
    cs(i) = 0.0;
    cof(i) = 0.0;
    ii(i) = 0;
    cn(i) = c(i);
  }
  matz(z.v, 20, 400);
  matz(cv.v, 21, 20);
  matz(vcv.v, 21, 20);
  check = 0.0;
  ij = 0;

  write("(' INITIAL VALUES OF PARAMETERS',/,' GROUND STATE:',/)");
  for (int i = 1; i <= m; ++i) {
    if (ic(i) != 0) {
      if (std::fabs(c(i)) < kTooSmall) {
        list_removed(i, ch(i));
        ic(i) = 0;
      } else {
        ++ij;
        ii(ij) = i;
      }
    }
    if (i == mu) write("(' EXCITED STATE:',/)");
    list_start(ch(i), c(i));
  }

  values(c, m, y1, n);

  if (ij <= 0) {
    write("(' NO PARAMETERS TO BE FITTED:-EXITING REFINE')");
    return;
  }

  // Forward differences over a step of 1e-5 times each fitted value; the
  // value is divided back rather than restored from a copy.
  for (int i = 1; i <= ij; ++i) {
    const int j = ii(i);
    c(j) = c(j) * kStep;
    values(c, m, y2, n);
    c(j) = c(j) / kStep;
    for (int k = 1; k <= n; ++k) z(i, k) = (y2(k) - y1(k)) * sfac * kInverseStep / c(j);
  }

  sumch = 0.0;
  for (int k = 1; k <= n; ++k) {
    y(k) = y(k) - y1(k);
    sumch = sumch + std::fabs(y(k));
  }

  if (sumch < kPerfectFit) {
    write("(' ERROR:  WEIGHTED OBSERVATIONS ALREADY FIT PERFECTLY-','DATA PROBLEM?')");
    restore_observed(n, y, y1);
    return;
  }

  ntt = n;
  for (int k = 1; k <= n; ++k) {
    if (w(k) < kUsableWeight) --ntt;
  }
  if (ij > ntt) {
    write("(' ERROR:   INSUFFICIENT DATA FOR NUMBER OF PARAMETERS')");
    restore_observed(n, y, y1);
    return;
  }
  if (ij == ntt) write("(' WARNING:SAME NUMBER OF DATA POINTS AS PARAMETERS!!')");

  ortho(n, ij, y, z, w, cof, cs, vcv, cv, check);

  if (check >= 0.0) {
    write(
        "(' LEAST SQUARES FITTING COMPLETED',/,'1',15x,'PARAMETER',12x,'OLD VALUE',7x,'NEW VALUE',7x,'DIFFERENCE',6x,'STANDARD DEV.',5x,'PERCENTAGE ERROR',/,/,'  GROUND STATE:',/)");
    int j = 0;
    for (int i = 1; i <= m; ++i) {
      if (i == mu) write("(' EXCITED STATE:',/)");
      if (ic(i) != 0) {
        ++j;
        cn(i) = c(i) + cof(j);
        list_fitted(ch(i), c(i), cn(i), cof(j), cs(j));
      } else {
        list_held(ch(i), c(i));
      }
    }
    values(cn, m, y2, n);
  } else {
    write("('1FAILURE IN ORTHO: CHECK=',f5.1)", {check});
    if (check == kOrthoZeroNorm) {
      write("(' ZERO DIVIDE IN ORTHO, PROBABLY TRYING TO FIT INVARIATE   ITEM.')");
      ip = 3;
    }
  }

  // The divisor is nnn itself, not its square root.
  for (int k = 1; k <= n; ++k) {
    if (w(k) < kReadingWeight) --nn;
    y(k) = y(k) + y1(k);
    const double d = y2(k) - y(k);
    sum = sum + d * d * w(k);
  }
  mm = 0;
  for (int i = 1; i <= m; ++i) mm += ic(i);
  nnn = nn - mm;
  if (nnn <= 0) nnn = 1;
  sum = std::sqrt(sum) / nnn;
  list_deviation(nn, mm, sum);

  for (int jjj = 2; jjj <= ij; ++jjj) {
    for (int kkk = 1; kkk < jjj; ++kkk) {
      if (std::fabs(cv(jjj, kkk)) >= kStrongCorrelation) {
        write(
            "(' WARNING:STRONG CORRELATION BETWEEN SOME PARAMETERS',':- FULL DIAGNOSTICS FOLLOW.',/)");
        ip = 3;
      }
    }
  }

  // Each level adds its block in front of the ones below it.
  if (ip < 0 || ip >= 3) {
    write("('1VARIANCE-COVARIANCE MATRIX IS:',/,/)");
    printvcv(vcv, ij, ii, ch);
  }
  if (ip < 0 || ip >= 2) {
    write("('1JACOBIAN MATRIX OF DERIVATIVES IS :',/,/)");
    zprint(z, ij, n);
  }
  if (ip != 0) {
    write("('1CORRELATION MATRIX IS:',/,/)");
    printmat(cv, ij, ii, ch, m);
  }

  write("('1FITTING SUBROUTINE COMPLETED',/,'1')");
}

}  // namespace bandfit
