#include "FakeMetal.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>

using objc::UInteger;

namespace fakemetal {

namespace {

struct Record {
    std::string name;
    int references = 1;
    bool ownedByBackend = false;  // handed out at +1 by alloc or a new... method
    StringRecord string;
    std::vector<uint8_t> memory;  // buffer contents or texture pixels
    int width = 0;
    int height = 0;
    std::map<UInteger, id> elements;       // indexed children of descriptor arrays
    std::map<std::string, id> properties;  // descriptor arrays of a descriptor
    ErrorTexts errorTexts;
};

struct State {
    std::map<id, Record> records;
    std::map<std::string, int> counters;
    std::vector<std::string> log;
    std::vector<std::string> messagesToReleased;
    std::vector<std::string> released;
    std::optional<StringRecord> compiledSource;
    id device = nil;
    id encoder = nil;
    std::map<std::string, Class> classes;
    std::vector<std::vector<id>> pools;  // open autorelease pools, innermost last
    std::vector<std::string> outsidePools;
};

State& state() {
    static State instance;
    return instance;
}

Record& recordOf(id object) {
    auto found = state().records.find(object);
    if (found == state().records.end()) {
        throw std::logic_error("message to an object the fake world did not make");
    }
    if (found->second.references <= 0) {
        state().messagesToReleased.push_back(found->second.name);
    }
    return found->second;
}

const std::string& nameOf(id object) {
    return recordOf(object).name;
}

std::string describe(id object) {
    if (object == nil) {
        return "nil";
    }
    const Record& record = recordOf(object);
    if (record.name != "string") {
        return record.name;
    }
    const std::vector<uint8_t>& bytes = record.string.bytes;
    if (bytes.size() > 32) {
        return "string(" + std::to_string(bytes.size()) + " bytes, encoding " +
               std::to_string(record.string.encoding) + ")";
    }
    return "\"" + std::string(bytes.begin(), bytes.end()) + "\"";
}

// What the backend does with no autorelease pool open is noted as well.
void notePoolless(const std::string& what) {
    if (state().pools.empty()) {
        state().outsidePools.push_back(what);
    }
}

void logMessage(id receiver, const std::string& message) {
    state().log.push_back(nameOf(receiver) + " " + message);
    notePoolless(state().log.back());
}

std::string selectorName(SEL selector) {
    return sel_getName(selector);
}

// A new object of the class, named after its kind and a per-kind counter unless named outright.
id make(const char* className, const std::string& kind, bool ownedByBackend,
        const std::string& name = "") {
    id object = class_createInstance(state().classes.at(className), 0);
    Record record;
    record.name = !name.empty() ? name : kind + std::to_string(++state().counters[kind]);
    record.ownedByBackend = ownedByBackend;
    state().records.emplace(object, std::move(record));
    return object;
}

id makeString(const std::string& text) {
    id string = make("NSString", "string", false, "string");
    recordOf(string).string.bytes.assign(text.begin(), text.end());
    recordOf(string).string.bytes.push_back(0);
    return string;
}

void dropReference(id object) {
    Record& record = recordOf(object);
    if (--record.references == 0) {
        state().released.push_back(record.name);
    }
}

// Handed out as Cocoa hands out objects that the caller does not own: released when the innermost
// autorelease pool ends.
id autoreleased(id object) {
    notePoolless(nameOf(object) + " autorelease");
    if (!state().pools.empty()) {
        state().pools.back().push_back(object);
    }
    return object;
}

id makeError(const ErrorTexts& texts) {
    id error = make("FakeNSError", "error", false);
    recordOf(error).errorTexts = texts;
    return autoreleased(error);
}

// The root class: reference counting and the generic property setters every fake answers.

id alloc(id cls, SEL) {
    const std::string className = class_getName(reinterpret_cast<Class>(cls));
    std::string kind = className == "MTLRenderPipelineDescriptor" ? "pipelineDescriptor"
                       : className == "MTLDepthStencilDescriptor" ? "depthStencilDescriptor"
                                                                  : "string";
    return make(className.c_str(), kind, true, kind == "string" ? "string" : "");
}

id init(id self, SEL) {
    return self;
}

id retain(id self, SEL) {
    ++recordOf(self).references;
    return self;
}

void release(id self, SEL) {
    notePoolless(nameOf(self) + " release");
    dropReference(self);
}

void setUInteger(id self, SEL selector, UInteger value) {
    logMessage(self, selectorName(selector) + std::to_string(value));
}

void setBool(id self, SEL selector, BOOL value) {
    logMessage(self, selectorName(selector) + (value ? "YES" : "NO"));
}

void setObject(id self, SEL selector, id value) {
    logMessage(self, selectorName(selector) + describe(value));
}

// NSString

id initWithBytes(id self, SEL, const void* bytes, UInteger length, UInteger encoding) {
    const auto* begin = static_cast<const uint8_t*>(bytes);
    recordOf(self).string.bytes.assign(begin, begin + length);
    recordOf(self).string.encoding = encoding;
    return self;
}

const char* utf8String(id self, SEL) {
    std::vector<uint8_t>& bytes = recordOf(self).string.bytes;
    if (bytes.empty() || bytes.back() != 0) {
        bytes.push_back(0);
    }
    return reinterpret_cast<const char*>(bytes.data());
}

// Device

id newLibrary(id self, SEL, id source, id options, id* error) {
    logMessage(self, "newLibraryWithSource:" + describe(source) + " options:" + describe(options) +
                         " error:");
    state().compiledSource = recordOf(source).string;
    World& world = World::get();
    if (world.libraryError) {
        *error = makeError(*world.libraryError);
        return nil;
    }
    return make("FakeMTLLibrary", "library", true);
}

id newBufferWithLength(id self, SEL, UInteger length, UInteger options) {
    logMessage(self, "newBufferWithLength:" + std::to_string(length) +
                         " options:" + std::to_string(options));
    id buffer = make("FakeMTLBuffer", "buffer", true);
    recordOf(buffer).memory.assign(length, 0);
    return buffer;
}

id newPipelineState(id self, SEL, id descriptor, id* error) {
    logMessage(self, "newRenderPipelineStateWithDescriptor:" + describe(descriptor) + " error:");
    World& world = World::get();
    if (world.pipelineError) {
        *error = makeError(*world.pipelineError);
        return nil;
    }
    return make("FakeMTLRenderPipelineState", "pipelineState", true);
}

id newDepthStencilState(id self, SEL, id descriptor) {
    logMessage(self, "newDepthStencilStateWithDescriptor:" + describe(descriptor));
    return make("FakeMTLDepthStencilState", "depthStencilState", true);
}

// Library

id newFunctionWithName(id self, SEL, id name) {
    logMessage(self, "newFunctionWithName:" + describe(name));
    const std::vector<uint8_t>& text = recordOf(name).string.bytes;
    return make("FakeMTLFunction", "function", true,
                "function(" + std::string(text.begin(), text.end()) + ")");
}

// Buffer

void* contents(id self, SEL) {
    return recordOf(self).memory.data();
}

UInteger length(id self, SEL) {
    return recordOf(self).memory.size();
}

void didModifyRange(id self, SEL, objc::Range range) {
    logMessage(self, "didModifyRange:{" + std::to_string(range.location) + ", " +
                         std::to_string(range.length) + "}");
}

// Vertex descriptor and the indexed arrays of descriptors

id vertexDescriptor(id, SEL) {
    return autoreleased(make("MTLVertexDescriptor", "vertexDescriptor", false));
}

id childArray(id self, const std::string& property) {
    Record& owner = recordOf(self);
    auto found = owner.properties.find(property);
    if (found != owner.properties.end()) {
        return found->second;
    }
    id array = make("FakeArray", "array", false, owner.name + "." + property);
    recordOf(self).properties[property] = array;
    return array;
}

id attributes(id self, SEL) {
    return childArray(self, "attributes");
}

id layouts(id self, SEL) {
    return childArray(self, "layouts");
}

id colorAttachments(id self, SEL) {
    return childArray(self, "colorAttachments");
}

id objectAtIndexedSubscript(id self, SEL, UInteger index) {
    Record& array = recordOf(self);
    auto found = array.elements.find(index);
    if (found != array.elements.end()) {
        return found->second;
    }
    id element =
        make("FakeObject", "element", false, array.name + "[" + std::to_string(index) + "]");
    recordOf(self).elements[index] = element;
    return element;
}

// Encoder

void setVertexBuffer(id self, SEL, id buffer, UInteger offset, UInteger index) {
    logMessage(self, "setVertexBuffer:" + describe(buffer) + " offset:" + std::to_string(offset) +
                         " atIndex:" + std::to_string(index));
}

void drawPrimitives(id self, SEL, UInteger type, UInteger start, UInteger count) {
    logMessage(self, "drawPrimitives:" + std::to_string(type) + " vertexStart:" +
                         std::to_string(start) + " vertexCount:" + std::to_string(count));
}

// Texture

void replaceRegion(id self, SEL, metal::Region region, UInteger level, const void* bytes,
                   UInteger bytesPerRow) {
    std::ostringstream message;
    message << "replaceRegion:{{" << region.origin.x << ", " << region.origin.y << ", "
            << region.origin.z << "}, {" << region.size.width << ", " << region.size.height << ", "
            << region.size.depth << "}} mipmapLevel:" << level
            << " withBytes: bytesPerRow:" << bytesPerRow;
    logMessage(self, message.str());
    Record& texture = recordOf(self);
    const bool inside = region.origin.x + region.size.width <= UInteger(texture.width) &&
                        region.origin.y + region.size.height <= UInteger(texture.height) &&
                        region.size.depth == 1 && level == 0;
    if (!inside) {
        return;
    }
    const auto* source = static_cast<const uint8_t*>(bytes);
    for (UInteger row = 0; row < region.size.height; ++row) {
        std::memcpy(texture.memory.data() +
                        ((region.origin.y + row) * UInteger(texture.width) + region.origin.x) * 4,
                    source + row * bytesPerRow, region.size.width * 4);
    }
}

// Error

id localizedDescription(id self, SEL) {
    const auto& text = recordOf(self).errorTexts.description;
    return text ? autoreleased(makeString(*text)) : nil;
}

id localizedFailureReason(id self, SEL) {
    const auto& text = recordOf(self).errorTexts.failureReason;
    return text ? autoreleased(makeString(*text)) : nil;
}

// Class registration

using AnyFunction = void (*)();

template <typename Function>
IMP imp(Function function) {
    return reinterpret_cast<IMP>(reinterpret_cast<AnyFunction>(function));
}

void addMethod(Class cls, const char* selector, IMP implementation, const char* types) {
    class_addMethod(cls, sel_registerName(selector), implementation, types);
}

void addClassMethod(Class cls, const char* selector, IMP implementation, const char* types) {
    addMethod(object_getClass(reinterpret_cast<id>(cls)), selector, implementation, types);
}

Class defineClass(Class superclass, const char* name) {
    Class cls = objc_allocateClassPair(superclass, name, 0);
    state().classes[name] = cls;
    return cls;
}

void registerRootClass() {
    Class root = defineClass(Nil, "FakeObject");
    addClassMethod(root, "alloc", imp(&alloc), "@@:");
    addMethod(root, "init", imp(&init), "@@:");
    addMethod(root, "retain", imp(&retain), "@@:");
    addMethod(root, "release", imp(&release), "v@:");
    for (const char* selector :
         {"setFormat:", "setOffset:", "setBufferIndex:", "setStride:", "setStepFunction:",
          "setStepRate:", "setPixelFormat:", "setDepthAttachmentPixelFormat:",
          "setStencilAttachmentPixelFormat:", "setSampleCount:", "setDepthCompareFunction:",
          "setCullMode:"}) {
        addMethod(root, selector, imp(&setUInteger), "v@:Q");
    }
    for (const char* selector : {"setBlendingEnabled:", "setDepthWriteEnabled:"}) {
        addMethod(root, selector, imp(&setBool), "v@:C");
    }
    for (const char* selector :
         {"setLabel:", "setVertexFunction:", "setFragmentFunction:", "setVertexDescriptor:",
          "setRenderPipelineState:", "setDepthStencilState:"}) {
        addMethod(root, selector, imp(&setObject), "v@:@");
    }
    objc_registerClassPair(root);
}

void registerClass(const char* name, void (*addMethods)(Class)) {
    Class cls = defineClass(state().classes.at("FakeObject"), name);
    addMethods(cls);
    objc_registerClassPair(cls);
}

void registerClasses() {
    registerRootClass();
    registerClass("NSString", [](Class cls) {
        addMethod(cls, "initWithBytes:length:encoding:", imp(&initWithBytes), "@@:^vQQ");
        addMethod(cls, "UTF8String", imp(&utf8String), "*@:");
    });
    registerClass("FakeMTLDevice", [](Class cls) {
        addMethod(cls, "newLibraryWithSource:options:error:", imp(&newLibrary), "@@:@@^@");
        addMethod(cls, "newBufferWithLength:options:", imp(&newBufferWithLength), "@@:QQ");
        addMethod(cls, "newRenderPipelineStateWithDescriptor:error:", imp(&newPipelineState),
                  "@@:@^@");
        addMethod(cls, "newDepthStencilStateWithDescriptor:", imp(&newDepthStencilState), "@@:@");
    });
    registerClass("FakeMTLLibrary", [](Class cls) {
        addMethod(cls, "newFunctionWithName:", imp(&newFunctionWithName), "@@:@");
    });
    registerClass("FakeMTLFunction", [](Class) {});
    registerClass("FakeMTLBuffer", [](Class cls) {
        addMethod(cls, "contents", imp(&contents), "^v@:");
        addMethod(cls, "length", imp(&length), "Q@:");
        addMethod(cls, "didModifyRange:", imp(&didModifyRange), "v@:{_NSRange=QQ}");
    });
    registerClass("MTLVertexDescriptor", [](Class cls) {
        addClassMethod(cls, "vertexDescriptor", imp(&vertexDescriptor), "@@:");
        addMethod(cls, "attributes", imp(&attributes), "@@:");
        addMethod(cls, "layouts", imp(&layouts), "@@:");
    });
    registerClass("FakeArray", [](Class cls) {
        addMethod(cls, "objectAtIndexedSubscript:", imp(&objectAtIndexedSubscript), "@@:Q");
    });
    registerClass("MTLRenderPipelineDescriptor", [](Class cls) {
        addMethod(cls, "colorAttachments", imp(&colorAttachments), "@@:");
    });
    registerClass("MTLDepthStencilDescriptor", [](Class) {});
    registerClass("FakeMTLRenderPipelineState", [](Class) {});
    registerClass("FakeMTLDepthStencilState", [](Class) {});
    registerClass("FakeMTLRenderCommandEncoder", [](Class cls) {
        addMethod(cls, "setVertexBuffer:offset:atIndex:", imp(&setVertexBuffer), "v@:@QQ");
        addMethod(cls, "drawPrimitives:vertexStart:vertexCount:", imp(&drawPrimitives), "v@:QQQ");
    });
    registerClass("FakeMTLTexture", [](Class cls) {
        addMethod(cls, "replaceRegion:mipmapLevel:withBytes:bytesPerRow:", imp(&replaceRegion),
                  "v@:{MTLRegion={MTLOrigin=QQQ}{MTLSize=QQQ}}Q^vQ");
    });
    registerClass("FakeNSError", [](Class cls) {
        addMethod(cls, "localizedDescription", imp(&localizedDescription), "@@:");
        addMethod(cls, "localizedFailureReason", imp(&localizedFailureReason), "@@:");
    });
}

UnityMetalDeviceRef hostDevice() {
    return World::get().device();
}

UnityMetalCommandEncoderRef hostEncoder() {
    return World::get().encoder();
}

}  // namespace

}  // namespace fakemetal

// The entry points of Apple's runtime that GNU libobjc lacks; the backend's weak references to
// them resolve to these.
extern "C" void* objc_autoreleasePoolPush(void) {
    fakemetal::state().pools.emplace_back();
    return reinterpret_cast<void*>(fakemetal::state().pools.size());
}

// Like Apple's, ends the pool of the token and any pool opened after it.
extern "C" void objc_autoreleasePoolPop(void* pool) {
    auto& pools = fakemetal::state().pools;
    while (pools.size() >= reinterpret_cast<size_t>(pool)) {
        for (id object : pools.back()) {
            fakemetal::dropReference(object);
        }
        pools.pop_back();
    }
}

namespace fakemetal {

World& World::get() {
    static World world;
    return world;
}

World::World() {
    registerClasses();
}

void World::reset() {
    for (auto& [object, record] : state().records) {
        object_dispose(object);
    }
    State& current = state();
    current.records.clear();
    current.counters.clear();
    current.log.clear();
    current.messagesToReleased.clear();
    current.released.clear();
    current.compiledSource.reset();
    current.device = nil;
    current.encoder = nil;
    current.pools.clear();
    current.outsidePools.clear();
    libraryError.reset();
    pipelineError.reset();
}

const std::vector<std::string>& World::log() const {
    return state().log;
}

void World::clearLog() {
    state().log.clear();
}

id World::device() {
    if (state().device == nil) {
        state().device = make("FakeMTLDevice", "device", false, "device");
    }
    return state().device;
}

id World::encoder() {
    if (state().encoder == nil) {
        state().encoder = make("FakeMTLRenderCommandEncoder", "encoder", false, "encoder");
    }
    return state().encoder;
}

id World::newTexture(int width, int height) {
    id texture = make("FakeMTLTexture", "texture", false);
    Record& record = recordOf(texture);
    record.width = width;
    record.height = height;
    record.memory.assign(size_t(width) * size_t(height) * 4, 0);
    return texture;
}

id World::newBuffer(UInteger bufferLength) {
    id buffer = make("FakeMTLBuffer", "hostBuffer", false);
    recordOf(buffer).memory.assign(bufferLength, 0);
    return buffer;
}

const std::vector<uint8_t>& World::texturePixels(id texture) const {
    return recordOf(texture).memory;
}

const std::vector<uint8_t>& World::bufferBytes(id buffer) const {
    return recordOf(buffer).memory;
}

id World::objectNamed(const std::string& name) const {
    for (const auto& [object, record] : state().records) {
        if (record.name == name) {
            return object;
        }
    }
    return nil;
}

const StringRecord& World::compiledSource() const {
    if (!state().compiledSource) {
        throw std::logic_error("nothing was compiled");
    }
    return *state().compiledSource;
}

std::vector<std::string> World::unreleasedObjects() const {
    std::vector<std::string> names;
    for (const auto& [object, record] : state().records) {
        if (record.ownedByBackend && record.references > 0) {
            names.push_back(record.name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> World::releasedObjects() const {
    std::vector<std::string> names;
    for (const std::string& name : state().released) {
        if (name != "string") {
            names.push_back(name);
        }
    }
    return names;
}

const std::vector<std::string>& World::messagesToReleasedObjects() const {
    return state().messagesToReleased;
}

int World::referenceCount(id object) const {
    return state().records.at(object).references;
}

const std::vector<std::string>& World::outsideAutoreleasePools() const {
    return state().outsidePools;
}

size_t World::openAutoreleasePools() const {
    return state().pools.size();
}

IUnityGraphicsMetalV1* World::graphicsInterface() {
    static IUnityGraphicsMetalV1 metal{nullptr,      &hostDevice, nullptr,
                                       &hostEncoder, nullptr,     nullptr};
    return &metal;
}

IUnityGraphicsMetal* World::unversionedGraphicsInterface() {
    static IUnityGraphicsMetal metal{nullptr, &hostDevice, nullptr, &hostEncoder, nullptr, nullptr};
    return &metal;
}

}  // namespace fakemetal
