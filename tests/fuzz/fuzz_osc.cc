// Fuzz target: one packet, as tesslive's OSC server receives it, through
// osc_handle() onto a live processor of 4 inputs and 4 outputs; a status
// request builds and serialises its reply, and the refusal is described.
// What a packet may never do is checked: leave a trim that is not a
// finite gain within -144...24 dB, or make the processor's output for a
// silent input anything but silence.

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <vector>

#include "oscmsg.h"

namespace {

const uint32_t N = 4, PERIOD = 64;

bool trim_ok(float g)
{
    return std::isfinite(g) && g >= 6.3e-8f && g <= 15.9f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Liveproc *live = nullptr;
    if (!live) {
        live = new Liveproc;
        if (live->init(N, N, PERIOD, 48000)) abort();
    }
    std::atomic<bool> reload(false);
    Oscrequest req;
    int r = osc_handle(data, size, *live, reload, &req);
    if (r < OSC_DONE || r > OSC_GAIN) abort();
    if (reload.load() && strcmp(req.path, "/reload")) abort();
    if (strlen(req.path) >= sizeof(req.path) || strlen(req.types) >= sizeof(req.types)) abort();
    if (r == OSC_STATUS) {
        Livemeters m;
        live->meters(&m);
        lo_message msg = osc_status_reply(m, -1);
        if (!msg) abort();
        size_t len = 0;
        void *bytes = lo_message_serialise(msg, "/status", nullptr, &len);
        lo_message_free(msg);
        free(bytes);
    }
    else if (r != OSC_DONE) {
        char line[200];
        osc_describe(r, req, line, sizeof(line));
        if (!strchr(line, '\n')) abort();
    }
    for (uint32_t k = 0; k < N; k++) {
        if (!trim_ok(live->input_trim(k)) || !trim_ok(live->output_trim(k))) abort();
    }
    // No convolver: silence in, silence out, whatever the gains.
    std::vector<float> buf(2 * N * PERIOD, 0.0f);
    const float *inp[N];
    float *out[N];
    for (uint32_t k = 0; k < N; k++) {
        inp[k] = &buf[k * PERIOD];
        out[k] = &buf[(N + k) * PERIOD];
    }
    live->process(inp, out);
    for (uint32_t k = N * PERIOD; k < buf.size(); k++) {
        if (buf[k] != 0.0f) abort();
    }
    return 0;
}
