// The deadline benchmark: a caller paced like a JACK period, in this
// process, with the priority a JACK client's process thread has under a
// server at JACK's default (SCHED_FIFO 5, normal scheduling where that is
// not permitted). It sleeps to the start of each period, runs one cycle of
// the convolver, and records how long the cycle took. A period that starts
// late (the cycle before ran into it, or the machine held the caller back)
// starts at once, and the periods after it are timed from it, as a JACK
// server's are after an xrun; with "catch-up" the periods keep their first
// timeline instead, and those missed run back to back until it is reached
// again, which leaves the background work less time than JACK would.
//
//   bench_deadline uniform|mixed NINP NOUT SIZE PERIOD THREADS SECONDS [catch-up]
//
// At the end, on one line: the cycle's time as p50, p99 and maximum, in
// microseconds and as a share of the period; the periods whose cycle took
// longer than the period; the load of the mixed convolver's background
// threads ("tess-bg") and of the process's other threads, in processors;
// and the late waits the convolver counted. 48 kHz. The memory is locked
// as tesslive locks it, and the first two seconds, a warm-up, are not
// counted.

#include <dirent.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "denseconv.h"
#include "mixedconv.h"

namespace {

const double RATE = 48000.0;

int64_t now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

// CPU ticks (user + system) of this process's threads, those named
// "tess-bg" apart from the others.
void thread_ticks(long long *background, long long *others)
{
    *background = *others = 0;
    DIR *d = opendir("/proc/self/task");
    if (!d) return;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string base = std::string("/proc/self/task/") + e->d_name;
        char comm[64] = "";
        if (FILE *f = fopen((base + "/comm").c_str(), "r")) {
            if (!fgets(comm, sizeof(comm), f)) comm[0] = 0;
            fclose(f);
        }
        char stat[1024] = "";
        if (FILE *f = fopen((base + "/stat").c_str(), "r")) {
            if (!fgets(stat, sizeof(stat), f)) stat[0] = 0;
            fclose(f);
        }
        // Fields 14 and 15, counted after the parenthesised name.
        const char *p = strrchr(stat, ')');
        if (!p) continue;
        long long ut = 0, st = 0;
        if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &ut, &st) != 2)
            continue;
        if (!strncmp(comm, "tess-bg", 7)) *background += ut + st;
        else *others += ut + st;
    }
    closedir(d);
}

double pct(const std::vector<double> &v, double q)
{
    size_t k = (size_t)(q * (v.size() - 1));
    return v[k];
}

}  // namespace

int main(int argc, char *argv[])
{
    if ((argc != 8) && ((argc != 9) || strcmp(argv[8], "catch-up"))) {
        fprintf(stderr, "Usage: bench_deadline uniform|mixed NINP NOUT SIZE PERIOD THREADS SECONDS "
                        "[catch-up]\n");
        return 1;
    }
    const bool mixed = !strcmp(argv[1], "mixed");
    const int ninp = atoi(argv[2]), nout = atoi(argv[3]), size = atoi(argv[4]);
    const int period = atoi(argv[5]), nthread = atoi(argv[6]);
    const double seconds = atof(argv[7]);
    const bool catchup = (argc == 9);
    if ((!mixed && strcmp(argv[1], "uniform")) || ninp < 1 || ninp > MAXINP || nout < 1 ||
        nout > MAXOUT || size < 16 || size > (mixed ? MAXLEN_MIXED : MAXLEN) || period < 16 ||
        period > MAXPER || (period & (period - 1)) || nthread < 1 || nthread > MAXTHR ||
        seconds <= 0) {
        fprintf(stderr, "bench_deadline: bad arguments\n");
        return 1;
    }

    if (mlockall(MCL_CURRENT | MCL_FUTURE)) perror("bench_deadline: mlockall");
    Convolver *c = mixed ? (Convolver *)new Mixedconv(ninp, nout, size, period, nthread)
                         : (Convolver *)new Denseconv(ninp, nout, size, period, nthread);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> ir(size);
    for (int j = 0; j < nout; j++)
        for (int i = 0; i < ninp; i++) {
            for (auto &x : ir) x = d(rng);
            c->set_impulse(i, j, ir.data(), size, 1, 1.0f / size);
        }
    std::vector<std::vector<float>> ib(ninp, std::vector<float>(period));
    std::vector<std::vector<float>> ob(nout, std::vector<float>(period));
    for (auto &b : ib)
        for (auto &x : b) x = d(rng);
    std::vector<const float *> ip;
    std::vector<float *> op;
    for (auto &b : ib) ip.push_back(b.data());
    for (auto &b : ob) op.push_back(b.data());

    sched_param sp;
    sp.sched_priority = 5;
    const bool rt = sched_setscheduler(0, SCHED_FIFO, &sp) == 0;

    const int64_t pns = (int64_t)(period * 1e9 / RATE);
    const long ncycle = (long)(seconds * RATE / period);
    const long nwarm = (long)(2 * RATE / period);
    std::vector<double> us(ncycle);
    long over = 0, behind = 0;
    long long bg0 = 0, other0 = 0, bg1, other1, late0 = 0;
    int64_t start = now_ns() + 100000000;
    int64_t counted = start;
    for (long k = -nwarm; k < ncycle; k++) {
        if (k == 0) {
            thread_ticks(&bg0, &other0);
            late0 = c->late_waits();
            counted = now_ns();
        }
        const int64_t due = start + (k + nwarm) * pns;
        timespec ts = {(time_t)(due / 1000000000), (long)(due % 1000000000)};
        const int64_t now = now_ns();
        if (now > due) {
            behind += (k >= 0);
            if (!catchup) start += now - due;
        }
        else while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr)) {}
        const int64_t t0 = now_ns();
        c->process(ip.data(), op.data());
        const int64_t t1 = now_ns();
        if (k < 0) continue;
        us[k] = (t1 - t0) * 1e-3;
        if (t1 - t0 > pns) over++;
    }
    const double wall = (now_ns() - counted) * 1e-9;
    thread_ticks(&bg1, &other1);
    const double tick = sysconf(_SC_CLK_TCK);
    const long long late = c->late_waits() - late0;
    std::string bysegment;
    if (mixed) {
        Mixedconv *mc = static_cast<Mixedconv *>(c);
        for (int k = 0; k < mc->nseg(); k++) {
            char text[64];
            snprintf(text, sizeof(text), " %d@%d:%lld", mc->segment(k).block, mc->segment(k).offset,
                     (long long)mc->late_waits(k));
            bysegment += text;
        }
    }
    delete c;

    std::sort(us.begin(), us.end());
    const double per = pns * 1e-3;
    printf("%s %dx%d size %d period %d (%.0f us) %d threads %.0f s%s%s: cycle p50 %.1f us (%.1f%%) "
           "p99 %.1f us (%.1f%%) max %.1f us (%.1f%%); over the period %ld, started late %ld; "
           "background %.2f processors, other threads %.2f; late waits %lld%s%s\n",
           argv[1], ninp, nout, size, period, per, nthread, seconds, catchup ? ", catching up" : "",
           rt ? "" : " (normal scheduling)",
           pct(us, 0.5), 100 * pct(us, 0.5) / per, pct(us, 0.99), 100 * pct(us, 0.99) / per,
           us.back(), 100 * us.back() / per, over, behind, (bg1 - bg0) / tick / wall,
           (other1 - other0) / tick / wall, late, mixed ? " (block@offset:waits, warm-up included)" : "",
           bysegment.c_str());
    return 0;
}
