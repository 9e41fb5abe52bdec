// tesslive: the matrix convolver as a JACK client. Reads a configuration
// file, registers one JACK port per convolver input and output, connects
// them as configured, and convolves once per JACK period until SIGINT, a
// change of the JACK period, or the server shutting the client down.
//
// Threads: main() runs on the main thread and only sets up and supervises;
// the convolution runs in the client's process callback and the
// convolver's workers. The SIGINT handler only stores one atomic flag.

#include <atomic>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <ctype.h>
#include <sys/mman.h>
#include <unistd.h>

#include "convconf.h"
#include "jackclient.h"
#include "wisdom.h"

#ifndef TESS_VERSION
#define TESS_VERSION "0.5.2"
#endif

namespace {

// Set by the SIGINT handler, and by the main thread when the client ends
// processing. A lock-free atomic, so the handler may store it.
std::atomic<bool> interrupted(false);
static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag must be lock-free");

const char *const OPTIONS = "hN:s:";

// The longest server name passed on to the JACK library.
const int MAXSERVER = 255;

void sigint_handler(int)
{
    interrupted.store(true);
}

[[noreturn]] void usage()
{
    fprintf(stderr, "\ntesslive %s\n", TESS_VERSION);
    fprintf(stderr, "Usage: tesslive <options> <config file>\n");
    fprintf(stderr, "Options:\n");
    fprintf(stderr, "  -h                 Display this text\n");
    fprintf(stderr, "  -N <name>          Name to use as JACK client [livetess]\n");
    fprintf(stderr, "  -s <server>        Jack server name\n");
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
int procoptions(int ac, char *av[], const char **name, const char **server)
{
    optind = 1;
    opterr = 0;
    int k;
    // The leading '+' keeps glibc from permuting: parsing ends at the first
    // argument that is not an option.
    while ((k = getopt(ac, av, "+hN:s:")) != -1) {
        if (optarg && (*optarg == '-')) {
            option_error("  Missing argument for '-%c' option.\n", k);
        }
        switch (k) {
        case 'h':
            usage();
        case 'N':
            *name = optarg;
            break;
        case 's':
            *server = optarg;
            break;
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

    const char *name = "tesslive";
    const char *server = nullptr;
    int first = procoptions(ac, av, &name, &server);
    if (first >= ac) usage();
    // The library refuses longer client names only with a failure that
    // reads like a missing server, and a server name far beyond its
    // limit overruns its buffers: both are refused here, in plain words.
    const int maxname = jack_client_name_size() - 2;
    if ((int) strlen(name) > maxname) {
        option_error("  Client name for '-N' is too long (at most %d characters).\n", maxname);
    }
    if (server && strlen(server) > MAXSERVER) {
        option_error("  Server name for '-s' is too long (at most %d characters).\n", MAXSERVER);
    }

    Jackclient *jclient = new Jackclient(name, server);
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

    jclient->start(conf->convolver);
    signal(SIGINT, sigint_handler);

    while (!interrupted.load()) {
        usleep(100000);
        if (jclient->active_state() & STATE_TERMINATE) {
            interrupted.store(true);
            break;
        }
    }

    int status = 0;
    if (jclient->shut_down()) {
        fputs(SHUTDOWN_MESSAGE, stderr);
        status = 1;
    }
    jclient->stop();
    delete jclient;
    // Background work that was not done when its output was due made the
    // period wait: the output stayed right, but the period ran late.
    const long long late = conf->convolver->late_waits();
    if (late > 0) fprintf(stderr, "Warning: %lld periods waited for late background work.\n", late);
    delete conf;
    return status;
}
