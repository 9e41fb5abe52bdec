// The JACK client of the realtime program: opens and activates a client,
// checks the server's period, registers and connects the audio ports, and
// runs the convolver once per period in JACK's process callback under a
// run-state protocol of two words.
//
// Threads and realtime safety:
// - Main thread: the constructor, add_input_port(), add_output_port(),
//   start(), stop(), the destructor, and the accessors. None of these is
//   realtime-safe (they talk to the JACK server, allocate or sleep).
// - JACK's process thread: process_callback(). It is REALTIME-SAFE: no
//   allocation, no lock, no output; it calls only jack_port_get_buffer()
//   and Liveproc::process(), which runs the convolver.
// - JACK's notification threads: buffer_size_callback(),
//   shutdown_callback() and xrun_callback(). Each does nothing but atomic
//   stores, so all are safe wherever JACK chooses to call them (the
//   shutdown callback may be run like an asynchronous signal handler).
// - live(): the live controls, reload hand-off and meters; liveproc.h
//   says which thread may use what.
//
// The run-state words are the only data written on one side and read on
// another while the client runs. 'requested_state' is written by the main
// thread and the notification callbacks and read by the process callback;
// 'active_state' is written by the process callback and read by the main
// thread. Stores are release, loads acquire: everything the main thread
// stored before start() (port tables, counts, the convolver) is visible to
// a process callback that has read STATE_PROCESS.

#ifndef TESS_JACKCLIENT_H
#define TESS_JACKCLIENT_H

#include <atomic>
#include <stdint.h>

#include <jack/jack.h>

#include "convolver.h"
#include "liveproc.h"

enum
{
    STATE_IDLE = 0,        // the process callback does nothing
    STATE_PROCESS = 1,     // the process callback runs the convolver
    STATE_TERMINATE = 2    // processing has ended; the program is to finish
};

static_assert(std::atomic<int32_t>::is_always_lock_free,
              "the run-state words must be lock-free atomics");
static_assert(std::atomic<uint32_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free,
              "the period and the shutdown flag must be lock-free atomics");

class Jackclient
{
public:
    // Results of add_input_port() and add_output_port().
    enum { PORT_OK = 0, PORT_REFUSED = -1 };

    // Opens a client called 'name' on the server 'server' (null: the
    // default server), never starting a server, and activates it. Checks
    // that the period is a power of two in 64..4096. On any failure prints
    // one message to stderr, closes what it opened and ends the process
    // with status 1: it never returns a half-made client. Main thread.
    Jackclient(const char *name, const char *server);
    // Deactivates and closes the client. Main thread.
    ~Jackclient();
    Jackclient(const Jackclient &) = delete;
    Jackclient &operator=(const Jackclient &) = delete;

    // Register an input (output) port called 'name' and, when 'source'
    // ('destination') is not null, connect that outside port to it (it to
    // that port). A connection that fails leaves the port unconnected and
    // is not reported. Returns PORT_OK, or PORT_REFUSED when JACK refuses
    // to register the port (the port is then not counted). Prints nothing.
    // Main thread, before start().
    int add_input_port(const char *name, const char *source);
    int add_output_port(const char *name, const char *destination);

    // Hands 'convolver' to the process callback and asks for processing.
    // A termination already requested (a period change or a server
    // shutdown before this call) is kept: processing then never starts.
    // The convolver must outlive the client. Sets up live() for the ports
    // registered (a failure to allocate its buffers ends the process like a
    // failure of the constructor). Main thread, after all ports are
    // registered.
    void start(Convolver *convolver);
    // Asks for termination and waits 100 ms, after which the process
    // callback no longer touches the convolver. Main thread.
    void stop();

    uint32_t rate() const { return _rate; }
    uint32_t period() const { return _period.load(std::memory_order_acquire); }
    const char *client_name() const { return _client_name; }

    // The state that the process callback adopted at its last call, or
    // STATE_TERMINATE once the server has shut the client down (no further
    // process call comes then). Main thread, any time.
    int32_t active_state() const;
    // True once the server has shut the client down. Main thread.
    bool shut_down() const { return _shutdown.load(std::memory_order_acquire); }

    // JACK callbacks; 'arg' is the Jackclient. The process callback adopts
    // the requested state and, in STATE_PROCESS, runs one convolution on
    // the port buffers; a frame count other than the period it was opened
    // with ends processing instead (STATE_TERMINATE, final). Outside
    // STATE_PROCESS no port buffer is touched.
    static int process_callback(jack_nframes_t nframes, void *arg);   // REALTIME
    static int buffer_size_callback(jack_nframes_t nframes, void *arg);
    static void shutdown_callback(void *arg);
    static int xrun_callback(void *arg);

    Liveproc &live() { return _live; }

private:
    [[noreturn]] void fail(const char *message);
    int process(jack_nframes_t nframes);   // REALTIME

    jack_client_t *_client;
    jack_port_t *_input_ports[MAXINP];
    jack_port_t *_output_ports[MAXOUT];
    std::atomic<int32_t> _requested_state;
    std::atomic<int32_t> _active_state;
    std::atomic<bool> _shutdown;
    const char *_client_name;   // belongs to JACK
    uint32_t _rate;
    std::atomic<uint32_t> _period;   // 0 until stored; read by the buffer-size callback
    uint32_t _ninp;
    uint32_t _nout;
    Liveproc _live;             // runs the convolver set by start()
    bool _ran;                  // process thread only: the convolver has run
};

#endif
