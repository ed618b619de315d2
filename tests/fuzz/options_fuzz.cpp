// The argument vector, through the options, the driver's dispatch and the checks the modes
// make before any file is read, then one cut-out of a small synthetic picture with whatever
// matte options it holds. The input is the arguments after the program's name, each ended by
// a NUL byte.
#include <cstdint>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "harness.h"
#include "media/limits.h"

namespace {

std::vector<std::string> arguments(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words(1);
  for (std::size_t i = 0; i < size && words.size() <= 32; ++i) {
    if (data[i] == 0) words.emplace_back();
    else words.back().push_back(char(data[i]));
  }
  if (words.back().empty()) words.pop_back();
  return words;
}

// Pixels of the rect's size with colour in every component, opaque but for a corner.
std::vector<std::uint8_t> gradient(int w, int h) {
  std::vector<std::uint8_t> pixels(std::size_t(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = &pixels[(std::size_t(y) * w + x) * 4];
      p[0] = std::uint8_t(255 * x / std::max(1, w - 1)), p[1] = std::uint8_t(255 * y / std::max(1, h - 1));
      p[2] = std::uint8_t(x * y), p[3] = x < 2 && y < 2 ? 0 : 255;
    }
  return pixels;
}

// The mode's own checks on the size, then the cut-out at that size when it is small, else at
// a small one: a large picture would only take long, not reach other code.
void cutOut(std::int64_t ownWidth, std::int64_t ownHeight, bool video) {
  const std::int64_t w = args.width >= 1 ? args.width : ownWidth, h = args.height >= 1 ? args.height : ownHeight;
  if (sizeProblem(w, h)) return;
  const Rect rect = w * h <= fuzz::kMaxPixels ? Rect{0, 0, double(w), double(h)} : Rect{0, 0, 27, 48};
  const int width = int(rect.width), height = int(rect.height);
  const std::vector<std::uint8_t> pixels = gradient(width, height);
  const Image picture =
      Image::fromPixels({pixels.data(), width, height, std::ptrdiff_t{4} * width, imaging::PixelFormat::rgba8});
  fuzz::renderCutOut(picture, fuzz::diskMask(rect), rect, video);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::prepare();
  const std::vector<std::string> words = arguments(data, size);
  std::vector<const char*> argv{"quelm-matte"};
  for (const auto& word : words) argv.push_back(word.c_str());
  args = parse(int(argv.size()), argv.data());
  switch (dispatch(args)) {
    case Dispatch::stillImage: cutOut(24, 16, false); break;
    case Dispatch::video: cutOut(1080, 1920, true); break;
    case Dispatch::stillImageUsage:
    case Dispatch::videoUsage: break;
  }
  return 0;
}
