// Runs a program as a child process and collects its exit status and
// everything it wrote to standard output and standard error (through
// pipes, so that a file size limit set for the child does not cut them).
// Test helpers: main thread only.

#ifndef TESS_TEST_RUNNER_H
#define TESS_TEST_RUNNER_H

#include <string>
#include <sys/types.h>
#include <vector>

struct Runopts
{
    long fsize = -1;         // RLIMIT_FSIZE in bytes for the child; -1 keeps it
    bool ignore_xfsz = false;
    bool pty_stderr = false; // standard error on a pseudo-terminal
};

struct Result
{
    int status = -1;     // exit status, or 128 + signal number
    std::string out;     // standard output
    std::string err;     // standard error
};

class Child
{
public:
    Child(const std::string &prog, const std::vector<std::string> &args,
          const Runopts &opts = Runopts());
    ~Child();
    pid_t pid() const { return _pid; }
    // Collects the output until the child closes it, then waits for its end.
    Result wait();

private:
    pid_t _pid;
    int _outfd;
    int _errfd;          // a pipe, or the pseudo-terminal's master side
};

Result run(const std::string &prog, const std::vector<std::string> &args,
           const Runopts &opts = Runopts());

#endif
