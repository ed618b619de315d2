#include "imaging/image.h"

#include "imaging/nodes.h"

namespace imaging {

Image::Image() : node_(makeCrop(makeConstant({}), Rect{})) {}

Image Image::color(const Color& c) { return Image(makeConstant(c)); }

Image Image::fromPixels(const PixelBuffer& pixels) { return Image(makePixels(pixels, nullptr)); }

Image Image::fromGray(std::shared_ptr<const float[]> values, int width, int height) {
  return Image(makeGray(std::move(values), width, height));
}

Rect Image::extent() const { return node_->extent; }

std::optional<PixelBuffer> Image::pixels() const {
  const Node* n = node_.get();
  while (n->hints.view && n->pixelBox() == n->inputs[0]->pixelBox()) n = n->inputs[0].get();
  return pixelsOf(*n);
}

Image Image::transformed(const Affine& t) const { return Image(makeTransform(node_, t)); }

Image Image::cropped(const Rect& r) const { return Image(makeCrop(node_, r)); }

Image Image::clampedToExtent() const { return Image(makeClamp(node_)); }

Image Image::gaussianBlurred(double sigma, BlurTails tails) const {
  if (!(sigma > 0)) return *this;
  return Image(makeGaussianBlur(node_, sigma, tails));
}

Image Image::morphologyMinimum(double radius) const {
  return Image(makeMorphologyMinimum(node_, radius));
}

Image Image::unpremultiplied() const { return Image(makeUnpremultiply(node_)); }

Image Image::settingAlphaOne(const Rect& inside) const { return Image(makeAlphaOne(node_, inside)); }

Image Image::blendedWithMask(const Image& background, const Image& mask) const {
  return Image(makeBlendWithMask(node_, background.node_, mask.node_));
}

Image Image::addedTo(const Image& background) const { return Image(makeAddition(node_, background.node_)); }

Image Image::differenceFrom(const Image& background) const {
  return Image(makeDifference(node_, background.node_));
}

Image Image::colorMatrix(const ColorMatrix& m) const { return Image(makeColorMatrix(node_, m)); }

Image Image::colorClamped(const Vector4& min, const Vector4& max) const {
  return Image(makeColorClamp(node_, min, max));
}

Image Image::gammaAdjusted(double power) const { return Image(makeGamma(node_, power)); }

}  // namespace imaging
