// CoreFoundation objects as the decode session and its callers use them.
#include <CoreFoundation/CoreFoundation.h>
#include <CoreVideo/CoreVideo.h>
#include <VideoToolbox/VideoToolbox.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

void collect(const void* value, void* context) {
    static_cast<std::vector<const void*>*>(context)->push_back(value);
}

CFNumberRef makeNumber(int32_t value) {
    return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value);
}

TEST(CompatArray, WithoutCallbacksStoresRawPointersInOrder) {
    int blobs[3] = {1, 2, 3};
    CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 16, nullptr);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(CFGetRetainCount(array), 1);
    for (int& blob : blobs) {
        CFArrayAppendValue(array, &blob);
    }
    ASSERT_EQ(CFArrayGetCount(array), 3);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), &blobs[1]);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 3), nullptr);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, -1), nullptr);

    std::vector<const void*> applied;
    CFArrayApplyFunction(array, CFRangeMake(0, CFArrayGetCount(array)), collect, &applied);
    EXPECT_EQ(applied, (std::vector<const void*>{&blobs[0], &blobs[1], &blobs[2]}));
    applied.clear();
    CFArrayApplyFunction(array, CFRangeMake(1, 5), collect, &applied);
    EXPECT_TRUE(applied.empty()) << "a range past the end is refused";

    CFArrayRemoveValueAtIndex(array, 0);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 0), &blobs[1]);
    CFArrayRemoveAllValues(array);
    EXPECT_EQ(CFArrayGetCount(array), 0);
    CFRelease(array);
}

TEST(CompatArray, WithoutCallbacksNeitherRetainsNorReleasesObjects) {
    CFNumberRef number = makeNumber(7);
    CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 16, nullptr);
    CFArrayAppendValue(array, number);
    CFArrayAppendValue(array, number);
    EXPECT_EQ(CFGetRetainCount(number), 1);
    CFArrayRemoveAllValues(array);
    EXPECT_EQ(CFGetRetainCount(number), 1);
    CFArrayAppendValue(array, number);
    CFRelease(array);
    EXPECT_EQ(CFGetRetainCount(number), 1);
    CFRelease(number);
}

TEST(CompatArray, TypeCallbacksRetainWhatTheArrayHolds) {
    CFNumberRef number = makeNumber(7);
    CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(array, number);
    EXPECT_EQ(CFGetRetainCount(number), 2);
    CFArrayRemoveValueAtIndex(array, 0);
    EXPECT_EQ(CFGetRetainCount(number), 1);
    CFArrayAppendValue(array, number);
    CFRelease(array);
    EXPECT_EQ(CFGetRetainCount(number), 1);
    CFRelease(number);
}

TEST(CompatReferenceCounting, RetainAndReleaseBalance) {
    CFNumberRef number = makeNumber(1);
    EXPECT_EQ(CFRetain(number), number);
    EXPECT_EQ(CFGetRetainCount(number), 2);
    CFRelease(number);
    EXPECT_EQ(CFGetRetainCount(number), 1);
    CFRelease(number);  // last release: LeakSanitizer and AddressSanitizer watch the rest
    EXPECT_EQ(CFGetRetainCount(nullptr), 0);
}

TEST(CompatNumber, KeepsValuesAndRefusesLossyReads) {
    CFNumberRef bgra = makeNumber(int32_t(kCVPixelFormatType_32BGRA));
    int32_t narrow = 0;
    int64_t wide = 0;
    EXPECT_TRUE(CFNumberGetValue(bgra, kCFNumberSInt32Type, &narrow));
    EXPECT_EQ(narrow, 0x42475241);
    EXPECT_TRUE(CFNumberGetValue(bgra, kCFNumberSInt64Type, &wide));
    EXPECT_EQ(wide, 0x42475241);
    int8_t tiny = 0;
    EXPECT_FALSE(CFNumberGetValue(bgra, kCFNumberSInt8Type, &tiny));
    EXPECT_EQ(CFNumberGetType(bgra), kCFNumberSInt32Type);

    const double half = 0.5;
    CFNumberRef fraction = CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &half);
    EXPECT_TRUE(CFNumberIsFloatType(fraction));
    EXPECT_FALSE(CFNumberGetValue(fraction, kCFNumberSInt32Type, &narrow));
    EXPECT_EQ(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, nullptr), nullptr);
    EXPECT_EQ(CFNumberCreate(kCFAllocatorDefault, 99, &narrow), nullptr);
    CFRelease(fraction);
    CFRelease(bgra);
}

TEST(CompatBoolean, ConstantsAreDistinctAndImmortal) {
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
    EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
    CFRelease(CFRetain(kCFBooleanTrue));
    CFRelease(kCFBooleanTrue);
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
}

TEST(CompatDictionary, DestinationAttributesAsCallersBuildThem) {
    CFMutableDictionaryRef attributes = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFNumberRef format = makeNumber(int32_t(kCVPixelFormatType_32BGRA));
    CFDictionarySetValue(attributes, kCVPixelBufferOpenGLCompatibilityKey, kCFBooleanFalse);
    CFDictionarySetValue(attributes, kCVPixelBufferPixelFormatTypeKey, format);
    for (CFStringRef key : {kVTDecompressionPropertyKey_ContentHasInterframeDependencies,
                            kVTDecompressionPropertyKey_RealTime,
                            kVTVideoDecoderSpecification_RequireHardwareAcceleratedVideoDecoder,
                            kVTVideoDecoderSpecification_EnableHardwareAcceleratedVideoDecoder}) {
        CFDictionarySetValue(attributes, key, kCFBooleanTrue);
    }
    EXPECT_EQ(CFDictionaryGetCount(attributes), 6);
    EXPECT_EQ(CFGetRetainCount(format), 2) << "the value callbacks retain";
    CFRelease(format);

    EXPECT_EQ(CFDictionaryGetValue(attributes, kCVPixelBufferOpenGLCompatibilityKey),
              kCFBooleanFalse);
    EXPECT_EQ(CFDictionaryGetValue(attributes, kVTDecompressionPropertyKey_RealTime),
              kCFBooleanTrue);
    // Keys are compared by content, as CFEqual compares strings.
    const void* found = CFDictionaryGetValue(attributes, CFSTR("PixelFormatType"));
    ASSERT_NE(found, nullptr);
    int32_t value = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(found), kCFNumberSInt32Type, &value));
    EXPECT_EQ(value, 0x42475241);

    CFDictionarySetValue(attributes, kCVPixelBufferOpenGLCompatibilityKey, kCFBooleanTrue);
    EXPECT_EQ(CFDictionaryGetCount(attributes), 6) << "setting an existing key replaces";
    CFDictionaryRemoveValue(attributes, kCVPixelBufferPixelFormatTypeKey);
    EXPECT_FALSE(CFDictionaryContainsKey(attributes, kCVPixelBufferPixelFormatTypeKey));
    CFRelease(attributes);
}

TEST(CompatDictionary, ImmutableDictionaryRetainsItsEntriesUntilItDies) {
    CFNumberRef number = makeNumber(3);
    CFStringRef key = CFStringCreateWithCString(kCFAllocatorDefault, "key", kCFStringEncodingUTF8);
    const void* keys[] = {key};
    const void* values[] = {number};
    CFDictionaryRef dictionary =
        CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    EXPECT_EQ(CFGetRetainCount(number), 2);
    EXPECT_EQ(CFGetRetainCount(key), 2);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, CFSTR("key")), number);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, CFSTR("other")), nullptr);
    CFRelease(dictionary);
    EXPECT_EQ(CFGetRetainCount(number), 1);
    EXPECT_EQ(CFGetRetainCount(key), 1);
    CFRelease(number);
    CFRelease(key);
    EXPECT_EQ(CFDictionaryCreate(kCFAllocatorDefault, nullptr, nullptr, 2, nullptr, nullptr),
              nullptr);
}

TEST(CompatTypes, WrongObjectsAndNullAreRefusedQuietly) {
    CFNumberRef number = makeNumber(5);
    // A number is not an array or a dictionary: every call answers as for an empty one.
    auto notArray = reinterpret_cast<CFMutableArrayRef>(const_cast<__CFNumber*>(number));
    EXPECT_EQ(CFArrayGetCount(notArray), 0);
    CFArrayAppendValue(notArray, number);
    auto notDictionary = reinterpret_cast<CFDictionaryRef>(number);
    EXPECT_EQ(CFDictionaryGetValue(notDictionary, number), nullptr);
    EXPECT_FALSE(CFBooleanGetValue(reinterpret_cast<CFBooleanRef>(number)));
    EXPECT_EQ(CFArrayGetCount(nullptr), 0);
    CFArrayAppendValue(nullptr, number);
    CFRelease(nullptr);
    EXPECT_EQ(CFGetRetainCount(number), 1);
    CFRelease(number);
}

}  // namespace
