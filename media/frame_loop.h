#pragma once
// The working half of video mode: frames from the reader, matted, out on standard output or
// into a video file.
#include "video/video.h"

// Takes over once reading has started; never returns.
[[noreturn]] void runFrameLoop(video::Reader& reader, float frameRate);
