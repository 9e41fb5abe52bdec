// Matrix loading, checked against what the convolver actually does: a unit
// impulse on one input must bring out, on every output, the impulse
// response loaded for that pair with its gain.

#include <math.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "convconf.h"
#include "denseconv.h"
#include "helpers.h"

namespace {

const int RATE = 48000;
const int PERIOD = 64;

typedef std::vector<float> Signal;

class MatrixLoad : public testing::Test
{
protected:
    TempDir dir;
    std::mt19937 rng{20261209};
    std::string err;

    Signal random_signal(size_t n)
    {
        std::uniform_real_distribution<float> d(-0.5f, 0.5f);
        Signal s(n);
        for (float &x : s) x = d(rng);
        return s;
    }

    // Cells[c][s]: channel c of segment s; all segments 'seglen' frames.
    typedef std::vector<std::vector<Signal>> Cells;

    Cells random_cells(int nchan, int nseg, int seglen)
    {
        Cells cells(nchan, std::vector<Signal>(nseg));
        for (auto &ch : cells)
            for (auto &seg : ch) seg = random_signal(seglen);
        return cells;
    }

    // Writes the cells as one file, segment after segment.
    std::string write_cells(const std::string &name, const Cells &cells, int rate = RATE)
    {
        int nchan = cells.size();
        int nseg = cells[0].size();
        int seglen = cells[0][0].size();
        Signal data(nchan * nseg * seglen);
        for (int c = 0; c < nchan; c++)
            for (int s = 0; s < nseg; s++)
                for (int t = 0; t < seglen; t++) data[(s * seglen + t) * nchan + c] = cells[c][s][t];
        std::string path = dir.file(name);
        EXPECT_TRUE(write_sound(path, rate, nchan, data));
        return path;
    }

    int read_conf(Convconf &conf, const std::string &text)
    {
        std::string path = dir.write("test.conf", text);
        StderrCapture cap;
        cap.start();
        int r = conf.read(path.c_str());
        err = cap.stop();
        return r;
    }

    // The outputs' response to a unit impulse on input 'inp', 'frames' long.
    std::vector<Signal> response(Convolver *conv, int inp, int frames)
    {
        conv->reset();
        int ncycle = (frames + PERIOD - 1) / PERIOD;
        std::vector<Signal> inbuf(conv->ninp, Signal(PERIOD));
        std::vector<Signal> outbuf(conv->nout, Signal(PERIOD));
        std::vector<const float *> ip;
        std::vector<float *> op;
        for (auto &b : inbuf) ip.push_back(b.data());
        for (auto &b : outbuf) op.push_back(b.data());
        std::vector<Signal> result(conv->nout);
        for (int k = 0; k < ncycle; k++) {
            for (auto &b : inbuf) std::fill(b.begin(), b.end(), 0.0f);
            if (k == 0) inbuf[inp][0] = 1.0f;
            conv->process(ip.data(), op.data());
            for (int o = 0; o < conv->nout; o++)
                result[o].insert(result[o].end(), outbuf[o].begin(), outbuf[o].end());
        }
        for (auto &r : result) r.resize(frames);
        return result;
    }

    // Checks every pair of the convolver against 'expect(i, o)', which gives
    // the loaded samples (before the gain) and the gain; samples past the
    // end of the response must be zero.
    template <typename F>
    void check_pairs(Convolver *conv, F expect)
    {
        int frames = (conv->maxlen + PERIOD - 1) / PERIOD * PERIOD + PERIOD;
        for (int i = 0; i < conv->ninp; i++) {
            std::vector<Signal> resp = response(conv, i, frames);
            for (int o = 0; o < conv->nout; o++) {
                double gain;
                Signal ir = expect(i, o, &gain);
                double peak = 0;
                for (float x : ir) peak = std::max(peak, fabs(x * gain));
                double tol = 1e-6 + 4e-6 * peak;
                int bad = 0;
                for (int t = 0; t < frames && bad < 5; t++) {
                    double want = (t < (int) ir.size()) ? ir[t] * gain : 0.0;
                    if (fabs(resp[o][t] - want) > tol) {
                        ADD_FAILURE() << "pair (" << i << ", " << o << ") sample " << t << ": got "
                                      << resp[o][t] << ", want " << want;
                        bad++;
                    }
                }
            }
        }
    }
};

// The first 'n' samples of 's'.
Signal head(const Signal &s, size_t n)
{
    return Signal(s.begin(), s.begin() + std::min(n, s.size()));
}

TEST_F(MatrixLoad, WholeMatrixWithGains)
{
    // Outputs after each other, one channel per input.
    Cells cells = random_cells(2, 3, 200);
    write_cells("m.wav", cells);
    Convconf conf(RATE, PERIOD);
    ASSERT_EQ(read_conf(conf, "/convolver/new 2 3 300 2\n"
                              "/input/gain 2 2\n"
                              "/output/dbgain 3 -6\n"
                              "/matrix/load 0.5 m.wav\n"
                              "/input/gain 2 4\n"
                              "/output/gain 1 3\n"), 0) << err;
    EXPECT_EQ(err, "");
    float ig[2] = {1.0f, 2.0f};
    float og[3] = {1.0f, 1.0f, powf(10.0f, -0.3f)};
    check_pairs(conf.convolver, [&](int i, int o, double *g) {
        *g = (0.5f * ig[i]) * og[o];
        return cells[i][o];
    });
}

TEST_F(MatrixLoad, TransposedMatrix)
{
    // Inputs after each other, one channel per output.
    Cells cells = random_cells(3, 2, 150);
    write_cells("t.wav", cells);
    Convconf conf(RATE, PERIOD);
    ASSERT_EQ(read_conf(conf, "/convolver/new 2 3 300 1\n"
                              "/output/gain 2 -1.5\n"
                              "/input/dbgain 1 6\n"
                              "/matrix/load_transp 0.25 t.wav\n"), 0) << err;
    EXPECT_EQ(err, "");
    float ig[2] = {powf(10.0f, 0.3f), 1.0f};
    float og[3] = {1.0f, -1.5f, 1.0f};
    check_pairs(conf.convolver, [&](int i, int o, double *g) {
        *g = (0.25f * ig[i]) * og[o];
        return cells[o][i];
    });
}

TEST_F(MatrixLoad, OneColumnAndOneRow)
{
    Cells col = random_cells(2, 1, 201);   // all inputs to output 3
    Cells row = random_cells(3, 1, 77);    // input 2 to all outputs
    write_cells("col.wav", col);
    write_cells("row.wav", row);
    Convconf conf(RATE, PERIOD);
    ASSERT_EQ(read_conf(conf, "/convolver/new 2 3 256 2\n"
                              "/input/gain 1 0.5\n"
                              "/matrix/load_output 3 2.0 col.wav\n"
                              "/output/gain 2 3\n"
                              "/matrix/load_input 2 -1 row.wav\n"), 0) << err;
    EXPECT_EQ(err, "");
    check_pairs(conf.convolver, [&](int i, int o, double *g) {
        if (i == 1) {
            // Loaded by the row, which replaced the column's pair (1, 2).
            *g = -1.0f * (o == 1 ? 3.0f : 1.0f);
            return row[o][0];
        }
        if (o == 2) {
            *g = 2.0f * 0.5f;
            return col[i][0];
        }
        *g = 0;
        return Signal();
    });
}

TEST_F(MatrixLoad, LaterCommandsReplacePairs)
{
    Cells first = random_cells(2, 3, 100);
    Cells second = random_cells(2, 1, 90);
    write_cells("first.wav", first);
    write_cells("second.wav", second);
    write_sound(dir.file("empty.wav"), RATE, 3, Signal());
    Convconf conf(RATE, PERIOD);
    ASSERT_EQ(read_conf(conf, "/convolver/new 2 3 128 1\n"
                              "/matrix/load 1 first.wav\n"
                              "/matrix/load_output 2 1 second.wav\n"
                              "/matrix/load_input 1 1 empty.wav\n"), 0) << err;
    EXPECT_EQ(err, "");
    check_pairs(conf.convolver, [&](int i, int o, double *g) {
        *g = 1;
        if (i == 0) return Signal();   // cleared by the empty file
        if (o == 1) return second[i][0];
        return first[i][o];
    });
}

TEST_F(MatrixLoad, ShapeMismatches)
{
    write_cells("c2f3000.wav", random_cells(2, 3, 1000));
    write_sound(dir.file("c2f3001.wav"), RATE, 2, random_signal(2 * 3001));
    write_sound(dir.file("c3f300.wav"), RATE, 3, random_signal(3 * 300));
    write_sound(dir.file("c3f301.wav"), RATE, 3, random_signal(3 * 301));
    write_sound(dir.file("c2r44.wav"), 44100, 2, random_signal(2 * 300));
    write_sound(dir.file("c3r44.wav"), 44100, 3, random_signal(3 * 300));
    const std::string NEW = "/convolver/new 2 3 1000 1\n";
    struct { std::string text; int result; std::string err; } cases[] = {
        {NEW + "/matrix/load 1 c2f3000.wav\n", 0, ""},
        {NEW + "/matrix/load 1 c2f3001.wav\n", 1, "Line 2: File size of 'c2f3001.wav' doesn't match.\n"},
        {NEW + "/matrix/load 1 c3f300.wav\n", 1, "Line 2: Channel count (3) of 'c3f300.wav' doens't match.\n"},
        {NEW + "/matrix/load_output 1 1 c3f300.wav\n", 1,
         "Line 2: Channel count (3) of 'c3f300.wav' doens't match.\n"},
        {NEW + "/matrix/load_transp 1 c2f3000.wav\n", 1,
         "Line 2: Channel count (2) of 'c2f3000.wav' doens't match.\n"},
        {NEW + "/matrix/load_input 1 1 c2f3000.wav\n", 1,
         "Line 2: Channel count (2) of 'c2f3000.wav' doens't match.\n"},
        {NEW + "/matrix/load_transp 1 c3f300.wav\n", 0, ""},
        {NEW + "/matrix/load_transp 1 c3f301.wav\n", 1, "Line 2: File size of 'c3f301.wav' doesn't match.\n"},
        {NEW + "/matrix/load_output 3 1 c2f3001.wav\n", 0,
         "Line 2: Warning: data in 'c2f3001.wav' will be truncated.\n"},
        {NEW + "/matrix/load_output 4 1 c2f3001.wav\n", 1, "Line 2: Input or output number (4) is out of range.\n"},
        {NEW + "/matrix/load_output 0 1 c2f3001.wav\n", 1, "Line 2: Input or output number (0) is out of range.\n"},
        {NEW + "/matrix/load_output -1 1 c2f3001.wav\n", 1,
         "Line 2: Input or output number (-1) is out of range.\n"},
        {NEW + "/matrix/load_input 2 1 c3f301.wav\n", 0, ""},
        {NEW + "/matrix/load_input 3 1 c3f301.wav\n", 1, "Line 2: Input or output number (3) is out of range.\n"},
        // Before any convolver every file has the wrong channel count.
        {"/matrix/load 1 c2f3000.wav\n", 1, "Line 1: Channel count (2) of 'c2f3000.wav' doens't match.\n"},
        {"/matrix/load_input 1 1 c3f300.wav\n", 1, "Line 1: Channel count (3) of 'c3f300.wav' doens't match.\n"},
        // The rate warning comes first, and the file is used anyway.
        {NEW + "/matrix/load_output 2 1 c2r44.wav\n", 0,
         "Line 2: Warning: sample rate (44100) of 'c2r44.wav' does not match.\n"},
        {NEW + "/matrix/load 1 c3r44.wav\n", 1,
         "Line 2: Warning: sample rate (44100) of 'c3r44.wav' does not match.\n"
         "Line 2: Channel count (3) of 'c3r44.wav' doens't match.\n"},
        {NEW + "/matrix/load 1 c2r44.wav\n", 0,
         "Line 2: Warning: sample rate (44100) of 'c2r44.wav' does not match.\n"},
        {NEW + "#\n/matrix/load 1 nothing.wav\n", 1, "Line 3: Unable to open 'nothing.wav'.\n"},
    };
    for (auto &c : cases) {
        Convconf conf(RATE, PERIOD);
        SCOPED_TRACE(c.text);
        EXPECT_EQ(read_conf(conf, c.text), c.result);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(conf.impfile.mode(), Soundfile::MODE_NONE);
    }
}

TEST_F(MatrixLoad, Truncation)
{
    // Segments of 150 frames into a convolver of size 100: the first 100
    // frames of every segment, each from its own place in the file.
    Cells cells = random_cells(2, 3, 150);
    write_cells("long.wav", cells, 44100);
    Convconf conf(RATE, PERIOD);
    ASSERT_EQ(read_conf(conf, "/convolver/new 2 3 100 1\n"
                              "/matrix/load 1 long.wav\n"), 0) << err;
    EXPECT_EQ(err, "Line 2: Warning: sample rate (44100) of 'long.wav' does not match.\n"
                   "Line 2: Warning: data in 'long.wav' will be truncated.\n");
    check_pairs(conf.convolver, [&](int i, int o, double *g) {
        *g = 1;
        return head(cells[i][o], 100);
    });

    // A single segment longer than the size.
    Cells one = random_cells(3, 1, 5000);
    write_cells("5000.wav", one);
    ASSERT_EQ(read_conf(conf, "/convolver/new 2 3 4096 4\n"
                              "/matrix/load_input 1 1 5000.wav\n"), 0) << err;
    EXPECT_EQ(err, "Line 2: Warning: data in '5000.wav' will be truncated.\n");
    check_pairs(conf.convolver, [&](int i, int o, double *g) {
        *g = 1;
        return i == 0 ? head(one[o][0], 4096) : Signal();
    });
}

TEST_F(MatrixLoad, FileNames)
{
    std::filesystem::create_directories(dir.file("conf/irs"));
    std::filesystem::create_directories(dir.file("other"));
    Cells a = random_cells(1, 1, 50), b = random_cells(1, 1, 60), c = random_cells(1, 1, 70),
          d = random_cells(1, 1, 80);
    write_cells("conf/irs/a.wav", a);
    write_cells("other/b.wav", b);
    write_cells("other/c d.wav", c);
    write_cells("d.wav", d);
    // Relative names below the configuration's folder, absolute names as
    // they are, "/cd" to another folder, and an empty folder for the root.
    std::string text = "/convolver/new 1 5 128 1\n"
                       "/matrix/load_output 1 1 irs/a.wav\n"
                       "/matrix/load_output 2 1 " + dir.file("other/b.wav") + "\n"
                       "/cd " + dir.file("other") + "\n"
                       "/matrix/load_output 3 1 'c d.wav'\n"
                       "/cd ''\n"
                       "/matrix/load_output 4 1 " + dir.file("d.wav").substr(1) + "\n"
                       "/cd " + dir.path + "/conf/irs\n"
                       "/matrix/load_output 5 1 ../irs/a.wav\n";
    std::string path = dir.write("conf/c.conf", text);
    Convconf conf(RATE, PERIOD);
    StderrCapture cap;
    cap.start();
    ASSERT_EQ(conf.read(path.c_str()), 0) << cap.stop();
    EXPECT_EQ(cap.stop(), "");
    Cells *src[5] = {&a, &b, &c, &d, &a};
    check_pairs(conf.convolver, [&](int, int o, double *g) {
        *g = 1;
        return (*src[o])[0][0];
    });

    // A relative name that is not there is reported as written.
    path = dir.write("conf/c.conf", "/convolver/new 1 1 64 1\n/matrix/load 1 irs/none.wav\n");
    cap.start();
    EXPECT_EQ(conf.read(path.c_str()), 1);
    EXPECT_EQ(cap.stop(), "Line 2: Unable to open 'irs/none.wav'.\n");
    // The name joined to the configuration's folder, not the working one.
    path = dir.write("conf/c.conf", "/convolver/new 1 1 64 1\n/matrix/load 1 other/b.wav\n");
    cap.start();
    EXPECT_EQ(conf.read(path.c_str()), 1);
    EXPECT_EQ(cap.stop(), "Line 2: Unable to open 'other/b.wav'.\n");
}

// A file that delivers fewer frames than its header promises: what it does
// deliver is loaded, the rest is zeros, and a warning says so. (libsndfile
// corrects the length of a cut WAV file from the file size, so the cut file
// here is a FLAC file, whose header keeps its promised length.)
TEST_F(MatrixLoad, ShortFile)
{
    const int seglen = 4000, nseg = 3;
    Signal data = random_signal(2 * seglen * nseg);
    for (float &x : data) x *= 0.9f;
    std::string path = dir.file("short.flac");
    ASSERT_TRUE(write_sound(path, RATE, 2, data, SF_FORMAT_FLAC | SF_FORMAT_PCM_24));
    Signal whole = read_sound(path);   // the decoded samples, as stored
    ASSERT_EQ(whole.size(), data.size());
    // Cut off most of the last segment's encoded data; the header stays.
    size_t size = std::filesystem::file_size(path);
    std::filesystem::resize_file(path, size - size / 4);

    Convconf conf(RATE, PERIOD);
    ASSERT_EQ(read_conf(conf, "/convolver/new 2 3 4096 2\n/matrix/load 1 short.flac\n"), 0) << err;
    EXPECT_EQ(err, "Line 2: Warning: 'short.flac' is shorter than its header says, "
                   "the missing samples are zeros.\n");
    int frames = (conf.convolver->maxlen + PERIOD - 1) / PERIOD * PERIOD;
    for (int i = 0; i < 2; i++) {
        std::vector<Signal> resp = response(conf.convolver, i, frames);
        for (int o = 0; o < nseg; o++) {
            // Each segment: a run of the file's samples, then only zeros.
            int t = 0;
            while (t < seglen && fabs(resp[o][t] - whole[(o * seglen + t) * 2 + i]) < 1e-5) t++;
            int delivered = t;
            for (; t < frames; t++) {
                if (fabs(resp[o][t]) > 1e-6) {
                    ADD_FAILURE() << "pair (" << i << ", " << o << ") sample " << t << " after "
                                  << delivered << " good ones: " << resp[o][t];
                    break;
                }
            }
            if (o < 2) EXPECT_EQ(delivered, seglen) << "segment " << o << " lies before the cut";
            else EXPECT_LT(delivered, seglen) << "segment " << o << " lies past the cut";
        }
    }
}

// A WAV or AIFF matrix file cut short reads, through the library, as a
// shorter file, which would shift every segment after the cut. It is laid
// out by the length its header announces instead: each segment at its own
// place, the missing samples zeros, with the warning of a cut FLAC file.
TEST_F(MatrixLoad, CutFileKeepsSegmentsInPlace)
{
    const int seglen = 1000, nseg = 2, nchan = 2, kept = 1240;
    struct Format { const char *name; int format; int bytes; };
    const Format formats[] = { { "cut.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 4 },
                               { "cut.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2 },
                               { "cutx.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 3 } };
    for (const Format &f : formats) {
        SCOPED_TRACE(f.name);
        Signal data = random_signal(nchan * nseg * seglen);
        std::string path = dir.file(f.name);
        ASSERT_TRUE(write_sound(path, RATE, nchan, data, f.format));
        Signal whole = read_sound(path);   // as stored
        // The data chunk comes last: cut it after 'kept' frames.
        size_t size = std::filesystem::file_size(path);
        std::filesystem::resize_file(path, size - (size_t) (nseg * seglen - kept) * nchan * f.bytes);
        ASSERT_EQ(read_sound(path).size(), (size_t) kept * nchan);

        Convconf conf(RATE, PERIOD);
        ASSERT_EQ(read_conf(conf, "/convolver/new 2 2 1000 1\n/matrix/load 1 " + std::string(f.name) + "\n"),
                  0) << err;
        EXPECT_EQ(err, "Line 2: Warning: '" + std::string(f.name) +
                           "' is shorter than its header says, the missing samples are zeros.\n");
        for (int i = 0; i < nchan; i++) {
            std::vector<Signal> resp = response(conf.convolver, i, seglen + PERIOD);
            for (int o = 0; o < nseg; o++) {
                for (int t = 0; t < seglen + PERIOD; t++) {
                    int frame = o * seglen + t;
                    float want = (t < seglen && frame < kept) ? whole[frame * nchan + i] : 0.0f;
                    ASSERT_NEAR(resp[o][t], want, 1e-5) << "pair (" << i << ", " << o << ") sample " << t;
                }
            }
        }
    }
}

// A sample that is not a finite number would make every output it reaches
// Inf or NaN for good: such a file is refused, by name and line number,
// wherever the sample lies, whichever command loads it.
TEST_F(MatrixLoad, NonFiniteSampleRefused)
{
    struct Case { const char *cmd; int nchan; float bad; int at; };
    const Case cases[] = { { "/matrix/load 1", 2, NAN, 0 },
                           { "/matrix/load 1", 2, INFINITY, 2 * 300 + 1 },
                           { "/matrix/load_transp 1", 2, -INFINITY, 2 * 599 },
                           { "/matrix/load_output 2 1", 2, NAN, 2 * 150 + 1 } };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cmd);
        Signal data = random_signal(c.nchan * (strstr(c.cmd, "output") ? 300 : 600));
        data[c.at] = c.bad;
        ASSERT_TRUE(write_sound(dir.file("bad.wav"), RATE, c.nchan, data));
        Convconf conf(RATE, PERIOD);
        EXPECT_EQ(read_conf(conf, "/convolver/new 2 2 300 1\n" + std::string(c.cmd) + " bad.wav\n"), 1);
        EXPECT_EQ(err, "Line 2: 'bad.wav' holds a sample that is not a finite number.\n");
    }
    // Beyond the convolver size nothing is loaded, so nothing is refused.
    Signal data = random_signal(2 * 600);
    data[2 * 500] = NAN;
    ASSERT_TRUE(write_sound(dir.file("tail.wav"), RATE, 2, data));
    Convconf conf(RATE, PERIOD);
    EXPECT_EQ(read_conf(conf, "/convolver/new 2 1 300 1\n/matrix/load 1 tail.wav\n"), 0) << err;
}

} // namespace
