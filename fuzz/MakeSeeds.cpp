// Writes starting inputs for the fuzz targets, made from the committed clips and typical host
// texts, into OUTPUT/<target>/: the fuzzer then begins from real streams rather than from
// nothing. Usage: fuzz_make_seeds OUTPUT
#include "AnnexB.h"
#include "FuzzInput.h"
#include "NalUnits.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testsupport::Codec;

constexpr size_t kAccessUnitsPerSeed = 4;
// Larger clips decode too slowly for a fuzzer to get anywhere with them.
constexpr int kMaxSeedPixels = 640 * 480;
constexpr uint8_t kOptionH265 = 1;

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream stream(path, std::ios::binary);
    stream.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!stream) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// The option byte, then the pieces; refuses pieces that would not split back as they are.
Bytes seedOf(uint8_t option, const std::vector<Bytes>& pieces) {
    const Bytes joined = fuzzinput::joinPieces(pieces);
    if (fuzzinput::splitPieces(joined.data(), joined.size()).size() != pieces.size()) {
        throw std::runtime_error("a piece contains the separator");
    }
    Bytes seed{option};
    seed.insert(seed.end(), joined.begin(), joined.end());
    return seed;
}

// The parameter sets of an access unit in the order the format description takes them, start
// codes removed.
std::vector<Bytes> parameterSets(const Bytes& accessUnit, Codec codec) {
    const bool h265 = codec == Codec::H265;
    const std::vector<int> order = h265 ? std::vector<int>{32, 33, 34} : std::vector<int>{7, 8};
    const std::vector<nalunits::NalUnit> units =
        nalunits::findNalUnits(accessUnit.data(), accessUnit.size());
    std::vector<Bytes> sets;
    for (const int type : order) {
        for (const nalunits::NalUnit& unit : units) {
            const uint8_t header = accessUnit[unit.first];
            if ((h265 ? nalunits::hevcType(header) : nalunits::h264Type(header)) == type) {
                const auto first = accessUnit.begin() + ptrdiff_t(unit.first);
                sets.emplace_back(first, first + ptrdiff_t(unit.length));
                break;
            }
        }
    }
    if (sets.size() != order.size()) {
        throw std::runtime_error("the first access unit lacks a parameter set");
    }
    return sets;
}

void writeClipSeeds(const testsupport::FixtureClip& clip, const fs::path& output) {
    const std::vector<Bytes> accessUnits = testsupport::readAccessUnits(clip);
    const uint8_t option = clip.codec == Codec::H265 ? kOptionH265 : 0;
    const std::vector<Bytes> firstUnits(
        accessUnits.begin(),
        accessUnits.begin() + ptrdiff_t(std::min(kAccessUnitsPerSeed, accessUnits.size())));
    writeFile(output / "annexb" / (clip.name + ".bin"), seedOf(option, firstUnits));
    writeFile(output / "parameter_sets" / (clip.name + ".bin"),
              seedOf(option, parameterSets(accessUnits.front(), clip.codec)));
}

Bytes utf16LittleEndian(const std::u16string& text) {
    Bytes bytes;
    for (const char16_t unit : text) {
        bytes.push_back(uint8_t(unit & 0xff));
        bytes.push_back(uint8_t(unit >> 8));
    }
    return bytes;
}

// A configuration and a texture description, as a host sends them, and some that it should not.
void writeTextSeeds(const fs::path& output) {
    using namespace std::string_literals;  // keeps the 0 unit between the two texts
    const std::u16string texts[] = {
        u"{\"isH265\":false,\"videoDelayTimeInMs\":0}"s,
        u"{\"isH265\":true,\"videoDelayTimeInMs\":100}\0{\"width\":320,\"height\":240,"
        u"\"mipMap\":false,\"format\":0}"s,
        u"{\"isH265\":true}\0{\"width\":1920,\"height\":1080,\"mipMap\":true,\"format\":2}"s,
        u"{\"name\":\"\U0001F3A5\",\"videoDelayTimeInMs\":-1}\0{\"width\":16,\"height\":16}"s,
        u"[1,2,{\"a\":[true,null]}]\0{\"width\":4294967296,\"height\":1e3,\"format\":-1}"s,
    };
    int index = 0;
    for (const std::u16string& text : texts) {
        writeFile(output / "exported_text" / ("texts" + std::to_string(index++) + ".bin"),
                  utf16LittleEndian(text));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    try {
        const fs::path output(argv[1]);
        for (const char* target : {"annexb", "parameter_sets", "exported_text"}) {
            fs::create_directories(output / target);
        }
        for (const testsupport::FixtureClip& clip : testsupport::fixtureClips()) {
            if (clip.width * clip.height <= kMaxSeedPixels) {
                writeClipSeeds(clip, output);
            }
        }
        writeTextSeeds(output);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
