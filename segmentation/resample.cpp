#include "segmentation/resample.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "imaging/parallel.h"

namespace segmentation {
namespace {

// Rows per strip of work: small enough to share a 144-row tensor between two threads.
constexpr int kStripRows = 16;

void forEachRowStrip(int height, const std::function<void(int y0, int y1, int worker)>& fn) {
  imaging::forEachStrip({0, 0, 1, height}, kStripRows, [&](const imaging::PixelRect& strip, int worker) {
    fn(static_cast<int>(strip.y), static_cast<int>(strip.maxY()), worker);
  });
}

// Input pixel j covers [j, j + 1); weights of output pixel i over the input pixels.
std::vector<std::pair<int, float>> shrinkWeights(int i, double scale, int from) {
  const double lo = i * scale, hi = (i + 1) * scale;
  std::vector<std::pair<int, float>> taps;
  for (int j = static_cast<int>(std::floor(lo)); j < hi && j < from; ++j) {
    double overlap = std::min<double>(hi, j + 1) - std::max<double>(lo, j);
    if (overlap > 0) taps.push_back({j, static_cast<float>(overlap / scale)});
  }
  return taps;
}

std::vector<std::pair<int, float>> enlargeWeights(int i, double scale, int from) {
  const double centre = std::clamp((i + 0.5) * scale - 0.5, 0.0, from - 1.0);
  const int left = std::min(static_cast<int>(centre), from - 1);
  const float t = static_cast<float>(centre - left);
  if (left + 1 >= from || t == 0) return {{left, 1.0f}};
  return {{left, 1 - t}, {left + 1, t}};
}

}  // namespace

AxisTaps::AxisTaps(int from, int to) : first_(to), count_(to) {
  const double scale = double(from) / to;
  std::vector<std::vector<std::pair<int, float>>> taps(to);
  for (int i = 0; i < to; ++i) {
    taps[i] = scale > 1 ? shrinkWeights(i, scale, from) : enlargeWeights(i, scale, from);
    stride_ = std::max(stride_, static_cast<int>(taps[i].size()));
  }
  weights_.assign(std::size_t(to) * stride_, 0.0f);
  for (int i = 0; i < to; ++i) {
    first_[i] = taps[i].front().first;
    count_[i] = static_cast<int>(taps[i].size());
    for (int k = 0; k < count_[i]; ++k) weights_[std::size_t(i) * stride_ + k] = taps[i][k].second;
  }
}

std::vector<float> picturePlanes(const Picture& picture, int width, int height, float scale,
                                 float offset) {
  const AxisTaps xs(picture.width, width), ys(picture.height, height);
  const std::size_t planeSize = std::size_t(width) * height;
  std::vector<float> planes(3 * planeSize);
  const float unit = scale / 255.0f;
  forEachRowStrip(height, [&](int y0, int y1, int) {
    std::vector<float> rgb(std::size_t(picture.width) * 3);  // one row, vertically filtered
    for (int y = y0; y < y1; ++y) {
      std::fill(rgb.begin(), rgb.end(), 0.0f);
      for (int k = 0; k < ys.count(y); ++k) {
        const std::uint8_t* row = picture.rgba + (ys.first(y) + k) * picture.rowBytes;
        const float w = ys.weights(y)[k];
        for (int x = 0; x < picture.width; ++x) {
          for (int c = 0; c < 3; ++c) rgb[3 * x + c] += w * row[4 * x + c];
        }
      }
      for (int x = 0; x < width; ++x) {
        float sum[3] = {0, 0, 0};
        const float* w = xs.weights(x);
        const float* px = &rgb[3 * std::size_t(xs.first(x))];
        for (int k = 0; k < xs.count(x); ++k) {
          for (int c = 0; c < 3; ++c) sum[c] += w[k] * px[3 * k + c];
        }
        for (int c = 0; c < 3; ++c) planes[c * planeSize + std::size_t(y) * width + x] = sum[c] * unit + offset;
      }
    }
  });
  return planes;
}

RowResampler::RowResampler(const float* pixels, int channels, int width, int height, int toWidth,
                           int toHeight)
    : pixels_(pixels), channels_(channels), inWidth_(width), x_(width, toWidth), y_(height, toHeight) {}

template <int channels>
void RowResampler::horizontal(const float* in, float* out) const {
  for (int x = 0; x < width(); ++x) {
    const float* w = x_.weights(x);
    const float* px = in + std::size_t(x_.first(x)) * channels;
    float sum[channels] = {};
    for (int k = 0; k < x_.count(x); ++k) {
      for (int c = 0; c < channels; ++c) sum[c] += w[k] * px[k * channels + c];
    }
    for (int c = 0; c < channels; ++c) out[std::size_t(x) * channels + c] = sum[c];
  }
}

void RowResampler::row(int y, float* out, float* scratch) const {
  const std::size_t rowSize = std::size_t(inWidth_) * channels_;
  std::fill(scratch, scratch + rowSize, 0.0f);
  for (int k = 0; k < y_.count(y); ++k) {
    const float* in = pixels_ + (y_.first(y) + k) * rowSize;
    const float w = y_.weights(y)[k];
    for (std::size_t i = 0; i < rowSize; ++i) scratch[i] += w * in[i];
  }
  switch (channels_) {
    case 1: return horizontal<1>(scratch, out);
    case 4: return horizontal<4>(scratch, out);
    default: throw std::invalid_argument("RowResampler: 1 or 4 channels");
  }
}

Mask planeToMask(const float* plane, int width, int height, int toWidth, int toHeight) {
  const RowResampler rows(plane, 1, width, height, toWidth, toHeight);
  Mask mask{toWidth, toHeight, std::vector<float>(std::size_t(toWidth) * toHeight)};
  forEachRowStrip(toHeight, [&](int y0, int y1, int) {
    std::vector<float> scratch(width);
    for (int y = y0; y < y1; ++y) {
      float* out = &mask.values[std::size_t(y) * toWidth];
      rows.row(y, out, scratch.data());
      for (int x = 0; x < toWidth; ++x) out[x] = std::clamp(out[x], 0.0f, 1.0f);
    }
  });
  return mask;
}

}  // namespace segmentation
