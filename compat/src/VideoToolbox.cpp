#include "ConstantString.h"
#include "DecompressionWorker.h"
#include "MediaObjects.h"

#include <VideoToolbox/VideoToolbox.h>

#include <memory>
#include <new>

using compat::cast;

struct OpaqueVTDecompressionSession : compat::Object {
    OpaqueVTDecompressionSession(CMFormatDescriptionRef formatDescription,
                                 std::shared_ptr<compat::DecompressionWorker> sessionWorker)
        : Object(compat::kDecompressionSessionType, false),
          format(formatDescription),
          worker(std::move(sessionWorker)) {
        compat::retainObject(format);
    }
    ~OpaqueVTDecompressionSession() override {
        worker->discardAndStop();
        compat::releaseObject(format);
    }

    const CMFormatDescriptionRef format;
    const std::shared_ptr<compat::DecompressionWorker> worker;
};

namespace {

const __CFString kEnableHardwareKey("EnableHardwareAcceleratedVideoDecoder");
const __CFString kRequireHardwareKey("RequireHardwareAcceleratedVideoDecoder");
const __CFString kInterframeDependenciesKey("ContentHasInterframeDependencies");
const __CFString kRealTimeKey("RealTime");

OpaqueVTDecompressionSession* sessionOf(CFTypeRef session) {
    return cast<OpaqueVTDecompressionSession>(session, compat::kDecompressionSessionType);
}

const opaqueCMFormatDescription* formatOf(CMFormatDescriptionRef description) {
    return cast<const opaqueCMFormatDescription>(description, compat::kFormatDescriptionType);
}

bool isSessionKey(CFTypeRef key) {
    for (const __CFString* known :
         {&kEnableHardwareKey, &kRequireHardwareKey, &kInterframeDependenciesKey, &kRealTimeKey}) {
        if (CFEqual(key, known)) {
            return true;
        }
    }
    return false;
}

// Only BGRA is produced: a requested pixel format must be that one. Everything else a
// destination dictionary may say (OpenGL or Metal compatibility, the decoder specification and
// session keys some callers put there) is accepted and has nothing to change here.
OSStatus checkDestinationAttributes(CFDictionaryRef attributes) {
    if (attributes == nullptr) {
        return noErr;
    }
    if (CFGetTypeID(attributes) != CFDictionaryGetTypeID()) {
        return kVTParameterErr;
    }
    const void* format = CFDictionaryGetValue(attributes, kCVPixelBufferPixelFormatTypeKey);
    if (format == nullptr) {
        return noErr;
    }
    int64_t value = 0;
    if (CFGetTypeID(format) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(format), kCFNumberSInt64Type, &value)) {
        return kVTParameterErr;
    }
    return value == kCVPixelFormatType_32BGRA ? OSStatus(noErr)
                                              : OSStatus(kVTPixelTransferNotSupportedErr);
}

OSStatus checkDecoderSpecification(CFDictionaryRef specification) {
    if (specification != nullptr && CFGetTypeID(specification) != CFDictionaryGetTypeID()) {
        return kVTParameterErr;
    }
    return noErr;
}

}  // namespace

extern "C" {

const CFStringRef kVTVideoDecoderSpecification_EnableHardwareAcceleratedVideoDecoder =
    &kEnableHardwareKey;
const CFStringRef kVTVideoDecoderSpecification_RequireHardwareAcceleratedVideoDecoder =
    &kRequireHardwareKey;
const CFStringRef kVTDecompressionPropertyKey_ContentHasInterframeDependencies =
    &kInterframeDependenciesKey;
const CFStringRef kVTDecompressionPropertyKey_RealTime = &kRealTimeKey;

OSStatus VTDecompressionSessionCreate(CFAllocatorRef,
                                      CMVideoFormatDescriptionRef videoFormatDescription,
                                      CFDictionaryRef videoDecoderSpecification,
                                      CFDictionaryRef destinationImageBufferAttributes,
                                      const VTDecompressionOutputCallbackRecord* outputCallback,
                                      VTDecompressionSessionRef* decompressionSessionOut) {
    if (decompressionSessionOut == nullptr) {
        return kVTParameterErr;
    }
    *decompressionSessionOut = nullptr;
    const opaqueCMFormatDescription* description = formatOf(videoFormatDescription);
    if (description == nullptr || outputCallback == nullptr ||
        outputCallback->decompressionOutputCallback == nullptr) {
        return kVTParameterErr;
    }
    if (const OSStatus status = checkDecoderSpecification(videoDecoderSpecification)) {
        return status;
    }
    if (const OSStatus status = checkDestinationAttributes(destinationImageBufferAttributes)) {
        return status;
    }
    std::shared_ptr<compat::DecompressionWorker> worker;
    try {
        std::unique_ptr<compat::VideoDecoder> decoder = compat::VideoDecoder::open(*description);
        if (!decoder) {
            return kVTVideoDecoderBadDataErr;
        }
        worker = compat::DecompressionWorker::start(std::move(decoder), *outputCallback);
    } catch (...) {
        // Out of memory or out of threads: a C caller gets a status, never an exception.
        return kVTAllocationFailedErr;
    }
    *decompressionSessionOut =
        new (std::nothrow) OpaqueVTDecompressionSession(videoFormatDescription, worker);
    if (*decompressionSessionOut == nullptr) {
        worker->discardAndStop();
        return kVTAllocationFailedErr;
    }
    return noErr;
}

OSStatus VTDecompressionSessionDecodeFrame(VTDecompressionSessionRef session,
                                           CMSampleBufferRef sampleBuffer,
                                           VTDecodeFrameFlags decodeFlags, void* sourceFrameRefCon,
                                           VTDecodeInfoFlags* infoFlagsOut) {
    if (infoFlagsOut != nullptr) {
        *infoFlagsOut = 0;
    }
    OpaqueVTDecompressionSession* decompression = sessionOf(session);
    const auto* sample = cast<const opaqueCMSampleBuffer>(sampleBuffer, compat::kSampleBufferType);
    if (decompression == nullptr || sample == nullptr || sample->format == nullptr) {
        return kVTParameterErr;
    }
    if (!decompression->worker->submit(sampleBuffer, decodeFlags, sourceFrameRefCon)) {
        return kVTInvalidSessionErr;
    }
    if (infoFlagsOut != nullptr) {
        *infoFlagsOut = kVTDecodeInfo_Asynchronous;
    }
    if (!(decodeFlags & kVTDecodeFrame_EnableAsynchronousDecompression)) {
        decompression->worker->waitForQueuedWork();
    }
    return noErr;
}

OSStatus VTDecompressionSessionFinishDelayedFrames(VTDecompressionSessionRef session) {
    OpaqueVTDecompressionSession* decompression = sessionOf(session);
    if (decompression == nullptr) {
        return kVTParameterErr;
    }
    if (!decompression->worker->submitDrain()) {
        return kVTInvalidSessionErr;
    }
    decompression->worker->waitForQueuedWork();
    return noErr;
}

OSStatus VTDecompressionSessionWaitForAsynchronousFrames(VTDecompressionSessionRef session) {
    OpaqueVTDecompressionSession* decompression = sessionOf(session);
    if (decompression == nullptr) {
        return kVTParameterErr;
    }
    decompression->worker->waitForQueuedWork();
    return noErr;
}

Boolean VTDecompressionSessionCanAcceptFormatDescription(VTDecompressionSessionRef session,
                                                         CMFormatDescriptionRef newFormatDesc) {
    const OpaqueVTDecompressionSession* decompression = sessionOf(session);
    const opaqueCMFormatDescription* proposed = formatOf(newFormatDesc);
    if (decompression == nullptr || proposed == nullptr) {
        return false;
    }
    // The decoder takes new parameter sets in band, as long as the picture they describe is
    // the same: coded size, chroma format and bit depth.
    const opaqueCMFormatDescription* current = formatOf(decompression->format);
    const std::optional<compat::PictureFormat> proposedPicture = compat::pictureFormatOf(*proposed);
    const std::optional<compat::PictureFormat> currentPicture = compat::pictureFormatOf(*current);
    return proposed->codec == current->codec &&
           proposed->nalUnitHeaderLength == current->nalUnitHeaderLength && proposedPicture &&
           proposedPicture == currentPicture;
}

void VTDecompressionSessionInvalidate(VTDecompressionSessionRef session) {
    if (OpaqueVTDecompressionSession* decompression = sessionOf(session)) {
        decompression->worker->finishAndStop();
    }
}

OSStatus VTSessionSetProperty(VTSessionRef session, CFStringRef propertyKey,
                              CFTypeRef propertyValue) {
    if (sessionOf(session) == nullptr || propertyKey == nullptr) {
        return kVTParameterErr;
    }
    if (!isSessionKey(propertyKey)) {
        return kVTPropertyNotSupportedErr;
    }
    return CFGetTypeID(propertyValue) == CFBooleanGetTypeID() ? OSStatus(noErr)
                                                              : OSStatus(kVTParameterErr);
}

}  // extern "C"
