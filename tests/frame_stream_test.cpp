// The raw frame stream read back whole and checked pixel by pixel, every row and column,
// borders included: its opacity against the mask's formulas (erosion, feathering, smoothing,
// and the previous mask on a frame without a subject) evaluated in double precision, its
// colour against the decoded frames, turned upright, in R, G, B order and straight.
//
// The network's masks are not known beforehand, so each clip is run twice on the same frames:
// once with every refinement off, whose opacity is then the mask the network found (or the
// previous one), and once with them on, which must be those masks refined as the formulas say.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "run_tool.h"

namespace {

const std::string clips = std::string(QUELM_SHARED_DIR) + "/media/video/";
constexpr double kErode = 2.5, kFeather = 2, kSmooth = 0.3;

// Frames of straight RGBA bytes, top row first.
struct Frames {
  int width = 0, height = 0;
  std::string bytes;
  std::size_t count() const { return bytes.size() / (std::size_t(width) * height * 4); }
  int at(std::size_t n, int x, int y, int c) const {
    return std::uint8_t(bytes[((n * height + y) * width + x) * 4 + c]);
  }
};

Frames stream(const std::string& clip, int width, int height, const std::string& seconds, bool refined) {
  ToolRun run = runTool({"--in", clip, "--ss", "0", "--t", seconds, "--size",
                         std::to_string(width) + "x" + std::to_string(height), "--mode", "person", "--decontaminate",
                         "off", "--erode", refined ? std::to_string(kErode) : "0", "--feather",
                         refined ? std::to_string(kFeather) : "0", "--smooth", refined ? std::to_string(kSmooth) : "0"});
  EXPECT_EQ(run.status, 0) << run.err;
  return {width, height, run.out};
}

// The clip's first frames as the coded pictures, by ffmpeg with the conversion the tool uses.
Frames decoded(const std::string& clip, int width, int height, std::size_t count) {
  std::string command = "ffmpeg -v error -noautorotate -i " + clip + " -frames:v " + std::to_string(count) +
                        " -sws_flags bilinear -pix_fmt rgba -f rawvideo -";
  Frames frames{width, height, {}};
  FILE* pipe = popen(command.c_str(), "r");
  char chunk[65536];
  for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) frames.bytes.append(chunk, n);
  EXPECT_EQ(pclose(pipe), 0);
  return frames;
}

using Plane = std::vector<double>;  // one value per pixel, top row first

// Minimum over the disk, what lies outside counting as 0.
Plane eroded(const Plane& m, int w, int h, double radius) {
  const int reach = int(radius);
  Plane out(m.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double least = 1;
      for (int j = -reach; j <= reach; ++j)
        for (int i = -reach; i <= reach; ++i)
          if (i * i + j * j <= radius * radius)
            least = std::min(least, x + i < 0 || y + j < 0 || x + i >= w || y + j >= h ? 0.0 : m[std::size_t(y + j) * w + x + i]);
      out[std::size_t(y) * w + x] = least;
    }
  return out;
}

// Gaussian blur of the plane clamped to its extent, each pixel weighing the Gaussian's mass over it.
Plane feathered(const Plane& m, int w, int h, double sigma) {
  const int reach = int(std::ceil(8 * sigma));
  std::vector<double> g(2 * reach + 1);
  for (int i = -reach; i <= reach; ++i)
    g[i + reach] = 0.5 * (std::erfc((i - 0.5) / (sigma * std::sqrt(2))) - std::erfc((i + 0.5) / (sigma * std::sqrt(2))));
  Plane across(m.size()), out(m.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int i = -reach; i <= reach; ++i) across[std::size_t(y) * w + x] += g[i + reach] * m[std::size_t(y) * w + std::clamp(x + i, 0, w - 1)];
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int i = -reach; i <= reach; ++i) out[std::size_t(y) * w + x] += g[i + reach] * across[std::size_t(std::clamp(y + i, 0, h - 1)) * w + x];
  return out;
}

}  // namespace

TEST(FrameStream, WholeFramesFollowTheFormulasUprightInRGBAAndStraight) {
  struct Case {
    std::string clip;
    int width, height;  // the clip's own upright size, so that fitting only turns it
    std::string seconds;
    bool quarterTurn;  // coded sideways, to be turned a quarter clockwise
  } cases[] = {
      {clips + "v12_rotation_90_display_matrix.mp4", 720, 1280, "0.3", true},
      // A woman found in the first frames, then an empty room: the previous mask carries on.
      // Stretched to portrait, where the person route finds her.
      {clips + "v01_real_people_enter_exit_empty_768x432_10fps.mp4", 432, 768, "1.5", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clip);
    const int w = c.width, h = c.height;
    const Frames found = stream(c.clip, w, h, c.seconds, false), out = stream(c.clip, w, h, c.seconds, true);
    ASSERT_GT(out.count(), 0u);
    ASSERT_EQ(out.bytes.size(), out.count() * w * h * 4) << "a frame cut short";
    ASSERT_EQ(found.bytes.size(), out.bytes.size());

    // Colour: where a pixel shows at all it is the frame's own colour, not premultiplied, in
    // R, G, B order; where it does not, four zero bytes. The v01 frames are stretched, so the
    // unrefined run's colour stands for them there.
    const Frames coded = c.quarterTurn ? decoded(c.clip, h, w, out.count()) : Frames{};
    if (c.quarterTurn) {
      ASSERT_EQ(coded.count(), out.count());
    }
    for (std::size_t n = 0; n < out.count(); ++n)
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const bool shows = out.at(n, x, y, 3) > 0;
          for (int ch = 0; ch < 3; ++ch) {
            int want = !shows ? 0 : c.quarterTurn ? coded.at(n, y, w - 1 - x, ch) : found.at(n, x, y, ch);
            if (!c.quarterTurn && shows && found.at(n, x, y, 3) == 0) continue;  // colour not known
            ASSERT_NEAR(out.at(n, x, y, ch), want, 1) << "frame " << n << " at " << x << "," << y << " channel " << ch;
          }
        }

    // Opacity: the found masks (known to 8 bits) eroded, feathered and smoothed in double
    // precision. A frame whose unrefined mask is the last one to the bit had no subject: it
    // keeps the last final mask. Within 1.5 levels: the 8-bit masks are off by up to half a
    // level, which the feathering keeps and the smoothing's weight, five times the change
    // between masks times the strength, adds to; the rest is the output's own rounding.
    Plane last;
    int carried = 0;
    for (std::size_t n = 0; n < out.count(); ++n) {
      Plane m(std::size_t(w) * h);
      bool same = n > 0, none = true;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          m[std::size_t(y) * w + x] = found.at(n, x, y, 3) / 255.0;
          same = same && found.at(n, x, y, 3) == found.at(n - 1, x, y, 3);
          none = none && found.at(n, x, y, 3) == 0;
        }
      Plane final;
      if (same || (n == 0 && none)) {
        final = n == 0 ? Plane(m.size()) : last;
        carried += n > 0 && !none;
      } else {
        final = feathered(eroded(m, w, h, kErode), w, h, kFeather);
        for (std::size_t i = 0; i < final.size() && !last.empty(); ++i) {
          double keep = std::clamp(3 - 5 * std::fabs(final[i] - last[i]), 0.0, 1.0);
          final[i] += keep * kSmooth * (last[i] - final[i]);
        }
      }
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          ASSERT_NEAR(out.at(n, x, y, 3), 255 * std::clamp(final[std::size_t(y) * w + x], 0.0, 1.0), 1.5)
              << "frame " << n << " at " << x << "," << y << (same ? " (no subject)" : "");
      last = final;
    }
    if (!c.quarterTurn) {
      EXPECT_GT(carried, 0) << "no frame without a subject after one with it";
    }
  }
}
