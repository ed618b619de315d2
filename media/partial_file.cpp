#include "media/partial_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "cli/diagnostics.h"

namespace {

// Read by a signal handler, so set before the handlers go in and never reallocated after.
std::string partialPath;
volatile std::sig_atomic_t partialExists = 0;
int partialFd = -1;

void removePartial() {
  if (partialExists) unlink(partialPath.c_str());
}

// Only async-signal-safe calls: the handler may interrupt any of the run's threads anywhere.
// The default action, raised again once the handler returns, ends the process as the signal
// would have.
extern "C" void removeAndDie(int signal) {
  removePartial();
  std::raise(signal);
}

void removeOnEveryEnd() {
  std::atexit(removePartial);  // fail() ends the run with exit()
  struct sigaction action {};
  action.sa_handler = removeAndDie;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

std::string folderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

[[noreturn]] void failToWrite(const std::string& target, const char* reason) {
  fail("cannot write " + target + ": " + reason);
}

// A target that exists must be a file the user may replace: renaming over a folder fails only
// at the end, and renaming over a read-only file would replace what its owner protected.
void checkTarget(const std::string& target) {
  struct stat status {};
  if (stat(target.c_str(), &status) != 0) return;
  if (S_ISDIR(status.st_mode)) failToWrite(target, std::strerror(EISDIR));
  if (access(target.c_str(), W_OK) != 0) failToWrite(target, std::strerror(errno));
}

}  // namespace

std::string startPartialFile(const std::string& target) {
  checkTarget(target);
  const std::string stem = folderOf(target) + "/.quelm-matte-" + std::to_string(getpid()) + "-";
  for (int attempt = 0;; ++attempt) {
    std::string path = stem + std::to_string(attempt);
    // Created like any new file, so it has the permissions the umask gives once renamed.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST && attempt < 100) continue;
    if (fd < 0) failToWrite(target, std::strerror(errno));
    partialPath = path;
    partialFd = fd;
    partialExists = 1;
    removeOnEveryEnd();
    return partialPath;
  }
}

void finishPartialFile(const std::string& target) {
  if (fsync(partialFd) != 0 || close(partialFd) != 0) failToWrite(target, std::strerror(errno));
  if (std::rename(partialPath.c_str(), target.c_str()) != 0) failToWrite(target, std::strerror(errno));
  partialExists = 0;
}
