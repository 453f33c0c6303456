// Drives the plugin through the host's documented call sequence: start instances, register the
// texture-info callback, commit access units paced as a live stream (or as fast as possible),
// create and bind a texture when the callback reports a size, issue a render event after every
// commit round, read the textures back to see new pictures arrive, and finally stop and unload.
#pragma once

#include "AnnexBSplitter.h"
#include "PlaybackStats.h"
#include "PluginLibrary.h"
#include "SimulatorOptions.h"

#include <string>
#include <vector>

struct StreamInput {
    std::string file;
    annexb::StreamCodec codec = annexb::StreamCodec::H264;
    double fps = 30;
    std::vector<annexb::AccessUnit> units;
};

// Reads and splits a stream file. On failure returns false with a one-line reason: a missing
// file, a file that is not Annex B, a codec the extension does not tell, or a stream that does
// not parse as the codec given.
bool loadStreamInput(const std::string& file, const SimulatorOptions& options, StreamInput* input,
                     std::string* error);

struct PlaybackResult {
    std::vector<PlaybackStats> instances;
    double uploadMsPerEvent = 0;
    std::vector<std::string> snapshots;  // PNG files written
};

// Plays the inputs (instance i plays inputs[i % inputs.size()]) through the loaded plugin. The
// caller has made the host's OpenGL context current on this thread. False with *error set when
// the plugin refuses an instance or a snapshot cannot be written.
bool runPlayback(const PluginEntryPoints& plugin, const SimulatorOptions& options,
                 const std::vector<StreamInput>& inputs, PlaybackResult* result,
                 std::string* error);
