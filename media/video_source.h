#pragma once
// The video source's output geometry and per-frame fitting, shared with the frame loop.
#include "imaging/image.h"

// The output size: --size, else 1080 x 1920 (portrait), each axis on its own.
extern double W, H;
// (0, 0, W, H): the work rectangle of every frame.
extern imaging::Rect outRect;

// A decoded frame turned by the track's preferred transform, then stretched to W x H.
imaging::Image fitted(const imaging::Image& picture);
