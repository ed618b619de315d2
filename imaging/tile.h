#pragma once
// Whole-pixel rectangles and views of float RGBA pixels: what the engine's nodes and kernels
// exchange. Pixels are premultiplied RGBA floats, four per pixel, unclamped.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "imaging/pixel.h"

namespace imaging {

// A rectangle of whole pixels in image coordinates (origin bottom-left, y up):
// pixel (x, y) covers [x, x + 1] x [y, y + 1].
struct PixelRect {
  std::int64_t x = 0, y = 0, width = 0, height = 0;

  std::int64_t maxX() const { return x + width; }
  std::int64_t maxY() const { return y + height; }
  bool isEmpty() const { return width <= 0 || height <= 0; }
  std::int64_t area() const { return isEmpty() ? 0 : width * height; }

  bool contains(const PixelRect& r) const {
    return r.isEmpty() || (r.x >= x && r.y >= y && r.maxX() <= maxX() && r.maxY() <= maxY());
  }
  PixelRect intersected(const PixelRect& r) const {
    std::int64_t x0 = std::max(x, r.x), y0 = std::max(y, r.y);
    std::int64_t x1 = std::min(maxX(), r.maxX()), y1 = std::min(maxY(), r.maxY());
    if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
    return {x0, y0, x1 - x0, y1 - y0};
  }
  PixelRect united(const PixelRect& r) const {
    if (isEmpty()) return r;
    if (r.isEmpty()) return *this;
    std::int64_t x0 = std::min(x, r.x), y0 = std::min(y, r.y);
    return {x0, y0, std::max(maxX(), r.maxX()) - x0, std::max(maxY(), r.maxY()) - y0};
  }
  PixelRect grownBy(std::int64_t dx, std::int64_t dy) const {
    if (isEmpty()) return *this;
    return {x - dx, y - dy, width + 2 * dx, height + 2 * dy};
  }
  bool operator==(const PixelRect&) const = default;
};

// A view of premultiplied RGBA float pixels covering `rect`. Row 0 of the memory is the
// bottom row of `rect` (y = rect.y); `stride` counts floats from one row to the next (0 in a
// read-only tile whose rows are all the same memory, a constant's).
//
// A grey image (red = green = blue, a mask) may be held as one float a pixel, `channels` 1:
// its premultiplied grey. Its opacity is not kept; the node it comes from says what is known
// of it (node.h).
//
// A flat tile is one pixel value throughout: a read-only row of copies of it, with stride 0.
// Masks are flat over most of a picture, and what is computed from flat tiles alone is flat
// too, so it is worked out once instead of for every pixel.
struct Tile {
  float* data = nullptr;
  std::ptrdiff_t stride = 0;
  PixelRect rect;
  bool flat = false;
  int channels = 4;

  // Pointer to pixel (x, y); both must lie inside rect.
  float* at(std::int64_t x, std::int64_t y) const {
    return data + (y - rect.y) * stride + (x - rect.x) * channels;
  }
  // The same memory seen through a smaller rectangle (r must lie inside rect).
  Tile view(const PixelRect& r) const { return {at(r.x, r.y), stride, r, flat, channels}; }
  // Pixel (x, y) as four components; a grey one as an opaque grey.
  f4 pixelAt(std::int64_t x, std::int64_t y) const {
    const float* p = at(x, y);
    return channels == 1 ? f4{*p, *p, *p, 1} : load4(p);
  }
};

// Cuts box into columns `width` wide and sorts them: classify(column) returns a value for a
// column that is flat (all of one kind: one pixel value, say), which goes to flat(column,
// value); runs of neighbouring columns that are not go to mixed(run) whole.
// Each column is classified once.
template <class Classify, class Flat, class Mixed>
void forEachColumnRun(const PixelRect& box, std::int64_t width, Classify classify, Flat flat, Mixed mixed) {
  auto column = [&](std::int64_t x) { return PixelRect{x, box.y, std::min(width, box.maxX() - x), box.height}; };
  using Kind = decltype(classify(box));
  auto kindAt = [&](std::int64_t x) { return x < box.maxX() ? classify(column(x)) : Kind{}; };
  std::int64_t x = box.x;
  Kind kind = kindAt(x);
  while (x < box.maxX()) {
    PixelRect c = column(x);
    if (kind) {
      flat(c, *kind);
      x = c.maxX();
      kind = kindAt(x);
      continue;
    }
    // A run of mixed columns ends at the next flat one, whose kind is then already known.
    std::int64_t end = c.maxX();
    while (end < box.maxX() && !(kind = kindAt(end))) end = column(end).maxX();
    mixed(PixelRect{x, box.y, end - x, box.height});
    x = end;
  }
}

}  // namespace imaging
