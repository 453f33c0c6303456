// Driving the media framework layer as its callers do: format descriptions from a clip's
// parameter sets, samples of length-prefixed picture NAL units, and sessions whose output
// callback records every picture.
#pragma once

#include "AnnexB.h"
#include "Fixtures.h"
#include "NalUnits.h"
#include "Pictures.h"

#include <VideoToolbox/VideoToolbox.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace compattest {

using testsupport::AccessUnit;
using testsupport::Codec;
using Bytes = std::vector<uint8_t>;

// Every NAL unit of the access unit, cut as callers cut them: from the header byte to the next
// 0x000001, so all but the last keep the leading zero of a 4-byte start code.
inline std::vector<std::pair<int, Bytes>> nalUnits(const AccessUnit& unit, Codec codec) {
    std::vector<std::pair<int, Bytes>> nals;
    for (const nalunits::NalUnit& nal : nalunits::findNalUnits(unit.data(), unit.size())) {
        const uint8_t* first = unit.data() + nal.first;
        nals.emplace_back(
            codec == Codec::H265 ? nalunits::hevcType(*first) : nalunits::h264Type(*first),
            Bytes(first, first + nal.length));
    }
    return nals;
}

// The first NAL unit of each type in the access units.
inline std::map<int, Bytes> firstNalUnits(const std::vector<AccessUnit>& units, Codec codec) {
    std::map<int, Bytes> first;
    for (const AccessUnit& unit : units) {
        for (auto& [type, bytes] : nalUnits(unit, codec)) {
            first.emplace(type, std::move(bytes));
        }
    }
    return first;
}

// The picture NAL units of the access unit, each behind a big-endian length of headerLength bytes.
inline Bytes pictureSample(const AccessUnit& unit, Codec codec, int headerLength = 4) {
    Bytes sample;
    for (const auto& [type, bytes] : nalUnits(unit, codec)) {
        if (nalunits::isPictureType(type, codec == Codec::H265)) {
            for (int shift = 8 * (headerLength - 1); shift >= 0; shift -= 8) {
                sample.push_back(uint8_t(bytes.size() >> shift));
            }
            sample.insert(sample.end(), bytes.begin(), bytes.end());
        }
    }
    return sample;
}

// A format description of these parameter sets, in this order.
inline OSStatus describe(Codec codec, const std::vector<Bytes>& sets, CMFormatDescriptionRef* out,
                         int headerLength = 4) {
    std::vector<const uint8_t*> pointers;
    std::vector<size_t> sizes;
    for (const Bytes& set : sets) {
        pointers.push_back(set.data());
        sizes.push_back(set.size());
    }
    if (codec == Codec::H265) {
        return CMVideoFormatDescriptionCreateFromHEVCParameterSets(
            nullptr, sets.size(), pointers.data(), sizes.data(), headerLength, nullptr, out);
    }
    return CMVideoFormatDescriptionCreateFromH264ParameterSets(
        nullptr, sets.size(), pointers.data(), sizes.data(), headerLength, out);
}

// A format description of the first parameter sets found in the access units.
inline OSStatus createFormatDescription(const std::vector<AccessUnit>& units, Codec codec,
                                        CMFormatDescriptionRef* out, int headerLength = 4) {
    std::map<int, Bytes> nals = firstNalUnits(units, codec);
    return codec == Codec::H265 ? describe(codec, {nals[32], nals[33], nals[34]}, out, headerLength)
                                : describe(codec, {nals[7], nals[8]}, out, headerLength);
}

// A sample buffer over a copy of the bytes (no bytes: a sample without data); NULL on failure.
inline CMSampleBufferRef makeSampleBuffer(const Bytes& bytes, CMFormatDescriptionRef format,
                                          int64_t pts) {
    const size_t size = bytes.size();
    CMBlockBufferRef block = nullptr;
    if (CMBlockBufferCreateWithMemoryBlock(nullptr, nullptr, size, nullptr, nullptr, 0, size, 0,
                                           &block) == noErr) {
        CMBlockBufferReplaceDataBytes(bytes.data(), block, 0, size);
    }
    const CMSampleTimingInfo timing = {CMTimeMake(1, 30), CMTimeMake(pts, 100000), kCMTimeInvalid};
    CMSampleBufferRef sample = nullptr;
    CMSampleBufferCreate(nullptr, block, true, nullptr, nullptr, format, 1, 1, &timing, 1, &size,
                         &sample);
    CFRelease(block);
    return sample;
}

// Rows of a status table: the call, the status it gave and the one it must give.
inline void expectStatuses(
    std::initializer_list<std::tuple<const char*, OSStatus, OSStatus>> rows) {
    for (const auto& [call, status, expected] : rows) {
        EXPECT_EQ(status, expected) << call;
    }
}

// A committed clip, its format description and the MD5 of each of its reference pictures.
struct Clip {
    explicit Clip(const std::string& name, int lengthBytes = 4)
        : info(testsupport::fixtureClip(name)), headerLength(lengthBytes) {
        createFormatDescription(units, info.codec, &format, headerLength);
    }
    Clip(const Clip&) = delete;
    ~Clip() { CFRelease(format); }
    Bytes sample(size_t index) const {
        return pictureSample(units[index], info.codec, headerLength);
    }

    const testsupport::FixtureClip& info;
    const int headerLength;
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(info);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(info);
    CMFormatDescriptionRef format = nullptr;
};

// What one call of the output callback saw.
struct Output {
    OSStatus status = 0;
    std::string md5;  // of the packed BGRA pixels; empty without a picture
    const void* base = nullptr;
    size_t bytesPerRow = 0;
    int64_t pts = 0;
    std::thread::id thread;
};

inline std::vector<std::string> md5sOf(const std::vector<Output>& outputs) {
    std::vector<std::string> md5s;
    for (const Output& output : outputs) {
        md5s.push_back(output.md5);
    }
    return md5s;
}

// A session over a format description whose callback records every output.
class Session {
  public:
    explicit Session(CMFormatDescriptionRef format) : format_(format) {
        VTDecompressionOutputCallbackRecord record = {&Session::onOutput, this};
        createStatus_ =
            VTDecompressionSessionCreate(nullptr, format, nullptr, nullptr, &record, &session_);
    }
    ~Session() {
        VTDecompressionSessionInvalidate(session_);
        CFRelease(session_);
    }

    OSStatus createStatus() const { return createStatus_; }
    VTDecompressionSessionRef get() const { return session_; }
    OSStatus decode(const Bytes& sample, int64_t pts) {
        CMSampleBufferRef buffer = makeSampleBuffer(sample, format_, pts);
        const OSStatus status = VTDecompressionSessionDecodeFrame(
            session_, buffer, kVTDecodeFrame_EnableAsynchronousDecompression, nullptr, nullptr);
        CFRelease(buffer);
        return status;
    }
    // Submits every sample of the clip (its index as pts), then waits; stops at the first failure.
    OSStatus decodeAll(const Clip& clip) {
        for (size_t i = 0; i < clip.units.size(); ++i) {
            if (const OSStatus status = decode(clip.sample(i), int64_t(i))) {
                return status;
            }
        }
        return wait();
    }
    OSStatus wait() { return VTDecompressionSessionWaitForAsynchronousFrames(session_); }
    std::vector<Output> outputs() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return outputs_;
    }

  private:
    static void onOutput(void* refCon, void*, OSStatus status, VTDecodeInfoFlags,
                         CVImageBufferRef image, CMTime pts, CMTime) {
        Output output{status, "", nullptr, 0, pts.value, std::this_thread::get_id()};
        if (image != nullptr && CVPixelBufferLockBaseAddress(image, 0) == kCVReturnSuccess) {
            output.base = CVPixelBufferGetBaseAddress(image);
            output.bytesPerRow = CVPixelBufferGetBytesPerRow(image);
            output.md5 = testsupport::md5Hex(testsupport::packRows(
                static_cast<const uint8_t*>(output.base), int(CVPixelBufferGetWidth(image)),
                int(CVPixelBufferGetHeight(image)), int(output.bytesPerRow)));
            CVPixelBufferUnlockBaseAddress(image, 0);
        }
        auto* session = static_cast<Session*>(refCon);
        std::lock_guard<std::mutex> lock(session->mutex_);
        session->outputs_.push_back(std::move(output));
    }

    CMFormatDescriptionRef format_;
    VTDecompressionSessionRef session_ = nullptr;
    OSStatus createStatus_;
    mutable std::mutex mutex_;
    std::vector<Output> outputs_;
};

}  // namespace compattest
