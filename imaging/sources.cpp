// Source nodes: a constant colour, pixel memory in 8-bit or half-float RGBA, and grey values.
// Each turns a requested region into premultiplied float pixels; memory rows run top first,
// image rows bottom first, so row y of the image is memory row (height - 1 - y).
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "imaging/convert.h"
#include "imaging/nodes.h"
#include "imaging/pixel.h"

namespace imaging {
namespace {

class Constant final : public Node {
 public:
  explicit Constant(f4 premultiplied) : Node(NodeKind::source, Rect::infinite()), value_(premultiplied) {}

  bool isUniform() const override { return true; }

  void compute(const Tile& out, std::span<const Tile>, const RenderState*) const override {
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* d = out.at(out.rect.x, y);
      for (std::int64_t i = 0; i < out.rect.width; ++i) store4(d + 4 * i, value_);
    }
  }

 private:
  f4 value_;
};

class Pixels final : public Node {
 public:
  Pixels(const PixelBuffer& pixels, std::shared_ptr<const void> owner)
      : Node(NodeKind::source, Rect{0, 0, double(pixels.width), double(pixels.height)}),
        pixels_(pixels),
        owner_(std::move(owner)) {}

  void compute(const Tile& out, std::span<const Tile>, const RenderState*) const override {
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      const auto* row = static_cast<const std::uint8_t*>(pixels_.data) +
                        (pixels_.height - 1 - y) * pixels_.rowBytes;
      float* d = out.at(out.rect.x, y);
      switch (pixels_.format) {
        case PixelFormat::bgra8: bytesToPixels(row + 4 * out.rect.x, d, out.rect.width, true); break;
        case PixelFormat::rgba8: bytesToPixels(row + 4 * out.rect.x, d, out.rect.width, false); break;
        case PixelFormat::rgbaHalf: readHalves(row + 8 * out.rect.x, d, out.rect.width); break;
      }
    }
  }

  const PixelBuffer& buffer() const { return pixels_; }

 private:
  // Half floats were written by the engine itself: taken as they are.
  static void readHalves(const std::uint8_t* s, float* d, std::int64_t count) {
    std::int64_t i = 0;
    for (; i + 2 <= count; i += 2, s += 16, d += 8) {
      __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
      _mm256_storeu_ps(d, _mm256_cvtph_ps(h));
    }
    for (; i < count; ++i, s += 8, d += 4) {
      __m128i h = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s));
      _mm_storeu_ps(d, _mm_cvtph_ps(h));
    }
  }

  PixelBuffer pixels_;
  std::shared_ptr<const void> owner_;
};

class Gray final : public Node {
 public:
  Gray(std::shared_ptr<const float[]> values, int width, int height)
      : Node(NodeKind::source, Rect{0, 0, double(width), double(height)}),
        values_(std::move(values)),
        width_(width),
        height_(height) {}

  void compute(const Tile& out, std::span<const Tile>, const RenderState*) const override {
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      const float* s = values_.get() + (height_ - 1 - y) * std::int64_t{width_} + out.rect.x;
      float* d = out.at(out.rect.x, y);
      for (std::int64_t i = 0; i < out.rect.width; ++i) store4(d + 4 * i, f4{s[i], s[i], s[i], 1});
    }
  }

 private:
  std::shared_ptr<const float[]> values_;
  int width_, height_;
};

}  // namespace

Node::Ptr makeConstant(const Color& c) {
  return std::make_shared<Constant>(premultiply(f4{c.red, c.green, c.blue, c.alpha}));
}

Node::Ptr makePixels(const PixelBuffer& pixels, std::shared_ptr<const void> owner) {
  return std::make_shared<Pixels>(pixels, std::move(owner));
}

std::optional<PixelBuffer> pixelsOf(const Node& node) {
  if (auto p = dynamic_cast<const Pixels*>(&node)) return p->buffer();
  return std::nullopt;
}

Node::Ptr makeGray(std::shared_ptr<const float[]> values, int width, int height) {
  return std::make_shared<Gray>(std::move(values), width, height);
}

}  // namespace imaging
