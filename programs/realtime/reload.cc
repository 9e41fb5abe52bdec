#include "reload.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <system_error>

#include "wisdom.h"

namespace {

bool same(const char *a, const char *b)
{
    if (!a || !b) return a == b;
    return !strcmp(a, b);
}

}  // namespace

Reloader::Reloader(Jackclient *client, Convconf *conf, const char *path, bool verbose)
    : _client(client), _conf(conf), _pending(nullptr), _path(path), _verbose(verbose),
      _requested(false), _stop(false), _done(0), _refused(0)
{
}

Reloader::~Reloader()
{
    stop();
    delete _pending;
    delete _conf;
}

int Reloader::start()
{
    try {
        _thread = std::thread(&Reloader::run, this);
    }
    catch (const std::system_error &) {
        return 1;
    }
    return 0;
}

void Reloader::stop()
{
    _stop.store(true);
    if (_thread.joinable()) _thread.join();
}

void Reloader::run()
{
    while (!_stop.load()) {
        if (_requested.exchange(false, std::memory_order_acq_rel)) reload();
        else usleep(10000);
    }
}

// Port names and connections are made once, at start-up; a file that
// changes them is refused rather than half followed.
bool Reloader::fits(const Convconf *next)
{
    if ((next->ninp != _conf->ninp) || (next->nout != _conf->nout)) {
        fprintf(stderr,
                "Reload refused: '%s' has %u inputs and %u outputs, the running convolver %u and "
                "%u. Restart tesslive to change them.\n",
                _path, next->ninp, next->nout, _conf->ninp, _conf->nout);
        return false;
    }
    for (uint32_t i = 0; i < next->ninp; i++) {
        if (!same(next->inp_names[i], _conf->inp_names[i]) ||
            !same(next->inp_conns[i], _conf->inp_conns[i])) {
            fprintf(stderr, "Reload refused: '%s' changes the name or connection of input %u. "
                            "Restart tesslive to change them.\n", _path, i + 1);
            return false;
        }
    }
    for (uint32_t j = 0; j < next->nout; j++) {
        if (!same(next->out_names[j], _conf->out_names[j]) ||
            !same(next->out_conns[j], _conf->out_conns[j])) {
            fprintf(stderr, "Reload refused: '%s' changes the name or connection of output %u. "
                            "Restart tesslive to change them.\n", _path, j + 1);
            return false;
        }
    }
    return true;
}

void Reloader::reload()
{
    Convconf *next = new Convconf(_conf->rate, _conf->period);
    Wisdom wisdom;
    wisdom.load();
    // The reader prints its own messages, as at start-up.
    int rc = next->read(_path);
    wisdom.save();
    bool ok = !rc;
    if (ok && !next->convolver) {
        fprintf(stderr, "No convolver: '%s' has no /convolver/new command.\n", _path);
        ok = false;
    }
    if (!ok) {
        fprintf(stderr, "Reload failed: the running configuration is kept.\n");
    }
    if (ok) ok = fits(next);
    if (!ok) {
        delete next;
        _refused++;
        return;
    }

    // The new convolver's output is right once its input history spans its
    // impulse responses: so many periods before the crossfade.
    const uint32_t period = (uint32_t)_conf->period;
    const uint32_t preroll = (next->maxlen > 1) ? (next->maxlen - 1 + period - 1) / period : 0;
    _pending = next;
    while (_client->live().offer(next->convolver, preroll) != Liveproc::OFFER_OK) {
        if (_stop.load()) return;
        usleep(2000);
    }
    Convolver *old = nullptr;
    while (!(old = _client->live().take_retired())) {
        // Processing that has ended never hands it back; the destructor
        // frees both then.
        if (_stop.load() || (_client->active_state() & STATE_TERMINATE)) return;
        usleep(2000);
    }
    // 'old' is the running configuration's convolver: the callback holds
    // one convolver at a time besides the one offered.
    if (old == _conf->convolver) delete _conf;
    _conf = next;
    _pending = nullptr;
    _done++;
    if (_verbose) fprintf(stderr, "Reloaded '%s'.\n", _path);
}
