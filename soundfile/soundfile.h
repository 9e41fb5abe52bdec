// Sound file access over libsndfile: one file open for reading or for
// writing, samples exchanged as interleaved 32-bit floats, with fixed codes
// for containers and sample formats, and optional dithered 16-bit output.
//
// Threads: every operation (open_read, open_write, close, seek, read, write,
// set_dither, get_buffer, the accessors) may be called from any one thread
// at a time, in practice the main thread of a program; the object has no
// lock. None of them is realtime-safe: they do file I/O, and the opens,
// close, set_dither and the first get_buffer allocate or free memory. The
// accessors and the static parsers are cheap and safe from any thread that
// does not race with a mutating call. This layer never prints: every
// failure is a negative result code for the caller to report.
//
// Results: 0 for success, ERR_MODE when the object is in the wrong mode,
// ERR_TYPE / ERR_FORM for bad codes, ERR_OPEN when a file cannot be opened
// or created (or rate / channels are not positive), ERR_SEEK when a seek
// does not arrive. A refused call changes nothing; a failed open leaves
// the object idle and reusable.

#ifndef TESS_SOUNDFILE_H
#define TESS_SOUNDFILE_H

#include <stdint.h>
#include <sndfile.h>

#include "dither.h"

class Soundfile
{
public:
    enum { MODE_NONE, MODE_READ, MODE_WRITE };
    enum { TYPE_OTHER, TYPE_CAF, TYPE_WAV, TYPE_AMB, TYPE_AIFF, TYPE_FLAC };
    enum { FORM_OTHER, FORM_16BIT, FORM_24BIT, FORM_32BIT, FORM_FLOAT };
    enum { DITHER_NONE, DITHER_RECT, DITHER_TRI, DITHER_LIPS };
    enum { ERR_NONE = 0, ERR_MODE = -1, ERR_TYPE = -2, ERR_FORM = -3, ERR_OPEN = -4, ERR_SEEK = -5 };
    enum { BUFFRAMES = 1024 };

    Soundfile();
    ~Soundfile();
    Soundfile(const Soundfile &) = delete;
    Soundfile &operator=(const Soundfile &) = delete;

    int open_read(const char *path);
    int open_write(const char *path, int type, int format, int rate, int channels);
    // Like open_write() with TYPE_WAV, but in the RF64 container, which has
    // 64-bit sizes: for output that would not fit in the 4 GiB of a RIFF
    // file. type() then reports TYPE_WAV. Same result codes, no type check.
    int open_write_rf64(const char *path, int format, int rate, int channels);
    int close();

    int seek(int64_t position, int whence = SEEK_SET);
    int read(float *data, int64_t frames);
    // Without a dither, samples of an integer file are clipped to +-1.0
    // in the caller's buffer; with a dither the buffer is only read.
    int write(float *data, uint64_t frames);
    // Only for a FORM_16BIT writer; codes outside DITHER_NONE..DITHER_LIPS
    // are refused with ERR_FORM.
    int set_dither(int code);

    int mode() const { return _mode; }
    int type() const { return _type; }
    int format() const { return _format; }
    int rate() const { return _rate; }
    int channels() const { return _channels; }
    int64_t frames() const { return _frames; }
    // Frames the header of a file open for reading announces. A WAV or
    // AIFF file cut short reports fewer frames() than this (the library
    // counts what is there); for every other file the two are equal.
    int64_t announced() const { return _announced; }
    int dither() const { return _dither; }

    float *get_buffer();

    static int parse_type(const char *name);
    static int parse_format(const char *name);
    static int parse_dither(const char *name);

    static const char *type_names[];     // indexed by TYPE_ code
    static const char *format_names[];   // indexed by FORM_ code, null-terminated
    static const char *dither_names[];   // indexed by DITHER_ code

private:
    // After the checks of the two opens: creates the file in 'container'.
    int create(const char *path, int container, int type, int format, int rate, int channels);
    int write_dithered(const float *data, uint64_t frames);
    void write_behind();

    SNDFILE *_handle;
    int _fd;                  // a file open for writing: its descriptor
    bool _regular;            // ... is a regular file
    int64_t _behind;          // ... bytes handed to write-out so far
    int _mode;
    int _type;
    int _format;
    int _rate;
    int _channels;
    int64_t _frames;
    int64_t _announced;
    int _dither;
    Dither *_dstates;
    int16_t *_buff16;
    float *_buff32;
};

#endif
