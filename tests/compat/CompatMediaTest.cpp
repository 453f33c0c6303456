// Block buffers, sample buffers and format descriptions: what callers rely on, and the error
// codes for what they must not pass.
#include "CompatHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace compattest {
namespace {

// Counts what a custom block source frees.
struct FreeCounter {
    int frees = 0;
    size_t lastSize = 0;
};

void countFree(void* refCon, void* block, size_t size) {
    auto* counter = static_cast<FreeCounter*>(refCon);
    ++counter->frees;
    counter->lastSize = size;
    std::free(block);
}

TEST(CompatBlockBuffer, TakesTheCallersBlockAndFreesItWithTheBuffer) {
    const size_t length = 64;
    auto* memory = static_cast<uint8_t*>(std::malloc(length));
    for (size_t i = 0; i < length; ++i) {
        memory[i] = uint8_t(i);
    }
    CMBlockBufferRef buffer = nullptr;
    ASSERT_EQ(
        CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, memory, length, kCFAllocatorDefault,
                                           nullptr, 0, length, 0, &buffer),
        kCMBlockBufferNoErr);
    char* data = nullptr;
    size_t atOffset = 0;
    size_t total = 0;
    ASSERT_EQ(CMBlockBufferGetDataPointer(buffer, 0, &atOffset, &total, &data), noErr);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(data), memory) << "no copy";
    EXPECT_EQ(total, length);
    EXPECT_EQ(CMBlockBufferGetDataLength(buffer), length);
    const uint32_t lengthField = 0x01020304;
    ASSERT_EQ(CMBlockBufferReplaceDataBytes(&lengthField, buffer, 8, 4), noErr);
    EXPECT_EQ(std::memcmp(memory + 8, &lengthField, 4), 0);
    CFRelease(buffer);  // frees the block: LeakSanitizer reports it otherwise
}

TEST(CompatBlockBuffer, CustomSourceFreesOnceWhenTheLastReferenceGoes) {
    FreeCounter counter;
    CMBlockBufferCustomBlockSource source = {0, nullptr, countFree, &counter};
    CMBlockBufferRef buffer = nullptr;
    ASSERT_EQ(CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, std::malloc(32), 32,
                                                 kCFAllocatorDefault, &source, 0, 32, 0, &buffer),
              noErr);
    CFRetain(buffer);
    CFRelease(buffer);
    EXPECT_EQ(counter.frees, 0);
    CFRelease(buffer);
    EXPECT_EQ(counter.frees, 1);
    EXPECT_EQ(counter.lastSize, 32u);
}

TEST(CompatBlockBuffer, OwnMemoryTakesContiguousCopiesAtOffsets) {
    CMBlockBufferRef buffer = nullptr;
    ASSERT_EQ(CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, nullptr, 10,
                                                 kCFAllocatorDefault, nullptr, 0, 10, 0, &buffer),
              noErr);
    const char first[] = "abcd";
    const char second[] = "efghij";
    ASSERT_EQ(CMBlockBufferReplaceDataBytes(first, buffer, 0, 4), noErr);
    ASSERT_EQ(CMBlockBufferReplaceDataBytes(second, buffer, 4, 6), noErr);
    char* data = nullptr;
    size_t atOffset = 0;
    ASSERT_EQ(CMBlockBufferGetDataPointer(buffer, 3, &atOffset, nullptr, &data), noErr);
    EXPECT_EQ(atOffset, 7u);
    EXPECT_EQ(std::string(data, 7), "defghij");
    char copy[10];
    ASSERT_EQ(CMBlockBufferCopyDataBytes(buffer, 0, 10, copy), noErr);
    EXPECT_EQ(std::string(copy, 10), "abcdefghij");
    CFRelease(buffer);
}

TEST(CompatBlockBuffer, BadArgumentsGiveBlockBufferErrors) {
    CMBlockBufferRef buffer = nullptr;
    EXPECT_EQ(CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, nullptr, 0,
                                                 kCFAllocatorDefault, nullptr, 0, 0, 0, &buffer),
              kCMBlockBufferBadLengthParameterErr);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, nullptr, 8,
                                                 kCFAllocatorDefault, nullptr, 0, 9, 0, &buffer),
              kCMBlockBufferBadLengthParameterErr);
    EXPECT_EQ(CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, nullptr, 8,
                                                 kCFAllocatorDefault, nullptr, 9, 1, 0, &buffer),
              kCMBlockBufferBadOffsetParameterErr);
    EXPECT_EQ(CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, nullptr, 8,
                                                 kCFAllocatorDefault, nullptr, 0, 8, 0, nullptr),
              kCMBlockBufferBadPointerParameterErr);
    EXPECT_EQ(
        CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, nullptr, 8, kCFAllocatorDefault,
                                           nullptr, 4, SIZE_MAX, 0, &buffer),
        kCMBlockBufferBadLengthParameterErr)
        << "offset + length wraps around";

    ASSERT_EQ(CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, nullptr, 8,
                                                 kCFAllocatorDefault, nullptr, 0, 8, 0, &buffer),
              noErr);
    const uint8_t bytes[16] = {};
    EXPECT_EQ(CMBlockBufferReplaceDataBytes(bytes, buffer, 4, 5),
              kCMBlockBufferBadLengthParameterErr);
    EXPECT_EQ(CMBlockBufferReplaceDataBytes(bytes, buffer, 9, 0),
              kCMBlockBufferBadOffsetParameterErr);
    EXPECT_EQ(CMBlockBufferReplaceDataBytes(nullptr, buffer, 0, 1),
              kCMBlockBufferBadPointerParameterErr);
    EXPECT_EQ(CMBlockBufferReplaceDataBytes(bytes, nullptr, 0, 1),
              kCMBlockBufferBadPointerParameterErr);
    char* data = nullptr;
    EXPECT_EQ(CMBlockBufferGetDataPointer(buffer, 8, nullptr, nullptr, &data),
              kCMBlockBufferBadOffsetParameterErr);
    EXPECT_EQ(CMBlockBufferGetDataPointer(nullptr, 0, nullptr, nullptr, &data),
              kCMBlockBufferBadPointerParameterErr);
    EXPECT_EQ(CMBlockBufferGetDataLength(nullptr), 0u);
    CFRelease(buffer);
}

TEST(CompatSampleBuffer, KeepsItsBlockBufferAliveAndItsTiming) {
    CMBlockBufferRef block = nullptr;
    ASSERT_EQ(CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, nullptr, 16,
                                                 kCFAllocatorDefault, nullptr, 0, 16, 0, &block),
              noErr);
    const CMSampleTimingInfo timing = {CMTimeMake(1, 30), CMTimeMake(123456, 100000),
                                       kCMTimeInvalid};
    const size_t size = 16;
    CMSampleBufferRef sample = nullptr;
    ASSERT_EQ(CMSampleBufferCreate(kCFAllocatorDefault, block, true, nullptr, nullptr, nullptr, 1,
                                   1, &timing, 1, &size, &sample),
              noErr);
    EXPECT_EQ(CFGetRetainCount(block), 2);
    CFRelease(block);
    EXPECT_EQ(CMSampleBufferGetDataBuffer(sample), block);
    EXPECT_EQ(CMBlockBufferGetDataLength(CMSampleBufferGetDataBuffer(sample)), 16u);
    EXPECT_EQ(CMSampleBufferGetFormatDescription(sample), nullptr);
    EXPECT_EQ(CMSampleBufferGetNumSamples(sample), 1);
    EXPECT_EQ(CMSampleBufferGetTotalSampleSize(sample), 16u);
    const CMTime pts = CMSampleBufferGetPresentationTimeStamp(sample);
    EXPECT_EQ(pts.value, 123456);
    EXPECT_EQ(pts.timescale, 100000);
    EXPECT_EQ(pts.flags, uint32_t(kCMTimeFlags_Valid));
    EXPECT_EQ(kCMTimeInvalid.flags & kCMTimeFlags_Valid, 0u);
    CFRelease(sample);
}

TEST(CompatSampleBuffer, BadEntryCountsAndMissingArraysAreRefused) {
    const CMSampleTimingInfo timing = {CMTimeMake(1, 30), CMTimeMake(0, 1), kCMTimeInvalid};
    const size_t sizes[2] = {1, 1};
    CMSampleBufferRef sample = nullptr;
    EXPECT_EQ(CMSampleBufferCreate(kCFAllocatorDefault, nullptr, true, nullptr, nullptr, nullptr, 3,
                                   2, &timing, 1, sizes, &sample),
              kCMSampleBufferError_InvalidEntryCount);
    EXPECT_EQ(CMSampleBufferCreate(kCFAllocatorDefault, nullptr, true, nullptr, nullptr, nullptr, 1,
                                   1, nullptr, 1, sizes, &sample),
              kCMSampleBufferError_RequiredParameterMissing);
    EXPECT_EQ(CMSampleBufferCreate(kCFAllocatorDefault, nullptr, true, nullptr, nullptr, nullptr,
                                   -1, 0, nullptr, 0, nullptr, &sample),
              kCMSampleBufferError_InvalidEntryCount);
    EXPECT_EQ(CMSampleBufferCreate(kCFAllocatorDefault, nullptr, true, nullptr, nullptr, nullptr, 1,
                                   1, &timing, 1, sizes, nullptr),
              kCMSampleBufferError_RequiredParameterMissing);
    EXPECT_EQ(sample, nullptr);
}

// The first parameter sets of a clip, as a caller cuts them (one trailing zero each but the last).
struct ParameterSets {
    std::vector<uint8_t> vps, sps, pps;
};

ParameterSets firstParameterSets(const char* clipName) {
    const FixtureClip& clip = testsupport::fixtureClip(clipName);
    const bool hevc = clip.codec == Codec::H265;
    ParameterSets sets;
    for (const NalUnit& nal :
         splitNalUnits(testsupport::readAccessUnits(clip).front(), clip.codec)) {
        if (nal.type == (hevc ? 32 : -1)) {
            sets.vps = nal.bytes;
        } else if (nal.type == (hevc ? 33 : 7)) {
            sets.sps = nal.bytes;
        } else if (nal.type == (hevc ? 34 : 8)) {
            sets.pps = nal.bytes;
        }
    }
    return sets;
}

OSStatus describeH264(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps,
                      int headerLength = 4, size_t count = 2) {
    const uint8_t* pointers[] = {sps.data(), pps.data()};
    const size_t sizes[] = {sps.size(), pps.size()};
    CMFormatDescriptionRef format = nullptr;
    const OSStatus status = CMVideoFormatDescriptionCreateFromH264ParameterSets(
        kCFAllocatorDefault, count, pointers, sizes, headerLength, &format);
    EXPECT_EQ(status == noErr, format != nullptr) << "a description exactly on success";
    if (format) {
        CFRelease(format);
    }
    return status;
}

OSStatus describeHevc(const std::vector<uint8_t>& vps, const std::vector<uint8_t>& sps,
                      const std::vector<uint8_t>& pps, int headerLength = 4, size_t count = 3) {
    const uint8_t* pointers[] = {vps.data(), sps.data(), pps.data()};
    const size_t sizes[] = {vps.size(), sps.size(), pps.size()};
    CMFormatDescriptionRef format = nullptr;
    const OSStatus status = CMVideoFormatDescriptionCreateFromHEVCParameterSets(
        kCFAllocatorDefault, count, pointers, sizes, headerLength, nullptr, &format);
    EXPECT_EQ(status == noErr, format != nullptr) << "a description exactly on success";
    if (format) {
        CFRelease(format);
    }
    return status;
}

std::vector<uint8_t> truncated(std::vector<uint8_t> bytes, size_t keep) {
    bytes.resize(keep);
    return bytes;
}

TEST(CompatFormatDescription, H264ParameterSetsAreValidated) {
    const ParameterSets sets = firstParameterSets("h264_cbp_320x240");
    ASSERT_FALSE(sets.sps.empty());
    ASSERT_FALSE(sets.pps.empty());
    EXPECT_EQ(sets.sps.back(), 0) << "the caller's cut leaves a trailing zero";
    EXPECT_EQ(describeH264(sets.sps, sets.pps), noErr);
    std::vector<uint8_t> padded = sets.sps;
    padded.insert(padded.end(), 5, 0);
    EXPECT_EQ(describeH264(padded, sets.pps), noErr) << "trailing zero bytes";

    const OSStatus invalid = kCMFormatDescriptionError_InvalidParameter;
    EXPECT_EQ(describeH264(sets.pps, sets.sps), invalid) << "swapped NAL types";
    EXPECT_EQ(describeH264(sets.sps, sets.sps), invalid) << "SPS in the PPS slot";
    for (size_t keep : {size_t(1), size_t(4), sets.sps.size() / 2, sets.sps.size() - 3}) {
        EXPECT_EQ(describeH264(truncated(sets.sps, keep), sets.pps), invalid) << "kept " << keep;
    }
    EXPECT_EQ(describeH264(sets.sps, truncated(sets.pps, 1)), invalid);
    const std::vector<uint8_t> garbage(40, 0xff);
    EXPECT_EQ(describeH264(garbage, sets.pps), invalid);
    std::vector<uint8_t> forbidden = sets.sps;
    forbidden[0] |= 0x80;
    EXPECT_EQ(describeH264(forbidden, sets.pps), invalid) << "forbidden_zero_bit set";
    for (int headerLength : {0, 3, 5, -4}) {
        EXPECT_EQ(describeH264(sets.sps, sets.pps, headerLength), invalid) << headerLength;
    }
    EXPECT_EQ(describeH264(sets.sps, sets.pps, 4, 1), invalid) << "no PPS";
    EXPECT_EQ(describeH264(sets.sps, sets.pps, 2), noErr);
}

TEST(CompatFormatDescription, HevcParameterSetsAreValidated) {
    const ParameterSets sets = firstParameterSets("h265_main_320x240");
    ASSERT_FALSE(sets.vps.empty());
    EXPECT_EQ(describeHevc(sets.vps, sets.sps, sets.pps), noErr);
    const OSStatus invalid = kCMFormatDescriptionError_InvalidParameter;
    EXPECT_EQ(describeHevc(sets.sps, sets.vps, sets.pps), invalid) << "swapped VPS and SPS";
    EXPECT_EQ(describeHevc(sets.vps, sets.pps, sets.pps), invalid);
    EXPECT_EQ(describeHevc(sets.vps, sets.sps, sets.sps), invalid);
    for (size_t keep : {size_t(2), size_t(6), size_t(16), size_t(22)}) {
        EXPECT_EQ(describeHevc(sets.vps, truncated(sets.sps, keep), sets.pps), invalid)
            << "kept " << keep;
    }
    EXPECT_EQ(describeHevc(truncated(sets.vps, 4), sets.sps, sets.pps), invalid);
    EXPECT_EQ(describeHevc(sets.vps, sets.sps, sets.pps, 4, 2), invalid);
    EXPECT_EQ(describeHevc(sets.vps, sets.sps, sets.pps, 3), invalid);
    std::vector<uint8_t> otherLayer = sets.sps;
    otherLayer[1] |= 0x08;
    EXPECT_EQ(describeHevc(sets.vps, otherLayer, sets.pps), invalid) << "nuh_layer_id 1";
}

TEST(CompatFormatDescription, NullArgumentsGiveErrorsAndNoDescription) {
    const ParameterSets sets = firstParameterSets("h264_cbp_320x240");
    const uint8_t* pointers[] = {sets.sps.data(), nullptr};
    const size_t sizes[] = {sets.sps.size(), sets.pps.size()};
    CMFormatDescriptionRef format = nullptr;
    EXPECT_EQ(CMVideoFormatDescriptionCreateFromH264ParameterSets(kCFAllocatorDefault, 2, pointers,
                                                                  sizes, 4, &format),
              kCMFormatDescriptionError_InvalidParameter);
    EXPECT_EQ(format, nullptr);
    EXPECT_EQ(CMVideoFormatDescriptionCreateFromH264ParameterSets(kCFAllocatorDefault, 2, nullptr,
                                                                  sizes, 4, &format),
              kCMFormatDescriptionError_InvalidParameter);
    pointers[1] = sets.pps.data();
    const size_t emptySizes[] = {sets.sps.size(), 0};
    EXPECT_EQ(CMVideoFormatDescriptionCreateFromH264ParameterSets(kCFAllocatorDefault, 2, pointers,
                                                                  emptySizes, 4, &format),
              kCMFormatDescriptionError_InvalidParameter);
    EXPECT_EQ(CMVideoFormatDescriptionCreateFromH264ParameterSets(kCFAllocatorDefault, 2, pointers,
                                                                  sizes, 4, nullptr),
              kCMFormatDescriptionError_InvalidParameter);
    const CMVideoDimensions none = CMVideoFormatDescriptionGetDimensions(nullptr);
    EXPECT_EQ(none.width, 0);
    EXPECT_EQ(none.height, 0);
}

// Writes an H.264 SPS bit by bit, so a test can choose fields that real clips lack.
class SpsWriter {
  public:
    void bits(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            bits_.push_back((value >> i) & 1);
        }
    }
    void ue(uint32_t value) {
        const uint64_t code = uint64_t(value) + 1;
        int length = 0;
        while ((code >> length) > 1) {
            ++length;
        }
        bits(0, length);
        bits(uint32_t(code), length + 1);
    }
    // The NAL unit: header, payload with trailing bits, emulation prevention inserted.
    std::vector<uint8_t> nal() {
        bits(1, 1);
        while (bits_.size() % 8 != 0) {
            bits_.push_back(0);
        }
        std::vector<uint8_t> out = {0x67};
        int zeros = 0;
        for (size_t i = 0; i < bits_.size(); i += 8) {
            uint8_t byte = 0;
            for (size_t b = 0; b < 8; ++b) {
                byte = uint8_t(byte << 1 | bits_[i + b]);
            }
            if (zeros >= 2 && byte <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            out.push_back(byte);
            zeros = byte == 0 ? zeros + 1 : 0;
        }
        return out;
    }

  private:
    std::vector<int> bits_;
};

// Baseline SPS of widthMbs x heightMbs macroblocks with frame cropping and a VUI whose sample
// aspect ratio 0:0 puts four zero bytes into the RBSP.
std::vector<uint8_t> croppedSps(uint32_t widthMbs, uint32_t heightMbs, uint32_t cropRight,
                                uint32_t cropBottom) {
    SpsWriter writer;
    writer.bits(66, 8);  // profile_idc: Baseline
    writer.bits(0xc0, 8);
    writer.bits(30, 8);
    writer.ue(0);  // seq_parameter_set_id
    writer.ue(0);  // log2_max_frame_num_minus4
    writer.ue(2);  // pic_order_cnt_type
    writer.ue(1);  // max_num_ref_frames
    writer.bits(0, 1);
    writer.ue(widthMbs - 1);
    writer.ue(heightMbs - 1);
    writer.bits(1, 1);  // frame_mbs_only_flag
    writer.bits(1, 1);  // direct_8x8_inference_flag
    writer.bits(1, 1);  // frame_cropping_flag
    writer.ue(0);
    writer.ue(cropRight);
    writer.ue(0);
    writer.ue(cropBottom);
    writer.bits(1, 1);    // vui_parameters_present_flag
    writer.bits(1, 1);    // aspect_ratio_info_present_flag
    writer.bits(255, 8);  // Extended_SAR
    writer.bits(0, 32);   // sar_width, sar_height
    writer.bits(0, 8);    // no further VUI parts
    return writer.nal();
}

TEST(CompatFormatDescription, SpsWithEmulationPreventionAndCroppingGivesTheDisplaySize) {
    const ParameterSets sets = firstParameterSets("h264_cbp_320x240");
    const std::vector<uint8_t> sps = croppedSps(120, 68, 0, 4);  // 1920x1088 coded, 8 rows cropped
    int escapes = 0;
    for (size_t i = 2; i < sps.size(); ++i) {
        escapes += sps[i - 2] == 0 && sps[i - 1] == 0 && sps[i] == 3;
    }
    ASSERT_GT(escapes, 0) << "the SPS must exercise emulation prevention";
    const uint8_t* pointers[] = {sps.data(), sets.pps.data()};
    const size_t sizes[] = {sps.size(), sets.pps.size()};
    CMFormatDescriptionRef format = nullptr;
    ASSERT_EQ(CMVideoFormatDescriptionCreateFromH264ParameterSets(kCFAllocatorDefault, 2, pointers,
                                                                  sizes, 4, &format),
              noErr);
    const CMVideoDimensions size = CMVideoFormatDescriptionGetDimensions(format);
    EXPECT_EQ(size.width, 1920);
    EXPECT_EQ(size.height, 1080);
    const uint8_t* stored = nullptr;
    size_t storedSize = 0;
    size_t count = 0;
    int headerLength = 0;
    ASSERT_EQ(CMVideoFormatDescriptionGetH264ParameterSetAtIndex(format, 0, &stored, &storedSize,
                                                                 &count, &headerLength),
              noErr);
    EXPECT_EQ(std::vector<uint8_t>(stored, stored + storedSize), sps);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(headerLength, 4);
    CFRelease(format);

    EXPECT_EQ(describeH264(croppedSps(2, 2, 16, 0), sets.pps),
              kCMFormatDescriptionError_InvalidParameter)
        << "cropping wider than the picture";
}

}  // namespace
}  // namespace compattest
