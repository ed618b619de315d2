// The matting chain on a real photo stretched to the default video frame (1080x1920), as the
// frame loop runs it: the person or all-subjects mask with its refinements, the smoothing
// render into a half-float mask buffer, and the cut-out with decontamination rendered to
// 8-bit RGBA. Reports milliseconds per frame; segmentation is loaded before timing starts.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "cli/args.h"
#include "cli/heap.h"
#include "cli/state.h"
#include "matte/matte.h"
#include "media/frame_loop.h"
#include "media/video_source.h"
#include "video/video.h"

using namespace imaging;

namespace {

constexpr int kWidth = 1080, kHeight = 1920;
const Rect kFrame{0, 0, kWidth, kHeight};

// A shared photo with a person, stretched to the frame and kept as 8-bit BGRA, as a decoded
// video frame would be.
const std::vector<std::uint8_t>& frameBytes() {
  static const std::vector<std::uint8_t> bytes = [] {
    makeRenderingState();
    auto photo = Image::fromFile(std::string(QUELM_SHARED_DIR) + "/media/photos/p10_person_fullbody_long_hair_from_behind.png");
    if (!photo) std::abort();
    Image stretched = photo->transformed(Affine::scale(kWidth / photo->extent().width, kHeight / photo->extent().height));
    std::vector<std::uint8_t> rgba(std::size_t(kWidth) * kHeight * 4);
    ctx.render(stretched, rgba.data(), kWidth * 4, kFrame);
    for (std::size_t i = 0; i < rgba.size(); i += 4) std::swap(rgba[i], rgba[i + 2]);
    return rgba;
  }();
  return bytes;
}

Image frame() { return Image::fromPixels({frameBytes().data(), kWidth, kHeight, kWidth * 4, PixelFormat::bgra8}); }

void configure(benchmark::State& state) {
  frameBytes();
  args = Args{};
  args.mode = state.range(0) ? "person" : "subject";
  args.decontaminate = state.range(1) != 0;
  prepareMask();
}

// The mask of the frame, found and refined, then stored as the smoothing step stores it.
Image foundAndStored(const Image& picture, MaskBuffer& buffer) {
  auto mask = rawMask(picture, kFrame);
  if (!mask) std::abort();
  return storedMask(*mask, buffer, kFrame);
}

// One whole frame: mask, smoothing against the previous mask, cut-out.
void Frame(benchmark::State& state) {
  configure(state);
  FrameMatting matting = frameMatting(kWidth, kHeight);
  std::vector<std::uint8_t> out(std::size_t(kWidth) * kHeight * 4);
  Image picture = frame();
  matteFrame(matting, picture, out.data());
  for (auto _ : state) matteFrame(matting, picture, out.data());
}
BENCHMARK(Frame)->ArgNames({"person", "decontaminate"})->Args({1, 1})->Args({1, 0})->Args({0, 1})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// The mask's refinement and smoothing alone, rendered into a mask buffer as the frame loop
// does, from a segmentation found once: the engine's part of the mask.
void MaskRender(benchmark::State& state) {
  configure(state);
  std::vector<MaskBuffer> buffers{maskBuffer(kWidth, kHeight), maskBuffer(kWidth, kHeight)};
  Image picture = frame();
  auto mask = rawMask(picture, kFrame);
  if (!mask) std::abort();
  Image prev = foundAndStored(picture, buffers[1]);
  for (auto _ : state) storedMask(smoothed(*mask, prev, args.smooth, kFrame), buffers[0], kFrame);
}
BENCHMARK(MaskRender)->ArgNames({"person", "decontaminate"})->Args({1, 1})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// The cut-out alone, from a stored mask: the decontamination chain and the final render.
void CutOut(benchmark::State& state) {
  configure(state);
  MaskBuffer buffer = maskBuffer(kWidth, kHeight);
  Image picture = frame();
  Image mask = foundAndStored(picture, buffer);
  std::vector<std::uint8_t> out(std::size_t(kWidth) * kHeight * 4);
  for (auto _ : state) ctx.render(cut(picture, mask, kFrame), out.data(), kWidth * 4, kFrame);
}
BENCHMARK(CutOut)->ArgNames({"person", "decontaminate"})->Args({1, 1})->Args({1, 0})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// The shared people clip's 150 frames, fitted to the frame as the frame loop fits them: they
// have more people, and more edge, than the still photo.
const std::vector<std::vector<std::uint8_t>>& clipFrames() {
  static const std::vector<std::vector<std::uint8_t>> frames = [] {
    makeRenderingState();
    W = kWidth, H = kHeight, outRect = kFrame;
    video::Source source;
    video::Reader reader;
    if (source.open(std::string(QUELM_SHARED_DIR) + "/media/video/v10_h264_1080p30_people_zoom_pan.mp4") ||
        reader.open(source) || reader.start(0, 5))
      std::abort();
    std::vector<std::vector<std::uint8_t>> all;
    while (auto f = reader.next()) {
      auto& rgba = all.emplace_back(std::size_t(kWidth) * kHeight * 4);
      ctx.render(fitted(Image::fromPixels({f->bgra, f->width, f->height, f->rowBytes, PixelFormat::bgra8})),
                 rgba.data(), kWidth * 4, kFrame);
    }
    return all;
  }();
  return frames;
}

// The frame loop's matting after fitting, once over the clip's frames in order: mask,
// smoothing against the previous frame's stored mask, cut-out. Also reports each stage's share
// in ms per frame: segmentation, mask refinement with smoothing and its render, cut-out. The
// tool's own figure adds fitting, and the decoder working ahead on the same cores.
void Clip(benchmark::State& state) {
  configure(state);
  const auto& frames = clipFrames();
  prepareHeap();
  FrameMatting matting = frameMatting(kWidth, kHeight);
  std::vector<std::uint8_t> out(std::size_t(kWidth) * kHeight * 4);
  std::size_t n = 0;
  StageTimes total;
  for (auto _ : state) {
    const auto& bytes = frames[n++ % frames.size()];
    StageTimes times = matteFrame(matting, Image::fromPixels({.data = bytes.data(), .width = kWidth, .height = kHeight, .rowBytes = kWidth * 4,
                                                    .format = PixelFormat::rgba8, .rendered = true}),
                                  out.data());
    total.segment += times.segment;
    total.mask += times.mask;
    total.cut += times.cut;
  }
  const double frameCount = static_cast<double>(n);
  state.counters["segment"] = total.segment / frameCount;
  state.counters["mask"] = total.mask / frameCount;
  state.counters["cut"] = total.cut / frameCount;
}
BENCHMARK(Clip)->ArgNames({"person", "decontaminate"})->Args({1, 1})->Iterations(150)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
