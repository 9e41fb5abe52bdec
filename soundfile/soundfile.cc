// Sound file access over libsndfile.

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "soundfile.h"
#include "header.h"

const char *Soundfile::type_names[] = { "other", "caf", "wav", "amb", "aiff", "flac" };
const char *Soundfile::format_names[] = { "other", "16bit", "24bit", "32bit", "float", nullptr };
const char *Soundfile::dither_names[] = { "none", "rect", "tri", "lips" };

namespace {

// libsndfile subformat for each FORM_ code from FORM_16BIT on.
const int subformats[] = { SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32, SF_FORMAT_FLOAT };

// FORM_ code for the libsndfile subformats 2 (PCM_16) .. 6 (FLOAT).
// 8-bit unsigned (5) is not one of ours.
const int formcodes[] = {
    Soundfile::FORM_16BIT, Soundfile::FORM_24BIT, Soundfile::FORM_32BIT,
    Soundfile::FORM_OTHER, Soundfile::FORM_FLOAT
};

int lookup(const char *name, const char *const *table, int first, int count)
{
    if (!name) return -1;
    for (int i = first; i < count; i++) {
        if (!strcmp(name, table[i])) return i;
    }
    return -1;
}

// How much written data may wait in memory before its write-out to the
// device is started (see write_behind()).
const int64_t WRITE_BEHIND = 8 << 20;

} // namespace

Soundfile::Soundfile() :
    _handle(nullptr),
    _fd(-1),
    _regular(false),
    _behind(0),
    _mode(MODE_NONE),
    _type(0),
    _format(0),
    _rate(0),
    _channels(0),
    _frames(0),
    _announced(0),
    _dither(DITHER_NONE),
    _dstates(nullptr),
    _buff16(nullptr),
    _buff32(nullptr)
{
}

Soundfile::~Soundfile()
{
    close();
}

int Soundfile::open_read(const char *path)
{
    SF_INFO info;

    if (_mode != MODE_NONE) return ERR_MODE;
    if (!path) return ERR_OPEN;
    memset(&info, 0, sizeof(info));
    _handle = sf_open(path, SFM_READ, &info);
    if (!_handle) return ERR_OPEN;
    _mode = MODE_READ;

    switch (info.format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_CAF:
        _type = TYPE_CAF;
        break;
    case SF_FORMAT_WAV:
        _type = TYPE_WAV;
        break;
    case SF_FORMAT_WAVEX:
        if (sf_command(_handle, SFC_WAVEX_GET_AMBISONIC, nullptr, 0) == SF_AMBISONIC_B_FORMAT) {
            _type = TYPE_AMB;
        }
        else _type = TYPE_WAV;
        break;
    case SF_FORMAT_AIFF:
        _type = TYPE_AIFF;
        break;
    case SF_FORMAT_FLAC:
        _type = TYPE_FLAC;
        break;
    default:
        _type = TYPE_OTHER;
    }

    int sub = info.format & SF_FORMAT_SUBMASK;
    _format = (sub >= 2 && sub <= 6) ? formcodes[sub - 2] : FORM_OTHER;
    _rate = info.samplerate;
    _channels = info.channels;
    _frames = info.frames;
    _announced = _frames;
    const int container = info.format & SF_FORMAT_TYPEMASK;
    if (container == SF_FORMAT_WAV || container == SF_FORMAT_WAVEX || container == SF_FORMAT_RF64 ||
        container == SF_FORMAT_AIFF) {
        int64_t h = header_frames(path);
        if (h > _frames) _announced = h;
    }
    return 0;
}

int Soundfile::open_write(const char *path, int type, int format, int rate, int channels)
{
    int container;

    if (_mode != MODE_NONE) return ERR_MODE;
    if (rate <= 0 || channels <= 0) return ERR_OPEN;
    switch (type) {
    case TYPE_CAF:
        container = SF_FORMAT_CAF;
        break;
    case TYPE_WAV:
    case TYPE_AMB:
        container = (channels > 2) ? SF_FORMAT_WAVEX : SF_FORMAT_WAV;
        break;
    case TYPE_AIFF:
        container = SF_FORMAT_AIFF;
        break;
    case TYPE_FLAC:
        container = SF_FORMAT_FLAC;
        break;
    default:
        return ERR_TYPE;
    }
    if (format < FORM_16BIT || format > FORM_FLOAT) return ERR_FORM;
    return create(path, container, type, format, rate, channels);
}

int Soundfile::open_write_rf64(const char *path, int format, int rate, int channels)
{
    if (_mode != MODE_NONE) return ERR_MODE;
    if (rate <= 0 || channels <= 0) return ERR_OPEN;
    if (format < FORM_16BIT || format > FORM_FLOAT) return ERR_FORM;
    return create(path, SF_FORMAT_RF64, TYPE_WAV, format, rate, channels);
}

int Soundfile::create(const char *path, int container, int type, int format, int rate, int channels)
{
    SF_INFO info;

    if (!path) return ERR_OPEN;
    memset(&info, 0, sizeof(info));
    info.format = container | subformats[format - 1];
    info.samplerate = rate;
    info.channels = channels;
    info.sections = 1;
    // The file is opened here and handed to the library, so that its
    // write-out can be started as it grows. Not truncated when it is
    // empty already (a temporary file made for the output, say): on ext4,
    // truncating a file and writing it again makes its close wait until
    // all the new data is on the device.
    _fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0664);
    if (_fd < 0) return ERR_OPEN;
    struct stat st;
    _regular = (fstat(_fd, &st) == 0) && S_ISREG(st.st_mode);
    if (_regular && (st.st_size > 0) && (ftruncate(_fd, 0) != 0)) {
        ::close(_fd);
        _fd = -1;
        return ERR_OPEN;
    }
    _behind = 0;
    _handle = sf_open_fd(_fd, SFM_WRITE, &info, SF_FALSE);
    if (!_handle) {
        ::close(_fd);
        _fd = -1;
        return ERR_OPEN;
    }
    // The tag only exists in WAVEX; on a plain WAV the library refuses it,
    // which is fine: such a file simply reads back as "wav".
    if (type == TYPE_AMB) sf_command(_handle, SFC_WAVEX_SET_AMBISONIC, nullptr, SF_AMBISONIC_B_FORMAT);
    // The library's float to 32-bit conversion overflows at exactly +1.0
    // and stores the most negative integer: a full-scale positive sample
    // would flip sign. Its own clipping conversion saturates instead.
    if (format == FORM_32BIT) sf_command(_handle, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // No PEAK chunk in float files: to fill it the library scans every
    // written sample once per channel, strided across the frames, which
    // cost a tenth of a 64-channel offline run. Readers compute peaks
    // themselves where the chunk is missing.
    sf_command(_handle, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);

    _mode = MODE_WRITE;
    _type = type;
    _format = format;
    _rate = rate;
    _channels = channels;
    _frames = 0;
    _announced = 0;
    return 0;
}

int Soundfile::close()
{
    if (_handle) {
        sf_close(_handle);
        _handle = nullptr;
    }
    if (_fd >= 0) {
        ::close(_fd);
        _fd = -1;
    }
    _regular = false;
    _mode = MODE_NONE;
    _type = 0;
    _format = 0;
    _rate = 0;
    _channels = 0;
    _frames = 0;
    _announced = 0;
    _dither = DITHER_NONE;
    delete[] _dstates;
    delete[] _buff16;
    delete[] _buff32;
    _dstates = nullptr;
    _buff16 = nullptr;
    _buff32 = nullptr;
    return 0;
}

int Soundfile::seek(int64_t position, int whence)
{
    if (!_handle) return ERR_MODE;
    // The library answers -1 on failure, which must not pass for arriving
    // at a requested position of -1.
    sf_count_t r = sf_seek(_handle, position, whence);
    return (r >= 0 && r == position) ? 0 : ERR_SEEK;
}

int Soundfile::read(float *data, int64_t frames)
{
    if (_mode != MODE_READ) return ERR_MODE;
    return (int) sf_readf_float(_handle, data, frames);
}

int Soundfile::write(float *data, uint64_t frames)
{
    if (_mode != MODE_WRITE) return ERR_MODE;
    if (_dither != DITHER_NONE) return write_dithered(data, frames);

    // The library does not clip by default, and an integer file would
    // wrap around on samples beyond full scale. NaN passes unchanged.
    if (_format != FORM_FLOAT) {
        uint64_t n = frames * (uint64_t) _channels;
        for (uint64_t k = 0; k < n; k++) {
            float v = data[k];
            if (v > 1.0f) data[k] = 1.0f;
            else if (v < -1.0f) data[k] = -1.0f;
        }
    }
    const int written = (int) sf_writef_float(_handle, data, (sf_count_t) frames);
    write_behind();
    return written;
}

// Starts the write-out of what was written to a regular file since the
// last start, once there are WRITE_BEHIND bytes of it: the device then
// takes the data in while the program goes on, instead of all of it at
// the end, where closing or renaming the file may wait for it. Only a
// request: it may wait for room in the device's queue, never for the data
// to be written.
void Soundfile::write_behind()
{
    if (!_regular) return;
    const off_t end = lseek(_fd, 0, SEEK_CUR);
    if ((end < 0) || (end - _behind < WRITE_BEHIND)) return;
    sync_file_range(_fd, _behind, end - _behind, SYNC_FILE_RANGE_WRITE);
    _behind = end;
}

int Soundfile::write_dithered(const float *data, uint64_t frames)
{
    int total = 0;

    while (frames) {
        int n = (frames < BUFFRAMES) ? (int) frames : BUFFRAMES;
        for (int c = 0; c < _channels; c++) {
            Dither *d = _dstates + c;
            switch (_dither) {
            case DITHER_RECT:
                d->proc_rect(n, data + c, _channels, _buff16 + c, _channels);
                break;
            case DITHER_TRI:
                d->proc_tri(n, data + c, _channels, _buff16 + c, _channels);
                break;
            default:
                d->proc_lips(n, data + c, _channels, _buff16 + c, _channels);
            }
        }
        int w = (int) sf_writef_short(_handle, _buff16, n);
        write_behind();
        total += w;
        if (w != n) return total;
        data += (uint64_t) n * _channels;
        frames -= n;
    }
    return total;
}

int Soundfile::set_dither(int code)
{
    if (_mode != MODE_WRITE) return ERR_MODE;
    if (_format != FORM_16BIT) return ERR_FORM;
    // The dithered write converts with the code selected here, so an
    // unknown one is refused rather than mapped onto one of the four.
    if (code < DITHER_NONE || code > DITHER_LIPS) return ERR_FORM;

    if (code == DITHER_NONE) {
        delete[] _dstates;
        delete[] _buff16;
        _dstates = nullptr;
        _buff16 = nullptr;
    }
    else if (_dither == DITHER_NONE) {
        Dither *states = new Dither[_channels];
        try {
            _buff16 = new int16_t[(size_t) _channels * BUFFRAMES];
        }
        catch (...) {
            delete[] states;
            throw;
        }
        _dstates = states;
    }
    _dither = code;
    return 0;
}

float *Soundfile::get_buffer()
{
    if (_mode == MODE_NONE) return nullptr;
    if (!_buff32) _buff32 = new float[(size_t) _channels * BUFFRAMES];
    return _buff32;
}

int Soundfile::parse_type(const char *name)
{
    return lookup(name, type_names, TYPE_CAF, TYPE_FLAC + 1);
}

int Soundfile::parse_format(const char *name)
{
    return lookup(name, format_names, FORM_16BIT, FORM_FLOAT + 1);
}

int Soundfile::parse_dither(const char *name)
{
    return lookup(name, dither_names, DITHER_NONE, DITHER_LIPS + 1);
}
