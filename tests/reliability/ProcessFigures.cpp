#include "ProcessFigures.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace reliability {

namespace {

int threadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    throw std::runtime_error("no Threads: line in /proc/self/status");
}

int64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t sizePages = 0;
    int64_t residentPages = 0;
    if (!(statm >> sizePages >> residentPages)) {
        throw std::runtime_error("cannot read /proc/self/statm");
    }
    return residentPages * sysconf(_SC_PAGESIZE);
}

}  // namespace

ProcessFigures currentProcessFigures() {
    return ProcessFigures{threadCount(), residentBytes()};
}

bool isMapped(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.size() >= path.size() &&
            line.compare(line.size() - path.size(), path.size(), path) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace reliability
