// Folder mode end to end, through the built program: which files of a folder are pictures,
// the lines for each picture in order, what is written where, and the folder's own failures.
#include <gtest/gtest.h>
#include <vips/vips.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "run_tool.h"

namespace fs = std::filesystem;

namespace {

const std::string media = std::string(QUELM_SHARED_DIR) + "/media/";

class Folder : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = freshFolder("folder");
    fs::create_directories(dir / "in");
  }
  void TearDown() override { fs::remove_all(dir); }
  // A shared file copied into the input folder under another name.
  void put(const std::string& shared, const std::string& name) const { fs::copy_file(media + shared, in() + "/" + name); }
  std::string in() const { return (dir / "in").string(); }
  fs::path dir;
};

struct Header {
  int width = 0, height = 0, bands = 0;
};

Header header(const fs::path& path) {
  VIPS_INIT("folder_test");
  vips_cache_set_max(0);
  VipsImage* image = vips_image_new_from_file(path.c_str(), nullptr);
  if (!image) return {};
  Header h{image->Xsize, image->Ysize, image->Bands};
  g_object_unref(image);
  return h;
}

std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

}  // namespace

TEST_F(Folder, EveryPictureInNameOrderEachFailureOnItsOwn) {
  put("photos/a05_bird_robin_bokeh.jpg", "a");  // a picture by its content alone
  put("photos/p13_person_webcam_head_shoulders.png", "b.png");
  put("edge/e10_truncated_55pct.jpg", "c.jpg");
  put("photos/n01_texture_gravel_gray.png", "d.png");
  put("photos/p13_person_webcam_head_shoulders.png", "e.jpg");  // PNG data
  put("photos/a05_bird_robin_bokeh.jpg", "e.png");              // would write e.png again
  put("edge/e11_text_file_named.png", "notes.png");
  put("edge/e11_zero_bytes.png", "empty.png");
  put("video/v03_real_webcam_head_shoulders_400x300_25fps.mp4", "clip.mp4");
  fs::create_directories(dir / "in" / "sub");
  put("photos/p13_person_webcam_head_shoulders.png", "sub/f.png");
  const std::string out = (dir / "made" / "out").string();  // made, parents and all

  ToolRun run = runTool({"--image-dir", in(), "--out-dir", out + "/", "--mode", "person"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "1/6 a\n"
                     "2/6 b.png\n"
                     "3/6 c.jpg\n"
                     "cannot read " + in() + "/c.jpg\n"
                     "4/6 d.png\n"
                     "no subject found in " + in() + "/d.png\n"
                     "5/6 e.jpg\n"
                     "6/6 e.png\n"
                     "cannot write " + out + "/e.png: another picture of the folder is written there\n"
                     "done 3 frames\n");
  EXPECT_EQ(namesIn(out), (std::set<std::string>{"a.png", "b.png", "e.png"}));
  struct Written {
    const char* name;
    int width, height;
  } written[] = {{"a.png", 380, 254}, {"b.png", 400, 300}, {"e.png", 400, 300}};  // e.png is e.jpg's
  for (const auto& w : written) {
    Header h = header(fs::path(out) / w.name);
    EXPECT_EQ(h.width, w.width) << w.name;
    EXPECT_EQ(h.height, w.height) << w.name;
    EXPECT_EQ(h.bands, 4) << w.name;
  }
}

TEST_F(Folder, TheOptionsApplyToEveryPicture) {
  put("photos/a05_bird_robin_bokeh.jpg", "a.jpg");
  put("photos/p13_person_webcam_head_shoulders.png", "b.png");
  const fs::path out = dir / "out";
  struct Case {
    std::vector<std::string> options;
    int bands;
  } cases[] = {{{"--mask-only", "1"}, 1}, {{"--background", "#ffffff"}, 3}};
  for (const auto& c : cases) {
    std::vector<std::string> arguments{"--image-dir", in(), "--out-dir", out.string(), "--size", "64x48", "--mode", "person"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    ToolRun run = runTool(arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "1/2 a.jpg\n2/2 b.png\ndone 2 frames\n");
    for (const char* name : {"a.png", "b.png"}) {
      Header h = header(out / name);
      EXPECT_EQ(h.width, 64) << name;
      EXPECT_EQ(h.height, 48) << name;
      EXPECT_EQ(h.bands, c.bands) << name;
    }
  }
}

TEST_F(Folder, TheFoldersOwnFailures) {
  std::ofstream(dir / "file") << "not a folder";
  const std::string missing = (dir / "missing").string(), file = (dir / "file").string();
  struct Case {
    std::vector<std::string> arguments;
    std::string err;
    int status;
  } cases[] = {
      {{"--image-dir", missing, "--out-dir", (dir / "out").string()},
       "cannot read " + missing + ": No such file or directory\n", 1},
      {{"--image-dir", file, "--out-dir", (dir / "out").string()}, "cannot read " + file + ": Not a directory\n", 1},
      {{"--image-dir", in(), "--out-dir", file + "/out"}, "cannot write " + file + "/out: Not a directory\n", 1},
      {{"--image-dir", in(), "--out-dir", (dir / "out").string()}, "done 0 frames\n", 0},
  };
  for (const auto& c : cases) {
    ToolRun run = runTool(c.arguments);
    EXPECT_EQ(run.status, c.status) << c.err;
    EXPECT_EQ(run.err, c.err);
  }
  EXPECT_TRUE(fs::is_directory(dir / "out")) << "an empty folder still makes its output folder";
}
