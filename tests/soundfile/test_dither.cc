// The three dithers: exact output against a plain reference written from
// the formulas, the shaping filter's history layout, limits, bad samples,
// and the dithered path of Soundfile::write through real files.

#include <cfloat>
#include <cmath>
#include <csignal>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>

#include "sftest.h"
#include "soundfile.h"

namespace {

using SF = Soundfile;
using Out = std::vector<int16_t>;
enum { RECT = SF::DITHER_RECT, TRI = SF::DITHER_TRI, LIPS = SF::DITHER_LIPS };

// Reference: straight from the formulas, with a linear error history and
// the integer conversion done by lrintf.
struct Ref
{
    uint32_t seed = 1234567;
    float prev = 0.0f;
    std::vector<float> err;   // e[n] of "lips", oldest first

    float rnd()
    {
        seed = seed * 1103515245u + 12345u;
        return (float) seed / 4294967296.0f;
    }

    static int16_t lim(long k) { return (int16_t) (k < -32767 ? -32767 : k > 32767 ? 32767 : k); }

    float e(size_t back) const { return back <= err.size() ? err[err.size() - back] : 0.0f; }

    int16_t step(int code, float x)
    {
        if (code == RECT) {
            float u = rnd();
            return lim(lrintf(x * 32768.0f + (u - 0.5f)));
        }
        if (code == TRI) {
            float u = rnd();
            float v = (x * 32768.0f + u) - prev;
            prev = u;
            return lim(lrintf(v));
        }
        float s = x * 32768.0f;
        s = s + -2.033f * e(1);
        s = s + 2.165f * e(2);
        s = s + -1.959f * e(3);
        s = s + 1.59f * e(4);
        s = s + -0.615f * e(5);
        float u1 = rnd();
        float u2 = rnd();
        long k = lrintf((s + u1) - u2);
        err.push_back((float) k - s);
        return lim(k);
    }

    Out run(int code, const std::vector<float> &x)
    {
        Out y;
        for (float v : x) y.push_back(step(code, v));
        return y;
    }
};

void proc(Dither &d, int code, int n, const float *in, int is, int16_t *out, int os)
{
    if (code == RECT) d.proc_rect(n, in, is, out, os);
    else if (code == TRI) d.proc_tri(n, in, is, out, os);
    else d.proc_lips(n, in, is, out, os);
}

Out run(Dither &d, int code, const std::vector<float> &x)
{
    Out y(x.size());
    proc(d, code, (int) x.size(), x.data(), 1, y.data(), 1);
    return y;
}

std::vector<float> noise(size_t n, float amp, unsigned seed = 1)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-amp, amp);
    std::vector<float> v(n);
    for (auto &x : v) x = dist(gen);
    return v;
}

bool same_state(const Dither &a, const Dither &b)
{
    return !memcmp(a.hist, b.hist, sizeof(a.hist)) && a.index == b.index && a.seed == b.seed;
}

const int codes[] = { RECT, TRI, LIPS };

} // namespace

TEST(Dither, InitialStateAndGenerator)
{
    Dither d;
    EXPECT_EQ(d.index, 63);
    EXPECT_EQ(d.seed, 1234567u);
    for (float h : d.hist) EXPECT_EQ(h, 0.0f);

    float x = 0.3f;
    int16_t y;
    d.proc_rect(1, &x, 1, &y, 1);
    EXPECT_EQ(d.seed, 4174162356u);
    d.reset();
    d.proc_tri(1, &x, 1, &y, 1);
    EXPECT_EQ(d.seed, 4174162356u);
    d.reset();
    d.proc_lips(1, &x, 1, &y, 1);   // two steps per sample
    EXPECT_EQ(d.seed, (uint32_t) ((4174162356ull * 1103515245ull + 12345ull) & 0xffffffffull));
    d.reset();
    Dither fresh;
    EXPECT_TRUE(same_state(d, fresh));
}

TEST(Dither, SilenceFromFreshState)
{
    const Out want[] = {
        Out(12, 0),
        { 1, -1, 1, 0, -1, 1, 0, 0, 0, 0, -1, 0 },
        { 1, -2, 1, 0, -1, 2, -1, -1, 1, 0, 0, 0 },
    };
    std::vector<float> zero(12, 0.0f);
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(SF::dither_names[codes[i]]);
        Dither d;
        EXPECT_EQ(run(d, codes[i], zero), want[i]);
    }
    // Rectangular dither over one step never moves silence.
    Dither d;
    std::vector<float> longzero(5000, 0.0f);
    EXPECT_EQ(run(d, RECT, longzero), Out(5000, 0));
}

// Bit-exact against the reference over many history wraps, in pieces of
// every awkward size, and with strides.
TEST(Dither, MatchesReference)
{
    std::vector<float> x = noise(6000, 1.3f);
    for (int i = 0; i < 100; i++) x[i * 37] = 0.0f;   // exact silence here and there
    const int pieces[] = { 1, 63, 64, 65, 1024, 7, 2000 };
    for (int code : codes) {
        SCOPED_TRACE(SF::dither_names[code]);
        Out want = Ref().run(code, x);

        Dither whole;
        EXPECT_EQ(run(whole, code, x), want);

        Dither d;
        Out y(x.size());
        size_t pos = 0;
        for (int p = 0; pos < x.size(); p = (p + 1) % 7) {
            int n = (int) std::min<size_t>(pieces[p], x.size() - pos);
            proc(d, code, n, x.data() + pos, 1, y.data() + pos, 1);
            pos += n;
        }
        EXPECT_EQ(y, want);
        EXPECT_TRUE(same_state(d, whole));

        // Strided: channel 1 of 3 in, channel 0 of 2 out; the rest untouched.
        std::vector<float> in3(3 * x.size(), 9.0f);
        for (size_t k = 0; k < x.size(); k++) in3[3 * k + 1] = x[k];
        std::vector<int16_t> out2(2 * x.size(), 555);
        Dither s;
        proc(s, code, (int) x.size(), in3.data() + 1, 3, out2.data(), 2);
        for (size_t k = 0; k < x.size(); k++) {
            ASSERT_EQ(out2[2 * k], want[k]) << k;
            ASSERT_EQ(out2[2 * k + 1], 555) << k;
        }
    }
}

TEST(Dither, LipsHistoryAfter64Samples)
{
    std::vector<float> x = noise(64, 0.5f, 7);
    Ref ref;
    ref.run(LIPS, x);
    ASSERT_EQ(ref.err.size(), 64u);
    Dither d;
    run(d, LIPS, x);
    EXPECT_EQ(d.index, 63);
    EXPECT_EQ(d.hist[63], ref.err[63]);
    EXPECT_EQ(d.hist[64], ref.err[62]);
    EXPECT_EQ(d.hist[65], ref.err[61]);
    EXPECT_EQ(d.hist[66], ref.err[60]);
    EXPECT_EQ(d.hist[67], ref.err[59]);
    EXPECT_EQ(d.hist[0], ref.err[62]);
    for (int k = 1; k < 63; k++) EXPECT_EQ(d.hist[k], ref.err[62 - k]) << k;
    // Errors stay within the dither's range plus rounding.
    for (float e : ref.err) EXPECT_LE(std::fabs(e), 1.5f);
}

// Full scale and beyond: the output range is -32767..32767 and the sign
// never flips.
TEST(Dither, Limits)
{
    const int n = 20000;
    for (int code : codes) {
        SCOPED_TRACE(SF::dither_names[code]);
        for (float level : { 1.0f, 1.5f, 100.0f }) {
            Dither p, m;
            Out yp = run(p, code, std::vector<float>(n, level));
            Out ym = run(m, code, std::vector<float>(n, -level));
            for (int k = 0; k < n; k++) {
                ASSERT_GE(yp[k], 0) << k;
                ASSERT_LE(ym[k], 0) << k;
                ASSERT_GE(ym[k], -32767) << k;
                if (code != LIPS || level > 1.0f) {
                    ASSERT_EQ(yp[k], 32767) << k;
                }
                if (code == RECT || level > 1.0f) {
                    ASSERT_EQ(ym[k], -32767) << k;
                }
            }
        }
    }
}

// NaN counts as silence and an infinity as full scale of its sign: the
// whole output, and the state after it, are those of the substitute.
TEST(Dither, NonFiniteSamples)
{
    const struct { float bad, subst; } cases[] = {
        { NAN, 0.0f }, { -NAN, 0.0f }, { INFINITY, 1.0f }, { -INFINITY, -1.0f },
    };
    const size_t positions[] = { 0, 1, 62, 63, 64, 500 };
    std::vector<float> base = noise(1000, 0.9f, 3);
    for (int code : codes) {
        for (auto &c : cases) {
            for (size_t pos : positions) {
                SCOPED_TRACE(testing::Message() << SF::dither_names[code] << " " << c.bad << " at " << pos);
                std::vector<float> xb = base, xs = base;
                xb[pos] = c.bad;
                xs[pos] = c.subst;
                Dither db, ds;
                EXPECT_EQ(run(db, code, xb), run(ds, code, xs));
                EXPECT_TRUE(same_state(db, ds));
            }
        }
    }
}

// Huge finite samples give full scale and leave a sane state: silence
// afterwards comes out as small dither noise again.
TEST(Dither, HugeFiniteSamples)
{
    for (int code : codes) {
        for (float big : { 1e10f, 1e30f, FLT_MAX, -1e10f, -1e30f, -FLT_MAX }) {
            SCOPED_TRACE(testing::Message() << SF::dither_names[code] << " " << big);
            std::vector<float> x(600, 0.0f);
            x[100] = big;
            x[101] = big;
            Dither d;
            Out y = run(d, code, x);
            EXPECT_EQ(y[100], big > 0 ? 32767 : -32767);
            EXPECT_EQ(y[101], big > 0 ? 32767 : -32767);
            for (size_t k = 120; k < y.size(); k++) ASSERT_LE(std::abs(y[k]), 16) << k;
            for (float h : d.hist) {
                ASSERT_TRUE(std::isfinite(h));
                ASSERT_LE(std::fabs(h), 2.0f);
            }
        }
    }
}

// ---- The dithered path of Soundfile::write, through real files.

namespace {

class DitherFile : public SfTest
{
protected:
    // Reads a 16-bit file back as raw samples.
    Out shorts(const char *name, int nch)
    {
        SF_INFO info;
        std::vector<short> v = read_all<short>(name, info);
        EXPECT_EQ(info.channels, nch);
        EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
        return Out(v.begin(), v.end());
    }

    static Out channel(const Out &v, int nch, int c)
    {
        Out r;
        for (size_t k = c; k < v.size(); k += nch) r.push_back(v[k]);
        return r;
    }
};

} // namespace

TEST_F(DitherFile, SetDitherRules)
{
    Soundfile f;
    EXPECT_EQ(f.set_dither(LIPS), SF::ERR_MODE);

    ASSERT_TRUE(make_file("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<float>(10, 0.0f)));
    ASSERT_EQ(f.open_read(path("in.wav").c_str()), 0);
    EXPECT_EQ(f.set_dither(LIPS), SF::ERR_MODE);
    EXPECT_EQ(f.dither(), 0);
    f.close();

    for (int form : { SF::FORM_24BIT, SF::FORM_32BIT, SF::FORM_FLOAT }) {
        ASSERT_EQ(f.open_write(path("x.wav").c_str(), SF::TYPE_WAV, form, 44100, 1), 0);
        EXPECT_EQ(f.set_dither(LIPS), SF::ERR_FORM);
        EXPECT_EQ(f.set_dither(SF::DITHER_NONE), SF::ERR_FORM);
        EXPECT_EQ(f.dither(), 0);
        f.close();
    }

    ASSERT_EQ(f.open_write(path("y.wav").c_str(), SF::TYPE_WAV, SF::FORM_16BIT, 44100, 1), 0);
    EXPECT_EQ(f.set_dither(SF::DITHER_NONE), 0);
    for (int bad : { 4, -1, 1000 }) {
        EXPECT_EQ(f.set_dither(bad), SF::ERR_FORM);
        EXPECT_EQ(f.dither(), SF::DITHER_NONE);
    }
    EXPECT_EQ(f.set_dither(TRI), 0);
    EXPECT_EQ(f.dither(), TRI);
    for (int bad : { 4, -1 }) {
        EXPECT_EQ(f.set_dither(bad), SF::ERR_FORM);
        EXPECT_EQ(f.dither(), TRI);
    }
    // Still the tri dither from its fresh state.
    std::vector<float> zero(12, 0.0f);
    EXPECT_EQ(f.write(zero.data(), 12), 12);
    f.close();
    EXPECT_EQ(f.dither(), SF::DITHER_NONE);
    EXPECT_EQ(shorts("y.wav", 1), Out({ 1, -1, 1, 0, -1, 1, 0, 0, 0, 0, -1, 0 }));

    // A new file starts without dither.
    ASSERT_EQ(f.open_write(path("z.wav").c_str(), SF::TYPE_WAV, SF::FORM_16BIT, 44100, 1), 0);
    EXPECT_EQ(f.dither(), SF::DITHER_NONE);
}

// Three channels fed the same samples come out the same, each equal to the
// reference; the caller's buffer is only read; a long write goes through in
// blocks and returns its full count.
TEST_F(DitherFile, EqualChannelsAndReference)
{
    const int n = 2500, nch = 3;
    std::vector<float> x = noise(n, 1.2f, 11);
    std::vector<float> in((size_t) n * nch);
    for (int k = 0; k < n; k++) {
        for (int c = 0; c < nch; c++) in[(size_t) k * nch + c] = x[k];
    }
    for (int code : codes) {
        SCOPED_TRACE(SF::dither_names[code]);
        Soundfile f;
        ASSERT_EQ(f.open_write(path("eq.wav").c_str(), SF::TYPE_WAV, SF::FORM_16BIT, 48000, nch), 0);
        ASSERT_EQ(f.set_dither(code), 0);
        std::vector<float> copy = in;
        EXPECT_EQ(f.write(copy.data(), 0), 0);
        EXPECT_EQ(f.write(copy.data(), n), n);
        EXPECT_EQ(memcmp(copy.data(), in.data(), in.size() * sizeof(float)), 0);
        f.close();
        Out y = shorts("eq.wav", nch);
        ASSERT_EQ(y.size(), in.size());
        Out want = Ref().run(code, x);
        for (int c = 0; c < nch; c++) EXPECT_EQ(channel(y, nch, c), want) << "channel " << c;
    }
}

// Switching between dithers keeps the channel states; going through "none"
// drops them, and undithered writes in between clip as usual.
TEST_F(DitherFile, SwitchingDithers)
{
    std::vector<float> a = noise(700, 0.8f, 21), b = noise(900, 0.8f, 22);
    std::vector<float> c = { 1.5f, -2.0f, 0.25f };

    Soundfile f;
    ASSERT_EQ(f.open_write(path("sw.wav").c_str(), SF::TYPE_WAV, SF::FORM_16BIT, 48000, 1), 0);
    ASSERT_EQ(f.set_dither(LIPS), 0);
    EXPECT_EQ(f.write(a.data(), a.size()), (int) a.size());
    ASSERT_EQ(f.set_dither(TRI), 0);
    EXPECT_EQ(f.write(b.data(), b.size()), (int) b.size());
    ASSERT_EQ(f.set_dither(SF::DITHER_NONE), 0);
    EXPECT_EQ(f.write(c.data(), c.size()), 3);
    EXPECT_EQ(c, std::vector<float>({ 1.0f, -1.0f, 0.25f }));
    ASSERT_EQ(f.set_dither(LIPS), 0);
    EXPECT_EQ(f.write(a.data(), a.size()), (int) a.size());
    f.close();

    Dither d;
    Out want = run(d, LIPS, a);
    Out t = run(d, TRI, b);   // same state, carried over
    want.insert(want.end(), t.begin(), t.end());
    want.insert(want.end(), { 32767, -32767, 8192 });
    Dither fresh;
    t = run(fresh, LIPS, a);
    want.insert(want.end(), t.begin(), t.end());
    EXPECT_EQ(shorts("sw.wav", 1), want);
}

// Bad samples on the dithered path of every dither: the file is the one the
// substitute samples would give.
TEST_F(DitherFile, NonFiniteSamplesInFile)
{
    const int n = 1500, nch = 2;
    std::vector<float> good = noise((size_t) n * nch, 0.7f, 5);
    std::vector<float> bad = good, subst = good;
    const struct { size_t at; float bad, subst; } hits[] = {
        { 0, NAN, 0.0f }, { 3, INFINITY, 1.0f }, { 1029, -INFINITY, -1.0f }, { 2500, NAN, 0.0f },
    };
    for (auto &h : hits) {
        bad[h.at] = h.bad;
        subst[h.at] = h.subst;
    }
    for (int code : codes) {
        SCOPED_TRACE(SF::dither_names[code]);
        for (auto *v : { &bad, &subst }) {
            Soundfile f;
            ASSERT_EQ(f.open_write(path(v == &bad ? "bad.wav" : "subst.wav").c_str(), SF::TYPE_WAV,
                                   SF::FORM_16BIT, 48000, nch), 0);
            ASSERT_EQ(f.set_dither(code), 0);
            EXPECT_EQ(f.write(v->data(), n), n);
        }
        Out yb = shorts("bad.wav", nch), ys = shorts("subst.wav", nch);
        ASSERT_EQ(yb.size(), (size_t) n * nch);
        EXPECT_EQ(yb, ys);
    }
}

// A write that the file system cuts short ends the dithered write at once:
// the count so far comes back, the states have advanced over the whole
// block being written and no further block is converted. The cut is made
// with a file size limit; the 2500 frames go out as 1024, 1024 and 452.
TEST_F(DitherFile, ShortWriteEndsAtOnce)
{
    const int n = 2500, more = 300;
    std::vector<float> x = noise(n, 0.9f, 8), tail = noise(more, 0.9f, 9);
    const struct { int cut, ret, converted; } cases[] = {
        { 0, 0, 1024 },      { 300, 300, 1024 },   { 1024, 1024, 2048 }, { 1500, 1500, 2048 },
        { 2048, 2048, 2500 }, { 2301, 2301, 2500 }, { 2500, 2500, 2500 },
    };
    void (*oldsig)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);

    for (auto &c : cases) {
        SCOPED_TRACE(c.cut);
        Soundfile f;
        ASSERT_EQ(f.open_write(path("cut.wav").c_str(), SF::TYPE_WAV, SF::FORM_16BIT, 48000, 1), 0);
        ASSERT_EQ(f.set_dither(LIPS), 0);
        struct stat st;
        ASSERT_EQ(stat(path("cut.wav").c_str(), &st), 0);   // the header is written on open
        struct rlimit lim = old;
        lim.rlim_cur = (rlim_t) st.st_size + 2 * (rlim_t) c.cut;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
        int r = f.write(x.data(), n);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
        EXPECT_EQ(r, c.ret);
        EXPECT_EQ(f.write(tail.data(), more), more);
        f.close();

        Dither d;
        Out first = run(d, LIPS, std::vector<float>(x.begin(), x.begin() + c.converted));
        Out want(first.begin(), first.begin() + c.cut);
        Out t = run(d, LIPS, tail);
        want.insert(want.end(), t.begin(), t.end());
        EXPECT_EQ(shorts("cut.wav", 1), want);
    }
    signal(SIGXFSZ, oldsig);
}
