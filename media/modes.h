#pragma once
// The two ends of the tool. Each reads the options record and the rendering state, and ends
// the process itself: status 0 after its success line, 1 after a failure line.

// One picture file in, one transparent PNG out.
[[noreturn]] void runStillImage();

// Every picture of a folder in, one transparent PNG each out into another folder.
[[noreturn]] void runFolder();

// A time range of a video in, raw RGBA frames out on standard output.
[[noreturn]] void runVideo();
