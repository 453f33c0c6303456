// The render event: on the host's render thread, upload every bound instance's frame buffer into
// its texture.
#include "DecoderRegistry.h"
#include "GraphicsDevice.h"
#include "H264DecoderPlugin.h"

namespace {

// Uploads one instance's frame buffer unless its picture copy holds the texture state right now;
// that instance is uploaded by the next render event instead.
void uploadFrameBuffer(H264Decoder::ITexCfg& texture) {
    std::unique_lock<std::mutex> lock(*texture.texMutex, std::try_to_lock);
    if (!lock.owns_lock() || !texture.textureBound) {
        return;
    }
    s_CurrentAPI->BeginModifyTexture2();
    s_CurrentAPI->EndModifyTexture2(texture.nativeTexture, texture.width, texture.height,
                                    texture.width * 4, texture.frameBuffer.get());
}

}  // namespace

void OnRenderEvent(int /*eventId*/) {
    try {
        std::lock_guard<std::mutex> lock(h264_execMutex);
        for (auto& entry : h264_execs) {
            if (!s_CurrentAPI) {
                break;
            }
            uploadFrameBuffer(entry.second->texCfg);
        }
    } catch (...) {
        // Nothing may escape into the host's render thread.
    }
}

H264DecoderRenderEventFunc H264Decoder_nativeRenderEventFunc() {
    return &OnRenderEvent;
}
