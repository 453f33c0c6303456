#include "DecoderTestSupport.h"

#include "H264HwDecoderImpl.h"
#include "Pictures.h"
#include "UtfConversion.h"

#include <gtest/gtest.h>

#include <map>

namespace decodertest {

std::u16string utf16(const std::string& utf8Text) {
    return convertUTFFormat8toV<char, char16_t>(utf8Text);
}

std::string utf8(const std::u16string& utf16Text) {
    return convertUTFFormatVto8<char16_t, char>(utf16Text);
}

std::string textureInfoText(int width, int height) {
    return "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
           ",\"format\":0,\"linear\":true,\"mipMap\":false}";
}

std::string textureDescription(int width, int height, int format) {
    return "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
           ",\"mipMap\":false,\"format\":" + std::to_string(format) + "}";
}

namespace {

std::mutex g_callsMutex;
std::map<uint8_t, std::vector<TextureInfoLog::Call>> g_calls;

template <int callback>
void record(const uint8_t* decoderId, const H264DecoderChar16* text) {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_calls[*decoderId].push_back({callback, decoderId, *decoderId, utf8(text)});
}

const rapidjson::Value& memberOf(const rapidjson::Value& object, const char* name) {
    static const rapidjson::Value kMissing;
    if (!object.IsObject() || !object.HasMember(name)) {
        ADD_FAILURE() << "the statistics have no member " << name;
        return kMissing;
    }
    return object[name];
}

uint64_t countOf(const rapidjson::Value& value) {
    EXPECT_TRUE(value.IsUint64());
    return value.IsUint64() ? value.GetUint64() : 0;
}

}  // namespace

H264DecoderTextureInfoCallback TextureInfoLog::first() {
    return &record<1>;
}

H264DecoderTextureInfoCallback TextureInfoLog::second() {
    return &record<2>;
}

std::vector<TextureInfoLog::Call> TextureInfoLog::callsFor(uint8_t decoderId) {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    return g_calls[decoderId];
}

void TextureInfoLog::forget(uint8_t decoderId) {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_calls.erase(decoderId);
}

std::shared_ptr<PictureTap> PictureTap::install(uint8_t decoderId) {
    const auto session = H264HwDecoderImpl::sharedHandler(std::to_string(unsigned(decoderId)));
    std::shared_ptr<PictureTap> tap(new PictureTap(session->delegate()));
    session->setDelegate(tap);
    return tap;
}

void PictureTap::copyRenderBuffer(void* buffer, int32_t format, int32_t width, int32_t height,
                                  int32_t bytesPerRow, int32_t extraLeft, int32_t extraRight,
                                  int32_t extraTop, int32_t extraBottom) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        waiting_ = holding_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !holding_; });
        waiting_ = false;
    }
    const std::string md5 = testsupport::md5Hex(
        testsupport::packRows(static_cast<const uint8_t*>(buffer), width, height, bytesPerRow));
    if (next_) {
        next_->copyRenderBuffer(buffer, format, width, height, bytesPerRow, extraLeft, extraRight,
                                extraTop, extraBottom);
    }
    update([&] { pictures_.push_back({bytesPerRow, md5}); });
}

Statistics::Statistics(const std::string& json) {
    json_.Parse(json.c_str());
    EXPECT_FALSE(json_.HasParseError()) << json;
}

uint64_t Statistics::count(const char* name) const {
    return countOf(memberOf(json_, name));
}

uint64_t Statistics::dropped(const char* reason) const {
    return countOf(memberOf(memberOf(json_, "dropped"), reason));
}

bool Statistics::flag(const char* name) const {
    const rapidjson::Value& value = memberOf(json_, name);
    EXPECT_TRUE(value.IsBool()) << name;
    return value.IsBool() && value.GetBool();
}

}  // namespace decodertest
