// The offline streaming loop on real files: the output of a run at the
// offline period against the same run at a period of 1024 and against a
// double-precision reference, over input lengths on and off the block
// boundaries of both periods; the output length; the stop flag.

#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "convconf.h"
#include "denseconv.h"
#include "soundfile.h"
#include "stream.h"

namespace fs = std::filesystem;

namespace {

struct Tap
{
    int t;
    float v;
};

// Sparse impulse responses, so that the reference stays quick while the
// taps reach every partition of both periods, the last sample included.
struct Matrix
{
    int ninp, nout, maxlen;
    std::vector<std::vector<Tap>> taps;   // pair (i, j) at j * ninp + i
};

Matrix sparse_matrix(int ninp, int nout, int maxlen, std::mt19937 &rng)
{
    Matrix m{ninp, nout, maxlen, {}};
    std::uniform_int_distribution<int> pos(0, maxlen - 1);
    std::uniform_real_distribution<float> val(-0.5f, 0.5f);
    for (int k = 0; k < ninp * nout; k++) {
        std::vector<Tap> t{{0, val(rng)}, {maxlen - 1, val(rng)}};
        for (int n = 0; n < 30; n++) t.push_back({pos(rng), val(rng)});
        m.taps.push_back(t);
    }
    return m;
}

void load(Denseconv &dc, const Matrix &m)
{
    for (int j = 0; j < m.nout; j++)
        for (int i = 0; i < m.ninp; i++) {
            std::vector<float> h(m.maxlen, 0.0f);
            for (const Tap &t : m.taps[j * m.ninp + i]) h[t.t] += t.v;
            ASSERT_EQ(dc.set_impulse(i, j, h.data(), m.maxlen, 1, 1.0f), 0);
        }
}

class StreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("tess-stream-" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string &name) const { return (dir / name).string(); }

    void write_input(const std::string &p, const std::vector<float> &frames, int nch)
    {
        Soundfile f;
        ASSERT_EQ(f.open_write(p.c_str(), Soundfile::TYPE_WAV, Soundfile::FORM_FLOAT, 48000, nch), 0);
        std::vector<float> copy = frames;
        if (!copy.empty()) {
            ASSERT_EQ(f.write(copy.data(), copy.size() / nch), (int)(copy.size() / nch));
        }
        f.close();
    }

    // Runs the loop over the input file with a convolver of 'period';
    // returns the interleaved output frames read back.
    std::vector<float> convolve(const std::string &inpath, const Matrix &m, int period,
                                int64_t total, int64_t *written, uint8_t stop = 0)
    {
        Soundfile inp, out;
        EXPECT_EQ(inp.open_read(inpath.c_str()), 0);
        Denseconv dc(m.ninp, m.nout, m.maxlen, period, 2);
        load(dc, m);
        const std::string outpath = path("out.wav");
        EXPECT_EQ(out.open_write(outpath.c_str(), Soundfile::TYPE_WAV, Soundfile::FORM_FLOAT, 48000, m.nout), 0);
        Stream stream(inp, out, &dc, m.nout);
        EXPECT_EQ(stream.init(), 0);
        volatile uint8_t flag = stop;
        EXPECT_EQ(stream.run(total, &flag, nullptr), 0);
        // Every block asks for a whole period, so all of the input is read
        // unless the run stopped first.
        if (!stop) {
            EXPECT_EQ(stream.delivered(), inp.frames());
        }
        inp.close();
        out.close();
        Soundfile back;
        EXPECT_EQ(back.open_read(outpath.c_str()), 0);
        *written = back.frames();
        std::vector<float> data((size_t)std::max<int64_t>(back.frames(), 0) * m.nout);
        if (!data.empty()) {
            EXPECT_EQ(back.read(data.data(), back.frames()), back.frames());
        }
        back.close();
        return data;
    }

    fs::path dir;
};

// Direct convolution in double precision of the interleaved input; the
// first 'total' frames of each output, interleaved.
std::vector<double> reference(const std::vector<float> &in, int64_t frames, const Matrix &m, int64_t total)
{
    std::vector<double> out((size_t)total * m.nout, 0.0);
    for (int j = 0; j < m.nout; j++)
        for (int i = 0; i < m.ninp; i++)
            for (const Tap &tap : m.taps[j * m.ninp + i])
                for (int64_t t = tap.t; t < total && t - tap.t < frames; t++)
                    out[(size_t)t * m.nout + j] += (double)tap.v * in[(size_t)(t - tap.t) * m.ninp + i];
    return out;
}

}  // namespace

TEST(OfflinePeriod, SizeRoundedUpToAPowerOfTwoWithinTheLimits)
{
    EXPECT_EQ(offline_period(16), 1024);
    EXPECT_EQ(offline_period(1000), 1024);
    EXPECT_EQ(offline_period(1024), 1024);
    EXPECT_EQ(offline_period(1025), 2048);
    EXPECT_EQ(offline_period(3000), 4096);
    EXPECT_EQ(offline_period(4096), 4096);
    EXPECT_EQ(offline_period(MAXLEN), MAXPER);
}

// The offline period and the period of 1024 give the same output within
// the reference tolerance, both agree with the reference, and every run
// writes exactly the frames asked for: lengths on and off the boundaries
// of both periods, shorter than a block, and empty.
TEST_F(StreamTest, OfflinePeriodEqualsPeriod1024AndReference)
{
    const int ninp = 3, nout = 2;
    for (int maxlen : {4096, 3000}) {
        std::mt19937 rng(maxlen);
        Matrix m = sparse_matrix(ninp, nout, maxlen, rng);
        const int period = offline_period(maxlen);
        ASSERT_EQ(period, 4096);
        for (int64_t frames : {0, 1, 1023, 1024, 4095, 4096, 4097, 3 * 4096 + 17, 5 * 1024 + 3}) {
            std::uniform_real_distribution<float> d(-0.5f, 0.5f);
            std::vector<float> in((size_t)frames * ninp);
            for (float &x : in) x = d(rng);
            write_input(path("in.wav"), in, ninp);
            for (int64_t total : {frames, frames + maxlen - 1}) {
                SCOPED_TRACE(::testing::Message() << "maxlen " << maxlen << ", " << frames
                                                  << " frames in, " << total << " out");
                int64_t n1, n2;
                std::vector<float> a = convolve(path("in.wav"), m, period, total, &n1);
                std::vector<float> b = convolve(path("in.wav"), m, 1024, total, &n2);
                ASSERT_EQ(n1, total);
                ASSERT_EQ(n2, total);
                std::vector<double> ref = reference(in, frames, m, total);
                double pk = 1e-3;
                for (double x : ref) pk = std::max(pk, fabs(x));
                double ea = 0, eb = 0, eab = 0;
                for (size_t k = 0; k < ref.size(); k++) {
                    ea = std::max(ea, fabs(a[k] - ref[k]));
                    eb = std::max(eb, fabs(b[k] - ref[k]));
                    eab = std::max(eab, fabs((double)a[k] - b[k]));
                }
                EXPECT_LT(ea / pk, 1e-5);
                EXPECT_LT(eb / pk, 1e-5);
                EXPECT_LT(eab / pk, 1e-5);
            }
        }
    }
}

// A stop flag set before the first block: nothing is written, and the run
// is not a write failure.
TEST_F(StreamTest, StopBeforeTheFirstBlockWritesNothing)
{
    std::mt19937 rng(5);
    Matrix m = sparse_matrix(1, 2, 64, rng);
    write_input(path("in.wav"), std::vector<float>(5000, 0.25f), 1);
    int64_t n;
    convolve(path("in.wav"), m, 1024, 5000, &n, 1);
    EXPECT_EQ(n, 0);
}

// Wider blocks: the (de-)interleaving goes in tiles of frames, the frames
// past the last whole tile one by one; every channel must land where it
// belongs, more inputs than outputs and the reverse, with lengths on and
// off the tiles.
TEST_F(StreamTest, WideChannelCountsKeepEveryChannelInPlace)
{
    struct Case { int ninp, nout; };
    for (Case c : {Case{8, 16}, Case{16, 8}, Case{9, 17}}) {
        std::mt19937 rng(c.ninp * 100 + c.nout);
        Matrix m = sparse_matrix(c.ninp, c.nout, 64, rng);
        for (int64_t frames : {1, 7, 8, 9, 1023, 1024 + 13, 3000}) {
            SCOPED_TRACE(::testing::Message() << c.ninp << " x " << c.nout << ", " << frames << " frames");
            std::uniform_real_distribution<float> d(-0.5f, 0.5f);
            std::vector<float> in((size_t)frames * c.ninp);
            for (float &x : in) x = d(rng);
            write_input(path("in.wav"), in, c.ninp);
            const int64_t total = frames + 63;
            int64_t n;
            std::vector<float> out = convolve(path("in.wav"), m, offline_period(64), total, &n);
            ASSERT_EQ(n, total);
            std::vector<double> ref = reference(in, frames, m, total);
            double pk = 1e-3, e = 0;
            for (double x : ref) pk = std::max(pk, fabs(x));
            for (size_t k = 0; k < ref.size(); k++) e = std::max(e, fabs(out[k] - ref[k]));
            EXPECT_LT(e / pk, 1e-5);
        }
    }
}
