#include "H264DecoderDelegateHelper.h"

#include "H264Decoder.h"

void H264DecoderDelegateHelper::copyRenderBuffer(
    void* buffer, int32_t withFormat, int32_t withWidth, int32_t withHeight,
    int32_t withBytesPerRow, int32_t withExtraColumnsOnLeft, int32_t withExtraColumnsOnRight,
    int32_t withExtraRowsOnTop, int32_t withExtraRowsOnBottom) {
    if (m_handlerInstance == nullptr) {
        return;
    }
    // Padded rows reach only a texture as wide as the padded row: tell the host that width once.
    const int32_t paddedWidth = withBytesPerRow / 4;
    if (paddedWidth != withWidth && !m_notified.exchange(true)) {
        m_handlerInstance->forwardTextureInfo(paddedWidth, withHeight);
    }
    m_handlerInstance->copyRenderData(
        static_cast<const uint8_t*>(buffer), withFormat, withWidth, withHeight, withBytesPerRow,
        withExtraColumnsOnLeft, withExtraColumnsOnRight, withExtraRowsOnTop, withExtraRowsOnBottom);
}

void H264DecoderDelegateHelper::forwardTextureInfo(int32_t width, int32_t withHeight) {
    m_notified = false;
    if (m_handlerInstance != nullptr) {
        m_handlerInstance->forwardTextureInfo(width, withHeight);
    }
}
