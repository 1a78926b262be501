#include "bandfit/report.h"

#include <array>
#include <cmath>

#include "recordio/recordio.h"

namespace bandfit {
namespace {

// Room for the name and the values of one matrix row.
using RowItems = std::array<recordio::Item, kParamRoom + 1>;

// The items of row i (name, then a(i, 1..k)), held in items.
std::span<const recordio::Item> named_row(RowItems& items, const CovMatrix& a, int i, int k,
                                          const Name& name) {
  items[0] = name.view();
  for (int j = 1; j <= k; ++j) items[static_cast<std::size_t>(j)] = a(i, j);
  return std::span<const recordio::Item>(items).first(static_cast<std::size_t>(k) + 1);
}

}  // namespace

void matz(std::span<double> storage, int rows, int cols) {
  recordio::Matrix<double> a(storage, rows);
  for (int i = 1; i <= rows; ++i) {
    for (int j = 1; j <= cols; ++j) a(i, j) = 0.0;
  }
}

void printmat(const CovMatrix& a, int k, const IndexArray& idx, const NameArray& names) {
  RowItems row;
  for (int i = 1; i <= k; ++i) {
    const auto items = named_row(row, a, i, k, names(idx(i)));
    // Kept on purpose: only the first element picks the layout; a large
    // later value in a fixed-point row comes out as asterisks.
    if (std::fabs(a(i, 1)) > 1.0001) {
      recordio::write_formatted(kReport, "(' ',1a5,1x,20(e8.2,1x,:))", items);
    } else {
      recordio::write_formatted(kReport, "(' ',1a5,1x,20(f6.3,1x,:))", items);
    }
  }
}

void printvcv(const CovMatrix& a, int k, const IndexArray& idx, const NameArray& names) {
  RowItems row;
  for (int i = 1; i <= k; ++i) {
    recordio::write_formatted(kReport, "(' ',1a5,1x,20(e14.7,1x,:))",
                              named_row(row, a, i, k, names(idx(i))));
  }
}

void zprint(const DerivMatrix& a, int p, int q) {
  std::array<recordio::Item, kParamRoom> items;
  for (int j = 1; j <= q; ++j) {
    for (int i = 1; i <= p; ++i) items[static_cast<std::size_t>(i - 1)] = a(i, j);
    recordio::write_formatted(kReport, "(' ',20(e12.6,1x,:))",
                              std::span<const recordio::Item>(items).first(
                                  static_cast<std::size_t>(p)));
  }
}

}  // namespace bandfit
