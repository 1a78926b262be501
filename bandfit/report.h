// Matrix utilities of the refinement: clearing a matrix and printing the
// correlation, variance-covariance and derivative matrices to the report
// (unit 26).
#pragma once

#include <span>

#include "bandfit/model.h"
#include "bandfit/ortho.h"

namespace bandfit {

using IndexArray = recordio::Array1<std::int32_t, kParamRoom>;

// The units bandfit reads and writes: the deck (standard input), the line
// list (fort.8) and the report (fort.26).
enum Unit : int { kDeck = 5, kList = 8, kReport = 26 };

// Sets a(i, j) = 0 for i = 1..rows, j = 1..cols with rows taken as the
// leading dimension: clears the first rows * cols elements of storage
// (which must hold that many), whatever the matrix's own leading dimension.
void matz(std::span<double> storage, int rows, int cols);

// Writes rows i = 1..k of the correlation matrix a (k <= 30), one record
// each: the first five characters of names(idx(i)), then a(i, 1..k), all in
// fixed point (f6.3) unless |a(i, 1)| > 1.0001, which puts the whole row in
// exponent form (e8.2). Values beyond the twentieth go to continuation
// records without a name.
void printmat(const CovMatrix& a, int k, const IndexArray& idx, const NameArray& names);

// Writes the variance-covariance matrix a, rows i = 1..k labelled like
// printmat's, every value in exponent form with seven significant digits so
// that small variances keep their digits.
void printvcv(const CovMatrix& a, int k, const IndexArray& idx, const NameArray& names);

// Writes columns j = 1..q of the derivative matrix a, one record group per
// column holding a(1..p, j) in e12.6, 20 values to a record.
void zprint(const DerivMatrix& a, int p, int q);

}  // namespace bandfit
