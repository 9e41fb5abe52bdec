// Writes the demo data of tessfile into the folder named on the command
// line: a two-way stereo loudspeaker crossover (2 inputs, 4 outputs).
//
//   crossover.conf   the configuration
//   left.wav         input 1 to the four outputs: low-pass, high-pass, 0, 0
//   right.wav        input 2 to the four outputs: 0, 0, low-pass, high-pass
//   input.wav        3 s of stereo test signal at 48 kHz
//
// The filters are linear-phase FIR filters crossing over at 2 kHz; the
// high-pass is a delayed impulse minus the low-pass, so the two ways of one
// side add up to the input delayed by 255 samples.
//
// Single-threaded; everything is computed in double precision and written
// as 32-bit float. Messages go to stderr only.

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <sndfile.h>
#include <vector>

static const int RATE = 48000;
static const int TAPS = 511;
static const double CROSSOVER = 2000.0;

static bool write_wav(const std::string &path, int channels, const std::vector<float> &data)
{
    SF_INFO info = {};
    info.samplerate = RATE;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    if (channels > 2) info.format = SF_FORMAT_WAVEX | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
    {
        fprintf(stderr, "make_examples: can't create '%s': %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    sf_count_t frames = data.size() / channels;
    bool ok = sf_writef_float(f, data.data(), frames) == frames;
    ok = (sf_close(f) == 0) && ok;
    if (!ok) fprintf(stderr, "make_examples: write error on '%s'\n", path.c_str());
    return ok;
}

// Blackman-windowed sinc low-pass, unity gain at DC.
static std::vector<double> lowpass()
{
    std::vector<double> h(TAPS);
    const int mid = TAPS / 2;
    const double wc = 2 * M_PI * CROSSOVER / RATE;
    double sum = 0;
    for (int i = 0; i < TAPS; i++)
    {
        int k = i - mid;
        double s = k ? sin(wc * k) / (M_PI * k) : wc / M_PI;
        double w = 0.42 - 0.5 * cos(2 * M_PI * i / (TAPS - 1)) + 0.08 * cos(4 * M_PI * i / (TAPS - 1));
        h[i] = s * w;
        sum += h[i];
    }
    for (double &x : h) x /= sum;
    return h;
}

// One input's row of the matrix: four channels, the low-pass and the
// high-pass in channels 'first' and 'first' + 1.
static std::vector<float> row(const std::vector<double> &lp, int first)
{
    std::vector<float> d(4 * TAPS, 0.0f);
    for (int i = 0; i < TAPS; i++)
    {
        double hp = (i == TAPS / 2 ? 1.0 : 0.0) - lp[i];
        d[4 * i + first] = (float) lp[i];
        d[4 * i + first + 1] = (float) hp;
    }
    return d;
}

// Left: a logarithmic sweep from 20 Hz to 20 kHz. Right: bursts of noise
// from a fixed-seed generator, a quarter second on and off.
static std::vector<float> test_signal()
{
    const int frames = 3 * RATE;
    const double f0 = 20, f1 = 20000, len = (double) frames / RATE;
    const double k = log(f1 / f0);
    std::vector<float> d(2 * frames);
    uint32_t seed = 12345;
    for (int i = 0; i < frames; i++)
    {
        double t = (double) i / RATE;
        double phase = 2 * M_PI * f0 * len / k * (exp(t / len * k) - 1);
        double fade = fmin(1.0, fmin(t, len - t) / 0.01);
        d[2 * i] = (float) (0.5 * fade * sin(phase));
        seed = seed * 1664525u + 1013904223u;
        double noise = ((seed >> 8) / 16777216.0 - 0.5);
        bool on = ((int) (t * 4) % 2) == 0;
        d[2 * i + 1] = on ? (float) (0.5 * noise) : 0.0f;
    }
    return d;
}

static const char *CONFIG =
    "# Two-way crossover for a stereo pair of loudspeakers, made by make_examples.\n"
    "# Inputs: left and right. Outputs: the woofer and the tweeter of each side.\n"
    "/convolver/new 2 4 512 2\n"
    "/input/name 1 left\n"
    "/input/name 2 right\n"
    "/output/name 1 left-woofer\n"
    "/output/name 2 left-tweeter\n"
    "/output/name 3 right-woofer\n"
    "/output/name 4 right-tweeter\n"
    "# The tweeters are 3 dB more sensitive than the woofers.\n"
    "/output/dbgain 2 -3\n"
    "/output/dbgain 4 -3\n"
    "/matrix/load_input 1 1.0 left.wav\n"
    "/matrix/load_input 2 1.0 right.wav\n";

int main(int argc, char *argv[])
{
    if (argc != 2)
    {
        fprintf(stderr, "Usage: make_examples <folder>\n");
        return 1;
    }
    std::string dir = argv[1];
    std::string conf = dir + "/crossover.conf";
    FILE *f = fopen(conf.c_str(), "w");
    if (!f)
    {
        fprintf(stderr, "make_examples: can't create '%s'\n", conf.c_str());
        return 1;
    }
    bool ok = fputs(CONFIG, f) >= 0;
    ok = (fclose(f) == 0) && ok;
    if (!ok)
    {
        fprintf(stderr, "make_examples: write error on '%s'\n", conf.c_str());
        return 1;
    }
    std::vector<double> lp = lowpass();
    if (!write_wav(dir + "/left.wav", 4, row(lp, 0))) return 1;
    if (!write_wav(dir + "/right.wav", 4, row(lp, 2))) return 1;
    if (!write_wav(dir + "/input.wav", 2, test_signal())) return 1;
    return 0;
}
