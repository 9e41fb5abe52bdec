// tessfile run as a program: command line, start-up failures, output
// length and format, the convolution result against a double-precision
// reference, short reads, interruption, write failures and the terminal
// display. Every case writes real files into a private temporary folder.

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <math.h>
#include <random>
#include <regex>
#include <signal.h>
#include <sndfile.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "runner.h"

namespace fs = std::filesystem;

static const std::string USAGE =
    "\ntessfile 0.5.2\n"
    "Usage: tessfile <configuration file> <input file> <output file>\n"
    "Options:\n"
    "  -h  Display this text\n"
    "  -T  Truncate ouput to input size\n";

static std::string option_error(const std::string &line)
{
    return "\nOn command line:\n" + line + "  Use '-h' to see all options.\n";
}

// A sound file read back completely.
struct Sound
{
    bool ok = false;
    SF_INFO info = {};
    std::vector<float> data;   // interleaved
    float at(int64_t frame, int chan) const { return data[frame * info.channels + chan]; }
};

static Sound read_sound(const std::string &path)
{
    Sound s;
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &s.info);
    if (!f) return s;
    s.data.resize(s.info.frames * s.info.channels);
    s.ok = sf_readf_float(f, s.data.data(), s.info.frames) == s.info.frames;
    sf_close(f);
    return s;
}

static void write_sound(const std::string &path, int channels, int rate,
                        const std::vector<float> &data, int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    sf_count_t frames = data.size() / channels;
    ASSERT_EQ(sf_writef_float(f, data.data(), frames), frames);
    sf_close(f);
}

// A WAV file whose header promises 'frames' frames of silence, stored
// sparsely, so that it costs no disk space however long it is. Samples are
// float, or 16-bit with 'pcm16' (for lengths beyond 4 GiB of float data).
static void write_long_silence(const std::string &path, int channels, int rate, int64_t frames,
                               bool pcm16 = false)
{
    const int size = pcm16 ? 2 : 4;
    ASSERT_LE(frames * channels * size + 36, (int64_t) UINT32_MAX);
    uint32_t bytes = (uint32_t) (frames * channels * size);
    unsigned char h[44];
    auto put32 = [&](int at, uint32_t v) { for (int i = 0; i < 4; i++) h[at + i] = (v >> (8 * i)) & 255; };
    auto put16 = [&](int at, uint32_t v) { h[at] = v & 255; h[at + 1] = (v >> 8) & 255; };
    memcpy(h, "RIFF", 4);
    put32(4, 36 + bytes);
    memcpy(h + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, pcm16 ? 1 : 3);           // PCM or IEEE float
    put16(22, channels);
    put32(24, rate);
    put32(28, rate * channels * size);
    put16(32, channels * size);
    put16(34, 8 * size);
    memcpy(h + 36, "data", 4);
    put32(40, bytes);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, h, 44), 44);
    ASSERT_EQ(ftruncate(fd, 44 + (off_t) bytes), 0);
    close(fd);
}

static std::vector<float> noise(size_t count, unsigned seed, float amp = 1.0f)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-amp, amp);
    std::vector<float> v(count);
    for (float &x : v) x = dist(gen);
    return v;
}

// Without permission for realtime scheduling the configuration reader
// warns once about it; that line is taken out, so that the messages
// compared are the same under any user.
static Result without_rt_warning(Result r)
{
    size_t at = r.err.find("Warning: realtime priority");
    if (at != std::string::npos)
    {
        size_t begin = r.err.rfind('\n', at);
        begin = begin == std::string::npos ? 0 : begin + 1;
        size_t end = r.err.find('\n', at);
        r.err.erase(begin, end == std::string::npos ? std::string::npos : end - begin + 1);
    }
    return r;
}

class Tessfile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tessfile-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string &name) const { return dir + "/" + name; }

    std::string write_text(const std::string &name, const std::string &text) const
    {
        std::ofstream f(path(name));
        f << text;
        return path(name);
    }

    // A convolver with a single impulse of height 1 at frame 0 for every
    // pair: each output is the sum of the inputs.
    std::string sum_config(int ninp, int nout, int maxlen, int nthread = 1)
    {
        // One frame per output segment: the impulse; the file then has nout
        // frames of ninp channels.
        std::vector<float> ir(ninp * nout, 1.0f);
        write_sound(path("unit.wav"), ninp, 48000, ir);
        return write_text("sum.conf", "/convolver/new " + std::to_string(ninp) + " " +
                          std::to_string(nout) + " " + std::to_string(maxlen) + " " +
                          std::to_string(nthread) + "\n/matrix/load 1.0 unit.wav\n");
    }

    Result tessfile(const std::vector<std::string> &args, const Runopts &opts = Runopts())
    {
        return without_rt_warning(run(TESSFILE, args, opts));
    }

    std::string dir;
};

// ---- Command line ----------------------------------------------------------

TEST_F(Tessfile, CommandLineErrors)
{
    struct Case { std::vector<std::string> args; std::string err; };
    const Case cases[] = {
        { {}, USAGE },
        { { "-h" }, USAGE },
        { { "-h", "a.conf", "in.wav", "out.wav" }, USAGE },
        { { "-T" }, USAGE },
        { { "a.conf", "in.wav" }, USAGE },
        { { "a.conf", "in.wav", "out.wav", "extra" }, USAGE },
        // Parsing ends at the first operand: trailing options are operands.
        { { "a.conf", "in.wav", "out.wav", "-T" }, USAGE },
        { { "a.conf", "-T", "in.wav", "out.wav" }, USAGE },
        { { "a.conf", "in.wav", "out.wav", "-x" }, USAGE },
        { { "-x", "a.conf", "in.wav", "out.wav" }, option_error("  Unknown option '-x'.\n") },
        { { "-Tq", "a.conf", "in.wav", "out.wav" }, option_error("  Unknown option '-q'.\n") },
        { { "-T", "-?" }, option_error("  Unknown option '-?'.\n") },
        { { "-xh" }, option_error("  Unknown option '-x'.\n") },
        { { "-hx" }, USAGE },
        { { "-\x01" }, option_error("  Unknown option character '0x01'.\n") },
        { { "-\xe9", "a", "b", "c" }, option_error("  Unknown option character '0xe9'.\n") },
        { { "- " }, option_error("  Unknown option '- '.\n") },
    };
    for (const Case &c : cases)
    {
        std::string shown;
        for (const std::string &a : c.args) shown += " [" + a + "]";
        SCOPED_TRACE(shown);
        Result r = tessfile(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    // Nothing was opened or created.
    EXPECT_FALSE(fs::exists(path("out.wav")));
}

// ---- Start-up failures -----------------------------------------------------

TEST_F(Tessfile, StartupFailures)
{
    write_sound(path("stereo.wav"), 2, 48000, noise(2 * 100, 1));
    write_sound(path("three.wav"), 3, 48000, noise(3 * 100, 2));
    std::string conf = sum_config(2, 2, 64);
    std::string noconv = write_text("noconv.conf", "# comments only\n\n   # indented\n");
    std::string empty = write_text("empty.conf", "");
    std::string bad = write_text("bad.conf", "/convolver/new 2 2 64 1\n /matrix/load 1.0 unit.wav\n");
    std::string out = path("out.wav");

    struct Case { std::vector<std::string> args; std::string err; };
    const Case cases[] = {
        // The input is opened first, so a missing input hides everything else.
        { { path("nothing.conf"), path("missing.wav"), out },
          "Unable to read input file '" + path("missing.wav") + "'\n" },
        { { conf, path("missing.wav"), out }, "Unable to read input file '" + path("missing.wav") + "'\n" },
        { { path("nothing.conf"), path("stereo.wav"), out },
          "Can't open '" + path("nothing.conf") + "' for reading\n" },
        { { bad, path("stereo.wav"), out }, "Line 2: Syntax error.\n" },
        { { conf, path("three.wav"), out },
          "Number of inputs (2) in config file doesn't match input file (3)'\n" },
        { { noconv, path("stereo.wav"), out },
          "Number of inputs (0) in config file doesn't match input file (2)'\n" },
        { { empty, path("stereo.wav"), out },
          "Number of inputs (0) in config file doesn't match input file (2)'\n" },
        { { conf, path("stereo.wav"), path("no/such/folder/out.wav") },
          "Unable to create output file '" + path("no/such/folder/out.wav") + "'\n" },
        { { "-T", conf, path("stereo.wav"), dir },
          "Unable to create output file '" + dir + "'\n" },
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.args[c.args.size() - 3]);
        Result r = tessfile(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_TRUE(fs::is_directory(dir));
}

// ---- Output length and format ----------------------------------------------

TEST_F(Tessfile, OutputLengthAndFormat)
{
    struct Case
    {
        int ninp, nout, maxlen;
        int64_t frames;
        bool truncate;
        int64_t expect;
        int container;
    };
    const Case cases[] = {
        { 1, 1, 4096, 0, false, 4095, SF_FORMAT_WAV },
        { 1, 1, 4096, 0, true, 0, SF_FORMAT_WAV },
        { 2, 2, 4096, 1024, true, 1024, SF_FORMAT_WAV },
        { 2, 2, 4096, 1024, false, 1024 + 4095, SF_FORMAT_WAV },
        { 2, 1, 100, 3000, false, 3099, SF_FORMAT_WAV },
        { 2, 3, 1024, 2500, false, 3523, SF_FORMAT_WAVEX },
        { 1, 8, 300, 5000, true, 5000, SF_FORMAT_WAVEX },
        { 1, 8, 300, 5000, false, 5299, SF_FORMAT_WAVEX },
        { 4, 2, 2000, 1, false, 2000, SF_FORMAT_WAV },
    };
    const int rate = 44100;
    for (const Case &c : cases)
    {
        SCOPED_TRACE(::testing::Message() << c.ninp << "x" << c.nout << " maxlen " << c.maxlen
                                          << " frames " << c.frames << (c.truncate ? " -T" : ""));
        std::string conf = sum_config(c.ninp, c.nout, c.maxlen);
        std::string inp = path("in.wav");
        std::string out = path("out.wav");
        write_sound(inp, c.ninp, rate, noise(c.ninp * c.frames, 3, 0.5f));
        std::vector<std::string> args = { conf, inp, out };
        if (c.truncate) args.insert(args.begin(), "-T");
        Result r = tessfile(args);
        EXPECT_EQ(r.status, 0);
        // The impulse file is at 48 kHz, the input at 44.1 kHz.
        EXPECT_EQ(r.err, "Line 2: Warning: sample rate (48000) of 'unit.wav' does not match.\n");
        EXPECT_EQ(r.out, "");
        Sound s = read_sound(out);
        ASSERT_TRUE(s.ok);
        EXPECT_EQ(s.info.frames, c.expect);
        EXPECT_EQ(s.info.channels, c.nout);
        EXPECT_EQ(s.info.samplerate, rate);
        EXPECT_EQ(s.info.format & SF_FORMAT_TYPEMASK, c.container);
        EXPECT_EQ(s.info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
        fs::remove(out);
    }
}

// The configuration is read at the input's rate: impulse files at that
// rate draw no warning, the others do (and are used all the same).
TEST_F(Tessfile, ImpulseRateWarning)
{
    write_sound(path("ir48.wav"), 1, 48000, { 0.5f });
    write_sound(path("ir96.wav"), 1, 96000, { 0.25f });
    std::string conf = write_text("rate.conf",
                                  "/convolver/new 1 2 64 1\n"
                                  "/matrix/load_output 1 1.0 ir48.wav\n"
                                  "/matrix/load_output 2 1.0 ir96.wav\n");
    write_sound(path("in.wav"), 1, 48000, { 1.0f, -0.5f });
    Result r = tessfile({ "-T", conf, path("in.wav"), path("out.wav") });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Line 3: Warning: sample rate (96000) of 'ir96.wav' does not match.\n");
    Sound s = read_sound(path("out.wav"));
    ASSERT_TRUE(s.ok);
    ASSERT_EQ(s.info.frames, 2);
    EXPECT_FLOAT_EQ(s.at(0, 0), 0.5f);
    EXPECT_FLOAT_EQ(s.at(1, 0), -0.25f);
    EXPECT_FLOAT_EQ(s.at(0, 1), 0.25f);
    EXPECT_FLOAT_EQ(s.at(1, 1), -0.125f);
}

// ---- Convolution result ----------------------------------------------------

// out[j][t] = sum over i and k of inp[i][t - k] * h[i][j][k] * gain[i][j],
// in double precision, for t < length.
static std::vector<double> reference(const std::vector<float> &inp, int ninp, int nout,
                                     const std::vector<std::vector<float>> &irs,
                                     const std::vector<double> &gains, int64_t length)
{
    int64_t frames = inp.size() / ninp;
    std::vector<double> out(length * nout, 0.0);
    for (int i = 0; i < ninp; i++)
        for (int j = 0; j < nout; j++)
        {
            const std::vector<float> &h = irs[j * ninp + i];
            double g = gains[j * ninp + i];
            for (int64_t t = 0; t < length; t++)
            {
                double acc = 0;
                int64_t k0 = t - frames + 1 > 0 ? t - frames + 1 : 0;
                for (int64_t k = k0; k < (int64_t) h.size() && k <= t; k++)
                    acc += (double) inp[(t - k) * ninp + i] * h[k];
                out[t * nout + j] += g * acc;
            }
        }
    return out;
}

static void expect_close(const Sound &s, const std::vector<double> &ref, int nout)
{
    ASSERT_EQ((size_t) s.info.frames * nout, ref.size());
    double peak = 0;
    for (double x : ref) peak = fmax(peak, fabs(x));
    ASSERT_GT(peak, 0.0);
    double worst = 0;
    int64_t where = -1;
    for (size_t n = 0; n < ref.size(); n++)
    {
        double e = fabs(s.data[n] - ref[n]);
        if (e > worst) { worst = e; where = n; }
    }
    EXPECT_LT(worst, 2e-5 * peak) << "at frame " << where / nout << " channel " << where % nout;
}

TEST_F(Tessfile, MatchesReferenceConvolution)
{
    struct Case { int ninp, nout, maxlen, nthread; int64_t frames; bool mixed; };
    const Case cases[] = {
        { 2, 3, 1500, 2, 5000, false },     // more outputs, several blocks, maxlen not a multiple
        { 1, 8, 300, 3, 2500, false },      // one input feeding eight outputs
        { 3, 1, 4096, 1, 3 * 1024 + 17, false },
        { 2, 2, 64, 2, 1024, false },
        // Mixed partitions, with responses beyond the uniform convolver's.
        { 2, 2, 60000, 2, 3000, true },
        { 1, 1, 131072, 1, 2000, true },
    };
    int seed = 10;
    for (const Case &c : cases)
    {
        SCOPED_TRACE(::testing::Message() << c.ninp << "x" << c.nout << " maxlen " << c.maxlen
                                          << (c.mixed ? " mixed" : ""));
        // Impulse responses of various lengths, the longest exactly maxlen;
        // one pair left silent.
        std::vector<std::vector<float>> irs(c.ninp * c.nout);
        for (int p = 0; p < c.ninp * c.nout; p++)
        {
            int len = p == 0 ? c.maxlen : 1 + (c.maxlen * (p + 1)) / (c.ninp * c.nout + 2);
            irs[p] = noise(len, seed++, 0.3f);
            for (int k = 0; k < len; k++) irs[p][k] *= expf(-3.0f * k / len);
        }
        if (c.ninp * c.nout > 1) irs[c.ninp * c.nout - 1].clear();
        // One file per output (all inputs as channels), padded to maxlen.
        std::string text = std::string(c.mixed ? "/convolver/partitions mixed\n" : "") +
                           "/convolver/new " + std::to_string(c.ninp) + " " + std::to_string(c.nout) +
                           " " + std::to_string(c.maxlen) + " " + std::to_string(c.nthread) + "\n";
        text += "/input/gain 1 2.0\n/output/dbgain 1 -6\n";
        std::vector<double> gains(c.ninp * c.nout);
        for (int j = 0; j < c.nout; j++)
        {
            std::vector<float> col(c.maxlen * c.ninp, 0.0f);
            for (int i = 0; i < c.ninp; i++)
                for (size_t k = 0; k < irs[j * c.ninp + i].size(); k++) col[k * c.ninp + i] = irs[j * c.ninp + i][k];
            std::string name = "col" + std::to_string(j + 1) + ".wav";
            write_sound(path(name), c.ninp, 48000, col);
            double g = 0.5 + 0.25 * j;
            text += "/matrix/load_output " + std::to_string(j + 1) + " " + std::to_string(g) + " " + name + "\n";
            for (int i = 0; i < c.ninp; i++)
                gains[j * c.ninp + i] = g * (i == 0 ? 2.0 : 1.0) * (j == 0 ? pow(10.0, -6.0 / 20) : 1.0);
        }
        std::string conf = write_text("ref.conf", text);
        std::vector<float> inp = noise(c.frames * c.ninp, seed++, 0.8f);
        write_sound(path("in.wav"), c.ninp, 48000, inp);

        Result r = tessfile({ conf, path("in.wav"), path("out.wav") });
        EXPECT_EQ(r.status, 0);
        // Offline the blocks may wait for the background threads, and say so.
        if (c.mixed) r.err = std::regex_replace(r.err, std::regex("^[0-9]+ blocks waited for background work\\.\n$"), "");
        EXPECT_EQ(r.err, "");
        Sound s = read_sound(path("out.wav"));
        ASSERT_TRUE(s.ok);
        int64_t full = c.frames + c.maxlen - 1;
        expect_close(s, reference(inp, c.ninp, c.nout, irs, gains, full), c.nout);

        r = tessfile({ "-T", conf, path("in.wav"), path("out.wav") });
        EXPECT_EQ(r.status, 0);
        s = read_sound(path("out.wav"));
        ASSERT_TRUE(s.ok);
        expect_close(s, reference(inp, c.ninp, c.nout, irs, gains, c.frames), c.nout);
    }
}

// ---- Short reads -----------------------------------------------------------

// A FLAC file cut short on disk still declares its full length; the frames
// it cannot deliver are silence, and the output keeps the declared length.
TEST_F(Tessfile, ShortReadGivesSilenceAndFullLength)
{
    const int64_t frames = 40000;
    const int maxlen = 200;
    std::vector<float> inp(frames);
    for (int64_t t = 0; t < frames; t++) inp[t] = 0.5f * sinf(0.01f * t);
    write_sound(path("in.flac"), 1, 48000, inp, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    fs::resize_file(path("in.flac"), fs::file_size(path("in.flac")) / 2);
    Sound cut = read_sound(path("in.flac"));
    ASSERT_EQ(cut.info.frames, frames);
    SNDFILE *f = sf_open(path("in.flac").c_str(), SFM_READ, &cut.info);
    ASSERT_NE(f, nullptr);
    int64_t got = sf_readf_float(f, cut.data.data(), frames);
    sf_close(f);
    ASSERT_GT(got, 1024);
    ASSERT_LT(got, frames);
    std::fill(cut.data.begin() + got, cut.data.end(), 0.0f);

    std::vector<float> ir = noise(maxlen, 7, 0.5f);
    write_sound(path("ir.wav"), 1, 48000, ir);
    std::string conf = write_text("c.conf", "/convolver/new 1 1 " + std::to_string(maxlen) +
                                  " 1\n/matrix/load 1.0 ir.wav\n");
    Result r = tessfile({ conf, path("in.flac"), path("out.wav") });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: input file '" + path("in.flac") +
                         "' is shorter than its header says, the missing samples are zeros.\n");
    Sound s = read_sound(path("out.wav"));
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.info.frames, frames + maxlen - 1);
    expect_close(s, reference(cut.data, 1, 1, { ir }, { 1.0 }, frames + maxlen - 1), 1);
    // Beyond the delivered frames and the filter's tail: silence.
    for (int64_t t = got + maxlen; t < s.info.frames; t += 97) ASSERT_NEAR(s.at(t, 0), 0.0f, 1e-6) << t;
}

// A WAV file cut short on disk: its length is what the file really holds
// (the library corrects the header's count), and the output follows it,
// with a warning.
TEST_F(Tessfile, TruncatedWavInput)
{
    std::vector<float> inp = noise(2 * 6000, 8, 0.5f);
    write_sound(path("in.wav"), 2, 48000, inp);
    uintmax_t size = fs::file_size(path("in.wav"));
    fs::resize_file(path("in.wav"), size - 2500 * 8 - 3);   // a partial frame at the end
    Sound cut = read_sound(path("in.wav"));
    ASSERT_TRUE(cut.ok);
    ASSERT_EQ(cut.info.frames, 6000 - 2501);
    std::string conf = sum_config(2, 1, 128);
    Result r = tessfile({ conf, path("in.wav"), path("out.wav") });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: input file '" + path("in.wav") + "' is shorter than its header says, "
                     "only its 3499 frames are read.\n");
    Sound s = read_sound(path("out.wav"));
    ASSERT_TRUE(s.ok);
    ASSERT_EQ(s.info.frames, cut.info.frames + 127);
    for (int64_t t = 0; t < cut.info.frames; t++)
        ASSERT_NEAR(s.at(t, 0), cut.at(t, 0) + cut.at(t, 1), 1e-6) << t;
    for (int64_t t = cut.info.frames; t < s.info.frames; t++) ASSERT_NEAR(s.at(t, 0), 0.0f, 1e-6) << t;
}

// ---- Interruption and write failures ---------------------------------------

// The temporary files beside 'out' that a run writes before the output
// takes its name.
static std::vector<std::string> partials(const std::string &out)
{
    std::vector<std::string> found;
    fs::path p(out);
    const std::string prefix = p.filename().string() + ".tess-partial-";
    for (const auto &e : fs::directory_iterator(p.parent_path()))
    {
        if (e.path().filename().string().rfind(prefix, 0) == 0) found.push_back(e.path().string());
    }
    return found;
}

// Waits until the run writing 'out' has 'size' bytes in its temporary
// file; returns that file's path, or "" after 'seconds'.
static std::string wait_for_partial(const std::string &out, uintmax_t size, double seconds)
{
    struct timespec pause = { 0, 5000000 };
    for (int n = 0; n < seconds / 0.005; n++)
    {
        for (const std::string &f : partials(out))
        {
            std::error_code ec;
            if (fs::file_size(f, ec) >= size && !ec) return f;
        }
        nanosleep(&pause, nullptr);
    }
    return "";
}

TEST_F(Tessfile, SigintRemovesOutput)
{
    // About 20 minutes of 8-channel input, far more than the test waits for.
    write_long_silence(path("long.wav"), 8, 48000, 60000000);
    std::string conf = sum_config(8, 1, 4096);
    std::string out = path("out.wav");
    Child child(TESSFILE, { conf, path("long.wav"), out });
    // Once blocks are being written, the handler is in place; the output
    // has no name of its own until it is complete.
    ASSERT_NE(wait_for_partial(out, 64 * 1024, 20.0), "");
    EXPECT_FALSE(fs::exists(out));
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    kill(child.pid(), SIGINT);
    Result r = without_rt_warning(child.wait());
    clock_gettime(CLOCK_MONOTONIC, &t1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(partials(out).empty());
    EXPECT_LT(t1.tv_sec - t0.tv_sec, 5);
}

// A file size limit makes the writes fail with EFBIG part way (SIGXFSZ
// ignored, as a full disk would): one message, status 1, no output left.
TEST_F(Tessfile, WriteFailureRemovesOutput)
{
    write_sound(path("in.wav"), 1, 48000, noise(200000, 9, 0.5f));
    std::string out = path("out.wav");
    const std::string message = "Write error on output file '" + out + "'\n";
    // Limits that fail inside the first block, at a block boundary plus a
    // bit, and far into the file; the program copes with SIGXFSZ at its
    // default action as well. With 1 thread the files are written by a
    // thread of their own, with 2 by the main thread while the worker
    // computes.
    struct Case { long limit; bool ignore; int nthread; };
    for (Case c : { Case{ 2000, true, 1 }, Case{ 8192 + 100, true, 1 }, Case{ 1000000, true, 1 },
                    Case{ 2000, false, 1 }, Case{ 1000000, false, 1 }, Case{ 2000, true, 2 },
                    Case{ 8192 + 100, true, 2 }, Case{ 1000000, false, 2 } })
    {
        SCOPED_TRACE(::testing::Message() << c.limit << (c.ignore ? " SIGXFSZ ignored" : "") << ", "
                                          << c.nthread << " threads");
        std::string conf = sum_config(1, 2, 64, c.nthread);
        Runopts opts;
        opts.fsize = c.limit;
        opts.ignore_xfsz = c.ignore;
        Result r = tessfile({ conf, path("in.wav"), out }, opts);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(out));
    }
    // The same run without a limit succeeds.
    Result r = tessfile({ sum_config(1, 2, 64, 2), path("in.wav"), out });
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::exists(out));
}

// A limit so small that not even the header can be written: the output
// cannot be created at all.
TEST_F(Tessfile, WriteFailureAtCreation)
{
    write_sound(path("in.wav"), 1, 48000, noise(5000, 10, 0.5f));
    std::string conf = sum_config(1, 1, 64);
    for (bool ignore : { true, false })
    {
        Runopts opts;
        opts.fsize = 10;
        opts.ignore_xfsz = ignore;
        Result r = tessfile({ conf, path("in.wav"), path("out.wav") }, opts);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Unable to create output file '" + path("out.wav") + "'\n");
        EXPECT_FALSE(fs::exists(path("out.wav")));
    }
}

// The container is chosen from the output length before anything is
// written: RF64 with a warning past 4 GiB of data, RIFF WAV below. The runs
// are stopped long before they write that much.
TEST_F(Tessfile, Rf64ForOutputBeyondFourGiB)
{
    std::string conf = sum_config(1, 1, 64);
    struct Case { int64_t frames; const char *magic; bool warning; };
    const Case cases[] = {
        { 1000000000, "RIFF", false },    // 4.0e9 bytes of float: fits
        { 1100000000, "RF64", true },     // 4.4e9 bytes: does not
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.frames);
        write_long_silence(path("long.wav"), 1, 48000, c.frames, true);
        std::string out = path("out.wav");
        Child child(TESSFILE, { "-T", conf, path("long.wav"), out });
        std::string partial = wait_for_partial(out, 64 * 1024, 20.0);
        ASSERT_NE(partial, "");
        char magic[5] = {};
        std::ifstream(partial, std::ios::binary).read(magic, 4);
        kill(child.pid(), SIGINT);
        Result r = without_rt_warning(child.wait());
        EXPECT_STREQ(magic, c.magic);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.warning ? "Warning: output exceeds 4 GiB, writing '" + out + "' as an RF64 file.\n" : "");
        EXPECT_FALSE(fs::exists(out));
    }
}

// ---- What a run reads, and what its output path holds ---------------------

static std::string file_bytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Two runs of one job may plan their transforms differently, so they agree
// to rounding.
static bool same_output(const Sound &a, const Sound &b)
{
    if (!a.ok || !b.ok || a.data.size() != b.data.size()) return false;
    for (size_t k = 0; k < a.data.size(); k++)
        if (fabsf(a.data[k] - b.data[k]) > 1e-5f) return false;
    return true;
}

// Nothing a run reads is ever written over, whatever path leads the output
// to it: refused with one message and status 1, the file unchanged.
TEST_F(Tessfile, NeverWritesOverWhatItReads)
{
    write_sound(path("in.wav"), 1, 48000, noise(5000, 31, 0.5f));
    std::string conf = sum_config(1, 1, 64);
    fs::create_hard_link(path("in.wav"), path("hard.wav"));
    fs::create_symlink(path("in.wav"), path("soft.wav"));
    fs::create_symlink(path("unit.wav"), path("ir-link.wav"));
    const std::string input = file_bytes(path("in.wav"));
    const std::string ir = file_bytes(path("unit.wav"));
    const std::string text = file_bytes(conf);
    const std::string from_input = "' is the same file as input file '" + path("in.wav") + "'\n";
    const std::string from_conf = "' is the same file as configuration or impulse file '";
    struct Case { std::string out; std::string message; };
    const Case cases[] = {
        { path("in.wav"), from_input },
        { dir + "/./in.wav", from_input },
        { dir + "/../" + fs::path(dir).filename().string() + "/in.wav", from_input },
        { path("hard.wav"), from_input },
        { path("soft.wav"), from_input },
        { conf, from_conf + conf + "'\n" },
        { path("unit.wav"), from_conf + "unit.wav'\n" },
        { path("ir-link.wav"), from_conf + "unit.wav'\n" },
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.out);
        Result r = tessfile({ conf, path("in.wav"), c.out });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Output file '" + c.out + c.message);
        EXPECT_EQ(file_bytes(path("in.wav")), input);
        EXPECT_EQ(file_bytes(path("unit.wav")), ir);
        EXPECT_EQ(file_bytes(conf), text);
        EXPECT_TRUE(partials(c.out).empty());
    }
    EXPECT_TRUE(fs::is_symlink(path("soft.wav")));
}

// The output path holds either a complete run's output or what it held
// before: never a mixture of two runs, never a partial file after SIGINT,
// SIGTERM or SIGHUP (which end the run like SIGINT, status 1). A link
// named as the output stays a link to the new file.
TEST_F(Tessfile, OutputIsWholeOrAbsent)
{
    // Two runs of different inputs into one output, at the same time.
    write_sound(path("a.wav"), 2, 48000, noise(2 * 300000, 32, 0.5f));
    write_sound(path("b.wav"), 2, 48000, noise(2 * 200000, 33, 0.5f));
    std::string conf = sum_config(2, 2, 1024);
    tessfile({ conf, path("a.wav"), path("ref-a.wav") });
    tessfile({ conf, path("b.wav"), path("ref-b.wav") });
    const Sound ra = read_sound(path("ref-a.wav")), rb = read_sound(path("ref-b.wav"));
    ASSERT_TRUE(ra.ok && rb.ok);
    for (int round = 0; round < 3; round++)
    {
        SCOPED_TRACE(round);
        Child a(TESSFILE, { conf, path("a.wav"), path("same.wav") });
        Child b(TESSFILE, { conf, path("b.wav"), path("same.wav") });
        EXPECT_EQ(a.wait().status, 0);
        EXPECT_EQ(b.wait().status, 0);
        Sound s = read_sound(path("same.wav"));
        ASSERT_TRUE(s.ok);
        EXPECT_TRUE(same_output(s, ra) || same_output(s, rb)) << s.info.frames << " frames";
        EXPECT_TRUE(partials(path("same.wav")).empty());
    }

    // Interrupted by each signal, over an output that existed before: the
    // earlier file stays as it was, and no temporary file is left.
    write_long_silence(path("long.wav"), 8, 48000, 60000000);
    std::string sum = sum_config(8, 1, 4096);
    fs::copy_file(path("ref-b.wav"), path("old.wav"));
    const std::string old = file_bytes(path("old.wav"));
    for (int sig : { SIGINT, SIGTERM, SIGHUP })
    {
        SCOPED_TRACE(strsignal(sig));
        Child child(TESSFILE, { sum, path("long.wav"), path("old.wav") });
        ASSERT_NE(wait_for_partial(path("old.wav"), 64 * 1024, 20.0), "");
        kill(child.pid(), sig);
        Result r = without_rt_warning(child.wait());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(file_bytes(path("old.wav")), old);
        EXPECT_TRUE(partials(path("old.wav")).empty());
    }

    // Through a link: the file it leads to is replaced, the link stays.
    conf = sum_config(2, 2, 1024);
    fs::create_symlink(path("old.wav"), path("link.wav"));
    Result r = tessfile({ conf, path("a.wav"), path("link.wav") });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(path("link.wav")));
    EXPECT_TRUE(same_output(read_sound(path("old.wav")), ra));
}

// ---- Terminal display ------------------------------------------------------

TEST_F(Tessfile, SummaryOnTerminal)
{
    // One input, one output, a single tap of 0.5: the output's peak is half
    // the input's, and two samples end up beyond full scale.
    std::vector<float> inp(48000, 0.1f);
    inp[1000] = 3.0f;     // 1.5 out
    inp[30000] = -2.2f;   // -1.1 out
    inp[40000] = 1.8f;    // 0.9 out
    write_sound(path("in.wav"), 1, 48000, inp);
    write_sound(path("half.wav"), 1, 48000, { 0.5f });
    std::string conf = write_text("half.conf", "/convolver/new 1 1 64 1\n/matrix/load 1.0 half.wav\n");
    Runopts opts;
    opts.pty_stderr = true;
    Result r = tessfile({ "-T", conf, path("in.wav"), path("out.wav") }, opts);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    // The display may or may not have drawn progress lines before; the
    // last line is the summary.
    ASSERT_GE(r.err.size(), 2u);
    EXPECT_EQ(r.err.back(), '\n');
    std::string last = r.err.substr(0, r.err.size() - 1);
    last = last.substr(last.rfind('\r') + 1);
    EXPECT_EQ(last.find("1.000 s written, "), 0u) << last;
    EXPECT_NE(last.find("x realtime, peak 3.5 dBFS, 2 samples over full scale"), std::string::npos) << last;
    Sound s = read_sound(path("out.wav"));
    ASSERT_TRUE(s.ok);
    EXPECT_FLOAT_EQ(s.at(1000, 0), 1.5f);

    // Samples that are not finite (from an input that holds them) are
    // counted apart, and leave the peak and the count of overs alone.
    inp[2000] = NAN;
    inp[3000] = INFINITY;
    write_sound(path("nan.wav"), 1, 48000, inp);
    r = tessfile({ "-T", conf, path("nan.wav"), path("out.wav") }, opts);
    EXPECT_EQ(r.status, 0);
    // The transforms spread each one over the blocks it reaches: 3 of them.
    EXPECT_NE(r.err.find("x realtime, peak 3.5 dBFS, 2 samples over full scale, "
                         "3072 samples not finite (NaN or infinite)\n"), std::string::npos) << r.err;

    // Interrupted on a terminal: the line is cleared, nothing else is said.
    write_long_silence(path("long.wav"), 8, 48000, 60000000);
    std::string sum = sum_config(8, 1, 4096);
    Child child(TESSFILE, { sum, path("long.wav"), path("out2.wav") }, opts);
    ASSERT_NE(wait_for_partial(path("out2.wav"), 64 * 1024, 20.0), "");
    kill(child.pid(), SIGINT);
    r = without_rt_warning(child.wait());
    EXPECT_EQ(r.status, 1);
    if (!r.err.empty())
    {
        // Progress lines, then one of blanks: the screen line is empty.
        ASSERT_EQ(r.err.back(), '\r');
        size_t start = r.err.rfind('\r', r.err.size() - 2);
        ASSERT_NE(start, std::string::npos);
        std::string blank = r.err.substr(start + 1, r.err.size() - start - 2);
        EXPECT_EQ(blank.find_first_not_of(' '), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(path("out2.wav")));
}

// ---- Faults ----------------------------------------------------------------

// Bytes written so far by a process, through any file descriptor (so also
// to a device, whose size says nothing).
static long long written_bytes(pid_t pid)
{
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long long value;
    while (io >> key >> value)
        if (key == "wchar:") return value;
    return -1;
}

// SIGINT at random moments of a run, from its start to past its end, many
// times over. Whatever the moment: either the run ends with status 0 and a
// complete output, equal to that of an uninterrupted run, or no output
// exists; an output left behind is never partial. Status 1 goes with a
// removed output; before the handler is in place (while the configuration
// is read) SIGINT ends the program as it always does, before any output
// exists.
TEST_F(Tessfile, SigintAtRandomMoments)
{
    // Start-up (planning the transforms) takes about as long as the
    // processing of this input, which is silence in a sparse file: some
    // 3 million frames of 16 channels.
    write_long_silence(path("in.wav"), 16, 48000, 3000000);
    std::string conf = write_text("c.conf", "/convolver/new 16 1 4096 2\n");
    std::string out = path("out.wav");

    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    Result full = tessfile({ conf, path("in.wav"), path("ref.wav") });
    clock_gettime(CLOCK_MONOTONIC, &t1);
    ASSERT_EQ(full.status, 0) << full.err;
    const double span = (t1.tv_sec - t0.tv_sec) + 1e-9 * (t1.tv_nsec - t0.tv_nsec);
    // Each run plans its transforms anew, so the rounding, not the result,
    // may differ from one run to the next.
    const Sound reference = read_sound(path("ref.wav"));
    ASSERT_TRUE(reference.ok);
    ASSERT_EQ(reference.info.frames, 3000000 + 4095);

    std::mt19937 gen(20261209);
    // Up to a fifth beyond the length of a whole run, so that some signals
    // come after the end.
    std::uniform_int_distribution<long> delay(0, (long) (span * 1.2e9));
    int complete = 0, removed = 0, early = 0;
    for (int i = 0; i < 24; i++)
    {
        long ns = delay(gen);
        SCOPED_TRACE(::testing::Message() << "run " << i << ", SIGINT after " << ns / 1000 << " us");
        Child child(TESSFILE, { conf, path("in.wav"), out });
        struct timespec d = { ns / 1000000000, ns % 1000000000 };
        nanosleep(&d, nullptr);
        kill(child.pid(), SIGINT);
        Result r = without_rt_warning(child.wait());
        EXPECT_EQ(r.out, "");
        if (r.status == 0)
        {
            complete++;
            const Sound got = read_sound(out);
            EXPECT_TRUE(got.ok);
            EXPECT_EQ(got.info.frames, reference.info.frames);
            EXPECT_EQ(got.info.channels, 1);
            if (got.data.size() == reference.data.size())
            {
                float worst = 0;
                for (size_t k = 0; k < got.data.size(); k++)
                    worst = std::max(worst, fabsf(got.data[k] - reference.data[k]));
                EXPECT_LT(worst, 1e-4f);
            }
            EXPECT_EQ(r.err, "");
        }
        else if (r.status == 1)
        {
            removed++;
            EXPECT_FALSE(fs::exists(out));
            EXPECT_TRUE(partials(out).empty());
            EXPECT_EQ(r.err, "");
        }
        else
        {
            early++;
            EXPECT_EQ(r.status, 128 + SIGINT);
            EXPECT_FALSE(fs::exists(out));
        }
        fs::remove(out);
    }
    std::cout << "[          ] " << complete << " complete, " << removed << " removed, " << early
              << " ended before start-up was complete\n";
}

// An output that is not a regular file (here a device) is never removed,
// whatever ends the run. As root the devices are made in the test's own
// folder, so that a failure cannot delete the system's.
TEST_F(Tessfile, DeviceOutputIsNeverRemoved)
{
    std::string null_dev = "/dev/null", full_dev = "/dev/full";
    if (geteuid() == 0)
    {
        null_dev = path("null");
        full_dev = path("full");
        ASSERT_EQ(mknod(null_dev.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << strerror(errno);
        ASSERT_EQ(mknod(full_dev.c_str(), S_IFCHR | 0666, makedev(1, 7)), 0) << strerror(errno);
    }
    std::string conf = sum_config(1, 1, 64);

    // A full device refuses even the header.
    write_sound(path("in.wav"), 1, 48000, noise(50000, 23, 0.5f));
    Result r = tessfile({ conf, path("in.wav"), full_dev });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to create output file '" + full_dev + "'\n");
    EXPECT_TRUE(fs::exists(full_dev));

    // A complete run into the null device.
    r = tessfile({ conf, path("in.wav"), null_dev });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::exists(null_dev));

    // Interrupted once blocks are being written.
    write_long_silence(path("long.wav"), 1, 48000, 200000000);
    Child child(TESSFILE, { conf, path("long.wav"), null_dev });
    bool writing = false;
    for (int n = 0; n < 4000 && !writing; n++)
    {
        writing = written_bytes(child.pid()) > 256 * 1024;
        usleep(5000);
    }
    EXPECT_TRUE(writing);
    kill(child.pid(), SIGINT);
    r = without_rt_warning(child.wait());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::exists(null_dev));
    EXPECT_TRUE(fs::is_character_file(null_dev));
}

// Files that are not what their role needs: a directory, an empty file, a
// cut header, text, binary data, and (with permissions that hold, also for
// root) an unreadable file. Each gives one message and status 1, and no
// output.
TEST_F(Tessfile, BadInputConfigurationAndImpulseFiles)
{
    write_sound(path("in.wav"), 1, 48000, noise(3000, 24, 0.5f));
    write_sound(path("ir.wav"), 1, 48000, noise(64, 25, 0.5f));
    std::ifstream wf(path("in.wav"), std::ios::binary);
    const std::string wav((std::istreambuf_iterator<char>(wf)), std::istreambuf_iterator<char>());
    fs::create_directory(path("folder"));
    write_text("empty", "");
    write_text("header", wav.substr(0, 30));
    write_text("text", "This is not a sound file.\nNor is it a configuration.\n");
    std::string bin;
    std::mt19937 gen(26);
    for (int i = 0; i < 8192; i++) bin += (char) (gen() & 255);
    write_text("binary", bin);
    write_text("locked.wav", wav);
    chmod(path("locked.wav").c_str(), 0);
    write_text("locked.conf", "/convolver/new 1 1 64 1\n");
    chmod(path("locked.conf").c_str(), 0);
    const std::string good = write_text("good.conf", "/convolver/new 1 1 64 1\n/matrix/load 1 ir.wav\n");

    struct Case { std::string conf, inp, err; };
    std::vector<Case> cases;
    for (const char *name : { "folder", "empty", "header", "text", "binary", "locked.wav" })
        cases.push_back({ good, path(name), "Unable to read input file '" + path(name) + "'\n" });
    for (const char *name : { "folder", "locked.conf" })
        cases.push_back({ path(name), path("in.wav"), "Can't open '" + path(name) + "' for reading\n" });
    cases.push_back({ path("empty"), path("in.wav"), "Number of inputs (0) in config file doesn't match input file (1)'\n" });
    cases.push_back({ path("text"), path("in.wav"), "Line 1: Syntax error.\n" });
    cases.push_back({ path("in.wav"), path("in.wav"), "Line 1: Syntax error.\n" });
    for (const char *name : { "folder", "empty", "header", "text", "binary", "locked.wav" })
    {
        std::string conf = write_text(std::string("ir-") + name + ".conf",
                                      "/convolver/new 1 1 64 1\n/matrix/load 1 " + std::string(name) + "\n");
        cases.push_back({ conf, path("in.wav"), "Line 2: Unable to open '" + std::string(name) + "'.\n" });
    }

    // Root reads anything unless it gives up the capabilities that let it.
    std::vector<std::string> wrap;
    if (geteuid() == 0)
        wrap = { "--inh-caps=-dac_override,-dac_read_search",
                 "--bounding-set=-dac_override,-dac_read_search", "--", TESSFILE };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.conf + " " + c.inp);
        std::vector<std::string> args = wrap;
        args.insert(args.end(), { c.conf, c.inp, path("out.wav") });
        Result r = without_rt_warning(run(wrap.empty() ? TESSFILE : "/usr/bin/setpriv", args));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(path("out.wav")));
    }
}
