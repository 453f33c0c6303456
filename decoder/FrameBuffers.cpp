#include "FrameBuffers.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr uint8_t kOpaqueBlack[4] = {0, 0, 0, 255};

void fillOpaqueBlack(uint8_t* pixels, size_t size) {
    if (size < sizeof kOpaqueBlack) {
        return;
    }
    std::memcpy(pixels, kOpaqueBlack, sizeof kOpaqueBlack);
    for (size_t filled = sizeof kOpaqueBlack; filled < size;) {
        const size_t chunk = std::min(filled, size - filled);
        std::memcpy(pixels + filled, pixels, chunk);
        filled += chunk;
    }
}

}  // namespace

std::shared_ptr<FrameBuffers> FrameBuffers::create(size_t size) noexcept {
    try {
        std::shared_ptr<FrameBuffers> buffers(new FrameBuffers(size));
        std::unique_ptr<uint8_t[]>& black = buffers->pixels_[size_t(buffers->ready_)];
        black.reset(new uint8_t[size]);
        fillOpaqueBlack(black.get(), size);
        return buffers;
    } catch (...) {
        return nullptr;  // out of memory
    }
}

uint8_t* FrameBuffers::writable() noexcept {
    std::unique_ptr<uint8_t[]>& pixels = pixels_[size_t(writing_)];
    if (!pixels) {
        pixels.reset(new (std::nothrow) uint8_t[size_]);
    }
    return pixels.get();
}

bool FrameBuffers::publish() {
    const bool replacedUnseen = readyIsNew_ && published_;  // the black of a binding is none
    std::swap(writing_, ready_);
    readyIsNew_ = true;
    published_ = true;
    return replacedUnseen;
}

const uint8_t* FrameBuffers::takeNewest() {
    if (!readyIsNew_) {
        return nullptr;
    }
    std::swap(reading_, ready_);
    readyIsNew_ = false;
    return pixels_[reading_].get();
}

const uint8_t* FrameBuffers::newest() const {
    return pixels_[readyIsNew_ ? ready_ : reading_].get();
}
