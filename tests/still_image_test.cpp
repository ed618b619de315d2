// Still-image mode end to end, through the built program: the usage lines, every failure
// line, and the PNG files it writes from the shared pictures.
#include <gtest/gtest.h>
#include <vips/vips.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "run_tool.h"

namespace fs = std::filesystem;

namespace {

const std::string media = std::string(QUELM_SHARED_DIR) + "/media/";
const std::string stillUsage = "usage: quelm-matte --image <png|jpg> --out <png> [--size WxH]\n";
const std::string videoUsage = "usage: quelm-matte --in <video> --ss <sec> --t <sec> --size WxH\n";
const std::string folderUsage = "usage: quelm-matte --image-dir <folder> --out-dir <folder> [--size WxH]\n";
const std::string webcam = media + "photos/p13_person_webcam_head_shoulders.png";

// A fresh folder for each test's output files.
class StillImage : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = freshFolder("still");
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string path(const std::string& name) const { return (dir / name).string(); }
  fs::path dir;
};

struct Png {
  int width = 0, height = 0, bands = 0;
  VipsBandFormat format = VIPS_FORMAT_NOTSET;
  std::string loader;
  std::vector<std::uint8_t> rgba;  // all bands of 8-bit pictures, one byte each
};

Png readPng(const std::string& path) {
  VIPS_INIT("still_image_test");
  vips_cache_set_max(0);  // the same path is written again between reads
  Png png;
  VipsImage* image = vips_image_new_from_file(path.c_str(), nullptr);
  if (!image) return png;
  png.width = image->Xsize, png.height = image->Ysize, png.bands = image->Bands, png.format = image->BandFmt;
  const char* loader = nullptr;
  if (vips_image_get_string(image, "vips-loader", &loader) == 0) png.loader = loader;
  std::size_t size = 0;
  if (png.format == VIPS_FORMAT_UCHAR) {
    void* memory = vips_image_write_to_memory(image, &size);
    auto* bytes = static_cast<std::uint8_t*>(memory);
    png.rgba.assign(bytes, bytes + size);
    g_free(memory);
  }
  g_object_unref(image);
  return png;
}

// A grey picture file resized to width x height.
std::vector<std::uint8_t> greyAt(const std::string& path, int width, int height) {
  VIPS_INIT("still_image_test");
  VipsImage* file = vips_image_new_from_file(path.c_str(), nullptr);
  EXPECT_NE(file, nullptr) << path;
  if (!file) return {};
  VipsImage *sized = nullptr, *band = nullptr;
  vips_resize(file, &sized, double(width) / file->Xsize, "vscale", double(height) / file->Ysize, nullptr);
  vips_extract_band(sized, &band, 0, nullptr);
  std::size_t size = 0;
  auto* bytes = static_cast<std::uint8_t*>(vips_image_write_to_memory(band, &size));
  std::vector<std::uint8_t> values(bytes, bytes + size);
  g_free(bytes);
  for (VipsImage* image : {file, sized, band}) g_object_unref(image);
  return values;
}

// The least (or, with `most`, the greatest) value within r pixels across and down of each
// pixel, the picture's edges clamped: a row pass, then a column pass.
std::vector<std::uint8_t> extreme(std::vector<std::uint8_t> v, int width, int height, int r, bool most) {
  auto pass = [&](int count, int length, std::ptrdiff_t step, std::ptrdiff_t lineStep) {
    std::vector<std::uint8_t> line(length);
    for (int k = 0; k < count; ++k) {
      std::uint8_t* first = v.data() + k * lineStep;
      for (int i = 0; i < length; ++i) line[i] = first[i * step];
      for (int i = 0; i < length; ++i) {
        auto from = line.begin() + std::max(0, i - r), to = line.begin() + std::min(length, i + r + 1);
        first[i * step] = most ? *std::max_element(from, to) : *std::min_element(from, to);
      }
    }
  };
  pass(height, width, 1, width);
  pass(width, height, width, 1);
  return v;
}

// The cut-out's alpha follows a composite's true alpha: over the subject's core (2% of the
// smaller side in from its outline) at least half opaque, over the background as far out from
// it transparent (5 levels at most). The networks are not exact (a feathered outline, a stray
// speck), so each holds for 97% of its pixels; the mask inverted fails it outright, and turned
// or mirrored it leaves 0 to 83% of the core opaque on these composites.
void expectSubjectWhereItIs(const Png& png, const std::string& composite) {
  const auto truth = greyAt(media + "matting/" + composite + "/alpha.png", png.width, png.height);
  const int r = std::max(1, std::min(png.width, png.height) / 50);
  const auto core = extreme(truth, png.width, png.height, r, false);
  const auto far = extreme(truth, png.width, png.height, r, true);
  ASSERT_EQ(core.size() * 4, png.rgba.size());
  std::size_t coreCount = 0, coreOpaque = 0, farCount = 0, farClear = 0;
  for (std::size_t i = 0; i < core.size(); ++i) {
    const std::uint8_t a = png.rgba[4 * i + 3];
    if (core[i] == 255) coreCount++, coreOpaque += a >= 128;
    if (far[i] == 0) farCount++, farClear += a <= 5;
  }
  ASSERT_GT(coreCount, 0u);
  EXPECT_GE(double(coreOpaque) / coreCount, 0.97) << composite << ": the subject's core";
  EXPECT_GE(double(farClear) / farCount, 0.97) << composite << ": far from the subject";
}

}  // namespace

TEST(Driver, UsageLines) {
  struct Case {
    std::vector<std::string> arguments;
    std::string line;
  } cases[] = {
      {{}, videoUsage},
      {{"--image", "a.png"}, stillUsage},
      {{"--out", "a.png"}, videoUsage},
      {{"--in", "clip.mp4"}, videoUsage},
      {{"--in", "clip.mp4", "--t", "0"}, videoUsage},
      {{"--in", "clip.mp4", "--t", "-1"}, videoUsage},
      {{"--in", "clip.mp4", "--t", "nan"}, videoUsage},
      {{"--image", "", "--out", "a.png"}, videoUsage},
      {{"--image-dir", "photos"}, folderUsage},
      {{"--image-dir", "photos", "--out", "a.png"}, folderUsage},
      {{"--out-dir", "cut"}, videoUsage},
  };
  for (const auto& c : cases) {
    ToolRun run = runTool(c.arguments);
    EXPECT_EQ(run.status, 1) << c.line;
    EXPECT_EQ(run.err, c.line);
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(StillImage, WritesTheCutOutAtTheRequestedSize) {
  struct Case {
    const char* picture;
    std::vector<std::string> options;
    int width, height;
    const char* composite = nullptr;  // under matting/: where the subject is, known
  } cases[] = {
      {"photos/p01_person_portrait_astronaut.png", {}, 512, 512},
      {"edge/e01_exif_orientation_6.jpg", {"--mode", "person"}, 1126, 661},  // upright
      {"photos/p05_people_two_standing.jpg", {"--size", "300x500", "--mode", "person"}, 300, 500},
      {"photos/p05_people_two_standing.jpg", {"--size", "0x200", "--mode", "person"}, 1126, 200},
      {"photos/p05_people_two_standing.jpg", {"--size", "250x-3", "--mode", "person"}, 250, 661},
      // Measured shares, core and far: 1.0 and 0.994; 1.0 and 1.0; 0.992 and 0.999.
      {"matting/m01_person_firefighter_lakeshore/composite.png", {"--mode", "person"}, 1280, 800,
       "m01_person_firefighter_lakeshore"},
      {"matting/m03_lion_mane_fur_forest/composite.jpg", {"--size", "640x400"}, 640, 400, "m03_lion_mane_fur_forest"},
      {"matting/m13_penguin_cut_by_right_and_bottom_border/composite.png", {"--size", "960x600"}, 960, 600,
       "m13_penguin_cut_by_right_and_bottom_border"},
  };
  for (const auto& c : cases) {
    std::string out = path("out.png");
    std::vector<std::string> arguments{"--image", media + c.picture, "--out", out};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    ToolRun run = runTool(arguments);
    EXPECT_EQ(run.status, 0) << c.picture << ": " << run.err;
    EXPECT_EQ(run.err, "done 1 frames\n");
    EXPECT_EQ(run.out, "");
    Png png = readPng(out);
    EXPECT_EQ(png.width, c.width) << c.picture;
    EXPECT_EQ(png.height, c.height) << c.picture;
    EXPECT_EQ(png.bands, 4);
    EXPECT_EQ(png.format, VIPS_FORMAT_UCHAR);
    bool transparent = false, opaque = false;
    for (std::size_t i = 3; i < png.rgba.size(); i += 4) {
      transparent |= png.rgba[i] == 0;
      opaque |= png.rgba[i] == 255;
      if (png.rgba[i] == 0) {
        ASSERT_EQ(png.rgba[i - 1] | png.rgba[i - 2] | png.rgba[i - 3], 0) << "alpha 0 is four zero bytes";
      }
    }
    EXPECT_TRUE(transparent && opaque) << c.picture << ": a subject over a transparent background";
    if (c.composite) expectSubjectWhereItIs(png, c.composite);
    fs::remove(out);
  }
}

TEST_F(StillImage, FailsWithOneLineAndWritesNothing) {
  std::string out = path("out.png");
  struct Case {
    std::string picture;
    std::vector<std::string> options;
    std::string outPath;
    std::string line;
  } cases[] = {
      {media + "edge/does_not_exist.png", {}, out, "cannot read " + media + "edge/does_not_exist.png"},
      {media + "edge/e11_zero_bytes.png", {}, out, "cannot read " + media + "edge/e11_zero_bytes.png"},
      {media + "edge/e11_text_file_named.png", {}, out, "cannot read " + media + "edge/e11_text_file_named.png"},
      {media + "edge/e10_truncated.png", {}, out, "cannot read " + media + "edge/e10_truncated.png"},
      {media + "edge/e10_truncated_55pct.jpg", {}, out, "cannot read " + media + "edge/e10_truncated_55pct.jpg"},
      {media + "photos/n01_texture_gravel_gray.png", {}, out, "no subject found in " + media + "photos/n01_texture_gravel_gray.png"},
      {media + "photos/p01_person_portrait_astronaut.png", {"--mode", "person"}, path("missing/out.png"),
       "cannot write " + path("missing/out.png") + ": No such file or directory"},
      {media + "photos/p01_person_portrait_astronaut.png", {"--size", "100000x100000"}, out,
       "cannot write " + out + ": the size 100000x100000 is too large (at most 120 million pixels)"},
      {media + "photos", {}, out, "cannot read " + media + "photos"},
      {webcam, {"--mode", "person"}, path("cut.JPG"),
       "cannot write " + path("cut.JPG") +
           ": a JPEG file cannot hold the cut-out's transparency (give a --background, or write .png or .webp)"},
      {webcam, {"--background", "#12345"}, out, "cannot read #12345"},
      {media + "edge/does_not_exist.png", {"--background", media + "edge/e11_text_file_named.png"}, out,
       "cannot read " + media + "edge/e11_text_file_named.png"},
      {media + "photos/p01_person_portrait_astronaut.png", {"--size", "9223372036854775807x100"}, out,
       "cannot write " + out + ": the size 9223372036854775807x100 is too large (at most 120 million pixels)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments{"--image", c.picture, "--out", c.outPath};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    ToolRun run = runTool(arguments);
    EXPECT_EQ(run.status, 1) << c.line;
    EXPECT_EQ(run.err, c.line + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 0) << c.line << ": nothing written";
  }
}

TEST_F(StillImage, ReplacesAnExistingFileOnlyOnSuccess) {
  std::string out = path("kept.png");
  std::ofstream(out) << "earlier";
  ToolRun failed = runTool({"--image", media + "photos/n01_texture_gravel_gray.png", "--out", out});
  EXPECT_EQ(failed.status, 1);
  std::ifstream kept(out);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "earlier");
  ToolRun done = runTool({"--image", media + "photos/p13_person_webcam_head_shoulders.png", "--out", out, "--mode", "person"});
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(readPng(out).width, 400);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);
}

TEST_F(StillImage, PathsAsTyped) {
  fs::path odd = dir / "-a picture ü.png";
  fs::copy_file(media + "photos/p13_person_webcam_head_shoulders.png", odd);
  ToolRun run = runTool({"--image", odd.string(), "--out", path("-out ü.png"), "--mode", "person"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::exists(path("-out ü.png")));
  ToolRun missing = runTool({"--image", "-no such ü.png", "--out", path("x.png")});
  EXPECT_EQ(missing.err, "cannot read -no such ü.png\n");
}

TEST_F(StillImage, KeepsThePicturesOwnTransparency) {
  // A cut-out lion: wherever the picture is transparent, so is the result, with or without
  // decontamination, and nowhere is the result more opaque than the picture.
  std::string picture = media + "edge/e08_rgba_real_cutout_lion.png";
  Png source = readPng(picture);
  for (const char* decontaminate : {"on", "off"}) {
    std::string out = path(std::string("lion-") + decontaminate + ".png");
    ToolRun run = runTool({"--image", picture, "--out", out, "--decontaminate", decontaminate});
    ASSERT_EQ(run.status, 0) << run.err;
    Png result = readPng(out);
    ASSERT_EQ(result.rgba.size(), source.rgba.size());
    for (std::size_t i = 3; i < source.rgba.size(); i += 4)
      ASSERT_LE(result.rgba[i], source.rgba[i] + 1) << decontaminate << " at pixel " << i / 4;
  }
}

TEST_F(StillImage, WritesTheMaskAloneOrTheCutOutOverABackground) {
  // The mask is the cut-out's opacity (the picture is opaque); over a colour, each pixel is the
  // cut-out's colour over it, opaque.
  const std::vector<std::string> common{"--image", webcam, "--mode", "person"};
  auto run = [&](const std::string& name, std::vector<std::string> options) {
    options.insert(options.end(), {"--out", path(name)});
    options.insert(options.end(), common.begin(), common.end());
    ToolRun r = runTool(options);
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(r.err, "done 1 frames\n");
    return readPng(path(name));
  };
  Png cutout = run("cut.png", {});
  Png mask = run("mask.png", {"--mask-only", "1"});
  Png over = run("over.png", {"--background", "#3366cC"});
  ASSERT_EQ(cutout.bands, 4);
  ASSERT_EQ(mask.bands, 1);
  ASSERT_EQ(over.bands, 3);
  ASSERT_EQ(mask.rgba.size() * 4, cutout.rgba.size());
  ASSERT_EQ(over.rgba.size() * 4, cutout.rgba.size() * 3);
  const int backdrop[] = {0x33, 0x66, 0xcc};
  int transparent = 0, opaque = 0;
  for (std::size_t i = 0; i < mask.rgba.size(); ++i) {
    int alpha = cutout.rgba[4 * i + 3];
    ASSERT_NEAR(mask.rgba[i], alpha, 1) << "pixel " << i;
    for (int c = 0; c < 3; ++c) {
      double expected = (cutout.rgba[4 * i + c] * alpha + backdrop[c] * (255 - alpha)) / 255.0;
      ASSERT_NEAR(over.rgba[3 * i + c], expected, 2) << "pixel " << i << " component " << c;
    }
    transparent += alpha == 0, opaque += alpha == 255;
  }
  EXPECT_TRUE(transparent > 0 && opaque > 0) << "both the backdrop and the subject show";
}

TEST_F(StillImage, FormatFollowsTheOutName) {
  struct Case {
    std::string name;
    std::vector<std::string> options;
    std::string loader;
    int bands;
  } cases[] = {
      {"a.webp", {}, "webpload", 4},
      {"a.JPG", {"--background", media + "photos/n05_landscape_beach.png"}, "jpegload", 3},
      {"a.jpeg", {"--mask-only", "1"}, "jpegload", 1},
      {"a.png.WebP", {"--background", "#000000"}, "webpload", 3},
      {"a", {}, "pngload", 4},
      {"a.tif", {}, "pngload", 4},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments{"--image", webcam, "--out", path(c.name), "--mode", "person"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    ToolRun run = runTool(arguments);
    EXPECT_EQ(run.status, 0) << c.name << ": " << run.err;
    Png written = readPng(path(c.name));
    EXPECT_EQ(written.loader, c.loader) << c.name;
    EXPECT_EQ(written.bands, c.bands) << c.name;
    EXPECT_EQ(written.width, 400) << c.name;
  }
}

TEST_F(StillImage, ReadsStandardInputAndWritesStandardOutput) {
  std::ifstream file(webcam, std::ios::binary);
  const std::string picture(std::istreambuf_iterator<char>(file), {});
  ToolRun piped = runTool({"--image", "-", "--out", "-", "--mode", "person"}, std::string::npos, -1, &picture);
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.err, "done 1 frames\n");
  ToolRun named = runTool({"--image", webcam, "--out", path("cut.png"), "--mode", "person"});
  ASSERT_EQ(named.status, 0) << named.err;
  std::ifstream written(path("cut.png"), std::ios::binary);
  EXPECT_TRUE(piped.out == std::string(std::istreambuf_iterator<char>(written), {})) << "the same PNG either way";

  const std::string nothing, text = "not a picture";
  for (const std::string* input : {&nothing, &text}) {
    ToolRun failed = runTool({"--image", "-", "--out", path("x.png")}, std::string::npos, -1, input);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "cannot read -\n");
  }
}

// A run stopped by a signal while it writes leaves neither the target nor its temporary. The
// huge picture takes seconds to render and encode, so the signal lands mid-write once the
// temporary has appeared.
TEST_F(StillImage, ARunInterruptedWhileWritingLeavesNothing) {
  auto temporaryAppeared = [&] {
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.path().filename().string().starts_with(".quelm-matte-")) return true;
    return false;
  };
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    pid_t pid = startTool({"--image", media + "edge/e12_huge_8000x6000.jpg", "--out", path("cut.png")});
    ASSERT_GT(pid, 0);
    int status = 0;
    bool writing = false, ended = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!(writing = temporaryAppeared()) && !(ended = waitpid(pid, &status, WNOHANG) == pid) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!ended) kill(pid, writing ? signal : SIGKILL), waitpid(pid, &status, 0);
    ASSERT_TRUE(writing) << "the run never began writing: " << status;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 0) << "nothing left in the folder";
  }
}
