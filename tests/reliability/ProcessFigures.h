// What the kernel says about this process: its thread count, resident memory and mappings.
#pragma once

#include <cstdint>
#include <string>

namespace reliability {

struct ProcessFigures {
    int threads = 0;
    int64_t residentBytes = 0;
};

ProcessFigures currentProcessFigures();

// Whether a file of that path is mapped into this process (a loaded shared library).
bool isMapped(const std::string& path);

}  // namespace reliability
