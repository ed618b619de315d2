// Gaussian blur, in one of three ways picked from sigma:
//  - no blur at all (sigma <= 0): a copy;
//  - small sigma: exact separable convolution, vertical pass first, straight from the input,
//    so a thin strip repeats no horizontal work for its margin rows;
//  - larger sigma: the work moves to a grid reduced by an integer factor f: the input shrunk with
//    a triangle filter, blurred on the grid, and interpolated back up, which costs the same for
//    every sigma. The grid is computed lazily, cell by cell, as outputs need it (see LazyGrid),
//    so a render that only wants the blur along an edge only pays for the grid along the edge.
//
// Pixels are areas, so the reference blur is a Gaussian convolved with the pixel's box: tap i
// weighs the Gaussian's mass over [i - 1/2, i + 1/2], and a step edge comes out as the error
// function sampled at pixel centres.
//
// Why the reduced path is exact enough (within 1/255 from sigma 4 to 50): each stage adds a
// known variance, the same for every output pixel, and the grid's Gaussian gets what is left of
// sigma^2 + 1/12 after the triangle's and the interpolation's share (see Upsampling). The
// triangle matters as much: with a plain block average every input pixel of a block weighs the
// same for every output, the effective kernel is a staircase, and a one-pixel line misses by
// more than 1/255.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

#include "imaging/kernels.h"
#include "imaging/once.h"
#include "imaging/simd.h"
#include "imaging/taps.h"

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

// dst = sum over taps r of k[|r|] * centre[r * step], for the N vectors of floats from each
// position. One routine serves both directions: step is a row stride for a vertical pass and one
// pixel (4) for a horizontal one. Independent accumulators keep the FMA units busy.
template <class V, int N>
void convolveChunk(float* dst, const float* centre, std::ptrdiff_t step, const HalfKernel& k) {
  constexpr std::ptrdiff_t L = kLanes<V>;
  V acc[N];
  for (int v = 0; v < N; ++v) acc[v] = loadV<V>(centre + L * v) * k[0];
  for (std::int64_t r = 1; r <= radiusOf(k); ++r) {
    const float* up = centre + r * step;
    const float* down = centre - r * step;
    for (int v = 0; v < N; ++v) acc[v] += (loadV<V>(up + L * v) + loadV<V>(down + L * v)) * k[r];
  }
  for (int v = 0; v < N; ++v) storeV(dst + L * v, acc[v]);
}

void convolve(float* dst, const float* centre, std::ptrdiff_t step, const HalfKernel& k, std::ptrdiff_t n) {
  std::ptrdiff_t i = 0;
  for (; i + 32 <= n; i += 32) convolveChunk<f8, 4>(dst + i, centre + i, step, k);
  for (; i + 8 <= n; i += 8) convolveChunk<f8, 1>(dst + i, centre + i, step, k);
  if (i < n) convolveChunk<f4, 1>(dst + i, centre + i, step, k);
}

// ---------------------------------------------------------------------------------------------

struct CopyBlur {
  GaussianBlur::Reach reach() const { return {0, 0}; }
  void prepare(const PixelRect&) {}
  void compute(const GaussianBlur::InputReader& read, const Tile& out) const {
    read(out.rect, [&](const Tile& input) { copyPixels(input, out); });
  }
};

// ---------------------------------------------------------------------------------------------

class SeparableBlur {
 public:
  SeparableBlur(double sigma, double cutOff, bool greyPlanes)
      : kernel_(pixelGaussian(sigma, radiusFor(sigma, cutOff))), greyPlanes_(greyPlanes) {}

  static std::int64_t radiusFor(double sigma, double cutOff) {
    return static_cast<std::int64_t>(std::ceil(cutOff * sigma));
  }

  GaussianBlur::Reach reach() const { return {radiusOf(kernel_), radiusOf(kernel_)}; }
  void prepare(const PixelRect&) {}

  void compute(const GaussianBlur::InputReader& read, const Tile& out) const {
    const std::int64_t r = radiusOf(kernel_);
    read(out.rect.grownBy(r, r), [&](const Tile& input) { blur(input, out); });
  }

 private:
  void blur(const Tile& input, const Tile& out) const {
    const std::int64_t r = radiusOf(kernel_), width = out.rect.width;
    if (input.channels == 1 || (greyPlanes_ && isOpaqueGrey(input, out.rect.grownBy(r, r)))) return blurGrey(input, out);
    thread_local std::vector<float> columnMemory;
    const auto n = static_cast<std::size_t>(4 * (width + 2 * r));
    float* columns = scratch(columnMemory, n);
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      convolve(columns, input.at(out.rect.x - r, y), input.stride, kernel_, static_cast<std::ptrdiff_t>(n));
      convolve(out.at(out.rect.x, y), columns + 4 * r, 4, kernel_, 4 * width);
    }
  }

  void blurGrey(const Tile& input, const Tile& out) const {
    const std::int64_t r = radiusOf(kernel_), width = out.rect.width;
    const PixelRect region = out.rect.grownBy(r, r);
    // convolve() works in whole groups of four floats: each buffer has room for three more.
    auto groups = [](std::int64_t n) { return (n + 3) / 4 * 4; };
    thread_local std::vector<float> planeMemory, columnMemory, rowMemory;
    float* plane = scratch(planeMemory, static_cast<std::size_t>(region.area()), 4);
    float* columns = scratch(columnMemory, static_cast<std::size_t>(region.width), 4);
    float* row = scratch(rowMemory, static_cast<std::size_t>(width), 4);
    greyPlane(input, region, plane);
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      convolve(columns, plane + (y - region.y) * region.width, region.width, kernel_, groups(region.width));
      convolve(row, columns + r, 1, kernel_, groups(width));
      greyPixels(row, out, y);
    }
  }

  HalfKernel kernel_;
  bool greyPlanes_;
};

// ---------------------------------------------------------------------------------------------

// The way back up from the grid, where cell m has its centre at (m + 1/2) f. Both ways add a
// variance that is the same for every output pixel, whatever its phase within a cell, so one
// corrected sigma fits all: the cubic B-spline adds f^2/3 at any f. Linear interpolation adds
// t(1 - t) f^2 at phase t, which varies across a cell and would show as a faint grid, except at
// f = 2, where every output sits a quarter cell from a centre; there its half-as-many taps win.
struct Upsampling {
  std::int64_t f;

  bool linear() const { return f == 2; }
  double variance() const { return linear() ? 3.0 / 16 * double(f * f) : double(f * f) / 3.0; }

  // The first grid cell output x reads, and how many it reads.
  std::int64_t firstTap(std::int64_t x) const { return floorDiv(2 * x + 1 - f, 2 * f) - (linear() ? 0 : 1); }
  std::int64_t tapCount() const { return linear() ? 2 : 4; }
  // The grid cells that outputs lo .. lo + count - 1 read, [first, end): the taps move right
  // with the output.
  std::pair<std::int64_t, std::int64_t> cellsUnder(std::int64_t lo, std::int64_t count) const {
    return {firstTap(lo), firstTap(lo + count - 1) + tapCount()};
  }

  // Taps into the grid for outputs lo .. lo + count - 1 (along either axis).
  taps::AxisTaps taps(std::int64_t lo, std::int64_t count) const {
    taps::AxisTaps taps;
    fill(taps, lo, count);
    return taps;
  }
  // The same into `taps`, whose memory is reused.
  void fill(taps::AxisTaps& taps, std::int64_t lo, std::int64_t count) const {
    taps.clear();
    taps.reserve(count, tapCount());
    for (std::int64_t x = lo; x < lo + count; ++x) {
      // The output centre in cell units is u = (x + 1/2) / f - 1/2 = (2x + 1 - f) / 2f.
      std::int64_t num = 2 * x + 1 - f;
      std::int64_t m = floorDiv(num, 2 * f);
      double t = double(num - m * 2 * f) / double(2 * f), s = 1 - t;
      if (linear())
        taps.add(m, {s, t});
      else
        taps.add(m - 1, {s * s * s / 6, (3 * t * t * t - 6 * t * t + 4) / 6,
                         (-3 * t * t * t + 3 * t * t + 3 * t + 1) / 6, t * t * t / 6});
    }
  }
};

// The triangle of half-width f around a cell's centre: cell m weighs input pixels
// m f + offset + i by weights[i].
struct Triangle {
  std::int64_t f, offset;
  std::vector<float> weights;

  explicit Triangle(std::int64_t factor) : f(factor), offset(-(factor / 2)) {
    for (std::int64_t o = offset; weightAt(o) > 0; ++o) weights.push_back(float(weightAt(o)));
  }
  std::int64_t end() const { return offset + static_cast<std::int64_t>(weights.size()); }
  double variance() const {
    double v = 0;
    for (std::int64_t o = offset; o < end(); ++o) v += weightAt(o) * distance(o) * distance(o);
    return v;
  }
  // Shrinks a row across: `in` starts at the first cell's first input pixel.
  void shrinkRow(const float* in, std::int64_t cells, float* out) const {
    for (std::int64_t c = 0; c < cells; ++c) {
      const float* src = in + 4 * c * f;
      f4 sum = load4(src) * weights[0];
      for (std::size_t i = 1; i < weights.size(); ++i) sum += load4(src + 4 * i) * weights[i];
      store4(out + 4 * c, sum);
    }
  }

 private:
  // From the cell's centre to the centre of input pixel m f + o.
  double distance(std::int64_t o) const { return double(o) + 0.5 - 0.5 * double(f); }
  double weightAt(std::int64_t o) const {
    return std::max(0.0, double(f) - std::abs(distance(o))) / double(f * f);
  }
};

// A grid whose pixels are computed on first use, in cells one grid row tall. prepare() reserves
// memory for the whole of it, which costs next to nothing until pages are touched; each cell
// has a state (once.h), so a cell is computed once however many threads need it, and a thread
// that finds a cell in another's hands waits for it, or fails with it. The waits cannot go
// round in a circle as long as filling a cell only ever waits on a grid filled before it.
//
// Rows, because a cell computed for one output is wasted wherever it reaches past what that
// output needs, and so is the input under it: along y the renderer cuts finely (tiles 32 rows
// tall), along x coarsely.
class LazyGrid {
 public:
  void reserve(const PixelRect& rect, std::int64_t cellWidth) {
    cellWidth_ = cellWidth;
    columns_ = (rect.width + cellWidth - 1) / cellWidth;
    pixels_ = std::make_unique_for_overwrite<float[]>(4 * rect.area());
    tile_ = {pixels_.get(), 4 * rect.width, rect};
    states_.reset(new std::atomic<std::uint8_t>[static_cast<std::size_t>(columns_ * rect.height)]());
    failure_ = std::make_unique<Failure>();
  }

  const Tile& tile() const { return tile_; }

  // Makes sure every cell that r (inside the grid) touches is done: fill(cell) writes the cell's
  // pixels into tile(). Throws what filling any of them threw.
  template <class Fill>
  void ensure(const PixelRect& r, const Fill& fill) const {
    const PixelRect& g = tile_.rect;
    const std::int64_t c0 = (r.x - g.x) / cellWidth_, c1 = (r.maxX() - 1 - g.x) / cellWidth_;
    for (std::int64_t y = r.y; y < r.maxY(); ++y)
      for (std::int64_t column = c0; column <= c1; ++column)
        computeOnce(states_[static_cast<std::size_t>((y - g.y) * columns_ + column)], *failure_, [&] {
          fill(PixelRect{g.x + column * cellWidth_, y, cellWidth_, 1}.intersected(g));
          return kDone;
        });
  }

 private:
  std::int64_t cellWidth_ = 1, columns_ = 0;
  std::unique_ptr<float[]> pixels_;
  Tile tile_;
  std::unique_ptr<std::atomic<std::uint8_t>[]> states_;
  std::unique_ptr<Failure> failure_;
};

// The grid has two lazy layers: the input shrunk by the triangle, and that blurred down. An
// output blurs across what it needs of the second layer and interpolates that up; each cell of
// the second layer it finds missing needs the cells of the first above and below it, which are
// shrunk from the same input tile. Both layers have the same columns of cells, so the first
// reaches no further across than the second.
class ReducedBlur {
 public:
  ReducedBlur(double sigma, std::int64_t factor, double cutOff)
      : f_(factor), triangle_(factor), up_{factor}, cellWidth_((Schedule::kBlurGridCell + factor - 1) / factor) {
    double gridVariance = (sigma * sigma + 1.0 / 12 - triangle_.variance() - up_.variance()) / double(f_ * f_);
    double gridSigma = std::sqrt(gridVariance);
    kernel_ = sampledGaussian(gridSigma, static_cast<std::int64_t>(std::ceil(cutOff * gridSigma)));
  }

  // The farthest input pixel any output reads, over the f phases an output can have and
  // wherever the cells fall: either blur reaches r grid pixels past the upsampling's taps, and
  // across, the cells holding those up to a cell less one further. Cells are one row tall, so
  // down there is nothing further.
  GaussianBlur::Reach reach() const {
    const std::int64_t r = radiusOf(kernel_);
    return {reachWithMargin(r + cellWidth_ - 1), reachWithMargin(r)};
  }

  void prepare(const PixelRect& roi) {
    const std::int64_t r = radiusOf(kernel_);
    grid_ = roi.isEmpty() ? PixelRect{} : gridUnder(roi);
    down_.reserve(grid_.grownBy(r, 0), cellWidth_);
    shrunk_.reserve(grid_.grownBy(r, r), cellWidth_);
  }

  void compute(const GaussianBlur::InputReader& read, const Tile& out) const {
    const PixelRect need = gridUnder(out.rect);
    if (!grid_.contains(need)) throw std::logic_error("GaussianBlur::compute outside the region given to prepare()");
    const Tile grid = blurred(read, need);
    // Tables for every tile: this thread's are kept, and filled only once the input has been
    // read, which may run another blur on this thread.
    thread_local taps::AxisTaps xs, ys;
    up_.fill(xs, out.rect.x, out.rect.width);
    up_.fill(ys, out.rect.y, out.rect.height);
    taps::resampleByTaps(grid, out, xs, ys);
  }

 private:
  // The farthest input pixel an output reads when the grid it reads reaches `margin` cells past
  // its upsampling taps.
  std::int64_t reachWithMargin(std::int64_t margin) const {
    const taps::AxisTaps phases = up_.taps(0, f_);
    std::int64_t reach = 0;
    for (std::int64_t x = 0; x < f_; ++x) {
      std::int64_t firstCell = phases.first[x] - margin;
      std::int64_t lastCell = phases.first[x] + std::int64_t(phases.count(x)) - 1 + margin;
      reach = std::max({reach, x - (firstCell * f_ + triangle_.offset), lastCell * f_ + triangle_.end() - 1 - x});
    }
    return reach;
  }

  // The grid pixels the upsampling reads for `roi`.
  PixelRect gridUnder(const PixelRect& roi) const {
    const auto [x0, x1] = up_.cellsUnder(roi.x, roi.width);
    const auto [y0, y1] = up_.cellsUnder(roi.y, roi.height);
    return {x0, y0, x1 - x0, y1 - y0};
  }

  // The grid over `need` blurred down, then across into this thread's scratch memory: the
  // outputs of neighbouring calls overlap in a few grid columns only, too few to keep.
  Tile blurred(const GaussianBlur::InputReader& read, const PixelRect& need) const {
    const std::int64_t r = radiusOf(kernel_);
    down_.ensure(need.grownBy(r, 0), [&](const PixelRect& cell) { blurDown(read, cell); });
    thread_local std::vector<float> pixels;
    pixels.resize(std::max<std::size_t>(pixels.size(), 4 * need.area()));
    const Tile across{pixels.data(), 4 * need.width, need};
    for (std::int64_t m = need.y; m < need.maxY(); ++m)
      convolve(across.at(need.x, m), down_.tile().at(need.x, m), 4, kernel_, 4 * need.width);
    return across;
  }

  void blurDown(const GaussianBlur::InputReader& read, const PixelRect& cell) const {
    const std::int64_t r = radiusOf(kernel_);
    shrunk_.ensure(cell.grownBy(0, r), [&](const PixelRect& row) { shrinkRow(read, row); });
    const Tile& shrunk = shrunk_.tile();
    convolve(down_.tile().at(cell.x, cell.y), shrunk.at(cell.x, cell.y), shrunk.stride, kernel_, 4 * cell.width);
  }

  // The triangle down, over the input under the row's cells, then across: the only place the
  // input is read.
  void shrinkRow(const GaussianBlur::InputReader& read, const PixelRect& row) const {
    const std::int64_t taps = std::int64_t(triangle_.weights.size()), width = (row.width - 1) * f_ + taps;
    const PixelRect under{row.x * f_ + triangle_.offset, row.y * f_ + triangle_.offset, width, taps};
    read(under, [&](const Tile& input) {
      thread_local std::vector<float> down;
      thread_local std::vector<const float*> rows;
      down.resize(std::max<std::size_t>(down.size(), 4 * width));
      rows.resize(taps);
      for (std::int64_t i = 0; i < taps; ++i) rows[i] = input.at(under.x, under.y + i);
      blendRows(down.data(), rows.data(), triangle_.weights.data(), rows.size(), 4 * width);
      triangle_.shrinkRow(down.data(), row.width, shrunk_.tile().at(row.x, row.y));
    });
  }

  std::int64_t f_;
  Triangle triangle_;
  Upsampling up_;
  std::int64_t cellWidth_;
  HalfKernel kernel_;
  PixelRect grid_;
  LazyGrid shrunk_, down_;
};

// ---------------------------------------------------------------------------------------------

// The reduced path costs about the same at every sigma, and the direct one grows with sigma;
// they cross near sigma 4. From there f = 3 sigma / 5 (at least 2) keeps sigma / f at 1.66 or
// more, so the grid's own Gaussian spans about 1.5 cells or more and is sampled faithfully:
// the worst error on the accuracy tests is 0.32/255, against 0.22/255 at sigma / f >= 2.5,
// where the grid has twice the pixels (the decontamination's sigma 5 on a grid of half the
// picture's size rather than a third).
using BlurMethod = std::variant<CopyBlur, SeparableBlur, ReducedBlur>;

constexpr double kReducedFrom = 4;

ReducedBlur reducedBlur(double sigma, double cutOff) {
  return ReducedBlur(sigma, std::max<std::int64_t>(2, static_cast<std::int64_t>(sigma * 3 / 5)), cutOff);
}

BlurMethod methodFor(double sigma, double cutOff, const Schedule& schedule) {
  if (!(sigma > 0)) return CopyBlur{};
  if (!(sigma <= GaussianBlur::kWidestSigma)) throw std::length_error("a Gaussian blur too wide to cut off");
  if (sigma < kReducedFrom || !schedule.reducedGridBlurs) return SeparableBlur(sigma, cutOff, schedule.opaqueSources);
  return reducedBlur(sigma, cutOff);
}

// ---------------------------------------------------------------------------------------------

// The Gaussian's mass over [t - 1/2, t + 1/2], each from its own side's tail, so that the
// small masses far out keep their precision; 0 everywhere when sigma is infinite.
double pixelMass(std::int64_t t, double sigma) {
  const double s = sigma * std::sqrt(2.0), a = std::fabs(double(t));
  if (t == 0) return std::erf(0.5 / s);
  return 0.5 * (std::erfc((a - 0.5) / s) - std::erfc((a + 0.5) / s));
}

// The Gaussian's mass beyond z (from z on, in pixels): a half when sigma is infinite.
double massBeyond(double z, double sigma) { return 0.5 * std::erfc(z / (sigma * std::sqrt(2.0))); }

float sum(f8 v) { return (v[0] + v[4]) + (v[1] + v[5]) + (v[2] + v[6]) + (v[3] + v[7]); }

// dst[r] = sum over t < count of weights[r][t] * rows[t], over n floats (a multiple of 4), for
// R output rows at once, so each input row is loaded once for all of them.
template <int R>
void blendRowsInto(float* const* dst, const float* const* weights, const float* const* rows, std::size_t count,
                   std::ptrdiff_t n) {
  std::ptrdiff_t i = 0;
  for (; i + 16 <= n; i += 16) {
    f8 acc[R][2] = {};
    for (std::size_t t = 0; t < count; ++t) {
      const f8 a = loadV<f8>(rows[t] + i), b = loadV<f8>(rows[t] + i + 8);
      for (int r = 0; r < R; ++r) acc[r][0] += a * weights[r][t], acc[r][1] += b * weights[r][t];
    }
    for (int r = 0; r < R; ++r) storeV(dst[r] + i, acc[r][0]), storeV(dst[r] + i + 8, acc[r][1]);
  }
  for (; i < n; i += 4) {
    f4 acc[R] = {};
    for (std::size_t t = 0; t < count; ++t)
      for (int r = 0; r < R; ++r) acc[r] += load4(rows[t] + i) * weights[r][t];
    for (int r = 0; r < R; ++r) store4(dst[r] + i, acc[r]);
  }
}

}  // namespace

SpanBlur::SpanBlur(double sigma, std::int64_t lo, std::int64_t hi, bool clamped)
    : sigma_(sigma), lo_(lo), hi_(hi), clamped_(clamped) {}

void SpanBlur::prepare(std::int64_t outLo, std::int64_t outHi) {
  outLo_ = outLo;
  tLo_ = lo_ - (outHi - 1);
  const std::int64_t tHi = hi_ - 1 - outLo;
  // Room for a whole vector past the last weight an output reads (read, and multiplied by 0).
  mass_.assign(static_cast<std::size_t>(tHi - tLo_ + 1 + 8), 0.0f);
  for (std::int64_t t = tLo_; t <= tHi; ++t) mass_[static_cast<std::size_t>(t - tLo_)] = float(pixelMass(t, sigma_));
  inside_ = std::any_of(mass_.begin(), mass_.end(), [](float m) { return m != 0; });
  below_.clear(), above_.clear();
  if (!clamped_) return;
  for (std::int64_t x = outLo; x < outHi; ++x) {
    below_.push_back(float(massBeyond(double(x - lo_) + 0.5, sigma_)));
    above_.push_back(float(massBeyond(double(hi_ - x) - 0.5, sigma_)));
  }
}

// Each input row is taken apart into planes of its four components, so that an output's sum
// over the row is four dot products along contiguous memory.
void SpanBlur::across(const Tile& in, const Tile& out) const {
  const std::int64_t n = hi_ - lo_, padded = (n + 7) / 8 * 8;
  thread_local std::vector<float> planes;
  planes.assign(static_cast<std::size_t>(4 * padded), 0.0f);
  for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
    const float* row = in.at(lo_, y);
    for (std::int64_t j = 0; j < n; ++j)
      for (int c = 0; c < 4; ++c) planes[c * padded + j] = row[4 * j + c];
    const f4 first = load4(row), last = load4(row + 4 * (n - 1));
    for (std::int64_t x = out.rect.x; x < out.rect.maxX(); ++x) {
      const float* w = massFor(x);
      f8 acc[4] = {};
      for (std::int64_t j = 0; j < padded && inside_; j += 8) {
        const f8 weight = loadV<f8>(w + j);
        for (int c = 0; c < 4; ++c) acc[c] += loadV<f8>(planes.data() + c * padded + j) * weight;
      }
      f4 total{sum(acc[0]), sum(acc[1]), sum(acc[2]), sum(acc[3])};
      if (clamped_) total += first * below_[x - outLo_] + last * above_[x - outLo_];
      store4(out.at(x, y), total);
    }
  }
}

// Four output rows at a time, each a weighted sum of every input row.
void SpanBlur::down(const Tile& in, const Tile& out) const {
  const std::int64_t n = hi_ - lo_;
  thread_local std::vector<float> weights;
  thread_local std::vector<const float*> rows;
  weights.resize(static_cast<std::size_t>(4 * std::max<std::int64_t>(n, 2)));
  rows.resize(static_cast<std::size_t>(n));
  for (std::int64_t k = 0; k < n; ++k) rows[k] = in.at(out.rect.x, lo_ + k);
  // With no mass inside (an infinite sigma) only the edges count.
  if (!inside_) rows = {rows.front(), rows.back()};
  const std::size_t taps = rows.size();
  for (std::int64_t y = out.rect.y; y < out.rect.maxY(); y += 4) {
    const int count = static_cast<int>(std::min<std::int64_t>(4, out.rect.maxY() - y));
    float* dst[4];
    const float* w[4];
    for (int r = 0; r < count; ++r) {
      float* own = weights.data() + r * taps;
      std::copy_n(inside_ ? massFor(y + r) : mass_.data(), taps, own);
      if (clamped_) own[0] += below_[y + r - outLo_], own[taps - 1] += above_[y + r - outLo_];
      dst[r] = out.at(out.rect.x, y + r), w[r] = own;
    }
    const std::ptrdiff_t floats = 4 * out.rect.width;
    switch (count) {
      case 4: blendRowsInto<4>(dst, w, rows.data(), taps, floats); break;
      case 3: blendRowsInto<3>(dst, w, rows.data(), taps, floats); break;
      case 2: blendRowsInto<2>(dst, w, rows.data(), taps, floats); break;
      default: blendRowsInto<1>(dst, w, rows.data(), taps, floats);
    }
  }
}

struct GaussianBlur::State {
  BlurMethod method;
};

GaussianBlur::GaussianBlur(double sigma, double cutOff, const Schedule& schedule)
    : state_(std::make_unique<State>(State{methodFor(sigma, cutOff, schedule)})) {}
GaussianBlur::~GaussianBlur() = default;
GaussianBlur::GaussianBlur(GaussianBlur&&) noexcept = default;
GaussianBlur& GaussianBlur::operator=(GaussianBlur&&) noexcept = default;

GaussianBlur::Reach GaussianBlur::reach() const {
  return std::visit([](const auto& m) { return m.reach(); }, state_->method);
}

void GaussianBlur::prepare(const PixelRect& roi) {
  std::visit([&](auto& m) { m.prepare(roi); }, state_->method);
}

void GaussianBlur::compute(const InputReader& read, const Tile& out) const {
  if (out.rect.isEmpty()) return;
  std::visit([&](const auto& m) { m.compute(read, out); }, state_->method);
}

bool GaussianBlur::readsInParts() const { return std::holds_alternative<ReducedBlur>(state_->method); }

GaussianBlur::Reach GaussianBlur::farthestReach(double sigma, double cutOff) {
  if (!(sigma > 0)) return {0, 0};
  if (!(sigma <= kWidestSigma)) throw std::length_error("a Gaussian blur too wide to cut off");
  const std::int64_t exact = SeparableBlur::radiusFor(sigma, cutOff);
  if (sigma < kReducedFrom) return {exact, exact};
  const Reach reduced = reducedBlur(sigma, cutOff).reach();
  return {std::max(exact, reduced.x), std::max(exact, reduced.y)};
}

bool GaussianBlur::readsInParts(double sigma) { return sigma >= kReducedFrom && sigma <= kWidestSigma; }

void GaussianBlur::compute(const Tile& input, const Tile& out) const {
  compute([&](const PixelRect&, const Use& use) { use(input); }, out);
}

}  // namespace imaging
