// The OSC messages that control tesslive: one packet decoded by liblo and
// acted on. The addresses (channels numbered from 1, 0 meaning all):
//   /reload                        reread the configuration file
//   /input/trim   i:input f:dB     live trim of an input
//   /output/trim  i:output f:dB    live trim of an output
//   /output/mute  i:output i:0|1   mute (1) or unmute (0); also T or F
//   /status       [i:port]         ask for the figures of osc_status_reply()
// A gain may also be sent as a double or an integer, a channel or a port
// as a 64-bit integer. Trims lie in -144...24 dB.
//
// Threads: the OSC server's thread (any thread that is not realtime).
// Not realtime-safe (liblo allocates). Prints nothing.

#ifndef TESS_OSCMSG_H
#define TESS_OSCMSG_H

#include <atomic>
#include <stddef.h>

#include <lo/lo.h>

#include "liveproc.h"

enum
{
    OSC_DONE = 0,        // acted on
    OSC_STATUS = 1,      // a status request: reply to the sender
    OSC_MALFORMED = 2,   // not an OSC message
    OSC_BUNDLE = 3,      // a bundle: not supported
    OSC_UNKNOWN = 4,     // no such address
    OSC_ARGUMENTS = 5,   // arguments of the wrong number or types
    OSC_CHANNEL = 6,     // a channel out of range
    OSC_GAIN = 7         // a gain that is not finite, or out of range
};

// What a packet asked for, for the reply or for the message about it.
struct Oscrequest
{
    char path[64];     // the address, printable characters only, cut short
    char types[20];    // the type tags, cut short
    size_t size;       // bytes in the packet
    int channel;       // the channel named (OSC_CHANNEL)
    double gain;       // the gain given (OSC_GAIN)
    int reply_port;    // /status: the port to answer to, 0 for the sender's
};

// Decodes the 'size' bytes at 'data' and acts on them: trims and mutes go
// to 'live', a reload request sets 'reload'. Anything but OSC_DONE and
// OSC_STATUS has changed nothing.
int osc_handle(const void *data, size_t size, Liveproc &live, std::atomic<bool> &reload,
               Oscrequest *req);

// The answer to /status, at the address "/status": seconds run (f),
// xruns (i), DSP load average and maximum in percent (f f), late waits (i,
// -1 where the convolver has none), the number of outputs (i), then per
// output the peak in dBFS (f, -inf for silence) and the samples above full
// scale (h). Null when liblo has no memory; else free with lo_message_free.
lo_message osc_status_reply(const Livemeters &m, long late_waits);

// One line (newline included) about a refused packet, into 'buf'.
void osc_describe(int result, const Oscrequest &req, char *buf, size_t size);

#endif
