// The Metal backend against a fake Metal: Objective-C classes registered in the GNU runtime at run
// time (no Objective-C compiler), whose instances answer every message the backend sends. The fake
// keeps each object's reference count, so every test ends by checking that the backend released
// what it owned exactly once, messaged nothing after its release, and did all its work inside an
// autorelease pool of its own that drained before the call returned.
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
#include <stdexcept>
#include <string>
#include <vector>

using objc::UInteger;
using Names = std::vector<std::string>;

namespace {

struct ErrorTexts {
    std::optional<std::string> description;
    std::optional<std::string> failureReason;
};

struct Object {
    std::string name;
    int references = 1;
    int hostReferences = 0;  // held by the host or a parent: the backend must leave these alone
    std::string text;
    std::vector<uint8_t> memory;  // buffer contents or texture pixels, 4 bytes a pixel
    UInteger width = 0;
    ErrorTexts errorTexts;
    std::map<std::string, id> children;
};

struct World {
    std::map<id, Object> objects;
    std::map<std::string, int> counters;
    Names log;           // every message that changes something, as "receiver message"
    Names outsidePools;  // messages, releases and autoreleases with no pool open
    Names toReleased;    // receivers of messages after their last release
    std::vector<std::vector<id>> pools;  // open autorelease pools, innermost last
    std::optional<ErrorTexts> libraryError;
    std::optional<ErrorTexts> pipelineError;
    id device = nil;
    id encoder = nil;
};
World world;
Class rootClass = Nil;

Object& objectOf(id object) {
    Object& found = world.objects.at(object);
    if (found.references <= 0) {
        world.toReleased.push_back(found.name);
    }
    return found;
}

Object& named(const std::string& name) {
    for (auto& [object, record] : world.objects) {
        if (record.name == name) {
            return record;
        }
    }
    throw std::out_of_range(name);
}

void notePoolless(const std::string& what) {
    if (world.pools.empty()) {
        world.outsidePools.push_back(what);
    }
}

void note(id receiver, const std::string& message) {
    world.log.push_back(objectOf(receiver).name + " " + message);
    notePoolless(world.log.back());
}

std::string describe(id object) {
    return object == nil ? "nil" : objectOf(object).name;
}

// The backend's own objects are numbered by kind; those the host or a parent holds are not.
id make(const std::string& kind, int hostReferences = 0, Class cls = rootClass) {
    id object = class_createInstance(cls, 0);
    Object& record = world.objects[object];
    record.name = hostReferences > 0 ? kind : kind + std::to_string(++world.counters[kind]);
    record.hostReferences = hostReferences;
    return object;
}

// As Cocoa hands out objects the caller does not own: released as the innermost pool ends.
id autoreleased(id object) {
    notePoolless(objectOf(object).name + " autorelease");
    if (!world.pools.empty()) {
        world.pools.back().push_back(object);
    }
    return object;
}

id makeError(const ErrorTexts& texts) {
    id error = make("error");
    objectOf(error).errorTexts = texts;
    return autoreleased(error);
}

id textOrNil(const std::optional<std::string>& text) {
    if (!text) {
        return nil;
    }
    id string = autoreleased(make("string"));
    objectOf(string).text = *text;
    return string;
}

id alloc(id cls, SEL) {
    return make(class_getName(reinterpret_cast<Class>(cls)), 0, reinterpret_cast<Class>(cls));
}

id vertexDescriptor(id cls, SEL) {
    return autoreleased(make("vertexDescriptor", 0, reinterpret_cast<Class>(cls)));
}

// The messages without arguments that return an object.
id getter(id self, SEL selector) {
    const std::string name = sel_getName(selector);
    Object& record = objectOf(self);
    if (name == "localizedDescription") {
        return textOrNil(record.errorTexts.description);
    }
    if (name == "localizedFailureReason") {
        return textOrNil(record.errorTexts.failureReason);
    }
    if (name == "init") {
        return self;
    }
    id& child = record.children[name];  // attributes, layouts, colorAttachments
    if (child == nil) {
        child = make(record.name + "." + name, 1);
    }
    return child;
}

id objectAtIndexedSubscript(id self, SEL, UInteger index) {
    const std::string key = "[" + std::to_string(index) + "]";
    id& child = objectOf(self).children[key];
    if (child == nil) {
        child = make(objectOf(self).name + key, 1);
    }
    return child;
}

void release(id self, SEL) {
    notePoolless(objectOf(self).name + " release");
    --objectOf(self).references;
}

void setUInteger(id self, SEL selector, UInteger value) {
    note(self, sel_getName(selector) + std::to_string(value));
}

void setBool(id self, SEL selector, BOOL value) {
    note(self, sel_getName(selector) + std::string(value ? "YES" : "NO"));
}

void setObject(id self, SEL selector, id value) {
    note(self, sel_getName(selector) + describe(value));
}

id initWithBytes(id self, SEL, const void* bytes, UInteger length, UInteger) {
    objectOf(self).text.assign(static_cast<const char*>(bytes), length);
    return self;
}

const char* utf8String(id self, SEL) {
    return objectOf(self).text.c_str();
}

id newLibrary(id self, SEL, id, id, id* error) {
    note(self, "newLibraryWithSource:options:error:");
    if (world.libraryError) {
        *error = makeError(*world.libraryError);
        return nil;
    }
    return make("library");
}

id newPipelineState(id self, SEL, id descriptor, id* error) {
    note(self, "newRenderPipelineStateWithDescriptor:" + describe(descriptor));
    if (world.pipelineError) {
        *error = makeError(*world.pipelineError);
        return nil;
    }
    return make("pipelineState");
}

// newFunctionWithName: and newDepthStencilStateWithDescriptor:
id newFromObject(id self, SEL selector, id argument) {
    note(self, sel_getName(selector) + describe(argument));
    return make(std::strcmp(sel_getName(selector), "newFunctionWithName:") == 0
                    ? "function"
                    : "depthStencilState");
}

id newBuffer(id self, SEL, UInteger length, UInteger) {
    note(self, "newBufferWithLength:" + std::to_string(length));
    id buffer = make("buffer");
    objectOf(buffer).memory.assign(length, 0);
    return buffer;
}

void* contents(id self, SEL) {
    return objectOf(self).memory.data();
}

UInteger length(id self, SEL) {
    return objectOf(self).memory.size();
}

void didModifyRange(id self, SEL, objc::Range range) {
    note(self, "didModifyRange:{" + std::to_string(range.location) + ", " +
                   std::to_string(range.length) + "}");
}

void setVertexBuffer(id self, SEL, id buffer, UInteger offset, UInteger index) {
    note(self, "setVertexBuffer:" + describe(buffer) + " offset:" + std::to_string(offset) +
                   " atIndex:" + std::to_string(index));
}

void drawPrimitives(id self, SEL, UInteger type, UInteger start, UInteger count) {
    note(self, "drawPrimitives:" + std::to_string(type) + " vertexStart:" + std::to_string(start) +
                   " vertexCount:" + std::to_string(count));
}

// Copies only a region that lies inside level 0, so a garbled region or pitch leaves zeros.
void replaceRegion(id self, SEL, metal::Region region, UInteger level, const void* bytes,
                   UInteger bytesPerRow) {
    note(self, "replaceRegion:mipmapLevel:withBytes:bytesPerRow:");
    Object& texture = objectOf(self);
    const UInteger height = texture.memory.size() / 4 / texture.width;
    if (level != 0 || region.size.depth != 1 ||
        region.origin.x + region.size.width > texture.width ||
        region.origin.y + region.size.height > height) {
        return;
    }
    for (UInteger row = 0; row < region.size.height; ++row) {
        std::memcpy(
            &texture.memory[((region.origin.y + row) * texture.width + region.origin.x) * 4],
            static_cast<const uint8_t*>(bytes) + row * bytesPerRow, region.size.width * 4);
    }
}

template <typename Function>
void add(Class cls, const char* selector, Function function, const char* types) {
    using AnyFunction = void (*)();
    class_addMethod(cls, sel_registerName(selector),
                    reinterpret_cast<IMP>(reinterpret_cast<AnyFunction>(function)), types);
}

// Every instance answers every message on the root class; the subclasses are there for the
// names the backend looks up.
void registerClasses() {
    rootClass = objc_allocateClassPair(Nil, "FakeObject", 0);
    Class meta = object_getClass(reinterpret_cast<id>(rootClass));
    add(meta, "alloc", &alloc, "@@:");
    for (const char* selector : {"init", "attributes", "layouts", "colorAttachments",
                                 "localizedDescription", "localizedFailureReason"}) {
        add(rootClass, selector, &getter, "@@:");
    }
    add(rootClass, "objectAtIndexedSubscript:", &objectAtIndexedSubscript, "@@:Q");
    add(rootClass, "release", &release, "v@:");
    for (const char* selector :
         {"setFormat:", "setOffset:", "setBufferIndex:", "setStride:", "setStepFunction:",
          "setStepRate:", "setPixelFormat:", "setDepthAttachmentPixelFormat:",
          "setStencilAttachmentPixelFormat:", "setSampleCount:", "setDepthCompareFunction:",
          "setCullMode:"}) {
        add(rootClass, selector, &setUInteger, "v@:Q");
    }
    for (const char* selector : {"setBlendingEnabled:", "setDepthWriteEnabled:"}) {
        add(rootClass, selector, &setBool, "v@:C");
    }
    for (const char* selector :
         {"setLabel:", "setVertexFunction:", "setFragmentFunction:", "setVertexDescriptor:",
          "setRenderPipelineState:", "setDepthStencilState:"}) {
        add(rootClass, selector, &setObject, "v@:@");
    }
    add(rootClass, "initWithBytes:length:encoding:", &initWithBytes, "@@:^vQQ");
    add(rootClass, "UTF8String", &utf8String, "*@:");
    add(rootClass, "newLibraryWithSource:options:error:", &newLibrary, "@@:@@^@");
    add(rootClass, "newRenderPipelineStateWithDescriptor:error:", &newPipelineState, "@@:@^@");
    add(rootClass, "newFunctionWithName:", &newFromObject, "@@:@");
    add(rootClass, "newDepthStencilStateWithDescriptor:", &newFromObject, "@@:@");
    add(rootClass, "newBufferWithLength:options:", &newBuffer, "@@:QQ");
    add(rootClass, "contents", &contents, "^v@:");
    add(rootClass, "length", &length, "Q@:");
    add(rootClass, "didModifyRange:", &didModifyRange, "v@:{_NSRange=QQ}");
    add(rootClass, "setVertexBuffer:offset:atIndex:", &setVertexBuffer, "v@:@QQ");
    add(rootClass, "drawPrimitives:vertexStart:vertexCount:", &drawPrimitives, "v@:QQQ");
    add(rootClass, "replaceRegion:mipmapLevel:withBytes:bytesPerRow:", &replaceRegion,
        "v@:{MTLRegion={MTLOrigin=QQQ}{MTLSize=QQQ}}Q^vQ");
    objc_registerClassPair(rootClass);
    for (const char* name : {"NSString", "MTLVertexDescriptor", "MTLRenderPipelineDescriptor",
                             "MTLDepthStencilDescriptor"}) {
        Class cls = objc_allocateClassPair(rootClass, name, 0);
        if (std::strcmp(name, "MTLVertexDescriptor") == 0) {
            add(object_getClass(reinterpret_cast<id>(cls)), "vertexDescriptor", &vertexDescriptor,
                "@@:");
        }
        objc_registerClassPair(cls);
    }
}

// The names of the objects whose count is not what the host holds: the backend's own, or leaked,
// or released once too often.
Names unbalanced() {
    Names names;
    for (const auto& [object, record] : world.objects) {
        if (record.references != record.hostReferences) {
            names.push_back(record.name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The host: its Metal interfaces, and a registry that counts lookups.
UnityMetalDeviceRef hostDevice() {
    return world.device = world.device != nil ? world.device : make("device", 1);
}
UnityMetalCommandEncoderRef hostEncoder() {
    return world.encoder = world.encoder != nil ? world.encoder : make("encoder", 1);
}
IUnityGraphicsMetalV1 metalV1{nullptr, &hostDevice, nullptr, &hostEncoder, nullptr, nullptr};
IUnityGraphicsMetal metal{nullptr, &hostDevice, nullptr, &hostEncoder, nullptr, nullptr};
IUnityGraphicsMetal deviceless{
    nullptr, [] { return UnityMetalDeviceRef{nil}; }, nullptr, &hostEncoder, nullptr, nullptr};

std::vector<std::pair<UnityInterfaceGUID, void*>> offered;
int lookups = 0;
IUnityInterfaces host{[](UnityInterfaceGUID guid) -> IUnityInterface* {
                          ++lookups;
                          for (const auto& [offeredGuid, interface] : offered) {
                              if (offeredGuid.m_GUIDHigh == guid.m_GUIDHigh &&
                                  offeredGuid.m_GUIDLow == guid.m_GUIDLow) {
                                  return interface;
                              }
                          }
                          return nullptr;
                      },
                      nullptr, nullptr, nullptr};

template <typename Interface>
std::pair<UnityInterfaceGUID, void*> offer(Interface* interface) {
    return {UnityInterfaceTraits<Interface>::guid(), interface};
}

const Names kResources = {"buffer1", "buffer2", "depthStencilState1", "pipelineState1"};

bool contains(const Names& log, const std::string& message) {
    return std::find(log.begin(), log.end(), message) != log.end();
}

class MetalBackend : public testing::Test {
  protected:
    void SetUp() override {
        if (rootClass == Nil) {
            registerClasses();
        }
        for (auto& [object, record] : world.objects) {
            object_dispose(object);
        }
        world = World{};
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

    std::unique_ptr<RenderAPI> backend_;
};

// Only Initialize creates anything; a second one replaces every resource, releasing the first.
TEST_F(MetalBackend, OwnsItsResourcesFromInitializeToDestruction) {
    for (const UnityGfxDeviceEventType event :
         {kUnityGfxDeviceEventShutdown, kUnityGfxDeviceEventBeforeReset,
          kUnityGfxDeviceEventAfterReset, UnityGfxDeviceEventType(42)}) {
        backend_->ProcessDeviceEvent(event, &host);
    }
    EXPECT_TRUE(world.log.empty());
    EXPECT_EQ(lookups, 0);
    EXPECT_EQ(initialize(), "");
    EXPECT_EQ(unbalanced(), kResources);
    EXPECT_EQ(initialize(), "");
    EXPECT_EQ(unbalanced(), (Names{"buffer3", "buffer4", "depthStencilState2", "pipelineState2"}));
}

// The versioned interface is asked for first; a host without it is served through the unversioned
// one, and a host with neither leaves the backend inert instead of crashing.
TEST_F(MetalBackend, FindsTheHostsDeviceThroughEitherMetalInterface) {
    const struct {
        const char* host;
        std::vector<std::pair<UnityInterfaceGUID, void*>> offers;
        int lookups;
        Names resources;
    } rows[] = {
        {"versioned", {offer(&metalV1)}, 1, kResources},
        {"unversioned", {offer(&metal)}, 2, kResources},
        {"both, the unversioned without a device",
         {offer(&deviceless), offer(&metalV1)},
         1,
         kResources},
        {"neither", {}, 2, {}},
    };
    const float worldMatrix[16] = {};
    const uint8_t vertices[48] = {};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        nextRow();
        offered = row.offers;
        initialize();
        EXPECT_EQ(lookups, row.lookups);
        EXPECT_EQ(unbalanced(), row.resources);
        backend_->DrawSimpleTriangles(worldMatrix, 1, vertices);
        EXPECT_EQ(contains(world.log, "encoder drawPrimitives:3 vertexStart:0 vertexCount:3"),
                  !row.resources.empty());
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
    const std::vector<uint8_t>& vertexBuffer = named("buffer1").memory;
    EXPECT_TRUE(std::equal(vertices.begin(), vertices.begin() + 1008, vertexBuffer.begin()));
    EXPECT_TRUE(std::all_of(vertexBuffer.begin() + 1008, vertexBuffer.end(),
                            [](uint8_t byte) { return byte == 0; }));
    EXPECT_EQ(std::memcmp(named("buffer2").memory.data(), worldMatrix, 64), 0);
}

// A decoded picture replaces level 0 of the host's texture, its region and row pitch intact
// through the runtime (structs by value); tight rows, padded rows, and the buffer of
// BeginModifyTexture, which EndModifyTexture uploads and frees (the sanitizer builds report a
// leak or a short buffer).
TEST_F(MetalBackend, UploadsPicturesIntoTheHostsTexture) {
    const testsupport::BgraPicture picture =
        testsupport::readReferencePictures(testsupport::fixtureClip("h264_cbp_1920x1080")).at(0);
    const struct {
        int width, height, rowPitch;
        bool viaBeginModifyTexture;
    } rows[] = {{1920, 1080, 7680, false}, {640, 360, 640 * 4 + 64, false}, {641, 361, 0, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.width) + " wide, row pitch " +
                     std::to_string(row.rowPitch));
        const std::vector<uint8_t> expected =
            testsupport::packRows(picture.pixels.data(), row.width, row.height, 7680).pixels;
        id texture = make("texture", 1);
        objectOf(texture).width = UInteger(row.width);
        objectOf(texture).memory.assign(expected.size(), 0);
        int rowPitch = row.rowPitch;
        std::vector<uint8_t> pixels(size_t(rowPitch) * size_t(row.height), 0xEE);
        uint8_t* data = pixels.data();
        if (row.viaBeginModifyTexture) {
            data = static_cast<uint8_t*>(
                backend_->BeginModifyTexture(texture, row.width, row.height, &rowPitch));
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(rowPitch, row.width * 4);
        }
        for (int y = 0; y < row.height; ++y) {
            std::memcpy(data + size_t(y) * size_t(rowPitch), &expected[size_t(y) * row.width * 4],
                        size_t(row.width) * 4);
        }
        const std::vector<uint8_t> original = pixels;
        if (row.viaBeginModifyTexture) {
            backend_->EndModifyTexture(texture, row.width, row.height, rowPitch, data);
        } else {
            backend_->BeginModifyTexture2();
            backend_->EndModifyTexture2(texture, row.width, row.height, rowPitch, data);
            EXPECT_TRUE(pixels == original) << "the caller's pixels stay as they were";
        }
        EXPECT_TRUE(objectOf(texture).memory == expected);
    }
}

TEST_F(MetalBackend, MapsTheHostsBuffersAndReportsTheWholeRangeModified) {
    id buffer = make("hostBuffer", 1);
    objectOf(buffer).memory.assign(256, 0);
    uint64_t size = 0;
    EXPECT_EQ(backend_->BeginModifyVertexBuffer(buffer, &size), objectOf(buffer).memory.data());
    EXPECT_EQ(size, 256u);
    backend_->EndModifyVertexBuffer(buffer);
    EXPECT_EQ(world.log, Names{"hostBuffer didModifyRange:{0, 256}"});
}

// A failed compilation is reported with its description and failure reason, and creation goes
// on with no functions; a failed pipeline is reported the same way, and the depth state is still
// made. The errors and their texts are autoreleased, so the backend must not release them.
TEST_F(MetalBackend, ReportsFailedCompilationsAndPipelinesAndGoesOn) {
    const struct {
        std::optional<ErrorTexts> libraryError, pipelineError;
        const char* report;
        Names resources;
    } rows[] = {
        {ErrorTexts{"Compilation failed", "line 3: bad token"}, std::nullopt,
         "Compilation failed\nline 3: bad token\n\n", kResources},
        {ErrorTexts{}, std::nullopt, "<unknown>\n\n\n", kResources},
        {std::nullopt,
         ErrorTexts{"Invalid pipeline", std::nullopt},
         "Metal: Error creating pipeline state: Invalid pipeline\n\n",
         {"buffer1", "buffer2", "depthStencilState1"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.report);
        nextRow();
        world.libraryError = row.libraryError;
        world.pipelineError = row.pipelineError;
        EXPECT_EQ(initialize(), row.report);
        EXPECT_EQ(unbalanced(), row.resources);
        EXPECT_EQ(contains(world.log, "MTLRenderPipelineDescriptor1 setVertexFunction:nil"),
                  row.libraryError.has_value());
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
