#include "oscmsg.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const float MIN_TRIM_DB = -144.0f;
const float MAX_TRIM_DB = 24.0f;

void printable(const char *src, size_t srclen, char *dst, size_t size)
{
    size_t n = 0;
    for (size_t k = 0; k < srclen && src[k] && n + 1 < size; k++) {
        unsigned char c = (unsigned char)src[k];
        dst[n++] = (c >= 32 && c < 127) ? (char)c : '?';
    }
    dst[n] = 0;
}

// liblo's arguments point into the packet at 4-byte alignment, where the
// lo_arg union (8-byte members) may not be read in place: copy the bytes.
template <typename T> T arg(const lo_arg *a)
{
    T v;
    memcpy(&v, a, sizeof(v));
    return v;
}

bool integer(char type, const lo_arg *a, long *v)
{
    if (type == LO_INT32) *v = arg<int32_t>(a);
    else if (type == LO_INT64) {
        // Far out of range either way, but never wrapped into it.
        const int64_t h = arg<int64_t>(a);
        *v = (h > 0x7fffffff) ? 0x7fffffff : (h < -0x7fffffff) ? -0x7fffffff : (long)h;
    }
    else return false;
    return true;
}

bool number(char type, const lo_arg *a, double *v)
{
    if (type == LO_FLOAT) *v = arg<float>(a);
    else if (type == LO_DOUBLE) *v = arg<double>(a);
    else if (type == LO_INT32) *v = arg<int32_t>(a);
    else if (type == LO_INT64) *v = (double)arg<int64_t>(a);
    else return false;
    return true;
}

// The channel of argument 0: OSC_DONE, OSC_ARGUMENTS or OSC_CHANNEL.
int channel(const char *types, lo_arg **argv, uint32_t count, Oscrequest *req, long *ch)
{
    if (!integer(types[0], argv[0], ch)) return OSC_ARGUMENTS;
    req->channel = (int)*ch;
    if (*ch < 0 || *ch > (long)count) return OSC_CHANNEL;
    return OSC_DONE;
}

int trim(bool input, const char *types, lo_arg **argv, Liveproc &live, Oscrequest *req)
{
    if (strlen(types) != 2) return OSC_ARGUMENTS;
    long ch;
    double db;
    int r = channel(types, argv, input ? live.ninp() : live.nout(), req, &ch);
    if (r != OSC_DONE) return r;
    if (!number(types[1], argv[1], &db)) return OSC_ARGUMENTS;
    req->gain = db;
    if (!(db >= MIN_TRIM_DB && db <= MAX_TRIM_DB)) return OSC_GAIN;   // also NaN
    const float g = powf(10.0f, (float)db / 20.0f);
    const uint32_t n = input ? live.ninp() : live.nout();
    for (uint32_t k = 0; k < n; k++) {
        if (ch && (long)k != ch - 1) continue;
        if (input) live.set_input_trim(k, g);
        else live.set_output_trim(k, g);
    }
    return OSC_DONE;
}

int mute(const char *types, lo_arg **argv, Liveproc &live, Oscrequest *req)
{
    if (strlen(types) != 2) return OSC_ARGUMENTS;
    long ch;
    int r = channel(types, argv, live.nout(), req, &ch);
    if (r != OSC_DONE) return r;
    bool on;
    long v;
    if (types[1] == LO_TRUE) on = true;
    else if (types[1] == LO_FALSE) on = false;
    else if (integer(types[1], argv[1], &v) && (v == 0 || v == 1)) on = (v == 1);
    else return OSC_ARGUMENTS;
    for (uint32_t k = 0; k < live.nout(); k++) {
        if (!ch || (long)k == ch - 1) live.set_output_mute(k, on);
    }
    return OSC_DONE;
}

int dispatch(lo_message msg, const char *path, Liveproc &live, std::atomic<bool> &reload,
             Oscrequest *req)
{
    const char *types = lo_message_get_types(msg);
    lo_arg **argv = lo_message_get_argv(msg);
    if (!types) types = "";
    printable(types, strlen(types), req->types, sizeof(req->types));

    if (!strcmp(path, "/reload")) {
        if (*types) return OSC_ARGUMENTS;
        reload.store(true, std::memory_order_release);
        return OSC_DONE;
    }
    if (!strcmp(path, "/input/trim")) return trim(true, types, argv, live, req);
    if (!strcmp(path, "/output/trim")) return trim(false, types, argv, live, req);
    if (!strcmp(path, "/output/mute")) return mute(types, argv, live, req);
    if (!strcmp(path, "/status")) {
        if (!*types) return OSC_STATUS;
        long port;
        if (strlen(types) != 1 || !integer(types[0], argv[0], &port)) return OSC_ARGUMENTS;
        if (port < 1 || port > 65535) return OSC_ARGUMENTS;
        req->reply_port = (int)port;
        return OSC_STATUS;
    }
    return OSC_UNKNOWN;
}

}  // namespace

int osc_handle(const void *data, size_t size, Liveproc &live, std::atomic<bool> &reload,
               Oscrequest *req)
{
    req->path[0] = 0;
    req->types[0] = 0;
    req->size = size;
    req->channel = 0;
    req->gain = 0;
    req->reply_port = 0;
    if (size >= 8 && !memcmp(data, "#bundle", 8)) return OSC_BUNDLE;

    // liblo reads its input as writable memory; it gets a copy. An address
    // is a string that fits in the packet.
    if (size == 0 || size > 65536) return OSC_MALFORMED;
    char *copy = static_cast<char *>(malloc(size));
    if (!copy) return OSC_MALFORMED;
    memcpy(copy, data, size);
    int err = 0;
    lo_message msg = lo_message_deserialise(copy, size, &err);
    int result = OSC_MALFORMED;
    if (msg && !err) {
        const char *path = copy;   // validated by the deserialiser
        printable(path, size, req->path, sizeof(req->path));
        result = (path[0] == '/') ? dispatch(msg, path, live, reload, req) : OSC_UNKNOWN;
    }
    if (msg) lo_message_free(msg);
    free(copy);
    return result;
}

lo_message osc_status_reply(const Livemeters &m, long late_waits)
{
    lo_message msg = lo_message_new();
    if (!msg) return nullptr;
    int bad = lo_message_add_float(msg, (float)m.seconds);
    bad |= lo_message_add_int32(msg, (int32_t)m.xruns);
    bad |= lo_message_add_float(msg, (float)(100.0 * m.load_avg));
    bad |= lo_message_add_float(msg, (float)(100.0 * m.load_max));
    bad |= lo_message_add_int32(msg, (int32_t)late_waits);
    bad |= lo_message_add_int32(msg, (int32_t)m.nout);
    for (uint32_t j = 0; j < m.nout; j++) {
        bad |= lo_message_add_float(msg, 20.0f * log10f(m.peak[j]));
        bad |= lo_message_add_int64(msg, (int64_t)m.over[j]);
    }
    if (bad) {
        lo_message_free(msg);
        return nullptr;
    }
    return msg;
}

void osc_describe(int result, const Oscrequest &req, char *buf, size_t size)
{
    switch (result) {
    case OSC_BUNDLE:
        snprintf(buf, size, "OSC: bundles are not supported, ignored.\n");
        break;
    case OSC_UNKNOWN:
        snprintf(buf, size, "OSC: unknown address '%s', ignored.\n", req.path);
        break;
    case OSC_ARGUMENTS:
        snprintf(buf, size, "OSC: wrong arguments ',%s' for '%s', ignored.\n", req.types, req.path);
        break;
    case OSC_CHANNEL:
        snprintf(buf, size, "OSC: no channel %d for '%s', ignored.\n", req.channel, req.path);
        break;
    case OSC_GAIN:
        snprintf(buf, size, "OSC: gain %g dB for '%s' is not in -144...24, ignored.\n", req.gain,
                 req.path);
        break;
    default:
        snprintf(buf, size, "OSC: a packet of %zu bytes that is not an OSC message, ignored.\n",
                 req.size);
        break;
    }
}
