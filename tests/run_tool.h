#pragma once
// Runs the built tool as a user would, and keeps what it printed and how it ended. Header
// only: each test program that runs the tool includes it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

struct ToolRun {
  int status = -1;  // exit status, or -1 if it did not exit normally
  int signal = 0;   // the signal that ended it, if any
  bool timedOut = false;  // killed for running longer than it was given
  std::string out;  // standard output (all of it, or what was read before closing)
  std::string err;  // standard error, whole
};

// Starts the tool with these arguments (not counting its name). With stopReadingAfter set,
// the reading end of standard output is closed once that many bytes have arrived, as a reader
// that goes away mid-stream would. With seconds set, a run still going after that long is
// killed, so that a hang fails its own case rather than the whole test program. With input
// set, standard input is a pipe that carries it, as in `cat file | quelm-matte ...`; else it
// is the test's own.
inline ToolRun runTool(const std::vector<std::string>& arguments, std::size_t stopReadingAfter = std::string::npos,
                       int seconds = -1, const std::string* input = nullptr) {
  int out[2], err[2], in[2] = {-1, -1};
  if (pipe(out) != 0 || pipe(err) != 0 || (input && pipe(in) != 0)) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1), dup2(err[1], 2);
    close(out[0]), close(out[1]), close(err[0]), close(err[1]);
    if (input) dup2(in[0], 0), close(in[0]), close(in[1]);
    std::vector<char*> argv{const_cast<char*>(QUELM_BINARY)};
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(QUELM_BINARY, argv.data());
    _exit(127);
  }
  close(out[1]), close(err[1]);
  std::thread feeding;
  if (input) {
    close(in[0]);
    // Fed from its own thread, so that a tool that writes before it has read all cannot block
    // on a full pipe while this side blocks on its input.
    feeding = std::thread([fd = in[1], input] {
      std::signal(SIGPIPE, SIG_IGN);  // a tool that stops reading early is the tool's business
      for (std::size_t done = 0; done < input->size();) {
        ssize_t n = write(fd, input->data() + done, input->size() - done);
        if (n <= 0) break;
        done += std::size_t(n);
      }
      close(fd);
    });
  }
  ToolRun run;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  char chunk[65536];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    int wait = -1;
    if (seconds >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait = int(std::max<std::int64_t>(0, left.count()));
    }
    int ready = poll(fds, 2, wait);
    if (ready == 0) {
      run.timedOut = true;
      kill(pid, SIGKILL);
      for (pollfd& f : fds)
        if (f.fd >= 0) close(f.fd), f.fd = -1;
      break;
    }
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n <= 0) {
        close(fds[i].fd), fds[i].fd = -1;
        continue;
      }
      (i == 0 ? run.out : run.err).append(chunk, std::size_t(n));
      if (i == 0 && run.out.size() >= stopReadingAfter) close(fds[0].fd), fds[0].fd = -1;
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (feeding.joinable()) feeding.join();
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

// Starts the tool with these arguments and returns at once with its process id, for a test
// that acts on the run while it goes (a signal mid-write). Its standard error goes to errFd
// when one is given, else to the test's own.
inline pid_t startTool(const std::vector<std::string>& arguments, int errFd = -1) {
  pid_t pid = fork();
  if (pid == 0) {
    if (errFd >= 0) dup2(errFd, 2), close(errFd);
    std::vector<char*> argv{const_cast<char*>(QUELM_BINARY)};
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(QUELM_BINARY, argv.data());
    _exit(127);
  }
  return pid;
}

// An empty folder for the running test's files, named for the process and the test, so that
// test programs running side by side never share one.
inline std::filesystem::path freshFolder(const std::string& kind) {
  auto dir = std::filesystem::temp_directory_path() /
             (kind + "-" + std::to_string(getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}
