#include "segmentation/guided.h"

#include <algorithm>
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

}  // namespace

void guidedUpsample(const Picture& picture, const float* guide, const float* probability, int width,
                    int height, GuidedFilter filter, float* out, std::ptrdiff_t outStride) {
  // Four coefficient planes and the probability itself, brought up together row by row.
  const std::size_t n = std::size_t(width) * height;
  Planes planes = coefficients(guide, probability, width, height, filter, n);
  std::copy(probability, probability + n, &planes[4 * n]);
  const PlaneResampler rows(planes.get(), 5, width, height, picture.width, picture.height);
  const std::size_t w = picture.width;
  imaging::parallelFor(picture.height, 16, [&](std::int64_t y0, std::int64_t y1, int) {
    std::vector<float> row(5 * w);
    const float *aRed = &row[0], *aGreen = aRed + w, *aBlue = aGreen + w, *b = aBlue + w, *p = b + w;
    constexpr float unit = 1.0f / 255;
    for (auto y = y0; y < y1; ++y) {
      for (int c = 0; c < 5; ++c) rows.row(c, static_cast<int>(y), &row[c * w]);
      const std::uint8_t* px = picture.rgba + y * picture.rowBytes;
      float* mask = out + y * outStride;
      for (std::size_t x = 0; x < w; ++x) {
        const float q = (aRed[x] * px[4 * x] + aGreen[x] * px[4 * x + 1] + aBlue[x] * px[4 * x + 2]) * unit + b[x];
        float value = std::clamp((q - 0.5f) * filter.contrast + 0.5f, 0.0f, 1.0f);
        if (p[x] >= filter.sureSubject) value = std::max(value, std::min(p[x], 1.0f));
        else if (p[x] <= filter.sureBackground) value = std::min(value, std::max(p[x], 0.0f));
        mask[x] = value;
      }
    }
  });
}

}  // namespace segmentation
