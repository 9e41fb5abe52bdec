#include "fuzzutil.h"

#include <filesystem>

namespace {

std::string made;

void remove_dir()
{
    std::error_code ec;
    if (!made.empty()) std::filesystem::remove_all(made, ec);
}

}  // namespace

const std::string &fuzz_dir()
{
    if (made.empty()) {
        const char *base = getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/tess-fuzz-XXXXXX";
        if (!mkdtemp(&templ[0])) abort();
        made = templ;
        atexit(remove_dir);
    }
    return made;
}

void fuzz_write(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (size && fwrite(data, 1, size, f) != size) abort();
    if (fclose(f)) abort();
}

Quiet::Quiet() : _saved(stderr), _null(fopen("/dev/null", "w"))
{
    if (_null) stderr = _null;
}

Quiet::~Quiet()
{
    stderr = _saved;
    if (_null) fclose(_null);
}
