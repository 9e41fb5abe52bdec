// The kernel for processors with AVX2. This file alone is built with
// -mavx2; it runs only where the processor has it. No fused multiply-add:
// the products are rounded before they are added, as in the plain kernel.
#include "blockkernel.h"

#if defined(__x86_64__) && defined(__GNUC__) && defined(__AVX2__)

#include <immintrin.h>

namespace {

// How far ahead, in floats, the impulse-response spectra are fetched: they
// come from memory in one stream, faster than the hardware's own prefetch
// asks for them.
const int32_t PREFETCH = 1024;

// The products of one partition's chunk (hr, hm) with the input chunks at
// x + off[b], added into the sums of blocks 0 .. B - 1.
template <int B>
inline void madd(__m256 *ar, __m256 *ai, __m256 hr, __m256 hm, const float *x, const int32_t *off)
{
    for (int b = 0; b < B; b++) {
        const __m256 xr = _mm256_load_ps(x + off[b]);
        const __m256 xm = _mm256_load_ps(x + off[b] + CHUNK);
        const __m256 tr = _mm256_sub_ps(_mm256_mul_ps(xr, hr), _mm256_mul_ps(xm, hm));
        const __m256 tm = _mm256_add_ps(_mm256_mul_ps(xr, hm), _mm256_mul_ps(xm, hr));
        ar[b] = _mm256_add_ps(tr, ar[b]);
        ai[b] = _mm256_add_ps(tm, ai[b]);
    }
}

// Blocks b0 .. b0 + B - 1: 2 * B sums in registers, the impulse-response
// chunk loaded once for all of them. With one partition (the usual case
// offline) the blocks' slots are the same for every input and are looked
// up once.
template <int B>
void blocks(const Chunkjob &q, int32_t b0)
{
    static_assert(CHUNK == 8, "one register holds the real or imaginary parts of a chunk");
    __m256 ar[B], ai[B];
    for (int b = 0; b < B; b++) ar[b] = ai[b] = _mm256_setzero_ps();
    const int32_t xstep = q.nring * CHUNK_FLOATS;
    const float *x = q.x;
    const float *h = q.h;
    if (q.npart == 1) {
        int32_t off[B];
        for (int b = 0; b < B; b++) off[b] = q.slot[b0 + b] * CHUNK_FLOATS;
        for (int32_t i = 0; i < q.ninp; i++, x += xstep, h += CHUNK_FLOATS) {
            _mm_prefetch((const char *)(h + PREFETCH), _MM_HINT_T0);
            madd<B>(ar, ai, _mm256_load_ps(h), _mm256_load_ps(h + CHUNK), x, off);
        }
    }
    else {
        for (int32_t i = 0; i < q.ninp; i++, x += xstep) {
            for (int32_t p = 0; p < q.npart; p++, h += CHUNK_FLOATS) {
                int32_t off[B];
                for (int b = 0; b < B; b++) off[b] = q.slot[p * q.nblock + b0 + b] * CHUNK_FLOATS;
                _mm_prefetch((const char *)(h + PREFETCH), _MM_HINT_T0);
                madd<B>(ar, ai, _mm256_load_ps(h), _mm256_load_ps(h + CHUNK), x, off);
            }
        }
    }
    for (int b = 0; b < B; b++) {
        // (r0..r7), (i0..i7) -> r0 i0 r1 i1 r2 i2 r3 i3, r4 i4 .. r7 i7
        const __m256 lo = _mm256_unpacklo_ps(ar[b], ai[b]);
        const __m256 hi = _mm256_unpackhi_ps(ar[b], ai[b]);
        float *a = q.acc + (int64_t)(b0 + b) * q.accstep;
        _mm256_store_ps(a, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_store_ps(a + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
    }
}

}  // namespace

void blockkernel_avx2(const Chunkjob &q)
{
    int32_t b = 0;
    for (; b + 4 <= q.nblock; b += 4) blocks<4>(q, b);
    switch (q.nblock - b) {
    case 1: blocks<1>(q, b); break;
    case 2: blocks<2>(q, b); break;
    case 3: blocks<3>(q, b); break;
    default: break;
    }
}

#else

void blockkernel_avx2(const Chunkjob &q)
{
    blockkernel_base(q);
}

#endif
