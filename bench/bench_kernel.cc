// The output phase alone against a read of the very bytes it reads.
//
//   build/bench/bench_kernel [N [THREADS]]     (default: 64 2)
//
// An N x N convolver of 4096 taps at period 1024. With THREADS threads
// that share the outputs as the workers do, it times, in interleaved
// rounds (medians of 11):
//   outputs_us  the output phase (multiply-accumulate, inverse FFTs,
//               overlap-add) with no hand-off: the threads spin between
//               rounds' repetitions instead of waiting on semaphores
//   read_us     reading every impulse-response spectrum of the same
//               convolver once, with the same threads and the same split
// and prints their ratio. Where bench_engine's cycle / floor is well
// above this ratio, the time goes to the hand-off and the input phase;
// where they agree, to the kernel itself.

#include <fftw3.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "benchutil.h"
#include "denseconv.h"

namespace {

// A convolver's storage and output phase, run by the bench's own threads.
class Probe : public DCparam
{
public:
    Probe(int n, int nthread) : DCparam(n, n, 4096, 1024, nthread)
    {
        for (int t = 0; t < nthread; t++) {
            tbuf.push_back(static_cast<float *>(fftwf_malloc(2 * period * sizeof(float))));
            fbuf.push_back(static_cast<fftwf_complex *>(
                fftwf_malloc(MAXGROUP * accstride(period) * sizeof(fftwf_complex))));
        }
        std::mt19937 rng(1);
        benchutil::load_random_matrix(*this, rng);
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        ibuf.assign(ninp, std::vector<float>(period));
        obuf.assign(nout, std::vector<float>(period));
        for (auto &c : ibuf)
            for (auto &x : c) x = d(rng);
        for (auto &c : ibuf) iptr.push_back(c.data());
        for (auto &c : obuf) optr.push_back(c.data());
        inpdata = iptr.data();
        outdata = optr.data();
        transform_inputs(0, 1, tbuf[0]);
    }
    ~Probe()
    {
        for (float *p : tbuf) fftwf_free(p);
        for (fftwf_complex *p : fbuf) fftwf_free(p);
    }

    void outputs(int t) { compute_outputs(t, nthread, tbuf[t], fbuf[t]); }

    // Never run as a convolver: the bench drives the phases itself.
    void process(const float *const *, float *const *) override {}
    bool realtime() const override { return false; }
    int64_t late_waits() const override { return 0; }

    void read(int t)
    {
        float r = 0.0f;
        for (int j = t; j < nout; j += nthread)
            for (int i = 0; i < ninp; i++)
                for (int p = 0; p < npart; p++)
                    r += benchutil::read_floats((const float *)impspec[j * ninp + i].spec[p], 2 * (period + 1));
        sink = r;
    }

    volatile float sink = 0.0f;

private:
    std::vector<float *> tbuf;
    std::vector<fftwf_complex *> fbuf;
    std::vector<std::vector<float>> ibuf, obuf;
    std::vector<float *> iptr, optr;
};

}  // namespace

int main(int argc, char **argv)
{
    const int n = (argc > 1) ? atoi(argv[1]) : 64;
    const int nthread = (argc > 2) ? atoi(argv[2]) : 2;
    if (n < 1 || n > MAXINP || nthread < 1 || nthread > MAXTHR) {
        fprintf(stderr, "usage: bench_kernel [N (1..64) [THREADS (1..16)]]\n");
        return 1;
    }
    Probe probe(n, nthread);
    auto outputs = [&](int t) { probe.outputs(t); };
    auto read = [&](int t) { probe.read(t); };
    const int reps = std::max(2, 8192 / (n * n));
    std::vector<double> o, r;
    for (int round = 0; round < 11; round++) {
        o.push_back(benchutil::spin_time_us(nthread, reps, outputs));
        r.push_back(benchutil::spin_time_us(nthread, reps, read));
    }
    const double om = benchutil::median(o), rm = benchutil::median(r);
    fprintf(stderr, "%dx%d 4096 P1024 T%d: outputs_us %.1f read_us %.1f ratio %.2f\n", n, n, nthread,
            om, rm, om / rm);
    return 0;
}
