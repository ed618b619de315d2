#include "cli/diagnostics.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <unistd.h>

void log(std::string_view line) {
  // One buffer and straight to the descriptor: the line is never split by another writer's
  // output between text and line feed, and no buffer of ours can hold it back at an exit.
  std::string bytes;
  bytes.reserve(line.size() + 1);
  bytes.append(line).push_back('\n');
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
