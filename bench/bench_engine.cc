// Convolver throughput: time per cycle, realtime factor at 48 kHz and the
// rate at which impulse-response spectra are streamed from memory.
//
//   build/bench/bench_engine [--benchmark_filter=...]
//
// Counters: rt48k = seconds of audio per second of compute at 48 kHz;
// ir_GBps = impulse-response spectrum bytes read per second (every
// spectrum of every pair is read once per cycle).

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "denseconv.h"

static void BM_cycle(benchmark::State &state)
{
    const int ninp = state.range(0), nout = state.range(1), maxlen = state.range(2);
    const int period = state.range(3), nthread = state.range(4);
    Denseconv dc(ninp, nout, maxlen, period, nthread);

    std::mt19937 rng(1);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> ir(maxlen);
    for (int j = 0; j < nout; j++)
        for (int i = 0; i < ninp; i++) {
            for (auto &x : ir) x = d(rng);
            dc.set_impulse(i, j, ir.data(), maxlen, 1, 1.0f);
        }
    const int m = std::max(ninp, nout);
    std::vector<std::vector<float>> buf(m, std::vector<float>(period));
    std::vector<float *> ptr(m);
    for (int c = 0; c < m; c++) {
        for (auto &x : buf[c]) x = d(rng);
        ptr[c] = buf[c].data();
    }
    for (auto _ : state) {
        dc.process(ptr.data(), ptr.data());
        benchmark::ClobberMemory();
    }
    const double cycles = (double)state.iterations();
    const double irbytes = (double)ninp * nout * dc.npart * (period + 1) * 8.0;
    state.counters["rt48k"] = benchmark::Counter(cycles * period / 48000.0, benchmark::Counter::kIsRate);
    state.counters["ir_GBps"] = benchmark::Counter(cycles * irbytes * 1e-9, benchmark::Counter::kIsRate);
}

static void configs(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"ninp", "nout", "maxlen", "period", "nthread"});
    const int shapes[][4] = {{2, 2, 4096, 1024},
                             {8, 8, 4096, 1024},
                             {64, 64, 4096, 1024},
                             {64, 64, 4096, 256},
                             {16, 16, 4096, 64}};
    for (auto &s : shapes)
        for (int nt : {1, 2}) b->Args({s[0], s[1], s[2], s[3], nt});
}

BENCHMARK(BM_cycle)->Apply(configs)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(0.5);

BENCHMARK_MAIN();
