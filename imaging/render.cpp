#include "imaging/render.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "imaging/once.h"
#include "imaging/parallel.h"
#include "imaging/pixel.h"
#include "imaging/simd.h"

namespace imaging {
namespace {

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

// Whether two pixel values are the same bits (a NaN is the same as itself).
bool sameValue(f4 a, f4 b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Scratch memory for one thread: handed out front to back and taken back to a mark, so a
// computation nested inside another (a buffer cell computed on first use) returns what it
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
  void release(const Mark& m) {
    chunk_ = m.chunk, used_ = m.used;
    std::erase_if(remembered_, [&](const Remembered& r) { return !(r.before < m); });
  }
  // Before each tile: nothing handed out is in use any more, so the flat rows missed since
  // the last reset can be made now without moving a row that some tile still reads.
  void reset() {
    release({0, 0});
    for (const Miss& miss : misses_) keepFlatRow(miss.value, miss.width);
    misses_.clear();
  }

  // A row of `width` copies of value, for a flat tile, which only reads it. Flat tiles are
  // mostly of a few values (nothing, an opaque mask), thousands of them a frame; their rows are
  // kept from tile to tile instead of written out for each.
  float* flatRow(f4 value, std::int64_t width) {
    ++clock_;
    for (FlatRow& f : flatRows_)
      if (sameValue(f.value, value) && f.width >= width) {
        f.used = clock_;
        return f.row.get();
      }
    if (misses_.size() < kFlatRows) misses_.push_back({value, width});
    Tile row = allocate({0, 0, width, 1});
    simd::fill(row, value);
    return row.data;
  }

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
    std::uint64_t used = 0;
  };
  struct Miss {
    f4 value;
    std::int64_t width;
  };
  static constexpr std::size_t kFlatRows = 16;

  // Widens the value's row, or adds one in place of the row used longest ago.
  void keepFlatRow(f4 value, std::int64_t width) {
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

  std::vector<std::vector<float>> chunks_;
  std::size_t chunk_ = 0, used_ = 0;
  std::vector<Remembered> remembered_;
  std::vector<FlatRow> flatRows_;
  std::vector<Miss> misses_;
  std::uint64_t clock_ = 0;
};

Arena& arenaOf(int worker) {
  static std::vector<Arena> arenas(workerCount());
  return arenas[worker];
}

void zero(const Tile& t) {
  for (std::int64_t y = t.rect.y; y < t.rect.maxY(); ++y)
    std::memset(t.at(t.rect.x, y), 0, sizeof(float) * 4 * t.rect.width);
}

// A buffer's cell that came out as one value, beside kDone (once.h). A flat cell keeps only its
// value until a read that is not flat throughout needs its pixels: most of a mask is flat, and
// most reads of it are too.
constexpr std::uint8_t kFlat = kDone + 1;

// The blend's mask over a tile, if it is flat 0 or 1: then the blend shows one of its sides
// there.
enum class MaskValue { mixed, zero, one };
// Every blend asks this of every tile, so the mask's green is scanned two pixels at a time
// for its least and greatest value, a row at a time until they differ. A NaN anywhere makes
// the tile mixed, as it would be pixel by pixel.
MaskValue flatMaskValue(const Tile& mask) {
  if (mask.rect.isEmpty()) return MaskValue::zero;
  if (mask.flat) return mask.data[1] == 0 ? MaskValue::zero : mask.data[1] == 1 ? MaskValue::one : MaskValue::mixed;
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
  if (least != greatest || poison != 0) return MaskValue::mixed;
  return least == 0 ? MaskValue::zero : least == 1 ? MaskValue::one : MaskValue::mixed;
}

// The input of a blend that shows where its mask is flat `value`.
std::size_t sideShown(const Hints::Blend& blend, MaskValue value) {
  return value == MaskValue::one ? blend.whereOne : blend.whereZero;
}

// One band's plan and its buffers: an entry per node, each pointing at its inputs' entries, so
// that evaluating walks the plan without looking anything up.
class Evaluation {
 public:
  Evaluation(const Node::Ptr& root, const PixelRect& region, const Schedule& schedule, Schedule::Grain cells)
      : schedule_(schedule), cellWidth_(cells.width), cellHeight_(cells.height) {
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
    // Read by point-wise filters only, each over the very region it computes.
    bool readInPlace = true;
    bool remembered = false;  // by the arena, for its other readers of the same region
    bool materialised = false;
    BufferPool::Buffer buffer;
    Tile tile;
    // Per cell of the buffer: its state, and its one value when it is flat.
    std::unique_ptr<std::atomic<std::uint8_t>[]> cells;
    std::unique_ptr<f4[]> cellValues;
    // Per flat cell, a bit for each part: claimed by a thread to write, and written.
    std::unique_ptr<std::atomic<std::uint32_t>[]> partsClaimed, partsWritten;
    std::int64_t columns = 0;
    std::unique_ptr<RenderState> state;
    // A flat node's one row, seen as every row of roi (tile with stride 0).
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
        const Hints& h = n->hints;
        in.consumers += h.view ? std::max(e.consumers, 1) : 1;
        in.readWithMargin |= h.sharesInputPixels || (h.view && e.readWithMargin);
        // A blend reads its sides column by column, its mask whole.
        in.readInPlace &= h.view ? e.readInPlace : n->kind == NodeKind::pointwise && (!h.blend || i == h.blend->mask);
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

  // A node read several times is computed once into a buffer, cell by cell. Where each reader
  // reads just the region it computes, the arena's memory of the tile serves instead: a buffer
  // would compute whole cells around a narrow region (an edge fill, say) and everything those
  // cells need.
  void chooseMaterialised() {
    for (Entry* e : order_) {
      if (e == root_ || e->roi.isEmpty() || e->node->hints.view) continue;
      e->materialised = !cheap(e->node) && ((e->consumers > 1 && !e->readInPlace) || e->readWithMargin);
      e->remembered = schedule_.memoisedTiles && !e->materialised && e->consumers > 1 && e->readInPlace;
    }
  }

  // Buffers are only reserved here, and nodes prepared; nothing is computed until it is first
  // read.
  void allocateBuffers() {
    for (Entry* e : order_) {
      if (e->materialised) {
        e->buffer = BufferPool::acquire(static_cast<std::size_t>(e->roi.area()) * 4);
        e->tile = {e->buffer.get(), static_cast<std::ptrdiff_t>(4 * e->roi.width), e->roi};
        e->columns = (e->roi.width + cellWidth_ - 1) / cellWidth_;
        std::int64_t rows = (e->roi.height + cellHeight_ - 1) / cellHeight_;
        e->cells.reset(new std::atomic<std::uint8_t>[static_cast<std::size_t>(e->columns * rows)]());
        e->cellValues.reset(new f4[static_cast<std::size_t>(e->columns * rows)]);
        e->partsClaimed.reset(new std::atomic<std::uint32_t>[static_cast<std::size_t>(e->columns * rows)]());
        e->partsWritten.reset(new std::atomic<std::uint32_t>[static_cast<std::size_t>(e->columns * rows)]());
      }
      PixelRect box = e->node->pixelBox().intersected(e->roi);
      if (!box.isEmpty()) e->state = e->node->prepare(box, schedule_);
      if (schedule_.flatCells && e->node->hints.flat && box == e->roi && !box.isEmpty()) {
        e->row.resize(static_cast<std::size_t>(4 * box.width));
        e->node->compute({e->row.data(), 0, {box.x, box.y, box.width, 1}}, {}, e->state.get());
        e->tile = {e->row.data(), 0, box, true};
      }
    }
  }

  // The node's pixels over r: a view of its buffer when it has one (computed there on first
  // use), else computed into arena memory; a flat tile wherever they are one value.
  // Transparent outside the node's pixel box.
  Tile evaluate(const Entry& e, const PixelRect& r, Arena& arena) const {
    if (!e.row.empty()) return e.tile.view(r);
    if (e.buffer) {
      assert(e.tile.rect.contains(r));
      if (auto value = ensureComputed(e, r, arena)) return flatTile(arena, r, *value);
      if (!schedule_.flatCells) return e.tile.view(r);
      writeFlatCells(e, r);
      // A read reaches into cells around it (a blur's margin), whose other parts may differ.
      if (auto value = flatValue(e.tile.view(r))) return flatTile(arena, r, *value);
      return e.tile.view(r);
    }
    // Read by several over the same region: computed once.
    if (e.remembered)
      if (auto tile = arena.recall(&e, r)) return *tile;
    const Arena::Mark before = arena.mark();
    PixelRect box = e.node->pixelBox().intersected(r);
    Tile out;
    if (box == r) {
      out = produce(e, r, arena, nullptr);
    } else {
      out = arena.allocate(r);
      computeInto(e, out, box, arena);
    }
    if (e.remembered) arena.remember(&e, r, out, before);
    return out;
  }

  // Computes every cell of the buffer that r touches and that no one has computed yet; waits
  // for cells another thread is computing. Inputs are never waiting on their consumers, so
  // the waits cannot go round in a circle. Returns the value of r's pixels if every cell it
  // touches was flat with that one value. Throws what computing any of them threw.
  std::optional<f4> ensureComputed(const Entry& e, const PixelRect& r, Arena& arena) const {
    bool flat = true;
    std::optional<f4> value;
    bool any = forEachCell(e, r, [&](std::int64_t row, std::int64_t column, std::size_t i) {
      std::uint8_t state = computeOnce(e.cells[i], failure_, [&] { return computeCell(e, row, column, arena); });
      flat = flat && state == kFlat && (!value || sameValue(*value, e.cellValues[i]));
      if (flat) value = e.cellValues[i];
    });
    return any && flat ? value : std::nullopt;
  }

  // The cell's pixels into the buffer, or its one value into cellValues; its state after.
  std::uint8_t computeCell(const Entry& e, std::int64_t row, std::int64_t column, Arena& arena) const {
    PixelRect cell = cellRect(e, row, column);
    Arena::Mark mark = arena.mark();
    auto value = computeInto(e, e.tile.view(cell), e.node->pixelBox().intersected(cell), arena);
    arena.release(mark);
    if (!value) return kDone;
    e.cellValues[static_cast<std::size_t>(row * e.columns + column)] = *value;
    return kFlat;
  }

  PixelRect cellRect(const Entry& e, std::int64_t row, std::int64_t column) const {
    return PixelRect{e.roi.x + column * cellWidth_, e.roi.y + row * cellHeight_, cellWidth_, cellHeight_}
        .intersected(e.roi);
  }

  // Writes out the pixels of the flat cells that r touches (all of them computed), for a read
  // that sees the buffer's memory: the parts of each cell that r reaches, each part by
  // whichever thread claims it first, the others waiting until it is written. Writing a part
  // cannot fail, so the waits end.
  void writeFlatCells(const Entry& e, const PixelRect& r) const {
    const std::int64_t partColumns = schedule_.cellPartColumns, partRows = schedule_.cellPartRows;
    const std::int64_t partWidth = (cellWidth_ + partColumns - 1) / partColumns;
    const std::int64_t partHeight = (cellHeight_ + partRows - 1) / partRows;
    forEachCell(e, r, [&](std::int64_t row, std::int64_t column, std::size_t i) {
      if (e.cells[i].load(std::memory_order_acquire) != kFlat) return;
      const PixelRect cell = cellRect(e, row, column), need = cell.intersected(r);
      auto part = [&](std::int64_t px, std::int64_t py) {
        return PixelRect{cell.x + px * partWidth, cell.y + py * partHeight, partWidth, partHeight}.intersected(cell);
      };
      std::uint32_t wanted = 0;
      for (std::int64_t py = (need.y - cell.y) / partHeight; py <= (need.maxY() - 1 - cell.y) / partHeight; ++py)
        for (std::int64_t px = (need.x - cell.x) / partWidth; px <= (need.maxX() - 1 - cell.x) / partWidth; ++px)
          wanted |= 1u << (py * partColumns + px);
      const std::uint32_t mine = wanted & ~e.partsClaimed[i].fetch_or(wanted, std::memory_order_acq_rel);
      for (std::int64_t bit = 0; bit < partColumns * partRows; ++bit)
        if (mine >> bit & 1) simd::fill(e.tile.view(part(bit % partColumns, bit / partColumns)), e.cellValues[i]);
      if (mine) e.partsWritten[i].fetch_or(mine, std::memory_order_release);
      while ((e.partsWritten[i].load(std::memory_order_acquire) & wanted) != wanted) std::this_thread::yield();
    });
  }

  // Calls fn(row, column, index) for each cell of e's buffer that r touches; false if none.
  template <class Fn>
  bool forEachCell(const Entry& e, const PixelRect& r, Fn fn) const {
    PixelRect need = r.intersected(e.roi);
    if (need.isEmpty()) return false;
    std::int64_t c0 = (need.x - e.roi.x) / cellWidth_, c1 = (need.maxX() - 1 - e.roi.x) / cellWidth_;
    std::int64_t r0 = (need.y - e.roi.y) / cellHeight_, r1 = (need.maxY() - 1 - e.roi.y) / cellHeight_;
    for (std::int64_t row = r0; row <= r1; ++row)
      for (std::int64_t column = c0; column <= c1; ++column)
        fn(row, column, static_cast<std::size_t>(row * e.columns + column));
    return true;
  }

  // out's pixels: outside box transparent, inside computed. Where box is the whole of out and
  // the pixels come out one value, nothing is written and that value is returned instead.
  std::optional<f4> computeInto(const Entry& e, const Tile& out, const PixelRect& box, Arena& arena) const {
    if (box != out.rect) zero(out);
    if (box.isEmpty()) return std::nullopt;
    Tile inside = out.view(box);
    Tile t = produce(e, box, arena, &inside);
    if (t.flat && box == out.rect) return load4(t.data);
    if (t.data != inside.data) simd::copyPixels(t, inside);
    return std::nullopt;
  }

  // The node's pixels over box (inside its pixel box): an input's tile where they are that
  // input's pixels unchanged, a flat tile where they are one value, else computed into `into`
  // (fresh arena memory when there is none).
  Tile produce(const Entry& e, const PixelRect& box, Arena& arena, const Tile* into) const {
    const Node* n = e.node;
    const Hints& h = n->hints;
    Tile mask;
    if (auto tile = shortcut(e, box, arena, mask)) return *tile;
    if (auto value = flatOver(e, box)) return flatTile(arena, box, *value);
    Tile inputs[kMaxInputs];
    bool evaluated = !h.blend && (n->kind == NodeKind::pointwise || (schedule_.flatCells && h.keepsFlatInput));
    if (evaluated) {
      bool allFlat = true;
      for (std::size_t i = 0; i < n->inputs.size(); ++i) {
        inputs[i] = evaluate(*e.inputs[i], n->inputRegion(i, box), arena);
        allFlat = allFlat && inputs[i].flat;
      }
      if (allFlat && !n->inputs.empty())
        return flatTile(arena, box, n->kind == NodeKind::pointwise ? onePixel(e, inputs) : load4(inputs[0].data));
    }
    Tile out = into ? *into : arena.allocate(box);
    if (h.blend) computeBlend(e, out, arena, mask);
    else computeFromInputs(e, out, arena, mask, evaluated ? inputs : nullptr);
    return out;
  }

  // Where a node's pixels are some input's pixels unchanged: a view inside its input, a filter
  // that keeps opaque input over opaque input, a blend whose mask is flat 0 or 1. A blend's
  // mask, once evaluated, is left in `mask` so that computing the blend does not evaluate it
  // again.
  std::optional<Tile> shortcut(const Entry& e, const PixelRect& box, Arena& arena, Tile& mask) const {
    const Hints& h = e.node->hints;
    if (passesInputThrough(*e.node, box)) {
      Tile input = evaluate(*e.inputs[0], {box.x - h.shift.dx, box.y - h.shift.dy, box.width, box.height}, arena);
      input.rect = box;
      return input;
    }
    if (schedule_.flatCells && h.blend) {
      if (!mask.data) mask = evaluate(*e.inputs[h.blend->mask], box, arena);
      MaskValue value = flatMaskValue(mask);
      if (value != MaskValue::mixed) return evaluate(*e.inputs[sideShown(*h.blend, value)], box, arena);
    }
    return std::nullopt;
  }

  // Whether the node's pixels over box (inside its pixel box) are its input's there, unchanged
  // but for its shift.
  bool passesInputThrough(const Node& n, const PixelRect& box) const {
    const Hints& h = n.hints;
    if (h.view) return n.inputs[0]->pixelBox().contains({box.x - h.shift.dx, box.y - h.shift.dy, box.width, box.height});
    return h.keepsOpaqueInput && opaqueOver(*n.inputs[0], box);
  }

  // Whether every pixel of the node over box (inside its pixel box) has alpha exactly 1, as far
  // as its own facts and the hints of the nodes down to them tell.
  bool opaqueOver(const Node& n, const PixelRect& box) const {
    if (!schedule_.opaqueSources) return false;
    const Hints& h = n.hints;
    if (h.opaque) return true;
    if (h.view) return opaqueOver(*n.inputs[0], n.inputRegion(0, box));
    if (h.keepsOpaqueInput) return opaqueOver(*n.inputs[0], box);
    return n.isOpaqueOver(box);
  }

  // The one value of the node's pixels over box (inside its pixel box), where it is known
  // without computing them: from its own facts, or from opaque input when it reads alpha alone.
  std::optional<f4> flatOver(const Entry& e, const PixelRect& box) const {
    if (!schedule_.flatCells) return std::nullopt;
    if (e.node->hints.readsAlphaOnly && opaqueOver(*e.node->inputs[0], box)) {
      float opaque[4] = {0, 0, 0, 1};
      const Tile input{opaque, 0, {box.x, box.y, 1, 1}, true};
      return onePixel(e, &input);
    }
    if (float p[4]; e.node->isFlatOver(box, p)) return load4(p);
    return std::nullopt;
  }

  // A point-wise node's one pixel from flat inputs.
  f4 onePixel(const Entry& e, const Tile* inputs) const {
    const PixelRect one{inputs[0].rect.x, inputs[0].rect.y, 1, 1};
    Tile views[kMaxInputs];
    for (std::size_t i = 0; i < e.node->inputs.size(); ++i) views[i] = inputs[i].view(one);
    float value[4];
    e.node->compute({value, 4, one}, std::span<const Tile>(views, e.node->inputs.size()), e.state.get());
    return load4(value);
  }

  // A blend whose mask is mixed somewhere in the region: narrow columns where the mask is 0 or
  // 1 throughout copy the side they show, and only runs of mixed columns are blended. Along a
  // subject's outline this leaves the costly side (an edge fill, say) to a narrow band.
  void computeBlend(const Entry& e, const Tile& out, Arena& arena, const Tile& mask) const {
    if (!schedule_.flatCells) return computeFromInputs(e, out, arena, mask, nullptr);
    forEachColumnRun(
        out.rect, schedule_.blendColumn,
        [&](const PixelRect& c) {
          MaskValue value = flatMaskValue(mask.view(c));
          return value == MaskValue::mixed ? std::nullopt : std::optional(value);
        },
        [&](const PixelRect& c, MaskValue value) {
          simd::copyPixels(evaluate(*e.inputs[sideShown(*e.node->hints.blend, value)], c, arena), out.view(c));
        },
        [&](const PixelRect& run) { computeFromInputs(e, out.view(run), arena, mask.view(run), nullptr); });
  }

  // `evaluated`: the inputs over their regions, when produce() has already evaluated them.
  void computeFromInputs(const Entry& e, const Tile& out, Arena& arena, const Tile& mask, const Tile* evaluated) const {
    const PixelRect& box = out.rect;
    const Node* n = e.node;
    if (n->hints.pullsInputs) {
      n->computePulling(
          out,
          [&](std::size_t i, const PixelRect& r, const Node::Use& use) {
            if (evaluated && evaluated[i].rect.contains(r)) return use(evaluated[i].view(r));
            Arena::Mark mark = arena.mark();
            use(evaluate(*e.inputs[i], r, arena));
            arena.release(mark);
          },
          e.state.get());
      return;
    }
    Tile inputs[kMaxInputs];
    std::span<Tile> in(inputs, n->inputs.size());
    const auto& blend = n->hints.blend;
    for (std::size_t i = 0; i < n->inputs.size(); ++i)
      in[i] = evaluated                                   ? evaluated[i]
              : blend && i == blend->mask && mask.data ? mask
                                                       : evaluate(*e.inputs[i], n->inputRegion(i, box), arena);
    n->compute(out, in, e.state.get());
  }

  // A tile of one value over r: a single row of copies, read as every row.
  static Tile flatTile(Arena& arena, const PixelRect& r, f4 value) {
    return {arena.flatRow(value, r.width), 0, r, true};
  }

  // The one value of every pixel of t, if it has one.
  static std::optional<f4> flatValue(const Tile& t) {
    const f4 first = load4(t.data);
    if (simd::everyPixelIs(t, t.rect, first)) return first;
    return std::nullopt;
  }

  const Schedule schedule_;
  std::int64_t cellWidth_, cellHeight_;
  // The first exception of any cell, for the threads waiting on failed cells to throw.
  mutable Failure failure_;
  Entry* root_ = nullptr;
  std::unordered_map<const Node*, Entry> entries_;
  std::vector<Entry*> order_;
};

}  // namespace

void renderStrips(const Node::Ptr& root, const PixelRect& region,
                  const std::function<void(const Tile& strip)>& sink, const Schedule& schedule,
                  Schedule::Grain tiles) {
  if (region.isEmpty()) return;
  std::int64_t bandRows = std::max(schedule.bandRows, schedule.bandPixels / region.width);
  for (std::int64_t y = region.y; y < region.maxY(); y += bandRows) {
    PixelRect band{region.x, y, region.width, std::min(bandRows, region.maxY() - y)};
    Evaluation evaluation(root, band, schedule, tiles);
    forEachTile(band, tiles.width, tiles.height, [&](const PixelRect& tile, int worker) {
      Arena& arena = arenaOf(worker);
      arena.reset();
      sink(evaluation.evaluateRoot(tile, arena));
    });
  }
}

}  // namespace imaging
