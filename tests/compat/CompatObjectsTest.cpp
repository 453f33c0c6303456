// The objects that sessions and their callers pass around: what containers retain, which number
// reads are exact, what buffers hold, and what each wrong argument gets, sessions' included.
#include "CompatHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace compattest {
namespace {

std::atomic<int> s_calls{0};

void countCall(void*, void*, OSStatus, VTDecodeInfoFlags, CVImageBufferRef, CMTime, CMTime) {
    ++s_calls;
}

CFNumberRef makeNumber(int64_t value) {
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
}

// With the type callbacks, containers retain what they hold and release it when emptied or
// released, and dictionary keys compare by content; without them they hold plain pointers.
TEST(CompatContainers, HoldAReferenceOnlyWithTypeCallbacks) {
    for (bool retains : {true, false}) {
        CFNumberRef numbers[3] = {makeNumber(1), makeNumber(2), makeNumber(3)};
        CFMutableArrayRef array =
            CFArrayCreateMutable(nullptr, 1, retains ? &kCFTypeArrayCallBacks : nullptr);
        for (CFNumberRef number : numbers) {
            CFArrayAppendValue(array, number);
        }
        const CFStringRef format = kCVPixelBufferPixelFormatTypeKey;
        const void* keys[] = {format, kCVPixelBufferOpenGLCompatibilityKey, format};
        const void* values[] = {kCFBooleanTrue, numbers[1], numbers[2]};
        CFDictionaryRef dictionary = CFDictionaryCreate(
            nullptr, keys, values, 3, retains ? &kCFTypeDictionaryKeyCallBacks : nullptr,
            retains ? &kCFTypeDictionaryValueCallBacks : nullptr);
        EXPECT_EQ(CFGetRetainCount(numbers[1]), retains ? 3 : 1);
        ASSERT_EQ(CFArrayGetCount(array), 3);
        for (CFIndex i = 0; i < 3; ++i) {
            EXPECT_EQ(CFArrayGetValueAtIndex(array, i), numbers[i]);
        }
        const CFStringRef sameKey = retains ? CFSTR("PixelFormatType") : format;
        EXPECT_EQ(CFDictionaryGetValue(dictionary, sameKey), numbers[2])
            << "a key given twice keeps its last value";
        CFArrayRemoveAllValues(array);
        CFArrayAppendValue(array, numbers[2]);
        CFRelease(array);
        CFRelease(dictionary);
        for (CFNumberRef number : numbers) {
            EXPECT_EQ(CFGetRetainCount(number), 1) << (retains ? "released by the containers" : "");
            CFRelease(number);
        }
    }
    EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID()) << "constants outlive releases";
}

// The number read as T: whether the read was exact, and the value it gave.
template <class T, CFNumberType kType>
std::pair<bool, double> readAs(CFNumberRef number) {
    T value{};
    const bool exact = CFNumberGetValue(number, kType, &value);
    return {exact, double(value)};
}

// A number keeps the value it was made of; a read that cannot hold it says so and gives the
// nearest value it can.
TEST(CompatNumber, ReadsAreExactOrReportedLossy) {
    const CFNumberType f64 = kCFNumberFloat64Type, dbl = kCFNumberDoubleType;
    auto real = [](CFNumberType type, double x) { return CFNumberCreate(nullptr, type, &x); };
    const struct {
        CFNumberRef number;
        std::pair<bool, double> (*read)(CFNumberRef);
        std::pair<bool, double> expected;
    } rows[] = {
        {makeNumber(0x42475241), readAs<int32_t, kCFNumberSInt32Type>, {true, 0x42475241}},
        {makeNumber(0x42475241), readAs<int8_t, kCFNumberSInt8Type>, {false, 127}},
        {makeNumber((int64_t(1) << 40) + 1), readAs<float, kCFNumberFloat32Type>, {false, 0x1p40}},
        {real(dbl, 3), readAs<int32_t, kCFNumberSInt32Type>, {true, 3}},
        {real(dbl, 0.5), readAs<int32_t, kCFNumberSInt32Type>, {false, 0}},
        {real(f64, 1e300), readAs<int64_t, kCFNumberSInt64Type>, {false, 0}},
        {real(f64, 0.5), readAs<float, kCFNumberFloat32Type>, {true, 0.5}},
        {real(f64, 0.1), readAs<float, kCFNumberFloat32Type>, {false, 0.1f}},
        {real(f64, 0.1), readAs<double, kCFNumberCGFloatType>, {true, 0.1}},
        {real(f64, 0.1), readAs<double, 99>, {false, 0}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.read(row.number), row.expected) << "row " << &row - rows;
        CFRelease(row.number);
    }
}

// A block handed over with its own free function is written in place, not copied, and freed
// once, with the last reference. Blocks of the layer's own memory carry every decoded sample.
TEST(CompatBlockBuffer, UsesTheCallersBlockInPlaceAndFreesItWithTheLastReference) {
    auto* memory = static_cast<uint8_t*>(std::malloc(10));
    int frees = 0;
    auto countFree = [](void* count, void* block, size_t) {
        ++*static_cast<int*>(count);
        std::free(block);
    };
    CMBlockBufferCustomBlockSource source = {0, nullptr, countFree, &frees};
    CMBlockBufferRef buffer = nullptr;
    ASSERT_EQ(CMBlockBufferCreateWithMemoryBlock(nullptr, memory, 10, nullptr, &source, 0, 10, 0,
                                                 &buffer),
              noErr);
    ASSERT_EQ(CMBlockBufferReplaceDataBytes("abcd", buffer, 0, 4), noErr);
    ASSERT_EQ(CMBlockBufferReplaceDataBytes("efghij", buffer, 4, 6), noErr);
    char* data = nullptr;
    size_t atOffset = 0;
    ASSERT_EQ(CMBlockBufferGetDataPointer(buffer, 3, &atOffset, nullptr, &data), noErr);
    EXPECT_EQ(std::string(data, atOffset), "defghij");
    EXPECT_EQ(std::memcmp(memory, "abcdefghij", 10), 0);
    CFRelease(CFRetain(buffer));
    EXPECT_EQ(frees, 0);
    CFRelease(buffer);
    EXPECT_EQ(frees, 1);
}

// Whatever a caller gets wrong, the answer is an error status or the empty one: no object is made,
// nothing is retained or released, no output callback runs. A format description takes each kind
// of parameter set, valid, in its order (H.264 SPS, PPS; HEVC VPS, SPS, PPS), behind 1-, 2- or
// 4-byte lengths, and trailing zeros.
TEST(CompatObjects, WrongArgumentsGetAnErrorOrTheEmptyAnswerAndChangeNothing) {
    CFNumberRef number = makeNumber(5);
    auto notArray = reinterpret_cast<CFMutableArrayRef>(const_cast<__CFNumber*>(number));
    auto notDictionary = reinterpret_cast<CFDictionaryRef>(number);
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(array, number);
    CFArrayAppendValue(notArray, number);
    CFArrayAppendValue(nullptr, number);
    CFArrayRemoveAllValues(notArray);
    CFRelease(nullptr);
    // Pixel formats as callers make them, 32-bit.
    const OSType formats[] = {kCVPixelFormatType_32BGRA, kCVPixelFormatType_32ARGB};
    CMBlockBufferRef buffer = nullptr, noBuffer = nullptr;
    auto block = [&](size_t length, size_t offset, size_t dataLength, CMBlockBufferRef* out) {
        return CMBlockBufferCreateWithMemoryBlock(nullptr, nullptr, length, nullptr, nullptr,
                                                  offset, dataLength, 0, out);
    };
    ASSERT_EQ(block(8, 0, 8, &buffer), noErr);
    const CMSampleTimingInfo timing = {CMTimeMake(1, 30), CMTimeMake(0, 1), kCMTimeInvalid};
    const size_t sampleSizes[2] = {1, 1};
    CMSampleBufferRef noSample = nullptr;
    auto sample = [&](CMItemCount count, CMItemCount timings, const CMSampleTimingInfo* times,
                      CMSampleBufferRef* out) {
        return CMSampleBufferCreate(nullptr, nullptr, true, nullptr, nullptr, nullptr, count,
                                    timings, times, 1, sampleSizes, out);
    };
    CVPixelBufferRef noPixels = nullptr;
    auto pixels = [&](size_t width, size_t height, OSType format, CVPixelBufferRef* out) {
        return CVPixelBufferCreate(nullptr, width, height, format, nullptr, out);
    };
    const uint8_t zeros[16] = {};
    char* data = nullptr;
    const bool empty = true;
    const OSStatus length = kCMBlockBufferBadLengthParameterErr;
    const OSStatus offset = kCMBlockBufferBadOffsetParameterErr;
    const OSStatus pointer = kCMBlockBufferBadPointerParameterErr;
    const OSStatus count = kCMSampleBufferError_InvalidEntryCount;
    const OSStatus missing = kCMSampleBufferError_RequiredParameterMissing;
    const OSStatus bad = kCMFormatDescriptionError_InvalidParameter, param = kVTParameterErr;
    const Clip clip("h264_cbp_320x240");
    std::map<int, Bytes> a = firstNalUnits(clip.units, Codec::H264);
    std::map<int, Bytes> h = firstNalUnits(Clip("h265_main_320x240").units, Codec::H265);
    const Bytes sps = a[7], pps = a[8], vps = h[32], hSps = h[33], hPps = h[34];
    auto edit = [](Bytes bytes, size_t keep, size_t index = 0, uint8_t orMask = 0) {
        bytes.resize(keep, 0);
        bytes[index] |= orMask;
        return bytes;
    };
    auto check = [](Codec codec, const std::vector<Bytes>& sets, int headerLength = 4) {
        CMFormatDescriptionRef format = nullptr;
        const OSStatus status = describe(codec, sets, &format, headerLength);
        EXPECT_EQ(status == noErr, format != nullptr) << "a description exactly on success";
        CFRelease(format);
        return status;
    };
    const uint8_t *withNull[] = {sps.data(), nullptr}, *both[] = {sps.data(), pps.data()};
    const size_t full[] = {sps.size(), pps.size()}, emptyPps[] = {sps.size(), 0};
    CMFormatDescriptionRef format = nullptr;
    auto raw = [&](const uint8_t* const* pointers, const size_t* sizes) {
        return CMVideoFormatDescriptionCreateFromH264ParameterSets(nullptr, 2, pointers, sizes, 4,
                                                                   &format);
    };
    const Codec avc = Codec::H264, hvc = Codec::H265;
    // An HEVC SPS cut short passes the description, which reads no further than the block sizes.
    CMFormatDescriptionRef cut = nullptr;
    ASSERT_EQ(describe(hvc, {vps, edit(hSps, hSps.size() * 3 / 4), hPps}, &cut), noErr);
    CFNumberRef bgraFormat = CFNumberCreate(nullptr, kCFNumberSInt32Type, &formats[0]);
    CFNumberRef argbFormat = CFNumberCreate(nullptr, kCFNumberSInt32Type, &formats[1]);
    // Callers put the decoder specification keys among the destination attributes too.
    auto destination = [](CFNumberRef pixelFormat) {
        const void* keys[] = {kVTVideoDecoderSpecification_RequireHardwareAcceleratedVideoDecoder,
                              kCVPixelBufferPixelFormatTypeKey};
        const void* values[] = {kCFBooleanTrue, pixelFormat};
        return CFDictionaryCreate(nullptr, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                                  &kCFTypeDictionaryValueCallBacks);
    };
    CFDictionaryRef pictures = destination(bgraFormat), argbPictures = destination(argbFormat);
    const VTDecompressionOutputCallbackRecord record = {countCall, nullptr}, blank = {};
    VTDecompressionSessionRef made = nullptr;
    auto create = [&](CMFormatDescriptionRef description, CFTypeRef specification,
                      CFDictionaryRef attributes,
                      const VTDecompressionOutputCallbackRecord* callback) {
        return VTDecompressionSessionCreate(nullptr, description, (CFDictionaryRef)specification,
                                            attributes, callback, &made);
    };
    ASSERT_EQ(create(clip.format, pictures, pictures, &record), noErr);
    VTDecompressionSessionRef session = std::exchange(made, nullptr);
    CMSampleBufferRef decodable = makeSampleBuffer(clip.sample(0), clip.format, 0);
    CMSampleBufferRef formatless = makeSampleBuffer(clip.sample(0), nullptr, 0);
    VTDecodeInfoFlags info = 99;
    const CFStringRef realTime = kVTDecompressionPropertyKey_RealTime;
    const CFTypeRef yes = kCFBooleanTrue;
    expectStatuses({
        {"value past the end", !CFArrayGetValueAtIndex(array, 1), empty},
        {"value at -1", !CFArrayGetValueAtIndex(array, -1), empty},
        {"count of a number", CFArrayGetCount(notArray) == 0, empty},
        {"array of capacity -1", !CFArrayCreateMutable(nullptr, -1, nullptr), empty},
        {"dictionary without keys", !CFDictionaryCreate(nullptr, nullptr, nullptr, 2, 0, 0), empty},
        {"dictionary of -1", !CFDictionaryCreate(nullptr, nullptr, nullptr, -1, 0, 0), empty},
        {"value in a number", !CFDictionaryGetValue(notDictionary, number), empty},
        {"number from null", !CFNumberCreate(nullptr, kCFNumberSInt32Type, nullptr), empty},
        {"number of type 99", !CFNumberCreate(nullptr, 99, &formats[0]), empty},
        {"value into null", !CFNumberGetValue(number, kCFNumberSInt32Type, nullptr), empty},
        {"constant string from null", !__CFStringMakeConstantString(nullptr), empty},
        {"retain count of null", CFGetRetainCount(nullptr) == 0, empty},
        {"empty block", block(0, 0, 0, &noBuffer), length},
        {"data past the block", block(8, 0, 9, &noBuffer), length},
        {"offset past the block", block(8, 9, 1, &noBuffer), offset},
        {"offset + length wraps", block(8, 4, SIZE_MAX, &noBuffer), length},
        {"no block out pointer", block(8, 0, 8, nullptr), pointer},
        {"replace past the end", CMBlockBufferReplaceDataBytes(zeros, buffer, 4, 5), length},
        {"replace after the end", CMBlockBufferReplaceDataBytes(zeros, buffer, 9, 0), offset},
        {"replace from null", CMBlockBufferReplaceDataBytes(nullptr, buffer, 0, 1), pointer},
        {"replace into null", CMBlockBufferReplaceDataBytes(zeros, nullptr, 0, 1), pointer},
        {"data at the end", CMBlockBufferGetDataPointer(buffer, 8, 0, 0, &data), offset},
        {"data of null", CMBlockBufferGetDataPointer(nullptr, 0, 0, 0, &data), pointer},
        {"2 timings for 3 samples", sample(3, 2, &timing, &noSample), count},
        {"-1 samples", sample(-1, 0, nullptr, &noSample), count},
        {"timings without array", sample(1, 1, nullptr, &noSample), missing},
        {"no sample out pointer", sample(1, 1, &timing, nullptr), missing},
        {"ARGB pixels", pixels(16, 16, formats[1], &noPixels), kCVReturnInvalidPixelFormat},
        {"no columns", pixels(0, 16, formats[0], &noPixels), kCVReturnInvalidSize},
        {"no rows", pixels(16, 0, formats[0], &noPixels), kCVReturnInvalidSize},
        {"1 << 20 columns", pixels(1 << 20, 16, formats[0], &noPixels), kCVReturnInvalidSize},
        {"no pixels out pointer", pixels(16, 16, formats[0], nullptr), kCVReturnInvalidArgument},
        {"lock null", CVPixelBufferLockBaseAddress(nullptr, 0), kCVReturnInvalidArgument},
        {"more trailing zeros", check(avc, {edit(sps, sps.size() + 5), pps}), noErr},
        {"PPS, SPS", check(avc, {pps, sps}), bad},
        {"SPS, SPS", check(avc, {sps, sps}), bad},
        {"SPS alone", check(avc, {sps}), bad},
        {"PPS cut to 1 byte", check(avc, {sps, edit(pps, 1)}), bad},
        {"forbidden_zero_bit", check(avc, {edit(sps, sps.size(), 0, 0x80), pps}), bad},
        {"0-byte lengths", check(avc, {sps, pps}, 0), bad},
        {"3-byte lengths", check(avc, {sps, pps}, 3), bad},
        {"SPS, VPS, PPS", check(hvc, {hSps, vps, hPps}), bad},
        {"VPS, SPS, SPS", check(hvc, {vps, hSps, hSps}), bad},
        {"VPS, SPS", check(hvc, {vps, hSps}), bad},
        {"HEVC SPS cut to 16 bytes", check(hvc, {vps, edit(hSps, 16), hPps}), bad},
        {"SPS of layer 1", check(hvc, {vps, edit(hSps, hSps.size(), 1, 0x08), hPps}), bad},
        {"a null set", raw(withNull, full), bad},
        {"an empty set", raw(both, emptyPps), bad},
        {"no pointers", raw(nullptr, full), bad},
        {"no out pointer", describe(avc, {sps, pps}, nullptr), bad},
        {"create without format", create(nullptr, nullptr, nullptr, &record), param},
        {"create without callback", create(clip.format, nullptr, nullptr, nullptr), param},
        {"create with an empty callback", create(clip.format, nullptr, nullptr, &blank), param},
        {"create without out pointer",
         VTDecompressionSessionCreate(nullptr, clip.format, nullptr, nullptr, &record, nullptr),
         param},
        {"a number as specification", create(clip.format, argbFormat, nullptr, &record), param},
        {"ARGB pictures", create(clip.format, nullptr, argbPictures, &record),
         kVTPixelTransferNotSupportedErr},
        {"an SPS cut short", create(cut, nullptr, nullptr, &record), kVTVideoDecoderBadDataErr},
        {"decode without session", VTDecompressionSessionDecodeFrame(0, decodable, 1, 0, &info),
         param},
        {"decode without format", VTDecompressionSessionDecodeFrame(session, formatless, 1, 0, 0),
         param},
        {"decode no sample", VTDecompressionSessionDecodeFrame(session, nullptr, 1, 0, 0), param},
        {"wait without session", VTDecompressionSessionWaitForAsynchronousFrames(nullptr), param},
        {"drain without session", VTDecompressionSessionFinishDelayedFrames(nullptr), param},
        {"real time", VTSessionSetProperty(session, realTime, yes), noErr},
        {"an unknown property", VTSessionSetProperty(session, CFSTR("NoSuch"), yes),
         kVTPropertyNotSupportedErr},
        {"a number for a flag", VTSessionSetProperty(session, realTime, argbFormat), param},
        {"a property without session", VTSessionSetProperty(nullptr, realTime, yes), param},
    });
    EXPECT_TRUE(!noBuffer && !noSample && !noPixels && !format && !made)
        << "no object where creation failed";
    EXPECT_EQ(CMBlockBufferGetDataLength(nullptr) + CVPixelBufferGetWidth(nullptr), 0u);
    EXPECT_EQ(CFGetRetainCount(number), 2) << "held by the array alone";
    EXPECT_EQ(CMVideoFormatDescriptionGetDimensions(nullptr).width, 0);
    EXPECT_EQ(info, 0u);
    EXPECT_TRUE(VTDecompressionSessionCanAcceptFormatDescription(session, clip.format));
    for (CFTypeRef object :
         {CFTypeRef(decodable), CFTypeRef(formatless), CFTypeRef(pictures), CFTypeRef(argbPictures),
          CFTypeRef(bgraFormat), CFTypeRef(argbFormat), CFTypeRef(cut), CFTypeRef(session),
          CFTypeRef(buffer), CFTypeRef(array), CFTypeRef(number)}) {
        CFRelease(object);
    }
    EXPECT_EQ(s_calls, 0);
}

}  // namespace
}  // namespace compattest
