#include "RenderAPI_Metal.h"

#include "MetalTypes.h"

#include <cstdio>
#include <cstring>

using objc::send;
using objc::UInteger;

namespace {

// The Metal shading language source of the triangle pipeline, zero byte included.
const char kShaderSource[622] =
    "#include <metal_stdlib>\n"
    "using namespace metal;\n"
    "struct AppData\n"
    "{\n"
    "    float4x4 worldMatrix;\n"
    "};\n"
    "struct Vertex\n"
    "{\n"
    "    float3 pos [[attribute(0)]];\n"
    "    float4 color [[attribute(1)]];\n"
    "};\n"
    "struct VSOutput\n"
    "{\n"
    "    float4 pos [[position]];\n"
    "    half4  color;\n"
    "};\n"
    "struct FSOutput\n"
    "{\n"
    "    half4 frag_data [[color(0)]];\n"
    "};\n"
    "vertex VSOutput vertexMain(Vertex input [[stage_in]], constant AppData& my_cb "
    "[[buffer(0)]])\n"
    "{\n"
    "    VSOutput out = { my_cb.worldMatrix * float4(input.pos.xyz, 1), (half4)input.color };\n"
    "    return out;\n"
    "}\n"
    "fragment FSOutput fragmentMain(VSOutput input [[stage_in]])\n"
    "{\n"
    "    FSOutput out = { input.color };\n"
    "    return out;\n"
    "}\n";

constexpr UInteger kVertexBufferSize = 1024;
constexpr UInteger kConstantBufferSize = 64;
constexpr int kTriangleSize = 48;
constexpr int kMaxTriangles = static_cast<int>(kVertexBufferSize) / kTriangleSize;

// Looked up again on every Initialize, for the device that event belongs to.
id MTLVertexDescriptorClass = nil;
id MTLRenderPipelineDescriptorClass = nil;
id MTLDepthStencilDescriptorClass = nil;

// A new (+1) string object holding length bytes of text in the given encoding.
id newString(const char* bytes, UInteger length, UInteger encoding) {
    id allocated = send<id>(objc::classNamed("NSString"), "alloc");
    return send<id, const void*, UInteger, UInteger>(
        allocated, "initWithBytes:length:encoding:", bytes, length, encoding);
}

objc::StrongRef newUtf8String(const char* text) {
    return objc::StrongRef(newString(text, std::strlen(text), metal::kNSUTF8StringEncoding));
}

const char* utf8OrDefault(id string, const char* fallback) {
    const char* text = string != nil ? send<const char*>(string, "UTF8String") : nullptr;
    return text != nullptr ? text : fallback;
}

const char* errorDescription(id error) {
    return utf8OrDefault(send<id>(error, "localizedDescription"), "<unknown>");
}

const char* errorFailureReason(id error) {
    return utf8OrDefault(send<id>(error, "localizedFailureReason"), "");
}

id newInstance(id cls) {
    return send<id>(send<id>(cls, "alloc"), "init");
}

id newBuffer(id device, UInteger length, const char* label) {
    id buffer = send<id, UInteger, UInteger>(device, "newBufferWithLength:options:", length,
                                             metal::kResourceStorageModeManaged);
    send<void, id>(buffer, "setLabel:", newUtf8String(label).get());
    return buffer;
}

id indexed(id array, UInteger index) {
    return send<id, UInteger>(array, "objectAtIndexedSubscript:", index);
}

void setUInteger(id object, const char* selector, UInteger value) {
    send<void, UInteger>(object, selector, value);
}

void setObject(id object, const char* selector, id value) {
    send<void, id>(object, selector, value);
}

void didModify(id buffer, UInteger length) {
    send<void, objc::Range>(buffer, "didModifyRange:", objc::Range{0, length});
}

UInteger widened(int value) {
    return static_cast<UInteger>(static_cast<long>(value));
}

}  // namespace

RenderAPI* CreateRenderAPI_Metal() {
    return new RenderAPI_Metal();
}

RenderAPI_Metal::~RenderAPI_Metal() {
    objc::AutoreleasePool pool;
    pipelineState.reset();
    depthStencilState.reset();
    constantBuffer.reset();
    vertexBuffer.reset();
}

void RenderAPI_Metal::ProcessDeviceEvent(UnityGfxDeviceEventType eventType,
                                         IUnityInterfaces* interfaces) {
    if (eventType != kUnityGfxDeviceEventInitialize) {
        return;
    }
    objc::AutoreleasePool pool;
    metalDevice = nullptr;
    currentCommandEncoder = nullptr;
    if (interfaces != nullptr) {
        // The versioned interface first; hosts that predate it offer only the unversioned one.
        if (const auto* metal = interfaces->Get<IUnityGraphicsMetalV1>()) {
            UseHostInterface(*metal);
        } else if (const auto* unversioned = interfaces->Get<IUnityGraphicsMetal>()) {
            UseHostInterface(*unversioned);
        }
    }
    MTLVertexDescriptorClass = objc::classNamed("MTLVertexDescriptor");
    MTLRenderPipelineDescriptorClass = objc::classNamed("MTLRenderPipelineDescriptor");
    MTLDepthStencilDescriptorClass = objc::classNamed("MTLDepthStencilDescriptor");
    CreateResources();
}

void RenderAPI_Metal::CreateResources() {
    // A host without a Metal interface leaves this backend without resources, drawing nothing.
    if (metalDevice == nullptr) {
        return;
    }
    id device = metalDevice();

    objc::StrongRef source(
        newString(kShaderSource, sizeof kShaderSource, metal::kNSASCIIStringEncoding));
    id error = nil;
    objc::StrongRef library(send<id, id, id, id*>(
        device, "newLibraryWithSource:options:error:", source.get(), nil, &error));
    if (error != nil) {
        std::fprintf(stderr, "%s\n%s\n\n", errorDescription(error), errorFailureReason(error));
    }
    objc::StrongRef vertexFunction(
        send<id, id>(library.get(), "newFunctionWithName:", newUtf8String("vertexMain").get()));
    objc::StrongRef fragmentFunction(
        send<id, id>(library.get(), "newFunctionWithName:", newUtf8String("fragmentMain").get()));

    CreateBuffers(device);
    CreatePipelineState(device, vertexFunction.get(), fragmentFunction.get());
    CreateDepthStencilState(device);
}

void RenderAPI_Metal::CreateBuffers(id device) {
    vertexBuffer.reset(newBuffer(device, kVertexBufferSize, "PluginVB"));
    constantBuffer.reset(newBuffer(device, kConstantBufferSize, "PluginCB"));
}

id RenderAPI_Metal::CreateVertexDescriptor() {
    // The class method hands out an autoreleased descriptor, which is therefore not released here.
    id descriptor = send<id>(MTLVertexDescriptorClass, "vertexDescriptor");
    id attributes = send<id>(descriptor, "attributes");
    id position = indexed(attributes, 0);
    setUInteger(position, "setFormat:", metal::kVertexFormatFloat3);
    setUInteger(position, "setOffset:", 0);
    setUInteger(position, "setBufferIndex:", 1);
    id color = indexed(attributes, 1);
    setUInteger(color, "setFormat:", metal::kVertexFormatUChar4Normalized);
    setUInteger(color, "setOffset:", 12);
    setUInteger(color, "setBufferIndex:", 1);
    id layout = indexed(send<id>(descriptor, "layouts"), 1);
    setUInteger(layout, "setStride:", 16);
    setUInteger(layout, "setStepFunction:", metal::kVertexStepFunctionPerVertex);
    setUInteger(layout, "setStepRate:", 1);
    return descriptor;
}

void RenderAPI_Metal::CreatePipelineState(id device, id vertexFunction, id fragmentFunction) {
    id vertexDescriptor = CreateVertexDescriptor();
    objc::StrongRef descriptor(newInstance(MTLRenderPipelineDescriptorClass));
    id colorAttachment = indexed(send<id>(descriptor.get(), "colorAttachments"), 0);
    setUInteger(colorAttachment, "setPixelFormat:", metal::kPixelFormatBGRA8Unorm);
    send<void, BOOL>(colorAttachment, "setBlendingEnabled:", NO);
    setUInteger(descriptor.get(),
                "setDepthAttachmentPixelFormat:", metal::kPixelFormatDepth32FloatStencil8);
    setUInteger(descriptor.get(),
                "setStencilAttachmentPixelFormat:", metal::kPixelFormatDepth32FloatStencil8);
    setUInteger(descriptor.get(), "setSampleCount:", 1);
    setObject(descriptor.get(), "setVertexFunction:", vertexFunction);
    setObject(descriptor.get(), "setFragmentFunction:", fragmentFunction);
    setObject(descriptor.get(), "setVertexDescriptor:", vertexDescriptor);

    id error = nil;
    pipelineState.reset(send<id, id, id*>(
        device, "newRenderPipelineStateWithDescriptor:error:", descriptor.get(), &error));
    if (error != nil) {
        std::fprintf(stderr, "Metal: Error creating pipeline state: %s\n%s\n",
                     errorDescription(error), errorFailureReason(error));
    }
}

void RenderAPI_Metal::CreateDepthStencilState(id device) {
    objc::StrongRef descriptor(newInstance(MTLDepthStencilDescriptorClass));
    setUInteger(
        descriptor.get(), "setDepthCompareFunction:",
        GetUsesReverseZ() ? metal::kCompareFunctionGreaterEqual : metal::kCompareFunctionLessEqual);
    send<void, BOOL>(descriptor.get(), "setDepthWriteEnabled:", NO);
    depthStencilState.reset(
        send<id, id>(device, "newDepthStencilStateWithDescriptor:", descriptor.get()));
}

void RenderAPI_Metal::DrawSimpleTriangles(const float worldMatrix[16], int triangleCount,
                                          const void* vertices) {
    // More triangles than the vertex buffer holds would write past its end.
    if (vertexBuffer.get() == nil || triangleCount <= 0 || triangleCount > kMaxTriangles) {
        return;
    }
    objc::AutoreleasePool pool;
    const UInteger vertexBytes = widened(triangleCount * kTriangleSize);
    std::memcpy(send<void*>(vertexBuffer.get(), "contents"), vertices, vertexBytes);
    std::memcpy(send<void*>(constantBuffer.get(), "contents"), worldMatrix, kConstantBufferSize);
    didModify(vertexBuffer.get(), vertexBytes);
    didModify(constantBuffer.get(), kConstantBufferSize);

    id encoder = currentCommandEncoder();
    if (encoder == nil) {
        return;
    }
    setObject(encoder, "setRenderPipelineState:", pipelineState.get());
    setObject(encoder, "setDepthStencilState:", depthStencilState.get());
    setUInteger(encoder, "setCullMode:", metal::kCullModeNone);
    send<void, id, UInteger, UInteger>(encoder,
                                       "setVertexBuffer:offset:atIndex:", vertexBuffer.get(), 0, 1);
    send<void, id, UInteger, UInteger>(
        encoder, "setVertexBuffer:offset:atIndex:", constantBuffer.get(), 0, 0);
    send<void, UInteger, UInteger, UInteger>(
        encoder, "drawPrimitives:vertexStart:vertexCount:", metal::kPrimitiveTypeTriangle, 0,
        widened(triangleCount * 3));
}

void* RenderAPI_Metal::BeginModifyTexture(void*, int textureWidth, int textureHeight,
                                          int* outRowPitch) {
    return AllocateTextureBuffer(textureWidth, textureHeight, outRowPitch);
}

void RenderAPI_Metal::EndModifyTexture(void* textureHandle, int textureWidth, int textureHeight,
                                       int rowPitch, void* dataPtr) {
    EndModifyTexture2(textureHandle, textureWidth, textureHeight, rowPitch, dataPtr);
    FreeTextureBuffer(dataPtr);
}

void RenderAPI_Metal::EndModifyTexture2(void* textureHandle, int textureWidth, int textureHeight,
                                        int rowPitch, void* dataPtr) {
    if (textureHandle == nullptr || dataPtr == nullptr) {
        return;
    }
    objc::AutoreleasePool pool;
    const metal::Region region{{0, 0, 0}, {widened(textureWidth), widened(textureHeight), 1}};
    send<void, metal::Region, UInteger, const void*, UInteger>(
        static_cast<id>(textureHandle), "replaceRegion:mipmapLevel:withBytes:bytesPerRow:", region,
        0, dataPtr, widened(rowPitch));
}

void* RenderAPI_Metal::BeginModifyVertexBuffer(void* bufferHandle, uint64_t* outBufferSize) {
    objc::AutoreleasePool pool;
    id buffer = static_cast<id>(bufferHandle);
    *outBufferSize = send<UInteger>(buffer, "length");
    return send<void*>(buffer, "contents");
}

void RenderAPI_Metal::EndModifyVertexBuffer(void* bufferHandle) {
    objc::AutoreleasePool pool;
    id buffer = static_cast<id>(bufferHandle);
    didModify(buffer, send<UInteger>(buffer, "length"));
}
