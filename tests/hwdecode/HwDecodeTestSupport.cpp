#include "HwDecodeTestSupport.h"

#include <gtest/gtest.h>

namespace hwdecodetest {

void RecordingDelegate::copyRenderBuffer(void* buffer, int32_t withFormat, int32_t withWidth,
                                         int32_t withHeight, int32_t withBytesPerRow,
                                         int32_t withExtraColumnsOnLeft,
                                         int32_t withExtraColumnsOnRight,
                                         int32_t withExtraRowsOnTop,
                                         int32_t withExtraRowsOnBottom) {
    DeliveredPicture picture;
    picture.format = withFormat;
    picture.width = withWidth;
    picture.height = withHeight;
    picture.bytesPerRow = withBytesPerRow;
    picture.extraColumnsOnLeft = withExtraColumnsOnLeft;
    picture.extraColumnsOnRight = withExtraColumnsOnRight;
    picture.extraRowsOnTop = withExtraRowsOnTop;
    picture.extraRowsOnBottom = withExtraRowsOnBottom;
    picture.accessUnit = accessUnit_;
    testsupport::BgraPicture packed = testsupport::packRows(static_cast<const uint8_t*>(buffer),
                                                            withWidth, withHeight, withBytesPerRow);
    picture.md5 = testsupport::md5Hex(packed);
    std::lock_guard<std::mutex> lock(mutex_);
    if (pictures_.size() < keepPixels_) {
        picture.pixels = std::move(packed);
    }
    pictures_.push_back(std::move(picture));
}

void RecordingDelegate::forwardTextureInfo(int32_t width, int32_t withHeight) {
    std::lock_guard<std::mutex> lock(mutex_);
    sizeReports_.push_back({width, withHeight, accessUnit_});
}

std::vector<DeliveredPicture> RecordingDelegate::pictures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pictures_;
}

std::vector<SizeReport> RecordingDelegate::sizeReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sizeReports_;
}

size_t RecordingDelegate::pictureCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pictures_.size();
}

std::string freshKey() {
    static std::atomic<unsigned> next{1};
    return std::to_string(next++);
}

std::shared_ptr<H264HwDecoderImpl> freshHandler(std::shared_ptr<RecordingDelegate> delegate,
                                                bool h265) {
    auto handler = H264HwDecoderImpl::sharedHandler(freshKey());
    handler->setDelegate(std::move(delegate));
    handler->SetH265(h265);
    return handler;
}

std::vector<Bytes> splitNalUnits(const Bytes& accessUnit) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= accessUnit.size(); ++i) {
        if (accessUnit[i] == 0 && accessUnit[i + 1] == 0 && accessUnit[i + 2] == 1) {
            starts.push_back(i + 3);
        }
    }
    std::vector<Bytes> units;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : accessUnit.size();
        while (end > starts[k] && accessUnit[end - 1] == 0) {
            --end;
        }
        units.emplace_back(accessUnit.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                           accessUnit.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return units;
}

int nalType(const Bytes& nal, bool h265) {
    return h265 ? (nal.at(0) >> 1) & 0x3F : nal.at(0) & 0x1F;
}

Bytes joinAnnexB(const std::vector<Bytes>& units, size_t startCodeLength) {
    Bytes joined;
    for (const Bytes& unit : units) {
        joined.insert(joined.end(), startCodeLength - 1, 0x00);
        joined.push_back(0x01);
        joined.insert(joined.end(), unit.begin(), unit.end());
    }
    return joined;
}

Bytes firstOfType(const Bytes& accessUnit, int type, bool h265) {
    for (const Bytes& unit : splitNalUnits(accessUnit)) {
        if (nalType(unit, h265) == type) {
            return unit;
        }
    }
    ADD_FAILURE() << "no NAL unit of type " << type;
    return {};
}

void feedClip(H264HwDecoderImpl& handler, RecordingDelegate& delegate,
              const std::vector<testsupport::AccessUnit>& units) {
    for (size_t i = 0; i < units.size(); ++i) {
        delegate.setAccessUnit(static_cast<int>(i));
        handler.DecodeNALUs(units[i].data(), static_cast<int32_t>(units[i].size()),
                            3000.0 * static_cast<double>(i));
    }
}

bool isH265(const testsupport::FixtureClip& clip) {
    return clip.codec == testsupport::Codec::H265;
}

}  // namespace hwdecodetest
