// Downhill simplex minimiser (amoeba, with its trial move amotry), in single
// precision, with every stored intermediate a float.
//
// The vertex table is the caller's column-major storage; row i is vertex i,
// column j is coordinate j. The working storage belongs to the search object.
#pragma once

#include <array>
#include <memory>
#include <span>
#include <type_traits>

#include "momfit/numeric/outcome.h"
#include "recordio/arrays.h"

namespace momfit {

// A non-owning reference to the objective: anything callable as
// float(std::span<const float>). A plain function (phi2) or a function
// pointer is held by value; a lambda or other callable object is referred
// to, so it must outlive the call that receives the reference (a temporary
// lambda written in the argument list of amoeba does).
class ObjectiveRef {
 public:
  using Function = float (*)(std::span<const float>);

  ObjectiveRef(Function fn) noexcept : fn_(fn), call_(&call_function) {}  // NOLINT

  template <class F>
    requires(std::is_class_v<std::remove_cvref_t<F>> &&
             !std::is_same_v<std::remove_cvref_t<F>, ObjectiveRef> &&
             std::is_invocable_r_v<float, std::remove_reference_t<F>&, std::span<const float>>)
  ObjectiveRef(F&& f) noexcept  // NOLINT: implicit, like a function reference
      : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_(&call_object<std::remove_reference_t<F>>) {}

  float operator()(std::span<const float> x) const { return call_(*this, x); }

 private:
  static float call_function(const ObjectiveRef& self, std::span<const float> x) {
    return self.fn_(x);
  }
  template <class T>
  static float call_object(const ObjectiveRef& self, std::span<const float> x) {
    return static_cast<float>((*static_cast<T*>(self.obj_))(x));
  }

  void* obj_ = nullptr;
  Function fn_ = nullptr;
  float (*call_)(const ObjectiveRef&, std::span<const float>);
};

// The downhill simplex search over a caller's vertex table: a value that
// lives for one minimisation and holds the search's working storage, so that
// a search stopped at the iteration limit goes on from the same state.
//
//   Amoeba search(simplex, fvals, dims, ftol);
//   while (search.run(func) == Outcome::iteration_limit) { /* tell the user */ }
class Amoeba {
 public:
  static constexpr int kNmax = 20;     // coordinates the working storage holds
  static constexpr int kItmax = 5000;  // calls of func before every step stops

  // simplex: rows 1..dims+1 are the vertices, columns 1..dims the
  // coordinates (leading dimension simplex.ld()); fvals(1..dims+1) their
  // values, filled by the caller. Both are the caller's, kept in step by run.
  // itmax is the iteration limit (kItmax for momfit's two minimisations; a caller
  // with a budget of its own gives a smaller one).
  Amoeba(recordio::Matrix<float> simplex, std::span<float> fvals, int dims, float ftol,
         int itmax = kItmax);

  // Steps the search until one of:
  // - converged: the relative spread 2|f(hi) - f(lo)| / (|f(hi)| + |f(lo)|)
  //   is below ftol (no guard term); the best vertex is in row 1, its value
  //   in fvals(1);
  // - iteration_limit: iter() has reached itmax and a step is due. The next
  //   run takes that step and stops again before the one after it;
  // - no_finite_value: every vertex value is +infinity (no way downhill);
  // - too_many_coordinates: dims exceeds kNmax; nothing is done.
  Outcome run(ObjectiveRef func);

  // Calls of func since the search was made.
  int iter() const { return iter_; }

 private:
  // One trial move of vertex ihi by factor fac through the centroid of the
  // others; replaces the vertex (and updates psum) when the trial value is
  // strictly lower. Returns the trial value.
  float amotry(ObjectiveRef func, int ihi, float fac);

  recordio::Matrix<float> p_;        // the caller's simplex, one vertex per row
  std::span<float> y_;               // the caller's vertex values
  int dims_;                         // coordinates of a vertex (the parameters fitted)
  float ftol_;                       // the relative spread that counts as converged
  int itmax_;                        // calls of func before the limit is reported
  int iter_ = 0;                     // calls of func so far
  bool sums_due_ = true;             // psum is rebuilt at the start and after a shrink
  bool limit_passed_ = false;        // the limit was reported for the step now due
  std::array<float, kNmax> psum_{};  // coordinate sums over the vertices
  std::array<float, kNmax> ptry_{};  // the trial point of amotry
};

}  // namespace momfit
