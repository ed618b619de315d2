#include "segmentation/guided.h"

#include <algorithm>
#include <array>

#include "imaging/parallel.h"
#include "segmentation/resample.h"

namespace segmentation {
namespace {

// Calls fn(i) for i in [0, count) on the strip pool.
void forEachIndex(int count, const std::function<void(int)>& fn) {
  imaging::forEachStrip({0, 0, 1, count}, 1,
                        [&](const imaging::PixelRect& strip, int) { fn(static_cast<int>(strip.y)); });
}

// Mean over the (2r+1)^2 window around each pixel, the window cut at the plane's edges.
// Running sums (a row of column sums, then along the row) make the cost independent of r.
void boxMean(const float* in, float* out, int width, int height, int r) {
  std::vector<double> columns(width, 0.0);
  std::vector<float> row(width);
  int lo = 0, hi = -1;  // rows summed into columns
  for (int y = 0; y < height; ++y) {
    const int wantLo = std::max(0, y - r), wantHi = std::min(height - 1, y + r);
    for (; hi < wantHi; ++hi) {
      const float* add = in + std::size_t(hi + 1) * width;
      for (int x = 0; x < width; ++x) columns[x] += add[x];
    }
    for (; lo < wantLo; ++lo) {
      const float* remove = in + std::size_t(lo) * width;
      for (int x = 0; x < width; ++x) columns[x] -= remove[x];
    }
    const double rows = hi - lo + 1;
    double sum = 0;
    int left = 0, right = -1;
    float* o = out + std::size_t(y) * width;
    for (int x = 0; x < width; ++x) {
      const int wantLeft = std::max(0, x - r), wantRight = std::min(width - 1, x + r);
      for (; right < wantRight; ++right) sum += columns[right + 1];
      for (; left < wantLeft; ++left) sum -= columns[left];
      o[x] = static_cast<float>(sum / (rows * (right - left + 1)));
    }
  }
}

// The local linear fits p = a . I + b, smoothed, as one image of four interleaved channels
// (a for R, G and B, then b).
std::vector<float> coefficients(const float* guide, const float* p, int width, int height,
                                GuidedFilter filter) {
  const std::size_t n = std::size_t(width) * height;
  const float* I[3] = {guide, guide + n, guide + 2 * n};
  // Means of I, p, the six distinct products I*I and I*p: thirteen planes.
  constexpr int kPairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
  std::vector<std::vector<float>> m(13, std::vector<float>(n));
  forEachIndex(13, [&](int slot) {
    std::vector<float> product(n);
    for (std::size_t i = 0; i < n; ++i) {
      if (slot < 3) product[i] = I[slot][i];
      else if (slot == 3) product[i] = p[i];
      else if (slot < 10) product[i] = I[kPairs[slot - 4][0]][i] * I[kPairs[slot - 4][1]][i];
      else product[i] = I[slot - 10][i] * p[i];
    }
    boxMean(product.data(), m[slot].data(), width, height, filter.radius);
  });

  std::array<std::vector<float>, 4> ab;
  for (auto& plane : ab) plane.resize(n);
  const double e = filter.epsilon;
  for (std::size_t i = 0; i < n; ++i) {
    const double mr = m[0][i], mg = m[1][i], mb = m[2][i], mp = m[3][i];
    // Colour covariance plus epsilon on the diagonal, and covariance of colour and p.
    const double rr = m[4][i] - mr * mr + e, rg = m[5][i] - mr * mg, rb = m[6][i] - mr * mb;
    const double gg = m[7][i] - mg * mg + e, gb = m[8][i] - mg * mb, bb = m[9][i] - mb * mb + e;
    const double cr = m[10][i] - mr * mp, cg = m[11][i] - mg * mp, cb = m[12][i] - mb * mp;
    // Symmetric 3x3 solve by cofactors.
    const double c00 = gg * bb - gb * gb, c01 = rb * gb - rg * bb, c02 = rg * gb - rb * gg;
    const double c11 = rr * bb - rb * rb, c12 = rb * rg - rr * gb, c22 = rr * gg - rg * rg;
    const double inverseDet = 1.0 / (rr * c00 + rg * c01 + rb * c02);
    const double ar = (c00 * cr + c01 * cg + c02 * cb) * inverseDet;
    const double ag = (c01 * cr + c11 * cg + c12 * cb) * inverseDet;
    const double abl = (c02 * cr + c12 * cg + c22 * cb) * inverseDet;
    ab[0][i] = static_cast<float>(ar);
    ab[1][i] = static_cast<float>(ag);
    ab[2][i] = static_cast<float>(abl);
    ab[3][i] = static_cast<float>(mp - ar * mr - ag * mg - abl * mb);
  }
  std::vector<float> smoothed(4 * n);
  forEachIndex(4, [&](int c) {
    std::vector<float> mean(n);
    boxMean(ab[c].data(), mean.data(), width, height, filter.radius);
    for (std::size_t i = 0; i < n; ++i) smoothed[4 * i + c] = mean[i];
  });
  return smoothed;
}

}  // namespace

void guidedUpsample(const Picture& picture, const float* guide, const float* probability, int width,
                    int height, GuidedFilter filter, float* out, std::ptrdiff_t outStride) {
  const std::vector<float> ab = coefficients(guide, probability, width, height, filter);
  const RowResampler rows(ab.data(), 4, width, height, picture.width, picture.height);
  imaging::forEachStrip({0, 0, 1, picture.height}, 16, [&](const imaging::PixelRect& strip, int) {
    std::vector<float> scratch(std::size_t(width) * 4), row(std::size_t(picture.width) * 4);
    constexpr float unit = 1.0f / 255;
    for (auto y = strip.y; y < strip.maxY(); ++y) {
      rows.row(static_cast<int>(y), row.data(), scratch.data());
      const std::uint8_t* px = picture.rgba + y * picture.rowBytes;
      float* mask = out + y * outStride;
      for (int x = 0; x < picture.width; ++x) {
        const float* c = &row[4 * std::size_t(x)];
        const float q = (c[0] * px[4 * x] + c[1] * px[4 * x + 1] + c[2] * px[4 * x + 2]) * unit + c[3];
        mask[x] = std::clamp(q, 0.0f, 1.0f);
      }
    }
  });
}

}  // namespace segmentation
