#include "media/pictures.h"

#include <algorithm>
#include <cctype>

#include "cli/args.h"
#include "cli/diagnostics.h"
#include "cli/state.h"
#include "matte/matte.h"
#include "media/partial_file.h"

using imaging::Affine;
using imaging::Components;
using imaging::FileFormat;

namespace {

std::string lowerCaseExtension(const std::string& path) {
  auto dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return "";
  std::string extension = path.substr(dot + 1);
  std::ranges::transform(extension, extension.begin(), [](unsigned char c) { return std::tolower(c); });
  return extension;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<imaging::Color> backgroundColour(const std::string& text) {
  if (text.size() != 7 || text[0] != '#') return std::nullopt;
  float components[3];
  for (int i = 0; i < 3; ++i) {
    int high = hexDigit(text[1 + 2 * i]), low = hexDigit(text[2 + 2 * i]);
    if (high < 0 || low < 0) return std::nullopt;
    components[i] = float(high * 16 + low) / 255;
  }
  return imaging::Color{components[0], components[1], components[2], 1};
}

TargetSize targetSize(const Image& decoded) {
  const Rect e = decoded.extent();
  return {args.width >= 1 ? args.width : static_cast<std::int64_t>(e.width),
          args.height >= 1 ? args.height : static_cast<std::int64_t>(e.height)};
}

Image stretchedPicture(const Image& decoded, const Rect& rect) {
  const Rect e = decoded.extent();
  Image picture = decoded.transformed(Affine::translation(-e.x, -e.y));
  picture = picture.transformed(Affine::scale(rect.width / e.width, rect.height / e.height));
  return picture.cropped(rect);
}

imaging::Encoding encodingFor(const std::string& path) {
  std::string extension = lowerCaseExtension(path);
  FileFormat format = extension == "jpg" || extension == "jpeg" ? FileFormat::jpeg
                      : extension == "webp"                     ? FileFormat::webp
                                                                : FileFormat::png;
  Components components = args.maskOnly               ? Components::grey
                          : !args.background.empty() ? Components::rgb
                                                     : Components::rgba;
  return {format, components};
}

std::optional<video::Container> containerFor(const std::string& path) {
  std::string extension = lowerCaseExtension(path);
  if (extension == "webm") return video::Container::WebM;
  if (extension == "mov") return video::Container::Mov;
  return std::nullopt;
}

std::optional<std::string> writePicture(const Image& image, const std::string& path) {
  return writeFileWhole(path, [&](int fd) { return ctx.writeTo(fd, image, encodingFor(path)); });
}

std::optional<std::string> unfitTarget(const std::string& path) {
  imaging::Encoding encoding = encodingFor(path);
  if (encoding.format == FileFormat::jpeg && encoding.components == Components::rgba)
    return "a JPEG file cannot hold the cut-out's transparency (give a --background, or write .png or .webp)";
  return std::nullopt;
}

std::optional<Image> background() {
  if (args.background.empty()) return std::nullopt;
  if (auto c = backgroundColour(args.background)) return Image::color(*c);
  auto picture = Image::fromFile(args.background);
  if (!picture) fail("cannot read " + args.background);
  return picture;
}

std::optional<Image> backdrop(const std::optional<Image>& background, const Rect& rect) {
  if (!background) return std::nullopt;
  // A colour is the one background without bounds.
  if (background->extent().isInfinite()) return background->cropped(rect);
  return covering(*background, rect);
}
