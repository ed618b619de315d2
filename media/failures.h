#pragma once
// How a mode ends on an exception, whatever threw it and wherever (on a worker thread of a
// render too): one failure line and status 1, never a terminate or a signal.
#include <string>

// Call only from a catch (...) block: the line for the exception in flight. A broken set-up
// of the segmentation is told in its own words; anything else as head followed by the
// reason: the exception's text up to its first line feed, "out of memory" for an allocation
// failure, "unknown error" for what is no std::exception.
std::string failureLine(const std::string& head);

// Call only from a catch (...) block: ends the run with failureLine(head).
[[noreturn]] void failOnException(const std::string& head);
