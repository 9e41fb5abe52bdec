#include "liveproc.h"

#include <math.h>
#include <string.h>
#include <time.h>

#include <new>

namespace {

// CLOCK_MONOTONIC is read through the vDSO: no system call, no lock.
double monotonic()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

uint64_t monotonic_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

// A gain that moves from g0 to g1 over the block, reaching g1 at its last
// sample; 'src' and 'dst' may be the same.
void ramp(const float *src, float *dst, uint32_t n, float g0, float g1)
{
    if (g0 == g1) {
        for (uint32_t f = 0; f < n; f++) dst[f] = g1 * src[f];
        return;
    }
    const float step = (g1 - g0) / n;
    for (uint32_t f = 0; f + 1 < n; f++) dst[f] = (g0 + step * (f + 1)) * src[f];
    dst[n - 1] = g1 * src[n - 1];
}

}  // namespace

Liveproc::Liveproc()
    : _ninp(0), _nout(0), _period(0), _rate(0), _xfade_ms(DEFAULT_CROSSFADE_MS), _start(monotonic()),
      _memory(nullptr), _incoming(nullptr), _incoming_preroll(0), _retired(nullptr), _cur(nullptr),
      _next(nullptr), _phase(PHASE_RUN), _preroll_left(0), _xpos(0), _xlen(0), _busy_ns(0),
      _cycles(0), _load_max(0.0f), _xruns(0), _late(0), _late_retired(0)
{
    for (int i = 0; i < MAXINP; i++) {
        _iscratch[i] = nullptr;
        _itrim[i].store(1.0f);
        _igain[i] = 1.0f;
    }
    for (int j = 0; j < MAXOUT; j++) {
        _oscratch[j] = nullptr;
        _otrim[j].store(1.0f);
        _omute[j].store(false);
        _ogain[j] = 1.0f;
        _peak[j].store(0.0f);
        _over[j].store(0);
    }
}

Liveproc::~Liveproc()
{
    delete[] _memory;
}

int Liveproc::init(uint32_t ninp, uint32_t nout, uint32_t period, uint32_t rate)
{
    if (ninp > MAXINP || nout > MAXOUT || period == 0) return 1;
    float *mem = new (std::nothrow) float[(size_t)(ninp + nout) * period];
    if (!mem) return 1;
    memset(mem, 0, (size_t)(ninp + nout) * period * sizeof(float));
    delete[] _memory;
    _memory = mem;
    for (uint32_t i = 0; i < ninp; i++) _iscratch[i] = mem + (size_t)i * period;
    for (uint32_t j = 0; j < nout; j++) _oscratch[j] = mem + (size_t)(ninp + j) * period;
    _ninp = ninp;
    _nout = nout;
    _period = period;
    _rate = rate;
    _start = monotonic();
    return 0;
}

// REALTIME: JACK's process thread.
void Liveproc::process(const float *const *inp, float *const *out)
{
    const uint64_t t0 = monotonic_ns();

    // A new convolver is adopted only between switches.
    if (_phase == PHASE_RUN) {
        Convolver *c = _incoming.load(std::memory_order_acquire);
        if (c) {
            _next = c;
            _preroll_left = _incoming_preroll.load(std::memory_order_relaxed);
            _xpos = 0;
            _xlen = (uint32_t)((uint64_t)_xfade_ms * _rate / 1000);
            _phase = _preroll_left ? PHASE_PREROLL : PHASE_FADE;
            _incoming.store(nullptr, std::memory_order_relaxed);
        }
    }

    // Input trims: a copy only where a gain is not unity.
    const float *src[MAXINP];
    for (uint32_t i = 0; i < _ninp; i++) {
        const float g1 = _itrim[i].load(std::memory_order_relaxed);
        const float g0 = _igain[i];
        if (g0 == 1.0f && g1 == 1.0f) {
            src[i] = inp[i];
        }
        else {
            ramp(inp[i], _iscratch[i], _period, g0, g1);
            _igain[i] = g1;
            src[i] = _iscratch[i];
        }
    }

    if (_cur) _cur->process(src, out);
    else {
        for (uint32_t j = 0; j < _nout; j++) memset(out[j], 0, _period * sizeof(float));
    }
    if (_phase != PHASE_RUN) {
        _next->process(src, _oscratch);
        if (_phase == PHASE_PREROLL) {
            // The new convolver's output is complete only once its input
            // history spans its impulse responses.
            if (--_preroll_left == 0) _phase = PHASE_FADE;
        }
        else {
            fade(out);
        }
    }

    apply_output_gains(out);
    measure(out);
    // The engines count their late waits with relaxed atomics of their
    // own; reading them here is a load each.
    long late = _late_retired;
    if (_cur) late += (long) _cur->late_waits();
    if (_next) late += (long) _next->late_waits();
    _late.store(late, std::memory_order_relaxed);

    const uint64_t dt = monotonic_ns() - t0;
    _busy_ns.store(_busy_ns.load(std::memory_order_relaxed) + dt, std::memory_order_relaxed);
    _cycles.store(_cycles.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    const float load = (float)((double)dt * _rate / (1e9 * _period));
    if (load > _load_max.load(std::memory_order_relaxed)) {
        _load_max.store(load, std::memory_order_relaxed);
    }
}

// REALTIME: the crossfade from the old convolver's output (in 'out') to
// the new one's (in the scratch buffers), linear in the sample index. At
// its end the old convolver is handed back, unless the last one handed
// back has not been taken yet; then the new output alone goes on until it
// has been.
void Liveproc::fade(float *const *out)
{
    for (uint32_t j = 0; j < _nout; j++) {
        float *d = out[j];
        const float *s = _oscratch[j];
        for (uint32_t f = 0; f < _period; f++) {
            const uint32_t k = _xpos + f + 1;
            if (k >= _xlen) d[f] = s[f];
            else {
                const float w = (float)k / _xlen;
                d[f] = (1.0f - w) * d[f] + w * s[f];
            }
        }
    }
    _xpos = (_xpos + _period < _xlen) ? _xpos + _period : _xlen;
    if (_xpos < _xlen) return;
    if (_retired.load(std::memory_order_acquire)) return;
    if (_cur) _late_retired += (long) _cur->late_waits();
    _retired.store(_cur, std::memory_order_release);
    _cur = _next;
    _next = nullptr;
    _phase = PHASE_RUN;
}

// REALTIME: output trims and mutes, ramped over the period.
void Liveproc::apply_output_gains(float *const *out)
{
    for (uint32_t j = 0; j < _nout; j++) {
        const float g1 = _omute[j].load(std::memory_order_relaxed)
                             ? 0.0f
                             : _otrim[j].load(std::memory_order_relaxed);
        const float g0 = _ogain[j];
        if (g0 == 1.0f && g1 == 1.0f) continue;
        ramp(out[j], out[j], _period, g0, g1);
        _ogain[j] = g1;
    }
}

// REALTIME: peaks and samples above full scale. One writer, so a load and
// a store stand for a read-modify-write.
void Liveproc::measure(float *const *out)
{
    for (uint32_t j = 0; j < _nout; j++) {
        const float *d = out[j];
        float peak = 0.0f;
        uint32_t over = 0;
        for (uint32_t f = 0; f < _period; f++) {
            const float a = fabsf(d[f]);
            if (a > peak) peak = a;
            if (a > 1.0f) over++;
        }
        if (peak > _peak[j].load(std::memory_order_relaxed)) {
            _peak[j].store(peak, std::memory_order_relaxed);
        }
        if (over) _over[j].store(_over[j].load(std::memory_order_relaxed) + over, std::memory_order_relaxed);
    }
}

int Liveproc::offer(Convolver *convolver, uint32_t preroll)
{
    if (_incoming.load(std::memory_order_acquire) || _retired.load(std::memory_order_acquire)) {
        return OFFER_BUSY;
    }
    _incoming_preroll.store(preroll, std::memory_order_relaxed);
    _incoming.store(convolver, std::memory_order_release);
    return OFFER_OK;
}

Convolver *Liveproc::take_retired()
{
    return _retired.exchange(nullptr, std::memory_order_acq_rel);
}

void Liveproc::set_input_trim(uint32_t inp, float gain)
{
    if (inp < MAXINP) _itrim[inp].store(gain, std::memory_order_relaxed);
}

void Liveproc::set_output_trim(uint32_t out, float gain)
{
    if (out < MAXOUT) _otrim[out].store(gain, std::memory_order_relaxed);
}

void Liveproc::set_output_mute(uint32_t out, bool mute)
{
    if (out < MAXOUT) _omute[out].store(mute, std::memory_order_relaxed);
}

float Liveproc::input_trim(uint32_t inp) const
{
    return inp < MAXINP ? _itrim[inp].load(std::memory_order_relaxed) : 1.0f;
}

float Liveproc::output_trim(uint32_t out) const
{
    return out < MAXOUT ? _otrim[out].load(std::memory_order_relaxed) : 1.0f;
}

bool Liveproc::output_muted(uint32_t out) const
{
    return out < MAXOUT && _omute[out].load(std::memory_order_relaxed);
}

void Liveproc::meters(Livemeters *m) const
{
    m->seconds = monotonic() - _start;
    m->xruns = _xruns.load(std::memory_order_relaxed);
    const uint64_t cycles = _cycles.load(std::memory_order_relaxed);
    const uint64_t busy = _busy_ns.load(std::memory_order_relaxed);
    m->load_avg = (cycles && _rate) ? (double)busy * _rate / (1e9 * _period * (double)cycles) : 0.0;
    m->load_max = _load_max.load(std::memory_order_relaxed);
    m->late_waits = _late.load(std::memory_order_relaxed);
    m->nout = _nout;
    for (uint32_t j = 0; j < _nout; j++) {
        m->peak[j] = _peak[j].load(std::memory_order_relaxed);
        m->over[j] = _over[j].load(std::memory_order_relaxed);
    }
}
