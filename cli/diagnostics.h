#pragma once
// The program's only voice besides its output: one line at a time on standard error.
#include <string_view>

// Writes line and a line feed to standard error before returning. If standard error is
// gone the line is lost and the run goes on; the caller is never told.
void log(std::string_view line);

// Logs line, then ends the process with status 1. Failures are reported where they are met,
// never passed up, and nothing is cleaned up on the way out.
[[noreturn]] void fail(std::string_view line);
