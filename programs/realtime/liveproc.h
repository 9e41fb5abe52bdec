// The work of one JACK period around the convolver: live trims per input
// and per output and mutes per output, ramped over one period; the switch
// to a reloaded convolver, which first runs beside the old one until its
// input history is full (the preroll) and then takes over through a linear
// crossfade; and the meters the operator reads (peaks, samples above full
// scale, the callback's share of the period, xruns).
//
// Threads and realtime safety:
// - Main thread, before processing starts: init(), set_convolver(),
//   set_crossfade(). Not realtime-safe (init() allocates).
// - JACK's process thread: process(). REALTIME-SAFE: no allocation, no
//   lock, no output; it only calls Convolver::process() and the clock.
// - One control thread at a time (the reload thread): offer() and
//   take_retired(). Lock-free, never waits.
// - Any thread, also JACK's notification threads: the trim and mute
//   setters, count_xrun() and meters(). Lock-free atomics only.
//
// Hand-off of convolvers: offer() puts a new convolver in a single slot,
// which the process callback empties when it adopts it (only while no
// switch is under way). At the end of the crossfade the callback puts the
// old convolver in a second slot, from which take_retired() takes it; only
// then may the old one be destroyed, and only then may the next offer be
// made. The slots are atomic pointers with release stores and acquire
// loads, so a convolver built on the control thread is complete when the
// callback first sees it.

#ifndef TESS_LIVEPROC_H
#define TESS_LIVEPROC_H

#include <atomic>
#include <stdint.h>

#include "convolver.h"

// The figures of meters(), all since init().
struct Livemeters
{
    double seconds;       // time since init()
    long xruns;           // xruns JACK reported
    double load_avg;      // share of the period spent in the callback, 0..1 and beyond
    double load_max;      // the largest share of one period
    long late_waits;      // periods that waited for late background work, over
                          // every convolver run so far (0 for engines without)
    uint32_t nout;
    float peak[MAXOUT];   // largest absolute output sample (after trims)
    uint64_t over[MAXOUT];   // output samples above full scale (|x| > 1)
};

class Liveproc
{
public:
    enum { OFFER_OK = 0, OFFER_BUSY = 1 };
    enum { DEFAULT_CROSSFADE_MS = 50 };

    Liveproc();
    ~Liveproc();
    Liveproc(const Liveproc &) = delete;
    Liveproc &operator=(const Liveproc &) = delete;

    // Allocates the scratch buffers for 'ninp' inputs and 'nout' outputs
    // of 'period' frames at 'rate'. Returns 0, or 1 when there is no
    // memory (nothing is kept then). Main thread, once, before processing.
    int init(uint32_t ninp, uint32_t nout, uint32_t period, uint32_t rate);
    // The crossfade of a switch, in milliseconds (0: the new convolver
    // takes over at a period boundary). Main thread, before processing.
    void set_crossfade(uint32_t ms) { _xfade_ms = ms; }
    // The convolver processing starts with (borrowed). Main thread, before
    // processing.
    void set_convolver(Convolver *convolver) { _cur = convolver; }

    // One period: 'inp' holds ninp blocks, 'out' nout blocks of 'period'
    // frames (distinct memory). REALTIME.
    void process(const float *const *inp, float *const *out);

    // Offers 'convolver' (same counts and period) to the process callback,
    // which runs it 'preroll' periods beside the running one before the
    // crossfade. OFFER_BUSY when an offer or a retired convolver is still
    // pending. Control thread.
    int offer(Convolver *convolver, uint32_t preroll);
    // The convolver that a finished switch replaced, or null. Control
    // thread.
    Convolver *take_retired();

    // Trims as linear gains; out-of-range channels are ignored. Any thread.
    void set_input_trim(uint32_t inp, float gain);
    void set_output_trim(uint32_t out, float gain);
    void set_output_mute(uint32_t out, bool mute);
    float input_trim(uint32_t inp) const;
    float output_trim(uint32_t out) const;
    bool output_muted(uint32_t out) const;

    // Called by JACK's xrun notification. Any thread.
    void count_xrun() { _xruns.fetch_add(1, std::memory_order_relaxed); }
    void meters(Livemeters *m) const;

    uint32_t ninp() const { return _ninp; }
    uint32_t nout() const { return _nout; }

private:
    enum { PHASE_RUN, PHASE_PREROLL, PHASE_FADE };

    void fade(float *const *out);              // REALTIME
    void apply_output_gains(float *const *out);   // REALTIME
    void measure(float *const *out);           // REALTIME

    uint32_t _ninp, _nout, _period, _rate, _xfade_ms;
    double _start;       // monotonic seconds at init()
    float *_memory;      // the scratch buffers below, in one block
    float *_iscratch[MAXINP];
    float *_oscratch[MAXOUT];

    // Control side to process callback.
    std::atomic<Convolver *> _incoming;
    std::atomic<uint32_t> _incoming_preroll;
    std::atomic<Convolver *> _retired;
    std::atomic<float> _itrim[MAXINP];
    std::atomic<float> _otrim[MAXOUT];
    std::atomic<bool> _omute[MAXOUT];

    // Process callback only.
    Convolver *_cur;
    Convolver *_next;
    int _phase;
    uint32_t _preroll_left;
    uint32_t _xpos;      // frames of the crossfade done
    uint32_t _xlen;      // frames of the crossfade
    float _igain[MAXINP];   // gains reached at the end of the last period
    float _ogain[MAXOUT];

    // Process callback (single writer) to any reader.
    std::atomic<float> _peak[MAXOUT];
    std::atomic<uint64_t> _over[MAXOUT];
    std::atomic<uint64_t> _busy_ns;
    std::atomic<uint64_t> _cycles;
    std::atomic<float> _load_max;
    std::atomic<long> _xruns;
    std::atomic<long> _late;     // late waits of the running convolvers and the retired ones
    long _late_retired;          // process callback only: of the retired ones
};

static_assert(std::atomic<Convolver *>::is_always_lock_free && std::atomic<float>::is_always_lock_free &&
                  std::atomic<uint64_t>::is_always_lock_free && std::atomic<long>::is_always_lock_free,
              "the live controls must be lock-free atomics");

#endif
