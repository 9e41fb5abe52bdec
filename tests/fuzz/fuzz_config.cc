// Fuzz target: a whole configuration file through Convconf::read, as both
// programs read it (sample rate 48000, period 64). Beside the file lie a few
// real impulse files of different shapes, rates and formats, so that the
// matrix commands in the corpus find something to load:
//   m1.wav   1 channel,  64 frames          m2.wav   2 channels, 128 frames
//   m3.flac  3 channels, 96 frames, 16-bit  m4.aiff  4 channels, 256 frames, 44.1 kHz
//   m2.caf   2 channels, 5000 frames (longer than any convolver)
//   empty.wav 2 channels, no frames         short.wav 2 channels, cut short on disk
// After a successful read the convolver, if any, runs a few cycles.

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include <sndfile.h>

#include "convconf.h"
#include "fuzzutil.h"

namespace {

const int RATE = 48000;
const int PERIOD = 64;

void make_impulse(const std::string &name, int format, int rate, int chans, int frames)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = chans;
    info.format = format;
    SNDFILE *f = sf_open((fuzz_dir() + "/" + name).c_str(), SFM_WRITE, &info);
    if (!f) abort();
    std::vector<float> d((size_t)chans * frames);
    for (size_t k = 0; k < d.size(); k++) d[k] = 0.5f * std::sin(0.1f * k) / (1 + k % 7);
    sf_writef_float(f, d.data(), frames);
    sf_close(f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    make_impulse("m1.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, RATE, 1, 64);
    make_impulse("m2.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, RATE, 2, 128);
    make_impulse("m3.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, RATE, 3, 96);
    make_impulse("m4.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_32, 44100, 4, 256);
    make_impulse("m2.caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT, RATE, 2, 5000);
    make_impulse("empty.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, RATE, 2, 0);
    make_impulse("short.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, RATE, 2, 1000);
    if (truncate((fuzz_dir() + "/short.wav").c_str(), 44 + 8 * 300)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = fuzz_dir() + "/fuzz.conf";
    fuzz_write(path, data, size);

    Quiet quiet;
    Convconf conf(RATE, PERIOD);
    int r = conf.read(path.c_str());
    if (r == 0 && conf.convolver) {
        Convolver *d = conf.convolver;
        std::vector<float> buf((size_t)PERIOD * MAXINP, 0.0f);
        buf[0] = 1.0f;
        std::vector<float *> ptr(MAXINP);
        for (int i = 0; i < MAXINP; i++) ptr[i] = buf.data() + (size_t)i * PERIOD;
        for (int cycle = 0; cycle < 3; cycle++) d->process(ptr.data(), ptr.data());
    }
    // What the reader promises, whatever the file held.
    if (conf.impfile.mode() != Soundfile::MODE_NONE) abort();
    if (conf.convolver && (conf.convolver->ninp != (int32_t)conf.ninp ||
                           conf.convolver->nout != (int32_t)conf.nout)) {
        // A failed second "/convolver/new" may leave its rejected values.
        if (r == 0) abort();
    }
    if (r == 0) {
        for (int k = 0; k < MAXINP; k++) {
            if (!std::isfinite(conf.inp_gains[k]) || !std::isfinite(conf.out_gains[k])) abort();
        }
    }
    return 0;
}
