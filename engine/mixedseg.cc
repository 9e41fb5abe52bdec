#include "mixedseg.h"
#include "handoff.h"

#include <string.h>

#include <new>

namespace {

// Most products of bins in one unit of the second phase: outputs are
// grouped (MAXGROUP at most) up to this, so that a unit of a large block
// holds back the work of a smaller one, due sooner, by about 0.3 ms at
// most.
const int64_t UNIT_PRODUCTS = 1 << 20;

// Most units of the first phase: the input transforms are short.
const int32_t FFT_UNITS = 8;

}  // namespace

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
    float *acc[MAXGROUP] = {};
    for (int32_t g = 0; g < ng; g++) acc[g] = (float *)(fbuf + g * stride);
    sum_products(accumulate, acc, ng, j0, ninp, count, slot, inpspec, impspec, nbin);
    for (int32_t g = 0; g < ng; g++) {
        fftwf_execute_dft_c2r(plan_c2r, fbuf + g * stride, tbuf);
        float *res = result(j0 + g, _m);
        float *save = outbuf[j0 + g];
        for (int32_t v = 0; v < block; v++) res[v] = save[v] + tbuf[v];
        memcpy(save, tbuf + block, block * sizeof(float));
    }
}
