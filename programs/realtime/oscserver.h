// The OSC control server of tesslive: a UDP socket bound to one address
// (127.0.0.1 unless the option names another), read by a thread of its
// own. Each packet goes to osc_handle() (oscmsg.h); a status request is
// answered to the sender (or to the port it names, on the sender's host);
// every refused packet is reported by one line on stderr, at most
// MAX_REPORTS a second, the rest counted and reported as a number.
//
// Threads: the constructor, open(), start(), stop() and the destructor on
// the main thread; the server loop on its own thread, which is never
// realtime. Nothing here is realtime-safe; the server reaches the process
// callback only through Liveproc's atomics.

#ifndef TESS_OSCSERVER_H
#define TESS_OSCSERVER_H

#include <atomic>
#include <netinet/in.h>
#include <thread>

#include "liveproc.h"

// Parses "port" or "address:port" (IPv4 numbers) into 'addr'; a port alone
// means 127.0.0.1. Returns 0, or 1 when the text is neither.
int osc_parse_address(const char *text, sockaddr_in *addr);

class Oscserver
{
public:
    enum { MAX_REPORTS = 5 };

    // 'reload' is set by /reload.
    explicit Oscserver(std::atomic<bool> &reload);
    ~Oscserver();
    Oscserver(const Oscserver &) = delete;
    Oscserver &operator=(const Oscserver &) = delete;

    // Binds the socket. Returns 0, or 1 (errno set) when it cannot.
    int open(const sockaddr_in &addr);
    // Starts the server thread, acting on 'live' (which must outlive the
    // thread). Returns 0, or 1.
    int start(Liveproc *live);
    // Ends the thread (within 100 ms) and reports refusals not yet shown.
    void stop();

    long handled() const { return _handled.load(); }
    long refused() const { return _refused.load(); }

private:
    void run();
    void packet(const void *data, size_t size, const sockaddr_in &from);
    void report(const char *line);
    void flush_suppressed();

    Liveproc *_live;
    std::atomic<bool> &_reload;
    int _fd;
    std::atomic<bool> _stop;
    std::atomic<long> _handled;
    std::atomic<long> _refused;
    std::thread _thread;
    // Server thread only: the reports of the current second.
    long _second;
    int _reports;
    long _suppressed;
};

#endif
