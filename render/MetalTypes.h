// The few Metal value types and enumeration values the Metal backend passes in messages, with
// the layout and values of the platform's published Metal interface (NSUInteger fields).
#pragma once

#include "ObjCRuntime.h"

namespace metal {

struct Origin {
    objc::UInteger x;
    objc::UInteger y;
    objc::UInteger z;
};

struct Size {
    objc::UInteger width;
    objc::UInteger height;
    objc::UInteger depth;
};

struct Region {
    Origin origin;
    Size size;
};

constexpr objc::UInteger kNSASCIIStringEncoding = 1;
constexpr objc::UInteger kNSUTF8StringEncoding = 4;
constexpr objc::UInteger kResourceStorageModeManaged = 16;
constexpr objc::UInteger kVertexFormatUChar4Normalized = 9;
constexpr objc::UInteger kVertexFormatFloat3 = 30;
constexpr objc::UInteger kVertexStepFunctionPerVertex = 1;
constexpr objc::UInteger kPixelFormatBGRA8Unorm = 80;
constexpr objc::UInteger kPixelFormatDepth32FloatStencil8 = 260;
constexpr objc::UInteger kCompareFunctionLessEqual = 3;
constexpr objc::UInteger kCompareFunctionGreaterEqual = 6;
constexpr objc::UInteger kCullModeNone = 0;
constexpr objc::UInteger kPrimitiveTypeTriangle = 3;

}  // namespace metal
