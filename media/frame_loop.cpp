// The frame loop and the raw frame stream: every decoded frame fitted to the output, matted,
// rendered to straight RGBA and written whole to standard output, with progress on standard
// error and a final report of the matting time per frame.
#include "media/frame_loop.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/diagnostics.h"
#include "cli/state.h"
#include "matte/matte.h"
#include "media/video_source.h"

using imaging::Image;
using imaging::PixelFormat;

namespace {

// Expected frame count: duration times rate, halves away from zero. Nothing when it is not a
// finite number that fits.
std::optional<std::int64_t> expectedTotal(double t, float rate) {
  double total = std::round(t * double(rate));
  if (!std::isfinite(total) || std::fabs(total) >= 9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(total);
}

// All of buf to standard output, however many writes it takes.
void writeFrame(const std::vector<std::uint8_t>& buf) {
  const std::uint8_t* p = buf.data();
  std::size_t left = buf.size();
  while (left > 0) {
    ssize_t written = ::write(STDOUT_FILENO, p, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) fail(std::string("write failed: ") + (written < 0 ? std::strerror(errno) : "nothing could be written"));
    p += written;
    left -= static_cast<std::size_t>(written);
  }
}

std::string report(std::int64_t n, double busy) {
  char average[64];
  std::snprintf(average, sizeof average, "%.1f", n > 0 ? busy * 1000 / double(n) : 0.0);
  return "done " + std::to_string(n) + " frames (" + average + " ms/frame)";
}

}  // namespace

// Every frame allocates and frees the same large blocks (its mask, the blur grids, the
// networks' planes). Mapped afresh each time, every one of their pages faults and is cleared
// again by the kernel; kept in the heap they are simply reused. Blocks above 32 MB (the
// all-subjects network's largest tensors) are still given back, which keeps the peak down.
void keepLargeBlocks() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
}

void runFrameLoop(video::Reader& reader, float frameRate) {
  auto total = expectedTotal(args.t, frameRate);
  if (!total) fail("cannot count the frames of a range of " + std::to_string(args.t) + " seconds");
  // The video source has checked the size: whole pixels, within the limits.
  const auto width = static_cast<std::int64_t>(W), height = static_cast<std::int64_t>(H);
  const std::int64_t rowBytes = width * 4;
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(rowBytes * height));
  std::vector<std::uint8_t> fittedFrame(buf.size());
  const Image clear = clearColor.cropped(outRect);
  std::vector<MaskBuffer> maskBuffers;
  if (args.smooth > 0) {
    maskBuffers.push_back(maskBuffer(width, height));
    maskBuffers.push_back(maskBuffer(width, height));
  }
  prepareMask();
  keepLargeBlocks();
  std::int64_t n = 0;
  std::optional<Image> lastMask;
  double busy = 0;

  while (auto frame = reader.next()) {
    auto start = std::chrono::steady_clock::now();
    // Fitted once, into memory: the segmentation and the cut-out then read the same pixels
    // instead of resampling the frame each.
    ctx.render(fitted(Image::fromPixels({frame->bgra, frame->width, frame->height, frame->rowBytes, PixelFormat::bgra8})),
               fittedFrame.data(), rowBytes, outRect, srgb);
    Image picture = Image::fromPixels({fittedFrame.data(), int(width), int(height), rowBytes, PixelFormat::rgba8});
    std::optional<Image> found = rawMask(picture, outRect);
    std::optional<Image> prev = lastMask;
    Image m = found ? *found : prev ? *prev : clear;
    if (args.smooth > 0) {
      // Stored, so the next frame reaches back only to this one, however long the video.
      if (prev) m = smoothed(m, *prev, args.smooth, outRect);
      MaskBuffer& buffer = maskBuffers[n % 2];
      ctx.renderHalf(m, buffer.data(), width * 8, outRect);
      m = Image::fromPixels({buffer.data(), int(width), int(height), width * 8, PixelFormat::rgbaHalf});
    }
    lastMask = m;
    ctx.render(cut(picture, m, outRect), buf.data(), rowBytes, outRect, srgb);
    busy += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    writeFrame(buf);
    ++n;
    if (n % 15 == 0 || n == *total) log("frame " + std::to_string(n) + "/" + std::to_string(*total));
  }
  if (reader.failed()) fail("read failed: " + (reader.error().empty() ? std::string("?") : reader.error()));
  log(report(n, busy));
  std::exit(0);
}
