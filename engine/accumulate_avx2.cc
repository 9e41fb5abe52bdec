// The kernel for processors with AVX2. This file alone is built with
// -mavx2; it runs only where the processor has it. No fused multiply-add:
// the products are rounded before they are added, as in the plain kernel.
#include "accumulate.h"

#if defined(__x86_64__) && defined(__GNUC__) && defined(__AVX2__)

#include <immintrin.h>

namespace {

// How far ahead, in floats, the impulse-response spectra are fetched: the
// hardware's own prefetch does not keep several streams from memory going.
const int32_t PREFETCH = 512;

// One bin, as the plain kernel computes it.
inline void one_bin(float *a, const float *x, const float *h)
{
    float xr = x[0], xi = x[1], hr = h[0], hi = h[1];
    a[0] = (xr * hr - xi * hi) + a[0];
    a[1] = (xr * hi + xi * hr) + a[1];
}

// Four bins of 'ngroup' outputs at a time: the input's real and imaginary
// parts are spread once and serve every output. addsub gives
// (X.re H.re - X.im H.im, X.re H.im + X.im H.re) exactly as written above.
template <int G>
void group(float *const *acc, const float *x, const float *const *h, int32_t nbin)
{
    float *a[G];
    const float *hp[G];
    for (int g = 0; g < G; g++) {
        a[g] = acc[g];
        hp[g] = h[g];
    }
    const int32_t nvec = nbin / 4;
    for (int32_t v = 0; v < nvec; v++) {
        const int32_t o = 8 * v;
        if ((v & 1) == 0)
            for (int g = 0; g < G; g++) _mm_prefetch((const char *)(hp[g] + o + PREFETCH), _MM_HINT_T0);
        __m256 xv = _mm256_loadu_ps(x + o);
        __m256 xr = _mm256_moveldup_ps(xv);
        __m256 xi = _mm256_movehdup_ps(xv);
        for (int g = 0; g < G; g++) {
            __m256 hv = _mm256_loadu_ps(hp[g] + o);
            __m256 hs = _mm256_permute_ps(hv, 0xB1);
            __m256 t = _mm256_addsub_ps(_mm256_mul_ps(xr, hv), _mm256_mul_ps(xi, hs));
            _mm256_storeu_ps(a[g] + o, _mm256_add_ps(t, _mm256_loadu_ps(a[g] + o)));
        }
    }
    for (int32_t k = 4 * nvec; k < nbin; k++)
        for (int g = 0; g < G; g++) one_bin(a[g] + 2 * k, x + 2 * k, hp[g] + 2 * k);
}

}  // namespace

void accumulate_avx2(float *const *acc, int32_t ngroup, const float *x, const float *const *h,
                     int32_t nbin)
{
    switch (ngroup) {
    case 1: group<1>(acc, x, h, nbin); break;
    case 2: group<2>(acc, x, h, nbin); break;
    case 3: group<3>(acc, x, h, nbin); break;
    default: group<4>(acc, x, h, nbin); break;
    }
}

#else

void accumulate_avx2(float *const *acc, int32_t ngroup, const float *x, const float *const *h,
                     int32_t nbin)
{
    accumulate_base(acc, ngroup, x, h, nbin);
}

#endif
