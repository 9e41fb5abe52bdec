// The offline matrix convolver: uniformly partitioned FFT convolution like
// Denseconv's, but each call takes several partitions' worth of input (the
// period is 'nblock' partitions), so that every impulse-response spectrum
// is read from memory once per call and multiplied with the 'nblock' input
// spectra that need it while it is in the first-level cache. With a dense
// matrix the reading of those spectra bounds the speed, and this divides
// it by 'nblock'. The output of a call is still computed from the input up
// to that call only: no added latency at the call's own size, which is
// what an offline program needs; a realtime program uses Denseconv.
//
// Every spectrum is kept in chunks of CHUNK bins (blockkernel.h), ordered
// so that one chunk of every input's history is one small piece of memory
// that stays in the first-level cache while every output uses it, and the
// impulse-response spectra are read in one stream, chunk by chunk.
//
// A call runs in three phases, each cut into units that the calling
// thread and its workers take one at a time from a shared counter:
// 1. per input: the transforms of its 'nblock' blocks into the history;
// 2. per range of chunks: for every output and every block, the products
//    summed over inputs, then partitions from the newest input spectrum
//    back (Denseconv's order), into that output's accumulators;
// 3. per output: the inverse transforms and the overlap-add, block by
//    block.
// A unit's result does not depend on the thread that computes it: the
// output is the same, bit for bit, for every thread count.
//
// Threads and realtime safety:
// - Construction, set_impulse(), clear_impulses(), reset() and destruction
//   run on one control thread, never while process() runs. Not
//   realtime-safe. Construction has the workers zero the spectra with it
//   (the first touch of fresh memory is slow on virtual machines).
// - process(), or start() and finish(), run on one thread at a time. They
//   allocate nothing, take no lock and print nothing; they post and wait on
//   semaphores. Between start() and finish() the workers go on with the
//   cycle while the caller does other work (the offline program reads and
//   writes its files then), and finish() takes the units still left. The
//   workers run with normal scheduling: offline, nothing is due at a given
//   time.
//
// Construction failures: std::bad_alloc for storage or FFT plans,
// std::system_error for a worker that cannot be started; everything built
// so far is released first.

#ifndef TESS_BLOCKCONV_H
#define TESS_BLOCKCONV_H

#include <fftw3.h>
#include <semaphore.h>
#include <stdint.h>

#include <atomic>

#include "blockkernel.h"
#include "convolver.h"

class Blockworker;

class Blockconv : public Convolver
{
public:
    // Partitions of 'part' samples (a power of two up to MAXPER), a period
    // of nblock * part samples, 'nthread' threads in all, the caller
    // included.
    Blockconv(int32_t ninp, int32_t nout, int32_t maxlen, int32_t part, int32_t nblock,
              int32_t nthread);
    ~Blockconv();

    int set_impulse(int32_t inp, int32_t out, const float *data, int32_t length, int32_t stride,
                    float gain) override;
    void clear_impulses() override;
    void reset() override;
    void process(const float *const *inp, float *const *out) override;
    // The cycle's phases are opened by whichever thread finishes the one
    // before, so the workers go on while the caller is away.
    void start(const float *const *inp, float *const *out) override;
    void finish() override;
    bool works_between() const override { return nthread > 1; }
    // Needs no realtime scheduling.
    bool realtime() const override { return true; }
    int64_t late_waits() const override { return 0; }

    const int32_t part;     // samples per partition
    const int32_t nblock;   // partitions of input per call
    const int32_t npart;    // partitions per impulse response

private:
    friend class Blockworker;

    void release();
    void stop_workers();
    // 'tbuf' of 2 * part samples, 'cbuf' of nchunk * CHUNK bins; each
    // thread brings its own.
    int take_units(float *tbuf, fftwf_complex *cbuf);
    void run_units(float *tbuf, fftwf_complex *cbuf);
    void open_phase(uint32_t phase);
    void join();
    void clear_piece(int32_t u);
    void transform_input(int32_t i, float *tbuf, fftwf_complex *cbuf);
    void multiply_chunks(int32_t u);
    void transform_output(int32_t j, float *tbuf);
    // History slot of input block 'b' of this call (b may be negative:
    // an earlier call's block).
    int32_t slot(int32_t b) const { return (int32_t)((_base + b + 2 * (int64_t)_nring) % _nring); }

    int32_t _nring;      // input spectra kept per input: npart + nblock - 1
    int32_t _nchunk;     // chunks per spectrum
    int32_t _stride;     // bins from one accumulator to the next: nchunk * CHUNK
    int32_t _nunit;      // units of the second phase
    int64_t _spin;       // ns a thread out of units polls before it sleeps
    int32_t _base;       // slot of this call's first block
    int32_t *_slots;     // this call's slot of block b for partition p at p * nblock + b
    void *_specmem;      // every spectrum, in one block
    size_t _specbytes;
    float *_imp;         // chunk c of pair (i, j) partition p at ((c * nout + j) * ninp + i) * npart + p
    float *_inp;         // chunk c of input i slot s at (c * ninp + i) * nring + s
    fftwf_complex *_acc;   // output j block b at (j * nblock + b) * stride, interleaved
    float **_save;         // overlap of each output, 'part' samples
    float *_tbuf;          // the caller's 2 * part samples
    fftwf_complex *_cbuf;  // the caller's nchunk * CHUNK bins
    fftwf_plan _r2c;
    fftwf_plan _c2r;
    Blockkernel _kernel;

    // The phase's number (phase = number % 4) in the high 32 bits, the next
    // unit in the low ones, as in Denseconv.
    std::atomic<uint64_t> _ticket;
    std::atomic<int32_t> _finished;
    std::atomic<bool> _done;     // the cycle's last unit is finished
    sem_t _wake;                 // the caller's: a phase opened, or the cycle is done
    sem_t _gone;
    const float *const *_inpdata;   // borrowed for one call
    float *const *_outdata;
    Blockworker *_workers[MAXTHR];
};

#endif
