#pragma once
// Memory for the renderer's materialised buffers, kept from one render to the next: a video
// frame's buffers have the same sizes as the last frame's, and fresh pages would cost more
// than the computing.
#include <cstddef>
#include <memory>

namespace imaging {

class BufferPool {
 public:
  // Gives the buffer back to the pool rather than to the system.
  struct Release {
    std::size_t floats;
    void operator()(float* p) const { BufferPool::give(p, floats); }
  };
  using Buffer = std::unique_ptr<float[], Release>;

  // A buffer of at least `floats` floats, of whatever it held before.
  static Buffer acquire(std::size_t floats);

 private:
  static void give(float* p, std::size_t floats);
};

}  // namespace imaging
