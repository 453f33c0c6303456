// The exported decoder functions: each finds the instance under the registry lock and forwards to
// it after releasing the lock. Nothing may escape into the host, so every body catches all.
#include "DecoderRegistry.h"
#include "H264DecoderPlugin.h"
#include "UtfConversion.h"

#include <algorithm>
#include <string>

std::map<uint8_t, std::shared_ptr<H264Decoder>> h264_execs;
std::mutex h264_execMutex;

namespace {

// Stops the instances still running when the library is unloaded (at process exit, or when the
// host closes it) while every other global of the library and of the decode layer still exists:
// their decode threads may be in the middle of a sample until joined. Like the registry's own
// destructor, it does not take the lock.
struct RunningInstancesTeardown {
    ~RunningInstancesTeardown() {
        h264_execs.clear();
        H264Decoder::waitForHandedOffStops();
    }
};

// Made once, after the first instance has made the shared decode session registry, so that its
// destructor runs before the registry's and before those of the globals made at load. A static
// object, not atexit(): its destructor belongs to this library and runs when the library goes,
// even where atexit() handlers would wait for the process to exit.
void tearDownRunningInstancesAtUnload() {
    static RunningInstancesTeardown teardown;
}

// The running instance of the id; null for an unknown id or one still being started.
std::shared_ptr<H264Decoder> findDecoder(uint8_t decoderId) {
    std::lock_guard<std::mutex> lock(h264_execMutex);
    const auto entry = h264_execs.find(decoderId);
    return entry == h264_execs.end() ? nullptr : entry->second;
}

// Enters the id with no instance yet; false when it is in use.
bool reserveId(uint8_t decoderId) {
    std::lock_guard<std::mutex> lock(h264_execMutex);
    return h264_execs.emplace(decoderId, nullptr).second;
}

// Puts the started instance in its reserved entry, or frees the entry when there is none.
void completeStart(uint8_t decoderId, std::shared_ptr<H264Decoder> decoder) {
    std::lock_guard<std::mutex> lock(h264_execMutex);
    if (decoder) {
        h264_execs[decoderId] = std::move(decoder);
    } else {
        h264_execs.erase(decoderId);
    }
}

// Throws std::range_error for a text that is not well-formed UTF-16.
std::string utf8FromHost(const H264DecoderChar16* text) {
    return convertUTFFormatVto8<char16_t, char>(std::u16string(text));
}

}  // namespace

bool H264Decoder_start(uint8_t decoderId, const H264DecoderChar16* configJson) {
    try {
        if (configJson == nullptr || !reserveId(decoderId)) {
            return false;
        }
        std::shared_ptr<H264Decoder> decoder;
        try {
            decoder = std::make_shared<H264Decoder>(decoderId, utf8FromHost(configJson));
            tearDownRunningInstancesAtUnload();
        } catch (...) {
            completeStart(decoderId, nullptr);
            return false;
        }
        completeStart(decoderId, std::move(decoder));
        return true;
    } catch (...) {
        return false;
    }
}

void H264Decoder_stop(uint8_t decoderId) {
    try {
        std::shared_ptr<H264Decoder> stopped;
        {
            std::lock_guard<std::mutex> lock(h264_execMutex);
            const auto entry = h264_execs.find(decoderId);
            if (entry == h264_execs.end() || !entry->second) {
                return;
            }
            stopped = std::move(entry->second);
            h264_execs.erase(entry);
        }
        // The id is free from here on; a render event still uploading from the instance keeps
        // it until the upload is done.
        H264Decoder::stop(std::move(stopped));
    } catch (...) {
    }
}

bool H264Decoder_commitFrame(uint8_t decoderId, const uint8_t* data, uint32_t reserved,
                             uint32_t offset, uint32_t size, uint32_t pts) {
    try {
        const std::shared_ptr<H264Decoder> decoder = findDecoder(decoderId);
        if (!decoder) {
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
        const std::shared_ptr<H264Decoder> decoder = findDecoder(decoderId);
        return decoder && decoder->registerCallback(callback);
    } catch (...) {
        return false;
    }
}

bool H264Decoder_unregisterCallback(uint8_t decoderId) {
    try {
        const std::shared_ptr<H264Decoder> decoder = findDecoder(decoderId);
        return decoder && decoder->unregisterCallback();
    } catch (...) {
        return false;
    }
}

bool H264Decoder_setNativeTexturePointer(uint8_t decoderId, void* texturePtr,
                                         const H264DecoderChar16* textureJson) {
    try {
        const std::shared_ptr<H264Decoder> decoder = findDecoder(decoderId);
        if (!decoder || textureJson == nullptr) {
            return false;
        }
        return decoder->setNativeTexturePointer(texturePtr, utf8FromHost(textureJson));
    } catch (...) {
        return false;
    }
}

bool H264Decoder_getStatistics(uint8_t decoderId, H264DecoderChar16* buffer, int32_t capacity) {
    try {
        if (buffer == nullptr || capacity <= 0) {
            return false;
        }
        const std::shared_ptr<H264Decoder> decoder = findDecoder(decoderId);
        if (!decoder) {
            return false;
        }
        const std::u16string text = convertUTFFormat8toV<char, char16_t>(decoder->statisticsJson());
        if (text.size() >= size_t(capacity)) {
            return false;
        }
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = 0;
        return true;
    } catch (...) {
        return false;
    }
}
