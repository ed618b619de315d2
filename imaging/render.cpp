#include "imaging/render.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "imaging/parallel.h"

namespace imaging {
namespace {

// Rows per strip: about 16k pixels, so a strip's tiles stay in the core's cache.
std::int64_t rowsPerStrip(std::int64_t width) { return std::clamp<std::int64_t>(16384 / std::max<std::int64_t>(width, 1), 4, 256); }

// Above this many pixels a render is cut into bands, each planned on its own.
constexpr std::int64_t kBandPixels = std::int64_t{12} << 20;

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

// Scratch memory for one thread's strip: handed out front to back, taken back whole when the
// strip is done. Chunks are kept, so steady-state renders do not allocate.
class Arena {
 public:
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
  void reset() { chunk_ = 0, used_ = 0; }

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

void copy(const Tile& from, const Tile& to) {
  for (std::int64_t y = to.rect.y; y < to.rect.maxY(); ++y)
    std::memcpy(to.at(to.rect.x, y), from.at(to.rect.x, y), sizeof(float) * 4 * to.rect.width);
}

// One band's plan and its materialised buffers.
class Evaluation {
 public:
  Evaluation(const Node::Ptr& root, const PixelRect& region) : root_(root.get()) {
    collect(root_);
    entry(root_).roi = region;
    planRegions();
    chooseMaterialised();
    materialise();
  }

  // The node's pixels over r: a view of its buffer when it has one, else computed into arena
  // memory. Transparent outside the node's pixel box.
  Tile evaluate(const Node* node, const PixelRect& r, Arena& arena) const {
    const Entry& e = entries_.at(node);
    if (e.buffer) {
      assert(e.tile.rect.contains(r));
      return e.tile.view(r);
    }
    PixelRect box = node->pixelBox().intersected(r);
    if (node->passesInputThrough() && box == r) return evaluate(node->inputs[0].get(), r, arena);
    Tile out = arena.allocate(r);
    computeInto(node, e, out, box, arena);
    return out;
  }

 private:
  struct Entry {
    PixelRect roi;
    int consumers = 0;
    bool readWithMargin = false;  // by an area filter: its pixels are read more than once
    bool needsWholeInput = false; // prepares over its whole input at once (a blur)
    bool materialised = false;
    BufferPool::Buffer buffer;  // set once the pixels are there
    Tile tile;
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
      if (n->preparesWholeInput()) entry(n->inputs[0].get()).needsWholeInput = true;
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
      e.materialised = e.needsWholeInput ||
                       (!cheap(n) && (e.consumers > 1 || e.readWithMargin));
    }
  }

  // Inputs first: by the time a node is prepared or materialised, every buffer it reads exists.
  void materialise() {
    for (const Node* n : order_) {
      Entry& e = entry(n);
      PixelRect box = n->pixelBox().intersected(e.roi);
      if (n->preparesWholeInput() && !box.isEmpty())
        e.state = n->prepare(entry(n->inputs[0].get()).tile.view(n->inputRegion(0, box)), box);
      if (!e.materialised) continue;
      auto buffer = BufferPool::acquire(static_cast<std::size_t>(e.roi.area()) * 4);
      Tile whole{buffer.get(), static_cast<std::ptrdiff_t>(4 * e.roi.width), e.roi};
      forEachStrip(e.roi, rowsPerStrip(e.roi.width), [&](const PixelRect& strip, int worker) {
        Arena& arena = arenaOf(worker);
        arena.reset();
        computeInto(n, e, whole.view(strip), n->pixelBox().intersected(strip), arena);
      });
      e.buffer = std::move(buffer);
      e.tile = whole;
    }
  }

  void computeInto(const Node* n, const Entry& e, const Tile& out, const PixelRect& box, Arena& arena) const {
    if (box != out.rect) zero(out);
    if (box.isEmpty()) return;
    if (n->passesInputThrough()) {
      const Node* input = n->inputs[0].get();
      const Entry& in = entries_.at(input);
      if (in.buffer) copy(in.tile, out.view(box));
      else computeInto(input, in, out.view(box), input->pixelBox().intersected(box), arena);
      return;
    }
    Tile inputs[kMaxInputs];
    std::span<Tile> in(inputs, n->inputs.size());
    for (std::size_t i = 0; i < n->inputs.size(); ++i)
      in[i] = evaluate(n->inputs[i].get(), n->inputRegion(i, box), arena);
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
    forEachStrip(band, rowsPerStrip(band.width), [&](const PixelRect& strip, int worker) {
      Arena& arena = arenaOf(worker);
      arena.reset();
      sink(evaluation.evaluate(root.get(), strip, arena));
    });
  }
}

}  // namespace imaging
