// The kernel for processors with AVX-512. This file alone is built with
// -mavx512f; it runs only where the processor has it. No fused
// multiply-add: the products are rounded before they are added, as in the
// plain kernel.
#include "accumulate.h"

#if defined(__x86_64__) && defined(__GNUC__) && defined(__AVX512F__)

#include <immintrin.h>

namespace {

// How far ahead, in floats, the impulse-response spectra are fetched: the
// hardware's own prefetch does not keep several streams from memory going.
const int32_t PREFETCH = 512;

// The products of up to eight bins: the floats of 'lanes' only.
inline void bins(float *a, const float *x, const float *h, __mmask16 lanes)
{
    const __mmask16 real = 0x5555;
    __m512 xv = _mm512_maskz_loadu_ps(lanes, x);
    __m512 hv = _mm512_maskz_loadu_ps(lanes, h);
    __m512 xr = _mm512_moveldup_ps(xv);
    __m512 xi = _mm512_movehdup_ps(xv);
    __m512 hs = _mm512_permute_ps(hv, 0xB1);
    __m512 p = _mm512_mul_ps(xr, hv);
    __m512 q = _mm512_mul_ps(xi, hs);
    __m512 t = _mm512_mask_sub_ps(_mm512_add_ps(p, q), real, p, q);
    _mm512_mask_storeu_ps(a, lanes, _mm512_add_ps(t, _mm512_maskz_loadu_ps(lanes, a)));
}

// Eight bins of 'ngroup' outputs at a time. There is no addsub at this
// width: the sum of the two products is taken in every lane, and the
// difference replaces it in the real lanes; both are exact IEEE operations
// on the same rounded products, as in the plain kernel.
template <int G>
void group(float *const *acc, const float *x, const float *const *h, int32_t nbin)
{
    float *a[G];
    const float *hp[G];
    for (int g = 0; g < G; g++) {
        a[g] = acc[g];
        hp[g] = h[g];
    }
    const __mmask16 real = 0x5555;
    const int32_t nvec = nbin / 8;

    for (int32_t v = 0; v < nvec; v++) {
        const int32_t o = 16 * v;
        for (int g = 0; g < G; g++) _mm_prefetch((const char *)(hp[g] + o + PREFETCH), _MM_HINT_T0);
        __m512 xv = _mm512_loadu_ps(x + o);
        __m512 xr = _mm512_moveldup_ps(xv);
        __m512 xi = _mm512_movehdup_ps(xv);
        for (int g = 0; g < G; g++) {
            __m512 hv = _mm512_loadu_ps(hp[g] + o);
            __m512 hs = _mm512_permute_ps(hv, 0xB1);
            __m512 p = _mm512_mul_ps(xr, hv);
            __m512 q = _mm512_mul_ps(xi, hs);
            __m512 t = _mm512_mask_sub_ps(_mm512_add_ps(p, q), real, p, q);
            _mm512_storeu_ps(a[g] + o, _mm512_add_ps(t, _mm512_loadu_ps(a[g] + o)));
        }
    }
    // The last bins under masks: plain scalar code here would be turned
    // back into vector code with fused multiply-adds by the compiler.
    const int32_t rest = nbin - 8 * nvec;
    if (rest) {
        const __mmask16 lanes = (__mmask16)((1u << (2 * rest)) - 1);
        const int32_t o = 16 * nvec;
        for (int g = 0; g < G; g++) bins(a[g] + o, x + o, hp[g] + o, lanes);
    }
}

}  // namespace

void accumulate_avx512(float *const *acc, int32_t ngroup, const float *x, const float *const *h,
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

void accumulate_avx512(float *const *acc, int32_t ngroup, const float *x, const float *const *h,
                       int32_t nbin)
{
    accumulate_avx2(acc, ngroup, x, h, nbin);
}

#endif
