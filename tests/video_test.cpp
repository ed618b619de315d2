// The video layer against the shared clips: where each kind of bad file stops, how many frames
// a range yields (expected counts taken once from ffprobe's frame timestamps), which way the
// display matrix turns a frame, and how damaged and truncated files end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "video/video.h"

extern "C" {
#include <libavutil/display.h>
}

namespace {

const std::string kVideos = QUELM_SHARED_DIR "/media/video/";

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Fixtures made from the shared clips go to a directory of this process, removed at exit, so
// that test programs running side by side never read each other's half-written files.
const std::filesystem::path& fixtureDir() {
  static const struct Dir {
    std::filesystem::path path = std::filesystem::path(testing::TempDir()) /
                                 ("video_test_" + std::to_string(getpid()));
    Dir() { std::filesystem::create_directories(path); }
    ~Dir() { std::filesystem::remove_all(path); }
  } dir;
  return dir.path;
}

std::string writeFixture(const std::string& name, const std::string& bytes) {
  std::filesystem::path path = fixtureDir() / name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path.string();
}

// What a caller sees of one pass over a range.
struct Outcome {
  std::optional<video::Failure> failure;
  int frames = 0;
  bool failed = false;
  std::string error;
};

Outcome readRange(const std::string& path, double ss, double t,
                  const std::function<void(const video::Frame&)>& onFrame = {}) {
  Outcome run;
  video::Source source;
  video::Reader reader;
  if ((run.failure = source.open(path))) return run;
  if ((run.failure = reader.open(source))) return run;
  if ((run.failure = reader.start(ss, t))) return run;
  while (auto frame = reader.next()) {
    ++run.frames;
    if (onFrame) onFrame(*frame);
  }
  run.failed = reader.failed();
  run.error = reader.error();
  return run;
}

std::vector<std::uint8_t> copyOf(const video::Frame& frame) {
  std::vector<std::uint8_t> bytes;
  for (int y = 0; y < frame.height; ++y) {
    const std::uint8_t* row = frame.bgra + y * frame.rowBytes;
    bytes.insert(bytes.end(), row, row + frame.width * 4);
  }
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// Failure stages

// A copy of v03 whose sample entry names a codec nobody knows, optionally without a size.
std::string withUnknownCodec(bool dropSize) {
  std::string bytes = readBytes(kVideos + "v03_real_webcam_head_shoulders_400x300_25fps.mp4");
  std::size_t entry = bytes.find("avc1", bytes.find("stsd"));
  bytes.replace(entry, 4, "zzzz");
  if (dropSize) bytes.replace(entry + 28, 4, std::string(4, '\0'));  // 16-bit width, height
  return bytes;
}

std::string bigEndian32(std::uint32_t n, int bitsPerByte = 8) {
  std::string bytes;
  for (int shift = 3 * bitsPerByte; shift >= 0; shift -= bitsPerByte)
    bytes += static_cast<char>(n >> shift & ((1u << bitsPerByte) - 1));
  return bytes;
}

std::string littleEndian(std::uint32_t n, int byteCount) {
  std::string bytes;
  for (int i = 0; i < byteCount; ++i) bytes += static_cast<char>(n >> (8 * i) & 0xff);
  return bytes;
}

// A second of silent WAV behind an ID3 tag whose cover art is a 1x1 PNG, which FFmpeg lists
// as a video stream marked as an attached picture, like the art in music files.
std::string audioWithCoverArt() {
  const std::string png(
      "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\0\0\0\0\x3a\x7e\x9b\x55"
      "\0\0\0\x0aIDAT\x78\x9c\x63\x68\0\0\0\x82\0\x81\x77\xcd\x72\xb6\0\0\0\0IEND\xae\x42"
      "\x60\x82",
      67);
  std::string picture = std::string("\0image/png\0\x03\0", 13) + png;
  std::string frame = "APIC" + bigEndian32(picture.size()) + std::string(2, '\0') + picture;
  std::string tag = std::string("ID3\x03\0\0", 6) + bigEndian32(frame.size(), 7) + frame;
  std::string pcm(16000, '\0');  // 8 kHz, 16-bit mono
  std::string format = littleEndian(16, 4) + littleEndian(1, 2) + littleEndian(1, 2) +
                       littleEndian(8000, 4) + littleEndian(16000, 4) + littleEndian(2, 2) +
                       littleEndian(16, 2);
  return tag + "RIFF" + littleEndian(36 + pcm.size(), 4) + "WAVEfmt " + format + "data" +
         littleEndian(pcm.size(), 4) + pcm;
}

// A playlist of FFmpeg's concat format, its parts beside it: read as one video, but it cannot
// seek, and it fails mid-stream where a part is missing.
std::string playlistOf(const std::string& name, const std::vector<std::string>& parts) {
  std::string text = "ffconcat version 1.0\n";
  for (const std::string& part : parts) text += "file " + part + "\n";
  return writeFixture(name, text);
}

TEST(VideoFailures, EachBadInputStopsAtItsStage) {
  const std::string v03 = kVideos + "v03_real_webcam_head_shoulders_400x300_25fps.mp4";
  writeFixture("part.mp4", readBytes(v03));
  struct Case {
    const char* what;
    std::string path;
    double ss;
    video::Stage stage;
  };
  const Case cases[] = {
      {"audio only", kVideos + "v15_audio_only.m4a", 0, video::Stage::Open},
      {"audio with cover art", writeFixture("cover.wav", audioWithCoverArt()), 0,
       video::Stage::Open},
      {"text named .mp4", kVideos + "v17_text_named.mp4", 0, video::Stage::Open},
      {"zero bytes", kVideos + "v17c_zero_bytes.mp4", 0, video::Stage::Open},
      {"index missing", kVideos + "v18_truncated_moov_at_end.mp4", 0, video::Stage::Open},
      {"no such file", kVideos + "does_not_exist.mp4", 0, video::Stage::Open},
      {"a directory", kVideos, 0, video::Stage::Open},
      {"unknown codec, no size", writeFixture("nosize.mp4", withUnknownCodec(true)), 0,
       video::Stage::Properties},
      {"unknown codec", writeFixture("codec.mp4", withUnknownCodec(false)), 0,
       video::Stage::Decoder},
      {"seek in a playlist", playlistOf("seek.ffconcat", {"part.mp4"}), 5.5,
       video::Stage::Start},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome run = readRange(c.path, c.ss, 1);
    ASSERT_TRUE(run.failure.has_value());
    EXPECT_EQ(run.failure->stage, c.stage);
    // The caller prints these; FFmpeg's fallback text for unknown codes is no sentence.
    EXPECT_FALSE(run.failure->description.empty());
    EXPECT_EQ(run.failure->description.find("Error number"), std::string::npos);
  }
}

TEST(VideoFailures, ARelativePathThatLooksLikeAUrlIsStillAFile) {
  const std::string v03 = kVideos + "v03_real_webcam_head_shoulders_400x300_25fps.mp4";
  writeFixture("take:2.mp4", readBytes(v03));
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(fixtureDir());
  Outcome run = readRange("take:2.mp4", 0, 1);
  std::filesystem::current_path(previous);
  ASSERT_FALSE(run.failure) << run.failure->description;
  EXPECT_EQ(run.frames, 25);
}

// ---------------------------------------------------------------------------------------------
// Ranges

TEST(VideoRange, FramesAndPropertiesMatchFfprobe) {
  // frames: ffprobe's best-effort timestamps of the first video stream that fall in
  // [ss, ss + t).
  struct Case {
    const char* file;
    double ss, t;
    int frames, width, height;
    float rate;
  };
  const Case cases[] = {
      {"v10_h264_1080p30_people_zoom_pan.mp4", 0, 1, 30, 1920, 1080, 30},
      {"v12_rotation_90_display_matrix.mp4", 0, 0.5, 15, 1280, 720, 30},
      // Variable rate: the rate is the average; the ranges cut through the sparse part.
      {"v14_vfr_variable_frame_rate.mp4", 1.5, 2, 25, 400, 300, 3510000.f / 179609},
      {"v14_vfr_variable_frame_rate.mp4", 2.2, 1.3, 11, 400, 300, 3510000.f / 179609},
      // Only the first of two video tracks (the second is 640x480 with 77 frames).
      {"v16_two_video_tracks.mp4", 0, 10, 65, 400, 300, 25},
      // Seeks to the keyframe at 3 s, drops the frame at 3.0 and stops before 5.05.
      {"v01_real_people_enter_exit_empty_768x432_10fps.mp4", 3.05, 2, 20, 768, 432, 10},
      // Past the end after a seek: the decoder's buffered last frames must come out.
      {"v01_real_people_enter_exit_empty_768x432_10fps.mp4", 5.5, 10, 16, 768, 432, 10},
      {"v03_real_webcam_head_shoulders_400x300_25fps.mp4", -1, 2, 25, 400, 300, 25},
      {"v03_real_webcam_head_shoulders_400x300_25fps.mp4", 10, 2, 0, 400, 300, 25},
      {"v07_real_webcam_vp8.webm", 1, 1, 25, 400, 300, 25},
      {"v07_real_webcam_vp8.webm", 0, 100, 128, 400, 300, 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " from " + std::to_string(c.ss));
    video::Source source;
    ASSERT_FALSE(source.open(kVideos + c.file));
    EXPECT_NEAR(source.frameRate(), c.rate, 1e-4);
    Outcome run = readRange(kVideos + c.file, c.ss, c.t, [&](const video::Frame& frame) {
      ASSERT_EQ(frame.width, c.width);
      ASSERT_EQ(frame.height, c.height);
      ASSERT_GE(frame.rowBytes, frame.width * 4);
    });
    ASSERT_FALSE(run.failure) << run.failure->description;
    EXPECT_EQ(run.frames, c.frames);
    EXPECT_FALSE(run.failed) << run.error;
  }
}

TEST(VideoRange, FramesAreOpaqueBgraInTheColoursFfmpegGives) {
  // Channel means of v10's first frame as ffmpeg converts it:
  //   ffmpeg -i v10_h264_1080p30_people_zoom_pan.mp4 -frames:v 1 -pix_fmt bgra -f rawvideo -
  // Red and blue differ by 16, so swapped channels show.
  const double expected[] = {86.19, 91.43, 102.33, 255};
  double sums[4] = {};
  long pixels = 0;
  readRange(kVideos + "v10_h264_1080p30_people_zoom_pan.mp4", 0, 0.01,
            [&](const video::Frame& frame) {
              for (int row = 0; row < frame.height; ++row)
                for (int x = 0; x < frame.width; ++x, ++pixels)
                  for (int channel = 0; channel < 4; ++channel)
                    sums[channel] += frame.bgra[row * frame.rowBytes + x * 4 + channel];
            });
  ASSERT_EQ(pixels, 1920 * 1080);
  for (int channel = 0; channel < 4; ++channel)
    EXPECT_NEAR(sums[channel] / pixels, expected[channel], 1.0) << "channel " << channel;
  EXPECT_EQ(sums[3], 255.0 * pixels);
}

TEST(VideoRange, ASeekLandsOnTheFrameDecodingFromTheStartGives) {
  const std::string clip = kVideos + "v01_real_people_enter_exit_empty_768x432_10fps.mp4";
  std::vector<std::uint8_t> afterSeek, fromStart;
  readRange(clip, 3.05, 0.1, [&](const video::Frame& frame) { afterSeek = copyOf(frame); });
  int index = 0;
  readRange(clip, 0, 3.15, [&](const video::Frame& frame) {
    if (index++ == 31) fromStart = copyOf(frame);  // the frame at 3.1 s
  });
  ASSERT_FALSE(afterSeek.empty());
  EXPECT_TRUE(afterSeek == fromStart);
}

// ---------------------------------------------------------------------------------------------
// Damage

TEST(VideoDamage, DamageIsConcealedAndOnlyUnreadableDataFails) {
  const std::string clean = readBytes(kVideos + "v03_real_webcam_head_shoulders_400x300_25fps.mp4");
  std::string scrambled = clean;  // the index (moov) is at the front; mdat starts at 2636
  for (std::size_t i = 50000; i < 52000; ++i)
    scrambled[i] = static_cast<char>(i * 2654435761u >> 24);
  writeFixture("whole.mp4", clean);

  struct Case {
    const char* what;
    std::string path;
    int minFrames, maxFrames;
    bool failed;
  };
  const Case cases[] = {
      {"scrambled packets", writeFixture("scrambled.mp4", scrambled), 140, 150, false},
      // An interrupted recording: the index promises 150 frames, the data stops at 60 %.
      // The last packet is cut; the frames the decoder holds behind it still come out.
      {"cut short", writeFixture("cut.mp4", clean.substr(0, clean.size() * 6 / 10)), 70, 90,
       false},
      // Every frame of the first part, the decoder's last ones included, then the failure.
      {"second part missing", playlistOf("missing.ffconcat", {"whole.mp4", "missing.mp4"}), 150,
       150, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome run = readRange(c.path, 0, 100);
    ASSERT_FALSE(run.failure) << run.failure->description;
    EXPECT_GE(run.frames, c.minFrames);
    EXPECT_LE(run.frames, c.maxFrames);
    EXPECT_EQ(run.failed, c.failed);
    EXPECT_EQ(run.error.empty(), !c.failed) << run.error;
  }
}

// ---------------------------------------------------------------------------------------------
// Orientation

// A grey picture, rows top to bottom.
struct Gray {
  int width = 0, height = 0;
  std::vector<std::uint8_t> pixels;
  std::uint8_t at(int x, int row) const { return pixels[row * width + x]; }
};

Gray lumaOf(const video::Frame& frame) {
  Gray gray{frame.width, frame.height, {}};
  for (int row = 0; row < frame.height; ++row)
    for (int x = 0; x < frame.width; ++x) {
      const std::uint8_t* p = frame.bgra + row * frame.rowBytes + x * 4;
      gray.pixels.push_back(static_cast<std::uint8_t>(
          std::lround(0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2])));
    }
  return gray;
}

// What the program does with a frame: apply the transform in y-up coordinates (pixel at row r
// from the top covers y in [h - r - 1, h - r]), then move the result to the origin.
Gray turned(const Gray& in, const video::Transform& t) {
  double xs[] = {0, t.a * in.width, t.c * in.height, t.a * in.width + t.c * in.height};
  double ys[] = {0, t.b * in.width, t.d * in.height, t.b * in.width + t.d * in.height};
  auto [x0, x1] = std::minmax_element(std::begin(xs), std::end(xs));
  auto [y0, y1] = std::minmax_element(std::begin(ys), std::end(ys));
  Gray out{static_cast<int>(std::lround(*x1 - *x0)), static_cast<int>(std::lround(*y1 - *y0)), {}};
  double det = t.a * t.d - t.b * t.c;
  for (int row = 0; row < out.height; ++row)
    for (int x = 0; x < out.width; ++x) {
      // Pixel centre relative to the transformed corner, mapped back by the inverse.
      double qx = *x0 + x + 0.5, qy = *y1 - row - 0.5;
      double px = (t.d * qx - t.c * qy) / det, py = (-t.b * qx + t.a * qy) / det;
      int sx = static_cast<int>(std::floor(px));
      int srow = in.height - 1 - static_cast<int>(std::floor(py));
      out.pixels.push_back(in.at(sx, srow));
    }
  return out;
}

Gray boxAveraged(const Gray& in, int cellsX, int cellsY) {
  Gray out{cellsX, cellsY, {}};
  int cw = in.width / cellsX, ch = in.height / cellsY;
  for (int cy = 0; cy < cellsY; ++cy)
    for (int cx = 0; cx < cellsX; ++cx) {
      long sum = 0;
      for (int row = cy * ch; row < (cy + 1) * ch; ++row)
        for (int x = cx * cw; x < (cx + 1) * cw; ++x) sum += in.at(x, row);
      out.pixels.push_back(static_cast<std::uint8_t>(sum / (cw * ch)));
    }
  return out;
}

double meanAbsDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(a[i] - b[i]);
  return sum / a.size();
}

TEST(VideoOrientation, QuarterTurnShowsTheFrameAsFfmpegDoes) {
  // First frame of v12 as ffmpeg shows it (autorotate), 9x16 cells of 80x80 pixels:
  //   ffmpeg -i v12_rotation_90_display_matrix.mp4 -frames:v 1 -vf scale=9:16:flags=area
  //          -pix_fmt gray -f rawvideo -
  // A standing man: light head and shoulders at the top, dark legs at the bottom.
  const std::vector<std::uint8_t> upright = {
      115, 122, 155, 128, 137, 153, 158, 161, 171, 177, 147, 137, 140, 134, 146, 177, 153, 150,
      174, 164, 126, 142, 109, 102, 120, 178, 149, 170, 165, 106, 112, 109, 99,  111, 159, 137,
      166, 150, 79,  96,  83,  82,  110, 91,  114, 108, 87,  39,  43,  130, 85,  106, 75,  85,
      7,   7,   9,   15,  51,  89,  43,  43,  58,  6,   5,   5,   5,   15,  68,  19,  16,  17,
      14,  14,  14,  19,  20,  20,  15,  15,  36,  7,   7,   39,  84,  74,  90,  15,  14,  17,
      5,   5,   5,   5,   7,   39,  14,  13,  7,   12,  5,   5,   5,   8,   6,   50,  27,  71,
      8,   5,   5,   5,   5,   7,   5,   14,  85,  5,   5,   5,   5,   5,   9,   5,   7,   41,
      1,   1,   2,   2,   4,   3,   7,   7,   32,  1,   1,   1,   2,   3,   2,   5,   7,   23};
  // Turning the wrong way gives the upright picture upside down; it must be far from right.
  const std::vector<std::uint8_t> upsideDown(upright.rbegin(), upright.rend());
  ASSERT_GT(meanAbsDifference(upright, upsideDown), 50);

  const std::string clip = kVideos + "v12_rotation_90_display_matrix.mp4";
  video::Source source;
  ASSERT_FALSE(source.open(clip));
  Gray frame;
  readRange(clip, 0, 0.01, [&](const video::Frame& f) { frame = lumaOf(f); });
  ASSERT_EQ(frame.width, 1280);

  Gray shown = turned(frame, source.preferredTransform());
  ASSERT_EQ(shown.width, 720);
  ASSERT_EQ(shown.height, 1280);
  EXPECT_LT(meanAbsDifference(boxAveraged(shown, 9, 16).pixels, upright), 6);
}

TEST(VideoOrientation, DisplayMatrixTurnsAndMirrorsLikeItsDefinition) {
  // A 3x2 frame of labels; each case shows it as a player would, rows top to bottom.
  const Gray labels{3, 2, {1, 2, 3, 4, 5, 6}};
  auto rotated = [](double clockwiseDegrees, bool hflip, bool vflip) {
    std::vector<std::int32_t> m(9);
    av_display_rotation_set(m.data(), clockwiseDegrees);
    av_display_matrix_flip(m.data(), hflip, vflip);
    return m;
  };
  struct Case {
    const char* what;
    std::vector<std::int32_t> matrix;  // empty: the stream has none
    Gray shown;
  };
  const Case cases[] = {
      {"no matrix", {}, labels},
      {"no turn", rotated(0, false, false), labels},
      {"quarter turn clockwise", rotated(90, false, false), {2, 3, {4, 1, 5, 2, 6, 3}}},
      {"half turn", rotated(180, false, false), {3, 2, {6, 5, 4, 3, 2, 1}}},
      {"quarter turn anticlockwise", rotated(270, false, false), {2, 3, {3, 6, 2, 5, 1, 4}}},
      {"negative angle", rotated(-90, false, false), {2, 3, {3, 6, 2, 5, 1, 4}}},
      {"mirrored left to right", rotated(0, true, false), {3, 2, {3, 2, 1, 6, 5, 4}}},
      {"mirrored top to bottom", rotated(0, false, true), {3, 2, {4, 5, 6, 1, 2, 3}}},
      {"turned and mirrored", rotated(90, true, false), {2, 3, {1, 4, 2, 5, 3, 6}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    video::Transform t = video::transformFromDisplayMatrix(
        c.matrix.empty() ? nullptr : c.matrix.data(), labels.width, labels.height);
    Gray shown = turned(labels, t);
    EXPECT_EQ(shown.width, c.shown.width);
    EXPECT_EQ(shown.height, c.shown.height);
    EXPECT_EQ(shown.pixels, c.shown.pixels);
    // The program skips the turn for the identity, so an upright frame must give exactly it.
    EXPECT_EQ(t.isIdentity(), c.shown.pixels == labels.pixels);
    // The turned frame already starts at the origin.
    EXPECT_EQ(std::min({0.0, t.a * 3, t.c * 2, t.a * 3 + t.c * 2}) + t.tx, 0);
    EXPECT_EQ(std::min({0.0, t.b * 3, t.d * 2, t.b * 3 + t.d * 2}) + t.ty, 0);
  }
}

}  // namespace
