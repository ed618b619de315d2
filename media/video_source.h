#pragma once
// The video source: the output geometry, the video's first track with its frame rate and
// orientation, a reader started over the requested range, and the fitting of every decoded
// frame to the output. The frame loop reads through it.
#include "imaging/image.h"
#include "video/video.h"

// The output size: --size, else 1080 x 1920 (portrait), each axis on its own.
extern double W, H;
// (0, 0, W, H): the work rectangle of every frame.
extern imaging::Rect outRect;

// Sets W, H and outRect from the options. Ends the run when the size cannot be worked on.
void setGeometry();

// The input's first video track and a reader started over [--ss, --ss + --t), both held for
// the whole run. Ends the run with a failure line when the video cannot be read.
struct OpenedVideo {
  video::Reader& reader;
  float frameRate;
};
OpenedVideo openVideo();

// A decoded frame turned by the track's preferred transform, then stretched to W x H.
imaging::Image fitted(const imaging::Image& picture);
