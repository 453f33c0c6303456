// Runs the C# declarations under Mono against the built plugin module: the console sample plays
// real clips through the full call sequence, and a probe program reports what each declared
// function returned and how texts arrived.
#include "AnnexB.h"
#include "Fixtures.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testsupport::FixtureClip;

struct Transcript {
    std::vector<std::string> lines;
    int exitCode = -1;

    bool has(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    size_t count(const std::string& line) const {
        return size_t(std::count(lines.begin(), lines.end(), line));
    }
    // The text after "name: " on the first line that starts so; empty when there is none.
    std::string value(const std::string& name) const {
        const std::string prefix = name + ": ";
        for (const std::string& line : lines) {
            if (line.compare(0, prefix.size(), prefix) == 0) {
                return line.substr(prefix.size());
            }
        }
        return {};
    }
};

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

// The environment mono runs in: the plugin module findable, and in sanitizer builds the
// sanitizer runtime preloaded with its options.
std::string monoEnvironment() {
    std::string environment = "LD_LIBRARY_PATH=" + quoted(PLUGIN_MODULE_DIR);
    if (!std::string(MONO_PRELOAD).empty()) {
        environment += " LD_PRELOAD=" + quoted(MONO_PRELOAD) + " " + MONO_SANITIZER_OPTIONS;
    }
    return environment;
}

// Runs a C# program under Mono, standard error folded into standard output.
Transcript runUnderMono(const std::string& program, const std::vector<std::string>& args) {
    std::string command =
        monoEnvironment() + " " + quoted(MONO_PROGRAM) + " --debug " + quoted(program);
    for (const std::string& arg : args) {
        command += " " + quoted(arg);
    }
    command += " 2>&1";
    Transcript transcript;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return transcript;
    }
    std::string output;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    const int status = pclose(pipe);
    transcript.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) {
        transcript.lines.push_back(line);
    }
    return transcript;
}

std::string transcriptText(const Transcript& transcript) {
    std::string text;
    for (const std::string& line : transcript.lines) {
        text += line + "\n";
    }
    return text;
}

std::string textureInfo(int width, int height) {
    return "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
           ",\"format\":0,\"linear\":true,\"mipMap\":false}";
}

// The statistics text a C# program printed, checked member by member; `counts` are paths like
// "committed" or "dropped.noTexture".
void expectStatistics(const std::string& json,
                      const std::vector<std::pair<std::string, uint64_t>>& counts) {
    rapidjson::Document figures;
    figures.Parse(json.c_str());
    ASSERT_FALSE(figures.HasParseError()) << json;
    for (const auto& [path, expected] : counts) {
        const size_t dot = path.find('.');
        const rapidjson::Value* value = &figures;
        for (const std::string& name :
             dot == std::string::npos
                 ? std::vector<std::string>{path}
                 : std::vector<std::string>{path.substr(0, dot), path.substr(dot + 1)}) {
            ASSERT_TRUE(value->IsObject() && value->HasMember(name.c_str())) << path;
            value = &(*value)[name.c_str()];
        }
        ASSERT_TRUE(value->IsUint64()) << path;
        EXPECT_EQ(value->GetUint64(), expected) << path << " in " << json;
    }
}

class DecoderSample : public testing::TestWithParam<std::string> {};

TEST_P(DecoderSample, PlaysClipThroughEveryDeclaredCall) {
    const FixtureClip& clip = testsupport::fixtureClip(GetParam());
    const bool isH265 = clip.codec == testsupport::Codec::H265;
    const Transcript run = runUnderMono(DECODER_SAMPLE_EXE, {clip.path(), "200"});
    SCOPED_TRACE(transcriptText(run));

    EXPECT_EQ(run.exitCode, 0);
    const std::string units = std::to_string(clip.accessUnits);
    EXPECT_TRUE(run.has("clip " + clip.file + ": " + units + " access units"));
    EXPECT_TRUE(run.has("H264Decoder_start(200): True"));
    EXPECT_TRUE(run.has(std::string("=== H264Decoder Constructor: {\"isH265\":") +
                        (isH265 ? "true}" : "false}")));
    EXPECT_TRUE(run.has("H264Decoder_registerCallback(200): True"));
    EXPECT_EQ(run.count("texture info for decoder 200: " + textureInfo(clip.width, clip.height)),
              1u);
    EXPECT_TRUE(run.has("H264Decoder_setNativeTexturePointer(200, " + std::to_string(clip.width) +
                        "x" + std::to_string(clip.height) + "): True"));
    EXPECT_TRUE(run.has("committed " + units + " of " + units + " access units"));
    expectStatistics(run.value("statistics"), {{"committed", clip.accessUnits},
                                               {"decoded", clip.accessUnits},
                                               {"width", clip.width},
                                               {"height", clip.height},
                                               {"dropped.decodeError", 0},
                                               {"dropped.sizeMismatch", 0},
                                               {"keyframeRequests", 0}});
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "H264Decoder_stop(200)");
}

INSTANTIATE_TEST_SUITE_P(Clips, DecoderSample,
                         testing::Values("h264_cbp_320x240", "h265_main_320x240"),
                         [](const testing::TestParamInfo<std::string>& param) {
                             return param.param;
                         });

class BindingsProbe : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::vector<std::string> clips{testsupport::fixtureClip("h264_cbp_320x240").path()};
        for (const FixtureClip& clip : testsupport::fixtureClips()) {
            clips.push_back(clip.path());
        }
        probe = std::make_unique<Transcript>(runUnderMono(BINDINGS_PROBE_EXE, clips));
    }
    static void TearDownTestSuite() { probe.reset(); }

    void SetUp() override { ASSERT_EQ(probe->exitCode, 0) << transcriptText(*probe); }

    static std::unique_ptr<Transcript> probe;
};

std::unique_ptr<Transcript> BindingsProbe::probe;

TEST_F(BindingsProbe, BooleanResultsCrossAsOneByteForEveryId) {
    for (const std::string id : {"0", "255"}) {
        SCOPED_TRACE("decoder id " + id);
        const std::string prefix = "id " + id + " ";
        EXPECT_EQ(probe->value(prefix + "start"), "True");
        EXPECT_EQ(probe->value(prefix + "start again"), "False");
        EXPECT_EQ(probe->value(prefix + "register"), "True");
        EXPECT_EQ(probe->value(prefix + "register again"), "False");
        EXPECT_EQ(probe->value(prefix + "unregister"), "True");
        EXPECT_EQ(probe->value(prefix + "unregister again"), "False");
        EXPECT_EQ(probe->value(prefix + "commit"), "True");
        EXPECT_EQ(probe->value(prefix + "bind"), "True");
        EXPECT_EQ(probe->value(prefix + "unbind"), "True");
        EXPECT_EQ(probe->value(prefix + "after stop register"), "False");
        EXPECT_EQ(probe->value(prefix + "after stop commit"), "False");
    }
    EXPECT_EQ(probe->value("never started commit null"), "False");
    EXPECT_EQ(probe->value("never started unregister"), "False");
    EXPECT_EQ(probe->value("never started bind"), "False");
}

TEST_F(BindingsProbe, TextsArriveAsUtf16WithSurrogatePairsIntact) {
    EXPECT_EQ(probe->value("text start"), "True");
    // The plugin echoes the configuration as UTF-8: u-umlaut, sharp s, euro sign, and U+1F3A5,
    // which only a surrogate pair carries in UTF-16.
    EXPECT_TRUE(
        probe->has("=== H264Decoder Constructor: {\"isH265\":false,\"note\":\"gr"
                   "\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x8e\xa5\"}"));
    EXPECT_EQ(probe->value("lone surrogate start"), "False");
    EXPECT_EQ(probe->value("null start"), "False");
}

TEST_F(BindingsProbe, FrameCrossesAsArrayOffsetAndSize) {
    EXPECT_EQ(probe->value("embedded access unit texture info"), "9 " + textureInfo(320, 240));
}

// The statistics of the embedded access unit, read as a host script reads them.
TEST_F(BindingsProbe, StatisticsCrossAsTextWrittenWholeOrNotAtAll) {
    expectStatistics(probe->value("embedded access unit statistics"), {{"committed", 1},
                                                                       {"decoded", 1},
                                                                       {"dropped.noTexture", 1},
                                                                       {"width", 320},
                                                                       {"height", 240},
                                                                       {"sessions", 1}});
    EXPECT_EQ(probe->value("statistics into an exact buffer"), "True");
    EXPECT_EQ(probe->value("statistics into a buffer one short"), "False");
    EXPECT_EQ(probe->value("never started statistics"), "False");
}

TEST_F(BindingsProbe, RenderEventFunctionIsStableAndCallable) {
    EXPECT_EQ(probe->value("render event function set"), "True");
    EXPECT_EQ(probe->value("render event function stable"), "True");
    EXPECT_EQ(probe->value("render event returned"), "True");
}

// Offset in the clip of the first start code (00 00 01) of every access unit that libavcodec's
// parser cuts. Its HEVC parser leaves the zero byte of a four-byte start code with the access
// unit before, so the splits are compared at their start codes rather than at their first bytes.
std::string libavcodecAccessUnitStarts(const FixtureClip& clip) {
    std::string starts;
    size_t offset = 0;
    for (const testsupport::AccessUnit& unit : testsupport::readAccessUnits(clip)) {
        static const uint8_t kStartCode[] = {0, 0, 1};
        const auto found =
            std::search(unit.begin(), unit.end(), std::begin(kStartCode), std::end(kStartCode));
        starts += (starts.empty() ? "" : ",") + std::to_string(offset + (found - unit.begin()));
        offset += unit.size();
    }
    return starts;
}

TEST_F(BindingsProbe, SampleSplitterAgreesWithLibavcodecOnEveryClip) {
    for (const FixtureClip& clip : testsupport::fixtureClips()) {
        SCOPED_TRACE(clip.name);
        const std::string starts = probe->value("access unit starts " + clip.file);
        EXPECT_EQ(starts, libavcodecAccessUnitStarts(clip));
        EXPECT_EQ(std::count(starts.begin(), starts.end(), ',') + 1, clip.accessUnits);
        EXPECT_EQ(probe->value("access units cover " + clip.file), "True");
    }
}

}  // namespace
