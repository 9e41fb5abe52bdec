#include "mixedconv.h"
#include "handoff.h"
#include "mixedseg.h"

#include <assert.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <time.h>

#include <new>
#include <system_error>

// ---------------------------------------------------------------- layout

namespace {

// The smallest background block, unless the period is longer: 5.3 ms at
// 48 kHz, more than the wake-up delays of a busy machine.
const int32_t FIRST_BLOCK = 256;

}  // namespace

int32_t mixed_layout(int32_t maxlen, int32_t period, int32_t *head, Mixseg *segs)
{
    const int32_t P = period;
    // The smallest block's work, posted when its input block is complete,
    // is due one block later. A short period is shorter than the wake-up
    // delays of a busy machine, so the smallest block is FIRST_BLOCK
    // samples (or the period, if longer): periods that start late (and the
    // ones that follow at once) still find the work done. The head covers
    // what comes before the first segment can start: 2B - P.
    const int32_t first = (P < FIRST_BLOCK) ? FIRST_BLOCK : P;
    int32_t h = 2 * first - P;
    if (h < 16) h = 16;
    if (h > maxlen) h = maxlen;
    *head = h;
    int32_t n = 0;
    int32_t o = h;
    int32_t B = first;
    // Two partitions per block size, doubling: a segment of block B at
    // o = 2B - P ends at 4B - P, where one of block 2B may start.
    while ((o < maxlen) && (n < MAXSEG - 2)) {
        int32_t rem = maxlen - o;
        if ((B < MIXBLOCK) && (rem > 2 * B)) {
            segs[n++] = {B, 2, o};
            o += 2 * B;
            B *= 2;
            continue;
        }
        int32_t k = rem / B;
        if (k > 0) {
            segs[n++] = {B, k, o};
            o += k * B;
            rem -= k * B;
        }
        if (rem > 0) {
            // The rest, shorter than B: one more partition of the last
            // segment if it holds it (no transforms of its own, and due as
            // late as that segment's work; a segment of the smallest block
            // would be due as soon as the first one), else one partition
            // of B, which may start here.
            if ((n > 0) && (rem <= segs[n - 1].block)) segs[n - 1].count++;
            else segs[n++] = {B, 1, o};
        }
        break;
    }
    return n;
}

namespace {

// Below the JACK client's process thread at JACK's default priority (the
// server runs at 10, its clients' process threads at 5): a background
// thread that held a processor the caller wants would make the period
// longer.
const int POOL_PRIORITY = 4;

}  // namespace

// ---------------------------------------------------------------- Mixedconv

Mixedconv::Mixedconv(int32_t ninp_, int32_t nout_, int32_t maxlen_, int32_t period_,
                     int32_t nthread_)
    : Convolver(ninp_, nout_, maxlen_, period_, nthread_), _head(nullptr), _headlen(0), _nseg(0),
      _ringlen(0), _ring(nullptr), _clock(0), _realtime(true), _late(0), _nworker(0),
      _tbuf(nullptr), _fbuf(nullptr), _stop(false),
      _sleepers(0)
{
    // Programming errors of the caller, who checks user values first.
    assert((ninp > 0) && (ninp <= MAXINP));
    assert((nout > 0) && (nout <= MAXOUT));
    assert((maxlen >= 16) && (maxlen <= MAXLEN_MIXED));
    assert((period > 0) && ((period & (period - 1)) == 0) && (period <= MAXPER));
    assert((nthread > 0) && (nthread <= MAXTHR));

    _nseg = mixed_layout(maxlen, period, &_headlen, _layout);
    for (int32_t k = 0; k < MAXSEG; k++) _segs[k] = nullptr;
    for (int32_t w = 0; w < MAXTHR; w++) _workers[w] = nullptr;
    // The ring holds what the most delayed segment still reads while the
    // input of a whole block more is written: offset + P samples.
    _ringlen = period;
    for (int32_t k = 0; k < _nseg; k++) {
        while (_ringlen < _layout[k].offset + period) _ringlen *= 2;
    }
    sem_init(&_wake, 0, 0);
    sem_init(&_gone, 0, 0);
    try {
        _head = new Denseconv(ninp, nout, _headlen, period, nthread);
        _ring = new float *[ninp]();
        for (int32_t i = 0; i < ninp; i++) {
            _ring[i] = static_cast<float *>(fftwf_malloc(_ringlen * sizeof(float)));
            if (!_ring[i]) throw std::bad_alloc();
            memset(_ring[i], 0, _ringlen * sizeof(float));
        }
        int32_t maxblock = 0;
        for (int32_t k = 0; k < _nseg; k++) {
            _segs[k] = new Segment(this, _layout[k]);
            if (_layout[k].block > maxblock) maxblock = _layout[k].block;
        }
        if (_nseg > 0) {
            _tbuf = static_cast<float *>(fftwf_malloc(2 * maxblock * sizeof(float)));
            _fbuf = static_cast<fftwf_complex *>(
                fftwf_malloc(MAXGROUP * accstride(maxblock) * sizeof(fftwf_complex)));
            if (!_tbuf || !_fbuf) throw std::bad_alloc();
        }
        // One pool thread per processor: the work of one block is shared
        // by all that are free.
        int32_t n = (_nseg > 0) ? processors() : 0;
        if (n > MAXTHR) n = MAXTHR;
        const int fifomax = sched_get_priority_max(SCHED_FIFO);
        for (int32_t w = 0; w < n; w++) {
            Bgworker *b = new Bgworker(this, maxblock);
            int rc;
            try {
                rc = b->launch(POOL_PRIORITY - fifomax);
            }
            catch (...) {
                delete b;   // never started: still ours to free
                throw;
            }
            _workers[_nworker++] = b;
            if (rc) _realtime = false;
        }
    }
    catch (...) {
        stop_workers();
        release();
        throw;
    }
    if (!_head->realtime()) _realtime = false;
}

Mixedconv::~Mixedconv()
{
    stop_workers();
    release();
}

void Mixedconv::release()
{
    for (int32_t k = 0; k < MAXSEG; k++) {
        delete _segs[k];
        _segs[k] = nullptr;
    }
    if (_ring) {
        for (int32_t i = 0; i < ninp; i++) fftwf_free(_ring[i]);
        delete[] _ring;
        _ring = nullptr;
    }
    delete _head;
    _head = nullptr;
    fftwf_free(_tbuf);
    fftwf_free(_fbuf);
    _tbuf = nullptr;
    _fbuf = nullptr;
    sem_destroy(&_gone);
    sem_destroy(&_wake);
}

// The pool threads end after the unit each is running; jobs in flight are
// left as they are.
void Mixedconv::stop_workers()
{
    _stop.store(true, std::memory_order_seq_cst);
    for (int32_t w = 0; w < _nworker; w++) sem_post(&_wake);
    for (int32_t w = 0; w < _nworker; w++) take_sleeping(&_gone);   // each thread deletes itself
    _nworker = 0;
}

int64_t Mixedconv::late_waits(int32_t k) const
{
    return _segs[k]->late.load(std::memory_order_relaxed);
}

// Waits for the work in flight: afterwards no pool thread touches the
// convolver's storage until the next process().
void Mixedconv::settle()
{
    for (int32_t k = 0; k < _nseg; k++) {
        Segment *s = _segs[k];
        while (s->owed > 0) {
            take_sleeping(&s->done);
            s->owed--;
            s->banked++;
        }
    }
}

Segment *Mixedconv::next_job()
{
    Segment *best = nullptr;
    int64_t due = 0;
    for (int32_t k = 0; k < _nseg; k++) {
        Segment *s = _segs[k];
        if (!s->has_unit()) continue;
        const int64_t d = s->due();
        if (!best || (d < due)) {
            best = s;
            due = d;
        }
    }
    return best;
}

// Each count of _sleepers is a thread that has gone, or is going, to sleep
// on _wake and not been woken yet; a thread that finds work after all
// takes its count back, or else the post made for it.
void Mixedconv::wake(int32_t n)
{
    for (int32_t k = 0; k < n; k++) {
        int32_t s = _sleepers.load(std::memory_order_seq_cst);
        do {
            if (s <= 0) return;
        } while (!_sleepers.compare_exchange_weak(s, s - 1, std::memory_order_seq_cst));
        sem_post(&_wake);
    }
}

int Mixedconv::set_impulse(int32_t inp, int32_t out, const float *data, int32_t length,
                           int32_t stride, float gain)
{
    if ((inp < 0) || (inp >= ninp) || (out < 0) || (out >= nout)) return 1;
    settle();
    int32_t n = (length < maxlen) ? length : maxlen;
    _head->set_impulse(inp, out, data, (n < _headlen) ? n : _headlen, stride, gain);
    for (int32_t k = 0; k < _nseg; k++) _segs[k]->load(inp, out, data, n, stride, gain);
    return 0;
}

void Mixedconv::clear_impulses()
{
    settle();
    _head->clear_impulses();
    for (int32_t k = 0; k < _nseg; k++) _segs[k]->clear_impulses();
}

void Mixedconv::reset()
{
    settle();
    _head->reset();
    for (int32_t i = 0; i < ninp; i++) memset(_ring[i], 0, _ringlen * sizeof(float));
    // The blocks start again from the first sample, as in a new convolver;
    // the results settled above are cleared with the rest.
    for (int32_t k = 0; k < _nseg; k++) {
        _segs[k]->clear();
        _segs[k]->banked = 0;
    }
    _clock = 0;
}

void Mixedconv::process(const float *const *inp, float *const *out)
{
    const int32_t P = period;
    const int64_t pos = _clock & (_ringlen - 1);
    for (int32_t i = 0; i < ninp; i++) memcpy(_ring[i] + pos, inp[i], P * sizeof(float));
    _clock += P;
    // Input blocks completed by this period go to their segments.
    for (int32_t k = 0; k < _nseg; k++) {
        Segment *s = _segs[k];
        if (_clock % s->block) continue;
        s->post(_clock / s->block - 1);
    }
    _head->process(inp, out);
    // Then the results due in this period. Result m of a segment of block
    // B covers the output samples from (m + 2) B - P on, B of them.
    const int64_t t = _clock - P;
    for (int32_t k = 0; k < _nseg; k++) {
        Segment *s = _segs[k];
        const int64_t q = t - (2 * s->block - P);
        if (q < 0) continue;
        const int64_t m = q / s->block;
        const int32_t off = (int32_t)(q - m * s->block);
        if (off == 0) {
            if (s->banked > 0) {
                s->banked--;
            }
            else {
                if (s->take_result(_tbuf, _fbuf)) {
                    _late.fetch_add(1, std::memory_order_relaxed);
                    s->late.fetch_add(1, std::memory_order_relaxed);
                }
            }
        }
        for (int32_t j = 0; j < nout; j++) {
            const float *r = s->result(j, m) + off;
            float *y = out[j];
            for (int32_t u = 0; u < P; u++) y[u] += r[u];
        }
    }
}

// ---------------------------------------------------------------- Bgworker

Bgworker::Bgworker(Mixedconv *conv_, int32_t maxblock)
    : conv(conv_), tbuf(nullptr), fbuf(nullptr)
{
    tbuf = static_cast<float *>(fftwf_malloc(2 * maxblock * sizeof(float)));
    fbuf = static_cast<fftwf_complex *>(
        fftwf_malloc(MAXGROUP * accstride(maxblock) * sizeof(fftwf_complex)));
    if (!tbuf || !fbuf) {
        fftwf_free(tbuf);
        fftwf_free(fbuf);
        throw std::bad_alloc();
    }
}

Bgworker::~Bgworker()
{
    fftwf_free(tbuf);
    fftwf_free(fbuf);
}

int Bgworker::launch(int prio)
{
    if (start(SCHED_FIFO, prio, 0) == 0) return 0;
    int rc = start(SCHED_OTHER, 0, 0);
    if (rc) throw std::system_error(rc, std::generic_category(), "background thread");
    return 1;
}

void Bgworker::run()
{
    // A name for tools that show threads (and for the deadline benchmark,
    // which measures the background's load by it).
    pthread_setname_np(pthread_self(), "tess-bg");
    while (!conv->_stop.load(std::memory_order_acquire)) {
        if (Segment *s = conv->next_job()) {
            s->run_unit(tbuf, fbuf);
            continue;
        }
        conv->_sleepers.fetch_add(1, std::memory_order_seq_cst);
        if (conv->next_job() || conv->_stop.load(std::memory_order_seq_cst)) {
            // Work came, or the end: take the count back, or the post
            // already made for it.
            int32_t n = conv->_sleepers.load(std::memory_order_seq_cst);
            bool back = false;
            while ((n > 0) && !(back = conv->_sleepers.compare_exchange_weak(n, n - 1))) {}
            if (!back) take_sleeping(&conv->_wake);
            continue;
        }
        take_sleeping(&conv->_wake);
    }
    sem_t *g = &conv->_gone;
    delete this;
    sem_post(g);   // from here on nothing of this thread or its convolver is used
}
