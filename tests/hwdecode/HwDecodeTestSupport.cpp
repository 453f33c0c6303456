#include "HwDecodeTestSupport.h"

#include <gtest/gtest.h>

namespace hwdecodetest {

void RecordingDelegate::copyRenderBuffer(void* buffer, int32_t format, int32_t width,
                                         int32_t height, int32_t bytesPerRow, int32_t extraLeft,
                                         int32_t extraRight, int32_t extraTop,
                                         int32_t extraBottom) {
    DeliveredPicture picture{
        format, width, height, bytesPerRow, extraLeft + extraRight + extraTop + extraBottom,
        {},     {}};
    testsupport::BgraPicture packed =
        testsupport::packRows(static_cast<const uint8_t*>(buffer), width, height, bytesPerRow);
    picture.md5 = testsupport::md5Hex(packed);
    std::lock_guard<std::mutex> lock(mutex_);
    if (pictures_.size() < keepPixels_) {
        picture.pixels = std::move(packed);
    }
    pictures_.push_back(std::move(picture));
}

void RecordingDelegate::forwardTextureInfo(int32_t width, int32_t height) {
    std::lock_guard<std::mutex> lock(mutex_);
    sizeReports_.push_back({width, height, accessUnit_});
}

std::vector<DeliveredPicture> RecordingDelegate::pictures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pictures_;
}

std::vector<std::string> RecordingDelegate::md5s() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> md5s;
    for (const DeliveredPicture& picture : pictures_) {
        md5s.push_back(picture.md5);
    }
    return md5s;
}

std::vector<SizeReport> RecordingDelegate::sizeReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sizeReports_;
}

Platform& platform() {
    // Outlives the session registry, whose destruction at exit still calls the wrapped functions.
    static Platform* const instance = new Platform;
    return *instance;
}

size_t liveSessions() {
    std::lock_guard<std::mutex> lock(platform().mutex);
    return platform().liveSessions.size();
}

size_t createdSessions() {
    std::lock_guard<std::mutex> lock(platform().mutex);
    return platform().createdSessions;
}

std::vector<Sample> takeSamples() {
    std::lock_guard<std::mutex> lock(platform().mutex);
    return std::move(platform().samples);
}

std::vector<Lock> takeLocks() {
    std::lock_guard<std::mutex> lock(platform().mutex);
    return std::move(platform().locks);
}

std::string freshKey() {
    static std::atomic<unsigned> next{1};
    return std::to_string(next++);
}

std::shared_ptr<H264HwDecoderImpl> freshHandler(std::shared_ptr<RecordingDelegate> delegate,
                                                bool h265) {
    auto handler = H264HwDecoderImpl::sharedHandler(freshKey());
    handler->setDelegate(std::move(delegate));
    handler->SetH265(h265);
    return handler;
}

std::vector<Bytes> splitNalUnits(const Bytes& accessUnit) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= accessUnit.size(); ++i) {
        if (accessUnit[i] == 0 && accessUnit[i + 1] == 0 && accessUnit[i + 2] == 1) {
            starts.push_back(i + 3);
        }
    }
    std::vector<Bytes> units;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : accessUnit.size();
        while (end > starts[k] && accessUnit[end - 1] == 0) {
            --end;
        }
        units.emplace_back(accessUnit.begin() + std::ptrdiff_t(starts[k]),
                           accessUnit.begin() + std::ptrdiff_t(end));
    }
    return units;
}

int nalType(const Bytes& nal, bool h265) {
    return h265 ? (nal.at(0) >> 1) & 0x3F : nal.at(0) & 0x1F;
}

Bytes joinAnnexB(const std::vector<Bytes>& units, size_t startCodeLength) {
    Bytes joined;
    for (const Bytes& unit : units) {
        joined.insert(joined.end(), startCodeLength - 1, 0x00);
        joined.push_back(0x01);
        joined.insert(joined.end(), unit.begin(), unit.end());
    }
    return joined;
}

Bytes firstOfType(const Bytes& accessUnit, int type, bool h265) {
    for (const Bytes& unit : splitNalUnits(accessUnit)) {
        if (nalType(unit, h265) == type) {
            return unit;
        }
    }
    ADD_FAILURE() << "no NAL unit of type " << type;
    return {};
}

void feedClip(H264HwDecoderImpl& handler, RecordingDelegate& delegate,
              const std::vector<AccessUnit>& units) {
    for (size_t i = 0; i < units.size(); ++i) {
        delegate.setAccessUnit(int(i));
        handler.DecodeNALUs(units[i].data(), int32_t(units[i].size()), 3000.0 * double(i));
    }
}

}  // namespace hwdecodetest

using hwdecodetest::platform;

extern "C" {

OSStatus __real_VTDecompressionSessionCreate(CFAllocatorRef, CMVideoFormatDescriptionRef,
                                             CFDictionaryRef, CFDictionaryRef,
                                             const VTDecompressionOutputCallbackRecord*,
                                             VTDecompressionSessionRef*);
OSStatus __real_VTDecompressionSessionDecodeFrame(VTDecompressionSessionRef, CMSampleBufferRef,
                                                  VTDecodeFrameFlags, void*, VTDecodeInfoFlags*);
void __real_CFRelease(CFTypeRef);
OSStatus __real_CMBlockBufferCreateWithMemoryBlock(CFAllocatorRef, void*, size_t, CFAllocatorRef,
                                                   const CMBlockBufferCustomBlockSource*, size_t,
                                                   size_t, CMBlockBufferFlags, CMBlockBufferRef*);
OSStatus __real_CMBlockBufferGetDataPointer(CMBlockBufferRef, size_t, size_t*, size_t*, char**);
OSStatus __real_CMSampleBufferCreate(CFAllocatorRef, CMBlockBufferRef, Boolean,
                                     CMSampleBufferMakeDataReadyCallback, void*,
                                     CMFormatDescriptionRef, CMItemCount, CMItemCount,
                                     const CMSampleTimingInfo*, CMItemCount, const size_t*,
                                     CMSampleBufferRef*);
CVReturn __real_CVPixelBufferLockBaseAddress(CVPixelBufferRef, CVPixelBufferLockFlags);
CVReturn __real_CVPixelBufferUnlockBaseAddress(CVPixelBufferRef, CVPixelBufferLockFlags);

OSStatus __wrap_VTDecompressionSessionCreate(CFAllocatorRef allocator,
                                             CMVideoFormatDescriptionRef format,
                                             CFDictionaryRef specification,
                                             CFDictionaryRef attributes,
                                             const VTDecompressionOutputCallbackRecord* callback,
                                             VTDecompressionSessionRef* sessionOut) {
    const OSStatus result = __real_VTDecompressionSessionCreate(allocator, format, specification,
                                                                attributes, callback, sessionOut);
    std::lock_guard<std::mutex> lock(platform().mutex);
    platform().lastAskedForHardware =
        CFDictionaryGetValue(specification,
                             kVTVideoDecoderSpecification_EnableHardwareAcceleratedVideoDecoder) ==
        kCFBooleanTrue;
    platform().lastRequiredHardware =
        CFDictionaryGetValue(specification,
                             kVTVideoDecoderSpecification_RequireHardwareAcceleratedVideoDecoder) ==
        kCFBooleanTrue;
    const void* pixelFormat = CFDictionaryGetValue(attributes, kCVPixelBufferPixelFormatTypeKey);
    platform().lastPixelFormat = 0;
    if (pixelFormat != nullptr) {
        CFNumberGetValue(CFNumberRef(pixelFormat), kCFNumberSInt32Type,
                         &platform().lastPixelFormat);
    }
    if (result == noErr) {
        platform().liveSessions.insert(*sessionOut);
        platform().lastSession = *sessionOut;
        ++platform().createdSessions;
    }
    return result;
}

// A session leaves the census with the release that destroys it.
void __wrap_CFRelease(CFTypeRef cf) {
    if (cf != nullptr) {
        std::lock_guard<std::mutex> lock(platform().mutex);
        const auto found = platform().liveSessions.find(cf);
        if (found != platform().liveSessions.end() && CFGetRetainCount(cf) == 1) {
            platform().liveSessions.erase(found);
        }
    }
    __real_CFRelease(cf);
}

OSStatus __wrap_VTDecompressionSessionDecodeFrame(VTDecompressionSessionRef session,
                                                  CMSampleBufferRef sampleBuffer,
                                                  VTDecodeFrameFlags flags, void* frameRefCon,
                                                  VTDecodeInfoFlags* infoFlagsOut) {
    if (const OSStatus injected = platform().nextDecodeStatus.exchange(noErr)) {
        return injected;
    }
    if (!platform().recordSamplesInsteadOfDecoding) {
        return __real_VTDecompressionSessionDecodeFrame(session, sampleBuffer, flags, frameRefCon,
                                                        infoFlagsOut);
    }
    hwdecodetest::Sample sample;
    CMBlockBufferRef data = CMSampleBufferGetDataBuffer(sampleBuffer);
    sample.data.resize(CMBlockBufferGetDataLength(data));
    CMBlockBufferCopyDataBytes(data, 0, sample.data.size(), sample.data.data());
    sample.totalSize = CMSampleBufferGetTotalSampleSize(sampleBuffer);
    sample.count = CMSampleBufferGetNumSamples(sampleBuffer);
    sample.pts = CMSampleBufferGetPresentationTimeStamp(sampleBuffer);
    sample.duration = CMSampleBufferGetDuration(sampleBuffer);
    std::lock_guard<std::mutex> lock(platform().mutex);
    platform().samples.push_back(std::move(sample));
    return noErr;
}

OSStatus __wrap_CMBlockBufferCreateWithMemoryBlock(
    CFAllocatorRef structureAllocator, void* memoryBlock, size_t blockLength,
    CFAllocatorRef blockAllocator, const CMBlockBufferCustomBlockSource* customBlockSource,
    size_t offsetToData, size_t dataLength, CMBlockBufferFlags flags, CMBlockBufferRef* out) {
    if (platform().blockBufferCallsBeforeFailure.fetch_sub(1) == 0) {
        *out = nullptr;
        return kCMBlockBufferBlockAllocationFailedErr;
    }
    return __real_CMBlockBufferCreateWithMemoryBlock(structureAllocator, memoryBlock, blockLength,
                                                     blockAllocator, customBlockSource,
                                                     offsetToData, dataLength, flags, out);
}

OSStatus __wrap_CMBlockBufferGetDataPointer(CMBlockBufferRef buffer, size_t offset,
                                            size_t* lengthAtOffset, size_t* totalLength,
                                            char** dataPointer) {
    if (platform().failDataPointer) {
        return kCMBlockBufferBadPointerParameterErr;
    }
    return __real_CMBlockBufferGetDataPointer(buffer, offset, lengthAtOffset, totalLength,
                                              dataPointer);
}

OSStatus __wrap_CMSampleBufferCreate(CFAllocatorRef allocator, CMBlockBufferRef dataBuffer,
                                     Boolean dataReady,
                                     CMSampleBufferMakeDataReadyCallback makeDataReady,
                                     void* makeDataReadyRefcon, CMFormatDescriptionRef format,
                                     CMItemCount samples, CMItemCount timingEntries,
                                     const CMSampleTimingInfo* timing, CMItemCount sizeEntries,
                                     const size_t* sizes, CMSampleBufferRef* out) {
    if (platform().failSampleCreate) {
        *out = nullptr;
        return kCMSampleBufferError_AllocationFailed;
    }
    return __real_CMSampleBufferCreate(allocator, dataBuffer, dataReady, makeDataReady,
                                       makeDataReadyRefcon, format, samples, timingEntries, timing,
                                       sizeEntries, sizes, out);
}

CVReturn __wrap_CVPixelBufferLockBaseAddress(CVPixelBufferRef buffer,
                                             CVPixelBufferLockFlags flags) {
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        platform().locks.push_back({true, buffer, flags, std::this_thread::get_id()});
    }
    return __real_CVPixelBufferLockBaseAddress(buffer, flags);
}

CVReturn __wrap_CVPixelBufferUnlockBaseAddress(CVPixelBufferRef buffer,
                                               CVPixelBufferLockFlags flags) {
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        platform().locks.push_back({false, buffer, flags, std::this_thread::get_id()});
    }
    return __real_CVPixelBufferUnlockBaseAddress(buffer, flags);
}

}  // extern "C"
