// What the benchmark programs share: reading spectra as fast as the
// machine reads memory (the floor the convolver is held against), timing
// work shared by threads that spin rather than wait, and a matrix of
// random impulse responses. Header-only.

#ifndef TESS_BENCHUTIL_H
#define TESS_BENCHUTIL_H

#include <stdint.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "denseconv.h"

namespace benchutil {

// Sums every float of 'n' bytes' worth of spectra; several independent
// sums keep the loads, not the adds, the limit.
typedef float v8sf __attribute__((vector_size(32)));

inline __attribute__((target("avx2"))) float read_avx2(const float *p, int32_t nfloat)
{
    v8sf a = {}, b = {}, c = {}, d = {};
    int32_t k = 0;
    for (; k + 32 <= nfloat; k += 32) {
        v8sf x0, x1, x2, x3;
        __builtin_memcpy(&x0, p + k, 32);
        __builtin_memcpy(&x1, p + k + 8, 32);
        __builtin_memcpy(&x2, p + k + 16, 32);
        __builtin_memcpy(&x3, p + k + 24, 32);
        a += x0;
        b += x1;
        c += x2;
        d += x3;
    }
    v8sf s = (a + b) + (c + d);
    float r = 0.0f;
    for (int q = 0; q < 8; q++) r += s[q];
    for (; k < nfloat; k++) r += p[k];
    return r;
}

inline float read_base(const float *p, int32_t nfloat)
{
    float a[8] = {};
    int32_t k = 0;
    for (; k + 8 <= nfloat; k += 8)
        for (int q = 0; q < 8; q++) a[q] += p[k + q];
    float r = 0.0f;
    for (int q = 0; q < 8; q++) r += a[q];
    for (; k < nfloat; k++) r += p[k];
    return r;
}

// The sum of 'nfloat' floats from 'p', read with AVX2 where the processor
// has it.
inline float read_floats(const float *p, int32_t nfloat)
{
    static const bool fast = __builtin_cpu_supports("avx2");
    return fast ? read_avx2(p, nfloat) : read_base(p, nfloat);
}

// Mean time in microseconds of one run of work(t) on threads t = 0 ..
// nthread - 1 together, over 'reps' runs. Thread 0 is the caller; the
// others spin between runs, so that no wake-up is timed, and are gone
// afterwards. before(), when given, runs on the caller ahead of each run
// and is not timed.
inline double spin_time_us(int nthread, int reps, const std::function<void(int)> &work,
                           const std::function<void()> &before = nullptr)
{
    using Clock = std::chrono::steady_clock;
    std::atomic<int> go{0}, done{0};
    std::vector<std::thread> helpers;
    for (int t = 1; t < nthread; t++)
        helpers.emplace_back([&, t] {
            for (int r = 1; r <= reps; r++) {
                while (go.load(std::memory_order_acquire) < r) {}
                work(t);
                done.fetch_add(1, std::memory_order_acq_rel);
            }
        });
    double us = 0.0;
    for (int r = 1; r <= reps; r++) {
        if (before) before();
        auto t0 = Clock::now();
        go.store(r, std::memory_order_release);
        work(0);
        while (done.load(std::memory_order_acquire) < r * (nthread - 1)) {}
        us += std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }
    for (auto &h : helpers) h.join();
    return us / reps;
}

// The median of some timings.
inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Loads every pair of 'dc' with maxlen samples of noise in [-1, 1].
inline void load_random_matrix(DCparam &dc, std::mt19937 &rng)
{
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> ir(dc.maxlen);
    for (int j = 0; j < dc.nout; j++)
        for (int i = 0; i < dc.ninp; i++) {
            for (auto &x : ir) x = d(rng);
            dc.set_impulse(i, j, ir.data(), dc.maxlen, 1, 1.0f);
        }
}

}  // namespace benchutil

#endif
