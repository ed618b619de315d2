// Gaussian blur, in one of three ways picked from sigma:
//  - no blur at all (sigma <= 0): a copy;
//  - small sigma: exact separable convolution, vertical pass first, straight from the input,
//    so a thin strip repeats no horizontal work for its margin rows;
//  - large sigma: the work moves to a grid reduced by an integer factor f. prepare() shrinks the
//    region with a triangle filter and blurs the small grid; compute() only interpolates it back
//    up with a cubic B-spline, which costs the same for every sigma.
//
// Pixels are areas, so the reference blur is a Gaussian convolved with the pixel's box: tap i
// weighs the Gaussian's mass over [i - 1/2, i + 1/2], and a step edge comes out as the error
// function sampled at pixel centres.
//
// Why the reduced path is exact enough (within 1/255 from sigma 5 to 50): each stage adds a
// known variance, and the grid's Gaussian gets what is left of sigma^2 + 1/12 after the
// triangle's and the B-spline's share. The B-spline adds f^2/3 at every phase of the output
// within a block (linear interpolation would add t(1 - t) f^2, a variance that changes from
// pixel to pixel and shows as a faint grid). The triangle matters as much: with a plain
// block average every input pixel of a block weighs the same for every output, the effective
// kernel is a staircase, and a one-pixel line misses by more than 1/255.
#include <cmath>
#include <stdexcept>
#include <variant>
#include <vector>

#include "imaging/kernels.h"
#include "imaging/parallel.h"
#include "imaging/simd.h"

namespace imaging {
namespace {

using namespace simd;

// A symmetric kernel by its right half: weights[0] at the centre, weights[i] at both +i and -i.
using HalfKernel = std::vector<float>;

std::int64_t radiusOf(const HalfKernel& k) { return static_cast<std::int64_t>(k.size()) - 1; }

HalfKernel normalised(const std::vector<double>& half) {
  double sum = half[0];
  for (std::size_t i = 1; i < half.size(); ++i) sum += 2 * half[i];
  HalfKernel k;
  for (double w : half) k.push_back(static_cast<float>(w / sum));
  return k;
}

double normalCdf(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }

// The Gaussian's mass over each pixel, cut at `radius` and renormalised.
HalfKernel pixelGaussian(double sigma, std::int64_t radius) {
  std::vector<double> half;
  for (std::int64_t i = 0; i <= radius; ++i)
    half.push_back(normalCdf((i + 0.5) / sigma) - normalCdf((i - 0.5) / sigma));
  return normalised(half);
}

// Point samples of a Gaussian, cut at `radius` and renormalised; its variance is sigma^2 to
// well under a thousandth for the sigmas the reduced grid uses (above 2).
HalfKernel sampledGaussian(double sigma, std::int64_t radius) {
  std::vector<double> half;
  for (std::int64_t i = 0; i <= radius; ++i) half.push_back(std::exp(-0.5 * i * i / (sigma * sigma)));
  return normalised(half);
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// dst = sum over taps r of k[|r|] * centre[r * step], for n floats from each position. One routine
// serves both directions: step is a row stride for a vertical pass and one pixel (4) for a
// horizontal one. Four independent accumulators keep the FMA units busy.
template <int Vectors>
void convolveChunk(float* dst, const float* centre, std::ptrdiff_t step, const HalfKernel& k) {
  f8 acc[Vectors];
  for (int v = 0; v < Vectors; ++v) acc[v] = load8(centre + 8 * v) * k[0];
  for (std::int64_t r = 1; r <= radiusOf(k); ++r) {
    const float* up = centre + r * step;
    const float* down = centre - r * step;
    for (int v = 0; v < Vectors; ++v) acc[v] += (load8(up + 8 * v) + load8(down + 8 * v)) * k[r];
  }
  for (int v = 0; v < Vectors; ++v) store8(dst + 8 * v, acc[v]);
}

void convolve(float* dst, const float* centre, std::ptrdiff_t step, const HalfKernel& k,
              std::ptrdiff_t n) {
  std::ptrdiff_t i = 0;
  for (; i + 32 <= n; i += 32) convolveChunk<4>(dst + i, centre + i, step, k);
  for (; i + 8 <= n; i += 8) convolveChunk<1>(dst + i, centre + i, step, k);
  for (; i < n; i += 4) {
    f4 acc = load4(centre + i) * k[0];
    for (std::int64_t r = 1; r <= radiusOf(k); ++r)
      acc += (load4(centre + i + r * step) + load4(centre + i - r * step)) * k[r];
    store4(dst + i, acc);
  }
}

// ---------------------------------------------------------------------------------------------

struct CopyBlur {
  std::int64_t reach() const { return 0; }
  void prepare(const Tile&, const PixelRect&) {}
  void compute(const Tile& input, const Tile& out) const { copyPixels(input, out); }
};

// ---------------------------------------------------------------------------------------------

class SeparableBlur {
 public:
  explicit SeparableBlur(double sigma)
      : kernel_(pixelGaussian(sigma, static_cast<std::int64_t>(std::ceil(3 * sigma)))) {}

  std::int64_t reach() const { return radiusOf(kernel_); }
  void prepare(const Tile&, const PixelRect&) {}

  void compute(const Tile& input, const Tile& out) const {
    const std::int64_t r = reach(), width = out.rect.width;
    std::vector<float> columns(4 * (width + 2 * r));
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      convolve(columns.data(), input.at(out.rect.x - r, y), input.stride, kernel_,
               static_cast<std::ptrdiff_t>(columns.size()));
      convolve(out.at(out.rect.x, y), columns.data() + 4 * r, 4, kernel_, 4 * width);
    }
  }

 private:
  HalfKernel kernel_;
};

// ---------------------------------------------------------------------------------------------

// Where an output pixel reads the reduced grid: cell m has its centre at (m + 1/2) f, and
// output x takes cells first .. first + 3 with cubic B-spline weights.
struct SplineTap {
  std::int64_t first;
  float weights[4];
};

SplineTap splineTap(std::int64_t x, std::int64_t f) {
  // The output centre in cell units is u = (x + 1/2) / f - 1/2 = (2x + 1 - f) / 2f.
  std::int64_t num = 2 * x + 1 - f;
  std::int64_t m = floorDiv(num, 2 * f);
  double t = double(num - m * 2 * f) / double(2 * f), s = 1 - t;
  return {m - 1,
          {float(s * s * s / 6), float((3 * t * t * t - 6 * t * t + 4) / 6),
           float((-3 * t * t * t + 3 * t * t + 3 * t + 1) / 6), float(t * t * t / 6)}};
}

// The triangle of half-width f around a cell's centre, over input pixels m f + offset.
struct Triangle {
  std::int64_t offset;
  std::vector<float> weights;

  explicit Triangle(std::int64_t f) {
    offset = -(f / 2);
    auto weightAt = [f](std::int64_t o) {
      double d = std::abs(o + 0.5 - 0.5 * double(f));
      return std::max(0.0, double(f) - d) / double(f * f);
    };
    for (std::int64_t o = offset; weightAt(o) > 0; ++o) weights.push_back(float(weightAt(o)));
  }
  std::int64_t end() const { return offset + static_cast<std::int64_t>(weights.size()); }
  double variance(std::int64_t f) const {
    double v = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
      double d = double(offset) + double(i) + 0.5 - 0.5 * double(f);
      v += weights[i] * d * d;
    }
    return v;
  }
};

// The reduced grid: cells [x0, x0 + width) x [y0, y0 + height), four floats each.
struct Grid {
  std::int64_t x0 = 0, y0 = 0, width = 0, height = 0;
  std::vector<float> cells;

  float* row(std::int64_t m) { return cells.data() + (m - y0) * 4 * width; }
  const float* row(std::int64_t m) const { return cells.data() + (m - y0) * 4 * width; }
  bool covers(std::int64_t xa, std::int64_t xb, std::int64_t ya, std::int64_t yb) const {
    return xa >= x0 && xb <= x0 + width && ya >= y0 && yb <= y0 + height;
  }
};

class ReducedBlur {
 public:
  ReducedBlur(double sigma, std::int64_t factor) : f_(factor), triangle_(factor) {
    double gridVariance = (sigma * sigma + 1.0 / 12 - triangle_.variance(f_) - f_ * f_ / 3.0) / double(f_ * f_);
    double gridSigma = std::sqrt(gridVariance);
    kernel_ = sampledGaussian(gridSigma, static_cast<std::int64_t>(std::ceil(3 * gridSigma)));
  }

  // The farthest input pixel any output reads, over the f phases an output can have.
  std::int64_t reach() const {
    std::int64_t reach = 0;
    for (std::int64_t x = 0; x < f_; ++x) {
      std::int64_t first = splineTap(x, f_).first - radiusOf(kernel_);
      std::int64_t last = splineTap(x, f_).first + 3 + radiusOf(kernel_);
      reach = std::max({reach, x - (first * f_ + triangle_.offset), last * f_ + triangle_.end() - 1 - x});
    }
    return reach;
  }

  void prepare(const Tile& input, const PixelRect& roi) {
    grid_ = Grid{};
    if (roi.isEmpty()) return;
    const std::int64_t r = radiusOf(kernel_);
    grid_.x0 = splineTap(roi.x, f_).first;
    grid_.width = splineTap(roi.maxX() - 1, f_).first + 4 - grid_.x0;
    grid_.y0 = splineTap(roi.y, f_).first - r;
    grid_.height = splineTap(roi.maxY() - 1, f_).first + 4 + r - grid_.y0;
    grid_.cells.assign(4 * grid_.width * grid_.height, 0.0f);

    forEachStrip({0, grid_.y0, 1, grid_.height}, 8, [&](const PixelRect& strip, int) {
      reduceRows(input, strip.y, strip.maxY());
    });
    // The vertical pass runs in place, one block of 16 columns at a time; the "strips" here
    // are column blocks.
    const std::int64_t blocks = (grid_.width + 15) / 16;
    forEachStrip({0, 0, 1, blocks}, 1, [&](const PixelRect& strip, int) {
      blurColumns(16 * strip.y, std::min<std::int64_t>(16, grid_.width - 16 * strip.y));
    });
    // Rows kept only to feed the vertical pass are dropped from the grid's view.
    grid_.y0 += r;
    grid_.height -= 2 * r;
    grid_.cells.erase(grid_.cells.begin(), grid_.cells.begin() + 4 * grid_.width * r);
    grid_.cells.resize(4 * grid_.width * grid_.height);
  }

  void compute(const Tile&, const Tile& out) const {
    if (out.rect.isEmpty()) return;
    const std::int64_t x0 = splineTap(out.rect.x, f_).first;
    const std::int64_t x1 = splineTap(out.rect.maxX() - 1, f_).first + 4;
    if (!grid_.covers(x0, x1, splineTap(out.rect.y, f_).first, splineTap(out.rect.maxY() - 1, f_).first + 4))
      throw std::logic_error("GaussianBlur::compute outside the region given to prepare()");

    std::vector<SplineTap> columns;
    for (std::int64_t x = out.rect.x; x < out.rect.maxX(); ++x) columns.push_back(splineTap(x, f_));
    std::vector<float> line(4 * (x1 - x0));
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      interpolateRows(splineTap(y, f_), x0, line);
      float* dst = out.at(out.rect.x, y);
      for (const SplineTap& c : columns) {
        const float* src = line.data() + 4 * (c.first - x0);
        f4 sum = load4(src) * c.weights[0] + load4(src + 4) * c.weights[1] +
                 load4(src + 8) * c.weights[2] + load4(src + 12) * c.weights[3];
        store4(dst, sum);
        dst += 4;
      }
    }
  }

 private:
  // Grid rows [m0, m1): the input shrunk by the triangle, then blurred horizontally.
  void reduceRows(const Tile& input, std::int64_t m0, std::int64_t m1) {
    const std::int64_t r = radiusOf(kernel_);
    const std::int64_t cells = grid_.width + 2 * r, cellX0 = grid_.x0 - r;
    const std::int64_t inX0 = cellX0 * f_ + triangle_.offset;
    const std::int64_t inFloats = 4 * ((cellX0 + cells - 1) * f_ + triangle_.end() - inX0);
    std::vector<float> inRow(inFloats), cellRow(4 * cells);
    for (std::int64_t m = m0; m < m1; ++m) {
      for (std::size_t i = 0; i < triangle_.weights.size(); ++i) {
        const float* src = input.at(inX0, m * f_ + triangle_.offset + std::int64_t(i));
        if (i == 0)
          scaleRow(inRow.data(), src, triangle_.weights[i], inFloats);
        else
          addScaledRow(inRow.data(), src, triangle_.weights[i], inFloats);
      }
      for (std::int64_t c = 0; c < cells; ++c) {
        const float* src = inRow.data() + 4 * c * f_;
        f4 sum = {0, 0, 0, 0};
        for (std::size_t i = 0; i < triangle_.weights.size(); ++i)
          sum += load4(src + 4 * i) * triangle_.weights[i];
        store4(cellRow.data() + 4 * c, sum);
      }
      convolve(grid_.row(m), cellRow.data() + 4 * r, 4, kernel_, 4 * grid_.width);
    }
  }

  // The vertical blur of grid columns [c0, c0 + count), in place through a copy of the block.
  void blurColumns(std::int64_t c0, std::int64_t count) {
    const std::int64_t r = radiusOf(kernel_), floats = 4 * count;
    std::vector<float> block(floats * grid_.height);
    for (std::int64_t m = 0; m < grid_.height; ++m)
      std::memcpy(block.data() + m * floats, grid_.row(grid_.y0 + m) + 4 * c0, floats * sizeof(float));
    for (std::int64_t m = r; m < grid_.height - r; ++m)
      convolve(grid_.row(grid_.y0 + m) + 4 * c0, block.data() + m * floats, floats, kernel_, floats);
  }

  // line = the B-spline mix of the four grid rows `rows` names, over cells [x0, x0 + line).
  void interpolateRows(const SplineTap& rows, std::int64_t x0, std::vector<float>& line) const {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(line.size());
    const std::int64_t skip = 4 * (x0 - grid_.x0);
    scaleRow(line.data(), grid_.row(rows.first) + skip, rows.weights[0], n);
    for (int i = 1; i < 4; ++i) addScaledRow(line.data(), grid_.row(rows.first + i) + skip, rows.weights[i], n);
  }

  std::int64_t f_;
  Triangle triangle_;
  HalfKernel kernel_;
  Grid grid_;
};

// ---------------------------------------------------------------------------------------------

// Below sigma 5 the grid would be reduced by less than 2; the direct convolution is cheap there
// anyway. Above, sigma / f stays at 2.5 or more, which keeps the grid's Gaussian wide enough
// (sigma above 2 cells) to be sampled faithfully.
using BlurMethod = std::variant<CopyBlur, SeparableBlur, ReducedBlur>;

BlurMethod methodFor(double sigma) {
  if (!(sigma > 0)) return CopyBlur{};
  auto factor = static_cast<std::int64_t>(sigma / 2.5);
  if (factor < 2) return SeparableBlur(sigma);
  return ReducedBlur(sigma, factor);
}

}  // namespace

struct GaussianBlur::State {
  BlurMethod method;
};

GaussianBlur::GaussianBlur(double sigma) : state_(std::make_unique<State>(State{methodFor(sigma)})) {}
GaussianBlur::~GaussianBlur() = default;
GaussianBlur::GaussianBlur(GaussianBlur&&) noexcept = default;
GaussianBlur& GaussianBlur::operator=(GaussianBlur&&) noexcept = default;

std::int64_t GaussianBlur::reach() const {
  return std::visit([](const auto& m) { return m.reach(); }, state_->method);
}

void GaussianBlur::prepare(const Tile& input, const PixelRect& roi) {
  std::visit([&](auto& m) { m.prepare(input, roi); }, state_->method);
}

void GaussianBlur::compute(const Tile& input, const Tile& out) const {
  std::visit([&](const auto& m) { m.compute(input, out); }, state_->method);
}

}  // namespace imaging
