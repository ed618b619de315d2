#pragma once
// Resampling between the picture's size and a network's: the picture shrunk (or enlarged)
// into the planar float tensor a network reads, and low-resolution planes brought back to the
// picture's size one row at a time, so nothing of picture size is kept but the result. The
// weights are the engine's (imaging::taps::resizeTaps); only the layouts differ: planes here,
// interleaved pixels there.
#include <memory>
#include <vector>

#include "imaging/pixel.h"
#include "imaging/taps.h"
#include "segmentation/segmentation.h"

namespace segmentation {

// The picture's R, G and B at width x height as three planes (R, then G, then B) of
// value/255 * scale + offset. Uses the strip thread pool.
std::vector<float> picturePlanes(const Picture& picture, int width, int height, float scale = 1,
                                 float offset = 0);

// Planes (`count` of them, each width x height floats, one after another) resampled to another
// size. Every input row is resampled across once, when this is made (on the strip pool); each
// output row is then a weighted sum of those wide rows, so the vertical work runs at the
// output's width and nothing of output size is kept.
class PlaneResampler {
 public:
  PlaneResampler(const float* planes, int count, int width, int height, int toWidth, int toHeight);
  int width() const { return toWidth_; }
  int height() const { return static_cast<int>(y_.size()); }
  // Writes output row y of plane c into out (width() floats).
  void row(int c, int y, float* out) const;

  // Output row y of every plane, read eight columns at a time, so that a caller can use the
  // values while they are in registers instead of storing a row and reading it back.
  class Row {
   public:
    // Plane c at columns x .. x + 7, any x < width(); lanes past the row's end hold garbage.
    // (Always a vector: a loop over the taps for one float would be vectorised by the
    // compiler as a sum of rounded products, not the fused ones of each lane here.)
    imaging::f8 at(int c, int x) const {
      const float* in = first_ + std::size_t(c) * planeSize_ + x;
      imaging::f8 sum = imaging::loadV<imaging::f8>(in) * weights_[0];
      for (std::size_t k = 1; k < count_; ++k) sum += imaging::loadV<imaging::f8>(in + k * stride_) * weights_[k];
      return sum;
    }

   private:
    friend class PlaneResampler;
    const float* first_;  // plane 0's first wide row
    const float* weights_;
    std::size_t count_, stride_, planeSize_;
  };
  Row rowOfAll(int y) const;

 private:
  int inHeight_, toWidth_;
  imaging::taps::AxisTaps y_;
  // Plane, input row, output column; every value written, then 8 floats of padding so that a
  // row's last vector can be read whole.
  std::unique_ptr<float[]> wide_;
};

}  // namespace segmentation
