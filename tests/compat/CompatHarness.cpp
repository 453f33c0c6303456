#include "CompatHarness.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace compattest {

namespace {

bool isPicture(int type, Codec codec) {
    return codec == Codec::H265 ? type <= 31 : type >= 1 && type <= 5;
}

// Parameter set slot of a NAL type: 0 VPS, 1 SPS, 2 PPS; -1 for anything else.
int parameterSetSlot(int type, Codec codec) {
    if (codec == Codec::H265) {
        return type >= 32 && type <= 34 ? type - 32 : -1;
    }
    return type == 7 ? 1 : type == 8 ? 2 : -1;
}

}  // namespace

std::vector<NalUnit> splitNalUnits(const AccessUnit& unit, Codec codec) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 < unit.size(); ++i) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
            starts.push_back(i + 3);
        }
    }
    std::vector<NalUnit> units;
    for (size_t n = 0; n < starts.size(); ++n) {
        const size_t end = n + 1 < starts.size() ? starts[n + 1] - 3 : unit.size();
        const uint8_t header = unit[starts[n]];
        NalUnit nal;
        nal.type = codec == Codec::H265 ? (header >> 1) & 0x3f : header & 0x1f;
        nal.bytes.assign(unit.begin() + long(starts[n]), unit.begin() + long(end));
        units.push_back(std::move(nal));
    }
    return units;
}

std::vector<uint8_t> pictureSample(const AccessUnit& unit, Codec codec) {
    std::vector<uint8_t> sample;
    for (const NalUnit& nal : splitNalUnits(unit, codec)) {
        if (!isPicture(nal.type, codec)) {
            continue;
        }
        const uint32_t length = uint32_t(nal.bytes.size());
        for (int shift = 24; shift >= 0; shift -= 8) {
            sample.push_back(uint8_t(length >> shift));
        }
        sample.insert(sample.end(), nal.bytes.begin(), nal.bytes.end());
    }
    return sample;
}

OSStatus createFormatDescription(const std::vector<AccessUnit>& units, Codec codec,
                                 CMFormatDescriptionRef* out) {
    std::vector<uint8_t> sets[3];
    for (const AccessUnit& unit : units) {
        for (const NalUnit& nal : splitNalUnits(unit, codec)) {
            const int slot = parameterSetSlot(nal.type, codec);
            if (slot >= 0 && sets[slot].empty()) {
                sets[slot] = nal.bytes;
            }
        }
    }
    const int first = codec == Codec::H265 ? 0 : 1;
    std::vector<const uint8_t*> pointers;
    std::vector<size_t> sizes;
    for (int slot = first; slot < 3; ++slot) {
        pointers.push_back(sets[slot].data());
        sizes.push_back(sets[slot].size());
    }
    if (codec == Codec::H265) {
        return CMVideoFormatDescriptionCreateFromHEVCParameterSets(
            kCFAllocatorDefault, 3, pointers.data(), sizes.data(), 4, nullptr, out);
    }
    return CMVideoFormatDescriptionCreateFromH264ParameterSets(
        kCFAllocatorDefault, 2, pointers.data(), sizes.data(), 4, out);
}

CMSampleBufferRef makeSampleBuffer(const std::vector<uint8_t>* bytes, CMFormatDescriptionRef format,
                                   int64_t pts) {
    CMBlockBufferRef block = nullptr;
    size_t size = 0;
    if (bytes != nullptr) {
        size = bytes->size();
        void* memory = std::malloc(size);
        std::memcpy(memory, bytes->data(), size);
        if (CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, memory, size,
                                               kCFAllocatorDefault, nullptr, 0, size, 0,
                                               &block) != noErr) {
            std::free(memory);
            throw std::runtime_error("cannot create a block buffer");
        }
    }
    CMSampleTimingInfo timing = {CMTimeMake(1, 30), CMTimeMake(pts, 100000), kCMTimeInvalid};
    CMSampleBufferRef sample = nullptr;
    const OSStatus status = CMSampleBufferCreate(kCFAllocatorDefault, block, true, nullptr, nullptr,
                                                 format, 1, 1, &timing, 1, &size, &sample);
    if (block != nullptr) {
        CFRelease(block);
    }
    if (status != noErr) {
        throw std::runtime_error("cannot create a sample buffer");
    }
    return sample;
}

Session::Session(CMFormatDescriptionRef format, CFDictionaryRef attributes, bool keepPictures)
    : format_(format), keepPictures_(keepPictures) {
    VTDecompressionOutputCallbackRecord record = {&Session::onOutput, this};
    createStatus_ = VTDecompressionSessionCreate(kCFAllocatorDefault, format, nullptr, attributes,
                                                 &record, &session_);
}

Session::~Session() {
    if (session_ != nullptr) {
        VTDecompressionSessionInvalidate(session_);
        CFRelease(session_);
    }
}

OSStatus Session::decode(const std::vector<uint8_t>& sample, int64_t pts) {
    CMSampleBufferRef buffer = makeSampleBuffer(&sample, format_, pts);
    VTDecodeInfoFlags info = 0;
    const OSStatus status = VTDecompressionSessionDecodeFrame(
        session_, buffer, kVTDecodeFrame_EnableAsynchronousDecompression, nullptr, &info);
    CFRelease(buffer);
    return status;
}

std::vector<Output> Session::outputs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_;
}

size_t Session::outputCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_.size();
}

void Session::onOutput(void* refCon, void*, OSStatus status, VTDecodeInfoFlags,
                       CVImageBufferRef image, CMTime pts, CMTime) {
    Output output;
    output.status = status;
    output.hasImage = image != nullptr;
    output.pts = pts.value;
    output.thread = std::this_thread::get_id();
    if (image != nullptr && CVPixelBufferLockBaseAddress(image, 0) == kCVReturnSuccess) {
        output.base = CVPixelBufferGetBaseAddress(image);
        output.width = CVPixelBufferGetWidth(image);
        output.height = CVPixelBufferGetHeight(image);
        output.bytesPerRow = CVPixelBufferGetBytesPerRow(image);
        output.pixelFormat = CVPixelBufferGetPixelFormatType(image);
        CVPixelBufferGetExtendedPixels(image, &output.extended[0], &output.extended[1],
                                       &output.extended[2], &output.extended[3]);
        output.picture =
            testsupport::packRows(static_cast<const uint8_t*>(CVPixelBufferGetBaseAddress(image)),
                                  int(output.width), int(output.height), int(output.bytesPerRow));
        output.opaque = true;
        for (size_t i = 3; i < output.picture.pixels.size(); i += 4) {
            output.opaque = output.opaque && output.picture.pixels[i] == 255;
        }
        CVPixelBufferUnlockBaseAddress(image, 0);
        output.md5 = testsupport::md5Hex(output.picture);
    }
    auto* session = static_cast<Session*>(refCon);
    if (!session->keepPictures_) {
        output.picture = BgraPicture();
    }
    std::lock_guard<std::mutex> lock(session->mutex_);
    session->outputs_.push_back(std::move(output));
}

CFDictionaryRef makeDestinationAttributes() {
    const int32_t bgra = kCVPixelFormatType_32BGRA;
    CFNumberRef format = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &bgra);
    const void* keys[] = {kCVPixelBufferOpenGLCompatibilityKey,
                          kCVPixelBufferPixelFormatTypeKey,
                          kVTDecompressionPropertyKey_ContentHasInterframeDependencies,
                          kVTDecompressionPropertyKey_RealTime,
                          kVTVideoDecoderSpecification_RequireHardwareAcceleratedVideoDecoder,
                          kVTVideoDecoderSpecification_EnableHardwareAcceleratedVideoDecoder};
    const void* values[] = {kCFBooleanFalse, format,         kCFBooleanTrue,
                            kCFBooleanTrue,  kCFBooleanTrue, kCFBooleanTrue};
    CFDictionaryRef attributes =
        CFDictionaryCreate(kCFAllocatorDefault, keys, values, 6, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    CFRelease(format);
    return attributes;
}

}  // namespace compattest
