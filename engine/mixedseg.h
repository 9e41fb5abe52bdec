// One segment of the mixed convolver's layout (mixedconv.h): the spectra of
// its partitions, the history of its input spectra, its results, the state
// of its jobs, and the work of their units. The threads and the realtime
// safety of each operation are given with it below and in mixedconv.h.

#ifndef TESS_MIXEDSEG_H
#define TESS_MIXEDSEG_H

#include <fftw3.h>
#include <semaphore.h>
#include <stdint.h>

#include <atomic>

#include "accumulate.h"
#include "denseconv.h"
#include "mixedconv.h"

// One segment: its storage and plans, its jobs' state, and the work of its
// units. Owned by Mixedconv.
class Segment
{
public:
    Segment(Mixedconv *conv, const Mixseg &seg);
    ~Segment();

    // Control thread, no job in flight.
    void load(int32_t inp, int32_t out, const float *data, int32_t length, int32_t stride,
              float gain);
    void clear_impulses();
    void clear();

    // Caller (process()): posts the job of input block m; takes the result
    // of the oldest job posted, true if it was not ready (a late wait),
    // taking that job's units still left meanwhile. REALTIME-SAFE.
    void post(int64_t m);
    bool take_result(float *tbuf, fftwf_complex *fbuf);
    // Pool threads: takes and runs one unit if there is one left in the
    // phase open now; true if it did. REALTIME-SAFE.
    bool run_unit(float *tbuf, fftwf_complex *fbuf);
    // Pool threads: whether a unit can be taken, and when the open job is
    // due (in input samples). REALTIME-SAFE.
    bool has_unit() const;
    int64_t due() const { return _due.load(std::memory_order_relaxed); }

    float *result(int32_t j, int64_t m) { return outbuf[j] + (1 + (m & 1)) * block; }

    const int32_t block;       // B
    const int32_t count;       // partitions
    const int32_t offset;      // first tap
    const int32_t delay;       // how late the input is read: offset - (2B - P)
    sem_t done;                // posted once per finished job
    std::atomic<int64_t> late; // late_waits() of this segment
    int32_t owed;              // caller: jobs posted whose 'done' is not taken
    int32_t banked;            // caller: 'done' taken by settle(), result not yet due

private:
    void release();
    void try_open();
    void transform_inputs(int32_t u, float *tbuf);
    void compute_outputs(int32_t u, float *tbuf, fftwf_complex *fbuf);
    int32_t units(uint32_t gen) const { return (gen & 1) ? _nfft : _nsum; }

    Mixedconv *conv;
    int32_t _nfft;             // units of the first phase (ranges of inputs)
    int32_t _nsum;             // units of the second phase (groups of outputs)
    int32_t _group;            // outputs per unit of the second phase
    int64_t jobs[2];           // block index of each posted job, by post count & 1
    int64_t _m;                // the open job's block
    // The phase's number in the high 32 bits (odd: the inputs', even: the
    // outputs'), the next unit in the low ones.
    std::atomic<uint64_t> _ticket;
    std::atomic<int32_t> _finished;   // units of the open phase finished
    std::atomic<int64_t> _posted;     // jobs posted, finished, opened
    std::atomic<int64_t> _completed;
    std::atomic<int64_t> _opened;
    std::atomic<int64_t> _due;
    fftwf_plan plan_r2c;
    fftwf_plan plan_c2r;
    Specset *inpspec;          // per input: ring of 'count' spectra
    Specset *impspec;          // per pair at out * ninp + inp: 'count' spectra
    float **outbuf;            // per output: overlap, result 0, result 1 (B each)
    float *lbuf;               // 2B samples, for load()
    Accumulate accumulate;
};

#endif
