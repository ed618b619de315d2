#pragma once
// The program's top-level flow: options, rendering state, then one of the two modes or a
// usage line. It never returns.
#include "cli/args.h"

[[noreturn]] void drive(int argc, const char* const* argv);

// Where the options lead: a still image takes precedence, video needs a path and a positive
// duration, anything else is told how to call the tool.
enum class Dispatch { stillImage, stillImageUsage, video, videoUsage };
Dispatch dispatch(const Args& options);
