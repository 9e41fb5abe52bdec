// The mixed-partition convolver: its layout covers every tap, its output
// against a double-precision direct convolution for short and long
// responses at several periods, exact delays at every partition boundary
// of the layout (sample 0 in the same period), the same bits for every
// thread count and in place, and reloading, resetting and destroying it
// while background work is in flight.

#include <gtest/gtest.h>

#include <math.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <pthread.h>
#include <sched.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "convref.h"
#include "mixedconv.h"

using namespace convref;

// For many sizes and periods: the segments follow the head without a gap
// or an overlap and cover the whole size, each starts late enough for its
// work to be done a block ahead (offset >= 2B - P), and the blocks are
// whole multiples of the period, powers of two, no larger than MIXBLOCK.
TEST(MixedLayout, CoversEveryTapWithBlocksDueInTime)
{
    for (int P = 16; P <= 4096; P *= 2) {
        for (int len : {16, 17, 100, P, P + 1, 3 * P, 4096, 4097, 10000, 65536, 100003, 131072}) {
            SCOPED_TRACE(::testing::Message() << "period " << P << ", size " << len);
            int32_t head;
            Mixseg seg[MAXSEG];
            int n = mixed_layout(len, P, &head, seg);
            EXPECT_EQ(head, std::min(std::max(2 * std::max(P, 256) - P, 16), len));
            int64_t end = head;
            for (int k = 0; k < n; k++) {
                EXPECT_EQ(seg[k].offset, end);
                EXPECT_GE(seg[k].block, P);
                EXPECT_EQ(seg[k].block & (seg[k].block - 1), 0);
                EXPECT_LE(seg[k].block, MIXBLOCK);
                EXPECT_GE(seg[k].count, 1);
                EXPECT_GE(seg[k].offset, 2 * seg[k].block - P);
                // Only the first segment is due as soon as the smallest
                // block allows: the rest of the size goes into the last.
                if (k > 0) {
                    EXPECT_GT(seg[k].block, seg[k - 1].block);
                }
                end += (int64_t)seg[k].count * seg[k].block;
            }
            EXPECT_GE(end, len);
            // The last partition holds at least one tap.
            if (n > 0) {
                EXPECT_LT(end - seg[n - 1].block, len);
            }
        }
    }
}

// The partition products per frame and pair (head partitions plus every
// segment's count), which set the spectrum bytes read per second, as
// docs/performance.md gives them: the rest of a size adds no segment of
// its own.
TEST(MixedLayout, PartitionProductsPerFrame)
{
    struct Case { int N, P, products, nseg; };
    for (Case c : {Case{4096, 64, 14, 3}, Case{4096, 256, 8, 3}, Case{4096, 1024, 4, 1},
                   Case{48000, 64, 20, 7}, Case{131072, 64, 26, 7}, Case{131072, 1024, 16, 5}}) {
        SCOPED_TRACE(::testing::Message() << "size " << c.N << ", period " << c.P);
        int32_t head;
        Mixseg seg[MAXSEG];
        int n = mixed_layout(c.N, c.P, &head, seg);
        int products = (head + c.P - 1) / c.P;
        for (int k = 0; k < n; k++) products += seg[k].count;
        EXPECT_EQ(products, c.products);
        EXPECT_EQ(n, c.nseg);
    }
}

// A 2 x 2 matrix of noise responses through the mixed convolver, against a
// direct convolution in double precision, at periods 64, 256 and 1024.
TEST(MixedConv, MatchesDirectConvolution4096)
{
    std::mt19937 rng(15);
    const int N = 4096;
    Matrix m = random_matrix(2, 2, N, rng);
    std::vector<Signal> in = {noise(3 * N, rng), noise(3 * N, rng)};
    const size_t n = 4 * N + 1024;
    auto want = reference(in, m, n);
    for (int P : {64, 256, 1024}) {
        SCOPED_TRACE(::testing::Message() << "period " << P);
        Mixedconv c(2, 2, N, P, 2);
        EXPECT_GT(c.nseg(), 0);
        load(c, m);
        EXPECT_LE(relative_error(run(c, in, n), want), 1e-5);
    }
}

// 131072 taps: a burst of input, followed to the end of the tail.
TEST(MixedConv, MatchesDirectConvolution131072)
{
    std::mt19937 rng(131);
    const int N = MAXLEN_MIXED;
    Matrix m = random_matrix(1, 2, N, rng);
    std::vector<Signal> in = {noise(2500, rng)};
    const size_t n = N + 2500 + 1024;
    auto want = reference(in, m, n);
    for (int P : {64, 256, 1024}) {
        SCOPED_TRACE(::testing::Message() << "period " << P);
        Mixedconv c(1, 2, N, P, 2);
        load(c, m);
        EXPECT_LE(relative_error(run(c, in, n), want), 3e-5);
    }
}

// Shapes whose jobs are cut unevenly: 11 inputs in 8 ranges for their
// transforms, 5 outputs in groups of 3 and 2 where the blocks are large
// (three partitions of 8192 at this size). Right against the reference and
// the same bits with one background thread (the constructing thread held
// to one processor) as with one per processor.
TEST(MixedConv, JobsCutUnevenlyOnOneOrEveryProcessor)
{
    std::mt19937 rng(23);
    const int N = 40000, P = 64;
    Matrix m = random_matrix(11, 5, N, rng);
    std::vector<Signal> in;
    for (int i = 0; i < 11; i++) in.push_back(noise(300, rng));
    const size_t n = N + 300 + 64;
    auto want = reference(in, m, n);
    std::vector<Signal> got[2];
    for (int one : {1, 0}) {
        std::thread t([&] {
            if (one) {
                cpu_set_t set;
                CPU_ZERO(&set);
                CPU_SET(sched_getcpu(), &set);
                pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
            }
            Mixedconv c(11, 5, N, P, 2);
            ASSERT_EQ(c.segment(c.nseg() - 1).block, 8192);
            ASSERT_EQ(c.segment(c.nseg() - 1).count, 3);
            load(c, m);
            got[one] = run(c, in, n);
        });
        t.join();
    }
    EXPECT_LE(relative_error(got[0], want), 3e-5);
    for (int j = 0; j < 5; j++)
        EXPECT_EQ(memcmp(got[0][j].data(), got[1][j].data(), n * sizeof(float)), 0) << "output " << j;
}

// A unit impulse in the response at every partition boundary of the
// layout (and one sample either side) comes out exactly that many samples
// after the input's unit impulse, and nothing else does; an input impulse
// at sample 0 with the response's at 0 comes out in the first period.
TEST(MixedConv, ImpulsesAtEveryBoundaryComeOutOnTime)
{
    // The longest size only at the boundaries themselves, with the input
    // impulse at sample 0: its runs are long.
    struct Case { int P, N; bool around; };
    for (Case cs : {Case{64, 4096, true}, Case{256, 5000, true}, Case{16, 2048, true},
                    Case{64, MAXLEN_MIXED, false}, Case{4096, MAXLEN_MIXED, false}}) {
        SCOPED_TRACE(::testing::Message() << "period " << cs.P << ", size " << cs.N);
        Mixedconv c(1, 1, cs.N, cs.P, 2);
        std::set<int> taps = {0, 1, cs.N - 1};
        for (int k = -1; k < c.nseg(); k++) {
            int o = (k < 0) ? c.headlen() : c.segment(k).offset;
            int b = (k < 0) ? 0 : c.segment(k).block;
            int cnt = (k < 0) ? 1 : c.segment(k).count;
            for (int p = 0; p < cnt; p++)
                for (int d = cs.around ? -1 : 0; d <= (cs.around ? 1 : 0); d++) {
                    int t = o + p * b + d;
                    if (t >= 0 && t < cs.N) taps.insert(t);
                }
        }
        Signal h(cs.N);
        for (int tap : taps) {
            for (int s0 : {0, cs.P / 2 + 3}) {
                if (s0 && !cs.around) continue;
                std::fill(h.begin(), h.end(), 0.0f);
                h[tap] = 1.0f;
                c.set_impulse(0, 0, h.data(), cs.N, 1, 1.0f);
                c.reset();
                Signal x(s0 + 1, 0.0f);
                x[s0] = 1.0f;
                const size_t n = ((size_t)(tap + s0) / cs.P + 2) * cs.P;
                Signal y = run(c, {x}, n)[0];
                int bad = 0;
                for (size_t t = 0; t < n && bad < 3; t++) {
                    double want = (t == (size_t)(tap + s0)) ? 1.0 : 0.0;
                    if (fabs(y[t] - want) > 1e-5) {
                        ADD_FAILURE() << "tap " << tap << ", input at " << s0 << ": sample " << t
                                      << " is " << y[t];
                        bad++;
                    }
                }
            }
        }
    }
}

// Background work that is not done when due is waited for, counted, and
// the output is still right, bit for bit what the pool threads give alone
// (the caller takes the late jobs' units left). Made certain here: the caller runs with
// realtime priority above the background threads, all on one processor,
// so that they only run while the caller waits for them.
TEST(MixedConv, LateWorkIsWaitedForAndCounted)
{
    std::mt19937 rng(11);
    const int N = 4096, P = 64;
    Matrix m = random_matrix(2, 2, N, rng);
    std::vector<Signal> in = {noise(2 * N, rng), noise(2 * N, rng)};
    const size_t n = 3 * N;
    auto want = reference(in, m, n);
    bool permitted = true;
    double err = 1;
    int64_t late = 0;
    std::vector<Signal> got;
    std::thread caller([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        sched_param sp;
        sp.sched_priority = 50;
        if (pthread_setaffinity_np(pthread_self(), sizeof(one), &one) ||
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp)) {
            permitted = false;
            return;
        }
        Mixedconv c(2, 2, N, P, 1);
        if (!c.realtime()) {
            permitted = false;
            return;
        }
        load(c, m);
        got = run(c, in, n);
        err = relative_error(got, want);
        late = c.late_waits();
    });
    caller.join();
    if (!permitted) GTEST_SKIP() << "needs realtime scheduling";
    EXPECT_LE(err, 1e-5);
    // The late jobs' units that the caller took gave the bits the pool
    // threads give.
    Mixedconv free_run(2, 2, N, P, 1);
    load(free_run, m);
    std::vector<Signal> pool = run(free_run, in, n);
    for (int j = 0; j < 2; j++)
        EXPECT_EQ(memcmp(got[j].data(), pool[j].data(), n * sizeof(float)), 0) << "output " << j;
    // Results were due before their threads could run (some may still be
    // done while the caller waits for another).
    EXPECT_GT(late, 0);
}

// The same bits for 1, 2, 3 and 5 threads, and in place.
TEST(MixedConv, SameBitsForEveryThreadCountAndInPlace)
{
    std::mt19937 rng(7);
    const int N = 6000, P = 64;
    Matrix m = random_matrix(3, 5, N, rng);
    std::vector<Signal> in = {noise(9000, rng), noise(9000, rng), noise(9000, rng)};
    const size_t n = 16000;
    std::vector<Signal> first;
    for (int nthread : {1, 2, 3, 5}) {
        for (bool inplace : {false, true}) {
            SCOPED_TRACE(::testing::Message() << nthread << " threads, in place " << inplace);
            Mixedconv c(3, 5, N, P, nthread);
            load(c, m);
            std::vector<Signal> out = run(c, in, n, inplace);
            if (first.empty()) first = out;
            for (int j = 0; j < 5; j++)
                EXPECT_EQ(memcmp(out[j].data(), first[j].data(), n * sizeof(float)), 0) << "output " << j;
        }
    }
}

// Reloading a pair and resetting in the middle of a run, with background
// work in flight, give what a fresh convolver gives; the pair is replaced,
// a length of 0 silences it, an index out of range changes nothing.
TEST(MixedConv, ReloadAndResetWhileBackgroundWorkIsInFlight)
{
    std::mt19937 rng(3);
    const int N = 20000, P = 128;
    Matrix a = random_matrix(2, 1, N, rng);
    Matrix b = random_matrix(2, 1, N, rng);
    std::vector<Signal> in = {noise(30000, rng), noise(30000, rng)};
    const size_t n = 40000;

    Mixedconv fresh(2, 1, N, P, 2);
    load(fresh, b);
    std::vector<Signal> want = run(fresh, in, n);

    Mixedconv c(2, 1, N, P, 2);
    load(c, a);
    run(c, in, 7 * P + 37 * P);   // stops with jobs posted but not yet due
    load(c, b);
    EXPECT_EQ(c.set_impulse(2, 0, b.ir[0].data(), N, 1, 1.0f), 1);
    EXPECT_EQ(c.set_impulse(0, 1, b.ir[0].data(), N, 1, 1.0f), 1);
    c.reset();
    std::vector<Signal> got = run(c, in, n);
    EXPECT_EQ(memcmp(got[0].data(), want[0].data(), n * sizeof(float)), 0);

    c.set_impulse(0, 0, nullptr, 0, 1, 1.0f);
    c.set_impulse(1, 0, nullptr, 0, 1, 1.0f);
    c.reset();
    got = run(c, in, n);
    float peak = 0;
    for (float v : got[0]) peak = std::max(peak, fabsf(v));
    EXPECT_EQ(peak, 0.0f);

    load(c, b);
    c.clear_impulses();
    got = run(c, in, 4 * P);
    for (float v : got[0]) peak = std::max(peak, fabsf(v));
    EXPECT_EQ(peak, 0.0f);
}

// Destroyed right after periods that posted work for every segment,
// including the largest blocks: the background threads stop first (the
// sanitizers see any use of freed storage).
TEST(MixedConv, DestroyedWithWorkInFlight)
{
    std::mt19937 rng(5);
    for (int k = 0; k < 5; k++) {
        Mixedconv c(4, 4, 70000, 64, 2);
        Signal h = noise(70000, rng);
        for (int i = 0; i < 4; i++) c.set_impulse(i, i, h.data(), 70000, 1, 1.0f);
        std::vector<Signal> in(4, noise(32768, rng));
        run(c, in, 32768);   // a block of 16384 has just been posted
        EXPECT_GE(c.late_waits(), 0);
    }
}

namespace {

// As an ordinary user without realtime priority (run-unprivileged.sh).
class UnprivilegedMixed : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (geteuid() == 0) GTEST_SKIP() << "needs an ordinary user";
        rlimit rl{0, 0};
        setrlimit(RLIMIT_RTPRIO, &rl);
    }
};

void construct_mixed_with_few_threads()
{
    // Room for the main thread and the two period workers only.
    rlimit rl{3, 3};
    setrlimit(RLIMIT_NPROC, &rl);
    try {
        Mixedconv c(2, 2, 20000, 64, 2);
        _exit(0);
    }
    catch (const std::system_error &) {
        _exit(3);
    }
}

}  // namespace

// Background threads that may not use realtime scheduling run with normal
// scheduling: realtime() says so, and the output is the same.
TEST_F(UnprivilegedMixed, BackgroundFallsBackToNormalScheduling)
{
    std::mt19937 rng(17);
    Matrix m = random_matrix(2, 2, 5000, rng);
    Mixedconv c(2, 2, 5000, 64, 2);
    EXPECT_FALSE(c.realtime());
    load(c, m);
    std::vector<Signal> in = {noise(6000, rng), noise(6000, rng)};
    EXPECT_LE(relative_error(run(c, in, 12000), reference(in, m, 12000)), 1e-5);
}

// A background thread that cannot be started at all fails the
// construction with std::system_error, leaving nothing behind to crash on.
TEST_F(UnprivilegedMixed, ThreadThatCannotStartFailsConstruction)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(construct_mixed_with_few_threads(), ::testing::ExitedWithCode(3), "");
}
