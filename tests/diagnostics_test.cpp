#include "cli/diagnostics.h"

#include <cerrno>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct Ending {
  int status;  // the exit status, or minus the signal that ended the child
  std::string written;  // every byte the child wrote to standard error
};

// Runs body in a child process whose standard error is a pipe read here; a body that
// returns ends the child with status 0.
Ending runChild(const std::function<void()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, "pipe failed"};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    body();
    _exit(0);
  }
  close(fds[1]);
  std::string written;
  char chunk[4096];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) != 0;) {
    if (n > 0) written.append(chunk, static_cast<std::size_t>(n));
    else if (errno != EINTR) break;
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), written};
}

TEST(Diagnostics, FailWritesItsLineAloneThenExitsWithOne) {
  struct Case {
    std::vector<std::string> logged;  // lines logged before the failure
    std::string failed;
  };
  const Case cases[] = {
      {{}, "usage: quelm-matte --in <video> --ss <sec> --t <sec> --size WxH"},
      {{}, "cannot read /tmp/Grüße.png"},
      {{}, ""},
      {{}, std::string(200000, 'x')},  // more than a pipe holds at once
      {{"frame 15/30", ""}, "read failed: ?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failed.substr(0, 60));
    std::string want;
    for (const auto& line : c.logged) want += line + "\n";
    want += c.failed + "\n";
    Ending ending = runChild([&] {
      for (const auto& line : c.logged) log(line);
      fail(c.failed);
    });
    EXPECT_EQ(ending.status, 1);
    EXPECT_EQ(ending.written, want);
  }
}

// Whatever bytes a path or a library's text holds, standard error gets one line of valid
// UTF-8, and valid text passes unchanged.
TEST(Diagnostics, LinesAreValidUtf8WithOtherBytesEscaped) {
  struct Case {
    std::string text, line;
  };
  const Case cases[] = {
      {"Grüße 名前 😀 \\x41 a\tb", "Grüße 名前 😀 \\x41 a\tb"},  // 2-, 3- and 4-byte characters, a backslash, a tab
      {"clip-\xff\xfe-x.mp4", "clip-\\xff\\xfe-x.mp4"},
      {"\x80 \xbf", "\\x80 \\xbf"},                          // continuation bytes alone
      {"\xc3", "\\xc3"},                                      // cut short at the end
      {"\xe4\xb8 x", "\\xe4\\xb8 x"},                          // cut short before a space
      {"\xc0\xaf \xe0\x80\xaf", "\\xc0\\xaf \\xe0\\x80\\xaf"},   // overlong forms of '/'
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                      // a surrogate
      {"\xf4\x90\x80\x80 \xf5", "\\xf4\\x90\\x80\\x80 \\xf5"},    // beyond U+10FFFF
      {"two\nlines\r", "two\\x0alines\\x0d"},
      {std::string("nul\0\x1b\x7f", 6), "nul\\x00\\x1b\\x7f"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(oneLine(c.text), c.line);
    Ending ending = runChild([&] { fail(c.text); });
    EXPECT_EQ(ending.status, 1);
    EXPECT_EQ(ending.written, c.line + "\n");
  }
}

// The driver ignores SIGPIPE, so a reader that has gone away shows up as EPIPE here.
TEST(Diagnostics, LogCarriesOnWhenStandardErrorIsGone) {
  const std::function<void()> loseStandardError[] = {
      [] { close(STDERR_FILENO); },
      [] {
        std::signal(SIGPIPE, SIG_IGN);
        int fds[2];
        if (pipe(fds) != 0) _exit(2);
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
      },
  };
  for (const auto& lose : loseStandardError) {
    Ending ending = runChild([&] {
      lose();
      log("lost line");
    });
    EXPECT_EQ(ending.status, 0);
  }
}

}  // namespace
