// Mesa's software renderer hands work between its threads through synchronisation that
// ThreadSanitizer cannot see in the uninstrumented driver, so it reports races that are not there.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "race:swrast_dri.so\n";
}
