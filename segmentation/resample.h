#pragma once
// Resampling between the picture's size and a network's: the picture shrunk (or enlarged)
// into the planar float tensor a network reads, and a low-resolution plane brought back to
// the picture's size one row at a time, so nothing of picture size is kept but the result.
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

 private:
  int stride_ = 0;
  std::vector<int> first_, count_;
  std::vector<float> weights_;
};

// The picture's R, G and B at width x height as three planes (R, then G, then B) of
// value/255 * scale + offset. Uses the strip thread pool.
std::vector<float> picturePlanes(const Picture& picture, int width, int height, float scale = 1,
                                 float offset = 0);

// An image of width x height pixels of `channels` interleaved floats resampled to another
// size, one output row at a time.
class RowResampler {
 public:
  RowResampler(const float* pixels, int channels, int width, int height, int toWidth, int toHeight);
  int width() const { return x_.size(); }
  int height() const { return y_.size(); }
  // Writes output row y into out (width() pixels); scratch holds one input row.
  void row(int y, float* out, float* scratch) const;

 private:
  template <int channels>
  void horizontal(const float* in, float* out) const;

  const float* pixels_;
  int channels_, inWidth_;
  AxisTaps x_, y_;
};

// A plane resampled to the picture's size as a mask, clamped to 0..1. Uses the strip pool.
Mask planeToMask(const float* plane, int width, int height, int toWidth, int toHeight);

}  // namespace segmentation
