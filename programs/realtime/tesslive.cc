// tesslive: the matrix convolver as a JACK client. Reads a configuration
// file, registers one JACK port per convolver input and output, connects
// them as configured, and convolves once per JACK period until SIGINT, a
// change of the JACK period, or the server shutting the client down.
// SIGHUP and the OSC message /reload reread the configuration and
// crossfade to it (reload.h); -o starts the OSC control server
// (oscserver.h); -v prints the operator's figures every 10 s.
//
// Threads: main() runs on the main thread and only sets up and supervises;
// the convolution runs in the client's process callback and the
// convolver's workers, a reload on the reload thread, the OSC messages on
// the OSC server's thread. The SIGINT and SIGHUP handlers only store one
// atomic flag each.

#include <atomic>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <ctype.h>
#include <errno.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "convconf.h"
#include "jackclient.h"
#include "oscserver.h"
#include "reload.h"
#include "wisdom.h"

#ifndef TESS_VERSION
#define TESS_VERSION "0.5.2"
#endif

namespace {

// Set by the SIGINT handler, and by the main thread when the client ends
// processing. A lock-free atomic, so the handler may store it.
std::atomic<bool> interrupted(false);
static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag must be lock-free");
// Set by the SIGHUP handler and by /reload; the main loop passes it on.
std::atomic<bool> reload_requested(false);

const char *const OPTIONS = "hN:s:o:vx:";

// The longest server name passed on to the JACK library.
const int MAXSERVER = 255;

void sigint_handler(int)
{
    interrupted.store(true);
}

void sighup_handler(int)
{
    reload_requested.store(true);
}

struct Options
{
    const char *name = "tesslive";
    const char *server = nullptr;
    const char *osc = nullptr;   // -o: [address:]port
    bool verbose = false;
    uint32_t crossfade = Liveproc::DEFAULT_CROSSFADE_MS;
};

double monotonic()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

// The line of -v: figures since the start.
void print_status(Jackclient *jclient, const std::vector<std::string> &outputs)
{
    Livemeters m;
    jclient->live().meters(&m);
    std::string text;
    char part[160];
    snprintf(part, sizeof(part), "tesslive: %.1f s, %ld xruns, DSP load %.1f%% avg %.1f%% max",
             m.seconds, m.xruns, 100.0 * m.load_avg, 100.0 * m.load_max);
    text += part;
    snprintf(part, sizeof(part), ", %ld late waits", m.late_waits);
    text += part;
    for (uint32_t j = 0; j < m.nout && j < outputs.size(); j++) {
        snprintf(part, sizeof(part), "; %s %.1f dBFS %llu over", outputs[j].c_str(),
                 20.0 * log10((double)m.peak[j]), (unsigned long long)m.over[j]);
        text += part;
    }
    text += "\n";
    fputs(text.c_str(), stderr);
}

[[noreturn]] void usage()
{
    fprintf(stderr, "\ntesslive %s\n", TESS_VERSION);
    fprintf(stderr, "Usage: tesslive <options> <config file>\n");
    fprintf(stderr, "Options:\n");
    fprintf(stderr, "  -h                 Display this text\n");
    fprintf(stderr, "  -N <name>          Name to use as JACK client [livetess]\n");
    fprintf(stderr, "  -s <server>        Jack server name\n");
    fprintf(stderr, "  -o <[addr:]port>   Listen for OSC control on this UDP port [127.0.0.1]\n");
    fprintf(stderr, "  -v                 Print the running figures every 10 s and at the end\n");
    fprintf(stderr, "  -x <ms>            Crossfade time of a reload, 0...1000 ms [50]\n");
    exit(1);
}

[[noreturn]] void option_error(const char *format, int arg)
{
    fprintf(stderr, "\n%s\n", "On command line:");
    fprintf(stderr, format, arg);
    fprintf(stderr, "  Use '-h' to see all options.\n");
    exit(1);
}

// Parses the options; returns the index of the first operand.
int procoptions(int ac, char *av[], Options *opt)
{
    optind = 1;
    opterr = 0;
    int k;
    // The leading '+' keeps glibc from permuting: parsing ends at the first
    // argument that is not an option.
    while ((k = getopt(ac, av, "+hN:s:o:vx:")) != -1) {
        if (optarg && (*optarg == '-')) {
            option_error("  Missing argument for '-%c' option.\n", k);
        }
        switch (k) {
        case 'h':
            usage();
        case 'N':
            opt->name = optarg;
            break;
        case 's':
            opt->server = optarg;
            break;
        case 'o': {
            sockaddr_in addr;
            if (osc_parse_address(optarg, &addr)) {
                option_error("  Bad OSC port or address:port for '-%c' option.\n", k);
            }
            opt->osc = optarg;
            break;
        }
        case 'v':
            opt->verbose = true;
            break;
        case 'x': {
            char *end;
            long ms = strtol(optarg, &end, 10);
            if (!*optarg || *end || ms < 0 || ms > 1000) {
                option_error("  Crossfade time for '-%c' option must be 0...1000 ms.\n", k);
            }
            opt->crossfade = (uint32_t)ms;
            break;
        }
        case '?':
            if ((optopt != ':') && optopt && strchr(OPTIONS, optopt)) {
                option_error("  Missing argument for '-%c' option.\n", optopt);
            }
            if (isprint(optopt & 255)) option_error("  Unknown option '-%c'.\n", optopt);
            option_error("  Unknown option character '0x%02x'.\n", optopt & 255);
        }
    }
    return optind;
}

[[noreturn]] void give_up(Jackclient *jclient, Convconf *conf)
{
    delete jclient;   // deactivates and closes before the convolver goes
    delete conf;
    exit(1);
}

const char SHUTDOWN_MESSAGE[] = "JACK server has shut down the client.\n";

// A port that JACK refused: a name it does not accept, or one in use
// already. Once the server has gone away every registration fails, and
// that is the thing to report.
[[noreturn]] void port_failure(Jackclient *jclient, Convconf *conf, const char *kind,
                               const char *pname)
{
    if (jclient->shut_down()) fputs(SHUTDOWN_MESSAGE, stderr);
    else fprintf(stderr, "Can't register %s port '%s'.\n", kind, pname);
    give_up(jclient, conf);
}

}  // namespace

int main(int ac, char *av[])
{
    if (mlockall(MCL_CURRENT | MCL_FUTURE)) {
        fprintf(stderr, "Warning: ");
        perror("mlockall:");
    }

    Options opt;
    int first = procoptions(ac, av, &opt);
    if (first >= ac) usage();
    // The library refuses longer client names only with a failure that
    // reads like a missing server, and a server name far beyond its
    // limit overruns its buffers: both are refused here, in plain words.
    const int maxname = jack_client_name_size() - 2;
    if ((int) strlen(opt.name) > maxname) {
        option_error("  Client name for '-N' is too long (at most %d characters).\n", maxname);
    }
    if (opt.server && strlen(opt.server) > MAXSERVER) {
        option_error("  Server name for '-s' is too long (at most %d characters).\n", MAXSERVER);
    }
    // A SIGHUP during start-up is not fatal: the reload it asks for is done
    // once processing runs.
    signal(SIGHUP, sighup_handler);

    // The control port is taken before anything else, so that a port in
    // use ends the program at once.
    Oscserver *osc = nullptr;
    if (opt.osc) {
        sockaddr_in addr;
        osc_parse_address(opt.osc, &addr);
        osc = new Oscserver(reload_requested);
        if (osc->open(addr)) {
            fprintf(stderr, "Can't listen for OSC on '%s': %s.\n", opt.osc, strerror(errno));
            exit(1);
        }
    }

    Jackclient *jclient = new Jackclient(opt.name, opt.server);
    Convconf *conf = new Convconf(jclient->rate(), jclient->period());
    // Plans found by earlier runs make the convolver's construction quick.
    Wisdom wisdom;
    wisdom.load();
    // The reader prints its own messages, also when the convolver cannot
    // be built.
    int rc = conf->read(av[first]);
    wisdom.save();
    if (rc) give_up(jclient, conf);
    if (!conf->convolver) {
        fprintf(stderr, "No convolver: '%s' has no /convolver/new command.\n", av[first]);
        give_up(jclient, conf);
    }

    char defname[16];
    for (uint32_t i = 0; i < conf->ninp; i++) {
        const char *pname = conf->inp_names[i];
        const char *source = conf->inp_conns[i];
        if (!pname) {
            snprintf(defname, sizeof(defname), "in-%d", (int)i + 1);
            pname = defname;
            source = nullptr;
        }
        if (jclient->add_input_port(pname, source) != Jackclient::PORT_OK) {
            port_failure(jclient, conf, "input", pname);
        }
    }
    for (uint32_t j = 0; j < conf->nout; j++) {
        const char *pname = conf->out_names[j];
        const char *destination = conf->out_conns[j];
        if (!pname) {
            snprintf(defname, sizeof(defname), "out-%d", (int)j + 1);
            pname = defname;
            destination = nullptr;
        }
        if (jclient->add_output_port(pname, destination) != Jackclient::PORT_OK) {
            port_failure(jclient, conf, "output", pname);
        }
    }

    std::vector<std::string> outputs;   // the output ports' names, for -v
    for (uint32_t j = 0; j < conf->nout; j++) {
        outputs.push_back(conf->out_names[j] ? conf->out_names[j] : "out-" + std::to_string(j + 1));
    }

    jclient->live().set_crossfade(opt.crossfade);
    jclient->start(conf->convolver);
    // From here on the reloader owns the running configuration.
    Reloader *reloader = new Reloader(jclient, conf, av[first], opt.verbose);
    conf = nullptr;
    if (reloader->start() || (osc && osc->start(&jclient->live()))) {
        fputs("Can't start a control thread.\n", stderr);
        delete osc;
        jclient->stop();
        reloader->stop();
        delete jclient;    // deactivates and closes before the convolvers go
        delete reloader;
        return 1;
    }
    signal(SIGINT, sigint_handler);

    const double t0 = monotonic();
    double next_line = t0 + 10.0;
    while (!interrupted.load()) {
        usleep(100000);
        if (reload_requested.exchange(false)) reloader->request();
        if (jclient->active_state() & STATE_TERMINATE) {
            interrupted.store(true);
            break;
        }
        if (opt.verbose && monotonic() >= next_line) {
            print_status(jclient, outputs);
            next_line += 10.0;
        }
    }

    delete osc;   // before the client whose controls it sets
    int status = 0;
    if (jclient->shut_down()) {
        fputs(SHUTDOWN_MESSAGE, stderr);
        status = 1;
    }
    jclient->stop();
    reloader->stop();   // waits for a reload under way
    if (opt.verbose) print_status(jclient, outputs);
    // Background work that was not done when its output was due made the
    // period wait: the output stayed right, but the period ran late.
    Livemeters meters;
    jclient->live().meters(&meters);
    if (meters.late_waits > 0) {
        fprintf(stderr, "Warning: %lld periods waited for late background work.\n",
                (long long) meters.late_waits);
    }
    delete jclient;     // deactivates and closes before the convolvers go
    delete reloader;    // frees every configuration
    return status;
}
