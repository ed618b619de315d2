#pragma once
// Scratch memory for one thread of a render, and what that thread remembers from tile to tile.
// Tiles are computed in memory that is handed out and taken back far more often than any
// allocator would like, so each thread keeps its own chunks and a stack discipline over them.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "imaging/pixel.h"
#include "imaging/recent.h"
#include "imaging/simd.h"
#include "imaging/tile.h"

namespace imaging {

// The memory is handed out front to back and taken back to a mark, so a computation nested
// inside another (a buffer cell computed on first use) returns what it
// took. Chunks are kept, so steady-state renders do not allocate.
//
// It also remembers what was evaluated in it, by node and region, so that a node that several
// others read over the same region (a picture, its straight colour) is computed once per tile.
// A tile is forgotten when the memory it may lie in is taken back.
class Arena {
 public:
  struct Mark {
    std::size_t chunk, used;
    bool operator<(const Mark& m) const { return chunk < m.chunk || (chunk == m.chunk && used < m.used); }
  };

  Tile allocate(const PixelRect& r, int channels = 4) {
    std::size_t floats = static_cast<std::size_t>(r.area()) * channels;
    while (chunk_ < chunks_.size() && chunks_[chunk_].size() - used_ < floats) ++chunk_, used_ = 0;
    if (chunk_ == chunks_.size()) {
      chunks_.emplace_back(std::max<std::size_t>(floats, std::size_t{1} << 20));
      used_ = 0;
    }
    float* p = chunks_[chunk_].data() + used_;
    used_ += floats;
    return {p, static_cast<std::ptrdiff_t>(channels * r.width), r, false, channels};
  }
  Mark mark() const { return {chunk_, used_}; }
  void release(const Mark& m) {
    chunk_ = m.chunk, used_ = m.used;
    std::erase_if(remembered_, [&](const Remembered& r) { return !(r.before < m); });
  }
  // Before each tile: nothing handed out is in use any more, so the flat rows missed since
  // the last reset can be made now without moving a row that some tile still reads.
  void reset();

  // A row of `width` copies of value, for a flat tile, which only reads it. Flat tiles are
  // mostly of a few values (nothing, an opaque mask), thousands of them a frame; their rows are
  // kept from tile to tile instead of written out for each.
  float* flatRow(f4 value, std::int64_t width) {
    if (FlatRow* f = flatRows_.find([&](const FlatRow& f) { return sameValue(f.value, value) && f.width >= width; }))
      return f->row.get();
    if (misses_.size() < kFlatRows) misses_.push_back({value, width});
    Tile row = allocate({0, 0, width, 1});
    simd::fill(row, value);
    return row.data;
  }
  // The same for a grey tile: a row of pixels whose four components are all the grey, read as
  // greys. (The rows of nothing and of opaque white serve both kinds of tile.)
  float* flatGreyRow(float grey, std::int64_t width) { return flatRow(f4{} + grey, (width + 3) / 4); }

  // `before`: the mark taken before the tile was evaluated.
  void remember(const void* node, const PixelRect& r, const Tile& t, const Mark& before) {
    remembered_.push_back({node, r, t, before});
  }
  std::optional<Tile> recall(const void* node, const PixelRect& r) const {
    for (const Remembered& m : remembered_)
      if (m.node == node && m.rect == r) return m.tile;
    return std::nullopt;
  }

 private:
  struct Remembered {
    const void* node;
    PixelRect rect;
    Tile tile;
    Mark before;
  };

  struct FlatRow {
    f4 value;
    std::int64_t width = 0;
    std::unique_ptr<float[]> row;
  };
  struct Miss {
    f4 value;
    std::int64_t width;
  };
  static constexpr std::size_t kFlatRows = 16;

  // Widens the value's row, or adds one in place of the row used longest ago.
  void keepFlatRow(f4 value, std::int64_t width);

  std::vector<std::vector<float>> chunks_;
  std::size_t chunk_ = 0, used_ = 0;
  std::vector<Remembered> remembered_;
  RecentlyUsed<FlatRow, kFlatRows> flatRows_;
  std::vector<Miss> misses_;
};

// The arena of the pool thread numbered `worker` (parallel.h).
Arena& arenaOf(int worker);

}  // namespace imaging
