#pragma once
// A file that appears at its target name only once it is complete. It is written under a
// temporary name beside the target and renamed onto it at the end; a temporary that is open
// when the process ends any other way (exit, SIGINT, SIGTERM, SIGHUP) is removed, so neither
// a half-written file nor the temporary is left behind. Failures come back as reasons, for
// the caller to end the run with or to report and go on.

#include <functional>
#include <optional>
#include <string>

struct PartialFile {
  std::string path;  // the temporary's
  int fd = -1;       // open for writing
  int slot = -1;     // where the end-of-process cleanup finds it
};

// Creates the temporary beside target, created like any new file (0666 less the umask), or
// says why it cannot: the target's folder cannot take it, or the target is a folder or a file
// that may not be written (renaming over it would replace what its owner protected).
std::optional<std::string> startPartialFile(const std::string& target, PartialFile& file);

// Makes the temporary durable and renames it onto the target; on failure it is removed.
std::optional<std::string> finishPartialFile(const PartialFile& file, const std::string& target);

// Removes the temporary: nothing appears at the target.
void abandonPartialFile(const PartialFile& file);

// The file at target written whole by `write` into a descriptor, or not at all: write's
// failure, or any exception it throws, leaves nothing behind.
std::optional<std::string> writeFileWhole(const std::string& target,
                                          const std::function<std::optional<std::string>(int fd)>& write);
