// tessfile as its users run it: files on disk, the program started as a
// command, its wall time and CPU time measured from outside.
//
//   build/bench/bench_tessfile TESSFILE [-s SECONDS] [-r RUNS] [-d DIR] [-f] N:T ...
//
// For each N:T (matrix size, worker threads) it makes, once per N and
// SECONDS, an N-channel 48 kHz float WAV of noise and a dense N x N matrix
// of 4096-tap impulse responses (noise decaying as exp(-t/800)) in DIR
// (default /tmp/tess-bench), writes a configuration
//   /convolver/new N N 4096 T
//   /matrix/load 1.0 matrix.wav
// and runs "TESSFILE -T conf input.wav output.wav" RUNS times (default 3),
// the sizes' runs interleaved so that a busy machine weighs on all alike.
// Each run overwrites the output of the one before, as a user running the
// same command again does (with -f, each run writes a new file instead:
// replacing a file costs the file system more, on ext4 a flush of the new
// data when it is closed). The outputs are removed at the end.
// It prints the scheduling it and the program ran with (the program is
// started with this process's scheduling, normal unless the caller chose
// otherwise), then per N:T the median wall time, the median CPU time
// (user + system of the program and its threads), CPU / wall, the
// realtime factor (seconds of audio per wall second) and the wall range.
// Messages and results go to standard error.
//
// Threads: single-threaded.

#include <errno.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "soundfile.h"

namespace {

const int RATE = 48000;
const int TAPS = 4096;

struct Job
{
    int n;
    int nthread;
    std::string dir;
    std::vector<double> wall;
    std::vector<double> cpu;
};

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

const char *policy_name(int p)
{
    switch (p) {
    case SCHED_OTHER: return "SCHED_OTHER (normal)";
    case SCHED_FIFO: return "SCHED_FIFO";
    case SCHED_RR: return "SCHED_RR";
#ifdef SCHED_BATCH
    case SCHED_BATCH: return "SCHED_BATCH";
#endif
#ifdef SCHED_IDLE
    case SCHED_IDLE: return "SCHED_IDLE";
#endif
    }
    return "unknown";
}

bool exists(const std::string &path)
{
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}

// The input and the matrix of size n, made once: a stamp file marks a
// complete set.
bool make_data(const std::string &dir, int n, int frames)
{
    std::string stamp = dir + "/complete";
    if (exists(stamp)) return true;
    mkdir(dir.c_str(), 0755);
    fprintf(stderr, "# making %d x %d data of %d frames in %s\n", n, n, frames, dir.c_str());
    std::mt19937 rng(1000 + n);
    std::uniform_real_distribution<float> uni(-0.5f, 0.5f);
    Soundfile inp;
    if (inp.open_write((dir + "/input.wav").c_str(), Soundfile::TYPE_WAV, Soundfile::FORM_FLOAT,
                       RATE, n))
        return false;
    std::vector<float> buf((size_t)n * 4096);
    for (int done = 0; done < frames;) {
        int k = std::min(4096, frames - done);
        for (size_t s = 0; s < (size_t)k * n; s++) buf[s] = uni(rng);
        if (inp.write(buf.data(), k) != k) return false;
        done += k;
    }
    inp.close();
    // /matrix/load layout: n channels (inputs), n segments (outputs) of
    // TAPS frames each; every output keeps about the input's level.
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    Soundfile mat;
    if (mat.open_write((dir + "/matrix.wav").c_str(), Soundfile::TYPE_WAV, Soundfile::FORM_FLOAT,
                       RATE, n))
        return false;
    std::vector<float> seg((size_t)TAPS * n);
    for (int j = 0; j < n; j++) {
        for (int i = 0; i < n; i++) {
            double e = 0;
            for (int t = 0; t < TAPS; t++) {
                float v = gauss(rng) * std::exp(-t / 800.0f);
                seg[(size_t)t * n + i] = v;
                e += (double)v * v;
            }
            float g = (float)(1.0 / std::sqrt(e * n));
            for (int t = 0; t < TAPS; t++) seg[(size_t)t * n + i] *= g;
        }
        if (mat.write(seg.data(), TAPS) != TAPS) return false;
    }
    mat.close();
    FILE *f = fopen(stamp.c_str(), "w");
    if (!f) return false;
    fclose(f);
    return true;
}

bool write_conf(const std::string &path, int n, int nthread)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return false;
    fprintf(f, "/convolver/new %d %d %d %d\n/matrix/load 1.0 matrix.wav\n", n, n, TAPS, nthread);
    return fclose(f) == 0;
}

// Runs the program once; wall and CPU seconds, false when it failed.
bool run(const char *prog, const Job &job, bool fresh, double &wall, double &cpu)
{
    std::string conf = job.dir + "/conf-" + std::to_string(job.nthread);
    std::string inp = job.dir + "/input.wav";
    std::string out = job.dir + "/output.wav";
    if (fresh) unlink(out.c_str());
    double t0 = now();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        execl(prog, prog, "-T", conf.c_str(), inp.c_str(), out.c_str(), (char *)nullptr);
        fprintf(stderr, "Cannot run '%s': %s\n", prog, strerror(errno));
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid) return false;
    wall = now() - t0;
    cpu = ru.ru_utime.tv_sec + 1e-6 * ru.ru_utime.tv_usec + ru.ru_stime.tv_sec +
          1e-6 * ru.ru_stime.tv_usec;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t k = v.size();
    return (k % 2) ? v[k / 2] : 0.5 * (v[k / 2 - 1] + v[k / 2]);
}

void usage()
{
    fprintf(stderr, "Usage: bench_tessfile TESSFILE [-s SECONDS] [-r RUNS] [-d DIR] [-f] N:T ...\n");
    exit(2);
}

}  // namespace

int main(int argc, char *argv[])
{
    int seconds = 20;
    int runs = 3;
    std::string base = "/tmp/tess-bench";
    bool fresh = false;
    int c;
    while ((c = getopt(argc, argv, "s:r:d:f")) != -1) {
        switch (c) {
        case 'f': fresh = true; break;
        case 's': seconds = atoi(optarg); break;
        case 'r': runs = atoi(optarg); break;
        case 'd': base = optarg; break;
        default: usage();
        }
    }
    if (argc - optind < 2 || seconds <= 0 || runs <= 0) usage();
    const char *prog = argv[optind];
    std::vector<Job> jobs;
    for (int k = optind + 1; k < argc; k++) {
        Job j;
        if (sscanf(argv[k], "%d:%d", &j.n, &j.nthread) != 2 || j.n < 1 || j.n > 64 ||
            j.nthread < 1 || j.nthread > 16)
            usage();
        jobs.push_back(j);
    }
    mkdir(base.c_str(), 0755);
    const int frames = seconds * RATE;
    for (Job &j : jobs) {
        j.dir = base + "/n" + std::to_string(j.n) + "_s" + std::to_string(seconds);
        if (!make_data(j.dir, j.n, frames)) {
            fprintf(stderr, "Cannot make the data in '%s'\n", j.dir.c_str());
            return 2;
        }
        if (!write_conf(j.dir + "/conf-" + std::to_string(j.nthread), j.n, j.nthread)) {
            fprintf(stderr, "Cannot write the configuration in '%s'\n", j.dir.c_str());
            return 2;
        }
    }

    const int policy = sched_getscheduler(0);
    fprintf(stderr, "# scheduling: %s; %s started with it, no realtime caller\n",
            policy_name(policy), prog);
    fprintf(stderr, "# %d s of %d Hz audio, %d taps, %d runs each, interleaved, %s\n", seconds,
            RATE, TAPS, runs, fresh ? "a new output file each run" : "each run overwriting the output");
    for (int r = 0; r < runs; r++) {
        for (size_t k = 0; k < jobs.size(); k++) {
            Job &j = jobs[(r % 2) ? jobs.size() - 1 - k : k];
            double wall, cpu;
            if (!run(prog, j, fresh, wall, cpu)) {
                fprintf(stderr, "%s failed on %d x %d\n", prog, j.n, j.n);
                return 1;
            }
            j.wall.push_back(wall);
            j.cpu.push_back(cpu);
        }
    }
    for (const Job &j : jobs) unlink((j.dir + "/output.wav").c_str());
    fprintf(stderr, "%8s %8s %8s %9s %8s %16s\n", "N:T", "wall_s", "cpu_s", "cpu/wall", "rt48k",
            "wall range");
    for (const Job &j : jobs) {
        double w = median(j.wall), u = median(j.cpu);
        char label[16];
        snprintf(label, sizeof(label), "%d:%d", j.n, j.nthread);
        fprintf(stderr, "%8s %8.3f %8.3f %9.2f %8.1f %7.3f-%-7.3f\n", label, w, u, u / w,
                seconds / w, *std::min_element(j.wall.begin(), j.wall.end()),
                *std::max_element(j.wall.begin(), j.wall.end()));
    }
    return 0;
}
