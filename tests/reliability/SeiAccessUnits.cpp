#include "SeiAccessUnits.h"

#include <array>
#include <cstdint>
#include <stdexcept>

namespace reliability {

namespace {

constexpr uint8_t kSeiNalHeader = 0x06;
constexpr uint8_t kUserDataUnregistered = 5;
constexpr uint8_t kRbspStopBit = 0x80;
constexpr std::array<uint8_t, 16> kUuid = {0x5A, 0x17, 0xC3, 0x44, 0x9E, 0x21, 0x4B, 0x6D,
                                           0xA0, 0x3F, 0x77, 0x12, 0xE8, 0x5C, 0x91, 0x0B};

bool isSlice(uint8_t nalHeader) {
    const int type = nalHeader & 0x1F;
    return type >= 1 && type <= 5;
}

// Where the start code of the first slice NAL unit begins.
size_t firstSliceStartCode(const testsupport::AccessUnit& unit) {
    for (size_t at = 0; at + 3 < unit.size(); ++at) {
        if (unit[at] == 0 && unit[at + 1] == 0 && unit[at + 2] == 1 && isSlice(unit[at + 3])) {
            return at > 0 && unit[at - 1] == 0 ? at - 1 : at;
        }
    }
    throw std::invalid_argument("access unit without a slice");
}

// payloadSize: as many 0xFF bytes as whole 255s, then the rest.
void appendPayloadSize(size_t size, std::vector<uint8_t>* out) {
    for (; size >= 255; size -= 255) {
        out->push_back(0xFF);
    }
    out->push_back(uint8_t(size));
}

std::vector<uint8_t> seiNalUnit(size_t payloadBytes) {
    std::vector<uint8_t> nal = {0, 0, 0, 1, kSeiNalHeader, kUserDataUnregistered};
    appendPayloadSize(kUuid.size() + payloadBytes, &nal);
    nal.insert(nal.end(), kUuid.begin(), kUuid.end());
    for (size_t i = 0; i < payloadBytes; ++i) {
        nal.push_back(uint8_t(1 + i % 255));
    }
    nal.push_back(kRbspStopBit);
    return nal;
}

}  // namespace

testsupport::AccessUnit withUserDataSei(const testsupport::AccessUnit& unit, size_t payloadBytes) {
    const size_t insertAt = firstSliceStartCode(unit);
    const std::vector<uint8_t> sei = seiNalUnit(payloadBytes);
    testsupport::AccessUnit result(unit.begin(), unit.begin() + std::ptrdiff_t(insertAt));
    result.insert(result.end(), sei.begin(), sei.end());
    result.insert(result.end(), unit.begin() + std::ptrdiff_t(insertAt), unit.end());
    return result;
}

}  // namespace reliability
