#include "cli/driver.h"

#include <csignal>

#include "cli/args.h"
#include "cli/diagnostics.h"
#include "cli/heap.h"
#include "cli/state.h"
#include "media/modes.h"

namespace {
constexpr const char* kStillImageUsage = "usage: quelm-matte --image <png|jpg> --out <png> [--size WxH]";
constexpr const char* kFolderUsage = "usage: quelm-matte --image-dir <folder> --out-dir <folder> [--size WxH]";
constexpr const char* kVideoUsage = "usage: quelm-matte --in <video> --ss <sec> --t <sec> --size WxH";
}  // namespace

void drive(int argc, const char* const* argv) {
  prepareHeap();
  // A closed pipe shows up as a failed write, which the modes report, instead of a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  args = parse(argc, argv);
  makeRenderingState();
  if (!args.image.empty()) {
    if (!args.out.empty()) runStillImage();
    fail(kStillImageUsage);
  }
  if (!args.imageDir.empty()) {
    if (!args.outDir.empty()) runFolder();
    fail(kFolderUsage);
  }
  if (!args.input.empty() && args.t > 0) runVideo();
  fail(kVideoUsage);
}
