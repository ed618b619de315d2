// Still-image mode: a picture file in, its subject over full transparency out as a PNG file
// of the requested size.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/args.h"
#include "cli/diagnostics.h"
#include "cli/state.h"
#include "matte/matte.h"
#include "media/failures.h"
#include "media/limits.h"
#include "media/modes.h"

using imaging::Affine;

namespace {

// A side of the target size: the option's when it asks for one, else the picture's own
// (a decoded picture's sides are whole numbers).
std::int64_t targetSide(std::int64_t requested, double own) {
  return requested >= 1 ? requested : static_cast<std::int64_t>(own);
}

// The picture moved to the origin and stretched to w x h, which the caller has checked.
Image stretchedPicture(const Image& decoded, double w, double h) {
  Rect e = decoded.extent();
  Image picture = decoded.transformed(Affine::translation(-e.x, -e.y));
  picture = picture.transformed(Affine::scale(w / e.width, h / e.height));
  return picture.cropped(Rect{0, 0, w, h});
}

// Every step up to the file written; the expected failures end the run here.
void writeCutOut() {
  auto decoded = Image::fromFile(args.image);
  if (!decoded) fail("cannot read " + args.image);
  const std::int64_t width = targetSide(args.width, decoded->extent().width);
  const std::int64_t height = targetSide(args.height, decoded->extent().height);
  if (auto tooLarge = sizeProblem(width, height)) fail("cannot write " + args.out + ": " + *tooLarge);
  const Rect rect{0, 0, double(width), double(height)};
  Image picture = stretchedPicture(*decoded, rect.width, rect.height);

  std::optional<Image> mask = rawMask(picture, rect);
  if (!mask) fail("no subject found in " + args.image);
  if (auto error = ctx.writePNG(cut(picture, *mask, rect), args.out, srgb))
    fail("cannot write " + args.out + ": " + *error);
}

}  // namespace

void runStillImage() {
  // Whatever else goes wrong (the network's run, memory in a render) leaves no file behind:
  // the PNG only appears once it is written whole.
  try {
    writeCutOut();
  } catch (...) {
    failOnException("cannot write " + args.out + ": ");
  }
  log("done 1 frames");
  std::exit(0);
}
