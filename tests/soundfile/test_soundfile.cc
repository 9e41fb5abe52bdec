// Soundfile: opening, reading, seeking, undithered writing, closing and the
// name tables, checked against what libsndfile itself finds in the files.

#include <cmath>
#include <cstring>
#include <filesystem>

#include "sftest.h"
#include "soundfile.h"

namespace {

using SF = Soundfile;

struct Fields
{
    int mode, type, format, rate, channels;
    int64_t frames;
    int dither;

    explicit Fields(const Soundfile &f) :
        mode(f.mode()), type(f.type()), format(f.format()), rate(f.rate()),
        channels(f.channels()), frames(f.frames()), dither(f.dither())
    {}

    bool operator==(const Fields &o) const
    {
        return mode == o.mode && type == o.type && format == o.format && rate == o.rate &&
               channels == o.channels && frames == o.frames && dither == o.dither;
    }
};

void expect_idle(Soundfile &f)
{
    EXPECT_EQ(f.mode(), SF::MODE_NONE);
    EXPECT_EQ(f.type(), 0);
    EXPECT_EQ(f.format(), 0);
    EXPECT_EQ(f.rate(), 0);
    EXPECT_EQ(f.channels(), 0);
    EXPECT_EQ(f.frames(), 0);
    EXPECT_EQ(f.dither(), SF::DITHER_NONE);
    EXPECT_EQ(f.get_buffer(), nullptr);
}

float signal(int frame, int chan)
{
    return (float) ((frame * 7 + chan * 13) % 201 - 100) / 128.0f;
}

std::vector<float> make_signal(int frames, int channels)
{
    std::vector<float> v((size_t) frames * channels);
    for (int i = 0; i < frames; i++) {
        for (int c = 0; c < channels; c++) v[(size_t) i * channels + c] = signal(i, c);
    }
    return v;
}

} // namespace

TEST(SoundfileNames, Parsers)
{
    struct { const char *name; int type, format, dither; } cases[] = {
        { "caf", 1, -1, -1 },  { "wav", 2, -1, -1 },   { "amb", 3, -1, -1 },   { "aiff", 4, -1, -1 },
        { "flac", 5, -1, -1 }, { "16bit", -1, 1, -1 }, { "24bit", -1, 2, -1 }, { "32bit", -1, 3, -1 },
        { "float", -1, 4, -1 }, { "none", -1, -1, 0 }, { "rect", -1, -1, 1 }, { "tri", -1, -1, 2 },
        { "lips", -1, -1, 3 }, { "other", -1, -1, -1 }, { "WAV", -1, -1, -1 }, { "Float", -1, -1, -1 },
        { "LIPS", -1, -1, -1 }, { "", -1, -1, -1 },    { "wav ", -1, -1, -1 }, { "16", -1, -1, -1 },
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SF::parse_type(c.name), c.type);
        EXPECT_EQ(SF::parse_format(c.name), c.format);
        EXPECT_EQ(SF::parse_dither(c.name), c.dither);
    }
    EXPECT_EQ(SF::parse_type(nullptr), -1);
    EXPECT_STREQ(SF::type_names[SF::TYPE_AIFF], "aiff");
    EXPECT_STREQ(SF::format_names[SF::FORM_FLOAT], "float");
    EXPECT_EQ(SF::format_names[SF::FORM_FLOAT + 1], nullptr);
    EXPECT_STREQ(SF::dither_names[SF::DITHER_LIPS], "lips");
}

TEST(SoundfileState, NewAndIdleObject)
{
    Soundfile f;
    expect_idle(f);
    EXPECT_EQ(f.close(), 0);
    EXPECT_EQ(f.close(), 0);
    expect_idle(f);
    float buf[4] = { 0, 0, 0, 0 };
    EXPECT_EQ(f.read(buf, 1), SF::ERR_MODE);
    EXPECT_EQ(f.write(buf, 1), SF::ERR_MODE);
    EXPECT_EQ(f.seek(0), SF::ERR_MODE);
    EXPECT_EQ(f.set_dither(SF::DITHER_RECT), SF::ERR_MODE);
    expect_idle(f);
}

// Every writable type and format with 1 to 4 channels: the container and
// subformat on disk, the ambisonic tag, and the codes and samples seen when
// the file is read back.
TEST_F(SfTest, RoundTripAllTypesAndFormats)
{
    const int nfr = 500, rate = 48000;
    const int subs[] = { 0, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32, SF_FORMAT_FLOAT };
    const double tols[] = { 0, 1.5 / 32768, 1.5 / 8388608, 1e-6, 0 };

    for (int type = SF::TYPE_CAF; type <= SF::TYPE_FLAC; type++) {
        for (int form = SF::FORM_16BIT; form <= SF::FORM_FLOAT; form++) {
            for (int nch = 1; nch <= 4; nch++) {
                SCOPED_TRACE(std::string(SF::type_names[type]) + " " + SF::format_names[form] + " " + std::to_string(nch));
                std::string name = std::string("rt-") + SF::type_names[type] + SF::format_names[form] + std::to_string(nch);
                Soundfile f;
                int r = f.open_write(path(name.c_str()).c_str(), type, form, rate, nch);
                if (type == SF::TYPE_FLAC && form >= SF::FORM_32BIT) {
                    // FLAC holds neither 32-bit integers nor floats.
                    EXPECT_EQ(r, SF::ERR_OPEN);
                    expect_idle(f);
                    continue;
                }
                ASSERT_EQ(r, 0);
                EXPECT_EQ(f.mode(), SF::MODE_WRITE);
                EXPECT_EQ(f.type(), type);
                EXPECT_EQ(f.format(), form);
                EXPECT_EQ(f.rate(), rate);
                EXPECT_EQ(f.channels(), nch);
                EXPECT_EQ(f.frames(), 0);
                std::vector<float> data = make_signal(nfr, nch);
                std::vector<float> copy = data;
                EXPECT_EQ(f.write(data.data(), 300), 300);
                EXPECT_EQ(f.write(data.data() + 300 * nch, nfr - 300), nfr - 300);
                EXPECT_EQ(f.frames(), 0);
                EXPECT_EQ(data, copy);   // nothing to clip
                EXPECT_EQ(f.close(), 0);
                expect_idle(f);

                int container = (type == SF::TYPE_CAF) ? SF_FORMAT_CAF
                              : (type == SF::TYPE_AIFF) ? SF_FORMAT_AIFF
                              : (type == SF::TYPE_FLAC) ? SF_FORMAT_FLAC
                              : (nch > 2) ? SF_FORMAT_WAVEX : SF_FORMAT_WAV;
                SF_INFO info;
                std::vector<float> disk = read_all<float>(name.c_str(), info);
                EXPECT_EQ(info.format, container | subs[form]);
                EXPECT_EQ(info.channels, nch);
                EXPECT_EQ(info.samplerate, rate);
                ASSERT_EQ(info.frames, nfr);
                for (size_t k = 0; k < disk.size(); k++) {
                    ASSERT_NEAR(disk[k], data[k], tols[form]) << "sample " << k;
                }
                if (container == SF_FORMAT_WAVEX) {
                    SNDFILE *h = sf_open(path(name.c_str()).c_str(), SFM_READ, &info);
                    ASSERT_NE(h, nullptr);
                    int amb = sf_command(h, SFC_WAVEX_GET_AMBISONIC, nullptr, 0);
                    EXPECT_EQ(amb == SF_AMBISONIC_B_FORMAT, type == SF::TYPE_AMB);
                    sf_close(h);
                }

                // Read back through Soundfile, in two uneven pieces.
                ASSERT_EQ(f.open_read(path(name.c_str()).c_str()), 0);
                int exptype = (type == SF::TYPE_AMB && nch <= 2) ? SF::TYPE_WAV : type;
                EXPECT_EQ(f.mode(), SF::MODE_READ);
                EXPECT_EQ(f.type(), exptype);
                EXPECT_EQ(f.format(), form);
                EXPECT_EQ(f.rate(), rate);
                EXPECT_EQ(f.channels(), nch);
                EXPECT_EQ(f.frames(), nfr);
                std::vector<float> back((size_t) (nfr + 10) * nch, 99.0f);
                EXPECT_EQ(f.read(back.data(), 123), 123);
                EXPECT_EQ(f.read(back.data() + 123 * nch, 1000), nfr - 123);
                float end[4 * 10];
                EXPECT_EQ(f.read(end, 10), 0);
                back.resize(disk.size());
                EXPECT_EQ(back, disk);
                f.close();
                expect_idle(f);
            }
        }
    }
}

// Containers and encodings outside the code lists, made by libsndfile.
TEST_F(SfTest, OtherTypesAndFormatsRead)
{
    struct { const char *name; int sfformat, nch, type, form; } cases[] = {
        { "a.au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 2, SF::TYPE_OTHER, SF::FORM_16BIT },
        { "a.w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT, 1, SF::TYPE_OTHER, SF::FORM_FLOAT },
        { "a.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_32, 2, SF::TYPE_OTHER, SF::FORM_32BIT },
        { "u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 2, SF::TYPE_WAV, SF::FORM_OTHER },
        { "dbl.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 1, SF::TYPE_WAV, SF::FORM_OTHER },
        { "ima.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 1, SF::TYPE_WAV, SF::FORM_OTHER },
        { "ulaw.caf", SF_FORMAT_CAF | SF_FORMAT_ULAW, 1, SF::TYPE_CAF, SF::FORM_OTHER },
        { "s8.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_S8, 1, SF::TYPE_AIFF, SF::FORM_OTHER },
        { "u8.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_U8, 1, SF::TYPE_AIFF, SF::FORM_OTHER },
        { "dbl.aiff", SF_FORMAT_AIFF | SF_FORMAT_DOUBLE, 1, SF::TYPE_AIFF, SF::FORM_OTHER },
        { "s8.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_S8, 1, SF::TYPE_FLAC, SF::FORM_OTHER },
        { "notag.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 4, SF::TYPE_WAV, SF::FORM_24BIT },
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(make_file(c.name, c.sfformat, c.nch, make_signal(77, c.nch), 22050));
        SF_INFO info;
        std::vector<float> disk = read_all<float>(c.name, info);   // block codecs may pad
        Soundfile f;
        ASSERT_EQ(f.open_read(path(c.name).c_str()), 0);
        EXPECT_EQ(f.type(), c.type);
        EXPECT_EQ(f.format(), c.form);
        EXPECT_EQ(f.rate(), 22050);
        EXPECT_EQ(f.channels(), c.nch);
        EXPECT_EQ(f.frames(), info.frames);
        EXPECT_GE(f.frames(), 77);
        std::vector<float> buf(disk.size() + 100);
        EXPECT_EQ(f.read(buf.data(), info.frames + 1), info.frames);
        buf.resize(disk.size());
        EXPECT_EQ(buf, disk);
    }
}

TEST_F(SfTest, FailedOpenReadLeavesIdle)
{
    ASSERT_TRUE(make_file("a.raw", SF_FORMAT_RAW | SF_FORMAT_PCM_16, 1, make_signal(10, 1)));
    FILE *t = fopen(path("text.wav").c_str(), "w");
    ASSERT_NE(t, nullptr);
    fputs("not a sound file at all, just some text\n", t);
    fclose(t);
    ASSERT_TRUE(make_file("good.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, make_signal(10, 1)));

    Soundfile f;
    for (const char *name : { "a.raw", "text.wav", "missing.wav", "" }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(f.open_read(path(name).c_str()), SF::ERR_OPEN);
        expect_idle(f);
    }
    EXPECT_EQ(f.open_read(nullptr), SF::ERR_OPEN);
    EXPECT_EQ(f.open_write(nullptr, SF::TYPE_WAV, SF::FORM_FLOAT, 44100, 1), SF::ERR_OPEN);
    expect_idle(f);
    EXPECT_EQ(f.open_read(path("good.wav").c_str()), 0);
    EXPECT_EQ(f.frames(), 10);
}

// The checks of open_write come in a fixed order: mode, rate and channels,
// type, format, then the library.
TEST_F(SfTest, OpenWriteCheckOrder)
{
    struct { int type, form, rate, nch, result; } cases[] = {
        { 0, 0, 0, 1, SF::ERR_OPEN },          // bad rate beats bad type and format
        { 9, 9, 48000, 0, SF::ERR_OPEN },      // bad channel count too
        { 2, 1, -44100, 2, SF::ERR_OPEN },
        { 2, 1, 44100, -1, SF::ERR_OPEN },
        { 0, 0, 48000, 1, SF::ERR_TYPE },      // bad type beats bad format
        { 6, 1, 48000, 1, SF::ERR_TYPE },
        { -1, 1, 48000, 1, SF::ERR_TYPE },
        { 2, 0, 48000, 1, SF::ERR_FORM },
        { 3, 5, 48000, 4, SF::ERR_FORM },
        { 1, -1, 48000, 4, SF::ERR_FORM },
        { 5, 4, 48000, 1, SF::ERR_OPEN },      // the library refuses FLAC float
        { 5, 3, 48000, 1, SF::ERR_OPEN },      // and FLAC 32-bit
    };
    Soundfile f;
    for (auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " " << c.form << " " << c.rate << " " << c.nch);
        EXPECT_EQ(f.open_write(path("out.wav").c_str(), c.type, c.form, c.rate, c.nch), c.result);
        expect_idle(f);
        if (c.type != SF::TYPE_FLAC) {
            EXPECT_FALSE(exists("out.wav"));
        }
    }
    EXPECT_EQ(f.open_write((dir + "/no/such/dir.wav").c_str(), 2, 1, 48000, 1), SF::ERR_OPEN);
    expect_idle(f);

    // Still usable after all these refusals.
    ASSERT_EQ(f.open_write(path("good.wav").c_str(), 2, 1, 48000, 1), 0);
    EXPECT_EQ(f.open_write(path("other.wav").c_str(), 0, 0, 0, 0), SF::ERR_MODE);
    EXPECT_FALSE(exists("other.wav"));
}

// Every operation the current mode forbids is refused with ERR_MODE and
// leaves the object, and the open file, as they were.
TEST_F(SfTest, RefusedOperationsChangeNothing)
{
    std::vector<float> sig = make_signal(50, 2);
    ASSERT_TRUE(make_file("in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, sig));
    float buf[200];

    Soundfile r;
    ASSERT_EQ(r.open_read(path("in.wav").c_str()), 0);
    float *rb = r.get_buffer();
    Fields before(r);
    EXPECT_EQ(r.read(buf, 10), 10);
    EXPECT_EQ(r.open_read(path("in.wav").c_str()), SF::ERR_MODE);
    EXPECT_EQ(r.open_write(path("new.wav").c_str(), 2, 4, 48000, 1), SF::ERR_MODE);
    EXPECT_EQ(r.write(buf, 1), SF::ERR_MODE);
    EXPECT_EQ(r.set_dither(SF::DITHER_TRI), SF::ERR_MODE);
    EXPECT_EQ(r.seek(51), SF::ERR_SEEK);
    EXPECT_TRUE(Fields(r) == before);
    EXPECT_EQ(r.get_buffer(), rb);
    EXPECT_FALSE(exists("new.wav"));
    // The first file is still open, read on from where it was.
    EXPECT_EQ(r.read(buf, 100), 40);
    EXPECT_EQ(buf[0], sig[20]);
    EXPECT_EQ(buf[79], sig[99]);

    Soundfile w;
    ASSERT_EQ(w.open_write(path("out.wav").c_str(), SF::TYPE_WAV, SF::FORM_FLOAT, 48000, 2), 0);
    before = Fields(w);
    EXPECT_EQ(w.write(sig.data(), 20), 20);
    EXPECT_EQ(w.open_read(path("in.wav").c_str()), SF::ERR_MODE);
    EXPECT_EQ(w.open_write(path("out2.wav").c_str(), 2, 4, 48000, 1), SF::ERR_MODE);
    EXPECT_EQ(w.read(buf, 1), SF::ERR_MODE);
    EXPECT_EQ(w.set_dither(SF::DITHER_TRI), SF::ERR_FORM);
    EXPECT_TRUE(Fields(w) == before);
    EXPECT_EQ(w.write(sig.data() + 40, 30), 30);
    w.close();
    EXPECT_FALSE(exists("out2.wav"));
    SF_INFO info;
    EXPECT_EQ(read_all<float>("out.wav", info), sig);
}

TEST_F(SfTest, Seek)
{
    std::vector<float> sig = make_signal(100, 1);
    ASSERT_TRUE(make_file("in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, sig));
    Soundfile f;
    ASSERT_EQ(f.open_read(path("in.wav").c_str()), 0);
    float x;
    struct { int64_t pos; int result; int64_t next; } steps[] = {
        { 40, 0, 40 }, { 0, 0, 0 }, { 99, 0, 99 }, { 100, 0, -1 },
        { 101, SF::ERR_SEEK, -1 }, { 1000000, SF::ERR_SEEK, -1 }, { -1, SF::ERR_SEEK, -1 }, { 7, 0, 7 },
    };
    for (auto &s : steps) {
        SCOPED_TRACE(s.pos);
        EXPECT_EQ(f.seek(s.pos), s.result);
        EXPECT_EQ(f.frames(), 100);
        if (s.result == 0) {
            if (s.next < 0) EXPECT_EQ(f.read(&x, 1), 0);
            else {
                EXPECT_EQ(f.read(&x, 1), 1);
                EXPECT_EQ(x, sig[s.next]);
            }
        }
    }
    // A writer may seek as well: back to the start, overwriting.
    Soundfile w;
    ASSERT_EQ(w.open_write(path("out.wav").c_str(), SF::TYPE_WAV, SF::FORM_FLOAT, 48000, 1), 0);
    EXPECT_EQ(w.write(sig.data(), 100), 100);
    EXPECT_EQ(w.seek(10), 0);
    EXPECT_EQ(w.write(sig.data(), 5), 5);
    w.close();
    SF_INFO info;
    std::vector<float> back = read_all<float>("out.wav", info);
    ASSERT_EQ(back.size(), 100u);
    EXPECT_EQ(back[10], sig[0]);
    EXPECT_EQ(back[14], sig[4]);
    EXPECT_EQ(back[15], sig[15]);
}

// Integer files get their samples clipped to +-1.0 in the caller's buffer;
// float files keep them as they are.
TEST_F(SfTest, ClipOnIntegerFormats)
{
    const float in[8] = { 1.5f, -2.0f, 0.25f, 1.0000001f, -1.0f, 1e30f, -INFINITY, NAN };
    const int sfsub[] = { 0, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32, SF_FORMAT_FLOAT };
    for (int form = SF::FORM_16BIT; form <= SF::FORM_FLOAT; form++) {
        SCOPED_TRACE(SF::format_names[form]);
        std::string name = std::string("clip-") + SF::format_names[form] + ".wav";
        Soundfile f;
        ASSERT_EQ(f.open_write(path(name.c_str()).c_str(), SF::TYPE_WAV, form, 44100, 2), 0);
        float buf[8];
        memcpy(buf, in, sizeof(buf));
        // Three frames, then the last one alone. What libsndfile makes of
        // a NaN in an integer file is its own business and not checked.
        EXPECT_EQ(f.write(buf, 3), 3);
        float buf2[8];
        memcpy(buf2, in, sizeof(buf2));
        EXPECT_EQ(f.write(buf2 + 6, 1), 1);
        f.close();

        if (form == SF::FORM_FLOAT) {
            EXPECT_EQ(memcmp(buf, in, sizeof(buf)), 0);
            EXPECT_EQ(memcmp(buf2, in, sizeof(buf2)), 0);
        }
        else {
            const float want[6] = { 1.0f, -1.0f, 0.25f, 1.0f, -1.0f, 1.0f };
            for (int k = 0; k < 6; k++) EXPECT_EQ(buf[k], want[k]) << k;
            EXPECT_EQ(buf[6], -INFINITY);   // beyond the written frames
            EXPECT_EQ(buf2[6], -1.0f);
            EXPECT_TRUE(std::isnan(buf2[7]));   // NaN is not clipped
        }

        SF_INFO info;
        if (form == SF::FORM_FLOAT) {
            std::vector<float> back = read_all<float>(name.c_str(), info);
            ASSERT_EQ(back.size(), 8u);
            for (int k = 0; k < 7; k++) EXPECT_EQ(back[k], in[k]) << k;
            EXPECT_TRUE(std::isnan(back[7]));
        }
        else {
            // On disk is what libsndfile makes of the clipped values.
            const std::vector<float> clipped = { 1.0f, -1.0f, 0.25f, 1.0f, -1.0f, 1.0f, -1.0f, 0.0f };
            ASSERT_TRUE(make_file("ref.wav", SF_FORMAT_WAV | sfsub[form], 2, clipped));
            std::vector<int> back = read_all<int>(name.c_str(), info);
            std::vector<int> ref = read_all<int>("ref.wav", info);
            ASSERT_EQ(back.size(), 8u);
            ASSERT_EQ(ref.size(), 8u);
            if (form != SF::FORM_32BIT) {
                for (int k = 0; k < 7; k++) EXPECT_EQ(back[k], ref[k]) << k;
            }
            // No wrap-around in any format: full scale stays full scale of
            // its sign (+1.0 in a 32-bit file included).
            for (int k = 0; k < 7; k++) EXPECT_NEAR(back[k] / 2147483648.0, clipped[k], 1e-4) << k;
        }
    }
}

TEST_F(SfTest, BufferFramesAndClose)
{
    Soundfile f;
    EXPECT_EQ(f.get_buffer(), nullptr);
    ASSERT_EQ(f.open_write(path("a.caf").c_str(), SF::TYPE_CAF, SF::FORM_24BIT, 96000, 3), 0);
    float *b = f.get_buffer();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(f.get_buffer(), b);
    for (int k = 0; k < 3 * SF::BUFFRAMES; k++) b[k] = signal(k / 3, k % 3);
    EXPECT_EQ(f.write(b, SF::BUFFRAMES), SF::BUFFRAMES);
    EXPECT_EQ(f.frames(), 0);
    EXPECT_EQ(f.close(), 0);
    expect_idle(f);

    ASSERT_EQ(f.open_read(path("a.caf").c_str()), 0);
    EXPECT_EQ(f.frames(), SF::BUFFRAMES);
    b = f.get_buffer();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(f.read(b, SF::BUFFRAMES), SF::BUFFRAMES);
    EXPECT_NEAR(b[3 * 1000 + 2], signal(1000, 2), 1e-6);
    EXPECT_EQ(f.close(), 0);
    expect_idle(f);
}

// Failed opens, refusals and closes in any order leave an object that opens
// again; the sanitizer build checks that nothing leaks on the way.
TEST_F(SfTest, ReuseAfterFailures)
{
    std::vector<float> sig = make_signal(2000, 2);
    Soundfile f;
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        EXPECT_EQ(f.open_read(path("missing.wav").c_str()), SF::ERR_OPEN);
        EXPECT_EQ(f.open_write(path("x.flac").c_str(), SF::TYPE_FLAC, SF::FORM_FLOAT, 44100, 2), SF::ERR_OPEN);
        ASSERT_EQ(f.open_write(path("x.wav").c_str(), SF::TYPE_WAV, SF::FORM_16BIT, 44100, 2), 0);
        EXPECT_NE(f.get_buffer(), nullptr);
        EXPECT_EQ(f.set_dither(SF::DITHER_LIPS), 0);
        EXPECT_EQ(f.write(sig.data(), 2000), 2000);
        EXPECT_EQ(f.close(), 0);
        expect_idle(f);
        ASSERT_EQ(f.open_read(path("x.wav").c_str()), 0);
        EXPECT_EQ(f.frames(), 2000);
        EXPECT_NE(f.get_buffer(), nullptr);
        EXPECT_EQ(f.close(), 0);
        EXPECT_EQ(f.close(), 0);
    }
    // The destructor closes an object left open.
    Soundfile *g = new Soundfile;
    ASSERT_EQ(g->open_write(path("y.wav").c_str(), SF::TYPE_WAV, SF::FORM_16BIT, 44100, 2), 0);
    g->get_buffer();
    g->set_dither(SF::DITHER_TRI);
    EXPECT_EQ(g->write(sig.data(), 100), 100);
    delete g;
    SF_INFO info;
    EXPECT_EQ(read_all<short>("y.wav", info).size(), 200u);
}

// A file written where a longer one was holds the new data alone, and a
// file large enough to be handed to the device while it is written reads
// back whole.
TEST_F(SfTest, WritesOverALongerFileAndWritesLargeOnesWhole)
{
    const int big = 3 << 20;   // 12 MiB of float samples, past the write-out step
    std::vector<float> sig(big);
    for (int k = 0; k < big; k++) sig[k] = signal(k, 0);
    Soundfile f;
    ASSERT_EQ(f.open_write(path("o.wav").c_str(), SF::TYPE_WAV, SF::FORM_FLOAT, 48000, 1), 0);
    for (int k = 0; k < big; k += 65536) ASSERT_EQ(f.write(sig.data() + k, 65536), 65536);
    EXPECT_EQ(f.close(), 0);
    SF_INFO info;
    std::vector<float> back = read_all<float>("o.wav", info);
    ASSERT_EQ(back.size(), (size_t)big);
    EXPECT_EQ(memcmp(back.data(), sig.data(), big * sizeof(float)), 0);

    ASSERT_EQ(f.open_write(path("o.wav").c_str(), SF::TYPE_WAV, SF::FORM_FLOAT, 48000, 1), 0);
    ASSERT_EQ(f.write(sig.data() + 777, 1000), 1000);
    EXPECT_EQ(f.close(), 0);
    back = read_all<float>("o.wav", info);
    ASSERT_EQ(back.size(), 1000u);
    EXPECT_EQ(memcmp(back.data(), sig.data() + 777, 1000 * sizeof(float)), 0);
    // Nothing of the longer file is left past the new one's end.
    EXPECT_LT(std::filesystem::file_size(path("o.wav")), 1000 * sizeof(float) + 256);
}
