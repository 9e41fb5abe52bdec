#include "blockkernel.h"

void blockkernel_base(const Chunkjob &q)
{
    for (int32_t b = 0; b < q.nblock; b++) {
        float ar[CHUNK], ai[CHUNK];
        for (int k = 0; k < CHUNK; k++) ar[k] = ai[k] = 0.0f;
        for (int32_t i = 0; i < q.ninp; i++) {
            const float *xi = q.x + (int64_t)i * q.nring * CHUNK_FLOATS;
            const float *hi = q.h + (int64_t)i * q.npart * CHUNK_FLOATS;
            for (int32_t p = 0; p < q.npart; p++) {
                const float *x = xi + q.slot[p * q.nblock + b] * CHUNK_FLOATS;
                const float *h = hi + p * CHUNK_FLOATS;
                for (int k = 0; k < CHUNK; k++) {
                    const float xr = x[k], xm = x[CHUNK + k], hr = h[k], hm = h[CHUNK + k];
                    ar[k] = (xr * hr - xm * hm) + ar[k];
                    ai[k] = (xr * hm + xm * hr) + ai[k];
                }
            }
        }
        float *a = q.acc + (int64_t)b * q.accstep;
        for (int k = 0; k < CHUNK; k++) {
            a[2 * k] = ar[k];
            a[2 * k + 1] = ai[k];
        }
    }
}

Blockkernel select_blockkernel()
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2")) return blockkernel_avx2;
#endif
    return blockkernel_base;
}
