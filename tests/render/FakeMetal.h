// Fake Metal objects, registered as Objective-C classes at run time (no Objective-C compiler):
// a device, buffers, a library and functions, the three descriptor classes the backend looks up
// by name, pipeline and depth-stencil states, a render command encoder, textures, errors, and
// the NSString class. Every message that changes something is appended to a log as readable
// text ("buffer1 setLabel:\"PluginVB\""), and every object keeps a reference count, so tests
// can compare the exact messages in order and find leaks and over-releases. The world also stands
// in for the runtime's autorelease pools: objects that Cocoa would hand out autoreleased (a class's
// vertexDescriptor, errors and their texts) are released when the pool ends.
#pragma once

#include "IUnityGraphicsMetal.h"
#include "MetalTypes.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace fakemetal {

struct ErrorTexts {
    std::optional<std::string> description;    // absent: localizedDescription returns nil
    std::optional<std::string> failureReason;  // absent: localizedFailureReason returns nil
};

struct StringRecord {
    std::vector<uint8_t> bytes;
    objc::UInteger encoding = 0;
};

// The one fake Metal world of the process.
class World {
  public:
    static World& get();

    // Forgets every object and logged message and clears the configured errors.
    void reset();

    // What the next compilation and pipeline creation report, if anything.
    std::optional<ErrorTexts> libraryError;
    std::optional<ErrorTexts> pipelineError;

    const std::vector<std::string>& log() const;
    void clearLog();

    // The host's objects: the device, the encoder of the current render pass, a texture of the
    // given size (its pixels start as zero bytes) and a buffer of the given length.
    id device();
    id encoder();
    id newTexture(int width, int height);
    id newBuffer(objc::UInteger length);

    // A texture's pixels, width * 4 bytes per row.
    const std::vector<uint8_t>& texturePixels(id texture) const;
    // A buffer's memory.
    const std::vector<uint8_t>& bufferBytes(id buffer) const;
    // The object the backend created under that log name ("buffer1", "pipelineState1").
    id objectNamed(const std::string& name) const;
    // The text object given to the device for compilation.
    const StringRecord& compiledSource() const;

    // Objects that the backend owned (+1) and has not released, by name; the objects other than
    // text objects whose last reference went, in the order they went; and every message that
    // reached an object after its last release.
    std::vector<std::string> unreleasedObjects() const;
    std::vector<std::string> releasedObjects() const;
    const std::vector<std::string>& messagesToReleasedObjects() const;
    int referenceCount(id object) const;

    // The logged messages, releases and autoreleases that came with no autorelease pool open,
    // and the pools open now.
    const std::vector<std::string>& outsideAutoreleasePools() const;
    size_t openAutoreleasePools() const;

    // The host's versioned and unversioned Metal interfaces, whose MetalDevice() and
    // CurrentCommandEncoder() are this world's.
    IUnityGraphicsMetalV1* graphicsInterface();
    IUnityGraphicsMetal* unversionedGraphicsInterface();

  private:
    World();
};

}  // namespace fakemetal
