// Fast Fourier transforms and FFT convolution.
//
// Data are floats; a complex array is a float array of interleaved pairs
// (complex element k, from 1, at float positions 2k-1 and 2k). The forward
// transform (isign = +1) uses exp(+2 pi i j k / N); nothing normalises.
// The twiddle factors come from a double-precision recurrence and are
// rounded to float in each butterfly; for lengths up to 4096 complex values
// they (and the bit-reversal exchanges) are made once and kept in tables,
// with the same bits. Every length must be a power of 2 (not checked). The
// routines allocate nothing; convlv's scratch is the caller's.
#pragma once

#include <span>

#include "momfit/numeric/outcome.h"

namespace momfit {

// In-place complex transform of nn complex values held in data[0 .. 2nn).
void four1(std::span<float> data, int nn, int isign);

// Transform of n real values. Forward (isign = 1): data becomes the packed
// spectrum (F_0, F_n/2, Re F_1, Im F_1, ..). Any other isign: the packed
// spectrum becomes n/2 times the inverse transform.
void realft(std::span<float> data, int n, int isign);

// fft1, fft2 (each 2n floats, n complex values) = the full transforms of the
// real arrays data1, data2 (n values each), through one complex transform.
void twofft(std::span<const float> data1, std::span<const float> data2, std::span<float> fft1,
            std::span<float> fft2, int n);

// Circular convolution (isign = +1) or deconvolution (isign = -1) of data (n
// values, padding included) with the response given in wrap-around order in
// respns[0 .. m): lags 0, 1, .. first, lags -1, -2, .. counted down from
// position m. respns has room for n values and is rearranged in place into
// the n-long wrap-around array (not restored). ans and work need 2n floats
// each (work is scratch: the data's transform); ans[0 .. n) receives the
// result. Outcomes:
// - ok: ans holds the convolution (isign = +1) or deconvolution (-1);
// - response_zero: deconvolution met a zero of the response's transform and
//   stopped before dividing by it; ans is unfinished (the program ends
//   there: "complex division by zero");
// - bad_isign: any other isign leaves every one of the n/2 + 1 frequencies
//   unchanged, so ans is n/2 times the rearranged response (the program
//   pauses once per frequency).
[[nodiscard]] Outcome convlv(std::span<const float> data, int n, std::span<float> respns, int m,
                             int isign, std::span<float> ans, std::span<float> work);

}  // namespace momfit
