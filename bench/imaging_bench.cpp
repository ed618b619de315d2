// Whole renders through the engine at the default video frame size (1080x1920 RGBA): the
// area filters of the matte chain and a run of fused point-wise filters. Each iteration is one
// complete render into an 8-bit RGBA frame, as a video frame is rendered.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "imaging/context.h"
#include "imaging/image.h"

using namespace imaging;

namespace {

constexpr int kWidth = 1080, kHeight = 1920;
const Rect kFrame{0, 0, kWidth, kHeight};

// A frame with detail everywhere, so no filter meets flat, easy input.
const std::vector<std::uint8_t>& sourceFrame() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> b(std::size_t(kWidth) * kHeight * 4);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < b.size(); ++i) {
      state = state * 1664525u + 1013904223u;
      b[i] = (i % 4 == 3) ? 255 : std::uint8_t(state >> 24);
    }
    return b;
  }();
  return bytes;
}

Image frame() {
  return Image::fromPixels({sourceFrame().data(), kWidth, kHeight, kWidth * 4, PixelFormat::bgra8});
}

void renderLoop(benchmark::State& state, const Image& image) {
  Context context({.outputPremultiplied = false});
  std::vector<std::uint8_t> out(std::size_t(kWidth) * kHeight * 4);
  for (auto _ : state) {
    context.render(image, out.data(), kWidth * 4, kFrame);
    benchmark::DoNotOptimize(out.data());
  }
}

void Blur(benchmark::State& state) {
  renderLoop(state, frame().clampedToExtent().gaussianBlurred(double(state.range(0)) / 10).cropped(kFrame));
}
BENCHMARK(Blur)->Arg(15)->Arg(50)->Arg(180)->Unit(benchmark::kMillisecond)->UseRealTime();

void MorphologyMinimum(benchmark::State& state) {
  renderLoop(state, frame().morphologyMinimum(double(state.range(0))));
}
BENCHMARK(MorphologyMinimum)->Arg(1)->Arg(6)->Unit(benchmark::kMillisecond)->UseRealTime();

// Ten point-wise filters in a row, of the kinds the matte chain uses: the renderer should
// make them one pass over cache-sized strips.
void TenPointWise(benchmark::State& state) {
  Image image = frame(), other = frame().transformed(Affine::translation(1, 0)).cropped(kFrame);
  ColorMatrix m;
  m.red = {0.9f, 0.1f, 0, 0};
  m.bias = {0, 0.05f, 0, 0};
  image = image.colorMatrix(m).colorClamped({0, 0, 0, 0}, {1, 1, 1, 1}).gammaAdjusted(6);
  image = image.blendedWithMask(Image::color({0, 0, 0, 0}).cropped(kFrame), other);
  image = image.addedTo(other).differenceFrom(other).unpremultiplied().settingAlphaOne(kFrame);
  image = image.colorMatrix(m).colorClamped({0, 0, 0, 0}, {1, 1, 1, 1});
  renderLoop(state, image);
}
BENCHMARK(TenPointWise)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 1920x1080 video frame stretched to the 1080x1920 output, as every video frame is.
void FitFrame(benchmark::State& state) {
  static std::vector<std::uint8_t> landscape(std::size_t(1920) * 1080 * 4, 128);
  Image source = Image::fromPixels({landscape.data(), 1920, 1080, 1920 * 4, PixelFormat::bgra8});
  renderLoop(state, source.transformed(Affine::scale(1080.0 / 1920, 1920.0 / 1080)).cropped(kFrame));
}
BENCHMARK(FitFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
