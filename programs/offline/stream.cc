#include "stream.h"

#include <pthread.h>
#include <string.h>

#include <new>

namespace {

// Frames per tile of the (de-)interleaving: a tile of every channel stays
// in the first-level cache while it is spread out or gathered, so the
// interleaved block is read or written once, not once per channel.
const int TILE = 16;

// Channel c of 'n' interleaved frames of 'nch' channels into dst[c][0..n),
// then zeros up to 'period'.
void deinterleave(const float *src, int n, int nch, float *const *dst, int period)
{
    int f0 = 0;
    for (; f0 + TILE <= n; f0 += TILE) {
        const float *s = src + (size_t)f0 * nch;
        for (int c = 0; c < nch; c++) {
            float *d = dst[c] + f0;
            for (int f = 0; f < TILE; f++) d[f] = s[(size_t)f * nch + c];
        }
    }
    for (int c = 0; c < nch; c++) {
        float *d = dst[c];
        for (int f = f0; f < n; f++) d[f] = src[(size_t)f * nch + c];
        memset(d + n, 0, (size_t)(period - n) * sizeof(float));
    }
}

// src[c][0..n) into 'n' interleaved frames of 'nch' channels.
void interleave(const float *const *src, int n, int nch, float *dst)
{
    int f0 = 0;
    for (; f0 + TILE <= n; f0 += TILE) {
        float *d = dst + (size_t)f0 * nch;
        for (int c = 0; c < nch; c++) {
            const float *s = src[c] + f0;
            for (int f = 0; f < TILE; f++) d[(size_t)f * nch + c] = s[f];
        }
    }
    for (int c = 0; c < nch; c++) {
        const float *s = src[c];
        for (int f = f0; f < n; f++) dst[(size_t)f * nch + c] = s[f];
    }
}

void wait_for(sem_t *s)
{
    while (sem_wait(s) != 0) {}
}

}  // namespace

Stream::Stream(Soundfile &inp, Soundfile &out, Convolver *conv, int nout)
    : _inp(inp), _out(out), _conv(conv), _ninp(inp.channels()), _nout(nout),
      _period(conv->period), _interleaved(nullptr), _total(0), _nblock(0), _delivered(0), _progress(nullptr),
      _halt(false), _failed(false)
{
    for (int s = 0; s < NSLOT; s++) {
        _chandata[s] = nullptr;
        _chanptr[s] = nullptr;
    }
}

Stream::~Stream()
{
    for (int s = 0; s < NSLOT; s++) {
        delete[] _chandata[s];
        delete[] _chanptr[s];
    }
    delete[] _interleaved;
}

int Stream::init()
{
    const int m = (_ninp > _nout) ? _ninp : _nout;
    const size_t block = (size_t)m * _period;
    _interleaved = new (std::nothrow) float[block];
    if (!_interleaved) return 1;
    for (int s = 0; s < NSLOT; s++) {
        _chandata[s] = new (std::nothrow) float[block];
        _chanptr[s] = new (std::nothrow) float *[m];
        if (!_chandata[s] || !_chanptr[s]) return 1;
        for (int c = 0; c < m; c++) _chanptr[s][c] = _chandata[s] + (size_t)c * _period;
    }
    return 0;
}

// Every block asks for a whole period of frames, whatever remains; past the
// input's end the reads deliver nothing and the convolver gets silence.
void Stream::fill(int64_t b)
{
    int n = _inp.read(_interleaved, _period);
    if (n < 0) n = 0;
    _delivered += n;
    deinterleave(_interleaved, n, _ninp, _chanptr[b % NSLOT], _period);
}

// A short write means the device refused the data (a full disk, a file
// size limit): the output is incomplete.
bool Stream::drain(int64_t b)
{
    const int64_t remain = _total - b * _period;
    const int k = (remain < _period) ? (int)remain : _period;
    interleave(_chanptr[b % NSLOT], k, _nout, _interleaved);
    if (_out.write(_interleaved, k) != k) return false;
    if (_progress) {
        _progress->measure(_interleaved, (int64_t)k * _nout);
        _progress->update(b * _period + k);
    }
    return true;
}

// Block b + 1 is read into the slot that block b - 1 has left, while the
// convolver processes block b; then block b is written.
void Stream::file_side()
{
    fill(0);
    sem_post(&_filled);
    for (int64_t b = 0; b < _nblock; b++) {
        if (b + 1 < _nblock) {
            fill(b + 1);
            sem_post(&_filled);
        }
        wait_for(&_processed);
        if (_halt.load()) return;
        if (!drain(b)) {
            _failed.store(true);
            _halt.store(true);
            sem_post(&_filled);
            return;
        }
    }
}

void *Stream::file_entry(void *arg)
{
    static_cast<Stream *>(arg)->file_side();
    return nullptr;
}

// Block b is convolved by the convolver's workers while this thread writes
// block b - 1 and reads block b + 1 into the slot that b - 1 has left, then
// joins the convolver to finish block b. With a convolver that does not
// work between start() and finish(), the same steps one after another.
int Stream::run_alongside(const volatile uint8_t *stop)
{
    fill(0);
    int64_t b = 0;
    for (; b < _nblock && !*stop; b++) {
        float *const *chan = _chanptr[b % NSLOT];
        _conv->start(chan, chan);
        const bool written = (b == 0) || drain(b - 1);
        if (written && b + 1 < _nblock) fill(b + 1);
        _conv->finish();
        if (!written) return 1;
    }
    if (b == _nblock && !drain(b - 1)) return 1;
    return 0;
}

int Stream::run(int64_t total, const volatile uint8_t *stop, Progress *progress)
{
    _total = total;
    _nblock = (total + _period - 1) / _period;
    _progress = progress;
    _delivered = 0;
    _halt.store(false);
    _failed.store(false);
    if (_nblock == 0) return 0;
    if (_conv->works_between()) return run_alongside(stop);
    sem_init(&_filled, 0, 0);
    sem_init(&_processed, 0, 0);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, file_entry, this) != 0) {
        // No thread for the files: the same steps on this one, the whole
        // cycle then in finish().
        sem_destroy(&_filled);
        sem_destroy(&_processed);
        return run_alongside(stop);
    }
    int64_t b = 0;
    for (; b < _nblock && !*stop; b++) {
        wait_for(&_filled);
        if (_halt.load()) break;
        float *const *chan = _chanptr[b % NSLOT];
        _conv->process(chan, chan);
        sem_post(&_processed);
    }
    if (b < _nblock) {
        _halt.store(true);
        sem_post(&_processed);
    }
    pthread_join(thread, nullptr);
    sem_destroy(&_filled);
    sem_destroy(&_processed);
    return _failed.load() ? 1 : 0;
}
