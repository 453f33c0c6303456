// Picture memory for the BGRA pixel buffers of one decompression session, reused from picture to
// picture instead of allocated for each.
#pragma once

#include <CoreVideo/CoreVideo.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace compat {

class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
  public:
    static std::shared_ptr<PixelBufferPool> create();

    // A new BGRA pixel buffer (one reference, owned by the caller) of that size, 64-byte rows,
    // or null when memory runs out. Its memory returns to the pool when the buffer dies, even
    // after the pool's creator has let go of the pool.
    CVPixelBufferRef makeBuffer(size_t width, size_t height);

  private:
    struct FreeDeleter {
        void operator()(uint8_t* memory) const;
    };
    using Memory = std::unique_ptr<uint8_t, FreeDeleter>;

    PixelBufferPool() = default;
    Memory take(size_t bytes);
    void giveBack(uint8_t* memory, size_t bytes);

    std::mutex mutex_;
    size_t blockBytes_ = 0;
    std::vector<Memory> free_;
};

}  // namespace compat
