// Video mode's --out files, decoded back with FFmpeg's own decoders (libvpx's for VP9, since
// only it reads the alpha layer): the frames at their source's times, their alpha against the
// raw stream's, the sound cut to the range and level with the picture, and every way a run
// that cannot finish leaves the folder as it found it.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "run_tool.h"
#include "media/pictures.h"
#include "video/writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace fs = std::filesystem;

namespace {

const std::string kClips = QUELM_SHARED_DIR "/media/video/";
const std::string kWithSound = kClips + "v10_h264_1080p30_people_zoom_pan.mp4";  // AAC stereo 48 kHz
const std::string kVariableRate = kClips + "v14_vfr_variable_frame_rate.mp4";     // no sound

// A folder of this test's own, emptied after each test.
class VideoOut : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::path(testing::TempDir()) / ("video_out_" + std::to_string(getpid()));
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string at(const std::string& name) const { return (folder_ / name).string(); }
  std::vector<std::string> leftOver() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) names.push_back(entry.path().filename().string());
    return names;
  }

 private:
  fs::path folder_;
};

// Small and in person mode, so that a run takes a second or two.
std::vector<std::string> videoRun(const std::string& in, double ss, double t, const std::string& size,
                                  std::vector<std::string> more = {}) {
  std::vector<std::string> a{"--in", in, "--ss", std::to_string(ss), "--t", std::to_string(t), "--size", size,
                             "--mode", "person"};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// What a file holds, as a player would see it.
struct Decoded {
  int width = 0, height = 0;
  AVRational frameRate{0, 1};
  std::vector<double> times;                   // each frame's, seconds, in presentation order
  double end = 0;                              // where the last frame stops showing
  std::vector<std::vector<std::uint8_t>> alpha;  // each decoded frame's, 8-bit, rows packed
  bool sound = false;
  int sampleRate = 0;
  double soundStart = 0;       // the first sample's time, seconds
  std::vector<float> samples;  // the first channel
};

// The alpha plane scaled to 8 bits, whatever depth the decoder gives it; empty without one.
std::vector<std::uint8_t> alphaOf(const AVFrame& frame) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  if (!desc || !(desc->flags & AV_PIX_FMT_FLAG_ALPHA)) return {};
  const AVComponentDescriptor& a = desc->comp[3];
  const int max = (1 << a.depth) - 1;
  std::vector<std::uint8_t> out;
  out.reserve(std::size_t(frame.width) * frame.height);
  for (int y = 0; y < frame.height; ++y) {
    const std::uint8_t* row = frame.data[a.plane] + std::ptrdiff_t(y) * frame.linesize[a.plane];
    for (int x = 0; x < frame.width; ++x) {
      int v = a.depth > 8 ? (reinterpret_cast<const std::uint16_t*>(row)[x] >> a.shift) & max : row[x];
      out.push_back(std::uint8_t((v * 255 + max / 2) / max));
    }
  }
  return out;
}

float firstChannelSample(const AVFrame& frame, int i) {
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const bool planar = av_sample_fmt_is_planar(format);
  const int at = planar ? i : i * frame.ch_layout.nb_channels;
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_S16: return reinterpret_cast<const std::int16_t*>(frame.extended_data[0])[at] / 32768.0f;
    case AV_SAMPLE_FMT_S32: return float(reinterpret_cast<const std::int32_t*>(frame.extended_data[0])[at] / 2147483648.0);
    case AV_SAMPLE_FMT_FLT: return reinterpret_cast<const float*>(frame.extended_data[0])[at];
    default: ADD_FAILURE() << "sample format " << av_get_sample_fmt_name(format); return 0;
  }
}

struct CodecOwner {
  AVCodecContext* context = nullptr;
  ~CodecOwner() { avcodec_free_context(&context); }
};

// Decodes the first video track (unless soundOnly) and the first audio track of path.
Decoded decode(const std::string& path, bool soundOnly = false) {
  Decoded out;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return out;
  }
  avformat_find_stream_info(format, nullptr);
  AVStream* video = nullptr;
  AVStream* audio = nullptr;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    AVStream* s = format->streams[i];
    if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !video && !soundOnly) video = s;
    if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && !audio) audio = s;
  }
  CodecOwner picture, sound;
  auto openDecoder = [](CodecOwner& owner, AVStream& stream) {
    const AVCodec* codec = stream.codecpar->codec_id == AV_CODEC_ID_VP9 ? avcodec_find_decoder_by_name("libvpx-vp9")
                                                                        : avcodec_find_decoder(stream.codecpar->codec_id);
    owner.context = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(owner.context, stream.codecpar);
    owner.context->pkt_timebase = stream.time_base;
    if (avcodec_open2(owner.context, codec, nullptr) < 0) ADD_FAILURE() << "cannot decode " << codec->name;
  };
  if (video) {
    openDecoder(picture, *video);
    out.width = video->codecpar->width;
    out.height = video->codecpar->height;
    out.frameRate = video->avg_frame_rate;
  }
  if (audio) {
    openDecoder(sound, *audio);
    out.sound = true;
    out.sampleRate = audio->codecpar->sample_rate;
  }
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  bool soundPlaced = false;
  auto drain = [&](AVCodecContext* decoder, bool isVideo) {
    while (avcodec_receive_frame(decoder, frame) == 0) {
      if (isVideo) {
        out.alpha.push_back(alphaOf(*frame));
      } else {
        if (!soundPlaced) out.soundStart = frame->best_effort_timestamp * av_q2d(audio->time_base);
        soundPlaced = true;
        for (int i = 0; i < frame->nb_samples; ++i) out.samples.push_back(firstChannelSample(*frame, i));
      }
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(format, packet) >= 0) {
    if (video && packet->stream_index == video->index) {
      out.times.push_back(packet->pts * av_q2d(video->time_base));
      out.end = std::max(out.end, (packet->pts + packet->duration) * av_q2d(video->time_base));
      avcodec_send_packet(picture.context, packet);
      drain(picture.context, true);
    } else if (audio && packet->stream_index == audio->index) {
      avcodec_send_packet(sound.context, packet);
      drain(sound.context, false);
    }
    av_packet_unref(packet);
  }
  // The track's length as a player takes it: WebM keeps it in a tag (its packets take their
  // duration from the nominal rate), MOV in the track, whose packets' durations are shifted
  // by an edit that starts the track late when the range's first frame comes after ss.
  int hours = 0, minutes = 0;
  double seconds = 0;
  if (!video) {
  } else if (auto* tag = av_dict_get(video->metadata, "DURATION", nullptr, 0);
             tag && std::sscanf(tag->value, "%d:%d:%lf", &hours, &minutes, &seconds) == 3) {
    out.end = hours * 3600 + minutes * 60 + seconds;
  } else if (video->duration != AV_NOPTS_VALUE) {
    out.end = (video->start_time + video->duration) * av_q2d(video->time_base);
  }
  if (video) avcodec_send_packet(picture.context, nullptr), drain(picture.context, true);
  if (audio) avcodec_send_packet(sound.context, nullptr), drain(sound.context, false);
  std::sort(out.times.begin(), out.times.end());
  av_frame_free(&frame);
  av_packet_free(&packet);
  avformat_close_input(&format);
  return out;
}

// The times of the source's frames in [ss, ss + t) on its own clock, from ss: read from the
// container's packets, apart from the tool's reader.
std::vector<double> sourceTimes(const std::string& path, double ss, double t) {
  AVFormatContext* format = nullptr;
  std::vector<double> times;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return times;
  avformat_find_stream_info(format, nullptr);
  int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  AVStream* stream = format->streams[index];
  const double origin = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time * av_q2d(stream->time_base);
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(format, packet) >= 0) {
    const double at = packet->pts * av_q2d(stream->time_base) - origin - ss;
    if (packet->stream_index == index && at >= -1e-9 && at < t - 1e-9) times.push_back(at);
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&format);
  std::sort(times.begin(), times.end());
  return times;
}

// The largest and the mean difference between each file frame's alpha and the raw stream's.
struct AlphaError {
  int largest = 0;
  double mean = 0;
};

AlphaError alphaError(const Decoded& file, const std::string& raw, int width, int height) {
  AlphaError error;
  const std::size_t pixels = std::size_t(width) * height;
  double sum = 0;
  for (std::size_t f = 0; f < file.alpha.size(); ++f) {
    const std::uint8_t* rgba = reinterpret_cast<const std::uint8_t*>(raw.data()) + f * pixels * 4;
    for (std::size_t i = 0; i < pixels; ++i) {
      const int d = std::abs(int(file.alpha[f][i]) - int(rgba[i * 4 + 3]));
      error.largest = std::max(error.largest, d);
      sum += d;
    }
  }
  error.mean = sum / double(pixels * std::max<std::size_t>(file.alpha.size(), 1));
  return error;
}

// The shift, within a tenth of a second either way, at which the file's sound matches the
// source's from ss best (least squared difference), and that match's error relative to the
// sound's own energy.
struct SoundMatch {
  int lag = 0;
  double relativeError = 0;
};

SoundMatch matchSound(const Decoded& file, const Decoded& source, double ss) {
  const int rate = file.sampleRate;
  const auto from = std::int64_t(std::llround((ss - source.soundStart) * rate));
  const int reach = rate / 10;
  const std::int64_t n = std::int64_t(file.samples.size()) - 2 * reach;
  SoundMatch best{0, 1e30};
  double energy = 0;
  for (std::int64_t i = reach; i < reach + n; ++i) energy += double(file.samples[i]) * file.samples[i];
  for (int lag = -reach; lag <= reach; ++lag) {
    double sum = 0;
    for (std::int64_t i = reach; i < reach + n; ++i) {
      const double d = file.samples[i] - source.samples[from + i + lag];
      sum += d * d;
    }
    if (sum / energy < best.relativeError) best = {lag, sum / energy};
  }
  return best;
}

}  // namespace

TEST(VideoOutContainer, TheExtensionAloneChoosesIt) {
  using video::Container;
  struct Case {
    const char* path;
    std::optional<Container> container;
  } cases[] = {
      {"cut.webm", Container::WebM}, {"out/Cut.WebM", Container::WebM}, {"/tmp/a.b.mov", Container::Mov},
      {"cut.MOV", Container::Mov},   {"cut.mp4", std::nullopt},          {"cut.mkv", std::nullopt},
      {"webm", std::nullopt},        {"cut.webm.part", std::nullopt},    {"folder.webm/cut", std::nullopt},
      {"cut.", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(containerFor(c.path), c.container) << c.path;
}

// Each file against the raw stream of the same range and options, and against its source.
// The bounds on alpha were measured on these clips: ProRes 4444 keeps alpha losslessly and
// its 10 bits give the 8 back exactly; VP9 codes alpha like a second luma picture at the
// quality the colour gets, which moves the steepest edges by up to 17 levels (mean 0.26 to
// 0.61) and leaves the flat areas, most of the picture, exact.
TEST_F(VideoOut, FilesDecodeToTheRangeWithItsAlphaAndSound) {
  struct Case {
    const char* name;
    std::string in;
    double ss, t;
    double end;  // of the file: the range's, or the source's when it stops sooner
    double soundLength;
    const char* size;
    int largestAlphaError;
    double meanAlphaError;
    AVRational frameRate;  // 0/1: variable, not checked
  } cases[] = {
      {"cut.webm", kWithSound, 1, 0.5, 0.5, 0.5, "108x192", 24, 0.8, {30, 1}},
      {"cut.mov", kWithSound, 1, 0.5, 0.5, 0.5, "108x192", 0, 0, {30, 1}},
      // The clip's AAC, decoded, runs on 13 ms past its picture: its last frame is whole.
      {"tail.webm", kWithSound, 4.7, 1, 0.3, 0.31333, "108x192", 24, 0.8, {30, 1}},
      // Odd sides: 4:2:0 chroma covers a last column and row of their own. The range's first
      // frame comes 85 ms after ss, and the last lasts to the range's end.
      {"vfr.webm", kVariableRate, 2.2, 1, 1, 0, "107x191", 24, 0.8, {0, 1}},
      {"vfr.mov", kVariableRate, 2.2, 1, 1, 0, "107x191", 0, 0, {0, 1}},
  };
  const Decoded withSound = decode(kWithSound, true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = at(c.name);
    ToolRun run = runTool(videoRun(c.in, c.ss, c.t, c.size, {"--out", out}));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");  // nothing on standard output
    EXPECT_NE(run.err.find("done "), std::string::npos) << run.err;
    ToolRun raw = runTool(videoRun(c.in, c.ss, c.t, c.size));
    ASSERT_EQ(raw.status, 0) << raw.err;
    EXPECT_EQ(leftOver(), std::vector<std::string>{c.name});

    const Decoded file = decode(out);
    fs::remove(out);
    const int width = std::stoi(c.size), height = std::stoi(std::string(c.size).substr(4));
    EXPECT_EQ(file.width, width);
    EXPECT_EQ(file.height, height);
    if (c.frameRate.num) {
      EXPECT_EQ(av_cmp_q(file.frameRate, c.frameRate), 0) << file.frameRate.num << "/" << file.frameRate.den;
    }

    // Frames at their source's times from ss; the last one lasts to the end of the range.
    const std::vector<double> expected = sourceTimes(c.in, c.ss, c.t);
    ASSERT_EQ(file.times.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(file.times[i], expected[i], 0.001) << "frame " << i;
    EXPECT_NEAR(file.end, c.end, 0.001);

    ASSERT_EQ(file.alpha.size(), expected.size());
    ASSERT_EQ(raw.out.size(), expected.size() * width * height * 4);
    for (const auto& plane : file.alpha) ASSERT_EQ(plane.size(), std::size_t(width) * height) << "no alpha plane";
    const AlphaError error = alphaError(file, raw.out, width, height);
    EXPECT_LE(error.largest, c.largestAlphaError);
    EXPECT_LE(error.mean, c.meanAlphaError);

    EXPECT_EQ(file.sound, c.in == kWithSound);
    if (!file.sound) continue;
    EXPECT_EQ(file.sampleRate, 48000);
    EXPECT_NEAR(file.soundStart, 0, 0.001);
    EXPECT_NEAR(double(file.samples.size()) / file.sampleRate, c.soundLength, 0.001);
    // In sync: the source's own samples from ss, not some shifted by an encoder's delay.
    const SoundMatch match = matchSound(file, withSound, c.ss);
    EXPECT_LE(std::abs(match.lag), 1);
    EXPECT_LE(match.relativeError, 0.5);  // measured: 0.0003 (Opus), 0 (PCM); 0.33 on a quiet tail
  }
}

TEST_F(VideoOut, RefusalsComeBeforeAnyFrameAndLeaveNothing) {
  fs::create_directory(at("taken.webm"));
  struct Case {
    std::string out;
    std::string reason;
  } cases[] = {
      {at("cut.mp4"), "only .webm (VP9 with alpha) and .mov (ProRes 4444 with alpha) keep transparency"},
      {at("cut"), "only .webm (VP9 with alpha) and .mov (ProRes 4444 with alpha) keep transparency"},
      {at("missing/cut.webm"), "No such file or directory"},
      {at("taken.webm"), "Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    ToolRun run = runTool(videoRun(kWithSound, 0, 1, "108x192", {"--out", c.out}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "cannot write " + c.out + ": " + c.reason + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(leftOver(), std::vector<std::string>{"taken.webm"});
  }
}

// A run that stops after frames were written, by a failure or a signal, leaves neither the
// target nor the file it was writing under another name.
TEST_F(VideoOut, ARunThatCannotFinishLeavesNothing) {
  // The second part of the playlist is missing: every frame of the first, then a read failure.
  std::ifstream clip(kClips + "v03_real_webcam_head_shoulders_400x300_25fps.mp4", std::ios::binary);
  std::ofstream(at("part.mp4"), std::ios::binary) << std::string(std::istreambuf_iterator<char>(clip), {});
  std::ofstream(at("list.ffconcat")) << "ffconcat version 1.0\nfile part.mp4\nfile missing.mp4\n";
  ToolRun failed = runTool(videoRun(at("list.ffconcat"), 0, 7, "108x192", {"--out", at("cut.webm")}));
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("frame 150/175\n"), std::string::npos) << failed.err;
  EXPECT_NE(failed.err.find("read failed: "), std::string::npos) << failed.err;
  std::vector<std::string> left = leftOver();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"list.ffconcat", "part.mp4"}));
  fs::remove(at("part.mp4"));
  fs::remove(at("list.ffconcat"));

  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    const std::string out = at(signal == SIGINT ? "cut.webm" : "cut.mov");
    std::vector<std::string> arguments = videoRun(kWithSound, 0, 5, "108x192", {"--out", out});
    pid_t pid = startTool(arguments, err[1]);
    close(err[1]);
    // Mid-run: the first progress line means frames are in the file.
    std::string said;
    char chunk[4096];
    pollfd fd{err[0], POLLIN, 0};
    while (said.find("frame 15/") == std::string::npos && poll(&fd, 1, 60000) > 0) {
      ssize_t n = read(err[0], chunk, sizeof chunk);
      if (n <= 0) break;
      said.append(chunk, std::size_t(n));
    }
    EXPECT_NE(said.find("frame 15/150"), std::string::npos) << said;
    kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    close(err[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(leftOver(), std::vector<std::string>{});
  }
}
