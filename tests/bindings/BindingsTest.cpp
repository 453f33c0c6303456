// Runs the C# declarations under Mono against the built plugin module: the console sample plays
// real clips through the full call sequence, and a probe program checks what each declared
// function returns and how texts, arrays and buffers cross.
#include "AnnexB.h"
#include "DecoderTestSupport.h"
#include "Fixtures.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

namespace {

using testsupport::FixtureClip;

struct Transcript {
    std::string output;  // standard output and standard error, each line ending in '\n'
    int exitCode = -1;

    size_t count(const std::string& line) const {
        size_t found = 0;
        for (size_t at = output.find(line + "\n"); at != std::string::npos;
             at = output.find(line + "\n", at + 1)) {
            found += at == 0 || output[at - 1] == '\n';
        }
        return found;
    }
    // The text after "name: " on the first line that starts so; empty when there is none.
    std::string value(const std::string& name) const {
        const size_t at = output.find("\n" + name + ": ");
        return at == std::string::npos
                   ? std::string()
                   : output.substr(at + name.size() + 3,
                                   output.find('\n', at + 1) - (at + name.size() + 3));
    }
};

// Runs a C# program under Mono with the plugin module findable, and in sanitizer builds the
// sanitizer runtime preloaded with its options.
Transcript runUnderMono(const std::string& program, const std::vector<std::string>& args) {
    const auto quoted = [](const std::string& text) { return "'" + text + "'"; };
    std::string command = "LD_LIBRARY_PATH=" + quoted(PLUGIN_MODULE_DIR);
    if (!std::string(MONO_PRELOAD).empty()) {
        command += " LD_PRELOAD=" + quoted(MONO_PRELOAD) + " " + MONO_SANITIZER_OPTIONS;
    }
    command += " " + quoted(MONO_PROGRAM) + " --debug " + quoted(program);
    for (const std::string& arg : args) {
        command += " " + quoted(arg);
    }
    Transcript transcript;
    transcript.output = "\n";
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (size_t got = 0; pipe && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        transcript.output.append(buffer, got);
    }
    const int status = pipe ? pclose(pipe) : -1;
    transcript.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return transcript;
}

TEST(DecoderSample, PlaysClipsThroughEveryDeclaredCall) {
    for (const char* name : {"h264_cbp_320x240", "h265_main_320x240"}) {
        const FixtureClip& clip = testsupport::fixtureClip(name);
        const Transcript run = runUnderMono(DECODER_SAMPLE_EXE, {clip.path(), "200"});
        SCOPED_TRACE(run.output);
        EXPECT_EQ(run.exitCode, 0);
        const std::string size = std::to_string(clip.width) + "x" + std::to_string(clip.height);
        const std::string isH265 = clip.codec == testsupport::Codec::H265 ? "true" : "false";
        for (const std::string& line :
             {"=== H264Decoder Constructor: {\"isH265\":" + isH265 + "}",
              "texture info for decoder 200: " +
                  decodertest::textureInfoText(clip.width, clip.height),
              "H264Decoder_setNativeTexturePointer(200, " + size + "): True"}) {
            EXPECT_EQ(run.count(line), 1u) << line;
        }
        // One picture per unit (so no decode error), and each lands in the bound texture.
        const decodertest::Statistics figures(run.value("statistics"));
        EXPECT_EQ(figures.count("committed"), uint64_t(clip.accessUnits));
        EXPECT_EQ(figures.count("decoded"), uint64_t(clip.accessUnits));
        EXPECT_EQ(figures.dropped("sizeMismatch"), 0u);
    }
}

// The probe checks every call's result itself. Its configuration text reaches the plugin intact
// through UTF-16, surrogate pair included, and its splitter cuts every clip where libavcodec's
// parser does. That parser leaves the zero byte of a four-byte HEVC start code with the access
// unit before, so the cuts are compared at their first start code (00 00 01).
TEST(BindingsProbe, EveryDeclaredCallCrossesIntactAndTheSplitterAgreesWithLibavcodec) {
    std::vector<std::string> clips{testsupport::fixtureClip("h264_cbp_320x240").path()};
    for (const FixtureClip& clip : testsupport::fixtureClips()) {
        clips.push_back(clip.path());
    }
    const Transcript probe = runUnderMono(BINDINGS_PROBE_EXE, clips);
    ASSERT_EQ(probe.exitCode, 0) << probe.output;
    EXPECT_EQ(probe.count("=== H264Decoder Constructor: {\"isH265\":false,\"note\":\"gr"
                          "\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x8e\xa5\"}"),
              1u);
    for (const FixtureClip& clip : testsupport::fixtureClips()) {
        std::string starts;
        size_t offset = 0;
        for (const testsupport::AccessUnit& unit : testsupport::readAccessUnits(clip)) {
            static const uint8_t kStartCode[] = {0, 0, 1};
            const auto found =
                std::search(unit.begin(), unit.end(), std::begin(kStartCode), std::end(kStartCode));
            starts += (starts.empty() ? "" : ",") + std::to_string(offset + (found - unit.begin()));
            offset += unit.size();
        }
        EXPECT_EQ(probe.value("access unit starts " + clip.file), starts) << clip.name;
    }
}

}  // namespace
