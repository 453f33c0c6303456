#include "Fixtures.h"

#include <rapidjson/document.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testsupport {

namespace {

// The entry's member of that name, which must hold a T.
template <typename T>
T require(const rapidjson::Value& entry, const char* key) {
    if (!entry.HasMember(key) || !entry[key].Is<T>()) {
        throw std::runtime_error(std::string("manifest entry lacks a valid '") + key + "'");
    }
    return entry[key].Get<T>();
}

FixtureClip clipFromJson(const rapidjson::Value& entry) {
    FixtureClip clip;
    clip.name = require<const char*>(entry, "name");
    clip.file = require<const char*>(entry, "file");
    clip.codec =
        std::string(require<const char*>(entry, "codec")) == "h265" ? Codec::H265 : Codec::H264;
    clip.width = require<int>(entry, "width");
    clip.height = require<int>(entry, "height");
    clip.frames = require<int>(entry, "frames");
    clip.accessUnits = require<int>(entry, "access_units");
    clip.referenceFrames = require<int>(entry, "reference_frames");
    return clip;
}

std::vector<FixtureClip> loadManifest() {
    const std::vector<uint8_t> bytes = readFileBytes(fixturePath("manifest.json"));
    rapidjson::Document manifest;
    manifest.Parse(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (manifest.HasParseError() || !manifest.IsObject() || !manifest.HasMember("clips") ||
        !manifest["clips"].IsArray()) {
        throw std::runtime_error("tests/fixtures/manifest.json is malformed");
    }
    std::vector<FixtureClip> clips;
    for (const auto& entry : manifest["clips"].GetArray()) {
        clips.push_back(clipFromJson(entry));
    }
    return clips;
}

}  // namespace

std::string fixturePath(const std::string& file) {
    return std::string(FIXTURE_DIR "/") + file;
}

std::string FixtureClip::path() const {
    return fixturePath(file);
}
std::string FixtureClip::referencePath() const {
    return fixturePath(name + ".ref.mkv");
}
std::string FixtureClip::frameMd5Path() const {
    return fixturePath(name + ".framemd5");
}

const std::vector<FixtureClip>& fixtureClips() {
    static const std::vector<FixtureClip> clips = loadManifest();
    return clips;
}

const FixtureClip& fixtureClip(const std::string& name) {
    for (const FixtureClip& clip : fixtureClips()) {
        if (clip.name == name) {
            return clip;
        }
    }
    throw std::runtime_error("no fixture clip named " + name);
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace testsupport
