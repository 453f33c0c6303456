// The CoreMedia and CoreVideo objects behind their opaque references, shared by the files that
// create and consume them.
#pragma once

#include "Object.h"

#include <CoreMedia/CoreMedia.h>
#include <CoreVideo/CoreVideo.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace compat {

enum class VideoCodec { H264, Hevc };

using ByteVector = std::vector<uint8_t>;

}  // namespace compat

struct OpaqueCMBlockBuffer : compat::Object {
    // Frees the memory block when the buffer dies.
    using BlockFreer = std::function<void(void* block, size_t length)>;

    OpaqueCMBlockBuffer(uint8_t* memory, size_t memoryLength, size_t dataOffset, size_t dataLength,
                        BlockFreer freer)
        : Object(compat::kBlockBufferType, false),
          block(memory),
          blockLength(memoryLength),
          offset(dataOffset),
          length(dataLength),
          freeBlock(std::move(freer)) {}
    ~OpaqueCMBlockBuffer() override { freeBlock(block, blockLength); }

    uint8_t* data() const { return block + offset; }

    uint8_t* const block;
    const size_t blockLength;
    const size_t offset;
    const size_t length;
    const BlockFreer freeBlock;
};

struct opaqueCMFormatDescription : compat::Object {
    opaqueCMFormatDescription(compat::VideoCodec videoCodec,
                              std::vector<compat::ByteVector> parameterSetList, int headerLength,
                              CMVideoDimensions displaySize)
        : Object(compat::kFormatDescriptionType, false),
          codec(videoCodec),
          parameterSets(std::move(parameterSetList)),
          nalUnitHeaderLength(headerLength),
          dimensions(displaySize) {}

    const compat::VideoCodec codec;
    // In the order of creation (H.264: SPS, PPS; HEVC: VPS, SPS, PPS), trailing zero bytes cut.
    const std::vector<compat::ByteVector> parameterSets;
    const int nalUnitHeaderLength;
    const CMVideoDimensions dimensions;
};

struct opaqueCMSampleBuffer : compat::Object {
    opaqueCMSampleBuffer(CMBlockBufferRef dataBuffer, CMFormatDescriptionRef formatDescription,
                         bool ready, CMItemCount count, std::vector<CMSampleTimingInfo> timingInfo,
                         std::vector<size_t> sampleSizes)
        : Object(compat::kSampleBufferType, false),
          data(dataBuffer),
          format(formatDescription),
          dataReady(ready),
          numSamples(count),
          timing(std::move(timingInfo)),
          sizes(std::move(sampleSizes)) {
        compat::retainObject(data);
        compat::retainObject(format);
    }
    ~opaqueCMSampleBuffer() override {
        compat::releaseObject(data);
        compat::releaseObject(format);
    }

    const CMBlockBufferRef data;
    const CMFormatDescriptionRef format;
    const bool dataReady;
    const CMItemCount numSamples;
    const std::vector<CMSampleTimingInfo> timing;
    const std::vector<size_t> sizes;
};

struct __CVBuffer : compat::Object {
    // Hands the memory back to whoever provided it when the buffer dies.
    using MemoryRecycler = std::function<void(uint8_t* base)>;

    __CVBuffer(uint8_t* memory, size_t pixelWidth, size_t pixelHeight, size_t rowBytes,
               OSType pixelFormat, MemoryRecycler recycler)
        : Object(compat::kPixelBufferType, false),
          base(memory),
          width(pixelWidth),
          height(pixelHeight),
          bytesPerRow(rowBytes),
          format(pixelFormat),
          recycle(std::move(recycler)) {}
    ~__CVBuffer() override { recycle(base); }

    uint8_t* const base;
    const size_t width;
    const size_t height;
    const size_t bytesPerRow;
    const OSType format;
    const MemoryRecycler recycle;
    std::atomic<int> lockCount{0};
    std::atomic<CVPixelBufferLockFlags> lockFlags{0};
};

namespace compat {

// What a description's first SPS says of its pictures; a decoder of one takes the pictures of
// another in band when they are equal.
struct PictureFormat {
    int codedWidth = 0;
    int codedHeight = 0;
    int chromaFormat = 0;
    int bitDepthLuma = 0;
    int bitDepthChroma = 0;

    bool operator==(const PictureFormat& other) const {
        return codedWidth == other.codedWidth && codedHeight == other.codedHeight &&
               chromaFormat == other.chromaFormat && bitDepthLuma == other.bitDepthLuma &&
               bitDepthChroma == other.bitDepthChroma;
    }
};
std::optional<PictureFormat> pictureFormatOf(const opaqueCMFormatDescription& description);

// CoreVideo's row padding: bytes per row rounded up to a multiple of 64.
constexpr size_t kRowAlignment = 64;
inline size_t alignedBytesPerRow(size_t width, size_t bytesPerPixel) {
    return (width * bytesPerPixel + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
}

}  // namespace compat
