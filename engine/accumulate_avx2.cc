// The kernel built for AVX2 (no FMA: contraction stays off).
#include "accumulate.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define ACCUMULATE_NAME accumulate_avx2
#define ACCUMULATE_ONE accumulate_one_avx2
#include "accumulate.inc"
#else
void accumulate_avx2(float *acc, fftwf_complex *const *xs, fftwf_complex *const *hs,
                     int32_t ipart, int32_t npart, int32_t nbin)
{
    accumulate_base(acc, xs, hs, ipart, npart, nbin);
}
#endif
