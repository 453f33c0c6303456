// Helpers for the decode session tests: a delegate that records what it is told, NAL unit
// surgery for hand-made access units, and feeding clips access unit by access unit.
#pragma once

#include "AnnexB.h"
#include "Fixtures.h"
#include "H264HwDecoderImpl.h"
#include "Pictures.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hwdecodetest {

using Bytes = std::vector<uint8_t>;

// One picture as the delegate was handed it.
struct DeliveredPicture {
    int32_t format = -1;
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerRow = 0;
    int32_t extraColumnsOnLeft = -1;
    int32_t extraColumnsOnRight = -1;
    int32_t extraRowsOnTop = -1;
    int32_t extraRowsOnBottom = -1;
    std::string md5;                  // of the packed BGRA rows
    testsupport::BgraPicture pixels;  // kept for the first pictures only
    int accessUnit = -1;              // the access unit being decoded when it arrived
};

struct SizeReport {
    int32_t width = 0;
    int32_t height = 0;
    int accessUnit = -1;
};

// Records every size report and every picture; keeps the pixels of the first `keepPixels`
// pictures and the MD5 of all of them. Safe to call from the platform's output thread.
class RecordingDelegate : public H264HwDecoderImplDelegate {
  public:
    explicit RecordingDelegate(size_t keepPixels = 64) : keepPixels_(keepPixels) {}

    void copyRenderBuffer(void* buffer, int32_t withFormat, int32_t withWidth, int32_t withHeight,
                          int32_t withBytesPerRow, int32_t withExtraColumnsOnLeft,
                          int32_t withExtraColumnsOnRight, int32_t withExtraRowsOnTop,
                          int32_t withExtraRowsOnBottom) override;
    void forwardTextureInfo(int32_t width, int32_t withHeight) override;

    // The feeder says which access unit is being decoded, so that reports can be placed.
    void setAccessUnit(int index) { accessUnit_ = index; }

    std::vector<DeliveredPicture> pictures() const;
    std::vector<SizeReport> sizeReports() const;
    size_t pictureCount() const;

  private:
    const size_t keepPixels_;
    std::atomic<int> accessUnit_{-1};
    mutable std::mutex mutex_;
    std::vector<DeliveredPicture> pictures_;
    std::vector<SizeReport> sizeReports_;
};

// A key that no other test of the process uses: session objects live until the process ends.
std::string freshKey();

// A session object registered under a fresh key, with `delegate` set and the codec chosen.
std::shared_ptr<H264HwDecoderImpl> freshHandler(std::shared_ptr<RecordingDelegate> delegate,
                                                bool h265);

// The NAL units of an access unit, without start codes and without the zero bytes that trail
// them (the leading zero of a following four-byte start code).
std::vector<Bytes> splitNalUnits(const Bytes& accessUnit);

// The NAL unit's type as the stream's codec reads its header.
int nalType(const Bytes& nal, bool h265);

// An access unit of `units`, each behind a start code of `startCodeLength` (3 or 4) bytes.
Bytes joinAnnexB(const std::vector<Bytes>& units, size_t startCodeLength = 4);

// The first unit of `accessUnit` of that type; fails the test when there is none.
Bytes firstOfType(const Bytes& accessUnit, int type, bool h265);

// Every access unit of the clip through DecodeNALUs, in order, with pts = 3000 * index.
void feedClip(H264HwDecoderImpl& handler, RecordingDelegate& delegate,
              const std::vector<testsupport::AccessUnit>& units);

bool isH265(const testsupport::FixtureClip& clip);

}  // namespace hwdecodetest
