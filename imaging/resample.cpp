// Axis-aligned resampling. Each axis becomes a table of taps (which input pixels, with which
// weights, make each output pixel); the image is then resampled vertically into a row of input
// columns and horizontally from that row. Both the reading region and the pixels come from the
// same tables, so they cannot disagree.
#include <algorithm>
#include <cmath>
#include <vector>

#include "imaging/kernels.h"
#include "imaging/simd.h"

namespace imaging {
namespace {

using namespace simd;

// Taps of output pixels lo, lo + 1, ...: output i reads input pixels first[i] + t with weights
// weights[begin[i] + t], for t < begin[i + 1] - begin[i].
struct AxisTaps {
  std::vector<std::int64_t> first;
  std::vector<std::size_t> begin{0};
  std::vector<float> weights;

  std::size_t count(std::size_t i) const { return begin[i + 1] - begin[i]; }
  const float* weightsOf(std::size_t i) const { return weights.data() + begin[i]; }
  std::int64_t lowest() const { return *std::min_element(first.begin(), first.end()); }
  std::int64_t highestEnd() const {
    std::int64_t end = first.front();
    for (std::size_t i = 0; i < first.size(); ++i)
      end = std::max(end, first[i] + static_cast<std::int64_t>(count(i)));
    return end;
  }

  void add(std::int64_t firstPixel, std::initializer_list<double> ws) {
    first.push_back(firstPixel);
    for (double w : ws) weights.push_back(static_cast<float>(w));
    begin.push_back(weights.size());
  }
};

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
  taps.first.push_back(k0);
  for (std::int64_t k = k0; k < k1; ++k)
    taps.weights.push_back(static_cast<float>((std::min(b, k + 1.0) - std::max(a, double(k))) / (b - a)));
  taps.begin.push_back(taps.weights.size());
}

// Taps for `count` output pixels from `lo`, reading only input pixels [srcLo, srcHi).
AxisTaps axisTaps(std::int64_t lo, std::int64_t count, const AxisMap& map, std::int64_t srcLo,
                  std::int64_t srcHi) {
  AxisTaps taps;
  taps.first.reserve(count);
  taps.begin.reserve(count + 1);
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

// out = sum of weights[t] * row pixel (first + t), for each output pixel of one row.
void resampleRow(const float* row, std::int64_t rowStart, const AxisTaps& taps, float* out) {
  for (std::size_t i = 0; i < taps.first.size(); ++i) {
    const float* src = row + 4 * (taps.first[i] - rowStart);
    const float* w = taps.weightsOf(i);
    f4 sum = load4(src) * w[0];
    for (std::size_t t = 1; t < taps.count(i); ++t) sum += load4(src + 4 * t) * w[t];
    store4(out + 4 * i, sum);
  }
}

}  // namespace

PixelRect resampleInputRegion(const PixelRect& out, const AxisMap& x, const AxisMap& y,
                              const PixelRect& source) {
  if (out.isEmpty() || source.isEmpty()) return {source.x, source.y, 0, 0};
  AxisTaps xs = axisTaps(out.x, out.width, x, source.x, source.maxX());
  AxisTaps ys = axisTaps(out.y, out.height, y, source.y, source.maxY());
  return {xs.lowest(), ys.lowest(), xs.highestEnd() - xs.lowest(), ys.highestEnd() - ys.lowest()};
}

void resample(const Tile& in, const Tile& out, const AxisMap& x, const AxisMap& y,
              const PixelRect& source) {
  if (out.rect.isEmpty()) return;
  if (source.isEmpty()) {
    for (std::int64_t row = out.rect.y; row < out.rect.maxY(); ++row)
      std::fill_n(out.at(out.rect.x, row), 4 * out.rect.width, 0.0f);
    return;
  }
  AxisTaps xs = axisTaps(out.rect.x, out.rect.width, x, source.x, source.maxX());
  AxisTaps ys = axisTaps(out.rect.y, out.rect.height, y, source.y, source.maxY());
  const std::int64_t columns = xs.lowest(), floats = 4 * (xs.highestEnd() - columns);

  std::vector<float> row(floats);
  for (std::size_t j = 0; j < ys.first.size(); ++j) {
    const float* w = ys.weightsOf(j);
    auto inputRow = [&](std::size_t t) { return in.at(columns, ys.first[j] + std::int64_t(t)); };
    scaleRow(row.data(), inputRow(0), w[0], floats);
    for (std::size_t t = 1; t < ys.count(j); ++t) addScaledRow(row.data(), inputRow(t), w[t], floats);
    resampleRow(row.data(), columns, xs, out.at(out.rect.x, out.rect.y + std::int64_t(j)));
  }
}

}  // namespace imaging
