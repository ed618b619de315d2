#include "media/partial_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// Each temporary open at once has a slot that a signal handler can read: a fixed path buffer
// and a state, so nothing the handler touches is ever reallocated. A slot is claimed before
// its path is written and marked live only once the path is whole. A run writes one file at a
// time (folder mode's writes follow one another), so a few slots leave room to spare.
enum SlotState : int { freeSlot, claimed, live };
struct Slot {
  std::atomic<int> state{freeSlot};
  char path[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");
Slot slots[4];

void removeLiveTemporaries() {
  for (Slot& slot : slots)
    if (slot.state.load() == live) unlink(slot.path);
}

// Only async-signal-safe calls: the handler may interrupt any of the run's threads anywhere.
// The default action, raised again once the handler returns, ends the process as the signal
// would have.
extern "C" void removeAndDie(int signal) {
  removeLiveTemporaries();
  std::raise(signal);
}

void removeOnEveryEnd() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    std::atexit(removeLiveTemporaries);  // a failure line ends the run with exit()
    struct sigaction action {};
    action.sa_handler = removeAndDie;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  });
}

int claimSlot() {
  for (int i = 0; i < int(std::size(slots)); ++i) {
    int expected = freeSlot;
    if (slots[i].state.compare_exchange_strong(expected, claimed)) return i;
  }
  return -1;
}

void releaseSlot(int slot) { slots[slot].state.store(freeSlot); }

std::string folderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A target that exists must be a file the user may replace: renaming over a folder fails only
// at the end, and renaming over a read-only file would replace what its owner protected.
std::optional<std::string> unwritableTarget(const std::string& target) {
  struct stat status {};
  if (stat(target.c_str(), &status) != 0) return std::nullopt;
  if (S_ISDIR(status.st_mode)) return std::strerror(EISDIR);
  if (access(target.c_str(), W_OK) != 0) return std::strerror(errno);
  return std::nullopt;
}

// Opens a fresh temporary at path, live in the slot from before it exists until it is gone:
// its descriptor, or -1 and errno.
int openInSlot(const std::string& path, int slot) {
  if (path.size() >= sizeof slots[slot].path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(slots[slot].path, path.c_str(), path.size() + 1);
  slots[slot].state.store(live);
  // Created like any new file, so it has the permissions the umask gives once renamed.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  const int error = errno;
  if (fd < 0) slots[slot].state.store(claimed);
  errno = error;
  return fd;
}

}  // namespace

std::optional<std::string> startPartialFile(const std::string& target, PartialFile& file) {
  if (auto reason = unwritableTarget(target)) return reason;
  removeOnEveryEnd();
  const int slot = claimSlot();
  if (slot < 0) return "too many files written at once";
  const std::string stem = folderOf(target) + "/.quelm-matte-" + std::to_string(getpid()) + "-";
  for (int attempt = 0;; ++attempt) {
    std::string path = stem + std::to_string(attempt);
    const int fd = openInSlot(path, slot);
    if (fd < 0 && errno == EEXIST && attempt < 100) continue;
    if (fd < 0) {
      const char* reason = std::strerror(errno);
      releaseSlot(slot);
      return reason;
    }
    file = {std::move(path), fd, slot};
    return std::nullopt;
  }
}

std::optional<std::string> finishPartialFile(const PartialFile& file, const std::string& target) {
  std::optional<std::string> failure;
  if (fsync(file.fd) != 0) failure = std::strerror(errno);
  if (close(file.fd) != 0 && !failure) failure = std::strerror(errno);
  if (!failure && std::rename(file.path.c_str(), target.c_str()) != 0) failure = std::strerror(errno);
  if (failure) unlink(file.path.c_str());
  releaseSlot(file.slot);
  return failure;
}

void abandonPartialFile(const PartialFile& file) {
  close(file.fd);
  unlink(file.path.c_str());
  releaseSlot(file.slot);
}

std::optional<std::string> writeFileWhole(const std::string& target,
                                          const std::function<std::optional<std::string>(int fd)>& write) {
  PartialFile file;
  if (auto failure = startPartialFile(target, file)) return failure;
  std::optional<std::string> failure;
  try {
    failure = write(file.fd);
  } catch (...) {
    abandonPartialFile(file);
    throw;
  }
  if (failure) {
    abandonPartialFile(file);
    return failure;
  }
  return finishPartialFile(file, target);
}
