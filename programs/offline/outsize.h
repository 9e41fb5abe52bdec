// Size planning for the offline program's output file.
//
// A RIFF WAV file counts its length in 32-bit fields, so it cannot hold
// more than 4 GiB - 1 bytes. The offline program knows its output length
// before it writes anything, and switches to the RF64 container when the
// data would not fit.
//
// Threads: plain functions of their arguments, callable from any thread;
// realtime-safe.

#ifndef TESS_OUTSIZE_H
#define TESS_OUTSIZE_H

#include <stdint.h>

// Largest value a RIFF size field can hold.
const uint64_t RIFF_MAXSIZE = 0xFFFFFFFFu;

// Room reserved for everything in a float WAV/WAVEX file that is not sample
// data: the RIFF, fmt, fact, PEAK (8 bytes per channel) and data chunk
// headers. At 64 channels they take about 600 bytes; the bound is generous.
const uint64_t WAV_HEADROOM = 1024;

// Bytes of sample data in 'frames' frames of 'channels' float samples.
// Saturates at UINT64_MAX instead of wrapping.
inline uint64_t float_data_bytes(int64_t frames, int channels)
{
    if (frames <= 0 || channels <= 0) return 0;
    uint64_t per = 4 * (uint64_t) channels;
    if ((uint64_t) frames > UINT64_MAX / per) return UINT64_MAX;
    return (uint64_t) frames * per;
}

// True when 'frames' frames of 'channels' float samples, with their header,
// would not fit in a RIFF WAV file.
inline bool output_needs_rf64(int64_t frames, int channels)
{
    return float_data_bytes(frames, channels) > RIFF_MAXSIZE - WAV_HEADROOM;
}

#endif
