// Accuracy of the area kernels against their definitions: the blur against closed forms and a
// double-precision convolution, the disk minimum against its footprint and a brute-force
// minimum, resampling against exact copies, linear ramps and fine patterns.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "imaging/kernels.h"
#include "imaging/parallel.h"

namespace imaging {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

using Pattern = double (*)(std::int64_t x, std::int64_t y, int channel);

// Pixels owned by a test. Rows carry a few padding pixels and everything starts as NaN, so a
// kernel that reads past its rectangle or confuses stride with width, or leaves an output pixel
// unwritten, leaves NaN behind.
struct Image {
  explicit Image(const PixelRect& r, std::int64_t padding = 3)
      : pixels(4 * (r.width + padding) * r.height, kNaN), tile{pixels.data(), 4 * (r.width + padding), r} {}
  Image(const PixelRect& r, Pattern pattern) : Image(r) {
    for (std::int64_t y = r.y; y < r.maxY(); ++y)
      for (std::int64_t x = r.x; x < r.maxX(); ++x)
        for (int c = 0; c < 4; ++c) at(x, y)[c] = static_cast<float>(pattern(x, y, c));
  }
  // A copy of part of another image in memory of its own, with a border of NaN pixels around
  // it, so that reading past r gives NaN instead of the neighbouring rows.
  Image(const Image& from, const PixelRect& r, std::int64_t border = 0) : Image(r.grownBy(border, border)) {
    for (std::int64_t y = r.y; y < r.maxY(); ++y)
      for (std::int64_t x = r.x; x < r.maxX(); ++x)
        for (int c = 0; c < 4; ++c) at(x, y)[c] = from.at(x, y)[c];
  }
  Image(const Image&) = delete;

  float* at(std::int64_t x, std::int64_t y) const { return tile.at(x, y); }

  std::vector<float> pixels;
  Tile tile;
};

double unitNoise(std::int64_t x, std::int64_t y, int c) {
  std::uint64_t h = (std::uint64_t(x) * 0x9E3779B97F4A7C15ull) ^ (std::uint64_t(y) * 0xC2B2AE3D27D4EB4Full) ^
                    (std::uint64_t(c) * 0x165667B19E3779F9ull);
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return double(h >> 11) / double(1ull << 53);
}

// ---------------------------------------------------------------------------------------------
// Gaussian blur

double normalCdf(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }
// The Gaussian's mass over pixel i: a pixel is an area, so this is the exact one-pixel response.
double pixelGaussian(std::int64_t i, double sigma) {
  return normalCdf((i + 0.5) / sigma) - normalCdf((i - 0.5) / sigma);
}

struct BlurPattern {
  const char* name;
  Pattern input;
  // The blurred value at pixel (x, y) in closed form, or null: then a double-precision
  // convolution of `input` is the reference.
  double (*exact)(std::int64_t x, std::int64_t y, int c, double sigma);
};

const BlurPattern kBlurPatterns[] = {
    {"StepInX", [](std::int64_t x, std::int64_t, int) { return x >= 0 ? 1.0 : 0.0; },
     [](std::int64_t x, std::int64_t, int, double s) { return normalCdf((x + 0.5) / s); }},
    {"StepInY", [](std::int64_t, std::int64_t y, int) { return y >= 3 ? 1.0 : 0.0; },
     [](std::int64_t, std::int64_t y, int, double s) { return normalCdf((y - 3 + 0.5) / s); }},
    // Outside 0..1 on purpose: nothing may clamp.
    {"Constant", [](std::int64_t, std::int64_t, int c) { return 1.75 - c; },
     [](std::int64_t, std::int64_t, int c, double) { return 1.75 - c; }},
    {"Impulse", [](std::int64_t x, std::int64_t y, int) { return x == 1 && y == -2 ? 1.0 : 0.0; },
     [](std::int64_t x, std::int64_t y, int, double s) { return pixelGaussian(x - 1, s) * pixelGaussian(y + 2, s); }},
    // A one-pixel line is the input where a blur that works on a reduced grid shows its seams.
    {"Line", [](std::int64_t x, std::int64_t, int) { return x == 2 ? 1.0 : 0.0; },
     [](std::int64_t x, std::int64_t, int, double s) { return pixelGaussian(x - 2, s); }},
    {"Noise", unitNoise, nullptr},
};

void PrintTo(const BlurPattern& pattern, std::ostream* os) { *os << pattern.name; }

// The reference blur of `pattern` over `out`, separably in double precision, with the
// Gaussian cut where its tail is below 1e-9.
std::vector<double> convolveExactly(Pattern pattern, double sigma, const PixelRect& out) {
  const auto r = static_cast<std::int64_t>(std::ceil(6 * sigma)) + 1;
  std::vector<double> g(2 * r + 1);
  for (std::int64_t i = -r; i <= r; ++i) g[i + r] = pixelGaussian(i, sigma);
  const std::int64_t rows = out.height + 2 * r;
  std::vector<double> across(rows * out.width * 4, 0.0), result(out.area() * 4, 0.0);
  for (std::int64_t j = 0; j < rows; ++j)
    for (std::int64_t x = 0; x < out.width; ++x)
      for (int c = 0; c < 4; ++c)
        for (std::int64_t i = -r; i <= r; ++i)
          across[(j * out.width + x) * 4 + c] += g[i + r] * pattern(out.x + x + i, out.y - r + j, c);
  for (std::int64_t y = 0; y < out.height; ++y)
    for (std::int64_t x = 0; x < out.width; ++x)
      for (int c = 0; c < 4; ++c)
        for (std::int64_t j = -r; j <= r; ++j)
          result[(y * out.width + x) * 4 + c] += g[j + r] * across[((y + r + j) * out.width + x) * 4 + c];
  return result;
}

// Tiles handed to compute() read an input of their own holding exactly inputRegion(tile) and
// NaN beyond it, as far as a reduced cell could stray.
constexpr std::int64_t kNaNBorder = 64;

void blurTile(const GaussianBlur& blur, const Image& input, const Image& out, const PixelRect& tile) {
  Image own(input, blur.inputRegion(tile), kNaNBorder);
  blur.compute(own.tile, out.tile.view(tile));
}

// As a render runs it: prepare() over the whole output, then compute() on tiles in parallel.
// The tiles are small and odd-sized so every kernel meets ragged edges.
void blurLikeARender(GaussianBlur& blur, const Image& input, const Image& out) {
  blur.prepare(out.tile.rect);
  const GaussianBlur& shared = blur;
  forEachStrip(out.tile.rect, 7, [&](const PixelRect& strip, int) {
    for (std::int64_t x = strip.x; x < strip.maxX(); x += 13)
      blurTile(shared, input, out, strip.intersected({x, strip.y, 13, strip.height}));
  });
}

class BlurAccuracy : public testing::TestWithParam<std::tuple<double, BlurPattern>> {};

// One 8-bit level (1/255) in float is at least as strict as one level after rounding.
TEST_P(BlurAccuracy, WithinOneLevelOfTheExactBlur) {
  const auto [sigma, pattern] = GetParam();
  GaussianBlur blur(sigma);
  // Not centred on the pattern, and wider than the largest reduction factor, so every phase
  // of an output pixel within a reduced cell is checked.
  const PixelRect out{-19, -16, 41, 37};
  const auto r = static_cast<std::int64_t>(std::ceil(3 * sigma));
  EXPECT_TRUE(blur.inputRegion(out).contains(out.grownBy(r, r)));

  Image input(blur.inputRegion(out), pattern.input);
  Image result(out);
  blurLikeARender(blur, input, result);

  std::vector<double> reference;
  if (!pattern.exact) reference = convolveExactly(pattern.input, sigma, out);
  struct {
    double error = 0, got = 0, want = 0;
    std::int64_t x = 0, y = 0;
    int c = 0;
  } worst;
  for (std::int64_t y = out.y; y < out.maxY(); ++y)
    for (std::int64_t x = out.x; x < out.maxX(); ++x)
      for (int c = 0; c < 4; ++c) {
        double want = pattern.exact ? pattern.exact(x, y, c, sigma)
                                    : reference[((y - out.y) * out.width + (x - out.x)) * 4 + c];
        double got = result.at(x, y)[c], error = std::abs(got - want);
        if (!(error <= worst.error)) worst = {std::isnan(error) ? INFINITY : error, got, want, x, y, c};
      }
  EXPECT_LE(worst.error * 255, 1.0) << "worst at (" << worst.x << ", " << worst.y << ") channel " << worst.c
                                    << ": got " << worst.got << ", want " << worst.want;
}

INSTANTIATE_TEST_SUITE_P(
    SigmasAndPatterns, BlurAccuracy,
    testing::Combine(testing::Values(0.5, 1.0, 1.5, 2.2, 3.99, 4.0, 4.99, 5.0, 7.4, 12.6, 18.0, 33.0, 50.0),
                     testing::ValuesIn(kBlurPatterns)),
    [](const auto& info) {
      std::string sigma = (std::ostringstream() << std::get<0>(info.param)).str();
      for (char& ch : sigma)
        if (ch == '.') ch = '_';
      return "Sigma" + sigma + std::get<1>(info.param).name;
    });

TEST(GaussianBlur, NoPositiveSigmaCopiesExactly) {
  for (double sigma : {0.0, -3.0, std::nan("")}) {
    SCOPED_TRACE(sigma);
    GaussianBlur blur(sigma);
    const PixelRect out{-2, 5, 9, 4};
    EXPECT_EQ(blur.inputRegion(out), out);
    Image input(out, [](std::int64_t x, std::int64_t y, int c) { return (x - 3.5 * y + c) / 7.0; });
    Image result(out);
    blurLikeARender(blur, input, result);
    for (std::int64_t y = out.y; y < out.maxY(); ++y)
      for (std::int64_t x = out.x; x < out.maxX(); ++x)
        for (int c = 0; c < 4; ++c) ASSERT_EQ(result.at(x, y)[c], input.at(x, y)[c]);
  }
}

// A large blur reserves its reduced grid over prepare()'s region only; a strip beyond it would
// read and write past the grid, so it must be refused instead.
TEST(GaussianBlur, ComputeBeyondThePreparedRegionThrows) {
  GaussianBlur blur(20);
  const PixelRect roi{0, 0, 32, 32};
  Image input(blur.inputRegion(roi.united({0, 0, 32, 200})), unitNoise);
  Image result({0, 0, 32, 200});
  EXPECT_THROW(blur.compute(input.tile, result.tile.view({0, 16, 32, 16})), std::logic_error);
  blur.prepare(roi);
  EXPECT_NO_THROW(blur.compute(input.tile, result.tile.view({0, 16, 32, 16})));
  EXPECT_THROW(blur.compute(input.tile, result.tile.view({0, 150, 32, 16})), std::logic_error);
}

// A large blur computes its reduced grid cell by cell as outputs ask for it. Whichever tile
// comes first, and whichever thread, each cell must come out as it does when one compute()
// covers the whole region: shrunk only from input the asking tile was given, computed once,
// and never read while another thread is still writing it.
TEST(GaussianBlur, TilesInAnyOrderFromTwoThreadsMatchOneWholeCompute) {
  for (double sigma : {5.0, 18.0, 50.0}) {
    SCOPED_TRACE(sigma);
    const PixelRect out{-37, -21, 301, 227};
    GaussianBlur whole(sigma);
    Image input(whole.inputRegion(out), unitNoise);
    Image want(out);
    whole.prepare(out);
    whole.compute(input.tile, want.tile);

    // Rows of tiles in a random order, each row taken along: the two threads then mostly work
    // on neighbouring tiles, which share cells, so a race has a chance to show. Each order is
    // one more chance.
    std::vector<std::int64_t> rows;
    for (std::int64_t y = out.y; y < out.maxY(); y += 19) rows.push_back(y);
    for (unsigned order = 0; order < 4; ++order) {
      std::shuffle(rows.begin(), rows.end(), std::mt19937(order));
      std::vector<PixelRect> tiles;
      for (std::int64_t y : rows)
        for (std::int64_t x = out.x; x < out.maxX(); x += 23) tiles.push_back(out.intersected({x, y, 23, 19}));
      GaussianBlur tiled(sigma);
      tiled.prepare(out);
      Image got(out);
      std::atomic<std::size_t> next = 0;
      auto work = [&] {
        for (std::size_t i; (i = next++) < tiles.size();) blurTile(tiled, input, got, tiles[i]);
      };
      std::thread helper(work);
      work();
      helper.join();

      for (std::int64_t y = out.y; y < out.maxY(); ++y)
        for (std::int64_t x = out.x; x < out.maxX(); ++x)
          for (int c = 0; c < 4; ++c)
            ASSERT_EQ(got.at(x, y)[c], want.at(x, y)[c]) << "order " << order << " at " << x << ", " << y << " channel " << c;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Disk minimum

// A single dark pixel in a bright field comes out as the disk itself: offset (i, j) is dark
// exactly when i*i + j*j <= radius^2. Rows are listed top (largest j) first.
struct Footprint {
  double radius;
  std::vector<std::string> rows;
};

const Footprint kFootprints[] = {
    {0.99, {"#"}},
    {-3, {"#"}},  // radius^2 would be 9: a negative radius must still copy
    {1, {".#.", "###", ".#."}},
    {1.4, {".#.", "###", ".#."}},  // (1, 1) needs 2 > 1.96
    {1.5, {"###", "###", "###"}},  // 2 <= 2.25
    {2, {"..#..", ".###.", "#####", ".###.", "..#.."}},
    {2.3, {".###.", "#####", "#####", "#####", ".###."}},  // (2, 1): 5 <= 5.29
    {3, {"...#...", ".#####.", ".#####.", "#######", ".#####.", ".#####.", "...#..."}},
};

TEST(MorphologyMinimum, DarkPixelComesOutAsTheDisk) {
  for (const Footprint& disk : kFootprints) {
    SCOPED_TRACE(disk.radius);
    const auto reach = static_cast<std::int64_t>(disk.rows.size()) / 2;
    const PixelRect out{-reach - 2, -reach - 2, 2 * reach + 5, 2 * reach + 5};
    EXPECT_EQ(morphologyInputRegion(out, disk.radius), out.grownBy(reach, reach));
    Image input(morphologyInputRegion(out, disk.radius),
                [](std::int64_t x, std::int64_t y, int) { return x == 0 && y == 0 ? -0.5 : 1.5; });
    Image result(out);
    morphologyMinimum(input.tile, result.tile, disk.radius);
    for (std::int64_t y = out.y; y < out.maxY(); ++y)
      for (std::int64_t x = out.x; x < out.maxX(); ++x) {
        bool inDisk = std::abs(x) <= reach && std::abs(y) <= reach && disk.rows[reach - y][reach + x] == '#';
        for (int c = 0; c < 4; ++c) ASSERT_EQ(result.at(x, y)[c], inDisk ? -0.5f : 1.5f) << x << ", " << y;
      }
  }
}

// Random values against the minimum taken straight from the definition: each channel its own
// noise; a noisy patch in a flat field, whose flat columns are filled without the minimum being
// taken; opaque grey noise, a mask, whose minimum is taken on its grey values alone.
TEST(MorphologyMinimum, MatchesBruteForceOnNoise) {
  auto noise = [](std::int64_t x, std::int64_t y, int c) { return 3 * unitNoise(x, y, c) - 1; };
  auto patch = [](std::int64_t x, std::int64_t y, int c) { return x >= 40 && x < 44 ? 3 * unitNoise(x, y, c) - 1 : 0.7; };
  auto mask = [](std::int64_t x, std::int64_t y, int c) { return c < 3 ? unitNoise(x, y, 0) : 1.0; };
  for (auto [radius, values] : {std::pair{1.0, +noise}, {2.5, +noise}, {6.0, +noise}, {6.5, +noise}, {9.7, +noise},
                                {1.0, +patch}, {6.0, +patch}, {1.0, +mask}, {6.5, +mask}}) {
    SCOPED_TRACE(radius);
    const PixelRect out{-7, 3, 137, 19};
    Image input(morphologyInputRegion(out, radius), values);
    Image result(out);
    morphologyMinimum(input.tile, result.tile, radius);
    const auto r = static_cast<std::int64_t>(radius);
    for (std::int64_t y = out.y; y < out.maxY(); ++y)
      for (std::int64_t x = out.x; x < out.maxX(); ++x)
        for (int c = 0; c < 4; ++c) {
          float want = INFINITY;
          for (std::int64_t j = -r; j <= r; ++j)
            for (std::int64_t i = -r; i <= r; ++i)
              if (double(i * i + j * j) <= radius * radius) want = std::min(want, input.at(x + i, y + j)[c]);
          ASSERT_EQ(result.at(x, y)[c], want) << x << ", " << y << " channel " << c;
        }
  }
}

// ---------------------------------------------------------------------------------------------
// Resampling

// Runs resample with an input of its own holding exactly resampleInputRegion().
void resampleFrom(const Image& input, const Image& out, AxisMap x, AxisMap y, const PixelRect& source) {
  PixelRect region = resampleInputRegion(out.tile.rect, x, y, source);
  ASSERT_TRUE(source.contains(region));
  Image own(input, region);
  resample(own.tile, out.tile, x, y, source);
}

double gradient(std::int64_t x, std::int64_t y, int c) { return 0.01 * x - 0.003 * y + 0.25 * c; }

TEST(Resample, WholePixelShiftsAndMirrorsCopyExactly) {
  struct Case {
    AxisMap x, y;
  };
  const Case cases[] = {
      {{1, 0}, {1, 0}}, {{1, 7}, {1, -4}}, {{-1, 30}, {1, 2}}, {{1, -3}, {-1, 25}}, {{-1, 29}, {-1, 21}}};
  const PixelRect source{0, 0, 30, 20};
  Image input(source, gradient);
  // Input pixel k lands on output pixel k + offset, or offset - k - 1 when mirrored.
  auto back = [](std::int64_t o, AxisMap m) {
    return m.scale > 0 ? o - std::int64_t(m.offset) : std::int64_t(m.offset) - o - 1;
  };
  auto firstOut = [](AxisMap m, std::int64_t lo, std::int64_t hi) {
    return m.scale > 0 ? lo + std::int64_t(m.offset) : std::int64_t(m.offset) - hi;
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.x.scale << "x+" << k.x.offset << ", " << k.y.scale << "y+" << k.y.offset);
    const PixelRect out{firstOut(k.x, source.x, source.maxX()), firstOut(k.y, source.y, source.maxY()),
                        source.width, source.height};
    Image result(out);
    resampleFrom(input, result, k.x, k.y, source);
    for (std::int64_t y = out.y; y < out.maxY(); ++y)
      for (std::int64_t x = out.x; x < out.maxX(); ++x)
        for (int c = 0; c < 4; ++c)
          ASSERT_EQ(result.at(x, y)[c], input.at(back(x, k.x), back(y, k.y))[c]) << x << ", " << y;
  }
}

// A linear ramp survives resampling: bilinear sampling reproduces it exactly, and so does
// averaging whole pixels. An output pixel must then equal the ramp at the point its centre maps
// back to, which pins down the pixel-centre convention, the weights and mirroring. (The shrinking
// cases cover whole input pixels; a partly covered pixel would weigh its centre off the middle.)
TEST(Resample, ReproducesALinearRamp) {
  struct Case {
    AxisMap x, y;
  };
  const Case cases[] = {{{3, 2.3}, {0.25, 2.25}},
                        {{0.5, -1.5}, {1.78, -1.7}},
                        {{1, 0.37}, {-0.5, 3}},
                        {{-2, 4.1}, {1, 0}}};
  const PixelRect source{-60, -50, 200, 150};
  Image input(source, gradient);
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.x.scale << "x+" << k.x.offset << ", " << k.y.scale << "y+" << k.y.offset);
    const PixelRect out{-10, -8, 20, 16};
    Image result(out);
    resampleFrom(input, result, k.x, k.y, source);
    for (std::int64_t oy = out.y; oy < out.maxY(); ++oy)
      for (std::int64_t ox = out.x; ox < out.maxX(); ++ox) {
        // gradient() at the input position, in pixel-index units (centre of pixel k is k + 1/2).
        double u = (ox + 0.5 - k.x.offset) / k.x.scale - 0.5, v = (oy + 0.5 - k.y.offset) / k.y.scale - 0.5;
        for (int c = 0; c < 4; ++c)
          ASSERT_NEAR(result.at(ox, oy)[c], 0.01 * u - 0.003 * v + 0.25 * c, 1e-5) << ox << ", " << oy;
      }
  }
}

// Shrinking averages what each output pixel covers, so a one-pixel checkerboard turns grey instead of
// beating into a moire pattern. Four to one covers whole stripe pairs (exactly grey); 1920 to 1080
// leaves at most 0.11 of a pixel over 1.78 unbalanced.
TEST(Resample, ShrinkingAFineCheckerboardGivesFlatGrey) {
  struct Case {
    bool alongX;
    double scale, tolerance;
  };
  for (const Case& k : {Case{true, 0.25, 1e-6}, Case{false, 0.25, 1e-6}, Case{true, 0.5625, 0.063},
                        Case{false, 0.5625, 0.063}}) {
    SCOPED_TRACE(testing::Message() << (k.alongX ? "x " : "y ") << k.scale);
    const PixelRect source{0, 0, 4000, 64};
    const PixelRect rotated = k.alongX ? source : PixelRect{0, 0, 64, 4000};
    Image input(rotated, [](std::int64_t x, std::int64_t y, int) { return double((x + y) % 2); });
    AxisMap shrink{k.scale, 0}, keep{1, 0};
    const PixelRect out = k.alongX ? PixelRect{0, 0, std::int64_t(4000 * k.scale), 64}
                                   : PixelRect{0, 0, 64, std::int64_t(4000 * k.scale)};
    Image result(out);
    resampleFrom(input, result, k.alongX ? shrink : keep, k.alongX ? keep : shrink, rotated);
    for (std::int64_t y = out.y; y < out.maxY(); ++y)
      for (std::int64_t x = out.x; x < out.maxX(); ++x) ASSERT_NEAR(result.at(x, y)[0], 0.5, k.tolerance) << x << ", " << y;
  }
}

// Output pixels on and just past the source's mapped edges must see only the source (resampleFrom
// hands over nothing else), so an opaque picture stays opaque to its edges.
TEST(Resample, EdgesStaySolid) {
  const PixelRect source{10, 20, 48, 27};
  Image input(source, [](std::int64_t, std::int64_t, int) { return 1.0; });
  for (double scale : {1.78, 0.5625, -1.3, -0.37}) {
    SCOPED_TRACE(scale);
    const AxisMap map{scale, 5.5};
    auto mapped = [&](std::int64_t lo, std::int64_t hi) {
      double a = scale * lo + map.offset, b = scale * hi + map.offset;
      return std::pair{std::int64_t(std::floor(std::min(a, b))), std::int64_t(std::ceil(std::max(a, b)))};
    };
    auto [x0, x1] = mapped(source.x, source.maxX());
    auto [y0, y1] = mapped(source.y, source.maxY());
    const PixelRect out = PixelRect{x0, y0, x1 - x0, y1 - y0}.grownBy(2, 2);
    Image result(out);
    resampleFrom(input, result, map, map, source);
    for (std::int64_t y = out.y; y < out.maxY(); ++y)
      for (std::int64_t x = out.x; x < out.maxX(); ++x) ASSERT_NEAR(result.at(x, y)[3], 1.0f, 1e-6) << x << ", " << y;
  }
}

TEST(Resample, EmptySourceGivesTransparency) {
  const PixelRect out{0, 0, 5, 3};
  EXPECT_TRUE(resampleInputRegion(out, {2, 0}, {2, 0}, {4, 4, 0, 0}).isEmpty());
  Image result(out);
  resample(Tile{}, result.tile, {2, 0}, {2, 0}, {4, 4, 0, 0});
  for (std::int64_t y = out.y; y < out.maxY(); ++y)
    for (std::int64_t x = out.x; x < out.maxX(); ++x)
      for (int c = 0; c < 4; ++c) ASSERT_EQ(result.at(x, y)[c], 0.0f);
}

}  // namespace
}  // namespace imaging
