// A player and a recorder, two JACK clients of the test process, for
// tests that play a signal through tesslive and record what it gives:
// player -> tesslive -> recorder, connected by tesslive's configuration.
// The player and recorder note the frame time of every cycle they handle,
// so that a recorded block can be matched with the played one.
//
// Threads: open() and the fields on the test thread; play(), record()
// and xrun() on JACK's threads, which only write what the comments say.

#ifndef TESS_TESTS_REALTIME_TAP_H
#define TESS_TESTS_REALTIME_TAP_H

#include <atomic>
#include <string>
#include <vector>

#include <jack/jack.h>

struct Tap
{
    int period = 0;
    int ninp = 0;
    int nout = 0;
    int maxcycles = 0;
    std::vector<std::vector<float>> signal;   // per input channel, 'length' frames
    jack_client_t *player = nullptr;
    jack_client_t *recorder = nullptr;
    std::vector<jack_port_t *> pports;
    std::vector<jack_port_t *> rports;
    std::atomic<bool> go{false};
    // Written by the player's process thread.
    std::vector<jack_nframes_t> ptime;
    std::atomic<int> pcount{0};
    // Written by the recorder's process thread.
    std::vector<jack_nframes_t> rtime;
    std::vector<float> rdata;   // per cycle: nout blocks of 'period' frames
    std::atomic<int> rcount{0};
    std::atomic<int> badsize{0};
    std::atomic<int> xruns{0};   // counted while the signal plays

    ~Tap()
    {
        if (player) jack_client_close(player);
        if (recorder) jack_client_close(recorder);
    }

    static int play(jack_nframes_t n, void *arg)
    {
        Tap *t = static_cast<Tap *>(arg);
        if ((int)n != t->period) t->badsize = 1;
        int idx = t->pcount.load(std::memory_order_relaxed);
        bool on = t->go.load(std::memory_order_acquire) && idx < t->maxcycles;
        for (int k = 0; k < t->ninp; k++) {
            float *buf = static_cast<float *>(jack_port_get_buffer(t->pports[k], n));
            const std::vector<float> &s = t->signal[k];
            for (jack_nframes_t f = 0; f < n; f++) {
                size_t pos = (size_t)idx * n + f;
                buf[f] = (on && pos < s.size()) ? s[pos] : 0.0f;
            }
        }
        if (on) {
            t->ptime[idx] = jack_last_frame_time(t->player);
            t->pcount.store(idx + 1, std::memory_order_release);
        }
        return 0;
    }

    static int xrun(void *arg)
    {
        Tap *t = static_cast<Tap *>(arg);
        if (t->go.load()) t->xruns++;
        return 0;
    }

    static int record(jack_nframes_t n, void *arg)
    {
        Tap *t = static_cast<Tap *>(arg);
        if ((int)n != t->period) t->badsize = 1;
        if (t->pcount.load(std::memory_order_acquire) == 0) return 0;
        int idx = t->rcount.load(std::memory_order_relaxed);
        if (idx >= t->maxcycles) return 0;
        t->rtime[idx] = jack_last_frame_time(t->recorder);
        for (int j = 0; j < t->nout; j++) {
            const float *buf = static_cast<const float *>(jack_port_get_buffer(t->rports[j], n));
            float *d = &t->rdata[((size_t)idx * t->nout + j) * t->period];
            for (jack_nframes_t f = 0; f < n; f++) d[f] = buf[f];
        }
        t->rcount.store(idx + 1, std::memory_order_release);
        return 0;
    }

    bool open(const std::string &server)
    {
        jack_status_t st;
        jack_options_t opts = (jack_options_t)(JackNoStartServer | JackServerName | JackUseExactName);
        player = jack_client_open("player", opts, &st, server.c_str());
        recorder = jack_client_open("recorder", opts, &st, server.c_str());
        if (!player || !recorder) return false;
        for (int k = 0; k < ninp; k++) {
            std::string n = "out_" + std::to_string(k + 1);
            pports.push_back(jack_port_register(player, n.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                                JackPortIsOutput, 0));
        }
        for (int j = 0; j < nout; j++) {
            std::string n = "in_" + std::to_string(j + 1);
            rports.push_back(jack_port_register(recorder, n.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                                JackPortIsInput, 0));
        }
        ptime.assign(maxcycles, 0);
        rtime.assign(maxcycles, 0);
        rdata.assign((size_t)maxcycles * nout * period, 0.0f);
        jack_set_process_callback(player, play, this);
        jack_set_process_callback(recorder, record, this);
        jack_set_xrun_callback(player, xrun, this);
        return !jack_activate(player) && !jack_activate(recorder);
    }
};

#endif
