#include "mixedconv.h"
#include "handoff.h"

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
            // The rest, shorter than B: one partition of the smallest block
            // that holds it, reading its input late.
            int32_t b = first;
            while (b < rem) b *= 2;
            if ((n > 0) && (segs[n - 1].block == b)) segs[n - 1].count++;
            else segs[n++] = {b, 1, o};
        }
        break;
    }
    return n;
}

namespace {

// Below the JACK client's process thread at JACK's default priority (the
// server runs at 10, its clients' process threads at 5): a background
// thread that held a processor the caller wants would make the period
// longer. Smaller blocks, due sooner, run above larger ones; from the
// fourth block size on they share the lowest priority, and take turns
// (yield()).
const int TOP_PRIORITY = 4;

// How long a thread at the shared priority works before it lets the
// others of its priority have their turn.
const int64_t TURN_NS = 200000;

}  // namespace

// ---------------------------------------------------------------- Mixedconv

Mixedconv::Mixedconv(int32_t ninp_, int32_t nout_, int32_t maxlen_, int32_t period_,
                     int32_t nthread_)
    : Convolver(ninp_, nout_, maxlen_, period_, nthread_), _head(nullptr), _headlen(0), _nseg(0),
      _ringlen(0), _ring(nullptr), _clock(0), _realtime(true), _late(0)
{
    // Programming errors of the caller, who checks user values first.
    assert((ninp > 0) && (ninp <= MAXINP));
    assert((nout > 0) && (nout <= MAXOUT));
    assert((maxlen >= 16) && (maxlen <= MAXLEN_MIXED));
    assert((period > 0) && ((period & (period - 1)) == 0) && (period <= MAXPER));
    assert((nthread > 0) && (nthread <= MAXTHR));

    _nseg = mixed_layout(maxlen, period, &_headlen, _layout);
    for (int32_t k = 0; k < MAXSEG; k++) _segs[k] = nullptr;
    // The ring holds what the most delayed segment still reads while the
    // input of a whole block more is written: offset + P samples.
    _ringlen = period;
    for (int32_t k = 0; k < _nseg; k++) {
        while (_ringlen < _layout[k].offset + period) _ringlen *= 2;
    }
    sem_init(&_gone, 0, 0);
    try {
        _head = new Denseconv(ninp, nout, _headlen, period, nthread);
        _ring = new float *[ninp]();
        for (int32_t i = 0; i < ninp; i++) {
            _ring[i] = static_cast<float *>(fftwf_malloc(_ringlen * sizeof(float)));
            if (!_ring[i]) throw std::bad_alloc();
            memset(_ring[i], 0, _ringlen * sizeof(float));
        }
        const int fifomax = sched_get_priority_max(SCHED_FIFO);
        for (int32_t k = 0; k < _nseg; k++) {
            // The rank of the block size among the layout's sizes.
            int rank = 0;
            for (int32_t b = 1; b < _layout[k].block; b *= 2) {
                for (int32_t q = 0; q < _nseg; q++) {
                    if (_layout[q].block == b) {
                        rank++;
                        break;
                    }
                }
            }
            int prio = TOP_PRIORITY - rank;
            if (prio < 1) prio = 1;
            Segthr *s = new Segthr(this, _layout[k], &_gone);
            s->shared = (prio == 1);
            int rc;
            try {
                rc = s->launch(prio - fifomax);
            }
            catch (...) {
                delete s;   // never started: still ours to free
                throw;
            }
            _segs[k] = s;
            if (rc) _realtime = false;
        }
    }
    catch (...) {
        stop_segments();
        if (_ring) {
            for (int32_t i = 0; i < ninp; i++) fftwf_free(_ring[i]);
            delete[] _ring;
        }
        delete _head;
        sem_destroy(&_gone);
        throw;
    }
    if (!_head->realtime()) _realtime = false;
}

Mixedconv::~Mixedconv()
{
    stop_segments();
    for (int32_t i = 0; i < ninp; i++) fftwf_free(_ring[i]);
    delete[] _ring;
    delete _head;
    sem_destroy(&_gone);
}

void Mixedconv::stop_segments()
{
    int n = 0;
    for (int32_t k = 0; k < MAXSEG; k++) {
        Segthr *s = _segs[k];
        if (!s) continue;
        _segs[k] = nullptr;
        s->stop.store(true, std::memory_order_release);
        sem_post(&s->trig);   // the thread deletes itself; never touch it again
        n++;
    }
    while (n > 0) {
        if (sem_wait(&_gone) == 0) n--;
    }
}

// Waits for the work in flight: afterwards no background thread touches
// the convolver until the next process().
int64_t Mixedconv::late_waits(int32_t k) const
{
    return _segs[k]->late.load(std::memory_order_relaxed);
}

void Mixedconv::settle()
{
    for (int32_t k = 0; k < _nseg; k++) {
        Segthr *s = _segs[k];
        while (s->owed > 0) {
            take_sleeping(&s->done);
            s->owed--;
            s->banked++;
        }
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
    for (int32_t k = 0; k < _nseg; k++) {
        Segthr *s = _segs[k];
        for (int32_t p = 0; p < ninp * nout; p++) s->impspec[p].clear();
    }
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
        Segthr *s = _segs[k];
        if (_clock % s->block) continue;
        const int64_t m = _clock / s->block - 1;
        s->jobs[s->posted++ & 1] = m;
        sem_post(&s->trig);
        s->owed++;
    }
    _head->process(inp, out);
    // Then the results due in this period. Result m of a segment of block
    // B covers the output samples from (m + 2) B - P on, B of them.
    const int64_t t = _clock - P;
    for (int32_t k = 0; k < _nseg; k++) {
        Segthr *s = _segs[k];
        const int64_t q = t - (2 * s->block - P);
        if (q < 0) continue;
        const int64_t m = q / s->block;
        const int32_t off = (int32_t)(q - m * s->block);
        if (off == 0) {
            if (s->banked > 0) {
                s->banked--;
            }
            else {
                if (sem_trywait(&s->done) != 0) {
                    _late.fetch_add(1, std::memory_order_relaxed);
                    s->late.fetch_add(1, std::memory_order_relaxed);
                    take_sleeping(&s->done);
                }
                s->owed--;
            }
        }
        for (int32_t j = 0; j < nout; j++) {
            const float *r = s->result(j, m) + off;
            float *y = out[j];
            for (int32_t u = 0; u < P; u++) y[u] += r[u];
        }
    }
}

// ---------------------------------------------------------------- Segthr

Segthr::Segthr(Mixedconv *conv_, const Mixseg &seg, sem_t *gone_)
    : conv(conv_), block(seg.block), count(seg.count), offset(seg.offset),
      delay(seg.offset - (2 * seg.block - conv_->period)), shared(false), turn(0), stop(false),
      late(0), gone(gone_), owed(0),
      banked(0), posted(0), plan_r2c(nullptr), plan_c2r(nullptr), inpspec(nullptr), impspec(nullptr),
      outbuf(nullptr), tbuf(nullptr), fbuf(nullptr), accumulate(select_accumulate())
{
    jobs[0] = jobs[1] = 0;
    sem_init(&trig, 0, 0);
    sem_init(&done, 0, 0);
    const int32_t ninp = conv->ninp;
    const int32_t nout = conv->nout;
    try {
        tbuf = static_cast<float *>(fftwf_malloc(2 * block * sizeof(float)));
        fbuf = static_cast<fftwf_complex *>(
            fftwf_malloc(MAXGROUP * accstride(block) * sizeof(fftwf_complex)));
        if (!tbuf || !fbuf) throw std::bad_alloc();
        inpspec = new Specset[ninp]();
        for (int32_t i = 0; i < ninp; i++) inpspec[i].init(count, block + 1);
        impspec = new Specset[ninp * nout]();
        for (int32_t p = 0; p < ninp * nout; p++) impspec[p].init(count, block + 1);
        outbuf = new float *[nout]();
        for (int32_t j = 0; j < nout; j++) {
            outbuf[j] = static_cast<float *>(fftwf_malloc(3 * block * sizeof(float)));
            if (!outbuf[j]) throw std::bad_alloc();
        }
        // Plans only ever made here, on the control thread.
        plan_r2c = fftwf_plan_dft_r2c_1d(2 * block, tbuf, inpspec[0].spec[0], FFTW_MEASURE);
        plan_c2r = fftwf_plan_dft_c2r_1d(2 * block, fbuf, tbuf, FFTW_MEASURE);
        if (!plan_r2c || !plan_c2r) throw std::bad_alloc();
    }
    catch (...) {
        release();
        sem_destroy(&done);
        sem_destroy(&trig);
        throw;
    }
    for (int32_t i = 0; i < ninp; i++) inpspec[i].clear();
    for (int32_t p = 0; p < ninp * nout; p++) impspec[p].clear();
    clear();
}

Segthr::~Segthr()
{
    release();
    sem_destroy(&done);
    sem_destroy(&trig);
}

void Segthr::release()
{
    if (plan_r2c) fftwf_destroy_plan(plan_r2c);
    if (plan_c2r) fftwf_destroy_plan(plan_c2r);
    plan_r2c = nullptr;
    plan_c2r = nullptr;
    delete[] inpspec;
    inpspec = nullptr;
    delete[] impspec;
    impspec = nullptr;
    if (outbuf) {
        for (int32_t j = 0; j < conv->nout; j++) fftwf_free(outbuf[j]);
        delete[] outbuf;
        outbuf = nullptr;
    }
    fftwf_free(tbuf);
    fftwf_free(fbuf);
    tbuf = nullptr;
    fbuf = nullptr;
}

int Segthr::launch(int prio)
{
    if (start(SCHED_FIFO, prio, 0) == 0) return 0;
    int rc = start(SCHED_OTHER, 0, 0);
    if (rc) throw std::system_error(rc, std::generic_category(), "segment thread");
    return 1;
}

// Control thread, the thread idle (settled).
void Segthr::clear()
{
    for (int32_t i = 0; i < conv->ninp; i++) inpspec[i].clear();
    for (int32_t j = 0; j < conv->nout; j++) memset(outbuf[j], 0, 3 * block * sizeof(float));
}

// Control thread, the thread idle: the partitions of this segment from
// the first 'length' samples of the response.
void Segthr::load(int32_t inp, int32_t out, const float *data, int32_t length, int32_t stride,
                  float gain)
{
    Specset &set = impspec[out * conv->ninp + inp];
    set.clear();
    const float scale = gain / (float)(2 * block);
    for (int32_t p = 0; p < count; p++) {
        const int32_t a = offset + p * block;
        int32_t k = length - a;
        if (k <= 0) break;
        if (k > block) k = block;
        memset(tbuf, 0, 2 * block * sizeof(float));
        for (int32_t s = 0; s < k; s++) tbuf[s] = data[(long)(a + s) * stride] * scale;
        fftwf_execute_dft_r2c(plan_r2c, tbuf, set.spec[p]);
    }
}

// The work of input block m: its samples m B - delay and on, into the
// spectra ring; every output's sum over inputs and partitions; back to
// the time domain with the overlap of the block before. The sums run in
// the same order as the uniform convolver's. REALTIME-SAFE.
void Segthr::work(int64_t m)
{
    const int32_t ninp = conv->ninp;
    const int32_t nout = conv->nout;
    const int32_t R = conv->_ringlen;
    const int32_t slot = (int32_t)(m % count);
    const int64_t first = m * block - delay;
    const int32_t s0 = (int32_t)(((first % R) + R) % R);
    const int32_t n1 = (R - s0 < block) ? R - s0 : block;
    for (int32_t i = 0; i < ninp; i++) {
        if (stop.load(std::memory_order_relaxed)) return;
        const float *r = conv->_ring[i];
        memcpy(tbuf, r + s0, n1 * sizeof(float));
        memcpy(tbuf + n1, r, (block - n1) * sizeof(float));
        memset(tbuf + block, 0, block * sizeof(float));
        fftwf_execute_dft_r2c(plan_r2c, tbuf, inpspec[i].spec[slot]);
    }
    const int32_t nbin = block + 1;
    const int32_t stride = accstride(block);
    for (int32_t j0 = 0; j0 < nout; j0 += MAXGROUP) {
        if (stop.load(std::memory_order_relaxed)) return;
        const int32_t ng = (nout - j0 < MAXGROUP) ? nout - j0 : MAXGROUP;
        float *acc[MAXGROUP];
        const float *h[MAXGROUP];
        for (int32_t g = 0; g < ng; g++) {
            acc[g] = (float *)(fbuf + g * stride);
            memset(acc[g], 0, nbin * sizeof(fftwf_complex));
        }
        for (int32_t i = 0; i < ninp; i++) {
            yield();
            fftwf_complex *const *xs = inpspec[i].spec;
            int32_t s = slot;
            for (int32_t p = 0; p < count; p++) {
                for (int32_t g = 0; g < ng; g++) h[g] = (const float *)impspec[(j0 + g) * ninp + i].spec[p];
                accumulate(acc, ng, (const float *)xs[s], h, nbin);
                if (--s < 0) s = count - 1;
            }
        }
        for (int32_t g = 0; g < ng; g++) {
            fftwf_execute_dft_c2r(plan_c2r, fbuf + g * stride, tbuf);
            float *res = result(j0 + g, m);
            float *save = outbuf[j0 + g];
            for (int32_t u = 0; u < block; u++) res[u] = save[u] + tbuf[u];
            memcpy(save, tbuf + block, block * sizeof(float));
        }
    }
}

// A thread at the shared priority gives its processor to the others of
// that priority once it has worked for TURN_NS: FIFO scheduling would let
// a long block's work hold back a shorter one that is due sooner.
// REALTIME-SAFE (a system call, no lock).
void Segthr::yield()
{
    if (!shared) return;
    const int64_t t = now_ns();
    if (t - turn < TURN_NS) return;
    sched_yield();
    turn = now_ns();
}

void Segthr::run()
{
    // A name for tools that show threads (and for the deadline benchmark,
    // which measures the background's load by it).
    pthread_setname_np(pthread_self(), "tess-bg");
    int64_t taken = 0;
    while (true) {
        take_sleeping(&trig);
        if (stop.load(std::memory_order_acquire)) break;
        turn = now_ns();
        work(jobs[taken++ & 1]);
        sem_post(&done);
    }
    sem_t *g = gone;
    delete this;
    sem_post(g);   // from here on nothing of this thread or its convolver is used
}
