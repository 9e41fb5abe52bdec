// Reading spectra as fast as the machine reads memory: the floor that the
// benchmarks hold the convolver against. Header-only, for the benchmark
// programs.

#ifndef TESS_BENCH_READ_H
#define TESS_BENCH_READ_H

#include <stdint.h>

namespace benchread {

// Sums every float of 'n' bytes' worth of spectra; several independent
// sums keep the loads, not the adds, the limit.
typedef float v8sf __attribute__((vector_size(32)));

inline __attribute__((target("avx2"))) float read_avx2(const float *p, int32_t nfloat)
{
    v8sf a = {}, b = {}, c = {}, d = {};
    int32_t k = 0;
    for (; k + 32 <= nfloat; k += 32) {
        v8sf x0, x1, x2, x3;
        __builtin_memcpy(&x0, p + k, 32);
        __builtin_memcpy(&x1, p + k + 8, 32);
        __builtin_memcpy(&x2, p + k + 16, 32);
        __builtin_memcpy(&x3, p + k + 24, 32);
        a += x0;
        b += x1;
        c += x2;
        d += x3;
    }
    v8sf s = (a + b) + (c + d);
    float r = 0.0f;
    for (int q = 0; q < 8; q++) r += s[q];
    for (; k < nfloat; k++) r += p[k];
    return r;
}

inline float read_base(const float *p, int32_t nfloat)
{
    float a[8] = {};
    int32_t k = 0;
    for (; k + 8 <= nfloat; k += 8)
        for (int q = 0; q < 8; q++) a[q] += p[k + q];
    float r = 0.0f;
    for (int q = 0; q < 8; q++) r += a[q];
    for (; k < nfloat; k++) r += p[k];
    return r;
}

// The sum of 'nfloat' floats from 'p', read with AVX2 where the processor
// has it.
inline float read_floats(const float *p, int32_t nfloat)
{
    static const bool fast = __builtin_cpu_supports("avx2");
    return fast ? read_avx2(p, nfloat) : read_base(p, nfloat);
}

}  // namespace benchread

#endif
