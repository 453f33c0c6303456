// The committed test clips (tests/fixtures) and what their manifest says of them.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace testsupport {

enum class Codec { H264, H265 };

struct FixtureClip {
    std::string name;
    std::string file;
    Codec codec = Codec::H264;
    int width = 0;
    int height = 0;
    int frames = 0;
    int accessUnits = 0;
    int referenceFrames = 0;

    std::string path() const;
    std::string referencePath() const;
    std::string frameMd5Path() const;
};

// Test names and failure messages show a clip by its name.
inline void PrintTo(const FixtureClip& clip, std::ostream* out) {
    *out << clip.name;
}

// Absolute path of a file in the fixture folder.
std::string fixturePath(const std::string& file);

// Every clip of tests/fixtures/manifest.json, in manifest order. Throws on a missing or
// malformed manifest.
const std::vector<FixtureClip>& fixtureClips();

// The clip of that name; throws when the manifest has none.
const FixtureClip& fixtureClip(const std::string& name);

// The whole file as bytes; throws when it cannot be read.
std::vector<uint8_t> readFileBytes(const std::string& path);

}  // namespace testsupport
