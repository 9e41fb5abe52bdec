// Audio through the JACK graph: two clients of this test process, a player
// and a recorder, are connected by tesslive's configuration as
// player -> tesslive -> recorder. That graph has no cycle, so within one
// JACK cycle the player writes, tesslive convolves and the recorder reads
// the result: the recording must equal the direct double-precision
// convolution of the played signal with no delay at all.
//
// The player and recorder note the frame time of every cycle they handle
// (jack_last_frame_time, the same for every client in one cycle); a
// recorded block is compared with the reference at the signal position
// that the player played in the cycle of the same frame time.

#include <gtest/gtest.h>

#include <math.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <random>
#include <regex>

#include "harness.h"
#include "tap.h"

namespace {

struct Case
{
    int period;
    int ninp;
    int nout;
    int irlen;
    int nthread;
    bool mixed = false;   // "/convolver/partitions mixed"
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << "period " << c.period << ", " << c.ninp << " x " << c.nout << ", size " << c.irlen
        << ", " << c.nthread << " thread(s)" << (c.mixed ? ", mixed" : "");
}

class Audio : public ::testing::TestWithParam<Case>
{
};

// The result of one recording, compared with the reference.
struct Outcome
{
    double err0 = 1;   // largest error at delay 0, relative to the output bound
    double err1 = 0;   // the same, compared with the reference one period late
    double peak = 0;   // largest reference sample compared
    int xruns = 0;     // xruns the server reported while the signal played
};

// Plays the signal through a fresh server and tesslive and compares the
// recording with 'ref' (per output, 'ncycles' periods long).
void record_once(const Case &c, const std::string &conf_path,
                 const std::vector<std::vector<float>> &signal,
                 const std::vector<std::vector<double>> &ref, const std::vector<double> &scale,
                 int ncycles, Outcome *res)
{
    Jackserver server(c.period);
    ASSERT_TRUE(server.ok()) << read_file(server.log());

    std::unique_ptr<Tap> tap(new Tap);
    tap->period = c.period;
    tap->ninp = c.ninp;
    tap->nout = c.nout;
    tap->maxcycles = ncycles;
    tap->signal = signal;
    ASSERT_TRUE(tap->open(server.name()));

    Tempdir tmp;
    Child live({tesslive_path(), "-s", server.name(), conf_path}, tmp.file("out"),
               tmp.file("err"));
    std::string last = "tesslive:out_" + std::to_string(c.nout);
    ASSERT_TRUE(server.wait_port(last, 1)) << read_file(tmp.file("err"));
    usleep(300000);   // from the last registration to processing: microseconds
    ASSERT_TRUE(live.running());

    tap->go.store(true, std::memory_order_release);
    for (int i = 0; i < 2000 && tap->rcount.load() < ncycles; i++) usleep(10000);
    ASSERT_EQ(tap->rcount.load(), ncycles);
    EXPECT_EQ(tap->badsize.load(), 0);
    res->xruns = tap->xruns.load();

    live.signal(SIGINT);
    EXPECT_EQ(live.wait(5), 0);
    EXPECT_EQ(read_file(tmp.file("out")), "");
    // Late background work would be reported, and the output would still
    // be right; only its report is allowed.
    std::string err = without_privilege_warnings(read_file(tmp.file("err")));
    if (c.mixed) err = std::regex_replace(err, std::regex("^Warning: [0-9]+ periods waited for late background work\\.\n"), "");
    EXPECT_EQ(err, "");

    // Every recorded cycle against the reference at the position the player
    // played in that cycle, and at the position one period earlier, which
    // a recording delayed by one period would match.
    const int pcount = tap->pcount.load();
    res->err0 = 0;
    for (int r = 0; r < ncycles; r++) {
        int p = 0;
        while (p < pcount && tap->ptime[p] != tap->rtime[r]) p++;
        ASSERT_LT(p, pcount) << "recorded cycle " << r << " was not played";
        for (int o = 0; o < c.nout; o++) {
            const float *d = &tap->rdata[((size_t)r * c.nout + o) * c.period];
            for (int f = 0; f < c.period; f++) {
                int n = p * c.period + f;
                double late = n >= c.period ? ref[o][n - c.period] : 0.0;
                res->err0 = std::max(res->err0, fabs(d[f] - ref[o][n]) / scale[o]);
                res->err1 = std::max(res->err1, fabs(d[f] - late) / scale[o]);
                res->peak = std::max(res->peak, fabs(ref[o][n]));
            }
        }
    }
}

}  // namespace

TEST_P(Audio, RecordingEqualsReferenceWithNoDelay)
{
    const Case c = GetParam();
    const int rate = 48000;
    const int length = std::max(4 * c.period, 3000);   // played frames per input
    const int ncycles = (length + c.irlen + c.period - 1) / c.period + 1;

    std::mt19937 rng(1234 + c.period);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);

    // Impulse responses h[i][o], decaying noise; the whole matrix in one
    // file, output after output, one channel per input.
    std::vector<std::vector<std::vector<float>>> h(
        c.ninp, std::vector<std::vector<float>>(c.nout, std::vector<float>(c.irlen)));
    std::vector<float> matrix((size_t)c.nout * c.irlen * c.ninp);
    for (int o = 0; o < c.nout; o++) {
        for (int t = 0; t < c.irlen; t++) {
            for (int i = 0; i < c.ninp; i++) {
                float v = uni(rng) * expf(-3.0f * t / c.irlen);
                h[i][o][t] = v;
                matrix[((size_t)o * c.irlen + t) * c.ninp + i] = v;
            }
        }
    }
    // The gain of pair (i, o) is 0.5 * output gain, with output 1 at 2.0.
    std::vector<double> gain(c.nout, 0.5);
    gain[0] = 1.0;

    Tempdir tmp;
    write_wav(tmp.file("matrix.wav"), rate, c.ninp, matrix);
    std::string conf = std::string(c.mixed ? "/convolver/partitions mixed\n" : "") +
                       "/convolver/new " + std::to_string(c.ninp) + " " + std::to_string(c.nout) +
                       " " + std::to_string(c.irlen) + " " + std::to_string(c.nthread) + "\n";
    for (int i = 0; i < c.ninp; i++) {
        conf += "/input/name " + std::to_string(i + 1) + " in_" + std::to_string(i + 1) +
                " player:out_" + std::to_string(i + 1) + "\n";
    }
    for (int o = 0; o < c.nout; o++) {
        conf += "/output/name " + std::to_string(o + 1) + " out_" + std::to_string(o + 1) +
                " recorder:in_" + std::to_string(o + 1) + "\n";
    }
    conf += "/output/gain 1 2.0\n/matrix/load 0.5 matrix.wav\n";
    std::string conf_path = tmp.write("audio.conf", conf);

    std::vector<std::vector<float>> signal(c.ninp, std::vector<float>(length));
    for (auto &s : signal) {
        for (auto &v : s) v = 0.5f * uni(rng);
    }

    // Reference: direct convolution in double precision.
    const int total = ncycles * c.period;
    std::vector<std::vector<double>> ref(c.nout, std::vector<double>(total, 0.0));
    std::vector<double> scale(c.nout, 0.0);   // bound of |output|
    for (int o = 0; o < c.nout; o++) {
        for (int i = 0; i < c.ninp; i++) {
            const std::vector<float> &x = signal[i];
            const std::vector<float> &hh = h[i][o];
            double l1 = 0;
            for (int t = 0; t < c.irlen; t++) l1 += fabs(hh[t]);
            scale[o] += 0.5 * l1 * gain[o];
            for (int n = 0; n < total; n++) {
                double acc = 0;
                int k0 = std::max(0, n - length + 1);
                int k1 = std::min(c.irlen - 1, n);
                for (int k = k0; k <= k1; k++) acc += (double)hh[k] * x[n - k];
                ref[o][n] += gain[o] * acc;
            }
        }
    }

    // An xrun (a cycle that overran, on a loaded machine) can shift the
    // frame times the clients see; such a run proves nothing either way
    // and is repeated, at most three times in all.
    const double tolerance = 1e-6;
    Outcome res;
    for (int attempt = 0; attempt < 3; attempt++) {
        res = Outcome();
        ASSERT_NO_FATAL_FAILURE(record_once(c, conf_path, signal, ref, scale, ncycles, &res));
        if (res.err0 < tolerance || res.xruns == 0) break;
    }
    EXPECT_GT(res.peak, 0.1);
    EXPECT_LT(res.err0, tolerance) << "at one period's delay the error would be " << res.err1
                                   << "; xruns in the last attempt: " << res.xruns;
    EXPECT_GT(res.err1, 1e-2);
    char text[64];
    snprintf(text, sizeof(text), "%.3g", res.err0);
    RecordProperty("max_error", text);
}

INSTANTIATE_TEST_SUITE_P(Periods, Audio,
                         ::testing::Values(Case{64, 3, 2, 700, 2}, Case{256, 2, 3, 1000, 1},
                                           Case{4096, 2, 2, 4096, 2}, Case{64, 2, 2, 12000, 2, true},
                                           Case{1024, 2, 1, 20000, 1, true}),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             return "period" + std::to_string(info.param.period) +
                                    (info.param.mixed ? "mixed" : "");
                         });

// When tesslive stops, its outputs fall silent: JACK would otherwise keep
// handing the last convolved block to the graph, cycle after cycle, until
// the client is closed (a buzz at every shutdown). The input is noise, so
// no two consecutive blocks of real output are ever equal.
TEST(AudioStop, OutputsFallSilentInsteadOfRepeating)
{
    const int period = 256;
    const int maxcycles = 400;
    Jackserver server(period);
    ASSERT_TRUE(server.ok()) << read_file(server.log());

    Tempdir tmp;
    const std::vector<float> unit = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
                                     0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    write_wav(tmp.file("unit.wav"), 48000, 1, unit);
    std::string conf = tmp.write("stop.conf", "/convolver/new 1 1 16 1\n"
                                              "/input/name 1 in_1 player:out_1\n"
                                              "/output/name 1 out_1 recorder:in_1\n"
                                              "/matrix/load 1.0 unit.wav\n");
    std::unique_ptr<Tap> tap(new Tap);
    tap->period = period;
    tap->ninp = 1;
    tap->nout = 1;
    tap->maxcycles = maxcycles;
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> uni(-0.5f, 0.5f);
    tap->signal.assign(1, std::vector<float>((size_t)maxcycles * period));
    for (auto &v : tap->signal[0]) v = uni(rng);
    ASSERT_TRUE(tap->open(server.name()));

    Child live({tesslive_path(), "-s", server.name(), conf}, tmp.file("out"), tmp.file("err"));
    ASSERT_TRUE(server.wait_port("tesslive:out_1", 1)) << read_file(tmp.file("err"));
    usleep(300000);
    tap->go.store(true, std::memory_order_release);
    for (int i = 0; i < 500 && tap->rcount.load() < 40; i++) usleep(10000);
    ASSERT_GE(tap->rcount.load(), 40);
    live.signal(SIGINT);
    EXPECT_EQ(live.wait(5), 0);
    const int stopped = tap->rcount.load();
    for (int i = 0; i < 300 && tap->rcount.load() < std::min(maxcycles, stopped + 60); i++) usleep(10000);
    const int n = tap->rcount.load();
    ASSERT_GT(n, stopped + 20) << "too little recorded after the stop";

    int repeats = 0, silent = 0;
    for (int r = 1; r < n; r++) {
        const float *a = &tap->rdata[(size_t)(r - 1) * period];
        const float *b = &tap->rdata[(size_t)r * period];
        bool zero = true;
        for (int f = 0; f < period; f++) zero = zero && b[f] == 0.0f;
        if (zero) silent++;
        else if (memcmp(a, b, period * sizeof(float)) == 0) repeats++;
    }
    EXPECT_EQ(repeats, 0);
    EXPECT_GT(silent, 0);
}
