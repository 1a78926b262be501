#include "momfit/numeric/kernels.h"

#include <atomic>

#include "momfit/numeric/testing.h"

namespace momfit {
namespace {

// The widest kernels of this build that the processor can run.
int widest_lanes() {
#if LABSUITE_AVX2_KERNELS
  if (__builtin_cpu_supports("avx2")) return 8;
#endif
#if LABSUITE_VECTOR_KERNELS
  return 4;
#else
  return 1;
#endif
}

// The tests' choice, 0 for none. Atomic: kernels on other threads read it.
std::atomic<int> forced_lanes{0};

}  // namespace

int kernel_lanes() {
  static const int widest = widest_lanes();
  const int forced = forced_lanes.load(std::memory_order_relaxed);
  return forced != 0 ? forced : widest;
}

bool force_kernel_lanes(int lanes) {
  const bool offered = lanes == 0 || lanes == 1 || ((lanes == 4 || lanes == 8) && lanes <= widest_lanes());
  if (offered) forced_lanes.store(lanes, std::memory_order_relaxed);
  return offered;
}

}  // namespace momfit
