#include "denseconv.h"
#include "handoff.h"

#include <assert.h>
#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <time.h>

#include <new>
#include <system_error>

// ---------------------------------------------------------------- hand-off

namespace {

// How long a waiting thread polls before it sleeps. Waking a sleeping
// thread costs tens of microseconds on a virtual machine, more than the
// whole work of a small cycle; polling longer than this would only burn
// time that other threads could use.
const int64_t SPIN_NS = 40000;
// The caller waits for whole phases, which last longer; it has nothing else
// to do meanwhile.
const int64_t CALLER_SPIN_NS = 200000;

}  // namespace

// How many threads share a cycle's work: the caller, and workers up to
// 'nthread' threads in all. Handing work to a worker and waiting for it
// costs several microseconds even when it polls, and more when it must be
// woken; a cycle whose whole work takes about as long gains nothing from a
// second thread and loses the hand-off. The work is counted in bin
// products (one complex multiply-accumulate), an FFT of 2 * period points
// as about 16 products per bin; one thread is given per WORK_PER_WORKER
// products, at least one, at most 'nthread'. The bits of the result do not
// depend on it.
int32_t active_workers(int32_t ninp, int32_t nout, int32_t maxlen, int32_t period, int32_t nthread)
{
    const int64_t WORK_PER_WORKER = 200000;
    const int64_t nbin = period + 1;
    const int64_t npart = (maxlen + period - 1) / period;
    const int64_t work = (int64_t)ninp * nout * npart * nbin + (int64_t)(ninp + nout) * 16 * nbin;
    const int64_t n = 1 + work / WORK_PER_WORKER;
    return (n < nthread) ? (int32_t)n : nthread;
}

namespace {

// Outputs per group: MAXGROUP, fewer where that would leave fewer than two
// groups per thread sharing the cycle, so that the last groups can even out
// the threads' shares.
int32_t group_size(int32_t nout, int32_t nactive)
{
    int32_t g = MAXGROUP;
    if (nactive > 1)
        while ((g > 1) && ((nout + g - 1) / g < 2 * nactive)) g--;
    return g;
}

// A ticket past every unit of the phase before the first.
const uint64_t TICKET_START = ~(uint64_t)0;

}  // namespace

// Bins from one output's accumulator to the next in a worker's buffer: the
// next one starts on a 64-byte boundary, like the arrays the plans were
// made for, since a plan may only be run on arrays aligned as those were.
int32_t accstride(int32_t period)
{
    return (period + 1 + 7) & ~7;
}

void *spectrum_memory(size_t bytes)
{
    const size_t LARGE = 2 << 20;
    const size_t align = (bytes >= LARGE) ? LARGE : 64;
    bytes = (bytes + align - 1) & ~(align - 1);
    void *p = nullptr;
    if (posix_memalign(&p, align, bytes) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (align == LARGE) madvise(p, bytes, MADV_HUGEPAGE);   // a hint; without it, small pages
#endif
    return p;
}

// ---------------------------------------------------------------- Specset

void Specset::init(int32_t ns, int32_t nb)
{
    nspec = ns;
    nbin = nb;
    owned = true;
    spec = new (std::nothrow) fftwf_complex *[ns]();
    if (!spec) {
        release();
        throw std::bad_alloc();
    }
    for (int32_t i = 0; i < ns; i++) {
        spec[i] = static_cast<fftwf_complex *>(fftwf_malloc(nb * sizeof(fftwf_complex)));
        if (!spec[i]) {
            release();
            throw std::bad_alloc();
        }
    }
}

void Specset::init_at(int32_t ns, int32_t nb, fftwf_complex *base, int32_t stride)
{
    nspec = ns;
    nbin = nb;
    owned = false;
    spec = new (std::nothrow) fftwf_complex *[ns]();
    if (!spec) {
        release();
        throw std::bad_alloc();
    }
    for (int32_t i = 0; i < ns; i++) spec[i] = base + (size_t)i * stride;
}

void Specset::clear()
{
    for (int32_t i = 0; i < nspec; i++) memset(spec[i], 0, nbin * sizeof(fftwf_complex));
}

void Specset::release()
{
    if (spec) {
        if (owned)
            for (int32_t i = 0; i < nspec; i++) fftwf_free(spec[i]);
        delete[] spec;
    }
    owned = false;
    nspec = 0;
    nbin = 0;
    spec = nullptr;
}

// ---------------------------------------------------------------- DCparam

DCparam::DCparam(int32_t ninp_, int32_t nout_, int32_t maxlen_, int32_t period_, int32_t nthread_)
    : Convolver(ninp_, nout_, maxlen_, period_, nthread_),
      npart((maxlen_ + period_ - 1) / (period_ > 0 ? period_ : 1)), ipart(0),
      nactive(active_workers(ninp_, nout_, maxlen_, period_, nthread_)),
      gsize(group_size(nout_, nactive)), ticket(TICKET_START), finished(0),
      maxspin(processors() - 1), nspin(0), inpdata(nullptr), outdata(nullptr), outsave(nullptr), fftdata(nullptr),
      plan_r2c(nullptr), plan_c2r(nullptr), specmem(nullptr), inpspec(nullptr), impspec(nullptr),
      accumulate(select_accumulate())
{
    // Programming errors of the caller: every caller checks user values
    // first. A size of 16 and a period of 4096 are admitted.
    assert((ninp > 0) && (ninp <= MAXINP));
    assert((nout > 0) && (nout <= MAXOUT));
    assert((maxlen >= 16) && (maxlen <= MAXLEN));
    assert((period > 0) && ((period & (period - 1)) == 0) && (period <= MAXPER));
    assert((nthread > 0) && (nthread <= MAXTHR));

    sem_init(&phase_done, 0, 0);
    try {
        fftdata = static_cast<float *>(fftwf_malloc(2 * period * sizeof(float)));
        if (!fftdata) throw std::bad_alloc();
        // Each spectrum starts on a 64-byte boundary, like an accumulator.
        const int32_t stride = accstride(period);
        const size_t per = (size_t)npart * stride;
        fftwf_complex *base = static_cast<fftwf_complex *>(
            spectrum_memory((size_t)ninp * (nout + 1) * per * sizeof(fftwf_complex)));
        specmem = base;
        inpspec = new Specset[ninp]();
        for (int32_t i = 0; i < ninp; i++) inpspec[i].init_at(npart, period + 1, base + i * per, stride);
        base += ninp * per;
        impspec = new Specset[ninp * nout]();
        for (int32_t i = 0; i < ninp * nout; i++)
            impspec[i].init_at(npart, period + 1, base + i * per, stride);
        outsave = new float *[nout]();
        for (int32_t j = 0; j < nout; j++) outsave[j] = new float[period];
        // FFTW's planner is not thread-safe; plans are only ever made here,
        // on the control thread.
        plan_r2c = fftwf_plan_dft_r2c_1d(2 * period, fftdata, inpspec[0].spec[0], FFTW_MEASURE);
        plan_c2r = fftwf_plan_dft_c2r_1d(2 * period, inpspec[0].spec[0], fftdata, FFTW_MEASURE);
        if (!plan_r2c || !plan_c2r) throw std::bad_alloc();
    }
    catch (...) {
        release();
        sem_destroy(&phase_done);
        throw;
    }
}

DCparam::~DCparam()
{
    release();
    sem_destroy(&phase_done);
}

void DCparam::release()
{
    fftwf_free(fftdata);
    fftdata = nullptr;
    delete[] inpspec;
    inpspec = nullptr;
    delete[] impspec;
    impspec = nullptr;
    free(specmem);
    specmem = nullptr;
    if (outsave) {
        for (int32_t j = 0; j < nout; j++) delete[] outsave[j];
        delete[] outsave;
        outsave = nullptr;
    }
    if (plan_r2c) fftwf_destroy_plan(plan_r2c);
    if (plan_c2r) fftwf_destroy_plan(plan_c2r);
    plan_r2c = nullptr;
    plan_c2r = nullptr;
}

int DCparam::set_impulse(int32_t inp, int32_t out, const float *data, int32_t length,
                         int32_t stride, float gain)
{
    if ((inp < 0) || (inp >= ninp) || (out < 0) || (out >= nout)) return 1;
    int32_t n = (length < maxlen) ? length : maxlen;
    Specset &set = impspec[out * ninp + inp];
    set.clear();
    if (n <= 0) return 0;
    // Forward and inverse transform together scale by 2 * period; the
    // inverse of that is folded in here so processing needs no scaling.
    float scale = gain / (float)(2 * period);
    for (int32_t p = 0; n > 0; p++) {
        memset(fftdata, 0, 2 * period * sizeof(float));
        int32_t k = (n < period) ? n : period;
        for (int32_t s = 0; s < k; s++) fftdata[s] = data[(long)s * stride] * scale;
        data += (long)k * stride;
        fftwf_execute_dft_r2c(plan_r2c, fftdata, set.spec[p]);
        n -= k;
    }
    return 0;
}

void DCparam::clear_impulses()
{
    for (int32_t i = 0; i < ninp * nout; i++) impspec[i].clear();
}

void DCparam::reset()
{
    for (int32_t i = 0; i < ninp; i++) inpspec[i].clear();
    for (int32_t j = 0; j < nout; j++) memset(outsave[j], 0, period * sizeof(float));
}

// One input transform into the history ring.
void DCparam::transform_input(int32_t i, float *tbuf)
{
    memcpy(tbuf, inpdata[i], period * sizeof(float));
    memset(tbuf + period, 0, period * sizeof(float));
    fftwf_execute_dft_r2c(plan_r2c, tbuf, inpspec[i].spec[ipart]);
}

// One group of outputs: accumulate, transform back, overlap-add. The
// outputs of a group are accumulated together, so that each input spectrum
// is read once per group; every output still sums its products in the same
// order (inputs, then partitions from the newest input spectrum back).
void DCparam::compute_group(int32_t u, float *tbuf, fftwf_complex *fbuf)
{
    const int32_t nbin = period + 1;
    const int32_t stride = accstride(period);
    const int32_t j0 = u * gsize;
    const int32_t ng = (nout - j0 < gsize) ? nout - j0 : gsize;
    float *acc[MAXGROUP] = {};
    for (int32_t g = 0; g < ng; g++) acc[g] = (float *)(fbuf + g * stride);
    sum_products(accumulate, acc, ng, j0, ninp, npart, ipart, inpspec, impspec, nbin);
    for (int32_t g = 0; g < ng; g++) {
        fftwf_execute_dft_c2r(plan_c2r, fbuf + g * stride, tbuf);
        float *out = outdata[j0 + g];
        float *save = outsave[j0 + g];
        for (int32_t t = 0; t < period; t++) out[t] = save[t] + tbuf[t];
        memcpy(save, tbuf + period, period * sizeof(float));
    }
}

void sum_products(Accumulate accumulate, float *const *acc, int32_t ng, int32_t j0, int32_t ninp,
                  int32_t npart, int32_t newest, const Specset *inpspec, const Specset *impspec,
                  int32_t nbin)
{
    const float *h[MAXGROUP];
    for (int32_t g = 0; g < ng; g++) memset(acc[g], 0, nbin * sizeof(fftwf_complex));
    for (int32_t i = 0; i < ninp; i++) {
        fftwf_complex *const *xs = inpspec[i].spec;
        int32_t s = newest;
        for (int32_t p = 0; p < npart; p++) {
            for (int32_t g = 0; g < ng; g++) h[g] = (const float *)impspec[(j0 + g) * ninp + i].spec[p];
            accumulate(acc, ng, (const float *)xs[s], h, nbin);
            if (--s < 0) s = npart - 1;
        }
    }
}

void DCparam::transform_inputs(int32_t first, int32_t step, float *tbuf)
{
    for (int32_t i = first; i < ninp; i += step) transform_input(i, tbuf);
}

void DCparam::compute_outputs(int32_t first, int32_t step, float *tbuf, fftwf_complex *fbuf)
{
    const int32_t ngroup = (nout + gsize - 1) / gsize;
    for (int32_t u = first; u < ngroup; u += step) compute_group(u, tbuf, fbuf);
}

// A unit is taken by moving the ticket on by one with a compare-and-swap
// that also checks the phase's number, so a thread that read the ticket of
// a phase that has ended meanwhile takes nothing. The phase's data
// (inpdata, outdata, ipart, the previous phase's spectra) were written
// before the ticket that starts it was stored, and the swap that takes a
// unit acquires them; the count of finished units releases a unit's
// results to the thread that sees the phase complete.
bool DCparam::take_units(float *tbuf, fftwf_complex *fbuf, uint32_t &seen)
{
    uint64_t t = ticket.load(std::memory_order_acquire);
    const uint32_t number = (uint32_t)(t >> 32);
    seen = number;
    const uint32_t nunit = (number & 1) ? (uint32_t)((nout + gsize - 1) / gsize) : (uint32_t)ninp;
    bool last = false;
    for (;;) {
        const uint32_t u = (uint32_t)t;
        if (((uint32_t)(t >> 32) != number) || (u >= nunit)) return last;
        if (!ticket.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel,
                                          std::memory_order_acquire))
            continue;
        if (number & 1) compute_group((int32_t)u, tbuf, fbuf);
        else transform_input((int32_t)u, tbuf);
        last = finished.fetch_add(1, std::memory_order_acq_rel) + 1 == (int32_t)nunit;
        t = ticket.load(std::memory_order_acquire);
    }
}

// ---------------------------------------------------------------- Denseconv

Denseconv::Denseconv(int32_t ninp_, int32_t nout_, int32_t maxlen_, int32_t period_,
                     int32_t nthread_)
    : DCparam(ninp_, nout_, maxlen_, period_, nthread_), _realtime(true), tbuf(nullptr),
      fbuf(nullptr)
{
    for (int i = 0; i < MAXTHR; i++) workers[i] = nullptr;
    tbuf = static_cast<float *>(fftwf_malloc(2 * period * sizeof(float)));
    fbuf = static_cast<fftwf_complex *>(fftwf_malloc(MAXGROUP * accstride(period) * sizeof(fftwf_complex)));
    if (!tbuf || !fbuf) {
        fftwf_free(tbuf);
        fftwf_free(fbuf);
        throw std::bad_alloc();   // the DCparam base releases the storage
    }
    sem_init(&_gone, 0, 0);
    try {
        for (int32_t i = 0; i < nthread; i++) {
            Workthr *w = new Workthr(i, this, &_gone);
            int rc;
            try {
                rc = w->launch();
            }
            catch (...) {
                delete w;   // never started: still ours to free
                throw;
            }
            workers[i] = w;
            if (rc) _realtime = false;
        }
    }
    catch (...) {
        stop_workers();
        sem_destroy(&_gone);
        fftwf_free(tbuf);
        fftwf_free(fbuf);
        throw;   // the DCparam base releases the storage
    }
    clear_impulses();
    reset();
}

Denseconv::~Denseconv()
{
    stop_workers();
    sem_destroy(&_gone);
    fftwf_free(tbuf);
    fftwf_free(fbuf);
}

void Denseconv::stop_workers()
{
    int n = 0;
    for (int i = 0; i < MAXTHR; i++) {
        Workthr *w = workers[i];
        if (!w) continue;
        workers[i] = nullptr;
        w->stop.store(true);
        sem_post(&w->trig);   // the worker deletes itself; never touch it again
        n++;
    }
    // Wait until every stopped worker has freed itself. A stopped worker no
    // longer touches the convolver, but this way no worker outlives it.
    while (n > 0) {
        if (sem_wait(&_gone) == 0) n--;
    }
}

void Denseconv::process(const float *const *inp, float *const *out)
{
    inpdata = inp;
    outdata = out;
    // The caller polls while the workers can't be held up by it: there is a
    // processor to spare, or they run with realtime priority and take the
    // caller's processor whenever they need it.
    const int64_t spin = (nactive - 1 <= maxspin || (_realtime && maxspin > 0)) ? CALLER_SPIN_NS : 0;
    run_phase(spin);
    run_phase(spin);
    if (++ipart == npart) ipart = 0;
}

// Starts the next phase, takes units of it until none is left, and waits
// for the units that workers are still running.
void Denseconv::run_phase(int64_t spin)
{
    const uint32_t number = (uint32_t)(ticket.load(std::memory_order_relaxed) >> 32) + 1;
    finished.store(0, std::memory_order_relaxed);
    ticket.store((uint64_t)number << 32, std::memory_order_release);
    trigger();
    uint32_t seen;
    if (!take_units(tbuf, fbuf, seen)) take_polling(&phase_done, now_ns() + spin);
}

// Wakes the workers that share the cycle with the caller. Waking a
// sleeping worker can hand it this thread's processor at once, and this
// thread then waits until that worker's units are done before it wakes the
// next one; so the workers that are polling are started first, while this
// thread still runs.
void Denseconv::trigger()
{
    bool posted[MAXTHR];
    const int32_t n = nactive - 1;
    for (int32_t i = 0; i < n; i++) {
        posted[i] = workers[i]->polling.load(std::memory_order_relaxed);
        if (posted[i]) sem_post(&workers[i]->trig);
    }
    for (int32_t i = 0; i < n; i++)
        if (!posted[i]) sem_post(&workers[i]->trig);
}

void Denseconv::process_inline(const float *const *inp, float *const *out)
{
    inpdata = inp;
    outdata = out;
    transform_inputs(0, 1, tbuf);
    compute_outputs(0, 1, tbuf, fbuf);
    if (++ipart == npart) ipart = 0;
}

// ---------------------------------------------------------------- Workthr

Workthr::Workthr(int32_t index_, DCparam *dcpar_, sem_t *gone_)
    : index(index_), dcpar(dcpar_), gapshort(false), polling(false), stop(false), gone(gone_), tbuf(nullptr), fbuf(nullptr)
{
    sem_init(&trig, 0, 0);
    int32_t period = dcpar->period;
    tbuf = static_cast<float *>(fftwf_malloc(2 * period * sizeof(float)));
    fbuf = static_cast<fftwf_complex *>(fftwf_malloc(MAXGROUP * accstride(period) * sizeof(fftwf_complex)));
    if (!tbuf || !fbuf) {
        fftwf_free(tbuf);
        fftwf_free(fbuf);
        sem_destroy(&trig);
        throw std::bad_alloc();
    }
}

Workthr::~Workthr()
{
    fftwf_free(tbuf);
    fftwf_free(fbuf);
    sem_destroy(&trig);
}

int Workthr::launch()
{
    if (start(SCHED_FIFO, -20, 0) == 0) return 0;
    // No permission for realtime scheduling (an ordinary user, a container
    // without the capability): run with the system's normal scheduling.
    int rc = start(SCHED_OTHER, 0, 0);
    if (rc) throw std::system_error(rc, std::generic_category(), "worker thread");
    return 1;
}

void Workthr::run()
{
    DCparam *d = dcpar;
    take_sleeping(&trig);
    while (!stop.load()) {
        // A wake-up says that a phase has units to take; a worker woken
        // late may find that phase over and take units of a later one, or
        // none at all.
        uint32_t seen;
        if (d->take_units(tbuf, fbuf, seen)) sem_post(&d->phase_done);
        const int32_t phase = seen & 1;
        // The outputs follow the inputs at once; the next cycle follows
        // soon only where the caller runs cycles back to back (offline).
        // Under a realtime period the gap is long, and sleeping is right.
        bool spin = (phase == 0) || gapshort;
        if (spin && (d->nspin.fetch_add(1, std::memory_order_relaxed) >= d->maxspin)) {
            d->nspin.fetch_sub(1, std::memory_order_relaxed);
            spin = false;
        }
        if (spin) {
            polling.store(true, std::memory_order_relaxed);
            bool polled = take_polling(&trig, now_ns() + SPIN_NS);
            polling.store(false, std::memory_order_relaxed);
            d->nspin.fetch_sub(1, std::memory_order_relaxed);
            if (phase == 1) gapshort = polled;
        }
        else {
            const int64_t t0 = now_ns();
            take_sleeping(&trig);
            if (phase == 1) gapshort = now_ns() - t0 < SPIN_NS;
        }
    }
    sem_t *g = gone;
    delete this;
    sem_post(g);   // from here on nothing of this worker or its convolver is used
}

