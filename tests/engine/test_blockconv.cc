// The offline convolver: its output against a double-precision direct
// convolution, with impulse responses of one and of several partitions,
// several blocks per call and input lengths off every boundary; the same
// bits for every thread count, in place, and after a reset.

#include <gtest/gtest.h>

#include <string.h>

#include "blockconv.h"
#include "convref.h"

using namespace convref;

TEST(BlockConv, MatchesDirectConvolution)
{
    struct Shape
    {
        int ninp, nout, len, part, nblock;
    };
    // One partition; three partitions, with the history ring wrapping
    // over calls; more blocks per call than partitions; a single block.
    for (const Shape &s : {Shape{3, 5, 1024, 1024, 4}, Shape{2, 3, 2500, 1024, 4},
                           Shape{4, 2, 1000, 256, 3}, Shape{1, 1, 700, 256, 1}}) {
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

TEST(BlockConv, SameBitsForEveryThreadCountInPlaceAndAfterReset)
{
    std::mt19937 rng(11);
    const int N = 3000, P = 1024, K = 4;
    Matrix m = random_matrix(3, 6, N, rng);
    std::vector<Signal> in = {noise(20000, rng), noise(19000, rng), noise(15000, rng)};
    const size_t n = 24000;
    std::vector<Signal> first;
    for (int nthread : {1, 2, 3, 5}) {
        for (bool inplace : {false, true}) {
            SCOPED_TRACE(::testing::Message() << nthread << " threads, in place " << inplace);
            Blockconv c(3, 6, N, P, K, nthread);
            load(c, m);
            std::vector<Signal> out = run(c, in, n, inplace);
            if (first.empty()) first = out;
            c.reset();
            std::vector<Signal> again = run(c, in, n, inplace);
            for (int j = 0; j < 6; j++) {
                EXPECT_EQ(memcmp(out[j].data(), first[j].data(), n * sizeof(float)), 0) << "output " << j;
                EXPECT_EQ(memcmp(again[j].data(), first[j].data(), n * sizeof(float)), 0) << "output " << j;
            }
        }
    }
}
