// Writes the sound files that the examples in the documentation use, into
// the folder named on the command line (beside the demo's files, which
// make_examples writes):
//
//   ir-<i>-<o>.wav     mono impulse responses, 1000 frames at 48 kHz, for
//                      inputs 1-2 and outputs 1-4: decaying noise
//   stereo-matrix.wav  2 channels, 2 segments of 1000 frames: ir-<i>-<o>
//                      for a 2 x 2 convolver, in the /matrix/load layout
//   ir-44k.wav         mono, 1000 frames at 44.1 kHz
//   long-ir.wav        mono, 5000 frames at 48 kHz
//   mono.wav           1 s of mono noise at 48 kHz
//
// Single-threaded; messages go to stderr only.

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <sndfile.h>
#include <vector>

static bool write_wav(const std::string &path, int rate, int channels, const std::vector<float> &data)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        fprintf(stderr, "make_fixtures: can't create '%s': %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    sf_count_t frames = data.size() / channels;
    bool ok = sf_writef_float(f, data.data(), frames) == frames;
    ok = (sf_close(f) == 0) && ok;
    if (!ok) fprintf(stderr, "make_fixtures: write error on '%s'\n", path.c_str());
    return ok;
}

static uint32_t seed = 4711;

static float noise()
{
    seed = seed * 1664525u + 1013904223u;
    return (float) ((seed >> 8) / 16777216.0 - 0.5);
}

static std::vector<float> decay(int frames, float amp)
{
    std::vector<float> v(frames);
    for (int t = 0; t < frames; t++) v[t] = amp * noise() * expf(-5.0f * t / frames);
    return v;
}

int main(int argc, char *argv[])
{
    if (argc != 2) {
        fprintf(stderr, "Usage: make_fixtures <folder>\n");
        return 1;
    }
    const std::string dir = argv[1];
    const int LEN = 1000;
    std::vector<float> irs[2][4];
    for (int i = 0; i < 2; i++) {
        for (int o = 0; o < 4; o++) {
            irs[i][o] = decay(LEN, 0.2f);
            irs[i][o][0] = (i == o % 2) ? 0.8f : 0.1f;
            std::string name = dir + "/ir-" + std::to_string(i + 1) + "-" + std::to_string(o + 1) + ".wav";
            if (!write_wav(name, 48000, 1, irs[i][o])) return 1;
        }
    }
    std::vector<float> m(2 * 2 * LEN);
    for (int o = 0; o < 2; o++)
        for (int i = 0; i < 2; i++)
            for (int t = 0; t < LEN; t++) m[(o * LEN + t) * 2 + i] = irs[i][o][t];
    if (!write_wav(dir + "/stereo-matrix.wav", 48000, 2, m)) return 1;
    if (!write_wav(dir + "/ir-44k.wav", 44100, 1, decay(LEN, 0.2f))) return 1;
    if (!write_wav(dir + "/long-ir.wav", 48000, 1, decay(5000, 0.2f))) return 1;
    std::vector<float> mono(48000);
    for (float &x : mono) x = 0.5f * noise();
    if (!write_wav(dir + "/mono.wav", 48000, 1, mono)) return 1;
    return 0;
}
