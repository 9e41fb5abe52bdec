// The multiply-accumulate kernel of the output phase, where nearly all the
// time of a large matrix goes. It is compiled once for the baseline
// instruction set (accumulate.cc), and again for AVX2 (accumulate_avx2.cc)
// and AVX-512 (accumulate_avx512.cc); the convolver picks one at
// construction. All give the same bits.

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
void accumulate_avx512(float *const *acc, int32_t ngroup, const float *x, const float *const *h,
                       int32_t nbin);

// The fastest kernel this processor runs.
Accumulate select_accumulate();

#endif
