#include "oscserver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <system_error>
#include <vector>

#include "oscmsg.h"

int osc_parse_address(const char *text, sockaddr_in *addr)
{
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    const char *colon = strrchr(text, ':');
    const char *port = colon ? colon + 1 : text;
    char host[64] = "127.0.0.1";
    if (colon) {
        size_t n = colon - text;
        if (n == 0 || n >= sizeof(host)) return 1;
        memcpy(host, text, n);
        host[n] = 0;
    }
    if (inet_pton(AF_INET, host, &addr->sin_addr) != 1) return 1;
    char *end;
    errno = 0;
    long p = strtol(port, &end, 10);
    if (!*port || *end || errno || p < 1 || p > 65535) return 1;
    addr->sin_port = htons((uint16_t)p);
    return 0;
}

Oscserver::Oscserver(std::atomic<bool> &reload)
    : _live(nullptr), _reload(reload), _fd(-1), _stop(false), _handled(0),
      _refused(0), _second(0), _reports(0), _suppressed(0)
{
}

Oscserver::~Oscserver()
{
    stop();
    if (_fd >= 0) close(_fd);
}

int Oscserver::open(const sockaddr_in &addr)
{
    _fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (_fd < 0) return 1;
    if (bind(_fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr))) {
        int e = errno;
        close(_fd);
        _fd = -1;
        errno = e;
        return 1;
    }
    return 0;
}

int Oscserver::start(Liveproc *live)
{
    if (_fd < 0) return 1;
    _live = live;
    try {
        _thread = std::thread(&Oscserver::run, this);
    }
    catch (const std::system_error &) {
        return 1;
    }
    return 0;
}

void Oscserver::stop()
{
    _stop.store(true);
    if (_thread.joinable()) {
        _thread.join();
        flush_suppressed();
    }
}

void Oscserver::run()
{
    std::vector<char> buf(65536);
    while (!_stop.load()) {
        pollfd p = {_fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            flush_suppressed();
            continue;
        }
        sockaddr_in from;
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(_fd, buf.data(), buf.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0) continue;
        packet(buf.data(), (size_t)n, from);
    }
}

void Oscserver::packet(const void *data, size_t size, const sockaddr_in &from)
{
    Oscrequest req;
    int r = osc_handle(data, size, *_live, _reload, &req);
    if (r == OSC_DONE || r == OSC_STATUS) _handled++;
    if (r == OSC_DONE) return;
    if (r == OSC_STATUS) {
        Livemeters m;
        _live->meters(&m);
        lo_message msg = osc_status_reply(m, m.late_waits);
        if (!msg) return;
        size_t len = 0;
        void *bytes = lo_message_serialise(msg, "/status", nullptr, &len);
        lo_message_free(msg);
        if (!bytes) return;
        sockaddr_in to = from;
        if (req.reply_port) to.sin_port = htons((uint16_t)req.reply_port);
        sendto(_fd, bytes, len, MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to), sizeof(to));
        free(bytes);
        return;
    }
    _refused++;
    char line[200];
    osc_describe(r, req, line, sizeof(line));
    report(line);
}

// At most MAX_REPORTS lines in one second; the rest are counted and told
// as one line when the flood has passed.
void Oscserver::report(const char *line)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    if (t.tv_sec != _second) {
        flush_suppressed();
        _second = t.tv_sec;
        _reports = 0;
    }
    if (_reports < MAX_REPORTS) {
        _reports++;
        fputs(line, stderr);
    }
    else {
        _suppressed++;
    }
}

void Oscserver::flush_suppressed()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    if (!_suppressed || (t.tv_sec == _second && !_stop.load())) return;
    fprintf(stderr, "OSC: %ld more refused messages not shown.\n", _suppressed);
    _suppressed = 0;
}
