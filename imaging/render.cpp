#include "imaging/render.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "imaging/parallel.h"
#include "imaging/simd.h"

namespace imaging {
namespace {


// Above this many pixels a render is cut into bands, each planned on its own.
constexpr std::int64_t kBandPixels = std::int64_t{8} << 20;

// No node reads more than three inputs (a blend: image, background, mask).
constexpr std::size_t kMaxInputs = 3;

// Materialised buffers, kept for the next render: a video frame's buffers have the same sizes
// as the last frame's, and fresh pages would cost more than the computing.
class BufferPool {
 public:
  struct Release {
    std::size_t floats;
    void operator()(float* p) const { BufferPool::give(p, floats); }
  };
  using Buffer = std::unique_ptr<float[], Release>;

  static Buffer acquire(std::size_t floats) {
    {
      std::lock_guard lock(mutex());
      auto& kept = free();
      // Any kept buffer that is large enough and not wastefully so.
      for (auto it = kept.begin(); it != kept.end(); ++it)
        if (it->second >= floats && it->second <= 2 * floats) {
          std::size_t capacity = it->second;
          float* p = it->first.release();
          kept.erase(it);
          return Buffer(p, Release{capacity});
        }
    }
    return Buffer(new float[floats], Release{floats});
  }

 private:
  static constexpr std::size_t kKeepFloats = std::size_t{128} << 20;  // 512 MB

  static void give(float* p, std::size_t floats) {
    std::lock_guard lock(mutex());
    auto& kept = free();
    kept.emplace_back(std::unique_ptr<float[]>(p), floats);
    std::size_t total = 0;
    for (const auto& k : kept) total += k.second;
    while (total > kKeepFloats) total -= kept.front().second, kept.erase(kept.begin());
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::pair<std::unique_ptr<float[]>, std::size_t>>& free() {
    static std::vector<std::pair<std::unique_ptr<float[]>, std::size_t>> kept;
    return kept;
  }
};

// Scratch memory for one thread: handed out front to back and taken back to a mark, so a
// computation nested inside another (a buffer cell computed on first use) returns what it
// took. Chunks are kept, so steady-state renders do not allocate.
class Arena {
 public:
  struct Mark {
    std::size_t chunk, used;
  };

  Tile allocate(const PixelRect& r) {
    std::size_t floats = static_cast<std::size_t>(r.area()) * 4;
    while (chunk_ < chunks_.size() && chunks_[chunk_].size() - used_ < floats) ++chunk_, used_ = 0;
    if (chunk_ == chunks_.size()) {
      chunks_.emplace_back(std::max<std::size_t>(floats, std::size_t{1} << 20));
      used_ = 0;
    }
    float* p = chunks_[chunk_].data() + used_;
    used_ += floats;
    return {p, static_cast<std::ptrdiff_t>(4 * r.width), r};
  }
  Mark mark() const { return {chunk_, used_}; }
  void release(const Mark& m) { chunk_ = m.chunk, used_ = m.used; }
  void reset() { release({0, 0}); }

 private:
  std::vector<std::vector<float>> chunks_;
  std::size_t chunk_ = 0, used_ = 0;
};

Arena& arenaOf(int worker) {
  static std::vector<Arena> arenas(workerCount());
  return arenas[worker];
}

void zero(const Tile& t) {
  for (std::int64_t y = t.rect.y; y < t.rect.maxY(); ++y)
    std::memset(t.at(t.rect.x, y), 0, sizeof(float) * 4 * t.rect.width);
}

// Output is computed in tiles of this size, in parallel; a blend whose mask is 0 or 1 over a
// whole tile computes only the side it shows.
constexpr std::int64_t kTileWidth = 128, kTileHeight = 32;
// A buffer's pixels are computed cell by cell, on first use.
constexpr std::int64_t kCellWidth = 128, kCellHeight = 32;

// The blend's mask over a tile, if it is the same 0 or 1 everywhere: then the blend is just
// its background or its image there.
enum class Uniform { no, zero, one };
Uniform uniformMask(const Tile& mask) {
  bool zeros = true, ones = true;
  for (std::int64_t y = mask.rect.y; y < mask.rect.maxY() && (zeros || ones); ++y) {
    const float* p = mask.at(mask.rect.x, y) + 1;
    for (std::int64_t i = 0; i < 4 * mask.rect.width; i += 4) zeros &= p[i] == 0, ones &= p[i] == 1;
  }
  return zeros ? Uniform::zero : ones ? Uniform::one : Uniform::no;
}

// One band's plan and its buffers.
class Evaluation {
 public:
  Evaluation(const Node::Ptr& root, const PixelRect& region) : root_(root.get()) {
    collect(root_);
    entry(root_).roi = region;
    planRegions();
    chooseMaterialised();
    allocateBuffers();
  }

  // The node's pixels over r: a view of its buffer when it has one (computed there on first
  // use), else computed into arena memory. Transparent outside the node's pixel box.
  Tile evaluate(const Node* node, const PixelRect& r, Arena& arena) const {
    const Entry& e = entries_.at(node);
    if (e.buffer) {
      assert(e.tile.rect.contains(r));
      ensureComputed(node, e, r, arena);
      return e.tile.view(r);
    }
    PixelRect box = node->pixelBox().intersected(r);
    Tile mask;
    if (box == r)
      if (auto tile = shortcut(node, r, arena, mask)) return *tile;
    Tile out = arena.allocate(r);
    computeInto(node, e, out, box, arena, mask);
    return out;
  }

 private:
  struct Entry {
    PixelRect roi;
    int consumers = 0;
    bool readWithMargin = false;  // by an area filter: its pixels are read more than once
    bool materialised = false;
    BufferPool::Buffer buffer;
    Tile tile;
    // Per cell of the buffer: 0 not computed, 1 being computed, 2 done.
    std::unique_ptr<std::atomic<std::uint8_t>[]> cells;
    std::int64_t columns = 0;
    std::unique_ptr<RenderState> state;
  };

  Entry& entry(const Node* n) { return entries_[n]; }

  // Post-order: every node after its inputs.
  void collect(const Node* n) {
    if (entries_.count(n)) return;
    entries_[n];
    for (const auto& in : n->inputs) collect(in.get());
    order_.push_back(n);
  }

  void planRegions() {
    for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
      const Node* n = *it;
      Entry& e = entry(n);
      PixelRect box = n->pixelBox().intersected(e.roi);
      if (box.isEmpty()) continue;
      for (std::size_t i = 0; i < n->inputs.size(); ++i) {
        Entry& in = entry(n->inputs[i].get());
        in.roi = in.roi.united(n->inputRegion(i, box));
        in.consumers++;
        if (n->sharesInputPixels()) in.readWithMargin = true;
      }
    }
  }

  // Cheap enough to compute again wherever it is needed: sources and short point-wise runs.
  bool cheap(const Node* n, int depth = 0) const {
    if (n->kind == NodeKind::source) return true;
    if (n->kind != NodeKind::pointwise || depth >= 2) return false;
    for (const auto& in : n->inputs)
      if (!cheap(in.get(), depth + 1)) return false;
    return true;
  }

  void chooseMaterialised() {
    for (const Node* n : order_) {
      Entry& e = entry(n);
      if (n == root_ || e.roi.isEmpty()) continue;
      e.materialised = !cheap(n) && (e.consumers > 1 || e.readWithMargin);
    }
  }

  // Buffers are only reserved here, and nodes prepared; nothing is computed until it is first
  // read.
  void allocateBuffers() {
    for (const Node* n : order_) {
      Entry& e = entry(n);
      if (e.materialised) {
        e.buffer = BufferPool::acquire(static_cast<std::size_t>(e.roi.area()) * 4);
        e.tile = {e.buffer.get(), static_cast<std::ptrdiff_t>(4 * e.roi.width), e.roi};
        e.columns = (e.roi.width + kCellWidth - 1) / kCellWidth;
        std::int64_t rows = (e.roi.height + kCellHeight - 1) / kCellHeight;
        e.cells.reset(new std::atomic<std::uint8_t>[static_cast<std::size_t>(e.columns * rows)]());
      }
      PixelRect box = n->pixelBox().intersected(e.roi);
      if (!box.isEmpty()) e.state = n->prepare(box);
    }
  }

  // Computes every cell of the buffer that r touches and that no one has computed yet; waits
  // for cells another thread is computing. Inputs are never waiting on their consumers, so
  // the waits cannot go round in a circle.
  void ensureComputed(const Node* n, const Entry& e, const PixelRect& r, Arena& arena) const {
    PixelRect need = r.intersected(e.roi);
    if (need.isEmpty()) return;
    std::int64_t c0 = (need.x - e.roi.x) / kCellWidth, c1 = (need.maxX() - 1 - e.roi.x) / kCellWidth;
    std::int64_t r0 = (need.y - e.roi.y) / kCellHeight, r1 = (need.maxY() - 1 - e.roi.y) / kCellHeight;
    for (std::int64_t row = r0; row <= r1; ++row)
      for (std::int64_t column = c0; column <= c1; ++column) {
        std::atomic<std::uint8_t>& state = e.cells[static_cast<std::size_t>(row * e.columns + column)];
        if (state.load(std::memory_order_acquire) == 2) continue;
        std::uint8_t idle = 0;
        if (state.compare_exchange_strong(idle, 1, std::memory_order_acq_rel)) {
          PixelRect cell = PixelRect{e.roi.x + column * kCellWidth, e.roi.y + row * kCellHeight, kCellWidth, kCellHeight}
                               .intersected(e.roi);
          Arena::Mark mark = arena.mark();
          computeInto(n, e, e.tile.view(cell), n->pixelBox().intersected(cell), arena);
          arena.release(mark);
          state.store(2, std::memory_order_release);
        } else {
          while (state.load(std::memory_order_acquire) != 2) std::this_thread::yield();
        }
      }
  }

  // Where a node's pixels are some input's pixels unchanged: a crop inside its rectangle, a
  // blend whose mask is all 0 or all 1. A blend's mask, once evaluated, is left in `mask` so
  // that computing the blend does not evaluate it again.
  std::optional<Tile> shortcut(const Node* n, const PixelRect& box, Arena& arena, Tile& mask) const {
    if (n->passesInputThrough()) return evaluate(n->inputs[0].get(), box, arena);
    if (n->blendsByMask()) {
      if (!mask.data) mask = evaluate(n->inputs[2].get(), box, arena);
      Uniform u = uniformMask(mask);
      if (u != Uniform::no) return evaluate(n->inputs[u == Uniform::one ? 0 : 1].get(), box, arena);
    }
    return std::nullopt;
  }

  // `mask`: a blend's mask over box, when the caller has already evaluated it.
  void computeInto(const Node* n, const Entry& e, const Tile& out, const PixelRect& box, Arena& arena,
                   Tile mask = {}) const {
    if (box != out.rect) zero(out);
    if (box.isEmpty()) return;
    if (auto tile = shortcut(n, box, arena, mask)) {
      simd::copyPixels(*tile, out.view(box));
      return;
    }
    Tile inputs[kMaxInputs];
    std::span<Tile> in(inputs, n->inputs.size());
    for (std::size_t i = 0; i < n->inputs.size(); ++i)
      in[i] = n->blendsByMask() && i == 2 ? mask : evaluate(n->inputs[i].get(), n->inputRegion(i, box), arena);
    n->compute(out.view(box), in, e.state.get());
  }

  const Node* root_;
  std::unordered_map<const Node*, Entry> entries_;
  std::vector<const Node*> order_;
};

}  // namespace

void renderStrips(const Node::Ptr& root, const PixelRect& region,
                  const std::function<void(const Tile& strip)>& sink) {
  if (region.isEmpty()) return;
  std::int64_t bandRows = std::max<std::int64_t>(256, kBandPixels / region.width);
  for (std::int64_t y = region.y; y < region.maxY(); y += bandRows) {
    PixelRect band{region.x, y, region.width, std::min(bandRows, region.maxY() - y)};
    Evaluation evaluation(root, band);
    forEachTile(band, kTileWidth, kTileHeight, [&](const PixelRect& tile, int worker) {
      Arena& arena = arenaOf(worker);
      arena.reset();
      sink(evaluation.evaluate(root.get(), tile, arena));
    });
  }
}

}  // namespace imaging
