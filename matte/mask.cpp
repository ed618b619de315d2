// The subject mask: segmentation of the picture as it will be output, then the refinements
// the options ask for, in output pixels.
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>

#include "cli/args.h"
#include "cli/state.h"
#include "imaging/parallel.h"
#include "matte/matte.h"
#include "segmentation/segmentation.h"

namespace {

segmentation::Route route() {
  return args.mode == "person" ? segmentation::Route::person : segmentation::Route::subject;
}

std::optional<segmentation::Mask> segment(const segmentation::Picture& view) {
  if (route() == segmentation::Route::person) return segmentation::personMask(view);
  return segmentation::subjectMask(view);
}

// Whether straight RGBA memory reads the same as its render: a render writes a pixel with no
// opacity as four zero bytes, whatever colour the memory keeps under it. Asked of memory that
// no render wrote (a decoded picture), on every core while the network waits, each pixel read
// as one little-endian word, alpha its top byte, which the compiler vectorises.
bool rendersAsItIs(const imaging::PixelBuffer& m) {
  std::atomic<bool> hidden{false};
  imaging::parallelFor(m.height, 64, [&](std::int64_t begin, std::int64_t end, int) {
    for (std::int64_t y = begin; y < end && !hidden.load(std::memory_order_relaxed); ++y) {
      const auto* row = static_cast<const std::uint8_t*>(m.data) + y * m.rowBytes;
      std::uint32_t found = 0;
      for (int x = 0; x < m.width; ++x) {
        std::uint32_t pixel;
        std::memcpy(&pixel, row + 4 * x, 4);
        found |= (pixel < 0x01000000u) & (pixel != 0);
      }
      if (found) hidden.store(true, std::memory_order_relaxed);
    }
  });
  return !hidden.load();
}

// The picture as the networks see it: 8-bit RGBA at the work rectangle's size. A picture that
// already is such memory (a frame the loop has fitted, a decoded file at its own size) is read
// where it lies.
std::optional<segmentation::Mask> segment(const Image& picture, const Rect& rect) {
  auto width = static_cast<int>(rect.width), height = static_cast<int>(rect.height);
  auto memory = picture.pixels();
  if (memory && memory->format == imaging::PixelFormat::rgba8 && memory->width == width &&
      memory->height == height && rect.x == 0 && rect.y == 0 &&
      (memory->rendered || rendersAsItIs(*memory)))
    return segment({static_cast<const std::uint8_t*>(memory->data), width, height, memory->rowBytes});
  std::vector<std::uint8_t> rgba(std::size_t(width) * height * 4);
  ctx.render(picture, rgba.data(), std::ptrdiff_t{4} * width, rect);
  return segment({rgba.data(), width, height, std::ptrdiff_t{4} * width});
}

Image maskImage(segmentation::Mask mask) {
  auto owner = std::make_shared<decltype(mask.values)>(std::move(mask.values));
  return Image::fromGray(std::shared_ptr<const float[]>(owner, owner->data()), mask.width, mask.height);
}

}  // namespace

void prepareMask() { segmentation::load(route()); }

std::optional<Image> rawMask(const Image& picture, const Rect& rect) {
  auto found = segment(picture, rect);
  if (!found || found->width < 1 || found->height < 1) return std::nullopt;
  return refinedMask(maskImage(std::move(*found)), rect);
}

Image refinedMask(Image mask, const Rect& rect) {
  // A mask within 0.1 % of the target size is not resampled; the crop trims any excess.
  double sx = rect.width / mask.extent().width, sy = rect.height / mask.extent().height;
  if (std::fabs(sx - 1) > 0.001 || std::fabs(sy - 1) > 0.001) mask = mask.transformed(imaging::Affine::scale(sx, sy));
  // Not clamped first: the subject is eaten away from the picture's border too.
  if (args.erode > 0) mask = mask.morphologyMinimum(args.erode);
  // Clamped, so the border does not darken.
  if (args.feather > 0) mask = mask.clampedToExtent().gaussianBlurred(args.feather);
  // The erosion leaves the border rows transparent (what lies outside counts as nothing), and
  // feathering spreads that into partial opacity: the mask's value there is its premultiplied
  // grey, which filters on straight colour (the smoothing's weights, the edge weight) would
  // divide back up. Made opaque, the grey is the value everywhere.
  return mask.settingAlphaOne(rect).cropped(rect);
}
