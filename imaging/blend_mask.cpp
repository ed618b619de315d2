#include "imaging/blend_mask.h"

#include <algorithm>
#include <cstdint>

#include "imaging/pixel.h"

namespace imaging {

// Every blend asks this of every tile, so the mask's green (a grey mask's grey) is scanned a
// vector at a time for its least and greatest value, a row at a time until they differ. A NaN
// anywhere makes the tile mixed, as it would be pixel by pixel.
MaskValue flatMaskValue(const Tile& mask) {
  if (mask.rect.isEmpty()) return MaskValue::zero;
  const float first = mask.at(mask.rect.x, mask.rect.y)[mask.channels == 1 ? 0 : 1];
  if (mask.flat) return first == 0 ? MaskValue::zero : first == 1 ? MaskValue::one : MaskValue::mixed;
  float least = first, greatest = least, poison = 0;
  const std::int64_t n = mask.channels * mask.rect.width;
  // The values read from a vector: every float of a grey mask, the greens of four-float pixels.
  auto values = [&](f8 v) { return mask.channels == 1 ? v : lane<1>(v); };
  const std::int64_t step = mask.channels == 1 ? 1 : 4, offset = mask.channels == 1 ? 0 : 1;
  for (std::int64_t y = mask.rect.y; y < mask.rect.maxY() && least == greatest; ++y) {
    const float* p = mask.at(mask.rect.x, y);
    f8 lo = splatV<f8>(least), hi = lo, nan{};
    std::int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
      f8 v = values(loadV<f8>(p + i));
      lo = minV(lo, v), hi = maxV(hi, v), nan += v * 0;
    }
    for (int k = 0; k < 8; ++k) least = std::min(least, lo[k]), greatest = std::max(greatest, hi[k]), poison += nan[k];
    for (i += offset; i < n; i += step) least = std::min(least, p[i]), greatest = std::max(greatest, p[i]), poison += p[i] * 0;
  }
  if (least != greatest || poison != 0) return MaskValue::mixed;
  return least == 0 ? MaskValue::zero : least == 1 ? MaskValue::one : MaskValue::mixed;
}

}  // namespace imaging
