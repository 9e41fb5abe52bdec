#include "accumulate.h"

// One spectrum pair, plainly; the compiler vectorises it for the baseline
// instruction set. Kept out of line: merged into a loop over spectra, the
// compiler jams iterations into a loop it no longer vectorises.
__attribute__((noinline)) static void accumulate_one(float *__restrict a,
                                                     const float *__restrict x,
                                                     const float *__restrict h, int32_t nbin)
{
    for (int32_t k = 0; k < nbin; k++) {
        float xr = x[2 * k], xi = x[2 * k + 1];
        float hr = h[2 * k], hi = h[2 * k + 1];
        a[2 * k] = (xr * hr - xi * hi) + a[2 * k];
        a[2 * k + 1] = (xr * hi + xi * hr) + a[2 * k + 1];
    }
}

void accumulate_base(float *const *acc, int32_t ngroup, const float *x, const float *const *h,
                     int32_t nbin)
{
    for (int32_t g = 0; g < ngroup; g++) accumulate_one(acc[g], x, h[g], nbin);
}

Accumulate select_accumulate()
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2")) return accumulate_avx2;
#endif
    return accumulate_base;
}
