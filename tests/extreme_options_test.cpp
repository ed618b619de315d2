// Every numeric option at the ends of what a double can hold, in both modes, through the built
// program: each run ends on its own within a bounded time, with status 0 and its output whole,
// or status 1 and one line, never a signal or a half-written file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "run_tool.h"

namespace fs = std::filesystem;

namespace {

const std::string media = std::string(QUELM_SHARED_DIR) + "/media/";
// A portrait (512x512) and a webcam clip of a person: the person route is the quicker network.
const std::string photo = media + "photos/p01_person_portrait_astronaut.png";
const std::string clip = media + "video/v03_real_webcam_head_shoulders_400x300_25fps.mp4";
constexpr int kPhotoSide = 512, kVideoWidth = 1080, kVideoHeight = 1920;
constexpr int kSeconds = 120;

enum class Mode { still, video };

struct Case {
  std::vector<std::string> option;
  int width, height;  // of the output on success
};

// Each value for each option, after a base run of 64x48. Only a whole number reads as a side
// of --size: the others leave the earlier 64x48, and a side of 0 asks for none.
std::vector<Case> cases(Mode mode) {
  const std::string values[] = {"1e308", "inf", "-inf", "nan", "4.9e-324", "0"};
  const int ownWidth = mode == Mode::still ? kPhotoSide : kVideoWidth;
  const int ownHeight = mode == Mode::still ? kPhotoSide : kVideoHeight;
  std::vector<Case> all;
  for (const char* option : {"--feather", "--erode", "--smooth", "--ss", "--t"})
    for (const auto& v : values) all.push_back({{option, v}, 64, 48});
  for (const auto& v : values) {
    all.push_back({{"--size", v + "x48"}, v == "0" ? ownWidth : 64, 48});
    all.push_back({{"--size", "64x" + v}, 64, v == "0" ? ownHeight : 48});
  }
  return all;
}

// Width and height from a PNG file's header; 0 when it is not one.
std::pair<int, int> pngSize(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  unsigned char head[24] = {};
  if (!file.read(reinterpret_cast<char*>(head), sizeof head) || head[1] != 'P' || head[2] != 'N' || head[3] != 'G')
    return {0, 0};
  auto word = [&](int at) { return head[at] << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3]; };
  return {word(16), word(20)};
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> all;
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    all.push_back(text.substr(start, end - start));
  }
  return all;
}

class ExtremeValues : public ::testing::TestWithParam<Mode> {};

}  // namespace

TEST_P(ExtremeValues, EveryNumericOptionEndsWithAWholeResultOrOneLine) {
  const Mode mode = GetParam();
  const fs::path dir = fs::temp_directory_path() / ("extremes-" + std::to_string(getpid()));
  const fs::path out = dir / "out.png";
  for (const Case& c : cases(mode)) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<std::string> arguments{"--size", "64x48", "--mode", "person"};
    if (mode == Mode::still) arguments.insert(arguments.end(), {"--image", photo, "--out", out.string()});
    else arguments.insert(arguments.end(), {"--in", clip, "--ss", "0", "--t", "0.2"});
    arguments.insert(arguments.end(), c.option.begin(), c.option.end());
    const std::string what = c.option[0] + " " + c.option[1];

    ToolRun run = runTool(arguments, std::string::npos, kSeconds);
    ASSERT_FALSE(run.timedOut) << what << ": still running after " << kSeconds << " s";
    ASSERT_EQ(run.signal, 0) << what << ": " << run.err;
    ASSERT_TRUE(run.status == 0 || run.status == 1) << what << ": status " << run.status;
    ASSERT_FALSE(run.err.empty()) << what;
    EXPECT_EQ(run.err.back(), '\n') << what;
    const std::vector<std::string> said = lines(run.err);
    const std::size_t frameBytes = std::size_t(c.width) * c.height * 4;
    if (run.status == 1) {
      EXPECT_EQ(said.size(), 1u) << what << ": " << run.err;
      EXPECT_EQ(run.out.size() % frameBytes, 0u) << what << ": a frame cut short";
      EXPECT_TRUE(fs::is_empty(dir)) << what << ": a file left behind";
      continue;
    }
    if (mode == Mode::still) {
      EXPECT_EQ(run.err, "done 1 frames\n") << what;
      EXPECT_EQ(pngSize(out), std::make_pair(c.width, c.height)) << what;
      EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << what;
    } else {
      EXPECT_EQ(said.back().rfind("done ", 0), 0u) << what << ": " << run.err;
      EXPECT_EQ(run.out.size() % frameBytes, 0u) << what;
    }
  }
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(BothModes, ExtremeValues, ::testing::Values(Mode::still, Mode::video),
                         [](const auto& info) { return info.param == Mode::still ? "Still" : "Video"; });
