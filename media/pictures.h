#pragma once
// What the modes share about pictures in and out: a picture stretched to its target size, the
// encoding a written file takes, and the background the cut-out may be put over.
#include <cstdint>
#include <optional>
#include <string>

#include "imaging/context.h"
#include "imaging/image.h"
#include "video/writer.h"

using imaging::Image;
using imaging::Rect;

// The size a picture is stretched to: each side the options', when they ask for one, else
// the picture's own (a decoded picture's sides are whole numbers).
struct TargetSize {
  std::int64_t width, height;
};
TargetSize targetSize(const Image& decoded);

// The picture moved to the origin and stretched over rect (0, 0, w, h), a size the caller
// has checked.
Image stretchedPicture(const Image& decoded, const Rect& rect);

// The file at path as the options ask: in the format its extension names (.jpg, .jpeg, .webp,
// in any case; anything else is PNG), grey for a mask, RGB over a background, else RGBA.
imaging::Encoding encodingFor(const std::string& path);

// The video container a file name's extension asks for (in any case): .webm or .mov, the two
// whose codecs keep an alpha channel; nothing for any other name.
std::optional<video::Container> containerFor(const std::string& path);

// The image written to path in the encoding its name asks for, whole or not at all; why not,
// when it cannot be.
std::optional<std::string> writePicture(const Image& image, const std::string& path);

// Why a file at path cannot hold what is written (the transparency of a cut-out, in a JPEG
// file), or nothing.
std::optional<std::string> unfitTarget(const std::string& path);

// "#rrggbb" as an opaque colour; nothing for any other text.
std::optional<imaging::Color> backgroundColour(const std::string& text);

// The background that --background names: a colour (#rrggbb) or a picture file; nothing when
// the option is not given. Ends the run with "cannot read " and the value when it is neither.
std::optional<Image> background();

// The background fitted to rect: a colour fills it, a picture covers it, centred.
std::optional<Image> backdrop(const std::optional<Image>& background, const Rect& rect);
