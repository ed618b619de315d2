#pragma once
// The program's only voice besides its output: one line at a time on standard error.
#include <string>
#include <string_view>

// Writes line and a line feed to standard error before returning. If standard error is
// gone the line is lost and the run goes on; the caller is never told. Every line goes
// through oneLine() on its way.
void log(std::string_view line);

// Logs line, then ends the process with status 1. Failures are reported where they are met,
// never passed up, and nothing is cleaned up on the way out.
[[noreturn]] void fail(std::string_view line);

// The text as one line of valid UTF-8: a byte that is no part of a well-formed UTF-8
// sequence, and a control character other than tab, becomes "\x" and two lower-case hex
// digits; everything else, valid multi-byte characters and backslashes included, is kept
// as it is. Paths and library texts may hold any bytes, and whoever reads standard error
// (a terminal, a log collector, a parent process decoding it) expects text, line by line.
std::string oneLine(std::string_view text);
