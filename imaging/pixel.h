#pragma once
// One premultiplied RGBA float pixel as a 128-bit vector, for the point-wise loops.
#include <cstring>

namespace imaging {

typedef float f4 __attribute__((vector_size(16)));

inline f4 load4(const float* p) {
  f4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store4(float* p, f4 v) { std::memcpy(p, &v, sizeof v); }
inline f4 splat(float v) { return f4{v, v, v, v}; }
inline f4 min4(f4 a, f4 b) { return a < b ? a : b; }
inline f4 max4(f4 a, f4 b) { return a > b ? a : b; }

// Straight colour from premultiplied: where alpha is 0 there is no colour to recover.
inline f4 unpremultiply(f4 p) {
  float a = p[3];
  if (a == 0) return f4{0, 0, 0, 0};
  f4 s = p / splat(a);
  s[3] = a;
  return s;
}
inline f4 premultiply(f4 s) {
  f4 p = s * splat(s[3]);
  p[3] = s[3];
  return p;
}

}  // namespace imaging
