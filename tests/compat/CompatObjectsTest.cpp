// The objects that sessions and their callers pass around: what containers retain, which number
// reads are exact, what buffers hold, and what each wrong argument gets.
#include "CompatHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace compattest {
namespace {

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
        const void* keys[] = {kCVPixelBufferPixelFormatTypeKey,
                              kCVPixelBufferOpenGLCompatibilityKey,
                              kCVPixelBufferPixelFormatTypeKey};
        const void* values[] = {kCFBooleanTrue, numbers[1], numbers[2]};
        CFDictionaryRef dictionary = CFDictionaryCreate(
            nullptr, keys, values, 3, retains ? &kCFTypeDictionaryKeyCallBacks : nullptr,
            retains ? &kCFTypeDictionaryValueCallBacks : nullptr);
        EXPECT_EQ(CFGetRetainCount(numbers[1]), retains ? 3 : 1);
        ASSERT_EQ(CFArrayGetCount(array), 3);
        for (CFIndex i = 0; i < 3; ++i) {
            EXPECT_EQ(CFArrayGetValueAtIndex(array, i), numbers[i]);
        }
        const CFStringRef pixelFormat =
            retains ? CFSTR("PixelFormatType") : kCVPixelBufferPixelFormatTypeKey;
        EXPECT_EQ(CFDictionaryGetValue(dictionary, pixelFormat), numbers[2])
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
    const CFNumberType i64 = kCFNumberSInt64Type, f64 = kCFNumberFloat64Type;
    const CFNumberType dbl = kCFNumberDoubleType;
    const struct {
        CFNumberType createdAs;
        double value;
        std::pair<bool, double> (*read)(CFNumberRef);
        std::pair<bool, double> expected;
    } rows[] = {
        {i64, 0x42475241, readAs<int32_t, kCFNumberSInt32Type>, {true, 0x42475241}},
        {i64, 0x42475241, readAs<int8_t, kCFNumberSInt8Type>, {false, 127}},
        {i64, 0x1p40 + 1, readAs<float, kCFNumberFloat32Type>, {false, 0x1p40}},
        {dbl, 3, readAs<int32_t, kCFNumberSInt32Type>, {true, 3}},
        {dbl, 0.5, readAs<int32_t, kCFNumberSInt32Type>, {false, 0}},
        {f64, 1e300, readAs<int64_t, kCFNumberSInt64Type>, {false, 0}},
        {f64, 0.5, readAs<float, kCFNumberFloat32Type>, {true, 0.5}},
        {f64, 0.1, readAs<float, kCFNumberFloat32Type>, {false, 0.1f}},
        {f64, 0.1, readAs<double, kCFNumberCGFloatType>, {true, 0.1}},
        {f64, 0.1, readAs<double, 99>, {false, 0}},
    };
    for (const auto& row : rows) {
        CFNumberRef number = row.createdAs == i64
                                 ? makeNumber(int64_t(row.value))
                                 : CFNumberCreate(nullptr, row.createdAs, &row.value);
        EXPECT_EQ(row.read(number), row.expected) << row.value << " of type " << row.createdAs;
        CFRelease(number);
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

// Whatever a caller gets wrong (null, an object of another type, a count, index, size or range
// out of bounds), the answer is an error status or the empty one, no object is made, and nothing
// is retained or released.
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
    CMBlockBufferRef buffer = nullptr, noBuffer = nullptr;
    auto block = [&](size_t length, size_t offset, size_t dataLength, CMBlockBufferRef* out) {
        return CMBlockBufferCreateWithMemoryBlock(nullptr, nullptr, length, nullptr, nullptr,
                                                  offset, dataLength, 0, out);
    };
    ASSERT_EQ(block(8, 0, 8, &buffer), noErr);
    const CMSampleTimingInfo timing = {CMTimeMake(1, 30), CMTimeMake(0, 1), kCMTimeInvalid};
    const size_t sizes[2] = {1, 1};
    CMSampleBufferRef noSample = nullptr;
    auto sample = [&](CMItemCount count, CMItemCount timings, const CMSampleTimingInfo* times,
                      CMSampleBufferRef* out) {
        return CMSampleBufferCreate(nullptr, nullptr, true, nullptr, nullptr, nullptr, count,
                                    timings, times, 1, sizes, out);
    };
    CVPixelBufferRef noPixels = nullptr;
    auto pixels = [&](size_t width, size_t height, OSType format, CVPixelBufferRef* out) {
        return CVPixelBufferCreate(nullptr, width, height, format, nullptr, out);
    };
    const OSType bgra = kCVPixelFormatType_32BGRA;
    const uint8_t bytes[16] = {};
    char* data = nullptr;
    int32_t value = 0;
    const bool empty = true;
    const OSStatus length = kCMBlockBufferBadLengthParameterErr;
    const OSStatus offset = kCMBlockBufferBadOffsetParameterErr;
    const OSStatus pointer = kCMBlockBufferBadPointerParameterErr;
    const OSStatus count = kCMSampleBufferError_InvalidEntryCount;
    const OSStatus missing = kCMSampleBufferError_RequiredParameterMissing;
    expectStatuses({
        {"value past the end", !CFArrayGetValueAtIndex(array, 1), empty},
        {"value at -1", !CFArrayGetValueAtIndex(array, -1), empty},
        {"count of a number", CFArrayGetCount(notArray) == 0, empty},
        {"array of capacity -1", !CFArrayCreateMutable(nullptr, -1, nullptr), empty},
        {"dictionary without keys", !CFDictionaryCreate(nullptr, nullptr, nullptr, 2, 0, 0), empty},
        {"dictionary of -1", !CFDictionaryCreate(nullptr, nullptr, nullptr, -1, 0, 0), empty},
        {"value in a number", !CFDictionaryGetValue(notDictionary, number), empty},
        {"number from null", !CFNumberCreate(nullptr, kCFNumberSInt32Type, nullptr), empty},
        {"number of type 99", !CFNumberCreate(nullptr, 99, &value), empty},
        {"value into null", !CFNumberGetValue(number, kCFNumberSInt32Type, nullptr), empty},
        {"constant string from null", !__CFStringMakeConstantString(nullptr), empty},
        {"retain count of null", CFGetRetainCount(nullptr) == 0, empty},
        {"empty block", block(0, 0, 0, &noBuffer), length},
        {"data past the block", block(8, 0, 9, &noBuffer), length},
        {"offset past the block", block(8, 9, 1, &noBuffer), offset},
        {"offset + length wraps", block(8, 4, SIZE_MAX, &noBuffer), length},
        {"no block out pointer", block(8, 0, 8, nullptr), pointer},
        {"replace past the end", CMBlockBufferReplaceDataBytes(bytes, buffer, 4, 5), length},
        {"replace after the end", CMBlockBufferReplaceDataBytes(bytes, buffer, 9, 0), offset},
        {"replace from null", CMBlockBufferReplaceDataBytes(nullptr, buffer, 0, 1), pointer},
        {"replace into null", CMBlockBufferReplaceDataBytes(bytes, nullptr, 0, 1), pointer},
        {"data at the end", CMBlockBufferGetDataPointer(buffer, 8, 0, 0, &data), offset},
        {"data of null", CMBlockBufferGetDataPointer(nullptr, 0, 0, 0, &data), pointer},
        {"2 timings for 3 samples", sample(3, 2, &timing, &noSample), count},
        {"-1 samples", sample(-1, 0, nullptr, &noSample), count},
        {"timings without array", sample(1, 1, nullptr, &noSample), missing},
        {"no sample out pointer", sample(1, 1, &timing, nullptr), missing},
        {"ARGB pixels", pixels(16, 16, kCVPixelFormatType_32ARGB, &noPixels),
         kCVReturnInvalidPixelFormat},
        {"no columns", pixels(0, 16, bgra, &noPixels), kCVReturnInvalidSize},
        {"no rows", pixels(16, 0, bgra, &noPixels), kCVReturnInvalidSize},
        {"1 << 20 columns", pixels(1 << 20, 16, bgra, &noPixels), kCVReturnInvalidSize},
        {"no pixels out pointer", pixels(16, 16, bgra, nullptr), kCVReturnInvalidArgument},
        {"lock null", CVPixelBufferLockBaseAddress(nullptr, 0), kCVReturnInvalidArgument},
    });
    EXPECT_TRUE(!noBuffer && !noSample && !noPixels) << "no object where creation failed";
    EXPECT_EQ(CMBlockBufferGetDataLength(nullptr) + CVPixelBufferGetWidth(nullptr), 0u);
    EXPECT_EQ(CFGetRetainCount(number), 2) << "held by the array alone";
    CFRelease(buffer);
    CFRelease(array);
    CFRelease(number);
}

}  // namespace
}  // namespace compattest
