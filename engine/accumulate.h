// The multiply-accumulate kernel of the output phase, where nearly all the
// time of a large matrix goes. It is compiled once for the baseline
// instruction set (accumulate.cc) and once more for AVX2
// (accumulate_avx2.cc); the convolver picks one at construction. Both give
// the same bits.
//
// There is no AVX-512 kernel: when the spectra were separate fftwf_malloc
// arrays, aligned to 32 bytes only, half of them started in the middle of a
// cache line and every 64-byte load from them was split in two. Built and
// measured then, such a kernel took twice the time of the AVX2 one on a
// 64 x 64 matrix. The spectra now start on 64-byte boundaries; the kernel
// has not been measured again since.

#ifndef TESS_ACCUMULATE_H
#define TESS_ACCUMULATE_H

#include <stdint.h>

enum
{
    MAXGROUP = 4   // most outputs accumulated in one pass over an input spectrum
};

// Adds into acc[g], for g < ngroup, the bin-by-bin product of the input
// spectrum 'x' with the spectrum h[g], all of 'nbin' interleaved complex
// bins:
//   A.re = (X.re H.re - X.im H.im) + A.re
//   A.im = (X.re H.im + X.im H.re) + A.im
// in single precision, rounded after every operation (no fused
// multiply-add), so that every build, kernel and worker gives the same
// bits. Accumulating several outputs at once reads 'x' once for all of
// them. REALTIME-SAFE: no allocation, no lock.
typedef void (*Accumulate)(float *const *acc, int32_t ngroup, const float *x,
                           const float *const *h, int32_t nbin);

void accumulate_base(float *const *acc, int32_t ngroup, const float *x, const float *const *h,
                     int32_t nbin);
void accumulate_avx2(float *const *acc, int32_t ngroup, const float *x, const float *const *h,
                     int32_t nbin);

// The fastest kernel this processor runs.
Accumulate select_accumulate();

#endif
