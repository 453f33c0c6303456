// What the kernel says about this process: its thread count, resident memory and mappings; and
// what a host process keeps loaded for its whole life, whatever plugins come and go.
#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

struct ProcessFigures {
    int threads = 0;
    int64_t residentBytes = 0;
};

ProcessFigures currentProcessFigures();

// The process's thread count once threads that were just joined are gone. The kernel still
// counts a thread for a moment after pthread_join has returned (it wakes the joiner before it
// reaps the thread), so a count read at once can be one or two too high. Reads until the count
// is `expected` or a few seconds have passed, and returns the last count read.
int threadCountOnceJoinedThreadsAreGone(int expected);

// For a baseline where the expected count is not known: the count once it has held still for
// 20 ms, so that a thread joined just before is no longer in it.
int steadyThreadCount();

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

// The GNU Objective-C runtime that the plugin links on Linux sets up class tables when it is
// loaded and never frees them; unloaded with the plugin, it would leave them behind at every
// load, where LeakSanitizer can no longer tell whose they were. On macOS the runtime is part of
// every process: keep it loaded here too, as a host process does, so that leak checks and memory
// figures are the plugin's alone.
void keepObjectiveCRuntimeLoaded();

}  // namespace testsupport
