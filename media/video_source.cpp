#include "media/video_source.h"

#include "cli/args.h"
#include "cli/diagnostics.h"
#include "media/limits.h"

using imaging::Affine;
using imaging::Image;
using imaging::Rect;

double W = 0, H = 0;
Rect outRect;

namespace {

// Held for the whole run: the reader reads through the source, fitted() turns every frame.
video::Source source;
video::Reader reader;
Affine preferredTransform;

Affine affineOf(const video::Transform& t) { return {t.a, t.b, t.c, t.d, t.tx, t.ty}; }

// The reasons a decoder gives come after the path; a stage with no reason gets "?".
std::string withReason(const std::string& description) {
  return "cannot read " + args.input + ": " + (description.empty() ? "?" : description);
}

}  // namespace

// Checked before any file is touched: a size that cannot be worked on is refused whatever
// the video.
void setGeometry() {
  const std::int64_t width = args.width >= 1 ? args.width : 1080;
  const std::int64_t height = args.height >= 1 ? args.height : 1920;
  if (auto tooLarge = sizeProblem(width, height)) fail("cannot allocate a frame: " + *tooLarge);
  W = double(width);
  H = double(height);
  outRect = Rect{0, 0, W, H};
}

OpenedVideo openVideo() {
  if (auto failure = source.open(args.input)) {
    if (failure->stage == video::Stage::Open) fail("no video track in " + args.input);
    fail("cannot read " + args.input);
  }
  preferredTransform = affineOf(source.preferredTransform());
  if (auto failure = reader.open(source)) fail(withReason(failure->description));
  if (auto failure = reader.start(args.ss, args.t)) fail(withReason(failure->description));
  return {reader, source.frameRate()};
}

Image fitted(const Image& picture) {
  Image p = picture;
  if (!preferredTransform.isIdentity()) {
    p = p.transformed(preferredTransform);
    p = p.transformed(Affine::translation(-p.extent().x, -p.extent().y));
  }
  p = p.transformed(Affine::scale(W / p.extent().width, H / p.extent().height));
  return p.cropped(outRect);
}
