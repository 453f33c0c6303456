// Runs a fuzz target once over every file named on the command line (files, or folders of
// files), for builds without the fuzzing engine: the committed corpus then serves as a
// regression test under any compiler and sanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputFiles(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path path(argv[i]);
        if (!fs::is_directory(path)) {
            files.push_back(path);
            continue;
        }
        for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
    }
    return files;
}

bool runFile(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream),
                                     std::istreambuf_iterator<char>()};
    // A copy of exactly the input's size, so that a read past its end is a sanitizer report.
    const std::vector<uint8_t> input(bytes);
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    const std::vector<fs::path> files = inputFiles(argc, argv);
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
        return 2;
    }
    size_t ran = 0;
    for (const fs::path& file : files) {
        // Names the input that a crash report belongs to.
        std::fprintf(stderr, "%s\n", file.c_str());
        if (!runFile(file)) {
            return 1;
        }
        ++ran;
    }
    std::fprintf(stderr, "ran %zu inputs\n", ran);
    return 0;
}
