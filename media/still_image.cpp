// Still-image mode: a picture file in, its subject over full transparency out as a PNG file
// of the requested size.
#include <cstdlib>
#include <string>

#include "cli/args.h"
#include "cli/diagnostics.h"
#include "cli/state.h"
#include "matte/matte.h"
#include "media/modes.h"
#include "media/limits.h"
#include "segmentation/segmentation.h"

using imaging::Affine;

namespace {

// The picture upright, moved to the origin and stretched to the target size, which each axis
// takes from the options or else from the picture itself.
Image stretchedPicture(const Image& decoded, Rect& rect) {
  Rect e = decoded.extent();
  Image picture = decoded.transformed(Affine::translation(-e.x, -e.y));
  double ownWidth = picture.extent().width, ownHeight = picture.extent().height;
  double w = args.width >= 1 ? double(args.width) : ownWidth;
  double h = args.height >= 1 ? double(args.height) : ownHeight;
  picture = picture.transformed(Affine::scale(w / ownWidth, h / ownHeight));
  rect = Rect{0, 0, w, h};
  return picture.cropped(rect);
}

}  // namespace

void runStillImage() {
  auto decoded = Image::fromFile(args.image);
  if (!decoded) fail("cannot read " + args.image);
  Rect rect;
  Image picture = stretchedPicture(*decoded, rect);
  if (auto tooLarge = sizeProblem(rect.width, rect.height)) fail("cannot write " + args.out + ": " + *tooLarge);

  std::optional<Image> mask;
  try {
    mask = rawMask(picture, rect);
  } catch (const segmentation::SetupError& e) {
    fail(e.what());
  }
  if (!mask) fail("no subject found in " + args.image);

  if (auto error = ctx.writePNG(cut(picture, *mask, rect), args.out, srgb))
    fail("cannot write " + args.out + ": " + *error);
  log("done 1 frames");
  std::exit(0);
}
