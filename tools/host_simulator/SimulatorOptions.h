// The host simulator's command line.
#pragma once

#include "AnnexBSplitter.h"
#include "IUnityGraphics.h"

#include <optional>
#include <string>
#include <vector>

struct SimulatorOptions {
    std::vector<std::string> files;            // instance i plays files[i % files.size()]
    std::optional<annexb::StreamCodec> codec;  // from the file extension when absent
    double fps = 0;                            // 0: the stream's own rate
    bool fast = false;
    double renderHz = 60;  // the host's render thread, on its own clock
    int instances = 1;
    UnityGfxRenderer renderer = kUnityGfxRendererOpenGLCore;
    int snapshotEvery = 0;  // 0: only the last picture
    int dropEvery = 0;      // 0: every access unit is committed
    std::string outDir = "out";
    std::string pluginPath;
    bool help = false;
};

// Parses argv (without the program name). On a bad argument returns nothing and sets *error to a
// one-line explanation. Files and plugin path left empty take the given defaults.
std::optional<SimulatorOptions> parseSimulatorOptions(const std::vector<std::string>& arguments,
                                                      const std::string& defaultFile,
                                                      const std::string& defaultPlugin,
                                                      std::string* error);

// The text --help prints.
std::string simulatorUsage();
