// The matrix convolver as the configuration reader and the programs see
// it: a fixed number of inputs and outputs, impulse responses loaded by
// (input, output) pair, and one call per period that delivers the
// period's output from the same period's input (no added latency). Two
// engines implement it: Denseconv (denseconv.h), uniformly partitioned,
// and Mixedconv (mixedconv.h), with partitions that grow along the
// impulse response. The configuration chooses one; the programs hold only
// this interface.
//
// Threads and realtime safety:
// - Construction, set_impulse(), clear_impulses(), reset() and
//   destruction run on one control thread, never while process() runs.
//   They may allocate, wait for background work to settle and are not
//   realtime-safe. Destruction stops every thread the convolver started
//   before its storage goes.
// - process() (or start() and finish()) is called from one thread at a
//   time (the offline program's main thread, or the JACK process thread).
//   It is REALTIME-SAFE: it allocates nothing, takes no lock and prints
//   nothing; it only posts and waits on semaphores.
// - The accessors and late_waits() may be called from the control thread
//   at any time and from the process() thread; late_waits() is only exact
//   once processing has stopped.

#ifndef TESS_CONVOLVER_H
#define TESS_CONVOLVER_H

#include <stdint.h>

#include "convlimits.h"

class Convolver
{
public:
    Convolver(int32_t ninp_, int32_t nout_, int32_t maxlen_, int32_t period_, int32_t nthread_)
        : ninp(ninp_), nout(nout_), maxlen(maxlen_), period(period_), nthread(nthread_)
    {
    }
    virtual ~Convolver() {}
    Convolver(const Convolver &) = delete;
    Convolver &operator=(const Convolver &) = delete;

    // Loads the impulse response of the pair (inp, out) from data[t * stride]
    // for t < min(length, maxlen), scaled by 'gain', replacing what the pair
    // held. A length of 0 or less makes the pair silent. Returns 0, or 1
    // (changing nothing) when inp or out is out of range. Control thread.
    virtual int set_impulse(int32_t inp, int32_t out, const float *data, int32_t length,
                            int32_t stride, float gain) = 0;
    // Makes every pair silent. Control thread.
    virtual void clear_impulses() = 0;
    // Clears the input history and the overlap; keeps the impulse
    // responses. Control thread.
    virtual void reset() = 0;

    // One cycle: reads 'period' samples from each inp[i], writes 'period'
    // samples to each out[j]. The arrays may be the same, and an output
    // block may share memory with an input block. REALTIME-SAFE.
    virtual void process(const float *const *inp, float *const *out) = 0;

    // The same cycle in two halves, for a caller that has other work to do
    // meanwhile: start() sets the cycle going and returns, finish() joins
    // in and returns once the cycle is complete. In between, the blocks
    // must stay untouched and nothing else of the convolver may be called.
    // Unless works_between(), the whole cycle runs in finish(), on the
    // calling thread and its workers. REALTIME-SAFE.
    virtual void start(const float *const *inp, float *const *out)
    {
        _startinp = inp;
        _startout = out;
    }
    virtual void finish() { process(_startinp, _startout); }
    // True when the convolver's own threads work on a cycle between
    // start() and finish().
    virtual bool works_between() const { return false; }

    // False when some thread of the convolver could not get realtime
    // scheduling and runs with normal scheduling instead.
    virtual bool realtime() const = 0;
    // Cycles that had to wait for background work that was not done when
    // its output was due (the output is right all the same). Always 0 for
    // an engine that does all its work within the cycle.
    virtual int64_t late_waits() const = 0;

    const int32_t ninp;      // inputs
    const int32_t nout;      // outputs
    const int32_t maxlen;    // longest impulse response, in samples
    const int32_t period;    // samples per cycle
    const int32_t nthread;   // worker threads of the cycle's own work

private:
    const float *const *_startinp = nullptr;   // start()'s blocks, for finish()
    float *const *_startout = nullptr;
};

#endif
