// The matte engine's formulas on small images worked out by hand: the decontamination's edge
// weights and fill, the cut-out, and the temporal smoothing.
#include <gtest/gtest.h>
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/state.h"
#include "matte/matte.h"

using namespace imaging;

namespace {

struct Fixture : ::testing::Test {
  void SetUp() override {
    args = Args{};
    makeRenderingState();
  }
};

// A grey mask from a function of the column.
Image maskOf(int width, int height, const std::function<float(int x)>& value) {
  std::shared_ptr<float[]> v(new float[std::size_t(width) * height]);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) v[std::size_t(y) * width + x] = value(x);
  return Image::fromGray(v, width, height);
}

// A picture from a function of the column, as premultiplied half floats (exact enough for
// the closed forms, and free of 8-bit rounding).
struct Picture {
  std::vector<std::uint16_t> halves;
  Image image;
};
Picture pictureOf(int width, int height, const std::function<Color(int x)>& colour) {
  Picture p;
  p.halves.resize(std::size_t(width) * height * 4);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      Color c = colour(x);
      __m128 v = _mm_setr_ps(c.red * c.alpha, c.green * c.alpha, c.blue * c.alpha, c.alpha);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(&p.halves[(std::size_t(y) * width + x) * 4]),
                       _mm_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
    }
  p.image = Image::fromPixels({p.halves.data(), width, height, std::ptrdiff_t(width) * 8, PixelFormat::rgbaHalf});
  return p;
}

// Straight colour and alpha of one pixel (x, y counted from the bottom), as floats.
Color pixel(const Image& image, const Rect& rect, int x, int y) {
  std::vector<std::uint16_t> halves(std::size_t(rect.width) * rect.height * 4);
  ctx.renderHalf(image, halves.data(), std::ptrdiff_t(rect.width) * 8, rect);
  std::size_t i = (std::size_t(rect.height - 1 - y) * std::size_t(rect.width) + x) * 4;
  float v[4];
  _mm_storeu_ps(v, _mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&halves[i]))));
  if (v[3] == 0) return {0, 0, 0, 0};
  return {v[0] / v[3], v[1] / v[3], v[2] / v[3], v[3]};
}

const Color red{1, 0, 0, 1}, blue{0, 0, 1, 1};

}  // namespace

using Mask = Fixture;

TEST_F(Mask, ColourKeptUnderNoOpacityIsNotSeenByTheNetwork) {
  // A person composite with its left half made transparent, once keeping the colours under
  // alpha 0, once as the zero bytes a render writes there: the network must find the same mask
  // in both, though the person it would see in the kept colours changes the mask.
  const std::string dir = std::string(QUELM_SHARED_DIR) + "/media/matting/m01_person_firefighter_lakeshore/";
  auto composite = Image::fromFile(dir + "composite.png");
  ASSERT_TRUE(composite);
  const int w = 1280, h = 800;
  const Rect rect{0, 0, w, h};
  std::vector<std::uint8_t> whole(std::size_t(w) * h * 4);
  ctx.render(*composite, whole.data(), std::ptrdiff_t(w) * 4, rect);
  std::vector<std::uint8_t> kept = whole, zeroed = whole;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w / 2; ++x) {
      std::size_t i = (std::size_t(y) * w + x) * 4;
      kept[i + 3] = 0;
      std::fill_n(&zeroed[i], 4, 0);
    }
  args.mode = "person";
  prepareMask();
  auto maskOf = [&](std::vector<std::uint8_t>& memory) {
    auto mask = rawMask(Image::fromPixels({memory.data(), w, h, std::ptrdiff_t(w) * 4, PixelFormat::rgba8}), rect);
    std::vector<std::uint8_t> bytes(memory.size());
    if (mask) ctx.render(*mask, bytes.data(), std::ptrdiff_t(w) * 4, rect);
    return bytes;
  };
  std::vector<std::uint8_t> fromKept = maskOf(kept), fromZeroed = maskOf(zeroed);
  EXPECT_TRUE(fromKept == fromZeroed) << "colours under alpha 0 reached the network";
  EXPECT_FALSE(maskOf(whole) == fromZeroed) << "the fixture hides nothing the network would see";
}

using Decontamination = Fixture;

TEST_F(Decontamination, EdgeWeightsMixPictureAndFill) {
  // Columns 0..99: mask 1, all red (the core). Columns 100..103: mask m over blue, too thin to
  // hold any core. Beyond: mask 0, blue. Every core colour is red, so the fill is red, and the
  // band shows w x blue + (1 - w) x red with w = clamp(35.7 m - 34.6).
  const Rect rect{0, 0, 160, 1920};
  struct Case {
    float mask;
    float pictureShare;
  } cases[] = {{1.0f, 1}, {35.6f / 35.7f, 1}, {0.99f, 0.743f}, {0.98f, 0.386f}, {34.6f / 35.7f, 0}, {0.5f, 0}};
  Picture picture = pictureOf(160, 1920, [](int x) { return x < 100 ? red : blue; });
  for (const auto& c : cases) {
    Image mask = maskOf(160, 1920, [&](int x) { return x < 100 ? 1.0f : x < 104 ? c.mask : 0.0f; });
    Color band = pixel(decontaminated(picture.image, mask, rect), rect, 101, 960);
    EXPECT_NEAR(band.blue, c.pictureShare, 0.004) << "mask " << c.mask;
    EXPECT_NEAR(band.red, 1 - c.pictureShare, 0.004) << "mask " << c.mask;
    EXPECT_NEAR(band.alpha, 1, 1e-3);
  }
}

TEST_F(Decontamination, KeepsThePictureWhereTheMaskIsWholeOrNoCoreReaches) {
  const Rect rect{0, 0, 40, 1920};  // tall enough for a core radius of 6
  Picture picture = pictureOf(40, 1920, [](int x) { return Color{x / 40.0f, 0.5f, 0.25f, 1}; });
  // A mask of 1 returns the picture. A subject thinner than the core radius (a cord, a hair)
  // has no core to spread colour from: it keeps its own colours rather than turning black.
  struct Case {
    const char* what;
    std::function<float(int)> mask;
  } cases[] = {{"whole", [](int) { return 1.0f; }}, {"thin", [](int x) { return x >= 16 && x < 19 ? 0.9f : 0.0f; }}};
  for (const auto& c : cases) {
    for (int x : {16, 17, 18}) {
      Color p = pixel(decontaminated(picture.image, maskOf(40, 1920, c.mask), rect), rect, x, 960);
      EXPECT_NEAR(p.red, x / 40.0f, 0.002) << c.what << " column " << x;
      EXPECT_NEAR(p.green, 0.5f, 0.002) << c.what << " column " << x;
    }
  }
}

TEST_F(Decontamination, ChangesColoursNeverOpacity) {
  const Rect rect{0, 0, 200, 100};
  Picture picture = pictureOf(200, 100, [](int x) { return Color{0.2f, 0.8f, 0.4f, x < 150 ? 1.0f : 0.25f}; });
  Image mask = maskOf(200, 100, [](int x) { return x < 120 ? 1.0f : 0.5f; });
  for (int x : {50, 130, 170}) {
    EXPECT_NEAR(pixel(decontaminated(picture.image, mask, rect), rect, x, 50).alpha, x < 150 ? 1 : 0.25f, 0.002) << x;
    for (bool on : {true, false}) {
      args.decontaminate = on;
      float expected = (x < 150 ? 1 : 0.25f) * (x < 120 ? 1 : 0.5f);
      EXPECT_NEAR(pixel(cut(picture.image, mask, rect), rect, x, 50).alpha, expected, 0.002) << x;
    }
  }
}

TEST_F(Decontamination, WidthAloneChangesNothing) {
  // Distances scale with the height only: a wider picture gives the same colours.
  auto sample = [&](int width) {
    const Rect rect{0, 0, double(width), 480};
    Picture picture = pictureOf(width, 480, [](int x) { return x < 30 ? red : x < 34 ? blue : Color{0, 1, 0, 1}; });
    Image mask = maskOf(width, 480, [](int x) { return x < 30 ? 1.0f : x < 34 ? 0.95f : 0.0f; });
    return pixel(decontaminated(picture.image, mask, rect), rect, 40, 240);
  };
  Color narrow = sample(60), wide = sample(200);
  EXPECT_NEAR(narrow.red, wide.red, 1e-3);
  EXPECT_NEAR(narrow.green, wide.green, 1e-3);
}

// The decontamination in double precision, straight from its formula, over 8-bit opaque
// pixels (rows top first) and mask values: the fill is the core colours' two clamped blurs
// summed and divided by their summed opacity, mixed with the picture by the edge weight.
struct ExactDecontamination {
  std::vector<double> colour;   // 3 per pixel, 0..1
  std::vector<double> opacity;  // of the two layers summed
};
ExactDecontamination exactDecontamination(const std::vector<std::uint8_t>& rgba, const std::vector<float>& mask, int w,
                                          int h) {
  const double k = h / 1920.0, radius = k * 6;
  const int reach = int(radius);
  auto at = [&](int x, int y) { return x < 0 || y < 0 || x >= w || y >= h ? 0.0 : double(mask[std::size_t(y) * w + x]); };
  std::vector<double> core(std::size_t(w) * h * 4);  // premultiplied
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double least = 1;
      for (int j = -reach; j <= reach; ++j)
        for (int i = -reach; i <= reach; ++i)
          if (i * i + j * j <= radius * radius) least = std::min(least, at(x + i, y + j));
      const std::size_t p = (std::size_t(y) * w + x) * 4;
      const double c = std::pow(least, 6);
      for (int n = 0; n < 3; ++n) core[p + n] = rgba[p + n] / 255.0 * c;
      core[p + 3] = c;
    }
  // Clamped to the extent, one axis after the other, cut where nothing is left to count.
  auto blurred = [&](double sigma) {
    const int r = int(std::ceil(8 * sigma));
    std::vector<double> g(2 * r + 1);
    for (int i = -r; i <= r; ++i)
      g[i + r] = 0.5 * (std::erfc((i - 0.5) / (sigma * std::sqrt(2))) - std::erfc((i + 0.5) / (sigma * std::sqrt(2))));
    std::vector<double> across(core.size()), both(core.size());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int i = -r; i <= r; ++i)
          for (int n = 0; n < 4; ++n)
            across[(std::size_t(y) * w + x) * 4 + n] += g[i + r] * core[(std::size_t(y) * w + std::clamp(x + i, 0, w - 1)) * 4 + n];
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int i = -r; i <= r; ++i)
          for (int n = 0; n < 4; ++n)
            both[(std::size_t(y) * w + x) * 4 + n] += g[i + r] * across[(std::size_t(std::clamp(y + i, 0, h - 1)) * w + x) * 4 + n];
    return both;
  };
  const std::vector<double> near = blurred(k * 5), far = blurred(k * 18);
  ExactDecontamination exact{std::vector<double>(std::size_t(w) * h * 3), std::vector<double>(std::size_t(w) * h)};
  for (std::size_t i = 0; i < std::size_t(w) * h; ++i) {
    double sum[4];
    for (int n = 0; n < 4; ++n) sum[n] = 0.87 * near[i * 4 + n] + 0.13 * far[i * 4 + n];
    const double weight = std::clamp(35.7 * mask[i] - 34.6, 0.0, 1.0);
    for (int n = 0; n < 3; ++n)
      exact.colour[i * 3 + n] = weight * rgba[i * 4 + n] / 255.0 + (1 - weight) * (sum[3] > 0 ? sum[n] / sum[3] : 0);
    exact.opacity[i] = sum[3];
  }
  return exact;
}

TEST_F(Decontamination, FillFollowsTheExactFormulaOnAPhotosSoftEdge) {
  // A composite of a real cut-out with its true alpha as the mask, stretched to two heights
  // (two distance scales) and cut to the columns around the subject. Where the layers' summed
  // opacity is small the fill divides by it, so a blur's small errors there become large ones
  // in colour: it must stay within 3 levels wherever that opacity is at least 0.001.
  const std::string dir = std::string(QUELM_SHARED_DIR) + "/media/matting/m01_person_firefighter_lakeshore/";
  auto composite = Image::fromFile(dir + "composite.png"), alpha = Image::fromFile(dir + "alpha.png");
  ASSERT_TRUE(composite && alpha);
  for (double scale : {0.5, 1.5}) {
    const int x0 = int(440 * scale), w = int(830 * scale) - x0, h = int(800 * scale);
    const Rect rect{0, 0, double(w), double(h)};
    auto fixture = [&](const Image& image) {  // stretched, moved so that column x0 is the first
      std::vector<std::uint8_t> bytes(std::size_t(w) * h * 4);
      Image moved = image.transformed(Affine::scale(scale, scale)).transformed(Affine::translation(-x0, 0));
      ctx.render(moved.cropped(rect), bytes.data(), std::ptrdiff_t(w) * 4, rect);
      return bytes;
    };
    std::vector<std::uint8_t> rgba = fixture(*composite), alphaBytes = fixture(*alpha);
    std::vector<float> mask(std::size_t(w) * h);
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = alphaBytes[i * 4 + 1] / 255.0f;
    std::shared_ptr<float[]> values(new float[mask.size()]);
    std::copy(mask.begin(), mask.end(), values.get());

    Image picture = Image::fromPixels({rgba.data(), w, h, std::ptrdiff_t(w) * 4, PixelFormat::rgba8});
    std::vector<std::uint8_t> out(rgba.size());
    ctx.render(decontaminated(picture, Image::fromGray(values, w, h), rect), out.data(), std::ptrdiff_t(w) * 4, rect);
    const ExactDecontamination exact = exactDecontamination(rgba, mask, w, h);
    int checked = 0;
    for (std::size_t i = 0; i < mask.size(); ++i) {
      if (exact.opacity[i] < 0.001) continue;
      ++checked;
      for (int n = 0; n < 3; ++n)
        ASSERT_NEAR(out[i * 4 + n], 255 * exact.colour[i * 3 + n], 3)
            << "height " << h << " at " << i % w << "," << i / w << " (top 0), opacity " << exact.opacity[i];
    }
    EXPECT_GT(checked, w * h / 4) << "height " << h << ": the soft edge is most of what the fixture shows";
  }
}

using CutOut = Fixture;

TEST_F(CutOut, OpacityIsThePicturesTimesTheMask) {
  const Rect rect{0, 0, 30, 20};
  Picture picture = pictureOf(20, 20, [](int) { return Color{0.3f, 0.6f, 0.9f, 1}; });  // narrower than rect
  args.decontaminate = false;
  struct Case {
    float mask;
    int x;
    float alpha;
  } cases[] = {{0, 5, 0}, {1, 5, 1}, {0.25f, 5, 0.25f}, {1, 25, 0}};
  for (const auto& c : cases) {
    Image mask = maskOf(30, 20, [&](int) { return c.mask; });
    Image cutout = cut(picture.image, mask, rect);
    EXPECT_EQ(cutout.extent(), rect);
    Color p = pixel(cutout, rect, c.x, 10);
    EXPECT_NEAR(p.alpha, c.alpha, 1e-3) << "mask " << c.mask << " at " << c.x;
    if (c.alpha > 0) {
      EXPECT_NEAR(p.green, 0.6f, 1e-3);
    }
  }
}

TEST_F(CutOut, WrittenAsTheMaskOrOverABackdrop) {
  // A red picture with opacity a, cut by mask m, over a blue backdrop: red a m, blue 1 - a m,
  // opaque; the backdrop shows through the picture's own transparency as through the mask's.
  const Rect rect{0, 0, 8, 8};
  Image backdrop = Image::color(blue).cropped(rect);
  struct Case {
    float opacity, mask;
  } cases[] = {{1, 1}, {1, 0}, {1, 0.25f}, {0.5f, 1}, {0.5f, 0.5f}, {0, 1}};
  for (bool decontaminate : {false, true}) {
    args.decontaminate = decontaminate;
    for (const auto& c : cases) {
      Picture picture = pictureOf(8, 8, [&](int) { return Color{1, 0, 0, c.opacity}; });
      Image mask = maskOf(8, 8, [&](int) { return c.mask; });
      Color over = pixel(matted(picture.image, mask, rect, backdrop), rect, 4, 4);
      float red = c.opacity * c.mask;
      EXPECT_NEAR(over.red, red, 2e-3) << c.opacity << " " << c.mask << " " << decontaminate;
      EXPECT_NEAR(over.blue, 1 - red, 2e-3) << c.opacity << " " << c.mask << " " << decontaminate;
      EXPECT_NEAR(over.alpha, 1, 1e-3);
    }
  }
  args.maskOnly = true;
  Image mask = maskOf(8, 8, [](int x) { return x / 7.0f; });
  Color p = pixel(matted(pictureOf(8, 8, [](int) { return red; }).image, mask, rect, backdrop), rect, 3, 4);
  EXPECT_NEAR(p.green, 3 / 7.0f, 1e-3) << "the mask alone, the backdrop aside";
  EXPECT_NEAR(p.alpha, 1, 1e-3);
}

TEST_F(CutOut, BackgroundCoversTheFrameCentredAndOpaque) {
  // 4 x 2, red on the left half, half-transparent blue on the right, covering 6 x 6: scaled
  // three times to 12 x 6 and centred, it shows input columns 1 and 2 only, blue over black.
  Picture background = pictureOf(4, 2, [](int x) { return x < 2 ? red : Color{0, 0, 1, 0.5f}; });
  const Rect rect{0, 0, 6, 6};
  Image covered = covering(background.image, rect);
  EXPECT_EQ(covered.extent(), rect);
  for (int y : {0, 5}) {
    for (int x : {0, 5}) {
      Color p = pixel(covered, rect, x, y);
      EXPECT_NEAR(p.alpha, 1, 1e-3) << x << "," << y;
      EXPECT_NEAR(p.red, x == 0 ? 1 : 0, 2e-3) << x << "," << y;
      EXPECT_NEAR(p.blue, x == 0 ? 0 : 0.5f, 2e-3) << x << "," << y;
    }
  }
}

using Smoothing = Fixture;

TEST_F(Smoothing, BlendsWhereMasksAgreeAndTakesTheFreshValueWhereTheyDiffer) {
  const Rect rect{0, 0, 1, 1};
  struct Case {
    double s;
    float fresh, previous, expected;
  } cases[] = {
      {0.3, 0.8f, 0.6f, 0.74f},   // small change: exponential smoothing
      {0.4, 0.9f, 0.4f, 0.8f},    // change 0.5: half the smoothing
      {0.3, 1.0f, 0.2f, 1.0f},    // change 0.8: fresh
      {0.3, 0.5f, 0.5f, 0.5f},    // equal masks pass unchanged
      {0.95, 0.5f, 0.3f, 0.31f},  // the strongest smoothing the options allow
      {0.3, 0.7f, 0.0f, 0.7f},    // a subject appearing over an empty mask
      {0.3, 0.3f, 0.0f, 0.21f},
  };
  for (const auto& c : cases) {
    Image fresh = maskOf(1, 1, [&](int) { return c.fresh; }), prev = maskOf(1, 1, [&](int) { return c.previous; });
    Color result = pixel(smoothed(fresh, prev, c.s, rect), rect, 0, 0);
    EXPECT_NEAR(result.green, c.expected, 1e-3) << c.s << " " << c.fresh << " " << c.previous;
    EXPECT_NEAR(result.alpha, 1, 1e-3);
  }
}

TEST_F(Smoothing, FollowsTheFormulaUpToTheBorderOfAnErodedAndFeatheredMask) {
  // The erosion eats a subject cut by the border from that border too, and the feathering
  // spreads it: those rows must still be smoothed by their mask values.
  const int width = 48, height = 40;
  const Rect rect{0, 0, double(width), double(height)};
  auto subject = [&](double centre) {
    std::shared_ptr<float[]> v(new float[std::size_t(width) * height]);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) v[std::size_t(y) * width + x] = std::fabs(x - centre) < 10 ? 1.0f : 0.0f;
    return refinedMask(Image::fromGray(v, width, height), rect);
  };
  // Green of every pixel, premultiplied: the mask's value.
  auto values = [&](const Image& image) {
    std::vector<std::uint16_t> halves(std::size_t(width) * height * 4);
    ctx.renderHalf(image, halves.data(), std::ptrdiff_t(width) * 8, rect);
    std::vector<float> green;
    for (std::size_t i = 0; i < halves.size(); i += 4) green.push_back(_cvtsh_ss(halves[i + 1]));
    return green;
  };
  const double s = 0.3;
  Image fresh = subject(22), prev = subject(25);
  std::vector<float> f = values(fresh), p = values(prev), result = values(smoothed(fresh, prev, s, rect));
  for (std::size_t i = 0; i < f.size(); ++i) {
    double keep = std::clamp(3 - 5 * std::fabs(double(f[i]) - p[i]), 0.0, 1.0);
    ASSERT_NEAR(result[i], f[i] + keep * s * (p[i] - f[i]), 2e-3)
        << "row " << i / width << " (top 0), column " << i % width;
  }
}
