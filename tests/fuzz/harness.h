#pragma once
// What the fuzz targets share: the rendering state made once, inputs put in files as the
// tool reads them, and one small cut-out rendered the way each mode renders it. Header only,
// like the tests' helpers.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/state.h"
#include "matte/matte.h"
#include "media/pictures.h"

namespace fuzz {

using imaging::Affine;
using imaging::PixelFormat;

// The largest picture a target renders: enough for every filter's borders to meet.
constexpr std::int64_t kMaxPixels = 64 * 64;

inline void prepare() {
  static const bool made = [] {
    makeRenderingState();
    return true;
  }();
  (void)made;
}

// The bytes in a file of this process's own, rewritten for each input; in memory where the
// machine has /dev/shm.
inline std::string fileWith(const std::uint8_t* data, std::size_t size, const std::string& name) {
  static const std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  const std::string path = folder + "/quelm-fuzz-" + std::to_string(getpid()) + "-" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), std::streamsize(size));
  return path;
}

// A soft-edged disk at a third of the rect's size, for where the subject is not segmented:
// the refinement then resamples it as it does a network's mask.
inline Image diskMask(const Rect& rect) {
  const int w = std::max(1, int(rect.width / 3)), h = std::max(1, int(rect.height / 3));
  auto values = std::make_shared<std::vector<float>>(std::size_t(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double dx = (x + 0.5) / w - 0.5, dy = (y + 0.5) / h - 0.5;
      (*values)[std::size_t(y) * w + x] = float(std::clamp(4 * (0.35 - std::sqrt(dx * dx + dy * dy)), 0.0, 1.0));
    }
  return refinedMask(Image::fromGray(std::shared_ptr<const float[]>(values, values->data()), w, h), rect);
}

// The picture's subject mask as the modes find it, or the disk when nothing is found.
inline Image maskFor(const Image& picture, const Rect& rect) {
  if (auto found = rawMask(picture, rect)) return *found;
  return diskMask(rect);
}

// The picture, covering rect, cut out with the mask into 8-bit RGBA as the still mode does
// (the mask alone, or over a background colour, as the options say); as a video frame, the
// mask is first smoothed against itself stored as the previous frame's, through the mask
// buffers, as the frame loop does.
inline void renderCutOut(const Image& picture, Image mask, const Rect& rect, bool video) {
  const auto w = static_cast<int>(rect.width), h = static_cast<int>(rect.height);
  const std::ptrdiff_t halfRow = std::ptrdiff_t{8} * w;
  MaskBuffer first, second;  // the images over them are rendered below
  if (video && args.smooth > 0) {
    first = maskBuffer(w, h), second = maskBuffer(w, h);
    ctx.renderHalf(mask, first.data(), halfRow, rect);
    Image prev = Image::fromPixels({first.data(), w, h, halfRow, PixelFormat::rgbaHalf});
    ctx.renderHalf(smoothed(mask, prev, args.smooth, rect), second.data(), halfRow, rect);
    mask = Image::fromPixels({second.data(), w, h, halfRow, PixelFormat::rgbaHalf});
  }
  std::vector<std::uint8_t> rgba(std::size_t(w) * h * 4);
  std::optional<Image> backdrop;
  if (auto colour = backgroundColour(args.background)) backdrop = Image::color(*colour).cropped(rect);
  ctx.render(matted(picture, mask, rect, backdrop), rgba.data(), std::ptrdiff_t{4} * w, rect);
}

// The picture moved to the origin and stretched over rect.
inline Image stretched(const Image& picture, const Rect& rect) {
  const Rect e = picture.extent();
  return picture.transformed(Affine::translation(-e.x, -e.y))
      .transformed(Affine::scale(rect.width / e.width, rect.height / e.height))
      .cropped(rect);
}

// The picture's own size when it is small, else a small size of the same shape.
inline Rect smallRect(const Rect& own) {
  const double k = std::min(1.0, std::sqrt(double(kMaxPixels) / (own.width * own.height)));
  return {0, 0, std::max(1.0, std::floor(own.width * k)), std::max(1.0, std::floor(own.height * k))};
}

}  // namespace fuzz
