// Driving the media framework layer as its callers do: format descriptions from a clip's
// parameter sets, samples of length-prefixed picture NAL units, and a decompression session
// whose output callback records every picture.
#pragma once

#include "AnnexB.h"
#include "Fixtures.h"
#include "Pictures.h"

#include <CoreFoundation/CoreFoundation.h>
#include <CoreMedia/CoreMedia.h>
#include <VideoToolbox/VideoToolbox.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace compattest {

using testsupport::AccessUnit;
using testsupport::BgraPicture;
using testsupport::Codec;
using testsupport::FixtureClip;

// One NAL unit as a caller cuts it: from its header byte to the byte before the next 0x000001,
// so every unit but the last keeps the leading zero of a following 4-byte start code.
struct NalUnit {
    int type = 0;
    std::vector<uint8_t> bytes;
};

std::vector<NalUnit> splitNalUnits(const AccessUnit& unit, Codec codec);

// The picture NAL units of the access unit, each behind a 4-byte big-endian length.
std::vector<uint8_t> pictureSample(const AccessUnit& unit, Codec codec);

// Format description from the first parameter sets found in the access units (header length 4).
OSStatus createFormatDescription(const std::vector<AccessUnit>& units, Codec codec,
                                 CMFormatDescriptionRef* out);

// A sample buffer over a copy of the bytes (NULL bytes: a sample without data).
CMSampleBufferRef makeSampleBuffer(const std::vector<uint8_t>* bytes, CMFormatDescriptionRef format,
                                   int64_t pts);

// What one call of the output callback saw.
struct Output {
    OSStatus status = 0;
    bool hasImage = false;
    std::string md5;      // of the packed BGRA pixels
    BgraPicture picture;  // kept only when the session keeps pictures
    const void* base = nullptr;
    size_t width = 0;
    size_t height = 0;
    size_t bytesPerRow = 0;
    OSType pixelFormat = 0;
    size_t extended[4] = {1, 1, 1, 1};
    bool opaque = false;  // every alpha byte 255
    int64_t pts = 0;
    std::thread::id thread;
};

// A session over a format description whose callback records every output.
class Session {
  public:
    explicit Session(CMFormatDescriptionRef format, CFDictionaryRef attributes = nullptr,
                     bool keepPictures = true);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    OSStatus createStatus() const { return createStatus_; }
    VTDecompressionSessionRef get() const { return session_; }
    OSStatus decode(const std::vector<uint8_t>& sample, int64_t pts);
    OSStatus wait() { return VTDecompressionSessionWaitForAsynchronousFrames(session_); }
    std::vector<Output> outputs() const;
    size_t outputCount() const;

  private:
    static void onOutput(void* refCon, void* frameRefCon, OSStatus status, VTDecodeInfoFlags flags,
                         CVImageBufferRef image, CMTime pts, CMTime duration);

    CMFormatDescriptionRef format_;
    VTDecompressionSessionRef session_ = nullptr;
    OSStatus createStatus_ = 0;
    const bool keepPictures_;
    mutable std::mutex mutex_;
    std::vector<Output> outputs_;
};

// The destination attributes a caller passes: BGRA, not OpenGL compatible, and the four
// decoder specification / session keys with value true.
CFDictionaryRef makeDestinationAttributes();

}  // namespace compattest
