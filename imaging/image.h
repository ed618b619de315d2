#pragma once
// The image value: an immutable recipe with an extent. Every operation returns a new image and
// computes nothing; pixels exist only when a Context renders. Between operations colours are
// premultiplied RGBA on sRGB-encoded components; outside its extent an image is transparent.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "imaging/geometry.h"

namespace imaging {

class Node;

// The most pixels a picture or an output may have: a 48-megapixel photo with room to spare,
// yet its working buffers still fit a few gigabytes. A file's header can announce any size, so
// larger pictures are refused before they are decoded.
inline constexpr std::int64_t kMaxPixels = 120'000'000;

// Whether a file holds a picture that fromFile may read, by its content (its name aside).
bool isPictureFile(const std::string& path);

// A colour with straight (unpremultiplied) components.
struct Color {
  float red = 0, green = 0, blue = 0, alpha = 0;
};

enum class BlurTails { cut, kept };

struct Vector4 {
  float x = 0, y = 0, z = 0, w = 0;
};

// Each output component is its row dotted with the straight (R, G, B, A) plus its bias; the
// result is premultiplied again. The default is the identity.
struct ColorMatrix {
  Vector4 red{1, 0, 0, 0}, green{0, 1, 0, 0}, blue{0, 0, 1, 0}, alpha{0, 0, 0, 1}, bias{0, 0, 0, 0};
};

// Pixel memory owned by someone else. 8-bit formats hold straight alpha; half floats hold the
// values exactly as an earlier renderHalf (or renderGreyHalf, one opaque grey a pixel) wrote
// them. The first row is the top of the picture.
enum class PixelFormat { bgra8, rgba8, rgbaHalf, greyHalf };
struct PixelBuffer {
  const void* data = nullptr;
  int width = 0;
  int height = 0;
  std::ptrdiff_t rowBytes = 0;
  PixelFormat format = PixelFormat::rgba8;
  // Written by a straight 8-bit render (Context::render), which writes a pixel without opacity
  // as four zero bytes: no colour is kept under a clear pixel.
  bool rendered = false;
};

class Image {
 public:
  // A colour everywhere: infinite extent.
  static Image color(const Color&);
  // The caller's pixels, not copied: they must stay valid and unchanged as long as the image
  // is rendered, since what a render learns of them (where they are one value, where opaque)
  // serves every later render. Extent (0, 0, width, height).
  static Image fromPixels(const PixelBuffer&);
  // A grey opaque image of one value per pixel, rows top first; the image owns the values.
  static Image fromGray(std::shared_ptr<const float[]> values, int width, int height);
  // A picture file, upright and in sRGB, extent (0, 0, width, height); nothing when the file
  // cannot be decoded.
  static std::optional<Image> fromFile(const std::string& path);
  // The same from a picture file's bytes, read before this returns.
  static std::optional<Image> fromBytes(const std::string& bytes);

  // Nothing: transparent, with an empty extent.
  Image();

  Rect extent() const;

  // Geometry.
  Image transformed(const Affine&) const;
  Image cropped(const Rect&) const;
  // Edge pixels repeat outward without end: infinite extent.
  Image clampedToExtent() const;

  // Area filters.
  // Extent grows by 3 sigma. Its kernel is cut off where what it leaves out is under 1/255 of
  // any result; with kept tails, under a ten-thousandth, for results that will be divided by
  // small ones (a colour by an opacity, both blurred).
  Image gaussianBlurred(double sigma, BlurTails tails = BlurTails::cut) const;
  Image morphologyMinimum(double radius) const;  // minimum over a disk; outside counts as transparent

  // Point-wise filters.
  Image unpremultiplied() const;
  Image settingAlphaOne(const Rect& inside) const;
  // This image where the mask's value is 1, the background where it is 0, linear between.
  // The mask's value is its (premultiplied) green component.
  Image blendedWithMask(const Image& background, const Image& mask) const;
  Image addedTo(const Image& background) const;        // component-wise sum
  // The difference blend mode: |this - background| where both are opaque, alpha composited.
  Image differenceFrom(const Image& background) const;
  Image colorMatrix(const ColorMatrix&) const;
  Image colorClamped(const Vector4& min, const Vector4& max) const;
  Image gammaAdjusted(double power) const;  // straight colour raised to the power; alpha kept

  // The pixel memory this image shows, when it is nothing but that memory (possibly cropped to
  // no less than all of it): a reader that wants those very bytes need not render them.
  std::optional<PixelBuffer> pixels() const;

  const std::shared_ptr<const Node>& node() const { return node_; }
  // The same image computed one grey a pixel (a mask, from grey memory or values, through
  // operations that have a grey form), else null. It may not know its opacity: only where it
  // hints `opaque` is it an opaque grey (node.h).
  const std::shared_ptr<const Node>& greys() const { return greys_; }
  explicit Image(std::shared_ptr<const Node> node, std::shared_ptr<const Node> greys = nullptr)
      : node_(std::move(node)), greys_(std::move(greys)) {}

 private:
  std::shared_ptr<const Node> node_;
  // Blends read it as their mask, and renders of greys render it instead of node_: a quarter
  // of the floats to carry through the mask's filters.
  std::shared_ptr<const Node> greys_;
};

}  // namespace imaging
