#pragma once
// The renderer's first pass over a band: which region each node must supply, who reads it and
// how, and from that which nodes get a buffer, which are remembered per tile and which are
// computed wherever they are read. The evaluator (render.cpp) then walks the plan without
// looking anything up; keeping the two apart keeps the decisions in one place and the hot loop
// in another.
#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "imaging/buffer_pool.h"
#include "imaging/node.h"
#include "imaging/pixel.h"
#include "imaging/schedule.h"

namespace imaging {

// No node reads more than three inputs (a blend: image, background, mask).
constexpr std::size_t kMaxInputs = 3;

// One band's plan and its buffers: an entry per node, each pointing at its inputs' entries.
struct Plan {
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
    // Per cell of the buffer: its state (once.h), and its one value when it is flat.
    std::unique_ptr<std::atomic<std::uint8_t>[]> cells;
    std::unique_ptr<f4[]> cellValues;
    // Per flat cell, a bit for each part: claimed by a thread to write, and written.
    std::unique_ptr<std::atomic<std::uint32_t>[]> partsClaimed, partsWritten;
    std::int64_t columns = 0;
    std::unique_ptr<RenderState> state;
    // A flat node's one row, seen as every row of roi (tile with stride 0).
    std::vector<float> row;
  };

  // Entries live in a map, so their addresses hold.
  std::unordered_map<const Node*, Entry> entries;
  std::vector<Entry*> order;  // every node after its inputs
  Entry* root = nullptr;
  // The size of a buffer's cells.
  std::int64_t cellWidth = 0, cellHeight = 0;
};

// Plans the graph under root over region, with buffers cut into cells of the given grain.
// Buffers are reserved and nodes prepared; nothing is computed.
Plan makePlan(const Node::Ptr& root, const PixelRect& region, const Schedule& schedule, Schedule::Grain cells);

}  // namespace imaging
