// Realtime safety, measured: the JACK client runs a convolver of real
// configurations (impulse files, several workers, connections to the
// server's ports), and every heap operation and lock taken on JACK's
// process thread inside the callback, and on the convolver's workers while
// they process, is counted by the interposed functions of rtcount.cc. The
// count must be zero. A client whose callback allocates shows that the
// counting itself works.
//
// The same holds while the configuration is reloaded (the reload thread
// builds convolvers whose workers are counted, and the callback runs two
// convolvers through the crossfade) and while OSC traffic of every kind
// reaches the control server.
//
// Also here, because it needs the client in this process: opening, running
// and closing the client with its convolver 50 times leaves no thread and
// no memory behind.

#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>
#include <math.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <random>

#include "convconf.h"
#include "harness.h"
#include "jackclient.h"
#include "oscserver.h"
#include "reload.h"
#include "rtcount.h"

namespace {

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

int own_threads()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (!d) return -1;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') n++;
    }
    closedir(d);
    return n;
}

// Waits until the shim has run 'count' more process callbacks.
bool wait_callbacks(long count, double seconds = 20)
{
    long start = rtcount_get().callbacks;
    double t0 = now();
    while (rtcount_get().callbacks - start < count) {
        if (now() - t0 > seconds) return false;
        usleep(5000);
    }
    return true;
}

// Impulse files for 'ninp' inputs and 'nout' outputs, 'len' frames each.
std::string write_config(const Tempdir &tmp, int ninp, int nout, int len, int nthread,
                         bool mixed = false)
{
    std::vector<float> ir((size_t)ninp * nout * len);
    for (size_t k = 0; k < ir.size(); k++) ir[k] = 0.3f * sinf(0.01f * k) / (1 + k % 13);
    write_wav(tmp.file("m.wav"), 48000, ninp, ir);
    std::string text = std::string(mixed ? "/convolver/partitions mixed\n" : "") +
                       "/convolver/new " + std::to_string(ninp) + " " + std::to_string(nout) + " " +
                       std::to_string(len) + " " + std::to_string(nthread) + "\n"
                       "/input/name 1 in1 system:capture_1\n"
                       "/output/name 1 out1 system:playback_1\n"
                       "/input/dbgain 1 -3\n"
                       "/matrix/load 0.5 m.wav\n";
    return tmp.write("rt.conf", text);
}

// The JACK client with a convolver, set up as tesslive sets it up.
struct Running
{
    Running(Jackserver &server, const std::string &conf_path)
    {
        client.reset(new Jackclient("rtsafe", server.name().c_str()));
        conf.reset(new Convconf(client->rate(), client->period()));
        rtcount_mark_workers(true);
        status = conf->read(conf_path.c_str());
        rtcount_mark_workers(false);
        if (status || !conf->convolver) return;
        for (uint32_t i = 0; i < conf->ninp; i++) {
            std::string def = "in-" + std::to_string(i + 1);
            const char *name = conf->inp_names[i] ? conf->inp_names[i] : def.c_str();
            if (client->add_input_port(name, conf->inp_conns[i]) != Jackclient::PORT_OK) status = -2;
        }
        for (uint32_t j = 0; j < conf->nout; j++) {
            std::string def = "out-" + std::to_string(j + 1);
            const char *name = conf->out_names[j] ? conf->out_names[j] : def.c_str();
            if (client->add_output_port(name, conf->out_conns[j]) != Jackclient::PORT_OK) status = -2;
        }
        client->start(conf->convolver);
    }
    ~Running()
    {
        if (client) client->stop();
        client.reset();   // closed before the convolver goes
        conf.reset();
    }

    std::unique_ptr<Jackclient> client;
    std::unique_ptr<Convconf> conf;
    int status = -1;   // the reader's result; -2 when a port was refused
};

struct Case
{
    int period;
    int ninp;
    int nout;
    int len;
    int nthread;
    bool mixed = false;
};

}  // namespace

// The check of the checker: a callback that allocates and locks is seen.
TEST(RealtimeSafety, CountingSeesAllocationsAndLocks)
{
    Jackserver server(256);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    jack_status_t st;
    jack_client_t *c = jack_client_open("bad", (jack_options_t)(JackNoStartServer | JackServerName),
                                        &st, server.name().c_str());
    ASSERT_NE(c, nullptr);
    static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    jack_set_process_callback(
        c,
        [](jack_nframes_t n, void *) -> int {
            void *volatile p = malloc(n);
            free(p);
            pthread_mutex_lock(&mutex);
            pthread_mutex_unlock(&mutex);
            return 0;
        },
        nullptr);
    ASSERT_EQ(jack_activate(c), 0);
    ASSERT_TRUE(wait_callbacks(10));
    rtcount_reset();
    ASSERT_TRUE(wait_callbacks(50));
    jack_deactivate(c);
    Rtcounts n = rtcount_get();
    jack_client_close(c);
    EXPECT_GE(n.allocs, 50);
    EXPECT_GE(n.frees, 50);
    EXPECT_GE(n.locks, 50);

    // A thread made while workers are marked counts once armed, and only
    // then.
    static std::atomic<int> step(0);
    rtcount_mark_workers(true);
    pthread_t t;
    ASSERT_EQ(pthread_create(
                  &t, nullptr,
                  [](void *) -> void * {
                      void *volatile p = malloc(16);   // not armed yet
                      free(p);
                      step = 1;
                      while (step.load() != 2) usleep(1000);
                      p = malloc(16);
                      free(p);
                      return nullptr;
                  },
                  nullptr),
              0);
    rtcount_mark_workers(false);
    while (step.load() != 1) usleep(1000);
    rtcount_reset();
    rtcount_arm_workers(true);
    step = 2;
    pthread_join(t, nullptr);
    rtcount_arm_workers(false);
    n = rtcount_get();
    EXPECT_EQ(n.allocs, 1);
    EXPECT_EQ(n.frees, 1);
}

TEST(RealtimeSafety, NoAllocationOrLockWhileProcessing)
{
    const Case cases[] = {
        {64, 1, 1, 64, 1},
        {64, 4, 4, 1024, 2},
        {128, 8, 2, 4096, 3},
        {1024, 2, 6, 2048, 4},
        // The mixed convolver, its background threads included: at period
        // 64, 1500 cycles take blocks of up to 16384 samples through.
        {64, 4, 4, 40000, 2, true},
        {256, 2, 3, 131072, 3, true},
        {128, 8, 8, 4096, 1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "period " << c.period << ", " << c.ninp << " x "
                                          << c.nout << ", size " << c.len << ", " << c.nthread
                                          << " thread(s)" << (c.mixed ? ", mixed" : ""));
        Jackserver server(c.period);
        ASSERT_TRUE(server.ok()) << read_file(server.log());
        Tempdir tmp;
        std::string conf = write_config(tmp, c.ninp, c.nout, c.len, c.nthread, c.mixed);
        Running run(server, conf);
        ASSERT_EQ(run.status, 0);
        ASSERT_TRUE(server.wait_port("rtsafe:out1", 1));
        // Past the first cycles, where the client may still be registering
        // ports, into steady processing.
        ASSERT_TRUE(wait_callbacks(20));
        ASSERT_EQ(run.client->active_state(), STATE_PROCESS);
        rtcount_reset();
        rtcount_arm_workers(true);
        bool ran = wait_callbacks(c.period <= 128 ? 1500 : 200);
        rtcount_arm_workers(false);
        Rtcounts n = rtcount_get();
        EXPECT_TRUE(ran);
        EXPECT_EQ(run.client->active_state(), STATE_PROCESS);
        EXPECT_EQ(n.allocs, 0);
        EXPECT_EQ(n.frees, 0);
        EXPECT_EQ(n.locks, 0);
        std::cout << "[          ] " << n.callbacks << " cycles: " << n.allocs << " allocations, "
                  << n.frees << " frees, " << n.locks << " locks\n";
    }
}

// 50 clients with their convolvers, one after the other: the process ends
// up with the threads it had after the first, and its heap does not grow.
TEST(RealtimeSafety, FiftyOpenRunCloseCyclesLeaveNothing)
{
    Jackserver server(128);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    Tempdir tmp;
    std::string conf = write_config(tmp, 2, 2, 512, 2);
    int threads = -1;
    size_t heap = 0;
    for (int i = 0; i < 50; i++) {
        SCOPED_TRACE(i);
        {
            Running run(server, conf);
            ASSERT_EQ(run.status, 0);
            ASSERT_TRUE(wait_callbacks(5));
            EXPECT_EQ(run.client->active_state(), STATE_PROCESS);
        }
        EXPECT_FALSE(server.has_client("rtsafe"));
        EXPECT_TRUE(server.ports("rtsafe").empty());
        // The first cycle may leave what the libraries keep for good (FFT
        // plans' wisdom, JACK's per-process state).
        if (i == 0) {
            threads = own_threads();
            heap = mallinfo2().uordblks;
        }
    }
    EXPECT_EQ(own_threads(), threads);
    size_t grown = mallinfo2().uordblks - std::min(heap, (size_t)mallinfo2().uordblks);
    EXPECT_LT(grown, 256u * 1024) << "heap grew by " << grown << " bytes over 49 cycles";
}

namespace {

// Sends OSC packets to 127.0.0.1:port, valid and not.
class Oscsender
{
public:
    explicit Oscsender(int port) : _fd(socket(AF_INET, SOCK_DGRAM, 0)), _rng(5)
    {
        _to = {};
        _to.sin_family = AF_INET;
        _to.sin_port = htons(port);
        _to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Oscsender() { close(_fd); }

    void message(const char *path, lo_message m)
    {
        size_t len = 0;
        void *b = lo_message_serialise(m, path, nullptr, &len);
        raw(b, len);
        free(b);
        lo_message_free(m);
    }
    void raw(const void *b, size_t len) { sendto(_fd, b, len, 0, (sockaddr *)&_to, sizeof(_to)); }

    // One of each kind, in turn: trims, mutes, status, refused ones and
    // random bytes.
    void next()
    {
        lo_message m = lo_message_new();
        const int k = _n++ % 7;
        const float db = (float)(_rng() % 40) - 30.0f;
        if (k == 0 || k == 1) {
            lo_message_add_int32(m, _rng() % 3);
            lo_message_add_float(m, db);
            message(k ? "/output/trim" : "/input/trim", m);
        }
        else if (k == 2) {
            lo_message_add_int32(m, 1 + _rng() % 2);
            lo_message_add_int32(m, _rng() % 2);
            message("/output/mute", m);
        }
        else if (k == 3) {
            message("/status", m);
        }
        else if (k == 4) {
            lo_message_add_int32(m, 99);
            lo_message_add_float(m, db);
            message("/input/trim", m);
        }
        else {
            lo_message_free(m);
            char junk[64];
            for (char &c : junk) c = (char)_rng();
            raw(junk, 1 + _rng() % sizeof(junk));
        }
    }

private:
    int _fd;
    sockaddr_in _to;
    std::mt19937 _rng;
    int _n = 0;
};

}  // namespace

// Reloads and OSC traffic while processing: the callback and every
// convolver's workers, old and new, allocate and lock nothing. The only
// frees on workers are those of retired convolvers' workers freeing
// themselves at teardown, as many as one convolver's teardown shows.
TEST(RealtimeSafety, NoAllocationOrLockThroughReloadsAndOsc)
{
    Jackserver server(128);
    ASSERT_TRUE(server.ok()) << read_file(server.log());
    Tempdir tmp;
    std::string conf = write_config(tmp, 4, 4, 2048, 2);

    // What one convolver's teardown frees on its workers.
    long teardown = 0;
    {
        std::unique_ptr<Convconf> c(new Convconf(48000, 128));
        rtcount_mark_workers(true);
        ASSERT_EQ(c->read(conf.c_str()), 0);
        rtcount_mark_workers(false);
        rtcount_reset();
        rtcount_arm_workers(true);
        c.reset();
        rtcount_arm_workers(false);
        teardown = rtcount_get().worker_frees;
        EXPECT_EQ(rtcount_get().allocs, 0);
    }

    Running run(server, conf);
    ASSERT_EQ(run.status, 0);
    ASSERT_TRUE(server.wait_port("rtsafe:out1", 1));
    ASSERT_TRUE(wait_callbacks(20));
    std::atomic<bool> osc_reload(false);
    const int port = free_port();
    {
        Reloader reloader(run.client.get(), run.conf.release(), conf.c_str(), false);
        rtcount_mark_spawners(true);
        ASSERT_EQ(reloader.start(), 0);
        rtcount_mark_spawners(false);
        Oscserver osc(osc_reload);
        sockaddr_in addr;
        ASSERT_EQ(osc_parse_address(std::to_string(port).c_str(), &addr), 0);
        ASSERT_EQ(osc.open(addr), 0);
        ASSERT_EQ(osc.start(&run.client->live()), 0);
        Oscsender send(port);

        rtcount_reset();
        rtcount_arm_workers(true);
        const int reloads = 8;
        for (int k = 0; k < reloads; k++) {
            if (k % 2) reloader.request();
            else send.message("/reload", lo_message_new());
            for (double t0 = now(); reloader.done() + reloader.refused() <= k && now() - t0 < 30;) {
                if (osc_reload.exchange(false)) reloader.request();
                send.next();
                usleep(2000);
            }
            ASSERT_EQ(reloader.done(), k + 1);
        }
        // And OSC traffic alone for a while.
        for (int i = 0; i < 300; i++) {
            send.next();
            usleep(1000);
        }
        ASSERT_TRUE(wait_callbacks(50));
        rtcount_arm_workers(false);
        Rtcounts n = rtcount_get();
        EXPECT_EQ(run.client->active_state(), STATE_PROCESS);
        EXPECT_EQ(n.allocs, 0);
        EXPECT_EQ(n.locks, 0);
        EXPECT_EQ(n.frees - n.worker_frees, 0);
        EXPECT_EQ(n.worker_frees, reloads * teardown);
        EXPECT_GT(osc.handled(), 200);
        EXPECT_GT(osc.refused(), 100);
        std::cout << "[          ] " << n.callbacks << " cycles, " << reloads << " reloads, "
                  << osc.handled() + osc.refused() << " OSC packets: " << n.allocs << " allocations, "
                  << n.frees << " frees (" << n.worker_frees << " at worker teardown), " << n.locks
                  << " locks\n";
        osc.stop();
        reloader.stop();
        run.client->stop();
        run.client.reset();   // closed before the reloader frees the convolvers
    }
}
