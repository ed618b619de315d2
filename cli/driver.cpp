#include "cli/driver.h"

#include <csignal>

#include "cli/diagnostics.h"
#include "cli/state.h"
#include "media/modes.h"

namespace {
constexpr const char* kStillImageUsage = "usage: quelm-matte --image <png|jpg> --out <png> [--size WxH]";
constexpr const char* kVideoUsage = "usage: quelm-matte --in <video> --ss <sec> --t <sec> --size WxH";
}  // namespace

Dispatch dispatch(const Args& options) {
  if (!options.image.empty()) return options.out.empty() ? Dispatch::stillImageUsage : Dispatch::stillImage;
  if (!options.input.empty() && options.t > 0) return Dispatch::video;
  return Dispatch::videoUsage;
}

void drive(int argc, const char* const* argv) {
  // A closed pipe shows up as a failed write, which the modes report, instead of a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  args = parse(argc, argv);
  makeRenderingState();
  switch (dispatch(args)) {
    case Dispatch::stillImage: runStillImage();
    case Dispatch::video: runVideo();
    case Dispatch::stillImageUsage: fail(kStillImageUsage);
    case Dispatch::videoUsage: break;
  }
  fail(kVideoUsage);
}
