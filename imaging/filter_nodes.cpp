// Filter nodes: the two area filters (Gaussian blur, disk minimum) around their kernels, and
// the point-wise filters on premultiplied pixels, each a small loop over the pixels of a tile
// (those on straight colour are in straight_nodes.cpp).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "imaging/kernels.h"
#include "imaging/nodes.h"
#include "imaging/once.h"
#include "imaging/pixel.h"
#include "imaging/simd.h"

namespace imaging {
namespace {

// ---- Area filters -------------------------------------------------------------------------

struct PreparedBlur final : RenderState {
  PreparedBlur(double sigma, double cutOff, const Schedule& schedule) : blur(sigma, cutOff, schedule) {}
  GaussianBlur blur;
};

// A blur that reads its input in parts would lose by having the whole region computed first,
// to see whether it is flat.
class Blur final : public Node {
 public:
  Blur(Ptr input, double sigma, double cutOff)
      : Node(NodeKind::area, input->extent.insetBy(-3 * sigma, -3 * sigma), {input},
             {.sharesInputPixels = true, .keepsFlatInput = !GaussianBlur::readsInParts(sigma), .pullsInputs = true},
             input->channels),
        sigma_(sigma),
        cutOff_(cutOff),
        reach_(GaussianBlur::farthestReach(sigma, cutOff)) {}

  PixelRect inputRegion(std::size_t, const PixelRect& out) const override { return out.grownBy(reach_.x, reach_.y); }

  std::unique_ptr<RenderState> prepare(const PixelRect& roi, const Schedule& schedule) const override {
    auto state = std::make_unique<PreparedBlur>(sigma_, cutOff_, schedule);
    state->blur.prepare(roi);
    return state;
  }

  void compute(const Tile& out, std::span<const Tile> in, const RenderState* state) const override {
    static_cast<const PreparedBlur*>(state)->blur.compute(in[0], out);
  }

  void computePulling(const Tile& out, const InputReader& read, const RenderState* state) const override {
    static_cast<const PreparedBlur*>(state)->blur.compute(
        [&](const PixelRect& r, const GaussianBlur::Use& use) { read(0, r, use); }, out);
  }

 private:
  double sigma_, cutOff_;
  GaussianBlur::Reach reach_;
};

// Whether a pixel box is a picture's, not an endless one's.
bool bounded(const PixelRect& box) {
  return !box.isEmpty() && box.x > -Node::kFar && box.y > -Node::kFar && box.maxX() < Node::kFar &&
         box.maxY() < Node::kFar;
}

// A blur along one axis that reaches across the whole of a bounded image, clamped to its
// extent or not: each output sums the image's pixels along the axis in full.
struct PreparedSpan final : RenderState {
  explicit PreparedSpan(SpanBlur blur) : blur(std::move(blur)) {}
  SpanBlur blur;
};

class WideBlur final : public Node {
 public:
  enum class Axis { x, y };

  // Clamped, its weights add up to 1: a flat input gives that value.
  WideBlur(Ptr input, double sigma, Axis axis, const PixelRect& box, bool clamped)
      : Node(NodeKind::area, extentOf(input->extent, sigma, axis, clamped), {input},
             {.sharesInputPixels = true, .keepsFlatInput = clamped}),
        sigma_(sigma), axis_(axis), box_(box), clamped_(clamped) {}

  PixelRect inputRegion(std::size_t, const PixelRect& out) const override {
    if (axis_ == Axis::x) return {box_.x, out.y, box_.width, out.height};
    return {out.x, box_.y, out.width, box_.height};
  }

  std::unique_ptr<RenderState> prepare(const PixelRect& roi, const Schedule&) const override {
    const bool x = axis_ == Axis::x;
    SpanBlur blur(sigma_, x ? box_.x : box_.y, x ? box_.maxX() : box_.maxY(), clamped_);
    blur.prepare(x ? roi.x : roi.y, x ? roi.maxX() : roi.maxY());
    return std::make_unique<PreparedSpan>(std::move(blur));
  }

  void compute(const Tile& out, std::span<const Tile> in, const RenderState* state) const override {
    const SpanBlur& blur = static_cast<const PreparedSpan*>(state)->blur;
    axis_ == Axis::x ? blur.across(in[0], out) : blur.down(in[0], out);
  }

 private:
  // Grown by 3 sigma along the axis, as any blur's; endless there when clamped.
  static Rect extentOf(Rect e, double sigma, Axis axis, bool clamped) {
    const double inf = std::numeric_limits<double>::infinity();
    double& at = axis == Axis::x ? e.x : e.y;
    double& size = axis == Axis::x ? e.width : e.height;
    if (clamped) at = -inf, size = inf;
    else at -= 3 * sigma, size += 6 * sigma;
    return e;
  }

  double sigma_;
  Axis axis_;
  PixelRect box_;
  bool clamped_;
};

// What an erosion keeps for a render: its schedule, and, when wide, the least of each
// component over the input pixels it reads at all, learnt once.
struct PreparedErosion final : RenderState {
  PreparedErosion(const Schedule& schedule, const PixelRect& scanned) : schedule(schedule), scanned(scanned) {}
  const Schedule schedule;
  const PixelRect scanned;
  mutable std::atomic<std::uint8_t> state{kIdle};
  mutable Failure failure;
  mutable f4 least{};
};

// Erosion of a bounded image: outside its box counts as transparent. A disk wider than the box
// (as wide as its diagonal) covers all of it from every pixel, so the radius stops there. A
// wide disk that reaches past the box from every pixel of a strip leaves the strip transparent
// (the least of transparency and of pixels that have nothing below 0); only strips with pixels
// deep inside pay for the minimum, over a radius less than half the box's side. (An image with
// values below 0, which no mask has, pays for it everywhere.)
class MorphologyMinimum final : public Node {
 public:
  MorphologyMinimum(const Ptr& input, double radius)
      : MorphologyMinimum(input, withinReach(radius, input->pixelBox()), 0) {}

  PixelRect inputRegion(std::size_t, const PixelRect& out) const override {
    const PixelRect around = out.grownBy(reach_, reach_);
    return wide() ? around.intersected(box_) : around;
  }
  void compute(const Tile& out, std::span<const Tile> in, const RenderState* state) const override {
    morphologyMinimum(in[0], out, radius_, static_cast<const PreparedErosion*>(state)->schedule);
  }

  std::unique_ptr<RenderState> prepare(const PixelRect& roi, const Schedule& schedule) const override {
    return std::make_unique<PreparedErosion>(schedule, wide() ? inputRegion(0, roi) : PixelRect{});
  }
  void computePulling(const Tile& out, const InputReader& read, const RenderState* state) const override {
    const auto& facts = *static_cast<const PreparedErosion*>(state);
    if (everyDiskReachesPastTheBox(out.rect)) {
      const f4 least = leastInput(read, facts);
      const bool noneBelowZero = least[0] >= 0 && least[1] >= 0 && least[2] >= 0 && least[3] >= 0;
      if (noneBelowZero || everyDiskCovers(out.rect, facts.scanned)) return simd::fill(out, min4(least, f4{}));
    }
    // Read as far as the box goes, transparent beyond.
    const PixelRect around = out.rect.grownBy(reach_, reach_);
    thread_local std::vector<float> scratch;
    scratch.assign(static_cast<std::size_t>(4 * around.area()), 0.0f);
    const Tile padded{scratch.data(), 4 * around.width, around};
    read(0, around.intersected(box_), [&](const Tile& t) { simd::copyPixels(t, padded.view(t.rect)); });
    morphologyMinimum(padded, out, radius_, facts.schedule);
  }

 private:
  // Radii whose cost grows with them: beyond this reach the erosion looks at the box, which it
  // reads in parts.
  static constexpr std::int64_t kWideReach = 64;

  // `radius` within reach already.
  MorphologyMinimum(const Ptr& input, double radius, int)
      : Node(NodeKind::area, input->extent, {input}, hintsFor(morphologyReach(radius)), input->channels),
        box_(input->pixelBox()),
        radius_(radius),
        reach_(morphologyReach(radius)) {}

  static Hints hintsFor(std::int64_t reach) {
    return {.sharesInputPixels = true, .keepsFlatInput = reach <= kWideReach, .pullsInputs = reach > kWideReach};
  }

  static double withinReach(double radius, const PixelRect& box) {
    if (!bounded(box)) return radius;
    const double diagonal = std::hypot(double(box.width), double(box.height));
    return radius > diagonal ? diagonal : radius;  // NaN stays: no erosion
  }

  bool wide() const { return reach_ > kWideReach; }

  // Whether the disk around each pixel of r (inside the box) holds a pixel outside the box: the
  // nearest lies straight across from the pixel's nearest edge.
  bool everyDiskReachesPastTheBox(const PixelRect& r) const {
    auto deepest = [](std::int64_t from, std::int64_t to, std::int64_t lo, std::int64_t hi) {
      auto depth = [&](std::int64_t v) { return std::min(v - lo + 1, hi - v); };
      const std::int64_t middle = std::clamp((lo + hi - 1) / 2, from, to - 1);
      return std::max({depth(from), depth(to - 1), depth(middle), depth(std::min(middle + 1, to - 1))});
    };
    return std::min(deepest(r.x, r.maxX(), box_.x, box_.maxX()), deepest(r.y, r.maxY(), box_.y, box_.maxY())) <= reach_;
  }

  // Whether the disk around each pixel of r holds every pixel of s.
  bool everyDiskCovers(const PixelRect& r, const PixelRect& s) const {
    const double dx = double(std::max(std::abs(r.x - (s.maxX() - 1)), std::abs(r.maxX() - 1 - s.x)));
    const double dy = double(std::max(std::abs(r.y - (s.maxY() - 1)), std::abs(r.maxY() - 1 - s.y)));
    return dx * dx + dy * dy <= radius_ * radius_;
  }

  f4 leastInput(const InputReader& read, const PreparedErosion& facts) const {
    computeOnce(facts.state, facts.failure, [&] {
      const std::int64_t rows = facts.schedule.tiles.height;
      const PixelRect& s = facts.scanned;
      f4 least = splat(std::numeric_limits<float>::infinity());
      for (std::int64_t y = s.y; y < s.maxY(); y += rows)
        read(0, {s.x, y, s.width, std::min(rows, s.maxY() - y)}, [&](const Tile& t) {
          for (std::int64_t row = t.rect.y; row < t.rect.maxY(); ++row)
            for (std::int64_t x = t.rect.x; x < t.rect.maxX(); ++x) least = min4(least, load4(t.at(x, row)));
        });
      facts.least = least;
      return kDone;
    });
    return facts.least;
  }

  PixelRect box_;
  double radius_;
  std::int64_t reach_;
};

// ---- Point-wise filters -------------------------------------------------------------------

// Applies op to every pixel of the inputs (one tile each, all covering out.rect, in the
// output's layout), a vector at a time. op is generic over f4 and f8, so its formula is
// written once; on grey tiles each lane is a pixel's grey.
template <class Op>
class PointWise final : public Node {
 public:
  PointWise(Rect extent, std::vector<Ptr> inputs, Op op, Hints hints, int channels)
      : Node(NodeKind::pointwise, extent, std::move(inputs), std::move(hints), channels), op_(op) {}

  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    const std::int64_t x0 = out.rect.x, n = channels * out.rect.width;
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* d = out.at(x0, y);
      const float* a = in[0].at(x0, y);
      const float* b = in.size() > 1 ? in[1].at(x0, y) : nullptr;
      const float* c = in.size() > 2 ? in[2].at(x0, y) : nullptr;
      std::int64_t i = 0;
      for (; i + 8 <= n; i += 8) storeV(d + i, apply<f8>(a, b, c, i));
      for (; i + 4 <= n; i += 4) storeV(d + i, apply<f4>(a, b, c, i));
      if (i < n) greyTail(a, b, c, d, i, n);
    }
  }

 private:
  template <class V>
  V apply(const float* a, const float* b, const float* c, std::int64_t i) const {
    if constexpr (std::is_invocable_v<Op, V>) return op_(loadV<V>(a + i));
    else if constexpr (std::is_invocable_v<Op, V, V>) return op_(loadV<V>(a + i), loadV<V>(b + i));
    else return op_(loadV<V>(a + i), loadV<V>(b + i), loadV<V>(c + i));
  }

  // The last one to three greys of a grey row, through a vector of four.
  void greyTail(const float* a, const float* b, const float* c, float* d, std::int64_t i, std::int64_t n) const {
    float lanes[3][4] = {}, result[4];
    const float* rows[3] = {a, b, c};
    for (int k = 0; k < 3; ++k)
      if (rows[k]) std::copy(rows[k] + i, rows[k] + n, lanes[k]);
    storeV(result, apply<f4>(lanes[0], lanes[1], lanes[2], 0));
    std::copy(result, result + (n - i), d + i);
  }

  Op op_;
};

template <class Op>
Node::Ptr pointWise(Rect extent, std::vector<Node::Ptr> inputs, Op op, Hints hints = {}, int channels = 4) {
  return std::make_shared<PointWise<Op>>(extent, std::move(inputs), op, std::move(hints), channels);
}

// Pixels (or greys) where the mask's value is 1, the background's where it is 0.
template <class V>
V blend(V in, V bg, V m) {
  return bg + (in - bg) * m;
}

// A blend of pixels by a grey mask: the mask's grey is the value its pixel's green would have.
class BlendByGreys final : public Node {
 public:
  BlendByGreys(Rect extent, std::vector<Ptr> inputs)
      : Node(NodeKind::pointwise, extent, std::move(inputs), {.blend = Hints::Blend{.whereOne = 0, .whereZero = 1, .mask = 2}}) {}

  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    const std::int64_t x0 = out.rect.x, n = out.rect.width;
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* d = out.at(x0, y);
      const float *a = in[0].at(x0, y), *b = in[1].at(x0, y), *m = in[2].at(x0, y);
      std::int64_t x = 0;
      // Four greys spread over four pixels, two to a vector.
      for (; x + 4 <= n; x += 4) {
        const f4 greys = load4(m + x);
        const f8 low = __builtin_shufflevector(greys, greys, 0, 0, 0, 0, 1, 1, 1, 1);
        const f8 high = __builtin_shufflevector(greys, greys, 2, 2, 2, 2, 3, 3, 3, 3);
        storeV(d + 4 * x, blend(loadV<f8>(a + 4 * x), loadV<f8>(b + 4 * x), low));
        storeV(d + 4 * x + 8, blend(loadV<f8>(a + 4 * x + 8), loadV<f8>(b + 4 * x + 8), high));
      }
      for (; x < n; ++x) store4(d + 4 * x, blend(load4(a + 4 * x), load4(b + 4 * x), splat(m[x])));
    }
  }
};

// Whether two greys are opaque over the same pixels: what is computed of both pixel by pixel
// is then opaque over them too, and transparent elsewhere.
bool opaqueAlike(const Node& a, const Node& b) {
  return knownOpaque(a) && knownOpaque(b) && a.pixelBox() == b.pixelBox();
}

}  // namespace

// A blur that reaches across the whole of a bounded image (or of one clamped to its extent)
// sums its pixels in full, one axis after the other, at a cost set by the image's size, not
// by sigma's. Greys are blurred only where the blur reads its whole input region at once.
Node::Ptr makeGaussianBlur(const Node::Ptr& input, double sigma, BlurTails tails) {
  const Node::Ptr repeated = clampedFrom(*input);
  const Node::Ptr& image = repeated ? repeated : input;
  const PixelRect& box = image->pixelBox();
  const double cutOff = tails == BlurTails::kept ? GaussianBlur::kCutOffForRatios : GaussianBlur::kCutOff;
  if (!bounded(box) || cutOff * sigma < double(std::max(box.width, box.height))) {
    if (input->channels == 1 && GaussianBlur::readsInParts(sigma)) return nullptr;
    return std::make_shared<Blur>(input, sigma, cutOff);
  }
  if (input->channels == 1) return nullptr;
  const bool clamped = repeated != nullptr;
  auto across = std::make_shared<WideBlur>(image, sigma, WideBlur::Axis::x, box, clamped);
  return std::make_shared<WideBlur>(across, sigma, WideBlur::Axis::y, box, clamped);
}

Node::Ptr makeMorphologyMinimum(const Node::Ptr& input, double radius) {
  auto erosion = std::make_shared<MorphologyMinimum>(input, radius);
  // A wide erosion reads its input in parts, as four-float pixels.
  if (input->channels == 1 && erosion->hints.pullsInputs) return nullptr;
  return erosion;
}

Node::Ptr makeUnpremultiply(const Node::Ptr& input) {
  if (input->channels == 1) return nullptr;
  return pointWise(input->extent, {input}, [](auto p) { return unpremultiply(p); }, {.keepsOpaqueInput = true});
}

// Only alpha changes: the stored colour components stay, whatever they mean. Greys are the
// stored colour: as they are, and opaque.
Node::Ptr makeAlphaOne(const Node::Ptr& input, const Rect& inside) {
  if (input->channels == 1)
    return pointWise(inside, {input}, [](auto g) { return g; }, {.view = true, .opaque = true}, 1);
  return pointWise(inside, {input}, [](auto p) { return withAlpha(p, decltype(p){} + 1); },
                   {.keepsOpaqueInput = true, .opaque = true});
}

// The mask's value is its premultiplied green (a grey mask's grey): transparent mask pixels
// count as 0. Greys blend by a grey mask into greys, opaque where both sides are.
Node::Ptr makeBlendWithMask(const Node::Ptr& input, const Node::Ptr& background, const Node::Ptr& mask) {
  Rect extent = input->extent.intersected(mask->extent).united(background->extent);
  const Hints::Blend sides{.whereOne = 0, .whereZero = 1, .mask = 2};
  if (input->channels == 1 && background->channels == 1)
    return pointWise(extent, {input, background, mask}, [](auto in, auto bg, auto m) { return blend(in, bg, m); },
                     {.opaque = opaqueAlike(*input, *background), .blend = sides}, 1);
  if (mask->channels == 1) return std::make_shared<BlendByGreys>(extent, std::vector<Node::Ptr>{input, background, mask});
  return pointWise(extent, {input, background, mask},
                   [](auto in, auto bg, auto m) { return blend(in, bg, lane<1>(m)); }, {.blend = sides});
}

Node::Ptr makeAddition(const Node::Ptr& input, const Node::Ptr& background) {
  return pointWise(input->extent.united(background->extent), {input, background}, [](auto a, auto b) { return a + b; },
                   {}, input->channels);
}

// The difference blend mode on premultiplied colour: |a - b| where both are opaque, each
// colour alone where the other is transparent, and alpha composited as source-over. Greys
// only when both are known opaque: their alpha is not kept.
Node::Ptr makeDifference(const Node::Ptr& input, const Node::Ptr& background) {
  const Rect extent = input->extent.united(background->extent);
  if (input->channels == 1) {
    if (!opaqueAlike(*input, *background)) return nullptr;
    // As below with both alphas 1, which multiply exactly.
    return pointWise(extent, {input, background}, [](auto s, auto b) {
      const auto one = splatV<decltype(s)>(1);
      return s + b - 2 * minV(s * one, b * one);
    }, {.opaque = true}, 1);
  }
  return pointWise(extent, {input, background}, [](auto s, auto b) {
    auto sa = lane<3>(s), ba = lane<3>(b);
    return withAlpha(s + b - 2 * minV(s * ba, b * sa), sa + ba - sa * ba);
  });
}

}  // namespace imaging
