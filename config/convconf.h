// The configuration holder and reader: reads a configuration file line by
// line, executes its commands, and holds the convolver they build, the
// port names, connection targets and gains.
//
// Threads: everything here runs on the program's main thread, before any
// processing starts; nothing is realtime-safe. This is the one library
// layer that prints: messages about the configuration go to stderr,
// prefixed "Line %d: ".

#ifndef TESS_CONVCONF_H
#define TESS_CONVCONF_H

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "convolver.h"
#include "soundfile.h"

// Scans one word of 'src' into 'dst' (of 'size' bytes): blanks skipped,
// quotes of both kinds, backslash escapes. Returns the number of
// characters consumed, 0 on failure (dst then empty).
int scan_word(const char *src, char *dst, int size);

// The partition size of a convolver built by a holder constructed with
// period 0 (the offline program, where nobody waits for the first sample):
// the impulse-response length 'maxlen' rounded up to a power of two, at
// least 1024 and at most MAXPER. The uniform convolver built there is a
// Blockconv that takes several such partitions per call; the mixed one
// runs at this period. One partition per impulse response of up to
// MAXPER taps reads each spectrum bin once per period, the fewest
// multiply-accumulates and bytes per sample.
int32_t offline_period(int32_t maxlen);

// Holds one configuration: the convolver built by "/convolver/new" (owned,
// deleted with the holder), the names, connection targets and gains of
// inputs and outputs (numbered from 1 in the file, stored at k-1), and the
// sound file through which impulse responses are read.
//
// Threads: construction, read(), the command handlers, open_impfile() and
// destruction all run on one control thread (the program's main thread),
// never while the convolver processes; none is realtime-safe (file I/O,
// allocation, thread start and stop). The processing side may use
// 'convolver' once read() has returned.
//
// Beyond the plain language:
// - A command line longer than 1023 characters is refused (STAT_LONG,
//   "Line too long."); any other over-long line counts as one line.
// - "/convolver/partitions uniform|mixed" chooses the engine of the
//   following "/convolver/new" (uniform by default); after a convolver
//   exists it is refused with its line number (STAT_FAIL), and any other
//   argument is a bad parameter (STAT_PARAM).
// - A second "/convolver/new" releases the earlier convolver and its
//   worker threads before the new one is built.
// - A convolver that cannot be built (memory, FFT plans, threads) is
//   reported with its line number and fails the read with STAT_FAIL.
// - Without realtime scheduling for the workers, one warning per process.
// - An impulse file that delivers fewer frames than it promises is loaded
//   with zeros in place of the missing samples, with a warning.
// - A configuration path that names a directory cannot be opened (-1).
// - A UTF-8 byte-order mark at the start of the file is skipped.
// - A number parameter is a whole word: "-6dB" or "2abc" is malformed
//   (STAT_PARAM), not read as its numeric prefix.
// - An impulse file with a sample that is not finite is refused.
// - A WAV or AIFF matrix file cut short is laid out by the length its
//   header announces, the missing samples zeros, with the warning of any
//   other file that delivers fewer frames than it promises.
// - Numbers beyond 32 bits never wrap into the valid range: they are
//   pinned to 4294967295 (shown as -1) or, far below zero, -2147483648.
// - A gain that is not finite (given, from decibels, or as the product of
//   a matrix command's gain with the input and output gains) is a bad
//   parameter (STAT_PARAM).
class Convconf
{
public:
    // Status codes of the commands and of read().
    enum
    {
        STAT_OK = 0,        // success
        STAT_FAIL = 1,      // the command printed its own message
        STAT_SYNTAX = 2,    // neither a command, a comment nor blank
        STAT_PARAM = 3,     // parameter missing or malformed
        STAT_NOMEM = 4,     // no memory for a matrix sample buffer
        STAT_UNKNOWN = 6,   // command word not known
        STAT_NUMBER = 8,    // input or output number out of range
        STAT_LONG = 9       // command line longer than the line buffer
    };

    // The convolver that "/convolver/new" builds ("/convolver/partitions").
    enum
    {
        PARTS_UNIFORM = 0,   // Denseconv: every partition one period long
        PARTS_MIXED = 1      // Mixedconv: growing partitions, sizes up to MAXLEN_MIXED
    };

    // 'period' is the convolver's period, or 0 for offline_period() of the
    // convolver's maxlen.
    Convconf(int32_t rate, int32_t period);
    ~Convconf();
    Convconf(const Convconf &) = delete;
    Convconf &operator=(const Convconf &) = delete;

    // Reads and executes the file. Returns 0, -1 when the file cannot be
    // opened, or the status code of the failing line (message printed).
    int32_t read(const char *path);

    // Command handlers: each takes the argument text and returns a status.
    int convolver_new(const char *args);
    int convolver_partitions(const char *args);
    int input_name(const char *args);
    int output_name(const char *args);
    int input_gain(const char *args, bool decibel);
    int output_gain(const char *args, bool decibel);
    int matrix_load(const char *args, bool transposed, bool single);
    int open_impfile(const char *name);

    // The name (as written in the configuration) of a file that the
    // reading opened, the configuration file itself or an impulse file,
    // which is the very file that 'path' names, through whatever link;
    // null when there is none. For programs that must not write over
    // what they read.
    const char *reads_file(const char *path) const;

    Convolver *convolver;
    Soundfile impfile;
    int32_t rate;
    int32_t period;
    uint32_t ninp;
    uint32_t nout;
    uint32_t maxlen;
    uint32_t nthread;
    int32_t partitions;   // PARTS_UNIFORM or PARTS_MIXED
    int32_t status;
    int32_t lineno;
    char line[1024];
    char basedir[512];
    char *inp_names[MAXINP];
    char *out_names[MAXOUT];
    char *inp_conns[MAXINP];
    char *out_conns[MAXOUT];
    float inp_gains[MAXINP];
    float out_gains[MAXOUT];

private:
    enum { PART_NONE, PART_LINE, PART_LONG };

    int read_part(FILE *file);
    int classify();
    int command();
    void convolver_free();
    uint32_t inp_count() const;
    uint32_t out_count() const;
    int port_name(const char *args, uint32_t count, char **names, char **conns);
    int port_gain(const char *args, bool decibel, uint32_t count, float *gains);
    bool read_segment(int64_t start, int64_t frames, float *buff, int nchan);

    void add_source(const char *path, const char *name);

    struct Source
    {
        dev_t dev;
        ino_t ino;
        std::string name;
    };
    std::vector<Source> sources;   // the files the reading opened
    int line_len;            // bytes in 'line', NUL bytes included
    static bool rt_warned;   // the realtime warning is printed once per process
};

#endif
