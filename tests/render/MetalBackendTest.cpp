// The Metal backend against fake Metal classes registered in the Objective-C runtime: the shader
// it compiles, what it draws and uploads, what it writes into buffers and textures, its error
// messages, that it releases every object it owns exactly once, and that every call does its
// work inside an autorelease pool of its own, which drains before the call returns.
#include "FakeMetal.h"
#include "FakeUnityInterfaces.h"
#include "Pictures.h"
#include "RenderAPI.h"
#include "RenderAPI_Metal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using fakemetal::World;
using Log = std::vector<std::string>;

namespace {

const char kExpectedShaderSource[] =
    "#include <metal_stdlib>\nusing namespace metal;\nstruct AppData\n{\n    float4x4 "
    "worldMatrix;\n};\nstruct Vertex\n{\n    float3 pos [[attribute(0)]];\n    float4 color "
    "[[attribute(1)]];\n};\nstruct VSOutput\n{\n    float4 pos [[position]];\n    half4  "
    "color;\n};\nstruct FSOutput\n{\n    half4 frag_data [[color(0)]];\n};\nvertex VSOutput "
    "vertexMain(Vertex input [[stage_in]], constant AppData& my_cb [[buffer(0)]])\n{\n    "
    "VSOutput out = { my_cb.worldMatrix * float4(input.pos.xyz, 1), (half4)input.color };\n    "
    "return out;\n}\nfragment FSOutput fragmentMain(VSOutput input [[stage_in]])\n{\n    "
    "FSOutput out = { input.color };\n    return out;\n}\n";

// What an initialised backend owns: the vertex and constant buffers, the depth state and the
// pipeline.
const std::vector<std::string> kResources = {"buffer1", "buffer2", "depthStencilState1",
                                             "pipelineState1"};

bool contains(const std::vector<std::string>& log, const std::string& message) {
    return std::find(log.begin(), log.end(), message) != log.end();
}

class MetalBackend : public testing::Test {
  protected:
    void SetUp() override {
        world().reset();
        backend_.reset(CreateRenderAPI(kUnityGfxRendererMetal));
    }
    void TearDown() override {
        backend_.reset();
        EXPECT_TRUE(world().unreleasedObjects().empty());
        EXPECT_TRUE(world().messagesToReleasedObjects().empty());
        EXPECT_EQ(world().outsideAutoreleasePools(), Log{});
        EXPECT_EQ(world().openAutoreleasePools(), 0u);
    }

    static World& world() { return World::get(); }
    void initialize() {
        interfaces_.add(world().graphicsInterface());
        backend_->ProcessDeviceEvent(kUnityGfxDeviceEventInitialize, interfaces_.interfaces());
    }
    std::string initializeCapturingStandardError() {
        testing::internal::CaptureStderr();
        initialize();
        return testing::internal::GetCapturedStderr();
    }

    testsupport::FakeUnityInterfaces interfaces_;
    std::unique_ptr<RenderAPI> backend_;
};

TEST_F(MetalBackend, CreatesItsResourcesOnInitializeOnly) {
    ASSERT_NE(dynamic_cast<RenderAPI_Metal*>(backend_.get()), nullptr);
    EXPECT_TRUE(world().log().empty()) << "nothing is created by the constructor";
    EXPECT_TRUE(backend_->GetUsesReverseZ());

    EXPECT_EQ(initializeCapturingStandardError(), "");

    const fakemetal::StringRecord& source = world().compiledSource();
    EXPECT_EQ(source.encoding, 1u) << "ASCII";
    ASSERT_EQ(source.bytes.size(), 622u);
    EXPECT_EQ(std::string(source.bytes.begin(), source.bytes.end()),
              std::string(kExpectedShaderSource, sizeof kExpectedShaderSource));
    EXPECT_EQ(world().unreleasedObjects(), kResources);
    EXPECT_EQ(world().referenceCount(world().device()), 1) << "the host's device is borrowed";
    EXPECT_EQ(world().referenceCount(world().objectNamed("vertexDescriptor1")), 0)
        << "autoreleased, and released as the device event returns";
}

TEST_F(MetalBackend, IgnoresEveryOtherDeviceEvent) {
    for (const int event : {1, 2, 3, 42}) {
        backend_->ProcessDeviceEvent(UnityGfxDeviceEventType(event), interfaces_.interfaces());
    }
    EXPECT_TRUE(world().log().empty());
    EXPECT_EQ(interfaces_.lookups(), 0);
}

TEST_F(MetalBackend, ASecondInitializeReplacesEveryResource) {
    initialize();
    backend_->ProcessDeviceEvent(kUnityGfxDeviceEventInitialize, interfaces_.interfaces());
    EXPECT_EQ(
        world().unreleasedObjects(),
        (std::vector<std::string>{"buffer3", "buffer4", "depthStencilState2", "pipelineState2"}));
}

TEST_F(MetalBackend, ReleasesItsObjectsInReverseOrderOfTheirRoles) {
    initialize();
    const size_t releasedByInitialize = world().releasedObjects().size();
    backend_.reset();
    const std::vector<std::string> released = world().releasedObjects();
    EXPECT_EQ(Log(released.begin() + long(releasedByInitialize), released.end()),
              (Log{"pipelineState1", "depthStencilState1", "buffer2", "buffer1"}));
}

TEST_F(MetalBackend, DrawsTwentyOneTrianglesIntoTheHostsEncoder) {
    initialize();
    world().clearLog();
    std::vector<uint8_t> vertices(21 * 48);
    for (size_t i = 0; i < vertices.size(); ++i) {
        vertices[i] = uint8_t(i * 7 + 3);
    }
    float worldMatrix[16];
    for (int i = 0; i < 16; ++i) {
        worldMatrix[i] = float(i) - 7.5f;
    }
    backend_->DrawSimpleTriangles(worldMatrix, 21, vertices.data());

    EXPECT_EQ(world().log(),
              (Log{"buffer1 didModifyRange:{0, 1008}", "buffer2 didModifyRange:{0, 64}",
                   "encoder setRenderPipelineState:pipelineState1",
                   "encoder setDepthStencilState:depthStencilState1", "encoder setCullMode:0",
                   "encoder setVertexBuffer:buffer1 offset:0 atIndex:1",
                   "encoder setVertexBuffer:buffer2 offset:0 atIndex:0",
                   "encoder drawPrimitives:3 vertexStart:0 vertexCount:63"}));
    const std::vector<uint8_t>& vertexBuffer = world().bufferBytes(world().objectNamed("buffer1"));
    EXPECT_TRUE(std::equal(vertices.begin(), vertices.end(), vertexBuffer.begin()));
    EXPECT_TRUE(std::all_of(vertexBuffer.begin() + 1008, vertexBuffer.end(),
                            [](uint8_t byte) { return byte == 0; }));
    const std::vector<uint8_t>& constants = world().bufferBytes(world().objectNamed("buffer2"));
    EXPECT_EQ(std::memcmp(constants.data(), worldMatrix, 64), 0);
}

TEST_F(MetalBackend, DrawsNothingBeyondItsVertexBuffer) {
    initialize();
    world().clearLog();
    std::vector<uint8_t> vertices(22 * 48, 0xFF);
    const float worldMatrix[16] = {};
    backend_->DrawSimpleTriangles(worldMatrix, 22, vertices.data());
    backend_->DrawSimpleTriangles(worldMatrix, -1, vertices.data());
    EXPECT_TRUE(world().log().empty());
}

// A decoded 1080p picture replaces level 0 of the host's texture in one message whose region
// and row pitch arrive intact (structs by value through the runtime); padded rows too.
TEST_F(MetalBackend, UploadsPicturesWithOneRegionReplacement) {
    initialize();
    world().clearLog();
    const testsupport::BgraPicture picture =
        testsupport::readReferencePictures(testsupport::fixtureClip("h264_cbp_1920x1080")).at(0);
    std::vector<uint8_t> pixels = picture.pixels;
    id texture = world().newTexture(1920, 1080);

    backend_->BeginModifyTexture2();
    backend_->EndModifyTexture2(texture, 1920, 1080, 7680, pixels.data());

    EXPECT_EQ(world().log(), (Log{"texture1 replaceRegion:{{0, 0, 0}, {1920, 1080, 1}} "
                                  "mipmapLevel:0 withBytes: bytesPerRow:7680"}));
    EXPECT_TRUE(world().texturePixels(texture) == picture.pixels);
    EXPECT_TRUE(pixels == picture.pixels) << "the caller's pixels stay as they were";

    world().clearLog();
    const int paddedPitch = 640 * 4 + 64;
    std::vector<uint8_t> padded(size_t(paddedPitch) * 360, 0xEE);
    for (int y = 0; y < 360; ++y) {
        std::memcpy(&padded[size_t(y) * paddedPitch], &picture.pixels[size_t(y) * 7680], 640 * 4);
    }
    id small = world().newTexture(640, 360);
    backend_->EndModifyTexture2(small, 640, 360, paddedPitch, padded.data());
    EXPECT_EQ(world().log(), (Log{"texture2 replaceRegion:{{0, 0, 0}, {640, 360, 1}} "
                                  "mipmapLevel:0 withBytes: bytesPerRow:2624"}));
    EXPECT_TRUE(world().texturePixels(small) ==
                testsupport::packRows(picture.pixels.data(), 640, 360, 7680).pixels);
}

// The buffer of BeginModifyTexture is uploaded and freed by EndModifyTexture (the sanitizer
// builds would report a leak or a short buffer).
TEST_F(MetalBackend, EndModifyTextureUploadsAndFreesItsBuffer) {
    id texture = world().newTexture(2, 3);
    int rowPitch = 0;
    auto* pixels = static_cast<uint8_t*>(backend_->BeginModifyTexture(texture, 2, 3, &rowPitch));
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(rowPitch, 8);
    for (int i = 0; i < 24; ++i) {
        pixels[i] = uint8_t(i + 1);
    }
    backend_->EndModifyTexture(texture, 2, 3, rowPitch, pixels);
    const std::vector<uint8_t>& stored = world().texturePixels(texture);
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(stored[size_t(i)], i + 1);
    }
}

TEST_F(MetalBackend, MapsTheHostsBuffersAndReportsTheWholeRangeModified) {
    id buffer = world().newBuffer(256);
    uint64_t size = 0;
    void* memory = backend_->BeginModifyVertexBuffer(buffer, &size);
    EXPECT_EQ(size, 256u);
    EXPECT_EQ(memory, world().bufferBytes(buffer).data());
    backend_->EndModifyVertexBuffer(buffer);
    EXPECT_EQ(world().log(), (Log{"hostBuffer1 didModifyRange:{0, 256}"}));
}

// A failed compilation is reported with its description and failure reason, and creation goes on
// with no library and no functions; a failed pipeline is reported the same way, and the depth
// state is still made.
TEST_F(MetalBackend, ReportsCompilationErrorsAndGoesOn) {
    world().libraryError = fakemetal::ErrorTexts{"Compilation failed", "line 3: bad token"};
    EXPECT_EQ(initializeCapturingStandardError(), "Compilation failed\nline 3: bad token\n\n");
    EXPECT_TRUE(contains(world().log(), "pipelineDescriptor1 setVertexFunction:nil"));
    EXPECT_TRUE(contains(world().log(), "pipelineDescriptor1 setFragmentFunction:nil"));
    EXPECT_TRUE(contains(world().log(),
                         "device newRenderPipelineStateWithDescriptor:pipelineDescriptor1 "
                         "error:"));
    EXPECT_EQ(world().referenceCount(world().objectNamed("error1")), 0)
        << "autoreleased, and released as the device event returns";
}

TEST_F(MetalBackend, ReportsCompilationErrorsWithoutTexts) {
    world().libraryError = fakemetal::ErrorTexts{};
    EXPECT_EQ(initializeCapturingStandardError(), "<unknown>\n\n\n");
}

TEST_F(MetalBackend, ReportsPipelineErrorsAndStillMakesTheDepthState) {
    world().pipelineError = fakemetal::ErrorTexts{"Invalid pipeline", std::nullopt};
    EXPECT_EQ(initializeCapturingStandardError(),
              "Metal: Error creating pipeline state: Invalid pipeline\n\n");
    EXPECT_EQ(world().log().back(),
              "device newDepthStencilStateWithDescriptor:depthStencilDescriptor1");
    EXPECT_EQ(world().unreleasedObjects(),
              (std::vector<std::string>{"buffer1", "buffer2", "depthStencilState1"}));
}

// The versioned Metal interface is asked for first; a host without it is served through the
// unversioned one.
TEST_F(MetalBackend, FallsBackToTheUnversionedMetalInterface) {
    interfaces_.add(world().unversionedGraphicsInterface());
    backend_->ProcessDeviceEvent(kUnityGfxDeviceEventInitialize, interfaces_.interfaces());
    EXPECT_EQ(world().unreleasedObjects(), kResources);
    EXPECT_EQ(interfaces_.lookups(), 2);
}

UnityMetalDeviceRef noDevice() {
    return nil;
}

TEST_F(MetalBackend, PrefersTheVersionedMetalInterface) {
    IUnityGraphicsMetal deviceless{nullptr, &noDevice, nullptr, nullptr, nullptr, nullptr};
    interfaces_.add(&deviceless);
    initialize();
    EXPECT_EQ(world().unreleasedObjects(), kResources);
    EXPECT_EQ(interfaces_.lookups(), 1);
}

// A host that hands out no Metal interface leaves the backend inert instead of crashing.
TEST_F(MetalBackend, WithoutTheHostsMetalInterfaceCreatesAndDrawsNothing) {
    backend_->ProcessDeviceEvent(kUnityGfxDeviceEventInitialize, interfaces_.interfaces());
    EXPECT_EQ(interfaces_.lookups(), 2) << "the versioned interface, then the unversioned one";
    const float worldMatrix[16] = {};
    const uint8_t vertices[48] = {};
    backend_->DrawSimpleTriangles(worldMatrix, 1, vertices);
    EXPECT_TRUE(world().log().empty());
}

}  // namespace
