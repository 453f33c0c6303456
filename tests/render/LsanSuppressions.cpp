// libobjc registers its classes at load time into tables it never frees, which LeakSanitizer would
// report as leaks of every test program that loads the GNU Objective-C runtime.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libobjc.so\n";
}
