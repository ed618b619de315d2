#pragma once
// Edge-aware upsampling of a low-resolution probability (He and Sun's fast guided filter):
// at low resolution, each pixel's probability is fitted as a linear function of the colour
// around it, q = a . I + b; the coefficients a, b are smoothed, brought to the picture's size
// and applied to the picture's own colours there. Edges of the mask then follow the edges of
// the picture at full resolution instead of a blurred low-resolution outline.
#include "segmentation/segmentation.h"

namespace segmentation {

struct GuidedFilter {
  int radius;      // of the box windows, in low-resolution pixels
  float epsilon;   // regularisation: larger keeps the input's smoothness, smaller follows colour
  // The result's slope around 0.5; 1 keeps the fit's values. Wide windows fit soft transitions.
  float contrast = 1;
  // Where the probability itself (brought to the picture's size) is at most sureBackground, the
  // result is no higher than it; where it is at least sureSubject, no lower. A fit over a wide
  // window extrapolates wildly on colours it barely saw at low resolution (eye whites, teeth),
  // and the network's confident values are the better answer there.
  float sureBackground = 0, sureSubject = 1;
};

// guide: three planes (R, G, B as value/255) at width x height, the picture as the network saw
// it; probability: one plane at the same size. Writes the refined mask at the picture's size,
// clamped to 0..1, into out (rows outStride floats apart). Uses the strip thread pool.
void guidedUpsample(const Picture& picture, const float* guide, const float* probability, int width,
                    int height, GuidedFilter filter, float* out, std::ptrdiff_t outStride);

}  // namespace segmentation
