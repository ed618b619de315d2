#include "video/errors.h"

#include <cctype>
#include <cerrno>

extern "C" {
#include <libavutil/error.h>
}

namespace video {
namespace {

// FFmpeg's own texts for these read like log messages ("Invalid data found when processing
// input", "Not yet implemented in FFmpeg, patches welcome") and say nothing to someone who
// only handed us a file.
const char* ownSentence(int averror) {
  switch (averror) {
    case AVERROR_INVALIDDATA: return "the file is damaged or cut short";
    case AVERROR_EOF: return "the file ends early";
    case AVERROR_DECODER_NOT_FOUND: return "no decoder is available for this codec";
    case AVERROR_DEMUXER_NOT_FOUND: return "the container format is not supported";
    case AVERROR_STREAM_NOT_FOUND: return "the file holds no video stream";
    case AVERROR_PATCHWELCOME: return "the file uses a feature the decoder does not support";
    case AVERROR(ENOSYS): return "the operation is not supported for this file";
    case AVERROR(ENOMEM): return "out of memory";
    case AVERROR_BUG:
    case AVERROR_BUG2: return "internal error in the video library";
    default: return nullptr;
  }
}

}  // namespace

std::string describe(int averror) {
  if (const char* sentence = ownSentence(averror)) return sentence;
  char text[AV_ERROR_MAX_STRING_SIZE];
  if (av_strerror(averror, text, sizeof text) < 0)
    return "unexpected error " + std::to_string(averror) + " from the video library";
  std::string sentence = text;
  // Lower-case the first word ("No such file" -> "no such file") but not an acronym ("I/O").
  if (sentence.size() > 1 && std::isupper(static_cast<unsigned char>(sentence[0])) &&
      std::islower(static_cast<unsigned char>(sentence[1])))
    sentence[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(sentence[0])));
  return sentence;
}

}  // namespace video
