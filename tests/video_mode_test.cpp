// Video mode end to end, through the built program on the shared clips: the raw frame stream,
// the progress and final lines, and every way a run can fail.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "run_tool.h"

namespace {

const std::string clips = std::string(QUELM_SHARED_DIR) + "/media/video/";
const std::string clip = clips + "v10_h264_1080p30_people_zoom_pan.mp4";
constexpr std::size_t kFrameBytes = 108 * 192 * 4;

// The small output size keeps the runs quick; the person route keeps segmentation quick.
std::vector<std::string> videoRun(const std::string& path, std::vector<std::string> more = {}) {
  std::vector<std::string> a{"--in", path, "--size", "108x192", "--mode", "person"};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// The expected lines, then an average with one decimal ("12.3") and " ms/frame)".
bool isReport(const std::string& err, const std::string& head) {
  const std::string tail = " ms/frame)\n";
  if (err.rfind(head, 0) != 0 || err.size() < head.size() + tail.size() + 3) return false;
  std::string average = err.substr(head.size(), err.size() - head.size() - tail.size());
  auto dot = average.find('.');
  return err.compare(err.size() - tail.size(), tail.size(), tail) == 0 && dot != std::string::npos && dot > 0 &&
         dot + 2 == average.size() && average.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

TEST(VideoMode, StreamsWholeFramesWithProgressAndAReport) {
  struct Case {
    std::vector<std::string> range;
    int frames;
    std::string progress;  // the lines before the final report
  } cases[] = {
      {{"--ss", "0", "--t", "1"}, 30, "frame 15/30\nframe 30/30\n"},
      {{"--ss", "2", "--t", "0.5", "--smooth", "0"}, 15, "frame 15/15\n"},
      {{"--ss", "4.5", "--t", "2"}, 15, "frame 15/60\n"},  // the clip ends at 5 s
  };
  for (const auto& c : cases) {
    ToolRun run = runTool(videoRun(clip, c.range));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.size(), c.frames * kFrameBytes);
    EXPECT_TRUE(isReport(run.err, c.progress + "done " + std::to_string(c.frames) + " frames (")) << run.err;
  }
}

TEST(VideoMode, ARangePastTheEndYieldsNoFrames) {
  ToolRun run = runTool(videoRun(clip, {"--ss", "1000", "--t", "1"}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "done 0 frames (0.0 ms/frame)\n");
  EXPECT_EQ(run.out, "");
}

TEST(VideoMode, FailsWithOneLineBeforeAnyFrame) {
  struct Case {
    std::vector<std::string> arguments;
    std::string linePrefix;
  } cases[] = {
      {videoRun(clips + "v15_audio_only.m4a", {"--t", "1"}), "no video track in " + clips + "v15_audio_only.m4a"},
      {videoRun(clips + "v17_text_named.mp4", {"--t", "1"}), "no video track in " + clips + "v17_text_named.mp4"},
      {videoRun(clips + "v17c_zero_bytes.mp4", {"--t", "1"}), "no video track in " + clips + "v17c_zero_bytes.mp4"},
      {videoRun(clips + "missing.mp4", {"--t", "1"}), "no video track in " + clips + "missing.mp4"},
      {videoRun(clip, {"--t", "inf"}), "cannot count the frames of a range of inf seconds"},
      {videoRun(clip, {"--t", "1e308"}), "cannot count the frames of a range of "},
      {{"--in", clip, "--t", "1", "--size", "100000x100000"},
       "cannot allocate a frame: the size 100000x100000 is too large (at most 120 million pixels)"},
      {{"--in", clips + "missing.mp4", "--t", "1", "--size", "9223372036854775807x100"},
       "cannot allocate a frame: the size 9223372036854775807x100 is too large (at most 120 million pixels)"},
      // Standard error stays valid UTF-8 whatever bytes the path holds.
      {videoRun(clips + "clip-\xff\xfe-x.mp4", {"--t", "1"}), "no video track in " + clips + "clip-\\xff\\xfe-x.mp4"},
  };
  for (const auto& c : cases) {
    ToolRun run = runTool(c.arguments);
    EXPECT_EQ(run.status, 1) << c.linePrefix;
    EXPECT_EQ(run.err.rfind(c.linePrefix, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST(VideoMode, AReaderThatGoesAwayEndsTheRunWithAWriteFailure) {
  ToolRun run = runTool(videoRun(clip, {"--t", "2"}), kFrameBytes);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.err.substr(run.err.rfind("write failed")), "write failed: Broken pipe\n");
}

TEST(VideoMode, TheStreamReadsBackAsRawVideo) {
  auto file = std::filesystem::temp_directory_path() / ("stream-" + std::to_string(getpid()) + ".rgba");
  ToolRun run = runTool(videoRun(clips + "v12_rotation_90_display_matrix.mp4", {"--t", "0.5"}));
  ASSERT_EQ(run.status, 0) << run.err;
  std::ofstream(file, std::ios::binary) << run.out;
  std::string command = "ffmpeg -v error -f rawvideo -pix_fmt rgba -s 108x192 -i " + file.string() +
                        " -f null - 2>&1 && echo read";
  FILE* pipe = popen(command.c_str(), "r");
  char line[256] = {};
  std::string said;
  while (fgets(line, sizeof line, pipe)) said += line;
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(said, "read\n");
  EXPECT_GT(run.out.size(), 0u);
  EXPECT_EQ(run.out.size() % kFrameBytes, 0u);
  std::filesystem::remove(file);
}
