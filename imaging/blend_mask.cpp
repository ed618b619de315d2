#include "imaging/blend_mask.h"

#include <algorithm>
#include <cstdint>

#include "imaging/pixel.h"

namespace imaging {

// Every blend asks this of every tile, so the mask's green is scanned two pixels at a time
// for its least and greatest value, a row at a time until they differ. A NaN anywhere makes
// the tile mixed, as it would be pixel by pixel.
MaskValue flatMaskValue(const Tile& mask) {
  if (mask.rect.isEmpty()) return MaskValue::zero;
  if (mask.flat) return mask.data[1] == 0 ? MaskValue::zero : mask.data[1] == 1 ? MaskValue::one : MaskValue::mixed;
  float least = mask.at(mask.rect.x, mask.rect.y)[1], greatest = least, poison = 0;
  const std::int64_t n = 4 * mask.rect.width;
  for (std::int64_t y = mask.rect.y; y < mask.rect.maxY() && least == greatest; ++y) {
    const float* p = mask.at(mask.rect.x, y);
    f8 lo = splatV<f8>(least), hi = lo, nan{};
    std::int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
      f8 green = lane<1>(loadV<f8>(p + i));
      lo = minV(lo, green), hi = maxV(hi, green), nan += green * 0;
    }
    for (int k = 0; k < 8; k += 4)
      least = std::min(least, lo[k]), greatest = std::max(greatest, hi[k]), poison += nan[k];
    if (i < n) least = std::min(least, p[i + 1]), greatest = std::max(greatest, p[i + 1]), poison += p[i + 1] * 0;
  }
  if (least != greatest || poison != 0) return MaskValue::mixed;
  return least == 0 ? MaskValue::zero : least == 1 ? MaskValue::one : MaskValue::mixed;
}

}  // namespace imaging
