// Helpers shared by the sound-file tests: a scratch folder per test, and
// direct libsndfile access to make and inspect files independently of
// Soundfile.

#ifndef TESS_SFTEST_H
#define TESS_SFTEST_H

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sndfile.h>

class SfTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/tess-sf-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
    }

    void TearDown() override
    {
        // Names first, removal after: unlinking while reading the folder
        // may skip entries.
        std::vector<std::string> names;
        if (DIR *d = opendir(dir.c_str())) {
            while (struct dirent *e = readdir(d)) {
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(dir + "/" + e->d_name);
            }
            closedir(d);
        }
        for (auto &n : names) unlink(n.c_str());
        EXPECT_EQ(rmdir(dir.c_str()), 0);
    }

    std::string path(const char *name) const { return dir + "/" + name; }

    bool exists(const char *name) const { return access(path(name).c_str(), F_OK) == 0; }

    // Creates a file with libsndfile itself; returns false if the library
    // cannot write this combination.
    bool make_file(const char *name, int sfformat, int channels, const std::vector<float> &data, int rate = 44100)
    {
        SF_INFO info;
        memset(&info, 0, sizeof(info));
        info.format = sfformat;
        info.channels = channels;
        info.samplerate = rate;
        SNDFILE *f = sf_open(path(name).c_str(), SFM_WRITE, &info);
        if (!f) return false;
        sf_count_t n = (sf_count_t) data.size() / channels;
        bool ok = sf_writef_float(f, data.data(), n) == n;
        sf_close(f);
        return ok;
    }

    // Reads a whole file with libsndfile; info receives its header.
    template <typename T>
    std::vector<T> read_all(const char *name, SF_INFO &info)
    {
        memset(&info, 0, sizeof(info));
        std::vector<T> data;
        SNDFILE *f = sf_open(path(name).c_str(), SFM_READ, &info);
        if (!f) {
            ADD_FAILURE() << "cannot open " << name << ": " << sf_strerror(nullptr);
            return data;
        }
        data.resize((size_t) (info.frames * info.channels));
        sf_count_t n = read_frames(f, data.data(), info.frames);
        EXPECT_EQ(n, info.frames);
        sf_close(f);
        return data;
    }

    std::string dir;

private:
    static sf_count_t read_frames(SNDFILE *f, float *p, sf_count_t n) { return sf_readf_float(f, p, n); }
    static sf_count_t read_frames(SNDFILE *f, short *p, sf_count_t n) { return sf_readf_short(f, p, n); }
    static sf_count_t read_frames(SNDFILE *f, int *p, sf_count_t n) { return sf_readf_int(f, p, n); }
};

#endif
