// The imaging engine through its public face: each operation against values worked out by
// hand or in double precision, renders in both formats, PNG files and picture decoding.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <immintrin.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "imaging/context.h"
#include "imaging/image.h"
#include "imaging/node.h"
#include "imaging/parallel.h"

using namespace imaging;

namespace {

const Context straight({.outputPremultiplied = false});
const std::string shared = QUELM_SHARED_DIR;

// Straight 8-bit RGBA pixels, top row first, kept alive with the image made over them.
struct Picture {
  int width, height;
  std::shared_ptr<std::vector<std::uint8_t>> bytes;
  Image image;
};

Picture picture(int width, int height, const std::function<Color(int x, int yUp)>& colour) {
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(std::size_t(width) * height * 4);
  for (int row = 0; row < height; ++row)
    for (int x = 0; x < width; ++x) {
      Color c = colour(x, height - 1 - row);
      std::uint8_t* p = bytes->data() + (std::size_t(row) * width + x) * 4;
      p[0] = std::uint8_t(std::lround(c.red * 255)), p[1] = std::uint8_t(std::lround(c.green * 255));
      p[2] = std::uint8_t(std::lround(c.blue * 255)), p[3] = std::uint8_t(std::lround(c.alpha * 255));
    }
  Image image = Image::fromPixels({bytes->data(), width, height, std::ptrdiff_t{4} * width, PixelFormat::rgba8});
  return {width, height, bytes, image};
}

Color grey(float v) { return {v, v, v, 1}; }

// The same pixels over `frame`, through a mirror there and back: nothing the renderer could
// know of the image's pixels without computing them (flat, opaque) shows any more.
Image hiddenBehindMirrors(const Image& i, const Rect& frame) {
  Affine mirror{-1, 0, 0, 1, frame.width, 0};
  return i.transformed(mirror).cropped(frame).transformed(mirror);
}

// Renders to straight 8-bit RGBA and reads back pixel (x, y) in image coordinates.
struct Rendered {
  Rect bounds;
  std::vector<std::uint8_t> bytes;
  const std::uint8_t* at(int x, int y) const {
    int width = int(bounds.width), height = int(bounds.height);
    return bytes.data() + (std::size_t(height - 1 - (y - int(bounds.y))) * width + (x - int(bounds.x))) * 4;
  }
  int red(int x, int y) const { return at(x, y)[0]; }
  int alpha(int x, int y) const { return at(x, y)[3]; }
};

Rendered render(const Image& image, const Rect& bounds, const Context& context = straight) {
  Rendered r{bounds, std::vector<std::uint8_t>(std::size_t(bounds.width) * std::size_t(bounds.height) * 4)};
  context.render(image, r.bytes.data(), std::ptrdiff_t(bounds.width) * 4, bounds);
  return r;
}

// The yardstick for the blur, in double precision: pixels are little squares, so each
// neighbour weighs the Gaussian's mass over its square.
double exactBlur(const std::function<double(int)>& line, int x, double sigma) {
  auto mass = [&](double from, double to) { return 0.5 * (std::erf(to / (sigma * std::sqrt(2))) - std::erf(from / (sigma * std::sqrt(2)))); };
  int reach = int(std::ceil(8 * sigma));
  double sum = 0;
  for (int i = -reach; i <= reach; ++i) sum += mass(i - 0.5, i + 0.5) * line(x + i);
  return sum;
}

}  // namespace

TEST(Geometry, ExtentsFollowTheOperations) {
  Image square = picture(10, 20, [](int, int) { return grey(1); }).image;
  struct Case {
    const char* what;
    Image image;
    Rect extent;
  } cases[] = {
      {"a picture", square, {0, 0, 10, 20}},
      {"a colour", Image::color(grey(0.5)), Rect::infinite()},
      {"moved", square.transformed(Affine::translation(-3, 4)), {-3, 4, 10, 20}},
      {"stretched", square.transformed(Affine::scale(2.5, 0.5)), {0, 0, 25, 10}},
      {"turned a quarter", square.transformed({0, 1, -1, 0, 0, 0}), {-20, 0, 20, 10}},
      {"cropped", square.cropped({5, -5, 100, 10}), {5, 0, 5, 5}},
      {"clamped", square.clampedToExtent(), Rect::infinite()},
      {"blurred", square.gaussianBlurred(2), {-6, -6, 22, 32}},
      {"eroded", square.morphologyMinimum(3), {0, 0, 10, 20}},
      {"alpha one", square.settingAlphaOne({1, 1, 2, 2}), {1, 1, 2, 2}},
      {"summed", square.addedTo(square.transformed(Affine::translation(10, 0))), {0, 0, 20, 20}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.image.extent(), c.extent) << c.what;
}

TEST(Geometry, CropOfAGradientIsPixelExact) {
  Picture p = picture(64, 48, [](int x, int y) { return Color{x / 63.0f, y / 47.0f, 0.5f, 1}; });
  for (Rect crop : {Rect{0, 0, 64, 48}, Rect{5, 7, 20, 11}, Rect{63, 47, 1, 1}}) {
    Rendered r = render(p.image.cropped(crop), crop);
    for (int y = int(crop.y); y < int(crop.maxY()); ++y)
      for (int x = int(crop.x); x < int(crop.maxX()); ++x) {
        const std::uint8_t* expected = p.bytes->data() + (std::size_t(47 - y) * 64 + x) * 4;
        ASSERT_EQ(0, std::memcmp(r.at(x, y), expected, 4)) << x << "," << y;
      }
  }
}

TEST(Geometry, TransformsPlacePixels) {
  // A 2x2 picture with one distinct corner: red at the top left.
  Picture p = picture(2, 2, [](int x, int y) { return x == 0 && y == 1 ? Color{1, 0, 0, 1} : grey(0); });
  struct Case {
    const char* what;
    Affine transform;
    int redX, redY;  // where the red pixel lands, after moving the result to the origin
  } cases[] = {
      {"identity", {}, 0, 1},
      {"mirrored left-right", {-1, 0, 0, 1, 2, 0}, 1, 1},
      {"quarter turn anticlockwise", {0, 1, -1, 0, 2, 0}, 0, 0},
      {"quarter turn clockwise", {0, -1, 1, 0, 0, 2}, 1, 1},
      {"half turn", {-1, 0, 0, -1, 2, 2}, 1, 0},
      {"moved a whole pixel right", {1, 0, 0, 1, 1, 0}, 1, 1},
      {"moved a whole pixel down", {1, 0, 0, 1, 0, -1}, 0, 0},
  };
  for (const auto& c : cases) {
    Rendered r = render(p.image.transformed(c.transform), {0, 0, 2, 2});
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 2; ++x)
        EXPECT_EQ(r.red(x, y), x == c.redX && y == c.redY ? 255 : 0) << c.what << " at " << x << "," << y;
  }
}

TEST(Geometry, StretchingKeepsSolidEdgesAndShrinkingDoesNotAlias) {
  // Enlarging interpolates between centres and keeps the border opaque.
  Picture ramp = picture(2, 1, [](int x, int) { return grey(x); });
  Rendered wide = render(ramp.image.transformed(Affine::scale(4, 1)), {0, 0, 8, 1});
  int expected[] = {0, 0, 32, 96, 159, 223, 255, 255};
  for (int x = 0; x < 8; ++x) {
    EXPECT_NEAR(wide.red(x, 0), expected[x], 1) << x;
    EXPECT_EQ(wide.alpha(x, 0), 255) << x;
  }
  // One-pixel stripes shrunk by 4: the average, not a sample of the stripes.
  Picture stripes = picture(400, 4, [](int x, int) { return grey(x % 2); });
  Rendered narrow = render(stripes.image.transformed(Affine::scale(0.25, 1)), {0, 0, 100, 4});
  for (int x = 0; x < 100; ++x) EXPECT_NEAR(narrow.red(x, 1), 128, 1) << x;
}

TEST(Blur, MatchesAnExactGaussian) {
  // A step edge at x = 150 and a constant, each clamped so the blur sees no picture border;
  // rendered in many tiles, so the tiles share the blur's work between them and both threads.
  constexpr int kWidth = 300, kHeight = 90, kEdge = 150;
  Picture step = picture(kWidth, kHeight, [](int x, int) { return grey(x < kEdge ? 1 : 0); });
  Picture flat = picture(kWidth, kHeight, [](int, int) { return Color{0.2f, 0.6f, 0.9f, 1}; });
  for (double sigma : {0.5, 1.5, 5.0, 18.0, 40.0}) {
    Rendered r = render(step.image.clampedToExtent().gaussianBlurred(sigma), {0, 0, kWidth, kHeight});
    Rendered c = render(flat.image.clampedToExtent().gaussianBlurred(sigma), {0, 0, kWidth, kHeight});
    std::vector<double> exact(kWidth);
    for (int x = 0; x < kWidth; ++x) exact[x] = exactBlur([](int i) { return i < kEdge ? 1.0 : 0.0; }, x, sigma);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        ASSERT_LE(std::fabs(r.red(x, y) - 255 * exact[x]), 1.0) << "sigma " << sigma << " at " << x << "," << y;
        ASSERT_EQ(c.at(x, y)[1], 153) << "sigma " << sigma << " at " << x << "," << y;
      }
    for (int x = kEdge - 10; x < kEdge + 10; ++x)  // a step blurs into the error function
      EXPECT_NEAR(r.red(x, 1), 255 * 0.5 * std::erfc((x + 0.5 - kEdge) / (sigma * std::sqrt(2))), 1.0);
  }
}

TEST(Blur, OfAColourIsTheColourAndOfNothingIsNothing) {
  Rendered c = render(Image::color({0.31f, 0.5f, 0.7f, 1}).gaussianBlurred(18), {-1000, 5000, 7, 3});
  for (int y = 5000; y < 5003; ++y)
    for (int x = -1000; x < -993; ++x) EXPECT_EQ(c.red(x, y), 79);
  // So is a single pixel repeated without end, however wide the blur.
  Picture one = picture(1, 1, [](int, int) { return Color{0.31f, 0.5f, 0.7f, 1}; });
  for (double sigma : {1.5, 1e9, double(INFINITY)}) {
    Rendered r = render(one.image.clampedToExtent().gaussianBlurred(sigma), {-3, -2, 7, 5});
    for (int y = -2; y < 3; ++y)
      for (int x = -3; x < 4; ++x) EXPECT_EQ(r.red(x, y), 79) << "sigma " << sigma << " at " << x << "," << y;
  }
  // The picture's transparent surroundings blur in: its corner loses opacity.
  Picture white = picture(50, 50, [](int, int) { return grey(1); });
  Rendered corner = render(white.image.gaussianBlurred(3), {0, 0, 1, 1});
  EXPECT_NEAR(corner.alpha(0, 0), 255 * 0.57 * 0.57, 4);
}

TEST(Blur, WiderThanTheImageSumsOverAllOfIt) {
  // From a sigma of a third of the picture's longer side the blur sums over the whole picture
  // instead of cutting its kernel off, so any sigma costs the same: against the exact blur,
  // clamped to the extent or not, and in the limit of an infinite sigma, where a clamped
  // picture's edges count half each along each axis (the mean of its four corners) and an
  // unclamped one spreads to nothing.
  constexpr int w = 40, h = 24;
  auto colour = [](int x, int y) { return Color{(x * 7 % 40) / 40.0f, y / 23.0f, 0.5f, x < 20 ? 1.0f : 0.4f}; };
  Picture p = picture(w, h, colour);
  auto premultiplied = [&](int x, int y, int c) {  // as the 8-bit memory holds it
    const std::uint8_t* b = p.bytes->data() + (std::size_t(h - 1 - y) * w + x) * 4;
    return b[c] / 255.0 * (c == 3 ? 1 : b[3] / 255.0);
  };
  const Rect region{-6, -5, w + 12, h + 10};
  for (bool clamped : {true, false}) {
    Image source = clamped ? p.image.clampedToExtent() : p.image;
    for (double sigma : {14.0, 30.0, 1e9, double(INFINITY)}) {
      std::vector<std::uint16_t> halves(std::size_t(region.width * region.height) * 4);
      straight.renderHalf(source.gaussianBlurred(sigma).cropped(region), halves.data(), std::ptrdiff_t(region.width) * 8,
                          region);
      for (int c = 0; c < 4; ++c) {
        auto at = [&](int x, int y) {
          if (clamped) return premultiplied(std::clamp(x, 0, w - 1), std::clamp(y, 0, h - 1), c);
          return x < 0 || y < 0 || x >= w || y >= h ? 0.0 : premultiplied(x, y, c);
        };
        // The exact blur one axis after the other: each picture row across first.
        std::vector<std::vector<double>> across(h, std::vector<double>(std::size_t(region.width)));
        for (int j = 0; j < h && sigma < 1e6; ++j)
          for (int x = int(region.x); x < region.maxX(); ++x)
            across[j][std::size_t(x - region.x)] = exactBlur([&](int i) { return at(i, j); }, x, sigma);
        auto acrossAt = [&](int x, int j) {
          if (!clamped && (j < 0 || j >= h)) return 0.0;
          return across[std::clamp(j, 0, h - 1)][std::size_t(x - region.x)];
        };
        for (int y = int(region.y); y < region.maxY(); ++y)
          for (int x = int(region.x); x < region.maxX(); ++x) {
            double want;
            if (sigma > 1e6)
              want = clamped ? (at(0, 0) + at(w - 1, 0) + at(0, h - 1) + at(w - 1, h - 1)) / 4 : 0;
            else
              want = exactBlur([&](int j) { return acrossAt(x, j); }, y, sigma);
            std::size_t i = (std::size_t(region.maxY() - 1 - y) * std::size_t(region.width) + std::size_t(x - region.x)) * 4;
            ASSERT_NEAR(_cvtsh_ss(halves[i + c]), want, 2e-3)
                << (clamped ? "clamped, " : "") << "sigma " << sigma << " at " << x << "," << y << " component " << c;
          }
      }
    }
  }
}

TEST(Morphology, ADiskWiderThanMostOfThePictureCostsNoMoreThanThePicture) {
  // One dark pixel in a bright 300x200 field: a pixel comes out dark where its disk holds the
  // dark one, transparent where its disk reaches past the picture (outside counts as
  // transparent), bright where it lies deeper inside than the radius. From a radius of the
  // diagonal every disk holds the whole picture; up to an infinite radius each runs in the time
  // of the picture. The dark pixel is 0, or -0.5 from half floats, the minimum then of the
  // transparency and the picture.
  constexpr int w = 300, h = 200, dotX = 150, dotY = 60;
  for (float dark : {0.0f, -0.5f}) {
    std::vector<std::uint16_t> memory(std::size_t(w) * h * 4);
    for (int row = 0; row < h; ++row)
      for (int x = 0; x < w; ++x) {
        float v = x == dotX && h - 1 - row == dotY ? dark : 1.0f;
        for (int c = 0; c < 4; ++c) memory[(std::size_t(row) * w + x) * 4 + c] = _cvtss_sh(c == 3 ? 1.0f : v, 0);
      }
    Image field = Image::fromPixels({memory.data(), w, h, w * 8, PixelFormat::rgbaHalf});
    for (double radius : {80.0, 150.5, 1000.0, 1e9, 1e308, double(INFINITY)}) {
      std::vector<std::uint16_t> halves(memory.size());
      straight.renderHalf(field.morphologyMinimum(radius), halves.data(), w * 8, {0, 0, w, h});
      const auto reach = std::int64_t(std::min(radius, 1e6));
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          bool holdsDot = double(x - dotX) * (x - dotX) + double(y - dotY) * (y - dotY) <= radius * radius;
          bool reachesPast = std::min({x + 1, w - x, y + 1, h - y}) <= reach;
          float colour = std::min(holdsDot ? dark : 1.0f, reachesPast ? 0.0f : 1.0f), alpha = reachesPast ? 0 : 1;
          const std::uint16_t* p = &halves[(std::size_t(h - 1 - y) * w + x) * 4];
          ASSERT_EQ(_cvtsh_ss(p[1]), colour) << "dark " << dark << ", radius " << radius << " at " << x << "," << y;
          ASSERT_EQ(_cvtsh_ss(p[3]), alpha) << "dark " << dark << ", radius " << radius << " at " << x << "," << y;
        }
    }
  }
}

TEST(Morphology, MinimumOverADisk) {
  // A single dark pixel in a bright field (without end, so no border) comes out as the disk.
  Picture dot = picture(21, 21, [](int x, int y) { return grey(x == 10 && y == 10 ? 0 : 1); });
  for (double radius : {0.5, 1.0, 1.5, 2.5, 4.2}) {
    Rendered r = render(dot.image.clampedToExtent().morphologyMinimum(radius), {0, 0, 21, 21});
    for (int y = 0; y < 21; ++y)
      for (int x = 0; x < 21; ++x) {
        bool inDisk = (x - 10) * (x - 10) + (y - 10) * (y - 10) <= radius * radius;
        EXPECT_EQ(r.red(x, y), inDisk ? 0 : 255) << "radius " << radius << " at " << x << "," << y;
      }
  }
  // Outside the extent counts as transparent: the border is eaten away by the radius.
  Rendered edge = render(dot.image.morphologyMinimum(2), {0, 10, 3, 1});
  EXPECT_EQ(edge.alpha(0, 10), 0);
  EXPECT_EQ(edge.alpha(1, 10), 0);
  EXPECT_EQ(edge.alpha(2, 10), 255);
}

TEST(PointWise, ColourOperations) {
  Picture half = picture(1, 1, [](int, int) { return Color{0.8f, 0.4f, 0.2f, 0.5f}; });
  Picture opaque = picture(1, 1, [](int, int) { return Color{0.6f, 0.2f, 1.0f, 1}; });
  Picture dark = picture(1, 1, [](int, int) { return Color{0.2f, 0.6f, 0.0f, 1}; });
  ColorMatrix swap;  // red and blue trade places; alpha from green
  swap.red = {0, 0, 1, 0}, swap.blue = {1, 0, 0, 0}, swap.alpha = {0, 1, 0, 0}, swap.bias = {0.1f, 0, 0, 0};
  ColorMatrix weighted, rest;  // alpha 0.25 and 0.75 whatever the colour
  weighted.alpha = {0, 0, 0, 0}, weighted.bias = {0, 0, 0, 0.25f};
  rest.alpha = {0, 0, 0, 0}, rest.bias = {0, 0, 0, 0.75f};
  ColorMatrix opacity, fainter;  // grey of the alpha, opaque; alpha halved, colour kept
  opacity.red = opacity.green = opacity.blue = {0, 0, 0, 1}, opacity.alpha = {}, opacity.bias = {0, 0, 0, 1};
  fainter.alpha = {0, 0, 0, 0.5f};
  Image maskHalf = Image::color(grey(0.5));
  struct Case {
    const char* what;
    Image image;
    int rgba[4];  // straight 8-bit result
  } cases[] = {
      {"colour matrix on straight colour", half.image.colorMatrix(swap), {77, 102, 204, 102}},
      {"weighted keeps the colour", opaque.image.colorMatrix(weighted), {153, 51, 255, 64}},
      {"opacity as an opaque grey", half.image.colorMatrix(opacity), {128, 128, 128, 255}},
      {"alpha scaled, colour kept", half.image.colorMatrix(fainter), {204, 102, 51, 64}},
      {"gamma on colour only", half.image.gammaAdjusted(2), {163, 41, 10, 128}},
      {"clamp", opaque.image.colorClamped({0.3f, 0.3f, 0.3f, 0}, {0.5f, 1, 1, 1}), {128, 77, 255, 255}},
      {"blend by the mask's value", opaque.image.blendedWithMask(dark.image, maskHalf), {102, 102, 128, 255}},
      {"difference of opaque colours", opaque.image.differenceFrom(dark.image), {102, 102, 255, 255}},
      {"addition of weights adding up to 1", dark.image.colorMatrix(weighted).addedTo(opaque.image.colorMatrix(rest)),
       {128, 77, 191, 255}},
      {"unpremultiply then alpha one", half.image.unpremultiplied().settingAlphaOne({0, 0, 1, 1}), {204, 102, 51, 255}},
  };
  for (const auto& c : cases) {
    Rendered r = render(c.image, {0, 0, 1, 1});
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(r.at(0, 0)[i], c.rgba[i], 1) << c.what << " component " << i;
  }
}

TEST(PointWise, AVanishingOpacityHasNoColourForABlendToSpread) {
  // An opacity below float's normal range, as far out as a blur's tail reaches: unpremultiplied,
  // it has no colour (as for 0), not infinities that a blend by a mask of 0 turns into NaN.
  // Two pixels, so the mask is not one value the blend could take as a whole.
  ColorMatrix vanishing;
  vanishing.alpha = {}, vanishing.bias = {0, 0, 0, 1e-39f};
  Picture colour = picture(2, 1, [](int, int) { return Color{0.6f, 0.2f, 1.0f, 1}; });
  Picture dark = picture(2, 1, [](int, int) { return Color{0.2f, 0.6f, 0.0f, 1}; });
  Picture mask = picture(2, 1, [](int x, int) { return grey(x); });
  const Rect both{0, 0, 2, 1};
  Image faint = colour.image.colorMatrix(vanishing).cropped(both);  // the crop keeps it stored, not folded
  Rendered r = render(faint.unpremultiplied().settingAlphaOne(both).blendedWithMask(dark.image, mask.image), both);
  EXPECT_EQ(r.at(0, 0)[0], 51);
  EXPECT_EQ(r.at(0, 0)[1], 153);
  EXPECT_EQ(r.at(0, 0)[3], 255);
  EXPECT_EQ(r.at(1, 0)[3], 255);
}

TEST(PointWise, FiltersOnStraightColourInARunMatchThemOneByOne) {
  // Consecutive filters on straight colour are applied in one run; a crop between each keeps
  // them apart. Colours and opacities vary across the picture, some pixels fully transparent,
  // whose colour must stay lost even where a later filter gives them opacity again.
  Picture p = picture(37, 5, [](int x, int y) {
    return Color{x / 36.0f, 1 - x / 36.0f, y / 4.0f, y == 0 ? 0.0f : 0.25f * y};
  });
  ColorMatrix mix, noAlpha, opaque, gain;
  mix.red = {0.9f, 0.1f, 0, 0}, mix.bias = {0, 0.05f, 0, 0};
  noAlpha.alpha = {0, 0, 0, 0};
  opaque.alpha = {0, 0, 0, 0}, opaque.bias = {0, 0, 0, 1};
  gain.red = {1.5f, 0, 0, 0}, gain.alpha = {0, 0, 0, 0.5f};
  using Step = std::function<Image(const Image&)>;
  Step matrix = [&](const Image& i) { return i.colorMatrix(mix); };
  Step clamp = [](const Image& i) { return i.colorClamped({0.1f, 0.1f, 0.1f, 0}, {0.8f, 0.9f, 1, 1}); };
  Step clampUp = [](const Image& i) { return i.colorClamped({0, 0, 0, 0.5f}, {1, 1, 1, 1}); };
  Step gamma = [](const Image& i) { return i.gammaAdjusted(6); };
  Step gamma2 = [](const Image& i) { return i.gammaAdjusted(0.45); };
  Step clear = [&](const Image& i) { return i.colorMatrix(noAlpha); };
  Step restore = [&](const Image& i) { return i.colorMatrix(opaque); };
  Step fainter = [&](const Image& i) { return i.colorMatrix(gain); };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  } cases[] = {
      {"matrix, clamp, gamma", {matrix, clamp, gamma}},
      {"gamma, matrix, gamma", {gamma2, matrix, gamma}},
      {"alpha taken away, then given back", {clear, restore}},
      {"alpha taken away, then clamped up", {fainter, clear, clampUp}},
      {"a diagonal, then opacity from alpha", {fainter, restore, matrix}},
  };
  const Rect bounds{0, 0, 37, 5};
  for (const auto& c : cases) {
    Image run = p.image, oneByOne = p.image;
    for (const Step& step : c.steps) run = step(run), oneByOne = step(oneByOne).cropped({-1, -1, 100, 100});
    Rendered a = render(run, bounds), b = render(oneByOne, bounds);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 37; ++x)
        for (int i = 0; i < 4; ++i) ASSERT_NEAR(a.at(x, y)[i], b.at(x, y)[i], 1) << c.what << " at " << x << "," << y;
  }
}

TEST(Render, BlendTakesEachSideWhereTheMaskIsFlatAndMixesElsewhere) {
  // Within one tile the mask is 0, then a ramp, then 1: flat columns copy one side, the ramp
  // blends.
  auto m = [](int x) { return x < 100 ? 0.0f : x < 140 ? float(x - 100) / 40 : 1.0f; };
  Picture mask = picture(300, 40, [&](int x, int) { return grey(m(x)); });
  Image red = Image::color({1, 0, 0, 1}), blue = Image::color({0, 0, 1, 1});
  Rendered r = render(red.blendedWithMask(blue, mask.image), {0, 0, 300, 40});
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 300; ++x) {
      ASSERT_NEAR(r.red(x, y), 255 * m(x), 1) << x << "," << y;
      ASSERT_NEAR(r.at(x, y)[2], 255 * (1 - m(x)), 1) << x << "," << y;
    }
}

TEST(Render, FlatRegionsComeOutAsComputedPixelByPixel) {
  // A mask that is 0 left of a step and 1 from there, with a soft patch, drives a chain like
  // the cut-out's. Where its sources are one value over a region the renderer works that value
  // out once; the same chain over a copy of the sources that no longer shows they are flat (a
  // mirror there and back) computes every pixel, and must give the same bytes. A step at 254
  // lies on a cell boundary of the buffered curve, so the blur reads across flat cells of
  // different values; at 256 it lies between two blocks of the mask's memory, each all one
  // value but not the same one. Each recipe is rendered twice, so the second render reads what
  // the first learnt of the memory.
  for (int step : {254, 256}) {
    auto soft = [](int x, int y) { return x >= 420 && x < 450 && y >= 70 && y < 80; };
    Picture mask = picture(640, 100, [&](int x, int y) { return grey(soft(x, y) ? 0.5f : x < step ? 0 : 1); });
    Picture colours = picture(640, 100, [](int x, int y) { return Color{x / 639.0f, y / 99.0f, 0.3f, 1}; });
    const Rect frame{0, 0, 640, 100};
    auto recipe = [&](const Image& m, const Image& picture) {
      Image curve = m.gammaAdjusted(2).gammaAdjusted(3).gammaAdjusted(0.5);
      Image inner = picture.blendedWithMask(Image::color({}).cropped(frame), curve.morphologyMinimum(2));
      Image soft = curve.clampedToExtent().gaussianBlurred(1.5).cropped(frame);
      return inner.addedTo(soft.colorMatrix({})).differenceFrom(soft).settingAlphaOne(frame);
    };
    Image flat = recipe(mask.image, colours.image);
    Image perPixel = recipe(hiddenBehindMirrors(mask.image, frame), hiddenBehindMirrors(colours.image, frame));
    Rendered a = render(flat, frame), b = render(perPixel, frame);
    for (int y = 0; y < 100; ++y)
      for (int x = 0; x < 640; ++x)
        ASSERT_EQ(0, std::memcmp(a.at(x, y), b.at(x, y), 4)) << step << ": " << x << "," << y;
    std::vector<std::uint16_t> halvesA(640 * 100 * 4), halvesB(halvesA.size());
    straight.renderHalf(flat, halvesA.data(), 640 * 8, frame);
    straight.renderHalf(perPixel, halvesB.data(), 640 * 8, frame);
    EXPECT_EQ(halvesA, halvesB) << step;
  }
}

TEST(Render, FlatCellsOfABufferAreWrittenWhereverABlurReadsThem) {
  // A mask's own chain: eroded into a buffer that the blur reads with a margin. Where a blur
  // tile's margin mixes flat cells (0 on the left, 1 on the right) with a soft slanting edge, the
  // flat cells' pixels are written out for it, part by part as far as the margin reaches;
  // every pixel must match the same chain computed pixel by pixel. The mask comes as 8-bit
  // memory and as grey values, as a segmentation gives it.
  constexpr int width = 640, height = 200;
  auto value = [](int x, int y) { return std::clamp((x - 300 - y / 2) / 20.0f, 0.0f, 1.0f); };
  Picture bytes = picture(width, height, [&](int x, int y) { return grey(value(x, y)); });
  std::shared_ptr<float[]> greys(new float[width * height]);
  for (int row = 0; row < height; ++row)
    for (int x = 0; x < width; ++x) greys[row * width + x] = value(x, height - 1 - row);
  const Rect frame{0, 0, width, height};
  auto chain = [&](const Image& m) {
    return m.morphologyMinimum(1).clampedToExtent().gaussianBlurred(1.5).cropped(frame);
  };
  for (const Image& mask : {bytes.image, Image::fromGray(greys, width, height)}) {
    std::vector<std::uint16_t> flat(width * height * 4), perPixel(flat.size());
    straight.renderHalf(chain(mask), flat.data(), width * 8, frame);
    straight.renderHalf(chain(hiddenBehindMirrors(mask, frame)), perPixel.data(), width * 8, frame);
    EXPECT_EQ(flat, perPixel);
  }
}

TEST(Render, OpaqueRegionsComeOutAsComputedPixelByPixel) {
  // An opaque picture with a half-transparent patch, through filters that leave opaque pixels
  // as they are (its straight colour made opaque) or read alpha alone (its opacity as a mask).
  // Where the picture is opaque the renderer hands it on or works the value out once; behind
  // mirrors every pixel is computed. The two differ at most by the rounding of dividing by an
  // alpha of 1.
  auto patch = [](int x, int y) { return x >= 300 && x < 340 && y >= 10 && y < 30; };
  Picture colours =
      picture(640, 40, [&](int x, int y) { return Color{x / 639.0f, y / 39.0f, 0.3f, patch(x, y) ? 0.5f : 1}; });
  const Rect frame{0, 0, 640, 40};
  ColorMatrix opacity;
  opacity.red = opacity.green = opacity.blue = {0, 0, 0, 1};
  opacity.alpha = {0, 0, 0, 0};
  opacity.bias = {0, 0, 0, 1};
  const std::function<Image(const Image&)> recipes[] = {
      [&](const Image& p) { return p.unpremultiplied().settingAlphaOne(frame).cropped(frame); },
      [&](const Image& p) {
        return Image::color({1, 0.5f, 0, 1}).blendedWithMask(Image::color({}), p.colorMatrix(opacity));
      },
  };
  for (const auto& recipe : recipes) {
    Rendered a = render(recipe(colours.image), frame);
    Rendered b = render(recipe(hiddenBehindMirrors(colours.image, frame)), frame);
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 640; ++x)
        for (int i = 0; i < 4; ++i) ASSERT_NEAR(a.at(x, y)[i], b.at(x, y)[i], 1) << x << "," << y;
  }
}

TEST(Render, EachRecipeMatchesItsFormulaWithAndWithoutShortcuts) {
  // Each recipe rendered with the default schedule and with the reference one (every shortcut
  // off), both against the formula. Over tiles of 128x32 the pictures have flat and opaque
  // blocks, so the default takes its shortcuts: flat cells, blends whose mask is 0 or 1,
  // opaque input handed on, remembered tiles, reduced grids for blurs from sigma 4. The two
  // schedules give the same bytes, except where the default blurs on a reduced grid: that
  // blur is as close to the formula as the full one, not equal to it.
  constexpr int w = 300, h = 90;
  const Rect frame{0, 0, w, h};
  using Levels = std::array<double, 4>;  // straight 8-bit, unrounded
  auto bytesOf = [](const Picture& p, int x, int y) {
    const std::uint8_t* b = p.bytes->data() + (std::size_t(p.height - 1 - y) * p.width + x) * 4;
    return Levels{double(b[0]), double(b[1]), double(b[2]), double(b[3])};
  };
  auto inFrame = [&](int x, int y) { return x >= 0 && y >= 0 && x < w && y < h; };
  Picture ramp = picture(w, h, [](int x, int y) { return Color{x / 299.0f, y / 89.0f, 0.5f, 1}; });
  Picture step = picture(w, h, [](int x, int) { return grey(x < 150 ? 1 : 0); });
  Picture dot = picture(w, h, [](int x, int y) { return grey(x == 150 && y == 45 ? 0 : 1); });
  auto patch = [](int x, int y) { return x >= 200 && x < 240 && y >= 40 && y < 60; };
  Picture patchy = picture(w, h, [&](int x, int y) { return Color{x / 299.0f, 0.4f, 0.8f, patch(x, y) ? 0.5f : 1}; });
  auto m = [](int x) { return x < 100 ? 0.0 : x < 140 ? (x - 100) / 40.0 : 1.0; };
  Picture ramped = picture(w, h, [&](int x, int) { return grey(float(m(x))); });
  ColorMatrix opacity;  // the alpha as an opaque grey
  opacity.red = opacity.green = opacity.blue = {0, 0, 0, 1}, opacity.alpha = {}, opacity.bias = {0, 0, 0, 1};

  auto blurredStep = [&](double sigma, int edge) {
    std::vector<double> line(w);
    for (int x = 0; x < w; ++x) line[x] = 255 * exactBlur([&](int i) { return i < edge ? 1.0 : 0.0; }, x, sigma);
    return [line](int x, int) { return Levels{line[x], line[x], line[x], 255}; };
  };
  // A disk of the given radius around the dot, eaten away where it reaches past the picture.
  auto eroded = [&](double radius) {
    return [radius](int x, int y) {
      const auto reach = std::int64_t(radius);
      if (std::min({x + 1, w - x, y + 1, h - y}) <= reach) return Levels{0, 0, 0, 0};
      const double v = double(x - 150) * (x - 150) + double(y - 45) * (y - 45) <= radius * radius ? 0 : 255;
      return Levels{v, v, v, 255};
    };
  };
  struct Case {
    std::string what;
    Image image;
    std::function<Levels(int x, int y)> want;
    double levels;        // how far from the formula
    bool reducedGrid;     // blurs on a reduced grid by default
  } cases[] = {
      {"a gradient cropped", ramp.image.cropped({5, 7, 200, 60}),
       [&](int x, int y) { return x >= 5 && x < 205 && y >= 7 && y < 67 ? bytesOf(ramp, x, y) : Levels{}; }, 0, false},
      {"a gradient moved by whole pixels", ramp.image.transformed(Affine::translation(7, -3)),
       [&](int x, int y) { return inFrame(x - 7, y + 3) ? bytesOf(ramp, x - 7, y + 3) : Levels{}; }, 0, false},
      {"a step blurred, sigma 1.5", step.image.clampedToExtent().gaussianBlurred(1.5), blurredStep(1.5, 150), 1, false},
      {"a step blurred, sigma 5", step.image.clampedToExtent().gaussianBlurred(5), blurredStep(5, 150), 1, true},
      {"a step blurred, sigma 18", step.image.clampedToExtent().gaussianBlurred(18), blurredStep(18, 150), 1, true},
      {"a step eroded, then blurred", step.image.clampedToExtent().morphologyMinimum(2).gaussianBlurred(1.5),
       blurredStep(1.5, 148), 1, false},
      {"a colour blurred", Image::color({0.31f, 0.5f, 0.7f, 1}).gaussianBlurred(18),
       [](int, int) { return Levels{0.31 * 255, 0.5 * 255, 0.7 * 255, 255}; }, 0.5, true},
      {"a dot eroded, radius 4.2", dot.image.morphologyMinimum(4.2), eroded(4.2), 0, false},
      {"a dot eroded, radius 80", dot.image.morphologyMinimum(80), eroded(80), 0, false},
      {"a blend by a mask of 0, a ramp and 1", Image::color({1, 0, 0, 1}).blendedWithMask(Image::color({0, 0, 1, 1}), ramped.image),
       [&](int x, int) { return Levels{255 * m(x), 0, 255 * (1 - m(x)), 255}; }, 1, false},
      {"opaque but for a patch, made opaque", patchy.image.unpremultiplied().settingAlphaOne(frame),
       [&](int x, int y) { Levels b = bytesOf(patchy, x, y); return Levels{b[0], b[1], b[2], 255}; }, 1, false},
      {"opacity as the mask of a blend",
       Image::color({1, 0.5f, 0, 1}).blendedWithMask(Image::color({}), patchy.image.colorMatrix(opacity)),
       [&](int x, int y) { return Levels{255, 127.5, 0, bytesOf(patchy, x, y)[3]}; }, 1, false},
      {"gamma on straight colour", ramp.image.gammaAdjusted(2),
       [&](int x, int y) { Levels b = bytesOf(ramp, x, y); return Levels{b[0] * b[0] / 255, b[1] * b[1] / 255, b[2] * b[2] / 255, 255}; },
       1, false},
  };
  const Context shortcuts({.outputPremultiplied = false}),
      reference({.outputPremultiplied = false, .schedule = Schedule::reference()});
  for (const auto& c : cases) {
    Rendered fast = render(c.image, frame, shortcuts), slow = render(c.image, frame, reference);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const Levels want = c.want(x, y);
        for (int i = 0; i < 4; ++i) {
          ASSERT_LE(std::fabs(fast.at(x, y)[i] - want[i]), c.levels) << c.what << " at " << x << "," << y << "[" << i << "]";
          ASSERT_LE(std::fabs(slow.at(x, y)[i] - want[i]), c.levels)
              << c.what << ", reference, at " << x << "," << y << "[" << i << "]";
        }
        if (!c.reducedGrid) {
          ASSERT_EQ(0, std::memcmp(fast.at(x, y), slow.at(x, y), 4)) << c.what << ": schedules differ at " << x << "," << y;
        }
      }
  }
}

TEST(Render, StraightOrPremultipliedBytesAndHalfFloatsTakenBack) {
  Picture p = picture(2, 1, [](int x, int) { return Color{0.5f, 1, 0, x == 0 ? 0.5f : 0.001f}; });
  Rendered s = render(p.image, {0, 0, 2, 1});
  EXPECT_EQ((std::vector<int>{s.at(0, 0)[0], s.at(0, 0)[1], s.at(0, 0)[3]}), (std::vector<int>{128, 255, 128}));
  EXPECT_EQ((std::vector<int>(s.at(1, 0), s.at(1, 0) + 4)), (std::vector<int>{0, 0, 0, 0})) << "alpha rounds to 0";
  Rendered pm = render(p.image, {0, 0, 2, 1}, Context({.outputPremultiplied = true}));
  EXPECT_EQ(pm.at(0, 0)[0], 64);

  // Half floats come back exactly as computed, premultiplied and unclamped.
  Image bright = Image::color({2, 0.25f, 0, 0.5f}).cropped({0, 0, 3, 2});
  std::vector<std::uint16_t> halves(3 * 2 * 4);
  straight.renderHalf(bright, halves.data(), 3 * 8, {0, 0, 3, 2});
  Image back = Image::fromPixels({halves.data(), 3, 2, 3 * 8, PixelFormat::rgbaHalf});
  std::vector<std::uint16_t> again(halves.size());
  straight.renderHalf(back, again.data(), 3 * 8, {0, 0, 3, 2});
  EXPECT_EQ(halves, again);
  Rendered fromHalves = render(back.colorMatrix({}), {0, 0, 3, 2});
  EXPECT_EQ(fromHalves.at(2, 1)[1], 64);
}

TEST(Render, OpaqueGreysKeptAsOneHalfFloatReadBackAsWholePixels) {
  // 37 across: whole groups of eight and a tail; flat columns and a ramp, so that both what
  // the memory learns of its blocks and the pixel reads are crossed.
  constexpr int w = 37, h = 5;
  const Rect frame{0, 0, w, h};
  auto ramp = [](int x, int y) { return x < 12 ? 1.0f : float(x * 7 + y) / 300; };
  struct Case {
    const char* name;
    std::function<Color(int x, int y)> colour;
    bool grey;
  } cases[] = {
      {"opaque greys", [&](int x, int y) { return grey(ramp(x, y)); }, true},
      {"one colour pixel", [&](int x, int y) { return x == 30 && y == 2 ? Color{1, 0.5f, 0.5f, 1} : grey(ramp(x, y)); }, false},
      {"half opaque", [&](int x, int y) { return Color{ramp(x, y), ramp(x, y), ramp(x, y), 0.5f}; }, false},
      {"clear", [](int, int) { return Color{0, 0, 0, 0}; }, false},
  };
  for (const Case& c : cases) {
    Picture p = picture(w, h, c.colour);
    const Image& image = p.image;
    std::vector<std::uint16_t> whole(w * h * 4), greys(w * h);
    straight.renderHalf(image, whole.data(), w * 8, frame);
    ASSERT_EQ(straight.renderGreyHalf(image, greys.data(), w * 2, frame), c.grey) << c.name;
    if (!c.grey) continue;
    Image fromWhole = Image::fromPixels({whole.data(), w, h, w * 8, PixelFormat::rgbaHalf});
    Image fromGreys = Image::fromPixels({greys.data(), w, h, w * 2, PixelFormat::greyHalf});
    for (auto chain : {+[](const Image& i) { return i; }, +[](const Image& i) { return i.morphologyMinimum(2.5); }}) {
      std::vector<std::uint16_t> a(whole.size()), b(whole.size());
      straight.renderHalf(chain(fromWhole), a.data(), w * 8, frame);
      straight.renderHalf(chain(fromGreys), b.data(), w * 8, frame);
      EXPECT_EQ(a, b) << c.name;
    }
  }
}

TEST(Render, GreysComputeWhatFourFloatPixelsDo) {
  // A mask read from grey memory is carried one grey a pixel through the operations that
  // have a grey form; the same mask read from four-float memory is not. Every recipe of a
  // mask's kind must come out the same to the bit both ways, under either schedule, whether
  // rendered as pixels or as greys (where a grey render refuses, both refuse). 146x100: mask
  // tiles of 64x32 and whole ones of 128x32, with flat blocks of 0 and 1, an edge, and values
  // that vary from pixel to pixel; the last tile's columns are read in rows of greys that end
  // partway through a vector.
  constexpr int w = 146, h = 100;
  const Rect frame{0, 0, w, h};
  auto grey = [](int x, int y, int seed) -> float {
    if (x < 40 || y > 90) return 0;
    if (x > 110) return 1;
    return float((x * 37 + y * 11 + seed * 13) % 65) / 64;  // whole in half floats
  };
  struct Memory {
    std::vector<std::uint16_t> greys, pixels;
    Image asGreys, asPixels, asValues;
  };
  auto memory = [&](int seed) {
    Memory m{std::vector<std::uint16_t>(w * h), std::vector<std::uint16_t>(w * h * 4), {}, {}, {}};
    std::shared_ptr<float[]> values(new float[w * h]);
    for (int row = 0; row < h; ++row)
      for (int x = 0; x < w; ++x) {
        values[row * w + x] = grey(x, h - 1 - row, seed);
        const std::uint16_t half = _cvtss_sh(values[row * w + x], 0), one = _cvtss_sh(1.0f, 0);
        m.greys[row * w + x] = half;
        std::uint16_t* p = &m.pixels[(row * w + x) * 4];
        p[0] = p[1] = p[2] = half, p[3] = one;
      }
    m.asGreys = Image::fromPixels({m.greys.data(), w, h, w * 2, PixelFormat::greyHalf});
    m.asPixels = Image::fromPixels({m.pixels.data(), w, h, w * 8, PixelFormat::rgbaHalf});
    m.asValues = Image::fromGray(values, w, h);
    return m;
  };
  const Memory mask = memory(0), previous = memory(5);
  Picture photo = picture(w, h, [](int x, int y) { return Color{x / 145.0f, y / 99.0f, 0.3f, x % 17 == 0 ? 0.5f : 1}; });
  const Image clear = Image::color({}).cropped(frame);

  auto matrix = [](float gain, float bias, float alpha) {
    ColorMatrix m;
    m.red = {gain, 0, 0, 0}, m.green = {0, gain, 0, 0}, m.blue = {0, 0, gain, 0};
    m.alpha = {}, m.bias = {bias, bias, bias, alpha};
    return m;
  };
  auto clamp01 = [](const Image& i) { return i.colorClamped({0, 0, 0, 0}, {1, 1, 1, 1}); };
  ColorMatrix opacity, mix;
  opacity.red = opacity.green = opacity.blue = {0, 0, 0, 1}, opacity.alpha = {}, opacity.bias = {0, 0, 0, 1};
  mix.red = mix.green = mix.blue = {0.25f, 0.5f, 0.125f, 0.1f}, mix.bias = {0.05f, 0.05f, 0.05f, 0};
  using Recipe = std::function<Image(const Image& mask, const Image& previous)>;
  struct Case {
    const char* what;
    Recipe recipe;
  } cases[] = {
      {"refined", [&](const Image& m, const Image&) {
         return m.morphologyMinimum(1).clampedToExtent().gaussianBlurred(1.5).settingAlphaOne(frame).cropped(frame);
       }},
      {"smoothed", [&](const Image& m, const Image& p) {
         Image sum = m.colorMatrix(matrix(1, 0, 0.7f)).addedTo(p.colorMatrix(matrix(1, 0, 0.3f))).settingAlphaOne(frame);
         Image keep = clamp01(m.differenceFrom(p).colorMatrix(matrix(-5, 3, 1)));
         return sum.blendedWithMask(m, keep).cropped(frame);
       }},
      {"refined more", [&](const Image& m, const Image&) {
         return m.morphologyMinimum(2.5).clampedToExtent().gaussianBlurred(2).settingAlphaOne(frame).cropped(frame);
       }},
      {"a core", [&](const Image& m, const Image&) { return m.morphologyMinimum(3).settingAlphaOne(frame).gammaAdjusted(6); }},
      {"an edge weight", [&](const Image& m, const Image&) { return clamp01(m.colorMatrix(matrix(35.7f, -34.6f, 1))); }},
      {"a power and opacity", [&](const Image& m, const Image&) { return m.gammaAdjusted(2.5).colorMatrix(opacity); }},
      {"components mixed", [&](const Image& m, const Image&) { return clamp01(m.colorMatrix(mix)); }},
      {"eroded, opacity unknown", [&](const Image& m, const Image&) { return m.morphologyMinimum(2); }},
      {"blurred past its edges", [&](const Image& m, const Image&) { return m.gaussianBlurred(2); }},
      {"partly outside", [&](const Image& m, const Image&) { return m.cropped({10, 0, 100, h}); }},
      {"a picture cut out", [&](const Image& m, const Image&) { return photo.image.blendedWithMask(clear, m); }},
      {"a picture by a core and an edge", [&](const Image& m, const Image&) {
         Image core = m.morphologyMinimum(3).settingAlphaOne(frame).gammaAdjusted(6);
         Image edge = clamp01(m.colorMatrix(matrix(35.7f, -34.6f, 1)));
         return photo.image.blendedWithMask(clear, core).blendedWithMask(photo.image, edge);
       }},
  };
  const Context shortcuts({.outputPremultiplied = true}),
      reference({.outputPremultiplied = true, .schedule = Schedule::reference()});
  for (const Case& c : cases)
    for (const Context* context : {&shortcuts, &reference}) {
      SCOPED_TRACE(std::string(c.what) + (context == &reference ? ", reference schedule" : ""));
      const Image fromPixels = c.recipe(mask.asPixels, previous.asPixels);
      std::vector<std::uint16_t> want(w * h * 4), wantGreys(w * h);
      context->renderHalf(fromPixels, want.data(), w * 8, frame);
      const bool grey = context->renderGreyHalf(fromPixels, wantGreys.data(), w * 2, frame);
      for (const Image& fromGreys : {c.recipe(mask.asGreys, previous.asGreys), c.recipe(mask.asValues, previous.asValues)}) {
        std::vector<std::uint16_t> got(w * h * 4), gotGreys(w * h);
        context->renderHalf(fromGreys, got.data(), w * 8, frame);
        EXPECT_EQ(got, want) << "as pixels";
        EXPECT_EQ(context->renderGreyHalf(fromGreys, gotGreys.data(), w * 2, frame), grey);
        if (grey) {
          EXPECT_EQ(gotGreys, wantGreys) << "as greys";
        }
      }
    }
}

namespace {

// Grey 0.5 over 512x256, computed slowly, except where a region holds the pixel `failing`:
// computing that throws, after a pause long enough for the other threads to come and wait on
// its cell. Whichever thread meets it (the scheduler decides), the others are waiting on a cell
// that will never be done. An area kind with no inputs, so the renderer keeps it in a buffer of
// cells.
class FailsAtOnePixel final : public Node {
 public:
  explicit FailsAtOnePixel(Point failing) : Node(NodeKind::area, {0, 0, 512, 256}), failing_(failing) {}

  void compute(const Tile& out, std::span<const Tile>, const RenderState*) const override {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const PixelRect& r = out.rect;
    if (failing_.x >= r.x && failing_.x < r.maxX() && failing_.y >= r.y && failing_.y < r.maxY()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      throw std::runtime_error("no memory left, say");
    }
    for (std::int64_t y = r.y; y < r.maxY(); ++y)
      for (std::int64_t x = r.x; x < r.maxX(); ++x) std::fill_n(out.at(x, y), 4, 0.5f);
  }

 private:
  Point failing_;
};

}  // namespace

TEST(Parallel, RunsCoverTheRangeOnceInPiecesOfAtMostTheGrain) {
  // Each index visited exactly once, whether the grain divides the count or leaves a short last
  // run, and nothing at all for an empty range; from inside a run, nested calls do the same.
  struct Case { std::int64_t count, grain; };
  for (Case c : {Case{0, 4}, Case{1, 16}, Case{7, 1}, Case{64, 16}, Case{1001, 16}, Case{5, 0}}) {
    std::vector<std::atomic<int>> visits(c.count);
    std::atomic<bool> tooLong{false};
    parallelFor(c.count, c.grain, [&](std::int64_t begin, std::int64_t end, int) {
      if (end - begin > std::max<std::int64_t>(1, c.grain) || begin >= end) tooLong = true;
      for (std::int64_t i = begin; i < end; ++i) ++visits[i];
    });
    EXPECT_FALSE(tooLong) << c.count << " by " << c.grain;
    for (std::int64_t i = 0; i < c.count; ++i) ASSERT_EQ(visits[i], 1) << c.count << " by " << c.grain << " at " << i;
  }
  std::vector<std::atomic<int>> visits(6 * 5);
  parallelFor(6, [&](std::int64_t outer, int) {
    parallelFor(5, [&](std::int64_t inner, int) { ++visits[outer * 5 + inner]; });
  });
  for (const auto& v : visits) EXPECT_EQ(v, 1);
}

TEST(Render, AComputeThatThrowsEndsTheRenderWithItsException) {
  // Other threads wait for the failing cell: of a buffer (read by a blur's margin), or of a
  // large blur's grid (shrunk from that buffer). They must fail with it, the render must end on
  // its caller with the exception, and the next render must work. The failing cell lies first
  // in a strip, in the middle, or last, so that either thread may be the one to meet it.
  const Rect frame{0, 0, 512, 256};
  const std::pair<const char*, double> blurs[] = {{"buffer cell", 2}, {"blur grid", 12}};
  for (Point failing : {Point{0, 0}, Point{300, 130}, Point{511, 255}}) {
    for (const auto& [what, sigma] : blurs) {
      auto rendering = std::async(std::launch::async, [&, sigma = sigma] {
        Image image(std::make_shared<FailsAtOnePixel>(failing));
        render(image.clampedToExtent().gaussianBlurred(sigma), frame);
      });
      if (rendering.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << what << " failing at " << failing.x << "," << failing.y << ": the render hangs";
        std::_Exit(1);
      }
      try {
        rendering.get();
        ADD_FAILURE() << what << ": the render ended without the exception";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "no memory left, say") << what;
      }
    }
  }
  Picture p = picture(512, 256, [](int, int) { return grey(0.5f); });
  EXPECT_EQ(render(p.image.clampedToExtent().gaussianBlurred(12), frame).red(300, 100), 128);
}

TEST(Render, FarAwayRegionsOfInfiniteImagesCostOnlyTheirSize) {
  // Clamped and blurred: infinite, yet a small render far out is a small render.
  Picture p = picture(4, 4, [](int x, int) { return grey(x / 3.0f); });
  Rendered r = render(p.image.clampedToExtent().gaussianBlurred(30), {1e9, -1e9, 2, 2});
  EXPECT_EQ(r.red(1000000000, -1000000000), 255);
}

TEST(PngFile, WrittenAndReadBack) {
  auto dir = std::filesystem::temp_directory_path() / ("imaging-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  Picture p = picture(5, 3, [](int x, int y) { return Color{x / 4.0f, y / 2.0f, 0.5f, x == 0 ? 0.0f : 0.5f}; });
  std::string path = (dir / "out file ü.png").string();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(straight.writeTo(fd, p.image, {}), std::nullopt);
  EXPECT_EQ(straight.writeTo(fd, Image::color(grey(1)), {}), "the image has no finite size");
  close(fd);
  auto back = Image::fromFile(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->extent(), (Rect{0, 0, 5, 3}));
  Rendered a = render(p.image, {0, 0, 5, 3}), b = render(*back, {0, 0, 5, 3});
  EXPECT_EQ(a.bytes, b.bytes);
  std::filesystem::remove_all(dir);
}

// Mean colours of the four 48-pixel corner squares of a picture at the origin: top left, top
// right, bottom left, bottom right.
std::vector<std::array<double, 3>> cornerColours(const Image& picture) {
  constexpr int side = 48;
  const Rect e = picture.extent();
  const Rendered r = render(picture, e);
  std::vector<std::array<double, 3>> means;
  for (double y0 : {e.height - side, 0.0})
    for (double x0 : {0.0, e.width - side}) {
      std::array<double, 3> sum{};
      for (int y = int(y0); y < int(y0) + side; ++y)
        for (int x = int(x0); x < int(x0) + side; ++x)
          for (int c = 0; c < 3; ++c) sum[c] += r.at(x, y)[c] / double(side * side);
      means.push_back(sum);
    }
  return means;
}

TEST(PictureFile, DecodedUprightInSRGBOrNotAtAll) {
  struct Case {
    const char* file;
    double width, height;  // 0: not decodable
    bool p05 = false;  // the p05 photo, stored upright or turned with the orientation to undo it
  } cases[] = {
      {"photos/p05_people_two_standing.jpg", 1126, 661, true},
      {"edge/e01_exif_orientation_6.jpg", 1126, 661, true},
      {"edge/e01_exif_orientation_8.jpg", 1126, 661, true},
      {"edge/e01_exif_orientation_3.jpg", 1126, 661, true},
      {"edge/e01_png_exif_orientation_6.png", 1126, 661, true},  // in the PNG's eXIf chunk
      {"edge/e04_cmyk.jpg", 910, 1137},
      {"edge/e06_rgb16.png", 512, 512},
      {"edge/e05_gray_alpha.png", 200, 400},
      {"edge/e07_palette_trns_binary.png", 108, 150},
      {"edge/e13_webp_lossy.webp", 1126, 661, true},
      {"edge/e13_heic.heic", 910, 1137},
      {"edge/e11_jpeg_data_named.png", 512, 600},
      {"edge/e10_truncated.png", 0, 0},
      {"edge/e10_truncated_55pct.jpg", 0, 0},
      {"edge/e10_truncated_header_only.jpg", 0, 0},
      {"edge/e10_corrupt_entropy_data.jpg", 0, 0},
      {"edge/e03_progressive_truncated_60pct.jpg", 0, 0},
      {"edge/e11_text_file_named.png", 0, 0},
      {"edge/e11_zero_bytes.png", 0, 0},
      {"edge/does_not_exist.png", 0, 0},
  };
  // The upright photo's corners, measured with another decoder: they differ by 40 levels or
  // more in some channel, so a picture turned the wrong way, or mirrored, puts a wrong colour
  // in at least two of them.
  const std::vector<std::array<double, 3>> upright = {{229, 208, 174}, {188, 166, 138}, {42, 74, 111}, {130, 108, 84}};
  for (const auto& c : cases) {
    auto image = Image::fromFile(shared + "/media/" + c.file);
    if (c.width == 0) {
      EXPECT_FALSE(image) << c.file;
      continue;
    }
    ASSERT_TRUE(image) << c.file;
    EXPECT_EQ(image->extent(), (Rect{0, 0, c.width, c.height})) << c.file;
    if (!c.p05) continue;
    const auto corners = cornerColours(*image);
    for (int k = 0; k < 4; ++k)
      for (int channel = 0; channel < 3; ++channel)
        EXPECT_NEAR(corners[k][channel], upright[k][channel], 6) << c.file << ", corner " << k;
  }
}
