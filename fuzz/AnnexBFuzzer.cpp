// Arbitrary bytes as a stream of access units through a fresh decode session on the platform
// layer. Input: one option byte (bit 0 set: H.265), then the access units, separated as
// FuzzInput.h describes. The delegate checks every picture it is handed and discards it.
#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "H264HwDecoderImpl.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

using fuzzcheck::require;

constexpr double kPtsStep = 3333.0;  // 1/30 s in the session's time base of 1/100000 s

class CheckingDelegate : public H264HwDecoderImplDelegate {
  public:
    void copyRenderBuffer(void* buffer, int32_t withFormat, int32_t withWidth, int32_t withHeight,
                          int32_t withBytesPerRow, int32_t, int32_t, int32_t, int32_t) override {
        require(decoding_.load(), "pictures arrive only while DecodeNALUs runs");
        require(buffer != nullptr && withFormat == 0, "a BGRA picture with pixels");
        require(withWidth > 0 && withHeight > 0, "a picture has a size");
        require(int64_t(withBytesPerRow) >= int64_t(withWidth) * 4, "rows hold the picture");
        touchEveryRow(static_cast<const uint8_t*>(buffer), size_t(withWidth) * 4,
                      size_t(withHeight), size_t(withBytesPerRow));
    }

    void forwardTextureInfo(int32_t width, int32_t withHeight) override {
        require(decoding_.load(), "the session size is reported inside DecodeNALUs");
        require(width > 0 && withHeight > 0, "a new session has a size");
    }

    void setDecoding(bool decoding) { decoding_.store(decoding); }

  private:
    // Reads the first and last byte of every row, so that the address sanitizer sees a
    // picture buffer smaller than its geometry claims.
    void touchEveryRow(const uint8_t* pixels, size_t rowBytes, size_t rows, size_t stride) {
        for (size_t row = 0; row < rows; ++row) {
            const uint8_t* line = pixels + row * stride;
            checksum_ = uint8_t(checksum_ + line[0] + line[rowBytes - 1]);
        }
    }

    std::atomic<bool> decoding_{false};
    uint8_t checksum_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool h265 = (data[0] & 1) != 0;
    const auto delegate = std::make_shared<CheckingDelegate>();
    {
        const auto session = std::make_shared<H264HwDecoderImpl>();
        session->SetH265(h265);
        session->setDelegate(delegate);
        double pts = 0;
        for (const std::vector<uint8_t>& unit : fuzzinput::copyPieces(data + 1, size - 1)) {
            delegate->setDecoding(true);
            session->DecodeNALUs(unit.data(), int32_t(unit.size()), pts);
            delegate->setDecoding(false);
            pts += kPtsStep;
        }
    }
    return 0;
}
