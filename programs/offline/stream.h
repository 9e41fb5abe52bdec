// The offline program's streaming loop: reads the input in blocks of the
// convolver's period, de-interleaves them into channel blocks, runs one
// cycle of the convolver per block in place, interleaves the outputs and
// writes them, until the output's length is reached.
//
// The file side (reading and de-interleaving, interleaving, writing and the
// progress display) runs one block ahead of and one block behind the
// convolver, with two sets of channel blocks between them; so the files
// are read and written while the convolver computes. Where the convolver's
// workers go on with a cycle between its start() and finish(), the file
// side runs on the calling thread in between, and no more threads than
// the convolver's own compete for the processors; otherwise on a thread
// of its own. Where no thread can be started, the same steps run one after
// another on the calling thread. The output is the same every way.
// Memory is the two sets of channel blocks and one interleaved block,
// whatever the file's length; nothing is allocated once run() has started.
//
// Threads: construct, init(), run() and destroy on the program's main
// thread; run() drives the convolver from that thread. While run() runs,
// the progress display is used only by the file side (the file thread, or
// the main thread where it does the file side itself), and by nothing
// else; before and after, by the main thread. Nothing here is
// realtime-safe.

#ifndef TESS_STREAM_H
#define TESS_STREAM_H

#include <semaphore.h>
#include <stdint.h>

#include <atomic>

#include "convolver.h"
#include "progress.h"
#include "soundfile.h"

class Stream
{
public:
    // 'conv' has 'inp.channels()' inputs and 'nout' outputs; the output
    // file has 'nout' channels. Nothing is owned.
    Stream(Soundfile &inp, Soundfile &out, Convolver *conv, int nout);
    ~Stream();
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    // Allocates the buffers: 0, or 1 when memory is short.
    int init();

    // Writes 'total' frames of output: the convolution of the input, which
    // is followed by silence where it ends, or where a read delivers fewer
    // frames than asked for. Before each block it looks at '*stop' (set by
    // a signal handler) and ends when it is set. 'progress' (may be null)
    // is given every block written. Returns 0, or 1 when a write fell short
    // (the output is then incomplete, and nothing more is written).
    int run(int64_t total, const volatile uint8_t *stop, Progress *progress);

    // Input frames that the reads of the last run() delivered; fewer than
    // the input announces when it is cut short.
    int64_t delivered() const { return _delivered; }

private:
    enum { NSLOT = 2 };

    // The file side's steps for block 'b' of slot b % NSLOT.
    void fill(int64_t b);
    bool drain(int64_t b);
    void file_side();
    static void *file_entry(void *arg);
    int run_alongside(const volatile uint8_t *stop);

    Soundfile &_inp;
    Soundfile &_out;
    Convolver *_conv;
    const int _ninp;
    const int _nout;
    const int _period;
    float *_chandata[NSLOT];         // max(ninp, nout) channel blocks per slot
    float **_chanptr[NSLOT];
    float *_interleaved;             // one block of frames, file side only
    // Set for the one run.
    int64_t _total;
    int64_t _nblock;
    int64_t _delivered;              // file side only while run() runs
    Progress *_progress;
    // Hand-over between the file side and the convolver: a block is
    // 'filled' for the convolver, then 'processed' for the file side.
    sem_t _filled;
    sem_t _processed;
    std::atomic<bool> _halt;         // either side has stopped: the other stops too
    std::atomic<bool> _failed;       // a write fell short
};

#endif
