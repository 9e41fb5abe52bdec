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

// Most products of bins in one unit of the second phase: outputs are
// grouped (MAXGROUP at most) up to this, so that a unit of a large block
// holds back the work of a smaller one, due sooner, by about 0.2 ms at
// most.
const int64_t UNIT_PRODUCTS = 1 << 20;

// Most units of the first phase: the input transforms are short.
const int32_t FFT_UNITS = 8;

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

// ---------------------------------------------------------------- Segment

Segment::Segment(Mixedconv *conv_, const Mixseg &seg)
    : block(seg.block), count(seg.count), offset(seg.offset),
      delay(seg.offset - (2 * seg.block - conv_->period)), late(0), owed(0), banked(0),
      conv(conv_), _nfft(0), _nsum(0), _group(MAXGROUP), _m(0), _ticket(0x7fffffff), _finished(0),
      _posted(0), _completed(0), _opened(0), _due(0), plan_r2c(nullptr), plan_c2r(nullptr),
      inpspec(nullptr), impspec(nullptr), outbuf(nullptr), lbuf(nullptr),
      accumulate(select_accumulate())
{
    jobs[0] = jobs[1] = 0;
    const int32_t ninp = conv->ninp;
    const int32_t nout = conv->nout;
    while ((_group > 1) && ((int64_t)_group * ninp * count * (block + 1) > UNIT_PRODUCTS)) _group--;
    _nsum = (nout + _group - 1) / _group;
    _nfft = (ninp < FFT_UNITS) ? ninp : FFT_UNITS;
    sem_init(&done, 0, 0);
    fftwf_complex *cbuf = nullptr;
    try {
        lbuf = static_cast<float *>(fftwf_malloc(2 * block * sizeof(float)));
        cbuf = static_cast<fftwf_complex *>(fftwf_malloc((block + 1) * sizeof(fftwf_complex)));
        if (!lbuf || !cbuf) throw std::bad_alloc();
        inpspec = new Specset[ninp]();
        for (int32_t i = 0; i < ninp; i++) inpspec[i].init(count, block + 1);
        impspec = new Specset[ninp * nout]();
        for (int32_t p = 0; p < ninp * nout; p++) impspec[p].init(count, block + 1);
        outbuf = new float *[nout]();
        for (int32_t j = 0; j < nout; j++) {
            outbuf[j] = static_cast<float *>(fftwf_malloc(3 * block * sizeof(float)));
            if (!outbuf[j]) throw std::bad_alloc();
        }
        // Plans only ever made here, on the control thread; the pool
        // threads run them on their own buffers, aligned alike.
        plan_r2c = fftwf_plan_dft_r2c_1d(2 * block, lbuf, inpspec[0].spec[0], FFTW_MEASURE);
        plan_c2r = fftwf_plan_dft_c2r_1d(2 * block, cbuf, lbuf, FFTW_MEASURE);
        if (!plan_r2c || !plan_c2r) throw std::bad_alloc();
    }
    catch (...) {
        fftwf_free(cbuf);
        release();
        sem_destroy(&done);
        throw;
    }
    fftwf_free(cbuf);
    clear_impulses();
    clear();
}

Segment::~Segment()
{
    release();
    sem_destroy(&done);
}

void Segment::release()
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
    fftwf_free(lbuf);
    lbuf = nullptr;
}

void Segment::clear_impulses()
{
    for (int32_t p = 0; p < conv->ninp * conv->nout; p++) impspec[p].clear();
}

void Segment::clear()
{
    for (int32_t i = 0; i < conv->ninp; i++) inpspec[i].clear();
    for (int32_t j = 0; j < conv->nout; j++) memset(outbuf[j], 0, 3 * block * sizeof(float));
}

// The partitions of this segment from the first 'length' samples of the
// response.
void Segment::load(int32_t inp, int32_t out, const float *data, int32_t length, int32_t stride,
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
        memset(lbuf, 0, 2 * block * sizeof(float));
        for (int32_t s = 0; s < k; s++) lbuf[s] = data[(long)(a + s) * stride] * scale;
        fftwf_execute_dft_r2c(plan_r2c, lbuf, set.spec[p]);
    }
}

// Jobs open one after another: the next when the one before is finished
// and it has been posted, by whichever of the caller (posting) and the pool
// thread (finishing) comes last.
void Segment::post(int64_t m)
{
    const int64_t n = _posted.load(std::memory_order_relaxed);   // written by the caller only
    jobs[n & 1] = m;
    _posted.store(n + 1, std::memory_order_seq_cst);
    owed++;
    try_open();
}

void Segment::try_open()
{
    const int64_t c = _completed.load(std::memory_order_seq_cst);
    if (_posted.load(std::memory_order_seq_cst) <= c) return;
    int64_t e = c;
    if (!_opened.compare_exchange_strong(e, c + 1, std::memory_order_seq_cst)) return;
    _m = jobs[c & 1];
    _due.store((_m + 2) * block, std::memory_order_relaxed);
    const uint32_t gen = (uint32_t)(_ticket.load(std::memory_order_relaxed) >> 32) + 1;   // odd
    _ticket.store((uint64_t)gen << 32, std::memory_order_release);
    conv->wake(conv->_nworker);
}

bool Segment::take_result(float *tbuf, fftwf_complex *fbuf)
{
    owed--;
    if (sem_trywait(&done) == 0) return false;
    // Late: the job posted first is the one open now (jobs open in order).
    while (run_unit(tbuf, fbuf)) {
        if (sem_trywait(&done) == 0) return true;
    }
    take_sleeping(&done);
    return true;
}

bool Segment::has_unit() const
{
    const uint64_t t = _ticket.load(std::memory_order_acquire);
    return (int64_t)(uint32_t)t < units((uint32_t)(t >> 32));
}

bool Segment::run_unit(float *tbuf, fftwf_complex *fbuf)
{
    const uint64_t t = _ticket.fetch_add(1, std::memory_order_acq_rel);
    const uint32_t gen = (uint32_t)(t >> 32);
    const int32_t n = units(gen);
    if ((int64_t)(uint32_t)t >= n) return false;
    const int32_t u = (int32_t)(uint32_t)t;
    if (gen & 1) transform_inputs(u, tbuf);
    else compute_outputs(u, tbuf, fbuf);
    if (_finished.fetch_add(1, std::memory_order_acq_rel) + 1 < n) return true;
    // The phase's last unit: open the next phase, or finish the job.
    _finished.store(0, std::memory_order_relaxed);
    if (gen & 1) {
        _ticket.store((uint64_t)(gen + 1) << 32, std::memory_order_release);
        conv->wake(conv->_nworker);
        return true;
    }
    _completed.fetch_add(1, std::memory_order_seq_cst);
    sem_post(&done);
    try_open();
    return true;
}

// The input samples of block _m, (_m) B - delay on, into the spectra ring,
// for the inputs of unit u.
void Segment::transform_inputs(int32_t u, float *tbuf)
{
    const int32_t ninp = conv->ninp;
    const int32_t R = conv->_ringlen;
    const int32_t slot = (int32_t)(_m % count);
    const int64_t first = _m * block - delay;
    const int32_t s0 = (int32_t)(((first % R) + R) % R);
    const int32_t n1 = (R - s0 < block) ? R - s0 : block;
    const int32_t i1 = (int32_t)((int64_t)(u + 1) * ninp / _nfft);
    for (int32_t i = (int32_t)((int64_t)u * ninp / _nfft); i < i1; i++) {
        const float *r = conv->_ring[i];
        memcpy(tbuf, r + s0, n1 * sizeof(float));
        memcpy(tbuf + n1, r, (block - n1) * sizeof(float));
        memset(tbuf + block, 0, block * sizeof(float));
        fftwf_execute_dft_r2c(plan_r2c, tbuf, inpspec[i].spec[slot]);
    }
}

// For the outputs of unit u: the sum over inputs and partitions, in the
// same order as the uniform convolver's; back to the time domain with the
// overlap of the block before.
void Segment::compute_outputs(int32_t u, float *tbuf, fftwf_complex *fbuf)
{
    const int32_t ninp = conv->ninp;
    const int32_t nout = conv->nout;
    const int32_t slot = (int32_t)(_m % count);
    const int32_t nbin = block + 1;
    const int32_t stride = accstride(block);
    const int32_t j0 = u * _group;
    const int32_t ng = (nout - j0 < _group) ? nout - j0 : _group;
    float *acc[MAXGROUP];
    const float *h[MAXGROUP];
    for (int32_t g = 0; g < ng; g++) {
        acc[g] = (float *)(fbuf + g * stride);
        memset(acc[g], 0, nbin * sizeof(fftwf_complex));
    }
    for (int32_t i = 0; i < ninp; i++) {
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
        float *res = result(j0 + g, _m);
        float *save = outbuf[j0 + g];
        for (int32_t v = 0; v < block; v++) res[v] = save[v] + tbuf[v];
        memcpy(save, tbuf + block, block * sizeof(float));
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
