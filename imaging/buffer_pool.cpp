#include "imaging/buffer_pool.h"

#include <mutex>
#include <utility>
#include <vector>

namespace imaging {
namespace {

constexpr std::size_t kKeepFloats = std::size_t{128} << 20;  // 512 MB

std::mutex& mutex() {
  static std::mutex m;
  return m;
}
std::vector<std::pair<std::unique_ptr<float[]>, std::size_t>>& kept() {
  static std::vector<std::pair<std::unique_ptr<float[]>, std::size_t>> buffers;
  return buffers;
}

}  // namespace

BufferPool::Buffer BufferPool::acquire(std::size_t floats) {
  {
    std::lock_guard lock(mutex());
    auto& free = kept();
    // Any kept buffer that is large enough and not wastefully so.
    for (auto it = free.begin(); it != free.end(); ++it)
      if (it->second >= floats && it->second <= 2 * floats) {
        std::size_t capacity = it->second;
        float* p = it->first.release();
        free.erase(it);
        return Buffer(p, Release{capacity});
      }
  }
  return Buffer(new float[floats], Release{floats});
}

void BufferPool::give(float* p, std::size_t floats) {
  std::lock_guard lock(mutex());
  auto& free = kept();
  free.emplace_back(std::unique_ptr<float[]>(p), floats);
  std::size_t total = 0;
  for (const auto& k : free) total += k.second;
  while (total > kKeepFloats) total -= free.front().second, free.erase(free.begin());
}

}  // namespace imaging
