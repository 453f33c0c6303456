// Arbitrary UTF-16 texts through the exported functions that take them: the input's bytes are
// 16-bit units (low byte first); the units up to the first 0 unit are the configuration of
// H264Decoder_start, the units after it (up to the next 0 unit) the texture description of
// H264Decoder_setNativeTexturePointer. The statistics are then read into a buffer whose capacity
// the description's length chooses. The calls run on a thread with the stack that a host's
// script thread may have, and the instance is stopped after every input.
#include "FuzzCheck.h"
#include "H264DecoderPlugin.h"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using fuzzcheck::require;

constexpr uint8_t kDecoderId = 42;
// The host calls from its script threads; on macOS a thread other than the main one gets a
// stack of this size, so what the exported functions put on the stack must fit in it.
constexpr size_t kHostThreadStackSize = 512 * 1024;

struct HostTexts {
    std::u16string configuration;
    std::u16string textureDescription;
};

HostTexts readTexts(const uint8_t* data, size_t size) {
    HostTexts texts;
    std::u16string* text = &texts.configuration;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const char16_t unit = char16_t(data[i] | (data[i + 1] << 8));
        if (unit == 0) {
            if (text == &texts.textureDescription) {
                break;
            }
            text = &texts.textureDescription;
            continue;
        }
        text->push_back(unit);
    }
    return texts;
}

bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Every surrogate in a pair, high before low.
bool isWellFormed(const std::u16string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (isLowSurrogate(text[i])) {
            return false;
        }
        if (isHighSurrogate(text[i])) {
            if (i + 1 == text.size() || !isLowSurrogate(text[i + 1])) {
                return false;
            }
            ++i;
        }
    }
    return true;
}

const H264DecoderChar16* hostText(const std::u16string& text) {
    return reinterpret_cast<const H264DecoderChar16*>(text.c_str());
}

// A read of the statistics writes a terminated text within the capacity, or nothing at all.
void readStatistics(bool started, int32_t capacity) {
    constexpr H264DecoderChar16 kUntouched = 0xAAAA;
    std::vector<H264DecoderChar16> buffer(H264_DECODER_STATISTICS_CAPACITY + 2, kUntouched);
    const bool read = H264Decoder_getStatistics(kDecoderId, buffer.data(), capacity);
    require(!read || started, "only a running instance has statistics");
    require(read || !started || capacity < H264_DECODER_STATISTICS_CAPACITY,
            "the stated capacity always suffices");
    const size_t limit = capacity > 0 ? std::min(size_t(capacity), buffer.size()) : 0;
    size_t written = 0;
    while (written < buffer.size() && buffer[written] != kUntouched) {
        ++written;
    }
    if (read) {
        require(written > 0 && written <= limit && buffer[written - 1] == 0,
                "a read text ends with its terminator within the capacity");
    } else {
        require(written == 0, "a refused read writes nothing");
    }
}

// The calls of one host script: start, bind, read the statistics, stop. Runs on a thread of the
// host's stack size.
void* callAsHost(void* argument) {
    const HostTexts& texts = *static_cast<const HostTexts*>(argument);
    const bool started = H264Decoder_start(kDecoderId, hostText(texts.configuration));
    require(started == isWellFormed(texts.configuration),
            "start succeeds exactly for a well-formed configuration text");
    int texture = 0;
    const bool bound = H264Decoder_setNativeTexturePointer(kDecoderId, &texture,
                                                           hostText(texts.textureDescription));
    require(bound == (started && isWellFormed(texts.textureDescription)),
            "binding succeeds exactly for a started instance and a well-formed description");
    readStatistics(started, int32_t(texts.textureDescription.size()) * 8 - 64);
    H264Decoder_stop(kDecoderId);
    require(!H264Decoder_setNativeTexturePointer(kDecoderId, nullptr, hostText(u"")),
            "the stopped instance is gone");
    return nullptr;
}

}  // namespace

// The plugin brings the GNU Objective-C runtime, which registers its classes at load time into
// tables that it never frees. Visible, so that a shared sanitizer runtime finds it too.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libobjc.so\n";
}

// Each start writes its configuration to standard output; at this rate that would bury the
// fuzzer's own report.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    require(std::freopen("/dev/null", "w", stdout) != nullptr, "standard output can be muted");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HostTexts texts = readTexts(data, size);
    pthread_attr_t attributes;
    require(pthread_attr_init(&attributes) == 0 &&
                pthread_attr_setstacksize(&attributes, kHostThreadStackSize) == 0,
            "a thread of the host's stack size can be described");
    pthread_t hostThread;
    require(pthread_create(&hostThread, &attributes, callAsHost, &texts) == 0,
            "a host thread can be started");
    require(pthread_join(hostThread, nullptr) == 0, "the host thread can be joined");
    pthread_attr_destroy(&attributes);
    return 0;
}
