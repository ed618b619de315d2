// Failures in the middle of a run: the network's run breaking down, and memory running out
// anywhere after segmentation has begun (in the networks, the refinement, a render's worker
// threads, the PNG writer). The driver runs in a child process as the tool would, with the
// fault injected; every run must end with one line and status 1, or succeed whole, and leave
// no file and no partial frame behind.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "segmentation/network.h"

namespace fs = std::filesystem;

// Allocation failure on demand. Large blocks only: what a failure line itself needs is small.
namespace {
constexpr std::size_t kLarge = 64 << 10;
std::atomic<long> largeAllocationsLeft{-1};  // below 0: none fails

// Failures met on a thread other than the main one (the workers of a render, or of the
// refinement, hand theirs over to it), counted across the children in memory they share.
std::atomic<int>& failuresOnWorkers() {
  static auto* count = new (mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                                 MAP_SHARED | MAP_ANONYMOUS, -1, 0)) std::atomic<int>(0);
  return *count;
}

void* allocate(std::size_t size) {
  if (size >= kLarge && largeAllocationsLeft.load(std::memory_order_relaxed) >= 0 &&
      largeAllocationsLeft.fetch_sub(1) == 0) {
    if (gettid() != getpid()) ++failuresOnWorkers();
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

const std::string media = std::string(QUELM_SHARED_DIR) + "/media/";
const std::string photo = media + "photos/p13_person_webcam_head_shoulders.png";
const std::string clip = media + "video/v03_real_webcam_head_shoulders_400x300_25fps.mp4";
constexpr std::size_t kFrameBytes = 160 * 120 * 4;

// The fault, set up in the child before the driver starts. The network's runs are counted
// from 1.
struct Fault {
  int failingRun = 0;        // this run fails inside the runtime; 0: none
  int allocatingRun = 0;     // from the start of this run, allocations count down; 0: none
  long largeAllocations = 0;  // this many large blocks succeed, then one fails
};

std::atomic<int> runs{0};
Fault fault;

bool onRun() {
  int run = ++runs;
  if (run == fault.allocatingRun) largeAllocationsLeft = fault.largeAllocations;
  return run == fault.failingRun;
}

struct Ending {
  int status = -1;  // -1 when it did not exit
  int signal = 0;
  bool timedOut = false;
  std::string out, err;
};

// The driver with these arguments, in a child with the fault set up, within a minute.
Ending runDriver(const std::vector<std::string>& arguments, const Fault& f) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {};
  std::fflush(nullptr);  // the child's exit would write what is buffered a second time
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO), dup2(err[1], STDERR_FILENO);
    close(out[0]), close(out[1]), close(err[0]), close(err[1]);
    fault = f;
    segmentation::runFails = onRun;
    std::vector<const char*> argv{"quelm-matte"};
    for (const auto& a : arguments) argv.push_back(a.c_str());
    drive(static_cast<int>(argv.size()), argv.data());
  }
  close(out[1]), close(err[1]);
  Ending ending;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  char chunk[65536];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || poll(fds, 2, int(left.count())) == 0) {
      ending.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n <= 0) close(fds[i].fd), fds[i].fd = -1;
      else (i == 0 ? ending.out : ending.err).append(chunk, std::size_t(n));
    }
  }
  for (pollfd& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) ending.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) ending.signal = WTERMSIG(status);
  return ending;
}

// A fresh folder for the still runs' output.
class Failures : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("failures-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::vector<std::string> still() const {
    return {"--image", photo, "--out", (dir / "out.png").string(), "--mode", "person", "--size", "160x120"};
  }
  static std::vector<std::string> video() {
    return {"--in", clip, "--ss", "0", "--t", "0.4", "--mode", "person", "--size", "160x120"};
  }
  std::size_t filesLeft() const { return std::size_t(std::distance(fs::directory_iterator(dir), {})); }
  fs::path dir;
};

constexpr const char* kNetworkFailed = "segmentation network failed: ";

TEST_F(Failures, ANetworkRunThatBreaksDownEndsTheRunWithOneLine) {
  const std::string out = (dir / "out.png").string();
  struct Case {
    std::vector<std::string> arguments;
    int failingRun;
    std::string linePrefix;
    std::size_t framesWritten;
  } cases[] = {
      {still(), 1, "cannot write " + out + ": " + kNetworkFailed, 0},
      {video(), 1, std::string("matting failed: ") + kNetworkFailed, 0},
      {video(), 3, std::string("matting failed: ") + kNetworkFailed, 2},  // one run a frame
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " failing run " + std::to_string(c.failingRun));
    Ending ending = runDriver(c.arguments, {.failingRun = c.failingRun});
    ASSERT_FALSE(ending.timedOut);
    EXPECT_EQ(ending.signal, 0);
    EXPECT_EQ(ending.status, 1);
    EXPECT_EQ(ending.err.rfind(c.linePrefix, 0), 0u) << ending.err;
    EXPECT_EQ(std::count(ending.err.begin(), ending.err.end(), '\n'), 1) << ending.err;
    EXPECT_EQ(ending.out.size(), c.framesWritten * kFrameBytes);
    EXPECT_EQ(filesLeft(), 0u);
  }
}

// Each large allocation from the network's run on fails in turn, until the run gets through:
// wherever it fails, the line says so and nothing is left at the target, not even the PNG
// writer's temporary file.
TEST_F(Failures, MemoryRunningOutInAStillRunLeavesNoFile) {
  const std::string head = "cannot write " + (dir / "out.png").string() + ": ";
  bool succeeded = false;
  int failures = 0;
  failuresOnWorkers() = 0;
  for (long k = 0; k < 500 && !succeeded; ++k) {
    SCOPED_TRACE("large allocation " + std::to_string(k));
    Ending ending = runDriver(still(), {.allocatingRun = 1, .largeAllocations = k});
    ASSERT_FALSE(ending.timedOut);
    ASSERT_EQ(ending.signal, 0) << ending.err;
    EXPECT_EQ(ending.out, "");
    if (ending.status == 0) {
      EXPECT_EQ(ending.err, "done 1 frames\n");
      EXPECT_EQ(filesLeft(), 1u);
      succeeded = true;
      continue;
    }
    ++failures;
    ASSERT_EQ(ending.status, 1);
    EXPECT_EQ(ending.err.rfind(head, 0), 0u) << ending.err;
    EXPECT_EQ(std::count(ending.err.begin(), ending.err.end(), '\n'), 1) << ending.err;
    EXPECT_EQ(filesLeft(), 0u);
  }
  EXPECT_TRUE(succeeded);
  EXPECT_GT(failures, 3);
  EXPECT_GT(failuresOnWorkers(), 0) << "no allocation failed on a worker thread";
}

// The same in video mode, from the second frame's network run on: the first frame is on the
// stream whole, and nothing of the second.
TEST_F(Failures, MemoryRunningOutInAVideoRunLeavesOnlyWholeFrames) {
  for (long k : {0, 1, 2, 3, 5, 8, 13, 21}) {
    SCOPED_TRACE("large allocation " + std::to_string(k));
    Ending ending = runDriver(video(), {.allocatingRun = 2, .largeAllocations = k});
    ASSERT_FALSE(ending.timedOut);
    ASSERT_EQ(ending.signal, 0) << ending.err;
    ASSERT_EQ(ending.status, 1) << ending.err;
    EXPECT_EQ(ending.err.rfind("matting failed: ", 0), 0u) << ending.err;
    EXPECT_EQ(std::count(ending.err.begin(), ending.err.end(), '\n'), 1) << ending.err;
    EXPECT_GE(ending.out.size(), kFrameBytes);
    EXPECT_EQ(ending.out.size() % kFrameBytes, 0u);
  }
}

}  // namespace
