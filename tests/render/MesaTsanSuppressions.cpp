// Linked into test programs that draw with Mesa's software renderer: its worker threads hand
// work over through synchronisation that ThreadSanitizer cannot see in the uninstrumented driver,
// so it reports races between the driver's own threads that are not there.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "race:swrast_dri.so\n";
}
