// The frame buffers of one texture binding: three, so that the decode output's copy and the
// render event's upload never wait for each other. The copy writes one, the newest complete
// picture waits in the second, and the render event uploads from the third. Which buffer plays
// which part changes only under the instance's texture lock, and in O(1).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

class FrameBuffers {
  public:
    // Buffers of `size` bytes: one opaque black (BGRA 0, 0, 0, 255) waiting to be uploaded, the
    // other two made when the first picture comes (a bound texture without pictures costs one
    // buffer); null when memory runs out.
    static std::shared_ptr<FrameBuffers> create(size_t size) noexcept;

    size_t size() const { return size_; }

    // The buffer the copy writes into, every byte of it, before it publishes it; null when
    // memory runs out. Only the decode output thread uses it, without a lock.
    uint8_t* writable() noexcept;

    // The rest is called with the texture lock held.
    // The written buffer becomes the newest picture. True when that replaced a picture that was
    // never uploaded.
    bool publish();
    // The newest picture for the render event to upload, which it keeps until its next take;
    // null when nothing new arrived since the last take.
    const uint8_t* takeNewest();
    // The newest complete picture (or the black of a new binding).
    const uint8_t* newest() const;
    // Whether a picture was published: from then on every buffer taken holds one.
    bool holdsPictures() const { return published_; }

  private:
    explicit FrameBuffers(size_t size) : size_(size) {}

    size_t size_;
    // A buffer that was never written is never uploaded: the ones made later become the written
    // or the reading one before anything reads them.
    std::array<std::unique_ptr<uint8_t[]>, 3> pixels_;
    // Always a permutation of 0, 1, 2.
    int writing_ = 0;
    int ready_ = 1;
    int reading_ = 2;
    bool readyIsNew_ = true;
    bool published_ = false;
};
