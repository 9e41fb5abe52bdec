// The multiply-accumulate kernel of the output phase, where nearly all the
// time of a large matrix goes. It is compiled once for the baseline
// instruction set and once more for AVX2 (accumulate_avx2.cc); the
// convolver picks one at construction.

#ifndef TESS_ACCUMULATE_H
#define TESS_ACCUMULATE_H

#include <fftw3.h>
#include <stdint.h>

typedef void (*Accumulate)(float *acc, fftwf_complex *const *xs, fftwf_complex *const *hs,
                           int32_t ipart, int32_t npart, int32_t nbin);

void accumulate_base(float *acc, fftwf_complex *const *xs, fftwf_complex *const *hs,
                     int32_t ipart, int32_t npart, int32_t nbin);
void accumulate_avx2(float *acc, fftwf_complex *const *xs, fftwf_complex *const *hs,
                     int32_t ipart, int32_t npart, int32_t nbin);

// The fastest kernel this processor runs.
Accumulate select_accumulate();

#endif
