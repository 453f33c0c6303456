// The host simulator: loads the built plugin as the host engine does and plays Annex B streams
// through it into OpenGL textures of a headless context, then prints what happened.
#include "EglContext.h"
#include "Playback.h"
#include "PluginLibrary.h"
#include "SimulatedHostInterfaces.h"
#include "SimulatorOptions.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace {

int failWith(const std::string& message) {
    std::fprintf(stderr, "host_simulator: %s\n", message.c_str());
    return 1;
}

bool loadInputs(const SimulatorOptions& options, std::vector<StreamInput>* inputs,
                std::string* error) {
    for (const std::string& file : options.files) {
        StreamInput input;
        if (!loadStreamInput(file, options, &input, error)) {
            return false;
        }
        inputs->push_back(std::move(input));
    }
    return true;
}

int play(const SimulatorOptions& options) {
    std::string error;
    std::vector<StreamInput> inputs;
    if (!loadInputs(options, &inputs, &error)) {
        return failWith(error);
    }
    std::error_code created;
    std::filesystem::create_directories(options.outDir, created);
    if (created) {
        return failWith("cannot create " + options.outDir + ": " + created.message());
    }
    std::unique_ptr<headlessgl::EglContext> context =
        headlessgl::EglContext::create(options.renderer, &error);
    if (!context) {
        return failWith("no headless OpenGL context: " + error);
    }
    std::unique_ptr<PluginLibrary> library = PluginLibrary::open(options.pluginPath, &error);
    if (!library) {
        return failWith(error);
    }
    const PluginEntryPoints& plugin = library->api();
    SimulatedHostInterfaces host(options.renderer);
    plugin.UnityPluginLoad(host.interfaces());

    PlaybackResult result;
    const bool played = runPlayback(plugin, options, inputs, &result, &error);

    host.sendDeviceEvent(kUnityGfxDeviceEventShutdown);
    plugin.UnityPluginUnload();
    if (!played) {
        return failWith(error);
    }
    std::printf("\n%s", formatStatsTable(result.instances, result.uploadMsPerEvent).c_str());
    std::printf("%zu snapshot(s) in %s/\n", result.snapshots.size(), options.outDir.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::optional<SimulatorOptions> options = parseSimulatorOptions(
        std::vector<std::string>(argv + 1, argv + argc), SAMPLE_CLIP, PLUGIN_PATH, &error);
    if (!options) {
        return failWith(error + " (see --help)");
    }
    if (options->help) {
        std::printf("%s", simulatorUsage().c_str());
        return 0;
    }
    try {
        return play(*options);
    } catch (const std::exception& failure) {
        return failWith(failure.what());
    }
}
