// Convolver throughput against the limits of the machine.
//
//   build/bench/bench_engine [--benchmark_filter=...] [--benchmark_format=json]
//
// BM_cycle/ninp:I/nout:O/maxlen:L/period:P/nthread:T times whole cycles
// (process()) with T workers. Its counters:
//   rt48k      seconds of audio per second of compute at 48 kHz
//   ir_GBps    impulse-response spectrum bytes streamed per second (every
//              spectrum of every pair is read once per cycle)
// and, from interleaved rounds measured right after, so that the machine's
// mood is the same for all of them (medians of the rounds):
//   cycle_us   one threaded cycle
//   inline_us  the same arithmetic done on the calling thread alone
//              (process_inline(): no hand-off at all)
//   floor_us   merely reading as many bytes of separately fftwf_malloc'ed
//              spectra as the cycle reads, with T threads, read after read:
//              the floor where the spectra stay in the processor's caches
//              from one cycle to the next, as they do in the cycle
//   mem_us     the same read with the spectra flushed from every cache
//              before each read: the memory floor, what reading the bytes
//              from memory costs
//   x_floor    cycle_us / floor_us (1.0 would be at the floor)
//   x_mem      cycle_us / mem_us; the same as x_floor where the spectra
//              are too large for the caches
//   x_inline   cycle_us / inline_us (above 1 when hand-off costs more than
//              the parallel work saves)

#include <sched.h>
#include <stdio.h>
#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <vector>

#include "benchutil.h"
#include "denseconv.h"

namespace {

using Clock = std::chrono::steady_clock;

double since_us(Clock::time_point t0)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// The memory floor of one cycle: the impulse-response spectra of every
// pair, stored as the convolver stores them, read by 'nthread' threads
// that share the outputs as the workers do.
class Floor
{
public:
    Floor(int ninp, int nout, int npart, int nbin, int nthread)
        : ninp(ninp), nout(nout), npart(npart), nbin(nbin), nthread(nthread)
    {
        for (int k = 0; k < ninp * nout * npart; k++) {
            auto *s = static_cast<float *>(fftwf_malloc(nbin * sizeof(fftwf_complex)));
            for (int b = 0; b < 2 * nbin; b++) s[b] = 1e-3f * (b & 7);
            spectra.push_back(s);
        }
    }
    ~Floor()
    {
        for (float *s : spectra) fftwf_free(s);
    }

    // Mean time of one read of everything, over a round of 'reps' reads.
    // The helper threads spin between reads of a round (so that no hand-off
    // is counted) and are gone between rounds. With 'cold', every spectrum
    // is flushed from every cache before each read, and only the reads are
    // timed.
    double round_us(int reps, bool cold)
    {
        return benchutil::spin_time_us(nthread, reps, [this](int t) { sink[t] += share(t); },
                                       cold ? std::function<void()>([this] { flush(); }) : nullptr);
    }

    volatile float sink[MAXTHR] = {};   // keeps the reads from being optimised away

private:
    // Evicts every line of every spectrum from all caches of the machine.
    void flush()
    {
        for (float *sp : spectra)
            for (size_t b = 0; b < nbin * sizeof(fftwf_complex); b += 64) _mm_clflush((const char *)sp + b);
        _mm_mfence();
    }

    float share(int t)
    {
        float r = 0.0f;
        for (int j = t; j < nout; j += nthread)
            for (int i = 0; i < ninp; i++)
                for (int p = 0; p < npart; p++) {
                    const float *s = spectra[(j * ninp + i) * npart + p];
                    r += benchutil::read_floats(s, 2 * nbin);
                }
        return r;
    }

    const int ninp, nout, npart, nbin, nthread;
    std::vector<float *> spectra;
};


}  // namespace

static void BM_cycle(benchmark::State &state)
{
    const int ninp = state.range(0), nout = state.range(1), maxlen = state.range(2);
    const int period = state.range(3), nthread = state.range(4);
    Denseconv dc(ninp, nout, maxlen, period, nthread);

    std::mt19937 rng(1);
    benchutil::load_random_matrix(dc, rng);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    // Separate output blocks: fed back into the inputs, the signal would
    // grow without bound and end as infinities and NaNs.
    std::vector<std::vector<float>> ibuf(ninp, std::vector<float>(period));
    std::vector<std::vector<float>> obuf(nout, std::vector<float>(period));
    std::vector<float *> iptr(ninp), optr(nout);
    for (int c = 0; c < ninp; c++) {
        for (auto &x : ibuf[c]) x = d(rng);
        iptr[c] = ibuf[c].data();
    }
    for (int c = 0; c < nout; c++) optr[c] = obuf[c].data();
    for (auto _ : state) {
        dc.process(iptr.data(), optr.data());
        benchmark::ClobberMemory();
    }
    const double cycles = (double)state.iterations();
    const double irbytes = (double)ninp * nout * dc.npart * (period + 1) * 8.0;
    state.counters["rt48k"] = benchmark::Counter(cycles * period / 48000.0, benchmark::Counter::kIsRate);
    state.counters["ir_GBps"] = benchmark::Counter(cycles * irbytes * 1e-9, benchmark::Counter::kIsRate);

    // Interleaved rounds of about 20 ms each: threaded cycles, inline
    // cycles, floor reads, and a quarter as many reads from memory (each
    // needs a flush first).
    Floor floor(ninp, nout, dc.npart, period + 1, nthread);
    auto t0 = Clock::now();
    for (int k = 0; k < 3; k++) dc.process_inline(iptr.data(), optr.data());
    const int reps = std::max(3, (int)(20000.0 / (since_us(t0) / 3)));
    std::vector<double> cyc, inl, flo, mem;
    for (int round = 0; round < 15; round++) {
        t0 = Clock::now();
        for (int k = 0; k < reps; k++) dc.process(iptr.data(), optr.data());
        cyc.push_back(since_us(t0) / reps);
        t0 = Clock::now();
        for (int k = 0; k < reps; k++) dc.process_inline(iptr.data(), optr.data());
        inl.push_back(since_us(t0) / reps);
        flo.push_back(floor.round_us(reps, false));
        mem.push_back(floor.round_us(std::max(1, reps / 4), true));
    }
    const double c = benchutil::median(cyc), i = benchutil::median(inl), f = benchutil::median(flo),
                 m = benchutil::median(mem);
    state.counters["cycle_us"] = c;
    state.counters["inline_us"] = i;
    state.counters["floor_us"] = f;
    state.counters["mem_us"] = m;
    state.counters["x_floor"] = c / f;
    state.counters["x_mem"] = c / m;
    state.counters["x_inline"] = c / i;
}

static void configs(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"ninp", "nout", "maxlen", "period", "nthread"});
    const int shapes[][4] = {{2, 2, 4096, 1024},  {8, 8, 4096, 1024},   {16, 16, 4096, 1024},
                             {32, 32, 4096, 1024}, {64, 64, 4096, 1024}, {64, 64, 4096, 256},
                             {16, 16, 4096, 64},   {32, 32, 4096, 64},
                             {32, 32, 4096, 4096}, {64, 64, 4096, 4096}};
    for (auto &s : shapes)
        for (int nt : {1, 2}) b->Args({s[0], s[1], s[2], s[3], nt});
}

BENCHMARK(BM_cycle)->Apply(configs)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(0.3);

// The scheduling of the measuring thread, which is the convolver's caller,
// goes first: under SCHED_FIFO it is never displaced by other work, as a
// JACK process thread is not; a program started normally gets no such help.
int main(int argc, char **argv)
{
    const int policy = sched_getscheduler(0);
    sched_param sp;
    sched_getparam(0, &sp);
    if (policy == SCHED_FIFO) fprintf(stderr, "# scheduling of the caller: SCHED_FIFO, priority %d\n", sp.sched_priority);
    else if (policy == SCHED_RR) fprintf(stderr, "# scheduling of the caller: SCHED_RR, priority %d\n", sp.sched_priority);
    else fprintf(stderr, "# scheduling of the caller: normal (policy %d)\n", policy);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
