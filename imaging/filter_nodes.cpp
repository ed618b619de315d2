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
        reach_(GaussianBlur(sigma).reach()) {}

  PixelRect inputRegion(std::size_t, const PixelRect& out) const override { return out.grownBy(reach_, reach_); }

  bool preparesWholeInput() const override { return true; }
  std::unique_ptr<RenderState> prepare(const Tile& input, const PixelRect& roi) const override {
    auto state = std::make_unique<PreparedBlur>(sigma_);
    state->blur.prepare(input, roi);
    return state;
  }

  void compute(const Tile& out, std::span<const Tile> in, const RenderState* state) const override {
    static_cast<const PreparedBlur*>(state)->blur.compute(in[0], out);
  }

 private:
  double sigma_;
  std::int64_t reach_;
};

class MorphologyMinimum final : public Node {
 public:
  MorphologyMinimum(Ptr input, double radius)
      : Node(NodeKind::area, input->extent, {input}), radius_(radius) {}

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

// Applies op to every pixel of the inputs (one tile each, all covering out.rect).
template <class Op>
class PointWise final : public Node {
 public:
  PointWise(Rect extent, std::vector<Ptr> inputs, Op op)
      : Node(NodeKind::pointwise, extent, std::move(inputs)), op_(op) {}

  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    const std::int64_t x0 = out.rect.x, n = out.rect.width;
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* d = out.at(x0, y);
      if constexpr (std::is_invocable_v<Op, f4>) {
        const float* a = in[0].at(x0, y);
        for (std::int64_t i = 0; i < 4 * n; i += 4) store4(d + i, op_(load4(a + i)));
      } else if constexpr (std::is_invocable_v<Op, f4, f4>) {
        const float *a = in[0].at(x0, y), *b = in[1].at(x0, y);
        for (std::int64_t i = 0; i < 4 * n; i += 4) store4(d + i, op_(load4(a + i), load4(b + i)));
      } else {
        const float *a = in[0].at(x0, y), *b = in[1].at(x0, y), *c = in[2].at(x0, y);
        for (std::int64_t i = 0; i < 4 * n; i += 4) store4(d + i, op_(load4(a + i), load4(b + i), load4(c + i)));
      }
    }
  }

 private:
  Op op_;
};

template <class Op>
Node::Ptr pointWise(Rect extent, std::vector<Node::Ptr> inputs, Op op) {
  return std::make_shared<PointWise<Op>>(extent, std::move(inputs), op);
}

// Integer powers are exact products; others go through powf, keeping the sign.
float power(float v, double p) {
  if (p == 6) {
    float v2 = v * v;
    return v2 * v2 * v2;
  }
  if (p == std::floor(p) && std::fabs(p) <= 16) {
    float r = 1;
    for (int i = 0; i < std::fabs(p); ++i) r *= v;
    return p < 0 ? 1 / r : r;
  }
  return std::copysign(std::pow(std::fabs(v), static_cast<float>(p)), v);
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
  return pointWise(input->extent, {input}, [](f4 p) { return unpremultiply(p); });
}

// Only alpha changes: the stored colour components stay, whatever they mean.
Node::Ptr makeAlphaOne(const Node::Ptr& input, const Rect& inside) {
  return pointWise(inside, {input}, [](f4 p) {
    p[3] = 1;
    return p;
  });
}

// The mask's value is its premultiplied green: transparent mask pixels count as 0.
Node::Ptr makeBlendWithMask(const Node::Ptr& input, const Node::Ptr& background, const Node::Ptr& mask) {
  Rect extent = input->extent.intersected(mask->extent).united(background->extent);
  return pointWise(extent, {input, background, mask}, [](f4 in, f4 bg, f4 m) {
    f4 t = splat(m[1]);
    return bg + (in - bg) * t;
  });
}

Node::Ptr makeAddition(const Node::Ptr& input, const Node::Ptr& background) {
  return pointWise(input->extent.united(background->extent), {input, background},
                   [](f4 a, f4 b) { return a + b; });
}

// The difference blend mode on premultiplied colour: |a - b| where both are opaque, each
// colour alone where the other is transparent, and alpha composited as source-over.
Node::Ptr makeDifference(const Node::Ptr& input, const Node::Ptr& background) {
  return pointWise(input->extent.united(background->extent), {input, background}, [](f4 s, f4 b) {
    f4 r = s + b - splat(2) * min4(s * splat(b[3]), b * splat(s[3]));
    r[3] = s[3] + b[3] - s[3] * b[3];
    return r;
  });
}

Node::Ptr makeColorMatrix(const Node::Ptr& input, const ColorMatrix& m) {
  f4 r = toF4(m.red), g = toF4(m.green), b = toF4(m.blue), a = toF4(m.alpha), bias = toF4(m.bias);
  return pointWise(input->extent, {input}, [=](f4 p) {
    f4 s = unpremultiply(p);
    auto dot = [&](f4 row) {
      f4 v = row * s;
      return v[0] + v[1] + v[2] + v[3];
    };
    return premultiply(f4{dot(r), dot(g), dot(b), dot(a)} + bias);
  });
}

Node::Ptr makeColorClamp(const Node::Ptr& input, const Vector4& min, const Vector4& max) {
  f4 lo = toF4(min), hi = toF4(max);
  return pointWise(input->extent, {input}, [=](f4 p) { return premultiply(min4(max4(unpremultiply(p), lo), hi)); });
}

Node::Ptr makeGamma(const Node::Ptr& input, double p) {
  return pointWise(input->extent, {input}, [=](f4 px) {
    f4 s = unpremultiply(px);
    for (int i = 0; i < 3; ++i) s[i] = power(s[i], p);
    return premultiply(s);
  });
}

}  // namespace imaging
