#include "Fixtures.h"

#include <rapidjson/document.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testsupport {

namespace {

std::string requireString(const rapidjson::Value& entry, const char* key) {
    if (!entry.HasMember(key) || !entry[key].IsString()) {
        throw std::runtime_error(std::string("manifest entry lacks string '") + key + "'");
    }
    return entry[key].GetString();
}

int requireInt(const rapidjson::Value& entry, const char* key) {
    if (!entry.HasMember(key) || !entry[key].IsInt()) {
        throw std::runtime_error(std::string("manifest entry lacks integer '") + key + "'");
    }
    return entry[key].GetInt();
}

FixtureClip clipFromJson(const rapidjson::Value& entry) {
    FixtureClip clip;
    clip.name = requireString(entry, "name");
    clip.file = requireString(entry, "file");
    clip.codec = requireString(entry, "codec") == "h265" ? Codec::H265 : Codec::H264;
    clip.width = requireInt(entry, "width");
    clip.height = requireInt(entry, "height");
    clip.frames = requireInt(entry, "frames");
    clip.accessUnits = requireInt(entry, "access_units");
    clip.matrix = requireString(entry, "matrix");
    clip.referenceFrames = requireInt(entry, "reference_frames");
    clip.description = requireString(entry, "description");
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
