// Runs a fuzz target over files, without the fuzzing engine: every file
// named on the command line, and every file in every folder named there
// (in name order). Used by the tests to replay the seed corpus and the
// inputs that once found a fault; a fault is a crash (or a sanitizer
// report) of this program.

#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char *argv[])
{
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            std::vector<std::string> in;
            for (auto &e : fs::directory_iterator(argv[i])) {
                if (e.is_regular_file()) in.push_back(e.path().string());
            }
            std::sort(in.begin(), in.end());
            files.insert(files.end(), in.begin(), in.end());
        }
        else if (fs::exists(argv[i], ec)) {
            files.push_back(argv[i]);
        }
    }
    for (const std::string &f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    fprintf(stderr, "%zu inputs replayed\n", files.size());
    return 0;
}
