#pragma once
// The working half of video mode: frames from the reader, matted, out on standard output.
#include "video/video.h"

// Takes over once reading has started; never returns.
[[noreturn]] void runFrameLoop(video::Reader& reader, float frameRate);
