// Arbitrary parameter sets into a format description of the platform layer. Input: one option
// byte (bit 0 set: H.265; bits 1 and 2 choose the NAL unit header length, one of them invalid),
// then the parameter sets in order, separated as FuzzInput.h describes; how many there are is
// up to the input. A description that is created must answer for its size and its sets.
#include "FuzzCheck.h"
#include "FuzzInput.h"

#include <CoreMedia/CoreMedia.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using fuzzcheck::require;

constexpr int kHeaderLengths[] = {4, 1, 2, 3};
constexpr int32_t kMaxPictureSide = 16384;

using ParameterSets = std::vector<std::vector<uint8_t>>;

OSStatus createDescription(bool h265, const ParameterSets& sets, int headerLength,
                           CMFormatDescriptionRef* description) {
    std::vector<const uint8_t*> pointers;
    std::vector<size_t> sizes;
    for (const std::vector<uint8_t>& set : sets) {
        pointers.push_back(set.data());
        sizes.push_back(set.size());
    }
    if (h265) {
        return CMVideoFormatDescriptionCreateFromHEVCParameterSets(
            kCFAllocatorDefault, sets.size(), pointers.data(), sizes.data(), headerLength, nullptr,
            description);
    }
    return CMVideoFormatDescriptionCreateFromH264ParameterSets(
        kCFAllocatorDefault, sets.size(), pointers.data(), sizes.data(), headerLength, description);
}

OSStatus parameterSetAt(bool h265, CMFormatDescriptionRef description, size_t index,
                        const uint8_t** set, size_t* size, size_t* count, int* headerLength) {
    return h265 ? CMVideoFormatDescriptionGetHEVCParameterSetAtIndex(description, index, set, size,
                                                                     count, headerLength)
                : CMVideoFormatDescriptionGetH264ParameterSetAtIndex(description, index, set, size,
                                                                     count, headerLength);
}

// A set kept by the description is the one passed in, less zero bytes at its end.
bool keptAsPassed(const uint8_t* kept, size_t keptSize, const std::vector<uint8_t>& passed) {
    return keptSize > 0 && keptSize <= passed.size() &&
           std::equal(kept, kept + keptSize, passed.begin()) &&
           std::all_of(passed.begin() + ptrdiff_t(keptSize), passed.end(),
                       [](uint8_t byte) { return byte == 0; });
}

void checkDescription(bool h265, CMFormatDescriptionRef description, const ParameterSets& sets,
                      int headerLength) {
    const CMVideoDimensions size = CMVideoFormatDescriptionGetDimensions(description);
    require(size.width > 0 && size.width <= kMaxPictureSide, "a display width in range");
    require(size.height > 0 && size.height <= kMaxPictureSide, "a display height in range");
    const FourCharCode codec = h265 ? kCMVideoCodecType_HEVC : kCMVideoCodecType_H264;
    require(CMFormatDescriptionGetMediaSubType(description) == codec, "the codec passed in");
    for (size_t i = 0; i < sets.size(); ++i) {
        const uint8_t* kept = nullptr;
        size_t keptSize = 0;
        size_t count = 0;
        int keptHeaderLength = 0;
        require(parameterSetAt(h265, description, i, &kept, &keptSize, &count, &keptHeaderLength) ==
                    noErr,
                "every set passed in can be read back");
        require(count == sets.size() && keptHeaderLength == headerLength,
                "the count and header length passed in");
        require(keptAsPassed(kept, keptSize, sets[i]), "the bytes passed in");
    }
    const uint8_t* beyond = nullptr;
    size_t beyondSize = 0;
    require(parameterSetAt(h265, description, sets.size(), &beyond, &beyondSize, nullptr,
                           nullptr) != noErr,
            "no set beyond those passed in");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool h265 = (data[0] & 1) != 0;
    const int headerLength = kHeaderLengths[(data[0] >> 1) & 3];
    const ParameterSets sets = fuzzinput::copyPieces(data + 1, size - 1);
    CMFormatDescriptionRef description = nullptr;
    const OSStatus status = createDescription(h265, sets, headerLength, &description);
    require((status == noErr) == (description != nullptr), "a description exactly on success");
    if (description != nullptr) {
        checkDescription(h265, description, sets, headerLength);
        CFRelease(description);
    }
    return 0;
}
