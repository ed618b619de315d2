#pragma once
// The source's sound for the writer: its first audio track over the range, decoded, cut to
// the range, converted and encoded again for the output's container, and written into the
// output alongside the video.
#include <cstdint>
#include <optional>
#include <string>

#include "video/video.h"
#include "video/writer.h"

namespace video {

class SoundTrack {
 public:
  // Opens `from` and adds the audio stream to the output, whose header is not written yet.
  // A file without sound adds nothing, and present() is then false.
  std::optional<std::string> open(const std::string& from, double start, double end, Container container,
                                  AVFormatContext& output);
  bool present() const { return encoder_ != nullptr; }

  // Writes the sound up to this many seconds from the start of the range, or to its end.
  // Returns 0 or the AVERROR that stopped it.
  int copyUntil(double seconds);
  // The rest of the range, and whatever the encoder still holds.
  int finish();

 private:
  int decodeNext();
  int sendNextPacket();
  int keep(const AVFrame& frame);
  int convert(const std::uint8_t* const* samples, int count);
  int encodeBuffered(bool all);
  int writePackets();

  detail::Owned<AVFormatContext> input_;
  AVStream* source_ = nullptr;  // owned by input_
  detail::Owned<AVCodecContext> decoder_;
  detail::Owned<AVCodecContext> encoder_;
  detail::Owned<AVPacket> packet_;
  detail::Owned<AVFrame> decoded_;
  detail::Owned<AVFrame> chunk_;
  detail::Owned<SwrContext> resampler_;
  detail::Owned<AVAudioFifo> buffered_;
  AVFormatContext* output_ = nullptr;
  AVStream* stream_ = nullptr;  // owned by output_

  double start_ = 0;          // the range on the source's clock, seconds
  std::int64_t length_ = 0;   // the range's length in source samples
  std::int64_t position_ = 0; // the next decoded sample's place from the range start, source samples
  bool placed_ = false;       // position_ comes from a timestamp
  std::int64_t outStart_ = -1;  // the first kept sample's place, output samples; -1 before it
  std::int64_t consumed_ = 0;   // output samples handed to the encoder
  bool inputDone_ = false;
};

}  // namespace video
