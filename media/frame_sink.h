#pragma once
// Where video mode's matted frames go, chosen once before the first frame: the raw frame
// stream on standard output, or a video file with transparency (--out). Each end reports its
// own failures and ends the run there.
#include <cstdint>
#include <functional>
#include <string>

#include "video/video.h"

struct FrameSink {
  // One whole frame of straight RGBA rows, rowBytes apart, and the source frame it came from.
  std::function<void(const std::uint8_t* rgba, const video::Frame& source)> put;
  // After the last frame.
  std::function<void()> close;
};

// Every frame's bytes written whole to standard output, nothing else.
FrameSink rawStream(std::int64_t width, std::int64_t height);

// The same for a mask rendered as RGBA (four equal channels): one byte a pixel.
FrameSink greyStream(std::int64_t width, std::int64_t height);

// A WebM or MOV file at out, picked by its extension, with the frames at their source's
// timestamps and the sound of the reader's range.
FrameSink videoFile(const std::string& out, const video::Reader& reader, std::int64_t width, std::int64_t height);
