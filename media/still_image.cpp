// Still-image mode: a picture file in, its subject out as a picture file of the requested
// size: over full transparency, over a background, or its mask alone. "-" stands for standard
// input or standard output.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "cli/args.h"
#include "cli/diagnostics.h"
#include "cli/state.h"
#include "matte/matte.h"
#include "media/limits.h"
#include "media/modes.h"
#include "media/pictures.h"
#include "segmentation/segmentation.h"

namespace {

// All of standard input; what arrived before a read error, which then fails to decode.
std::string standardInput() {
  std::string bytes;
  char chunk[1 << 16];
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return bytes;
    bytes.append(chunk, std::size_t(n));
  }
}

std::optional<Image> decodedPicture() {
  if (args.image == "-") return Image::fromBytes(standardInput());
  return Image::fromFile(args.image);
}

std::optional<std::string> written(const Image& image) {
  if (args.out == "-") return ctx.writeTo(STDOUT_FILENO, image, encodingFor(args.out), srgb);
  return ctx.writeFile(image, args.out, encodingFor(args.out), srgb);
}

}  // namespace

void runStillImage() {
  if (auto unfit = unfitTarget(args.out)) fail("cannot write " + args.out + ": " + *unfit);
  const std::optional<Image> behind = background();
  auto decoded = decodedPicture();
  if (!decoded) fail("cannot read " + args.image);
  Rect rect;
  Image picture = stretchedPicture(*decoded, rect);
  if (auto tooLarge = sizeProblem(rect.width, rect.height)) fail("cannot write " + args.out + ": " + *tooLarge);

  std::optional<Image> mask;
  try {
    mask = rawMask(picture, rect);
  } catch (const segmentation::SetupError& e) {
    fail(e.what());
  }
  if (!mask) fail("no subject found in " + args.image);

  if (auto error = written(matted(picture, *mask, rect, backdrop(behind, rect))))
    fail("cannot write " + args.out + ": " + *error);
  log("done 1 frames");
  std::exit(0);
}
