// The length that a sound file's own header announces, read from the
// header itself. The library reports a WAV or AIFF file that was cut short
// (a copy that stopped, a download that broke off) with the length that is
// still there, so a reader that must place data by the announced layout,
// or tell the user that the file is incomplete, asks here.
//
// Threads: any thread; plain file I/O, not realtime-safe. Never prints.

#ifndef TESS_HEADER_H
#define TESS_HEADER_H

#include <stdint.h>

// Frames announced by the header of the RIFF/WAVE (WAVEX included), RF64
// or AIFF/AIFC file at 'path', for uncompressed PCM or float data; -1 for
// any other file, or a header that can't be read.
int64_t header_frames(const char *path);

#endif
