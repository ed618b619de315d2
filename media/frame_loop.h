#pragma once
// One video frame's matting, as the frame loop runs it, so that the benchmarks time the very
// same step.
#include <cstdint>
#include <optional>
#include <vector>

#include "imaging/image.h"
#include "matte/matte.h"

// What one frame's matting hands on to the next. Made once per run, after the segmentation
// is prepared or before; a frame reaches back only to the previous one's stored mask.
struct FrameMatting {
  std::int64_t width = 0, height = 0;       // the work rectangle is (0, 0, width, height)
  imaging::Image clear{};                    // the mask when no subject was ever found
  std::optional<imaging::Image> behind{};    // the backdrop, when the options give one
  std::vector<MaskBuffer> maskBuffers{};     // two when smoothing, taken in turn; else none
  std::optional<imaging::Image> lastMask{};  // the previous frame's final mask
  std::int64_t frames = 0;                   // matted so far
};
// The state for frames of width x height, the backdrop read from the options. Ends the run
// when the backdrop cannot be read or the mask buffers cannot be had.
FrameMatting frameMatting(std::int64_t width, std::int64_t height);

// Milliseconds one frame spent in each stage: finding the mask, smoothing and storing it,
// cutting out and rendering.
struct StageTimes {
  double segment = 0, mask = 0, cut = 0;
};

// One fitted frame (covering the work rectangle) matted as the options ask and rendered to straight
// RGBA into out (rowBytes = width * 4). When no subject is found the last mask stands in.
StageTimes matteFrame(FrameMatting& state, const imaging::Image& picture, std::uint8_t* out);
