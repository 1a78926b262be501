// Fast Fourier transforms and FFT convolution.
//
// Data are floats; a complex array is a float array of interleaved pairs
// (complex element k, from 1, at float positions 2k-1 and 2k). The forward
// transform (isign = +1) uses exp(+2 pi i j k / N); nothing normalises.
// The twiddle factors come from a double-precision recurrence and are
// rounded to float in each butterfly. An FftPlan holds them, and the
// bit-reversal exchanges, made once by the same recurrence (so with the same
// bits); the caller makes it and owns it, and the routines only read it, so
// the kit keeps no state and one plan may serve several threads at once.
// Every length must be a power of 2 (not checked). Making a plan allocates;
// the transforms allocate nothing, and convlv's scratch is the caller's.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "momfit/numeric/outcome.h"

namespace momfit {

// The tables of the transforms of every power-of-2 length up to a largest
// one: four1 of up to n complex values, twofft and convlv of up to n real
// values, realft of up to 2n real values. Read-only once made.
class FftPlan {
 public:
  // n: a power of 2, at least 1.
  explicit FftPlan(int n);

  // The largest complex length of four1 this plan serves.
  int size() const { return n_; }

 private:
  friend void four1(std::span<float> data, int nn, int isign, const FftPlan& plan);
  friend void realft(std::span<float> data, int n, int isign, const FftPlan& plan);

  int n_;
  // By direction (0: isign = +1, 1: the other). The factors of the
  // butterflies of the stage with half-length h (complex values): factor k
  // at floats 2(h - 1 + k) and the next, the same value twice so that a
  // vector of (re, im) pairs meets its factor in both lanes.
  std::vector<float> stage_re_[2];
  std::vector<float> stage_im_[2];
  // realft's factors for n real values, i = 2 .. n/4: factor i at floats
  // 2(n/4 + i - 2) and the next, twice likewise.
  std::vector<float> half_re_[2];
  std::vector<float> half_im_[2];
  // The exchanges of the bit reversal of nn complex values: pairs of complex
  // indices (i, j), i < j, at [nn / 2, nn / 2 + count_[log2 nn]).
  std::vector<std::uint32_t> first_;
  std::vector<std::uint32_t> second_;
  std::vector<int> count_;
};

// In-place complex transform of nn complex values held in data[0 .. 2nn);
// isign +1 forward, -1 inverse (any value but +1 is taken as -1). nn is at
// most plan.size().
void four1(std::span<float> data, int nn, int isign, const FftPlan& plan);

// Transform of n real values (n >= 2, at most 2 plan.size()). Forward
// (isign = 1): data becomes the packed spectrum (F_0, F_n/2, Re F_1,
// Im F_1, ..). Any other isign: the packed spectrum becomes n/2 times the
// inverse transform.
void realft(std::span<float> data, int n, int isign, const FftPlan& plan);

// fft1, fft2 (each 2n floats, n complex values) = the full transforms of the
// real arrays data1, data2 (n values each, n at most plan.size()), through
// one complex transform.
void twofft(std::span<const float> data1, std::span<const float> data2, std::span<float> fft1,
            std::span<float> fft2, int n, const FftPlan& plan);

// Circular convolution (isign = +1) or deconvolution (isign = -1) of data (n
// values, padding included, n at most plan.size()) with the response given
// in wrap-around order in respns[0 .. m): lags 0, 1, .. first, lags -1, -2,
// .. counted down from position m. respns has room for n values and is
// rearranged in place into the n-long wrap-around array (not restored). ans
// and work need 2n floats each (work is scratch: the data's transform);
// ans[0 .. n) receives the result. Outcomes:
// - ok: ans holds the convolution (isign = +1) or deconvolution (-1);
// - response_zero: deconvolution met a zero of the response's transform and
//   stopped before dividing by it; ans is unfinished (the program ends
//   there: "complex division by zero");
// - bad_isign: any other isign leaves every one of the n/2 + 1 frequencies
//   unchanged, so ans is n/2 times the rearranged response (the program
//   pauses once per frequency).
[[nodiscard]] Outcome convlv(std::span<const float> data, int n, std::span<float> respns, int m,
                             int isign, std::span<float> ans, std::span<float> work,
                             const FftPlan& plan);

// The same four with a plan made for the call (it allocates, and making the
// tables costs about as much as a transform): for a single transform.
void four1(std::span<float> data, int nn, int isign);
void realft(std::span<float> data, int n, int isign);
void twofft(std::span<const float> data1, std::span<const float> data2, std::span<float> fft1,
            std::span<float> fft2, int n);
[[nodiscard]] Outcome convlv(std::span<const float> data, int n, std::span<float> respns, int m,
                             int isign, std::span<float> ans, std::span<float> work);

}  // namespace momfit
