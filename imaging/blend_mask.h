#pragma once
// What a blend's mask says over a tile. Most of a mask is exactly 0 or 1, and there the blend
// is no blend at all: it shows one of its sides, which the renderer hands on without computing
// the other.
#include <cstddef>

#include "imaging/node.h"
#include "imaging/tile.h"

namespace imaging {

// The blend's mask over a tile, if it is flat 0 or 1: then the blend shows one of its sides
// there.
enum class MaskValue { mixed, zero, one };
MaskValue flatMaskValue(const Tile& mask);

// The input of a blend that shows where its mask is flat `value`.
inline std::size_t sideShown(const Hints::Blend& blend, MaskValue value) {
  return value == MaskValue::one ? blend.whereOne : blend.whereZero;
}

}  // namespace imaging
