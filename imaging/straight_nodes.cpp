// Filters on straight colour: colour matrices, colour clamps, gamma. Each divides a pixel by its
// alpha, changes the colour and multiplies back; one applied to another's output would undo
// and redo that division for nothing, and pass over the pixels once more. So a filter on
// straight colour whose input is such a filter joins it in one run, which divides once,
// applies each filter in turn while the pixels stay in registers, and multiplies back once.
// Between two filters of a run a pixel whose alpha is 0 loses its colour, as it would when
// premultiplied, wherever the next filter could make that colour count.
#include <cmath>
#include <vector>

#include "imaging/nodes.h"
#include "imaging/pixel.h"

namespace imaging {
namespace {

// The core's power in the cut-out, taken apart so a run can pick it once for many vectors.
template <class V>
V sixth(V v) {
  V v2 = v * v;
  return v2 * v2 * v2;
}

// Integer powers are exact products; others go through powf, keeping the sign.
template <class V>
V power(V v, double p) {
  if (p == 6) return sixth(v);
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
bool isZero(f4 v) { return v[0] == 0 && v[1] == 0 && v[2] == 0 && v[3] == 0; }

// One filter on straight colour.
struct Filter {
  enum class Kind {
    matrix,     // bias + the sum of the columns scaled by the components
    diagonal,   // bias + diagonal * colour
    fromAlpha,  // bias + column[3] * alpha: reads alpha only
    clamp,      // between lo and hi
    gamma,      // colour to the power p, alpha kept
  } kind;
  f4 columns[4] = {}, bias = {}, lo = {}, hi = {};
  double p = 1;

  static Filter of(const ColorMatrix& m) {
    Filter f{Kind::matrix};
    const Vector4* rows[4] = {&m.red, &m.green, &m.blue, &m.alpha};
    for (int j = 0; j < 4; ++j)
      for (int i = 0; i < 4; ++i) f.columns[j][i] = (&rows[i]->x)[j];
    f.bias = toF4(m.bias);
    bool diagonal = true;
    for (int j = 0; j < 4; ++j)
      for (int i = 0; i < 4; ++i) diagonal &= i == j || f.columns[j][i] == 0;
    if (isZero(f.columns[0]) && isZero(f.columns[1]) && isZero(f.columns[2])) f.kind = Kind::fromAlpha;
    else if (diagonal) f.kind = Kind::diagonal, f.columns[0] = f4{m.red.x, m.green.y, m.blue.z, m.alpha.w};
    return f;
  }

  // Applies the filter to N vectors of pixels at once, its constants loaded once for all.
  template <class V, int N>
  void apply(V (&s)[N]) const {
    const V b = repeated<V>(bias), c0 = repeated<V>(columns[0]), c1 = repeated<V>(columns[1]),
            c2 = repeated<V>(columns[2]), c3 = repeated<V>(columns[3]);
    switch (kind) {
      case Kind::matrix:
        for (V& v : s) v = b + c0 * lane<0>(v) + c1 * lane<1>(v) + c2 * lane<2>(v) + c3 * lane<3>(v);
        return;
      case Kind::diagonal:
        for (V& v : s) v = b + c0 * v;
        return;
      case Kind::fromAlpha:
        for (V& v : s) v = b + c3 * lane<3>(v);
        return;
      case Kind::clamp:
        for (V& v : s) v = minV(maxV(v, repeated<V>(lo)), repeated<V>(hi));
        return;
      case Kind::gamma:
        if (p == 6)
          for (V& v : s) v = withAlpha(sixth(v), v);
        else
          for (V& v : s) v = withAlpha(power(v, p), v);
        return;
    }
  }

  // The same on vectors of greys, each lane a pixel's red, with every pixel's alpha `alpha`:
  // the red lane's arithmetic of apply(), term for term.
  template <class V, int N>
  void applyToGreys(V (&s)[N], float alpha) const {
    const V b = splatV<V>(bias[0]), c0 = splatV<V>(columns[0][0]), c1 = splatV<V>(columns[1][0]),
            c2 = splatV<V>(columns[2][0]), c3 = splatV<V>(columns[3][0]), a = splatV<V>(alpha);
    switch (kind) {
      case Kind::matrix:
        for (V& v : s) v = b + c0 * v + c1 * v + c2 * v + c3 * a;
        return;
      case Kind::diagonal:
        for (V& v : s) v = b + c0 * v;
        return;
      case Kind::fromAlpha:
        for (V& v : s) v = b + c3 * a;
        return;
      case Kind::clamp:
        for (V& v : s) v = minV(maxV(v, splatV<V>(lo[0])), splatV<V>(hi[0]));
        return;
      case Kind::gamma:
        for (V& v : s) v = p == 6 ? sixth(v) : power(v, p);
        return;
    }
  }

  // Whether a pixel with no opacity can come out with some, or its colour decide alpha: only
  // then does the colour such a pixel carries matter, and it must be 0, as premultiplied.
  bool mayGiveOpacity() const {
    switch (kind) {
      case Kind::matrix: return bias[3] != 0 || columns[0][3] != 0 || columns[1][3] != 0 || columns[2][3] != 0;
      case Kind::diagonal:
      case Kind::fromAlpha: return bias[3] != 0;
      case Kind::clamp: return lo[3] > 0;
      case Kind::gamma: return false;
    }
    return true;
  }

  // A diagonal matrix that keeps the colour and scales alpha: on premultiplied pixels, one
  // product.
  bool scalesAlphaOnly() const {
    return kind == Kind::diagonal && isZero(bias) && columns[0][0] == 1 && columns[0][1] == 1 && columns[0][2] == 1;
  }
};

class StraightRun final : public Node {
 public:
  // A run that starts from alpha alone is one value wherever its input is opaque (a mask made
  // of a picture's opacity, say).
  StraightRun(Ptr input, std::vector<Filter> filters)
      : Node(NodeKind::pointwise, input->extent, {input},
             {.readsAlphaOnly = filters.front().kind == Filter::Kind::fromAlpha}),
        filters_(std::move(filters)) {}

  // This run followed by f, on the same input.
  Node::Ptr then(const Filter& f) const {
    std::vector<Filter> filters = filters_;
    filters.push_back(f);
    return std::make_shared<StraightRun>(inputs[0], std::move(filters));
  }

  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    const std::int64_t x0 = out.rect.x, n = 4 * out.rect.width;
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* d = out.at(x0, y);
      const float* s = in[0].at(x0, y);
      std::int64_t i = 0;
      for (; i + 32 <= n; i += 32) run<f8, 4>(s + i, d + i);
      for (; i + 8 <= n; i += 8) run<f8, 1>(s + i, d + i);
      if (i < n) run<f4, 1>(s + i, d + i);
    }
  }

 private:
  // N vectors of pixels through the whole run, in registers.
  template <class V, int N>
  void run(const float* src, float* dst) const {
    constexpr std::ptrdiff_t L = sizeof(V) / sizeof(float);
    V s[N];
    for (int v = 0; v < N; ++v) s[v] = loadV<V>(src + L * v);
    const Filter& first = filters_.front();
    if (filters_.size() == 1 && first.scalesAlphaOnly()) {
      const float w = first.columns[0][3];
      for (int v = 0; v < N; ++v) storeV(dst + L * v, lane<3>(s[v]) != 0 ? s[v] * w : V{});
      return;
    }
    // Reading alpha alone needs no division.
    if (first.kind != Filter::Kind::fromAlpha)
      for (V& v : s) v = unpremultiply(v);
    for (std::size_t f = 0; f < filters_.size(); ++f) {
      if (f > 0 && filters_[f].mayGiveOpacity())
        for (V& v : s) v = lane<3>(v) != 0 ? v : V{};
      filters_[f].apply(s);
    }
    for (int v = 0; v < N; ++v) storeV(dst + L * v, premultiply(s[v]));
  }

  std::vector<Filter> filters_;
};

// A run over an opaque grey, one grey a pixel. Filters that keep a grey a grey and leave alpha
// independent of colour only: alpha is then one number at each step of the run, the same for
// every pixel, and is worked out once by running the filters over one opaque pixel, as the
// four-float run would over every pixel. The greys go through the same arithmetic as a
// four-float pixel's red, so both runs give the same bits (for finite greys).
class GreyRun final : public Node {
 public:
  GreyRun(Ptr input, std::vector<Filter> filters) : GreyRun(std::move(input), filters, alphasThrough(filters)) {}

  // Whether f keeps greys grey, with an alpha that does not depend on them.
  static bool keepsGrey(const Filter& f) {
    auto alike = [](f4 v) { return v[0] == v[1] && v[1] == v[2]; };
    switch (f.kind) {
      case Filter::Kind::matrix:
        return alike(f.bias) && alike(f.columns[0]) && alike(f.columns[1]) && alike(f.columns[2]) &&
               alike(f.columns[3]) && f.columns[0][3] == 0 && f.columns[1][3] == 0 && f.columns[2][3] == 0;
      case Filter::Kind::diagonal:
      case Filter::Kind::fromAlpha: return alike(f.bias) && alike(f.columns[0]) && alike(f.columns[3]);
      case Filter::Kind::clamp: return alike(f.lo) && alike(f.hi);
      case Filter::Kind::gamma: return true;
    }
    return false;
  }

  Node::Ptr then(const Filter& f) const {
    if (!keepsGrey(f)) return nullptr;
    std::vector<Filter> filters = filters_;
    filters.push_back(f);
    return std::make_shared<GreyRun>(inputs[0], std::move(filters));
  }

  void compute(const Tile& out, std::span<const Tile> in, const RenderState*) const override {
    const std::int64_t x0 = out.rect.x, n = out.rect.width;
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* d = out.at(x0, y);
      const float* s = in[0].at(x0, y);
      std::int64_t i = 0;
      for (; i + 32 <= n; i += 32) run<f8, 4>(s + i, d + i);
      for (; i + 8 <= n; i += 8) run<f8, 1>(s + i, d + i);
      for (; i + 4 <= n; i += 4) run<f4, 1>(s + i, d + i);
      if (i < n) {
        float lanes[4] = {}, result[4];
        std::copy(s + i, s + n, lanes);
        run<f4, 1>(lanes, result);
        std::copy(result, result + (n - i), d + i);
      }
    }
  }

 private:
  // alphas[k]: the alpha going into filter k (after the division the run starts with);
  // alphas.back(), the alpha the run ends with.
  static std::vector<float> alphasThrough(const std::vector<Filter>& filters) {
    f4 pixel[1] = {f4{0, 0, 0, 1}};
    std::vector<float> alphas{1};
    for (std::size_t f = 0; f < filters.size(); ++f) {
      if (f > 0 && filters[f].mayGiveOpacity() && pixel[0][3] == 0) pixel[0] = f4{};
      filters[f].apply(pixel);
      alphas.push_back(pixel[0][3]);
    }
    return alphas;
  }

  GreyRun(Ptr input, std::vector<Filter> filters, std::vector<float> alphas)
      : Node(NodeKind::pointwise, input->extent, {input}, {.opaque = alphas.back() == 1}, 1),
        filters_(std::move(filters)),
        alphas_(std::move(alphas)),
        one_(reciprocal(splat(1))[0]) {}

  // N vectors of greys through the run, in registers: the four-float run's steps on red.
  template <class V, int N>
  void run(const float* src, float* dst) const {
    constexpr std::ptrdiff_t L = sizeof(V) / sizeof(float);
    V s[N];
    for (int v = 0; v < N; ++v) s[v] = loadV<V>(src + L * v);
    const Filter& first = filters_.front();
    if (filters_.size() == 1 && first.scalesAlphaOnly()) {
      for (int v = 0; v < N; ++v) storeV(dst + L * v, s[v] * first.columns[0][3]);
      return;
    }
    if (first.kind != Filter::Kind::fromAlpha)
      for (V& v : s) v = v * one_;
    for (std::size_t f = 0; f < filters_.size(); ++f) {
      if (f > 0 && filters_[f].mayGiveOpacity() && alphas_[f] == 0)
        for (V& v : s) v = V{};
      filters_[f].applyToGreys(s, alphas_[f]);
    }
    for (int v = 0; v < N; ++v) storeV(dst + L * v, s[v] * alphas_.back());
  }

  std::vector<Filter> filters_;
  std::vector<float> alphas_;
  float one_;  // the reciprocal an alpha of 1 divides by
};

Node::Ptr straight(const Node::Ptr& input, const Filter& f) {
  if (auto run = dynamic_cast<const StraightRun*>(input.get())) return run->then(f);
  if (auto run = dynamic_cast<const GreyRun*>(input.get())) return run->then(f);
  if (input->channels == 1) {
    if (!knownOpaque(*input) || !GreyRun::keepsGrey(f)) return nullptr;
    return std::make_shared<GreyRun>(input, std::vector<Filter>{f});
  }
  return std::make_shared<StraightRun>(input, std::vector<Filter>{f});
}

}  // namespace

Node::Ptr makeColorMatrix(const Node::Ptr& input, const ColorMatrix& m) { return straight(input, Filter::of(m)); }

Node::Ptr makeColorClamp(const Node::Ptr& input, const Vector4& min, const Vector4& max) {
  Filter f{Filter::Kind::clamp};
  f.lo = toF4(min), f.hi = toF4(max);
  return straight(input, f);
}

Node::Ptr makeGamma(const Node::Ptr& input, double p) {
  Filter f{Filter::Kind::gamma};
  f.p = p;
  return straight(input, f);
}

}  // namespace imaging
