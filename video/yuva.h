#pragma once
// Straight-alpha RGBA pictures into the planes the alpha codecs take, BT.709 limited range:
// 8-bit 4:2:0 for VP9, 10-bit 4:4:4 for ProRes.
#include <cstddef>
#include <cstdint>

namespace video {

struct Planes {
  std::uint8_t* data[4];  // Y, U, V, A
  int stride[4];          // bytes
};

// A 2x2 block's colour is the mean of its pixels weighed by their opacity, so a subject's
// edge keeps its own colour instead of greying towards the transparent black beside it; a
// block with no opacity at all is black.
void rgbaToYuva420(const std::uint8_t* rgba, std::ptrdiff_t rowBytes, int width, int height, const Planes& out);

void rgbaToYuva444p10(const std::uint8_t* rgba, std::ptrdiff_t rowBytes, int width, int height, const Planes& out);

}  // namespace video
