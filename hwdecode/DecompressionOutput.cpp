#include "DecompressionOutput.h"

#include "H264HwDecoderImpl.h"

#include <memory>
#include <vector>

namespace {

constexpr int32_t kFormatBgra = 0;

struct PictureGeometry {
    size_t bytesPerRow = 0;
    size_t width = 0;
    size_t height = 0;
    void* baseAddress = nullptr;
    size_t extraColumnsOnLeft = 0;
    size_t extraColumnsOnRight = 0;
    size_t extraRowsOnTop = 0;
    size_t extraRowsOnBottom = 0;
};

PictureGeometry readGeometry(CVPixelBufferRef picture) {
    PictureGeometry geometry;
    geometry.bytesPerRow = CVPixelBufferGetBytesPerRow(picture);
    geometry.width = CVPixelBufferGetWidth(picture);
    geometry.height = CVPixelBufferGetHeight(picture);
    geometry.baseAddress = CVPixelBufferGetBaseAddress(picture);
    CVPixelBufferGetExtendedPixels(picture, &geometry.extraColumnsOnLeft,
                                   &geometry.extraColumnsOnRight, &geometry.extraRowsOnTop,
                                   &geometry.extraRowsOnBottom);
    return geometry;
}

// The delegate copies the pixels before it returns; it runs on the platform's thread, so
// whatever it throws stays here.
void deliver(const std::shared_ptr<H264HwDecoderImpl>& handler, void* sourceFrameRefCon,
             const PictureGeometry& geometry) {
    const std::shared_ptr<H264HwDecoderImplDelegate> listener =
        handler ? handler->pictureDelegate(sourceFrameRefCon) : nullptr;
    if (!listener || geometry.baseAddress == nullptr) {
        return;
    }
    try {
        listener->copyRenderBuffer(
            geometry.baseAddress, kFormatBgra, static_cast<int32_t>(geometry.width),
            static_cast<int32_t>(geometry.height), static_cast<int32_t>(geometry.bytesPerRow),
            static_cast<int32_t>(geometry.extraColumnsOnLeft),
            static_cast<int32_t>(geometry.extraColumnsOnRight),
            static_cast<int32_t>(geometry.extraRowsOnTop),
            static_cast<int32_t>(geometry.extraRowsOnBottom));
    } catch (...) {
    }
}

// The picture is only read: a read-only lock spares the platform writing the memory back.
void deliverLocked(const std::shared_ptr<H264HwDecoderImpl>& handler, void* sourceFrameRefCon,
                   CVImageBufferRef picture, int64_t pts) {
    if (CVPixelBufferLockBaseAddress(picture, kCVPixelBufferLock_ReadOnly) != kCVReturnSuccess) {
        return;
    }
    if (handler) {
        handler->statistics()->pictureOnItsWay(pts);
    }
    deliver(handler, sourceFrameRefCon, readGeometry(picture));
    CVPixelBufferUnlockBaseAddress(picture, kCVPixelBufferLock_ReadOnly);
}

// The platform hands pictures out in decode order; the stream's reorder window puts them into
// display order, each held retained until it is due.
void deliverInDisplayOrder(const std::shared_ptr<H264HwDecoderImpl>& handler,
                           void* sourceFrameRefCon, CVImageBufferRef picture, int64_t pts) {
    std::vector<H264HwDecoderImpl::HeldPicture> due;
    std::vector<H264HwDecoderImpl::HeldPicture> undelivered;
    CVPixelBufferRetain(picture);
    try {
        handler->OrderPicture({pts, sourceFrameRefCon, picture}, due, undelivered);
    } catch (...) {
        undelivered.push_back({pts, sourceFrameRefCon, picture});  // out of memory: not shown
    }
    for (const H264HwDecoderImpl::HeldPicture& held : due) {
        deliverLocked(handler, held.sourceFrameRefCon, held.buffer, held.pts);
        CVPixelBufferRelease(held.buffer);
    }
    for (const H264HwDecoderImpl::HeldPicture& held : undelivered) {
        CVPixelBufferRelease(held.buffer);
    }
}

}  // namespace

void didDecompress(void* decompressionOutputRefCon, void* sourceFrameRefCon, OSStatus status,
                   VTDecodeInfoFlags infoFlags, CVImageBufferRef imageBuffer,
                   CMTime presentationTimeStamp, CMTime presentationDuration) {
    // A picture that arrives while its session object is being destroyed is not delivered.
    std::shared_ptr<H264HwDecoderImpl> handler;
    if (decompressionOutputRefCon != nullptr) {
        handler =
            static_cast<H264HwDecoderImpl*>(decompressionOutputRefCon)->weak_from_this().lock();
    }
    if (status != 0 || imageBuffer == nullptr) {
        // Pictures that depend on this one would show the damage: the stream starts again at
        // its next random-access point.
        if (handler) {
            handler->NoteFailedDecode(sourceFrameRefCon, status);
        }
        return;
    }
    if (handler) {
        handler->statistics()->pictureDecoded();
    }
    const bool timed = (presentationTimeStamp.flags & kCMTimeFlags_Valid) != 0;
    if (!handler || !timed || handler->picturesPassStraightThrough(presentationTimeStamp.value)) {
        deliverLocked(handler, sourceFrameRefCon, imageBuffer, presentationTimeStamp.value);
        return;
    }
    deliverInDisplayOrder(handler, sourceFrameRefCon, imageBuffer, presentationTimeStamp.value);
}
