// Helpers for tests of decoder instances: UTF-16 texts, a recording host callback, and a tap
// between a decode session and its delegate that counts, holds and fingerprints pictures.
#pragma once

#include "H264DecoderPlugin.h"
#include "H264HwDecoderImplDelegate.h"

#include <rapidjson/document.h>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace decodertest {

using namespace std::chrono_literals;

std::u16string utf16(const std::string& utf8);
std::string utf8(const std::u16string& utf16);

// What the host callback of texts like {"width":W,"height":H,...} is told.
std::string textureInfoText(int width, int height);

// A texture description as the host sends it with its texture.
std::string textureDescription(int width, int height, int format = 0);

// A statistics text of an instance, as the host reads it; a member it lacks fails the test.
class Statistics {
  public:
    explicit Statistics(const std::string& json);
    uint64_t count(const char* name) const;
    uint64_t dropped(const char* reason) const;
    bool flag(const char* name) const;
    const rapidjson::Value& json() const { return json_; }

  private:
    rapidjson::Document json_;
};

// Every call of the host callbacks below, process-wide.
class TextureInfoLog {
  public:
    struct Call {
        int callback = 0;  // 1: first(), 2: second()
        const uint8_t* idAddress = nullptr;
        uint8_t idValue = 0;
        std::string text;
    };

    static H264DecoderTextureInfoCallback first();
    static H264DecoderTextureInfoCallback second();

    static std::vector<Call> callsFor(uint8_t decoderId);
    static void forget(uint8_t decoderId);
};

// Stands in as a session's delegate in front of the delegate the session had (the instance's
// helper), and passes everything on to it.
class PictureTap : public H264HwDecoderImplDelegate {
  public:
    struct Picture {
        int bytesPerRow = 0;
        std::string md5;  // of the visible pixels, rows packed
    };

    static std::shared_ptr<PictureTap> install(uint8_t decoderId);

    // While holding, each picture waits before it is handed on.
    void setHolding(bool holding) {
        update([&] { holding_ = holding; });
    }
    // Waits until a picture is waiting in a hold; false on timeout.
    bool waitUntilHolding(std::chrono::milliseconds timeout = 20s) {
        return waitFor(timeout, [&] { return waiting_; });
    }
    bool waitForPictures(size_t count, std::chrono::milliseconds timeout = 20s) {
        return waitFor(timeout, [&] { return pictures_.size() >= count; });
    }
    std::vector<Picture> pictures() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return pictures_;
    }
    size_t pictureCount() const { return pictures().size(); }

    void copyRenderBuffer(void* buffer, int32_t format, int32_t width, int32_t height,
                          int32_t bytesPerRow, int32_t extraLeft, int32_t extraRight,
                          int32_t extraTop, int32_t extraBottom) override;
    void forwardTextureInfo(int32_t width, int32_t height) override {
        if (next_) {
            next_->forwardTextureInfo(width, height);
        }
    }

  private:
    explicit PictureTap(std::shared_ptr<H264HwDecoderImplDelegate> next) : next_(std::move(next)) {}
    template <typename Change>
    void update(Change change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change();
        changed_.notify_all();
    }
    template <typename Done>
    bool waitFor(std::chrono::milliseconds timeout, Done done) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, done);
    }

    const std::shared_ptr<H264HwDecoderImplDelegate> next_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    bool waiting_ = false;
    std::vector<Picture> pictures_;
};

}  // namespace decodertest
