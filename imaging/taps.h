#pragma once
// Separable resampling by tap tables, shared by resample() and the large blur's way back up
// from its reduced grid. Each axis is a table saying which input pixels, with which weights,
// make each output pixel. Input rows are resampled across first, each once, into a few cached
// rows of output width; every output row is then a weighted sum of cached rows, so the vertical
// work runs at the output's width and the output is written once.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "imaging/simd.h"
#include "imaging/tile.h"

namespace imaging::taps {

// Output pixel i (counted from the table's first output) reads input pixels first[i] + t with
// weights weights[begin[i] + t], for t < count(i).
struct AxisTaps {
  std::vector<std::int64_t> first;
  std::vector<std::size_t> begin{0};
  std::vector<float> weights;

  // Empty, keeping the memory for the next table.
  void clear() {
    first.clear();
    begin.assign(1, 0);
    weights.clear();
  }
  void reserve(std::int64_t outputs, std::size_t tapsEach) {
    first.reserve(outputs);
    begin.reserve(outputs + 1);
    weights.reserve(outputs * tapsEach);
  }
  void add(std::int64_t firstPixel, std::initializer_list<double> ws) {
    first.push_back(firstPixel);
    for (double w : ws) weights.push_back(static_cast<float>(w));
    begin.push_back(weights.size());
  }
  // Input pixels firstPixel .. firstPixel + n - 1, weighted by weightOf(pixel).
  template <class WeightOf>
  void add(std::int64_t firstPixel, std::int64_t n, WeightOf weightOf) {
    first.push_back(firstPixel);
    for (std::int64_t k = firstPixel; k < firstPixel + n; ++k) weights.push_back(static_cast<float>(weightOf(k)));
    begin.push_back(weights.size());
  }

  std::size_t size() const { return first.size(); }
  std::size_t count(std::size_t i) const { return begin[i + 1] - begin[i]; }
  const float* weightsOf(std::size_t i) const { return weights.data() + begin[i]; }
  std::size_t mostTaps() const {
    std::size_t most = 0;
    for (std::size_t i = 0; i < size(); ++i) most = std::max(most, count(i));
    return most;
  }
  // The input pixels the table reads: [lowest(), end()).
  std::int64_t lowest() const { return *std::min_element(first.begin(), first.end()); }
  std::int64_t end() const {
    std::int64_t end = first.front();
    for (std::size_t i = 0; i < size(); ++i) end = std::max(end, first[i] + std::int64_t(count(i)));
    return end;
  }
};

// The taps that resize an axis of `from` pixels to `to` pixels (both at least 1), by the rules
// of resample(): linear between the nearest centres when enlarging, the mean of the covered
// input when shrinking, the edges repeated. The networks' planes are resized by these too.
AxisTaps resizeTaps(std::int64_t from, std::int64_t to);

// sum over t < count of w[t] * pixel t of src. A fixed Taps unrolls; Taps = 0 takes any count.
template <int Taps>
inline f4 weightedPixels(const float* src, const float* w, std::size_t count) {
  f4 sum = load4(src) * w[0];
  const std::size_t n = Taps > 0 ? Taps : count;
  for (std::size_t t = 1; t < n; ++t) sum += load4(src + 4 * t) * w[t];
  return sum;
}

// out[i] = sum over t of weights * row pixel (first[i] + t), for every output pixel of one row;
// `row` starts at input pixel rowStart. The common counts, 2 (bilinear) and 4 (B-spline), run
// unrolled.
inline void resampleRow(const float* row, std::int64_t rowStart, const AxisTaps& taps, float* out) {
  for (std::size_t i = 0; i < taps.size(); ++i) {
    const float* src = row + 4 * (taps.first[i] - rowStart);
    const float* w = taps.weightsOf(i);
    f4 sum;
    switch (taps.count(i)) {
      case 2: sum = weightedPixels<2>(src, w, 2); break;
      case 4: sum = weightedPixels<4>(src, w, 4); break;
      default: sum = weightedPixels<0>(src, w, taps.count(i));
    }
    store4(out + 4 * i, sum);
  }
}

// Input rows resampled across, kept while output rows still use them. Output rows read windows
// of consecutive input rows that only move one way (up, or down when mirrored), so as many
// slots as the widest window are enough, and each input row is resampled once.
class AcrossRows {
 public:
  AcrossRows(const Tile& in, const AxisTaps& xs, std::size_t slots)
      : in_(in), xs_(xs), columns_(xs.lowest()), floats_(4 * xs.size()), keys_(slots, kNone),
        rows_(slots * floats_) {}

  const float* row(std::int64_t k) {
    const auto slots = static_cast<std::int64_t>(keys_.size());
    const auto slot = static_cast<std::size_t>((k % slots + slots) % slots);
    float* dst = rows_.data() + slot * floats_;
    if (keys_[slot] != k) {
      resampleRow(in_.at(columns_, k), columns_, xs_, dst);
      keys_[slot] = k;
    }
    return dst;
  }
  std::ptrdiff_t floats() const { return floats_; }

 private:
  static constexpr std::int64_t kNone = INT64_MIN;
  const Tile& in_;
  const AxisTaps& xs_;
  std::int64_t columns_;
  std::ptrdiff_t floats_;
  std::vector<std::int64_t> keys_;
  std::vector<float> rows_;
};

// Fills `out` from `in`, which covers [xs.lowest(), xs.end()) x [ys.lowest(), ys.end()); the
// tables have one entry per column and per row of out.
inline void resampleByTaps(const Tile& in, const Tile& out, const AxisTaps& xs, const AxisTaps& ys) {
  AcrossRows across(in, xs, ys.mostTaps());
  std::vector<const float*> rows(ys.mostTaps());
  for (std::size_t j = 0; j < ys.size(); ++j) {
    for (std::size_t t = 0; t < ys.count(j); ++t) rows[t] = across.row(ys.first[j] + std::int64_t(t));
    simd::blendRows(out.at(out.rect.x, out.rect.y + std::int64_t(j)), rows.data(), ys.weightsOf(j), ys.count(j),
                    across.floats());
  }
}

}  // namespace imaging::taps
