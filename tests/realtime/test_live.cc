// tesslive against a real JACK server (dummy backend): ports and their
// connections, accepted and refused periods, the ways a run ends, and the
// failures that must end it cleanly with status 1.

#include <gtest/gtest.h>

#include <errno.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <regex>

#include "harness.h"

namespace {

const char SHUTDOWN[] = "JACK server has shut down the client.\n";

// One tesslive run on a server, with its output in a folder of its own.
class Live
{
public:
    Live(Jackserver &server, const std::string &conf, const std::vector<std::string> &extra = {},
         const std::vector<std::string> &wrapper = {})
    {
        conf_path = conf.empty() ? tmp.file("missing.conf") : tmp.write("live.conf", conf);
        std::vector<std::string> argv = wrapper;
        argv.push_back(tesslive_path());
        argv.insert(argv.end(), {"-s", server.name()});
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(conf_path);
        proc.reset(new Child(argv, tmp.file("out"), tmp.file("err")));
    }

    std::string out() const { return read_file(tmp.file("out")); }
    std::string err() const { return without_privilege_warnings(read_file(tmp.file("err"))); }

    Tempdir tmp;
    std::string conf_path;
    std::unique_ptr<Child> proc;
};

// Lets the program get from registering its last port through start()
// and the installation of its SIGINT handler, a few microseconds of work.
void settle()
{
    usleep(300000);
}

const char SMALL_CONF[] = "/convolver/new 2 2 256 1\n";

}  // namespace

// ---------------------------------------------------------------- ports

TEST(Ports, NamesOrderAndConnections)
{
    Jackserver server(64);
    ASSERT_TRUE(server.ok()) << read_file(server.log());

    // A client called "conv" exists already, so JACK gives tesslive another
    // name; connections must use the name JACK reports.
    jack_status_t st;
    jack_client_t *other = jack_client_open("conv", (jack_options_t)(JackNoStartServer | JackServerName),
                                            &st, server.name().c_str());
    ASSERT_NE(other, nullptr);

    struct Case
    {
        const char *what;
        std::vector<std::string> args;
        std::string conf;
        std::string client;
        std::vector<std::pair<std::string, std::vector<std::string>>> ports;
    };
    const Case cases[] = {
        {"configured names, only input 2 named",
         {"-N", "conv"},
         "/convolver/new 3 2 256 1\n"
         "/input/name 2 mid system:capture_1\n"
         "/output/name 1 left system:playback_1\n"
         "/output/name 2 right no-such-client:no-such-port\n",
         "conv-01",
         {{"in-1", {}}, {"mid", {"system:capture_1"}}, {"in-3", {}},
          {"left", {"system:playback_1"}}, {"right", {}}}},
        {"default names are never connected",
         {},
         "/convolver/new 2 3 256 1\n",
         "tesslive",
         {{"in-1", {}}, {"in-2", {}}, {"out-1", {}}, {"out-2", {}}, {"out-3", {}}}},
        {"two connections, names with a space",
         {"-N", "x"},
         "/convolver/new 2 2 256 2\n"
         "/input/name 1 \"in put\" system:capture_2\n"
         "/input/name 2 b system:capture_1\n"
         "/output/name 2 'out put' system:playback_2\n",
         "x",
         {{"in put", {"system:capture_2"}}, {"b", {"system:capture_1"}}, {"out-1", {}},
          {"out put", {"system:playback_2"}}}},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Live live(server, c.conf, c.args);
        std::string last = c.client + ":" + c.ports.back().first;
        ASSERT_TRUE(server.wait_port(last, c.ports.back().second.size())) << live.err();
        settle();

        // Names and order as jack_lsp lists them.
        std::string lsp;
        ASSERT_EQ(run_command({"jack_lsp", "-s", server.name()}, &lsp), 0);
        std::vector<std::string> listed;
        std::string prefix = c.client + ":";
        for (auto &p : parse_lsp_connections(lsp)) {
            if (p.first.compare(0, prefix.size(), prefix) == 0) listed.push_back(p.first);
        }
        std::vector<std::string> expected;
        for (auto &p : c.ports) expected.push_back(prefix + p.first);
        EXPECT_EQ(listed, expected);

        // Connections as jack_lsp -c lists them.
        ASSERT_EQ(run_command({"jack_lsp", "-s", server.name(), "-c"}, &lsp), 0);
        auto conns = parse_lsp_connections(lsp);
        for (auto &p : c.ports) {
            std::string full = prefix + p.first;
            bool found = false;
            for (auto &q : conns) {
                if (q.first != full) continue;
                found = true;
                EXPECT_EQ(q.second, p.second) << full;
            }
            EXPECT_TRUE(found) << full;
        }

        live.proc->signal(SIGINT);
        EXPECT_EQ(live.proc->wait(5), 0);
        EXPECT_EQ(live.out(), "");
        EXPECT_EQ(live.err(), "");
        EXPECT_TRUE(server.ports(c.client).empty());
    }
    jack_client_close(other);
}

// Registration refused by JACK: a clear message naming the port, status 1,
// no crash in the process callback, and no client left on the server.
TEST(Ports, RefusedRegistration)
{
    Jackserver server(64);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    struct Case
    {
        const char *what;
        std::string conf;
        std::string err;
    };
    const Case cases[] = {
        {"two inputs with one name",
         "/convolver/new 2 1 64 1\n/input/name 1 a\n/input/name 2 a\n",
         "Can't register input port 'a'.\n"},
        {"an input and an output with one name",
         "/convolver/new 1 2 64 1\n/input/name 1 x\n/output/name 2 x system:playback_1\n",
         "Can't register output port 'x'.\n"},
        {"a configured name equal to a default one",
         "/convolver/new 2 1 64 1\n/input/name 1 in-2\n",
         "Can't register input port 'in-2'.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Live live(server, c.conf);
        EXPECT_EQ(live.proc->wait(10), 1);
        EXPECT_EQ(live.out(), "");
        EXPECT_EQ(live.err(), c.err);
        EXPECT_FALSE(server.has_client("tesslive"));
        EXPECT_TRUE(server.ports("tesslive").empty());
    }
}

// ---------------------------------------------------------------- periods

TEST(Periods, Refused)
{
    struct Case
    {
        int period;
        const char *err;
    };
    const Case cases[] = {
        {32, "Fragment size must be 64...4096.\n"},
        {96, "Fragment size must be a power of 2.\n"},
        {8192, "Fragment size must be 64...4096.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.period);
        Jackserver server(c.period);
        ASSERT_TRUE(server.ok()) << read_file(server.log());
        ASSERT_EQ(jack_get_buffer_size(server.observer()), (jack_nframes_t)c.period);
        Live live(server, SMALL_CONF);
        EXPECT_EQ(live.proc->wait(10), 1);
        EXPECT_EQ(live.out(), "");
        EXPECT_EQ(live.err(), c.err);
        EXPECT_FALSE(server.has_client("tesslive"));
    }
}

TEST(Periods, Accepted)
{
    for (int period : {64, 2048, 4096}) {
        SCOPED_TRACE(period);
        Jackserver server(period);
        ASSERT_TRUE(server.ok()) << read_file(server.log());
        Live live(server, SMALL_CONF);
        ASSERT_TRUE(server.wait_port("tesslive:out-2")) << live.err();
        settle();
        EXPECT_TRUE(live.proc->running());
        live.proc->signal(SIGINT);
        EXPECT_EQ(live.proc->wait(5), 0);
        EXPECT_EQ(live.err(), "");
    }
}

// ---------------------------------------------------------------- lifecycle

TEST(Lifecycle, SigintEndsWithStatus0)
{
    Jackserver server(256);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    Live live(server, SMALL_CONF);
    ASSERT_TRUE(server.wait_port("tesslive:out-2")) << live.err();
    settle();
    live.proc->signal(SIGINT);
    EXPECT_EQ(live.proc->wait(5), 0);
    EXPECT_LT(live.proc->waited(), 2.0);
    EXPECT_EQ(live.out(), "");
    EXPECT_EQ(live.err(), "");
    EXPECT_FALSE(server.has_client("tesslive"));
}

// Without -s the default server is used; here JACK_DEFAULT_SERVER makes
// the test's own server the default one.
TEST(Lifecycle, DefaultServer)
{
    Jackserver server(128);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    Tempdir tmp;
    std::string conf = tmp.write("c.conf", SMALL_CONF);
    Child c({tesslive_path(), "-N", "dflt", conf}, tmp.file("out"), tmp.file("err"),
            {{"JACK_DEFAULT_SERVER", server.name()}});
    ASSERT_TRUE(server.wait_port("dflt:out-2")) << read_file(tmp.file("err"));
    settle();
    c.signal(SIGINT);
    EXPECT_EQ(c.wait(5), 0);
    EXPECT_EQ(without_privilege_warnings(read_file(tmp.file("err"))), "");
}

TEST(Lifecycle, BufferSizeChangeEndsWithStatus0)
{
    Jackserver server(256);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    Live live(server, SMALL_CONF);
    ASSERT_TRUE(server.wait_port("tesslive:out-2")) << live.err();
    settle();
    // jack_bufsize has no server option; it follows JACK_DEFAULT_SERVER.
    ASSERT_EQ(run_command({"jack_bufsize", "512"}, nullptr, 20,
                          {{"JACK_DEFAULT_SERVER", server.name()}}),
              0);
    EXPECT_EQ(live.proc->wait(5), 0);
    EXPECT_LT(live.proc->waited(), 2.0);
    EXPECT_EQ(live.err(), "");
    EXPECT_EQ(jack_get_buffer_size(server.observer()), 512u);
}

namespace {

// Opens the FIFO for writing once tesslive has opened it for reading, that
// is once its JACK client is open and active. -1 after 10 s.
int open_fifo_writer(const std::string &path, Child &proc)
{
    for (int i = 0; i < 1000 && proc.running(); i++) {
        int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) return fd;
        usleep(10000);
    }
    return -1;
}

// A tesslive whose configuration file is a FIFO: it opens its client and
// then waits in the reader until the test feeds the configuration.
struct Blocked
{
    Blocked(Jackserver &server)
    {
        fifo = tmp.file("conf.fifo");
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        proc.reset(new Child({tesslive_path(), "-s", server.name(), fifo}, tmp.file("out"),
                             tmp.file("err")));
        fd = open_fifo_writer(fifo, *proc);
    }
    void feed(const std::string &conf)
    {
        ASSERT_EQ(write(fd, conf.data(), conf.size()), (ssize_t)conf.size());
        close(fd);
        fd = -1;
    }
    ~Blocked()
    {
        if (fd >= 0) close(fd);
    }
    std::string err() const { return without_privilege_warnings(read_file(tmp.file("err"))); }

    Tempdir tmp;
    std::string fifo;
    std::unique_ptr<Child> proc;
    int fd;
};

}  // namespace

// A period change while the configuration is read is not lost, even when
// the period is back at its old value by the time processing would start
// (so the process callback finds nothing amiss): the run ends as after any
// other period change.
TEST(Lifecycle, BufferSizeChangeWhileReadingConfiguration)
{
    Jackserver server(64);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    Blocked b(server);
    ASSERT_GE(b.fd, 0) << b.err();
    for (const char *size : {"128", "64"}) {
        ASSERT_EQ(run_command({"jack_bufsize", size}, nullptr, 20,
                              {{"JACK_DEFAULT_SERVER", server.name()}}),
                  0);
    }
    ASSERT_EQ(jack_get_buffer_size(server.observer()), 64u);
    b.feed("/convolver/new 2 2 512 2\n");
    EXPECT_EQ(b.proc->wait(5), 0);
    EXPECT_EQ(b.err(), "");
}

TEST(Lifecycle, ServerShutdownEndsWithStatus1)
{
    for (int sig : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(sig);
        Jackserver server(256);
        ASSERT_TRUE(server.ok()) << read_file(server.log());
        Live live(server, SMALL_CONF);
        ASSERT_TRUE(server.wait_port("tesslive:out-2")) << live.err();
        settle();
        server.stop(sig);
        EXPECT_EQ(live.proc->wait(5), 1);
        EXPECT_LT(live.proc->waited(), 2.0);
        EXPECT_EQ(live.out(), "");
        EXPECT_EQ(live.err(), SHUTDOWN);
    }
}

// A mixed convolver of long responses, its background threads busy with
// blocks of every size, ends on SIGINT, on a period change and on a server
// shutdown as the uniform one does, with the same statuses and messages.
TEST(Lifecycle, MixedConvolverEndsLikeUniform)
{
    const char conf[] = "/convolver/partitions mixed\n/convolver/new 4 4 131072 2\n";
    for (int how = 0; how < 3; how++) {
        SCOPED_TRACE(how == 0 ? "SIGINT" : how == 1 ? "period change" : "shutdown");
        Jackserver server(64);
        ASSERT_TRUE(server.ok()) << read_file(server.log());
        Live live(server, conf);
        ASSERT_TRUE(server.wait_port("tesslive:out-4", 0, 30)) << live.err();
        usleep(1500000);   // past the first blocks of 16384 samples
        if (how == 0) {
            live.proc->signal(SIGINT);
        }
        else if (how == 1) {
            ASSERT_EQ(run_command({"jack_bufsize", "128"}, nullptr, 20,
                                  {{"JACK_DEFAULT_SERVER", server.name()}}),
                      0);
        }
        else {
            server.stop(SIGTERM);
        }
        EXPECT_EQ(live.proc->wait(5), how == 2 ? 1 : 0);
        EXPECT_LT(live.proc->waited(), 2.0);
        EXPECT_EQ(live.out(), "");
        std::string err = std::regex_replace(
            live.err(), std::regex("Warning: [0-9]+ periods waited for late background work\\.\n"), "");
        EXPECT_EQ(err, how == 2 ? SHUTDOWN : "");
        if (how < 2) {
            EXPECT_FALSE(server.has_client("tesslive"));
        }
    }
}

TEST(Lifecycle, ServerShutdownWhileReadingConfiguration)
{
    Jackserver server(64);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    Blocked b(server);
    ASSERT_GE(b.fd, 0) << b.err();
    server.stop(SIGTERM);
    b.feed(SMALL_CONF);
    EXPECT_EQ(b.proc->wait(5), 1);
    EXPECT_EQ(b.err(), SHUTDOWN);
}

// Configuration errors: the reader's message only (or, without a
// convolver, the program's), status 1, no ports and no client left.
TEST(Lifecycle, ConfigurationErrors)
{
    Jackserver server(64);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    struct Case
    {
        const char *what;
        std::string conf;   // empty: the file does not exist
        std::string err;    // %s stands for the configuration path
    };
    const Case cases[] = {
        {"missing file", "", "Can't open '%s' for reading\n"},
        {"syntax error", "/convolver/new 2 2 256 1\n /input/name 1 a\n", "Line 2: Syntax error.\n"},
        {"range", "# two lines\n\n/convolver/new 65 2 256 1\n",
         "Line 3: Number of inputs (65) is out of range.\n"},
        {"missing impulse file", "/convolver/new 1 1 256 1\n/matrix/load 1 no-such.wav\n",
         "Line 2: Unable to open 'no-such.wav'.\n"},
        {"no convolver", "# nothing but a comment\n/cd /tmp\n",
         "No convolver: '%s' has no /convolver/new command.\n"},
        {"empty file", "\n", "No convolver: '%s' has no /convolver/new command.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Live live(server, c.conf);
        EXPECT_EQ(live.proc->wait(10), 1);
        std::string err = c.err;
        size_t at = err.find("%s");
        if (at != std::string::npos) err.replace(at, 2, live.conf_path);
        EXPECT_EQ(live.out(), "");
        EXPECT_EQ(live.err(), err);
        EXPECT_FALSE(server.has_client("tesslive"));
        EXPECT_TRUE(server.ports("tesslive").empty());
    }
}

// Where memory may not be locked: one warning line, then a normal run.
// The locked-memory limit is set too small for the whole process (JACK
// itself still needs a few locked pages); root is kept from ignoring the
// limit by dropping CAP_IPC_LOCK with setpriv.
TEST(Lifecycle, MlockallRefused)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers replace mlockall with a call that always succeeds";
#endif
    std::vector<std::string> wrapper = {"prlimit", "--memlock=262144:"};
    if (geteuid() == 0) {
        wrapper.insert(wrapper.end(), {"setpriv", "--inh-caps=-ipc_lock",
                                       "--bounding-set=-ipc_lock", "--"});
    }
    Jackserver server(256);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    Live live(server, SMALL_CONF, {}, wrapper);
    ASSERT_TRUE(server.wait_port("tesslive:out-2")) << read_file(live.tmp.file("err"));
    settle();
    live.proc->signal(SIGINT);
    EXPECT_EQ(live.proc->wait(5), 0);
    EXPECT_EQ(without_realtime_warning(read_file(live.tmp.file("err"))),
              "Warning: mlockall:: Cannot allocate memory\n");
}

namespace {

// Entries of a /proc folder, or a field of a status file, of one process.
int proc_entries(pid_t pid, const char *sub)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/" + sub;
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') n++;
        }
        closedir(d);
    }
    return n;
}

long proc_status_kb(pid_t pid, const std::string &field)
{
    std::string s = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = s.find(field + ":");
    return at == std::string::npos ? -1 : atol(s.c_str() + at + field.size() + 1);
}

// Files of JACK's in shared memory: per server and client.
int jack_shm_files()
{
    int n = 0;
    if (DIR *d = opendir("/dev/shm")) {
        while (dirent *e = readdir(d)) {
            if (strncmp(e->d_name, "jack", 4) == 0) n++;
        }
        closedir(d);
    }
    return n;
}

}  // namespace

// 50 runs of tesslive in a row on one server, each ended by SIGINT: every
// run is alike (status 0, no message, the same number of threads while it
// runs) and none leaves anything on the server: no client, no port, no
// thread, no shared-memory file, and the server's memory does not grow.
TEST(Lifecycle, FiftyStartsAndStops)
{
    Jackserver server(128);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    Tempdir tmp;
    std::vector<float> ir(2 * 2 * 512);
    for (size_t k = 0; k < ir.size(); k++) ir[k] = (k % 97) * 0.001f;
    write_wav(tmp.file("m.wav"), 48000, 2, ir);
    std::string conf = tmp.write("c.conf", "/convolver/new 2 2 512 2\n"
                                           "/input/name 1 a system:capture_1\n"
                                           "/output/name 2 b system:playback_2\n"
                                           "/matrix/load 1 m.wav\n");
    const pid_t jackd = server.pid();
    const size_t ports = server.ports().size();
    int threads = -1, jackd_threads = -1, shm = -1, fds = -1;
    long rss = -1;
    for (int i = 0; i < 50; i++) {
        SCOPED_TRACE(i);
        Child live({tesslive_path(), "-s", server.name(), conf}, tmp.file("out"), tmp.file("err"));
        ASSERT_TRUE(server.wait_port("tesslive:b", 1)) << read_file(tmp.file("err"));
        usleep(100000);   // as settle(), with a margin still far above the need
        int t = proc_entries(live.pid(), "task");
        if (i == 0) threads = t;
        EXPECT_EQ(t, threads);
        live.signal(SIGINT);
        ASSERT_EQ(live.wait(5), 0);
        EXPECT_EQ(read_file(tmp.file("out")), "");
        EXPECT_EQ(without_privilege_warnings(read_file(tmp.file("err"))), "");
        EXPECT_FALSE(server.has_client("tesslive"));
        EXPECT_EQ(server.ports().size(), ports);
        // What the server holds after the first run is its steady state.
        if (i == 0) {
            jackd_threads = proc_entries(jackd, "task");
            fds = proc_entries(jackd, "fd");
            shm = jack_shm_files();
            rss = proc_status_kb(jackd, "VmRSS");
        }
    }
    EXPECT_EQ(proc_entries(jackd, "task"), jackd_threads);
    EXPECT_EQ(proc_entries(jackd, "fd"), fds);
    EXPECT_EQ(jack_shm_files(), shm);
    EXPECT_LT(proc_status_kb(jackd, "VmRSS"), rss + 4096) << "the server grew from " << rss << " kB";
}
