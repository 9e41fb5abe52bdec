#include "blockconv.h"

#include <assert.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include <new>
#include <system_error>

#include "denseconv.h"
#include "handoff.h"
#include "pxthread.h"

namespace {

// Units of the second phase per thread, so that the last ones even out the
// threads' shares.
const int32_t UNITS_PER_THREAD = 16;

// How long a thread that has run out of units polls for the next phase
// before it sleeps: a phase's units end unevenly, and the other thread is
// seldom longer than this behind. Only where every thread has a processor
// of its own: a thread that polls must not hold one that another thread
// needs for a unit.
const int64_t SPIN_NS = 100000;

// A transform's output, padded with zero bins to whole chunks: the
// transforms never write the padding, which multiplies zeros.
fftwf_complex *alloc_cbuf(int32_t nchunk)
{
    const size_t n = (size_t)nchunk * CHUNK;
    fftwf_complex *c = static_cast<fftwf_complex *>(fftwf_malloc(n * sizeof(fftwf_complex)));
    if (c) memset(c, 0, n * sizeof(fftwf_complex));
    return c;
}

// Bins c * CHUNK .. of 'spec' as chunk 'dst': real parts, then imaginary.
inline void split_chunk(const fftwf_complex *spec, int32_t c, float *dst)
{
    const fftwf_complex *z = spec + (size_t)c * CHUNK;
    for (int k = 0; k < CHUNK; k++) {
        dst[k] = z[k][0];
        dst[CHUNK + k] = z[k][1];
    }
}

// The same into memory that is not read again soon: the impulse-response
// spectra, a chunk per 64-byte line far apart from the next. Streaming
// stores write whole lines without reading them from memory first, which
// halves the memory traffic of loading a matrix. Needs publish_chunks()
// before other threads read them.
inline void split_chunk_far(const fftwf_complex *spec, int32_t c, float *dst)
{
#if defined(__SSE__)
    static_assert(CHUNK == 8, "a chunk is four groups of four floats");
    const float *z = reinterpret_cast<const float *>(spec + (size_t)c * CHUNK);
    for (int k = 0; k < CHUNK; k += 4) {
        const __m128 a = _mm_loadu_ps(z + 2 * k);
        const __m128 b = _mm_loadu_ps(z + 2 * k + 4);
        _mm_stream_ps(dst + k, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_stream_ps(dst + CHUNK + k, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    }
#else
    split_chunk(spec, c, dst);
#endif
}

// Orders the streaming stores before whatever the thread writes next.
inline void publish_chunks()
{
#if defined(__SSE__)
    _mm_sfence();
#endif
}

// The phase of a ticket's number: inputs, chunks, outputs.
enum
{
    PH_INPUTS = 0,
    PH_CHUNKS = 1,
    PH_OUTPUTS = 2,
    PH_CLEAR = 3   // construction only: the spectra zeroed, a piece per unit
};

// Bytes of spectrum memory zeroed per unit of the clearing phase: the
// first touch of fresh memory is slow on virtual machines, and goes
// faster shared by the threads.
const size_t CLEAR_BYTES = 2u << 20;

}  // namespace

// ---------------------------------------------------------------- Blockworker

// One worker of a Blockconv; deletes itself when stopped.
class Blockworker : public Pxthread
{
public:
    Blockworker(Blockconv *conv_, sem_t *gone_) : conv(conv_), stop(false), gone(gone_)
    {
        sem_init(&trig, 0, 0);
        tbuf = static_cast<float *>(fftwf_malloc(2 * conv->part * sizeof(float)));
        cbuf = alloc_cbuf(conv->_nchunk);
        if (!tbuf || !cbuf) {
            fftwf_free(tbuf);
            fftwf_free(cbuf);
            sem_destroy(&trig);
            throw std::bad_alloc();
        }
    }
    ~Blockworker()
    {
        fftwf_free(tbuf);
        fftwf_free(cbuf);
        sem_destroy(&trig);
    }

    void run() override
    {
        take_sleeping(&trig);
        while (!stop.load()) {
            // A wake-up may be left over from a phase that the other
            // threads finished without this one: it then finds no unit.
            conv->run_units(tbuf, cbuf);
            take_polling(&trig, now_ns() + conv->_spin);
        }
        sem_t *g = gone;
        delete this;
        sem_post(g);   // nothing of this worker or its convolver is used from here on
    }

    Blockconv *conv;
    sem_t trig;
    std::atomic<bool> stop;
    sem_t *gone;
    float *tbuf;
    fftwf_complex *cbuf;
};

// ---------------------------------------------------------------- Blockconv

Blockconv::Blockconv(int32_t ninp_, int32_t nout_, int32_t maxlen_, int32_t part_, int32_t nblock_,
                     int32_t nthread_)
    : Convolver(ninp_, nout_, maxlen_, part_ * nblock_, nthread_), part(part_), nblock(nblock_),
      npart((maxlen_ + part_ - 1) / part_), _nring(0), _nchunk(0), _stride(0), _nunit(0), _spin(0), _base(0),
      _slots(nullptr), _specmem(nullptr), _specbytes(0), _imp(nullptr), _inp(nullptr), _acc(nullptr), _save(nullptr),
      _tbuf(nullptr), _cbuf(nullptr), _r2c(nullptr), _c2r(nullptr), _kernel(select_blockkernel()), _ticket(((uint64_t)PH_OUTPUTS << 32) | 0xFFFFFFFFu),
      _finished(0), _done(true), _inpdata(nullptr), _outdata(nullptr)
{
    assert((ninp > 0) && (ninp <= MAXINP));
    assert((nout > 0) && (nout <= MAXOUT));
    assert((part >= 16) && ((part & (part - 1)) == 0) && (part <= MAXPER));
    assert((nblock >= 1) && (maxlen >= 16));
    assert((nthread > 0) && (nthread <= MAXTHR));
    for (int32_t k = 0; k < MAXTHR; k++) _workers[k] = nullptr;

    _nring = npart + nblock - 1;
    _nchunk = (part + 1 + CHUNK - 1) / CHUNK;
    _stride = _nchunk * CHUNK;
    _spin = (nthread <= processors()) ? SPIN_NS : 0;
    _nunit = UNITS_PER_THREAD * nthread;
    if (_nunit > _nchunk) _nunit = _nchunk;

    sem_init(&_wake, 0, 0);
    sem_init(&_gone, 0, 0);
    try {
        // The impulse-response spectra chunk by chunk (in the order the
        // second phase reads them, one stream), then the input history and
        // the accumulators; every chunk on a 64-byte line.
        const size_t nimp = (size_t)_nchunk * nout * ninp * npart * CHUNK_FLOATS;
        const size_t ninpspec = (size_t)_nchunk * ninp * _nring * CHUNK_FLOATS;
        const size_t nacc = (size_t)nout * nblock * _stride;
        _specbytes = (nimp + ninpspec) * sizeof(float) + nacc * sizeof(fftwf_complex);
        _specmem = spectrum_memory(_specbytes);
        _imp = static_cast<float *>(_specmem);
        _inp = _imp + nimp;
        _acc = reinterpret_cast<fftwf_complex *>(_inp + ninpspec);
        _slots = new int32_t[(size_t)npart * nblock];
        _save = new float *[nout]();
        for (int32_t j = 0; j < nout; j++) _save[j] = new float[part]();
        _tbuf = static_cast<float *>(fftwf_malloc(2 * part * sizeof(float)));
        _cbuf = alloc_cbuf(_nchunk);
        if (!_tbuf || !_cbuf) throw std::bad_alloc();
        // FFTW's planner is not thread-safe; plans are only made here.
        _r2c = fftwf_plan_dft_r2c_1d(2 * part, _tbuf, _cbuf, FFTW_MEASURE);
        _c2r = fftwf_plan_dft_c2r_1d(2 * part, _acc, _tbuf, FFTW_MEASURE);
        if (!_r2c || !_c2r) throw std::bad_alloc();
        for (int32_t k = 0; k + 1 < nthread; k++) {
            Blockworker *w = new Blockworker(this, &_gone);
            const int rc = w->start(SCHED_OTHER, 0, 0);
            if (rc) {
                delete w;   // never started: still ours to free
                throw std::system_error(rc, std::generic_category(), "worker thread");
            }
            _workers[k] = w;
        }
    }
    catch (...) {
        stop_workers();
        release();
        sem_destroy(&_wake);
        sem_destroy(&_gone);
        throw;
    }
    _done.store(false, std::memory_order_relaxed);
    open_phase(PH_CLEAR);
    join();
}

Blockconv::~Blockconv()
{
    stop_workers();
    release();
    sem_destroy(&_wake);
    sem_destroy(&_gone);
}

void Blockconv::release()
{
    if (_r2c) fftwf_destroy_plan(_r2c);
    if (_c2r) fftwf_destroy_plan(_c2r);
    _r2c = _c2r = nullptr;
    fftwf_free(_tbuf);
    fftwf_free(_cbuf);
    _tbuf = nullptr;
    _cbuf = nullptr;
    delete[] _slots;
    _slots = nullptr;
    if (_save) {
        for (int32_t j = 0; j < nout; j++) delete[] _save[j];
        delete[] _save;
        _save = nullptr;
    }
    free(_specmem);
    _specmem = nullptr;
}

void Blockconv::stop_workers()
{
    int n = 0;
    for (int32_t k = 0; k < MAXTHR; k++) {
        Blockworker *w = _workers[k];
        if (!w) continue;
        _workers[k] = nullptr;
        w->stop.store(true);
        sem_post(&w->trig);   // the worker deletes itself; never touch it again
        n++;
    }
    while (n > 0) {
        if (sem_wait(&_gone) == 0) n--;
    }
}

int Blockconv::set_impulse(int32_t inp, int32_t out, const float *data, int32_t length,
                           int32_t stride, float gain)
{
    if ((inp < 0) || (inp >= ninp) || (out < 0) || (out >= nout)) return 1;
    int32_t n = (length < maxlen) ? length : maxlen;
    // The inverse of the transforms' scaling, folded in here.
    const float scale = gain / (float)(2 * part);
    for (int32_t p = 0; p < npart; p++) {
        memset(_tbuf, 0, 2 * part * sizeof(float));
        const int32_t k = (n < part) ? ((n > 0) ? n : 0) : part;
        for (int32_t s = 0; s < k; s++) _tbuf[s] = data[(long)s * stride] * scale;
        data += (long)k * stride;
        n -= k;
        fftwf_execute_dft_r2c(_r2c, _tbuf, _cbuf);
        for (int32_t c = 0; c < _nchunk; c++)
            split_chunk_far(_cbuf, c, _imp + ((((size_t)c * nout + out) * ninp + inp) * npart + p) * CHUNK_FLOATS);
    }
    publish_chunks();
    return 0;
}

void Blockconv::clear_impulses()
{
    memset(_imp, 0, (size_t)_nchunk * nout * ninp * npart * CHUNK_FLOATS * sizeof(float));
}

void Blockconv::reset()
{
    memset(_inp, 0, (size_t)_nchunk * ninp * _nring * CHUNK_FLOATS * sizeof(float));
    for (int32_t j = 0; j < nout; j++) memset(_save[j], 0, part * sizeof(float));
    _base = 0;
}

void Blockconv::transform_input(int32_t i, float *tbuf, fftwf_complex *cbuf)
{
    const size_t step = (size_t)ninp * _nring * CHUNK_FLOATS;   // from one chunk to the next
    for (int32_t b = 0; b < nblock; b++) {
        memcpy(tbuf, _inpdata[i] + (size_t)b * part, part * sizeof(float));
        memset(tbuf + part, 0, part * sizeof(float));
        fftwf_execute_dft_r2c(_r2c, tbuf, cbuf);
        float *dst = _inp + ((size_t)i * _nring + slot(b)) * CHUNK_FLOATS;
        for (int32_t c = 0; c < _nchunk; c++, dst += step) split_chunk(cbuf, c, dst);
    }
}

// Chunks of unit u, for every output and block. A chunk of every input's
// history stays in the first-level cache while every output uses it; the
// impulse-response spectra go by once, in order.
void Blockconv::multiply_chunks(int32_t u)
{
    const int32_t c0 = (int32_t)((int64_t)u * _nchunk / _nunit);
    const int32_t c1 = (int32_t)((int64_t)(u + 1) * _nchunk / _nunit);
    Chunkjob q;
    q.slot = _slots;
    q.accstep = 2 * _stride;
    q.ninp = ninp;
    q.npart = npart;
    q.nring = _nring;
    q.nblock = nblock;
    const size_t hstep = (size_t)ninp * npart * CHUNK_FLOATS;
    for (int32_t c = c0; c < c1; c++) {
        q.x = _inp + (size_t)c * ninp * _nring * CHUNK_FLOATS;
        q.h = _imp + (size_t)c * nout * hstep;
        for (int32_t j = 0; j < nout; j++, q.h += hstep) {
            q.acc = (float *)(_acc + (size_t)j * nblock * _stride) + (size_t)c * CHUNK_FLOATS;
            _kernel(q);
        }
    }
}

void Blockconv::transform_output(int32_t j, float *tbuf)
{
    float *save = _save[j];
    for (int32_t b = 0; b < nblock; b++) {
        fftwf_execute_dft_c2r(_c2r, _acc + ((size_t)j * nblock + b) * _stride, tbuf);
        float *out = _outdata[j] + (size_t)b * part;
        for (int32_t t = 0; t < part; t++) out[t] = save[t] + tbuf[t];
        memcpy(save, tbuf + part, part * sizeof(float));
    }
}

// As in Denseconv: a unit is taken by a compare-and-swap of the whole
// ticket, so a thread holding the ticket of a phase that has ended takes
// nothing; the phase's data were written before the ticket that starts it.
// Returns the phase whose last unit this thread finished, or -1.
int Blockconv::take_units(float *tbuf, fftwf_complex *cbuf)
{
    uint64_t t = _ticket.load(std::memory_order_acquire);
    const uint32_t number = (uint32_t)(t >> 32);
    const uint32_t phase = number & 3;
    const uint32_t nunit = (phase == PH_INPUTS)  ? (uint32_t)ninp
                         : (phase == PH_CHUNKS)  ? (uint32_t)_nunit
                         : (phase == PH_OUTPUTS) ? (uint32_t)nout
                                                 : (uint32_t)((_specbytes + CLEAR_BYTES - 1) / CLEAR_BYTES);
    int last = -1;
    for (;;) {
        const uint32_t u = (uint32_t)t;
        if (((uint32_t)(t >> 32) != number) || (u >= nunit)) return last;
        if (!_ticket.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel,
                                           std::memory_order_acquire))
            continue;
        if (phase == PH_INPUTS) transform_input((int32_t)u, tbuf, cbuf);
        else if (phase == PH_CHUNKS) multiply_chunks((int32_t)u);
        else if (phase == PH_OUTPUTS) transform_output((int32_t)u, tbuf);
        else clear_piece((int32_t)u);
        if (_finished.fetch_add(1, std::memory_order_acq_rel) + 1 == (int32_t)nunit) last = (int)phase;
        t = _ticket.load(std::memory_order_acquire);
    }
}

void Blockconv::clear_piece(int32_t u)
{
    const size_t a = (size_t)u * CLEAR_BYTES;
    const size_t n = (_specbytes - a < CLEAR_BYTES) ? _specbytes - a : CLEAR_BYTES;
    memset(static_cast<char *>(_specmem) + a, 0, n);
}

// Opens 'phase' and wakes every thread that takes part in the cycle.
void Blockconv::open_phase(uint32_t phase)
{
    const uint32_t prev = (uint32_t)(_ticket.load(std::memory_order_relaxed) >> 32);
    // The phase in the low two bits of the number, a sequence count above.
    const uint32_t number = (((prev >> 2) + 1) << 2) | phase;
    _finished.store(0, std::memory_order_relaxed);
    _ticket.store((uint64_t)number << 32, std::memory_order_release);
    for (int32_t k = 0; k + 1 < nthread; k++) sem_post(&_workers[k]->trig);
    sem_post(&_wake);
}

// Takes units, and opens the next phase whenever this thread finishes the
// last unit of one, until no unit is left to take now. The thread that
// finishes the cycle's last unit marks the cycle done.
void Blockconv::run_units(float *tbuf, fftwf_complex *cbuf)
{
    for (;;) {
        const int phase = take_units(tbuf, cbuf);
        if (phase < 0) return;
        if ((phase == PH_OUTPUTS) || (phase == PH_CLEAR)) {
            _done.store(true, std::memory_order_release);
            sem_post(&_wake);
            return;
        }
        open_phase((uint32_t)phase + 1);
    }
}

void Blockconv::start(const float *const *inp, float *const *out)
{
    _inpdata = inp;
    _outdata = out;
    for (int32_t p = 0; p < npart; p++)
        for (int32_t b = 0; b < nblock; b++) _slots[p * nblock + b] = slot(b - p);
    _done.store(false, std::memory_order_relaxed);
    open_phase(PH_INPUTS);
}

void Blockconv::finish()
{
    join();
    _base = slot(nblock);
}

// Takes units until the work that start() or the construction opened is
// done.
void Blockconv::join()
{
    for (;;) {
        run_units(_tbuf, _cbuf);
        if (_done.load(std::memory_order_acquire)) break;
        take_polling(&_wake, now_ns() + _spin);
    }
    // Wake-ups left over from phases that opened while this thread was at
    // work; the last post of the cycle may still come, and is then taken
    // by the next cycle's first wait, which finds the cycle under way.
    while (sem_trywait(&_wake) == 0) {}
}

void Blockconv::process(const float *const *inp, float *const *out)
{
    start(inp, out);
    finish();
}
