#include "imaging/render.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <optional>
#include <thread>

#include "imaging/arena.h"
#include "imaging/blend_mask.h"
#include "imaging/once.h"
#include "imaging/parallel.h"
#include "imaging/pixel.h"
#include "imaging/plan.h"
#include "imaging/simd.h"

namespace imaging {
namespace {

void zero(const Tile& t) {
  for (std::int64_t y = t.rect.y; y < t.rect.maxY(); ++y)
    std::memset(t.at(t.rect.x, y), 0, sizeof(float) * t.channels * t.rect.width);
}

// A buffer's cell that came out as one value, beside kDone (once.h). A flat cell keeps only its
// value until a read that is not flat throughout needs its pixels: most of a mask is flat, and
// most reads of it are too.
constexpr std::uint8_t kFlat = kDone + 1;

// The evaluator: walks one band's plan (plan.h) tile by tile, computing each node's pixels
// where they are read, into the buffers the plan reserved or into the worker's arena.
class Evaluation {
 public:
  Evaluation(const Node::Ptr& root, const PixelRect& region, const Schedule& schedule, Schedule::Grain cells)
      : schedule_(schedule), plan_(makePlan(root, region, schedule, cells)) {}

  Tile evaluateRoot(const PixelRect& r, Arena& arena) const { return evaluate(*plan_.root, r, arena); }

 private:
  using Entry = Plan::Entry;

  // The node's pixels over r: a view of its buffer when it has one (computed there on first
  // use), else computed into arena memory; a flat tile wherever they are one value.
  // Transparent outside the node's pixel box.
  Tile evaluate(const Entry& e, const PixelRect& r, Arena& arena) const {
    if (!e.row.empty()) return e.tile.view(r);
    if (e.buffer) {
      assert(e.tile.rect.contains(r));
      if (auto value = ensureComputed(e, r, arena)) return flatTile(arena, r, *value, e.node->channels);
      if (!schedule_.flatCells) return e.tile.view(r);
      writeFlatCells(e, r);
      // A read reaches into cells around it (a blur's margin), whose other parts may differ.
      if (auto value = flatValue(e.tile.view(r))) return flatTile(arena, r, *value, e.node->channels);
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
      out = arena.allocate(r, e.node->channels);
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
    return PixelRect{e.roi.x + column * plan_.cellWidth, e.roi.y + row * plan_.cellHeight, plan_.cellWidth, plan_.cellHeight}
        .intersected(e.roi);
  }

  // Writes out the pixels of the flat cells that r touches (all of them computed), for a read
  // that sees the buffer's memory: the parts of each cell that r reaches, each part by
  // whichever thread claims it first, the others waiting until it is written. Writing a part
  // cannot fail, so the waits end.
  void writeFlatCells(const Entry& e, const PixelRect& r) const {
    const std::int64_t partColumns = schedule_.cellPartColumns, partRows = schedule_.cellPartRows;
    const std::int64_t partWidth = (plan_.cellWidth + partColumns - 1) / partColumns;
    const std::int64_t partHeight = (plan_.cellHeight + partRows - 1) / partRows;
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
    std::int64_t c0 = (need.x - e.roi.x) / plan_.cellWidth, c1 = (need.maxX() - 1 - e.roi.x) / plan_.cellWidth;
    std::int64_t r0 = (need.y - e.roi.y) / plan_.cellHeight, r1 = (need.maxY() - 1 - e.roi.y) / plan_.cellHeight;
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
    if (t.flat && box == out.rect) return t.pixelAt(box.x, box.y);
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
    if (auto value = flatOver(e, box)) return flatTile(arena, box, *value, n->channels);
    Tile inputs[kMaxInputs];
    bool evaluated = !h.blend && (n->kind == NodeKind::pointwise || (schedule_.flatCells && h.keepsFlatInput));
    if (evaluated) {
      bool allFlat = true;
      for (std::size_t i = 0; i < n->inputs.size(); ++i) {
        inputs[i] = evaluate(*e.inputs[i], n->inputRegion(i, box), arena);
        allFlat = allFlat && inputs[i].flat;
      }
      if (allFlat && !n->inputs.empty())
        return flatTile(arena, box, n->kind == NodeKind::pointwise ? onePixel(e, inputs) : inputs[0].pixelAt(inputs[0].rect.x, inputs[0].rect.y),
                        n->channels);
    }
    Tile out = into ? *into : arena.allocate(box, n->channels);
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
    const Tile out{value, 4, one, false, e.node->channels};
    e.node->compute(out, std::span<const Tile>(views, e.node->inputs.size()), e.state.get());
    return out.pixelAt(one.x, one.y);
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

  // A tile of one value over r, in the layout of `channels`: a single row of copies, read as
  // every row.
  static Tile flatTile(Arena& arena, const PixelRect& r, f4 value, int channels) {
    if (channels == 1) return {arena.flatGreyRow(value[0], r.width), 0, r, true, 1};
    return {arena.flatRow(value, r.width), 0, r, true};
  }

  // The one value of every pixel of t, if it has one.
  static std::optional<f4> flatValue(const Tile& t) {
    const f4 first = t.pixelAt(t.rect.x, t.rect.y);
    if (simd::everyPixelIs(t, t.rect, first)) return first;
    return std::nullopt;
  }

  const Schedule schedule_;
  const Plan plan_;
  // The first exception of any cell, for the threads waiting on failed cells to throw.
  mutable Failure failure_;
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
