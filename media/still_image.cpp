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
#include "media/failures.h"
#include "media/limits.h"
#include "media/modes.h"
#include "media/pictures.h"

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
  if (args.out == "-") return ctx.writeTo(STDOUT_FILENO, image, encodingFor(args.out));
  return writePicture(image, args.out);
}

// Every step up to the file written; the expected failures end the run here.
void writePicture() {
  if (auto unfit = unfitTarget(args.out)) fail("cannot write " + args.out + ": " + *unfit);
  const std::optional<Image> behind = background();
  auto decoded = decodedPicture();
  if (!decoded) fail("cannot read " + args.image);
  const TargetSize size = targetSize(*decoded);
  if (auto tooLarge = sizeProblem(size.width, size.height)) fail("cannot write " + args.out + ": " + *tooLarge);
  const Rect rect{0, 0, double(size.width), double(size.height)};
  Image picture = stretchedPicture(*decoded, rect);

  std::optional<Image> mask = rawMask(picture, rect);
  if (!mask) fail("no subject found in " + args.image);
  if (auto error = written(matted(picture, *mask, rect, backdrop(behind, rect))))
    fail("cannot write " + args.out + ": " + *error);
}

}  // namespace

void runStillImage() {
  // Whatever else goes wrong (the network's run, memory in a render) leaves no file behind:
  // the file only appears once it is written whole.
  try {
    writePicture();
  } catch (...) {
    failOnException("cannot write " + args.out + ": ");
  }
  log("done 1 frames");
  std::exit(0);
}
