#pragma once
// Resampling between the picture's size and a network's: the picture shrunk (or enlarged)
// into the planar float tensor a network reads, and low-resolution planes brought back to the
// picture's size one row at a time, so nothing of picture size is kept but the result.
#include <memory>
#include <vector>

#include "segmentation/segmentation.h"

namespace segmentation {

// The weights one output pixel gives to a run of input pixels along one axis. Shrinking
// averages the input area the output pixel covers; enlarging interpolates linearly between
// pixel centres. Input beyond the edges repeats the edge pixel.
class AxisTaps {
 public:
  AxisTaps(int from, int to);
  int size() const { return static_cast<int>(first_.size()); }
  int first(int i) const { return first_[i]; }
  int count(int i) const { return count_[i]; }
  const float* weights(int i) const { return &weights_[std::size_t(i) * stride_]; }
  // Enlarging from more than one pixel: every output pixel blends exactly two input pixels.
  bool isLinear() const { return linear_; }

 private:
  int stride_ = 0;
  bool linear_ = false;
  std::vector<int> first_, count_;
  std::vector<float> weights_;
};

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
  int height() const { return y_.size(); }
  // Writes output row y of plane c into out (width() floats).
  void row(int c, int y, float* out) const;

 private:
  int inHeight_, toWidth_;
  AxisTaps y_;
  std::unique_ptr<float[]> wide_;  // plane, input row, output column; every value written
};

}  // namespace segmentation
