// The Metal backend against a fake Metal in the GNU Objective-C runtime, whose objects answer each
// message through the runtime's forwarding hook and count references. Every test ends by checking
// that the backend released what it owned exactly once, messaged nothing after its release, and
// sent every message inside a pool of its own that drained before the call returned.
#include "IUnityGraphicsMetal.h"
#include "MetalTypes.h"
#include "Pictures.h"
#include "RenderAPI.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

using objc::UInteger;
using Names = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
using Texts = std::map<std::string, std::string>;  // an error's texts by selector

namespace {

struct Object {
    std::string name;         // its kind, or a string's text
    bool heldByHost = false;  // the backend must leave its one reference alone
    int references = 1;
    Bytes memory;  // buffer contents or texture pixels, packed rows
    Bytes gpu;     // what the GPU has of a managed buffer: only the ranges marked modified
    Texts texts;
    std::map<std::string, uintptr_t> set;  // what each setter was last given
};

using Offers = std::map<std::pair<unsigned long long, unsigned long long>, IUnityInterface*>;

struct World {
    std::map<id, Object> objects;
    std::vector<std::map<std::string, uintptr_t>> draws;  // what the encoder had bound at each
    Names outsidePools;                                   // messages sent with no pool open
    Names toReleased;                    // receivers of messages after their last release
    std::vector<std::vector<id>> pools;  // open autorelease pools, innermost last
    std::optional<Texts> libraryError, pipelineError;
    id device = nil, encoder = nil;
    Offers offered;  // the host's interfaces by GUID
} world;

Object& objectOf(id object) {
    Object& found = world.objects.at(object);
    if (found.references <= 0) {
        world.toReleased.push_back(found.name);
    }
    return found;
}

id make(const std::string& kind, bool heldByHost = false, size_t bytes = 0) {
    id object = class_createInstance(objc_getClass("FakeObject"), 0);
    world.objects[object] = {kind, heldByHost, 1, Bytes(bytes), {}, {}, {}};
    return object;
}

// As Cocoa hands out objects the caller does not own: released as the innermost pool ends.
id autoreleased(id object) {
    if (!world.pools.empty()) {
        world.pools.back().push_back(object);
    }
    return object;
}

// A new object of the kind, or nil and an autoreleased error when the world is set to fail.
id makeOrFail(const char* kind, const std::optional<Texts>& failure, id* error) {
    if (!failure) {
        return make(kind);
    }
    *error = autoreleased(make("error"));
    objectOf(*error).texts = *failure;
    return nil;
}

// Keeps the rows of a region at the origin of level 0, packed; any other region is ignored, so a
// garbled region or row pitch shows as a picture of the wrong size or content.
void replaceRegion(id texture, SEL, metal::Region region, UInteger level, const void* bytes,
                   UInteger bytesPerRow) {
    const auto [origin, size] = region;
    if (level == 0 && origin.x == 0 && origin.y == 0 && origin.z == 0 && size.depth == 1) {
        objectOf(texture).memory =
            testsupport::packRows(static_cast<const uint8_t*>(bytes), int(size.width),
                                  int(size.height), int(bytesPerRow))
                .pixels;
    }
}

void didModifyRange(id buffer, SEL, objc::Range range) {
    Object& target = objectOf(buffer);
    target.gpu.resize(target.memory.size());
    if (range.location + range.length <= target.memory.size()) {
        std::copy_n(&target.memory[range.location], range.length, &target.gpu[range.location]);
    }
}

template <typename Function>
IMP imp(Function function) {
    return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(function));
}

// What each message the backend sends does; any other setter stores its one argument (an object,
// a number or a flag, each passed in one register) and any other message aborts the program, as
// the runtime's own forwarding does. A descriptor's arrays and their elements stand for the
// descriptor itself, so the backend must neither release them nor message them after the
// descriptor's release.
IMP implementation(id receiver, SEL sent) {
    const std::string name = sel_getName(sent);
    if (world.pools.empty()) {
        world.outsidePools.push_back(name);
    }
    if (world.objects.count(receiver) != 0) {
        objectOf(receiver);  // notes a message to a released object
    }
    static const auto itself = +[](id object, SEL) { return object; };
    static const auto localizedText = +[](id error, SEL selector) -> id {
        const Texts& texts = objectOf(error).texts;
        const auto text = texts.find(sel_getName(selector));
        return text != texts.end() ? autoreleased(make(text->second)) : nil;
    };
    static const std::map<std::string, IMP> implementations = {
        {"alloc",
         imp(+[](id cls, SEL) { return make(class_getName(reinterpret_cast<Class>(cls))); })},
        {"vertexDescriptor", imp(+[](id, SEL) { return autoreleased(make("vertexDescriptor")); })},
        {"init", imp(itself)},
        {"attributes", imp(itself)},
        {"layouts", imp(itself)},
        {"colorAttachments", imp(itself)},
        {"objectAtIndexedSubscript:", imp(itself)},
        {"release", imp(+[](id object, SEL) { --objectOf(object).references; })},
        {"localizedDescription", imp(localizedText)},
        {"localizedFailureReason", imp(localizedText)},
        {"initWithBytes:length:encoding:", imp(itself)},
        {"UTF8String", imp(+[](id string, SEL) { return objectOf(string).name.c_str(); })},
        {"newLibraryWithSource:options:error:", imp(+[](id, SEL, id, id, id* error) {
             return makeOrFail("library", world.libraryError, error);
         })},
        {"newRenderPipelineStateWithDescriptor:error:", imp(+[](id, SEL, id, id* error) {
             return makeOrFail("pipelineState", world.pipelineError, error);
         })},
        {"newFunctionWithName:", imp(+[](id, SEL, id) { return make("function"); })},
        {"newDepthStencilStateWithDescriptor:",
         imp(+[](id, SEL, id) { return make("depthStencilState"); })},
        {"newBufferWithLength:options:",
         imp(+[](id, SEL, UInteger length, UInteger) { return make("buffer", false, length); })},
        {"contents", imp(+[](id buffer, SEL) { return objectOf(buffer).memory.data(); })},
        {"length", imp(+[](id buffer, SEL) { return UInteger(objectOf(buffer).memory.size()); })},
        {"didModifyRange:", imp(&didModifyRange)},
        {"setVertexBuffer:offset:atIndex:",
         imp(+[](id encoder, SEL, uintptr_t buffer, UInteger offset, UInteger index) {
             objectOf(encoder).set["buffer" + std::to_string(index)] = buffer;
             objectOf(encoder).set["offset" + std::to_string(index)] = offset;
         })},
        {"drawPrimitives:vertexStart:vertexCount:",
         imp(+[](id encoder, SEL, UInteger primitive, UInteger start, UInteger count) {
             auto bound = objectOf(encoder).set;
             bound.insert(
                 {{"primitive", primitive}, {"vertexStart", start}, {"vertexCount", count}});
             world.draws.push_back(bound);
         })},
        {"replaceRegion:mipmapLevel:withBytes:bytesPerRow:", imp(&replaceRegion)}};
    const auto found = implementations.find(name);
    if (found != implementations.end()) {
        return found->second;
    }
    const auto set = +[](id object, SEL setter, uintptr_t value) {
        objectOf(object).set[sel_getName(setter)] = value;
    };
    return name.rfind("set", 0) == 0 ? imp(set) : nullptr;
}

// The objects whose count is not what the host holds: leaked, or released once too often.
Names unbalanced() {
    Names names;
    for (const auto& [object, record] : world.objects) {
        if (record.references != int(record.heldByHost)) {
            names.push_back(record.name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The host: its Metal interfaces, and a registry of those it offers.
IUnityGraphicsMetalV1 metalV1{
    nullptr, [] { return world.device; }, nullptr, [] { return world.encoder; }, nullptr, nullptr};
IUnityGraphicsMetal metal{
    nullptr, [] { return world.device; }, nullptr, [] { return world.encoder; }, nullptr, nullptr};

IUnityInterfaces host{[](UnityInterfaceGUID guid) {
                          return world.offered[{guid.m_GUIDHigh, guid.m_GUIDLow}];
                      },
                      nullptr, nullptr, nullptr};

template <typename Interface>
Offers::value_type offer(Interface* interface) {
    const UnityInterfaceGUID guid = UnityInterfaceTraits<Interface>::guid();
    return {{guid.m_GUIDHigh, guid.m_GUIDLow}, reinterpret_cast<IUnityInterface*>(interface)};
}

class MetalBackend : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        __objc_msg_forward2 = &implementation;
        // The first, FakeObject, is the root class of the others.
        for (const char* name : {"FakeObject", "NSString", "MTLVertexDescriptor",
                                 "MTLRenderPipelineDescriptor", "MTLDepthStencilDescriptor"}) {
            objc_registerClassPair(objc_allocateClassPair(objc_getClass("FakeObject"), name, 0));
        }
    }
    void SetUp() override {
        for (const auto& entry : world.objects) {
            object_dispose(entry.first);
        }
        world = World{};
        world.device = make("device", true);
        world.encoder = make("encoder", true);
        world.offered = {offer(&metalV1)};
        backend_.reset(CreateRenderAPI(kUnityGfxRendererMetal));
    }
    void TearDown() override {
        backend_.reset();
        EXPECT_EQ(unbalanced(), Names{});
        EXPECT_EQ(world.toReleased, Names{});
        EXPECT_EQ(world.outsidePools, Names{});
        EXPECT_TRUE(world.pools.empty());
    }
    std::string initialize() {
        testing::internal::CaptureStderr();
        backend_->ProcessDeviceEvent(kUnityGfxDeviceEventInitialize, &host);
        return testing::internal::GetCapturedStderr();
    }

    std::unique_ptr<RenderAPI> backend_;
};

// The versioned Metal interface serves, or the unversioned one on hosts without it; with neither
// the backend stays inert. A failed compilation or pipeline is reported with the error's texts
// and the rest is still made; errors and texts are autoreleased, so the backend must not release
// them. Only Initialize creates anything, and a second one replaces every resource.
TEST_F(MetalBackend, InitializesWhatTheHostAndTheDeviceAllow) {
    const Offers versioned = {offer(&metalV1)};
    const Texts badSource{{"localizedDescription", "Compilation failed"},
                          {"localizedFailureReason", "line 3: bad"}};
    const Texts badPipeline{{"localizedDescription", "Invalid pipeline"}};
    const char* const pipelineReport = "Metal: Error creating pipeline state: Invalid pipeline\n\n";
    const Names withoutPipeline = {"buffer", "buffer", "depthStencilState"};
    const Names all = {"buffer", "buffer", "depthStencilState", "pipelineState"};
    const struct {
        const char* what;
        Offers offers;
        std::optional<Texts> libraryError, pipelineError;
        const char* report;
        Names resources;
    } rows[] = {
        {"versioned", versioned, {}, {}, "", all},
        {"unversioned", {offer(&metal)}, {}, {}, "", all},
        {"neither", {}, {}, {}, "", {}},
        {"bad source", versioned, badSource, {}, "Compilation failed\nline 3: bad\n\n", all},
        {"no error texts", versioned, Texts{}, {}, "<unknown>\n\n\n", all},
        {"bad pipeline", versioned, {}, badPipeline, pipelineReport, withoutPipeline},
    };
    const float zeros[16] = {};  // a world matrix, and the 48 bytes of one triangle
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TearDown();
        SetUp();
        world.offered = row.offers;
        world.libraryError = row.libraryError;
        world.pipelineError = row.pipelineError;
        for (const auto event : {kUnityGfxDeviceEventShutdown, kUnityGfxDeviceEventBeforeReset,
                                 kUnityGfxDeviceEventAfterReset, UnityGfxDeviceEventType(42)}) {
            backend_->ProcessDeviceEvent(event, &host);
        }
        EXPECT_EQ(world.objects.size(), 2u) << "the host's device and encoder only";

        EXPECT_EQ(initialize(), row.report);
        EXPECT_EQ(unbalanced(), row.resources);
        backend_->DrawSimpleTriangles(zeros, 1, zeros);
        EXPECT_EQ(world.draws.size(), row.resources.empty() ? 0u : 1u);
        initialize();
        EXPECT_EQ(unbalanced().size(), row.resources.size());
    }
}

// 21 triangles fill 1008 of the vertex buffer's 1024 bytes; more, or none, draw nothing.
TEST_F(MetalBackend, DrawsWhatFitsItsVertexBufferIntoTheHostsEncoder) {
    initialize();
    Bytes vertices(22 * 48);
    std::iota(vertices.begin(), vertices.end(), uint8_t(3));
    float worldMatrix[16];
    std::iota(worldMatrix, worldMatrix + 16, -7.5f);
    for (const int triangles : {22, 0, -1}) {
        backend_->DrawSimpleTriangles(worldMatrix, triangles, vertices.data());
    }
    EXPECT_EQ(world.draws.size(), 0u);

    backend_->DrawSimpleTriangles(worldMatrix, 21, vertices.data());
    ASSERT_EQ(world.draws.size(), 1u);
    auto& draw = world.draws[0];
    const auto boundAs = [&](const char* key) -> Object& {
        return objectOf(reinterpret_cast<id>(draw[key]));
    };
    EXPECT_EQ(boundAs("setRenderPipelineState:").name, "pipelineState");
    EXPECT_EQ(boundAs("setDepthStencilState:").name, "depthStencilState");
    EXPECT_EQ(std::tuple(draw["setCullMode:"], draw["primitive"], draw["vertexStart"],
                         draw["vertexCount"], draw["offset0"], draw["offset1"]),
              std::tuple(metal::kCullModeNone, metal::kPrimitiveTypeTriangle, 0, 63, 0, 0));
    // The GPU has only what the backend marked modified of the buffers.
    vertices.resize(1008);
    vertices.resize(1024);
    EXPECT_TRUE(boundAs("buffer1").gpu == vertices);
    EXPECT_EQ(std::memcmp(boundAs("buffer0").gpu.data(), worldMatrix, 64), 0);
}

// A picture's corner, its rows as far apart as the whole picture's, replaces level 0 of the host's
// texture through the runtime (structs by value); host buffers map whole and reach the GPU whole.
TEST_F(MetalBackend, UploadsPicturesAndMapsBuffersOfTheHost) {
    testsupport::BgraPicture picture =
        testsupport::readReferencePictures(testsupport::fixtureClip("h264_cbp_1920x1080")).at(0);
    const int width = 640, height = 360, rowPitch = picture.width * 4;
    const Bytes expected =
        testsupport::packRows(picture.pixels.data(), width, height, rowPitch).pixels;
    id texture = make("texture", true);
    const Bytes original = picture.pixels;
    backend_->EndModifyTexture2(texture, width, height, rowPitch, picture.pixels.data());
    EXPECT_TRUE(picture.pixels == original) << "the caller's pixels stay as they were";
    EXPECT_TRUE(objectOf(texture).memory == expected);

    id buffer = make("hostBuffer", true, 256);
    uint64_t size = 0;
    auto* contents = static_cast<uint8_t*>(backend_->BeginModifyVertexBuffer(buffer, &size));
    ASSERT_EQ(contents, objectOf(buffer).memory.data());
    EXPECT_EQ(size, 256u);
    std::fill_n(contents, 256, 0x5A);
    backend_->EndModifyVertexBuffer(buffer);
    EXPECT_TRUE(objectOf(buffer).gpu == Bytes(256, 0x5A));
}

// Each renderer with a backend gets a new one on every call, made without touching a device (no
// OpenGL context is current in this program); every other value gets none. Every backend hands out
// texture buffers of packed rows, which EndModifyTexture frees (the sanitizer builds report a leak
// or a short buffer), and none for sizes beyond 32-bit arithmetic.
TEST(RenderFactory, GivesEachRendererABackendOfItsOwn) {
    for (const auto renderer : {kUnityGfxRendererOpenGLES20, kUnityGfxRendererOpenGLES30,
                                kUnityGfxRendererOpenGLCore, kUnityGfxRendererMetal}) {
        SCOPED_TRACE(renderer);
        const std::unique_ptr<RenderAPI> backend(CreateRenderAPI(renderer));
        ASSERT_NE(backend, nullptr);
        EXPECT_NE(std::unique_ptr<RenderAPI>(CreateRenderAPI(renderer)), backend);
        EXPECT_EQ(backend->GetUsesReverseZ(), renderer == kUnityGfxRendererMetal);
        int rowPitch = 0;
        auto* pixels = static_cast<uint8_t*>(backend->BeginModifyTexture(nullptr, 2, 3, &rowPitch));
        ASSERT_NE(pixels, nullptr);
        EXPECT_EQ(rowPitch, 8);
        pixels[23] = 0xFF;
        backend->EndModifyTexture(nullptr, 2, 3, rowPitch, pixels);
        for (const auto& [width, height] : {std::pair{40000, 40000}, {-2, 3}, {2, -3}}) {
            EXPECT_EQ(backend->BeginModifyTexture(nullptr, width, height, &rowPitch), nullptr);
        }
    }
    for (const int value : {INT_MIN, -1, 0, 1, 2, 4, 7, 9, 10, 12, 15, 18, 21, INT_MAX}) {
        EXPECT_EQ(CreateRenderAPI(UnityGfxRenderer(value)), nullptr) << value;
    }
}

}  // namespace

// The entry points of Apple's runtime that GNU libobjc lacks; the backend's weak references to
// them resolve to these. Popping a pool ends any pool pushed after it, as Apple's does.
extern "C" void* objc_autoreleasePoolPush(void) {
    world.pools.emplace_back();
    return reinterpret_cast<void*>(world.pools.size());
}

extern "C" void objc_autoreleasePoolPop(void* pool) {
    while (world.pools.size() >= reinterpret_cast<size_t>(pool)) {
        for (id object : world.pools.back()) {
            --objectOf(object).references;
        }
        world.pools.pop_back();
    }
}
