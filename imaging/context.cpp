#include "imaging/context.h"

#include <immintrin.h>
#include <vips/vips.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "imaging/convert.h"
#include "imaging/node.h"
#include "imaging/render.h"
#include "imaging/vips_init.h"

namespace imaging {
namespace {

PixelRect wholePixels(const Rect& r) { return Node::pixelsInside(r); }

// n copies of one pixel's bytes.
template <std::size_t Bytes>
void fillPixels(std::uint8_t* d, const std::uint8_t (&pixel)[Bytes], std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) std::memcpy(d + Bytes * i, pixel, Bytes);
}

}  // namespace

void Context::render(const Image& image, std::uint8_t* rgba, std::ptrdiff_t rowBytes, const Rect& bounds) const {
  PixelRect region = wholePixels(bounds);
  bool straight = !options_.outputPremultiplied;
  renderStrips(image.node(), region, [&](const Tile& strip) {
    std::uint8_t flat[4];
    if (strip.flat) pixelsToBytes(strip.data, flat, 1, straight);
    for (std::int64_t y = strip.rect.y; y < strip.rect.maxY(); ++y) {
      std::uint8_t* d = rgba + (region.maxY() - 1 - y) * rowBytes + 4 * (strip.rect.x - region.x);
      if (strip.flat) fillPixels(d, flat, strip.rect.width);
      else pixelsToBytes(strip.at(strip.rect.x, y), d, strip.rect.width, straight);
    }
  }, options_.schedule, options_.schedule.tiles);
}

void Context::renderHalf(const Image& image, void* rgbaHalf, std::ptrdiff_t rowBytes, const Rect& bounds) const {
  PixelRect region = wholePixels(bounds);
  auto* base = static_cast<std::uint8_t*>(rgbaHalf);
  renderStrips(image.node(), region, [&](const Tile& strip) {
    for (std::int64_t y = strip.rect.y; y < strip.rect.maxY(); ++y) {
      std::uint8_t* d = base + (region.maxY() - 1 - y) * rowBytes + 8 * (strip.rect.x - region.x);
      const float* s = strip.at(strip.rect.x, y);
      if (strip.flat) {
        std::uint8_t flat[8];
        _mm_storel_epi64(reinterpret_cast<__m128i*>(flat), _mm_cvtps_ph(_mm_loadu_ps(s), _MM_FROUND_TO_NEAREST_INT));
        fillPixels(d, flat, strip.rect.width);
        continue;
      }
      std::int64_t i = 0;
      for (; i + 4 <= strip.rect.width; i += 4) {
        __m128i a = _mm256_cvtps_ph(_mm256_loadu_ps(s + 4 * i), _MM_FROUND_TO_NEAREST_INT);
        __m128i b = _mm256_cvtps_ph(_mm256_loadu_ps(s + 4 * i + 8), _MM_FROUND_TO_NEAREST_INT);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 8 * i), _mm256_set_m128i(b, a));
      }
      for (; i < strip.rect.width; ++i) {
        __m128i h = _mm_cvtps_ph(_mm_loadu_ps(s + 4 * i), _MM_FROUND_TO_NEAREST_INT);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 8 * i), h);
      }
    }
  }, options_.schedule, options_.schedule.maskTiles);
}

namespace {

std::uint16_t toHalf(float v) { return _cvtss_sh(v, _MM_FROUND_TO_NEAREST_INT); }

// Whether a premultiplied pixel is an opaque grey; NaN is not.
bool isOpaqueGrey(const float* p) { return p[3] == 1 && p[0] == p[1] && p[1] == p[2]; }

// n pixels' greys to half floats, rounded as renderHalf rounds each component, eight at a time:
// each pair of pixels compared with its red spread over the colour and alpha 1, and the reds
// gathered in order. False as soon as a pixel is not an opaque grey.
bool greysToHalves(const float* s, std::uint8_t* d, std::int64_t n) {
  const __m256 one = _mm256_set1_ps(1);
  const __m256i inOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  std::int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 v[4];
    int same = 0xFFFFFFFF;
    for (int k = 0; k < 4; ++k) {
      v[k] = _mm256_loadu_ps(s + 4 * i + 8 * k);
      __m256 grey = _mm256_blend_ps(_mm256_permute_ps(v[k], 0), one, 0x88);
      same &= _mm256_movemask_ps(_mm256_cmp_ps(v[k], grey, _CMP_EQ_OQ));
    }
    if (same != 0xFF) return false;
    __m256 evenOdd = _mm256_shuffle_ps(_mm256_shuffle_ps(v[0], v[1], 0), _mm256_shuffle_ps(v[2], v[3], 0),
                                       _MM_SHUFFLE(2, 0, 2, 0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * i),
                     _mm256_cvtps_ph(_mm256_permutevar8x32_ps(evenOdd, inOrder), _MM_FROUND_TO_NEAREST_INT));
  }
  for (; i < n; ++i) {
    if (!isOpaqueGrey(s + 4 * i)) return false;
    std::uint16_t h = toHalf(s[4 * i]);
    std::memcpy(d + 2 * i, &h, sizeof h);
  }
  return true;
}

// n copies of a grey as half floats.
void fillHalves(float grey, std::uint8_t* d, std::int64_t n) {
  std::uint8_t half[2];
  std::uint16_t h = toHalf(grey);
  std::memcpy(half, &h, sizeof h);
  fillPixels(d, half, n);
}

// n copies of the grey of the pixel at s as half floats; false if it is not an opaque grey.
bool fillGreyHalves(const float* s, std::uint8_t* d, std::int64_t n) {
  if (!isOpaqueGrey(s)) return false;
  fillHalves(s[0], d, n);
  return true;
}

// n greys to half floats.
void toHalves(const float* s, std::uint8_t* d, std::int64_t n) {
  std::int64_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * i), _mm256_cvtps_ph(_mm256_loadu_ps(s + i), _MM_FROUND_TO_NEAREST_INT));
  for (; i < n; ++i) {
    std::uint16_t h = toHalf(s[i]);
    std::memcpy(d + 2 * i, &h, sizeof h);
  }
}

}  // namespace

bool Context::renderGreyHalf(const Image& image, void* greyHalf, std::ptrdiff_t rowBytes, const Rect& bounds) const {
  PixelRect region = wholePixels(bounds);
  auto* base = static_cast<std::uint8_t*>(greyHalf);
  // An image known to be an opaque grey over the region is rendered as greys, one float a
  // pixel all the way.
  if (const Node::Ptr& greys = image.greys(); greys && knownOpaque(*greys) && greys->pixelBox().contains(region)) {
    renderStrips(greys, region, [&](const Tile& strip) {
      for (std::int64_t y = strip.rect.y; y < strip.rect.maxY(); ++y) {
        std::uint8_t* d = base + (region.maxY() - 1 - y) * rowBytes + 2 * (strip.rect.x - region.x);
        const float* s = strip.at(strip.rect.x, y);
        if (strip.flat) fillHalves(s[0], d, strip.rect.width);
        else toHalves(s, d, strip.rect.width);
      }
    }, options_.schedule, options_.schedule.maskTiles);
    return true;
  }
  std::atomic<bool> grey{true};
  renderStrips(image.node(), region, [&](const Tile& strip) {
    if (!grey.load(std::memory_order_relaxed)) return;
    for (std::int64_t y = strip.rect.y; y < strip.rect.maxY(); ++y) {
      std::uint8_t* d = base + (region.maxY() - 1 - y) * rowBytes + 2 * (strip.rect.x - region.x);
      const float* s = strip.at(strip.rect.x, y);
      if (!(strip.flat ? fillGreyHalves(s, d, strip.rect.width) : greysToHalves(s, d, strip.rect.width)))
        return grey.store(false, std::memory_order_relaxed);
    }
  }, options_.schedule, options_.schedule.maskTiles);
  return grey.load();
}

namespace {

std::string vipsError() { return takeVipsError("the encoder failed"); }

// The rendered 8-bit RGBA pixels of an image's extent.
struct Pixels {
  std::vector<std::uint8_t> rgba;
  int width = 0, height = 0;
};

// Encoding runs on one core and takes longer than the whole matting chain on two. PNG: the
// fastest deflate level, with the SUB filter, halves its time for files about 4% larger than
// level 2 makes (a 12-megapixel cut-out).
int save(VipsImage* image, VipsTarget* target, FileFormat format) {
  switch (format) {
    case FileFormat::jpeg: return vips_jpegsave_target(image, target, "Q", 90, nullptr);
    case FileFormat::webp: return vips_webpsave_target(image, target, "Q", 90, nullptr);
    case FileFormat::png: break;
  }
  return vips_pngsave_target(image, target, "compression", 1, "filter", VIPS_FOREIGN_PNG_FILTER_SUB, nullptr);
}

std::optional<std::string> encode(const Pixels& pixels, Encoding encoding, int fd) {
  VipsPtr<VipsImage> image(vips_image_new_from_memory(pixels.rgba.data(), pixels.rgba.size(), pixels.width,
                                                      pixels.height, 4, VIPS_FORMAT_UCHAR));
  if (!image) return vipsError();
  image->Type = VIPS_INTERPRETATION_sRGB;
  if (encoding.components != Components::rgba) {
    const bool grey = encoding.components == Components::grey;
    VipsImage *bands = nullptr, *kept = nullptr;
    if (vips_extract_band(image.get(), &bands, 0, "n", grey ? 1 : 3, nullptr)) return vipsError();
    VipsPtr<VipsImage> owner(bands);
    auto interpretation = grey ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB;
    if (vips_copy(bands, &kept, "interpretation", interpretation, nullptr)) return vipsError();
    image.reset(kept);
  }
  VipsPtr<VipsTarget> target(vips_target_new_to_descriptor(fd));
  if (!target || save(image.get(), target.get(), encoding.format)) return vipsError();
  return std::nullopt;
}

// Rendered whole before encoding: the encoders read rows in order, the renderer works on tiles
// in parallel.
std::optional<std::string> rendered(const Context& context, const Image& image, Pixels& pixels) {
  PixelRect box = wholePixels(image.extent());
  if (image.extent().isInfinite() || box.isEmpty()) return "the image has no finite size";
  if (box.width > 0x7fffffff / 4 || box.height > 0x7fffffff) return "the image is too large for a picture file";
  try {
    pixels.rgba.resize(static_cast<std::size_t>(box.width) * box.height * 4);
  } catch (const std::bad_alloc&) {
    return "not enough memory for an image of " + std::to_string(box.width) + "x" + std::to_string(box.height);
  }
  pixels.width = static_cast<int>(box.width);
  pixels.height = static_cast<int>(box.height);
  context.render(image, pixels.rgba.data(), 4 * box.width, image.extent());
  return std::nullopt;
}

}  // namespace

std::optional<std::string> Context::writeTo(int fd, const Image& image, Encoding encoding) const {
  ensureVips();
  Pixels pixels;
  if (auto failure = rendered(*this, image, pixels)) return failure;
  return encode(pixels, encoding, fd);
}

}  // namespace imaging
