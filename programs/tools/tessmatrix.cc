// tessmatrix: assembles single-channel impulse-response files, one per
// (input, output) pair, into one matrix file in the layout that the
// configuration commands "/matrix/load" (one channel per input, one
// segment per output) and "/matrix/load_transp" (one channel per output,
// one segment per input) read.
//
// Threads: single-threaded. Messages go to standard error only; nothing is
// written to standard output.

#include <ctype.h>
#include <errno.h>
#include <new>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "convlimits.h"
#include "outpath.h"
#include "soundfile.h"

#ifndef TESS_VERSION
#define TESS_VERSION "0.5.2"
#endif

namespace {

const int MAXCHAN = 64;     // inputs or outputs of the convolver
// The longest impulse response a convolver uses (with mixed partitions;
// uniform ones load the first 4096 frames, with a warning).
const int MAXFRAMES = MAXLEN_MIXED;

[[noreturn]] void usage()
{
    fprintf(stderr, "\ntessmatrix %s\n", TESS_VERSION);
    fprintf(stderr, "Usage: tessmatrix <options> <inputs> <outputs> <matrix file> <impulse files>\n");
    fprintf(stderr, "Options:\n");
    fprintf(stderr, "  -h           Display this text\n");
    fprintf(stderr, "  -t           Transposed layout, for /matrix/load_transp\n");
    fprintf(stderr, "  -l <frames>  Length of every segment [longest impulse file]\n");
    fprintf(stderr, "Impulse files: one mono file per pair, all inputs of output 1, then of\n");
    fprintf(stderr, "output 2, and so on ('-' for a silent pair); or one pattern in which\n");
    fprintf(stderr, "%%i and %%o stand for the input and output number (%%2i: two digits).\n");
    exit(1);
}

[[noreturn]] void option_error(const char *format, int arg)
{
    fprintf(stderr, "\n%s\n", "On command line:");
    fprintf(stderr, format, arg);
    fprintf(stderr, "  Use '-h' to see all options.\n");
    exit(1);
}

// A whole decimal number in [lo, hi], or -1.
long parse_count(const char *s, long lo, long hi)
{
    if (!isdigit((unsigned char) *s)) return -1;
    errno = 0;
    char *end;
    long v = strtol(s, &end, 10);
    if (*end || errno || v < lo || v > hi) return -1;
    return v;
}

bool is_pattern(const char *s)
{
    for (const char *p = s; *p; p++) {
        if (*p != '%') continue;
        p++;
        while (isdigit((unsigned char) *p)) p++;
        if (*p == 'i' || *p == 'o') return true;
        if (!*p) break;
    }
    return false;
}

// Expands %i and %o (with an optional width, zero-padded) and %%.
// Returns false on any other use of '%'.
bool expand(const char *pat, int inp, int out, std::string &name)
{
    name.clear();
    for (const char *p = pat; *p; p++) {
        if (*p != '%') {
            name += *p;
            continue;
        }
        p++;
        if (*p == '%') {
            name += '%';
            continue;
        }
        int width = 0;
        while (isdigit((unsigned char) *p) && width < 100) width = 10 * width + (*p++ - '0');
        if (*p != 'i' && *p != 'o') return false;
        char num[128];
        snprintf(num, sizeof(num), "%0*d", width, *p == 'i' ? inp : out);
        name += num;
    }
    return true;
}

struct Impulse
{
    std::string name;     // as given, "-" for a silent pair
    int64_t frames = 0;
    int rate = 0;
    std::vector<float> data;
};

// Reads one single-channel impulse file; prints its own message on failure.
bool read_impulse(Impulse &imp)
{
    Soundfile f;
    if (f.open_read(imp.name.c_str())) {
        fprintf(stderr, "Unable to read impulse file '%s'\n", imp.name.c_str());
        return false;
    }
    if (f.channels() != 1) {
        fprintf(stderr, "Impulse file '%s' has %d channels, it must have one.\n",
                imp.name.c_str(), f.channels());
        return false;
    }
    imp.rate = f.rate();
    imp.frames = f.frames() < 0 ? 0 : f.frames();
    if (imp.frames > MAXFRAMES) {
        fprintf(stderr, "Impulse file '%s' has %lld frames, more than the %d that the convolver uses.\n",
                imp.name.c_str(), (long long) imp.frames, MAXFRAMES);
        return false;
    }
    imp.data.assign(imp.frames, 0.0f);
    int64_t got = 0;
    while (got < imp.frames) {
        int r = f.read(imp.data.data() + got, imp.frames - got);
        if (r <= 0) break;
        got += r;
    }
    if (got < imp.frames) {
        fprintf(stderr, "Read error on impulse file '%s'\n", imp.name.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char *argv[])
{
    bool transposed = false;
    long seglen = -1;
    int c;

    optind = 1;
    opterr = 0;
    while ((c = getopt(argc, argv, "+htl:")) != -1) {
        switch (c) {
        case 'h': usage();
        case 't': transposed = true; break;
        case 'l':
            seglen = parse_count(optarg, 1, MAXFRAMES);
            if (seglen < 0) option_error("  The segment length must be 1...%d frames.\n", MAXFRAMES);
            break;
        case '?':
            if (optopt == 'l') option_error("  Missing argument for '-%c' option.\n", optopt);
            if (isprint(optopt & 255)) option_error("  Unknown option '-%c'.\n", optopt);
            option_error("  Unknown option character '0x%02x'.\n", optopt & 255);
        }
    }
    if (argc - optind < 4) usage();
    const long ninp = parse_count(argv[optind], 1, MAXCHAN);
    const long nout = parse_count(argv[optind + 1], 1, MAXCHAN);
    if (ninp < 0) {
        fprintf(stderr, "Number of inputs must be 1...%d.\n", MAXCHAN);
        return 1;
    }
    if (nout < 0) {
        fprintf(stderr, "Number of outputs must be 1...%d.\n", MAXCHAN);
        return 1;
    }
    const char *outpath = argv[optind + 2];
    const int nfile = argc - optind - 3;
    char **files = argv + optind + 3;

    // imps[o * ninp + i] is the pair (input i, output o), from 0.
    const long npair = ninp * nout;
    std::vector<Impulse> imps(npair);
    if (nfile == 1 && is_pattern(files[0])) {
        for (long o = 0; o < nout; o++) {
            for (long i = 0; i < ninp; i++) {
                if (!expand(files[0], i + 1, o + 1, imps[o * ninp + i].name)) {
                    fprintf(stderr, "Bad pattern '%s': only %%i, %%o and %%%% may follow a '%%'.\n",
                            files[0]);
                    return 1;
                }
            }
        }
    }
    else if (nfile == npair) {
        for (long k = 0; k < npair; k++) imps[k].name = files[k];
    }
    else {
        fprintf(stderr, "Expected %ld impulse files (%ld inputs x %ld outputs) or one pattern, got %d.\n",
                npair, ninp, nout, nfile);
        return 1;
    }

    // The matrix must never take the place of one of its own impulse files
    // (the same name, another path to it, or a link).
    for (const Impulse &imp : imps) {
        if (imp.name != "-" && same_file(imp.name.c_str(), outpath)) {
            fprintf(stderr, "Output file '%s' is the same file as impulse file '%s'\n", outpath,
                    imp.name.c_str());
            return 1;
        }
    }

    // Every file is read and checked before the output is created.
    const Impulse *first = nullptr;
    const Impulse *longest = nullptr;
    for (Impulse &imp : imps) {
        if (imp.name == "-") continue;
        if (!read_impulse(imp)) return 1;
        if (!first) first = &imp;
        else if (imp.rate != first->rate) {
            fprintf(stderr, "Sample rate of '%s' (%d) differs from that of '%s' (%d).\n",
                    imp.name.c_str(), imp.rate, first->name.c_str(), first->rate);
            return 1;
        }
        if (!longest || imp.frames > longest->frames) longest = &imp;
    }
    if (!first) {
        fprintf(stderr, "No impulse file: every pair is '-'.\n");
        return 1;
    }
    if (seglen < 0) seglen = longest->frames > 0 ? longest->frames : 1;
    else if (longest->frames > seglen) {
        fprintf(stderr, "Impulse file '%s' has %lld frames, more than the segment length (%ld).\n",
                longest->name.c_str(), (long long) longest->frames, seglen);
        return 1;
    }

    // Plain layout: channel = input, segment = output. Transposed: channel
    // = output, segment = input. Frame s * seglen + t of the matrix holds
    // sample t of every pair of segment s.
    const long nchan = transposed ? nout : ninp;
    const long nseg = transposed ? ninp : nout;
    const size_t frames = (size_t) nseg * seglen;
    std::vector<float> matrix;
    try {
        matrix.assign(frames * nchan, 0.0f);
    }
    catch (const std::bad_alloc &) {
        fprintf(stderr, "Out of memory.\n");
        return 1;
    }
    for (long o = 0; o < nout; o++) {
        for (long i = 0; i < ninp; i++) {
            const Impulse &imp = imps[o * ninp + i];
            const long seg = transposed ? i : o;
            const long chan = transposed ? o : i;
            for (int64_t t = 0; t < imp.frames; t++) {
                matrix[((size_t) seg * seglen + t) * nchan + chan] = imp.data[t];
            }
        }
    }

    // Written under a temporary name beside the output, which it replaces
    // only once complete (outpath.h).
    Outpath place;
    Soundfile out;
    if (place.prepare(outpath) ||
        out.open_write(place.target(), Soundfile::TYPE_WAV, Soundfile::FORM_FLOAT, first->rate, nchan)) {
        fprintf(stderr, "Unable to create output file '%s'\n", outpath);
        return 1;
    }
    bool ok = out.write(matrix.data(), frames) == (int) frames;
    ok = (out.close() == 0) && ok;
    ok = ok && place.commit() == 0;
    if (!ok) {
        fprintf(stderr, "Write error on output file '%s'\n", outpath);
        return 1;
    }
    fprintf(stderr, "%s: %ld channels (%s) x %ld segments (%s) of %ld frames at %d Hz, for %s\n",
            outpath, nchan, transposed ? "outputs" : "inputs", nseg, transposed ? "inputs" : "outputs",
            seglen, first->rate, transposed ? "/matrix/load_transp" : "/matrix/load");
    return 0;
}
