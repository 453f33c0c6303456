// The delegate through which an instance's decode session reports to the instance: the size of a
// new session, and every decoded picture.
#pragma once

#include "H264HwDecoderImplDelegate.h"

#include <atomic>
#include <cstdint>

class H264Decoder;

class H264DecoderDelegateHelper : public H264HwDecoderImplDelegate {
  public:
    // The session may keep the helper after the instance is gone; it is never fed again by then,
    // because the instance joins its decode thread, the session's only feeder, first.
    explicit H264DecoderDelegateHelper(H264Decoder* cppInstance) : m_handlerInstance(cppInstance) {}

    void copyRenderBuffer(void* buffer, int32_t withFormat, int32_t withWidth, int32_t withHeight,
                          int32_t withBytesPerRow, int32_t withExtraColumnsOnLeft,
                          int32_t withExtraColumnsOnRight, int32_t withExtraRowsOnTop,
                          int32_t withExtraRowsOnBottom) override;
    void forwardTextureInfo(int32_t width, int32_t withHeight) override;

  private:
    H264Decoder* const m_handlerInstance;
    // Whether the padded width of the current session's pictures was told: each new session
    // (its size report) tells it anew.
    std::atomic<bool> m_notified{false};
};
