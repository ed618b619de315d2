// Video files: the bytes opened, their first video track decoded over its first second as
// video mode reads it, and the first frames turned upright and cut out at a small size, the
// mask smoothed as the frame loop smooths it. The mask is the synthetic disk: the network on
// every frame would cut the executions to a seventh, and the picture target already sends
// decoded pictures through the segmentation.
#include <cstdint>

#include "harness.h"
#include "video/video.h"

namespace {
constexpr int kFrames = 3;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::prepare();
  args = Args{};
  const std::string path = fuzz::fileWith(data, size, "video");
  video::Source source;
  video::Reader reader;
  if (source.open(path) || reader.open(source) || reader.start(0, 1)) return 0;
  const video::Transform t = source.preferredTransform();
  const imaging::Affine upright{t.a, t.b, t.c, t.d, t.tx, t.ty};
  for (int n = 0; n < kFrames; ++n) {
    auto frame = reader.next();
    if (!frame) break;
    Image picture = Image::fromPixels({frame->bgra, frame->width, frame->height, frame->rowBytes,
                                       imaging::PixelFormat::bgra8});
    picture = picture.transformed(upright);
    const Rect rect = fuzz::smallRect({0, 0, picture.extent().width, picture.extent().height});
    picture = fuzz::stretched(picture, rect);
    fuzz::renderCutOut(picture, fuzz::diskMask(rect), rect, true);
  }
  return 0;
}
