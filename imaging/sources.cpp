// Source nodes: a constant colour, pixel memory in 8-bit or half-float RGBA, and grey values.
// Each turns a requested region into premultiplied float pixels; memory rows run top first,
// image rows bottom first, so row y of the image is memory row (height - 1 - y).
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "imaging/convert.h"
#include "imaging/nodes.h"
#include "imaging/pixel.h"

namespace imaging {
namespace {

// Whether each of the n words from `words`, masked, equals `want`. Compared a run at a time
// without a branch, which the compiler vectorises; a picture differs within its first run.
template <class Word>
bool everyWordIs(const void* words, std::int64_t n, Word mask, Word want) {
  constexpr std::int64_t kRun = 32;
  Word v;
  for (std::int64_t start = 0; start < n; start += kRun) {
    Word differs = 0;
    for (std::int64_t i = start; i < std::min(n, start + kRun); ++i) {
      std::memcpy(&v, static_cast<const std::uint8_t*>(words) + i * sizeof v, sizeof v);
      differs |= (v & mask) ^ want;
    }
    if (differs) return false;
  }
  return true;
}

// Whether n pixels, one Word each, all have alpha 1: its highest code in the top byte of 8-bit
// RGBA or BGRA, a half-float 1 in the top 16 bits of half-float RGBA; a half-float grey has none
// to read and is opaque.
template <class Word>
bool allAlphaOne(const void* words, std::int64_t n) {
  if constexpr (sizeof(Word) == 2) return true;
  else if constexpr (sizeof(Word) == 4) return everyWordIs<Word>(words, n, 0xFF000000u, 0xFF000000u);
  else return everyWordIs<Word>(words, n, 0xFFFF000000000000ull, 0x3C00000000000000ull);
}

class Constant final : public Node {
 public:
  explicit Constant(f4 premultiplied)
      : Node(NodeKind::source, Rect::infinite(), {}, {.flat = true}), value_(premultiplied) {}

  void compute(const Tile& out, std::span<const Tile>, const RenderState*) const override {
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* d = out.at(out.rect.x, y);
      for (std::int64_t i = 0; i < out.rect.width; ++i) store4(d + 4 * i, value_);
    }
  }

 private:
  f4 value_;
};

// What is known of each block of some memory's pixels, learnt on first asking: whether the
// block is all one value (and which), and whether it is all opaque. The renderer asks both of
// every region it reads, often of the same pixels several times in a frame (a mask read by the
// blend, its edge and its erosion, then by the next frame's smoothing): scanning each block
// once turns the later answers into a look-up. Two threads may learn the same block at once;
// they find the same facts, and each fact is an atomic, published after the value it vouches
// for.
class BlockFacts {
 public:
  static constexpr std::int64_t kSize = Schedule::kFactBlock;
  enum Fact : std::uint8_t { kUnknown, kYes, kNo };

  BlockFacts(std::int64_t width, std::int64_t height)
      : all_{0, 0, width, height},
        columns_((width + kSize - 1) / kSize),
        count_(static_cast<std::size_t>(columns_ * ((height + kSize - 1) / kSize))),
        flat_(new std::atomic<Fact>[count_]()),
        opaque_(new std::atomic<Fact>[count_]()),
        values_(new std::atomic<std::uint64_t>[count_]()) {}

  // Whether every pixel over box (inside the memory) is the word `want`. firstOf(block) is a
  // block's first pixel as a word; allAre(r, word) reads whether every pixel of r is that word.
  template <class FirstOf, class AllAre>
  bool allAre(const PixelRect& box, std::uint64_t want, FirstOf firstOf, AllAre allAre) const {
    return everyBlock(box, [&](const PixelRect& block, const PixelRect& part, std::size_t i) {
      auto value = flatValue(i, [&](std::uint64_t& v) {
        v = firstOf(block);
        return allAre(block, v);
      });
      return value ? *value == want : allAre(part, want);
    });
  }

  // Whether every pixel over box is opaque; allOpaque(r) reads it of r.
  template <class AllOpaque>
  bool allOpaque(const PixelRect& box, AllOpaque allOpaque) const {
    return everyBlock(box, [&](const PixelRect& block, const PixelRect& part, std::size_t i) {
      return opaque(i, [&] { return allOpaque(block); }) || allOpaque(part);
    });
  }

 private:
  // Whether test(block, part, index) holds for every block that box touches: the block inside
  // the memory, and the part of it inside box.
  template <class Test>
  bool everyBlock(const PixelRect& box, Test test) const {
    for (std::int64_t by = box.y / kSize; by * kSize < box.maxY(); ++by)
      for (std::int64_t bx = box.x / kSize; bx * kSize < box.maxX(); ++bx) {
        PixelRect block = PixelRect{bx * kSize, by * kSize, kSize, kSize}.intersected(all_);
        if (!test(block, block.intersected(box), static_cast<std::size_t>(by * columns_ + bx))) return false;
      }
    return true;
  }

  // The block's one value (as a word), if it has one; learn(word) finds out when not known.
  template <class Learn>
  std::optional<std::uint64_t> flatValue(std::size_t i, Learn learn) const {
    Fact f = flat_[i].load(std::memory_order_acquire);
    if (f == kUnknown) {
      std::uint64_t value = 0;
      f = learn(value) ? kYes : kNo;
      if (f == kYes) values_[i].store(value, std::memory_order_relaxed);
      flat_[i].store(f, std::memory_order_release);
      if (f == kYes) return value;
    }
    if (f == kNo) return std::nullopt;
    return values_[i].load(std::memory_order_relaxed);
  }

  template <class Learn>
  bool opaque(std::size_t i, Learn learn) const {
    Fact f = opaque_[i].load(std::memory_order_acquire);
    if (f == kUnknown) {
      f = learn() ? kYes : kNo;
      opaque_[i].store(f, std::memory_order_release);
    }
    return f == kYes;
  }

  PixelRect all_;
  std::int64_t columns_;
  std::size_t count_;
  std::unique_ptr<std::atomic<Fact>[]> flat_, opaque_;
  std::unique_ptr<std::atomic<std::uint64_t>[]> values_;
};

class Pixels final : public Node {
 public:
  Pixels(const PixelBuffer& pixels, std::shared_ptr<const void> owner)
      : Pixels(pixels, std::move(owner), std::make_shared<BlockFacts>(pixels.width, pixels.height), 4) {}

  // The same grey memory read one grey a pixel, sharing what is learnt of it.
  Node::Ptr greys() const {
    if (pixels_.format != PixelFormat::greyHalf) return nullptr;
    return std::shared_ptr<Pixels>(new Pixels(pixels_, owner_, facts_, 1));
  }

  void compute(const Tile& out, std::span<const Tile>, const RenderState*) const override {
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      const std::uint8_t* s = rowAt(y) + bytesPerPixel() * out.rect.x;
      if (channels == 1) readHalvesAsGreys(s, out.at(out.rect.x, y), out.rect.width);
      else convert(s, out.at(out.rect.x, y), out.rect.width);
    }
  }

  // Blocks known to be one value are not read again; others are read where box covers them.
  bool isFlatOver(const PixelRect& box, float* pixel) const override {
    const std::uint8_t* first = rowAt(box.y) + bytesPerPixel() * box.x;
    auto firstOf = [&](const PixelRect& block) { return wordAt(rowAt(block.y) + bytesPerPixel() * block.x); };
    auto allAre = [&](const PixelRect& r, std::uint64_t want) { return this->allAre(r, want); };
    if (!facts_->allAre(box, wordAt(first), firstOf, allAre)) return false;
    convert(first, pixel, 1);
    return true;
  }

  bool isOpaqueOver(const PixelRect& box) const override {
    return facts_->allOpaque(box, [&](const PixelRect& r) { return allOpaque(r); });
  }

  const PixelBuffer& buffer() const { return pixels_; }

 private:
  Pixels(const PixelBuffer& pixels, std::shared_ptr<const void> owner, std::shared_ptr<BlockFacts> facts, int channels)
      : Node(NodeKind::source, Rect{0, 0, double(pixels.width), double(pixels.height)}, {},
             {.opaque = pixels.format == PixelFormat::greyHalf}, channels),
        pixels_(pixels),
        owner_(std::move(owner)),
        facts_(std::move(facts)) {}

  // One half float a pixel to one float a pixel.
  static void readHalvesAsGreys(const std::uint8_t* s, float* d, std::int64_t count) {
    std::int64_t i = 0;
    for (; i + 8 <= count; i += 8)
      _mm256_storeu_ps(d + i, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * i))));
    for (; i < count; ++i) {
      std::uint16_t h;
      std::memcpy(&h, s + 2 * i, sizeof h);
      d[i] = _cvtsh_ss(h);
    }
  }

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

  // One half float a pixel, an opaque grey: eight greys at a time, each spread over its pixel's
  // colour and alpha set to 1.
  static void readGreyHalves(const std::uint8_t* s, float* d, std::int64_t count) {
    const __m256 one = _mm256_set1_ps(1);
    std::int64_t i = 0;
    for (; i + 8 <= count; i += 8, s += 16, d += 32) {
      const __m256 grey = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
      for (int pair = 0; pair < 4; ++pair) {
        const __m256i spread = _mm256_setr_epi32(2 * pair, 2 * pair, 2 * pair, 2 * pair, 2 * pair + 1, 2 * pair + 1,
                                                 2 * pair + 1, 2 * pair + 1);
        _mm256_storeu_ps(d + 8 * pair, _mm256_blend_ps(_mm256_permutevar8x32_ps(grey, spread), one, 0x88));
      }
    }
    for (; i < count; ++i, s += 2, d += 4) {
      std::uint16_t h;
      std::memcpy(&h, s, sizeof h);
      const float g = _cvtsh_ss(h);
      store4(d, f4{g, g, g, 1});
    }
  }

  std::int64_t bytesPerPixel() const {
    switch (pixels_.format) {
      case PixelFormat::rgbaHalf: return 8;
      case PixelFormat::greyHalf: return 2;
      default: return 4;
    }
  }
  // One pixel's bytes as an unsigned word, zero-extended for four-byte pixels.
  std::uint64_t wordAt(const std::uint8_t* p) const {
    std::uint64_t w = 0;
    std::memcpy(&w, p, static_cast<std::size_t>(bytesPerPixel()));
    return w;
  }
  // Whether every pixel of r is the word `want`.
  bool allAre(const PixelRect& r, std::uint64_t want) const {
    return everyRow(r, [&](const std::uint8_t* row, auto word) {
      using Word = decltype(word);
      return everyWordIs<Word>(row, r.width, ~Word{0}, static_cast<Word>(want));
    });
  }
  bool allOpaque(const PixelRect& r) const {
    return everyRow(r, [&](const std::uint8_t* row, auto word) { return allAlphaOne<decltype(word)>(row, r.width); });
  }
  // Whether test(row, word) holds for each row of box: its first pixel, and a value of the
  // unsigned type one pixel fills.
  template <class Test>
  bool everyRow(const PixelRect& box, Test test) const {
    for (std::int64_t y = box.y; y < box.maxY(); ++y) {
      const std::uint8_t* row = rowAt(y) + bytesPerPixel() * box.x;
      bool holds = false;
      switch (pixels_.format) {
        case PixelFormat::rgbaHalf: holds = test(row, std::uint64_t{}); break;
        case PixelFormat::greyHalf: holds = test(row, std::uint16_t{}); break;
        default: holds = test(row, std::uint32_t{});
      }
      if (!holds) return false;
    }
    return true;
  }
  const std::uint8_t* rowAt(std::int64_t y) const {
    return static_cast<const std::uint8_t*>(pixels_.data) + (pixels_.height - 1 - y) * pixels_.rowBytes;
  }
  void convert(const std::uint8_t* s, float* d, std::int64_t count) const {
    switch (pixels_.format) {
      case PixelFormat::bgra8: bytesToPixels(s, d, count, true); break;
      case PixelFormat::rgba8: bytesToPixels(s, d, count, false); break;
      case PixelFormat::rgbaHalf: readHalves(s, d, count); break;
      case PixelFormat::greyHalf: readGreyHalves(s, d, count); break;
    }
  }

  PixelBuffer pixels_;
  std::shared_ptr<const void> owner_;
  std::shared_ptr<BlockFacts> facts_;
};

class Gray final : public Node {
 public:
  Gray(std::shared_ptr<const float[]> values, int width, int height)
      : Gray(std::move(values), width, height, std::make_shared<BlockFacts>(width, height), 4) {}

  // The same values one grey a pixel, sharing what is learnt of them.
  Node::Ptr greys() const { return std::shared_ptr<Gray>(new Gray(values_, width_, height_, facts_, 1)); }

  void compute(const Tile& out, std::span<const Tile>, const RenderState*) const override {
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      const float* s = rowAt(y) + out.rect.x;
      float* d = out.at(out.rect.x, y);
      if (channels == 1) std::memcpy(d, s, sizeof(float) * out.rect.width);
      else
        for (std::int64_t i = 0; i < out.rect.width; ++i) store4(d + 4 * i, f4{s[i], s[i], s[i], 1});
    }
  }

  // A segmentation's mask is read by its erosion over every tile and the tile's margin.
  bool isFlatOver(const PixelRect& box, float* pixel) const override {
    const float* first = rowAt(box.y) + box.x;
    auto firstOf = [&](const PixelRect& block) { return wordOf(rowAt(block.y) + block.x); };
    auto allAre = [&](const PixelRect& r, std::uint64_t want) {
      for (std::int64_t y = r.y; y < r.maxY(); ++y)
        if (!everyWordIs<std::uint32_t>(rowAt(y) + r.x, r.width, ~0u, static_cast<std::uint32_t>(want))) return false;
      return true;
    };
    if (!facts_->allAre(box, wordOf(first), firstOf, allAre)) return false;
    store4(pixel, f4{*first, *first, *first, 1});
    return true;
  }

 private:
  Gray(std::shared_ptr<const float[]> values, int width, int height, std::shared_ptr<BlockFacts> facts, int channels)
      : Node(NodeKind::source, Rect{0, 0, double(width), double(height)}, {}, {.opaque = true}, channels),
        values_(std::move(values)),
        width_(width),
        height_(height),
        facts_(std::move(facts)) {}

  const float* rowAt(std::int64_t y) const { return values_.get() + (height_ - 1 - y) * std::int64_t{width_}; }
  static std::uint64_t wordOf(const float* v) {
    std::uint32_t w;
    std::memcpy(&w, v, sizeof w);
    return w;
  }

  std::shared_ptr<const float[]> values_;
  int width_, height_;
  std::shared_ptr<BlockFacts> facts_;
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

Node::Ptr greysOf(const Node& source) {
  if (auto p = dynamic_cast<const Pixels*>(&source)) return p->greys();
  if (auto g = dynamic_cast<const Gray*>(&source)) return g->greys();
  return nullptr;
}

}  // namespace imaging
