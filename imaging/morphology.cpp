// Disk minimum, separably by columns. Column i of the disk spans rows |j| <= height(i), and the
// heights nest, so for each output row one walk down the input rows leaves the vertical minimum
// over every distinct height at once; each output pixel then takes the minimum over i of the
// height(i) minimum at x + i. Work per pixel is the disk's height plus its width, not its
// area, and everything happens in a few rows of scratch held in registers and L1.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>

#include "imaging/kernels.h"
#include "imaging/recent.h"
#include "imaging/simd.h"

namespace imaging {
namespace {

using namespace simd;

// The disk by columns: for i = 0 .. reach, column i (and -i) covers rows |j| <= heights[level[i]].
// heights ascend and are distinct; inclusion is decided on the same i*i + j*j <= radius^2 as
// the definition, so fractional radii land exactly.
struct Disk {
  std::int64_t reach = 0;
  std::vector<std::int64_t> heights;
  std::vector<std::size_t> level;

  explicit Disk(double radius) : reach(morphologyReach(radius)) {
    if (reach == 0) return;
    const double r2 = radius * radius;
    auto inside = [r2](std::int64_t i, std::int64_t j) { return double(i) * double(i) + double(j) * double(j) <= r2; };
    level.resize(reach + 1);
    for (std::int64_t i = reach, h = 0; i >= 0; --i) {  // columns grow taller towards the centre
      while (inside(i, h + 1)) ++h;
      if (heights.empty() || heights.back() != h) heights.push_back(h);
      level[i] = heights.size() - 1;
    }
  }
};

// columns[k][x] = min over |j| <= disk.heights[k] of row(j)[x], for the N vectors of floats
// from x. The running minimum stays in registers all the way down the column.
template <class V, int N, class RowAt>
void columnMinima(const Disk& disk, RowAt row, std::ptrdiff_t x, const std::vector<float*>& columns) {
  constexpr std::ptrdiff_t L = kLanes<V>;
  V acc[N];
  for (int v = 0; v < N; ++v) acc[v] = loadV<V>(row(0) + x + L * v);
  std::size_t k = 0;
  for (std::int64_t j = 0;; ++j) {
    if (j > 0) {
      const float *up = row(j) + x, *down = row(-j) + x;
      for (int v = 0; v < N; ++v) acc[v] = minV(acc[v], minV(loadV<V>(up + L * v), loadV<V>(down + L * v)));
    }
    if (j == disk.heights[k]) {
      for (int v = 0; v < N; ++v) storeV(columns[k] + x + L * v, acc[v]);
      if (++k == disk.heights.size()) return;
    }
  }
}

// dst[x] = min over |i| <= reach of columns[level[|i|]][x + i], for the N vectors of floats
// from x, in rows of C floats per pixel (the columns start `reach` pixels left of dst).
template <class V, int N, int C>
void rowMinimum(const Disk& disk, const std::vector<float*>& columns, std::ptrdiff_t x, float* dst) {
  constexpr std::ptrdiff_t L = kLanes<V>;
  const std::ptrdiff_t centre = x + C * disk.reach;
  V acc[N];
  for (int v = 0; v < N; ++v) acc[v] = loadV<V>(columns[disk.level[0]] + centre + L * v);
  for (std::int64_t i = 1; i <= disk.reach; ++i) {
    const float* column = columns[disk.level[i]] + centre;
    for (int v = 0; v < N; ++v)
      acc[v] = minV(acc[v], minV(loadV<V>(column + C * i + L * v), loadV<V>(column - C * i + L * v)));
  }
  for (int v = 0; v < N; ++v) storeV(dst + x + L * v, acc[v]);
}

// One output row: row(j) is the input row j rows away, from `reach` pixels left of the output.
// spanFloats of columns are taken and outFloats of dst written, both multiples of 4 (of 8 when
// C is 1, whose rows are padded for it).
template <int C, class RowAt>
void minimumRow(const Disk& disk, RowAt row, std::ptrdiff_t spanFloats, std::ptrdiff_t outFloats,
                const std::vector<float*>& columns, float* dst) {
  std::ptrdiff_t x = 0;
  for (; x + 32 <= spanFloats; x += 32) columnMinima<f8, 4>(disk, row, x, columns);
  for (; x + 8 <= spanFloats; x += 8) columnMinima<f8, 1>(disk, row, x, columns);
  if (x < spanFloats) columnMinima<f4, 1>(disk, row, x, columns);
  for (x = 0; x + 32 <= outFloats; x += 32) rowMinimum<f8, 4, C>(disk, columns, x, dst);
  for (; x + 8 <= outFloats; x += 8) rowMinimum<f8, 1, C>(disk, columns, x, dst);
  if (x < outFloats) rowMinimum<f4, 1, C>(disk, columns, x, dst);
}

// This thread's disk of the radius: one for each radius in use, kept, since an erosion asks for
// its disk once for every run of columns it computes.
const Disk& diskOf(double radius) {
  struct Entry {
    double radius;
    Disk disk;
  };
  thread_local RecentlyUsed<Entry, 4> disks;
  if (Entry* e = disks.find([&](const Entry& e) { return e.radius == radius; })) return e->disk;
  return disks.keep({radius, Disk(radius)}).disk;
}

// The rows of a disk's column minima, spanFloats apart in this thread's memory.
const std::vector<float*>& columnsIn(const Disk& disk, std::ptrdiff_t spanFloats) {
  thread_local std::vector<float> scratch;
  thread_local std::vector<float*> columns;
  float* base = simd::scratch(scratch, disk.heights.size() * spanFloats);
  columns.clear();
  for (std::size_t k = 0; k < disk.heights.size(); ++k) columns.push_back(base + k * spanFloats);
  return columns;
}

std::ptrdiff_t wholeVectors(std::ptrdiff_t floats) { return (floats + 7) / 8 * 8; }

// A mask's minimum: on a plane of its grey values, each row padded so that whole vectors can
// be read and written past its end.
void greyMinimum(const Tile& in, const Tile& out, const Disk& disk) {
  const PixelRect region = out.rect.grownBy(disk.reach, disk.reach);
  const std::ptrdiff_t outFloats = wholeVectors(out.rect.width), spanFloats = wholeVectors(outFloats + 2 * disk.reach);
  thread_local std::vector<float> planeMemory, dstMemory;
  float* plane = simd::scratch(planeMemory, static_cast<std::size_t>(region.area()), spanFloats);
  float* dst = simd::scratch(dstMemory, static_cast<std::size_t>(outFloats));
  greyPlane(in, region, plane);
  const std::vector<float*>& columns = columnsIn(disk, spanFloats);
  for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
    auto row = [&](std::int64_t j) { return plane + (y + j - region.y) * region.width; };
    minimumRow<1>(disk, row, spanFloats, outFloats, columns, dst);
    greyPixels(dst, out, y);
  }
}

void diskMinimum(const Tile& in, const Tile& out, const Disk& disk, bool greyPlanes) {
  if (in.channels == 1 || (greyPlanes && isOpaqueGrey(in, out.rect.grownBy(disk.reach, disk.reach))))
    return greyMinimum(in, out, disk);
  const std::ptrdiff_t outFloats = 4 * out.rect.width, spanFloats = outFloats + 8 * disk.reach;
  const std::vector<float*>& columns = columnsIn(disk, spanFloats);
  for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
    auto row = [&](std::int64_t j) { return in.at(out.rect.x - disk.reach, y + j); };
    minimumRow<4>(disk, row, spanFloats, outFloats, columns, out.at(out.rect.x, y));
  }
}

}  // namespace

std::int64_t morphologyReach(double radius) {
  if (!(radius >= 1)) return 0;  // also NaN, and negative radii whose square is large
  // Farther than any image reaches; a user with a bounded image cuts the radius down further.
  radius = std::min(radius, double(std::int64_t{1} << 40));
  const double r2 = radius * radius;
  auto inside = [r2](std::int64_t i) { return double(i) * double(i) <= r2; };
  auto reach = static_cast<std::int64_t>(radius);
  while (inside(reach + 1)) ++reach;
  while (!inside(reach)) --reach;
  return reach;
}

PixelRect morphologyInputRegion(const PixelRect& out, double radius) {
  std::int64_t reach = morphologyReach(radius);
  return out.grownBy(reach, reach);
}

// Masks are mostly flat 0 or 1, and the minimum of a flat neighbourhood is its value: columns
// whose whole neighbourhood holds one pixel value are filled with it, and only runs of the
// others pay for the minimum.
void morphologyMinimum(const Tile& in, const Tile& out, double radius, const Schedule& schedule) {
  if (out.rect.isEmpty()) return;
  const Disk& disk = diskOf(radius);
  if (disk.reach == 0) return copyPixels(in, out);
  const bool greyPlanes = schedule.opaqueSources;
  // Without flat cells the whole tile is one run. (One call of diskMinimum, so that it stays
  // inlined: called from two places, it runs 6% more instructions.)
  forEachColumnRun(
      out.rect, schedule.flatCells ? schedule.flatColumn : out.rect.width,
      [&](const PixelRect& c) -> std::optional<f4> {
        if (!schedule.flatCells) return std::nullopt;
        PixelRect around = c.grownBy(disk.reach, disk.reach);
        f4 p = in.pixelAt(around.x, around.y);
        return everyPixelIs(in, around, p) ? std::optional(p) : std::nullopt;
      },
      [&](const PixelRect& c, f4 p) { fill(out.view(c), p); },
      [&](const PixelRect& run) { diskMinimum(in, out.view(run), disk, greyPlanes); });
}

}  // namespace imaging
