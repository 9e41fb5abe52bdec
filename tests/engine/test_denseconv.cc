// Convolver tests: results against a double-precision direct convolution,
// exact delays, independence from the thread count, impulse loading rules,
// and the lifecycle of the worker threads.

#include <gtest/gtest.h>

#include <math.h>
#include <string.h>
#include <stdint.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <random>
#include <system_error>
#include <vector>

#include "accumulate.h"
#include "denseconv.h"

namespace {

using Signal = std::vector<float>;

// One impulse response per pair, pair (i, j) at j * ninp + i.
struct Matrix
{
    int ninp, nout;
    std::vector<Signal> ir;
    std::vector<float> gain;
    const Signal &at(int i, int j) const { return ir[j * ninp + i]; }
};

Signal noise(size_t n, std::mt19937 &rng, float amp = 1.0f)
{
    std::uniform_real_distribution<float> d(-amp, amp);
    Signal s(n);
    for (auto &x : s) x = d(rng);
    return s;
}

Matrix random_matrix(int ninp, int nout, int irlen, std::mt19937 &rng)
{
    Matrix m{ninp, nout, {}, {}};
    std::uniform_real_distribution<float> g(0.25f, 2.0f);
    for (int k = 0; k < ninp * nout; k++) {
        Signal h = noise(irlen, rng);
        for (int t = 0; t < irlen; t++) h[t] *= expf(-3.0f * t / irlen);
        m.ir.push_back(h);
        m.gain.push_back(g(rng));
    }
    return m;
}

// Direct convolution in double precision, the first 'n' samples of each output.
std::vector<std::vector<double>> reference(const std::vector<Signal> &in, const Matrix &m,
                                           int maxlen, size_t n)
{
    std::vector<std::vector<double>> out(m.nout, std::vector<double>(n, 0.0));
    for (int j = 0; j < m.nout; j++) {
        for (int i = 0; i < m.ninp; i++) {
            const Signal &h = m.at(i, j);
            size_t len = std::min<size_t>(h.size(), maxlen);
            double g = m.gain[j * m.ninp + i];
            for (size_t t = 0; t < n; t++) {
                double acc = 0.0;
                for (size_t k = 0; k < len && k <= t; k++)
                    if (t - k < in[i].size()) acc += (double)h[k] * in[i][t - k];
                out[j][t] += g * acc;
            }
        }
    }
    return out;
}

// Runs whole signals through a convolver, period by period, with separate
// input and output blocks (or one shared set of blocks when 'inplace'),
// with the workers or, when 'alone', with process_inline().
std::vector<Signal> run(Denseconv &dc, const std::vector<Signal> &in, size_t n, bool inplace = false,
                        bool alone = false)
{
    const int P = dc.period;
    const int m = std::max(dc.ninp, dc.nout);
    std::vector<Signal> ib(m, Signal(P)), ob(m, Signal(P));
    std::vector<float *> ip(m), op(m);
    for (int c = 0; c < m; c++) {
        ip[c] = ib[c].data();
        op[c] = inplace ? ib[c].data() : ob[c].data();
    }
    std::vector<Signal> out(dc.nout, Signal(n));
    for (size_t pos = 0; pos < n; pos += P) {
        for (int i = 0; i < dc.ninp; i++)
            for (int s = 0; s < P; s++) ib[i][s] = (pos + s < in[i].size()) ? in[i][pos + s] : 0.0f;
        if (alone) dc.process_inline(ip.data(), op.data());
        else dc.process(ip.data(), op.data());
        for (int j = 0; j < dc.nout; j++)
            for (int s = 0; s < P && pos + s < n; s++) out[j][pos + s] = op[j][s];
    }
    return out;
}

void load(Denseconv &dc, const Matrix &m)
{
    for (int j = 0; j < m.nout; j++)
        for (int i = 0; i < m.ninp; i++) {
            const Signal &h = m.at(i, j);
            ASSERT_EQ(dc.set_impulse(i, j, h.data(), (int)h.size(), 1, m.gain[j * m.ninp + i]), 0);
        }
}

double peak(const std::vector<std::vector<double>> &r)
{
    double p = 0.0;
    for (auto &ch : r)
        for (double x : ch) p = std::max(p, fabs(x));
    return p;
}

// Largest error relative to the peak of the reference.
double relative_error(const std::vector<Signal> &got, const std::vector<std::vector<double>> &ref)
{
    double e = 0.0;
    for (size_t j = 0; j < ref.size(); j++)
        for (size_t t = 0; t < ref[j].size(); t++) e = std::max(e, fabs(got[j][t] - ref[j][t]));
    return e / peak(ref);
}

struct Shape
{
    int ninp, nout, maxlen, period, irlen, nthread;
};

class MatrixAccuracy : public ::testing::TestWithParam<Shape>
{};

TEST_P(MatrixAccuracy, MatchesDirectConvolution)
{
    const Shape s = GetParam();
    std::mt19937 rng(s.ninp * 1000 + s.nout * 100 + s.irlen + s.period);
    Matrix m = random_matrix(s.ninp, s.nout, s.irlen, rng);
    std::vector<Signal> in;
    const size_t n = (size_t)s.period * 6 + s.irlen + 37;
    for (int i = 0; i < s.ninp; i++) in.push_back(noise(n - s.irlen, rng));
    Denseconv dc(s.ninp, s.nout, s.maxlen, s.period, s.nthread);
    load(dc, m);
    auto got = run(dc, in, n);
    auto ref = reference(in, m, s.maxlen, n);
    EXPECT_LT(relative_error(got, ref), 2e-6 * sqrt((double)s.ninp * s.irlen));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MatrixAccuracy,
    ::testing::Values(Shape{1, 1, 64, 64, 64, 1},       // length equal to the period
                      Shape{1, 1, 100, 64, 37, 1},      // shorter than the period
                      Shape{3, 2, 1000, 256, 1000, 2},  // last partition partly filled
                      Shape{2, 5, 700, 256, 513, 3},    // not a multiple of the period
                      Shape{2, 2, 4096, 1024, 3000, 2}, // long IR, large period
                      Shape{3, 3, 300, 1024, 300, 2},   // maxlen below the period
                      Shape{2, 1, 16, 64, 16, 1},       // the smallest size
                      Shape{1, 2, 200, 64, 250, 2},     // IR longer than maxlen: cut
                      Shape{3, 11, 500, 64, 500, 2}));  // outputs in full and partial groups

// A unit impulse at sample t delays by exactly t samples: inside a period,
// by whole periods through the history ring, and across cycle borders
// through the overlap.
TEST(Delay, UnitImpulsesDelayExactly)
{
    const int P = 64;
    std::mt19937 rng(7);
    std::vector<Signal> in{noise(P * 10, rng)};
    for (int t : {0, 5, P - 1, P, P + 20, 2 * P + 63, 4 * P - 1}) {
        Denseconv dc(1, 1, 4 * P, P, 1);
        Signal h(t + 1, 0.0f);
        h[t] = 1.0f;
        ASSERT_EQ(dc.set_impulse(0, 0, h.data(), t + 1, 1, 1.0f), 0);
        auto out = run(dc, in, P * 10);
        for (int s = 0; s < P * 10; s++) {
            float want = (s >= t) ? in[0][s - t] : 0.0f;
            ASSERT_NEAR(out[0][s], want, 1e-6) << "delay " << t << " sample " << s;
        }
    }
}

// A convolver held to the plain kernel, whatever the processor offers.
struct PlainConvolver : Denseconv
{
    PlainConvolver(int ninp, int nout, int maxlen, int period, int nthread)
        : Denseconv(ninp, nout, maxlen, period, nthread)
    {
        accumulate = accumulate_base;
    }
};

// A convolver that shares even a small cycle among all its workers.
struct SpreadConvolver : Denseconv
{
    SpreadConvolver(int ninp, int nout, int maxlen, int period, int nthread)
        : Denseconv(ninp, nout, maxlen, period, nthread)
    {
        nactive = nthread;
    }
};

// The output must not depend on how the work is shared out: not on the
// thread count, nor on how the outputs fall into the groups that are
// accumulated together, nor on whether the blocks are processed in place
// or the whole cycle runs on the calling thread, nor on the kernel.
TEST(Determinism, SameBitsForAnyThreadCountAndInPlace)
{
    const int P = 256, N = 256 * 8;
    for (int nout : {1, 4, 9}) {
        std::mt19937 rng(11 + nout);
        Matrix m = random_matrix(5, nout, 600, rng);
        std::vector<Signal> in;
        for (int i = 0; i < 5; i++) in.push_back(noise(N, rng));
        Denseconv ref(5, nout, 600, P, 1);
        load(ref, m);
        const std::vector<Signal> want = run(ref, in, N, true, true);
        std::vector<std::vector<Signal>> results;
        for (int nt : {1, 2, 3, 16}) {
            SpreadConvolver dc(5, nout, 600, P, nt);
            load(dc, m);
            results.push_back(run(dc, in, N));
        }
        Denseconv dc(5, nout, 600, P, 2);
        load(dc, m);
        results.push_back(run(dc, in, N, true));
        PlainConvolver plain(5, nout, 600, P, 2);   // the portable kernel, end to end
        load(plain, m);
        results.push_back(run(plain, in, N));
        for (size_t r = 0; r < results.size(); r++)
            for (int j = 0; j < nout; j++)
                ASSERT_EQ(0, memcmp(want[j].data(), results[r][j].data(), N * sizeof(float)))
                    << nout << " outputs, run " << r << " output " << j;
        EXPECT_LT(relative_error(want, reference(in, m, 600, N)), 2e-6 * sqrt(5.0 * 600));
    }
}

// A convolver that shares every cycle among all its threads, with groups
// of 'g' outputs.
struct GroupedConvolver : Denseconv
{
    GroupedConvolver(int ninp, int nout, int maxlen, int period, int nthread, int g)
        : Denseconv(ninp, nout, maxlen, period, nthread)
    {
        nactive = nthread;
        gsize = g;
    }
};

// The caller takes units of each phase beside the workers, and a worker may
// wake after the caller has taken every unit of a phase, or even after the
// phase has ended. Pauses of random length between the cycles put the
// workers to sleep and make them late by random amounts; a long period
// makes npart 1. Whoever computes which unit, the bits stay the same.
TEST(Determinism, SameBitsWhenWorkersWakeLate)
{
    struct Case { int ninp, nout, maxlen, period, frames; };
    for (Case c : {Case{4, 7, 600, 64, 64 * 60}, Case{3, 9, 4096, 4096, 4096 * 4},
                   Case{6, 2, 1000, 256, 256 * 30}}) {
        SCOPED_TRACE(::testing::Message() << c.ninp << " x " << c.nout << ", period " << c.period);
        std::mt19937 rng(c.ninp * 31 + c.nout);
        Matrix m = random_matrix(c.ninp, c.nout, c.maxlen, rng);
        std::vector<Signal> in;
        for (int i = 0; i < c.ninp; i++) in.push_back(noise(c.frames, rng));
        Denseconv ref(c.ninp, c.nout, c.maxlen, c.period, 1);
        load(ref, m);
        const std::vector<Signal> want = run(ref, in, c.frames, false, true);
        for (int nt : {2, 3, 5})
            for (int g = 1; g <= MAXGROUP; g++) {
                GroupedConvolver dc(c.ninp, c.nout, c.maxlen, c.period, nt, g);
                load(dc, m);
                std::vector<Signal> ib(c.ninp, Signal(c.period)), ob(c.nout, Signal(c.period));
                std::vector<float *> ip, op;
                for (auto &b : ib) ip.push_back(b.data());
                for (auto &b : ob) op.push_back(b.data());
                std::uniform_int_distribution<int> pause(0, 120);
                for (int pos = 0; pos < c.frames; pos += c.period) {
                    for (int i = 0; i < c.ninp; i++)
                        memcpy(ib[i].data(), in[i].data() + pos, c.period * sizeof(float));
                    int us = pause(rng);
                    if (us > 60) usleep(us);
                    dc.process(ip.data(), op.data());
                    for (int j = 0; j < c.nout; j++)
                        ASSERT_EQ(0, memcmp(op[j], want[j].data() + pos, c.period * sizeof(float)))
                            << nt << " threads, groups of " << g << ", output " << j << " at " << pos;
                }
            }
    }
}

// Small cycles are not shared out: the hand-off would cost more than the
// work. Large ones use every worker. Never none, never more than asked.
TEST(Sharing, WorkersGivenWorkGrowWithTheCycle)
{
    EXPECT_EQ(active_workers(2, 2, 4096, 1024, 2), 1);
    EXPECT_EQ(active_workers(1, 1, 16, 64, 16), 1);
    EXPECT_EQ(active_workers(8, 8, 4096, 1024, 2), 2);
    EXPECT_EQ(active_workers(64, 64, 4096, 1024, 2), 2);
    EXPECT_EQ(active_workers(64, 64, 4096, 64, 16), 16);
    EXPECT_EQ(active_workers(64, 64, 4096, 4096, 1), 1);
    for (int n = 1; n <= 64; n *= 2)
        for (int nt : {1, 2, 5, 16}) {
            int a = active_workers(n, n, 4096, 256, nt);
            EXPECT_GE(a, 1);
            EXPECT_LE(a, nt);
        }
}

// The vector kernel gives the same bits as the plain one, for every group
// size and for bin counts that leave every possible tail after the vector
// part, and both agree with the products done in double precision.
TEST(Kernels, VectorGivesThePlainKernelsBits)
{
    if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "this processor has no AVX2";
    Accumulate kernel = accumulate_avx2;
    std::mt19937 rng(17);
    for (int nbin : {1, 2, 3, 4, 5, 7, 8, 9, 15, 17, 33, 65, 1025}) {
        for (int ng = 1; ng <= MAXGROUP; ng++) {
            Signal x = noise(2 * nbin, rng);
            std::vector<Signal> h, a0, a1;
            std::vector<const float *> hp;
            std::vector<float *> p0, p1;
            for (int g = 0; g < ng; g++) {
                h.push_back(noise(2 * nbin, rng));
                a0.push_back(noise(2 * nbin, rng));
            }
            a1 = a0;
            for (int g = 0; g < ng; g++) {
                hp.push_back(h[g].data());
                p0.push_back(a0[g].data());
                p1.push_back(a1[g].data());
            }
            const std::vector<Signal> start = a0;
            accumulate_base(p0.data(), ng, x.data(), hp.data(), nbin);
            kernel(p1.data(), ng, x.data(), hp.data(), nbin);
            for (int g = 0; g < ng; g++) {
                ASSERT_EQ(0, memcmp(a0[g].data(), a1[g].data(), 2 * nbin * sizeof(float)))
                    << nbin << " bins, group of " << ng << ", output " << g;
                for (int k = 0; k < nbin; k++) {
                    double xr = x[2 * k], xi = x[2 * k + 1];
                    double hr = h[g][2 * k], hi = h[g][2 * k + 1];
                    ASSERT_NEAR(a0[g][2 * k], xr * hr - xi * hi + start[g][2 * k], 1e-6);
                    ASSERT_NEAR(a0[g][2 * k + 1], xr * hi + xi * hr + start[g][2 * k + 1], 1e-6);
                }
            }
        }
    }
}

// Output j for an impulse on input i alone: the stored IR of (i, j), as
// the convolver sees it.
Signal response(Denseconv &dc, int i, int j, int n)
{
    std::vector<Signal> in(dc.ninp, Signal(n, 0.0f));
    in[i][0] = 1.0f;
    dc.reset();
    return run(dc, in, n)[j];
}

void expect_signal(const Signal &got, const Signal &want, float gain, const char *what)
{
    for (size_t t = 0; t < got.size(); t++) {
        float w = (t < want.size()) ? want[t] * gain : 0.0f;
        ASSERT_NEAR(got[t], w, 1e-5) << what << " at " << t;
    }
}

TEST(SetImpulse, LoadingRules)
{
    std::mt19937 rng(3);
    Denseconv dc(2, 3, 200, 64, 2);
    Signal a = noise(150, rng), b = noise(120, rng), zero;

    // Out-of-range pairs are refused and change nothing.
    ASSERT_EQ(dc.set_impulse(1, 2, a.data(), 150, 1, 1.0f), 0);
    for (auto io : {std::pair{2, 0}, {-1, 0}, {0, 3}, {0, -1}})
        EXPECT_EQ(dc.set_impulse(io.first, io.second, b.data(), 120, 1, 1.0f), 1);
    expect_signal(response(dc, 1, 2, 256), a, 1.0f, "kept");
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 3; j++)
            if (i != 1 || j != 2) expect_signal(response(dc, i, j, 256), zero, 1.0f, "silent");

    // Reloading replaces; nothing accumulates.
    ASSERT_EQ(dc.set_impulse(1, 2, b.data(), 120, 1, 0.5f), 0);
    expect_signal(response(dc, 1, 2, 256), b, 0.5f, "replaced");

    // Gain 0 and length 0 or less silence the pair.
    ASSERT_EQ(dc.set_impulse(1, 2, b.data(), 120, 1, 0.0f), 0);
    expect_signal(response(dc, 1, 2, 256), zero, 1.0f, "gain 0");
    ASSERT_EQ(dc.set_impulse(1, 2, b.data(), 120, 1, 1.0f), 0);
    ASSERT_EQ(dc.set_impulse(1, 2, b.data(), -5, 1, 1.0f), 0);
    expect_signal(response(dc, 1, 2, 256), zero, 1.0f, "length -5");

    // Beyond maxlen the data is ignored.
    Signal longer = noise(300, rng);
    ASSERT_EQ(dc.set_impulse(0, 1, longer.data(), 300, 1, 1.0f), 0);
    expect_signal(response(dc, 0, 1, 400), Signal(longer.begin(), longer.begin() + 200), 1.0f, "cut");

    // With a stride, one channel of interleaved frames.
    Signal inter(3 * 100);
    for (int t = 0; t < 100; t++)
        for (int c = 0; c < 3; c++) inter[3 * t + c] = (c == 1) ? a[t] : 100.0f;
    ASSERT_EQ(dc.set_impulse(0, 0, inter.data() + 1, 100, 3, 2.0f), 0);
    expect_signal(response(dc, 0, 0, 256), Signal(a.begin(), a.begin() + 100), 2.0f, "stride");
}

TEST(Lifecycle, ResetAndClearKeepWhatTheyMust)
{
    const int P = 64;
    std::mt19937 rng(5);
    std::vector<Signal> in{noise(P * 3, rng)};
    std::vector<Signal> silence{Signal(P, 0.0f)};
    const float one = 1.0f;
    Signal d(P + 1, 0.0f);
    d[P] = 1.0f;   // one period of delay: the output is the last input block
    Denseconv dc(1, 1, 200, P, 1);

    // clear_impulses keeps history and ring position: a new IR convolves
    // the input heard before the change. (A one-tap IR leaves no overlap.)
    dc.set_impulse(0, 0, &one, 1, 1, 1.0f);
    run(dc, in, P * 3);
    int ip = dc.ipart;
    dc.clear_impulses();
    EXPECT_EQ(dc.ipart, ip);
    auto out = run(dc, silence, P);
    for (int s = 0; s < P; s++) ASSERT_NEAR(out[0][s], 0.0f, 1e-6) << "cleared IR";
    dc.set_impulse(0, 0, d.data(), P + 1, 1, 1.0f);
    run(dc, in, P * 3);
    out = run(dc, silence, P);
    for (int s = 0; s < P; s++) ASSERT_NEAR(out[0][s], in[0][2 * P + s], 1e-6);

    // reset keeps the IRs and the ring position, clears history and overlap.
    run(dc, in, P * 3);
    ip = dc.ipart;
    dc.reset();
    EXPECT_EQ(dc.ipart, ip);
    out = run(dc, silence, P);
    for (int s = 0; s < P; s++) ASSERT_EQ(out[0][s], 0.0f);
    auto again = run(dc, in, P * 3);
    for (int s = 0; s < 3 * P; s++) ASSERT_NEAR(again[0][s], s < P ? 0.0f : in[0][s - P], 1e-6);
}

int count_threads()
{
    int n = 0;
    std::unique_ptr<FILE, int (*)(FILE *)> f(fopen("/proc/self/status", "r"), fclose);
    char line[256];
    while (f && fgets(line, sizeof line, f.get()))
        if (sscanf(line, "Threads: %d", &n) == 1) break;
    return n;
}

// The thread count once it has reached 'want', or after a second. A worker
// has let go of everything when the destructor returns, but its thread
// takes a moment more to leave the process.
int settled_threads(int want)
{
    for (int i = 0; i < 100 && count_threads() != want; i++) usleep(10000);
    return count_threads();
}

// The thread count once it has held still for a tenth of a second: the
// workers of an earlier test may still be on their way out.
int quiet_threads()
{
    int n = count_threads();
    for (int same = 0, i = 0; same < 10 && i < 200; i++) {
        usleep(10000);
        int now = count_threads();
        same = now == n ? same + 1 : 0;
        n = now;
    }
    return n;
}

TEST(Lifecycle, WorkersEndWithTheConvolver)
{
    int before = quiet_threads();
    {
        Denseconv never_ran(4, 4, 1024, 256, 16);
        EXPECT_EQ(count_threads(), before + 16);
    }
    EXPECT_EQ(settled_threads(before), before);
    {
        Denseconv ran(2, 2, 256, 64, 3);
        std::vector<Signal> in(2, Signal(64, 0.5f));
        run(ran, in, 64 * 4);
    }
    EXPECT_EQ(settled_threads(before), before);
}

// The extreme values that pass the callers' checks are admitted.
TEST(Limits, SmallestSizeAndLargestPeriod)
{
    std::mt19937 rng(9);
    Matrix m = random_matrix(2, 2, 16, rng);
    {
        Denseconv dc(2, 2, 16, 64, 2);
        EXPECT_EQ(dc.npart, 1);
        load(dc, m);
        std::vector<Signal> in{noise(64 * 3, rng), noise(64 * 3, rng)};
        EXPECT_LT(relative_error(run(dc, in, 64 * 3), reference(in, m, 16, 64 * 3)), 1e-5);
    }
    {
        Matrix big = random_matrix(1, 2, 4096, rng);
        Denseconv dc(1, 2, 4096, 4096, 2);
        EXPECT_EQ(dc.npart, 1);
        load(dc, big);
        std::vector<Signal> in{noise(4096 * 3, rng)};
        const size_t n = 4096 * 3;
        EXPECT_LT(relative_error(run(dc, in, n), reference(in, big, 4096, n)), 2e-5);
    }
}

bool sanitized()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

void construct_with_little_memory()
{
    // Far below the 138 MB of a 64x64 matrix at period 64.
    long pages = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f || fscanf(f, "%ld", &pages) != 1) _exit(5);
    fclose(f);
    rlimit rl;
    getrlimit(RLIMIT_AS, &rl);
    rl.rlim_cur = pages * sysconf(_SC_PAGESIZE) + (64l << 20);
    setrlimit(RLIMIT_AS, &rl);
    try {
        Denseconv dc(64, 64, 4096, 64, 2);
        _exit(0);
    }
    catch (const std::bad_alloc &) {
        _exit(3);
    }
}

// Storage that cannot be allocated is an exception from the constructor,
// never a convolver on missing storage.
TEST(Failure, OutOfMemoryThrowsCleanly)
{
    if (sanitized()) GTEST_SKIP() << "address space limits and sanitizers do not mix";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(construct_with_little_memory(), ::testing::ExitedWithCode(3), "");
}

// Run only without the privilege of realtime scheduling (see CMakeLists:
// as root, this binary is run once more under another uid).
class Unprivileged : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (geteuid() == 0) GTEST_SKIP() << "needs an ordinary user";
        rlimit rl{0, 0};
        setrlimit(RLIMIT_RTPRIO, &rl);
    }
};

TEST_F(Unprivileged, WorkersFallBackToNormalScheduling)
{
    std::mt19937 rng(13);
    Matrix m = random_matrix(3, 2, 300, rng);
    Denseconv dc(3, 2, 300, 64, 2);
    EXPECT_FALSE(dc.realtime());
    load(dc, m);
    std::vector<Signal> in;
    for (int i = 0; i < 3; i++) in.push_back(noise(64 * 8, rng));
    EXPECT_LT(relative_error(run(dc, in, 64 * 8), reference(in, m, 300, 64 * 8)), 1e-5);
}

void construct_with_few_threads()
{
    // Room for the main thread and two workers, not for a third.
    rlimit rl{3, 3};
    setrlimit(RLIMIT_NPROC, &rl);
    try {
        Denseconv dc(2, 2, 256, 64, 4);
        _exit(0);
    }
    catch (const std::system_error &) {
        _exit(settled_threads(1) == 1 ? 3 : 4);
    }
}

TEST_F(Unprivileged, ThreadThatCannotStartFailsConstruction)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(construct_with_few_threads(), ::testing::ExitedWithCode(3), "");
}

} // namespace
