// Per-channel state of the dithered float to 16-bit conversion.
//
// Threads: used by one thread at a time (the owner of the Soundfile).
// Not realtime-relevant; allocates nothing.

#ifndef TESS_DITHER_H
#define TESS_DITHER_H

#include <stdint.h>

class Dither
{
public:
    Dither() { reset(); }

    void reset();

    // Convert 'count' samples in[k * istride] to out[k * ostride].
    void proc_rect(int count, const float *in, int istride, int16_t *out, int ostride);
    void proc_tri(int count, const float *in, int istride, int16_t *out, int ostride);
    void proc_lips(int count, const float *in, int istride, int16_t *out, int ostride);

    float hist[68];
    int index;
    uint32_t seed;
};

#endif
