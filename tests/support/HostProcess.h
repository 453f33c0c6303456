// What a host process keeps loaded for its whole life, whatever plugins come and go.
#pragma once

namespace testsupport {

// The GNU Objective-C runtime that the plugin links on Linux sets up class tables when it is
// loaded and never frees them; unloaded with the plugin, it would leave them behind at every
// load, where LeakSanitizer can no longer tell whose they were. On macOS the runtime is part of
// every process: keep it loaded here too, so that leak checks and memory figures are the
// plugin's alone.
void keepObjectiveCRuntimeLoaded();

}  // namespace testsupport
