#pragma once
// How a mode ends on an exception, whatever threw it and wherever (on a worker thread of a
// render too): one failure line and status 1, never a terminate or a signal.
#include <string>

// Call only from a catch (...) block. A broken set-up of the segmentation is reported in
// its own words; anything else as head followed by the reason: the exception's text up to
// its first line feed, "out of memory" for an allocation failure, "unknown error" for what
// is no std::exception.
[[noreturn]] void failOnException(const std::string& head);
