#pragma once
// Writing matted frames as a video file with transparency, and the source's sound with them.
//
//   video::Writer writer;
//   if (auto error = writer.open(output)) ...            // encoders, file, header
//   if (auto error = writer.write(rgba, rowBytes, pts, duration)) ...   // per frame
//   if (auto error = writer.finish(toRangeEnd)) ...      // the rest of the sound, the index
//
// Each call returns why the file cannot be written, or nothing. The frames are encoded on a
// thread of the writer's own, one frame behind the caller, so that the caller mats the next
// frame meanwhile; an encoding failure is reported by the call after it.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "video/video.h"

namespace video {

// The two containers whose codecs keep an alpha channel.
enum class Container {
  WebM,  // VP9 with alpha (libvpx), Opus sound: browsers play it transparent
  Mov,   // ProRes 4444 with alpha, PCM sound: for editing programs
};

struct Output {
  std::string path;  // written in place, created or truncated
  Container container = Container::WebM;
  int width = 0, height = 0;
  Timing timing;          // the range the frames come from
  std::string soundFrom;  // the file whose first audio track is copied over the range, if any
};

class SoundTrack;
struct Planes;

class Writer {
 public:
  Writer();
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  std::optional<std::string> open(const Output& output);

  // One frame of straight-alpha RGBA rows, shown from pts for duration (ticks of the
  // output's time base, from the start of the range). The pixels are taken before it returns.
  std::optional<std::string> write(const std::uint8_t* rgba, std::ptrdiff_t rowBytes, std::int64_t pts,
                                   std::int64_t duration);

  // The last frames and the rest of the sound, then the container's index; the file is
  // complete and closed when it returns nothing. With toRangeEnd, the last frame is shown up
  // to the end of the range (the source goes on after it), however short its own duration.
  std::optional<std::string> finish(bool toRangeEnd);

 private:
  void encodeInTurn();
  int encode(AVFrame* frame);
  int writePackets();
  int writeHeld();

  detail::Owned<AVFormatContext> format_;
  detail::Owned<AVCodecContext> encoder_;
  void (*convert_)(const std::uint8_t*, std::ptrdiff_t, int, int, const Planes&) = nullptr;
  detail::Owned<AVFrame> frames_[2];  // converted in turn: one is encoded while the next is filled
  detail::Owned<AVPacket> packet_;
  detail::Owned<AVPacket> held_;  // the latest packet, written once the next one comes
  bool holding_ = false;
  std::int64_t rangeLength_ = 0;  // ticks of the time base
  std::unique_ptr<SoundTrack> sound_;
  AVStream* stream_ = nullptr;  // owned by format_
  Rational timeBase_;
  std::int64_t lastPts_ = -1;
  std::int64_t count_ = 0;  // frames written
  std::deque<std::pair<std::int64_t, std::int64_t>> durations_;  // pts and duration of each frame in the encoder

  std::thread worker_;
  std::mutex mutex_;
  std::condition_variable changed_;
  AVFrame* pending_ = nullptr;  // handed to the worker, not yet encoded
  bool stopping_ = false;
  int status_ = 0;              // the first encoding or muxing failure
};

}  // namespace video
