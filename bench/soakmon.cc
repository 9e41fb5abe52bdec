// soakmon: watches a JACK server for a while and reports what a soak run
// needs: the number of xruns the server announced and the DSP load it
// reported (average and highest of samples taken every 100 ms).
//
//   soakmon SERVER SECONDS
//
// Prints one line to standard output: "xruns N load_avg X load_max Y".
// Threads: the xrun callback (a JACK notification thread) only increments
// an atomic counter; everything else runs on the main thread.

#include <atomic>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <jack/jack.h>

static std::atomic<int> xruns(0);

static int on_xrun(void *)
{
    xruns++;
    return 0;
}

static void quiet(const char *) {}

int main(int argc, char *argv[])
{
    if (argc != 3) {
        fprintf(stderr, "usage: soakmon SERVER SECONDS\n");
        return 2;
    }
    const double seconds = atof(argv[2]);
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    jack_status_t st;
    jack_client_t *c = jack_client_open("soakmon", (jack_options_t)(JackNoStartServer | JackServerName),
                                        &st, argv[1]);
    if (!c) {
        fprintf(stderr, "soakmon: cannot connect to JACK server '%s'\n", argv[1]);
        return 1;
    }
    jack_set_xrun_callback(c, on_xrun, nullptr);
    if (jack_activate(c)) {
        fprintf(stderr, "soakmon: cannot activate\n");
        jack_client_close(c);
        return 1;
    }
    double sum = 0, peak = 0;
    int n = 0;
    for (int i = 0; i < seconds * 10; i++) {
        usleep(100000);
        double load = jack_cpu_load(c);
        sum += load;
        if (load > peak) peak = load;
        n++;
    }
    printf("xruns %d load_avg %.1f load_max %.1f\n", xruns.load(), n ? sum / n : 0.0, peak);
    fflush(stdout);
    // No jack_deactivate() or jack_client_close(): during a storm of xruns
    // the server can block sending this client notifications while the
    // client waits for the server's answer to the close, and both hang.
    // Ending the process closes the connection, and the server removes the
    // client by itself.
    _exit(0);
}
