// Video mode's prelude: the output geometry, the video's first track with its frame rate and
// orientation, and a reader started over the requested range.
#include "media/video_source.h"

#include "cli/args.h"
#include "cli/diagnostics.h"
#include "media/frame_loop.h"
#include "media/modes.h"
#include "video/video.h"

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

Image fitted(const Image& picture) {
  Image p = picture;
  if (!preferredTransform.isIdentity()) {
    p = p.transformed(preferredTransform);
    p = p.transformed(Affine::translation(-p.extent().x, -p.extent().y));
  }
  p = p.transformed(Affine::scale(W / p.extent().width, H / p.extent().height));
  return p.cropped(outRect);
}

void runVideo() {
  W = args.width >= 1 ? double(args.width) : 1080;
  H = args.height >= 1 ? double(args.height) : 1920;
  outRect = Rect{0, 0, W, H};

  if (auto failure = source.open(args.input)) {
    if (failure->stage == video::Stage::Open) fail("no video track in " + args.input);
    fail("cannot read " + args.input);
  }
  preferredTransform = affineOf(source.preferredTransform());
  if (auto failure = reader.open(source)) fail(withReason(failure->description));
  if (auto failure = reader.start(args.ss, args.t)) fail(withReason(failure->description));
  runFrameLoop(reader, source.frameRate());
}
