#pragma once
// The renderer: evaluates an image's graph over a region, strip by strip on every core.
//
// It walks the graph once to learn which region each node must supply (regions of interest
// flow from the output down through transforms, blurs and erosions) and how many consumers
// each node has. Nodes whose pixels would otherwise be computed more than once (shared by
// several consumers, or read with a margin by an area filter) are materialised into a buffer
// over exactly their region of interest; every other node is computed inline, strip by strip,
// so a run of point-wise filters costs one pass through cache-sized tiles. Large regions are
// rendered in bands so that no buffer grows with the picture beyond a fixed budget.
#include <cstdint>
#include <functional>

#include "imaging/node.h"

namespace imaging {

// Calls `sink` with the image's pixels over `region`, one tile at a time, from several
// threads at once: each tile exactly once, in no particular order. The tile handed to the
// sink is valid only during the call. Whatever a node's computing throws (running out of
// memory, say) ends the render and is thrown here, on the caller's thread. The schedule says
// how the work is cut and which shortcuts it takes; `tiles` is one of its grains.
void renderStrips(const Node::Ptr& root, const PixelRect& region,
                  const std::function<void(const Tile& strip)>& sink, const Schedule& schedule,
                  Schedule::Grain tiles);

}  // namespace imaging
