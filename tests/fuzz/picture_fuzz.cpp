// Picture files: the bytes decoded as the still mode decodes its input, then, when they make a
// picture, one cut-out at a small size with the person route's real segmentation.
#include <cstdint>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::prepare();
  args = Args{.mode = "person"};
  const std::string path = fuzz::fileWith(data, size, "picture");
  if (auto decoded = Image::fromFile(path)) {
    const Rect rect = fuzz::smallRect(decoded->extent());
    const Image picture = fuzz::stretched(*decoded, rect);
    fuzz::renderCutOut(picture, fuzz::maskFor(picture, rect), rect, false);
  }
  return 0;
}
