// How a decode session reports to its user: the size of each new decompression session, and
// every decoded picture while its pixel buffer is locked.
#pragma once

#include <cstdint>

class H264HwDecoderImplDelegate {
  public:
    virtual ~H264HwDecoderImplDelegate() = default;

    // One decoded picture. `buffer` is valid only until the call returns; the delegate copies
    // what it needs. `withFormat` is always 0 (32-bit BGRA). `withBytesPerRow` may exceed
    // 4 * `withWidth` when the platform pads rows. Called on the platform's output thread.
    virtual void copyRenderBuffer(void* buffer, int32_t withFormat, int32_t withWidth,
                                  int32_t withHeight, int32_t withBytesPerRow,
                                  int32_t withExtraColumnsOnLeft, int32_t withExtraColumnsOnRight,
                                  int32_t withExtraRowsOnTop, int32_t withExtraRowsOnBottom) = 0;

    // The display size of a decompression session that was just created. Called on the decode
    // thread, inside DecodeNALUs.
    virtual void forwardTextureInfo(int32_t width, int32_t withHeight) = 0;
};
