// Fuzz target: the word scanner of the configuration language. The first
// byte chooses the size of the destination buffer, the rest is the source
// text, scanned word after word as the reader does. The scanner's promises
// are checked: it consumes no more than the text, a word always fits its
// buffer with its terminating NUL, and a failure leaves the buffer empty.

#include <stdlib.h>
#include <string.h>

#include <vector>

#include "convconf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    static const int sizes[] = {1, 2, 3, 8, 256, 512};
    const int bufsize = sizes[data[0] % (sizeof(sizes) / sizeof(sizes[0]))];
    // Exactly as long as the text and its NUL, so that reading past
    // either end is caught.
    std::vector<char> src(data + 1, data + size);
    src.push_back(0);
    const size_t len = strlen(src.data());
    std::vector<char> dst(bufsize);

    size_t at = 0;
    for (size_t words = 0; words <= len; words++) {
        memset(dst.data(), 'x', bufsize);
        int r = scan_word(src.data() + at, dst.data(), bufsize);
        if (r < 0 || at + r > len) abort();
        if (!memchr(dst.data(), 0, bufsize)) abort();
        if (r == 0) {
            if (dst[0] != 0) abort();
            break;
        }
        at += r;
    }
    return 0;
}
