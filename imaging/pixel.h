#pragma once
// Premultiplied RGBA float pixels as vectors, for the point-wise loops: f4 holds one pixel,
// f8 two. The helpers are written once for either width, so a filter's formula reads the same
// whether it runs on one pixel or two.
#include <immintrin.h>

#include <cstring>
#include <limits>

namespace imaging {

typedef float f4 __attribute__((vector_size(16)));
typedef float f8 __attribute__((vector_size(32)));
typedef int i4 __attribute__((vector_size(16)));
typedef int i8 __attribute__((vector_size(32)));

template <class V>
inline V loadV(const float* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
inline void storeV(float* p, V v) {
  std::memcpy(p, &v, sizeof v);
}
inline f4 load4(const float* p) { return loadV<f4>(p); }
inline void store4(float* p, f4 v) { storeV(p, v); }
// Whether two pixel values are the same bits (a NaN is the same as itself).
inline bool sameValue(f4 a, f4 b) { return std::memcmp(&a, &b, sizeof a) == 0; }

template <class V>
inline V splatV(float v) {
  return V{} + v;
}
inline f4 splat(float v) { return splatV<f4>(v); }
template <class V>
inline V minV(V a, V b) {
  return a < b ? a : b;
}
template <class V>
inline V maxV(V a, V b) {
  return a > b ? a : b;
}
inline f4 min4(f4 a, f4 b) { return minV(a, b); }
inline f4 max4(f4 a, f4 b) { return maxV(a, b); }

// One pixel's value in every pixel of a V: constants written once serve both widths.
template <class V>
inline V repeated(f4 v) {
  if constexpr (sizeof(V) == sizeof(f4)) return v;
  else return V{v[0], v[1], v[2], v[3], v[0], v[1], v[2], v[3]};
}

// Component k of each pixel, in all four of that pixel's lanes. (__builtin_shufflevector: the
// spelling GCC and clang share; the fuzz targets are built with clang.)
template <int k>
inline f4 lane(f4 v) {
  return __builtin_shufflevector(v, v, k, k, k, k);
}
template <int k>
inline f8 lane(f8 v) {
  return __builtin_shufflevector(v, v, k, k, k, k, k + 4, k + 4, k + 4, k + 4);
}
// The colour of c with the alpha of a.
inline f4 withAlpha(f4 c, f4 a) { return __builtin_shufflevector(c, a, 0, 1, 2, 7); }
inline f8 withAlpha(f8 c, f8 a) { return __builtin_shufflevector(c, a, 0, 1, 2, 11, 4, 5, 6, 15); }

// 1/a from the hardware estimate and one Newton step: within a few ulps of a division, at a
// fraction of its cost. Nothing divides as often as unpremultiplying does.
inline f4 reciprocal(f4 a) {
  f4 r = _mm_rcp_ps(a);
  return r * (2 - a * r);
}
inline f8 reciprocal(f8 a) {
  f8 r = _mm256_rcp_ps(a);
  return r * (2 - a * r);
}

// Straight colour from premultiplied: where alpha is 0 there is no colour to recover, nor
// where it is so small (the far tail of a blur) that its reciprocal would overflow and turn
// the colour into infinities and NaN, which a later blend would spread into visible pixels.
template <class V>
inline V unpremultiply(V p) {
  V a = lane<3>(p);
  V s = a >= std::numeric_limits<float>::min() ? p * reciprocal(a) : V{};
  return withAlpha(s, a);
}
template <class V>
inline V premultiply(V s) {
  return withAlpha(s * lane<3>(s), s);
}

}  // namespace imaging
