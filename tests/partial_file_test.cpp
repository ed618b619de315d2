// A file written beside its target and renamed onto it: it appears whole or not at all, and
// no temporary outlives a write, however the write ends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include "media/partial_file.h"
#include "run_tool.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> namesIn(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

std::string contentsOf(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::optional<std::string> writeBytes(int fd) {
  return ::write(fd, "new", 3) == 3 ? std::nullopt : std::optional<std::string>("short write");
}

}  // namespace

TEST(PartialFile, TheTargetIsReplacedOnlyBySuccessAndNoTemporaryStays) {
  enum class Write { succeeds, fails, throws };
  struct Case {
    const char* name;
    Write write;
    std::string target;  // inside the folder, which holds "old" (the file "earlier") and a folder "sub"
    std::optional<std::string> failure;
    std::string old;  // what the file "old" holds afterwards
  } cases[] = {
      {"a new file", Write::succeeds, "new", std::nullopt, "earlier"},
      {"over a file", Write::succeeds, "old", std::nullopt, "new"},
      {"a failed write", Write::fails, "old", "short write", "earlier"},
      {"a write that throws", Write::throws, "old", std::nullopt, "earlier"},
      {"into a missing folder", Write::succeeds, "missing/new", "No such file or directory", "earlier"},
      {"over a folder", Write::succeeds, "sub", "Is a directory", "earlier"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = freshFolder("partial");
    std::ofstream(dir / "old") << "earlier";
    fs::create_directory(dir / "sub");
    const std::string target = (dir / c.target).string();
    auto write = [&](int fd) -> std::optional<std::string> {
      if (c.write == Write::throws) throw std::runtime_error("thrown");
      if (c.write == Write::fails) return "short write";
      return writeBytes(fd);
    };
    std::optional<std::string> failure;
    if (c.write == Write::throws) {
      EXPECT_THROW(writeFileWhole(target, write), std::runtime_error);
    } else {
      failure = writeFileWhole(target, write);
    }
    EXPECT_EQ(failure, c.failure);

    const bool created = c.target == "new" && !c.failure;
    const std::set<std::string> expected = created ? std::set<std::string>{"new", "old", "sub"} : std::set<std::string>{"old", "sub"};
    EXPECT_EQ(namesIn(dir), expected);
    EXPECT_EQ(contentsOf(dir / "old"), c.old);
    if (created) {
      EXPECT_EQ(contentsOf(dir / "new"), "new");
    }
    fs::remove_all(dir);
  }
}

TEST(PartialFile, HasThePermissionsOfAnyNewFile) {
  const fs::path dir = freshFolder("partial");
  const mode_t previous = umask(027);
  EXPECT_EQ(writeFileWhole((dir / "f").string(), writeBytes), std::nullopt);
  umask(previous);
  struct stat status {};
  ASSERT_EQ(stat((dir / "f").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
  fs::remove_all(dir);
}
