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
  FlatRow* row = flatRows_.find([&](const FlatRow& f) { return sameValue(f.value, value); });
  if (row && row->width >= width) return;
  if (!row) row = &flatRows_.keep({value, 0, nullptr});
  row->width = std::max<std::int64_t>(width, 256);
  row->row = std::make_unique_for_overwrite<float[]>(static_cast<std::size_t>(4 * row->width));
  simd::fill({row->row.get(), 0, {0, 0, row->width, 1}}, value);
}

Arena& arenaOf(int worker) {
  static std::vector<Arena> arenas(workerCount());
  return arenas[worker];
}

}  // namespace imaging
