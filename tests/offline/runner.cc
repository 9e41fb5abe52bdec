#include "runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

Child::Child(const std::string &prog, const std::vector<std::string> &args, const Runopts &opts) :
    _pid(-1), _outfd(-1), _errfd(-1)
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(prog.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    int outp[2], errp[2];
    if (pipe(outp)) abort();
    if (opts.pty_stderr)
    {
        struct termios tio;
        cfmakeraw(&tio);
        if (openpty(&errp[0], &errp[1], nullptr, &tio, nullptr)) abort();
    }
    else if (pipe(errp)) abort();

    _pid = fork();
    if (_pid < 0) abort();
    if (_pid == 0)
    {
        dup2(outp[1], 1);
        dup2(errp[1], 2);
        close(outp[0]);
        close(outp[1]);
        close(errp[0]);
        close(errp[1]);
        if (opts.ignore_xfsz) signal(SIGXFSZ, SIG_IGN);
        if (opts.fsize >= 0)
        {
            struct rlimit r;
            r.rlim_cur = r.rlim_max = opts.fsize;
            setrlimit(RLIMIT_FSIZE, &r);
        }
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    close(outp[1]);
    close(errp[1]);
    _outfd = outp[0];
    _errfd = errp[0];
}

Child::~Child()
{
    if (_pid > 0) wait();
}

Result Child::wait()
{
    Result r;
    // Both sides until end of file (EIO from a pseudo-terminal).
    struct pollfd p[2] = { { _outfd, POLLIN, 0 }, { _errfd, POLLIN, 0 } };
    std::string *dest[2] = { &r.out, &r.err };
    int open = 2;
    while (open)
    {
        if (poll(p, 2, -1) < 0)
        {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; i++)
        {
            if (p[i].fd < 0 || !p[i].revents) continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) dest[i]->append(buf, n);
            else if (n < 0 && errno == EINTR) continue;
            else
            {
                close(p[i].fd);
                p[i].fd = -1;
                open--;
            }
        }
    }
    int st = 0;
    while (waitpid(_pid, &st, 0) < 0 && errno == EINTR) {}
    _pid = -1;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

Result run(const std::string &prog, const std::vector<std::string> &args, const Runopts &opts)
{
    Child c(prog, args, opts);
    return c.wait();
}
