// The Metal backend against a fake Metal in the GNU Objective-C runtime (no Objective-C compiler):
// classes of the names the backend looks up, whose instances answer each message through the
// runtime's forwarding hook. The fake counts references, so every test ends by checking that the
// backend released what it owned exactly once, messaged nothing after its release, and did all
// its work inside an autorelease pool of its own that drained before the call returned.
#include "IUnityGraphicsMetal.h"
#include "MetalTypes.h"
#include "Pictures.h"
#include "RenderAPI.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

using objc::UInteger;
using Names = std::vector<std::string>;

namespace {

struct ErrorTexts {
    std::optional<std::string> description, failureReason;
};

struct Object {
    std::string name;
    bool heldByHost = false;  // the backend must leave its one reference alone
    int references = 1;
    std::string text;
    std::vector<uint8_t> memory;  // buffer contents or texture pixels, 4 bytes a pixel
    UInteger width = 0;
    ErrorTexts errorTexts;
};

struct World {
    std::map<id, Object> objects;
    std::map<std::string, int> counters;
    Names log;           // every message that changes something, as "receiver message"
    Names outsidePools;  // messages, releases and autoreleases with no pool open
    Names toReleased;    // receivers of messages after their last release
    std::vector<std::vector<id>> pools;  // open autorelease pools, innermost last
    std::optional<ErrorTexts> libraryError, pipelineError;
    id device = nil, encoder = nil;
} world;

Object& objectOf(id object) {
    Object& found = world.objects.at(object);
    if (found.references <= 0) {
        world.toReleased.push_back(found.name);
    }
    return found;
}

void inPool(const std::string& what) {
    if (world.pools.empty()) {
        world.outsidePools.push_back(what);
    }
}

std::string describe(id object) {
    return object == nil ? "nil" : objectOf(object).name;
}
std::string describe(UInteger value) {
    return std::to_string(value);
}
std::string describe(const char* text) {
    return text;
}

// Logs a message that changes something, its objects by name.
template <typename... Parts>
void note(id receiver, const Parts&... parts) {
    world.log.push_back((describe(receiver) + " " + ... + describe(parts)));
    inPool(world.log.back());
}

// The backend's objects are numbered by kind; the host's are not.
id make(const std::string& kind, bool heldByHost = false, const char* className = "FakeObject") {
    id object = class_createInstance(objc_getClass(className), 0);
    Object& record = world.objects[object];
    record.name = heldByHost ? kind : kind + std::to_string(++world.counters[kind]);
    record.heldByHost = heldByHost;
    return object;
}

// As Cocoa hands out objects the caller does not own: released as the innermost pool ends.
id autoreleased(id object) {
    inPool(describe(object) + " autorelease");
    if (!world.pools.empty()) {
        world.pools.back().push_back(object);
    }
    return object;
}

id textOrNil(const std::optional<std::string>& text) {
    if (!text) {
        return nil;
    }
    id string = autoreleased(make("string"));
    objectOf(string).text = *text;
    return string;
}

// A new object of the kind, or nil and an autoreleased error when the world is set to fail.
id makeOrFail(const char* kind, const std::optional<ErrorTexts>& failure, id* error) {
    if (!failure) {
        return make(kind);
    }
    *error = autoreleased(make("error"));
    objectOf(*error).errorTexts = *failure;
    return nil;
}

// Copies only a region inside level 0, so a garbled region or row pitch leaves zeros.
void replaceRegion(id texture, SEL, metal::Region region, UInteger level, const void* bytes,
                   UInteger bytesPerRow) {
    note(texture, "replaceRegion:mipmapLevel:withBytes:bytesPerRow:");
    Object& target = objectOf(texture);
    if (level != 0 || region.size.depth != 1 ||
        region.origin.x + region.size.width > target.width ||
        (region.origin.y + region.size.height) * target.width * 4 > target.memory.size()) {
        return;
    }
    for (UInteger row = 0; row < region.size.height; ++row) {
        std::memcpy(&target.memory[((region.origin.y + row) * target.width + region.origin.x) * 4],
                    static_cast<const uint8_t*>(bytes) + row * bytesPerRow, region.size.width * 4);
    }
}

template <typename Function>
IMP imp(Function function) {
    return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(function));
}

// What each message the backend sends does; any other setter takes an NSUInteger, and any other
// message aborts the program, as the runtime's own forwarding does. A descriptor's arrays and
// their elements stand for the descriptor itself, so the backend must neither release them nor
// message them after the descriptor's release.
IMP implementation(id, SEL sent) {
    // objectOf notes a message to a released object.
    static const auto itself = +[](id object, SEL) { return objectOf(object), object; };
    static const auto setObject =
        +[](id object, SEL setter, id value) { note(object, sel_getName(setter), value); };
    static const auto setBool = +[](id object, SEL setter, BOOL value) {
        note(object, sel_getName(setter), value ? "YES" : "NO");
    };
    static const auto newFromObject = +[](id receiver, SEL selector, id argument) {
        note(receiver, sel_getName(selector), argument);
        return make(std::strcmp(sel_getName(selector), "newFunctionWithName:") == 0
                        ? "function"
                        : "depthStencilState");
    };
    static const auto localizedText = +[](id error, SEL selector) {
        const ErrorTexts& texts = objectOf(error).errorTexts;
        return textOrNil(std::strcmp(sel_getName(selector), "localizedDescription") == 0
                             ? texts.description
                             : texts.failureReason);
    };
    static const std::map<std::string, IMP> implementations = {
        {"alloc", imp(+[](id cls, SEL) {
             const char* name = class_getName(reinterpret_cast<Class>(cls));
             return make(name, false, name);
         })},
        {"vertexDescriptor", imp(+[](id, SEL) { return autoreleased(make("vertexDescriptor")); })},
        {"init", imp(itself)},
        {"attributes", imp(itself)},
        {"layouts", imp(itself)},
        {"colorAttachments", imp(itself)},
        {"objectAtIndexedSubscript:",
         imp(+[](id array, SEL, UInteger) { return itself(array, {}); })},
        {"release", imp(+[](id object, SEL) {
             inPool(describe(object) + " release");
             --objectOf(object).references;
         })},
        {"localizedDescription", imp(localizedText)},
        {"localizedFailureReason", imp(localizedText)},
        {"initWithBytes:length:encoding:",
         imp(+[](id string, SEL, const char* bytes, UInteger length, UInteger) {
             objectOf(string).text.assign(bytes, length);
             return string;
         })},
        {"UTF8String", imp(+[](id string, SEL) { return objectOf(string).text.c_str(); })},
        {"setBlendingEnabled:", imp(setBool)},
        {"setDepthWriteEnabled:", imp(setBool)},
        {"setLabel:", imp(setObject)},
        {"setVertexFunction:", imp(setObject)},
        {"setFragmentFunction:", imp(setObject)},
        {"setVertexDescriptor:", imp(setObject)},
        {"setRenderPipelineState:", imp(setObject)},
        {"setDepthStencilState:", imp(setObject)},
        {"newLibraryWithSource:options:error:", imp(+[](id device, SEL, id, id, id* error) {
             note(device, "newLibraryWithSource:options:error:");
             return makeOrFail("library", world.libraryError, error);
         })},
        {"newRenderPipelineStateWithDescriptor:error:",
         imp(+[](id device, SEL, id descriptor, id* error) {
             note(device, "newRenderPipelineStateWithDescriptor:", descriptor);
             return makeOrFail("pipelineState", world.pipelineError, error);
         })},
        {"newFunctionWithName:", imp(newFromObject)},
        {"newDepthStencilStateWithDescriptor:", imp(newFromObject)},
        {"newBufferWithLength:options:", imp(+[](id device, SEL, UInteger length, UInteger) {
             note(device, "newBufferWithLength:", length);
             id buffer = make("buffer");
             objectOf(buffer).memory.assign(length, 0);
             return buffer;
         })},
        {"contents", imp(+[](id buffer, SEL) { return objectOf(buffer).memory.data(); })},
        {"length", imp(+[](id buffer, SEL) { return UInteger(objectOf(buffer).memory.size()); })},
        {"didModifyRange:", imp(+[](id buffer, SEL, objc::Range range) {
             note(buffer, "didModifyRange:{", range.location, ", ", range.length, "}");
         })},
        {"setVertexBuffer:offset:atIndex:",
         imp(+[](id encoder, SEL, id buffer, UInteger offset, UInteger index) {
             note(encoder, "setVertexBuffer:", buffer, " offset:", offset, " atIndex:", index);
         })},
        {"drawPrimitives:vertexStart:vertexCount:",
         imp(+[](id encoder, SEL, UInteger type, UInteger start, UInteger count) {
             note(encoder, "drawPrimitives:", type, " vertexStart:", start, " vertexCount:", count);
         })},
        {"replaceRegion:mipmapLevel:withBytes:bytesPerRow:", imp(&replaceRegion)}};
    const std::string name = sel_getName(sent);
    const auto found = implementations.find(name);
    if (found != implementations.end()) {
        return found->second;
    }
    const auto setUInteger =
        +[](id object, SEL setter, UInteger value) { note(object, sel_getName(setter), value); };
    return name.rfind("set", 0) == 0 ? imp(setUInteger) : nullptr;
}

// The names of the objects whose count is not what the host holds: the backend's own, leaked,
// or released once too often.
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

const std::vector<uint8_t>& memoryOf(const std::string& name) {
    return std::find_if(world.objects.begin(), world.objects.end(),
                        [&](const auto& entry) { return entry.second.name == name; })
        ->second.memory;
}

// The host: its Metal interfaces, and a registry that counts lookups.
IUnityGraphicsMetalV1 metalV1{
    nullptr, [] { return world.device; }, nullptr, [] { return world.encoder; }, nullptr, nullptr};
IUnityGraphicsMetal metal{
    nullptr, [] { return world.device; }, nullptr, [] { return world.encoder; }, nullptr, nullptr};

using Offers = std::map<std::pair<unsigned long long, unsigned long long>, void*>;
Offers offered;
int lookups = 0;
IUnityInterfaces host{[](UnityInterfaceGUID guid) -> IUnityInterface* {
                          ++lookups;
                          const auto found = offered.find({guid.m_GUIDHigh, guid.m_GUIDLow});
                          return found != offered.end() ? found->second : nullptr;
                      },
                      nullptr, nullptr, nullptr};

template <typename Interface>
Offers::value_type offer(Interface* interface) {
    const UnityInterfaceGUID guid = UnityInterfaceTraits<Interface>::guid();
    return {{guid.m_GUIDHigh, guid.m_GUIDLow}, interface};
}

const Names kResources = {"buffer1", "buffer2", "depthStencilState1", "pipelineState1"};

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
        offered = {offer(&metalV1)};
        lookups = 0;
        backend_.reset(CreateRenderAPI(kUnityGfxRendererMetal));
    }
    void TearDown() override {
        backend_.reset();
        EXPECT_EQ(unbalanced(), Names{});
        EXPECT_EQ(world.toReleased, Names{});
        EXPECT_EQ(world.outsidePools, Names{});
        EXPECT_TRUE(world.pools.empty());
    }
    // Each row of a table gets a world and a backend of its own.
    void nextRow() {
        TearDown();
        SetUp();
    }
    std::string initialize() {
        testing::internal::CaptureStderr();
        backend_->ProcessDeviceEvent(kUnityGfxDeviceEventInitialize, &host);
        return testing::internal::GetCapturedStderr();
    }
    static bool drew(int vertices) {
        const std::string draw = "encoder drawPrimitives:3 vertexStart:0 vertexCount:";
        return std::count(world.log.begin(), world.log.end(), draw + std::to_string(vertices)) > 0;
    }

    std::unique_ptr<RenderAPI> backend_;
};

// The versioned Metal interface is asked for first (one lookup), the unversioned one only by
// hosts without it; a host with neither leaves the backend inert instead of crashing. A
// failed compilation is reported with its description and failure reason and creation goes on
// without functions; a failed pipeline is reported the same way and the depth state is still made.
// The errors and their texts are autoreleased, so the backend must not release them. Only
// Initialize creates anything, and a second one replaces every resource, releasing the first.
TEST_F(MetalBackend, InitializesWhatTheHostAndTheDeviceAllow) {
    const Offers versioned = {offer(&metalV1)};
    const ErrorTexts badSource{"Compilation failed", "line 3: bad"};
    const ErrorTexts badPipeline{"Invalid pipeline", std::nullopt};
    const char* const sourceReport = "Compilation failed\nline 3: bad\n\n";
    const char* const pipelineReport = "Metal: Error creating pipeline state: Invalid pipeline\n\n";
    const Names withoutPipeline = {"buffer1", "buffer2", "depthStencilState1"};
    const struct {
        const char* what;
        Offers offers;
        std::optional<ErrorTexts> libraryError, pipelineError;
        int lookups;
        const char* report;
        Names resources;
    } rows[] = {
        {"versioned", versioned, {}, {}, 1, "", kResources},
        {"unversioned", {offer(&metal)}, {}, {}, 2, "", kResources},
        {"neither", {}, {}, {}, 2, "", {}},
        {"bad source", versioned, badSource, {}, 1, sourceReport, kResources},
        {"no error texts", versioned, ErrorTexts{}, {}, 1, "<unknown>\n\n\n", kResources},
        {"bad pipeline", versioned, {}, badPipeline, 1, pipelineReport, withoutPipeline},
    };
    const float worldMatrix[16] = {};
    const uint8_t vertices[48] = {};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        nextRow();
        offered = row.offers;
        world.libraryError = row.libraryError;
        world.pipelineError = row.pipelineError;
        for (const UnityGfxDeviceEventType event :
             {kUnityGfxDeviceEventShutdown, kUnityGfxDeviceEventBeforeReset,
              kUnityGfxDeviceEventAfterReset, UnityGfxDeviceEventType(42)}) {
            backend_->ProcessDeviceEvent(event, &host);
        }
        EXPECT_EQ(world.objects.size(), 2u) << "the host's device and encoder only";
        EXPECT_EQ(lookups, 0);

        EXPECT_EQ(initialize(), row.report);
        EXPECT_EQ(lookups, row.lookups);
        EXPECT_EQ(unbalanced(), row.resources);
        backend_->DrawSimpleTriangles(worldMatrix, 1, vertices);
        EXPECT_EQ(drew(3), !row.resources.empty());
        initialize();
        EXPECT_EQ(unbalanced().size(), row.resources.size());
    }
}

// 21 triangles fill 1008 of the vertex buffer's 1024 bytes; more, or none, draw nothing.
TEST_F(MetalBackend, DrawsWhatFitsItsVertexBufferIntoTheHostsEncoder) {
    initialize();
    world.log.clear();
    std::vector<uint8_t> vertices(22 * 48);
    for (size_t i = 0; i < vertices.size(); ++i) {
        vertices[i] = uint8_t(i * 7 + 3);
    }
    float worldMatrix[16];
    for (int i = 0; i < 16; ++i) {
        worldMatrix[i] = float(i) - 7.5f;
    }
    for (const int triangles : {22, 0, -1}) {
        backend_->DrawSimpleTriangles(worldMatrix, triangles, vertices.data());
    }
    EXPECT_EQ(world.log, Names{});

    backend_->DrawSimpleTriangles(worldMatrix, 21, vertices.data());
    EXPECT_EQ(world.log,
              (Names{"buffer1 didModifyRange:{0, 1008}", "buffer2 didModifyRange:{0, 64}",
                     "encoder setRenderPipelineState:pipelineState1",
                     "encoder setDepthStencilState:depthStencilState1", "encoder setCullMode:0",
                     "encoder setVertexBuffer:buffer1 offset:0 atIndex:1",
                     "encoder setVertexBuffer:buffer2 offset:0 atIndex:0",
                     "encoder drawPrimitives:3 vertexStart:0 vertexCount:63"}));
    vertices.resize(1008);
    vertices.resize(1024);
    EXPECT_TRUE(memoryOf("buffer1") == vertices);
    EXPECT_EQ(std::memcmp(memoryOf("buffer2").data(), worldMatrix, 64), 0);
}

// A decoded picture replaces level 0 of the host's texture, its region and row pitch intact
// through the runtime (structs by value), from tight rows and from padded ones.
TEST_F(MetalBackend, UploadsPicturesIntoTheHostsTexture) {
    const testsupport::BgraPicture picture =
        testsupport::readReferencePictures(testsupport::fixtureClip("h264_cbp_1920x1080")).at(0);
    for (const auto& [width, height, rowPitch] : {std::tuple{1920, 1080, 7680}, {640, 360, 2624}}) {
        SCOPED_TRACE(rowPitch);
        const std::vector<uint8_t> expected =
            testsupport::packRows(picture.pixels.data(), width, height, 7680).pixels;
        id texture = make("texture", true);
        objectOf(texture).width = UInteger(width);
        objectOf(texture).memory.assign(expected.size(), 0);
        std::vector<uint8_t> pixels(size_t(rowPitch) * size_t(height), 0xEE);
        for (int y = 0; y < height; ++y) {
            std::memcpy(&pixels[size_t(y) * rowPitch], &expected[size_t(y) * width * 4],
                        size_t(width) * 4);
        }
        const std::vector<uint8_t> original = pixels;
        backend_->BeginModifyTexture2();
        backend_->EndModifyTexture2(texture, width, height, rowPitch, pixels.data());
        EXPECT_TRUE(pixels == original) << "the caller's pixels stay as they were";
        EXPECT_TRUE(objectOf(texture).memory == expected);
    }
}

TEST_F(MetalBackend, MapsTheHostsBuffersAndReportsTheWholeRangeModified) {
    id buffer = make("hostBuffer", true);
    objectOf(buffer).memory.assign(256, 0);
    uint64_t size = 0;
    EXPECT_EQ(backend_->BeginModifyVertexBuffer(buffer, &size), objectOf(buffer).memory.data());
    EXPECT_EQ(size, 256u);
    backend_->EndModifyVertexBuffer(buffer);
    EXPECT_EQ(world.log, Names{"hostBuffer didModifyRange:{0, 256}"});
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
