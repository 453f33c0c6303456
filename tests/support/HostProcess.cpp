#include "HostProcess.h"

#include <dlfcn.h>

namespace testsupport {

void keepObjectiveCRuntimeLoaded() {
    // Where the runtime is not a library of its own there is nothing to keep.
    dlopen("libobjc.so.4", RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
}

}  // namespace testsupport
