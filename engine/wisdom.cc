#include "wisdom.h"

#include <errno.h>
#include <fftw3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string exported()
{
    char *s = fftwf_export_wisdom_to_string();
    if (!s) return std::string();
    std::string r(s);
    free(s);
    return r;
}

// mkdir -p of the folders above 'file'.
int make_parents(const std::string &file)
{
    for (size_t k = file.find('/', 1); k != std::string::npos; k = file.find('/', k + 1)) {
        std::string dir = file.substr(0, k);
        if (mkdir(dir.c_str(), 0755) && errno != EEXIST) return 1;
    }
    return 0;
}

}  // namespace

std::string Wisdom::path()
{
    const char *e = getenv("TESS_WISDOM");
    if (e) return e;
    const char *x = getenv("XDG_CACHE_HOME");
    if (x && x[0] == '/') return std::string(x) + "/tess/fftwf-wisdom";
    const char *h = getenv("HOME");
    if (h && h[0] == '/') return std::string(h) + "/.cache/tess/fftwf-wisdom";
    return std::string();
}

int Wisdom::load()
{
    std::string p = path();
    int ok = !p.empty() && fftwf_import_wisdom_from_filename(p.c_str());
    _loaded = exported();
    return ok ? 0 : 1;
}

int Wisdom::save()
{
    std::string p = path();
    if (p.empty()) return 0;
    std::string now = exported();
    if (now.empty() || now == _loaded) return 0;
    if (make_parents(p)) return 1;
    std::string tmp = p + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0) return 1;
    FILE *f = fdopen(fd, "w");
    if (!f) {
        close(fd);
        unlink(tmp.c_str());
        return 1;
    }
    bool ok = fwrite(now.data(), 1, now.size(), f) == now.size();
    ok = (fclose(f) == 0) && ok;
    if (ok) {
        chmod(tmp.c_str(), 0644);
        ok = rename(tmp.c_str(), p.c_str()) == 0;
    }
    if (!ok) {
        unlink(tmp.c_str());
        return 1;
    }
    _loaded = now;
    return 0;
}
