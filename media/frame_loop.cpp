// Video mode: the video source opened over the requested range, then every decoded frame
// fitted to the output, matted, rendered to straight RGBA and handed whole to the frame sink
// (standard output, a byte a pixel for the mask alone, or a video file), with progress on
// standard error and a final report of the matting time per frame.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/diagnostics.h"
#include "cli/state.h"
#include "matte/matte.h"
#include "media/failures.h"
#include "media/frame_loop.h"
#include "media/frame_sink.h"
#include "media/modes.h"
#include "media/pictures.h"
#include "media/video_source.h"

using imaging::Image;
using imaging::PixelFormat;
using imaging::Rect;

namespace {

// Expected frame count: duration times rate, halves away from zero. Nothing when it is not a
// finite number that fits.
std::optional<std::int64_t> expectedTotal(double t, float rate) {
  double total = std::round(t * double(rate));
  if (!std::isfinite(total) || std::fabs(total) >= 9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(total);
}

std::string report(std::int64_t n, double busy) {
  char average[64];
  std::snprintf(average, sizeof average, "%.1f", n > 0 ? busy * 1000 / double(n) : 0.0);
  return "done " + std::to_string(n) + " frames (" + average + " ms/frame)";
}

// Milliseconds since `since`; restarts `since`.
double lap(std::chrono::steady_clock::time_point& since) {
  auto now = std::chrono::steady_clock::now();
  double ms = std::chrono::duration<double, std::milli>(now - since).count();
  since = now;
  return ms;
}

// (0, 0, width, height) of the frames.
Rect workRect(const FrameMatting& state) { return {0, 0, double(state.width), double(state.height)}; }

}  // namespace

FrameMatting frameMatting(std::int64_t width, std::int64_t height) {
  FrameMatting state{.width = width, .height = height};
  state.clear = clearColor.cropped(workRect(state));
  state.behind = backdrop(background(), workRect(state));
  if (args.smooth > 0) {
    state.maskBuffers.push_back(maskBuffer(width, height));
    state.maskBuffers.push_back(maskBuffer(width, height));
  }
  return state;
}

StageTimes matteFrame(FrameMatting& state, const Image& picture, std::uint8_t* out) {
  StageTimes times;
  const Rect rect = workRect(state);
  auto since = std::chrono::steady_clock::now();
  std::optional<Image> found = rawMask(picture, rect);
  times.segment = lap(since);
  const std::optional<Image>& prev = state.lastMask;
  Image m = found ? *found : prev ? *prev : state.clear;
  if (args.smooth > 0) {
    if (prev) m = smoothed(m, *prev, args.smooth, rect);
    m = storedMask(m, state.maskBuffers[state.frames % 2], rect);
  }
  state.lastMask = m;
  ++state.frames;
  times.mask = lap(since);
  Image cutOut = matted(picture, m, rect, state.behind);
  // A file of the mask alone is a luma matte: an editor reads its grey, not its transparency.
  if (args.maskOnly && !args.out.empty()) cutOut = cutOut.settingAlphaOne(rect);
  ctx.render(cutOut, out, state.width * 4, rect);
  times.cut = lap(since);
  return times;
}

namespace {

[[noreturn]] void runFrameLoop(video::Reader& reader, float frameRate) {
  auto total = expectedTotal(args.t, frameRate);
  if (!total) fail("cannot count the frames of a range of " + std::to_string(args.t) + " seconds");
  // The video source has checked the size: whole pixels, within the limits.
  const auto width = static_cast<std::int64_t>(W), height = static_cast<std::int64_t>(H);
  const std::int64_t rowBytes = width * 4;
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(rowBytes * height));
  std::vector<std::uint8_t> fittedFrame(buf.size());
  // Before the models load: a file that cannot be written is refused at once.
  FrameSink sink = !args.out.empty() ? videoFile(args.out, reader, width, height)
                  : args.maskOnly    ? greyStream(width, height)
                                     : rawStream(width, height);
  FrameMatting state = frameMatting(width, height);
  prepareMask();
  double busy = 0;

  while (auto frame = reader.next()) {
    auto start = std::chrono::steady_clock::now();
    // Fitted once, into memory: the segmentation and the cut-out then read the same pixels
    // instead of resampling the frame each.
    ctx.render(fitted(Image::fromPixels({frame->bgra, frame->width, frame->height, frame->rowBytes, PixelFormat::bgra8})),
               fittedFrame.data(), rowBytes, outRect);
    matteFrame(state,
               Image::fromPixels({.data = fittedFrame.data(), .width = int(width), .height = int(height),
                                  .rowBytes = rowBytes, .format = PixelFormat::rgba8, .rendered = true}),
               buf.data());
    busy += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    sink.put(buf.data(), *frame);
    const std::int64_t n = state.frames;
    if (n % 15 == 0 || n == *total) log("frame " + std::to_string(n) + "/" + std::to_string(*total));
  }
  if (reader.failed()) fail("read failed: " + (reader.error().empty() ? std::string("?") : reader.error()));
  sink.close();
  log(report(state.frames, busy));
  std::exit(0);
}

[[noreturn]] void openAndRun() {
  setGeometry();
  auto [reader, frameRate] = openVideo();
  runFrameLoop(reader, frameRate);
}

}  // namespace

void runVideo() {
  // Whatever is thrown while matting a frame (the network's run, memory in a render) ends
  // the run before that frame is written: the stream holds whole frames only.
  try {
    openAndRun();
  } catch (...) {
    failOnException("matting failed: ");
  }
}
