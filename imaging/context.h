#pragma once
// Renders: where images become pixels. A Context carries the choices that hold for every
// render made with it. The engine computes on sRGB-encoded components and writes sRGB; it knows
// no other space.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "imaging/image.h"
#include "imaging/schedule.h"

namespace imaging {

// A picture file: its format, and which of the rendered components it keeps.
enum class FileFormat { png, jpeg, webp };
enum class Components {
  grey,  // the red component alone: for an opaque grey image, its value
  rgb,   // for an opaque image
  rgba,
};
struct Encoding {
  FileFormat format = FileFormat::png;
  Components components = Components::rgba;
};

struct ContextOptions {
  bool outputPremultiplied = true;
  Schedule schedule = {};
};

class Context {
 public:
  explicit Context(const ContextOptions& options = {}) : options_(options) {}

  // 8-bit RGBA over the whole pixels of `bounds`, top row first, rowBytes apart; components
  // clamped to 0..1 and rounded. With straight output, a pixel whose alpha rounds to 0 is
  // four zero bytes.
  void render(const Image& image, std::uint8_t* rgba, std::ptrdiff_t rowBytes, const Rect& bounds) const;

  // RGBA half floats over `bounds`, top row first: the values exactly as computed
  // (premultiplied, unclamped), for an image over the same memory to take back unchanged.
  // Rendered in the schedule's tiles for masks.
  void renderHalf(const Image& image, void* rgbaHalf, std::ptrdiff_t rowBytes, const Rect& bounds) const;
  // The same as one half float a pixel, its grey, when every pixel is an opaque grey (equal
  // colour components, alpha 1): what renderHalf would write, a quarter of the memory to write
  // and read back. False, with the memory's contents unspecified, when some pixel is not.
  bool renderGreyHalf(const Image& image, void* greyHalf, std::ptrdiff_t rowBytes, const Rect& bounds) const;

  // The image over its extent as an 8-bit sRGB picture file, encoded into an open descriptor
  // (a file, standard output, a pipe) as it goes. Returns nothing on success, else a
  // description of the failure fit for a person to read.
  std::optional<std::string> writeTo(int fd, const Image& image, Encoding encoding) const;

 private:
  ContextOptions options_;
};

}  // namespace imaging
