#include "outpath.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

bool same_file(const char *a, const char *b)
{
    struct stat sa, sb;
    if (stat(a, &sa) || stat(b, &sb)) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int Outpath::prepare(const char *path)
{
    abandon();
    _final = path;
    _direct = true;

    mode_t mode;
    struct stat sb;
    if (stat(path, &sb) == 0) {
        if (!S_ISREG(sb.st_mode)) return 0;
        mode = sb.st_mode & 07777;
        // A link is kept: the file it leads to is the one replaced.
        struct stat lb;
        if (lstat(path, &lb) == 0 && S_ISLNK(lb.st_mode)) {
            char *real = realpath(path, nullptr);
            if (!real) return -1;
            _final = real;
            free(real);
        }
    }
    else if (errno == ENOENT) {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    else {
        return -1;
    }

    std::string templ = _final + ".tess-partial-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0) return -1;
    fchmod(fd, mode);
    close(fd);
    _temp = name.data();
    _direct = false;
    _made = true;
    return 0;
}

int Outpath::commit()
{
    if (!_made) return 0;
    if (rename(_temp.c_str(), _final.c_str())) {
        int e = errno;
        abandon();
        errno = e;
        return -1;
    }
    _made = false;
    return 0;
}

void Outpath::abandon()
{
    if (!_made) return;
    unlink(_temp.c_str());
    _made = false;
}
