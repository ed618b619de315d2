// Hand-written because libswscale takes about 9 ms per 1080x1920 frame for either target on
// its general path; these loops vectorise and take a fraction of that.
#include "video/yuva.h"


namespace video {
namespace {

// BT.709 luma weights, and the ranges of the limited-range codes (16-235 luma, 16-240 chroma
// in 8 bits; four times that in 10).
constexpr float kR = 0.2126f, kB = 0.0722f, kG = 1 - kR - kB;

struct Scale {
  float lumaBase, lumaRange, chromaMid, chromaRange;
};
constexpr Scale k8{16, 219, 128, 224};
constexpr Scale k10{64, 876, 512, 896};

// Colour components in 0..255.
inline float luma(float r, float g, float b, const Scale& s) {
  return s.lumaBase + s.lumaRange / 255 * (kR * r + kG * g + kB * b);
}
inline float blueDifference(float r, float g, float b, const Scale& s) {
  return s.chromaMid + s.chromaRange / 255 * (b - (kR * r + kG * g + kB * b)) / (2 * (1 - kB));
}
inline float redDifference(float r, float g, float b, const Scale& s) {
  return s.chromaMid + s.chromaRange / 255 * (r - (kR * r + kG * g + kB * b)) / (2 * (1 - kR));
}

inline std::uint8_t code8(float v) { return static_cast<std::uint8_t>(v + 0.5f); }
inline std::uint16_t code10(float v) { return static_cast<std::uint16_t>(v + 0.5f); }

// One chroma sample from a 2x2 block; without opacity the sums are 0, which is black.
inline void chromaOfBlock(const std::uint8_t* p0, const std::uint8_t* p1, const std::uint8_t* p2, const std::uint8_t* p3,
                          std::uint8_t* u, std::uint8_t* v) {
  float a0 = p0[3], a1 = p1[3], a2 = p2[3], a3 = p3[3];
  float weight = a0 + a1 + a2 + a3;
  float inverse = 1 / (weight + float(weight == 0));  // not std::max, whose branch stops vectorising
  float r = (a0 * p0[0] + a1 * p1[0] + a2 * p2[0] + a3 * p3[0]) * inverse;
  float g = (a0 * p0[1] + a1 * p1[1] + a2 * p2[1] + a3 * p3[1]) * inverse;
  float b = (a0 * p0[2] + a1 * p1[2] + a2 * p2[2] + a3 * p3[2]) * inverse;
  *u = code8(blueDifference(r, g, b, k8));
  *v = code8(redDifference(r, g, b, k8));
}

template <class T>
T* row(const Planes& planes, int plane, int y) {
  return reinterpret_cast<T*>(planes.data[plane] + std::ptrdiff_t(y) * planes.stride[plane]);
}

}  // namespace

void rgbaToYuva420(const std::uint8_t* rgba, std::ptrdiff_t rowBytes, int width, int height, const Planes& out) {
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* in = rgba + y * rowBytes;
    std::uint8_t* lumaRow = row<std::uint8_t>(out, 0, y);
    std::uint8_t* alphaRow = row<std::uint8_t>(out, 3, y);
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* p = in + 4 * x;
      lumaRow[x] = code8(luma(p[0], p[1], p[2], k8));
      alphaRow[x] = p[3];
    }
  }
  for (int cy = 0; cy < (height + 1) / 2; ++cy) {
    const std::uint8_t* top = rgba + 2 * cy * rowBytes;
    const std::uint8_t* bottom = 2 * cy + 1 < height ? top + rowBytes : top;
    std::uint8_t* uRow = row<std::uint8_t>(out, 1, cy);
    std::uint8_t* vRow = row<std::uint8_t>(out, 2, cy);
    // Whole blocks in a loop the compiler vectorises; an odd last column repeats its pixel.
    const int whole = width / 2;
    for (int cx = 0; cx < whole; ++cx) chromaOfBlock(top + 8 * cx, top + 8 * cx + 4, bottom + 8 * cx, bottom + 8 * cx + 4, uRow + cx, vRow + cx);
    if (width % 2) {
      const std::uint8_t *t = top + 8 * whole, *b = bottom + 8 * whole;
      chromaOfBlock(t, t, b, b, uRow + whole, vRow + whole);
    }
  }
}

void rgbaToYuva444p10(const std::uint8_t* rgba, std::ptrdiff_t rowBytes, int width, int height, const Planes& out) {
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* in = rgba + y * rowBytes;
    std::uint16_t* planes[4];
    for (int i = 0; i < 4; ++i) planes[i] = row<std::uint16_t>(out, i, y);
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* p = in + 4 * x;
      float r = p[0], g = p[1], b = p[2];
      planes[0][x] = code10(luma(r, g, b, k10));
      planes[1][x] = code10(blueDifference(r, g, b, k10));
      planes[2][x] = code10(redDifference(r, g, b, k10));
      planes[3][x] = static_cast<std::uint16_t>(p[3] << 2 | p[3] >> 6);  // 0..255 onto 0..1023
    }
  }
}

}  // namespace video
