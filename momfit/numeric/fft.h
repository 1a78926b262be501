// Fast Fourier transforms and FFT convolution.
//
// Data are floats; a complex array is a float array of interleaved pairs
// (complex element k, from 1, at float positions 2k-1 and 2k). The forward
// transform (isign = +1) uses exp(+2 pi i j k / N); nothing normalises.
// The twiddle factors come from a double-precision recurrence and are
// rounded to float in each butterfly; for lengths up to 4096 complex values
// they (and the bit-reversal exchanges) are made once and kept in static
// tables, with the same bits. Every length must be a power of 2 (not
// checked). convlv keeps a static work array: n <= 4096. None of the
// routines is reentrant or allocates.
#pragma once

#include <span>

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
// the n-long wrap-around array (not restored). ans needs 2n floats;
// ans[0 .. n) receives the result. PAUSE "deconvolving at response zero in
// convlv" before a division by a zero of the response's transform (which then
// ends the program: "complex division by zero"); PAUSE "no meaning for isign
// in convlv" once per frequency for any other isign.
void convlv(std::span<const float> data, int n, std::span<float> respns, int m, int isign,
            std::span<float> ans);

}  // namespace momfit
