// What the decode session tests share: a delegate that records what it is handed, a double of
// the platform calls (linked in with --wrap) that counts sessions, records or refuses samples
// and records pixel buffer locks, and NAL unit surgery for hand-made access units.
#pragma once

#include "AnnexB.h"
#include "H264HwDecoderImpl.h"
#include "Pictures.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace hwdecodetest {

using Bytes = std::vector<uint8_t>;
using testsupport::AccessUnit;
using testsupport::FixtureClip;

struct DeliveredPicture {
    int32_t format = -1;
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerRow = 0;
    int32_t extraPixels = -1;  // the four extended pixel counts together
    std::string md5;           // of the packed BGRA rows
    testsupport::BgraPicture pixels;
};

struct SizeReport {
    int32_t width = 0;
    int32_t height = 0;
    int accessUnit = -1;  // the one being decoded when the report came
};

// Keeps the pixels of the first `keepPixels` pictures and the MD5 of all of them. Safe to call
// from the platform's output thread.
class RecordingDelegate : public H264HwDecoderImplDelegate {
  public:
    explicit RecordingDelegate(size_t keepPixels = 0) : keepPixels_(keepPixels) {}

    void copyRenderBuffer(void* buffer, int32_t format, int32_t width, int32_t height,
                          int32_t bytesPerRow, int32_t extraLeft, int32_t extraRight,
                          int32_t extraTop, int32_t extraBottom) override;
    void forwardTextureInfo(int32_t width, int32_t height) override;

    void setAccessUnit(int index) { accessUnit_ = index; }
    std::vector<DeliveredPicture> pictures() const;
    std::vector<std::string> md5s() const;
    std::vector<SizeReport> sizeReports() const;

  private:
    const size_t keepPixels_;
    std::atomic<int> accessUnit_{-1};
    mutable std::mutex mutex_;
    std::vector<DeliveredPicture> pictures_;
    std::vector<SizeReport> sizeReports_;
};

struct Sample {
    Bytes data;
    size_t totalSize = 0;
    CMItemCount count = 0;
    CMTime pts{};
    CMTime duration{};
};

struct Lock {
    bool lock = false;  // or unlock
    CVPixelBufferRef buffer = nullptr;
    CVPixelBufferLockFlags flags = 0;
    std::thread::id thread;
};

// The wrapped platform calls: switches the tests set, and what the calls saw (under `mutex`).
struct Platform {
    std::atomic<bool> recordSamplesInsteadOfDecoding{false};
    std::atomic<OSStatus> nextDecodeStatus{noErr};  // returned, without decoding, once
    std::atomic<int> blockBufferCallsBeforeFailure{-1};
    std::atomic<bool> failDataPointer{false};
    std::atomic<bool> failSampleCreate{false};

    std::mutex mutex;
    std::set<CFTypeRef> liveSessions;
    size_t createdSessions = 0;
    VTDecompressionSessionRef lastSession = nullptr;
    bool lastAskedForHardware = false;
    bool lastRequiredHardware = true;
    int32_t lastPixelFormat = 0;
    std::vector<Sample> samples;
    std::vector<Lock> locks;
};

Platform& platform();
size_t liveSessions();
size_t createdSessions();
std::vector<Sample> takeSamples();
std::vector<Lock> takeLocks();

// A session object registered under a key no other test uses, with `delegate` and the codec set.
std::shared_ptr<H264HwDecoderImpl> freshHandler(std::shared_ptr<RecordingDelegate> delegate,
                                                bool h265);
std::string freshKey();

// The NAL units of an access unit, without start codes and the zero bytes that trail them.
std::vector<Bytes> splitNalUnits(const Bytes& accessUnit);
int nalType(const Bytes& nal, bool h265);
// An access unit of `units`, each behind a start code of `startCodeLength` (3 or 4) bytes.
Bytes joinAnnexB(const std::vector<Bytes>& units, size_t startCodeLength = 4);
// The first unit of that type; fails the test when there is none.
Bytes firstOfType(const Bytes& accessUnit, int type, bool h265);

// Every access unit through DecodeNALUs, in order, with pts = 3000 * index.
void feedClip(H264HwDecoderImpl& handler, RecordingDelegate& delegate,
              const std::vector<AccessUnit>& units);

}  // namespace hwdecodetest
