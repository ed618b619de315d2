#pragma once
// Reading a video file: its first video track, that track's frame rate and display
// orientation, and its decoded frames over a time range as 8-bit BGRA pictures with their
// timestamps.
//
//   video::Source source;
//   if (auto failure = source.open(path)) ...        // no video, or unreadable properties
//   video::Reader reader;
//   if (auto failure = reader.open(source)) ...      // no usable decoder
//   if (auto failure = reader.start(ss, t)) ...      // seek or first read failed
//   while (auto frame = reader.next()) ...           // frames in presentation order
//   if (reader.failed()) ... reader.error() ...
//
// Failures come back as values so the caller writes its own line; FFmpeg's own log is
// silenced, so nothing from this layer reaches standard error.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

struct AVFormatContext;
struct AVStream;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;
struct SwrContext;
struct AVAudioFifo;

namespace video {

// Where a failure happened; the caller's messages differ by stage.
enum class Stage {
  Open,        // V1: the file cannot be opened, or holds no video stream
  Properties,  // V2: the video stream's picture size or display matrix cannot be read
  Decoder,     // V3: no decoder for the codec, or it cannot be opened
  Start,       // V4: the seek to the range, or the first read, failed
};

struct Failure {
  Stage stage;
  std::string description;  // a readable sentence, never empty
};

// An affine map (x, y) -> (a·x + c·y + tx, b·x + d·y + ty) in image coordinates with the
// origin at the bottom-left corner and y growing upward, the first row of a frame being its
// top row. Applied to a decoded frame it gives the picture as a player shows it.
struct Transform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  bool isIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1 && tx == 0 && ty == 0; }
  bool operator==(const Transform&) const = default;
};

// The transform that shows a width x height frame upright, from an FFmpeg display matrix
// (nine int32 values, as stored in MP4 track headers); identity for none. The translation
// puts the turned frame's corner back at the origin.
Transform transformFromDisplayMatrix(const std::int32_t* matrix, int width, int height);

// A decoded frame: rows top to bottom, each pixel B, G, R, A (alpha 255 for opaque video).
// The pixels belong to the reader and stay valid until its next call of next().
// pts and duration count ticks of the range's time base (Timing) from the start of the range;
// the duration stops at the range's end.
struct Frame {
  const std::uint8_t* bgra;
  int width;
  int height;
  std::ptrdiff_t rowBytes;
  std::int64_t pts = 0;
  std::int64_t duration = 0;
};

// A fraction as FFmpeg keeps time bases and frame rates.
struct Rational {
  int num = 0, den = 1;
};

// Where a started reader's range lies, for whoever writes its frames on.
struct Timing {
  Rational timeBase;   // the seconds in one tick of a frame's pts and duration
  Rational frameRate;  // the track's nominal rate, 0/1 when the file gives none
  double start = 0;    // the range on the file's own clock, in seconds
  double end = 0;
};

namespace detail {
// Frees each FFmpeg object with its own release function.
struct Free {
  void operator()(AVFormatContext*) const;
  void operator()(AVCodecContext*) const;
  void operator()(AVFrame*) const;
  void operator()(AVPacket*) const;
  void operator()(SwsContext*) const;
  void operator()(SwrContext*) const;
  void operator()(AVAudioFifo*) const;
};
template <class T>
using Owned = std::unique_ptr<T, Free>;
}  // namespace detail

// An opened file and its first video track (attached pictures such as cover art do not count).
class Source {
 public:
  std::optional<Failure> open(const std::string& path);

  // Average frame rate, else the stream's base rate, else 0; frames per second.
  float frameRate() const { return frameRate_; }
  Transform preferredTransform() const { return transform_; }

 private:
  friend class Reader;
  detail::Owned<AVFormatContext> format_;
  AVStream* stream_ = nullptr;  // owned by format_
  float frameRate_ = 0;
  Transform transform_;
};

// Decodes the source's video track over a time range. The source must outlive the reader.
class Reader {
 public:
  std::optional<Failure> open(const Source& source);

  // Seeks to the keyframe at or before ss and decodes up to the first frame of the range
  // [ss, ss + t) seconds, counted from the track's first timestamp. Call once.
  std::optional<Failure> start(double ss, double t);

  // The next frame of the range, or nothing at its end or after a fatal read error.
  std::optional<Frame> next();

  bool failed() const { return !error_.empty(); }
  std::string error() const { return error_; }

  // Valid once start() has succeeded.
  Timing timing() const;

  // Once next() has returned nothing: the source goes on past the range, so its last frame
  // is on show up to the range's end, not just for its own duration.
  bool filledRange() const { return filledRange_; }

 private:
  // Decoded-frame geometry and colour; the converter is rebuilt when it changes mid-stream.
  struct Layout {
    int width = 0, height = 0, format = -1, colorspace = 0, range = 0;
    bool operator==(const Layout&) const = default;
  };

  int advance();
  std::pair<std::int64_t, std::int64_t> placeInRange(const AVFrame& frame);
  int receiveFrame();
  int sendNextPacket();
  int readTrackPacket();
  int convertToBgra();

  AVFormatContext* format_ = nullptr;  // the source's
  AVStream* stream_ = nullptr;         // the source's
  detail::Owned<AVCodecContext> decoder_;
  detail::Owned<AVPacket> packet_;
  detail::Owned<AVFrame> decoded_;
  detail::Owned<AVFrame> bgra_;
  detail::Owned<SwsContext> converter_;
  Layout layout_;
  std::int64_t rangeStart_ = 0, rangeEnd_ = 0;  // stream ticks, end excluded
  std::int64_t nominalDuration_ = 0;            // one frame at the nominal rate, in ticks
  std::int64_t nextPts_ = 0;  // where a frame without a timestamp goes, from the range start
  bool ready_ = false;  // decoded_ holds the next frame of the range
  bool filledRange_ = false;  // a frame at or after the range's end was met
  int status_ = 0;      // AVERROR_EOF once the range is over, another code once reading failed
  int readError_ = 0;   // why the file could not be read to its end, while draining the decoder
  std::string error_;
};

}  // namespace video
