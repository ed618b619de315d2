#include "cli/diagnostics.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// The length of the well-formed UTF-8 sequence at the start of s, or 0 when its first byte
// starts none: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t sequenceLength(std::string_view s) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xbf;  // the range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) length = 2;
  else if (lead == 0xe0) length = 3, low = 0xa0;
  else if (lead == 0xed) length = 3, high = 0x9f;
  else if (lead >= 0xe1 && lead <= 0xef) length = 3;
  else if (lead == 0xf0) length = 4, low = 0x90;
  else if (lead == 0xf4) length = 4, high = 0x8f;
  else if (lead >= 0xf1 && lead <= 0xf3) length = 4;
  else return 0;
  if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  return length;
}

bool isControl(char c) { return (static_cast<std::uint8_t>(c) < 0x20 && c != '\t') || c == 0x7f; }

void appendEscaped(std::string& out, std::uint8_t byte) {
  constexpr char hex[] = "0123456789abcdef";
  out += "\\x";
  out += hex[byte >> 4];
  out += hex[byte & 0xf];
}

}  // namespace

std::string oneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    std::size_t length = sequenceLength(text);
    if (length == 0 || isControl(text.front())) {
      appendEscaped(out, static_cast<std::uint8_t>(text.front()));
      length = 1;
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}

void log(std::string_view line) {
  // One buffer and straight to the descriptor: the line is never split by another writer's
  // output between text and line feed, and no buffer of ours can hold it back at an exit.
  std::string bytes = oneLine(line);
  bytes.push_back('\n');
  std::string_view rest = bytes;
  while (!rest.empty()) {
    ssize_t written = write(STDERR_FILENO, rest.data(), rest.size());
    if (written > 0) rest.remove_prefix(static_cast<std::size_t>(written));
    else if (written < 0 && errno == EINTR) continue;
    else return;  // standard error is closed or nobody reads it: nothing better to do
  }
}

void fail(std::string_view line) {
  log(line);
  std::exit(1);
}
