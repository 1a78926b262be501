// Downhill simplex minimiser: amoeba and its trial move
// amotry, in single precision, with every stored intermediate a float.
//
// The vertex table is the caller's column-major storage: element (i, j) at
// position (i - 1) + rowcap * (j - 1); row i is vertex i, column j is
// coordinate j. The working storage (psum, ptry, the ranks) is static: the
// routines are not reentrant, and dims may not exceed 20.
#pragma once

#include <memory>
#include <span>
#include <type_traits>

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

// Minimises func from the starting simplex of dims + 1 vertices whose values
// the caller has put in fvals(1..dims+1). Returns when the relative spread
// 2|f(hi) - f(lo)| / (|f(hi)| + |f(lo)|) is below ftol (no guard term), with
// the best vertex in row 1 and its value in fvals(1). iter receives the number
// of calls of func. From 5000 calls on, every step first pauses with
// "ITMAX exceeded in amoeba" and then goes on. colcap plays no part.
void amoeba(recordio::Matrix<float> simplex, std::span<float> fvals, int rowcap, int colcap,
            int dims, float ftol, ObjectiveRef func, int& iter);

// One trial move of vertex ihi by factor fac through the centroid of the
// others; replaces the vertex (and updates psum) when the trial value is
// strictly lower. Returns the trial value. amoeba is its only caller.
float amotry(recordio::Matrix<float> simplex, std::span<float> fvals, std::span<float> psum,
             int rowcap, int colcap, int dims, ObjectiveRef func, int ihi, float fac);

}  // namespace momfit
