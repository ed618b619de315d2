// Decoding speed of the video layer: the shared 1080p30 H.264 clip to BGRA frames on all
// cores, as the frame loop pulls them. Target: at most 6 ms per frame on two cores.
#include <benchmark/benchmark.h>

#include <string>

#include "video/video.h"

namespace {

const std::string kClip = QUELM_SHARED_DIR "/media/video/v10_h264_1080p30_people_zoom_pan.mp4";

// The whole clip (150 frames) per iteration, opening included as the program pays it once.
void decodeToBgra(benchmark::State& state) {
  std::int64_t frames = 0;
  for (auto _ : state) {
    video::Source source;
    video::Reader reader;
    if (source.open(kClip) || reader.open(source) || reader.start(0, 1e9)) {
      state.SkipWithError("cannot read the clip");
      return;
    }
    while (auto frame = reader.next()) {
      benchmark::DoNotOptimize(frame->bgra[0]);
      ++frames;
    }
  }
  // Seconds per frame (shown with an SI prefix: "5m" is 5 ms).
  state.counters["per_frame"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate |
                                                          benchmark::Counter::kInvert);
}
BENCHMARK(decodeToBgra)->Unit(benchmark::kMillisecond)->UseRealTime();

// What the prelude costs before the first frame: open, probe, decoder, start.
void openToFirstFrame(benchmark::State& state) {
  for (auto _ : state) {
    video::Source source;
    video::Reader reader;
    if (source.open(kClip) || reader.open(source) || reader.start(0, 1)) {
      state.SkipWithError("cannot read the clip");
      return;
    }
    benchmark::DoNotOptimize(reader.next());
  }
}
BENCHMARK(openToFirstFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
