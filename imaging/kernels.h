#pragma once
// The engine's area kernels: Gaussian blur, disk erosion and axis-aligned resampling over
// premultiplied RGBA float tiles. They know nothing of image graphs: the caller hands them an
// input tile that covers what they read (inputRegion) and an output tile to fill. Each call
// works on one thread; the renderer runs calls for different strips in parallel.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "imaging/schedule.h"
#include "imaging/tile.h"

namespace imaging {

// Gaussian blur of a given sigma: out(x, y) = sum over (i, j) of in(x + i, y + j) g(i) g(j),
// g(i) the normalised Gaussian's mass over [i - 1/2, i + 1/2] (a pixel is an area, so a step
// edge comes out as the error function at pixel centres; point samples would miss that by 5%
// at sigma 0.5). Within 1/255 of an exact double-precision convolution on 8-bit output for
// sigma 0.5 to 50, and its cost per pixel does not grow with sigma for large sigmas. A render
// makes one GaussianBlur per blur node: prepare() once over the whole region of interest, then
// compute() per strip. From sigma 4 the blur works on a reduced copy of the input that the
// strips compute between them, each the parts it needs, so a render that wants the blur in a
// few places never computes the blur's input anywhere else.
class GaussianBlur {
 public:
  // Its cut-off kernel would not fit in memory beyond this sigma (a SpanBlur has none); the
  // constructor throws std::length_error for more.
  static constexpr double kWidestSigma = 1e6;

  // The kernel is cut off `cutOff` sigmas from its centre and renormalised. Three leave out
  // 0.27% of its weight, under 1/255 of any result. A result that will be divided by a small
  // one (a colour by an opacity, both blurred) needs more: far from what is blurred, the
  // weights beyond the cut are a large share of the little that is left. Four leave out
  // 0.006%, which keeps a colour divided by an opacity of 0.001 within a level or so.
  static constexpr double kCutOff = 3, kCutOffForRatios = 4;
  // The schedule says whether large sigmas go to the reduced grid, and whether opaque grey
  // input is blurred as grey values alone.
  explicit GaussianBlur(double sigma, double cutOff = kCutOff, const Schedule& schedule = {});
  ~GaussianBlur();
  GaussianBlur(GaussianBlur&&) noexcept;
  GaussianBlur& operator=(GaussianBlur&&) noexcept;

  // How far beyond an output rectangle the blur reads, across and down, in whole pixels (at
  // least ceil(cutOff sigma) each way).
  struct Reach {
    std::int64_t x, y;
  };
  Reach reach() const;
  PixelRect inputRegion(const PixelRect& out) const { return out.grownBy(reach().x, reach().y); }

  // Called once per render before any compute(): reserves what the render's outputs will
  // share. Reads no input and computes nothing.
  void prepare(const PixelRect& roi);
  // The input, read on demand: read(r, use) hands `use` a tile covering r, a part of
  // inputRegion(out.rect), valid for that call only.
  using Use = std::function<void(const Tile&)>;
  using InputReader = std::function<void(const PixelRect& r, const Use& use)>;

  // Fills `out` (any part of roi), reading only the parts of the input it needs: from sigma 4
  // that is where the reduced grid has not been computed yet, which may be nowhere.
  // Safe to call from several threads at once, in any order. Throws std::logic_error if `out`
  // reaches beyond the roi of the last prepare() and the blur needs what prepare() reserved
  // (sigma 4 and up).
  void compute(const InputReader& read, const Tile& out) const;
  // The same, with `input` any tile covering inputRegion(out.rect).
  void compute(const Tile& input, const Tile& out) const;

  // Whether compute() reads only the parts of the input region it lacks (sigma 4 and up,
  // with reduced grids), rather than all of it at once; readsInParts(sigma) says whether it
  // does under the default schedule.
  bool readsInParts() const;
  static bool readsInParts(double sigma);

  // The farthest reach() of a blur of this sigma under any schedule: the input region a node
  // states must do for all of them.
  static Reach farthestReach(double sigma, double cutOff);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A Gaussian blur along one axis of an image whose pixels lie within [lo, hi) on that axis:
// each output is the full sum, with no cut-off, of in(j) times the Gaussian's mass over pixel
// j, for j in [lo, hi). With `clamped` the edge pixels also stand for their endless repeats
// (an image clamped to its extent) and take the Gaussian's mass beyond the edges as well. The
// work per output pixel is hi - lo whatever sigma is: the way to blur with a sigma that reaches
// across the whole image, up to an infinite one (where only the repeats count, half each).
class SpanBlur {
 public:
  SpanBlur(double sigma, std::int64_t lo, std::int64_t hi, bool clamped);

  // Outputs at positions [outLo, outHi) along the axis, before any blur.
  void prepare(std::int64_t outLo, std::int64_t outHi);
  // Along x: `in` covers [lo, hi) across, out's rows down.
  void across(const Tile& in, const Tile& out) const;
  // Along y: `in` covers out's columns across, [lo, hi) down.
  void down(const Tile& in, const Tile& out) const;

 private:
  // The weights of the outputs' taps: output x weighs input j by mass_[j - x - tLo_], plus, at
  // j = lo and j = hi - 1, below_ and above_ of x - outLo_ (clamped only).
  const float* massFor(std::int64_t x) const { return mass_.data() + (lo_ - x - tLo_); }

  double sigma_;
  std::int64_t lo_, hi_;
  bool clamped_;
  std::int64_t outLo_ = 0, tLo_ = 0;
  std::vector<float> mass_, below_, above_;
  bool inside_ = true;  // whether any input pixel weighs anything as itself, not as an edge
};

// Minimum over a disk: out(x, y) = component-wise minimum of in(x + i, y + j) over all whole
// offsets with i*i + j*j <= radius*radius (fractional radii allowed; radius < 1 copies).
// morphologyReach() is the largest such i.
std::int64_t morphologyReach(double radius);
PixelRect morphologyInputRegion(const PixelRect& out, double radius);
// The schedule says whether flat neighbourhoods are filled without the minimum, in columns how
// wide, and whether opaque grey input is eroded as grey values alone.
void morphologyMinimum(const Tile& in, const Tile& out, double radius, const Schedule& schedule = {});

// One axis of an axis-aligned affine map from input to output coordinates:
// output = scale * input + offset (scale may be negative: a mirror). Output pixel centres are
// mapped back to the input; enlarging (|scale| >= 1) samples bilinearly, shrinking averages the
// input area the output pixel covers (antialiased). Sampling never reaches outside `source`,
// the input's own pixels: a stretched picture keeps solid edges instead of fading into the
// transparency around it. The caller keeps output outside the mapped extent transparent.
struct AxisMap {
  double scale = 1;  // nonzero
  double offset = 0;
};
// The input pixels (within source) that resample() reads for `out`.
PixelRect resampleInputRegion(const PixelRect& out, const AxisMap& x, const AxisMap& y,
                              const PixelRect& source);
// `in` covers resampleInputRegion(out.rect, x, y, source).
void resample(const Tile& in, const Tile& out, const AxisMap& x, const AxisMap& y,
              const PixelRect& source);

}  // namespace imaging
