// Test harness for tesslive: child processes with captured output, a
// JACK server of the tests' own on the dummy backend, temporary folders and
// WAV files. Everything started is stopped by its process id. The tests
// that use JACK run one at a time under a lock (harness.cc says why);
// other tests run beside them.
//
// Threads: test thread only. Nothing here is realtime-safe.

#ifndef TESS_TESTS_REALTIME_HARNESS_H
#define TESS_TESTS_REALTIME_HARNESS_H

#include <map>
#include <signal.h>
#include <string>
#include <sys/types.h>
#include <vector>

#include <jack/jack.h>

// A temporary folder, removed with its contents on destruction.
class Tempdir
{
public:
    Tempdir();
    ~Tempdir();
    const std::string &path() const { return _path; }
    std::string file(const std::string &name) const { return _path + "/" + name; }
    // Writes 'text' to the file 'name' in the folder; returns its path.
    std::string write(const std::string &name, const std::string &text) const;

private:
    std::string _path;
};

std::string read_file(const std::string &path);
// A loopback UDP port that was free a moment ago.
int free_port();

// A child process, started with posix_spawnp, standard input from
// /dev/null and standard output and error into files. Killed (SIGKILL)
// and reaped on destruction if it still runs.
class Child
{
public:
    Child(const std::vector<std::string> &argv, const std::string &outfile,
          const std::string &errfile, const std::map<std::string, std::string> &env = {});
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return _pid; }
    bool running();
    void signal(int sig);
    // Waits up to 'seconds' for the child to end. Returns its exit status,
    // 128 + the signal number if a signal ended it, or -1 on timeout.
    int wait(double seconds);
    // Seconds from the call to wait() until the child had ended.
    double waited() const { return _waited; }

private:
    pid_t _pid;
    int _status;
    double _waited;
};

// Runs a command to its end (at most 'seconds'); returns its exit status
// (-1 on timeout) and its standard output in 'out'.
int run_command(const std::vector<std::string> &argv, std::string *out, double seconds = 20,
                const std::map<std::string, std::string> &env = {});

// The path of the tesslive binary under test.
const char *tesslive_path();

// Without the privileges of root, tesslive may not lock its memory and its
// convolver's workers may not use realtime scheduling; each prints a
// warning line and goes on. These remove the realtime warning, and both,
// so that the rest can be compared exactly.
std::string without_realtime_warning(const std::string &err);
std::string without_privilege_warnings(const std::string &err);

// A JACK server of the tests' own on the dummy backend at 48 kHz with the
// given period, in synchronous mode (each cycle ends only when every client
// has run); realtime mode as root, no realtime otherwise. The constructor
// waits until it accepts clients and keeps one client of its own open for
// queries (observer()). One at a time per process.
class Jackserver
{
public:
    explicit Jackserver(int period);
    ~Jackserver();
    Jackserver(const Jackserver &) = delete;
    Jackserver &operator=(const Jackserver &) = delete;

    bool ok() const { return _observer != nullptr; }
    const std::string &name() const { return _name; }
    const std::string &log() const { return _log; }
    jack_client_t *observer() const { return _observer; }
    // The server's process id, or -1 once stopped.
    pid_t pid() const { return _jackd ? _jackd->pid() : -1; }

    // Full names of all ports, in the server's order, optionally only
    // those of one client.
    std::vector<std::string> ports(const std::string &client = "");
    // Waits until the port 'name' exists (and, with 'connections' > 0, has
    // that many connections); returns false after 'seconds'.
    bool wait_port(const std::string &name, int connections = 0, double seconds = 10);
    // True when a client of that name is known to the server.
    bool has_client(const std::string &name);
    // Sends 'sig' to jackd, waits for it to end and cleans up.
    void stop(int sig = SIGTERM);

private:
    void cleanup_shm();

    std::string _name;
    Tempdir _tmp;
    std::string _log;
    Child *_jackd;
    jack_client_t *_observer;
};

// The lines of the output of 'jack_lsp -c' parsed: every port with the
// ports connected to it, in the listed order.
std::vector<std::pair<std::string, std::vector<std::string>>>
parse_lsp_connections(const std::string &text);

// Writes interleaved float samples as a 32-bit float WAV file.
void write_wav(const std::string &path, int rate, int channels, const std::vector<float> &data);

#endif
