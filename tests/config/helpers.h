// Shared pieces of the configuration tests: a private temporary folder,
// files written into it, stderr captured around a call, sound files
// written with libsndfile.

#ifndef TESS_TEST_CONFIG_HELPERS_H
#define TESS_TEST_CONFIG_HELPERS_H

#include <dirent.h>
#include <fcntl.h>
#include <sndfile.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// A temporary folder, removed with everything in it.
class TempDir
{
public:
    TempDir()
    {
        char name[] = "/tmp/tess-config-XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~TempDir()
    {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
    std::string file(const std::string &name) const { return path + "/" + name; }

    // Writes 'text' as it is, NUL bytes included; returns the full path.
    std::string write(const std::string &name, const std::string &text) const
    {
        std::string p = file(name);
        std::ofstream f(p, std::ios::binary);
        f.write(text.data(), text.size());
        return p;
    }

    std::string path;
};

// Redirects file descriptor 2 into a temporary file between start() and
// stop(); stop() returns what was written. The warning about realtime
// scheduling depends on the privileges of the run and is dropped, so that
// the other messages can be compared exactly.
class StderrCapture
{
public:
    void start()
    {
        fflush(stderr);
        char name[] = "/tmp/tess-stderr-XXXXXX";
        fd = mkstemp(name);
        unlink(name);
        saved = dup(2);
        dup2(fd, 2);
    }
    std::string stop(bool keep_rt = false)
    {
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        std::string text;
        char buf[4096];
        lseek(fd, 0, SEEK_SET);
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof(buf))) > 0) text.append(buf, n);
        close(fd);
        if (keep_rt) return text;
        std::istringstream in(text);
        std::string line, out;
        while (std::getline(in, line)) {
            if (line.find("realtime priority is not available") != std::string::npos) continue;
            out += line + "\n";
        }
        return out;
    }

private:
    int fd = -1;
    int saved = -1;
};

// Writes interleaved float frames as a sound file of the given format.
inline bool write_sound(const std::string &path, int rate, int nchan, const std::vector<float> &data,
                        int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = nchan;
    info.format = format;
    SNDFILE *sf = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!sf) return false;
    sf_count_t frames = data.size() / nchan;
    sf_count_t n = sf_writef_float(sf, data.data(), frames);
    sf_close(sf);
    return n == frames;
}

// Reads a whole sound file back as interleaved floats.
inline std::vector<float> read_sound(const std::string &path, int *nchan = nullptr)
{
    SF_INFO info = {};
    SNDFILE *sf = sf_open(path.c_str(), SFM_READ, &info);
    if (!sf) return {};
    std::vector<float> data(info.frames * info.channels);
    sf_count_t n = sf_readf_float(sf, data.data(), info.frames);
    data.resize(n * info.channels);
    sf_close(sf);
    if (nchan) *nchan = info.channels;
    return data;
}

// Reads 'text' as a configuration file in 'dir'; returns the result, and
// what went to stderr in 'err'.
template <typename Conf>
int read_text(Conf &conf, const std::string &text, std::string *err, const TempDir &dir)
{
    std::string path = dir.write("conf", text);
    StderrCapture cap;
    cap.start();
    int r = conf.read(path.c_str());
    *err = cap.stop();
    return r;
}

// Number of threads of this process.
inline int thread_count()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (!d) return -1;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') n++;
    }
    closedir(d);
    return n;
}

#endif
