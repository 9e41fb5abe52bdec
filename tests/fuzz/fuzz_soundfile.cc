// Fuzz target: an arbitrary byte string opened and read as a sound file,
// the way both kinds of sound file are read here:
// - as tessfile's input: blocks of 1024 frames read until the file ends
//   (or a bound far beyond the corpus), then a seek back and a read;
// - as an impulse-response file: loaded through the configuration reader
//   with "/matrix/load" and "/matrix/load_input" into a convolver of the
//   file's channel count, which then runs one cycle.

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "convconf.h"
#include "fuzzutil.h"
#include "soundfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = fuzz_dir() + "/fuzz.snd";
    static const std::string conf_path = fuzz_dir() + "/fuzz.conf";
    fuzz_write(path, data, size);

    int chans = 0;
    {
        Soundfile f;
        if (f.open_read(path.c_str())) return 0;
        chans = f.channels();
        if (f.mode() != Soundfile::MODE_READ || chans <= 0) abort();
        // tessfile reads only files whose channel count matches a
        // convolver, so never more than 64 channels.
        if (chans > MAXINP) return 0;
        std::vector<float> buf((size_t)chans * Soundfile::BUFFRAMES);
        int64_t total = 0;
        while (total < (1 << 20)) {
            int n = f.read(buf.data(), Soundfile::BUFFRAMES);
            if (n < 0 || n > Soundfile::BUFFRAMES) abort();
            if (n == 0) break;
            total += n;
        }
        if (f.seek(0) == 0) f.read(buf.data(), Soundfile::BUFFRAMES);
        if (f.frames() > 0 && f.seek(f.frames() / 2) == 0) f.read(buf.data(), 1);
        f.close();
    }

    // As the impulse responses of a convolver with one input per channel
    // and one output (and the transposed way, one output per channel).
    std::string text = "/convolver/new " + std::to_string(chans) + " 1 256 1\n"
                       "/matrix/load 0.5 fuzz.snd\n"
                       "/matrix/load_output 1 1 fuzz.snd\n"
                       "/convolver/new 1 " + std::to_string(chans) + " 256 1\n"
                       "/matrix/load_input 1 1 fuzz.snd\n";
    fuzz_write(conf_path, (const uint8_t *)text.data(), text.size());
    Quiet quiet;
    Convconf conf(48000, 64);
    if (conf.read(conf_path.c_str()) == 0) {
        std::vector<float> buf((size_t)64 * MAXINP, 0.25f);
        std::vector<float *> ptr(MAXINP);
        for (int i = 0; i < MAXINP; i++) ptr[i] = buf.data() + (size_t)i * 64;
        conf.convolver->process(ptr.data(), ptr.data());
    }
    if (conf.impfile.mode() != Soundfile::MODE_NONE) abort();
    return 0;
}
