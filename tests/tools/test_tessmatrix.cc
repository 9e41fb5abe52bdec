// tessmatrix run as a program: matrix files assembled from mono impulse
// files are loaded by tessfile through "/matrix/load" and
// "/matrix/load_transp", and its output is compared with a direct
// double-precision convolution of the same impulse responses; and the
// refusals (rates, lengths, channel counts, missing files, file counts).
// Every case writes real files into a private temporary folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <math.h>
#include <random>
#include <sndfile.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "runner.h"

namespace fs = std::filesystem;

namespace {

struct Tmp
{
    fs::path dir;
    Tmp()
    {
        char tmpl[] = "/tmp/tessmatrix-test-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Tmp() { fs::remove_all(dir); }
    std::string operator/(const std::string &name) const { return (dir / name).string(); }
};

struct Sound
{
    bool ok = false;
    SF_INFO info = {};
    std::vector<float> data;   // interleaved
    float at(int64_t frame, int chan) const { return data[frame * info.channels + chan]; }
};

Sound read_sound(const std::string &path)
{
    Sound s;
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &s.info);
    if (!f) return s;
    s.data.resize(s.info.frames * s.info.channels);
    s.ok = sf_readf_float(f, s.data.data(), s.info.frames) == s.info.frames;
    sf_close(f);
    return s;
}

void write_sound(const std::string &path, int channels, int rate, const std::vector<float> &data)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    sf_count_t frames = data.size() / channels;
    ASSERT_EQ(sf_writef_float(f, data.data(), frames), frames);
    sf_close(f);
}

std::vector<float> noise(size_t n, unsigned seed, float amp)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(-amp, amp);
    std::vector<float> v(n);
    for (float &x : v) x = d(gen);
    return v;
}

void write_text(const std::string &path, const std::string &text)
{
    std::ofstream f(path);
    f << text;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Result tessmatrix(const std::vector<std::string> &args)
{
    return run(TESSMATRIX, args);
}

// A 2 x 3 convolver's impulse responses, one mono file per pair, of
// different lengths (one empty pair), as ir-<input>-<output>.wav.
const int NINP = 2, NOUT = 3, RATE = 48000;
const int LENGTHS[NOUT][NINP] = {{300, 1000}, {17, 0}, {999, 64}};

struct Irs
{
    std::vector<float> h[NINP][NOUT];
};

Irs write_irs(const Tmp &tmp)
{
    Irs irs;
    for (int o = 0; o < NOUT; o++) {
        for (int i = 0; i < NINP; i++) {
            irs.h[i][o] = noise(LENGTHS[o][i], 100 + 10 * i + o, 0.05f);
            std::string name = "ir-" + std::to_string(i + 1) + "-" + std::to_string(o + 1) + ".wav";
            write_sound(tmp / name, 1, RATE, irs.h[i][o]);
        }
    }
    return irs;
}

struct Layout
{
    const char *label;
    bool transposed;
    bool pattern;      // one %i/%o pattern, else the list of files
    int seglen;        // -l, or 0 for the longest file
};

void PrintTo(const Layout &l, std::ostream *os) { *os << l.label; }

class Assembled : public ::testing::TestWithParam<Layout> {};

TEST_P(Assembled, LoadsAsTheDirectConvolution)
{
    const Layout &lay = GetParam();
    Tmp tmp;
    Irs irs = write_irs(tmp);

    std::vector<std::string> args;
    if (lay.transposed) args.push_back("-t");
    if (lay.seglen) {
        args.push_back("-l");
        args.push_back(std::to_string(lay.seglen));
    }
    args.insert(args.end(), {std::to_string(NINP), std::to_string(NOUT), tmp / "matrix.wav"});
    if (lay.pattern) {
        args.push_back(tmp / "ir-%i-%o.wav");
    }
    else {
        for (int o = 0; o < NOUT; o++)
            for (int i = 0; i < NINP; i++)
                args.push_back(tmp / ("ir-" + std::to_string(i + 1) + "-" + std::to_string(o + 1) + ".wav"));
    }
    Result r = tessmatrix(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const int seglen = lay.seglen ? lay.seglen : 1000;
    EXPECT_NE(r.err.find(std::to_string(seglen) + " frames at 48000 Hz, for " +
                         (lay.transposed ? "/matrix/load_transp" : "/matrix/load")),
              std::string::npos) << r.err;

    Sound m = read_sound(tmp / "matrix.wav");
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.info.channels, lay.transposed ? NOUT : NINP);
    EXPECT_EQ(m.info.frames, (int64_t) seglen * (lay.transposed ? NINP : NOUT));
    EXPECT_EQ(m.info.samplerate, RATE);

    const int frames = 3000;
    std::vector<float> x = noise((size_t) frames * NINP, 7, 0.5f);
    write_sound(tmp / "input.wav", NINP, RATE, x);
    write_text(tmp / "m.conf", "/convolver/new 2 3 1024 2\n" +
                                   std::string(lay.transposed ? "/matrix/load_transp" : "/matrix/load") +
                                   " 1.0 matrix.wav\n");
    r = run(TESSFILE, {tmp / "m.conf", tmp / "input.wav", tmp / "output.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    Sound y = read_sound(tmp / "output.wav");
    ASSERT_TRUE(y.ok);
    ASSERT_EQ(y.info.channels, NOUT);
    ASSERT_EQ(y.info.frames, frames + 1023);

    double maxerr = 0;
    for (int o = 0; o < NOUT; o++) {
        for (int64_t t = 0; t < y.info.frames; t++) {
            double ref = 0;
            for (int i = 0; i < NINP; i++) {
                const std::vector<float> &h = irs.h[i][o];
                for (int64_t k = 0; k < (int64_t) h.size() && k <= t; k++) {
                    if (t - k < frames) ref += (double) h[k] * x[(t - k) * NINP + i];
                }
            }
            maxerr = fmax(maxerr, fabs(ref - y.at(t, o)));
        }
    }
    EXPECT_LT(maxerr, 1e-5);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Assembled,
    ::testing::Values(Layout{"plain_list", false, false, 0}, Layout{"plain_pattern", false, true, 0},
                      Layout{"transposed_list", true, false, 0},
                      Layout{"transposed_pattern_l1024", true, true, 1024}),
    [](const ::testing::TestParamInfo<Layout> &info) { return std::string(info.param.label); });

TEST(Assembled, SilentPairsAndPaddedPatterns)
{
    // '-' leaves a pair silent; %2i writes two digits.
    Tmp tmp;
    write_sound(tmp / "a01.wav", 1, 44100, {1.0f, 0.5f});
    write_sound(tmp / "a02.wav", 1, 44100, {0.25f});
    Result r = tessmatrix({"1", "2", tmp / "m.wav", tmp / "a%2o.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    Sound m = read_sound(tmp / "m.wav");
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.info.samplerate, 44100);
    EXPECT_EQ(m.data, (std::vector<float>{1.0f, 0.5f, 0.25f, 0.0f}));

    r = tessmatrix({"-t", "2", "1", tmp / "t.wav", "-", tmp / "a01.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    m = read_sound(tmp / "t.wav");
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.info.channels, 1);
    EXPECT_EQ(m.data, (std::vector<float>{0.0f, 0.0f, 1.0f, 0.5f}));
}

// The matrix never takes the place of one of its impulse files, under
// whatever name the output reaches it: the file is left as it was.
TEST(Assembled, NeverWritesOverItsInputs)
{
    Tmp tmp;
    for (int i = 1; i <= 2; i++)
        for (int o = 1; o <= 2; o++)
            write_sound(tmp / ("ir-" + std::to_string(i) + "-" + std::to_string(o) + ".wav"), 1, 48000,
                        {0.5f * i, 0.25f * o});
    fs::create_hard_link(tmp / "ir-2-1.wav", tmp / "hard.wav");
    fs::create_symlink(tmp / "ir-1-2.wav", tmp / "soft.wav");
    const std::string before = read_file(tmp / "ir-1-1.wav");
    struct Case { std::vector<std::string> args; std::string victim; };
    const Case cases[] = {
        {{"2", "2", tmp / "ir-1-1.wav", tmp / "ir-%i-%o.wav"}, tmp / "ir-1-1.wav"},
        {{"1", "1", tmp / "./ir-1-1.wav", tmp / "ir-1-1.wav"}, tmp / "ir-1-1.wav"},
        {{"2", "1", tmp / "hard.wav", tmp / "ir-1-1.wav", tmp / "ir-2-1.wav"}, tmp / "ir-2-1.wav"},
        {{"1", "2", tmp / "soft.wav", tmp / "ir-1-1.wav", tmp / "ir-1-2.wav"}, tmp / "ir-1-2.wav"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[2]);
        const std::string victim = read_file(c.victim);
        Result r = tessmatrix(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Output file '" + c.args[2] + "' is the same file as impulse file '"),
                  std::string::npos) << r.err;
        EXPECT_EQ(read_file(c.victim), victim);
    }
    EXPECT_EQ(read_file(tmp / "ir-1-1.wav"), before);
    EXPECT_TRUE(fs::is_symlink(tmp / "soft.wav"));
}

struct Refusal
{
    const char *label;
    std::vector<std::string> args;   // "@" stands for the temporary folder
    std::string message;             // expected on standard error
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.label; }

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, WritesNothing)
{
    Tmp tmp;
    write_sound(tmp / "a.wav", 1, 48000, {1.0f, 0.5f, 0.25f});
    write_sound(tmp / "b.wav", 1, 48000, {1.0f});
    write_sound(tmp / "r44.wav", 1, 44100, {1.0f});
    write_sound(tmp / "stereo.wav", 2, 48000, {1.0f, 0.0f});
    write_sound(tmp / "long.wav", 1, 48000, std::vector<float>(131073, 0.1f));
    write_text(tmp / "text.wav", "not a sound file\n");

    std::vector<std::string> args;
    for (const std::string &a : GetParam().args) args.push_back(a[0] == '@' ? tmp / a.substr(2) : a);
    Result r = tessmatrix(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    std::string msg = GetParam().message;
    for (size_t p; (p = msg.find('@')) != std::string::npos;) msg.replace(p, 1, tmp.dir.string());
    EXPECT_NE(r.err.find(msg), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(tmp / "m.wav"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refused,
    ::testing::Values(
        Refusal{"rates", {"2", "1", "@/m.wav", "@/a.wav", "@/r44.wav"},
                "Sample rate of '@/r44.wav' (44100) differs from that of '@/a.wav' (48000).\n"},
        Refusal{"longer_than_segment", {"-l", "2", "1", "2", "@/m.wav", "@/b.wav", "@/a.wav"},
                "Impulse file '@/a.wav' has 3 frames, more than the segment length (2).\n"},
        Refusal{"longer_than_convolver", {"1", "1", "@/m.wav", "@/long.wav"},
                "Impulse file '@/long.wav' has 131073 frames, more than the 131072 that the convolver uses.\n"},
        Refusal{"stereo", {"1", "2", "@/m.wav", "@/a.wav", "@/stereo.wav"},
                "Impulse file '@/stereo.wav' has 2 channels, it must have one.\n"},
        Refusal{"missing", {"1", "2", "@/m.wav", "@/a.wav", "@/none.wav"},
                "Unable to read impulse file '@/none.wav'\n"},
        Refusal{"missing_by_pattern", {"2", "1", "@/m.wav", "@/%i.wav"},
                "Unable to read impulse file '@/1.wav'\n"},
        Refusal{"not_sound", {"1", "1", "@/m.wav", "@/text.wav"},
                "Unable to read impulse file '@/text.wav'\n"},
        Refusal{"file_count", {"2", "2", "@/m.wav", "@/a.wav", "@/b.wav"},
                "Expected 4 impulse files (2 inputs x 2 outputs) or one pattern, got 2.\n"},
        Refusal{"all_silent", {"1", "2", "@/m.wav", "-", "-"}, "No impulse file: every pair is '-'.\n"},
        Refusal{"bad_pattern", {"1", "1", "@/m.wav", "@/%i%d.wav"},
                "Bad pattern '@/%i%d.wav': only %i, %o and %% may follow a '%'.\n"},
        Refusal{"inputs", {"65", "1", "@/m.wav", "@/a.wav"}, "Number of inputs must be 1...64.\n"},
        Refusal{"outputs", {"1", "0", "@/m.wav", "@/a.wav"}, "Number of outputs must be 1...64.\n"},
        Refusal{"seglen", {"-l", "200000", "1", "1", "@/m.wav", "@/a.wav"},
                "\nOn command line:\n  The segment length must be 1...131072 frames.\n"
                "  Use '-h' to see all options.\n"},
        Refusal{"option", {"-x", "1", "1", "@/m.wav", "@/a.wav"},
                "\nOn command line:\n  Unknown option '-x'.\n  Use '-h' to see all options.\n"},
        Refusal{"usage", {"-h"}, "\ntessmatrix 0.5.2\nUsage: tessmatrix <options> <inputs> <outputs>"},
        Refusal{"too_few_operands", {"1", "1", "@/m.wav"}, "Usage: tessmatrix"},
        Refusal{"unwritable", {"1", "1", "@/no/such/dir/m.wav", "@/a.wav"},
                "Unable to create output file '@/no/such/dir/m.wav'\n"}),
    [](const ::testing::TestParamInfo<Refusal> &info) { return std::string(info.param.label); });

}  // namespace
