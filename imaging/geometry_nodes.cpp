// Geometry nodes: affine transforms, crops and clamping to the extent.
//
// A move by whole pixels is a view of the input. Any other transform is resampled along each
// axis when its matrix keeps the axes apart (scales, mirrors, translations), or swaps them
// (quarter turns, after a transpose); anything else is sampled bilinearly. Consecutive
// transforms fold into one, so a picture moved to the origin and then stretched is resampled
// once.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "imaging/kernels.h"
#include "imaging/nodes.h"
#include "imaging/pixel.h"
#include "imaging/simd.h"

namespace imaging {
namespace {


// Remembers the transform it stands for, so that a further transform can fold into it.
class TransformNode : public Node {
 public:
  TransformNode(NodeKind kind, Rect extent, std::vector<Ptr> inputs, Ptr original, Affine transform, Hints hints,
                int channels = 4)
      : Node(kind, extent, std::move(inputs), std::move(hints), channels),
        original(std::move(original)),
        transform(transform) {}
  const Ptr original;
  const Affine transform;
};

class Resample final : public TransformNode {
 public:
  Resample(Ptr input, Ptr original, Affine transform, AxisMap x, AxisMap y)
      : TransformNode(NodeKind::area, transform.apply(original->extent), {std::move(input)}, original, transform,
                      {.sharesInputPixels = true}),
        x_(x),
        y_(y) {}

  PixelRect inputRegion(std::size_t, const PixelRect& out) const override {
    return resampleInputRegion(out, x_, y_, inputs[0]->pixelBox());
  }
  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    resample(in[0], out, x_, y_, inputs[0]->pixelBox());
  }

 private:
  AxisMap x_, y_;
};

// A move by whole pixels: a view of the input under other coordinates, never resampled.
class Translation final : public TransformNode {
 public:
  Translation(Ptr input, Affine transform)
      : TransformNode(NodeKind::pointwise, transform.apply(input->extent), {input}, input, transform,
                      {.view = true,
                       .shift = {static_cast<std::int64_t>(transform.tx), static_cast<std::int64_t>(transform.ty)}},
                      input->channels) {}

  PixelRect inputRegion(std::size_t, const PixelRect& out) const override {
    return {out.x - hints.shift.dx, out.y - hints.shift.dy, out.width, out.height};
  }
  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    simd::copyPixels({in[0].data, in[0].stride, out.rect, in[0].flat, in[0].channels}, out);
  }
};

// Whether t moves by whole pixels, no further than any picture reaches.
bool isWholePixelMove(const Affine& t) {
  auto whole = [](double v) { return v == std::floor(v) && std::fabs(v) < double(std::int64_t{1} << 31); };
  return t.a == 1 && t.b == 0 && t.c == 0 && t.d == 1 && whole(t.tx) && whole(t.ty);
}

// Swaps the axes: output (x, y) is input (y, x).
class Transpose final : public Node {
 public:
  explicit Transpose(Ptr input) : Node(NodeKind::area, swapped(input->extent), {input}) {}

  PixelRect inputRegion(std::size_t, const PixelRect& out) const override {
    return {out.y, out.x, out.height, out.width};
  }
  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* d = out.at(out.rect.x, y);
      for (std::int64_t x = out.rect.x; x < out.rect.maxX(); ++x, d += 4) store4(d, load4(in[0].at(y, x)));
    }
  }

 private:
  static Rect swapped(const Rect& r) { return {r.y, r.x, r.height, r.width}; }
};

// Any other affine: bilinear sampling at the inverse-mapped pixel centre.
class GeneralTransform final : public TransformNode {
 public:
  GeneralTransform(Ptr input, Affine transform)
      : TransformNode(NodeKind::area, transform.apply(input->extent), {input}, input, transform,
                      {.sharesInputPixels = true}),
        inverse_(invert(transform)) {}

  PixelRect inputRegion(std::size_t, const PixelRect& out) const override {
    Rect back = inverse_.apply(Rect{double(out.x), double(out.y), double(out.width), double(out.height)});
    PixelRect r{static_cast<std::int64_t>(std::floor(back.x)) - 1, static_cast<std::int64_t>(std::floor(back.y)) - 1,
                static_cast<std::int64_t>(std::ceil(back.width)) + 3, static_cast<std::int64_t>(std::ceil(back.height)) + 3};
    return r.intersected(inputs[0]->pixelBox());
  }

  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    const Tile& src = in[0];
    const PixelRect& box = inputs[0]->pixelBox();
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* d = out.at(out.rect.x, y);
      for (std::int64_t x = out.rect.x; x < out.rect.maxX(); ++x, d += 4) {
        Point p = inverse_.apply(Point{x + 0.5, y + 0.5});
        store4(d, sample(src, box, p.x - 0.5, p.y - 0.5));
      }
    }
  }

 private:
  static Affine invert(const Affine& m) {
    double det = m.a * m.d - m.b * m.c;
    Affine inv{m.d / det, -m.b / det, -m.c / det, m.a / det, 0, 0};
    inv.tx = -(inv.a * m.tx + inv.c * m.ty);
    inv.ty = -(inv.b * m.tx + inv.d * m.ty);
    return inv;
  }
  // Positions are clamped to the input's pixels, as the axis resampler does.
  static f4 sample(const Tile& src, const PixelRect& box, double u, double v) {
    if (src.rect.isEmpty() || u < box.x - 0.5 || v < box.y - 0.5 || u > box.maxX() - 0.5 || v > box.maxY() - 0.5)
      return f4{0, 0, 0, 0};
    u = std::clamp(u, double(src.rect.x), double(src.rect.maxX() - 1));
    v = std::clamp(v, double(src.rect.y), double(src.rect.maxY() - 1));
    auto x0 = static_cast<std::int64_t>(std::floor(u)), y0 = static_cast<std::int64_t>(std::floor(v));
    std::int64_t x1 = std::min(x0 + 1, src.rect.maxX() - 1), y1 = std::min(y0 + 1, src.rect.maxY() - 1);
    float fx = static_cast<float>(u - x0), fy = static_cast<float>(v - y0);
    f4 bottom = load4(src.at(x0, y0)) * splat(1 - fx) + load4(src.at(x1, y0)) * splat(fx);
    f4 top = load4(src.at(x0, y1)) * splat(1 - fx) + load4(src.at(x1, y1)) * splat(fx);
    return bottom * splat(1 - fy) + top * splat(fy);
  }

  Affine inverse_;
};

class Crop final : public Node {
 public:
  Crop(Ptr input, const Rect& rect)
      : Node(NodeKind::pointwise, input->extent.intersected(rect), {input}, {.view = true}, input->channels) {}
  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    simd::copyPixels(in[0], out);
  }
};

// Edge pixels repeat outward: each output pixel reads the nearest pixel of the input's box.
// Inside the input's box a strip reads just its own pixels; outside, only edge pixels: no
// input pixel is worth a buffer for it.
class Clamp final : public Node {
 public:
  explicit Clamp(Ptr input)
      : Node(NodeKind::area, input->pixelBox().isEmpty() ? Rect{} : Rect::infinite(), {input},
             {.view = true, .keepsFlatInput = true}, input->channels) {}

  PixelRect inputRegion(std::size_t, const PixelRect& out) const override {
    const PixelRect& b = inputs[0]->pixelBox();
    std::int64_t x0 = nearest(out.x, b.x, b.maxX()), x1 = nearest(out.maxX() - 1, b.x, b.maxX());
    std::int64_t y0 = nearest(out.y, b.y, b.maxY()), y1 = nearest(out.maxY() - 1, b.y, b.maxY());
    return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
  }

  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    const Tile& src = in[0];
    // Columns [innerX0, innerX1) of the output lie over the input; the rest repeat its edges.
    std::int64_t innerX0 = std::clamp(src.rect.x, out.rect.x, out.rect.maxX());
    std::int64_t innerX1 = std::clamp(src.rect.maxX(), innerX0, out.rect.maxX());
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      std::int64_t sy = nearest(y, src.rect.y, src.rect.maxY());
      simd::fill(out.view({out.rect.x, y, innerX0 - out.rect.x, 1}), src.pixelAt(src.rect.x, sy));
      std::memcpy(out.at(innerX0, y), src.at(innerX0, sy), sizeof(float) * out.channels * (innerX1 - innerX0));
      simd::fill(out.view({innerX1, y, out.rect.maxX() - innerX1, 1}), src.pixelAt(src.rect.maxX() - 1, sy));
    }
  }

 private:
  static std::int64_t nearest(std::int64_t v, std::int64_t lo, std::int64_t hi) {
    return std::clamp(v, lo, hi - 1);
  }
};

}  // namespace

Node::Ptr makeTransform(const Node::Ptr& input, const Affine& t) {
  Node::Ptr original = input;
  Affine m = t;
  if (auto folded = dynamic_cast<const TransformNode*>(input.get())) {
    original = folded->original;
    m = folded->transform.then(t);
  }
  if (m.isIdentity()) return original;
  if (isWholePixelMove(m)) return std::make_shared<Translation>(original, m);
  // Resampling works on four-float pixels.
  if (input->channels == 1) return nullptr;
  if (m.b == 0 && m.c == 0)
    return std::make_shared<Resample>(original, original, m, AxisMap{m.a, m.tx}, AxisMap{m.d, m.ty});
  if (m.a == 0 && m.d == 0)
    return std::make_shared<Resample>(std::make_shared<Transpose>(original), original, m,
                                      AxisMap{m.c, m.tx}, AxisMap{m.b, m.ty});
  return std::make_shared<GeneralTransform>(original, m);
}

Node::Ptr makeCrop(const Node::Ptr& input, const Rect& rect) { return std::make_shared<Crop>(input, rect); }

Node::Ptr makeClamp(const Node::Ptr& input) { return std::make_shared<Clamp>(input); }

Node::Ptr clampedFrom(const Node& node) {
  if (auto clamp = dynamic_cast<const Clamp*>(&node)) return clamp->inputs[0];
  return nullptr;
}

}  // namespace imaging
