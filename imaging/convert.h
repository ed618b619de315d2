#pragma once
// Rows of pixels between 8-bit memory and the engine's premultiplied floats: the first and
// last step of nearly every render, so they are vectorised.
#include <cstdint>

namespace imaging {

// n pixels of straight 8-bit RGBA (or BGRA) to premultiplied float RGBA.
void bytesToPixels(const std::uint8_t* bytes, float* pixels, std::int64_t n, bool bgra);

// n premultiplied float pixels to 8-bit RGBA: clamped to 0..1 and rounded. Straight output
// divides the colour by alpha and writes four zero bytes where alpha rounds to 0.
void pixelsToBytes(const float* pixels, std::uint8_t* bytes, std::int64_t n, bool straight);

}  // namespace imaging
