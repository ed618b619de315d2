// Filter nodes: the two area filters (Gaussian blur, disk minimum) around their kernels, and
// the point-wise filters, each a small loop over the pixels of a tile.
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
  Blur(Ptr input, double sigma)
      : Node(NodeKind::area, input->extent.insetBy(-3 * sigma, -3 * sigma), {input}),
        sigma_(sigma),
        reach_(GaussianBlur(sigma).reach()),
        readsInParts_(GaussianBlur(sigma).readsInParts()) {}

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

// Applies op to every pixel of the inputs (one tile each, all covering out.rect), two pixels
// at a time. op is generic over f4 and f8, so its formula is written once.
template <class Op>
class PointWise final : public Node {
 public:
  PointWise(Rect extent, std::vector<Ptr> inputs, Op op, bool blendsByMask = false)
      : Node(NodeKind::pointwise, extent, std::move(inputs)), op_(op), blendsByMask_(blendsByMask) {}

  bool blendsByMask() const override { return blendsByMask_; }

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
  bool blendsByMask_;
};

template <class Op>
Node::Ptr pointWise(Rect extent, std::vector<Node::Ptr> inputs, Op op, bool blendsByMask = false) {
  return std::make_shared<PointWise<Op>>(extent, std::move(inputs), op, blendsByMask);
}

// Integer powers are exact products; others go through powf, keeping the sign.
template <class V>
V power(V v, double p) {
  if (p == 6) {
    V v2 = v * v;
    return v2 * v2 * v2;
  }
  if (p == std::floor(p) && std::fabs(p) <= 16) {
    V r = splatV<V>(1);
    for (int i = 0; i < std::fabs(p); ++i) r *= v;
    return p < 0 ? 1 / r : r;
  }
  for (int i = 0; i < int(sizeof(V) / sizeof(float)); ++i)
    v[i] = std::copysign(std::pow(std::fabs(v[i]), static_cast<float>(p)), v[i]);
  return v;
}

f4 toF4(const Vector4& v) { return f4{v.x, v.y, v.z, v.w}; }

}  // namespace

Node::Ptr makeGaussianBlur(const Node::Ptr& input, double sigma) {
  return std::make_shared<Blur>(input, sigma);
}

Node::Ptr makeMorphologyMinimum(const Node::Ptr& input, double radius) {
  return std::make_shared<MorphologyMinimum>(input, radius);
}

Node::Ptr makeUnpremultiply(const Node::Ptr& input) {
  return pointWise(input->extent, {input}, [](auto p) { return unpremultiply(p); });
}

// Only alpha changes: the stored colour components stay, whatever they mean.
Node::Ptr makeAlphaOne(const Node::Ptr& input, const Rect& inside) {
  return pointWise(inside, {input}, [](auto p) { return withAlpha(p, decltype(p){} + 1); });
}

// The mask's value is its premultiplied green: transparent mask pixels count as 0.
Node::Ptr makeBlendWithMask(const Node::Ptr& input, const Node::Ptr& background, const Node::Ptr& mask) {
  Rect extent = input->extent.intersected(mask->extent).united(background->extent);
  return pointWise(
      extent, {input, background, mask}, [](auto in, auto bg, auto m) { return bg + (in - bg) * lane<1>(m); }, true);
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

// Each output component is a row of the matrix dotted with the straight colour: computed as
// the sum of the matrix's columns scaled by the components, four multiply-adds. Common
// matrices take shorter ways: one that reads only alpha (an opacity made into a colour) and
// one that only scales alpha (a layer made fainter) skip the division by alpha, the second
// being one product on premultiplied pixels; a diagonal one (a weight, a gain and offset) is
// one multiply-add.
Node::Ptr makeColorMatrix(const Node::Ptr& input, const ColorMatrix& m) {
  f4 columns[4], bias = toF4(m.bias);
  const Vector4* rows[4] = {&m.red, &m.green, &m.blue, &m.alpha};
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 4; ++i) columns[j][i] = (&rows[i]->x)[j];
  auto isZero = [](f4 v) { return v[0] == 0 && v[1] == 0 && v[2] == 0 && v[3] == 0; };
  if (isZero(columns[0]) && isZero(columns[1]) && isZero(columns[2]))
    return pointWise(input->extent, {input}, [=](auto p) {
      using V = decltype(p);
      return premultiply(repeated<V>(bias) + repeated<V>(columns[3]) * lane<3>(p));
    });
  const f4 diagonal{m.red.x, m.green.y, m.blue.z, m.alpha.w};
  bool isDiagonal = true;
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 4; ++i) isDiagonal &= i == j || columns[j][i] == 0;
  const bool keepsColour = diagonal[0] == 1 && diagonal[1] == 1 && diagonal[2] == 1 && isZero(bias);
  if (isDiagonal && keepsColour) {
    const float w = diagonal[3];
    return pointWise(input->extent, {input}, [=](auto p) { return lane<3>(p) != 0 ? p * w : decltype(p){}; });
  }
  if (isDiagonal)
    return pointWise(input->extent, {input}, [=](auto p) {
      using V = decltype(p);
      return premultiply(repeated<V>(bias) + repeated<V>(diagonal) * unpremultiply(p));
    });
  return pointWise(input->extent, {input}, [=](auto p) {
    using V = decltype(p);
    V s = unpremultiply(p);
    V r = repeated<V>(bias) + repeated<V>(columns[0]) * lane<0>(s) + repeated<V>(columns[1]) * lane<1>(s) +
          repeated<V>(columns[2]) * lane<2>(s) + repeated<V>(columns[3]) * lane<3>(s);
    return premultiply(r);
  });
}

Node::Ptr makeColorClamp(const Node::Ptr& input, const Vector4& min, const Vector4& max) {
  f4 lo = toF4(min), hi = toF4(max);
  return pointWise(input->extent, {input}, [=](auto p) {
    using V = decltype(p);
    return premultiply(minV(maxV(unpremultiply(p), repeated<V>(lo)), repeated<V>(hi)));
  });
}

Node::Ptr makeGamma(const Node::Ptr& input, double p) {
  return pointWise(input->extent, {input}, [=](auto px) {
    auto s = unpremultiply(px);
    return premultiply(withAlpha(power(s, p), s));
  });
}

}  // namespace imaging
