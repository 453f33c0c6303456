#include "SimulatorOptions.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool parseNumber(const std::string& text, double minimum, double maximum, double* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(parsed >= minimum && parsed <= maximum)) {
        return false;
    }
    *value = parsed;
    return true;
}

bool parseInteger(const std::string& text, int minimum, int maximum, int* value) {
    double parsed = 0;
    if (!parseNumber(text, minimum, maximum, &parsed) || parsed != double(int(parsed))) {
        return false;
    }
    *value = int(parsed);
    return true;
}

bool parseRenderer(const std::string& text, UnityGfxRenderer* renderer) {
    if (text == "core") {
        *renderer = kUnityGfxRendererOpenGLCore;
    } else if (text == "gles3") {
        *renderer = kUnityGfxRendererOpenGLES30;
    } else if (text == "gles2") {
        *renderer = kUnityGfxRendererOpenGLES20;
    } else {
        return false;
    }
    return true;
}

bool parseCodec(const std::string& text, annexb::StreamCodec* codec) {
    if (text == "h264") {
        *codec = annexb::StreamCodec::H264;
    } else if (text == "h265") {
        *codec = annexb::StreamCodec::H265;
    } else {
        return false;
    }
    return true;
}

// Applies one option that takes a value; false with *error set when the value is bad.
bool applyValueOption(const std::string& name, const std::string& value, SimulatorOptions* options,
                      std::string* error) {
    bool valid = false;
    if (name == "--fps") {
        valid = parseNumber(value, 0.001, 1000, &options->fps);
    } else if (name == "--render-hz") {
        valid = parseNumber(value, 1, 1000, &options->renderHz);
    } else if (name == "--instances") {
        valid = parseInteger(value, 1, 256, &options->instances);
    } else if (name == "--snapshot-every") {
        valid = parseInteger(value, 1, 1 << 30, &options->snapshotEvery);
    } else if (name == "--drop-every") {
        valid = parseInteger(value, 2, 1 << 30, &options->dropEvery);
    } else if (name == "--renderer") {
        valid = parseRenderer(value, &options->renderer);
    } else if (name == "--codec") {
        annexb::StreamCodec codec = annexb::StreamCodec::H264;
        valid = parseCodec(value, &codec);
        options->codec = codec;
    } else if (name == "--out") {
        valid = !value.empty();
        options->outDir = value;
    } else if (name == "--plugin") {
        valid = !value.empty();
        options->pluginPath = value;
    }
    if (!valid) {
        *error = "invalid value '" + value + "' for " + name;
    }
    return valid;
}

bool takesValue(const std::string& name) {
    return name == "--fps" || name == "--render-hz" || name == "--instances" ||
           name == "--snapshot-every" || name == "--drop-every" || name == "--renderer" ||
           name == "--codec" || name == "--out" || name == "--plugin";
}

}  // namespace

std::optional<SimulatorOptions> parseSimulatorOptions(const std::vector<std::string>& arguments,
                                                      const std::string& defaultFile,
                                                      const std::string& defaultPlugin,
                                                      std::string* error) {
    SimulatorOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--fast") {
            options.fast = true;
        } else if (takesValue(argument)) {
            if (i + 1 == arguments.size()) {
                *error = argument + " needs a value";
                return std::nullopt;
            }
            if (!applyValueOption(argument, arguments[++i], &options, error)) {
                return std::nullopt;
            }
        } else if (argument.rfind("-", 0) == 0) {
            *error = "unknown option " + argument;
            return std::nullopt;
        } else {
            options.files.push_back(argument);
        }
    }
    if (options.fast && options.fps > 0) {
        *error = "--fast and --fps exclude each other";
        return std::nullopt;
    }
    if (options.files.empty()) {
        options.files.push_back(defaultFile);
    }
    if (options.pluginPath.empty()) {
        options.pluginPath = defaultPlugin;
    }
    return options;
}

std::string simulatorUsage() {
    return "usage: host_simulator [options] [FILE...]\n"
           "Plays Annex B H.264/H.265 files through the plugin as the host engine does.\n"
           "  FILE                 stream for instance i is FILE[i % count]; default: the sample "
           "clip\n"
           "  --codec h264|h265    codec of every file (default: from the file extension)\n"
           "  --fps N              pace commits as a live stream at N frames per second\n"
           "                       (default: the stream's own rate, else 30)\n"
           "  --fast               commit as fast as possible\n"
           "  --render-hz N        render events per second on the host's render thread, which\n"
           "                       runs on its own clock beside the commits (default 60)\n"
           "  --instances N        decoder instances at once, 1 to 256 (default 1)\n"
           "  --renderer core|gles3|gles2   host renderer (default core: OpenGL Core)\n"
           "  --snapshot-every N   write every Nth picture as PNG (the last one always)\n"
           "  --drop-every N       leave out every Nth access unit (N >= 2), as a lossy network\n"
           "                       does: the decoder waits for the next keyframe and asks for it\n"
           "  --out DIR            folder for the PNG snapshots (default out)\n"
           "  --plugin PATH        plugin library to load (default: the built one)\n";
}
