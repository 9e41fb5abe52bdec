#include "convconf.h"

#include "blockconv.h"
#include "denseconv.h"
#include "mixedconv.h"

#include <ctype.h>
#include <libgen.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <new>
#include <system_error>

bool Convconf::rt_warned = false;

// ---------------------------------------------------------------- scan_word

int scan_word(const char *src, char *dst, int size)
{
    if (size < 1) return 0;
    dst[0] = 0;

    int i = 0;        // characters consumed
    int k = 0;        // characters stored
    int quote = 0;    // the opening quote, or 0 for an unquoted word
    bool esc = false; // the previous character was an escaping backslash

    while (src[i] == ' ' || src[i] == '\t') i++;
    if (src[i] == '"' || src[i] == '\'') quote = src[i++];

    while (true) {
        int c = (unsigned char) src[i];
        bool ctrl = ((c < 0x20) && (c != '\t')) || (c == 0x7f);
        if (ctrl) {
            // Ends an unquoted word; an open quote or escape is an error.
            if (quote || esc) goto fail;
            break;
        }
        i++;
        if (esc) {
            esc = false;
        }
        else if ((c == '\\') && (quote != '\'')) {
            esc = true;
            continue;
        }
        else if ((c == ' ') || (c == '\t')) {
            if (!quote) {
                i--;   // the blank that ends an unquoted word is not consumed
                break;
            }
        }
        else if (c == quote) {
            break;
        }
        else if ((c == '"') || (c == '\'')) {
            goto fail;
        }
        if (c == '\t') c = ' ';
        dst[k++] = (char) c;
        if (k >= size) goto fail;
    }
    dst[k] = 0;
    return i;

fail:
    dst[0] = 0;
    return 0;
}

// ---------------------------------------------------------------- numbers

namespace {

// The numbers of the language are 32-bit unsigned, read as "%u" reads them,
// negative ones included (-1 is 4294967295, shown as -1 in messages). But a
// number beyond 32 bits must not wrap around into the valid range, as
// 4294967297 would to 1: such numbers are read at 64 bits and pinned to the
// nearest 32-bit value outside every range instead.
uint32_t pin32(long long v)
{
    if (v > (long long) UINT32_MAX) return UINT32_MAX;
    if (v < (long long) INT32_MIN) return (uint32_t) INT32_MIN;
    return (uint32_t) v;
}

// A gain must be a finite number: an infinite or NaN gain would turn every
// output it reaches into Inf or NaN for good.
bool finite_gain(float g)
{
    return isfinite(g);
}

// A parameter is one word: a number is taken only when the whole word,
// up to white space or the end of the line, is that number. "-6dB" or
// "2abc" is no number at all, rather than the -6 or 2 it begins with.
// Blanks before the word are skipped; 'p' is left after the word.
bool whole_word(const char *start, const char *end)
{
    return (end != start) && (!*end || isspace((unsigned char) *end));
}

bool read_int(const char *&p, long long &v)
{
    const char *s = p;
    while (isspace((unsigned char) *s)) s++;
    char *end;
    v = strtoll(s, &end, 10);
    if (!whole_word(s, end)) return false;
    p = end;
    return true;
}

bool read_float(const char *&p, float &v)
{
    const char *s = p;
    while (isspace((unsigned char) *s)) s++;
    char *end;
    v = strtof(s, &end);
    if (!whole_word(s, end)) return false;
    p = end;
    return true;
}

// Offset of the first character after the white space at 'p'.
int skip_space(const char *args, const char *p)
{
    while (isspace((unsigned char) *p)) p++;
    return (int) (p - args);
}

// Partitions of input per call of the offline convolver (Blockconv): each
// impulse-response spectrum is read once for four blocks. Measured on a
// 64 x 64 matrix of 4096 taps: 1.35 times the speed of one block per call;
// with eight, the bands that keep the input spectra in the cache get too
// narrow and it is slower again.
const int32_t OFFLINE_BLOCKS = 4;

// A file opened by the reading, identified by device and inode.
bool same_id(const struct stat &a, dev_t dev, ino_t ino)
{
    return a.st_dev == dev && a.st_ino == ino;
}

}  // namespace

// ---------------------------------------------------------------- Convconf

int32_t offline_period(int32_t maxlen)
{
    int32_t p = 1024;
    while ((p < maxlen) && (p < MAXPER)) p *= 2;
    return p;
}

Convconf::Convconf(int32_t rate_, int32_t period_)
    : convolver(nullptr), rate(rate_), period(period_), ninp(0), nout(0), maxlen(0),
      nthread(0), partitions(PARTS_UNIFORM), status(0), lineno(0)
{
    line[0] = 0;
    strcpy(basedir, ".");
    for (int i = 0; i < MAXINP; i++) {
        inp_names[i] = nullptr;
        inp_conns[i] = nullptr;
        inp_gains[i] = 1.0f;
    }
    for (int i = 0; i < MAXOUT; i++) {
        out_names[i] = nullptr;
        out_conns[i] = nullptr;
        out_gains[i] = 1.0f;
    }
}

Convconf::~Convconf()
{
    convolver_free();
    impfile.close();
    for (int i = 0; i < MAXINP; i++) {
        free(inp_names[i]);
        free(inp_conns[i]);
    }
    for (int i = 0; i < MAXOUT; i++) {
        free(out_names[i]);
        free(out_conns[i]);
    }
}

void Convconf::convolver_free()
{
    // Stops the worker threads before the storage goes away.
    delete convolver;
    convolver = nullptr;
}

// ---------------------------------------------------------------- reading

int32_t Convconf::read(const char *path)
{
    // A directory opens like a file but reads as nothing at all: it would
    // pass for an empty configuration. It is refused like a missing file.
    FILE *file = fopen(path, "r");
    struct stat sb;
    if (file && (fstat(fileno(file), &sb) || S_ISDIR(sb.st_mode))) {
        fclose(file);
        file = nullptr;
    }
    if (!file) {
        fprintf(stderr, "Can't open '%s' for reading\n", path);
        return -1;
    }

    add_source(path, path);

    // dirname() may modify its argument.
    char *copy = strdup(path);
    if (copy) {
        snprintf(basedir, sizeof(basedir), "%s", dirname(copy));
        free(copy);
    }
    else {
        strcpy(basedir, ".");
    }

    status = STAT_OK;
    lineno = 0;
    while (status == STAT_OK) {
        int part = read_part(file);
        if (part == PART_NONE) break;
        // Editors on some systems begin a UTF-8 file with a byte-order
        // mark, which would hide the first command.
        if ((lineno == 0) && (line_len >= 3) && !memcmp(line, "\xef\xbb\xbf", 3)) {
            memmove(line, line + 3, line_len - 3 + 1);
            line_len -= 3;
        }
        if (lineno < INT32_MAX) lineno++;
        if (line[0] == '/') {
            // A command is never cut: one that does not fit is refused.
            status = (part == PART_LONG) ? STAT_LONG : command();
            continue;
        }
        // Blank, comment or syntax error, decided by the first character
        // after leading white space, which may lie in a later part of an
        // over-long line. The rest of such a line is read and dropped, so
        // it counts as one line.
        int kind = classify();
        while (part == PART_LONG) {
            part = read_part(file);
            if ((part != PART_NONE) && (kind < 0)) kind = classify();
        }
        if (kind > 0) status = kind;
    }
    fclose(file);

    if (status == STAT_OK || status == STAT_FAIL) return status;
    const char *msg;
    switch (status) {
    case STAT_SYNTAX:  msg = "Syntax error.\n"; break;
    case STAT_PARAM:   msg = "Bad or missing parameters.\n"; break;
    case STAT_NOMEM:   msg = "Out of memory.\n"; break;
    case STAT_UNKNOWN: msg = "Unknown command.\n"; break;
    case STAT_NUMBER:  msg = "Bad input or output number.\n"; break;
    case STAT_LONG:    msg = "Line too long.\n"; break;
    default:           msg = "Unknown error.\n"; break;
    }
    fprintf(stderr, "Line %d: ", lineno);
    fputs(msg, stderr);
    return status;
}

int Convconf::read_part(FILE *file)
{
    // The line may hold NUL bytes, so the length fgets() delivered is found
    // from its terminator: with the buffer filled with non-NUL bytes first,
    // that is the last NUL in it.
    memset(line, 1, sizeof(line));
    if (!fgets(line, sizeof(line), file)) return PART_NONE;
    int n = sizeof(line) - 1;
    while ((n > 0) && line[n]) n--;
    line_len = n;
    if ((n > 0) && (line[n - 1] == '\n')) return PART_LINE;
    if (n < (int) sizeof(line) - 1) return PART_LINE;   // end of file, or a read error
    // The buffer is full: the line goes on unless only its newline is left.
    int c = getc(file);
    if ((c == '\n') || (c == EOF)) return PART_LINE;
    ungetc(c, file);
    return PART_LONG;
}

int Convconf::classify()
{
    // 0: blank or comment, STAT_SYNTAX: anything else, -1: only white
    // space up to the end of this part (decided by the next part, if any).
    int i = 0;
    while ((i < line_len) && isspace((unsigned char) line[i])) i++;
    if (i == line_len) return -1;
    int c = (unsigned char) line[i];
    if ((c == '#') || (c < 0x20) || (c >= 0x80)) return 0;
    return STAT_SYNTAX;
}

int Convconf::command()
{
    char *p = line + 1;
    while (true) {
        int c = (unsigned char) *p;
        if (isspace(c) || (c < 0x20) || (c >= 0x80)) break;
        p++;
    }
    const char *args = p;
    if (*p) {
        *p = 0;
        args = p + 1;
        while (*args == ' ') args++;
    }

    if (!strcmp(line, "/cd")) return scan_word(args, basedir, sizeof(basedir)) ? STAT_OK : STAT_PARAM;
    if (!strcmp(line, "/convolver/new")) return convolver_new(args);
    if (!strcmp(line, "/convolver/partitions")) return convolver_partitions(args);
    if (!strcmp(line, "/input/name")) return input_name(args);
    if (!strcmp(line, "/output/name")) return output_name(args);
    if (!strcmp(line, "/input/gain")) return input_gain(args, false);
    if (!strcmp(line, "/input/dbgain")) return input_gain(args, true);
    if (!strcmp(line, "/output/gain")) return output_gain(args, false);
    if (!strcmp(line, "/output/dbgain")) return output_gain(args, true);
    if (!strcmp(line, "/matrix/load")) return matrix_load(args, false, false);
    if (!strcmp(line, "/matrix/load_transp")) return matrix_load(args, true, false);
    if (!strcmp(line, "/matrix/load_output")) return matrix_load(args, false, true);
    if (!strcmp(line, "/matrix/load_input")) return matrix_load(args, true, true);
    return STAT_UNKNOWN;
}

// ---------------------------------------------------------------- commands

int Convconf::convolver_new(const char *args)
{
    // Into the fields: after a failure they hold what was read.
    uint32_t *fields[4] = { &ninp, &nout, &maxlen, &nthread };
    const char *p = args;
    for (int i = 0; i < 4; i++) {
        long long v;
        if (!read_int(p, v)) return STAT_PARAM;
        *fields[i] = pin32(v);
    }
    if ((ninp < 1) || (ninp > MAXINP)) {
        fprintf(stderr, "Line %d: Number of inputs (%d) is out of range.\n", lineno, (int) ninp);
        return STAT_FAIL;
    }
    if ((nout < 1) || (nout > MAXOUT)) {
        fprintf(stderr, "Line %d: Number of outputs (%d) is out of range.\n", lineno, (int) nout);
        return STAT_FAIL;
    }
    if ((maxlen < 16) || (maxlen > ((partitions == PARTS_MIXED) ? MAXLEN_MIXED : MAXLEN))) {
        fprintf(stderr, "Line %d: Convolver size (%d) is out of range.\n", lineno, (int) maxlen);
        return STAT_FAIL;
    }
    if ((nthread < 1) || (nthread > MAXTHR)) {
        fprintf(stderr, "Line %d: Number of threads (%d) is out of range.\n", lineno, (int) nthread);
        return STAT_FAIL;
    }

    // Only the newest convolver is ever used: release an earlier one and
    // its worker threads now, before the new one needs the memory.
    convolver_free();
    try {
        const int32_t per = (period > 0) ? period : offline_period((int32_t) maxlen);
        if (partitions == PARTS_MIXED) convolver = new Mixedconv(ninp, nout, maxlen, per, nthread);
        else if (period > 0) convolver = new Denseconv(ninp, nout, maxlen, per, nthread);
        else convolver = new Blockconv(ninp, nout, maxlen, per, OFFLINE_BLOCKS, nthread);
    }
    catch (const std::bad_alloc &) {
        fprintf(stderr, "Line %d: Unable to create the convolver: out of memory.\n", lineno);
        return STAT_FAIL;
    }
    catch (const std::system_error &e) {
        fprintf(stderr, "Line %d: Unable to create the convolver: can't start worker threads (%s).\n",
                lineno, strerror(e.code().value()));
        return STAT_FAIL;
    }
    catch (const std::exception &e) {
        fprintf(stderr, "Line %d: Unable to create the convolver: %s.\n", lineno, e.what());
        return STAT_FAIL;
    }
    if (!convolver->realtime() && !rt_warned) {
        rt_warned = true;
        fprintf(stderr, "Line %d: Warning: realtime priority is not available, "
                        "the worker threads run with normal scheduling.\n", lineno);
    }
    return STAT_OK;
}

int Convconf::convolver_partitions(const char *args)
{
    char word[16];
    if (!scan_word(args, word, sizeof(word))) return STAT_PARAM;
    int kind;
    if (!strcmp(word, "uniform")) kind = PARTS_UNIFORM;
    else if (!strcmp(word, "mixed")) kind = PARTS_MIXED;
    else return STAT_PARAM;
    if (convolver) {
        fprintf(stderr, "Line %d: /convolver/partitions must come before /convolver/new.\n", lineno);
        return STAT_FAIL;
    }
    partitions = kind;
    return STAT_OK;
}

int Convconf::port_name(const char *args, uint32_t count, char **names, char **conns)
{
    long long v;
    const char *p = args;
    if (!read_int(p, v)) return STAT_PARAM;
    int n = skip_space(args, p);
    uint32_t k = pin32(v);
    if (k - 1 >= count) return STAT_NUMBER;

    char word[256];
    int m = scan_word(args + n, word, sizeof(word));
    if (!word[0]) return STAT_PARAM;
    char *name = strdup(word);
    if (!name) return STAT_NOMEM;
    free(names[k - 1]);
    names[k - 1] = name;

    // An optional connection target; a missing or malformed one leaves the
    // earlier target in place.
    scan_word(args + n + m, word, sizeof(word));
    if (word[0]) {
        char *conn = strdup(word);
        if (!conn) return STAT_NOMEM;
        free(conns[k - 1]);
        conns[k - 1] = conn;
    }
    return STAT_OK;
}

// The counts are taken from the convolver itself: they equal 'ninp' and
// 'nout' once one exists, and a failed "/convolver/new", which leaves its
// rejected values in those fields, can then never open the way to an index
// outside the arrays.
uint32_t Convconf::inp_count() const
{
    return convolver ? convolver->ninp : 0;
}

uint32_t Convconf::out_count() const
{
    return convolver ? convolver->nout : 0;
}

int Convconf::input_name(const char *args)
{
    return port_name(args, inp_count(), inp_names, inp_conns);
}

int Convconf::output_name(const char *args)
{
    return port_name(args, out_count(), out_names, out_conns);
}

int Convconf::port_gain(const char *args, bool decibel, uint32_t count, float *gains)
{
    long long v;
    float x;
    const char *p = args;
    if (!read_int(p, v) || !read_float(p, x)) return STAT_PARAM;
    uint32_t k = pin32(v);
    if (k - 1 >= count) return STAT_NUMBER;
    float g = decibel ? powf(10.0f, x / 20.0f) : x;
    if (!finite_gain(g)) return STAT_PARAM;
    gains[k - 1] = g;
    return STAT_OK;
}

int Convconf::input_gain(const char *args, bool decibel)
{
    return port_gain(args, decibel, inp_count(), inp_gains);
}

int Convconf::output_gain(const char *args, bool decibel)
{
    return port_gain(args, decibel, out_count(), out_gains);
}

// ---------------------------------------------------------------- files read

void Convconf::add_source(const char *path, const char *name)
{
    struct stat sb;
    if (stat(path, &sb)) return;
    for (const Source &s : sources) {
        if (same_id(sb, s.dev, s.ino)) return;
    }
    try {
        sources.push_back(Source{ sb.st_dev, sb.st_ino, name });
    }
    catch (const std::bad_alloc &) {
    }
}

const char *Convconf::reads_file(const char *path) const
{
    struct stat sb;
    if (stat(path, &sb)) return nullptr;
    for (const Source &s : sources) {
        if (same_id(sb, s.dev, s.ino)) return s.name.c_str();
    }
    return nullptr;
}

// ---------------------------------------------------------------- matrix loading

int Convconf::open_impfile(const char *name)
{
    char path[1024];
    if (name[0] == '/') {
        snprintf(path, sizeof(path), "%s", name);
    }
    else {
        snprintf(path, sizeof(path), "%s/%s", basedir, name);
    }
    if (impfile.open_read(path)) {
        fprintf(stderr, "Line %d: Unable to open '%s'.\n", lineno, name);
        return 1;
    }
    add_source(path, name);
    if (impfile.rate() != rate) {
        fprintf(stderr, "Line %d: Warning: sample rate (%d) of '%s' does not match.\n",
                lineno, impfile.rate(), name);
    }
    return 0;
}

bool Convconf::read_segment(int64_t start, int64_t frames, float *buff, int nchan)
{
    // Whatever the file does not deliver (a failed seek, or fewer frames
    // than its header promised) is loaded as zeros.
    int64_t got = 0;
    if (impfile.seek(start) == 0) {
        while (got < frames) {
            int r = impfile.read(buff + got * nchan, frames - got);
            if (r <= 0) break;
            got += r;
        }
    }
    if (got >= frames) return true;
    memset(buff + got * nchan, 0, (frames - got) * nchan * sizeof(float));
    return false;
}

int Convconf::matrix_load(const char *args, bool transposed, bool single)
{
    uint32_t k = 0;
    float g;
    const char *p = args;
    if (single) {
        long long v;
        if (!read_int(p, v)) return STAT_PARAM;
        k = pin32(v);
    }
    if (!read_float(p, g)) return STAT_PARAM;
    int n = skip_space(args, p);
    if (!finite_gain(g)) return STAT_PARAM;
    char name[512];
    if (!scan_word(args + n, name, sizeof(name))) return STAT_PARAM;
    if (open_impfile(name)) return STAT_FAIL;

    // Without a convolver nothing matches: the required count is 0.
    int64_t need = transposed ? out_count() : inp_count();
    int nchan = impfile.channels();
    if (!convolver || (nchan != need)) {
        fprintf(stderr, "Line %d: Channel count (%d) of '%s' doens't match.\n", lineno, nchan, name);
        impfile.close();
        return STAT_FAIL;
    }

    int64_t count = transposed ? inp_count() : out_count();   // the side of the segments
    // A file cut short keeps the layout its header announces: every
    // segment at its own place, the missing samples zeros.
    int64_t frames = impfile.announced();
    if (frames < 0) frames = 0;
    int64_t first, nseg;
    if (single) {
        if (((int) k < 1) || ((int) k > count)) {
            fprintf(stderr, "Line %d: Input or output number (%d) is out of range.\n", lineno, (int) k);
            impfile.close();
            return STAT_FAIL;
        }
        first = k - 1;
        nseg = 1;
    }
    else {
        if (frames % count) {
            fprintf(stderr, "Line %d: File size of '%s' doesn't match.\n", lineno, name);
            impfile.close();
            return STAT_FAIL;
        }
        first = 0;
        nseg = count;
    }

    int64_t seglen = frames / nseg;
    int64_t len = seglen;
    if (seglen > convolver->maxlen) {
        fprintf(stderr, "Line %d: Warning: data in '%s' will be truncated.\n", lineno, name);
        len = convolver->maxlen;
    }

    // Finite factors can still multiply out to an infinite gain.
    for (int64_t s = 0; s < nseg; s++) {
        for (int c = 0; c < nchan; c++) {
            int inp = transposed ? (int) (first + s) : c;
            int out = transposed ? c : (int) (first + s);
            if (!finite_gain((g * inp_gains[inp]) * out_gains[out])) {
                impfile.close();
                return STAT_PARAM;
            }
        }
    }

    float *buff = new (std::nothrow) float[len * nchan + 1];
    if (!buff) {
        impfile.close();
        return STAT_NOMEM;
    }
    bool complete = true;
    for (int64_t s = 0; s < nseg; s++) {
        if (len > 0 && !read_segment(s * seglen, len, buff, nchan)) complete = false;
        // A sample that is not finite would turn every output that the
        // pair reaches into Inf or NaN for good.
        for (int64_t i = 0; i < len * nchan; i++) {
            if (!isfinite(buff[i])) {
                fprintf(stderr, "Line %d: '%s' holds a sample that is not a finite number.\n",
                        lineno, name);
                impfile.close();
                delete[] buff;
                return STAT_FAIL;
            }
        }
        for (int c = 0; c < nchan; c++) {
            int inp = transposed ? (int) (first + s) : c;
            int out = transposed ? c : (int) (first + s);
            float gain = (g * inp_gains[inp]) * out_gains[out];
            convolver->set_impulse(inp, out, buff + c, (int32_t) len, nchan, gain);
        }
    }
    if (!complete) {
        fprintf(stderr, "Line %d: Warning: '%s' is shorter than its header says, "
                        "the missing samples are zeros.\n", lineno, name);
    }
    impfile.close();
    delete[] buff;
    return STAT_OK;
}
