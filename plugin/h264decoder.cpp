// The exported decoder functions: each takes the registry lock for its whole run, finds the
// instance and forwards to it. Nothing may escape into the host, so every body catches all.
#include "DecoderRegistry.h"
#include "H264DecoderPlugin.h"
#include "UtfConversion.h"

#include <string>

std::map<uint8_t, std::unique_ptr<H264Decoder>> h264_execs;
std::mutex h264_execMutex;

namespace {

// Stops the instances still running when the library is unloaded (at process exit, or when the
// host closes it) while every other global of the library and of the decode layer still exists:
// their decode threads may be in the middle of a sample until joined. Like the registry's own
// destructor, it does not take the lock.
struct RunningInstancesTeardown {
    ~RunningInstancesTeardown() { h264_execs.clear(); }
};

// Made once, after the first instance has made the shared decode session registry, so that its
// destructor runs before the registry's and before those of the globals made at load. A static
// object, not atexit(): its destructor belongs to this library and runs when the library goes,
// even where atexit() handlers would wait for the process to exit.
void tearDownRunningInstancesAtUnload() {
    static RunningInstancesTeardown teardown;
}

H264Decoder* findDecoder(uint8_t decoderId) {
    const auto entry = h264_execs.find(decoderId);
    return entry == h264_execs.end() ? nullptr : entry->second.get();
}

// Throws std::range_error for a text that is not well-formed UTF-16.
std::string utf8FromHost(const H264DecoderChar16* text) {
    return convertUTFFormatVto8<char16_t, char>(std::u16string(text));
}

}  // namespace

bool H264Decoder_start(uint8_t decoderId, const H264DecoderChar16* configJson) {
    try {
        std::lock_guard<std::mutex> lock(h264_execMutex);
        if (h264_execs.count(decoderId) != 0 || configJson == nullptr) {
            return false;
        }
        auto decoder = std::make_unique<H264Decoder>(decoderId, utf8FromHost(configJson));
        tearDownRunningInstancesAtUnload();
        h264_execs.emplace(decoderId, std::move(decoder));
        return true;
    } catch (...) {
        return false;
    }
}

void H264Decoder_stop(uint8_t decoderId) {
    try {
        std::lock_guard<std::mutex> lock(h264_execMutex);
        const auto entry = h264_execs.find(decoderId);
        if (entry == h264_execs.end()) {
            return;
        }
        // Torn down while still registered: the render event, which waits for the lock, never
        // meets a half-destroyed instance either way.
        entry->second.reset();
        h264_execs.erase(entry);
    } catch (...) {
    }
}

bool H264Decoder_commitFrame(uint8_t decoderId, const uint8_t* data, uint32_t reserved,
                             uint32_t offset, uint32_t size, uint32_t pts) {
    try {
        std::lock_guard<std::mutex> lock(h264_execMutex);
        H264Decoder* decoder = findDecoder(decoderId);
        if (decoder == nullptr) {
            return false;
        }
        decoder->decodeFrame(data, reserved, offset, size, pts);
        return true;
    } catch (...) {
        return false;
    }
}

bool H264Decoder_registerCallback(uint8_t decoderId, H264DecoderTextureInfoCallback callback) {
    try {
        std::lock_guard<std::mutex> lock(h264_execMutex);
        H264Decoder* decoder = findDecoder(decoderId);
        return decoder != nullptr && decoder->registerCallback(callback);
    } catch (...) {
        return false;
    }
}

bool H264Decoder_unregisterCallback(uint8_t decoderId) {
    try {
        std::lock_guard<std::mutex> lock(h264_execMutex);
        H264Decoder* decoder = findDecoder(decoderId);
        return decoder != nullptr && decoder->unregisterCallback();
    } catch (...) {
        return false;
    }
}

bool H264Decoder_setNativeTexturePointer(uint8_t decoderId, void* texturePtr,
                                         const H264DecoderChar16* textureJson) {
    try {
        std::lock_guard<std::mutex> lock(h264_execMutex);
        H264Decoder* decoder = findDecoder(decoderId);
        if (decoder == nullptr || textureJson == nullptr) {
            return false;
        }
        return decoder->setNativeTexturePointer(texturePtr, utf8FromHost(textureJson));
    } catch (...) {
        return false;
    }
}
