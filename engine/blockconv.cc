#include "blockconv.h"

#include <assert.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <system_error>

#include "denseconv.h"
#include "pxthread.h"

namespace {

// The input spectra of one band, of every input and history slot, are read
// again for every group of outputs: they should stay in the second-level
// cache meanwhile.
const size_t BAND_BYTES = 256 * 1024;

// Units of the second phase per thread, so that the last ones even out the
// threads' shares.
const int32_t BANDS_PER_THREAD = 4;

void take(sem_t *s)
{
    while (sem_wait(s) != 0) {}
}

// The phase of a ticket's number: inputs, bands, outputs.
enum
{
    PH_INPUTS = 0,
    PH_BANDS = 1,
    PH_OUTPUTS = 2
};

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
        if (!tbuf) {
            sem_destroy(&trig);
            throw std::bad_alloc();
        }
    }
    ~Blockworker()
    {
        fftwf_free(tbuf);
        sem_destroy(&trig);
    }

    void run() override
    {
        take(&trig);
        while (!stop.load()) {
            // A wake-up may be left over from a phase that the other
            // threads finished without this one: it then finds no unit.
            if (conv->take_units(tbuf)) sem_post(&conv->_phase_done);
            take(&trig);
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
};

// ---------------------------------------------------------------- Blockconv

Blockconv::Blockconv(int32_t ninp_, int32_t nout_, int32_t maxlen_, int32_t part_, int32_t nblock_,
                     int32_t nthread_)
    : Convolver(ninp_, nout_, maxlen_, part_ * nblock_, nthread_), part(part_), nblock(nblock_),
      npart((maxlen_ + part_ - 1) / part_), _nring(0), _stride(0), _band(0), _nband(0), _base(0),
      _specmem(nullptr), _imp(nullptr), _inp(nullptr), _acc(nullptr), _save(nullptr), _tbuf(nullptr),
      _r2c(nullptr), _c2r(nullptr), _accumulate(select_accumulate()), _ticket(((uint64_t)PH_OUTPUTS << 32) | 0xFFFFFFFFu),
      _finished(0), _inpdata(nullptr), _outdata(nullptr)
{
    assert((ninp > 0) && (ninp <= MAXINP));
    assert((nout > 0) && (nout <= MAXOUT));
    assert((part >= 16) && ((part & (part - 1)) == 0) && (part <= MAXPER));
    assert((nblock >= 1) && (maxlen >= 16));
    assert((nthread > 0) && (nthread <= MAXTHR));
    for (int32_t k = 0; k < MAXTHR; k++) _workers[k] = nullptr;

    const int32_t nbin = part + 1;
    _nring = npart + nblock - 1;
    _stride = accstride(part);
    // Bands of a multiple of 8 bins (64 bytes), so that no two units write
    // into one cache line.
    int64_t band = (int64_t)(BAND_BYTES / ((size_t)ninp * _nring * sizeof(fftwf_complex)));
    const int64_t even = nbin / (BANDS_PER_THREAD * nthread);
    if (band > even) band = even;
    band &= ~(int64_t)7;
    if (band < 16) band = 16;
    _band = (int32_t)band;
    _nband = (nbin > _band) ? nbin / _band : 1;   // the last band takes the rest

    sem_init(&_phase_done, 0, 0);
    sem_init(&_gone, 0, 0);
    try {
        // The impulse-response spectra band by band, each band's pieces of
        // every pair and partition one after the other (in the order the
        // second phase reads them, one stream), then the input history and
        // the accumulators.
        const size_t nimp = (size_t)ninp * nout * npart * _stride;
        const size_t ninpspec = (size_t)ninp * _nring * _stride;
        const size_t nacc = (size_t)nout * nblock * _stride;
        _specmem = spectrum_memory((nimp + ninpspec + nacc) * sizeof(fftwf_complex));
        _imp = static_cast<fftwf_complex *>(_specmem);
        _inp = _imp + nimp;
        _acc = _inp + ninpspec;
        memset(_imp, 0, (nimp + ninpspec) * sizeof(fftwf_complex));
        _save = new float *[nout]();
        for (int32_t j = 0; j < nout; j++) _save[j] = new float[part]();
        _tbuf = static_cast<float *>(fftwf_malloc(2 * part * sizeof(float)));
        if (!_tbuf) throw std::bad_alloc();
        // FFTW's planner is not thread-safe; plans are only made here.
        _r2c = fftwf_plan_dft_r2c_1d(2 * part, _tbuf, _acc, FFTW_MEASURE);
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
        sem_destroy(&_phase_done);
        sem_destroy(&_gone);
        throw;
    }
}

Blockconv::~Blockconv()
{
    stop_workers();
    release();
    sem_destroy(&_phase_done);
    sem_destroy(&_gone);
}

void Blockconv::release()
{
    if (_r2c) fftwf_destroy_plan(_r2c);
    if (_c2r) fftwf_destroy_plan(_c2r);
    _r2c = _c2r = nullptr;
    fftwf_free(_tbuf);
    _tbuf = nullptr;
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
    const int32_t nbin = part + 1;
    const size_t pairs = (size_t)ninp * nout * npart;
    const size_t entry = ((size_t)out * ninp + inp) * npart;
    for (int32_t p = 0; p < npart; p++) {
        // Each partition through the first accumulator, then band by band
        // into place.
        memset(_tbuf, 0, 2 * part * sizeof(float));
        const int32_t k = (n < part) ? ((n > 0) ? n : 0) : part;
        for (int32_t s = 0; s < k; s++) _tbuf[s] = data[(long)s * stride] * scale;
        data += (long)k * stride;
        n -= k;
        fftwf_execute_dft_r2c(_r2c, _tbuf, _acc);
        for (int32_t u = 0; u < _nband; u++) {
            const int32_t b0 = u * _band;
            const int32_t nb = (u + 1 < _nband) ? _band : nbin - b0;
            fftwf_complex *dst = _imp + b0 * pairs + (entry + p) * nb;
            memcpy(dst, _acc + b0, nb * sizeof(fftwf_complex));
        }
    }
    return 0;
}

void Blockconv::clear_impulses()
{
    memset(_imp, 0, (size_t)ninp * nout * npart * _stride * sizeof(fftwf_complex));
}

void Blockconv::reset()
{
    memset(_inp, 0, (size_t)ninp * _nring * _stride * sizeof(fftwf_complex));
    for (int32_t j = 0; j < nout; j++) memset(_save[j], 0, part * sizeof(float));
    _base = 0;
}

void Blockconv::transform_input(int32_t i, float *tbuf)
{
    for (int32_t b = 0; b < nblock; b++) {
        memcpy(tbuf, _inpdata[i] + (size_t)b * part, part * sizeof(float));
        memset(tbuf + part, 0, part * sizeof(float));
        fftwf_execute_dft_r2c(_r2c, tbuf, _inp + ((size_t)i * _nring + slot(b)) * _stride);
    }
}

// Band u of every output's accumulators. Each piece of impulse-response
// spectrum is read once and serves every block of the call while it is in
// the first-level cache.
void Blockconv::multiply_band(int32_t u)
{
    const int32_t nbin = part + 1;
    const int32_t b0 = u * _band;
    const int32_t nb = (u + 1 < _nband) ? _band : nbin - b0;
    const fftwf_complex *bandimp = _imp + (size_t)b0 * ninp * nout * npart;
    float *acc[MAXGROUP];
    const float *h[MAXGROUP];
    for (int32_t j0 = 0; j0 < nout; j0 += MAXGROUP) {
        const int32_t ng = (nout - j0 < MAXGROUP) ? nout - j0 : MAXGROUP;
        for (int32_t g = 0; g < ng; g++)
            for (int32_t b = 0; b < nblock; b++)
                memset(_acc + ((size_t)(j0 + g) * nblock + b) * _stride + b0, 0, nb * sizeof(fftwf_complex));
        for (int32_t i = 0; i < ninp; i++) {
            for (int32_t p = 0; p < npart; p++) {
                for (int32_t g = 0; g < ng; g++)
                    h[g] = (const float *)(bandimp + (((size_t)(j0 + g) * ninp + i) * npart + p) * nb);
                // Block b reads the input spectrum of slot(b - p); the slots
                // follow each other round the ring, no division per product.
                int32_t s = _base - p;
                if (s < 0) s += _nring;
                for (int32_t b = 0; b < nblock; b++) {
                    for (int32_t g = 0; g < ng; g++)
                        acc[g] = (float *)(_acc + ((size_t)(j0 + g) * nblock + b) * _stride + b0);
                    const fftwf_complex *x = _inp + ((size_t)i * _nring + s) * _stride + b0;
                    _accumulate(acc, ng, (const float *)x, h, nb);
                    if (++s == _nring) s = 0;
                }
            }
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
bool Blockconv::take_units(float *tbuf)
{
    uint64_t t = _ticket.load(std::memory_order_acquire);
    const uint32_t number = (uint32_t)(t >> 32);
    const uint32_t phase = number & 3;
    const uint32_t nunit = (phase == PH_INPUTS) ? (uint32_t)ninp
                         : (phase == PH_BANDS)  ? (uint32_t)_nband
                                                : (uint32_t)nout;
    bool last = false;
    for (;;) {
        const uint32_t u = (uint32_t)t;
        if (((uint32_t)(t >> 32) != number) || (u >= nunit)) return last;
        if (!_ticket.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel,
                                           std::memory_order_acquire))
            continue;
        if (phase == PH_INPUTS) transform_input((int32_t)u, tbuf);
        else if (phase == PH_BANDS) multiply_band((int32_t)u);
        else transform_output((int32_t)u, tbuf);
        last = _finished.fetch_add(1, std::memory_order_acq_rel) + 1 == (int32_t)nunit;
        t = _ticket.load(std::memory_order_acquire);
    }
}

// Starts the next phase, takes units of it until none is left, and waits
// for the units that workers are still running.
void Blockconv::run_phase()
{
    const uint32_t prev = (uint32_t)(_ticket.load(std::memory_order_relaxed) >> 32);
    // The phase in the low two bits of the number, a sequence count above.
    const uint32_t phase = ((prev & 3) + 1) % 3;
    const uint32_t number = (((prev >> 2) + 1) << 2) | phase;
    _finished.store(0, std::memory_order_relaxed);
    _ticket.store((uint64_t)number << 32, std::memory_order_release);
    for (int32_t k = 0; k + 1 < nthread; k++) sem_post(&_workers[k]->trig);
    if (!take_units(_tbuf)) take(&_phase_done);
}

void Blockconv::process(const float *const *inp, float *const *out)
{
    _inpdata = inp;
    _outdata = out;
    run_phase();
    run_phase();
    run_phase();
    _base = slot(nblock);
}
