// The dense matrix convolver: uniformly partitioned FFT convolution of
// every input with the impulse response of every (input, output) pair,
// summed per output, with the partition size equal to the processing
// period (no added latency).
//
// Threads and realtime safety:
// - Construction, set_impulse(), clear_impulses(), reset() and destruction
//   run on one control thread, never while process() runs. They allocate
//   and are not realtime-safe.
// - process() is called from one thread at a time (the offline program's
//   main thread, or the JACK process thread). It is REALTIME-SAFE: it
//   allocates nothing, takes no lock and prints nothing; beside its share
//   of the arithmetic it only posts and waits on semaphores.
// - Workthr::run() is the worker loop, on the worker's own thread; its
//   per-cycle path is REALTIME-SAFE in the same sense.
//
// Sharing: each phase of a cycle is cut into units (one input transform,
// or one group of outputs), which the calling thread and the workers it
// wakes take one at a time from a shared counter until none is left, so
// that no thread waits while another has work queued; the caller takes its
// share instead of waiting. A cycle is shared among as many threads as it
// warrants (active_workers(), the caller included, at most 'nthread'); in
// a small cycle the workers stay asleep, since handing them work would
// cost more than the work. A unit's result does not depend on the thread
// that computes it, so the results do not depend on how the work is
// shared, bit for bit.
//
// Construction failures: a failed allocation of storage or of an FFT plan
// throws std::bad_alloc; a worker thread that cannot be started at all
// throws std::system_error. In both cases everything built so far has been
// released, so no convolver ever exists on missing storage. A worker that
// may not use realtime scheduling runs with normal scheduling instead
// (realtime() then returns false).

#ifndef TESS_DENSECONV_H
#define TESS_DENSECONV_H

#include <fftw3.h>
#include <semaphore.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "accumulate.h"
#include "convolver.h"
#include "pxthread.h"

// A set of 'nspec' spectra of 'nbin' complex bins each, in FFTW-aligned
// memory. Control thread only.
class Specset
{
public:
    Specset() : nspec(0), nbin(0), spec(nullptr), owned(false) {}
    ~Specset() { release(); }
    Specset(const Specset &) = delete;
    Specset &operator=(const Specset &) = delete;

    // On an empty set: allocate the spectra (contents undefined).
    // Throws std::bad_alloc; the set is then empty again.
    void init(int32_t nspec, int32_t nbin);
    // On an empty set: the spectra are base, base + stride, ..., storage
    // that the caller owns and keeps until release(). Throws
    // std::bad_alloc (for the table of pointers); the set is then empty.
    void init_at(int32_t nspec, int32_t nbin, fftwf_complex *base, int32_t stride);
    // Set every bin of every spectrum to zero.
    void clear();
    // Free everything and leave the set empty.
    void release();

    int32_t nspec;
    int32_t nbin;
    fftwf_complex **spec;

private:
    bool owned;   // the spectra were allocated by init()
};

// Parameters, storage and plans of the convolver; the passive half. The
// counts and sizes are the Convolver's fields.
class DCparam : public Convolver
{
public:
    DCparam(int32_t ninp, int32_t nout, int32_t maxlen, int32_t period, int32_t nthread);
    ~DCparam();
    DCparam(const DCparam &) = delete;
    DCparam &operator=(const DCparam &) = delete;

    // Loads the impulse response of the pair (inp, out) from data[t * stride]
    // for t < min(length, maxlen), scaled by 'gain', replacing what the pair
    // held. A length of 0 or less makes the pair silent. Returns 0, or 1
    // (changing nothing) when inp or out is out of range. Control thread.
    int set_impulse(int32_t inp, int32_t out, const float *data, int32_t length,
                    int32_t stride, float gain) override;
    // Makes every pair silent. Control thread.
    void clear_impulses() override;
    // Clears the input history and the overlap; keeps the impulse responses
    // and the ring position. Control thread.
    void reset() override;

    // The units of the two phases of a cycle: transform input 'i' into the
    // history ring; accumulate, transform back and overlap-add the outputs
    // of group 'u' (outputs u * gsize to (u + 1) * gsize - 1). 'tbuf' holds
    // 2 * period samples, 'fbuf' MAXGROUP * accstride(period) bins; each
    // thread brings its own. REALTIME-SAFE.
    void transform_input(int32_t i, float *tbuf);
    void compute_group(int32_t u, float *tbuf, fftwf_complex *fbuf);
    // The same for the units first, first + step, ... of each phase.
    void transform_inputs(int32_t first, int32_t step, float *tbuf);
    void compute_outputs(int32_t first, int32_t step, float *tbuf, fftwf_complex *fbuf);

    const int32_t npart;   // partitions per impulse response
    int32_t ipart;         // history slot of the current cycle's input

protected:
    friend class Workthr;

    void release();

    // Runs units of the phase that 'ticket' names until none is left, with
    // the calling thread's buffers; 'seen' receives that phase's number.
    // Returns true when this thread finished the phase's last unit.
    // REALTIME-SAFE.
    bool take_units(float *tbuf, fftwf_complex *fbuf, uint32_t &seen);

    int32_t nactive;               // threads sharing a cycle, the caller and the first workers
    int32_t gsize;                 // outputs per group, 1 to MAXGROUP
    // The phase's number (even: inputs, odd: outputs) in the high 32 bits,
    // the next unit to take in the low ones. One word, so that a thread
    // woken late can never take a unit of a later phase for one of its own.
    std::atomic<uint64_t> ticket;
    std::atomic<int32_t> finished;  // units of the current phase done
    sem_t phase_done;              // posted by a worker that finishes a phase's last unit
    // Hand-off: a thread that expects its semaphore to be posted soon polls
    // it for a bounded time before sleeping, since waking a sleeping thread
    // costs more than the work of a small cycle. At most 'maxspin' workers
    // poll at once, so that one processor is always left to the thread
    // they wait for (the caller) and to everything else on the machine.
    int32_t maxspin;
    std::atomic<int32_t> nspin;
    const float *const *inpdata;   // borrowed for one cycle
    float *const *outdata;         // borrowed for one cycle
    float **outsave;               // overlap of each output, 'period' floats
    float *fftdata;                // 2 * period, loading buffer and plan array
    fftwf_plan plan_r2c;
    fftwf_plan plan_c2r;
    // Every spectrum of both kinds lives in one block of memory, so that it
    // can be given large pages: with 4 KiB pages, faulting in a large
    // matrix's spectra takes longer than convolving seconds of audio, and
    // reading them costs a TLB miss every 4 KiB.
    void *specmem;
    Specset *inpspec;              // per input: ring of npart spectra
    Specset *impspec;              // per pair at out * ninp + inp: npart spectra
    // The multiply-accumulate kernel for this processor (accumulate.h).
    Accumulate accumulate;
};

class Workthr;

// Bins between the accumulators of a worker's buffer.
int32_t accstride(int32_t period);
// The frequency-domain sums of 'ng' outputs from j0, into acc[g] (zeroed
// first): over inputs, then partitions from the newest input spectrum
// (slot 'newest' of each input's ring of 'npart') back, the product of
// each with the pair's partition (impspec[out * ninp + inp]). Every output
// sums in this order whatever the group, so the bits do not depend on how
// outputs are grouped. Any thread; REALTIME-SAFE.
void sum_products(Accumulate accumulate, float *const *acc, int32_t ng, int32_t j0, int32_t ninp,
                  int32_t npart, int32_t newest, const Specset *inpspec, const Specset *impspec,
                  int32_t nbin);
// Memory of 'bytes' bytes (contents undefined) for spectra, aligned to 64
// bytes; from 2 MiB on, aligned to 2 MiB and marked for large pages, where
// the system gives them on request. free() releases it. Throws
// std::bad_alloc. Control thread.
void *spectrum_memory(size_t bytes);
// How many threads, the caller and at most 'nthread' - 1 workers, share a
// cycle of a convolver of this size.
int32_t active_workers(int32_t ninp, int32_t nout, int32_t maxlen, int32_t period, int32_t nthread);

class Denseconv : public DCparam
{
public:
    Denseconv(int32_t ninp, int32_t nout, int32_t maxlen, int32_t period, int32_t nthread);
    ~Denseconv();

    // One cycle: reads 'period' samples from each inp[i], writes 'period'
    // samples to each out[j]. The arrays may be the same, and an output
    // block may share memory with an input block. REALTIME-SAFE.
    void process(const float *const *inp, float *const *out) override;

    // The same cycle with all its work done on the calling thread, the
    // workers left asleep; same results, bit for bit. It is what the
    // benchmarks hold the threaded cycle against. Same thread and
    // REALTIME-SAFE, like process(); never mixed with a running process().
    void process_inline(const float *const *inp, float *const *out);

    // False when some worker could not get realtime scheduling and runs
    // with normal scheduling instead.
    bool realtime() const override { return _realtime; }
    // All the work is done within the cycle: never late.
    int64_t late_waits() const override { return 0; }

private:
    void trigger();
    void run_phase(int64_t spin);
    void stop_workers();

    Workthr *workers[MAXTHR];
    bool _realtime;
    float *tbuf;            // the caller's buffers, as a worker's
    fftwf_complex *fbuf;
    sem_t _gone;   // posted by each stopped worker once it has freed itself
};

// One worker thread of a Denseconv. Created only by the Denseconv
// constructor; deletes itself when stopped.
class Workthr : public Pxthread
{
public:
    // 'gone' is posted when the stopped worker has deleted itself.
    Workthr(int32_t index, DCparam *dcpar, sem_t *gone);
    virtual ~Workthr();

    // The worker loop. REALTIME-SAFE once started.
    virtual void run() override;

    // Starts the thread: SCHED_FIFO first, normal scheduling when that is
    // not permitted. Returns 0 (realtime), 1 (normal scheduling) or throws
    // std::system_error when no thread can be created.
    int launch();

private:
    friend class Denseconv;

    int32_t index;
    DCparam *dcpar;
    bool gapshort;          // the last wait between two cycles was short
    std::atomic<bool> polling;   // waiting by polling, not asleep (a hint)
    sem_t trig;
    // Read by the worker after every wake-up. A wake-up may be one left
    // over from a phase that the other threads finished without this
    // worker, so the read need not follow the post that goes with the
    // write: hence atomic.
    std::atomic<bool> stop;
    sem_t *gone;
    float *tbuf;            // 2 * period samples
    fftwf_complex *fbuf;    // MAXGROUP * accstride(period) bins
};

#endif
