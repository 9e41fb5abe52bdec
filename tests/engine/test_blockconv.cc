// The offline convolver: its output against a double-precision direct
// convolution, with impulse responses of one and of several partitions,
// several blocks per call and input lengths off every boundary; the same
// bits for every thread count, in place, with each call split in start()
// and finish(), and after a reset; the vector kernel against the plain one.

#include <gtest/gtest.h>

#include <string.h>

#include "blockconv.h"
#include "blockkernel.h"
#include "convref.h"

using namespace convref;

TEST(BlockConv, MatchesDirectConvolution)
{
    struct Shape
    {
        int ninp, nout, len, part, nblock;
    };
    // One partition; three partitions, with the history ring wrapping
    // over calls; more blocks per call than partitions; a single block;
    // partitions so short that a spectrum has fewer chunks than there
    // would be units of them.
    for (const Shape &s : {Shape{3, 5, 1024, 1024, 4}, Shape{2, 3, 2500, 1024, 4},
                           Shape{4, 2, 1000, 256, 3}, Shape{1, 1, 700, 256, 1},
                           Shape{2, 2, 40, 16, 2}}) {
        SCOPED_TRACE(::testing::Message() << s.ninp << "x" << s.nout << " size " << s.len << " part "
                                          << s.part << " blocks " << s.nblock);
        std::mt19937 rng(s.len + s.nblock);
        Matrix m = random_matrix(s.ninp, s.nout, s.len, rng);
        std::vector<Signal> in;
        // Inputs that end inside a partition and inside a call.
        for (int i = 0; i < s.ninp; i++) in.push_back(noise(3 * s.part * s.nblock + 77 + 13 * i, rng));
        const size_t n = in.back().size() + s.len - 1;
        Blockconv c(s.ninp, s.nout, s.len, s.part, s.nblock, 2);
        load(c, m);
        EXPECT_LT(relative_error(run(c, in, n), reference(in, m, n)), 1e-5);
    }
}

// After clear_impulses() only the pairs loaded again sound: every
// partition of every other pair is silent.
TEST(BlockConv, ClearedPairsAreSilent)
{
    std::mt19937 rng(5);
    const int N = 2500, P = 1024, K = 2;
    Matrix m = random_matrix(3, 2, N, rng);
    Blockconv c(3, 2, N, P, K, 2);
    load(c, m);
    c.clear_impulses();
    // Only pair (input 1, output 0) again; the reference holds it alone.
    const Signal &h = m.ir[0 * 3 + 1];
    ASSERT_EQ(c.set_impulse(1, 0, h.data(), N, 1, m.gain[1]), 0);
    Matrix only = m;
    for (int k = 0; k < 6; k++)
        if (k != 1) std::fill(only.ir[k].begin(), only.ir[k].end(), 0.0f);
    std::vector<Signal> in = {noise(9000, rng), noise(9000, rng), noise(9000, rng)};
    const size_t n = 9000 + N - 1;
    c.reset();
    EXPECT_LT(relative_error(run(c, in, n), reference(in, only, n)), 1e-5);
}

TEST(BlockConv, SameBitsForEveryThreadCountInPlaceSplitAndAfterReset)
{
    std::mt19937 rng(11);
    const int N = 3000, P = 1024, K = 4;
    Matrix m = random_matrix(3, 6, N, rng);
    std::vector<Signal> in = {noise(20000, rng), noise(19000, rng), noise(15000, rng)};
    const size_t n = 24000;
    std::vector<Signal> first;
    for (int nthread : {1, 2, 3, 5}) {
        for (int mode = 0; mode < 3; mode++) {
            // Apart, in place, and each cycle split in start() and finish().
            const bool inplace = mode == 1, split = mode == 2;
            SCOPED_TRACE(::testing::Message() << nthread << " threads, in place " << inplace << ", split "
                                              << split);
            Blockconv c(3, 6, N, P, K, nthread);
            load(c, m);
            std::vector<Signal> out = run(c, in, n, inplace, split);
            if (first.empty()) first = out;
            c.reset();
            std::vector<Signal> again = run(c, in, n, inplace, split);
            for (int j = 0; j < 6; j++) {
                EXPECT_EQ(memcmp(out[j].data(), first[j].data(), n * sizeof(float)), 0) << "output " << j;
                EXPECT_EQ(memcmp(again[j].data(), first[j].data(), n * sizeof(float)), 0) << "output " << j;
            }
        }
    }
}

// The vector kernel gives the plain kernel's bits for every count of
// blocks (whole groups of four and every remainder), with one partition
// and with several, the slots in any order; and the plain kernel agrees
// with the sums done in double precision.
TEST(BlockConv, VectorKernelGivesThePlainKernelsBits)
{
    if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "this processor has no AVX2";
    std::mt19937 rng(23);
    const int ninp = 5;
    for (int npart : {1, 3}) {
        for (int nblock = 1; nblock <= 9; nblock++) {
            SCOPED_TRACE(::testing::Message() << npart << " partitions, " << nblock << " blocks");
            const int nring = npart + nblock - 1;
            auto chunks = [](size_t n) {
                return static_cast<float *>(aligned_alloc(64, n * CHUNK_FLOATS * sizeof(float)));
            };
            float *x = chunks((size_t)ninp * nring), *h = chunks((size_t)ninp * npart);
            float *a0 = chunks(nblock), *a1 = chunks(nblock);
            Signal xs = noise((size_t)ninp * nring * CHUNK_FLOATS, rng);
            Signal hs = noise((size_t)ninp * npart * CHUNK_FLOATS, rng);
            std::copy(xs.begin(), xs.end(), x);
            std::copy(hs.begin(), hs.end(), h);
            std::vector<int32_t> slot((size_t)npart * nblock);
            for (int p = 0; p < npart; p++)
                for (int b = 0; b < nblock; b++) slot[p * nblock + b] = (b - p + 2 * nring + 1) % nring;
            Chunkjob q{x, h, slot.data(), a0, CHUNK_FLOATS, ninp, npart, nring, nblock};
            blockkernel_base(q);
            q.acc = a1;
            blockkernel_avx2(q);
            EXPECT_EQ(0, memcmp(a0, a1, (size_t)nblock * CHUNK_FLOATS * sizeof(float)));
            for (int b = 0; b < nblock; b++)
                for (int k = 0; k < CHUNK; k++) {
                    double re = 0, im = 0;
                    for (int i = 0; i < ninp; i++)
                        for (int p = 0; p < npart; p++) {
                            const float *xc = x + ((size_t)i * nring + slot[p * nblock + b]) * CHUNK_FLOATS;
                            const float *hc = h + ((size_t)i * npart + p) * CHUNK_FLOATS;
                            re += (double)xc[k] * hc[k] - (double)xc[CHUNK + k] * hc[CHUNK + k];
                            im += (double)xc[k] * hc[CHUNK + k] + (double)xc[CHUNK + k] * hc[k];
                        }
                    ASSERT_NEAR(a0[b * CHUNK_FLOATS + 2 * k], re, 1e-5);
                    ASSERT_NEAR(a0[b * CHUNK_FLOATS + 2 * k + 1], im, 1e-5);
                }
            free(x);
            free(h);
            free(a0);
            free(a1);
        }
    }
}
