// The cache of FFT plans: where it lives, that a run fills it and a later
// run takes its plans from it, and that a damaged, missing or unwritable
// cache only ever means planning from scratch.

#include <gtest/gtest.h>

#include <fftw3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "denseconv.h"
#include "wisdom.h"

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class WisdomCache : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tess-wisdom-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        file = dir + "/cache/tess/plans";
        setenv("TESS_WISDOM", file.c_str(), 1);
        fftwf_forget_wisdom();
    }
    void TearDown() override
    {
        unsetenv("TESS_WISDOM");
        fftwf_forget_wisdom();
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str())) {}
    }
    std::string dir, file;
};

TEST_F(WisdomCache, FirstRunFillsItAndLaterRunsUseIt)
{
    Wisdom w;
    EXPECT_EQ(w.load(), 1);   // nothing there yet
    EXPECT_EQ(w.save(), 0);   // nothing planned: nothing written
    EXPECT_NE(access(file.c_str(), F_OK), 0);
    { Denseconv dc(1, 1, 64, 32, 1); }
    EXPECT_EQ(w.save(), 0);   // folders made as needed
    const std::string first = slurp(file);
    EXPECT_NE(first.find("fftwf_wisdom"), std::string::npos);

    // A later run: the same plans come from the file, and as nothing is
    // new, the file is left as it is.
    fftwf_forget_wisdom();
    Wisdom again;
    EXPECT_EQ(again.load(), 0);
    float *t = fftwf_alloc_real(64);
    fftwf_complex *f = fftwf_alloc_complex(33);
    fftwf_plan known = fftwf_plan_dft_r2c_1d(64, t, f, FFTW_MEASURE | FFTW_WISDOM_ONLY);
    EXPECT_NE(known, nullptr) << "the plan is not in the cache";
    if (known) fftwf_destroy_plan(known);
    fftwf_free(t);
    fftwf_free(f);
    struct stat before, after;
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    { Denseconv dc(1, 1, 64, 32, 1); }
    EXPECT_EQ(again.save(), 0);
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);

    // Another period adds to the file, replaced whole.
    { Denseconv dc(1, 1, 64, 16, 1); }
    EXPECT_EQ(again.save(), 0);
    EXPECT_GT(slurp(file).size(), first.size());
    EXPECT_EQ(system(("test $(ls '" + dir + "/cache/tess' | wc -l) = 1").c_str()), 0)
        << "no temporary file left behind";
}

TEST_F(WisdomCache, DamagedOrUnwritableCacheOnlyMeansPlanning)
{
    ASSERT_EQ(system(("mkdir -p '" + dir + "/cache/tess' && head -c 3000 /dev/urandom > '" + file + "'").c_str()), 0);
    Wisdom w;
    EXPECT_EQ(w.load(), 1);
    { Denseconv dc(1, 1, 64, 32, 1); }
    EXPECT_EQ(w.save(), 0);   // replaced by good plans
    fftwf_forget_wisdom();
    EXPECT_EQ(Wisdom().load(), 0);

    // A cache path below a regular file can't be written; nothing breaks.
    fftwf_forget_wisdom();
    setenv("TESS_WISDOM", (file + "/below").c_str(), 1);
    Wisdom u;
    EXPECT_EQ(u.load(), 1);
    { Denseconv dc(1, 1, 64, 32, 1); }
    EXPECT_EQ(u.save(), 1);
}

TEST_F(WisdomCache, WhereItLives)
{
    setenv("TESS_WISDOM", "", 1);
    EXPECT_EQ(Wisdom::path(), "");   // switched off
    Wisdom off;
    EXPECT_EQ(off.load(), 1);
    { Denseconv dc(1, 1, 64, 32, 1); }
    EXPECT_EQ(off.save(), 0);

    unsetenv("TESS_WISDOM");
    const char *xdg = getenv("XDG_CACHE_HOME");
    const char *home = getenv("HOME");
    std::string keep_xdg = xdg ? xdg : "", keep_home = home ? home : "";
    setenv("XDG_CACHE_HOME", "/x/cache", 1);
    EXPECT_EQ(Wisdom::path(), "/x/cache/tess/fftwf-wisdom");
    setenv("XDG_CACHE_HOME", "relative", 1);   // not absolute: ignored
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(Wisdom::path(), "/home/u/.cache/tess/fftwf-wisdom");
    unsetenv("XDG_CACHE_HOME");
    unsetenv("HOME");
    EXPECT_EQ(Wisdom::path(), "");
    if (xdg) setenv("XDG_CACHE_HOME", keep_xdg.c_str(), 1);
    if (home) setenv("HOME", keep_home.c_str(), 1);
}

}  // namespace
