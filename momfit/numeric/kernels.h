// Which kernels the numerical kit and the model's stages run: the plain
// loops, or the same operations side by side in vector registers of 4 or 8
// floats. Every kernel gives the bits of the plain loop (numeric_test and
// model_test compare them); the widest one the build and the processor
// offer runs.
//
// The vector kernels use GCC's vector extensions. Another compiler (Clang
// included), or a build with LABSUITE_PLAIN_KERNELS (the CMake option of
// that name), has the plain loops only. The 8-float kernels are compiled
// for AVX2 with [[gnu::target("avx2")]] (FMA stays off, so every product is
// rounded before its sum, as in the plain loops) and run only where the
// processor has AVX2.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && !defined(LABSUITE_PLAIN_KERNELS)
#define LABSUITE_VECTOR_KERNELS 1
#if defined(__x86_64__) || defined(__i386__)
#define LABSUITE_AVX2_KERNELS 1
#endif
#endif

namespace momfit {

// Floats per vector of the kernels to run: 8, 4, or 1 for the plain loops.
// The processor is asked once; a test may force a narrower choice
// (testing.h).
int kernel_lanes();

#if LABSUITE_VECTOR_KERNELS
// A vector of W floats, and of W 32-bit integers (comparison results).
template <int W>
struct Lanes;
template <>
struct Lanes<4> {
  using F = float __attribute__((vector_size(16)));
  using I = int __attribute__((vector_size(16)));
};
template <>
struct Lanes<8> {
  using F = float __attribute__((vector_size(32)));
  using I = int __attribute__((vector_size(32)));
};
#endif

}  // namespace momfit
