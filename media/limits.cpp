#include "media/limits.h"

#include "imaging/image.h"

namespace {
// Renders address rows and columns with 32-bit sizes in places (PNG, the networks' input).
constexpr std::int64_t kMaxSide = 1 << 20;
}  // namespace

std::optional<std::string> sizeProblem(std::int64_t width, std::int64_t height) {
  auto size = std::to_string(width) + "x" + std::to_string(height);
  if (width < 1 || height < 1) return "the size " + size + " is empty";
  // Each side is checked before the product, which then cannot overflow.
  if (width > kMaxSide || height > kMaxSide || width * height > imaging::kMaxPixels)
    return "the size " + size + " is too large (at most " + std::to_string(imaging::kMaxPixels / 1'000'000) +
           " million pixels)";
  return std::nullopt;
}
