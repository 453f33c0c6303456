// What the kernel says about this process: its thread count, resident memory and mappings.
#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

struct ProcessFigures {
    int threads = 0;
    int64_t residentBytes = 0;
};

ProcessFigures currentProcessFigures();

// For resident memory figures that show what the code under test keeps rather than what the C
// library's allocator keeps for reuse: one allocator arena for all threads from now on (with
// one arena per thread, hundreds of short-lived threads leave memory spread over arenas that
// are never returned), and free pages returned before each measurement. No effect where the
// C library has no such controls or a sanitizer's allocator stands in.
void useOneAllocatorArena();
void returnFreeAllocatorPages();

// Whether a sanitizer's allocator and shadow memory make resident memory meaningless as a
// measure of the code under test.
bool sanitizerOwnsMemory();

// Whether a file of that path is mapped into this process (a loaded shared library).
bool isMapped(const std::string& path);

}  // namespace testsupport
