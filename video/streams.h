#pragma once
// What the reading and the writing sides both need to know of a file's streams and clocks.
#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

namespace video {

// The first stream of this type; attached pictures (cover art is stored as a one-frame video
// stream) do not count.
AVStream* firstStream(const AVFormatContext& format, AVMediaType type);

// The average frame rate, else the stream's base rate, else 0/1.
AVRational nominalRate(const AVStream& stream);

// Seconds as ticks of a time base. The seconds come from the command line unchecked, so NaN
// and huge values arrive here; they saturate well inside int64, so that start + length
// cannot overflow.
std::int64_t ticksFrom(double seconds, AVRational timeBase);

}  // namespace video
