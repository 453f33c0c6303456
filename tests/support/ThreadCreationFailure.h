// Out-of-threads injection for a whole test program: linking this replaces pthread_create (the
// one std::thread uses too) with one that can be told to refuse a creation with EAGAIN. A
// program that links it should hold only the tests that need it.
#pragma once

namespace testsupport {

// From now on creation number `n` (0: the next one), in any thread, fails; the others work.
void failThreadCreation(long n);

// Every creation works again; whether the injected failure happened stays readable.
void allowThreadCreation();

// Whether the creation named by the last failThreadCreation() has failed.
bool threadCreationFailed();

}  // namespace testsupport
