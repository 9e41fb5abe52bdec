// tessfile: convolves a sound file through the matrix convolver described
// by a configuration file, in blocks of the convolver's period (several
// partitions chosen from its impulse-response length, see offline_period()
// and Blockconv), and writes a float
// WAV file with one channel per convolver output.
//
// The output is written to a temporary file beside the named one and
// renamed into place once complete (see outpath.h), so that the named path
// never holds a partial file; a run whose output would be one of the files
// it reads is refused before anything is written.
//
// Threads: the main thread, which drives the convolver; the streaming
// loop's file thread (stream.h); the convolver's workers. The handler of
// SIGINT, SIGTERM and SIGHUP only sets a flag that the main loop polls
// once per block.

#include <ctype.h>
#include <new>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "convconf.h"
#include "outpath.h"
#include "outsize.h"
#include "progress.h"
#include "soundfile.h"
#include "stream.h"
#include "wisdom.h"

static const char *VERSION = "0.5.2";

static volatile uint8_t interrupted = 0;

static void interrupt_handler(int)
{
    interrupted = 1;
}

static void usage()
{
    fprintf(stderr, "\ntessfile %s\n", VERSION);
    fprintf(stderr, "Usage: tessfile <configuration file> <input file> <output file>\n");
    fprintf(stderr, "Options:\n");
    fprintf(stderr, "  -h  Display this text\n");
    fprintf(stderr, "  -T  Truncate ouput to input size\n");
    exit(1);
}

static void option_error(int c)
{
    // getopt hands over a plain char, which is negative for bytes above
    // 0x7f; isprint wants it as an unsigned char.
    c &= 255;
    fprintf(stderr, "\n%s\n", "On command line:");
    if (isprint(c)) fprintf(stderr, "  Unknown option '-%c'.\n", c);
    else fprintf(stderr, "  Unknown option character '0x%02x'.\n", c);
    fprintf(stderr, "  Use '-h' to see all options.\n");
    exit(1);
}

// Creates the output at 'path' (named 'name' to the user): float WAV (WAVEX
// from three channels), or RF64 when 'frames' frames would not fit in a
// RIFF file.
static int open_output(Soundfile &out, const char *path, const char *name, int rate, int nout,
                       int64_t frames)
{
    if (output_needs_rf64(frames, nout))
    {
        fprintf(stderr, "Warning: output exceeds 4 GiB, writing '%s' as an RF64 file.\n", name);
        return out.open_write_rf64(path, Soundfile::FORM_FLOAT, rate, nout);
    }
    return out.open_write(path, Soundfile::TYPE_WAV, Soundfile::FORM_FLOAT, rate, nout);
}

int main(int argc, char *argv[])
{
    bool truncate = false;
    int c;

    // '+': stop at the first operand, so options after the operands are
    // operands too (and make the count wrong).
    optind = 1;
    opterr = 0;
    while ((c = getopt(argc, argv, "+hT")) != -1)
    {
        switch (c)
        {
        case 'h': usage(); break;
        case 'T': truncate = true; break;
        case '?': option_error(optopt); break;
        }
    }
    if (argc - optind != 3) usage();
    const char *confpath = argv[optind];
    const char *inppath = argv[optind + 1];
    const char *outpath = argv[optind + 2];

    Soundfile inp;
    if (inp.open_read(inppath))
    {
        fprintf(stderr, "Unable to read input file '%s'\n", inppath);
        return 1;
    }
    // Some containers read from a stream have no length; the output
    // length is computed from it, so such a file cannot be used.
    if (inp.frames() < 0 || inp.frames() > INT64_MAX / 2)
    {
        fprintf(stderr, "Input file '%s' has no known length\n", inppath);
        return 1;
    }

    // Offline nobody waits for the first sample, and the output's length
    // does not depend on the period: the convolver gets the period that
    // computes fastest for its impulse-response length.
    Convconf *conf = new Convconf(inp.rate(), 0);
    // Plans found by earlier runs make the convolver's construction quick;
    // a cache that can't be read or written changes nothing else.
    Wisdom wisdom;
    wisdom.load();
    // The reader prints its own messages, also when the convolver cannot
    // be built.
    int rc = conf->read(confpath);
    wisdom.save();
    if (rc)
    {
        inp.close();
        delete conf;
        return 1;
    }
    const int ninp = conf->ninp;
    const int nout = conf->nout;
    if (ninp != inp.channels())
    {
        fprintf(stderr, "Number of inputs (%d) in config file doesn't match input file (%d)'\n",
                ninp, inp.channels());
        inp.close();
        delete conf;
        return 1;
    }

    // Nothing the run reads may be written over: not the input, nor the
    // configuration or an impulse file, under whatever name.
    const char *source = same_file(inppath, outpath) ? inppath : conf->reads_file(outpath);
    if (source)
    {
        fprintf(stderr, "Output file '%s' is the same file as %s '%s'\n", outpath,
                source == inppath ? "input file" : "configuration or impulse file", source);
        inp.close();
        delete conf;
        return 1;
    }
    // A WAV or AIFF file cut short reads as the frames it still holds.
    if (inp.announced() > inp.frames())
    {
        fprintf(stderr, "Warning: input file '%s' is shorter than its header says, "
                        "only its %lld frames are read.\n", inppath, (long long) inp.frames());
    }

    int64_t remain = inp.frames();
    if (!truncate) remain += conf->maxlen - 1;
    const int64_t total = remain;

    // Past a file size limit a write fails with EFBIG and is reported,
    // instead of the signal killing the program and leaving a partial
    // output behind.
    signal(SIGXFSZ, SIG_IGN);
    // From the moment the output may exist, an interrupt (SIGINT, or the
    // SIGTERM and SIGHUP of kill, timeout, service managers and closed
    // terminals) must not kill the program with a partial file on disk:
    // the handler goes in before the file is created, and an interrupt
    // that arrives before the first block simply means that no block is
    // written.
    interrupted = 0;
    signal(SIGINT, interrupt_handler);
    signal(SIGTERM, interrupt_handler);
    signal(SIGHUP, interrupt_handler);
    // A regular file is written under a temporary name and takes the
    // output's name only when complete; a device or a pipe named as the
    // output (say /dev/null) is written directly and is never ours to
    // delete.
    Outpath place;
    Soundfile out;
    if (place.prepare(outpath) ||
        open_output(out, place.target(), outpath, inp.rate(), nout, total))
    {
        fprintf(stderr, "Unable to create output file '%s'\n", outpath);
        place.abandon();
        inp.close();
        delete conf;
        return 1;
    }

    Stream *stream = new (std::nothrow) Stream(inp, out, conf->convolver, nout);
    if (!stream || stream->init())
    {
        fprintf(stderr, "Out of memory.\n");
        inp.close();
        out.close();
        place.abandon();
        delete stream;
        delete conf;
        return 1;
    }

    Progress *progress = isatty(2) ? new Progress(total, inp.rate()) : nullptr;

    Convolver *dconv = conf->convolver;
    bool failed = stream->run(total, &interrupted, progress) != 0;
    const int64_t delivered = stream->delivered();   // input frames the file delivered

    const int64_t expected = inp.frames();   // what the reads should deliver
    inp.close();
    out.close();
    // Decided once: an interrupt from here on finds a complete file, which
    // takes the output's name, with status 0.
    bool incomplete = failed || interrupted;
    if (!incomplete && place.commit()) failed = incomplete = true;
    if (incomplete) place.abandon();
    if (progress)
    {
        if (incomplete) progress->clear();
        else progress->finish(total);
        delete progress;
    }
    if (failed) fprintf(stderr, "Write error on output file '%s'\n", outpath);
    // A file that delivers fewer frames than it announced (a cut FLAC
    // file, say) was read with zeros in place of the missing ones.
    if (!incomplete && delivered < expected)
    {
        fprintf(stderr, "Warning: input file '%s' is shorter than its header says, "
                        "the missing samples are zeros.\n", inppath);
    }
    // Offline nothing waits for a clock: a block that waited for background
    // work only means that the file went faster than the background.
    const long long waits = dconv->late_waits();
    if (waits > 0) fprintf(stderr, "%lld blocks waited for background work.\n", waits);

    delete stream;
    delete conf;
    return incomplete ? 1 : 0;
}
