#include "MediaObjects.h"
#include "NalUnits.h"
#include "ParameterSets.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <vector>

using compat::ByteVector;
using compat::cast;
using compat::VideoCodec;
using parametersets::SequenceInfo;

namespace {

OpaqueCMBlockBuffer* blockBufferOf(CMBlockBufferRef buffer) {
    return cast<OpaqueCMBlockBuffer>(buffer, compat::kBlockBufferType);
}

const opaqueCMFormatDescription* formatOf(CMFormatDescriptionRef description) {
    return cast<const opaqueCMFormatDescription>(description, compat::kFormatDescriptionType);
}

const opaqueCMSampleBuffer* sampleOf(CMSampleBufferRef sample) {
    return cast<const opaqueCMSampleBuffer>(sample, compat::kSampleBufferType);
}

// Where the data of a new block buffer comes from and how it goes when the buffer dies.
struct BlockSource {
    uint8_t* memory = nullptr;
    OpaqueCMBlockBuffer::BlockFreer freer;
};

BlockSource provideBlock(void* memoryBlock, size_t blockLength,
                         const CMBlockBufferCustomBlockSource* customSource) {
    BlockSource source;
    if (customSource != nullptr) {
        const CMBlockBufferCustomBlockSource custom = *customSource;
        if (memoryBlock == nullptr && custom.AllocateBlock != nullptr) {
            memoryBlock = custom.AllocateBlock(custom.refCon, blockLength);
        }
        source.memory = static_cast<uint8_t*>(memoryBlock);
        source.freer = [custom](void* block, size_t length) {
            if (custom.FreeBlock != nullptr) {
                custom.FreeBlock(custom.refCon, block, length);
            }
        };
        return source;
    }
    source.memory = static_cast<uint8_t*>(memoryBlock ? memoryBlock : std::malloc(blockLength));
    source.freer = [](void* block, size_t) { std::free(block); };
    return source;
}

// The range [offset, offset + length) of a buffer of total bytes: 0 or a block buffer error.
OSStatus checkRange(size_t total, size_t offset, size_t length) {
    if (offset > total) {
        return kCMBlockBufferBadOffsetParameterErr;
    }
    if (length > total - offset) {
        return kCMBlockBufferBadLengthParameterErr;
    }
    return kCMBlockBufferNoErr;
}

// One parameter set of a description, trailing zero bytes cut.
ByteVector parameterSet(const uint8_t* pointer, size_t size) {
    return ByteVector(pointer, pointer + parametersets::lengthWithoutTrailingZeros(pointer, size));
}

// The kinds of parameter set a codec's format description takes, by NAL unit type, and which of
// them gives the picture size.
// Trivially destructible: decode threads still running at process exit may use them after the
// destructors of function-local statics have run.
struct ParameterSetKinds {
    int (*typeOf)(uint8_t header);
    std::array<int, 3> types;  // the first `count` must each be there at least once
    size_t count;
    int sequenceType;

    const int* begin() const { return types.data(); }
    const int* end() const { return types.data() + count; }
};

bool isValidSet(VideoCodec codec, int type, const ByteVector& set) {
    if (codec == VideoCodec::H264) {
        return type == 7 ? parametersets::parseH264Sps(set.data(), set.size()).has_value()
                         : parametersets::isValidH264Pps(set.data(), set.size());
    }
    switch (type) {
        case 32:
            return parametersets::isValidHevcVps(set.data(), set.size());
        case 33:
            return parametersets::parseHevcSps(set.data(), set.size()).has_value();
        default:
            return parametersets::isValidHevcPps(set.data(), set.size());
    }
}

// Validates the sets (at least one of each kind, each valid, the kinds in their order: H.264
// SPS then PPS, HEVC VPS, SPS, PPS; the first SPS gives the size) and creates the description.
OSStatus createFormatDescription(VideoCodec codec, const ParameterSetKinds& kinds,
                                 size_t parameterSetCount, const uint8_t* const* pointers,
                                 const size_t* sizes, int nalUnitHeaderLength,
                                 CMFormatDescriptionRef* out) {
    if (out == nullptr) {
        return kCMFormatDescriptionError_InvalidParameter;
    }
    *out = nullptr;
    const bool validHeaderLength =
        nalUnitHeaderLength == 1 || nalUnitHeaderLength == 2 || nalUnitHeaderLength == 4;
    if (parameterSetCount < kinds.count || pointers == nullptr || sizes == nullptr ||
        !validHeaderLength) {
        return kCMFormatDescriptionError_InvalidParameter;
    }
    std::vector<ByteVector> sets;
    std::vector<int> missing(kinds.begin(), kinds.end());
    std::optional<SequenceInfo> info;
    size_t kindIndex = 0;
    for (size_t i = 0; i < parameterSetCount; ++i) {
        if (pointers[i] == nullptr || sizes[i] == 0) {
            return kCMFormatDescriptionError_InvalidParameter;
        }
        sets.push_back(parameterSet(pointers[i], sizes[i]));
        const ByteVector& set = sets.back();
        const int type = set.empty() ? -1 : kinds.typeOf(set[0]);
        const int* kind = std::find(kinds.begin() + kindIndex, kinds.end(), type);
        if (kind == kinds.end() || !isValidSet(codec, type, set)) {
            return kCMFormatDescriptionError_InvalidParameter;
        }
        kindIndex = size_t(kind - kinds.begin());
        missing.erase(std::remove(missing.begin(), missing.end(), type), missing.end());
        if (type == kinds.sequenceType && !info) {
            info = codec == VideoCodec::H264 ? parametersets::parseH264Sps(set.data(), set.size())
                                             : parametersets::parseHevcSps(set.data(), set.size());
        }
    }
    if (!missing.empty() || !info) {
        return kCMFormatDescriptionError_InvalidParameter;
    }
    const CMVideoDimensions dimensions{info->displayWidth, info->displayHeight};
    *out = new (std::nothrow)
        opaqueCMFormatDescription(codec, std::move(sets), nalUnitHeaderLength, dimensions);
    return *out ? OSStatus(noErr) : OSStatus(kCMFormatDescriptionError_AllocationFailed);
}

}  // namespace

std::optional<compat::PictureFormat> compat::pictureFormatOf(
    const opaqueCMFormatDescription& description) {
    const bool h264 = description.codec == VideoCodec::H264;
    for (const ByteVector& set : description.parameterSets) {
        const int type = h264 ? nalunits::h264Type(set[0]) : nalunits::hevcType(set[0]);
        if (type != (h264 ? 7 : 33)) {
            continue;
        }
        const std::optional<SequenceInfo> info =
            h264 ? parametersets::parseH264Sps(set.data(), set.size())
                 : parametersets::parseHevcSps(set.data(), set.size());
        if (!info) {
            return std::nullopt;
        }
        return PictureFormat{info->codedWidth, info->codedHeight, info->chromaFormat,
                             info->bitDepthLuma, info->bitDepthChroma};
    }
    return std::nullopt;
}

namespace {

OSStatus parameterSetAtIndex(CMFormatDescriptionRef videoDesc, VideoCodec codec, size_t index,
                             const uint8_t** pointerOut, size_t* sizeOut, size_t* countOut,
                             int* headerLengthOut) {
    const opaqueCMFormatDescription* description = formatOf(videoDesc);
    if (description == nullptr || description->codec != codec) {
        return kCMFormatDescriptionError_InvalidParameter;
    }
    if (countOut) {
        *countOut = description->parameterSets.size();
    }
    if (headerLengthOut) {
        *headerLengthOut = description->nalUnitHeaderLength;
    }
    if (pointerOut == nullptr && sizeOut == nullptr) {
        return noErr;
    }
    if (index >= description->parameterSets.size()) {
        return kCMFormatDescriptionError_InvalidParameter;
    }
    if (pointerOut) {
        *pointerOut = description->parameterSets[index].data();
    }
    if (sizeOut) {
        *sizeOut = description->parameterSets[index].size();
    }
    return noErr;
}

}  // namespace

extern "C" {

const CMTime kCMTimeInvalid = {0, 0, 0, 0};
const CMTime kCMTimeZero = {0, 1, kCMTimeFlags_Valid, 0};
const CMSampleTimingInfo kCMTimingInfoInvalid = {kCMTimeInvalid, kCMTimeInvalid, kCMTimeInvalid};

CMTime CMTimeMake(int64_t value, int32_t timescale) {
    return CMTime{value, timescale, kCMTimeFlags_Valid, 0};
}

OSStatus CMBlockBufferCreateWithMemoryBlock(CFAllocatorRef, void* memoryBlock, size_t blockLength,
                                            CFAllocatorRef,
                                            const CMBlockBufferCustomBlockSource* customBlockSource,
                                            size_t offsetToData, size_t dataLength,
                                            CMBlockBufferFlags, CMBlockBufferRef* blockBufferOut) {
    if (blockBufferOut == nullptr) {
        return kCMBlockBufferBadPointerParameterErr;
    }
    *blockBufferOut = nullptr;
    if (blockLength == 0 || dataLength == 0) {
        return kCMBlockBufferBadLengthParameterErr;
    }
    if (const OSStatus range = checkRange(blockLength, offsetToData, dataLength)) {
        return range;
    }
    if (customBlockSource != nullptr && customBlockSource->version != 0) {
        return kCMBlockBufferBadCustomBlockSourceErr;
    }
    const bool ownsMemory = memoryBlock == nullptr;
    BlockSource source = provideBlock(memoryBlock, blockLength, customBlockSource);
    if (source.memory == nullptr) {
        return kCMBlockBufferBlockAllocationFailedErr;
    }
    *blockBufferOut = new (std::nothrow)
        OpaqueCMBlockBuffer(source.memory, blockLength, offsetToData, dataLength, source.freer);
    if (*blockBufferOut == nullptr) {
        if (ownsMemory) {
            source.freer(source.memory, blockLength);
        }
        return kCMBlockBufferStructureAllocationFailedErr;
    }
    return kCMBlockBufferNoErr;
}

OSStatus CMBlockBufferGetDataPointer(CMBlockBufferRef theBuffer, size_t offset,
                                     size_t* lengthAtOffsetOut, size_t* totalLengthOut,
                                     char** dataPointerOut) {
    const OpaqueCMBlockBuffer* buffer = blockBufferOf(theBuffer);
    if (buffer == nullptr) {
        return kCMBlockBufferBadPointerParameterErr;
    }
    if (offset >= buffer->length) {
        return kCMBlockBufferBadOffsetParameterErr;
    }
    if (lengthAtOffsetOut) {
        *lengthAtOffsetOut = buffer->length - offset;
    }
    if (totalLengthOut) {
        *totalLengthOut = buffer->length;
    }
    if (dataPointerOut) {
        *dataPointerOut = reinterpret_cast<char*>(buffer->data() + offset);
    }
    return kCMBlockBufferNoErr;
}

size_t CMBlockBufferGetDataLength(CMBlockBufferRef theBuffer) {
    const OpaqueCMBlockBuffer* buffer = blockBufferOf(theBuffer);
    return buffer ? buffer->length : 0;
}

OSStatus CMBlockBufferReplaceDataBytes(const void* sourceBytes, CMBlockBufferRef destinationBuffer,
                                       size_t offsetIntoDestination, size_t dataLength) {
    const OpaqueCMBlockBuffer* buffer = blockBufferOf(destinationBuffer);
    if (buffer == nullptr || sourceBytes == nullptr) {
        return kCMBlockBufferBadPointerParameterErr;
    }
    if (const OSStatus range = checkRange(buffer->length, offsetIntoDestination, dataLength)) {
        return range;
    }
    std::memmove(buffer->data() + offsetIntoDestination, sourceBytes, dataLength);
    return kCMBlockBufferNoErr;
}

OSStatus CMBlockBufferCopyDataBytes(CMBlockBufferRef theSourceBuffer, size_t offsetToData,
                                    size_t dataLength, void* destination) {
    const OpaqueCMBlockBuffer* buffer = blockBufferOf(theSourceBuffer);
    if (buffer == nullptr || destination == nullptr) {
        return kCMBlockBufferBadPointerParameterErr;
    }
    if (const OSStatus range = checkRange(buffer->length, offsetToData, dataLength)) {
        return range;
    }
    std::memmove(destination, buffer->data() + offsetToData, dataLength);
    return kCMBlockBufferNoErr;
}

OSStatus CMVideoFormatDescriptionCreateFromH264ParameterSets(
    CFAllocatorRef, size_t parameterSetCount, const uint8_t* const* parameterSetPointers,
    const size_t* parameterSetSizes, int NALUnitHeaderLength,
    CMFormatDescriptionRef* formatDescriptionOut) {
    static constexpr ParameterSetKinds kKinds = {nalunits::h264Type, {7, 8, 0}, 2, 7};
    try {
        return createFormatDescription(VideoCodec::H264, kKinds, parameterSetCount,
                                       parameterSetPointers, parameterSetSizes, NALUnitHeaderLength,
                                       formatDescriptionOut);
    } catch (...) {
        return kCMFormatDescriptionError_AllocationFailed;  // a C caller gets a status
    }
}

OSStatus CMVideoFormatDescriptionCreateFromHEVCParameterSets(
    CFAllocatorRef, size_t parameterSetCount, const uint8_t* const* parameterSetPointers,
    const size_t* parameterSetSizes, int NALUnitHeaderLength, CFDictionaryRef,
    CMFormatDescriptionRef* formatDescriptionOut) {
    static constexpr ParameterSetKinds kKinds = {nalunits::hevcType, {32, 33, 34}, 3, 33};
    try {
        return createFormatDescription(VideoCodec::Hevc, kKinds, parameterSetCount,
                                       parameterSetPointers, parameterSetSizes, NALUnitHeaderLength,
                                       formatDescriptionOut);
    } catch (...) {
        return kCMFormatDescriptionError_AllocationFailed;
    }
}

OSStatus CMVideoFormatDescriptionGetH264ParameterSetAtIndex(CMFormatDescriptionRef videoDesc,
                                                            size_t parameterSetIndex,
                                                            const uint8_t** parameterSetPointerOut,
                                                            size_t* parameterSetSizeOut,
                                                            size_t* parameterSetCountOut,
                                                            int* NALUnitHeaderLengthOut) {
    return parameterSetAtIndex(videoDesc, VideoCodec::H264, parameterSetIndex,
                               parameterSetPointerOut, parameterSetSizeOut, parameterSetCountOut,
                               NALUnitHeaderLengthOut);
}

OSStatus CMVideoFormatDescriptionGetHEVCParameterSetAtIndex(CMFormatDescriptionRef videoDesc,
                                                            size_t parameterSetIndex,
                                                            const uint8_t** parameterSetPointerOut,
                                                            size_t* parameterSetSizeOut,
                                                            size_t* parameterSetCountOut,
                                                            int* NALUnitHeaderLengthOut) {
    return parameterSetAtIndex(videoDesc, VideoCodec::Hevc, parameterSetIndex,
                               parameterSetPointerOut, parameterSetSizeOut, parameterSetCountOut,
                               NALUnitHeaderLengthOut);
}

CMVideoDimensions CMVideoFormatDescriptionGetDimensions(CMVideoFormatDescriptionRef videoDesc) {
    const opaqueCMFormatDescription* description = formatOf(videoDesc);
    return description ? description->dimensions : CMVideoDimensions{0, 0};
}

FourCharCode CMFormatDescriptionGetMediaSubType(CMFormatDescriptionRef desc) {
    const opaqueCMFormatDescription* description = formatOf(desc);
    if (description == nullptr) {
        return 0;
    }
    return description->codec == VideoCodec::H264 ? FourCharCode(kCMVideoCodecType_H264)
                                                  : FourCharCode(kCMVideoCodecType_HEVC);
}

OSStatus CMSampleBufferCreate(CFAllocatorRef, CMBlockBufferRef dataBuffer, Boolean dataReady,
                              CMSampleBufferMakeDataReadyCallback, void*,
                              CMFormatDescriptionRef formatDescription, CMItemCount numSamples,
                              CMItemCount numSampleTimingEntries,
                              const CMSampleTimingInfo* sampleTimingArray,
                              CMItemCount numSampleSizeEntries, const size_t* sampleSizeArray,
                              CMSampleBufferRef* sampleBufferOut) {
    if (sampleBufferOut == nullptr) {
        return kCMSampleBufferError_RequiredParameterMissing;
    }
    *sampleBufferOut = nullptr;
    auto validCount = [numSamples](CMItemCount entries) {
        return entries == 0 || entries == 1 || entries == numSamples;
    };
    if (numSamples < 0 || numSampleTimingEntries < 0 || numSampleSizeEntries < 0 ||
        !validCount(numSampleTimingEntries) || !validCount(numSampleSizeEntries)) {
        return kCMSampleBufferError_InvalidEntryCount;
    }
    if ((numSampleTimingEntries > 0 && sampleTimingArray == nullptr) ||
        (numSampleSizeEntries > 0 && sampleSizeArray == nullptr)) {
        return kCMSampleBufferError_RequiredParameterMissing;
    }
    if ((dataBuffer && !blockBufferOf(dataBuffer)) ||
        (formatDescription && !formatOf(formatDescription))) {
        return kCMSampleBufferError_RequiredParameterMissing;
    }
    std::vector<CMSampleTimingInfo> timing(sampleTimingArray,
                                           sampleTimingArray + numSampleTimingEntries);
    std::vector<size_t> sizes(sampleSizeArray, sampleSizeArray + numSampleSizeEntries);
    *sampleBufferOut =
        new (std::nothrow) opaqueCMSampleBuffer(dataBuffer, formatDescription, dataReady != 0,
                                                numSamples, std::move(timing), std::move(sizes));
    return *sampleBufferOut ? OSStatus(noErr) : OSStatus(kCMSampleBufferError_AllocationFailed);
}

CMBlockBufferRef CMSampleBufferGetDataBuffer(CMSampleBufferRef sbuf) {
    const opaqueCMSampleBuffer* sample = sampleOf(sbuf);
    return sample ? sample->data : nullptr;
}

CMFormatDescriptionRef CMSampleBufferGetFormatDescription(CMSampleBufferRef sbuf) {
    const opaqueCMSampleBuffer* sample = sampleOf(sbuf);
    return sample ? sample->format : nullptr;
}

CMTime CMSampleBufferGetPresentationTimeStamp(CMSampleBufferRef sbuf) {
    const opaqueCMSampleBuffer* sample = sampleOf(sbuf);
    return sample && !sample->timing.empty() ? sample->timing[0].presentationTimeStamp
                                             : kCMTimeInvalid;
}

CMTime CMSampleBufferGetDuration(CMSampleBufferRef sbuf) {
    const opaqueCMSampleBuffer* sample = sampleOf(sbuf);
    return sample && !sample->timing.empty() ? sample->timing[0].duration : kCMTimeInvalid;
}

size_t CMSampleBufferGetTotalSampleSize(CMSampleBufferRef sbuf) {
    const opaqueCMSampleBuffer* sample = sampleOf(sbuf);
    if (sample == nullptr || sample->sizes.empty()) {
        return 0;
    }
    if (sample->sizes.size() == 1) {
        return sample->sizes[0] * size_t(sample->numSamples);
    }
    size_t total = 0;
    for (size_t size : sample->sizes) {
        total += size;
    }
    return total;
}

}  // extern "C"
