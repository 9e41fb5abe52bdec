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

// Leaks the leak checker is not to report: ones inside the system's codec
// libraries, which sound file reading reaches through libsndfile and which
// this project can't mend. libsndfile 1.2 leaves the Ogg Vorbis decoder's
// setup (made by vorbis_info_init) allocated when it gives up on a damaged
// Ogg Vorbis file (regress/soundfile/ogg_vorbis_setup_leak). A sound file
// left open by this project's code still shows: libsndfile's own state is
// allocated in libsndfile, which is not on this list.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libvorbis.so\n"
           "leak:libvorbisenc.so\n"
           "leak:libogg.so\n"
           "leak:libFLAC.so\n"
           "leak:libopus.so\n"
           "leak:libmpg123.so\n"
           "leak:libmp3lame.so\n";
}
