// The choice between RIFF WAV and RF64 for the output, decided from the
// output length before anything is written.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <math.h>
#include <vector>

#include "outsize.h"
#include "soundfile.h"

TEST(Outsize, DataBytes)
{
    EXPECT_EQ(float_data_bytes(0, 2), 0u);
    EXPECT_EQ(float_data_bytes(1000, 3), 12000u);
    EXPECT_EQ(float_data_bytes(-5, 2), 0u);
    // No wrap-around for absurd lengths.
    EXPECT_EQ(float_data_bytes(INT64_MAX, 64), UINT64_MAX);
}

TEST(Outsize, Rf64OnlyPastTheRiffLimit)
{
    // The largest frame count whose float data and header still fit below
    // 4 GiB, per channel count.
    struct Case { int channels; int64_t last_fit; };
    const Case cases[] = {
        { 1, (int64_t) ((RIFF_MAXSIZE - WAV_HEADROOM) / 4) },
        { 2, (int64_t) ((RIFF_MAXSIZE - WAV_HEADROOM) / 8) },
        { 3, (int64_t) ((RIFF_MAXSIZE - WAV_HEADROOM) / 12) },
        { 64, (int64_t) ((RIFF_MAXSIZE - WAV_HEADROOM) / 256) },
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.channels);
        EXPECT_LE(float_data_bytes(c.last_fit, c.channels) + WAV_HEADROOM, RIFF_MAXSIZE);
        EXPECT_FALSE(output_needs_rf64(c.last_fit, c.channels));
        EXPECT_TRUE(output_needs_rf64(c.last_fit + 1, c.channels));
        EXPECT_TRUE(output_needs_rf64(INT64_MAX, c.channels));
    }
    // Examples in plain numbers: one hour of 8 channels at 48 kHz is about
    // 5.5 GB, ten minutes of stereo about 230 MB.
    EXPECT_TRUE(output_needs_rf64(3600LL * 48000, 8));
    EXPECT_FALSE(output_needs_rf64(600LL * 48000, 2));
    EXPECT_FALSE(output_needs_rf64(0, 64));
    // 2^30 mono frames are exactly 4 GiB of data: too much.
    EXPECT_TRUE(output_needs_rf64(1LL << 30, 1));
}

TEST(Outsize, HeadroomCoversTheLargestHeader)
{
    // The largest header the library writes for the output: float WAVEX
    // with a PEAK chunk for 64 channels. Write one frame and measure.
    char path[] = "/tmp/tess-outsize-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    SF_INFO info = {};
    info.samplerate = 48000;
    info.channels = 64;
    info.format = SF_FORMAT_WAVEX | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path, SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    float frame[64] = {};
    frame[3] = 0.5f;
    EXPECT_EQ(sf_writef_float(f, frame, 1), 1);
    sf_close(f);
    struct stat st;
    ASSERT_EQ(stat(path, &st), 0);
    unlink(path);
    uint64_t header = st.st_size - float_data_bytes(1, 64);
    EXPECT_GT(header, 64 * 8u);   // the PEAK chunk is there
    EXPECT_LT(header, WAV_HEADROOM);
}

// The RF64 writer that the program uses past the limit, on a small file:
// the container really is RF64 and the samples come back unchanged.
TEST(Outsize, Rf64Writer)
{
    char path[] = "/tmp/tess-rf64-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const int frames = 3000, channels = 3;
    std::vector<float> data(frames * channels);
    for (size_t i = 0; i < data.size(); i++) data[i] = 1.5f * sinf(0.001f * i);
    {
        Soundfile sf;
        EXPECT_EQ(sf.open_write_rf64(path, Soundfile::FORM_FLOAT, 0, channels), Soundfile::ERR_OPEN);
        EXPECT_EQ(sf.open_write_rf64(path, Soundfile::FORM_OTHER, 44100, channels), Soundfile::ERR_FORM);
        ASSERT_EQ(sf.open_write_rf64(path, Soundfile::FORM_FLOAT, 44100, channels), 0);
        EXPECT_EQ(sf.mode(), Soundfile::MODE_WRITE);
        EXPECT_EQ(sf.type(), Soundfile::TYPE_WAV);
        EXPECT_EQ(sf.open_write_rf64(path, Soundfile::FORM_FLOAT, 44100, channels), Soundfile::ERR_MODE);
        std::vector<float> copy = data;
        EXPECT_EQ(sf.write(copy.data(), frames), frames);
        sf.close();
    }
    SF_INFO info = {};
    SNDFILE *f = sf_open(path, SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
    EXPECT_EQ(info.channels, channels);
    EXPECT_EQ(info.samplerate, 44100);
    ASSERT_EQ(info.frames, frames);
    std::vector<float> back(data.size());
    EXPECT_EQ(sf_readf_float(f, back.data(), frames), frames);
    sf_close(f);
    unlink(path);
    EXPECT_EQ(back, data);
}
