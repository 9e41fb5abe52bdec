// The mixed-partition matrix convolver: the head of every impulse response
// is cut into partitions of one period and convolved within the period by
// a uniform convolver (Denseconv), and the rest into segments of larger,
// uniform partitions whose work is done ahead of time by background
// threads, each segment's work due only when its output is. Its output is
// that of a direct convolution with no added latency, like the uniform
// convolver's, at a cost per sample that grows with the logarithm of the
// size instead of the size over the period.
//
// The layout (mixed_layout()), for a period P: the smallest block b is
// 256 samples, or P if longer; a head of 2b - P samples (448 at period 64,
// 384 at 128, one period from 256 on; at least 16), then segments of two
// partitions each whose block size doubles from b, up to MIXBLOCK samples,
// and as many blocks of MIXBLOCK as the size still needs; what is left
// after the last full block goes into one more partition of the last
// segment if that holds it (which then adds no transforms, and is due as
// late as that segment's work), else into one partition of the next block
// size. A segment of block B starting at tap o is computed from
// input blocks of B samples as each is complete; its first output sample
// is due B samples (B / P periods) later, so every segment starts at
// o >= 2B - P and reads its input o - (2B - P) samples late. All
// background work has at least 256 samples' time (5.3 ms at 48 kHz).
//
// The background work is done by a pool of threads, one per processor,
// SCHED_FIFO at a priority below the JACK client's process thread (JACK's
// default gives that thread 5). Each block's work of a segment (a job) is
// cut into units that any pool thread takes: first the input transforms,
// in ranges of inputs, then the outputs, in small groups (each output's
// sums, inverse transform and overlap). A thread out of work takes the next
// unit of the job due soonest, so the smallest blocks, due first, are
// never held back by more than one unit of a larger one, and one job is
// shared by every processor that is free.
//
// Threads and realtime safety (see also convolver.h):
// - Construction, set_impulse(), clear_impulses(), reset() and destruction
//   run on the control thread, never while process() runs. All of them
//   first wait for the background work in flight to finish. reset() also
//   starts the blocks again from the next input sample, so that a reset
//   convolver gives the bits of a new one. Not realtime-safe.
// - process() runs on one thread at a time. REALTIME-SAFE: it copies the
//   input into the history ring, posts the jobs whose input block is
//   complete, runs the head, and adds the segments' results; a result that
//   is not ready when due is counted (late_waits()), and the caller takes
//   the units of that job still left in its open phase before it waits on
//   the job's semaphore for the rest.
// - Bgworker::run() is a pool thread. Its work is REALTIME-SAFE: it
//   allocates nothing and takes no lock; units are handed out through
//   atomic counters, and a thread with nothing to do sleeps on a
//   semaphore.
//
// Every unit's arithmetic is independent of the thread that runs it, and
// the head's is too (denseconv.h), so the output is the same, bit for bit,
// for every thread count.
//
// Construction failures: std::bad_alloc for storage or FFT plans,
// std::system_error for a thread that cannot be started; everything built
// so far is released first.

#ifndef TESS_MIXEDCONV_H
#define TESS_MIXEDCONV_H

#include <fftw3.h>
#include <semaphore.h>
#include <stdint.h>

#include <atomic>

#include "accumulate.h"
#include "convolver.h"
#include "denseconv.h"
#include "pxthread.h"

enum
{
    MIXBLOCK = 16384,   // largest block of a segment, in samples
    MAXSEG = 32         // most segments of a layout
};

// One segment of a layout: 'count' partitions of 'block' samples from tap
// 'offset' of the impulse response.
struct Mixseg
{
    int32_t block;
    int32_t count;
    int32_t offset;
};

// The layout for a size and a period (a power of two): the head's length
// in *head, the segments in segs[] (MAXSEG entries), returns their number.
// Any thread; REALTIME-SAFE.
int32_t mixed_layout(int32_t maxlen, int32_t period, int32_t *head, Mixseg *segs);

class Segment;
class Bgworker;

class Mixedconv : public Convolver
{
public:
    // The sizes as for Denseconv, with maxlen up to MAXLEN_MIXED.
    Mixedconv(int32_t ninp, int32_t nout, int32_t maxlen, int32_t period, int32_t nthread);
    ~Mixedconv();

    int set_impulse(int32_t inp, int32_t out, const float *data, int32_t length, int32_t stride,
                    float gain) override;
    void clear_impulses() override;
    void reset() override;
    void process(const float *const *inp, float *const *out) override;
    bool realtime() const override { return _realtime; }
    int64_t late_waits() const override { return _late.load(std::memory_order_relaxed); }

    // The layout in use.
    int32_t headlen() const { return _headlen; }
    int32_t nseg() const { return _nseg; }
    const Mixseg &segment(int32_t k) const { return _layout[k]; }
    // The late waits for segment k alone (k < nseg()). Same threads as
    // late_waits().
    int64_t late_waits(int32_t k) const;

private:
    friend class Segment;
    friend class Bgworker;

    void settle();
    void stop_workers();
    void release();
    // Pool threads, REALTIME-SAFE: the segment with a unit to take whose
    // job is due soonest, or null; waking up to 'n' sleeping threads.
    Segment *next_job();
    void wake(int32_t n);

    Denseconv *_head;
    int32_t _headlen;
    int32_t _nseg;
    Mixseg _layout[MAXSEG];
    Segment *_segs[MAXSEG];
    int32_t _ringlen;          // samples of each input's history ring (a power of two)
    float **_ring;             // per input
    int64_t _clock;            // samples taken in so far
    bool _realtime;
    std::atomic<int64_t> _late;
    int32_t _nworker;
    Bgworker *_workers[MAXTHR];
    float *_tbuf;              // the caller's scratch for a late job's units, as a pool thread's
    fftwf_complex *_fbuf;
    std::atomic<bool> _stop;
    std::atomic<int32_t> _sleepers;   // pool threads asleep on _wake, not yet woken
    sem_t _wake;
    sem_t _gone;               // posted by each pool thread as it ends
};

// A pool thread, with its own scratch buffers for the largest block.
// Created only by Mixedconv; deletes itself when stopped.
class Bgworker : public Pxthread
{
public:
    Bgworker(Mixedconv *conv, int32_t maxblock);
    virtual ~Bgworker();

    // Takes units until stopped, sleeping when there is none. REALTIME-SAFE.
    virtual void run() override;
    // Starts the thread with SCHED_FIFO at 'prio', normal scheduling when
    // that is not permitted. Returns 0 (realtime), 1 (normal) or throws
    // std::system_error.
    int launch(int prio);

private:
    Mixedconv *conv;
    float *tbuf;               // 2 * maxblock samples
    fftwf_complex *fbuf;       // MAXGROUP * accstride(maxblock) bins
};

#endif
