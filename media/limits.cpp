#include "media/limits.h"

#include <cmath>

namespace {
// 120 million pixels: a 48-megapixel photo with room to spare, yet its working buffers
// still fit a few gigabytes.
constexpr double kMaxPixels = 120e6;
// Renders address rows and columns with 32-bit sizes in places (PNG, the networks' input).
constexpr double kMaxSide = 1 << 20;
}  // namespace

std::optional<std::string> sizeProblem(double width, double height) {
  auto size = std::to_string(static_cast<long long>(width)) + "x" + std::to_string(static_cast<long long>(height));
  if (!(width >= 1 && height >= 1)) return "the size " + size + " is empty";
  if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
    return "the size " + size + " is too large (at most 120 million pixels)";
  return std::nullopt;
}
