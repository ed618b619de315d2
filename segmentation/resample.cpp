#include "segmentation/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

// One row resampled across by a tap table. Enlarging gives one or two taps per column, nearly
// always two: eight neighbouring columns of two taps are computed together, their pixels
// picked from the eight floats they lie in when they do (enlarging by 8/7 or more), else
// gathered; the rest one column at a time.
class Across {
 public:
  Across(AxisTaps xs, int inWidth) : xs_(std::move(xs)) {
    for (std::size_t x = 0; x + 8 <= xs_.size(); x += 8) {
      bool paired = true;
      for (std::size_t i = x; i < x + 8; ++i) paired = paired && xs_.count(i) == 2;
      if (!paired) continue;
      const auto [lowest, highest] = std::minmax_element(&xs_.first[x], &xs_.first[x + 8]);
      const bool fits = *highest + 1 - *lowest < 8 && *lowest + 8 <= inWidth;
      Eight e{static_cast<int>(x), fits ? *lowest : -1, {}, {}, {}, {}};
      int left[8], right[8];
      for (int i = 0; i < 8; ++i) {
        left[i] = static_cast<int>(xs_.first[x + i] - std::max<std::int64_t>(e.window, 0));
        right[i] = left[i] + 1;
        e.w0[i] = xs_.weightsOf(x + i)[0];
        e.w1[i] = xs_.weightsOf(x + i)[1];
      }
      std::memcpy(&e.left, left, sizeof left);
      std::memcpy(&e.right, right, sizeof right);
      eights_.push_back(e);
    }
  }

  void row(const float* in, float* out) const {
    std::size_t x = 0;
    for (const Eight& e : eights_) {
      for (; x < std::size_t(e.x); ++x) out[x] = one(in, x);
      imaging::f8 px0, px1;
      if (e.window >= 0) {
        const imaging::f8 pixels = imaging::loadV<imaging::f8>(in + e.window);
        px0 = _mm256_permutevar8x32_ps(pixels, e.left), px1 = _mm256_permutevar8x32_ps(pixels, e.right);
      } else {
        px0 = _mm256_i32gather_ps(in, e.left, 4), px1 = _mm256_i32gather_ps(in, e.right, 4);
      }
      // Written as one() writes it, so that the compiler fuses the same multiply and add.
      imaging::storeV(out + x, e.w0 * px0 + e.w1 * px1);
      x += 8;
    }
    for (; x < xs_.size(); ++x) out[x] = one(in, x);
  }

 private:
  struct Eight {
    int x;
    std::int64_t window;    // the first of the eight input floats holding all pixels, or -1
    __m256i left, right;    // each column's two pixels: from window, or from the row's start
    imaging::f8 w0, w1;
  };
  float one(const float* in, std::size_t x) const {
    const float* w = xs_.weightsOf(x);
    const float* px = in + xs_.first[x];
    if (xs_.count(x) == 2) return w[0] * px[0] + w[1] * px[1];
    float sum = 0;
    for (std::size_t k = 0; k < xs_.count(x); ++k) sum += w[k] * px[k];
    return sum;
  }

  AxisTaps xs_;
  std::vector<Eight> eights_;
};

// Bytes as floats: 8 from p, or 4.
imaging::f8 floats8(const std::uint8_t* p) {
  std::int64_t b;
  std::memcpy(&b, p, sizeof b);
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(b)));
}
imaging::f4 floats4(const std::uint8_t* p) {
  std::int32_t b;
  std::memcpy(&b, p, sizeof b);
  return _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(b)));
}

// The bytes of output row y's input rows, weighted and summed: 4 * picture.width floats. The
// rows are the picture's largest read, so each vector of the sum stays in a register while
// all of its rows are added, and is stored once.
void weightRows(const Picture& picture, const AxisTaps& ys, int y, float* out) {
  const std::uint8_t* first = picture.rgba + ys.first[y] * picture.rowBytes;
  const float* w = ys.weightsOf(y);
  const std::size_t taps = ys.count(y), n = 4 * std::size_t(picture.width);
  auto sum = [&](std::size_t i, auto floats) {
    auto s = floats(first + i) * w[0];
    for (std::size_t k = 1; k < taps; ++k) s += floats(first + k * picture.rowBytes + i) * w[k];
    imaging::storeV(out + i, s);
  };
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) sum(i, floats8);
  if (i < n) sum(i, floats4);  // the last pixel of an odd width
}

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
      weightRows(picture, ys, y, rgba.data());
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
      wide_(std::make_unique_for_overwrite<float[]>(std::size_t(count) * height * toWidth + 8)) {
  std::fill_n(&wide_[std::size_t(count) * height * toWidth], 8, 0.0f);
  const Across across(resizeTaps(width, toWidth), width);
  forEachRowStrip(count * height, [&](int r0, int r1, int) {
    for (int r = r0; r < r1; ++r) {  // r: plane * height + row, as in both layouts
      across.row(planes + std::size_t(r) * width, &wide_[std::size_t(r) * toWidth]);
    }
  });
}

PlaneResampler::Row PlaneResampler::rowOfAll(int y) const {
  Row r;
  r.first_ = &wide_[std::size_t(y_.first[y]) * toWidth_];
  r.weights_ = y_.weightsOf(y);
  r.count_ = y_.count(y);
  r.stride_ = toWidth_;
  r.planeSize_ = std::size_t(inHeight_) * toWidth_;
  return r;
}

void PlaneResampler::row(int c, int y, float* out) const {
  const Row r = rowOfAll(y);
  int x = 0;
  for (; x + 8 <= toWidth_; x += 8) imaging::storeV(out + x, r.at(c, x));
  if (x < toWidth_) {
    float last[8];
    imaging::storeV(last, r.at(c, x));
    std::copy(last, last + (toWidth_ - x), out + x);
  }
}

}  // namespace segmentation
