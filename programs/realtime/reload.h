// The reload of tesslive's configuration while it runs: on request, a
// thread of its own reads the configuration file into a new Convconf
// exactly as at start-up, checks that it fits the running client (the same
// numbers of inputs and outputs, the same port names and connections), and
// hands the new convolver to the process callback (Liveproc::offer), which
// crossfades to it. Once the callback hands the old convolver back, the
// configuration that holds it is destroyed on this thread.
//
// A file that cannot be read, that has an error or no convolver, or that
// does not fit, changes nothing: its messages go to stderr and the running
// convolver goes on. Requests made while a reload is under way are done
// after it, as one; two reloads never overlap.
//
// Threads: the constructor, start(), stop() and the destructor on the main
// thread; request() on any thread (one atomic store, so also from a signal
// handler). The reload itself runs on the reload thread, never on JACK's
// process thread. Nothing here is realtime-safe.

#ifndef TESS_RELOAD_H
#define TESS_RELOAD_H

#include <atomic>
#include <stdint.h>
#include <thread>

#include "convconf.h"
#include "jackclient.h"

class Reloader
{
public:
    // 'conf' is the running configuration, read from 'path'; the reloader
    // owns it from now on. With 'verbose', a successful reload is reported.
    Reloader(Jackclient *client, Convconf *conf, const char *path, bool verbose);
    // Stops the thread and destroys every configuration held. Only after
    // the client has been closed (or deactivated), so that no process
    // callback can still be running a convolver.
    ~Reloader();
    Reloader(const Reloader &) = delete;
    Reloader &operator=(const Reloader &) = delete;

    // Starts the reload thread. Returns 0, or 1 when it cannot be started.
    int start();
    void request() { _requested.store(true, std::memory_order_release); }
    // Ends the thread after the step it is in. A reload waiting for the
    // process callback is abandoned; its configuration is freed with the
    // reloader.
    void stop();

    // Reloads that have replaced the convolver, and that were refused.
    long done() const { return _done.load(); }
    long refused() const { return _refused.load(); }

private:
    void run();
    void reload();
    bool fits(const Convconf *next);

    Jackclient *_client;
    Convconf *_conf;      // the running configuration
    Convconf *_pending;   // offered to the callback, not yet running alone
    const char *_path;
    bool _verbose;
    std::atomic<bool> _requested;
    std::atomic<bool> _stop;
    std::atomic<long> _done;
    std::atomic<long> _refused;
    std::thread _thread;
};

#endif
