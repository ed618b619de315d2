#include "imaging/convert.h"

#include <immintrin.h>

namespace imaging {
namespace {

// Two pixels (one per 128-bit lane) from 0..1 floats to rounded integers 0..255.
inline __m256i levels(__m256 v) {
  return _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(255.0f)), _mm256_set1_ps(0.5f)));
}

// Eight pixels, two per vector, packed to bytes and written as 32 bytes. Packing works within
// each 128-bit lane, which leaves the pixels in the order 0 2 4 6 1 3 5 7.
inline void storeEight(const __m256 (&v)[4], std::uint8_t* out) {
  __m256i low = _mm256_packus_epi32(levels(v[0]), levels(v[1]));
  __m256i high = _mm256_packus_epi32(levels(v[2]), levels(v[3]));
  __m256i bytes = _mm256_packus_epi16(low, high);
  bytes = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
}

// Two pixels (one per 128-bit lane) from floats to bytes, written as 8 bytes.
inline void storeTwo(__m256 v, std::uint8_t* out) {
  __m256i i = levels(v);
  __m256i w = _mm256_packus_epi32(i, i);
  __m256i b = _mm256_packus_epi16(w, w);
  std::uint32_t lo = static_cast<std::uint32_t>(_mm256_extract_epi32(b, 0));
  std::uint32_t hi = static_cast<std::uint32_t>(_mm256_extract_epi32(b, 4));
  __builtin_memcpy(out, &lo, 4);
  __builtin_memcpy(out + 4, &hi, 4);
}

inline __m256 toStored(__m256 p, bool straight) {
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
  __m256 alpha = _mm256_permute_ps(p, 0xFF);  // each pixel's alpha in all four of its lanes
  __m256 clampedAlpha = _mm256_min_ps(_mm256_max_ps(alpha, zero), one);
  __m256 colour = p;
  if (straight) {
    colour = _mm256_div_ps(p, alpha);
    // Alpha that rounds to 0 leaves nothing: zero bytes (this also catches 0/0).
    __m256 visible = _mm256_cmp_ps(_mm256_mul_ps(alpha, _mm256_set1_ps(255.0f)), _mm256_set1_ps(0.5f), _CMP_GE_OQ);
    colour = _mm256_and_ps(colour, visible);
    clampedAlpha = _mm256_and_ps(clampedAlpha, visible);
  }
  colour = _mm256_blend_ps(colour, clampedAlpha, 0x88);
  return _mm256_min_ps(_mm256_max_ps(colour, zero), one);
}

// Whether all eight pixels have alpha exactly 1 (bits 3 and 7 of each vector's mask).
inline bool allOpaque(const __m256 (&p)[4]) {
  const __m256 one = _mm256_set1_ps(1.0f);
  int opaque = _mm256_movemask_ps(_mm256_cmp_ps(p[0], one, _CMP_EQ_OQ)) &
               _mm256_movemask_ps(_mm256_cmp_ps(p[1], one, _CMP_EQ_OQ)) &
               _mm256_movemask_ps(_mm256_cmp_ps(p[2], one, _CMP_EQ_OQ)) &
               _mm256_movemask_ps(_mm256_cmp_ps(p[3], one, _CMP_EQ_OQ));
  return (opaque & 0x88) == 0x88;
}

}  // namespace

void pixelsToBytes(const float* pixels, std::uint8_t* bytes, std::int64_t n, bool straight) {
  std::int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 p[4] = {_mm256_loadu_ps(pixels + 4 * i), _mm256_loadu_ps(pixels + 4 * i + 8),
                         _mm256_loadu_ps(pixels + 4 * i + 16), _mm256_loadu_ps(pixels + 4 * i + 24)};
    // Dividing by an alpha of 1 changes nothing, and the division is most of the cost: most
    // pixels of a picture or a cut-out are opaque.
    const bool divide = straight && !allOpaque(p);
    const __m256 v[4] = {toStored(p[0], divide), toStored(p[1], divide), toStored(p[2], divide),
                         toStored(p[3], divide)};
    storeEight(v, bytes + 4 * i);
  }
  for (; i + 2 <= n; i += 2) storeTwo(toStored(_mm256_loadu_ps(pixels + 4 * i), straight), bytes + 4 * i);
  if (i < n) {
    float last[8] = {pixels[4 * i], pixels[4 * i + 1], pixels[4 * i + 2], pixels[4 * i + 3], 0, 0, 0, 0};
    std::uint8_t out[8];
    storeTwo(toStored(_mm256_loadu_ps(last), straight), out);
    __builtin_memcpy(bytes + 4 * i, out, 4);
  }
}

void bytesToPixels(const std::uint8_t* bytes, float* pixels, std::int64_t n, bool bgra) {
  const __m128i order = bgra ? _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15)
                             : _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m256 unit = _mm256_set1_ps(1.0f / 255.0f);
  auto two = [&](std::uint64_t eight) {
    __m128i b = _mm_shuffle_epi8(_mm_cvtsi64_si128(static_cast<long long>(eight)), order);
    __m256 v = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(b)), unit);
    __m256 alpha = _mm256_permute_ps(v, 0xFF);
    return _mm256_blend_ps(_mm256_mul_ps(v, alpha), alpha, 0x88);
  };
  std::int64_t i = 0;
  for (; i + 2 <= n; i += 2) {
    std::uint64_t eight;
    __builtin_memcpy(&eight, bytes + 4 * i, 8);
    _mm256_storeu_ps(pixels + 4 * i, two(eight));
  }
  if (i < n) {
    std::uint32_t four;
    __builtin_memcpy(&four, bytes + 4 * i, 4);
    float out[8];
    _mm256_storeu_ps(out, two(four));
    __builtin_memcpy(pixels + 4 * i, out, 16);
  }
}

}  // namespace imaging
