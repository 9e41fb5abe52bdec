#include "jackclient.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// libjack writes its own diagnostics to stderr (a server that is not
// running, a port name it refuses); the client reports every failure in
// its own words instead, so the library's are dropped.
void quiet(const char *) {}

}  // namespace

Jackclient::Jackclient(const char *name, const char *server)
    : _client(nullptr), _requested_state(STATE_IDLE), _active_state(STATE_IDLE),
      _shutdown(false), _client_name(nullptr), _rate(0), _period(0), _ninp(0), _nout(0),
      _ran(false)
{
    for (int i = 0; i < MAXINP; i++) _input_ports[i] = nullptr;
    for (int i = 0; i < MAXOUT; i++) _output_ports[i] = nullptr;

    jack_set_error_function(quiet);
    jack_set_info_function(quiet);

    jack_status_t status;
    if (server) {
        _client = jack_client_open(name, (jack_options_t)(JackNoStartServer | JackServerName),
                                   &status, server);
    }
    else {
        _client = jack_client_open(name, JackNoStartServer, &status);
    }
    if (!_client) fail("Can't connect to JACK\n");

    jack_on_shutdown(_client, shutdown_callback, this);
    jack_set_buffer_size_callback(_client, buffer_size_callback, this);
    jack_set_process_callback(_client, process_callback, this);
    jack_set_xrun_callback(_client, xrun_callback, this);

    if (jack_activate(_client)) fail("Can't activate JACK.\n");

    _client_name = jack_get_client_name(_client);
    _rate = jack_get_sample_rate(_client);
    uint32_t period = jack_get_buffer_size(_client);
    _period.store(period, std::memory_order_release);

    if ((period < 64) || (period > 4096)) fail("Fragment size must be 64...4096.\n");
    if (period & (period - 1)) fail("Fragment size must be a power of 2.\n");
}

Jackclient::~Jackclient()
{
    if (_client) {
        jack_deactivate(_client);
        jack_client_close(_client);
    }
}

void Jackclient::fail(const char *message)
{
    fputs(message, stderr);
    // Leave no client behind on the server: closing deactivates it too.
    if (_client) jack_client_close(_client);
    exit(1);
}

int Jackclient::add_input_port(const char *name, const char *source)
{
    jack_port_t *port = jack_port_register(_client, name, JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsInput, 0);
    if (!port) return PORT_REFUSED;
    _input_ports[_ninp] = port;
    if (source) {
        char full[512];
        snprintf(full, sizeof(full), "%s:%s", _client_name, name);
        jack_connect(_client, source, full);
    }
    _ninp++;
    return PORT_OK;
}

int Jackclient::add_output_port(const char *name, const char *destination)
{
    jack_port_t *port = jack_port_register(_client, name, JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsOutput, 0);
    if (!port) return PORT_REFUSED;
    _output_ports[_nout] = port;
    if (destination) {
        char full[512];
        snprintf(full, sizeof(full), "%s:%s", _client_name, name);
        jack_connect(_client, full, destination);
    }
    _nout++;
    return PORT_OK;
}

void Jackclient::start(Convolver *convolver)
{
    if (_live.init(_ninp, _nout, period(), _rate)) fail("Not enough memory.\n");
    _live.set_convolver(convolver);
    // The release store publishes the convolver and the port tables to the
    // process callback. Only IDLE becomes PROCESS: a termination that was
    // requested while the configuration was read must not be overwritten.
    int32_t expected = STATE_IDLE;
    _requested_state.compare_exchange_strong(expected, STATE_PROCESS,
                                             std::memory_order_release,
                                             std::memory_order_relaxed);
}

void Jackclient::stop()
{
    _requested_state.store(STATE_TERMINATE, std::memory_order_release);
    usleep(100000);
}

int32_t Jackclient::active_state() const
{
    if (_shutdown.load(std::memory_order_acquire)) return STATE_TERMINATE;
    return _active_state.load(std::memory_order_acquire);
}

// REALTIME: JACK's process thread. Allocates nothing, takes no lock.
int Jackclient::process_callback(jack_nframes_t nframes, void *arg)
{
    return static_cast<Jackclient *>(arg)->process(nframes);
}

// REALTIME: JACK's process thread.
int Jackclient::process(jack_nframes_t nframes)
{
    int32_t state = _requested_state.load(std::memory_order_acquire);
    if ((state == STATE_PROCESS) && (nframes != _period.load(std::memory_order_relaxed))) {
        // Buffers of another size than the convolver's partition must never
        // reach it. Termination is final: no one turns it back into
        // PROCESS, so storing it here cannot undo anything.
        state = STATE_TERMINATE;
        _requested_state.store(STATE_TERMINATE, std::memory_order_release);
    }
    _active_state.store(state, std::memory_order_release);
    if (state != STATE_PROCESS) {
        // JACK hands a port the buffer it had in the last cycle: once the
        // convolver has stopped, its last block would repeat as a buzz until
        // the client is closed. Silence the outputs instead. (Before the
        // first processed cycle the ports may still be being registered,
        // and they hold nothing of ours.)
        if (_ran) {
            for (uint32_t j = 0; j < _nout; j++) {
                memset(jack_port_get_buffer(_output_ports[j], nframes), 0, nframes * sizeof(float));
            }
        }
        return 0;
    }
    _ran = true;

    const jack_nframes_t period = nframes;
    float *out[MAXOUT];
    const float *inp[MAXINP];
    for (uint32_t j = 0; j < _nout; j++) {
        out[j] = static_cast<float *>(jack_port_get_buffer(_output_ports[j], period));
    }
    for (uint32_t i = 0; i < _ninp; i++) {
        inp[i] = static_cast<const float *>(jack_port_get_buffer(_input_ports[i], period));
    }
    _live.process(inp, out);
    return 0;
}

// A JACK notification thread. A notification during activation, before the
// period is stored, is ignored; any later one ends processing, even one
// that repeats the current size.
int Jackclient::buffer_size_callback(jack_nframes_t, void *arg)
{
    Jackclient *C = static_cast<Jackclient *>(arg);
    if (C->_period.load(std::memory_order_acquire)) {
        C->_requested_state.store(STATE_TERMINATE, std::memory_order_release);
    }
    return 0;
}

// A JACK thread, possibly in the manner of a signal handler: atomic stores
// only. No process call follows a shutdown, so the process callback would
// never adopt the request; the flag tells the main thread directly.
void Jackclient::shutdown_callback(void *arg)
{
    Jackclient *C = static_cast<Jackclient *>(arg);
    C->_requested_state.store(STATE_TERMINATE, std::memory_order_release);
    C->_shutdown.store(true, std::memory_order_release);
}

// A JACK notification thread: one atomic increment.
int Jackclient::xrun_callback(void *arg)
{
    static_cast<Jackclient *>(arg)->_live.count_xrun();
    return 0;
}
