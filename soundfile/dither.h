// Per-channel state of the dithered float to 16-bit conversion, and the
// three conversions: "rect" (rectangular), "tri" (triangular, high-passed)
// and "lips" (triangular with five-tap error-feedback noise shaping). The
// output is fixed bit for bit by single-precision arithmetic.
//
// Samples are scaled so that +-1.0 is +-32768 and limited to -32767..32767.
// A NaN sample is converted as 0.0, an infinite one as +-1.0, and finite
// samples beyond +-65536.0 as that bound, so that no input can upset the
// state of the channel.
//
// Threads: reset and the proc_ functions may be called from any one thread
// at a time per object (in practice the thread writing the Soundfile that
// owns it). They allocate nothing, take no lock and do no I/O: in
// themselves they are realtime-safe.

#ifndef TESS_DITHER_H
#define TESS_DITHER_H

#include <stdint.h>

class Dither
{
public:
    Dither() { reset(); }

    void reset();

    // Convert 'count' samples in[k * istride] to out[k * ostride], k = 0 ..
    // count - 1; strides count samples. Only this object's state changes.
    void proc_rect(int count, const float *in, int istride, int16_t *out, int ostride);
    void proc_tri(int count, const float *in, int istride, int16_t *out, int ostride);
    void proc_lips(int count, const float *in, int istride, int16_t *out, int ostride);

    float hist[68];     // "lips" errors, newest at index; 64..67 repeat 0..3.
                        // "tri" keeps its last random value in hist[0].
    int index;          // 0..63
    uint32_t seed;      // random generator state
};

#endif
