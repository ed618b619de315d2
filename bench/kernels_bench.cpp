// Whole-frame cost of the area kernels at the tool's working size, a 1080x1920 portrait frame,
// run the way a render runs them: strips of 32 rows on every core. Times are wall-clock
// milliseconds per frame.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "imaging/kernels.h"
#include "imaging/parallel.h"

namespace imaging {
namespace {

constexpr PixelRect kFrame{0, 0, 1080, 1920};
constexpr std::int64_t kStripRows = 32;

// A tile over pixels of its own, filled with noise so no kernel meets only zeros.
struct Buffer {
  explicit Buffer(const PixelRect& r) : pixels(4 * r.area()), tile{pixels.data(), 4 * r.width, r} {
    std::uint32_t state = 12345;
    for (float& v : pixels) {
      state = state * 1664525u + 1013904223u;
      v = float(state >> 8) / float(1u << 24);
    }
  }
  std::vector<float> pixels;
  Tile tile;
};

void finishRun(benchmark::State& state, const Buffer& out) {
  benchmark::DoNotOptimize(out.pixels.data());
  benchmark::ClobberMemory();
  state.SetItemsProcessed(state.iterations() * kFrame.area());
}

void Blur(benchmark::State& state, double sigma) {
  Buffer input(GaussianBlur(sigma).inputRegion(kFrame)), out(kFrame);
  for (auto _ : state) {
    GaussianBlur blur(sigma);
    blur.prepare(kFrame);
    forEachStrip(kFrame, kStripRows, [&](const PixelRect& strip, int) {
      blur.compute(input.tile, out.tile.view(strip));
    });
  }
  finishRun(state, out);
}
BENCHMARK_CAPTURE(Blur, sigma_1_5, 1.5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Blur, sigma_3_9, 3.9)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Blur, sigma_4, 4.0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Blur, sigma_5, 5.0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Blur, sigma_18, 18.0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Blur, sigma_50, 50.0)->Unit(benchmark::kMillisecond)->UseRealTime();

void DiskMinimum(benchmark::State& state, double radius) {
  Buffer input(morphologyInputRegion(kFrame, radius)), out(kFrame);
  for (auto _ : state) {
    forEachStrip(kFrame, kStripRows, [&](const PixelRect& strip, int) {
      morphologyMinimum(input.tile, out.tile.view(strip), radius);
    });
  }
  finishRun(state, out);
}
BENCHMARK_CAPTURE(DiskMinimum, radius_1, 1.0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(DiskMinimum, radius_6, 6.0)->Unit(benchmark::kMillisecond)->UseRealTime();

// A landscape 1920x1080 video frame stretched onto the portrait frame: x shrinks by 0.5625,
// y grows by 1.78.
void ResampleLandscapeToPortrait(benchmark::State& state) {
  const PixelRect source{0, 0, 1920, 1080};
  const AxisMap x{double(kFrame.width) / double(source.width), 0};
  const AxisMap y{double(kFrame.height) / double(source.height), 0};
  Buffer input(source), out(kFrame);
  for (auto _ : state) {
    forEachStrip(kFrame, kStripRows, [&](const PixelRect& strip, int) {
      resample(input.tile, out.tile.view(strip), x, y, source);
    });
  }
  finishRun(state, out);
}
BENCHMARK(ResampleLandscapeToPortrait)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace imaging

BENCHMARK_MAIN();
