// The part of VideoToolbox that the decode session uses, for systems without Apple's frameworks:
// decompression sessions that decode H.264 and HEVC samples with libavcodec and convert every
// picture to 32-bit BGRA with libswscale. Names, types, signatures and error codes are those of
// Apple's public headers.
//
// Input: samples whose data are NAL units, each behind a big-endian length of the format
// description's NAL unit header length, holding picture NAL units (parameter sets may be present
// too). The decoder starts from the parameter sets of the session's format description.
//
// Threads: every session has exactly one worker thread of its own, and libavcodec runs with one
// thread and without frame threading. VTDecompressionSessionDecodeFrame only queues the sample;
// the worker decodes, converts and calls the output callback, always on that worker thread, one
// picture at a time. One thread per session keeps 256 concurrent sessions at 256 decoding threads
// instead of 256 times the core count, and it keeps the latency at zero frames: frame threading
// would hold each picture back by the number of threads. Large 8-bit 4:2:0 pictures are converted
// in horizontal bands, with help from one process-wide pool of at most 7 threads (cores less
// one); the worker converts every band no helper has taken, so sessions never wait on each other.
//
// Output order and latency: a stream without frame reordering delivers each sample's picture
// before VTDecompressionSessionWaitForAsynchronousFrames returns for that sample. A stream with
// reordered frames (B-frames) delivers its pictures in display order, as the decoder releases them,
// that is the stream's reorder depth later than their samples; Apple's framework instead delivers
// them in decode order. VTDecompressionSessionFinishDelayedFrames and
// VTDecompressionSessionInvalidate drain the held pictures; after a drain the stream must go on
// with a random access picture (IDR / IRAP).
//
// A sample that does not decode gets one callback with kVTVideoDecoderBadDataErr and a NULL image
// buffer. The callback's presentationTimeStamp is the one of the sample the picture was decoded
// from; presentationDuration is that sample's duration.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreMedia/CoreMedia.h>
#include <CoreVideo/CoreVideo.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    kVTPropertyNotSupportedErr = -12900,
    kVTPropertyReadOnlyErr = -12901,
    kVTParameterErr = -12902,
    kVTInvalidSessionErr = -12903,
    kVTAllocationFailedErr = -12904,
    kVTPixelTransferNotSupportedErr = -12905,
    kVTCouldNotFindVideoDecoderErr = -12906,
    kVTCouldNotCreateInstanceErr = -12907,
    kVTCouldNotFindVideoEncoderErr = -12908,
    kVTVideoDecoderBadDataErr = -12909,
    kVTVideoDecoderUnsupportedDataFormatErr = -12910,
    kVTVideoDecoderMalfunctionErr = -12911,
    kVTVideoEncoderMalfunctionErr = -12912,
    kVTVideoDecoderNotAvailableNowErr = -12913,
    kVTImageRotationNotSupportedErr = -12914,
    kVTVideoEncoderNotAvailableNowErr = -12915,
    kVTFormatDescriptionChangeNotSupportedErr = -12916,
    kVTInsufficientSourceColorDataErr = -12917,
    kVTCouldNotCreateColorCorrectionDataErr = -12918,
    kVTColorSyncTransformConvertFailedErr = -12919
};

typedef uint32_t VTDecodeFrameFlags;
enum {
    kVTDecodeFrame_EnableAsynchronousDecompression = 1 << 0,
    kVTDecodeFrame_DoNotOutputFrame = 1 << 1,
    kVTDecodeFrame_1xRealTimePlayback = 1 << 2,
    kVTDecodeFrame_EnableTemporalProcessing = 1 << 3
};

typedef uint32_t VTDecodeInfoFlags;
enum {
    kVTDecodeInfo_Asynchronous = 1UL << 0,
    kVTDecodeInfo_FrameDropped = 1UL << 1,
    kVTDecodeInfo_ImageBufferModifiable = 1UL << 2
};

typedef CFTypeRef VTSessionRef;
typedef struct OpaqueVTDecompressionSession* VTDecompressionSessionRef;

typedef void (*VTDecompressionOutputCallback)(void* decompressionOutputRefCon,
                                              void* sourceFrameRefCon, OSStatus status,
                                              VTDecodeInfoFlags infoFlags,
                                              CVImageBufferRef imageBuffer,
                                              CMTime presentationTimeStamp,
                                              CMTime presentationDuration);

struct VTDecompressionOutputCallbackRecord {
    VTDecompressionOutputCallback decompressionOutputCallback;
    void* decompressionOutputRefCon;
};
typedef struct VTDecompressionOutputCallbackRecord VTDecompressionOutputCallbackRecord;

// Decoder specification keys. Accepted with any boolean value; there is no hardware to choose.
extern const CFStringRef kVTVideoDecoderSpecification_EnableHardwareAcceleratedVideoDecoder;
extern const CFStringRef kVTVideoDecoderSpecification_RequireHardwareAcceleratedVideoDecoder;
// Session property keys. Accepted; the session is always real-time and assumes interframe
// dependencies.
extern const CFStringRef kVTDecompressionPropertyKey_ContentHasInterframeDependencies;
extern const CFStringRef kVTDecompressionPropertyKey_RealTime;

// destinationImageBufferAttributes may be NULL; when it names a pixel format
// (kCVPixelBufferPixelFormatTypeKey) that must be kCVPixelFormatType_32BGRA, the only format
// produced. Keys that do not describe pixel buffers (the decoder specification and session
// property keys above) are accepted and ignored there, as are OpenGL / Metal compatibility.
// The callback record is copied; its reference value is not retained.
OSStatus VTDecompressionSessionCreate(CFAllocatorRef allocator,
                                      CMVideoFormatDescriptionRef videoFormatDescription,
                                      CFDictionaryRef videoDecoderSpecification,
                                      CFDictionaryRef destinationImageBufferAttributes,
                                      const VTDecompressionOutputCallbackRecord* outputCallback,
                                      VTDecompressionSessionRef* decompressionSessionOut);

// Queues the sample (retained) for the session's worker and returns at once. A NULL session or
// sample, or a sample without a format description, returns kVTParameterErr and calls nothing; an
// invalidated session returns kVTInvalidSessionErr.
OSStatus VTDecompressionSessionDecodeFrame(VTDecompressionSessionRef session,
                                           CMSampleBufferRef sampleBuffer,
                                           VTDecodeFrameFlags decodeFlags, void* sourceFrameRefCon,
                                           VTDecodeInfoFlags* infoFlagsOut);

// Decodes what is queued and then emits every picture the decoder still holds for reordering.
OSStatus VTDecompressionSessionFinishDelayedFrames(VTDecompressionSessionRef session);

// Returns once every sample submitted before the call has been decoded and its callbacks have
// returned. Pictures held back for reordering stay held (see above). Called from the output
// callback it returns at once.
OSStatus VTDecompressionSessionWaitForAsynchronousFrames(VTDecompressionSessionRef session);

Boolean VTDecompressionSessionCanAcceptFormatDescription(VTDecompressionSessionRef session,
                                                         CMFormatDescriptionRef newFormatDesc);

// Decodes what is queued, drains the held pictures, then stops the worker thread. Later calls
// of DecodeFrame return kVTInvalidSessionErr. The last CFRelease of a session that was not
// invalidated stops the worker without decoding what is still queued.
void VTDecompressionSessionInvalidate(VTDecompressionSessionRef session);

// Accepts the keys above with a CFBoolean value; other keys give kVTPropertyNotSupportedErr.
OSStatus VTSessionSetProperty(VTSessionRef session, CFStringRef propertyKey,
                              CFTypeRef propertyValue);

#ifdef __cplusplus
}
#endif
