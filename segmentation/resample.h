#pragma once
// Resampling between the picture's size and a network's: the picture shrunk (or enlarged)
// into the planar float tensor a network reads, and low-resolution planes brought back to the
// picture's size one row at a time, so nothing of picture size is kept but the result. The
// weights are the engine's (imaging::taps::resizeTaps); only the layouts differ: planes here,
// interleaved pixels there.
#include <memory>
#include <vector>

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

 private:
  int inHeight_, toWidth_;
  imaging::taps::AxisTaps y_;
  std::unique_ptr<float[]> wide_;  // plane, input row, output column; every value written
};

}  // namespace segmentation
