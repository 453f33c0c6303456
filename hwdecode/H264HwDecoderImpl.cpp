#include "H264HwDecoderImpl.h"

#include "DecompressionOutput.h"
#include "ParameterSets.h"

#include <CoreVideo/CoreVideo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace {

// Every picture NAL unit travels with a big-endian length field of this many bytes, which is
// also what the format description is told.
constexpr int kNalUnitLengthSize = 4;
constexpr int32_t kSampleTimescale = 100000;
constexpr CMTimeFlags kRoundedValidTime = kCMTimeFlags_Valid | kCMTimeFlags_HasBeenRounded;
constexpr VTDecodeFrameFlags kDecodeFlags = kVTDecodeFrame_EnableAsynchronousDecompression;

struct DecoderMap {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<H264HwDecoderImpl>> entries;
};

// The registry of session objects: they live until the library is unloaded. Made on first use,
// so it is destroyed at unload before every global that existed when the library was loaded
// (the platform layer's among them), and after whatever its users make later: the plugin's
// teardown of running instances, whose decode threads use these objects, is made after it.
// Destroying an object ends its session first, so no output thread reaches it afterwards.
DecoderMap& decoderMap() {
    static DecoderMap map;
    return map;
}

// What becomes of a NAL unit: its header decides, for each codec.
enum class NalUnitRole { Picture, Vps, Sps, Pps, Ignored };

NalUnitRole roleOf264(int type) {
    if (type >= 1 && type <= 5) {
        return NalUnitRole::Picture;
    }
    switch (type) {
        case 7:
            return NalUnitRole::Sps;
        case 8:
            return NalUnitRole::Pps;
        default:
            return NalUnitRole::Ignored;
    }
}

NalUnitRole roleOf265(int type) {
    if (type <= 31) {
        return NalUnitRole::Picture;
    }
    switch (type) {
        case 32:
            return NalUnitRole::Vps;
        case 33:
            return NalUnitRole::Sps;
        case 34:
            return NalUnitRole::Pps;
        default:
            return NalUnitRole::Ignored;
    }
}

NalUnitRole roleOf(uint8_t header, bool h265) {
    return h265 ? roleOf265(nalunits::hevcType(header)) : roleOf264(nalunits::h264Type(header));
}

// The epoch a sample was submitted in travels as its source frame reference.
void* epochReference(uint32_t epoch) {
    return reinterpret_cast<void*>(uintptr_t(epoch));
}
uint32_t epochOf(void* sourceFrameRefCon) {
    return uint32_t(reinterpret_cast<uintptr_t>(sourceFrameRefCon));
}

// Keeps a parameter set under its id, in id order, replacing an older one with that id. False
// when it changes nothing: a repetition (a live stream may repeat its sets before every
// picture), or a set that does not parse.
bool keepById(H264HwDecoderImpl::BlobArray& sets, std::vector<uint32_t>& ids, const uint8_t* nal,
              size_t length, bool h265) {
    const std::optional<uint32_t> id = parametersets::parameterSetId(nal, length, h265);
    if (!id) {
        return false;
    }
    const auto position = std::lower_bound(ids.begin(), ids.end(), *id);
    const auto index = position - ids.begin();
    if (position != ids.end() && *position == *id) {
        H264HwDecoderImpl::Blob& kept = sets[size_t(index)];
        if (kept.size() == length && std::equal(kept.begin(), kept.end(), nal)) {
            return false;
        }
        H264HwDecoderImpl::Blob replacement(nal, nal + length);
        kept.swap(replacement);
        return true;
    }
    // Out of memory midway leaves both as they were: the set goes in first, and out again.
    sets.emplace(sets.begin() + index, nal, nal + length);
    try {
        ids.insert(position, *id);
    } catch (...) {
        sets.erase(sets.begin() + index);
        throw;
    }
    return true;
}

// The platform ended the session under its user: after sleep or a change of GPU, or a failure
// of the decoder itself.
bool endsTheSession(OSStatus status) {
    return status == kVTInvalidSessionErr || status == kVTVideoDecoderMalfunctionErr;
}

void writeBigEndian32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

// The presentation time in the sample's time base, truncated toward zero. Times that no signed
// 64-bit value can hold become 0.
int64_t presentationValue(double pts) {
    constexpr double kLimit = 9.2e18;
    if (!std::isfinite(pts) || std::fabs(pts) >= kLimit) {
        return 0;
    }
    return static_cast<int64_t>(pts);
}

CMSampleTimingInfo sampleTiming(double pts) {
    CMSampleTimingInfo timing;
    timing.duration = CMTimeMake(1, 30);
    timing.presentationTimeStamp = CMTimeMake(presentationValue(pts), kSampleTimescale);
    timing.presentationTimeStamp.flags = kRoundedValidTime;
    timing.decodeTimeStamp = kCMTimeInvalid;
    return timing;
}

void releaseIfSet(CFTypeRef object) {
    if (object) {
        CFRelease(object);
    }
}

// Releases a platform object on every way out of a scope. Where the media layer reports running
// out of memory by throwing, that way is an exception, which DecodeNALUs absorbs; nothing made
// before it may be left behind.
struct ObjectReleaser {
    void operator()(CFTypeRef object) const { CFRelease(object); }
};
template <typename Ref>
using OwnedObject = std::unique_ptr<std::remove_pointer_t<Ref>, ObjectReleaser>;

struct MemoryFreer {
    void operator()(uint8_t* memory) const { std::free(memory); }
};

CFDictionaryRef createDestinationAttributes() {
    const int32_t pixelFormat = kCVPixelFormatType_32BGRA;
    const OwnedObject<CFNumberRef> format(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &pixelFormat));
    const void* keys[] = {kCVPixelBufferOpenGLCompatibilityKey, kCVPixelBufferPixelFormatTypeKey};
    const void* values[] = {kCFBooleanFalse, format.get()};
    return CFDictionaryCreate(kCFAllocatorDefault, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
}

// Hardware decoding where the machine has it, software where it does not: requiring it would
// block a stream whose profile the hardware cannot decode.
CFDictionaryRef createDecoderSpecification() {
    const void* keys[] = {kVTVideoDecoderSpecification_EnableHardwareAcceleratedVideoDecoder};
    const void* values[] = {kCFBooleanTrue};
    return CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
}

}  // namespace

std::shared_ptr<H264HwDecoderImpl> H264HwDecoderImpl::sharedHandler(const std::string& key) {
    DecoderMap& map = decoderMap();
    std::lock_guard<std::mutex> lock(map.mutex);
    const auto found = map.entries.find(key);
    if (found != map.entries.end()) {
        return found->second;
    }
    std::fprintf(stderr, "decoder: Allocating decoder instance for %s...\n", key.c_str());
    auto handler = std::make_shared<H264HwDecoderImpl>();
    map.entries.emplace(key, handler);
    return handler;
}

std::shared_ptr<H264HwDecoderImpl> H264HwDecoderImpl::createHandler(const std::string& key) {
    auto handler = std::make_shared<H264HwDecoderImpl>();
    DecoderMap& map = decoderMap();
    std::lock_guard<std::mutex> lock(map.mutex);
    map.entries[key] = handler;
    return handler;
}

void H264HwDecoderImpl::releaseHandler(const std::string& key, const H264HwDecoderImpl* handler) {
    std::shared_ptr<H264HwDecoderImpl> released;  // ends after the registry's lock is released
    DecoderMap& map = decoderMap();
    std::lock_guard<std::mutex> lock(map.mutex);
    const auto found = map.entries.find(key);
    if (found != map.entries.end() && found->second.get() == handler) {
        released = std::move(found->second);
        map.entries.erase(found);
    }
}

H264HwDecoderImpl::H264HwDecoderImpl()
    : _bufArr(CFArrayCreateMutable(kCFAllocatorDefault, 0, nullptr)) {}

H264HwDecoderImpl::~H264HwDecoderImpl() {
    endSession();
    releaseIfSet(_bufArr);
}

void H264HwDecoderImpl::SetH265(bool h265) {
    _h265 = h265;
}

void H264HwDecoderImpl::Reset() {
    std::lock_guard<std::mutex> lock(_decodeMutex);
    _sps.clear();
    _pps.clear();
    _vps.clear();
    _spsIds.clear();
    _ppsIds.clear();
    _vpsIds.clear();
    _setsChanged = false;
    _isSetup = false;
    _frameNumbers = nalunits::FrameNumberTracker();
    DiscardUntilRandomAccess();
}

void H264HwDecoderImpl::DiscardUntilRandomAccess() {
    _deliveryEpoch.fetch_add(1);
    _awaitingRandomAccess = true;
    dropHeldPictures();
}

void H264HwDecoderImpl::loseReferences() {
    DiscardUntilRandomAccess();
    _statistics->startWaitingForKeyframe();
}

void H264HwDecoderImpl::recordStatus(OSStatus status) {
    if (status != 0) {
        _statistics->platformFailed(status);
    }
}

bool H264HwDecoderImpl::picturesPassStraightThrough(int64_t pts) {
    std::lock_guard<std::mutex> lock(_reorderMutex);
    if (pts != _submittedPts.load() && !_platformReorders) {
        _platformReorders = true;
        std::vector<HeldPicture> held;
        _reorder.clear(held);
        for (const HeldPicture& picture : held) {
            CVPixelBufferRelease(picture.buffer);  // none yet: the first picture tells
        }
    }
    return _platformReorders || _reorder.passesStraightThrough();
}

void H264HwDecoderImpl::OrderPicture(HeldPicture picture, std::vector<HeldPicture>& due,
                                     std::vector<HeldPicture>& undelivered) {
    std::lock_guard<std::mutex> lock(_reorderMutex);
    _reorder.push(picture, due, undelivered);
}

void H264HwDecoderImpl::dropHeldPictures() {
    std::vector<HeldPicture> dropped;
    {
        std::lock_guard<std::mutex> lock(_reorderMutex);
        _reorder.clear(dropped);
    }
    for (const HeldPicture& picture : dropped) {
        CVPixelBufferRelease(picture.buffer);
    }
}

// The reorder window the active sequence parameter set states, or -1.
int H264HwDecoderImpl::statedReorderWindow() const {
    if (_sps.empty()) {
        return -1;
    }
    const Blob& sps = _sps.front();
    const size_t length = parametersets::lengthWithoutTrailingZeros(sps.data(), sps.size());
    const std::optional<parametersets::SequenceInfo> info =
        _h265 ? parametersets::parseHevcSps(sps.data(), length)
              : parametersets::parseH264Sps(sps.data(), length);
    return info ? info->reorderWindow : -1;
}

void H264HwDecoderImpl::NoteFailedDecode(void* sourceFrameRefCon, OSStatus status) {
    recordStatus(status);
    _statistics->dropped(DecodeStatistics::Drop::DecodeError);
    if (endsTheSession(status)) {
        _sessionInvalidated = true;  // the decode thread makes a new one before the next unit
    }
    if (epochOf(sourceFrameRefCon) == _deliveryEpoch.load()) {
        loseReferences();
    }
}

void H264HwDecoderImpl::AnalyzeSEI(const uint8_t* bytes, int32_t withLen, int32_t withNAL) {}

std::shared_ptr<H264HwDecoderImplDelegate> H264HwDecoderImpl::delegate() const {
    std::lock_guard<std::mutex> lock(_delegateMutex);
    return _delegate;
}

void H264HwDecoderImpl::setDelegate(std::shared_ptr<H264HwDecoderImplDelegate> delegate) {
    std::lock_guard<std::mutex> lock(_delegateMutex);
    _delegate = std::move(delegate);
}

void H264HwDecoderImpl::DecodeNALUs(const uint8_t* bytes, int32_t withLen, double withPts) {
    std::lock_guard<std::mutex> lock(_decodeMutex);
    const bool h265 = _h265;
    try {
        const FiledAccessUnit filed = fileNalUnits(bytes, withLen, h265);
        if (h265) {
            CheckSetupEncode265();
        } else {
            CheckSetupEncode264();
        }
        followParameterSets(bytes, withLen, h265, filed);
        _current = withPts;
        if (!filed.complete) {
            releasePictureUnits();
            _statistics->dropped(DecodeStatistics::Drop::DecodeError);
            loseReferences();
        } else if (admitPicture(bytes, withLen, h265, filed)) {
            submitPictureUnits();
        } else {
            releasePictureUnits();
        }
    } catch (...) {
        // Out of memory, or a delegate that threw: the access unit is lost, nothing else.
        releasePictureUnits();
    }
}

// Picture units wait in _bufArr; parameter sets are kept aside, every other unit is left out.
H264HwDecoderImpl::FiledAccessUnit H264HwDecoderImpl::fileNalUnits(const uint8_t* bytes,
                                                                   int32_t length, bool h265) {
    FiledAccessUnit filed;
    const size_t size = length > 0 ? size_t(length) : 0;
    for (const nalunits::NalUnit& unit : nalunits::findNalUnits(bytes, size)) {
        const uint8_t* nal = bytes + unit.first;
        switch (roleOf(nal[0], h265)) {
            case NalUnitRole::Picture:
                if (filed.firstPicture == nullptr) {
                    filed.firstPicture = nal;
                    filed.firstPictureLength = unit.length;
                }
                filed.complete = appendPictureUnit(nal, unit.length) && filed.complete;
                break;
            case NalUnitRole::Vps:
                _setsChanged = keepById(_vps, _vpsIds, nal, unit.length, h265) || _setsChanged;
                break;
            case NalUnitRole::Sps:
                _setsChanged = keepById(_sps, _spsIds, nal, unit.length, h265) || _setsChanged;
                break;
            case NalUnitRole::Pps:
                _setsChanged = keepById(_pps, _ppsIds, nal, unit.length, h265) || _setsChanged;
                break;
            case NalUnitRole::Ignored:
                break;
        }
    }
    return filed;
}

// Whether the access unit's pictures may be decoded: not while waiting for a random-access point
// after a loss, not the RASL pictures that follow the point where decoding started again, and
// not an H.264 picture whose frame number shows that reference pictures were lost before it.
bool H264HwDecoderImpl::admitPicture(const uint8_t* bytes, int32_t length, bool h265,
                                     const FiledAccessUnit& filed) {
    if (filed.firstPicture == nullptr || _session == nullptr) {
        return true;  // nothing to decode, or nothing to decode it with: submitting tells
    }
    const nalunits::PictureStart start =
        nalunits::describePictureStart(bytes, size_t(length), h265);
    const bool resuming = _awaitingRandomAccess;
    if (resuming && !start.randomAccess) {
        // Also a stream joined between its keyframes: its sender should send one.
        _statistics->startWaitingForKeyframe();
        _statistics->dropped(DecodeStatistics::Drop::WaitingForKeyframe);
        return false;
    }
    if (start.randomAccess) {
        _skippingLeadingPictures = start.brokenLink || (resuming && start.leadingPicturesSkipped);
        _frameNumbers.restart();
    } else if (_skippingLeadingPictures && start.skippedLeading) {
        _statistics->dropped(DecodeStatistics::Drop::WaitingForKeyframe);
        return false;
    } else if (!start.leading) {
        _skippingLeadingPictures = false;
    }
    const bool gap =
        !h265 && _frameNumbers.pictureFollowsGap(filed.firstPicture, filed.firstPictureLength);
    if (gap && !start.randomAccess) {
        loseReferences();
        _statistics->dropped(DecodeStatistics::Drop::WaitingForKeyframe);
        return false;
    }
    _awaitingRandomAccess = false;
    _statistics->stopWaitingForKeyframe();
    return true;
}

// One picture NAL unit behind its length field, in a block buffer that owns its memory. False
// when its memory or buffer cannot be had.
bool H264HwDecoderImpl::appendPictureUnit(const uint8_t* nal, size_t length) {
    if (_bufArr == nullptr) {
        return false;
    }
    const size_t blockLength = length + kNalUnitLengthSize;
    // The buffer frees the block with the default allocator, which is malloc's.
    std::unique_ptr<uint8_t, MemoryFreer> block(static_cast<uint8_t*>(std::malloc(blockLength)));
    if (!block) {
        return false;
    }
    writeBigEndian32(block.get(), static_cast<uint32_t>(length));
    std::memcpy(block.get() + kNalUnitLengthSize, nal, length);
    CMBlockBufferRef created = nullptr;
    const OSStatus result = CMBlockBufferCreateWithMemoryBlock(
        kCFAllocatorDefault, block.get(), blockLength, kCFAllocatorDefault, nullptr, 0, blockLength,
        0, &created);
    recordStatus(result);
    if (result != kCMBlockBufferNoErr || created == nullptr) {
        return false;
    }
    block.release();
    OwnedObject<CMBlockBufferRef> unit(created);
    CFArrayAppendValue(_bufArr, unit.get());
    unit.release();  // the array's until releasePictureUnits()
    return true;
}

void H264HwDecoderImpl::submitPictureUnits() {
    if (_bufArr == nullptr || CFArrayGetCount(_bufArr) == 0) {
        return;
    }
    if (_session == nullptr) {
        // Nothing can decode before the first session exists: the access unit is lost, and
        // the stream must bring its parameter sets and a keyframe.
        recordStatus(kVTInvalidSessionErr);
        _statistics->dropped(DecodeStatistics::Drop::WaitingForKeyframe);
        _statistics->startWaitingForKeyframe();
        releasePictureUnits();
        return;
    }
    size_t sampleSize = 0;
    const OwnedObject<CMBlockBufferRef> data(joinPictureUnits(&sampleSize));
    const OwnedObject<CMSampleBufferRef> sample(data ? makeSample(data.get(), sampleSize)
                                                     : nullptr);
    if (sample) {
        VTDecodeInfoFlags infoFlags = 0;
        void* const epoch = epochReference(_deliveryEpoch.load());
        _submittedPts = presentationValue(_current);
        _statistics->sampleSubmitted();
        const OSStatus decoded = VTDecompressionSessionDecodeFrame(_session, sample.get(),
                                                                   kDecodeFlags, epoch, &infoFlags);
        recordStatus(decoded);
        if (decoded != 0) {
            NoteFailedDecode(epoch, decoded);
        }
        VTDecompressionSessionWaitForAsynchronousFrames(_session);
    } else {
        _statistics->dropped(DecodeStatistics::Drop::DecodeError);
        loseReferences();  // the unit was lost on its way to the decoder
    }
    releasePictureUnits();
}

// The picture units back to back in one buffer; null when any part of it fails, so that no
// sample goes out with a hole in it.
CMBlockBufferRef H264HwDecoderImpl::joinPictureUnits(size_t* sampleSize) {
    const CFIndex count = CFArrayGetCount(_bufArr);
    size_t total = 0;
    for (CFIndex i = 0; i < count; ++i) {
        total += CMBlockBufferGetDataLength(
            static_cast<CMBlockBufferRef>(const_cast<void*>(CFArrayGetValueAtIndex(_bufArr, i))));
    }
    CMBlockBufferRef created = nullptr;
    OSStatus result = CMBlockBufferCreateWithMemoryBlock(
        kCFAllocatorDefault, nullptr, total, kCFAllocatorDefault, nullptr, 0, total, 0, &created);
    recordStatus(result);
    if (result != kCMBlockBufferNoErr || created == nullptr) {
        return nullptr;
    }
    OwnedObject<CMBlockBufferRef> joined(created);
    size_t offset = 0;
    for (CFIndex i = 0; i < count && result == kCMBlockBufferNoErr; ++i) {
        auto unit =
            static_cast<CMBlockBufferRef>(const_cast<void*>(CFArrayGetValueAtIndex(_bufArr, i)));
        char* unitData = nullptr;
        size_t unitLength = 0;
        result = CMBlockBufferGetDataPointer(unit, 0, nullptr, &unitLength, &unitData);
        if (result == kCMBlockBufferNoErr) {
            result = CMBlockBufferReplaceDataBytes(unitData, joined.get(), offset, unitLength);
            offset += unitLength;
        }
        recordStatus(result);
    }
    if (result != kCMBlockBufferNoErr) {
        return nullptr;
    }
    *sampleSize = offset;
    return joined.release();
}

CMSampleBufferRef H264HwDecoderImpl::makeSample(CMBlockBufferRef data, size_t sampleSize) {
    const CMSampleTimingInfo timing = sampleTiming(_current);
    CMSampleBufferRef sample = nullptr;
    const OSStatus result =
        CMSampleBufferCreate(kCFAllocatorDefault, data, true, nullptr, nullptr, _videoFormatDescr,
                             1, 1, &timing, 1, &sampleSize, &sample);
    recordStatus(result);
    if (result != 0 && sample != nullptr) {
        CFRelease(sample);
        return nullptr;
    }
    return sample;
}

void H264HwDecoderImpl::releasePictureUnits() {
    if (_bufArr == nullptr) {
        return;
    }
    const CFIndex count = CFArrayGetCount(_bufArr);
    for (CFIndex i = 0; i < count; ++i) {
        CFRelease(CFArrayGetValueAtIndex(_bufArr, i));
    }
    CFArrayRemoveAllValues(_bufArr);
}

void H264HwDecoderImpl::CheckSetupEncode264() {
    if (_sps.empty() || _pps.empty() || (_isSetup && !_sessionInvalidated)) {
        return;
    }
    startSession(makeFormatDescription(false));
}

void H264HwDecoderImpl::CheckSetupEncode265() {
    if (_vps.empty() || _sps.empty() || _pps.empty() || (_isSetup && !_sessionInvalidated)) {
        return;
    }
    startSession(makeFormatDescription(true));
}

// A format description of every parameter set kept, VPS, SPS and PPS in id order; null when the
// platform refuses them.
CMFormatDescriptionRef H264HwDecoderImpl::makeFormatDescription(bool h265) {
    std::vector<const uint8_t*> pointers;
    std::vector<size_t> sizes;
    for (const BlobArray* kind : {&_vps, &_sps, &_pps}) {
        for (const Blob& set : *kind) {
            pointers.push_back(set.data());
            sizes.push_back(set.size());
        }
    }
    _setsChanged = false;
    // Frame numbers are read with the sets that are in force, from here on.
    _frameNumbers = nalunits::FrameNumberTracker();
    if (!h265) {
        for (const Blob& sps : _sps) {
            _frameNumbers.addSequenceSet(sps.data(), sps.size());
        }
        for (const Blob& pps : _pps) {
            _frameNumbers.addPictureSet(pps.data(), pps.size());
        }
    }
    CMFormatDescriptionRef format = nullptr;
    const OSStatus result = h265 ? CMVideoFormatDescriptionCreateFromHEVCParameterSets(
                                       kCFAllocatorDefault, pointers.size(), pointers.data(),
                                       sizes.data(), kNalUnitLengthSize, nullptr, &format)
                                 : CMVideoFormatDescriptionCreateFromH264ParameterSets(
                                       kCFAllocatorDefault, pointers.size(), pointers.data(),
                                       sizes.data(), kNalUnitLengthSize, &format);
    recordStatus(result);
    if (result != 0) {
        releaseIfSet(format);
        return nullptr;
    }
    return format;
}

// Parameter sets that changed take effect at the next random-access unit: the pictures the
// session still holds go out first, then the session takes the new format description, or a
// new session replaces it when it cannot. Sets the platform refuses leave the session as it is.
void H264HwDecoderImpl::followParameterSets(const uint8_t* bytes, int32_t length, bool h265,
                                            const FiledAccessUnit& filed) {
    if (!_setsChanged || _session == nullptr || filed.firstPicture == nullptr ||
        !nalunits::describePictureStart(bytes, size_t(length), h265).randomAccess) {
        return;
    }
    CMFormatDescriptionRef format = makeFormatDescription(h265);
    if (format == nullptr) {
        return;
    }
    VTDecompressionSessionFinishDelayedFrames(_session);
    VTDecompressionSessionWaitForAsynchronousFrames(_session);
    if (VTDecompressionSessionCanAcceptFormatDescription(_session, format)) {
        releaseIfSet(_videoFormatDescr);
        _videoFormatDescr = format;
        std::lock_guard<std::mutex> lock(_reorderMutex);
        _reorder.restart(statedReorderWindow());
        return;
    }
    startSession(format);
}

// Replaces the session and format description with new ones made from `format` (taken over,
// may be null). The ones replaced are ended first: the decode thread is here, between samples,
// and every picture of the last sample has already been delivered.
void H264HwDecoderImpl::startSession(CMFormatDescriptionRef format) {
    endSession();
    _videoFormatDescr = format;
    if (format == nullptr) {
        return;
    }
    const OwnedObject<CFDictionaryRef> specification(createDecoderSpecification());
    const OwnedObject<CFDictionaryRef> attributes(createDestinationAttributes());
    const VTDecompressionOutputCallbackRecord callback = {didDecompress, this};
    VTDecompressionSessionRef created = nullptr;
    const OSStatus result = VTDecompressionSessionCreate(
        kCFAllocatorDefault, format, specification.get(), attributes.get(), &callback, &created);
    recordStatus(result);
    if (result != 0) {
        releaseIfSet(created);
        return;
    }
    _session = created;
    _sessionInvalidated = false;
    {
        std::lock_guard<std::mutex> lock(_reorderMutex);
        _reorder.restart(statedReorderWindow());
        _platformReorders = false;
    }
    // Live video: the decoder should keep pace rather than favour throughput. A hint only.
    VTSessionSetProperty(created, kVTDecompressionPropertyKey_RealTime, kCFBooleanTrue);
    const CMVideoDimensions size = CMVideoFormatDescriptionGetDimensions(format);
    _statistics->sessionStarted(size.width, size.height);
    _isSetup = true;
    if (const auto listener = delegate()) {
        listener->forwardTextureInfo(size.width, size.height);
    }
}

// Pictures that the ending session still held back for reordering belong to the stream before
// the Reset; they are dropped rather than shown in the stream that follows.
void H264HwDecoderImpl::endSession() {
    if (_session) {
        _endingSession = true;
        VTDecompressionSessionWaitForAsynchronousFrames(_session);
        VTDecompressionSessionInvalidate(_session);
        CFRelease(_session);
        _session = nullptr;
        _endingSession = false;
    }
    dropHeldPictures();
    releaseIfSet(_videoFormatDescr);
    _videoFormatDescr = nullptr;
}

std::shared_ptr<H264HwDecoderImplDelegate> H264HwDecoderImpl::pictureDelegate(
    void* sourceFrameRefCon) const {
    if (_endingSession) {
        return nullptr;
    }
    const bool current = epochOf(sourceFrameRefCon) == _deliveryEpoch.load();
    if (_awaitingRandomAccess || !current) {
        _statistics->dropped(DecodeStatistics::Drop::WaitingForKeyframe);
        return nullptr;
    }
    return delegate();
}
