// For tests: forcing the kernels the numerical kit and the model's stages
// run, to compare their results bit for bit. Programs do not use it.
#pragma once

namespace momfit {

// From now on, every thread runs the kernels of `lanes` floats per vector
// (1: the plain loops, 4 or 8), or, for 0, the widest ones again. Returns
// false and changes nothing when this build or processor has no such
// kernels.
bool force_kernel_lanes(int lanes);

}  // namespace momfit
