#include "segmentation/guided.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "imaging/parallel.h"
#include "segmentation/resample.h"

namespace segmentation {
namespace {

// One row of box means from its prefix sums (prefix[x], the sum of the row's column sums left
// of x).
void boxRow(const double* prefix, double inverseHeight, const float* inverseWidth, int width, int r, float* o) {
  auto mean = [&](int x, int left, int right) {
    o[x] = static_cast<float>((prefix[right] - prefix[left]) * inverseHeight) * inverseWidth[x];
  };
  // Windows cut by the left edge, whole windows (a loop the compiler vectorises), then
  // windows cut by the right edge.
  const int whole0 = std::min(r, width), whole1 = std::max(whole0, width - r - 1);
  for (int x = 0; x < whole0; ++x) mean(x, 0, std::min(width, x + r + 1));
  for (int x = whole0; x < whole1; ++x) mean(x, x - r, x + r + 1);
  for (int x = whole1; x < width; ++x) mean(x, std::max(0, x - r), std::min(width, x + r + 1));
}

// Mean over the (2r+1)^2 window around each pixel, the window cut at the plane's edges: column
// sums kept running down the plane, then prefix sums along each row. The cost does not grow
// with r. Doubles, so that the running sums lose nothing a float would.
void boxMean(const float* in, float* out, int width, int height, int r) {
  // A row's prefix sum is a chain of dependent additions that would leave the adders idle most
  // of the time; the chains of kRows rows run side by side instead.
  constexpr int kRows = 8;
  std::vector<double> columns(width, 0.0), prefix(kRows * std::size_t(width + 1), 0.0);
  auto prefixOf = [&](int g) { return &prefix[g * std::size_t(width + 1)]; };
  std::vector<float> inverseWidth(width);
  for (int x = 0; x < width; ++x) inverseWidth[x] = 1.0f / (std::min(width - 1, x + r) - std::max(0, x - r) + 1);
  double inverseHeight[kRows];
  int lo = 0, hi = -1;  // rows summed into columns
  for (int y0 = 0; y0 < height; y0 += kRows) {
    const int rows = std::min(kRows, height - y0);
    for (int g = 0; g < rows; ++g) {
      const int y = y0 + g;
      for (; hi < std::min(height - 1, y + r); ++hi) {
        const float* add = in + std::size_t(hi + 1) * width;
        for (int x = 0; x < width; ++x) columns[x] += add[x];
      }
      for (; lo < std::max(0, y - r); ++lo) {
        const float* remove = in + std::size_t(lo) * width;
        for (int x = 0; x < width; ++x) columns[x] -= remove[x];
      }
      std::copy(columns.begin(), columns.end(), prefixOf(g) + 1);
      inverseHeight[g] = 1.0 / (hi - lo + 1);
    }
    // Rows past the plane's end (in the last group) sum stale values that are never read.
    double sum[kRows] = {};
    for (int x = 1; x <= width; ++x) {
      for (int g = 0; g < kRows; ++g) prefixOf(g)[x] = sum[g] += prefixOf(g)[x];
    }
    for (int g = 0; g < rows; ++g) {
      boxRow(prefixOf(g), inverseHeight[g], inverseWidth.data(), width, r, out + std::size_t(y0 + g) * width);
    }
  }
}

// Planes whose every value is written before it is read: not cleared first, which for a video
// frame's few megabytes of them is a measurable part of the filter.
using Planes = std::unique_ptr<float[]>;
Planes uncleared(std::size_t n) { return std::make_unique_for_overwrite<float[]>(n); }

// The local linear fits p = a . I + b, smoothed, as four planes (a for R, G and B, then b),
// followed by room for `extra` more.
Planes coefficients(const float* guide, const float* p, int width, int height, GuidedFilter filter,
                    std::size_t extra) {
  const std::size_t n = std::size_t(width) * height;
  const float* I[3] = {guide, guide + n, guide + 2 * n};
  // Means of I, p, the six distinct products I*I and I*p: thirteen planes.
  constexpr int kPairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
  Planes means = uncleared(13 * n);
  const float* m[13];
  for (int slot = 0; slot < 13; ++slot) m[slot] = &means[slot * n];
  imaging::parallelFor(13, [&](std::int64_t slot, int) {
    Planes product = uncleared(n);
    for (std::size_t i = 0; i < n; ++i) {
      if (slot < 3) product[i] = I[slot][i];
      else if (slot == 3) product[i] = p[i];
      else if (slot < 10) product[i] = I[kPairs[slot - 4][0]][i] * I[kPairs[slot - 4][1]][i];
      else product[i] = I[slot - 10][i] * p[i];
    }
    boxMean(product.get(), &means[slot * n], width, height, filter.radius);
  });

  Planes fits = uncleared(4 * n);
  const double e = filter.epsilon;
  imaging::parallelFor(height, 16, [&](std::int64_t y0, std::int64_t y1, int) {
    // The planes never overlap: telling the compiler so lets it solve four pixels to a vector.
#pragma GCC ivdep
    for (std::size_t i = y0 * width; i < std::size_t(y1) * width; ++i) {
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
      const double ab = (c02 * cr + c12 * cg + c22 * cb) * inverseDet;
      fits[i] = static_cast<float>(ar);
      fits[n + i] = static_cast<float>(ag);
      fits[2 * n + i] = static_cast<float>(ab);
      fits[3 * n + i] = static_cast<float>(mp - ar * mr - ag * mg - ab * mb);
    }
  });
  Planes smoothed = uncleared(4 * n + extra);
  imaging::parallelFor(4, [&](std::int64_t c, int) {
    boxMean(&fits[c * n], &smoothed[c * n], width, height, filter.radius);
  });
  return smoothed;
}

using imaging::f8;
using imaging::i8;

// std::min, std::max and std::clamp lane by lane, answering as they do for every input (a
// NaN too).
f8 splat(float v) { return imaging::splatV<f8>(v); }
f8 least(f8 a, f8 b) { return b < a ? b : a; }
f8 most(f8 a, f8 b) { return a < b ? b : a; }
f8 clamped(f8 v, float lo, float hi) { return v < splat(lo) ? splat(lo) : splat(hi) < v ? splat(hi) : v; }

// The refined mask of eight pixels from their colours and the planes brought up to them.
f8 refined(const PlaneResampler::Row& up, int x, const std::uint8_t* pixels, const GuidedFilter& filter) {
  i8 rgba;
  std::memcpy(&rgba, pixels, sizeof rgba);
  auto channel = [&](int shift) { return __builtin_convertvector((rgba >> shift) & 255, f8); };
  const f8 red = channel(0), green = channel(8), blue = channel(16);
  const f8 aRed = up.at(0, x), aGreen = up.at(1, x), aBlue = up.at(2, x), b = up.at(3, x), p = up.at(4, x);
  constexpr float unit = 1.0f / 255;
  const f8 q = (aRed * red + aGreen * green + aBlue * blue) * unit + b;
  const f8 value = clamped((q - 0.5f) * filter.contrast + 0.5f, 0, 1);
  // Where the network is sure, its value bounds the fit's.
  const f8 atLeast = most(value, least(p, splat(1))), atMost = least(value, most(p, splat(0)));
  return p >= filter.sureSubject ? atLeast : p <= filter.sureBackground ? atMost : value;
}

// One row of the mask, width floats, from the picture's row of pixels.
void refineRow(const PlaneResampler::Row& up, const std::uint8_t* pixels, int width, const GuidedFilter& filter,
               float* mask) {
  int x = 0;
  for (; x + 8 <= width; x += 8) imaging::storeV(mask + x, refined(up, x, pixels + 4 * x, filter));
  if (x < width) {  // the last pixels, through whole vectors
    std::uint8_t last[32] = {};
    std::copy(pixels + 4 * x, pixels + 4 * width, last);
    float values[8];
    imaging::storeV(values, refined(up, x, last, filter));
    std::copy(values, values + (width - x), mask + x);
  }
}

}  // namespace

void guidedUpsample(const Picture& picture, const float* guide, const float* probability, int width,
                    int height, GuidedFilter filter, float* out, std::ptrdiff_t outStride) {
  // Four coefficient planes and the probability itself, brought up together row by row.
  const std::size_t n = std::size_t(width) * height;
  Planes planes = coefficients(guide, probability, width, height, filter, n);
  std::copy(probability, probability + n, &planes[4 * n]);
  const PlaneResampler up(planes.get(), 5, width, height, picture.width, picture.height);
  imaging::parallelFor(picture.height, 16, [&](std::int64_t y0, std::int64_t y1, int) {
    for (auto y = y0; y < y1; ++y) {
      refineRow(up.rowOfAll(static_cast<int>(y)), picture.rgba + y * picture.rowBytes, picture.width, filter,
                out + y * outStride);
    }
  });
}

}  // namespace segmentation
