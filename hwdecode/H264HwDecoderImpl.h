// The decode session of one decoder id: splits access units into NAL units, keeps the parameter
// sets, creates the platform decompression session and submits pictures to it. One object per
// decoder id, shared by key through sharedHandler and kept until the process ends.
#pragma once

#include "DecodeStatistics.h"
#include "H264HwDecoderImplDelegate.h"
#include "NalUnits.h"
#include "PictureReorder.h"

#include <CoreFoundation/CoreFoundation.h>
#include <CoreMedia/CoreMedia.h>
#include <VideoToolbox/VideoToolbox.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class H264HwDecoderImpl : public std::enable_shared_from_this<H264HwDecoderImpl> {
  public:
    using Blob = std::vector<uint8_t>;
    using BlobArray = std::vector<Blob>;

    // The object registered under `key` (the decimal text of a decoder id), created and
    // registered on first use. Safe to call from any thread.
    static std::shared_ptr<H264HwDecoderImpl> sharedHandler(const std::string& key);
    // A new object registered under `key` in place of any before it: each decoder instance
    // decodes with one of its own. Safe to call from any thread.
    static std::shared_ptr<H264HwDecoderImpl> createHandler(const std::string& key);
    // Takes `handler` out of the registry, if `key` still names it, so that it ends with its
    // user's last reference. Safe to call from any thread.
    static void releaseHandler(const std::string& key, const H264HwDecoderImpl* handler);

    H264HwDecoderImpl();
    ~H264HwDecoderImpl();
    H264HwDecoderImpl(const H264HwDecoderImpl&) = delete;
    H264HwDecoderImpl& operator=(const H264HwDecoderImpl&) = delete;

    // Chooses H.265 (true) or H.264 (false) parsing and session setup.
    void SetH265(bool h265);

    // Forgets the parameter sets so that the next ones set up a new session, and waits for a
    // random-access point again. Pictures that arrive before then still go to the current
    // session. Waits for a DecodeNALUs in progress.
    void Reset();

    // A unit of the stream was lost: nothing more is submitted before the next random-access
    // point, and no picture of what was submitted so far is delivered. A new session object, and
    // one after Reset, also starts waiting for a random-access point. Any thread.
    void DiscardUntilRandomAccess();

    void CheckSetupEncode265();
    void CheckSetupEncode264();

    // Kept for diagnostics; has no effect.
    void AnalyzeSEI(const uint8_t* bytes, int32_t withLen, int32_t withNAL);

    // Decodes one Annex B access unit; returns once its pictures went to the delegate. Called
    // by one thread at a time.
    void DecodeNALUs(const uint8_t* bytes, int32_t withLen, double withPts);

    // The name of an H.265 SEI payload type carried in a NAL unit of type `withNAL`.
    const char* GetH265SEIDescription(uint32_t payloadType, int32_t withNAL) const;

    // The figures of this session's decoding, which its decoder instance adds its own to.
    const std::shared_ptr<DecodeStatistics>& statistics() const { return _statistics; }

    std::shared_ptr<H264HwDecoderImplDelegate> delegate() const;
    void setDelegate(std::shared_ptr<H264HwDecoderImplDelegate> delegate);

    // The delegate that the picture of a sample submitted with `sourceFrameRefCon` goes to: none
    // while a replaced session is ending, or when a loss came between the sample and now.
    std::shared_ptr<H264HwDecoderImplDelegate> pictureDelegate(void* sourceFrameRefCon) const;
    // The platform could not decode a sample submitted with `sourceFrameRefCon`.
    void NoteFailedDecode(void* sourceFrameRefCon, OSStatus status);

    // A decoded picture on its way to display order; its pixel buffer is retained meanwhile.
    struct HeldPicture {
        int64_t pts = 0;
        void* sourceFrameRefCon = nullptr;
        CVImageBufferRef buffer = nullptr;
    };
    // Whether a picture of time `pts` goes out as the platform hands it out: the stream says it
    // does not reorder, or the platform puts pictures into display order itself (it hands out a
    // picture of another sample than the one being decoded). Output thread.
    bool picturesPassStraightThrough(int64_t pts);
    // The platform hands pictures out in decode order: takes one, and appends to `due` those
    // now due in display order and to `undelivered` those never to be shown. Output thread.
    void OrderPicture(HeldPicture picture, std::vector<HeldPicture>& due,
                      std::vector<HeldPicture>& undelivered);

  private:
    // What filing an access unit's NAL units found.
    struct FiledAccessUnit {
        const uint8_t* firstPicture = nullptr;  // the first picture NAL unit, if any
        size_t firstPictureLength = 0;
        bool complete = true;  // every picture unit made it into _bufArr
    };

    FiledAccessUnit fileNalUnits(const uint8_t* bytes, int32_t length, bool h265);
    bool admitPicture(const uint8_t* bytes, int32_t length, bool h265,
                      const FiledAccessUnit& filed);
    bool appendPictureUnit(const uint8_t* nal, size_t length);
    void submitPictureUnits();
    CMBlockBufferRef joinPictureUnits(size_t* sampleSize);
    CMSampleBufferRef makeSample(CMBlockBufferRef data, size_t sampleSize);
    void releasePictureUnits();
    CMFormatDescriptionRef makeFormatDescription(bool h265);
    void followParameterSets(const uint8_t* bytes, int32_t length, bool h265,
                             const FiledAccessUnit& filed);
    void startSession(CMFormatDescriptionRef format);
    void endSession();
    int statedReorderWindow() const;
    // A reference picture was lost: waits for a random-access point, and asks for one.
    void loseReferences();
    void recordStatus(OSStatus status);
    void dropHeldPictures();

    // First, so that running out of memory for it leaves nothing made before it.
    const std::shared_ptr<DecodeStatistics> _statistics = std::make_shared<DecodeStatistics>();
    CMVideoFormatDescriptionRef _videoFormatDescr = nullptr;
    VTDecompressionSessionRef _session = nullptr;
    std::atomic<bool> _endingSession{false};
    std::atomic<bool> _h265{false};
    bool _isSetup = false;
    // The latest parameter set of each id the stream used, in id order.
    BlobArray _sps;
    BlobArray _pps;
    BlobArray _vps;
    std::vector<uint32_t> _spsIds;
    std::vector<uint32_t> _ppsIds;
    std::vector<uint32_t> _vpsIds;
    // A set changed since the format description was made.
    bool _setsChanged = false;
    // The platform ended the session: the next unit makes a new one.
    std::atomic<bool> _sessionInvalidated{false};
    std::atomic<double> _current{0};
    CFMutableArrayRef _bufArr = nullptr;
    // Losses: each one starts a new delivery epoch, and samples carry the epoch they were
    // submitted in, so that no picture decoded before the loss is delivered after it.
    std::atomic<bool> _awaitingRandomAccess{true};
    std::atomic<uint32_t> _deliveryEpoch{0};
    // Decode thread only: HEVC RASL pictures after the point where decoding started again.
    bool _skippingLeadingPictures = false;
    nalunits::FrameNumberTracker _frameNumbers;
    // Pictures held for display order, for the output thread and whoever ends the session.
    std::mutex _reorderMutex;
    PictureReorder<HeldPicture> _reorder;
    bool _platformReorders = false;
    std::atomic<int64_t> _submittedPts{0};
    // Serialises DecodeNALUs and Reset, so that a Reset from another thread cannot tear the
    // parameter sets or the session from under a decode in progress.
    std::mutex _decodeMutex;
    mutable std::mutex _delegateMutex;
    std::shared_ptr<H264HwDecoderImplDelegate> _delegate;
};
