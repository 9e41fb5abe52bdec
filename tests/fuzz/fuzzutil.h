// Helpers shared by the fuzz targets: a private folder for the files that
// a target writes, and a way to keep the configuration reader's messages
// off the terminal while a target runs.
//
// Threads: the fuzzing thread only.

#ifndef TESS_FUZZUTIL_H
#define TESS_FUZZUTIL_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>

// A folder of this process's own, made on first use and removed at exit.
const std::string &fuzz_dir();

// Writes 'size' bytes to 'path'; aborts when that fails (the fuzzer's
// folder must be writable).
void fuzz_write(const std::string &path, const uint8_t *data, size_t size);

// While one exists, what the program writes through 'stderr' goes nowhere.
// Sanitizer reports are written to the file descriptor and still appear.
class Quiet
{
public:
    Quiet();
    ~Quiet();

private:
    FILE *_saved;
    FILE *_null;
};

#endif
