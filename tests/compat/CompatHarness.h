// Driving the media framework layer as its callers do: format descriptions from a clip's
// parameter sets, samples of length-prefixed picture NAL units, and sessions whose output
// callback records every picture.
#pragma once

#include "AnnexB.h"
#include "Fixtures.h"
#include "Pictures.h"

#include <VideoToolbox/VideoToolbox.h>

#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace compattest {

using testsupport::AccessUnit;
using testsupport::Codec;
using Bytes = std::vector<uint8_t>;

// The first NAL unit of each type in the access units, cut as callers cut them: from the header
// byte to the next 0x000001, so all but the last keep the leading zero of a 4-byte start code.
std::map<int, Bytes> firstNalUnits(const std::vector<AccessUnit>& units, Codec codec);

// The picture NAL units of the access unit, each behind a big-endian length of headerLength bytes.
Bytes pictureSample(const AccessUnit& unit, Codec codec, int headerLength = 4);

// A format description of these parameter sets, in this order.
OSStatus describe(Codec codec, const std::vector<Bytes>& sets, CMFormatDescriptionRef* out,
                  int headerLength = 4);

// A format description of the first parameter sets found in the access units.
OSStatus createFormatDescription(const std::vector<AccessUnit>& units, Codec codec,
                                 CMFormatDescriptionRef* out, int headerLength = 4);

// A sample buffer over a copy of the bytes (NULL bytes: a sample without data); NULL on failure.
CMSampleBufferRef makeSampleBuffer(const Bytes* bytes, CMFormatDescriptionRef format, int64_t pts);

// A row of a status table: the call, the status it gave and the one it must give.
struct StatusRow {
    const char* call;
    OSStatus status;
    OSStatus expected;
};

void expectStatuses(std::initializer_list<StatusRow> rows);

// A committed clip, its format description and the MD5 of each of its reference pictures.
struct Clip {
    explicit Clip(const std::string& name, int lengthBytes = 4);
    Clip(const Clip&) = delete;
    ~Clip() { CFRelease(format); }
    Bytes sample(size_t index) const {
        return pictureSample(units[index], info.codec, headerLength);
    }

    const testsupport::FixtureClip& info;
    const int headerLength;
    const std::vector<AccessUnit> units;
    const std::vector<std::string> md5s;
    CMFormatDescriptionRef format = nullptr;
};

// What one call of the output callback saw.
struct Output {
    OSStatus status = 0;
    std::string md5;                   // of the packed BGRA pixels; empty without a picture
    testsupport::BgraPicture picture;  // kept only when the session keeps pictures
    const void* base = nullptr;
    size_t width = 0, height = 0, bytesPerRow = 0;
    bool opaque = false;  // every alpha byte 255
    int64_t pts = 0;
    std::thread::id thread;
};

std::vector<std::string> md5sOf(const std::vector<Output>& outputs);

// A session over a format description whose callback records every output.
class Session {
  public:
    explicit Session(CMFormatDescriptionRef format, CFDictionaryRef attributes = nullptr,
                     bool keepPictures = false);
    ~Session();

    OSStatus createStatus() const { return createStatus_; }
    VTDecompressionSessionRef get() const { return session_; }
    OSStatus decode(const Bytes& sample, int64_t pts);
    // Submits every sample of the clip (its index as pts), then waits; stops at the first failure.
    OSStatus decodeAll(const Clip& clip);
    OSStatus wait() { return VTDecompressionSessionWaitForAsynchronousFrames(session_); }
    std::vector<Output> outputs() const;
    size_t outputCount() const;

  private:
    static void onOutput(void* refCon, void*, OSStatus status, VTDecodeInfoFlags,
                         CVImageBufferRef image, CMTime pts, CMTime);

    CMFormatDescriptionRef format_;
    VTDecompressionSessionRef session_ = nullptr;
    OSStatus createStatus_;
    const bool keepPictures_;
    mutable std::mutex mutex_;
    std::vector<Output> outputs_;
};

}  // namespace compattest
