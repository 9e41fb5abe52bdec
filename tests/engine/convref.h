// Helpers of the engine tests: noise, running a convolver over whole
// signals, random matrices and a double-precision direct convolution to
// hold the output against.

#ifndef TESS_TESTS_CONVREF_H
#define TESS_TESTS_CONVREF_H

#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "convolver.h"

namespace convref {

using Signal = std::vector<float>;

inline Signal noise(size_t n, std::mt19937 &rng)
{
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    Signal s(n);
    for (auto &x : s) x = d(rng);
    return s;
}

// Runs 'in' (one signal per input, zeros after their end) through the
// convolver for 'n' samples; returns the outputs. 'inplace' passes the
// same blocks for input and output; 'split' runs each cycle as start(),
// half a millisecond away (the workers may do all of it meanwhile), then
// finish().
inline std::vector<Signal> run(Convolver &c, const std::vector<Signal> &in, size_t n, bool inplace = false,
                               bool split = false)
{
    const int P = c.period;
    std::vector<Signal> ib(c.ninp, Signal(P)), ob(c.nout, Signal(P));
    std::vector<Signal> io(std::max(c.ninp, c.nout), Signal(P));
    std::vector<const float *> ip;
    std::vector<float *> op;
    for (int i = 0; i < c.ninp; i++) ip.push_back(inplace ? io[i].data() : ib[i].data());
    for (int j = 0; j < c.nout; j++) op.push_back(inplace ? io[j].data() : ob[j].data());
    std::vector<Signal> out(c.nout);
    for (size_t t0 = 0; t0 < n; t0 += P) {
        for (int i = 0; i < c.ninp; i++) {
            float *b = const_cast<float *>(ip[i]);
            for (int u = 0; u < P; u++) b[u] = (t0 + u < in[i].size()) ? in[i][t0 + u] : 0.0f;
        }
        if (split) {
            c.start(ip.data(), op.data());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            c.finish();
        }
        else c.process(ip.data(), op.data());
        for (int j = 0; j < c.nout; j++) out[j].insert(out[j].end(), op[j], op[j] + P);
    }
    for (auto &s : out) s.resize(n);
    return out;
}

// Pair (i, j) at j * ninp + i, each with its gain.
struct Matrix
{
    int ninp, nout;
    std::vector<Signal> ir;
    std::vector<float> gain;
};

inline Matrix random_matrix(int ninp, int nout, int len, std::mt19937 &rng)
{
    Matrix m{ninp, nout, {}, {}};
    for (int k = 0; k < ninp * nout; k++) {
        Signal h = noise(len, rng);
        // A slow decay, so that the late partitions carry weight too.
        for (int t = 0; t < len; t++) h[t] *= expf(-2.0f * t / len);
        m.ir.push_back(h);
        m.gain.push_back(0.5f + 0.25f * k);
    }
    return m;
}

inline void load(Convolver &c, const Matrix &m)
{
    for (int j = 0; j < m.nout; j++)
        for (int i = 0; i < m.ninp; i++) {
            const Signal &h = m.ir[j * m.ninp + i];
            ASSERT_EQ(c.set_impulse(i, j, h.data(), (int)h.size(), 1, m.gain[j * m.ninp + i]), 0);
        }
}

// Direct convolution in double precision of the first 'n' output samples.
inline std::vector<std::vector<double>> reference(const std::vector<Signal> &in, const Matrix &m, size_t n)
{
    std::vector<std::vector<double>> out(m.nout, std::vector<double>(n, 0.0));
    for (int j = 0; j < m.nout; j++)
        for (int i = 0; i < m.ninp; i++) {
            const Signal &h = m.ir[j * m.ninp + i];
            const double g = m.gain[j * m.ninp + i];
            for (size_t s = 0; s < in[i].size() && s < n; s++) {
                const double x = g * in[i][s];
                const size_t kmax = std::min(h.size(), n - s);
                double *y = out[j].data() + s;
                for (size_t k = 0; k < kmax; k++) y[k] += x * h[k];
            }
        }
    return out;
}

// Largest error relative to the reference's peak, over all outputs.
inline double relative_error(const std::vector<Signal> &got, const std::vector<std::vector<double>> &want)
{
    double peak = 0, err = 0;
    for (size_t j = 0; j < want.size(); j++)
        for (size_t t = 0; t < want[j].size(); t++) {
            peak = std::max(peak, fabs(want[j][t]));
            err = std::max(err, fabs(got[j][t] - want[j][t]));
        }
    return err / peak;
}

}  // namespace convref

#endif
