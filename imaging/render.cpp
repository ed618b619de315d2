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
#include "imaging/pixel.h"
#include "imaging/simd.h"

namespace imaging {
namespace {

// Above this many pixels a render is cut into bands, each planned on its own: a band's
// buffers are reused by the next, so a large picture faults in fresh memory for one band
// only. A default video frame (1080x1920) is one band.
constexpr std::int64_t kBandPixels = std::int64_t{2} << 20;

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
// Within a tile, a blend looks for a mask of 0 or 1 in columns this wide.
constexpr std::int64_t kBlendColumn = 32;

// The blend's mask over a tile, if it is the same 0 or 1 everywhere: then the blend is just
// its background or its image there.
enum class Uniform { no, zero, one };
// Every blend asks this of every tile, so the mask's green is scanned two pixels at a time
// for its least and greatest value, a row at a time until they differ. A NaN anywhere makes
// the tile mixed, as it would be pixel by pixel.
Uniform uniformMask(const Tile& mask) {
  if (mask.rect.isEmpty()) return Uniform::zero;
  float least = mask.at(mask.rect.x, mask.rect.y)[1], greatest = least, poison = 0;
  const std::int64_t n = 4 * mask.rect.width;
  for (std::int64_t y = mask.rect.y; y < mask.rect.maxY() && least == greatest; ++y) {
    const float* p = mask.at(mask.rect.x, y);
    f8 lo = splatV<f8>(least), hi = lo, nan{};
    std::int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
      f8 green = lane<1>(loadV<f8>(p + i));
      lo = minV(lo, green), hi = maxV(hi, green), nan += green * 0;
    }
    for (int k = 0; k < 8; k += 4)
      least = std::min(least, lo[k]), greatest = std::max(greatest, hi[k]), poison += nan[k];
    if (i < n) least = std::min(least, p[i + 1]), greatest = std::max(greatest, p[i + 1]), poison += p[i + 1] * 0;
  }
  if (least != greatest || poison != 0) return Uniform::no;
  return least == 0 ? Uniform::zero : least == 1 ? Uniform::one : Uniform::no;
}

// One band's plan and its buffers: an entry per node, each pointing at its inputs' entries, so
// that evaluating walks the plan without looking anything up.
class Evaluation {
 public:
  Evaluation(const Node::Ptr& root, const PixelRect& region) {
    root_ = &collect(root.get());
    root_->roi = region;
    planRegions();
    chooseMaterialised();
    allocateBuffers();
  }

  Tile evaluateRoot(const PixelRect& r, Arena& arena) const { return evaluate(*root_, r, arena); }

 private:
  struct Entry {
    const Node* node = nullptr;
    Entry* inputs[kMaxInputs] = {};
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
    // A uniform node's one row, seen as every row of roi (tile with stride 0).
    std::vector<float> row;
  };

  // Post-order: every node after its inputs. Entries live in a map, so their addresses hold.
  Entry& collect(const Node* n) {
    auto [it, fresh] = entries_.try_emplace(n);
    Entry& e = it->second;
    if (!fresh) return e;
    e.node = n;
    assert(n->inputs.size() <= kMaxInputs);
    for (std::size_t i = 0; i < n->inputs.size(); ++i) e.inputs[i] = &collect(n->inputs[i].get());
    order_.push_back(&e);
    return e;
  }

  // Regions and readers flow from the root to the sources. A view passes its readers on to its
  // input: the input is what they really read.
  void planRegions() {
    for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
      Entry& e = **it;
      const Node* n = e.node;
      PixelRect box = n->pixelBox().intersected(e.roi);
      if (box.isEmpty()) continue;
      for (std::size_t i = 0; i < n->inputs.size(); ++i) {
        Entry& in = *e.inputs[i];
        in.roi = in.roi.united(n->inputRegion(i, box));
        in.consumers += n->isView() ? std::max(e.consumers, 1) : 1;
        in.readWithMargin |= n->sharesInputPixels() || (n->isView() && e.readWithMargin);
      }
    }
  }

  // Cheap enough to compute again wherever it is needed: sources and short point-wise runs.
  static bool cheap(const Node* n, int depth = 0) {
    if (n->kind == NodeKind::source) return true;
    if (n->kind != NodeKind::pointwise || depth >= 2) return false;
    for (const auto& in : n->inputs)
      if (!cheap(in.get(), depth + 1)) return false;
    return true;
  }

  void chooseMaterialised() {
    for (Entry* e : order_) {
      if (e == root_ || e->roi.isEmpty() || e->node->isView()) continue;
      e->materialised = !cheap(e->node) && (e->consumers > 1 || e->readWithMargin);
    }
  }

  // Buffers are only reserved here, and nodes prepared; nothing is computed until it is first
  // read.
  void allocateBuffers() {
    for (Entry* e : order_) {
      if (e->materialised) {
        e->buffer = BufferPool::acquire(static_cast<std::size_t>(e->roi.area()) * 4);
        e->tile = {e->buffer.get(), static_cast<std::ptrdiff_t>(4 * e->roi.width), e->roi};
        e->columns = (e->roi.width + kCellWidth - 1) / kCellWidth;
        std::int64_t rows = (e->roi.height + kCellHeight - 1) / kCellHeight;
        e->cells.reset(new std::atomic<std::uint8_t>[static_cast<std::size_t>(e->columns * rows)]());
      }
      PixelRect box = e->node->pixelBox().intersected(e->roi);
      if (!box.isEmpty()) e->state = e->node->prepare(box);
      if (e->node->isUniform() && box == e->roi && !box.isEmpty()) {
        e->row.resize(static_cast<std::size_t>(4 * box.width));
        e->node->compute({e->row.data(), 0, {box.x, box.y, box.width, 1}}, {}, e->state.get());
        e->tile = {e->row.data(), 0, box};
      }
    }
  }

  // The node's pixels over r: a view of its buffer when it has one (computed there on first
  // use), else computed into arena memory. Transparent outside the node's pixel box.
  Tile evaluate(const Entry& e, const PixelRect& r, Arena& arena) const {
    if (!e.row.empty()) return e.tile.view(r);
    if (e.buffer) {
      assert(e.tile.rect.contains(r));
      ensureComputed(e, r, arena);
      return e.tile.view(r);
    }
    PixelRect box = e.node->pixelBox().intersected(r);
    Tile mask;
    if (box == r)
      if (auto tile = shortcut(e, r, arena, mask)) return *tile;
    Tile out = arena.allocate(r);
    computeInto(e, out, box, arena, mask);
    return out;
  }

  // Computes every cell of the buffer that r touches and that no one has computed yet; waits
  // for cells another thread is computing. Inputs are never waiting on their consumers, so
  // the waits cannot go round in a circle.
  void ensureComputed(const Entry& e, const PixelRect& r, Arena& arena) const {
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
          computeInto(e, e.tile.view(cell), e.node->pixelBox().intersected(cell), arena);
          arena.release(mark);
          state.store(2, std::memory_order_release);
        } else {
          while (state.load(std::memory_order_acquire) != 2) std::this_thread::yield();
        }
      }
  }

  // Where a node's pixels are some input's pixels unchanged: a view inside its input, a blend
  // whose mask is all 0 or all 1. A blend's mask, once evaluated, is left in `mask` so that
  // computing the blend does not evaluate it again.
  std::optional<Tile> shortcut(const Entry& e, const PixelRect& box, Arena& arena, Tile& mask) const {
    if (e.node->passesInputThrough(box)) return evaluate(*e.inputs[0], box, arena);
    if (e.node->blendsByMask()) {
      if (!mask.data) mask = evaluate(*e.inputs[2], box, arena);
      Uniform u = uniformMask(mask);
      if (u != Uniform::no) return evaluate(*e.inputs[u == Uniform::one ? 0 : 1], box, arena);
    }
    return std::nullopt;
  }

  // `mask`: a blend's mask over box, when the caller has already evaluated it.
  void computeInto(const Entry& e, const Tile& out, const PixelRect& box, Arena& arena, Tile mask = {}) const {
    if (box != out.rect) zero(out);
    if (box.isEmpty()) return;
    if (auto tile = shortcut(e, box, arena, mask)) {
      simd::copyPixels(*tile, out.view(box));
      return;
    }
    if (e.node->blendsByMask()) return computeBlend(e, out.view(box), arena, mask);
    computeFromInputs(e, out.view(box), arena, mask);
  }

  // A blend whose mask is mixed somewhere in the region: narrow columns where the mask is 0 or
  // 1 throughout copy the side they show, and only runs of mixed columns are blended. Along a
  // subject's outline this leaves the costly side (an edge fill, say) to a narrow band.
  void computeBlend(const Entry& e, const Tile& out, Arena& arena, const Tile& mask) const {
    const PixelRect& box = out.rect;
    auto column = [&](std::int64_t x) {
      PixelRect c{x, box.y, std::min(kBlendColumn, box.maxX() - x), box.height};
      return std::pair{c, uniformMask(mask.view(c))};
    };
    for (std::int64_t x = box.x; x < box.maxX();) {
      auto [c, u] = column(x);
      if (u != Uniform::no) {
        simd::copyPixels(evaluate(*e.inputs[u == Uniform::one ? 0 : 1], c, arena), out.view(c));
        x = c.maxX();
        continue;
      }
      std::int64_t end = c.maxX();
      while (end < box.maxX()) {
        auto [next, v] = column(end);
        if (v != Uniform::no) break;
        end = next.maxX();
      }
      PixelRect run{x, box.y, end - x, box.height};
      computeFromInputs(e, out.view(run), arena, mask.view(run));
      x = end;
    }
  }

  void computeFromInputs(const Entry& e, const Tile& out, Arena& arena, const Tile& mask) const {
    const PixelRect& box = out.rect;
    const Node* n = e.node;
    if (n->pullsInputs()) {
      n->computePulling(
          out,
          [&](std::size_t i, const PixelRect& r, const Node::Use& use) {
            Arena::Mark mark = arena.mark();
            use(evaluate(*e.inputs[i], r, arena));
            arena.release(mark);
          },
          e.state.get());
      return;
    }
    Tile inputs[kMaxInputs];
    std::span<Tile> in(inputs, n->inputs.size());
    for (std::size_t i = 0; i < n->inputs.size(); ++i)
      in[i] = n->blendsByMask() && i == 2 ? mask : evaluate(*e.inputs[i], n->inputRegion(i, box), arena);
    n->compute(out, in, e.state.get());
  }

  Entry* root_ = nullptr;
  std::unordered_map<const Node*, Entry> entries_;
  std::vector<Entry*> order_;
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
      sink(evaluation.evaluateRoot(tile, arena));
    });
  }
}

}  // namespace imaging
