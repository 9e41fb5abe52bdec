#include "harness.h"

#include <atomic>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/file.h>
#include <sys/stat.h>

extern char **environ;

namespace {

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

void quiet(const char *) {}

// Removes a folder and everything below it.
void remove_tree(const std::string &path)
{
    DIR *d = opendir(path.c_str());
    if (d) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            std::string p = path + "/" + n;
            if (e->d_type == DT_DIR) remove_tree(p);
            else unlink(p.c_str());
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

// JACK servers of one user are not independent of each other. libjack
// keeps one metadata database per user in /dev/shm/jack_db-UID, shared by
// every server and client of that user; every jackd removes it when it
// exits, and clients create it when they open. Two test processes doing
// that at the same moment (one server ending while another starts, or a
// client opening while a server starts) can leave it broken, after which
// every jack_client_open of that user dies of SIGBUS. And the registry in
// /dev/shm/jack-shm-registry holds at most 8 servers. So:
// - the tests that use JACK run one at a time, across processes and
//   build folders alike, under an exclusive lock on a file in /tmp;
// - a server's first client opens only once the server listens;
// - the server has one fixed name per user (see Jackserver);
// - a database that a crash left broken (a probe client dies of a signal)
//   is removed, as jackd itself does on exit.
class Jacklock : public ::testing::Environment
{
public:
    void SetUp() override
    {
        fd = open("/tmp/tess-realtime-tests.lock", O_RDONLY | O_CREAT, 0644);
        if (fd >= 0) {
            fchmod(fd, 0666);
            while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {}
        }
        if (probe_dies()) remove_tree("/dev/shm/jack_db-" + std::to_string(geteuid()));
    }

    void TearDown() override
    {
        if (fd >= 0) close(fd);
        fd = -1;
    }

private:
    // A client that asks for a server that does not exist opens the
    // metadata database and then gives up. Runs before any test thread.
    static bool probe_dies()
    {
        pid_t pid = fork();
        if (pid == 0) {
            jack_set_error_function(quiet);
            jack_set_info_function(quiet);
            std::string name = "tessrt-probe-" + std::to_string(getpid());
            jack_status_t st;
            jack_client_t *c = jack_client_open(
                "probe", (jack_options_t)(JackNoStartServer | JackServerName), &st, name.c_str());
            if (c) jack_client_close(c);
            _exit(0);
        }
        if (pid < 0) return false;
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
        return WIFSIGNALED(st);
    }

    int fd = -1;
};

::testing::Environment *const jacklock = ::testing::AddGlobalTestEnvironment(new Jacklock);

}  // namespace

// ---------------------------------------------------------------- Tempdir

Tempdir::Tempdir()
{
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/tessrt-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    _path = buf.data();
}

Tempdir::~Tempdir()
{
    remove_tree(_path);
}

std::string Tempdir::write(const std::string &name, const std::string &text) const
{
    std::string p = file(name);
    std::ofstream f(p, std::ios::binary);
    f << text;
    return p;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// ---------------------------------------------------------------- Child

Child::Child(const std::vector<std::string> &argv, const std::string &outfile,
             const std::string &errfile, const std::map<std::string, std::string> &env)
    : _pid(-1), _status(-1), _waited(0)
{
    // Everything the child needs is prepared here: posix_spawn does no
    // allocation in the child, which matters with JACK threads running.
    std::vector<std::string> envs;
    for (char **e = environ; *e; e++) {
        std::string s = *e;
        std::string key = s.substr(0, s.find('='));
        if (!env.count(key)) envs.push_back(s);
    }
    for (auto &kv : env) envs.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp;
    for (auto &s : envs) envp.push_back(const_cast<char *>(s.c_str()));
    envp.push_back(nullptr);
    std::vector<char *> args;
    for (auto &s : argv) args.push_back(const_cast<char *>(s.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int rc = posix_spawnp(&_pid, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc) {
        _pid = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(rc));
    }
}

Child::~Child()
{
    if (running()) {
        kill(_pid, SIGKILL);
        wait(10);
    }
}

bool Child::running()
{
    if (_pid < 0 || _status >= 0) return false;
    int st;
    pid_t r = waitpid(_pid, &st, WNOHANG);
    if (r == _pid) {
        _status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

void Child::signal(int sig)
{
    if (running()) kill(_pid, sig);
}

int Child::wait(double seconds)
{
    double t0 = now();
    while (running()) {
        if (now() - t0 > seconds) return -1;
        usleep(5000);
    }
    _waited = now() - t0;
    return _status;
}

int run_command(const std::vector<std::string> &argv, std::string *out, double seconds,
                const std::map<std::string, std::string> &env)
{
    Tempdir tmp;
    Child c(argv, tmp.file("out"), tmp.file("err"), env);
    int st = c.wait(seconds);
    if (out) *out = read_file(tmp.file("out"));
    return st;
}

const char *tesslive_path()
{
    return TESSLIVE_PATH;
}

std::string without_realtime_warning(const std::string &err)
{
    static const char mark[] = "Warning: realtime priority is not available";
    std::string r;
    size_t at = 0;
    while (at < err.size()) {
        size_t nl = err.find('\n', at);
        size_t end = nl == std::string::npos ? err.size() : nl + 1;
        std::string line = err.substr(at, end - at);
        if (line.find(mark) == std::string::npos) r += line;
        at = end;
    }
    return r;
}

std::string without_privilege_warnings(const std::string &err)
{
    static const char prefix[] = "Warning: mlockall:: ";
    std::string r = without_realtime_warning(err);
    if (r.compare(0, sizeof(prefix) - 1, prefix) != 0) return r;
    size_t nl = r.find('\n');
    return nl == std::string::npos ? std::string() : r.substr(nl + 1);
}

// ---------------------------------------------------------------- Jackserver

Jackserver::Jackserver(int period) : _jackd(nullptr), _observer(nullptr)
{
    // One fixed name per user: the tests run one at a time (see Jacklock),
    // and a server that died without unregistering (killed, or its test
    // killed) leaves an entry in JACK's registry of at most 8 servers that
    // only a later server of the same name reclaims.
    _name = "tessrt-" + std::to_string(geteuid());
    _log = _tmp.file("jackd.log");
    cleanup_shm();
    // The server dies with the test process, whatever ends that.
    std::vector<std::string> argv = {"setpriv", "--pdeathsig", "KILL", "--", "jackd",
                                     geteuid() == 0 ? "-R" : "-r", "-S", "-n", _name,
                                     "-d", "dummy", "-r", "48000", "-p", std::to_string(period)};
    _jackd = new Child(argv, _tmp.file("jackd.out"), _log, {{"JACK_NO_AUDIO_RESERVATION", "1"}});

    // libjack reports each failed attempt on stderr; not needed here.
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    // The server listens on this socket once it is fully set up; no client
    // opens before that (see Jacklock).
    std::string socket = "/dev/shm/jack_" + _name + "_" + std::to_string(geteuid()) + "_0";
    double t0 = now();
    struct stat sb;
    while (now() - t0 < 15 && _jackd->running() && stat(socket.c_str(), &sb) != 0) usleep(20000);
    while (now() - t0 < 15 && _jackd->running()) {
        jack_status_t st;
        _observer = jack_client_open("observer", (jack_options_t)(JackNoStartServer | JackServerName),
                                     &st, _name.c_str());
        if (_observer) break;
        usleep(50000);
    }
    if (_observer) jack_activate(_observer);
}

Jackserver::~Jackserver()
{
    stop();
}

void Jackserver::stop(int sig)
{
    if (_observer) {
        jack_client_close(_observer);
        _observer = nullptr;
    }
    if (_jackd) {
        _jackd->signal(sig);
        if (_jackd->wait(10) < 0) {
            _jackd->signal(SIGKILL);
            _jackd->wait(10);
        }
        delete _jackd;
        _jackd = nullptr;
        cleanup_shm();
    }
}

// A server that was killed, or whose clients outlived it, leaves its
// semaphores and sockets in /dev/shm. Only those of this server's own name
// are removed: the pattern _NAME_ cannot match another server's files.
void Jackserver::cleanup_shm()
{
    DIR *d = opendir("/dev/shm");
    if (!d) return;
    std::string mark = "_" + _name + "_";
    std::vector<std::string> gone;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.compare(0, 4, "jack") == 0 && n.find(mark) != std::string::npos) gone.push_back(n);
    }
    closedir(d);
    for (auto &n : gone) unlink(("/dev/shm/" + n).c_str());
}

std::vector<std::string> Jackserver::ports(const std::string &client)
{
    std::vector<std::string> r;
    if (!_observer) return r;
    std::string pattern = client.empty() ? std::string() : "^" + client + ":";
    const char **p = jack_get_ports(_observer, pattern.empty() ? nullptr : pattern.c_str(),
                                    nullptr, 0);
    if (!p) return r;
    for (int i = 0; p[i]; i++) r.push_back(p[i]);
    jack_free(p);
    return r;
}

bool Jackserver::wait_port(const std::string &name, int connections, double seconds)
{
    double t0 = now();
    while (now() - t0 < seconds) {
        jack_port_t *p = _observer ? jack_port_by_name(_observer, name.c_str()) : nullptr;
        if (p && jack_port_connected(p) >= connections) return true;
        usleep(20000);
    }
    return false;
}

bool Jackserver::has_client(const std::string &name)
{
    if (!_observer) return false;
    char *uuid = jack_get_uuid_for_client_name(_observer, name.c_str());
    if (!uuid) return false;
    jack_free(uuid);
    return true;
}

// ---------------------------------------------------------------- helpers

std::vector<std::pair<std::string, std::vector<std::string>>>
parse_lsp_connections(const std::string &text)
{
    std::vector<std::pair<std::string, std::vector<std::string>>> r;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] == ' ') {
            if (!r.empty()) r.back().second.push_back(line.substr(line.find_first_not_of(' ')));
        }
        else {
            r.push_back({line, {}});
        }
    }
    return r;
}

void write_wav(const std::string &path, int rate, int channels, const std::vector<float> &data)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error("cannot create " + path);
    sf_writef_float(f, data.data(), data.size() / channels);
    sf_close(f);
}

int free_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr *)&a, sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(fd, (sockaddr *)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}
