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
// 384 at 128, one period from 256 on; at least 16), then segments of two partitions
// each whose block size doubles from b, up to MIXBLOCK samples, and as
// many blocks of MIXBLOCK as the size still needs; what is left after the
// last full block goes into one partition of the smallest block (from b)
// that holds it. A segment of block B starting at tap o is computed from
// input blocks of B samples as each is complete; its first output sample
// is due B samples (B / P periods) later, so every segment starts at
// o >= 2B - P and reads its input o - (2B - P) samples late. All
// background work has at least 256 samples' time (5.3 ms at 48 kHz).
//
// Threads and realtime safety (see also convolver.h):
// - Construction, set_impulse(), clear_impulses(), reset() and destruction
//   run on the control thread, never while process() runs. All of them
//   first wait for the background work in flight to finish. reset() also
//   starts the blocks again from the next input sample, so that a reset
//   convolver gives the bits of a new one. Not realtime-safe.
// - process() runs on one thread at a time. REALTIME-SAFE: it copies the
//   input into the history ring, posts the segments whose input block is
//   complete, runs the head, and adds the segments' results; a result that
//   is not ready when due is waited for on its semaphore and counted
//   (late_waits()).
// - Segthr::run() is a segment's background thread, SCHED_FIFO at a
//   priority below the JACK client's process thread (JACK's default gives
//   that thread 5): 4 for the smallest block size, down to 1, which the
//   larger sizes share, taking turns. Its per-block work is REALTIME-SAFE.
//
// Every segment's arithmetic is independent of the thread count, and the
// head's is too (denseconv.h), so the output is the same, bit for bit,
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

class Segthr;

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
    friend class Segthr;

    void settle();
    void stop_segments();

    Denseconv *_head;
    int32_t _headlen;
    int32_t _nseg;
    Mixseg _layout[MAXSEG];
    Segthr *_segs[MAXSEG];
    int32_t _ringlen;          // samples of each input's history ring (a power of two)
    float **_ring;             // per input
    int64_t _clock;            // samples taken in so far
    bool _realtime;
    std::atomic<int64_t> _late;
    sem_t _gone;               // posted by each stopped segment thread once freed
};

// The background thread of one segment, with the segment's storage and
// plans. Created only by Mixedconv; deletes itself when stopped.
class Segthr : public Pxthread
{
public:
    Segthr(Mixedconv *conv, const Mixseg &seg, sem_t *gone);
    virtual ~Segthr();

    // The thread loop: one block's work per trigger. REALTIME-SAFE.
    virtual void run() override;

    // Starts the thread with SCHED_FIFO at 'prio', normal scheduling when
    // that is not permitted. Returns 0 (realtime), 1 (normal) or throws
    // std::system_error.
    int launch(int prio);

private:
    friend class Mixedconv;

    void release();
    void work(int64_t m);
    void load(int32_t inp, int32_t out, const float *data, int32_t length, int32_t stride,
              float gain);
    void clear();
    void yield();
    float *result(int32_t j, int64_t m) { return outbuf[j] + (1 + (m & 1)) * block; }

    Mixedconv *conv;
    const int32_t block;       // B
    const int32_t count;       // partitions
    const int32_t offset;      // first tap
    const int32_t delay;       // how late the input is read: offset - (2B - P)
    bool shared;               // at the lowest priority, with others: takes turns
    int64_t turn;              // thread: when its turn began (monotonic ns)
    sem_t trig;
    sem_t done;
    std::atomic<bool> stop;
    std::atomic<int64_t> late;  // late_waits() of this segment
    sem_t *gone;
    int64_t jobs[2];           // block index of each posted job, by post count & 1
    int32_t owed;              // caller: jobs posted whose 'done' is not taken
    int32_t banked;            // caller: 'done' taken by settle(), result not yet due
    int64_t posted;            // caller: jobs posted so far
    fftwf_plan plan_r2c;
    fftwf_plan plan_c2r;
    Specset *inpspec;          // per input: ring of 'count' spectra
    Specset *impspec;          // per pair at out * ninp + inp: 'count' spectra
    float **outbuf;            // per output: overlap, result 0, result 1 (B each)
    float *tbuf;               // 2B samples
    fftwf_complex *fbuf;       // MAXGROUP * accstride(B) bins
    Accumulate accumulate;
};

#endif
