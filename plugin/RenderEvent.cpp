// The render event: on the host's render thread, upload the newest picture of every instance that
// has one not uploaded yet into its texture.
#include "DecoderRegistry.h"
#include "GraphicsDevice.h"
#include "H264DecoderPlugin.h"

#include <vector>

namespace {

// The running instances in ascending id order, taken under the registry lock and used after it:
// the walk never holds up a start, a stop or a commit, and a stop never holds up the walk. Its
// storage is kept from event to event; render events come one at a time.
std::vector<std::shared_ptr<H264Decoder>>& runningInstances() {
    static std::vector<std::shared_ptr<H264Decoder>> instances;
    instances.clear();
    std::lock_guard<std::mutex> lock(h264_execMutex);
    instances.reserve(h264_execs.size());
    for (const auto& entry : h264_execs) {
        if (entry.second) {
            instances.push_back(entry.second);
        }
    }
    return instances;
}

}  // namespace

void OnRenderEvent(int /*eventId*/) {
    try {
        std::vector<std::shared_ptr<H264Decoder>>& instances = runningInstances();
        for (const std::shared_ptr<H264Decoder>& instance : instances) {
            if (!s_CurrentAPI) {
                break;
            }
            // A picture copy holding the texture state this instant: the next event uploads.
            const std::optional<H264Decoder::PictureUpload> upload = instance->takePictureUpload();
            if (upload) {
                s_CurrentAPI->BeginModifyTexture2();
                s_CurrentAPI->EndModifyTexture2(upload->texture, upload->width, upload->height,
                                                upload->width * 4,
                                                const_cast<uint8_t*>(upload->pixels));
            }
        }
        // Instances stopped meanwhile end here; their stop has ended their threads already.
        instances.clear();
    } catch (...) {
        // Nothing may escape into the host's render thread.
    }
}

H264DecoderRenderEventFunc H264Decoder_nativeRenderEventFunc() {
    return &OnRenderEvent;
}
