#pragma once
// Vector types and row loops shared by the area kernels. A pixel is four floats, so one f4
// holds a pixel and one f8 (a 256-bit AVX register) holds two; rows are walked in f8 steps
// with an f4 step for an odd pixel at the end.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "imaging/tile.h"

namespace imaging::simd {

using f4 = float __attribute__((vector_size(16)));
using f8 = float __attribute__((vector_size(32)));

// Rows and scratch buffers carry no alignment promise, so every access is unaligned. The
// templates let one loop body serve both widths: f8 chunks, then an f4 step for an odd pixel.
template <class V>
inline V load(const float* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
inline void store(float* p, V v) {
  std::memcpy(p, &v, sizeof v);
}
template <class V>
inline V vmin(V a, V b) {
  return a < b ? a : b;
}
// Floats per vector.
template <class V>
constexpr std::ptrdiff_t kLanes = sizeof(V) / sizeof(float);

inline f4 load4(const float* p) { return load<f4>(p); }
inline f8 load8(const float* p) { return load<f8>(p); }
inline void store4(float* p, f4 v) { store(p, v); }
inline void store8(float* p, f8 v) { store(p, v); }

// dst = sum over t < count of weights[t] * rows[t], over n floats (n a multiple of 4). The
// sum for a chunk of the row stays in registers across all rows and is stored once.
template <class V, int N>
inline void blendChunk(float* dst, const float* const* rows, const float* weights, std::size_t count,
                       std::ptrdiff_t i) {
  constexpr std::ptrdiff_t L = kLanes<V>;
  V acc[N];
  for (int v = 0; v < N; ++v) acc[v] = load<V>(rows[0] + i + L * v) * weights[0];
  for (std::size_t t = 1; t < count; ++t)
    for (int v = 0; v < N; ++v) acc[v] += load<V>(rows[t] + i + L * v) * weights[t];
  for (int v = 0; v < N; ++v) store(dst + i + L * v, acc[v]);
}

inline void blendRows(float* dst, const float* const* rows, const float* weights, std::size_t count,
                      std::ptrdiff_t n) {
  std::ptrdiff_t i = 0;
  for (; i + 32 <= n; i += 32) blendChunk<f8, 4>(dst, rows, weights, count, i);
  for (; i + 8 <= n; i += 8) blendChunk<f8, 1>(dst, rows, weights, count, i);
  if (i < n) blendChunk<f4, 1>(dst, rows, weights, count, i);
}

// Copies the pixels of out.rect from `in` (which covers them) into `out`.
inline void copyPixels(const Tile& in, const Tile& out) {
  std::size_t bytes = static_cast<std::size_t>(out.rect.width) * 4 * sizeof(float);
  for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y)
    std::memmove(out.at(out.rect.x, y), in.at(out.rect.x, y), bytes);
}

}  // namespace imaging::simd
