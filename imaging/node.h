#pragma once
// The inside of an image: a node of the recipe graph. Each node kind states three things, as
// a libvips operation does: its extent (fixed at construction), the region it needs from each
// input for a given output region, and how to compute output pixels from input tiles; and it
// hints at what the renderer may know of its pixels without computing them. How and when
// nodes are evaluated belongs to the renderer alone, under the render's schedule.
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "imaging/geometry.h"
#include "imaging/schedule.h"
#include "imaging/tile.h"

namespace imaging {

enum class NodeKind {
  source,     // reads its own pixels; any region is cheap to fetch
  pointwise,  // output pixel depends on the same pixel of each input
  area,       // output pixel depends on a neighbourhood of its input
};

// What an area node keeps for the length of one render (a prepared blur, say).
struct RenderState {
  virtual ~RenderState() = default;
};

// What the renderer may know of a node without computing it, whatever its inputs' pixels
// are: facts that let it skip work, each false or empty unless the node says otherwise.
struct Hints {
  // Its pixels are its input's, moved by `shift` and cut off or repeated at the input's edges
  // (a crop, a move by whole pixels, a clamp to the extent): over a region its input covers,
  // the input's tile is handed out as it is. A view never needs a buffer of its own; where it
  // is read often, its input is worth a buffer instead.
  bool view = false;
  // Output pixel (x, y) is input pixel (x - dx, y - dy).
  struct Shift {
    std::int64_t dx = 0, dy = 0;
  } shift = {};
  // Computing a region reads input pixels that neighbouring regions read too (a blur's
  // margin): such an input is worth computing once, into a buffer.
  bool sharesInputPixels = false;
  // Every pixel of its pixel box is the same (a constant colour): one row serves every row of
  // any region.
  bool flat = false;
  // Its pixels over a region are one value wherever its input is that one value over the
  // region it reads (a minimum, a blur, a clamp): the output is then that value.
  bool keepsFlatInput = false;
  // Where its input is opaque, its pixels are the input's (unpremultiplying by an alpha of 1).
  bool keepsOpaqueInput = false;
  // Its pixels are opaque, alpha exactly 1, whatever its input.
  bool opaque = false;
  // Its pixels depend on its input's alpha alone (a mask made of a picture's opacity): over
  // opaque input they are one value, that of an opaque pixel.
  bool readsAlphaOnly = false;
  // A blend of two inputs by a third, the mask: where the mask's value is 1 throughout a
  // region its pixels are those of input `whereOne` there, where it is 0 those of `whereZero`.
  struct Blend {
    std::size_t whereOne, whereZero, mask;
  };
  std::optional<Blend> blend = {};
  // It may need only parts of its input region, which it finds out while computing (a blur
  // whose reduced grid other outputs have mostly computed already): it computes through
  // computePulling(), reading its inputs as it goes, instead of being handed them whole.
  bool pullsInputs = false;
};

class Node {
 public:
  using Ptr = std::shared_ptr<const Node>;

  Node(NodeKind kind, Rect extent, std::vector<Ptr> inputs = {}, Hints hints = {}, int channels = 4)
      : kind(kind),
        extent(extent),
        inputs(std::move(inputs)),
        hints(std::move(hints)),
        channels(channels),
        box_(pixelsInside(extent)) {}
  virtual ~Node() = default;

  const NodeKind kind;
  const Rect extent;
  const std::vector<Ptr> inputs;
  const Hints hints;
  // The floats a pixel of its tiles holds: 4, or 1 for a grey node (tile.h), which computes a
  // grey image one grey a pixel. A grey node reads grey inputs only, but for a blend's mask,
  // which any blend may read as greys. Where a grey node hints `opaque`, its pixels are opaque
  // greys; where not, their opacity is not known, and only what reads colour alone (an
  // erosion, a blur, a clamp, a crop, alpha set to 1, a blend's mask) may read them.
  const int channels;

  // The pixels whose centres lie inside the extent; everything else is transparent.
  const PixelRect& pixelBox() const { return box_; }

  // The region of input `i` read to compute `out` (which lies inside pixelBox()).
  virtual PixelRect inputRegion(std::size_t, const PixelRect& out) const { return out; }

  // Once per render, before any compute() and before any input is computed: returns state
  // handed to every compute() of that render over parts of roi (inside pixelBox()), which
  // keeps what the node needs of the render's schedule.
  virtual std::unique_ptr<RenderState> prepare(const PixelRect& /*roi*/, const Schedule&) const { return nullptr; }

  // Fills `out` (inside pixelBox()) from tiles covering inputRegion(i, out.rect), which hold
  // zeros outside their node's pixel box. A point-wise node may be given out == in[0] (in
  // place). Called from several threads at once.
  virtual void compute(const Tile& out, std::span<const Tile> in, const RenderState* state) const = 0;

  // Reads input `i` over r (a part of inputRegion(i, out)) for a pulling compute, handing the
  // tile to `use`; the tile lives for that call only.
  using Use = std::function<void(const Tile&)>;
  using InputReader = std::function<void(std::size_t i, const PixelRect& r, const Use& use)>;
  // The computation of a node that hints pullsInputs.
  virtual void computePulling(const Tile& /*out*/, const InputReader& /*read*/, const RenderState*) const {}

  // What a node knows of its own pixels over a region (a source's memory), where no hint can
  // say it once for all: the renderer works out the rest from the hints of the nodes above.
  // Both are asked before computing, often, so an answer of "no" must come at the first pixel
  // that differs; `box` lies inside pixelBox().
  //
  // Whether its pixels over box are all one value; if so, that premultiplied value is left in
  // pixel[0..3].
  virtual bool isFlatOver(const PixelRect& /*box*/, float* /*pixel*/) const { return false; }
  // Whether every pixel over box has alpha exactly 1. Pictures and masks are mostly opaque,
  // and then dividing by alpha or reading alpha alone changes nothing.
  virtual bool isOpaqueOver(const PixelRect& /*box*/) const { return false; }

  // Pixel boxes of infinite extents stop here: far beyond any picture, and small enough that
  // sums of coordinates never overflow.
  static constexpr std::int64_t kFar = std::int64_t{1} << 40;

  static PixelRect pixelsInside(const Rect& r) {
    if (r.isEmpty()) return {};
    std::int64_t x0 = firstCentreFrom(r.x), y0 = firstCentreFrom(r.y);
    std::int64_t x1 = firstCentreFrom(r.maxX()), y1 = firstCentreFrom(r.maxY());
    if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
    return {x0, y0, x1 - x0, y1 - y0};
  }

 private:
  // The first pixel whose centre lies at or beyond v.
  static std::int64_t firstCentreFrom(double v) {
    if (!(v > -static_cast<double>(kFar))) return -kFar;
    if (v >= static_cast<double>(kFar)) return kFar;
    return static_cast<std::int64_t>(std::ceil(v - 0.5));
  }

  PixelRect box_;
};

// Whether every pixel of the node over its pixel box is opaque, as its hints and those of the
// views it shows tell, without looking at any pixel.
inline bool knownOpaque(const Node& n) { return n.hints.opaque || (n.hints.view && knownOpaque(*n.inputs[0])); }

}  // namespace imaging
