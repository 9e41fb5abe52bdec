// Where a program's output file is written, so that the path it names
// never holds a partial file or a mixture of two runs.
//
// A regular file (new, or one that exists and is replaced) is written to
// a temporary file beside it, "<name>.tess-partial-XXXXXX", which takes
// the place of the named file in one rename when the output is complete,
// and is removed when it is not. Anything else that the path names (a
// device such as /dev/null, a FIFO) is written directly, as it is, and is
// never removed. A symbolic link to a regular file is followed: the file
// it points to is replaced, the link stays.
//
// Threads: main thread; file-system calls, not realtime-safe. Never prints:
// failures are -1 with errno set.

#ifndef TESS_OUTPATH_H
#define TESS_OUTPATH_H

#include <string>

// True when both paths name one existing file (the same device and
// inode), whatever links, "./" forms or hard links lead there.
bool same_file(const char *a, const char *b);

class Outpath
{
public:
    Outpath() : _direct(true), _made(false) {}
    // Removes a temporary file that was neither committed nor abandoned.
    ~Outpath() { abandon(); }
    Outpath(const Outpath &) = delete;
    Outpath &operator=(const Outpath &) = delete;

    // Decides where the output for 'path' goes and, for a regular file,
    // creates the empty temporary file (mode of the file it replaces, or
    // 0666 less the umask). Returns 0 or -1.
    int prepare(const char *path);
    // The path to open for writing.
    const char *target() const { return _direct ? _final.c_str() : _temp.c_str(); }
    // Whether the output is written in place (not a regular file).
    bool direct() const { return _direct; }
    // The complete output takes the place of the named file. Returns 0,
    // or -1 (the temporary file is then removed).
    int commit();
    // An incomplete output: the temporary file is removed. Nothing happens
    // for a direct output.
    void abandon();

private:
    std::string _final;   // the file the output becomes
    std::string _temp;
    bool _direct;
    bool _made;           // the temporary file exists and is ours
};

#endif
