#include "segmentation/resample.h"

#include <algorithm>
#include <cmath>

#include "imaging/parallel.h"

namespace segmentation {
namespace {

// Rows per strip of work: small enough to share a 144-row tensor between two threads.
constexpr int kStripRows = 16;

void forEachRowStrip(int height, const std::function<void(int y0, int y1, int worker)>& fn) {
  imaging::parallelFor(height, kStripRows, [&](std::int64_t y0, std::int64_t y1, int worker) {
    fn(static_cast<int>(y0), static_cast<int>(y1), worker);
  });
}

using imaging::taps::AxisTaps;
using imaging::taps::resizeTaps;

}  // namespace

std::vector<float> picturePlanes(const Picture& picture, int width, int height, float scale,
                                 float offset) {
  const AxisTaps xs = resizeTaps(picture.width, width), ys = resizeTaps(picture.height, height);
  const std::size_t planeSize = std::size_t(width) * height;
  std::vector<float> planes(3 * planeSize);
  const float unit = scale / 255.0f;
  forEachRowStrip(height, [&](int y0, int y1, int) {
    // One row filtered vertically, all four channels kept so the loop runs over contiguous
    // bytes and vectorises.
    std::vector<float> rgba(std::size_t(picture.width) * 4);
    for (int y = y0; y < y1; ++y) {
      std::fill(rgba.begin(), rgba.end(), 0.0f);
      for (std::size_t k = 0; k < ys.count(y); ++k) {
        const std::uint8_t* row = picture.rgba + (ys.first[y] + std::int64_t(k)) * picture.rowBytes;
        const float w = ys.weightsOf(y)[k];
        for (std::size_t i = 0; i < rgba.size(); ++i) rgba[i] += w * row[i];
      }
      for (int x = 0; x < width; ++x) {
        float sum[3] = {0, 0, 0};
        const float* w = xs.weightsOf(x);
        const float* px = &rgba[4 * std::size_t(xs.first[x])];
        for (std::size_t k = 0; k < xs.count(x); ++k) {
          for (int c = 0; c < 3; ++c) sum[c] += w[k] * px[4 * k + c];
        }
        for (int c = 0; c < 3; ++c) planes[c * planeSize + std::size_t(y) * width + x] = sum[c] * unit + offset;
      }
    }
  });
  return planes;
}

PlaneResampler::PlaneResampler(const float* planes, int count, int width, int height, int toWidth,
                               int toHeight)
    : inHeight_(height),
      toWidth_(toWidth),
      y_(resizeTaps(height, toHeight)),
      wide_(std::make_unique_for_overwrite<float[]>(std::size_t(count) * height * toWidth)) {
  const AxisTaps xs = resizeTaps(width, toWidth);
  forEachRowStrip(count * height, [&](int r0, int r1, int) {
    for (int r = r0; r < r1; ++r) {   // r: plane * height + row, as in both layouts
      const float* in = planes + std::size_t(r) * width;
      float* out = &wide_[std::size_t(r) * toWidth];
      for (int x = 0; x < toWidth; ++x) {
        const float* w = xs.weightsOf(x);
        const float* px = in + xs.first[x];
        // Enlarging gives one or two taps; two, the common count, without an inner loop.
        if (xs.count(x) == 2) {
          out[x] = w[0] * px[0] + w[1] * px[1];
          continue;
        }
        float sum = 0;
        for (std::size_t k = 0; k < xs.count(x); ++k) sum += w[k] * px[k];
        out[x] = sum;
      }
    }
  });
}

void PlaneResampler::row(int c, int y, float* out) const {
  const float* w = y_.weightsOf(y);
  const float* first = &wide_[(std::size_t(c) * inHeight_ + std::size_t(y_.first[y])) * toWidth_];
  for (int x = 0; x < toWidth_; ++x) out[x] = w[0] * first[x];
  for (std::size_t k = 1; k < y_.count(y); ++k) {
    const float* in = first + std::size_t(k) * toWidth_;
    for (int x = 0; x < toWidth_; ++x) out[x] += w[k] * in[x];
  }
}

}  // namespace segmentation
