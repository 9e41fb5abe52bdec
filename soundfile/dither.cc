// Dithered float to 16-bit conversion.
//
// The output is fixed bit for bit: every step is one single-precision
// operation in the order written. This file is built with
// -ffp-contract=off, and the check below refuses a target that would
// evaluate float expressions in a wider format.

#include <cfloat>
#include <cmath>
#include <string.h>

#include "dither.h"

#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "float expressions must be evaluated in single precision (on x86 use SSE math)"
#endif
#ifdef __FAST_MATH__
#error "dither.cc must not be built with -ffast-math"
#endif

namespace {

const float RSCALE = 4294967296.0f;   // 2^32
const float SSCALE = 32768.0f;
const float C1 = -2.033f;
const float C2 = 2.165f;
const float C3 = -1.959f;
const float C4 = 1.59f;
const float C5 = -0.615f;
const float LIMIT = 32767.0f;

// Inputs are confined to +-XMAX before any arithmetic. Up to there the
// arithmetic is exact as written (|x * 32768| stays below 2^31); beyond
// it a product could overflow to infinity and spoil the shaping filter's
// history for good.
const float XMAX = 65536.0f;

// A NaN sample counts as silence, an infinite one as full scale of its
// sign, a huge finite one as XMAX: whatever comes in, the channel state
// stays finite and bounded.
inline float sanitize(float x)
{
    if (std::isnan(x)) return 0.0f;
    if (x > XMAX) return std::isinf(x) ? 1.0f : XMAX;
    if (x < -XMAX) return std::isinf(x) ? -1.0f : -XMAX;
    return x;
}

inline uint32_t next(uint32_t s)
{
    return s * 1103515245u + 12345u;
}

inline float uniform(uint32_t r)
{
    return (float) r / RSCALE;
}

// k comes from rintf (halfway cases to even in the default rounding mode)
// and is finite, so limiting it in float and then converting is exact and
// never out of range.
inline int16_t limit(float k)
{
    if (k > LIMIT) k = LIMIT;
    else if (k < -LIMIT) k = -LIMIT;
    return (int16_t) (int) k;
}

} // namespace

void Dither::reset()
{
    memset(hist, 0, sizeof(hist));
    index = 63;
    seed = 1234567;
}

void Dither::proc_rect(int count, const float *in, int istride, int16_t *out, int ostride)
{
    uint32_t s = seed;
    for (int k = 0; k < count; k++) {
        s = next(s);
        float u = uniform(s);
        float v = sanitize(in[k * istride]) * SSCALE + (u - 0.5f);
        out[k * ostride] = limit(rintf(v));
    }
    seed = s;
}

void Dither::proc_tri(int count, const float *in, int istride, int16_t *out, int ostride)
{
    uint32_t s = seed;
    float prev = hist[0];
    for (int k = 0; k < count; k++) {
        s = next(s);
        float u = uniform(s);
        float v = (sanitize(in[k * istride]) * SSCALE + u) - prev;
        out[k * ostride] = limit(rintf(v));
        prev = u;
    }
    hist[0] = prev;
    seed = s;
}

void Dither::proc_lips(int count, const float *in, int istride, int16_t *out, int ostride)
{
    uint32_t s = seed;
    int i = index;
    for (int k = 0; k < count; k++) {
        float x = sanitize(in[k * istride]) * SSCALE;
        const float *h = hist + i;
        x = x + C1 * h[0];
        x = x + C2 * h[1];
        x = x + C3 * h[2];
        x = x + C4 * h[3];
        x = x + C5 * h[4];
        uint32_t r1 = next(s);
        uint32_t r2 = next(r1);
        s = r2;
        float v = (x + uniform(r1)) - uniform(r2);
        float q = rintf(v);
        out[k * ostride] = limit(q);
        if (i == 0) {
            memcpy(hist + 64, hist, 4 * sizeof(float));
            i = 63;
        }
        else i--;
        // The error is taken before limiting.
        hist[i] = q - x;
    }
    index = i;
    seed = s;
}
