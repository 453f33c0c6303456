#include "CompatHarness.h"
#include "NalUnits.h"

#include <gtest/gtest.h>

namespace compattest {

namespace {

// Every NAL unit of the access unit, with its type.
std::vector<std::pair<int, Bytes>> splitNalUnits(const AccessUnit& unit, Codec codec) {
    std::vector<std::pair<int, Bytes>> nals;
    for (const nalunits::NalUnit& nal : nalunits::findNalUnits(unit.data(), unit.size())) {
        const uint8_t* first = unit.data() + nal.first;
        nals.emplace_back(
            codec == Codec::H265 ? nalunits::hevcType(*first) : nalunits::h264Type(*first),
            Bytes(first, first + nal.length));
    }
    return nals;
}

}  // namespace

std::map<int, Bytes> firstNalUnits(const std::vector<AccessUnit>& units, Codec codec) {
    std::map<int, Bytes> first;
    for (const AccessUnit& unit : units) {
        for (auto& [type, bytes] : splitNalUnits(unit, codec)) {
            first.emplace(type, std::move(bytes));
        }
    }
    return first;
}

Bytes pictureSample(const AccessUnit& unit, Codec codec, int headerLength) {
    Bytes sample;
    for (const auto& [type, bytes] : splitNalUnits(unit, codec)) {
        if (nalunits::isPictureType(type, codec == Codec::H265)) {
            for (int shift = 8 * (headerLength - 1); shift >= 0; shift -= 8) {
                sample.push_back(uint8_t(bytes.size() >> shift));
            }
            sample.insert(sample.end(), bytes.begin(), bytes.end());
        }
    }
    return sample;
}

OSStatus describe(Codec codec, const std::vector<Bytes>& sets, CMFormatDescriptionRef* out,
                  int headerLength) {
    std::vector<const uint8_t*> pointers;
    std::vector<size_t> sizes;
    for (const Bytes& set : sets) {
        pointers.push_back(set.data());
        sizes.push_back(set.size());
    }
    return codec == Codec::H265 ? CMVideoFormatDescriptionCreateFromHEVCParameterSets(
                                      kCFAllocatorDefault, sets.size(), pointers.data(),
                                      sizes.data(), headerLength, nullptr, out)
                                : CMVideoFormatDescriptionCreateFromH264ParameterSets(
                                      kCFAllocatorDefault, sets.size(), pointers.data(),
                                      sizes.data(), headerLength, out);
}

OSStatus createFormatDescription(const std::vector<AccessUnit>& units, Codec codec,
                                 CMFormatDescriptionRef* out, int headerLength) {
    std::map<int, Bytes> nals = firstNalUnits(units, codec);
    return codec == Codec::H265 ? describe(codec, {nals[32], nals[33], nals[34]}, out, headerLength)
                                : describe(codec, {nals[7], nals[8]}, out, headerLength);
}

CMSampleBufferRef makeSampleBuffer(const Bytes* bytes, CMFormatDescriptionRef format, int64_t pts) {
    const size_t size = bytes ? bytes->size() : 0;
    CMBlockBufferRef block = nullptr;
    if (bytes && CMBlockBufferCreateWithMemoryBlock(nullptr, nullptr, size, nullptr, nullptr, 0,
                                                    size, 0, &block) == noErr) {
        CMBlockBufferReplaceDataBytes(bytes->data(), block, 0, size);
    }
    const CMSampleTimingInfo timing = {CMTimeMake(1, 30), CMTimeMake(pts, 100000), kCMTimeInvalid};
    CMSampleBufferRef sample = nullptr;
    CMSampleBufferCreate(nullptr, block, true, nullptr, nullptr, format, 1, 1, &timing, 1, &size,
                         &sample);
    CFRelease(block);
    return sample;
}

void expectStatuses(std::initializer_list<StatusRow> rows) {
    for (const StatusRow& row : rows) {
        EXPECT_EQ(row.status, row.expected) << row.call;
    }
}

Clip::Clip(const std::string& name, int lengthBytes)
    : info(testsupport::fixtureClip(name)),
      headerLength(lengthBytes),
      units(testsupport::readAccessUnits(info)),
      md5s(testsupport::readFrameMd5s(info)) {
    createFormatDescription(units, info.codec, &format, headerLength);
}

std::vector<std::string> md5sOf(const std::vector<Output>& outputs) {
    std::vector<std::string> md5s;
    for (const Output& output : outputs) {
        md5s.push_back(output.md5);
    }
    return md5s;
}

Session::Session(CMFormatDescriptionRef format, CFDictionaryRef attributes, bool keepPictures)
    : format_(format), keepPictures_(keepPictures) {
    VTDecompressionOutputCallbackRecord record = {&Session::onOutput, this};
    createStatus_ = VTDecompressionSessionCreate(kCFAllocatorDefault, format, nullptr, attributes,
                                                 &record, &session_);
}

Session::~Session() {
    VTDecompressionSessionInvalidate(session_);
    CFRelease(session_);
}

OSStatus Session::decode(const Bytes& sample, int64_t pts) {
    CMSampleBufferRef buffer = makeSampleBuffer(&sample, format_, pts);
    const OSStatus status = VTDecompressionSessionDecodeFrame(
        session_, buffer, kVTDecodeFrame_EnableAsynchronousDecompression, nullptr, nullptr);
    CFRelease(buffer);
    return status;
}

OSStatus Session::decodeAll(const Clip& clip) {
    for (size_t i = 0; i < clip.units.size(); ++i) {
        if (const OSStatus status = decode(clip.sample(i), int64_t(i))) {
            return status;
        }
    }
    return wait();
}

std::vector<Output> Session::outputs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_;
}

size_t Session::outputCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_.size();
}

void Session::onOutput(void* refCon, void*, OSStatus status, VTDecodeInfoFlags,
                       CVImageBufferRef image, CMTime pts, CMTime) {
    Output output;
    output.status = status;
    output.pts = pts.value;
    output.thread = std::this_thread::get_id();
    if (image != nullptr && CVPixelBufferLockBaseAddress(image, 0) == kCVReturnSuccess) {
        output.base = CVPixelBufferGetBaseAddress(image);
        output.width = CVPixelBufferGetWidth(image);
        output.height = CVPixelBufferGetHeight(image);
        output.bytesPerRow = CVPixelBufferGetBytesPerRow(image);
        output.picture =
            testsupport::packRows(static_cast<const uint8_t*>(output.base), int(output.width),
                                  int(output.height), int(output.bytesPerRow));
        output.opaque = true;
        for (size_t i = 3; i < output.picture.pixels.size(); i += 4) {
            output.opaque = output.opaque && output.picture.pixels[i] == 255;
        }
        CVPixelBufferUnlockBaseAddress(image, 0);
        output.md5 = testsupport::md5Hex(output.picture);
    }
    auto* session = static_cast<Session*>(refCon);
    if (!session->keepPictures_) {
        output.picture = testsupport::BgraPicture();
    }
    std::lock_guard<std::mutex> lock(session->mutex_);
    session->outputs_.push_back(std::move(output));
}

}  // namespace compattest
