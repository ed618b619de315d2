#include "video/streams.h"

#include <algorithm>
#include <cmath>

namespace video {

AVStream* firstStream(const AVFormatContext& format, AVMediaType type) {
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    AVStream* stream = format.streams[i];
    if (stream->codecpar->codec_type == type && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
      return stream;
  }
  return nullptr;
}

AVRational nominalRate(const AVStream& stream) {
  for (AVRational rate : {stream.avg_frame_rate, stream.r_frame_rate})
    if (rate.num > 0 && rate.den > 0) return rate;
  return {0, 1};
}

std::int64_t ticksFrom(double seconds, AVRational timeBase) {
  constexpr double kLimit = 0x1p61;
  double ticks = seconds * timeBase.den / timeBase.num;
  if (std::isnan(ticks)) return 0;
  return std::llround(std::clamp(ticks, -kLimit, kLimit));
}

}  // namespace video
