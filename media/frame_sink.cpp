#include "media/frame_sink.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "cli/args.h"
#include "cli/diagnostics.h"
#include "media/partial_file.h"
#include "media/pictures.h"
#include "video/writer.h"

namespace {

// Lives until the process ends: its destructor stops the encoding thread however the run ends.
video::Writer writer;

// All of a frame to standard output, however many writes it takes.
void writeWhole(const std::uint8_t* p, std::size_t left) {
  while (left > 0) {
    ssize_t written = ::write(STDOUT_FILENO, p, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) fail(std::string("write failed: ") + (written < 0 ? std::strerror(errno) : "nothing could be written"));
    p += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace

FrameSink rawStream(std::int64_t width, std::int64_t height) {
  const auto pixels = static_cast<std::size_t>(width * height);
  return {[pixels](const std::uint8_t* rgba, const video::Frame&) { writeWhole(rgba, pixels * 4); }, [] {}};
}

FrameSink greyStream(std::int64_t width, std::int64_t height) {
  const auto pixels = static_cast<std::size_t>(width * height);
  auto grey = std::make_shared<std::vector<std::uint8_t>>(pixels);
  return {[grey](const std::uint8_t* rgba, const video::Frame&) {
            std::uint8_t* g = grey->data();
            for (std::size_t i = 0; i < grey->size(); ++i) g[i] = rgba[4 * i];
            writeWhole(g, grey->size());
          },
          [] {}};
}

FrameSink videoFile(const std::string& out, const video::Reader& reader, std::int64_t width, std::int64_t height) {
  auto container = containerFor(out);
  if (!container)
    fail("cannot write " + out + ": only .webm (VP9 with alpha) and .mov (ProRes 4444 with alpha) keep transparency");
  PartialFile partial;
  if (auto reason = startPartialFile(out, partial)) fail("cannot write " + out + ": " + *reason);
  video::Output output{.path = partial.path,
                       .container = *container,
                       .width = int(width),
                       .height = int(height),
                       .timing = reader.timing(),
                       .soundFrom = args.input};
  if (auto error = writer.open(output)) fail("cannot write " + out + ": " + *error);
  const std::int64_t rowBytes = width * 4;
  return {[out, rowBytes](const std::uint8_t* rgba, const video::Frame& source) {
            if (auto error = writer.write(rgba, rowBytes, source.pts, source.duration))
              fail("cannot write " + out + ": " + *error);
          },
          [out, partial, &reader] {
            if (auto error = writer.finish(reader.filledRange())) fail("cannot write " + out + ": " + *error);
            if (auto error = finishPartialFile(partial, out)) fail("cannot write " + out + ": " + *error);
          }};
}
