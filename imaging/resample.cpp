// Axis-aligned resampling: the two axes' tap tables (bilinear when enlarging, the covered area
// when shrinking, always clamped to the source), handed to the separable tap resampler. The
// reading region comes from the same tables as the pixels, so the two cannot disagree.
#include <algorithm>
#include <cmath>
#include <vector>

#include "imaging/kernels.h"
#include "imaging/recent.h"
#include "imaging/taps.h"

namespace imaging {
namespace {

using taps::AxisTaps;

// Enlarging: the linear interpolation between the two input centres around the output centre.
// Clamping the position to the outermost centres repeats the edge pixels instead of fading.
// A position on a centre makes a single tap, so whole-pixel shifts copy exactly.
void addBilinearTap(AxisTaps& taps, double centre, std::int64_t lo, std::int64_t hi) {
  double p = std::clamp(centre - 0.5, double(lo), double(hi - 1));
  double k = std::floor(p), t = p - k;
  if (t == 0)
    taps.add(static_cast<std::int64_t>(k), {1.0});
  else
    taps.add(static_cast<std::int64_t>(k), {1 - t, t});
}

// Shrinking: the mean of the input over [a, b], with each pixel weighted by how much of it the
// interval covers. The part of the interval outside [lo, hi] is dropped, so edge pixels are
// averaged only with what lies inside; an interval wholly outside takes the nearest pixel.
void addAreaTaps(AxisTaps& taps, double a, double b, std::int64_t lo, std::int64_t hi) {
  a = std::clamp(a, double(lo), double(hi));
  b = std::clamp(b, double(lo), double(hi));
  auto k0 = std::clamp(static_cast<std::int64_t>(std::floor(a)), lo, hi - 1);
  if (b <= a) return taps.add(k0, {1.0});
  auto k1 = static_cast<std::int64_t>(std::ceil(b));
  taps.add(k0, k1 - k0, [&](std::int64_t k) { return (std::min(b, k + 1.0) - std::max(a, double(k))) / (b - a); });
}

// Taps for `count` output pixels from `lo`, reading only input pixels [srcLo, srcHi).
AxisTaps axisTaps(std::int64_t lo, std::int64_t count, const AxisMap& map, std::int64_t srcLo,
                  std::int64_t srcHi) {
  AxisTaps taps;
  taps.reserve(count, std::abs(map.scale) >= 1 ? 2 : static_cast<std::size_t>(2 + 1 / std::abs(map.scale)));
  auto toInput = [&](double o) { return (o - map.offset) / map.scale; };
  for (std::int64_t i = lo; i < lo + count; ++i) {
    if (std::abs(map.scale) >= 1) {
      addBilinearTap(taps, toInput(i + 0.5), srcLo, srcHi);
    } else {
      double a = toInput(i), b = toInput(i + 1.0);
      addAreaTaps(taps, std::min(a, b), std::max(a, b), srcLo, srcHi);
    }
  }
  return taps;
}

// The tables of the last few regions this thread asked for. A render asks for the same
// columns' and rows' tables tile after tile (and for each tile twice: its input region, then
// its pixels); building them anew each time cost 2% of a video frame. A table is a function
// of its arguments alone, so it is found by them.
const AxisTaps& cachedAxisTaps(std::int64_t lo, std::int64_t count, const AxisMap& map, std::int64_t srcLo,
                               std::int64_t srcHi) {
  struct Entry {
    std::int64_t lo, count;
    double scale, offset;
    std::int64_t srcLo, srcHi;
    AxisTaps taps;
  };
  thread_local RecentlyUsed<Entry, 16> entries;
  if (const Entry* e = entries.find([&](const Entry& e) {
        return e.lo == lo && e.count == count && e.scale == map.scale && e.offset == map.offset &&
               e.srcLo == srcLo && e.srcHi == srcHi;
      }))
    return e->taps;
  return entries.keep({lo, count, map.scale, map.offset, srcLo, srcHi, axisTaps(lo, count, map, srcLo, srcHi)}).taps;
}

}  // namespace

AxisTaps taps::resizeTaps(std::int64_t from, std::int64_t to) {
  return axisTaps(0, to, AxisMap{double(to) / double(from), 0}, 0, from);
}

PixelRect resampleInputRegion(const PixelRect& out, const AxisMap& x, const AxisMap& y,
                              const PixelRect& source) {
  if (out.isEmpty() || source.isEmpty()) return {source.x, source.y, 0, 0};
  const AxisTaps& xs = cachedAxisTaps(out.x, out.width, x, source.x, source.maxX());
  const AxisTaps& ys = cachedAxisTaps(out.y, out.height, y, source.y, source.maxY());
  return {xs.lowest(), ys.lowest(), xs.end() - xs.lowest(), ys.end() - ys.lowest()};
}

void resample(const Tile& in, const Tile& out, const AxisMap& x, const AxisMap& y,
              const PixelRect& source) {
  if (out.rect.isEmpty()) return;
  if (source.isEmpty()) {
    for (std::int64_t row = out.rect.y; row < out.rect.maxY(); ++row)
      std::fill_n(out.at(out.rect.x, row), 4 * out.rect.width, 0.0f);
    return;
  }
  const AxisTaps& xs = cachedAxisTaps(out.rect.x, out.rect.width, x, source.x, source.maxX());
  const AxisTaps& ys = cachedAxisTaps(out.rect.y, out.rect.height, y, source.y, source.maxY());
  taps::resampleByTaps(in, out, xs, ys);
}

}  // namespace imaging
