// Storage conventions the fitters share: arrays indexed from 1 and matrices
// stored column after column with a fixed leading dimension.
#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace recordio {

// A fixed-capacity array indexed from 1 (element i is v[i - 1]).
template <class T, std::size_t N>
struct Array1 {
  std::array<T, N> v{};

  T& operator()(int i) { return v[static_cast<std::size_t>(i - 1)]; }
  const T& operator()(int i) const { return v[static_cast<std::size_t>(i - 1)]; }
  T* data() { return v.data(); }
  const T* data() const { return v.data(); }
  std::span<T> span() { return v; }
  std::span<const T> span() const { return v; }
  static constexpr std::size_t capacity() { return N; }
};

// A view of column-major storage with leading dimension ld, indexed from 1:
// element (i, j) is storage[(i - 1) + ld * (j - 1)].
template <class T>
class Matrix {
 public:
  Matrix(std::span<T> storage, int ld) : s_(storage), ld_(ld) {}
  // The offset is formed in int: it cannot overflow, since it addresses an
  // element of storage that a span already holds.
  T& operator()(int i, int j) const {
    return s_[static_cast<std::size_t>((i - 1) + ld_ * (j - 1))];  // NOLINT(bugprone-misplaced-widening-cast)
  }
  int ld() const { return ld_; }
  std::span<T> storage() const { return s_; }

 private:
  std::span<T> s_;
  int ld_;
};

// Static column-major storage of R x C elements with leading dimension R.
template <class T, int R, int C>
struct Matrix1 {
  std::array<T, static_cast<std::size_t>(R) * C> v{};

  // As in Matrix: an in-range offset of a fixed array always fits an int.
  T& operator()(int i, int j) {
    return v[static_cast<std::size_t>((i - 1) + R * (j - 1))];  // NOLINT(bugprone-misplaced-widening-cast)
  }
  const T& operator()(int i, int j) const {
    return v[static_cast<std::size_t>((i - 1) + R * (j - 1))];  // NOLINT(bugprone-misplaced-widening-cast)
  }
  Matrix<T> view() { return Matrix<T>(v, R); }
  static constexpr int ld() { return R; }
};

}  // namespace recordio
