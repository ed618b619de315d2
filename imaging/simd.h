#pragma once
// Row loops shared by the area kernels, on the pixel vectors of imaging/pixel.h: rows are
// walked in f8 steps (two pixels), several side by side so a running sum or minimum stays in
// registers, with an f4 step for an odd pixel at the end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/pixel.h"
#include "imaging/tile.h"

namespace imaging::simd {

// Floats per vector.
template <class V>
constexpr std::ptrdiff_t kLanes = sizeof(V) / sizeof(float);

// dst = sum over t < count of weights[t] * rows[t], over n floats (n a multiple of 4). The
// sum for a chunk of the row stays in registers across all rows and is stored once.
template <class V, int N>
inline void blendChunk(float* dst, const float* const* rows, const float* weights, std::size_t count,
                       std::ptrdiff_t i) {
  constexpr std::ptrdiff_t L = kLanes<V>;
  V acc[N];
  for (int v = 0; v < N; ++v) acc[v] = loadV<V>(rows[0] + i + L * v) * weights[0];
  for (std::size_t t = 1; t < count; ++t)
    for (int v = 0; v < N; ++v) acc[v] += loadV<V>(rows[t] + i + L * v) * weights[t];
  for (int v = 0; v < N; ++v) storeV(dst + i + L * v, acc[v]);
}

inline void blendRows(float* dst, const float* const* rows, const float* weights, std::size_t count,
                      std::ptrdiff_t n) {
  std::ptrdiff_t i = 0;
  for (; i + 32 <= n; i += 32) blendChunk<f8, 4>(dst, rows, weights, count, i);
  for (; i + 8 <= n; i += 8) blendChunk<f8, 1>(dst, rows, weights, count, i);
  if (i < n) blendChunk<f4, 1>(dst, rows, weights, count, i);
}

// Copies the pixels of out.rect from `in` (which covers them, in the same layout) into `out`.
inline void copyPixels(const Tile& in, const Tile& out) {
  if (out.rect.isEmpty()) return;
  std::size_t bytes = static_cast<std::size_t>(out.rect.width * out.channels) * sizeof(float);
  for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y)
    std::memmove(out.at(out.rect.x, y), in.at(out.rect.x, y), bytes);
}

// Sets every pixel of `out` to p (a grey tile to its grey).
inline void fill(const Tile& out, f4 p) {
  if (out.channels == 1) {
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) std::fill_n(out.at(out.rect.x, y), out.rect.width, p[0]);
    return;
  }
  const f8 two = repeated<f8>(p);
  for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
    float* row = out.at(out.rect.x, y);
    std::int64_t x = 0;
    for (; x + 2 <= out.rect.width; x += 2) storeV(row + 4 * x, two);
    if (x < out.rect.width) store4(row + 4 * x, p);
  }
}

// Whether no pixel of t over r fails: fails(v) marks the failing lanes of a vector of pixels
// (of greys, in a grey tile). A row is tested whole, without a branch, then given up on if any
// lane failed.
template <class Fails>
inline bool noPixelFails(const Tile& t, const PixelRect& r, Fails fails) {
  const std::ptrdiff_t n = t.channels * r.width;
  for (std::int64_t y = r.y; y < r.maxY(); ++y) {
    const float* row = t.at(r.x, y);
    i8 failed{};
    std::ptrdiff_t i = 0;
    for (; i + 8 <= n; i += 8) failed |= fails(loadV<f8>(row + i));
    for (; i < n; i += 4) {
      // A grey row's last one to three greys fill the vector with copies of its last.
      f4 tail = i + 4 <= n ? load4(row + i) : f4{row[i], row[std::min(i + 1, n - 1)], row[std::min(i + 2, n - 1)], row[n - 1]};
      i4 failing = fails(tail);
      if (failing[0] | failing[1] | failing[2] | failing[3]) return false;
    }
    for (int k = 0; k < 8; ++k)
      if (failed[k]) return false;
  }
  return true;
}

// Whether every pixel of t over r is p, all four components alike (a NaN never is); in a grey
// tile, whether every grey is p's.
inline bool everyPixelIs(const Tile& t, const PixelRect& r, f4 p) {
  if (t.channels == 1) return noPixelFails(t, r, [p](auto v) { return v != splatV<decltype(v)>(p[0]); });
  return noPixelFails(t, r, [p](auto v) { return v != repeated<decltype(v)>(p); });
}

// Masks are opaque grey images, and an area filter treats each component alike: over a region
// of one it works on a plane of the grey values alone, a quarter of the work.

// Whether every pixel of t (four components a pixel) over r is an opaque grey: red = green =
// blue, alpha 1.
inline bool isOpaqueGrey(const Tile& t, const PixelRect& r) {
  return noPixelFails(t, r, [](auto v) { return v != withAlpha(lane<0>(v), splatV<decltype(v)>(1)); });
}

// The grey values of t over r, row after row (r.width floats each, bottom row first).
inline void greyPlane(const Tile& t, const PixelRect& r, float* plane) {
  if (t.channels == 1) {
    for (std::int64_t y = r.y; y < r.maxY(); ++y, plane += r.width) std::memcpy(plane, t.at(r.x, y), sizeof(float) * r.width);
    return;
  }
  for (std::int64_t y = r.y; y < r.maxY(); ++y, plane += r.width) {
    const float* row = t.at(r.x, y);
    for (std::int64_t x = 0; x < r.width; ++x) plane[x] = row[4 * x];
  }
}

// Row y of `out` from n grey values: as they are in a grey tile, else as opaque grey pixels.
inline void greyPixels(const float* grey, const Tile& out, std::int64_t y) {
  float* pixels = out.at(out.rect.x, y);
  if (out.channels == 1) return static_cast<void>(std::memcpy(pixels, grey, sizeof(float) * out.rect.width));
  for (std::int64_t x = 0; x < out.rect.width; ++x) store4(pixels + 4 * x, f4{grey[x], grey[x], grey[x], 1});
}

// Room for n floats in `memory`, a thread's own scratch kept from tile to tile (filters compute
// thousands of tiles a frame, and fresh memory for each kept every thread waiting on the
// allocator), followed by `zeros` floats set to 0 for loops that read whole vectors past the
// end. Only for a filter that computes nothing else on its thread while it uses the memory.
inline float* scratch(std::vector<float>& memory, std::size_t n, std::size_t zeros = 0) {
  if (memory.size() < n + zeros) memory.resize(n + zeros);
  std::fill_n(memory.data() + n, zeros, 0.0f);
  return memory.data();
}

}  // namespace imaging::simd
