#include "imaging/plan.h"

#include <algorithm>
#include <cassert>

namespace imaging {
namespace {

using Entry = Plan::Entry;

// Post-order: every node after its inputs.
Entry& collect(Plan& plan, const Node* n) {
  auto [it, fresh] = plan.entries.try_emplace(n);
  Entry& e = it->second;
  if (!fresh) return e;
  e.node = n;
  assert(n->inputs.size() <= kMaxInputs);
  for (std::size_t i = 0; i < n->inputs.size(); ++i) e.inputs[i] = &collect(plan, n->inputs[i].get());
  plan.order.push_back(&e);
  return e;
}

// Regions and readers flow from the root to the sources. A view passes its readers on to its
// input: the input is what they really read.
void planRegions(Plan& plan) {
  for (auto it = plan.order.rbegin(); it != plan.order.rend(); ++it) {
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
bool cheap(const Node* n, int depth = 0) {
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
void chooseMaterialised(Plan& plan, const Schedule& schedule) {
  for (Entry* e : plan.order) {
    if (e == plan.root || e->roi.isEmpty() || e->node->hints.view) continue;
    e->materialised = !cheap(e->node) && ((e->consumers > 1 && !e->readInPlace) || e->readWithMargin);
    e->remembered = schedule.memoisedTiles && !e->materialised && e->consumers > 1 && e->readInPlace;
  }
}

// Buffers are only reserved here, and nodes prepared; nothing is computed until it is first
// read.
void allocateBuffers(Plan& plan, const Schedule& schedule) {
  for (Entry* e : plan.order) {
    if (e->materialised) {
      const int channels = e->node->channels;
      e->buffer = BufferPool::acquire(static_cast<std::size_t>(e->roi.area()) * channels);
      e->tile = {e->buffer.get(), static_cast<std::ptrdiff_t>(channels * e->roi.width), e->roi, false, channels};
      e->columns = (e->roi.width + plan.cellWidth - 1) / plan.cellWidth;
      std::int64_t rows = (e->roi.height + plan.cellHeight - 1) / plan.cellHeight;
      e->cells.reset(new std::atomic<std::uint8_t>[static_cast<std::size_t>(e->columns * rows)]());
      e->cellValues.reset(new f4[static_cast<std::size_t>(e->columns * rows)]);
      e->partsClaimed.reset(new std::atomic<std::uint32_t>[static_cast<std::size_t>(e->columns * rows)]());
      e->partsWritten.reset(new std::atomic<std::uint32_t>[static_cast<std::size_t>(e->columns * rows)]());
    }
    PixelRect box = e->node->pixelBox().intersected(e->roi);
    if (!box.isEmpty()) e->state = e->node->prepare(box, schedule);
    if (schedule.flatCells && e->node->hints.flat && box == e->roi && !box.isEmpty()) {
      const int channels = e->node->channels;
      e->row.resize(static_cast<std::size_t>(channels * box.width));
      e->node->compute({e->row.data(), 0, {box.x, box.y, box.width, 1}, false, channels}, {}, e->state.get());
      e->tile = {e->row.data(), 0, box, true, channels};
    }
  }
}

}  // namespace

Plan makePlan(const Node::Ptr& root, const PixelRect& region, const Schedule& schedule, Schedule::Grain cells) {
  Plan plan;
  plan.cellWidth = cells.width, plan.cellHeight = cells.height;
  plan.root = &collect(plan, root.get());
  plan.root->roi = region;
  planRegions(plan);
  chooseMaterialised(plan, schedule);
  allocateBuffers(plan, schedule);
  return plan;
}

}  // namespace imaging
