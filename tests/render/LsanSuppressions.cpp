// Linked into test programs that load the GNU Objective-C runtime: libobjc registers its own
// classes at load time into tables it never frees, which LeakSanitizer would report as leaks of
// every such program.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libobjc.so\n";
}
