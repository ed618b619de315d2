#include "imaging/arena.h"

#include <algorithm>
#include <memory>

#include "imaging/parallel.h"

namespace imaging {

void Arena::reset() {
  release({0, 0});
  for (const Miss& miss : misses_) keepFlatRow(miss.value, miss.width);
  misses_.clear();
}

void Arena::keepFlatRow(f4 value, std::int64_t width) {
  auto it = std::find_if(flatRows_.begin(), flatRows_.end(),
                         [&](const FlatRow& f) { return sameValue(f.value, value); });
  if (it == flatRows_.end() && flatRows_.size() < kFlatRows)
    it = flatRows_.insert(flatRows_.end(), FlatRow{value, 0, nullptr, 0});
  if (it == flatRows_.end())
    it = std::min_element(flatRows_.begin(), flatRows_.end(),
                          [](const FlatRow& a, const FlatRow& b) { return a.used < b.used; });
  if (!sameValue(it->value, value) || it->width < width) {
    it->value = value;
    it->width = std::max<std::int64_t>(width, 256);
    it->row = std::make_unique_for_overwrite<float[]>(static_cast<std::size_t>(4 * it->width));
    simd::fill({it->row.get(), 0, {0, 0, it->width, 1}}, value);
  }
  it->used = clock_;
}

Arena& arenaOf(int worker) {
  static std::vector<Arena> arenas(workerCount());
  return arenas[worker];
}

}  // namespace imaging
