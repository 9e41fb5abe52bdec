// The offline convolver alone: one partition of input per call (Denseconv,
// at a period of the partition size) against several per call
// (Blockconv), on one dense matrix of random impulse responses, no files.
//
//   build/bench/bench_offline [N [THREADS [SIZE]]]     (default: 64 2 4096)
//
// The calling thread keeps the normal scheduling that tessfile's main
// thread has; the convolvers' own workers are as tessfile gets them
// (Denseconv's SCHED_FIFO where permitted, Blockconv's normal). The
// partition is offline_period(SIZE) rounded as tessfile rounds it: SIZE up
// to a power of two, 1024 to 4096. Rounds of 5 s of audio each, the kinds
// interleaved so that they meet the same machine; prints per kind the
// median round as seconds and as the realtime factor at 48 kHz.

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

#include "blockconv.h"
#include "denseconv.h"

int main(int argc, char *argv[])
{
    const int n = (argc > 1) ? atoi(argv[1]) : 64;
    const int nthread = (argc > 2) ? atoi(argv[2]) : 2;
    const int size = (argc > 3) ? atoi(argv[3]) : 4096;
    if (n < 1 || n > MAXINP || nthread < 1 || nthread > MAXTHR || size < 16 || size > MAXLEN) {
        fprintf(stderr, "Usage: bench_offline [N [THREADS [SIZE]]]\n");
        return 1;
    }
    int part = 1024;
    while (part < size && part < MAXPER) part *= 2;
    const int kinds[] = {1, 2, 4, 8};   // partitions per call; 1 is Denseconv
    std::vector<Convolver *> convs;
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> ir(size);
    for (int k : kinds) {
        Convolver *c = (k == 1) ? (Convolver *)new Denseconv(n, n, size, part, nthread)
                                : (Convolver *)new Blockconv(n, n, size, part, k, nthread);
        for (int j = 0; j < n; j++)
            for (int i = 0; i < n; i++) {
                for (auto &x : ir) x = d(rng);
                c->set_impulse(i, j, ir.data(), size, 1, 1.0f / size);
            }
        convs.push_back(c);
    }
    const int longest = 8 * part;
    std::vector<float> buf((size_t)n * longest);
    for (auto &x : buf) x = d(rng);
    // Outputs apart from the inputs: fed back in place, the signal would
    // shrink call by call into subnormal numbers, whose arithmetic is many
    // times slower on some processors, and time that instead.
    std::vector<float> obuf((size_t)n * longest);
    std::vector<float *> chan(n), ochan(n);
    for (int i = 0; i < n; i++) {
        chan[i] = buf.data() + (size_t)i * longest;
        ochan[i] = obuf.data() + (size_t)i * longest;
    }
    const double seconds = 5.0;
    const int frames = (int)(seconds * 48000);
    std::vector<std::vector<double>> times(convs.size());
    for (int round = 0; round < 5; round++)
        for (size_t q = 0; q < convs.size(); q++) {
            const auto t0 = std::chrono::steady_clock::now();
            for (int done = 0; done < frames; done += convs[q]->period) convs[q]->process(chan.data(), ochan.data());
            times[q].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
    printf("# %dx%d, %d taps, partition %d, %d threads, caller SCHED_OTHER, 5 rounds of %.0f s\n", n, n,
           size, part, nthread, seconds);
    for (size_t q = 0; q < convs.size(); q++) {
        std::sort(times[q].begin(), times[q].end());
        const double t = times[q][2];
        printf("%s %d per call: %.3f s, %.1fx realtime\n", (kinds[q] == 1) ? "Denseconv" : "Blockconv",
               kinds[q], t, seconds / t);
        delete convs[q];
    }
    return 0;
}
