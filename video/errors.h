#pragma once
// Readable sentences for FFmpeg's error codes, for the failure descriptions the caller prints.
#include <string>

namespace video {

// A short lower-case sentence for an AVERROR code, e.g. "the file is damaged or cut
// short"; operating-system errors keep their usual wording ("no such file or
// directory").
std::string describe(int averror);

}  // namespace video
