// Per-frame cost of the two segmentation routes: the network with its pre- and
// post-processing and, for persons, the guided refinement. Sessions are made before timing
// starts (load), as the tool does before its first frame.
#include <benchmark/benchmark.h>
#include <vips/vips.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "imaging/vips_init.h"
#include "segmentation/segmentation.h"

namespace {

struct Frame {
  std::vector<std::uint8_t> rgba;
  int width = 0, height = 0;
  segmentation::Picture picture() const { return {rgba.data(), width, height, std::ptrdiff_t(width) * 4}; }
};

// Stretched over the frame, or letterboxed: scaled to its width and centred on black, as a
// landscape clip shown in a portrait frame.
enum class Fit { stretch, letterbox };

// A shared picture (path under media/) as an 8-bit RGBA frame of width x height.
Frame frame(const char* photo, int width, int height, Fit fit) {
  imaging::ensureVips();
  const std::string path = std::string(QUELM_SHARED_DIR) + "/media/" + photo;
  VipsImage* in = vips_image_new_from_file(path.c_str(), nullptr);
  if (!in) {
    fprintf(stderr, "cannot read %s: %s\n", path.c_str(), vips_error_buffer());
    std::exit(1);
  }
  VipsImage *sized = nullptr, *placed = nullptr, *rgba = nullptr;
  if (fit == Fit::stretch) {
    vips_resize(in, &sized, double(width) / in->Xsize, "vscale", double(height) / in->Ysize, nullptr);
    vips_copy(sized, &placed, nullptr);
  } else {
    vips_resize(in, &sized, double(width) / in->Xsize, nullptr);
    vips_embed(sized, &placed, 0, (height - sized->Ysize) / 2, width, height, nullptr);
  }
  vips_bandjoin_const1(placed, &rgba, 255, nullptr);
  size_t bytes = 0;
  void* pixels = vips_image_write_to_memory(rgba, &bytes);
  Frame f{{static_cast<std::uint8_t*>(pixels), static_cast<std::uint8_t*>(pixels) + bytes}, rgba->Xsize, rgba->Ysize};
  g_free(pixels);
  g_object_unref(rgba);
  g_object_unref(placed);
  g_object_unref(sized);
  g_object_unref(in);
  return f;
}

void personRoute(benchmark::State& state, const char* photo, int width, int height, Fit fit) {
  segmentation::load(segmentation::Route::person);
  const Frame f = frame(photo, width, height, fit);
  if (!segmentation::personMask(f.picture())) state.SkipWithError("no person found: nothing refined");
  for (auto _ : state) benchmark::DoNotOptimize(segmentation::personMask(f.picture()));
}

void subjectRoute(benchmark::State& state, const char* photo, int width, int height) {
  segmentation::load(segmentation::Route::subject);
  const Frame f = frame(photo, width, height, Fit::stretch);
  for (auto _ : state) benchmark::DoNotOptimize(segmentation::subjectMask(f.picture()));
}

// The person route looks once when the people fill most of the picture, twice when they are
// small in it (the second look at their region).
BENCHMARK_CAPTURE(personRoute, portrait_1080x1920_one_look, "photos/p10_person_fullbody_long_hair_from_behind.png",
                  1080, 1920, Fit::stretch)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(personRoute, portrait_1080x1920_two_looks, "photos/p10_person_fullbody_long_hair_from_behind.png",
                  1080, 1920, Fit::letterbox)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(personRoute, landscape_1920x1080_two_looks, "photos/p10_person_fullbody_long_hair_from_behind.png",
                  1920, 1080, Fit::stretch)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(subjectRoute, square_1024x1024, "photos/a01_cat_fur_touching_borders.png", 1024, 1024)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
