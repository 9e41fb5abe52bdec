// "/convolver/partitions": the engine it chooses, the sizes each admits,
// its errors with their line numbers, the out-of-memory refusal of a
// mixed convolver too large for the memory, and a matrix loaded through
// the reader that sounds the same through either engine.

#include <math.h>
#include <sys/resource.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "convconf.h"
#include "denseconv.h"
#include "helpers.h"
#include "mixedconv.h"

namespace {

const int RATE = 48000;
const int PERIOD = 64;

}  // namespace

TEST(Partitions, CommandChoosesTheEngineAndItsSizes)
{
    struct Case
    {
        std::string text;
        int result;
        std::string err;
        bool mixed;   // when it succeeds
    };
    const Case cases[] = {
        {"/convolver/new 1 1 4096 1\n", 0, "", false},
        {"/convolver/partitions uniform\n/convolver/new 1 1 4096 1\n", 0, "", false},
        {"/convolver/partitions mixed\n/convolver/new 1 1 4096 1\n", 0, "", true},
        {"/convolver/partitions mixed\n/convolver/new 2 2 131072 2\n", 0, "", true},
        {"/convolver/partitions mixed\n/convolver/new 1 1 16 1\n", 0, "", true},
        {"/convolver/partitions mixed\n/convolver/partitions uniform\n/convolver/new 1 1 64 1\n", 0, "",
         false},
        {"/convolver/new 1 1 4097 1\n", 1, "Line 1: Convolver size (4097) is out of range.\n", false},
        {"/convolver/partitions uniform\n/convolver/new 1 1 131072 1\n", 1,
         "Line 2: Convolver size (131072) is out of range.\n", false},
        {"/convolver/partitions mixed\n/convolver/new 1 1 131073 1\n", 1,
         "Line 2: Convolver size (131073) is out of range.\n", false},
        {"/convolver/partitions mixed\n/convolver/new 1 1 15 1\n", 1,
         "Line 2: Convolver size (15) is out of range.\n", false},
        {"# a comment\n/convolver/partitions\n", 3, "Line 2: Bad or missing parameters.\n", false},
        {"/convolver/partitions Mixed\n", 3, "Line 1: Bad or missing parameters.\n", false},
        {"/convolver/partitions 'mixed\n", 3, "Line 1: Bad or missing parameters.\n", false},
        {"/convolver/partitions nonuniform\n", 3, "Line 1: Bad or missing parameters.\n", false},
        {"/convolver/new 1 1 64 1\n/convolver/partitions mixed\n", 1,
         "Line 2: /convolver/partitions must come before /convolver/new.\n", false},
        {"/convolver/partitions mixed\n/convolver/new 1 1 64 1\n\n/convolver/partitions mixed\n", 1,
         "Line 4: /convolver/partitions must come before /convolver/new.\n", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        TempDir dir;
        Convconf conf(RATE, PERIOD);
        std::string err;
        EXPECT_EQ(read_text(conf, c.text, &err, dir), c.result);
        EXPECT_EQ(err, c.err);
        if (c.result == 0) {
            ASSERT_NE(conf.convolver, nullptr);
            EXPECT_EQ(dynamic_cast<Mixedconv *>(conf.convolver) != nullptr, c.mixed);
            EXPECT_EQ(dynamic_cast<Denseconv *>(conf.convolver) != nullptr, !c.mixed);
            EXPECT_EQ(conf.convolver->maxlen, (int32_t)conf.maxlen);
            EXPECT_EQ(conf.convolver->period, PERIOD);
        }
    }
}

// A matrix file of 8192-sample responses: the mixed convolver plays all of
// them; a uniform one of 4096 warns and plays the first 4096 samples,
// which the mixed one, given 4096, plays within rounding of it.
TEST(Partitions, MatrixThroughEitherEngine)
{
    TempDir dir;
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> d(-0.5f, 0.5f);
    const int len = 8192;
    std::vector<float> data((size_t)2 * 2 * len);   // 2 inputs, segments for 2 outputs
    for (auto &x : data) x = d(rng);
    ASSERT_TRUE(write_sound(dir.file("m.wav"), RATE, 2, data));
    auto respond = [&](const std::string &text, std::string *err) {
        Convconf conf(RATE, PERIOD);
        EXPECT_EQ(read_text(conf, text, err, dir), 0) << *err;
        std::vector<std::vector<float>> y(2);
        if (!conf.convolver) return y;
        std::vector<float> ib[2] = {std::vector<float>(PERIOD), std::vector<float>(PERIOD)};
        std::vector<float> ob[2] = {std::vector<float>(PERIOD), std::vector<float>(PERIOD)};
        const float *ip[2] = {ib[0].data(), ib[1].data()};
        float *op[2] = {ob[0].data(), ob[1].data()};
        for (int c = 0; c < (len + 2 * PERIOD) / PERIOD; c++) {
            ib[0].assign(PERIOD, 0.0f);
            ib[1].assign(PERIOD, 0.0f);
            if (c == 0) ib[1][0] = 1.0f;   // input 2 only
            conf.convolver->process(ip, op);
            for (int j = 0; j < 2; j++) y[j].insert(y[j].end(), ob[j].begin(), ob[j].end());
        }
        return y;
    };
    std::string err;
    auto mixed = respond("/convolver/partitions mixed\n/convolver/new 2 2 8192 2\n/matrix/load 0.5 m.wav\n", &err);
    EXPECT_EQ(err, "");
    auto uniform = respond("/convolver/new 2 2 4096 2\n/matrix/load 0.5 m.wav\n", &err);
    EXPECT_EQ(err, "Line 2: Warning: data in 'm.wav' will be truncated.\n");
    auto short_mixed = respond("/convolver/partitions mixed\n/convolver/new 2 2 4096 2\n/matrix/load 0.5 m.wav\n", &err);
    for (int j = 0; j < 2; j++) {
        for (int t = 0; t < len + PERIOD; t++) {
            // The file's frames: segment j holds output j, channel 1 input 2.
            float want = (t < len) ? 0.5f * data[((size_t)j * len + t) * 2 + 1] : 0.0f;
            ASSERT_NEAR(mixed[j][t], want, 2e-6) << "output " << j << " sample " << t;
            ASSERT_NEAR(short_mixed[j][t], uniform[j][t], 2e-6) << "output " << j << " sample " << t;
        }
    }
}

namespace {

// Limits the address space of this (forked) process to what it uses now
// plus 'extra' bytes.
void limit_address_space(size_t extra)
{
    size_t pages = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f || fscanf(f, "%zu", &pages) != 1) _exit(3);
    fclose(f);
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = pages * sysconf(_SC_PAGESIZE) + extra;
    if (setrlimit(RLIMIT_AS, &rl)) _exit(3);
}

bool sanitizer()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

}  // namespace

// 64 x 64 pairs of 131072 taps need about 4.4 GB of spectra: within 256 MB
// the convolver is refused with the reader's out-of-memory message, and
// nothing of it is left.
TEST(PartitionsDeathTest, MixedOutOfMemory)
{
    if (sanitizer()) GTEST_SKIP() << "the sanitizer reserves the address space itself";
    TempDir dir;
    std::string path = dir.write("big.conf", "/convolver/partitions mixed\n/convolver/new 64 64 131072 2\n");
    EXPECT_EXIT(
        {
            limit_address_space(256 << 20);
            Convconf conf(RATE, PERIOD);
            int r = conf.read(path.c_str());
            fflush(stderr);
            _exit((r == 1 && conf.convolver == nullptr) ? 0 : 2);
        },
        testing::ExitedWithCode(0), "^Line 2: Unable to create the convolver: out of memory\\.\n$");
}
