// Filter nodes: the two area filters (Gaussian blur, disk minimum) around their kernels, and
// the point-wise filters on premultiplied pixels, each a small loop over the pixels of a tile
// (those on straight colour are in straight_nodes.cpp).
#include <cmath>

#include "imaging/kernels.h"
#include "imaging/nodes.h"
#include "imaging/pixel.h"

namespace imaging {
namespace {

// ---- Area filters -------------------------------------------------------------------------

struct PreparedBlur final : RenderState {
  explicit PreparedBlur(double sigma) : blur(sigma) {}
  GaussianBlur blur;
};

class Blur final : public Node {
 public:
  Blur(Ptr input, double sigma) : Blur(std::move(input), sigma, GaussianBlur(sigma)) {}

  // A blur that reads its input in parts would lose by having the whole region computed first.
  bool keepsFlatInput() const override { return !readsInParts_; }

  PixelRect inputRegion(std::size_t, const PixelRect& out) const override { return out.grownBy(reach_.x, reach_.y); }

  std::unique_ptr<RenderState> prepare(const PixelRect& roi) const override {
    auto state = std::make_unique<PreparedBlur>(sigma_);
    state->blur.prepare(roi);
    return state;
  }

  void compute(const Tile& out, std::span<const Tile> in, const RenderState* state) const override {
    static_cast<const PreparedBlur*>(state)->blur.compute(in[0], out);
  }

  bool pullsInputs() const override { return true; }
  void computePulling(const Tile& out, const InputReader& read, const RenderState* state) const override {
    static_cast<const PreparedBlur*>(state)->blur.compute(
        [&](const PixelRect& r, const GaussianBlur::Use& use) { read(0, r, use); }, out);
  }

 private:
  Blur(Ptr input, double sigma, const GaussianBlur& blur)
      : Node(NodeKind::area, input->extent.insetBy(-3 * sigma, -3 * sigma), {input}),
        sigma_(sigma),
        reach_(blur.reach()),
        readsInParts_(blur.readsInParts()) {}

  double sigma_;
  GaussianBlur::Reach reach_;
  bool readsInParts_;
};

class MorphologyMinimum final : public Node {
 public:
  MorphologyMinimum(Ptr input, double radius)
      : Node(NodeKind::area, input->extent, {input}), radius_(radius) {}

  bool keepsFlatInput() const override { return true; }
  PixelRect inputRegion(std::size_t, const PixelRect& out) const override {
    return morphologyInputRegion(out, radius_);
  }
  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    morphologyMinimum(in[0], out, radius_);
  }

 private:
  double radius_;
};

// ---- Point-wise filters -------------------------------------------------------------------

// What the renderer may know of a point-wise filter without computing it.
struct Traits {
  bool blendsByMask = false;
  bool keepsOpaqueInput = false;  // where its input is opaque, its pixels are the input's
  bool givesOpacity = false;      // its pixels are opaque whatever the input
};

// Applies op to every pixel of the inputs (one tile each, all covering out.rect), two pixels
// at a time. op is generic over f4 and f8, so its formula is written once.
template <class Op>
class PointWise final : public Node {
 public:
  PointWise(Rect extent, std::vector<Ptr> inputs, Op op, Traits traits)
      : Node(NodeKind::pointwise, extent, std::move(inputs)), op_(op), traits_(traits) {}

  bool blendsByMask() const override { return traits_.blendsByMask; }
  bool passesInputThrough(const PixelRect& box) const override {
    return traits_.keepsOpaqueInput && inputs[0]->isOpaqueOver(box);
  }
  bool isOpaqueOver(const PixelRect& box) const override {
    return traits_.givesOpacity || passesInputThrough(box);
  }

  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    const std::int64_t x0 = out.rect.x, n = 4 * out.rect.width;
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* d = out.at(x0, y);
      const float* a = in[0].at(x0, y);
      const float* b = in.size() > 1 ? in[1].at(x0, y) : nullptr;
      const float* c = in.size() > 2 ? in[2].at(x0, y) : nullptr;
      std::int64_t i = 0;
      for (; i + 8 <= n; i += 8) storeV(d + i, apply<f8>(a, b, c, i));
      if (i < n) storeV(d + i, apply<f4>(a, b, c, i));
    }
  }

 private:
  template <class V>
  V apply(const float* a, const float* b, const float* c, std::int64_t i) const {
    if constexpr (std::is_invocable_v<Op, V>) return op_(loadV<V>(a + i));
    else if constexpr (std::is_invocable_v<Op, V, V>) return op_(loadV<V>(a + i), loadV<V>(b + i));
    else return op_(loadV<V>(a + i), loadV<V>(b + i), loadV<V>(c + i));
  }

  Op op_;
  Traits traits_;
};

template <class Op>
Node::Ptr pointWise(Rect extent, std::vector<Node::Ptr> inputs, Op op, Traits traits = {}) {
  return std::make_shared<PointWise<Op>>(extent, std::move(inputs), op, traits);
}

}  // namespace

Node::Ptr makeGaussianBlur(const Node::Ptr& input, double sigma) {
  return std::make_shared<Blur>(input, sigma);
}

Node::Ptr makeMorphologyMinimum(const Node::Ptr& input, double radius) {
  return std::make_shared<MorphologyMinimum>(input, radius);
}

Node::Ptr makeUnpremultiply(const Node::Ptr& input) {
  return pointWise(input->extent, {input}, [](auto p) { return unpremultiply(p); }, {.keepsOpaqueInput = true});
}

// Only alpha changes: the stored colour components stay, whatever they mean.
Node::Ptr makeAlphaOne(const Node::Ptr& input, const Rect& inside) {
  return pointWise(inside, {input}, [](auto p) { return withAlpha(p, decltype(p){} + 1); },
                   {.keepsOpaqueInput = true, .givesOpacity = true});
}

// The mask's value is its premultiplied green: transparent mask pixels count as 0.
Node::Ptr makeBlendWithMask(const Node::Ptr& input, const Node::Ptr& background, const Node::Ptr& mask) {
  Rect extent = input->extent.intersected(mask->extent).united(background->extent);
  return pointWise(
      extent, {input, background, mask}, [](auto in, auto bg, auto m) { return bg + (in - bg) * lane<1>(m); },
      {.blendsByMask = true});
}

Node::Ptr makeAddition(const Node::Ptr& input, const Node::Ptr& background) {
  return pointWise(input->extent.united(background->extent), {input, background}, [](auto a, auto b) { return a + b; });
}

// The difference blend mode on premultiplied colour: |a - b| where both are opaque, each
// colour alone where the other is transparent, and alpha composited as source-over.
Node::Ptr makeDifference(const Node::Ptr& input, const Node::Ptr& background) {
  return pointWise(input->extent.united(background->extent), {input, background}, [](auto s, auto b) {
    auto sa = lane<3>(s), ba = lane<3>(b);
    return withAlpha(s + b - 2 * minV(s * ba, b * sa), sa + ba - sa * ba);
  });
}

}  // namespace imaging
