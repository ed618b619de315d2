// Temporal smoothing of video masks: each frame's mask blended with the previous final mask
// where the two differ little, taken fresh where they differ much.
#include <new>

#include "cli/diagnostics.h"
#include "cli/state.h"
#include "matte/matte.h"

Image weighted(const Image& image, double x) {
  imaging::ColorMatrix m;
  m.alpha = {0, 0, 0, 0};
  m.bias = {0, 0, 0, static_cast<float>(x)};
  return image.colorMatrix(m);
}

Image smoothed(const Image& current, const Image& prev, double s, const Rect& rect) {
  Image blend = weighted(current, 1 - s).addedTo(weighted(prev, s)).settingAlphaOne(rect);
  Image keep = clamp01(affine(current.differenceFrom(prev), -5, 3));
  return blend.blendedWithMask(current, keep).cropped(rect);
}

MaskBuffer maskBuffer(std::int64_t width, std::int64_t height) {
  try {
    return MaskBuffer(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  fail("cannot allocate a mask buffer");
}

// Once a subject has been found the mask is an opaque grey, kept as one half float a pixel;
// before, it may be clear, and is kept whole.
Image storedMask(const Image& mask, MaskBuffer& buffer, const Rect& rect) {
  using imaging::PixelFormat;
  const auto width = static_cast<int>(rect.width), height = static_cast<int>(rect.height);
  if (ctx.renderGreyHalf(mask, buffer.data(), std::ptrdiff_t{2} * width, rect))
    return Image::fromPixels({buffer.data(), width, height, std::ptrdiff_t{2} * width, PixelFormat::greyHalf});
  ctx.renderHalf(mask, buffer.data(), std::ptrdiff_t{8} * width, rect);
  return Image::fromPixels({buffer.data(), width, height, std::ptrdiff_t{8} * width, PixelFormat::rgbaHalf});
}
